// Fitted previews of large TIFF files through GetQuorvel.  The files are made
// by bench/tiff_preview_bench.sh (or any TIFF files) in the directory named by
// QUORVEL_BENCH_DIR (default /tmp/quorvel-bench); missing files are skipped.
#include "quorvel.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {

std::string BenchFile(const char* name)
{
    const char* dir = std::getenv("QUORVEL_BENCH_DIR");
    return std::string(dir != nullptr ? dir : "/tmp/quorvel-bench") + "/" + name;
}

void Preview(benchmark::State& state, const char* name)
{
    const std::string path = BenchFile(name);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        state.SkipWithError(("missing " + path).c_str());
        return;
    }
    for (auto _ : state) {
        ImageSummary summary;
        if (GetQuorvel(path.c_str(), &summary, 1, nullptr) != 1) {
            state.SkipWithError("GetQuorvel failed");
            return;
        }
        benchmark::DoNotOptimize(summary.pPreviewBits);
        QuorvelFreePreview(summary.pPreviewBits);
    }
    state.SetLabel(std::to_string(st.st_size / (1024 * 1024)) + " MiB file");
}

}  // namespace

BENCHMARK_CAPTURE(Preview, uncompressed_r128, "none_r128.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Preview, packbits_r16, "packbits_r16.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Preview, lzw_pred_r1, "lzw2_r1.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Preview, lzw_pred_r64, "lzw2_r64.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Preview, lzw_r1, "lzw_r1.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Preview, lzw_r64, "lzw_r64.tif")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
