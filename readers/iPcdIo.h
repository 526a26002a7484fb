// CPcdIo: reader of Photo CD image packs.  It reports the base resolution
// (768 x 512 at 72 pixels per inch) and previews the 192 x 128 thumbnail,
// never decoding the larger images.
#pragma once

#include "ImageIo.h"

#include <cstdint>

class CPcdIo : public CImageIo {
public:
    explicit CPcdIo(const char* name);
    ~CPcdIo() override;

    int ReadHeader() override;
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    // Luma and two chroma values to red, green, blue.
    static void YccToRgb(int y, int c1, int c2, unsigned char* rgb);

    static constexpr uint32_t kThumbWidth = 192;
    static constexpr uint32_t kThumbHeight = 128;
    static constexpr uint32_t kThumbOffset = 8192;
    // One group: two luma rows and a row of each chroma at half width.
    static constexpr uint32_t kGroupBytes = 3 * kThumbWidth;

    // Thumbnail rows are stored bottom row first (bit 0 of byte 72).
    bool m_bReverseRows = false;

protected:
    int ReadPreviewRows(unsigned char* const* planes) override;
};
