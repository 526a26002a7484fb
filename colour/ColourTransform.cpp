// The colour transform entry: table loading and CMYK-to-RGB interpolation.
#include "cvt_test.h"

#include <cstddef>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

struct ColourSnapshot {
    unsigned char table[COLOUR_TABLE_USED];
    int32_t offsets[64];
};

namespace {

// Loads write the process-wide arrays; the lock keeps two loads, or a load
// and the copy that follows it, from interleaving.  Recursive because a
// scope's load goes through the transform entry.
std::recursive_mutex& TableLock()
{
    static std::recursive_mutex lock;
    return lock;
}

// The snapshot this thread's export call converts through, if any.
thread_local const ColourSnapshot* t_snapshot = nullptr;

// Bytes from one grid point to the next along each input axis.
constexpr int32_t kAxisStride[4] = {3, 3 * 17, 3 * 17 * 17, 3 * 17 * 17 * 17};

void RebuildGridOffsets()
{
    for (int d = 0; d < 4; ++d)
        for (int g = 0; g < 16; ++g)
            GridOffsets[16 * d + g] = g * kAxisStride[d];
}

unsigned char Clamp(int v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Puts the larger of two keys first, without a branch.
inline void PutLargerFirst(int& a, int& b)
{
    const int larger = a > b ? a : b;
    b = a > b ? b : a;
    a = larger;
}

// Simplex interpolation of one CMYK pixel: start at the corner of the grid
// cell holding the input and step one axis at a time, largest fraction
// first, to the opposite corner, weighting each step by its fraction in
// sixteenths.  One rounding at the end.
inline void InterpolatePixel(const unsigned char* table, const int32_t* offsets, const unsigned char in[4],
                             unsigned char out[3])
{
    int32_t b = offsets[in[0] >> 4] + offsets[16 + (in[1] >> 4)] + offsets[32 + (in[2] >> 4)] +
                offsets[48 + (in[3] >> 4)];
    // Key = fraction * 4 + (3 - axis): sorting the keys, largest first, orders
    // the axes by fraction with equal fractions keeping the lower axis first.
    int k0 = (in[0] & 15) << 2 | 3;
    int k1 = (in[1] & 15) << 2 | 2;
    int k2 = (in[2] & 15) << 2 | 1;
    int k3 = (in[3] & 15) << 2;
    PutLargerFirst(k0, k1);
    PutLargerFirst(k2, k3);
    PutLargerFirst(k0, k2);
    PutLargerFirst(k1, k3);
    PutLargerFirst(k1, k2);
    const int keys[4] = {k0, k1, k2, k3};

    const unsigned char* corner = table + b;
    const unsigned char* previous = corner;
    // Magnitudes stay below 4 * 255 * 15.
    int acc[3] = {0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        const int f = keys[i] >> 2;
        b += kAxisStride[3 - (keys[i] & 3)];
        const unsigned char* node = table + b;
        for (int t = 0; t < 3; ++t)
            acc[t] += (node[t] - previous[t]) * f;
        previous = node;
    }
    // >> on a negative int is an arithmetic shift (floor division by 16).
    for (int t = 0; t < 3; ++t)
        out[t] = Clamp(corner[t] + ((acc[t] + 8) >> 4));
}

void InterpolateInterleaved(const TransformArgs& args, bool reverse)
{
    const unsigned char* table = t_snapshot != nullptr ? t_snapshot->table : ColourTable;
    const int32_t* offsets = t_snapshot != nullptr ? t_snapshot->offsets : GridOffsets;
    for (uint32_t r = 0; r < args.nRows; ++r) {
        const unsigned char* in = args.pIn + static_cast<ptrdiff_t>(r) * args.nInStride;
        unsigned char* out = args.pOut + static_cast<ptrdiff_t>(r) * args.nOutStride;
        for (uint32_t x = 0; x < args.nCount; ++x, in += 4, out += 3) {
            unsigned char rgb[3];
            InterpolatePixel(table, offsets, in, rgb);
            if (reverse) {
                out[0] = rgb[2];
                out[1] = rgb[1];
                out[2] = rgb[0];
            } else {
                out[0] = rgb[0];
                out[1] = rgb[1];
                out[2] = rgb[2];
            }
        }
    }
}

void InterpolatePlanar(const TransformArgs& args)
{
    const unsigned char* table = t_snapshot != nullptr ? t_snapshot->table : ColourTable;
    const int32_t* offsets = t_snapshot != nullptr ? t_snapshot->offsets : GridOffsets;
    const ptrdiff_t inPlane = static_cast<ptrdiff_t>(args.nInStride) * args.nRows;
    const ptrdiff_t outPlane = static_cast<ptrdiff_t>(args.nOutStride) * args.nRows;
    for (uint32_t r = 0; r < args.nRows; ++r) {
        const unsigned char* in = args.pIn + static_cast<ptrdiff_t>(r) * args.nInStride;
        unsigned char* out = args.pOut + static_cast<ptrdiff_t>(r) * args.nOutStride;
        for (uint32_t x = 0; x < args.nCount; ++x) {
            const unsigned char cmyk[4] = {in[x], in[inPlane + x], in[2 * inPlane + x], in[3 * inPlane + x]};
            unsigned char rgb[3];
            InterpolatePixel(table, offsets, cmyk, rgb);
            out[x] = rgb[0];
            out[outPlane + x] = rgb[1];
            out[2 * outPlane + x] = rgb[2];
        }
    }
}

}  // namespace

int ColourTransform(int16_t mode, TransformArgs* args, int16_t* status)
{
    int16_t nStatus = 1;
    bool bReverse = false;
    int m = mode;
    if (m < 0) {
        bReverse = true;
        m = -m;  // -32768 becomes 32768, which no mode answers
    }
    int result = 1;
    switch (m) {
    case 0:
    case 1:
        if (args == nullptr) {
            nStatus = -1;
            break;
        }
        {
        std::lock_guard<std::recursive_mutex> lock(TableLock());
        RebuildGridOffsets();
        try {
            nStatus = LoadTableFile(args->pszBaseDir, args->pszTableDir);
        } catch (const CException&) {
            nStatus = -1;
            result = 0;
        } catch (const std::exception&) {
            nStatus = -1;
            result = 0;
        }
        }
        break;
    case 2:
        if (args != nullptr && args->pIn != nullptr && args->pOut != nullptr)
            InterpolateInterleaved(*args, bReverse);
        break;
    case 3:
        if (args != nullptr && args->pIn != nullptr && args->pOut != nullptr)
            InterpolatePlanar(*args);
        break;
    case 4: case 5: case 6: case 7: case 8: case 9:
        break;
    default:
        nStatus = 0;
        break;
    }
    if (status != nullptr)
        *status = nStatus;
    return result;
}

ColourCallScope::ColourCallScope(const char* hostDir) : m_previous(t_snapshot)
{
    // Consecutive calls that load the same table share one snapshot.
    static std::shared_ptr<const ColourSnapshot> s_last;
    std::lock_guard<std::recursive_mutex> lock(TableLock());
    try {
        LoadColourTable(hostDir);
    } catch (...) {
        // The table's absence is the loader's to report; the call goes on.
    }
    if (!s_last || std::memcmp(s_last->table, ColourTable, COLOUR_TABLE_USED) != 0 ||
        std::memcmp(s_last->offsets, GridOffsets, sizeof GridOffsets) != 0) {
        s_last.reset();
        try {
            auto fresh = std::make_shared<ColourSnapshot>();
            std::memcpy(fresh->table, ColourTable, COLOUR_TABLE_USED);
            std::memcpy(fresh->offsets, GridOffsets, sizeof GridOffsets);
            s_last = std::move(fresh);
        } catch (const std::bad_alloc&) {
            // Without memory for a copy the call reads the shared arrays.
        }
    }
    m_snapshot = s_last;
    t_snapshot = m_snapshot.get();
}

ColourCallScope::~ColourCallScope() { t_snapshot = m_previous; }
