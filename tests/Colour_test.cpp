// Colour table loading, the CMYK-to-RGB transform, and tables built by the
// colour-table command checked against LittleCMS.
#include "ByteOrder.h"
#include "FormatTable.h"
#include "ImageIo.h"
#include "TestSupport.h"
#include "cvt_test.h"
#include "quorvel.h"

#include <gtest/gtest.h>
#include <lcms2.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string kOpenError = "\xE6\x89\x93\xE5\xBC\x80\xE6\x96\x87\xE4\xBB\xB6\xE9\x94\x99 - ";
const char kCmykProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

using Rgb = std::array<int, 3>;

// A table file; every field can be spoilt.  Negative numbers leave a tag out.
struct TableLayout {
    uint32_t dirOffset = 8;
    int width = 289;
    int height = 289;
    std::vector<uint16_t> bits = {8, 8, 8};  // one value: inline; empty: no tag
    int compression = 1;
    int samples = 3;
    int planar = 1;
    bool stripsOutOfLine = false;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> TableBytes(const TableLayout& s)
{
    struct E {
        uint16_t tag, type;
        uint32_t count, value;
    };
    std::vector<E> entries;
    if (s.width >= 0)
        entries.push_back({256, 3, 1, static_cast<uint32_t>(s.width)});
    if (s.height >= 0)
        entries.push_back({257, 3, 1, static_cast<uint32_t>(s.height)});
    const uint32_t dirEnd = s.dirOffset + 2 + 12 * 10 + 4;
    const uint32_t bitsAt = dirEnd, stripsAt = dirEnd + 8, resAt = dirEnd + 24, dataAt = dirEnd + 40;
    if (s.bits.size() == 1)
        entries.push_back({258, 3, 1, s.bits[0]});
    else if (!s.bits.empty())
        entries.push_back({258, 3, static_cast<uint32_t>(s.bits.size()), bitsAt});
    if (s.compression >= 0)
        entries.push_back({259, 3, 1, static_cast<uint32_t>(s.compression)});
    entries.push_back({273, 4, s.stripsOutOfLine ? 2u : 1u, s.stripsOutOfLine ? stripsAt : dataAt});
    if (s.samples >= 0)
        entries.push_back({277, 3, 1, static_cast<uint32_t>(s.samples)});
    entries.push_back({282, 5, 1, resAt});
    entries.push_back({283, 5, 1, resAt + 8});
    if (s.planar >= 0)
        entries.push_back({284, 3, 1, static_cast<uint32_t>(s.planar)});

    std::vector<uint8_t> v(dataAt + s.data.size(), 0);
    v[0] = v[1] = 'I';
    StoreLE16(v.data() + 2, 42);
    StoreLE32(v.data() + 4, s.dirOffset);
    StoreLE16(v.data() + s.dirOffset, static_cast<uint16_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t at = s.dirOffset + 2 + 12 * i;
        StoreLE16(v.data() + at, entries[i].tag);
        StoreLE16(v.data() + at + 2, entries[i].type);
        StoreLE32(v.data() + at + 4, entries[i].count);
        StoreLE32(v.data() + at + 8, entries[i].value);
    }
    for (size_t i = 0; i < s.bits.size() && i < 3; ++i)
        StoreLE16(v.data() + bitsAt + 2 * i, s.bits[i]);
    StoreLE32(v.data() + stripsAt, dataAt);
    StoreLE32(v.data() + stripsAt + 4, 0xFFFFFFFF);  // a second strip that is never used
    std::memcpy(v.data() + dataAt, s.data.data(), s.data.size());
    return v;
}

std::vector<uint8_t> Pattern(size_t n, unsigned seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

TableLayout FullTable(unsigned seed)
{
    TableLayout s;
    s.data = Pattern(COLOUR_TABLE_USED, seed);
    return s;
}

void Install(const std::string& dir, const std::vector<uint8_t>& bytes)
{
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(WriteFileBytes(dir + "/otd.cvt", bytes));
}

int16_t LoadFrom(const char* baseDir, const char* tableDir = nullptr, int16_t mode = 1)
{
    TransformArgs args{};
    args.pszBaseDir = baseDir;
    args.pszTableDir = tableDir;
    int16_t status = 99;
    EXPECT_EQ(ColourTransform(mode, &args, &status), 1);
    return status;
}

std::vector<uint8_t> Snapshot() { return std::vector<uint8_t>(ColourTable, ColourTable + COLOUR_TABLE_BYTES); }

// Gives the whole buffer known contents (and rebuilds the grid offsets).
std::vector<uint8_t> FillTable(unsigned seed)
{
    LoadFrom(nullptr);  // rebuilds the offsets, fails quietly
    const std::vector<uint8_t> bytes = Pattern(COLOUR_TABLE_BYTES, seed);
    std::memcpy(ColourTable, bytes.data(), bytes.size());
    return bytes;
}

const unsigned char* Entry(int c, int m, int y, int k)
{
    return ColourTable + 3 * (c + 17 * m + 289 * y + 4913 * k);
}
void SetEntry(int c, int m, int y, int k, Rgb rgb)
{
    unsigned char* e = ColourTable + 3 * (c + 17 * m + 289 * y + 4913 * k);
    for (int t = 0; t < 3; ++t)
        e[t] = static_cast<unsigned char>(rgb[t]);
}

Rgb Convert(int c, int m, int y, int k, int16_t mode = 2)
{
    unsigned char in[4] = {static_cast<unsigned char>(c), static_cast<unsigned char>(m),
                           static_cast<unsigned char>(y), static_cast<unsigned char>(k)};
    unsigned char out[3] = {};
    TransformArgs args{};
    args.pIn = in;
    args.pOut = out;
    // Planar planes of one pixel lie one byte apart, as the preview uses them.
    const bool planar = mode == 3 || mode == -3;
    args.nInStride = planar ? 1 : 4;
    args.nOutStride = planar ? 1 : 3;
    args.nCount = 1;
    args.nRows = 1;
    int16_t status = 0;
    EXPECT_EQ(ColourTransform(mode, &args, &status), 1);
    EXPECT_EQ(status, 1);
    return {out[0], out[1], out[2]};
}

Rgb At(const unsigned char* e) { return {e[0], e[1], e[2]}; }

// ---------------------------------------------------------------- transform

TEST(ColourTransform, GridPointsReproduceTheirEntries)
{
    FillTable(1);
    EXPECT_EQ(Convert(0, 0, 0, 0), At(ColourTable));
    for (int c : {0, 1, 7, 15})
        for (int m : {0, 4, 15})
            for (int y : {0, 9, 15})
                for (int k : {0, 3, 15})
                    ASSERT_EQ(Convert(16 * c, 16 * m, 16 * y, 16 * k), At(Entry(c, m, y, k)));
}

TEST(ColourTransform, FullInkWalksToTheLastEntryWithWeightFifteenSixteenths)
{
    FillTable(0);
    std::memset(ColourTable, 0, COLOUR_TABLE_USED);
    SetEntry(16, 16, 16, 16, {160, 32, 255});
    // The walk passes three zero corners and ends at the last entry.
    EXPECT_EQ(Convert(255, 255, 255, 255), (Rgb{150, 30, 239}));
    EXPECT_EQ(Convert(240, 240, 240, 240), (Rgb{0, 0, 0}));
    SetEntry(15, 15, 15, 15, {100, 100, 100});
    // 100 + round(15 * (160 - 100) / 16) etc., with the zero corners between.
    EXPECT_EQ(Convert(255, 255, 255, 255), (Rgb{100 + ((-100 * 15 + 160 * 15 + 8) >> 4),
                                                100 + ((-100 * 15 + 32 * 15 + 8) >> 4),
                                                100 + ((-100 * 15 + 255 * 15 + 8) >> 4)}));
}

TEST(ColourTransform, ZeroTableGivesBlackEverywhere)
{
    FillTable(0);
    std::memset(ColourTable, 0, COLOUR_TABLE_BYTES);
    for (int v : {0, 1, 77, 128, 200, 255})
        EXPECT_EQ(Convert(v, 255 - v, v / 2, 255), (Rgb{0, 0, 0}));
}

TEST(ColourTransform, AxesAreWalkedLargestFractionFirstTiesLowerAxisFirst)
{
    FillTable(0);
    std::memset(ColourTable, 0, COLOUR_TABLE_USED);
    // Fractions (5, 9, 9, 2) walk axes 1, 2, 0, 3: through (0,1,0,0),
    // (0,1,1,0), (1,1,1,0) to (1,1,1,1).  Other corners stay zero, so a
    // different order meets zeros instead.  (Which of two tied axes goes
    // first cannot show in the result: their steps carry equal weights.)
    SetEntry(0, 1, 0, 0, {160, 0, 16});
    SetEntry(0, 1, 1, 0, {16, 200, 16});
    SetEntry(1, 1, 1, 0, {240, 40, 16});
    SetEntry(1, 1, 1, 1, {0, 255, 16});
    const int red = 160 * 9 + (16 - 160) * 9 + (240 - 16) * 5 + (0 - 240) * 2;
    const int green = 0 * 9 + 200 * 9 + (40 - 200) * 5 + (255 - 40) * 2;
    const int blue = 16 * 9;
    EXPECT_EQ(Convert(5, 9, 9, 2), (Rgb{(red + 8) >> 4, (green + 8) >> 4, (blue + 8) >> 4}));
    // Walking in the natural order 0, 1, 2, 3 would give something else.
    EXPECT_NE((red + 8) >> 4, (240 * 9 + (0 - 240) * 2 + 8) >> 4);
    // Fractions (2, 9, 9, 5) walk 1, 2, 3, 0 and never reach (1,1,1,0).
    SetEntry(0, 1, 1, 1, {0, 0, 0});
    SetEntry(1, 1, 1, 1, {64, 0, 0});
    EXPECT_EQ(Convert(2, 9, 9, 5)[0], (160 * 9 + (16 - 160) * 9 + (0 - 16) * 5 + 64 * 2 + 8) >> 4);
}

TEST(ColourTransform, SingleRoundingTiesGoUpward)
{
    FillTable(0);
    std::memset(ColourTable, 0, COLOUR_TABLE_USED);
    // Only axis 0 has a fraction (1), so the accumulator is the step itself.
    SetEntry(0, 0, 0, 0, {100, 100, 100});
    SetEntry(1, 0, 0, 0, {108, 92, 91});
    SetEntry(1, 1, 0, 0, {108, 92, 91});  // the zero-weight steps change nothing
    SetEntry(1, 1, 1, 0, {108, 92, 91});
    SetEntry(1, 1, 1, 1, {108, 92, 91});
    // +8 adds 1, -8 adds 0, -9 takes 1 away.
    EXPECT_EQ(Convert(1, 0, 0, 0), (Rgb{101, 100, 99}));
    SetEntry(1, 0, 0, 0, {107, 0, 255});
    SetEntry(1, 1, 0, 0, {107, 0, 255});
    SetEntry(1, 1, 1, 0, {107, 0, 255});
    SetEntry(1, 1, 1, 1, {107, 0, 255});
    // 7 rounds to 0; -100 to -6 (floor of -92/16); 155 to 10.
    EXPECT_EQ(Convert(1, 0, 0, 0), (Rgb{100, 94, 110}));
}

TEST(ColourTransform, ModesAndStatus)
{
    FillTable(2);
    unsigned char in[4] = {10, 20, 30, 40};
    unsigned char out[3] = {1, 2, 3};
    TransformArgs args{};
    args.pIn = in;
    args.pOut = out;
    args.nInStride = 4;
    args.nOutStride = 3;
    args.nCount = 1;
    args.nRows = 1;
    for (int16_t mode : {4, 5, 6, 7, 8, 9, -4, -9}) {
        int16_t status = 99;
        EXPECT_EQ(ColourTransform(mode, &args, &status), 1) << mode;
        EXPECT_EQ(status, 1) << mode;
    }
    for (int16_t mode : {10, 11, 1000, -10, -32768, 32767}) {
        int16_t status = 99;
        EXPECT_EQ(ColourTransform(mode, &args, &status), 1) << mode;
        EXPECT_EQ(status, 0) << mode;
    }
    EXPECT_EQ(out[0], 1);  // none of these touched the output
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(ColourTransform(2, &args, nullptr), 1);  // the status word is optional
}

TEST(ColourTransform, NegativeModeReversesOnlyTheInterleavedOutput)
{
    FillTable(3);
    const Rgb forward = Convert(33, 66, 99, 132, 2);
    EXPECT_EQ(Convert(33, 66, 99, 132, -2), (Rgb{forward[2], forward[1], forward[0]}));
    EXPECT_NE(forward[0], forward[2]);
    EXPECT_EQ(Convert(33, 66, 99, 132, 3), forward);
    EXPECT_EQ(Convert(33, 66, 99, 132, -3), forward);
}

TEST(ColourTransform, InterleavedAndPlanarLayoutsWithRowStrides)
{
    FillTable(4);
    constexpr uint32_t kRows = 2, kCount = 3;
    const std::vector<uint8_t> cmyk = Pattern(kRows * kCount * 4, 9);

    // Interleaved: rows 13 bytes apart in, 11 out; padding must stay.
    std::vector<uint8_t> in(2 * 13, 0xEE), out(2 * 11, 0xEE);
    for (uint32_t r = 0; r < kRows; ++r)
        std::memcpy(&in[r * 13], &cmyk[r * kCount * 4], kCount * 4);
    TransformArgs args{in.data(), out.data(), 13, 11, kCount, kRows, nullptr, nullptr};
    int16_t status = 0;
    ASSERT_EQ(ColourTransform(2, &args, &status), 1);

    // Planar: four input planes of rows 5 bytes apart, three output planes
    // of rows 4 bytes apart.
    std::vector<uint8_t> pin(4 * kRows * 5, 0xEE), pout(3 * kRows * 4, 0xEE);
    for (uint32_t r = 0; r < kRows; ++r)
        for (uint32_t x = 0; x < kCount; ++x)
            for (uint32_t d = 0; d < 4; ++d)
                pin[d * kRows * 5 + r * 5 + x] = cmyk[(r * kCount + x) * 4 + d];
    TransformArgs pargs{pin.data(), pout.data(), 5, 4, kCount, kRows, nullptr, nullptr};
    ASSERT_EQ(ColourTransform(3, &pargs, &status), 1);

    for (uint32_t r = 0; r < kRows; ++r) {
        for (uint32_t x = 0; x < kCount; ++x) {
            const uint8_t* p = &cmyk[(r * kCount + x) * 4];
            const Rgb expect = Convert(p[0], p[1], p[2], p[3]);
            for (uint32_t t = 0; t < 3; ++t) {
                EXPECT_EQ(out[r * 11 + 3 * x + t], expect[t]);
                EXPECT_EQ(pout[t * kRows * 4 + r * 4 + x], expect[t]);
            }
        }
        EXPECT_EQ(out[r * 11 + 9], 0xEE);
        EXPECT_EQ(pout[r * 4 + 3], 0xEE);
    }
}

// ---------------------------------------------------------------- loading

class ColourTableLoad : public ::testing::Test {
protected:
    // Establishes a known previous table.
    void SetUp() override { before = FillTable(7); }

    void ExpectUnchanged() { EXPECT_TRUE(Snapshot() == before); }

    // Loads the layout from host/color and expects it to be refused silently.
    void ExpectRefused(const TableLayout& layout)
    {
        Install(host + "/color", TableBytes(layout));
        MessageCapture capture;
        EXPECT_EQ(LoadFrom(host.c_str()), -1);
        EXPECT_TRUE(capture.messages.empty());
        ExpectUnchanged();
    }

    TempDir dir;
    std::string host = dir.File("host");
    std::vector<uint8_t> before;
};

TEST_F(ColourTableLoad, FullTableFillsTheTableAndRebuildsTheGridOffsets)
{
    std::memset(GridOffsets, 0, sizeof GridOffsets);
    const TableLayout layout = FullTable(11);
    Install(host + "/color", TableBytes(layout));
    MessageCapture capture;
    EXPECT_EQ(LoadFrom(host.c_str()), 1);
    EXPECT_TRUE(capture.messages.empty());
    EXPECT_EQ(std::memcmp(ColourTable, layout.data.data(), COLOUR_TABLE_USED), 0);
    EXPECT_EQ(std::memcmp(ColourTable + COLOUR_TABLE_USED, before.data() + COLOUR_TABLE_USED,
                          COLOUR_TABLE_BYTES - COLOUR_TABLE_USED),
              0);  // the spare room is left alone
    EXPECT_EQ(GridOffsets[1], 3);
    EXPECT_EQ(GridOffsets[17], 51);
    EXPECT_EQ(GridOffsets[33], 867);
    EXPECT_EQ(GridOffsets[63], 15 * 14739);
    EXPECT_EQ(LoadFrom(host.c_str(), nullptr, 0), 1);  // mode 0 loads too
}

TEST_F(ColourTableLoad, LooksInColorFirstThenInTheParentsColor)
{
    const TableLayout a = FullTable(21), b = FullTable(22);
    Install(dir.File("color"), TableBytes(b));  // host/../color
    std::filesystem::create_directories(host);
    MessageCapture capture;
    EXPECT_EQ(LoadFrom(host.c_str()), 1);
    EXPECT_EQ(std::memcmp(ColourTable, b.data.data(), COLOUR_TABLE_USED), 0);

    Install(host + "/color", TableBytes(a));
    EXPECT_EQ(LoadFrom(host.c_str()), 1);
    EXPECT_EQ(std::memcmp(ColourTable, a.data.data(), COLOUR_TABLE_USED), 0);
    EXPECT_TRUE(capture.messages.empty());
}

TEST_F(ColourTableLoad, ExplicitTableDirReplacesOnlyTheFirstPlace)
{
    const TableLayout a = FullTable(31), b = FullTable(32);
    Install(dir.File("elsewhere"), TableBytes(a));
    Install(host + "/color", TableBytes(b));
    EXPECT_EQ(LoadFrom(host.c_str(), dir.File("elsewhere").c_str()), 1);
    EXPECT_EQ(std::memcmp(ColourTable, a.data.data(), COLOUR_TABLE_USED), 0);
    // A table dir without the file falls back to base/../color, never base/color.
    MessageCapture capture;
    EXPECT_EQ(LoadFrom(host.c_str(), dir.File("nothing").c_str()), -1);
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0], kOpenError + host + "/../color/otd.cvt");
}

TEST_F(ColourTableLoad, MissingFileShowsTheSecondPathAndKeepsTheTable)
{
    std::filesystem::create_directories(host);
    MessageCapture capture;
    EXPECT_EQ(LoadFrom(host.c_str()), -1);
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0], kOpenError + host + "/../color/otd.cvt");
    ExpectUnchanged();
}

TEST_F(ColourTableLoad, NullBaseDirFailsQuietly)
{
    MessageCapture capture;
    EXPECT_EQ(LoadFrom(nullptr), -1);
    EXPECT_EQ(LoadColourTable(nullptr), 1);
    EXPECT_TRUE(capture.messages.empty());
    ExpectUnchanged();
}

TEST_F(ColourTableLoad, RefusedDirectoriesLeaveThePreviousTable)
{
    TableLayout s = FullTable(40);
    s.compression = 5;  // LZW
    ExpectRefused(s);
    s = FullTable(40);
    s.bits = {16};
    ExpectRefused(s);
    s.bits = {16, 16, 16};
    ExpectRefused(s);
    s.bits = {8, 8, 16};
    ExpectRefused(s);
    s.bits = {};  // no BitsPerSample at all
    ExpectRefused(s);
    s = FullTable(40);
    s.planar = 2;
    ExpectRefused(s);
    s.planar = -1;  // chunky must be stated
    ExpectRefused(s);
    s = FullTable(40);
    s.dirOffset = 601;
    ExpectRefused(s);
}

TEST_F(ColourTableLoad, UnsafeTablesAreRefused)
{
    // Samples per pixel neither 3 nor 4 give no data offset.
    TableLayout s = FullTable(50);
    for (int samples : {1, 2, 5, -1}) {
        s.samples = samples;
        ExpectRefused(s);
    }
    // Rows that would run past the 300,900-byte buffer.
    s = FullTable(50);
    s.width = 340;
    s.height = 296;
    ExpectRefused(s);
    s.width = 65535;
    s.height = 65535;
    ExpectRefused(s);
    // A directory that runs past the 600 bytes read for it.
    s = FullTable(50);
    s.dirOffset = 560;
    ExpectRefused(s);
    s.dirOffset = 600;
    ExpectRefused(s);
}

TEST_F(ColourTableLoad, ShortAndDamagedFilesAreRefused)
{
    const std::vector<uint8_t> whole = TableBytes(FullTable(60));
    for (size_t size : {0, 5, 9, 40}) {
        Install(host + "/color", std::vector<uint8_t>(whole.begin(), whole.begin() + size));
        MessageCapture capture;
        EXPECT_EQ(LoadFrom(host.c_str()), -1) << size;
        EXPECT_TRUE(capture.messages.empty());
        ExpectUnchanged();
    }
}

TEST_F(ColourTableLoad, TableFillingTheWholeBufferIsRead)
{
    TableLayout s;
    s.width = 340;
    s.height = 295;  // 340 * 295 * 3 = 300,900
    s.data = Pattern(COLOUR_TABLE_BYTES, 70);
    s.stripsOutOfLine = true;
    Install(host + "/color", TableBytes(s));
    EXPECT_EQ(LoadFrom(host.c_str()), 1);
    EXPECT_TRUE(Snapshot() == s.data);
}

TEST_F(ColourTableLoad, ShortTablesFillOnlyTheLeadingEntries)
{
    // Two rows of two pixels in a file far shorter than 600 bytes.
    TableLayout s;
    s.width = 2;
    s.height = 2;
    s.bits = {8};
    s.samples = 4;  // rows stay three bytes a pixel
    s.data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    Install(host + "/color", TableBytes(s));
    EXPECT_LT(TableBytes(s).size(), 600u);
    EXPECT_EQ(LoadFrom(host.c_str()), 1);
    EXPECT_EQ(std::memcmp(ColourTable, s.data.data(), 12), 0);
    EXPECT_EQ(std::memcmp(ColourTable + 12, before.data() + 12, COLOUR_TABLE_BYTES - 12), 0);

    // Data cut off in the middle: what arrived stays, the rest keeps its value.
    before = Snapshot();
    std::vector<uint8_t> cut = TableBytes(FullTable(71));
    const size_t dataAt = cut.size() - COLOUR_TABLE_USED;
    cut.resize(dataAt + 1000);
    Install(host + "/color", cut);
    EXPECT_EQ(LoadFrom(host.c_str()), 1);
    EXPECT_EQ(std::memcmp(ColourTable, cut.data() + dataAt, 1000), 0);
    EXPECT_EQ(std::memcmp(ColourTable + 1000, before.data() + 1000, COLOUR_TABLE_BYTES - 1000), 0);
}

TEST_F(ColourTableLoad, ReadErrorShowsErrorAndKeepsTheTable)
{
    // Reading /proc/self/mem at offset 0 fails with an I/O error.
    std::filesystem::create_directories(host + "/color");
    std::filesystem::create_symlink("/proc/self/mem", host + "/color/otd.cvt");
    CFile probe;
    if (!probe.Open((host + "/color/otd.cvt").c_str(), CFile::modeRead | CFile::shareDenyNone))
        GTEST_SKIP() << "/proc/self/mem cannot be opened here";
    probe.Close();
    MessageCapture capture;
    EXPECT_EQ(LoadFrom(host.c_str()), -1);
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0], "error");
    ExpectUnchanged();
}

TEST_F(ColourTableLoad, ParseTableHeaderReportsTheFields)
{
    TableLayout s = FullTable(80);
    s.samples = 4;
    s.stripsOutOfLine = true;
    const std::vector<uint8_t> bytes = TableBytes(s);
    Install(host, bytes);
    CFile file;
    ASSERT_TRUE(file.Open((host + "/otd.cvt").c_str(), CFile::modeRead));
    TableHeader h;
    h.nWidth = 1;
    ASSERT_EQ(ParseTableHeader(file, &h), 1);
    EXPECT_EQ(h.nWidth, 289);
    EXPECT_EQ(h.nHeight, 289);
    EXPECT_EQ(h.nBitsPerSample, 8);
    EXPECT_EQ(h.nSamplesPerPixel, 4);
    EXPECT_EQ(h.nPlanarConfig, 1);
    EXPECT_EQ(h.nDataOffset, bytes.size() - COLOUR_TABLE_USED);

    // Fields start cleared: a directory without them leaves zeros.
    TableLayout bare = s;
    bare.width = bare.height = bare.samples = bare.planar = -1;
    bare.bits = {};
    Install(host, TableBytes(bare));
    ASSERT_TRUE(file.Open((host + "/otd.cvt").c_str(), CFile::modeRead));
    ASSERT_EQ(ParseTableHeader(file, &h), 1);
    EXPECT_EQ(h.nWidth, 0);
    EXPECT_EQ(h.nBitsPerSample, 0);
    EXPECT_EQ(h.nSamplesPerPixel, 0);
    EXPECT_EQ(h.nPlanarConfig, 0);
}

// ------------------------------------------------- through GetQuorvel

// A 2 x 1 CMYK picture: paper white, then (16, 32, 48, 64).
class CmykReader : public CImageIo {
public:
    explicit CmykReader(const char* name) { m_pszPath = name; }
    int ReadHeader() override
    {
        m_nWidth = 2;
        m_nHeight = 1;
        m_fXRes = m_fYRes = 72;
        m_nColorMode = COLOR_CMYK;
        m_nChannels = 4;
        m_nSamplesPerPixel = 4;
        return 1;
    }
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override
    {
        return MakePlanesPreview(width, height, bits);
    }

protected:
    int ReadPreviewRows(unsigned char* const* planes) override
    {
        for (int d = 0; d < 4; ++d) {
            planes[d][0] = 0;
            planes[d][1] = static_cast<unsigned char>(16 * (d + 1));
        }
        return 1;
    }
};

CImageIo* CmykFactory(const char* name)
{
    return FormatFromExtension(name) == FMT_RAW ? new CmykReader(name) : nullptr;
}

class ColourThroughGetQuorvel : public ColourTableLoad {
protected:
    void SetUp() override
    {
        ColourTableLoad::SetUp();
        SetReaderFactoryForTesting(&CmykFactory);
        picture = dir.File("picture.raw");
        ASSERT_TRUE(WriteFileBytes(picture, {0}));
    }
    void TearDown() override { SetReaderFactoryForTesting(nullptr); }

    std::string picture;
    ImageSummary summary;
};

TEST_F(ColourThroughGetQuorvel, SizeOnlyNeverTouchesTheHostDirectory)
{
    Install(host + "/color", TableBytes(FullTable(90)));
    MessageCapture capture;
    EXPECT_EQ(GetQuorvel(picture.c_str(), &summary, 0, host.c_str()), 1);
    EXPECT_EQ(GetQuorvel(picture.c_str(), &summary, 0, dir.File("none").c_str()), 1);
    EXPECT_TRUE(capture.messages.empty());
    ExpectUnchanged();
}

TEST_F(ColourThroughGetQuorvel, EveryPreviewCallLoadsEvenWhenThePictureFails)
{
    const TableLayout a = FullTable(91);
    Install(host + "/color", TableBytes(a));
    MessageCapture capture;
    EXPECT_EQ(GetQuorvel(dir.File("missing.raw").c_str(), &summary, 1, host.c_str()), 0);
    EXPECT_EQ(GetQuorvel(dir.File("missing.xyz").c_str(), &summary, 2, host.c_str()), 0);
    EXPECT_EQ(std::memcmp(ColourTable, a.data.data(), COLOUR_TABLE_USED), 0);
    EXPECT_TRUE(capture.messages.empty());

    // Without a table the call still succeeds, after the message.
    std::filesystem::remove_all(host + "/color");
    ASSERT_EQ(GetQuorvel(picture.c_str(), &summary, 1, host.c_str()), 1);
    QuorvelFreePreview(summary.pPreviewBits);
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0], kOpenError + host + "/../color/otd.cvt");
}

TEST_F(ColourThroughGetQuorvel, CmykPreviewTakesItsColoursFromTheTable)
{
    const TableLayout a = FullTable(92);
    Install(host + "/color", TableBytes(a));
    ASSERT_EQ(GetQuorvel(picture.c_str(), &summary, 1, host.c_str()), 1);
    ASSERT_EQ(summary.nPreviewWidth, 2);
    ASSERT_NE(summary.pPreviewBits, nullptr);
    const unsigned char* bgr = summary.pPreviewBits;
    const unsigned char* white = Entry(0, 0, 0, 0);
    const unsigned char* other = Entry(1, 2, 3, 4);
    EXPECT_EQ((Rgb{bgr[2], bgr[1], bgr[0]}), At(white));
    EXPECT_EQ((Rgb{bgr[5], bgr[4], bgr[3]}), At(other));
    QuorvelFreePreview(summary.pPreviewBits);
}

// ------------------------------------------ tables built with LittleCMS

class ColourTableCommand : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        tmp = new TempDir;
        const std::string command = std::string(QUORVEL_CLI) + " colour-table --profile " + kCmykProfile +
                                    " -o " + tmp->File("otd.cvt") + " > /dev/null";
        built = std::system(command.c_str()) == 0;
    }
    static void TearDownTestSuite()
    {
        delete tmp;
        tmp = nullptr;
    }

    // Loads the table at path and converts the primaries and paper white;
    // each must be within 2 of LittleCMS's own conversion.
    static void ExpectMatchesLittleCms(const std::string& tableDir)
    {
        std::filesystem::create_directories(tmp->File("host"));
        MessageCapture capture;
        ASSERT_EQ(LoadFrom(tmp->File("host").c_str(), tableDir.c_str()), 1);
        ASSERT_TRUE(capture.messages.empty());

        cmsHPROFILE cmyk = cmsOpenProfileFromFile(kCmykProfile, "r");
        ASSERT_NE(cmyk, nullptr);
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHTRANSFORM xf =
            cmsCreateTransform(cmyk, TYPE_CMYK_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, cmsFLAGS_NOOPTIMIZE);
        ASSERT_NE(xf, nullptr);
        const unsigned char inks[][4] = {{0, 0, 0, 0},       {255, 0, 0, 0},   {0, 255, 0, 0},
                                         {0, 0, 255, 0},     {0, 0, 0, 255},   {128, 64, 32, 16},
                                         {255, 255, 255, 255}};
        for (const auto& ink : inks) {
            unsigned char expect[3];
            cmsDoTransform(xf, ink, expect, 1);
            const Rgb got = Convert(ink[0], ink[1], ink[2], ink[3]);
            for (int t = 0; t < 3; ++t)
                EXPECT_NEAR(got[t], expect[t], 2)
                    << "ink " << int(ink[0]) << "," << int(ink[1]) << "," << int(ink[2]) << "," << int(ink[3]);
        }
        cmsDeleteTransform(xf);
        cmsCloseProfile(srgb);
        cmsCloseProfile(cmyk);
    }

    static TempDir* tmp;
    static bool built;
};
TempDir* ColourTableCommand::tmp = nullptr;
bool ColourTableCommand::built = false;

TEST_F(ColourTableCommand, BuiltTableLoadsAndMatchesLittleCms)
{
    QUORVEL_REQUIRE_FILE(kCmykProfile);
    ASSERT_TRUE(built);
    const std::vector<uint8_t> bytes = ReadFileBytes(tmp->File("otd.cvt"));
    EXPECT_EQ(bytes.size(), 192 + COLOUR_TABLE_USED);
    ExpectMatchesLittleCms(tmp->path());
    // Paper white is white, full black is dark.
    EXPECT_GE(Convert(0, 0, 0, 0)[1], 250);
    EXPECT_LE(Convert(0, 0, 0, 255)[1], 80);
}

TEST_F(ColourTableCommand, ShippedSampleTableMatchesLittleCms)
{
    QUORVEL_REQUIRE_FILE(kCmykProfile);
    ExpectMatchesLittleCms(std::string(QUORVEL_SAMPLES) + "/color");
}

TEST_F(ColourTableCommand, RefusesWhatIsNotACmykProfile)
{
    const std::string out = tmp->File("bad.cvt");
    const std::string cli = std::string(QUORVEL_CLI) + " colour-table ";
    EXPECT_NE(std::system((cli + "--profile /usr/share/color/icc/sRGB.icc -o " + out + " 2>/dev/null").c_str()), 0);
    EXPECT_NE(std::system((cli + "--profile " + tmp->File("none.icc") + " -o " + out + " 2>/dev/null").c_str()), 0);
    EXPECT_NE(std::system((cli + "-o " + out + " 2>/dev/null").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
