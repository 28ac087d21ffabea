#include "../RuntimeError.h"

#include "Win32.h"

namespace pinfile {

Text win32::DescribeError(DWORD code) {
    LPWSTR buffer = nullptr;
    const DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD length =
        FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    Text text(buffer != nullptr ? buffer : L"", length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text;
}

void RaiseSystemError(const std::string& what, int code) {
    throw RuntimeError(what + ": " + ToUtf8(win32::DescribeError(static_cast<DWORD>(code))) + " (" +
                       std::to_string(code) + ")");
}

}  // namespace pinfile
