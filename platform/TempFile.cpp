#include "TempFile.h"

#include "Afx.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
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

namespace {

// The process's file-creation mask, read without changing it: setting it to
// learn it would race with files created meanwhile on other threads.
mode_t CurrentUmask()
{
    if (std::FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f) != nullptr)
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(f);
        if (found)
            return static_cast<mode_t>(mask & 0777);
    }
    return 022;  // the usual mask, when the kernel does not say
}

// Gives the new file the permissions of the file it replaces, or those a
// newly created file would get.
void CopyPermissions(const std::string& temp, const std::string& destination)
{
    struct stat st;
    mode_t mode;
    if (::stat(destination.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode = 0666 & ~CurrentUmask();
    }
    ::chmod(temp.c_str(), mode);
}

}  // namespace

bool ReplaceWithTempFile(const std::string& temp, const std::string& target)
{
    CopyPermissions(temp, target);
    return std::rename(temp.c_str(), target.c_str()) == 0;
}
