#include "iTgaIo.h"

#include "ByteOrder.h"
#include "ByteSource.h"
#include "PictureBounds.h"
#include "StepPreview.h"

#include <cstddef>
#include <cstring>
#include <memory>

namespace {

enum TgaImageType : uint32_t {
    TGA_MAPPED = 1,
    TGA_TRUE_COLOUR = 2,
    TGA_GREY = 3,
    TGA_RLE_MAPPED = 9,
    TGA_RLE_TRUE_COLOUR = 10,
    TGA_RLE_GREY = 11,
};

// A packet holds at most this many pixels; a run packet is its header byte
// and one pixel.
constexpr uint32_t kMostPacketPixels = 128;
// Encoded bytes read from the file at a time.
constexpr uint32_t kRunInputBytes = 64 * 1024;

// Indices are one byte, so no more palette entries than this are reachable.
constexpr uint32_t kMostPaletteEntries = 256;

// A 5-bit channel spread over 0..255.
inline unsigned char Scale5(uint32_t k) { return static_cast<unsigned char>(k * 255 / 31); }

// A 16-bit pixel or colour-map entry (5 bits each of blue, green, red from
// the low bits up; the top bit is ignored) as blue, green, red.
inline void Expand555(const unsigned char* p, unsigned char* bgr)
{
    const uint32_t v = LoadLE16(p);
    bgr[0] = Scale5(v & 31);
    bgr[1] = Scale5((v >> 5) & 31);
    bgr[2] = Scale5((v >> 10) & 31);
}

// Where the stored rows come from.  Rows are asked for in increasing stored
// order, so a source may either seek to each one or decode its way there.
class TgaRowSource {
public:
    virtual ~TgaRowSource() = default;
    // Fills `row` with stored row `index`; false when the file does not hold
    // that row completely (nor, then, any later one).
    virtual bool ReadRow(uint32_t index, unsigned char* row) = 0;
};

// Uncompressed rows: a seek straight to each one.
class TgaSeekRows : public TgaRowSource {
public:
    TgaSeekRows(CFile& file, uint64_t start, uint32_t rowBytes)
        : m_file(file), m_nStart(start), m_nRowBytes(rowBytes), m_nLength(file.GetLength())
    {
    }
    bool ReadRow(uint32_t index, unsigned char* row) override
    {
        const uint64_t at = m_nStart + static_cast<uint64_t>(index) * m_nRowBytes;
        if (at > m_nLength || m_nRowBytes > m_nLength - at)
            return false;
        if (at != m_nPosition)
            m_file.Seek(static_cast<int64_t>(at), CFile::begin);
        if (m_file.Read(row, m_nRowBytes) != m_nRowBytes)
            return false;
        m_nPosition = at + m_nRowBytes;
        return true;
    }

private:
    CFile& m_file;
    uint64_t m_nStart;
    uint32_t m_nRowBytes;
    uint64_t m_nLength;
    uint64_t m_nPosition = UINT64_MAX;
};

// Run-length rows: packets of a header byte (bit 7 set for a run, the low
// seven bits one less than the pixel count) followed by one pixel (a run) or
// that many pixels (raw).  A packet may carry on into the next row, so the
// packet in progress is kept between rows.  The stream cannot be seeked:
// rows before the one asked for are decoded and dropped, raw pixels of
// dropped rows skipped unread.
class TgaRunLengthRows : public TgaRowSource {
public:
    TgaRunLengthRows(CFile& file, uint64_t start, uint32_t width, uint32_t pixelBytes, unsigned char* buffer,
                     uint32_t bufferBytes)
        : m_nWidth(width), m_nPixelBytes(pixelBytes), m_source(file, buffer, bufferBytes, start, file.GetLength())
    {
    }
    bool ReadRow(uint32_t index, unsigned char* row) override
    {
        if (index < m_nNextRow)
            return false;
        while (m_nNextRow < index)
            if (!DecodeRow(nullptr))
                return false;
        return DecodeRow(row);
    }

private:
    // Decodes the next stored row into `row`, or drops it when `row` is null.
    // False when the stream ends first; every later call fails too.
    bool DecodeRow(unsigned char* row)
    {
        if (m_bEnded)
            return false;
        uint32_t x = 0;
        while (x < m_nWidth) {
            if (m_nPacketLeft == 0) {
                unsigned char header = 0;
                if (!Take(&header, 1))
                    return End();
                m_bRun = (header & 0x80) != 0;
                m_nPacketLeft = (header & 0x7F) + 1u;
                if (m_bRun && !Take(m_pixel, m_nPixelBytes))
                    return End();
            }
            const uint32_t n = m_nPacketLeft < m_nWidth - x ? m_nPacketLeft : m_nWidth - x;
            const size_t bytes = static_cast<size_t>(n) * m_nPixelBytes;
            unsigned char* out = row == nullptr ? nullptr : row + static_cast<size_t>(x) * m_nPixelBytes;
            if (m_bRun) {
                if (out != nullptr && m_nPixelBytes == 1)
                    std::memset(out, m_pixel[0], n);
                else if (out != nullptr)
                    for (uint32_t k = 0; k < n; ++k)
                        std::memcpy(out + static_cast<size_t>(k) * m_nPixelBytes, m_pixel, m_nPixelBytes);
            } else if (!(out != nullptr ? Take(out, bytes) : Skip(bytes))) {
                return End();
            }
            x += n;
            m_nPacketLeft -= n;
        }
        ++m_nNextRow;
        return true;
    }

    bool End()
    {
        m_bEnded = true;
        return false;
    }

    // Copies the next `count` encoded bytes to `out`; false when the file
    // ends first.
    bool Take(unsigned char* out, size_t count) { return m_source.Take(out, count) == count; }
    // Passes over the next `count` encoded bytes, seeking past those not
    // yet read; false when the file ends first.
    bool Skip(size_t count) { return m_source.Skip(count); }

    uint32_t m_nWidth;
    uint32_t m_nPixelBytes;
    ByteSource m_source;
    bool m_bEnded = false;
    uint32_t m_nNextRow = 0;
    // The packet in progress: pixels it still holds, and for a run its pixel.
    uint32_t m_nPacketLeft = 0;
    bool m_bRun = false;
    unsigned char m_pixel[4] = {};
};

struct PaletteRelease {
    unsigned char** palette;
    ~PaletteRelease() { ImageFree(palette); }
};

}  // namespace

CTgaIo::CTgaIo(const char* name) { m_pszPath = name; }

CTgaIo::~CTgaIo() = default;

int CTgaIo::ReadHeader()
{
    if (m_file.Read(m_header, kHeaderBytes) != kHeaderBytes)
        return Refuse(Refusal::Truncated);
    const ByteView header{m_header, kHeaderBytes, false};
    const uint32_t idBytes = m_header[0];
    const uint32_t mapType = m_header[1];
    const uint32_t mapFirst = header.U16(3);
    const uint32_t mapLength = header.U16(5);
    const uint32_t entryBits = m_header[7];
    const uint32_t entryBytes = (entryBits + 7) / 8;
    const uint32_t depth = m_header[16];
    m_bTopDown = (m_header[17] & 0x20) != 0;
    m_bRightToLeft = (m_header[17] & 0x10) != 0;

    // Run-length types hold the same pixels as their uncompressed types.
    const uint32_t storedType = m_header[2];
    m_bRunLength = storedType == TGA_RLE_MAPPED || storedType == TGA_RLE_TRUE_COLOUR || storedType == TGA_RLE_GREY;
    m_nImageType = m_bRunLength ? storedType - 8 : storedType;
    switch (m_nImageType) {
    case TGA_MAPPED:
        m_nColorMode = COLOR_INDEXED;
        m_nSamplesPerPixel = 1;
        break;
    case TGA_TRUE_COLOUR:
        m_nColorMode = COLOR_RGB;
        m_nSamplesPerPixel = 3;
        break;
    case TGA_GREY:
        m_nColorMode = COLOR_GREY;
        m_nSamplesPerPixel = 1;
        break;
    default:
        return Refuse(Refusal::TgaImageType);
    }
    m_nWidth = header.U16(12);
    m_nHeight = header.U16(14);
    if (m_nWidth == 0 || m_nHeight == 0)
        return Refuse(Refusal::EmptyPicture);
    m_fXRes = 72.0f;
    m_fYRes = 72.0f;
    m_nBitsPerPixel = static_cast<int32_t>(depth);
    m_nBitsPerSample = 8;
    m_nChannels = m_nSamplesPerPixel;
    m_nRowBytes = static_cast<int32_t>(AlignedRowBytes(m_nWidth * 8));
    const uint64_t mapBytes =
        (m_nImageType == TGA_MAPPED || mapType == 1) ? static_cast<uint64_t>(mapLength) * entryBytes : 0;
    m_nDataOffset = kHeaderBytes + idBytes + mapBytes;

    if (m_nImageType != TGA_MAPPED)
        return 1;
    // File entry i is palette entry first + i; entries past the last index
    // a pixel can hold are not read.
    if (mapLength == 0 || (entryBits != 15 && entryBits != 16 && entryBits != 24 && entryBits != 32))
        return Refuse(Refusal::TgaColourMap);
    const uint32_t end = mapFirst + mapLength;
    m_nPaletteSize = static_cast<uint16_t>(end < kMostPaletteEntries ? end : kMostPaletteEntries);
    m_pPalette = static_cast<unsigned char*>(ImageAlloc(4u * m_nPaletteSize, 0));
    if (m_pPalette == nullptr)
        return Refuse(Refusal::OutOfMemory);
    if (mapFirst >= m_nPaletteSize)
        return 1;
    const uint32_t stored = m_nPaletteSize - mapFirst;
    unsigned char map[kMostPaletteEntries * 4];
    m_file.Seek(kHeaderBytes + idBytes, CFile::begin);
    if (m_file.Read(map, stored * entryBytes) != stored * entryBytes)
        return Refuse(Refusal::Truncated);
    for (uint32_t i = 0; i < stored; ++i) {
        const unsigned char* in = map + i * entryBytes;
        unsigned char* entry = m_pPalette + 4 * (mapFirst + i);
        if (entryBytes == 2)
            Expand555(in, entry);
        else
            std::memcpy(entry, in, 3);  // blue, green, red (alpha dropped)
    }
    return 1;
}

uint32_t CTgaIo::PixelBytes() const
{
    const uint32_t depth = static_cast<uint32_t>(m_nBitsPerPixel);
    switch (m_nImageType) {
    case TGA_MAPPED:
        return depth == 8 ? 1 : 0;
    case TGA_GREY:
        // 16 bits hold a grey byte and an alpha byte.
        return depth == 8 || depth == 16 ? depth / 8 : 0;
    case TGA_TRUE_COLOUR:
        // 15 and 16 bits are both 5-5-5 in two bytes (the top bit ignored).
        if (depth == 15)
            return 2;
        return depth == 16 || depth == 24 || depth == 32 ? depth / 8 : 0;
    default:
        return 0;
    }
}

void CTgaIo::FormRow(const unsigned char* row, uint32_t step, uint32_t count, unsigned char* out) const
{
    const uint32_t bytes = PixelBytes();
    // A row stored right pixel first is walked from its end, so the preview
    // reads left to right like the picture.
    const ptrdiff_t stride = static_cast<ptrdiff_t>(step) * bytes;
    const ptrdiff_t advance = m_bRightToLeft ? -stride : stride;
    const unsigned char* in = row;
    if (m_bRightToLeft && count != 0)
        in += static_cast<ptrdiff_t>(count - 1) * stride;
    switch (m_nImageType) {
    case TGA_MAPPED:
        for (uint32_t j = 0; j < count; ++j, in += advance, out += 3) {
            const uint32_t index = *in;
            if (index < m_nPaletteSize)
                std::memcpy(out, m_pPalette + 4 * index, 3);
            else
                out[0] = out[1] = out[2] = 0;
        }
        break;
    case TGA_GREY:
        for (uint32_t j = 0; j < count; ++j, in += advance, out += 3)
            out[0] = out[1] = out[2] = *in;
        break;
    case TGA_TRUE_COLOUR:
        if (bytes == 2) {
            for (uint32_t j = 0; j < count; ++j, in += advance, out += 3)
                Expand555(in, out);
        } else {
            for (uint32_t j = 0; j < count; ++j, in += advance, out += 3)
                std::memcpy(out, in, 3);  // blue, green, red (alpha dropped)
        }
        break;
    default:
        break;
    }
}

int CTgaIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    PaletteRelease releasePalette{&m_pPalette};
    const uint32_t pixelBytes = PixelBytes();
    if (pixelBytes == 0 || m_nWidth == 0 || m_nHeight == 0)
        return Refuse(Refusal::UnsupportedDepth);

    const bool fullSize = m_bFullSize != 0;
    const uint64_t length = m_file.GetLength();
    PictureBounds bounds;
    bounds.width = m_nWidth;
    bounds.height = m_nHeight;
    bounds.bitsPerPixel = pixelBytes * 8;
    bounds.dataBytes = m_nDataOffset < length ? length - m_nDataOffset : 0;
    bounds.fullSize = fullSize;
    // A run packet of a header byte and one pixel gives up to 128 pixels.
    if (m_bRunLength)
        bounds.expansion = (kMostPacketPixels * pixelBytes + pixelBytes) / (1 + pixelBytes);
    const Refusal why = CheckPictureBounds(bounds);
    if (why != Refusal::None)
        return Refuse(why);
    StepPreview preview;
    uint32_t rowBytes = 0;
    if (!ComputeStepPreview(m_nWidth, m_nHeight, fullSize, &preview) ||
        !MulSize(m_nWidth, pixelBytes, &rowBytes))
        return Refuse(Refusal::PictureTooLarge);
    m_nDibWidth = preview.width;
    m_nDibHeight = preview.height;

    ImageBlock<> block;
    ImageBlock<> row;
    ImageBlock<> input;
    const uint32_t inputBytes =
        bounds.dataBytes < kRunInputBytes ? static_cast<uint32_t>(bounds.dataBytes) : kRunInputBytes;
    if (!block.Alloc(preview.bytes, 1) || !row.Alloc(rowBytes, 1) ||
        (m_bRunLength && !input.Alloc(inputBytes, 1)))
        return Refuse(Refusal::OutOfMemory);
    std::unique_ptr<TgaRowSource> source;
    if (m_bRunLength)
        source.reset(new TgaRunLengthRows(m_file, m_nDataOffset, m_nWidth, pixelBytes, input.get(), inputBytes));
    else
        source.reset(new TgaSeekRows(m_file, m_nDataOffset, rowBytes));

    // Preview row i shows stored row i * step.  The block is bottom-up, so a
    // file stored bottom row first fills it from its start, one stored top
    // row first from its end.  Rows the file does not hold stay black.
    m_nMissingRows = 0;
    for (uint32_t i = 0; i < preview.height; ++i) {
        if (!source->ReadRow(i * preview.step, row.get())) {
            m_nMissingRows = preview.height - i;
            break;
        }
        const uint32_t at = m_bTopDown ? preview.height - 1 - i : i;
        FormRow(row.get(), preview.step, preview.width,
                block.get() + static_cast<size_t>(at) * preview.stride);
    }
    if (m_nMissingRows != 0 && fullSize)
        return Refuse(Refusal::RowsMissing);

    *width = static_cast<int32_t>(preview.width);
    *height = static_cast<int32_t>(preview.height);
    *bits = block.release();
    return 1;
}
