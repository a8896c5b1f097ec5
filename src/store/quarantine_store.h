#pragma once

// The quarantine folder as saplugin leaves it: for each message, named by its
// run name (the message's id), the pickup file <Q>\<id>.MAI, the message
// <Q>\Messages\<id>.MAI, SpamAssassin's output <Q>\Messages\<id>.SA and the
// record <Q>\Messages\<id>.INF that says where the message came from; and the
// marks <Q>\Released\<connector>_<name> that let a released message pass its
// next run unscanned.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace saplugin {

// One quarantined message, from the files that are there.
struct QuarantinedMessage {
  std::string id;
  bool pickup = false, message = false, output = false, record = false;
  std::int64_t size = -1;     // the message's bytes; -1 when its file is missing
  std::int64_t bytes = 0;     // all its files together
  std::int64_t modified = 0;  // the newest last-write time of its files, seconds since 1970 UTC
  // From the record: the connector, the message's name in the queue and when
  // it was quarantined; empty for a message quarantined before records were kept.
  std::string connector, name, quarantined;
  // From its header section (the output's, else the message's).
  std::string from, subject, score, required;

  // The parts that are missing, in words ("pickup file, report"); empty when
  // the three files that the run leaves are all there.
  std::string Missing() const;
};

// The paths of a message's files in the quarantine folder (which ends with "\").
std::string QuarantinePickupFile(const std::string& folder, const std::string& id);
std::string QuarantineMessageFile(const std::string& folder, const std::string& id);
std::string QuarantineOutputFile(const std::string& folder, const std::string& id);
std::string QuarantineRecordFile(const std::string& folder, const std::string& id);
// The mark that lets the next run for the message pass it unscanned.
std::string ReleaseMarkFile(const std::string& folder, const std::string& connector, const std::string& name);

// Writes the record of a message being quarantined: its connector, its name
// in the queue and the time. Throws Error when it cannot be written.
void WriteQuarantineRecord(FileSystem& fs, const std::string& folder, const std::string& id, const std::string& connector,
                           const std::string& name, const std::string& time);

// Removes every file of the message that is there, its record last, so that
// a removal cut short leaves the message listed with what is missing, and a
// release cut short still knows where the message went. Throws Error when a
// file cannot be removed.
void RemoveQuarantined(FileSystem& fs, const std::string& folder, const std::string& id);

// Every message in the quarantine folder, from the names, sizes and times of
// its files alone, newest first. Throws Error when a folder cannot be listed.
std::vector<QuarantinedMessage> ListQuarantine(FileSystem& fs, const std::string& folder);

// The one message of that id; throws Error (file not found) when none of its
// files is there.
QuarantinedMessage FindQuarantined(FileSystem& fs, const std::string& folder, const std::string& id);

// Fills in what the message's record and header section say, reading the
// header section only, line by line, with memory bounded whatever the
// message's size. A file that cannot be read leaves its fields empty.
void ReadQuarantineDetails(FileSystem& fs, const std::string& folder, QuarantinedMessage& message);

}  // namespace saplugin
