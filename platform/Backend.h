// What the shared platform code asks of the backend in use. Internal to platform/.
#pragma once

#include <vector>

#include "Text.h"

namespace pinfile::backend {

// The process's own arguments, without the program name.
std::vector<Text> ProcessArguments();

// Path separators of the platform; the first is the one to write.
bool IsSeparator(NativeChar c);
inline constexpr NativeChar kPreferredSeparator =
#if defined(_WIN32)
    L'\\';
#else
    '/';
#endif

// The exit status of a run whose operation waits for the restart: the platform's own
// "success, restart required" code where it has one (ERROR_SUCCESS_REBOOT_REQUIRED).
inline constexpr int kQueuedExitStatus =
#if defined(_WIN32)
    3010;
#else
    3;
#endif

}  // namespace pinfile::backend
