// Small steps shared by the readers of uncompressed rows at fixed offsets
// (SCT, PXR, AWD): reading one stored row when the file holds it, and the
// common preview path that checks the bounds first.
#pragma once

#include "Afx.h"
#include "ImageIo.h"
#include "PictureBounds.h"

#include <cstdint>

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

// Base of those readers: their ReadPreviewRows marks the preview rows the
// file does not hold as missing.
class CRowsFromFileIo : public CImageIo {
protected:
    // Checks `bounds` (with fullSize taken from m_bFullSize), then builds the
    // preview through MakePlanesPreview.
    int MakeRowsPreview(PictureBounds bounds, int32_t* width, int32_t* height, unsigned char** bits)
    {
        *bits = nullptr;
        bounds.fullSize = m_bFullSize != 0;
        const Refusal why = CheckPictureBounds(bounds);
        if (why != Refusal::None)
            return Refuse(why);
        return MakePlanesPreview(width, height, bits);
    }
};
