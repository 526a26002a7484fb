// Peak memory of one call on hostile and ordinary small files: whatever a
// file declares, a call may not use more than its preview and a few rows.
// Each file is read in a child process so that its peak (VmHWM) is its own.
#include "FormatTable.h"
#include "TestSupport.h"
#include "quorvel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Kilobytes of a "VmHWM:" or "VmRSS:" line of /proc/self/status.
long StatusKb(const char* key)
{
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long kb = -1;
    const size_t n = std::strlen(key);
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, key, n) == 0)
            kb = std::strtol(line + n, nullptr, 10);
    std::fclose(f);
    return kb;
}

// Reads `file` under every reader's extension in modes 1 and 2 in a child;
// returns the child's peak growth in KiB, or -1 when it could not tell.
long PeakGrowthKb(const fs::path& file, const fs::path& scratch)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const long before = StatusKb("VmRSS:");
        size_t count = 0;
        const FormatInfo* table = FormatTable(&count);
        for (size_t i = 0; i < count; ++i) {
            for (const char* ext : table[i].extensions) {
                if (ext == nullptr || table[i].create == nullptr)
                    continue;
                const fs::path copy = scratch / (std::to_string(::getpid()) + "." + ext);
                fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
                for (int mode : {1, 2}) {
                    ImageSummary s{};
                    if (GetQuorvel(copy.c_str(), &s, mode, QUORVEL_SAMPLES))
                        QuorvelFreePreview(s.pPreviewBits);
                }
                fs::remove(copy);
            }
        }
        const long growth = StatusKb("VmHWM:") - before;
        (void)!::write(fds[1], &growth, sizeof growth);
        ::_exit(0);
    }
    ::close(fds[1]);
    long growth = -1;
    if (::read(fds[0], &growth, sizeof growth) != static_cast<ssize_t>(sizeof growth))
        growth = -1;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? growth : -1;
}

}  // namespace

TEST(Limits, OneCallOnASmallFileStaysWithinItsMemoryBound)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory; measured in the normal build";
#endif
    constexpr long kBoundKb = 64 * 1024;
    const fs::path scratch = fs::temp_directory_path() / ("quorvel-limits-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    std::vector<fs::path> files;
    for (const char* root : {QUORVEL_FUZZ_CORPUS, QUORVEL_TEST_DATA})
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file() && e.file_size() <= 64 * 1024)
                files.push_back(e.path());
    long worst = 0;
    std::string worstFile;
    for (const fs::path& f : files) {
        const long kb = PeakGrowthKb(f, scratch);
        ASSERT_GE(kb, 0) << f;
        EXPECT_LE(kb, kBoundKb) << f;
        if (kb > worst) {
            worst = kb;
            worstFile = f.string();
        }
    }
    fs::remove_all(scratch);
    std::printf("%zu files, worst peak growth of one call %ld KiB (%s)\n", files.size(), worst, worstFile.c_str());
}
