// Fitted and full-size previews of a large 24-bit BMP against reading the
// whole file.  The picture (12000 x 9000, 324 MB) is written to the temporary
// directory on first use and removed at exit.
#include "Afx.h"
#include "ByteOrder.h"
#include "quorvel.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kWidth = 12000;
constexpr uint32_t kHeight = 9000;

struct BigBmp {
    BigBmp()
    {
        path = "/tmp/quorvel-bench-" + std::to_string(getpid()) + ".bmp";
        const uint32_t row = kWidth * 3;  // already a multiple of 4
        unsigned char header[54] = {'B', 'M'};
        StoreLE32(header + 2, 54 + row * kHeight);
        StoreLE32(header + 10, 54);
        StoreLE32(header + 14, 40);
        StoreLE32(header + 18, kWidth);
        StoreLE32(header + 22, kHeight);
        header[26] = 1;
        header[28] = 24;
        StoreLE32(header + 38, 11811);  // 300 pixels per inch
        StoreLE32(header + 42, 11811);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        std::vector<char> pixels(row);
        for (uint32_t y = 0; y < kHeight; ++y) {
            for (uint32_t x = 0; x < row; ++x)
                pixels[x] = static_cast<char>((x * 7 + y * 3) & 0xFF);
            out.write(pixels.data(), row);
        }
    }
    ~BigBmp() { std::remove(path.c_str()); }
    std::string path;
};

const std::string& Picture()
{
    static BigBmp bmp;
    return bmp.path;
}

// Bytes this process has read so far (Linux).
long long BytesRead()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

// Drops the file from the page cache so the next pass reads from disk.
void DropCache(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
}

void Quiet(const std::string&, void*) {}

void Preview(benchmark::State& state, int mode)
{
    const std::string& path = Picture();
    const bool cold = state.range(0) != 0;
    SetMessageBoxHook(&Quiet, nullptr);
    long long bytes = 0;
    int32_t width = 0, height = 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            DropCache(path);
            state.ResumeTiming();
        }
        const long long before = BytesRead();
        ImageSummary summary;
        if (GetQuorvel(path.c_str(), &summary, mode, "/nonexistent") != 1) {
            state.SkipWithError("GetQuorvel failed");
            break;
        }
        bytes += BytesRead() - before;
        width = summary.nPreviewWidth;
        height = summary.nPreviewHeight;
        benchmark::DoNotOptimize(summary.pPreviewBits);
        QuorvelFreePreview(summary.pPreviewBits);
    }
    SetMessageBoxHook(nullptr, nullptr);
    state.counters["bytes_read"] = benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgIterations);
    state.counters["preview_w"] = width;
    state.counters["preview_h"] = height;
}

void BM_BmpFittedPreview(benchmark::State& state) { Preview(state, 1); }
void BM_BmpFullSizePreview(benchmark::State& state) { Preview(state, 2); }

// The baseline: every byte of the file through the same file object.
void BM_ReadWholeFile(benchmark::State& state)
{
    const std::string& path = Picture();
    const bool cold = state.range(0) != 0;
    std::vector<unsigned char> buffer(1 << 20);
    long long bytes = 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            DropCache(path);
            state.ResumeTiming();
        }
        const long long before = BytesRead();
        CFile file;
        if (!file.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive)) {
            state.SkipWithError("open failed");
            break;
        }
        while (file.Read(buffer.data(), static_cast<uint32_t>(buffer.size())) != 0)
            benchmark::ClobberMemory();
        bytes += BytesRead() - before;
    }
    state.counters["bytes_read"] = benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgIterations);
}

}  // namespace

BENCHMARK(BM_BmpFittedPreview)->ArgName("cold")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadWholeFile)->ArgName("cold")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpFullSizePreview)->ArgName("cold")->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
