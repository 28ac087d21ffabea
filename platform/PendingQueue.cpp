#include "PendingQueue.h"

#include <cstdlib>

namespace pinfile {

int RunWaitSeconds() {
    constexpr int kTenMinutes = 600;
    const char* shortened = std::getenv("PINFILE_TEST_RUN_WAIT");
    if (shortened == nullptr) return kTenMinutes;
    const int seconds = std::atoi(shortened);
    return seconds > 0 && seconds < kTenMinutes ? seconds : kTenMinutes;
}

}  // namespace pinfile
