// SCT, PXR and AWD readers: one fixture comparison per reader against an
// independent decoder (ImageMagick for SCT, Pillow for PXR, libtiff through
// ImageMagick for the TIFF-shaped AWD files), and the header decisions.
#include "ByteOrder.h"
#include "ImageIo.h"
#include "Quorvel.h"
#include "ReaderOracle.h"
#include "TestSupport.h"
#include "cvt_test.h"
#include "iAwdIo.h"
#include "iSctIo.h"
#include "quorvel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> RunCommand(const std::string& command)
{
    std::vector<uint8_t> out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    unsigned char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        out.insert(out.end(), chunk, chunk + n);
    pclose(pipe);
    return out;
}

// ImageMagick's CMYK samples of the file, sent through the shipped colour
// table as the preview sends them.
bool DecodeCmykThroughTable(const std::string& source, uint32_t w, uint32_t h, RgbImage* out)
{
    const std::vector<uint8_t> cmyk = RunCommand("convert '" + source + "' -depth 8 cmyk:- 2>/dev/null");
    if (cmyk.size() != static_cast<size_t>(w) * h * 4)
        return false;
    LoadColourTable(QUORVEL_SAMPLES);
    out->width = w;
    out->height = h;
    out->rgb.assign(static_cast<size_t>(w) * h * 3, 0);
    for (size_t p = 0; p < static_cast<size_t>(w) * h; ++p)
        CmykPixelToRgb(&cmyk[4 * p], &out->rgb[3 * p]);
    return true;
}

enum class Oracle { Magick, MagickCmyk, Pillow, MagickRawGrey, Libtiff, LibtiffCmyk };

struct Fixture {
    const char* name;
    Oracle oracle;
    uint32_t width;
    uint32_t height;
};

bool Decode(const Fixture& f, RgbImage* out)
{
    const std::string path = TestData(f.name);
    switch (f.oracle) {
    case Oracle::Magick:
        return DecodeWithImageMagick(path, out);
    case Oracle::MagickCmyk:
        return DecodeCmykThroughTable(path, f.width, f.height, out);
    case Oracle::Pillow:
        return DecodeWithPillow(path, out);
    case Oracle::MagickRawGrey:
        // No decoder reads Pixar storage type 8: the samples after the
        // 1024-byte header, read raw.
        return DecodeWithCommand("convert -size " + std::to_string(f.width) + "x" + std::to_string(f.height) +
                                     "+1024 -depth 8 'gray:" + path + "' ppm:-",
                                 out);
    case Oracle::Libtiff:
        return DecodeWithImageMagick("tiff:" + path, out);
    case Oracle::LibtiffCmyk:
        return DecodeCmykThroughTable("tiff:" + path, f.width, f.height, out);
    }
    return false;
}

void CompareFixtures(const std::vector<Fixture>& fixtures)
{
    for (const Fixture& f : fixtures) {
        RgbImage reference;
        ASSERT_TRUE(Decode(f, &reference)) << f.name;
        ASSERT_EQ(reference.width, f.width) << f.name;
        ASSERT_EQ(reference.height, f.height) << f.name;
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(TestData(f.name), mode, reference,
                                       FirstMatchSampling(f.width, f.height, mode == 2, false)));
    }
}

struct Outcome {
    int ok = 0;
    Refusal why = Refusal::None;
    ImageSummary summary{};
    std::vector<uint8_t> block;
};

Outcome Quorvel(const std::string& path, int mode)
{
    Outcome r;
    MessageCapture quiet;
    r.ok = GetQuorvelWithReason(path.c_str(), &r.summary, mode, QUORVEL_SAMPLES, &r.why);
    if (r.ok == 1 && r.summary.pPreviewBits != nullptr) {
        const size_t stride = ((static_cast<size_t>(r.summary.nPreviewWidth) * 24 + 31) / 32) * 4;
        r.block.assign(r.summary.pPreviewBits, r.summary.pPreviewBits + stride * r.summary.nPreviewHeight);
        QuorvelFreePreview(r.summary.pPreviewBits);
        r.summary.pPreviewBits = nullptr;
    }
    return r;
}

// Preview row y from the top of a bottom-up block.
const uint8_t* PreviewRow(const Outcome& r, uint32_t y)
{
    const size_t stride = ((static_cast<size_t>(r.summary.nPreviewWidth) * 24 + 31) / 32) * 4;
    return r.block.data() + (r.summary.nPreviewHeight - 1 - y) * stride;
}

bool RowIsBlack(const Outcome& r, uint32_t y)
{
    const uint8_t* row = PreviewRow(r, y);
    for (int32_t x = 0; x < 3 * r.summary.nPreviewWidth; ++x)
        if (row[x] != 0)
            return false;
    return true;
}

// ---- SCT -------------------------------------------------------------------

// A Scitex CT header with the given text fields, followed by `data`.
std::vector<uint8_t> MakeSct(uint8_t units, uint8_t separations, const char* physicalHeight,
                             const char* physicalWidth, const char* rows, const char* columns,
                             const std::vector<uint8_t>& data = {})
{
    std::vector<uint8_t> v(2048 + data.size(), ' ');
    v[80] = 'C';
    v[81] = 'T';
    v[1024] = units;
    v[1025] = separations;
    const auto put = [&v](size_t at, size_t size, const char* text) {
        std::memcpy(v.data() + at, text, std::min(size, std::strlen(text)));
    };
    put(1028, 14, physicalHeight);
    put(1042, 14, physicalWidth);
    put(1056, 12, rows);
    put(1068, 12, columns);
    for (size_t i = 0; i < data.size(); ++i)
        v[2048 + i] = data[i];
    return v;
}

TEST(SctReader, FixturesMatchImageMagick)
{
    QUORVEL_REQUIRE_TOOL("convert");
    // Odd widths (37, 7, 31) pad every separation row to even length; a
    // reader without the pad byte shows them skewed.
    CompareFixtures({{"sct_rgb_37x23.sct", Oracle::Magick, 37, 23},
                     {"sct_grey_250x9_mm.sct", Oracle::Magick, 250, 9},
                     {"sct_grey_7x213.sct", Oracle::Magick, 7, 213},
                     {"sct_cmyk_31x17.sct", Oracle::MagickCmyk, 31, 17}});
}

// ImageMagick gives the resolution in pixels per the file's own unit and
// marks millimetre files with a metric unit; the reported size is that
// length in inches.
TEST(SctReader, PhysicalSizeInMillimetresOrInchesMatchesImageMagick)
{
    QUORVEL_REQUIRE_TOOL("identify");
    for (const char* name : {"sct_rgb_37x23.sct", "sct_grey_250x9_mm.sct"}) {
        const std::string path = TestData(name);
        const std::vector<uint8_t> text = RunCommand("identify -format '%w %h %x %y %U' '" + path + "'");
        const std::string s(text.begin(), text.end());
        double w = 0, h = 0, x = 0, y = 0;
        char unit[64] = {};
        ASSERT_EQ(std::sscanf(s.c_str(), "%lf %lf %lf %lf %63s", &w, &h, &x, &y, unit), 5) << s;
        const double perInch = std::string(unit) == "PixelsPerCentimeter" ? 25.4 : 1.0;
        const Outcome r = Quorvel(path, 0);
        ASSERT_EQ(r.ok, 1) << name;
        EXPECT_NEAR(r.summary.fWidthInches, w / x / perInch, 1e-4) << name;
        EXPECT_NEAR(r.summary.fHeightInches, h / y / perInch, 1e-4) << name;
    }
    // The millimetre fixture: 250 px over 63.5 mm is 2.5 inches.
    EXPECT_NEAR(Quorvel(TestData("sct_grey_250x9_mm.sct"), 0).summary.fWidthInches, 2.5f, 1e-5);
}

TEST(SctReader, HeaderFields)
{
    TempDir dir;
    const std::string path = dir.File("a.sct");
    struct Case {
        uint8_t units;
        const char* physical;
        const char* pixels;
        float inches;   // both sides
        float ppi;      // both directions
    };
    // 600 px over 2.0 in; leading blanks before a count; 50.8 mm; a size of
    // 0 or no number gives 72 pixels per inch.
    for (const Case& c : {Case{1, "+.20000000e+01", "+00000000600", 2.0f, 300.0f},
                          Case{1, "2.0", "         600", 2.0f, 300.0f},
                          Case{0, "+.50800000e+02", "600", 2.0f, 300.0f},
                          Case{7, "2", "\t600", 2.0f, 300.0f},
                          Case{1, "+.00000000e+00", "600", 600.0f / 72.0f, 72.0f},
                          Case{1, "abc", "600", 600.0f / 72.0f, 72.0f}}) {
        ASSERT_TRUE(WriteFileBytes(path, MakeSct(c.units, 3, c.physical, c.physical, c.pixels, c.pixels)));
        {
            CSctIo io(path.c_str());
            ASSERT_TRUE(io.m_file.Open(path.c_str(), CFile::modeRead));
            ASSERT_EQ(io.ReadHeader(), 1) << c.pixels;
            EXPECT_EQ(io.m_nWidth, 600u);
            EXPECT_EQ(io.m_nHeight, 600u);
            EXPECT_FLOAT_EQ(io.m_fXRes, c.ppi) << c.physical;
            EXPECT_FLOAT_EQ(io.m_fYRes, c.ppi) << c.physical;
        }
        const Outcome r = Quorvel(path, 0);
        EXPECT_NEAR(r.summary.fWidthInches, c.inches, 1e-4) << c.physical;
    }
    // A count may fill its whole field; past 32 bits it is too large.
    EXPECT_EQ(ParseSctCount(reinterpret_cast<const unsigned char*>("123456789012"), 12), int64_t{UINT32_MAX} + 1);
    EXPECT_EQ(ParseSctCount(reinterpret_cast<const unsigned char*>("000000004096"), 12), 4096);
    EXPECT_DOUBLE_EQ(ParseSctDecimal(reinterpret_cast<const unsigned char*>("  -.5e1xyz"), 10), -5.0);
}

TEST(SctReader, RefusesWhatItCannotRead)
{
    TempDir dir;
    const std::string path = dir.File("a.sct");
    struct Case {
        std::vector<uint8_t> file;
        Refusal why;
    };
    std::vector<uint8_t> lw = MakeSct(1, 3, "1", "1", "10", "10");
    lw[80] = 'L';
    lw[81] = 'W';
    for (const Case& c : {Case{MakeSct(1, 2, "1", "1", "10", "10"), Refusal::SctSeparations},
                          Case{MakeSct(1, 5, "1", "1", "10", "10"), Refusal::SctSeparations},
                          Case{lw, Refusal::SctSignature},
                          Case{MakeSct(1, 1, "1", "1", "0", "10"), Refusal::EmptyPicture},
                          Case{MakeSct(1, 1, "1", "1", "-5", "10"), Refusal::EmptyPicture},
                          Case{MakeSct(1, 1, "1", "1", "99999999999", "10"), Refusal::PictureTooLarge}}) {
        ASSERT_TRUE(WriteFileBytes(path, c.file));
        const Outcome r = Quorvel(path, 0);
        EXPECT_EQ(r.ok, 0);
        EXPECT_EQ(r.why, c.why) << RefusalText(r.why);
    }
}

// Scan lines the file does not hold are black (CMYK too, where zero planes
// would come out white); a full-size preview needs them all; a size that
// wraps 32 bits on a tiny file allocates nothing.
TEST(SctReader, MissingScanLines)
{
    TempDir dir;
    const std::string path = dir.File("a.sct");
    for (uint8_t seps : {uint8_t{1}, uint8_t{4}}) {
        // 5 x 10, two scan lines present; every sample 0x80.
        const std::vector<uint8_t> data(2u * 6 * seps, 0x80);
        ASSERT_TRUE(WriteFileBytes(path, MakeSct(1, seps, "1", "1", "10", "5", data)));
        const Outcome fitted = Quorvel(path, 1);
        ASSERT_EQ(fitted.ok, 1);
        EXPECT_FALSE(RowIsBlack(fitted, 0));
        EXPECT_FALSE(RowIsBlack(fitted, 1));
        for (uint32_t y = 2; y < 10; ++y)
            EXPECT_TRUE(RowIsBlack(fitted, y)) << y;
        const Outcome full = Quorvel(path, 2);
        EXPECT_EQ(full.ok, 0);
        EXPECT_EQ(full.why, Refusal::LargerThanFile);
    }
    ASSERT_TRUE(WriteFileBytes(path, MakeSct(1, 4, "1", "1", "65536", "65536", std::vector<uint8_t>(64, 1))));
    FakeMemory memory(64 * MiB, 64 * MiB);
    for (int mode : {1, 2}) {
        const Outcome r = Quorvel(path, mode);
        EXPECT_EQ(r.ok, 0);
        EXPECT_EQ(r.why, Refusal::LargerThanFile);
    }
    for (size_t bytes : FakeMemory::requests)
        EXPECT_LT(bytes, 1u * MiB);
}

// ---- PXR -------------------------------------------------------------------

std::vector<uint8_t> MakePxr(uint16_t width, uint16_t height, uint8_t storage, size_t dataBytes)
{
    std::vector<uint8_t> v(1024 + dataBytes, 0x40);
    std::fill(v.begin(), v.begin() + 1024, 0);
    v[0] = 0x80;
    v[1] = 0xE8;
    StoreLE16(&v[416], height);
    StoreLE16(&v[418], width);
    StoreLE16(&v[420], height);
    StoreLE16(&v[422], width);
    v[424] = storage;
    v[426] = 2;
    return v;
}

// Pillow reads storage type 14 (RGB) only; the grey fixture is checked
// against its samples read raw.
TEST(PxrReader, FixturesMatchPillow)
{
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    QUORVEL_REQUIRE_TOOL("convert");
    CompareFixtures({{"pxr_rgb_37x23.pxr", Oracle::Pillow, 37, 23},
                     {"pxr_rgb_211x7.pxr", Oracle::Pillow, 211, 7},
                     {"pxr_grey_41x19.pxr", Oracle::MagickRawGrey, 41, 19}});
}

TEST(PxrReader, StorageTypesSizeAndMissingRows)
{
    TempDir dir;
    const std::string path = dir.File("a.pxr");
    for (uint8_t storage : {uint8_t{0}, uint8_t{9}, uint8_t{15}}) {
        ASSERT_TRUE(WriteFileBytes(path, MakePxr(4, 4, storage, 48)));
        const Outcome r = Quorvel(path, 0);
        EXPECT_EQ(r.ok, 0);
        EXPECT_EQ(r.why, Refusal::PxrStorage);
    }
    // 800 x 600 RGB holding 3 rows: 72 ppi, a 200 x 150 preview whose rows
    // past the file are black; no full-size preview.
    ASSERT_TRUE(WriteFileBytes(path, MakePxr(800, 600, 14, 3 * 800 * 3)));
    const Outcome r = Quorvel(path, 1);
    ASSERT_EQ(r.ok, 1);
    EXPECT_NEAR(r.summary.fWidthInches, 11.111f, 1e-3);
    EXPECT_NEAR(r.summary.fHeightInches, 8.333f, 1e-3);
    EXPECT_EQ(r.summary.nPreviewWidth, 200);
    EXPECT_EQ(r.summary.nPreviewHeight, 150);
    EXPECT_EQ(PreviewRow(r, 0)[0], 0x40);
    EXPECT_FALSE(RowIsBlack(r, 0));  // rows 0 (source 0) is in the file
    for (uint32_t y = 1; y < 150; ++y)
        ASSERT_TRUE(RowIsBlack(r, y)) << y;
    EXPECT_EQ(Quorvel(path, 2).why, Refusal::LargerThanFile);
    ASSERT_TRUE(WriteFileBytes(path, MakePxr(0, 600, 8, 16)));
    EXPECT_EQ(Quorvel(path, 0).why, Refusal::EmptyPicture);
}

// ---- AWD -------------------------------------------------------------------

TEST(AwdReader, FixturesMatchLibtiff)
{
    QUORVEL_REQUIRE_TOOL("convert");
    CompareFixtures({{"awd_rgb8_37x23.awd", Oracle::Libtiff, 37, 23},
                     {"awd_rgb8_233x5.awd", Oracle::Libtiff, 233, 5},
                     {"awd_grey8_41x19.awd", Oracle::Libtiff, 41, 19},
                     {"awd_white8_41x19.awd", Oracle::Libtiff, 41, 19},
                     {"awd_pal8_33x21.awd", Oracle::Libtiff, 33, 21},
                     {"awd_rgb8_planar_29x13.awd", Oracle::Libtiff, 29, 13},
                     {"awd_cmyk8_23x11.awd", Oracle::LibtiffCmyk, 23, 11},
                     {"awd_rgba8_748_19x11.awd", Oracle::Libtiff, 19, 11}});
}

// Offset of the directory entry for `tag` in a fixture's bytes.
size_t EntryOf(const std::vector<uint8_t>& file, uint16_t tag)
{
    const uint32_t dir = LoadLE32(&file[4]);
    const uint16_t count = LoadLE16(&file[dir]);
    for (uint16_t k = 0; k < count; ++k) {
        const size_t at = dir + 2 + 12u * k;
        if (LoadLE16(&file[at]) == tag)
            return at;
    }
    ADD_FAILURE() << "no tag " << tag;
    return 0;
}

struct AwdCase {
    const char* fixture;
    uint16_t tag;
    // Changes the entry (at its offset) or the bytes it points at.
    void (*change)(std::vector<uint8_t>& file, size_t entry);
    int sizeOk;        // GetQuorvel mode 0
    Refusal preview;   // mode 1; None: succeeds
};

TEST(AwdReader, DirectoryDecisions)
{
    TempDir dir;
    const std::string path = dir.File("a.awd");
    const AwdCase cases[] = {
        // No width (tag 256 renamed): a picture without pixels.
        {"awd_grey8_41x19.awd", 256, [](std::vector<uint8_t>& f, size_t e) { StoreLE16(&f[e], 255); }, 0,
         Refusal::EmptyPicture},
        {"awd_grey8_41x19.awd", 257, [](std::vector<uint8_t>& f, size_t e) { StoreLE16(&f[e], 255); }, 0,
         Refusal::EmptyPicture},
        // Bits per sample 8, 8, 7.
        {"awd_rgb8_37x23.awd", 258,
         [](std::vector<uint8_t>& f, size_t e) { StoreLE16(&f[LoadLE32(&f[e + 8]) + 4], 7); }, 0,
         Refusal::AwdUnequalBits},
        // A count the file cannot hold is refused before anything is allocated.
        {"awd_rgb8_37x23.awd", 258, [](std::vector<uint8_t>& f, size_t e) { StoreLE32(&f[e + 4], 0x7FFFFFFF); }, 0,
         Refusal::Truncated},
        // 16 or 1 bit samples are not read as bytes.
        {"awd_grey8_41x19.awd", 258, [](std::vector<uint8_t>& f, size_t e) { StoreLE16(&f[e + 8], 16); }, 1,
         Refusal::UnsupportedDepth},
        {"awd_grey8_41x19.awd", 258, [](std::vector<uint8_t>& f, size_t e) { StoreLE16(&f[e + 8], 1); }, 1,
         Refusal::UnsupportedDepth},
        // Palette picture without its colour map.
        {"awd_pal8_33x21.awd", 320, [](std::vector<uint8_t>& f, size_t e) { StoreLE16(&f[e], 321); }, 1,
         Refusal::AwdNoColourMap},
        // Photometric 6: no colour arrangement this reader knows.
        {"awd_grey8_41x19.awd", 262, [](std::vector<uint8_t>& f, size_t e) { StoreLE16(&f[e + 8], 6); }, 1,
         Refusal::UnsupportedColour},
        {"awd_grey8_41x19.awd", 273, [](std::vector<uint8_t>& f, size_t e) { StoreLE16(&f[e], 271); }, 1,
         Refusal::AwdNoStrips},
        // Big-endian files are not AWD files.
        {"awd_grey8_41x19.awd", 256, [](std::vector<uint8_t>& f, size_t) { f[0] = f[1] = 'M'; }, 0,
         Refusal::AwdSignature},
        // A colour map of 300 entries keeps its first 256.
        {"awd_pal8_33x21.awd", 320, [](std::vector<uint8_t>& f, size_t e) { StoreLE32(&f[e + 4], 900); }, 1,
         Refusal::None},
        // Pixels cut short: the fitted preview shows them black.
        {"awd_rgb8_37x23.awd", 256, [](std::vector<uint8_t>& f, size_t) { f.resize(f.size() - 37 * 3 * 5); }, 1,
         Refusal::None},
    };
    for (const AwdCase& c : cases) {
        std::vector<uint8_t> file = ReadFileBytes(TestData(c.fixture));
        c.change(file, EntryOf(file, c.tag));
        ASSERT_TRUE(WriteFileBytes(path, file));
        const Outcome size = Quorvel(path, 0);
        EXPECT_EQ(size.ok, c.sizeOk) << c.fixture << " tag " << c.tag << ": " << RefusalText(size.why);
        const Outcome preview = Quorvel(path, 1);
        EXPECT_EQ(preview.ok, c.preview == Refusal::None ? 1 : 0) << c.fixture << " tag " << c.tag;
        if (c.preview != Refusal::None) {
            EXPECT_EQ(preview.why, c.preview) << c.fixture << " tag " << c.tag << ": " << RefusalText(preview.why);
        }
    }
}

TEST(AwdReader, ResolutionSamplesAndMissingRows)
{
    // 300/1 and 599/2 (tiffinfo: 300, 299.5); a zero denominator gives 72.
    std::vector<uint8_t> file = ReadFileBytes(TestData("awd_rgb8_37x23.awd"));
    TempDir dir;
    const std::string path = dir.File("a.awd");
    ASSERT_TRUE(WriteFileBytes(path, file));
    Outcome r = Quorvel(path, 0);
    ASSERT_EQ(r.ok, 1);
    EXPECT_FLOAT_EQ(r.summary.fWidthInches, 37.0f / 300.0f);
    EXPECT_FLOAT_EQ(r.summary.fHeightInches, 23.0f / 299.5f);
    StoreLE32(&file[LoadLE32(&file[EntryOf(file, 283) + 8]) + 4], 0);
    ASSERT_TRUE(WriteFileBytes(path, file));
    r = Quorvel(path, 0);
    EXPECT_FLOAT_EQ(r.summary.fHeightInches, 23.0f / 72.0f);

    // Tag 748 = 6 with one unassociated alpha sample (tag 338 holds its kind,
    // 2): four samples per pixel, as tag 277 says.
    {
        const std::string awd = TestData("awd_rgba8_748_19x11.awd");
        CAwdIo io(awd.c_str());
        ASSERT_TRUE(io.m_file.Open(awd.c_str(), CFile::modeRead));
        ASSERT_EQ(io.ReadHeader(), 1);
        EXPECT_EQ(io.m_nPrivateTag748, 6u);
        EXPECT_EQ(io.m_nSamplesPerPixel, 4);
        EXPECT_EQ(io.m_nChannels, 3u);
    }

    // Rows past the end of the file: black in a fitted preview, refused at
    // full size.
    file = ReadFileBytes(TestData("awd_grey8_41x19.awd"));
    file.resize(file.size() - 41 * 4 - 10);
    ASSERT_TRUE(WriteFileBytes(path, file));
    r = Quorvel(path, 1);
    ASSERT_EQ(r.ok, 1);
    for (uint32_t y = 0; y < 19; ++y)
        EXPECT_EQ(RowIsBlack(r, y), y >= 14) << y;
    EXPECT_EQ(Quorvel(path, 2).why, Refusal::LargerThanFile);
}

}  // namespace
