// CPngIo: reader of PNG files through libpng.  The preview is the picture
// reduced by a whole multiple of 8 (chosen from the width), so an interlaced
// file needs only its first interlace pass.
#pragma once

#include "ImageIo.h"

#include <cstdint>

class CPngIo : public CImageIo {
public:
    explicit CPngIo(const char* path);

    // Size and colour type from the image header, and the palette.
    int ReadHeader() override;
    // The reduced preview; a full-size request gets the same preview.
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    // Reads rows 0, d, 2d ... and of them columns 0, d, 2d ... (d the
    // divisor) into `dw` x `dh` planes; 1 on success.
    int ReadPlanes(uint32_t dw, uint32_t dh, unsigned char* const* planes);

    // Reduction factor of the preview: 8, 16, 24 ...
    uint32_t m_nDivisor = 8;

protected:
    int ReadPreviewRows(unsigned char* const* planes) override;

private:
    // Closes m_file so the stream can open the file, and reopens it after.
    void ReopenFile();

    int m_nBitDepth = 0;
    int m_nColourType = 0;
    bool m_bInterlaced = false;
};
