// Cross-checks of the TIFF reader against an independent decode: fixtures made
// with libtiff's tools and ImageMagick, expected pixels from ImageMagick's
// full decode of the same files, sampled by the first-match rule.
#include "ITiffIO.h"
#include "ReaderOracle.h"
#include "TestSupport.h"
#include "cvt_test.h"
#include "quorvel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class Kind { Rgb, Grey, Bilevel, Palette, Cmyk };

struct Fixture {
    const char* name;
    Kind kind;
    // Pillow decodes the file as ImageMagick does (checked first): the
    // preview then matches both.
    bool pillow = false;
};

// Test names carry the file name rather than the object's bytes, which hold a
// pointer and would change from run to run.
void PrintTo(const Fixture& f, std::ostream* os) { *os << f.name; }

const Fixture kFixtures[] = {
    {"tiff_rgb8_none_le.tif", Kind::Rgb},      {"tiff_rgb8_none_be.tif", Kind::Rgb},
    {"tiff_rgb8_packbits.tif", Kind::Rgb},     {"tiff_rgb8_lzw.tif", Kind::Rgb},
    {"tiff_rgb8_lzw2_be.tif", Kind::Rgb},      {"tiff_rgb8_lzw2_one.tif", Kind::Rgb},
    {"tiff_rgb8_sep_r1.tif", Kind::Rgb},       {"tiff_rgb8_sep_r4.tif", Kind::Rgb},
    {"tiff_rgb16_none_le.tif", Kind::Rgb},     {"tiff_rgb16_none_be.tif", Kind::Rgb},
    {"tiff_rgb16_packbits_be.tif", Kind::Rgb}, {"tiff_rgb16_lzw2_le.tif", Kind::Rgb},
    {"tiff_rgb16_lzw2_be.tif", Kind::Rgb},     {"tiff_rgba8_none.tif", Kind::Rgb},
    {"tiff_rgba8_lzw2_be.tif", Kind::Rgb},     {"tiff_rgba8_sep_r1.tif", Kind::Rgb},
    {"tiff_grey8_none_be.tif", Kind::Grey},    {"tiff_grey8_packbits.tif", Kind::Grey},
    {"tiff_grey8_lzw2.tif", Kind::Grey},       {"tiff_grey8w_lzw.tif", Kind::Grey},
    {"tiff_grey4_none.tif", Kind::Grey},       {"tiff_grey4_lzw_be.tif", Kind::Grey},
    {"tiff_greya4_lzw.tif", Kind::Grey},
    {"tiff_grey16_packbits.tif", Kind::Grey},  {"tiff_grey16_lzw_be.tif", Kind::Grey},
    {"tiff_pal8_none.tif", Kind::Palette},     {"tiff_pal8_lzw_be.tif", Kind::Palette},
    {"tiff_pal4_packbits.tif", Kind::Palette},  {"tiff_pal4_none_be.tif", Kind::Palette},
    {"tiff_cmyk8_none.tif", Kind::Cmyk},       {"tiff_cmyk8_lzw2_be.tif", Kind::Cmyk},
    {"tiff_bw1_none.tif", Kind::Bilevel},      {"tiff_bw1w_packbits_be.tif", Kind::Bilevel},
    {"tiff_bw1_lzw.tif", Kind::Bilevel},       {"tiff_bw1w_ccitt.tif", Kind::Bilevel},
    {"tiff_bw1_ccitt_be.tif", Kind::Bilevel, true},  {"tiff_wide_ccitt.tif", Kind::Bilevel},
    {"tiff_runs_ccitt.tif", Kind::Bilevel},
    {"tiff_wide_lzw2.tif", Kind::Rgb},
    // Written by Pillow and netpbm: strip tables in the entry and at an offset.
    {"tiff_bw1_ccitt_pil.tif", Kind::Bilevel, true},
    {"tiff_pam_rgb8_two_strips.tif", Kind::Rgb, true},
    {"tiff_pam_grey8_lzw.tif", Kind::Grey, true},
    {"tiff_pam_pal8_packbits.tif", Kind::Palette, true},
};

// Pillow's decode of the file as 8-bit RGB; empty when it fails.
std::vector<uint8_t> PillowRgb(const std::string& path)
{
    RgbImage image;
    return DecodeWithPillow(path, &image) ? image.rgb : std::vector<uint8_t>();
}

// ImageMagick's decode of the file as raw samples: "rgb" or "cmyk", 8 or 16
// bits (16-bit samples most significant byte first), alpha dropped.
std::vector<uint8_t> Oracle(const std::string& path, const char* map, int depth)
{
    return CommandOutput("convert " + ShellQuote(path) + " -alpha off -depth " + std::to_string(depth) +
                             " -endian MSB " + map + ":-",
                         nullptr);
}

// Opens and parses a fixture.
struct Opened {
    explicit Opened(const std::string& path) : path_(path), io(path_.c_str()) {}
    bool Open()
    {
        return io.m_file.Open(path_.c_str(), CFile::modeRead | CFile::shareDenyWrite) && io.ReadHeader() == 1;
    }
    // Preview of any size through the shared preview path.
    struct Probe : CTiffIo {
        using CTiffIo::CTiffIo;
        int Preview(uint32_t w, uint32_t h, int32_t* pw, int32_t* ph, unsigned char** bits)
        {
            m_nDibWidth = w;
            m_nDibHeight = h;
            const int r = BuildPlanesPreview(pw, ph, bits);
            ImageFree(&m_pPalette);
            return r;
        }
    };
    std::string path_;
    Probe io;
};

// The decoded picture as 8-bit RGB (16-bit samples reduced to their more
// significant byte), width x height x 3.
std::vector<uint8_t> OracleRgb(const std::string& path, bool sixteen)
{
    std::vector<uint8_t> raw = Oracle(path, "rgb", sixteen ? 16 : 8);
    if (!sixteen)
        return raw;
    std::vector<uint8_t> rgb(raw.size() / 2);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = raw[2 * i];
    return rgb;
}

// Expected preview block: first-match rows and columns of the decoded picture.
std::vector<uint8_t> ExpectedPreview(const std::vector<uint8_t>& rgb, uint32_t w, uint32_t h, uint32_t dw,
                                     uint32_t dh)
{
    const std::vector<uint32_t> rows = FirstMatchIndices(h, dh);
    const std::vector<uint32_t> cols = FirstMatchIndices(w, dw);
    const size_t stride = ((static_cast<size_t>(dw) * 24 + 31) / 32) * 4;
    std::vector<uint8_t> block(stride * dh, 0);
    for (size_t i = 0; i < rows.size(); ++i) {
        uint8_t* out = block.data() + (dh - 1 - i) * stride;
        for (size_t j = 0; j < cols.size(); ++j) {
            const uint8_t* px = rgb.data() + (static_cast<size_t>(rows[i]) * w + cols[j]) * 3;
            out[3 * j] = px[2];
            out[3 * j + 1] = px[1];
            out[3 * j + 2] = px[0];
        }
    }
    return block;
}

class TiffFixture : public ::testing::TestWithParam<Fixture> {};

TEST_P(TiffFixture, PreviewsMatchTheIndependentDecodeAtSeveralSizes)
{
    const std::string path = TestData(GetParam().name);
    Opened probe(path);
    ASSERT_TRUE(probe.Open());
    const uint32_t w = probe.io.m_nWidth;
    const uint32_t h = probe.io.m_nHeight;
    const bool sixteen = probe.io.m_nBitsPerSample == 16;
    std::vector<uint8_t> rgb = OracleRgb(path, sixteen);
    ASSERT_EQ(rgb.size(), static_cast<size_t>(w) * h * 3) << "oracle decode failed";
    if (GetParam().pillow) {
        ASSERT_EQ(PillowRgb(path), rgb) << "Pillow and ImageMagick disagree";
    }

    const uint32_t sizes[][2] = {{w, h}, {std::min(15u, w), std::min(9u, h)}, {w, std::min(7u, h)}, {5, h}, {1, 1}};
    for (const auto& size : sizes) {
        Opened one(path);
        ASSERT_TRUE(one.Open());
        int32_t pw = 0, ph = 0;
        unsigned char* bits = nullptr;
        ASSERT_EQ(one.io.Preview(size[0], size[1], &pw, &ph, &bits), 1) << size[0] << "x" << size[1];
        ASSERT_EQ(static_cast<uint32_t>(pw), size[0]);
        ASSERT_EQ(static_cast<uint32_t>(ph), size[1]);
        const size_t stride = ((static_cast<size_t>(pw) * 24 + 31) / 32) * 4;
        if (GetParam().kind != Kind::Cmyk) {
            const std::vector<uint8_t> expected = ExpectedPreview(rgb, w, h, size[0], size[1]);
            const std::vector<uint8_t> got(bits, bits + stride * ph);
            EXPECT_EQ(got, expected) << size[0] << "x" << size[1];
        }
        EXPECT_EQ(one.io.m_pPalette, nullptr);
        QuorvelFreePreview(bits);
    }
    // Fitted (mode 1) and full-size (mode 2) previews through the export.
    probe.io.m_file.Close();
    for (int mode : {1, 2}) {
        if (GetParam().kind == Kind::Cmyk)
            break;
        ImageSummary summary;
        ASSERT_EQ(GetQuorvel(path.c_str(), &summary, mode, nullptr), 1) << mode;
        const uint32_t pw = static_cast<uint32_t>(summary.nPreviewWidth);
        const uint32_t ph = static_cast<uint32_t>(summary.nPreviewHeight);
        const size_t stride = ((static_cast<size_t>(pw) * 24 + 31) / 32) * 4;
        const std::vector<uint8_t> got(summary.pPreviewBits, summary.pPreviewBits + stride * ph);
        EXPECT_EQ(got, ExpectedPreview(rgb, w, h, pw, ph)) << "mode " << mode;
        QuorvelFreePreview(summary.pPreviewBits);
    }
}

TEST_P(TiffFixture, FullReadGivesTheIndependentSamples)
{
    const std::string path = TestData(GetParam().name);
    Opened probe(path);
    ASSERT_TRUE(probe.Open());
    CTiffIo& io = probe.io;
    const uint32_t w = io.m_nWidth;
    const uint32_t h = io.m_nHeight;
    const bool sixteen = io.m_nBitsPerSample == 16;
    io.m_nRowBytes = static_cast<int32_t>(AlignedRowBytes(w * 8));
    const size_t planeBytes = static_cast<size_t>(io.m_nRowBytes) * h;
    std::vector<std::vector<uint8_t>> planes(io.m_nChannels, std::vector<uint8_t>(planeBytes, 0xEE));
    for (uint32_t p = 0; p < io.m_nChannels; ++p) {
        io.m_nPlaneKind[p] = 1;
        io.m_pPlane[p] = planes[p].data();
    }
    ASSERT_EQ(io.ReadFullImage(), 1);

    if (GetParam().kind == Kind::Cmyk) {
        const std::vector<uint8_t> cmyk = Oracle(path, "cmyk", 8);
        ASSERT_EQ(cmyk.size(), static_cast<size_t>(w) * h * 4);
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                for (uint32_t p = 0; p < 4; ++p)
                    ASSERT_EQ(planes[p][y * io.m_nRowBytes + x], cmyk[(y * w + x) * 4 + p]) << x << "," << y;
        return;
    }
    std::vector<uint8_t> rgb = OracleRgb(path, sixteen);
    ASSERT_EQ(rgb.size(), static_cast<size_t>(w) * h * 3);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* px = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            const size_t at = static_cast<size_t>(y) * io.m_nRowBytes + x;
            switch (GetParam().kind) {
            case Kind::Rgb:
                for (uint32_t p = 0; p < 3; ++p)
                    ASSERT_EQ(planes[p][at], px[p]) << x << "," << y << " plane " << p;
                break;
            case Kind::Grey: {
                // Samples as stored: grey levels scaled back to the file's
                // depth, WhiteIsZero turned round.
                unsigned v = px[0];
                if (io.m_nGreyPhotometric == 0)
                    v = 255 - v;
                if (io.m_nBitsPerSample == 4)
                    v /= 17;
                ASSERT_EQ(planes[0][at], v) << x << "," << y;
                break;
            }
            case Kind::Bilevel: {
                const unsigned white = io.m_nGreyPhotometric == 1 ? 1 : 0;
                ASSERT_EQ(planes[0][at], px[0] == 255 ? white : 1 - white) << x << "," << y;
                break;
            }
            case Kind::Palette: {
                const unsigned index = planes[0][at];
                ASSERT_LT(index, io.m_nPaletteSize);
                for (uint32_t c = 0; c < 3; ++c)
                    ASSERT_EQ(io.m_pPalette[4 * index + 2 - c], px[c]) << x << "," << y;
                break;
            }
            case Kind::Cmyk:
                break;
            }
        }
        // Bytes between the width and the row spacing are left alone.
        for (uint32_t p = 0; p < io.m_nChannels; ++p)
            for (uint32_t x = w; x < static_cast<uint32_t>(io.m_nRowBytes); ++x)
                ASSERT_EQ(planes[p][static_cast<size_t>(y) * io.m_nRowBytes + x], 0xEE);
    }
}

// libtiff's copy of the file with FillOrder 2 (the bits of every stored
// byte lowest first) reads exactly as the file does, through every coding
// and layout; a black-and-white copy also converts (or not) alike.
TEST_P(TiffFixture, LowBitFirstCopyReadsTheSame)
{
    QUORVEL_REQUIRE_TOOL("tiffcp");
    const std::string path = TestData(GetParam().name);
    TempDir dir;
    const std::string twin = dir.File("twin.tif");
    // The copy keeps the byte order, so that conversions compare byte for byte.
    const bool motorola = ReadFileBytes(path).at(0) == 'M';
    int status = -1;
    CommandOutput(std::string("tiffcp -f lsb2msb ") + (motorola ? "-B " : "-L ") + ShellQuote(path) + " " +
                      ShellQuote(twin),
                  &status);
    ASSERT_EQ(status, 0);
    for (int mode : {1, 2}) {
        const QuorvelRun want = RunQuorvel(path, mode);
        const QuorvelRun got = RunQuorvel(twin, mode);
        EXPECT_EQ(got.ok, want.ok) << "mode " << mode;
        EXPECT_EQ(got.width, want.width) << "mode " << mode;
        EXPECT_TRUE(got.block == want.block) << "mode " << mode;
    }
    if (GetParam().kind == Kind::Bilevel) {
        const int converted = ConvertBWTiff(path.c_str(), dir.File("a.tif").c_str(), 0x0000FF);
        ASSERT_EQ(ConvertBWTiff(twin.c_str(), dir.File("b.tif").c_str(), 0x0000FF), converted);
        EXPECT_TRUE(ReadFileBytes(dir.File("a.tif")) == ReadFileBytes(dir.File("b.tif")));
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, TiffFixture, ::testing::ValuesIn(kFixtures),
                         [](const ::testing::TestParamInfo<Fixture>& info) {
                             std::string n = info.param.name;
                             n = n.substr(5, n.size() - 9);
                             return n;
                         });

// The whole protocol through the export: physical size and fitted preview.
TEST(TiffExport, FittedPreviewOfWideFilesMatchesTheDecode)
{
    for (const char* name : {"tiff_wide_lzw2.tif", "tiff_wide_ccitt.tif"}) {
        const std::string path = TestData(name);
        Opened probe(path);
        ASSERT_TRUE(probe.Open());
        const uint32_t w = probe.io.m_nWidth, h = probe.io.m_nHeight;
        probe.io.m_file.Close();
        ImageSummary summary;
        ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 1, nullptr), 1) << name;
        EXPECT_FLOAT_EQ(summary.fWidthInches, static_cast<float>(w / 72.0));
        probe.io.ComputeDibSize();
        ASSERT_EQ(static_cast<uint32_t>(summary.nPreviewWidth), probe.io.m_nDibWidth);
        ASSERT_EQ(static_cast<uint32_t>(summary.nPreviewHeight), probe.io.m_nDibHeight);
        const std::vector<uint8_t> expected =
            ExpectedPreview(OracleRgb(path, false), w, h, probe.io.m_nDibWidth, probe.io.m_nDibHeight);
        const std::vector<uint8_t> got(summary.pPreviewBits, summary.pPreviewBits + expected.size());
        EXPECT_EQ(got, expected) << name;
        QuorvelFreePreview(summary.pPreviewBits);
    }
}

TEST(TiffExport, CmykPreviewHasTheFittedSize)
{
    const std::string path = TestData("tiff_cmyk8_lzw2_be.tif");
    ImageSummary summary;
    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, QUORVEL_PREVIEW_FULL, nullptr), 1);
    EXPECT_EQ(summary.nPreviewWidth, 37);
    EXPECT_EQ(summary.nPreviewHeight, 23);
    EXPECT_NE(summary.pPreviewBits, nullptr);
    QuorvelFreePreview(summary.pPreviewBits);
}

// CMYK previews go through the shipped colour table: every preview pixel is
// the transform of the file's own CMYK samples, and the picture's red and
// green ramps come out as colours (its left edge has little red).
TEST(TiffExport, CmykPreviewGoesThroughTheShippedTable)
{
    for (const char* name : {"tiff_cmyk8_none.tif", "tiff_cmyk8_lzw2_be.tif"}) {
        const std::string path = TestData(name);
        ImageSummary summary;
        ASSERT_EQ(GetQuorvel(path.c_str(), &summary, QUORVEL_PREVIEW_FULL, QUORVEL_SAMPLES), 1);
        ASSERT_EQ(summary.nPreviewWidth, 37);
        ASSERT_EQ(summary.nPreviewHeight, 23);
        const std::vector<uint8_t> cmyk = Oracle(path, "cmyk", 8);
        ASSERT_EQ(cmyk.size(), 37u * 23u * 4u);
        const size_t stride = ((37 * 24 + 31) / 32) * 4;
        for (uint32_t y = 0; y < 23; ++y) {
            for (uint32_t x = 0; x < 37; ++x) {
                unsigned char in[4];
                std::memcpy(in, &cmyk[(y * 37 + x) * 4], 4);
                unsigned char rgb[3] = {0, 0, 0};
                CmykPixelToRgb(in, rgb);
                const unsigned char* px = summary.pPreviewBits + (22 - y) * stride + 3 * x;
                ASSERT_EQ(px[0], rgb[2]) << name << " " << x << "," << y;
                ASSERT_EQ(px[1], rgb[1]) << name << " " << x << "," << y;
                ASSERT_EQ(px[2], rgb[0]) << name << " " << x << "," << y;
            }
        }
        // Bottom right (red and green ramps at their top) against top left.
        const unsigned char* bottomRight = summary.pPreviewBits + 3 * 36;
        const unsigned char* topLeft = summary.pPreviewBits + 22 * stride;
        EXPECT_GT(bottomRight[2], topLeft[2] + 100);
        EXPECT_GT(bottomRight[1], topLeft[1] + 100);
        QuorvelFreePreview(summary.pPreviewBits);
    }
}

}  // namespace
