// The TIFF and GIF LZW decoders against a plain table of strings, on random
// streams that fill the table, clear it, use the not-yet-defined code and
// end with a code past the table; read in row lengths around the decoders'
// eight-byte steps.  Then the GIF data bound on a few figures.
#include "GifLzw.h"
#include "PictureBounds.h"
#include "TiffDecoders.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct Stream {
    std::vector<std::pair<uint32_t, unsigned>> codes;  // value, width
    std::string expected;                              // what the codes decode to
    bool broken = false;                               // ends with a code past the table
};

// Random codes with the widths a decoder keeps, decoded as they are chosen.
// TIFF (`tiff`) widens one code early; GIF with `minimum` + 1 bit codes.
// Without `clears` a long stream fills the table and goes on with it full.
Stream RandomStream(std::mt19937& random, bool tiff, unsigned minimum, size_t count, bool breakAtEnd, bool clears)
{
    const uint32_t clear = 1u << minimum;
    const uint32_t roots = clear < 256 ? clear : 256;
    std::vector<std::string> table(4096);
    for (uint32_t i = 0; i < roots; ++i)
        table[i] = std::string(1, static_cast<char>(i));
    Stream s;
    unsigned width = minimum + 1;
    uint32_t next = clear + 2;
    std::string previous;
    s.codes.push_back({clear, width});
    for (size_t i = 0; i < count; ++i) {
        const uint32_t pick = random() % 1000;
        if (clears && pick == 0 && !previous.empty()) {
            s.codes.push_back({clear, width});
            width = minimum + 1;
            next = clear + 2;
            previous.clear();
            continue;
        }
        uint32_t code = random() % roots;
        if (!previous.empty() && pick < 600) {
            if (pick < 100 && next < 4096)
                code = next;  // the string not yet in the table
            else if (next > clear + 2)
                code = next - 1 - random() % std::min<uint32_t>(next - clear - 2, 40);
        }
        if (code == clear || code == clear + 1)
            code = 0;
        s.codes.push_back({code, width});
        const std::string str = code == next ? previous + previous[0] : table[code];
        s.expected += str;
        if (!previous.empty() && next < 4096)
            table[next++] = previous + str[0];
        if (tiff ? (next == (1u << width) - 1) : (next == (1u << width)))
            width = std::min(width + 1, 12u);
        previous = str;
    }
    s.broken = breakAtEnd && next + 1 < (1u << width);
    if (s.broken)
        s.codes.push_back({next + 1, width});  // past the table
    else
        s.codes.push_back({clear + 1, width});  // the end code
    return s;
}

std::vector<uint8_t> Pack(const Stream& s, bool msbFirst)
{
    std::vector<uint8_t> out;
    uint64_t acc = 0;
    unsigned held = 0;
    for (const auto& [value, width] : s.codes) {
        if (msbFirst) {
            acc = (acc << width) | value;
            held += width;
            while (held >= 8) {
                out.push_back(static_cast<uint8_t>(acc >> (held - 8)));
                held -= 8;
            }
        } else {
            acc |= static_cast<uint64_t>(value) << held;
            held += width;
            while (held >= 8) {
                out.push_back(static_cast<uint8_t>(acc));
                acc >>= 8;
                held -= 8;
            }
        }
    }
    if (held > 0)
        out.push_back(static_cast<uint8_t>(msbFirst ? acc << (8 - held) : acc));
    return out;
}

class VectorSource : public GifByteSource {
public:
    explicit VectorSource(const std::vector<uint8_t>& bytes) : m_bytes(bytes) {}
    size_t Read(uint8_t* out, size_t count) override
    {
        // Uneven runs, as sub-blocks and the read-ahead give them.
        const size_t n = std::min({count, m_bytes.size() - m_at, size_t{1} + m_at % 300});
        std::copy(m_bytes.begin() + m_at, m_bytes.begin() + m_at + n, out);
        m_at += n;
        return n;
    }

private:
    const std::vector<uint8_t>& m_bytes;
    size_t m_at = 0;
};

TEST(Lzw, DecodersMatchAPlainStringTable)
{
    std::mt19937 random(31);
    for (int round = 0; round < 60; ++round) {
        const bool breakAtEnd = round % 3 == 0;
        const size_t count = 200 + random() % 9000;  // many fill the table
        const uint32_t rowLength = std::vector<uint32_t>{1, 7, 8, 9, 15, 16, 17, 1000, 4097}[round % 9];

        const Stream t = RandomStream(random, true, 8, count, breakAtEnd, round % 2 == 1);
        const std::vector<uint8_t> tiffBytes = Pack(t, true);
        TiffLzwDecoder tiff(tiffBytes.data(), static_cast<uint32_t>(tiffBytes.size()));
        std::string got;
        std::vector<unsigned char> row(rowLength + 8, 0xEE);
        for (;;) {
            const uint32_t n = tiff.Read(row.data(), rowLength);
            got.append(reinterpret_cast<const char*>(row.data()), n);
            ASSERT_EQ(row[rowLength], 0xEE) << "written past the row";
            if (n < rowLength)
                break;
        }
        ASSERT_EQ(got, t.expected) << "TIFF round " << round;
        EXPECT_EQ(tiff.status(), t.broken ? TiffLzwDecoder::Status::CodePastTable : TiffLzwDecoder::Status::Ended);

        const unsigned minimum = std::vector<unsigned>{2, 3, 5, 8, 9}[round % 5];
        const Stream g = RandomStream(random, false, minimum, count, breakAtEnd, round % 2 == 1);
        const std::vector<uint8_t> gifBytes = Pack(g, false);
        VectorSource source(gifBytes);
        GifLzwDecoder gif;
        ASSERT_TRUE(gif.Start(minimum));
        got.clear();
        for (;;) {
            const size_t n = gif.Read(&source, row.data(), rowLength);
            got.append(reinterpret_cast<const char*>(row.data()), n);
            ASSERT_EQ(row[rowLength], 0xEE) << "written past the row";
            if (n < rowLength)
                break;
        }
        ASSERT_EQ(got, g.expected) << "GIF round " << round << " minimum " << minimum;
        EXPECT_EQ(gif.status(), g.broken ? GifLzwDecoder::Status::CodePastTable : GifLzwDecoder::Status::EndCode);
    }
}

TEST(Lzw, GifDataBound)
{
    // Under one code's worth of bits nothing decodes; then 1 + 2 + ... bytes.
    EXPECT_EQ(GifLzwMostDecodedBytes(1, 8), 0u);
    EXPECT_EQ(GifLzwMostDecodedBytes(9, 8), 36u);        // 8 codes of 9 bits
    EXPECT_EQ(GifLzwMostDecodedBytes(3, 2), 36u);        // 8 codes of 3 bits
    EXPECT_EQ(GifLzwMostDecodedBytes(70000, 8), 231503217u);  // strings capped at 3839 bytes
    EXPECT_EQ(GifLzwMostDecodedBytes(UINT64_MAX, 1), UINT64_MAX);
    EXPECT_EQ(GifLzwMostDecodedBytes(100, 0), GifLzwMostDecodedBytes(100, 1));

    // The bound is reached: one byte over and over, each code the next free
    // one, 254 codes of 9 bits after the first.
    Stream s;
    s.codes.push_back({0, 9});
    for (uint32_t code = 258; code < 512; ++code)
        s.codes.push_back({code, 9});
    const std::vector<uint8_t> bytes = Pack(s, false);
    ASSERT_EQ(bytes.size(), 287u);  // 255 codes of 9 bits
    VectorSource source(bytes);
    GifLzwDecoder gif;
    ASSERT_TRUE(gif.Start(8));
    std::vector<uint8_t> out(40000);
    EXPECT_EQ(gif.Read(&source, out.data(), out.size()), GifLzwMostDecodedBytes(bytes.size(), 8));
    EXPECT_EQ(GifLzwMostDecodedBytes(bytes.size(), 8), 255u * 256 / 2);
}

}  // namespace
