/*
 * quorvel.h - public interface of the quorvel image-information library.
 *
 * A host calls GetQuorvel with the path of a picture and receives its physical
 * size in inches and, on request, a 24-bit preview; ConvertBWTiff converts a
 * TIFF file between black-and-white and colour.  Calls may overlap on
 * several threads: each gives what it would give alone (see the README's
 * "Threads").
 */
#ifndef QUORVEL_H
#define QUORVEL_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32) && !defined(QUORVEL_BUILDING)
#include <windows.h>
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define QUORVEL_CALL __stdcall
#else
#define QUORVEL_CALL
#endif

#if defined(_WIN32)
#define QUORVEL_API /* exported by the .def file under the decorated names */
#elif defined(__GNUC__)
#define QUORVEL_API __attribute__((visibility("default")))
#else
#define QUORVEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Filled by GetQuorvel.  On failure every field is zero except nFlag. */
typedef struct ImageSummary {
    float fWidthInches;          /* source width / horizontal pixels per inch */
    float fHeightInches;         /* source height / vertical pixels per inch */
    int32_t nPreviewWidth;       /* preview width in pixels, 0 without preview */
    int32_t nPreviewHeight;      /* preview height in pixels, 0 without preview */
    uint32_t aReserved[4];       /* always 0 */
    unsigned char *pPreviewBits; /* bottom-up 24-bit rows (blue, green, red),
                                    each padded to 4 bytes; owned by the host */
    int32_t nFlag;               /* always 1 */
} ImageSummary;

#if defined(__cplusplus)
static_assert(sizeof(void *) != 4 || sizeof(ImageSummary) == 40,
              "ImageSummary must be 40 bytes on 32-bit hosts");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(void *) != 4 || sizeof(ImageSummary) == 40,
               "ImageSummary must be 40 bytes on 32-bit hosts");
#endif

/* Preview modes for GetQuorvel. */
#define QUORVEL_SIZE_ONLY 0
#define QUORVEL_PREVIEW_FITTED 1 /* fitted into 200 x 200 pixels */
#define QUORVEL_PREVIEW_FULL 2   /* at the picture's own size */

/*
 * Reports the physical size of the picture at `path` and, when `mode` is not
 * 0, a preview.  `hostDir` names the directory beside which the "color"
 * directory holding otd.cvt lies; it is used only when `mode` is not 0.
 * Returns 1 on success, 0 on failure.
 */
QUORVEL_API int QUORVEL_CALL GetQuorvel(const char *path, ImageSummary *summary,
                                        int32_t mode, const char *hostDir);

/*
 * Converts the TIFF file `source` and writes the result to `destination`:
 * with `colour` (0x00BBGGRR) not 0 black pixels take that colour; with 0 a
 * colour picture is reduced to black and white.  Returns 1 when written.
 */
QUORVEL_API int QUORVEL_CALL ConvertBWTiff(const char *source, const char *destination,
                                           uint32_t colour);

/*
 * Releases a preview block received in ImageSummary::pPreviewBits.  The
 * pointer-sized word just before the pixels holds the base of the global
 * memory allocation; the block is released through that base.  A null
 * pointer is ignored.
 */
#if !defined(_WIN32) || !defined(QUORVEL_BUILDING)
static inline void QuorvelFreePreview(unsigned char *bits)
{
    void *base;
    if (bits == NULL)
        return;
    memcpy(&base, bits - sizeof(void *), sizeof base);
#if defined(_WIN32)
    GlobalFree((HGLOBAL)base);
#else
    free(base);
#endif
}
#endif

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_H */
