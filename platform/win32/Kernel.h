// The Windows calls behind GlobalMemory.h and DefaultPalette.h, whose names
// (GlobalFree, PALETTEENTRY) would clash with <windows.h> in one file.
#pragma once

#include <cstddef>
#include <cstdint>

void* KernelGlobalAlloc(size_t bytes);  // fixed and zero-filled
void KernelGlobalFree(void* block);
bool KernelMemoryStatus(uint64_t* totalPhys, uint64_t* availPhys, uint64_t* totalVirtual);
// Entries of the stock default palette as red, green, blue, flags bytes.
unsigned KernelDefaultPalette(unsigned start, unsigned count, unsigned char* entries);
