#include "GlobalMemory.h"

#include <cstdlib>
#include <unistd.h>

namespace {
MemoryStatusSource g_statusSource = nullptr;
AllocationGate g_allocGate = nullptr;

MemoryStatus QuerySystem()
{
    MemoryStatus status{0, 0, static_cast<uint64_t>(UINTPTR_MAX)};
    const long page = ::sysconf(_SC_PAGESIZE);
    const long total = ::sysconf(_SC_PHYS_PAGES);
    const long avail = ::sysconf(_SC_AVPHYS_PAGES);
    if (page > 0 && total > 0)
        status.totalPhys = static_cast<uint64_t>(page) * static_cast<uint64_t>(total);
    if (page > 0 && avail > 0)
        status.availPhys = static_cast<uint64_t>(page) * static_cast<uint64_t>(avail);
    return status;
}
}  // namespace

MemoryStatus GlobalMemoryStatus()
{
    return g_statusSource != nullptr ? g_statusSource() : QuerySystem();
}

void* GlobalAllocZeroed(size_t bytes)
{
    if (bytes == 0)
        return nullptr;
    if (g_allocGate != nullptr && !g_allocGate(bytes))
        return nullptr;
    return std::calloc(1, bytes);
}

void GlobalFree(void* block) { std::free(block); }

void SetMemoryStatusSource(MemoryStatusSource source) { g_statusSource = source; }
void SetAllocationGate(AllocationGate gate) { g_allocGate = gate; }
