// LZW decoding of GIF image data: codes of 3 to 12 bits, least significant
// bit first, read from a source that hands over the data bytes with the
// sub-block framing already removed.  All state is in the decoder object;
// nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

class GifByteSource {
public:
    virtual ~GifByteSource() = default;
    // The next data byte; false when the data has ended.
    virtual bool Next(uint8_t* byte) = 0;
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
    // than `count` only once the status is no longer Running.
    size_t Read(GifByteSource* source, uint8_t* out, size_t count);

    Status status() const { return m_status; }

private:
    // The table as after a clear code: only the roots.
    void Reset();
    // The next code from the source; false when the data ends first.
    bool TakeCode(GifByteSource* source, unsigned* code);
    // Pushes the string of `code` (its last character first) and returns its
    // first character; false if the string would overflow the stack.
    bool PushString(unsigned code, uint8_t* first);

    uint16_t m_prefix[kTableSize] = {};
    uint8_t m_suffix[kTableSize] = {};
    uint8_t m_stack[kTableSize + 1] = {};
    unsigned m_stackTop = 0;  // characters waiting on the stack

    unsigned m_minimum = 0;
    unsigned m_codeSize = 0;
    unsigned m_clear = 0;
    unsigned m_end = 0;
    unsigned m_next = 0;   // next free table entry
    unsigned m_limit = 0;  // 1 << m_codeSize
    bool m_hasPrevious = false;
    unsigned m_previous = 0;
    uint8_t m_first = 0;   // first character of the previous string

    uint32_t m_bits = 0;   // bits not yet taken, lowest first
    unsigned m_bitCount = 0;
    Status m_status = Status::EndOfData;
};
