// Reading TIFF through libtiff where the own decoders stop.  libtiff reads
// the reader's open file through client procedures (no second open of the
// path); its allocations are bounded and its messages stay on the handle.
// An error it reports part-way leaves a fitted preview with the rows decoded
// before it, black after; any other error fails the call.
#include "TiffFallback.h"

#include "ITiffIO.h"
#include "PictureBounds.h"

#ifdef QUORVEL_HAVE_LIBTIFF

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// Largest single allocation libtiff may make (a strip, a tile, tables).
constexpr tmsize_t LIBTIFF_ALLOC_LIMIT = 256 * 1024 * 1024;
// Largest block of RGBA rows decoded at once.
constexpr uint64_t RASTER_LIMIT = 16 * 1024 * 1024;

struct Client {
    CFile* file = nullptr;
    bool failed = false;  // libtiff reported an error
};

tmsize_t ReadProc(thandle_t h, void* buffer, tmsize_t size)
{
    auto* c = static_cast<Client*>(h);
    if (size < 0)
        return -1;
    try {
        tmsize_t done = 0;
        while (done < size) {
            const uint32_t chunk = static_cast<uint32_t>(std::min<tmsize_t>(size - done, 1 << 30));
            const uint32_t got = c->file->Read(static_cast<unsigned char*>(buffer) + done, chunk);
            done += got;
            if (got < chunk)
                break;
        }
        return done;
    } catch (...) {
        return -1;
    }
}

tmsize_t WriteProc(thandle_t, void*, tmsize_t) { return -1; }

toff_t SeekProc(thandle_t h, toff_t offset, int whence)
{
    auto* c = static_cast<Client*>(h);
    const unsigned from = whence == SEEK_CUR ? CFile::current : whence == SEEK_END ? CFile::end : CFile::begin;
    try {
        return c->file->Seek(static_cast<int64_t>(offset), from);
    } catch (...) {
        return static_cast<toff_t>(-1);
    }
}

int CloseProc(thandle_t) { return 0; }  // the reader owns the file

toff_t SizeProc(thandle_t h)
{
    try {
        return static_cast<Client*>(h)->file->GetLength();
    } catch (...) {
        return 0;
    }
}

int MapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

int OnError(TIFF*, void* user, const char*, const char*, va_list)
{
    static_cast<Client*>(user)->failed = true;
    return 1;  // handled: nothing reaches the global handler
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};
struct TiffClose {
    void operator()(TIFF* t) const { TIFFClose(t); }
};

// One libtiff handle over the reader's file, on its first directory.
class LibTiff {
public:
    bool Open(CTiffIo& io)
    {
        m_client.file = &io.m_file;
        try {
            io.m_file.SeekToBegin();
        } catch (...) {
            return false;
        }
        std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
        if (!options)
            return false;
        TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), LIBTIFF_ALLOC_LIMIT);
        TIFFOpenOptionsSetErrorHandlerExtR(options.get(), OnError, &m_client);
        TIFFOpenOptionsSetWarningHandlerExtR(options.get(), OnWarning, &m_client);
        m_tif.reset(TIFFClientOpenExt(io.m_pszPath ? io.m_pszPath : "", "rm", &m_client, ReadProc, WriteProc,
                                      SeekProc, CloseProc, SizeProc, MapProc, UnmapProc, options.get()));
        return m_tif && !m_client.failed;
    }
    TIFF* get() const { return m_tif.get(); }
    bool Failed() const { return m_client.failed; }

private:
    Client m_client;  // outlives the handle (declared first, destroyed last)
    std::unique_ptr<TIFF, TiffClose> m_tif;
};

uint32_t Field32(TIFF* tif, ttag_t tag, uint32_t otherwise)
{
    uint32_t v = 0;
    return TIFFGetField(tif, tag, &v) ? v : otherwise;
}

uint16_t Field16Defaulted(TIFF* tif, ttag_t tag)
{
    uint16_t v = 0;
    TIFFGetFieldDefaulted(tif, tag, &v);
    return v;
}

// Resolution as the own header takes it: the tag when present, 72
// otherwise, per centimetre turned into per inch.
void ReadResolution(TIFF* tif, CTiffIo& io)
{
    float x = 72.0f, y = 72.0f, v = 0;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &v) && std::isfinite(v) && v != 0)
        x = v;
    if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &v) && std::isfinite(v) && v != 0)
        y = v;
    uint16_t unit = 0;
    if (TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit) && unit == RESUNIT_CENTIMETER) {
        x *= 2.53995f;
        y *= 2.53995f;
    }
    io.m_fXRes = x;
    io.m_fYRes = y;
}

// The preview being built: which source rows and columns it takes, and its
// block of bottom-up 24-bit rows.
class PreviewBuild {
public:
    PreviewBuild(CTiffIo& io, unsigned char* block)
        : m_io(io), m_block(block), m_rows(FirstMatchIndices(io.m_nHeight, io.m_nDibHeight)),
          m_columns(FirstMatchIndices(io.m_nWidth, io.m_nDibWidth)),
          m_stride(((static_cast<size_t>(io.m_nDibWidth) * 24 + 31) / 32) * 4)
    {
    }
    const std::vector<uint32_t>& Rows() const { return m_rows; }
    const std::vector<uint32_t>& Columns() const { return m_columns; }
    // The 24-bit row of preview row k (counted from the top).
    unsigned char* Out(size_t k) const { return m_block + (m_io.m_nDibHeight - 1 - k) * m_stride; }

private:
    CTiffIo& m_io;
    unsigned char* m_block;
    std::vector<uint32_t> m_rows;
    std::vector<uint32_t> m_columns;
    size_t m_stride;
};

// Colour through libtiff's RGBA interface (palette, grey, RGB, CMYK, YCbCr,
// CIE Lab; 1 to 16 bits).  Rows are decoded a strip, or a row of tiles, at a
// time, and only up to the last row the preview takes from it.
int RgbaPreview(CTiffIo& io, LibTiff& lib, PreviewBuild& build)
{
    TIFF* tif = lib.get();
    char message[1024] = {};
    TIFFRGBAImage img;
    if (!TIFFRGBAImageBegin(&img, tif, 1, message))
        return io.Refuse(Refusal::UnsupportedColour);
    struct End {
        TIFFRGBAImage* img;
        ~End() { TIFFRGBAImageEnd(img); }
    } end{&img};
    // Rows in stored order, columns as stored, as the own decoders give them.
    img.req_orientation = img.orientation;

    const uint32_t width = io.m_nWidth;
    const uint32_t height = io.m_nHeight;
    uint32_t unitRows = TIFFIsTiled(tif) ? Field32(tif, TIFFTAG_TILELENGTH, height)
                                         : Field32(tif, TIFFTAG_ROWSPERSTRIP, height);
    if (unitRows == 0 || unitRows > height)
        unitRows = height;
    // Rows decoded per call: a whole strip or row of tiles when the raster
    // stays small, else slices of it (a multiple of 4 rows so that
    // subsampled YCbCr blocks are not split).
    uint64_t slice = RASTER_LIMIT / (static_cast<uint64_t>(width) * 4);
    if (slice >= 4)
        slice -= slice % 4;
    if (slice == 0)
        slice = 1;
    if (slice > unitRows)
        slice = unitRows;
    std::vector<uint32_t> raster;
    try {
        raster.resize(static_cast<size_t>(slice) * width);
    } catch (const std::bad_alloc&) {
        return io.Refuse(Refusal::OutOfMemory);
    }

    const auto& rows = build.Rows();
    const auto& columns = build.Columns();
    size_t k = 0;
    while (k < rows.size()) {
        const uint32_t r = rows[k];
        const uint32_t unitStart = r - r % unitRows;
        const uint32_t start = static_cast<uint32_t>(unitStart + (r - unitStart) / slice * slice);
        const uint32_t limit = static_cast<uint32_t>(
            std::min<uint64_t>({static_cast<uint64_t>(start) + slice, static_cast<uint64_t>(unitStart) + unitRows, height}));
        size_t last = k;
        while (last + 1 < rows.size() && rows[last + 1] < limit)
            ++last;
        img.row_offset = static_cast<int>(start);
        img.col_offset = 0;
        bool broken = false;
        if (!TIFFRGBAImageGet(&img, raster.data(), width, rows[last] - start + 1) || lib.Failed()) {
            // Damage part-way: a fitted preview keeps the rows libtiff
            // decodes before it (libtiff decodes a strip only as far as the
            // rows asked for) and shows the rest black.
            if (io.m_bFullSize != 0)
                return io.Refuse(Refusal::TiffLibraryError);
            // The most rows libtiff decodes from `start`: a fresh handle for
            // each try (the broken one may keep state from the damage), the
            // count found by halving.
            const auto decodes = [&](size_t m) {
                LibTiff again;
                TIFFRGBAImage part;
                if (!again.Open(io) || !TIFFRGBAImageBegin(&part, again.get(), 1, message))
                    return false;
                End endPart{&part};
                part.req_orientation = part.orientation;
                part.row_offset = static_cast<int>(start);
                part.col_offset = 0;
                return TIFFRGBAImageGet(&part, raster.data(), width, rows[m] - start + 1) && !again.Failed();
            };
            // Preview rows k .. last: the last one is known to fail.
            if (!decodes(k))
                return k == 0 ? io.Refuse(Refusal::TiffLibraryError) : 1;
            size_t good = k;
            size_t bad = last;
            bool inRaster = true;
            while (bad - good > 1) {
                const size_t mid = good + (bad - good) / 2;
                inRaster = decodes(mid);
                if (inRaster)
                    good = mid;
                else
                    bad = mid;
            }
            last = good;
            if (!inRaster && !decodes(last))
                return k == 0 ? io.Refuse(Refusal::TiffLibraryError) : 1;
            broken = true;
        }
        for (; k <= last; ++k) {
            const uint32_t* in = raster.data() + static_cast<size_t>(rows[k] - start) * width;
            unsigned char* out = build.Out(k);
            for (size_t i = 0; i < columns.size(); ++i) {
                const uint32_t p = in[columns[i]];
                out[3 * i] = static_cast<unsigned char>(TIFFGetB(p));
                out[3 * i + 1] = static_cast<unsigned char>(TIFFGetG(p));
                out[3 * i + 2] = static_cast<unsigned char>(TIFFGetR(p));
            }
        }
        if (broken)
            return 1;  // the rows after the damage stay black
    }
    return 1;
}

// Grey and RGB samples the RGBA interface does not take: other depths (up to
// 32 bits, 64-bit floating point) and signed or floating-point samples.
class SampleRows {
public:
    // Of separate planes, only the first `channels` are read.
    SampleRows(TIFF* tif, uint32_t bits, uint16_t format, uint16_t spp, uint32_t channels, bool separate)
        : m_tif(tif), m_bits(bits), m_format(format), m_spp(spp), m_channels(channels), m_separate(separate)
    {
    }

    // Prepares the band buffers.  UnsupportedDepth when the layout is not one
    // this reads; LargerThanFile when the bands would hold more bytes than
    // `decodable`, what the file's data can decode to.
    Refusal Init(uint32_t width, uint32_t height, uint64_t decodable)
    {
        m_width = width;
        m_tiled = TIFFIsTiled(m_tif) != 0;
        const bool whole = m_bits == 8 || m_bits == 16 || m_bits == 32 || m_bits == 64;
        if (m_bits == 0)
            return Refusal::UnsupportedDepth;
        if (m_format == SAMPLEFORMAT_IEEEFP ? (m_bits != 32 && m_bits != 64) : (!whole && m_bits > 16))
            return Refusal::UnsupportedDepth;
        const uint64_t planes = m_separate ? m_channels : 1;
        uint64_t bandRowBytes = 0;
        if (m_tiled) {
            m_tileWidth = Field32(m_tif, TIFFTAG_TILEWIDTH, 0);
            m_bandRows = Field32(m_tif, TIFFTAG_TILELENGTH, 0);
            m_tileRowBytes = static_cast<uint64_t>(TIFFTileRowSize64(m_tif));
            if (m_tileWidth == 0 || m_bandRows == 0 || m_tileRowBytes == 0 ||
                m_tileRowBytes * 8 != static_cast<uint64_t>(m_tileWidth) * m_bits * (m_separate ? 1 : m_spp))
                return Refusal::UnsupportedDepth;
            m_tilesAcross = (width + m_tileWidth - 1) / m_tileWidth;
            bandRowBytes = m_tileRowBytes * m_tilesAcross;
        } else {
            m_bandRows = Field32(m_tif, TIFFTAG_ROWSPERSTRIP, height);
            bandRowBytes = static_cast<uint64_t>(TIFFScanlineSize64(m_tif));
        }
        if (m_bandRows == 0 || m_bandRows > height)
            m_bandRows = height;
        m_rowBytes = bandRowBytes;
        // Every plane's band together within libtiff's own allocation limit.
        if (bandRowBytes == 0 || bandRowBytes > static_cast<uint64_t>(LIBTIFF_ALLOC_LIMIT) / m_bandRows / planes)
            return Refusal::UnsupportedDepth;
        const uint64_t bandBytes = bandRowBytes * m_bandRows;
        if (bandBytes * planes > decodable)
            return Refusal::LargerThanFile;
        try {
            m_bands.assign(planes, std::vector<unsigned char>(static_cast<size_t>(bandBytes)));
            if (m_tiled)
                m_tile.resize(static_cast<size_t>(TIFFTileSize64(m_tif)));
        } catch (const std::bad_alloc&) {
            return Refusal::OutOfMemory;
        }
        return Refusal::None;
    }

    // Row r of every plane in the band buffers; false on a decoding error.
    bool Load(uint32_t r)
    {
        const uint32_t band = r / m_bandRows;
        if (band == m_loaded)
            return true;
        m_loaded = UINT32_MAX;
        for (uint16_t p = 0; p < m_bands.size(); ++p) {
            unsigned char* out = m_bands[p].data();
            if (!m_tiled) {
                const tmsize_t size = static_cast<tmsize_t>(m_bands[p].size());
                if (TIFFReadEncodedStrip(m_tif, TIFFComputeStrip(m_tif, r, p), out, size) < 0)
                    return false;
                continue;
            }
            for (uint32_t t = 0; t < m_tilesAcross; ++t) {
                const uint32_t tile = TIFFComputeTile(m_tif, t * m_tileWidth, band * m_bandRows, 0, p);
                if (TIFFReadEncodedTile(m_tif, tile, m_tile.data(), static_cast<tmsize_t>(m_tile.size())) < 0)
                    return false;
                for (uint32_t y = 0; y < m_bandRows; ++y)
                    std::memcpy(out + y * m_rowBytes + t * m_tileRowBytes, m_tile.data() + y * m_tileRowBytes,
                                static_cast<size_t>(m_tileRowBytes));
            }
        }
        m_loaded = band;
        return true;
    }

    // Sample s of pixel x of row r (loaded) scaled to 0-255.
    unsigned char Sample(uint32_t r, uint32_t x, uint32_t s) const
    {
        const unsigned char* row = m_bands[m_separate ? s : 0].data() + static_cast<size_t>(r % m_bandRows) * m_rowBytes;
        const uint64_t index = m_separate ? x : static_cast<uint64_t>(x) * m_spp + s;
        if (m_format == SAMPLEFORMAT_IEEEFP) {
            double v = 0;
            if (m_bits == 32) {
                float f;
                std::memcpy(&f, row + index * 4, 4);
                v = f;
            } else {
                std::memcpy(&v, row + index * 8, 8);
            }
            if (!(v > 0))
                return 0;  // negative and not-a-number
            return v >= 1 ? 255 : static_cast<unsigned char>(v * 255 + 0.5);
        }
        uint64_t v = 0;
        switch (m_bits) {
        case 8:
            v = row[index];
            break;
        case 16: {
            uint16_t w;
            std::memcpy(&w, row + index * 2, 2);
            v = w;
            break;
        }
        case 32: {
            uint32_t w;
            std::memcpy(&w, row + index * 4, 4);
            v = w;
            break;
        }
        case 64:
            std::memcpy(&v, row + index * 8, 8);
            break;
        default:
            // Packed samples, most significant bit first.
            for (uint64_t b = index * m_bits, e = b + m_bits; b < e; ++b)
                v = (v << 1) | ((row[b / 8] >> (7 - b % 8)) & 1u);
            break;
        }
        // Signed samples: the most negative value shows black.
        if (m_format == SAMPLEFORMAT_INT)
            v ^= uint64_t{1} << (m_bits - 1);
        if (m_bits < 8)
            return static_cast<unsigned char>(v * 255 / ((uint64_t{1} << m_bits) - 1));
        return static_cast<unsigned char>(v >> (m_bits - 8));
    }

private:
    TIFF* m_tif;
    uint32_t m_bits;
    uint16_t m_format;
    uint16_t m_spp;
    uint32_t m_channels;
    bool m_separate;
    bool m_tiled = false;
    uint32_t m_width = 0;
    uint32_t m_bandRows = 0;
    uint32_t m_tileWidth = 0;
    uint32_t m_tilesAcross = 0;
    uint64_t m_tileRowBytes = 0;
    uint64_t m_rowBytes = 0;
    uint32_t m_loaded = UINT32_MAX;
    std::vector<std::vector<unsigned char>> m_bands;
    std::vector<unsigned char> m_tile;
};

// `decodable`: the most bytes the file's data may decode to.
int SamplePreview(CTiffIo& io, LibTiff& lib, PreviewBuild& build, uint64_t decodable)
{
    TIFF* tif = lib.get();
    const uint16_t photometric = Field16Defaulted(tif, TIFFTAG_PHOTOMETRIC);
    const uint16_t spp = Field16Defaulted(tif, TIFFTAG_SAMPLESPERPIXEL);
    const uint32_t channels = photometric == PHOTOMETRIC_RGB ? 3 : 1;
    if ((photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_MINISWHITE &&
         photometric != PHOTOMETRIC_RGB) || spp < channels)
        return io.Refuse(Refusal::UnsupportedColour);
    SampleRows source(tif, Field16Defaulted(tif, TIFFTAG_BITSPERSAMPLE), Field16Defaulted(tif, TIFFTAG_SAMPLEFORMAT),
                      spp, channels, Field16Defaulted(tif, TIFFTAG_PLANARCONFIG) == PLANARCONFIG_SEPARATE);
    const Refusal why = source.Init(io.m_nWidth, io.m_nHeight, decodable);
    if (why != Refusal::None)
        return io.Refuse(lib.Failed() ? Refusal::TiffLibraryError : why);
    const auto& rows = build.Rows();
    const auto& columns = build.Columns();
    for (size_t k = 0; k < rows.size(); ++k) {
        if (!source.Load(rows[k]) || lib.Failed()) {
            // Damage part-way: a fitted preview keeps the strips or tiles
            // decoded before it, the rest black.
            if (k == 0 || io.m_bFullSize != 0)
                return io.Refuse(Refusal::TiffLibraryError);
            return 1;
        }
        unsigned char* out = build.Out(k);
        for (size_t i = 0; i < columns.size(); ++i) {
            unsigned char rgb[3];
            if (channels == 3) {
                for (uint32_t c = 0; c < 3; ++c)
                    rgb[c] = source.Sample(rows[k], columns[i], c);
            } else {
                unsigned char v = source.Sample(rows[k], columns[i], 0);
                if (photometric == PHOTOMETRIC_MINISWHITE)
                    v = static_cast<unsigned char>(255 - v);
                rgb[0] = rgb[1] = rgb[2] = v;
            }
            out[3 * i] = rgb[2];
            out[3 * i + 1] = rgb[1];
            out[3 * i + 2] = rgb[0];
        }
    }
    return 1;
}

// True when the RGBA interface gives the file's colours: it takes the
// photometric and depth, and the samples are unsigned integers.
bool RgbaTakes(TIFF* tif)
{
    const uint16_t format = Field16Defaulted(tif, TIFFTAG_SAMPLEFORMAT);
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID)
        return false;
    char message[1024] = {};
    return TIFFRGBAImageOK(tif, message) != 0;
}

}  // namespace

bool TiffFallbackAvailable() { return true; }

int TiffFallbackHeader(CTiffIo& io)
{
    LibTiff lib;
    if (!lib.Open(io))
        return io.Refuse(Refusal::TiffLibraryError);
    const uint32_t width = Field32(lib.get(), TIFFTAG_IMAGEWIDTH, 0);
    const uint32_t height = Field32(lib.get(), TIFFTAG_IMAGELENGTH, 0);
    if (width == 0 || height == 0)
        return io.Refuse(Refusal::EmptyPicture);
    io.m_nWidth = width;
    io.m_nHeight = height;
    ReadResolution(lib.get(), io);
    return 1;
}

int TiffFallbackPreview(CTiffIo& io, int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    try {
        LibTiff lib;
        if (!lib.Open(io))
            return io.Refuse(Refusal::TiffLibraryError);
        TIFF* tif = lib.get();
        // The size libtiff reads is the one the preview is made for.
        io.m_nWidth = Field32(tif, TIFFTAG_IMAGEWIDTH, 0);
        io.m_nHeight = Field32(tif, TIFFTAG_IMAGELENGTH, 0);
        if (io.m_nWidth == 0 || io.m_nHeight == 0)
            return io.Refuse(Refusal::EmptyPicture);
        // One decoded row must fit in the raster of RGBA rows.
        if (static_cast<uint64_t>(io.m_nWidth) * 4 > RASTER_LIMIT)
            return io.Refuse(Refusal::PictureTooLarge);
        // The picture must be one the file could hold before memory is spent
        // on it.
        PictureBounds bounds;
        bounds.width = io.m_nWidth;
        bounds.height = io.m_nHeight;
        bounds.bitsPerPixel = static_cast<uint32_t>(Field16Defaulted(tif, TIFFTAG_BITSPERSAMPLE)) *
                              Field16Defaulted(tif, TIFFTAG_SAMPLESPERPIXEL);
        bounds.dataBytes = io.m_file.GetLength();
        bounds.expansion = CODEC_EXPANSION;
        bounds.fullSize = io.m_bFullSize != 0;
        const Refusal why = CheckPictureBounds(bounds);
        if (why != Refusal::None)
            return io.Refuse(why);
        // The RGBA interface decodes a whole strip or tile (one per plane
        // when planes are separate) before it hands over any row.
        const uint64_t decodable = SaturatingMul(bounds.dataBytes, CODEC_EXPANSION);
        const bool rgba = RgbaTakes(tif);
        if (rgba) {
            const uint64_t unitBytes = TIFFIsTiled(tif) ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
            const bool separate = Field16Defaulted(tif, TIFFTAG_PLANARCONFIG) == PLANARCONFIG_SEPARATE;
            const uint64_t planes = separate ? Field16Defaulted(tif, TIFFTAG_SAMPLESPERPIXEL) : 1;
            if (SaturatingMul(unitBytes, planes) > decodable)
                return io.Refuse(Refusal::LargerThanFile);
        }

        io.ComputeDibSize();
        uint32_t blockBytes = 0;
        if (!PreviewBlockBytes(io.m_nDibWidth, io.m_nDibHeight, &blockBytes))
            return io.Refuse(Refusal::PictureTooLarge);
        ImageBlock<> block;
        if (!block.Alloc(blockBytes, 1))
            return io.Refuse(Refusal::OutOfMemory);
        PreviewBuild build(io, block.get());
        const int ok = rgba ? RgbaPreview(io, lib, build) : SamplePreview(io, lib, build, decodable);
        if (!ok)
            return io.Refuse(Refusal::TiffLibraryError);
        *width = static_cast<int32_t>(io.m_nDibWidth);
        *height = static_cast<int32_t>(io.m_nDibHeight);
        *bits = block.release();
        return 1;
    } catch (const std::bad_alloc&) {
        return io.Refuse(Refusal::OutOfMemory);
    } catch (const CFileException&) {
        return io.Refuse(Refusal::ReadError);
    }
}

#else  // no libtiff in this build: the own decoders' refusals stand

bool TiffFallbackAvailable() { return false; }

int TiffFallbackHeader(CTiffIo& io) { return io.Refuse(Refusal::UnsupportedCompression); }

int TiffFallbackPreview(CTiffIo& io, int32_t*, int32_t*, unsigned char** bits)
{
    *bits = nullptr;
    return io.Refuse(Refusal::UnsupportedCompression);
}

#endif
