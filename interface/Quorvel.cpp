// The GetQuorvel export, format dispatch and the library's application object.
#include "quorvel.h"

#include "ITiffIO.h"
#include "ImageIo.h"
#include "cvt_test.h"
#include "iBmpIo.h"
#include "iJpegIo.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

namespace {

// The library's one application object: no name, no behaviour.
class CQuorvelApp : public CWinApp {
public:
    CQuorvelApp() : CWinApp(nullptr) {}
};
CQuorvelApp theApp;

struct ExtensionEntry {
    const char* ext;
    FormatId id;
};

const ExtensionEntry kExtensions[] = {
    {"bmp", FMT_BMP}, {"rle", FMT_BMP}, {"eps", FMT_EPS}, {"gif", FMT_GIF},
    {"jpg", FMT_JPEG}, {"jpe", FMT_JPEG}, {"pcx", FMT_PCX}, {"pcd", FMT_PCD},
    {"pic", FMT_PICT}, {"pct", FMT_PICT}, {"raw", FMT_RAW}, {"rbw", FMT_RBW},
    {"sct", FMT_SCT}, {"tga", FMT_TGA}, {"tif", FMT_TIFF}, {"awd", FMT_AWD},
    {"png", FMT_PNG}, {"pxr", FMT_PXR}, {"psd", FMT_PSD},
};

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Physical size in inches; a resolution that is not a positive number counts
// as the default 72 pixels per inch, so a damaged header never yields an
// infinite or negative size.
float Inches(uint32_t pixels, float resolution)
{
    if (!(resolution > 0) || !std::isfinite(resolution))
        resolution = 72.0f;
    return static_cast<float>(static_cast<double>(pixels) / static_cast<double>(resolution));
}

void ClearSummary(ImageSummary* summary)
{
    *summary = ImageSummary{};
    summary->nFlag = 1;
}

}  // namespace

FormatId FormatFromExtension(const char* name)
{
    if (name == nullptr)
        return FMT_NONE;
    const size_t length = std::strlen(name);
    if (length < 4)
        return FMT_NONE;
    const char* tail = name + length - 4;
    if (tail[0] != '.')
        return FMT_NONE;
    const char ext[3] = {LowerAscii(tail[1]), LowerAscii(tail[2]), LowerAscii(tail[3])};
    for (const ExtensionEntry& entry : kExtensions) {
        if (std::memcmp(entry.ext, ext, 3) == 0)
            return entry.id;
    }
    return FMT_NONE;
}

namespace {
ReaderFactory g_testFactory = nullptr;
}

void SetReaderFactoryForTesting(ReaderFactory factory) { g_testFactory = factory; }

CImageIo* CreateImageReader(const char* name)
{
    if (g_testFactory != nullptr) {
        if (CImageIo* reader = g_testFactory(name))
            return reader;
    }
    switch (FormatFromExtension(name)) {
    case FMT_BMP:
        return new (std::nothrow) CBmpIo(name);
    case FMT_JPEG:
        return new (std::nothrow) CJpegIo(name);
    case FMT_TIFF:
        return new (std::nothrow) CTiffIo(name);
    default:
        return nullptr;
    }
}

extern "C" QUORVEL_API int QUORVEL_CALL GetQuorvel(const char* path, ImageSummary* summary,
                                                   int32_t mode, const char* hostDir)
{
    if (mode != 0) {
        try {
            LoadColourTable(hostDir);
        } catch (...) {
            // The table's absence is the loader's to report; the call goes on.
        }
    }
    if (summary == nullptr)
        return 0;
    ClearSummary(summary);
    if (path == nullptr)
        return 0;

    unsigned char* bits = nullptr;
    try {
        std::unique_ptr<CImageIo> reader(CreateImageReader(path));
        if (!reader)
            return 0;
        if (!reader->m_file.Open(path, CFile::modeRead | CFile::shareExclusive))
            return 0;
        if (!reader->ReadHeader())
            return 0;  // the reader's destructor closes the file

        int32_t width = 0;
        int32_t height = 0;
        if (mode != 0) {
            if (mode == 2)
                reader->m_bFullSize = 1;
            if (!reader->MakeDib(&width, &height, &bits)) {
                bits = nullptr;  // a failed MakeDib leaves nothing to release
                return 0;
            }
        }
        const float widthInches = Inches(reader->m_nWidth, reader->m_fXRes);
        const float heightInches = Inches(reader->m_nHeight, reader->m_fYRes);
        reader->m_file.Close();

        summary->fWidthInches = widthInches;
        summary->fHeightInches = heightInches;
        if (mode != 0) {
            summary->nPreviewWidth = static_cast<int32_t>(reader->m_nDibWidth);
            summary->nPreviewHeight = static_cast<int32_t>(reader->m_nDibHeight);
            summary->pPreviewBits = bits;
        }
        summary->nFlag = 1;
        return 1;
    } catch (...) {
        // A file exception (or an allocation failure) inside a reader: the
        // reader is gone with its file; give back a preview already made.
        ImageFree(&bits);
        ClearSummary(summary);
        return 0;
    }
}
