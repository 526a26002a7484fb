#include "ByteSource.h"

#include <cstring>

ByteSource::ByteSource(CFile& file, unsigned char* buffer, uint32_t capacity, uint64_t start, uint64_t end)
    : m_file(file), m_buffer(buffer), m_capacity(capacity), m_end(end), m_bufferStart(start < end ? start : end)
{
}

bool ByteSource::Refill()
{
    m_bufferStart += m_held;
    m_at = 0;
    m_held = 0;
    if (m_bufferStart >= m_end || m_capacity == 0)
        return false;
    const uint64_t left = m_end - m_bufferStart;
    const uint32_t want = left < m_capacity ? static_cast<uint32_t>(left) : m_capacity;
    m_file.Seek(static_cast<int64_t>(m_bufferStart), CFile::begin);
    m_held = m_file.Read(m_buffer, want);
    // A short read is the end of the file: the range ends there.
    if (m_held < want)
        m_end = m_bufferStart + m_held;
    return m_held != 0;
}

size_t ByteSource::TakeAcross(unsigned char* out, size_t count)
{
    size_t got = 0;
    while (got < count) {
        if (m_at == m_held && !Refill())
            break;
        const size_t held = m_held - m_at;
        const size_t n = count - got < held ? count - got : held;
        std::memcpy(out + got, m_buffer + m_at, n);
        m_at += static_cast<uint32_t>(n);
        got += n;
    }
    return got;
}

bool ByteSource::SkipAcross(uint64_t count)
{
    const uint64_t at = Position();
    if (count > m_end - at) {
        Seek(m_end);
        return false;
    }
    Seek(at + count);
    return true;
}

void ByteSource::Seek(uint64_t at)
{
    if (at > m_end)
        at = m_end;
    if (at >= m_bufferStart && at - m_bufferStart <= m_held) {
        m_at = static_cast<uint32_t>(at - m_bufferStart);
        return;
    }
    // Outside the buffer: the next read starts there.
    m_bufferStart = at;
    m_at = 0;
    m_held = 0;
}
