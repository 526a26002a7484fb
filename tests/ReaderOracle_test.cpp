// The shared fixture comparison itself: PNM parsing and both oracles on a
// BMP fixture, stored bottom-up and top-down.
#include "ReaderOracle.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

TEST(ReaderOracle, ParsesEveryPnmKind)
{
    const std::string p6 = "P6\n# c\n2 1\n65535\n";
    std::vector<uint8_t> bytes(p6.begin(), p6.end());
    for (uint8_t b : {0x12, 0x34, 0x00, 0x00, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x01, 0xAB, 0xCD})
        bytes.push_back(b);
    RgbImage image;
    ASSERT_TRUE(ParsePnm(bytes, &image));
    EXPECT_EQ(image.rgb, (std::vector<uint8_t>{0x12, 0x00, 0xFF, 0x80, 0x00, 0xAB}));

    const std::string p2 = "P2 2 1 15 0 15";
    ASSERT_TRUE(ParsePnm(std::vector<uint8_t>(p2.begin(), p2.end()), &image));
    EXPECT_EQ(image.rgb, (std::vector<uint8_t>{0, 0, 0, 255, 255, 255}));
    std::vector<uint8_t> p4 = {'P', '4', ' ', '3', ' ', '1', '\n', 0x40};
    ASSERT_TRUE(ParsePnm(p4, &image));
    EXPECT_EQ(image.rgb, (std::vector<uint8_t>{255, 255, 255, 0, 0, 0, 255, 255, 255}));
    EXPECT_FALSE(ParsePnm({'P', '6', ' ', '9', ' ', '9', ' ', '2', '5', '5', ' ', 1}, &image));
}

TEST(ReaderOracle, BmpFixturesMatchBothOracles)
{
    QUORVEL_REQUIRE_TOOL("convert");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    struct Case {
        const char* name;
        bool bottomUp;
    };
    for (const Case& c : {Case{"bmp8_213x41.bmp", true}, Case{"bmp24_topdown_7x251.bmp", false}}) {
        const std::string path = TestData(c.name);
        RgbImage magick, pillow;
        ASSERT_TRUE(DecodeWithImageMagick(path, &magick)) << c.name;
        ASSERT_TRUE(DecodeWithPillow(path, &pillow)) << c.name;
        EXPECT_EQ(magick.rgb, pillow.rgb) << c.name;
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(path, mode, magick,
                                       FirstMatchSampling(magick.width, magick.height, mode == 2, c.bottomUp)));
    }
}
