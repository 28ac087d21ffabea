// Shared by the Windows backend's sources only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "../Status.h"
#include "../Text.h"

namespace pinfile::win32 {

// The name as a file call takes it at any length: a name too long for the plain form becomes
// the "\\?\" form of its full path; others stay as given.
Text CallName(TextView name);

// The full path of a name with its last component in the long form, where the file is there
// to ask (an 8.3 name becomes the long name).
Text LongFullName(TextView name);

// The full path of a name, however long.
Status FullPathName(TextView name, Text& full);

// The path of the program's own file.
Status ModuleFileName(Text& name);

// The same, for a caller that cannot go on without it: a failure is a run-time error.
Text ProgramFilePath();

// Whether the code page holds the program's Russian lines without loss; one that cannot (437,
// 850 and 1252, the defaults of Western Windows) would turn every letter into "?".
bool HoldsCyrillic(UINT codePage);

// The text in the given code page (CP_UTF8 included).
std::string Encode(TextView text, UINT codePage);

// The platform's text for an error code, or empty when it has none (RuntimeError.cpp).
Text DescribeError(DWORD code);

// The failure that the call which has just returned left for GetLastError.
inline Status LastError() { return Status(static_cast<ErrorCode>(GetLastError())); }

// The status that a registry call returns.
inline Status RegistryStatus(LSTATUS status) { return Status(static_cast<ErrorCode>(status)); }

// Asks a call that fills a buffer, and answers with the size it needs when the buffer is too
// small, until the answer fits.
template <typename Call>
Status Grown(Call call, Text& text) {
    std::vector<wchar_t> buffer(MAX_PATH);
    // The size may grow between the calls only if the system's answer changes meanwhile.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto length = static_cast<std::size_t>(call(buffer.data(), buffer.size()));
        if (length == 0) return LastError();
        if (length < buffer.size()) {
            text.assign(buffer.data(), length);
            return {};
        }
        buffer.resize(length + 1);
    }
    return Status(ERROR_INSUFFICIENT_BUFFER);
}

// Owns a kernel object handle; INVALID_HANDLE_VALUE and null both mean none.
class OwnedHandle {
  public:
    explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (Valid()) CloseHandle(handle_);
    }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    void Reset(HANDLE handle) {
        if (Valid()) CloseHandle(handle_);
        handle_ = handle;
    }

  private:
    HANDLE handle_;
};

// Creates a new file named as GetTempFileNameW names them (the prefix, a number in up to four
// hex digits, ".tmp") in the folder, with the given security and open with the given access
// and sharing; its name, or empty when none can be had (error: why, or 0 when every number
// is taken).
Text CreateNumberedFile(TextView folder, TextView prefix, SECURITY_ATTRIBUTES* security,
                        DWORD access, DWORD share, OwnedHandle& file, DWORD& error);

// Owns an open registry key.
class OwnedKey {
  public:
    OwnedKey() = default;
    OwnedKey(const OwnedKey&) = delete;
    OwnedKey& operator=(const OwnedKey&) = delete;
    ~OwnedKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    HKEY Get() const { return key_; }
    // For the call that opens the key; only while none is held.
    HKEY* Receive() { return &key_; }

  private:
    HKEY key_ = nullptr;
};

}  // namespace pinfile::win32
