#pragma once

// The quarantine folder as saplugin leaves it: for each message, named by its
// run name (the message's id), the pickup file <Q>\<id>.MAI, the message
// <Q>\Messages\<id>.MAI, SpamAssassin's output <Q>\Messages\<id>.SA and the
// record <Q>\Messages\<id>.INF that says where the message came from and what
// is being done with it; <Q>\Messages\<id>.LCK while a program works on the
// message; and the marks (release_mark.h) that let a released message pass
// its next run unscanned.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace saplugin {

// Where a message stands, by its record. A record without a state (and a
// message quarantined before records were kept) is whole.
enum class EntryState {
  kWhole,         // quarantined: the run that made it was done with the queue
  kQuarantining,  // its run had not yet removed the queue files (or stopped before)
  kReleasing,     // a release had begun: its mark is made, the queue files may be in
  kReleased,      // both queue files were in the queue: never released again
};

// The record of a quarantined message.
struct QuarantineRecord {
  std::string connector, name, quarantined;  // its queue, its name there, when
  EntryState state = EntryState::kWhole;
  std::string released, released_by;  // when a release began and by whom
  // The sizes of the pickup file, the message and SpamAssassin's output that
  // the run copies, "P,M,O", so that the copies of an entry whose run stopped
  // can be told whole or not.
  std::string sizes;
};

// One quarantined message, from the files that are there.
struct QuarantinedMessage {
  std::string id;
  bool pickup = false, message = false, output = false, record = false;
  std::int64_t size = -1;     // the message's bytes; -1 when its file is missing
  std::int64_t bytes = 0;     // all its files together
  std::int64_t modified = 0;  // the newest last-write time of its files, seconds since 1970 UTC
  // From the record; empty for a message quarantined before records were kept.
  QuarantineRecord details;
  // From its header section (the output's, else the message's).
  std::string from, subject, score, required;

  // The parts that are missing, in words ("pickup file, report"); empty when
  // the three files that the run leaves are all there.
  std::string Missing() const;
  // Its state in words for a listing; empty when it is whole.
  std::string StateText() const;
};

// The paths of a message's files in the quarantine folder (which ends with "\").
std::string QuarantinePickupFile(const std::string& folder, const std::string& id);
std::string QuarantineMessageFile(const std::string& folder, const std::string& id);
std::string QuarantineOutputFile(const std::string& folder, const std::string& id);
std::string QuarantineRecordFile(const std::string& folder, const std::string& id);
std::string QuarantineLockFile(const std::string& folder, const std::string& id);

// Writes "key=value" lines in place of the file in one step, as
// PlaceWholeFile does, so that a reader finds the old file or the whole new
// one. Throws Error, with the passing file gone again.
// The passing name is path + passing_suffix: whoever may write the file at
// the same time as another program gives a suffix of its own.
void ReplaceKeyValueFile(FileSystem& fs, const std::string& path, const std::vector<std::pair<std::string, std::string>>& values,
                         const std::string& passing_suffix = "-new");
// The "key=value" lines of a small file (the first 32). Throws Error when it
// cannot be read.
std::map<std::string, std::string> ReadKeyValueFile(FileSystem& fs, const std::string& path);

// The message's record. Throws Error when it cannot be read.
QuarantineRecord ReadQuarantineRecord(FileSystem& fs, const std::string& folder, const std::string& id);
// Writes the message's record in one step. Throws Error.
void WriteQuarantineRecord(FileSystem& fs, const std::string& folder, const std::string& id, const QuarantineRecord& record);

// Takes the lock of a message: answers null when another process holds it
// all through the wait (0: no wait), polling. Throws Error when the lock
// cannot be made at all.
std::unique_ptr<FileLock> LockQuarantined(FileSystem& fs, const std::string& folder, const std::string& id, int wait_milliseconds);

// Removes the message's files by their exact names, its record last, so that
// a removal cut short leaves the message listed with what is missing. Answers
// the bytes removed. Throws Error when a file cannot be removed.
std::int64_t RemoveQuarantined(FileSystem& fs, const std::string& folder, const std::string& id);

// Every message in the quarantine folder, from the names, sizes and times of
// its files alone, newest first; only names that are run names, as the run
// writes them, count. Throws Error when a folder cannot be listed, or the
// Messages folder is a link.
std::vector<QuarantinedMessage> ListQuarantine(FileSystem& fs, const std::string& folder);

// Every message that has a record, one at a time as the Messages folder lists
// them (in no set order), each as FindQuarantined finds it, with the record's
// last-write time as its own: for a quarantine too large to hold in memory. An entry that goes while the folder is read is
// passed over. Throws Error as ListQuarantine does, and as FindQuarantined
// does for a link.
void EachRecordedQuarantined(FileSystem& fs, const std::string& folder, const std::function<void(QuarantinedMessage&)>& each);

// The one message of that id (a run name, in either case); throws Error (file
// not found) when the id is no run name or none of its files is there, and
// when one of them is a link (the quarantine's files are its own, never
// another's reached through a link).
QuarantinedMessage FindQuarantined(FileSystem& fs, const std::string& folder, const std::string& id);

// True when the entry's three copies have the sizes its record says the run
// copied.
bool CopiesAreWhole(FileSystem& fs, const std::string& folder, const QuarantinedMessage& message);

// The message file that an entry whose run or release stopped half-way left
// in its connector's queue without its pickup file, blocking its name, in the
// mail server's data directory; empty when there is none (or the record
// names no queue).
std::string MessageLeftInQueue(FileSystem& fs, const std::string& data_directory, const QuarantineRecord& record);

// Fills in what the message's record and header section say, reading the
// header section only, line by line, with memory bounded whatever the
// message's size. A file that cannot be read leaves its fields empty.
void ReadQuarantineDetails(FileSystem& fs, const std::string& folder, QuarantinedMessage& message);

}  // namespace saplugin
