// The whole-number reduction of the PCX and TGA readers: every step-th stored
// row and column, the step being the longer side divided by 100 once a side
// passes 200 pixels.  These readers write the 24-bit preview rows themselves.
#pragma once

#include "ImageIo.h"

#include <cstdint>

struct StepPreview {
    uint32_t step = 1;
    uint32_t width = 0;   // preview width
    uint32_t height = 0;  // preview height
    uint32_t stride = 0;  // bytes of one 24-bit preview row, padded to 4
    uint32_t bytes = 0;   // bytes of the whole preview block
};

// False when the preview block would not fit in 32 bits.
inline bool ComputeStepPreview(uint32_t width, uint32_t height, bool fullSize, StepPreview* out)
{
    StepPreview p;
    p.width = width;
    p.height = height;
    if (!fullSize && (width > PREVIEW_LIMIT || height > PREVIEW_LIMIT)) {
        p.step = (width > height ? width : height) / 100;
        p.width = width / p.step;
        p.height = height / p.step;
        if (p.width == 0)
            p.width = 1;
        if (p.height == 0)
            p.height = 1;
    }
    if (p.width > INT32_MAX || p.height > INT32_MAX || !PreviewBlockBytes(p.width, 1, &p.stride) ||
        !PreviewBlockBytes(p.width, p.height, &p.bytes))
        return false;
    *out = p;
    return true;
}
