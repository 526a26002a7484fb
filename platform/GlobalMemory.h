// Physical-memory status and fixed, zero-filled global memory blocks.
#pragma once

#include <cstddef>
#include <cstdint>

struct MemoryStatus {
    uint64_t totalPhys;  // bytes of physical memory
    uint64_t availPhys;  // bytes of physical memory available now
    // Bytes of address space the process may use: 2 GiB for a 32-bit Windows
    // process, far more than memory in a 64-bit one.
    uint64_t totalVirtual = UINT64_MAX;
};

// Snapshot of the machine's physical memory (or the test substitute).
MemoryStatus GlobalMemoryStatus();

// A fixed block of `bytes` zero-filled bytes, or null.  Released with
// GlobalFree; the release of a null pointer does nothing.
void* GlobalAllocZeroed(size_t bytes);
void GlobalFree(void* block);

// Test seams: substitute the memory status, and decide per request whether an
// allocation fails.  Pass null to restore the real behaviour.
using MemoryStatusSource = MemoryStatus (*)();
using AllocationGate = bool (*)(size_t bytes);  // false makes the request fail
void SetMemoryStatusSource(MemoryStatusSource source);
void SetAllocationGate(AllocationGate gate);
