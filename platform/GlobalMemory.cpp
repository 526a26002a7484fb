#include "GlobalMemory.h"

#include <cstdlib>
#include <sys/mman.h>
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
    void* block = std::calloc(1, bytes);
#ifdef MADV_HUGEPAGE
    // A large block (a full-size preview) comes zeroed from fresh pages;
    // asking for huge pages spares one page fault per 4 KiB as it is filled.
    constexpr size_t kHuge = 2u << 20;
    if (block != nullptr && bytes >= 2 * kHuge) {
        const auto from = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
        const auto to = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHuge - 1);
        if (to > from)
            ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    }
#endif
    return block;
}

void GlobalFree(void* block) { std::free(block); }

void SetMemoryStatusSource(MemoryStatusSource source) { g_statusSource = source; }
void SetAllocationGate(AllocationGate gate) { g_allocGate = gate; }
