#include "store/run_leftovers.h"

#include <gtest/gtest.h>

namespace saplugin {
namespace {

// Which names in TEMPPATH (T) and in a queue's Inbound\Messages (Q) are what
// the programs name after a run of their own: only those exact forms, with
// the run name as they write it; one line a name.
TEST(RunLeftovers, OnlyTheNamesTheProgramsGiveTheirPassingFilesAreLeftovers) {
  const std::string run = "0123456789ABCDEF0123456789ABCDEF", lower = "0123456789abcdef0123456789abcdef";
  constexpr LeftoverFolder T = LeftoverFolder::kTempPath, Q = LeftoverFolder::kQueueMessages;
  const struct {
    LeftoverFolder folder;
    std::string name;
    bool leftover;
  } rows[] = {
      {T, run + ".BAT", true},
      {T, run + ".OUT", true},
      {T, "00000000-12.OUT", true},  // a run that fell back to the fixed name
      {T, "00000000-012.BAT", false},
      {T, lower + ".OUT", false},
      {T, run + "0.BAT", false},
      {T, run + ".OUT.keep", false},
      {T, run + ".MAI", false},
      {T, "notes.BAT", false},
      {T, "sacheck-" + run + ".eml", true},
      {T, "sacheck-" + run + ".out", true},
      {T, "sacheck-probe.tmp", false},
      {T, "digest-" + run + ".sort12", true},
      {T, "digest-" + run + ".sort", false},
      {T, "digest-" + run + ".sort1x", false},
      {T, "spamd-127.0.0.1-783.time-" + run + ".new", true},
      {T, "spamd-mail_2.example-10783.down-00000000.new", true},
      {T, "spamd-127.0.0.1-783.time", false},  // the record itself
      {T, "spamd-127.0.0.1.time-" + run + ".new", false},
      {T, "spamd--783.time-" + run + ".new", false},  // no host before its port
      {T, "spamd-127.0.0.1-783.size-" + run + ".new", false},
      {T, "spamd-a b-783.down-" + run + ".new", false},
      {T, "N.MAI." + run + ".tmp", false},
      {Q, "N.MAI." + run + ".tmp", true},
      {Q, "..\\..\\..\\x." + run + ".tmp", false},  // a POSIX name with "\": it would lead out of the folder
      {Q, "N." + run + ".tmp", true},
      {Q, run + ".tmp", false},
      {Q, "." + run + ".tmp", false},
      {Q, "N.MAI." + lower + ".tmp", false},
      {Q, "N.MAI.NOTARUN.tmp", false},
      {Q, "N.MAI", false},
      {Q, run + "." + run + ".saquarantine", true},
      {Q, "N.MAI." + run + ".saquarantine", false},
      {Q, run + ".BAT", false},
  };
  for (const auto& row : rows) EXPECT_EQ(IsRunLeftoverName(row.folder, row.name), row.leftover) << row.name;
}

}  // namespace
}  // namespace saplugin
