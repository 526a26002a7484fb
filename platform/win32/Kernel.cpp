#include "Kernel.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

void* KernelGlobalAlloc(size_t bytes) { return ::GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes); }

void KernelGlobalFree(void* block)
{
    if (block != nullptr)
        ::GlobalFree(static_cast<HGLOBAL>(block));
}

bool KernelMemoryStatus(uint64_t* totalPhys, uint64_t* availPhys, uint64_t* totalVirtual)
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status))
        return false;
    *totalPhys = status.ullTotalPhys;
    *availPhys = status.ullAvailPhys;
    *totalVirtual = status.ullTotalVirtual;
    return true;
}

unsigned KernelDefaultPalette(unsigned start, unsigned count, unsigned char* entries)
{
    static_assert(sizeof(PALETTEENTRY) == 4, "red, green, blue, flags");
    HGDIOBJ palette = ::GetStockObject(DEFAULT_PALETTE);
    if (palette == nullptr)
        return 0;
    return ::GetPaletteEntries(static_cast<HPALETTE>(palette), start, count,
                               reinterpret_cast<PALETTEENTRY*>(entries));
}
