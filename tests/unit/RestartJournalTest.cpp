// The restart journal's record format: what writers append is what the reader finds, and
// damage never turns into an operation.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <utility>

#include "InjectedFailures.h"
#include "platform/posix/journal/BootRunner.h"
#include "platform/posix/journal/JournalFile.h"
#include "platform/posix/journal/Record.h"

namespace pinfile::posix {
namespace {

using Kind = JournalRecord::Kind;

JournalRecord Record(Kind kind, std::string staged, std::string target) {
    JournalRecord record;
    record.kind = kind;
    record.staged = std::move(staged);
    record.target = std::move(target);
    record.targetFolder = {0x801, 0xb007, 0xfeedf00d, 0x5eb, 42, 1700000000, 5, 0, 0, 0, 0};
    if (kind == Kind::Replace) {
        record.stagedFile = {.device = 0x801,
                             .boot = 0xb007,
                             .volume = 0xfeedf00d,
                             .subvolume = 0x5eb,
                             .inode = 77,
                             .bornSeconds = 1700000001,
                             .bornNanoseconds = 6,
                             .size = 123456789012,
                             .modifiedSeconds = -5,
                             .modifiedNanoseconds = 999999999};
        record.targetOwner = 65534;
        record.targetGroup = 100;
        record.targetMode = 04755;
        record.targetAcl = std::string(3000, '\x07');  // larger than one page of entries
    }
    return record;
}

const JournalRecord kReplace = Record(Kind::Replace, "/usr/lib/TMPab12cd", "/usr/lib/libx.so.1");
const JournalRecord kDelete = Record(Kind::Delete, "", "/opt/old file\n\xff\x01.so");

std::vector<JournalRecord> SoundRecords(const std::vector<JournalEntry>& entries) {
    std::vector<JournalRecord> records;
    for (const JournalEntry& entry : entries) {
        if (entry.sound) records.push_back(entry.record);
    }
    return records;
}

TEST(RestartJournalTest, RecordsRoundTripWithAnyNameBytes) {
    const std::string bytes = EncodeRecord(kReplace) + EncodeRecord(kDelete);
    const auto entries = DecodeJournal(bytes);
    ASSERT_EQ(entries.size(), 2U);
    EXPECT_EQ(SoundRecords(entries), (std::vector<JournalRecord>{kReplace, kDelete}));
    EXPECT_EQ(entries[1].offset, EncodeRecord(kReplace).size());
}

TEST(RestartJournalTest, NamesAreNulSeparatedWithAnEmptySecondNameForADeletion) {
    const std::string bytes = EncodeRecord(kDelete);
    EXPECT_EQ(bytes.substr(0, 5), "PFQ4P");
    EXPECT_EQ(bytes[9], 'D');
    EXPECT_EQ(bytes.substr(14, kDelete.target.size() + 2), kDelete.target + std::string(2, '\0'));
}

TEST(RestartJournalTest, StateAndErrorLieOutsideTheCheckSoAMarkKeepsTheRecordSound) {
    std::string bytes = EncodeRecord(kReplace);
    bytes.replace(4, 5, std::string("F\x1e\0\0\0", 5));
    const auto entries = DecodeJournal(bytes);
    ASSERT_TRUE(entries[0].sound);
    EXPECT_EQ(entries[0].state, RecordState::Failed);
    EXPECT_EQ(entries[0].lastError, 30);
    EXPECT_TRUE(entries[0].StillWaiting());
    bytes[4] = 'C';
    EXPECT_FALSE(DecodeJournal(bytes)[0].StillWaiting());
    bytes[4] = 'x';  // no such state
    EXPECT_FALSE(DecodeJournal(bytes)[0].sound);
}

TEST(RestartJournalTest, FirstVersionRecordsAreReadAsUncheckedWaitingOperations) {
    const std::string bytes = EncodeFirstVersionRecord(kDelete) + EncodeRecord(kReplace);
    const auto entries = DecodeJournal(bytes);
    ASSERT_EQ(entries.size(), 2U);
    ASSERT_TRUE(entries[0].sound);
    EXPECT_FALSE(entries[0].record.checked);
    EXPECT_EQ(entries[0].record.target, kDelete.target);
    EXPECT_EQ(entries[0].state, RecordState::Waiting);
    EXPECT_EQ(entries[1].record, kReplace);
}

TEST(RestartJournalTest, SecondVersionRecordsAreReadWithDeviceNumbersAndNoRecordedAcl) {
    const auto entries = DecodeJournal(EncodeSecondVersionRecord(kReplace));
    ASSERT_EQ(entries.size(), 1U);
    ASSERT_TRUE(entries[0].sound);
    const JournalRecord& record = entries[0].record;
    EXPECT_TRUE(record.checked);
    EXPECT_FALSE(record.aclRecorded);
    EXPECT_EQ(record.targetFolder, (FileIdentity{0x801, 0, 0, 0, 42, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(record.stagedFile.size, kReplace.stagedFile.size);
    EXPECT_EQ(record.targetMode, kReplace.targetMode);
}

TEST(RestartJournalTest, ThirdVersionRecordsAreReadWithoutBootOrSubvolume) {
    const auto entries = DecodeJournal(EncodeThirdVersionRecord(kReplace) + EncodeRecord(kDelete));
    ASSERT_EQ(SoundRecords(entries).size(), 2U);
    JournalRecord expected = kReplace;
    for (FileIdentity* identity : {&expected.targetFolder, &expected.stagedFile}) {
        identity->boot = 0;
        identity->subvolume = 0;
    }
    EXPECT_EQ(SoundRecords(entries), (std::vector<JournalRecord>{expected, kDelete}));
}

TEST(RestartJournalTest, AFileIsProvenByWhatSurvivesARebootAndWithinItsBootByItsDevice) {
    const FileIdentity stable{0x801, 0xb007, 0xfeed, 0, 42, 1700000000, 5, 0, 0, 0, 0};
    const FileIdentity deviceOnly{0x801, 0, 0, 0, 42, 0, 0, 0, 0, 0, 0};
    const FileIdentity subvolume{0x2d, 0xb007, 0, 0x5eb, 42, 1700000000, 5, 0, 0, 0, 0};
    const auto with = [](FileIdentity identity, auto change) {
        change(identity);
        return identity;
    };
    const auto laterBoot = [&](FileIdentity identity) {
        return with(identity, [](auto& i) { i.boot = 0xb008; });
    };
    struct Case {
        const char* what;
        FileIdentity now;
        FileIdentity recorded;
        bool same;
    } cases[] = {
        {"unchanged", stable, stable, true},
        {"renumbered device at a later boot",
         laterBoot(with(stable, [](auto& i) { i.device = 0x701; })), stable, true},
        {"another device in the same boot (a copy mounted beside)",
         with(stable, [](auto& i) { i.device = 0x701; }), stable, false},
        {"another device, recorded without its boot",
         with(stable, [](auto& i) { i.device = 0x701; }), with(stable, [](auto& i) { i.boot = 0; }),
         true},
        {"another subvolume at a later boot (a snapshot)",
         laterBoot(with(subvolume, [](auto& i) { i.subvolume = 0x5ec; })), subvolume, false},
        {"the same subvolume at a later boot",
         laterBoot(with(subvolume, [](auto& i) { i.device = 0x2e; })), subvolume, true},
        {"recorded without a subvolume", with(stable, [](auto& i) { i.subvolume = 0x5eb; }), stable,
         true},
        {"other inode", with(stable, [](auto& i) { i.inode = 43; }), stable, false},
        {"born later", with(stable, [](auto& i) { i.bornNanoseconds = 6; }), stable, false},
        {"other file system", with(stable, [](auto& i) { i.volume = 0xbeef; }), stable, false},
        {"no stable identity recorded", with(stable, [](auto& i) { i.device = 0x801; }), deviceOnly,
         true},
        {"no stable identity, other device", with(stable, [](auto& i) { i.device = 0x701; }),
         deviceOnly, false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsSameFile(c.now, c.recorded), c.same) << c.what;
}

TEST(RestartJournalTest, SameInodeTakesTheDeviceAndTheInodeTogether) {
    const auto at = [](dev_t device, ino_t inode) {
        struct stat info {};
        info.st_dev = device;
        info.st_ino = inode;
        return info;
    };
    EXPECT_TRUE(SameInode(at(0x801, 42), at(0x801, 42)));
    EXPECT_FALSE(SameInode(at(0x801, 42), at(0x802, 42)));
    EXPECT_FALSE(SameInode(at(0x801, 42), at(0x801, 43)));
}

TEST(RestartJournalTest, ATornTailIsReportedAndNotCarriedOut) {
    const std::string whole = EncodeRecord(kReplace);
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
        const auto entries = DecodeJournal(EncodeRecord(kDelete) + whole.substr(0, cut));
        ASSERT_EQ(entries.size(), 2U) << "cut at " << cut;
        EXPECT_TRUE(entries[0].sound);
        EXPECT_FALSE(entries[1].sound);
        EXPECT_TRUE(entries[1].tornTail);
    }
}

TEST(RestartJournalTest, ADamagedRecordInTheMiddleIsSkippedAndTheOthersSurvive) {
    const std::string first = EncodeRecord(kReplace);
    const std::string last = EncodeRecord(kReplace);
    for (std::size_t at = 0; at < EncodeRecord(kDelete).size(); ++at) {
        if (at >= 5 && at < 9) continue;  // the last error, which is rewritten in place
        std::string middle = EncodeRecord(kDelete);
        middle[at] = static_cast<char>(middle[at] ^ 0x20);
        const auto entries = DecodeJournal(first + middle + last);
        EXPECT_EQ(SoundRecords(entries), (std::vector<JournalRecord>{kReplace, kReplace}))
            << "flipped byte " << at;
        for (const JournalEntry& entry : entries) EXPECT_FALSE(entry.tornTail);
    }
}

TEST(RestartJournalTest, RecordsThatBreakTheNameRulesAreNotSound) {
    EXPECT_FALSE(DecodeJournal(EncodeRecord(Record(Kind::Delete, "", "")))[0].sound);
    EXPECT_FALSE(DecodeJournal(EncodeRecord(Record(Kind::Replace, "/a", "")))[0].sound);
    EXPECT_FALSE(DecodeJournal(EncodeRecord(Record(Kind::Delete, "/b", "/a")))[0].sound);
    EXPECT_FALSE(
        DecodeJournal(EncodeRecord(Record(Kind::Delete, "", std::string("/a\0b", 4))))[0].sound);
}

TEST(RestartJournalTest, ARecordWithAFlagThatNoVersionWritesIsNotSound) {
    std::string bytes = EncodeRecord(kReplace);
    const std::size_t flags = bytes.size() - 4 - kReplace.targetAcl.size() - 4;
    ASSERT_EQ(bytes[flags], 1);  // the ACL is recorded
    bytes[flags] = 3;
    const auto* checked = reinterpret_cast<const Bytef*>(bytes.data() + 9);
    const uLong check = crc32(0L, checked, static_cast<uInt>(bytes.size() - 13));
    for (std::size_t i = 0; i < 4; ++i)
        bytes[bytes.size() - 4 + i] = static_cast<char>(check >> (8 * i));
    EXPECT_FALSE(DecodeJournal(bytes)[0].sound);
}

TEST(RestartJournalTest, EveryOpenReplacementNeedsItsStagedFileByNameWhateverItsFolder) {
    const auto replace = [](const char* staged) { return Record(Kind::Replace, staged, "/a/t"); };
    const std::string bytes =
        EncodeRecord(replace("/a/.TMPwait01.pinfile")) +
        EncodeRecord(replace("/b/.TMPfail01.pinfile"), RecordState::Failed, ESTALE) +
        EncodeRecord(replace("/a/.TMPdone01.pinfile"), RecordState::CarriedOut) +
        EncodeRecord(replace("/a/.TMPgone01.pinfile"), RecordState::Withdrawn) +
        EncodeRecord(kDelete);
    EXPECT_EQ(StagedNamesNeeded(DecodeJournal(bytes)),
              (NeededNames{".TMPwait01.pinfile", ".TMPfail01.pinfile"}));
}

class JournalFileTest : public testing::TempFolder {
  protected:
    std::string Read() const { return Contents("pinfile/pending").value_or(""); }
    std::string JournalPath() const { return Path("pinfile/pending"); }
};

TEST_F(JournalFileTest, AppendCreatesAPrivateFolderAndFileAndKeepsOrder) {
    if (geteuid() != 0) GTEST_SKIP() << "the journal must belong to root";
    Journal journal;
    ASSERT_EQ(journal.Open(JournalPath(), true).Code(), 0);
    ASSERT_EQ(journal.Append(kReplace).Code(), 0);
    ASSERT_EQ(journal.Append(kDelete).Code(), 0);
    EXPECT_EQ(Read(), EncodeRecord(kReplace) + EncodeRecord(kDelete));
    struct stat folder {};
    struct stat file {};
    ASSERT_EQ(stat((root_ + "/pinfile").c_str(), &folder), 0);
    ASSERT_EQ(stat(JournalPath().c_str(), &file), 0);
    EXPECT_EQ(folder.st_mode & 0777U, 0700U);
    EXPECT_EQ(file.st_mode & 0777U, 0600U);
}

TEST_F(JournalFileTest, MarksAreKeptAndCompactingDropsWhatNoBootNeeds) {
    if (geteuid() != 0) GTEST_SKIP() << "the journal must belong to root";
    const JournalRecord third = Record(Kind::Delete, "", "/third");
    {
        Journal journal;
        ASSERT_EQ(journal.Open(JournalPath(), true).Code(), 0);
        for (const JournalRecord& record : {kReplace, kDelete, third}) {
            ASSERT_EQ(journal.Append(record).Code(), 0);
        }
        ASSERT_EQ(journal.Mark(0, RecordState::CarriedOut, 0).Code(), 0);
        ASSERT_EQ(journal.Mark(1, RecordState::Failed, 5).Code(), 0);
    }
    Journal reopened;
    ASSERT_EQ(reopened.Open(JournalPath(), false).Code(), 0);
    EXPECT_EQ(reopened.Entries()[1].state, RecordState::Failed);
    ASSERT_EQ(reopened.Compact().Code(), 0);
    EXPECT_EQ(Read(), EncodeRecord(kDelete, RecordState::Failed, 5) + EncodeRecord(third));
    ASSERT_EQ(reopened.Mark(0, RecordState::Withdrawn, 0).Code(), 0);
    ASSERT_EQ(reopened.Mark(1, RecordState::CarriedOut, 0).Code(), 0);
    ASSERT_EQ(reopened.Compact().Code(), 0);
    EXPECT_FALSE(std::filesystem::exists(JournalPath()));
}

TEST_F(JournalFileTest, AFirstVersionJournalIsRewrittenInOrderBeforeItIsEdited) {
    if (geteuid() != 0) GTEST_SKIP() << "the journal must belong to root";
    std::filesystem::create_directories(root_ + "/pinfile");
    chmod((root_ + "/pinfile").c_str(), 0700);
    const std::string damaged = "PFQ1Dxx";
    std::ofstream(JournalPath(), std::ios::binary)
        << EncodeFirstVersionRecord(kDelete) + damaged + EncodeFirstVersionRecord(kReplace);
    chmod(JournalPath().c_str(), 0600);
    Journal journal;
    ASSERT_EQ(journal.Open(JournalPath(), false).Code(), 0);
    // A record of the first version knows names alone.
    const auto unchecked = [](const JournalRecord& record) {
        JournalRecord names;
        names.kind = record.kind;
        names.staged = record.staged;
        names.target = record.target;
        names.checked = false;
        names.aclRecorded = false;
        return names;
    };
    EXPECT_EQ(Read(),
              EncodeRecord(unchecked(kDelete)) + damaged + EncodeRecord(unchecked(kReplace)));
    EXPECT_EQ(journal.Mark(2, RecordState::CarriedOut, 0).Code(), 0);
}

TEST_F(JournalFileTest, AFolderThatCannotBeMadeGivesItsErrorCode) {
    std::ofstream(root_ + "/pinfile") << "a file where the folder should be";
    Journal journal;
    EXPECT_EQ(journal.Open(JournalPath(), true).Code(), ENOTDIR);
}

TEST_F(JournalFileTest, AJournalOrFolderThatOthersMayWriteIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "the journal must belong to root";
    {
        Journal journal;
        ASSERT_EQ(journal.Open(JournalPath(), true).Code(), 0);
    }
    for (const std::string& path : {JournalPath(), root_ + "/pinfile"}) {
        struct stat before {};
        ASSERT_EQ(stat(path.c_str(), &before), 0);
        chmod(path.c_str(), before.st_mode | S_IWOTH);
        Journal journal;
        EXPECT_EQ(journal.Open(JournalPath(), false).Code(), EACCES) << path;
        chmod(path.c_str(), before.st_mode);
    }
}

}  // namespace
}  // namespace pinfile::posix
