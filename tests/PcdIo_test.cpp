// PCD: the thumbnail of ImageMagick-written image packs against
// ImageMagick's own decode of the 192 x 128 image, the colour conversion,
// and files cut short.
#include "StepSampling.h"
#include "TestSupport.h"
#include "iPcdIo.h"

#include <gtest/gtest.h>

#include <cstdlib>

// ImageMagick converts luma without the 1.407488 gain this reader applies
// (Photo CD stores luma scaled down by it), so the pictures are neutral:
// black, white and the greys ImageMagick's thumbnail filter leaves at the
// edges, and the reference is ImageMagick's grey times that gain, clamped.
// Tolerance 2: ImageMagick's chroma of a neutral pixel is 156/137 give or
// take one step, which moves a channel by at most 2.
TEST(PcdIo, ThumbnailMatchesImageMagick)
{
    QUORVEL_REQUIRE_TOOL("convert");
    TempDir dir;
    const std::string plain = dir.File("plain.pcd");
    const std::string command =
        "convert -size 768x512 xc:white -fill black -draw 'rectangle 40,40 200,140' "
        "-draw 'circle 600,400 600,330' -draw 'polygon 300,480 420,300 500,480' "
        "-draw 'rectangle 0,250 767,262' '" + dir.File("src.ppm") + "' && convert '" + dir.File("src.ppm") +
        "' '" + plain + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    RgbImage reference;
    ASSERT_TRUE(DecodeWithCommand("convert '" + plain + "[1]' ppm:-", &reference));
    ASSERT_EQ(reference.width, 192u);
    ASSERT_EQ(reference.height, 128u);
    for (uint8_t& v : reference.rgb) {
        const double scaled = v * 1.407488;
        v = static_cast<uint8_t>(scaled > 255 ? 255 : scaled);
    }
    // The reverse-rows bit (bit 0 of byte 72) turns the thumbnail over.
    std::vector<uint8_t> bytes = ReadFileBytes(plain);
    ASSERT_GT(bytes.size(), 8192u + 64 * 576);
    bytes[72] |= 1;
    const std::string reversed = dir.File("reversed.pcd");
    ASSERT_TRUE(WriteFileBytes(reversed, bytes));

    PreviewSampling upright;
    for (uint32_t i = 0; i < 192; ++i)
        upright.columns.push_back(i);
    for (uint32_t i = 0; i < 128; ++i)
        upright.rows.push_back(i);
    PreviewSampling flipped = upright;
    for (uint32_t i = 0; i < 128; ++i)
        flipped.rows[i] = 127 - i;
    for (int mode : {1, 2}) {
        EXPECT_TRUE(PreviewMatches(plain, mode, reference, upright, 2)) << mode;
        EXPECT_TRUE(PreviewMatches(reversed, mode, reference, flipped, 2)) << mode;
    }
    // The base resolution at 72 pixels per inch, whatever the content.
    const QuorvelRun r = RunQuorvel(plain, 0);
    ASSERT_TRUE(r.ok);
    EXPECT_FLOAT_EQ(r.widthInches, 768 / 72.0f);
    EXPECT_FLOAT_EQ(r.heightInches, 512 / 72.0f);
}

TEST(PcdIo, LumaChromaToRgb)
{
    unsigned char rgb[3];
    CPcdIo::YccToRgb(0, 156, 137, rgb);
    EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 3), (std::vector<uint8_t>{0, 0, 0}));
    CPcdIo::YccToRgb(255, 156, 137, rgb);
    EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 3), (std::vector<uint8_t>{255, 255, 255}));
    CPcdIo::YccToRgb(100, 200, 137, rgb);
    EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 3), (std::vector<uint8_t>{140, 123, 230}));
    CPcdIo::YccToRgb(10, 0, 255, rgb);  // blue below 0 is clamped
    EXPECT_EQ(rgb[2], 0);
}

TEST(PcdIo, ShortFiles)
{
    // Two of 128 thumbnail rows in the file: the rest is black.
    const QuorvelRun r = RunQuorvel(TestData("pcd_short_two_rows.pcd"), 2);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.width, 192u);
    ASSERT_EQ(r.height, 128u);
    EXPECT_EQ(r.Pixel(100, 0)[0], 255);  // white, top row
    EXPECT_EQ(r.Pixel(100, 2)[0], 0);
    EXPECT_EQ(r.Pixel(100, 127)[0], 0);

    TempDir dir;
    const std::string path = dir.File("s.pcd");
    std::vector<uint8_t> bytes = ReadFileBytes(TestData("pcd_short_two_rows.pcd"));
    bytes.resize(8192 + 100);  // no whole row
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    EXPECT_EQ(RunQuorvel(path, 1).why, Refusal::LargerThanFile);
    bytes[2048] = 'X';
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    EXPECT_EQ(RunQuorvel(path, 0).why, Refusal::PcdSignature);
    bytes.resize(2050);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    EXPECT_EQ(RunQuorvel(path, 0).why, Refusal::PcdSignature);
}
