// The ConvertBWTiff export: reads a TIFF file at full resolution, converts it
// between black-and-white and colour, and writes the result as a new TIFF
// file that replaces the destination only once it is complete.
#include "ITiffIO.h"
#include "TempFile.h"
#include "quorvel.h"

#include <cstdio>
#include <string>

namespace {

// Removes a temporary file on every path that does not hand it over.
class TempFileGuard {
public:
    explicit TempFileGuard(std::string path) : m_path(std::move(path)) {}
    ~TempFileGuard()
    {
        if (!m_path.empty())
            DeleteFile(m_path);
    }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    void Release() { m_path.clear(); }

private:
    std::string m_path;
};

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.find_last_of(PATH_SEPS);
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return std::string(1, PATH_SEP);
    return path.substr(0, slash);
}

int Convert(const char* source, const char* destination, uint32_t colour)
{
    if (source == nullptr || destination == nullptr || destination[0] == '\0')
        return 0;
    CTiffIo io(source);
    io.m_bLibTiffFallback = false;
    if (!io.m_file.Open(source, CFile::modeRead | CFile::shareDenyWrite))
        return 0;
    if (!io.ReadHeader())
        return 0;
    if (io.m_nColorMode != COLOR_BILEVEL && io.m_nColorMode != COLOR_RGB &&
        io.m_nColorMode != COLOR_INDEXED)
        return 0;
    // Everything that can be refused is refused before the destination is
    // touched: a bilevel source has nothing to reduce, and the writer knows
    // only these compressions.
    if (colour == 0 && io.m_nColorMode == COLOR_BILEVEL)
        return 0;
    if (io.m_nCompression != TIFF_COMPRESSION_NONE && io.m_nCompression != TIFF_COMPRESSION_LZW &&
        io.m_nCompression != TIFF_COMPRESSION_PACKBITS)
        return 0;
    if (io.m_nWidth == 0 || io.m_nHeight == 0 || io.m_nWidth > INT32_MAX || io.CheckImageFitsInFile() != Refusal::None)
        return 0;

    uint32_t planeBytes, allBytes;
    if (!MulSize(io.m_nWidth, io.m_nHeight, &planeBytes) || !MulSize(planeBytes, 3, &allBytes))
        return 0;
    io.m_nRowBytes = static_cast<int32_t>(io.m_nWidth);
    ImageBlock<> planes;
    if (!planes.Alloc(allBytes, 1))
        return 0;
    for (int i = 0; i < 3; ++i) {
        io.m_nPlaneKind[i] = 1;
        io.m_pPlane[i] = planes.get() + static_cast<size_t>(i) * planeBytes;
    }
    if (!io.ReadFullImage())
        return 0;
    io.m_file.Close();

    int converted;
    if (colour != 0)
        converted = io.Colorize(colour);
    else if (io.m_nColorMode == COLOR_RGB)
        converted = io.RgbToBilevel();
    else
        converted = io.PaletteToBilevel();
    if (!converted)
        return 0;

    // The new file is written beside the destination and replaces it only
    // when complete, so a failure leaves any existing destination as it was.
    const std::string target = destination;
    const std::string temp = CreateTempFile(DirectoryOf(target), ".quorvel-");
    if (temp.empty())
        return 0;
    TempFileGuard guard(temp);
    if (!io.m_file.Open(temp.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive))
        return 0;
    if (!io.WriteImage())
        return 0;
    io.m_file.Close();
    if (!ReplaceWithTempFile(temp, target))
        return 0;
    guard.Release();
    return 1;
}

}  // namespace

// ---- conversions ------------------------------------------------------------

bool CTiffIo::SetBlackWhitePalette()
{
    unsigned char* palette = static_cast<unsigned char*>(ImageAlloc(8, 0));
    if (palette == nullptr)
        return false;
    palette[4] = palette[5] = palette[6] = 255;  // entry 1 white; entry 0 stays black
    ImageFree(&m_pPalette);
    m_pPalette = palette;
    m_nPaletteSize = 2;
    return true;
}

int CTiffIo::Colorize(uint32_t colour)
{
    m_nPaletteSize = 0;
    ImageFree(&m_pPalette);
    const unsigned char red = static_cast<unsigned char>(colour);
    const unsigned char green = static_cast<unsigned char>(colour >> 8);
    const unsigned char blue = static_cast<unsigned char>(colour >> 16);
    // Plane 0 equal to the value meaning white marks the background.
    for (uint32_t y = 0; y < m_nHeight; ++y) {
        const size_t base = static_cast<size_t>(y) * static_cast<uint32_t>(m_nRowBytes);
        unsigned char* p0 = m_pPlane[0] + base;
        unsigned char* p1 = m_pPlane[1] + base;
        unsigned char* p2 = m_pPlane[2] + base;
        for (uint32_t x = 0; x < m_nWidth; ++x) {
            if (p0[x] == m_nGreyPhotometric) {
                p0[x] = p1[x] = p2[x] = 255;
            } else {
                p0[x] = red;
                p1[x] = green;
                p2[x] = blue;
            }
        }
    }
    m_nChannels = 3;
    m_nSamplesPerPixel = 3;
    m_nColorMode = COLOR_RGB;
    m_nBitsPerSample = 8;
    return 1;
}

int CTiffIo::RgbToBilevel()
{
    // A palette too small for the two entries is replaced.
    if (m_pPalette == nullptr || m_nPaletteSize < 2) {
        if (!SetBlackWhitePalette())
            return 0;
    } else {
        m_nPaletteSize = 2;
        for (int c = 0; c < 3; ++c) {
            m_pPalette[c] = 0;
            m_pPalette[4 + c] = 255;
        }
    }
    for (uint32_t y = 0; y < m_nHeight; ++y) {
        const size_t base = static_cast<size_t>(y) * static_cast<uint32_t>(m_nRowBytes);
        unsigned char* p0 = m_pPlane[0] + base;
        const unsigned char* green = m_pPlane[1] + base;
        for (uint32_t x = 0; x < m_nWidth; ++x)
            p0[x] = green[x] > 128 ? 1 : 0;
    }
    m_nChannels = 1;
    m_nSamplesPerPixel = 1;
    m_nColorMode = COLOR_BILEVEL;
    m_nBitsPerSample = 8;
    return 1;
}

int CTiffIo::PaletteToBilevel()
{
    // Indices past the palette are black.
    for (uint32_t y = 0; y < m_nHeight; ++y) {
        unsigned char* p0 = m_pPlane[0] + static_cast<size_t>(y) * static_cast<uint32_t>(m_nRowBytes);
        for (uint32_t x = 0; x < m_nWidth; ++x) {
            const uint32_t index = p0[x];
            p0[x] = (m_pPalette != nullptr && index < m_nPaletteSize && m_pPalette[4 * index + 1] > 128)
                        ? 1
                        : 0;
        }
    }
    if (!SetBlackWhitePalette())
        return 0;
    m_nChannels = 1;
    m_nSamplesPerPixel = 1;
    m_nColorMode = COLOR_BILEVEL;
    m_nBitsPerSample = 8;
    return 1;
}

extern "C" QUORVEL_API int QUORVEL_CALL ConvertBWTiff(const char* source, const char* destination,
                                                      uint32_t colour)
{
    // Overlapping calls on other threads that hold the same files are waited for.
    ExportCallScope call;
    // Nothing may leave the library as an exception.
    try {
        return Convert(source, destination, colour);
    } catch (...) {
        return 0;
    }
}
