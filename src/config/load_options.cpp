#include "config/load_options.h"

#include <algorithm>

#include "config/conversions.h"
#include "config/spamd_hosts.h"
#include "helpers/batch_text.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace saplugin {

const char* const kConfigFileName = "spamassassinconfig.ini";
const char* const kConfigSection = "SPAMASSASSIN Plugin Config";
const char* const kConnectorSectionPrefix = "Connector ";
const char* const kScanLogOffEntry = "The scan log is off for this run: ";
const char* const kNoneValue = "none";

namespace {

constexpr std::uint32_t kValueBufferSize = 255;

// Misspelt on purpose: operators' event-log filters match this text as it stands.
const char* const kQuarantinePathInvalid = "Quantine path is not a valid directory.";

// One key of a section through the profile reader: the trimmed value, or
// false when the reader put nothing in the buffer (missing section, key or
// value).
bool ReadSectionSetting(Platform& platform, const std::string& file, const std::string& section, const char* key,
                        std::string* value) {
  char buffer[kValueBufferSize] = {};
  const std::uint32_t length =
      platform.ReadProfileString(section, key, "", buffer, kValueBufferSize, file);
  if (length == 0) return false;
  *value = Trim(std::string(buffer, length < kValueBufferSize ? length : kValueBufferSize - 1), " ");
  return true;
}

bool ReadSetting(Platform& platform, const std::string& file, const char* key, std::string* value) {
  return ReadSectionSetting(platform, file, kConfigSection, key, value);
}

// A number of seconds, at most a day, so that no wait's time can wrap.
std::int32_t ToSeconds(const std::string& value, const char* key, const std::string& label = "") {
  const std::int32_t seconds = ToInteger32(value, key, label);
  return seconds > kLongestTimeLimit ? kLongestTimeLimit : seconds;
}

void EnsureTrailingBackslash(std::string& path) {
  if (path.empty() || path.back() != '\\') path += '\\';
}

}  // namespace

std::string ScanLogFolder(Platform& platform, const std::string& value) {
  // "%ProgramData%\saplugin\ScanLog", as the installer writes it. A name
  // that holds a "\" is a folder's "%" signs, no variable.
  std::string unset;
  std::string folder = ExpandCommandText(value, [&](const std::string& name) {
    std::string found = platform.EnvironmentValue(name);
    if (found.empty() && unset.empty() && name.find('\\') == std::string::npos) unset = name;
    return found;
  });
  // Left as it stands, "%NAME%\logs" would be a folder below wherever the run started.
  if (!unset.empty()) {
    throw Error(kErrorInvalidArgument, "LoadOptions",
                "SCANLOGPATH \"" + value + "\" names the environment variable " + unset + ", which is not set");
  }
  if (!folder.empty()) EnsureTrailingBackslash(folder);
  return folder;
}

std::string ReadWholeSetting(Platform& platform, const std::string& file, const char* key) {
  return ReadWholeSetting(platform, file, kConfigSection, key);
}

std::string ReadWholeSetting(Platform& platform, const std::string& file, const std::string& section, const char* key) {
  // The reader fills all but the terminator's place when it cuts a value:
  // read again with more room until the value ends short of it. The last
  // room holds one more than the longest value taken, so that a value of
  // just that length is told from one that was cut.
  constexpr std::uint32_t kLastRoom = kLongestWholeSetting + 2;
  for (std::uint32_t size = kValueBufferSize;; size = size * 4 > kLastRoom ? kLastRoom : size * 4) {
    std::string buffer(size, '\0');
    const std::uint32_t length = platform.ReadProfileString(section, key, "", &buffer[0], size, file);
    if (length + 1 < size) return Trim(buffer.substr(0, length), " ");
    if (size >= kLastRoom) {
      // A connector section's key is named with it, as in the other keys' errors.
      const std::string label = section == kConfigSection ? "" : "[" + section + "] ";
      throw Error(kErrorOverflow, "LoadOptions",
                  "Overflow: " + label + key + " is longer than " + std::to_string(kLongestWholeSetting) + " characters");
    }
  }
}

std::string MissingConfigurationText(const std::string& file) { return file + ": no such configuration file"; }

std::string ConfigFile(Platform& platform) { return platform.ExecutableDirectory() + "\\" + kConfigFileName; }

bool LoadOptions(Platform& platform, PluginOptions& options, bool make_folders) {
  return LoadOptionsFrom(platform, ConfigFile(platform), options, make_folders);
}

bool MakeQuarantineFolders(Platform& platform, const PluginOptions& options) {
  if (options.QuarantinePath.empty()) return false;
  auto fs = platform.CreateFileSystem();
  const std::string messages = BuildPath(options.QuarantinePath, "Messages");
  if (fs->FolderExists(messages)) return false;
  fs->CreateFolder(messages);
  return true;
}

namespace {

// True when the key is among the names (which, when given, are all the
// section holds): a key that is not there costs no read of the file.
bool Listed(const std::vector<std::string>* names, const char* key) {
  if (names == nullptr) return true;
  return std::any_of(names->begin(), names->end(), [key](const std::string& name) { return SameIgnoringCase(name, key); });
}

bool LoadPolicyKeys(Platform& platform, const std::string& file, const std::string& section, PluginOptions& options,
                    const std::vector<std::string>* names) {
  // A connector section's keys are named with it in an error: "[Connector SMTP] QUARANTINE".
  const std::string label = section == kConfigSection ? "" : "[" + section + "] ";
  bool found = false;
  std::string value;
  const auto read = [&](const char* key) {
    const bool here = Listed(names, key) && ReadSectionSetting(platform, file, section, key, &value);
    found = found || here;
    return here;
  };
  const bool connector = section != kConfigSection;
  if (read("QUARANTINE")) options.Quarantine = ToInteger16(value, "QUARANTINE", label);
  if (read("MAXMESSAGESIZE")) options.MaxMessageSize = ToInteger32(value, "MAXMESSAGESIZE", label);
  if (read("KEEPORIGINAL")) options.KeepOriginal = value == "1";
  // An empty value sets nothing: a connector's "SPAMSCORE=" leaves the main
  // section's; its "SPAMSCORE=none" takes the main section's away.
  if (read("SPAMSCORE") && !value.empty()) {
    options.SpamScore = connector && IsNoneValue(value) ? std::nullopt : std::optional<double>(ToScore(value, "SPAMSCORE", label));
  }
  if (read("HIGHSCORE") && !value.empty()) {
    options.HighScore = connector && IsNoneValue(value) ? std::nullopt : std::optional<double>(ToScore(value, "HIGHSCORE", label));
  }
  if (read("HIGHSCOREACTION") && !value.empty()) options.HighScoreAction = ToInteger16(value, "HIGHSCOREACTION", label);
  if (read("TESTMODE") && !value.empty()) options.TestMode = ToSwitch(value, "TESTMODE", label);
  // Passing mail unscanned is a connector's matter alone; in the main section
  // the value is still checked, since "BYPASS=yes" is meant as something.
  if (Listed(names, "BYPASS") && ReadSectionSetting(platform, file, section, "BYPASS", &value) && !value.empty()) {
    const bool bypass = ToSwitch(value, "BYPASS", label);
    if (connector) {
      options.Bypass = bypass;
      found = true;
    }
  }
  return found;
}

}  // namespace

bool IsNoneValue(const std::string& value) { return SameIgnoringCase(value, kNoneValue); }

bool LoadPolicy(Platform& platform, const std::string& file, const std::string& section, PluginOptions& options) {
  return LoadPolicyKeys(platform, file, section, options, nullptr);
}

bool LoadConnectorOptions(Platform& platform, const std::string& file, const std::string& connector, PluginOptions& options) {
  const std::string section = kConnectorSectionPrefix + connector;
  const std::string label = "[" + section + "] ";
  // The profile reader takes a section's name up to its first "]".
  if (connector.empty() || connector.find_first_of("[]") != std::string::npos) return false;
  // One read tells the keys the section holds: most connectors have none, and pay for that read alone.
  const std::vector<std::string> names = platform.ReadProfileKeyNames(section, file);
  if (names.empty()) return false;
  bool found = LoadPolicyKeys(platform, file, section, options, &names);
  std::string value;
  const auto read = [&](const char* key) {
    const bool here = Listed(&names, key) && ReadSectionSetting(platform, file, section, key, &value);
    found = found || here;
    return here;
  };
  if (read("SPAMASSASSINRULESPATH")) options.SpamAssassinRulesPath = value;
  if (read("SCANTIMELIMIT")) options.ScanTimeLimit = ToSeconds(value, "SCANTIMELIMIT", label);
  if (read("SPAMDTIMEOUT")) {
    const std::int32_t seconds = ToSeconds(value, "SPAMDTIMEOUT", label);
    options.SpamdTimeout = seconds > 0 ? seconds : kDefaultSpamdTimeout;
  }
  // The pool's list may be long: read whole, as in the main section.
  value = Listed(&names, "SPAMDHOSTS") ? ReadWholeSetting(platform, file, section, "SPAMDHOSTS") : "";
  if (IsNoneValue(value)) options.SpamdHosts.clear();
  else if (!value.empty()) options.SpamdHosts = ParseSpamdHosts(value, label);
  found = found || !value.empty();
  if (found) options.ConnectorSection = section;
  // Quarantining needs the main section's folder, whichever section asks for it.
  if (options.QuarantinePath.empty()) options.Quarantine = 0;
  return found;
}

bool LoadOptionsFrom(Platform& platform, const std::string& file, PluginOptions& options, bool make_folders) {
  const std::string directory = file.substr(0, file.find_last_of("\\/"));
  auto fs = platform.CreateFileSystem();
  if (!fs->FileExists(file)) {
    platform.LogEvent(EventLevel::kError, "Can't run SpamAssassin because no plugin config file at path: " + directory);
    return false;
  }

  std::string value;
  LoadPolicy(platform, file, kConfigSection, options);
  if (ReadSetting(platform, file, "QUARANTINEPATH", &value)) {
    options.QuarantinePath = value;
    if (!fs->FolderExists(options.QuarantinePath)) {
      platform.LogEvent(EventLevel::kError, kQuarantinePathInvalid);
      throw Error(kErrorQuarantinePath, "LoadOptions", kQuarantinePathInvalid);
    }
    const std::string messages = BuildPath(options.QuarantinePath, "Messages");
    if (make_folders && !fs->FolderExists(messages)) fs->CreateFolder(messages);
    EnsureTrailingBackslash(options.QuarantinePath);
  }
  if (ReadSetting(platform, file, "SPAMASSASSINEXE", &value)) {
    options.SpamAssassinExe = value;
  }
  if (ReadSetting(platform, file, "SPAMASSASSINRULESPATH", &value)) {
    options.SpamAssassinRulesPath = value;
  }
  // A value of blanks alone names no folder: "\\" would be the root of whatever drive a run starts on.
  if (ReadSetting(platform, file, "TEMPPATH", &value) && !value.empty()) {
    options.TempPath = value;
    EnsureTrailingBackslash(options.TempPath);
  }
  if (ReadSetting(platform, file, "SCANTIMELIMIT", &value)) {
    options.ScanTimeLimit = ToSeconds(value, "SCANTIMELIMIT");
  }
  value = ReadWholeSetting(platform, file, "SPAMDHOSTS");
  if (!value.empty()) options.SpamdHosts = ParseSpamdHosts(value);
  if (ReadSetting(platform, file, "SPAMDTIMEOUT", &value)) {
    const std::int32_t seconds = ToSeconds(value, "SPAMDTIMEOUT");
    options.SpamdTimeout = seconds > 0 ? seconds : kDefaultSpamdTimeout;
  }
  if (ReadSetting(platform, file, "SPAMDRETRYAFTER", &value)) {
    const std::int32_t seconds = ToSeconds(value, "SPAMDRETRYAFTER");
    options.SpamdRetryAfter = seconds > 0 ? seconds : kDefaultSpamdRetryAfter;
  }
  if (ReadSetting(platform, file, "QUARANTINEDAYS", &value)) {
    options.QuarantineDays = ToInteger32(value, "QUARANTINEDAYS");
  }
  if (ReadSetting(platform, file, "SALEARNEXE", &value)) {
    options.SaLearnExe = value;
  }
  if (ReadSetting(platform, file, "SCANLOGPATH", &value)) {
    // The log never changes what happens to a message: without its folder,
    // the run goes on without it.
    try {
      options.ScanLogPath = ScanLogFolder(platform, value);
    } catch (const Error& error) {
      platform.LogEvent(EventLevel::kWarning, kScanLogOffEntry + error.Description());
    }
  }

  if (options.QuarantinePath.empty()) {
    platform.LogEvent(EventLevel::kWarning,
        "Turning off quarantining for SpamAssassin because no path set in config file");
    options.Quarantine = 0;
  }
  return true;
}

}  // namespace saplugin
