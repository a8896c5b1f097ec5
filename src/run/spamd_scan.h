#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// How a scan through the spamd pool ended.
struct SpamdOutcome {
  bool scanned = false;    // the output file holds the whole processed message
  // spamd's own verdict from its Spam field ("Spam: True ; 7.1 / 5.0"), when it gave one.
  std::optional<bool> spam;
  std::string score, required;
  std::string host;        // the host that scanned it, as SPAMDHOSTS names it
  bool timed_out = false;  // SCANTIMELIMIT ended the exchange
  std::string failures;    // what each host did, when none scanned it
  // Why this machine could not go on (the message unreadable, TEMPPATH not
  // writable); no other host was asked after it.
  std::string local_failure;
};

// The longest a host may take to accept a connection before the next is tried.
constexpr Milliseconds kSpamdConnectTimeout = 5000;

// Sends the message file to the pool's hosts as spamc does (PROCESS,
// SPAMC/1.5) and writes spamd's processed message to the output, which is
// open for writing at output_file, streaming both ways. The first host is
// chosen at random, so that a pool shares the load; a host that refuses,
// does not accept in time, answers with an error status, cuts its answer
// short or takes longer than SPAMDTIMEOUT over the message gives way to the
// next. Only an answer with status 0 (EX_OK) whose body is exactly its
// announced Content-length (read up to there, without waiting for the stream
// to end), no longer than the message can become, and a message that keeps
// the message's body (AnswerKeepsTheBody), counts;
// otherwise the output file is removed and the next host is asked. No
// exchange outlasts SPAMDTIMEOUT, however fast the host sends.
// SCANTIMELIMIT bounds the whole scan. A local failure (the message cannot be
// read, the output cannot be written) ends the scan at once. The hosts'
// records in TEMPPATH (store/host_health.h) order the hosts; with
// share_records, what the scan learns of them is written there for the next
// runs, and without (sacheck's trial) nothing is.
SpamdOutcome ScanThroughSpamd(Platform& platform, FileSystem& fs, const PluginOptions& options,
                              const std::string& message_file, const std::string& output_file,
                              std::unique_ptr<TextWriter> output, bool share_records = true);

// A host that ran out of time: its own SPAMDTIMEOUT, or the scan's
// SCANTIMELIMIT while the scan waited on it.
struct HostWait {
  std::string name;            // as SPAMDHOSTS names it
  std::string stage;           // what it did not do: "accept the connection", "take the message", "answer"
  bool scan_limit = false;     // SCANTIMELIMIT ended the wait, before the host's SPAMDTIMEOUT
  Milliseconds waited = 0;     // on this host
  Milliseconds scan_took = 0;  // on the whole scan, the hosts before it included
  std::int32_t spamd_timeout = 0, scan_time_limit = 0;
};
struct WaitVerdict {
  std::string what;          // the failure, naming the host and the time it really had
  bool host_failed = false;  // the host's own failure, recorded for the next runs
};
// The host's own SPAMDTIMEOUT is its failure. So is SCANTIMELIMIT's end when
// the host had at least half of the scan's time: with SCANTIMELIMIT below
// SPAMDTIMEOUT a stalled host never reaches its own, and unrecorded it would
// hold every run that starts with it; but a host that got only what a stalled
// host before it left is no proof against it.
WaitVerdict JudgeHostWait(const HostWait& wait);

// What the header section of a spamd answer says: the body's length and
// spamd's verdict.
struct SpamdAnswer {
  std::int64_t length = 0;
  std::optional<bool> spam;     // from "Spam: True ; 7.1 / 5.0"
  std::string score, required;  // its two numbers
  // Set by the exchange: the bytes of the message's body as sent, and of the
  // processed message's body (past its header section; 0 without one).
  std::int64_t sent_body = 0, answer_body = 0;
};

// Whether a processed message's body can be that of the message sent.
// SpamAssassin adds header fields, and to spam it may add a report that wraps
// the whole message into the new body; the message's body it keeps as it came.
// So a body that is missing, or far shorter than the message's (less than
// seven eighths of it, which leaves room for changed line ends), is not the
// message's, however right the answer's Content-length. By the bodies, not the
// whole: a short message's header outweighs its body, and an answer of its
// header alone, with SpamAssassin's fields, is as long as the message.
bool AnswerKeepsTheBody(std::int64_t sent_body, std::int64_t answer_body);

// Reads the header section of a spamd answer (the answer as read so far: its
// status line, its fields up to the empty line, perhaps some of the body).
// Throws Error, with a description that names the host, for a status other
// than 0 (EX_OK), an answer that is not spamd's, a header that does not end,
// no Content-length, or two of them.
SpamdAnswer ParseSpamdAnswerHeader(const std::string& answer, const std::string& name);

// Teaches a host's Bayes database the message file as spam or as ham (TELL,
// SPAMC/1.5, "Set: local"), streaming it; the whole exchange takes at most
// the seconds. Answers true when the answer carries DidSet (the host learned
// it), false for one without (already learned, or Bayes is off there).
// Throws Error, with a description that names the host: for a host whose
// spamd takes no TELL (it needs --allow-tell), and for every way the exchange
// can fail.
bool TellSpamd(Platform& platform, FileSystem& fs, const SpamdHost& host, const std::string& message_file, bool spam,
               std::int32_t seconds);

// Asks one host as sacheck checks it: PING, then the message file to scan
// as a run sends it (PROCESS), its processed message written to the output.
// One deadline of the seconds (the host's SPAMDTIMEOUT, above 0) bounds the
// whole, from the first connection to the last byte, however the host sends.
// Answers the answer's header; *ping gets how long the PONG took (when ping
// is given), before the scan is asked. Throws Error for every way the host
// can fail, its description naming the host ("... answered \"SPAMD/1.5 67
// EX_NOUSER\"", "... did not answer PING within 5 seconds (SPAMDTIMEOUT)"),
// and for a failure of this machine's own (the message cannot be read, the
// output cannot be written), whose description does not.
SpamdAnswer ScanThroughHost(Platform& platform, FileSystem& fs, const SpamdHost& host, const std::string& message_file,
                            TextWriter& output, std::int32_t seconds, Milliseconds* ping = nullptr);

}  // namespace saplugin
