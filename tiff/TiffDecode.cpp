// CTiffIo strip decoders: PackBits, CCITT modified Huffman, LZW and the
// unpacking of 1-, 4- and 16-bit samples.
#include "ITiffIO.h"
#include "TiffRowSink.h"

#include <cstring>
#include <vector>

bool CTiffIo::StoredRowLength(uint32_t* bytes) const
{
    const uint64_t bits = static_cast<uint64_t>(m_nWidth) * static_cast<uint64_t>(m_nSamplesPerPixel);
    if (m_nBitsPerSample <= 0 || bits > UINT64_MAX / 64)
        return false;
    const uint64_t n = (bits * static_cast<uint64_t>(m_nBitsPerSample) + 7) / 8;
    if (n == 0 || n > UINT32_MAX)
        return false;
    *bytes = static_cast<uint32_t>(n);
    return true;
}

// ---- PackBits ---------------------------------------------------------------

int CTiffIo::DecodePackBitsRow(unsigned char* row, uint32_t rowLength)
{
    const unsigned char* in = m_pStripBuf;
    uint32_t i = 0;
    while (i < rowLength && m_nStripPos < m_nStripLen) {
        const uint32_t n = in[m_nStripPos++];
        if (n == 128)
            continue;
        if (n > 128) {
            if (m_nStripPos >= m_nStripLen)
                break;
            const unsigned char b = in[m_nStripPos++];
            uint32_t k = 257 - n;
            if (k > rowLength - i)
                k = rowLength - i;  // the rest of the repeat is dropped
            std::memset(row + i, b, k);
            i += k;
        } else {
            uint32_t k = n + 1;
            if (k > rowLength - i)
                k = rowLength - i;  // bytes beyond the row stay in the strip
            if (k > m_nStripLen - m_nStripPos)
                k = m_nStripLen - m_nStripPos;
            std::memcpy(row + i, in + m_nStripPos, k);
            m_nStripPos += k;
            i += k;
        }
    }
    // A row cut short by the end of the strip is blank past its last byte,
    // not left with the previous row's bytes.
    if (i < rowLength) {
        std::memset(row + i, 0, rowLength - i);
        return 0;
    }
    return 1;
}

// ---- CCITT modified Huffman ---------------------------------------------------

namespace {

struct RunCode {
    uint16_t run;
    const char* bits;
};

// ITU-T T.4 terminating and make-up codes.
const RunCode kWhiteCodes[] = {
    {0, "00110101"}, {1, "000111"}, {2, "0111"}, {3, "1000"}, {4, "1011"}, {5, "1100"},
    {6, "1110"}, {7, "1111"}, {8, "10011"}, {9, "10100"}, {10, "00111"}, {11, "01000"},
    {12, "001000"}, {13, "000011"}, {14, "110100"}, {15, "110101"}, {16, "101010"},
    {17, "101011"}, {18, "0100111"}, {19, "0001100"}, {20, "0001000"}, {21, "0010111"},
    {22, "0000011"}, {23, "0000100"}, {24, "0101000"}, {25, "0101011"}, {26, "0010011"},
    {27, "0100100"}, {28, "0011000"}, {29, "00000010"}, {30, "00000011"}, {31, "00011010"},
    {32, "00011011"}, {33, "00010010"}, {34, "00010011"}, {35, "00010100"}, {36, "00010101"},
    {37, "00010110"}, {38, "00010111"}, {39, "00101000"}, {40, "00101001"}, {41, "00101010"},
    {42, "00101011"}, {43, "00101100"}, {44, "00101101"}, {45, "00000100"}, {46, "00000101"},
    {47, "00001010"}, {48, "00001011"}, {49, "01010010"}, {50, "01010011"}, {51, "01010100"},
    {52, "01010101"}, {53, "00100100"}, {54, "00100101"}, {55, "01011000"}, {56, "01011001"},
    {57, "01011010"}, {58, "01011011"}, {59, "01001010"}, {60, "01001011"}, {61, "00110010"},
    {62, "00110011"}, {63, "00110100"},
    {64, "11011"}, {128, "10010"}, {192, "010111"}, {256, "0110111"}, {320, "00110110"},
    {384, "00110111"}, {448, "01100100"}, {512, "01100101"}, {576, "01101000"},
    {640, "01100111"}, {704, "011001100"}, {768, "011001101"}, {832, "011010010"},
    {896, "011010011"}, {960, "011010100"}, {1024, "011010101"}, {1088, "011010110"},
    {1152, "011010111"}, {1216, "011011000"}, {1280, "011011001"}, {1344, "011011010"},
    {1408, "011011011"}, {1472, "010011000"}, {1536, "010011001"}, {1600, "010011010"},
    {1664, "011000"}, {1728, "010011011"},
};

const RunCode kBlackCodes[] = {
    {0, "0000110111"}, {1, "010"}, {2, "11"}, {3, "10"}, {4, "011"}, {5, "0011"}, {6, "0010"},
    {7, "00011"}, {8, "000101"}, {9, "000100"}, {10, "0000100"}, {11, "0000101"},
    {12, "0000111"}, {13, "00000100"}, {14, "00000111"}, {15, "000011000"},
    {16, "0000010111"}, {17, "0000011000"}, {18, "0000001000"}, {19, "00001100111"},
    {20, "00001101000"}, {21, "00001101100"}, {22, "00000110111"}, {23, "00000101000"},
    {24, "00000010111"}, {25, "00000011000"}, {26, "000011001010"}, {27, "000011001011"},
    {28, "000011001100"}, {29, "000011001101"}, {30, "000001101000"}, {31, "000001101001"},
    {32, "000001101010"}, {33, "000001101011"}, {34, "000011010010"}, {35, "000011010011"},
    {36, "000011010100"}, {37, "000011010101"}, {38, "000011010110"}, {39, "000011010111"},
    {40, "000001101100"}, {41, "000001101101"}, {42, "000011011010"}, {43, "000011011011"},
    {44, "000001010100"}, {45, "000001010101"}, {46, "000001010110"}, {47, "000001010111"},
    {48, "000001100100"}, {49, "000001100101"}, {50, "000001010010"}, {51, "000001010011"},
    {52, "000000100100"}, {53, "000000110111"}, {54, "000000111000"}, {55, "000000100111"},
    {56, "000000101000"}, {57, "000001011000"}, {58, "000001011001"}, {59, "000000101011"},
    {60, "000000101100"}, {61, "000001011010"}, {62, "000001100110"}, {63, "000001100111"},
    {64, "0000001111"}, {128, "000011001000"}, {192, "000011001001"}, {256, "000001011011"},
    {320, "000000110011"}, {384, "000000110100"}, {448, "000000110101"},
    {512, "0000001101100"}, {576, "0000001101101"}, {640, "0000001001010"},
    {704, "0000001001011"}, {768, "0000001001100"}, {832, "0000001001101"},
    {896, "0000001110010"}, {960, "0000001110011"}, {1024, "0000001110100"},
    {1088, "0000001110101"}, {1152, "0000001110110"}, {1216, "0000001110111"},
    {1280, "0000001010010"}, {1344, "0000001010011"}, {1408, "0000001010100"},
    {1472, "0000001010101"}, {1536, "0000001011010"}, {1600, "0000001011011"},
    {1664, "0000001100100"}, {1728, "0000001100101"},
};

// Extended make-up codes shared by both colours.
const RunCode kExtendedCodes[] = {
    {1792, "00000001000"}, {1856, "00000001100"}, {1920, "00000001101"},
    {1984, "000000010010"}, {2048, "000000010011"}, {2112, "000000010100"},
    {2176, "000000010101"}, {2240, "000000010110"}, {2304, "000000010111"},
    {2368, "000000011100"}, {2432, "000000011101"}, {2496, "000000011110"},
    {2560, "000000011111"},
};

// Slot values of the decision tables: a positive value is the index of the
// next pair, a negative one a leaf, 0 a bit sequence no code begins with.
constexpr int32_t LEAF_EOL = -10000;
constexpr int32_t LEAF_INVALID = -10001;
constexpr int32_t RunLeaf(uint32_t run) { return -1 - static_cast<int32_t>(run); }

class HuffmanTable {
public:
    explicit HuffmanTable(const RunCode* codes, size_t count)
    {
        m_slots.assign(2, 0);
        for (size_t i = 0; i < count; ++i)
            Add(codes[i].bits, RunLeaf(codes[i].run));
        for (const RunCode& c : kExtendedCodes)
            Add(c.bits, RunLeaf(c.run));
        Add("000000000001", LEAF_EOL);
        for (const char* bits : {"000000000000", "000000001", "0000000001", "00000000001"})
            Add(bits, LEAF_INVALID);
    }
    int32_t Step(int32_t pair, unsigned bit) const { return m_slots[2 * static_cast<size_t>(pair) + bit]; }
    bool Consistent() const { return m_bConsistent; }

private:
    void Add(const char* bits, int32_t leaf)
    {
        int32_t pair = 0;
        for (const char* p = bits; *p != '\0'; ++p) {
            const size_t slot = 2 * static_cast<size_t>(pair) + (*p == '1' ? 1 : 0);
            if (p[1] == '\0') {
                if (m_slots[slot] != 0)
                    m_bConsistent = false;
                m_slots[slot] = leaf;
                return;
            }
            if (m_slots[slot] < 0) {
                m_bConsistent = false;
                return;
            }
            if (m_slots[slot] == 0) {
                m_slots[slot] = static_cast<int32_t>(m_slots.size() / 2);
                m_slots.push_back(0);
                m_slots.push_back(0);
            }
            pair = m_slots[slot];
        }
    }
    std::vector<int32_t> m_slots;
    bool m_bConsistent = true;
};

const HuffmanTable& WhiteTable()
{
    static const HuffmanTable table(kWhiteCodes, sizeof kWhiteCodes / sizeof kWhiteCodes[0]);
    return table;
}

const HuffmanTable& BlackTable()
{
    static const HuffmanTable table(kBlackCodes, sizeof kBlackCodes / sizeof kBlackCodes[0]);
    return table;
}

// Sets pixels [from, to) of a packed 1-bit row to 1 bits.
void SetBits(unsigned char* row, uint32_t from, uint32_t to)
{
    while (from < to && (from & 7) != 0) {
        row[from >> 3] = static_cast<unsigned char>(row[from >> 3] | (0x80u >> (from & 7)));
        ++from;
    }
    if (to - from >= 8) {
        const uint32_t bytes = (to - from) / 8;
        std::memset(row + (from >> 3), 0xFF, bytes);
        from += bytes * 8;
    }
    while (from < to) {
        row[from >> 3] = static_cast<unsigned char>(row[from >> 3] | (0x80u >> (from & 7)));
        ++from;
    }
}

}  // namespace

bool CcittTablesConsistent() { return WhiteTable().Consistent() && BlackTable().Consistent(); }

int CTiffIo::DecodeHuffmanRow(unsigned char* row, uint32_t rowLength)
{
    // Pixels beyond the row buffer are decoded but not written.
    const uint64_t room = static_cast<uint64_t>(rowLength) * 8;
    const uint32_t width = static_cast<uint32_t>(m_nWidth < room ? m_nWidth : room);
    const uint32_t rowBytes = (width + 7) / 8;
    // White runs give 0 bits and black runs 1 bits whatever the photometric
    // interpretation, which then gives the bits their meaning as for any
    // bilevel data (in a BlackIsZero file the white runs show black).
    // Pixels that damaged or short data leave undecoded are 0 bits.
    if (rowBytes > 0)
        std::memset(row, 0x00, rowBytes);

    uint64_t x = 0;
    bool white = true;
    unsigned char byte = 0;
    unsigned mask = 0;  // no bits of the current byte left
    bool ended = false;
    while (x < m_nWidth && !ended) {
        const HuffmanTable& table = white ? WhiteTable() : BlackTable();
        const uint64_t start = x;
        int32_t pair = 0;
        for (;;) {
            if (mask == 0) {
                if (m_nStripPos >= m_nStripLen) {
                    ended = true;
                    break;
                }
                byte = m_pStripBuf[m_nStripPos++];
                mask = 0x80;
            }
            const unsigned bit = (byte & mask) != 0 ? 1 : 0;
            mask >>= 1;
            const int32_t slot = table.Step(pair, bit);
            if (slot > 0) {
                pair = slot;
                continue;
            }
            if (slot == 0 || slot == LEAF_EOL || slot == LEAF_INVALID) {
                // An end-of-line or an invalid code ends the row.
                ended = true;
                break;
            }
            const uint32_t run = static_cast<uint32_t>(-1 - slot);
            x += run;
            if (run > 63) {
                pair = 0;  // a make-up code: the run goes on in the same colour
                continue;
            }
            break;
        }
        if (!white) {
            const uint32_t from = static_cast<uint32_t>(start < width ? start : width);
            const uint32_t to = static_cast<uint32_t>(x < width ? x : width);
            SetBits(row, from, to);
        }
        white = !white;
    }
    // The rest of a partly read byte is dropped: every row starts on a byte.
    return x >= m_nWidth ? 1 : 0;
}

// ---- LZW ------------------------------------------------------------------------

uint32_t CTiffIo::ReadLzwCode(int width)
{
    int n = width;
    uint32_t value = 0;
    if (m_nCodeBits > 0) {
        value = static_cast<uint32_t>(m_nCodeByte >> (8 - m_nCodeBits));
        n -= m_nCodeBits;
        if (n > 8) {
            if (m_pCodeNext == m_pCodeEnd)
                return 0;
            value = (value << 8) | *m_pCodeNext++;
            n -= 8;
        }
    } else {
        n -= 8;
        if (m_pCodeNext == m_pCodeEnd)
            return 0;
        value = *m_pCodeNext++;
    }
    if (m_pCodeNext == m_pCodeEnd)
        return 0;
    const unsigned char b = *m_pCodeNext++;
    value = (value << n) | (static_cast<uint32_t>(b) >> (8 - n));
    m_nCodeByte = static_cast<uint8_t>(b << n);
    m_nCodeBits = static_cast<uint8_t>(8 - n);
    return value;
}

void CTiffIo::UndoPredictor(unsigned char* row, uint32_t rowLength) const
{
    const uint32_t spp = m_nSamplesPerPixel;
    if (m_nPredictor != 2 || spp == 0)
        return;
    if (m_nBitsPerSample == 16) {
        // Differences of whole 16-bit samples in the file's byte order.
        const uint32_t samples = rowLength / 2;
        const int lo = m_bIntel ? 0 : 1;
        const int hi = 1 - lo;
        for (uint32_t i = spp; i < samples; ++i) {
            unsigned char* cur = row + 2 * static_cast<size_t>(i);
            const unsigned char* prev = cur - 2 * static_cast<size_t>(spp);
            const uint32_t v = ((cur[hi] << 8) | cur[lo]) + ((prev[hi] << 8) | prev[lo]);
            cur[lo] = static_cast<unsigned char>(v);
            cur[hi] = static_cast<unsigned char>(v >> 8);
        }
        return;
    }
    for (uint32_t i = spp; i < rowLength; ++i)
        row[i] = static_cast<unsigned char>(row[i] + row[i - spp]);
}

namespace {
constexpr uint32_t LZW_CLEAR = 256;
constexpr uint32_t LZW_END = 257;
constexpr uint32_t LZW_TABLE = 4096;
// Longest string a 12-bit table can hold, with room to spare.
constexpr uint32_t LZW_STACK = 4096;
}  // namespace

int CTiffIo::DecodeLzwStrip(uint32_t firstRow, uint32_t rows, unsigned char* row, uint32_t rowLength,
                            RowSink& sink)
{
    if (rows == 0)
        return 1;
    // Codes are taken from a 64-bit window over the strip's bytes (most
    // significant bit first); a code cut off by the end of the strip ends it.
    uint64_t window = 0;
    int windowBits = 0;
    const unsigned char* next = m_pCodeNext;
    const unsigned char* const end = m_pCodeEnd;
    auto take = [&](int width, uint32_t* out) {
        while (windowBits <= 56 && next != end) {
            window |= static_cast<uint64_t>(*next++) << (56 - windowBits);
            windowBits += 8;
        }
        if (windowBits < width)
            return false;
        *out = static_cast<uint32_t>(window >> (64 - width));
        window <<= width;
        windowBits -= width;
        return true;
    };
    uint32_t code = 0;
    if (!take(9, &code))
        return 1;  // an empty strip holds no rows
    if (code != LZW_CLEAR)
        return 0;

    // Table entries: prefix code, last byte, first byte and length of the
    // string.  Entries at or above the next free code are never read.
    int16_t prefix[LZW_TABLE];
    unsigned char suffix[LZW_TABLE];
    unsigned char firstByte[LZW_TABLE];
    uint16_t length[LZW_TABLE];
    for (uint32_t i = 0; i < 256; ++i) {
        prefix[i] = -1;
        suffix[i] = static_cast<unsigned char>(i);
        firstByte[i] = static_cast<unsigned char>(i);
        length[i] = 1;
    }
    unsigned char stack[LZW_STACK];
    int32_t previous = -1;
    uint32_t nextFree = 257;
    int width = 9;
    uint32_t limit = 511;
    uint32_t pos = 0;
    uint32_t done = 0;
    uint32_t lastWanted = sink.NextWanted(firstRow);

    // Hands on a completed row; false when the strip is finished.
    auto rowDone = [&](int* result) {
        pos = 0;
        const uint32_t r = firstRow + done;
        ++done;
        if (r == lastWanted) {
            UndoPredictor(row, rowLength);
            if (!sink.Take(r, row)) {
                *result = 0;
                return false;
            }
            lastWanted = sink.NextWanted(r + 1);
        }
        // Stop once the strip's rows are complete or no later row of the
        // strip is wanted.
        return done < rows && lastWanted < firstRow + rows;
    };

    for (;;) {
        if (code == LZW_END)
            break;
        if (code == LZW_CLEAR) {
            previous = -1;
            nextFree = 257;
            width = 9;
            limit = 511;
        } else {
            // The string of `code`, or for a code not yet in the table the
            // previous string followed by its own first byte.
            uint32_t cur = code;
            uint32_t extra = 0;
            if (code >= nextFree) {
                // Only the next free code itself can be decoded this way, and
                // only with a previous string: anything else is damaged data,
                // which ends the strip.
                if (code > nextFree || previous < 0)
                    break;
                cur = static_cast<uint32_t>(previous);
                extra = 1;
            }
            const unsigned char first = firstByte[cur];
            const uint32_t total = length[cur] + extra;
            if (rowLength - pos >= total) {
                // The whole string fits the row: write it backwards in place.
                unsigned char* out = row + pos + total;
                if (extra)
                    *--out = first;
                uint32_t c = cur;
                while (c > 255) {
                    *--out = suffix[c];
                    c = static_cast<uint32_t>(prefix[c]);
                }
                *--out = static_cast<unsigned char>(c);
                pos += total;
                if (pos == rowLength) {
                    int result = 1;
                    if (!rowDone(&result))
                        return result;
                }
            } else {
                // The string crosses a row end: through the stack.
                uint32_t sp = 0;
                if (extra)
                    stack[sp++] = first;
                uint32_t c = cur;
                while (c > 255) {
                    stack[sp++] = suffix[c];
                    c = static_cast<uint32_t>(prefix[c]);
                }
                stack[sp++] = static_cast<unsigned char>(c);
                while (sp > 0) {
                    row[pos++] = stack[--sp];
                    if (pos == rowLength) {
                        int result = 1;
                        if (!rowDone(&result))
                            return result;
                    }
                }
            }
            if (nextFree < LZW_TABLE) {
                if (previous >= 0) {
                    prefix[nextFree] = static_cast<int16_t>(previous);
                    suffix[nextFree] = first;
                    firstByte[nextFree] = firstByte[previous];
                    length[nextFree] = static_cast<uint16_t>(length[previous] + 1);
                } else {
                    // The placeholder after a clear code (the end code's slot).
                    prefix[nextFree] = -1;
                    suffix[nextFree] = first;
                    firstByte[nextFree] = first;
                    length[nextFree] = 1;
                }
                ++nextFree;
                if (nextFree == limit) {
                    if (width < 12) {
                        ++width;
                        limit = (1u << width) - 1;
                    } else {
                        limit = 8191;
                    }
                }
            }
            previous = static_cast<int32_t>(code);
        }
        if (!take(width, &code))
            break;
    }
    return 1;
}

// ---- sample unpacking -------------------------------------------------------------

int CTiffIo::UnpackSamples(const unsigned char* source, unsigned char* destination)
{
    const size_t n = static_cast<size_t>(m_nSamplesPerPixel) * m_nWidth;
    switch (m_nBitsPerSample) {
    case 4:
        for (size_t i = 0; i < n; ++i)
            destination[i] = (i & 1) ? (source[i / 2] & 0x0F) : (source[i / 2] >> 4);
        break;
    case 1:
        for (size_t i = 0; i < n; ++i)
            destination[i] = (source[i / 8] >> (7 - (i % 8))) & 1;
        break;
    case 16: {
        const size_t high = m_bIntel ? 1 : 0;
        for (size_t i = 0; i < n; ++i)
            destination[i] = source[2 * i + high];
        break;
    }
    default:
        break;
    }
    return 1;
}
