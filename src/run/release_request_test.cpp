#include "run/release_request.h"

#include <gtest/gtest.h>

#include <ctime>

#include "memory_platform.h"
#include "quarantine/digest_message.h"
#include "store/site_key.h"

namespace saplugin {
namespace {

const std::string kToken = "0123456789ABCDEF0123456789ABCDEF.2000000000.amFuZUBleGFtcGxlLmNvbQ.AAAAAAAAAAAAAAAAAAAA-_";

// Only mail for the quarantine alone is a request: it is removed from the
// queue. Each row: the message's header section ("T" standing for the
// token), and whether it is a request.
TEST(ReleaseRequest, IsMailForTheQuarantineAloneThatNamesAToken) {
  const std::pair<std::string, bool> rows[] = {
      {"To: quarantine@example.com\r\nSubject: Release T", true},
      {"To: \"Quarantine\" <QUARANTINE@Example.com>\r\nSubject: =?UTF-8?B?UmU6IFJlbGVhc2Ug?= T", true},
      {"To: quarantine@example.com,\r\n quarantine@example.com\r\nCc: quarantine@example.com\r\nSubject: Re:\r\n Release T", true},
      {"To: quarantine@example.com, boss@example.com\r\nSubject: Release T", false},
      {"To: quarantine@example.com\r\nCc: boss@example.com\r\nSubject: Release T", false},
      {"Cc: quarantine@example.com\r\nSubject: Release T", false},
      {"To: undisclosed-recipients:;\r\nSubject: Release T", false},
      {"To: quarantine@example.com\r\nSubject: Why was my mail held?", false},
      // Mailboxes that cannot be read as addresses may be anyone's.
      {"To: quarantine@example.com, \"john doe\"@example.com\r\nSubject: Release T", false},
      {"To: quarantine@example.com, first%last@example.com\r\nSubject: Release T", false},
      {"To: quarantine@example.com, j\xC3\xB6rg@example.com\r\nSubject: Release T", false},
      {"To: quarantine@example.com, victim@[192.0.2.1]\r\nSubject: Release T", false},
      {"To: quarantine@example.com, postmaster\r\nSubject: Release T", false},
      {"To: <boss@example.com> <quarantine@example.com>\r\nSubject: Release T", false},
      {"To: quarantine@example.com\r\nCc : boss@example.com\r\nSubject: Release T", false},
      // So may the fields that name recipients besides To and Cc, and one too long to read whole.
      {"To: quarantine@example.com\r\nTo: other@example.com\r\nSubject: Release T", false},
      {"To: quarantine@example.com\r\nBcc: other@example.com\r\nSubject: Release T", false},
      {"To: quarantine@example.com\r\nResent-To: other@example.com\r\nSubject: Release T", false},
      {"To: quarantine@example.com (" + std::string(18000, 'x') + ") other@example.com\r\nSubject: Release T", false},
      {"To: quarantine@example.com\r\n (" + std::string(18000, 'x') + ")\r\nSubject: Release T", false},
  };
  PluginOptions options;
  options.QuarantinePath = "C:\\Q\\";
  options.DigestFrom = "quarantine@example.com";
  for (const auto& [header, request] : rows) {
    test::MemoryFileSystem fs;
    std::string text = header;
    for (std::size_t at; (at = text.find(" T")) != std::string::npos && at + 2 == text.size();) text.replace(at + 1, 1, kToken);
    fs.Put("C:\\M.MAI", text + "\r\n\r\nPlease.\r\n");
    EXPECT_EQ(ReleaseRequestToken(options, ReadQuarantineMailFields(fs, "C:\\M.MAI")), request ? kToken : "") << header.substr(0, 200);
  }
  test::MemoryFileSystem fs;
  fs.Put("C:\\M.MAI", "To: quarantine@example.com\r\nSubject: Release " + kToken + "\r\n\r\n");
  options.QuarantinePath.clear();
  EXPECT_EQ(ReleaseRequestToken(options, ReadQuarantineMailFields(fs, "C:\\M.MAI")), "");
}

// A digest that this site sent passes unscanned by its seal; one changed on
// the way, sealed with another key or too long ago, or a copy of its seal on
// other mail (a header section that a reader would show otherwise), is
// scanned like any other.
TEST(OwnDigest, IsKnownByItsSealOverWhatAReaderIsShown) {
  test::MemoryPlatform platform;
  PluginOptions options;
  options.QuarantinePath = "C:\\Q\\";
  options.DigestFrom = "quarantine@example.com";
  platform.fs.AddFolder("C:\\Q");
  const std::string key = SiteKey(platform, platform.fs, "C:\\Q\\", true);
  DigestItem item;
  item.subject = "Cheap watches";
  item.token = kToken;
  const std::time_t now = std::time(nullptr);
  const auto make = [&](const std::string& with, std::time_t date) {
    return DigestMessage({"quarantine@example.com", "jane@example.com", date, "ID1@example.com", 0, with}, {item});
  };
  const std::string digest = make(key, now);
  const std::size_t body = digest.find("\r\n\r\n") + 4, seal = digest.find("X-Quarantine-Digest: "), subject = digest.find("\r\nSubject: ") + 11;
  const std::string head = digest.substr(0, body - 2), rest = digest.substr(body - 2);
  const std::pair<std::string, bool> rows[] = {
      {digest, true},
      {"Received: from mail by mail; Wed, 9 Dec 2026 06:00:00 +0000\r\n\tfor <jane@example.com>\r\n" + digest, true},
      {head + "X" + rest, false},                                              // a field changed (the last one's value)
      {digest.substr(0, body) + "X" + digest.substr(body), false},             // the body changed
      {digest.substr(0, body) + "Buy now.\r\n", false},                       // its seal on another body
      {head + "Log in at http://x.example/\r\n" + rest, false},                // a line a reader would take for the body
      {head + " \r\n" + rest, false},                                          // a blank line a reader might end the header at
      {"Received: from mail\r\n \r\n" + digest, false},                        // such a line within another field
      {"X-A: a\rSubject: b\r\n" + digest, false},                              // a bare CR
      {"Content-Type: text/plain\r\n" + digest, false},                        // a sealed field twice
      {"From: <helpdesk@example.com>\r\n" + digest, false},
      {"Content-Transfer-Encoding: base64\r\n" + digest, false},               // another Content- field
      {digest.substr(0, seal + 21) + "\r\n " + digest.substr(seal + 21), false},  // the seal folded
      {digest.substr(0, subject) + "\r\n " + digest.substr(subject), false},     // a sealed field folded
      {digest.substr(0, seal) + "X-Quarantine-Digest: 1\r\n" + digest.substr(seal), false},
      {make(std::string(32, 'x'), now), false},                                // another key
      {make(key, now - 8 * 86400), false},                                     // a week and a day ago
      {"Subject: no seal\r\n\r\nbody\r\n", false},
  };
  for (const auto& [message, own] : rows) {
    platform.fs.Put("C:\\M.MAI", message);
    EXPECT_EQ(IsOwnDigest(platform, platform.fs, options, "C:\\M.MAI"), own) << message.substr(0, 400);
  }
  // Without the key, nothing is the site's own.
  platform.fs.Put("C:\\M.MAI", digest);
  platform.fs.DeleteFile(SiteKeyFile("C:\\Q\\"));
  EXPECT_FALSE(IsOwnDigest(platform, platform.fs, options, "C:\\M.MAI"));
}

}  // namespace
}  // namespace saplugin
