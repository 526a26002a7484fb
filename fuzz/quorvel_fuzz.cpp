// Fuzz target for the picture readers.  The first input byte chooses the
// file-name extension (and so the reader); the rest becomes the file's
// contents.  Every reader must return 0 or 1 without touching memory it does
// not own and without leaking, whatever the bytes; TIFF files are also
// converted by ConvertBWTiff.
#include "FuzzExtensions.h"
#include "quorvel.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string ScratchDir()
{
    if (access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const std::vector<std::string>& extensions = FuzzExtensions();
    const std::string& ext = extensions[data[0] % extensions.size()];
    static const std::string dir = ScratchDir();
    const std::string path = dir + "/quorvel-fuzz-" + std::to_string(getpid()) + ext;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return 0;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);

    // The fitted and full-size previews and the size-only path; the colour
    // table directory does not exist, which the library reports and survives.
    // TIFF full-size previews are left out until the TIFF reader checks the
    // whole picture against its file in that mode too: damaged TIFF files
    // still make them allocate and decode hundreds of megabytes.
    for (int mode : {1, 2, 0}) {
        if (mode == 2 && ext == ".tif")
            continue;
        ImageSummary summary;
        if (GetQuorvel(path.c_str(), &summary, mode, "/nonexistent") == 1)
            QuorvelFreePreview(summary.pPreviewBits);
    }
    // TIFF files also go through the conversion export, both ways.
    if (ext == ".tif") {
        const std::string out = dir + "/quorvel-fuzz-out-" + std::to_string(getpid()) + ".tif";
        for (uint32_t colour : {0x0000FFu, 0u})
            ConvertBWTiff(path.c_str(), out.c_str(), colour);
        std::remove(out.c_str());
    }
    std::remove(path.c_str());
    return 0;
}
