// LZW decoding of GIF image data: codes of 2 to 12 bits, least significant
// bit first, read from a source that hands over the data bytes with the
// sub-block framing already removed.  All state is in the decoder object;
// nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

class GifByteSource {
public:
    virtual ~GifByteSource() = default;
    // Up to `count` next data bytes into `out`; how many, 0 once the data
    // has ended.
    virtual size_t Read(uint8_t* out, size_t count) = 0;
};

class GifLzwDecoder {
public:
    enum class Status : uint8_t {
        Running,
        EndCode,       // the stream's end code
        EndOfData,     // the data ran out before the end code
        CodePastTable  // a code above the next free code, or a root past 255:
                       // the stream is broken
    };

    static constexpr unsigned kTableSize = 4096;
    static constexpr unsigned kMaxCodeBits = 12;
    // Pixel values are bytes: only roots below this can be decoded.
    static constexpr unsigned kRoots = 256;

    // False for a minimum code size outside 1 .. 11.
    bool Start(unsigned minimumCodeSize);

    // Writes up to `count` pixel values to `out` and returns how many.  Fewer
    // than `count` only once the status is no longer Running; then the (up
    // to 8) bytes just past the count are 0.
    size_t Read(GifByteSource* source, uint8_t* out, size_t count);

    Status status() const { return m_status; }

private:
    // The table as after a clear code: only the roots.
    void Reset();
    // Fills the bit window to at least `m_codeSize` bits; false when the data
    // ends first.
    bool Refill(GifByteSource* source);
    // Writes the string of `code` (`total` bytes, the last `extra` of them
    // the byte `first`) to `out`; `room` bytes from `out` may be written.
    void PutString(unsigned code, size_t total, unsigned extra, uint8_t first, uint8_t* out, size_t room) const;

    // Table entries.  A string is kept as its last 1 to 8 bytes (`m_tail`,
    // (length - 1) % 8 + 1 of them) after the string of `m_prefix`, whose
    // length is a multiple of 8: it is written eight bytes a step.
    uint16_t m_prefix[kTableSize] = {};
    uint16_t m_lengthLess1[kTableSize] = {};
    uint8_t m_firstByte[kTableSize] = {};
    uint8_t m_tail[kTableSize][8] = {};
    // A string that crossed a call's end, and how much of it is handed out.
    uint8_t m_pending[kTableSize + 8] = {};
    size_t m_pendingPos = 0;
    size_t m_pendingEnd = 0;

    unsigned m_minimum = 0;
    unsigned m_codeSize = 0;
    unsigned m_clear = 0;
    unsigned m_end = 0;
    unsigned m_next = 0;   // next free table entry
    unsigned m_limit = 0;  // 1 << m_codeSize
    bool m_hasPrevious = false;
    unsigned m_previous = 0;

    // Data bytes taken from the source and not yet in the window.
    uint8_t m_input[4096] = {};
    size_t m_inputPos = 0;
    size_t m_inputEnd = 0;
    uint64_t m_bits = 0;   // bits not yet taken, lowest first
    unsigned m_bitCount = 0;
    Status m_status = Status::EndOfData;
};
