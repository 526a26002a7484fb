#include "iBmpIo.h"

#include "ByteOrder.h"
#include "PictureBounds.h"

#include <cstring>

namespace {

constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint32_t kInfoHeaderBytes = 40;

// Pixels per inch from pixels per metre; a missing (or meaningless) value
// counts as 72.
float PelsPerInch(int32_t pelsPerMeter)
{
    if (pelsPerMeter <= 0)
        return 72.0f;
    return static_cast<float>(static_cast<double>(pelsPerMeter) * 2.54 / 100.0);
}

}  // namespace

CBmpIo::CBmpIo(const char* name) { m_pszPath = name; }

CBmpIo::~CBmpIo() = default;

bool CBmpIo::HeaderUsable() const
{
    if (m_infoHeader.biCompression != 0)
        return false;
    switch (m_infoHeader.biBitCount) {
    case 1:
    case 4:
    case 8:
    case 24:
        return m_nWidth != 0 && m_nHeight != 0;
    default:
        return false;
    }
}

int CBmpIo::ReadHeader()
{
    unsigned char file[kFileHeaderBytes];
    unsigned char info[kInfoHeaderBytes];
    if (m_file.Read(file, sizeof file) != sizeof file)
        return Refuse(Refusal::Truncated);
    if (file[0] != 'B' || file[1] != 'M')
        return Refuse(Refusal::BmpSignature);
    if (m_file.Read(info, sizeof info) != sizeof info)
        return Refuse(Refusal::Truncated);
    const ByteView f{file, sizeof file, false};
    const ByteView h{info, sizeof info, false};
    m_fileHeader.bfType = f.U16(0);
    m_fileHeader.bfSize = f.U32(2);
    m_fileHeader.bfReserved1 = f.U16(6);
    m_fileHeader.bfReserved2 = f.U16(8);
    m_fileHeader.bfOffBits = f.U32(10);
    m_infoHeader.biSize = h.U32(0);
    m_infoHeader.biWidth = h.S32(4);
    m_infoHeader.biHeight = h.S32(8);
    m_infoHeader.biPlanes = h.U16(12);
    m_infoHeader.biBitCount = h.U16(14);
    m_infoHeader.biCompression = h.U32(16);
    m_infoHeader.biSizeImage = h.U32(20);
    m_infoHeader.biXPelsPerMeter = h.S32(24);
    m_infoHeader.biYPelsPerMeter = h.S32(28);
    m_infoHeader.biClrUsed = h.U32(32);
    m_infoHeader.biClrImportant = h.U32(36);

    if (m_infoHeader.biCompression != 0)
        return Refuse(Refusal::UnsupportedCompression);
    // Older headers are shorter and lay their fields out differently.
    if (m_infoHeader.biSize < kInfoHeaderBytes)
        return Refuse(Refusal::BmpOldHeader);
    // A negative height stores the rows top row first.
    const int32_t height = m_infoHeader.biHeight;
    if (m_infoHeader.biWidth == 0 || height == 0)
        return Refuse(Refusal::EmptyPicture);
    if (m_infoHeader.biWidth < 0 || height == INT32_MIN)
        return Refuse(Refusal::BmpBadSize);
    m_bTopDown = height < 0;
    m_nWidth = static_cast<uint32_t>(m_infoHeader.biWidth);
    m_nHeight = static_cast<uint32_t>(height < 0 ? -height : height);
    m_fXRes = PelsPerInch(m_infoHeader.biXPelsPerMeter);
    m_fYRes = PelsPerInch(m_infoHeader.biYPelsPerMeter);
    m_nBitsPerPixel = m_infoHeader.biBitCount;

    switch (m_infoHeader.biBitCount) {
    case 1:
        m_nPaletteSize = 2;
        m_nColorMode = COLOR_BILEVEL;
        break;
    case 4:
        m_nPaletteSize = 16;
        m_nColorMode = COLOR_INDEXED;
        break;
    case 8:
        m_nPaletteSize = 256;
        m_nColorMode = COLOR_INDEXED;
        break;
    case 24:
        m_nPaletteSize = 0;
        m_nColorMode = COLOR_RGB;
        break;
    default:
        return Refuse(Refusal::UnsupportedDepth);
    }

    if (m_nPaletteSize != 0) {
        // Only as many entries as the palette holds are read, whatever
        // biClrUsed asks for; entries the file leaves out stay black.
        uint32_t stored = m_infoHeader.biClrUsed;
        if (stored == 0 || stored > m_nPaletteSize)
            stored = m_nPaletteSize;
        m_pPalette = static_cast<unsigned char*>(ImageAlloc(m_nPaletteSize * 4u, 0));
        if (m_pPalette == nullptr)
            return Refuse(Refusal::OutOfMemory);
        // The palette follows the information header, whose size grows with
        // the header version.
        if (m_infoHeader.biSize != kInfoHeaderBytes) {
            const uint64_t at = static_cast<uint64_t>(kFileHeaderBytes) + m_infoHeader.biSize;
            if (at > m_file.GetLength())
                return Refuse(Refusal::Truncated);
            m_file.Seek(static_cast<int64_t>(at), CFile::begin);
        }
        if (m_file.Read(m_pPalette, stored * 4) != stored * 4)
            return Refuse(Refusal::Truncated);
        for (uint32_t k = 0; k < stored; ++k)
            m_pPalette[4 * k + 3] = 0;
        m_nBitsPerSample = m_infoHeader.biBitCount;
        m_nSamplesPerPixel = 1;
    } else {
        m_nBitsPerSample = 8;
        m_nSamplesPerPixel = 3;
    }
    m_nChannels = m_nSamplesPerPixel;
    return 1;
}

int CBmpIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    if (!HeaderUsable())
        return Refuse(Refusal::UnsupportedDepth);
    // The pixel rows must be in the file: at least one whole row, and for a
    // full-size preview, whose memory grows with the declared size, all of
    // them.  A fitted preview of a file cut short shows the missing rows black.
    const uint64_t length = m_file.GetLength();
    const uint64_t offBits = m_fileHeader.bfOffBits;
    PictureBounds bounds;
    bounds.width = m_nWidth;
    bounds.height = m_nHeight;
    bounds.bitsPerPixel = m_infoHeader.biBitCount;
    bounds.dataBytes = offBits < length ? length - offBits : 0;
    bounds.rowAlignment = 4;
    bounds.fullSize = m_bFullSize != 0;
    const Refusal why = CheckPictureBounds(bounds);
    if (why != Refusal::None)
        return Refuse(why);

    m_nMissingRows = 0;
    if (!MakePlanesPreview(width, height, bits))
        return 0;
    // Missing rows are the last stored ones: the top of a bottom-up picture,
    // which is the end of the (bottom-up) preview block, or the bottom of a
    // top-down one, the start of the block.
    if (m_nMissingRows != 0) {
        const size_t stride = ((static_cast<size_t>(m_nDibWidth) * 24 + 31) / 32) * 4;
        const size_t first = m_bTopDown ? 0 : m_nDibHeight - m_nMissingRows;
        std::memset(*bits + first * stride, 0, m_nMissingRows * stride);
    }
    return 1;
}

int CBmpIo::ReadPreviewRows(unsigned char* const* planes)
{
    return ReadPlanes(m_nDibWidth, m_nDibHeight, planes);
}

int CBmpIo::ReadPlanes(uint32_t w, uint32_t h, unsigned char* const* planes)
{
    if (!HeaderUsable())
        return Refuse(Refusal::UnsupportedDepth);
    if (w == 0 || h == 0 || w > m_nWidth || h > m_nHeight)
        return Refuse(Refusal::PreviewFailed);
    m_nDibWidth = w;
    m_nDibHeight = h;
    m_nMissingRows = 0;

    const uint64_t rowBytes = StoredRowBytes(m_nWidth, m_infoHeader.biBitCount, 4);
    uint32_t sampled = 0;
    if (rowBytes > UINT32_MAX || !SourceRowBytes(&sampled) || sampled > rowBytes)
        return Refuse(Refusal::PictureTooLarge);
    const uint32_t f = static_cast<uint32_t>(rowBytes);
    ImageBlock<> row;
    if (!row.Alloc(f, 1))
        return Refuse(Refusal::OutOfMemory);

    // Rows are chosen in stored order by the first-match rule; every other
    // row is passed over by seeking.
    const std::vector<uint32_t> rows = FirstMatchIndices(m_nHeight, h);
    const uint64_t length = m_file.GetLength();
    const uint64_t start = m_fileHeader.bfOffBits;
    uint64_t position = UINT64_MAX;
    uint32_t i = 0;
    for (; i < rows.size(); ++i) {
        const uint64_t at = start + static_cast<uint64_t>(rows[i]) * f;
        if (at > length || f > length - at)
            break;  // the file ends before this row does
        if (at != position)
            m_file.Seek(static_cast<int64_t>(at), CFile::begin);
        if (m_file.Read(row.get(), f) != f)
            break;
        position = at + f;
        SampleRow(m_bTopDown ? i : h - 1 - i, row.get(), planes);
    }
    // Rows past the end of the file (and any the rule found no row for) are
    // the last in stored order.
    m_nMissingRows = h - i;
    return 1;
}
