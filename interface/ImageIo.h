// The reader base class and the shared preview steps.  Nothing here names a
// reader: the format table above the readers creates them.
#pragma once

#include "Afx.h"
#include "ImageMemory.h"
#include "Refusal.h"

#include <cstdint>
#include <vector>

// Colour arrangement of a source picture; 0 means not recognised.
enum ColorMode : int32_t {
    COLOR_NONE = 0,
    COLOR_BILEVEL = 2,
    COLOR_GREY = 3,
    COLOR_RGB = 4,
    COLOR_CMYK = 5,
    COLOR_INDEXED = 6,
    COLOR_CHANNEL = 7,
};

// Largest side of a fitted preview.
constexpr uint32_t PREVIEW_LIMIT = 200;
// Most channel planes a preview is built from.
constexpr uint32_t MAX_PREVIEW_CHANNELS = 4;

// Source indices chosen by the first-match sampling rule for a source extent
// `n` and a preview extent `m`: element i is the first source index whose
// scaled value truncates to i.  Fewer than `m` elements when single-precision
// rounding leaves the last preview indices without a source index.
std::vector<uint32_t> FirstMatchIndices(uint32_t n, uint32_t m);

// Bytes of a preview block of 24-bit rows, each padded to 4 bytes; false when
// the size does not fit in 32 bits.
bool PreviewBlockBytes(uint32_t width, uint32_t height, uint32_t* bytes);

// Allocates such a preview block into `block`: Refusal::None, PictureTooLarge
// when its size does not fit in 32 bits, or OutOfMemory.
Refusal AllocPreviewBlock(uint32_t width, uint32_t height, ImageBlock<>& block);

// The ColorMode of pictures of 1 (grey), 3 (RGB) or 4 (CMYK) samples a
// pixel; false for any other count.
bool ColourModeOfSamples(uint32_t samples, int32_t* mode);

class CImageIo : public CObject {
public:
    CImageIo() = default;
    ~CImageIo() override;

    // Reads the header and fills the common fields; 1 when the file is a
    // picture this reader accepts.  The base accepts nothing.
    virtual int ReadHeader();
    // Makes the preview block (bottom-up 24-bit rows) and hands it over
    // through `bits`; 1 on success.  The base makes none.
    virtual int MakeDib(int32_t* width, int32_t* height, unsigned char** bits);

    // Preview size from the source size: fitted into 200 x 200 unless
    // m_bFullSize is set.
    int ComputeDibSize();
    // Samples one stored row into preview row `row` of the planes; `source`
    // must hold SourceRowBytes() bytes.  Returns 0 and writes nothing when
    // `row` is not below m_nDibHeight.  While the skeleton builds a preview
    // row by row (see SamplesWholeRows) the row goes straight into its row of
    // the preview block instead, through the skeleton's one-row planes.
    int SampleRow(uint32_t row, const unsigned char* source, unsigned char* const* planes);
    // Turns the planes into the preview block at `bits`.
    int PlanesToDib(unsigned char* const* planes, unsigned char* bits);

    uint32_t m_nWidth = 0;
    uint32_t m_nHeight = 0;
    float m_fXRes = 0;
    float m_fYRes = 0;
    int32_t m_nBitsPerPixel = 0;
    int32_t m_nColorMode = 0;
    int32_t m_nBitsPerSample = 8;
    int32_t m_nRowBytes = 0;
    uint16_t m_nSamplesPerPixel = 0;
    uint32_t m_nChannels = 0;
    uint16_t m_nPaletteSize = 0;
    unsigned char* m_pPalette = nullptr;
    int32_t m_bPlanar = 1;
    uint32_t m_nDibWidth = 0;
    uint32_t m_nDibHeight = 0;
    int32_t m_nCompression = 0;
    const char* m_pszPath = nullptr;
    CFile m_file;
    int32_t m_bFullSize = 0;
    // Three-channel rows hold blue, green, red (set from the format table).
    bool m_bBgrRows = false;
    // Why the last operation failed; the first reason recorded stays.
    Refusal m_nRefusal = Refusal::None;

    // The export's steps around ReadHeader and MakeDib: the picture is
    // opened without sharing and closed by the reader, which also tells why a
    // step failed (Refusal::None when it gave no reason).
    bool OpenPicture(const char* path) { return m_file.Open(path, CFile::modeRead | CFile::shareExclusive); }
    void ClosePicture() { m_file.Close(); }
    Refusal Reason() const { return m_nRefusal; }

    // Records `why` (unless a reason is already recorded) and returns 0, so a
    // failure path reads `return Refuse(Refusal::...);`.
    int Refuse(Refusal why)
    {
        if (m_nRefusal == Refusal::None)
            m_nRefusal = why;
        return 0;
    }

protected:
    // The common preview path of readers that sample rows into channel
    // planes: sizes the preview with ComputeDibSize, then BuildPlanesPreview.
    int MakePlanesPreview(int32_t* width, int32_t* height, unsigned char** bits);
    // With m_nDibWidth and m_nDibHeight already set: allocates the preview
    // block and the planes, has ReadPreviewRows fill the planes, builds the
    // 24-bit rows, and releases the planes and the palette.  On failure
    // nothing is left allocated and `bits` is null.
    int BuildPlanesPreview(int32_t* width, int32_t* height, unsigned char** bits);
    // Fills preview rows 0 .. m_nDibHeight - 1 of the planes from the file;
    // readers that use MakePlanesPreview override it.  The base fails.
    virtual int ReadPreviewRows(unsigned char* const* planes);
    // Called by ReadPreviewRows for preview rows first .. end - 1 (counted
    // from the top) that the file does not hold: BuildPlanesPreview shows
    // them black whatever an empty plane stands for, and refuses a full-size
    // preview with such rows.
    void MarkRowsMissing(uint32_t first, uint32_t end);
    // True when ReadPreviewRows fills the planes only through SampleRow, a
    // whole row per call, and never touches a plane row itself.  The preview
    // is then built row by row straight into the 24-bit block, with planes of
    // one row, so a full-size preview holds the picture once.  Readers whose
    // rows arrive whole say so; the default (planes of the whole preview) is
    // for readers that write planes themselves, such as sources stored plane
    // after plane.
    virtual bool SamplesWholeRows() const { return false; }
    // While building row by row: called by SampleRow on the one-row planes
    // (`rows[k]`: plane k) of the row just sampled, before it becomes a
    // 24-bit row, for a reader that finishes plane values of its own.
    virtual void FinishSampledRow(unsigned char* const* rows) { (void)rows; }
    // Whether the preview is being built row by row (SamplesWholeRows).
    bool BuildingByRows() const { return m_pRowBlock != nullptr; }
    // The source columns SampleRow takes for the current source and preview
    // widths (chosen once, then kept).
    const std::vector<uint32_t>& SampledColumns();
    // While the preview is built row by row and takes every source column of
    // an RGB picture: the block's 24-bit row for preview row `row`, for a
    // reader that can decode a row straight into it as blue, green, red (in
    // place of SampleRow; the row counts as written).  Null otherwise.
    unsigned char* WholeRgbRowInBlock(uint32_t row);

    // Stride of one preview plane row.
    uint32_t PlaneRowBytes() const { return AlignedRowBytes(m_nDibWidth * 8); }
    // Bytes one stored row must hold for SampleRow to take every chosen column.
    bool SourceRowBytes(uint32_t* bytes) const;

private:
    // Allocates the preview block and the planes, fills the planes and turns
    // them into the block; the planes are released, the block handed over.
    int FillPreviewBlock(unsigned char** bits);
    // The same, row by row straight into the block (SamplesWholeRows).
    int FillPreviewBlockByRows(unsigned char* block);
    // The RGB part of SampleRow while building row by row: the chosen
    // pixels of one stored row straight into a 24-bit row of the block.
    void SampleRgbRow(const unsigned char* source, unsigned char* out);
    // Turns one row of the planes (`rows[k]`: that row of plane k) into one
    // 24-bit row of the block.
    void PlaneRowToDib(const unsigned char* const* rows, unsigned char* out);
    // The 24-bit row of preview row `row` (counted from the top) in a
    // bottom-up preview block.
    unsigned char* DibRow(unsigned char* block, uint32_t row) const;
    // Three-channel rows of this format hold blue, green, red.
    bool SwapsChannels() const;
    // Column choice of SampleRow, kept for the current source and preview widths.
    std::vector<uint32_t> m_vColumns;
    uint32_t m_nColumnsFor[2] = {0, 0};
    int m_nSwap = -1;  // 1: rows hold blue, green, red; -1: not known yet
    // While a preview is built row by row: its block, the one-row planes,
    // and which preview rows have been written.
    unsigned char* m_pRowBlock = nullptr;
    unsigned char* m_pRowPlanes[MAX_PREVIEW_CHANNELS] = {};
    std::vector<unsigned char> m_vRowWritten;
    // Preview rows marked missing by the preview being built (empty: none).
    std::vector<unsigned char> m_vRowMissing;
};
