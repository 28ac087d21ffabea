// The list as data: names of any bytes stay valid JSON and lose nothing, and the document
// holds what tools decide on.
#include <gtest/gtest.h>

#include "pending/ListJson.h"

namespace pinfile {
namespace {

Text T(const char8_t* utf8) { return FromUtf8(utf8); }

TEST(ListJsonTest, NamesStayValidJsonAndInvalidTextKeepsItsRawUnits) {
#if defined(_WIN32)
    const Text invalid(L"a\xD800z");
    const Text invalidField = LR"(,"target":"a\\ud800z","target_raw":"0061d800007a")";
#else
    const Text invalid("a\xffz");
    const Text invalidField = R"(,"target":"a\\xffz","target_raw":"61ff7a")";
#endif
    struct Case {
        Text name;
        Text field;
    } cases[] = {
        {T(u8"/usr/lib/libx.so"), T(u8R"(,"target":"/usr/lib/libx.so")")},
        {T(u8"Файл 😀.dll"), T(u8R"(,"target":"Файл 😀.dll")")},
        {T(u8"a\"b\\c\nd\x1f"), T(u8R"(,"target":"a\"b\\c\u000ad\u001f")")},
        {invalid, invalidField},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonNameField(u8"target", c.name), c.field);
}

TEST(ListJsonTest, TheDocumentSaysWhetherPinfileWaitsForARestart) {
    PendingOperation others;
    others.kind = PendingOperation::Kind::Delete;
    others.source = T(u8"/x");
    EXPECT_EQ(ListAsJson({0, {others}, false, {}}),
              T(u8R"({"schema":"pinfile-pending-list","version":1,"restart_required":false,)"
                u8R"("operations":[{"number":1,"kind":"delete","target":"/x",)"
                u8R"("made_by_pinfile":false,"state":"waiting"}]})"));
    PendingOperation ours;
    ours.kind = PendingOperation::Kind::Replace;
    ours.source = T(u8"/s");
    ours.target = T(u8"/t");
    ours.byPinfile = true;
    ours.unchecked = true;
    const Text document = ListAsJson({0, {others, ours}, false, {}});
    EXPECT_NE(document.find(T(u8R"("restart_required":true)")), Text::npos);
    EXPECT_NE(document.find(T(u8R"({"number":2,"kind":"replace","target":"/t","source":"/s",)"
                              u8R"("made_by_pinfile":true,"state":"unchecked"})")),
              Text::npos);
}

}  // namespace
}  // namespace pinfile
