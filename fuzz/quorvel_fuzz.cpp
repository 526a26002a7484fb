// Fuzz target for the picture readers, ConvertBWTiff and the colour-table
// loader.  With QUORVEL_FUZZ_EXT set (".tif", "gif", ...) every input is a
// file of that type; otherwise the first input byte chooses the extension and
// the rest becomes the file's contents.  Whatever the bytes, every call must
// return 0 or 1 without touching memory it does not own, without leaking and
// without allocating far more than the picture's preview needs.
#include "Afx.h"
#include "FuzzExtensions.h"
#include "cvt_test.h"
#include "quorvel.h"

#include <cstdint>
#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A private directory in memory where possible, with an empty "color"
// directory beside which the library looks for its table; removed at exit.
// The library's temporary files go there too, so one left behind is seen.
struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        const char* tmp = std::getenv("TMPDIR");
        path = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
        path += "/quorvel-fuzz-" + std::to_string(getpid());
        mkdir(path.c_str(), 0700);
        mkdir((path + "/color").c_str(), 0700);
        setenv("TMPDIR", path.c_str(), 1);
    }
    ~ScratchDir()
    {
        rmdir((path + "/color").c_str());
        rmdir(path.c_str());
    }
};

// The extension every input takes from the environment, or -1.
int FixedExtension()
{
    const char* env = std::getenv("QUORVEL_FUZZ_EXT");
    if (env == nullptr || env[0] == '\0')
        return -1;
    const std::string want = env[0] == '.' ? env : std::string(".") + env;
    const std::vector<std::string>& extensions = FuzzExtensions();
    for (size_t i = 0; i < extensions.size(); ++i)
        if (extensions[i] == want)
            return static_cast<int>(i);
    std::fprintf(stderr, "QUORVEL_FUZZ_EXT=%s names no reader\n", env);
    std::abort();
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// The table file: load it, then run every kind of transform through it.
void FuzzColourTable(const std::string& dir, const uint8_t* data, size_t size)
{
    const std::string table = dir + "/color/otd.cvt";
    if (!WriteFile(table, data, size))
        return;
    LoadColourTable(dir.c_str());
    unsigned char in[4 * 64];
    unsigned char out[3 * 64];
    for (size_t i = 0; i < sizeof in; ++i)
        in[i] = static_cast<unsigned char>(i * 37 + (i >> 2) * 91);
    for (int16_t mode : {2, 3, -2}) {
        TransformArgs args{};
        args.pIn = in;
        args.pOut = out;
        args.nCount = mode == 3 ? 16 : 64;
        args.nInStride = mode == 3 ? 16 : 256;
        args.nOutStride = mode == 3 ? 16 : 3 * 64;  // planar output has planes too
        args.nRows = 1;
        int16_t status = 0;
        ColourTransform(mode, &args, &status);
    }
    std::remove(table.c_str());
}

// Stops the run when a call left a file behind in the scratch directory.
void CheckNothingLeft(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (const dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != "color") {
            std::fprintf(stderr, "file left behind: %s/%s\n", dir.c_str(), name.c_str());
            std::abort();
        }
    }
    closedir(d);
}

void Silence(const std::string&, void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const ScratchDir scratch;
    const std::string& dir = scratch.path;
    static const int fixed = FixedExtension();
    static const bool quiet = (SetMessageBoxHook(Silence, nullptr), true);
    (void)quiet;
    const std::vector<std::string>& extensions = FuzzExtensions();
    size_t index = static_cast<size_t>(fixed);
    if (fixed < 0) {
        if (size < 1)
            return 0;
        index = data[0] % extensions.size();
        ++data;
        --size;
    }
    const std::string& ext = extensions[index];
    if (ext == ".cvt") {
        FuzzColourTable(dir, data, size);
        CheckNothingLeft(dir + "/color");
        return 0;
    }
    const std::string path = dir + "/in" + ext;
    if (!WriteFile(path, data, size))
        return 0;

    // The size-only path and the fitted and full-size previews; the colour
    // table directory holds no table, which the library reports and survives.
    for (int mode : {0, 1, 2}) {
        ImageSummary summary;
        if (GetQuorvel(path.c_str(), &summary, mode, dir.c_str()) == 1)
            QuorvelFreePreview(summary.pPreviewBits);
    }
    // TIFF files also go through the conversion export, both ways.
    if (ext == ".tif") {
        const std::string out = dir + "/out.tif";
        for (uint32_t colour : {0x0000FFu, 0u})
            ConvertBWTiff(path.c_str(), out.c_str(), colour);
        std::remove(out.c_str());
    }
    std::remove(path.c_str());
    CheckNothingLeft(dir);
    return 0;
}
