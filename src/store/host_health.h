#pragma once

// What the runs know of each spamd host, shared between them on disk: for a
// host that failed, <TEMPPATH>\spamd-<host>-<port>.down holds when it failed
// and what it did. Each run is its own process; this is how a run learns
// that the one before it met a stalled host.

#include <cstdint>
#include <optional>
#include <string>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

struct HostFailure {
  std::int64_t failed = 0;  // seconds since 1970 UTC
  std::string what;         // what the host did, in words
};

// The record's file of a host in the folder (which ends with "\").
std::string HostRecordFile(const std::string& folder, const SpamdHost& host);

// The host's last failure, when its record is there and reads as one; a
// record that is missing, unreadable, malformed or from the future (more than
// a minute ahead of now) is no knowledge.
std::optional<HostFailure> ReadHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now);

// Records the host's failure in one step (made under a passing name of its
// own, then moved over the record). Answers false, leaving nothing behind,
// when it cannot be written: a run that cannot share what it learned scans on.
bool RecordHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host, const HostFailure& failure,
                       const std::string& passing_suffix);

// Removes the host's record, if any; never throws, for the same reason.
void ForgetHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host);

}  // namespace saplugin
