// Helpers shared by the tests: temporary directories and files, captured
// messages, and substitutes for the memory status.
#pragma once

#include "GlobalMemory.h"

#include <cstdint>
#include <string>
#include <vector>

// A fresh directory under the temporary directory, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFileBytes(const std::string& path);

// Collects every message-box text while alive.
class MessageCapture {
public:
    MessageCapture();
    ~MessageCapture();
    std::vector<std::string> messages;
};

// Substitutes the memory status while alive; optionally fails allocations.
class FakeMemory {
public:
    FakeMemory(uint64_t total, uint64_t avail);
    ~FakeMemory();
    // Every allocation request fails; the sizes asked for are recorded.
    void FailAll(bool fail);
    static std::vector<size_t> requests;
};

constexpr uint64_t MiB = 1024 * 1024;

// Path of a committed test fixture.
std::string TestData(const std::string& name);
