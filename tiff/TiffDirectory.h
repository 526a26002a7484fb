// Directory entries of a TIFF file and where their values lie: in the entry's
// 4-byte value field when they fit there, at the offset it holds otherwise.
// Shared by every reader of TIFF-shaped directories (the TIFF reader, the
// colour-table loader).
#pragma once

#include "Afx.h"
#include "TiffTags.h"

#include <cstdint>
#include <vector>

// One 12-byte directory entry, tag, type and count in host order; the value
// field kept as the four bytes stored.
struct TiffEntry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    unsigned char field[4] = {0, 0, 0, 0};
    bool present = false;
};

// Parses the 12 bytes at `raw` in the file's byte order.
TiffEntry ParseTiffEntry(const unsigned char* raw, bool intel);

// Bytes of one value of `type`; 0 for types whose values are not numbers
// the readers take (and unknown types).
uint32_t TiffTypeSize(uint16_t type);

// Whether the entry's values lie in its value field (count x type size <= 4).
bool TiffValuesInEntry(const TiffEntry& entry);

// The first `count` values of `entry` (count <= entry.count), widened to 32
// bits, in the file's byte order: from the value field when the entry's
// values fit there, else read at the offset it holds (the file position is
// kept).  A RATIONAL value gives two numbers, numerator then denominator.
// False when the type holds no numbers or the file does not hold the values.
// Raises what CFile raises.
bool ReadTiffValues(CFile& file, const TiffEntry& entry, bool intel, uint32_t count,
                    std::vector<uint32_t>* values);
