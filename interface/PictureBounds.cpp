#include "PictureBounds.h"

#include "ImageIo.h"

uint64_t SaturatingMul(uint64_t a, uint64_t b)
{
    if (a != 0 && b > UINT64_MAX / a)
        return UINT64_MAX;
    return a * b;
}

uint64_t StoredRowBytes(uint32_t width, uint32_t bitsPerPixel, uint32_t alignment)
{
    const uint64_t bytes = (static_cast<uint64_t>(width) * bitsPerPixel + 7) / 8;
    if (alignment <= 1)
        return bytes;
    return (bytes + alignment - 1) / alignment * alignment;
}

uint64_t GifLzwMostDecodedBytes(uint64_t dataBytes, unsigned minimumCodeSize)
{
    if (minimumCodeSize < 1 || minimumCodeSize > 11)
        minimumCodeSize = 1;
    const uint64_t bits = minimumCodeSize + 1;
    // dataBytes * 8 / bits without overflow.
    const uint64_t codes = dataBytes / bits * 8 + dataBytes % bits * 8 / bits;
    const uint64_t longest = 4095 - (1u << minimumCodeSize);
    if (codes <= longest)
        return codes * (codes + 1) / 2;
    const uint64_t rest = SaturatingMul(codes - longest, longest);
    const uint64_t ramp = longest * (longest + 1) / 2;
    return rest > UINT64_MAX - ramp ? UINT64_MAX : ramp + rest;
}

Refusal CheckPictureBounds(const PictureBounds& b)
{
    if (b.width == 0 || b.height == 0)
        return Refusal::EmptyPicture;
    if (b.bitsPerPixel == 0)
        return Refusal::UnsupportedDepth;
    const uint64_t expansion = b.expansion == 0 ? 1 : b.expansion;
    const uint64_t decodable = SaturatingMul(b.dataBytes, expansion);
    const uint64_t rowBytes = StoredRowBytes(b.width, b.bitsPerPixel, b.rowAlignment);
    if (rowBytes > decodable)
        return Refusal::LargerThanFile;
    if (b.fullSize) {
        if (SaturatingMul(rowBytes, b.height) > decodable)
            return Refusal::LargerThanFile;
        uint32_t blockBytes = 0;
        if (!PreviewBlockBytes(b.width, b.height, &blockBytes))
            return Refusal::PictureTooLarge;
    }
    return Refusal::None;
}
