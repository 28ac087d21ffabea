// What the last restart did, on Windows. The system carries its list out silently and drops
// what failed, so pinfile records, for each operation it queues, what the restart must leave
// (ExpectedAtRestart), and the first run after a restart compares that with what it finds.
//
// "After a restart" is told by a volatile registry key, ThisBoot, which the system drops at
// every restart (Wine: whenever its server starts anew, which is when it carries the list out).
// The outcome is kept as a value of that key, so it lasts exactly until the next restart, and a
// key that holds it tells every later run of the boot that the check is done. The boot time
// would not do under Wine, where it is the host's and stays the same across its restarts.
#include "LastRestart.h"

#include <wincrypt.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "../FileSystem.h"
#include "../LastRestart.h"
#include "Records.h"
#include "Win32.h"

namespace pinfile {

namespace {

using win32::OwnedKey;

constexpr const wchar_t* kPinfileKey = L"SOFTWARE\\pinfile";
constexpr const wchar_t* kExpectedKey = L"SOFTWARE\\pinfile\\ExpectedAtRestart";
constexpr const wchar_t* kThisBoot = L"ThisBoot";  // under kPinfileKey, volatile
constexpr const wchar_t* kOutcomeValue = L"LastRestart";

// A record's value name: what the restart must do, and the name it acts on (the staged file
// of a replacement, the file to delete), in its normal form.
constexpr TextView kReplacePrefix = L"replace ";
constexpr TextView kDeletePrefix = L"delete ";

// A SHA-256 digest: 256 bits.
constexpr std::size_t kSha256Bytes = 32;
using Digest = std::array<BYTE, kSha256Bytes>;

// When the operation was queued, so that the outcome tells them in the order of the list
// (the registry keeps no order of values). Every record's data starts with it.
using QueuedAt = ULONGLONG;

// What a replacement must leave in the target's place. Its record's data goes on with this,
// then the target's name.
struct Produced {
    ULONGLONG size = 0;
    FILETIME lastWrite{};
    Digest sha256{};
};

bool operator==(const Produced& a, const Produced& b) {
    return a.size == b.size && CompareFileTime(&a.lastWrite, &b.lastWrite) == 0 &&
           a.sha256 == b.sha256;
}

// A CryptoAPI provider and hash. CryptoAPI lives in advapi32, which every run loads anyway;
// CNG's bcrypt.dll would be one more library for every start (under Wine with gnutls behind it).
struct ProviderKind {
    using Value = HCRYPTPROV;
    static Value None() { return 0; }
    static bool Holds(Value provider) { return provider != 0; }
    static void Close(Value provider) { CryptReleaseContext(provider, 0); }
};

struct HashKind {
    using Value = HCRYPTHASH;
    static Value None() { return 0; }
    static bool Holds(Value hash) { return hash != 0; }
    static void Close(Value hash) { CryptDestroyHash(hash); }
};

// The file's bytes from its start, whatever its position: SHA-256.
bool Sha256Of(HANDLE file, Digest& digest) {
    win32::Owned<ProviderKind> provider;
    win32::Owned<HashKind> hash;
    if (!CryptAcquireContextW(provider.Receive(), nullptr, nullptr, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT) ||
        !CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Receive())) {
        return false;
    }
    std::vector<BYTE> buffer(win32::kFileChunkBytes);
    for (ULONGLONG offset = 0;;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32U);
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, &at)) {
            if (GetLastError() != ERROR_HANDLE_EOF) return false;
            read = 0;
        }
        if (read == 0) break;
        if (!CryptHashData(hash.Get(), buffer.data(), read, 0)) return false;
        offset += read;
    }
    auto size = static_cast<DWORD>(digest.size());
    return CryptGetHashParam(hash.Get(), HP_HASHVAL, digest.data(), &size, 0) &&
           size == digest.size();
}

bool ProducedOf(HANDLE file, Produced& produced) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) return false;
    produced.size =
        (static_cast<ULONGLONG>(information.nFileSizeHigh) << 32U) | information.nFileSizeLow;
    produced.lastWrite = information.ftLastWriteTime;
    return Sha256Of(file, produced.sha256);
}

Text ValueName(const PendingOperation& operation) {
    const bool deletion = operation.kind == PendingOperation::Kind::Delete;
    return Text(deletion ? kDeletePrefix : kReplacePrefix) + operation.source;
}

// ---- the records ----

struct Expectation {
    Text value;
    QueuedAt queuedAt = 0;
    PendingOperation operation;
    Produced produced;  // for a replacement
};

// The value's data, or nullopt when it is gone.
std::optional<std::vector<BYTE>> ValueData(HKEY key, const Text& value) {
    DWORD size = 0;
    if (RegQueryValueExW(key, value.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::vector<BYTE> data(size);
    if (RegQueryValueExW(key, value.c_str(), nullptr, nullptr, data.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    data.resize(size);
    return data;
}

std::optional<Expectation> ExpectationOf(const Text& value, std::vector<BYTE> data) {
    Expectation expected;
    expected.value = value;
    if (data.size() < sizeof(QueuedAt)) return std::nullopt;
    std::memcpy(&expected.queuedAt, data.data(), sizeof(QueuedAt));
    data.erase(data.begin(), data.begin() + sizeof(QueuedAt));
    expected.operation.byPinfile = true;
    const TextView name(value);
    if (name.starts_with(kDeletePrefix)) {
        expected.operation.kind = PendingOperation::Kind::Delete;
        expected.operation.source = name.substr(kDeletePrefix.size());
        return expected;
    }
    if (!name.starts_with(kReplacePrefix) || data.size() < sizeof(Produced) ||
        (data.size() - sizeof(Produced)) % sizeof(wchar_t) != 0) {
        return std::nullopt;
    }
    std::memcpy(&expected.produced, data.data(), sizeof(Produced));
    expected.operation.kind = PendingOperation::Kind::Replace;
    expected.operation.source = name.substr(kReplacePrefix.size());
    expected.operation.target.resize((data.size() - sizeof(Produced)) / sizeof(wchar_t));
    std::memcpy(expected.operation.target.data(), data.data() + sizeof(Produced),
                data.size() - sizeof(Produced));
    return expected;
}

std::vector<Expectation> ReadExpectations(HKEY key) {
    std::vector<Expectation> expectations;
    for (const Text& value : win32::ValueNames(key)) {
        const auto data = ValueData(key, value);
        const auto expected = data ? ExpectationOf(value, *data) : std::nullopt;
        if (expected) expectations.push_back(*expected);
    }
    std::stable_sort(
        expectations.begin(), expectations.end(),
        [](const Expectation& a, const Expectation& b) { return a.queuedAt < b.queuedAt; });
    return expectations;
}

// ---- the check ----

// The target holds what the staged file held: by its bytes, or, when something holds it so
// that it cannot be read, by its size and last-write time.
bool TargetIsTheStagedCopy(TextView target, const Produced& expected) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win32::OwnedHandle file(CreateFileW(win32::CallName(target).c_str(), GENERIC_READ, share,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                              nullptr));
    Produced found;
    if (file.Valid()) return ProducedOf(file.Get(), found) && found == expected;
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (GetLastError() != ERROR_SHARING_VIOLATION ||
        !GetFileAttributesExW(win32::CallName(target).c_str(), GetFileExInfoStandard,
                              &attributes)) {
        return false;
    }
    found.size =
        (static_cast<ULONGLONG>(attributes.nFileSizeHigh) << 32U) | attributes.nFileSizeLow;
    return found.size == expected.size &&
           CompareFileTime(&attributes.ftLastWriteTime, &expected.lastWrite) == 0;
}

// Why the restart did not carry the operation out, or nullopt when it did.
std::optional<LastRestart::Why> WhyNotCarriedOut(const Expectation& expected) {
    const PendingOperation& operation = expected.operation;
    if (operation.kind == PendingOperation::Kind::Delete) {
        return FindEntry(operation.source) ? std::optional(LastRestart::Why::TargetStillPresent)
                                           : std::nullopt;
    }
    if (TargetIsTheStagedCopy(operation.target, expected.produced)) return std::nullopt;
    return FindEntry(operation.source) ? LastRestart::Why::TargetUnchanged
                                       : LastRestart::Why::StagedFileMissing;
}

LastRestart Check(const std::vector<Expectation>& expectations) {
    LastRestart outcome;
    for (const Expectation& expected : expectations) {
        if (const auto why = WhyNotCarriedOut(expected)) {
            outcome.notCarriedOut.push_back({expected.operation, *why, 0});
        } else {
            ++outcome.carriedOut;
        }
    }
    return outcome;
}

std::vector<Expectation> ExpectationsNow() {
    OwnedKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kExpectedKey, 0, KEY_QUERY_VALUE, key.Receive()) !=
        ERROR_SUCCESS) {
        return {};
    }
    return ReadExpectations(key.Get());
}

// The outcome that the first run of this boot kept, if it did.
std::optional<LastRestart> KeptOutcome(HKEY thisBoot) {
    const auto data = ValueData(thisBoot, kOutcomeValue);
    if (!data) return std::nullopt;
    Text units(data->size() / sizeof(wchar_t), L'\0');
    std::memcpy(units.data(), data->data(), units.size() * sizeof(wchar_t));
    return DecodeLastRestart(units).value_or(LastRestart());
}

Status KeepOutcome(HKEY thisBoot, const LastRestart& outcome) {
    const Text units = EncodeLastRestart(outcome);
    return win32::RegistryStatus(RegSetValueExW(
        thisBoot, kOutcomeValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(units.data()),
        static_cast<DWORD>(units.size() * sizeof(wchar_t))));
}

// This boot's volatile key. Made under pinfile's own key, which must not be volatile itself:
// a key made in one call with its missing parents would make them volatile too.
Status OpenThisBoot(OwnedKey& thisBoot) {
    OwnedKey pinfile;
    const Status made = win32::RegistryStatus(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPinfileKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_CREATE_SUB_KEY, nullptr, pinfile.Receive(), nullptr));
    if (made.Failed()) return made;
    return win32::RegistryStatus(
        RegCreateKeyExW(pinfile.Get(), kThisBoot, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, thisBoot.Receive(), nullptr));
}

void SetExpectation(const Text& value, std::vector<BYTE> data) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const QueuedAt queuedAt =
        (static_cast<QueuedAt>(now.dwHighDateTime) << 32U) | now.dwLowDateTime;
    const auto* stamp = reinterpret_cast<const BYTE*>(&queuedAt);
    data.insert(data.begin(), stamp, stamp + sizeof queuedAt);
    OwnedKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kExpectedKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, key.Receive(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExW(key.Get(), value.c_str(), 0, REG_BINARY, data.data(),
                   static_cast<DWORD>(data.size()));
    // The record must outlive a power loss as the queued operation does.
    RegFlushKey(key.Get());
}

}  // namespace

LastRestart ReadLastRestart() {
    OwnedKey thisBoot;
    const Text name = Text(kPinfileKey) + L"\\" + kThisBoot;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_QUERY_VALUE, thisBoot.Receive()) ==
        ERROR_SUCCESS) {
        if (auto kept = KeptOutcome(thisBoot.Get())) return *kept;
    }
    // No run of this boot could keep it (none ran with the right to): what the check finds now.
    return Check(ExpectationsNow());
}

void NoteLastRestart() {
    OwnedKey thisBoot;
    if (OpenThisBoot(thisBoot).Failed() || KeptOutcome(thisBoot.Get())) return;
    OwnedKey key;
    const bool any = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kExpectedKey, 0,
                                   KEY_QUERY_VALUE | KEY_SET_VALUE, key.Receive()) == ERROR_SUCCESS;
    const std::vector<Expectation> expectations =
        any ? ReadExpectations(key.Get()) : std::vector<Expectation>();
    if (KeepOutcome(thisBoot.Get(), Check(expectations)).Failed()) return;
    // Checked once: the records go, those of operations carried out and the others alike. A
    // crash before they go leaves them for the check after the next restart, which then tells
    // them again; it never loses what this one found.
    for (const Expectation& expected : expectations)
        RegDeleteValueW(key.Get(), expected.value.c_str());
    if (any) RegFlushKey(key.Get());
}

namespace win32 {

void ExpectReplacement(TextView staged, HANDLE file, TextView target) {
    Produced produced;
    if (!ProducedOf(file, produced)) return;
    const Text targetName(target);
    std::vector<BYTE> data(sizeof produced + targetName.size() * sizeof(wchar_t));
    std::memcpy(data.data(), &produced, sizeof produced);
    std::memcpy(data.data() + sizeof produced, targetName.data(),
                targetName.size() * sizeof(wchar_t));
    PendingOperation operation;
    operation.kind = PendingOperation::Kind::Replace;
    operation.source = Text(staged);
    SetExpectation(ValueName(operation), data);
}

void ExpectDeletion(TextView name) {
    PendingOperation operation;
    operation.kind = PendingOperation::Kind::Delete;
    operation.source = Text(name);
    SetExpectation(ValueName(operation), {});
}

void ForgetExpectation(const PendingOperation& operation) {
    if (operation.kind != PendingOperation::Kind::Replace &&
        operation.kind != PendingOperation::Kind::Delete) {
        return;
    }
    OwnedKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kExpectedKey, 0, KEY_SET_VALUE, key.Receive()) ==
        ERROR_SUCCESS) {
        RegDeleteValueW(key.Get(), ValueName(operation).c_str());
    }
}

}  // namespace win32

}  // namespace pinfile
