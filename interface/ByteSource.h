#pragma once

// A bounded, seekable read-ahead over a byte range of a reader's file.
// Readers that stream bytes (run-length and LZW data) read through it a
// buffer at a time.  CFile errors are not caught here: they reach the
// export like every other read of the reader.

#include "Afx.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

class ByteSource {
public:
    // Bytes [start, end) of `file`, read `capacity` at a time into `buffer`
    // (owned by the caller).  Nothing is read before the first byte is asked for.
    ByteSource(CFile& file, unsigned char* buffer, uint32_t capacity, uint64_t start, uint64_t end);

    // The next byte, or -1 at the end of the range (or of the file).
    int Next()
    {
        if (m_at < m_held)
            return m_buffer[m_at++];
        return Refill() ? m_buffer[m_at++] : -1;
    }

    // Copies up to `count` next bytes to `out`; how many (fewer only at the end).
    size_t Take(unsigned char* out, size_t count)
    {
        if (count <= m_held - m_at) {  // the common case: all buffered
            std::memcpy(out, m_buffer + m_at, count);
            m_at += static_cast<uint32_t>(count);
            return count;
        }
        return TakeAcross(out, count);
    }

    // Passes over `count` bytes without reading them; false (and at the end)
    // when the range holds fewer.
    bool Skip(uint64_t count)
    {
        if (count <= m_held - m_at) {
            m_at += static_cast<uint32_t>(count);
            return true;
        }
        return SkipAcross(count);
    }

    // Moves to file offset `at`, clamped to the range; inside the buffered
    // bytes nothing is read again.
    void Seek(uint64_t at);

    // File offset of the next byte.
    uint64_t Position() const { return m_bufferStart + m_at; }
    bool AtEnd() const { return m_at == m_held && m_bufferStart + m_held >= m_end; }

    // The buffered bytes not yet taken, refilling first when there are none:
    // a pointer to them and their count (0 at the end).  Advance() takes
    // `n` of them.
    const unsigned char* Buffered(uint32_t* count)
    {
        if (m_at == m_held && !Refill()) {
            *count = 0;
            return nullptr;
        }
        *count = m_held - m_at;
        return m_buffer + m_at;
    }
    void Advance(uint32_t n) { m_at += n < m_held - m_at ? n : m_held - m_at; }

private:
    // Reads the next buffer from the file; false at the end.
    bool Refill();
    size_t TakeAcross(unsigned char* out, size_t count);
    bool SkipAcross(uint64_t count);

    CFile& m_file;
    unsigned char* m_buffer;
    uint32_t m_capacity;
    uint64_t m_end;
    uint64_t m_bufferStart;  // file offset of m_buffer[0]
    uint32_t m_at = 0;       // next buffered byte
    uint32_t m_held = 0;     // buffered bytes
};
