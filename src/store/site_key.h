#pragma once

#include <string>

#include "platform/platform.h"

namespace saplugin {

// The file of the site's key in the quarantine folder (which ends with "\").
std::string SiteKeyFile(const std::string& quarantine_folder);

// The site's key, which signs the digests' release tokens: 32 bytes, kept as
// 64 hexadecimal digits in a file that only this account can read. With
// make, a folder without one gets one (of several programs making it at
// once, one key wins and all use it); without, a missing key throws Error
// (file not found). Throws Error when the key cannot be read or made, or its
// file holds no key.
std::string SiteKey(Platform& platform, FileSystem& fs, const std::string& quarantine_folder, bool make);

}  // namespace saplugin
