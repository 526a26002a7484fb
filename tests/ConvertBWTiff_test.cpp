#include "ITiffIO.h"
#include "TestSupport.h"
#include "TiffBuilder.h"
#include "TiffTestTools.h"
#include "quorvel.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/stat.h>

namespace {

// A TIFF made by ImageMagick from raw 8-bit samples ("gray" or "rgb") and
// then rewritten by tiffcp with `tiffcpOptions` (compression, byte order).
// imOptions shape the picture (bit depth, photometric, palette).
std::string MakeSource(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& raw,
                       uint32_t w, uint32_t h, const std::string& kind, const std::string& imOptions,
                       const std::string& tiffcpOptions)
{
    const std::string rawPath = dir.File(name + ".raw"), tmp = dir.File(name + ".im.tif"),
                      out = dir.File(name);
    EXPECT_TRUE(WriteFileBytes(rawPath, raw));
    const CommandResult im = RunCommand("convert -size " + std::to_string(w) + "x" + std::to_string(h) +
                                        " -depth 8 " + kind + ":" + ShellQuote(rawPath) + " " + imOptions +
                                        " " + ShellQuote(tmp));
    EXPECT_EQ(im.status, 0) << im.err;
    const CommandResult cp = RunCommand("tiffcp " + tiffcpOptions + " " + ShellQuote(tmp) + " " + ShellQuote(out));
    EXPECT_EQ(cp.status, 0) << cp.err;
    std::remove(rawPath.c_str());
    std::remove(tmp.c_str());
    return out;
}

// A bilevel picture: 0 black, 255 white.
const uint32_t kBw = 11, kBh = 5;
std::vector<uint8_t> BilevelRaw()
{
    std::vector<uint8_t> raw(kBw * kBh, 255);
    for (uint32_t i = 0; i < raw.size(); ++i)
        if (i % 3 == 0 || i % 7 == 1)
            raw[i] = 0;
    return raw;
}

std::vector<std::string> Listing(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d ? readdir(d) : nullptr) {
        const std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    if (d)
        closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

struct Readback {
    int ok = 0;
    int32_t colorMode = 0, compression = 0, bits = 0;
    int intel = -1;
    int32_t greyPhotometric = 2;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> palette;  // blue, green, red, 0 per entry
    std::vector<uint8_t> planes[3];
};

// Reads a converted file back through our own reader.
Readback ReadBack(const std::string& path)
{
    Readback r;
    CTiffIo io(path.c_str());
    if (!io.m_file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite) || !io.ReadHeader())
        return r;
    r.colorMode = io.m_nColorMode;
    r.compression = io.m_nCompression;
    r.bits = io.m_nBitsPerSample;
    r.intel = io.m_bIntel;
    r.greyPhotometric = io.m_nGreyPhotometric;
    r.width = io.m_nWidth;
    r.height = io.m_nHeight;
    if (io.m_pPalette != nullptr)
        r.palette.assign(io.m_pPalette, io.m_pPalette + 4 * io.m_nPaletteSize);
    io.m_nRowBytes = static_cast<int32_t>(io.m_nWidth);
    for (int p = 0; p < 3; ++p) {
        r.planes[p].assign(static_cast<size_t>(io.m_nWidth) * io.m_nHeight, 0);
        io.m_nPlaneKind[p] = 1;
        io.m_pPlane[p] = r.planes[p].data();
    }
    r.ok = io.ReadFullImage();
    return r;
}

void ExpectClean(const std::string& path)
{
    const CommandResult info = RunCommand("tiffinfo -D " + ShellQuote(path));
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.err, "") << path;
}

}  // namespace

// Black pixels of a bilevel picture take the colour; white pixels stay white,
// whatever the photometric interpretation, compression and byte order.
TEST(ConvertBWTiff, ColorizesBilevelPictures)
{
    TempDir dir;
    const std::vector<uint8_t> raw = BilevelRaw();
    struct Case {
        const char* polarity;
        const char* tiffcp;
        int32_t compression;
        int intel;
    } cases[] = {
        {"min-is-white", "-c none -L", TIFF_COMPRESSION_NONE, 1},
        {"min-is-black", "-c none -L", TIFF_COMPRESSION_NONE, 1},
        {"min-is-white", "-c packbits -B", TIFF_COMPRESSION_PACKBITS, 0},
        {"min-is-black", "-c lzw -B", TIFF_COMPRESSION_LZW, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "bw" + std::to_string(n++) + ".tif";
        const std::string src = MakeSource(dir, name, raw, kBw, kBh, "gray",
                                           std::string("-depth 1 -define quantum:polarity=") + c.polarity,
                                           c.tiffcp);
        const std::string dst = dir.File("out-" + name);
        ASSERT_EQ(ConvertBWTiff(src.c_str(), dst.c_str(), 0x0000FF), 1) << name;
        ExpectClean(dst);
        const std::vector<uint8_t> rgb = MagickRgb(dst);
        ASSERT_EQ(rgb.size(), raw.size() * 3);
        for (size_t i = 0; i < raw.size(); ++i) {
            const std::vector<uint8_t> px(rgb.begin() + 3 * i, rgb.begin() + 3 * i + 3);
            EXPECT_EQ(px, raw[i] ? (std::vector<uint8_t>{255, 255, 255}) : (std::vector<uint8_t>{255, 0, 0}))
                << name << " pixel " << i;
        }
        const Readback back = ReadBack(dst);
        ASSERT_EQ(back.ok, 1);
        EXPECT_EQ(back.colorMode, COLOR_RGB);
        EXPECT_EQ(back.bits, 8);
        EXPECT_EQ(back.compression, c.compression);
        EXPECT_EQ(back.intel, c.intel);
        for (size_t i = 0; i < raw.size(); ++i)
            ASSERT_EQ(back.planes[1][i], raw[i] ? 255 : 0) << name;
    }
    EXPECT_EQ(Listing(dir.path()).size(), 2 * std::size(cases));  // no temporary files
}

// Colour pictures reduce to black and white by green > 128; the result is
// bilevel, uncompressed and big-endian whatever the source was.
TEST(ConvertBWTiff, ReducesRgbAndPalettePictures)
{
    TempDir dir;
    // (200, 129, 0) white, (255, 128, 255) black, then a spread of greens.
    std::vector<uint8_t> raw = {200, 129, 0, 255, 128, 255};
    for (int i = 0; i < 22; ++i) {
        raw.push_back(static_cast<uint8_t>(i * 11));
        raw.push_back(static_cast<uint8_t>(i * 12 + 1));
        raw.push_back(static_cast<uint8_t>(255 - i * 7));
    }
    const uint32_t w = 8, h = 3;
    for (const char* opts : {"-c none -L", "-c packbits -B", "-c lzw:2 -L"}) {
        const std::string src = MakeSource(dir, "rgb.tif", raw, w, h, "rgb", "-type TrueColor", opts);
        const std::string dst = dir.File("rgb-bw.tif");
        ASSERT_EQ(ConvertBWTiff(src.c_str(), dst.c_str(), 0), 1) << opts;
        ExpectClean(dst);
        const CommandResult info = RunCommand("tiffinfo " + ShellQuote(dst));
        EXPECT_NE(info.out.find("Bits/Sample: 1"), std::string::npos);
        EXPECT_NE(info.out.find("Compression Scheme: None"), std::string::npos);
        EXPECT_EQ(ReadFileBytes(dst)[0], 'M');
        const std::vector<uint8_t> rgb = MagickRgb(dst);
        ASSERT_EQ(rgb.size(), raw.size());
        for (size_t i = 0; i < w * h; ++i)
            EXPECT_EQ(rgb[3 * i], raw[3 * i + 1] > 128 ? 255 : 0) << opts << " pixel " << i;
        const Readback back = ReadBack(dst);
        ASSERT_EQ(back.ok, 1);
        EXPECT_EQ(back.colorMode, COLOR_BILEVEL);
        EXPECT_EQ(back.planes[0][0], 1);
        EXPECT_EQ(back.planes[0][1], 0);
    }
    // A palette picture made by ImageMagick, in both byte orders.
    for (const char* opts : {"-c none -L", "-c lzw -B"}) {
        const std::string src = MakeSource(dir, "pal.tif", raw, w, h, "rgb", "-type Palette", opts);
        const std::string dst = dir.File("pal-bw.tif");
        ASSERT_EQ(ConvertBWTiff(src.c_str(), dst.c_str(), 0), 1);
        ExpectClean(dst);
        const std::vector<uint8_t> rgb = MagickRgb(dst);
        ASSERT_EQ(rgb.size(), raw.size());
        for (size_t i = 0; i < w * h; ++i)
            EXPECT_EQ(rgb[3 * i], raw[3 * i + 1] > 128 ? 255 : 0) << opts << " pixel " << i;
    }
    EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"pal-bw.tif", "pal.tif", "rgb-bw.tif", "rgb.tif"}));
}

namespace {
// A little-endian, uncompressed, single-strip TIFF built by hand, for what
// the tools will not make: short colour maps, CCITT compression headers.
std::vector<uint8_t> HandTiff(uint32_t w, uint32_t h, uint32_t bits, uint32_t spp, uint32_t photometric,
                              uint32_t compression, const std::vector<uint8_t>& strip,
                              const std::vector<uint16_t>& colourMap = {})
{
    TiffBuilder b(true);
    const uint32_t stripAt = b.Blob(strip);
    uint32_t mapAt = 0;
    if (!colourMap.empty())
        mapAt = b.Shorts(std::vector<uint32_t>(colourMap.begin(), colourMap.end()));
    b.Long(TIFF_TAG_IMAGE_WIDTH, w);
    b.Long(TIFF_TAG_IMAGE_LENGTH, h);
    b.Short(TIFF_TAG_BITS_PER_SAMPLE, bits);
    b.Short(TIFF_TAG_COMPRESSION, compression);
    b.Short(TIFF_TAG_PHOTOMETRIC, photometric);
    b.Long(TIFF_TAG_STRIP_OFFSETS, stripAt);
    b.Short(TIFF_TAG_SAMPLES_PER_PIXEL, spp);
    b.Long(TIFF_TAG_ROWS_PER_STRIP, h);
    b.Long(TIFF_TAG_STRIP_BYTE_COUNTS, static_cast<uint32_t>(strip.size()));
    if (!colourMap.empty())
        b.Entry(TIFF_TAG_COLOR_MAP, TIFF_TYPE_SHORT, static_cast<uint32_t>(colourMap.size()), mapAt);
    return b.Build();
}
}  // namespace

// Palette entries decide by their green component; indices past the colour
// map are black.
TEST(ConvertBWTiff, PaletteEntriesAndIndicesPastThePalette)
{
    TempDir dir;
    std::vector<uint16_t> map(3 * 7, 0);  // 7 entries: red, green, blue
    map[5] = 10 << 8, map[7 + 5] = 200 << 8, map[14 + 5] = 10 << 8;
    map[6] = 250 << 8, map[7 + 6] = 100 << 8, map[14 + 6] = 250 << 8;
    map[7 + 2] = 255 << 8;  // entry 2 white-ish green
    const std::vector<uint8_t> pixels = {5, 6, 2, 9, 200, 5};
    const std::string src = dir.File("idx.tif"), dst = dir.File("idx-bw.tif");
    ASSERT_TRUE(WriteFileBytes(src, HandTiff(6, 1, 8, 1, 3, 1, pixels, map)));
    ASSERT_EQ(ConvertBWTiff(src.c_str(), dst.c_str(), 0), 1);
    ExpectClean(dst);
    const std::vector<uint8_t> rgb = MagickRgb(dst);
    ASSERT_EQ(rgb.size(), 18u);
    const uint8_t expected[6] = {255, 0, 255, 0, 0, 255};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(rgb[3 * i], expected[i]) << i;

    // With a colour, indices are compared with 2: index 2 is white.
    const std::string col = dir.File("idx-col.tif");
    ASSERT_EQ(ConvertBWTiff(src.c_str(), col.c_str(), 0x00FF00), 1);
    const std::vector<uint8_t> c = MagickRgb(col);
    ASSERT_EQ(c.size(), 18u);
    EXPECT_EQ((std::vector<uint8_t>(c.begin(), c.begin() + 3)), (std::vector<uint8_t>{0, 255, 0}));
    EXPECT_EQ((std::vector<uint8_t>(c.begin() + 6, c.begin() + 9)), (std::vector<uint8_t>{255, 255, 255}));
}

// An RGB file whose colour map has a single entry gets a fresh two-entry
// palette for its black-and-white result; sizes whose planes would pass
// 32 bits are refused before anything is allocated.
TEST(ConvertBWTiff, OddHeadersAreHandledSafely)
{
    TempDir dir;
    const std::vector<uint8_t> pixels = {10, 200, 10, 200, 100, 200};
    const std::string src = dir.File("rgbmap.tif"), dst = dir.File("out.tif");
    ASSERT_TRUE(WriteFileBytes(src, HandTiff(2, 1, 8, 3, 2, 1, pixels, {0xFFFF, 0xFFFF, 0xFFFF})));
    ASSERT_EQ(ConvertBWTiff(src.c_str(), dst.c_str(), 0), 1);
    ExpectClean(dst);
    EXPECT_EQ(MagickRgb(dst), (std::vector<uint8_t>{255, 255, 255, 0, 0, 0}));

    const std::string huge = dir.File("huge.tif");
    ASSERT_TRUE(WriteFileBytes(huge, HandTiff(70000, 70000, 8, 3, 2, 1, {1, 2, 3})));
    EXPECT_EQ(ConvertBWTiff(huge.c_str(), dir.File("huge-out.tif").c_str(), 0xFF), 0);
    EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"huge.tif", "out.tif", "rgbmap.tif"}));
}

TEST(ConvertBWTiff, RgbWithAColourKeepsOnlyRedTwoWhite)
{
    TempDir dir;
    const std::vector<uint8_t> raw = {2, 50, 60, 3, 255, 255, 255, 255, 255, 2, 0, 0};
    const std::string src = MakeSource(dir, "rgb.tif", raw, 4, 1, "rgb", "-type TrueColor", "-c none -B");
    const std::string dst = dir.File("out.tif");
    ASSERT_EQ(ConvertBWTiff(src.c_str(), dst.c_str(), 0x102030), 1);
    EXPECT_EQ(ReadFileBytes(dst)[0], 'M');
    const std::vector<uint8_t> rgb = MagickRgb(dst);
    EXPECT_EQ(rgb, (std::vector<uint8_t>{255, 255, 255, 0x30, 0x20, 0x10, 0x30, 0x20, 0x10, 255, 255, 255}));
}

// Every refusal leaves an existing destination byte for byte and creates
// none where there was none; no temporary file is left behind.
TEST(ConvertBWTiff, RefusalsLeaveTheDestinationAlone)
{
    TempDir dir;
    const std::string bw = MakeSource(dir, "bw.tif", BilevelRaw(), kBw, kBh, "gray", "-depth 1", "-c none");
    std::vector<uint8_t> greyRaw(16 * 4);
    for (size_t i = 0; i < greyRaw.size(); ++i)
        greyRaw[i] = static_cast<uint8_t>(i * 4);
    const std::string grey = MakeSource(dir, "grey.tif", greyRaw, 16, 4, "gray", "-type Grayscale", "-c none");
    const std::string cmyk = MakeSource(dir, "cmyk.tif", std::vector<uint8_t>(4 * 4 * 3, 90), 4, 4, "rgb",
                                        "-colorspace CMYK", "-c none");
    const std::string ccitt = dir.File("ccitt.tif");
    ASSERT_TRUE(WriteFileBytes(ccitt, HandTiff(8, 2, 1, 1, 0, 2, {0x00, 0x00, 0x00, 0x00})));
    // BlackIsZero CCITT: white runs read as 0 bits, which this file shows
    // black; the writer has no CCITT, so the conversion is refused as well.
    const std::string ccittBlackIsZero = dir.File("ccitt-biz.tif");
    ASSERT_TRUE(WriteFileBytes(ccittBlackIsZero, HandTiff(8, 2, 1, 1, 1, 2, {0x00, 0x00, 0x00, 0x00})));
    const std::string notTiff = dir.File("text.tif");
    ASSERT_TRUE(WriteFileBytes(notTiff, {'h', 'e', 'l', 'l', 'o'}));

    const std::string dst = dir.File("keep.tif");
    const std::vector<uint8_t> precious = {'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'};
    struct Case {
        std::string src;
        uint32_t colour;
    } cases[] = {{bw, 0}, {grey, 0xFF}, {grey, 0}, {cmyk, 0xFF}, {cmyk, 0}, {ccitt, 0xFF}, {ccittBlackIsZero, 0xFF},
                 {notTiff, 0xFF}, {dir.File("missing.tif"), 0xFF}};
    const std::vector<std::string> before = Listing(dir.path());
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(dst, precious));
        EXPECT_EQ(ConvertBWTiff(c.src.c_str(), dst.c_str(), c.colour), 0) << c.src;
        EXPECT_EQ(ReadFileBytes(dst), precious) << c.src;
        std::remove(dst.c_str());
        EXPECT_EQ(ConvertBWTiff(c.src.c_str(), dst.c_str(), c.colour), 0) << c.src;
        struct stat st;
        EXPECT_NE(stat(dst.c_str(), &st), 0) << "destination created for " << c.src;
    }
    EXPECT_EQ(Listing(dir.path()), before);

    // Destinations that cannot be written.
    EXPECT_EQ(ConvertBWTiff(bw.c_str(), dir.File("no/such/dir/out.tif").c_str(), 0xFF), 0);
    const std::string sub = dir.File("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    EXPECT_EQ(ConvertBWTiff(bw.c_str(), sub.c_str(), 0xFF), 0);
    EXPECT_TRUE(Listing(sub).empty());
    EXPECT_EQ(ConvertBWTiff(nullptr, dst.c_str(), 0xFF), 0);
    EXPECT_EQ(ConvertBWTiff(bw.c_str(), nullptr, 0xFF), 0);
    EXPECT_EQ(ConvertBWTiff(bw.c_str(), "", 0xFF), 0);
}

// A file converted onto itself is replaced by the result; the replacement
// keeps the permissions of the file it replaces.
TEST(ConvertBWTiff, ConvertsAFileOntoItself)
{
    TempDir dir;
    std::vector<uint8_t> raw(6 * 2 * 3);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint8_t>(i * 7);
    const std::string path = MakeSource(dir, "self.tif", raw, 6, 2, "rgb", "-type TrueColor", "-c lzw -L");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(ConvertBWTiff(path.c_str(), path.c_str(), 0), 1);
    ExpectClean(path);
    const std::vector<uint8_t> rgb = MagickRgb(path);
    ASSERT_EQ(rgb.size(), raw.size());
    for (size_t i = 0; i < 12; ++i)
        EXPECT_EQ(rgb[3 * i], raw[3 * i + 1] > 128 ? 255 : 0) << i;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"self.tif"}));
    // Now bilevel: reducing it again is refused and leaves it as it is.
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    EXPECT_EQ(ConvertBWTiff(path.c_str(), path.c_str(), 0), 0);
    EXPECT_EQ(ReadFileBytes(path), bytes);
    // Colouring it back works in place too.
    ASSERT_EQ(ConvertBWTiff(path.c_str(), path.c_str(), 0x0000FF), 1);
    EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"self.tif"}));
}

TEST(ConvertBWTiff, CommandLineConvert)
{
    TempDir dir;
    const std::string src = MakeSource(dir, "bw.tif", BilevelRaw(), kBw, kBh, "gray", "-depth 1", "-c none");
    const std::string dst = dir.File("red.tif");
    const std::string cli = QUORVEL_CLI;
    CommandResult r = RunCommand(ShellQuote(cli) + " convert --colour ff0000 " + ShellQuote(src) + " " + ShellQuote(dst));
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> rgb = MagickRgb(dst);
    ASSERT_EQ(rgb.size(), kBw * kBh * 3);
    EXPECT_EQ((std::vector<uint8_t>(rgb.begin(), rgb.begin() + 3)), (std::vector<uint8_t>{255, 0, 0}));
    r = RunCommand(ShellQuote(cli) + " convert " + ShellQuote(src) + " " + ShellQuote(dir.File("x.tif")));
    EXPECT_EQ(r.status, 1);
    r = RunCommand(ShellQuote(cli) + " convert --colour 000000 " + ShellQuote(src) + " " + ShellQuote(dst));
    EXPECT_EQ(r.status, 2);
    r = RunCommand(ShellQuote(cli) + " convert --colour zz " + ShellQuote(src) + " " + ShellQuote(dst));
    EXPECT_EQ(r.status, 2);
}

// Whichever allocation fails, the call returns 0, the destination is kept
// and no temporary file is left (leaks are caught by the sanitizer build).
TEST(ConvertBWTiff, AllocationFailuresKeepTheDestination)
{
    TempDir dir;
    std::vector<uint8_t> raw(20 * 6 * 3);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint8_t>(i * 5);
    const std::string rgbLzw = MakeSource(dir, "rgb.tif", raw, 20, 6, "rgb", "-type TrueColor", "-c lzw:2");
    const std::string bwPack = MakeSource(dir, "bw.tif", BilevelRaw(), kBw, kBh, "gray", "-depth 1", "-c packbits");
    const std::string dst = dir.File("keep.tif");
    const std::vector<uint8_t> precious = {'k', 'e', 'e', 'p'};
    for (const auto& [src, colour] : {std::pair<std::string, uint32_t>{rgbLzw, 0}, {rgbLzw, 0xFF0000},
                                      {bwPack, 0x00FF00}}) {
        int succeeded = 0;
        for (int n = 0; n < 16; ++n) {
            ASSERT_TRUE(WriteFileBytes(dst, precious));
            int r;
            {
                FailNthAllocation failing(n);
                r = ConvertBWTiff(src.c_str(), dst.c_str(), colour);
            }
            if (r == 0) {
                EXPECT_EQ(ReadFileBytes(dst), precious) << src << " failing allocation " << n;
            }
            succeeded += r;
            EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"bw.tif", "keep.tif", "rgb.tif"}));
        }
        EXPECT_GT(succeeded, 0);
    }
}

// A write error part way (here the file size limit standing in for a full
// disk) fails the call and leaves the destination as it was.
TEST(ConvertBWTiff, WriteErrorsKeepTheDestination)
{
    TempDir dir;
    std::vector<uint8_t> raw(200 * 100 * 3);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint8_t>(i * 13 + i / 600);
    const std::string src = MakeSource(dir, "rgb.tif", raw, 200, 100, "rgb", "-type TrueColor", "-c none");
    const std::string dst = dir.File("keep.tif");
    const std::vector<uint8_t> precious(100, 'k');
    ASSERT_TRUE(WriteFileBytes(dst, precious));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The source is 60 KB; the coloured copy would be as large.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {20000, 20000};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(ConvertBWTiff(src.c_str(), dst.c_str(), 0x123456) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the conversion should have failed";
    EXPECT_EQ(ReadFileBytes(dst), precious);
    EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"keep.tif", "rgb.tif"}));
    // Without the limit the same conversion succeeds.
    EXPECT_EQ(ConvertBWTiff(src.c_str(), dst.c_str(), 0x123456), 1);
    EXPECT_GT(ReadFileBytes(dst).size(), 60000u);
}

// Every reader fixture: the conversions that are accepted give the pixels
// expected from the source as our reader sees it, clean for libtiff; the
// others are refused.
TEST(ConvertBWTiff, EveryReaderFixture)
{
    TempDir dir;
    int converted = 0;
    for (const std::string& name : Listing(QUORVEL_TEST_DATA)) {
        if (name.rfind("tiff_", 0) != 0 || name.size() < 4 || name.substr(name.size() - 4) != ".tif")
            continue;
        const std::string src = TestData(name);
        const Readback source = ReadBack(src);
        for (uint32_t colour : {0u, 0x336699u}) {
            const std::string dst = dir.File("out.tif");
            const int r = ConvertBWTiff(src.c_str(), dst.c_str(), colour);
            const bool accepted = (source.colorMode == COLOR_BILEVEL && colour != 0) ||
                                  source.colorMode == COLOR_RGB || source.colorMode == COLOR_INDEXED;
            const bool ccitt = source.compression == 2;
            EXPECT_EQ(r, accepted && !ccitt && source.ok ? 1 : 0) << name << " colour " << colour;
            if (r == 0) {
                EXPECT_TRUE(Listing(dir.path()).empty()) << name;
                continue;
            }
            ++converted;
            ExpectClean(dst);
            const std::vector<uint8_t> rgb = MagickRgb(dst);
            const size_t n = static_cast<size_t>(source.width) * source.height;
            ASSERT_EQ(rgb.size(), 3 * n) << name;
            for (size_t i = 0; i < n; ++i) {
                const uint8_t v = source.planes[0][i];
                uint8_t want[3];
                if (colour != 0) {
                    const bool white = v == source.greyPhotometric;
                    want[0] = white ? 255 : 0x99;
                    want[1] = white ? 255 : 0x66;
                    want[2] = white ? 255 : 0x33;
                } else {
                    const uint8_t green = source.colorMode == COLOR_RGB
                                              ? source.planes[1][i]
                                              : (4u * v + 1 < source.palette.size() ? source.palette[4 * v + 1] : 0);
                    want[0] = want[1] = want[2] = green > 128 ? 255 : 0;
                }
                ASSERT_EQ(rgb[3 * i], want[0]) << name << " colour " << colour << " pixel " << i;
                ASSERT_EQ(rgb[3 * i + 1], want[1]) << name << " colour " << colour << " pixel " << i;
                ASSERT_EQ(rgb[3 * i + 2], want[2]) << name << " colour " << colour << " pixel " << i;
            }
            std::remove(dst.c_str());
        }
    }
    EXPECT_GT(converted, 20);
}

namespace {

// A conversion needs every row: a full read whose strips are not all in the
// file fails instead of passing blank rows off as picture, and a tiny file
// that declares a huge picture is refused before memory is asked for it.
TEST(ConvertBWTiff, SourcesMissingRowsAreNotConverted)
{
    const std::string path = TestData("tiff_rgb8_none_le.tif");
    for (bool lose : {false, true}) {
        CTiffIo io(path.c_str());
        ASSERT_TRUE(io.m_file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite));
        ASSERT_EQ(io.ReadHeader(), 1);
        ASSERT_GT(io.m_nStrips, 1u);
        if (lose)
            io.m_pStripOffsets[io.m_nStrips - 1] = 0x7FFFFFF0;  // the last strip lies past the end
        std::vector<unsigned char> planes(3 * static_cast<size_t>(io.m_nWidth) * io.m_nHeight);
        io.m_nRowBytes = static_cast<int32_t>(io.m_nWidth);
        for (int i = 0; i < 3; ++i) {
            io.m_nPlaneKind[i] = 1;
            io.m_pPlane[i] = planes.data() + static_cast<size_t>(i) * io.m_nWidth * io.m_nHeight;
        }
        EXPECT_EQ(io.ReadFullImage(), lose ? 0 : 1);
    }

    TempDir dir;
    const std::string dst = dir.File("out.tif");
    const std::vector<uint8_t> precious = {'o', 'l', 'd'};
    ASSERT_TRUE(WriteFileBytes(dst, precious));
    FakeMemory memory(24 * 1024 * MiB, 24 * 1024 * MiB);
    const std::string huge = TestData("tiff_damaged_huge_image.tif");
    EXPECT_EQ(ConvertBWTiff(huge.c_str(), dst.c_str(), 0xFF0000), 0);
    EXPECT_EQ(ConvertBWTiff(huge.c_str(), dst.c_str(), 0), 0);
    for (size_t request : FakeMemory::requests)
        EXPECT_LT(request, 1 * MiB);
    EXPECT_EQ(ReadFileBytes(dst), precious);
}

}  // namespace
