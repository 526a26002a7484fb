// CMYK-to-RGB conversion: one pixel per call as the preview does it, and whole
// interleaved rows.
#include "cvt_test.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

void FillTable()
{
    TransformArgs load{};
    int16_t status = 0;
    ColourTransform(1, &load, &status);  // no directory: only rebuilds the grid offsets
    for (size_t i = 0; i < COLOUR_TABLE_BYTES; ++i)
        ColourTable[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
}

void BM_PlanarSinglePixel(benchmark::State& state)
{
    FillTable();
    unsigned char in[4] = {0, 0, 0, 0};
    unsigned char out[3];
    TransformArgs args{in, out, 1, 1, 1, 1, nullptr, nullptr};
    int16_t status = 0;
    uint32_t n = 0;
    for (auto _ : state) {
        in[0] = static_cast<unsigned char>(n);
        in[1] = static_cast<unsigned char>(n >> 3);
        in[2] = static_cast<unsigned char>(n * 7);
        in[3] = static_cast<unsigned char>(n >> 5);
        ++n;
        ColourTransform(3, &args, &status);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlanarSinglePixel);

void BM_InterleavedRows(benchmark::State& state)
{
    FillTable();
    const uint32_t width = 200, rows = 200;
    std::vector<unsigned char> in(width * rows * 4), out(width * rows * 3);
    // Smooth gradients, as in a picture: neighbouring pixels share table cells.
    for (uint32_t y = 0; y < rows; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            unsigned char* p = &in[(y * width + x) * 4];
            p[0] = static_cast<unsigned char>(x);
            p[1] = static_cast<unsigned char>(y);
            p[2] = static_cast<unsigned char>((x + y) / 2);
            p[3] = static_cast<unsigned char>(x * y / 160);
        }
    TransformArgs args{in.data(), out.data(), int32_t(width * 4), int32_t(width * 3), width, rows, nullptr, nullptr};
    int16_t status = 0;
    for (auto _ : state) {
        ColourTransform(2, &args, &status);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * width * rows);
}
BENCHMARK(BM_InterleavedRows);

}  // namespace

BENCHMARK_MAIN();
