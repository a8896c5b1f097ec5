#include "quarantine/smtp_client.h"

#include <gtest/gtest.h>

#include <map>

#include "chat_platform.h"

namespace saplugin {
namespace {

// Two digests through one client, to a server that replies as the row's
// script says (a verb and its next reply): how each went ("unreached": failed
// on the way in), how many connections it took, and a part of what the server saw.
TEST(SmtpClient, ARefusalEndsOneMessageAndAFailureOneConnection) {
  const std::string kLong = "250-" + std::string(1000, 'x') + "\r\n";
  std::string long_reply;
  for (int i = 0; i < 66; ++i) long_reply += kLong;
  const struct {
    std::vector<std::pair<std::string, std::string>> script;
    std::string deliveries;
    int connections;
    std::string seen;
  } rows[] = {
      {{}, "sent sent", 1, "CONNECT|EHLO|MAIL FROM:<q@x.org>|RCPT TO:<a@x.org>|DATA|..dot|.|MAIL FROM:<q@x.org>|RCPT TO:<b@x.org>|DATA|..dot|.|QUIT|"},
      {{{"RCPT", "550 no such user"}}, "refused sent", 1, "RCPT TO:<a@x.org>|RSET|MAIL"},
      // A temporary refusal is to be sent again: it counts as failed, on the same session.
      {{{"RCPT", "451 try later"}}, "failed sent", 1, "RCPT TO:<a@x.org>|RSET|MAIL"},
      {{{"MAIL", "421 closing"}}, "failed sent", 1, "MAIL FROM:<q@x.org>|RSET|MAIL"},
      {{{".", "554 content refused"}}, "refused sent", 1, ".|RSET|MAIL"},
      {{{"DATA", "503 bad sequence"}}, "refused sent", 1, "DATA|RSET|MAIL"},
      {{{"EHLO", "502 no"}}, "sent sent", 1, "EHLO|HELO|MAIL"},
      {{{"EHLO", "502 no"}, {"HELO", "501 no"}}, "unreached sent", 2, "EHLO|HELO|CONNECT|EHLO|MAIL"},
      {{{"HELLO", "554 go away"}}, "unreached sent", 2, "CONNECT|CONNECT|EHLO"},
      {{{"RCPT", "550 no"}, {"RSET", "500 what"}}, "refused sent", 2, "RSET|CONNECT|EHLO|MAIL"},
      {{{"DATA", "CLOSE"}}, "failed sent", 2, "DATA|CONNECT|EHLO"},
      {{{".", "STALL"}}, "failed sent", 2, ".|CONNECT|EHLO"},
      {{{"MAIL", "250x"}}, "failed sent", 2, "MAIL FROM:<q@x.org>|CONNECT"},
      {{{"MAIL", "25"}}, "failed sent", 2, "MAIL FROM:<q@x.org>|CONNECT"},
      {{{"MAIL", "200 fine"}}, "failed sent", 2, "MAIL FROM:<q@x.org>|CONNECT"},
      {{{"MAIL", "250"}}, "sent sent", 1, "MAIL FROM:<q@x.org>|RCPT"},  // a reply of its code alone
      // A reply's bound holds across its continuation lines.
      {{{"EHLO", long_reply + "250 end"}}, "unreached sent", 2, "CONNECT|EHLO|CONNECT|EHLO|MAIL"},
  };
  for (const auto& row : rows) {
    test::ChatPlatform platform;
    for (const auto& [verb, reply] : row.script) platform.script[verb].push_back(reply);
    SmtpClient client(platform, {"mail", 25}, "x.org", 1000);
    std::string deliveries;
    for (const char* to : {"a@x.org", "b@x.org"}) {
      const SmtpClient::Result result = client.Send("q@x.org", to, "Subject: s\r\n\r\n.dot\r\n");
      const auto delivery = result.delivery;
      deliveries += std::string(deliveries.empty() ? "" : " ") +
                    (delivery == SmtpClient::Delivery::kSent      ? "sent"
                     : delivery == SmtpClient::Delivery::kRefused ? "refused"
                     : result.greeting                            ? "unreached"
                                                                  : "failed");
      EXPECT_EQ(result.why.empty(), delivery == SmtpClient::Delivery::kSent) << row.seen << ": " << result.why;
    }
    client.Quit();
    EXPECT_EQ(deliveries, row.deliveries) << row.seen;
    EXPECT_EQ(platform.connections, row.connections) << row.seen;
    EXPECT_NE(platform.transcript.find(row.seen), std::string::npos) << row.seen << "\n" << platform.transcript;
  }
}

}  // namespace
}  // namespace saplugin
