// The one way the POSIX backend meets a system call that a signal interrupted.
#pragma once

#include <cerrno>

namespace pinfile::posix {

// Calls a system call again for as long as a signal interrupts it; its last result.
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

}  // namespace pinfile::posix
