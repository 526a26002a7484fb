// JPEG reader: decoding is left to libjpeg, read through its stdio source.
#pragma once

#include "ImageIo.h"

class CJpegIo : public CImageIo {
public:
    explicit CJpegIo(const char* path);

    // Size, resolution and colour arrangement from the JPEG headers; 1 for
    // files of 1, 3 or 4 components.
    int ReadHeader() override;
    // Fitted (or full-size) preview through channel planes.
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    // Decodes the file and samples it into `dw` x `dh` planes (one pointer
    // per sample of a pixel) by the first-match rule; 1 when the decode
    // reached its end.
    int ReadPlanes(uint32_t dw, uint32_t dh, unsigned char* const* planes);

    // Test seam: with `plain` set, every scanline is decoded and no header
    // short cut is taken, which is the reference the faster paths must match.
    static void SetPlainDecodeForTesting(bool plain);

protected:
    int ReadPreviewRows(unsigned char* const* planes) override;
    // Every decoded row is sampled through SampleRow.
    bool SamplesWholeRows() const override { return true; }

private:
    // Closes m_file so the stream can open the file, and reopens it after.
    void ReopenFile();
    // File bytes from the first scan on, and the fewest bits any coding of
    // the picture's blocks takes (0: no floor, as under arithmetic coding).
    uint64_t m_nDataBytes = 0;
    uint64_t m_nLeastBits = 0;
};
