// Real-world files that once read wrongly: the fitted and full-size previews
// against Pillow's decode, by the first-match rule.
#include "ReaderOracle.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

struct RealWorldFile {
    const char* name;
    bool bottomUp;  // rows stored bottom row first
};

const RealWorldFile kFiles[] = {
    {"tiff_pal8_gm_map16.tif", false},
    {"gif_pil_codesize11_100x100.gif", false},
    {"tiff_pil_grey4_fillorder2.tif", false},
};

TEST(RealWorld, PreviewsMatchPillow)
{
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    for (const RealWorldFile& f : kFiles) {
        const std::string path = TestData(f.name);
        RgbImage reference;
        ASSERT_TRUE(DecodeWithPillow(path, &reference)) << f.name;
        for (int mode : {1, 2})
            EXPECT_TRUE(PreviewMatches(path, mode, reference,
                                       FirstMatchSampling(reference.width, reference.height, mode == 2, f.bottomUp)));
    }
}

}  // namespace
