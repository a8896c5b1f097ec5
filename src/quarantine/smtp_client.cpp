#include "quarantine/smtp_client.h"

#include <utility>

#include "platform/error.h"
#include "platform/text.h"
#include "platform/wait_end.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

// The longest reply taken (a server's EHLO list is a few hundred bytes).
constexpr std::size_t kLongestReply = 64 * 1024;

// Thrown where the connection must be given up; its text says why.
struct SessionFailed {
  std::string why;
};

// The message with each line that starts with "." given one more (RFC 5321,
// 4.5.2), then the end of the data.
std::string DotStuffed(const std::string& message) {
  std::string data;
  data.reserve(message.size() + message.size() / 64 + 8);
  bool line_start = true;
  for (const char c : message) {
    if (line_start && c == '.') data += '.';
    data += c;
    line_start = c == '\n';
  }
  if (!data.empty() && data.back() != '\n') data += "\r\n";
  return data + ".\r\n";
}

}  // namespace

SmtpClient::SmtpClient(Platform& platform, SpamdHost server, std::string hello_name, Milliseconds step_timeout)
    : platform_(platform), server_(std::move(server)), hello_name_(std::move(hello_name)), timeout_(step_timeout) {}

SmtpClient::~SmtpClient() = default;

void SmtpClient::Command(const std::string& line) {
  const std::string bytes = line + "\r\n";
  try {
    connection_->Send(bytes.data(), bytes.size(), timeout_);
  } catch (const Error& error) {
    throw SessionFailed{"sending " + line.substr(0, line.find(' ')) + ": " + error.Description()};
  }
}

int SmtpClient::Reply(std::string* text) {
  text->clear();
  // One bound for the whole reply, however the server drips it.
  const WaitEnd end(timeout_);
  std::size_t taken = 0;
  for (;;) {
    const std::size_t line_end = received_.find("\r\n");
    if (line_end != std::string::npos) {
      const std::string line = received_.substr(0, line_end);
      received_.erase(0, line_end + 2);
      taken += line_end + 2;
      if (line.size() < 3 || line.find_first_not_of("0123456789") < 3 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
        throw SessionFailed{"the server's reply is no SMTP reply: " + DisplayText(line.substr(0, 200))};
      }
      if (taken > kLongestReply) throw SessionFailed{"the server's reply is longer than " + std::to_string(kLongestReply) + " bytes"};
      *text += (text->empty() ? "" : " ") + DisplayText(line.substr(0, 300));
      if (line.size() == 3 || line[3] == ' ') return std::stoi(line.substr(0, 3));
      continue;  // "250-" goes on
    }
    if (taken + received_.size() > kLongestReply) throw SessionFailed{"the server's reply is longer than " + std::to_string(kLongestReply) + " bytes"};
    if (end.Passed()) throw SessionFailed{"the server did not reply in time"};
    char block[4096];
    std::size_t got = 0;
    try {
      got = connection_->Receive(block, sizeof block, timeout_ == kNoTimeLimit ? kNoTimeLimit : end.Left());
    } catch (const Error& error) {
      throw SessionFailed{"no reply from the server: " + error.Description()};
    }
    if (got == 0) throw SessionFailed{"the server closed the connection"};
    received_.append(block, got);
  }
}

void SmtpClient::Open() {
  opening_ = true;
  received_.clear();
  try {
    connection_ = platform_.Connect(server_.host, server_.port, timeout_);
  } catch (const Error& error) {
    throw SessionFailed{"could not connect: " + error.Description()};
  }
  std::string text;
  if (Reply(&text) != 220) throw SessionFailed{"the server's greeting: " + text};
  Command("EHLO " + hello_name_);
  if (Reply(&text) != 250) {
    Command("HELO " + hello_name_);
    if (Reply(&text) != 250) throw SessionFailed{"HELO: " + text};
  }
  opening_ = false;
}

SmtpClient::Result SmtpClient::Send(const std::string& from, const std::string& to, const std::string& message) {
  try {
    if (!connection_) Open();
    std::string text;
    // A refusal ends this message's transaction, not the session (a reply
    // that is no refusal ends the session). A temporary one (4xx) counts as
    // failed: the message is to be sent again.
    const auto refused = [&](int code) {
      const bool refusal = code >= 400 && code < 600;
      const Result result{code >= 500 && code < 600 ? Delivery::kRefused : Delivery::kFailed, text};
      try {
        if (!refusal) throw SessionFailed{};
        Command("RSET");
        std::string ignored;
        if (Reply(&ignored) != 250) throw SessionFailed{};
      } catch (const SessionFailed&) {
        connection_.reset();
      }
      return result;
    };
    Command("MAIL FROM:<" + from + ">");
    if (const int code = Reply(&text); code != 250) return refused(code);
    Command("RCPT TO:<" + to + ">");
    if (const int code = Reply(&text); code != 250 && code != 251) return refused(code);
    Command("DATA");
    if (const int code = Reply(&text); code != 354) return refused(code);
    const std::string data = DotStuffed(message);
    try {
      connection_->Send(data.data(), data.size(), timeout_);
    } catch (const Error& error) {
      throw SessionFailed{"sending the message: " + error.Description()};
    }
    if (const int code = Reply(&text); code != 250) return refused(code);
    return {Delivery::kSent, ""};
  } catch (const SessionFailed& failed) {
    connection_.reset();
    return {Delivery::kFailed, failed.why, std::exchange(opening_, false)};
  }
}

SmtpClient::Result SmtpClient::Greet() {
  try {
    if (!connection_) Open();
    return {Delivery::kSent, ""};
  } catch (const SessionFailed& failed) {
    connection_.reset();
    return {Delivery::kFailed, failed.why, std::exchange(opening_, false)};
  }
}

void SmtpClient::Quit() {
  if (!connection_) return;
  try {
    Command("QUIT");
    std::string ignored;
    Reply(&ignored);
  } catch (const SessionFailed&) {
    // The digests are sent; a server that does not say goodbye changes nothing.
  }
  connection_.reset();
}

}  // namespace saplugin
