// quorvel: command-line host of the library.  It calls the library as a host
// does, through the library's own entry point that also tells why a picture
// was refused, and names formats from the library's format table.
#include "ByteOrder.h"
#include "FormatTable.h"
#include "ExitCodes.h"
#include "Host.h"
#include "PngWriter.h"
#include "Quorvel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kMainUsage[] =
    "usage: quorvel COMMAND [OPTIONS] ...\n"
    "\n"
    "commands:\n"
    "  info      report the physical size (and preview size) of pictures\n"
    "  sheet     write a contact sheet (HTML or PNG) of the pictures in folders\n"
    "  preview   write a picture's preview as BMP or PNG\n"
    "  convert   convert a TIFF file between black-and-white and colour\n"
    "  colour-table  build the CMYK-to-RGB table otd.cvt from a CMYK ICC profile\n"
    "\n"
    "Run 'quorvel COMMAND --help' for the options of a command.\n";

const char kPreviewUsage[] =
    "usage: quorvel preview [--full] [--colour-dir DIR] -o OUT FILE\n"
    "\n"
    "Writes the preview of FILE (fitted into 200 x 200, or full size with\n"
    "--full) to OUT: a PNG file when OUT ends in .png, else a 24-bit BMP.\n";

const char kConvertUsage[] =
    "usage: quorvel convert [--colour RRGGBB] SRC DST\n"
    "\n"
    "Converts the TIFF file SRC and writes the result to DST.  With --colour\n"
    "(hexadecimal red, green, blue; not 000000) the black pixels of a\n"
    "black-and-white picture take that colour; without it a colour picture is\n"
    "reduced to black and white.  DST is replaced only when the conversion\n"
    "succeeds.\n";

bool WriteBmp(const char* out, const Preview& p)
{
    const uint32_t image = Stride(p.width) * static_cast<uint32_t>(p.height);
    std::vector<unsigned char> header;
    header.push_back('B');
    header.push_back('M');
    AppendLE32(header, 54 + image);
    AppendLE32(header, 0);
    AppendLE32(header, 54);
    AppendLE32(header, 40);
    AppendLE32(header, static_cast<uint32_t>(p.width));
    AppendLE32(header, static_cast<uint32_t>(p.height));
    AppendLE16(header, 1);
    AppendLE16(header, 24);
    AppendLE32(header, 0);
    AppendLE32(header, image);
    AppendLE32(header, 2835);
    AppendLE32(header, 2835);
    AppendLE32(header, 0);
    AppendLE32(header, 0);
    FILE* f = std::fopen(out, "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size() &&
              std::fwrite(p.bits, 1, image, f) == image;
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

bool WritePng(const char* out, const Preview& p)
{
    std::vector<unsigned char> png;
    if (!EncodePng(p, &png))
        return false;
    FILE* f = std::fopen(out, "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

bool EndsWith(const std::string& s, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s[s.size() - n + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i])
            return false;
    }
    return true;
}

int CmdPreview(int argc, char** argv)
{
    bool full = false;
    std::string colourDir = DefaultHostDir();
    std::string out;
    std::vector<std::string> files;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kPreviewUsage, stdout);
            return kExitOk;
        } else if (arg == "--full") {
            full = true;
        } else if (arg == "--colour-dir" && i + 1 < argc) {
            colourDir = argv[++i];
        } else if (arg == "-o" && i + 1 < argc) {
            out = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage(kPreviewUsage);
        } else {
            files.push_back(arg);
        }
    }
    if (out.empty() || files.size() != 1)
        return Usage(kPreviewUsage);

    ImageSummary summary;
    Preview preview;
    Refusal why = Refusal::None;
    const int ok = GetQuorvelWithReason(files[0].c_str(), &summary,
                                        full ? QUORVEL_PREVIEW_FULL : QUORVEL_PREVIEW_FITTED,
                                        colourDir.c_str(), &why);
    preview.bits = summary.pPreviewBits;
    if (!ok || preview.bits == nullptr) {
        std::fprintf(stderr, "quorvel: %s: %s\n", files[0].c_str(), Reason(files[0], why).c_str());
        return kExitFailed;
    }
    preview.width = summary.nPreviewWidth;
    preview.height = summary.nPreviewHeight;
    const bool written = EndsWith(out, ".png") ? WritePng(out.c_str(), preview) : WriteBmp(out.c_str(), preview);
    if (!written) {
        std::fprintf(stderr, "quorvel: cannot write %s\n", out.c_str());
        return kExitFailed;
    }
    std::printf("%s: preview %d x %d -> %s\n", files[0].c_str(), preview.width, preview.height, out.c_str());
    return kExitOk;
}

// "RRGGBB" as the library's colour value 0x00BBGGRR; false when malformed.
bool ParseColour(const std::string& text, uint32_t* colour)
{
    std::string hex = text;
    if (!hex.empty() && hex[0] == '#')
        hex.erase(0, 1);
    if (hex.size() != 6)
        return false;
    uint32_t rgb = 0;
    for (char c : hex) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        rgb = rgb << 4 | static_cast<uint32_t>(d);
    }
    *colour = (rgb >> 16 & 0xFF) | (rgb & 0xFF00) | (rgb & 0xFF) << 16;
    return true;
}

int CmdConvert(int argc, char** argv)
{
    uint32_t colour = 0;
    std::vector<std::string> files;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kConvertUsage, stdout);
            return kExitOk;
        } else if ((arg == "--colour" || arg == "--color") && i + 1 < argc) {
            if (!ParseColour(argv[++i], &colour)) {
                std::fprintf(stderr, "quorvel: bad colour '%s' (expected RRGGBB)\n", argv[i]);
                return kExitUsage;
            }
            if (colour == 0) {
                std::fputs("quorvel: black cannot be the colour (0 means reduce to black and white)\n",
                           stderr);
                return kExitUsage;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage(kConvertUsage);
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2)
        return Usage(kConvertUsage);
    if (!ConvertBWTiff(files[0].c_str(), files[1].c_str(), colour)) {
        std::fprintf(stderr, "quorvel: cannot convert %s to %s\n", files[0].c_str(), files[1].c_str());
        return kExitFailed;
    }
    std::printf("%s -> %s (%s)\n", files[0].c_str(), files[1].c_str(),
                colour != 0 ? "black pixels coloured" : "reduced to black and white");
    return kExitOk;
}

}  // namespace

uint32_t Stride(int32_t width) { return ((static_cast<uint32_t>(width) * 24 + 31) / 32) * 4; }

std::string FormatName(const std::string& path)
{
    const FormatInfo* row = FindFormat(FormatFromExtension(path.c_str()));
    return row != nullptr ? row->name : "?";
}

// Why a picture could not be read, in the user's words.
std::string Reason(const std::string& path, Refusal why)
{
    if (why == Refusal::CannotOpen) {
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr)
            return std::string("cannot open: ") + std::strerror(errno);
        std::fclose(f);
    }
    return std::string("refused: ") + RefusalText(why);
}

std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool EncodePng(const Preview& p, std::vector<unsigned char>* out)
{
    out->clear();
    const uint32_t stride = Stride(p.width);
    const auto rows = [&p, stride](size_t y, unsigned char* rgb) {
        RgbFromBgr(p.bits + static_cast<size_t>(p.height - 1 - y) * stride, p.width, rgb);
        return true;
    };
    const auto sink = [out](const unsigned char* data, size_t size) {
        out->insert(out->end(), data, data + size);
        return true;
    };
    return WriteRgbPng(static_cast<size_t>(p.width), static_cast<size_t>(p.height), rows, sink);
}

void RgbFromBgr(const unsigned char* bgr, int32_t width, unsigned char* rgb)
{
    for (int32_t x = 0; x < width; ++x) {
        rgb[3 * x] = bgr[3 * x + 2];
        rgb[3 * x + 1] = bgr[3 * x + 1];
        rgb[3 * x + 2] = bgr[3 * x];
    }
}

std::string DefaultHostDir()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return ".";
    const fs::path dir = exe.parent_path();
#if defined(QUORVEL_BUILD_DIR) && defined(QUORVEL_SAMPLES_DIR)
    // Run from the build tree: the bundled samples hold the table.
    if (fs::equivalent(dir, QUORVEL_BUILD_DIR, ec))
        return QUORVEL_SAMPLES_DIR;
#endif
    return (dir / ".." / "share" / "quorvel").string();
}

int Usage(const char* text)
{
    std::fputs(text, stderr);
    return kExitUsage;
}

// In colour_table.cpp.
int CmdColourTable(int argc, char** argv);

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage(kMainUsage);
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kMainUsage, stdout);
        return kExitOk;
    }
    if (command == "info")
        return CmdInfo(argc - 2, argv + 2);
    if (command == "sheet")
        return CmdSheet(argc - 2, argv + 2);
    if (command == "preview")
        return CmdPreview(argc - 2, argv + 2);
    if (command == "convert")
        return CmdConvert(argc - 2, argv + 2);
    if (command == "colour-table")
        return CmdColourTable(argc - 2, argv + 2);
    std::fprintf(stderr, "quorvel: unknown command '%s'\n", command.c_str());
    return Usage(kMainUsage);
}
