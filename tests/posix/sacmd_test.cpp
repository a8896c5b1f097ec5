// sacmd's batch-line syntax, and its statuses for lines and files it cannot use.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include "sacmd/batch_line.h"
#include "temp_folder.h"

namespace saplugin {
namespace {

TEST(BatchLine, SplitsWordsKeepsQuotedBlanksAndTakesRedirections) {
  sacmd::Command command;
  std::string reason;
  ASSERT_TRUE(sacmd::ParseBatchLine(
      "\"C:\\Program Files\\sa.exe\" -P -c \"C:\\r d\" < \"in put\" >out", &command, &reason));
  EXPECT_EQ(command.words, (std::vector<std::string>{"C:\\Program Files\\sa.exe", "-P", "-c", "C:\\r d"}));
  EXPECT_EQ(command.input, "in put");
  EXPECT_EQ(command.output, "out");
  ASSERT_TRUE(sacmd::ParseBatchLine("echo a;b&c|d $X %Y% `z`", &command, &reason));
  EXPECT_EQ(command.words, (std::vector<std::string>{"echo", "a;b&c|d", "$X", "%Y%", "`z`"}));
  EXPECT_FALSE(command.has_input);
  ASSERT_TRUE(sacmd::ParseBatchLine("   ", &command, &reason));
  EXPECT_TRUE(command.words.empty());
  for (const char* bad : {"a \"open", "a <", "a > > b", "> out"}) {
    EXPECT_FALSE(sacmd::ParseBatchLine(bad, &command, &reason)) << bad;
    EXPECT_FALSE(reason.empty());
  }
}

int RunSacmd(const std::string& arguments) {
  const int status = std::system((std::string(SACMD_EXE) + " " + arguments + " 2>/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Sacmd, UnusableLinesAndFilesGiveStatusOne) {
  TempFolder folder;
  WriteFile(folder / "bad.bat", "/bin/true \"unclosed\r\n");
  EXPECT_EQ(RunSacmd("/c " + folder / "bad.bat"), 1);
  WriteFile(folder / "noinput.bat", "/bin/cat < " + folder / "none" + "\r\n");
  EXPECT_EQ(RunSacmd("/c " + folder / "noinput.bat"), 1);
  EXPECT_EQ(RunSacmd("/c " + folder / "missing.bat"), 1);
  EXPECT_EQ(RunSacmd(""), 1);
  // The last command's status counts, and blank lines are no commands.
  WriteFile(folder / "two.bat", "/bin/false\r\n\r\n/bin/true\r\n");
  EXPECT_EQ(RunSacmd("/C " + folder / "two.bat"), 0);
}

}  // namespace
}  // namespace saplugin
