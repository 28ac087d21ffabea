// File-name services of the utility library and the texts the commands build.
#include <gtest/gtest.h>

#include <ostream>

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

TEST(ToDecimalTest, PlainSignedDecimal) {
    EXPECT_EQ(ToDecimal(5), FromUtf8(u8"5"));
    EXPECT_EQ(ToDecimal(0), FromUtf8(u8"0"));
    EXPECT_EQ(ToDecimal(1234567), FromUtf8(u8"1234567"));
    EXPECT_EQ(ToDecimal(-2147483647 - 1), FromUtf8(u8"-2147483648"));
}

TEST(UpperCaseTest, MapsTheSwitchLetters) {
    EXPECT_EQ(UpperCase(FromUtf8(u8"/c")), FromUtf8(u8"/C"));
    EXPECT_EQ(UpperCase(FromUtf8(u8"/d")), FromUtf8(u8"/D"));
    EXPECT_EQ(UpperCase(FromUtf8(u8"/copy:")), FromUtf8(u8"/COPY:"));
}

}  // namespace
}  // namespace pinfile
