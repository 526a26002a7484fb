// The one table of picture formats: for each, its file-name extensions,
// FormatId, display name, reader factory and channel order.  Dispatch, the
// host tool, the fuzz targets and the readers' channel order all read it.
#pragma once

#include <cstddef>
#include <cstdint>

class CImageIo;

// Format code chosen from the last four characters of a file name.
enum FormatId : uint16_t {
    FMT_NONE = 0,
    FMT_BMP = 1,
    FMT_EPS = 2,
    FMT_GIF = 3,
    FMT_JPEG = 4,
    FMT_PCX = 5,
    FMT_PCD = 6,
    FMT_PICT = 7,
    FMT_RAW = 8,
    FMT_RBW = 9,
    FMT_SCT = 10,
    FMT_TGA = 11,
    FMT_TIFF = 12,
    FMT_AWD = 13,
    FMT_PNG = 14,
    FMT_PXR = 15,
    FMT_PSD = 16,
};

struct FormatInfo {
    FormatId id;
    // Short name shown to users ("TIFF").
    const char* name;
    // Lower-case extensions without the dot, three letters each; unused
    // slots are null.
    const char* extensions[2];
    // Creates the reader for a file of this name; null when the format is
    // recognised but has no reader.
    CImageIo* (*create)(const char* path);
    // Three-channel rows hold blue, green, red.
    bool bgrRows;
};

// Every row of the table, in FormatId order.
const FormatInfo* FormatTable(size_t* count);
// The row of a format code, or null.
const FormatInfo* FindFormat(FormatId id);

// The format of a file name from its last four characters (".ext", any
// letter case); FMT_NONE when they name no format.
FormatId FormatFromExtension(const char* name);
// A new reader for the name's format, or null; destroyed through its virtual
// destructor.
CImageIo* CreateImageReader(const char* name);

// Test seam: when set, CreateImageReader asks this factory first and uses its
// reader when it returns one.  Null restores the normal dispatch.
using ReaderFactory = CImageIo* (*)(const char* name);
void SetReaderFactoryForTesting(ReaderFactory factory);
