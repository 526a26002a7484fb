#include "iPsdIo.h"

#include "ByteOrder.h"
#include "ByteSource.h"
#include "PictureBounds.h"
#include "TiffDecoders.h"

#include <cmath>
#include <cstring>

namespace {

constexpr uint32_t kHeaderBytes = 26;
constexpr uint32_t kColourTableBytes = 768;
constexpr uint16_t kResolutionResource = 1005;
// Read-ahead of the in-order PackBits decoder.
constexpr uint32_t kStreamBuffer = 64 * 1024;

constexpr uint16_t kDuotoneMode = 8;
constexpr uint16_t kLabMode = 9;

// Planes each colour mode is previewed from, and its ColorMode.
struct ModeInfo {
    int32_t colorMode;
    uint32_t channels;
};
ModeInfo ModeOf(uint16_t mode)
{
    switch (mode) {
    case 0: return {COLOR_BILEVEL, 1};
    case 1: return {COLOR_GREY, 1};
    case 2: return {COLOR_INDEXED, 1};
    case 3: return {COLOR_RGB, 3};
    case 4: return {COLOR_CMYK, 4};
    case 7: return {COLOR_CHANNEL, 1};
    case kDuotoneMode: return {COLOR_GREY, 1};  // the composite is the grey channel
    case kLabMode: return {COLOR_RGB, 3};       // converted to sRGB once read
    default: return {COLOR_NONE, 1};  // 5 and 6: no known arrangement, black
    }
}

// Bit depths a colour mode is read at: 1, 8 and 16 as before for the old
// modes; 32-bit floating point for grey and RGB (the only modes Photoshop
// keeps in 32 bits); Lab and duotone in 8 or 16 bits.
bool DepthFitsMode(uint16_t depth, uint16_t mode)
{
    if (depth == 32)
        return mode == 1 || mode == 3;
    if (mode == kDuotoneMode || mode == kLabMode)
        return depth == 8 || depth == 16;
    return true;
}

// A big-endian 32-bit floating-point sample as ImageMagick shows it: 0.0 to
// 1.0 scaled to 0-65535 and rounded (below 0 and NaN are 0, above 1 is
// 65535), then divided by 257 and rounded down.
unsigned char FloatSample(const unsigned char* p)
{
    const uint32_t word = LoadBE32(p);
    float f;
    std::memcpy(&f, &word, sizeof f);
    const double q = static_cast<double>(f) * 65535.0;
    if (!(q > 0.0))
        return 0;
    if (q >= 65535.0)
        return 255;
    return static_cast<unsigned char>(static_cast<uint32_t>(q + 0.5) / 257);
}

// CIE Lab (D50 white, as Photoshop keeps it) to sRGB: Lab to XYZ, Bradford
// adaptation to D65 folded into the XYZ to linear sRGB matrix, then the sRGB
// transfer curve rounded to 8 bits.
class LabToSrgb {
public:
    LabToSrgb()
    {
        for (int v = 0; v < 256; ++v) {
            m_fy[v] = (v * (100.0 / 255.0) + 16.0) / 116.0;
            m_y[v] = Cube(m_fy[v]);
            m_a[v] = (v - 128) / 500.0;
            m_b[v] = (v - 128) / 200.0;
        }
        // Linear value at which each 8-bit code begins (code k from the
        // midpoint between k - 1 and k): encoding finds the last one passed.
        for (int k = 1; k < 256; ++k) {
            const double v = (k - 0.5) / 255.0;
            m_step[k - 1] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        }
        m_step[255] = 2.0;  // past every value Encode looks up
        // The code at the start of each of kBins equal bins of 0-1, where
        // Encode begins its search (no bin holds more than two steps).
        for (int i = 0, code = 0; i < kBins; ++i) {
            while (code < 255 && m_step[code] <= static_cast<double>(i) / kBins)
                ++code;
            m_binCode[i] = static_cast<unsigned char>(code);
        }
    }
    // L 0-255 for 0-100; a and b 0-255 for -128 to 127.
    void Convert(unsigned char l, unsigned char a, unsigned char b, unsigned char* rgb) const
    {
        const double x = 0.9642 * Cube(m_fy[l] + m_a[a]);
        const double y = m_y[l];
        const double z = 0.8249 * Cube(m_fy[l] - m_b[b]);
        rgb[0] = Encode(3.1337825816 * x - 1.6168778049 * y - 0.4906235426 * z);
        rgb[1] = Encode(-0.9787618149 * x + 1.9161365359 * y + 0.0334411518 * z);
        rgb[2] = Encode(0.0719669539 * x - 0.2290270873 * y + 1.4057904599 * z);
    }

private:
    static constexpr int kBins = 4096;
    // The inverse of the Lab companding function.
    static double Cube(double t)
    {
        constexpr double delta = 6.0 / 29.0;
        return t > delta ? t * t * t : 3.0 * delta * delta * (t - 4.0 / 29.0);
    }
    unsigned char Encode(double linear) const
    {
        if (!(linear > 0.0))
            return 0;
        if (linear >= 1.0)
            return 255;
        unsigned code = m_binCode[static_cast<int>(linear * kBins)];
        while (m_step[code] <= linear)
            ++code;
        return static_cast<unsigned char>(code);
    }
    double m_fy[256], m_y[256], m_a[256], m_b[256];
    double m_step[256];
    unsigned char m_binCode[kBins];
};

// Bytes of a PackBits stream held in memory.
struct MemorySource {
    const unsigned char* data;
    uint32_t size;
    uint32_t at = 0;
    int Next() { return at < size ? data[at++] : -1; }
    size_t Take(unsigned char* out, size_t count)
    {
        const size_t left = at < size ? size - at : 0;
        const size_t n = count < left ? count : left;
        std::memcpy(out, data + at, n);
        at += static_cast<uint32_t>(n);
        return n;
    }
};


}  // namespace

CPsdIo::CPsdIo(const char* path) { m_pszPath = path; }

uint64_t CPsdIo::StoredRowBytes() const { return (static_cast<uint64_t>(m_nDepth) * m_nWidth + 7) / 8; }

int CPsdIo::ReadHeader()
{
    unsigned char h[kHeaderBytes] = {};
    if (m_file.Read(h, sizeof h) != sizeof h)
        return Refuse(std::memcmp(h, "8BPS", 4) == 0 ? Refusal::Truncated : Refusal::PsdSignature);
    if (std::memcmp(h, "8BPS", 4) != 0)
        return Refuse(Refusal::PsdSignature);
    // Version 2 is the large-document layout, whose fields are wider.
    if (LoadBE16(h + 4) != 1)
        return Refuse(Refusal::PsdVersion);
    const uint16_t channels = LoadBE16(h + 12);
    m_nHeight = LoadBE32(h + 14);
    m_nWidth = LoadBE32(h + 18);
    m_nDepth = LoadBE16(h + 22);
    m_nMode = LoadBE16(h + 24);
    if (m_nDepth != 1 && m_nDepth != 8 && m_nDepth != 16 && m_nDepth != 32)
        return Refuse(Refusal::UnsupportedDepth);
    if (m_nMode > kLabMode)
        return Refuse(Refusal::PsdMode);
    if (!DepthFitsMode(m_nDepth, m_nMode))
        return Refuse(Refusal::UnsupportedDepth);
    if (m_nWidth == 0 || m_nHeight == 0)
        return Refuse(Refusal::EmptyPicture);
    const ModeInfo mode = ModeOf(m_nMode);
    // Planes past the file's channels would be read from the next section.
    if (channels < mode.channels)
        return Refuse(Refusal::PsdTooFewChannels);

    const uint64_t length = m_file.GetLength();
    unsigned char word[4];
    if (m_file.Read(word, 4) != 4)
        return Refuse(Refusal::Truncated);
    const uint32_t colourBytes = LoadBE32(word);
    if (m_nMode == kDuotoneMode) {
        // The duotone inks and curves: the preview shows the grey channel
        // as it is stored, as ImageMagick and Pillow do.
        if (colourBytes > length - m_file.GetPosition())
            return Refuse(Refusal::Truncated);
        m_file.Seek(static_cast<int64_t>(colourBytes), CFile::current);
    } else if (colourBytes != 0 && colourBytes != kColourTableBytes) {
        return Refuse(Refusal::PsdColourData);
    }
    // Indices without the table carry no colour; a made-up ramp would show a
    // plausible but wrong picture.
    if (m_nMode == 2 && colourBytes == 0)
        return Refuse(Refusal::PsdNoColourTable);
    if (colourBytes == kColourTableBytes && m_nMode != kDuotoneMode) {
        unsigned char table[kColourTableBytes];
        if (m_file.Read(table, sizeof table) != sizeof table)
            return Refuse(Refusal::Truncated);
        ImageFree(&m_pPalette);
        m_pPalette = static_cast<unsigned char*>(ImageAlloc(256 * 4, 0));
        if (m_pPalette == nullptr)
            return Refuse(Refusal::OutOfMemory);
        for (uint32_t i = 0; i < 256; ++i) {
            m_pPalette[4 * i] = table[512 + i];
            m_pPalette[4 * i + 1] = table[256 + i];
            m_pPalette[4 * i + 2] = table[i];
        }
        m_nPaletteSize = 256;
    }

    if (m_file.Read(word, 4) != 4)
        return Refuse(Refusal::Truncated);
    m_nResourceStart = m_file.GetPosition();
    m_nResourceEnd = m_nResourceStart + LoadBE32(word);
    if (m_nResourceEnd > length)
        return Refuse(Refusal::Truncated);
    m_file.Seek(static_cast<int64_t>(m_nResourceEnd), CFile::begin);
    if (m_file.Read(word, 4) != 4)
        return Refuse(Refusal::Truncated);
    const uint64_t compressionAt = m_nResourceEnd + 4 + LoadBE32(word);
    if (compressionAt > length || length - compressionAt < 2)
        return Refuse(Refusal::Truncated);
    m_file.Seek(static_cast<int64_t>(compressionAt), CFile::begin);
    if (m_file.Read(word, 2) != 2)
        return Refuse(Refusal::Truncated);
    m_nCompression = LoadBE16(word);
    m_nDataStart = compressionAt + 2;

    ReadResolution();

    m_nColorMode = mode.colorMode;
    m_nChannels = mode.channels;
    m_nSamplesPerPixel = channels;
    m_nBitsPerPixel = 8;
    m_nBitsPerSample = 8;
    m_bPlanar = 1;
    if (m_nColorMode == COLOR_BILEVEL && m_pPalette == nullptr) {
        // Bitmap pictures store 1 for black.
        m_pPalette = static_cast<unsigned char*>(ImageAlloc(2 * 4, 0));
        if (m_pPalette == nullptr)
            return Refuse(Refusal::OutOfMemory);
        std::memset(m_pPalette, 255, 3);
        m_nPaletteSize = 2;
    }
    return 1;
}

void CPsdIo::ReadResolution()
{
    m_fXRes = m_fYRes = 72.0f;
    uint64_t at = m_nResourceStart;
    // Every block takes at least 12 bytes, so the walk ends.
    while (at < m_nResourceEnd && m_nResourceEnd - at >= 12) {
        unsigned char head[7];
        m_file.Seek(static_cast<int64_t>(at), CFile::begin);
        if (m_file.Read(head, sizeof head) != sizeof head || std::memcmp(head, "8BIM", 4) != 0)
            return;
        const uint16_t id = LoadBE16(head + 4);
        // The name, with its length byte, is padded to an even length.
        const uint32_t nameLength = head[6];
        const uint64_t sizeAt = at + 4 + 2 + ((1 + nameLength + 1) & ~1u);
        if (sizeAt + 4 > m_nResourceEnd)
            return;
        unsigned char size[4];
        m_file.Seek(static_cast<int64_t>(sizeAt), CFile::begin);
        if (m_file.Read(size, 4) != 4)
            return;
        const uint64_t dataSize = LoadBE32(size);
        if (id == kResolutionResource) {
            unsigned char fixed[4];
            if (dataSize < 4 || m_file.Read(fixed, 4) != 4)
                return;
            // 16.16 fixed point, always in pixels per inch whatever unit the
            // block names for display.  Writers put 0 (ImageMagick 0 + 1/65535)
            // when they know no resolution: less than one pixel per inch
            // counts as none.
            const double value = LoadBE16(fixed) + LoadBE16(fixed + 2) / 65535.0;
            if (value >= 1.0)
                m_fXRes = m_fYRes = static_cast<float>(value);
            return;
        }
        at = sizeAt + 4 + dataSize + (dataSize & 1);
    }
}

int CPsdIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    if (m_nCompression != 0 && m_nCompression != 1)
        return Refuse(Refusal::UnsupportedCompression);  // ZIP data is not PackBits
    const uint64_t length = m_file.GetLength();
    uint64_t data = length > m_nDataStart ? length - m_nDataStart : 0;
    if (m_nCompression == 1) {
        const uint64_t table = 2ull * m_nSamplesPerPixel * m_nHeight;
        data = data > table ? data - table : 0;
    }
    PictureBounds bounds;
    bounds.width = m_nWidth;
    bounds.height = m_nHeight;
    bounds.bitsPerPixel = static_cast<uint32_t>(m_nDepth) * m_nSamplesPerPixel;
    bounds.dataBytes = data;
    bounds.expansion = m_nCompression == 1 ? PACKBITS_MOST_EXPANSION : 1;
    bounds.fullSize = m_bFullSize != 0;
    const Refusal fits = CheckPictureBounds(bounds);
    if (fits != Refusal::None)
        return Refuse(fits);
    if (StoredRowBytes() > UINT32_MAX)
        return Refuse(Refusal::PictureTooLarge);

    m_vMissing.clear();
    if (!MakePlanesPreview(width, height, bits)) {
        *bits = nullptr;
        return Refuse(Refusal::OutOfMemory);
    }
    return 1;
}

void CPsdIo::TakeRow(uint32_t channel, uint32_t row, const unsigned char* stored,
                     unsigned char* const* planes) const
{
    unsigned char* out = planes[channel] + static_cast<size_t>(row) * PlaneRowBytes();
    // CMYK is stored inverted (0 is full ink).
    const unsigned char flip = m_nColorMode == COLOR_CMYK ? 0xFF : 0x00;
    const size_t count = m_vTakeColumns.size();
    switch (m_nDepth) {
    case 1:
        for (size_t l = 0; l < count; ++l) {
            const uint32_t m = m_vTakeColumns[l];
            out[l] = static_cast<unsigned char>(((stored[m >> 3] >> (7 - (m & 7))) & 1) ^ flip);
        }
        break;
    case 16:
        if (m_nMode == kLabMode) {
            // Rounded to the nearest 8-bit code (16-bit Lab is the 8-bit
            // code times 257), so 8- and 16-bit files convert alike.
            for (size_t l = 0; l < count; ++l) {
                const uint32_t v = LoadBE16(stored + 2 * static_cast<size_t>(m_vTakeColumns[l]));
                out[l] = static_cast<unsigned char>((v * 255 + 32767) / 65535);
            }
            break;
        }
        // The high byte of each big-endian sample.
        for (size_t l = 0; l < count; ++l)
            out[l] = stored[2 * static_cast<size_t>(m_vTakeColumns[l])] ^ flip;
        break;
    case 32:
        for (size_t l = 0; l < count; ++l)
            out[l] = FloatSample(stored + 4 * static_cast<size_t>(m_vTakeColumns[l]));
        break;
    default:
        for (size_t l = 0; l < count; ++l)
            out[l] = stored[m_vTakeColumns[l]] ^ flip;
        break;
    }
}

int CPsdIo::ReadPreviewRows(unsigned char* const* planes)
{
    m_vTakeRows = FirstMatchIndices(m_nHeight, m_nDibHeight);
    m_vTakeColumns = FirstMatchIndices(m_nWidth, m_nDibWidth);
    m_bUsedRowTable = false;
    int ok = 0;
    if (m_nCompression == 0) {
        ok = ReadRawRows(planes);
    } else {
        ok = ReadPackBitsByTable(planes);
        if (ok < 0)
            ok = ReadPackBitsInOrder(planes);
    }
    // A row is missing when any of its channels is: it shows black whatever
    // a zero plane value stands for.
    if (ok == 1)
        for (uint32_t i = 0; i < m_vMissing.size(); ++i)
            if (m_vMissing[i] != 0)
                MarkRowsMissing(i, i + 1);
    if (ok == 1 && m_nMode == kLabMode)
        LabPlanesToRgb(planes);
    return ok;
}

void CPsdIo::LabPlanesToRgb(unsigned char* const* planes) const
{
    static const LabToSrgb convert;
    const uint32_t stride = PlaneRowBytes();
    for (uint32_t y = 0; y < m_nDibHeight; ++y) {
        const size_t row = static_cast<size_t>(y) * stride;
        unsigned char* l = planes[0] + row;
        unsigned char* a = planes[1] + row;
        unsigned char* b = planes[2] + row;
        for (uint32_t x = 0; x < m_nDibWidth; ++x) {
            unsigned char rgb[3];
            convert.Convert(l[x], a[x], b[x], rgb);
            l[x] = rgb[0];
            a[x] = rgb[1];
            b[x] = rgb[2];
        }
    }
}

int CPsdIo::ReadRawRows(unsigned char* const* planes)
{
    const uint32_t d = static_cast<uint32_t>(StoredRowBytes());
    ImageBlock<> row;
    if (!row.Alloc(d, 0))
        return 0;
    // Preview rows the sampling rule found no stored row for stay missing.
    m_vMissing.assign(m_nDibHeight, 1);
    const uint64_t length = m_file.GetLength();
    const uint32_t taken = static_cast<uint32_t>(m_vTakeRows.size());
    for (uint32_t i = 0; i < taken; ++i)
        m_vMissing[i] = 0;
    uint64_t position = UINT64_MAX;
    for (uint32_t c = 0; c < m_nChannels; ++c) {
        for (uint32_t i = 0; i < taken; ++i) {
            const uint64_t at = m_nDataStart + (static_cast<uint64_t>(c) * m_nHeight + m_vTakeRows[i]) * d;
            if (at > length || d > length - at) {
                m_vMissing[i] = 1;
                continue;
            }
            if (at != position)
                m_file.Seek(static_cast<int64_t>(at), CFile::begin);
            position = UINT64_MAX;
            if (m_file.Read(row.get(), d) != d) {
                m_vMissing[i] = 1;
                continue;
            }
            position = at + d;
            TakeRow(c, i, row.get(), planes);
        }
    }
    return 1;
}

int CPsdIo::ReadPackBitsByTable(unsigned char* const* planes)
{
    const uint64_t length = m_file.GetLength();
    const uint64_t tableBytes = 2ull * m_nSamplesPerPixel * m_nHeight;
    const uint64_t usedBytes = 2ull * m_nChannels * m_nHeight;
    if (m_nDataStart > length || tableBytes > length - m_nDataStart || usedBytes > UINT32_MAX)
        return -1;
    ImageBlock<> table;
    if (!table.Alloc(static_cast<uint32_t>(usedBytes), 0))
        return 0;
    m_file.Seek(static_cast<int64_t>(m_nDataStart), CFile::begin);
    if (m_file.Read(table.get(), static_cast<uint32_t>(usedBytes)) != usedBytes)
        return -1;

    // Where each needed row starts, from the running sum of the counts; a
    // count too small for any row, or a sum past the file, means the table
    // does not describe the data.
    const uint32_t taken = static_cast<uint32_t>(m_vTakeRows.size());
    struct Span {
        uint64_t at;
        uint32_t count;
    };
    std::vector<Span> spans;
    spans.reserve(static_cast<size_t>(taken) * m_nChannels);
    uint64_t at = m_nDataStart + tableBytes;
    for (uint32_t c = 0; c < m_nChannels && taken != 0; ++c) {
        uint32_t next = 0;
        const unsigned char* counts = table.get() + 2ull * c * m_nHeight;
        // Rows past the last one needed in the last channel are not summed.
        const uint32_t end = c + 1 == m_nChannels ? m_vTakeRows[taken - 1] + 1 : m_nHeight;
        for (uint32_t k = 0; k < end; ++k) {
            const uint32_t count = LoadBE16(counts + 2ull * k);
            if (count < 2 || at + count > length)
                return -1;
            if (next < taken && m_vTakeRows[next] == k) {
                spans.push_back({at, count});
                ++next;
            }
            at += count;
        }
    }

    const uint32_t d = static_cast<uint32_t>(StoredRowBytes());
    ImageBlock<> packed;
    ImageBlock<> row;
    if (!packed.Alloc(0xFFFF, 0) || !row.Alloc(d, 0))
        return 0;
    m_vMissing.assign(m_nDibHeight, 1);
    for (uint32_t i = 0; i < taken; ++i)
        m_vMissing[i] = 0;
    uint64_t position = UINT64_MAX;
    for (uint32_t c = 0; c < m_nChannels; ++c) {
        for (uint32_t i = 0; i < taken; ++i) {
            const Span& span = spans[static_cast<size_t>(c) * taken + i];
            if (span.at != position)
                m_file.Seek(static_cast<int64_t>(span.at), CFile::begin);
            if (m_file.Read(packed.get(), span.count) != span.count)
                return -1;
            position = span.at + span.count;
            MemorySource src{packed.get(), span.count};
            if (UnpackPackBitsRow(src, row.get(), d) < d)
                return -1;  // the row needs more bytes than its count
            TakeRow(c, i, row.get(), planes);
        }
    }
    m_bUsedRowTable = true;
    return 1;
}

int CPsdIo::ReadPackBitsInOrder(unsigned char* const* planes)
{
    const uint32_t d = static_cast<uint32_t>(StoredRowBytes());
    ImageBlock<> buffer;
    ImageBlock<> row;
    if (!buffer.Alloc(kStreamBuffer, 0) || !row.Alloc(d, 0))
        return 0;
    const uint32_t taken = static_cast<uint32_t>(m_vTakeRows.size());
    m_vMissing.assign(m_nDibHeight, 1);
    const uint64_t length = m_file.GetLength();
    const uint64_t start = m_nDataStart + 2ull * m_nSamplesPerPixel * m_nHeight;
    if (start > length || taken == 0)
        return 1;
    // One stream through every channel; rows not needed are decoded and
    // dropped, and decoding stops after the last needed row.
    ByteSource src(m_file, buffer.get(), kStreamBuffer, start, length);
    std::vector<uint32_t> filled(taken, 0);
    bool ended = false;
    for (uint32_t c = 0; c < m_nChannels && !ended; ++c) {
        uint32_t next = 0;
        for (uint32_t k = 0; k < m_nHeight && next < taken; ++k) {
            if (UnpackPackBitsRow(src, row.get(), d) < d) {
                ended = true;
                break;
            }
            if (m_vTakeRows[next] == k) {
                TakeRow(c, next, row.get(), planes);
                ++filled[next];
                ++next;
            }
        }
    }
    // A row is there when every channel had it.
    for (uint32_t i = 0; i < taken; ++i)
        m_vMissing[i] = filled[i] == m_nChannels ? 0 : 1;
    return 1;
}
