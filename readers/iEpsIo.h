// CEpsIo: reader of Encapsulated PostScript files (.eps).  PostScript is
// never interpreted: the size comes from the bounding-box comment, the
// preview from an embedded image handed to another reader through a
// temporary file (the TIFF section of a DOS EPS file to CTiffIo, the JPEG
// thumbnail of a Photoshop EPS file to CJpegIo).
#pragma once

#include "ImageIo.h"

#include <cstddef>
#include <cstdint>
#include <string>

class CEpsIo : public CImageIo {
public:
    explicit CEpsIo(const char* path);

    // The bounding box (the high-resolution one when it follows within 128
    // bytes) in thousandths of an inch at resolution 1000.
    int ReadHeader() override;
    // The embedded image's preview, as its own reader makes it.
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    // Start of the PostScript text: the DOS EPS header's offset, else 0.
    uint64_t m_nPsOffset = 0;

    // Hexadecimal text to bytes: digits and letters a-f in either case make
    // nibbles, every other character is passed over, a last odd nibble is
    // dropped.  Writes at most `capacity` bytes; returns the count written.
    static size_t DecodeHex(const unsigned char* text, size_t length, unsigned char* out, size_t capacity);

    // Test seam: called with the temporary file's path once it is written,
    // before the embedded image's reader opens it.  It may throw.
    using TempFileHook = void (*)(const std::string& path);
    static void SetTempFileHookForTesting(TempFileHook hook);

private:
    // Reads the 30-byte DOS EPS header when the file begins with its magic.
    bool ReadDosHeader(unsigned char* header);
    // Offset of the first occurrence of `keyword` at or after `start`;
    // false when the file ends first.
    bool FindKeyword(const char* keyword, uint64_t start, uint64_t* found);
    // The "%%Creator:" comment names Adobe Photoshop.
    bool IsPhotoshopEps();
    // Reads the four bounding-box values that follow `at`; false when the
    // first is not a number (a box deferred to the trailer).
    bool ReadBoxValues(uint64_t at, float values[4]);
    int PreviewFromTiff(const unsigned char* header, int32_t* width, int32_t* height, unsigned char** bits);
    int PreviewFromPhotoshop(int32_t* width, int32_t* height, unsigned char** bits);
    // Runs a reader of type R on the temporary file and takes its preview.
    template <class R>
    int RunDelegate(const std::string& path, int32_t fullSize, int32_t* width, int32_t* height,
                    unsigned char** bits);
};
