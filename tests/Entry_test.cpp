#include "FormatTable.h"
#include "ImageIo.h"
#include "TestSupport.h"
#include "Quorvel.h"
#include "quorvel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

TEST(FormatFromExtension, TableLetterCaseAndShortNames)
{
    EXPECT_EQ(FormatFromExtension("PHOTO.JPG"), FMT_JPEG);
    EXPECT_EQ(FormatFromExtension("photo.jpe"), FMT_JPEG);
    EXPECT_EQ(FormatFromExtension("photo.jpeg"), FMT_NONE);
    EXPECT_EQ(FormatFromExtension("scan.tiff"), FMT_NONE);
    EXPECT_EQ(FormatFromExtension("a.Bmp"), FMT_BMP);
    EXPECT_EQ(FormatFromExtension("a.rle"), FMT_BMP);
    EXPECT_EQ(FormatFromExtension("a.eps"), FMT_EPS);
    EXPECT_EQ(FormatFromExtension("a.gif"), FMT_GIF);
    EXPECT_EQ(FormatFromExtension("a.pcx"), FMT_PCX);
    EXPECT_EQ(FormatFromExtension("a.pcd"), FMT_PCD);
    EXPECT_EQ(FormatFromExtension("a.pic"), FMT_PICT);
    EXPECT_EQ(FormatFromExtension("a.PCT"), FMT_PICT);
    EXPECT_EQ(FormatFromExtension("a.raw"), FMT_RAW);
    EXPECT_EQ(FormatFromExtension("a.rbw"), FMT_RBW);
    EXPECT_EQ(FormatFromExtension("a.sct"), FMT_SCT);
    EXPECT_EQ(FormatFromExtension("a.tga"), FMT_TGA);
    EXPECT_EQ(FormatFromExtension("a.TIF"), FMT_TIFF);
    EXPECT_EQ(FormatFromExtension("a.awd"), FMT_AWD);
    EXPECT_EQ(FormatFromExtension("a.png"), FMT_PNG);
    EXPECT_EQ(FormatFromExtension("a.pxr"), FMT_PXR);
    EXPECT_EQ(FormatFromExtension("a.psd"), FMT_PSD);
    EXPECT_EQ(FormatFromExtension(".bmp"), FMT_BMP);
    EXPECT_EQ(FormatFromExtension("bmp"), FMT_NONE);
    EXPECT_EQ(FormatFromExtension("."), FMT_NONE);
    EXPECT_EQ(FormatFromExtension(""), FMT_NONE);
    EXPECT_EQ(FormatFromExtension(nullptr), FMT_NONE);
    EXPECT_EQ(FormatFromExtension("a.bm"), FMT_NONE);
    EXPECT_EQ(FormatFromExtension("a.b\xC3\x8D"), FMT_NONE);  // no locale-dependent lowering
}

TEST(CreateImageReader, FormatsWithoutReaderGiveNone)
{
    for (const char* name : {"x.pct", "x.pic", "x.raw", "x.rbw", "x.txt", "abc"})
        EXPECT_EQ(CreateImageReader(name), nullptr) << name;
}

TEST(CImageIo, BaseRefusesEverythingAndStartsWithItsDefaults)
{
    CImageIo io;
    EXPECT_EQ(io.ReadHeader(), 0);
    int32_t w = 0, h = 0;
    unsigned char* bits = nullptr;
    EXPECT_EQ(io.MakeDib(&w, &h, &bits), 0);
    EXPECT_EQ(bits, nullptr);
    EXPECT_EQ(io.m_nBitsPerSample, 8);
    EXPECT_EQ(io.m_bPlanar, 1);
    EXPECT_EQ(io.m_nWidth, 0u);
    EXPECT_EQ(io.m_pPalette, nullptr);
    EXPECT_FALSE(io.m_file.IsOpen());
}

// A reader whose behaviour each test chooses.
enum class Step { Ok, Fail, Throw, ThrowStd };

struct Script {
    Step header = Step::Ok;
    Step dib = Step::Ok;
    uint32_t width = 720, height = 360;
    float xres = 72, yres = 72;
    bool paletteInHeader = false;
    bool fileWasExclusive = false;
    int32_t fullSizeSeen = -1;
    int destroyed = 0;
};
Script g_script;

class ScriptedReader : public CImageIo {
public:
    explicit ScriptedReader(const char* name) { m_pszPath = name; }
    ~ScriptedReader() override { g_script.destroyed++; }

    int ReadHeader() override
    {
        CFile probe;
        g_script.fileWasExclusive =
            m_file.IsOpen() && !probe.Open(m_pszPath, CFile::modeRead | CFile::shareDenyNone);
        if (g_script.paletteInHeader) {
            m_pPalette = static_cast<unsigned char*>(ImageAlloc(1024, 0));
            m_nPaletteSize = 256;
        }
        if (g_script.header == Step::Throw)
            throw CFileException(CFileException::hardIO, 5, m_pszPath);
        if (g_script.header == Step::ThrowStd)
            throw std::runtime_error("boom");
        m_nWidth = g_script.width;
        m_nHeight = g_script.height;
        m_fXRes = g_script.xres;
        m_fYRes = g_script.yres;
        m_nColorMode = COLOR_GREY;
        m_nChannels = 1;
        return g_script.header == Step::Ok ? 1 : 0;
    }

    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override
    {
        g_script.fullSizeSeen = m_bFullSize;
        if (g_script.dib == Step::Throw)
            throw CFileException(CFileException::endOfFile, 0, m_pszPath);
        if (g_script.dib == Step::Fail)
            return 0;
        return MakePlanesPreview(width, height, bits);
    }

protected:
    int ReadPreviewRows(unsigned char* const* planes) override
    {
        for (uint32_t y = 0; y < m_nDibHeight; ++y)
            std::memset(planes[0] + y * PlaneRowBytes(), static_cast<int>(y), m_nDibWidth);
        return 1;
    }
};

CImageIo* ScriptedFactory(const char* name)
{
    return FormatFromExtension(name) == FMT_RAW ? new ScriptedReader(name) : nullptr;
}

class GetQuorvelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_script = Script();
        SetReaderFactoryForTesting(&ScriptedFactory);
        path = dir.File("picture.raw");
        ASSERT_TRUE(WriteFileBytes(path, {0, 1, 2, 3}));
        std::memset(&summary, 0xAB, sizeof summary);
    }
    void TearDown() override { SetReaderFactoryForTesting(nullptr); }

    void ExpectCleared()
    {
        EXPECT_EQ(summary.fWidthInches, 0.0f);
        EXPECT_EQ(summary.fHeightInches, 0.0f);
        EXPECT_EQ(summary.nPreviewWidth, 0);
        EXPECT_EQ(summary.nPreviewHeight, 0);
        for (uint32_t word : summary.aReserved)
            EXPECT_EQ(word, 0u);
        EXPECT_EQ(summary.pPreviewBits, nullptr);
        EXPECT_EQ(summary.nFlag, 1);
    }
    void ExpectFileClosed()
    {
        CFile again;
        EXPECT_TRUE(again.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive));
    }

    TempDir dir;
    std::string path;
    ImageSummary summary;
};

TEST_F(GetQuorvelTest, SizeOnlyFillsInchesAndLeavesPreviewEmpty)
{
    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 0, nullptr), 1);
    EXPECT_FLOAT_EQ(summary.fWidthInches, 10.0f);
    EXPECT_FLOAT_EQ(summary.fHeightInches, 5.0f);
    EXPECT_EQ(summary.nPreviewWidth, 0);
    EXPECT_EQ(summary.pPreviewBits, nullptr);
    EXPECT_EQ(summary.nFlag, 1);
    EXPECT_TRUE(g_script.fileWasExclusive);
    EXPECT_EQ(g_script.fullSizeSeen, -1);
    EXPECT_EQ(g_script.destroyed, 1);
    ExpectFileClosed();
}

TEST_F(GetQuorvelTest, SizeOnlyCallReleasesAPaletteFromTheHeader)
{
    g_script.paletteInHeader = true;
    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 0, nullptr), 1);  // LeakSanitizer checks the palette
}

TEST_F(GetQuorvelTest, InchesAreSinglePrecisionQuotients)
{
    g_script.width = 1000;
    g_script.height = 3;
    g_script.xres = 300;
    g_script.yres = 0.7f;
    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 0, nullptr), 1);
    EXPECT_EQ(summary.fWidthInches, static_cast<float>(1000.0 / 300.0f));
    EXPECT_EQ(summary.fHeightInches, static_cast<float>(3.0 / static_cast<double>(0.7f)));
}

TEST_F(GetQuorvelTest, UnusableResolutionCountsAsDefault)
{
    g_script.xres = 0;
    g_script.yres = -5;
    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 0, nullptr), 1);
    EXPECT_FLOAT_EQ(summary.fWidthInches, 10.0f);
    EXPECT_FLOAT_EQ(summary.fHeightInches, 5.0f);
}

TEST_F(GetQuorvelTest, FittedAndFullPreviews)
{
    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 1, nullptr), 1);
    EXPECT_EQ(g_script.fullSizeSeen, 0);
    EXPECT_EQ(summary.nPreviewWidth, 200);
    EXPECT_EQ(summary.nPreviewHeight, 100);
    ASSERT_NE(summary.pPreviewBits, nullptr);
    // Bottom-up: the first row of the block is the picture's last row (value 99).
    EXPECT_EQ(summary.pPreviewBits[0], 99);
    QuorvelFreePreview(summary.pPreviewBits);

    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 2, nullptr), 1);
    EXPECT_EQ(g_script.fullSizeSeen, 1);
    EXPECT_EQ(summary.nPreviewWidth, 720);
    EXPECT_EQ(summary.nPreviewHeight, 360);
    QuorvelFreePreview(summary.pPreviewBits);

    ASSERT_EQ(GetQuorvel(path.c_str(), &summary, 7, nullptr), 1);  // any other mode acts as 1
    EXPECT_EQ(summary.nPreviewWidth, 200);
    QuorvelFreePreview(summary.pPreviewBits);
}

TEST_F(GetQuorvelTest, EveryKindOfFailureLeavesTheSummaryCleared)
{
    EXPECT_EQ(GetQuorvel(dir.File("x.txt").c_str(), &summary, 1, nullptr), 0);
    ExpectCleared();
    EXPECT_EQ(GetQuorvel(dir.File("x.pct").c_str(), &summary, 0, nullptr), 0);
    ExpectCleared();
    EXPECT_EQ(GetQuorvel(dir.File("missing.raw").c_str(), &summary, 0, nullptr), 0);
    ExpectCleared();
    EXPECT_EQ(GetQuorvel(nullptr, &summary, 0, nullptr), 0);
    ExpectCleared();
    EXPECT_EQ(GetQuorvel(path.c_str(), nullptr, 0, nullptr), 0);

    g_script.header = Step::Fail;
    g_script.paletteInHeader = true;
    EXPECT_EQ(GetQuorvel(path.c_str(), &summary, 1, nullptr), 0);
    ExpectCleared();
    ExpectFileClosed();

    g_script.header = Step::Ok;
    g_script.dib = Step::Fail;
    EXPECT_EQ(GetQuorvel(path.c_str(), &summary, 1, nullptr), 0);
    ExpectCleared();  // no size without the preview that was asked for
    ExpectFileClosed();
}

TEST_F(GetQuorvelTest, ExceptionsFromAReaderBecomeAFailedCall)
{
    for (Step header : {Step::Throw, Step::ThrowStd}) {
        g_script = Script();
        g_script.header = header;
        g_script.paletteInHeader = true;
        Refusal why = Refusal::None;
        EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 1, nullptr, &why), 0);
        EXPECT_EQ(why, Refusal::ReadError);
        ExpectCleared();
        EXPECT_EQ(g_script.destroyed, 1);
        ExpectFileClosed();
    }
    g_script = Script();
    g_script.dib = Step::Throw;
    Refusal why = Refusal::None;
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 2, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::ReadError);
    ExpectCleared();
    EXPECT_EQ(g_script.destroyed, 1);
    ExpectFileClosed();
}

TEST_F(GetQuorvelTest, AFileHeldExclusivelyElsewhereCannotBeRead)
{
    CFile holder;
    ASSERT_TRUE(holder.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone));
    Refusal why = Refusal::None;
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 0, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::CannotOpen);
    ExpectCleared();
}

TEST_F(GetQuorvelTest, PreviewAllocationFailureFailsTheCallCleanly)
{
    FakeMemory memory(64 * MiB, 64 * MiB);
    memory.FailAll(true);
    Refusal why = Refusal::None;
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 1, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::OutOfMemory);
    ExpectCleared();
}

}  // namespace

TEST_F(GetQuorvelTest, EveryFailureTellsWhy)
{
    Refusal why = Refusal::None;
    EXPECT_EQ(GetQuorvelWithReason(dir.File("x.txt").c_str(), &summary, 0, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::NoExtension);
    EXPECT_EQ(GetQuorvelWithReason(dir.File("x.pct").c_str(), &summary, 0, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::NoReader);
    EXPECT_EQ(GetQuorvelWithReason(dir.File("missing.raw").c_str(), &summary, 0, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::CannotOpen);
    EXPECT_EQ(GetQuorvelWithReason(nullptr, &summary, 0, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::CannotOpen);
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), nullptr, 0, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::NoSummary);

    g_script.header = Step::Fail;  // a reader that gives no reason of its own
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 1, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::NotAPicture);
    g_script.header = Step::Ok;
    g_script.dib = Step::Fail;
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 1, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::PreviewFailed);
    g_script.dib = Step::Throw;
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 1, nullptr, &why), 0);
    EXPECT_EQ(why, Refusal::ReadError);
    ExpectCleared();

    g_script.dib = Step::Ok;
    EXPECT_EQ(GetQuorvelWithReason(path.c_str(), &summary, 0, nullptr, &why), 1);
    EXPECT_EQ(why, Refusal::None);
    EXPECT_STREQ(RefusalText(Refusal::LargerThanFile), "picture larger than its file can hold");
    EXPECT_STREQ(RefusalName(Refusal::LargerThanFile), "LargerThanFile");
}

TEST(Refuse, TheFirstReasonStays)
{
    CImageIo io;
    EXPECT_EQ(io.Refuse(Refusal::Truncated), 0);
    EXPECT_EQ(io.Refuse(Refusal::NotAPicture), 0);
    EXPECT_EQ(io.m_nRefusal, Refusal::Truncated);
}

TEST(FormatTable, EveryFormatHasOneRowAndItsExtensionsFindIt)
{
    size_t count = 0;
    const FormatInfo* table = FormatTable(&count);
    ASSERT_EQ(count, 16u);
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(table[i].id, static_cast<FormatId>(i + 1));
        for (const char* ext : table[i].extensions) {
            if (ext != nullptr) {
                EXPECT_EQ(FormatFromExtension((std::string("a.") + ext).c_str()), table[i].id) << ext;
            }
        }
    }
    std::unique_ptr<CImageIo> bmp(CreateImageReader("a.bmp"));
    std::unique_ptr<CImageIo> tif(CreateImageReader("a.tif"));
    ASSERT_TRUE(bmp && tif);
    EXPECT_TRUE(bmp->m_bBgrRows);
    EXPECT_FALSE(tif->m_bBgrRows);
}
