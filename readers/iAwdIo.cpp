#include "iAwdIo.h"

#include "ByteOrder.h"
#include "PictureBounds.h"
#include "RowsFromFile.h"
#include "TiffDirectory.h"

#include <vector>

namespace {

// The directory is little-endian.
constexpr bool kIntel = true;

// A resolution from the rational at the entry's offset, whatever type the
// entry names; `res` keeps its value when the fraction gives none (zero
// numerator or denominator).
bool ReadResolution(CFile& file, const TiffEntry& e, float* res)
{
    std::vector<uint32_t> r;
    if (!ReadTiffArray(file, LoadLE32(e.field), TIFF_TYPE_RATIONAL, 1, kIntel, &r))
        return false;
    if (r[0] != 0 && r[1] != 0)
        *res = static_cast<float>(static_cast<double>(r[0]) / r[1]);
    return true;
}

}  // namespace

CAwdIo::CAwdIo(const char* path)
{
    m_pszPath = path;
    m_nCompression = 1;
    m_bPlanar = 0;
}

int CAwdIo::ReadColourMap(uint32_t count, uint32_t offset, uint64_t length)
{
    const uint32_t entries = count / 3;
    if (entries == 0)
        return 1;
    // The map holds the reds, then the greens, then the blues.
    if (offset > length || 6ull * entries > length - offset)
        return Refuse(Refusal::Truncated);
    // Pixel values index at most 256 entries; a longer map keeps its first 256.
    const uint32_t kept = entries > 256 ? 256 : entries;
    std::vector<uint32_t> part;
    std::vector<uint16_t> values(3 * static_cast<size_t>(kept));
    bool sixteenBits = false;
    for (uint32_t c = 0; c < 3; ++c) {
        if (!ReadTiffArray(m_file, offset + 2ull * entries * c, TIFF_TYPE_SHORT, kept, kIntel, &part))
            return Refuse(Refusal::Truncated);
        for (uint32_t i = 0; i < kept; ++i) {
            const uint16_t v = static_cast<uint16_t>(part[i]);
            values[c * static_cast<size_t>(kept) + i] = v;
            sixteenBits = sixteenBits || v > 255;
        }
    }
    ImageFree(&m_pPalette);
    m_pPalette = static_cast<unsigned char*>(ImageAlloc(kept * 4, 0));
    if (m_pPalette == nullptr)
        return Refuse(Refusal::OutOfMemory);
    m_nPaletteSize = static_cast<uint16_t>(kept);
    // Components are 16-bit unless every one fits in a byte (a map some
    // writers store 8-bit); 16-bit ones keep their high byte.
    for (uint32_t i = 0; i < kept; ++i)
        for (uint32_t c = 0; c < 3; ++c) {
            const uint16_t v = values[c * static_cast<size_t>(kept) + i];
            m_pPalette[4 * i + 2 - c] = static_cast<unsigned char>(sixteenBits ? v >> 8 : v);
        }
    return 1;
}

int CAwdIo::ReadHeader()
{
    unsigned char head[8];
    if (m_file.Read(head, 8) != 8 || head[0] != 'I' || head[1] != 'I' || LoadLE16(head + 2) != 42)
        return Refuse(Refusal::AwdSignature);
    const uint64_t length = m_file.GetLength();
    const uint32_t directory = LoadLE32(head + 4);
    if (directory > length || 2 > length - directory)
        return Refuse(Refusal::Truncated);
    m_file.Seek(directory, CFile::begin);
    unsigned char countBytes[2];
    if (m_file.Read(countBytes, 2) != 2)
        return Refuse(Refusal::Truncated);
    const uint32_t count = LoadLE16(countBytes);
    std::vector<unsigned char> entries(12 * static_cast<size_t>(count));
    if (entries.size() > length - directory - 2)
        return Refuse(Refusal::Truncated);
    if (count != 0 && m_file.Read(entries.data(), static_cast<uint32_t>(entries.size())) != entries.size())
        return Refuse(Refusal::Truncated);

    m_fXRes = 72.0f;
    m_fYRes = 72.0f;
    uint32_t unit = 2;
    std::vector<uint32_t> values;
    for (uint32_t k = 0; k < count; ++k) {
        const TiffEntry e = ParseTiffEntry(entries.data() + 12 * static_cast<size_t>(k), kIntel);
        const uint32_t value = TiffFieldValue(e, kIntel);
        switch (e.tag) {
        case 256:
            m_nWidth = value;
            break;
        case 257:
            m_nHeight = value;
            break;
        case 258:
            if (e.count == 0)
                break;
            if (!ReadTiffValues(m_file, e, kIntel, e.count, &values))
                return Refuse(Refusal::Truncated);
            for (uint32_t v : values)
                if (v != values[0])
                    return Refuse(Refusal::AwdUnequalBits);
            m_nBitsPerSample = static_cast<int32_t>(values[0] & 0xFFFF);
            break;
        case 259:
            m_nCompression = static_cast<int32_t>(value);
            break;
        case 262:
            m_nPhotometric = static_cast<int32_t>(value & 0xFFFF);
            break;
        case 273:
            m_nStrips = e.count;
            if (e.count == 0)
                break;
            // Only the first offset is used (the pixels are one block), but
            // the whole table must be in the file.
            if (!ReadTiffValues(m_file, e, kIntel, e.count, &values))
                return Refuse(Refusal::Truncated);
            m_nFirstStrip = values[0];
            break;
        case 277:
            m_nSamplesPerPixel = static_cast<uint16_t>(value);
            break;
        case 282:
            if (!ReadResolution(m_file, e, &m_fXRes))
                return Refuse(Refusal::Truncated);
            break;
        case 283:
            if (!ReadResolution(m_file, e, &m_fYRes))
                return Refuse(Refusal::Truncated);
            break;
        case 284:
            if (value == 1)
                m_bPlanar = 0;
            else if (value == 2)
                m_bPlanar = 1;
            break;
        case 296:
            unit = value;
            break;
        case 320:
            if (!ReadColourMap(e.count, LoadLE32(e.field), length))
                return 0;
            break;
        case 338:
            m_nExtraSamples = e.count;
            break;
        case 748:
            m_nPrivateTag748 = value;
            break;
        default:
            break;
        }
    }

    if (m_nWidth == 0 || m_nHeight == 0)
        return Refuse(Refusal::EmptyPicture);
    // Resolutions in pixels per centimetre.
    if (unit == 3) {
        m_fXRes *= 2.54f;
        m_fYRes *= 2.54f;
    }
    switch (m_nPhotometric) {
    case 0:
    case 1:
        m_nColorMode = m_nBitsPerSample == 1 ? COLOR_BILEVEL : COLOR_GREY;
        m_nChannels = 1;
        break;
    case 2:
        m_nColorMode = COLOR_RGB;
        m_nChannels = 3;
        break;
    case 3:
        m_nColorMode = COLOR_INDEXED;
        m_nChannels = 1;
        break;
    case 4:
        m_nColorMode = COLOR_CHANNEL;
        m_nChannels = 1;
        break;
    case 5:
        m_nColorMode = COLOR_CMYK;
        m_nChannels = 4;
        break;
    default:
        break;
    }
    if (m_nSamplesPerPixel == 0)
        m_nSamplesPerPixel = static_cast<uint16_t>(m_nChannels);
    // Tag 748 = 6: the samples are the colour channels plus the extra
    // samples the file lists (tag 338 counts them; its values name their kind).
    if (m_nPrivateTag748 == 6)
        m_nSamplesPerPixel = static_cast<uint16_t>(m_nChannels + (m_nExtraSamples > 0xFFFF ? 0xFFFF : m_nExtraSamples));
    // Both factors come from the file (up to 65535 each): multiply in 64 bits.
    const int64_t bitsPerPixel = static_cast<int64_t>(m_nBitsPerSample) * m_nSamplesPerPixel;
    m_nBitsPerPixel = bitsPerPixel > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bitsPerPixel);
    m_nRowBytes = static_cast<int32_t>(AlignedRowBytes(m_nWidth * 8));
    return 1;
}

int CAwdIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    if (m_nColorMode == COLOR_NONE)
        return Refuse(Refusal::UnsupportedColour);
    // Samples are read one byte each.
    if (m_nBitsPerSample != 8)
        return Refuse(Refusal::UnsupportedDepth);
    if (m_nColorMode == COLOR_INDEXED && m_nPaletteSize == 0)
        return Refuse(Refusal::AwdNoColourMap);
    if (m_nStrips == 0)
        return Refuse(Refusal::AwdNoStrips);
    if (m_nSamplesPerPixel < m_nChannels)
        return Refuse(Refusal::AwdTooFewSamples);

    const uint64_t length = m_file.GetLength();
    PictureBounds bounds;
    bounds.width = m_nWidth;
    bounds.height = m_nHeight;
    bounds.bitsPerPixel = 8u * m_nSamplesPerPixel;
    bounds.dataBytes = length > m_nFirstStrip ? length - m_nFirstStrip : 0;
    return MakeRowsPreview(bounds, width, height, bits);
}

int CAwdIo::ReadPreviewRows(unsigned char* const* planes)
{
    // Chunky: rows of all samples of a pixel together.  Planar: plane after
    // plane, each of m_nHeight rows; a row of each colour plane is gathered
    // into one buffer, channel after channel, as SampleRow takes it.
    const bool planar = m_bPlanar != 0;
    const uint64_t rowBytes64 = static_cast<uint64_t>(m_nWidth) * (planar ? m_nChannels : m_nSamplesPerPixel);
    if (rowBytes64 == 0 || rowBytes64 > UINT32_MAX)
        return Refuse(Refusal::PictureTooLarge);
    const uint32_t rowBytes = static_cast<uint32_t>(rowBytes64);
    ImageBlock<> row;
    if (!row.Alloc(rowBytes, 1))
        return Refuse(Refusal::OutOfMemory);

    const std::vector<uint32_t> rows = FirstMatchIndices(m_nHeight, m_nDibHeight);
    const uint64_t length = m_file.GetLength();
    const uint64_t start = m_nFirstStrip;
    const uint64_t planeBytes = static_cast<uint64_t>(m_nWidth) * m_nHeight;
    if (planar && planeBytes > UINT64_MAX / MAX_PREVIEW_CHANNELS)
        return Refuse(Refusal::PictureTooLarge);
    const size_t planeRow = PlaneRowBytes();
    uint64_t position = UINT64_MAX;
    uint32_t i = 0;
    for (; i < rows.size(); ++i) {
        bool whole = true;
        if (planar) {
            for (uint32_t p = 0; p < m_nChannels && whole; ++p) {
                const uint64_t at = start + p * planeBytes + static_cast<uint64_t>(rows[i]) * m_nWidth;
                whole = ReadStoredBytes(m_file, length, at, m_nWidth, row.get() + static_cast<size_t>(p) * m_nWidth,
                                        &position);
            }
        } else {
            const uint64_t at = start + static_cast<uint64_t>(rows[i]) * rowBytes;
            whole = ReadStoredBytes(m_file, length, at, rowBytes, row.get(), &position);
        }
        if (!whole)
            break;
        SampleRow(i, row.get(), planes);
        // White is zero: the grey values run the other way.
        if (m_nPhotometric == 0) {
            unsigned char* grey = planes[0] + i * planeRow;
            for (uint32_t x = 0; x < m_nDibWidth; ++x)
                grey[x] = static_cast<unsigned char>(255 - grey[x]);
        }
    }
    MarkRowsMissing(i, m_nDibHeight);
    return 1;
}
