#include "GifLzw.h"

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
        m_suffix[i] = static_cast<uint8_t>(i);
    }
    m_stackTop = 0;
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

bool GifLzwDecoder::TakeCode(GifByteSource* source, unsigned* code)
{
    while (m_bitCount < m_codeSize) {
        uint8_t byte = 0;
        if (!source->Next(&byte))
            return false;
        m_bits |= static_cast<uint32_t>(byte) << m_bitCount;
        m_bitCount += 8;
    }
    *code = m_bits & (m_limit - 1);
    m_bits >>= m_codeSize;
    m_bitCount -= m_codeSize;
    return true;
}

bool GifLzwDecoder::PushString(unsigned code, uint8_t* first)
{
    // Every entry's prefix is a smaller code, so the walk reaches a root; the
    // stack bound keeps it safe whatever the table holds.
    while (code >= m_clear) {
        if (m_stackTop >= kTableSize || code >= m_next)
            return false;
        m_stack[m_stackTop++] = m_suffix[code];
        code = m_prefix[code];
    }
    if (m_stackTop >= kTableSize + 1 || code >= kRoots)
        return false;
    m_stack[m_stackTop++] = static_cast<uint8_t>(code);
    *first = static_cast<uint8_t>(code);
    return true;
}

size_t GifLzwDecoder::Read(GifByteSource* source, uint8_t* out, size_t count)
{
    size_t n = 0;
    while (n < count) {
        if (m_stackTop > 0) {
            out[n++] = m_stack[--m_stackTop];
            continue;
        }
        if (m_status != Status::Running)
            break;
        unsigned code = 0;
        if (!TakeCode(source, &code)) {
            m_status = Status::EndOfData;
            break;
        }
        if (code == m_clear) {
            Reset();
            continue;
        }
        if (code == m_end) {
            m_status = Status::EndCode;
            break;
        }
        if (!m_hasPrevious) {
            // First code after a clear (or of the stream): a root, and no
            // entry is added.
            if (code >= m_clear || code >= kRoots) {
                m_status = Status::CodePastTable;
                break;
            }
            m_stack[m_stackTop++] = static_cast<uint8_t>(code);
            m_first = static_cast<uint8_t>(code);
            m_previous = code;
            m_hasPrevious = true;
            continue;
        }
        uint8_t first = 0;
        if (code < m_next) {
            if (!PushString(code, &first)) {
                m_status = Status::CodePastTable;
                break;
            }
        } else if (code == m_next && m_next < kTableSize) {
            // The string not yet in the table: the previous string followed
            // by its own first character.
            m_stack[m_stackTop++] = m_first;
            if (!PushString(m_previous, &first)) {
                m_stackTop = 0;
                m_status = Status::CodePastTable;
                break;
            }
        } else {
            m_status = Status::CodePastTable;
            break;
        }
        // A full table takes no more entries; decoding goes on with it.
        if (m_next < kTableSize) {
            m_prefix[m_next] = static_cast<uint16_t>(m_previous);
            m_suffix[m_next] = first;
            ++m_next;
            if (m_next == m_limit && m_codeSize < kMaxCodeBits) {
                ++m_codeSize;
                m_limit <<= 1;
            }
        }
        m_first = first;
        m_previous = code;
    }
    return n;
}
