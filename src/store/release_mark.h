#pragma once

// The marks that let a released message pass its next run unscanned:
// <Q>\Released\<connector>\<name>, one folder per connector, so that a
// connector and a message name map to one mark only. A mark names the
// quarantined message it was made for by its id, its size and the SHA-256 of
// its bytes, and passes only a message that matches, once. A mark whose
// message has not come within a day of its last write is taken away (by the
// run that finds other bytes there, or purge), unless its release was cut
// short or its message is still waiting in the queue.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "store/queue_paths.h"

namespace saplugin {

// How long a mark lets its message pass, in seconds.
constexpr std::int64_t kReleaseMarkLifetime = 24 * 60 * 60;

struct ReleaseMark {
  std::string id;
  std::int64_t size = -1;
  std::string sha256;
};

std::string ReleaseMarkFolder(const std::string& folder, const std::string& connector);
std::string ReleaseMarkFile(const std::string& folder, const std::string& connector, const std::string& name);

// The mark for the message of that connector and name, made of the message
// file it releases, written in one step (its folders made when missing).
// Throws Error.
void WriteReleaseMark(FileSystem& fs, const std::string& folder, const std::string& connector, const std::string& name,
                      const ReleaseMark& mark);

// The mark of that connector and name; nothing when there is none or it
// cannot be read as one.
std::optional<ReleaseMark> ReadReleaseMark(FileSystem& fs, const std::string& folder, const std::string& connector,
                                           const std::string& name);

// What a mark says of the queued message that a run is about to scan.
enum class MarkVerdict {
  kNone,          // no mark: scanned as any other
  kPasses,        // its mark, however old: passes unscanned, and the mark goes
  kExpired,       // a mark for other bytes past its day: the mark goes, the message is scanned
  kOtherMessage,  // a mark made for other bytes, in its day or kept for a release cut short: it stays, the message is scanned
};
// Costs one existence test when there is no mark.
MarkVerdict CheckReleaseMark(FileSystem& fs, const std::string& folder, const QueuePaths& paths, std::int64_t now);

// True when neither Released nor the connector's folder in it is a link.
bool MarkFoldersAreOwn(FileSystem& fs, const std::string& folder, const std::string& connector);

// True when the mark's message is in the quarantine with a record that says
// its release was cut short: the next release reads the mark.
bool MarksReleaseCutShort(FileSystem& fs, const std::string& folder, const ReleaseMark& mark);

// Every mark in the quarantine folder with its last-write time: the files
// that read as marks in each connector's folder, passing files that a mark's
// replacement left, and the empty files that older versions left in Released.
// Links are passed over.
struct MarkFile {
  std::string path;
  std::int64_t modified = 0;
  bool release_cut_short = false;  // kept past its day for the next release
  bool message_queued = false;     // its message waits in the queue (its size matches): kept past its day for its run
  bool Expired(std::int64_t now) const { return now - modified > kReleaseMarkLifetime && !release_cut_short && !message_queued; }
};
// data_directory is the mail server's (empty: the queue is not looked at).
// A mark past its day passes nothing and goes, unless it is kept.
std::vector<MarkFile> ListReleaseMarks(FileSystem& fs, const std::string& folder, const std::string& data_directory);

}  // namespace saplugin
