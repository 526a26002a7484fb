// CPsdIo: reader of Photoshop files (.psd, version 1, big-endian).  Only the
// merged image at the end of the file is read; layers are skipped by length.
#pragma once

#include "ImageIo.h"

#include <cstdint>
#include <vector>

class CPsdIo : public CImageIo {
public:
    explicit CPsdIo(const char* path);

    // Header, colour table, resolution (resource 1005) and the position of
    // the merged image data.
    int ReadHeader() override;
    // Fitted (or full-size) preview through channel planes; rows the file
    // does not hold are black, and a full-size preview needs all of them.
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    uint64_t m_nResourceStart = 0;  // first image-resource block
    uint64_t m_nResourceEnd = 0;    // end of the resource section
    uint64_t m_nDataStart = 0;      // just past the compression field
    uint16_t m_nDepth = 0;          // bits per channel sample: 1, 8, 16 or 32 (floating point)
    uint16_t m_nMode = 0;           // the file's colour mode, 0 to 9 (8 duotone, 9 Lab)

    // How the last PackBits preview found its rows: through the row
    // byte-count table (seeking to each needed row) or, when the table
    // disagreed with the data, by decoding the stream in order.
    bool m_bUsedRowTable = false;

protected:
    int ReadPreviewRows(unsigned char* const* planes) override;

private:
    // Walks the resource blocks for the resolution; 72 when there is none.
    void ReadResolution();
    // Bytes of one stored row of one channel.
    uint64_t StoredRowBytes() const;
    // Samples the chosen columns of one decoded row of channel `channel`
    // into preview row `row` of its plane.
    void TakeRow(uint32_t channel, uint32_t row, const unsigned char* stored, unsigned char* const* planes) const;
    // Lab pictures are read into the three planes as L, a, b bytes and
    // turned into red, green, blue in place.
    void LabPlanesToRgb(unsigned char* const* planes) const;
    int ReadRawRows(unsigned char* const* planes);
    // 1: done; 0: failure; -1: the table disagrees with the data.
    int ReadPackBitsByTable(unsigned char* const* planes);
    int ReadPackBitsInOrder(unsigned char* const* planes);

    std::vector<uint32_t> m_vTakeRows;     // stored row of each preview row
    std::vector<uint32_t> m_vTakeColumns;  // stored column of each preview column
    std::vector<uint8_t> m_vMissing;   // 1 for each preview row not filled
};
