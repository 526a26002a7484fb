// Small steps shared by the readers of uncompressed rows at fixed offsets
// (SCT, PXR, AWD): reading one stored row when the file holds it, and the
// common preview path that checks the bounds, fills what the file holds and
// blackens the preview rows it did not hold.
#pragma once

#include "Afx.h"
#include "ImageIo.h"
#include "PictureBounds.h"

#include <cstdint>
#include <cstring>

// Reads `count` bytes at `at` into `out`, seeking only when the file is not
// already there; false (nothing read) when the file ends first.  `position`
// carries the file position between calls (UINT64_MAX when unknown).
inline bool ReadStoredBytes(CFile& file, uint64_t length, uint64_t at, uint32_t count, unsigned char* out,
                            uint64_t* position)
{
    if (at > length || count > length - at)
        return false;
    if (*position != at)
        file.Seek(static_cast<int64_t>(at), CFile::begin);
    *position = UINT64_MAX;
    if (file.Read(out, count) != count)
        return false;
    *position = at + count;
    return true;
}

// Preview rows `filled` .. height - 1 (counted from the top of the picture)
// of a bottom-up 24-bit preview block become black: they lie at the start of
// the block.
inline void BlackenRowsFrom(unsigned char* bits, uint32_t width, uint32_t height, uint32_t filled)
{
    if (bits == nullptr || filled >= height)
        return;
    const size_t stride = ((static_cast<size_t>(width) * 24 + 31) / 32) * 4;
    std::memset(bits, 0, static_cast<size_t>(height - filled) * stride);
}

// Base of those readers: ReadPreviewRows sets m_nFilledRows to the preview
// rows it took from the file, from the top.
class CRowsFromFileIo : public CImageIo {
public:
    // Preview rows, from the top, that the last preview took from the file.
    uint32_t m_nFilledRows = 0;

protected:
    // Checks `bounds` (with fullSize taken from m_bFullSize), builds the
    // preview through MakePlanesPreview, then shows the rows the file did
    // not hold black; a full-size preview missing rows is refused.
    int MakeRowsPreview(PictureBounds bounds, int32_t* width, int32_t* height, unsigned char** bits)
    {
        *bits = nullptr;
        bounds.fullSize = m_bFullSize != 0;
        const Refusal why = CheckPictureBounds(bounds);
        if (why != Refusal::None)
            return Refuse(why);
        m_nFilledRows = 0;
        if (!MakePlanesPreview(width, height, bits))
            return 0;
        if (m_nFilledRows < m_nDibHeight) {
            if (m_bFullSize != 0) {
                ImageFree(bits);
                return Refuse(Refusal::RowsMissing);
            }
            BlackenRowsFrom(*bits, m_nDibWidth, m_nDibHeight, m_nFilledRows);
        }
        return 1;
    }
};
