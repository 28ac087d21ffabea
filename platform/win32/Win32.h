// Shared by the Windows backend's sources only.
#pragma once

#include <windows.h>

#include "../Text.h"

namespace pinfile::win32 {

// A null-terminated copy for the wide calls.
inline Text Z(TextView text) { return Text(text); }

// The platform's text for an error code, or empty when it has none.
Text DescribeError(DWORD code);

inline ErrorCode LastError() { return static_cast<ErrorCode>(GetLastError()); }

}  // namespace pinfile::win32
