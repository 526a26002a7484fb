// CTiffIo construction and the parse of the TIFF header and first directory.
#include "ITiffIO.h"
#include "TiffDirectory.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

uint16_t Get16(const unsigned char* p, bool intel)
{
    return intel ? static_cast<uint16_t>(p[0] | (p[1] << 8))
                 : static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t Get32(const unsigned char* p, bool intel)
{
    return intel ? (static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                    (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24))
                 : ((static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                    (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]));
}

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
        d.field = Get32(e + 8, true);
    } else if (loneShort) {
        // The SHORT sits in the first two bytes; the padding bytes that follow
        // make up the upper half, so a field with non-zero padding does not
        // read as the SHORT.
        d.field = static_cast<uint32_t>(Get16(e + 8, false)) | (static_cast<uint32_t>(e[10]) << 16) |
                  (static_cast<uint32_t>(e[11]) << 24);
    } else {
        d.field = Get32(e + 8, false);
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
    try {
        unsigned char head[8];
        if (m_file.Read(head, 8) != 8)
            return 0;
        if (head[0] == 'I' && head[1] == 'I')
            m_bIntel = 1;
        else if (head[0] == 'M' && head[1] == 'M')
            m_bIntel = 0;
        else
            return 0;
        const bool intel = m_bIntel != 0;
        if (Get16(head + 2, intel) != 42)
            return 0;
        m_file.Seek(Get32(head + 4, intel), CFile::begin);

        unsigned char countBytes[2];
        if (m_file.Read(countBytes, 2) != 2)
            return 0;
        const uint16_t entries = Get16(countBytes, intel);

        TiffEntry offsetsEntry;
        TiffEntry countsEntry;
        std::vector<uint32_t> values;
        for (uint16_t k = 0; k < entries; ++k) {
            unsigned char raw[12];
            if (m_file.Read(raw, 12) != 12)
                return 0;
            const DirEntry e = ParseEntry(raw, intel);
            switch (e.entry.tag) {
            case 256:
                m_nWidth = e.value;
                break;
            case 257:
                m_nHeight = e.value;
                break;
            case 258:
                // One depth for every sample: values that differ are refused.
                if (e.entry.count == 0)
                    break;
                if (!ReadTiffValues(m_file, e.entry, intel, e.entry.count, &values))
                    return 0;
                for (uint32_t v : values) {
                    if (v != values[0])
                        return 0;
                }
                m_nBitsPerSample = static_cast<int32_t>(values[0] & 0xFFFF);
                break;
            case 259:
                m_nCompression = static_cast<int32_t>(e.field);
                break;
            case 262:
                switch (e.field) {
                case 0:
                case 1:
                    m_nGreyPhotometric = static_cast<int32_t>(e.field);
                    m_nChannels = 1;
                    break;
                case 2:
                    m_nColorMode = COLOR_RGB;
                    m_nChannels = 3;
                    break;
                case 3:
                    m_nColorMode = COLOR_INDEXED;
                    m_nChannels = 1;
                    break;
                case 5:
                    m_nColorMode = COLOR_CMYK;
                    m_nChannels = 4;
                    break;
                default:
                    return 0;
                }
                break;
            case 273:
                offsetsEntry = e.entry;
                break;
            case 277:
                m_nSamplesPerPixel = static_cast<uint16_t>(e.value);
                break;
            case 278:
                m_nRowsPerStrip = e.field;
                break;
            case 279:
                countsEntry = e.entry;
                break;
            case 282:
            case 283: {
                if (e.entry.count == 0 || !ReadTiffValues(m_file, e.entry, intel, 1, &values) || values.size() != 2)
                    return 0;
                const int32_t num = static_cast<int32_t>(values[0]);
                const uint32_t den = values[1];
                // A zero denominator carries no resolution; the default stays.
                if (den != 0) {
                    const float res = static_cast<float>(static_cast<double>(num) / den);
                    (e.entry.tag == 282 ? m_fXRes : m_fYRes) = res;
                }
                break;
            }
            case 284:
                if (e.field == 1)
                    m_bPlanar = 0;
                else if (e.field == 2)
                    m_bPlanar = 1;
                break;
            case 296:
                if (e.value == 3) {
                    m_fXRes *= 2.53995f;
                    m_fYRes *= 2.53995f;
                }
                break;
            case 317:
                m_nPredictor = static_cast<int32_t>(e.field & 0xFFFF);
                break;
            case 320: {
                const uint32_t entriesInFile = (e.entry.count & 0xFFFF) / 3;
                if (!ReadTiffValues(m_file, e.entry, intel, 3 * entriesInFile, &values))
                    return 0;
                // Pixel values index at most 256 entries; a longer map keeps
                // its first 256.
                const uint32_t kept = entriesInFile > 256 ? 256 : entriesInFile;
                ImageFree(&m_pPalette);
                m_nPaletteSize = 0;
                if (kept == 0)
                    break;
                m_pPalette = static_cast<unsigned char*>(ImageAlloc(kept * 4, 0));
                if (m_pPalette == nullptr)
                    return 0;
                m_nPaletteSize = static_cast<uint16_t>(kept);
                for (uint32_t i = 0; i < kept; ++i) {
                    for (uint32_t c = 0; c < 3; ++c) {
                        const uint32_t v = values[c * static_cast<size_t>(entriesInFile) + i] & 0xFFFF;
                        // Red, green, blue in the file; blue, green, red here.
                        m_pPalette[4 * i + 2 - c] = static_cast<unsigned char>(v > 255 ? v >> 8 : v);
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
                return 0;
            // A counts table shorter than the strips leaves the rest empty.
            const uint32_t given = countsEntry.count < n ? countsEntry.count : n;
            if (countsEntry.present && given > 0 &&
                (!ReadTiffValues(m_file, countsEntry, intel, given, &counts) || counts.size() != given))
                return 0;
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
                return 0;
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
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
