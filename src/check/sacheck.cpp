// sacheck: the operator's check of a saplugin set-up (see --help).

#include <iostream>

#include "check/check.h"
#include "helpers/command_line.h"
#include "run/main.h"

namespace {

const char* const kDescription =
    "Checks a saplugin set-up before mail flows through it, with the code that runs use:\n"
    "  - every key of spamassassinconfig.ini (beside sacheck, or FILE): the text as written,\n"
    "    the value as a run uses it, and whether folders exist and can be written and the\n"
    "    filter program and rules path exist;\n"
    "  - today's scan log summed up (every file of the day), the quarantine (messages, size,\n"
    "    the oldest, parts missing, messages older than QUARANTINEDAYS, release marks), every\n"
    "    spamd host of SPAMDHOSTS (read whole; an entry that is no host is named) asked on its\n"
    "    own for PING and a scan of GTUBE (Spam: True), all within SPAMDTIMEOUT, a pool whose\n"
    "    SCANTIMELIMIT leaves no time for a second host, and on Windows whether the event\n"
    "    source names this folder's saplugin.exe;\n"
    "  - the mail server's data directory (registry) and each connector's queue folders,\n"
    "    whether they may be written (asked of the system: no file is made in a queue);\n"
    "  - a trial scan of a GTUBE message (must come back flagged) and a clean one (must not)\n"
    "    through the configured filter or spamd pool, in TEMPPATH only;\n"
    "  - the policy of the main section and of each [Connector NAME] section as runs lay it,\n"
    "    and by their line, keys no run reads, keys a connector section cannot hold, sections\n"
    "    of no connector, HIGHSCORE not above SPAMSCORE or the rules' required score.\n"
    "Nothing in a queue is changed and no event-log entry is written.";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "sacheck");
  app.footer("Prints one line per check (OK, WARNING or FAIL) and a summary; exits 0 when nothing\n"
             "failed, 1 otherwise, 2 for a wrong command line.");
  app.set_version_flag("--version", saplugin::kVersionText);
  std::string config_file;
  app.add_option("--config", config_file, "the configuration to check instead of the one beside sacheck")->type_name("FILE");
  if (const auto status = saplugin::ParseCommandLine(app, std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr, 2)) {
    return *status;
  }
  try {
    auto platform = saplugin::CreatePlatform(argc, argv);
    return saplugin::RunChecks(*platform, config_file, std::cout);
  } catch (const saplugin::Error& error) {
    std::cerr << "sacheck: error " << error.Number() << " (" << error.Source() << "): " << error.Description() << '\n';
    return 2;
  }
}
