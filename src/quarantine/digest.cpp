#include "quarantine/digest.h"

#include <algorithm>
#include <cstdio>
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
#include "quarantine/spooled_sort.h"
#include "store/addresses.h"
#include "store/encoded_words.h"
#include "store/header_fields.h"
#include "store/quarantine_store.h"
#include "store/release_token.h"
#include "store/scan_log.h"
#include "store/site_key.h"
#include "store/whole_file.h"

namespace saplugin {

namespace {

constexpr std::int64_t kDay = 24 * 60 * 60;
// The longest To or Cc read of a message: a list of a few hundred addresses.
constexpr std::size_t kAddressFieldLimit = 16 * 1024;
// The bytes of the recipients' lines sorted in memory at once; more go
// through files in TEMPPATH.
constexpr std::size_t kSortBudget = 1 << 20;
// The most messages a digest lists, the newest: it says how many older ones it leaves out.
constexpr std::size_t kMostListed = 1000;
// Connections that fail on the way in, in a row, after which the other digests are not tried.
constexpr int kLostInARow = 3;
// A time that no quarantined message reaches, for sorting newest first.
constexpr std::int64_t kLatest = 9999999999999;

// A sender's or subject's text for a sort line: clean (no tab), and no longer than a digest shows it.
std::string Field(const std::string& text) { return CutAtCharacter(DisplayText(text), 800); }

// A listed message before its token is made.
struct Listed {
  DigestItem item;
  std::string id;
  std::int64_t expiry = 0;
};

// The local recipients of the message, each once; never the quarantine's
// own address, whose digest would come back to it.
std::set<std::string> LocalRecipients(FileSystem& fs, const std::string& folder, const std::string& id, const PluginOptions& options) {
  std::set<std::string> recipients;
  const std::vector<std::string>& domains = options.DigestDomains;
  auto fields = ReadHeaderFields(fs, QuarantineMessageFile(folder, id), {"To", "Cc"}, kAddressFieldLimit);
  for (const std::string& address : AddressesIn(fields["To"] + "," + fields["Cc"])) {
    if (address != options.DigestFrom && std::find(domains.begin(), domains.end(), DomainOf(address)) != domains.end()) recipients.insert(address);
  }
  return recipients;
}

std::string Plural(std::size_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

std::int64_t LastDigestTime(FileSystem& fs, const std::string& folder) {
  if (!fs.FileExists(LastDigestFile(folder))) return 0;
  const std::string sent = ReadKeyValueFile(fs, LastDigestFile(folder))["sent"];
  return sent.empty() || sent.size() > 12 || sent.find_first_not_of("0123456789") != std::string::npos ? 0 : std::stoll(sent);
}

// The recipients whose digest did not go when others' did, each with the
// time its next digest lists from: "SINCE ADDRESS" a line.
std::map<std::string, std::int64_t> ReadRetries(FileSystem& fs, const std::string& folder) {
  std::map<std::string, std::int64_t> retries;
  if (!fs.FileExists(RetryDigestFile(folder))) return retries;
  auto reader = fs.OpenTextFileForReading(RetryDigestFile(folder));
  while (!reader->AtEndOfStream()) {
    const std::string line = reader->ReadLine(400);
    const std::size_t space = line.find(' ');
    if (space == 0 || space > 12 || line.find_first_not_of("0123456789") != space || !IsPlainAddress(line.substr(space + 1))) continue;
    retries[line.substr(space + 1)] = std::stoll(line.substr(0, space));
  }
  reader->Close();
  return retries;
}

}  // namespace

std::string RetryDigestFile(const std::string& quarantine_folder) { return quarantine_folder + "digest.retry"; }

std::string LastDigestFile(const std::string& quarantine_folder) { return quarantine_folder + "digest.last"; }

namespace {

int SendDigests(Platform& platform, FileSystem& fs, const PluginOptions& options, const DigestWords& words, std::ostream& out, std::ostream& err) {
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
  // A dry run sends nothing and writes no time: it may look while a digest is sent.
  const auto lock = words.dry ? nullptr : fs.TryLock(folder + "digest.lck");
  if (!lock && !words.dry) {
    err << "saquarantine: another digest is being sent\n";
    platform.LogEvent(EventLevel::kWarning, "No quarantine digest was sent: another digest is being sent (" + folder + "digest.lck is held).");
    return kQuarantineBusy;
  }
  const std::int64_t now = std::time(nullptr);
  const std::int64_t last = LastDigestTime(fs, folder);
  std::int64_t since = words.since_hours >= 0 ? now - std::int64_t{words.since_hours} * 3600 : last;
  if (words.since_hours < 0 && last > now) {
    // A clock that ran ahead once: a time not yet come would hide every message until then.
    err << "saquarantine: the last digest's time in " << LastDigestFile(folder) << " is still to come (" << ToLocalTime(last).stamp
        << "): listing every message\n";
    since = 0;
  }
  // Recipients whose digest failed last time while others' went list from their own time.
  const std::map<std::string, std::int64_t> retries = ReadRetries(fs, folder);
  std::int64_t earliest = since;
  for (const auto& [address, from] : retries) earliest = std::min(earliest, from);
  const auto listed_from = [&](const std::string& recipient) {
    const auto retry = retries.find(recipient);
    return retry == retries.end() ? since : std::min(since, retry->second);
  };
  std::map<std::string, std::int64_t> failed_now;  // this run's failures, by the time their digest listed from

  // Each local recipient's messages, newest first: one line per recipient
  // and message, sorted in bounded memory however large the quarantine.
  // Its files go into TEMPPATH, where purge finds what a killed digest left.
  const std::string sort_folder = !options.TempPath.empty() && fs.FolderExists(options.TempPath) ? options.TempPath : folder;
  SpooledSort spool(fs, sort_folder + "digest-" + MakeRunName(platform) + ".sort", kSortBudget);
  std::size_t listed = 0;
  EachRecordedQuarantined(fs, folder, [&](QuarantinedMessage& message) {
    if (message.modified < earliest || message.modified >= now || !message.message) return;
    ReadQuarantineDetails(fs, folder, message);
    // Only a whole entry can be released.
    if (!message.StateText().empty()) return;
    std::set<std::string> recipients;
    try {
      recipients = LocalRecipients(fs, folder, message.id, options);
    } catch (const Error& error) {
      err << "saquarantine: " << message.id << " is left out: " << error.Description() << '\n';
      return;
    }
    if (recipients.empty()) return;
    char newest_first[24];
    std::snprintf(newest_first, sizeof newest_first, "%013lld", static_cast<long long>(kLatest - message.modified));
    const std::string fields = std::string("\t") + newest_first + "\t" + message.id + "\t" + std::to_string(message.modified) + "\t" +
                               std::to_string(message.size) + "\t" + Field(message.score.empty() ? "-" : message.score) + "\t" +
                               Field(DecodeEncodedWords(message.from)) + "\t" + Field(DecodeEncodedWords(message.subject));
    bool added = false;
    for (const std::string& recipient : recipients) {
      if (message.modified < listed_from(recipient)) continue;
      spool.Add(recipient + fields);
      added = true;
    }
    listed += added;
  });

  const std::string key = words.dry ? "" : SiteKey(platform, fs, folder, true);
  SmtpClient smtp(platform, options.DigestSmtp, DomainOf(options.DigestFrom), Milliseconds{words.timeout_seconds} * 1000);
  std::size_t recipients = 0;
  int sent = 0, refused = 0, failed = 0;
  std::string recipient;
  std::vector<Listed> entries;
  std::size_t older = 0;  // this recipient's messages past the most a digest lists
  // A server that cannot be reached or greeted a few times in a row (down, or
  // stalling) is not asked for each of thousands of recipients.
  int lost_in_a_row = 0, not_tried = 0;
  std::string first_failure;
  const auto deliver = [&] {
    if (recipient.empty()) return;
    ++recipients;
    const std::size_t count = entries.size() + older;
    if (words.dry) {
      out << "would send to " << recipient << ": " << Plural(count, "message", "messages") << '\n';
      for (const Listed& entry : entries) out << "  " << entry.id << "  " << entry.item.score << "  " << CutAtCharacter(entry.item.subject, 60) << '\n';
      if (older > 0) out << "  and " << older << " older\n";
      return;
    }
    if (lost_in_a_row >= kLostInARow) {
      ++failed;
      ++not_tried;
      failed_now[recipient] = listed_from(recipient);
      return;
    }
    std::vector<DigestItem> items;
    for (Listed& entry : entries) {
      entry.item.token = MakeReleaseToken(key, {entry.id, recipient, entry.expiry});
      items.push_back(entry.item);
    }
    const DigestHeader header{options.DigestFrom, recipient, static_cast<std::time_t>(now), MakeRunName(platform) + "@" + DomainOf(options.DigestFrom), older, key};
    const SmtpClient::Result result = smtp.Send(options.DigestFrom, recipient, DigestMessage(header, items));
    switch (result.delivery) {
      case SmtpClient::Delivery::kSent:
        ++sent;
        out << "sent to " << recipient << ": " << Plural(count, "message", "messages") << '\n';
        break;
      case SmtpClient::Delivery::kRefused:
        ++refused;
        err << "saquarantine: " << recipient << ": the server refused the digest: " << result.why << '\n';
        break;
      case SmtpClient::Delivery::kFailed:
        ++failed;
        failed_now[recipient] = listed_from(recipient);
        err << "saquarantine: " << recipient << ": the digest could not be sent: " << result.why << '\n';
        break;
    }
    if (result.delivery != SmtpClient::Delivery::kSent && first_failure.empty()) first_failure = recipient + ": " + result.why;
    // Only a server that cannot be reached or greeted counts: one recipient's
    // digest that a server drops says nothing of the next one's.
    lost_in_a_row = result.greeting ? lost_in_a_row + 1 : 0;
    if (lost_in_a_row == kLostInARow) {
      err << "saquarantine: the server could not be reached or greeted " << kLostInARow << " times in a row: the other digests are not tried\n";
    }
  };
  spool.EachSorted([&](const std::string& line) {
    std::vector<std::string> f;
    for (std::size_t start = 0;;) {
      const std::size_t tab = line.find('\t', start);
      f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (f[0] != recipient) {
      deliver();
      recipient = f[0];
      entries.clear();
      older = 0;
    }
    if (entries.size() == kMostListed) {
      ++older;
      return;
    }
    Listed entry;
    entry.id = f[2];
    const std::int64_t modified = std::stoll(f[3]);
    entry.expiry = modified + kDay * (options.QuarantineDays > 0 ? options.QuarantineDays : kLinkDaysWithoutPurge);
    entry.item.quarantined = static_cast<std::time_t>(modified);
    entry.item.size = std::stoll(f[4]);
    entry.item.score = f[5];
    entry.item.from = f[6];
    entry.item.subject = f[7];
    entries.push_back(std::move(entry));
  });
  deliver();
  smtp.Quit();

  const std::string summary = std::to_string(sent) + " sent, " + std::to_string(refused) + " refused, " + std::to_string(failed) + " failed" +
                              (not_tried ? " (" + std::to_string(not_tried) + " not tried)" : "") + ", for " +
                              Plural(recipients, "recipient", "recipients") + " of " + Plural(listed, "message", "messages");
  if (words.dry) {
    err << "saquarantine: would send " << Plural(recipients, "digest", "digests") << ", listing " << Plural(listed, "message", "messages") << '\n';
    return kQuarantineDone;
  }
  // A digest that failed is sent again by the next run, with what it lists;
  // one the server refused would be refused again. When none went, the time
  // stays; when others went, the failed recipients are kept with the time
  // their digest listed from. The time is written only when the digest read
  // every message since the last one: a shorter window (--since) must not
  // hide what lies before it.
  // The failed recipients are kept whatever the window, so that a digest
  // run with --since on a schedule sends them theirs too.
  const std::string run = MakeRunName(platform);
  if (failed_now.empty()) {
    if (fs.FileExists(RetryDigestFile(folder))) fs.DeleteFile(RetryDigestFile(folder));
  } else {
    const std::string passing = RetryDigestFile(folder) + "." + run + ".new";
    PlaceWholeFile(fs, passing, RetryDigestFile(folder), Placing::kOver, [&] {
      auto writer = fs.OpenTextFileForAppending(passing);
      for (const auto& [address, from] : failed_now) writer->WriteLine(std::to_string(from) + " " + address);
      writer->Close();
    });
  }
  if ((sent > 0 || refused > 0 || failed == 0) && since <= last) {
    ReplaceKeyValueFile(fs, LastDigestFile(folder), {{"sent", std::to_string(now)}}, "." + run + ".new");
  }
  err << "saquarantine: digests " << summary << (failed ? "; the next digest lists their messages again" : "") << '\n';
  platform.LogEvent(failed || refused ? EventLevel::kWarning : EventLevel::kInformation,
                    "Sent the quarantine digests through " + SpamdHostName(options.DigestSmtp) + ": " + summary +
                        (first_failure.empty() ? "." : "; the first that did not go: " + first_failure + "."));
  return failed || refused ? kQuarantineDigestFailure : kQuarantineDone;
}

}  // namespace

int RunDigest(Platform& platform, FileSystem& fs, const PluginOptions& options, const DigestWords& words, std::ostream& out, std::ostream& err) {
  try {
    return SendDigests(platform, fs, options, words, out, err);
  } catch (const Error& error) {
    // A digest runs unattended: what stopped it goes into the event log too.
    if (!words.dry) platform.LogEvent(EventLevel::kError, "The quarantine digest stopped: " + error.Description());
    throw;
  }
}

}  // namespace saplugin
