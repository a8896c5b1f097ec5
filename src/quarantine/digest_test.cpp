#include "quarantine/digest.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <sstream>

#include "chat_platform.h"
#include "expect_among.h"
#include "memory_platform.h"
#include "quarantine/commands.h"
#include "quarantine/digest_message.h"
#include "store/quarantine_store.h"
#include "store/release_token.h"
#include "store/site_key.h"

namespace saplugin {
namespace {

// A quarantined message as the run leaves it, at the memory file system's
// time: its header section's first fields, and the state of its record.
void PutEntry(test::MemoryFileSystem& fs, const std::string& id, const std::string& fields, EntryState state = EntryState::kWhole) {
  fs.Put(QuarantinePickupFile("C:\\Q\\", id), "pickup\r\n");
  fs.Put(QuarantineMessageFile("C:\\Q\\", id), fields + "\r\nSubject: " + id.substr(0, 1) + "\r\n\r\nbody\r\n");
  fs.Put(QuarantineOutputFile("C:\\Q\\", id), "X-Spam-Flag: YES\r\n\r\nbody\r\n");
  QuarantineRecord record;
  record.connector = "SMTP";
  record.name = id.substr(0, 1) + ".MAI";
  record.state = state;
  WriteQuarantineRecord(fs, "C:\\Q\\", id, record);
}

// The options of a digest over a quarantine in C:\\Q\\, its Messages folder made.
PluginOptions DigestOptions(test::MemoryFileSystem& fs) {
  fs.AddFolder("C:\\Q\\Messages");
  PluginOptions options;
  options.QuarantinePath = "C:\\Q\\";
  options.DigestFrom = "quarantine@example.com";
  options.DigestDomains = {"example.com", "example.net"};
  options.DigestSmtp = {"mail", 25};
  return options;
}

// A digest over a quarantine in memory: A (to jane and bob) quarantined an
// hour ago, B (to jane, Cc a stranger) three hours ago, C (to bob only in
// another domain's case) half an hour ago, and D whose run stopped half-way.
// Each row: the words, what is set before ("last H": the last digest H hours
// ago; "busy": another digest holds the lock; "no-from"), the status, the
// lines the output (and the errors, after "|") must hold, and whether the
// time of the last digest is written.
TEST(Digest, ListsEachLocalRecipientsMessagesSinceTheLastDigest) {
  const std::string a(32, 'A'), b(32, 'B'), c(32, 'C'), d(32, 'D');
  const struct {
    DigestWords words;
    const char* before;
    int status;
    std::string lines;
    bool last_written;
  } cases[] = {
      {{true, -1, 30}, "", 0, "would send to bob@example.com: 2 messages\n  " + c + "\n  " + a + "\nwould send to jane@example.com: 2 messages\n  " + a + "\n  " + b +
                                  "|would send 2 digests, listing 3 messages", false},
      {{true, 2, 30}, "", 0, "would send to bob@example.com: 2 messages\nwould send to jane@example.com: 1 message|listing 2 messages", false},
      {{true, -1, 30}, "last 2", 0, "would send to jane@example.com: 1 message\n  " + a, false},
      {{true, -1, 30}, "last 0", 0, "|would send 0 digests, listing 0 messages", false},
      {{true, -1, 30}, "no-from", kQuarantineUsage, "|digests need DIGESTFROM set", false},
      {{false, -1, 30}, "no-smtp", kQuarantineUsage, "|digests need DIGESTSMTP set", false},
      {{false, -1, 30}, "busy", kQuarantineBusy, "|another digest is being sent", false},
      // Nothing listens: each digest fails, and the next one lists their messages again.
      {{false, -1, 30}, "", kQuarantineDigestFailure, "|bob@example.com: the digest could not be sent: could not connect: \n"
                                                       "digests 0 sent, 0 refused, 2 failed, for 2 recipients of 3 messages; the next digest", false},
      {{false, -1, 30}, "last 0", kQuarantineDone, "|digests 0 sent, 0 refused, 0 failed, for 0 recipients of 0 messages", true},
      // A window shorter than the time since the last digest leaves that time as it was.
      {{false, 0, 30}, "last 48", kQuarantineDone, "|for 0 recipients of 0 messages", false},
      // A last digest still to come is not believed: every message is listed again.
      {{true, -1, 30}, "last -5", kQuarantineDone, "|the last digest's time in C:\\Q\\digest.last is still to come\nlisting 3 messages", false},
  };
  for (const auto& row : cases) {
    test::MemoryPlatform platform;
    auto& fs = platform.fs;
    PluginOptions options = DigestOptions(fs);
    const std::string before = row.before;
    if (before == "no-from") options.DigestFrom.clear();
    if (before == "no-smtp") options.DigestSmtp.host.clear();
    const std::int64_t now = std::time(nullptr);
    const std::pair<std::string, std::pair<std::int64_t, const char*>> entries[] = {
        {a, {3600, "To: Jane <JANE@example.com>, bob@example.com"}},
        {b, {3 * 3600, "To: jane@example.com\r\nCc: x@elsewhere.org"}},
        {c, {1800, "To: bob@EXAMPLE.COM"}},
        {d, {600, "To: jane@example.com"}}};
    for (const auto& [id, what] : entries) {
      fs.now = now - what.first;
      PutEntry(fs, id, what.second, id == d ? EntryState::kQuarantining : EntryState::kWhole);
    }
    fs.now = now;
    if (before.rfind("last ", 0) == 0) fs.Put(LastDigestFile("C:\\Q\\"), "sent=" + std::to_string(now - 3600 * std::stoi(before.substr(5)) - 1) + "\r\n");
    const auto held = before == "busy" ? fs.TryLock("C:\\Q\\digest.lck") : nullptr;
    const std::string last = fs.FileExists(LastDigestFile("C:\\Q\\")) ? fs.Bytes(LastDigestFile("C:\\Q\\")) : "";
    std::ostringstream out, err;
    EXPECT_EQ(RunDigest(platform, fs, options, row.words, out, err), row.status) << before << ": " << out.str() << err.str();
    const std::size_t bar = row.lines.find('|');
    test::ExpectAmong(out.str(), row.lines.substr(0, bar), before);
    if (bar != std::string::npos) test::ExpectAmong(err.str(), row.lines.substr(bar + 1), before);
    const std::string now_last = fs.FileExists(LastDigestFile("C:\\Q\\")) ? fs.Bytes(LastDigestFile("C:\\Q\\")) : "";
    EXPECT_EQ(now_last != last, row.last_written) << before << ": " << now_last;
    // A dry run makes no key; a digest that sends makes one, and logs what it did.
    EXPECT_EQ(fs.FileExists(SiteKeyFile("C:\\Q\\")), !row.words.dry && row.status != kQuarantineUsage && row.status != kQuarantineBusy) << before;
    // Every digest that is not a dry run leaves an entry, one that another digest kept from sending too.
    EXPECT_EQ(platform.events.size(), row.words.dry || row.status == kQuarantineUsage ? 0u : 1u) << before;
  }
}

// A digest lists a recipient's newest thousand and says how many older ones
// it leaves out, in the dry run and in the message.
TEST(Digest, ListsTheNewestThousandAndCountsTheRest) {
  test::MemoryPlatform platform;
  auto& fs = platform.fs;
  const PluginOptions options = DigestOptions(fs);
  const std::int64_t now = std::time(nullptr);
  for (int n = 0; n < 1002; ++n) {
    char id[40];
    std::snprintf(id, sizeof id, "%032X", n + 1);
    fs.now = now - 10 - n;
    PutEntry(fs, id, "To: jane@example.com");
  }
  fs.now = now;
  std::ostringstream out, err;
  EXPECT_EQ(RunDigest(platform, fs, options, {true, -1, 30}, out, err), kQuarantineDone) << err.str();
  // Newest first: the last two quarantined before, 3E9 and 3EA, are left out.
  test::ExpectAmong(out.str(), "would send to jane@example.com: 1002 messages\n  00000000000000000000000000000001\n"
                               "  000000000000000000000000000003E8\n  and 2 older\n!000000000000000000000000000003E9\n!000000000000000000000000000003EA", "cut");
  const std::string message = DigestMessage({"q@example.com", "jane@example.com", static_cast<std::time_t>(now), "x@example.com", 2, ""}, {DigestItem{}});
  test::ExpectAmong(message, "Subject: Quarantined mail: 3 messages held for you\n2 older messages are not listed here", "message");
}

// What a listed message's fields hold never leaves them: no header line, no
// markup, no turned text, whatever they decode to.
TEST(DigestMessage, KeepsEachFieldInItsPlace) {
  const char* const fields[] = {"x\r\nBcc: evil@x.org", "x\nBcc: evil@x.org", "<script>alert(1)</script>", "<img src=http://x.org/a>",
                                "\"><a href=\"http://x.org\">", "abc\u202Egnp.exe", "=?UTF-8?B?PHNjcmlwdD4=?="};
  for (const char* field : fields) {
    DigestItem item;
    item.from = item.subject = item.score = field;
    item.token = "T.1.a.b";
    const std::string message = DigestMessage({"q@example.com", "jane@example.com", 0, "x@example.com", 0, ""}, {item});
    // The HTML part, decoded from its base64.
    std::string encoded = message.substr(message.find("base64\r\n\r\n") + 10), html;
    encoded = encoded.substr(0, encoded.find("--"));
    std::string url;
    for (const char c : encoded) {
      if (c != '\r' && c != '\n' && c != '=') url += c == '+' ? '-' : c == '/' ? '_' : c;
    }
    ASSERT_TRUE(DecodeBase64Url(url, &html)) << field;
    EXPECT_NE(html.find("Release"), std::string::npos);
    for (const char* never : {"<script", "<img", "<a href=\"http", "\u202E"}) EXPECT_EQ(html.find(never), std::string::npos) << field << " / " << never;
    for (const char* never : {"\nBcc", "=E2=80=AE"}) EXPECT_EQ(message.find(never), std::string::npos) << field << " / " << never;
  }
}

// A server that is down is not asked for every recipient: after three lost
// connections in a row the others are not tried, and the entry says why.
TEST(Digest, GivesUpOnAServerThatFailsThreeTimesInARow) {
  test::MemoryPlatform platform;
  const PluginOptions options = DigestOptions(platform.fs);
  const std::int64_t now = std::time(nullptr);
  for (const char* id : {"A", "B", "C", "D", "E"}) {
    platform.fs.now = now - 60;
    PutEntry(platform.fs, std::string(32, *id), std::string("To: ") + id + "@example.com, quarantine@example.com");
  }
  platform.fs.now = now;
  std::ostringstream out, err;
  EXPECT_EQ(RunDigest(platform, platform.fs, options, {false, -1, 30}, out, err), kQuarantineDigestFailure);
  test::ExpectAmong(err.str(), "the server could not be reached or greeted 3 times in a row: the other digests are not tried\n"
                               "digests 0 sent, 0 refused, 5 failed (2 not tried), for 5 recipients of 5 messages\n!quarantine@example.com", "down");
  ASSERT_EQ(platform.events.size(), 1u);
  EXPECT_NE(platform.events[0].text.find("; the first that did not go: a@example.com: could not connect: no network here."), std::string::npos)
      << platform.events[0].text;
}

// A recipient whose digest failed while others' went gets the messages of
// that digest in the next one; the others are not sent theirs again.
TEST(Digest, ARecipientWhoseDigestFailedGetsItNextTimeAndNoOneElseAgain) {
  test::ChatPlatform platform;
  const PluginOptions options = DigestOptions(platform.fs);
  const std::int64_t now = std::time(nullptr);
  platform.fs.now = now - 60;
  PutEntry(platform.fs, std::string(32, 'A'), "To: jane@example.com");
  PutEntry(platform.fs, std::string(32, 'B'), "To: bob@example.com");
  platform.fs.now = now;
  // The first digest: bob's mailbox is full for now; jane's goes.
  platform.script["RCPT"] = {"452 4.2.2 mailbox full"};
  std::ostringstream out, err;
  EXPECT_EQ(RunDigest(platform, platform.fs, options, {false, -1, 30}, out, err), kQuarantineDigestFailure) << err.str();
  test::ExpectAmong(out.str() + err.str(), "sent to jane@example.com: 1 message\nbob@example.com: the digest could not be sent: 452 4.2.2 mailbox full", "first");
  EXPECT_EQ(platform.fs.Bytes(RetryDigestFile("C:\\Q\\")), "0 bob@example.com\r\n");
  // The next: bob's, and no one else's.
  std::ostringstream again, errors;
  EXPECT_EQ(RunDigest(platform, platform.fs, options, {false, -1, 30}, again, errors), kQuarantineDone) << errors.str();
  EXPECT_EQ(again.str(), "sent to bob@example.com: 1 message\n");
  EXPECT_FALSE(platform.fs.FileExists(RetryDigestFile("C:\\Q\\")));
  // Its link holds until the message's purge date: 30 days without QUARANTINEDAYS.
  const std::size_t at = platform.transcript.rfind("Release ") + 8;
  ReleaseTicket ticket;
  EXPECT_EQ(ReadReleaseToken(SiteKey(platform, platform.fs, "C:\\Q\\", false), platform.transcript.substr(at, platform.transcript.find('|', at) - at),
                             now, &ticket), TokenVerdict::kValid);
  EXPECT_EQ(ticket.recipient + " " + std::to_string(ticket.expiry - now), "bob@example.com " + std::to_string(30 * 86400 - 60));
}

// The body encodings, whatever a listed message's fields hold.
TEST(DigestMessage, QuotedPrintableAndBase64KeepEveryLineShort) {
  const std::pair<std::string, std::string> quoted[] = {
      {"a=b\r\n", "a=3Db\r\n"},
      {"end \r\n", "end=20\r\n"},
      {std::string(80, 'x') + "\r\n", std::string(75, 'x') + "=\r\n" + std::string(5, 'x') + "\r\n"},
      {"caf\xC3\xA9\tx\r\n", "caf=C3=A9=09x\r\n"},
      {"no line break", "no line break\r\n"},
  };
  for (const auto& [text, encoded] : quoted) EXPECT_EQ(QuotedPrintable(text), encoded) << text;
  EXPECT_EQ(Base64Lines("foob"), "Zm9vYg==\r\n");
  std::string line;
  for (int i = 0; i < 19; ++i) line += "YWFh";
  EXPECT_EQ(Base64Lines(std::string(57, 'a')), line + "\r\n");
  EXPECT_EQ(Base64Lines(std::string(58, 'a')).find("\r\n"), 76u);
  // A Date as RFC 5322 writes it, its offset without a colon.
  EXPECT_TRUE(std::regex_match(MailDate(1800000000), std::regex("[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} 20[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}")))
      << MailDate(1800000000);
}

}  // namespace
}  // namespace saplugin
