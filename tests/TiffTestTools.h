// Helpers of the TIFF writer tests: running the libtiff and ImageMagick
// command-line tools, and a reference decoder for TIFF LZW code streams.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

// A decoded LZW stream: the bytes and every code with the width it was read at.
struct LzwDecoded {
    bool ok = false;
    std::vector<uint8_t> bytes;
    std::vector<std::pair<uint32_t, uint32_t>> codes;  // (code, width)
};

namespace tifftest_detail {
inline std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
}  // namespace tifftest_detail


// Runs a shell command, capturing its standard output and error.
inline CommandResult RunCommand(const std::string& command)
{
    TempDir dir;
    const std::string out = dir.File("out"), err = dir.File("err");
    const std::string full = "(" + command + ") >" + ShellQuote(out) + " 2>" + ShellQuote(err);
    CommandResult r;
    const int status = std::system(full.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = tifftest_detail::Slurp(out);
    r.err = tifftest_detail::Slurp(err);
    return r;
}

// Pixels of a picture as 8-bit RGB, decoded by ImageMagick; empty on failure.
inline std::vector<uint8_t> MagickRgb(const std::string& path)
{
    TempDir dir;
    const std::string raw = dir.File("pixels.rgb");
    const CommandResult r =
        RunCommand("convert " + ShellQuote(path) + " -depth 8 rgb:" + ShellQuote(raw));
    if (r.status != 0)
        return {};
    return ReadFileBytes(raw);
}

// Decodes a TIFF LZW stream (codes most significant bit first, the width
// growing one code early) up to its end code.
inline LzwDecoded DecodeLzwReference(const std::vector<uint8_t>& stream)
{
    LzwDecoded d;
    std::vector<std::vector<uint8_t>> table(4096);
    for (int i = 0; i < 256; ++i)
        table[i] = {static_cast<uint8_t>(i)};
    uint32_t width = 9, next = 258;
    size_t bit = 0;
    std::vector<uint8_t> prev;
    bool havePrev = false;
    for (;;) {
        if (bit + width > stream.size() * 8)
            return d;
        uint32_t code = 0;
        for (uint32_t k = 0; k < width; ++k, ++bit)
            code = (code << 1) | ((stream[bit / 8] >> (7 - bit % 8)) & 1u);
        d.codes.emplace_back(code, width);
        if (code == 256) {
            width = 9;
            next = 258;
            havePrev = false;
            continue;
        }
        if (code == 257) {
            d.ok = true;
            return d;
        }
        std::vector<uint8_t> str;
        if (!havePrev) {
            if (code > 255)
                return d;
            str = table[code];
        } else {
            if (code < next && code != 256 && code != 257)
                str = table[code];
            else if (code == next)
                str = prev, str.push_back(prev[0]);
            else
                return d;
            if (next < 4096) {
                table[next] = prev;
                table[next].push_back(str[0]);
                ++next;
            }
            if (next == (1u << width) - 1 && width < 12)
                ++width;
        }
        d.bytes.insert(d.bytes.end(), str.begin(), str.end());
        prev = std::move(str);
        havePrev = true;
    }
}

// Undoes horizontal differencing in place on rows of `rowBytes` bytes.
inline void UndoPredictor(std::vector<uint8_t>& data, uint32_t rowBytes, uint32_t spp)
{
    for (size_t start = 0; start + rowBytes <= data.size(); start += rowBytes)
        for (uint32_t j = spp; j < rowBytes; ++j)
            data[start + j] = static_cast<uint8_t>(data[start + j] + data[start + j - spp]);
}
