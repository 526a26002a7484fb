// Runs the fuzz target without libFuzzer: every file given (or found in the
// directories given) under every extension, and `--mutate N` deterministic
// damaged copies of each (flipped bytes, cut-off tails, bytes set to extreme
// values) under the file's own extension.  The corpus, past crashers and
// every test fixture so replay in the ordinary, sanitized test suite.
#include "FuzzExtensions.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {


int OwnExtension(const std::filesystem::path& file)
{
    std::string ext = file.extension().string();
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    const std::vector<std::string>& extensions = FuzzExtensions();
    for (size_t i = 0; i < extensions.size(); ++i)
        if (ext == extensions[i])
            return static_cast<int>(i);
    return -1;
}

// A small fixed-seed generator, so every run damages the files the same way.
struct Rng {
    uint64_t state;
    uint32_t Next()
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
};

void Mutate(std::vector<uint8_t>& body, Rng& rng)
{
    if (body.empty())
        return;
    switch (rng.Next() % 4) {
    case 0:  // cut off the tail
        body.resize(rng.Next() % body.size());
        break;
    case 1: {  // flip a few bits
        const unsigned flips = 1 + rng.Next() % 8;
        for (unsigned i = 0; i < flips; ++i)
            body[rng.Next() % body.size()] ^= static_cast<uint8_t>(1u << (rng.Next() % 8));
        break;
    }
    case 2: {  // extreme values, favouring the header where sizes live
        const size_t span = body.size() < 256 ? body.size() : 256;
        const uint8_t values[] = {0x00, 0xFF, 0x7F, 0x80, 0x01};
        const unsigned writes = 1 + rng.Next() % 4;
        for (unsigned i = 0; i < writes; ++i)
            body[rng.Next() % span] = values[rng.Next() % 5];
        break;
    }
    default: {  // overwrite a run with random bytes
        const size_t at = rng.Next() % body.size();
        const size_t len = 1 + rng.Next() % 64;
        for (size_t i = at; i < body.size() && i < at + len; ++i)
            body[i] = static_cast<uint8_t>(rng.Next());
        break;
    }
    }
}

void Run(const std::vector<uint8_t>& body, unsigned ext, size_t& count)
{
    std::vector<uint8_t> input(body.size() + 1);
    input[0] = static_cast<uint8_t>(ext);
    std::copy(body.begin(), body.end(), input.begin() + 1);
    LLVMFuzzerTestOneInput(input.data(), input.size());
    ++count;
}

void Replay(const std::filesystem::path& file, unsigned mutants, size_t& count)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (unsigned ext = 0; ext < FuzzExtensions().size(); ++ext)
        Run(body, ext, count);
    const int own = OwnExtension(file);
    if (own < 0)
        return;
    Rng rng{std::hash<std::string>()(file.filename().string())};
    for (unsigned m = 0; m < mutants; ++m) {
        std::vector<uint8_t> damaged = body;
        Mutate(damaged, rng);
        Run(damaged, static_cast<unsigned>(own), count);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    size_t count = 0;
    unsigned mutants = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--mutate") == 0 && i + 1 < argc) {
            mutants = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            continue;
        }
        const std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg))
                if (entry.is_regular_file())
                    Replay(entry.path(), mutants, count);
        } else if (std::filesystem::is_regular_file(arg)) {
            Replay(arg, mutants, count);
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return 0;
}
