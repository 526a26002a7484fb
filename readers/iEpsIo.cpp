#include "iEpsIo.h"

#include "ByteOrder.h"
#include "ITiffIO.h"
#include "TempFile.h"
#include "iJpegIo.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const unsigned char kDosMagic[4] = {0xC5, 0xD0, 0xD3, 0xC6};
constexpr uint32_t kDosHeaderBytes = 30;
// Bytes looked at past "BoundingBox:" for a high-resolution box, and for
// the four values.
constexpr uint32_t kHiResWindow = 128;
constexpr uint32_t kValueWindow = 255;
constexpr uint32_t kTokenLimit = 31;
// Keyword searches read the file in blocks of this size.
constexpr uint32_t kSearchBlock = 64 * 1024;
// Largest copy block for the TIFF section.
constexpr uint32_t kCopyBlock = 1024 * 1024;
constexpr uint32_t kCopyUnit = 2000;
// Box comments looked at before giving up on one that keeps deferring.
constexpr int kBoxAttempts = 8;

CEpsIo::TempFileHook g_tempFileHook = nullptr;

// A temporary file in the system's temporary directory, removed when the
// owner goes out of scope on every path, exceptions included.
class ScopedTempFile {
public:
    ScopedTempFile() : m_path(CreateTempFile(GetTempDirectory(), "tmp")) {}
    ~ScopedTempFile()
    {
        if (!m_path.empty())
            DeleteFile(m_path);
    }
    ScopedTempFile(const ScopedTempFile&) = delete;
    ScopedTempFile& operator=(const ScopedTempFile&) = delete;
    bool Created() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

const unsigned char* FindBytes(const unsigned char* data, size_t size, const char* keyword)
{
    const size_t k = std::strlen(keyword);
    const unsigned char* end = data + size;
    const unsigned char* hit = std::search(data, end, keyword, keyword + k);
    return hit == end ? nullptr : hit;
}

int HexNibble(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

CEpsIo::CEpsIo(const char* path) { m_pszPath = path; }

void CEpsIo::SetTempFileHookForTesting(TempFileHook hook) { g_tempFileHook = hook; }

size_t CEpsIo::DecodeHex(const unsigned char* text, size_t length, unsigned char* out, size_t capacity)
{
    size_t written = 0;
    int high = -1;
    for (size_t i = 0; i < length && written < capacity; ++i) {
        const int nibble = HexNibble(text[i]);
        if (nibble < 0)
            continue;
        if (high < 0) {
            high = nibble;
        } else {
            out[written++] = static_cast<unsigned char>(high * 16 + nibble);
            high = -1;
        }
    }
    return written;
}

bool CEpsIo::ReadDosHeader(unsigned char* header)
{
    m_file.SeekToBegin();
    return m_file.Read(header, kDosHeaderBytes) == kDosHeaderBytes && std::memcmp(header, kDosMagic, 4) == 0;
}

bool CEpsIo::FindKeyword(const char* keyword, uint64_t start, uint64_t* found)
{
    const uint32_t k = static_cast<uint32_t>(std::strlen(keyword));
    const uint64_t length = m_file.GetLength();
    if (start >= length)
        return false;
    // A block no larger than what is left, so short files cost little.
    const uint32_t blockBytes = static_cast<uint32_t>(std::min<uint64_t>(kSearchBlock, length - start));
    std::vector<unsigned char> block(blockBytes);
    // Blocks overlap by the keyword's length less one, so a keyword that
    // straddles two blocks is still seen; the walk ends with the file.
    for (uint64_t at = start; at < length;) {
        m_file.Seek(static_cast<int64_t>(at), CFile::begin);
        const uint32_t n = m_file.Read(block.data(), blockBytes);
        if (const unsigned char* hit = FindBytes(block.data(), n, keyword)) {
            *found = at + static_cast<uint64_t>(hit - block.data());
            return true;
        }
        if (n < kSearchBlock)
            return false;
        at += n - (k - 1);
    }
    return false;
}

bool CEpsIo::IsPhotoshopEps()
{
    uint64_t creator = 0;
    if (!FindKeyword("%%Creator:", m_nPsOffset, &creator))
        return false;
    unsigned char line[128];
    m_file.Seek(static_cast<int64_t>(creator), CFile::begin);
    const uint32_t n = m_file.Read(line, sizeof line);
    return FindBytes(line, n, "Adobe Photoshop") != nullptr;
}

bool CEpsIo::ReadBoxValues(uint64_t at, float values[4])
{
    unsigned char text[kValueWindow];
    m_file.Seek(static_cast<int64_t>(at), CFile::begin);
    const uint32_t n = m_file.Read(text, sizeof text);
    uint32_t pos = 0;
    for (int t = 0; t < 4; ++t) {
        // Blanks are spaces only; a token ends at a space or a carriage
        // return (a line feed does not end it, but stops its number).
        while (pos < n && text[pos] == ' ')
            ++pos;
        const uint32_t begin = pos;
        while (pos < n && text[pos] != ' ' && text[pos] != '\r')
            ++pos;
        char token[kTokenLimit + 1] = {};
        const uint32_t size = std::min(pos - begin, kTokenLimit);
        std::memcpy(token, text + begin, size);
        if (pos < n)
            ++pos;  // past the space or carriage return that ended the token
        // "(atend)" defers the box to the trailer.
        if (t == 0 && token[0] == '(')
            return false;
        values[t] = static_cast<float>(std::atof(token));
    }
    return true;
}

int CEpsIo::ReadHeader()
{
    unsigned char header[kDosHeaderBytes];
    m_nPsOffset = ReadDosHeader(header) ? LoadLE32(header + 4) : 0;

    float values[4] = {};
    uint64_t from = m_nPsOffset;
    bool have = false;
    // The first box in the file counts; one deferred to the trailer is
    // taken from the next box comment after it.
    for (int attempt = 0; !have; ++attempt) {
        uint64_t found = 0;
        if (attempt == kBoxAttempts)
            return Refuse(Refusal::EpsNoBoundingBox);
        if (!FindKeyword("BoundingBox:", from, &found))
            return Refuse(Refusal::EpsNoBoundingBox);
        uint64_t at = found + std::strlen("BoundingBox:");
        unsigned char next[kHiResWindow];
        m_file.Seek(static_cast<int64_t>(at), CFile::begin);
        const uint32_t n = m_file.Read(next, sizeof next);
        if (const unsigned char* hit = FindBytes(next, n, "HiResBoundingBox:"))
            at += static_cast<uint64_t>(hit - next) + std::strlen("HiResBoundingBox:");
        have = ReadBoxValues(at, values);
        from = at;
    }

    float inches[4];
    for (int t = 0; t < 4; ++t) {
        if (!std::isfinite(values[t]))
            return Refuse(Refusal::EpsBoundingBoxRange);
        inches[t] = values[t] / 72.0f;
    }
    const double width = std::fabs(static_cast<double>(inches[2]) - static_cast<double>(inches[0])) * 1000.0;
    const double height = std::fabs(static_cast<double>(inches[3]) - static_cast<double>(inches[1])) * 1000.0;
    if (!(width < 4294967296.0) || !(height < 4294967296.0))
        return Refuse(Refusal::EpsBoundingBoxRange);
    m_nWidth = static_cast<uint32_t>(width);
    m_nHeight = static_cast<uint32_t>(height);
    m_fXRes = m_fYRes = 1000.0f;
    return 1;
}

int CEpsIo::MakeDib(int32_t* width, int32_t* height, unsigned char** bits)
{
    *bits = nullptr;
    unsigned char header[kDosHeaderBytes];
    const bool dos = ReadDosHeader(header);
    m_nPsOffset = dos ? LoadLE32(header + 4) : 0;
    // A DOS EPS file previews from its TIFF section or not at all.
    if (dos)
        return PreviewFromTiff(header, width, height, bits);
    if (IsPhotoshopEps())
        return PreviewFromPhotoshop(width, height, bits);
    return Refuse(Refusal::EpsNoPreview);
}

template <class R>
int CEpsIo::RunDelegate(const std::string& path, int32_t fullSize, int32_t* width, int32_t* height,
                        unsigned char** bits)
{
    if (g_tempFileHook != nullptr)
        g_tempFileHook(path);
    R reader(path.c_str());
    reader.m_bFullSize = fullSize;
    if (!reader.m_file.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive))
        return Refuse(Refusal::EpsTempFile);
    unsigned char* block = nullptr;
    if (!reader.ReadHeader() || !reader.MakeDib(width, height, &block))
        return Refuse(reader.m_nRefusal != Refusal::None ? reader.m_nRefusal : Refusal::PreviewFailed);
    m_nDibWidth = static_cast<uint32_t>(*width);
    m_nDibHeight = static_cast<uint32_t>(*height);
    *bits = block;
    return 1;
}

int CEpsIo::PreviewFromTiff(const unsigned char* header, int32_t* width, int32_t* height, unsigned char** bits)
{
    const uint64_t psOffset = LoadLE32(header + 4);
    const uint64_t psLength = LoadLE32(header + 8);
    const uint64_t tiffOffset = LoadLE32(header + 20);
    const uint64_t length = m_file.GetLength();
    if (tiffOffset >= length)
        return Refuse(Refusal::EpsPreviewOutside);
    // A section before the end of the PostScript has its length from the
    // header; one after it runs to the end of the file.
    uint64_t count = tiffOffset < psOffset + psLength ? LoadLE32(header + 24) : length - tiffOffset;
    if (count == 0)
        return Refuse(Refusal::EpsNoPreview);
    if (count > length - tiffOffset)
        return Refuse(Refusal::EpsPreviewOutside);

    ScopedTempFile temp;
    if (!temp.Created())
        return Refuse(Refusal::EpsTempFile);
    {
        uint32_t granted = 0;
        ImageBlock<> copy;
        if (!copy.AllocBlock(static_cast<uint32_t>(std::min<uint64_t>(count, kCopyBlock)), kCopyUnit, &granted))
            return Refuse(Refusal::OutOfMemory);
        CFile out;
        if (!out.Open(temp.Path().c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive))
            return Refuse(Refusal::EpsTempFile);
        m_file.Seek(static_cast<int64_t>(tiffOffset), CFile::begin);
        for (uint64_t left = count; left != 0;) {
            const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(left, granted));
            const uint32_t got = m_file.Read(copy.get(), want);
            if (got == 0)
                return Refuse(Refusal::Truncated);
            try {
                out.Write(copy.get(), got);
            } catch (const CFileException&) {
                return Refuse(Refusal::EpsTempFile);
            }
            left -= got;
        }
        out.Close();
    }
    return RunDelegate<CTiffIo>(temp.Path(), m_bFullSize, width, height, bits);
}

int CEpsIo::PreviewFromPhotoshop(int32_t* width, int32_t* height, unsigned char** bits)
{
    uint64_t begin = 0;
    uint64_t first = 0;
    uint64_t end = 0;
    // The hexadecimal lines run from the first "%" after the block's opening
    // comment to its closing one.
    if (!FindKeyword("%BeginPhotoshop:", m_nPsOffset, &begin) ||
        !FindKeyword("%", begin + std::strlen("%BeginPhotoshop:"), &first) ||
        !FindKeyword("%EndPhotoshop", first + 1, &end))
        return Refuse(Refusal::EpsNoThumbnail);
    const uint64_t textBytes = end - first + 1;
    if (textBytes > UINT32_MAX)
        return Refuse(Refusal::PictureTooLarge);
    ImageBlock<> text;
    ImageBlock<> data;
    const uint32_t dataCapacity = static_cast<uint32_t>(textBytes / 2 + 10);
    if (!text.Alloc(static_cast<uint32_t>(textBytes), 0) || !data.Alloc(dataCapacity, 0))
        return Refuse(Refusal::OutOfMemory);
    m_file.Seek(static_cast<int64_t>(first), CFile::begin);
    const uint32_t read = m_file.Read(text.get(), static_cast<uint32_t>(textBytes));
    const size_t size = DecodeHex(text.get(), read, data.get(), dataCapacity);

    // The decoded bytes are image resource blocks; the thumbnail (1036, or
    // 1033 from older writers) carries a JPEG stream after a 28-byte header.
    ByteView view{data.get(), size, true};
    size_t at = 0;
    const unsigned char* jpeg = nullptr;
    uint32_t jpegBytes = 0;
    while (view.Has(at, 4 + 2 + 1) && std::memcmp(data.get() + at, "8BIM", 4) == 0) {
        const uint16_t id = view.U16(at + 4);
        const size_t nameLength = view.U8(at + 6);
        const size_t sizeAt = at + 6 + ((1 + nameLength + 1) & ~static_cast<size_t>(1));
        if (!view.Has(sizeAt, 4))
            break;
        const uint32_t blockBytes = view.U32(sizeAt);
        const size_t body = sizeAt + 4;
        if (id == 1036 || id == 1033) {
            if (!view.Has(body, 28))
                break;
            const uint32_t s = view.U32(body + 20);
            if (s == 0 || !view.Has(body + 28, s))
                break;
            jpeg = data.get() + body + 28;
            jpegBytes = s;
            break;
        }
        const uint64_t next = static_cast<uint64_t>(body) + blockBytes + (blockBytes & 1);
        if (next > size)
            break;
        at = static_cast<size_t>(next);
    }
    if (jpeg == nullptr)
        return Refuse(Refusal::EpsNoThumbnail);

    ScopedTempFile temp;
    if (!temp.Created())
        return Refuse(Refusal::EpsTempFile);
    {
        CFile out;
        if (!out.Open(temp.Path().c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive))
            return Refuse(Refusal::EpsTempFile);
        try {
            out.Write(jpeg, jpegBytes);
        } catch (const CFileException&) {
            return Refuse(Refusal::EpsTempFile);
        }
        out.Close();
    }
    text.reset();
    data.reset();
    // The thumbnail is small; it is shown as it is, not at any other size.
    return RunDelegate<CJpegIo>(temp.Path(), 0, width, height, bits);
}
