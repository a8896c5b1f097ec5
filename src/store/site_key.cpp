#include "store/site_key.h"

#include "helpers/make_run_name.h"
#include "platform/error.h"
#include "store/sha256.h"
#include "store/whole_file.h"

namespace saplugin {

namespace {

constexpr std::size_t kKeyDigits = 64;

std::string FreshKeyDigits(Platform& platform) {
  // Three version-4 GUIDs hold 366 random bits from the system's generator.
  Sha256 hash;
  for (int i = 0; i < 3; ++i) {
    Guid guid;
    if (const long status = platform.CreateGuid(&guid); status != 0) throw Error(status, "SiteKey", "Could not make the site's key: no GUID");
    hash.Update(reinterpret_cast<const char*>(&guid), sizeof guid);
  }
  return hash.HexDigest();
}

std::string FromDigits(const std::string& digits, const std::string& file) {
  if (digits.size() != kKeyDigits || digits.find_first_not_of("0123456789abcdef") != std::string::npos) {
    throw Error(kErrorInvalidArgument, "SiteKey", file + " holds no key: remove it, and a new one is made (the links of the digests sent before stop working)");
  }
  std::string key;
  for (std::size_t i = 0; i < digits.size(); i += 2) key += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  return key;
}

}  // namespace

std::string SiteKeyFile(const std::string& quarantine_folder) { return quarantine_folder + "digest.key"; }

std::string SiteKey(Platform& platform, FileSystem& fs, const std::string& quarantine_folder, bool make) {
  const std::string file = SiteKeyFile(quarantine_folder);
  // A key reached through a link could be anyone's, and would sign releases for them.
  if (fs.IsLink(file)) {
    throw Error(kErrorInvalidArgument, "SiteKey", file + " is a link: the site's key must be the quarantine folder's own file; remove it, and the next digest makes one");
  }
  if (!fs.FileExists(file)) {
    if (!make) throw Error(kErrorFileNotFound, "SiteKey", "There is no site key " + file + " yet: saquarantine digest makes it");
    const std::string digits = FreshKeyDigits(platform);
    const std::string passing = file + "." + MakeRunName(platform) + ".new";
    // Another program that made one first wins: its key is read below.
    PlaceWholeFile(fs, passing, file, Placing::kIfAbsent, [&] {
      auto writer = fs.CreatePrivateFile(passing);
      if (!writer) throw Error(kErrorFileExists, "SiteKey", passing + " is there already");
      writer->WriteLine(digits);
      writer->Close();
    });
  }
  auto reader = fs.OpenTextFileForReading(file);
  const std::string digits = reader->ReadLine(kKeyDigits + 2);
  reader->Close();
  return FromDigits(digits, file);
}

}  // namespace saplugin
