// The Windows restart list's parser on any value that a program may have written to
// PendingFileRenameOperations: the split loses no unit, the pairs end where the boot stops,
// a pair in no known form stays as the system holds it, and one that is understood reads the
// same when written again in the internal form.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Check.h"
#include "platform/FileSystem.h"
#include "platform/win32/RestartListFormat.h"

namespace pinfile {

// Windows compares names by ordinal, ignoring case; the parser compares only ASCII prefixes
// ("UNC\"), where folding ASCII letters is the same rule.
bool NamesMatch(TextView first, TextView second) {
    const auto fold = [](wchar_t c) { return c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c; };
    if (first.size() != second.size()) return false;
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (fold(first[i]) != fold(second[i])) return false;
    }
    return true;
}

}  // namespace pinfile

namespace {

using pinfile::PendingOperation;
using pinfile::Text;
using Kind = PendingOperation::Kind;

// A plain name in the internal form that the list holds.
Text InternalName(const Text& plain) {
    if (plain.starts_with(L"\\\\")) return L"\\??\\UNC\\" + plain.substr(2);
    return L"\\??\\" + plain;
}

void CheckSplit(const std::vector<wchar_t>& data, const std::vector<Text>& strings) {
    std::vector<wchar_t> joined;
    for (const Text& string : strings) {
        joined.insert(joined.end(), string.begin(), string.end());
        joined.push_back(L'\0');
    }
    if (!data.empty() && data.back() != L'\0') joined.pop_back();
    FUZZ_CHECK(joined == data);
}

void CheckPair(const Text& source, const Text& target) {
    const PendingOperation operation = pinfile::win32::OperationOfPair(source, target);
    if (operation.kind == Kind::NotUnderstood) {
        FUZZ_CHECK(operation.source == source && operation.target == target);
        return;
    }
    FUZZ_CHECK((operation.kind == Kind::Delete) == target.empty());
    FUZZ_CHECK(operation.kind != Kind::Damaged);
    const Text mark = operation.kind == Kind::Replace ? L"!" : L"";
    const Text rewritten =
        operation.kind == Kind::Delete ? Text() : mark + InternalName(operation.target);
    const PendingOperation again =
        pinfile::win32::OperationOfPair(InternalName(operation.source), rewritten);
    FUZZ_CHECK(again.kind == operation.kind);
    FUZZ_CHECK(again.source == operation.source && again.target == operation.target);
}

}  // namespace

// The bytes are the registry value: UTF-16 units, little-endian.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<wchar_t> value;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        value.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8U)));
    }
    const std::vector<Text> strings = pinfile::win32::SplitListStrings(value);
    CheckSplit(value, strings);
    const std::size_t end = pinfile::win32::ListOperationsEnd(strings);
    FUZZ_CHECK(end % 2 == 0 && end <= strings.size());
    for (std::size_t i = 0; i < end; i += 2) CheckPair(strings[i], strings[i + 1]);
    return 0;
}
