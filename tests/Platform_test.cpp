#include "Afx.h"
#include "DefaultPalette.h"
#include "TempFile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const unsigned kReadExclusive = CFile::modeRead | CFile::shareExclusive;
const unsigned kReadDenyWrite = CFile::modeRead | CFile::shareDenyWrite;
const unsigned kReadDenyNone = CFile::modeRead | CFile::shareDenyNone;
const unsigned kCreateWrite = CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive;

class CFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = dir.File("data.bin");
        ASSERT_TRUE(WriteFileBytes(path, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    }
    TempDir dir;
    std::string path;
};

TEST_F(CFileTest, ReadReturnsTheCountActuallyRead)
{
    CFile file;
    ASSERT_TRUE(file.Open(path.c_str(), kReadExclusive));
    unsigned char buf[16] = {};
    EXPECT_EQ(file.Read(buf, 4), 4u);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(file.GetPosition(), 4u);
    EXPECT_EQ(file.Read(buf, 16), 6u);  // fewer at the end, not an error
    EXPECT_EQ(buf[0], 5);
    EXPECT_EQ(file.Read(buf, 16), 0u);
    EXPECT_EQ(file.GetLength(), 10u);
}

TEST_F(CFileTest, SeekFromEachOriginAndRefusedSeek)
{
    CFile file;
    ASSERT_TRUE(file.Open(path.c_str(), kReadExclusive));
    EXPECT_EQ(file.Seek(3, CFile::begin), 3u);
    EXPECT_EQ(file.Seek(2, CFile::current), 5u);
    EXPECT_EQ(file.Seek(-1, CFile::end), 9u);
    unsigned char b = 0;
    EXPECT_EQ(file.Read(&b, 1), 1u);
    EXPECT_EQ(b, 10);
    EXPECT_THROW(file.Seek(-20, CFile::current), CFileException);
    EXPECT_THROW(file.Seek(-1, CFile::begin), CFileException);
}

TEST_F(CFileTest, OperationsOnAClosedFileRaiseAndCloseIsHarmless)
{
    CFile file;
    unsigned char b;
    EXPECT_THROW(file.Read(&b, 1), CFileException);
    EXPECT_THROW(file.Write(&b, 1), CFileException);
    EXPECT_THROW(file.Seek(0, CFile::begin), CFileException);
    file.Close();
    file.Close();
    EXPECT_FALSE(file.IsOpen());
}

TEST_F(CFileTest, OpenFailsWithoutRaisingForMissingFilesAndDirectories)
{
    CFile file;
    EXPECT_FALSE(file.Open(dir.File("missing").c_str(), kReadExclusive));
    EXPECT_FALSE(file.Open(dir.path().c_str(), kReadExclusive));
    EXPECT_FALSE(file.Open(nullptr, kReadExclusive));
}

TEST_F(CFileTest, ExclusiveOpenRefusesEveryOtherOpenUntilClosed)
{
    CFile first;
    ASSERT_TRUE(first.Open(path.c_str(), kReadExclusive));
    CFile second;
    EXPECT_FALSE(second.Open(path.c_str(), kReadExclusive));
    EXPECT_FALSE(second.Open(path.c_str(), kReadDenyNone));
    EXPECT_FALSE(second.Open(path.c_str(), kReadDenyWrite));
    EXPECT_FALSE(second.Open(path.c_str(), kCreateWrite));
    // The refused create must not have emptied the file.
    EXPECT_EQ(ReadFileBytes(path).size(), 10u);
    // The same file under another name (a hard link) is the same file.
    const std::string link = dir.File("link.bin");
    ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
    EXPECT_FALSE(second.Open(link.c_str(), kReadDenyNone));
    first.Close();
    EXPECT_TRUE(second.Open(link.c_str(), kReadExclusive));
}

TEST_F(CFileTest, ExclusiveOpenIsRefusedWhileOthersHaveTheFile)
{
    CFile shared;
    ASSERT_TRUE(shared.Open(path.c_str(), kReadDenyNone));
    CFile exclusive;
    EXPECT_FALSE(exclusive.Open(path.c_str(), kReadExclusive));
    CFile reader;
    EXPECT_TRUE(reader.Open(path.c_str(), kReadDenyNone));
}

TEST_F(CFileTest, DenyWriteLetsReadersInButNotWriters)
{
    CFile source;
    ASSERT_TRUE(source.Open(path.c_str(), kReadDenyWrite));
    CFile reader;
    EXPECT_TRUE(reader.Open(path.c_str(), kReadDenyNone));
    reader.Close();
    CFile writer;
    EXPECT_FALSE(writer.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareDenyNone));
    EXPECT_EQ(ReadFileBytes(path).size(), 10u);
}

TEST_F(CFileTest, DestructorReleasesTheSharingLock)
{
    {
        CFile scoped;
        ASSERT_TRUE(scoped.Open(path.c_str(), kReadExclusive));
    }
    CFile again;
    EXPECT_TRUE(again.Open(path.c_str(), kReadExclusive));
}

TEST_F(CFileTest, CreateEmptiesAnExistingFileAndWrites)
{
    CFile out;
    ASSERT_TRUE(out.Open(path.c_str(), kCreateWrite));
    EXPECT_EQ(out.GetLength(), 0u);
    const unsigned char data[3] = {7, 8, 9};
    out.Write(data, 3);
    out.Close();
    EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{7, 8, 9}));

    CFile fresh;
    const std::string created = dir.File("new.bin");
    ASSERT_TRUE(fresh.Open(created.c_str(), kCreateWrite));
    fresh.Write(data, 1);
    fresh.Close();
    EXPECT_EQ(ReadFileBytes(created).size(), 1u);
}

TEST_F(CFileTest, WriteFailureRaises)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "/dev/full not available";
    CFile full;
    ASSERT_TRUE(full.Open("/dev/full", CFile::modeWrite | CFile::shareDenyNone));
    const unsigned char data[4] = {};
    EXPECT_THROW(full.Write(data, 4), CFileException);
}

TEST(DefaultPalette, TwentyStockEntriesAndNothingBeyond)
{
    PALETTEENTRY entries[24] = {};
    ASSERT_EQ(GetDefaultPaletteEntries(0, 24, entries), 20u);
    EXPECT_EQ(entries[0].peRed, 0);
    EXPECT_EQ(entries[1].peRed, 128);
    EXPECT_EQ(entries[1].peGreen, 0);
    EXPECT_EQ(entries[8].peGreen, 220);
    EXPECT_EQ(entries[9].peBlue, 240);
    EXPECT_EQ(entries[10].peGreen, 251);
    EXPECT_EQ(entries[11].peBlue, 164);
    EXPECT_EQ(entries[19].peRed, 255);
    EXPECT_EQ(entries[19].peBlue, 255);
    EXPECT_EQ(entries[20].peRed, 0);
    EXPECT_EQ(GetDefaultPaletteEntries(20, 1, entries), 0u);
    EXPECT_EQ(GetDefaultPaletteEntries(18, 5, entries), 2u);
    EXPECT_EQ(entries[1].peGreen, 255);
}

TEST(TempFiles, UniqueFilesWithPrefixAndDeletion)
{
    TempDir dir;
    const std::string a = CreateTempFile(dir.path(), "tmp");
    const std::string b = CreateTempFile(dir.path(), "tmp");
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind(dir.path() + "/tmp", 0), 0u);
    struct stat st;
    EXPECT_EQ(::stat(a.c_str(), &st), 0);
    EXPECT_TRUE(DeleteFile(a));
    EXPECT_NE(::stat(a.c_str(), &st), 0);
    EXPECT_FALSE(DeleteFile(a));
    EXPECT_TRUE(CreateTempFile(dir.File("missing-dir"), "tmp").empty());
    EXPECT_FALSE(GetTempDirectory().empty());
}

TEST(MessageBox, CapturedWhileHooked)
{
    MessageCapture capture;
    AfxMessageBox("error");
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0], "error");
}

TEST(MessageBox, DefaultGoesToStandardErrorOnOneLine)
{
    testing::internal::CaptureStderr();
    AfxMessageBox("two\nlines");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "two lines\n");
}

}  // namespace
