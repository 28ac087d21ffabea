// The system's list of operations for the next restart, read as the boot reads it.
#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <utility>
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

TEST(RestartListTest, PlainNameDropsEveryPrefixThatADriveOrShareFollows) {
    const std::vector<std::pair<const wchar_t*, const wchar_t*>> cases = {
        {L"\\??\\C:\\w\\b.dll", L"C:\\w\\b.dll"},
        {L"\\\\?\\C:\\w\\b.dll", L"C:\\w\\b.dll"},
        {L"\\\\.\\C:\\w\\b.dll", L"C:\\w\\b.dll"},
        {L"\\\\.\\q:\\b.dll", L"q:\\b.dll"},
        {L"\\\\?\\UNC\\srv\\share\\b.dll", L"\\\\srv\\share\\b.dll"},
        {L"\\\\.\\UNC\\srv\\share\\b.dll", L"\\\\srv\\share\\b.dll"},
        {L"\\??\\unc\\srv\\share\\b.dll", L"\\\\srv\\share\\b.dll"},
        {L"C:\\w\\b.dll", L"C:\\w\\b.dll"},
        // Devices and volumes are no drive's path: kept as given.
        {L"\\\\.\\NUL", L"\\\\.\\NUL"},
        {L"\\\\.\\C:", L"\\\\.\\C:"},
        {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
        {L"\\\\?\\Volume{0}\\b.dll", L"\\\\?\\Volume{0}\\b.dll"},
        {L"\\\\.\\UNC\\srv", L"\\\\.\\UNC\\srv"},
    };
    for (const auto& [given, plain] : cases) EXPECT_EQ(PlainName(given), plain) << ToUtf8(given);
}

// A folder of its own in the temporary folder, with one file of a long name in it.
class NormalNameTest : public testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0U);
        folder_ = Text(temp) + L"normal-name-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        file_ = folder_ + L"\\Long Library Name.dll";
        const OwnedHandle made(CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(made.Valid());
    }
    void TearDown() override {
        DeleteFileW(file_.c_str());
        RemoveDirectoryW(folder_.c_str());
    }
    Text folder_;
    Text file_;
};

TEST_F(NormalNameTest, EverySpellingOfAFileHasOneNormalName) {
    wchar_t brief[MAX_PATH];
    ASSERT_NE(GetShortPathNameW(file_.c_str(), brief, MAX_PATH), 0U);
    Text lower = file_;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
    Text slashes = file_;
    for (wchar_t& c : slashes) c = c == L'\\' ? L'/' : c;
    const Text normal = NormalName(file_);
    const std::size_t slash = file_.find_last_of(L'\\');
    EXPECT_EQ(normal.substr(normal.find_last_of(L'\\')), file_.substr(slash));
    const std::vector<Text> spellings = {
        L"\\\\.\\" + file_,
        L"\\\\?\\" + file_,
        L"\\??\\" + file_,
        lower,
        slashes,
        brief,
        file_ + L". .",
        L"\\\\.\\" + file_ + L"..",
        folder_ + L"\\..\\" + folder_.substr(folder_.find_last_of(L'\\') + 1) + file_.substr(slash),
    };
    for (const Text& spelling : spellings) {
        EXPECT_EQ(NormalName(spelling), normal) << ToUtf8(spelling);
        EXPECT_EQ(NormalName(NormalName(spelling)), normal) << ToUtf8(spelling);
    }
    // A file that is not there keeps its last component, and the folder's normal form.
    EXPECT_EQ(NormalName(L"\\\\.\\" + folder_ + L"\\Gone.dll"),
              normal.substr(0, normal.find_last_of(L'\\') + 1) + L"Gone.dll");
}

struct LeafCase {
    const wchar_t* listed;
    bool mayName;
};

// The file "Long Library Name.dll", whose folder keeps the 8.3 name "LONGLI~1.DLL".
TEST(RestartListTest, OnlyALastComponentThatMayNameTheFileIsWorthOpeningItsFolder) {
    const std::vector<Text> names = {L"Long Library Name.dll", L"LONGLI~1.DLL"};
    const std::vector<LeafCase> cases = {
        {L"Long Library Name.dll", true},
        {L"LONG LIBRARY NAME.DLL", true},  // letter case aside
        {L"longli~1.dll", true},           // the 8.3 name
        {L"LONGLI~2.DLL", false},          // another file's 8.3 name
        {L"Long Library Name.dl", false},
        {L"Long Library Name.dll.old", false},
        {L"Long Library<", true},  // patterns that the folder's search reads
        {L"Long Library Name\"dll", true},
        {L"Long Library Name.dl>", true},
        {L"", false},
    };
    for (const LeafCase& c : cases) {
        EXPECT_EQ(MayNameFile(c.listed, names), c.mayName) << ToUtf8(c.listed);
    }
}

TEST(RestartListTest, FullPathKeepsOnlyAComponentThatNoPathRuleTouches) {
    const std::vector<LeafCase> cases = {
        {L"Long Library Name.dll", true},
        {L"LONGLI~1.DLL", true},
        {L"a", true},
        {L"lib.dll.", false},
        {L"lib.dll ", false},
        {L".", false},
        {L"..", false},
        {L"", false},
        {L"C:lib.dll", false},
        {L"nul.txt", false},
        {L"Com1.dll", false},
        {L"lpt9", false},
        {L"nul .txt", false},
        {L"CONOUT$", false},
        {L"component.dll", true},
        {L"null.dll", true},
        {L"com10.dll", true},
    };
    for (const LeafCase& c : cases) {
        EXPECT_EQ(FullPathKeepsComponent(c.listed), c.mayName) << ToUtf8(c.listed);
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
