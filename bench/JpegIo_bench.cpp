// Fitted previews and sizes of large JPEG files, with the reader's short cuts
// (header-only sizes of multi-scan files, passing over rows the preview does
// not take) against decoding every scanline.
//
//   JpegIo_bench [benchmark options]    runs the benchmarks on 8000 x 6000
//                                       files made in /tmp (cjpeg needed)
//   JpegIo_bench --once FILE MODE PLAIN one GetQuorvel call (for /usr/bin/time)
//   JpegIo_bench --verify [FILE...]     short cuts give the same previews
#include "ImageMemory.h"
#include "iJpegIo.h"
#include "quorvel.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kPpm[] = "/tmp/quorvel_bench_8000x6000.ppm";
const char kBaseline[] = "/tmp/quorvel_bench_baseline.jpg";
const char kProgressive[] = "/tmp/quorvel_bench_progressive.jpg";

bool Exists(const char* path)
{
    if (FILE* f = std::fopen(path, "rb")) {
        std::fclose(f);
        return true;
    }
    return false;
}

// A photograph-like picture: smooth gradients with fine texture, so the
// entropy-coded data has a realistic size.
bool MakeFiles()
{
    if (Exists(kBaseline) && Exists(kProgressive))
        return true;
    const unsigned w = 8000, h = 6000;
    FILE* f = std::fopen(kPpm, "wb");
    if (f == nullptr)
        return false;
    std::fprintf(f, "P6\n%u %u\n255\n", w, h);
    std::vector<unsigned char> row(w * 3);
    uint32_t seed = 12345;
    for (unsigned y = 0; y < h; ++y) {
        for (unsigned x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = static_cast<int>((seed >> 24) & 15) - 8;
            auto clamp = [](int v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); };
            row[3 * x] = clamp(static_cast<int>(x * 255 / w) + noise);
            row[3 * x + 1] = clamp(static_cast<int>(y * 255 / h) + noise);
            row[3 * x + 2] = clamp(static_cast<int>(((x / 97 + y / 61) & 1) ? 200 : 60) + noise);
        }
        std::fwrite(row.data(), 1, row.size(), f);
    }
    std::fclose(f);
    const std::string a = std::string("cjpeg -quality 85 ") + kPpm + " > " + kBaseline;
    const std::string b = std::string("cjpeg -quality 85 -progressive ") + kPpm + " > " + kProgressive;
    const bool ok = std::system(a.c_str()) == 0 && std::system(b.c_str()) == 0;
    std::remove(kPpm);
    return ok;
}

// Whether the short cuts give the same fitted preview as decoding every
// scanline on this file.
bool SamePreview(const char* path)
{
    ImageSummary plain{}, fast{};
    CJpegIo::SetPlainDecodeForTesting(true);
    const int a = GetQuorvel(path, &plain, 1, "/tmp");
    CJpegIo::SetPlainDecodeForTesting(false);
    const int b = GetQuorvel(path, &fast, 1, "/tmp");
    bool same = a == 1 && b == 1 && plain.nPreviewWidth == fast.nPreviewWidth &&
                plain.nPreviewHeight == fast.nPreviewHeight;
    if (same) {
        const size_t stride = ((static_cast<size_t>(plain.nPreviewWidth) * 24 + 31) / 32) * 4;
        same = std::memcmp(plain.pPreviewBits, fast.pPreviewBits, stride * plain.nPreviewHeight) == 0;
    }
    ImageFree(&plain.pPreviewBits);
    ImageFree(&fast.pPreviewBits);
    std::printf("%s: fitted preview %s\n", path, same ? "identical" : "DIFFERS");
    return same;
}

int OneCall(const char* path, int mode, bool plain)
{
    CJpegIo::SetPlainDecodeForTesting(plain);
    ImageSummary summary{};
    const int ok = GetQuorvel(path, &summary, mode, "/tmp");
    ImageFree(&summary.pPreviewBits);
    return ok;
}

void BM_Jpeg(benchmark::State& state, const char* path, int mode, bool plain)
{
    for (auto _ : state) {
        if (OneCall(path, mode, plain) != 1) {
            state.SkipWithError("GetQuorvel failed");
            break;
        }
    }
    CJpegIo::SetPlainDecodeForTesting(false);
}

void Register()
{
    for (const auto& file : {std::make_pair("baseline", kBaseline), std::make_pair("progressive", kProgressive)}) {
        for (int mode : {0, 1}) {
            for (bool plain : {true, false}) {
                const std::string name = std::string(mode == 0 ? "Size/" : "FittedPreview/") +
                                         file.first + (plain ? "/every_scanline" : "/short_cuts");
                benchmark::RegisterBenchmark(name.c_str(), BM_Jpeg, file.second, mode, plain)
                    ->Unit(benchmark::kMillisecond)
                    ->Iterations(mode == 0 && !plain && file.second == kBaseline ? 20 : 3);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--once") == 0)
        return OneCall(argv[2], std::atoi(argv[3]), std::atoi(argv[4]) != 0) == 1 ? 0 : 1;
    if (argc == 2 && std::strcmp(argv[1], "--make-files") == 0)
        return MakeFiles() ? 0 : 1;
    if (argc >= 2 && std::strcmp(argv[1], "--verify") == 0) {
        if (argc == 2)
            return MakeFiles() && SamePreview(kBaseline) && SamePreview(kProgressive) ? 0 : 1;
        bool all = true;
        for (int i = 2; i < argc; ++i)
            all = SamePreview(argv[i]) && all;
        return all ? 0 : 1;
    }
    if (!MakeFiles()) {
        std::fprintf(stderr, "cannot make the benchmark files in /tmp (is cjpeg installed?)\n");
        return 1;
    }
    Register();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
