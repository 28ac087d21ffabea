// Redirected output keeps the console's code page only where that page holds the program's
// Russian text; elsewhere it is UTF-8, so that nothing is lost.
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

}  // namespace
}  // namespace pinfile::win32
