#include "JournalFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "../../UtilityLibrary.h"
#include "../FileCopy.h"
#include "../Locations.h"
#include "../MarkedFiles.h"
#include "../SystemCallTable.h"

namespace pinfile::posix {

namespace {

// A journal holds a few records of some KiB each: most are read whole in one call.
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;

Status ReadAll(int fd, std::string& bytes) {
    char buffer[kReadChunk];
    for (off_t offset = 0;;) {
        const ssize_t n =
            RetryOnInterrupt([&] { return System().pread(fd, buffer, sizeof buffer, offset); });
        if (n < 0) return LastError();
        if (n == 0) return {};
        bytes.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
}

// Root carries the journal out at boot: one that anyone else could have written would let
// them replace or delete any file of the system.
bool OwnedByRootAlone(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

Status CheckFolder(const std::string& folder, bool create) {
    // A new folder's own name must reach the disk too, or a crash could lose the journal in
    // it after pinfile answered "queued".
    if (create) {
        if (const Status made = CreateFolderDurably(folder, 0700); made.Failed()) return made;
    }
    struct stat info {};
    if (System().lstat(folder.c_str(), &info) != 0) return LastError();
    if (!S_ISDIR(info.st_mode)) return Status(ENOTDIR);
    return OwnedByRootAlone(info) ? Status() : Status(EACCES);
}

Status OpenJournalFile(int folder, const std::string& name, bool create, Descriptor& file,
                       bool& made) {
    made = false;
    const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;
    file.reset(System().openat(folder, name.c_str(), flags, kNoMode));
    if (!file.valid() && errno == ENOENT && create) {
        file.reset(System().openat(folder, name.c_str(), flags | O_CREAT | O_EXCL, 0600));
        made = file.valid();
    }
    if (!file.valid()) return LastError();
    struct stat info {};
    if (System().fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        !OwnedByRootAlone(info)) {
        file.reset(-1);
        return Status(EACCES);
    }
    return {};
}

}  // namespace

bool JournalIsTrusted(const std::string& path) {
    struct stat folder {};
    if (System().lstat(FolderOf(path).c_str(), &folder) == 0 &&
        (!S_ISDIR(folder.st_mode) || !OwnedByRootAlone(folder))) {
        return false;
    }
    struct stat file {};
    return System().lstat(path.c_str(), &file) != 0 ||
           (S_ISREG(file.st_mode) && OwnedByRootAlone(file));
}

Status ReadJournal(const std::string& path, std::vector<JournalEntry>& entries) {
    // Never waits on a FIFO put in the journal's place, and reads only a plain file.
    const Descriptor journal(
        System().open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kNoMode));
    if (!journal.valid()) return LastError();
    struct stat info {};
    if (System().fstat(journal.get(), &info) != 0) return LastError();
    if (!S_ISREG(info.st_mode)) return Status(EACCES);
    std::string bytes;
    if (const Status read = ReadAll(journal.get(), bytes); read.Failed()) return read;
    entries = DecodeJournal(bytes);
    return {};
}

Status Journal::Open(const std::string& path, bool create) {
    const std::string folder = FolderOf(path);
    name_ = ulGetFileName(path);
    Status status = CheckFolder(folder, create);
    if (status.Succeeded()) status = OpenFolder(folder, folder_);
    bool made = false;
    if (status.Succeeded()) status = OpenJournalFile(folder_.get(), name_, create, file_, made);
    // The journal's own name must be on disk too, or a crash could lose a new journal.
    std::string all;
    if (status.Succeeded() && made) status = SyncFolder(folder_.get());
    if (status.Succeeded()) status = ReadAll(file_.get(), all);
    if (status.Failed()) return status;
    Adopt(all);
    bool firstVersion = false;
    for (const JournalEntry& entry : entries_) firstVersion |= entry.sound && !entry.record.checked;
    if (!firstVersion) return {};
    // Marks need the state field that the first version lacks: rewrite it, records in order.
    std::string bytes;
    for (const JournalEntry& entry : entries_) {
        bytes += entry.sound ? EncodeRecord(entry.record, entry.state, entry.lastError)
                             : all.substr(entry.offset, entry.size);
    }
    return Replace(bytes);
}

void Journal::Adopt(std::string_view bytes) {
    size_ = bytes.size();
    entries_ = DecodeJournal(bytes);
}

Status Journal::Append(const JournalRecord& record) {
    const std::string bytes = EncodeRecord(record);
    Status status = WriteAllAt(file_.get(), bytes, static_cast<off_t>(size_));
    if (status.Succeeded()) status = Checked(System().fsync(file_.get()));
    if (status.Failed()) {
        UndoAppend();
        return status;
    }
    JournalEntry entry;
    entry.sound = true;
    entry.record = record;
    entry.offset = size_;
    entry.size = bytes.size();
    entries_.push_back(std::move(entry));
    size_ += bytes.size();
    return {};
}

// Whatever of a failed append reached the file must not be carried out after a failure
// answer: it is cut off, and only where even that fails, marked withdrawn where it lies and
// taken as part of the journal, so that the next append goes after it.
void Journal::UndoAppend() {
    if (System().ftruncate(file_.get(), static_cast<off_t>(size_)) == 0) {
        System().fsync(file_.get());
        return;
    }
    const char withdrawn = static_cast<char>(RecordState::Withdrawn);
    WriteAllAt(file_.get(), std::string_view(&withdrawn, 1),
               static_cast<off_t>(size_ + kStateOffset))
        .Ignore();
    System().fsync(file_.get());
    std::string all;
    if (ReadAll(file_.get(), all).Succeeded()) Adopt(all);
}

Status Journal::Mark(std::size_t index, RecordState state, std::int32_t error) {
    JournalEntry& entry = entries_.at(index);
    Status status = WriteAllAt(file_.get(), EncodeMark(state, error),
                               static_cast<off_t>(entry.offset + kStateOffset));
    if (status.Succeeded()) status = Checked(System().fsync(file_.get()));
    if (status.Succeeded()) {
        entry.state = state;
        entry.lastError = error;
    }
    return status;
}

Status Journal::Compact() {
    std::string bytes;
    bool dropped = false;
    for (const JournalEntry& entry : entries_) {
        if (entry.StillWaiting()) {
            bytes += EncodeRecord(entry.record, entry.state, entry.lastError);
        } else {
            dropped = true;
        }
    }
    if (!bytes.empty()) return dropped ? Replace(bytes) : Status();
    // Once the name is gone, the open file is no journal: nothing may be written to it.
    bool removed = false;
    const Status status = RemoveDurably(folder_.get(), name_, &removed);
    if (removed) Close();
    return status;
}

void Journal::Close() {
    file_.reset(-1);
    folder_.reset(-1);
    entries_.clear();
    size_ = 0;
}

Status Journal::Replace(const std::string& bytes) {
    const std::string fresh = name_ + ".new";
    Descriptor file(System().openat(folder_.get(), fresh.c_str(),
                                    O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) return LastError();
    bool placed = false;
    const Status replaced = ReplaceDurably(
        folder_.get(), fresh, file.get(), name_,
        [&](int written) { return WriteAllAt(written, bytes, 0); }, &placed);
    if (placed) {
        file_ = std::move(file);
        Adopt(bytes);
    }
    return replaced;
}

Status OpenRunJournal(bool create, Journal*& journal) {
    static Journal run;
    journal = &run;
    if (run.IsOpen()) return {};
    const Status opened = run.Open(JournalPath(), create);
    if (opened.Failed()) run.Close();
    return opened;
}

namespace {

constexpr std::size_t kIdBytes = 16;

Status NewJournalId(std::string& id) {
    unsigned char random[kIdBytes];
    if (System().getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        return LastError();
    }
    id.clear();
    for (const unsigned char byte : random) id += Hex(byte, 2);
    return {};
}

bool IsJournalId(const std::string& id) {
    return id.size() == 2 * kIdBytes && std::all_of(id.begin(), id.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

}  // namespace

Status ReadJournalId(const std::string& path, std::string& id) {
    id.clear();
    const Descriptor file(
        System().open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kNoMode));
    if (!file.valid()) return LastError();
    struct stat info {};
    struct stat folder {};
    if (System().fstat(file.get(), &info) != 0 ||
        System().lstat(FolderOf(path).c_str(), &folder) != 0) {
        return LastError();
    }
    if (!S_ISREG(info.st_mode) || !OwnedByRootAlone(info) || !S_ISDIR(folder.st_mode) ||
        !OwnedByRootAlone(folder)) {
        return Status(EACCES);
    }
    std::string bytes;
    if (const Status read = ReadAll(file.get(), bytes); read.Failed()) return read;
    if (!IsJournalId(bytes)) return Status(EINVAL);
    id = std::move(bytes);
    return {};
}

// Written whole and flushed before it gets its name, so that no reader finds a part of it;
// where two runs make one at once, the first name stays and both read it.
Status MakeJournalId(const std::string& path, std::string& id) {
    if (const Status read = ReadJournalId(path, id); read.Code() != ENOENT) return read;
    const std::string folderName = FolderOf(path);
    Descriptor folder;
    Status status = CheckFolder(folderName, true);
    if (status.Succeeded()) status = OpenFolder(folderName, folder);
    Descriptor file;
    if (status.Succeeded()) {
        file.reset(System().openat(folder.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
        if (!file.valid()) status = LastError();
    }
    std::string made;
    if (status.Succeeded()) status = NewJournalId(made);
    if (status.Succeeded()) status = WriteAllAt(file.get(), made, 0);
    if (status.Succeeded()) status = Checked(System().fsync(file.get()));
    if (status.Succeeded()) {
        // Another run that made the identity first wins: its file is the one read below.
        const Status linked = LinkUnnamedFile(file.get(), folder.get(), ulGetFileName(path));
        if (linked.Code() != EEXIST) status = linked;
    }
    if (status.Succeeded()) status = SyncFolder(folder.get());
    return status.Failed() ? status : ReadJournalId(path, id);
}

const std::string& RunJournalId() {
    // Made or read once per run: a run that cannot have an identity marks nothing.
    static const std::string id = [] {
        std::string made;
        if (geteuid() == 0) MakeJournalId(JournalIdPath(), made).Ignore();
        return made;
    }();
    return id;
}

}  // namespace pinfile::posix
