// Shared by the PCX and TGA tests: the whole-number step sampling of their
// previews, and one GetQuorvel call with its reason and preview copied out.
#pragma once

#include "Quorvel.h"
#include "ReaderOracle.h"
#include "Refusal.h"
#include "TestSupport.h"

#include <cstdint>
#include <string>
#include <vector>

struct QuorvelRun {
    int ok = 0;
    Refusal why = Refusal::None;
    float widthInches = 0;
    float heightInches = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> block;  // the preview block, bottom row first
    // Blue, green, red of preview pixel (x, y), y counted from the top.
    const uint8_t* Pixel(uint32_t x, uint32_t y) const
    {
        const size_t stride = ((static_cast<size_t>(width) * 24 + 31) / 32) * 4;
        return block.data() + (height - 1 - y) * stride + 3 * x;
    }
};

// Every step-th row and column (the step being the longer side / 100 once a
// side passes 200, unless full size).  Stored row k is picture row k, or
// height - 1 - k when stored bottom row first; preview row i (from the
// preview's own first row in stored order) shows stored row i * step.
inline PreviewSampling StepSampling(uint32_t width, uint32_t height, bool fullSize, bool storedBottomUp)
{
    uint32_t step = 1;
    if (!fullSize && (width > 200 || height > 200))
        step = (width > height ? width : height) / 100;
    const uint32_t w = width / step == 0 ? 1 : width / step;
    const uint32_t h = height / step == 0 ? 1 : height / step;
    PreviewSampling s;
    for (uint32_t x = 0; x < w; ++x)
        s.columns.push_back(x * step);
    for (uint32_t y = 0; y < h; ++y) {
        // Preview row y from the top; in a bottom-up file it is preview row
        // h - 1 - y in stored order.
        const uint32_t i = storedBottomUp ? h - 1 - y : y;
        s.rows.push_back(storedBottomUp ? height - 1 - i * step : i * step);
    }
    return s;
}

inline QuorvelRun RunQuorvel(const std::string& path, int mode)
{
    QuorvelRun r;
    MessageCapture quiet;  // the colour table is looked for, and missing
    ImageSummary summary{};
    r.ok = GetQuorvelWithReason(path.c_str(), &summary, mode, "/nonexistent", &r.why);
    r.widthInches = summary.fWidthInches;
    r.heightInches = summary.fHeightInches;
    if (r.ok && summary.pPreviewBits != nullptr) {
        r.width = static_cast<uint32_t>(summary.nPreviewWidth);
        r.height = static_cast<uint32_t>(summary.nPreviewHeight);
        const size_t stride = ((static_cast<size_t>(r.width) * 24 + 31) / 32) * 4;
        r.block.assign(summary.pPreviewBits, summary.pPreviewBits + stride * r.height);
        QuorvelFreePreview(summary.pPreviewBits);
    }
    return r;
}
