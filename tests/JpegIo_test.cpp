#include "Bytes.h"
#include "FormatTable.h"
#include "ImageIo.h"
#include "Quorvel.h"
#include "TestSupport.h"
#include "iJpegIo.h"
#include "quorvel.h"

#include <gtest/gtest.h>

#include <array>

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// A decode by an independent program: rows top first, `channels` bytes a pixel.
struct Raster {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 0;
    std::vector<uint8_t> pixels;
};

// djpeg's default decode (the library's defaults) as PPM or PGM.
bool DjpegDecode(const std::string& jpeg, const TempDir& dir, Raster* out)
{
    const std::string pnm = dir.File("oracle.pnm");
    const std::string cmd = "djpeg -pnm '" + jpeg + "' > '" + pnm + "' 2>/dev/null";
    // Exit status 2: decoded with warnings (a file cut short, say).
    const int status = std::system(cmd.c_str());
    if (status == -1 || !WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 2))
        return false;
    const std::vector<uint8_t> bytes = ReadFileBytes(pnm);
    char magic[3] = {};
    unsigned w = 0, h = 0, maxval = 0;
    int consumed = 0;
    const std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
    if (std::sscanf(head.c_str(), "%2s %u %u %u%n", magic, &w, &h, &maxval, &consumed) != 4 ||
        maxval != 255)
        return false;
    out->channels = std::strcmp(magic, "P6") == 0 ? 3 : 1;
    out->width = w;
    out->height = h;
    const size_t start = static_cast<size_t>(consumed) + 1;  // one whitespace byte
    const size_t size = static_cast<size_t>(w) * h * out->channels;
    if (bytes.size() < start + size)
        return false;
    out->pixels.assign(bytes.begin() + start, bytes.begin() + start + size);
    return true;
}

// Pillow's decode of an Adobe CMYK JPEG, which it reports with the inverted
// Adobe convention undone: each value is 255 minus the library's sample.
bool PillowCmyk(const std::string& jpeg, const TempDir& dir, Raster* out)
{
    const std::string raw = dir.File("oracle.cmyk");
    const std::string cmd = std::string(kSystemPython) +
        " -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
        "assert im.mode == 'CMYK'; sys.stdout.write('%d %d\\n' % im.size); sys.stdout.flush(); "
        "sys.stdout.buffer.write(im.tobytes())\" '" +
        jpeg + "' > '" + raw + "'";
    if (std::system(cmd.c_str()) != 0)
        return false;
    const std::vector<uint8_t> bytes = ReadFileBytes(raw);
    unsigned w = 0, h = 0;
    int consumed = 0;
    const std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 32));
    if (std::sscanf(head.c_str(), "%u %u%n", &w, &h, &consumed) != 2)
        return false;
    out->width = w;
    out->height = h;
    out->channels = 4;
    const size_t start = static_cast<size_t>(consumed) + 1;
    const size_t size = static_cast<size_t>(w) * h * 4;
    if (bytes.size() < start + size)
        return false;
    out->pixels.assign(bytes.begin() + start, bytes.begin() + start + size);
    return true;
}

// Planes of a dw x dh preview, laid out as the reader fills them.
struct Planes {
    Planes(uint32_t dw, uint32_t dh, uint32_t count)
        : row(AlignedRowBytes(dw * 8)), height(dh), data(count, std::vector<uint8_t>(row * dh))
    {
        for (auto& p : data)
            pointers.push_back(p.data());
    }
    uint32_t row;
    uint32_t height;
    std::vector<std::vector<uint8_t>> data;
    std::vector<unsigned char*> pointers;
};

// The oracle's pixels sampled by the first-match rule into planes.
Planes SampleOracle(const Raster& r, uint32_t dw, uint32_t dh)
{
    Planes planes(dw, dh, r.channels);
    const std::vector<uint32_t> rows = FirstMatchIndices(r.height, dh);
    const std::vector<uint32_t> cols = FirstMatchIndices(r.width, dw);
    for (size_t i = 0; i < rows.size(); ++i)
        for (size_t n = 0; n < cols.size(); ++n)
            for (uint32_t k = 0; k < r.channels; ++k)
                planes.data[k][i * planes.row + n] =
                    r.pixels[(static_cast<size_t>(rows[i]) * r.width + cols[n]) * r.channels + k];
    return planes;
}

// A reader on `path` that has read its header as GetQuorvel drives it.
std::unique_ptr<CJpegIo> OpenReader(const std::string& path, int* headerResult = nullptr)
{
    auto reader = std::make_unique<CJpegIo>(path.c_str());
    EXPECT_TRUE(reader->m_file.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive));
    const int ok = reader->ReadHeader();
    if (headerResult != nullptr)
        *headerResult = ok;
    return reader;
}

bool ReadPlanesWith(bool plain, CJpegIo& reader, uint32_t dw, uint32_t dh, Planes* planes)
{
    CJpegIo::SetPlainDecodeForTesting(plain);
    const int ok = reader.ReadPlanes(dw, dh, planes->pointers.data());
    CJpegIo::SetPlainDecodeForTesting(false);
    return ok == 1;
}

// Preview sizes that make the decoder pass over rows in many patterns:
// full size, the fitted size, single rows and columns, and odd steps.
std::vector<std::pair<uint32_t, uint32_t>> SizesFor(uint32_t w, uint32_t h)
{
    std::vector<std::pair<uint32_t, uint32_t>> sizes = {
        {w, h}, {w, 1}, {1, h}, {w, 2}, {w, 3}, {w, 7}, {w / 2, 13}, {w, 17},
        {w / 3, h / 3}, {w - 1, h - 1}, {w, h / 2}, {5, h - 7}, {w, h / 8 + 1},
        {w, 29}, {w, 41}, {w, 97}};
    CImageIo fit;
    fit.m_nWidth = w;
    fit.m_nHeight = h;
    fit.ComputeDibSize();
    sizes.emplace_back(fit.m_nDibWidth, fit.m_nDibHeight);
    return sizes;
}

size_t OpenDescriptors()
{
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

std::string Fixture(const char* name) { return TestData(name); }

// A copy of `source` in `dir` with `edit` applied.
template <class Edit>
std::string EditedCopy(const TempDir& dir, const std::string& source, const char* name, Edit edit)
{
    std::vector<uint8_t> bytes = ReadFileBytes(source);
    edit(bytes);
    const std::string path = dir.File(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
}

// Offset of the first marker `code` (0xFF code) at the top level of the file.
size_t FindMarker(const std::vector<uint8_t>& b, uint8_t code, size_t from = 2)
{
    size_t pos = from;
    while (pos + 4 <= b.size() && b[pos] == 0xFF) {
        if (b[pos + 1] == code)
            return pos;
        if (b[pos + 1] == 0xDA)
            break;
        pos += 2 + (static_cast<size_t>(b[pos + 2]) << 8 | b[pos + 3]);
    }
    return std::string::npos;
}

const char* const kRgbFixtures[] = {
    "jpeg_444.jpg",         "jpeg_422.jpg",     "jpeg_420.jpg",        "jpeg_440.jpg",
    "jpeg_411.jpg",         "jpeg_grey.jpg",    "jpeg_progressive.jpg", "jpeg_restart.jpg",
    "jpeg_arithmetic.jpg",  "jpeg_arithmetic_progressive.jpg"};

// ---------------------------------------------------------------------------

TEST(JpegIo, RegisteredForJpgAndJpe)
{
    for (const char* name : {"a.jpg", "B.JPE"}) {
        std::unique_ptr<CImageIo> reader(CreateImageReader(name));
        EXPECT_NE(dynamic_cast<CJpegIo*>(reader.get()), nullptr) << name;
    }
}

TEST(JpegIo, ComponentCountsGiveColourModes)
{
    struct Case {
        const char* file;
        int ok;
        int32_t mode;
        uint16_t samples;
    } cases[] = {
        {"jpeg_grey.jpg", 1, COLOR_GREY, 1},
        {"jpeg_420.jpg", 1, COLOR_RGB, 3},
        {"jpeg_cmyk.jpg", 1, COLOR_CMYK, 4},
        {"jpeg_ycck.jpg", 1, COLOR_CMYK, 4},
        {"jpeg_two_components.jpg", 0, 0, 0},
    };
    for (const Case& c : cases) {
        int ok = -1;
        const std::string path = Fixture(c.file);  // the reader keeps the pointer
        auto reader = OpenReader(path, &ok);
        EXPECT_EQ(ok, c.ok) << c.file;
        EXPECT_TRUE(reader->m_file.IsOpen()) << c.file;
        if (c.ok == 0) {
            EXPECT_EQ(reader->m_nWidth, 64u);  // size is read before the refusal
            continue;
        }
        EXPECT_EQ(reader->m_nColorMode, c.mode) << c.file;
        EXPECT_EQ(reader->m_nSamplesPerPixel, c.samples) << c.file;
        EXPECT_EQ(reader->m_nChannels, c.samples) << c.file;
        EXPECT_EQ(reader->m_nBitsPerSample, 8);
        EXPECT_EQ(reader->m_nBitsPerPixel, 8);
        EXPECT_EQ(reader->m_nPaletteSize, 0);
        EXPECT_EQ(reader->m_nRowBytes, static_cast<int32_t>(AlignedRowBytes(reader->m_nWidth * 8)));
    }
}

TEST(JpegIo, JfifDensityRules)
{
    TempDir dir;
    const std::string base = Fixture("jpeg_420.jpg");
    struct Case {
        uint8_t unit;
        uint16_t x, y;
        float xres, yres;
    } cases[] = {
        {2, 118, 118, 118 * 2.54f, 118 * 2.54f},
        {2, 0, 0, 72 * 2.54f, 72 * 2.54f},
        {2, 0, 100, 72 * 2.54f, 100 * 2.54f},
        {0, 1, 2, 72, 72},
        {0, 300, 300, 72, 72},
        {1, 300, 150, 300, 150},
        {1, 0, 150, 72, 150},
        {7, 90, 45, 90, 45},
    };
    for (const Case& c : cases) {
        const std::string path = EditedCopy(dir, base, "density.jpg", [&](std::vector<uint8_t>& b) {
            ASSERT_EQ(std::memcmp(&b[6], "JFIF", 5), 0);
            b[13] = c.unit;
            Set16(b, 14, c.x, true);
            Set16(b, 16, c.y, true);
        });
        int ok = 0;
        auto reader = OpenReader(path, &ok);
        ASSERT_EQ(ok, 1);
        EXPECT_EQ(reader->m_fXRes, c.xres) << int(c.unit) << " " << c.x << "x" << c.y;
        EXPECT_EQ(reader->m_fYRes, c.yres) << int(c.unit) << " " << c.x << "x" << c.y;
    }
    EXPECT_FLOAT_EQ(118 * 2.54f, 299.72f);

    // Without a JFIF marker the library reports no unit: 72 x 72.
    const std::string bare = EditedCopy(dir, base, "bare.jpg", [](std::vector<uint8_t>& b) {
        ASSERT_EQ(b[3], 0xE0);
        b.erase(b.begin() + 2, b.begin() + 4 + (b[4] << 8 | b[5]));
    });
    int ok = 0;
    auto reader = OpenReader(bare, &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(reader->m_fXRes, 72.0f);
    EXPECT_EQ(reader->m_fYRes, 72.0f);
    EXPECT_EQ(reader->m_nWidth, 333u);
}

TEST(JpegIo, PhysicalSizeAndPreviewThroughTheExport)
{
    TempDir dir;
    const std::string path = EditedCopy(dir, Fixture("jpeg_420.jpg"), "dpi.jpg",
                                        [](std::vector<uint8_t>& b) {
                                            b[13] = 1;
                                            b[14] = 0, b[15] = 111;
                                            b[16] = 0, b[17] = 50;
                                        });
    ImageSummary summary{};
    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 0, dir.path().c_str()), 1);
    EXPECT_FLOAT_EQ(summary.fWidthInches, 3.0f);
    EXPECT_FLOAT_EQ(summary.fHeightInches, 5.0f);
    EXPECT_EQ(summary.pPreviewBits, nullptr);

    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 1, dir.path().c_str()), 1);
    EXPECT_EQ(summary.nPreviewWidth, 200);
    EXPECT_EQ(summary.nPreviewHeight, 150);
    ASSERT_NE(summary.pPreviewBits, nullptr);
    ImageFree(&summary.pPreviewBits);

    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 2, dir.path().c_str()), 1);
    EXPECT_EQ(summary.nPreviewWidth, 333);
    EXPECT_EQ(summary.nPreviewHeight, 250);
    ImageFree(&summary.pPreviewBits);
}

// The preview equals djpeg's decode with the library defaults, sampled by the
// first-match rule, for every subsampling, grey, progressive and restart file.
TEST(JpegIo, PreviewMatchesIndependentDecode)
{
    QUORVEL_REQUIRE_TOOL("djpeg");
    TempDir dir;
    for (const char* name : kRgbFixtures) {
        const std::string path = Fixture(name);
        Raster oracle;
        ASSERT_TRUE(DjpegDecode(path, dir, &oracle)) << name;
        for (int full = 0; full < 2; ++full) {
            auto reader = OpenReader(path);
            reader->m_bFullSize = full;
            int32_t w = 0, h = 0;
            unsigned char* bits = nullptr;
            ASSERT_EQ(reader->MakeDib(&w, &h, &bits), 1) << name;
            EXPECT_TRUE(reader->m_file.IsOpen());
            ASSERT_EQ(oracle.width, reader->m_nWidth);
            const uint32_t dw = static_cast<uint32_t>(w), dh = static_cast<uint32_t>(h);
            EXPECT_EQ(dw, full ? 333u : 200u);
            const Planes expect = SampleOracle(oracle, dw, dh);
            const size_t stride = ((dw * 24 + 31) / 32) * 4;
            size_t mismatches = 0;
            for (uint32_t y = 0; y < dh; ++y) {
                const unsigned char* row = bits + (dh - 1 - y) * stride;
                for (uint32_t x = 0; x < dw; ++x) {
                    const size_t p = y * expect.row + x;
                    const uint8_t r = expect.data[0][p];
                    const uint8_t g = oracle.channels == 3 ? expect.data[1][p] : r;
                    const uint8_t b = oracle.channels == 3 ? expect.data[2][p] : r;
                    mismatches += row[3 * x] != b || row[3 * x + 1] != g || row[3 * x + 2] != r;
                }
            }
            EXPECT_EQ(mismatches, 0u) << name << (full ? " full size" : " fitted");
            ImageFree(&bits);
        }
    }
}

// The short cuts of the decode (passing over rows the preview does not take)
// give the same planes as decoding every scanline, and both equal an
// independent decode, for every kind of file and many preview sizes.
TEST(JpegIo, FastDecodeIdenticalToFullDecode)
{
    QUORVEL_REQUIRE_TOOL("djpeg");
    QUORVEL_REQUIRE_PYTHON_MODULE("PIL");
    TempDir dir;
    std::vector<std::string> files;
    for (const char* name : kRgbFixtures)
        files.push_back(Fixture(name));
    files.push_back(Fixture("jpeg_cmyk.jpg"));
    files.push_back(Fixture("jpeg_ycck.jpg"));
    // Truncated files decode with the library's filler for the missing part.
    // (The progressive cut lands inside a scan, not inside a table.)
    for (const auto& [name, fraction] : {std::pair<const char*, double>{"jpeg_420.jpg", 0.6},
                                         {"jpeg_progressive.jpg", 0.34},
                                         {"jpeg_restart.jpg", 0.6}}) {
        const std::string cut = std::string("cut_") + name;
        files.push_back(EditedCopy(dir, Fixture(name), cut.c_str(), [&](std::vector<uint8_t>& b) {
            b.resize(static_cast<size_t>(b.size() * fraction));
        }));
    }

    for (const std::string& path : files) {
        int ok = 0;
        auto reader = OpenReader(path, &ok);
        ASSERT_EQ(ok, 1) << path;
        const bool cmyk = reader->m_nColorMode == COLOR_CMYK;
        Raster oracle;
        ASSERT_TRUE(cmyk ? PillowCmyk(path, dir, &oracle) : DjpegDecode(path, dir, &oracle)) << path;
        for (const auto& [dw, dh] : SizesFor(reader->m_nWidth, reader->m_nHeight)) {
            Planes plain(dw, dh, reader->m_nChannels);
            Planes fast(dw, dh, reader->m_nChannels);
            ASSERT_TRUE(ReadPlanesWith(true, *reader, dw, dh, &plain)) << path;
            ASSERT_TRUE(ReadPlanesWith(false, *reader, dw, dh, &fast)) << path;
            EXPECT_TRUE(plain.data == fast.data) << path << " " << dw << "x" << dh;
            EXPECT_TRUE(SampleOracle(oracle, dw, dh).data == fast.data) << path << " " << dw << "x" << dh;
        }
        EXPECT_TRUE(reader->m_file.IsOpen());
    }
}

TEST(JpegIo, CmykPlanesHoldTheInvertedSamples)
{
    // White in an Adobe CMYK file is stored as 255 in every component (no
    // ink); the planes hold 255 minus that.  The white rectangle of the
    // source covers (20, 20) of the half-size CMYK fixtures.
    for (const char* name : {"jpeg_cmyk.jpg", "jpeg_ycck.jpg"}) {
        const std::string path = Fixture(name);
        auto reader = OpenReader(path);
        const uint32_t w = reader->m_nWidth, h = reader->m_nHeight;
        Planes planes(w, h, 4);
        ASSERT_TRUE(ReadPlanesWith(false, *reader, w, h, &planes));
        for (int k = 0; k < 4; ++k)
            EXPECT_LE(planes.data[k][20 * planes.row + 20], 2) << name << " plane " << k;
        // The bottom-right corner is magenta: much magenta ink, little cyan.
        const size_t p = 100 * planes.row + 137;
        EXPECT_GT(planes.data[1][p], 200) << name;
        EXPECT_LT(planes.data[0][p], 60) << name;

        int32_t dw = 0, dh = 0;
        unsigned char* bits = nullptr;
        ASSERT_EQ(reader->MakeDib(&dw, &dh, &bits), 1);
        EXPECT_EQ(dw, 166);
        EXPECT_EQ(dh, 125);
        ImageFree(&bits);
    }
}

// Failures come back as 0 with nothing held: no descriptor, no memory (the
// sanitizer build checks), the reader's file open again on the same path.
TEST(JpegIo, DamagedFilesFailCleanly)
{
    TempDir dir;
    const std::string notJpeg = dir.File("text.jpg");
    ASSERT_TRUE(WriteFileBytes(notJpeg, std::vector<uint8_t>(300, 'x')));
    const std::string empty = dir.File("empty.jpg");
    ASSERT_TRUE(WriteFileBytes(empty, {}));
    // A Huffman table whose code counts exceed the table: refused with the
    // header.
    const std::string badTable =
        EditedCopy(dir, Fixture("jpeg_420.jpg"), "badtable.jpg", [](std::vector<uint8_t>& b) {
            const size_t dht = FindMarker(b, 0xC4);
            ASSERT_NE(dht, std::string::npos);
            for (int i = 0; i < 16; ++i)
                b[dht + 5 + i] = 0xFF;
        });
    // The library's own message reaches standard error.
    {
        testing::internal::CaptureStderr();
        CJpegIo reader(notJpeg.c_str());
        EXPECT_EQ(reader.ReadHeader(), 0);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Not a JPEG file"), std::string::npos);
        EXPECT_EQ(reader.m_file.GetFilePath(), notJpeg);
    }
    const size_t before = OpenDescriptors();
    const std::pair<std::string, Refusal> cases[] = {
        {notJpeg, Refusal::JpegSignature},
        {empty, Refusal::Truncated},
        {badTable, Refusal::JpegLibraryError},
        {Fixture("jpeg_two_components.jpg"), Refusal::UnsupportedColour},
    };
    for (const auto& [path, reason] : cases) {
        {
            int ok = -1;
            auto reader = OpenReader(path, &ok);
            EXPECT_EQ(ok, 0) << path;
            EXPECT_EQ(reader->m_nRefusal, reason) << path << ": " << RefusalName(reader->m_nRefusal);
            EXPECT_TRUE(reader->m_file.IsOpen()) << path;
        }  // the reader holds the file without sharing
        ImageSummary summary{};
        Refusal why = Refusal::None;
        EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 1, dir.path().c_str(), &why), 0) << path;
        EXPECT_EQ(why, reason) << path << ": " << RefusalName(why);
        EXPECT_EQ(summary.nFlag, 1);
        EXPECT_EQ(summary.fWidthInches, 0.0f);
    }
    EXPECT_EQ(OpenDescriptors(), before);

    // A file that cannot be opened leaves the reader's file closed.
    const std::string missingPath = dir.File("missing.jpg");
    CJpegIo missing(missingPath.c_str());
    EXPECT_EQ(missing.ReadHeader(), 0);
    EXPECT_EQ(missing.m_nRefusal, Refusal::CannotOpen);
    EXPECT_FALSE(missing.m_file.IsOpen());
}

TEST(JpegIo, ErrorInsideTheDecodeReleasesEverything)
{
    // A progressive file whose Huffman table before a later scan is broken:
    // the error comes while the planes and the preview block are held.
    TempDir dir;
    const std::string path = EditedCopy(
        dir, Fixture("jpeg_progressive.jpg"), "badscan.jpg", [](std::vector<uint8_t>& b) {
            // The last DHT segment of the file lies between scans.
            size_t last = std::string::npos;
            for (size_t i = 0; i + 1 < b.size(); ++i)
                if (b[i] == 0xFF && b[i + 1] == 0xC4)
                    last = i;
            ASSERT_NE(last, std::string::npos);
            ASSERT_GT(last, FindMarker(b, 0xDA));
            for (int k = 0; k < 16; ++k)
                b[last + 5 + k] = 0xFF;
        });
    const size_t before = OpenDescriptors();
    int ok = 0;
    auto reader = OpenReader(path, &ok);
    // A size alone does not read the later scans of a multi-scan file.
    EXPECT_EQ(ok, 1);
    int32_t w = -1, h = -1;
    unsigned char* bits = reinterpret_cast<unsigned char*>(1);
    EXPECT_EQ(reader->MakeDib(&w, &h, &bits), 0);
    EXPECT_EQ(reader->m_nRefusal, Refusal::JpegLibraryError);
    EXPECT_EQ(bits, nullptr);
    EXPECT_TRUE(reader->m_file.IsOpen());
    reader.reset();
    EXPECT_EQ(OpenDescriptors(), before);

    ImageSummary summary{};
    Refusal why = Refusal::None;
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 1, dir.path().c_str(), &why), 0);
    EXPECT_EQ(why, Refusal::JpegLibraryError);
    EXPECT_EQ(summary.pPreviewBits, nullptr);
    // Decoding every scan for the size refuses the file there already.
    CJpegIo::SetPlainDecodeForTesting(true);
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 0, dir.path().c_str(), &why), 0);
    EXPECT_EQ(why, Refusal::JpegLibraryError);
    CJpegIo::SetPlainDecodeForTesting(false);
}

TEST(JpegIo, DamagedDataStillPreviews)
{
    // Truncation and broken entropy-coded data are warnings: the library
    // fills in and the preview is made.
    TempDir dir;
    const std::string truncated = EditedCopy(dir, Fixture("jpeg_420.jpg"), "cut.jpg",
                                             [](std::vector<uint8_t>& b) { b.resize(b.size() / 2); });
    const std::string garbled = EditedCopy(
        dir, Fixture("jpeg_444.jpg"), "garbled.jpg", [](std::vector<uint8_t>& b) {
            const size_t sos = FindMarker(b, 0xDA);
            ASSERT_NE(sos, std::string::npos);
            for (size_t i = sos + 40; i < sos + 400; ++i)
                b[i] = static_cast<uint8_t>((i * 37) % 255);  // never 0xFF
        });
    const std::string truncatedProgressive =
        EditedCopy(dir, Fixture("jpeg_progressive.jpg"), "cutp.jpg",
                   [](std::vector<uint8_t>& b) { b.resize(b.size() / 3); });
    const size_t before = OpenDescriptors();
    for (const std::string& path : {truncated, garbled, truncatedProgressive}) {
        for (int32_t mode : {1, 2}) {
            ImageSummary summary{};
            ASSERT_EQ(GetQuorvel(path.c_str(), &summary, mode, dir.path().c_str()), 1) << path;
            EXPECT_EQ(summary.nPreviewWidth, mode == 1 ? 200 : 333);
            ImageFree(&summary.pPreviewBits);
        }
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

// The reader's source buffer is refilled part-way: marker segments skipped
// across a refill, and scan data crossing one, decode as the file unpadded.
TEST(JpegIo, DataCrossingTheSourceBufferDecodesAlike)
{
    TempDir dir;
    constexpr size_t kBuffer = 256 * 1024;
    for (const char* name : {"jpeg_420.jpg", "jpeg_progressive.jpg", "jpeg_restart.jpg"}) {
        const std::vector<uint8_t> original = ReadFileBytes(Fixture(name));
        const size_t sos = FindMarker(original, 0xDA);
        ASSERT_NE(sos, std::string::npos) << name;
        // Padding (APP15 segments after SOI) that puts the buffer's end in
        // the middle of a segment, then a few hundred bytes into the scan.
        for (size_t padding : {kBuffer + 70000, kBuffer - sos - 300}) {
            const std::string path = EditedCopy(dir, Fixture(name), "padded.jpg", [&](std::vector<uint8_t>& b) {
                std::vector<uint8_t> pad;
                for (size_t left = padding; left > 0;) {
                    size_t segment = std::min<size_t>(left, 65537);
                    if (left - segment != 0 && left - segment < 4)
                        segment -= 4;  // room for the header of one more
                    const size_t length = segment - 2;  // counts its own two bytes
                    pad.insert(pad.end(), {0xFF, 0xEF, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
                    pad.resize(pad.size() + length - 2, 0x5A);
                    left -= segment;
                }
                b.insert(b.begin() + 2, pad.begin(), pad.end());
            });
            for (int32_t mode : {1, 2}) {
                ImageSummary want{}, got{};
                ASSERT_EQ(GetQuorvel(Fixture(name).c_str(), &want, mode, dir.path().c_str()), 1) << name;
                ASSERT_EQ(GetQuorvel(path.c_str(), &got, mode, dir.path().c_str()), 1) << name << " " << padding;
                ASSERT_EQ(got.nPreviewWidth, want.nPreviewWidth);
                ASSERT_EQ(got.nPreviewHeight, want.nPreviewHeight);
                const size_t bytes = ((static_cast<size_t>(want.nPreviewWidth) * 24 + 31) / 32) * 4 * want.nPreviewHeight;
                EXPECT_EQ(std::memcmp(got.pPreviewBits, want.pPreviewBits, bytes), 0) << name << " " << padding;
                ImageFree(&want.pPreviewBits);
                ImageFree(&got.pPreviewBits);
            }
        }
    }
}

// Damaged bytes anywhere: never a crash (the sanitizer build checks), and the
// short cuts agree with the full decode on the result and on every byte.
TEST(JpegIo, CorruptedFilesDecodeAlikeBothWays)
{
    TempDir dir;
    std::vector<std::string> names(std::begin(kRgbFixtures), std::end(kRgbFixtures));
    names.push_back("jpeg_cmyk.jpg");
    names.push_back("jpeg_ycck.jpg");
    uint32_t seed = 2024;
    auto random = [&seed](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    int previews = 0;
    for (const std::string& name : names) {
        for (int variant = 0; variant < 24; ++variant) {
            const std::string path =
                EditedCopy(dir, Fixture(name.c_str()), "corrupt.jpg", [&](std::vector<uint8_t>& b) {
                    const int flips = 1 + static_cast<int>(random(4));
                    for (int i = 0; i < flips; ++i)
                        b[2 + random(static_cast<uint32_t>(b.size() - 2))] ^=
                            static_cast<uint8_t>(1 + random(255));
                });
            int ok = 0;
            auto reader = OpenReader(path, &ok);
            if (ok == 0)
                continue;
            const uint32_t dw = std::min(reader->m_nWidth, 200u);
            const uint32_t dh = std::min(reader->m_nHeight, 150u);
            Planes plain(dw, dh, reader->m_nChannels);
            Planes fast(dw, dh, reader->m_nChannels);
            const bool a = ReadPlanesWith(true, *reader, dw, dh, &plain);
            const bool b = ReadPlanesWith(false, *reader, dw, dh, &fast);
            EXPECT_EQ(a, b) << name << " variant " << variant;
            EXPECT_TRUE(plain.data == fast.data) << name << " variant " << variant;
            previews += a;
        }
    }
    EXPECT_GT(previews, 0);
}

TEST(JpegIo, HugeMultiScanPictureIsRefusedNotAllocated)
{
    // A progressive header claiming 20000 x 20000 pixels needs about 1.2 GB
    // of coefficients, which a file of a few KB cannot fill: the decode is
    // refused at once, in a fitted preview too.  With less memory than even
    // the least the library may keep, memory is the reason.
    TempDir dir;
    const std::string path = EditedCopy(dir, Fixture("jpeg_progressive.jpg"), "huge.jpg",
                                        [](std::vector<uint8_t>& b) {
                                            const size_t sof = FindMarker(b, 0xC2);
                                            ASSERT_NE(sof, std::string::npos);
                                            b[sof + 5] = 0x4E, b[sof + 6] = 0x20;  // height
                                            b[sof + 7] = 0x4E, b[sof + 8] = 0x20;  // width
                                        });
    for (const uint64_t physical : {uint64_t{0}, 16 * MiB}) {
        std::unique_ptr<FakeMemory> memory;
        if (physical != 0)
            memory = std::make_unique<FakeMemory>(physical, physical);
        int ok = 0;
        auto reader = OpenReader(path, &ok);
        ASSERT_EQ(ok, 1);
        EXPECT_EQ(reader->m_nWidth, 20000u);
        int32_t w = 0, h = 0;
        unsigned char* bits = nullptr;
        EXPECT_EQ(reader->MakeDib(&w, &h, &bits), 0);
        EXPECT_EQ(reader->m_nRefusal, physical == 0 ? Refusal::LargerThanFile : Refusal::OutOfMemory)
            << RefusalName(reader->m_nRefusal);
        EXPECT_EQ(bits, nullptr);
        EXPECT_TRUE(reader->m_file.IsOpen());
    }
}

// A uniform 4000 x 4000 picture coded by cjpeg with the given options.
std::string UniformJpeg(const TempDir& dir, const char* name, const char* options)
{
    const std::string path = dir.File(name);
    const std::string command = std::string("cjpeg ") + options + " -outfile '" + path + "'";
    FILE* pipe = popen(command.c_str(), "w");
    if (pipe == nullptr)
        return path;
    const uint32_t side = 4000;
    std::fprintf(pipe, "P6 %u %u 255\n", side, side);
    const std::vector<uint8_t> row = [&] {
        std::vector<uint8_t> r;
        for (uint32_t x = 0; x < side; ++x)
            r.insert(r.end(), {200, 120, 40});
        return r;
    }();
    for (uint32_t y = 0; y < side; ++y)
        std::fwrite(row.data(), 1, row.size(), pipe);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return path;
}

// A full-size preview is refused, before its block is allocated, when the
// file is too short to code the picture its header declares; the bound is
// the best any coding achieves, so real files, uniform ones included, pass.
TEST(JpegIo, FullSizeNeedsAFileLongEnoughForThePicture)
{
    TempDir dir;
    // A copy of `from` whose frame header (marker `sof`) claims 20000 x 20000
    // (a 1.2 GB block): its size is still read, its full-size preview is
    // refused before anything large is asked for.
    const auto expectLiarRefused = [&dir](const std::string& from, const char* name, uint8_t sof) {
        const std::string liar = EditedCopy(dir, from, name, [sof](std::vector<uint8_t>& b) {
            const size_t at = FindMarker(b, sof);
            ASSERT_NE(at, std::string::npos);
            b[at + 5] = 0x4E, b[at + 6] = 0x20;  // height
            b[at + 7] = 0x4E, b[at + 8] = 0x20;  // width
        });
        FakeMemory memory(64 * 1024 * MiB, 64 * 1024 * MiB);
        ImageSummary summary{};
        Refusal why = Refusal::None;
        EXPECT_EQ(GetQuorvelWithReason(liar.c_str(), &summary, 2, dir.path().c_str(), &why), 0) << name;
        EXPECT_EQ(why, Refusal::LargerThanFile) << name;
        for (size_t bytes : FakeMemory::requests)
            EXPECT_LT(bytes, 1 * MiB) << name;
        EXPECT_EQ(GetQuorvelWithReason(liar.c_str(), &summary, 0, dir.path().c_str(), &why), 1) << name;
    };
    expectLiarRefused(Fixture("jpeg_420.jpg"), "liar.jpg", 0xC0);  // 5.9 KB of 333 x 250 pixels

    QUORVEL_REQUIRE_TOOL("cjpeg");
    // Optimised Huffman tables code a uniform block in exactly two bits;
    // arithmetic coding in next to nothing (the whole file is 214 bytes).
    const std::string optimised = UniformJpeg(dir, "optimised.jpg", "-optimize");
    const std::string arithmetic = UniformJpeg(dir, "arithmetic.jpg", "-arithmetic");
    for (const std::string& path : {optimised, UniformJpeg(dir, "progressive.jpg", "-progressive"), arithmetic,
                                    UniformJpeg(dir, "arithmetic_progressive.jpg", "-arithmetic -progressive")}) {
        ImageSummary summary{};
        Refusal why = Refusal::None;
        ASSERT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 2, dir.path().c_str(), &why), 1)
            << path << ": " << RefusalName(why);
        EXPECT_EQ(summary.nPreviewWidth, 4000);
        const unsigned char* px = summary.pPreviewBits + 3 * 1234;
        EXPECT_NEAR(px[0], 40, 2);
        EXPECT_NEAR(px[1], 120, 2);
        EXPECT_NEAR(px[2], 200, 2);
        QuorvelFreePreview(summary.pPreviewBits);
    }
    // Past a 64 MiB block an arithmetic-coded file is weighed like the
    // codings without a bound: 214 bytes claiming 20000 x 20000 is refused.
    expectLiarRefused(arithmetic, "arithmetic_liar.jpg", 0xC9);
    // The optimised file missing its last kilobyte cannot hold every block: its
    // fitted preview still shows the decoder's filler.
    const std::string cut = EditedCopy(dir, optimised, "cut.jpg", [](std::vector<uint8_t>& b) {
        b.resize(b.size() - 1024);
    });
    ImageSummary summary{};
    Refusal why = Refusal::None;
    EXPECT_EQ(GetQuorvelWithReason(cut.c_str(), &summary, 2, dir.path().c_str(), &why), 0);
    EXPECT_EQ(why, Refusal::LargerThanFile);
    ASSERT_EQ(GetQuorvelWithReason(cut.c_str(), &summary, 1, dir.path().c_str(), &why), 1);
    QuorvelFreePreview(summary.pPreviewBits);
}

TEST(JpegIo, FileChangedBetweenHeaderAndDecodeIsRefused)
{
    // The planes are sized from the first header; a decode of another size
    // must not fill them.
    TempDir dir;
    const std::string path = dir.File("swap.jpg");
    ASSERT_TRUE(WriteFileBytes(path, ReadFileBytes(Fixture("jpeg_cmyk.jpg"))));
    auto reader = OpenReader(path);
    ASSERT_EQ(reader->m_nChannels, 4u);
    reader->m_file.Close();
    ASSERT_TRUE(WriteFileBytes(path, ReadFileBytes(Fixture("jpeg_444.jpg"))));
    Planes planes(166, 125, 4);
    EXPECT_FALSE(ReadPlanesWith(false, *reader, 166, 125, &planes));
    EXPECT_EQ(reader->m_nRefusal, Refusal::JpegFileChanged);
    EXPECT_TRUE(reader->m_file.IsOpen());
}

// A CMYK (Adobe) JPEG previewed through the shipped colour table shows the
// picture's colours: paper white stays white, the green disc is green and
// the magenta square is magenta.
TEST(JpegIo, CmykPreviewThroughTheShippedTable)
{
    ImageSummary summary;
    const std::string path = TestData("jpeg_cmyk.jpg");
    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 1, QUORVEL_SAMPLES), 1);
    ASSERT_EQ(summary.nPreviewWidth, 166);
    ASSERT_EQ(summary.nPreviewHeight, 125);
    const uint32_t stride = ((166 * 24 + 31) / 32) * 4;
    auto pixel = [&](uint32_t x, uint32_t y) {
        const unsigned char* p = summary.pPreviewBits + (124 - y) * stride + 3 * x;
        return std::array<int, 3>{p[2], p[1], p[0]};  // red, green, blue
    };
    const auto white = pixel(25, 20);
    for (int c : white)
        EXPECT_GT(c, 225);
    const auto disc = pixel(80, 50);
    EXPECT_GT(disc[1], disc[0] + 40);
    EXPECT_GT(disc[1], disc[2] + 10);
    const auto square = pixel(137, 105);
    EXPECT_GT(square[0], square[1] + 80);
    EXPECT_GT(square[2], square[1] + 40);
    QuorvelFreePreview(summary.pPreviewBits);
}

}  // namespace
