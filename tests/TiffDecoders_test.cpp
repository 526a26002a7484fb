// The TIFF strip decoders on byte sequences, called directly: PackBits,
// CCITT modified Huffman, LZW, the predictor and sample unpacking.
#include "TiffBuilder.h"
#include "TiffDecoders.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A strip and a cursor over it, kept in an allocation of its own so that a
// read past it is caught by the sanitizers.
struct Strip {
    explicit Strip(const std::vector<uint8_t>& bytes) : data(new uint8_t[bytes.size() + 1]), in(nullptr, 0)
    {
        std::copy(bytes.begin(), bytes.end(), data.get());
        in = ByteCursor(data.get(), static_cast<uint32_t>(bytes.size()));
    }
    // One decoded row of `length` bytes; nothing may be written past it.
    std::vector<uint8_t> PackBits(uint32_t length)
    {
        std::vector<uint8_t> row(length + 4, 0xEE);
        end = DecodePackBitsRow(in, row.data(), length);
        EXPECT_EQ(row[length], 0xEE) << "wrote past the row";
        row.resize(length);
        return row;
    }
    std::vector<uint8_t> Ccitt(uint32_t width, uint32_t length)
    {
        std::vector<uint8_t> row(length + 4, 0xEE);
        end = DecodeCcittRow(in, width, row.data(), length);
        EXPECT_EQ(row[length], 0xEE) << "wrote past the row";
        row.resize(length);
        return row;
    }
    std::unique_ptr<uint8_t[]> data;
    ByteCursor in;
    RowEnd end = RowEnd::Whole;
};

// ---- PackBits ---------------------------------------------------------------

TEST(TiffPackBits, RunsLiteralsAndNoOps)
{
    Strip d({0xFE, 0xAA, 0x02, 1, 2, 3, 0x80, 0x00, 9});
    EXPECT_EQ(d.PackBits(3), (std::vector<uint8_t>{0xAA, 0xAA, 0xAA}));
    EXPECT_EQ(d.PackBits(3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(d.PackBits(1), (std::vector<uint8_t>{9}));  // 0x80 yields nothing
    EXPECT_EQ(d.end, RowEnd::Whole);
    EXPECT_TRUE(d.in.AtEnd());
}

TEST(TiffPackBits, RowEndsCutRunsAndLiterals)
{
    // A repeat of 10 into a 4-byte row: the rest of the repeat is dropped.
    Strip d({0xF7, 0x55, 0x01, 7, 8});
    EXPECT_EQ(d.PackBits(4), (std::vector<uint8_t>(4, 0x55)));
    EXPECT_EQ(d.PackBits(2), (std::vector<uint8_t>{7, 8}));
    // Literal bytes that do not fit stay in the strip as control bytes.
    Strip e({0x03, 1, 2, 3, 0x00, 0x01, 5});
    EXPECT_EQ(e.PackBits(2), (std::vector<uint8_t>{1, 2}));
    // Next row: control 3 (copy 4: 0x00, 0x01, 5 and nothing more).
    EXPECT_EQ(e.PackBits(4), (std::vector<uint8_t>{0x00, 0x01, 5, 0}));
    EXPECT_EQ(e.end, RowEnd::DataEnded);
}

TEST(TiffPackBits, ShortStripsStopAtTheirEnd)
{
    // A literal that claims more bytes than remain, and a repeat without its
    // byte: nothing is read past the strip, the rest of the row is blank.
    Strip d({0x7F, 1, 2});
    EXPECT_EQ(d.PackBits(5), (std::vector<uint8_t>{1, 2, 0, 0, 0}));
    EXPECT_EQ(d.end, RowEnd::DataEnded);
    Strip e({0x05, 1, 2, 3, 4, 5, 6, 0xFD});
    EXPECT_EQ(e.PackBits(6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(e.end, RowEnd::Whole);
    EXPECT_EQ(e.PackBits(3), (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(e.end, RowEnd::DataEnded);
    EXPECT_TRUE(e.in.AtEnd());
}

TEST(TiffPackBits, MostExpansionIsOneRepeatPerTwoBytes)
{
    // The plausibility bound of TIFF and PSD: repeats of 128 bytes are the
    // densest coding, 64 decoded bytes per stored byte and no more.
    Strip d({0x81, 7, 0x81, 9});
    const std::vector<uint8_t> row = d.PackBits(256);
    EXPECT_EQ(d.end, RowEnd::Whole);
    EXPECT_EQ(row.size(), d.in.size * PACKBITS_MOST_EXPANSION);
    EXPECT_EQ(row[127], 7);
    EXPECT_EQ(row[128], 9);
}

// ---- CCITT modified Huffman ---------------------------------------------------

// Packs a string of '0'/'1' (spaces ignored) into bytes, most significant first.
std::vector<uint8_t> Bits(const std::string& s)
{
    std::vector<uint8_t> out;
    int n = 0;
    for (char c : s) {
        if (c != '0' && c != '1')
            continue;
        if (n % 8 == 0)
            out.push_back(0);
        if (c == '1')
            out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
        ++n;
    }
    return out;
}

TEST(TiffCcitt, TablesArePrefixFree) { EXPECT_TRUE(CcittTablesConsistent()); }

TEST(TiffCcitt, WhiteRunsAreZeroBits)
{
    // White 2, black 2: 0 bits then 1 bits, whatever file they come from (in
    // a BlackIsZero file that shows black, black, white, white).
    Strip d(Bits("0111 11"));
    EXPECT_EQ(d.Ccitt(4, 1), (std::vector<uint8_t>{0x30}));
    EXPECT_EQ(d.end, RowEnd::Whole);
}

TEST(TiffCcitt, MakeUpCodesAndByteAlignedRows)
{
    // White 64 + 2 (11011, 0111), black 2 (11), then white 0 (00110101) and
    // black 4 (011) in a 72-pixel row.
    Strip d(Bits("11011 0111 11 00110101 011"));
    std::vector<uint8_t> expected(9, 0);
    expected[8] = 0x3F;  // pixels 66 to 71 black
    EXPECT_EQ(d.Ccitt(72, 9), expected);
    // 22 bits: the rest of the third byte is dropped.
    EXPECT_EQ(d.in.pos, 3u);
}

TEST(TiffCcitt, RowsEndingOnAByteBoundary)
{
    // White 4 (1011), black 4 (011) = 7 bits; white 3 (1000), black 5 (0011)
    // = 8 bits exactly: the second row starts at byte 1.
    Strip d(Bits("1000 0011 1011 011 0"));
    EXPECT_EQ(d.Ccitt(8, 1), (std::vector<uint8_t>{0x1F}));
    EXPECT_EQ(d.in.pos, 1u);
    EXPECT_EQ(d.Ccitt(8, 1), (std::vector<uint8_t>{0x0F}));
    EXPECT_EQ(d.in.pos, 2u);
}

TEST(TiffCcitt, DamagedRowsStayInsideTheirBuffers)
{
    // A white run of 1728 + 63 in a 16-pixel row: nothing is written past
    // the row, which is all white.
    Strip d(Bits("010011011 00110100 11"));
    EXPECT_EQ(d.Ccitt(16, 2), (std::vector<uint8_t>{0x00, 0x00}));
    // A width larger than the row buffer: only the buffer is written.
    // White 2, black 0, white 2, black 2.
    Strip e(Bits("0111 0000110111 0111 11"));
    EXPECT_EQ(e.Ccitt(1000, 1), (std::vector<uint8_t>{0x0C}));
    // Data that ends mid-row: the rest of the row is white, nothing is read
    // past the strip.
    Strip f(Bits("0111 11"));
    EXPECT_EQ(f.Ccitt(24, 3), (std::vector<uint8_t>{0x30, 0, 0}));
    EXPECT_EQ(f.end, RowEnd::DataEnded);
    EXPECT_EQ(f.in.pos, 1u);
    EXPECT_EQ(f.Ccitt(24, 3), (std::vector<uint8_t>{0, 0, 0}));
    // An end-of-line code or an invalid prefix ends the row.
    Strip g(Bits("0111 11 000000000001 0111"));
    EXPECT_EQ(g.Ccitt(8, 1), (std::vector<uint8_t>{0x30}));
    EXPECT_EQ(g.end, RowEnd::InvalidCode);
    Strip h(Bits("0111 000000001 11111111"));
    EXPECT_EQ(h.Ccitt(8, 1), (std::vector<uint8_t>{0x00}));
    EXPECT_EQ(h.end, RowEnd::InvalidCode);
}

// ---- LZW --------------------------------------------------------------------

struct LzwRun {
    TiffLzwDecoder::Status status = TiffLzwDecoder::Status::Going;
    std::vector<std::vector<uint8_t>> rows;
};

// Decodes up to `rows` rows of `rowLength` bytes, undoing horizontal
// differencing over `spp` samples when `spp` is not 0.
LzwRun DecodeLzw(const std::vector<uint8_t>& codes, uint32_t rowLength, uint32_t rows, uint32_t spp = 0)
{
    Strip strip(codes);
    TiffLzwDecoder decoder(strip.in.data, strip.in.size);
    LzwRun run;
    std::vector<uint8_t> row(rowLength);
    for (uint32_t r = 0; r < rows; ++r) {
        if (decoder.Read(row.data(), rowLength) < rowLength)
            break;
        if (spp != 0)
            UndoHorizontalPredictor(row.data(), rowLength, spp, 8, false);
        run.rows.push_back(row);
    }
    run.status = decoder.status();
    return run;
}

std::vector<uint8_t> Flatten(const LzwRun& run)
{
    std::vector<uint8_t> all;
    for (const auto& r : run.rows)
        all.insert(all.end(), r.begin(), r.end());
    return all;
}

using Status = TiffLzwDecoder::Status;

TEST(TiffLzw, StringsAndTheFirstCode)
{
    LzwRun run = DecodeLzw(Nine({256, 65, 66, 258, 257}), 4, 1);
    EXPECT_EQ(Flatten(run), (std::vector<uint8_t>{65, 66, 65, 66}));
    // A code equal to the next free code: the previous string and its first byte.
    run = DecodeLzw(Nine({256, 65, 258, 257}), 3, 1);
    EXPECT_EQ(Flatten(run), (std::vector<uint8_t>{65, 65, 65}));
    // A strip whose first code is not the clear code.
    run = DecodeLzw(Nine({65, 66, 257}), 2, 1);
    EXPECT_EQ(run.status, Status::NoClearCode);
    EXPECT_TRUE(run.rows.empty());
    // A code beyond the next free code ends the strip.
    run = DecodeLzw(Nine({256, 65, 66, 400, 67, 68, 257}), 2, 2);
    EXPECT_EQ(run.status, Status::CodePastTable);
    ASSERT_EQ(run.rows.size(), 1u);
    EXPECT_EQ(run.rows[0], (std::vector<uint8_t>{65, 66}));
    // Right after a clear code there is no previous string to extend.
    run = DecodeLzw(Nine({256, 300, 65, 257}), 2, 1);
    EXPECT_EQ(run.status, Status::CodePastTable);
    EXPECT_TRUE(run.rows.empty());
    // The end code.
    run = DecodeLzw(Nine({256, 7, 257, 8}), 2, 1);
    EXPECT_EQ(run.status, Status::Ended);
    EXPECT_TRUE(run.rows.empty());
    // No code at all.
    TiffLzwDecoder empty(nullptr, 0);
    EXPECT_TRUE(empty.Empty());
}

TEST(TiffLzw, PredictorAndRows)
{
    LzwRun run = DecodeLzw(Nine({256, 10, 20, 30, 1, 1, 1, 257}), 6, 1, 3);
    EXPECT_EQ(Flatten(run), (std::vector<uint8_t>{10, 20, 30, 11, 21, 31}));
    // Two rows of one pixel each: the accumulator restarts with each row.
    run = DecodeLzw(Nine({256, 10, 20, 30, 1, 1, 1, 257}), 3, 2, 3);
    ASSERT_EQ(run.rows.size(), 2u);
    EXPECT_EQ(run.rows[1], (std::vector<uint8_t>{1, 1, 1}));
    // A string that crosses a row end goes on in the next row.
    run = DecodeLzw(Nine({256, 1, 2, 258, 258, 257}), 3, 2);
    EXPECT_EQ(Flatten(run), (std::vector<uint8_t>{1, 2, 1, 2, 1, 2}));
}

TEST(TiffLzw, SixteenBitDifferencesCarryAcrossBytes)
{
    std::vector<uint8_t> le = {0xFF, 0x00, 0x01, 0x00, 0xFF, 0xFF};
    UndoHorizontalPredictor(le.data(), 6, 1, 16, false);
    EXPECT_EQ(le, (std::vector<uint8_t>{0xFF, 0x00, 0x00, 0x01, 0xFF, 0x00}));
    std::vector<uint8_t> be = {0x00, 0xFF, 0x00, 0x01, 0xFF, 0xFF};
    UndoHorizontalPredictor(be.data(), 6, 1, 16, true);
    EXPECT_EQ(be, (std::vector<uint8_t>{0x00, 0xFF, 0x01, 0x00, 0x00, 0xFF}));
}

// Literal codes only: each adds a table entry, so the width grows one code
// early (after the entries 511, 1023 and 2047) and stays at 12.
std::vector<std::pair<uint32_t, int>> LiteralStream(size_t count, bool end)
{
    std::vector<std::pair<uint32_t, int>> codes = {{256, 9}};
    uint32_t next = 257;
    int width = 9;
    for (size_t i = 0; i < count; ++i) {
        codes.push_back({static_cast<uint32_t>((i * 37) & 0xFF), width});
        ++next;
        if (next == 511 || next == 1023 || next == 2047)
            ++width;
    }
    if (end)
        codes.push_back({257, width});
    return codes;
}

TEST(TiffLzw, EarlyWidthChangeAndTableOverflowWithoutClear)
{
    for (size_t count : {253u, 254u, 255u, 300u, 800u, 5000u}) {
        LzwRun run = DecodeLzw(LzwCodes(LiteralStream(count, true)), static_cast<uint32_t>(count), 1);
        ASSERT_EQ(run.rows.size(), 1u) << count;
        for (size_t i = 0; i < count; ++i)
            ASSERT_EQ(run.rows[0][i], static_cast<uint8_t>((i * 37) & 0xFF)) << count << " at " << i;
    }
}

TEST(TiffLzw, CodesEndingWithTheStrip)
{
    // Eight 9-bit codes fill exactly nine bytes; without an end code the last
    // code is still decoded.
    const std::vector<uint8_t> codes = Nine({256, 1, 2, 3, 4, 5, 6, 7});
    ASSERT_EQ(codes.size(), 9u);
    LzwRun run = DecodeLzw(codes, 7, 1);
    EXPECT_EQ(Flatten(run), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7}));
    // A code cut off by the strip's end is not: the row stays incomplete.
    std::vector<uint8_t> cut = codes;
    cut.pop_back();
    run = DecodeLzw(cut, 7, 1);
    EXPECT_TRUE(run.rows.empty());
    EXPECT_EQ(run.status, Status::Ended);
    // The code reader gives nothing when the bytes end first.
    const uint8_t one = 0xAB;
    LzwMsbCodeReader reader(&one, 1);
    uint32_t code = 0;
    EXPECT_FALSE(reader.Read(9, &code));
}

// ---- UnpackSamples ---------------------------------------------------------

TEST(TiffUnpack, DepthsAndByteOrder)
{
    const std::vector<uint8_t> row = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    std::vector<uint8_t> le = row;
    UnpackSamples(le.data(), le.data(), 3, 16, false);
    EXPECT_EQ(std::vector<uint8_t>(le.begin(), le.begin() + 3), (std::vector<uint8_t>{0x34, 0x78, 0xBC}));
    std::vector<uint8_t> be = row;
    UnpackSamples(be.data(), be.data(), 3, 16, true);
    EXPECT_EQ(std::vector<uint8_t>(be.begin(), be.begin() + 3), (std::vector<uint8_t>{0x12, 0x56, 0x9A}));

    const uint8_t nibbles[] = {0x4A, 0xF0};
    uint8_t out[3];
    UnpackSamples(nibbles, out, 3, 4, false);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{4, 10, 15}));
    const uint8_t bits[] = {0x81, 0x40};
    uint8_t ten[10];
    UnpackSamples(bits, ten, 10, 1, false);
    EXPECT_EQ(std::vector<uint8_t>(ten, ten + 10), (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 1, 0, 1}));
}

}  // namespace
