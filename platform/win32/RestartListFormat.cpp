// The system's list of operations for the next restart as the boot reads it: the strings of
// each value, and each pair of names as an operation.
#include <cstddef>
#include <vector>

#include "../FileSystem.h"
#include "RestartListFormat.h"

namespace pinfile::win32 {

namespace {

bool StartsWithText(TextView text, TextView prefix) {
    return text.size() >= prefix.size() && NamesMatch(text.substr(0, prefix.size()), prefix);
}

bool IsAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// The path after a prefix names a drive's folder ("C:\") or a share ("UNC\server\..."); the
// boot would find nothing else, and anything else after "\\.\" is a device.
bool IsPathAfterPrefix(TextView path) {
    if (StartsWithText(path, L"UNC\\")) {
        const TextView share = path.substr(4);
        return !share.empty() && share.front() != L'\\' && share.find(L'\\') != TextView::npos;
    }
    return path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == L':' && path[2] == L'\\';
}

}  // namespace

Text PlainName(TextView name) {
    constexpr TextView kPrefixes[] = {L"\\??\\", L"\\\\?\\", L"\\\\.\\"};
    for (const TextView prefix : kPrefixes) {
        if (!name.starts_with(prefix) || !IsPathAfterPrefix(name.substr(prefix.size()))) continue;
        const TextView path = name.substr(prefix.size());
        if (StartsWithText(path, L"UNC\\")) return L"\\\\" + Text(path.substr(4));
        return Text(path);
    }
    return Text(name);
}

namespace {

// One name of the list as the boot reads it: "!" (replace the target) and "@" in either
// order, then "*N" that newer systems write, then the path in its internal form.
struct ListedName {
    bool understood = false;
    bool replace = false;
    Text path;  // plain
};

ListedName ReadListedName(TextView name) {
    ListedName read;
    bool at = false;
    std::size_t i = 0;
    for (; i < name.size() && (name[i] == L'!' || name[i] == L'@'); ++i) {
        bool& seen = name[i] == L'!' ? read.replace : at;
        if (seen) return read;
        seen = true;
    }
    if (i < name.size() && name[i] == L'*') {
        const std::size_t digits = ++i;
        while (i < name.size() && IsAsciiDigit(name[i])) ++i;
        if (i == digits) return read;
    }
    const TextView path = name.substr(i);
    if (!path.starts_with(L"\\??\\") && !path.starts_with(L"\\\\?\\")) return read;
    if (!IsPathAfterPrefix(path.substr(4))) return read;
    read.understood = true;
    read.path = PlainName(path);
    return read;
}

// A pair the list cannot make sense of, shown as the system holds it rather than guessed at;
// nothing withdraws it but a cancellation.
PendingOperation NotUnderstood(const Text& source, const Text& target) {
    PendingOperation operation;
    operation.kind = PendingOperation::Kind::NotUnderstood;
    operation.source = source;
    operation.target = target;
    return operation;
}

}  // namespace

std::vector<Text> SplitListStrings(const std::vector<wchar_t>& data) {
    std::vector<Text> strings;
    std::size_t start = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != L'\0') continue;
        strings.emplace_back(data.data() + start, i - start);
        start = i + 1;
    }
    if (start < data.size()) strings.emplace_back(data.data() + start, data.size() - start);
    return strings;
}

// A source is never empty.
std::size_t ListOperationsEnd(const std::vector<Text>& strings) {
    std::size_t i = 0;
    while (i + 1 < strings.size() && !strings[i].empty()) i += 2;
    return i;
}

// A source carries no "!".
PendingOperation OperationOfPair(const Text& source, const Text& target) {
    const ListedName from = ReadListedName(source);
    if (!from.understood || from.replace) return NotUnderstood(source, target);
    PendingOperation operation;
    operation.source = from.path;
    if (target.empty()) {
        operation.kind = PendingOperation::Kind::Delete;
        return operation;
    }
    const ListedName to = ReadListedName(target);
    if (!to.understood) return NotUnderstood(source, target);
    operation.kind = to.replace ? PendingOperation::Kind::Replace : PendingOperation::Kind::Move;
    operation.target = to.path;
    return operation;
}

}  // namespace pinfile::win32
