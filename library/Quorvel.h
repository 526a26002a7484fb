// The library's own entry point behind GetQuorvel, for its tools and tests:
// the same call, also telling why a picture was refused.
#pragma once

#include "Refusal.h"
#include "quorvel.h"

#include <cstdint>

// GetQuorvel with the reason of a failure in `why` (Refusal::None on
// success); `why` may be null.
int GetQuorvelWithReason(const char* path, ImageSummary* summary, int32_t mode, const char* hostDir,
                         Refusal* why);
