#include "ImageIo.h"

#include "cvt_test.h"

#include <algorithm>
#include <cstring>

std::vector<uint32_t> FirstMatchIndices(uint32_t n, uint32_t m)
{
    std::vector<uint32_t> taken;
    if (n == 0 || m == 0)
        return taken;
    if (m > n)
        m = n;
    taken.reserve(m);
    const double q = static_cast<float>(static_cast<double>(m) / static_cast<double>(n));
    // Scaled value of source index j, truncated; it never decreases as j grows
    // (a product with a fixed positive factor rounds monotonically).
    const auto scaled = [q](uint64_t j) { return static_cast<uint64_t>(static_cast<double>(j) * q); };
    // Walking j = 0, 1, ... and taking j when its scaled value equals the next
    // preview index i is the same as, for each i in turn, finding the first
    // j past the last one taken whose scaled value reaches i: if that value
    // overshoots i, no later j can match i and the walk takes nothing more.
    // Jumping straight to that j keeps the cost proportional to m, not n.
    uint64_t from = 0;
    for (uint32_t i = 0; i < m; ++i) {
        uint64_t j = static_cast<uint64_t>(static_cast<double>(i) / q);
        if (j < from)
            j = from;
        if (j > n)
            j = n;
        while (j > from && scaled(j - 1) >= i)
            --j;
        while (j < n && scaled(j) < i)
            ++j;
        if (j >= n || scaled(j) != i)
            break;
        taken.push_back(static_cast<uint32_t>(j));
        from = j + 1;
    }
    return taken;
}

bool PreviewBlockBytes(uint32_t width, uint32_t height, uint32_t* bytes)
{
    const uint64_t stride = ((static_cast<uint64_t>(width) * 24 + 31) / 32) * 4;
    return MulSize(stride, height, bytes);
}

Refusal AllocPreviewBlock(uint32_t width, uint32_t height, ImageBlock<>& block)
{
    uint32_t blockBytes = 0;
    if (!PreviewBlockBytes(width, height, &blockBytes))
        return Refusal::PictureTooLarge;
    if (!block.Alloc(blockBytes, 1))
        return Refusal::OutOfMemory;
    return Refusal::None;
}

bool ColourModeOfSamples(uint32_t samples, int32_t* mode)
{
    switch (samples) {
    case 1: *mode = COLOR_GREY; return true;
    case 3: *mode = COLOR_RGB; return true;
    case 4: *mode = COLOR_CMYK; return true;
    default: return false;
    }
}

CImageIo::~CImageIo() { ImageFree(&m_pPalette); }

int CImageIo::ReadHeader() { return 0; }

int CImageIo::MakeDib(int32_t*, int32_t*, unsigned char**) { return 0; }

int CImageIo::ReadPreviewRows(unsigned char* const*) { return 0; }

int CImageIo::ComputeDibSize()
{
    m_nDibWidth = m_nWidth;
    m_nDibHeight = m_nHeight;
    if (m_bFullSize == 0 && (m_nWidth > PREVIEW_LIMIT || m_nHeight > PREVIEW_LIMIT)) {
        const uint32_t longer = m_nWidth > m_nHeight ? m_nWidth : m_nHeight;
        const float s = static_cast<float>(static_cast<double>(longer) / PREVIEW_LIMIT);
        m_nDibWidth = static_cast<uint32_t>(static_cast<double>(m_nWidth) / static_cast<double>(s));
        m_nDibHeight = static_cast<uint32_t>(static_cast<double>(m_nHeight) / static_cast<double>(s));
        if (m_nDibWidth == 0)
            m_nDibWidth = 1;
        if (m_nDibHeight == 0)
            m_nDibHeight = 1;
    }
    return 1;
}

bool CImageIo::SwapsChannels() const
{
    return m_bBgrRows && m_nChannels == 3;
}

bool CImageIo::SourceRowBytes(uint32_t* bytes) const
{
    if (m_nWidth == 0)
        return false;
    const uint64_t last = m_nWidth - 1;
    const uint64_t step = m_nSamplesPerPixel;
    uint64_t need = 0;
    switch (m_nColorMode) {
    case COLOR_RGB:
    case COLOR_CMYK:
        if (m_bPlanar != 0 && !SwapsChannels())
            need = static_cast<uint64_t>(m_nChannels) * m_nWidth;
        else
            need = last * step + m_nChannels;
        break;
    case COLOR_INDEXED:
    case COLOR_BILEVEL:
    case COLOR_GREY:
    case COLOR_CHANNEL: {
        const uint64_t mult = m_bPlanar != 0 ? 1 : step;
        uint64_t unit = last;
        if (m_nBitsPerSample == 4)
            unit = last / 2;
        else if (m_nBitsPerSample == 1)
            unit = last / 8;
        need = unit * mult + 1;
        break;
    }
    default:
        need = 1;
        break;
    }
    if (need > UINT32_MAX)
        return false;
    *bytes = static_cast<uint32_t>(need);
    return true;
}

const std::vector<uint32_t>& CImageIo::SampledColumns()
{
    if (m_vColumns.empty() || m_nColumnsFor[0] != m_nWidth || m_nColumnsFor[1] != m_nDibWidth) {
        m_vColumns = FirstMatchIndices(m_nWidth, m_nDibWidth);
        m_nColumnsFor[0] = m_nWidth;
        m_nColumnsFor[1] = m_nDibWidth;
    }
    return m_vColumns;
}

unsigned char* CImageIo::DibRow(unsigned char* block, uint32_t row) const
{
    const size_t stride = ((static_cast<size_t>(m_nDibWidth) * 24 + 31) / 32) * 4;
    return block + static_cast<size_t>(m_nDibHeight - 1 - row) * stride;
}

unsigned char* CImageIo::WholeRgbRowInBlock(uint32_t row)
{
    if (m_pRowBlock == nullptr || row >= m_nDibHeight || m_nColorMode != COLOR_RGB ||
        SampledColumns().size() != m_nWidth)
        return nullptr;
    m_vRowWritten[row] = 1;
    return DibRow(m_pRowBlock, row);
}

int CImageIo::SampleRow(uint32_t row, const unsigned char* source, unsigned char* const* planes)
{
    // The planes hold m_nDibHeight rows; a row past them is not written.
    if (row >= m_nDibHeight)
        return 0;
    SampledColumns();
    if (m_nSwap < 0)
        m_nSwap = SwapsChannels() ? 1 : 0;
    const size_t step = m_nSamplesPerPixel;
    const size_t count = m_vColumns.size();

    // Built row by row: the row lands in its row of the block (bottom-up),
    // through the one-row planes unless it is RGB, which goes there at once.
    unsigned char* dib = nullptr;
    size_t base = static_cast<size_t>(row) * PlaneRowBytes();
    if (m_pRowBlock != nullptr) {
        dib = DibRow(m_pRowBlock, row);
        planes = m_pRowPlanes;
        base = 0;
        m_vRowWritten[row] = 1;
        if (m_nColorMode == COLOR_RGB && m_nChannels >= 3) {
            SampleRgbRow(source, dib);
            return 1;
        }
    }

    switch (m_nColorMode) {
    case COLOR_RGB:
    case COLOR_CMYK: {
        const uint32_t channels = m_nChannels < MAX_PREVIEW_CHANNELS ? m_nChannels : MAX_PREVIEW_CHANNELS;
        if (m_nSwap == 1) {
            for (size_t i = 0; i < count; ++i) {
                const unsigned char* px = source + m_vColumns[i] * step;
                planes[2][base + i] = px[0];
                planes[1][base + i] = px[1];
                planes[0][base + i] = px[2];
            }
        } else if (m_bPlanar == 0) {
            for (uint32_t k = 0; k < channels; ++k) {
                unsigned char* out = planes[k] + base;
                for (size_t i = 0; i < count; ++i)
                    out[i] = source[m_vColumns[i] * step + k];
            }
        } else {
            for (uint32_t k = 0; k < channels; ++k) {
                const unsigned char* in = source + static_cast<size_t>(k) * m_nWidth;
                unsigned char* out = planes[k] + base;
                for (size_t i = 0; i < count; ++i)
                    out[i] = in[m_vColumns[i]];
            }
        }
        break;
    }
    case COLOR_INDEXED:
    case COLOR_BILEVEL:
    case COLOR_GREY:
    case COLOR_CHANNEL: {
        const size_t mult = m_bPlanar != 0 ? 1 : step;
        unsigned char* out = planes[0] + base;
        if (m_nBitsPerSample == 4) {
            for (size_t i = 0; i < count; ++i) {
                const uint32_t j = m_vColumns[i];
                const unsigned char b = source[(j / 2) * mult];
                out[i] = (j & 1) ? (b & 0x0F) : (b >> 4);
            }
        } else if (m_nBitsPerSample == 1) {
            for (size_t i = 0; i < count; ++i) {
                const uint32_t j = m_vColumns[i];
                out[i] = (source[(j / 8) * mult] >> (7 - (j % 8))) & 1;
            }
        } else if (mult == 1 && count == m_nWidth) {
            std::memcpy(out, source, count);  // every column, one byte each
        } else {
            for (size_t i = 0; i < count; ++i)
                out[i] = source[m_vColumns[i] * mult];
        }
        break;
    }
    default:
        break;
    }
    if (dib != nullptr) {
        FinishSampledRow(m_pRowPlanes);
        PlaneRowToDib(m_pRowPlanes, dib);
    }
    return 1;
}

void CImageIo::SampleRgbRow(const unsigned char* source, unsigned char* out)
{
    // The same choice of samples as the planes would hold (red, green, blue
    // from the stored order), written blue, green, red.
    const size_t step = m_nSamplesPerPixel;
    const size_t count = m_vColumns.size();
    const uint32_t* column = m_vColumns.data();
    if (m_nSwap == 1) {
        if (step == 3 && count == m_nWidth) {
            std::memcpy(out, source, 3 * count);  // every pixel, already blue, green, red
            return;
        }
        for (size_t i = 0; i < count; ++i, out += 3) {
            const unsigned char* px = source + column[i] * step;
            out[0] = px[0];
            out[1] = px[1];
            out[2] = px[2];
        }
    } else if (m_bPlanar == 0) {
        if (count == m_nWidth) {
            for (size_t i = 0; i < count; ++i, out += 3, source += step) {
                out[0] = source[2];
                out[1] = source[1];
                out[2] = source[0];
            }
            return;
        }
        for (size_t i = 0; i < count; ++i, out += 3) {
            const unsigned char* px = source + column[i] * step;
            out[0] = px[2];
            out[1] = px[1];
            out[2] = px[0];
        }
    } else {
        const unsigned char* red = source;
        const unsigned char* green = source + m_nWidth;
        const unsigned char* blue = source + 2 * static_cast<size_t>(m_nWidth);
        for (size_t i = 0; i < count; ++i, out += 3) {
            out[0] = blue[column[i]];
            out[1] = green[column[i]];
            out[2] = red[column[i]];
        }
    }
}

int CImageIo::PlanesToDib(unsigned char* const* planes, unsigned char* bits)
{
    const size_t r = PlaneRowBytes();
    const uint32_t used = m_nColorMode == COLOR_RGB ? 3 : m_nColorMode == COLOR_CMYK ? 4 : 1;
    for (uint32_t i = 0; i < m_nDibHeight; ++i) {
        const unsigned char* rows[MAX_PREVIEW_CHANNELS] = {};
        for (uint32_t k = 0; k < used; ++k)
            rows[k] = planes[k] + static_cast<size_t>(i) * r;
        PlaneRowToDib(rows, DibRow(bits, i));
    }
    return 1;
}

void CImageIo::PlaneRowToDib(const unsigned char* const* rows, unsigned char* out)
{
    const uint32_t paletteSize = m_pPalette != nullptr ? m_nPaletteSize : 0;
    switch (m_nColorMode) {
    case COLOR_RGB: {
        const unsigned char* red = rows[0];
        const unsigned char* green = rows[1];
        const unsigned char* blue = rows[2];
        for (uint32_t x = 0; x < m_nDibWidth; ++x, out += 3) {
            out[0] = blue[x];
            out[1] = green[x];
            out[2] = red[x];
        }
        break;
    }
    case COLOR_CMYK: {
        // Interleaved in runs, converted straight into blue-green-red order.
        constexpr uint32_t kRun = 256;
        unsigned char cmyk[4 * kRun];
        for (uint32_t x = 0; x < m_nDibWidth; x += kRun) {
            const uint32_t n = m_nDibWidth - x < kRun ? m_nDibWidth - x : kRun;
            for (uint32_t i = 0; i < n; ++i) {
                cmyk[4 * i] = rows[0][x + i];
                cmyk[4 * i + 1] = rows[1][x + i];
                cmyk[4 * i + 2] = rows[2][x + i];
                cmyk[4 * i + 3] = rows[3][x + i];
            }
            TransformArgs args{};
            args.pIn = cmyk;
            args.pOut = out + 3 * static_cast<size_t>(x);
            args.nInStride = static_cast<int32_t>(4 * n);
            args.nOutStride = static_cast<int32_t>(3 * n);
            args.nCount = n;
            args.nRows = 1;
            int16_t status = 0;
            ColourTransform(-2, &args, &status);
        }
        break;
    }
    case COLOR_INDEXED:
    case COLOR_BILEVEL: {
        const unsigned char* index = rows[0];
        for (uint32_t x = 0; x < m_nDibWidth; ++x, out += 3) {
            const uint32_t a = index[x];
            // Indices past the palette show as black.
            if (a < paletteSize) {
                out[0] = m_pPalette[4 * a];
                out[1] = m_pPalette[4 * a + 1];
                out[2] = m_pPalette[4 * a + 2];
            } else {
                out[0] = out[1] = out[2] = 0;
            }
        }
        break;
    }
    case COLOR_GREY:
    case COLOR_CHANNEL: {
        const unsigned char* grey = rows[0];
        for (uint32_t x = 0; x < m_nDibWidth; ++x, out += 3)
            out[0] = out[1] = out[2] = grey[x];
        break;
    }
    default:
        break;
    }
}

int CImageIo::MakePlanesPreview(int32_t* width, int32_t* height, unsigned char** bits)
{
    ComputeDibSize();
    return BuildPlanesPreview(width, height, bits);
}

void CImageIo::MarkRowsMissing(uint32_t first, uint32_t end)
{
    if (end > m_nDibHeight)
        end = m_nDibHeight;
    if (first >= end)
        return;
    if (m_vRowMissing.empty())
        m_vRowMissing.assign(m_nDibHeight, 0);
    std::fill(m_vRowMissing.begin() + first, m_vRowMissing.begin() + end, 1);
}

int CImageIo::BuildPlanesPreview(int32_t* width, int32_t* height, unsigned char** bits)
{
    m_vRowMissing.clear();
    unsigned char* block = nullptr;
    int ok = FillPreviewBlock(&block);
    // The preview consumes the palette whatever the outcome.
    ImageFree(&m_pPalette);
    if (ok && !m_vRowMissing.empty()) {
        // A full-size preview needs every row; a fitted one shows the rows
        // the file does not hold black.
        if (m_bFullSize != 0 && m_nDibWidth == m_nWidth && m_nDibHeight == m_nHeight) {
            ImageFree(&block);
            ok = Refuse(Refusal::RowsMissing);
        } else {
            const size_t stride = ((static_cast<size_t>(m_nDibWidth) * 24 + 31) / 32) * 4;
            for (uint32_t row = 0; row < m_nDibHeight; ++row)
                if (m_vRowMissing[row] != 0)
                    std::memset(DibRow(block, row), 0, stride);
        }
    }
    std::vector<unsigned char>().swap(m_vRowMissing);
    if (!ok) {
        *bits = nullptr;  // a failed preview leaves nothing to release
        return 0;
    }
    *width = static_cast<int32_t>(m_nDibWidth);
    *height = static_cast<int32_t>(m_nDibHeight);
    *bits = block;
    return 1;
}

int CImageIo::FillPreviewBlock(unsigned char** bits)
{
    if (m_nDibWidth == 0 || m_nDibHeight == 0)
        return Refuse(Refusal::EmptyPicture);
    if (m_nDibWidth > UINT32_MAX / 8 || m_nDibWidth > INT32_MAX || m_nDibHeight > INT32_MAX)
        return Refuse(Refusal::PictureTooLarge);
    const uint32_t channels = m_nChannels == 0 ? 1 : m_nChannels;
    if (channels > MAX_PREVIEW_CHANNELS)
        return Refuse(Refusal::UnsupportedColour);
    // Every mode reads planes 0 .. its plane count - 1; make sure they exist.
    const uint32_t needed = m_nColorMode == COLOR_RGB ? 3 : m_nColorMode == COLOR_CMYK ? 4 : 1;
    if (channels < needed)
        return Refuse(Refusal::UnsupportedColour);

    ImageBlock<> block;
    if (const Refusal why = AllocPreviewBlock(m_nDibWidth, m_nDibHeight, block); why != Refusal::None)
        return Refuse(why);

    if (SamplesWholeRows()) {
        if (!FillPreviewBlockByRows(block.get()))
            return Refuse(Refusal::PreviewFailed);
        *bits = block.release();
        return 1;
    }

    uint32_t planeBytes = 0;
    uint32_t allPlanes = 0;
    if (!MulSize(PlaneRowBytes(), m_nDibHeight, &planeBytes) || !MulSize(planeBytes, channels, &allPlanes))
        return Refuse(Refusal::PictureTooLarge);
    ImageBlock<> planeBlock;
    if (!planeBlock.Alloc(allPlanes, 1))
        return Refuse(Refusal::OutOfMemory);
    unsigned char* planes[MAX_PREVIEW_CHANNELS] = {};
    for (uint32_t k = 0; k < channels; ++k)
        planes[k] = planeBlock.get() + static_cast<size_t>(k) * planeBytes;

    if (!ReadPreviewRows(planes))
        return Refuse(Refusal::PreviewFailed);
    PlanesToDib(planes, block.get());
    *bits = block.release();
    return 1;
}

int CImageIo::FillPreviewBlockByRows(unsigned char* block)
{
    // One row of each plane: SampleRow turns every row it takes into its row
    // of the block at once.
    const uint32_t channels = m_nChannels == 0 ? 1 : m_nChannels;
    const uint32_t rowBytes = PlaneRowBytes();
    ImageBlock<> rowPlanes;
    if (!rowPlanes.Alloc(rowBytes * channels, 1))
        return Refuse(Refusal::OutOfMemory);
    unsigned char* planes[MAX_PREVIEW_CHANNELS] = {};
    for (uint32_t k = 0; k < channels; ++k)
        planes[k] = rowPlanes.get() + static_cast<size_t>(k) * rowBytes;
    SampledColumns();
    m_vRowWritten.assign(m_nDibHeight, 0);

    // Whatever happens, SampleRow writes to the block only while it is held.
    struct Building {
        CImageIo& io;
        ~Building()
        {
            io.m_pRowBlock = nullptr;
            for (unsigned char*& p : io.m_pRowPlanes)
                p = nullptr;
            std::vector<unsigned char>().swap(io.m_vRowWritten);
        }
    } building{*this};
    m_pRowBlock = block;
    for (uint32_t k = 0; k < MAX_PREVIEW_CHANNELS; ++k)
        m_pRowPlanes[k] = planes[k];

    if (!ReadPreviewRows(planes))
        return 0;
    // Rows nothing was sampled into show what empty planes would show.
    std::memset(rowPlanes.get(), 0, static_cast<size_t>(rowBytes) * channels);
    for (uint32_t row = 0; row < m_nDibHeight; ++row) {
        if (m_vRowWritten[row] == 0)
            PlaneRowToDib(planes, DibRow(block, row));
    }
    return 1;
}
