#include "TiffEncoders.h"
#include "TestSupport.h"
#include "TiffTestTools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

std::vector<uint8_t> PackBits(const std::vector<uint8_t>& row)
{
    std::vector<uint8_t> runs(row.size() + 1);
    const uint32_t n = ScanRuns(row.data(), runs.data(), static_cast<uint32_t>(row.size()));
    std::vector<uint8_t> out(PackBitsBound(n));
    const uint32_t len = EncodePackBitsRow(row.data(), runs.data(), n, out.data());
    out.resize(len);
    return out;
}

std::vector<uint8_t> UnpackBits(const std::vector<uint8_t>& in)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < in.size();) {
        const int8_t n = static_cast<int8_t>(in[i++]);
        if (n >= 0) {
            out.insert(out.end(), in.begin() + i, in.begin() + i + n + 1);
            i += n + 1;
        } else if (n != -128) {
            out.insert(out.end(), 1 - n, in[i++]);
        }
    }
    return out;
}

std::vector<uint8_t> Lzw(const std::vector<uint8_t>& rows, uint32_t rowBytes, uint32_t spp,
                         int* result = nullptr)
{
    std::vector<uint8_t> buffer(LzwStripBound(rows.size()));
    LzwBitWriter writer(buffer.data(), static_cast<uint32_t>(buffer.size()));
    writer.Reset();
    const int r = EncodeLzwStrip(writer, rows.data(), rowBytes,
                                 static_cast<uint32_t>(rows.size() / rowBytes), spp);
    if (result)
        *result = r;
    buffer.resize(writer.nCount);
    return buffer;
}

std::vector<uint32_t> Codes(const LzwDecoded& d)
{
    std::vector<uint32_t> codes;
    for (auto& c : d.codes)
        codes.push_back(c.first);
    return codes;
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(gen());
    return v;
}

}  // namespace

TEST(PackBits, KnownPackets)
{
    EXPECT_EQ(PackBits({1, 1, 1, 1, 2, 3}), (std::vector<uint8_t>{0xFD, 0x01, 0x01, 0x02, 0x03}));

    const std::vector<uint8_t> same(300, 0x5A);
    EXPECT_EQ(PackBits(same), (std::vector<uint8_t>{0x81, 0x5A, 0x81, 0x5A, 0xD5, 0x5A}));

    std::vector<uint8_t> distinct(130);
    for (size_t i = 0; i < distinct.size(); ++i)
        distinct[i] = static_cast<uint8_t>(i);
    const std::vector<uint8_t> packed = PackBits(distinct);
    ASSERT_EQ(packed.size(), 1u + 128 + 2 + 2);
    EXPECT_EQ(packed[0], 0x7F);
    EXPECT_EQ(packed[129], 0x00);
    EXPECT_EQ(packed[130], 128);
    EXPECT_EQ(packed[131], 0x00);
    EXPECT_EQ(packed[132], 129);

    // A pair of equal bytes that does not fit the pending literal packet is
    // a packet of its own.
    std::vector<uint8_t> row = distinct;
    row.resize(128);
    row.push_back(7);
    row.push_back(7);
    const std::vector<uint8_t> p2 = PackBits(row);
    ASSERT_EQ(p2.size(), 129u + 2);
    EXPECT_EQ(p2[129], 0xFF);
    EXPECT_EQ(p2[130], 7);
}

TEST(PackBits, RoundTripsAndStaysWithinItsBound)
{
    for (unsigned seed = 0; seed < 20; ++seed) {
        std::vector<uint8_t> row = RandomBytes(1 + seed * 97, seed);
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = static_cast<uint8_t>(row[i] % (seed % 4 + 1));  // some runs
        EXPECT_EQ(UnpackBits(PackBits(row)), row) << seed;
    }
    // Rows beyond 65,535 bytes are encoded whole.
    std::vector<uint8_t> wide = RandomBytes(70000, 3);
    for (size_t i = 0; i < wide.size(); i += 5)
        wide[i] = wide[i + 1 < wide.size() ? i + 1 : i];
    EXPECT_EQ(UnpackBits(PackBits(wide)), wide);
}

TEST(PackBilevelRow, NonzeroSamplesBecomeOneBitsMostSignificantFirst)
{
    const uint8_t samples[9] = {1, 0, 0, 0, 0, 0, 0, 1, 1};
    uint8_t packed[2] = {0xFF, 0xFF};
    EXPECT_EQ(PackBilevelRow(samples, 9, packed), 1);
    EXPECT_EQ(packed[0], 0x81);
    EXPECT_EQ(packed[1], 0x80);
    const uint8_t other[3] = {255, 2, 0};
    PackBilevelRow(other, 3, packed);
    EXPECT_EQ(packed[0], 0xC0);
}

TEST(LzwEncoder, KnownCodeSequences)
{
    LzwDecoded d = DecodeLzwReference(Lzw({65, 65, 65, 65}, 4, 1));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(Codes(d), (std::vector<uint32_t>{256, 65, 0, 259, 257}));
    for (auto& c : d.codes)
        EXPECT_EQ(c.second, 9u);
    // 5 codes of 9 bits: 45 bits in 6 bytes, the last one padded with zeros.
    EXPECT_EQ(Lzw({65, 65, 65, 65}, 4, 1).size(), 6u);

    d = DecodeLzwReference(Lzw({10, 20, 30, 11, 21, 31}, 6, 3));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(Codes(d), (std::vector<uint32_t>{256, 10, 20, 30, 1, 261, 257}));
    EXPECT_EQ(d.bytes, (std::vector<uint8_t>{10, 20, 30, 1, 1, 1}));
}

TEST(LzwEncoder, ClearsAfterCode4094AndRoundTrips)
{
    const uint32_t rowBytes = 300, rows = 60;  // 18,000 mostly distinct pairs
    std::vector<uint8_t> data = RandomBytes(rowBytes * rows, 11);
    for (size_t i = 0; i < 2000; ++i)  // a long run too
        data[5000 + i] = 9;
    LzwDecoded d = DecodeLzwReference(Lzw(data, rowBytes, 3));
    ASSERT_TRUE(d.ok);
    size_t clears = 0;
    for (size_t i = 1; i < d.codes.size(); ++i) {
        if (d.codes[i].first == 256) {
            ++clears;
            EXPECT_EQ(d.codes[i].second, 12u);
            ASSERT_LT(i + 1, d.codes.size());
            EXPECT_EQ(d.codes[i + 1].second, 9u);
        }
    }
    EXPECT_GE(clears, 2u);
    // The widths grow at 10, 11 and 12 bits on the way.
    bool seen[13] = {};
    for (auto& c : d.codes)
        seen[c.second] = true;
    EXPECT_TRUE(seen[10] && seen[11] && seen[12]);
    std::vector<uint8_t> decoded = d.bytes;
    UndoPredictor(decoded, rowBytes, 3);
    EXPECT_EQ(decoded, data);
}

TEST(LzwEncoder, StaysWithinItsBoundAndReportsOverflow)
{
    const std::vector<uint8_t> data = RandomBytes(50000, 5);
    const std::vector<uint8_t> out = Lzw(data, 50000, 1);
    EXPECT_LE(out.size(), LzwStripBound(data.size()));

    std::vector<uint8_t> small(100, 0xEE);
    LzwBitWriter writer(small.data(), 64);
    writer.Reset();
    EXPECT_EQ(EncodeLzwStrip(writer, data.data(), 1000, 1, 1), 0);
    EXPECT_EQ(writer.nCount, 64u);
    EXPECT_EQ(small[64], 0xEE);  // nothing written past the capacity
}
