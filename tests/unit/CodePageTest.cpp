// Redirected output keeps the console's code page only where that page holds the program's
// Russian text, and only for a line that the page holds whole; elsewhere it is UTF-8, so that
// nothing is lost and no name is shown as another.
#include <gtest/gtest.h>

#include "platform/win32/Win32.h"

namespace pinfile::win32 {
namespace {

TEST(CodePageTest, OnlyPagesThatHoldCyrillicAreKept) {
    const struct {
        UINT codePage;
        bool holds;
    } cases[] = {{437, false}, {850, false},  {1252, false},  {866, true},
                 {1251, true}, {20866, true}, {CP_UTF8, true}};
    for (const auto& c : cases) EXPECT_EQ(HoldsCyrillic(c.codePage), c.holds) << c.codePage;
}

TEST(CodePageTest, ATextThatThePageCannotHoldIsUtf8AndNeverALookAlike) {
    const struct {
        const wchar_t* text;
        UINT codePage;
        const char* bytes;
    } cases[] = {
        {L"Ёж.dll", 866, "\xf0\xa6.dll"},
        {L"Ёж.dll", 1251, "\xa8\xe6.dll"},
        {L"Müller_库.dll", 866, "M\xc3\xbcller_\xe5\xba\x93.dll"},  // not "Muller_?.dll"
        {L"Müller.dll", 1251, "M\xc3\xbcller.dll"},
        {L"Müller.dll", 1252, "M\xfcller.dll"},
        {L"", 866, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeLosslessly(c.text, c.codePage), c.bytes) << c.codePage;
    }
}

}  // namespace
}  // namespace pinfile::win32
