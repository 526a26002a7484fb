// CSctIo: reader of Scitex continuous-tone files (.sct): a 2048-byte header
// whose numbers are text, then uncompressed 8-bit scan lines holding one row
// per separation (grey, RGB or CMYK).
#pragma once

#include "RowsFromFile.h"

#include <cstdint>

class CSctIo : public CRowsFromFileIo {
public:
    explicit CSctIo(const char* path);

    // File type "CT", 1, 3 or 4 separations, pixel counts and the physical
    // size (millimetres or inches) from which the resolution follows.
    int ReadHeader() override;
    // Fitted or full-size preview; scan lines the preview does not take are
    // passed over, lines the file does not hold show black.
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    // Bytes of one scan line: every separation's row, padded to even length.
    uint64_t ScanLineBytes() const;

    // The units byte: 0 millimetres, anything else inches.
    uint8_t m_nUnits = 1;

protected:
    int ReadPreviewRows(unsigned char* const* planes) override;
};

// The text fields of the header, read within their own bytes: a decimal
// number as atof reads it (leading white space, optional sign; 0 when there
// is no number), independent of the host's locale.
double ParseSctDecimal(const unsigned char* field, size_t size);
// A whole number as atoi reads it; values past 32 bits come back as
// UINT32_MAX + 1 so that the caller can refuse them, negative ones as -1.
int64_t ParseSctCount(const unsigned char* field, size_t size);
