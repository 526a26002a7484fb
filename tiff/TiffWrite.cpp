// The TIFF writer: writes the full-resolution planes of a CTiffIo as a
// single-image, interleaved TIFF file through m_file.
#include "ITiffIO.h"
#include "TiffEncoders.h"

#include "ByteOrder.h"

#include <cmath>
#include <cstring>
#include <new>

namespace {

// Plane bytes the general writer aims to put in one strip.
constexpr uint32_t kStripPlaneBytes = 6400000;
// Size of the LZW writer's output buffer; larger only when one strip's code
// stream could need more.
constexpr uint32_t kLzwBufferBytes = 632768;
// Entries of a strip table written per call.
constexpr uint32_t kTableChunk = 4096;

bool IsPaletteMode(int32_t mode) { return mode == COLOR_INDEXED || mode == COLOR_BILEVEL; }

// A resolution as the whole number written to the file.  Values that are
// not a usable resolution (below 1, or not a number) become 72.
uint32_t ResolutionNumerator(float res)
{
    if (!(res >= 1.0f))
        return 72;
    if (res >= 4294967295.0f)
        return UINT32_MAX;
    return static_cast<uint32_t>(res);
}

}  // namespace

bool CTiffIo::WritePosition(uint32_t* pos) const
{
    const uint64_t p = m_file.GetPosition();
    if (p > UINT32_MAX)
        return false;  // past what a TIFF offset can address
    *pos = static_cast<uint32_t>(p);
    return true;
}

bool CTiffIo::NewStripTables(uint32_t strips)
{
    delete[] m_pStripOffsets;
    delete[] m_pStripByteCounts;
    m_pStripOffsets = new (std::nothrow) uint32_t[strips]();
    m_pStripByteCounts = new (std::nothrow) uint32_t[strips]();
    m_nStrips = strips;
    if (m_pStripOffsets == nullptr || m_pStripByteCounts == nullptr) {
        delete[] m_pStripOffsets;
        delete[] m_pStripByteCounts;
        m_pStripOffsets = m_pStripByteCounts = nullptr;
        m_nStrips = 0;
        return false;
    }
    return true;
}

void CTiffIo::InterleaveRows(unsigned char* band, uint32_t firstRow, uint32_t rows) const
{
    const uint32_t spp = m_nSamplesPerPixel;
    unsigned char* out = band;
    for (uint32_t r = 0; r < rows; ++r) {
        const size_t planeOffset = static_cast<size_t>(firstRow + r) * static_cast<uint32_t>(m_nRowBytes);
        if (spp == 1) {
            std::memcpy(out, m_pPlane[0] + planeOffset, m_nWidth);
            out += m_nWidth;
            continue;
        }
        for (uint32_t p = 0; p < spp; ++p) {
            const unsigned char* src = m_pPlane[p] + planeOffset;
            for (uint32_t x = 0; x < m_nWidth; ++x)
                out[static_cast<size_t>(x) * spp + p] = src[x];
        }
        out += static_cast<size_t>(m_nWidth) * spp;
    }
}

// ---- encoders on the object's state -----------------------------------------

uint32_t CTiffIo::ScanRuns(const unsigned char* row, unsigned char* runs, uint32_t length)
{
    return ::ScanRuns(row, runs, length);
}

uint32_t CTiffIo::EncodePackBitsRow(const unsigned char* row, uint32_t)
{
    return ::EncodePackBitsRow(row, m_pRuns, m_nRunCount, m_pPackOut);
}

int CTiffIo::PackBilevelRow(const unsigned char* samples, unsigned char* packed)
{
    return ::PackBilevelRow(samples, m_nWidth * m_nSamplesPerPixel, packed);
}

int CTiffIo::EncodeLzwStrip(const unsigned char* rows, uint32_t rowCount)
{
    return ::EncodeLzwStrip(*m_pLzwOut, rows, m_nWidth * m_nSamplesPerPixel, rowCount,
                            m_nSamplesPerPixel);
}

int CTiffIo::PutCode(uint32_t code, uint32_t width) { return m_pLzwOut->PutCode(code, width); }

// ---- the writer -------------------------------------------------------------

int CTiffIo::WriteImage()
{
    if (m_nCompression != TIFF_COMPRESSION_NONE && m_nCompression != TIFF_COMPRESSION_LZW &&
        m_nCompression != TIFF_COMPRESSION_PACKBITS)
        return 0;
    if (!CanWrite())
        return 0;
    try {
        // Bilevel pictures are always written one bit per pixel, uncompressed;
        // LZW would otherwise encode a byte per pixel under a 1-bit header.
        if (m_nColorMode == COLOR_BILEVEL)
            return WriteBilevelStrips();
        if (m_nCompression == TIFF_COMPRESSION_LZW)
            return WriteLzwStrips();
        return WriteStrips();
    } catch (const CFileException&) {
        return 0;
    }
}

int CTiffIo::CanWrite() const
{
    if (m_nColorMode == COLOR_CHANNEL)
        return 0;
    if (m_nWidth == 0 || m_nHeight == 0 || m_nSamplesPerPixel == 0 || m_nSamplesPerPixel > 32)
        return 0;
    if (m_nRowBytes <= 0 || static_cast<uint32_t>(m_nRowBytes) < m_nWidth)
        return 0;
    if (m_nChannels > m_nSamplesPerPixel)
        return 0;
    for (uint32_t p = 0; p < m_nSamplesPerPixel; ++p)
        if (m_nPlaneKind[p] != 1 || m_pPlane[p] == nullptr)
            return 0;
    if (IsPaletteMode(m_nColorMode) && (m_nPaletteSize == 0 || m_pPalette == nullptr))
        return 0;
    // One interleaved row must be addressable.
    uint32_t rowLength;
    if (!MulSize(m_nWidth, m_nSamplesPerPixel, &rowLength))
        return 0;
    return 1;
}

int CTiffIo::WriteHeader()
{
    if (m_nColorMode == COLOR_CHANNEL)
        return 0;
    unsigned char header[8] = {};
    header[0] = header[1] = m_bIntel ? 'I' : 'M';
    Store16(header + 2, 42, !m_bIntel);
    m_file.Write(header, sizeof header);
    if (IsPaletteMode(m_nColorMode)) {
        const uint32_t n = m_nPaletteSize;
        ImageBlock<> map;
        if (!map.Alloc(6 * n, 0))
            return 0;
        // All red values, then all green, then all blue; palette entries hold
        // blue, green, red.
        for (uint32_t i = 0; i < n; ++i) {
            Store16(map.get() + 2 * i, static_cast<uint16_t>(m_pPalette[4 * i + 2] * 256u), !m_bIntel);
            Store16(map.get() + 2 * (n + i), static_cast<uint16_t>(m_pPalette[4 * i + 1] * 256u), !m_bIntel);
            Store16(map.get() + 2 * (2 * n + i), static_cast<uint16_t>(m_pPalette[4 * i] * 256u), !m_bIntel);
        }
        try {
            m_file.Write(map.get(), 6 * n);
        } catch (const CFileException&) {
            return 0;
        }
    }
    return 1;
}

int CTiffIo::WriteStrips()
{
    m_nBitsPerSample = 8;  // one byte per sample from the planes
    if (!WriteHeader())
        return 0;
    const uint32_t spp = m_nSamplesPerPixel;
    const uint32_t rowLength = m_nWidth * spp;  // checked by CanWrite
    uint32_t unit;
    if (!MulSize(static_cast<uint32_t>(m_nRowBytes), spp, &unit))
        return 0;
    uint32_t rowsPerStrip = kStripPlaneBytes / static_cast<uint32_t>(m_nRowBytes) / spp;
    if (rowsPerStrip < 1)
        rowsPerStrip = 1;
    if (rowsPerStrip > m_nHeight)
        rowsPerStrip = m_nHeight;

    uint32_t want, granted = 0;
    if (!MulSize(unit, rowsPerStrip, &want))
        return 0;
    ImageBlock<> band;
    if (!band.AllocBlock(want, unit, &granted) || granted < unit)
        return 0;
    rowsPerStrip = granted / spp / static_cast<uint32_t>(m_nRowBytes);
    if (rowsPerStrip < 1)
        return 0;

    const uint32_t strips = (m_nHeight - 1) / rowsPerStrip + 1;
    if (!NewStripTables(strips))
        return 0;
    m_nRowsPerStrip = rowsPerStrip;

    const bool packBits = m_nCompression == TIFF_COMPRESSION_PACKBITS;
    ImageBlock<> runs;
    if (packBits) {
        if (rowLength == UINT32_MAX || !runs.Alloc(rowLength + 1, 1))
            return 0;
        m_pRuns = runs.get();
    }
    struct RunsGuard {
        CTiffIo* io;
        ~RunsGuard() { io->m_pRuns = nullptr; ImageFree(&io->m_pPackOut); }
    } runsGuard{this};

    int result = 1;
    uint32_t row = 0;
    try {
        for (uint32_t s = 0; s < strips && result; ++s) {
            if (!WritePosition(&m_pStripOffsets[s])) {
                result = 0;
                break;
            }
            const uint32_t rows = rowsPerStrip < m_nHeight - row ? rowsPerStrip : m_nHeight - row;
            InterleaveRows(band.get(), row, rows);
            if (packBits) {
                uint64_t total = 0;
                for (uint32_t r = 0; r < rows; ++r) {
                    const unsigned char* src = band.get() + static_cast<size_t>(r) * rowLength;
                    m_nRunCount = ScanRuns(src, m_pRuns, rowLength);
                    uint32_t outBytes;
                    if (!MulSize(3, m_nRunCount, &outBytes) ||
                        (m_pPackOut = static_cast<unsigned char*>(ImageAlloc(outBytes, 1))) == nullptr) {
                        result = 0;
                        break;
                    }
                    const uint32_t packed = EncodePackBitsRow(src, rowLength);
                    total += packed;
                    m_file.Write(m_pPackOut, packed);
                    ImageFree(&m_pPackOut);
                }
                if (total > UINT32_MAX)
                    result = 0;
                m_pStripByteCounts[s] = static_cast<uint32_t>(total);
            } else {
                // rows * rowLength fits: the band holds that many bytes.
                m_pStripByteCounts[s] = rows * rowLength;
                m_file.Write(band.get(), rows * rowLength);
            }
            row += rows;
        }
    } catch (const CFileException&) {
        result = 0;
    }
    if (result)
        result = WriteDirectory();
    return result;
}

int CTiffIo::WriteBilevelStrips()
{
    m_nBitsPerSample = 1;
    const uint32_t spp = m_nSamplesPerPixel;
    const uint32_t samples = m_nWidth * spp;  // checked by CanWrite
    const uint32_t packedLength = static_cast<uint32_t>((static_cast<uint64_t>(samples) + 7) / 8);
    ImageBlock<> packed, row;
    if (!packed.Alloc(packedLength, 0) || !row.Alloc(samples, 0))
        return 0;

    // As many rows per strip as one block of plane bytes the memory allows:
    // the whole picture when it fits.
    uint32_t unit;
    if (!MulSize(static_cast<uint32_t>(m_nRowBytes), spp, &unit))
        return 0;
    uint64_t want64 = static_cast<uint64_t>(unit) * m_nHeight;
    if (want64 > UINT32_MAX)
        want64 = UINT32_MAX / unit * unit;
    uint32_t granted = 0;
    {
        ImageBlock<> sizing;
        if (!sizing.AllocBlock(static_cast<uint32_t>(want64), unit, &granted) || granted < unit)
            return 0;
    }
    uint32_t rowsPerStrip = granted / spp / static_cast<uint32_t>(m_nRowBytes);
    if (rowsPerStrip < 1)
        return 0;
    if (rowsPerStrip > m_nHeight)
        rowsPerStrip = m_nHeight;
    // A strip's byte count must fit its 32-bit entry.
    if (static_cast<uint64_t>(rowsPerStrip) * packedLength > UINT32_MAX)
        rowsPerStrip = UINT32_MAX / packedLength;

    const uint32_t strips = (m_nHeight - 1) / rowsPerStrip + 1;
    if (!NewStripTables(strips))
        return 0;
    m_bIntel = 0;  // bilevel files are always written big-endian
    int result = WriteHeader();
    m_nRowsPerStrip = rowsPerStrip;

    uint32_t y = 0;
    for (uint32_t s = 0; s < strips && result; ++s) {
        if (!WritePosition(&m_pStripOffsets[s])) {
            result = 0;
            break;
        }
        const uint32_t rows = rowsPerStrip < m_nHeight - y ? rowsPerStrip : m_nHeight - y;
        m_pStripByteCounts[s] = rows * packedLength;
        for (uint32_t r = 0; r < rows; ++r, ++y) {
            InterleaveRows(row.get(), y, 1);
            PackBilevelRow(row.get(), packed.get());
            m_file.Write(packed.get(), packedLength);
        }
    }
    if (result) {
        m_nCompression = TIFF_COMPRESSION_NONE;
        result = WriteDirectory();
    }
    return result;
}

int CTiffIo::WriteLzwStrips()
{
    m_nBitsPerSample = 8;  // one byte per sample from the planes
    if (!WriteHeader())
        return 0;
    const uint32_t spp = m_nSamplesPerPixel;
    const uint32_t rowLength = m_nWidth * spp;  // checked by CanWrite
    const uint32_t spacing = static_cast<uint32_t>(m_nRowBytes);
    uint32_t rowsPerStrip = spacing <= 600 ? 4 : spacing <= 999 ? 3 : spacing <= 1399 ? 2 : 1;
    if (rowsPerStrip > m_nHeight)
        rowsPerStrip = m_nHeight;
    // Fewer rows when the code stream of a full strip could pass the output
    // buffer; a single row that could pass it gets a larger buffer.
    while (rowsPerStrip > 1 &&
           LzwStripBound(static_cast<uint64_t>(rowsPerStrip) * rowLength) > kLzwBufferBytes)
        --rowsPerStrip;
    const uint64_t bound = LzwStripBound(static_cast<uint64_t>(rowsPerStrip) * rowLength);
    if (bound > UINT32_MAX)
        return 0;
    const uint32_t capacity = bound > kLzwBufferBytes ? static_cast<uint32_t>(bound) : kLzwBufferBytes;

    uint32_t bandBytes;
    if (!MulSize(rowLength, rowsPerStrip, &bandBytes))
        return 0;
    ImageBlock<> band, output;
    if (!band.Alloc(bandBytes, 0) || !output.Alloc(capacity, 0))
        return 0;
    const uint32_t strips = (m_nHeight - 1) / rowsPerStrip + 1;
    if (!NewStripTables(strips))
        return 0;
    m_nRowsPerStrip = rowsPerStrip;

    LzwBitWriter writer(output.get(), capacity);
    m_pLzwOut = &writer;
    struct WriterGuard {
        CTiffIo* io;
        ~WriterGuard() { io->m_pLzwOut = nullptr; }
    } writerGuard{this};

    uint32_t y = 0;
    for (uint32_t s = 0; s < strips; ++s) {
        writer.Reset();
        if (!WritePosition(&m_pStripOffsets[s]))
            return 0;
        const uint32_t rows = rowsPerStrip < m_nHeight - y ? rowsPerStrip : m_nHeight - y;
        InterleaveRows(band.get(), y, rows);
        if (!EncodeLzwStrip(band.get(), rows))
            return 0;
        m_file.Write(output.get(), writer.nCount);
        m_pStripByteCounts[s] = writer.nCount;
        y += rows;
    }
    m_pLzwOut = nullptr;
    return WriteDirectory();
}

int CTiffIo::WriteStripTable(const uint32_t* values)
{
    unsigned char buf[4 * kTableChunk];
    for (uint32_t i = 0; i < m_nStrips;) {
        const uint32_t n = m_nStrips - i < kTableChunk ? m_nStrips - i : kTableChunk;
        for (uint32_t k = 0; k < n; ++k)
            Store32(buf + 4 * k, values[i + k], !m_bIntel);
        m_file.Write(buf, 4 * n);
        i += n;
    }
    return 1;
}

int CTiffIo::WriteDirectory()
{
    const uint32_t spp = m_nSamplesPerPixel;
    const uint32_t bits = m_nColorMode == COLOR_BILEVEL ? 1 : 8;
    const uint32_t extra = spp > m_nChannels ? spp - m_nChannels : 0;

    uint32_t bitsOffset = 0, extraOffset = 0, xresOffset, yresOffset;
    uint32_t offsetsOffset = 0, countsOffset = 0, ifdOffset;
    if (spp > 2) {
        if (!WritePosition(&bitsOffset))
            return 0;
        unsigned char v[2 * 32];
        for (uint32_t i = 0; i < spp; ++i)
            Store16(v + 2 * i, static_cast<uint16_t>(bits), !m_bIntel);
        m_file.Write(v, 2 * spp);
    }
    if (extra > 2) {
        // Values that do not fit the entry are written out of line: all 0
        // (unspecified data).
        if (!WritePosition(&extraOffset))
            return 0;
        const unsigned char zeros[2 * 32] = {};
        m_file.Write(zeros, 2 * extra);
    }
    unsigned char res[8];
    if (!WritePosition(&xresOffset))
        return 0;
    Store32(res, ResolutionNumerator(m_fXRes), !m_bIntel);
    Store32(res + 4, 1, !m_bIntel);
    m_file.Write(res, 8);
    if (!WritePosition(&yresOffset))
        return 0;
    Store32(res, ResolutionNumerator(m_fYRes), !m_bIntel);
    m_file.Write(res, 8);
    if (m_nStrips > 1) {
        if (!WritePosition(&offsetsOffset))
            return 0;
        WriteStripTable(m_pStripOffsets);
        if (!WritePosition(&countsOffset))
            return 0;
        WriteStripTable(m_pStripByteCounts);
    }
    if (!WritePosition(&ifdOffset))
        return 0;

    unsigned char ifd[2 + 12 * 16 + 4] = {};
    uint32_t n = 0;
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        unsigned char* e = ifd + 2 + 12 * n++;
        Store16(e, static_cast<uint16_t>(tag), !m_bIntel);
        Store16(e + 2, static_cast<uint16_t>(type), !m_bIntel);
        Store32(e + 4, count, !m_bIntel);
        if (type == TIFF_TYPE_SHORT && count == 1)
            Store16(e + 8, static_cast<uint16_t>(value), !m_bIntel);  // the other two bytes stay 0
        else
            Store32(e + 8, value, !m_bIntel);
    };
    int32_t photometric = 0;
    switch (m_nColorMode) {
    case COLOR_BILEVEL:
    case COLOR_GREY: photometric = TIFF_PHOTOMETRIC_BLACK_IS_ZERO; break;
    case COLOR_RGB: photometric = TIFF_PHOTOMETRIC_RGB; break;
    case COLOR_CMYK: photometric = TIFF_PHOTOMETRIC_SEPARATED; break;
    case COLOR_INDEXED: photometric = TIFF_PHOTOMETRIC_PALETTE; break;
    default: break;
    }
    entry(TIFF_TAG_IMAGE_WIDTH, TIFF_TYPE_LONG, 1, m_nWidth);
    entry(TIFF_TAG_IMAGE_LENGTH, TIFF_TYPE_LONG, 1, m_nHeight);
    if (spp > 2) {
        entry(TIFF_TAG_BITS_PER_SAMPLE, TIFF_TYPE_SHORT, spp, bitsOffset);
    } else if (spp == 2) {
        // Two values fit in the entry, each in the file's byte order.
        entry(TIFF_TAG_BITS_PER_SAMPLE, TIFF_TYPE_SHORT, 2, 0);
        unsigned char* e = ifd + 2 + 12 * (n - 1);
        Store16(e + 8, static_cast<uint16_t>(bits), !m_bIntel);
        Store16(e + 10, static_cast<uint16_t>(bits), !m_bIntel);
    } else {
        entry(TIFF_TAG_BITS_PER_SAMPLE, TIFF_TYPE_SHORT, 1, bits);
    }
    entry(TIFF_TAG_COMPRESSION, TIFF_TYPE_SHORT, 1, static_cast<uint32_t>(m_nCompression));
    entry(TIFF_TAG_PHOTOMETRIC, TIFF_TYPE_SHORT, 1, static_cast<uint32_t>(photometric));
    entry(TIFF_TAG_STRIP_OFFSETS, TIFF_TYPE_LONG, m_nStrips, m_nStrips > 1 ? offsetsOffset : m_pStripOffsets[0]);
    entry(TIFF_TAG_SAMPLES_PER_PIXEL, TIFF_TYPE_SHORT, 1, spp);
    entry(TIFF_TAG_ROWS_PER_STRIP, TIFF_TYPE_LONG, 1, m_nRowsPerStrip);
    entry(TIFF_TAG_STRIP_BYTE_COUNTS, TIFF_TYPE_LONG, m_nStrips, m_nStrips > 1 ? countsOffset : m_pStripByteCounts[0]);
    entry(TIFF_TAG_X_RESOLUTION, TIFF_TYPE_RATIONAL, 1, xresOffset);
    entry(TIFF_TAG_Y_RESOLUTION, TIFF_TYPE_RATIONAL, 1, yresOffset);
    entry(TIFF_TAG_PLANAR_CONFIGURATION, TIFF_TYPE_SHORT, 1, TIFF_PLANAR_CHUNKY);
    entry(TIFF_TAG_RESOLUTION_UNIT, TIFF_TYPE_SHORT, 1, TIFF_RESOLUTION_UNIT_INCH);
    if (m_nCompression == TIFF_COMPRESSION_LZW)
        entry(TIFF_TAG_PREDICTOR, TIFF_TYPE_SHORT, 1, TIFF_PREDICTOR_HORIZONTAL);
    if (IsPaletteMode(m_nColorMode))
        entry(TIFF_TAG_COLOR_MAP, TIFF_TYPE_SHORT, 3u * m_nPaletteSize, 8);
    if (extra == 1) {
        entry(TIFF_TAG_EXTRA_SAMPLES, TIFF_TYPE_SHORT, 1, 0);
    } else if (extra == 2) {
        entry(TIFF_TAG_EXTRA_SAMPLES, TIFF_TYPE_SHORT, 2, 0);
    } else if (extra > 2) {
        entry(TIFF_TAG_EXTRA_SAMPLES, TIFF_TYPE_SHORT, extra, extraOffset);
    }
    Store16(ifd, static_cast<uint16_t>(n), !m_bIntel);
    // The next-directory offset after the entries stays 0.
    m_file.Write(ifd, 2 + 12 * n + 4);

    unsigned char offset[4];
    Store32(offset, ifdOffset, !m_bIntel);
    m_file.Seek(4, CFile::begin);
    m_file.Write(offset, 4);
    return 1;
}
