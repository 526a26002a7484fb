#include "ByteSource.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A file of 100 bytes 0..99, read through a 16-byte buffer from offset 10 to 90.
class ByteSourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<uint8_t> bytes(100);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i);
        ASSERT_TRUE(WriteFileBytes(dir.File("b.bin"), bytes));
        ASSERT_TRUE(file.Open(dir.File("b.bin").c_str(), CFile::modeRead | CFile::shareDenyNone));
    }
    TempDir dir;
    CFile file;
    unsigned char buffer[16] = {};
};

TEST_F(ByteSourceTest, NextCrossesRefillsAndStopsAtTheRangeEnd)
{
    ByteSource src(file, buffer, sizeof buffer, 10, 90);
    for (int i = 10; i < 90; ++i)
        ASSERT_EQ(src.Next(), i);
    EXPECT_EQ(src.Next(), -1);
    EXPECT_TRUE(src.AtEnd());
    EXPECT_EQ(src.Position(), 90u);
}

TEST_F(ByteSourceTest, TakeAcrossARefillAndAShortTakeAtTheEnd)
{
    ByteSource src(file, buffer, sizeof buffer, 10, 90);
    unsigned char out[100] = {};
    ASSERT_EQ(src.Take(out, 12), 12u);
    ASSERT_EQ(src.Take(out, 10), 10u);  // 4 buffered, 6 after a refill
    EXPECT_EQ(out[0], 22);
    EXPECT_EQ(out[9], 31);
    EXPECT_EQ(src.Take(out, 100), 58u);
    EXPECT_EQ(out[57], 89);
}

TEST_F(ByteSourceTest, SeekInsideAndOutsideTheBuffer)
{
    ByteSource src(file, buffer, sizeof buffer, 10, 90);
    ASSERT_EQ(src.Next(), 10);
    src.Seek(20);  // forward, still buffered
    EXPECT_EQ(src.Next(), 20);
    src.Seek(12);  // back, still buffered
    EXPECT_EQ(src.Next(), 12);
    src.Seek(70);  // forward, past the buffer
    EXPECT_EQ(src.Next(), 70);
    src.Seek(11);  // back, before the buffer
    EXPECT_EQ(src.Next(), 11);
    src.Seek(95);  // past the range: clamped to its end
    EXPECT_EQ(src.Next(), -1);
}

TEST_F(ByteSourceTest, SkipIsBoundedByTheRange)
{
    ByteSource src(file, buffer, sizeof buffer, 10, 90);
    ASSERT_TRUE(src.Skip(40));
    EXPECT_EQ(src.Next(), 50);
    EXPECT_FALSE(src.Skip(40));
    EXPECT_EQ(src.Next(), -1);
}

TEST_F(ByteSourceTest, ARangePastTheFileEndsWithTheFile)
{
    ByteSource src(file, buffer, sizeof buffer, 95, 1000);
    for (int i = 95; i < 100; ++i)
        ASSERT_EQ(src.Next(), i);
    EXPECT_EQ(src.Next(), -1);
    EXPECT_TRUE(src.AtEnd());
    EXPECT_FALSE(src.Skip(1));
}

TEST_F(ByteSourceTest, BufferedHandsOverRunsOfBytes)
{
    ByteSource src(file, buffer, sizeof buffer, 0, 20);
    uint32_t n = 0;
    const unsigned char* p = src.Buffered(&n);
    ASSERT_EQ(n, 16u);
    EXPECT_EQ(p[3], 3);
    src.Advance(16);
    p = src.Buffered(&n);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(p[0], 16);
    src.Advance(10);  // no further than what is held
    EXPECT_EQ(src.Buffered(&n), nullptr);
    EXPECT_EQ(n, 0u);
}

}  // namespace
