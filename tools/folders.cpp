// The host's commands over many pictures: `info` and `sheet`.  Both accept
// files and folders, read the pictures on worker threads and hand the
// results back in path order, so the output does not depend on --jobs.
#include "FormatTable.h"
#include "Host.h"
#include "Quorvel.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <png.h>

namespace fs = std::filesystem;

namespace {

const char kInfoUsage[] =
    "usage: quorvel info [--json] [--jobs N] [--mode 0|1|2] [--colour-dir DIR] FILE|FOLDER...\n"
    "\n"
    "Prints one line per picture, sorted by path: format, width x height in\n"
    "inches, dots per inch and, when a preview is asked for (--mode 1 fitted\n"
    "into 200 x 200, --mode 2 full size), the preview size.  Folders are walked\n"
    "recursively; symbolic links inside them are not followed, and files of an\n"
    "unknown extension are skipped.  --json prints one JSON object per line.\n"
    "--jobs N reads on N threads (default: the number of cores).  DIR is the\n"
    "directory beside which color/otd.cvt lies (default: the current directory).\n";

const char kSheetUsage[] =
    "usage: quorvel sheet [--jobs N] [--columns N] [--colour-dir DIR] -o OUT FILE|FOLDER...\n"
    "\n"
    "Writes a contact sheet of the pictures: OUT ending in .html is one\n"
    "self-contained page with each preview, its name, format and size, and the\n"
    "files that could not be read; OUT ending in .png is the grid of previews\n"
    "alone, --columns wide (default 8).\n";

constexpr int kCell = 200;  // fitted previews are at most this size

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

// Ctrl-C sets a flag that stops the walk and the reading; the command then
// finishes its output so far and leaves.
class InterruptGuard {
public:
    InterruptGuard()
    {
        g_interrupted = 0;
        struct sigaction sa = {};
        sa.sa_handler = OnInterrupt;
        sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process at once
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &m_old);
    }
    ~InterruptGuard() { sigaction(SIGINT, &m_old, nullptr); }

private:
    struct sigaction m_old;
};

bool Interrupted() { return g_interrupted != 0; }

struct Walk {
    std::vector<std::string> files;
    size_t symlinks = 0;  // inside folders, not followed
    size_t unknown = 0;   // inside folders, extension of no format
    bool anyFolder = false;
};

// Files named on the command line are read whatever their name; folders are
// walked recursively for files with a picture extension.
void Collect(const std::vector<std::string>& args, Walk* walk)
{
    for (const std::string& arg : args) {
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            walk->files.push_back(arg);
            continue;
        }
        walk->anyFolder = true;
        fs::recursive_directory_iterator it(arg, fs::directory_options::skip_permission_denied, ec);
        for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (Interrupted())
                return;
            std::error_code statError;
            if (it->is_symlink(statError)) {
                ++walk->symlinks;
                continue;
            }
            if (!it->is_regular_file(statError))
                continue;
            const std::string path = it->path().string();
            if (FormatFromExtension(path.c_str()) == FMT_NONE)
                ++walk->unknown;
            else
                walk->files.push_back(path);
        }
        if (ec)
            std::fprintf(stderr, "quorvel: %s: %s\n", arg.c_str(), ec.message().c_str());
    }
    std::sort(walk->files.begin(), walk->files.end());
}

// One picture's outcome, kept until it is written out in order.
struct Result {
    int ok = 0;
    Refusal why = Refusal::None;
    ImageSummary summary = {};
    QuorvelDetails details;
    std::string pngBase64;            // sheet.html: the preview
    std::vector<unsigned char> rgb;  // sheet.png: the preview, top-down RGB rows
};

int ReadPicture(const std::string& path, int32_t mode, const std::string& colourDir, Result* r,
                Preview* preview)
{
    r->ok = GetQuorvelWithReason(path.c_str(), &r->summary, mode, colourDir.c_str(), &r->why, &r->details);
    preview->bits = r->summary.pPreviewBits;
    r->summary.pPreviewBits = nullptr;
    preview->width = r->summary.nPreviewWidth;
    preview->height = r->summary.nPreviewHeight;
    return r->ok;
}

// "done / total" with rate and time left on standard error, only when it is
// a terminal; redrawn at most four times a second and erased at the end.
class Progress {
public:
    explicit Progress(size_t total)
        : m_total(total), m_shown(isatty(2) != 0), m_start(std::chrono::steady_clock::now())
    {
    }
    ~Progress() { Erase(); }

    void Update(size_t done)
    {
        if (!m_shown)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (m_drawn && now - m_last < std::chrono::milliseconds(250))
            return;
        m_last = now;
        m_drawn = true;
        const double seconds = std::chrono::duration<double>(now - m_start).count();
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        char left[32] = "?";
        if (rate > 0)
            std::snprintf(left, sizeof left, "%.0fs", static_cast<double>(m_total - done) / rate);
        std::fprintf(stderr, "\r%zu/%zu files, %.0f files/s, %s left\x1b[K", done, m_total, rate, left);
        std::fflush(stderr);
    }

    // Removes the line, e.g. before output to the same terminal.
    void Erase()
    {
        if (m_drawn) {
            std::fputs("\r\x1b[K", stderr);
            std::fflush(stderr);
            m_drawn = false;
        }
    }

private:
    size_t m_total;
    bool m_shown;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_last;
};

// Runs `work` for every file on `jobs` threads and `emit` for every result on
// the calling thread in file order.  Workers stay at most a window ahead of
// the output, so memory is bounded however slow one file is.  False when
// interrupted.
bool RunInOrder(const std::vector<std::string>& files, unsigned jobs,
                const std::function<void(size_t, Result*)>& work,
                const std::function<void(size_t, const Result&)>& emit)
{
    const size_t window = static_cast<size_t>(jobs) * 4 + 16;
    std::vector<std::unique_ptr<Result>> slots(files.size());
    std::mutex lock;
    std::condition_variable ready;
    std::condition_variable room;
    size_t next = 0;
    size_t emitted = 0;
    bool stop = false;

    const auto worker = [&] {
        for (;;) {
            size_t i;
            {
                std::unique_lock<std::mutex> held(lock);
                room.wait(held, [&] { return stop || next >= files.size() || next < emitted + window; });
                if (stop || next >= files.size() || Interrupted())
                    return;
                i = next++;
            }
            auto result = std::make_unique<Result>();
            work(i, result.get());
            {
                std::lock_guard<std::mutex> held(lock);
                slots[i] = std::move(result);
            }
            ready.notify_one();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned j = 0; j < jobs; ++j)
        threads.emplace_back(worker);

    Progress progress(files.size());
    const bool stdoutIsTerminal = isatty(1) != 0;
    bool interrupted = false;
    std::unique_lock<std::mutex> held(lock);
    while (emitted < files.size()) {
        if (Interrupted()) {
            interrupted = true;
            break;
        }
        if (!slots[emitted]) {
            ready.wait_for(held, std::chrono::milliseconds(100));
            progress.Update(emitted);
            continue;
        }
        const size_t i = emitted++;
        std::unique_ptr<Result> result = std::move(slots[i]);
        held.unlock();
        room.notify_all();
        if (stdoutIsTerminal)
            progress.Erase();
        emit(i, *result);
        progress.Update(emitted);
        held.lock();
    }
    stop = true;
    held.unlock();
    room.notify_all();
    for (std::thread& t : threads)
        t.join();
    return !interrupted;
}

unsigned DefaultJobs()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

bool ParseCount(const char* text, unsigned limit, unsigned* out)
{
    char* end = nullptr;
    const unsigned long n = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || n == 0 || n > limit)
        return false;
    *out = static_cast<unsigned>(n);
    return true;
}

// A number for JSON: non-finite values have no JSON form.
std::string JsonNumber(double v)
{
    if (!std::isfinite(v))
        return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

// Per format: pictures read and refusals by reason, for the closing summary.
class Tally {
public:
    void Add(const std::string& path, const Result& r)
    {
        const FormatInfo* row = FindFormat(FormatFromExtension(path.c_str()));
        Counts& c = m_formats[row != nullptr ? row->name : "unknown"];
        if (r.ok)
            ++c.read;
        else
            ++c.refused[RefusalName(r.why)];
    }

    void Print(const Walk& walk, bool interrupted) const
    {
        size_t read = 0;
        size_t refused = 0;
        for (const auto& [name, c] : m_formats) {
            read += c.read;
            for (const auto& reason : c.refused)
                refused += reason.second;
        }
        std::fprintf(stderr, "%s%zu read, %zu refused", interrupted ? "interrupted: " : "", read, refused);
        if (walk.anyFolder)
            std::fprintf(stderr, "; skipped %zu of unknown extension, %zu symbolic links", walk.unknown,
                         walk.symlinks);
        std::fputs("\n", stderr);
        for (const auto& [name, c] : m_formats) {
            std::fprintf(stderr, "  %s: %zu read", name.c_str(), c.read);
            const char* sep = ", refused: ";
            for (const auto& [reason, count] : c.refused) {
                std::fprintf(stderr, "%s%s %zu", sep, reason.c_str(), count);
                sep = ", ";
            }
            std::fputs("\n", stderr);
        }
    }

private:
    struct Counts {
        size_t read = 0;
        std::map<std::string, size_t> refused;
    };
    std::map<std::string, Counts> m_formats;
};

std::string InfoLine(const std::string& path, const Result& r, int32_t mode, bool json)
{
    std::string line;
    char buf[160];
    const FormatInfo* row = FindFormat(FormatFromExtension(path.c_str()));
    if (json) {
        line = "{\"path\":" + JsonString(path) + ",\"format\":" + (row ? JsonString(row->name) : "null") +
               ",\"ok\":" + (r.ok ? "true" : "false");
        if (r.ok) {
            line += ",\"width_in\":" + JsonNumber(r.summary.fWidthInches) +
                    ",\"height_in\":" + JsonNumber(r.summary.fHeightInches) +
                    ",\"dpi_x\":" + JsonNumber(r.details.xDpi) + ",\"dpi_y\":" + JsonNumber(r.details.yDpi);
            if (mode != 0) {
                std::snprintf(buf, sizeof buf, ",\"preview_width\":%d,\"preview_height\":%d",
                              r.summary.nPreviewWidth, r.summary.nPreviewHeight);
                line += buf;
            }
        } else {
            line += ",\"error\":" + JsonString(Reason(path, r.why)) + ",\"reason\":" + JsonString(RefusalName(r.why));
        }
        return line + "}\n";
    }
    if (!r.ok)
        return path + ": " + Reason(path, r.why) + "\n";
    std::snprintf(buf, sizeof buf, ": %s %.4g x %.4g in, %.4g x %.4g dpi", FormatName(path).c_str(),
                  r.summary.fWidthInches, r.summary.fHeightInches, r.details.xDpi, r.details.yDpi);
    line = path + buf;
    if (mode != 0) {
        std::snprintf(buf, sizeof buf, ", preview %d x %d", r.summary.nPreviewWidth, r.summary.nPreviewHeight);
        line += buf;
    }
    return line + "\n";
}

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
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
        std::vector<unsigned char> row(width() * 3);
        bool ok = false;
        if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
            png_init_io(png, out);
            png_set_IHDR(png, info, static_cast<png_uint_32>(width()), static_cast<png_uint_32>(m_rows * kCell), 8,
                         PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                         PNG_FILTER_TYPE_DEFAULT);
            png_write_info(png, info);
            ok = true;
            for (size_t y = 0; ok && y < m_rows * kCell; ++y) {
                ok = std::fread(row.data(), 1, row.size(), m_scratch) == row.size();
                if (ok)
                    png_write_row(png, row.data());
            }
            if (ok)
                png_write_end(png, info);
        }
        png_destroy_write_struct(&png, &info);
        return ok;
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
        unsigned char* out = &rgb[static_cast<size_t>(y) * p.width * 3];
        for (int32_t x = 0; x < p.width; ++x) {
            out[3 * x] = in[3 * x + 2];
            out[3 * x + 1] = in[3 * x + 1];
            out[3 * x + 2] = in[3 * x];
        }
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

int CmdInfo(int argc, char** argv)
{
    bool json = false;
    int32_t mode = 0;
    unsigned jobs = DefaultJobs();
    std::string colourDir = ".";
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kInfoUsage, stdout);
            return kExitOk;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--mode" && i + 1 < argc) {
            const std::string m = argv[++i];
            if (m != "0" && m != "1" && m != "2")
                return Usage(kInfoUsage);
            mode = m[0] - '0';
        } else if (arg == "--jobs" && i + 1 < argc) {
            if (!ParseCount(argv[++i], 1024, &jobs))
                return Usage(kInfoUsage);
        } else if (arg == "--colour-dir" && i + 1 < argc) {
            colourDir = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage(kInfoUsage);
        } else {
            args.push_back(arg);
        }
    }
    if (args.empty())
        return Usage(kInfoUsage);

    InterruptGuard guard;
    Walk walk;
    Collect(args, &walk);
    Tally tally;
    int status = kExitOk;
    const bool finished = !Interrupted() && RunInOrder(
        walk.files, jobs,
        [&](size_t i, Result* r) {
            Preview preview;
            ReadPicture(walk.files[i], mode, colourDir, r, &preview);
        },
        [&](size_t i, const Result& r) {
            const std::string line = InfoLine(walk.files[i], r, mode, json);
            std::fwrite(line.data(), 1, line.size(), stdout);
            tally.Add(walk.files[i], r);
            if (!r.ok)
                status = kExitUnreadable;
        });
    std::fflush(stdout);
    if (walk.anyFolder || walk.files.size() > 1 || !finished)
        tally.Print(walk, !finished);
    return finished ? status : kExitInterrupted;
}

int CmdSheet(int argc, char** argv)
{
    unsigned jobs = DefaultJobs();
    unsigned columns = 8;
    std::string colourDir = ".";
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
        return kExitUnreadable;
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
        return kExitUnreadable;
    }
    if (!written || !target.Commit()) {
        std::fprintf(stderr, "quorvel: cannot write %s\n", out.c_str());
        return kExitUnreadable;
    }
    return kExitOk;
}
