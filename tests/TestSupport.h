// Helpers shared by the tests: temporary directories and files, captured
// messages, and substitutes for the memory status.
#pragma once

#include "GlobalMemory.h"

#include <gtest/gtest.h>

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

// Single-quotes a string for the shell.
std::string ShellQuote(const std::string& s);

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
    FakeMemory(uint64_t total, uint64_t avail, uint64_t addressSpace = UINT64_MAX);
    ~FakeMemory();
    // Every allocation request fails; the sizes asked for are recorded.
    void FailAll(bool fail);
    static std::vector<size_t> requests;
};

constexpr uint64_t MiB = 1024 * 1024;

// Fails exactly the n-th allocation (counted from 0) while alive; every
// other allocation goes through.
class FailNthAllocation {
public:
    explicit FailNthAllocation(int n);
    ~FailNthAllocation();
    FailNthAllocation(const FailNthAllocation&) = delete;
    FailNthAllocation& operator=(const FailNthAllocation&) = delete;
};

// Source indices chosen by the first-match sampling rule, walked literally
// over every source index (the reference for the library's own choice).
std::vector<uint32_t> WalkFirstMatch(uint32_t n, uint32_t m);

// One CMYK pixel through the colour transform, as the preview converts it.
void CmykPixelToRgb(const unsigned char cmyk[4], unsigned char rgb[3]);

// Path of a committed test fixture.
std::string TestData(const std::string& name);

// Test oracles (ImageMagick, Pillow, libtiff's tools, ...).  A test that
// needs one starts with QUORVEL_REQUIRE_TOOL("convert") or
// QUORVEL_REQUIRE_PYTHON_MODULE("PIL"): without it the test is skipped with
// one clear message, or fails when QUORVEL_REQUIRE_ORACLES is set (as
// `make test`, which installs them all, sets it).
// QUORVEL_REQUIRE_FILE names a data file an oracle brings (an ICC profile).
bool OracleToolAvailable(const std::string& command);
// Debian's Python, whose modules (python3-pil) the set-up installs; a
// python3 earlier on PATH may not have them.
constexpr const char* kSystemPython = "/usr/bin/python3";
bool OraclePythonModuleAvailable(const std::string& module);
bool OracleFileAvailable(const std::string& path);
bool OraclesRequired();

#define QUORVEL_MISSING_ORACLE_(what)                                              \
    do {                                                                           \
        if (OraclesRequired())                                                     \
            FAIL() << "test oracle missing: " << (what);                           \
        else                                                                       \
            GTEST_SKIP() << "test oracle missing: " << (what);                     \
    } while (0)
#define QUORVEL_REQUIRE_TOOL(command)                                              \
    do {                                                                           \
        if (!OracleToolAvailable(command))                                         \
            QUORVEL_MISSING_ORACLE_(command);                                      \
    } while (0)
#define QUORVEL_REQUIRE_PYTHON_MODULE(module)                                      \
    do {                                                                           \
        if (!OraclePythonModuleAvailable(module))                                  \
            QUORVEL_MISSING_ORACLE_(std::string("python3 module ") + (module));    \
    } while (0)
#define QUORVEL_REQUIRE_FILE(path)                                                 \
    do {                                                                           \
        if (!OracleFileAvailable(path))                                            \
            QUORVEL_MISSING_ORACLE_(std::string("file ") + (path));                \
    } while (0)
