#include "run/spamd_scan.h"

#include <gtest/gtest.h>

#include "memory_platform.h"

namespace saplugin {
namespace {

// What a host's answer to TELL means: learned only where its header section
// says DidSet, in any case, never from its body; a daemon that takes no TELL
// is named with the switch it lacks, any other answer is refused. The host
// is sent the whole message, announced with its length.
TEST(TellSpamd, LearnedOnlyWhereTheHostsHeaderSaysDidSet) {
  const std::string message = "Subject: x\r\n\r\nbody\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {"SPAMD/1.5 0 EX_OK\r\nDidSet: local\r\n\r\n", "learned"},
      {"SPAMD/1.5 0 EX_OK\r\nContent-length: 0\r\ndidset: local\r\n\r\n", "learned"},
      {"SPAMD/1.5 0 EX_OK\r\n\r\nDidSet: local\r\n", "nothing"},
      {"SPAMD/1.5 0 EX_OK\r\nDidRemove: local\r\n\r\n", "nothing"},
      {"SPAMD/1.5 69 EX_UNAVAILABLE TELL commands are not enabled, set the --allow-tell switch.\r\n",
       "a:783 does not take TELL: start its spamd with --allow-tell (it answered \"SPAMD/1.5 69 EX_UNAVAILABLE TELL commands"},
      {"SPAMD/1.5 76 EX_PROTOCOL Bad header line\r\n", "a:783 answered \"SPAMD/1.5 76 EX_PROTOCOL Bad header line\""},
      {"HTTP/1.1 400 Bad Request\r\n\r\n", "a:783 gave no answer that spamd gives: "},
  };
  for (const auto& [answer, want] : cases) {
    test::MemoryPlatform platform;
    platform.fs.Put("C:\\Q\\Messages\\A.MAI", message);
    std::string sent;
    platform.daemons = [&, answer = answer](const std::string&, std::uint16_t, const std::string& request) {
      sent = request;
      return answer;
    };
    std::string got;
    try {
      got = TellSpamd(platform, platform.fs, SpamdHost{"a", 783}, "C:\\Q\\Messages\\A.MAI", true, 5) ? "learned" : "nothing";
    } catch (const Error& error) {
      got = error.Description();
    }
    EXPECT_EQ(got.substr(0, want.size()), want) << answer;
    EXPECT_EQ(sent, "TELL SPAMC/1.5\r\nMessage-class: spam\r\nSet: local\r\nContent-length: 20\r\n\r\n" + message);
  }
}

}  // namespace
}  // namespace saplugin
