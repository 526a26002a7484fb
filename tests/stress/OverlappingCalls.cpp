// Overlapping calls from several threads must give exactly what the same
// calls give one after another.  Every fixture and sample goes through
// GetQuorvel in modes 0, 1 and 2 with two different colour tables (so CMYK
// previews made at the same moment convert through different tables), and
// every TIFF through ConvertBWTiff in both directions to its own destination.
// The calls are first made in order on one thread, then shuffled over eight
// threads several times over; each result is compared with its first one.
#include "cvt_test.h"
#include "quorvel.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

uint64_t Fnv(const unsigned char* p, size_t n, uint64_t h = 1469598103934665603ull)
{
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

std::vector<unsigned char> ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

struct Call {
    std::string path;
    int mode = 0;          // GetQuorvel mode; -1 for ConvertBWTiff
    std::string hostDir;   // GetQuorvel
    uint32_t colour = 0;   // ConvertBWTiff
};

struct Result {
    int ok = 0;
    float w = 0, h = 0;
    int32_t pw = 0, ph = 0;
    uint64_t bits = 0;
    bool operator==(const Result& o) const
    {
        // Sizes compared bit for bit: the same file must give the same float.
        return ok == o.ok && std::memcmp(&w, &o.w, sizeof w) == 0 && std::memcmp(&h, &o.h, sizeof h) == 0 &&
               pw == o.pw && ph == o.ph && bits == o.bits;
    }
};

Result Run(const Call& call, const std::string& destination)
{
    Result r;
    if (call.mode < 0) {
        fs::remove(destination);
        r.ok = ConvertBWTiff(call.path.c_str(), destination.c_str(), call.colour);
        if (r.ok) {
            const auto bytes = ReadAll(destination);
            r.bits = Fnv(bytes.data(), bytes.size());
        }
        fs::remove(destination);
        return r;
    }
    ImageSummary s{};
    r.ok = GetQuorvel(call.path.c_str(), &s, call.mode, call.hostDir.c_str());
    std::memcpy(&r.w, &s.fWidthInches, sizeof r.w);
    std::memcpy(&r.h, &s.fHeightInches, sizeof r.h);
    r.pw = s.nPreviewWidth;
    r.ph = s.nPreviewHeight;
    if (s.pPreviewBits != nullptr) {
        const size_t stride = (static_cast<size_t>(s.nPreviewWidth) * 3 + 3) & ~size_t{3};
        r.bits = Fnv(s.pPreviewBits, stride * static_cast<size_t>(s.nPreviewHeight));
        QuorvelFreePreview(s.pPreviewBits);
    }
    return r;
}

// A second colour table: the samples' table with every entry inverted.
bool MakeInvertedTable(const fs::path& from, const fs::path& toDir)
{
    CFile file;
    TableHeader header;
    if (!file.Open(from.string().c_str(), CFile::modeRead | CFile::shareDenyNone) ||
        !ParseTableHeader(file, &header))
        return false;
    file.Close();
    auto bytes = ReadAll(from);
    for (size_t i = header.nDataOffset; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(255 - bytes[i]);
    fs::create_directories(toDir / "color");
    std::ofstream out(toDir / "color" / "otd.cvt", std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SAMPLES TESTDATA WORKDIR [THREADS] [ROUNDS]\n", argv[0]);
        return 2;
    }
    const fs::path samples = argv[1];
    const fs::path work = argv[3];
    const unsigned threads = argc > 4 ? static_cast<unsigned>(std::stoul(argv[4])) : 8;
    const unsigned rounds = argc > 5 ? static_cast<unsigned>(std::stoul(argv[5])) : 3;
    fs::remove_all(work);
    fs::create_directories(work / "out");
    const fs::path inverted = work / "inverted";
    if (!MakeInvertedTable(samples / "color" / "otd.cvt", inverted)) {
        std::fprintf(stderr, "cannot make the second colour table\n");
        return 1;
    }

    std::vector<Call> calls;
    std::vector<fs::path> files;
    for (const fs::path& root : {fs::path(argv[1]), fs::path(argv[2])})
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file() && e.file_size() < (1u << 20) && e.path().extension() != ".cvt")
                files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        const std::string ext = f.extension().string();
        for (const std::string& dir : {samples.string(), inverted.string()}) {
            calls.push_back({f.string(), 0, dir, 0});
            calls.push_back({f.string(), 1, dir, 0});
            if (fs::file_size(f) < (256u << 10))
                calls.push_back({f.string(), 2, dir, 0});
        }
        if (ext == ".tif") {
            calls.push_back({f.string(), -1, "", 0});
            calls.push_back({f.string(), -1, "", 0x0000C000});
        }
    }

    // Quiet: the message of a missing table is not what is tested here.
    SetMessageBoxHook([](const std::string&, void*) {}, nullptr);

    std::vector<Result> expected(calls.size());
    for (size_t i = 0; i < calls.size(); ++i)
        expected[i] = Run(calls[i], (work / "out" / ("seq" + std::to_string(i) + ".tif")).string());

    std::vector<size_t> order;
    for (unsigned r = 0; r < rounds; ++r)
        for (size_t i = 0; i < calls.size(); ++i)
            order.push_back(i);
    std::shuffle(order.begin(), order.end(), std::mt19937(20261210));

    std::atomic<size_t> next{0};
    std::atomic<size_t> mismatches{0};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (size_t k; (k = next.fetch_add(1)) < order.size();) {
                const size_t i = order[k];
                const std::string dest =
                    (work / "out" / ("t" + std::to_string(t) + "_" + std::to_string(k) + ".tif")).string();
                if (!(Run(calls[i], dest) == expected[i])) {
                    ++mismatches;
                    std::fprintf(stderr, "differs: %s mode %d %s\n", calls[i].path.c_str(), calls[i].mode,
                                 calls[i].hostDir.c_str());
                }
            }
        });
    }
    for (auto& th : pool)
        th.join();

    size_t read = 0;
    for (const Result& r : expected)
        read += r.ok;
    std::printf("%zu calls (%zu succeeded alone), %zu overlapping on %u threads, %zu differ\n", calls.size(),
                read, order.size(), threads, mismatches.load());
    const bool leftovers = !fs::is_empty(work / "out");
    if (leftovers)
        std::fprintf(stderr, "files left in %s\n", (work / "out").string().c_str());
    fs::remove_all(work);
    return mismatches == 0 && !leftovers && read > calls.size() / 2 ? 0 : 1;
}
