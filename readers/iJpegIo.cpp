#include "iJpegIo.h"

#include "GlobalMemory.h"

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

// The library reports errors through JpegErrorExit, which jumps back to the
// point set in DecodeHeader or DecodeRows.  Those two functions and everything
// they call hold nothing with a destructor: what a decode holds lives in a
// plain JpegDecode record that CloseDecode releases on every path, and the
// scanline buffer comes from the library's own pool, which the destruction of
// the decompression object releases.

namespace {

bool g_plainDecode = false;

// The library's error manager followed by the point JpegErrorExit returns to.
struct JpegErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

// Prints the library's message the way the library does, then gives up the
// decode.
[[noreturn]] void JpegErrorExit(j_common_ptr cinfo)
{
    (*cinfo->err->output_message)(cinfo);
    JpegErrorManager* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    std::longjmp(err->jump, 1);
}

// Everything one decode holds.
struct JpegDecode {
    FILE* stream;
    bool created;
    long memoryLimit;  // bytes the library may hold in its large buffers
    JpegErrorManager err;
    jpeg_decompress_struct cinfo;
};

bool OpenDecode(JpegDecode* d, const char* path)
{
    std::memset(d, 0, sizeof *d);
    // The library's large buffers (for a multi-scan file, the coefficients of
    // the whole picture) are bounded as a strict image-memory request is: by
    // half of the physical memory.  A header that claims a larger picture is
    // refused by the library instead of being allocated and zero-filled.
    const uint64_t limit = GlobalMemoryStatus().totalPhys / 2;
    d->memoryLimit = limit > static_cast<uint64_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(limit);
    d->stream = std::fopen(path, "rb");
    return d->stream != nullptr;
}

void CloseDecode(JpegDecode* d)
{
    if (d->created) {
        jpeg_destroy_decompress(&d->cinfo);
        d->created = false;
    }
    if (d->stream != nullptr) {
        std::fclose(d->stream);
        d->stream = nullptr;
    }
}

// Error manager, decompression object and source; the caller has set the
// jump point already.
void CreateDecompress(JpegDecode* d)
{
    d->cinfo.err = jpeg_std_error(&d->err.pub);
    d->err.pub.error_exit = JpegErrorExit;
    d->created = true;
    jpeg_create_decompress(&d->cinfo);
    if (d->memoryLimit > 0)
        d->cinfo.mem->max_memory_to_use = d->memoryLimit;
    jpeg_stdio_src(&d->cinfo, d->stream);
}

struct JpegHeader {
    uint32_t width;
    uint32_t height;
    uint32_t components;
    uint16_t xDensity;
    uint16_t yDensity;
    uint8_t unit;
};

// Reads the headers.  Decompression is started too, so that every file the
// decoder would refuse at its start is refused here, except where starting
// means reading every scan of a multi-scan file: there the header is all a
// size needs, and a preview starts the decode anyway.
int DecodeHeader(JpegDecode* d, JpegHeader* h)
{
    if (setjmp(d->err.jump))
        return 0;
    CreateDecompress(d);
    jpeg_read_header(&d->cinfo, TRUE);
    if (g_plainDecode || !jpeg_has_multiple_scans(&d->cinfo))
        jpeg_start_decompress(&d->cinfo);
    h->width = d->cinfo.image_width;
    h->height = d->cinfo.image_height;
    h->components = static_cast<uint32_t>(d->cinfo.num_components);
    h->xDensity = d->cinfo.X_density;
    h->yDensity = d->cinfo.Y_density;
    h->unit = d->cinfo.density_unit;
    return 1;
}

// What DecodeRows samples, and where it puts it.
struct SamplePlan {
    uint32_t width;       // source size and components ReadHeader saw
    uint32_t height;
    uint32_t components;
    bool invert;          // store 255 minus each sample (CMYK)
    bool skip;            // let the library pass over rows not taken
    const uint32_t* rows;  // source rows taken, increasing; row i of the planes
    uint32_t rowCount;
    const uint32_t* columns;  // source columns taken, increasing
    uint32_t columnCount;
    unsigned char* const* planes;
    size_t planeRow;
};

// Decodes the file scanline by scanline and samples the planned rows and
// columns into the planes.
int DecodeRows(JpegDecode* d, const SamplePlan* plan)
{
    if (setjmp(d->err.jump))
        return 0;
    CreateDecompress(d);
    jpeg_read_header(&d->cinfo, TRUE);
    jpeg_start_decompress(&d->cinfo);
    jpeg_decompress_struct* cinfo = &d->cinfo;

    // The file may have changed since its header was read; only a decode of
    // the size and layout the planes were made for may fill them.
    if (cinfo->output_width != plan->width || cinfo->output_height != plan->height ||
        static_cast<uint32_t>(cinfo->output_components) != plan->components)
        return 0;

    JSAMPARRAY buffer = (*cinfo->mem->alloc_sarray)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
        cinfo->output_width * static_cast<JDIMENSION>(cinfo->output_components), 1);
    const size_t step = plan->components;
    const JDIMENSION last = cinfo->output_height - 1;
    uint32_t next = 0;  // next preview row
    while (cinfo->output_scanline < cinfo->output_height) {
        const JDIMENSION r = cinfo->output_scanline;
        if (plan->skip) {
            // Rows up to the next one taken are passed over; the last row is
            // always decoded, so that the rest of the file is read to its end
            // exactly as a full decode reads it.  Every skip is followed by a
            // read: two skips in a row can yield wrong rows (seen with
            // libjpeg-turbo 2.1.5 when the first ends on the last row of an
            // iMCU row), while skip-then-read matches the full decode.
            const JDIMENSION target = next < plan->rowCount ? plan->rows[next] : last;
            if (target > r) {
                jpeg_skip_scanlines(cinfo, target - r);
                continue;
            }
        }
        if (jpeg_read_scanlines(cinfo, buffer, 1) != 1)
            return 0;  // the stdio source never suspends; stay bounded anyway
        if (next < plan->rowCount && plan->rows[next] == r) {
            const JSAMPLE* row = buffer[0];
            for (uint32_t j = 0; j < plan->components; ++j) {
                unsigned char* out = plan->planes[j] + next * plan->planeRow;
                const JSAMPLE* in = row + j;
                if (plan->invert) {
                    for (uint32_t n = 0; n < plan->columnCount; ++n)
                        out[n] = static_cast<unsigned char>(255 - in[plan->columns[n] * step]);
                } else {
                    for (uint32_t n = 0; n < plan->columnCount; ++n)
                        out[n] = in[plan->columns[n] * step];
                }
            }
            ++next;
        }
    }
    jpeg_finish_decompress(cinfo);
    return 1;
}

}  // namespace

CJpegIo::CJpegIo(const char* path) { m_pszPath = path; }

void CJpegIo::SetPlainDecodeForTesting(bool plain) { g_plainDecode = plain; }

void CJpegIo::ReopenFile()
{
    m_file.Close();
    m_file.Open(m_pszPath, CFile::modeRead | CFile::shareExclusive);
}

int CJpegIo::ReadHeader()
{
    if (m_pszPath == nullptr)
        return 0;
    // The file was opened without sharing; the stream needs it closed.
    m_file.Close();
    JpegDecode decode;
    if (!OpenDecode(&decode, m_pszPath))
        return 0;
    JpegHeader header{};
    const int ok = DecodeHeader(&decode, &header);
    CloseDecode(&decode);
    ReopenFile();
    if (!ok)
        return 0;

    m_nWidth = header.width;
    m_nHeight = header.height;
    // A density of 0 counts as 72 before the unit applies; without a unit the
    // densities give only the aspect ratio, which a resolution cannot use.
    m_fXRes = static_cast<float>(header.xDensity != 0 ? header.xDensity : 72);
    m_fYRes = static_cast<float>(header.yDensity != 0 ? header.yDensity : 72);
    if (header.unit == 2) {
        m_fXRes *= 2.54f;
        m_fYRes *= 2.54f;
    } else if (header.unit == 0) {
        m_fXRes = 72.0f;
        m_fYRes = 72.0f;
    }

    switch (header.components) {
    case 1:
        m_nColorMode = COLOR_GREY;
        break;
    case 3:
        m_nColorMode = COLOR_RGB;
        break;
    case 4:
        m_nColorMode = COLOR_CMYK;
        break;
    default:
        return 0;
    }
    m_nSamplesPerPixel = static_cast<uint16_t>(header.components);
    m_nBitsPerPixel = 8;
    m_nBitsPerSample = 8;
    m_nRowBytes = static_cast<int32_t>(AlignedRowBytes(m_nWidth * 8));
    m_nChannels = m_nSamplesPerPixel;
    m_nPaletteSize = 0;
    return 1;
}

int CJpegIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    return MakePlanesPreview(width, height, bits);
}

int CJpegIo::ReadPreviewRows(unsigned char* const* planes)
{
    return ReadPlanes(m_nDibWidth, m_nDibHeight, planes);
}

int CJpegIo::ReadPlanes(uint32_t dw, uint32_t dh, unsigned char* const* planes)
{
    if (m_pszPath == nullptr || dw == 0 || dh == 0 || dw > m_nWidth || dh > m_nHeight ||
        (m_nSamplesPerPixel != 1 && m_nSamplesPerPixel != 3 && m_nSamplesPerPixel != 4))
        return 0;
    m_nDibWidth = dw;
    m_nDibHeight = dh;
    // The choice of rows and columns is made here, outside the decode, so the
    // decode itself holds nothing that a jump would have to destroy.
    const std::vector<uint32_t> rows = FirstMatchIndices(m_nHeight, dh);
    const std::vector<uint32_t> columns = FirstMatchIndices(m_nWidth, dw);

    SamplePlan plan{};
    plan.width = m_nWidth;
    plan.height = m_nHeight;
    plan.components = m_nSamplesPerPixel;
    plan.invert = m_nColorMode == COLOR_CMYK;
    plan.skip = !g_plainDecode;
    plan.rows = rows.data();
    plan.rowCount = static_cast<uint32_t>(rows.size());
    plan.columns = columns.data();
    plan.columnCount = static_cast<uint32_t>(columns.size());
    plan.planes = planes;
    plan.planeRow = AlignedRowBytes(dw * 8);

    m_file.Close();
    JpegDecode decode;
    if (!OpenDecode(&decode, m_pszPath))
        return 0;
    const int ok = DecodeRows(&decode, &plan);
    CloseDecode(&decode);
    ReopenFile();
    return ok;
}
