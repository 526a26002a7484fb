#include "iPcdIo.h"

#include "PictureBounds.h"

#include <cmath>
#include <cstring>

namespace {

constexpr uint32_t kSignatureOffset = 2048;
constexpr uint32_t kAttributeOffset = 72;
constexpr uint32_t kBaseWidth = 768;
constexpr uint32_t kBaseHeight = 512;

unsigned char Clamp(double v)
{
    const double t = std::trunc(v);
    return static_cast<unsigned char>(t < 0 ? 0 : t > 255 ? 255 : t);
}

}  // namespace

CPcdIo::CPcdIo(const char* name) { m_pszPath = name; }

CPcdIo::~CPcdIo() = default;

void CPcdIo::YccToRgb(int y, int c1, int c2, unsigned char* rgb)
{
    const int a = c1 - 156;
    const int b = c2 - 137;
    rgb[0] = Clamp(1.407488 * y + 1.3230336 * b);
    rgb[1] = Clamp(1.407488 * y - 0.3954176 * a - 0.67392 * b);
    rgb[2] = Clamp(1.407488 * y + 2.0360448 * a);
}

int CPcdIo::ReadHeader()
{
    unsigned char signature[3] = {};
    if (m_file.GetLength() < kSignatureOffset + sizeof signature)
        return Refuse(Refusal::PcdSignature);
    m_file.Seek(kSignatureOffset, CFile::begin);
    if (m_file.Read(signature, sizeof signature) != sizeof signature || std::memcmp(signature, "PCD", 3) != 0)
        return Refuse(Refusal::PcdSignature);
    unsigned char attribute = 0;
    m_file.Seek(kAttributeOffset, CFile::begin);
    if (m_file.Read(&attribute, 1) != 1)
        return Refuse(Refusal::Truncated);
    m_bReverseRows = (attribute & 1) != 0;

    m_nWidth = kBaseWidth;
    m_nHeight = kBaseHeight;
    m_fXRes = 72.0f;
    m_fYRes = 72.0f;
    m_nBitsPerPixel = 8;
    m_nColorMode = COLOR_RGB;
    m_nBitsPerSample = 8;
    m_nSamplesPerPixel = 3;
    m_nChannels = 3;
    m_nPaletteSize = 0;
    return 1;
}

int CPcdIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    // The thumbnail must be in the file, at least its first rows: 12 bits a
    // pixel (full-resolution luma, chroma halved both ways).
    const uint64_t length = m_file.GetLength();
    PictureBounds bounds;
    bounds.width = kThumbWidth;
    bounds.height = kThumbHeight;
    bounds.bitsPerPixel = 12;
    bounds.dataBytes = length > kThumbOffset ? length - kThumbOffset : 0;
    const Refusal why = CheckPictureBounds(bounds);
    if (why != Refusal::None)
        return Refuse(why);
    // The thumbnail, whatever the full-size flag says.
    m_nDibWidth = kThumbWidth;
    m_nDibHeight = kThumbHeight;
    return BuildPlanesPreview(width, height, bits);
}

int CPcdIo::ReadPreviewRows(unsigned char* const* planes)
{
    const size_t stride = PlaneRowBytes();
    ImageBlock<> group;
    if (!group.Alloc(kGroupBytes, 1))
        return Refuse(Refusal::OutOfMemory);
    m_file.Seek(kThumbOffset, CFile::begin);
    // Groups the file does not hold completely leave their rows zero, which
    // the planes show as black.
    const uint32_t groups = kThumbHeight / 2;
    for (uint32_t g = 0; g < groups; ++g) {
        if (m_file.Read(group.get(), kGroupBytes) != kGroupBytes)
            break;
        const unsigned char* chroma1 = group.get() + 2 * kThumbWidth;
        const unsigned char* chroma2 = chroma1 + kThumbWidth / 2;
        for (uint32_t half = 0; half < 2; ++half) {
            const uint32_t stored = 2 * g + half;
            const uint32_t r = m_bReverseRows ? kThumbHeight - 1 - stored : stored;
            const unsigned char* luma = group.get() + half * kThumbWidth;
            for (uint32_t x = 0; x < kThumbWidth; ++x) {
                unsigned char rgb[3];
                YccToRgb(luma[x], chroma1[x / 2], chroma2[x / 2], rgb);
                const size_t p = r * stride + x;
                planes[0][p] = rgb[0];
                planes[1][p] = rgb[1];
                planes[2][p] = rgb[2];
            }
        }
    }
    return 1;
}
