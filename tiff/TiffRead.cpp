// CTiffIo previews and full-resolution reads: which strips and rows are read,
// and where the decoded rows go.
#include "ITiffIO.h"
#include "TiffRowSink.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Largest block of compressed strips or uncompressed rows read at once.
constexpr uint32_t READ_BLOCK_CAP = 8u * 1024 * 1024;

// Samples the rows of a preview into the preview planes.
class PreviewSink : public CTiffIo::RowSink {
public:
    PreviewSink(CTiffIo& io, unsigned char* const* planes)
        : m_io(io), m_planes(planes), m_rows(FirstMatchIndices(io.m_nHeight, io.m_nDibHeight)),
          m_stride(AlignedRowBytes(io.m_nDibWidth * 8))
    {
    }

    // Prepares buffers; false when they cannot be had.
    bool Init()
    {
        // Samples of 1 or 4 bits are unpacked to a byte each when a pixel
        // holds more than one of them (colour, or grey with extra samples):
        // the column arithmetic of SampleRow counts whole bytes then.
        const bool colour = m_io.m_nColorMode == COLOR_RGB || m_io.m_nColorMode == COLOR_CMYK;
        if (m_io.m_nBitsPerSample < 8 && (colour || m_io.m_nSamplesPerPixel > 1)) {
            uint32_t bytes = 0;
            if (!MulSize(m_io.m_nSamplesPerPixel, m_io.m_nWidth, &bytes) || !m_unpack.Alloc(bytes, 0))
                return false;
        }
        return true;
    }

    uint32_t NextWanted(uint32_t row) const override
    {
        const auto it = std::lower_bound(m_rows.begin(), m_rows.end(), row);
        return it == m_rows.end() ? UINT32_MAX : *it;
    }

    int Take(uint32_t row, unsigned char* data) override
    {
        const uint32_t k = PreviewRow(row);
        if (k == UINT32_MAX)
            return 1;
        ++m_nTaken;
        const unsigned char* source = data;
        if (m_io.m_nBitsPerSample == 16) {
            m_io.UnpackSamples(data, data);
        } else if (m_unpack) {
            m_io.UnpackSamples(data, m_unpack.get());
            source = m_unpack.get();
            const bool colour = m_io.m_nColorMode == COLOR_RGB || m_io.m_nColorMode == COLOR_CMYK;
            if (colour) {
                // Colour samples of 1 or 4 bits, scaled to 0-255.
                const size_t n = static_cast<size_t>(m_io.m_nSamplesPerPixel) * m_io.m_nWidth;
                const unsigned scale = m_io.m_nBitsPerSample == 4 ? 17 : 255;
                for (size_t i = 0; i < n; ++i)
                    m_unpack[static_cast<uint32_t>(i)] = static_cast<unsigned char>(m_unpack[static_cast<uint32_t>(i)] * scale);
            } else {
                // Palette indices and grey levels stay as they are, one byte each.
                const int32_t bits = m_io.m_nBitsPerSample;
                m_io.m_nBitsPerSample = 8;
                m_io.SampleRow(k, source, m_planes);
                m_io.m_nBitsPerSample = bits;
                FinishGreyRow(k);
                return 1;
            }
        }
        m_io.SampleRow(k, source, m_planes);
        FinishGreyRow(k);
        return 1;
    }

    int TakePlane(uint32_t plane, uint32_t row, const unsigned char* data) override
    {
        const uint32_t k = PreviewRow(row);
        if (k == UINT32_MAX || plane >= MAX_PREVIEW_CHANNELS || m_planes[plane] == nullptr)
            return 1;
        ++m_nTaken;
        if (m_columns.empty())
            m_columns = FirstMatchIndices(m_io.m_nWidth, m_io.m_nDibWidth);
        unsigned char* out = m_planes[plane] + static_cast<size_t>(k) * m_stride;
        for (size_t i = 0; i < m_columns.size(); ++i)
            out[i] = data[m_columns[i]];
        if (plane == 0)
            FinishGreyRow(k);
        return 1;
    }

    // A full-size preview needs every row of every plane whole.
    bool Complete() const
    {
        const uint64_t planes = m_io.m_bPlanar == 1 ? m_io.m_nChannels : 1;
        return RowSink::Complete(static_cast<uint64_t>(m_io.m_nDibHeight) * planes);
    }

private:
    uint32_t PreviewRow(uint32_t row) const
    {
        const auto it = std::lower_bound(m_rows.begin(), m_rows.end(), row);
        if (it == m_rows.end() || *it != row)
            return UINT32_MAX;
        return static_cast<uint32_t>(it - m_rows.begin());
    }

    // Grey previews show grey levels: 4-bit samples are scaled to 0-255 and
    // WhiteIsZero samples are turned round so that 0 shows white.
    void FinishGreyRow(uint32_t k)
    {
        if (m_io.m_nColorMode != COLOR_GREY)
            return;
        const bool four = m_io.m_nBitsPerSample == 4;
        const bool invert = m_io.m_nGreyPhotometric == 0;
        if (!four && !invert)
            return;
        unsigned char* out = m_planes[0] + static_cast<size_t>(k) * m_stride;
        for (uint32_t i = 0; i < m_io.m_nDibWidth; ++i) {
            unsigned v = out[i];
            if (four)
                v = (v & 0x0F) * 17;
            if (invert)
                v = 255 - v;
            out[i] = static_cast<unsigned char>(v);
        }
    }

    CTiffIo& m_io;
    unsigned char* const* m_planes;
    std::vector<uint32_t> m_rows;
    std::vector<uint32_t> m_columns;
    size_t m_stride;
    ImageBlock<> m_unpack;
};

// Distributes every row into the caller's plane table, one byte per sample.
class FullSink : public CTiffIo::RowSink {
public:
    explicit FullSink(CTiffIo& io) : m_io(io) {}

    bool Init()
    {
        if (m_io.m_nBitsPerSample != 8) {
            uint32_t bytes = 0;
            if (!MulSize(m_io.m_nSamplesPerPixel, m_io.m_nWidth, &bytes) || !m_unpack.Alloc(bytes, 0))
                return false;
        }
        return true;
    }

    uint32_t NextWanted(uint32_t row) const override { return row < m_io.m_nHeight ? row : UINT32_MAX; }

    int Take(uint32_t row, unsigned char* data) override
    {
        ++m_nTaken;
        const unsigned char* source = data;
        if (m_unpack) {
            m_io.UnpackSamples(data, m_unpack.get());
            source = m_unpack.get();
        }
        const size_t step = m_io.m_nSamplesPerPixel;
        const size_t at = static_cast<size_t>(row) * static_cast<uint32_t>(m_io.m_nRowBytes);
        for (uint32_t p = 0; p < m_io.m_nChannels; ++p) {
            unsigned char* out = m_io.m_pPlane[p] + at;
            const unsigned char* in = source + p;
            for (uint32_t x = 0; x < m_io.m_nWidth; ++x)
                out[x] = in[x * step];
        }
        return 1;
    }

    int TakePlane(uint32_t plane, uint32_t row, const unsigned char* data) override
    {
        if (plane >= m_io.m_nChannels)
            return 1;
        ++m_nTaken;
        std::memcpy(m_io.m_pPlane[plane] + static_cast<size_t>(row) * static_cast<uint32_t>(m_io.m_nRowBytes),
                    data, m_io.m_nWidth);
        return 1;
    }

    // Whether every row of every plane arrived: rows lost with their strips
    // must not pass for blank picture.
    bool Complete() const
    {
        return RowSink::Complete(static_cast<uint64_t>(m_io.m_nHeight) * (m_io.m_bPlanar == 1 ? m_io.m_nChannels : 1));
    }

private:
    CTiffIo& m_io;
    ImageBlock<> m_unpack;
};

}  // namespace

int CTiffIo::CheckReadable() const
{
    if (m_nWidth == 0 || m_nHeight == 0 || m_nRowsPerStrip == 0)
        return 0;
    if (m_nBitsPerSample != 8 && m_nBitsPerSample != 4 && m_nBitsPerSample != 1 && m_nBitsPerSample != 16)
        return 0;
    if (m_nCompression != TIFF_COMPRESSION_NONE && m_nCompression != TIFF_COMPRESSION_LZW &&
        m_nCompression != TIFF_COMPRESSION_CCITT && m_nCompression != TIFF_COMPRESSION_PACKBITS)
        return 0;
    // Separate planes are read raw: 8-bit samples, no compression.
    if (m_bPlanar == 1 && (m_nBitsPerSample != 8 || m_nCompression != TIFF_COMPRESSION_NONE))
        return 0;
    // Every channel needs a sample of its own in each pixel.
    if (m_nSamplesPerPixel == 0 || m_nSamplesPerPixel < m_nChannels || m_nChannels > MAX_PREVIEW_CHANNELS)
        return 0;
    // CCITT data is one bit per pixel.
    if (m_nCompression == TIFF_COMPRESSION_CCITT && (m_nBitsPerSample != 1 || m_nSamplesPerPixel != 1))
        return 0;
    uint32_t rowLength = 0;
    if (!StoredRowLength(&rowLength))
        return 0;
    // One row larger than the whole file could ever decode to is damage, not
    // a picture: refuse it instead of allocating for it.
    if (rowLength > DecodableBytes())
        return 0;
    if (m_nStrips == 0 || m_pStripOffsets == nullptr)
        return 0;
    if (m_nCompression != TIFF_COMPRESSION_NONE && m_pStripByteCounts == nullptr)
        return 0;
    return 1;
}

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
    return got;
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
        return 0;
    const uint32_t chunkRows = granted / rowLength;
    const uint32_t strips = std::min(m_nStrips, StripsPerPlane());
    const uint64_t fileLength = m_file.GetLength();

    uint32_t r = sink.NextWanted(0);
    while (r < m_nHeight) {
        const uint32_t s = r / m_nRowsPerStrip;
        if (s >= strips)
            break;  // rows without a strip stay blank
        const uint32_t stripEnd = static_cast<uint32_t>(static_cast<uint64_t>(s) * m_nRowsPerStrip + StripRows(s));
        uint32_t n = 1;
        while (n < chunkRows && r + n < stripEnd && sink.NextWanted(r + n) == r + n)
            ++n;
        const uint64_t offset = m_pStripOffsets[s] +
                                static_cast<uint64_t>(r - s * m_nRowsPerStrip) * rowLength;
        if (offset >= fileLength) {
            // Nothing of the rest of this strip is in the file.
            r = sink.NextWanted(stripEnd);
            continue;
        }
        const uint32_t got = ReadAt(offset, block.get(), n * rowLength);
        for (uint32_t k = 0; k < n; ++k) {
            if (static_cast<uint64_t>(k + 1) * rowLength > got)
                ++sink.m_nCutShort;  // rows reaching past the end of the file
            if (!sink.Take(r + k, block.get() + static_cast<size_t>(k) * rowLength))
                return 0;
        }
        r = sink.NextWanted(r + n);
    }
    return 1;
}

int CTiffIo::ReadPlanarRows(RowSink& sink)
{
    ImageBlock<> row;
    if (!row.Alloc(m_nWidth, 1))
        return 0;
    const uint64_t perPlane = StripsPerPlane();
    const uint64_t fileLength = m_file.GetLength();
    for (uint32_t p = 0; p < m_nChannels; ++p) {
        uint32_t r = sink.NextWanted(0);
        while (r < m_nHeight) {
            const uint64_t s = p * perPlane + r / m_nRowsPerStrip;
            if (s >= m_nStrips)
                break;
            const uint64_t offset = m_pStripOffsets[s] + static_cast<uint64_t>(r % m_nRowsPerStrip) * m_nWidth;
            if (offset >= fileLength) {
                // Nothing of the rest of this strip is in the file.
                r = sink.NextWanted(static_cast<uint32_t>(
                    std::min<uint64_t>(m_nHeight, (r / m_nRowsPerStrip + 1) * static_cast<uint64_t>(m_nRowsPerStrip))));
                continue;
            }
            if (ReadAt(offset, row.get(), m_nWidth) < m_nWidth)
                ++sink.m_nCutShort;
            if (!sink.TakePlane(p, r, row.get()))
                return 0;
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
        return 0;
    const uint64_t fileLength = m_file.GetLength();
    const uint32_t strips = std::min(m_nStrips, StripsPerPlane());
    uint32_t largest = 0;
    for (uint32_t s = 0; s < strips; ++s)
        largest = std::max(largest, StripBytesInFile(s, fileLength));
    if (largest == 0)
        return 0;
    std::vector<unsigned char> strip;
    try {
        strip.resize(largest);
    } catch (const std::bad_alloc&) {
        return 0;
    }

    int result = 1;
    for (uint32_t s = 0; s < strips && result; ++s) {
        const uint32_t first = s * m_nRowsPerStrip;
        const uint32_t rows = StripRows(s);
        uint32_t want = sink.NextWanted(first);
        if (want >= first + rows)
            continue;  // no wanted row in this strip
        m_pStripBuf = strip.data();
        m_nStripPos = 0;
        m_nStripLen = ReadAt(m_pStripOffsets[s], strip.data(), StripBytesInFile(s, fileLength));
        for (uint32_t d = 0; d < rows; ++d) {
            // Rows past the end of the strip's data stay blank.
            if (m_nStripPos >= m_nStripLen)
                break;
            const int whole = m_nCompression == TIFF_COMPRESSION_CCITT ? DecodeHuffmanRow(row.get(), rowLength)
                                                                       : DecodePackBitsRow(row.get(), rowLength);
            if (first + d == want) {
                if (!whole)
                    ++sink.m_nCutShort;
                if (!sink.Take(want, row.get())) {
                    result = 0;
                    break;
                }
                want = sink.NextWanted(want + 1);
                if (want >= first + rows)
                    break;
            }
        }
    }
    m_pStripBuf = nullptr;
    m_nStripPos = 0;
    m_nStripLen = 0;
    return result;
}

int CTiffIo::DecodeLzwGroups(RowSink& sink)
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
        return 0;
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
        return 0;
    ImageBlock<> row;
    if (!row.Alloc(rowLength, 0))
        return 0;

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
            m_pCodeNext = block.get() + (m_pStripOffsets[k] - base);
            m_pCodeEnd = m_pCodeNext + bytes[k];
            if (!DecodeLzwStrip(k * m_nRowsPerStrip, StripRows(k), row.get(), rowLength, sink)) {
                m_pCodeNext = m_pCodeEnd = nullptr;
                return 0;
            }
        }
        s = t;
    }
    m_pCodeNext = m_pCodeEnd = nullptr;
    return 1;
}

int CTiffIo::DecodeLzwStrips(unsigned char* const* planes)
{
    if (!CheckReadable() || m_nCompression != TIFF_COMPRESSION_LZW)
        return 0;
    if (m_nLzwMode == 1) {
        if (planes == nullptr)
            return 0;
        PreviewSink sink(*this, planes);
        if (!sink.Init() || !DecodeLzwGroups(sink))
            return 0;
        return m_bFullSize == 0 || sink.Complete() ? 1 : 0;
    }
    FullSink sink(*this);
    return sink.Init() && DecodeLzwGroups(sink) && sink.Complete() ? 1 : 0;
}

int CTiffIo::ReadPreviewRows(unsigned char* const* planes)
{
    if (!CheckReadable())
        return 0;
    // Every column SampleRow takes must lie inside the rows handed to it.
    uint32_t rowLength = 0;
    uint32_t need = 0;
    StoredRowLength(&rowLength);
    const bool unpacked = (m_nColorMode == COLOR_RGB || m_nColorMode == COLOR_CMYK) && m_nBitsPerSample < 8;
    if (m_bPlanar == 0 && !unpacked && (!SourceRowBytes(&need) || need > rowLength))
        return 0;
    if (m_nCompression == TIFF_COMPRESSION_LZW) {
        m_nLzwMode = 1;
        return DecodeLzwStrips(planes);
    }
    PreviewSink sink(*this, planes);
    if (!sink.Init())
        return 0;
    int result;
    if (m_bPlanar == 1)
        result = ReadPlanarRows(sink);
    else if (m_nCompression == TIFF_COMPRESSION_NONE)
        result = ReadUncompressedRows(sink);
    else
        result = ReadCodedStripRows(sink);
    // Fitted previews show what is there (missing rows black); a full-size
    // preview needs every row.
    return result && (m_bFullSize == 0 || sink.Complete()) ? 1 : 0;
}

int CTiffIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    // Files that cannot be read are refused before the preview memory is
    // asked for; the preview consumes the palette whatever the outcome.
    if (!CheckReadable() || (m_bFullSize != 0 && !ImageFitsInFile())) {
        ImageFree(&m_pPalette);
        return 0;
    }
    return MakePlanesPreview(width, height, bits);
}

int CTiffIo::ReadFullImage()
{
    if (!CheckReadable() || m_nChannels == 0 || !ImageFitsInFile())
        return 0;
    if (m_nRowBytes < 0 || static_cast<uint32_t>(m_nRowBytes) < m_nWidth)
        return 0;
    for (uint32_t p = 0; p < m_nChannels; ++p) {
        if (m_nPlaneKind[p] != 1 || m_pPlane[p] == nullptr)
            return 0;
    }
    if (m_nCompression == TIFF_COMPRESSION_LZW) {
        m_nLzwMode = 2;
        return DecodeLzwStrips(nullptr);
    }
    FullSink sink(*this);
    if (!sink.Init())
        return 0;
    int result;
    if (m_bPlanar == 1)
        result = ReadPlanarRows(sink);
    else if (m_nCompression == TIFF_COMPRESSION_NONE)
        result = ReadUncompressedRows(sink);
    else
        result = ReadCodedStripRows(sink);
    return result && sink.Complete() ? 1 : 0;
}

uint64_t CTiffIo::DecodableBytes() const
{
    // No strip coding expands its input more than 4096 times (LZW at most
    // about 3,400).
    const uint64_t fileLength = m_file.GetLength();
    return m_nCompression == TIFF_COMPRESSION_NONE ? fileLength : fileLength * 4096;
}

namespace {

// Most bytes LZW codes in `bytes` stored bytes can decode to: every code
// takes at least 9 bits, and the k-th code of a stream gives at most k bytes
// (each table entry is one byte longer than an entry before it), at most
// the 4096 bytes of the longest string the table holds.
uint64_t LzwMostBytes(uint64_t bytes)
{
    const uint64_t codes = bytes * 8 / 9;
    constexpr uint64_t table = 4096;
    if (codes <= table)
        return codes * (codes + 1) / 2;
    return table * (table + 1) / 2 + (codes - table) * table;
}

}  // namespace

bool CTiffIo::ImageFitsInFile() const
{
    uint32_t rowLength = 0;
    if (!StoredRowLength(&rowLength) || m_nRowsPerStrip == 0 || m_nStrips == 0 || m_pStripOffsets == nullptr)
        return false;
    const uint64_t fileLength = m_file.GetLength();
    const uint64_t perPlane = StripsPerPlane();
    const uint64_t strips = perPlane * (m_bPlanar == 1 ? m_nChannels : 1);
    if (strips > m_nStrips)
        return false;
    // Planar strips hold rows of one sample each.
    const uint64_t stripRowLength = m_bPlanar == 1 ? m_nWidth : rowLength;
    for (uint64_t s = 0; s < strips; ++s) {
        const uint64_t rows = StripRows(static_cast<uint32_t>(s % perPlane));
        const uint64_t need = rows * stripRowLength;
        if (m_nCompression == TIFF_COMPRESSION_NONE) {
            // Uncompressed rows are read at the strip's offset, whatever its count.
            if (m_pStripOffsets[s] > fileLength || need > fileLength - m_pStripOffsets[s])
                return false;
            continue;
        }
        const uint64_t bytes = StripBytesInFile(static_cast<uint32_t>(s), fileLength);
        switch (m_nCompression) {
        case TIFF_COMPRESSION_PACKBITS:
            // Two bytes repeat one byte at most 128 times.
            if (need > bytes * 64)
                return false;
            break;
        case TIFF_COMPRESSION_CCITT:
            // Every row starts on a byte of its own; no run code gives more
            // than 278 pixels a bit (white make-up 1664 in 6 bits).
            if (rows > bytes || need > bytes * 278)
                return false;
            break;
        case TIFF_COMPRESSION_LZW:
            if (need > LzwMostBytes(bytes))
                return false;
            break;
        default:
            return false;
        }
    }
    return true;
}
