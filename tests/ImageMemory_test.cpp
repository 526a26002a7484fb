#include "ImageMemory.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

uintptr_t BaseOf(void* block)
{
    void* base;
    std::memcpy(&base, static_cast<unsigned char*>(block) - sizeof(void*), sizeof base);
    return reinterpret_cast<uintptr_t>(base);
}

TEST(ImageAlloc, ZeroSizeGivesNull)
{
    EXPECT_EQ(ImageAlloc(0, 1), nullptr);
    EXPECT_EQ(ImageAlloc(0, 0), nullptr);
}

TEST(ImageAlloc, OneByteBlockIsAlignedZeroedAndCarriesItsBase)
{
    FakeMemory memory(1024 * MiB, 512 * MiB);
    void* block = ImageAlloc(1, 0);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(FakeMemory::requests.size(), 1u);
    EXPECT_EQ(FakeMemory::requests[0], 32u);
    const auto address = reinterpret_cast<uintptr_t>(block);
    EXPECT_EQ(address % IMAGE_ALIGN, 0u);
    const uintptr_t base = BaseOf(block);
    EXPECT_GE(address, base + 8);
    EXPECT_LT(address, base + 16);
    EXPECT_EQ(static_cast<unsigned char*>(block)[0], 0);
    ImageFree(&block);
    EXPECT_EQ(block, nullptr);
}

// Large blocks (full-size previews) take another path through the platform
// allocator; they are zero from end to end, also when the memory of a block
// just released and written over comes back.
TEST(ImageAlloc, LargeBlocksAreZeroedEvenWhenMemoryIsReused)
{
    constexpr uint32_t kSize = 9 * 1024 * 1024 + 5;
    for (int round = 0; round < 2; ++round) {
        auto* block = static_cast<unsigned char*>(ImageAlloc(kSize, 1));
        ASSERT_NE(block, nullptr);
        size_t nonZero = 0;
        for (uint32_t i = 0; i < kSize; ++i)
            nonZero += block[i] != 0;
        EXPECT_EQ(nonZero, 0u) << "round " << round;
        std::memset(block, 0xA5, kSize);
        ImageFree(&block);
    }
}

TEST(ImageAlloc, TotalSizeIsSizePlus32RoundedDownTo8)
{
    FakeMemory memory(1024 * MiB, 512 * MiB);
    for (uint32_t size : {1u, 7u, 8u, 9u, 100u, 1000u}) {
        FakeMemory::requests.clear();
        void* block = ImageAlloc(size, 1);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(FakeMemory::requests.at(0), ((size + 32) / 8) * 8) << size;
        // The usable bytes all lie inside the allocation and are zero.
        const auto* p = static_cast<unsigned char*>(block);
        for (uint32_t i = 0; i < size; ++i)
            ASSERT_EQ(p[i], 0);
        EXPECT_LE(reinterpret_cast<uintptr_t>(block) + size, BaseOf(block) + FakeMemory::requests[0]);
        ImageFree(&block);
    }
}

TEST(ImageAlloc, StrictAndNonStrictRulesBeyondAvailableMemory)
{
    FakeMemory memory(64 * MiB, 3 * MiB);
    void* strict5 = ImageAlloc(5 * MiB, 1);
    EXPECT_NE(strict5, nullptr);
    void* loose5 = ImageAlloc(5 * MiB, 0);
    EXPECT_EQ(loose5, nullptr);
    EXPECT_EQ(ImageAlloc(40 * MiB, 1), nullptr);  // more than half of the total
    // Within the available memory both rules grant.
    void* small = ImageAlloc(2 * MiB, 0);
    EXPECT_NE(small, nullptr);
    ImageFree(&strict5);
    ImageFree(&small);
}

TEST(ImageAlloc, FourMiBBoundaryOfTheNonStrictRule)
{
    FakeMemory memory(64 * MiB, 1 * MiB);
    // Total size exactly 4 MiB is allowed, one step more is not.
    void* at = ImageAlloc(4 * MiB - 32, 0);
    EXPECT_NE(at, nullptr);
    EXPECT_EQ(ImageAlloc(4 * MiB - 24, 0), nullptr);
    ImageFree(&at);
}

TEST(ImageAlloc, HalfOfTotalBoundaryOfTheStrictRule)
{
    FakeMemory memory(64 * MiB, 1 * MiB);
    void* at = ImageAlloc(32 * MiB - 32, 1);
    EXPECT_NE(at, nullptr);
    EXPECT_EQ(ImageAlloc(32 * MiB - 24, 1), nullptr);
    ImageFree(&at);
}

TEST(ImageAlloc, LargerThanTotalFailsWhateverTheRule)
{
    FakeMemory memory(64 * MiB, 64 * MiB);
    EXPECT_EQ(ImageAlloc(64 * MiB, 1), nullptr);
    EXPECT_EQ(ImageAlloc(64 * MiB, 0), nullptr);
}

TEST(ImageAlloc, SizesThatWouldWrapIn32BitsFail)
{
    FakeMemory memory(UINT64_MAX / 2, UINT64_MAX / 2);
    EXPECT_EQ(ImageAlloc(UINT32_MAX, 1), nullptr);
    EXPECT_EQ(ImageAlloc(UINT32_MAX - 20, 0), nullptr);
    EXPECT_TRUE(FakeMemory::requests.empty());
}

TEST(ImageAlloc, FailedPlatformAllocationGivesNull)
{
    FakeMemory memory(64 * MiB, 64 * MiB);
    memory.FailAll(true);
    EXPECT_EQ(ImageAlloc(100, 1), nullptr);
}

TEST(ImageFree, NullAndTwiceAreHarmless)
{
    void* none = nullptr;
    ImageFree(&none);
    EXPECT_EQ(none, nullptr);
    unsigned char* block = static_cast<unsigned char*>(ImageAlloc(16, 0));
    ASSERT_NE(block, nullptr);
    ImageFree(&block);
    EXPECT_EQ(block, nullptr);
    ImageFree(&block);  // a second release does nothing (ASan would catch a double free)
    EXPECT_EQ(block, nullptr);
}

TEST(ImageAllocBlock, HalvesInWholeUnitsUntilBelowOneUnit)
{
    FakeMemory memory(1024 * MiB, 1024 * MiB);
    memory.FailAll(true);
    uint32_t granted = 12345;
    EXPECT_EQ(ImageAllocBlock(10000, 2000, &granted), nullptr);
    EXPECT_EQ(granted, 0u);
    // Attempts for 10000, 4000 and 2000 usable bytes, by their total sizes.
    ASSERT_EQ(FakeMemory::requests.size(), 3u);
    EXPECT_EQ(FakeMemory::requests[0], ((10000u + 32) / 8) * 8);
    EXPECT_EQ(FakeMemory::requests[1], ((4000u + 32) / 8) * 8);
    EXPECT_EQ(FakeMemory::requests[2], ((2000u + 32) / 8) * 8);
}

TEST(ImageAllocBlock, GrantsTheWholeWantWhenPossible)
{
    FakeMemory memory(1024 * MiB, 0);  // no available-memory rule here
    uint32_t granted = 0;
    void* block = ImageAllocBlock(10001, 2000, &granted);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(granted, 10001u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % IMAGE_ALIGN, 0u);
    ImageFree(&block);
}

TEST(ImageAllocBlock, ShrinksWhileEightTimesTheSizeExceedsTotalMemory)
{
    FakeMemory memory(64 * MiB, 64 * MiB);
    uint32_t granted = 0;
    void* block = ImageAllocBlock(20 * MiB, 1000, &granted);
    ASSERT_NE(block, nullptr);
    // 20 MiB -> 10 MiB -> 5 MiB -> 2.5 MiB -> 1.25 MiB, each rounded down to whole units.
    uint64_t n = 20 * MiB;
    while (8 * n > 64 * MiB) {
        n /= 2;
        n -= n % 1000;
    }
    EXPECT_EQ(granted, n);
    EXPECT_EQ(FakeMemory::requests.size(), 1u);
    ImageFree(&block);
}

TEST(ImageAllocBlock, DegenerateArgumentsFailCleanly)
{
    uint32_t granted = 7;
    EXPECT_EQ(ImageAllocBlock(0, 100, &granted), nullptr);
    EXPECT_EQ(granted, 0u);
    void* block = ImageAllocBlock(100, 0, &granted);  // a zero unit is taken as one byte
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(granted, 100u);
    ImageFree(&block);
}

TEST(AlignedRowBytes, RoundsBitsUpToWholeEightByteWords)
{
    EXPECT_EQ(AlignedRowBytes(1), 8u);
    EXPECT_EQ(AlignedRowBytes(64), 8u);
    EXPECT_EQ(AlignedRowBytes(65), 16u);
    EXPECT_EQ(AlignedRowBytes(1600), 200u);
    EXPECT_EQ(AlignedRowBytes(1608), 208u);
    EXPECT_EQ(AlignedRowBytes(UINT32_MAX), 536870912u);
}

TEST(ImageBlock, ReleasesOnScopeExitAndHandsOverOnRelease)
{
    FakeMemory memory(1024 * MiB, 1024 * MiB);
    unsigned char* kept = nullptr;
    {
        ImageBlock<> owner;
        ASSERT_TRUE(owner.Alloc(64, 1));
        ImageBlock<> other;
        ASSERT_TRUE(other.Alloc(32, 0));
        kept = owner.release();
        EXPECT_FALSE(owner);
    }
    ASSERT_NE(kept, nullptr);
    ImageFree(&kept);
}

}  // namespace

// A 32-bit Windows process: 2 GiB of address space on a machine with 8 GiB
// free.  No block past 1 GiB is asked of the platform, whatever the memory.
TEST(ImageAlloc, ThirtyTwoBitAddressSpaceCapsOneBlockAtOneGiB)
{
    constexpr uint64_t GiB = 1024 * MiB;
    static_assert(LargestImageBlock(2 * GiB) == GiB, "a 32-bit process gets at most 1 GiB at once");
    FakeMemory memory(8 * GiB, 8 * GiB, 2 * GiB);
    memory.FailAll(true);  // only the requests are of interest
    EXPECT_EQ(ImageAlloc(static_cast<uint32_t>(GiB - 32), 1), nullptr);
    ASSERT_EQ(FakeMemory::requests.size(), 1u);
    EXPECT_EQ(FakeMemory::requests[0], GiB);
    FakeMemory::requests.clear();
    EXPECT_EQ(ImageAlloc(static_cast<uint32_t>(GiB - 31 + 8), 1), nullptr);
    EXPECT_EQ(ImageAlloc(static_cast<uint32_t>(3 * GiB), 1), nullptr);
    EXPECT_TRUE(FakeMemory::requests.empty());
    // The shrinking allocator starts at or below the cap.
    uint32_t granted = 7;
    EXPECT_EQ(ImageAllocBlock(static_cast<uint32_t>(3 * GiB), 1000, &granted), nullptr);
    ASSERT_FALSE(FakeMemory::requests.empty());
    EXPECT_LE(FakeMemory::requests[0], GiB);
    EXPECT_GT(FakeMemory::requests[0], GiB / 2);
    EXPECT_EQ(granted, 0u);
}
