// The system's list of operations for the next restart, read as the boot reads it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/RestartList.h"

namespace pinfile::win32 {
namespace {

using Kind = PendingOperation::Kind;

struct PairCase {
    const wchar_t* source;
    const wchar_t* target;
    Kind kind;
    const wchar_t* plainSource;  // for a pair that is understood
    const wchar_t* plainTarget;
};

TEST(RestartListTest, ReadsEachPairInTheFormsTheBootKnows) {
    const std::vector<PairCase> cases = {
        {L"\\??\\C:\\a.dll", L"", Kind::Delete, L"C:\\a.dll", L""},
        {L"\\??\\C:\\t.tmp", L"!\\??\\C:\\a.dll", Kind::Replace, L"C:\\t.tmp", L"C:\\a.dll"},
        {L"\\??\\C:\\t.tmp", L"\\??\\C:\\a.dll", Kind::Move, L"C:\\t.tmp", L"C:\\a.dll"},
        {L"\\\\?\\C:\\a.dll", L"", Kind::Delete, L"C:\\a.dll", L""},
        {L"\\??\\UNC\\srv\\share\\a", L"", Kind::Delete, L"\\\\srv\\share\\a", L""},
        {L"\\??\\unc\\srv\\share\\a", L"", Kind::Delete, L"\\\\srv\\share\\a", L""},
        {L"\\??\\C:\\t", L"@!\\??\\C:\\a", Kind::Replace, L"C:\\t", L"C:\\a"},
        {L"\\??\\C:\\t", L"!@\\??\\C:\\a", Kind::Replace, L"C:\\t", L"C:\\a"},
        {L"\\??\\C:\\t", L"*1\\??\\C:\\a", Kind::Move, L"C:\\t", L"C:\\a"},
        {L"@\\??\\C:\\a", L"", Kind::Delete, L"C:\\a", L""},
        // Forms the boot would not carry out are kept as the system holds them.
        {L"\\??\\C:\\t", L"!!\\??\\C:\\a", Kind::NotUnderstood, nullptr, nullptr},
        {L"\\??\\C:\\t", L"*\\??\\C:\\a", Kind::NotUnderstood, nullptr, nullptr},
        {L"!\\??\\C:\\t", L"", Kind::NotUnderstood, nullptr, nullptr},
        {L"C:\\plain", L"", Kind::NotUnderstood, nullptr, nullptr},
        {L"\\??\\relative\\a", L"", Kind::NotUnderstood, nullptr, nullptr},
        {L"\\??\\UNC\\srv", L"", Kind::NotUnderstood, nullptr, nullptr},
        {L"\\??\\C:\\t", L"!C:\\a", Kind::NotUnderstood, nullptr, nullptr},
    };
    for (const PairCase& c : cases) {
        const PendingOperation operation = OperationOfPair(c.source, c.target);
        const std::string pair = ToUtf8(c.source) + " -> " + ToUtf8(c.target);
        EXPECT_EQ(operation.kind, c.kind) << pair;
        EXPECT_EQ(operation.source, c.plainSource != nullptr ? c.plainSource : c.source) << pair;
        EXPECT_EQ(operation.target, c.plainTarget != nullptr ? c.plainTarget : c.target) << pair;
    }
}

struct ValueCase {
    std::wstring data;
    std::vector<Text> strings;
    std::size_t end;
};

TEST(RestartListTest, SplitsAValueAndEndsItsPairsAtTheEmptySource) {
    using namespace std::string_literals;
    const std::vector<ValueCase> cases = {
        {L"a\0b\0\0"s, {L"a", L"b", L""}, 2},
        {L"a\0\0"s, {L"a", L""}, 2},  // a lone last source: deleted, as the boot reads it
        {L"a\0b\0\0c\0d\0"s, {L"a", L"b", L"", L"c", L"d"}, 2},
        {L"a\0b"s, {L"a", L"b"}, 2},  // the closing NUL lost
        {L"a\0b\0c\0\0"s, {L"a", L"b", L"c", L""}, 4},
        {L""s, {}, 0},
    };
    for (const ValueCase& c : cases) {
        const std::vector<wchar_t> data(c.data.begin(), c.data.end());
        const std::vector<Text> strings = SplitListStrings(data);
        EXPECT_EQ(strings, c.strings) << c.data.size() << " units";
        EXPECT_EQ(ListOperationsEnd(strings), c.end) << c.data.size() << " units";
    }
}

}  // namespace
}  // namespace pinfile::win32
