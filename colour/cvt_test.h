// Colour tables and the CMYK-to-RGB colour transform.
#pragma once

#include <cstdint>

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

// Loads (modes 0, 1) or applies (2 interleaved, 3 planar) the colour table;
// a negative mode reverses the interleaved output order.  Returns 1, or 0
// when a file exception escaped from a load.
int ColourTransform(int16_t mode, TransformArgs* args, int16_t* status);

// Loads otd.cvt from hostDir/color, else hostDir/../color.  Returns 1.
int LoadColourTable(const char* hostDir);
