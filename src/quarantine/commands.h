#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace saplugin {

// saquarantine's exit statuses; with several kinds of failure, the highest.
constexpr int kQuarantineDone = 0;          // every id was handled
constexpr int kQuarantineNotFound = 1;      // an id is not in the quarantine, or a part it needs is missing
constexpr int kQuarantineUsage = 2;         // a wrong command line, or a configuration that cannot be used
constexpr int kQuarantineRefused = 3;       // a release refused: a queue file of that name, or an unknown connector
constexpr int kQuarantineFileFailure = 4;   // a file operation failed
constexpr int kQuarantineLearnFailure = 5;  // a host or the learning program failed to learn a message
constexpr int kQuarantineNothingLearned = 6;  // it ran, but learned nothing new (learned before, or Bayes is off)
constexpr int kQuarantineBusy = 7;          // another program was working on the message all through the wait
constexpr int kQuarantineDigestFailure = 8; // a digest was refused or could not be sent

// Runs one saquarantine command line (the words after the program's name)
// with the spamassassinconfig.ini beside the program, or the one that
// "--config FILE" names. One line per id on out; errors on err. Answers the
// exit status.
int RunQuarantineCommand(Platform& platform, const std::vector<std::string>& words, std::ostream& out, std::ostream& err);

}  // namespace saplugin
