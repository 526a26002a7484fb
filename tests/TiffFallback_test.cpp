// TIFF files the own decoders refuse, read through libtiff: previews against
// ImageMagick's decode sampled by the first-match rule, the own path left as
// it was, and damaged files failing cleanly.
#include "ITiffIO.h"
#include "Quorvel.h"
#include "ReaderOracle.h"
#include "TestSupport.h"
#include "TiffBuilder.h"
#include "TiffFallback.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

namespace {

struct FallbackCase {
    const char* name;
    int tolerance;  // 0 unless the codings of the two decoders may differ
};

// JPEG: the two decoders' upsampling and colour conversion may differ a
// little; 16-bit: libtiff rounds to 8 bits, the oracle keeps the high byte;
// CMYK: both convert naively, with different rounding; 12 and 32 bits:
// ImageMagick rounds, the preview keeps the high bits.  CIE Lab: the two
// decoders' conversions to RGB differ widely in chroma, so only the size
// and success are compared (tolerance 255).
const FallbackCase kCases[] = {
    {"tiff_fb_rgb8_zip.tif", 0},           {"tiff_fb_rgb16_zip_be.tif", 1},  {"tiff_fb_pal8_zip.tif", 0},
    {"tiff_fb_cmyk8_zip.tif", 1},          {"tiff_fb_rgb8_jpeg.tif", 2},     {"tiff_fb_ycbcr_jpeg.tif", 2},
    {"tiff_fb_bw1_g3.tif", 0},             {"tiff_fb_bw1_g3_2d.tif", 0},     {"tiff_fb_bw1_g4.tif", 0},
    {"tiff_fb_bw1_g4_bigtiff.tif", 0},     {"tiff_fb_rgb8_lzma.tif", 0},     {"tiff_fb_rgb8_zstd.tif", 0},
    {"tiff_fb_rgb8_tiles_lzw.tif", 0},     {"tiff_fb_pal8_tiles.tif", 0},    {"tiff_fb_rgb8_sep_zip.tif", 0},
    {"tiff_fb_rgb16_sep.tif", 1},          {"tiff_fb_rgb8_bigtiff.tif", 0},  {"tiff_fb_lab8_zip.tif", 255},
    {"tiff_fb_grey2_37x23.tif", 0},        {"tiff_fb_grey12_37x23.tif", 1},  {"tiff_fb_grey12_zip_37x23.tif", 1},
    {"tiff_fb_rgbf32_pred3_37x23.tif", 1}, {"tiff_fb_greyf32_37x23.tif", 1}, {"tiff_fb_grey32_37x23.tif", 1},
    {"tiff_fb_grey16s_37x23.tif", 1},
};

// The preview bytes and reason CTiffIo gives for a file, with or without
// libtiff behind the own decoders.
struct Outcome {
    int ok = 0;
    Refusal why = Refusal::None;
    std::vector<uint8_t> block;
    bool operator==(const Outcome& o) const { return ok == o.ok && why == o.why && block == o.block; }
};

Outcome Preview(const std::string& path, bool fallback, int fullSize)
{
    Outcome out;
    CTiffIo io(path.c_str());
    io.m_bLibTiffFallback = fallback;
    io.m_bFullSize = fullSize;
    if (!io.m_file.Open(path.c_str(), CFile::modeRead) || !io.ReadHeader()) {
        out.why = io.m_nRefusal;
        return out;
    }
    int32_t w = 0, h = 0;
    unsigned char* bits = nullptr;
    out.ok = io.MakeDib(&w, &h, &bits);
    out.why = io.m_nRefusal;
    uint32_t bytes = 0;
    if (out.ok && PreviewBlockBytes(static_cast<uint32_t>(w), static_cast<uint32_t>(h), &bytes))
        out.block.assign(bits, bits + bytes);
    ImageFree(&bits);
    return out;
}

}  // namespace

TEST(TiffFallback, PreviewsMatchTheIndependentDecode)
{
    if (!TiffFallbackAvailable())
        GTEST_SKIP() << "built without libtiff";
    for (const FallbackCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string path = TestData(c.name);
        RgbImage reference;
        ASSERT_TRUE(DecodeWithImageMagick(path, &reference));
        for (int mode : {1, 2}) {
            const PreviewSampling s = FirstMatchSampling(reference.width, reference.height, mode == 2, false);
            EXPECT_TRUE(PreviewMatches(path, mode, reference, s, c.tolerance));
        }
        // The own decoders alone refuse every one of them.
        EXPECT_EQ(Preview(path, false, 0).ok, 0);
    }
}

TEST(TiffFallback, FilesTheOwnPathReadsGiveTheSameBytes)
{
    // Every TIFF fixture the own decoders accept previews exactly as before;
    // libtiff is not asked.
    DIR* dir = opendir(TestData("").c_str());
    ASSERT_NE(dir, nullptr);
    int compared = 0;
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind("tiff_", 0) != 0 || name.rfind("tiff_fb_", 0) == 0)
            continue;
        for (int full : {0, 1}) {
            const Outcome own = Preview(TestData(name), false, full);
            if (!own.ok)
                continue;
            EXPECT_TRUE(own == Preview(TestData(name), true, full)) << name << " full " << full;
            ++compared;
        }
    }
    closedir(dir);
    EXPECT_GT(compared, 60);
}

TEST(TiffFallback, SizeOnlyCallsTakeTheResolutionAsTheOwnHeaderDoes)
{
    if (!TiffFallbackAvailable())
        GTEST_SKIP() << "built without libtiff";
    TempDir dir;
    // The BigTIFF fixture carries no resolution; tiffset adds it.
    struct {
        const char* tags;
        float widthInches;
    } cases[] = {
        {"", 61 / 72.0f},
        {"-s 282 300", 61 / 300.0f},
        {"-s 282 300 -s 296 3", 61 / (300 * 2.53995f)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tags);
        const std::string path = dir.File("big.tif");
        ASSERT_TRUE(WriteFileBytes(path, ReadFileBytes(TestData("tiff_fb_rgb8_bigtiff.tif"))));
        const std::string tags = c.tags;
        for (size_t at = 0; at < tags.size(); at += 11)
            ASSERT_EQ(std::system(("tiffset " + tags.substr(at, 10) + " " + ShellQuote(path)).c_str()), 0);
        const QuorvelRun run = RunQuorvel(path, 0);
        ASSERT_EQ(run.ok, 1);
        EXPECT_FLOAT_EQ(run.widthInches, c.widthInches);
    }
}

TEST(TiffFallback, DamagedFilesFailCleanly)
{
    if (!TiffFallbackAvailable())
        GTEST_SKIP() << "built without libtiff";
    TempDir dir;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    // Tiles cut short: the file ends inside the first tile's data.
    {
        TiffBuilder b(true);
        const uint32_t tile = b.Blob(std::vector<uint8_t>(100, 0x55));
        b.Long(TIFF_TAG_IMAGE_WIDTH, 64);
        b.Long(TIFF_TAG_IMAGE_LENGTH, 64);
        b.Short(TIFF_TAG_BITS_PER_SAMPLE, 8);
        b.Short(TIFF_TAG_COMPRESSION, 1);
        b.Short(TIFF_TAG_PHOTOMETRIC, 1);
        b.Long(322, 32);  // tile width
        b.Long(323, 32);  // tile length
        b.Entry(324, TIFF_TYPE_LONG, 4, b.Longs({tile, tile + 1024, tile + 2048, tile + 3072}));
        b.Entry(325, TIFF_TYPE_LONG, 4, b.Longs({1024, 1024, 1024, 1024}));
        files.emplace_back("cut_tiles.tif", b.Build());
    }
    // A small Deflate file declaring one enormous strip.
    {
        TiffBuilder b(true);
        const uint32_t strip = b.Blob(std::vector<uint8_t>(64, 0x78));
        b.Long(TIFF_TAG_IMAGE_WIDTH, 60000);
        b.Long(TIFF_TAG_IMAGE_LENGTH, 60000);
        b.Short(TIFF_TAG_BITS_PER_SAMPLE, 8);
        b.Short(TIFF_TAG_COMPRESSION, 8);
        b.Short(TIFF_TAG_PHOTOMETRIC, 1);
        b.Long(TIFF_TAG_STRIP_OFFSETS, strip);
        b.Long(TIFF_TAG_ROWS_PER_STRIP, 60000);
        b.Long(TIFF_TAG_STRIP_BYTE_COUNTS, 0xFFFFFF00u);
        files.emplace_back("huge_strip.tif", b.Build());
    }
    // JPEG-in-TIFF whose tables are garbage.
    {
        TiffBuilder b(true);
        const uint32_t strip = b.Blob({0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00, 0x12});
        const uint32_t tables = b.Blob({0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00, 0x01, 0x02, 0xFF, 0xD9});
        b.Long(TIFF_TAG_IMAGE_WIDTH, 16);
        b.Long(TIFF_TAG_IMAGE_LENGTH, 16);
        b.Short(TIFF_TAG_BITS_PER_SAMPLE, 8);
        b.Short(TIFF_TAG_COMPRESSION, 7);
        b.Short(TIFF_TAG_PHOTOMETRIC, 1);
        b.Long(TIFF_TAG_STRIP_OFFSETS, strip);
        b.Long(TIFF_TAG_ROWS_PER_STRIP, 16);
        b.Long(TIFF_TAG_STRIP_BYTE_COUNTS, 13);
        b.Entry(347, TIFF_TYPE_UNDEFINED, 11, tables);
        files.emplace_back("bad_tables.tif", b.Build());
    }
    for (const auto& f : files) {
        SCOPED_TRACE(f.first);
        const std::string path = dir.File(f.first);
        ASSERT_TRUE(WriteFileBytes(path, f.second));
        for (int mode : {1, 2}) {
            const QuorvelRun run = RunQuorvel(path, mode);
            EXPECT_EQ(run.ok, 0) << "mode " << mode;
            EXPECT_TRUE(run.block.empty());
        }
    }
}

TEST(TiffFallback, MisreadSamplesAreRefusedByTheOwnDecoders)
{
    // Floating-point predictor and signed or floating-point samples would be
    // read as unsigned integers; the own decoders (and so ConvertBWTiff)
    // refuse them.
    const Outcome own = Preview(TestData("tiff_fb_grey16s_37x23.tif"), false, 0);
    EXPECT_EQ(own.ok, 0);
    EXPECT_EQ(own.why, Refusal::TiffSampleFormat);
    EXPECT_EQ(Preview(TestData("tiff_fb_rgbf32_pred3_37x23.tif"), false, 0).ok, 0);
}
