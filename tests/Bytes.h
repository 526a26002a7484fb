// The tests' one builder of little- and big-endian bytes: files made in
// memory front to back, and fields set in place in a copy of a fixture.
#pragma once

#include "ByteOrder.h"

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

class Bytes {
public:
    explicit Bytes(bool bigEndian, std::vector<uint8_t> start = {}) : m_big(bigEndian), m_data(std::move(start)) {}

    Bytes& U8(uint32_t x)
    {
        m_data.push_back(static_cast<uint8_t>(x));
        return *this;
    }
    Bytes& U16(uint32_t x)
    {
        Append16(m_data, static_cast<uint16_t>(x), m_big);
        return *this;
    }
    Bytes& U32(uint32_t x)
    {
        Append32(m_data, x, m_big);
        return *this;
    }
    Bytes& Raw(const std::vector<uint8_t>& bytes)
    {
        m_data.insert(m_data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    // The characters of `text` without its terminating zero.
    Bytes& Text(const char* text)
    {
        m_data.insert(m_data.end(), text, text + std::strlen(text));
        return *this;
    }

    const std::vector<uint8_t>& data() const { return m_data; }
    operator const std::vector<uint8_t>&() const { return m_data; }

private:
    bool m_big;
    std::vector<uint8_t> m_data;
};

// A field set in place, in the given byte order.
inline void Set16(std::vector<uint8_t>& v, size_t at, uint32_t x, bool bigEndian)
{
    Store16(&v.at(at + 1) - 1, static_cast<uint16_t>(x), bigEndian);
}
inline void Set32(std::vector<uint8_t>& v, size_t at, uint32_t x, bool bigEndian)
{
    Store32(&v.at(at + 3) - 3, x, bigEndian);
}
