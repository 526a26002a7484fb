#include "TempFile.h"

#include "Afx.h"

#include <cstdlib>
#include <unistd.h>
#include <vector>

std::string GetTempDirectory()
{
    const char* dir = std::getenv("TMPDIR");
    if (dir != nullptr && dir[0] != '\0')
        return dir;
    return "/tmp";
}

std::string CreateTempFile(const std::string& directory, const char* prefix)
{
    std::string pattern = directory;
    if (!pattern.empty() && pattern.back() != PATH_SEP)
        pattern += PATH_SEP;
    pattern += prefix != nullptr ? prefix : "";
    pattern += "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        return std::string();
    ::close(fd);
    return std::string(name.data());
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }
