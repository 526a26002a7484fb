#include "iBmpIo.h"

#include "ByteOrder.h"
#include "ByteSource.h"
#include "PictureBounds.h"

#include <cstring>

namespace {

constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint32_t kInfoHeaderBytes = 40;
// OS/2 1.x: 16-bit sizes, 3-byte palette entries.
constexpr uint32_t kCoreHeaderBytes = 12;
// OS/2 2.x headers hold the fields of the 40-byte header, cut short
// anywhere from 16 bytes on, plus fields of their own up to 64 bytes.
constexpr uint32_t kOs2HeaderMinBytes = 16;
constexpr uint32_t kOs2HeaderMaxBytes = 64;

enum Compression : uint32_t {
    kRgb = 0,
    kRle8 = 1,
    kRle4 = 2,
    kBitfields = 3,
    kJpeg = 4,
    kPng = 5,
    kAlphaBitfields = 6,
};

// Most pixels one byte of a run-length stream can set: a 2-byte run sets up
// to 255.  End-of-line, delta and end-of-bitmap codes pass over more, but
// what they pass over is black, and a picture larger than this bound is
// not worth a full-size block of black from a small file.
constexpr uint64_t kRleExpansion = 128;

// Bytes of the run-length stream read at a time.
constexpr uint32_t kRleChunk = 64 * 1024;

// Pixels per inch from pixels per metre; a missing (or meaningless) value
// counts as 72.
float PelsPerInch(int32_t pelsPerMeter)
{
    if (pelsPerMeter <= 0)
        return 72.0f;
    return static_cast<float>(static_cast<double>(pelsPerMeter) * 2.54 / 100.0);
}

// The OS/2 2.x header sizes, told apart from the Windows ones of 40 bytes
// and of 52 and 56 (the 40-byte header with its masks inside).
bool IsOs2Header(uint32_t size)
{
    return size >= kOs2HeaderMinBytes && size <= kOs2HeaderMaxBytes && size != kInfoHeaderBytes &&
           size != 52 && size != 56;
}

}  // namespace

CBmpIo::CBmpIo(const char* name) { m_pszPath = name; }

CBmpIo::~CBmpIo() = default;

bool CBmpIo::HeaderUsable() const
{
    // Only a header that ReadHeader accepted sets the channel count.
    return m_nWidth != 0 && m_nHeight != 0 && m_nChannels != 0;
}

bool CBmpIo::ReadInfoHeader()
{
    // Fields a shorter header leaves out read as 0.
    unsigned char info[kInfoHeaderBytes] = {};
    if (m_file.Read(info, 4) != 4)
        return Refuse(Refusal::Truncated);
    const uint32_t size = LoadLE32(info);
    const ByteView h{info, sizeof info, false};
    if (size == kCoreHeaderBytes) {
        if (m_file.Read(info + 4, kCoreHeaderBytes - 4) != kCoreHeaderBytes - 4)
            return Refuse(Refusal::Truncated);
        m_infoHeader.biSize = size;
        m_infoHeader.biWidth = h.U16(4);
        m_infoHeader.biHeight = h.U16(6);
        m_infoHeader.biPlanes = h.U16(8);
        m_infoHeader.biBitCount = h.U16(10);
        return true;
    }
    if (size < kOs2HeaderMinBytes)
        return Refuse(Refusal::BmpOldHeader);
    const uint32_t stored = size < kInfoHeaderBytes ? size : kInfoHeaderBytes;
    if (m_file.Read(info + 4, stored - 4) != stored - 4)
        return Refuse(Refusal::Truncated);
    m_infoHeader.biSize = size;
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
    return true;
}

bool CBmpIo::ReadMasks()
{
    if (m_infoHeader.biCompression == kRgb) {
        // 5-5-5 (the top bit unused) and blue, green, red, unused bytes.
        const bool wide = m_infoHeader.biBitCount == 32;
        m_nMask[0] = wide ? 0xFF0000u : 0x7C00u;
        m_nMask[1] = wide ? 0x00FF00u : 0x03E0u;
        m_nMask[2] = wide ? 0x0000FFu : 0x001Fu;
    } else {
        // Red, green, blue (and alpha, not used) right after the 40 bytes
        // of the header: inside the longer headers, after the 40-byte one.
        unsigned char masks[12];
        m_file.Seek(kFileHeaderBytes + kInfoHeaderBytes, CFile::begin);
        if (m_file.Read(masks, sizeof masks) != sizeof masks)
            return Refuse(Refusal::Truncated);
        for (int k = 0; k < 3; ++k)
            m_nMask[k] = LoadLE32(masks + 4 * k);
        if ((m_nMask[0] | m_nMask[1] | m_nMask[2]) == 0)
            return Refuse(Refusal::BmpMasks);
    }
    for (int k = 0; k < 3; ++k) {
        uint32_t shift = 0;
        while (m_nMask[k] != 0 && ((m_nMask[k] >> shift) & 1) == 0)
            ++shift;
        m_nShift[k] = shift;
        m_nMaxValue[k] = m_nMask[k] >> shift;
    }
    return true;
}

bool CBmpIo::ReadPalette(uint64_t at, uint32_t entryBytes)
{
    // Only as many entries as the palette holds are read, whatever the
    // header asks for; entries the file leaves out stay black.
    uint32_t stored = m_infoHeader.biClrUsed;
    if (stored == 0 || stored > m_nPaletteSize)
        stored = m_nPaletteSize;
    if (entryBytes == 3) {
        // OS/2 1.x gives no count: the palette fills the space up to the
        // pixels, at most a full palette.
        const uint64_t offBits = m_fileHeader.bfOffBits;
        if (offBits >= at + 3 && (offBits - at) / 3 < stored)
            stored = static_cast<uint32_t>((offBits - at) / 3);
    }
    m_pPalette = static_cast<unsigned char*>(ImageAlloc(m_nPaletteSize * 4u, 0));
    if (m_pPalette == nullptr)
        return Refuse(Refusal::OutOfMemory);
    if (at > m_file.GetLength())
        return Refuse(Refusal::Truncated);
    m_file.Seek(static_cast<int64_t>(at), CFile::begin);
    if (entryBytes == 4) {
        if (m_file.Read(m_pPalette, stored * 4) != stored * 4)
            return Refuse(Refusal::Truncated);
    } else {
        unsigned char entries[256 * 3];
        if (m_file.Read(entries, stored * 3) != stored * 3)
            return Refuse(Refusal::Truncated);
        for (uint32_t k = 0; k < stored; ++k)
            std::memcpy(m_pPalette + 4 * k, entries + 3 * k, 3);
    }
    for (uint32_t k = 0; k < stored; ++k)
        m_pPalette[4 * k + 3] = 0;
    return true;
}

int CBmpIo::ReadHeader()
{
    unsigned char file[kFileHeaderBytes];
    if (m_file.Read(file, sizeof file) != sizeof file)
        return Refuse(Refusal::Truncated);
    if (file[0] != 'B' || file[1] != 'M')
        return Refuse(Refusal::BmpSignature);
    const ByteView f{file, sizeof file, false};
    m_fileHeader.bfType = f.U16(0);
    m_fileHeader.bfSize = f.U32(2);
    m_fileHeader.bfReserved1 = f.U16(6);
    m_fileHeader.bfReserved2 = f.U16(8);
    m_fileHeader.bfOffBits = f.U32(10);
    if (!ReadInfoHeader())
        return 0;

    const uint32_t size = m_infoHeader.biSize;
    const uint32_t compression = m_infoHeader.biCompression;
    const uint16_t bits = m_infoHeader.biBitCount;
    // OS/2 2.x numbers its codings differently: 3 is Huffman, 4 is 24-bit
    // run-length; neither is read.
    if (IsOs2Header(size) && (compression == kBitfields || compression == kJpeg))
        return Refuse(Refusal::UnsupportedCompression);
    if (compression == kJpeg || compression == kPng)
        return Refuse(Refusal::BmpEmbeddedImage);
    switch (bits) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    case 2:
    case 64:
        return Refuse(Refusal::UnsupportedDepth);
    default:
        return Refuse(Refusal::BmpBitCount);
    }
    switch (compression) {
    case kRgb:
        break;
    case kRle8:
    case kRle4:
        if (bits != (compression == kRle8 ? 8 : 4))
            return Refuse(Refusal::BmpCompressionDepth);
        m_bRle = true;
        break;
    case kBitfields:
    case kAlphaBitfields:
        if (bits != 16 && bits != 32)
            return Refuse(Refusal::BmpCompressionDepth);
        break;
    default:
        return Refuse(Refusal::UnsupportedCompression);
    }
    m_bMasked = bits == 16 || bits == 32;

    // A negative height stores the rows top row first.
    const int32_t height = m_infoHeader.biHeight;
    if (m_infoHeader.biWidth == 0 || height == 0)
        return Refuse(Refusal::EmptyPicture);
    if (m_infoHeader.biWidth < 0 || height == INT32_MIN)
        return Refuse(Refusal::BmpBadSize);
    // Run-length rows stored top row first are read as ImageMagick, libvips
    // and Pillow read them: the stream walks the rows in stored order.
    m_bTopDown = height < 0;
    m_nWidth = static_cast<uint32_t>(m_infoHeader.biWidth);
    m_nHeight = static_cast<uint32_t>(height < 0 ? -height : height);
    m_fXRes = PelsPerInch(m_infoHeader.biXPelsPerMeter);
    m_fYRes = PelsPerInch(m_infoHeader.biYPelsPerMeter);
    m_nBitsPerPixel = bits;

    m_nPaletteSize = 0;
    m_nColorMode = COLOR_RGB;
    if (bits == 1) {
        m_nPaletteSize = 2;
        m_nColorMode = COLOR_BILEVEL;
    } else if (bits == 4 || bits == 8) {
        m_nPaletteSize = bits == 4 ? 16 : 256;
        m_nColorMode = COLOR_INDEXED;
    }

    if (m_nPaletteSize != 0) {
        // The palette follows the information header, whose size grows with
        // the header version.
        const uint64_t at = static_cast<uint64_t>(kFileHeaderBytes) + size;
        if (!ReadPalette(at, size == kCoreHeaderBytes ? 3 : 4))
            return 0;
        m_nBitsPerSample = bits;
        m_nSamplesPerPixel = 1;
    } else {
        if (m_bMasked && !ReadMasks())
            return 0;
        m_nBitsPerSample = 8;
        m_nSamplesPerPixel = 3;
    }
    if (m_bRle) {
        // Decoded rows are blue, green, red: pixels the stream never sets
        // are black, which no palette index can say.
        m_nColorMode = COLOR_RGB;
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
    if (m_bRle) {
        // Counted in pixels: rows are not padded, RLE4 runs set as many
        // pixels as RLE8 ones.
        bounds.bitsPerPixel = 8;
        bounds.rowAlignment = 1;
        bounds.expansion = kRleExpansion;
    }
    bounds.fullSize = m_bFullSize != 0;
    const Refusal why = CheckPictureBounds(bounds);
    if (why != Refusal::None)
        return Refuse(why);

    return MakePlanesPreview(width, height, bits);
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
    return m_bRle ? ReadRunLengthRows(h, planes) : ReadStoredRows(h, planes);
}

void CBmpIo::MaskedRowToBgr(const unsigned char* row, unsigned char* out)
{
    // Each channel scaled from its own range to 0-255, truncating.
    const bool wide = m_infoHeader.biBitCount == 32;
    for (uint32_t j : SampledColumns()) {
        const uint32_t pixel = wide ? LoadLE32(row + 4 * static_cast<size_t>(j)) : LoadLE16(row + 2 * static_cast<size_t>(j));
        unsigned char* px = out + 3 * static_cast<size_t>(j);
        for (int k = 0; k < 3; ++k) {
            const uint64_t value = (pixel & m_nMask[k]) >> m_nShift[k];
            px[2 - k] = m_nMaxValue[k] == 0 ? 0 : static_cast<unsigned char>(value * 255 / m_nMaxValue[k]);
        }
    }
}

int CBmpIo::ReadStoredRows(uint32_t h, unsigned char* const* planes)
{
    const uint64_t rowBytes = StoredRowBytes(m_nWidth, m_infoHeader.biBitCount, 4);
    uint32_t sampled = 0;
    if (rowBytes > UINT32_MAX || !SourceRowBytes(&sampled) || (!m_bMasked && sampled > rowBytes))
        return Refuse(Refusal::PictureTooLarge);
    const uint32_t f = static_cast<uint32_t>(rowBytes);
    ImageBlock<> row;
    if (!row.Alloc(f, 1))
        return Refuse(Refusal::OutOfMemory);
    // 16- and 32-bit rows are turned into blue, green, red first.
    ImageBlock<> bgr;
    if (m_bMasked && !bgr.Alloc(sampled, 1))
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
        const unsigned char* source = row.get();
        if (m_bMasked) {
            MaskedRowToBgr(source, bgr.get());
            source = bgr.get();
        }
        SampleRow(m_bTopDown ? i : h - 1 - i, source, planes);
    }
    // Rows past the end of the file (and any the rule found no row for) are
    // the last in stored order.
    if (m_bTopDown)
        MarkRowsMissing(i, h);
    else
        MarkRowsMissing(0, h - i);
    return 1;
}

int CBmpIo::ReadRunLengthRows(uint32_t h, unsigned char* const* planes)
{
    const uint32_t width = m_nWidth;
    if (width > UINT32_MAX / 3)
        return Refuse(Refusal::PictureTooLarge);
    const uint32_t lineBytes = 3 * width;
    ImageBlock<> line;
    ImageBlock<> chunk;
    if (!line.Alloc(lineBytes, 1) || !chunk.Alloc(kRleChunk, 1))
        return Refuse(Refusal::OutOfMemory);
    unsigned char* out = line.get();

    // Blue, green, red of every index; indices past the palette are black.
    unsigned char colour[256][3] = {};
    for (uint32_t k = 0; k < m_nPaletteSize && k < 256 && m_pPalette != nullptr; ++k)
        std::memcpy(colour[k], m_pPalette + 4 * k, 3);

    const std::vector<uint32_t> rows = FirstMatchIndices(m_nHeight, h);
    const uint64_t length = m_file.GetLength();
    const uint64_t start = m_fileHeader.bfOffBits;
    ByteSource stream(m_file, chunk.get(), kRleChunk, start, length);
    const bool rle4 = m_infoHeader.biCompression == kRle4;

    // The stream walks stored rows y in stored order; only the rows the
    // preview takes are written, each starting black.
    uint32_t y = 0;
    uint32_t x = 0;
    size_t i = 0;  // next preview row
    // Preview row (from the top) of the i-th row taken.
    const auto previewRow = [&](size_t k) {
        return m_bTopDown ? static_cast<uint32_t>(k) : h - 1 - static_cast<uint32_t>(k);
    };
    bool wanted = !rows.empty() && rows[0] == 0;
    const uint32_t last = rows.empty() ? 0 : rows.back();
    const auto endRow = [&]() {
        if (wanted) {
            SampleRow(previewRow(i), out, planes);
            ++i;
        }
        ++y;
        x = 0;
        wanted = i < rows.size() && rows[i] == y;
        if (wanted)
            std::memset(out, 0, lineBytes);
    };
    if (wanted)
        std::memset(out, 0, lineBytes);
    const auto put = [&](unsigned index) {
        if (wanted)
            std::memcpy(out + 3 * static_cast<size_t>(x), colour[index], 3);
        ++x;
    };

    bool finished = false;  // end of bitmap, or past the last row
    while (!rows.empty()) {
        if (y > last || y >= m_nHeight) {
            finished = true;
            break;
        }
        const int count = stream.Next();
        const int code = stream.Next();
        if (count < 0 || code < 0)
            break;
        if (count > 0) {
            // A run of one index (RLE4: two alternating), clipped to the row.
            const uint32_t n = static_cast<uint32_t>(count) < width - x ? static_cast<uint32_t>(count) : width - x;
            for (uint32_t k = 0; k < n; ++k)
                put(rle4 ? ((k & 1) ? (code & 0x0F) : (code >> 4)) : static_cast<unsigned>(code));
            continue;
        }
        if (code == 0) {
            endRow();
        } else if (code == 1) {
            finished = true;
            break;
        } else if (code == 2) {
            // Move right and up; what is passed over stays black.
            const int dx = stream.Next();
            const int dy = stream.Next();
            if (dx < 0 || dy < 0)
                break;
            const uint64_t to = static_cast<uint64_t>(x) + static_cast<uint64_t>(dx);
            for (int k = 0; k < dy && y <= last; ++k)
                endRow();
            x = to < width ? static_cast<uint32_t>(to) : width;
        } else {
            // Absolute: `code` indices, padded to a whole 16-bit word.
            const uint32_t n = static_cast<uint32_t>(code);
            const uint32_t bytes = rle4 ? (n + 1) / 2 : n;
            bool cut = false;
            for (uint32_t k = 0; k < bytes; ++k) {
                const int b = stream.Next();
                if (b < 0) {
                    cut = true;
                    break;
                }
                if (rle4) {
                    if (x < width)
                        put(static_cast<unsigned>(b) >> 4);
                    if (2 * k + 1 < n && x < width)
                        put(static_cast<unsigned>(b) & 0x0F);
                } else if (x < width) {
                    put(static_cast<unsigned>(b));
                }
            }
            if (cut)
                break;
            if (bytes & 1)
                stream.Next();
        }
    }
    // The last row the stream reached keeps what it set; a stream that ends
    // before its picture does is complete only when that row is full.
    const bool complete = finished || y >= m_nHeight || (y + 1 == m_nHeight && x >= width);
    if (!complete && m_bFullSize != 0)
        return Refuse(Refusal::RowsMissing);
    if (wanted && y < m_nHeight)
        endRow();
    // Rows the stream never reached are black.
    if (i < rows.size())
        std::memset(out, 0, lineBytes);
    for (; i < rows.size(); ++i)
        SampleRow(previewRow(i), out, planes);
    // The rule may find fewer rows than the preview has: those show black.
    if (m_bTopDown)
        MarkRowsMissing(static_cast<uint32_t>(rows.size()), h);
    else
        MarkRowsMissing(0, h - static_cast<uint32_t>(rows.size()));
    return 1;
}
