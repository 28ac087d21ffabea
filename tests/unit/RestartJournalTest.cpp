// The restart journal's record format: what writers append is what the reader finds, and
// damage never turns into an operation.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/posix/RestartJournal.h"

namespace pinfile::posix {
namespace {

using Kind = JournalRecord::Kind;

const JournalRecord kReplace{Kind::Replace, "/usr/lib/.TMPab12", "/usr/lib/libx.so.1"};
const JournalRecord kDelete{Kind::Delete, "/opt/old file\n\xff\x01.so", ""};

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
    EXPECT_EQ(bytes.substr(0, 5), "PFQ1D");
    EXPECT_EQ(bytes.substr(9, kDelete.first.size() + 2), kDelete.first + std::string(2, '\0'));
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
        std::string middle = EncodeRecord(kDelete);
        middle[at] = static_cast<char>(middle[at] ^ 0x20);
        const auto entries = DecodeJournal(first + middle + last);
        EXPECT_EQ(SoundRecords(entries), (std::vector<JournalRecord>{kReplace, kReplace}))
            << "flipped byte " << at;
        for (const JournalEntry& entry : entries) EXPECT_FALSE(entry.tornTail);
    }
}

TEST(RestartJournalTest, RecordsThatBreakTheNameRulesAreNotSound) {
    EXPECT_FALSE(DecodeJournal(EncodeRecord({Kind::Delete, "", ""}))[0].sound);
    EXPECT_FALSE(DecodeJournal(EncodeRecord({Kind::Replace, "/a", ""}))[0].sound);
    EXPECT_FALSE(DecodeJournal(EncodeRecord({Kind::Delete, "/a", "/b"}))[0].sound);
    EXPECT_FALSE(DecodeJournal(EncodeRecord({Kind::Delete, std::string("/a\0b", 4), ""}))[0].sound);
}

class JournalFileTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pinfile-journal-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    std::string Read() const {
        std::ifstream in(JournalPath(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string JournalPath() const { return root_ + "/pinfile/pending"; }

    std::string root_;
};

TEST_F(JournalFileTest, AppendCreatesAPrivateFolderAndFileAndKeepsOrder) {
    ASSERT_EQ(AppendToJournal(JournalPath(), kReplace), 0);
    ASSERT_EQ(AppendToJournal(JournalPath(), kDelete), 0);
    EXPECT_EQ(Read(), EncodeRecord(kReplace) + EncodeRecord(kDelete));
    struct stat folder {};
    struct stat file {};
    ASSERT_EQ(stat((root_ + "/pinfile").c_str(), &folder), 0);
    ASSERT_EQ(stat(JournalPath().c_str(), &file), 0);
    EXPECT_EQ(folder.st_mode & 0777U, 0700U);
    EXPECT_EQ(file.st_mode & 0777U, 0600U);
}

TEST_F(JournalFileTest, ConcurrentWritersLoseNoRecord) {
    constexpr int kWriters = 4;
    constexpr int kEach = 50;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, w] {
            for (int i = 0; i < kEach; ++i) {
                const JournalRecord record{Kind::Delete,
                                           "/w" + std::to_string(w) + "/" + std::to_string(i), ""};
                EXPECT_EQ(AppendToJournal(JournalPath(), record), 0);
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    const auto records = SoundRecords(DecodeJournal(Read()));
    EXPECT_EQ(records.size(), static_cast<std::size_t>(kWriters * kEach));
    EXPECT_EQ(DecodeJournal(Read()).size(), records.size());
}

TEST_F(JournalFileTest, AFolderThatCannotBeMadeGivesItsErrorCode) {
    std::ofstream(root_ + "/pinfile") << "a file where the folder should be";
    EXPECT_EQ(AppendToJournal(JournalPath(), kDelete), ENOTDIR);
}

}  // namespace
}  // namespace pinfile::posix
