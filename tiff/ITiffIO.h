// CTiffIo: the TIFF reader (header and first directory, strip decoders,
// previews and full-resolution reads into planes) and, in its own files, the
// TIFF writer and its encoders.
#pragma once

#include "ImageIo.h"

#include <cstdint>

// Code packer of the LZW writer (defined with the encoders).
struct LzwBitWriter;

// TIFF compression codes the reader knows.
constexpr int32_t TIFF_COMPRESSION_NONE = 1;
constexpr int32_t TIFF_COMPRESSION_CCITT = 2;
constexpr int32_t TIFF_COMPRESSION_LZW = 5;
constexpr int32_t TIFF_COMPRESSION_PACKBITS = 32773;

class CTiffIo : public CImageIo {
public:
    explicit CTiffIo(const char* path);
    ~CTiffIo() override;

    // Parses the file header and the first directory; 1 on success.
    int ReadHeader() override;
    // Fitted (or full-size) preview of the image; 1 on success.
    int MakeDib(int32_t* width, int32_t* height, unsigned char** bits) override;

    // Reads every row at full resolution into planes 0 .. m_nChannels - 1 of
    // the plane table (kind 1, m_nRowBytes apart, one byte per sample).
    int ReadFullImage();
    // Whether the file's strips can hold every stored row: uncompressed rows
    // inside the file, compressed strips no larger than their codec's
    // greatest expansion of the bytes the file holds.  A full read and a
    // full-size preview need every row, so they are refused without it.
    bool ImageFitsInFile() const;

    // ---- strip decoders ----------------------------------------------------
    // One row of PackBits data from m_pStripBuf at m_nStripPos; 1 when the
    // whole row was decoded, 0 when the strip ended first (the rest is 0).
    int DecodePackBitsRow(unsigned char* row, uint32_t rowLength);
    // One row of CCITT modified Huffman data from m_pStripBuf at m_nStripPos;
    // writes at most rowLength bytes (m_nWidth pixels, one bit each: white
    // runs 0, black runs 1).  1 when the runs covered the row, 0 when the
    // data ended or broke off first (the rest is 0 bits).
    int DecodeHuffmanRow(unsigned char* row, uint32_t rowLength);
    // Next LZW code of `width` bits from m_pCodeNext; 0 when the bytes end first.
    uint32_t ReadLzwCode(int width);
    // 1-, 4- and 16-bit rows to one byte per sample; source and destination
    // may be the same buffer for 16-bit rows.
    int UnpackSamples(const unsigned char* source, unsigned char* destination);

    // Bytes of one decoded row (samples interleaved, byte-aligned rows); false
    // when the size does not fit in 32 bits or is 0.
    bool StoredRowLength(uint32_t* bytes) const;

    // The LZW reading procedure: m_nLzwMode 1 samples the rows the preview
    // needs into `planes`; 2 distributes every row into the plane table.
    int DecodeLzwStrips(unsigned char* const* planes);

    // Receiver of decoded rows (preview sampler or plane table).
    struct RowSink;

    // Decodes one LZW strip whose codes are m_pCodeNext .. m_pCodeEnd: rows
    // firstRow .. firstRow + rows - 1, each rowLength bytes, built in `row`;
    // wanted rows go to the sink.  0 when the strip does not start with the
    // clear code or the sink fails.
    int DecodeLzwStrip(uint32_t firstRow, uint32_t rows, unsigned char* row, uint32_t rowLength,
                       RowSink& sink);
    // Undoes horizontal differencing (Predictor 2) on one decoded row.
    void UndoPredictor(unsigned char* row, uint32_t rowLength) const;

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
    void Store16(unsigned char* p, uint32_t v) const;
    void Store32(unsigned char* p, uint32_t v) const;
    bool WritePosition(uint32_t* pos) const;
    bool NewStripTables(uint32_t strips);
    void InterleaveRows(unsigned char* band, uint32_t firstRow, uint32_t rows) const;
    int WriteStripTable(const uint32_t* values);
    // Replaces the palette by black (entry 0) and white (entry 1).
    bool SetBlackWhitePalette();

public:

    // ---- members -------------------------------------------------------------
    int32_t m_nLzwMode = 0;
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
    unsigned char* m_pStripBuf = nullptr;  // stored bytes of the current strip
    uint32_t m_nRunCount = 0;             // runs in the row being packed (writer)
    unsigned char* m_pRuns = nullptr;     // run lengths of the row being packed (writer)
    uint32_t m_nStripPos = 0;             // next byte of m_pStripBuf to decode
    uint32_t m_nStripLen = 0;             // valid bytes in m_pStripBuf
    LzwBitWriter* m_pLzwOut = nullptr;    // code packer of the LZW writer
    int32_t m_bIntel = 1;                 // 1: "II" little-endian; 0: "MM" big-endian
    uint8_t m_nCodeByte = 0;              // LZW code reader: unread bits at the top
    uint8_t m_nCodeBits = 0;              // LZW code reader: number of unread bits
    const unsigned char* m_pCodeNext = nullptr;  // LZW code reader: next byte
    const unsigned char* m_pCodeEnd = nullptr;   // LZW code reader: end of the strip

protected:
    int ReadPreviewRows(unsigned char* const* planes) override;

private:
    // Checks that the pixel readers can handle the file; 1 when they can.
    int CheckReadable() const;
    // The most bytes the file's strips could decode to.
    uint64_t DecodableBytes() const;
    // Rows of strip s (the last strip may be short); 0 past the image.
    uint32_t StripRows(uint32_t strip) const;
    // Number of strips one plane of the image needs.
    uint32_t StripsPerPlane() const;
    // Stored bytes of strip s that lie inside the file.
    uint32_t StripBytesInFile(uint32_t strip, uint64_t fileLength) const;
    // Reads `count` bytes at `offset`; missing bytes past the end of the
    // file are zero.  Returns the number of bytes actually read.
    uint32_t ReadAt(uint64_t offset, unsigned char* buffer, uint32_t count);
    // Row-by-row readers shared by the preview and the full read.
    int ReadUncompressedRows(RowSink& sink);
    int ReadPlanarRows(RowSink& sink);
    int ReadCodedStripRows(RowSink& sink);
    // Decodes the LZW strips that hold a row the sink wants, reading them in
    // groups sized by the block that ImageAllocBlock grants.
    int DecodeLzwGroups(RowSink& sink);
};
