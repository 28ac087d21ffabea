// The list as data: names of any bytes stay valid JSON and lose nothing, and the document
// holds what tools decide on.
#include <gtest/gtest.h>

#include "output/Json.h"
#include "output/ListJson.h"
#include "output/QueueWording.h"

namespace pinfile {
namespace {

Text T(const char8_t* utf8) { return FromUtf8(utf8); }

// A name that is not valid text on the platform, and its fields as the JSON writes them.
#if defined(_WIN32)
const Text kInvalidName(L"a\xD800z");
const Text kInvalidFields = LR"("target":"a\\ud800z","target_raw":"0061d800007a")";
#else
const Text kInvalidName("a\xffz");
const Text kInvalidFields = R"("target":"a\\xffz","target_raw":"61ff7a")";
#endif

TEST(ListJsonTest, NamesStayValidJsonAndInvalidTextKeepsItsRawUnits) {
    struct Case {
        Text name;
        Text field;
    } cases[] = {
        {T(u8"/usr/lib/libx.so"), T(u8R"({"target":"/usr/lib/libx.so"})")},
        {T(u8"Файл 😀.dll"), T(u8R"({"target":"Файл 😀.dll"})")},
        {T(u8"a\"b\\c\nd\x1f"), T(u8R"({"target":"a\"b\\c\u000ad\u001f"})")},
        {kInvalidName, T(u8"{") + kInvalidFields + T(u8"}")},
        // A C1 control is valid text: only the lines escape it.
        {T(u8"c1\u0085"), T(u8"{\"target\":\"c1\u0085\"}")},
#if !defined(_WIN32)
        // An overlong form, a surrogate, beyond U+10FFFF, a sequence cut short.
        {Text("\xc0\xaf"), R"({"target":"\\xc0\\xaf","target_raw":"c0af"})"},
        {Text("\xed\xa0\x80"), R"({"target":"\\xed\\xa0\\x80","target_raw":"eda080"})"},
        {Text("\xf4\x90\x80\x80"), R"({"target":"\\xf4\\x90\\x80\\x80","target_raw":"f4908080"})"},
        {Text("\xd0"), R"({"target":"\\xd0","target_raw":"d0"})"},
#else
        {Text(L"\xDC00"), LR"({"target":"\\udc00","target_raw":"dc00"})"},
#endif
    };
    for (const Case& c : cases) {
        EXPECT_EQ(json::Object().NameField("target", c.name).Close(), c.field) << ToUtf8(c.name);
    }
}

TEST(ListJsonTest, TheDocumentSaysWhetherPinfileWaitsForARestart) {
    PendingOperation others;
    others.kind = PendingOperation::Kind::Delete;
    others.source = T(u8"/x");
    EXPECT_EQ(ListAsJson({{}, {others}, false, {}}),
              T(u8R"({"schema":"pinfile-pending-list","version":1,"restart_required":false,)"
                u8R"("operations":[{"number":1,"kind":"delete","target":"/x",)"
                u8R"("made_by_pinfile":false,"state":"waiting"}],)"
                u8R"("last_restart":{"carried_out":0,"not_carried_out":[]}})"));
    PendingOperation ours;
    ours.kind = PendingOperation::Kind::Replace;
    ours.source = T(u8"/s");
    ours.target = T(u8"/t");
    ours.byPinfile = true;
    ours.unchecked = true;
    const Text document = ListAsJson({{}, {others, ours}, false, {}});
    EXPECT_NE(document.find(T(u8R"("restart_required":true)")), Text::npos);
    EXPECT_NE(document.find(T(u8R"({"number":2,"kind":"replace","target":"/t","source":"/s",)"
                              u8R"("made_by_pinfile":true,"state":"unchecked"})")),
              Text::npos);
}

TEST(ListJsonTest, TheLastRestartTellsEachOperationItDidNotCarryOutAndWhy) {
    using Why = LastRestart::Why;
    using Kind = PendingOperation::Kind;
    struct Case {
        Kind kind;
        Text target;
        Why why;
        Text json;
    } cases[] = {
        {Kind::Replace, T(u8"/t"), Why::StagedFileMissing,
         T(u8R"({"kind":"replace","target":"/t","source":"/s","why":"staged_file_missing"})")},
        {Kind::Replace, T(u8"/t"), Why::TargetUnchanged,
         T(u8R"({"kind":"replace","target":"/t","source":"/s","why":"target_unchanged"})")},
        {Kind::Delete, T(u8"/s"), Why::TargetStillPresent,
         T(u8R"({"kind":"delete","target":"/s","why":"target_still_present"})")},
        {Kind::Replace, kInvalidName, Why::TargetUnchanged,
         T(u8R"({"kind":"replace",)") + kInvalidFields +
             T(u8R"(,"source":"/s","why":"target_unchanged"})")},
        {Kind::Delete, T(u8"/s"), Why::Failed,
         T(u8R"({"kind":"delete","target":"/s","why":"failed","error":{"code":21,"text":)")},
    };
    for (const Case& c : cases) {
        LastRestart last;
        last.carriedOut = 2;
        PendingOperation operation;
        operation.kind = c.kind;
        operation.source = T(u8"/s");
        if (c.kind != Kind::Delete) operation.target = c.target;
        last.notCarriedOut.push_back({operation, c.why, c.why == Why::Failed ? 21 : 0});
        const Text document = ListAsJson({}, last);
        const Text head = T(u8R"("last_restart":{"carried_out":2,"not_carried_out":[)") + c.json;
        EXPECT_NE(document.find(head), Text::npos) << ToUtf8(document);
        // Kept between runs as it was told.
        const auto kept = DecodeLastRestart(EncodeLastRestart(last));
        ASSERT_TRUE(kept.has_value());
        EXPECT_EQ(ListAsJson({}, *kept), document);
    }
    EXPECT_FALSE(DecodeLastRestart(EncodeLastRestart({}).substr(1)).has_value());
}

// A journal past 2 GiB: the line tells the damaged stretch as the JSON does, not cut to 32 bits.
TEST(QueueWordingTest, ADamagedStretchPastTwoGibibytesKeepsItsNumbers) {
    PendingOperation damaged;
    damaged.kind = PendingOperation::Kind::Damaged;
    damaged.size = 3'000'000'000U;
    damaged.offset = 5'000'000'000U;
    EXPECT_EQ(DescribeOperation(damaged),
              T(u8"Повреждённая запись: 3000000000 байт со смещения 5000000000"));
}

}  // namespace
}  // namespace pinfile
