#include "ITiffIO.h"
#include "ByteOrder.h"
#include "TestSupport.h"
#include "TiffTestTools.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>

namespace {

// A parsed directory entry, its value field kept as raw bytes.
struct Entry {
    uint16_t tag, type;
    uint32_t count;
    uint8_t raw[4];
};

struct ParsedTiff {
    bool intel = true;
    uint32_t ifdOffset = 0;
    std::vector<Entry> entries;
    std::vector<uint8_t> bytes;

    uint32_t U16(size_t at) const { return Load16(bytes.data() + at, !intel); }
    uint32_t U32(size_t at) const { return Load32(bytes.data() + at, !intel); }
    const Entry* Find(uint16_t tag) const
    {
        for (auto& e : entries)
            if (e.tag == tag)
                return &e;
        return nullptr;
    }
    // The entry value: a SHORT with count 1 from the first two bytes.
    uint32_t Value(uint16_t tag) const
    {
        const Entry* e = Find(tag);
        if (e == nullptr)
            return UINT32_MAX;
        if (e->type == TIFF_TYPE_SHORT && e->count == 1)
            return Load16(e->raw, !intel);
        return Load32(e->raw, !intel);
    }
    std::vector<uint16_t> Tags() const
    {
        std::vector<uint16_t> t;
        for (auto& e : entries)
            t.push_back(e.tag);
        return t;
    }
};

ParsedTiff Parse(const std::string& path)
{
    ParsedTiff t;
    t.bytes = ReadFileBytes(path);
    if (t.bytes.size() < 8)
        return t;
    t.intel = t.bytes[0] == 'I';
    t.ifdOffset = t.U32(4);
    if (t.ifdOffset + 2 > t.bytes.size())
        return t;
    const uint32_t n = t.U16(t.ifdOffset);
    for (uint32_t i = 0; i < n; ++i) {
        const size_t e = t.ifdOffset + 2 + 12 * i;
        if (e + 12 > t.bytes.size())
            break;
        Entry entry{static_cast<uint16_t>(t.U16(e)), static_cast<uint16_t>(t.U16(e + 2)), t.U32(e + 4), {}};
        std::copy(t.bytes.begin() + e + 8, t.bytes.begin() + e + 12, entry.raw);
        t.entries.push_back(entry);
    }
    return t;
}

// An object holding `spp` planes of w x h pixels, spaced w + pad apart.
struct WriterSetup {
    CTiffIo io{"unused.tif"};
    std::vector<std::vector<uint8_t>> planes;

    WriterSetup(uint32_t w, uint32_t h, uint16_t spp, int32_t mode, int32_t compression, int intel,
                uint32_t pad = 0, unsigned seed = 1)
    {
        io.m_nWidth = w;
        io.m_nHeight = h;
        io.m_nSamplesPerPixel = spp;
        io.m_nChannels = spp;
        io.m_nColorMode = mode;
        io.m_nCompression = compression;
        io.m_bIntel = intel;
        io.m_nBitsPerSample = 8;
        io.m_nRowBytes = static_cast<int32_t>(w + pad);
        io.m_fXRes = io.m_fYRes = 300.0f;
        std::mt19937 gen(seed);
        planes.resize(spp);
        for (uint16_t p = 0; p < spp; ++p) {
            planes[p].resize(static_cast<size_t>(w + pad) * h);
            for (auto& b : planes[p])
                b = static_cast<uint8_t>(gen() % 7 == 0 ? gen() : 40 * p);  // runs and noise
            io.m_nPlaneKind[p] = 1;
            io.m_pPlane[p] = planes[p].data();
        }
    }
    void BlackWhitePalette()
    {
        io.m_pPalette = static_cast<unsigned char*>(ImageAlloc(8, 0));
        io.m_pPalette[4] = io.m_pPalette[5] = io.m_pPalette[6] = 255;
        io.m_nPaletteSize = 2;
    }
    int Write(const std::string& path)
    {
        if (!io.m_file.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive))
            return -1;
        const int r = io.WriteImage();
        io.m_file.Close();
        return r;
    }
    // Interleaved 8-bit samples of the picture, as an RGB decoder shows them.
    uint8_t Sample(uint32_t x, uint32_t y, uint32_t p) const
    {
        return planes[p][static_cast<size_t>(y) * io.m_nRowBytes + x];
    }
};

void ExpectLibtiffClean(const std::string& path)
{
    const CommandResult info = RunCommand("tiffinfo -D " + ShellQuote(path));
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.err, "") << path;
    const CommandResult dump = RunCommand("tiffdump " + ShellQuote(path));
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(dump.err, "");
}

// The RGB pixels ImageMagick decodes equal the planes.
void ExpectRgbPixels(const std::string& path, const WriterSetup& s)
{
    const std::vector<uint8_t> rgb = MagickRgb(path);
    const uint32_t w = s.io.m_nWidth, h = s.io.m_nHeight;
    ASSERT_EQ(rgb.size(), static_cast<size_t>(w) * h * 3) << path;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (uint32_t p = 0; p < 3; ++p)
                ASSERT_EQ(rgb[(static_cast<size_t>(y) * w + x) * 3 + p], s.Sample(x, y, p))
                    << path << " at " << x << "," << y << " sample " << p;
}

// Our own reader gives back the planes that were written.
void ExpectOwnReaderPixels(const std::string& path, const WriterSetup& s)
{
    CTiffIo io(path.c_str());
    ASSERT_TRUE(io.m_file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite));
    ASSERT_EQ(io.ReadHeader(), 1) << path;
    ASSERT_EQ(io.m_nWidth, s.io.m_nWidth);
    ASSERT_EQ(io.m_nHeight, s.io.m_nHeight);
    const uint32_t w = io.m_nWidth, h = io.m_nHeight, channels = io.m_nChannels;
    ASSERT_GE(channels, 1u);
    ASSERT_LE(channels, 4u);
    std::vector<std::vector<uint8_t>> planes(channels, std::vector<uint8_t>(static_cast<size_t>(w) * h));
    io.m_nRowBytes = static_cast<int32_t>(w);
    for (uint32_t p = 0; p < channels; ++p) {
        io.m_nPlaneKind[p] = 1;
        io.m_pPlane[p] = planes[p].data();
    }
    ASSERT_EQ(io.ReadFullImage(), 1) << path;
    for (uint32_t p = 0; p < channels; ++p)
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                const uint8_t want = s.io.m_nColorMode == COLOR_BILEVEL ? (s.Sample(x, y, p) != 0) : s.Sample(x, y, p);
                ASSERT_EQ(planes[p][static_cast<size_t>(y) * w + x], want)
                    << path << " at " << x << "," << y << " plane " << p;
            }
}

}  // namespace

TEST(TiffWriter, UncompressedRgbLayoutInBothByteOrders)
{
    TempDir dir;
    for (int intel : {1, 0}) {
        WriterSetup s(100, 50, 3, COLOR_RGB, TIFF_COMPRESSION_NONE, intel, 0);
        const std::string path = dir.File(intel ? "ii.tif" : "mm.tif");
        ASSERT_EQ(s.Write(path), 1);
        const ParsedTiff t = Parse(path);
        ASSERT_EQ(t.bytes.size(), 15192u);
        EXPECT_EQ(t.bytes[0], intel ? 'I' : 'M');
        EXPECT_EQ(t.bytes[1], intel ? 'I' : 'M');
        EXPECT_EQ(t.U16(2), 42u);
        EXPECT_EQ(t.ifdOffset, 15030u);
        EXPECT_EQ(t.Tags(), (std::vector<uint16_t>{256, 257, 258, 259, 262, 273, 277, 278, 279, 282,
                                                   283, 284, 296}));
        EXPECT_EQ(t.Value(TIFF_TAG_IMAGE_WIDTH), 100u);
        EXPECT_EQ(t.Value(TIFF_TAG_IMAGE_LENGTH), 50u);
        EXPECT_EQ(t.Find(TIFF_TAG_BITS_PER_SAMPLE)->count, 3u);
        EXPECT_EQ(t.Value(TIFF_TAG_BITS_PER_SAMPLE), 15008u);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(t.U16(15008 + 2 * i), 8u);
        EXPECT_EQ(t.Value(TIFF_TAG_COMPRESSION), 1u);
        EXPECT_EQ(t.Value(TIFF_TAG_PHOTOMETRIC), 2u);
        EXPECT_EQ(t.Value(TIFF_TAG_STRIP_OFFSETS), 8u);
        EXPECT_EQ(t.Value(TIFF_TAG_SAMPLES_PER_PIXEL), 3u);
        EXPECT_EQ(t.Value(TIFF_TAG_ROWS_PER_STRIP), 50u);
        EXPECT_EQ(t.Value(TIFF_TAG_STRIP_BYTE_COUNTS), 15000u);
        EXPECT_EQ(t.Value(TIFF_TAG_X_RESOLUTION), 15014u);
        EXPECT_EQ(t.Value(TIFF_TAG_Y_RESOLUTION), 15022u);
        EXPECT_EQ(t.U32(15014), 300u);
        EXPECT_EQ(t.U32(15018), 1u);
        EXPECT_EQ(t.Value(TIFF_TAG_PLANAR_CONFIGURATION), 1u);
        EXPECT_EQ(t.Value(TIFF_TAG_RESOLUTION_UNIT), 2u);
        // A SHORT leaves the second half of its value field zero.
        EXPECT_EQ(t.Find(TIFF_TAG_COMPRESSION)->raw[2], 0);
        EXPECT_EQ(t.Find(TIFF_TAG_COMPRESSION)->raw[3], 0);
        EXPECT_EQ(t.U32(15030 + 2 + 13 * 12), 0u);  // no next directory
        // The strip holds the interleaved samples.
        EXPECT_EQ(t.bytes[8 + (7 * 100 + 9) * 3 + 2], s.Sample(9, 7, 2));
        ExpectLibtiffClean(path);
        ExpectRgbPixels(path, s);
        ExpectOwnReaderPixels(path, s);
    }
}

TEST(TiffWriter, BilevelIsBigEndianUncompressedWithItsColourMap)
{
    TempDir dir;
    WriterSetup s(9, 3, 1, COLOR_BILEVEL, TIFF_COMPRESSION_PACKBITS, 1);
    s.BlackWhitePalette();
    const uint8_t row[9] = {1, 0, 0, 0, 0, 0, 0, 1, 1};
    for (uint32_t y = 0; y < 3; ++y)
        std::copy(row, row + 9, s.planes[0].begin() + 9 * y);
    s.io.m_fXRes = 72.9f;
    s.io.m_fYRes = 200.0f;
    const std::string path = dir.File("bw.tif");
    ASSERT_EQ(s.Write(path), 1);
    const ParsedTiff t = Parse(path);
    EXPECT_FALSE(t.intel);
    EXPECT_EQ(t.bytes[0], 'M');
    // Colour map: red 0, 0xFF00; green 0, 0xFF00; blue 0, 0xFF00.
    const std::vector<uint8_t> map(t.bytes.begin() + 8, t.bytes.begin() + 20);
    EXPECT_EQ(map, (std::vector<uint8_t>{0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0}));
    EXPECT_EQ(t.Value(TIFF_TAG_STRIP_OFFSETS), 20u);
    EXPECT_EQ(t.Value(TIFF_TAG_STRIP_BYTE_COUNTS), 6u);
    EXPECT_EQ(t.bytes[20], 0x81);
    EXPECT_EQ(t.bytes[21], 0x80);
    EXPECT_EQ(t.Value(TIFF_TAG_BITS_PER_SAMPLE), 1u);
    EXPECT_EQ(t.Value(TIFF_TAG_COMPRESSION), 1u);
    EXPECT_EQ(t.Value(TIFF_TAG_PHOTOMETRIC), 1u);
    ASSERT_NE(t.Find(TIFF_TAG_COLOR_MAP), nullptr);
    EXPECT_EQ(t.Find(TIFF_TAG_COLOR_MAP)->count, 6u);
    EXPECT_EQ(t.Value(TIFF_TAG_COLOR_MAP), 8u);
    EXPECT_EQ(t.Tags().back(), 320);
    EXPECT_EQ(t.U32(t.Value(TIFF_TAG_X_RESOLUTION)), 72u);
    EXPECT_EQ(t.U32(t.Value(TIFF_TAG_X_RESOLUTION) + 4), 1u);
    EXPECT_EQ(t.U32(t.Value(TIFF_TAG_Y_RESOLUTION)), 200u);
    EXPECT_EQ(s.io.m_nBitsPerSample, 1);
    ExpectLibtiffClean(path);
    const std::vector<uint8_t> rgb = MagickRgb(path);
    ASSERT_EQ(rgb.size(), 27u * 3);
    for (uint32_t i = 0; i < 27; ++i)
        EXPECT_EQ(rgb[3 * i], row[i % 9] ? 255 : 0) << i;
    ExpectOwnReaderPixels(path, s);
}

TEST(TiffWriter, LzwRowsPerStripPredictorAndExtraSamples)
{
    TempDir dir;
    {
        WriterSetup s(500, 9, 3, COLOR_RGB, TIFF_COMPRESSION_LZW, 1);
        const std::string path = dir.File("lzw500.tif");
        ASSERT_EQ(s.Write(path), 1);
        const ParsedTiff t = Parse(path);
        EXPECT_EQ(t.Value(TIFF_TAG_ROWS_PER_STRIP), 4u);
        EXPECT_EQ(t.Find(TIFF_TAG_STRIP_OFFSETS)->count, 3u);
        const std::vector<uint16_t> tags = t.Tags();
        ASSERT_EQ(tags.size(), 14u);
        EXPECT_EQ(tags[12], 296);
        EXPECT_EQ(tags[13], 317);
        EXPECT_EQ(t.Value(TIFF_TAG_PREDICTOR), 2u);
        // Multi-strip tables lie out of line, offsets then counts, before the IFD.
        const uint32_t offsets = t.Value(TIFF_TAG_STRIP_OFFSETS), counts = t.Value(TIFF_TAG_STRIP_BYTE_COUNTS);
        EXPECT_EQ(counts, offsets + 12);
        EXPECT_EQ(t.ifdOffset, counts + 12);
        EXPECT_EQ(t.U32(offsets), 8u);
        EXPECT_EQ(t.U32(offsets + 4), 8 + t.U32(counts));
        ExpectLibtiffClean(path);
        ExpectRgbPixels(path, s);
    }
    {
        WriterSetup s(1400, 3, 1, COLOR_GREY, TIFF_COMPRESSION_LZW, 0);
        const std::string path = dir.File("lzw1400.tif");
        ASSERT_EQ(s.Write(path), 1);
        const ParsedTiff t = Parse(path);
        EXPECT_EQ(t.Value(TIFF_TAG_ROWS_PER_STRIP), 1u);
        EXPECT_EQ(t.Find(TIFF_TAG_STRIP_OFFSETS)->count, 3u);
        ExpectLibtiffClean(path);
    }
    {
        WriterSetup s(20, 10, 4, COLOR_RGB, TIFF_COMPRESSION_NONE, 1);
        s.io.m_nChannels = 3;
        const std::string path = dir.File("rgba.tif");
        ASSERT_EQ(s.Write(path), 1);
        const ParsedTiff t = Parse(path);
        ASSERT_EQ(t.Tags().back(), 338);
        EXPECT_EQ(t.Find(TIFF_TAG_EXTRA_SAMPLES)->count, 1u);
        EXPECT_EQ(t.Value(TIFF_TAG_EXTRA_SAMPLES), 0u);
        EXPECT_EQ(t.entries.size(), 14u);
        ExpectLibtiffClean(path);
        ExpectRgbPixels(path, s);
    }
}

// More than two extra samples do not fit the entry: their values are
// written out of line.
TEST(TiffWriter, ManyExtraSamplesLieOutOfLine)
{
    TempDir dir;
    WriterSetup s(5, 2, 6, COLOR_RGB, TIFF_COMPRESSION_NONE, 0);
    s.io.m_nChannels = 3;
    const std::string path = dir.File("extra.tif");
    ASSERT_EQ(s.Write(path), 1);
    const ParsedTiff t = Parse(path);
    ASSERT_EQ(t.Tags().back(), 338);
    EXPECT_EQ(t.Find(TIFF_TAG_EXTRA_SAMPLES)->count, 3u);
    const uint32_t at = t.Value(TIFF_TAG_EXTRA_SAMPLES);
    EXPECT_EQ(at, t.Value(TIFF_TAG_BITS_PER_SAMPLE) + 12);  // after the six BitsPerSample values
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(t.U16(at + 2 * i), 0u);
    ExpectLibtiffClean(path);
    ExpectOwnReaderPixels(path, s);
}

TEST(TiffWriter, RefusesWhatItCannotWriteBeforeWriting)
{
    TempDir dir;
    {
        WriterSetup s(10, 10, 1, COLOR_BILEVEL, 2, 1);  // CCITT
        s.BlackWhitePalette();
        const std::string path = dir.File("ccitt.tif");
        EXPECT_EQ(s.Write(path), 0);
        EXPECT_TRUE(ReadFileBytes(path).empty());
    }
    {
        WriterSetup s(10, 10, 1, COLOR_CHANNEL, TIFF_COMPRESSION_NONE, 1);
        const std::string path = dir.File("channel.tif");
        EXPECT_EQ(s.Write(path), 0);
        EXPECT_TRUE(ReadFileBytes(path).empty());
    }
    {
        WriterSetup s(10, 10, 1, COLOR_INDEXED, TIFF_COMPRESSION_NONE, 1);  // no palette
        const std::string path = dir.File("nopalette.tif");
        EXPECT_EQ(s.Write(path), 0);
        EXPECT_TRUE(ReadFileBytes(path).empty());
    }
    {
        WriterSetup s(10, 10, 3, COLOR_RGB, TIFF_COMPRESSION_NONE, 1);
        s.io.m_pPlane[2] = nullptr;
        const std::string path = dir.File("noplane.tif");
        EXPECT_EQ(s.Write(path), 0);
        EXPECT_TRUE(ReadFileBytes(path).empty());
    }
}

// Every compression in both byte orders, several strips, checked by libtiff
// and ImageMagick; the LZW strips pass code 4094.
TEST(TiffWriter, RoundTripsThroughLibtiff)
{
    TempDir dir;
    for (int32_t compression : {TIFF_COMPRESSION_NONE, TIFF_COMPRESSION_PACKBITS, TIFF_COMPRESSION_LZW}) {
        for (int intel : {1, 0}) {
            const uint32_t w = compression == TIFF_COMPRESSION_LZW ? 500 : 120;
            const uint32_t h = compression == TIFF_COMPRESSION_LZW ? 41 : 90;
            WriterSetup s(w, h, 3, COLOR_RGB, compression, intel, 3, compression + intel);
            if (compression == TIFF_COMPRESSION_LZW) {
                std::mt19937 gen(7);
                for (auto& plane : s.planes)
                    for (size_t i = 0; i < plane.size() / 2; ++i)
                        plane[i] = static_cast<uint8_t>(gen());
            }
            const std::string path =
                dir.File("rt" + std::to_string(compression) + (intel ? "ii" : "mm") + ".tif");
            int written;
            {
                // Little memory makes the general writer use several strips
                // (LZW strips are always small).
                std::optional<FakeMemory> memory;
                if (compression != TIFF_COMPRESSION_LZW)
                    memory.emplace(64 * 1024, 64 * 1024);
                written = s.Write(path);
            }
            ASSERT_EQ(written, 1);
            const ParsedTiff t = Parse(path);
            EXPECT_GT(t.Find(TIFF_TAG_STRIP_OFFSETS)->count, 1u);
            EXPECT_EQ(t.Value(TIFF_TAG_COMPRESSION), static_cast<uint32_t>(compression));
            if (compression == TIFF_COMPRESSION_LZW) {
                // The first strip's code stream clears its table along the way.
                const uint32_t off = t.U32(t.Value(TIFF_TAG_STRIP_OFFSETS)), len = t.U32(t.Value(TIFF_TAG_STRIP_BYTE_COUNTS));
                const LzwDecoded d = DecodeLzwReference(
                    std::vector<uint8_t>(t.bytes.begin() + off, t.bytes.begin() + off + len));
                ASSERT_TRUE(d.ok);
                size_t clears = 0;
                for (size_t i = 1; i < d.codes.size(); ++i)
                    clears += d.codes[i].first == 256;
                EXPECT_GE(clears, 1u);
            }
            ExpectLibtiffClean(path);
            ExpectRgbPixels(path, s);
            ExpectOwnReaderPixels(path, s);
        }
    }
}

// Two samples a pixel (grey and an extra sample): both depths lie in the
// BitsPerSample entry, each in the file's byte order.
TEST(TiffWriter, TwoSamplesPerPixelKeepBothDepthsInTheEntry)
{
    QUORVEL_REQUIRE_TOOL("tiffinfo");
    TempDir dir;
    for (int intel : {1, 0}) {
        WriterSetup s(9, 4, 2, COLOR_GREY, TIFF_COMPRESSION_NONE, intel);
        s.io.m_nChannels = 1;
        const std::string path = dir.File(intel ? "ga-ii.tif" : "ga-mm.tif");
        ASSERT_EQ(s.Write(path), 1);
        const ParsedTiff t = Parse(path);
        const Entry* bits = t.Find(TIFF_TAG_BITS_PER_SAMPLE);
        ASSERT_NE(bits, nullptr);
        EXPECT_EQ(bits->count, 2u);
        EXPECT_EQ(Load16(bits->raw, !intel), 8u);
        EXPECT_EQ(Load16(bits->raw + 2, !intel), 8u);
        ExpectLibtiffClean(path);
        CTiffIo io(path.c_str());
        ASSERT_TRUE(io.m_file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite));
        ASSERT_EQ(io.ReadHeader(), 1);
        EXPECT_EQ(io.m_nBitsPerSample, 8);
        EXPECT_EQ(io.m_nSamplesPerPixel, 2u);
    }
}

// Resolutions that are no usable number of pixels per inch are written as 72.
TEST(TiffWriter, UnusableResolutionsBecome72)
{
    TempDir dir;
    const float values[] = {0.5f, -300.0f, std::nanf(""), 1e30f};
    const uint32_t expected[] = {72, 72, 72, UINT32_MAX};
    for (int i = 0; i < 4; ++i) {
        WriterSetup s(4, 2, 1, COLOR_GREY, TIFF_COMPRESSION_NONE, 1);
        s.io.m_fXRes = values[i];
        s.io.m_fYRes = 96.99f;
        const std::string path = dir.File("res" + std::to_string(i) + ".tif");
        ASSERT_EQ(s.Write(path), 1);
        const ParsedTiff t = Parse(path);
        EXPECT_EQ(t.U32(t.Value(TIFF_TAG_X_RESOLUTION)), expected[i]) << i;
        EXPECT_EQ(t.U32(t.Value(TIFF_TAG_Y_RESOLUTION)), 96u);
    }
}

// With little memory the bilevel and general writers cut the picture into
// several strips; the strip tables then lie out of line.
TEST(TiffWriter, SmallMemoryGivesSeveralStrips)
{
    TempDir dir;
    {
        WriterSetup s(100, 300, 1, COLOR_BILEVEL, TIFF_COMPRESSION_NONE, 1);
        s.BlackWhitePalette();
        for (auto& b : s.planes[0])
            b = b > 100;
        int r;
        {
            FakeMemory memory(64 * 1024, 64 * 1024);
            r = s.Write(dir.File("bw.tif"));
        }
        ASSERT_EQ(r, 1);
        const ParsedTiff t = Parse(dir.File("bw.tif"));
        const uint32_t rows = t.Value(TIFF_TAG_ROWS_PER_STRIP);
        EXPECT_LT(rows, 300u);
        EXPECT_EQ(t.Find(TIFF_TAG_STRIP_OFFSETS)->count, (300 + rows - 1) / rows);
        EXPECT_GT(t.Find(TIFF_TAG_STRIP_OFFSETS)->count, 1u);
        ExpectLibtiffClean(dir.File("bw.tif"));
        ExpectOwnReaderPixels(dir.File("bw.tif"), s);
    }
    {
        WriterSetup s(100, 300, 3, COLOR_RGB, TIFF_COMPRESSION_PACKBITS, 0);
        int r;
        {
            FakeMemory memory(64 * 1024, 64 * 1024);
            r = s.Write(dir.File("rgb.tif"));
        }
        ASSERT_EQ(r, 1);
        const ParsedTiff t = Parse(dir.File("rgb.tif"));
        const uint32_t rows = t.Value(TIFF_TAG_ROWS_PER_STRIP);
        EXPECT_LT(rows, 300u);
        EXPECT_EQ(t.Find(TIFF_TAG_STRIP_OFFSETS)->count, (300 + rows - 1) / rows);
        ExpectLibtiffClean(dir.File("rgb.tif"));
        ExpectRgbPixels(dir.File("rgb.tif"), s);
        ExpectOwnReaderPixels(dir.File("rgb.tif"), s);
    }
}

// More than 16,383 strips (strip tables over 65,535 bytes), a PackBits row
// over 65,535 bytes, and an LZW row whose code stream may pass the usual
// output buffer.
TEST(TiffWriter, LargeTablesRowsAndCodeStreams)
{
    TempDir dir;
    {
        // Planes spaced 1,400 bytes apart give one row per LZW strip.
        const uint32_t h = 17000;
        WriterSetup s(3, h, 1, COLOR_GREY, TIFF_COMPRESSION_LZW, 0, 1397);
        const std::string path = dir.File("tall.tif");
        ASSERT_EQ(s.Write(path), 1);
        const ParsedTiff t = Parse(path);
        EXPECT_EQ(t.Find(TIFF_TAG_STRIP_OFFSETS)->count, h);
        EXPECT_EQ(t.Find(TIFF_TAG_STRIP_BYTE_COUNTS)->count, h);
        // The last strip ends where the resolutions begin, just before the tables.
        const uint32_t offsets = t.Value(TIFF_TAG_STRIP_OFFSETS), counts = t.Value(TIFF_TAG_STRIP_BYTE_COUNTS);
        EXPECT_EQ(t.U32(offsets + 4 * (h - 1)) + t.U32(counts + 4 * (h - 1)), t.Value(TIFF_TAG_X_RESOLUTION));
        EXPECT_EQ(offsets, t.Value(TIFF_TAG_Y_RESOLUTION) + 8);
        EXPECT_EQ(counts, offsets + 4 * h);
        ExpectLibtiffClean(path);
        ExpectOwnReaderPixels(path, s);
    }
    {
        WriterSetup s(70000, 2, 1, COLOR_GREY, TIFF_COMPRESSION_PACKBITS, 1, 0, 3);
        const std::string path = dir.File("widepb.tif");
        ASSERT_EQ(s.Write(path), 1);
        ExpectLibtiffClean(path);
        ExpectOwnReaderPixels(path, s);
    }
    {
        WriterSetup s(480000, 1, 1, COLOR_GREY, TIFF_COMPRESSION_LZW, 1, 0, 4);
        std::mt19937 gen(9);
        for (auto& b : s.planes[0])
            b = static_cast<uint8_t>(gen());
        const std::string path = dir.File("widelzw.tif");
        ASSERT_EQ(s.Write(path), 1);
        const ParsedTiff t = Parse(path);
        EXPECT_GT(t.Value(TIFF_TAG_STRIP_BYTE_COUNTS), 632768u);
        ExpectLibtiffClean(path);
        ExpectOwnReaderPixels(path, s);
    }
}

// Every allocation of the writer may fail: the result is 0, nothing leaks.
TEST(TiffWriter, AllocationFailuresFailCleanly)
{
    TempDir dir;
    for (int32_t compression : {TIFF_COMPRESSION_NONE, TIFF_COMPRESSION_PACKBITS, TIFF_COMPRESSION_LZW}) {
        for (int32_t mode : {COLOR_RGB, COLOR_BILEVEL}) {
            int succeeded = 0;
            for (int n = 0; n < 12; ++n) {
                WriterSetup s(30, 7, mode == COLOR_RGB ? 3 : 1, mode, compression, 1);
                if (mode == COLOR_BILEVEL)
                    s.BlackWhitePalette();
                int r;
                {
                    FailNthAllocation failing(n);
                    r = s.Write(dir.File("f.tif"));
                }
                EXPECT_TRUE(r == 0 || r == 1);
                succeeded += r;
            }
            EXPECT_GT(succeeded, 0);  // once the failures pass the last allocation
        }
    }
}
