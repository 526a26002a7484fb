// Strip decoders of the TIFF reader: PackBits, CCITT modified Huffman and
// LZW, each over a byte range with its state in the open, plus the sample
// helpers (predictor, unpacking).  They know nothing of files or readers; the
// encoders of the writer are their counterparts (TiffEncoders.h).
#pragma once

#include <cstdint>
#include <cstring>

// A strip's stored bytes and how far decoding has got in them.
struct ByteCursor {
    const unsigned char* data = nullptr;
    uint32_t size = 0;
    uint32_t pos = 0;

    ByteCursor() = default;
    ByteCursor(const unsigned char* bytes, uint32_t count) : data(bytes), size(count) {}
    bool AtEnd() const { return pos >= size; }
};

// How a row decoder left its row.
enum class RowEnd {
    Whole,        // every byte of the row was decoded
    DataEnded,    // the strip's bytes ended first; the rest of the row is 0
    InvalidCode,  // a code no valid stream holds ended the row; the rest is 0
};

// ---- PackBits -----------------------------------------------------------------

// Most decoded bytes one stored PackBits byte can become: a two-byte repeat
// gives at most 128 bytes, a literal fewer bytes than it stores.  Every
// PackBits reader (TIFF, PSD) gives it to the plausibility check as the
// expansion of the bytes the file holds.
constexpr uint64_t PACKBITS_MOST_EXPANSION = 64;

// The one PackBits row decoder, over any source whose Next() gives the next
// stored byte or -1 at its end, and whose Take(out, n) copies up to n next
// bytes and says how many (fewer only at its end).  Decodes one row of `count` bytes: a repeat
// that would pass the row is cut at its end and loses its rest; the unread
// bytes of a cut literal begin the next row.  Returns the bytes written:
// fewer than `count` when the source ends first (the rest is untouched).
template <class Source>
uint32_t UnpackPackBitsRow(Source& src, unsigned char* out, uint32_t count)
{
    uint32_t done = 0;
    while (done < count) {
        const int header = src.Next();
        if (header < 0)
            return done;
        if (header < 128) {
            uint32_t n = static_cast<uint32_t>(header) + 1;
            if (n > count - done)
                n = count - done;
            const uint32_t got = static_cast<uint32_t>(src.Take(out + done, n));
            done += got;
            if (got < n)
                return done;
        } else if (header > 128) {
            uint32_t n = 257 - static_cast<uint32_t>(header);
            const int v = src.Next();
            if (v < 0)
                return done;
            if (n > count - done)
                n = count - done;
            std::memset(out + done, v, n);
            done += n;
        }
    }
    return done;
}

// Decodes one row of `rowLength` bytes.  A repeat that runs past the row end
// loses its rest; literal bytes past the row end stay in the strip as the
// next row's control bytes.  Never reads past the cursor's range.
RowEnd DecodePackBitsRow(ByteCursor& in, unsigned char* row, uint32_t rowLength);

// ---- CCITT modified Huffman (compression 2) ------------------------------------------

// Decodes one row of `width` pixels, one bit each, most significant bit
// first, into `row` (at most `rowLength` bytes are written; pixels beyond
// them are decoded and dropped).  White runs give 0 bits and black runs 1
// bits: the photometric interpretation gives the bits their meaning later.
// Every row starts on a byte: the rest of a partly used byte is skipped.
// An end-of-line or invalid code ends the row (InvalidCode).
RowEnd DecodeCcittRow(ByteCursor& in, uint32_t width, unsigned char* row, uint32_t rowLength);

// Whether the white and black code tables are prefix-free (a self-check).
bool CcittTablesConsistent();

// ---- LZW ----------------------------------------------------------------------------

// Codes of a TIFF LZW strip: most significant bit first, 9 to 12 bits wide,
// read through a 64-bit window; a code cut off by the end of the bytes is
// not read.  (GIF packs its codes least significant bit first: a variant
// needs its own reader of this shape.)
class LzwMsbCodeReader {
public:
    LzwMsbCodeReader(const unsigned char* data, uint32_t size) : m_next(data), m_end(data + size) {}
    // The next code of `width` bits; false when the bytes end first.
    bool Read(int width, uint32_t* code)
    {
        if (m_bits < width) {
            if (m_end - m_next >= 8) {
                // Eight bytes at once; the bits below the whole bytes taken
                // are those the next load puts there again.
                m_window |= LoadBE64(m_next) >> m_bits;
                m_next += (63 - m_bits) >> 3;
                m_bits |= 56;
            } else {
                while (m_bits <= 56 && m_next != m_end) {
                    m_window |= static_cast<uint64_t>(*m_next++) << (56 - m_bits);
                    m_bits += 8;
                }
                if (m_bits < width)
                    return false;
            }
        }
        *code = static_cast<uint32_t>(m_window >> (64 - width));
        m_window <<= width;
        m_bits -= width;
        return true;
    }

private:
    static uint64_t LoadBE64(const unsigned char* p)
    {
        uint64_t word = 0;
#if defined(__BYTE_ORDER__) && defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        std::memcpy(&word, p, 8);
        word = __builtin_bswap64(word);
#else
        for (int i = 0; i < 8; ++i)
            word = (word << 8) | p[i];
#endif
        return word;
    }

    const unsigned char* m_next;
    const unsigned char* m_end;
    uint64_t m_window = 0;
    int m_bits = 0;
};

// A TIFF LZW strip decoded as a stream of bytes.  The string table holds
// 4096 entries: 0-255 the single bytes, 256 the clear code, 257 the end code,
// then the strings added one per code.  The code width grows one code early
// (after entries 510, 1022 and 2046: TIFF's "early change") and stays at 12
// bits; a stream that fills the table without a clear code keeps decoding
// without adding entries.  A GIF variant differs in the code reader (least
// significant bit first), the first code width (its minimum code size + 1)
// and the width change (one code later); the table and the string output
// are the same.
class TiffLzwDecoder {
public:
    enum class Status {
        Going,          // more bytes may follow
        Ended,          // the end code, or the bytes ended
        NoClearCode,    // the strip does not start with the clear code
        CodePastTable,  // a code beyond the next free entry
    };

    TiffLzwDecoder(const unsigned char* data, uint32_t size);

    // Writes up to `length` decoded bytes to `out`; returns how many were
    // written (fewer only when the stream stopped: see status()).  After a
    // short count the (up to 8) bytes just past it are 0; the rest of `out`
    // is as it was.
    uint32_t Read(unsigned char* out, uint32_t length);
    Status status() const { return m_status; }
    // Whether the strip held no code at all (an empty strip holds no rows).
    bool Empty() const { return m_empty; }

    static constexpr uint32_t kClear = 256;
    static constexpr uint32_t kEnd = 257;
    static constexpr uint32_t kTableSize = 4096;

private:
    // Writes the string of `code` (`total` bytes, `extra` of them the KwKwK
    // byte `first`) to `out`; `room` bytes from `out` may be written.
    void PutString(uint32_t code, uint32_t total, uint32_t extra, unsigned char first, unsigned char* out,
                   uint32_t room) const;

    LzwMsbCodeReader m_codes;
    Status m_status = Status::Going;
    bool m_empty = false;
    int m_width = 9;
    uint32_t m_nextFree = 257;
    int32_t m_previous = -1;
    // Table entries.  A string is kept as its last 1 to 8 bytes (`m_tail`,
    // (length - 1) % 8 + 1 of them) after the string of `m_prefix`, whose
    // length is a multiple of 8: it is written eight bytes a step.
    uint16_t m_prefix[kTableSize];
    uint16_t m_lengthLess1[kTableSize];
    unsigned char m_first[kTableSize];
    unsigned char m_tail[kTableSize][8];
    // A string that crossed a call's end, and how much of it is handed out.
    unsigned char m_pending[kTableSize + 8];
    uint32_t m_pendingPos = 0;
    uint32_t m_pendingEnd = 0;
};

// ---- samples -------------------------------------------------------------------------

// Undoes horizontal differencing (Predictor 2) on one row of `rowLength`
// bytes: 8-bit samples, or 16-bit samples in the file's byte order.
void UndoHorizontalPredictor(unsigned char* row, uint32_t rowLength, uint32_t samplesPerPixel,
                             int32_t bitsPerSample, bool bigEndian);

// Expands `count` samples of 1, 4 or 16 bits to one byte each (1-bit: 0 or
// 1; 4-bit: 0-15; 16-bit: the more significant byte).  Source and
// destination may be the same buffer for 16-bit samples.
void UnpackSamples(const unsigned char* source, unsigned char* destination, uint64_t count,
                   int32_t bitsPerSample, bool bigEndian);
