#include "check/digest_check.h"

#include <gtest/gtest.h>

#include "memory_platform.h"
#include "store/site_key.h"

namespace saplugin {
namespace {

// sacheck's digest lines, each row a set-up: what is there ("no-path", "key
// good", "key bad", "no-domains") and the lines, one "STATUS subject: detail" a line.
TEST(DigestCheck, NamesTheServersAnswerAndTheSiteKeysState) {
  const std::pair<const char*, const char*> rows[] = {
      {"no-domains", ""},
      {"", "WARNING digest server: mail:25: could not connect: no network here: saquarantine digest cannot send; check DIGESTSMTP\n"
           "OK site key: C:\\Q\\digest.key is not made yet: the first digest makes it\n"},
      {"key good", "OK site key: C:\\Q\\digest.key: signs the release links; keep it to this account\n"},
      {"key bad", "FAIL site key: C:\\Q\\digest.key holds no key: remove it, and a new one is made (the links of the digests sent before stop working): "
                  "every release request is refused\n"},
      {"no-path", "WARNING digests: no QUARANTINEPATH: nothing is quarantined"},
      {"key link", "FAIL site key: C:\\Q\\digest.key is a link: the site's key must be the quarantine folder's own file"},
  };
  for (const auto& [before, expected] : rows) {
    test::MemoryPlatform platform;
    const std::string set_up = before;
    PluginOptions options;
    options.QuarantinePath = set_up == "no-path" ? "" : "C:\\Q\\";
    options.DigestFrom = "quarantine@example.com";
    options.DigestSmtp = {"mail", 25};
    if (set_up != "no-domains") options.DigestDomains = {"example.com"};
    platform.fs.AddFolder("C:\\Q");
    if (set_up == "key good" || set_up == "key link") SiteKey(platform, platform.fs, "C:\\Q\\", true);
    if (set_up == "key link") platform.fs.links.insert(test::MemoryFileSystem::Key(SiteKeyFile("C:\\Q\\")));
    if (set_up == "key bad") platform.fs.Put(SiteKeyFile("C:\\Q\\"), "not a key\r\n");
    std::string shown;
    for (const CheckLine& line : CheckDigest(platform, platform.fs, options, 1000)) shown += line.status + " " + line.subject + ": " + line.detail + "\n";
    EXPECT_NE(shown.find(expected), std::string::npos) << before << ":\n" << shown;
    EXPECT_EQ(shown.empty(), set_up == "no-domains") << before;
  }
}

}  // namespace
}  // namespace saplugin
