#include "unit_defaults.h"

#include <cstdlib>

namespace halclient {
namespace {

// An environment setting from `low` to `high`, else `otherwise`.
UInt32 envSetting(const char* name, long low, long high, UInt32 otherwise) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return otherwise;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && value >= low && value <= high ? static_cast<UInt32>(value) : otherwise;
}

}  // namespace

UInt32 defaultMaxFramesPerSlice() {
    return envSetting("QW_STANDIN_UNIT_MAX_FRAMES", 1, 8192, 1156);
}

UInt32 unitFormatLagMs() {
    return envSetting("QW_STANDIN_UNIT_FORMAT_LAG_MS", 0, 10000, 300);
}

}  // namespace halclient
