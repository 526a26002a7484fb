// EPS reader: sizes from the bounding-box comments, previews equal to the
// embedded image's own reader (and to ImageMagick's decode of it), and no
// temporary file left behind on any path.
#include "ReaderOracle.h"
#include "TestSupport.h"

#include "ByteOrder.h"
#include "TiffFallback.h"
#include "iEpsIo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <filesystem>
#include <stdexcept>

namespace {

// Points the system's temporary directory at a fresh directory while alive,
// so the test sees every temporary file the reader makes.
class PrivateTempDir {
public:
    PrivateTempDir() : m_had(std::getenv("TMPDIR") != nullptr), m_old(m_had ? std::getenv("TMPDIR") : "")
    {
        setenv("TMPDIR", m_dir.path().c_str(), 1);
    }
    ~PrivateTempDir() { m_had ? setenv("TMPDIR", m_old.c_str(), 1) : unsetenv("TMPDIR"); }
    bool Empty() const { return std::filesystem::is_empty(m_dir.path()); }

private:
    TempDir m_dir;
    bool m_had;
    std::string m_old;
};

// The TIFF section of a DOS EPS file.
std::vector<uint8_t> TiffSection(const std::vector<uint8_t>& eps)
{
    const uint32_t at = LoadLE32(&eps[20]);
    const uint32_t length = LoadLE32(&eps[24]);
    return std::vector<uint8_t>(eps.begin() + at, eps.begin() + at + length);
}

// The JPEG thumbnail of a Photoshop EPS file: the hexadecimal lines decoded
// here with the C library, the JPEG from its start-of-image marker.
// The hexadecimal lines of a Photoshop EPS text: [first, second).
std::pair<size_t, size_t> HexLines(const std::string& text)
{
    return {text.find('%', text.find("%BeginPhotoshop:") + 1), text.find("%EndPhotoshop")};
}

std::vector<uint8_t> JpegThumbnail(const std::vector<uint8_t>& eps)
{
    const std::string text(eps.begin(), eps.end());
    const auto [begin, end] = HexLines(text);
    std::string digits;
    for (size_t i = begin; i < end; ++i)
        if (std::isxdigit(static_cast<unsigned char>(text[i])))
            digits += text[i];
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    const uint8_t soi[3] = {0xFF, 0xD8, 0xFF};
    const auto at = std::search(bytes.begin(), bytes.end(), soi, soi + 3);
    return std::vector<uint8_t>(at, bytes.end());
}

std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string HexLinesToLower(std::string text)
{
    const auto [begin, end] = HexLines(text);
    for (size_t i = begin; i < end; ++i)
        text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    return text;
}

void ThrowingHook(const std::string&) { throw std::runtime_error("delegate failed"); }

std::string g_seenTemp;
void RecordingHook(const std::string& path) { g_seenTemp = path; }

}  // namespace

TEST(EpsIo, PreviewsAreTheEmbeddedImagesOwn)
{
    QUORVEL_REQUIRE_TOOL("convert");
    struct Case {
        const char* name;
        bool tiff;
        uint32_t width, height;  // thousandths of an inch
    };
    const Case cases[] = {
        {"eps_dos_tiff_rgb.eps", true, 513, 319},     // 0 0 37 23
        {"eps_dos_tiff_grey.eps", true, 3236, 125},   // 0 0 233 9
        {"eps_dos_tiff_zip.eps", true, 513, 319},     // Deflate TIFF, through libtiff
        {"eps_photoshop_jpeg.eps", false, 1343, 840},  // high resolution 0 0 96.75 60.5
    };
    TempDir dir;
    PrivateTempDir temp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "eps_dos_tiff_zip.eps" && !TiffFallbackAvailable())
            continue;  // Deflate needs libtiff
        const std::string path = TestData(c.name);
        const std::vector<uint8_t> eps = ReadFileBytes(path);
        const std::string embedded = dir.File(c.tiff ? "embedded.tif" : "embedded.jpg");
        ASSERT_TRUE(WriteFileBytes(embedded, c.tiff ? TiffSection(eps) : JpegThumbnail(eps)));
        RgbImage reference;
        ASSERT_TRUE(DecodeWithImageMagick(embedded, &reference));
        // The full-size flag reaches the TIFF reader only.
        for (int mode : {0, 1, 2}) {
            const QuorvelRun fromEps = RunQuorvel(path, mode);
            ASSERT_EQ(fromEps.ok, 1) << RefusalText(fromEps.why);
            EXPECT_FLOAT_EQ(fromEps.widthInches, c.width / 1000.0f);
            EXPECT_FLOAT_EQ(fromEps.heightInches, c.height / 1000.0f);
            if (mode == 0)
                continue;
            EXPECT_TRUE(PreviewMatches(path, mode, reference,
                                       FirstMatchSampling(reference.width, reference.height, c.tiff && mode == 2,
                                                          false)));
        }
        EXPECT_TRUE(temp.Empty());
    }
}

// Ghostscript's eps2write: a plain EPS whose fractional high-resolution box
// follows the plain one; size only, no preview.
TEST(EpsIo, GhostscriptHighResolutionBox)
{
    QUORVEL_REQUIRE_TOOL("gs");
    TempDir dir;
    const std::string ps = dir.File("box.ps");
    const std::string eps = dir.File("box.eps");
    ASSERT_TRUE(WriteFileBytes(ps, Text("%!PS\n0.2 0.4 0.6 setrgbcolor\nnewpath 10.25 20.5 moveto 100.5 0 rlineto "
                                        "0 60.75 rlineto -100.5 0 rlineto closepath fill\nshowpage\n")));
    ASSERT_EQ(std::system(("gs -q -dSAFER -sDEVICE=eps2write -o '" + eps + "' '" + ps + "'").c_str()), 0);
    const std::vector<uint8_t> bytes = ReadFileBytes(eps);
    const std::string text(bytes.begin(), bytes.end());
    ASSERT_NE(text.find("%%HiResBoundingBox: 10.20 20.50 110.70 81.20"), std::string::npos)
        << text.substr(0, 200);
    const QuorvelRun size = RunQuorvel(eps, 0);
    EXPECT_FLOAT_EQ(size.widthInches, 1.395f);   // (110.70 - 10.20) / 72
    EXPECT_FLOAT_EQ(size.heightInches, 0.843f);  // (81.20 - 20.50) / 72
    EXPECT_EQ(RunQuorvel(eps, 1).why, Refusal::EpsNoPreview);
}

TEST(EpsIo, BoundingBoxTokens)
{
    TempDir dir;
    struct Case {
        const char* text;
        uint32_t width, height;
        Refusal why;
    };
    const Case cases[] = {
        {"%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 612 792\n", 8500, 11000, Refusal::None},
        {"%%BoundingBox: 0 0 612 792\n%%HiResBoundingBox: 0 0 611.5 791.5\n", 8493, 10993, Refusal::None},
        // A line feed does not end a token, but the number ends at it; a
        // carriage return ends the token.
        {"%%BoundingBox:  0 0 612 792\n%%Pages: 1\n", 8500, 11000, Refusal::None},
        {"%%BoundingBox: 0 0 612\r792\r", 8500, 11000, Refusal::None},
        // A high-resolution box further than 128 bytes away is not looked at.
        {"%%BoundingBox: 0 0 612 792\n%%Title: (aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
         "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa)\n%%HiResBoundingBox: 0 0 1 1\n",
         8500, 11000, Refusal::None},
        // A box deferred to the trailer is read from the trailer.
        {"%%BoundingBox: (atend)\n%%EndComments\nshowpage\n%%Trailer\n%%BoundingBox: 0 0 144 72\n", 2000, 1000,
         Refusal::None},
        {"%%BoundingBox: (atend)\n%%EndComments\n", 0, 0, Refusal::EpsNoBoundingBox},
        {"%!PS\nshowpage\n", 0, 0, Refusal::EpsNoBoundingBox},
        {"%%BoundingBox: 0 0 nan 1\n", 0, 0, Refusal::EpsBoundingBoxRange},
        {"%%BoundingBox: 0 0 1e30 1\n", 0, 0, Refusal::EpsBoundingBoxRange},
        {"%%BoundingBox: 0 0 1e40 1\n", 0, 0, Refusal::EpsBoundingBoxRange},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string path = dir.File("b.eps");
        ASSERT_TRUE(WriteFileBytes(path, Text(c.text)));
        const QuorvelRun r = RunQuorvel(path, 0);
        EXPECT_EQ(r.ok, c.why == Refusal::None ? 1 : 0);
        EXPECT_EQ(r.why, c.why);
        EXPECT_FLOAT_EQ(r.widthInches, c.width / 1000.0f);
        EXPECT_FLOAT_EQ(r.heightInches, c.height / 1000.0f);
    }
}

// Lower-case hexadecimal is decoded like upper case (PostScript reads both);
// dropping the letters but keeping the digits beside them would garble
// every byte after the first letter.
TEST(EpsIo, HexDigitsOfEitherCase)
{
    const std::string text = "% 3842494d 0A\r\n%ff0 x1";
    unsigned char out[8] = {};
    const size_t n = CEpsIo::DecodeHex(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, 8);
    EXPECT_EQ(std::vector<uint8_t>(out, out + n), (std::vector<uint8_t>{'8', 'B', 'I', 'M', 0x0A, 0xFF, 0x01}));
    EXPECT_EQ(CEpsIo::DecodeHex(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, 3), 3u);

    TempDir dir;
    const std::string original = TestData("eps_photoshop_jpeg.eps");
    const std::vector<uint8_t> bytes = ReadFileBytes(original);
    const std::string lower = dir.File("lower.eps");
    ASSERT_TRUE(WriteFileBytes(lower, Text(HexLinesToLower(std::string(bytes.begin(), bytes.end())))));
    const QuorvelRun upperCall = RunQuorvel(original, 1);
    const QuorvelRun lowerCall = RunQuorvel(lower, 1);
    ASSERT_EQ(lowerCall.ok, 1) << RefusalText(lowerCall.why);
    EXPECT_EQ(lowerCall.block, upperCall.block);
}

// Every path, damaged files and a failing delegate included, leaves the
// temporary directory as it found it; the temporary file is made there with
// the prefix "tmp".
TEST(EpsIo, NoTemporaryFileSurvivesAnyPath)
{
    TempDir dir;
    PrivateTempDir temp;
    const std::vector<uint8_t> dos = ReadFileBytes(TestData("eps_dos_tiff_rgb.eps"));
    const std::vector<uint8_t> ps = ReadFileBytes(TestData("eps_photoshop_jpeg.eps"));
    const std::string psText(ps.begin(), ps.end());
    const uint32_t tiffAt = LoadLE32(&dos[20]);
    const uint32_t tiffLength = LoadLE32(&dos[24]);

    struct Case {
        std::string name;
        std::vector<uint8_t> file;
        bool ok;
        Refusal why;
    };
    const auto dosWith = [&](const std::function<void(std::vector<uint8_t>&)>& change) {
        std::vector<uint8_t> f = dos;
        change(f);
        return f;
    };
    const auto psWith = [&](const std::function<void(std::string&)>& change) {
        std::string t = psText;
        change(t);
        return Text(t);
    };
    const Case cases[] = {
        {"dos", dos, true, Refusal::None},
        {"photoshop", ps, true, Refusal::None},
        // A section after the PostScript runs to the end of the file,
        // whatever the header's length says.
        {"dos-short-length", dosWith([](auto& f) { StoreLE32(&f[24], 10); }), true, Refusal::None},
        {"dos-cut", dosWith([&](auto& f) { f.resize(tiffAt + tiffLength / 2); }), false, Refusal::None},
        {"dos-no-tiff", dosWith([](auto& f) { StoreLE32(&f[20], 0); StoreLE32(&f[24], 0); }), false,
         Refusal::EpsNoPreview},
        {"dos-tiff-past-end", dosWith([](auto& f) { StoreLE32(&f[20], 0x7FFFFFF0); }), false,
         Refusal::EpsPreviewOutside},
        // The TIFF reader's reason.
        {"dos-not-tiff", dosWith([&](auto& f) { std::memset(&f[tiffAt], 'x', 4); }), false, Refusal::None},
        {"ps-no-end", psWith([](auto& t) { t.erase(t.find("%EndPhotoshop"), 13); }), false, Refusal::EpsNoThumbnail},
        // The hexadecimal text ends halfway through the JPEG stream.
        {"ps-stream-past-data", psWith([](auto& t) {
             const auto [begin, end] = HexLines(t);
             const size_t cut = t.find('\n', begin + (end - begin) / 2) + 1;
             t.erase(cut, end - cut);
         }), false, Refusal::EpsNoThumbnail},
        // No thumbnail id.
        {"ps-no-thumbnail", psWith([](auto& t) { t.replace(t.find("3842494D040C"), 12, "3842494D0400"); }), false,
         Refusal::EpsNoThumbnail},
        // The JPEG stream's data replaced: libjpeg's error stays in the delegate.
        {"ps-bad-jpeg", psWith([](auto& t) { t.replace(t.find("FFD8FFE0"), 8, "00000000"); }), false, Refusal::None},
        {"ps-other-creator", psWith([](auto& t) { t.replace(t.find("Adobe Photoshop"), 5, "Other"); }), false,
         Refusal::EpsNoPreview},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File(c.name + ".eps");
        ASSERT_TRUE(WriteFileBytes(path, c.file));
        ASSERT_TRUE(temp.Empty());
        g_seenTemp.clear();
        CEpsIo::SetTempFileHookForTesting(RecordingHook);
        const QuorvelRun call = RunQuorvel(path, 1);
        CEpsIo::SetTempFileHookForTesting(nullptr);
        EXPECT_EQ(call.ok, c.ok ? 1 : 0) << RefusalText(call.why);
        EXPECT_EQ(call.why, c.why == Refusal::None ? call.why : c.why) << RefusalText(call.why);
        EXPECT_TRUE(!c.ok || !g_seenTemp.empty());
        EXPECT_TRUE(g_seenTemp.empty() || g_seenTemp.rfind(std::string(std::getenv("TMPDIR")) + "/tmp", 0) == 0)
            << g_seenTemp;
        EXPECT_TRUE(temp.Empty());
        // The delegate throws: the call fails cleanly and the file goes too.
        CEpsIo::SetTempFileHookForTesting(ThrowingHook);
        const QuorvelRun thrown = RunQuorvel(path, 2);
        CEpsIo::SetTempFileHookForTesting(nullptr);
        EXPECT_EQ(thrown.ok, 0);
        EXPECT_TRUE(temp.Empty());
    }
}
