// CTgaIo: reader of Targa files, uncompressed or run-length encoded:
// colour-mapped (8-bit indices into a map of 15/16, 24 or 32-bit entries),
// true colour of 15, 16, 24 or 32 bits, and grey of 8 bits (16 with an alpha
// byte).  Rows are stored bottom row first unless the descriptor's origin
// bit says top row first, and left pixel first unless it says right.
#pragma once

#include "ImageIo.h"

#include <cstdint>

class CTgaIo : public CImageIo {
public:
    explicit CTgaIo(const char* name);
    ~CTgaIo() override;

    int ReadHeader() override;
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    static constexpr uint32_t kHeaderBytes = 18;

    // The file header as read.
    unsigned char m_header[kHeaderBytes] = {};
    // File offset of the first stored pixel row.
    uint64_t m_nDataOffset = 0;
    // Rows are stored top row first (bit 5 of the image descriptor).
    bool m_bTopDown = false;
    // Rows are stored right pixel first (bit 4 of the image descriptor).
    bool m_bRightToLeft = false;
    // Pixels are run-length packets (image types 9, 10 and 11).
    bool m_bRunLength = false;
    // Preview rows the last MakeDib found missing from the file (shown black).
    uint32_t m_nMissingRows = 0;

private:
    // Bytes of one stored pixel, or 0 when this image type and depth cannot
    // be previewed.
    uint32_t PixelBytes() const;
    // Writes preview pixels j = 0 .. count - 1 from stored pixels j * step
    // of `row` as blue, green, red at `out`, in picture order (the last
    // taken stored pixel first when rows are stored right to left).
    void FormRow(const unsigned char* row, uint32_t step, uint32_t count, unsigned char* out) const;

    // Image type, the run-length types (9, 10, 11) counted as their
    // uncompressed ones (1, 2, 3).
    uint32_t m_nImageType = 0;
};
