// TGA: fixtures from independent writers (and hand-built ones) against
// decoders that honour the descriptor's origin bit, plus refusals and damage.
#include "Bytes.h"
#include "StepSampling.h"
#include "TestSupport.h"
#include "iTgaIo.h"

#include <gtest/gtest.h>

namespace {

// An uncompressed TGA header with no image ID and no colour map.
std::vector<uint8_t> TgaHeader(uint8_t type, uint32_t width, uint32_t height, uint8_t depth, uint8_t descriptor)
{
    std::vector<uint8_t> v(18, 0);
    v[2] = type;
    Set16(v, 12, width, false);
    Set16(v, 14, height, false);
    v[16] = depth;
    v[17] = descriptor;
    return v;
}

// Grey picture whose stored row k, column x holds (x + 3k) & 255.
std::vector<uint8_t> GreyTga(uint32_t width, uint32_t height, uint8_t descriptor, uint32_t rowsStored)
{
    std::vector<uint8_t> v = TgaHeader(3, width, height, 8, descriptor);
    for (uint32_t k = 0; k < rowsStored; ++k)
        for (uint32_t x = 0; x < width; ++x)
            v.push_back(static_cast<uint8_t>(x + 3 * k));
    return v;
}

// The preview as one grey value per pixel, top row first.
std::vector<int> Greys(const QuorvelRun& r)
{
    std::vector<int> grey;
    for (size_t i = 0; i < r.rgb.size(); i += 3)
        grey.push_back(r.rgb[i]);
    return grey;
}

// Appends a run packet of `count` grey pixels, or a raw packet of `values`.
void RunPacket(std::vector<uint8_t>* v, uint32_t count, uint8_t value)
{
    v->push_back(static_cast<uint8_t>(0x80 | (count - 1)));
    v->push_back(value);
}
void RawPacket(std::vector<uint8_t>* v, const std::vector<uint8_t>& values)
{
    v->push_back(static_cast<uint8_t>(values.size() - 1));
    v->insert(v->end(), values.begin(), values.end());
}

}  // namespace

// ImageMagick 6 reads every file bottom row first whatever the descriptor
// says (and writes its own files top row first under a bottom-left
// descriptor), so the oracles are Pillow and netpbm's tgatoppm.
TEST(TgaIo, FixturesMatchIndependentDecoders)
{
    QUORVEL_REQUIRE_TOOL("tgatoppm");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    // Pillow reads no 15-bit depth: it decodes a copy marked 16-bit, the
    // same 5-5-5 pixels.  Pillow 9.4 refuses a run packet that crosses a row
    // end, so those files go to tgatoppm.
    // PillowRight decodes a copy whose descriptor also says right pixel
    // first (Pillow and ImageMagick's auto-orient both mirror such rows).
    enum Oracle { Pillow, PillowAs16, PillowRight, Tgatoppm };
    struct Case {
        const char* name;
        Oracle oracle;
        bool bottomUp;
        int tolerance = 0;
    };
    const Case cases[] = {
        {"tga24_im_203x9.tga", Pillow, true},           {"tga32_pil_37x23.tga", Pillow, true},
        {"tga24_pil_top_7x251.tga", Pillow, false},     {"tga24_netpbm_37x23.tga", Tgatoppm, true},
        {"tga8_pil_id_213x19.tga", Pillow, true},       {"tga8_im_37x23.tga", Pillow, true},
        {"tga8_pil_grey_37x23.tga", Pillow, true},      {"tga8_netpbm_grey_37x23.tga", Tgatoppm, true},
        {"tga16_pil_grey_alpha_37x23.tga", Pillow, true}, {"tga16_hand_37x23.tga", Pillow, true},
        {"tga15_hand_37x23.tga", PillowAs16, true},
        // tgatoppm rounds 5-bit map entries to 8 bits where Pillow (and this
        // reader) truncate; Pillow does not place a map that starts past 0.
        {"tga8_map15_first10_37x23.tga", Tgatoppm, false, 1},
        // Run-length types 9, 10 and 11.
        {"tga24_im_rle_203x9.tga", Pillow, true},       {"tga8_im_rle_37x23.tga", Pillow, true},
        {"tga8_im_rle_grey_37x23.tga", Pillow, true},   {"tga24_pil_rle_top_7x251.tga", Pillow, false},
        {"tga32_pil_rle_37x23.tga", Pillow, true},      {"tga8_pil_rle_213x19.tga", Pillow, true},
        {"tga8_pil_rle_grey_37x23.tga", Pillow, true},  {"tga16_pil_rle_grey_alpha_37x23.tga", Pillow, true},
        {"tga16_hand_rle_rawcross_37x23.tga", Pillow, false}, {"tga8_hand_rle_map16_37x23.tga", Pillow, true},
        {"tga24_hand_rle_cross_37x23.tga", Tgatoppm, true}, {"tga8_hand_rle_grey_cross_37x23.tga", Tgatoppm, false},
        {"tga15_hand_rle_cross_37x23.tga", Tgatoppm, true, 1},
        // Right to left, bottom-up and top-down, with a step in each direction.
        {"tga24_im_rle_203x9.tga", PillowRight, true},  {"tga24_pil_top_7x251.tga", PillowRight, false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string path = TestData(c.name);
        RgbImage reference;
        const bool twin = c.oracle == PillowAs16 || c.oracle == PillowRight;
        const std::string read = twin ? dir.File("twin.tga") : path;
        if (twin) {
            std::vector<uint8_t> bytes = ReadFileBytes(path);
            ASSERT_GT(bytes.size(), 18u);
            if (c.oracle == PillowAs16)
                bytes[16] = 16;
            else
                bytes[17] |= 0x10;
            ASSERT_TRUE(WriteFileBytes(read, bytes));
        }
        ASSERT_TRUE(c.oracle == Tgatoppm ? DecodeWithCommand("tgatoppm '" + path + "'", &reference)
                                         : DecodeWithPillow(read, &reference))
            << c.name;
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(c.oracle == PillowRight ? read : path, mode, reference,
                                       StepSampling(reference.width, reference.height, mode == 2, c.bottomUp,
                                                    c.oracle == PillowRight),
                                       c.tolerance))
                << c.name << " mode " << mode;
    }
}

TEST(TgaIo, RowsPastTheFileAreBlack)
{
    TempDir dir;
    const std::string path = dir.File("t.tga");
    // 3 of 5 rows stored, bottom row first: the top two preview rows are
    // black (not the last row read again), and a full size is refused.
    ASSERT_TRUE(WriteFileBytes(path, GreyTga(4, 5, 0, 3)));
    const QuorvelRun r = RunQuorvel(path, 1);
    EXPECT_FLOAT_EQ(r.widthInches, 4 / 72.0f);
    EXPECT_EQ(Greys(r), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 6, 7, 8, 9, 3, 4, 5, 6, 0, 1, 2, 3}));
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::LargerThanFile);
    // 640 x 480 previews as 106 x 80 from stored rows 0, 6, 12, ... counted
    // from the bottom: preview row 0 from the top is stored row 79 * 6.
    ASSERT_TRUE(WriteFileBytes(path, GreyTga(640, 480, 0, 480)));
    const QuorvelRun big = RunQuorvel(path, 1);
    ASSERT_EQ(big.width, 106);
    ASSERT_EQ(big.height, 80);
    EXPECT_EQ(big.Pixel(2, 0)[0], static_cast<uint8_t>(12 + 3 * 79 * 6));
}

TEST(TgaIo, RefusalsAndUnsupportedDepths)
{
    TempDir dir;
    const std::string path = dir.File("r.tga");
    // Size only still works for depths the preview cannot show.
    std::vector<uint8_t> depth12 = ReadFileBytes(TestData("tga15_hand_37x23.tga"));
    depth12[16] = 12;
    ASSERT_TRUE(WriteFileBytes(path, depth12));
    EXPECT_TRUE(RunQuorvel(path, 0).ok);
    EXPECT_EQ(RunQuorvel(path, 1).why, Refusal::UnsupportedDepth);

    std::vector<uint8_t> mapped16 = TgaHeader(1, 2, 2, 16, 0);
    mapped16[1] = 1;
    mapped16[5] = 2;  // two 24-bit entries
    mapped16[7] = 24;
    mapped16.resize(18 + 6 + 8, 0);
    std::vector<uint8_t> map8 = mapped16;
    map8[7] = 8;
    map8[16] = 8;
    // Huffman-coded types (32, 33) are not read.
    std::vector<uint8_t> huffman = TgaHeader(32, 2, 2, 8, 0);
    huffman.resize(40, 0);
    std::vector<uint8_t> empty = TgaHeader(2, 0, 2, 24, 0);
    // A tiny file declaring 65535 x 65535 allocates nothing.
    std::vector<uint8_t> huge = TgaHeader(2, 65535, 65535, 24, 0);
    huge.resize(100, 0);
    // Run-length data can grow at most 96-fold at 24 bits (4 bytes make 128
    // pixels): 82 bytes hold no row of 65535 pixels, nor 1000 rows of 1000
    // at full size.
    std::vector<uint8_t> rleHuge = TgaHeader(10, 65535, 2, 24, 0);
    rleHuge.resize(100, 0x80);
    std::vector<uint8_t> rleFull = TgaHeader(10, 1000, 1000, 24, 0);
    rleFull.resize(100, 0xFF);
    struct ModeCase {
        std::vector<uint8_t> bytes;
        Refusal why;
        int mode = 1;
    };
    const ModeCase cases[] = {
        {{1, 2, 3}, Refusal::Truncated},        {huffman, Refusal::TgaImageType},
        {empty, Refusal::EmptyPicture},         {mapped16, Refusal::UnsupportedDepth},
        {map8, Refusal::TgaColourMap},          {huge, Refusal::LargerThanFile},
        {rleHuge, Refusal::LargerThanFile},     {rleFull, Refusal::LargerThanFile, 2},
    };
    for (const ModeCase& c : cases) {
        ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        const QuorvelRun r = RunQuorvel(path, c.mode);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.why, c.why) << RefusalName(r.why);
    }
}

TEST(TgaIo, FailedAllocationsLeaveNothing)
{
    // Palette, preview block, row, and for run-length files the input buffer.
    for (const auto& [name, allocations] : {std::pair<const char*, int>{"tga8_pil_id_213x19.tga", 3},
                                            std::pair<const char*, int>{"tga8_pil_rle_213x19.tga", 4}}) {
        const std::string path = TestData(name);
        for (int n = 0; n < allocations; ++n) {
            FailNthAllocation failing(n);
            EXPECT_FALSE(RunQuorvel(path, 1).ok) << name << " " << n;
        }
        FailNthAllocation failing(allocations);
        EXPECT_TRUE(RunQuorvel(path, 1).ok) << name;
    }
}

// Packets that carry on across row ends, a stream that ends early, and rows
// past the last needed one left undecoded.
TEST(TgaIo, RunLengthRows)
{
    TempDir dir;
    const std::string path = dir.File("rle.tga");
    // 4 x 5 grey, bottom row first.  Stored rows 0-1 from a run of 6 and a
    // raw packet of 2; rows 2-3 from one run of 8; row 4 is cut inside its
    // raw packet (2 of 4 pixels).
    std::vector<uint8_t> v = TgaHeader(11, 4, 5, 8, 0);
    RunPacket(&v, 6, 10);
    RawPacket(&v, {11, 12});
    RunPacket(&v, 8, 20);
    RawPacket(&v, {30, 31, 32, 33});
    v.resize(v.size() - 2);
    ASSERT_TRUE(WriteFileBytes(path, v));
    const std::vector<int> greys = {0, 0, 0, 0, 20, 20, 20, 20, 20, 20, 20, 20, 10, 10, 11, 12, 10, 10, 10, 10};
    EXPECT_EQ(Greys(RunQuorvel(path, 1)), greys);
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::RowsMissing);
    // A run packet whose pixel is missing ends the stream the same way.
    v.resize(v.size() - 3);
    v.push_back(0x83);
    ASSERT_TRUE(WriteFileBytes(path, v));
    EXPECT_EQ(Greys(RunQuorvel(path, 1)), greys);

    // 4000 x 300 grey in raw packets, top row first: step 40, so the last
    // needed row is 240 and the 59 rows after it (236 KB) are never read.
    const uint32_t width = 4000, height = 300;
    v = TgaHeader(11, width, height, 8, 0x20);
    std::vector<uint8_t> packet;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; x += 128) {
            packet.clear();
            for (uint32_t k = x; k < width && k < x + 128; ++k)
                packet.push_back(static_cast<uint8_t>(k / 40 + y));
            RawPacket(&v, packet);
        }
    ASSERT_TRUE(WriteFileBytes(path, v));
    const QuorvelRun r = RunQuorvel(path, 1);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.width, 100u);
    ASSERT_EQ(r.height, 7u);
    for (int32_t y = 0; y < r.height; ++y)
        for (uint32_t x : {0u, 37u, 99u})
            EXPECT_EQ(r.Pixel(x, y)[0], static_cast<uint8_t>(x + 40 * y)) << x << "," << y;
    CTgaIo io(path.c_str());
    ASSERT_TRUE(io.m_file.Open(path.c_str(), CFile::modeRead));
    ASSERT_EQ(io.ReadHeader(), 1);
    int32_t w = 0, h = 0;
    unsigned char* bits = nullptr;
    ASSERT_EQ(io.MakeDib(&w, &h, &bits), 1);
    ImageFree(&bits);
    EXPECT_LT(io.m_file.GetPosition(), v.size() - 100000);
}
