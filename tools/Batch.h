// The host's run over many pictures, shared by `info` and `sheet`: the walk
// of files and folders, the reading on worker threads with results handed
// back in path order (so the output does not depend on --jobs), Ctrl-C, and
// the closing summary per format.
#pragma once

#include "Host.h"
#include "Quorvel.h"

#include <signal.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

// Ctrl-C sets a flag that stops the walk and the reading; the command then
// finishes its output so far and leaves.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();

private:
    struct sigaction m_old;
};

bool Interrupted();

struct Walk {
    std::vector<std::string> files;
    size_t symlinks = 0;  // inside folders, not followed
    size_t unknown = 0;   // inside folders, extension of no format
    bool anyFolder = false;
};

// Files named on the command line are read whatever their name; folders are
// walked recursively for files with a picture extension.
void Collect(const std::vector<std::string>& args, Walk* walk);

// One picture's outcome, kept until it is written out in order.
struct Result {
    int ok = 0;
    Refusal why = Refusal::None;
    ImageSummary summary = {};
    QuorvelDetails details;
    std::string pngBase64;            // sheet.html: the preview
    std::vector<unsigned char> rgb;  // sheet.png: the preview, top-down RGB rows
};

// Reads one picture; the preview block goes to `preview`.
int ReadPicture(const std::string& path, int32_t mode, const std::string& colourDir, Result* r,
                Preview* preview);

// Runs `work` for every file on `jobs` threads and `emit` for every result on
// the calling thread in file order.  Workers stay at most a window ahead of
// the output, so memory is bounded however slow one file is.  False when
// interrupted.
bool RunInOrder(const std::vector<std::string>& files, unsigned jobs,
                const std::function<void(size_t, Result*)>& work,
                const std::function<void(size_t, const Result&)>& emit);

unsigned DefaultJobs();
// A whole number from 1 to `limit`.
bool ParseCount(const char* text, unsigned limit, unsigned* out);

// Per format: pictures read and refusals by reason, for the closing summary.
class Tally {
public:
    void Add(const std::string& path, const Result& r);
    void Print(const Walk& walk, bool interrupted) const;

private:
    struct Counts {
        size_t read = 0;
        std::map<std::string, size_t> refused;
    };
    std::map<std::string, Counts> m_formats;
};
