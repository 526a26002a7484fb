#include "Refusal.h"

#include <cstddef>

namespace {

struct RefusalInfo {
    const char* name;
    const char* text;
};

const RefusalInfo kRefusals[] = {
#define QUORVEL_REFUSAL_INFO(name, text) {#name, text},
    QUORVEL_REFUSALS(QUORVEL_REFUSAL_INFO)
#undef QUORVEL_REFUSAL_INFO
};

const RefusalInfo& Info(Refusal why)
{
    const size_t k = static_cast<size_t>(why);
    return k < sizeof kRefusals / sizeof kRefusals[0] ? kRefusals[k] : kRefusals[0];
}

}  // namespace

const char* RefusalText(Refusal why) { return Info(why).text; }

const char* RefusalName(Refusal why) { return Info(why).name; }
