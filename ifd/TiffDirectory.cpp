// Values of TIFF directory entries, from the entry or from the file.
#include "TiffDirectory.h"

#include "ByteOrder.h"

TiffEntry ParseTiffEntry(const unsigned char* raw, bool intel)
{
    TiffEntry e;
    e.tag = static_cast<uint16_t>(Load16(raw, !intel));
    e.type = static_cast<uint16_t>(Load16(raw + 2, !intel));
    e.count = Load32(raw + 4, !intel);
    for (int i = 0; i < 4; ++i)
        e.field[i] = raw[8 + i];
    e.present = true;
    return e;
}

uint32_t TiffTypeSize(uint16_t type)
{
    switch (type) {
    case TIFF_TYPE_BYTE:
    case TIFF_TYPE_SBYTE:
    case TIFF_TYPE_UNDEFINED:
        return 1;
    case TIFF_TYPE_SHORT:
    case TIFF_TYPE_SSHORT:
        return 2;
    case TIFF_TYPE_LONG:
    case TIFF_TYPE_SLONG:
        return 4;
    case TIFF_TYPE_RATIONAL:
    case TIFF_TYPE_SRATIONAL:
        return 8;
    default:
        return 0;
    }
}

bool TiffValuesInEntry(const TiffEntry& entry)
{
    const uint64_t bytes = static_cast<uint64_t>(entry.count) * TiffTypeSize(entry.type);
    return bytes <= 4;
}

uint32_t TiffFieldValue(const TiffEntry& entry, bool intel)
{
    switch (entry.type) {
    case TIFF_TYPE_BYTE:
        return entry.field[0];
    case TIFF_TYPE_SHORT:
        return Load16(entry.field, !intel);
    default:
        return Load32(entry.field, !intel);
    }
}

namespace {

// Widens `count` values of `size` bytes (8: two numbers each) at `p`.
void WidenValues(const unsigned char* p, uint32_t size, uint32_t count, bool intel, std::vector<uint32_t>* values)
{
    const size_t numbers = size == 8 ? 2 * static_cast<size_t>(count) : count;
    values->resize(numbers);
    for (size_t i = 0; i < numbers; ++i) {
        switch (size) {
        case 1:
            (*values)[i] = p[i];
            break;
        case 2:
            (*values)[i] = Load16(p + 2 * i, !intel);
            break;
        default:
            (*values)[i] = Load32(p + 4 * i, !intel);
            break;
        }
    }
}

}  // namespace

bool ReadTiffArray(CFile& file, uint64_t offset, uint16_t type, uint32_t count, bool intel,
                   std::vector<uint32_t>* values)
{
    values->clear();
    const uint32_t size = TiffTypeSize(type);
    if (size == 0)
        return false;
    const uint64_t bytes = static_cast<uint64_t>(size) * count;
    const uint64_t length = file.GetLength();
    if (offset > length || bytes > length - offset)
        return false;
    std::vector<unsigned char> data(static_cast<size_t>(bytes));
    if (bytes != 0) {
        const uint64_t back = file.GetPosition();
        file.Seek(static_cast<int64_t>(offset), CFile::begin);
        const uint32_t got = file.Read(data.data(), static_cast<uint32_t>(bytes));
        file.Seek(static_cast<int64_t>(back), CFile::begin);
        if (got != bytes)
            return false;
    }
    WidenValues(data.data(), size, count, intel, values);
    return true;
}

bool ReadTiffValues(CFile& file, const TiffEntry& entry, bool intel, uint32_t count,
                    std::vector<uint32_t>* values)
{
    values->clear();
    const uint32_t size = TiffTypeSize(entry.type);
    if (size == 0 || count > entry.count)
        return false;
    if (!TiffValuesInEntry(entry))
        return ReadTiffArray(file, Load32(entry.field, !intel), entry.type, count, intel, values);
    WidenValues(entry.field, size, count, intel, values);
    return true;
}
