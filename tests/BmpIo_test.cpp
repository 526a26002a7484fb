#include "ByteOrder.h"
#include "ImageIo.h"
#include "Quorvel.h"
#include "ReaderOracle.h"
#include "TestSupport.h"
#include "iBmpIo.h"
#include "quorvel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// ---- helpers ---------------------------------------------------------------

uint32_t StoredRow(uint32_t width, uint32_t bits) { return ((bits * width + 31) / 32) * 4; }
uint32_t Stride(uint32_t w) { return ((w * 24 + 31) / 32) * 4; }

// A BMP with a 40-byte header; `pixel(storedRow, byteInRow)` gives the pixel
// bytes.  The palette (4 bytes per entry) follows the header.
template <class Pixel>
std::vector<uint8_t> MakeBmp(int32_t width, int32_t height, uint16_t bits,
                             const std::vector<uint8_t>& palette, Pixel pixel)
{
    const uint32_t rows = static_cast<uint32_t>(height < 0 ? -height : height);
    const uint32_t f = StoredRow(static_cast<uint32_t>(width), bits);
    std::vector<uint8_t> v(54 + palette.size() + static_cast<size_t>(f) * rows, 0);
    v[0] = 'B';
    v[1] = 'M';
    StoreLE32(v.data() + 2, static_cast<uint32_t>(v.size()));
    StoreLE32(v.data() + 10, static_cast<uint32_t>(54 + palette.size()));
    StoreLE32(v.data() + 14, 40);
    StoreLE32(v.data() + 18, static_cast<uint32_t>(width));
    StoreLE32(v.data() + 22, static_cast<uint32_t>(height));
    StoreLE16(v.data() + 26, 1);
    StoreLE16(v.data() + 28, bits);
    StoreLE32(v.data() + 46, static_cast<uint32_t>(palette.size() / 4));
    if (!palette.empty())
        std::memcpy(v.data() + 54, palette.data(), palette.size());
    uint8_t* data = v.data() + 54 + palette.size();
    for (uint32_t j = 0; j < rows; ++j)
        for (uint32_t b = 0; b < f; ++b)
            data[static_cast<size_t>(j) * f + b] = pixel(j, b);
    return v;
}

std::vector<uint8_t> GreyRamp(uint32_t entries)
{
    std::vector<uint8_t> p(entries * 4, 0);
    for (uint32_t k = 0; k < entries; ++k)
        p[4 * k] = p[4 * k + 1] = p[4 * k + 2] = static_cast<uint8_t>(k);
    return p;
}

struct Result {
    int ok = 0;
    Refusal why = Refusal::None;
    ImageSummary summary{};
    std::vector<uint8_t> block;  // the preview block, copied
};

Result Preview(const std::string& path, int mode)
{
    Result r;
    MessageCapture quiet;  // the colour table is looked for, and missing
    r.ok = GetQuorvelWithReason(path.c_str(), &r.summary, mode, "/nonexistent", &r.why);
    if (r.ok && r.summary.pPreviewBits != nullptr) {
        const size_t bytes = static_cast<size_t>(Stride(r.summary.nPreviewWidth)) * r.summary.nPreviewHeight;
        r.block.assign(r.summary.pPreviewBits, r.summary.pPreviewBits + bytes);
        QuorvelFreePreview(r.summary.pPreviewBits);
        r.summary.pPreviewBits = nullptr;
    }
    return r;
}


// Bytes read by this process so far, or -1 where the system does not say.
long long BytesRead()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return -1;
}

// ---- cross-checks against an independent decoder ---------------------------

struct Fixture {
    const char* name;
    uint32_t width, height;
    bool topDown;
};

const Fixture kFixtures[] = {
    {"bmp1_421x37.bmp", 421, 37, false},      {"bmp1_pil_203x230.bmp", 203, 230, false},
    {"bmp4_251x61.bmp", 251, 61, false},      {"bmp8_213x41.bmp", 213, 41, false},
    {"bmp8_pil_grey_97x51.bmp", 97, 51, false}, {"bmp8_pil_pal16_230x19.bmp", 230, 19, false},
    {"bmp8_v5_205x31.bmp", 205, 31, false},   {"bmp24_7x251.bmp", 7, 251, false},
    {"bmp24_403x5.bmp", 403, 5, false},       {"bmp24_1x1.bmp", 1, 1, false},
    {"bmp24_pil_33x17.bmp", 33, 17, false},   {"bmp24_topdown_7x251.bmp", 7, 251, true},
};

TEST(BmpCrossCheck, PreviewsMatchAnIndependentDecodeSampledByFirstMatch)
{
    QUORVEL_REQUIRE_TOOL("convert");
    for (const Fixture& fx : kFixtures) {
        SCOPED_TRACE(fx.name);
        const std::string path = TestData(fx.name);
        RgbImage reference;
        ASSERT_TRUE(DecodeWithImageMagick(path, &reference));
        ASSERT_EQ(reference.width, fx.width);
        ASSERT_EQ(reference.height, fx.height);
        // Rows are chosen in stored order: bottom row first unless the file
        // is top-down.
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(path, mode, reference,
                                       FirstMatchSampling(fx.width, fx.height, mode == 2, !fx.topDown)));
    }
}

// ---- header ----------------------------------------------------------------

TEST(BmpHeader, RefusesWhatItCannotRead)
{
    TempDir dir;
    const auto plain = MakeBmp(4, 2, 24, {}, [](uint32_t, uint32_t) { return uint8_t(7); });
    const std::string path = dir.File("x.bmp");

    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
        int width;  // 2 or 4 bytes
        Refusal why;
    };
    const Damage damages[] = {
        {"type BA", 1, 'A', 1, Refusal::BmpSignature},
        {"7 bits", 28, 7, 2, Refusal::BmpBitCount},
        {"64 bits", 28, 64, 2, Refusal::UnsupportedDepth},
        {"2 bits", 28, 2, 2, Refusal::UnsupportedDepth},
        {"RLE8", 30, 1, 4, Refusal::BmpCompressionDepth},
        {"RLE4", 30, 2, 4, Refusal::BmpCompressionDepth},
        {"bitfields", 30, 3, 4, Refusal::BmpCompressionDepth},
        // Read as an OS/2 1.x header, whose bit count (bytes 24-25) is 0 here.
        {"core header", 14, 12, 4, Refusal::BmpBitCount},
        {"zero width", 18, 0, 4, Refusal::EmptyPicture},
        {"negative width", 18, 0xFFFFFFFEu, 4, Refusal::BmpBadSize},
        {"zero height", 22, 0, 4, Refusal::EmptyPicture},
        {"most negative height", 22, 0x80000000u, 4, Refusal::BmpBadSize},
    };
    for (const Damage& d : damages) {
        std::vector<uint8_t> bytes = plain;
        if (d.width == 1)
            bytes[d.at] = static_cast<uint8_t>(d.value);
        else if (d.width == 2)
            StoreLE16(bytes.data() + d.at, d.value);
        else
            StoreLE32(bytes.data() + d.at, d.value);
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        for (int mode : {0, 1}) {
            const Result r = Preview(path, mode);
            EXPECT_EQ(r.ok, 0) << d.what;
            EXPECT_EQ(r.why, d.why) << d.what << ": " << RefusalName(r.why);
        }
    }

    // A header cut short.
    ASSERT_TRUE(WriteFileBytes(path, std::vector<uint8_t>(plain.begin(), plain.begin() + 53)));
    EXPECT_EQ(Preview(path, 0).why, Refusal::Truncated);
    ASSERT_TRUE(WriteFileBytes(path, plain));
    EXPECT_EQ(Preview(path, 1).ok, 1);
}

TEST(BmpHeader, RunLengthFilesAndPlainOnesNamedRleAreRead)
{
    EXPECT_EQ(Preview(TestData("rle8_40x30.rle"), 1).ok, 1);
    TempDir dir;
    const std::string path = dir.File("copy.RLE");
    ASSERT_TRUE(WriteFileBytes(path, ReadFileBytes(TestData("bmp24_pil_33x17.bmp"))));
    const Result asRle = Preview(path, 1);
    const Result asBmp = Preview(TestData("bmp24_pil_33x17.bmp"), 1);
    ASSERT_EQ(asRle.ok, 1);
    EXPECT_TRUE(asRle.block == asBmp.block);
}

TEST(BmpHeader, ResolutionFromPelsPerMetre)
{
    TempDir dir;
    const std::string path = dir.File("r.bmp");
    auto bytes = MakeBmp(720, 1, 24, {}, [](uint32_t, uint32_t) { return uint8_t(0); });
    struct Case {
        uint32_t ppm;
        float inches;
    };
    for (const Case& c : {Case{2835, 720 / 72.009f}, Case{3780, 720 / 96.012f}, Case{0, 10.0f},
                          Case{0xFFFFF000u, 10.0f}}) {
        StoreLE32(bytes.data() + 38, c.ppm);
        StoreLE32(bytes.data() + 42, c.ppm);
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        const Result r = Preview(path, 0);
        ASSERT_EQ(r.ok, 1);
        EXPECT_NEAR(r.summary.fWidthInches, c.inches, 1e-4) << c.ppm;
        EXPECT_NEAR(r.summary.fHeightInches, c.inches / 720, 1e-6) << c.ppm;
    }
    StoreLE32(bytes.data() + 38, 2835);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    EXPECT_NEAR(Preview(path, 0).summary.fWidthInches, 9.9987f, 1e-4);
}

TEST(BmpHeader, PaletteReadsOnlyWhatThePaletteHolds)
{
    TempDir dir;
    const std::string path = dir.File("p.bmp");
    // 8 bits, biClrUsed 16, then pixels: indices 15, 16 and 255.
    auto bytes = MakeBmp(3, 1, 8, GreyRamp(16), [](uint32_t, uint32_t b) {
        const uint8_t v[4] = {15, 16, 255, 0};
        return v[b];
    });
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    Result r = Preview(path, 1);
    ASSERT_EQ(r.ok, 1);
    const std::vector<uint8_t> expect = {15, 15, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(r.block, expect);

    // A biClrUsed beyond 256 entries reads 1024 palette bytes and no more:
    // the file holds exactly that before its pixels.
    auto big = MakeBmp(2, 1, 8, GreyRamp(256), [](uint32_t, uint32_t b) { return uint8_t(b == 0 ? 200 : 0); });
    StoreLE32(big.data() + 46, 0xFFFFFFFFu);
    ASSERT_TRUE(WriteFileBytes(path, big));
    r = Preview(path, 1);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.block[0], 200);

    // A palette cut short by the end of the file.
    auto cut = MakeBmp(2, 1, 8, GreyRamp(256), [](uint32_t, uint32_t) { return uint8_t(0); });
    cut.resize(54 + 1000);
    ASSERT_TRUE(WriteFileBytes(path, cut));
    r = Preview(path, 0);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.why, Refusal::Truncated);
}

TEST(BmpHeader, PaletteFollowsALongerInformationHeader)
{
    // The palette comes after the whole information header (here 124 bytes),
    // not at a fixed offset; the bytes in between are not colours.
    TempDir dir;
    const std::string path = dir.File("v5.bmp");
    std::vector<uint8_t> bytes(14 + 124 + 8 + 4, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    StoreLE32(bytes.data() + 10, 14 + 124 + 8);
    StoreLE32(bytes.data() + 14, 124);
    StoreLE32(bytes.data() + 18, 2);
    StoreLE32(bytes.data() + 22, 1);
    StoreLE16(bytes.data() + 26, 1);
    StoreLE16(bytes.data() + 28, 1);
    StoreLE32(bytes.data() + 46, 2);
    for (size_t b = 54; b < 138; ++b)
        bytes[b] = 0x55;
    const uint8_t palette[8] = {1, 2, 3, 0, 4, 5, 6, 0};
    std::memcpy(bytes.data() + 138, palette, 8);
    bytes[146] = 0x40;  // pixels 0, 1
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    const Result r = Preview(path, 1);
    ASSERT_EQ(r.ok, 1);
    const std::vector<uint8_t> expect = {1, 2, 3, 4, 5, 6, 0, 0};
    EXPECT_EQ(r.block, expect);
}

TEST(BmpHeader, SizeOnlyAndPreviewCallsLeaveNothingBehind)
{
    // LeakSanitizer checks the palette in both cases.
    EXPECT_EQ(Preview(TestData("bmp8_213x41.bmp"), 0).ok, 1);
    EXPECT_EQ(Preview(TestData("bmp8_213x41.bmp"), 1).ok, 1);
    FakeMemory memory(64 * MiB, 64 * MiB);
    memory.FailAll(true);
    const Result r = Preview(TestData("bmp8_213x41.bmp"), 1);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.why, Refusal::OutOfMemory);
}

// ---- pixel rows ------------------------------------------------------------

// 24-bit pixel of stored row j, column x: blue x low, green x high, red j.
uint8_t Coded(uint32_t j, uint32_t b)
{
    const uint32_t x = b / 3;
    switch (b % 3) {
    case 0: return static_cast<uint8_t>(x);
    case 1: return static_cast<uint8_t>(x >> 8);
    default: return static_cast<uint8_t>(j);
    }
}

TEST(BmpRows, FittedPreviewTakesEveryOtherRowAndColumnBottomRowFirst)
{
    TempDir dir;
    const std::string path = dir.File("coded.bmp");
    ASSERT_TRUE(WriteFileBytes(path, MakeBmp(400, 300, 24, {}, Coded)));
    Result r = Preview(path, 1);
    ASSERT_EQ(r.ok, 1);
    ASSERT_EQ(r.summary.nPreviewWidth, 200);
    ASSERT_EQ(r.summary.nPreviewHeight, 150);
    for (uint32_t row = 0; row < 150; ++row) {  // block row = stored row / 2
        for (uint32_t x = 0; x < 200; ++x) {
            const uint8_t* px = r.block.data() + row * Stride(200) + 3 * x;
            ASSERT_EQ(px[0], static_cast<uint8_t>(2 * x)) << row << "," << x;
            ASSERT_EQ(px[1], (2 * x) >> 8);
            ASSERT_EQ(px[2], static_cast<uint8_t>(2 * row));
        }
    }
    r = Preview(path, 2);
    ASSERT_EQ(r.ok, 1);
    ASSERT_EQ(r.summary.nPreviewHeight, 300);
    for (uint32_t row : {0u, 1u, 150u, 299u}) {
        for (uint32_t x : {0u, 1u, 257u, 399u}) {
            const uint8_t* px = r.block.data() + row * Stride(400) + 3 * x;
            EXPECT_EQ(px[0], static_cast<uint8_t>(x));
            EXPECT_EQ(px[1], x >> 8);
            EXPECT_EQ(px[2], static_cast<uint8_t>(row));
        }
    }
}

TEST(BmpRows, StoredPixelBlueGreenRedStaysInThatOrder)
{
    TempDir dir;
    const std::string path = dir.File("one.bmp");
    ASSERT_TRUE(WriteFileBytes(path, MakeBmp(1, 1, 24, {}, [](uint32_t, uint32_t b) {
        const uint8_t v[4] = {0x10, 0x20, 0x30, 0};
        return v[b];
    })));
    const Result r = Preview(path, 1);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.block, (std::vector<uint8_t>{0x10, 0x20, 0x30, 0}));
}

TEST(BmpRows, RowsNotNeededAreSkippedNotRead)
{
    if (BytesRead() < 0)
        GTEST_SKIP() << "no /proc/self/io";
    TempDir dir;
    const std::string path = dir.File("big.bmp");
    // 600 x 4000 at 24 bits: 1800-byte rows, 7.2 MB; the preview needs 200 rows.
    ASSERT_TRUE(WriteFileBytes(path, MakeBmp(600, 4000, 24, {}, Coded)));
    const long long before = BytesRead();
    const Result r = Preview(path, 1);
    const long long read = BytesRead() - before;
    ASSERT_EQ(r.ok, 1);
    ASSERT_EQ(r.summary.nPreviewHeight, 200);
    EXPECT_LT(read, 2 * 200 * 1800);
}

TEST(BmpRows, FileCutShortShowsTheMissingRowsBlack)
{
    TempDir dir;
    const std::string path = dir.File("cut.bmp");
    // 8 bits with a white entry 0 and index 1 grey: rows that a file cut
    // short does not hold must not show entry 0 (or anything stale).
    std::vector<uint8_t> palette = {255, 255, 255, 0, 90, 90, 90, 0};
    auto bytes = MakeBmp(4, 10, 8, palette, [](uint32_t, uint32_t) { return uint8_t(1); });
    bytes.resize(bytes.size() - 4 * 6 - 2);  // 3 rows whole, the 4th cut
    ASSERT_TRUE(WriteFileBytes(path, bytes));

    Result r = Preview(path, 1);
    ASSERT_EQ(r.ok, 1);
    ASSERT_EQ(r.summary.nPreviewHeight, 10);
    for (uint32_t row = 0; row < 10; ++row) {
        const uint8_t want = row < 3 ? 90 : 0;
        for (uint32_t b = 0; b < 12; ++b)
            EXPECT_EQ(r.block[row * 12 + b], want) << row;
    }
    // The size is known from the header alone.
    r = Preview(path, 0);
    EXPECT_EQ(r.ok, 1);
    // A full-size preview needs every declared row.
    r = Preview(path, 2);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.why, Refusal::LargerThanFile);
    // Nothing at all to show: not even one whole row.
    bytes.resize(54 + 8 + 3);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    EXPECT_EQ(Preview(path, 1).why, Refusal::LargerThanFile);
}

TEST(BmpRows, TopDownFileCutShortLosesItsBottomRows)
{
    TempDir dir;
    const std::string path = dir.File("topcut.bmp");
    auto bytes = MakeBmp(1, -4, 24, {}, [](uint32_t j, uint32_t b) { return uint8_t(b < 3 ? 10 + j : 0); });
    bytes.resize(bytes.size() - 4);  // the last stored (bottom) row is gone
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    const Result r = Preview(path, 1);
    ASSERT_EQ(r.ok, 1);
    ASSERT_EQ(r.summary.nPreviewHeight, 4);
    EXPECT_EQ(r.block[0], 0);   // bottom row missing
    EXPECT_EQ(r.block[4], 12);  // then stored rows 2, 1, 0
    EXPECT_EQ(r.block[8], 11);
    EXPECT_EQ(r.block[12], 10);
}

TEST(BmpRows, HugeDeclaredSizesInATinyFileStayCheap)
{
    TempDir dir;
    const std::string path = dir.File("liar.bmp");
    // Claims 2^31 - 1 rows of one pixel; holds one.
    auto tall = MakeBmp(1, 1, 24, {}, [](uint32_t, uint32_t b) { return uint8_t(b < 3 ? 50 : 0); });
    StoreLE32(tall.data() + 22, 0x7FFFFFFF);
    ASSERT_TRUE(WriteFileBytes(path, tall));
    Result r = Preview(path, 1);
    ASSERT_EQ(r.ok, 1);
    ASSERT_EQ(r.summary.nPreviewHeight, 200);
    EXPECT_EQ(r.block[0], 50);  // the one stored row is the bottom one
    EXPECT_EQ(r.block[4], 0);
    EXPECT_EQ(Preview(path, 2).why, Refusal::LargerThanFile);

    // Claims rows of 2^31 - 1 pixels: the row alone would be gigabytes.
    auto wide = tall;
    StoreLE32(wide.data() + 18, 0x7FFFFFFF);
    StoreLE32(wide.data() + 22, 1);
    ASSERT_TRUE(WriteFileBytes(path, wide));
    EXPECT_EQ(Preview(path, 0).ok, 1);
    EXPECT_EQ(Preview(path, 1).why, Refusal::LargerThanFile);
    EXPECT_EQ(Preview(path, 2).why, Refusal::LargerThanFile);

    // Pixel data said to start past the end of the file.
    auto away = tall;
    StoreLE32(away.data() + 22, 1);
    StoreLE32(away.data() + 10, 0xFFFFFFF0u);
    ASSERT_TRUE(WriteFileBytes(path, away));
    EXPECT_EQ(Preview(path, 1).why, Refusal::LargerThanFile);
}

TEST(BmpRows, FullSizePreviewTallerThan65536Rows)
{
    TempDir dir;
    const std::string path = dir.File("tall.bmp");
    const uint32_t rows = 70000;
    // One 1-bit pixel per row: set in every third stored row.
    std::vector<uint8_t> palette = {0, 0, 0, 0, 255, 255, 255, 0};
    ASSERT_TRUE(WriteFileBytes(path, MakeBmp(1, rows, 1, palette, [](uint32_t j, uint32_t b) {
        return uint8_t(b == 0 && j % 3 == 0 ? 0x80 : 0);
    })));
    const Result r = Preview(path, 2);
    ASSERT_EQ(r.ok, 1);
    ASSERT_EQ(r.summary.nPreviewHeight, static_cast<int32_t>(rows));
    for (uint32_t j = 0; j < rows; ++j) {  // block row j is stored row j
        const uint8_t want = j % 3 == 0 ? 255 : 0;
        ASSERT_EQ(r.block[j * 4], want) << j;
        ASSERT_EQ(r.block[j * 4 + 2], want) << j;
    }
}

TEST(BmpRows, FullSizePreviewHoldsThePictureOnce)
{
    // Rows go straight into the preview block: besides it, only a stored row
    // and one row of planes are allocated.
    TempDir dir;
    const std::string path = dir.File("once.bmp");
    ASSERT_TRUE(WriteFileBytes(path, MakeBmp(600, 400, 24, {}, Coded)));
    FakeMemory memory(4096 * MiB, 4096 * MiB);
    const Result r = Preview(path, 2);
    ASSERT_EQ(r.ok, 1);
    size_t total = 0;
    for (size_t bytes : FakeMemory::requests)
        total += bytes;
    const size_t block = static_cast<size_t>(Stride(600)) * 400;
    EXPECT_LT(total, block + 8 * 1024);
    EXPECT_EQ(r.block[3 * 257], 257 & 0xFF);
}

TEST(BmpRows, ReadPlanesFillsPlanesTopRowFirst)
{
    TempDir dir;
    const std::string path = dir.File("planes.bmp");
    ASSERT_TRUE(WriteFileBytes(path, MakeBmp(3, 3, 8, GreyRamp(256), [](uint32_t j, uint32_t b) {
        return uint8_t(j * 10 + b);
    })));
    CBmpIo io(path.c_str());
    ASSERT_TRUE(io.m_file.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive));
    ASSERT_EQ(io.ReadHeader(), 1);
    EXPECT_EQ(io.m_nColorMode, COLOR_INDEXED);
    EXPECT_EQ(io.m_nPaletteSize, 256);
    EXPECT_EQ(io.m_nChannels, 1u);
    EXPECT_EQ(io.m_bPlanar, 1);
    std::vector<unsigned char> plane(8 * 3, 0xEE);
    unsigned char* planes[1] = {plane.data()};
    ASSERT_EQ(io.ReadPlanes(3, 3, planes), 1);
    EXPECT_EQ(plane[0], 20);  // top row: the last stored
    EXPECT_EQ(plane[2], 22);
    EXPECT_EQ(plane[16], 0);  // bottom row: the first stored
    EXPECT_EQ(plane[18], 2);
    EXPECT_EQ(io.ReadPlanes(4, 3, planes), 0);  // wider than the picture
    EXPECT_EQ(io.m_nRefusal, Refusal::PreviewFailed);
}

}  // namespace

namespace {

TEST(BmpCli, InfoTellsWhyAPictureWasRefused)
{
    TempDir dir;
    const std::string cut = dir.File("cut.bmp");
    auto bytes = MakeBmp(40, 30, 24, {}, Coded);
    bytes.resize(bytes.size() / 2);
    ASSERT_TRUE(WriteFileBytes(cut, bytes));
    struct Case {
        std::string file;
        const char* mode;
        const char* expect;
    } cases[] = {
        {TestData("bmpsuite/q/rgb24jpeg.bmp"), "1",
         "\"error\":\"refused: JPEG or PNG inside a BMP\",\"reason\":\"BmpEmbeddedImage\""},
        {cut, "2", "\"reason\":\"LargerThanFile\""},
    };
    for (const Case& c : cases) {
        const std::string command = std::string("'") + QUORVEL_CLI + "' info --json --mode " + c.mode +
                                    " --colour-dir '" + dir.path() + "' '" + c.file + "' 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buf[256];
        while (size_t n = fread(buf, 1, sizeof buf, pipe))
            out.append(buf, n);
        EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 1) << out;
        EXPECT_NE(out.find(c.expect), std::string::npos) << out;
        EXPECT_NE(out.find("\"ok\":false"), std::string::npos) << out;
    }
}

TEST(BmpCli, PreviewOfTheBundledSamplesWritesPngFiles)
{
    TempDir dir;
    for (const char* sample : {"plasma24_160x100.bmp", "shapes4_320x200.bmp"}) {
        const std::string out = dir.File(std::string(sample) + ".png");
        const std::string command = std::string("'") + QUORVEL_CLI + "' preview --colour-dir '" + dir.path() +
                                    "' -o '" + out + "' '" + QUORVEL_SAMPLES + "/" + sample + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << sample;
        const std::vector<uint8_t> png = ReadFileBytes(out);
        ASSERT_GE(png.size(), 8u) << sample;
        EXPECT_EQ(std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8), 0) << sample;
    }
}

}  // namespace
