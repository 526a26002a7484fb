// Little- and big-endian 16- and 32-bit loads and stores.  The pointer forms
// take the caller's word that the bytes are there; the ByteView forms check
// the range and give 0 (or false) outside it; the Append forms add to the end
// of a growing byte vector (files built in memory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline uint16_t LoadLE16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint16_t LoadBE16(const unsigned char* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t LoadLE32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint32_t LoadBE32(const unsigned char* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline uint16_t Load16(const unsigned char* p, bool bigEndian) { return bigEndian ? LoadBE16(p) : LoadLE16(p); }
inline uint32_t Load32(const unsigned char* p, bool bigEndian) { return bigEndian ? LoadBE32(p) : LoadLE32(p); }

inline void StoreLE16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void StoreBE16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}
inline void StoreLE32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}
inline void StoreBE32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}
inline void Store16(unsigned char* p, uint16_t v, bool bigEndian)
{
    bigEndian ? StoreBE16(p, v) : StoreLE16(p, v);
}
inline void Store32(unsigned char* p, uint32_t v, bool bigEndian)
{
    bigEndian ? StoreBE32(p, v) : StoreLE32(p, v);
}

// A byte range read in one byte order; every load is checked against the
// range and reads 0 past it.
struct ByteView {
    const unsigned char* data = nullptr;
    size_t size = 0;
    bool bigEndian = false;

    bool Has(size_t at, size_t count) const { return at <= size && count <= size - at; }
    uint8_t U8(size_t at) const { return Has(at, 1) ? data[at] : 0; }
    uint16_t U16(size_t at) const { return Has(at, 2) ? Load16(data + at, bigEndian) : 0; }
    uint32_t U32(size_t at) const { return Has(at, 4) ? Load32(data + at, bigEndian) : 0; }
    int16_t S16(size_t at) const { return static_cast<int16_t>(U16(at)); }
    int32_t S32(size_t at) const { return static_cast<int32_t>(U32(at)); }
};

// A byte range written in one byte order; stores past the range are dropped
// and reported by Put's result.
struct ByteSink {
    unsigned char* data = nullptr;
    size_t size = 0;
    bool bigEndian = false;

    bool Has(size_t at, size_t count) const { return at <= size && count <= size - at; }
    bool Put8(size_t at, uint8_t v)
    {
        if (!Has(at, 1))
            return false;
        data[at] = v;
        return true;
    }
    bool Put16(size_t at, uint16_t v)
    {
        if (!Has(at, 2))
            return false;
        Store16(data + at, v, bigEndian);
        return true;
    }
    bool Put32(size_t at, uint32_t v)
    {
        if (!Has(at, 4))
            return false;
        Store32(data + at, v, bigEndian);
        return true;
    }
};

// Appends to a byte vector, for files built in memory front to back.
inline void AppendLE16(std::vector<unsigned char>& v, uint16_t x)
{
    const unsigned char b[2] = {static_cast<unsigned char>(x), static_cast<unsigned char>(x >> 8)};
    v.insert(v.end(), b, b + 2);
}
inline void AppendBE16(std::vector<unsigned char>& v, uint16_t x)
{
    const unsigned char b[2] = {static_cast<unsigned char>(x >> 8), static_cast<unsigned char>(x)};
    v.insert(v.end(), b, b + 2);
}
inline void AppendLE32(std::vector<unsigned char>& v, uint32_t x)
{
    unsigned char b[4];
    StoreLE32(b, x);
    v.insert(v.end(), b, b + 4);
}
inline void AppendBE32(std::vector<unsigned char>& v, uint32_t x)
{
    unsigned char b[4];
    StoreBE32(b, x);
    v.insert(v.end(), b, b + 4);
}
inline void Append16(std::vector<unsigned char>& v, uint16_t x, bool bigEndian)
{
    bigEndian ? AppendBE16(v, x) : AppendLE16(v, x);
}
inline void Append32(std::vector<unsigned char>& v, uint32_t x, bool bigEndian)
{
    bigEndian ? AppendBE32(v, x) : AppendLE32(v, x);
}
