// CTiffIo strip reading: where each strip lies in the file, reading it in
// bounded blocks, and decoding uncompressed, planar, PackBits/CCITT and LZW
// strips into a row sink.
#include "ITiffIO.h"
#include "TiffDecoders.h"
#include "TiffRowSink.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Largest block of compressed strips or uncompressed rows read at once.
constexpr uint32_t READ_BLOCK_CAP = 8u * 1024 * 1024;

// Reverses the bit order of each of `count` bytes.
void ReverseBits(unsigned char* bytes, uint32_t count)
{
    static const auto table = [] {
        std::array<unsigned char, 256> t{};
        for (uint32_t v = 0; v < 256; ++v) {
            uint32_t r = 0;
            for (uint32_t b = 0; b < 8; ++b)
                r |= ((v >> b) & 1u) << (7 - b);
            t[v] = static_cast<unsigned char>(r);
        }
        return t;
    }();
    for (uint32_t i = 0; i < count; ++i)
        bytes[i] = table[bytes[i]];
}

Refusal RowEndReason(RowEnd end)
{
    return end == RowEnd::InvalidCode ? Refusal::TiffCcittInvalidCode : Refusal::TiffStripCutShort;
}

}  // namespace

uint32_t CTiffIo::StripsPerPlane() const
{
    return static_cast<uint32_t>((static_cast<uint64_t>(m_nHeight) + m_nRowsPerStrip - 1) / m_nRowsPerStrip);
}

uint32_t CTiffIo::StripRows(uint32_t strip) const
{
    const uint64_t first = static_cast<uint64_t>(strip) * m_nRowsPerStrip;
    if (first >= m_nHeight)
        return 0;
    const uint64_t left = m_nHeight - first;
    return static_cast<uint32_t>(left < m_nRowsPerStrip ? left : m_nRowsPerStrip);
}

uint32_t CTiffIo::StripBytesInFile(uint32_t strip, uint64_t fileLength) const
{
    if (strip >= m_nStrips || m_pStripByteCounts == nullptr)
        return 0;
    const uint64_t offset = m_pStripOffsets[strip];
    if (offset >= fileLength)
        return 0;
    const uint64_t inFile = fileLength - offset;
    return static_cast<uint32_t>(m_pStripByteCounts[strip] < inFile ? m_pStripByteCounts[strip] : inFile);
}

uint32_t CTiffIo::ReadAt(uint64_t offset, unsigned char* buffer, uint32_t count)
{
    const uint64_t length = m_file.GetLength();
    uint32_t got = 0;
    if (offset < length) {
        m_file.Seek(static_cast<int64_t>(offset), CFile::begin);
        const uint64_t avail = length - offset;
        got = m_file.Read(buffer, static_cast<uint32_t>(count < avail ? count : avail));
    }
    if (got < count)
        std::memset(buffer + got, 0, count - got);
    if (m_bBitsReversed)
        ReverseBits(buffer, got);
    return got;
}

int CTiffIo::ReadRows(RowSink& sink)
{
    if (m_bPlanar == 1)
        return ReadPlanarRows(sink);
    switch (m_nCompression) {
    case TIFF_COMPRESSION_NONE:
        return ReadUncompressedRows(sink);
    case TIFF_COMPRESSION_LZW:
        return ReadLzwRows(sink);
    default:
        return ReadCodedStripRows(sink);
    }
}

int CTiffIo::ReadUncompressedRows(RowSink& sink)
{
    uint32_t rowLength = 0;
    StoredRowLength(&rowLength);
    // Runs of consecutive rows (full reads, full-size previews) are read in
    // chunks; sampled previews read one row at a time.
    uint64_t want = rowLength;
    if (m_nHeight > 1 && sink.NextWanted(1) == 1) {
        want = static_cast<uint64_t>(rowLength) * m_nHeight;
        const uint64_t cap = rowLength > READ_BLOCK_CAP ? rowLength : READ_BLOCK_CAP;
        if (want > cap)
            want = cap;
    }
    uint32_t granted = 0;
    ImageBlock<> block;
    if (!block.AllocBlock(static_cast<uint32_t>(want), rowLength, &granted) || granted < rowLength)
        return Refuse(Refusal::OutOfMemory);
    const uint32_t chunkRows = granted / rowLength;
    const uint32_t strips = std::min(m_nStrips, StripsPerPlane());
    const uint64_t fileLength = m_file.GetLength();

    uint32_t r = sink.NextWanted(0);
    while (r < m_nHeight) {
        const uint32_t s = r / m_nRowsPerStrip;
        if (s >= strips) {
            sink.NoteWhy(Refusal::TiffNoStrips);
            break;  // rows without a strip stay blank
        }
        const uint32_t stripEnd = static_cast<uint32_t>(static_cast<uint64_t>(s) * m_nRowsPerStrip + StripRows(s));
        uint32_t n = 1;
        while (n < chunkRows && r + n < stripEnd && sink.NextWanted(r + n) == r + n)
            ++n;
        const uint64_t offset = m_pStripOffsets[s] +
                                static_cast<uint64_t>(r - s * m_nRowsPerStrip) * rowLength;
        if (offset >= fileLength) {
            // Nothing of the rest of this strip is in the file.
            sink.NoteWhy(Refusal::Truncated);
            r = sink.NextWanted(stripEnd);
            continue;
        }
        const uint32_t got = ReadAt(offset, block.get(), n * rowLength);
        for (uint32_t k = 0; k < n; ++k) {
            if (static_cast<uint64_t>(k + 1) * rowLength > got)
                sink.CutShort(Refusal::Truncated);  // rows reaching past the end of the file
            if (!sink.Take(r + k, block.get() + static_cast<size_t>(k) * rowLength))
                return Refuse(Refusal::OutOfMemory);
        }
        r = sink.NextWanted(r + n);
    }
    return 1;
}

int CTiffIo::ReadPlanarRows(RowSink& sink)
{
    ImageBlock<> row;
    if (!row.Alloc(m_nWidth, 1))
        return Refuse(Refusal::OutOfMemory);
    const uint64_t perPlane = StripsPerPlane();
    const uint64_t fileLength = m_file.GetLength();
    for (uint32_t p = 0; p < m_nChannels; ++p) {
        uint32_t r = sink.NextWanted(0);
        while (r < m_nHeight) {
            const uint64_t s = p * perPlane + r / m_nRowsPerStrip;
            if (s >= m_nStrips) {
                sink.NoteWhy(Refusal::TiffNoStrips);
                break;
            }
            const uint64_t offset = m_pStripOffsets[s] + static_cast<uint64_t>(r % m_nRowsPerStrip) * m_nWidth;
            if (offset >= fileLength) {
                // Nothing of the rest of this strip is in the file.
                sink.NoteWhy(Refusal::Truncated);
                r = sink.NextWanted(static_cast<uint32_t>(
                    std::min<uint64_t>(m_nHeight, (r / m_nRowsPerStrip + 1) * static_cast<uint64_t>(m_nRowsPerStrip))));
                continue;
            }
            if (ReadAt(offset, row.get(), m_nWidth) < m_nWidth)
                sink.CutShort(Refusal::Truncated);
            if (!sink.TakePlane(p, r, row.get()))
                return Refuse(Refusal::OutOfMemory);
            r = sink.NextWanted(r + 1);
        }
    }
    return 1;
}

int CTiffIo::ReadCodedStripRows(RowSink& sink)
{
    uint32_t rowLength = 0;
    StoredRowLength(&rowLength);
    ImageBlock<> row;
    if (!row.Alloc(rowLength, 1))
        return Refuse(Refusal::OutOfMemory);
    const uint64_t fileLength = m_file.GetLength();
    const uint32_t strips = std::min(m_nStrips, StripsPerPlane());
    uint32_t largest = 0;
    for (uint32_t s = 0; s < strips; ++s)
        largest = std::max(largest, StripBytesInFile(s, fileLength));
    if (largest == 0)
        return Refuse(Refusal::Truncated);  // no strip holds any data
    std::vector<unsigned char> strip;
    try {
        strip.resize(largest);
    } catch (const std::bad_alloc&) {
        return Refuse(Refusal::OutOfMemory);
    }

    const bool ccitt = m_nCompression == TIFF_COMPRESSION_CCITT;
    for (uint32_t s = 0; s < strips; ++s) {
        const uint32_t first = s * m_nRowsPerStrip;
        const uint32_t rows = StripRows(s);
        uint32_t want = sink.NextWanted(first);
        if (want >= first + rows)
            continue;  // no wanted row in this strip
        ByteCursor in(strip.data(), ReadAt(m_pStripOffsets[s], strip.data(), StripBytesInFile(s, fileLength)));
        for (uint32_t d = 0; d < rows; ++d) {
            // Rows past the end of the strip's data stay blank.
            if (in.AtEnd()) {
                sink.NoteWhy(Refusal::TiffStripCutShort);
                break;
            }
            const RowEnd end = ccitt ? DecodeCcittRow(in, m_nWidth, row.get(), rowLength)
                                     : DecodePackBitsRow(in, row.get(), rowLength);
            if (first + d == want) {
                if (end != RowEnd::Whole)
                    sink.CutShort(RowEndReason(end));
                if (!sink.Take(want, row.get()))
                    return Refuse(Refusal::OutOfMemory);
                want = sink.NextWanted(want + 1);
                if (want >= first + rows)
                    break;
            }
        }
    }
    return 1;
}

int CTiffIo::DecodeLzwStrip(const unsigned char* codes, uint32_t size, uint32_t firstRow, uint32_t rows,
                            unsigned char* row, uint32_t rowLength, RowSink& sink)
{
    if (rows == 0)
        return 1;
    TiffLzwDecoder decoder(codes, size);
    if (decoder.Empty())
        return 1;  // an empty strip holds no rows
    uint32_t want = sink.NextWanted(firstRow);
    // Rows are decoded in order until the last one the sink wants.
    for (uint32_t d = 0; d < rows && want < firstRow + rows; ++d) {
        if (decoder.Read(row, rowLength) < rowLength) {
            switch (decoder.status()) {
            case TiffLzwDecoder::Status::NoClearCode:
                // A damaged strip after rows already read: they are kept, the
                // later ones black; damage before any row refuses the file.
                if (sink.m_nTaken == 0)
                    return Refuse(Refusal::TiffLzwNoClearCode);
                sink.NoteWhy(Refusal::TiffLzwNoClearCode);
                return -1;
            case TiffLzwDecoder::Status::CodePastTable:
                sink.NoteWhy(Refusal::TiffLzwCodePastTable);
                break;
            default:
                sink.NoteWhy(Refusal::TiffStripCutShort);
                break;
            }
            return 1;  // the strip's later rows stay blank
        }
        if (firstRow + d == want) {
            if (m_nPredictor == TIFF_PREDICTOR_HORIZONTAL)
                UndoHorizontalPredictor(row, rowLength, m_nSamplesPerPixel, m_nBitsPerSample, m_bIntel == 0);
            if (!sink.Take(want, row))
                return Refuse(Refusal::OutOfMemory);
            want = sink.NextWanted(want + 1);
        }
    }
    return 1;
}

int CTiffIo::ReadLzwRows(RowSink& sink)
{
    uint32_t rowLength = 0;
    StoredRowLength(&rowLength);
    const uint64_t fileLength = m_file.GetLength();
    const uint32_t strips = std::min(m_nStrips, StripsPerPlane());

    std::vector<char> needed;
    std::vector<uint32_t> bytes;
    try {
        needed.assign(strips, 0);
        bytes.assign(strips, 0);
    } catch (const std::bad_alloc&) {
        return Refuse(Refusal::OutOfMemory);
    }
    uint64_t span = 0;
    uint32_t largest = 0;
    for (uint32_t s = 0; s < strips; ++s) {
        const uint32_t first = s * m_nRowsPerStrip;
        if (sink.NextWanted(first) >= first + StripRows(s))
            continue;
        needed[s] = 1;
        bytes[s] = StripBytesInFile(s, fileLength);
        span += bytes[s];
        largest = std::max(largest, bytes[s]);
    }
    if (largest == 0)
        return 1;  // no wanted strip holds any data

    // One block for a group of strips: as much as is granted, up to the
    // strips needed, but not more than a few megabytes beyond the largest.
    const uint64_t cap = largest > READ_BLOCK_CAP ? largest : READ_BLOCK_CAP;
    const uint32_t want = static_cast<uint32_t>(span < cap ? span : cap);
    uint32_t granted = 0;
    ImageBlock<> block;
    if (!block.AllocBlock(want, largest, &granted) || granted < largest)
        return Refuse(Refusal::OutOfMemory);
    ImageBlock<> row;
    if (!row.Alloc(rowLength, 0))
        return Refuse(Refusal::OutOfMemory);

    uint32_t s = 0;
    while (s < strips) {
        if (!needed[s]) {
            ++s;
            continue;
        }
        // The group: following wanted strips whose bytes lie inside the block
        // counted from the first strip's offset.
        const uint64_t base = m_pStripOffsets[s];
        uint64_t end = base + bytes[s];
        uint32_t t = s + 1;
        while (t < strips && needed[t] && m_pStripOffsets[t] >= base &&
               m_pStripOffsets[t] + static_cast<uint64_t>(bytes[t]) - base <= granted) {
            end = std::max<uint64_t>(end, m_pStripOffsets[t] + static_cast<uint64_t>(bytes[t]));
            ++t;
        }
        ReadAt(base, block.get(), static_cast<uint32_t>(end - base));
        for (uint32_t k = s; k < t; ++k) {
            const int decoded = DecodeLzwStrip(block.get() + (m_pStripOffsets[k] - base), bytes[k],
                                               k * m_nRowsPerStrip, StripRows(k), row.get(), rowLength, sink);
            if (decoded <= 0)
                return decoded == 0 ? 0 : 1;  // -1: the rows after the damage stay black
        }
        s = t;
    }
    return 1;
}

