// Shared by the Windows backend's sources only.
#pragma once

#include <windows.h>

#include <string>

#include "../Text.h"

namespace pinfile::win32 {

// A null-terminated copy for the wide calls.
inline Text Z(TextView text) { return Text(text); }

// The text in the given code page (CP_UTF8 included).
std::string Encode(TextView text, UINT codePage);

// The platform's text for an error code, or empty when it has none.
Text DescribeError(DWORD code);

inline ErrorCode LastError() { return static_cast<ErrorCode>(GetLastError()); }

}  // namespace pinfile::win32
