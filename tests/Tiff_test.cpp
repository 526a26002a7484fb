// The TIFF reader on hand-made files and byte sequences: header and directory
// rules, the strip decoders, and the safety of previews and full reads on
// damaged input.
#include "ITiffIO.h"
#include "TiffFallback.h"
#include "TestSupport.h"
#include "TiffBuilder.h"
#include "TiffRowSink.h"
#include "Quorvel.h"
#include "quorvel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint16_t SHORT = TIFF_TYPE_SHORT;
constexpr uint16_t LONG = TIFF_TYPE_LONG;

// A reader on bytes written to a temporary file.
class Loaded {
public:
    explicit Loaded(const std::vector<uint8_t>& bytes, const char* name = "t.tif")
        : m_path(m_dir.File(name)), io(m_path.c_str())
    {
        WriteFileBytes(m_path, bytes);
        m_bOpen = io.m_file.Open(m_path.c_str(), CFile::modeRead | CFile::shareDenyWrite);
    }
    int Header() { return m_bOpen ? io.ReadHeader() : 0; }
    const std::string& path() const { return m_path; }

    struct Probe : CTiffIo {
        using CTiffIo::CTiffIo;
        using CTiffIo::ReadPreviewRows;
    };

private:
    TempDir m_dir;
    std::string m_path;
    bool m_bOpen = false;

public:
    Probe io;
};

// A minimal 8-bit grey picture with the given strips.
std::vector<uint8_t> GreyFile(bool intel, uint32_t w, uint32_t h, uint32_t rps,
                              const std::vector<std::vector<uint8_t>>& strips, uint32_t compression = 1,
                              std::vector<size_t> order = {})
{
    TiffBuilder b(intel);
    if (order.empty())
        for (size_t i = 0; i < strips.size(); ++i)
            order.push_back(i);
    std::vector<uint32_t> offsets(strips.size()), counts(strips.size());
    for (size_t i : order) {
        offsets[i] = b.Blob(strips[i]);
        counts[i] = static_cast<uint32_t>(strips[i].size());
    }
    b.Long(TIFF_TAG_IMAGE_WIDTH, w);
    b.Long(TIFF_TAG_IMAGE_LENGTH, h);
    b.Short(TIFF_TAG_BITS_PER_SAMPLE, 8);
    b.Short(TIFF_TAG_COMPRESSION, compression);
    b.Short(TIFF_TAG_PHOTOMETRIC, 1);
    if (strips.size() == 1)
        b.Long(TIFF_TAG_STRIP_OFFSETS, offsets[0]);
    else
        b.Entry(TIFF_TAG_STRIP_OFFSETS, LONG, static_cast<uint32_t>(strips.size()), b.Longs(offsets));
    b.Short(TIFF_TAG_SAMPLES_PER_PIXEL, 1);
    b.Long(TIFF_TAG_ROWS_PER_STRIP, rps);
    if (strips.size() == 1)
        b.Long(TIFF_TAG_STRIP_BYTE_COUNTS, counts[0]);
    else
        b.Entry(TIFF_TAG_STRIP_BYTE_COUNTS, LONG, static_cast<uint32_t>(strips.size()), b.Longs(counts));
    return b.Build();
}

// ---- header and directory ------------------------------------------------------

TEST(TiffHeader, ByteOrderMarkAndVersion)
{
    {
        TiffBuilder b(true);
        b.Long(TIFF_TAG_IMAGE_WIDTH, 5);
        auto bytes = b.Build();
        bytes[2] = 43;
        Loaded f(bytes);
        EXPECT_EQ(f.Header(), 0);
        EXPECT_EQ(f.io.m_nRefusal, Refusal::TiffSignature);
    }
    {
        TiffBuilder b(false);
        b.Long(TIFF_TAG_IMAGE_WIDTH, 5);
        b.Short(TIFF_TAG_IMAGE_LENGTH, 7);
        auto bytes = b.Build();
        ASSERT_EQ(bytes[2], 0x00);
        ASSERT_EQ(bytes[3], 0x2A);
        Loaded f(bytes);
        EXPECT_EQ(f.Header(), 1);
        EXPECT_EQ(f.io.m_bIntel, 0);
        EXPECT_EQ(f.io.m_nWidth, 5u);
        EXPECT_EQ(f.io.m_nHeight, 7u);
    }
    {
        TiffBuilder b(true);
        auto bytes = b.Build();
        bytes[1] = 'M';
        Loaded f(bytes);
        EXPECT_EQ(f.Header(), 0);
        EXPECT_EQ(f.io.m_nRefusal, Refusal::TiffSignature);
    }
    // Too short for the header; directory beyond the end; entry cut short.
    Loaded shortFile({'I', 'I', 42, 0, 8});
    EXPECT_EQ(shortFile.Header(), 0);
    EXPECT_EQ(shortFile.io.m_nRefusal, Refusal::TiffSignature);
    TiffBuilder b(true);
    b.Long(TIFF_TAG_IMAGE_WIDTH, 5);
    auto bytes = b.Build();
    std::vector<uint8_t> far = bytes;
    far[4] = 0xF0;
    far[7] = 0x7F;
    Loaded beyond(far);
    EXPECT_EQ(beyond.Header(), 0);
    EXPECT_EQ(beyond.io.m_nRefusal, Refusal::TiffDirectoryCut);
    bytes.resize(bytes.size() - 8);
    Loaded cut(bytes);
    EXPECT_EQ(cut.Header(), 0);
    EXPECT_EQ(cut.io.m_nRefusal, Refusal::TiffDirectoryCut);
}

TEST(TiffHeader, DefaultsWhenTagsAreMissing)
{
    TiffBuilder b(true);
    b.Long(TIFF_TAG_IMAGE_WIDTH, 10);
    b.Long(TIFF_TAG_IMAGE_LENGTH, 20);
    Loaded f(b.Build());
    ASSERT_EQ(f.Header(), 1);
    EXPECT_EQ(f.io.m_nColorMode, 0);
    EXPECT_EQ(f.io.m_nChannels, 0u);
    EXPECT_EQ(f.io.m_nSamplesPerPixel, 0u);
    EXPECT_EQ(f.io.m_nRowsPerStrip, 20u);
    EXPECT_EQ(f.io.m_nCompression, 1);
    EXPECT_EQ(f.io.m_nBitsPerSample, 1);
    EXPECT_EQ(f.io.m_bPlanar, 0);
    EXPECT_FLOAT_EQ(f.io.m_fXRes, 72.0f);
    EXPECT_FLOAT_EQ(f.io.m_fYRes, 72.0f);
    EXPECT_EQ(f.io.m_nPredictor, 1);
    EXPECT_EQ(f.io.m_nGreyPhotometric, 2);

    for (uint32_t photometric : {2u, 5u}) {
        TiffBuilder c(false);
        c.Short(TIFF_TAG_PHOTOMETRIC, photometric);
        Loaded g(c.Build());
        ASSERT_EQ(g.Header(), 1);
        EXPECT_EQ(g.io.m_nSamplesPerPixel, photometric == 2 ? 3u : 4u);
        EXPECT_EQ(g.io.m_nColorMode, photometric == 2 ? COLOR_RGB : COLOR_CMYK);
    }
    for (uint32_t photometric : {4u, 6u, 8u, 32844u}) {
        TiffBuilder c(true);
        c.Short(TIFF_TAG_PHOTOMETRIC, photometric);
        Loaded g(c.Build());
        EXPECT_EQ(g.Header(), 0) << photometric;
        EXPECT_EQ(g.io.m_nRefusal, Refusal::TiffPhotometric);
    }
}

TEST(TiffHeader, BilevelDefaultPaletteAndGreyModes)
{
    struct Case {
        uint32_t photometric, bits;
        int mode;
        unsigned entry0;
    } cases[] = {{0, 1, COLOR_BILEVEL, 255}, {1, 1, COLOR_BILEVEL, 0}, {1, 8, COLOR_GREY, 0}, {0, 4, COLOR_GREY, 0}};
    for (const Case& c : cases) {
        TiffBuilder b(true);
        b.Short(TIFF_TAG_BITS_PER_SAMPLE, c.bits);
        b.Short(TIFF_TAG_PHOTOMETRIC, c.photometric);
        Loaded f(b.Build());
        ASSERT_EQ(f.Header(), 1);
        EXPECT_EQ(f.io.m_nColorMode, c.mode);
        EXPECT_EQ(f.io.m_nGreyPhotometric, static_cast<int>(c.photometric));
        if (c.mode == COLOR_BILEVEL) {
            ASSERT_EQ(f.io.m_nPaletteSize, 2u);
            const unsigned char* p = f.io.m_pPalette;
            EXPECT_EQ(p[0], c.entry0);
            EXPECT_EQ(p[1], c.entry0);
            EXPECT_EQ(p[2], c.entry0);
            EXPECT_EQ(p[3], 0);
            EXPECT_EQ(p[4], 255 - c.entry0);
            EXPECT_EQ(p[7], 0);
        } else {
            EXPECT_EQ(f.io.m_pPalette, nullptr);
        }
    }
}

TEST(TiffHeader, ResolutionAndUnit)
{
    struct Case {
        bool unit;
        uint32_t value, num, den;
        float x;
    } cases[] = {{true, 3, 300, 1, 300.0f * 2.53995f}, {true, 2, 300, 1, 300.0f}, {false, 0, 300, 1, 300.0f},
                 {true, 1, 600, 2, 300.0f}, {false, 0, 7, 0, 72.0f}};
    for (const Case& c : cases) {
        TiffBuilder b(c.value % 2 == 0);
        b.Rational(TIFF_TAG_X_RESOLUTION, c.num, c.den);
        b.Rational(TIFF_TAG_Y_RESOLUTION, c.num, c.den);
        if (c.unit)
            b.Short(TIFF_TAG_RESOLUTION_UNIT, c.value);
        Loaded f(b.Build());
        ASSERT_EQ(f.Header(), 1);
        EXPECT_FLOAT_EQ(f.io.m_fXRes, c.x);
        EXPECT_FLOAT_EQ(f.io.m_fYRes, c.x);
    }
    TiffBuilder b(true);
    b.Rational(TIFF_TAG_X_RESOLUTION, 300, 1);
    b.Short(TIFF_TAG_RESOLUTION_UNIT, 3);
    Loaded f(b.Build());
    ASSERT_EQ(f.Header(), 1);
    EXPECT_NEAR(f.io.m_fXRes, 761.98499f, 1e-3);
}

TEST(TiffHeader, BitsPerSampleForms)
{
    for (bool intel : {true, false}) {
        {
            TiffBuilder b(intel);
            b.Entry(TIFF_TAG_BITS_PER_SAMPLE, SHORT, 3, b.Shorts({8, 8, 16}));
            Loaded f(b.Build());
            EXPECT_EQ(f.Header(), 0);
            EXPECT_EQ(f.io.m_nRefusal, Refusal::TiffMixedDepths);
        }
        {
            TiffBuilder b(intel);
            b.Entry(TIFF_TAG_BITS_PER_SAMPLE, SHORT, 3, b.Shorts({8, 8, 8}));
            Loaded f(b.Build());
            ASSERT_EQ(f.Header(), 1);
            EXPECT_EQ(f.io.m_nBitsPerSample, 8);
        }
        {
            // Two values fit in the value field and are read from it in the
            // file's byte order, under the same rule as any other count.
            TiffBuilder b(intel);
            b.ShortsInEntry(TIFF_TAG_BITS_PER_SAMPLE, {4, 4});
            Loaded f(b.Build());
            ASSERT_EQ(f.Header(), 1);
            EXPECT_EQ(f.io.m_nBitsPerSample, 4);
            TiffBuilder c(intel);
            c.ShortsInEntry(TIFF_TAG_BITS_PER_SAMPLE, {4, 16});
            Loaded g(c.Build());
            EXPECT_EQ(g.Header(), 0);
            EXPECT_EQ(g.io.m_nRefusal, Refusal::TiffMixedDepths);
        }
        {
            // Values out of the file are refused.
            TiffBuilder b(intel);
            b.Entry(TIFF_TAG_BITS_PER_SAMPLE, SHORT, 3, 0x7FFFFFF0);
            Loaded f(b.Build());
            EXPECT_EQ(f.Header(), 0);
            EXPECT_EQ(f.io.m_nRefusal, Refusal::TiffValuesOutsideFile);
        }
    }
}

TEST(TiffHeader, ColourMapScalingAndSize)
{
    for (bool intel : {true, false}) {
        TiffBuilder b(intel);
        b.Short(TIFF_TAG_PHOTOMETRIC, 3);
        b.Short(TIFF_TAG_BITS_PER_SAMPLE, 8);
        // A 16-bit map: its small values (0x00FF, 0x0010, 0x0080) are dark
        // 16-bit values too, as other decoders read them.
        const uint32_t map = b.Shorts({0xFFFF, 0x8000, 0x0000, 0x1234, 0x00FF, 0x0010, 0x0000, 0xFFFF, 0x0080});
        b.Entry(TIFF_TAG_COLOR_MAP, SHORT, 9, map);
        Loaded f(b.Build());
        ASSERT_EQ(f.Header(), 1);
        ASSERT_EQ(f.io.m_nPaletteSize, 3u);
        const unsigned char* p = f.io.m_pPalette;
        // Entry i = blue, green, red, 0.
        EXPECT_EQ(p[2], 255);  // red 0xFFFF
        EXPECT_EQ(p[1], 0x12);
        EXPECT_EQ(p[0], 0);
        EXPECT_EQ(p[6], 128);  // red 0x8000
        EXPECT_EQ(p[5], 0);    // green 0x00FF
        EXPECT_EQ(p[4], 255);
        EXPECT_EQ(p[10], 0);
        EXPECT_EQ(p[9], 0);    // green 0x0010
        EXPECT_EQ(p[8], 0);    // blue 0x0080
        EXPECT_EQ(p[11], 0);
        EXPECT_EQ(f.io.m_nColorMode, COLOR_INDEXED);
    }
    for (bool intel : {true, false}) {
        // Every value 255 or less: 8-bit values in 16-bit fields.
        TiffBuilder b(intel);
        b.Short(TIFF_TAG_PHOTOMETRIC, 3);
        b.Short(TIFF_TAG_BITS_PER_SAMPLE, 8);
        b.Entry(TIFF_TAG_COLOR_MAP, SHORT, 6, b.Shorts({0x00FF, 0x0010, 0x0080, 0x0000, 0x0001, 0x00FE}));
        Loaded f(b.Build());
        ASSERT_EQ(f.Header(), 1);
        const unsigned char* p = f.io.m_pPalette;
        EXPECT_EQ((std::vector<int>{p[0], p[1], p[2], p[4], p[5], p[6]}), (std::vector<int>{1, 0x80, 255, 254, 0, 0x10}));
    }
    {
        // More than 256 entries: the first 256 are kept, read from the right
        // places of the three component arrays.
        TiffBuilder b(true);
        std::vector<uint32_t> map;
        for (uint32_t c = 0; c < 3; ++c)
            for (uint32_t i = 0; i < 300; ++i)
                map.push_back(((i + c * 7) % 256) << 8);
        b.Short(TIFF_TAG_PHOTOMETRIC, 3);
        b.Entry(TIFF_TAG_COLOR_MAP, SHORT, 900, b.Shorts(map));
        Loaded f(b.Build());
        ASSERT_EQ(f.Header(), 1);
        ASSERT_EQ(f.io.m_nPaletteSize, 256u);
        EXPECT_EQ(f.io.m_pPalette[4 * 255 + 2], 255);
        EXPECT_EQ(f.io.m_pPalette[4 * 255 + 1], (255 + 7) % 256);
        EXPECT_EQ(f.io.m_pPalette[4 * 255 + 0], (255 + 14) % 256);
    }
    {
        // A map that the file does not hold is refused.
        TiffBuilder b(true);
        b.Entry(TIFF_TAG_COLOR_MAP, SHORT, 768, 100);
        Loaded f(b.Build());
        EXPECT_EQ(f.Header(), 0);
        EXPECT_EQ(f.io.m_nRefusal, Refusal::TiffValuesOutsideFile);
    }
    {
        // A colour map takes precedence over the bilevel default palette.
        TiffBuilder b(true);
        b.Short(TIFF_TAG_PHOTOMETRIC, 0);
        b.Entry(TIFF_TAG_COLOR_MAP, SHORT, 6, b.Shorts({0x1000, 0x2000, 0x3000, 0x4000, 0x5000, 0x6000}));
        Loaded f(b.Build());
        ASSERT_EQ(f.Header(), 1);
        EXPECT_EQ(f.io.m_nColorMode, COLOR_BILEVEL);
        ASSERT_EQ(f.io.m_nPaletteSize, 2u);
        EXPECT_EQ(f.io.m_pPalette[2], 0x10);
    }
}

TEST(TiffHeader, StripTables)
{
    {
        // Big-endian single SHORT StripOffsets and a SHORT table of counts.
        TiffBuilder b(false);
        b.Short(TIFF_TAG_STRIP_OFFSETS, 0x1234);
        Loaded f(b.Build());
        ASSERT_EQ(f.Header(), 1);
        ASSERT_EQ(f.io.m_nStrips, 1u);
        EXPECT_EQ(f.io.m_pStripOffsets[0], 0x1234u);
        EXPECT_EQ(f.io.m_pStripByteCounts, nullptr);
    }
    for (bool intel : {true, false}) {
        // Counts listed before offsets, SHORT offsets, LONG counts.
        TiffBuilder b(intel);
        const uint32_t counts = b.Longs({10, 20, 30});
        const uint32_t offsets = b.Shorts({100, 200, 300});
        b.Entry(TIFF_TAG_STRIP_BYTE_COUNTS, LONG, 3, counts);
        b.Entry(TIFF_TAG_STRIP_OFFSETS, SHORT, 3, offsets);
        b.Short(TIFF_TAG_EXTRA_SAMPLES, 2);
        b.Long(TIFF_TAG_PHOTOSHOP, 12345);
        Loaded f(b.Build());
        ASSERT_EQ(f.Header(), 1);
        ASSERT_EQ(f.io.m_nStrips, 3u);
        EXPECT_EQ(f.io.m_pStripOffsets[2], 300u);
        ASSERT_NE(f.io.m_pStripByteCounts, nullptr);
        EXPECT_EQ(f.io.m_pStripByteCounts[1], 20u);
    }
    {
        // A table that the file does not hold is refused.
        TiffBuilder b(true);
        b.Entry(TIFF_TAG_STRIP_OFFSETS, LONG, 1000, 8);
        Loaded f(b.Build());
        EXPECT_EQ(f.Header(), 0);
        EXPECT_EQ(f.io.m_nRefusal, Refusal::TiffValuesOutsideFile);
    }
    {
        // A counts table shorter than the strips: the rest are empty.
        TiffBuilder b(true);
        b.Entry(TIFF_TAG_STRIP_OFFSETS, LONG, 3, b.Longs({8, 9, 10}));
        b.Entry(TIFF_TAG_STRIP_BYTE_COUNTS, LONG, 2, b.Longs({1, 1}));
        Loaded f(b.Build());
        ASSERT_EQ(f.Header(), 1);
        EXPECT_EQ(f.io.m_pStripByteCounts[1], 1u);
        EXPECT_EQ(f.io.m_pStripByteCounts[2], 0u);
    }
}

// Strip tables whose values fit in the entry are read from it, larger ones
// at their offset, in both byte orders; the pictures preview in full.
TEST(TiffHeader, StripTablesInTheEntryAndAtAnOffset)
{
    const uint32_t w = 3, h = 8;
    std::vector<uint8_t> pixels(w * h);
    for (uint32_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i * 11);
    enum Layout { TwoShortsInEntry, OneLong, FourShortsAtOffset };
    for (bool intel : {true, false}) {
        for (Layout layout : {TwoShortsInEntry, OneLong, FourShortsAtOffset}) {
            const uint32_t strips = layout == TwoShortsInEntry ? 2 : layout == OneLong ? 1 : 4;
            const uint32_t rps = h / strips;
            TiffBuilder b(intel);
            std::vector<uint32_t> offsets, counts;
            for (uint32_t s = 0; s < strips; ++s) {
                const auto first = pixels.begin() + s * rps * w;
                offsets.push_back(b.Blob(std::vector<uint8_t>(first, first + rps * w)));
                counts.push_back(rps * w);
            }
            b.Long(TIFF_TAG_IMAGE_WIDTH, w);
            b.Long(TIFF_TAG_IMAGE_LENGTH, h);
            b.Short(TIFF_TAG_BITS_PER_SAMPLE, 8);
            b.Short(TIFF_TAG_PHOTOMETRIC, 1);
            b.Long(TIFF_TAG_ROWS_PER_STRIP, rps);
            if (layout == TwoShortsInEntry) {
                b.ShortsInEntry(TIFF_TAG_STRIP_OFFSETS, offsets);
                b.ShortsInEntry(TIFF_TAG_STRIP_BYTE_COUNTS, counts);
            } else if (layout == OneLong) {
                b.Long(TIFF_TAG_STRIP_OFFSETS, offsets[0]);
                b.Long(TIFF_TAG_STRIP_BYTE_COUNTS, counts[0]);
            } else {
                b.Entry(TIFF_TAG_STRIP_OFFSETS, SHORT, 4, b.Shorts(offsets));
                b.Entry(TIFF_TAG_STRIP_BYTE_COUNTS, SHORT, 4, b.Shorts(counts));
            }
            Loaded f(b.Build());
            ASSERT_EQ(f.Header(), 1) << intel << " " << layout;
            ASSERT_EQ(f.io.m_nStrips, strips);
            for (uint32_t s = 0; s < strips; ++s) {
                EXPECT_EQ(f.io.m_pStripOffsets[s], offsets[s]) << intel << " " << layout;
                EXPECT_EQ(f.io.m_pStripByteCounts[s], counts[s]) << intel << " " << layout;
            }
            ImageSummary summary;
            f.io.m_file.Close();
            ASSERT_EQ(GetQuorvel(f.path().c_str(), &summary, 2, nullptr), 1) << intel << " " << layout;
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x)
                    ASSERT_EQ(summary.pPreviewBits[(h - 1 - y) * 12 + 3 * x], pixels[y * w + x]) << x << "," << y;
            QuorvelFreePreview(summary.pPreviewBits);
        }
    }
}

TEST(TiffHeader, OnlyTheFirstDirectoryIsRead)
{
    // A second directory, which would set the width to 99, follows the first
    // and is named by its next-directory offset.
    TiffBuilder b(true);
    b.Long(TIFF_TAG_IMAGE_WIDTH, 5);
    std::vector<uint8_t> bytes = b.Build(0);
    const uint32_t second = static_cast<uint32_t>(bytes.size());
    TiffBuilder other(true);
    other.Long(TIFF_TAG_IMAGE_WIDTH, 99);
    const std::vector<uint8_t> tail = other.Build();
    bytes.insert(bytes.end(), tail.begin() + 8, tail.end());
    const size_t next = second - 4;
    for (int k = 0; k < 4; ++k)
        bytes[next + k] = static_cast<uint8_t>(second >> (8 * k));
    Loaded f(bytes);
    ASSERT_EQ(f.Header(), 1);
    EXPECT_EQ(f.io.m_nWidth, 5u);
}

// ---- previews and full reads on hand-made files ---------------------------------

// Preview through the reader protocol at the fitted size.
struct Preview {
    int result = 0;
    int32_t width = 0, height = 0;
    std::vector<uint8_t> bits;
};

Preview MakePreview(CTiffIo& io, bool full = false)
{
    Preview p;
    unsigned char* bits = nullptr;
    io.m_bFullSize = full ? 1 : 0;
    p.result = io.MakeDib(&p.width, &p.height, &bits);
    if (p.result == 1) {
        const size_t stride = ((static_cast<size_t>(p.width) * 24 + 31) / 32) * 4;
        p.bits.assign(bits, bits + stride * p.height);
        QuorvelFreePreview(bits);
    }
    EXPECT_EQ(io.m_pPalette, nullptr);
    return p;
}

uint8_t Pixel(uint32_t x, uint32_t y) { return static_cast<uint8_t>((x * 3 + y * 7) & 0xFF); }

TEST(TiffPreview, LargeUncompressedPicturePreviewsFromFirstMatchRows)
{
    const uint32_t n = 1000;
    std::vector<uint8_t> strip(n * n);
    for (uint32_t y = 0; y < n; ++y)
        for (uint32_t x = 0; x < n; ++x)
            strip[y * n + x] = Pixel(x, y);
    Loaded f(GreyFile(true, n, n, n, {strip}));
    ASSERT_EQ(f.Header(), 1);
    Preview p = MakePreview(f.io);
    ASSERT_EQ(p.result, 1);
    ASSERT_EQ(p.width, 200);
    ASSERT_EQ(p.height, 200);
    // Row i and column j of the preview come from source row and column 5i, 5j.
    for (uint32_t i = 0; i < 200; ++i)
        for (uint32_t j = 0; j < 200; ++j)
            ASSERT_EQ(p.bits[(199 - i) * 600 + 3 * j], Pixel(5 * j, 5 * i)) << i << "," << j;
}

// One LZW strip per row; rows whose strips must not be decoded hold data that
// would fail the read if they were.
TEST(TiffPreview, LzwStripsWithoutAWantedRowAreNotDecoded)
{
    const uint32_t w = 3, h = 1000;
    std::vector<std::vector<uint8_t>> strips;
    for (uint32_t y = 0; y < h; ++y) {
        if (y % 5 == 0)
            strips.push_back(Nine({256, Pixel(0, y), Pixel(1, y), Pixel(2, y), 257}));
        else
            strips.push_back({0x00, 0x00, 0x00});
    }
    Loaded f(GreyFile(false, w, h, 1, strips, 5));
    ASSERT_EQ(f.Header(), 1);
    Preview p = MakePreview(f.io);
    ASSERT_EQ(p.result, 1);
    ASSERT_EQ(p.width, 1);
    ASSERT_EQ(p.height, 200);
    for (uint32_t i = 0; i < 200; ++i)
        ASSERT_EQ(p.bits[(199 - i) * 4], Pixel(0, 5 * i)) << i;
    // The full read decodes every strip, so it meets the damaged ones.
    Loaded g(GreyFile(false, w, h, 1, strips, 5));
    ASSERT_EQ(g.Header(), 1);
    std::vector<uint8_t> plane(8 * h);
    g.io.m_nRowBytes = 8;
    g.io.m_nPlaneKind[0] = 1;
    g.io.m_pPlane[0] = plane.data();
    EXPECT_EQ(g.io.ReadFullImage(), 0);
    EXPECT_EQ(g.io.m_nRefusal, Refusal::TiffLzwNoClearCode);
}

TEST(TiffPreview, StripsOutOfOrderAreReadThroughTheirOffsets)
{
    const uint32_t w = 4, h = 6;
    for (uint32_t compression : {1u, 5u, 32773u}) {
        std::vector<std::vector<uint8_t>> strips;
        for (uint32_t s = 0; s < 3; ++s) {
            std::vector<uint8_t> raw;
            for (uint32_t y = 2 * s; y < 2 * s + 2; ++y)
                for (uint32_t x = 0; x < w; ++x)
                    raw.push_back(Pixel(x, y));
            if (compression == 5) {
                std::vector<uint32_t> codes = {256};
                codes.insert(codes.end(), raw.begin(), raw.end());
                codes.push_back(257);
                strips.push_back(Nine(codes));
            } else if (compression == 32773) {
                std::vector<uint8_t> packed;
                for (uint32_t r = 0; r < 2; ++r) {
                    packed.push_back(static_cast<uint8_t>(w - 1));
                    packed.insert(packed.end(), raw.begin() + r * w, raw.begin() + (r + 1) * w);
                }
                strips.push_back(packed);
            } else {
                strips.push_back(raw);
            }
        }
        // Stored last strip first, with a gap between them.
        strips[1].push_back(0x80);
        Loaded f(GreyFile(true, w, h, 2, strips, compression, {2, 0, 1}));
        ASSERT_EQ(f.Header(), 1);
        Preview p = MakePreview(f.io);
        ASSERT_EQ(p.result, 1) << compression;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                ASSERT_EQ(p.bits[(h - 1 - y) * 12 + 3 * x], Pixel(x, y)) << compression << " " << x << "," << y;
    }
}

TEST(TiffPreview, RefusedLayoutsStillReportTheirSize)
{
    struct Case {
        uint32_t bits, compression, planar, samples, photometric;
        Refusal why;
    } cases[] = {
        {16, 1, 2, 3, 2, Refusal::TiffSeparatePlanes},     // planar 16-bit
        {8, 5, 2, 3, 2, Refusal::TiffSeparatePlanes},      // planar LZW
        {8, 7, 1, 3, 2, Refusal::UnsupportedCompression},  // JPEG
        {1, 3, 1, 1, 0, Refusal::UnsupportedCompression},  // CCITT Group 3
        {8, 2, 1, 1, 1, Refusal::TiffCcittDepth},          // CCITT with 8-bit samples
        {8, 1, 1, 1, 2, Refusal::TiffTooFewSamples},       // RGB with one sample per pixel
        {2, 1, 1, 1, 1, Refusal::UnsupportedDepth},        // 2-bit grey
    };
    for (const Case& c : cases) {
        TiffBuilder b(true);
        const uint32_t data = b.Blob(std::vector<uint8_t>(600, 0x11));
        b.Long(TIFF_TAG_IMAGE_WIDTH, 10);
        b.Long(TIFF_TAG_IMAGE_LENGTH, 10);
        b.Short(TIFF_TAG_BITS_PER_SAMPLE, c.bits);
        b.Short(TIFF_TAG_COMPRESSION, c.compression);
        b.Short(TIFF_TAG_PHOTOMETRIC, c.photometric);
        b.Long(TIFF_TAG_STRIP_OFFSETS, data);
        b.Short(TIFF_TAG_SAMPLES_PER_PIXEL, c.samples);
        b.Long(TIFF_TAG_STRIP_BYTE_COUNTS, 600);
        b.Short(TIFF_TAG_PLANAR_CONFIGURATION, c.planar);
        const std::vector<uint8_t> bytes = b.Build();
        Loaded f(bytes);
        f.io.m_bLibTiffFallback = false;  // the own decoders' refusals
        ASSERT_EQ(f.Header(), 1);
        Preview p = MakePreview(f.io);
        EXPECT_EQ(p.result, 0) << c.bits << "/" << c.compression;
        EXPECT_EQ(f.io.m_nRefusal, c.why) << c.bits << "/" << c.compression;
        f.io.m_nRowBytes = 16;
        std::vector<uint8_t> planes(16 * 10 * 3);
        for (int k = 0; k < 3; ++k) {
            f.io.m_nPlaneKind[k] = 1;
            f.io.m_pPlane[k] = planes.data() + k * 160;
        }
        EXPECT_EQ(f.io.ReadFullImage(), 0);

        TempDir dir;
        const std::string path = dir.File("r.tif");
        WriteFileBytes(path, bytes);
        ImageSummary s;
        EXPECT_EQ(GetQuorvel(path.c_str(), &s, 0, nullptr), 1);
        EXPECT_FLOAT_EQ(s.fWidthInches, 10.0f / 72.0f);
        // With libtiff behind them the preview is libtiff's to make or refuse.
        if (TiffFallbackAvailable())
            continue;
        Refusal why = Refusal::None;
        EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &s, 1, nullptr, &why), 0);
        EXPECT_EQ(why, c.why);
    }
}

TEST(TiffPreview, PlanarFilesWithOneRowPerStripUseEveryOffset)
{
    // 3 x 2 planar RGB, one row per strip, strips stored in reverse order.
    const uint32_t w = 3, h = 2;
    TiffBuilder b(false);
    std::vector<uint32_t> offsets(6);
    for (int s = 5; s >= 0; --s) {
        std::vector<uint8_t> row;
        for (uint32_t x = 0; x < w; ++x)
            row.push_back(static_cast<uint8_t>(s * 10 + x));
        offsets[s] = b.Blob(row);
    }
    b.Long(TIFF_TAG_IMAGE_WIDTH, w);
    b.Long(TIFF_TAG_IMAGE_LENGTH, h);
    b.Entry(TIFF_TAG_BITS_PER_SAMPLE, SHORT, 3, b.Shorts({8, 8, 8}));
    b.Short(TIFF_TAG_PHOTOMETRIC, 2);
    b.Entry(TIFF_TAG_STRIP_OFFSETS, LONG, 6, b.Longs(offsets));
    b.Short(TIFF_TAG_SAMPLES_PER_PIXEL, 3);
    b.Long(TIFF_TAG_ROWS_PER_STRIP, 1);
    b.Entry(TIFF_TAG_STRIP_BYTE_COUNTS, LONG, 6, b.Longs({3, 3, 3, 3, 3, 3}));
    b.Short(TIFF_TAG_PLANAR_CONFIGURATION, 2);
    Loaded f(b.Build());
    ASSERT_EQ(f.Header(), 1);
    Preview p = MakePreview(f.io);
    ASSERT_EQ(p.result, 1);
    // Top row (plane strips 0, 2, 4) is the second row of the block.
    const uint8_t* top = p.bits.data() + 12;
    EXPECT_EQ(top[2], 0);   // red: strip 0
    EXPECT_EQ(top[1], 20);  // green: strip 2
    EXPECT_EQ(top[0], 40);  // blue: strip 4
    EXPECT_EQ(p.bits[3 * 2 + 2], 12);  // bottom row, third pixel, red: strip 1
}

TEST(TiffPreview, TallImagesKeepEveryStrip)
{
    // 70,000 strips of one row: more than a 16-bit count holds.
    const uint32_t h = 70000;
    TiffBuilder b(true);
    std::vector<uint8_t> pixels(h);
    for (uint32_t y = 0; y < h; ++y)
        pixels[y] = static_cast<uint8_t>(y * 13);
    const uint32_t base = b.Blob(pixels);
    std::vector<uint32_t> offsets(h), counts(h, 1);
    for (uint32_t y = 0; y < h; ++y)
        offsets[y] = base + y;
    b.Long(TIFF_TAG_IMAGE_WIDTH, 1);
    b.Long(TIFF_TAG_IMAGE_LENGTH, h);
    b.Short(TIFF_TAG_BITS_PER_SAMPLE, 8);
    b.Short(TIFF_TAG_PHOTOMETRIC, 1);
    b.Entry(TIFF_TAG_STRIP_OFFSETS, LONG, h, b.Longs(offsets));
    b.Long(TIFF_TAG_ROWS_PER_STRIP, 1);
    b.Entry(TIFF_TAG_STRIP_BYTE_COUNTS, LONG, h, b.Longs(counts));
    Loaded f(b.Build());
    ASSERT_EQ(f.Header(), 1);
    EXPECT_EQ(f.io.m_nStrips, h);
    std::vector<uint8_t> plane(8 * static_cast<size_t>(h), 0xEE);
    f.io.m_nRowBytes = 8;
    f.io.m_nPlaneKind[0] = 1;
    f.io.m_pPlane[0] = plane.data();
    ASSERT_EQ(f.io.ReadFullImage(), 1);
    EXPECT_EQ(plane[8 * static_cast<size_t>(h - 1)], static_cast<uint8_t>((h - 1) * 13));
    EXPECT_EQ(plane[8 * 66000], static_cast<uint8_t>(66000 * 13));
}

TEST(TiffPreview, GreyPreviewsShowGreyLevels)
{
    // 4-bit grey is scaled to 0-255; WhiteIsZero grey shows 0 as white.
    for (uint32_t photometric : {0u, 1u}) {
        for (uint32_t bits : {4u, 8u}) {
            TiffBuilder b(true);
            const uint32_t data = b.Blob(bits == 4 ? std::vector<uint8_t>{0x0F, 0x50} : std::vector<uint8_t>{0, 255, 80});
            b.Long(TIFF_TAG_IMAGE_WIDTH, 3);
            b.Long(TIFF_TAG_IMAGE_LENGTH, 1);
            b.Short(TIFF_TAG_BITS_PER_SAMPLE, bits);
            b.Short(TIFF_TAG_PHOTOMETRIC, photometric);
            b.Long(TIFF_TAG_STRIP_OFFSETS, data);
            b.Long(TIFF_TAG_STRIP_BYTE_COUNTS, bits == 4 ? 2 : 3);
            Loaded f(b.Build());
            ASSERT_EQ(f.Header(), 1);
            Preview p = MakePreview(f.io);
            ASSERT_EQ(p.result, 1);
            const uint8_t levels[3] = {0, 255, static_cast<uint8_t>(bits == 4 ? 85 : 80)};
            for (int x = 0; x < 3; ++x) {
                const uint8_t v = photometric == 1 ? levels[x] : static_cast<uint8_t>(255 - levels[x]);
                EXPECT_EQ(p.bits[3 * x], v) << photometric << "/" << bits << " x " << x;
            }
        }
    }
}

// A full-size grey preview goes row by row into the block, grey levels
// finished on the way: nothing but the block is as large as a whole plane.
TEST(TiffPreview, FullSizeGreyPreviewHoldsThePictureOnce)
{
    const uint32_t w = 64, h = 400;
    std::vector<uint8_t> pixels(w / 2 * h);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i * 7);
    TiffBuilder b(true);
    const uint32_t data = b.Blob(pixels);
    b.Long(TIFF_TAG_IMAGE_WIDTH, w);
    b.Long(TIFF_TAG_IMAGE_LENGTH, h);
    b.Short(TIFF_TAG_BITS_PER_SAMPLE, 4);
    b.Short(TIFF_TAG_PHOTOMETRIC, 0);  // WhiteIsZero
    b.Long(TIFF_TAG_STRIP_OFFSETS, data);
    b.Long(TIFF_TAG_STRIP_BYTE_COUNTS, static_cast<uint32_t>(pixels.size()));
    Loaded f(b.Build());
    ASSERT_EQ(f.Header(), 1);
    FakeMemory memory(64 * MiB, 64 * MiB);
    FakeMemory::requests.clear();
    Preview p = MakePreview(f.io, true);
    ASSERT_EQ(p.result, 1);
    const size_t plane = static_cast<size_t>(AlignedRowBytes(w * 8)) * h;
    const size_t block = static_cast<size_t>(w) * 3 * h;
    for (size_t bytes : FakeMemory::requests)
        EXPECT_TRUE(bytes < plane || bytes >= block) << bytes;
    for (uint32_t y : {0u, 1u, 217u, h - 1}) {
        for (uint32_t x : {0u, 1u, 50u, w - 1}) {
            const uint8_t byte = pixels[y * (w / 2) + x / 2];
            const uint8_t level = static_cast<uint8_t>(255 - ((x % 2 == 0 ? byte >> 4 : byte & 0x0F) * 17));
            const uint8_t* px = p.bits.data() + static_cast<size_t>(h - 1 - y) * w * 3 + 3 * x;
            EXPECT_EQ(px[0], level) << x << "," << y;
            EXPECT_EQ(px[2], level) << x << "," << y;
        }
    }
}

TEST(TiffFullRead, PlaneTableAndSamplesBeyondTheChannels)
{
    // RGBA, 2 x 1: alpha dropped, planes m_nRowBytes apart; kinds other than 1
    // are refused.
    TiffBuilder b(false);
    const uint32_t data = b.Blob({1, 2, 3, 4, 5, 6, 7, 8});
    b.Long(TIFF_TAG_IMAGE_WIDTH, 2);
    b.Long(TIFF_TAG_IMAGE_LENGTH, 1);
    b.Entry(TIFF_TAG_BITS_PER_SAMPLE, SHORT, 4, b.Shorts({8, 8, 8, 8}));
    b.Short(TIFF_TAG_PHOTOMETRIC, 2);
    b.Long(TIFF_TAG_STRIP_OFFSETS, data);
    b.Short(TIFF_TAG_SAMPLES_PER_PIXEL, 4);
    b.Long(TIFF_TAG_STRIP_BYTE_COUNTS, 8);
    Loaded f(b.Build());
    ASSERT_EQ(f.Header(), 1);
    std::vector<uint8_t> planes(3 * 4, 0xEE);
    f.io.m_nRowBytes = 4;
    for (int k = 0; k < 3; ++k) {
        f.io.m_nPlaneKind[k] = 1;
        f.io.m_pPlane[k] = planes.data() + 4 * k;
    }
    f.io.m_nPlaneKind[2] = 2;
    EXPECT_EQ(f.io.ReadFullImage(), 0);
    EXPECT_EQ(f.io.m_nRefusal, Refusal::TiffPlaneTable);
    f.io.m_nPlaneKind[2] = 1;
    f.io.m_nRowBytes = 1;
    EXPECT_EQ(f.io.ReadFullImage(), 0);
    f.io.m_nRowBytes = 4;
    ASSERT_EQ(f.io.ReadFullImage(), 1);
    EXPECT_EQ(planes, (std::vector<uint8_t>{1, 5, 0xEE, 0xEE, 2, 6, 0xEE, 0xEE, 3, 7, 0xEE, 0xEE}));
}

TEST(TiffMemory, SmallGrantsGroupStripsAndNoGrantFails)
{
    for (const char* name : {"tiff_rgb8_lzw.tif", "tiff_rgb8_none_le.tif"}) {
        const std::string path = TestData(name);
        auto open = [&](CTiffIo& io) {
            EXPECT_TRUE(io.m_file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite));
            EXPECT_EQ(io.ReadHeader(), 1);
        };
        auto preview = [&]() {
            CTiffIo io(path.c_str());
            open(io);
            return MakePreview(io, true);
        };
        // Full read into 37 x 23 planes spaced 40 bytes; 0 on failure.
        auto full = [&](std::vector<uint8_t>* planes) {
            CTiffIo io(path.c_str());
            open(io);
            planes->assign(3 * 40 * 23, 0);
            io.m_nRowBytes = 40;
            for (int k = 0; k < 3; ++k) {
                io.m_nPlaneKind[k] = 1;
                io.m_pPlane[k] = planes->data() + 40 * 23 * k;
            }
            return io.ReadFullImage();
        };
        const Preview normal = preview();
        ASSERT_EQ(normal.result, 1);
        std::vector<uint8_t> normalPlanes;
        ASSERT_EQ(full(&normalPlanes), 1);
        {
            // Little memory: the block of compressed strips (or of rows)
            // shrinks to a few strips or rows at a time; the results stay.
            FakeMemory memory(6 * 1024, 6 * 1024);
            const Preview small = preview();
            ASSERT_EQ(small.result, 1) << name;
            EXPECT_EQ(small.bits, normal.bits) << name;
            std::vector<uint8_t> smallPlanes;
            ASSERT_EQ(full(&smallPlanes), 1) << name;
            EXPECT_EQ(smallPlanes, normalPlanes) << name;
        }
        {
            // No grant at all: both reads fail.
            FakeMemory memory(64 * MiB, 64 * MiB);
            memory.FailAll(true);
            CTiffIo io(path.c_str());
            open(io);
            EXPECT_EQ(MakePreview(io).result, 0) << name;
            EXPECT_EQ(io.m_nRefusal, Refusal::OutOfMemory) << name;
            std::vector<uint8_t> planes;
            EXPECT_EQ(full(&planes), 0) << name;
        }
    }
}

// Damaged copies of every fixture: previews and full reads must neither
// crash nor touch memory outside their buffers (run under the sanitizers).
TEST(TiffRobustness, DamagedFilesAreReadSafely)
{
    const char* names[] = {"tiff_rgb8_packbits.tif", "tiff_rgb8_lzw.tif",     "tiff_rgb8_lzw2_be.tif",
                           "tiff_rgb8_sep_r4.tif",   "tiff_rgb16_lzw2_le.tif", "tiff_grey4_lzw_be.tif",
                           "tiff_pal8_none.tif",     "tiff_bw1w_ccitt.tif",    "tiff_wide_ccitt.tif",
                           "tiff_cmyk8_lzw2_be.tif", "tiff_rgba8_sep_r1.tif",  "tiff_bw1w_packbits_be.tif"};
    std::mt19937 rng(12345);
    TempDir dir;
    const std::string path = dir.File("d.tif");
    for (const char* name : names) {
        const std::vector<uint8_t> original = ReadFileBytes(TestData(name));
        ASSERT_FALSE(original.empty());
        for (int round = 0; round < 60; ++round) {
            std::vector<uint8_t> bytes = original;
            if (round < 12) {
                bytes.resize(rng() % bytes.size());
            } else {
                const int flips = 1 + static_cast<int>(rng() % 8);
                for (int k = 0; k < flips; ++k) {
                    // Half the damage lands in the directory at the end.
                    const size_t at = (k & 1) ? bytes.size() - 1 - rng() % std::min<size_t>(bytes.size(), 200)
                                              : rng() % bytes.size();
                    bytes[at] = static_cast<uint8_t>(rng());
                }
            }
            ASSERT_TRUE(WriteFileBytes(path, bytes));
            ImageSummary s;
            if (GetQuorvel(path.c_str(), &s, 2, nullptr) == 1)
                QuorvelFreePreview(s.pPreviewBits);
            CTiffIo io(path.c_str());
            ASSERT_TRUE(io.m_file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite));
            if (io.ReadHeader() != 1 || io.m_nWidth > 4096 || io.m_nHeight > 4096)
                continue;
            io.m_nRowBytes = static_cast<int32_t>(io.m_nWidth);
            std::vector<std::vector<uint8_t>> planes(4, std::vector<uint8_t>(static_cast<size_t>(io.m_nWidth) * io.m_nHeight));
            for (int k = 0; k < 4; ++k) {
                io.m_nPlaneKind[k] = 1;
                io.m_pPlane[k] = planes[k].data();
            }
            io.ReadFullImage();
        }
    }
}

}  // namespace

namespace {

// A tiny file whose one row would need gigabytes is refused without asking
// for that memory.
TEST(TiffRobustness, RowsLargerThanTheFileCouldHoldAreRefused)
{
    FakeMemory memory(24 * 1024 * MiB, 24 * 1024 * MiB);
    const std::string path = TestData("tiff_damaged_huge_row.tif");
    ImageSummary summary;
    for (int mode : {1, 2}) {
        Refusal why = Refusal::None;
        EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, mode, nullptr, &why), 0);
        EXPECT_EQ(why, Refusal::LargerThanFile) << mode;
    }
    size_t largest = 0;
    for (size_t bytes : FakeMemory::requests)
        largest = bytes > largest ? bytes : largest;
    EXPECT_LT(largest, 1 * MiB);
    // The size alone comes from the header.
    EXPECT_EQ(GetQuorvel(path.c_str(), &summary, 0, nullptr), 1);
}

}  // namespace

namespace {

// A fuzz finding: a 1.4 KB file whose ImageLength (a SHORT with count 2)
// claims 5,046,272 rows of 101 pixels.  The full-size preview is refused
// at once without asking for the 1.5 GB block; the fitted preview shows the
// rows there are.
TEST(TiffRobustness, FullSizePreviewOfAPictureTheStripsCannotHoldFailsFastAndSmall)
{
    const std::string path = TestData("tiff_damaged_tall.tif");
    FakeMemory memory(24 * 1024 * MiB, 24 * 1024 * MiB);
    FakeMemory::requests.clear();
    ImageSummary summary;
    const auto start = std::chrono::steady_clock::now();
    Refusal why = Refusal::None;
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 2, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::LargerThanFile);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    size_t largest = 0;
    for (size_t bytes : FakeMemory::requests)
        largest = std::max(largest, bytes);
    EXPECT_LT(largest, 1 * MiB);
    EXPECT_EQ(summary.pPreviewBits, nullptr);

    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 1, nullptr), 1);
    EXPECT_EQ(summary.nPreviewHeight, 200);
    QuorvelFreePreview(summary.pPreviewBits);
    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 0, nullptr), 1);
    EXPECT_FLOAT_EQ(summary.fHeightInches, 5046272.0f / 72.0f);
}

// A full-size preview needs every row: strips that cannot hold the picture
// are refused before the preview block is asked for, and rows that do not
// arrive whole fail the preview after reading.  Fitted previews of the same
// files show the missing rows black.
TEST(TiffPreview, FullSizePreviewsNeedEveryRow)
{
    const uint32_t w = 4, h = 6;
    std::vector<uint8_t> raw(w * h);
    for (uint32_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint8_t>(100 + i);
    auto rows = [&](uint32_t first, uint32_t count) {
        return std::vector<uint8_t>(raw.begin() + first * w, raw.begin() + (first + count) * w);
    };
    auto packBits = [&](uint32_t first, uint32_t count) {
        std::vector<uint8_t> out;
        for (uint32_t r = first; r < first + count; ++r) {
            out.push_back(static_cast<uint8_t>(w - 1));
            const std::vector<uint8_t> row = rows(r, 1);
            out.insert(out.end(), row.begin(), row.end());
        }
        return out;
    };
    struct Case {
        const char* what;
        std::vector<std::vector<uint8_t>> strips;
        uint32_t compression;
        bool beforeAllocation;  // refused before the block is asked for
        Refusal why;
        std::vector<uint32_t> lost;  // rows the fitted preview shows black
    };
    std::vector<Case> cases;
    // Uncompressed: the last strip lies past the end of the file.
    cases.push_back({"none, strip past the end of the file", {}, 1, true, Refusal::LargerThanFile, {4, 5}});
    // PackBits: a strip whose data holds one of its two rows.
    cases.push_back({"packbits, strip cut short", {packBits(0, 2), packBits(2, 1), packBits(4, 2)}, 32773, false, Refusal::TiffStripCutShort, {3}});
    // LZW: a strip that ends after its first row.
    std::vector<uint32_t> codes = {256};
    const std::vector<uint8_t> lzwRow = rows(2, 1);
    codes.insert(codes.end(), lzwRow.begin(), lzwRow.end());
    codes.push_back(257);
    std::vector<uint32_t> whole0 = {256}, whole2 = {256};
    for (uint8_t v : rows(0, 2))
        whole0.push_back(v);
    for (uint8_t v : rows(4, 2))
        whole2.push_back(v);
    whole0.push_back(257);
    whole2.push_back(257);
    cases.push_back({"lzw, strip cut short", {Nine(whole0), Nine(codes), Nine(whole2)}, 5, false,
                     Refusal::TiffStripCutShort, {3}});
    // LZW: a strip whose second row meets a code past the table.
    codes.back() = 400;
    cases.push_back({"lzw, code past the table", {Nine(whole0), Nine(codes), Nine(whole2)}, 5, false,
                     Refusal::TiffLzwCodePastTable, {3}});
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes;
        if (c.compression != 1) {
            bytes = GreyFile(true, w, h, 2, c.strips, c.compression);
        } else {
            // The last strip lies past the end of the file.
            TiffBuilder b(true);
            const uint32_t s0 = b.Blob(rows(0, 2)), s1 = b.Blob(rows(2, 2));
            b.Long(TIFF_TAG_IMAGE_WIDTH, w);
            b.Long(TIFF_TAG_IMAGE_LENGTH, h);
            b.Short(TIFF_TAG_BITS_PER_SAMPLE, 8);
            b.Short(TIFF_TAG_PHOTOMETRIC, 1);
            b.Long(TIFF_TAG_ROWS_PER_STRIP, 2);
            b.Entry(TIFF_TAG_STRIP_OFFSETS, LONG, 3, b.Longs({s0, s1, 100000}));
            b.Entry(TIFF_TAG_STRIP_BYTE_COUNTS, LONG, 3, b.Longs({8, 8, 8}));
            bytes = b.Build();
        }
        TempDir dir;
        const std::string path = dir.File("f.tif");
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        ImageSummary summary;
        {
            FakeMemory memory(64 * MiB, 64 * MiB);
            FakeMemory::requests.clear();
            Refusal why = Refusal::None;
            EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 2, nullptr, &why), 0) << c.what;
            EXPECT_EQ(why, c.why) << c.what;
            EXPECT_EQ(summary.pPreviewBits, nullptr);
            size_t blocks = 0;
            for (size_t n : FakeMemory::requests)
                blocks += n >= 12 * h ? 1 : 0;  // the 24-bit block or the planes
            if (c.beforeAllocation) {
                EXPECT_EQ(blocks, 0u) << c.what;
            }
        }
        ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 1, nullptr), 1) << c.what;
        for (uint32_t y = 0; y < h; ++y) {
            const bool lost = std::find(c.lost.begin(), c.lost.end(), y) != c.lost.end();
            for (uint32_t x = 0; x < w; ++x)
                ASSERT_EQ(summary.pPreviewBits[(h - 1 - y) * 12 + 3 * x], lost ? 0 : raw[y * w + x])
                    << c.what << " " << x << "," << y;
        }
        QuorvelFreePreview(summary.pPreviewBits);
    }
}

}  // namespace
