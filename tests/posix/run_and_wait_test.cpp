// RunAndWait on the real POSIX platform, with sacmd as the interpreter.

#include "helpers/run_and_wait.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>

#include "temp_folder.h"

namespace saplugin {
namespace {

class RealRunAndWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("COMSPEC", SACMD_EXE, 1);
    char* argv[] = {const_cast<char*>("saplugin")};
    platform = CreatePlatform(1, argv);
    options.TempPath = folder.Path() + "\\";
  }

  // Writes the batch file R.BAT and runs it; answers the exit status and
  // stores the seconds it took.
  long Run(const std::string& batch_line) {
    WriteFile(folder / "R.BAT", batch_line + "\r\n");
    const auto start = std::chrono::steady_clock::now();
    const long status = RunAndWait(*platform, options, "R");
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return status;
  }

  TempFolder folder;
  std::unique_ptr<Platform> platform;
  PluginOptions options;
  double seconds = 0;
};

TEST_F(RealRunAndWaitTest, ChildThatEndsAtOnceReturnsWellUnderASecond) {
  EXPECT_EQ(Run("/bin/true"), 0);
  EXPECT_LT(seconds, 1.0);
}

TEST_F(RealRunAndWaitTest, ChildThatRunsOneSecondIsWaitedFor) {
  EXPECT_EQ(Run("/bin/sleep 1"), 0);
  EXPECT_GE(seconds, 1.0);
}

TEST_F(RealRunAndWaitTest, ExitStatusesAreHandedBackAndNeverJudged) {
  EXPECT_EQ(Run("/bin/sh -c \"exit 1\""), 1);
  EXPECT_EQ(Run("/bin/sh -c \"exit 259\""), 259 & 0xFF);  // POSIX keeps 8 bits
  EXPECT_EQ(Run("/bin/sh -c \"kill -9 $$\""), 128 + 9);
}

TEST_F(RealRunAndWaitTest, BatchFileFeedsAFileToAProgramAndCapturesItsOutput) {
  WriteFile(folder / "in file.txt", "line one\nline two\n");
  EXPECT_EQ(Run("\"/bin/cat\" < \"" + folder.Path() + "\\in file.txt\" > \"" + folder.Path() +
                "\\out file.txt\""),
            0);
  EXPECT_EQ(ReadFile(folder / "out file.txt"), "line one\nline two\n");
}

TEST_F(RealRunAndWaitTest, PathsWithShellCharactersAreTakenLiterally) {
  const std::string odd = "a$HOME;b&c`touch x`|d";
  WriteFile(folder / odd, "literal");
  EXPECT_EQ(Run("/bin/cat < \"" + folder / odd + "\" > \"" + folder / (odd + ".out") + "\""), 0);
  EXPECT_EQ(ReadFile(folder / (odd + ".out")), "literal");
  EXPECT_FALSE(Exists(folder / "x"));
}

TEST_F(RealRunAndWaitTest, MissingProgramGives9009AndAnEmptyOutputFile) {
  EXPECT_EQ(Run("\"/no/such/program\" -P < \"" + folder / "R.BAT" + "\" > \"" + folder / "R.MAI" + "\""),
            9009 & 0xFF);
  ASSERT_TRUE(Exists(folder / "R.MAI"));
  EXPECT_EQ(ReadFile(folder / "R.MAI"), "");
}

TEST_F(RealRunAndWaitTest, InterpreterThatCannotBeStartedIsAnErrorWithADescription) {
  setenv("COMSPEC", "/no/such/interpreter", 1);
  try {
    Run("/bin/true");
    ADD_FAILURE();
  } catch (const Error& error) {
    EXPECT_NE(error.Description().find("/no/such/interpreter"), std::string::npos);
  }
  EXPECT_LT(seconds, 0.1);
}

}  // namespace
}  // namespace saplugin
