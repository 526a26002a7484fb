// The ConvertBWTiff export.
#include "quorvel.h"

extern "C" QUORVEL_API int QUORVEL_CALL ConvertBWTiff(const char*, const char*, uint32_t)
{
    // TIFF conversion is not available yet.
    return 0;
}
