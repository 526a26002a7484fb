// quorvel colour-table: builds the CMYK-to-RGB table file otd.cvt from a CMYK
// ICC profile with LittleCMS.  The table holds 17^4 grid points (c, m, y, k),
// each an ink amount min(16 g, 255) / 255, first axis fastest, converted to
// sRGB; the file is a little-endian TIFF of 289 x 289 8-bit RGB pixels,
// chunky, uncompressed, one strip, with its directory ahead of the pixels.
#include "ByteOrder.h"
#include "ExitCodes.h"

#include <lcms2.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int CmdColourTable(int argc, char** argv);

namespace {

constexpr uint32_t kGrid = 17;
constexpr uint32_t kPoints = kGrid * kGrid * kGrid * kGrid;  // 83,521
constexpr uint32_t kSide = kGrid * kGrid;                     // 289 x 289 pixels

const char kUsage[] =
    "usage: quorvel colour-table --profile CMYK.icc [--intent NAME] [-o OUT]\n"
    "\n"
    "Builds the CMYK-to-RGB table that CMYK previews use (17 points per ink,\n"
    "converted to sRGB by LittleCMS) and writes it to OUT (default otd.cvt).\n"
    "Place it as DIR/color/otd.cvt, DIR being the --colour-dir of the host.\n"
    "NAME: perceptual (default), relative, saturation or absolute.\n";

struct Profile {
    cmsHPROFILE h = nullptr;
    ~Profile()
    {
        if (h != nullptr)
            cmsCloseProfile(h);
    }
};

// One directory entry: tag, type (3 SHORT, 4 LONG, 5 RATIONAL), count and
// value (a SHORT sits in the low half of the field).
void Entry(std::vector<unsigned char>& v, uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
{
    AppendLE16(v, tag);
    AppendLE16(v, type);
    AppendLE32(v, count);
    AppendLE32(v, value);
}

// The file bytes: header, directory, out-of-line values, then the pixels.
std::vector<unsigned char> TableFile(const std::vector<unsigned char>& rgb)
{
    constexpr uint16_t kEntries = 13;
    constexpr uint32_t kDir = 8;
    constexpr uint32_t kBits = kDir + 2 + 12 * kEntries + 4;  // three SHORTs
    constexpr uint32_t kXRes = kBits + 6;
    constexpr uint32_t kYRes = kXRes + 8;
    constexpr uint32_t kData = kYRes + 8;
    static_assert(kData <= 600, "the directory must lie within the first 600 bytes");

    std::vector<unsigned char> v;
    v.push_back('I');
    v.push_back('I');
    AppendLE16(v, 42);
    AppendLE32(v, kDir);
    AppendLE16(v, kEntries);
    Entry(v, 256, 3, 1, kSide);                               // ImageWidth
    Entry(v, 257, 3, 1, kSide);                               // ImageLength
    Entry(v, 258, 3, 3, kBits);                               // BitsPerSample 8, 8, 8
    Entry(v, 259, 3, 1, 1);                                   // no compression
    Entry(v, 262, 3, 1, 2);                                   // RGB
    Entry(v, 273, 4, 1, kData);                               // the one strip
    Entry(v, 277, 3, 1, 3);                                   // SamplesPerPixel
    Entry(v, 278, 3, 1, kSide);                               // RowsPerStrip
    Entry(v, 279, 4, 1, static_cast<uint32_t>(rgb.size()));   // StripByteCounts
    Entry(v, 282, 5, 1, kXRes);
    Entry(v, 283, 5, 1, kYRes);
    Entry(v, 284, 3, 1, 1);                                   // chunky
    Entry(v, 296, 3, 1, 2);                                   // inches
    AppendLE32(v, 0);  // no further directory
    for (int i = 0; i < 3; ++i)
        AppendLE16(v, 8);
    for (int i = 0; i < 2; ++i) {
        AppendLE32(v, 72);
        AppendLE32(v, 1);
    }
    v.insert(v.end(), rgb.begin(), rgb.end());
    return v;
}

void LogError(cmsContext, cmsUInt32Number, const char* text)
{
    std::fprintf(stderr, "quorvel: LittleCMS: %s\n", text);
}

}  // namespace

int CmdColourTable(int argc, char** argv)
{
    std::string profilePath;
    std::string out = "otd.cvt";
    cmsUInt32Number intent = INTENT_PERCEPTUAL;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (arg == "--profile" && i + 1 < argc) {
            profilePath = argv[++i];
        } else if (arg == "-o" && i + 1 < argc) {
            out = argv[++i];
        } else if (arg == "--intent" && i + 1 < argc) {
            const std::string name = argv[++i];
            if (name == "perceptual")
                intent = INTENT_PERCEPTUAL;
            else if (name == "relative")
                intent = INTENT_RELATIVE_COLORIMETRIC;
            else if (name == "saturation")
                intent = INTENT_SATURATION;
            else if (name == "absolute")
                intent = INTENT_ABSOLUTE_COLORIMETRIC;
            else {
                std::fputs(kUsage, stderr);
                return kExitUsage;
            }
        } else {
            std::fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    if (profilePath.empty() || out.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }

    cmsSetLogErrorHandler(&LogError);
    Profile cmyk;
    cmyk.h = cmsOpenProfileFromFile(profilePath.c_str(), "r");
    if (cmyk.h == nullptr) {
        std::fprintf(stderr, "quorvel: %s: cannot read the ICC profile\n", profilePath.c_str());
        return kExitFailed;
    }
    if (cmsGetColorSpace(cmyk.h) != cmsSigCmykData) {
        std::fprintf(stderr, "quorvel: %s: not a CMYK profile\n", profilePath.c_str());
        return kExitFailed;
    }
    Profile srgb;
    srgb.h = cmsCreate_sRGBProfile();
    // Every grid point is converted exactly: no precalculated device link.
    cmsHTRANSFORM transform =
        srgb.h != nullptr ? cmsCreateTransform(cmyk.h, TYPE_CMYK_8, srgb.h, TYPE_RGB_8, intent, cmsFLAGS_NOOPTIMIZE)
                          : nullptr;
    if (transform == nullptr) {
        std::fprintf(stderr, "quorvel: %s: cannot convert from this profile to sRGB\n", profilePath.c_str());
        return kExitFailed;
    }

    std::vector<unsigned char> cmykPoints(static_cast<size_t>(kPoints) * 4);
    for (uint32_t i = 0; i < kPoints; ++i) {
        uint32_t rest = i;
        for (int d = 0; d < 4; ++d) {
            const uint32_t g = rest % kGrid;
            rest /= kGrid;
            cmykPoints[4 * static_cast<size_t>(i) + d] = static_cast<unsigned char>(g * 16 > 255 ? 255 : g * 16);
        }
    }
    std::vector<unsigned char> rgb(static_cast<size_t>(kPoints) * 3);
    cmsDoTransform(transform, cmykPoints.data(), rgb.data(), kPoints);
    cmsDeleteTransform(transform);

    const std::vector<unsigned char> file = TableFile(rgb);
    FILE* f = std::fopen(out.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (f != nullptr)
        ok = (std::fclose(f) == 0) && ok;
    if (!ok) {
        std::fprintf(stderr, "quorvel: cannot write %s\n", out.c_str());
        std::remove(out.c_str());
        return kExitFailed;
    }
    std::printf("%s: colour table from %s\n", out.c_str(), profilePath.c_str());
    return kExitOk;
}
