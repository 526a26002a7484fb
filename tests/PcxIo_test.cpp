// PCX: fixtures from independent writers against independent decoders, and
// hand-built files for the layouts and damage no writer produces.
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
    auto put16 = [&](size_t at, uint32_t x) {
        v[at] = static_cast<uint8_t>(x);
        v[at + 1] = static_cast<uint8_t>(x >> 8);
    };
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
        EXPECT_EQ(RunQuorvel(path, 2).width, c.w);
    }
}

TEST(PcxIo, PaletteSources)
{
    TempDir dir;
    const std::string path = dir.File("p.pcx");
    const auto rows = Encode(Rows(2, 4, [](uint32_t, uint32_t x) { return static_cast<uint8_t>(x * 7); }));
    // Version 3 takes the stock palette whatever the header holds; indices
    // past its 20 colours repeat the last one (white).
    PcxLayout l;
    l.version = 3;
    ASSERT_TRUE(WriteFileBytes(path, MakePcx(4, 2, l, rows, std::vector<uint8_t>(769, 0))));
    QuorvelRun r = RunQuorvel(path, 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.Pixel(1, 0), (std::vector<uint8_t>{192, 192, 192}));  // index 7
    EXPECT_EQ(r.Pixel(3, 0), (std::vector<uint8_t>{255, 255, 255}));  // index 21
    // A 4-bit file takes the header palette (red, green, blue per entry).
    l = PcxLayout{};
    l.bits = 4;
    ASSERT_TRUE(WriteFileBytes(path, MakePcx(4, 1, l, Encode({{0x01, 0x2F}}))));
    r = RunQuorvel(path, 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.Pixel(3, 0), (std::vector<uint8_t>{240, 15, 15}));
    // 2-bit samples read as grey span black to white.
    l.bits = 2;
    l.paletteInfo = 2;
    ASSERT_TRUE(WriteFileBytes(path, MakePcx(4, 1, l, Encode({{0x1B}}))));
    r = RunQuorvel(path, 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.Pixel(1, 0), (std::vector<uint8_t>{85, 85, 85}));
    EXPECT_EQ(r.Pixel(3, 0), (std::vector<uint8_t>{255, 255, 255}));
    // 8 bits without the palette block at the end.
    l = PcxLayout{};
    ASSERT_TRUE(WriteFileBytes(path, MakePcx(4, 2, l, rows, std::vector<uint8_t>(769, 7))));
    EXPECT_EQ(RunQuorvel(path, 1).why, Refusal::PcxNoPalette);
}

TEST(PcxIo, DamagedStreams)
{
    TempDir dir;
    const std::string path = dir.File("d.pcx");
    PcxLayout l;
    l.paletteInfo = 2;
    // A run of 10 of which 4 fit: the next row begins after its two bytes; a
    // count of 0 gives nothing.
    ASSERT_TRUE(WriteFileBytes(path, MakePcx(4, 2, l, {0xC2, 9, 0xCA, 200, 0xC0, 50, 0xC4, 77})));
    QuorvelRun r = RunQuorvel(path, 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.Pixel(3, 0), (std::vector<uint8_t>{200, 200, 200}));
    EXPECT_EQ(r.Pixel(0, 1), (std::vector<uint8_t>{77, 77, 77}));

    // The data ends inside row 1 of 3: rows 1 and 2 are black, and a
    // full-size preview, which needs every row, is refused.
    l = PcxLayout{};
    l.bits = 4;
    ASSERT_TRUE(WriteFileBytes(path, MakePcx(4, 3, l, {0xC2, 0x55, 0xC1, 0x55})));
    r = RunQuorvel(path, 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.Pixel(0, 0), (std::vector<uint8_t>{80, 175, 5}));
    EXPECT_EQ(r.Pixel(0, 1), (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(r.Pixel(3, 2), (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::RowsMissing);

    // A tiny file declaring a huge picture allocates nothing.
    l = PcxLayout{};
    l.paletteInfo = 2;
    ASSERT_TRUE(WriteFileBytes(path, MakePcx(30000, 30000, l, {0xC1, 0})));
    EXPECT_EQ(RunQuorvel(path, 1).why, Refusal::LargerThanFile);
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::LargerThanFile);
}

TEST(PcxIo, RefusedHeaders)
{
    TempDir dir;
    const std::string path = dir.File("r.pcx");
    const auto with = [](std::function<void(PcxLayout&)> change) {
        PcxLayout l;
        change(l);
        return MakePcx(8, 2, l, std::vector<uint8_t>(64, 1));
    };
    struct Case {
        std::vector<uint8_t> bytes;
        Refusal why;
    };
    const Case cases[] = {
        {{}, Refusal::PcxSignature},
        {{10, 5, 1, 8, 0}, Refusal::Truncated},
        {with([](PcxLayout& l) { l.bits = 0; }), Refusal::UnsupportedDepth},
        {with([](PcxLayout& l) { l.bits = 3; }), Refusal::UnsupportedDepth},
        {with([](PcxLayout& l) { l.planes = 2; }), Refusal::PcxLayout},
        {with([](PcxLayout& l) { l.planes = 0; }), Refusal::PcxLayout},
        {with([](PcxLayout& l) { l.lineBytes = 7; }), Refusal::PcxLineTooShort},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        const QuorvelRun r = RunQuorvel(path, 1);
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
