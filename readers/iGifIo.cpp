#include "iGifIo.h"

#include "ByteOrder.h"
#include "ByteSource.h"
#include "DefaultPalette.h"
#include "GifLzw.h"
#include "PictureBounds.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kExtension = 0x21;  // '!'
constexpr uint8_t kImage = 0x2C;      // ','
constexpr uint8_t kTrailer = 0x3B;    // ';'

// The image data's sub-blocks, read ahead in blocks, as one run of bytes.
// A sub-block of length 0, or the end of the file, ends the data.
class GifSubBlocks : public GifByteSource {
public:
    GifSubBlocks(CFile& file, unsigned char* buffer, uint32_t size)
        : m_bytes(file, buffer, size, file.GetPosition(), file.GetLength()) {}

    size_t Read(uint8_t* out, size_t count) override
    {
        size_t got = 0;
        while (got < count && !m_ended) {
            if (m_left == 0) {
                uint8_t length = 0;
                if (!FileByte(&length) || length == 0) {
                    m_ended = true;
                    break;
                }
                m_left = length;
            }
            // Runs of buffered bytes are handed over whole.
            uint32_t held = 0;
            const unsigned char* run = m_bytes.Buffered(&held);
            if (held == 0) {
                m_ended = true;
                break;
            }
            const size_t k = std::min<size_t>({count - got, m_left, held});
            std::memcpy(out + got, run, k);
            m_bytes.Advance(static_cast<uint32_t>(k));
            m_left -= static_cast<uint32_t>(k);
            got += k;
        }
        return got;
    }

    // The next byte of the file, through the read-ahead buffer.
    bool FileByte(uint8_t* byte)
    {
        const int b = m_bytes.Next();
        if (b < 0)
            return false;
        *byte = static_cast<uint8_t>(b);
        return true;
    }

private:
    ByteSource m_bytes;
    uint32_t m_left = 0;  // bytes left in the current sub-block
    bool m_ended = false;
};

// Interlaced rows come in four passes: start row and step of each.
constexpr uint32_t kPassStart[4] = {0, 4, 2, 1};
constexpr uint32_t kPassStep[4] = {8, 8, 4, 2};

}  // namespace

CGifIo::CGifIo(const char* path) { m_pszPath = path; }

int CGifIo::ReadHeader()
{
    const uint64_t length = m_file.GetLength();
    if (length == 0)
        return Refuse(Refusal::GifSignature);
    // A GIF ends with its trailer; a file cut short or followed by other
    // bytes is not taken as one.
    unsigned char last = 0;
    m_file.Seek(-1, CFile::end);
    if (m_file.Read(&last, 1) != 1)
        return Refuse(Refusal::Truncated);
    m_file.SeekToBegin();
    unsigned char head[13];
    if (m_file.Read(head, sizeof head) != sizeof head || std::memcmp(head, "GIF", 3) != 0 ||
        (std::memcmp(head + 3, "87a", 3) != 0 && std::memcmp(head + 3, "89a", 3) != 0))
        return Refuse(Refusal::GifSignature);
    if (last != kTrailer)
        return Refuse(Refusal::GifNoTrailer);

    // The colour table in use: the global one until a local one replaces it.
    unsigned char table[3 * 256];
    const uint8_t screenFlags = head[10];
    uint32_t tableBits = (screenFlags & 7u) + 1;
    bool hasTable = (screenFlags & 0x80) != 0;
    if (hasTable) {
        const uint32_t bytes = 3u << tableBits;
        if (m_file.Read(table, bytes) != bytes)
            return Refuse(Refusal::Truncated);
    }

    // Every extension is skipped sub-block by sub-block, whatever its label.
    for (;;) {
        unsigned char introducer = 0;
        if (m_file.Read(&introducer, 1) != 1)
            return Refuse(Refusal::Truncated);
        if (introducer == kImage)
            break;
        if (introducer == kTrailer)
            return Refuse(Refusal::GifNoImage);
        if (introducer != kExtension)
            return Refuse(Refusal::GifUnknownBlock);
        unsigned char label = 0;
        if (m_file.Read(&label, 1) != 1)
            return Refuse(Refusal::Truncated);
        for (;;) {
            unsigned char size = 0;
            if (m_file.Read(&size, 1) != 1)
                return Refuse(Refusal::Truncated);
            if (size == 0)
                break;
            if (m_file.GetPosition() + size > length)
                return Refuse(Refusal::Truncated);
            m_file.Seek(size, CFile::current);
        }
    }

    unsigned char descriptor[9];
    if (m_file.Read(descriptor, sizeof descriptor) != sizeof descriptor)
        return Refuse(Refusal::Truncated);
    m_nWidth = LoadLE16(descriptor + 4);
    m_nHeight = LoadLE16(descriptor + 6);
    const uint8_t imageFlags = descriptor[8];
    m_bInterlaced = (imageFlags & 0x40) != 0;
    if (imageFlags & 0x80) {
        tableBits = (imageFlags & 7u) + 1;
        hasTable = true;
        const uint32_t bytes = 3u << tableBits;
        if (m_file.Read(table, bytes) != bytes)
            return Refuse(Refusal::Truncated);
    }
    if (m_nWidth == 0 || m_nHeight == 0)
        return Refuse(Refusal::EmptyPicture);

    m_nPaletteSize = static_cast<uint16_t>(1u << tableBits);
    m_pPalette = static_cast<unsigned char*>(ImageAlloc(4u * m_nPaletteSize, 0));
    if (m_pPalette == nullptr)
        return Refuse(Refusal::OutOfMemory);
    if (hasTable) {
        for (uint32_t i = 0; i < m_nPaletteSize; ++i) {
            m_pPalette[4 * i] = table[3 * i + 2];
            m_pPalette[4 * i + 1] = table[3 * i + 1];
            m_pPalette[4 * i + 2] = table[3 * i];
        }
    } else if (m_nPaletteSize == 2) {
        std::memset(m_pPalette + 4, 255, 3);  // black and white
    } else {
        // The platform's default palette; later entries repeat its last colour.
        PALETTEENTRY entry{0, 0, 0, 0};
        for (uint32_t i = 0; i < m_nPaletteSize; ++i) {
            GetDefaultPaletteEntries(i, 1, &entry);
            m_pPalette[4 * i] = entry.peBlue;
            m_pPalette[4 * i + 1] = entry.peGreen;
            m_pPalette[4 * i + 2] = entry.peRed;
        }
    }

    m_nColorMode = m_nPaletteSize == 2 ? COLOR_BILEVEL : COLOR_INDEXED;
    m_nBitsPerSample = m_nPaletteSize == 2 ? 1 : 8;
    m_nSamplesPerPixel = 1;
    m_nChannels = 1;
    m_nBitsPerPixel = 8;
    m_nRowBytes = static_cast<int32_t>(AlignedRowBytes(m_nWidth * 8));
    m_fXRes = 72.0f;
    m_fYRes = 72.0f;
    return 1;
}

int CGifIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    // The palette goes with the preview, whatever the outcome.
    struct PaletteRelease {
        CImageIo* reader;
        ~PaletteRelease() { ImageFree(&reader->m_pPalette); }
    } releasePalette{this};
    if (m_pPalette == nullptr || m_nWidth == 0 || m_nHeight == 0)
        return Refuse(Refusal::PreviewFailed);
    ComputeDibSize();

    // The data's minimum code size, read ahead: it bounds what the data can
    // decode to.
    const uint64_t position = m_file.GetPosition();
    const uint64_t length = m_file.GetLength();
    uint8_t minimum = 0;
    const bool hasMinimum = m_file.Read(&minimum, 1) == 1;
    m_file.Seek(static_cast<int64_t>(position), CFile::begin);
    // After the code-size byte the data comes in sub-blocks of at most 255
    // bytes, each after its length byte.
    const uint64_t stored = hasMinimum && length > position + 1 ? length - position - 1 : 0;
    const uint64_t dataBytes = stored / 256 * 255 + (stored % 256 == 0 ? 0 : stored % 256 - 1);
    PictureBounds bounds;
    bounds.width = m_nWidth;
    bounds.height = m_nHeight;
    bounds.bitsPerPixel = 8;
    bounds.dataBytes = GifLzwMostDecodedBytes(dataBytes, minimum);
    bounds.expansion = 1;  // counted in dataBytes
    bounds.fullSize = m_bFullSize != 0;
    const Refusal why = CheckPictureBounds(bounds);
    if (why != Refusal::None)
        return Refuse(why);
    if (minimum < 1 || minimum > GifLzwDecoder::kMaxCodeBits - 1)
        return Refuse(Refusal::GifLzwCodeSize);

    ImageBlock<> block;
    if (const Refusal failed = AllocPreviewBlock(m_nDibWidth, m_nDibHeight, block); failed != Refusal::None)
        return Refuse(failed);
    bool complete = false;
    if (!DecodeLzw(block.get(), &complete))
        return 0;
    // A full-size preview shows the whole picture or nothing.
    if (m_bFullSize != 0 && !complete)
        return Refuse(Refusal::RowsMissing);
    *width = static_cast<int32_t>(m_nDibWidth);
    *height = static_cast<int32_t>(m_nDibHeight);
    *bits = block.release();
    return 1;
}

int CGifIo::DecodeLzw(unsigned char* bits, bool* complete)
{
    *complete = false;
    const std::vector<uint32_t> rows = FirstMatchIndices(m_nHeight, m_nDibHeight);
    const std::vector<uint32_t> columns = FirstMatchIndices(m_nWidth, m_nDibWidth);
    const size_t stride = ((static_cast<size_t>(m_nDibWidth) * 24 + 31) / 32) * 4;

    // One source row, and the file read ahead in blocks of a few rows.
    const uint32_t readAhead = std::min<uint32_t>(std::max<uint32_t>(3 * m_nWidth, 4096), 1u << 16);
    ImageBlock<> row;
    ImageBlock<> buffer;
    if (!row.Alloc(m_nWidth, 0) || !buffer.Alloc(readAhead, 0))
        return Refuse(Refusal::OutOfMemory);
    GifSubBlocks source(m_file, buffer.get(), readAhead);
    uint8_t minimum = 0;
    if (!source.FileByte(&minimum))
        return Refuse(Refusal::Truncated);
    GifLzwDecoder decoder;
    if (!decoder.Start(minimum))
        return Refuse(Refusal::GifLzwCodeSize);

    const unsigned char* palette = m_pPalette;
    const uint32_t paletteSize = m_nPaletteSize;
    // Writes source row y into its preview row when the preview takes it;
    // pixels from `valid` on were not decoded and stay black.
    const auto emit = [&](uint32_t y, size_t valid) -> bool {
        const auto it = std::lower_bound(rows.begin(), rows.end(), y);
        if (it == rows.end() || *it != y)
            return false;
        const size_t n = static_cast<size_t>(it - rows.begin());
        unsigned char* out = bits + (m_nDibHeight - 1 - n) * stride;
        for (size_t i = 0; i < columns.size(); ++i, out += 3) {
            const uint32_t x = columns[i];
            if (x >= valid)
                break;
            const uint32_t index = row[x];
            if (index < paletteSize) {  // indices past the palette stay black
                out[0] = palette[4 * index];
                out[1] = palette[4 * index + 1];
                out[2] = palette[4 * index + 2];
            }
        }
        return true;
    };

    // Decoding stops once every preview row is written; the rest of the
    // stream is never read.
    size_t written = 0;
    uint32_t y = 0;
    unsigned pass = 0;
    while (written < rows.size()) {
        const size_t got = decoder.Read(&source, row.get(), m_nWidth);
        if (got < m_nWidth) {
            if (got > 0)
                emit(y, got);
            break;
        }
        if (emit(y, m_nWidth))
            ++written;
        if (!m_bInterlaced) {
            if (++y == m_nHeight)
                break;
            continue;
        }
        y += kPassStep[pass];
        while (y >= m_nHeight && pass < 3) {
            ++pass;
            y = kPassStart[pass];
        }
        if (y >= m_nHeight)
            break;
    }
    *complete = written == rows.size();
    if (m_bFullSize != 0 && !*complete && decoder.status() == GifLzwDecoder::Status::CodePastTable)
        return Refuse(Refusal::GifLzwCodePastTable);
    return 1;
}
