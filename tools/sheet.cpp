// `quorvel sheet`: a contact sheet of the fitted previews, as one HTML page
// or as a PNG grid.
#include "Batch.h"
#include "ExitCodes.h"
#include "PngWriter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

const char kSheetUsage[] =
    "usage: quorvel sheet [--jobs N] [--columns N] [--colour-dir DIR] -o OUT FILE|FOLDER...\n"
    "\n"
    "Writes a contact sheet of the pictures: OUT ending in .html is one\n"
    "self-contained page with each preview, its name, format and size, and the\n"
    "files that could not be read; OUT ending in .png is the grid of previews\n"
    "alone, --columns wide (default 8).\n";

constexpr int kCell = 200;  // fitted previews are at most this size

std::string Base64(const std::vector<unsigned char>& in)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    for (size_t i = 0; i < in.size(); i += 3) {
        const uint32_t n = static_cast<uint32_t>(in[i]) << 16 |
                           (i + 1 < in.size() ? static_cast<uint32_t>(in[i + 1]) << 8 : 0) |
                           (i + 2 < in.size() ? in[i + 2] : 0);
        out += kDigits[n >> 18 & 63];
        out += kDigits[n >> 12 & 63];
        out += i + 1 < in.size() ? kDigits[n >> 6 & 63] : '=';
        out += i + 2 < in.size() ? kDigits[n & 63] : '=';
    }
    return out;
}

std::string HtmlText(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// The output file, written under a temporary name beside it and renamed into
// place only when complete; removed otherwise.
class PendingFile {
public:
    explicit PendingFile(const std::string& target) : m_target(target)
    {
        std::string name = target + ".XXXXXX";
        const int fd = mkstemp(name.data());
        if (fd < 0)
            return;
        m_temp = name;
        // The file gets the permissions a plain create would give it.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        m_file = fdopen(fd, "wb");
        if (m_file == nullptr)
            ::close(fd);
    }
    ~PendingFile()
    {
        if (m_file != nullptr)
            std::fclose(m_file);
        if (!m_temp.empty())
            std::remove(m_temp.c_str());
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    FILE* file() const { return m_file; }

    bool Commit()
    {
        bool ok = std::fflush(m_file) == 0 && !std::ferror(m_file);
        ok = std::fclose(m_file) == 0 && ok;
        m_file = nullptr;
        if (!ok || std::rename(m_temp.c_str(), m_target.c_str()) != 0)
            return false;
        m_temp.clear();
        return true;
    }

private:
    std::string m_target;
    std::string m_temp;
    FILE* m_file = nullptr;
};

// The grid of previews as one PNG: tiles are centred in square cells on
// white, a row of cells is rendered once complete into an unnamed scratch
// file, and the PNG is written from there once the height is known.
class Grid {
public:
    explicit Grid(unsigned columns) : m_columns(columns), m_scratch(std::tmpfile()) {}
    ~Grid()
    {
        if (m_scratch != nullptr)
            std::fclose(m_scratch);
    }
    Grid(const Grid&) = delete;
    Grid& operator=(const Grid&) = delete;

    size_t width() const { return static_cast<size_t>(m_columns) * kCell; }

    bool Add(const Result& r)
    {
        m_tiles.push_back(Tile{r.summary.nPreviewWidth, r.summary.nPreviewHeight, r.rgb});
        return m_tiles.size() < m_columns || FlushRow();
    }

    bool Write(FILE* out)
    {
        if (!m_tiles.empty() && !FlushRow())
            return false;
        if (m_scratch == nullptr || m_rows == 0 || std::fflush(m_scratch) != 0)
            return false;
        std::rewind(m_scratch);
        const auto rows = [this](size_t, unsigned char* rgb) {
            return std::fread(rgb, 1, width() * 3, m_scratch) == width() * 3;
        };
        const auto sink = [out](const unsigned char* data, size_t size) {
            return std::fwrite(data, 1, size, out) == size;
        };
        return WriteRgbPng(width(), m_rows * kCell, rows, sink);
    }

private:
    struct Tile {
        int32_t width = 0;
        int32_t height = 0;
        std::vector<unsigned char> rgb;
    };

    bool FlushRow()
    {
        if (m_scratch == nullptr)
            return false;
        std::vector<unsigned char> band(width() * 3 * kCell, 0xFF);
        for (size_t t = 0; t < m_tiles.size(); ++t) {
            const Tile& tile = m_tiles[t];
            if (tile.width > kCell || tile.height > kCell ||
                tile.rgb.size() != static_cast<size_t>(tile.width) * tile.height * 3)
                continue;  // not a fitted preview: the cell stays blank
            const size_t left = t * kCell + static_cast<size_t>(kCell - tile.width) / 2;
            const size_t top = static_cast<size_t>(kCell - tile.height) / 2;
            for (int32_t y = 0; y < tile.height; ++y)
                std::memcpy(&band[((top + y) * width() + left) * 3], &tile.rgb[static_cast<size_t>(y) * tile.width * 3],
                            static_cast<size_t>(tile.width) * 3);
        }
        m_tiles.clear();
        ++m_rows;
        return std::fwrite(band.data(), 1, band.size(), m_scratch) == band.size();
    }

    unsigned m_columns;
    FILE* m_scratch;
    std::vector<Tile> m_tiles;
    size_t m_rows = 0;
};

// Top-down RGB rows of a bottom-up BGR preview.
std::vector<unsigned char> TopDownRgb(const Preview& p)
{
    std::vector<unsigned char> rgb(static_cast<size_t>(p.width) * p.height * 3);
    const uint32_t stride = Stride(p.width);
    for (int32_t y = 0; y < p.height; ++y) {
        const unsigned char* in = p.bits + static_cast<size_t>(p.height - 1 - y) * stride;
        RgbFromBgr(in, p.width, &rgb[static_cast<size_t>(y) * p.width * 3]);
    }
    return rgb;
}

const char kSheetHead[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>quorvel sheet</title>\n"
    "<style>body{font-family:sans-serif;margin:1em}"
    ".grid{display:grid;grid-template-columns:repeat(auto-fill,minmax(210px,1fr));gap:8px}"
    ".tile{margin:0;text-align:center}.tile div{height:200px;display:flex;align-items:center;"
    "justify-content:center;background:#eee}.tile figcaption{font-size:12px;overflow-wrap:anywhere}"
    "</style></head><body>\n<div class=\"grid\">\n";

}  // namespace

int CmdSheet(int argc, char** argv)
{
    unsigned jobs = DefaultJobs();
    unsigned columns = 8;
    std::string colourDir = DefaultHostDir();
    std::string out;
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kSheetUsage, stdout);
            return kExitOk;
        } else if (arg == "--jobs" && i + 1 < argc) {
            if (!ParseCount(argv[++i], 1024, &jobs))
                return Usage(kSheetUsage);
        } else if (arg == "--columns" && i + 1 < argc) {
            if (!ParseCount(argv[++i], 256, &columns))
                return Usage(kSheetUsage);
        } else if (arg == "--colour-dir" && i + 1 < argc) {
            colourDir = argv[++i];
        } else if (arg == "-o" && i + 1 < argc) {
            out = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage(kSheetUsage);
        } else {
            args.push_back(arg);
        }
    }
    const bool html = out.size() > 5 && (out.compare(out.size() - 5, 5, ".html") == 0);
    const bool png = out.size() > 4 && (out.compare(out.size() - 4, 4, ".png") == 0);
    if (args.empty() || (!html && !png))
        return Usage(kSheetUsage);

    InterruptGuard guard;
    Walk walk;
    Collect(args, &walk);
    PendingFile target(out);
    if (target.file() == nullptr) {
        std::fprintf(stderr, "quorvel: cannot write %s\n", out.c_str());
        return kExitFailed;
    }
    FILE* f = target.file();
    if (html)
        std::fputs(kSheetHead, f);
    Grid grid(columns);
    Tally tally;
    std::string refused;
    bool written = true;
    const bool finished = !Interrupted() && RunInOrder(
        walk.files, jobs,
        [&](size_t i, Result* r) {
            Preview preview;
            if (!ReadPicture(walk.files[i], QUORVEL_PREVIEW_FITTED, colourDir, r, &preview))
                return;
            std::vector<unsigned char> encoded;
            if (preview.bits == nullptr) {
                r->ok = 0;
                r->why = Refusal::PreviewFailed;
            } else if (html && !EncodePng(preview, &encoded)) {
                r->ok = 0;
                r->why = Refusal::OutOfMemory;
            } else if (html) {
                r->pngBase64 = Base64(encoded);
            } else {
                r->rgb = TopDownRgb(preview);
            }
        },
        [&](size_t i, const Result& r) {
            const std::string& path = walk.files[i];
            tally.Add(path, r);
            if (!r.ok) {
                refused += "<li>" + HtmlText(path) + ": " + HtmlText(Reason(path, r.why)) + "</li>\n";
                return;
            }
            if (!html) {
                written = grid.Add(r) && written;
                return;
            }
            char size[96];
            std::snprintf(size, sizeof size, "%s, %.3g &times; %.3g in", FormatName(path).c_str(),
                          r.summary.fWidthInches, r.summary.fHeightInches);
            std::fprintf(f,
                         "<figure class=\"tile\"><div><img alt=\"\" width=\"%d\" height=\"%d\" "
                         "src=\"data:image/png;base64,%s\"></div><figcaption title=\"%s\">%s<br>%s</figcaption>"
                         "</figure>\n",
                         r.summary.nPreviewWidth, r.summary.nPreviewHeight, r.pngBase64.c_str(),
                         HtmlText(path).c_str(), HtmlText(fs::path(path).filename().string()).c_str(), size);
        });
    tally.Print(walk, !finished);
    if (!finished)
        return kExitInterrupted;  // the pending file goes with `target`
    if (html) {
        std::fputs("</div>\n", f);
        if (!refused.empty())
            std::fprintf(f, "<h2>Not read</h2>\n<ul class=\"refused\">\n%s</ul>\n", refused.c_str());
        std::fputs("</body></html>\n", f);
    } else if (written && !grid.Write(f)) {
        std::fprintf(stderr, "quorvel: no picture could be read for %s\n", out.c_str());
        return kExitFailed;
    }
    if (!written || !target.Commit()) {
        std::fprintf(stderr, "quorvel: cannot write %s\n", out.c_str());
        return kExitFailed;
    }
    return kExitOk;
}
