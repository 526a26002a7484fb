// The one plausibility check every reader makes before it allocates: is the
// picture its header declares one that the file could hold at all?
#pragma once

#include "Refusal.h"

#include <cstdint>

// a * b, or UINT64_MAX when the product does not fit.
uint64_t SaturatingMul(uint64_t a, uint64_t b);

// Decoded bytes one stored byte may become under a coding that gives no
// tighter bound of its own (libtiff's codecs, arithmetic-coded JPEG).
constexpr uint64_t CODEC_EXPANSION = 4096;

// Most bytes GIF LZW data of `dataBytes` bytes can decode to with codes of
// `minimumCodeSize` + 1 bits and more (the clear code 1 << minimumCodeSize).
// The k-th code after a clear code gives at most k bytes (an entry is one
// byte longer than an entry before it), and no string is longer than the
// table holds entries past the roots and the two control codes (4095 - the
// clear code); clear codes cost bits and start the count again.  So
// dataBytes * 8 / (minimumCodeSize + 1) codes give at most 1 + 2 + ... bytes,
// each term capped at the longest string.  Saturating; `minimumCodeSize`
// 1 to 11 (others are taken as 1, the loosest).
uint64_t GifLzwMostDecodedBytes(uint64_t dataBytes, unsigned minimumCodeSize);

struct PictureBounds {
    uint32_t width = 0;
    uint32_t height = 0;
    // Stored bits of one pixel, every sample counted (24 for 8-bit RGB).
    uint32_t bitsPerPixel = 0;
    // File bytes that hold (or could hold) the pixel data.
    uint64_t dataBytes = 0;
    // Most decoded bytes one stored byte can become under the file's coding:
    // 1 when uncompressed, the codec's largest expansion otherwise.
    uint64_t expansion = 1;
    // Stored rows are padded to a multiple of this many bytes (4 in BMP).
    uint32_t rowAlignment = 1;
    // A full-size preview needs every row; a fitted one shows missing rows
    // black but still needs the file to hold at least one whole row.
    bool fullSize = false;
};

// Refusal::None when the picture passes; otherwise why not:
// EmptyPicture (a side of 0), UnsupportedDepth (0 bits per pixel),
// LargerThanFile (one row, or for a full-size preview every row, decodes to
// more bytes than the data could expand to), PictureTooLarge (a full-size
// 24-bit preview block would not fit in 32 bits).  All arithmetic is 64-bit
// and saturating.
Refusal CheckPictureBounds(const PictureBounds& bounds);

// Bytes of one stored row of `width` pixels of `bitsPerPixel` bits, rounded
// up to whole bytes (and to a multiple of `alignment` bytes).
uint64_t StoredRowBytes(uint32_t width, uint32_t bitsPerPixel, uint32_t alignment = 1);
