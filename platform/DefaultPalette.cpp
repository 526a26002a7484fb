#include "DefaultPalette.h"

namespace {
const PALETTEENTRY kDefaultPalette[DEFAULT_PALETTE_SIZE] = {
    {0, 0, 0, 0},       {128, 0, 0, 0},     {0, 128, 0, 0},     {128, 128, 0, 0},
    {0, 0, 128, 0},     {128, 0, 128, 0},   {0, 128, 128, 0},   {192, 192, 192, 0},
    {192, 220, 192, 0}, {166, 202, 240, 0}, {255, 251, 240, 0}, {160, 160, 164, 0},
    {128, 128, 128, 0}, {255, 0, 0, 0},     {0, 255, 0, 0},     {255, 255, 0, 0},
    {0, 0, 255, 0},     {255, 0, 255, 0},   {0, 255, 255, 0},   {255, 255, 255, 0},
};
}  // namespace

unsigned GetDefaultPaletteEntries(unsigned start, unsigned count, PALETTEENTRY* entries)
{
    if (entries == nullptr || start >= DEFAULT_PALETTE_SIZE)
        return 0;
    if (count > DEFAULT_PALETTE_SIZE - start)
        count = DEFAULT_PALETTE_SIZE - start;
    for (unsigned i = 0; i < count; ++i)
        entries[i] = kDefaultPalette[start + i];
    return count;
}
