// PCX: fixtures from independent writers against independent decoders, and
// hand-built files for the layouts and damage no writer produces.
#include "Bytes.h"
#include "StepSampling.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

struct PcxLayout {
    uint8_t version = 5;
    uint8_t bits = 8;
    uint8_t planes = 1;
    uint16_t lineBytes = 0;  // 0: the width's bytes
    int16_t paletteInfo = 1;
    uint16_t xRes = 0;
    uint16_t yRes = 0;
};

// A PCX file of `width` x `height` whose encoded data is `data`; `tail`
// follows it (a palette block, say).
std::vector<uint8_t> MakePcx(uint32_t width, uint32_t height, const PcxLayout& l, const std::vector<uint8_t>& data,
                             const std::vector<uint8_t>& tail = {})
{
    std::vector<uint8_t> v(128, 0);
    v[0] = 10;
    v[1] = l.version;
    v[2] = 1;
    v[3] = l.bits;
    auto put16 = [&](size_t at, uint32_t x) { Set16(v, at, x, false); };
    put16(8, width - 1);
    put16(10, height - 1);
    put16(12, l.xRes);
    put16(14, l.yRes);
    for (int k = 0; k < 16; ++k) {  // header palette: entry k = (k*16, 255 - k*16, k)
        v[16 + 3 * k] = static_cast<uint8_t>(k * 16);
        v[17 + 3 * k] = static_cast<uint8_t>(255 - k * 16);
        v[18 + 3 * k] = static_cast<uint8_t>(k);
    }
    v[65] = l.planes;
    put16(66, l.lineBytes != 0 ? l.lineBytes : (width * l.bits + 7) / 8);
    put16(68, static_cast<uint16_t>(l.paletteInfo));
    v.insert(v.end(), data.begin(), data.end());
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

// Encodes rows of decoded bytes with runs of at most 63 that never cross a row.
std::vector<uint8_t> Encode(const std::vector<std::vector<uint8_t>>& rows)
{
    std::vector<uint8_t> out;
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size();) {
            size_t n = 1;
            while (i + n < row.size() && row[i + n] == row[i] && n < 63)
                ++n;
            if (n > 1 || row[i] >= 0xC0)
                out.push_back(static_cast<uint8_t>(0xC0 | n));
            out.push_back(row[i]);
            i += n;
        }
    }
    return out;
}

std::vector<std::vector<uint8_t>> Rows(uint32_t count, uint32_t bytes, std::function<uint8_t(uint32_t, uint32_t)> f)
{
    std::vector<std::vector<uint8_t>> rows(count, std::vector<uint8_t>(bytes));
    for (uint32_t y = 0; y < count; ++y)
        for (uint32_t x = 0; x < bytes; ++x)
            rows[y][x] = f(y, x);
    return rows;
}

}  // namespace

// Which decoder reads which layout is recorded in tests/data/README.md.
TEST(PcxIo, FixturesMatchIndependentDecoders)
{
    QUORVEL_REQUIRE_TOOL("convert");
    QUORVEL_REQUIRE_TOOL("pcxtoppm");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    enum Oracle { Pillow, Netpbm, Magick };
    struct Case {
        const char* name;
        Oracle oracle;
    };
    const Case cases[] = {
        {"pcx1_pil_37x23.pcx", Pillow},           {"pcx1_netpbm_221x19.pcx", Pillow},
        {"pcx4planes_netpbm_37x23.pcx", Pillow},  {"pcx4planes_netpbm_213x41.pcx", Pillow},
        {"pcx4_netpbm_packed_213x41.pcx", Netpbm}, {"pcx2_netpbm_packed_37x23.pcx", Netpbm},
        {"pcx8_im_213x41.pcx", Pillow},           {"pcx8_gm_37x23.pcx", Pillow},
        {"pcx8_pil_grey_37x23.pcx", Pillow},      {"pcx24_pil_37x23.pcx", Pillow},
        {"pcx24_gm_7x251.pcx", Pillow},           {"pcx32_im_37x23.pcx", Magick},
    };
    for (const Case& c : cases) {
        const std::string path = TestData(c.name);
        RgbImage reference;
        const bool decoded = c.oracle == Pillow   ? DecodeWithPillow(path, &reference)
                             : c.oracle == Netpbm ? DecodeWithCommand("pcxtoppm '" + path + "'", &reference)
                                                  : DecodeWithImageMagick(path, &reference, "-alpha off");
        ASSERT_TRUE(decoded) << c.name;
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(path, mode, reference,
                                       StepSampling(reference.width, reference.height, mode == 2, false)))
                << c.name << " mode " << mode;
    }
}

TEST(PcxIo, SizesResolutionsAndStepRule)
{
    TempDir dir;
    const std::string path = dir.File("a.pcx");
    struct Case {
        uint32_t w, h;
        uint16_t xRes, yRes;
        uint32_t dibW, dibH;
    };
    for (const Case& c : {Case{640, 480, 300, 150, 106, 80}, Case{201, 50, 0, 150, 100, 25},
                          Case{200, 200, 0, 0, 200, 200}}) {
        PcxLayout l;
        l.paletteInfo = 2;  // one plane, not colour: indices are grey levels
        l.xRes = c.xRes;
        l.yRes = c.yRes;
        ASSERT_TRUE(WriteFileBytes(path, MakePcx(c.w, c.h, l, Encode(Rows(c.h, c.w, [](uint32_t y, uint32_t x) {
                                                      return static_cast<uint8_t>(x + 7 * y);
                                                  })))));
        const QuorvelRun r = RunQuorvel(path, 1);
        ASSERT_TRUE(r.ok) << c.w;
        EXPECT_EQ(r.width, c.dibW);
        EXPECT_EQ(r.height, c.dibH);
        EXPECT_FLOAT_EQ(r.widthInches, c.w / (c.xRes ? c.xRes : 72.0f));
        EXPECT_FLOAT_EQ(r.heightInches, c.h / (c.yRes ? c.yRes : 72.0f));
        // Preview pixel (x, y) is stored pixel (x * step, y * step), grey.
        const uint32_t step = c.w / c.dibW;
        const uint8_t v = static_cast<uint8_t>(5 * step + 7 * 3 * step);
        EXPECT_EQ(r.Pixel(5, 3), (std::vector<uint8_t>{v, v, v}));
    }
}

PcxLayout Layout(uint8_t version, uint8_t bits, int16_t paletteInfo)
{
    PcxLayout l;
    l.version = version;
    l.bits = bits;
    l.paletteInfo = paletteInfo;
    return l;
}

// The data ends inside row 1 of 3.
std::vector<uint8_t> CutShort() { return MakePcx(4, 3, Layout(5, 4, 1), {0xC2, 0x55, 0xC1, 0x55}); }

TEST(PcxIo, PalettesAndDamagedStreams)
{
    TempDir dir;
    const std::string path = dir.File("p.pcx");
    const auto rows = Encode(Rows(2, 4, [](uint32_t, uint32_t x) { return static_cast<uint8_t>(x * 7); }));
    // Version 3 takes the stock palette whatever the header holds; indices
    // past its 20 colours repeat the last one (white).
    const auto stock = MakePcx(4, 2, Layout(3, 8, 1), rows, std::vector<uint8_t>(769, 0));
    // A 4-bit file takes the header palette (red, green, blue per entry).
    const auto header = MakePcx(4, 1, Layout(5, 4, 1), Encode({{0x01, 0x2F}}));
    // 2-bit samples read as grey span black to white.
    const auto grey2 = MakePcx(4, 1, Layout(5, 2, 2), Encode({{0x1B}}));
    // A run of 8 of which 2 fit: the rest goes on in the next rows (a count
    // of 0 gives nothing).
    const auto longRun = MakePcx(4, 3, Layout(5, 8, 2), {0xC2, 9, 0xC8, 200, 0xC0, 50, 0xC4, 77});
    // Plane lines of 2 bytes in a 4-pixel picture: columns 2 and 3 are black.
    PcxLayout shortLine = Layout(5, 8, 2);
    shortLine.lineBytes = 2;
    const auto narrow = MakePcx(4, 2, shortLine, {0xC4, 90});
    // 8 bits without the palette block at the end: grey levels.
    const auto noBlock = MakePcx(4, 2, PcxLayout{}, Encode(Rows(2, 4, [](uint32_t, uint32_t x) {
                                     return static_cast<uint8_t>(x + 60);
                                 })),
                                 std::vector<uint8_t>(769, 7));
    // Rows the data does not reach are black.
    const auto cut = CutShort();
    struct Check {
        const std::vector<uint8_t>& file;
        int32_t x, y;
        std::vector<uint8_t> rgb;
    };
    const Check checks[] = {
        {stock, 1, 0, {192, 192, 192}},  {stock, 3, 0, {255, 255, 255}},  {header, 3, 0, {240, 15, 15}},
        {grey2, 1, 0, {85, 85, 85}},     {grey2, 3, 0, {255, 255, 255}},   {longRun, 3, 0, {200, 200, 200}},
        {longRun, 3, 1, {200, 200, 200}}, {longRun, 0, 2, {200, 200, 200}}, {longRun, 2, 2, {77, 77, 77}},
        {cut, 0, 0, {80, 175, 5}},       {cut, 0, 1, {0, 0, 0}},           {cut, 3, 2, {0, 0, 0}},
        {narrow, 1, 1, {90, 90, 90}},    {narrow, 2, 1, {0, 0, 0}},        {noBlock, 3, 1, {63, 63, 63}},
    };
    for (const Check& c : checks) {
        ASSERT_TRUE(WriteFileBytes(path, c.file));
        const QuorvelRun r = RunQuorvel(path, 1);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.Pixel(c.x, c.y), c.rgb) << &c - checks;
    }
}

TEST(PcxIo, RefusedFiles)
{
    TempDir dir;
    const std::string path = dir.File("r.pcx");
    const auto with = [](std::function<void(PcxLayout&)> change) {
        PcxLayout l;
        change(l);
        return MakePcx(8, 2, l, std::vector<uint8_t>(64, 1));
    };
    // 256 colours in two 4-bit planes without the palette block: no colours.
    PcxLayout twoPlanes = Layout(5, 4, 1);
    twoPlanes.planes = 2;
    const auto noPalette = MakePcx(4, 2, twoPlanes, Encode(Rows(2, 4, [](uint32_t, uint32_t) { return 1; })),
                                   std::vector<uint8_t>(769, 7));
    // A tiny file declaring a huge picture allocates nothing.
    const auto huge = MakePcx(30000, 30000, Layout(5, 8, 2), {0xC1, 0});
    struct Case {
        std::vector<uint8_t> bytes;
        Refusal why;
        int mode = 1;
    };
    const Case cases[] = {
        {{}, Refusal::PcxSignature},
        {{10, 5, 1, 8, 0}, Refusal::Truncated},
        {with([](PcxLayout& l) { l.bits = 0; }), Refusal::UnsupportedDepth},
        {with([](PcxLayout& l) { l.bits = 3; }), Refusal::UnsupportedDepth},
        {with([](PcxLayout& l) { l.planes = 2; }), Refusal::PcxLayout},
        {with([](PcxLayout& l) { l.planes = 0; }), Refusal::PcxLayout},
        {noPalette, Refusal::PcxNoPalette},
        {huge, Refusal::LargerThanFile},
        {huge, Refusal::LargerThanFile, 2},
        // A full-size preview needs every row.
        {CutShort(), Refusal::RowsMissing, 2},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        const QuorvelRun r = RunQuorvel(path, c.mode);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.why, c.why) << RefusalName(r.why);
    }
}

TEST(PcxIo, FailedAllocationsLeaveNothing)
{
    const std::string path = TestData("pcx8_im_213x41.pcx");
    for (int n = 0; n < 4; ++n) {
        FailNthAllocation failing(n);
        EXPECT_FALSE(RunQuorvel(path, 1).ok) << n;
    }
}
