#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace saplugin {

// The longest prefix of a header line that a reader keeps in memory.
constexpr std::size_t kHeaderLineLimit = 1000;

// Collects the values of chosen header fields from the lines of a header
// section, fed one by one: the name matched without regard to letter case,
// folded continuation lines joined (each line break with the blanks after it
// becomes one blank), the first field of a name kept, each value cut at
// max_length bytes so that memory stays bounded (further back to the start of
// a UTF-8 character that the cut would split).
class HeaderFieldCollector {
 public:
  HeaderFieldCollector(std::vector<std::string> names, std::size_t max_length);
  void Feed(const std::string& line);
  // The values found; a field that was not there is absent.
  const std::map<std::string, std::string>& Values() const { return values_; }

 private:
  std::vector<std::string> names_;
  std::size_t max_length_;
  std::map<std::string, std::string> values_;
  std::string* current_ = nullptr;  // the field that a continuation line extends
};

// The fields of a file's header section, read line by line up to its first
// empty line. Throws Error when the file cannot be read.
std::map<std::string, std::string> ReadHeaderFields(FileSystem& fs, const std::string& file,
                                                    const std::vector<std::string>& names, std::size_t max_length);

// The parts of SpamAssassin's X-Spam-Status value ("Yes, score=7.1
// required=5.0 tests=A,B autolearn=no ..."); each is empty when missing.
struct SpamStatus {
  std::string score, required, rules;
};
SpamStatus ParseSpamStatus(const std::string& value);

}  // namespace saplugin
