// TGA: fixtures from independent writers (and hand-built ones) against
// decoders that honour the descriptor's origin bit, plus refusals and damage.
#include "StepSampling.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

// An uncompressed TGA header with no image ID and no colour map.
std::vector<uint8_t> TgaHeader(uint8_t type, uint32_t width, uint32_t height, uint8_t depth, uint8_t descriptor)
{
    std::vector<uint8_t> v(18, 0);
    v[2] = type;
    v[12] = static_cast<uint8_t>(width);
    v[13] = static_cast<uint8_t>(width >> 8);
    v[14] = static_cast<uint8_t>(height);
    v[15] = static_cast<uint8_t>(height >> 8);
    v[16] = depth;
    v[17] = descriptor;
    return v;
}

// Grey picture whose stored row k, column x holds (x + 3k) & 255.
std::vector<uint8_t> GreyTga(uint32_t width, uint32_t height, uint8_t descriptor, uint32_t rowsStored)
{
    std::vector<uint8_t> v = TgaHeader(3, width, height, 8, descriptor);
    for (uint32_t k = 0; k < rowsStored; ++k)
        for (uint32_t x = 0; x < width; ++x)
            v.push_back(static_cast<uint8_t>(x + 3 * k));
    return v;
}

uint8_t Grey(const QuorvelRun& r, uint32_t x, uint32_t y) { return r.Pixel(x, y)[0]; }

}  // namespace

// ImageMagick 6 reads every file bottom row first whatever the descriptor
// says (and writes its own files top row first under a bottom-left
// descriptor), so the oracles are Pillow and netpbm's tgatoppm.
TEST(TgaIo, FixturesMatchIndependentDecoders)
{
    QUORVEL_REQUIRE_TOOL("tgatoppm");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    struct Case {
        const char* name;
        bool pillow;  // else tgatoppm
        bool bottomUp;
        int tolerance = 0;
    };
    const Case cases[] = {
        {"tga24_im_203x9.tga", true, true},           {"tga32_pil_37x23.tga", true, true},
        {"tga24_pil_top_7x251.tga", true, false},     {"tga24_netpbm_37x23.tga", false, true},
        {"tga8_pil_id_213x19.tga", true, true},       {"tga8_im_37x23.tga", true, true},
        {"tga8_pil_grey_37x23.tga", true, true},      {"tga8_netpbm_grey_37x23.tga", false, true},
        {"tga16_pil_grey_alpha_37x23.tga", true, true}, {"tga16_hand_37x23.tga", true, true},
        // tgatoppm rounds 5-bit map entries to 8 bits where Pillow (and this
        // reader) truncate; Pillow does not place a map that starts past 0.
        {"tga8_map15_first10_37x23.tga", false, false, 1},
    };
    for (const Case& c : cases) {
        const std::string path = TestData(c.name);
        RgbImage reference;
        ASSERT_TRUE(c.pillow ? DecodeWithPillow(path, &reference)
                             : DecodeWithCommand("tgatoppm '" + path + "'", &reference))
            << c.name;
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(path, mode, reference,
                                       StepSampling(reference.width, reference.height, mode == 2, c.bottomUp),
                                       c.tolerance))
                << c.name << " mode " << mode;
    }
}

TEST(TgaIo, StepRuleAndOrigin)
{
    TempDir dir;
    const std::string path = dir.File("g.tga");
    // 640 x 480 previews as 106 x 80 from stored rows 0, 6, 12, ... counted
    // from the bottom: preview row 0 from the top is stored row 79 * 6.
    ASSERT_TRUE(WriteFileBytes(path, GreyTga(640, 480, 0, 480)));
    QuorvelRun r = RunQuorvel(path, 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.width, 106u);
    EXPECT_EQ(r.height, 80u);
    EXPECT_FLOAT_EQ(r.widthInches, 640 / 72.0f);
    EXPECT_EQ(Grey(r, 2, 79), 12);
    EXPECT_EQ(Grey(r, 2, 0), static_cast<uint8_t>(12 + 3 * 79 * 6));
    // The same rows from a file stored top row first land upright.
    ASSERT_TRUE(WriteFileBytes(path, GreyTga(640, 480, 0x20, 480)));
    r = RunQuorvel(path, 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Grey(r, 2, 0), 12);
    EXPECT_EQ(Grey(r, 2, 79), static_cast<uint8_t>(12 + 3 * 79 * 6));
}

TEST(TgaIo, RowsPastTheFileAreBlack)
{
    TempDir dir;
    const std::string path = dir.File("t.tga");
    // 3 of 5 rows stored, bottom row first: the top two preview rows are
    // black (not the last row read again), and a full size is refused.
    ASSERT_TRUE(WriteFileBytes(path, GreyTga(4, 5, 0, 3)));
    QuorvelRun r = RunQuorvel(path, 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Grey(r, 1, 4), 1);
    EXPECT_EQ(Grey(r, 1, 2), 7);
    EXPECT_EQ(Grey(r, 1, 1), 0);
    EXPECT_EQ(Grey(r, 1, 0), 0);
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::LargerThanFile);
    // A tiny file declaring 65535 x 65535 allocates nothing.
    std::vector<uint8_t> huge = TgaHeader(2, 65535, 65535, 24, 0);
    huge.resize(100, 0);
    ASSERT_TRUE(WriteFileBytes(path, huge));
    EXPECT_EQ(RunQuorvel(path, 1).why, Refusal::LargerThanFile);
}

TEST(TgaIo, RefusalsAndUnsupportedDepths)
{
    TempDir dir;
    const std::string path = dir.File("r.tga");
    // Size only still works for depths the preview cannot show.
    ASSERT_TRUE(WriteFileBytes(path, ReadFileBytes(TestData("tga15_hand_37x23.tga"))));
    EXPECT_TRUE(RunQuorvel(path, 0).ok);
    EXPECT_EQ(RunQuorvel(path, 1).why, Refusal::UnsupportedDepth);

    std::vector<uint8_t> mapped16 = TgaHeader(1, 2, 2, 16, 0);
    mapped16[1] = 1;
    mapped16[5] = 2;  // two 24-bit entries
    mapped16[7] = 24;
    mapped16.resize(18 + 6 + 8, 0);
    std::vector<uint8_t> map8 = mapped16;
    map8[7] = 8;
    map8[16] = 8;
    struct Case {
        std::vector<uint8_t> bytes;
        Refusal why;
    };
    std::vector<uint8_t> rle = TgaHeader(10, 2, 2, 24, 0);
    rle.resize(40, 0);
    std::vector<uint8_t> empty = TgaHeader(2, 0, 2, 24, 0);
    const Case cases[] = {
        {{1, 2, 3}, Refusal::Truncated},        {rle, Refusal::TgaImageType},
        {empty, Refusal::EmptyPicture},         {mapped16, Refusal::UnsupportedDepth},
        {map8, Refusal::TgaColourMap},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        const QuorvelRun r = RunQuorvel(path, 1);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.why, c.why) << RefusalName(r.why);
    }
}

TEST(TgaIo, FailedAllocationsLeaveNothing)
{
    const std::string path = TestData("tga8_pil_id_213x19.tga");
    for (int n = 0; n < 3; ++n) {
        FailNthAllocation failing(n);
        EXPECT_FALSE(RunQuorvel(path, 1).ok) << n;
    }
}
