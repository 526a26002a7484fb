// CGifIo: reader of GIF files (87a and 89a).  Only the first image is read;
// its LZW data is decoded row by row and the sampled rows are written
// straight into the 24-bit preview through the palette.
#pragma once

#include "ImageIo.h"

#include <cstdint>

class CGifIo : public CImageIo {
public:
    explicit CGifIo(const char* path);

    // Signature, trailer, screen descriptor, colour tables, the blocks before
    // the first image and its descriptor; leaves the file on the image data.
    int ReadHeader() override;
    // Fitted (or full-size) preview.  A fitted preview of a stream that ends
    // early shows the rows it lacks black; a full-size one is refused.
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    // The image descriptor's interlace flag.
    bool m_bInterlaced = false;

private:
    // Decodes the image data into the preview block `bits`; with `complete`
    // it reports whether every source row was decoded.
    int DecodeLzw(unsigned char* bits, bool* complete);
};
