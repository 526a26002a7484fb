// GIF reader: fixtures against ImageMagick and netpbm's giftopnm, and
// hand-built streams for the LZW hazards and the header decisions.
#include "Bytes.h"
#include "ReaderOracle.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Code {
    unsigned value;
    unsigned bits;
};

// Packs codes least significant bit first into data sub-blocks, ending with
// the zero-length block.
std::vector<uint8_t> SubBlocks(const std::vector<Code>& codes)
{
    std::vector<uint8_t> packed;
    uint32_t acc = 0;
    unsigned held = 0;
    for (const Code& c : codes) {
        acc |= c.value << held;
        held += c.bits;
        while (held >= 8) {
            packed.push_back(static_cast<uint8_t>(acc));
            acc >>= 8;
            held -= 8;
        }
    }
    if (held > 0)
        packed.push_back(static_cast<uint8_t>(acc));
    std::vector<uint8_t> out;
    for (size_t at = 0; at < packed.size(); at += 255) {
        const size_t n = std::min<size_t>(255, packed.size() - at);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), packed.begin() + at, packed.begin() + at + n);
    }
    out.push_back(0);
    return out;
}

// The codes of `pixels` sent as roots only, with the code size a decoder
// keeps; a clear code first and then after every `clearEvery` pixels (0:
// never again, so the table fills), and the end code last.
std::vector<Code> RootCodes(const std::vector<uint8_t>& pixels, unsigned minimum, size_t clearEvery)
{
    const unsigned clear = 1u << minimum;
    unsigned size = minimum + 1, next = clear + 2;
    bool first = true;
    std::vector<Code> codes{{clear, size}};
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (clearEvery != 0 && i != 0 && i % clearEvery == 0) {
            codes.push_back({clear, size});
            size = minimum + 1;
            next = clear + 2;
            first = true;
        }
        codes.push_back({pixels[i], size});
        if (!first && next < 4096 && ++next == (1u << size) && size < 12)
            ++size;
        first = false;
    }
    codes.push_back({clear + 1, size});
    return codes;
}

// A GIF89a of one image; `tableBits` 0 means no colour table (the screen
// flags then still say 2^sizeBits entries).
std::vector<uint8_t> MakeGif(uint16_t w, uint16_t h, unsigned tableBits, unsigned sizeBits, unsigned minimum,
                             const std::vector<Code>& codes, bool interlaced = false)
{
    Bytes f(false);
    f.Text("GIF89a").U16(w).U16(h).U8((tableBits ? 0x80 : 0) | (sizeBits - 1)).U8(0).U8(0);
    if (tableBits)
        for (unsigned i = 0; i < (1u << sizeBits); ++i)  // entry i: (10i, 20i, 30i)
            f.U8(10 * i).U8(20 * i).U8(30 * i);
    f.Raw({0x21, 0xFE, 3, 'h', 'i', '!', 0});  // a comment
    f.U8(0x2C).U16(0).U16(0).U16(w).U16(h).U8(interlaced ? 0x40 : 0).U8(minimum);
    f.Raw(SubBlocks(codes)).U8(';');
    return f.data();
}

// Preview pixels of MakeGif's table entries, top row first (-1: black).
std::vector<uint8_t> Colours(std::initializer_list<int> entries)
{
    std::vector<uint8_t> rgb;
    for (int i : entries)
        rgb.insert(rgb.end(), {uint8_t(i < 0 ? 0 : 10 * i), uint8_t(i < 0 ? 0 : 20 * i), uint8_t(i < 0 ? 0 : 30 * i)});
    return rgb;
}

}  // namespace

TEST(GifIo, FixturesMatchImageMagickAndGiftopnm)
{
    QUORVEL_REQUIRE_TOOL("convert");
    QUORVEL_REQUIRE_TOOL("giftopnm");
    for (const char* name :
         {"gif_256_241x97.gif", "gif_16_213x67.gif", "gif_16_interlaced_213x67.gif", "gif_4_37x23.gif",
          "gif_2_421x37.gif", "gif_interlaced_5x3.gif", "gif_interlaced_4x2.gif", "gif_interlaced_19x11.gif",
          "gif_local_anim_12x7.gif", "gif_offset_100x50_in_640x480.gif", "gif_pil_transparent_37x23.gif"}) {
        const std::string path = TestData(name);
        RgbImage magick, netpbm;
        ASSERT_TRUE(DecodeWithImageMagick(path, &magick)) << name;
        ASSERT_TRUE(DecodeWithCommand("giftopnm '" + path + "'", &netpbm)) << name;
        EXPECT_EQ(magick.rgb, netpbm.rgb) << name;
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(path, mode, magick,
                                       FirstMatchSampling(magick.width, magick.height, mode == 2, false)));
    }
}

TEST(GifIo, LzwStreamsThatBreakTheRules)
{
    TempDir dir;
    const std::string path = dir.File("t.gif");

    // No clear code first: the table starts with its roots.
    ASSERT_TRUE(WriteFileBytes(path, MakeGif(4, 1, 2, 2, 2, {{1, 3}, {2, 3}, {3, 3}, {0, 4}, {5, 4}})));
    QuorvelRun p = RunQuorvel(path, 2);
    ASSERT_EQ(p.ok, 1) << RefusalText(p.why);
    EXPECT_EQ(p.rgb, Colours({1, 2, 3, 0}));

    // A code past the next free entry ends the data: a fitted preview keeps
    // what came before it and shows the rest black; full size is refused.
    ASSERT_TRUE(WriteFileBytes(path, MakeGif(4, 2, 2, 2, 2, {{4, 3}, {1, 3}, {2, 3}, {7, 3}, {9, 4}, {5, 4}})));
    p = RunQuorvel(path, 1);
    ASSERT_EQ(p.ok, 1) << RefusalText(p.why);
    // Code 7 is the one entry not yet in the table; code 9 lies past it.
    EXPECT_EQ(p.rgb, Colours({1, 2, 2, 2, -1, -1, -1, -1}));
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::GifLzwCodePastTable);

    // A clear code and at once the end code: every row black, or refused at
    // full size; likewise data cut short.
    ASSERT_TRUE(WriteFileBytes(path, MakeGif(3, 2, 2, 2, 2, {{4, 3}, {5, 3}})));
    p = RunQuorvel(path, 1);
    ASSERT_EQ(p.ok, 1);
    EXPECT_EQ(p.rgb, Colours({-1, -1, -1, -1, -1, -1}));
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::RowsMissing);

    // The table fills (no clear code after the first) and decoding goes on
    // with it full; indices 2 and 3 lie past a two-entry palette (black).
    std::vector<uint8_t> pixels(5000);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>((i * 7 / 3) % 4);
    ASSERT_TRUE(WriteFileBytes(path, MakeGif(1000, 5, 1, 1, 2, RootCodes(pixels, 2, 0))));
    p = RunQuorvel(path, 2);
    ASSERT_EQ(p.ok, 1) << RefusalText(p.why);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const uint8_t v = pixels[i] == 1 ? 30 : 0;  // entry 1 of the table is (10, 20, 30)
        ASSERT_EQ(p.Pixel(i % 1000, i / 1000), (std::vector<uint8_t>{uint8_t(v / 3), uint8_t(2 * v / 3), v}))
            << "pixel " << i;
    }

    // Minimum code sizes past 8 decode while the roots are bytes; a root
    // past 255 breaks the stream there.  0 and 12 are refused.
    const std::vector<uint8_t> bytes = {1, 0, 3, 2, 2, 1};
    for (unsigned minimum : {9u, 11u}) {
        ASSERT_TRUE(WriteFileBytes(path, MakeGif(3, 2, 2, 2, minimum, RootCodes(bytes, minimum, 0))));
        p = RunQuorvel(path, 2);
        ASSERT_EQ(p.ok, 1) << minimum << " " << RefusalText(p.why);
        EXPECT_EQ(p.rgb, Colours({1, 0, 3, 2, 2, 1})) << minimum;
    }
    std::vector<Code> codes = RootCodes(bytes, 11, 0);
    codes[3].value = 300;
    ASSERT_TRUE(WriteFileBytes(path, MakeGif(3, 2, 2, 2, 11, codes)));
    p = RunQuorvel(path, 1);
    ASSERT_EQ(p.ok, 1) << RefusalText(p.why);
    EXPECT_EQ(p.rgb, Colours({1, 0, -1, -1, -1, -1}));
    for (unsigned minimum : {0u, 12u}) {
        ASSERT_TRUE(WriteFileBytes(path, MakeGif(2, 1, 2, 2, minimum, {{0, 8}})));
        EXPECT_EQ(RunQuorvel(path, 1).why, Refusal::GifLzwCodeSize) << minimum;
    }
}

TEST(GifIo, HeaderDecisions)
{
    TempDir dir;
    const std::string path = dir.File("h.gif");
    const std::vector<uint8_t> good = MakeGif(2, 2, 2, 2, 2, RootCodes({0, 1, 2, 3}, 2, 0));
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        Refusal why;
    };
    std::vector<uint8_t> trailing = good, version = good, noImage(good.begin(), good.begin() + 25),
                         unknown(good.begin(), good.begin() + 25), runOff(good.begin(), good.begin() + 25);
    trailing.push_back(0);
    version[4] = '8';
    noImage.push_back(';');
    unknown.insert(unknown.end(), {0x42, ';'});
    runOff.insert(runOff.end(), {0x21, 0xFE, 200, 'x', ';'});
    for (const Case& c : {Case{"bytes after the trailer", trailing, Refusal::GifNoTrailer},
                          Case{"GIF88a", version, Refusal::GifSignature},
                          Case{"empty file", {}, Refusal::GifSignature},
                          Case{"trailer before any image", noImage, Refusal::GifNoImage},
                          Case{"unknown block", unknown, Refusal::GifUnknownBlock},
                          Case{"extension runs off the end", runOff, Refusal::Truncated}}) {
        ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        const QuorvelRun p = RunQuorvel(path, 0);
        EXPECT_EQ(p.ok, 0) << c.what;
        EXPECT_EQ(p.why, c.why) << c.what << ": " << RefusalText(p.why);
    }

    // Without any colour table: two colours are black and white; more take
    // the default palette, whose last colour (white) repeats past entry 19.
    ASSERT_TRUE(WriteFileBytes(path, MakeGif(2, 1, 0, 1, 2, RootCodes({1, 0}, 2, 0))));
    QuorvelRun p = RunQuorvel(path, 1);
    ASSERT_EQ(p.ok, 1);
    EXPECT_EQ(p.rgb, (std::vector<uint8_t>{255, 255, 255, 0, 0, 0}));
    ASSERT_TRUE(WriteFileBytes(path, MakeGif(3, 1, 0, 5, 5, RootCodes({13, 25, 1}, 5, 0))));
    p = RunQuorvel(path, 1);
    ASSERT_EQ(p.ok, 1);
    EXPECT_EQ(p.rgb, (std::vector<uint8_t>{255, 0, 0, 255, 255, 255, 128, 0, 0}));

    // A 100 x 50 image inside a 640 x 480 screen measures 100 x 50 pixels.
    p = RunQuorvel(TestData("gif_offset_100x50_in_640x480.gif"), 0);
    EXPECT_FLOAT_EQ(p.widthInches, 100.0f / 72);
    EXPECT_FLOAT_EQ(p.heightInches, 50.0f / 72);
}

// A failed allocation anywhere fails the call and leaves nothing behind (the
// preview block and planes of PNG come from the shared preview path, which
// gives no reason of its own).
TEST(GifIo, FailedAllocationsLeaveNothingAlsoForPng)
{
    for (const char* name : {"gif_16_interlaced_213x67.gif", "png_pal4_16_interlaced_213x67.png"})
        for (int mode : {1, 2})
            for (int n = 0; n < 6; ++n) {
                FailNthAllocation failing(n);
                const QuorvelRun p = RunQuorvel(TestData(name), mode);
                if (p.ok == 0) {
                    EXPECT_TRUE(p.why == Refusal::OutOfMemory || p.why == Refusal::PreviewFailed)
                        << name << " allocation " << n << ": " << RefusalText(p.why);
                }
            }
}

TEST(GifIo, ClaimsPastWhatItsCodesCanHoldAreRefusedBeforeTheBlock)
{
    // 41 KB of 9-bit codes claiming 15383 x 34401 pixels in a 64 x 48 screen:
    // they decode to at most about 130 million bytes, so a full-size preview
    // (a 1.6 GB block) is refused at once; a fitted one shows the rows there.
    const std::string path = TestData("gif_claims_15383x34401_in_64x48.gif");
    EXPECT_EQ(RunQuorvel(path, 2).why, Refusal::LargerThanFile);
    const QuorvelRun fitted = RunQuorvel(path, 1);
    ASSERT_EQ(fitted.ok, 1) << RefusalText(fitted.why);
    EXPECT_EQ(fitted.Pixel(0, 0), (std::vector<uint8_t>{0, 255, 0}));  // table entry 0
}
