// BMP files as people have them: bmpsuite's good, questionable and bad
// files, ImageMagick's run-length and masked files, against an independent
// decoder; and the run-length and mask hazards built by hand.
#include "ByteOrder.h"
#include "ReaderOracle.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class Oracle { Pillow, Magick };

// Pillow decodes most; where it cannot (masks it does not know, short
// OS/2 headers) or gets it wrong (odd-length absolute runs in RLE4) the
// other decoders or bmpsuite's own reference images stand in.
struct Fixture {
    const char* name;
    Oracle oracle = Oracle::Pillow;
    // The file the oracle decodes when it cannot read `name` itself: the
    // same picture stored another way, or bmpsuite's reference image.
    const char* reference = nullptr;
    int tolerance = 0;
    bool bottomUp = true;
};
const Fixture kFixtures[] = {
    {"bmpsuite/g/pal1.bmp"}, {"bmpsuite/g/pal1bg.bmp"}, {"bmpsuite/g/pal1wb.bmp"}, {"bmpsuite/g/pal4.bmp"},
    {"bmpsuite/g/pal4rle.bmp", Oracle::Magick}, {"bmpsuite/g/pal8-0.bmp"}, {"bmpsuite/g/pal8.bmp"},
    {"bmpsuite/g/pal8nonsquare.bmp"}, {"bmpsuite/g/pal8os2.bmp"}, {"bmpsuite/g/pal8rle.bmp"},
    {"bmpsuite/g/pal8topdown.bmp", Oracle::Pillow, nullptr, 0, false}, {"bmpsuite/g/pal8v4.bmp"},
    {"bmpsuite/g/pal8v5.bmp"}, {"bmpsuite/g/pal8w124.bmp"}, {"bmpsuite/g/pal8w125.bmp"}, {"bmpsuite/g/pal8w126.bmp"},
    {"bmpsuite/g/rgb16-565.bmp"}, {"bmpsuite/g/rgb16-565pal.bmp"}, {"bmpsuite/g/rgb16.bmp"}, {"bmpsuite/g/rgb24.bmp"},
    {"bmpsuite/g/rgb24pal.bmp"}, {"bmpsuite/g/rgb32.bmp"}, {"bmpsuite/g/rgb32bf.bmp", Oracle::Magick},
    {"bmpsuite/q/pal1p1.bmp"}, {"bmpsuite/q/pal8offs.bmp"}, {"bmpsuite/q/pal8os2sp.bmp"}, {"bmpsuite/q/pal8os2v2.bmp"},
    {"bmpsuite/q/pal8os2v2-16.bmp", Oracle::Pillow, "bmpsuite/g/pal8.bmp"},
    {"bmpsuite/q/pal8oversizepal.bmp", Oracle::Pillow, "bmpsuite/g/pal8.bmp"}, {"bmpsuite/q/rgb24largepal.bmp"},
    {"bmpsuite/q/rgb24lprof.bmp"}, {"bmpsuite/q/rgb24prof.bmp"}, {"bmpsuite/q/rgb32bf-xbgr.bmp"},
    {"bmpsuite/q/rgb32fakealpha.bmp"}, {"bmpsuite/q/rgba32.bmp", Oracle::Magick},
    {"bmpsuite/q/rgba32abf.bmp", Oracle::Magick, "bmpsuite/q/rgba32.bmp"},
    // Channels of 11, 11 and 10 bits, of 2, 3 and 1 bits: ImageMagick and
    // the reference image round where Pillow's scaling truncates.
    {"bmpsuite/q/rgb32-111110.bmp", Oracle::Magick, nullptr, 1},
    {"bmpsuite/q/rgb16-231.bmp", Oracle::Pillow, "bmpsuite/ref/rgb16-231.png", 1},
    // ImageMagick widens 4-bit channels by shifting (15 becomes 240).
    {"bmpsuite/q/rgba16-4444.bmp", Oracle::Magick, nullptr, 15},
    // Pixels the stream skips are black, as in bmpsuite's "-b" reference;
    // Pillow and ImageMagick show palette entry 0 there.
    {"bmpsuite/q/pal4rletrns.bmp", Oracle::Pillow, "bmpsuite/ref/pal4rletrns-b.png"},
    {"bmpsuite/q/pal8rletrns.bmp", Oracle::Pillow, "bmpsuite/ref/pal8rletrns-b.png"},
    // Larger than a fitted preview, so rows and columns are sampled.
    {"rle8_420x260.bmp"}, {"rle8_40x30.rle"},
    // Run-length rows stored top row first: ImageMagick, libvips and Pillow
    // agree on it.
    {"bmpsuite/b/rletopdown.bmp", Oracle::Pillow, nullptr, 0, false}, {"bmp16_565_231x29.bmp"}, {"bmp32_alpha_17x230.bmp", Oracle::Magick},
};

TEST(BmpSuite, PreviewsMatchAnIndependentDecoder)
{
    QUORVEL_REQUIRE_TOOL("convert");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    for (const Fixture& fx : kFixtures) {
        SCOPED_TRACE(fx.name);
        const std::string path = TestData(fx.name);
        const std::string source = TestData(fx.reference != nullptr ? fx.reference : fx.name);
        RgbImage reference;
        const bool decoded = fx.oracle == Oracle::Magick ? DecodeWithImageMagick(source, &reference, "-alpha off")
                                                         : DecodeWithPillow(source, &reference);
        ASSERT_TRUE(decoded) << source;
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(path, mode, reference,
                                       FirstMatchSampling(reference.width, reference.height, mode == 2, fx.bottomUp),
                                       fx.tolerance));
    }
}

TEST(BmpSuite, OtherFilesAreRefusedForTheirReasonOrPreviewWithoutHarm)
{
    struct Case {
        const char* name;
        Refusal why;  // in every mode; None: previews
    };
    const Case cases[] = {
        {"q/pal2.bmp", Refusal::UnsupportedDepth},     {"q/rgb24jpeg.bmp", Refusal::BmpEmbeddedImage},
        {"q/rgb24png.bmp", Refusal::BmpEmbeddedImage}, {"b/badbitcount.bmp", Refusal::BmpBitCount},
        {"b/badwidth.bmp", Refusal::BmpBadSize},
        // Harmless damage, previewed as before: resolution, planes, file
        // and image sizes, a header size of 66, a palette count past 256.
        {"b/baddens1.bmp", Refusal::None},    {"b/baddens2.bmp", Refusal::None},  {"b/badplanes.bmp", Refusal::None},
        {"b/badfilesize.bmp", Refusal::None}, {"b/badbitssize.bmp", Refusal::None},
        {"b/badheadersize.bmp", Refusal::None}, {"b/badpalettesize.bmp", Refusal::None},
        // Indices past the palette are black; runs past the row are cut.
        {"b/pal8badindex.bmp", Refusal::None}, {"b/badrle.bmp", Refusal::None},
    };
    for (const Case& c : cases)
        for (int mode : {1, 2})
            EXPECT_EQ(RunQuorvel(TestData(std::string("bmpsuite/") + c.name), mode).why, c.why) << c.name << mode;
    // Too large for the file: a fitted preview needs one whole row, a
    // full-size one every row.
    EXPECT_EQ(RunQuorvel(TestData("bmpsuite/b/reallybig.bmp"), 1).why, Refusal::LargerThanFile);
    EXPECT_EQ(RunQuorvel(TestData("bmpsuite/b/shortfile.bmp"), 2).why, Refusal::LargerThanFile);
    EXPECT_EQ(RunQuorvel(TestData("bmpsuite/b/shortfile.bmp"), 1).why, Refusal::None);
}

// ---- run-length streams built by hand --------------------------------------

// An RLE BMP of `width` x `height` (bottom-up) with a 40-byte header, the
// given palette (4 bytes per entry) and stream.
std::vector<uint8_t> RleBmp(int32_t width, int32_t height, uint32_t compression, const std::vector<uint8_t>& palette,
                            const std::vector<uint8_t>& stream)
{
    std::vector<uint8_t> v(54, 0);
    v[0] = 'B';
    v[1] = 'M';
    StoreLE32(v.data() + 10, static_cast<uint32_t>(54 + palette.size()));
    StoreLE32(v.data() + 14, 40);
    StoreLE32(v.data() + 18, static_cast<uint32_t>(width));
    StoreLE32(v.data() + 22, static_cast<uint32_t>(height));
    StoreLE16(v.data() + 26, 1);
    StoreLE16(v.data() + 28, compression == 1 ? 8 : 4);
    StoreLE32(v.data() + 30, compression);
    StoreLE32(v.data() + 46, static_cast<uint32_t>(palette.size() / 4));
    v.insert(v.end(), palette.begin(), palette.end());
    v.insert(v.end(), stream.begin(), stream.end());
    StoreLE32(v.data() + 2, static_cast<uint32_t>(v.size()));
    return v;
}

// Entry k is grey 10 k, except entry 0, white: a pixel the stream never
// sets must not take it.
std::vector<uint8_t> GreyPalette(uint32_t entries)
{
    std::vector<uint8_t> p(entries * 4, 0);
    for (uint32_t k = 0; k < entries; ++k)
        p[4 * k] = p[4 * k + 1] = p[4 * k + 2] = static_cast<uint8_t>(k == 0 ? 255 : 10 * k);
    return p;
}

// The preview as one grey value per pixel (its red byte), top row first.
std::vector<int> Greys(const std::string& path, int mode = 2)
{
    const QuorvelRun r = RunQuorvel(path, mode);
    std::vector<int> grey;
    for (size_t i = 0; i < r.rgb.size(); i += 3)
        grey.push_back(r.rgb[i]);
    return grey;
}

TEST(BmpRunLength, RunsAreCutAtTheRowAndSkippedPixelsAreBlack)
{
    TempDir dir;
    const std::string path = dir.File("r.bmp");
    // 5 x 4, bottom row first:
    //   row 0: a run of 9 (cut at 5; no wrap into row 1), end of line;
    //   row 1: 1 pixel, a delta of 2 right and 1 up (rest of row 1 and
    //          the start of row 2 skipped), an absolute run of 3 (odd,
    //          padded) cut at the row end after 2, end of bitmap.
    ASSERT_TRUE(WriteFileBytes(path, RleBmp(5, 4, 1, GreyPalette(256),
                                            {9, 2, 0, 0, 1, 3, 0, 2, 2, 1, 0, 3, 4, 5, 6, 0, 0, 1})));
    EXPECT_EQ(Greys(path), (std::vector<int>{0, 0, 0, 0, 0,  //
                                                   0, 0, 0, 40, 50,  //
                                                   30, 0, 0, 0, 0,  //
                                                   20, 20, 20, 20, 20}));
    // RLE4: a run of 5 alternating 1, 2; an absolute run of 3 (2 bytes).
    ASSERT_TRUE(WriteFileBytes(path, RleBmp(8, 1, 2, GreyPalette(16), {5, 0x12, 0, 3, 0x34, 0x50, 0, 1})));
    EXPECT_EQ(Greys(path), (std::vector<int>{10, 20, 10, 20, 10, 30, 40, 50}));
}

TEST(BmpRunLength, FullSizeNeedsAStreamThatCouldFillIt)
{
    TempDir dir;
    const std::string path = dir.File("big.bmp");
    // 256 x 1000000 declared, ended at once: a fitted preview is black and
    // cheap; a full-size one would be 768 MB of black from 64 bytes.
    ASSERT_TRUE(WriteFileBytes(path, RleBmp(256, 1000000, 1, GreyPalette(2), {0, 1})));
    EXPECT_EQ(Greys(path, 1), std::vector<int>(200, 0));
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::LargerThanFile);
    // One row wider than 2 bytes of runs could fill is refused even fitted.
    ASSERT_TRUE(WriteFileBytes(path, RleBmp(257, 1000000, 1, GreyPalette(2), {0, 1})));
    EXPECT_EQ(RunQuorvel(path, 1).why, Refusal::LargerThanFile);

    // A stream cut short (no end of bitmap): the rows it reaches in a fitted
    // preview, none in a full-size one.
    ASSERT_TRUE(WriteFileBytes(path, RleBmp(2, 3, 1, GreyPalette(256), {2, 7, 0, 0, 2, 8})));
    EXPECT_EQ(Greys(path, 1), (std::vector<int>{0, 0, 80, 80, 70, 70}));
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::RowsMissing);
    ASSERT_TRUE(WriteFileBytes(path, RleBmp(2, 3, 1, GreyPalette(256), {2, 7, 0, 0, 2, 8, 0, 1})));
    EXPECT_EQ(Greys(path), (std::vector<int>{0, 0, 80, 80, 70, 70}));
}

TEST(BmpHeaderKinds, MasksAndCompressionsThatCannotWork)
{
    TempDir dir;
    const std::string path = dir.File("m.bmp");
    std::vector<uint8_t> bmp = RleBmp(2, 1, 1, {}, {2, 0, 0, 1});
    StoreLE16(bmp.data() + 28, 4);  // RLE8 at 4 bits per pixel
    ASSERT_TRUE(WriteFileBytes(path, bmp));
    EXPECT_EQ(RunQuorvel(path, 0).why, Refusal::BmpCompressionDepth);
    StoreLE16(bmp.data() + 28, 7);
    ASSERT_TRUE(WriteFileBytes(path, bmp));
    EXPECT_EQ(RunQuorvel(path, 0).why, Refusal::BmpBitCount);
    // 32 bits with bit fields that select nothing (the three masks are 0).
    StoreLE16(bmp.data() + 28, 32);
    StoreLE32(bmp.data() + 30, 3);
    bmp.resize(54 + 12 + 8);
    std::fill(bmp.begin() + 54, bmp.end(), 0);
    ASSERT_TRUE(WriteFileBytes(path, bmp));
    EXPECT_EQ(RunQuorvel(path, 0).why, Refusal::BmpMasks);
    // OS/2 2.x numbers Huffman coding 3: not the Windows bit fields.
    StoreLE32(bmp.data() + 14, 64);
    StoreLE16(bmp.data() + 28, 1);
    ASSERT_TRUE(WriteFileBytes(path, bmp));
    EXPECT_EQ(RunQuorvel(path, 0).why, Refusal::UnsupportedCompression);
}

}  // namespace
