#include "iPxrIo.h"

#include "ByteOrder.h"
#include "PictureBounds.h"
#include "RowsFromFile.h"

namespace {

constexpr uint32_t kDataOffset = 1024;
constexpr uint8_t kStorageGrey = 8;
constexpr uint8_t kStorageRgb = 14;

}  // namespace

CPxrIo::CPxrIo(const char* path) { m_pszPath = path; }

int CPxrIo::ReadHeader()
{
    unsigned char head[425];
    if (m_file.Read(head, sizeof head) != sizeof head)
        return Refuse(Refusal::Truncated);
    // Width at 418, then the (single) tile's height at 420, which is the
    // picture's height in the files this reader takes.
    m_nWidth = LoadLE16(head + 418);
    m_nHeight = LoadLE16(head + 420);
    switch (head[424]) {
    case kStorageGrey:
        m_nColorMode = COLOR_GREY;
        m_nSamplesPerPixel = 1;
        break;
    case kStorageRgb:
        m_nColorMode = COLOR_RGB;
        m_nSamplesPerPixel = 3;
        break;
    default:
        return Refuse(Refusal::PxrStorage);
    }
    if (m_nWidth == 0 || m_nHeight == 0)
        return Refuse(Refusal::EmptyPicture);
    m_nChannels = m_nSamplesPerPixel;
    m_fXRes = 72.0f;
    m_fYRes = 72.0f;
    m_nBitsPerPixel = 8;
    m_nBitsPerSample = 8;
    m_nPaletteSize = 0;
    m_bPlanar = 0;
    m_nRowBytes = static_cast<int32_t>(AlignedRowBytes(m_nWidth * 8));
    return 1;
}

int CPxrIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    const uint64_t length = m_file.GetLength();
    PictureBounds bounds;
    bounds.width = m_nWidth;
    bounds.height = m_nHeight;
    bounds.bitsPerPixel = 8u * m_nSamplesPerPixel;
    bounds.dataBytes = length > kDataOffset ? length - kDataOffset : 0;
    return MakeRowsPreview(bounds, width, height, bits);
}

int CPxrIo::ReadPreviewRows(unsigned char* const* planes)
{
    // Width is 16-bit and samples at most 3: a row always fits in 32 bits.
    const uint32_t rowBytes = static_cast<uint32_t>(m_nWidth) * m_nSamplesPerPixel;
    ImageBlock<> row;
    if (!row.Alloc(rowBytes, 1))
        return Refuse(Refusal::OutOfMemory);
    const std::vector<uint32_t> rows = FirstMatchIndices(m_nHeight, m_nDibHeight);
    const uint64_t length = m_file.GetLength();
    uint64_t position = UINT64_MAX;
    uint32_t i = 0;
    for (; i < rows.size(); ++i) {
        const uint64_t at = kDataOffset + static_cast<uint64_t>(rows[i]) * rowBytes;
        if (!ReadStoredBytes(m_file, length, at, rowBytes, row.get(), &position))
            break;
        SampleRow(i, row.get(), planes);
    }
    MarkRowsMissing(i, m_nDibHeight);
    return 1;
}
