#include "../RuntimeError.h"

#include "Win32.h"

#include <cstdlib>

namespace pinfile {

Text win32::DescribeError(DWORD code) {
    win32::LocalMemory buffer;
    const DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD length = FormatMessageW(flags, nullptr, code, 0,
                                        reinterpret_cast<LPWSTR>(buffer.Receive()), 0, nullptr);
    Text text(buffer.Valid() ? static_cast<const wchar_t*>(buffer.Get()) : L"", length);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text;
}

void RaiseSystemError(const std::string& what, int code) {
    throw RuntimeError(what + ": " + ToUtf8(win32::DescribeError(static_cast<DWORD>(code))) + " (" +
                       std::to_string(code) + ")");
}

}  // namespace pinfile

// Every exception is caught where the run starts, so the runtime's own handler for one that
// escapes would only ever name a type that never escapes. Its default, which prints the
// type's demangled name, brings the whole C++ name demangler into the executable (about a
// tenth of its size); this definition takes its place and simply ends the process.
namespace __gnu_cxx {  // NOLINT(cert-dcl58-cpp): the runtime looks the handler up by this name
void __verbose_terminate_handler() {  // NOLINT(bugprone-reserved-identifier)
    std::abort();
}
}  // namespace __gnu_cxx
