#include "iJpegIo.h"

#include "GlobalMemory.h"
#include "PictureBounds.h"

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <sys/stat.h>

#include <jpeglib.h>
#include <jerror.h>

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
    bool limitedByFile;  // the buffer limit came from the file's length
    JpegErrorManager err;
    jpeg_decompress_struct cinfo;
};

bool OpenDecode(JpegDecode* d, const char* path)
{
    std::memset(d, 0, sizeof *d);
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

// The stdio source of the library, with a larger buffer: its Huffman
// decoder takes its fast path only while a few kilobytes of data are
// buffered, which a 4 KB buffer leaves most of the time.  The end of the
// file reads as the library's own source reads it (a warning, then an end
// of image marker), so damaged files decode alike.
constexpr size_t kSourceBuffer = 256 * 1024;

struct StreamSource {
    jpeg_source_mgr pub;
    FILE* stream;
    JOCTET* buffer;
    bool startOfFile;
};

void InitSource(j_decompress_ptr cinfo)
{
    reinterpret_cast<StreamSource*>(cinfo->src)->startOfFile = true;
}

boolean FillInputBuffer(j_decompress_ptr cinfo)
{
    StreamSource* src = reinterpret_cast<StreamSource*>(cinfo->src);
    size_t n = std::fread(src->buffer, 1, kSourceBuffer, src->stream);
    if (n == 0) {
        if (src->startOfFile)
            ERREXIT(cinfo, JERR_INPUT_EMPTY);
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        n = 2;
    }
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = n;
    src->startOfFile = false;
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count)
{
    if (count <= 0)
        return;
    jpeg_source_mgr* src = cinfo->src;
    while (static_cast<size_t>(count) > src->bytes_in_buffer) {
        count -= static_cast<long>(src->bytes_in_buffer);
        FillInputBuffer(cinfo);
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<size_t>(count);
}

void TermSource(j_decompress_ptr) {}

// Both from the library's permanent pool, released with the object.
void StreamSourceFor(j_decompress_ptr cinfo, FILE* stream)
{
    auto* src = static_cast<StreamSource*>((*cinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(StreamSource)));
    src->buffer = static_cast<JOCTET*>((*cinfo->mem->alloc_large)(reinterpret_cast<j_common_ptr>(cinfo),
                                                                  JPOOL_PERMANENT, kSourceBuffer));
    src->stream = stream;
    src->startOfFile = true;
    src->pub.init_source = InitSource;
    src->pub.fill_input_buffer = FillInputBuffer;
    src->pub.skip_input_data = SkipInputData;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = TermSource;
    src->pub.bytes_in_buffer = 0;
    src->pub.next_input_byte = nullptr;
    cinfo->src = &src->pub;
}

// Error manager, decompression object and source; the caller has set the
// jump point already.
void CreateDecompress(JpegDecode* d)
{
    d->cinfo.err = jpeg_std_error(&d->err.pub);
    d->err.pub.error_exit = JpegErrorExit;
    d->created = true;
    jpeg_create_decompress(&d->cinfo);
    StreamSourceFor(&d->cinfo, d->stream);
}

// File bytes from the first scan on; call right after jpeg_read_header.
uint64_t ScanBytes(JpegDecode* d)
{
    const long at = std::ftell(d->stream);
    struct stat st;
    const uint64_t length = fstat(fileno(d->stream), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    const uint64_t start = at < 0 ? length : static_cast<uint64_t>(at) - d->cinfo.src->bytes_in_buffer;
    return start < length ? length - start : 0;
}

// A multi-scan file makes the library keep the coefficients of the whole
// picture (128 bytes a block) in its "virtual arrays", the only buffers its
// memory limit governs.  A Huffman-coded file spends at least one bit on
// every block, so its scans can fill at most 1 KB of coefficients per byte:
// the library may keep that, or 16 MB for arithmetic-coded and cut-short
// files, and never more than half of the physical memory.  A 1 KB file that
// claims a gigapixel picture is refused instead of being allocated.
void LimitPictureBuffers(JpegDecode* d, uint64_t scanBytes)
{
    constexpr uint64_t kFloor = 16u << 20;
    const uint64_t codable = SaturatingMul(scanBytes, 1024);
    uint64_t limit = codable > kFloor ? codable : kFloor;
    const uint64_t half = GlobalMemoryStatus().totalPhys / 2;
    d->limitedByFile = half == 0 || limit < half;
    if (!d->limitedByFile)
        limit = half;
    // The library counts the source buffer too; it is not the picture's.
    limit += kSourceBuffer;
    d->cinfo.mem->max_memory_to_use = limit > static_cast<uint64_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(limit);
}

// Largest full-size block an arithmetic-coded file gets whatever its length.
constexpr uint64_t kUnboundedCodingBlock = 64u << 20;

struct JpegHeader {
    uint32_t width;
    uint32_t height;
    uint32_t components;
    uint16_t xDensity;
    uint16_t yDensity;
    uint8_t unit;
    uint64_t dataBytes;    // file bytes from the first scan on
    uint64_t leastBits;    // fewest bits any coding of the picture's blocks takes
};

// Why the library gave up, from its last message.
Refusal LibraryRefusal(const JpegDecode* d)
{
    switch (d->err.pub.msg_code) {
    case JERR_NO_SOI:
        return Refusal::JpegSignature;
    case JERR_INPUT_EMPTY:
        return Refusal::Truncated;
    case JERR_NO_BACKING_STORE:
        return d->limitedByFile ? Refusal::LargerThanFile : Refusal::OutOfMemory;
    case JERR_OUT_OF_MEMORY:
        return Refusal::OutOfMemory;
    default:
        return Refusal::JpegLibraryError;
    }
}

// The fewest bits in which the blocks of the picture can be coded.  A block
// of a sequential Huffman scan takes at least a one-bit DC code and a one-bit
// end of block; a progressive Huffman file codes every block's DC in its
// first scan, one bit at the least, while runs of empty blocks make its AC
// scans almost free.  Arithmetic coding has no such floor: once its
// estimates have settled, a uniform picture of any size codes to a few bytes
// (trailing zero bytes are not even stored), so its files give no bound.
uint64_t LeastCodedBits(const jpeg_decompress_struct* cinfo)
{
    if (cinfo->arith_code)
        return 0;
    const uint64_t bitsPerBlock = cinfo->progressive_mode ? 1 : 2;
    uint64_t blocks = 0;
    for (int i = 0; i < cinfo->num_components; ++i) {
        const jpeg_component_info& c = cinfo->comp_info[i];
        blocks += static_cast<uint64_t>(c.width_in_blocks) * c.height_in_blocks;
    }
    return blocks * bitsPerBlock;
}

// Reads the headers.  Decompression is started too, so that every file the
// decoder would refuse at its start is refused here, except where starting
// means reading every scan of a multi-scan file: there the header is all a
// size needs, and a preview starts the decode anyway.
Refusal DecodeHeader(JpegDecode* d, JpegHeader* h)
{
    if (setjmp(d->err.jump))
        return LibraryRefusal(d);
    CreateDecompress(d);
    jpeg_read_header(&d->cinfo, TRUE);
    h->dataBytes = ScanBytes(d);
    LimitPictureBuffers(d, h->dataBytes);
    h->leastBits = LeastCodedBits(&d->cinfo);
    if (g_plainDecode || !jpeg_has_multiple_scans(&d->cinfo))
        jpeg_start_decompress(&d->cinfo);
    h->width = d->cinfo.image_width;
    h->height = d->cinfo.image_height;
    h->components = static_cast<uint32_t>(d->cinfo.num_components);
    h->xDensity = d->cinfo.X_density;
    h->yDensity = d->cinfo.Y_density;
    h->unit = d->cinfo.density_unit;
    return Refusal::None;
}

// What DecodeRows samples, and where it puts it.
struct SamplePlan {
    uint32_t width;       // source size and components ReadHeader saw
    uint32_t height;
    uint32_t components;
    bool invert;          // samples are 255 minus what the planes take (CMYK)
    bool skip;            // let the library pass over rows not taken
    const uint32_t* rows;  // source rows taken, increasing; row i of the planes
    uint32_t rowCount;
    CImageIo* io;         // samples the taken rows (its columns chosen already)
    unsigned char* const* planes;
    // When every row and column is taken from an RGB picture: row i of the
    // preview block, which the library fills as blue, green, red.
    unsigned char* const* blockRows;
};

void InvertSamples(JSAMPLE* row, JDIMENSION count)
{
    for (JDIMENSION n = 0; n < count; ++n)
        row[n] = static_cast<JSAMPLE>(255 - row[n]);
}

// Decodes the file scanline by scanline and samples the planned rows into
// the planes; Refusal::None when the decode reached its end.
Refusal DecodeRows(JpegDecode* d, const SamplePlan* plan)
{
    if (setjmp(d->err.jump))
        return LibraryRefusal(d);
    CreateDecompress(d);
    jpeg_read_header(&d->cinfo, TRUE);
    LimitPictureBuffers(d, ScanBytes(d));
#ifdef JCS_EXTENSIONS
    if (plan->blockRows != nullptr && d->cinfo.out_color_space == JCS_RGB)
        d->cinfo.out_color_space = JCS_EXT_BGR;  // the same samples, in the block's order
#endif
    jpeg_start_decompress(&d->cinfo);
    jpeg_decompress_struct* cinfo = &d->cinfo;
#ifdef JCS_EXTENSIONS
    const bool intoBlock = plan->blockRows != nullptr && cinfo->out_color_space == JCS_EXT_BGR;
#else
    const bool intoBlock = false;
#endif

    // The file may have changed since its header was read; only a decode of
    // the size and layout the planes were made for may fill them.
    if (cinfo->output_width != plan->width || cinfo->output_height != plan->height ||
        static_cast<uint32_t>(cinfo->output_components) != plan->components)
        return Refusal::JpegFileChanged;

    const JDIMENSION rowSamples = cinfo->output_width * static_cast<JDIMENSION>(cinfo->output_components);
    JSAMPARRAY buffer = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                    rowSamples, 1);
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
        const bool taken = next < plan->rowCount && plan->rows[next] == r;
        if (taken && intoBlock) {
            JSAMPROW into = plan->blockRows[next];
            if (jpeg_read_scanlines(cinfo, &into, 1) != 1)
                return Refusal::Truncated;
            ++next;
            continue;
        }
        if (jpeg_read_scanlines(cinfo, buffer, 1) != 1)
            return Refusal::Truncated;  // the stdio source never suspends; stay bounded anyway
        if (taken) {
            JSAMPLE* row = buffer[0];
            if (plan->invert)
                InvertSamples(row, rowSamples);
            plan->io->SampleRow(next, row, plan->planes);
            ++next;
        }
    }
    jpeg_finish_decompress(cinfo);
    return Refusal::None;
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
        return Refuse(Refusal::CannotOpen);
    // The file was opened without sharing; the stream needs it closed.
    m_file.Close();
    JpegDecode decode;
    if (!OpenDecode(&decode, m_pszPath))
        return Refuse(Refusal::CannotOpen);
    JpegHeader header{};
    const Refusal why = DecodeHeader(&decode, &header);
    CloseDecode(&decode);
    ReopenFile();
    if (why != Refusal::None)
        return Refuse(why);

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

    if (!ColourModeOfSamples(header.components, &m_nColorMode))
        return Refuse(Refusal::UnsupportedColour);
    m_nDataBytes = header.dataBytes;
    m_nLeastBits = header.leastBits;
    m_nSamplesPerPixel = static_cast<uint16_t>(header.components);
    m_bPlanar = 0;  // decoded rows hold the samples of each pixel together
    m_nBitsPerPixel = 8;
    m_nBitsPerSample = 8;
    m_nRowBytes = static_cast<int32_t>(AlignedRowBytes(m_nWidth * 8));
    m_nChannels = m_nSamplesPerPixel;
    m_nPaletteSize = 0;
    return 1;
}

int CJpegIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    // A full-size preview allocates what the header declares: the file must
    // be long enough to code that many blocks.  (A fitted preview of a file
    // cut short shows the decoder's filler, in bounded memory.)
    if (m_bFullSize != 0) {
        PictureBounds bounds;
        bounds.width = m_nWidth;
        bounds.height = m_nHeight;
        bounds.bitsPerPixel = 8u * m_nSamplesPerPixel;
        bounds.dataBytes = m_nDataBytes;
        // Decoded bytes per coded byte at best, rounded up.  Arithmetic
        // coding has no such floor: a picture whose block is small enough
        // passes whatever its length, as a uniform one codes to a few bytes;
        // a larger one is weighed like the other codings without a bound.
        const uint64_t decodedBits = 8 * static_cast<uint64_t>(m_nWidth) * m_nHeight * m_nSamplesPerPixel;
        if (m_nLeastBits != 0)
            bounds.expansion = (decodedBits + m_nLeastBits - 1) / m_nLeastBits;
        else if (uint32_t block = 0; PreviewBlockBytes(m_nWidth, m_nHeight, &block) && block <= kUnboundedCodingBlock)
            bounds.expansion = UINT64_MAX;
        else
            bounds.expansion = CODEC_EXPANSION;
        bounds.fullSize = true;
        const Refusal why = CheckPictureBounds(bounds);
        if (why != Refusal::None)
            return Refuse(why);
    }
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
        return Refuse(Refusal::PreviewFailed);
    m_nDibWidth = dw;
    m_nDibHeight = dh;
    m_bPlanar = 0;
    // The choice of rows and columns is made here, outside the decode, so the
    // decode itself holds nothing that a jump would have to destroy.
    const std::vector<uint32_t> rows = FirstMatchIndices(m_nHeight, dh);
    SampledColumns();
    std::vector<unsigned char*> blockRows;
#ifdef JCS_EXTENSIONS
    if (m_nSamplesPerPixel == 3 && rows.size() == m_nHeight && WholeRgbRowInBlock(0) != nullptr) {
        blockRows.resize(dh);
        for (uint32_t i = 0; i < dh; ++i)
            blockRows[i] = WholeRgbRowInBlock(i);
    }
#endif

    SamplePlan plan{};
    plan.width = m_nWidth;
    plan.height = m_nHeight;
    plan.components = m_nSamplesPerPixel;
    plan.invert = m_nColorMode == COLOR_CMYK;
    plan.skip = !g_plainDecode;
    plan.rows = rows.data();
    plan.rowCount = static_cast<uint32_t>(rows.size());
    plan.io = this;
    plan.planes = planes;
    plan.blockRows = blockRows.empty() ? nullptr : blockRows.data();

    m_file.Close();
    JpegDecode decode;
    if (!OpenDecode(&decode, m_pszPath)) {
        ReopenFile();
        return Refuse(Refusal::CannotOpen);
    }
    const Refusal why = DecodeRows(&decode, &plan);
    CloseDecode(&decode);
    ReopenFile();
    return why == Refusal::None ? 1 : Refuse(why);
}
