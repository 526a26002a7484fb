// Shared by the PCX and TGA tests: the whole-number step sampling of their
// previews.
#pragma once

#include "ReaderOracle.h"

#include <cstdint>
#include <vector>

// Every step-th row and column (the step being the longer side / 100 once a
// side passes 200, unless full size).  Stored row k is picture row k, or
// height - 1 - k when stored bottom row first; preview row i (from the
// preview's own first row in stored order) shows stored row i * step.
// Columns stored right pixel first are taken the same way from the right.
inline PreviewSampling StepSampling(uint32_t width, uint32_t height, bool fullSize, bool storedBottomUp,
                                    bool storedRightToLeft = false)
{
    uint32_t step = 1;
    if (!fullSize && (width > 200 || height > 200))
        step = (width > height ? width : height) / 100;
    const uint32_t w = width / step == 0 ? 1 : width / step;
    const uint32_t h = height / step == 0 ? 1 : height / step;
    PreviewSampling s;
    for (uint32_t x = 0; x < w; ++x)
        s.columns.push_back(storedRightToLeft ? width - 1 - (w - 1 - x) * step : x * step);
    for (uint32_t y = 0; y < h; ++y) {
        // Preview row y from the top; in a bottom-up file it is preview row
        // h - 1 - y in stored order.
        const uint32_t i = storedBottomUp ? h - 1 - y : y;
        s.rows.push_back(storedBottomUp ? height - 1 - i * step : i * step);
    }
    return s;
}
