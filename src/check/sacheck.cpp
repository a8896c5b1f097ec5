// sacheck: the operator's check of a saplugin set-up (see --help).

#include <cstring>
#include <iostream>

#include "check/check.h"
#include "run/main.h"

namespace {

const char* const kUsage =
    "usage: sacheck [--config FILE]\n"
    "       sacheck --version\n"
    "\n"
    "Checks a saplugin set-up before mail flows through it, with the code that runs use:\n"
    "  - every key of spamassassinconfig.ini (beside sacheck, or FILE): the text as written,\n"
    "    the value as a run uses it, and whether folders exist and can be written and the\n"
    "    filter program and rules path exist;\n"
    "  - today's scan log summed up (every file of the day), the quarantine (messages, size,\n"
    "    the oldest, parts missing, messages older than QUARANTINEDAYS), every spamd host of SPAMDHOSTS\n"
    "    (read whole; an entry that is no host is named) asked whether it is up,\n"
    "    and on Windows whether the event source names this folder's saplugin.exe;\n"
    "  - the mail server's data directory (registry) and each connector's queue folders,\n"
    "    whether they may be written (asked of the system: no file is made in a queue);\n"
    "  - a trial scan of a GTUBE message (must come back flagged) and a clean one (must not)\n"
    "    through the configured filter or spamd pool, in TEMPPATH only.\n"
    "Nothing in a queue is changed and no event-log entry is written. Prints one line per\n"
    "check (OK, WARNING or FAIL) and a summary; exits 0 when nothing failed, 1 otherwise.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string config_file;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
      config_file = argv[++i];
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::cout << saplugin::kVersionText << '\n';
      return 0;
    } else {
      std::cout << kUsage;
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  try {
    auto platform = saplugin::CreatePlatform(argc, argv);
    return saplugin::RunChecks(*platform, config_file, std::cout);
  } catch (const saplugin::Error& error) {
    std::cerr << "sacheck: error " << error.Number() << " (" << error.Source() << "): " << error.Description() << '\n';
    return 2;
  }
}
