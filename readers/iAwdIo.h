// CAwdIo: reader of AWD pictures (.awd): a little-endian TIFF-shaped file
// whose first directory describes one uncompressed block of 8-bit samples
// starting at the first strip offset.  Its own small directory parser, not
// the TIFF reader.
#pragma once

#include "RowsFromFile.h"

#include <cstdint>

class CAwdIo : public CRowsFromFileIo {
public:
    explicit CAwdIo(const char* path);

    // "II", 42 and the first directory: size, samples, colour arrangement,
    // resolution, colour map and the first strip offset.
    int ReadHeader() override;
    // Fitted or full-size preview of 8-bit grey, RGB, CMYK or palette
    // pictures; other depths and arrangements are refused.
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    // Count of strip offsets (tag 273) and the first of them.
    uint32_t m_nStrips = 0;
    uint32_t m_nFirstStrip = 0;
    // Private tag 748; 7 when the file has none.
    uint32_t m_nPrivateTag748 = 7;
    // Tag 262 (-1 when missing) and the number of extra samples (tag 338).
    int32_t m_nPhotometric = -1;
    uint32_t m_nExtraSamples = 0;

protected:
    int ReadPreviewRows(unsigned char* const* planes) override;

private:
    // Turns the colour map (16-bit or 8-bit components) into the palette.
    int ReadColourMap(uint32_t count, uint32_t offset, uint64_t length);
};
