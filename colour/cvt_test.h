// Colour tables and the CMYK-to-RGB colour transform.
//
// The table is a 17 x 17 x 17 x 17 grid of RGB entries read from otd.cvt, a
// small TIFF file beside the host.  ColourTransform either (re)loads it or
// converts CMYK samples by simplex interpolation in it.  The table and its
// grid offsets are process-wide; loads are serialised, and an export call
// converts through its own snapshot (ColourCallScope), so calls may overlap.
#pragma once

#include "Afx.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// Room for the table; the 17^4 entries of 3 bytes take the first 250,563.
constexpr size_t COLOUR_TABLE_BYTES = 300900;
constexpr size_t COLOUR_TABLE_USED = 83521 * 3;
// The table file's directory must lie within its first 600 bytes.
constexpr uint32_t TABLE_HEADER_BYTES = 600;

// RGB entries; grid point (c, m, y, k) at byte 3 * (c + 17m + 289y + 4913k).
extern unsigned char ColourTable[COLOUR_TABLE_BYTES];
// Entry 16 * d + g: byte offset of grid step g along axis d (strides 3, 51,
// 867, 14739).  Rebuilt on every load.
extern int32_t GridOffsets[64];

// Arguments of ColourTransform.
struct TransformArgs {
    unsigned char* pIn;       // input samples
    unsigned char* pOut;      // output samples
    int32_t nInStride;        // bytes from one input row to the next
    int32_t nOutStride;       // bytes from one output row to the next
    uint32_t nCount;          // pixels per row
    uint32_t nRows;           // number of rows
    const char* pszTableDir;  // directory of otd.cvt when given (loading only)
    const char* pszBaseDir;   // directory beside which "color" lies (loading only)
};

// Mode 0 or 1: rebuild GridOffsets and load the table (status 1 or -1).
// Mode 2: interleaved CMYK to RGB; 3: planar CMYK to RGB (status 1).
// Modes 4 to 9 do nothing (status 1); any other mode gives status 0.
// A negative mode stands for its negation with the interleaved output order
// reversed (blue, green, red).  Returns 1, or 0 when a file exception
// escaped from a load.
int ColourTransform(int16_t mode, TransformArgs* args, int16_t* status);

// Loads otd.cvt from hostDir/color, else hostDir/../color.  Returns 1.
int LoadColourTable(const char* hostDir);

// Reads the table file from tableDir (or baseDir/color when tableDir is
// null), else from baseDir/../color.  Returns 1 when the table was read, -1
// when not; a refused file leaves ColourTable as it was.
int16_t LoadTableFile(const char* baseDir, const char* tableDir);

// What the loader takes from the table file's directory.
struct TableHeader {
    uint16_t nWidth = 0;
    uint16_t nHeight = 0;
    uint16_t nBitsPerSample = 0;
    uint16_t nSamplesPerPixel = 0;
    uint16_t nPlanarConfig = 0;  // 1 = chunky
    uint32_t nDataOffset = 0;
};

// Parses the first directory of an open table file into header (cleared
// first).  Returns 1 when the directory was accepted, 0 when not.
int ParseTableHeader(CFile& file, TableHeader* header);

// The table an export call converts through.  While one is alive on a
// thread, that thread's CMYK transforms read an immutable copy of the table
// and grid offsets taken right after the call loaded them, so a load made by
// an overlapping call on another thread cannot change colours half-way
// through a picture.  Without one, transforms read the process-wide arrays.
struct ColourSnapshot;
class ColourCallScope {
public:
    // Looks for otd.cvt as LoadColourTable does (same places, same
    // messages) and takes the snapshot.
    explicit ColourCallScope(const char* hostDir);
    ~ColourCallScope();
    ColourCallScope(const ColourCallScope&) = delete;
    ColourCallScope& operator=(const ColourCallScope&) = delete;

private:
    std::shared_ptr<const ColourSnapshot> m_snapshot;
    const ColourSnapshot* m_previous;
};
