#pragma once

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// Name of the configuration file beside the executable, and its section.
extern const char* const kConfigFileName;
extern const char* const kConfigSection;

// Reads "spamassassinconfig.ini" from the executable's folder into options.
// Returns false, after one event-log entry, when there is no such file; the
// run must then end. Throws Error, and reads no further key, when a number
// does not convert, when the quarantine path names no folder (after its
// event-log entry) or when its "Messages" subfolder cannot be made. Writes at
// most one event-log entry per call.
bool LoadOptions(Platform& platform, PluginOptions& options);

// The same from the named file: its folder stands in the entry of a missing one.
bool LoadOptionsFrom(Platform& platform, const std::string& file, PluginOptions& options);

// A SCANLOGPATH value as a run uses it: its %NAME% variables expanded from
// the environment, a "\" at its end; empty stays empty.
std::string ScanLogFolder(Platform& platform, const std::string& value);

// The longest value that ReadWholeSetting takes.
constexpr std::uint32_t kLongestWholeSetting = 32767;

// A key's value from the configuration's section, read whole however long it
// is (not cut to the 254 characters of the other keys), trimmed; empty when
// the key is missing. Throws Error for a value over kLongestWholeSetting
// characters, so that a long list is never cut into a different one.
std::string ReadWholeSetting(Platform& platform, const std::string& file, const char* key);

}  // namespace saplugin
