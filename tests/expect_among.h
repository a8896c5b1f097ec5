#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace saplugin::test {

// Every line of lines is among those shown (or a part of one); one starting
// with "!" must not be. label names the case in a failure.
inline void ExpectAmong(const std::string& shown, const std::string& lines, const std::string& label) {
  std::istringstream wanted(lines);
  for (std::string line; std::getline(wanted, line);) {
    const bool absent = line[0] == '!';
    EXPECT_EQ(shown.find(line.substr(absent)) != std::string::npos, !absent) << label << ": " << line << " in\n" << shown;
  }
}

}  // namespace saplugin::test
