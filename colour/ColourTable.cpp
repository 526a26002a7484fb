// Loading of the CMYK-to-RGB table from otd.cvt.
#include "cvt_test.h"
#include "TiffDirectory.h"

#include "ByteOrder.h"

#include <string>
#include <vector>

unsigned char ColourTable[COLOUR_TABLE_BYTES];
int32_t GridOffsets[64];

namespace {

const char kOpenError[] = "\xE6\x89\x93\xE5\xBC\x80\xE6\x96\x87\xE4\xBB\xB6\xE9\x94\x99 - ";  // "打开文件错 - "
const char kReadError[] = "error";

}  // namespace

int ParseTableHeader(CFile& file, TableHeader* header)
{
    *header = TableHeader{};
    unsigned char buffer[TABLE_HEADER_BYTES] = {};
    uint32_t got = 0;
    try {
        got = file.Read(buffer, TABLE_HEADER_BYTES);
    } catch (const CFileException&) {
        AfxMessageBox(kReadError);
        return 0;
    }
    if (got < 8)
        return 0;
    const uint32_t dir = LoadLE32(buffer + 4);
    if (dir > TABLE_HEADER_BYTES)
        return 0;
    // The count and every entry must lie within the bytes actually read; a
    // short file or a directory running past the header is refused.
    if (dir + 2 > got)
        return 0;
    const uint32_t entries = buffer[dir];
    if (dir + 2 + 12 * entries > got)
        return 0;

    std::vector<uint32_t> values;
    try {
        for (uint32_t i = 0; i < entries; ++i) {
            const unsigned char* entry = buffer + dir + 2 + 12 * i;
            // The table file is little-endian.
            const TiffEntry e = ParseTiffEntry(entry, true);
            const uint32_t value = LoadLE32(entry + 8);
            switch (e.tag) {
            case TIFF_TAG_IMAGE_WIDTH:
                header->nWidth = static_cast<uint16_t>(value);
                break;
            case TIFF_TAG_IMAGE_LENGTH:
                header->nHeight = static_cast<uint16_t>(value);
                break;
            case TIFF_TAG_BITS_PER_SAMPLE: {
                // Values in the entry when they fit there; all must be equal.
                if (e.count == 0 || !ReadTiffValues(file, e, true, e.count, &values))
                    return 0;
                for (uint32_t v : values) {
                    if (v != values[0])
                        return 0;
                }
                header->nBitsPerSample = static_cast<uint16_t>(values[0]);
                if (header->nBitsPerSample != 8)
                    return 0;
                break;
            }
            case TIFF_TAG_COMPRESSION:
                if ((value & 0xFF) != 1)
                    return 0;
                break;
            case TIFF_TAG_STRIP_OFFSETS:
                // The first strip's offset, from the entry when it fits there.
                if (e.count == 0 || !ReadTiffValues(file, e, true, 1, &values))
                    return 0;
                header->nDataOffset = values[0];
                break;
            case TIFF_TAG_SAMPLES_PER_PIXEL:
                header->nSamplesPerPixel = static_cast<uint16_t>(value);
                break;
            case TIFF_TAG_X_RESOLUTION:
            case TIFF_TAG_Y_RESOLUTION: {
                ReadTiffValues(file, e, true, e.count != 0 ? 1 : 0, &values);  // read but not used
                break;
            }
            case TIFF_TAG_PLANAR_CONFIGURATION:
                header->nPlanarConfig = static_cast<uint16_t>(value & 0xFF);
                break;
            default:
                break;
            }
        }
    } catch (const CFileException&) {
        AfxMessageBox(kReadError);
        return 0;
    }
    return 1;
}

int16_t LoadTableFile(const char* baseDir, const char* tableDir)
{
    CFile file;  // closes the file on every return
    const unsigned openFlags = CFile::modeRead | CFile::shareDenyNone;

    bool opened = false;
    if (tableDir != nullptr || baseDir != nullptr) {
        std::string first = tableDir != nullptr ? std::string(tableDir) : std::string(baseDir) + PATH_SEP + "color";
        first += PATH_SEP;
        first += "otd.cvt";
        opened = file.Open(first.c_str(), openFlags);
    }
    if (!opened) {
        // Without a base directory there is no second place to look, and
        // nothing the host could act on: fail quietly.
        if (baseDir == nullptr)
            return -1;
        const std::string second =
            std::string(baseDir) + PATH_SEP + ".." + PATH_SEP + "color" + PATH_SEP + "otd.cvt";
        if (!file.Open(second.c_str(), openFlags)) {
            AfxMessageBox(kOpenError + second);
            return -1;
        }
    }

    TableHeader header;
    if (!ParseTableHeader(file, &header))
        return -1;
    if (header.nBitsPerSample != 8)
        return -1;
    // Only RGB or CMYK-sized pixels, chunky, give the data offset.
    if (header.nSamplesPerPixel != 3 && header.nSamplesPerPixel != 4)
        return -1;
    if (header.nPlanarConfig != 1)
        return -1;
    // Rows of W x 3 bytes land one after another; refuse a table that would
    // run past the buffer rather than load part of it.
    const uint32_t rowBytes = 3u * header.nWidth;
    if (static_cast<uint64_t>(rowBytes) * header.nHeight > COLOUR_TABLE_BYTES)
        return -1;

    // A seek failure is left to the transform entry, which reports it.
    file.Seek(header.nDataOffset, CFile::begin);
    unsigned char* row = ColourTable;
    for (uint32_t r = 0; r < header.nHeight; ++r) {
        uint32_t got = 0;
        try {
            got = file.Read(row, rowBytes);
        } catch (const CFileException&) {
            AfxMessageBox(kReadError);
            return -1;  // rows read so far stay
        }
        if (got < rowBytes)
            break;  // end of file: the rest of the table keeps its values
        row += rowBytes;
    }
    return 1;
}

int LoadColourTable(const char* hostDir)
{
    TransformArgs args{};
    args.pszBaseDir = hostDir;
    args.pszTableDir = nullptr;
    int16_t status = 0;
    ColourTransform(1, &args, &status);
    return 1;
}
