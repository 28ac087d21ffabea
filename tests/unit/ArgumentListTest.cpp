// Splitting a command text into arguments by the Windows rules, on both builds. The program
// itself splits a text only in a run hosted in a development environment, which never happens
// in a plain console run; an unhosted run takes the arguments the platform split for it
// (CommandLineToArgvW on Windows, argv on POSIX).
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "platform/CommandLine.h"

namespace pinfile {
namespace {

struct SplitCase {
    const char8_t* text;
    std::vector<const char8_t*> expected;
};

// Shown in test names and failures as the command text, not as the bytes of pointers.
void PrintTo(const SplitCase& split, std::ostream* out) {
    *out << '"' << reinterpret_cast<const char*>(split.text) << '"';
}

class SplitCommandTextTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandTextTest, SplitsLikeTheWindowsRuntime) {
    std::vector<Text> expected;
    for (const char8_t* item : GetParam().expected) expected.push_back(FromUtf8(item));
    EXPECT_EQ(SplitCommandText(FromUtf8(GetParam().text)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitCommandTextTest,
    testing::Values(SplitCase{u8"", {}}, SplitCase{u8"   \t ", {}},
                    SplitCase{u8"/C a.dll", {u8"/C", u8"a.dll"}},
                    SplitCase{u8"  /C\t a.dll  b.dll ", {u8"/C", u8"a.dll", u8"b.dll"}},
                    SplitCase{u8"\"C:\\Program Files\\x.dll\" y",
                              {u8"C:\\Program Files\\x.dll", u8"y"}},
                    SplitCase{u8"a\"b c\"d", {u8"ab cd"}}, SplitCase{u8"\"\"", {u8""}},
                    SplitCase{u8"/C a \"\"", {u8"/C", u8"a", u8""}},
                    SplitCase{u8"a\\\\b", {u8"a\\\\b"}}, SplitCase{u8"a\\\"b", {u8"a\"b"}},
                    SplitCase{u8"a\\\\\"b c\"", {u8"a\\b c"}},
                    SplitCase{u8"a\\\\\\\"b", {u8"a\\\"b"}},
                    SplitCase{u8"C:\\dir\\ next", {u8"C:\\dir\\", u8"next"}},
                    SplitCase{u8"\"C:\\dir\\\\\" next", {u8"C:\\dir\\", u8"next"}},
                    SplitCase{u8"\"a \"\"quoted\"\" word\"", {u8"a \"quoted\" word"}},
                    SplitCase{u8"\"open quote runs to end", {u8"open quote runs to end"}},
                    SplitCase{u8"/D \"Файл с пробелом.dll\"", {u8"/D", u8"Файл с пробелом.dll"}}));

TEST(ArgumentListTest, ParseReplacesTheListAndItemChecksTheIndex) {
    ArgumentList list({FromUtf8(u8"old")});
    list.Parse(FromUtf8(u8"/c \"x y\" z"), true);
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Item(0), FromUtf8(u8"/c"));
    EXPECT_EQ(list.Item(1), FromUtf8(u8"x y"));
    EXPECT_EQ(list.Item(2), FromUtf8(u8"z"));
    EXPECT_THROW(list.Item(3), std::exception);
    EXPECT_THROW(list.Item(-1), std::exception);
}

}  // namespace
}  // namespace pinfile
