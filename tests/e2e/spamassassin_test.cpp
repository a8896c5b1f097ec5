// saplugin with the real SpamAssassin (Debian's spamassassin package) and an
// offline rules folder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "e2e/sandbox.h"
#include "e2e/scenarios.h"

namespace saplugin {
namespace {

const char* const kSpamAssassin = "/usr/bin/spamassassin";
const char* const kSampleSpam = "/usr/share/doc/spamassassin/examples/sample-spam.txt";

class RealSpamAssassin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(kSpamAssassin)) << "SpamAssassin is not installed: scripts/test installs it";
    const std::string make_rules =
        std::string(SAPLUGIN_SOURCE_DIR) + "/scripts/make-sa-rules '" + box.Path("rules") + "'";
    ASSERT_EQ(std::system(make_rules.c_str()), 0);
    box.environment["COMSPEC"] = SACMD_EXE;
    box.environment["HOME"] = box.Path("");
  }

  void Configure(const std::string& quarantine, const std::string& keep_original) {
    box.WriteConfig({{"QUARANTINE", quarantine},
                     {"KEEPORIGINAL", keep_original},
                     {"QUARANTINEPATH", box.Quarantine()},
                     {"SPAMASSASSINEXE", kSpamAssassin},
                     {"SPAMASSASSINRULESPATH", box.Path("rules")},
                     {"TEMPPATH", box.Temp()}});
  }

  Sandbox box;
};

TEST_F(RealSpamAssassin, GtubeIsQuarantinedWithTheFilterOutputBesideIt) {
  Configure("1", "0");
  const std::string spam = ReadFile(kSampleSpam);
  box.Queue("SPAM.MAI", spam);
  const RunResult run = box.Run({"SPAM.MAI", "Conn"});
  EXPECT_EQ(run.exit_status, 0) << run.standard_error;
  EXPECT_TRUE(box.Events().empty());
  EXPECT_FALSE(Exists(box.Messages() + "/SPAM.MAI"));
  EXPECT_FALSE(Exists(box.Inbound() + "/SPAM.MAI"));
  std::string output;
  for (const auto& entry : std::filesystem::directory_iterator(box.Quarantine() + "/Messages")) {
    const std::string path = entry.path().string();
    if (entry.path().extension() == ".SA") output = ReadFile(path);
    if (entry.path().extension() == ".MAI") {
      EXPECT_EQ(ReadFile(path), spam);
    }
  }
  EXPECT_NE(output.find("\nX-Spam-Flag: YES"), std::string::npos) << output;
  EXPECT_EQ(output.find("deprecated"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(box.Temp()));
}

TEST_F(RealSpamAssassin, PlainMessageIsReplacedByItsTaggedCopyUnlessKeptOriginal) {
  Configure("1", "0");
  box.Queue("HAM.MAI", kHam);
  EXPECT_EQ(box.Run({"HAM.MAI", "Conn"}).exit_status, 0);
  const std::string tagged = ReadFile(box.Messages() + "/HAM.MAI");
  EXPECT_NE(tagged.find("X-Spam-Status: No"), std::string::npos) << tagged;
  EXPECT_NE(tagged.find("See you at noon."), std::string::npos);

  Configure("1", "1");
  box.Queue("KEPT.MAI", kHam);
  EXPECT_EQ(box.Run({"KEPT.MAI", "Conn"}).exit_status, 0);
  EXPECT_EQ(ReadFile(box.Messages() + "/KEPT.MAI"), kHam);
  EXPECT_TRUE(box.Events().empty());
  EXPECT_TRUE(std::filesystem::is_empty(box.Temp()));
}

}  // namespace
}  // namespace saplugin
