#include "TempFile.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef DeleteFile

std::string GetTempDirectory()
{
    char dir[MAX_PATH + 1];
    const DWORD n = ::GetTempPathA(sizeof dir, dir);
    if (n == 0 || n > MAX_PATH)
        return ".";
    return std::string(dir, n);
}

// GetTempFileName takes the first three characters of the prefix.
std::string CreateTempFile(const std::string& directory, const char* prefix)
{
    char name[MAX_PATH + 1];
    if (directory.size() > MAX_PATH - 14 ||
        ::GetTempFileNameA(directory.c_str(), prefix != nullptr ? prefix : "", 0, name) == 0)
        return std::string();
    return name;
}

bool DeleteFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

bool ReplaceWithTempFile(const std::string& temp, const std::string& target)
{
    return ::MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
