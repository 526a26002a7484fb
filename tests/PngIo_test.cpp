// PNG reader: fixtures of every colour type and bit depth against ImageMagick
// (and Pillow), sampled at multiples of the divisor; hand-built files for the
// preview sizes, palettes and damaged data.
#include "Bytes.h"
#include "ReaderOracle.h"
#include "TestSupport.h"
#include "iPngIo.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <string>
#include <vector>

namespace {

void PutChunk(std::vector<uint8_t>* f, const char* type, const std::vector<uint8_t>& data)
{
    Bytes chunk(true);
    chunk.U32(static_cast<uint32_t>(data.size())).Text(type).Raw(data);
    const std::vector<uint8_t>& c = chunk.data();
    chunk.U32(static_cast<uint32_t>(crc32(0, c.data() + 4, static_cast<uInt>(c.size() - 4))));
    f->insert(f->end(), c.begin(), c.end());
}

// A non-interlaced PNG whose raw rows (filter byte included) come from
// `row(y)`; `palette` as red, green, blue triples.
template <class RowFn>
std::vector<uint8_t> MakePng(uint32_t w, uint32_t h, uint8_t depth, uint8_t colourType, RowFn row,
                             const std::vector<uint8_t>& palette = {})
{
    std::vector<uint8_t> f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    PutChunk(&f, "IHDR", Bytes(true).U32(w).U32(h).U8(depth).U8(colourType).U8(0).U8(0).U8(0));
    if (!palette.empty())
        PutChunk(&f, "PLTE", palette);
    std::vector<uint8_t> raw;
    for (uint32_t y = 0; y < h; ++y) {
        const std::vector<uint8_t> r = row(y);
        raw.insert(raw.end(), r.begin(), r.end());
    }
    std::vector<uint8_t> packed(compressBound(static_cast<uLong>(raw.size())));
    uLongf size = static_cast<uLongf>(packed.size());
    compress2(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9);
    packed.resize(size);
    PutChunk(&f, "IDAT", packed);
    PutChunk(&f, "IEND", {});
    return f;
}

// One-bit grey rows, all black.
std::vector<uint8_t> BlankPng(uint32_t w, uint32_t h)
{
    const std::vector<uint8_t> row(1 + (w + 7) / 8, 0);
    return MakePng(w, h, 1, 0, [&](uint32_t) { return row; });
}

}  // namespace

TEST(PngIo, FixturesMatchImageMagick)
{
    QUORVEL_REQUIRE_TOOL("convert");
    QUORVEL_REQUIRE_TOOL("pngtopnm");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    // ImageMagick's default limits refuse a width of 40000: there netpbm's
    // pngtopnm and Pillow are the oracles.
    enum Oracle { Magick, Magick16, MagickAndPillow, NetpbmAndPillow };
    struct Case {
        const char* name;
        Oracle oracle;
    };
    const Case cases[] = {
        {"png_grey1_213x67.png", MagickAndPillow}, {"png_grey2_213x67.png", Magick},
        {"png_grey2_interlaced_213x67.png", Magick}, {"png_grey4_213x67.png", Magick},
        {"png_grey8_213x67.png", MagickAndPillow}, {"png_grey16_37x23.png", Magick16},
        {"png_grey8_1700x40.png", MagickAndPillow}, {"png_greya8_213x67.png", Magick},
        {"png_greya16_37x23.png", Magick16}, {"png_rgb8_213x67.png", MagickAndPillow},
        {"png_rgb8_interlaced_213x67.png", MagickAndPillow}, {"png_rgb16_37x23.png", Magick16},
        {"png_rgba8_213x67.png", Magick}, {"png_rgba16_37x23.png", Magick16},
        {"png_rgba16_interlaced_37x23.png", Magick16}, {"png_pal1_2_213x67.png", MagickAndPillow},
        {"png_pal2_3_213x67.png", MagickAndPillow}, {"png_pal4_16_213x67.png", MagickAndPillow},
        {"png_pal4_16_interlaced_213x67.png", MagickAndPillow}, {"png_pal8_253_213x67.png", MagickAndPillow},
        {"png_pal8_256_213x67.png", MagickAndPillow}, {"png_pal8_trns_213x67.png", Magick},
        {"png_rgb8_300dpi_37x23.png", Magick},
        // Divisor 200: the kept columns and rows are exact multiples of it,
        // all in the first interlace pass (a single-precision 1/200 would
        // pick 201).
        {"png_wide_40000x401.png", NetpbmAndPillow}, {"png_wide_interlaced_40000x401.png", NetpbmAndPillow},
    };
    for (const Case& c : cases) {
        const std::string path = TestData(c.name);
        RgbImage reference;
        // 16-bit samples keep their high byte.
        ASSERT_TRUE(c.oracle == Magick16 ? DecodeWithCommand("convert '" + path + "' -alpha off -depth 16 ppm:-", &reference)
                    : c.oracle == NetpbmAndPillow ? DecodeWithCommand("pngtopnm '" + path + "'", &reference)
                                                  : DecodeWithImageMagick(path, &reference))
            << c.name;
        if (c.oracle == MagickAndPillow || c.oracle == NetpbmAndPillow) {
            RgbImage pillow;
            ASSERT_TRUE(DecodeWithPillow(path, &pillow)) << c.name;
            EXPECT_EQ(pillow.rgb, reference.rgb) << c.name;
        }
        // A full-size request gets the same reduced preview.
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(path, mode, reference, EighthSampling(reference.width, reference.height)));
    }
}

TEST(PngIo, PreviewSizes)
{
    TempDir dir;
    const std::string path = dir.File("s.png");
    struct Case {
        uint32_t w, h;
        int32_t dw, dh;
    };
    // The height is not limited, and is not cut to 16 bits (600000 / 8 = 75000).
    for (const Case& c : {Case{100, 100, 12, 12}, Case{1600, 100, 200, 12}, Case{1601, 100, 100, 6},
                          Case{2000, 1000, 125, 62}, Case{100, 3000, 12, 375}, Case{7, 7, 1, 1},
                          Case{8, 600000, 1, 75000}}) {
        ASSERT_TRUE(WriteFileBytes(path, BlankPng(c.w, c.h)));
        for (int mode : {1, 2}) {
            const QuorvelRun p = RunQuorvel(path, mode);
            ASSERT_EQ(p.ok, 1) << c.w << "x" << c.h << ": " << RefusalText(p.why);
            EXPECT_EQ(p.width, c.dw) << c.w << "x" << c.h;
            EXPECT_EQ(p.height, c.dh) << c.w << "x" << c.h;
        }
    }
}

TEST(PngIo, PalettesResolutionAndDamage)
{
    TempDir dir;
    const std::string path = dir.File("p.png");
    // Three entries at 2 bits: index 3 lies past the palette and shows black.
    ASSERT_TRUE(WriteFileBytes(path, MakePng(32, 16, 2, 3, [](uint32_t y) {
                                   std::vector<uint8_t> r(1 + 8, y < 8 ? 0x1B : 0xFF);  // 0 1 2 3 ..., or all 3
                                   r[0] = 0;
                                   return r;
                               }, {10, 20, 30, 40, 50, 60, 70, 80, 90})));
    QuorvelRun p = RunQuorvel(path, 1);
    ASSERT_EQ(p.ok, 1) << RefusalText(p.why);
    EXPECT_EQ(p.Pixel(3, 0), (std::vector<uint8_t>{10, 20, 30}));  // column 24: index 0
    EXPECT_EQ(p.Pixel(3, 1), (std::vector<uint8_t>{0, 0, 0}));

    // A physical-size chunk is not read: 72 pixels per inch.
    p = RunQuorvel(TestData("png_rgb8_300dpi_37x23.png"), 0);
    EXPECT_FLOAT_EQ(p.widthInches, 37.0f / 72);

    // Damaged files are refused, and the reader's file is open again after.
    const std::vector<uint8_t> good = ReadFileBytes(TestData("png_rgb8_213x67.png"));
    std::vector<uint8_t> badCrc = good, cut(good.begin(), good.begin() + good.size() / 2), notPng = good;
    badCrc[29] ^= 1;  // the header's CRC
    notPng[1] = 'Q';
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int mode;
    };
    for (const Case& c : {Case{"header CRC", badCrc, 0}, Case{"data cut short", cut, 1},
                          Case{"signature", notPng, 0}, Case{"empty", {}, 0}}) {
        ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        CPngIo reader(path.c_str());
        ASSERT_TRUE(reader.m_file.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive));
        int ok = reader.ReadHeader();
        if (ok && c.mode != 0) {
            int32_t w = 0, h = 0;
            unsigned char* bits = nullptr;
            ok = reader.MakeDib(&w, &h, &bits);
            EXPECT_EQ(bits, nullptr) << c.what;
        }
        EXPECT_EQ(ok, 0) << c.what;
        EXPECT_EQ(reader.m_nRefusal, Refusal::PngLibraryError) << c.what;
        EXPECT_TRUE(reader.m_file.IsOpen()) << c.what;
    }
}
