// File-name services of the utility library, and names as the programs show them.
#include <gtest/gtest.h>

#include <ostream>

#include "platform/Text.h"
#include "platform/UtilityLibrary.h"

namespace pinfile {
namespace {

struct BuildCase {
    const char8_t* directory;
    const char8_t* name;
    const char8_t* expected;
};

// Shown in test names and failures as the texts, not as the bytes of pointers.
void PrintTo(const BuildCase& build, std::ostream* out) {
    *out << '"' << reinterpret_cast<const char*>(build.directory) << "\" + \""
         << reinterpret_cast<const char*>(build.name) << '"';
}

class BuildFileNameTest : public testing::TestWithParam<BuildCase> {};

TEST_P(BuildFileNameTest, PutsExactlyOneSeparatorBetween) {
    EXPECT_EQ(ulBuildFileName(FromUtf8(GetParam().directory), FromUtf8(GetParam().name)),
              FromUtf8(GetParam().expected));
}

#if defined(_WIN32)
INSTANTIATE_TEST_SUITE_P(Windows, BuildFileNameTest,
                         testing::Values(BuildCase{u8"C:\\windows\\system32", u8"a.dll",
                                                   u8"C:\\windows\\system32\\a.dll"},
                                         BuildCase{u8"C:\\", u8"a.dll", u8"C:\\a.dll"},
                                         BuildCase{u8"C:/lib/", u8"a.dll", u8"C:/lib/a.dll"},
                                         BuildCase{u8"C:\\lib", u8"\\a.dll", u8"C:\\lib\\a.dll"},
                                         BuildCase{u8"", u8"a.dll", u8"a.dll"}));
#else
INSTANTIATE_TEST_SUITE_P(
    Posix, BuildFileNameTest,
    testing::Values(BuildCase{u8"/usr/local/lib", u8"liba.so", u8"/usr/local/lib/liba.so"},
                    BuildCase{u8"/usr/local/lib/", u8"liba.so", u8"/usr/local/lib/liba.so"},
                    BuildCase{u8"/", u8"liba.so", u8"/liba.so"},
                    BuildCase{u8"lib", u8"/liba.so", u8"lib/liba.so"},
                    BuildCase{u8"", u8"liba.so", u8"liba.so"}));
#endif

struct FileNameCase {
    const char8_t* path;
    const char8_t* expected;
};

void PrintTo(const FileNameCase& name, std::ostream* out) {
    *out << '"' << reinterpret_cast<const char*>(name.path) << '"';
}

class GetFileNameTest : public testing::TestWithParam<FileNameCase> {};

TEST_P(GetFileNameTest, KeepsOnlyTheLastComponent) {
    EXPECT_EQ(ulGetFileName(FromUtf8(GetParam().path)), FromUtf8(GetParam().expected));
}

#if defined(_WIN32)
INSTANTIATE_TEST_SUITE_P(
    Windows, GetFileNameTest,
    testing::Values(FileNameCase{u8"C:\\dir\\Библиотека.dll", u8"Библиотека.dll"},
                    FileNameCase{u8"C:/dir/a.dll", u8"a.dll"},
                    FileNameCase{u8"dir/sub\\a.dll", u8"a.dll"}, FileNameCase{u8"a.dll", u8"a.dll"},
                    FileNameCase{u8"C:\\dir\\", u8""}));
#else
INSTANTIATE_TEST_SUITE_P(
    Posix, GetFileNameTest,
    testing::Values(FileNameCase{u8"/opt/Библиотека.so", u8"Библиотека.so"},
                    FileNameCase{u8"dir\\not-a-separator.so", u8"dir\\not-a-separator.so"},
                    FileNameCase{u8"liba.so", u8"liba.so"}, FileNameCase{u8"/opt/dir/", u8""}));
#endif

struct EscapeCase {
    const NativeChar* name;
    const NativeChar* shown;
};

void PrintTo(const EscapeCase& escape, std::ostream* out) {
    *out << testing::PrintToString(Text(escape.name));
}

class EscapedNameTest : public testing::TestWithParam<EscapeCase> {};

TEST_P(EscapedNameTest, ShowsANameOnOneLineWithoutControlCharacters) {
    EXPECT_EQ(EscapedName(GetParam().name), Text(GetParam().shown));
}

// The C1 controls (U+0080 to U+009F) are escaped as the C0 ones are; U+00A0 is text.
#if defined(_WIN32)
INSTANTIATE_TEST_SUITE_P(
    Windows, EscapedNameTest,
    testing::Values(EscapeCase{L"C:\\dir\\Библиотека.dll", L"C:\\dir\\Библиотека.dll"},
                    EscapeCase{L"a\nb\rc\td", L"a\\nb\\rc\\td"},
                    EscapeCase{L"\x1b[2J\x7f", L"\\x1b[2J\\x7f"},
                    EscapeCase{L"c1\x80\x9b\x9f\xa0", L"c1\\x80\\x9b\\x9f\xa0"},
                    EscapeCase{L"lone\xd800.\xdc00", L"lone\\ud800.\\udc00"},
                    EscapeCase{L"pair\xd83d\xde00", L"pair\xd83d\xde00"}));
#else
INSTANTIATE_TEST_SUITE_P(
    Posix, EscapedNameTest,
    testing::Values(EscapeCase{"/opt/Библиотека.so", "/opt/Библиотека.so"},
                    EscapeCase{"a\nb\rc\td", "a\\nb\\rc\\td"},
                    EscapeCase{"\x1b[2J\x7f", "\\x1b[2J\\x7f"},
                    EscapeCase{"back\\slash", "back\\\\slash"},
                    EscapeCase{"/srv/quo\"te", "/srv/quo\\\"te"},
                    EscapeCase{"c1\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0",
                               "c1\\xc2\\x80\\xc2\\x9b\\xc2\\x9f\xc2\xa0"},
                    // Not UTF-8: a stray byte, an overlong form, a surrogate, beyond U+10FFFF,
                    // a sequence cut short at the end.
                    EscapeCase{"\xff.\xc0\xaf.\xed\xa0\x80.\xf4\x90\x80\x80.\xd0",
                               "\\xff.\\xc0\\xaf.\\xed\\xa0\\x80.\\xf4\\x90\\x80\\x80.\\xd0"}));
#endif

}  // namespace
}  // namespace pinfile
