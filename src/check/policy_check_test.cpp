#include "check/policy_check.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>

#include "config/load_options.h"
#include "expect_among.h"
#include "memory_platform.h"

namespace saplugin {
namespace {

// sacheck's lines of the keys and of each section's policy, from a whole file
// in memory: the main section's keys from line 2 ("|" stands for a line
// break), then QUARANTINE=1 and QUARANTINEPATH, the other sections after them. Each line of lines must be among
// sacheck's ("STATUS|subject|detail", or any part of one); one starting with
// "!" must not. queues: the connectors with a queue folder; required: the
// trial scan's required score.
TEST(PolicyCheck, TheKeysByTheirLinesAndEachSectionsPolicy) {
  const std::string main = "[SPAMASSASSIN Plugin Config] ", flag = "spam by the filter's flag; spam -> ";
  const struct {
    const char* main;
    const char* sections;
    const char* required;
    std::string lines;
  } cases[] = {
      {"QUARANTIEN=2", "", "5.0", "WARNING|line 2|" + main + "QUARANTIEN is no key saplugin reads: runs ignore it"},
      {"", "[Connector SMTP]|TEMPPATH=C:\\Temp|quarantine=2", "5.0",
       "WARNING|line 5|[Connector SMTP] TEMPPATH belongs in the main section\nOK|policy, [Connector SMTP]|" + flag + "deleted; clean -> tagged\n!line 6"},
      {"", "[Connector Inbund]|QUARANTINE=2", "5.0",
       "WARNING|line 4|[Connector Inbund] names no connector: C:\\Server\\QUEUES has no folder Inbund, so no run reads this section "
       "(the connectors: SMTP)"},
      {"SPAMSCORE=5|HIGHSCORE=4|HIGHSCOREACTION=2", "", "5.0",
       "WARNING|line 3|HIGHSCORE 4 is not above SPAMSCORE 5: all spam with a score is deleted\n"
       "OK|policy, main|spam at score 5 or more (by the flag without a score); spam -> quarantined; high score 4 -> deleted; clean -> tagged"},
      {"HIGHSCORE=5|HIGHSCOREACTION=2", "", "5.0", "WARNING|line 2|HIGHSCORE 5 is not above the rules' required score 5.0 (the trial scan's)"},
      {"HIGHSCORE=5|HIGHSCOREACTION=2", "", "", "WARNING|line 2|HIGHSCORE 5 is not compared with the rules' required score, which is unknown"},
      {"HIGHSCORE=5.1|HIGHSCOREACTION=2", "", "5.0", "!HIGHSCORE 5.1 is"},
      {"HIGHSCORE=15", "", "5.0", "WARNING|line 2|HIGHSCORE 15 without HIGHSCOREACTION changes nothing"},
      {"", "[Connector SMTP]|KEEPORIGINAL=on|[Connector Other]|BYPASS=yes", "5.0",
       "WARNING|line 5|[Connector SMTP] KEEPORIGINAL \"on\" is off\nFAIL|line 7|Type mismatch: [Connector Other] BYPASS \"yes\" is not 0 or 1"},
      // A section that fails to load hides none after it.
      {"", "[Connector Other]|BYPASS=yes|[Connector SMTP]|QUARANTINE=2", "5.0",
       "FAIL|line 5|Type mismatch: [Connector Other] BYPASS \"yes\"\nOK|policy, [Connector SMTP]|spam by the filter's flag; spam -> deleted"},
      // "none" takes a main section's key away; a connector without the pool needs the filter program.
      {"SPAMSCORE=5|HIGHSCORE=15|HIGHSCOREACTION=2", "[Connector SMTP]|SPAMSCORE=none|HIGHSCORE=NONE", "5.0",
       "OK|policy, [Connector SMTP]|spam by the filter's flag; spam -> quarantined; clean -> tagged; none of the main section's SPAMSCORE, HIGHSCORE"},
      {"SPAMDHOSTS=127.0.0.1:1", "[Connector SMTP]|SPAMDHOSTS=none", "5.0",
       "OK|policy, [Connector SMTP]|" + flag + "quarantined; clean -> tagged; none of the main section's SPAMDHOSTS (scanned through SPAMASSASSINEXE)\n"
       "FAIL|line 6|[Connector SMTP] SPAMDHOSTS=none scans through SPAMASSASSINEXE, but it is not set"},
      {"SPAMDHOSTS=127.0.0.1:1|SPAMASSASSINEXE=C:\\SA\\sa.exe", "[Connector SMTP]|SPAMDHOSTS=none", "5.0",
       "FAIL|line 7|[Connector SMTP] SPAMDHOSTS=none scans through SPAMASSASSINEXE, but C:\\SA\\sa.exe is no program"},
      {"BYPASS=1", "", "5.0", "WARNING|line 2|" + main + "BYPASS does nothing in the main section"},
      {"SPAMSCORE=6.5|HIGHSCORE=15|HIGHSCOREACTION=2|MAXMESSAGESIZE=1000",
       "[connector SMTP]|SPAMSCORE=8|TESTMODE=1|SPAMDTIMEOUT=9|SPAMDHOSTS=b|KEEPORIGINAL=0|[Connector Other]|BYPASS=1", "5.0",
       "OK|policy, main|spam at score 6.5 or more (by the flag without a score); spam -> quarantined; high score 15 -> deleted; clean -> tagged; "
       "over 1000 bytes unscanned\n"
       "WARNING|policy, [connector SMTP]|spam at score 8 or more (by the flag without a score); spam -> quarantined; high score 15 -> deleted; "
       "clean -> tagged; over 1000 bytes unscanned; its own SPAMDHOSTS, SPAMDTIMEOUT (test mode): messages are scanned and logged as what would be done, and "
       "left as they arrive\nOK|policy, [Connector Other]|passed unscanned (bypassed)"},
      {"", "[Connector SMTP]|QUARANTINE=2|spamscore=6,5", "5.0",
       "FAIL|line 6|Type mismatch: [Connector SMTP] SPAMSCORE \"6,5\" is not a score (a number such as 8 or 6.5, with a point): every run of "
       "connector SMTP stops before scanning (exit status 2)\n!policy, [Connector"},
      {"", "[Connector SMTP]|QUARANTINE=2|Quarantine=0|[CONNECTOR SMTP]|BYPASS=1", "5.0",
       "WARNING|line 6|[Connector SMTP] Quarantine again: runs take the one at line 5\n"
       "WARNING|line 7|[CONNECTOR SMTP] again: runs read only its first occurrence, at line 4\nOK|policy, [Connector SMTP]|" + flag + "deleted\n"
       "!policy, [CONNECTOR"},
      {"", "[Conector SMTP]|QUARANTINE=2|[Connector SMTP]|QUARANTINE|QUARANTINE=0|SPAMSCORE=6", "5.0",
       "WARNING|line 4|[Conector SMTP] is no section saplugin reads\n"
       "WARNING|line 7|[Connector SMTP] \"QUARANTINE\" holds no \"=\": no value is read from it, and it hides any QUARANTINE below it\n"
       "WARNING|line 8|[Connector SMTP] QUARANTINE is hidden by line 7\nOK|policy, [Connector SMTP]|spam at score 6 or more "
       "(by the flag without a score); spam -> quarantined"},
      {"", "QUARANTINE=1|[Other]|X=1", "5.0", "WARNING|line 1|QUARANTINE stands before any section\nWARNING|line 2|[Other] is no section saplugin reads"},
  };
  for (const auto& c : cases) {
    test::MemoryPlatform platform;
    platform.fs.AddFolder("C:\\Q");
    const std::string file = ConfigFile(platform);
    const std::string sections = c.sections;
    // A file that starts with a key has it before any section.
    const bool before = !sections.empty() && sections[0] != '[';
    const std::string keys = std::string(c.main) + (*c.main ? "|" : "") + "QUARANTINE=1|QUARANTINEPATH=C:\\Q";
    platform.PutConfiguration(before ? sections : "[SPAMASSASSIN Plugin Config]|" + keys + (sections.empty() ? "" : "|" + sections));
    PluginOptions options;
    std::string shown;
    try {
      LoadOptions(platform, options);
      const ConfigOutline outline = ReadConfigOutline(platform.fs, file);
      std::vector<CheckLine> found = CheckOutline(outline);
      const auto policies = CheckPolicies(platform, file, outline, options, QueueFolders{"C:\\Server\\QUEUES", {"SMTP"}}, c.required);
      found.insert(found.end(), policies.begin(), policies.end());
      for (const CheckLine& line : found) shown += line.status + "|" + line.subject + "|" + line.detail + "\n";
    } catch (const Error& error) {
      shown = "error " + error.Description();
    }
    test::ExpectAmong(shown, c.lines, std::string(c.main) + " / " + c.sections);
  }
}

#ifdef SAPLUGIN_SAMPLE_CONFIG
// The sample configuration with every recipe taken out of its comments, its
// folders and programs in place: each key is one that runs read where it
// stands, and each section's policy is the one its comments describe.
TEST(PolicyCheck, TheSamplesRecipesAreKeysThatRunsRead) {
  test::MemoryPlatform platform;
  for (const char* folder : {"C:\\Mail\\Quarantine", "C:\\Mail\\Temp", "C:\\SpamAssassin\\share\\spamassassin"}) platform.fs.AddFolder(folder);
  platform.fs.Put("C:\\SpamAssassin\\spamassassin.exe", "MZ");
  platform.fs.Put("C:\\SpamAssassin\\sa-learn.exe", "MZ");
  platform.environment["ProgramData"] = "C:\\ProgramData";
  std::ifstream sample(SAPLUGIN_SAMPLE_CONFIG);
  std::string text;
  for (std::string line; std::getline(sample, line);) {
    if (line.size() > 1 && line[0] == ';' && (line[1] == '[' || std::isupper(static_cast<unsigned char>(line[1])))) line.erase(0, 1);
    text += line + "\n";
  }
  ASSERT_GT(text.size(), 1000u) << SAPLUGIN_SAMPLE_CONFIG;
  const std::string file = ConfigFile(platform);
  platform.fs.Put(file, text);
  PluginOptions options;
  LoadOptions(platform, options);
  const ConfigOutline outline = ReadConfigOutline(platform.fs, file);
  std::vector<CheckLine> found = CheckOutline(outline);
  const auto policies = CheckPolicies(platform, file, outline, options, QueueFolders{"C:\\Server\\QUEUES", {"Outbound", "POP3", "Local"}}, "5.0");
  found.insert(found.end(), policies.begin(), policies.end());
  std::string shown;
  for (const CheckLine& line : found) shown += line.status + "|" + line.subject + "|" + line.detail + "\n";
  test::ExpectAmong(shown,
                    "!line \nWARNING|policy, main|spam at score 5 or more (by the flag without a score); spam -> quarantined; high score 15 -> "
                    "deleted; clean -> tagged; over 262144 bytes unscanned (test mode)\nover 262144 bytes unscanned (bypass in test mode: scanned, "
                    "logged as would-bypass)\nWARNING|policy, [Connector POP3]|spam at score 4 or more",
                    "the sample");
}
#endif

}  // namespace
}  // namespace saplugin
