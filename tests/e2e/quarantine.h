#pragma once

#include <chrono>

// The quarantine as operators work it: saquarantine's verbs against
// quarantines made by real runs of saplugin, one table for both builds.

#include <functional>

#include "e2e/e2e.h"

namespace saplugin {

// A sandbox whose quarantine holds three messages quarantined by real runs:
// A.MAI (oldest, 3 days), B.MAI (2 days) and C.MAI (newest), named in the
// quarantine by ids that the runs chose.
// The words that run a program under strace, which kills it at the n-th call of the system call.
inline std::vector<std::string> KillAt(const std::string& call, int n) {
  return {"strace", "-o", "/dev/null", "-e", "trace=" + call, "-e", "inject=" + call + ":signal=KILL:when=" + std::to_string(n)};
}

// The counts of messages learned as spam and as ham in the Bayes database in the box's folder bayes: "N spam, M ham".
inline std::string BayesCounts(const Sandbox& box) {
  const std::string magic = box.folder / "magic.txt";
  EXPECT_EQ(std::system(("/usr/bin/sa-learn --dbpath '" + box.folder / "bayes/bayes' --dump magic > '" + magic + "' 2>&1").c_str()), 0);
  std::smatch spam, ham;
  const std::string text = ReadFile(magic);
  std::regex_search(text, spam, std::regex(" (\\d+) +0 +non-token data: nspam"));
  std::regex_search(text, ham, std::regex(" (\\d+) +0 +non-token data: nham"));
  return spam[1].str() + " spam, " + ham[1].str() + " ham";
}

struct QuarantineBox : Sandbox {
  explicit QuarantineBox(const Build& build);
  // The id of a message by its name in the queue.
  std::string Id(const std::string& name) const { return ids.at(name); }
  // Sets the last-write time of every file of a message back by that long.
  void Age(const std::string& name, std::chrono::seconds by);
  // The text with "{A}" standing for A.MAI's id ("{a}" for it in lower case), and so on.
  std::string Expand(const std::string& text) const { return saplugin::Expand(text, marks); }
  // Runs saquarantine with the words, expanded.
  RunResult Quarantine(std::vector<std::string> words);
  std::map<std::string, std::string> ids, originals;  // by name in the queue
  std::map<std::string, std::string> marks;
};

// One case: its name and builds; what is changed before (words: "no-output B"
// removes B's SpamAssassin output, "no-record A", "no-pickup C", "half-made A"
// leaves A as a run killed half-way does); saquarantine's words;
// the exit status; the lines its standard output and then its standard error
// must hold (in order, each a part of a line, "{A}" for an id); and a check of
// what is left afterwards.
struct QuarantineCase {
  std::string name;
  int builds;
  std::string before;
  std::vector<std::string> words;
  int status;
  std::string lines;
  std::function<void(QuarantineBox&, const RunResult&)> after;
};
inline void PrintTo(const QuarantineCase& c, std::ostream* out) { *out << c.name; }
std::vector<QuarantineCase> QuarantineCases(int build);
// saquarantine digest through a real SMTP server on the loopback.
void ExpectDigestsReachTheirRecipients(const Build& build);
void ExpectRequestsRaceReleasesAndDigests();
void RunQuarantineCase(const Build& build, const QuarantineCase& c);

}  // namespace saplugin
