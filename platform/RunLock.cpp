#include "RunLock.h"

#include <cstdlib>

namespace pinfile {

int RunWaitSeconds() {
    constexpr int kTenMinutes = 600;
    const char* shortened = std::getenv("PINFILE_TEST_RUN_WAIT");
    if (shortened == nullptr) return kTenMinutes;
    char* end = nullptr;
    const long seconds = std::strtol(shortened, &end, 10);
    if (end == shortened || *end != '\0' || seconds <= 0 || seconds >= kTenMinutes) {
        return kTenMinutes;
    }
    return static_cast<int>(seconds);
}

}  // namespace pinfile
