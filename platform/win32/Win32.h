// Shared by the Windows backend's sources only.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
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

// The one name by which every spelling of a file is known in pinfile's records and in the
// restart list: the full path without the "\\?\", "\\.\" or "\??\" prefix (a share as
// "\\server\share"), trailing dots and spaces gone as the system drops them, the folder as
// the system resolves it (its own drive for a mapped or substituted one, links followed, long
// names) and the file's long name as the folder lists it. Letter case still differs for a file
// that does not exist; names compare without it. Where the folder cannot be asked, the plain
// full path.
Text NormalName(TextView name);

// A file as the system tells it from every other while it exists: its volume's serial number
// and its index on that volume. A name proves nothing; this does.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

inline FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& information) {
    return {information.dwVolumeSerialNumber, information.nFileIndexHigh,
            information.nFileIndexLow};
}

// Files are read in pieces of this size: a library of many megabytes takes few calls, and one
// piece is small enough to allocate at once.
inline constexpr std::size_t kFileChunkBytes = std::size_t{1} << 20U;

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

// The text in the code page when the page holds every character of it, otherwise in UTF-8,
// which holds any text: never a look-alike ("u" for "ü") or a question mark in its place.
std::string EncodeLosslessly(TextView text, UINT codePage);

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

// Owns what a system call handed out, and gives it back the one way its kind is given back
// (Kind: the value's type, what holds none, and how it is closed).
template <typename Kind>
class Owned {
  public:
    using Value = typename Kind::Value;
    Owned() = default;
    explicit Owned(Value value) : value_(value) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Reset(Kind::None()); }
    bool Valid() const { return Kind::Holds(value_); }
    Value Get() const { return value_; }
    // For the call that hands a value out; only while none is held.
    Value* Receive() { return &value_; }
    void Reset(Value value) {
        if (Valid()) Kind::Close(value_);
        value_ = value;
    }
    // Gives up ownership: the caller gives the value back.
    Value Release() { return std::exchange(value_, Kind::None()); }

  private:
    Value value_ = Kind::None();
};

// A kernel object handle; INVALID_HANDLE_VALUE and null both mean none.
struct HandleKind {
    using Value = HANDLE;
    static Value None() { return nullptr; }
    static bool Holds(Value handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void Close(Value handle) { CloseHandle(handle); }
};
using OwnedHandle = Owned<HandleKind>;

// A search that FindFirstFileW began.
struct SearchKind : HandleKind {
    static void Close(Value search) { FindClose(search); }
};
using OwnedSearch = Owned<SearchKind>;

// An open registry key.
struct KeyKind {
    using Value = HKEY;
    static Value None() { return nullptr; }
    static bool Holds(Value key) { return key != nullptr; }
    static void Close(Value key) { RegCloseKey(key); }
};
using OwnedKey = Owned<KeyKind>;

// Memory that the system allocated with LocalAlloc (security descriptors, messages, the split
// command line).
struct LocalKind {
    using Value = HLOCAL;
    static Value None() { return nullptr; }
    static bool Holds(Value memory) { return memory != nullptr; }
    static void Close(Value memory) { LocalFree(memory); }
};
using LocalMemory = Owned<LocalKind>;

// Creates the file of one name, new, open in file; 0, or the system's error code.
using NumberedCreation = std::function<DWORD(const Text& name, OwnedHandle& file)>;

// Creates a new file named as GetTempFileNameW names them (the prefix, a number in up to four
// hex digits, ".tmp") in the folder, trying one number after another while a name is taken;
// its name, or empty when none can be had (error: why, ERROR_FILE_EXISTS when every number is
// taken).
Text CreateNumberedFile(TextView folder, TextView prefix, const NumberedCreation& create,
                        OwnedHandle& file, DWORD& error);

}  // namespace pinfile::win32
