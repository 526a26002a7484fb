#include "iAwdIo.h"

#include "ByteOrder.h"
#include "PictureBounds.h"
#include "RowsFromFile.h"

#include <vector>

namespace {

constexpr uint16_t kByte = 1;
constexpr uint16_t kShort = 3;

// One 12-byte directory entry; `field` points at its 4-byte value field.
struct Entry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    const unsigned char* field;

    uint32_t ElementBytes() const { return type == kByte ? 1 : type == kShort ? 2 : 4; }
    // The first value, read from the entry by its type.
    uint32_t Value() const
    {
        return type == kByte ? field[0] : type == kShort ? LoadLE16(field) : LoadLE32(field);
    }
};

uint32_t Element(const unsigned char* p, uint32_t size)
{
    return size == 1 ? p[0] : size == 2 ? LoadLE16(p) : LoadLE32(p);
}

// The first `take` values of an entry's array: from the entry itself when
// the whole array fits in its 4 bytes, else from the file at the offset the
// entry gives.  False when the file does not hold the whole array.
bool ReadValues(CFile& file, uint64_t length, const Entry& e, uint32_t take, std::vector<uint32_t>* out)
{
    const uint32_t size = e.ElementBytes();
    const uint64_t total = static_cast<uint64_t>(e.count) * size;
    if (take > e.count)
        take = e.count;
    if (total <= 4) {
        out->assign(take, 0);
        for (uint32_t i = 0; i < take; ++i)
            (*out)[i] = Element(e.field + i * size, size);
        return true;
    }
    // The whole array must be in the file before anything is allocated.
    const uint64_t at = LoadLE32(e.field);
    if (at > length || total > length - at)
        return false;
    out->assign(take, 0);
    std::vector<unsigned char> bytes(static_cast<size_t>(take) * size);
    file.Seek(static_cast<int64_t>(at), CFile::begin);
    if (!bytes.empty() && file.Read(bytes.data(), static_cast<uint32_t>(bytes.size())) != bytes.size())
        return false;
    for (uint32_t i = 0; i < take; ++i)
        (*out)[i] = Element(bytes.data() + static_cast<size_t>(i) * size, size);
    return true;
}

// A resolution from its rational at `offset`; `res` keeps its value when
// the fraction gives none (zero numerator or denominator).
bool ReadResolution(CFile& file, uint64_t length, uint32_t offset, float* res)
{
    unsigned char r[8];
    if (offset > length || 8 > length - offset)
        return false;
    file.Seek(offset, CFile::begin);
    if (file.Read(r, 8) != 8)
        return false;
    const uint32_t num = LoadLE32(r);
    const uint32_t den = LoadLE32(r + 4);
    if (num != 0 && den != 0)
        *res = static_cast<float>(static_cast<double>(num) / den);
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
    std::vector<unsigned char> part(2 * static_cast<size_t>(kept));
    std::vector<uint16_t> values(3 * static_cast<size_t>(kept));
    bool sixteenBits = false;
    for (uint32_t c = 0; c < 3; ++c) {
        m_file.Seek(offset + 2ull * entries * c, CFile::begin);
        if (m_file.Read(part.data(), static_cast<uint32_t>(part.size())) != part.size())
            return Refuse(Refusal::Truncated);
        for (uint32_t i = 0; i < kept; ++i) {
            const uint16_t v = LoadLE16(part.data() + 2 * static_cast<size_t>(i));
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
        const unsigned char* raw = entries.data() + 12 * static_cast<size_t>(k);
        const Entry e{LoadLE16(raw), LoadLE16(raw + 2), LoadLE32(raw + 4), raw + 8};
        switch (e.tag) {
        case 256:
            m_nWidth = e.Value();
            break;
        case 257:
            m_nHeight = e.Value();
            break;
        case 258:
            if (e.count == 0)
                break;
            if (!ReadValues(m_file, length, e, e.count, &values))
                return Refuse(Refusal::Truncated);
            for (uint32_t v : values)
                if (v != values[0])
                    return Refuse(Refusal::AwdUnequalBits);
            m_nBitsPerSample = static_cast<int32_t>(values[0] & 0xFFFF);
            break;
        case 259:
            m_nCompression = static_cast<int32_t>(e.Value());
            break;
        case 262:
            m_nPhotometric = static_cast<int32_t>(e.Value() & 0xFFFF);
            break;
        case 273:
            m_nStrips = e.count;
            if (e.count == 0)
                break;
            // Only the first offset is used: the pixels are one block.
            if (!ReadValues(m_file, length, e, 1, &values))
                return Refuse(Refusal::Truncated);
            m_nFirstStrip = values[0];
            break;
        case 277:
            m_nSamplesPerPixel = static_cast<uint16_t>(e.Value());
            break;
        case 282:
            if (!ReadResolution(m_file, length, LoadLE32(e.field), &m_fXRes))
                return Refuse(Refusal::Truncated);
            break;
        case 283:
            if (!ReadResolution(m_file, length, LoadLE32(e.field), &m_fYRes))
                return Refuse(Refusal::Truncated);
            break;
        case 284:
            if (e.Value() == 1)
                m_bPlanar = 0;
            else if (e.Value() == 2)
                m_bPlanar = 1;
            break;
        case 296:
            unit = e.Value();
            break;
        case 320:
            if (!ReadColourMap(e.count, LoadLE32(e.field), length))
                return 0;
            break;
        case 338:
            m_nExtraSamples = e.count;
            break;
        case 748:
            m_nPrivateTag748 = e.Value();
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
