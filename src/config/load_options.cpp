#include "config/load_options.h"

#include <algorithm>

#include "config/config_keys.h"
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

// Reads the section's keys that wanted takes, in the table's order, each
// whole, into options; an empty value sets nothing. Answers whether a key set
// anything.
bool LoadKeys(Platform& platform, const std::string& file, const std::string& section, PluginOptions& options,
              const std::vector<std::string>* names, bool (*wanted)(const ConfigKey& key, bool connector)) {
  const bool connector = section != kConfigSection;
  // A connector section's keys are named with it in an error: "[Connector SMTP] QUARANTINE".
  const std::string label = connector ? "[" + section + "] " : "";
  bool found = false;
  for (const ConfigKey& key : ConfigKeys()) {
    if (!wanted(key, connector) || !Listed(names, key.name)) continue;
    const std::string value = ReadWholeSetting(platform, file, section, key.name);
    if (value.empty()) continue;
    key.set(options, value, label, connector);
    found = found || BelongsIn(key, connector);
  }
  return found;
}

bool PolicyKey(const ConfigKey& key, bool) { return key.policy; }
bool SectionKey(const ConfigKey& key, bool connector) { return key.policy || BelongsIn(key, connector); }

}  // namespace

bool IsNoneValue(const std::string& value) { return SameIgnoringCase(value, kNoneValue); }

bool LoadPolicy(Platform& platform, const std::string& file, const std::string& section, PluginOptions& options) {
  return LoadKeys(platform, file, section, options, nullptr, PolicyKey);
}

bool LoadConnectorOptions(Platform& platform, const std::string& file, const std::string& connector, PluginOptions& options) {
  const std::string section = kConnectorSectionPrefix + connector;
  // The profile reader takes a section's name up to its first "]".
  if (connector.empty() || connector.find_first_of("[]") != std::string::npos) return false;
  // One read tells the keys the section holds: most connectors have none, and pay for that read alone.
  const std::vector<std::string> names = platform.ReadProfileKeyNames(section, file);
  if (names.empty()) return false;
  const bool found = LoadKeys(platform, file, section, options, &names, SectionKey);
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

  LoadKeys(platform, file, kConfigSection, options, nullptr, SectionKey);
  if (!options.QuarantinePath.empty()) {
    if (!fs->FolderExists(options.QuarantinePath)) {
      platform.LogEvent(EventLevel::kError, kQuarantinePathInvalid);
      throw Error(kErrorQuarantinePath, "LoadOptions", kQuarantinePathInvalid);
    }
    const std::string messages = BuildPath(options.QuarantinePath, "Messages");
    if (make_folders && !fs->FolderExists(messages)) fs->CreateFolder(messages);
    EnsureTrailingBackslash(options.QuarantinePath);
  }
  if (!options.TempPath.empty()) EnsureTrailingBackslash(options.TempPath);
  if (!options.ScanLogPath.empty()) {
    // The log never changes what happens to a message: without its folder,
    // the run goes on without it.
    try {
      options.ScanLogPath = ScanLogFolder(platform, options.ScanLogPath);
    } catch (const Error& error) {
      options.ScanLogPath.clear();
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
