// What the shared platform code asks of the backend in use. Internal to platform/.
#pragma once

#include <cstddef>
#include <vector>

#include "Text.h"

namespace pinfile::backend {

// The process's own arguments, without the program name (each backend's Console.cpp, which
// keeps what the process was started with).
std::vector<Text> ProcessArguments();

// The last component of a path without its extension: the name a program goes by (the
// shared Console.cpp).
Text ProgramStem(TextView path);

// How many code units at the start of text make one valid character (UTF-8 on POSIX, UTF-16
// on Windows): 0 when they are not valid text (each backend's Text.cpp).
std::size_t CharacterLength(TextView text);

// How many code units at the start of a name make one character that may be shown as it
// is: 0 when the first unit is a control character (C0 or C1) or not valid text (each
// backend's Text.cpp).
std::size_t ShowableLength(TextView name);

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
