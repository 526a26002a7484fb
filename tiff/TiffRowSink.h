// Where the TIFF row readers deliver decoded rows: the preview sampler or the
// full-resolution plane table.
#pragma once

#include "ITiffIO.h"

struct CTiffIo::RowSink {
    virtual ~RowSink() = default;
    // The first source row at or after `row` that is wanted; UINT32_MAX when
    // no later row is.
    virtual uint32_t NextWanted(uint32_t row) const = 0;
    // Takes decoded row `row` (interleaved samples, stored layout).  The row
    // may be changed in place.  0 stops the read with failure.
    virtual int Take(uint32_t row, unsigned char* data) = 0;
    // Takes row `row` of plane `plane` of a planar 8-bit file (m_nWidth bytes).
    virtual int TakePlane(uint32_t plane, uint32_t row, const unsigned char* data) = 0;

    // Rows handed over whole, and rows handed over with part of their data
    // missing (the rest blank): a read that needs every row counts only the
    // first.
    uint64_t m_nTaken = 0;
    uint64_t m_nCutShort = 0;
    // Whether `rows` rows arrived whole.
    bool Complete(uint64_t rows) const { return m_nTaken >= m_nCutShort && m_nTaken - m_nCutShort >= rows; }
};
