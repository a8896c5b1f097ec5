#include "run/release_request.h"

#include <gtest/gtest.h>

namespace saplugin {
namespace {

// Only mail for the quarantine alone is a request: it is removed from the queue.
TEST(ReleaseRequest, IsMailForTheQuarantineAloneThatNamesAToken) {
  const struct {
    const char *to, *cc, *subject, *token;
  } rows[] = {
      {"quarantine@example.com", "", "Release A.1.b.c", "A.1.b.c"},
      {"\"Quarantine\" <QUARANTINE@Example.com>", "", "=?UTF-8?B?UmU6IFJlbGVhc2UgQS4xLmIuYyDinJM=?=", "A.1.b.c"},
      {"quarantine@example.com, quarantine@example.com", "quarantine@example.com", "Release A.1.b.c", "A.1.b.c"},
      {"quarantine@example.com, boss@example.com", "", "Release A.1.b.c", ""},
      {"quarantine@example.com", "boss@example.com", "Release A.1.b.c", ""},
      {"", "quarantine@example.com", "Release A.1.b.c", ""},
      {"undisclosed-recipients:;", "", "Release A.1.b.c", ""},
      {"quarantine@example.com", "", "Why was my mail held?", ""},
  };
  PluginOptions options;
  options.QuarantinePath = "C:\\Q\\";
  options.DigestFrom = "quarantine@example.com";
  for (const auto& row : rows) EXPECT_EQ(ReleaseRequestToken(options, row.to, row.cc, row.subject), row.token) << row.to << " / " << row.cc;
  options.QuarantinePath.clear();
  EXPECT_EQ(ReleaseRequestToken(options, "quarantine@example.com", "", "Release A.1.b.c"), "");
}

}  // namespace
}  // namespace saplugin
