// The GetQuorvel export and the library's application object.
#include "quorvel.h"

#include "Quorvel.h"

#include "FormatTable.h"
#include "ImageIo.h"
#include "cvt_test.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

// The host's record, as a 32-bit host lays it out: 4-byte pointers, fields
// one after another without gaps.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(void*) == 4, "the 32-bit DLL has 4-byte pointers");
#endif
static_assert(sizeof(void*) != 4 ||
                  (sizeof(ImageSummary) == 40 && offsetof(ImageSummary, fWidthInches) == 0 &&
                   offsetof(ImageSummary, fHeightInches) == 4 && offsetof(ImageSummary, nPreviewWidth) == 8 &&
                   offsetof(ImageSummary, nPreviewHeight) == 12 && offsetof(ImageSummary, aReserved) == 16 &&
                   offsetof(ImageSummary, pPreviewBits) == 32 && offsetof(ImageSummary, nFlag) == 36),
              "ImageSummary layout of the 32-bit host");

namespace {

// The library's one application object: no name, no behaviour.
class CQuorvelApp : public CWinApp {
public:
    CQuorvelApp() : CWinApp(nullptr) {}
};
CQuorvelApp theApp;

// Physical size in inches; a resolution that is not a positive number counts
// as the default 72 pixels per inch, so a damaged header never yields an
// infinite or negative size.
float UsedResolution(float resolution)
{
    return resolution > 0 && std::isfinite(resolution) ? resolution : 72.0f;
}

float Inches(uint32_t pixels, float resolution)
{
    resolution = UsedResolution(resolution);
    return static_cast<float>(static_cast<double>(pixels) / static_cast<double>(resolution));
}

void ClearSummary(ImageSummary* summary)
{
    *summary = ImageSummary{};
    summary->nFlag = 1;
}

}  // namespace

int GetQuorvelWithReason(const char* path, ImageSummary* summary, int32_t mode, const char* hostDir,
                         Refusal* why, QuorvelDetails* details)
{
    Refusal ignored = Refusal::None;
    if (why == nullptr)
        why = &ignored;
    *why = Refusal::None;
    // Calls on other threads may overlap this one: files they hold are
    // waited for, and CMYK previews convert through this call's own copy of
    // the table.
    ExportCallScope call;
    std::optional<ColourCallScope> colour;
    if (mode != 0) {
        try {
            colour.emplace(hostDir);
        } catch (...) {
            // The table's absence is the loader's to report; the call goes on.
        }
    }
    if (summary == nullptr) {
        *why = Refusal::NoSummary;
        return 0;
    }
    ClearSummary(summary);
    if (path == nullptr) {
        *why = Refusal::CannotOpen;
        return 0;
    }

    unsigned char* bits = nullptr;
    std::unique_ptr<CImageIo> reader;
    // The reader's own reason when it gave one, else the step's.
    const auto refuse = [&](Refusal fallback) {
        *why = reader && reader->Reason() != Refusal::None ? reader->Reason() : fallback;
        return 0;
    };
    try {
        reader.reset(CreateImageReader(path));
        if (!reader) {
            const FormatInfo* row = FindFormat(FormatFromExtension(path));
            *why = row == nullptr ? Refusal::NoExtension : row->create == nullptr ? Refusal::NoReader
                                                                                 : Refusal::OutOfMemory;
            return 0;
        }
        if (!reader->OpenPicture(path))
            return refuse(Refusal::CannotOpen);
        if (!reader->ReadHeader())
            return refuse(Refusal::NotAPicture);  // the reader's destructor closes the file

        int32_t width = 0;
        int32_t height = 0;
        if (mode != 0) {
            if (mode == 2)
                reader->m_bFullSize = 1;
            if (!reader->MakeDib(&width, &height, &bits)) {
                bits = nullptr;  // a failed MakeDib leaves nothing to release
                return refuse(Refusal::PreviewFailed);
            }
        }
        const float widthInches = Inches(reader->m_nWidth, reader->m_fXRes);
        const float heightInches = Inches(reader->m_nHeight, reader->m_fYRes);
        reader->ClosePicture();

        summary->fWidthInches = widthInches;
        summary->fHeightInches = heightInches;
        if (mode != 0) {
            summary->nPreviewWidth = static_cast<int32_t>(reader->m_nDibWidth);
            summary->nPreviewHeight = static_cast<int32_t>(reader->m_nDibHeight);
            summary->pPreviewBits = bits;
        }
        summary->nFlag = 1;
        if (details != nullptr) {
            details->xDpi = UsedResolution(reader->m_fXRes);
            details->yDpi = UsedResolution(reader->m_fYRes);
        }
        return 1;
    } catch (const std::bad_alloc&) {
        ImageFree(&bits);
        ClearSummary(summary);
        return refuse(Refusal::OutOfMemory);
    } catch (...) {
        // A file exception inside a reader: give back a preview already
        // made; the reader goes with its file.
        ImageFree(&bits);
        ClearSummary(summary);
        return refuse(Refusal::ReadError);
    }
}

extern "C" QUORVEL_API int QUORVEL_CALL GetQuorvel(const char* path, ImageSummary* summary,
                                                   int32_t mode, const char* hostDir)
{
    return GetQuorvelWithReason(path, summary, mode, hostDir, nullptr);
}
