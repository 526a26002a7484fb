// CTiffIo previews and full-resolution reads: which strips and rows are read,
// and where the decoded rows go.
#include "ITiffIO.h"
#include "PictureBounds.h"
#include "TiffDecoders.h"
#include "TiffFallback.h"
#include "TiffRowSink.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Greatest expansions of the codecs besides PackBits (PACKBITS_MOST_EXPANSION):
// a CCITT code gives at most 278 pixels a bit (white make-up 1664 in 6
// bits); an LZW code of at least 9 bits gives at most the 4096
// bytes of the longest string the table holds.
constexpr uint64_t CCITT_EXPANSION = 278;
constexpr uint64_t LZW_EXPANSION = 4096 * 8 / 9 + 1;

// Most bytes LZW codes in `bytes` stored bytes can decode to: every code
// takes at least 9 bits, and the k-th code of a stream gives at most k bytes
// (each table entry is one byte longer than an entry before it), at most the
// 4096 bytes of the longest string.
uint64_t LzwMostBytes(uint64_t bytes)
{
    const uint64_t codes = bytes * 8 / 9;
    constexpr uint64_t table = 4096;
    if (codes <= table)
        return codes * (codes + 1) / 2;
    return table * (table + 1) / 2 + (codes - table) * table;
}

bool IsColour(const CTiffIo& io) { return io.m_nColorMode == COLOR_RGB || io.m_nColorMode == COLOR_CMYK; }

// Grey previews show grey levels: 4-bit samples are scaled to 0-255 and
// WhiteIsZero samples are turned round so that 0 shows white (one plane row).
void FinishGreyLevels(const CTiffIo& io, unsigned char* out)
{
    if (io.m_nColorMode != COLOR_GREY)
        return;
    const bool four = io.m_nBitsPerSample == 4;
    const bool invert = io.m_nGreyPhotometric == 0;
    if (!four && !invert)
        return;
    for (uint32_t i = 0; i < io.m_nDibWidth; ++i) {
        unsigned v = out[i];
        if (four)
            v = (v & 0x0F) * 17;
        if (invert)
            v = 255 - v;
        out[i] = static_cast<unsigned char>(v);
    }
}

// Samples the rows of a preview into the preview planes.
class PreviewSink : public CTiffIo::RowSink {
public:
    PreviewSink(CTiffIo& io, unsigned char* const* planes, bool byRows)
        : m_io(io), m_planes(planes), m_byRows(byRows), m_rows(FirstMatchIndices(io.m_nHeight, io.m_nDibHeight)),
          m_stride(AlignedRowBytes(io.m_nDibWidth * 8))
    {
    }

    // Prepares buffers; false when they cannot be had.
    bool Init()
    {
        // Samples of 1 or 4 bits are unpacked to a byte each when a pixel
        // holds more than one of them (colour, or grey with extra samples):
        // the columns are then whole bytes.
        if (m_io.m_nBitsPerSample < 8 && (IsColour(m_io) || m_io.m_nSamplesPerPixel > 1)) {
            uint32_t bytes = 0;
            if (!MulSize(m_io.m_nSamplesPerPixel, m_io.m_nWidth, &bytes) || !m_unpack.Alloc(bytes, 0))
                return false;
            m_columns = FirstMatchIndices(m_io.m_nWidth, m_io.m_nDibWidth);
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
        m_taken[k] = 1;
        const bool bigEndian = m_io.m_bIntel == 0;
        const uint64_t samples = static_cast<uint64_t>(m_io.m_nSamplesPerPixel) * m_io.m_nWidth;
        if (m_io.m_nBitsPerSample == 16) {
            UnpackSamples(data, data, samples, 16, bigEndian);
        } else if (m_unpack) {
            UnpackSamples(data, m_unpack.get(), samples, m_io.m_nBitsPerSample, bigEndian);
            if (IsColour(m_io)) {
                // Colour samples of 1 or 4 bits, scaled to 0-255.
                const unsigned scale = m_io.m_nBitsPerSample == 4 ? 17 : 255;
                for (uint64_t i = 0; i < samples; ++i)
                    m_unpack[static_cast<uint32_t>(i)] = static_cast<unsigned char>(m_unpack[static_cast<uint32_t>(i)] * scale);
                m_io.SampleRow(k, m_unpack.get(), m_planes);
            } else {
                // Palette indices and grey levels, one byte each now: the
                // first sample of each chosen pixel.
                unsigned char* out = m_planes[0] + static_cast<size_t>(k) * m_stride;
                const size_t step = m_io.m_nSamplesPerPixel;
                for (size_t i = 0; i < m_columns.size(); ++i)
                    out[i] = m_unpack[static_cast<uint32_t>(m_columns[i] * step)];
            }
            FinishGreyRow(k);
            return 1;
        }
        m_io.SampleRow(k, data, m_planes);
        FinishGreyRow(k);
        return 1;
    }

    int TakePlane(uint32_t plane, uint32_t row, const unsigned char* data) override
    {
        const uint32_t k = PreviewRow(row);
        if (k == UINT32_MAX || plane >= MAX_PREVIEW_CHANNELS || m_planes[plane] == nullptr)
            return 1;
        ++m_nTaken;
        m_taken[k] = 1;
        if (m_columns.empty())
            m_columns = FirstMatchIndices(m_io.m_nWidth, m_io.m_nDibWidth);
        unsigned char* out = m_planes[plane] + static_cast<size_t>(k) * m_stride;
        for (size_t i = 0; i < m_columns.size(); ++i)
            out[i] = data[m_columns[i]];
        if (plane == 0)
            FinishGreyRow(k);
        return 1;
    }

    // Whether preview row k (from the top) received any data.
    bool Taken(uint32_t k) const { return k < m_taken.size() && m_taken[k] != 0; }

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

    // Rows built straight into the block are finished by the reader itself
    // (FinishSampledRow) before they become 24-bit rows.
    void FinishGreyRow(uint32_t k)
    {
        if (!m_byRows)
            FinishGreyLevels(m_io, m_planes[0] + static_cast<size_t>(k) * m_stride);
    }

    CTiffIo& m_io;
    unsigned char* const* m_planes;
    bool m_byRows;
    std::vector<uint32_t> m_rows;
    std::vector<uint32_t> m_columns;
    size_t m_stride;
    ImageBlock<> m_unpack;
    std::vector<unsigned char> m_taken = std::vector<unsigned char>(m_rows.size(), 0);
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
            UnpackSamples(data, m_unpack.get(), static_cast<uint64_t>(m_io.m_nSamplesPerPixel) * m_io.m_nWidth,
                          m_io.m_nBitsPerSample, m_io.m_bIntel == 0);
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

bool CTiffIo::StoredRowLength(uint32_t* bytes) const
{
    const uint64_t bits = static_cast<uint64_t>(m_nWidth) * static_cast<uint64_t>(m_nSamplesPerPixel);
    if (m_nBitsPerSample <= 0 || bits > UINT64_MAX / 64)
        return false;
    const uint64_t n = (bits * static_cast<uint64_t>(m_nBitsPerSample) + 7) / 8;
    if (n == 0 || n > UINT32_MAX)
        return false;
    *bytes = static_cast<uint32_t>(n);
    return true;
}

uint64_t CTiffIo::MostExpansion() const
{
    switch (m_nCompression) {
    case TIFF_COMPRESSION_PACKBITS:
        return PACKBITS_MOST_EXPANSION;
    case TIFF_COMPRESSION_CCITT:
        return CCITT_EXPANSION;
    case TIFF_COMPRESSION_LZW:
        return LZW_EXPANSION;
    default:
        return 1;
    }
}

int CTiffIo::CheckReadable()
{
    if (m_nWidth == 0 || m_nHeight == 0)
        return Refuse(Refusal::EmptyPicture);
    if (m_nBitsPerSample != 8 && m_nBitsPerSample != 4 && m_nBitsPerSample != 1 && m_nBitsPerSample != 16)
        return Refuse(Refusal::UnsupportedDepth);
    if (m_nCompression != TIFF_COMPRESSION_NONE && m_nCompression != TIFF_COMPRESSION_LZW &&
        m_nCompression != TIFF_COMPRESSION_CCITT && m_nCompression != TIFF_COMPRESSION_PACKBITS)
        return Refuse(Refusal::UnsupportedCompression);
    // Signed and floating-point samples, and the predictor made for the
    // latter, would be read as unsigned integers: noise.
    if (m_nSampleFormat == TIFF_SAMPLE_FORMAT_INT || m_nSampleFormat == TIFF_SAMPLE_FORMAT_FLOAT)
        return Refuse(Refusal::TiffSampleFormat);
    if (m_nPredictor == TIFF_PREDICTOR_FLOAT)
        return Refuse(Refusal::TiffFloatPredictor);
    // Separate planes are read raw: 8-bit samples, no compression.
    if (m_bPlanar == 1 && (m_nBitsPerSample != 8 || m_nCompression != TIFF_COMPRESSION_NONE))
        return Refuse(Refusal::TiffSeparatePlanes);
    if (m_nChannels == 0 || m_nChannels > MAX_PREVIEW_CHANNELS)
        return Refuse(Refusal::UnsupportedColour);
    // Every channel needs a sample of its own in each pixel.
    if (m_nSamplesPerPixel < m_nChannels)
        return Refuse(Refusal::TiffTooFewSamples);
    // CCITT data is one bit per pixel.
    if (m_nCompression == TIFF_COMPRESSION_CCITT && (m_nBitsPerSample != 1 || m_nSamplesPerPixel != 1))
        return Refuse(Refusal::TiffCcittDepth);
    uint32_t rowLength = 0;
    if (!StoredRowLength(&rowLength))
        return Refuse(Refusal::PictureTooLarge);
    if (m_nStrips == 0 || m_pStripOffsets == nullptr)
        return Refuse(Refusal::TiffNoStrips);
    if (m_nCompression != TIFF_COMPRESSION_NONE && m_pStripByteCounts == nullptr)
        return Refuse(Refusal::TiffNoStripByteCounts);
    // One row larger than the whole file could ever decode to is damage, not
    // a picture: refuse it instead of allocating for it.
    PictureBounds bounds;
    bounds.width = m_nWidth;
    bounds.height = m_nHeight;
    bounds.bitsPerPixel = static_cast<uint32_t>(m_nSamplesPerPixel) * static_cast<uint32_t>(m_nBitsPerSample);
    bounds.dataBytes = m_file.GetLength();
    bounds.expansion = MostExpansion();
    const Refusal why = CheckPictureBounds(bounds);
    return why == Refusal::None ? 1 : Refuse(why);
}

void CTiffIo::FinishSampledRow(unsigned char* const* rows) { FinishGreyLevels(*this, rows[0]); }

int CTiffIo::ReadPreviewRows(unsigned char* const* planes)
{
    if (!CheckReadable())
        return 0;
    // Every column SampleRow takes must lie inside the rows handed to it.
    uint32_t rowLength = 0;
    uint32_t need = 0;
    StoredRowLength(&rowLength);
    const bool unpacked = IsColour(*this) && m_nBitsPerSample < 8;
    if (m_bPlanar == 0 && !unpacked && (!SourceRowBytes(&need) || need > rowLength))
        return Refuse(Refusal::TiffTooFewSamples);
    if (planes == nullptr)
        return Refuse(Refusal::TiffPlaneTable);
    PreviewSink sink(*this, planes, BuildingByRows());
    if (!sink.Init())
        return Refuse(Refusal::OutOfMemory);
    if (!ReadRows(sink))
        return 0;
    // Fitted previews show what is there (missing rows black); a full-size
    // preview needs every row.
    if (m_bFullSize != 0 && !sink.Complete())
        return Refuse(sink.MissingReason());
    for (uint32_t k = 0; k < m_nDibHeight; ++k)
        if (!sink.Taken(k))
            MarkRowsMissing(k, k + 1);
    return 1;
}

bool CTiffIo::LibTiffReads(Refusal why)
{
    if (!m_bLibTiffFallback || !TiffFallbackAvailable())
        return false;
    // Layouts and codings the own decoders do not have; damage (no pixels,
    // data the file cannot hold) stays refused.
    switch (why) {
    case Refusal::UnsupportedDepth:
    case Refusal::UnsupportedCompression:
    case Refusal::UnsupportedColour:
    case Refusal::TiffSeparatePlanes:
    case Refusal::TiffCcittDepth:
    case Refusal::TiffNoStrips:  // tiled files
    case Refusal::TiffSampleFormat:
    case Refusal::TiffFloatPredictor:
        return true;
    default:
        return false;
    }
}

int CTiffIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    int ok = m_bLibTiffHeader ? 0 : CheckReadable();
    if (m_bLibTiffHeader || (!ok && LibTiffReads(m_nRefusal))) {
        m_nRefusal = Refusal::None;
        ImageFree(&m_pPalette);
        return TiffFallbackPreview(*this, width, height, bits);
    }
    // Files that cannot be read are refused before the preview memory is
    // asked for; the preview consumes the palette whatever the outcome.
    if (ok && m_bFullSize != 0) {
        const Refusal why = CheckImageFitsInFile();
        if (why != Refusal::None)
            ok = Refuse(why);
    }
    if (!ok) {
        ImageFree(&m_pPalette);
        *bits = nullptr;
        return 0;
    }
    if (MakePlanesPreview(width, height, bits))
        return 1;
    // Without a reason of its own the preview failed in the shared steps:
    // the preview block or the planes could not be had.
    uint32_t blockBytes = 0;
    return Refuse(PreviewBlockBytes(m_nDibWidth, m_nDibHeight, &blockBytes) ? Refusal::OutOfMemory
                                                                           : Refusal::PictureTooLarge);
}

int CTiffIo::ReadFullImage()
{
    if (!CheckReadable())
        return 0;
    const Refusal fits = CheckImageFitsInFile();
    if (fits != Refusal::None)
        return Refuse(fits);
    if (m_nRowBytes < 0 || static_cast<uint32_t>(m_nRowBytes) < m_nWidth)
        return Refuse(Refusal::TiffPlaneTable);
    for (uint32_t p = 0; p < m_nChannels; ++p) {
        if (m_nPlaneKind[p] != 1 || m_pPlane[p] == nullptr)
            return Refuse(Refusal::TiffPlaneTable);
    }
    FullSink sink(*this);
    if (!sink.Init())
        return Refuse(Refusal::OutOfMemory);
    if (!ReadRows(sink))
        return 0;
    return sink.Complete() ? 1 : Refuse(sink.MissingReason());
}

Refusal CTiffIo::CheckImageFitsInFile() const
{
    uint32_t rowLength = 0;
    if (!StoredRowLength(&rowLength))
        return Refusal::PictureTooLarge;
    if (m_nRowsPerStrip == 0 || m_nStrips == 0 || m_pStripOffsets == nullptr)
        return Refusal::TiffNoStrips;
    const uint64_t fileLength = m_file.GetLength();
    // The whole picture against everything the file could decode to, with
    // the full-size preview block's limits.
    PictureBounds whole;
    whole.width = m_nWidth;
    whole.height = m_nHeight;
    whole.bitsPerPixel = static_cast<uint32_t>(m_nSamplesPerPixel) * static_cast<uint32_t>(m_nBitsPerSample);
    whole.dataBytes = fileLength;
    whole.expansion = MostExpansion();
    whole.fullSize = true;
    const Refusal why = CheckPictureBounds(whole);
    if (why != Refusal::None)
        return why;

    // Then strip by strip: each must hold its own rows.
    const uint64_t perPlane = StripsPerPlane();
    const uint64_t strips = perPlane * (m_bPlanar == 1 ? m_nChannels : 1);
    if (strips > m_nStrips)
        return Refusal::TiffNoStrips;
    PictureBounds strip;
    strip.width = m_nWidth;
    strip.bitsPerPixel = m_bPlanar == 1 ? static_cast<uint32_t>(m_nBitsPerSample) : whole.bitsPerPixel;
    strip.expansion = whole.expansion;
    strip.fullSize = true;
    for (uint64_t s = 0; s < strips; ++s) {
        strip.height = StripRows(static_cast<uint32_t>(s % perPlane));
        if (m_nCompression == TIFF_COMPRESSION_NONE) {
            // Uncompressed rows are read at the strip's offset, whatever its count.
            const uint64_t offset = m_pStripOffsets[s];
            strip.dataBytes = offset < fileLength ? fileLength - offset : 0;
        } else {
            strip.dataBytes = StripBytesInFile(static_cast<uint32_t>(s), fileLength);
            // Every CCITT row starts on a byte of its own.
            if (m_nCompression == TIFF_COMPRESSION_CCITT && strip.height > strip.dataBytes)
                return Refusal::LargerThanFile;
            // LZW strings grow one byte a code: small strips expand far less
            // than the longest string.
            if (m_nCompression == TIFF_COMPRESSION_LZW && strip.dataBytes != 0)
                strip.expansion = (LzwMostBytes(strip.dataBytes) + strip.dataBytes - 1) / strip.dataBytes;
        }
        const Refusal stripWhy = CheckPictureBounds(strip);
        if (stripWhy != Refusal::None)
            return stripWhy;
    }
    return Refusal::None;
}
