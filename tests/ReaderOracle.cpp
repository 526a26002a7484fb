#include "ReaderOracle.h"

#include "ImageIo.h"
#include "Quorvel.h"
#include "TestSupport.h"
#include "cvt_test.h"
#include "quorvel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

// Skips blanks and comments, then reads an unsigned number.
bool PnmNumber(const std::vector<uint8_t>& b, size_t* at, uint32_t* value)
{
    while (*at < b.size()) {
        if (b[*at] == '#') {
            while (*at < b.size() && b[*at] != '\n')
                ++*at;
        } else if (b[*at] == ' ' || b[*at] == '\t' || b[*at] == '\n' || b[*at] == '\r') {
            ++*at;
        } else {
            break;
        }
    }
    uint64_t v = 0;
    size_t digits = 0;
    while (*at < b.size() && b[*at] >= '0' && b[*at] <= '9' && v < UINT32_MAX) {
        v = v * 10 + (b[*at] - '0');
        ++*at;
        ++digits;
    }
    *value = static_cast<uint32_t>(v);
    return digits != 0 && v <= UINT32_MAX;
}

}  // namespace

bool ParsePnm(const std::vector<uint8_t>& b, RgbImage* out)
{
    if (b.size() < 3 || b[0] != 'P' || b[1] < '1' || b[1] > '6')
        return false;
    const int kind = b[1] - '0';
    size_t at = 2;
    uint32_t w = 0, h = 0, maxval = 1;
    if (!PnmNumber(b, &at, &w) || !PnmNumber(b, &at, &h) || w == 0 || h == 0)
        return false;
    if (kind != 1 && kind != 4 && (!PnmNumber(b, &at, &maxval) || maxval == 0 || maxval > 65535))
        return false;
    const uint64_t pixels = static_cast<uint64_t>(w) * h;
    if (pixels > (1u << 28))
        return false;
    out->width = w;
    out->height = h;
    out->rgb.assign(pixels * 3, 0);
    const int channels = (kind == 3 || kind == 6) ? 3 : 1;
    const auto scale = [maxval](uint32_t v) -> uint8_t {
        if (maxval == 65535)
            return static_cast<uint8_t>(v >> 8);
        if (maxval == 255)
            return static_cast<uint8_t>(v);
        return static_cast<uint8_t>((v * 255 + maxval / 2) / maxval);
    };
    if (kind >= 4) {
        ++at;  // the single blank after the header
        if (kind == 4) {
            const size_t stride = (w + 7) / 8;
            if (b.size() < at + stride * h)
                return false;
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) {
                    const bool black = (b[at + y * stride + x / 8] >> (7 - x % 8)) & 1;
                    uint8_t* px = &out->rgb[(static_cast<size_t>(y) * w + x) * 3];
                    px[0] = px[1] = px[2] = black ? 0 : 255;
                }
            return true;
        }
        const size_t bytesPerSample = maxval > 255 ? 2 : 1;
        if (b.size() < at + pixels * channels * bytesPerSample)
            return false;
        for (uint64_t i = 0; i < pixels; ++i)
            for (int c = 0; c < 3; ++c) {
                const size_t s = at + (i * channels + (channels == 3 ? c : 0)) * bytesPerSample;
                const uint32_t v = bytesPerSample == 2 ? (b[s] << 8 | b[s + 1]) : b[s];
                out->rgb[i * 3 + c] = scale(v);
            }
        return true;
    }
    for (uint64_t i = 0; i < pixels; ++i) {
        uint32_t v[3] = {};
        for (int c = 0; c < channels; ++c) {
            if (kind == 1) {
                while (at < b.size() && (b[at] == ' ' || b[at] == '\n' || b[at] == '\r' || b[at] == '\t'))
                    ++at;
                if (at >= b.size())
                    return false;
                v[c] = b[at++] == '1' ? 0 : 255;
            } else if (!PnmNumber(b, &at, &v[c])) {
                return false;
            }
        }
        for (int c = 0; c < 3; ++c)
            out->rgb[i * 3 + c] = kind == 1 ? static_cast<uint8_t>(v[0]) : scale(v[channels == 3 ? c : 0]);
    }
    return true;
}

std::vector<uint8_t> CommandOutput(const std::string& command, int* status)
{
    std::vector<uint8_t> bytes;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        if (status != nullptr)
            *status = -1;
        return bytes;
    }
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    const int done = pclose(pipe);
    if (status != nullptr)
        *status = done;
    return bytes;
}

bool DecodeWithCommand(const std::string& command, RgbImage* out)
{
    int status = 0;
    const std::vector<uint8_t> bytes = CommandOutput(command, &status);
    return status == 0 && ParsePnm(bytes, out);
}

bool DecodeCmykThroughTable(const std::string& source, uint32_t width, uint32_t height, RgbImage* out)
{
    int status = 0;
    const std::vector<uint8_t> cmyk =
        CommandOutput("convert " + ShellQuote(source + "[0]") + " -alpha off -depth 8 cmyk:-", &status);
    const size_t pixels = static_cast<size_t>(width) * height;
    if (status != 0 || cmyk.size() != pixels * 4)
        return false;
    LoadColourTable(QUORVEL_SAMPLES);
    out->width = width;
    out->height = height;
    out->rgb.assign(pixels * 3, 0);
    for (size_t p = 0; p < pixels; ++p)
        CmykPixelToRgb(&cmyk[4 * p], &out->rgb[3 * p]);
    return true;
}

bool DecodeWithImageMagick(const std::string& path, RgbImage* out, const std::string& options)
{
    return DecodeWithCommand("convert " + ShellQuote(path + "[0]") + " -alpha off " + options + " -depth 8 ppm:-", out);
}

bool DecodeWithPillow(const std::string& path, RgbImage* out)
{
    const std::string script =
        "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\nim = im.convert('RGB')\n"
        "sys.stdout.buffer.write(b'P6 %d %d 255\\n' % im.size + im.tobytes())\n";
    return DecodeWithCommand(std::string(kSystemPython) + " -c " + ShellQuote(script) + " " + ShellQuote(path), out);
}

bool DecodeWithVips(const std::string& path, RgbImage* out)
{
    return DecodeWithCommand("vips copy " + ShellQuote(path) + " .ppm", out);
}

PreviewSampling FirstMatchSampling(uint32_t width, uint32_t height, bool fullSize, bool storedBottomUp)
{
    CImageIo sizer;
    sizer.m_nWidth = width;
    sizer.m_nHeight = height;
    sizer.m_bFullSize = fullSize ? 1 : 0;
    sizer.ComputeDibSize();
    PreviewSampling s;
    s.columns = WalkFirstMatch(width, sizer.m_nDibWidth);
    const std::vector<uint32_t> stored = WalkFirstMatch(height, sizer.m_nDibHeight);
    const uint32_t dh = static_cast<uint32_t>(stored.size());
    s.rows.assign(dh, 0);
    for (uint32_t i = 0; i < dh; ++i) {
        if (storedBottomUp)
            s.rows[dh - 1 - i] = height - 1 - stored[i];
        else
            s.rows[i] = stored[i];
    }
    return s;
}

std::vector<uint8_t> ExpectedPreview(const RgbImage& reference, const PreviewSampling& s)
{
    const uint32_t dw = static_cast<uint32_t>(s.columns.size());
    const uint32_t dh = static_cast<uint32_t>(s.rows.size());
    const size_t stride = ((static_cast<size_t>(dw) * 24 + 31) / 32) * 4;
    std::vector<uint8_t> block(stride * dh, 0);
    for (uint32_t y = 0; y < dh; ++y) {
        uint8_t* out = block.data() + static_cast<size_t>(dh - 1 - y) * stride;
        for (uint32_t x = 0; x < dw; ++x) {
            if (s.rows[y] >= reference.height || s.columns[x] >= reference.width)
                continue;
            const uint8_t* px = reference.At(s.columns[x], s.rows[y]);
            out[3 * x] = px[2];
            out[3 * x + 1] = px[1];
            out[3 * x + 2] = px[0];
        }
    }
    return block;
}

::testing::AssertionResult PreviewMatches(const std::string& path, int mode, const RgbImage& reference,
                                          const PreviewSampling& s, int tolerance)
{
    ImageSummary summary;
    Refusal why = Refusal::None;
    const int ok = GetQuorvelWithReason(path.c_str(), &summary, mode, QUORVEL_SAMPLES, &why);
    struct Owner {
        unsigned char* bits;
        ~Owner() { QuorvelFreePreview(bits); }
    } owner{summary.pPreviewBits};
    if (ok != 1)
        return ::testing::AssertionFailure() << path << " mode " << mode << " refused: " << RefusalText(why);
    const uint32_t dw = static_cast<uint32_t>(s.columns.size());
    const uint32_t dh = static_cast<uint32_t>(s.rows.size());
    if (summary.nPreviewWidth != static_cast<int32_t>(dw) || summary.nPreviewHeight != static_cast<int32_t>(dh))
        return ::testing::AssertionFailure() << path << " mode " << mode << ": preview " << summary.nPreviewWidth
                                             << " x " << summary.nPreviewHeight << ", expected " << dw << " x "
                                             << dh;
    const std::vector<uint8_t> expected = ExpectedPreview(reference, s);
    const size_t stride = ((static_cast<size_t>(dw) * 24 + 31) / 32) * 4;
    size_t bad = 0;
    std::ostringstream first;
    for (size_t i = 0; i < expected.size(); ++i) {
        const int diff = static_cast<int>(summary.pPreviewBits[i]) - static_cast<int>(expected[i]);
        if (diff > tolerance || -diff > tolerance) {
            if (bad++ == 0) {
                const size_t row = i / stride;
                first << "first at preview x " << (i % stride) / 3 << ", y " << dh - 1 - row << " (from the top), byte "
                      << (i % stride) % 3 << " (0 blue): got " << int(summary.pPreviewBits[i]) << ", expected "
                      << int(expected[i]);
            }
        }
    }
    if (bad != 0)
        return ::testing::AssertionFailure() << path << " mode " << mode << ": " << bad << " bytes differ; "
                                             << first.str();
    return ::testing::AssertionSuccess();
}

std::vector<uint8_t> QuorvelRun::Pixel(int32_t x, int32_t y) const
{
    const uint8_t* p = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
    return {p[0], p[1], p[2]};
}

bool QuorvelRun::RowIsBlack(int32_t y) const
{
    const uint8_t* row = rgb.data() + static_cast<size_t>(y) * width * 3;
    for (size_t i = 0; i < static_cast<size_t>(width) * 3; ++i)
        if (row[i] != 0)
            return false;
    return true;
}

QuorvelRun RunQuorvel(const std::string& path, int mode)
{
    QuorvelRun r;
    MessageCapture quiet;
    ImageSummary summary{};
    r.ok = GetQuorvelWithReason(path.c_str(), &summary, mode, QUORVEL_SAMPLES, &r.why);
    r.widthInches = summary.fWidthInches;
    r.heightInches = summary.fHeightInches;
    if (summary.pPreviewBits == nullptr)
        return r;
    r.width = summary.nPreviewWidth;
    r.height = summary.nPreviewHeight;
    const size_t stride = ((static_cast<size_t>(r.width) * 24 + 31) / 32) * 4;
    r.block.assign(summary.pPreviewBits, summary.pPreviewBits + stride * r.height);
    QuorvelFreePreview(summary.pPreviewBits);
    for (int32_t y = 0; y < r.height; ++y)
        for (int32_t x = 0; x < r.width; ++x) {
            const uint8_t* px = r.block.data() + (r.height - 1 - y) * stride + 3 * x;
            r.rgb.insert(r.rgb.end(), {px[2], px[1], px[0]});
        }
    return r;
}

PreviewSampling EighthSampling(uint32_t width, uint32_t height)
{
    uint32_t d = 8;
    while (width > 200 * d)
        d += 8;
    PreviewSampling s;
    for (uint32_t x = 0; x < std::max<uint32_t>(width / d, 1); ++x)
        s.columns.push_back(x * d);
    for (uint32_t y = 0; y < std::max<uint32_t>(height / d, 1); ++y)
        s.rows.push_back(y * d);
    return s;
}
