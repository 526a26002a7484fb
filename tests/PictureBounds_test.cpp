#include "ByteOrder.h"
#include "PictureBounds.h"

#include <gtest/gtest.h>

TEST(CheckPictureBounds, RowsMustFitWhatTheDataCanExpandTo)
{
    PictureBounds b;
    b.width = 1000;
    b.height = 1000;
    b.bitsPerPixel = 24;
    b.dataBytes = 3000;  // exactly one row, uncompressed
    EXPECT_EQ(CheckPictureBounds(b), Refusal::None);
    b.fullSize = true;  // a full-size preview needs every row
    EXPECT_EQ(CheckPictureBounds(b), Refusal::LargerThanFile);
    b.expansion = 1000;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::None);
    b.fullSize = false;
    b.expansion = 1;
    b.dataBytes = 2999;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::LargerThanFile);

    b.width = 9;  // 9 one-bit pixels need 2 bytes
    b.bitsPerPixel = 1;
    b.dataBytes = 1;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::LargerThanFile);
    b.dataBytes = 2;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::None);

    // Rows padded to 4 bytes (BMP): 9 one-bit pixels take 4 bytes a row.
    b.rowAlignment = 4;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::LargerThanFile);
    b.dataBytes = 4;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::None);
    b.height = 3;
    b.fullSize = true;
    b.dataBytes = 11;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::LargerThanFile);
    b.dataBytes = 12;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::None);
}

TEST(CheckPictureBounds, EmptyDepthlessAndHugePicturesAreRefused)
{
    PictureBounds b;
    b.width = 0;
    b.height = 5;
    b.bitsPerPixel = 8;
    b.dataBytes = UINT64_MAX;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::EmptyPicture);
    b.width = 5;
    b.bitsPerPixel = 0;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::UnsupportedDepth);
    // The saturating products never wrap, and a full-size block must fit in
    // 32 bits even when the data could hold it.
    b.width = UINT32_MAX;
    b.height = UINT32_MAX;
    b.bitsPerPixel = UINT32_MAX;
    b.expansion = UINT64_MAX;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::None);
    b.fullSize = true;
    EXPECT_EQ(CheckPictureBounds(b), Refusal::PictureTooLarge);
}

TEST(ByteView, LoadsInBothOrdersAndReadsZeroPastTheRange)
{
    const unsigned char bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
    ByteView le{bytes, sizeof bytes, false};
    ByteView be{bytes, sizeof bytes, true};
    EXPECT_EQ(le.U16(0), 0x3412);
    EXPECT_EQ(be.U16(0), 0x1234);
    EXPECT_EQ(le.U32(1), 0x9A785634u);
    EXPECT_EQ(be.U32(1), 0x3456789Au);
    EXPECT_EQ(be.U32(2), 0u);
    EXPECT_EQ(be.U16(SIZE_MAX), 0u);
    EXPECT_EQ(be.S16(3), static_cast<int16_t>(0x789A));

    unsigned char out[4] = {};
    ByteSink sink{out, sizeof out, true};
    EXPECT_TRUE(sink.Put32(0, 0x01020304u));
    EXPECT_EQ(out[0], 1);
    EXPECT_FALSE(sink.Put16(3, 0xFFFF));
    EXPECT_EQ(out[3], 4);
    sink.bigEndian = false;
    EXPECT_TRUE(sink.Put16(2, 0xAABB));
    EXPECT_EQ(out[2], 0xBB);
}
