#include "iPcxIo.h"

#include "ByteOrder.h"
#include "DefaultPalette.h"
#include "PictureBounds.h"
#include "StepPreview.h"

#include <cstring>

namespace {

constexpr unsigned char kManufacturer = 10;
constexpr unsigned char kPaletteMarker = 12;
// Colours of the palette block at the end of an 8-bit file.
constexpr uint32_t kBlockColours = 256;
// The read-ahead over the encoded data.
constexpr uint32_t kReadAhead = 64 * 1024;
// Most bytes one encoded byte can become: a two-byte run code gives 63.
constexpr uint64_t kMostExpansion = 32;

// Releases the reader's palette when MakeDib returns, whatever the outcome.
struct PaletteRelease {
    unsigned char** palette;
    ~PaletteRelease() { ImageFree(palette); }
};

}  // namespace

CPcxIo::CPcxIo(const char* name) { m_pszPath = name; }

CPcxIo::~CPcxIo() = default;

int CPcxIo::ReadHeader()
{
    const uint32_t got = m_file.Read(m_header, kHeaderBytes);
    if (got == 0 || m_header[0] != kManufacturer)
        return Refuse(Refusal::PcxSignature);
    if (got != kHeaderBytes)
        return Refuse(Refusal::Truncated);
    const ByteView header{m_header, kHeaderBytes, false};
    const uint32_t version = m_header[1];
    m_nBits = m_header[3];
    m_nPlanes = m_header[65];
    m_nLineBytes = header.U16(66);
    const int32_t paletteInfo = header.S16(68);

    // The extents are signed and inclusive.
    const int32_t width = static_cast<int32_t>(header.S16(8)) - header.S16(4) + 1;
    const int32_t height = static_cast<int32_t>(header.S16(10)) - header.S16(6) + 1;
    if (width <= 0 || height <= 0)
        return Refuse(Refusal::EmptyPicture);
    m_nWidth = static_cast<uint32_t>(width);
    m_nHeight = static_cast<uint32_t>(height);
    const uint16_t xRes = header.U16(12);
    const uint16_t yRes = header.U16(14);
    m_fXRes = xRes != 0 ? xRes : 72.0f;
    m_fYRes = yRes != 0 ? yRes : 72.0f;

    if (m_nBits != 1 && m_nBits != 2 && m_nBits != 4 && m_nBits != 8)
        return Refuse(Refusal::UnsupportedDepth);
    if (m_nPlanes == 0)
        return Refuse(Refusal::PcxLayout);
    // A plane line shorter than the picture holds its first columns only;
    // the others show black.
    const uint64_t lineColumns = static_cast<uint64_t>(m_nLineBytes) * 8 / m_nBits;
    m_nLineColumns = lineColumns < m_nWidth ? static_cast<uint32_t>(lineColumns) : m_nWidth;

    // The planes of a pixel together give its index (plane 0 the lowest
    // bits), unless they are 8-bit red, green, blue (and alpha).
    const uint32_t indexBits = m_nBits * m_nPlanes;
    m_nPaletteSize = 0;
    if (m_nBits == 8 && (m_nPlanes == 3 || m_nPlanes == 4)) {
        m_nColorMode = COLOR_RGB;
    } else if (indexBits > 8) {
        return Refuse(Refusal::PcxLayout);
    } else if (m_nPlanes == 1 && paletteInfo != 1) {
        m_nColorMode = COLOR_GREY;
    } else {
        m_nPaletteSize = static_cast<uint16_t>(1u << indexBits);
        m_nColorMode = indexBits == 1 ? COLOR_BILEVEL : COLOR_INDEXED;
    }
    m_nBitsPerPixel = static_cast<int32_t>(indexBits);
    m_nSamplesPerPixel = static_cast<uint16_t>(m_nPlanes);
    m_nChannels = m_nColorMode == COLOR_RGB ? 3 : 1;
    m_nBitsPerSample = 8;
    m_nRowBytes = static_cast<int32_t>(AlignedRowBytes(m_nWidth * 8));
    m_nDataEnd = m_file.GetLength();

    if (m_nPaletteSize == 0)
        return 1;
    m_pPalette = static_cast<unsigned char*>(ImageAlloc(4u * m_nPaletteSize, 0));
    if (m_pPalette == nullptr)
        return Refuse(Refusal::OutOfMemory);
    unsigned char* entry = m_pPalette;
    if (m_nColorMode == COLOR_BILEVEL) {
        std::memset(m_pPalette + 4, 255, 3);
    } else if (version == 3) {
        // The stock default palette; indices past it repeat its last colour.
        PALETTEENTRY colour{};
        for (uint32_t i = 0; i < m_nPaletteSize; ++i, entry += 4) {
            GetDefaultPaletteEntries(i, 1, &colour);
            entry[0] = colour.peBlue;
            entry[1] = colour.peGreen;
            entry[2] = colour.peRed;
        }
    } else if (m_nPaletteSize <= 16) {
        for (uint32_t i = 0; i < m_nPaletteSize; ++i, entry += 4) {
            const unsigned char* rgb = m_header + 16 + 3 * i;
            entry[0] = rgb[2];
            entry[1] = rgb[1];
            entry[2] = rgb[0];
        }
    } else {
        // The palette block at the end: a marker byte, then red, green, blue
        // per entry.  It is not part of the encoded data.
        const uint64_t blockBytes = 3 * kBlockColours + 1;
        unsigned char block[3 * kBlockColours + 1];
        bool found = m_nDataEnd >= kHeaderBytes + blockBytes;
        if (found) {
            m_file.Seek(static_cast<int64_t>(m_nDataEnd - blockBytes), CFile::begin);
            found = m_file.Read(block, sizeof block) == sizeof block && block[0] == kPaletteMarker;
        }
        if (!found) {
            // Without the block, one 8-bit plane shows its indices as grey
            // levels, as Pillow shows it; other layouts have no colours.
            if (m_nBits != 8 || m_nPlanes != 1)
                return Refuse(Refusal::PcxNoPalette);
            ImageFree(&m_pPalette);
            m_nPaletteSize = 0;
            m_nColorMode = COLOR_GREY;
            return 1;
        }
        m_nDataEnd -= blockBytes;
        for (uint32_t i = 0; i < m_nPaletteSize; ++i, entry += 4) {
            const unsigned char* rgb = block + 1 + 3 * i;
            entry[0] = rgb[2];
            entry[1] = rgb[1];
            entry[2] = rgb[0];
        }
    }
    return 1;
}

// A run that passes the end of the row goes on in the next row, as
// ImageMagick, libvips and netpbm read it.  A count of 0 gives nothing.
bool CPcxIo::DecodeRow(unsigned char* row)
{
    const uint32_t total = m_nLineBytes * m_nPlanes;
    uint32_t produced = CarriedRun(row, total);
    bool complete = true;
    while (produced < total) {
        const int code = NextByte();
        if (code < 0) {
            complete = false;
            break;
        }
        uint32_t count = 1;
        int value = code;
        if ((code & 0xC0) == 0xC0) {
            count = static_cast<uint32_t>(code & 0x3F);
            value = NextByte();
            if (value < 0) {
                complete = false;
                break;
            }
        }
        if (count > total - produced) {
            m_nCarryCount = count - (total - produced);
            m_nCarryValue = static_cast<unsigned char>(value);
            count = total - produced;
        }
        std::memset(row + produced, value, count);
        produced += count;
    }
    m_nDataPos = m_source->Position() - kHeaderBytes;
    return complete;
}

uint32_t CPcxIo::CarriedRun(unsigned char* row, uint32_t total)
{
    const uint32_t count = m_nCarryCount < total ? m_nCarryCount : total;
    if (row != nullptr)
        std::memset(row, m_nCarryValue, count);
    m_nCarryCount -= count;
    return count;
}

bool CPcxIo::SkipRow()
{
    const uint32_t total = m_nLineBytes * m_nPlanes;
    uint32_t counted = CarriedRun(nullptr, total);
    bool complete = true;
    while (counted < total) {
        const int code = NextByte();
        if (code < 0) {
            complete = false;
            break;
        }
        uint32_t count = 1;
        int value = code;
        if ((code & 0xC0) == 0xC0) {
            count = static_cast<uint32_t>(code & 0x3F);
            value = NextByte();
            if (value < 0) {
                complete = false;
                break;
            }
        }
        if (count > total - counted) {
            m_nCarryCount = count - (total - counted);
            m_nCarryValue = static_cast<unsigned char>(value);
            count = total - counted;
        }
        counted += count;
    }
    m_nDataPos = m_source->Position() - kHeaderBytes;
    return complete;
}

void CPcxIo::FormPixel(const unsigned char* row, uint32_t x, unsigned char* bgr) const
{
    if (x >= m_nLineColumns) {
        bgr[0] = bgr[1] = bgr[2] = 0;  // past the plane line
        return;
    }
    if (m_nColorMode == COLOR_RGB) {
        bgr[0] = row[2 * m_nLineBytes + x];
        bgr[1] = row[m_nLineBytes + x];
        bgr[2] = row[x];
        return;
    }
    // Sample x of each plane line, most significant bits leftmost.
    const uint32_t bit = x * m_nBits;
    const uint32_t shift = 8 - m_nBits - (bit & 7);
    const uint32_t mask = (1u << m_nBits) - 1;
    uint32_t index = 0;
    const unsigned char* line = row + bit / 8;
    for (uint32_t k = 0; k < m_nPlanes; ++k, line += m_nLineBytes)
        index |= ((static_cast<uint32_t>(*line) >> shift) & mask) << (k * m_nBits);

    if (m_nColorMode == COLOR_GREY) {
        // Samples of fewer than 8 bits span black to white.
        const unsigned char v = static_cast<unsigned char>(index * (255 / mask));
        bgr[0] = bgr[1] = bgr[2] = v;
    } else if (m_pPalette != nullptr && index < m_nPaletteSize) {
        std::memcpy(bgr, m_pPalette + 4 * index, 3);
    } else {
        bgr[0] = bgr[1] = bgr[2] = 0;
    }
}

int CPcxIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    PaletteRelease releasePalette{&m_pPalette};
    if (m_nWidth == 0 || m_nHeight == 0 || m_nLineBytes == 0 || m_nPlanes == 0)
        return Refuse(Refusal::NotAPicture);

    const bool fullSize = m_bFullSize != 0;
    PictureBounds bounds;
    bounds.width = m_nWidth;
    bounds.height = m_nHeight;
    bounds.bitsPerPixel = m_nBits * m_nPlanes;
    bounds.dataBytes = m_nDataEnd > kHeaderBytes ? m_nDataEnd - kHeaderBytes : 0;
    bounds.expansion = kMostExpansion;
    bounds.fullSize = fullSize;
    const Refusal why = CheckPictureBounds(bounds);
    if (why != Refusal::None)
        return Refuse(why);
    StepPreview preview;
    if (!ComputeStepPreview(m_nWidth, m_nHeight, fullSize, &preview))
        return Refuse(Refusal::PictureTooLarge);
    m_nDibWidth = preview.width;
    m_nDibHeight = preview.height;

    uint32_t rowBytes = 0;
    if (!MulSize(m_nLineBytes, m_nPlanes, &rowBytes))
        return Refuse(Refusal::PictureTooLarge);
    ImageBlock<> block;
    ImageBlock<> row;
    if (!block.Alloc(preview.bytes, 1) || !row.Alloc(rowBytes, 1))
        return Refuse(Refusal::OutOfMemory);
    const uint64_t dataBytes = bounds.dataBytes;
    const uint32_t bufferSize = dataBytes < kReadAhead ? static_cast<uint32_t>(dataBytes) : kReadAhead;
    if (!m_buffer.Alloc(bufferSize, 0))
        return Refuse(Refusal::OutOfMemory);
    m_source.emplace(m_file, m_buffer.get(), bufferSize, kHeaderBytes, m_nDataEnd);
    m_nDataPos = 0;
    m_nCarryCount = 0;

    // Stored rows come top row first; preview row i shows stored row
    // i * step and lands at the far end of the bottom-up block.  Rows the
    // data does not hold completely stay black.
    m_nMissingRows = 0;
    for (uint32_t i = 0; i < preview.height; ++i) {
        if (!DecodeRow(row.get())) {
            m_nMissingRows = preview.height - i;
            break;
        }
        unsigned char* out = block.get() + static_cast<size_t>(preview.height - 1 - i) * preview.stride;
        for (uint32_t j = 0; j < preview.width; ++j)
            FormPixel(row.get(), j * preview.step, out + 3 * j);
        if (i + 1 == preview.height)
            break;  // nothing past the last needed row is walked
        for (uint32_t s = 1; s < preview.step; ++s)
            if (!SkipRow())
                break;
    }
    m_source.reset();
    m_buffer.reset();
    if (m_nMissingRows != 0 && fullSize)
        return Refuse(Refusal::RowsMissing);

    *width = static_cast<int32_t>(preview.width);
    *height = static_cast<int32_t>(preview.height);
    *bits = block.release();
    return 1;
}
