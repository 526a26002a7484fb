// Files a peer shows although they are damaged or bend their format's rules:
// runs across PCX row ends, short PCX plane lines, an 8-bit PCX without its
// palette, PNG and TIFF data that breaks off part-way.  Each preview against
// an independent decoder (of the undamaged twin where there is one): the rows
// before the damage as decoded, the rows from it on black.
#include "ReaderOracle.h"
#include "StepSampling.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

enum class Oracle { Pillow, Magick, Netpbm, Vips };
enum class Rule { FirstMatch, Step, Eighth };

struct Case {
    const char* name;
    Oracle oracle;
    Rule rule;
    // The undamaged twin the oracle decodes; null: the file itself.
    const char* twin = nullptr;
    // Source rows from this one on are black in the preview (and a full-size
    // preview is refused); UINT32_MAX: no damage.
    uint32_t damagedFrom = UINT32_MAX;
    int tolerance = 0;
    // Source columns from this one on are black (past short plane lines).
    uint32_t columns = UINT32_MAX;
};

const Case kCases[] = {
    // ImageMagick, libvips and netpbm carry runs into the next row (Pillow
    // refuses such files).
    {"pcx24_hand_cross_40x20.pcx", Oracle::Netpbm, Rule::Step},
    {"pcx8_hand_cross_40x20.pcx", Oracle::Magick, Rule::Step},
    // Pillow shows indices as grey without the palette block.
    {"pcx8_hand_noblock_64x40.pcx", Oracle::Pillow, Rule::Step},
    // The 24 columns the lines hold as ImageMagick reads them (it fills the
    // others from the next line); the others are black.
    {"pcx8_hand_shortline_40x20.pcx", Oracle::Magick, Rule::Step, nullptr, UINT32_MAX, 0, 24},
    {"png_rgb8_badfilter41_213x67.png", Oracle::Pillow, Rule::Eighth, "png_rgb8_213x67.png", 41},
    {"png_rgb8_cut_213x67.png", Oracle::Pillow, Rule::Eighth, "png_rgb8_213x67.png", 33},
    // The own LZW decoder, and libtiff's JPEG, stop at the damaged strip.
    {"tiff_lzw_rgb8_badstrip5_40x48.tif", Oracle::Pillow, Rule::FirstMatch, "tiff_lzw_rgb8_40x48.tif", 20},
    // Palette index 0 is white here: the missing rows are still black.
    {"tiff_lzw_pal8_badstrip5_40x48.tif", Oracle::Pillow, Rule::FirstMatch, "tiff_lzw_pal8_40x48.tif", 20},
    {"tiff_ycc_jpeg_badstrip1_40x48.tif", Oracle::Vips, Rule::FirstMatch, "tiff_ycc_jpeg_40x48.tif", 16},
    // libtiff reports the damage inside the only strip: the rows before it
    // as libvips shows them (it shows the rest white; libtiff reads 25 rows of
    // the first file without an error, its lines 25 and 26 are already bad).
    {"tiff_pil_g4_damaged_218x84.tif", Oracle::Vips, Rule::FirstMatch, nullptr, 25},
    {"tiff_pil_g4_damaged_88x590.tif", Oracle::Vips, Rule::FirstMatch, nullptr, 348},
};

bool Decode(Oracle oracle, const std::string& path, RgbImage* out)
{
    switch (oracle) {
    case Oracle::Pillow:
        return DecodeWithPillow(path, out);
    case Oracle::Magick:
        return DecodeWithImageMagick(path, out);
    case Oracle::Netpbm:
        return DecodeWithCommand("pcxtoppm " + ShellQuote(path), out);
    case Oracle::Vips:
        return DecodeWithVips(path, out);
    }
    return false;
}

PreviewSampling Sampling(Rule rule, uint32_t w, uint32_t h, bool fullSize)
{
    switch (rule) {
    case Rule::Step:
        return StepSampling(w, h, fullSize, false);
    case Rule::Eighth:
        return EighthSampling(w, h);
    default:
        return FirstMatchSampling(w, h, fullSize, false);
    }
}

}  // namespace

TEST(Lenient, PreviewsMatchThePeerThatReadsThem)
{
    QUORVEL_REQUIRE_TOOL("convert");
    QUORVEL_REQUIRE_TOOL("pcxtoppm");
    QUORVEL_REQUIRE_TOOL("vips");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string path = TestData(c.name);
        RgbImage reference;
        ASSERT_TRUE(Decode(c.oracle, TestData(c.twin != nullptr ? c.twin : c.name), &reference));
        for (uint32_t y = 0; y < reference.height; ++y)
            for (uint32_t x = c.columns; x < reference.width; ++x)
                std::memset(reference.rgb.data() + (static_cast<size_t>(y) * reference.width + x) * 3, 0, 3);
        const uint32_t width = reference.width;
        if (c.damagedFrom < reference.height)
            std::memset(reference.rgb.data() + static_cast<size_t>(c.damagedFrom) * reference.width * 3, 0,
                        static_cast<size_t>(reference.height - c.damagedFrom) * reference.width * 3);
        EXPECT_TRUE(PreviewMatches(path, 1, reference, Sampling(c.rule, width, reference.height, false),
                                   c.tolerance));
        if (c.damagedFrom == UINT32_MAX)
            EXPECT_TRUE(PreviewMatches(path, 2, reference, Sampling(c.rule, width, reference.height, true),
                                       c.tolerance));
        else
            EXPECT_FALSE(RunQuorvel(path, 2).ok);
    }
}

TEST(Lenient, DamageBeforeTheFirstRowAndFullSizeStayRefused)
{
    struct Refused {
        const char* name;
        int mode;
        Refusal why;
    };
    const Refused cases[] = {
        {"png_rgb8_badfilter0_213x67.png", 1, Refusal::PngLibraryError},
        {"png_rgb8_cut_213x67.png", 2, Refusal::PngLibraryError},
        {"tiff_lzw_rgb8_badstrip0_40x48.tif", 1, Refusal::TiffLzwNoClearCode},
        {"tiff_lzw_rgb8_badstrip5_40x48.tif", 2, Refusal::TiffLzwNoClearCode},
        {"tiff_ycc_jpeg_badstrip0_40x48.tif", 1, Refusal::TiffLibraryError},
        {"tiff_pil_g4_damaged_218x84.tif", 2, Refusal::TiffLibraryError},
    };
    for (const Refused& c : cases) {
        const QuorvelRun r = RunQuorvel(TestData(c.name), c.mode);
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_EQ(r.why, c.why) << c.name << ": " << RefusalName(r.why);
    }
}
