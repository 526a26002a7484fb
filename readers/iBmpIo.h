// CBmpIo: reader of device-independent bitmap files (.bmp, .rle): 1, 4, 8
// and 24 bits per pixel uncompressed, 4 and 8 bits run-length encoded, 16
// and 32 bits with default or explicit colour masks; Windows information
// headers of 40 bytes and longer, OS/2 1.x (12 bytes) and 2.x (16 to 64).
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
    // hold completely are left as they are and marked missing, so the
    // preview shows them black (run-length files write every preview row,
    // black where the stream sets nothing).  Returns 0 for a header it cannot preview or a failed
    // allocation.
    int ReadPlanes(uint32_t w, uint32_t h, unsigned char* const* planes);

    BmpFileHeader m_fileHeader{};
    BmpInfoHeader m_infoHeader{};

protected:
    int ReadPreviewRows(unsigned char* const* planes) override;
    // Every stored row is read whole and sampled through SampleRow.
    bool SamplesWholeRows() const override { return true; }

private:
    // The header is one this reader can preview.
    bool HeaderUsable() const;
    // The information header from its size field on; false when refused.
    bool ReadInfoHeader();
    // The colour masks of a 16- or 32-bit file; false when refused.
    bool ReadMasks();
    // The palette: `entryBytes` (3 or 4) per stored entry at `at`.
    bool ReadPalette(uint64_t at, uint32_t entryBytes);
    // Rows stored as they are (seeking past those not needed).
    int ReadStoredRows(uint32_t h, unsigned char* const* planes);
    // Run-length rows, decoded in stored order up to the last needed one.
    int ReadRunLengthRows(uint32_t h, unsigned char* const* planes);
    // The chosen pixels of one stored 16- or 32-bit row as blue, green, red
    // at their own columns of `out`.
    void MaskedRowToBgr(const unsigned char* row, unsigned char* out);

    // Rows are stored top row first (negative height in the header).
    bool m_bTopDown = false;
    // Pixels are 16 or 32 bits wide, split by m_nMask into channels.
    bool m_bMasked = false;
    // Run-length encoded: 8 bits (compression 1) or 4 bits (compression 2).
    bool m_bRle = false;
    // Red, green and blue masks of a masked pixel; their lowest set bits
    // and their largest values.
    uint32_t m_nMask[3] = {0, 0, 0};
    uint32_t m_nShift[3] = {0, 0, 0};
    uint32_t m_nMaxValue[3] = {0, 0, 0};
};
