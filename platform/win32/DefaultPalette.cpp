#include "DefaultPalette.h"

#include "Kernel.h"

unsigned GetDefaultPaletteEntries(unsigned start, unsigned count, PALETTEENTRY* entries)
{
    if (entries == nullptr || start >= DEFAULT_PALETTE_SIZE)
        return 0;
    if (count > DEFAULT_PALETTE_SIZE - start)
        count = DEFAULT_PALETTE_SIZE - start;
    static_assert(sizeof(PALETTEENTRY) == 4, "red, green, blue, flags");
    return KernelDefaultPalette(start, count, reinterpret_cast<unsigned char*>(entries));
}
