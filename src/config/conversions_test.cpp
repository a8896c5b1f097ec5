#include "config/conversions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

namespace saplugin {
namespace {

constexpr std::size_t kAny = kAnyDigits;

TEST(Conversions, ADecimalIsReadWithinItsCallersBound) {
  const std::tuple<const char*, DecimalBound, const char*> cases[] = {
      {"8", {9, 9}, "8.000"},
      {"6.5", {9, 9}, "6.500"},
      {"-0.1", {9, 9}, "-0.100"},
      {"123456789", {9, 9}, "123456789.000"},
      {"1234567890", {9, 9}, "-"},
      {"1.123456789", {9, 9}, "1.123"},
      {"1.1234567891", {9, 9}, "-"},
      {"1.1234567891", {9, kAny}, "1.123"},
      {"12345678901234567890", {kAny, kAny}, "12345678901234567168.000"},
      {"6,5", {9, 9}, "-"},
      {"6.", {9, 9}, "-"},
      {".5", {9, 9}, "-"},
      {"+6", {9, 9}, "-"},
      {"-", {9, 9}, "-"},
      {"", {9, 9}, "-"},
      {"1e3", {9, 9}, "-"},
      {"0x10", {9, 9}, "-"},
      {" 5", {9, 9}, "-"},
      {"5 ", {9, 9}, "-"},
      {"--1", {9, 9}, "-"},
      {"1.2.3", {9, 9}, "-"},
  };
  for (const auto& [text, bound, want] : cases) {
    const std::optional<double> read = ReadDecimal(text, bound);
    char shown[48] = "-";
    if (read) std::snprintf(shown, sizeof shown, "%.3f", *read);
    EXPECT_STREQ(shown, want) << text;
  }
}

TEST(Conversions, DigitsAreReadWithinTheirCount) {
  const std::tuple<const char*, std::size_t, std::int64_t> cases[] = {
      {"0", 18, 0},
      {"783", 5, 783},
      {"65536", 5, 65536},
      {"123456", 5, -1},
      {"999999999999999999", 18, 999999999999999999},
      {"0000000000000000001", 18, -1},
      {"", 5, -1},
      {"-1", 5, -1},
      {"+1", 5, -1},
      {"1.0", 5, -1},
      {" 1", 5, -1},
      {"1 ", 5, -1},
  };
  for (const auto& [text, most, want] : cases) EXPECT_EQ(ReadDigits(text, most).value_or(-1), want) << text;
}

}  // namespace
}  // namespace saplugin
