#pragma once

#include <cstdint>
#include <string>

namespace saplugin {

// What became of one message, gathered over its run for the scan log.
struct ScanRecord {
  std::string time;       // the run's start, local, with its UTC offset
  std::string connector;  // the command line's words
  std::string message;
  std::int64_t size = -1;    // bytes; -1 when the message was not found
  std::string verdict;       // "spam" or "clean", when the filter gave one
  std::string outcome;       // one of the words of the log's outcome column
  std::string reason;        // the trap's or the filter's failure, in words
  std::string score, required, rules;  // from the filter's X-Spam-Status field
  std::string quarantine_file;         // the quarantined message's name in QuarantinePath\Messages
  double filter_seconds = -1;          // -1 when the filter did not run
  std::string from, subject;           // as the message's header has them
  std::string host;                    // the spamd host that scanned it, as SPAMDHOSTS names it
};

}  // namespace saplugin
