// A GetQuorvel preview copied out as top-down RGB, with the call's result
// and reason, for tests that look at single pixels.
#pragma once

#include "Quorvel.h"
#include "quorvel.h"

#include <cstdint>
#include <string>
#include <vector>

struct CapturedPreview {
    int ok = 0;
    Refusal why = Refusal::None;
    int32_t width = 0;
    int32_t height = 0;
    float widthInches = 0;
    float heightInches = 0;
    std::vector<uint8_t> rgb;
    std::vector<uint8_t> Pixel(int32_t x, int32_t y) const
    {
        const uint8_t* p = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
        return {p[0], p[1], p[2]};
    }
};

inline CapturedPreview CapturePreview(const std::string& path, int mode)
{
    CapturedPreview p;
    ImageSummary s;
    p.ok = GetQuorvelWithReason(path.c_str(), &s, mode, QUORVEL_SAMPLES, &p.why);
    p.width = s.nPreviewWidth;
    p.height = s.nPreviewHeight;
    p.widthInches = s.fWidthInches;
    p.heightInches = s.fHeightInches;
    const size_t stride = ((static_cast<size_t>(p.width) * 24 + 31) / 32) * 4;
    for (int32_t y = 0; y < p.height; ++y)
        for (int32_t x = 0; x < p.width; ++x) {
            const uint8_t* px = s.pPreviewBits + (p.height - 1 - y) * stride + 3 * x;
            p.rgb.insert(p.rgb.end(), {px[2], px[1], px[0]});
        }
    QuorvelFreePreview(s.pPreviewBits);
    return p;
}
