// The system's temporary directory, unique temporary files and deletion.
#pragma once

#include <string>

// The temporary directory: $TMPDIR when set, else /tmp.
std::string GetTempDirectory();

// Creates a new, empty file with a unique name that starts with `prefix` in
// `directory`, and returns its path; returns an empty string on failure.
std::string CreateTempFile(const std::string& directory, const char* prefix);

// Removes the file; returns false when it could not be removed.
bool DeleteFile(const std::string& path);

// Puts the finished temporary file in the place of `target` in one step,
// with the permissions of the file it replaces (or of a new file); false
// when it could not.
bool ReplaceWithTempFile(const std::string& temp, const std::string& target);
