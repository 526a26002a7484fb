// Strip encoders of the TIFF writer: PackBits rows, 1-bit packing of bilevel
// rows, and LZW with horizontal differencing.  They work on caller-supplied
// buffers and keep no state of their own beyond the LZW code packer.
#pragma once

#include <cstdint>

// Splits a row into runs of equal bytes, each 1 to 128 long, storing one
// length byte per run in `runs` (at least `length` bytes).  Returns the number
// of runs.
uint32_t ScanRuns(const unsigned char* row, unsigned char* runs, uint32_t length);

// Most bytes EncodePackBitsRow writes for a row of `runCount` runs.
constexpr uint64_t PackBitsBound(uint32_t runCount) { return 3ull * runCount; }

// PackBits-encodes a row whose runs ScanRuns found into `out` (at least
// PackBitsBound(runCount) bytes).  Runs of three or more equal bytes become
// replicate packets; shorter runs gather into literal packets of up to 128
// bytes.  Returns the number of bytes written.
uint32_t EncodePackBitsRow(const unsigned char* row, const unsigned char* runs,
                           uint32_t runCount, unsigned char* out);

// Packs `count` one-byte samples into bits, most significant bit first: any
// nonzero sample becomes a 1 bit.  Clears (count + 7) / 8 bytes of `packed`.
int PackBilevelRow(const unsigned char* samples, uint32_t count, unsigned char* packed);

// Packs variable-width codes most significant bit first into a fixed buffer.
// Codes that would not fit are dropped and the overflow flag is raised, so the
// buffer is never overrun; callers size the buffer with LzwStripBound.
struct LzwBitWriter {
    unsigned char* pStart = nullptr;  // output buffer
    unsigned char* pNext = nullptr;   // next byte to write
    uint32_t nAccum = 0;              // bits not yet written, at the bottom
    uint32_t nCount = 0;              // bytes written since the last reset
    uint8_t nPending = 0;             // number of bits held in nAccum
    uint32_t nCapacity = 0;           // size of the buffer
    bool bOverflow = false;

    LzwBitWriter(unsigned char* buffer, uint32_t capacity)
        : pStart(buffer), pNext(buffer), nCapacity(capacity) {}
    // Starts a new strip at the beginning of the buffer.
    void Reset();
    int PutCode(uint32_t code, uint32_t width);
    // Writes the pending bits, if any, at the top of one last byte.
    void Flush();
};

// Most bytes the LZW code stream of `bytes` input bytes can take.
uint64_t LzwStripBound(uint64_t bytes);

// Encodes `rowCount` consecutive rows of `rowBytes` bytes as one TIFF LZW
// code stream with horizontal differencing over `samplesPerPixel` samples,
// appending it to `out`.  Returns 1, or 0 when scratch memory is missing or
// the stream did not fit the writer's buffer.
int EncodeLzwStrip(LzwBitWriter& out, const unsigned char* rows, uint32_t rowBytes,
                   uint32_t rowCount, uint32_t samplesPerPixel);
