#include "config/config_keys.h"

#include <gtest/gtest.h>

#include "memory_platform.h"

#include "config/conversions.h"
#include "config/load_options.h"
#include "config/spamd_hosts.h"

namespace saplugin {
namespace {

// The main section's options that a connector's section is laid over.
PluginOptions MainOptions() {
  PluginOptions options;
  options.SpamScore = 5;
  options.HighScore = 15;
  options.SpamdHosts = {{"spamd1", 783}};
  return options;
}

std::string Score(const std::optional<double>& score) { return score ? std::to_string(*score).substr(0, 4) : "none"; }

// Every option that differs from the start, so that a key that sets the wrong one shows.
std::string Changes(const PluginOptions& o, const PluginOptions& s = MainOptions()) {
  std::string hosts;
  for (const SpamdHost& host : o.SpamdHosts) hosts += (hosts.empty() ? "" : ",") + SpamdHostName(host);
  std::string text;
  const auto add = [&](bool changed, const std::string& what) { text += changed ? (text.empty() ? "" : " ") + what : ""; };
  add(o.Quarantine != s.Quarantine, "Quarantine=" + std::to_string(o.Quarantine));
  add(o.MaxMessageSize != s.MaxMessageSize, "MaxMessageSize=" + std::to_string(o.MaxMessageSize));
  add(o.KeepOriginal != s.KeepOriginal, "KeepOriginal");
  add(o.QuarantinePath != s.QuarantinePath, "QuarantinePath=" + o.QuarantinePath);
  add(o.SpamAssassinExe != s.SpamAssassinExe, "SpamAssassinExe=" + o.SpamAssassinExe);
  add(o.SpamAssassinRulesPath != s.SpamAssassinRulesPath, "SpamAssassinRulesPath=" + o.SpamAssassinRulesPath);
  add(o.TempPath != s.TempPath, "TempPath=" + o.TempPath);
  add(o.ScanTimeLimit != s.ScanTimeLimit, "ScanTimeLimit=" + std::to_string(o.ScanTimeLimit));
  add(o.SpamdTimeout != s.SpamdTimeout, "SpamdTimeout=" + std::to_string(o.SpamdTimeout));
  add(o.SpamdRetryAfter != s.SpamdRetryAfter, "SpamdRetryAfter=" + std::to_string(o.SpamdRetryAfter));
  add(o.ScanLogPath != s.ScanLogPath, "ScanLogPath=" + o.ScanLogPath);
  std::string start;
  for (const SpamdHost& host : s.SpamdHosts) start += (start.empty() ? "" : ",") + SpamdHostName(host);
  add(hosts != start, "SpamdHosts=" + (hosts.empty() ? "none" : hosts));
  add(o.QuarantineDays != s.QuarantineDays, "QuarantineDays=" + std::to_string(o.QuarantineDays));
  add(o.SaLearnExe != s.SaLearnExe, "SaLearnExe=" + o.SaLearnExe);
  add(o.DigestSmtp.host != s.DigestSmtp.host || o.DigestSmtp.port != s.DigestSmtp.port, "DigestSmtp=" + SpamdHostName(o.DigestSmtp));
  add(o.DigestFrom != s.DigestFrom, "DigestFrom=" + o.DigestFrom);
  std::string domains;
  for (const std::string& domain : o.DigestDomains) domains += "," + domain;
  add(o.DigestDomains != s.DigestDomains, "DigestDomains=" + domains.substr(domains.empty() ? 0 : 1));
  add(o.SpamScore != s.SpamScore, "SpamScore=" + Score(o.SpamScore));
  add(o.HighScore != s.HighScore, "HighScore=" + Score(o.HighScore));
  add(o.HighScoreAction != s.HighScoreAction, "HighScoreAction=" + (o.HighScoreAction ? std::to_string(*o.HighScoreAction) : "none"));
  add(o.Bypass != s.Bypass, "Bypass");
  add(o.TestMode != s.TestMode, "TestMode");
  add(o.ConnectorSection != s.ConnectorSection, "ConnectorSection=" + o.ConnectorSection);
  return text.empty() ? "nothing" : text;
}

// Each key's value as a run takes it, in the main section ("main") and in a
// connector's ("[C]"): what it changes, or its error's number and text.
TEST(ConfigKeys, EachValueIsTakenAsARunTakesIt) {
  const struct {
    const char* section;
    const char* key;
    const char* value;
    const char* taken;
  } cases[] = {
      {"main", "quarantine", "2", "Quarantine=2"},
      {"main", "QUARANTINE", "+007", "Quarantine=7"},
      {"main", "QUARANTINE", "70000", "6 Overflow: QUARANTINE \"70000\" is outside the range -32768 to 32767"},
      {"main", "MAXMESSAGESIZE", "1048576", "MaxMessageSize=1048576"},
      {"main", "KEEPORIGINAL", "1", "KeepOriginal"},
      {"main", "KEEPORIGINAL", "yes", "nothing"},
      {"main", "SPAMSCORE", "6,5", "13 Type mismatch: SPAMSCORE \"6,5\" is not a score (a number such as 8 or 6.5, with a point)"},
      {"main", "SPAMSCORE", "none", "13 Type mismatch: SPAMSCORE \"none\" is not a score (a number such as 8 or 6.5, with a point)"},
      {"[C]", "SPAMSCORE", "3.5", "SpamScore=3.50"},
      {"[C]", "SPAMSCORE", "None", "SpamScore=none"},
      {"[C]", "HIGHSCORE", "NONE", "HighScore=none"},
      {"[C]", "HIGHSCOREACTION", "delete", "13 Type mismatch: [C] HIGHSCOREACTION \"delete\" is not a whole number"},
      {"main", "HIGHSCOREACTION", "2", "HighScoreAction=2"},
      {"main", "TESTMODE", "1", "TestMode"},
      {"main", "TESTMODE", "yes", "13 Type mismatch: TESTMODE \"yes\" is not 0 or 1 (write 1 to turn it on, 0 to leave it off)"},
      // BYPASS does nothing in the main section, but a value meant as something still stops the runs.
      {"main", "BYPASS", "1", "nothing"},
      {"main", "BYPASS", "yes", "13 Type mismatch: BYPASS \"yes\" is not 0 or 1 (write 1 to turn it on, 0 to leave it off)"},
      {"[C]", "BYPASS", "1", "Bypass"},
      {"[C]", "BYPASS", "on", "13 Type mismatch: [C] BYPASS \"on\" is not 0 or 1 (write 1 to turn it on, 0 to leave it off)"},
      {"main", "QUARANTINEPATH", "C:\\Q", "QuarantinePath=C:\\Q"},
      {"main", "SPAMASSASSINEXE", "C:\\sa.exe", "SpamAssassinExe=C:\\sa.exe"},
      {"[C]", "SPAMASSASSINRULESPATH", "C:\\rules", "SpamAssassinRulesPath=C:\\rules"},
      {"main", "TEMPPATH", "C:\\T", "TempPath=C:\\T"},
      {"main", "SCANTIMELIMIT", "120", "ScanTimeLimit=120"},
      {"[C]", "SCANTIMELIMIT", "100000", "ScanTimeLimit=86400"},  // a day at most
      {"main", "SPAMDTIMEOUT", "0", "nothing"},                   // 0 or less: the default
      {"main", "SPAMDTIMEOUT", "-5", "nothing"},
      {"[C]", "SPAMDTIMEOUT", "30", "SpamdTimeout=30"},
      {"main", "SPAMDRETRYAFTER", "0", "nothing"},
      {"main", "SPAMDRETRYAFTER", "90", "SpamdRetryAfter=90"},
      {"main", "SPAMDHOSTS", "a, b:784", "SpamdHosts=a:783,b:784"},
      {"[C]", "SPAMDHOSTS", "None", "SpamdHosts=none"},
      {"[C]", "SPAMDHOSTS", "host:99999",
       "13 Type mismatch: [C] SPAMDHOSTS \"host:99999\": host entry 1 \"host:99999\" is no host or host:port: its port 99999 is outside 1 to 65535"},
      {"main", "QUARANTINEDAYS", "14", "QuarantineDays=14"},
      {"main", "QUARANTINEDAYS", "2 weeks", "13 Type mismatch: QUARANTINEDAYS \"2 weeks\" is not a whole number"},
      {"main", "SALEARNEXE", "C:\\learn.exe", "SaLearnExe=C:\\learn.exe"},
      {"main", "SCANLOGPATH", "%ProgramData%\\log", "ScanLogPath=%ProgramData%\\log"},  // expanded by the loader
      {"main", "DIGESTSMTP", "mail.example.com", "DigestSmtp=mail.example.com:25"},
      {"main", "DIGESTSMTP", "[::1]:587", "DigestSmtp=[::1]:587"},
      {"main", "DIGESTSMTP", "a:25,b:25", "13 Type mismatch: DIGESTSMTP \"a:25,b:25\" is no host or host:port: it names more than one host"},
      {"main", "DIGESTSMTP", "mail:0", "13 Type mismatch: DIGESTSMTP \"mail:0\" is no host or host:port: its port 0 is outside 1 to 65535"},
      {"main", "DIGESTFROM", "Quarantine@Example.com", "DigestFrom=quarantine@example.com"},
      {"main", "DIGESTFROM", "Quarantine <q@example.com>",
       "13 Type mismatch: DIGESTFROM \"Quarantine <q@example.com>\" is no address (name@domain, without a display name)"},
      {"main", "DIGESTFROM", "q@", "13 Type mismatch: DIGESTFROM \"q@\" is no address (name@domain, without a display name)"},
      {"main", "DIGESTDOMAINS", "Example.com, example.NET", "DigestDomains=example.com,example.net"},
      {"main", "DIGESTDOMAINS", "example.com,", "13 Type mismatch: DIGESTDOMAINS \"example.com,\": entry 2 \"\" is no domain"},
      {"main", "DIGESTDOMAINS", "exa mple.com", "13 Type mismatch: DIGESTDOMAINS \"exa mple.com\": entry 1 \"exa mple.com\" is no domain"},
  };
  for (const auto& c : cases) {
    const ConfigKey* key = FindConfigKey(c.key);
    ASSERT_NE(key, nullptr) << c.key;
    const bool connector = std::string(c.section) == "[C]";
    PluginOptions options = MainOptions();
    std::string taken;
    try {
      key->set(options, c.value, connector ? "[C] " : "", connector);
      taken = Changes(options);
    } catch (const SettingError& error) {
      taken = std::to_string(error.Number()) + " " + error.Description();
      EXPECT_STREQ(error.Key().c_str(), key->name) << "an error names its own key";
    }
    EXPECT_EQ(taken, c.taken) << c.section << " " << c.key << "=" << c.value;
  }
}

// Where each key does something: the policy's keys and the filter's own in
// both kinds of section, the folders and programs in the main one alone.
TEST(ConfigKeys, EachKeyBelongsInItsSections) {
  std::string main, connector;
  for (const ConfigKey& key : ConfigKeys()) {
    if (BelongsIn(key, false)) main += std::string(main.empty() ? "" : " ") + key.name;
    if (BelongsIn(key, true)) connector += std::string(connector.empty() ? "" : " ") + key.name;
  }
  EXPECT_EQ(main,
            "QUARANTINE MAXMESSAGESIZE KEEPORIGINAL SPAMSCORE HIGHSCORE HIGHSCOREACTION TESTMODE QUARANTINEPATH SPAMASSASSINEXE "
            "SPAMASSASSINRULESPATH TEMPPATH SCANTIMELIMIT SPAMDHOSTS SPAMDTIMEOUT SPAMDRETRYAFTER QUARANTINEDAYS SALEARNEXE SCANLOGPATH "
            "DIGESTSMTP DIGESTFROM DIGESTDOMAINS");
  EXPECT_EQ(connector,
            "QUARANTINE MAXMESSAGESIZE KEEPORIGINAL SPAMSCORE HIGHSCORE HIGHSCOREACTION TESTMODE BYPASS SPAMASSASSINRULESPATH "
            "SCANTIMELIMIT SPAMDHOSTS SPAMDTIMEOUT");
  EXPECT_EQ(FindConfigKey("SPAMDRETRY"), nullptr);
}

// A whole configuration file as a run loads it, in memory: the main section
// ("|" stands for a line break), the section of the run's connector SMTP, what
// the options hold after, and the event-log entries (or the error).
TEST(ConfigKeys, AFileIsLoadedAsARunLoadsIt) {
  const std::string long_pool = "[Connector SMTP]|SPAMDHOSTS=" + std::string(32768, 'h');
  const struct {
    const char* main;
    const char* connector;
    const char* loaded;
  } cases[] = {
      {nullptr, nullptr, "no file | Error: Can't run SpamAssassin because no plugin config file at path: C:\\Program"},
      {"QUARANTINE=1", nullptr, "nothing | Warning: Turning off quarantining for SpamAssassin because no path set in config file"},
      {"QUARANTINE=1|QUARANTINEPATH=C:\\Q", nullptr, "Quarantine=1 QuarantinePath=C:\\Q\\ (Messages made)"},
      {"QUARANTINEPATH=C:\\Gone", nullptr, "error 20001 Quantine path is not a valid directory. | Error: Quantine path is not a valid directory."},
      // The first key that does not convert stops the load, before any folder is looked at.
      {"QUARANTINE=x|SPAMSCORE=y|QUARANTINEPATH=C:\\Gone", nullptr, "error 13 Type mismatch: QUARANTINE \"x\" is not a whole number"},
      {"BYPASS=yes", nullptr, "error 13 Type mismatch: BYPASS \"yes\" is not 0 or 1"},  // checked, though it does nothing here
      {"TEMPPATH=C:\\T|SPAMDHOSTS=a:1|SPAMDTIMEOUT=0", nullptr, "TempPath=C:\\T\\ SpamdHosts=a:1 | Warning: Turning off"},
      {"SCANLOGPATH=%LOGS%\\scans|QUARANTINEPATH=C:\\Q", nullptr, "QuarantinePath=C:\\Q\\ ScanLogPath=C:\\Logs\\scans\\ (Messages made)"},
      {"SCANLOGPATH=%NOPE%\\scans|QUARANTINEPATH=C:\\Q", nullptr,
       "QuarantinePath=C:\\Q\\ (Messages made) | Warning: The scan log is off for this run: SCANLOGPATH \"%NOPE%\\scans\" names the environment "
       "variable NOPE, which is not set"},
      // The connector's section, over the main one; its name in any letter case.
      {"QUARANTINEPATH=C:\\Q|SPAMSCORE=5", "[connector smtp]|QUARANTINE=2|SPAMSCORE=", "Quarantine=2 QuarantinePath=C:\\Q\\ SpamScore=5.00 "
                                                                                      "ConnectorSection=Connector SMTP (Messages made)"},
      {"QUARANTINE=1", "[Connector SMTP]|QUARANTINE=2", "ConnectorSection=Connector SMTP | Warning: Turning off"},
      {"QUARANTINEPATH=C:\\Q", "[Connector Other]|BYPASS=1", "QuarantinePath=C:\\Q\\ (Messages made)"},
      {"QUARANTINEPATH=C:\\Q|BYPASS=1", "[Connector SMTP]|BYPASS=1", "QuarantinePath=C:\\Q\\ Bypass ConnectorSection=Connector SMTP (Messages made)"},
      // A main section's key in the connector's is no key of it.
      {"QUARANTINEPATH=C:\\Q", "[Connector SMTP]|TEMPPATH=C:\\T|QUARANTINEDAYS=x|SPAMASSASSINEXE=C:\\x.exe", "QuarantinePath=C:\\Q\\ (Messages made)"},
      {"QUARANTINEPATH=C:\\Q", "[Connector SMTP]|SPAMDTIMEOUT=9|SPAMDHOSTS=none",
       "QuarantinePath=C:\\Q\\ SpamdTimeout=9 ConnectorSection=Connector SMTP (Messages made)"},
      {"SPAMDHOSTS=a", "[Connector SMTP]|SPAMDHOSTS=b,c:784", "SpamdHosts=b:783,c:784 ConnectorSection=Connector SMTP | Warning: Turning off"},
      {"SPAMDHOSTS=a", long_pool.c_str(), "error 6 Overflow: [Connector SMTP] SPAMDHOSTS is longer than 32767 characters"},
      {"QUARANTINEPATH=C:\\Q", "[Connector SMTP]|SCANTIMELIMIT=1 0",
       "error 13 Type mismatch: [Connector SMTP] SCANTIMELIMIT \"1 0\" is not a whole number (Messages made)"},
  };
  for (const auto& c : cases) {
    test::MemoryPlatform platform;
    platform.fs.AddFolder("C:\\Q");
    platform.environment["LOGS"] = "C:\\Logs";
    const std::string connector = c.connector != nullptr ? std::string("|") + c.connector : "";
    if (c.main != nullptr) platform.PutConfiguration(std::string("[SPAMASSASSIN Plugin Config]|") + c.main + connector);
    PluginOptions options;
    std::string loaded;
    try {
      if (LoadOptions(platform, options)) {
        LoadConnectorOptions(platform, ConfigFile(platform), "SMTP", options);
        loaded = Changes(options, PluginOptions());
      } else {
        loaded = "no file";
      }
    } catch (const Error& error) {
      loaded = "error " + std::to_string(error.Number()) + " " + error.Description();
    }
    if (platform.fs.FolderExists("C:\\Q\\Messages")) loaded += " (Messages made)";
    for (const auto& entry : platform.events) {
      loaded += std::string(" | ") + (entry.level == EventLevel::kError ? "Error: " : "Warning: ") + entry.text;
    }
    EXPECT_EQ(loaded.substr(0, std::string(c.loaded).size()), c.loaded) << (c.main ? c.main : "no file") << " / " << (c.connector ? c.connector : "");
  }
  // A connector with no name, or one that holds a bracket, has no section: a
  // section's name ends at its first "]", which sacheck tells the operator.
  for (const char* connector : {"SMTP[", ""}) {
    test::MemoryPlatform platform;
    platform.PutConfiguration("[SPAMASSASSIN Plugin Config]|[Connector SMTP[]|QUARANTINE=2|[Connector ]|QUARANTINE=2");
    PluginOptions options;
    EXPECT_FALSE(LoadConnectorOptions(platform, ConfigFile(platform), connector, options)) << connector;
    EXPECT_EQ(Changes(options, PluginOptions()), "nothing") << connector;
  }
}

}  // namespace
}  // namespace saplugin
