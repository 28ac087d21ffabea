// Shared by the Windows backend's sources only.
#pragma once

#include <windows.h>

#include <string>

#include "../Text.h"

namespace pinfile::win32 {

// The name as a file call takes it at any length: a name too long for the plain form becomes
// the "\\?\" form of its full path; others stay as given.
Text CallName(TextView name);

// The full path of a name, however long; empty when the system cannot make one.
Text FullPathName(TextView name);

// The path of the program's own file; empty when the system cannot tell it.
Text ModuleFileName();

// The text in the given code page (CP_UTF8 included).
std::string Encode(TextView text, UINT codePage);

// The platform's text for an error code, or empty when it has none (RuntimeError.cpp).
Text DescribeError(DWORD code);

inline ErrorCode LastError() { return static_cast<ErrorCode>(GetLastError()); }

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

  private:
    HANDLE handle_;
};

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
