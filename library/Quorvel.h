// The library's own entry point behind GetQuorvel, for its tools and tests:
// the same call, also telling why a picture was refused.
#pragma once

#include "Refusal.h"
#include "quorvel.h"

#include <cstdint>

// What a successful call learnt beyond the summary.
struct QuorvelDetails {
    // Pixels per inch the size was computed with: the file's own, or 72 when
    // it gives none.
    float xDpi = 0;
    float yDpi = 0;
};

// GetQuorvel with the reason of a failure in `why` (Refusal::None on
// success) and, on success, the details in `details`; both may be null.
int GetQuorvelWithReason(const char* path, ImageSummary* summary, int32_t mode, const char* hostDir,
                         Refusal* why, QuorvelDetails* details = nullptr);
