#include "GifLzw.h"

#include <algorithm>
#include <cstring>

namespace {

uint64_t LoadLE64(const uint8_t* p)
{
    uint64_t word = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&word, p, 8);
#else
    for (int i = 7; i >= 0; --i)
        word = (word << 8) | p[i];
#endif
    return word;
}

}  // namespace

bool GifLzwDecoder::Start(unsigned minimumCodeSize)
{
    // Up to 11 leaves the clear and end codes inside the table.  Writers may
    // use sizes past 8 though their pixels stay bytes; a root code past 255
    // is treated as a broken stream when it comes.
    if (minimumCodeSize < 1 || minimumCodeSize > kMaxCodeBits - 1) {
        m_status = Status::CodePastTable;
        return false;
    }
    m_minimum = minimumCodeSize;
    m_clear = 1u << minimumCodeSize;
    m_end = m_clear + 1;
    for (unsigned i = 0; i < m_clear && i < kRoots; ++i) {
        m_prefix[i] = 0;
        m_lengthLess1[i] = 0;
        m_firstByte[i] = static_cast<uint8_t>(i);
        m_tail[i][0] = static_cast<uint8_t>(i);
    }
    m_pendingPos = 0;
    m_pendingEnd = 0;
    m_inputPos = 0;
    m_inputEnd = 0;
    m_bits = 0;
    m_bitCount = 0;
    m_status = Status::Running;
    // A stream need not begin with a clear code: the table starts as one
    // leaves it.
    Reset();
    return true;
}

void GifLzwDecoder::Reset()
{
    m_codeSize = m_minimum + 1;
    m_limit = 1u << m_codeSize;
    m_next = m_clear + 2;
    m_hasPrevious = false;
}

bool GifLzwDecoder::Refill(GifByteSource* source)
{
    while (m_bitCount < m_codeSize) {
        if (m_inputPos == m_inputEnd) {
            m_inputPos = 0;
            m_inputEnd = source->Read(m_input, sizeof m_input);
            if (m_inputEnd == 0)
                return false;
        }
        if (m_inputEnd - m_inputPos >= 8) {
            // Eight bytes at once; the bits above the whole bytes taken are
            // those the next load puts there again.
            const uint64_t word = LoadLE64(m_input + m_inputPos);
            m_bits |= word << m_bitCount;
            m_inputPos += (63 - m_bitCount) >> 3;
            m_bitCount |= 56;
        } else {
            while (m_bitCount <= 56 && m_inputPos != m_inputEnd) {
                m_bits |= static_cast<uint64_t>(m_input[m_inputPos++]) << m_bitCount;
                m_bitCount += 8;
            }
        }
    }
    return true;
}

inline void GifLzwDecoder::PutString(unsigned code, size_t total, unsigned extra, uint8_t first, uint8_t* out,
                                     size_t room) const
{
    uint8_t* end = out + total - extra;
    const unsigned tail = (m_lengthLess1[code] & 7u) + 1;
    uint8_t* p = end - tail;
    // The tail as eight bytes when they fit: the bytes past the string are
    // written over by what follows.
    if (static_cast<size_t>(p - out) + 8 <= room)
        std::memcpy(p, m_tail[code], 8);
    else
        std::memcpy(p, m_tail[code], tail);
    unsigned c = m_prefix[code];
    while (p != out) {
        p -= 8;
        std::memcpy(p, m_tail[c], 8);
        c = m_prefix[c];
    }
    if (extra)
        *end = first;  // after the tail, which may have written over it
}

size_t GifLzwDecoder::Read(GifByteSource* source, uint8_t* out, size_t count)
{
    size_t n = 0;
    // First what is left of a string that crossed the previous call's end.
    if (m_pendingPos < m_pendingEnd) {
        n = std::min(m_pendingEnd - m_pendingPos, count);
        std::memcpy(out, m_pending + m_pendingPos, n);
        m_pendingPos += n;
    }
    // The state in locals while bytes are written: writes through `out`
    // could otherwise alias the members and force their reloads.
    uint64_t bits = m_bits;
    unsigned bitCount = m_bitCount;
    unsigned codeSize = m_codeSize;
    unsigned limit = m_limit;
    unsigned next = m_next;
    unsigned previous = m_previous;
    bool hasPrevious = m_hasPrevious;
    const unsigned clear = m_clear;
    Status status = m_status;
    while (n < count && status == Status::Running) {
        if (bitCount < codeSize) {
            if (m_inputEnd - m_inputPos >= 8) {
                // Eight bytes at once; the bits above the whole bytes taken
                // are those the next load puts there again.
                const uint64_t word = LoadLE64(m_input + m_inputPos);
                bits |= word << bitCount;
                m_inputPos += (63 - bitCount) >> 3;
                bitCount |= 56;
            } else {
                m_bits = bits;
                m_bitCount = bitCount;
                m_codeSize = codeSize;
                const bool more = Refill(source);
                bits = m_bits;
                bitCount = m_bitCount;
                if (!more) {
                    status = Status::EndOfData;
                    break;
                }
            }
        }
        const unsigned code = static_cast<unsigned>(bits) & (limit - 1);
        bits >>= codeSize;
        bitCount -= codeSize;
        if (code == clear) {
            codeSize = m_minimum + 1;
            limit = 1u << codeSize;
            next = clear + 2;
            hasPrevious = false;
            continue;
        }
        if (code == clear + 1) {
            status = Status::EndCode;
            break;
        }
        if (!hasPrevious) {
            // First code after a clear (or of the stream): a root, and no
            // entry is added.
            if (code >= clear || code >= kRoots) {
                status = Status::CodePastTable;
                break;
            }
            out[n++] = static_cast<uint8_t>(code);
            previous = code;
            hasPrevious = true;
            continue;
        }
        // The string of `code`, or for the next free code the previous
        // string followed by its own first byte.
        unsigned cur = code;
        unsigned extra = 0;
        if (code >= next) {
            if (code != next || next >= kTableSize) {
                status = Status::CodePastTable;
                break;
            }
            cur = previous;
            extra = 1;
        } else if (code >= kRoots && code < clear) {
            status = Status::CodePastTable;
            break;
        }
        const uint8_t first = m_firstByte[cur];
        const unsigned lengthLess1 = m_lengthLess1[cur];
        const size_t total = lengthLess1 + 1u + extra;
        const size_t room = count - n;
        if (lengthLess1 < 8 && room >= 9) {
            // The common short string: one eight-byte step, then the KwKwK
            // byte (or a byte the next string writes over).
            uint8_t* dst = out + n;
            std::memcpy(dst, m_tail[cur], 8);
            dst[lengthLess1 + 1] = first;
            n += total;
        } else if (total <= room) {
            PutString(cur, total, extra, first, out + n, room);
            n += total;
        } else {
            PutString(cur, total, extra, first, m_pending, sizeof m_pending);
            std::memcpy(out + n, m_pending, room);
            n = count;
            m_pendingPos = room;
            m_pendingEnd = total;
        }
        // A full table takes no more entries; decoding goes on with it.
        if (next < kTableSize) {
            const unsigned p = previous;
            const unsigned previousLess1 = m_lengthLess1[p];
            if ((previousLess1 & 7u) == 7u) {
                m_prefix[next] = static_cast<uint16_t>(p);
                m_tail[next][0] = first;
            } else {
                m_prefix[next] = m_prefix[p];
                std::memcpy(m_tail[next], m_tail[p], 8);
                m_tail[next][(previousLess1 & 7u) + 1] = first;
            }
            m_lengthLess1[next] = static_cast<uint16_t>(previousLess1 + 1);
            m_firstByte[next] = m_firstByte[p];
            ++next;
            if (next == limit && codeSize < kMaxCodeBits) {
                ++codeSize;
                limit <<= 1;
            }
        }
        previous = code;
    }
    m_bits = bits;
    m_bitCount = bitCount;
    m_codeSize = codeSize;
    m_limit = limit;
    m_next = next;
    m_previous = previous;
    m_hasPrevious = hasPrevious;
    m_status = status;
    // Strings are written in eight-byte steps: the few bytes past the last
    // one are cleared when the stream stops short.
    if (n < count)
        std::memset(out + n, 0, std::min<size_t>(count - n, 8));
    return n;
}
