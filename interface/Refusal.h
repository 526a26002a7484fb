// Why a picture was refused: one short reason per failed call, kept by the
// reader (CImageIo::m_nRefusal) and handed to the library's own tools; the C
// exports still return only 1 or 0.
#pragma once

#include <cstdint>

// X(name, text): the text is what a user reads after "refused: ".  Each
// format keeps its reasons in its own block.
#define QUORVEL_REFUSALS(X)                                                        \
    X(None, "no refusal")                                                          \
    /* Any format */                                                               \
    X(NoExtension, "file name has no recognised extension")                        \
    X(NoReader, "no reader for this format")                                       \
    X(CannotOpen, "cannot open the file")                                          \
    X(ReadError, "read error")                                                     \
    X(OutOfMemory, "not enough memory")                                            \
    X(NotAPicture, "not readable as a picture of its format")                      \
    X(PreviewFailed, "preview could not be made")                                  \
    X(Truncated, "file cut short")                                                 \
    X(EmptyPicture, "picture has no pixels")                                       \
    X(PictureTooLarge, "picture too large")                                        \
    X(LargerThanFile, "picture larger than its file can hold")                     \
    X(RowsMissing, "rows missing from the file")                                   \
    X(UnsupportedDepth, "bits per pixel not supported")                            \
    X(UnsupportedColour, "colour arrangement not supported")                       \
    X(UnsupportedCompression, "compression not supported")                         \
    X(NoSummary, "no summary to fill")                                             \
    /* BMP */                                                                      \
    X(BmpSignature, "not a BMP file")                                              \
    X(BmpOldHeader, "BMP header version not supported")                            \
    X(BmpBadSize, "BMP width or height out of range")                              \
    X(BmpEmbeddedImage, "JPEG or PNG inside a BMP")                                \
    X(BmpBitCount, "BMP bits per pixel not valid")                                 \
    X(BmpCompressionDepth, "BMP compression does not fit its bits per pixel")      \
    X(BmpMasks, "BMP colour masks select nothing")                                 \
    /* GIF */                                                                      \
    X(GifSignature, "not a GIF file")                                              \
    X(GifNoTrailer, "GIF does not end with its trailer")                           \
    X(GifNoImage, "GIF holds no image")                                            \
    X(GifUnknownBlock, "unknown block in GIF")                                     \
    X(GifLzwCodeSize, "LZW code size out of range")                                \
    X(GifLzwCodePastTable, "LZW code past the table")                              \
    /* JPEG */                                                                     \
    X(JpegLibraryError, "JPEG data the decoder refused")                           \
    X(JpegSignature, "not a JPEG file")                                            \
    X(JpegFileChanged, "JPEG file changed while it was read")                      \
    /* PNG */                                                                      \
    X(PngLibraryError, "PNG data the decoder refused")                             \
    X(PngChanged, "PNG changed while it was read")                                 \
    /* PCX */                                                                      \
    X(PcxSignature, "not a PCX file")                                              \
    X(PcxLayout, "PCX plane layout not supported")                                 \
    X(PcxNoPalette, "256-colour palette missing")                                  \
    /* TGA */                                                                      \
    X(TgaImageType, "TGA image type not supported")                                \
    X(TgaColourMap, "TGA colour map not supported")                                \
    /* PSD */                                                                      \
    X(PsdSignature, "not a Photoshop file")                                        \
    X(PsdVersion, "Photoshop file version not supported")                         \
    X(PsdMode, "Photoshop colour mode not supported")                              \
    X(PsdColourData, "colour mode data of an unexpected length")                   \
    X(PsdNoColourTable, "indexed picture without its colour table")                \
    X(PsdTooFewChannels, "fewer channels than the colour mode needs")              \
    /* EPS */                                                                      \
    X(EpsNoBoundingBox, "no bounding box")                                         \
    X(EpsBoundingBoxRange, "bounding box out of range")                            \
    X(EpsNoPreview, "no TIFF or Photoshop preview in the file")                    \
    X(EpsPreviewOutside, "preview section outside the file")                       \
    X(EpsNoThumbnail, "Photoshop block without a readable thumbnail")              \
    X(EpsTempFile, "cannot write a temporary file")                                \
    /* PCD */                                                                      \
    X(PcdSignature, "not a Photo CD file")                                         \
    /* SCT */                                                                      \
    X(SctSignature, "not a Scitex CT file")                                        \
    X(SctSeparations, "Scitex separation count not supported")                     \
    /* PXR */                                                                      \
    X(PxrStorage, "Pixar storage type not supported")                              \
    /* AWD */                                                                      \
    X(AwdSignature, "not an AWD file")                                             \
    X(AwdUnequalBits, "bits per sample differ between samples")                    \
    X(AwdNoStrips, "no strip offsets")                                             \
    X(AwdNoColourMap, "palette picture without a colour map")                      \
    X(AwdTooFewSamples, "fewer samples per pixel than the colours need")           \
    /* TIFF */                                                                     \
    X(TiffSignature, "not a TIFF file")                                            \
    X(TiffDirectoryCut, "TIFF directory cut short")                                \
    X(TiffValuesOutsideFile, "TIFF directory values outside the file")             \
    X(TiffMixedDepths, "samples of different bit depths")                          \
    X(TiffPhotometric, "photometric interpretation not supported")                 \
    X(TiffNoStrips, "no strip offsets")                                            \
    X(TiffNoStripByteCounts, "no strip byte counts")                               \
    X(TiffSeparatePlanes, "separate planes only uncompressed with 8-bit samples")  \
    X(TiffTooFewSamples, "fewer samples per pixel than colour channels")           \
    X(TiffCcittDepth, "CCITT data not one bit per pixel")                          \
    X(TiffCcittInvalidCode, "invalid CCITT code")                                  \
    X(TiffLzwNoClearCode, "LZW strip does not start with a clear code")            \
    X(TiffLzwCodePastTable, "LZW code past the table")                             \
    X(TiffStripCutShort, "strip data ends before its rows")                        \
    X(TiffPlaneTable, "no planes to read the picture into")                      \
    X(TiffFloatPredictor, "floating-point predictor")                              \
    X(TiffSampleFormat, "samples not unsigned integers")                           \
    X(TiffLibraryError, "TIFF data libtiff refused")

enum class Refusal : uint16_t {
#define QUORVEL_REFUSAL_ENUM(name, text) name,
    QUORVEL_REFUSALS(QUORVEL_REFUSAL_ENUM)
#undef QUORVEL_REFUSAL_ENUM
};

// The user's wording of a reason ("LZW code past the table").
const char* RefusalText(Refusal why);
// The reason's name as written in the code ("TiffLzwCodePastTable").
const char* RefusalName(Refusal why);
