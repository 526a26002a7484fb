// Strip encoders of the TIFF writer.
#include "TiffEncoders.h"

#include <cstring>

uint32_t ScanRuns(const unsigned char* row, unsigned char* runs, uint32_t length)
{
    uint32_t count = 0;
    uint32_t pos = 0;
    while (pos < length) {
        const unsigned char value = row[pos];
        uint32_t run = 1;
        while (run < 128 && pos + run < length && row[pos + run] == value)
            ++run;
        runs[count++] = static_cast<unsigned char>(run);
        pos += run;
    }
    return count;
}

uint32_t EncodePackBitsRow(const unsigned char* row, const unsigned char* runs,
                           uint32_t runCount, unsigned char* out)
{
    uint32_t outLen = 0;
    uint32_t literal = 0;   // bytes gathered for the pending literal packet
    uint32_t pos = 0;       // first byte of the pending literal packet
    auto flushLiteral = [&]() {
        out[outLen++] = static_cast<unsigned char>(literal - 1);
        std::memcpy(out + outLen, row + pos, literal);
        outLen += literal;
        pos += literal;
        literal = 0;
    };
    for (uint32_t i = 0; i < runCount; ++i) {
        const uint32_t run = runs[i];
        if (run < 3 && literal + run <= 128) {
            literal += run;
            continue;
        }
        if (literal > 0)
            flushLiteral();
        out[outLen++] = static_cast<unsigned char>(1 - static_cast<int>(run));
        out[outLen++] = row[pos];
        pos += run;
    }
    if (literal > 0)
        flushLiteral();
    return outLen;
}

int PackBilevelRow(const unsigned char* samples, uint32_t count, unsigned char* packed)
{
    std::memset(packed, 0, (static_cast<size_t>(count) + 7) / 8);
    for (uint32_t i = 0; i < count; ++i)
        if (samples[i] != 0)
            packed[i / 8] |= static_cast<unsigned char>(0x80u >> (i % 8));
    return 1;
}

void LzwBitWriter::Reset()
{
    pNext = pStart;
    nAccum = 0;
    nCount = 0;
    nPending = 0;
    bOverflow = false;
}

int LzwBitWriter::PutCode(uint32_t code, uint32_t width)
{
    nAccum = (nAccum << width) | code;
    nPending = static_cast<uint8_t>(nPending + width);
    while (nPending >= 8) {
        if (nCount < nCapacity) {
            *pNext++ = static_cast<unsigned char>(nAccum >> (nPending - 8));
            ++nCount;
        } else {
            bOverflow = true;
        }
        nPending = static_cast<uint8_t>(nPending - 8);
    }
    // Only the pending bits matter; keep the accumulator from overflowing.
    nAccum &= (1u << nPending) - 1;
    return 1;
}

void LzwBitWriter::Flush()
{
    if (nPending > 0) {
        if (nCount < nCapacity) {
            *pNext++ = static_cast<unsigned char>(nAccum << (8 - nPending));
            ++nCount;
        } else {
            bOverflow = true;
        }
    }
    nAccum = 0;
    nPending = 0;
}

uint64_t LzwStripBound(uint64_t bytes)
{
    // At most one code per input byte, plus the first clear code, the last
    // prefix, the end code and one clear code per full table (3,837 codes).
    const uint64_t codes = bytes + bytes / 3837 + 3;
    return (codes * 12 + 7) / 8;
}

namespace {

constexpr uint32_t kHashSize = 5051;  // a prime
constexpr uint32_t kClear = 256;
constexpr uint32_t kEnd = 257;
constexpr uint32_t kFirstFree = 258;

struct LzwTable {
    int16_t code[kHashSize];
    uint16_t prefix[kHashSize];
    unsigned char suffix[kHashSize];
    void Clear() { std::memset(code, 0xFF, sizeof code); }
};

}  // namespace

int EncodeLzwStrip(LzwBitWriter& out, const unsigned char* rows, uint32_t rowBytes,
                   uint32_t rowCount, uint32_t samplesPerPixel)
{
    LzwTable table;
    table.Clear();
    uint32_t width = 9;
    uint32_t nextCode = kFirstFree;
    uint32_t limit = 511;
    out.PutCode(kClear, 9);

    bool first = true;
    uint32_t prefix = 0;
    for (uint32_t r = 0; r < rowCount; ++r) {
        const unsigned char* row = rows + static_cast<size_t>(r) * rowBytes;
        for (uint32_t j = 0; j < rowBytes; ++j) {
            // Horizontal differencing: each sample minus the same sample of
            // the previous pixel; the first pixel of a row is kept.
            const unsigned char c = j < samplesPerPixel
                                        ? row[j]
                                        : static_cast<unsigned char>(row[j] - row[j - samplesPerPixel]);
            if (first) {
                prefix = c;
                first = false;
                continue;
            }
            uint32_t h = prefix ^ (static_cast<uint32_t>(c) << 4);
            const uint32_t step = h == 0 ? 1 : kHashSize - h;
            while (table.code[h] >= 0 && (table.prefix[h] != prefix || table.suffix[h] != c)) {
                if (h < step)
                    h += kHashSize;
                h -= step;
            }
            if (table.code[h] >= 0) {
                prefix = static_cast<uint32_t>(table.code[h]);
                continue;
            }
            out.PutCode(prefix, width);
            if (nextCode < 4096) {
                table.code[h] = static_cast<int16_t>(nextCode);
                table.prefix[h] = static_cast<uint16_t>(prefix);
                table.suffix[h] = c;
                ++nextCode;
            }
            if (nextCode - 1 == limit) {
                if (width < 12) {
                    ++width;
                    limit = (1u << width) - 1;
                    if (width == 12)
                        --limit;
                } else {
                    out.PutCode(kClear, 12);
                    width = 9;
                    nextCode = kFirstFree;
                    limit = 511;
                    table.Clear();
                }
            }
            prefix = c;
        }
    }
    if (!first)
        out.PutCode(prefix, width);
    out.PutCode(kEnd, width);
    out.Flush();
    return out.bOverflow ? 0 : 1;
}
