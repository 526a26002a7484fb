// Little-endian byte output for the files the host writes (BMP, TIFF).
#pragma once

#include <cstdint>
#include <vector>

inline void Put16(std::vector<unsigned char>& v, uint32_t x)
{
    v.push_back(static_cast<unsigned char>(x));
    v.push_back(static_cast<unsigned char>(x >> 8));
}

inline void Put32(std::vector<unsigned char>& v, uint32_t x)
{
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}
