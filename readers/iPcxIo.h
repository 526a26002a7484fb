// CPcxIo: reader of run-length encoded PCX files: 1, 2, 4 or 8 bits in one
// plane, 1 to 8 one-bit planes (the 16-colour layout has 4), and 8-bit RGB in
// 3 planes (a fourth, alpha, plane is ignored).  Runs may cross row ends;
// plane lines shorter than the picture give its first columns.
#pragma once

#include "ByteSource.h"
#include "ImageIo.h"

#include <cstdint>
#include <optional>

class CPcxIo : public CImageIo {
public:
    explicit CPcxIo(const char* name);
    ~CPcxIo() override;

    int ReadHeader() override;
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    static constexpr uint32_t kHeaderBytes = 128;

    // The file header as read.
    unsigned char m_header[kHeaderBytes] = {};
    // Bytes of encoded data consumed so far, counted from the end of the header.
    uint64_t m_nDataPos = 0;
    // Stored rows the last MakeDib found missing or cut short (shown black).
    uint32_t m_nMissingRows = 0;

private:
    // Decodes the next stored row (every plane line, L bytes each) into
    // `row`; false when the data ends before the row is complete.
    bool DecodeRow(unsigned char* row);
    // Moves past the next stored row without unpacking it; false when the
    // data ends first.
    bool SkipRow();
    // The part of a run from the previous row that goes into this one (at
    // most `total` bytes, written to `row` unless it is null); its length.
    uint32_t CarriedRun(unsigned char* row, uint32_t total);
    // Next encoded byte, or -1 at the end of the data.
    int NextByte() { return m_source->Next(); }
    // Blue, green, red of column x of a decoded row.
    void FormPixel(const unsigned char* row, uint32_t x, unsigned char* bgr) const;

    uint32_t m_nBits = 0;       // bits per pixel in each plane
    uint32_t m_nPlanes = 0;     // planes
    uint32_t m_nLineBytes = 0;  // bytes of one plane line
    uint32_t m_nLineColumns = 0;  // columns a plane line holds (at most the width)
    // What is left of a run that crossed the end of the previous row.
    uint32_t m_nCarryCount = 0;
    unsigned char m_nCarryValue = 0;
    uint64_t m_nDataEnd = 0;    // file offset where the encoded data ends
    // Read-ahead over the encoded data: the file is read in large blocks.
    ImageBlock<> m_buffer;
    std::optional<ByteSource> m_source;
};
