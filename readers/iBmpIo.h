// CBmpIo: reader of uncompressed device-independent bitmap files (.bmp, .rle)
// at 1, 4, 8 or 24 bits per pixel.
#pragma once

#include "ImageIo.h"

#include <cstdint>

// The 14-byte file header, field by field (stored little-endian).
struct BmpFileHeader {
    uint16_t bfType;
    uint32_t bfSize;
    uint16_t bfReserved1;
    uint16_t bfReserved2;
    uint32_t bfOffBits;
};

// The 40-byte information header, field by field (stored little-endian).
struct BmpInfoHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};

class CBmpIo : public CImageIo {
public:
    explicit CBmpIo(const char* name);
    ~CBmpIo() override;

    int ReadHeader() override;
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;
    // Reads the stored rows that a w x h preview needs into the planes (each
    // of h rows of AlignedRowBytes(w * 8) bytes).  Rows the file does not
    // hold completely are left as they are and counted in m_nMissingRows.
    // Returns 0 for a header it cannot preview or a failed allocation.
    int ReadPlanes(uint32_t w, uint32_t h, unsigned char* const* planes);

    BmpFileHeader m_fileHeader{};
    BmpInfoHeader m_infoHeader{};
    // Preview rows of the last ReadPlanes that the file cut short: the last
    // ones in stored order (the top of a bottom-up picture).
    uint32_t m_nMissingRows = 0;

protected:
    int ReadPreviewRows(unsigned char* const* planes) override;
    // Every stored row is read whole and sampled through SampleRow.
    bool SamplesWholeRows() const override { return true; }

private:
    // The header is one this reader can preview.
    bool HeaderUsable() const;
    // Rows are stored top row first (negative height in the header).
    bool m_bTopDown = false;
};
