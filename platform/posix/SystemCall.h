// The one way the POSIX backend meets a system call's failure: the errno it leaves is taken
// into a Status at once, and a call that a signal interrupted is made again.
#pragma once

#include <cerrno>

#include "../Status.h"

namespace pinfile::posix {

// The failure that the system call which has just returned left in errno.
inline Status LastError() { return Status(errno); }

// The status of a system call that returns 0 on success and -1 with errno on failure.
inline Status Checked(int result) { return result == 0 ? Status() : LastError(); }

// Calls a system call again for as long as a signal interrupts it; its last result.
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

}  // namespace pinfile::posix
