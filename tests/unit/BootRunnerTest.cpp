// The boot runner carrying out one record in process: what it answers, and what the target's
// folder holds afterwards.
#include <fcntl.h>
#include <unistd.h>

#include <functional>

#include "InjectedFailures.h"
#include "platform/posix/journal/BootRunner.h"
#include "platform/posix/journal/Record.h"

namespace pinfile::posix::testing {
namespace {

using Result = AppliedOperation::Result;

struct BootCase {
    const char* name;
    JournalRecord::Kind kind;
    // What happens between the queueing and the boot, given the folder's name.
    std::function<void(const std::string&)> meanwhile;
    std::map<Call, int> failing;  // calls that fail at the boot
    int runs;                     // how often the record is carried out
    Result result;
    ErrorCode error;
    std::optional<std::string> target;  // what the target holds afterwards
    bool stagedLeft;                    // whether a file is left under the staged name
};

void PrintTo(const BootCase& row, std::ostream* out) { *out << row.name; }

class BootRunnerTest : public TempFolder, public ::testing::WithParamInterface<BootCase> {
  protected:
    void TearDown() override {
        std::filesystem::remove_all(root_ + ".moved");
        TempFolder::TearDown();
    }
    // A record of the case's kind for "target", whose replacement is "staged", as the journal
    // holds it.
    JournalEntry Queued() {
        Write("target", "old");
        Write("staged", "new");
        chmod(Path("staged").c_str(), 0600);
        JournalRecord record;
        record.kind = GetParam().kind;
        record.target = Path("target");
        Descriptor folder;
        EXPECT_EQ(OpenFolder(root_, folder).Code(), 0);
        EXPECT_EQ(IdentityOf(folder.get(), record.targetFolder).Code(), 0);
        if (record.kind == JournalRecord::Kind::Replace) {
            record.staged = Path("staged");
            const Descriptor staged(open(record.staged.c_str(), O_RDONLY | O_CLOEXEC));
            EXPECT_EQ(IdentityOf(staged.get(), record.stagedFile).Code(), 0);
        }
        return DecodeJournal(EncodeRecord(record)).at(0);
    }
};

TEST_P(BootRunnerTest, CarriesOutOnlyWhatIsStillAsQueued) {
    if (geteuid() != 0) GTEST_SKIP() << "the boot takes only a staged file of root's";
    const BootCase& c = GetParam();
    const JournalEntry entry = Queued();
    if (c.meanwhile) c.meanwhile(root_);
    const Injected injected(c.failing);
    AppliedOperation applied;
    for (int run = 0; run < c.runs; ++run) applied = CarryOut(entry);
    EXPECT_EQ(applied.result, c.result);
    EXPECT_EQ(applied.error, c.error);
    EXPECT_EQ(Contents("target"), c.target);
    EXPECT_EQ(Contents("staged").has_value(), c.stagedLeft);
}

constexpr auto kReplace = JournalRecord::Kind::Replace;
constexpr auto kDelete = JournalRecord::Kind::Delete;

// The folder moved away, and something else put under its name.
void FolderReplacedBy(const std::string& folder, bool link) {
    const std::string moved = folder + ".moved";
    ASSERT_EQ(rename(folder.c_str(), moved.c_str()), 0);
    ASSERT_EQ(link ? symlink(moved.c_str(), folder.c_str()) : mkdir(folder.c_str(), 0700), 0);
    if (!link) std::ofstream(folder + "/target") << "other";
}

const BootCase kCases[] = {
    {"ReplacementCarriedOut", kReplace, nullptr, {}, 1, Result::Done, 0, "new", false},
    {"DeletionCarriedOut", kDelete, nullptr, {}, 1, Result::Done, 0, std::nullopt, true},
    {"ReplacementAlreadyDone", kReplace, nullptr, {}, 2, Result::AlreadyDone, 0, "new", false},
    {"DeletionAlreadyDone", kDelete, nullptr, {}, 2, Result::AlreadyDone, 0, std::nullopt, true},
    {"StagedFileChanged",
     kReplace,
     [](const std::string& folder) { std::ofstream(folder + "/staged", std::ios::app) << "!"; },
     {},
     1,
     Result::Mismatch,
     ESTALE,
     "old",
     true},
    {"FolderReplacedByALink",
     kReplace,
     [](const std::string& folder) { FolderReplacedBy(folder, true); },
     {},
     1,
     Result::Mismatch,
     ELOOP,
     "old",
     true},
    {"FolderReplacedByAnother",
     kDelete,
     [](const std::string& folder) { FolderReplacedBy(folder, false); },
     {},
     1,
     Result::Mismatch,
     ESTALE,
     "other",
     false},
    {"RenameFails", kReplace, nullptr, {{Call::Renameat, 0}}, 1, Result::Failed, EIO, "old", true},
};

INSTANTIATE_TEST_SUITE_P(, BootRunnerTest, ::testing::ValuesIn(kCases), RowName());

using BootRunnerFlushTest = BootRunnerTest;

// Each flush of the operation fails in turn: the boot tells the failure, and the next boot
// finishes the work, from the old file or the new one whole.
TEST_P(BootRunnerFlushTest, AFailedFlushIsToldAndTheNextBootFinishes) {
    if (geteuid() != 0) GTEST_SKIP() << "the boot takes only a staged file of root's";
    constexpr int kMostFlushes = 8;  // far more than one operation makes
    for (int passes = 0; passes < kMostFlushes; ++passes) {
        const JournalEntry entry = Queued();
        AppliedOperation applied;
        {
            const Injected injected({{Call::Fsync, passes}});
            applied = CarryOut(entry);
        }
        if (applied.result == Result::Done) {
            EXPECT_GT(passes, 0) << "the operation made no flush that could fail";
            return;
        }
        EXPECT_EQ(applied.result, Result::Failed) << passes;
        EXPECT_EQ(applied.error, EIO) << passes;
        const Result next = CarryOut(entry).result;
        EXPECT_TRUE(next == Result::Done || next == Result::AlreadyDone) << passes;
        EXPECT_EQ(Contents("target"), GetParam().target) << passes;
    }
    ADD_FAILURE() << "the operation never got past its flushes";
}

INSTANTIATE_TEST_SUITE_P(, BootRunnerFlushTest, ::testing::Values(kCases[0], kCases[1]), RowName());

}  // namespace
}  // namespace pinfile::posix::testing
