// TIFF files the own decoders refuse (other codings, tiles, YCbCr, CIE Lab,
// BigTIFF, unusual depths and sample formats), read through libtiff over the
// reader's open file.  Without libtiff in the build every call fails.
#pragma once

#include <cstdint>

class CTiffIo;

// True when this build reads TIFF through libtiff.
bool TiffFallbackAvailable();

// Size and resolution of the first directory (m_nWidth, m_nHeight, m_fXRes,
// m_fYRes as the own header sets them); 1 on success, else 0 with the reason
// recorded.
int TiffFallbackHeader(CTiffIo& io);

// The preview (fitted, or full size with m_bFullSize) in the shared layout:
// rows and columns by the first-match rule, bottom-up 24-bit rows.  1 with
// the block handed over; 0 with nothing allocated and the reason recorded.
int TiffFallbackPreview(CTiffIo& io, int32_t* width, int32_t* height, unsigned char** bits);
