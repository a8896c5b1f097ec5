#pragma once

// A client of the mail server's own SMTP service, for the digests: one
// connection that carries many messages (EHLO, then for each MAIL FROM, RCPT
// TO and DATA, RSET after one that was refused, QUIT at the end), every
// step bounded in time.

#include <memory>
#include <string>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

class SmtpClient {
 public:
  // How a message went.
  enum class Delivery {
    kSent,     // the server took it (250 after the data)
    kRefused,  // the server refused the sender, the recipient or the data for good (5xx)
    kFailed,   // refused for now (4xx; the session goes on), or the connection
               // failed, closed or stalled (the client is closed)
  };
  struct Result {
    Delivery delivery;
    std::string why;  // the server's reply, or what failed; empty when sent
    bool greeting = false;  // failed on the way in: connecting, or the greeting
  };

  // step_timeout bounds each step: the connection, every command's reply,
  // the data's sending. hello_name is the name EHLO gives.
  SmtpClient(Platform& platform, SpamdHost server, std::string hello_name, Milliseconds step_timeout);
  ~SmtpClient();

  // Sends one message (its lines ending with CRLF; dot-stuffed here),
  // connecting and greeting first when no connection is open. Never throws.
  Result Send(const std::string& from, const std::string& to, const std::string& message);
  // Connects and greets, when no connection is open: kSent when the server
  // took the greeting. Never throws.
  Result Greet();
  // Whether a session is open (a failure may have closed it).
  bool Connected() const { return connection_ != nullptr; }
  // Ends the session politely, if one is open. Never throws.
  void Quit();

 private:
  void Open();
  // The server's reply to what was sent last: its code (and the reply's text in *text).
  int Reply(std::string* text);
  void Command(const std::string& line);

  Platform& platform_;
  SpamdHost server_;
  std::string hello_name_;
  Milliseconds timeout_;
  std::unique_ptr<Connection> connection_;
  std::string received_;  // bytes received and not yet read as a reply
  bool opening_ = false;  // within Open
};

}  // namespace saplugin
