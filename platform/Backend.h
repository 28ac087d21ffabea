// What the shared platform code asks of the backend in use. Internal to platform/.
#pragma once

#include <vector>

#include "Text.h"

namespace pinfile::backend {

// The process's own arguments, without the program name (each backend's Console.cpp, which
// keeps what the process was started with).
std::vector<Text> ProcessArguments();

// Path separators of the platform; the first is the one to write (each backend's
// UtilityLibrary.cpp, beside the shared path functions of UtilityLibrary.cpp).
bool IsSeparator(NativeChar c);
inline constexpr NativeChar kPreferredSeparator =
#if defined(_WIN32)
    L'\\';
#else
    '/';
#endif

}  // namespace pinfile::backend
