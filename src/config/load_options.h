#pragma once

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// Name of the configuration file beside the executable, and its section.
extern const char* const kConfigFileName;
extern const char* const kConfigSection;
// A connector's own section is "[Connector NAME]", its name matched without
// regard to letter case.
extern const char* const kConnectorSectionPrefix;
// The start of the Warning entry of a run that keeps no scan log: what is
// wrong with SCANLOGPATH follows it.
extern const char* const kScanLogOffEntry;

// The value by which a connector section takes away what the main section
// sets: "SPAMSCORE=none", "HIGHSCORE=none", "SPAMDHOSTS=none".
extern const char* const kNoneValue;
// True for kNoneValue in any letter case.
bool IsNoneValue(const std::string& value);

// The configuration file beside the executable.
std::string ConfigFile(Platform& platform);

// What the operator's programs say of a configuration file that is not
// there, each the same: "FILE: no such configuration file".
std::string MissingConfigurationText(const std::string& file);

// Reads "spamassassinconfig.ini" from the executable's folder into options.
// Returns false, after one event-log entry, when there is no such file; the
// run must then end. Throws Error, and reads no further key, when a number
// does not convert, when the quarantine path names no folder (after its
// event-log entry) or when its "Messages" subfolder cannot be made. Writes at
// most one Error entry per call; and a Warning entry for quarantining that
// is off, and one for a scan log that is off (SCANLOGPATH names a variable
// that is not set).
bool LoadOptions(Platform& platform, PluginOptions& options, bool make_folders = true);

// Makes the quarantine folder's Messages subfolder when it is missing (and
// the quarantine folder is set); answers whether it made it. Throws Error
// when it cannot be made.
bool MakeQuarantineFolders(Platform& platform, const PluginOptions& options);

// The same from the named file: its folder stands in the entry of a missing
// one. Without make_folders, the quarantine's Messages folder is not made
// when it is missing (a check makes nothing; a run makes it once its folders
// are known to work, with MakeQuarantineFolders).
bool LoadOptionsFrom(Platform& platform, const std::string& file, PluginOptions& options, bool make_folders = true);

// Reads the policy's keys of a section into options, over what is there:
// QUARANTINE, MAXMESSAGESIZE, KEEPORIGINAL, SPAMSCORE, HIGHSCORE,
// HIGHSCOREACTION, TESTMODE, and, in a connector's section only, BYPASS (in
// the main section its value is checked, and does nothing). In a connector's
// section, SPAMSCORE and HIGHSCORE "none" take the main section's away.
// Touches nothing on disk and writes no entry. Answers whether the section
// set a key. Throws Error, naming the section (unless it is the main one),
// the key and the value, for a value that does not convert (TESTMODE and
// BYPASS take only 0 and 1).
bool LoadPolicy(Platform& platform, const std::string& file, const std::string& section, PluginOptions& options);

// Lays the connector's section over the loaded options: the policy's keys,
// and SPAMASSASSINRULESPATH, SPAMDHOSTS ("none": no pool, the batch file's
// filter), SCANTIMELIMIT and SPAMDTIMEOUT.
// Answers whether it set a key (and then names it in ConnectorSection).
// Throws Error as LoadPolicy does.
bool LoadConnectorOptions(Platform& platform, const std::string& file, const std::string& connector, PluginOptions& options);

// A SCANLOGPATH value as a run uses it: its %NAME% variables expanded from
// the environment, a "\" at its end; empty stays empty. Throws Error, naming
// the variable, when a %NAME% names one that is not set.
std::string ScanLogFolder(Platform& platform, const std::string& value);

// The longest value that ReadWholeSetting takes.
constexpr std::uint32_t kLongestWholeSetting = 32767;

// A key's value from the configuration's section, read whole however long it
// is (not cut to the 254 characters of the other keys), trimmed; empty when
// the key is missing. Throws Error for a value over kLongestWholeSetting
// characters, so that a long list is never cut into a different one.
std::string ReadWholeSetting(Platform& platform, const std::string& file, const char* key);
// The same from another section.
std::string ReadWholeSetting(Platform& platform, const std::string& file, const std::string& section, const char* key);

}  // namespace saplugin
