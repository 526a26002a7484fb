#include "TestSupport.h"

#include "Afx.h"
#include "cvt_test.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <unistd.h>

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-test-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        std::abort();
    m_path = name.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {
void Collect(const std::string& text, void* context)
{
    static_cast<MessageCapture*>(context)->messages.push_back(text);
}

uint64_t g_total = 0;
uint64_t g_avail = 0;
uint64_t g_space = UINT64_MAX;
bool g_failAll = false;

MemoryStatus FakeStatus() { return MemoryStatus{g_total, g_avail, g_space}; }
bool Gate(size_t bytes)
{
    FakeMemory::requests.push_back(bytes);
    return !g_failAll;
}
}  // namespace

MessageCapture::MessageCapture() { SetMessageBoxHook(&Collect, this); }
MessageCapture::~MessageCapture() { SetMessageBoxHook(nullptr, nullptr); }

std::vector<size_t> FakeMemory::requests;

FakeMemory::FakeMemory(uint64_t total, uint64_t avail, uint64_t addressSpace)
{
    g_total = total;
    g_avail = avail;
    g_space = addressSpace;
    g_failAll = false;
    requests.clear();
    SetMemoryStatusSource(&FakeStatus);
    SetAllocationGate(&Gate);
}

FakeMemory::~FakeMemory()
{
    SetMemoryStatusSource(nullptr);
    SetAllocationGate(nullptr);
    g_failAll = false;
}

void FakeMemory::FailAll(bool fail) { g_failAll = fail; }

namespace {
int g_failAt = -1;
int g_allocations = 0;
bool FailNth(size_t) { return g_allocations++ != g_failAt; }
}  // namespace

FailNthAllocation::FailNthAllocation(int n)
{
    g_failAt = n;
    g_allocations = 0;
    SetAllocationGate(&FailNth);
}

FailNthAllocation::~FailNthAllocation() { SetAllocationGate(nullptr); }

std::vector<uint32_t> WalkFirstMatch(uint32_t n, uint32_t m)
{
    std::vector<uint32_t> taken;
    const float q = static_cast<float>(static_cast<double>(m) / n);
    uint32_t i = 0;
    for (uint32_t j = 0; j < n; ++j) {
        if (static_cast<uint64_t>(static_cast<double>(j) * q) == i && i < m) {
            taken.push_back(j);
            ++i;
        }
    }
    return taken;
}

void CmykPixelToRgb(const unsigned char cmyk[4], unsigned char rgb[3])
{
    unsigned char in[4] = {cmyk[0], cmyk[1], cmyk[2], cmyk[3]};
    TransformArgs args{};
    args.pIn = in;
    args.pOut = rgb;
    args.nInStride = args.nOutStride = 1;
    args.nCount = args.nRows = 1;
    int16_t status = 0;
    ColourTransform(3, &args, &status);
}

std::string TestData(const std::string& name) { return std::string(QUORVEL_TEST_DATA) + "/" + name; }

bool OracleToolAvailable(const std::string& command)
{
    static std::map<std::string, bool> known;
    auto found = known.find(command);
    if (found != known.end())
        return found->second;
    bool available = false;
    if (command.find('/') != std::string::npos) {
        available = access(command.c_str(), X_OK) == 0;
    } else if (const char* path = std::getenv("PATH")) {
        std::string dirs = path;
        size_t start = 0;
        while (!available && start <= dirs.size()) {
            size_t end = dirs.find(':', start);
            if (end == std::string::npos)
                end = dirs.size();
            const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
            available = access((dir + "/" + command).c_str(), X_OK) == 0;
            start = end + 1;
        }
    }
    known[command] = available;
    return available;
}

bool OraclePythonModuleAvailable(const std::string& module)
{
    static std::map<std::string, bool> known;
    auto found = known.find(module);
    if (found != known.end())
        return found->second;
    const std::string command = std::string(kSystemPython) + " -c 'import " + module + "' >/dev/null 2>&1";
    const bool available = OracleToolAvailable(kSystemPython) && std::system(command.c_str()) == 0;
    known[module] = available;
    return available;
}

bool OracleFileAvailable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

bool OraclesRequired()
{
    const char* value = std::getenv("QUORVEL_REQUIRE_ORACLES");
    return value != nullptr && value[0] != '\0' && std::string(value) != "0";
}

std::string ShellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}
