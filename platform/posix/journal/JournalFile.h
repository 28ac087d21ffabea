// The journal file of the POSIX restart queue: read for looking, or opened for changes by the
// one run that holds the machine-wide run lock. Every change is on disk when it succeeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../../Status.h"
#include "../Durable.h"
#include "Record.h"

namespace pinfile::posix {

// False when what can be seen of the journal or its folder shows that anyone but root could
// have written it, or that it is no plain file: the boot-time runner refuses such a journal.
bool JournalIsTrusted(const std::string& path);

// Reads the journal at path as it is, for looking only; a missing journal is ENOENT.
Status ReadJournal(const std::string& path, std::vector<JournalEntry>& entries);

// The journal opened for changes. Only one process may hold it open at a time: the caller
// holds the machine-wide run lock. It refuses a journal, or a folder, that anyone but root
// could have written or that is a symbolic link (EACCES), as the boot-time runner does.
class Journal {
  public:
    // Opens the journal at path; with create, makes it (mode 0600) and its folder (0700)
    // when missing. Without create a missing journal is ENOENT. A journal that holds records
    // of the first version is rewritten in the current one first, so that every record can be
    // marked.
    Status Open(const std::string& path, bool create);

    const std::vector<JournalEntry>& Entries() const { return entries_; }

    // Whether the journal is open: not before Open succeeds, nor once Compact has removed it.
    bool IsOpen() const { return file_.valid(); }
    void Close();

    // Appends one record, on disk when this succeeds. On failure the journal is as it was.
    Status Append(const JournalRecord& record);

    // Marks the entry's result in place, on disk when this succeeds.
    Status Mark(std::size_t index, RecordState state, std::int32_t error);

    // Drops what no boot needs any more (carried out, withdrawn, damaged), so that the
    // journal does not grow without end; removes (and closes) it when nothing is left.
    // Atomic: a crash leaves the journal before or after, and so does a failure, which leaves
    // it compacted (or removed and closed) only where the folder's flush failed.
    Status Compact();

  private:
    // Takes the bytes that the file now holds as what the journal is.
    void Adopt(std::string_view bytes);
    Status Replace(const std::string& bytes);
    void UndoAppend();

    Descriptor file_;
    Descriptor folder_;
    std::string name_;  // the journal's name in its folder
    std::size_t size_ = 0;
    std::vector<JournalEntry> entries_;
};

// The journal that this run reads and changes, opened once for the whole run: every run
// that may change the journal holds the machine-wide run lock until it ends, so nobody else
// changes it meanwhile, and this run's own changes go through this one object. With create,
// a missing journal is made; without, it is ENOENT.
Status OpenRunJournal(bool create, Journal*& journal);

// The journal's identity: 32 random hex digits, made once in a file beside the journal and
// kept when the journal goes. pinfile marks every file that it makes for the journal with it
// (MarkAsPinfiles), and a sweep removes only files that carry the identity of the journal
// it reads: a run with another journal, or with none, leaves them.

// Reads the identity from the file at path: ENOENT when none was made yet, EACCES when anyone
// but root could have written the file or its folder, EINVAL when it holds anything else.
Status ReadJournalId(const std::string& path, std::string& id);

// The same, making the identity first (and the journal's folder) when there is none.
Status MakeJournalId(const std::string& path, std::string& id);

// The identity of this run's journal, made when missing and read once per run; empty where
// there is none to be had, and for a run that is not root, which can neither write nor
// read a mark.
const std::string& RunJournalId();

}  // namespace pinfile::posix
