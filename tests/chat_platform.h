#pragma once

// A platform in memory whose every connection reaches a mail server that
// replies line by line, as a script says: for the SMTP client and the digest.

#include <map>
#include <string>
#include <vector>

#include "memory_platform.h"
#include "platform/error.h"

namespace saplugin::test {

// A mail server in memory that replies line by line: to each command by its
// verb ("." for the end of the data, "HELLO" for the greeting), the next of
// its replies in the script, else the usual one. "CLOSE" closes the
// connection, "STALL" never replies.
class ChatConnection : public Connection {
 public:
  ChatConnection(std::map<std::string, std::vector<std::string>>& script, std::string& transcript) : script_(script), transcript_(transcript) {
    Reply("HELLO");
  }
  void Send(const char* data, std::size_t size, Milliseconds) override {
    received_.append(data, size);
    for (std::size_t end; (end = received_.find("\r\n")) != std::string::npos;) {
      const std::string line = received_.substr(0, end);
      received_.erase(0, end + 2);
      if (in_data_ && line != ".") {
        if (line[0] == '.') transcript_ += line + "|";
        // The text part's release lines, whole again (quoted-printable ends a cut line with "=").
        joined_ += line;
        if (!joined_.empty() && joined_.back() == '=') {
          joined_.pop_back();
          continue;
        }
        if (joined_.find("Release ") != std::string::npos) transcript_ += joined_.substr(joined_.find("Release ")) + "|";
        joined_.clear();
        continue;
      }
      transcript_ += (line.rfind("MAIL", 0) == 0 || line.rfind("RCPT", 0) == 0 || line == "." ? line : line.substr(0, 4)) + "|";
      in_data_ = line == "DATA";
      Reply(line == "." ? "." : line.substr(0, 4));
    }
  }
  void EndSending() override {}
  std::size_t Receive(char* data, std::size_t size, Milliseconds) override {
    if (pending_ == "STALL") throw Error(10060, "memory", "timed out");
    if (pending_ == "CLOSE") return 0;
    const std::size_t got = std::min(size, pending_.size());
    std::copy_n(pending_.data(), got, data);
    pending_.erase(0, got);
    return got;
  }

 private:
  void Reply(const std::string& verb) {
    static const std::map<std::string, std::string> kUsual = {{"HELLO", "220 mail ready"}, {"EHLO", "250-mail\r\n250 8BITMIME"}, {"DATA", "354 go on"},
                                                              {"QUIT", "221 bye"}};
    std::vector<std::string>& replies = script_[verb];
    std::string reply = kUsual.count(verb) ? kUsual.at(verb) : "250 ok";
    if (!replies.empty()) {
      reply = replies.front();
      replies.erase(replies.begin());
    }
    if (verb == "DATA") in_data_ = reply.rfind("354", 0) == 0;
    pending_ = reply == "STALL" || reply == "CLOSE" ? reply : reply + "\r\n";
  }

  std::map<std::string, std::vector<std::string>>& script_;
  std::string& transcript_;
  std::string received_, pending_, joined_;
  bool in_data_ = false;
};

class ChatPlatform : public MemoryPlatform {
 public:
  std::map<std::string, std::vector<std::string>> script;
  std::string transcript;
  int connections = 0;
  std::unique_ptr<Connection> Connect(const std::string&, std::uint16_t, Milliseconds) override {
    ++connections;
    transcript += "CONNECT|";
    return std::make_unique<ChatConnection>(script, transcript);
  }
};

}  // namespace saplugin::test
