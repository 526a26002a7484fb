// `quorvel info`: one line per picture, in path order.
#include "Batch.h"
#include "ExitCodes.h"
#include "FormatTable.h"

#include <cmath>
#include <cstdio>

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
    "directory beside which color/otd.cvt lies (default: the bundled table,\n"
    "../share/quorvel beside the executable).\n";

// A number for JSON: non-finite values have no JSON form.
std::string JsonNumber(double v)
{
    if (!std::isfinite(v))
        return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

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

}  // namespace

int CmdInfo(int argc, char** argv)
{
    bool json = false;
    int32_t mode = 0;
    unsigned jobs = DefaultJobs();
    std::string colourDir = DefaultHostDir();
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
                status = kExitFailed;
        });
    std::fflush(stdout);
    if (walk.anyFolder || walk.files.size() > 1 || !finished)
        tally.Print(walk, !finished);
    return finished ? status : kExitInterrupted;
}
