#pragma once

#include <string>

namespace saplugin::test {

// spamd's whole answer to PROCESS: the header fields given, then the body with its length.
inline std::string Answer(const std::string& body, const std::string& fields = "") {
  return "SPAMD/1.5 0 EX_OK\r\n" + fields + "Content-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace saplugin::test
