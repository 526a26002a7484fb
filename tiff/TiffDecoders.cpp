// The TIFF strip decoders: PackBits, CCITT modified Huffman, LZW, and the
// sample helpers.
#include "TiffDecoders.h"

#include "ByteOrder.h"

#include <algorithm>
#include <cstring>
#include <vector>

// ---- PackBits -----------------------------------------------------------------

namespace {

// The stored bytes of a strip as a PackBits source.
struct CursorSource {
    ByteCursor& in;
    int Next() { return in.pos < in.size ? in.data[in.pos++] : -1; }
    size_t Take(unsigned char* out, size_t count)
    {
        const size_t left = in.pos < in.size ? in.size - in.pos : 0;
        const size_t n = count < left ? count : left;
        std::memcpy(out, in.data + in.pos, n);
        in.pos += static_cast<uint32_t>(n);
        return n;
    }
};

}  // namespace

RowEnd DecodePackBitsRow(ByteCursor& in, unsigned char* row, uint32_t rowLength)
{
    CursorSource src{in};
    const uint32_t i = UnpackPackBitsRow(src, row, rowLength);
    // A row cut short by the end of the strip is blank past its last byte,
    // not left with the previous row's bytes.
    if (i < rowLength) {
        std::memset(row + i, 0, rowLength - i);
        return RowEnd::DataEnded;
    }
    return RowEnd::Whole;
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

RowEnd DecodeCcittRow(ByteCursor& in, uint32_t width, unsigned char* row, uint32_t rowLength)
{
    // Pixels beyond the row buffer are decoded but not written.
    const uint64_t room = static_cast<uint64_t>(rowLength) * 8;
    const uint32_t kept = static_cast<uint32_t>(width < room ? width : room);
    const uint32_t rowBytes = (kept + 7) / 8;
    // Pixels that damaged or short data leave undecoded are 0 bits.
    if (rowBytes > 0)
        std::memset(row, 0x00, rowBytes);

    uint64_t x = 0;
    bool white = true;
    unsigned char byte = 0;
    unsigned mask = 0;  // no bits of the current byte left
    RowEnd end = RowEnd::Whole;
    while (x < width && end == RowEnd::Whole) {
        const HuffmanTable& table = white ? WhiteTable() : BlackTable();
        const uint64_t start = x;
        int32_t pair = 0;
        for (;;) {
            if (mask == 0) {
                if (in.pos >= in.size) {
                    end = RowEnd::DataEnded;
                    break;
                }
                byte = in.data[in.pos++];
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
                end = RowEnd::InvalidCode;
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
            const uint32_t from = static_cast<uint32_t>(start < kept ? start : kept);
            const uint32_t to = static_cast<uint32_t>(x < kept ? x : kept);
            SetBits(row, from, to);
        }
        white = !white;
    }
    // The rest of a partly read byte is dropped: every row starts on a byte.
    return end;
}

// ---- LZW ------------------------------------------------------------------------

TiffLzwDecoder::TiffLzwDecoder(const unsigned char* data, uint32_t size) : m_codes(data, size)
{
    for (uint32_t i = 0; i < 256; ++i) {
        m_prefix[i] = 0;
        m_lengthLess1[i] = 0;
        m_first[i] = static_cast<unsigned char>(i);
        m_tail[i][0] = static_cast<unsigned char>(i);
    }
    // The strip must open with the clear code.
    uint32_t code = 0;
    if (!m_codes.Read(m_width, &code)) {
        m_empty = true;
        m_status = Status::Ended;
    } else if (code != kClear) {
        m_status = Status::NoClearCode;
    }
}

inline void TiffLzwDecoder::PutString(uint32_t code, uint32_t total, uint32_t extra, unsigned char first,
                               unsigned char* out, uint32_t room) const
{
    unsigned char* end = out + total - extra;
    const uint32_t tail = (m_lengthLess1[code] & 7u) + 1;
    unsigned char* p = end - tail;
    // The tail as eight bytes when they fit: the bytes past the string are
    // written over by what follows.
    if (static_cast<uint32_t>(p - out) + 8 <= room)
        std::memcpy(p, m_tail[code], 8);
    else
        std::memcpy(p, m_tail[code], tail);
    uint32_t c = m_prefix[code];
    while (p != out) {
        p -= 8;
        std::memcpy(p, m_tail[c], 8);
        c = m_prefix[c];
    }
    if (extra)
        *end = first;  // after the tail, which may have written over it
}

uint32_t TiffLzwDecoder::Read(unsigned char* out, uint32_t length)
{
    uint32_t n = 0;
    // First what is left of a string that crossed the previous call's end.
    if (m_pendingPos < m_pendingEnd) {
        n = std::min(m_pendingEnd - m_pendingPos, length);
        std::memcpy(out, m_pending + m_pendingPos, n);
        m_pendingPos += n;
    }
    if (n == length || m_status != Status::Going)
        return n;

    // The decoding state in locals while bytes are written: writes through
    // `out` could otherwise alias the members and force their reloads.
    LzwMsbCodeReader codes = m_codes;
    int width = m_width;
    uint32_t nextFree = m_nextFree;
    int32_t previous = m_previous;
    while (n < length) {
        uint32_t code = 0;
        if (!codes.Read(width, &code) || code == kEnd) {
            m_status = Status::Ended;
            break;
        }
        if (code == kClear) {
            previous = -1;
            nextFree = 257;
            width = 9;
            continue;
        }
        // The string of `code`, or for a code not yet in the table the
        // previous string followed by its own first byte.  Only the next
        // free code itself can be decoded that way, and only with a
        // previous string.
        uint32_t cur = code;
        uint32_t extra = 0;
        if (code >= nextFree) {
            if (code > nextFree || previous < 0) {
                m_status = Status::CodePastTable;
                break;
            }
            cur = static_cast<uint32_t>(previous);
            extra = 1;
        }
        const unsigned char first = m_first[cur];
        const uint32_t lengthLess1 = m_lengthLess1[cur];
        const uint32_t total = lengthLess1 + 1u + extra;
        const uint32_t room = length - n;
        if (lengthLess1 < 8 && room >= 9) {
            // The common short string: one eight-byte step, then the KwKwK
            // byte (or a byte the next string writes over).
            unsigned char* dst = out + n;
            std::memcpy(dst, m_tail[cur], 8);
            dst[lengthLess1 + 1] = first;
            n += total;
        } else if (total <= room) {
            PutString(cur, total, extra, first, out + n, room);
            n += total;
        } else {
            // Kept in m_pending and handed out from there.
            PutString(cur, total, extra, first, m_pending, sizeof m_pending);
            std::memcpy(out + n, m_pending, room);
            n = length;
            m_pendingPos = room;
            m_pendingEnd = total;
        }
        if (nextFree < kTableSize) {
            // After a clear code the first string adds no entry (the end
            // code's slot is skipped).
            if (previous >= 0) {
                const uint32_t p = static_cast<uint32_t>(previous);
                const uint32_t lengthLess1 = m_lengthLess1[p];
                if ((lengthLess1 & 7u) == 7u) {
                    m_prefix[nextFree] = static_cast<uint16_t>(p);
                    m_tail[nextFree][0] = first;
                } else {
                    m_prefix[nextFree] = m_prefix[p];
                    std::memcpy(m_tail[nextFree], m_tail[p], 8);
                    m_tail[nextFree][(lengthLess1 & 7u) + 1] = first;
                }
                m_lengthLess1[nextFree] = static_cast<uint16_t>(lengthLess1 + 1);
                m_first[nextFree] = m_first[p];
            }
            ++nextFree;
            // The width grows one code early (when the next free entry
            // reaches 511, 1023 or 2047) and stays at 12 bits.
            if (width < 12 && nextFree == (1u << width) - 1)
                ++width;
        }
        previous = static_cast<int32_t>(code);
    }
    // Strings are written in eight-byte steps: the few bytes past the last
    // one are cleared when the stream stops short of the row's end.
    if (n < length)
        std::memset(out + n, 0, std::min<uint32_t>(length - n, 8));
    m_codes = codes;
    m_width = width;
    m_nextFree = nextFree;
    m_previous = previous;
    return n;
}

// ---- samples -----------------------------------------------------------------------

void UndoHorizontalPredictor(unsigned char* row, uint32_t rowLength, uint32_t samplesPerPixel,
                             int32_t bitsPerSample, bool bigEndian)
{
    const uint32_t spp = samplesPerPixel;
    if (spp == 0)
        return;
    if (bitsPerSample == 16) {
        // Differences of whole 16-bit samples in the file's byte order.
        const uint32_t samples = rowLength / 2;
        for (uint32_t i = spp; i < samples; ++i) {
            unsigned char* cur = row + 2 * static_cast<size_t>(i);
            const unsigned char* prev = cur - 2 * static_cast<size_t>(spp);
            Store16(cur, static_cast<uint16_t>(Load16(cur, bigEndian) + Load16(prev, bigEndian)), bigEndian);
        }
        return;
    }
    for (uint32_t i = spp; i < rowLength; ++i)
        row[i] = static_cast<unsigned char>(row[i] + row[i - spp]);
}

void UnpackSamples(const unsigned char* source, unsigned char* destination, uint64_t count,
                   int32_t bitsPerSample, bool bigEndian)
{
    const size_t n = static_cast<size_t>(count);
    switch (bitsPerSample) {
    case 4:
        for (size_t i = 0; i < n; ++i)
            destination[i] = (i & 1) ? (source[i / 2] & 0x0F) : (source[i / 2] >> 4);
        break;
    case 1:
        for (size_t i = 0; i < n; ++i)
            destination[i] = (source[i / 8] >> (7 - (i % 8))) & 1;
        break;
    case 16: {
        const size_t high = bigEndian ? 0 : 1;
        for (size_t i = 0; i < n; ++i)
            destination[i] = source[2 * i + high];
        break;
    }
    default:
        break;
    }
}
