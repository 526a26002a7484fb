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

    // Notes that the row about to be handed over (or a row the sink wants
    // that will not come) is missing part of its data, and why; the first
    // reason is kept.
    void CutShort(Refusal why)
    {
        ++m_nCutShort;
        NoteWhy(why);
    }
    // Notes why later rows will not come (a strip that broke off).
    void NoteWhy(Refusal why)
    {
        if (m_nWhy == Refusal::None)
            m_nWhy = why;
    }
    // Why rows are missing: the first reason noted, else RowsMissing.
    Refusal MissingReason() const { return m_nWhy != Refusal::None ? m_nWhy : Refusal::RowsMissing; }
    // Whether `rows` rows arrived whole.
    bool Complete(uint64_t rows) const { return m_nTaken >= m_nCutShort && m_nTaken - m_nCutShort >= rows; }

    // Rows handed over, and how many of them were cut short (the rest blank):
    // a read that needs every row counts only the whole ones.
    uint64_t m_nTaken = 0;
    uint64_t m_nCutShort = 0;
    Refusal m_nWhy = Refusal::None;
};
