// Image memory: aligned, zero-filled global blocks with a physical-memory
// check.  The pointer-sized word just before every handed-out address holds
// the base of the allocation, which is how blocks are released (by ImageFree,
// and by the host for preview blocks).
#pragma once

#include <cstdint>

constexpr uint32_t IMAGE_ALIGN = 8;

// The largest single block a process with `addressSpace` bytes of address
// space is given: half of it.  A 32-bit Windows process has 2 GiB, already
// split by the host's modules, heaps and stacks, so its largest free range is
// rarely much over 1 GiB; asking for more fails late or starves the host.
constexpr uint64_t LargestImageBlock(uint64_t addressSpace) { return addressSpace / 2; }

// A zero-filled block of `size` usable bytes, or null.  With bStrict set a
// request beyond the available memory is still granted up to half of the
// total physical memory; without it only up to 4 MiB.  No block exceeds
// LargestImageBlock of the process's address space.
void* ImageAlloc(uint32_t size, int bStrict);

// As large a block as can be had, up to `want` bytes, shrinking by halves in
// whole `unit`s; the usable size is written through `granted` (0 on failure).
void* ImageAllocBlock(uint32_t want, uint32_t unit, uint32_t* granted);

// Releases the block whose address the variable holds, if any, and clears it.
void ImageFree(void** block);

template <class T>
inline void ImageFree(T** block)
{
    void* p = *block;
    ImageFree(&p);
    *block = nullptr;
}

// Bytes that hold `bits` bits, rounded up to a multiple of IMAGE_ALIGN bytes.
constexpr uint32_t AlignedRowBytes(uint32_t bits)
{
    return static_cast<uint32_t>(
        ((static_cast<uint64_t>(bits) + 8 * IMAGE_ALIGN - 1) / (8 * IMAGE_ALIGN)) * IMAGE_ALIGN);
}

// Owns one image-memory block and releases it through ImageFree when it goes
// out of scope, so every early return gives back what it holds.
template <class T = unsigned char>
class ImageBlock {
public:
    ImageBlock() = default;
    explicit ImageBlock(T* block) : m_p(block) {}
    ImageBlock(const ImageBlock&) = delete;
    ImageBlock& operator=(const ImageBlock&) = delete;
    ~ImageBlock() { ImageFree(&m_p); }

    // Allocates with ImageAlloc, releasing what was held; false on failure.
    bool Alloc(uint32_t size, int bStrict)
    {
        ImageFree(&m_p);
        m_p = static_cast<T*>(ImageAlloc(size, bStrict));
        return m_p != nullptr;
    }
    bool AllocBlock(uint32_t want, uint32_t unit, uint32_t* granted)
    {
        ImageFree(&m_p);
        m_p = static_cast<T*>(ImageAllocBlock(want, unit, granted));
        return m_p != nullptr;
    }
    T* get() const { return m_p; }
    T& operator[](uint32_t i) const { return m_p[i]; }
    explicit operator bool() const { return m_p != nullptr; }
    // Gives up ownership.
    T* release()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void reset() { ImageFree(&m_p); }

private:
    T* m_p = nullptr;
};

// Checked 32-bit size arithmetic for buffer sizes: false when the result
// would not fit in 32 bits.
inline bool MulSize(uint64_t a, uint64_t b, uint32_t* out)
{
    if (a != 0 && b > UINT32_MAX / a)
        return false;
    const uint64_t r = a * b;
    if (r > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(r);
    return true;
}
