#include "ImageMemory.h"

#include "GlobalMemory.h"

#include <cstring>

namespace {

constexpr uint64_t kNonStrictLimit = 4u * 1024 * 1024;

// Total size of the allocation behind `size` usable bytes: room for the
// alignment step and the base word, rounded down to a multiple of 8.
uint64_t TotalSize(uint64_t size) { return ((size + 3 * IMAGE_ALIGN + 8) / 8) * 8; }

void* Place(void* base)
{
    const auto raw = reinterpret_cast<uintptr_t>(base);
    const uintptr_t aligned = ((raw + sizeof(void*) + IMAGE_ALIGN - 1) / IMAGE_ALIGN) * IMAGE_ALIGN;
    auto* block = reinterpret_cast<unsigned char*>(aligned);
    std::memcpy(block - sizeof(void*), &base, sizeof base);
    return block;
}

}  // namespace

void* ImageAlloc(uint32_t size, int bStrict)
{
    if (size == 0)
        return nullptr;
    const uint64_t total = TotalSize(size);
    if (total > UINT32_MAX)
        return nullptr;
    const MemoryStatus status = GlobalMemoryStatus();
    if (total > status.totalPhys || total > LargestImageBlock(status.totalVirtual))
        return nullptr;
    if (total > status.availPhys) {
        if (bStrict ? total > status.totalPhys / 2 : total > kNonStrictLimit)
            return nullptr;
    }
    void* base = GlobalAllocZeroed(static_cast<size_t>(total));
    if (base == nullptr)
        return nullptr;
    return Place(base);
}

void* ImageAllocBlock(uint32_t want, uint32_t unit, uint32_t* granted)
{
    if (granted != nullptr)
        *granted = 0;
    if (want == 0)
        return nullptr;
    if (unit == 0)
        unit = 1;
    uint64_t n = want;
    const MemoryStatus status = GlobalMemoryStatus();
    auto shrink = [&]() {
        n /= 2;
        n -= n % unit;
        return n >= unit;
    };
    while (8 * n > status.totalPhys || TotalSize(n) > LargestImageBlock(status.totalVirtual)) {
        if (!shrink())
            return nullptr;
    }
    for (;;) {
        const uint64_t total = TotalSize(n);
        void* base = total <= UINT32_MAX ? GlobalAllocZeroed(static_cast<size_t>(total)) : nullptr;
        if (base != nullptr) {
            if (granted != nullptr)
                *granted = static_cast<uint32_t>(n);
            return Place(base);
        }
        if (!shrink())
            return nullptr;
    }
}

void ImageFree(void** block)
{
    if (block == nullptr)
        return;
    if (*block != nullptr) {
        void* base;
        std::memcpy(&base, static_cast<unsigned char*>(*block) - sizeof(void*), sizeof base);
        GlobalFree(base);
    }
    *block = nullptr;
}
