// The one builder of TIFF files for the tests: header, blobs of data and a
// directory written last, in either byte order; plus packers of LZW code
// streams for hand-made strips.
#pragma once

#include "ByteOrder.h"
#include "TiffTags.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

class TiffBuilder {
public:
    explicit TiffBuilder(bool intel) : m_intel(intel)
    {
        m_data = {static_cast<uint8_t>(intel ? 'I' : 'M'), static_cast<uint8_t>(intel ? 'I' : 'M')};
        Put16(m_data, 42);
        Put32(m_data, 0);
    }
    void Put16(std::vector<uint8_t>& v, uint32_t x) const { Append16(v, static_cast<uint16_t>(x), !m_intel); }
    void Put32(std::vector<uint8_t>& v, uint32_t x) const { Append32(v, x, !m_intel); }
    // Appends raw bytes at an even offset; returns the offset.
    uint32_t Blob(const std::vector<uint8_t>& bytes)
    {
        if (m_data.size() & 1)
            m_data.push_back(0);
        const uint32_t at = static_cast<uint32_t>(m_data.size());
        m_data.insert(m_data.end(), bytes.begin(), bytes.end());
        return at;
    }
    // Zero bytes up to `size` (room for a directory placed early).
    void Pad(size_t size)
    {
        if (m_data.size() < size)
            m_data.resize(size, 0);
    }
    uint32_t Shorts(const std::vector<uint32_t>& values)
    {
        std::vector<uint8_t> b;
        for (uint32_t v : values)
            Put16(b, v);
        return Blob(b);
    }
    uint32_t Longs(const std::vector<uint32_t>& values)
    {
        std::vector<uint8_t> b;
        for (uint32_t v : values)
            Put32(b, v);
        return Blob(b);
    }
    // An entry whose value field holds `value` (a lone SHORT in its first two
    // bytes, anything else as 32 bits).
    void Entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
    {
        std::vector<uint8_t> e;
        Put16(e, tag);
        Put16(e, type);
        Put32(e, count);
        if (type == TIFF_TYPE_SHORT && count == 1) {
            Put16(e, value);
            e.push_back(0);
            e.push_back(0);
        } else {
            Put32(e, value);
        }
        m_entries.push_back(e);
    }
    // An entry holding up to two SHORT values in its value field.
    void ShortsInEntry(uint16_t tag, const std::vector<uint32_t>& values)
    {
        std::vector<uint8_t> e;
        Put16(e, tag);
        Put16(e, TIFF_TYPE_SHORT);
        Put32(e, static_cast<uint32_t>(values.size()));
        for (size_t i = 0; i < 2; ++i)
            Put16(e, i < values.size() ? values[i] : 0);
        m_entries.push_back(e);
    }
    void Short(uint16_t tag, uint32_t value) { Entry(tag, TIFF_TYPE_SHORT, 1, value); }
    void Long(uint16_t tag, uint32_t value) { Entry(tag, TIFF_TYPE_LONG, 1, value); }
    void Rational(uint16_t tag, uint32_t num, uint32_t den) { Entry(tag, TIFF_TYPE_RATIONAL, 1, Longs({num, den})); }
    // The file, the directory at `at` (0: after the data) with its entries in
    // the order given; `next` is the next-directory offset.
    std::vector<uint8_t> Build(uint32_t next = 0, uint32_t at = 0)
    {
        std::vector<uint8_t> out = m_data;
        if (at == 0 && (out.size() & 1))
            out.push_back(0);
        uint32_t ifd = static_cast<uint32_t>(out.size());
        if (at != 0) {
            ifd = at;
            if (out.size() < at)
                out.resize(at, 0);
        }
        std::vector<uint8_t> dir;
        Put16(dir, static_cast<uint32_t>(m_entries.size()));
        for (const auto& e : m_entries)
            dir.insert(dir.end(), e.begin(), e.end());
        Put32(dir, next);
        if (out.size() < ifd + dir.size())
            out.resize(ifd + dir.size(), 0);
        std::copy(dir.begin(), dir.end(), out.begin() + ifd);
        std::vector<uint8_t> head;
        Put32(head, ifd);
        std::copy(head.begin(), head.end(), out.begin() + 4);
        return out;
    }
    size_t Size() const { return m_data.size(); }

private:
    bool m_intel;
    std::vector<uint8_t> m_data;
    std::vector<std::vector<uint8_t>> m_entries;
};

// Packs codes most significant bit first, each with its own width (a TIFF
// LZW stream).
inline std::vector<uint8_t> LzwCodes(const std::vector<std::pair<uint32_t, int>>& codes)
{
    std::vector<uint8_t> out;
    uint64_t acc = 0;
    int bits = 0;
    for (const auto& c : codes) {
        acc = (acc << c.second) | c.first;
        bits += c.second;
        while (bits >= 8) {
            out.push_back(static_cast<uint8_t>(acc >> (bits - 8)));
            bits -= 8;
        }
    }
    if (bits > 0)
        out.push_back(static_cast<uint8_t>(acc << (8 - bits)));
    return out;
}

// 9-bit codes only.
inline std::vector<uint8_t> Nine(const std::vector<uint32_t>& codes)
{
    std::vector<std::pair<uint32_t, int>> c;
    for (uint32_t v : codes)
        c.push_back({v, 9});
    return LzwCodes(c);
}
