#include "FormatTable.h"
#include "ImageIo.h"
#include "cvt_test.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {


// Plane storage for a reader's current preview size.
struct Planes {
    Planes(const CImageIo& io, uint32_t count)
    {
        stride = AlignedRowBytes(io.m_nDibWidth * 8);
        bytes.assign(static_cast<size_t>(count) * stride * io.m_nDibHeight, 0);
        for (uint32_t k = 0; k < count; ++k)
            ptr[k] = bytes.data() + static_cast<size_t>(k) * stride * io.m_nDibHeight;
    }
    unsigned char at(uint32_t k, uint32_t row, uint32_t col) const { return ptr[k][row * stride + col]; }
    std::vector<unsigned char> bytes;
    unsigned char* ptr[4] = {};
    uint32_t stride = 0;
};

CImageIo* Reader(const char* path, uint32_t w, uint32_t h, uint32_t dw, uint32_t dh, int mode)
{
    auto* io = new CImageIo;
    io->m_pszPath = path;
    io->m_nWidth = w;
    io->m_nHeight = h;
    io->m_nDibWidth = dw;
    io->m_nDibHeight = dh;
    io->m_nColorMode = mode;
    // The channel order comes from the format table, as the dispatch sets it.
    if (const FormatInfo* row = FindFormat(FormatFromExtension(path)))
        io->m_bBgrRows = row->bgrRows;
    return io;
}

TEST(ComputeDibSize, FitsTheLongerSideWithSinglePrecisionScale)
{
    struct Case {
        uint32_t w, h, dw, dh;
    };
    const Case cases[] = {
        {1000, 500, 200, 100}, {1024, 768, 200, 150}, {800, 600, 200, 150}, {640, 480, 199, 149},
        {201, 100, 200, 99},   {300, 301, 199, 200},  {4000, 1, 200, 1},    {1, 4000, 1, 200},
        {150, 200, 150, 200},  {200, 200, 200, 200},  {1, 1, 1, 1},         {100000, 3, 200, 1},
    };
    for (const Case& c : cases) {
        CImageIo io;
        io.m_nWidth = c.w;
        io.m_nHeight = c.h;
        EXPECT_EQ(io.ComputeDibSize(), 1);
        EXPECT_EQ(io.m_nDibWidth, c.dw) << c.w << "x" << c.h;
        EXPECT_EQ(io.m_nDibHeight, c.dh) << c.w << "x" << c.h;
    }
}

TEST(ComputeDibSize, FullSizeKeepsTheSourceSize)
{
    CImageIo io;
    io.m_nWidth = 5000;
    io.m_nHeight = 4000;
    io.m_bFullSize = 1;
    io.ComputeDibSize();
    EXPECT_EQ(io.m_nDibWidth, 5000u);
    EXPECT_EQ(io.m_nDibHeight, 4000u);
}

TEST(FirstMatchIndices, TakesTheFirstSourceIndexOfEachPreviewIndex)
{
    EXPECT_EQ(FirstMatchIndices(10, 4), (std::vector<uint32_t>{0, 3, 5, 8}));
    EXPECT_EQ(FirstMatchIndices(5, 5), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(FirstMatchIndices(400, 200).back(), 398u);
    EXPECT_TRUE(FirstMatchIndices(0, 5).empty());
    EXPECT_TRUE(FirstMatchIndices(5, 0).empty());
}

TEST(FirstMatchIndices, AgreesWithTheLiteralWalk)
{
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (uint32_t n = 1; n <= 420; n += 7)
        for (uint32_t m = 1; m <= n; m += 3)
            pairs.emplace_back(n, m);
    for (uint32_t n : {640u, 480u, 301u, 4000u, 12000u, 9000u, 65537u, 99991u, 1000003u}) {
        CImageIo io;
        io.m_nWidth = n;
        io.m_nHeight = 7;
        io.ComputeDibSize();
        pairs.emplace_back(n, io.m_nDibWidth);
        pairs.emplace_back(n, n - 1);
        pairs.emplace_back(n, n / 3);
    }
    for (const auto& [n, m] : pairs)
        ASSERT_EQ(FirstMatchIndices(n, m), WalkFirstMatch(n, m)) << n << " -> " << m;
}

TEST(FirstMatchIndices, HugeSourceExtentIsCheap)
{
    // A damaged header may claim billions of rows; choosing 200 of them must
    // not walk them all.
    const std::vector<uint32_t> rows = FirstMatchIndices(UINT32_MAX, 200);
    ASSERT_EQ(rows.size(), 200u);
    EXPECT_EQ(rows[0], 0u);
    for (size_t i = 1; i < rows.size(); ++i) {
        const float q = static_cast<float>(200.0 / UINT32_MAX);
        EXPECT_EQ(static_cast<uint64_t>(rows[i] * static_cast<double>(q)), i);
        EXPECT_LT(static_cast<uint64_t>((rows[i] - 1.0) * static_cast<double>(q)), i);
    }
}

TEST(SampleRow, ChoosesColumnsAndUnpacksBits)
{
    std::unique_ptr<CImageIo> io(Reader("x.tif", 10, 1, 4, 1, COLOR_GREY));
    io->m_nSamplesPerPixel = 1;
    Planes planes(*io, 1);
    const unsigned char row[10] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    EXPECT_EQ(io->SampleRow(0, row, planes.ptr), 1);
    EXPECT_EQ(planes.at(0, 0, 0), 10);
    EXPECT_EQ(planes.at(0, 0, 1), 13);
    EXPECT_EQ(planes.at(0, 0, 2), 15);
    EXPECT_EQ(planes.at(0, 0, 3), 18);

    io.reset(Reader("x.tif", 8, 1, 8, 1, COLOR_BILEVEL));
    io->m_nBitsPerSample = 1;
    Planes bilevel(*io, 1);
    const unsigned char bits[1] = {0x80};
    io->SampleRow(0, bits, bilevel.ptr);
    EXPECT_EQ(bilevel.at(0, 0, 0), 1);
    for (uint32_t x = 1; x < 8; ++x)
        EXPECT_EQ(bilevel.at(0, 0, x), 0) << x;

    io.reset(Reader("x.tif", 3, 1, 3, 1, COLOR_INDEXED));
    io->m_nBitsPerSample = 4;
    Planes nibbles(*io, 1);
    const unsigned char packed[2] = {0x4A, 0x70};
    io->SampleRow(0, packed, nibbles.ptr);
    EXPECT_EQ(nibbles.at(0, 0, 0), 4);
    EXPECT_EQ(nibbles.at(0, 0, 1), 10);
    EXPECT_EQ(nibbles.at(0, 0, 2), 7);
}

TEST(SampleRow, InterleavedAndPlanarSourceLayouts)
{
    // Grey with two samples per pixel, interleaved: the first of each pair.
    std::unique_ptr<CImageIo> io(Reader("x.tif", 3, 1, 3, 1, COLOR_GREY));
    io->m_nSamplesPerPixel = 2;
    io->m_bPlanar = 0;
    Planes grey(*io, 1);
    const unsigned char pairs[6] = {1, 99, 2, 99, 3, 99};
    io->SampleRow(0, pairs, grey.ptr);
    EXPECT_EQ(grey.at(0, 0, 2), 3);

    // RGB, planar: all red, then all green, then all blue.
    io.reset(Reader("x.tif", 2, 2, 2, 2, COLOR_RGB));
    io->m_nSamplesPerPixel = 3;
    io->m_nChannels = 3;
    Planes rgb(*io, 3);
    const unsigned char planar[6] = {1, 2, 3, 4, 5, 6};
    io->SampleRow(1, planar, rgb.ptr);
    EXPECT_EQ(rgb.at(0, 1, 1), 2);
    EXPECT_EQ(rgb.at(1, 1, 0), 3);
    EXPECT_EQ(rgb.at(2, 1, 1), 6);
    EXPECT_EQ(rgb.at(0, 0, 0), 0);  // row 0 untouched

    // RGB, interleaved, not swapped.
    io->m_bPlanar = 0;
    const unsigned char chunky[6] = {10, 20, 30, 40, 50, 60};
    io->SampleRow(0, chunky, rgb.ptr);
    EXPECT_EQ(rgb.at(0, 0, 0), 10);
    EXPECT_EQ(rgb.at(2, 0, 0), 30);
    EXPECT_EQ(rgb.at(1, 0, 1), 50);
}

TEST(SampleRow, BmpAndTgaRowsHoldBlueGreenRed)
{
    for (const char* name : {"photo.bmp", "photo.RLE", "photo.tga"}) {
        std::unique_ptr<CImageIo> io(Reader(name, 1, 1, 1, 1, COLOR_RGB));
        io->m_nSamplesPerPixel = 3;
        io->m_nChannels = 3;
        Planes planes(*io, 3);
        const unsigned char px[3] = {10, 20, 30};
        io->SampleRow(0, px, planes.ptr);
        EXPECT_EQ(planes.at(0, 0, 0), 30) << name;
        EXPECT_EQ(planes.at(1, 0, 0), 20) << name;
        EXPECT_EQ(planes.at(2, 0, 0), 10) << name;
    }
}

TEST(SampleRow, RowPastThePlanesIsNotWritten)
{
    std::unique_ptr<CImageIo> io(Reader("x.tif", 4, 4, 4, 2, COLOR_GREY));
    std::vector<unsigned char> storage(2 * 8 + 8, 0);
    unsigned char* planes[1] = {storage.data()};
    const unsigned char row[4] = {1, 2, 3, 4};
    EXPECT_EQ(io->SampleRow(2, row, planes), 0);
    for (unsigned char b : storage)
        EXPECT_EQ(b, 0);
}

TEST(SampleRow, PreviewRowsBeyond65536AreAddressedExactly)
{
    const uint32_t tall = 70000;
    std::unique_ptr<CImageIo> io(Reader("x.tif", 1, tall, 1, tall, COLOR_GREY));
    Planes planes(*io, 1);
    const unsigned char v = 77;
    io->SampleRow(tall - 1, &v, planes.ptr);
    EXPECT_EQ(planes.at(0, tall - 1, 0), 77);
    EXPECT_EQ(planes.at(0, (tall - 1) - 65536, 0), 0);
}

// Bytes of one preview row.
uint32_t Stride(uint32_t w) { return ((w * 24 + 31) / 32) * 4; }

TEST(PlanesToDib, RgbRowsAreBottomUpBlueGreenRedWithZeroPadding)
{
    std::unique_ptr<CImageIo> io(Reader("x.tif", 3, 2, 3, 2, COLOR_RGB));
    io->m_nChannels = 3;
    Planes planes(*io, 3);
    planes.ptr[0][0] = 255;                 // top row, column 0: red
    planes.ptr[2][planes.stride + 2] = 9;  // bottom row, column 2: blue 9
    std::vector<unsigned char> block(Stride(3) * 2, 0);
    EXPECT_EQ(io->PlanesToDib(planes.ptr, block.data()), 1);
    // The first row of the block is the bottom row of the picture.
    EXPECT_EQ(block[6], 9);
    const unsigned char* top = block.data() + Stride(3);
    EXPECT_EQ(top[0], 0);
    EXPECT_EQ(top[1], 0);
    EXPECT_EQ(top[2], 255);
    for (uint32_t b = 9; b < Stride(3); ++b) {
        EXPECT_EQ(block[b], 0);
        EXPECT_EQ(top[b], 0);
    }
}

TEST(PlanesToDib, PaletteIndicesPastThePaletteAreBlack)
{
    std::unique_ptr<CImageIo> io(Reader("x.bmp", 3, 1, 3, 1, COLOR_INDEXED));
    io->m_nPaletteSize = 2;
    io->m_pPalette = static_cast<unsigned char*>(ImageAlloc(8, 0));
    const unsigned char palette[8] = {1, 2, 3, 0, 4, 5, 6, 0};
    std::memcpy(io->m_pPalette, palette, 8);
    Planes planes(*io, 1);
    planes.ptr[0][0] = 1;
    planes.ptr[0][1] = 2;    // just past the palette
    planes.ptr[0][2] = 255;  // far past it
    std::vector<unsigned char> block(Stride(3), 0xEE);
    io->PlanesToDib(planes.ptr, block.data());
    EXPECT_EQ(block[0], 4);
    EXPECT_EQ(block[1], 5);
    EXPECT_EQ(block[2], 6);
    for (int b = 3; b < 9; ++b)
        EXPECT_EQ(block[b], 0) << b;

    io->m_nColorMode = COLOR_BILEVEL;
    ImageFree(&io->m_pPalette);  // no palette at all: everything black
    planes.ptr[0][0] = 0;
    io->PlanesToDib(planes.ptr, block.data());
    for (int b = 0; b < 9; ++b)
        EXPECT_EQ(block[b], 0) << b;
}

TEST(PlanesToDib, GreyAndUnknownModes)
{
    std::unique_ptr<CImageIo> io(Reader("x.tif", 2, 1, 2, 1, COLOR_CHANNEL));
    Planes planes(*io, 1);
    planes.ptr[0][1] = 42;
    std::vector<unsigned char> block(Stride(2), 0);
    io->PlanesToDib(planes.ptr, block.data());
    EXPECT_EQ(block[3], 42);
    EXPECT_EQ(block[4], 42);
    EXPECT_EQ(block[5], 42);

    io->m_nColorMode = COLOR_NONE;
    std::vector<unsigned char> untouched(Stride(2), 0);
    EXPECT_EQ(io->PlanesToDib(planes.ptr, untouched.data()), 1);
    for (unsigned char b : untouched)
        EXPECT_EQ(b, 0);
}

TEST(PlanesToDib, CmykGoesThroughTheColourTransformPixelByPixel)
{
    std::unique_ptr<CImageIo> io(Reader("x.tif", 5, 2, 5, 2, COLOR_CMYK));
    io->m_nChannels = 4;
    Planes planes(*io, 4);
    for (uint32_t k = 0; k < 4; ++k)
        for (uint32_t y = 0; y < 2; ++y)
            for (uint32_t x = 0; x < 5; ++x)
                planes.ptr[k][y * planes.stride + x] = static_cast<unsigned char>(k * 60 + y * 25 + x * 9);
    std::vector<unsigned char> block(Stride(5) * 2, 0);
    EXPECT_EQ(io->PlanesToDib(planes.ptr, block.data()), 1);
    for (uint32_t y = 0; y < 2; ++y) {
        for (uint32_t x = 0; x < 5; ++x) {
            unsigned char in[4];
            for (uint32_t k = 0; k < 4; ++k)
                in[k] = planes.at(k, y, x);
            unsigned char rgb[3] = {0, 0, 0};
            CmykPixelToRgb(in, rgb);
            const unsigned char* px = block.data() + (1 - y) * Stride(5) + 3 * x;
            EXPECT_EQ(px[0], rgb[2]);
            EXPECT_EQ(px[1], rgb[1]);
            EXPECT_EQ(px[2], rgb[0]);
        }
    }
}

// A reader of rows made up in memory, sampled through SampleRow either into
// planes of the whole preview or row by row straight into the block.
struct RowSource {
    int32_t mode;
    uint32_t bits;        // bits per sample
    uint16_t samples;     // per pixel
    uint32_t channels;
    int32_t planar;
    bool bgr;
    uint16_t palette;     // entries (0: none)
};

class RowReader : public CImageIo {
public:
    RowReader(const RowSource& src, uint32_t w, uint32_t h, bool full, bool whole, uint32_t skip)
        : m_whole(whole), m_skip(skip)
    {
        m_nWidth = w;
        m_nHeight = h;
        m_bFullSize = full;
        m_nColorMode = src.mode;
        m_nBitsPerSample = static_cast<int32_t>(src.bits);
        m_nSamplesPerPixel = src.samples;
        m_nChannels = src.channels;
        m_bPlanar = src.planar;
        m_bBgrRows = src.bgr;
        if (src.palette != 0) {
            m_nPaletteSize = src.palette;
            m_pPalette = static_cast<unsigned char*>(ImageAlloc(4u * src.palette, 0));
            for (uint32_t i = 0; i < 4u * src.palette; ++i)
                m_pPalette[i] = static_cast<unsigned char>(i * 7 + 3);
        }
        // Wide enough for every layout: planar rows hold each sample plane.
        const size_t rowBytes = static_cast<size_t>(w) * src.samples * 2 + 8;
        for (uint32_t y = 0; y < h; ++y) {
            std::vector<unsigned char> row(rowBytes);
            for (size_t i = 0; i < rowBytes; ++i)
                row[i] = static_cast<unsigned char>((y * 131 + i * 29 + (i * i) / 7) & 0xFF);
            m_rows.push_back(row);
        }
    }
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override
    {
        return MakePlanesPreview(width, height, bits);
    }

protected:
    int ReadPreviewRows(unsigned char* const* planes) override
    {
        const std::vector<uint32_t> rows = FirstMatchIndices(m_nHeight, m_nDibHeight);
        for (uint32_t i = 0; i < rows.size(); ++i)
            if (i != m_skip)
                SampleRow(i, m_rows[rows[i]].data(), planes);
        return 1;
    }
    bool SamplesWholeRows() const override { return m_whole; }

private:
    bool m_whole;
    uint32_t m_skip;  // a preview row never sampled
    std::vector<std::vector<unsigned char>> m_rows;
};

TEST(RowByRowPreview, SameBytesAsThroughWholePlanes)
{
    const RowSource sources[] = {
        {COLOR_RGB, 8, 3, 3, 0, false, 0},    // interleaved red, green, blue
        {COLOR_RGB, 8, 4, 4, 0, false, 0},    // with an extra sample
        {COLOR_RGB, 8, 3, 3, 1, false, 0},    // one plane after another
        {COLOR_RGB, 8, 3, 3, 1, true, 0},     // blue, green, red
        {COLOR_CMYK, 8, 4, 4, 0, false, 0},
        {COLOR_INDEXED, 8, 1, 1, 1, false, 200},  // indices past the palette too
        {COLOR_INDEXED, 4, 1, 1, 1, false, 16},
        {COLOR_BILEVEL, 1, 1, 1, 1, false, 2},
        {COLOR_GREY, 8, 2, 1, 0, false, 0},
    };
    for (const RowSource& src : sources) {
        for (bool full : {false, true}) {
            for (uint32_t skip : {UINT32_MAX, 5u}) {
                SCOPED_TRACE(testing::Message() << "mode " << src.mode << " samples " << src.samples
                                                << " planar " << src.planar << " full " << full);
                std::vector<unsigned char> blocks[2];
                for (bool whole : {false, true}) {
                    RowReader io(src, 457, 233, full, whole, skip);
                    int32_t w = 0, h = 0;
                    unsigned char* bits = nullptr;
                    ASSERT_EQ(io.MakeDib(&w, &h, &bits), 1);
                    blocks[whole].assign(bits, bits + static_cast<size_t>(Stride(w)) * h);
                    ImageFree(&bits);
                    EXPECT_EQ(io.m_pPalette, nullptr);  // consumed either way
                }
                EXPECT_TRUE(blocks[0] == blocks[1]);
            }
        }
    }
}

TEST(RowByRowPreview, HoldsOneRowOfPlanesBesideTheBlock)
{
    const RowSource rgb{COLOR_RGB, 8, 3, 3, 0, false, 0};
    FakeMemory memory(4096 * MiB, 4096 * MiB);
    RowReader io(rgb, 1000, 700, true, true, UINT32_MAX);
    int32_t w = 0, h = 0;
    unsigned char* bits = nullptr;
    ASSERT_EQ(io.MakeDib(&w, &h, &bits), 1);
    size_t total = 0;
    for (size_t bytes : FakeMemory::requests)
        total += bytes;
    EXPECT_LT(total, static_cast<size_t>(Stride(1000)) * 700 + 4 * 1024);
    ImageFree(&bits);
}

}  // namespace
