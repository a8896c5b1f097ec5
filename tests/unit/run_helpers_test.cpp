#include <gtest/gtest.h>

#include "fake_platform.h"
#include "helpers/make_run_name.h"
#include "helpers/run_and_wait.h"

namespace saplugin {
namespace {

Guid MakeGuid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3, std::initializer_list<std::uint8_t> d4) {
  Guid guid;
  guid.data1 = d1;
  guid.data2 = d2;
  guid.data3 = d3;
  std::copy(d4.begin(), d4.end(), guid.data4);
  return guid;
}

std::string NameOf(const Guid& guid) {
  FakePlatform platform;
  platform.guid = guid;
  return MakeRunName(platform);
}

TEST(MakeRunName, RendersEveryFieldToItsFullWidthInUpperCase) {
  EXPECT_EQ(NameOf(MakeGuid(0xABCD, 0xF, 0x8001, {0x00, 0x01, 0x0A, 0x10, 0xAB, 0xFF, 0x7E, 0x09})),
            "0000ABCD000F800100010A10ABFF7E09");
  EXPECT_EQ(NameOf(MakeGuid(0xFFFFFFFF, 0, 0xFFFF, {0, 0, 0, 0, 0, 0, 0, 0})),
            "FFFFFFFF0000FFFF0000000000000000");
  const std::string zero = NameOf(Guid());
  EXPECT_EQ(zero, std::string(32, '0'));
  EXPECT_NE(zero, kFallbackRunName);
}

TEST(MakeRunName, FallsBackOnAnyFailedRequest) {
  for (long status : {1L, -1L, static_cast<long>(0x80004005L)}) {
    FakePlatform platform;
    platform.guid = MakeGuid(1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11});
    platform.guid_status = status;
    EXPECT_EQ(MakeRunName(platform), "00000000") << status;
  }
  FakePlatform throwing;
  throwing.guid_throws = true;
  EXPECT_EQ(MakeRunName(throwing), "00000000");
}

TEST(PadWithZeros, GivesTheDifferenceAndRejectsNegativeOrOverflowingOnes) {
  EXPECT_EQ(PadWithZeros(8, 8), "");
  EXPECT_EQ(PadWithZeros(8, 3), "00000");
  EXPECT_EQ(PadWithZeros(4, 1), "000");
  try {
    PadWithZeros(2, 3);
    ADD_FAILURE();
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kErrorInvalidArgument);
  }
  try {
    PadWithZeros(32767, -1);
    ADD_FAILURE();
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kErrorOverflow);
  }
}

class RunAndWaitTest : public ::testing::Test {
 protected:
  FakePlatform platform;
  PluginOptions options;
};

TEST_F(RunAndWaitTest, StartsTheInterpreterWithTheBatchFileQuotedAndItsOwnPathAsItStands) {
  platform.environment["ComSpec"] = "C:\\Program Files\\My Shell\\cmd.exe";
  options.TempPath = "C:\\Temp Dir\\";
  RunAndWait(platform, options, "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(platform.started, std::vector<std::string>{
                                  "C:\\Program Files\\My Shell\\cmd.exe /c \"C:\\Temp Dir\\"
                                  "0123456789ABCDEF0123456789ABCDEF.BAT\""});
}

TEST_F(RunAndWaitTest, ChildThatHasEndedTakesOnePassAndItsStatusIsHandedBack) {
  platform.child.exit_status = 1;
  EXPECT_EQ(RunAndWait(platform, options, "R"), 1);
  EXPECT_EQ(platform.queries, 1);
  EXPECT_EQ(platform.pumps, 1);
  EXPECT_TRUE(platform.pauses.empty());  // no pause after the child's end
}

TEST_F(RunAndWaitTest, RunningChildIsWaitedForAndStatus259EndsTheWait) {
  platform.child = FakeChild{5, 259};
  EXPECT_EQ(RunAndWait(platform, options, "R"), 259);
  EXPECT_EQ(platform.queries, 6);
  EXPECT_EQ(platform.pumps, 6);
  EXPECT_EQ(platform.pauses, std::vector<unsigned>(5, 100));
}

TEST_F(RunAndWaitTest, UnsetComspecStartsTheLineWithTheBlankAndAFailedStartWaitsForNothing) {
  platform.start_throws = true;
  options.TempPath = "T\\";
  EXPECT_THROW(RunAndWait(platform, options, "R"), Error);
  EXPECT_EQ(platform.started, std::vector<std::string>{" /c \"T\\R.BAT\""});
  EXPECT_EQ(platform.queries, 0);
  EXPECT_TRUE(platform.pauses.empty());
}

}  // namespace
}  // namespace saplugin
