#include "quarantine/digest.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "config/spamd_hosts.h"
#include "helpers/make_run_name.h"
#include "platform/error.h"
#include "platform/text.h"
#include "quarantine/commands.h"
#include "quarantine/digest_message.h"
#include "quarantine/smtp_client.h"
#include "store/addresses.h"
#include "store/encoded_words.h"
#include "store/header_fields.h"
#include "store/quarantine_store.h"
#include "store/release_token.h"
#include "store/scan_log.h"
#include "store/site_key.h"

namespace saplugin {

namespace {

constexpr std::int64_t kDay = 24 * 60 * 60;
// The longest To or Cc read of a message: a list of a few hundred addresses.
constexpr std::size_t kAddressFieldLimit = 16 * 1024;

// A listed message before its token is made.
struct Listed {
  DigestItem item;
  std::string id;
  std::int64_t expiry = 0;
};

// The local recipients of the message, each once.
std::set<std::string> LocalRecipients(FileSystem& fs, const std::string& folder, const std::string& id, const std::vector<std::string>& domains) {
  std::set<std::string> recipients;
  auto fields = ReadHeaderFields(fs, QuarantineMessageFile(folder, id), {"To", "Cc"}, kAddressFieldLimit);
  for (const std::string& address : AddressesIn(fields["To"] + "," + fields["Cc"])) {
    if (std::find(domains.begin(), domains.end(), DomainOf(address)) != domains.end()) recipients.insert(address);
  }
  return recipients;
}

std::int64_t LastDigestTime(FileSystem& fs, const std::string& folder) {
  if (!fs.FileExists(LastDigestFile(folder))) return 0;
  const std::string sent = ReadKeyValueFile(fs, LastDigestFile(folder))["sent"];
  return sent.empty() || sent.size() > 12 || sent.find_first_not_of("0123456789") != std::string::npos ? 0 : std::stoll(sent);
}

}  // namespace

std::string LastDigestFile(const std::string& quarantine_folder) { return quarantine_folder + "digest.last"; }

int RunDigest(Platform& platform, FileSystem& fs, const PluginOptions& options, const DigestWords& words, std::ostream& out, std::ostream& err) {
  std::string missing;
  for (const auto& [key, set] : {std::pair{"DIGESTFROM", !options.DigestFrom.empty()}, {"DIGESTDOMAINS", !options.DigestDomains.empty()},
                                 {"DIGESTSMTP", words.dry || !options.DigestSmtp.host.empty()}}) {
    if (!set) missing += std::string(missing.empty() ? "" : ", ") + key;
  }
  if (!missing.empty()) {
    err << "saquarantine: digests need " << missing << " set in the configuration\n";
    return kQuarantineUsage;
  }
  const std::string& folder = options.QuarantinePath;
  const auto lock = fs.TryLock(folder + "digest.lck");
  if (!lock) {
    err << "saquarantine: another digest is being sent\n";
    return kQuarantineBusy;
  }
  const std::int64_t now = std::time(nullptr);
  const std::int64_t since = words.since_hours >= 0 ? now - std::int64_t{words.since_hours} * 3600 : LastDigestTime(fs, folder);

  // Each recipient's messages, newest first as the quarantine lists them.
  std::map<std::string, std::vector<Listed>> digests;
  std::size_t listed = 0;
  for (QuarantinedMessage& message : ListQuarantine(fs, folder)) {
    // Each second's messages go in one digest only: those of this second
    // (which may still be coming) wait for the next, which starts at now.
    if (message.modified < since || message.modified >= now || !message.message) continue;
    ReadQuarantineDetails(fs, folder, message);
    // Only a whole entry can be released.
    if (!message.StateText().empty()) continue;
    std::set<std::string> recipients;
    try {
      recipients = LocalRecipients(fs, folder, message.id, options.DigestDomains);
    } catch (const Error& error) {
      err << "saquarantine: " << message.id << " is left out: " << error.Description() << '\n';
      continue;
    }
    if (recipients.empty()) continue;
    Listed entry;
    entry.id = message.id;
    entry.expiry = message.modified + kDay * (options.QuarantineDays > 0 ? options.QuarantineDays : kLinkDaysWithoutPurge);
    entry.item.quarantined = static_cast<std::time_t>(message.modified);
    entry.item.from = DecodeEncodedWords(message.from);
    entry.item.subject = DecodeEncodedWords(message.subject);
    entry.item.score = message.score.empty() ? "-" : message.score;
    entry.item.size = message.size;
    for (const std::string& recipient : recipients) digests[recipient].push_back(entry);
    ++listed;
  }

  const std::string key = words.dry ? "" : SiteKey(platform, fs, folder, true);
  SmtpClient smtp(platform, options.DigestSmtp, DomainOf(options.DigestFrom), Milliseconds{words.timeout_seconds} * 1000);
  int sent = 0, refused = 0, failed = 0;
  for (auto& [recipient, entries] : digests) {
    if (words.dry) {
      out << "would send to " << recipient << ": " << entries.size() << (entries.size() == 1 ? " message\n" : " messages\n");
      for (const Listed& entry : entries) out << "  " << entry.id << "  " << entry.item.score << "  " << CutAtCharacter(DisplayText(entry.item.subject), 60) << '\n';
      continue;
    }
    std::vector<DigestItem> items;
    for (Listed& entry : entries) {
      entry.item.token = MakeReleaseToken(key, {entry.id, recipient, entry.expiry});
      items.push_back(entry.item);
    }
    const DigestHeader header{options.DigestFrom, recipient, static_cast<std::time_t>(now), MakeRunName(platform) + "@" + DomainOf(options.DigestFrom)};
    const SmtpClient::Result result = smtp.Send(options.DigestFrom, recipient, DigestMessage(header, items));
    switch (result.delivery) {
      case SmtpClient::Delivery::kSent:
        ++sent;
        out << "sent to " << recipient << ": " << items.size() << (items.size() == 1 ? " message\n" : " messages\n");
        break;
      case SmtpClient::Delivery::kRefused:
        ++refused;
        err << "saquarantine: " << recipient << ": the server refused the digest: " << result.why << '\n';
        break;
      case SmtpClient::Delivery::kFailed:
        ++failed;
        err << "saquarantine: " << recipient << ": the digest could not be sent: " << result.why << '\n';
        break;
    }
  }
  smtp.Quit();

  const std::string summary = std::to_string(sent) + " sent, " + std::to_string(refused) + " refused, " + std::to_string(failed) +
                              " failed, for " + std::to_string(digests.size()) + " recipients of " + std::to_string(listed) + " messages";
  if (words.dry) {
    err << "saquarantine: would send " << digests.size() << " digests, listing " << listed << " messages\n";
    return kQuarantineDone;
  }
  // A digest that failed is sent again by the next run, with what it lists;
  // one the server refused would be refused again.
  if (failed == 0) ReplaceKeyValueFile(fs, LastDigestFile(folder), {{"sent", std::to_string(now)}}, "." + MakeRunName(platform) + ".new");
  err << "saquarantine: digests " << summary << (failed ? "; the next digest lists their messages again" : "") << '\n';
  platform.LogEvent(failed || refused ? EventLevel::kWarning : EventLevel::kInformation,
                    "Sent the quarantine digests through " + SpamdHostName(options.DigestSmtp) + ": " + summary + ".");
  return failed || refused ? kQuarantineDigestFailure : kQuarantineDone;
}

}  // namespace saplugin
