// The run over many pictures (Batch.h).
#include "Batch.h"

#include "FormatTable.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

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

}  // namespace

InterruptGuard::InterruptGuard()
{
    g_interrupted = 0;
    struct sigaction sa = {};
    sa.sa_handler = OnInterrupt;
    sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process at once
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &m_old);
}

InterruptGuard::~InterruptGuard() { sigaction(SIGINT, &m_old, nullptr); }

bool Interrupted() { return g_interrupted != 0; }

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

void Tally::Add(const std::string& path, const Result& r)
{
    const FormatInfo* row = FindFormat(FormatFromExtension(path.c_str()));
    Counts& c = m_formats[row != nullptr ? row->name : "unknown"];
    if (r.ok)
        ++c.read;
    else
        ++c.refused[RefusalName(r.why)];
}

void Tally::Print(const Walk& walk, bool interrupted) const
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
