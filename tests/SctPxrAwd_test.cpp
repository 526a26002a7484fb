// SCT, PXR and AWD readers: one fixture table compared against independent
// decoders (ImageMagick for SCT, Pillow for PXR, libtiff through ImageMagick
// for the TIFF-shaped AWD files), and the header decisions.
#include "ByteOrder.h"
#include "ReaderOracle.h"
#include "TestSupport.h"
#include "iSctIo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// AWD files are read by libtiff through ImageMagick's tiff: coder.
enum class Oracle { Magick, Cmyk, Pillow, RawGrey };

struct Fixture {
    const char* name;
    Oracle oracle;
    uint32_t width;
    uint32_t height;
};

bool Decode(const Fixture& f, RgbImage* out)
{
    const std::string path = TestData(f.name);
    const std::string source = (std::strstr(f.name, ".awd") != nullptr ? "tiff:" : "") + path;
    switch (f.oracle) {
    case Oracle::Magick:
        return DecodeWithImageMagick(source, out);
    case Oracle::Cmyk:
        return DecodeCmykThroughTable(source, f.width, f.height, out);
    case Oracle::Pillow:
        return DecodeWithPillow(path, out);
    case Oracle::RawGrey:
        // No decoder reads Pixar storage type 8: the samples after the
        // 1024-byte header, read raw.
        return DecodeWithCommand("convert -size " + std::to_string(f.width) + "x" + std::to_string(f.height) +
                                     "+1024 -depth 8 'gray:" + path + "' ppm:-",
                                 out);
    }
    return false;
}

// Odd widths (37, 7, 31) pad every SCT separation row to even length; a
// reader without the pad byte shows them skewed.  Pillow reads PXR storage
// type 14 (RGB) only; the grey one is checked against its samples read raw.
const Fixture kFixtures[] = {
    {"sct_rgb_37x23.sct", Oracle::Magick, 37, 23},
    {"sct_grey_250x9_mm.sct", Oracle::Magick, 250, 9},
    {"sct_grey_7x213.sct", Oracle::Magick, 7, 213},
    {"sct_cmyk_31x17.sct", Oracle::Cmyk, 31, 17},
    {"pxr_rgb_37x23.pxr", Oracle::Pillow, 37, 23},
    {"pxr_rgb_211x7.pxr", Oracle::Pillow, 211, 7},
    {"pxr_grey_41x19.pxr", Oracle::RawGrey, 41, 19},
    {"awd_rgb8_37x23.awd", Oracle::Magick, 37, 23},
    {"awd_rgb8_233x5.awd", Oracle::Magick, 233, 5},
    {"awd_grey8_41x19.awd", Oracle::Magick, 41, 19},
    {"awd_white8_41x19.awd", Oracle::Magick, 41, 19},
    {"awd_pal8_33x21.awd", Oracle::Magick, 33, 21},
    {"awd_rgb8_planar_29x13.awd", Oracle::Magick, 29, 13},
    {"awd_cmyk8_23x11.awd", Oracle::Cmyk, 23, 11},
    {"awd_rgba8_748_19x11.awd", Oracle::Magick, 19, 11},
};

TEST(SctPxrAwd, FixturesMatchIndependentDecoders)
{
    QUORVEL_REQUIRE_TOOL("convert");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    for (const Fixture& f : kFixtures) {
        RgbImage reference;
        ASSERT_TRUE(Decode(f, &reference)) << f.name;
        ASSERT_EQ(reference.width, f.width) << f.name;
        ASSERT_EQ(reference.height, f.height) << f.name;
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(TestData(f.name), mode, reference,
                                       FirstMatchSampling(f.width, f.height, mode == 2, false)));
    }
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

// ImageMagick gives the resolution in pixels per the file's own unit and
// marks millimetre files with a metric unit; the reported size is that
// length in inches.
TEST(SctReader, PhysicalSizeInMillimetresOrInchesMatchesImageMagick)
{
    QUORVEL_REQUIRE_TOOL("identify");
    for (const char* name : {"sct_rgb_37x23.sct", "sct_grey_250x9_mm.sct"}) {
        const std::string path = TestData(name);
        const std::vector<uint8_t> text = CommandOutput("identify -format '%w %h %x %y %U' '" + path + "'");
        const std::string s(text.begin(), text.end());
        double w = 0, h = 0, x = 0, y = 0;
        char unit[64] = {};
        ASSERT_EQ(std::sscanf(s.c_str(), "%lf %lf %lf %lf %63s", &w, &h, &x, &y, unit), 5) << s;
        const double perInch = std::string(unit) == "PixelsPerCentimeter" ? 25.4 : 1.0;
        const QuorvelRun r = RunQuorvel(path, 0);
        ASSERT_EQ(r.ok, 1) << name;
        EXPECT_NEAR(r.widthInches, w / x / perInch, 1e-4) << name;
        EXPECT_NEAR(r.heightInches, h / y / perInch, 1e-4) << name;
    }
}

TEST(SctReader, HeaderFields)
{
    TempDir dir;
    const std::string path = dir.File("a.sct");
    struct Case {
        uint8_t units;
        const char* physical;
        const char* pixels;
        float inches;  // both sides
    };
    // 600 px over 2.0 in; leading blanks before a count; 50.8 mm; a size of
    // 0 or no number gives 72 pixels per inch.
    for (const Case& c : {Case{1, "+.20000000e+01", "+00000000600", 2.0f}, Case{1, "2.0", "         600", 2.0f},
                          Case{0, "+.50800000e+02", "600", 2.0f}, Case{7, "2", "\t600", 2.0f},
                          Case{1, "+.00000000e+00", "600", 600.0f / 72.0f}, Case{1, "abc", "600", 600.0f / 72.0f}}) {
        ASSERT_TRUE(WriteFileBytes(path, MakeSct(c.units, 3, c.physical, c.physical, c.pixels, c.pixels)));
        const QuorvelRun r = RunQuorvel(path, 0);
        ASSERT_EQ(r.ok, 1) << c.pixels;
        EXPECT_NEAR(r.widthInches, c.inches, 1e-4) << c.physical;
        EXPECT_NEAR(r.heightInches, c.inches, 1e-4) << c.physical;
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
    std::vector<uint8_t> lw = MakeSct(1, 3, "1", "1", "10", "10");
    lw[80] = 'L';
    lw[81] = 'W';
    const std::pair<std::vector<uint8_t>, Refusal> cases[] = {
        {MakeSct(1, 2, "1", "1", "10", "10"), Refusal::SctSeparations},
        {MakeSct(1, 5, "1", "1", "10", "10"), Refusal::SctSeparations},
        {lw, Refusal::SctSignature},
        {MakeSct(1, 1, "1", "1", "0", "10"), Refusal::EmptyPicture},
        {MakeSct(1, 1, "1", "1", "-5", "10"), Refusal::EmptyPicture},
        {MakeSct(1, 1, "1", "1", "99999999999", "10"), Refusal::PictureTooLarge}};
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileBytes(path, c.first));
        const QuorvelRun r = RunQuorvel(path, 0);
        EXPECT_EQ(r.ok, 0);
        EXPECT_EQ(r.why, c.second) << RefusalText(r.why);
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
        const QuorvelRun fitted = RunQuorvel(path, 1);
        ASSERT_EQ(fitted.ok, 1);
        for (int32_t y = 0; y < 10; ++y)
            EXPECT_EQ(fitted.RowIsBlack(y), y >= 2) << y;
        EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::LargerThanFile);
    }
    ASSERT_TRUE(WriteFileBytes(path, MakeSct(1, 4, "1", "1", "65536", "65536", std::vector<uint8_t>(64, 1))));
    FakeMemory memory(64 * MiB, 64 * MiB);
    for (int mode : {1, 2}) {
        const QuorvelRun r = RunQuorvel(path, mode);
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

TEST(PxrReader, StorageTypesSizeAndMissingRows)
{
    TempDir dir;
    const std::string path = dir.File("a.pxr");
    for (uint8_t storage : {uint8_t{0}, uint8_t{9}, uint8_t{15}}) {
        ASSERT_TRUE(WriteFileBytes(path, MakePxr(4, 4, storage, 48)));
        const QuorvelRun r = RunQuorvel(path, 0);
        EXPECT_EQ(r.ok, 0);
        EXPECT_EQ(r.why, Refusal::PxrStorage);
    }
    // 800 x 600 RGB holding 3 rows: 72 ppi, a 200 x 150 preview whose rows
    // past the file are black; no full-size preview.
    ASSERT_TRUE(WriteFileBytes(path, MakePxr(800, 600, 14, 3 * 800 * 3)));
    const QuorvelRun r = RunQuorvel(path, 1);
    ASSERT_EQ(r.ok, 1);
    EXPECT_NEAR(r.widthInches, 11.111f, 1e-3);
    EXPECT_NEAR(r.heightInches, 8.333f, 1e-3);
    ASSERT_EQ(r.height, 150);
    EXPECT_EQ(r.Pixel(0, 0)[0], 0x40);  // preview row 0 (source row 0) is in the file
    for (int32_t y = 1; y < 150; ++y)
        ASSERT_TRUE(r.RowIsBlack(y)) << y;
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::LargerThanFile);
    ASSERT_TRUE(WriteFileBytes(path, MakePxr(0, 600, 8, 16)));
    EXPECT_EQ(RunQuorvel(path, 0).why, Refusal::EmptyPicture);
}

// ---- AWD -------------------------------------------------------------------

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
        const QuorvelRun size = RunQuorvel(path, 0);
        EXPECT_EQ(size.ok, c.sizeOk) << c.fixture << " tag " << c.tag << ": " << RefusalText(size.why);
        const QuorvelRun preview = RunQuorvel(path, 1);
        EXPECT_EQ(preview.ok, c.preview == Refusal::None ? 1 : 0) << c.fixture << " tag " << c.tag;
        if (c.preview != Refusal::None) {
            EXPECT_EQ(preview.why, c.preview) << c.fixture << " tag " << c.tag << ": " << RefusalText(preview.why);
        }
    }
}

TEST(AwdReader, ResolutionAndMissingRows)
{
    // 300/1 and 599/2 (tiffinfo: 300, 299.5); a zero denominator gives 72.
    std::vector<uint8_t> file = ReadFileBytes(TestData("awd_rgb8_37x23.awd"));
    TempDir dir;
    const std::string path = dir.File("a.awd");
    ASSERT_TRUE(WriteFileBytes(path, file));
    QuorvelRun r = RunQuorvel(path, 0);
    ASSERT_EQ(r.ok, 1);
    EXPECT_FLOAT_EQ(r.widthInches, 37.0f / 300.0f);
    EXPECT_FLOAT_EQ(r.heightInches, 23.0f / 299.5f);
    StoreLE32(&file[LoadLE32(&file[EntryOf(file, 283) + 8]) + 4], 0);
    ASSERT_TRUE(WriteFileBytes(path, file));
    EXPECT_FLOAT_EQ(RunQuorvel(path, 0).heightInches, 23.0f / 72.0f);

    // Rows past the end of the file: black in a fitted preview, refused at
    // full size.
    file = ReadFileBytes(TestData("awd_grey8_41x19.awd"));
    file.resize(file.size() - 41 * 4 - 10);
    ASSERT_TRUE(WriteFileBytes(path, file));
    r = RunQuorvel(path, 1);
    ASSERT_EQ(r.ok, 1);
    for (int32_t y = 0; y < 19; ++y)
        EXPECT_EQ(r.RowIsBlack(y), y >= 14) << y;
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::LargerThanFile);
}

}  // namespace
