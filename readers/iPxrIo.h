// CPxrIo: reader of Pixar picture files (.pxr) as Photoshop writes them: a
// 1024-byte header, then uncompressed 8-bit rows, grey or RGB, at 72 pixels
// per inch.
#pragma once

#include "RowsFromFile.h"

#include <cstdint>

class CPxrIo : public CRowsFromFileIo {
public:
    explicit CPxrIo(const char* path);

    // Width and height from the header, storage type 8 (grey) or 14 (RGB).
    int ReadHeader() override;
    // Fitted or full-size preview; rows the preview does not take are passed
    // over, rows the file does not hold show black.
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;


protected:
    int ReadPreviewRows(unsigned char* const* planes) override;
    // Every stored row is read whole and sampled through SampleRow.
    bool SamplesWholeRows() const override { return true; }
};
