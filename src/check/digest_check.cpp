#include "check/digest_check.h"

#include "config/spamd_hosts.h"
#include "platform/error.h"
#include "quarantine/smtp_client.h"
#include "store/addresses.h"
#include "store/site_key.h"

namespace saplugin {

std::vector<CheckLine> CheckDigest(Platform& platform, FileSystem& fs, const PluginOptions& options, Milliseconds timeout) {
  if (options.DigestSmtp.host.empty() || options.DigestFrom.empty() || options.DigestDomains.empty()) return {};
  std::vector<CheckLine> lines;
  // The digests go out only when saquarantine digest runs: a server that does
  // not answer loses no mail, but no recipient hears of theirs.
  SmtpClient smtp(platform, options.DigestSmtp, DomainOf(options.DigestFrom), timeout);
  const SmtpClient::Result greeted = smtp.Greet();
  smtp.Quit();
  const std::string server = SpamdHostName(options.DigestSmtp);
  if (greeted.delivery == SmtpClient::Delivery::kSent) {
    lines.push_back({"OK", "digest server", server + " greets and takes EHLO (or HELO)"});
  } else {
    lines.push_back({"WARNING", "digest server", server + ": " + greeted.why + ": saquarantine digest cannot send; check DIGESTSMTP"});
  }
  const std::string key_file = SiteKeyFile(options.QuarantinePath);
  if (options.QuarantinePath.empty()) {
    lines.push_back({"WARNING", "digests", "no QUARANTINEPATH: nothing is quarantined for a digest to list, and no request releases anything"});
  } else if (!fs.FileExists(key_file)) {
    lines.push_back({"OK", "site key", key_file + " is not made yet: the first digest makes it"});
  } else {
    try {
      SiteKey(platform, fs, options.QuarantinePath, false);
      lines.push_back({"OK", "site key", key_file + ": signs the release links; keep it to this account"});
    } catch (const Error& error) {
      lines.push_back({"FAIL", "site key", error.Description() + ": every release request is refused"});
    }
  }
  return lines;
}

}  // namespace saplugin
