// The stock default palette of the platform: 20 fixed colours.
#pragma once

#include <cstdint>

struct PALETTEENTRY {
    uint8_t peRed;
    uint8_t peGreen;
    uint8_t peBlue;
    uint8_t peFlags;
};

constexpr unsigned DEFAULT_PALETTE_SIZE = 20;

// Copies entries [start, start + count) of the default palette to `entries`
// and returns how many were copied; entries past the last one yield nothing.
unsigned GetDefaultPaletteEntries(unsigned start, unsigned count, PALETTEENTRY* entries);
