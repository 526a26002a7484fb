// CTiffIo: the TIFF reader (header and first directory, previews and
// full-resolution reads into planes) and, in its own files, the TIFF writer.
// The strip decoders and encoders are free of the class (TiffDecoders.h,
// TiffEncoders.h); tags and field types are named in TiffTags.h, directory
// values read through TiffDirectory.h.
#pragma once

#include "ImageIo.h"
#include "TiffTags.h"

#include <cstdint>

// Code packer of the LZW writer (defined with the encoders).
struct LzwBitWriter;


class CTiffIo : public CImageIo {
public:
    explicit CTiffIo(const char* path);
    ~CTiffIo() override;

    // Plane table for full-resolution reads and writes: the kind of each
    // entry (1: a plane of one byte per sample, m_nRowBytes apart) and its
    // start.  Only ReadFullImage, WriteImage and the conversion use it.
    int32_t m_nPlaneKind[32] = {};
    unsigned char* m_pPlane[32] = {};

    // Parses the file header and the first directory; 1 on success.  What
    // the own parse refuses goes to libtiff when m_bLibTiffFallback allows.
    int ReadHeader() override;
    // The own parse alone.
    int ReadOwnHeader();
    // Fitted (or full-size) preview of the image; 1 on success.
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    // Reads every row at full resolution into planes 0 .. m_nChannels - 1 of
    // the plane table (kind 1, m_nRowBytes apart, one byte per sample).
    int ReadFullImage();
    // Refusal::None when the file's strips can hold every stored row:
    // uncompressed rows inside the file, compressed strips no larger than
    // their codec's greatest expansion of the bytes the file holds.  A full
    // read and a full-size preview need every row, so they are refused
    // without it.
    Refusal CheckImageFitsInFile() const;

    // Bytes of one decoded row (samples interleaved, byte-aligned rows); false
    // when the size does not fit in 32 bits or is 0.
    bool StoredRowLength(uint32_t* bytes) const;

    // Receiver of decoded rows (preview sampler or plane table).
    struct RowSink;

    // Decodes the LZW strip held in `codes`: rows firstRow .. firstRow +
    // rows - 1, each rowLength bytes, built in `row`; wanted rows go to the
    // sink.  0 (with the reason recorded) when the sink fails, or when the
    // strip does not start with the clear code before the sink took any
    // row; -1 for such a strip after rows were taken (the read stops, later
    // rows missing); a strip that breaks off early leaves its later rows
    // missing.
    int DecodeLzwStrip(const unsigned char* codes, uint32_t size, uint32_t firstRow, uint32_t rows,
                       unsigned char* row, uint32_t rowLength, RowSink& sink);

    // ---- writer (the TIFF writer and its encoders live in their own files) --
    // WriteImage and friends are declared here by the writer.
    // ---- writer: TiffWrite.cpp, encoders in TiffEncoders.cpp, conversions in
    // ConvertBWTiff.cpp ---------------------------------------------------------
    // Writes planes 0 .. m_nSamplesPerPixel - 1 of the plane table as a TIFF
    // file through m_file (open for writing, empty); 1 when written.
    int WriteImage();
    int WriteHeader();
    int WriteStrips();
    int WriteBilevelStrips();
    int WriteLzwStrips();
    int WriteDirectory();
    uint32_t ScanRuns(const unsigned char* row, unsigned char* runs, uint32_t length);
    uint32_t EncodePackBitsRow(const unsigned char* row, uint32_t length);
    int PackBilevelRow(const unsigned char* samples, unsigned char* packed);
    int EncodeLzwStrip(const unsigned char* rows, uint32_t rowCount);
    int PutCode(uint32_t code, uint32_t width);
    // In-place conversions of planes 0-2 (m_nRowBytes apart).
    int Colorize(uint32_t colour);
    int RgbToBilevel();
    int PaletteToBilevel();

private:
    // Writer helpers.
    int CanWrite() const;
    bool WritePosition(uint32_t* pos) const;
    bool NewStripTables(uint32_t strips);
    void InterleaveRows(unsigned char* band, uint32_t firstRow, uint32_t rows) const;
    int WriteStripTable(const uint32_t* values);
    // Replaces the palette by black (entry 0) and white (entry 1).
    bool SetBlackWhitePalette();

public:

    // ---- members -------------------------------------------------------------
    // Number of strips (the file's whole count; 32-bit so that tall images
    // with one row per strip keep every strip).
    uint32_t m_nStrips = 0;
    uint32_t* m_pStripOffsets = nullptr;     // new[]; file offset of each strip
    uint32_t* m_pStripByteCounts = nullptr;  // new[]; stored bytes of each strip
    uint32_t m_nRowsPerStrip = 0;
    // PhotometricInterpretation when it was 0 (WhiteIsZero) or 1 (BlackIsZero); else 2.
    int32_t m_nGreyPhotometric = 2;
    int32_t m_nPredictor = 1;
    unsigned char* m_pPackOut = nullptr;  // PackBits output of one row (writer)
    uint32_t m_nRunCount = 0;             // runs in the row being packed (writer)
    unsigned char* m_pRuns = nullptr;     // run lengths of the row being packed (writer)
    LzwBitWriter* m_pLzwOut = nullptr;    // code packer of the LZW writer
    int32_t m_bIntel = 1;                 // 1: "II" little-endian; 0: "MM" big-endian
    int32_t m_nSampleFormat = TIFF_SAMPLE_FORMAT_UINT;  // of the first sample
    // FillOrder 2: every stored pixel byte holds its bits lowest first, so
    // it is reversed as it is read, before any decoding.
    bool m_bBitsReversed = false;
    // Files the own decoders refuse are read through libtiff (when built
    // with it); ConvertBWTiff keeps to the own decoders.
    bool m_bLibTiffFallback = true;
    // The header came from libtiff: only size and resolution are known, and
    // the preview is libtiff's too.
    bool m_bLibTiffHeader = false;

protected:
    int ReadPreviewRows(unsigned char* const* planes) override;
    // Chunky rows reach the preview only through SampleRow, so it is built
    // row by row; separate planes, and pixels of several samples under 8
    // bits (unpacked first), are written to the planes themselves.
    bool SamplesWholeRows() const override
    {
        return m_bPlanar == 0 && (m_nColorMode == COLOR_RGB || m_nColorMode == COLOR_CMYK ||
                                  m_nBitsPerSample >= 8 || m_nSamplesPerPixel == 1);
    }
    // Grey levels of 4 bits and WhiteIsZero, finished row by row.
    void FinishSampledRow(unsigned char* const* rows) override;

private:
    // Checks that the pixel readers can handle the file; 1 when they can,
    // else 0 with the reason recorded.
    int CheckReadable();
    // Whether a file the own decoders refused for `why` goes to libtiff.
    bool LibTiffReads(Refusal why);
    // The most bytes one stored byte can decode to under the file's coding.
    uint64_t MostExpansion() const;
    // Rows of strip s (the last strip may be short); 0 past the image.
    uint32_t StripRows(uint32_t strip) const;
    // Number of strips one plane of the image needs.
    uint32_t StripsPerPlane() const;
    // Stored bytes of strip s that lie inside the file.
    uint32_t StripBytesInFile(uint32_t strip, uint64_t fileLength) const;
    // Reads `count` pixel-data bytes at `offset` (bit order put right);
    // missing bytes past the end of the file are zero.  Returns the number
    // of bytes actually read.
    uint32_t ReadAt(uint64_t offset, unsigned char* buffer, uint32_t count);
    // Row readers shared by the preview and the full read; each hands the
    // rows the sink wants to it and records its reason when it fails.
    int ReadRows(RowSink& sink);
    int ReadUncompressedRows(RowSink& sink);
    int ReadPlanarRows(RowSink& sink);
    int ReadCodedStripRows(RowSink& sink);
    // Decodes the LZW strips that hold a row the sink wants, reading them in
    // groups sized by the block that ImageAllocBlock grants.
    int ReadLzwRows(RowSink& sink);
};
