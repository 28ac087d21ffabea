// What the journal, the durable helpers and the naming of an unnamed file leave on disk when a
// system call fails on the way.
#include <fcntl.h>

#include "InjectedFailures.h"
#include "platform/StagedFile.h"
#include "platform/posix/MarkedFiles.h"
#include "platform/posix/journal/JournalFile.h"

namespace pinfile::posix::testing {
namespace {

using Kind = JournalRecord::Kind;
using State = RecordState;

JournalRecord Named(Kind kind, const char* staged, const char* target) {
    JournalRecord record;
    record.kind = kind;
    record.staged = staged;
    record.target = target;
    record.targetFolder.inode = 1;  // a record with identities
    return record;
}

const JournalRecord kReplace = Named(Kind::Replace, "/a/.TMPab12cd.pinfile", "/a/lib.so");
const JournalRecord kDelete = Named(Kind::Delete, "", "/b/old.so");
const JournalRecord kThird = Named(Kind::Delete, "", "/c/third.so");

enum class Step { Append, Compact };

struct JournalCase {
    const char* name;
    State first, second;  // the states of kReplace and kDelete, which the journal holds
    Step step;
    std::map<Call, int> failing;
    std::string after;  // the journal's bytes afterwards; empty: no journal
};

void PrintTo(const JournalCase& row, std::ostream* out) { *out << row.name; }

std::string Both(State first, State second) {
    return EncodeRecord(kReplace, first) + EncodeRecord(kDelete, second);
}

class JournalFailureTest : public TempFolder, public ::testing::WithParamInterface<JournalCase> {
  protected:
    // A journal holding kReplace and kDelete in the states of the case.
    void Prepare(Journal& journal) {
        ASSERT_EQ(journal.Open(Path("pinfile/pending"), true).Code(), 0);
        ASSERT_EQ(journal.Append(kReplace).Code(), 0);
        ASSERT_EQ(journal.Append(kDelete).Code(), 0);
        ASSERT_EQ(journal.Mark(0, GetParam().first, 0).Code(), 0);
        ASSERT_EQ(journal.Mark(1, GetParam().second, 0).Code(), 0);
    }
};

TEST_P(JournalFailureTest, TheJournalIsBeforeOrAfterAndItsObjectAgreesWithTheDisk) {
    if (geteuid() != 0) GTEST_SKIP() << "the journal must belong to root";
    const JournalCase& c = GetParam();
    Journal journal;
    Prepare(journal);
    {
        const Injected injected(c.failing);
        const Status status = c.step == Step::Append ? journal.Append(kThird) : journal.Compact();
        EXPECT_EQ(status.Code(), EIO);
    }
    EXPECT_EQ(Contents("pinfile/pending").value_or(""), c.after);
    EXPECT_FALSE(Contents("pinfile/pending.new").has_value());
    ASSERT_EQ(journal.IsOpen(), !c.after.empty());
    if (!journal.IsOpen()) return;
    EXPECT_EQ(journal.Entries().size(), DecodeJournal(c.after).size());
    // What is appended next lands after what is on disk, not where a failed step had reached.
    ASSERT_EQ(journal.Append(kThird).Code(), 0);
    EXPECT_EQ(Contents("pinfile/pending"), c.after + EncodeRecord(kThird));
}

constexpr State W = State::Waiting;
constexpr State C = State::CarriedOut;

INSTANTIATE_TEST_SUITE_P(
    , JournalFailureTest,
    ::testing::Values(
        JournalCase{"AppendWhoseWriteFails", W, W, Step::Append, {{Call::Pwrite, 0}}, Both(W, W)},
        JournalCase{"AppendWhoseFlushFails", W, W, Step::Append, {{Call::Fsync, 0}}, Both(W, W)},
        // Where the record cannot be cut off, it stays withdrawn, for no boot to carry out.
        JournalCase{"AppendWhoseCutFailsToo",
                    W,
                    W,
                    Step::Append,
                    {{Call::Fsync, 0}, {Call::Ftruncate, 0}},
                    Both(W, W) + EncodeRecord(kThird, State::Withdrawn)},
        JournalCase{
            "CompactWhoseRenameFails", C, W, Step::Compact, {{Call::Renameat, 0}}, Both(C, W)},
        JournalCase{"CompactWhoseNewJournalsFlushFails",
                    C,
                    W,
                    Step::Compact,
                    {{Call::Fsync, 0}},
                    Both(C, W)},
        JournalCase{"CompactWhoseFolderFlushFailsAfterTheRename",
                    C,
                    W,
                    Step::Compact,
                    {{Call::Fsync, 1}},
                    EncodeRecord(kDelete)},
        JournalCase{"CompactWhoseFolderFlushFailsAfterTheRemoval",
                    C,
                    C,
                    Step::Compact,
                    {{Call::Fsync, 0}},
                    ""}),
    RowName());

// A read may give fewer bytes than asked for anywhere in the file.
ssize_t ShortRead(int fd, void* buffer, std::size_t size, off_t at) {
    constexpr std::size_t kMost = 7;  // cuts every record and header somewhere
    return SystemCalls{}.pread(fd, buffer, std::min(size, kMost), at);
}

using JournalReadTest = TempFolder;

TEST_F(JournalReadTest, ShortReadsStillGiveEveryRecord) {
    if (geteuid() != 0) GTEST_SKIP() << "the journal must belong to root";
    {
        Journal journal;
        ASSERT_EQ(journal.Open(Path("pinfile/pending"), true).Code(), 0);
        ASSERT_EQ(journal.Append(kReplace).Code(), 0);
        ASSERT_EQ(journal.Append(kDelete).Code(), 0);
    }
    const SwappedCall shortReads(System().pread, ShortRead);
    Journal journal;
    ASSERT_EQ(journal.Open(Path("pinfile/pending"), false).Code(), 0);
    std::vector<JournalEntry> read;
    ASSERT_EQ(ReadJournal(Path("pinfile/pending"), read).Code(), 0);
    for (const std::vector<JournalEntry>* entries :
         {&journal.Entries(), static_cast<const std::vector<JournalEntry>*>(&read)}) {
        ASSERT_EQ(entries->size(), 2U);
        EXPECT_EQ((*entries)[0].record, kReplace);
        EXPECT_EQ((*entries)[1].record, kDelete);
    }
}

struct DurableCase {
    const char* name;
    bool replace;  // ReplaceDurably, else RemoveDurably
    std::map<Call, int> failing;
    std::optional<std::string> after;  // what the name holds afterwards
    bool done;                         // what placed, or removed, tells
};

void PrintTo(const DurableCase& row, std::ostream* out) { *out << row.name; }

class DurableFailureTest : public TempFolder, public ::testing::WithParamInterface<DurableCase> {};

TEST_P(DurableFailureTest, TheNameHoldsTheOldOrTheNewAndNoFreshFileIsLeft) {
    const DurableCase& c = GetParam();
    Write("name", "old");
    Descriptor folder;
    ASSERT_EQ(OpenFolder(root_, folder).Code(), 0);
    const Descriptor fresh(openat(folder.get(), "fresh", O_RDWR | O_CREAT | O_EXCL, 0600));
    ASSERT_TRUE(fresh.valid());
    bool done = !c.done;
    Status status;
    {
        const Injected injected(c.failing);
        const auto fill = [](int file) { return WriteAllAt(file, "new", 0); };
        status = c.replace ? ReplaceDurably(folder.get(), "fresh", fresh.get(), "name", fill, &done)
                           : RemoveDurably(folder.get(), "name", &done);
    }
    EXPECT_EQ(status.Code(), EIO);
    EXPECT_EQ(done, c.done);
    EXPECT_EQ(Contents("name"), c.after);
    EXPECT_EQ(Contents("fresh").has_value(), !c.replace);
}

INSTANTIATE_TEST_SUITE_P(
    , DurableFailureTest,
    ::testing::Values(
        DurableCase{"ReplaceWhoseFileFlushFails", true, {{Call::Fsync, 0}}, "old", false},
        DurableCase{"ReplaceWhoseRenameFails", true, {{Call::Renameat, 0}}, "old", false},
        DurableCase{"ReplaceWhoseFolderFlushFails", true, {{Call::Fsync, 1}}, "new", true},
        DurableCase{"RemoveWhoseFolderFlushFails", false, {{Call::Fsync, 0}}, std::nullopt, true}),
    RowName());

// A failed replacement removes its fresh file by name only while the name still leads to it: a
// file that someone else put under that name meanwhile is theirs and stays.
TEST_F(DurableFailureTest, AFreshNameTakenOverBySomeoneElseIsNotRemoved) {
    Write("name", "old");
    Descriptor folder;
    ASSERT_EQ(OpenFolder(root_, folder).Code(), 0);
    const Descriptor fresh(openat(folder.get(), "fresh", O_RDWR | O_CREAT | O_EXCL, 0600));
    ASSERT_TRUE(fresh.valid());
    const auto swap = [this](int /*file*/) {
        std::filesystem::remove(Path("fresh"));
        Write("fresh", "theirs");
        return Status();
    };
    const Injected injected({{Call::Renameat, 0}});
    EXPECT_EQ(ReplaceDurably(folder.get(), "fresh", fresh.get(), "name", swap).Code(), EIO);
    EXPECT_EQ(Contents("fresh"), "theirs");
    EXPECT_EQ(Contents("name"), "old");
}

using JournalIdTest = TempFolder;

TEST_F(JournalIdTest, AnIdThatCannotBeFlushedOrNamedIsNotLeftForAReader) {
    if (geteuid() != 0) GTEST_SKIP() << "the identity must belong to root";
    ASSERT_EQ(mkdir(Path("pinfile").c_str(), 0700), 0);
    for (const Call call : {Call::Fsync, Call::Linkat}) {
        const Injected injected({{call, 0}});
        std::string id;
        EXPECT_EQ(MakeJournalId(Path("pinfile/id"), id).Code(), EIO);
        EXPECT_FALSE(Contents("pinfile/id").has_value());
        EXPECT_TRUE(id.empty());
    }
}

using NamingTest = TempFolder;

// Every name taken is a failure of its own code, which the user is told apart from any other
// refusal; a link that fails otherwise keeps the system's code.
TEST_F(NamingTest, ANameIsGivenOnlyWhenOneIsFreeAndAFailureTellsWhy) {
    Descriptor folder;
    ASSERT_EQ(OpenFolder(root_, folder).Code(), 0);
    Write("taken", "x");
    const auto taken = [] { return std::string("taken"); };
    std::string name;
    Descriptor file;
    EXPECT_EQ(CreateLockedFile(folder.get(), taken, "", name, file).Code(), kNoStagedNameLeft);
    EXPECT_EQ(CreateNamedLockedFile(folder.get(), taken, name, file).Code(), kNoStagedNameLeft);
    EXPECT_EQ(Contents("taken"), "x");
    if (CreateUnnamedFile(folder.get(), "", file).Failed()) {
        GTEST_SKIP() << "the file system of /tmp makes no unnamed files";
    }
    const Injected injected({{Call::Linkat, 0}});
    EXPECT_EQ(NameUnnamedFile(
                  folder.get(), file.get(), [] { return "staged"; }, name)
                  .Code(),
              EIO);
}

}  // namespace
}  // namespace pinfile::posix::testing
