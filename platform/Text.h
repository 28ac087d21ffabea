// Text as the program handles it: the platform's own character type, so that file names
// pass through unchanged (UTF-16 on Windows, bytes on POSIX).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pinfile {

// PINFILE_WIDE_TEXT: Windows text in a native build, for the Windows backend's pure code that
// a fuzz target runs on the host (tests/fuzz).
#if defined(_WIN32) || defined(PINFILE_WIDE_TEXT)
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif

using Text = std::basic_string<NativeChar>;
using TextView = std::basic_string_view<NativeChar>;

// A system error code as the platform numbers it (GetLastError on Windows, errno on POSIX);
// zero means success.
using ErrorCode = std::int32_t;

// Fixed texts are written in the sources as UTF-8 literals and become native text here.
Text FromUtf8(std::u8string_view utf8);

// Native text as UTF-8, for diagnostics that leave the program as bytes.
std::string ToUtf8(TextView text);

// A file name for showing on one line: control characters and bytes (on Windows, code units)
// that are not valid text as C-style escapes (\n, \xff, \ud800); on POSIX a backslash is
// doubled so that an escape is never ambiguous, and a double quote is written \" so that it
// never ends a quoted name. Other names come back unchanged.
Text EscapedName(TextView name);

// Whether text is valid in the platform's encoding (UTF-8 on POSIX, UTF-16 on Windows):
// no stray or overlong bytes, no surrogate outside a pair, nothing beyond U+10FFFF. Control
// characters are valid text.
bool IsValidText(TextView text);

// The plain signed decimal form: no padding, no separators, a minus sign only when negative.
Text ToDecimal(std::int64_t value);

// The value as exactly that many lower-case hex digits (the low ones), without a prefix.
Text Hex(unsigned value, int digits);

// The runtime's string upper-casing (the platform's case mapping on Windows, ASCII on POSIX).
Text UpperCase(TextView text);

}  // namespace pinfile
