#include "GlobalMemory.h"

#include "Kernel.h"

namespace {
MemoryStatusSource g_statusSource = nullptr;
AllocationGate g_allocGate = nullptr;
}  // namespace

MemoryStatus GlobalMemoryStatus()
{
    if (g_statusSource != nullptr)
        return g_statusSource();
    MemoryStatus status{0, 0, 0};
    if (!KernelMemoryStatus(&status.totalPhys, &status.availPhys, &status.totalVirtual))
        return MemoryStatus{0, 0, 0};
    return status;
}

void* GlobalAllocZeroed(size_t bytes)
{
    if (bytes == 0)
        return nullptr;
    if (g_allocGate != nullptr && !g_allocGate(bytes))
        return nullptr;
    return KernelGlobalAlloc(bytes);
}

void GlobalFree(void* block) { KernelGlobalFree(block); }

void SetMemoryStatusSource(MemoryStatusSource source) { g_statusSource = source; }
void SetAllocationGate(AllocationGate gate) { g_allocGate = gate; }
