// PSD reader: ImageMagick's fixtures against ImageMagick's own decode, and
// hand-built files for the header rules, the row table and cut files.
#include "ReaderOracle.h"
#include "TestSupport.h"

#include "ByteOrder.h"
#include "Bytes.h"
#include "iPsdIo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// A version-1 PSD file: header, colour data, resources, an empty layer
// section, the compression field and the image data as given.
std::vector<uint8_t> BuildPsd(uint16_t channels, uint32_t w, uint32_t h, uint16_t depth, uint16_t mode,
                              const std::vector<uint8_t>& colour, const std::vector<uint8_t>& resources,
                              uint16_t compression, const std::vector<uint8_t>& data)
{
    Bytes f(true);
    f.Text("8BPS").U16(1).U32(0).U16(0).U16(channels).U32(h).U32(w).U16(depth).U16(mode);
    f.U32(static_cast<uint32_t>(colour.size())).Raw(colour);
    f.U32(static_cast<uint32_t>(resources.size())).Raw(resources);
    f.U32(0).U16(compression).Raw(data);
    return f.data();
}

std::vector<uint8_t> Resource(uint16_t id, const std::string& name, const std::vector<uint8_t>& data)
{
    Bytes r(true);
    r.Text("8BIM").U16(id).U8(static_cast<uint32_t>(name.size())).Text(name.c_str());
    if ((1 + name.size()) % 2)
        r.U8(0);
    r.U32(static_cast<uint32_t>(data.size())).Raw(data);
    if (data.size() % 2)
        r.U8(0);
    return r.data();
}

std::vector<uint8_t> Resolution(uint16_t whole, uint16_t fraction)
{
    return Resource(1005, "", Bytes(true).U16(whole).U16(fraction).U16(1).U16(1).U16(whole).U16(0).U16(1).U16(1));
}

// Drives a CPsdIo through the reader protocol on `path`.
struct Reader {
    explicit Reader(const std::string& p, bool fullSize = false) : path(p), io(path.c_str())
    {
        io.m_bFullSize = fullSize ? 1 : 0;
        opened = io.m_file.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive) && io.ReadHeader() == 1;
        if (opened)
            made = io.MakeDib(&w, &h, &bits) == 1;
    }
    ~Reader() { ImageFree(&bits); }
    std::string path;
    CPsdIo io;
    bool opened = false;
    bool made = false;
    int32_t w = 0, h = 0;
    unsigned char* bits = nullptr;
};

}  // namespace

TEST(PsdIo, FixturesMatchImageMagick)
{
    QUORVEL_REQUIRE_TOOL("convert");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL.ImageCms");
    enum Oracle { Magick, Pillow, MagickCmyk, MagickEightBit, MagickLab, PillowLittleCms };
    struct Case {
        const char* name;
        Oracle oracle;
        float resolution;
        int tolerance = 0;     // largest difference of one sample
        double meanLimit = 0;  // largest mean difference per sample (0: not checked)
        const char* oracleFile = nullptr;  // the oracle reads this file instead
    };
    // ImageMagick writes 0 + 1/65535 when the picture has no resolution; that
    // counts as none (72).  CMYK goes through the shipped table on both sides:
    // the tolerance is 0.  Pillow where ImageMagick cannot read its own file
    // (indexed) or takes out the white matte of a picture with
    // alpha (the preview shows the stored colour channels, as Pillow does).
    // Floating point against ImageMagick's own 8-bit output (its rounding),
    // exactly.  Lab: ImageMagick takes the Lab white as D65, without the
    // adaptation from Photoshop's D50: mean difference 2.8 per sample, up to
    // 141 on saturated blues and greens near and past the sRGB gamut;
    // LittleCMS (Pillow's ImageCms, Lab D50 to sRGB, unoptimised) agrees with
    // ours within 1.  Duotone is its grey channel.
    const Case cases[] = {
        {"psd_rgb8_rle_300dpi.psd", Magick, 300.0f}, {"psd_rgb8_raw_72dpi.psd", Magick, 72.0f},
        {"psd_rgba8_rle.psd", Pillow, 72.0f},        {"psd_rgb16_rle.psd", Magick, 72.0f},
        {"psd_rgb16_raw.psd", Magick, 72.0f},        {"psd_grey8_raw.psd", Magick, 72.0f},
        {"psd_grey8_rle.psd", Magick, 72.0f},        {"psd_grey16_raw.psd", Magick, 72.0f},
        {"psd_pal8_rle.psd", Pillow, 72.0f},         {"psd_pal8_raw.psd", Pillow, 72.0f},
        {"psd_cmyk8_raw.psd", MagickCmyk, 72.0f},    {"psd_cmyk8_rle.psd", MagickCmyk, 72.0f},
        {"psd_bitmap_raw.psd", Magick, 72.0f},       {"psd_bitmap_rle.psd", Magick, 72.0f},
        {"psd_grey32_raw.psd", MagickEightBit, 72.0f},
        {"psd_grey32_rle_layers.psd", MagickEightBit, 150.0f},
        {"psd_rgb32_raw_layers.psd", MagickEightBit, 72.0f},
        {"psd_rgb32_rle.psd", MagickEightBit, 72.0f},
        {"psd_lab8_raw.psd", MagickLab, 72.0f, 141, 2.9},
        {"psd_lab8_rle.psd", MagickLab, 72.0f, 129, 2.9},
        {"psd_lab16_rle.psd", MagickLab, 72.0f, 141, 2.9},
        {"psd_lab8_raw.psd", PillowLittleCms, 72.0f, 1},
        {"psd_lab8_rle.psd", PillowLittleCms, 72.0f, 1},
        // Pillow does not read 16-bit Lab; the 8-bit file holds the same colours.
        {"psd_lab16_rle.psd", PillowLittleCms, 72.0f, 1, 0, "psd_lab8_raw.psd"},
        {"psd_duotone8_rle.psd", Magick, 72.0f},     {"psd_duotone16_raw.psd", Magick, 72.0f},
        {"psd_duotone8_rle.psd", Pillow, 72.0f},
    };
    // Pillow reads 8-bit Lab with signed a and b, as LittleCMS takes them.
    const std::string littleCms =
        "import sys\nfrom PIL import Image, ImageCms\nim = Image.open(sys.argv[1])\n"
        "t = ImageCms.buildTransform(ImageCms.createProfile('LAB', 5000), ImageCms.createProfile('sRGB'), 'LAB', "
        "'RGB', flags=ImageCms.FLAGS['NOTPRECALC'])\nim = ImageCms.applyTransform(im, t)\n"
        "sys.stdout.buffer.write(b'P6 %d %d 255\\n' % im.size + im.tobytes())\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = TestData(c.name);
        // 16-bit output keeps each sample's high byte, as the reader does.
        RgbImage reference;
        const std::string magick = "convert '" + path + "[0]' -alpha off ";
        switch (c.oracle) {
        case Pillow: ASSERT_TRUE(DecodeWithPillow(path, &reference)); break;
        case PillowLittleCms:
            ASSERT_TRUE(DecodeWithCommand(std::string(kSystemPython) + " -c " + ShellQuote(littleCms) + " " +
                                              ShellQuote(c.oracleFile ? TestData(c.oracleFile) : path),
                                          &reference));
            break;
        case MagickEightBit: ASSERT_TRUE(DecodeWithCommand(magick + "-depth 8 ppm:-", &reference)); break;
        case MagickLab: ASSERT_TRUE(DecodeWithCommand(magick + "-colorspace sRGB -depth 8 ppm:-", &reference)); break;
        default: ASSERT_TRUE(DecodeWithCommand(magick + "-depth 16 ppm:-", &reference)); break;
        }
        if (c.oracle == MagickCmyk) {
            ASSERT_TRUE(DecodeCmykThroughTable(path, reference.width, reference.height, &reference));
        }
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(path, mode, reference,
                                       FirstMatchSampling(reference.width, reference.height, mode == 2, false),
                                       c.tolerance));
        if (c.meanLimit > 0) {
            const QuorvelRun run = RunQuorvel(path, 2);
            ASSERT_EQ(run.rgb.size(), reference.rgb.size());
            double sum = 0;
            for (size_t i = 0; i < run.rgb.size(); ++i)
                sum += std::abs(run.rgb[i] - reference.rgb[i]);
            EXPECT_LE(sum / static_cast<double>(run.rgb.size()), c.meanLimit);
        }
        const QuorvelRun sizeOnly = RunQuorvel(path, 0);
        ASSERT_EQ(sizeOnly.ok, 1);
        EXPECT_FLOAT_EQ(sizeOnly.widthInches, reference.width / c.resolution);
        EXPECT_FLOAT_EQ(sizeOnly.heightInches, reference.height / c.resolution);
    }
}

TEST(PsdIo, ResolutionBlockAndNamePadding)
{
    TempDir dir;
    struct Case {
        std::vector<uint8_t> resources;
        float expected;
    };
    const std::vector<uint8_t> grey = {7};
    const Case cases[] = {
        // 71 + 65535 / 65535 is exactly 72; the divisor is 65535.
        {Resolution(71, 65535), 72.0f},
        {Resolution(300, 0), 300.0f},
        // Names of odd length take 1 + n bytes, even 2 + n, empty 2.
        {[] {
             auto r = Resource(1000, "abc", {1, 2, 3});
             auto s = Resource(1001, "ab", {});
             auto t = Resolution(150, 32768);
             r.insert(r.end(), s.begin(), s.end());
             r.insert(r.end(), t.begin(), t.end());
             return r;
         }(),
         static_cast<float>(150 + 32768 / 65535.0)},
        {Resource(1000, "", {1, 2}), 72.0f},  // no resolution block
        {Resolution(0, 1), 72.0f},            // less than one pixel per inch: none
    };
    for (const Case& c : cases) {
        const std::string path = dir.File("res.psd");
        ASSERT_TRUE(WriteFileBytes(path, BuildPsd(1, 1, 1, 8, 1, {}, c.resources, 0, grey)));
        Reader r(path);
        ASSERT_TRUE(r.opened);
        EXPECT_EQ(r.io.m_fXRes, c.expected);
        EXPECT_EQ(r.io.m_fYRes, c.expected);
    }
}

TEST(PsdIo, HeaderRefusalsAndOpenDecisions)
{
    TempDir dir;
    const std::vector<uint8_t> table(768, 9);
    struct Case {
        std::vector<uint8_t> file;
        Refusal header;   // from ReadHeader
        Refusal preview;  // from MakeDib when the header passes
    };
    std::vector<uint8_t> version2 = BuildPsd(1, 1, 1, 8, 1, {}, {}, 0, {1});
    version2[5] = 2;
    const Case cases[] = {
        {version2, Refusal::PsdVersion, Refusal::None},
        {BuildPsd(1, 1, 1, 4, 1, {}, {}, 0, {1}), Refusal::UnsupportedDepth, Refusal::None},
        {BuildPsd(1, 1, 1, 8, 10, {}, {}, 0, {1}), Refusal::PsdMode, Refusal::None},
        // 32-bit floating point only in grey and RGB.
        {BuildPsd(4, 1, 1, 32, 4, {}, {}, 0, std::vector<uint8_t>(16)), Refusal::UnsupportedDepth, Refusal::None},
        {BuildPsd(2, 1, 1, 8, 9, {}, {}, 0, {1, 2}), Refusal::PsdTooFewChannels, Refusal::None},
        // Duotone colour data (inks and curves) of any length is skipped, but
        // must be in the file.
        {BuildPsd(1, 1, 1, 8, 8, std::vector<uint8_t>(100), {}, 0, {1}), Refusal::None, Refusal::None},
        {[] {
             std::vector<uint8_t> f = BuildPsd(1, 1, 1, 8, 8, {}, {}, 0, {1});
             StoreBE32(&f[26], 1000);
             return f;
         }(),
         Refusal::Truncated, Refusal::None},
        {BuildPsd(1, 100000, 100000, 32, 1, {}, {}, 0, std::vector<uint8_t>(64)), Refusal::None,
         Refusal::LargerThanFile},
        {BuildPsd(1, 1, 1, 8, 1, std::vector<uint8_t>(100), {}, 0, {1}), Refusal::PsdColourData, Refusal::None},
        // Indices without their table carry no colour: refused, not guessed.
        {BuildPsd(1, 1, 1, 8, 2, {}, {}, 0, {1}), Refusal::PsdNoColourTable, Refusal::None},
        // Fewer channels than the mode's planes.
        {BuildPsd(2, 1, 1, 8, 3, {}, {}, 0, {1, 2}), Refusal::PsdTooFewChannels, Refusal::None},
        {BuildPsd(3, 1, 1, 8, 4, {}, {}, 0, {1, 2, 3}), Refusal::PsdTooFewChannels, Refusal::None},
        // ZIP data is not PackBits: the size is known, the preview refused.
        {BuildPsd(1, 1, 1, 8, 1, {}, {}, 2, {1, 2, 3, 4}), Refusal::None, Refusal::UnsupportedCompression},
        // A 100000 x 100000 picture in a file of a few bytes allocates nothing.
        {BuildPsd(1, 100000, 100000, 8, 1, {}, {}, 1, {0, 2, 0x81, 0}), Refusal::None, Refusal::LargerThanFile},
        {BuildPsd(1, 2, 1, 8, 2, table, {}, 0, {1, 2}), Refusal::None, Refusal::None},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        const std::string path = dir.File("h.psd");
        ASSERT_TRUE(WriteFileBytes(path, cases[i].file));
        Reader r(path);
        EXPECT_EQ(r.opened, cases[i].header == Refusal::None);
        EXPECT_EQ(r.made, r.opened && cases[i].preview == Refusal::None);
        EXPECT_EQ(r.io.m_nRefusal, cases[i].header != Refusal::None ? cases[i].header : cases[i].preview);
    }
}

// Modes 5 and 6 preview black, multichannel shows its first channel as
// grey, 16-bit samples keep their high byte (0x12FF gives 0x12, not 0x13),
// duotone too; a float 0.5 is 127, as ImageMagick shows it; Lab 50.2, 0, 0
// is sRGB grey 119.
TEST(PsdIo, ModesWithoutColourAndSixteenBitSamples)
{
    TempDir dir;
    struct Case {
        uint16_t channels, depth, mode;
        std::vector<uint8_t> data;
        uint8_t expected;
    };
    const Case cases[] = {
        {1, 8, 5, {200}, 0},
        {1, 8, 6, {200}, 0},
        {2, 8, 7, {77, 200}, 77},
        {1, 16, 1, {0x12, 0xFF}, 0x12},
        {1, 16, 8, {0x12, 0xFF}, 0x12},
        {1, 32, 1, {0x3F, 0, 0, 0}, 127},
        {3, 8, 9, {128, 128, 128}, 119},
    };
    for (const Case& c : cases) {
        const std::string path = dir.File("m.psd");
        ASSERT_TRUE(WriteFileBytes(path, BuildPsd(c.channels, 1, 1, c.depth, c.mode, {}, {}, 0, c.data)));
        EXPECT_EQ(RunQuorvel(path, 1).block, (std::vector<uint8_t>{c.expected, c.expected, c.expected, 0})) << c.mode;
    }
}

// PackBits rows are found through the byte-count table: a damaged row the
// preview does not take changes nothing, and a table that disagrees with
// the data (zero counts, a sum past the file) falls back to decoding in
// order with the same pixels.
TEST(PsdIo, PackBitsRowTableSeeksAndFallsBack)
{
    TempDir dir;
    const std::string source = TestData("psd_bitmap_rle.psd");  // 37 x 421, fitted to 17 x 199
    const std::vector<uint8_t> original = ReadFileBytes(source);
    Reader intact(source);
    ASSERT_TRUE(intact.made);
    EXPECT_TRUE(intact.io.m_bUsedRowTable);
    const size_t bytes = ((static_cast<size_t>(intact.w) * 24 + 31) / 32) * 4 * intact.h;
    const std::vector<uint8_t> expected(intact.bits, intact.bits + bytes);

    const size_t tableAt = static_cast<size_t>(intact.io.m_nDataStart);
    const std::vector<uint32_t> taken = WalkFirstMatch(421, 199);
    ASSERT_NE(taken[1], 1u);  // row 1 is not taken
    size_t row1 = tableAt + 2 * 421 + LoadBE16(&original[tableAt]);

    std::vector<uint8_t> skipped = original;
    skipped[row1] = 0x7F;  // a literal of 128 bytes: would shift every later row
    std::vector<uint8_t> zeroCount = original;
    zeroCount[tableAt + 2 * 5] = zeroCount[tableAt + 2 * 5 + 1] = 0;
    std::vector<uint8_t> pastFile = original;
    pastFile[tableAt + 2 * 7] = 0xFF;
    struct Case {
        const char* name;
        const std::vector<uint8_t>* file;
        bool byTable;
    };
    for (const Case& c : {Case{"skipped", &skipped, true}, Case{"zero", &zeroCount, false},
                          Case{"past", &pastFile, false}}) {
        const std::string path = dir.File(std::string(c.name) + ".psd");
        ASSERT_TRUE(WriteFileBytes(path, *c.file));
        Reader r(path);
        ASSERT_TRUE(r.made) << c.name;
        EXPECT_EQ(r.io.m_bUsedRowTable, c.byTable) << c.name;
        EXPECT_EQ(std::vector<uint8_t>(r.bits, r.bits + bytes), expected) << c.name;
    }
}

// Rows a cut file does not hold are black (the bitmap palette's 0 is white,
// a missing blue plane would tint the row), never stale; full size refuses.
TEST(PsdIo, CutFilesPreviewMissingRowsBlack)
{
    TempDir dir;
    struct Case {
        const char* name;
        size_t keepFromData;  // data bytes kept after the compression field
        uint32_t cutRow;      // first stored row lost (0: not known)
        Refusal full;         // why a full-size preview is refused
    };
    const Case cases[] = {
        {"psd_grey8_raw.psd", 7 * 100, 100, Refusal::LargerThanFile},            // 7 x 251
        {"psd_rgb8_raw_72dpi.psd", 7 * 211 * 2 + 7 * 50, 50, Refusal::LargerThanFile},  // blue cut
        {"psd_bitmap_rle.psd", 2 * 421 + 1000, 0, Refusal::RowsMissing},  // table past the cut
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reader intact(TestData(c.name));
        ASSERT_TRUE(intact.made);
        std::vector<uint8_t> file = ReadFileBytes(TestData(c.name));
        file.resize(static_cast<size_t>(intact.io.m_nDataStart) + c.keepFromData);
        const std::string path = dir.File("cut.psd");
        ASSERT_TRUE(WriteFileBytes(path, file));
        {
            Reader cut(path);
            ASSERT_TRUE(cut.made);
            ASSERT_EQ(cut.w, intact.w);
            const size_t stride = ((static_cast<size_t>(cut.w) * 24 + 31) / 32) * 4;
            int32_t firstBlack = cut.h;
            for (int32_t y = 0; y < cut.h; ++y) {
                const size_t at = static_cast<size_t>(cut.h - 1 - y) * stride;  // row y from the top
                const bool black = std::all_of(cut.bits + at, cut.bits + at + stride, [](uint8_t v) { return v == 0; });
                if (black && firstBlack == cut.h)
                    firstBlack = y;
                if (firstBlack == cut.h)
                    EXPECT_EQ(0, std::memcmp(cut.bits + at, intact.bits + at, stride)) << y;
                else
                    EXPECT_TRUE(black) << "row " << y << " after a missing row";
            }
            ASSERT_LT(firstBlack, cut.h);
            if (c.cutRow != 0) {
                const std::vector<uint32_t> rows = WalkFirstMatch(intact.io.m_nHeight, cut.h);
                EXPECT_EQ(firstBlack, std::lower_bound(rows.begin(), rows.end(), c.cutRow) - rows.begin());
            }
        }
        Reader full(path, true);
        EXPECT_FALSE(full.made);
        EXPECT_EQ(full.io.m_nRefusal, c.full);
    }
}
