// libFuzzer target for the parsers that read what others write: the profile
// reader and the registry-file reader of the POSIX layer, the status line and
// fields of a spamd answer (a daemon, or whatever answers on its port),
// SPAMDHOSTS, and the header fields that the scan log keeps, with the CSV line
// they make checked as valid UTF-8 and as one RFC 4180 record of as many
// fields as the header row has; and a spamd answer served whole to a real
// scan (spamd_answer.cpp). The first byte picks the parser.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "config/spamd_hosts.h"
#include "platform/error.h"
#include "platform/posix/profile_file.h"
#include "platform/posix/registry_file.h"
#include "store/header_fields.h"
#include "store/scan_log.h"
#include "run/spamd_scan.h"
#include "spamd_answer.h"

namespace {

// True for text that is valid UTF-8 (no overlong form, surrogate or code point
// past U+10FFFF), decoded here apart from the program's own code.
bool IsUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    std::uint32_t point = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = point << 6 | (next & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[n] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// The number of fields of one RFC 4180 record without its line break, or -1
// when the line is no such record (a bare quote, a line break, text after a
// closing quote).
int Rfc4180Fields(const std::string& line) {
  int fields = 1;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    if (i < line.size() && line[i] == '"') {
      for (++i;; ++i) {
        if (i >= line.size()) return -1;
        if (line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"') {
          ++i;
        } else if (line[i] == '"') {
          break;
        }
      }
      ++i;
      if (i < line.size() && line[i] != ',') return -1;
    } else {
      while (i < line.size() && line[i] != ',') {
        if (line[i] == '"' || line[i] == '\r' || line[i] == '\n') return -1;
        ++i;
      }
    }
    if (i < line.size()) ++fields;
  }
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 6) {
    case 0: {
      std::istringstream text(input);
      std::string value;
      saplugin::FindProfileValue(text, "SPAMASSASSIN Plugin Config", "QUARANTINEPATH", &value);
      break;
    }
    case 1: {
      std::istringstream text(input);
      saplugin::RegistryValues values;
      try {
        saplugin::ReadRegistryKey(text, "SOFTWARE\\Tarkwell\\Tarkwell", &values);
      } catch (const saplugin::Error&) {
        // A text that is no registry export is refused with an error.
      }
      break;
    }
    case 2:
      try {
        if (saplugin::ParseSpamdAnswerHeader(input, "host:783").length < 0) std::abort();  // a length is never negative
      } catch (const saplugin::Error&) {
        // Refused with an error that names the host.
      }
      break;
    case 3:
      try {
        for (const saplugin::SpamdHost& host : saplugin::ParseSpamdHosts(input)) {
          if (host.host.empty() || host.port == 0) std::abort();
        }
      } catch (const saplugin::Error&) {
        // Refused with an error that names the entry.
      }
      break;
    case 5:
      saplugin::FuzzSpamdAnswer(input);
      break;
    default: {
      // The input as a header section, line by line, as a run reads it.
      saplugin::HeaderFieldCollector fields({"From", "Subject"}, saplugin::kScanLogTextLimit);
      std::istringstream lines(input);
      for (std::string line; std::getline(lines, line) && !line.empty();) fields.Feed(line);
      saplugin::ScanRecord record;
      record.time = "2026-12-07T10:00:00+01:00";
      record.reason = input.substr(0, 300);
      record.rules = input.substr(0, 100);
      const auto found = [&](const char* name) { return fields.Values().count(name) ? fields.Values().at(name) : std::string(); };
      record.from = found("From");
      record.subject = found("Subject");
      const std::string line = saplugin::FormatScanLogLine(record);
      // As many fields as the log has columns.
      if (!IsUtf8(line) || Rfc4180Fields(line) != static_cast<int>(saplugin::kScanLogColumnCount)) {
        std::fprintf(stderr, "scan log line: %s\n", IsUtf8(line) ? "not one record of its columns" : "not UTF-8");
        std::abort();
      }
      break;
    }
  }
  return 0;
}
