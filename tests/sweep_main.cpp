// One real-world file through its reader in every mode, judged against the
// independent decoders: `quorvel_sweep FILE` prints one line,
//   STATUS <tab> DETAIL <tab> PEERS <tab> FILE
// match / close (every byte within 8) / mismatch: the fitted preview against
// the closest of Pillow, ImageMagick and libvips by the first-match rule (or
// the step or multiple-of-8 rule of the readers that use them), either row
// order, plain or CMYK through the shipped table, else the full-size preview
// pixel for pixel (DETAIL says "full"); refused: the library refused a file
// a decoder reads (DETAIL names the reason); all-refused: no decoder reads
// it either; oracle-refused (the library reads a file no decoder does);
// no-reason: a refusal without a reason, which is a fault.  PEERS lists the
// decoders that read the file (pillow, magick, vips), "-" for none.  Exit
// status 1 only for no-reason.
#include "ReaderOracle.h"
#include "StepSampling.h"
#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

// The reader's extension for a file name, or "" when no reader takes it.
std::string ReaderExtension(const std::filesystem::path& file)
{
    std::string ext = file.extension().string();
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".jpeg")
        return ".jpg";
    if (ext == ".tiff")
        return ".tif";
    return ext;
}

// Largest byte difference between the preview and the reference sampled by
// `sampling`, or -1 when the sizes differ.
int Difference(const QuorvelRun& run, const RgbImage& reference, const PreviewSampling& sampling)
{
    if (run.width != static_cast<int32_t>(sampling.columns.size()) ||
        run.height != static_cast<int32_t>(sampling.rows.size()))
        return -1;
    const std::vector<uint8_t> expected = ExpectedPreview(reference, sampling);
    int worst = 0;
    for (size_t i = 0; i < expected.size() && i < run.block.size(); ++i)
        worst = std::max(worst, std::abs(static_cast<int>(run.block[i]) - static_cast<int>(expected[i])));
    return worst;
}

// The smallest difference over the sampling rules the readers use.
int BestDifference(const QuorvelRun& run, const RgbImage& reference, bool fullSize)
{
    const uint32_t w = reference.width, h = reference.height;
    std::vector<PreviewSampling> rules = {FirstMatchSampling(w, h, fullSize, false),
                                          FirstMatchSampling(w, h, fullSize, true),
                                          StepSampling(w, h, fullSize, false), StepSampling(w, h, fullSize, true)};
    if (!fullSize)
        rules.push_back(EighthSampling(w, h));
    int best = -1;
    for (const PreviewSampling& s : rules) {
        const int d = Difference(run, reference, s);
        if (d >= 0 && (best < 0 || d < best))
            best = d;
    }
    return best;
}

// Against the plain decode, and the decoder's CMYK through the table.
int Judge(const std::string& path, const QuorvelRun& run, const RgbImage& reference, bool fullSize)
{
    int d = BestDifference(run, reference, fullSize);
    RgbImage cmyk;
    if (d != 0 && DecodeCmykThroughTable(path, reference.width, reference.height, &cmyk)) {
        const int c = BestDifference(run, cmyk, fullSize);
        if (c >= 0 && (d < 0 || c < d))
            d = c;
    }
    return d;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    const std::filesystem::path file = std::filesystem::absolute(argv[1]);
    // The reader comes from the extension: link the file under its reader's one.
    char dir[] = "/tmp/quorvel-sweep-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 2;
    const std::string path = std::string(dir) + "/file" + ReaderExtension(file);
    std::filesystem::create_symlink(file, path);

    QuorvelRun full = RunQuorvel(path, 2);
    QuorvelRun fitted = RunQuorvel(path, 1);
    RunQuorvel(path, 0);
    // Every decoder: which of them read the file, and the closest judgement
    // (they differ where a format leaves room: 16-bit grey, alpha, damage).
    static const char* const kPeers[] = {"pillow", "magick", "vips"};
    bool decoded = false;
    int d = -1;
    std::string how = "fitted";
    std::string peers;
    RgbImage reference;
    for (int oracle = 0; oracle < 3; ++oracle) {
        RgbImage candidate;
        const bool read = oracle == 0   ? DecodeWithPillow(path, &candidate)
                          : oracle == 1 ? DecodeWithImageMagick(path, &candidate)
                                        : DecodeWithVips(path, &candidate);
        if (!read)
            continue;
        peers += (peers.empty() ? "" : ",") + std::string(kPeers[oracle]);
        if (!decoded)
            reference = candidate;
        decoded = true;
        if (fitted.ok != 1 || d == 0)
            continue;
        int e = Judge(path, fitted, candidate, false);
        std::string eHow = "fitted";
        if (e != 0 && full.ok == 1) {
            const int f = Judge(path, full, candidate, true);
            if (f >= 0 && (e < 0 || f < e)) {
                e = f;
                eHow = "full";
            }
        }
        if (e >= 0 && (d < 0 || e < d)) {
            d = e;
            how = eHow + " (" + kPeers[oracle] + ")";
        }
    }

    std::string status;
    std::string detail;
    if (fitted.ok != 1) {
        detail = RefusalName(fitted.why);
        status = fitted.why == Refusal::None ? "no-reason" : decoded ? "refused" : "all-refused";
    } else if (!decoded) {
        status = "oracle-refused";
    } else {
        status = d == 0 ? "match" : d > 0 && d <= 8 ? "close" : "mismatch";
        detail = d < 0 ? "size " + std::to_string(fitted.width) + "x" + std::to_string(fitted.height) + " vs " +
                             std::to_string(reference.width) + "x" + std::to_string(reference.height)
                       : how + " max diff " + std::to_string(d);
    }
    std::printf("%s\t%s\t%s\t%s\n", status.c_str(), detail.c_str(), peers.empty() ? "-" : peers.c_str(),
                file.c_str());
    std::filesystem::remove_all(dir);
    return status == "no-reason" ? 1 : 0;
}
