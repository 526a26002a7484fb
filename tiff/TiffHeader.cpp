// CTiffIo construction and the parse of the TIFF header and first directory.
#include "ITiffIO.h"
#include "TiffDirectory.h"
#include "TiffFallback.h"

#include "ByteOrder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// One directory entry with its scalar value taken both ways, and the entry
// itself for tables read through ReadTiffValues.
struct DirEntry {
    TiffEntry entry;
    uint32_t field = 0;  // the whole 32-bit value field
    uint32_t value = 0;  // a lone SHORT as 16 bits, else the whole field
    bool present = false;
};

DirEntry ParseEntry(const unsigned char* e, bool intel)
{
    DirEntry d;
    d.entry = ParseTiffEntry(e, intel);
    const bool loneShort = d.entry.type == TIFF_TYPE_SHORT && d.entry.count == 1;
    if (intel) {
        d.field = LoadLE32(e + 8);
    } else if (loneShort) {
        // The SHORT sits in the first two bytes; the padding bytes that follow
        // make up the upper half, so a field with non-zero padding does not
        // read as the SHORT.
        d.field = static_cast<uint32_t>(LoadBE16(e + 8)) | (static_cast<uint32_t>(e[10]) << 16) |
                  (static_cast<uint32_t>(e[11]) << 24);
    } else {
        d.field = LoadBE32(e + 8);
    }
    d.value = loneShort ? (d.field & 0xFFFF) : d.field;
    d.present = true;
    return d;
}

}  // namespace

CTiffIo::CTiffIo(const char* path)
{
    m_pszPath = path;
    m_bPlanar = 0;
    m_nCompression = TIFF_COMPRESSION_NONE;
    m_nBitsPerSample = 1;
    m_fXRes = 72.0f;
    m_fYRes = 72.0f;
}

CTiffIo::~CTiffIo()
{
    delete[] m_pStripOffsets;
    delete[] m_pStripByteCounts;
}


int CTiffIo::ReadHeader()
{
    if (ReadOwnHeader())
        return 1;
    // What the own parse refuses (BigTIFF, YCbCr, CIE Lab, mixed depths and
    // the like) may still be a TIFF that libtiff reads.
    if (!m_bLibTiffFallback || !TiffFallbackAvailable())
        return 0;
    const Refusal own = m_nRefusal;
    m_nRefusal = Refusal::None;
    ImageFree(&m_pPalette);
    m_nPaletteSize = 0;
    if (TiffFallbackHeader(*this)) {
        m_bLibTiffHeader = true;
        return 1;
    }
    // A file that is no TIFF at all keeps the own parse's reason.
    if (m_nRefusal == Refusal::TiffLibraryError || m_nRefusal == Refusal::None)
        m_nRefusal = own;
    return 0;
}

int CTiffIo::ReadOwnHeader()
{
    try {
        unsigned char head[8];
        if (m_file.Read(head, 8) != 8)
            return Refuse(Refusal::TiffSignature);
        if (head[0] == 'I' && head[1] == 'I')
            m_bIntel = 1;
        else if (head[0] == 'M' && head[1] == 'M')
            m_bIntel = 0;
        else
            return Refuse(Refusal::TiffSignature);
        const bool intel = m_bIntel != 0;
        if (Load16(head + 2, !intel) != 42)
            return Refuse(Refusal::TiffSignature);
        m_file.Seek(Load32(head + 4, !intel), CFile::begin);

        unsigned char countBytes[2];
        if (m_file.Read(countBytes, 2) != 2)
            return Refuse(Refusal::TiffDirectoryCut);
        const uint16_t entries = Load16(countBytes, !intel);

        TiffEntry offsetsEntry;
        TiffEntry countsEntry;
        std::vector<uint32_t> values;
        for (uint16_t k = 0; k < entries; ++k) {
            unsigned char raw[12];
            if (m_file.Read(raw, 12) != 12)
                return Refuse(Refusal::TiffDirectoryCut);
            const DirEntry e = ParseEntry(raw, intel);
            switch (e.entry.tag) {
            case TIFF_TAG_IMAGE_WIDTH:
                m_nWidth = e.value;
                break;
            case TIFF_TAG_IMAGE_LENGTH:
                m_nHeight = e.value;
                break;
            case TIFF_TAG_BITS_PER_SAMPLE:
                // One depth for every sample: values that differ are refused.
                if (e.entry.count == 0)
                    break;
                if (!ReadTiffValues(m_file, e.entry, intel, e.entry.count, &values))
                    return Refuse(Refusal::TiffValuesOutsideFile);
                for (uint32_t v : values) {
                    if (v != values[0])
                        return Refuse(Refusal::TiffMixedDepths);
                }
                m_nBitsPerSample = static_cast<int32_t>(values[0] & 0xFFFF);
                break;
            case TIFF_TAG_COMPRESSION:
                m_nCompression = static_cast<int32_t>(e.field);
                break;
            case TIFF_TAG_PHOTOMETRIC:
                switch (e.field) {
                case TIFF_PHOTOMETRIC_WHITE_IS_ZERO:
                case TIFF_PHOTOMETRIC_BLACK_IS_ZERO:
                    m_nGreyPhotometric = static_cast<int32_t>(e.field);
                    m_nChannels = 1;
                    break;
                case TIFF_PHOTOMETRIC_RGB:
                    m_nColorMode = COLOR_RGB;
                    m_nChannels = 3;
                    break;
                case TIFF_PHOTOMETRIC_PALETTE:
                    m_nColorMode = COLOR_INDEXED;
                    m_nChannels = 1;
                    break;
                case TIFF_PHOTOMETRIC_SEPARATED:
                    m_nColorMode = COLOR_CMYK;
                    m_nChannels = 4;
                    break;
                default:
                    return Refuse(Refusal::TiffPhotometric);
                }
                break;
            case TIFF_TAG_STRIP_OFFSETS:
                offsetsEntry = e.entry;
                break;
            case TIFF_TAG_SAMPLES_PER_PIXEL:
                m_nSamplesPerPixel = static_cast<uint16_t>(e.value);
                break;
            case TIFF_TAG_ROWS_PER_STRIP:
                m_nRowsPerStrip = e.field;
                break;
            case TIFF_TAG_STRIP_BYTE_COUNTS:
                countsEntry = e.entry;
                break;
            case TIFF_TAG_X_RESOLUTION:
            case TIFF_TAG_Y_RESOLUTION: {
                // Only a RATIONAL is a resolution; anything else keeps the default.
                if (e.entry.type != TIFF_TYPE_RATIONAL && e.entry.type != TIFF_TYPE_SRATIONAL)
                    break;
                if (e.entry.count == 0 || !ReadTiffValues(m_file, e.entry, intel, 1, &values) || values.size() != 2)
                    return Refuse(Refusal::TiffValuesOutsideFile);
                const int32_t num = static_cast<int32_t>(values[0]);
                const uint32_t den = values[1];
                // A zero denominator carries no resolution; the default stays.
                if (den != 0) {
                    const float res = static_cast<float>(static_cast<double>(num) / den);
                    (e.entry.tag == TIFF_TAG_X_RESOLUTION ? m_fXRes : m_fYRes) = res;
                }
                break;
            }
            case TIFF_TAG_PLANAR_CONFIGURATION:
                if (e.field == TIFF_PLANAR_CHUNKY)
                    m_bPlanar = 0;
                else if (e.field == TIFF_PLANAR_SEPARATE)
                    m_bPlanar = 1;
                break;
            case TIFF_TAG_RESOLUTION_UNIT:
                if (e.value == TIFF_RESOLUTION_UNIT_CENTIMETRE) {
                    m_fXRes *= 2.53995f;
                    m_fYRes *= 2.53995f;
                }
                break;
            case TIFF_TAG_FILL_ORDER:
                m_bBitsReversed = e.value == TIFF_FILL_ORDER_LOW_BIT_FIRST;
                break;
            case TIFF_TAG_PREDICTOR:
                m_nPredictor = static_cast<int32_t>(e.field & 0xFFFF);
                break;
            case TIFF_TAG_SAMPLE_FORMAT:
                // The first sample's format stands for all of them.
                if (e.entry.count == 1)
                    m_nSampleFormat = static_cast<int32_t>(e.value);
                else if (e.entry.count > 1 && ReadTiffValues(m_file, e.entry, intel, 1, &values) && !values.empty())
                    m_nSampleFormat = static_cast<int32_t>(values[0] & 0xFFFF);
                break;
            case TIFF_TAG_COLOR_MAP: {
                const uint32_t entriesInFile = (e.entry.count & 0xFFFF) / 3;
                if (!ReadTiffValues(m_file, e.entry, intel, 3 * entriesInFile, &values))
                    return Refuse(Refusal::TiffValuesOutsideFile);
                // Pixel values index at most 256 entries; a longer map keeps
                // its first 256.
                const uint32_t kept = entriesInFile > 256 ? 256 : entriesInFile;
                ImageFree(&m_pPalette);
                m_nPaletteSize = 0;
                if (kept == 0)
                    break;
                m_pPalette = static_cast<unsigned char*>(ImageAlloc(kept * 4, 0));
                if (m_pPalette == nullptr)
                    return Refuse(Refusal::OutOfMemory);
                m_nPaletteSize = static_cast<uint16_t>(kept);
                // A map with any value above 255 is scaled to 16 bits
                // throughout, its dark entries included; otherwise it holds
                // 8-bit values in 16-bit fields.
                bool sixteenBit = false;
                for (uint32_t i = 0; i < kept; ++i)
                    for (uint32_t c = 0; c < 3; ++c)
                        sixteenBit |= (values[c * static_cast<size_t>(entriesInFile) + i] & 0xFFFF) > 255;
                for (uint32_t i = 0; i < kept; ++i) {
                    for (uint32_t c = 0; c < 3; ++c) {
                        const uint32_t v = values[c * static_cast<size_t>(entriesInFile) + i] & 0xFFFF;
                        // Red, green, blue in the file; blue, green, red here.
                        m_pPalette[4 * i + 2 - c] = static_cast<unsigned char>(sixteenBit ? v >> 8 : v);
                    }
                }
                break;
            }
            default:
                break;
            }
        }

        // Strip tables, once the whole directory is known, so that the order of
        // the two entries does not matter.
        if (offsetsEntry.present && offsetsEntry.count > 0) {
            const uint32_t n = offsetsEntry.count;
            std::vector<uint32_t> offsets;
            std::vector<uint32_t> counts;
            if (!ReadTiffValues(m_file, offsetsEntry, intel, n, &offsets) || offsets.size() != n)
                return Refuse(Refusal::TiffValuesOutsideFile);
            // A counts table shorter than the strips leaves the rest empty.
            const uint32_t given = countsEntry.count < n ? countsEntry.count : n;
            if (countsEntry.present && given > 0 &&
                (!ReadTiffValues(m_file, countsEntry, intel, given, &counts) || counts.size() != given))
                return Refuse(Refusal::TiffValuesOutsideFile);
            delete[] m_pStripOffsets;
            delete[] m_pStripByteCounts;
            m_pStripByteCounts = nullptr;
            m_pStripOffsets = new uint32_t[n]();
            m_nStrips = n;
            std::copy(offsets.begin(), offsets.end(), m_pStripOffsets);
            if (countsEntry.present) {
                m_pStripByteCounts = new uint32_t[n]();
                std::copy(counts.begin(), counts.end(), m_pStripByteCounts);
            }
        }

        if (m_nGreyPhotometric == 0 || m_nGreyPhotometric == 1) {
            m_nColorMode = COLOR_GREY;
            if (m_nBitsPerSample == 1)
                m_nColorMode = COLOR_BILEVEL;
        }
        if (m_nColorMode == COLOR_BILEVEL && m_nPaletteSize == 0) {
            m_pPalette = static_cast<unsigned char*>(ImageAlloc(8, 0));
            if (m_pPalette == nullptr)
                return Refuse(Refusal::OutOfMemory);
            m_nPaletteSize = 2;
            const unsigned char first = m_nGreyPhotometric == 0 ? 255 : 0;
            std::memset(m_pPalette, first, 3);
            std::memset(m_pPalette + 4, 255 - first, 3);
        }
        if (m_nSamplesPerPixel == 0)
            m_nSamplesPerPixel = static_cast<uint16_t>(m_nChannels);
        if (m_nRowsPerStrip == 0)
            m_nRowsPerStrip = m_nHeight;
        return 1;
    } catch (const CFileException&) {
        return Refuse(Refusal::ReadError);
    } catch (const std::bad_alloc&) {
        return Refuse(Refusal::OutOfMemory);
    }
}
