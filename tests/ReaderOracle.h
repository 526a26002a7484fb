// One comparison for every reader: a fixture's preview from GetQuorvel
// against an independent decoder's full decode (ImageMagick, Pillow, netpbm
// or any command that writes PNM), sampled the way the reader samples.
#pragma once

#include "Refusal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// A decoded picture: top row first, 3 bytes (red, green, blue) per pixel.
struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* At(uint32_t x, uint32_t y) const { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
};

// Runs a shell command that writes one PNM picture (P1 to P6, any maxval:
// 16-bit samples keep their high byte, others are scaled to 0-255) to its
// standard output.  False when it fails or writes something else.
bool DecodeWithCommand(const std::string& command, RgbImage* out);
// The first picture of the file through ImageMagick's convert (alpha
// dropped); `options` go before the output, e.g. "-colorspace sRGB".
bool DecodeWithImageMagick(const std::string& path, RgbImage* out, const std::string& options = "");
// The picture Pillow opens the file as (its first frame), converted to RGB.
bool DecodeWithPillow(const std::string& path, RgbImage* out);
// The first page as libvips loads it (`vips copy`, its lenient default:
// rows after damage come out black), alpha dropped.
bool DecodeWithVips(const std::string& path, RgbImage* out);
// ImageMagick's CMYK samples of a `width` x `height` picture (the first of
// `source`, which may carry a coder prefix such as "tiff:"), each pixel sent
// through the shipped colour table as the preview sends it.
bool DecodeCmykThroughTable(const std::string& source, uint32_t width, uint32_t height, RgbImage* out);
// Standard output of a shell command (standard error dropped).
std::vector<uint8_t> CommandOutput(const std::string& command, int* status = nullptr);
// Parses PNM bytes (as DecodeWithCommand does).
bool ParsePnm(const std::vector<uint8_t>& bytes, RgbImage* out);

// Which picture pixel lands on each preview pixel: preview row y (counted
// from the top of the picture) shows picture row rows[y], preview column x
// shows picture column columns[x].
struct PreviewSampling {
    std::vector<uint32_t> rows;
    std::vector<uint32_t> columns;
};

// The usual rule: the size from ComputeDibSize (fitted into 200 x 200, or
// full size), rows and columns by the first-match rule.  Rows are chosen in
// stored order: in a file stored bottom row first, the k-th stored row is
// picture row height - 1 - k.
PreviewSampling FirstMatchSampling(uint32_t width, uint32_t height, bool fullSize, bool storedBottomUp);
// The PNG reader's rule: rows and columns 0, d, 2d ... with d the smallest
// multiple of 8 that brings the width to 200 or less; the height follows.
PreviewSampling EighthSampling(uint32_t width, uint32_t height);

// Expected preview block (bottom-up 24-bit rows, blue green red, padded to 4
// bytes) of `reference` sampled by `sampling`.
std::vector<uint8_t> ExpectedPreview(const RgbImage& reference, const PreviewSampling& sampling);

// GetQuorvel(path, mode) succeeds, its preview has the sampling's size, and
// every byte is within `tolerance` of the reference's sampled pixel.  CMYK
// pictures go through the shipped colour table (samples/color/otd.cvt).
::testing::AssertionResult PreviewMatches(const std::string& path, int mode, const RgbImage& reference,
                                          const PreviewSampling& sampling, int tolerance = 0);

// One GetQuorvel call (colour table from samples/color, messages kept
// quiet): its result, reason and sizes, and the preview copied out before it
// is released.
struct QuorvelRun {
    int ok = 0;
    Refusal why = Refusal::None;
    float widthInches = 0;
    float heightInches = 0;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> block;  // the preview block as returned, bottom row first
    std::vector<uint8_t> rgb;    // the same, top row first, red green blue
    // Red, green, blue of preview pixel (x, y), y counted from the top.
    std::vector<uint8_t> Pixel(int32_t x, int32_t y) const;
    // Every pixel of preview row y (from the top) is black.
    bool RowIsBlack(int32_t y) const;
};
QuorvelRun RunQuorvel(const std::string& path, int mode);
