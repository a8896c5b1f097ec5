#pragma once

// What the runs know of each spamd host, shared between them on disk: for a
// host that failed, <TEMPPATH>\spamd-<host>-<port>.down holds when it failed
// and what it did; for a host that scanned, spamd-<host>-<port>.time holds how
// long it has taken lately. Each run is its own process; this is how a run
// learns that the one before it met a stalled host, or a slow one.

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
// record that is missing, unreadable, malformed, larger than a few kilobytes
// (it is not read) or from the future (more than a minute ahead of now) is no
// knowledge.
std::optional<HostFailure> ReadHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now);

// Records the host's failure in one step (made under a passing name of its
// own, then moved over the record). Answers false, leaving nothing behind,
// when it cannot be written: a run that cannot share what it learned scans on.
bool RecordHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host, const HostFailure& failure,
                       const std::string& passing_suffix);

// Claims the retry of a host whose failure is at least retry_after seconds
// old, for one run of those that start together: under the host's lock
// (<stem>.retry, held only meanwhile) it reads the record again and, when it
// is still that old, renews it, dated now, so that the others leave the host
// out while this run tries it. Answers true to that run alone; false when
// another run holds the lock or has renewed or removed the record, and when
// the lock or the record cannot be made: a run that cannot tell the others
// that it tries the host must not make them all try it.
bool ClaimHostRetry(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now, std::int64_t retry_after,
                    const std::string& passing_suffix);

// Removes the host's record, if any; never throws, for the same reason.
void ForgetHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host);

// A host's recent answer time, smoothed over the runs: milliseconds per
// message of a few kilobytes. SpamAssassin's time grows with the text it
// reads, by about a small message's time for each kAnswerTimeBytes, and it
// reads little past the first kAnswerTimeBytesRead (measured with spamd 4.0):
// so a 64 KB message counts as five small ones and a 10 MB one as five too.
// Per kilobyte would divide a small message's fixed cost, most of its time,
// away; per message alone would make a host that met a few large messages look
// slow.
struct HostAnswerTime {
  std::int64_t measured = 0;      // seconds since 1970 UTC, of the last answer folded in
  std::int64_t milliseconds = 0;  // per message, as above
};
constexpr std::int64_t kAnswerTimeBytes = 16 * 1024, kAnswerTimeBytesRead = 64 * 1024;
// A figure older than this says nothing of the host today.
constexpr std::int64_t kAnswerTimeLife = 600;
// A figure older than this is renewed by the next answer, whichever run has it.
constexpr std::int64_t kAnswerTimeRenewal = 60;

// The record's file of a host's answer time in the folder (which ends with "\").
std::string HostAnswerTimeFile(const std::string& folder, const SpamdHost& host);

// The host's answer time, when its record is there, reads as one and is at
// most kAnswerTimeLife seconds old; one that is missing, unreadable,
// malformed, larger than a few kilobytes, old or from the future (more than a
// minute ahead) is no knowledge.
std::optional<HostAnswerTime> ReadHostAnswerTime(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now);

// The time an answer of so many milliseconds for a message of so many bytes
// counts for, per message as HostAnswerTime has it.
std::int64_t AnswerTimePerMessage(std::int64_t milliseconds, std::int64_t message_bytes);

// Folds one answer (per message, as above) into the host's figure as it is on
// disk now, half of the way, and writes it in one step as RecordHostFailure
// does; but only for one run in four (dice, a random number of the run's,
// chooses), unless the figure is missing or older than kAnswerTimeRenewal:
// the write is flushed, and most runs need not pay for it. So the figure
// follows about the host's last eight answers. Answers whether it wrote;
// false, leaving nothing behind, when it could not: the figure only spreads
// the load.
bool RecordHostAnswerTime(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now, std::int64_t milliseconds,
                          unsigned dice, const std::string& passing_suffix);

}  // namespace saplugin
