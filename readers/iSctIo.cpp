#include "iSctIo.h"

#include "PictureBounds.h"
#include "RowsFromFile.h"

#include <charconv>
#include <cmath>
#include <string>

namespace {

constexpr uint32_t kHeaderBytes = 2048;
constexpr uint32_t kFieldsEnd = 1080;  // the last text field ends here

bool IsBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Passes over leading white space and an optional sign at *i, as atof and
// atoi do; true when the sign is a minus.
bool SkipBlanksAndSign(const unsigned char* field, size_t size, size_t* i)
{
    while (*i < size && IsBlank(field[*i]))
        ++*i;
    if (*i < size && (field[*i] == '+' || field[*i] == '-'))
        return field[(*i)++] == '-';
    return false;
}

// Pixels per inch from a pixel count and a size in inches; 72 when the size
// gives no finite, positive resolution.
float Resolution(uint32_t pixels, double inches)
{
    if (!(inches > 0) || !std::isfinite(inches))
        return 72.0f;
    const double r = static_cast<double>(pixels) / inches;
    if (!(r > 0) || !(r <= 3.0e38))
        return 72.0f;
    return static_cast<float>(r);
}

}  // namespace

double ParseSctDecimal(const unsigned char* field, size_t size)
{
    size_t i = 0;
    const bool negative = SkipBlanksAndSign(field, size, &i);
    const char* first = reinterpret_cast<const char*>(field) + i;
    const char* last = reinterpret_cast<const char*>(field) + size;
    // A number ends at the first byte that cannot continue it; a NUL inside
    // the field ends it too.
    const char* end = first;
    while (end < last && *end != '\0')
        ++end;
    double value = 0;
    const std::from_chars_result r = std::from_chars(first, end, value, std::chars_format::general);
    if (r.ec != std::errc())
        return 0;
    return negative ? -value : value;
}

int64_t ParseSctCount(const unsigned char* field, size_t size)
{
    size_t i = 0;
    const bool negative = SkipBlanksAndSign(field, size, &i);
    int64_t value = 0;
    for (; i < size && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = value * 10 + (field[i] - '0');
        if (value > UINT32_MAX)
            return static_cast<int64_t>(UINT32_MAX) + 1;
    }
    return negative && value != 0 ? -1 : value;
}

CSctIo::CSctIo(const char* path) { m_pszPath = path; }

uint64_t CSctIo::ScanLineBytes() const
{
    const uint64_t row = static_cast<uint64_t>(m_nWidth) + (m_nWidth & 1);
    return row * m_nSamplesPerPixel;
}

int CSctIo::ReadHeader()
{
    unsigned char head[kFieldsEnd];
    const uint32_t got = m_file.Read(head, sizeof head);
    if (got < 82 || head[80] != 'C' || head[81] != 'T')
        return Refuse(Refusal::SctSignature);
    if (got != sizeof head)
        return Refuse(Refusal::Truncated);

    m_nUnits = head[1024];
    if (!ColourModeOfSamples(head[1025], &m_nColorMode))
        return Refuse(Refusal::SctSeparations);
    m_nSamplesPerPixel = head[1025];
    m_nChannels = head[1025];

    double physicalHeight = ParseSctDecimal(head + 1028, 14);
    double physicalWidth = ParseSctDecimal(head + 1042, 14);
    const int64_t height = ParseSctCount(head + 1056, 12);
    const int64_t width = ParseSctCount(head + 1068, 12);
    if (width <= 0 || height <= 0)
        return Refuse(Refusal::EmptyPicture);
    if (width > UINT32_MAX || height > UINT32_MAX)
        return Refuse(Refusal::PictureTooLarge);
    m_nWidth = static_cast<uint32_t>(width);
    m_nHeight = static_cast<uint32_t>(height);

    // Units byte 0: the physical size is in millimetres.
    if (m_nUnits == 0) {
        physicalWidth /= 25.4;
        physicalHeight /= 25.4;
    }
    m_fXRes = Resolution(m_nWidth, physicalWidth);
    m_fYRes = Resolution(m_nHeight, physicalHeight);
    m_nBitsPerPixel = 8;
    m_nBitsPerSample = 8;
    m_nPaletteSize = 0;
    m_bPlanar = 1;
    m_nRowBytes = static_cast<int32_t>(AlignedRowBytes(m_nWidth * 8));
    return 1;
}

int CSctIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    const uint64_t length = m_file.GetLength();
    PictureBounds bounds;
    // Each separation's row is padded to even length.
    bounds.width = m_nWidth + (m_nWidth & 1);
    if (bounds.width < m_nWidth)
        return Refuse(Refusal::PictureTooLarge);
    bounds.height = m_nHeight;
    bounds.bitsPerPixel = 8u * m_nSamplesPerPixel;
    bounds.dataBytes = length > kHeaderBytes ? length - kHeaderBytes : 0;
    return MakeRowsPreview(bounds, width, height, bits);
}

int CSctIo::ReadPreviewRows(unsigned char* const* planes)
{
    const uint64_t lineBytes = ScanLineBytes();
    if (lineBytes == 0 || lineBytes > UINT32_MAX)
        return Refuse(Refusal::PictureTooLarge);
    const uint32_t line = static_cast<uint32_t>(lineBytes);
    const uint32_t rowStride = m_nWidth + (m_nWidth & 1);
    ImageBlock<> buffer;
    if (!buffer.Alloc(line, 1))
        return Refuse(Refusal::OutOfMemory);

    const std::vector<uint32_t> rows = FirstMatchIndices(m_nHeight, m_nDibHeight);
    const std::vector<uint32_t> columns = FirstMatchIndices(m_nWidth, m_nDibWidth);
    const size_t planeRow = PlaneRowBytes();
    const bool invert = m_nColorMode == COLOR_CMYK;
    const uint64_t length = m_file.GetLength();
    uint64_t position = UINT64_MAX;
    uint32_t i = 0;
    for (; i < rows.size(); ++i) {
        // Scan lines between the chosen ones are passed over.
        const uint64_t at = kHeaderBytes + static_cast<uint64_t>(rows[i]) * line;
        if (!ReadStoredBytes(m_file, length, at, line, buffer.get(), &position))
            break;
        for (uint32_t k = 0; k < m_nChannels; ++k) {
            const unsigned char* in = buffer.get() + static_cast<size_t>(k) * rowStride;
            unsigned char* out = planes[k] + i * planeRow;
            // CMYK separations are stored with 255 meaning no ink.
            if (invert) {
                for (size_t c = 0; c < columns.size(); ++c)
                    out[c] = static_cast<unsigned char>(255 - in[columns[c]]);
            } else {
                for (size_t c = 0; c < columns.size(); ++c)
                    out[c] = in[columns[c]];
            }
        }
    }
    MarkRowsMissing(i, m_nDibHeight);
    return 1;
}
