// The rules that both backends follow, written once: which waiting operation a later command
// withdraws, how staged files are named and told when none can be, the folder of a name and a
// program's name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Backend.h"
#include "platform/FileSystem.h"
#include "platform/PendingQueue.h"
#include "platform/StagedFile.h"
#include "platform/UtilityLibrary.h"

namespace pinfile {
namespace {

Text T(const char8_t* text) { return FromUtf8(text); }

using Kind = PendingOperation::Kind;

struct UndoCase {
    LaterCommand command;
    Kind kind;
    const char8_t* source;
    const char8_t* target;
    const char8_t* ownStaged;
    bool undoes;
};

// The command's file is "F"; every other name is another file.
TEST(UndoesLaterCommandTest, WithdrawsWhatWouldPutAnotherFileInPlaceOrTakeTheFileAway) {
    const auto C = LaterCommand::Copy;
    const auto D = LaterCommand::Delete;
    const std::vector<UndoCase> cases = {
        {C, Kind::Replace, u8"S", u8"F", u8"", true},         // an earlier copy onto it
        {D, Kind::Replace, u8"S", u8"F", u8"", true},         // a copy that would bring it back
        {C, Kind::Replace, u8"S", u8"F", u8"S", false},       // the command's own, just queued
        {C, Kind::Replace, u8"S", u8"F", u8"S2", true},       // another staged file's
        {C, Kind::Replace, u8"F", u8"G", u8"", true},         // moves the file away
        {C, Kind::Replace, u8"S", u8"G", u8"", false},        // another file's
        {C, Kind::Move, u8"F", u8"G", u8"", true},            // moves the file away
        {D, Kind::Move, u8"G", u8"F", u8"", true},            // moves another file in
        {C, Kind::Move, u8"F", u8"G", u8"F", true},           // only a replacement is ever own
        {C, Kind::Delete, u8"F", u8"", u8"", true},           // a deletion after a copy
        {D, Kind::Delete, u8"F", u8"", u8"", false},          // a deletion after a deletion
        {C, Kind::Delete, u8"G", u8"", u8"", false},          // another file's
        {C, Kind::NotUnderstood, u8"F", u8"F", u8"", false},  // only a cancellation takes it
        {C, Kind::Damaged, u8"F", u8"F", u8"", false},
    };
    for (const UndoCase& c : cases) {
        PendingOperation operation;
        operation.kind = c.kind;
        operation.source = T(c.source);
        operation.target = T(c.target);
        const auto isTheFile = [](TextView name) { return name == T(u8"F"); };
        EXPECT_EQ(UndoesLaterCommand(c.command, operation, T(c.ownStaged), isTheFile), c.undoes)
            << ToUtf8(operation.source) << " -> " << ToUtf8(operation.target) << ", own "
            << reinterpret_cast<const char*>(c.ownStaged);
    }
}

struct NameCase {
    StagedNameForm form;
    const char8_t* name;
    bool staged;
};

TEST(StagedFileNameTest, TellsStagedFilesByPrefixLettersAndTail) {
    const StagedNameForm hidden{true, 6, 6, false, u8".pinfile"};
    const StagedNameForm numbered{false, 1, 4, true, u8".tmp"};
    const std::vector<NameCase> cases = {
        {hidden, u8".TMPa8Kq2z.pinfile", true},
        {hidden, u8"TMPa8Kq2z.pinfile", false},    // not hidden
        {hidden, u8".TMPa8Kq2.pinfile", false},    // five letters
        {hidden, u8".TMPa8Kq2zz.pinfile", false},  // seven
        {hidden, u8".TMPa8Kq2z.pinfilex", false},  // another tail
        {hidden, u8".XYZa8Kq2z.pinfile", false},   // another prefix
        {hidden, u8".TMP-2024-.pinfile", false},   // letters that pinfile never writes
        {hidden, u8".TMPr e d.pinfile", false},
        {numbered, u8"TMP1.tmp", true},
        {numbered, u8"TMPFFFF.tmp", true},
        {numbered, u8"TMP.tmp", false},       // no number
        {numbered, u8"TMP12345.tmp", false},  // five digits
        {numbered, u8"TMPG1.tmp", false},     // not hex
        {kEarlierStagedNames, u8"TMPab12cd", true},
        {kEarlierStagedNames, u8"TMPab12cd.pinfile", false},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(IsStagedFileName(T(c.name), FromUtf8(kStagedPrefix), c.form), c.staged)
            << reinterpret_cast<const char*>(c.name);
    }
    // Prefix and tail compare as the platform compares file names.
#if defined(_WIN32)
    EXPECT_TRUE(IsStagedFileName(T(u8"tmpa1.TMP"), T(u8"TMP"), numbered));
#else
    EXPECT_FALSE(IsStagedFileName(T(u8".tmpa8Kq2z.pinfile"), T(u8"TMP"), hidden));
#endif
}

TEST(StagedFileNameTest, MakesNamesItTellsAsStaged) {
    const Text letters(kStagedNames.mostLetters, NativeChar('A'));  // a hex digit too
    const Text name = StagedFileName(T(u8"TMP"), letters, kStagedNames);
    EXPECT_TRUE(IsStagedFileName(name, T(u8"TMP"))) << ToUtf8(name);
}

// A folder with no staged name left is a failure of its own code, told apart from any other
// refusal and from a staged file that was made.
TEST(StagedFileTest, NoNameLeftIsAFailureWithItsOwnCode) {
    const StagedFile none{Status(kNoStagedNameLeft)};
    EXPECT_TRUE(none.Failure().Failed());
    EXPECT_TRUE(none.NoNameLeft());
    EXPECT_FALSE(StagedFile(Status(kNoStagedNameLeft + 1)).NoNameLeft());
    EXPECT_FALSE(StagedFile().NoNameLeft());
}

struct PathCase {
    const char8_t* path;
    const char8_t* expected;
};

TEST(FolderOfTest, IsThePathBeforeTheLastComponent) {
    const std::vector<PathCase> cases = {
        {u8"/usr/lib/libx.so", u8"/usr/lib"},
        {u8"/libx.so", u8"/"},
        {u8"/", u8"/"},
        {u8"libx.so", u8"."},
        {u8"lib//libx.so", u8"lib/"},
        {u8"lib/", u8"lib"},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(FolderOf(T(c.path)), T(c.expected)) << reinterpret_cast<const char*>(c.path);
    }
}

TEST(ProgramStemTest, IsTheLastComponentWithoutItsExtension) {
    const std::vector<PathCase> cases = {
        {u8"/usr/sbin/pinfile", u8"pinfile"},
        {u8"/opt/pinfile-pending.exe", u8"pinfile-pending"},
        {u8"dir.d/pinfile", u8"pinfile"},
        {u8"pinfile.1.exe", u8"pinfile.1"},
        {u8"/opt/.pinfile", u8".pinfile"},  // a leading dot is no extension
        {u8"", u8""},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(backend::ProgramStem(T(c.path)), T(c.expected))
            << reinterpret_cast<const char*>(c.path);
    }
}

}  // namespace
}  // namespace pinfile
