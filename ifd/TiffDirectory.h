// Directory entries of a TIFF file and where their values lie: in the entry's
// 4-byte value field when they fit there, at the offset it holds otherwise.
// Shared by every reader of TIFF-shaped directories (the TIFF reader, the
// AWD reader, the colour-table loader); below interface/ and colour/.
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

// The first value as the 4-byte value field stores it: a BYTE its first
// byte, a SHORT its first 16 bits, any other type the whole field.
uint32_t TiffFieldValue(const TiffEntry& entry, bool intel);

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

// `count` values of `type` stored at `offset`, read as ReadTiffValues reads
// them from the file (the file position is kept).  False when the type holds
// no numbers or the file does not hold the values.  Raises what CFile raises.
bool ReadTiffArray(CFile& file, uint64_t offset, uint16_t type, uint32_t count, bool intel,
                   std::vector<uint32_t>* values);
