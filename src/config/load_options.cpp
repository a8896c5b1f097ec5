#include "config/load_options.h"

#include "config/conversions.h"
#include "config/spamd_hosts.h"
#include "helpers/batch_text.h"
#include "platform/paths.h"

namespace saplugin {

const char* const kConfigFileName = "spamassassinconfig.ini";
const char* const kConfigSection = "SPAMASSASSIN Plugin Config";

namespace {

constexpr std::uint32_t kValueBufferSize = 255;

// Misspelt on purpose: operators' event-log filters match this text as it stands.
const char* const kQuarantinePathInvalid = "Quantine path is not a valid directory.";

// One key through the profile reader: the trimmed value, or false when the
// reader put nothing in the buffer (missing section, key or value).
bool ReadSetting(Platform& platform, const std::string& file, const char* key,
                 std::string* value) {
  char buffer[kValueBufferSize] = {};
  const std::uint32_t length =
      platform.ReadProfileString(kConfigSection, key, "", buffer, kValueBufferSize, file);
  if (length == 0) return false;
  *value = TrimSpaces(std::string(buffer, length < kValueBufferSize ? length : kValueBufferSize - 1));
  return true;
}

// A number of seconds, at most a day, so that no wait's time can wrap.
std::int32_t ToSeconds(const std::string& value, const char* key) {
  const std::int32_t seconds = ToInteger32(value, key);
  return seconds > kLongestTimeLimit ? kLongestTimeLimit : seconds;
}

void EnsureTrailingBackslash(std::string& path) {
  if (path.empty() || path.back() != '\\') path += '\\';
}

}  // namespace

std::string ScanLogFolder(Platform& platform, const std::string& value) {
  // "%ProgramData%\saplugin\ScanLog", as the installer writes it.
  std::string folder = ExpandCommandText(value, [&](const std::string& name) { return platform.EnvironmentValue(name); });
  if (!folder.empty()) EnsureTrailingBackslash(folder);
  return folder;
}

std::string ReadWholeSetting(Platform& platform, const std::string& file, const char* key) {
  // The reader fills all but the terminator's place when it cuts a value:
  // read again with more room until the value ends short of it. The last
  // room holds one more than the longest value taken, so that a value of
  // just that length is told from one that was cut.
  constexpr std::uint32_t kLastRoom = kLongestWholeSetting + 2;
  for (std::uint32_t size = kValueBufferSize;; size = size * 4 > kLastRoom ? kLastRoom : size * 4) {
    std::string buffer(size, '\0');
    const std::uint32_t length = platform.ReadProfileString(kConfigSection, key, "", &buffer[0], size, file);
    if (length + 1 < size) return TrimSpaces(buffer.substr(0, length));
    if (size >= kLastRoom) {
      throw Error(kErrorOverflow, "LoadOptions",
                  std::string("Overflow: ") + key + " is longer than " + std::to_string(kLongestWholeSetting) + " characters");
    }
  }
}

bool LoadOptions(Platform& platform, PluginOptions& options) {
  return LoadOptionsFrom(platform, platform.ExecutableDirectory() + "\\" + kConfigFileName, options);
}

bool LoadOptionsFrom(Platform& platform, const std::string& file, PluginOptions& options) {
  const std::string directory = file.substr(0, file.find_last_of("\\/"));
  auto fs = platform.CreateFileSystem();
  if (!fs->FileExists(file)) {
    platform.LogEvent(EventLevel::kError, "Can't run SpamAssassin because no plugin config file at path: " + directory);
    return false;
  }

  std::string value;
  if (ReadSetting(platform, file, "QUARANTINE", &value)) {
    options.Quarantine = ToInteger16(value, "QUARANTINE");
  }
  if (ReadSetting(platform, file, "MAXMESSAGESIZE", &value)) {
    options.MaxMessageSize = ToInteger32(value, "MAXMESSAGESIZE");
  }
  if (ReadSetting(platform, file, "KEEPORIGINAL", &value)) {
    options.KeepOriginal = value == "1";
  }
  if (ReadSetting(platform, file, "QUARANTINEPATH", &value)) {
    options.QuarantinePath = value;
    if (!fs->FolderExists(options.QuarantinePath)) {
      platform.LogEvent(EventLevel::kError, kQuarantinePathInvalid);
      throw Error(kErrorQuarantinePath, "LoadOptions", kQuarantinePathInvalid);
    }
    const std::string messages = BuildPath(options.QuarantinePath, "Messages");
    if (!fs->FolderExists(messages)) fs->CreateFolder(messages);
    EnsureTrailingBackslash(options.QuarantinePath);
  }
  if (ReadSetting(platform, file, "SPAMASSASSINEXE", &value)) {
    options.SpamAssassinExe = value;
  }
  if (ReadSetting(platform, file, "SPAMASSASSINRULESPATH", &value)) {
    options.SpamAssassinRulesPath = value;
  }
  if (ReadSetting(platform, file, "TEMPPATH", &value)) {
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
    options.ScanLogPath = ScanLogFolder(platform, value);
  }

  if (options.QuarantinePath.empty()) {
    platform.LogEvent(EventLevel::kWarning,
        "Turning off quarantining for SpamAssassin because no path set in config file");
    options.Quarantine = 0;
  }
  return true;
}

}  // namespace saplugin
