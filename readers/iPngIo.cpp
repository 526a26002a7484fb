#include "iPngIo.h"

#include "PictureBounds.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <png.h>

// libpng reports errors by jumping back to the point set in ReadPngHeader or
// ReadPngRows (its default error function prints the message first).  Those
// functions hold nothing with a destructor: what a read holds lives in a
// plain PngRead record that ClosePng releases on every path.

namespace {

// Worst-case inflation of deflate data.
constexpr uint64_t kDeflateExpansion = 1032;

struct PngRead {
    FILE* stream;
    png_structp png;
    png_infop info;
    unsigned char* row;  // image-memory block
    // Preview rows sampled so far (kept here, in memory, so that the count
    // survives libpng's jump back on an error).
    uint32_t rowsSampled;
};

bool OpenPng(PngRead* r, const char* path)
{
    std::memset(r, 0, sizeof *r);
    r->stream = std::fopen(path, "rb");
    if (r->stream == nullptr)
        return false;
    r->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (r->png != nullptr)
        r->info = png_create_info_struct(r->png);
    return r->info != nullptr;
}

void ClosePng(PngRead* r)
{
    if (r->png != nullptr)
        png_destroy_read_struct(&r->png, r->info != nullptr ? &r->info : nullptr, nullptr);
    r->png = nullptr;
    r->info = nullptr;
    if (r->stream != nullptr)
        std::fclose(r->stream);
    r->stream = nullptr;
    ImageFree(&r->row);
}

struct PngHeader {
    png_uint_32 width;
    png_uint_32 height;
    int bitDepth;
    int colourType;
    int interlace;
    int channels;
    int paletteCount;
    png_color palette[256];
};

int ReadPngHeader(PngRead* r, PngHeader* h)
{
    if (setjmp(png_jmpbuf(r->png)))
        return 0;
    png_init_io(r->png, r->stream);
    png_read_info(r->png, r->info);
    png_get_IHDR(r->png, r->info, &h->width, &h->height, &h->bitDepth, &h->colourType, &h->interlace,
                 nullptr, nullptr);
    h->channels = png_get_channels(r->png, r->info);
    h->paletteCount = 0;
    png_colorp palette = nullptr;
    int count = 0;
    if (png_get_PLTE(r->png, r->info, &palette, &count) != 0 && palette != nullptr) {
        h->paletteCount = count < 0 ? 0 : count > 256 ? 256 : count;
        std::memcpy(h->palette, palette, sizeof(png_color) * h->paletteCount);
    }
    return 1;
}

// What ReadPngRows samples, and where it puts it.
struct PngPlan {
    png_uint_32 width;  // as ReadHeader saw them
    png_uint_32 height;
    int bitDepth;
    int colourType;
    uint32_t divisor;
    uint32_t dw;
    uint32_t dh;
    uint32_t planeCount;
    unsigned char* const* planes;
    size_t planeRow;
};

enum PngRowsResult { kRowsDone = 1, kLibraryError = 0, kNoMemory = -1, kChanged = -2 };

// kLibraryError also when the data breaks off part-way: r->rowsSampled
// then says how many preview rows came before the damage.
int ReadPngRows(PngRead* r, const PngPlan* p)
{
    if (setjmp(png_jmpbuf(r->png)))
        return kLibraryError;
    png_init_io(r->png, r->stream);
    png_read_info(r->png, r->info);
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0, interlace = 0;
    png_get_IHDR(r->png, r->info, &width, &height, &bitDepth, &colourType, &interlace, nullptr, nullptr);
    if (width != p->width || height != p->height || bitDepth != p->bitDepth || colourType != p->colourType)
        return kChanged;

    // One byte per sample: 16-bit samples keep their high byte, grey of 1, 2
    // or 4 bits is scaled to 0-255, palette indices are unpacked.
    if (bitDepth == 16)
        png_set_strip_16(r->png);
    if (bitDepth < 8) {
        if (colourType == PNG_COLOR_TYPE_GRAY)
            png_set_expand_gray_1_2_4_to_8(r->png);
        else
            png_set_packing(r->png);
    }
    if (interlace != PNG_INTERLACE_NONE)
        png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    const size_t rowBytes = png_get_rowbytes(r->png, r->info);
    const uint32_t step = png_get_channels(r->png, r->info);
    if (step < p->planeCount || rowBytes / step < width || rowBytes > UINT32_MAX)
        return kChanged;
    r->row = static_cast<unsigned char*>(ImageAlloc(static_cast<uint32_t>(rowBytes), 1));
    if (r->row == nullptr)
        return kNoMemory;

    // Rows past the last one the preview takes are not read.  For an
    // interlaced file these calls work through the first pass only, which
    // holds every row and column that is a multiple of 8.
    const uint64_t last = static_cast<uint64_t>(p->dh - 1) * p->divisor;
    const size_t columnStep = static_cast<size_t>(p->divisor) * step;
    for (uint64_t j = 0; j <= last; ++j) {
        png_read_row(r->png, r->row, nullptr);
        if (j % p->divisor != 0)
            continue;
        const size_t i = static_cast<size_t>(j / p->divisor);
        for (uint32_t k = 0; k < p->planeCount; ++k) {
            unsigned char* out = p->planes[k] + i * p->planeRow;
            const unsigned char* in = r->row + k;
            for (uint32_t l = 0; l < p->dw; ++l)
                out[l] = in[l * columnStep];
        }
        r->rowsSampled = static_cast<uint32_t>(i + 1);
    }
    return kRowsDone;
}

}  // namespace

CPngIo::CPngIo(const char* path) { m_pszPath = path; }

void CPngIo::ReopenFile()
{
    m_file.Close();
    m_file.Open(m_pszPath, CFile::modeRead | CFile::shareExclusive);
}

int CPngIo::ReadHeader()
{
    if (m_pszPath == nullptr)
        return Refuse(Refusal::CannotOpen);
    // The file was opened without sharing; the stream needs it closed.
    m_file.Close();
    PngRead read;
    PngHeader header;
    int ok = OpenPng(&read, m_pszPath) ? 1 : -1;
    if (ok == 1)
        ok = ReadPngHeader(&read, &header);
    const bool opened = read.stream != nullptr;
    ClosePng(&read);
    if (!opened)
        return Refuse(Refusal::CannotOpen);
    ReopenFile();
    if (ok < 0)
        return Refuse(Refusal::OutOfMemory);
    if (ok == 0)
        return Refuse(Refusal::PngLibraryError);

    m_nWidth = header.width;
    m_nHeight = header.height;
    m_nBitDepth = header.bitDepth;
    m_nColourType = header.colourType;
    m_bInterlaced = header.interlace != PNG_INTERLACE_NONE;
    m_nSamplesPerPixel = static_cast<uint16_t>(header.channels);
    switch (header.colourType) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        m_nColorMode = COLOR_GREY;
        m_nChannels = 1;
        break;
    case PNG_COLOR_TYPE_RGB:
    case PNG_COLOR_TYPE_RGB_ALPHA:
        m_nColorMode = COLOR_RGB;
        m_nChannels = 3;
        break;
    case PNG_COLOR_TYPE_PALETTE:
        // Any valid palette: the entries present, the rest black.
        m_nColorMode = COLOR_INDEXED;
        m_nChannels = 1;
        m_nPaletteSize = 256;
        m_pPalette = static_cast<unsigned char*>(ImageAlloc(4 * 256, 0));
        if (m_pPalette == nullptr)
            return Refuse(Refusal::OutOfMemory);
        for (int i = 0; i < header.paletteCount; ++i) {
            m_pPalette[4 * i] = header.palette[i].blue;
            m_pPalette[4 * i + 1] = header.palette[i].green;
            m_pPalette[4 * i + 2] = header.palette[i].red;
        }
        break;
    default:
        return Refuse(Refusal::UnsupportedColour);
    }
    // The physical-size chunk is not read.
    m_fXRes = 72.0f;
    m_fYRes = 72.0f;
    m_nBitsPerPixel = 8;
    m_nBitsPerSample = 8;
    m_nRowBytes = static_cast<int32_t>(AlignedRowBytes(m_nWidth * 8));
    return 1;
}

int CPngIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    if (m_nWidth == 0 || m_nHeight == 0 || m_nChannels == 0) {
        ImageFree(&m_pPalette);
        return Refuse(Refusal::PreviewFailed);
    }
    // The smallest multiple of 8 that brings the width to 200 or less; the
    // height follows (it is not limited) and the full-size flag is not used.
    m_nDivisor = 8;
    if (m_nWidth > 1600)
        m_nDivisor = static_cast<uint32_t>((static_cast<uint64_t>(m_nWidth) + 1599) / 1600 * 8);
    m_nDibWidth = m_nWidth / m_nDivisor;
    m_nDibHeight = m_nHeight / m_nDivisor;
    if (m_nDibWidth == 0)
        m_nDibWidth = 1;
    if (m_nDibHeight == 0)
        m_nDibHeight = 1;

    // The rows up to the last one taken must be able to come out of the file
    // (for an interlaced file, their first-pass pixels).
    const uint32_t bitsPerPixel = static_cast<uint32_t>(m_nSamplesPerPixel) * static_cast<uint32_t>(m_nBitDepth);
    const uint64_t lastRow = static_cast<uint64_t>(m_nDibHeight - 1) * m_nDivisor;
    PictureBounds bounds;
    bounds.width = m_bInterlaced ? (m_nWidth + 7) / 8 : m_nWidth;
    bounds.height = static_cast<uint32_t>(m_bInterlaced ? lastRow / 8 + 1 : lastRow + 1);
    bounds.bitsPerPixel = bitsPerPixel;
    bounds.dataBytes = m_file.GetLength();
    bounds.expansion = kDeflateExpansion;
    Refusal why = CheckPictureBounds(bounds);
    if (why == Refusal::None) {
        const uint64_t needed = (StoredRowBytes(bounds.width, bitsPerPixel) + 1) * bounds.height;
        if (needed / kDeflateExpansion > bounds.dataBytes)
            why = Refusal::LargerThanFile;
    }
    if (why != Refusal::None) {
        ImageFree(&m_pPalette);
        return Refuse(why);
    }
    return BuildPlanesPreview(width, height, bits);
}

int CPngIo::ReadPreviewRows(unsigned char* const* planes)
{
    return ReadPlanes(m_nDibWidth, m_nDibHeight, planes);
}

int CPngIo::ReadPlanes(uint32_t dw, uint32_t dh, unsigned char* const* planes)
{
    if (m_pszPath == nullptr || dw == 0 || dh == 0 || m_nDivisor == 0 || m_nDivisor % 8 != 0 ||
        static_cast<uint64_t>(dw - 1) * m_nDivisor >= m_nWidth ||
        static_cast<uint64_t>(dh - 1) * m_nDivisor >= m_nHeight || m_nChannels == 0)
        return Refuse(Refusal::PreviewFailed);
    m_nDibWidth = dw;
    m_nDibHeight = dh;

    PngPlan plan{};
    plan.width = m_nWidth;
    plan.height = m_nHeight;
    plan.bitDepth = m_nBitDepth;
    plan.colourType = m_nColourType;
    plan.divisor = m_nDivisor;
    plan.dw = dw;
    plan.dh = dh;
    plan.planeCount = m_nChannels;
    plan.planes = planes;
    plan.planeRow = AlignedRowBytes(dw * 8);

    m_file.Close();
    PngRead read;
    int result = OpenPng(&read, m_pszPath) ? kRowsDone : kNoMemory;
    if (result == kRowsDone)
        result = ReadPngRows(&read, &plan);
    const bool opened = read.stream != nullptr;
    const uint32_t sampled = read.rowsSampled;
    ClosePng(&read);
    if (!opened)
        return Refuse(Refusal::CannotOpen);
    ReopenFile();
    // Data damaged or cut short part-way: a fitted preview shows the rows
    // decoded before the damage and black after, as libvips shows them; a
    // full-size request, and a file damaged before its first row, fail.
    if (result == kLibraryError && sampled != 0 && m_bFullSize == 0) {
        MarkRowsMissing(sampled, dh);
        return 1;
    }
    switch (result) {
    case kRowsDone:
        return 1;
    case kNoMemory:
        return Refuse(Refusal::OutOfMemory);
    case kChanged:
        return Refuse(Refusal::PngChanged);
    default:
        return Refuse(Refusal::PngLibraryError);
    }
}
