// TIFF field tags and field types the TIFF reader and writer, the AWD reader
// and the colour-table loader use (TIFF 6.0 numbers).
#pragma once

#include <cstdint>

enum TiffTag : uint16_t {
    TIFF_TAG_IMAGE_WIDTH = 256,
    TIFF_TAG_IMAGE_LENGTH = 257,
    TIFF_TAG_BITS_PER_SAMPLE = 258,
    TIFF_TAG_COMPRESSION = 259,
    TIFF_TAG_PHOTOMETRIC = 262,
    TIFF_TAG_FILL_ORDER = 266,
    TIFF_TAG_STRIP_OFFSETS = 273,
    TIFF_TAG_SAMPLES_PER_PIXEL = 277,
    TIFF_TAG_ROWS_PER_STRIP = 278,
    TIFF_TAG_STRIP_BYTE_COUNTS = 279,
    TIFF_TAG_X_RESOLUTION = 282,
    TIFF_TAG_Y_RESOLUTION = 283,
    TIFF_TAG_PLANAR_CONFIGURATION = 284,
    TIFF_TAG_RESOLUTION_UNIT = 296,
    TIFF_TAG_PREDICTOR = 317,
    TIFF_TAG_COLOR_MAP = 320,
    TIFF_TAG_EXTRA_SAMPLES = 338,
    TIFF_TAG_SAMPLE_FORMAT = 339,
    TIFF_TAG_PHOTOSHOP = 34377,
};

// Field types of a directory entry.
enum TiffType : uint16_t {
    TIFF_TYPE_BYTE = 1,
    TIFF_TYPE_ASCII = 2,
    TIFF_TYPE_SHORT = 3,
    TIFF_TYPE_LONG = 4,
    TIFF_TYPE_RATIONAL = 5,
    TIFF_TYPE_SBYTE = 6,
    TIFF_TYPE_UNDEFINED = 7,
    TIFF_TYPE_SSHORT = 8,
    TIFF_TYPE_SLONG = 9,
    TIFF_TYPE_SRATIONAL = 10,
};

// Compression values the reader knows.
constexpr int32_t TIFF_COMPRESSION_NONE = 1;
constexpr int32_t TIFF_COMPRESSION_CCITT = 2;
constexpr int32_t TIFF_COMPRESSION_LZW = 5;
constexpr int32_t TIFF_COMPRESSION_PACKBITS = 32773;

// PhotometricInterpretation values.
constexpr uint32_t TIFF_PHOTOMETRIC_WHITE_IS_ZERO = 0;
constexpr uint32_t TIFF_PHOTOMETRIC_BLACK_IS_ZERO = 1;
constexpr uint32_t TIFF_PHOTOMETRIC_RGB = 2;
constexpr uint32_t TIFF_PHOTOMETRIC_PALETTE = 3;
constexpr uint32_t TIFF_PHOTOMETRIC_SEPARATED = 5;

// FillOrder: the bits of each stored byte run lowest first.
constexpr uint32_t TIFF_FILL_ORDER_LOW_BIT_FIRST = 2;

// PlanarConfiguration values.
constexpr uint32_t TIFF_PLANAR_CHUNKY = 1;
constexpr uint32_t TIFF_PLANAR_SEPARATE = 2;

// ResolutionUnit: per centimetre; Predictor: horizontal differencing.
constexpr uint32_t TIFF_RESOLUTION_UNIT_INCH = 2;
constexpr uint32_t TIFF_RESOLUTION_UNIT_CENTIMETRE = 3;
constexpr int32_t TIFF_PREDICTOR_HORIZONTAL = 2;
constexpr int32_t TIFF_PREDICTOR_FLOAT = 3;

// SampleFormat values (1, unsigned integer, is the default).
constexpr int32_t TIFF_SAMPLE_FORMAT_UINT = 1;
constexpr int32_t TIFF_SAMPLE_FORMAT_INT = 2;
constexpr int32_t TIFF_SAMPLE_FORMAT_FLOAT = 3;
