// The text parsers of the POSIX stand-ins: the registry file, the profile
// reader and the Windows argument rules.

#include <gtest/gtest.h>

#include <sstream>

#include "platform/posix/process_start.h"
#include "platform/posix/profile_file.h"
#include "platform/posix/registry_file.h"

namespace saplugin {
namespace {

std::string Text(const RegistryValue& value) {
  return std::string(value.data.begin(), value.data.end());
}

TEST(RegistryFile, ReadsStringsWithEscapesDwordsAndHexValues) {
  std::istringstream text(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
      "\"Data Directory\"=\"wrong\"\r\n"
      "\r\n"
      "[hkey_local_machine\\software\\tarkwell\\TARKWELL]\r\n"
      "\"Data Directory\"=\"C:\\\\Program Files\\\\Host \\\"X\\\"\"\r\n"
      "\"Count\"=dword:ffffffd6\r\n"
      "\"Bin\"=hex:41,42,\\\r\n"
      "  43\r\n"
      "\"Exp\"=hex(2):25,00\r\n"
      "@=\"default\"\r\n"
      "\"Gone\"=\"x\"\r\n"
      "\"Gone\"=-\r\n"
      "\"Bad\"=dword:xyz\r\n"
      "garbage line\r\n");
  RegistryValues values;
  ASSERT_TRUE(ReadRegistryKey(text, "SOFTWARE\\Tarkwell\\Tarkwell", &values));
  EXPECT_EQ(values["data directory"].type, 1u);
  EXPECT_EQ(Text(values["data directory"]), std::string("C:\\Program Files\\Host \"X\"\0", 26));
  EXPECT_EQ(values["count"].type, 4u);
  EXPECT_EQ(values["count"].data, (std::vector<std::uint8_t>{0xd6, 0xff, 0xff, 0xff}));
  EXPECT_EQ(values["bin"].type, 3u);
  EXPECT_EQ(Text(values["bin"]), "ABC");
  EXPECT_EQ(values["exp"].type, 2u);
  EXPECT_EQ(Text(values[""]), std::string("default\0", 8));
  EXPECT_EQ(values.count("gone"), 0u);
  EXPECT_EQ(values.count("bad"), 0u);
}

TEST(RegistryFile, MissingKeyOrOtherTextReadsAsNoKey) {
  RegistryValues values;
  std::istringstream no_key("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"A\"=\"1\"\n");
  EXPECT_FALSE(ReadRegistryKey(no_key, "SOFTWARE\\Tarkwell\\Tarkwell", &values));
  std::istringstream not_registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\Tarkwell]\n\"A\"=\"1\"\n");
  EXPECT_FALSE(ReadRegistryKey(not_registry, "SOFTWARE\\Tarkwell\\Tarkwell", &values));
  std::istringstream removed(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\Tarkwell]\n\"A\"=\"1\"\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell]\n");
  EXPECT_FALSE(ReadRegistryKey(removed, "SOFTWARE\\Tarkwell\\Tarkwell", &values));
  std::istringstream binary(std::string("\x00\xff\x01[\n\"", 6));
  EXPECT_FALSE(ReadRegistryKey(binary, "SOFTWARE\\Tarkwell\\Tarkwell", &values));
}

bool Find(const std::string& ini, const std::string& key, std::string* value) {
  std::istringstream text(ini);
  return FindProfileValue(text, "SPAMASSASSIN Plugin Config", key, value);
}

TEST(ProfileFile, FollowsTheWindowsProfileConventions) {
  const std::string ini =
      "\xEF\xBB\xBF; a comment\r\n"
      "[Other]\r\n"
      "QUARANTINE=9\r\n"
      "[ spamassassin plugin config ]\r\n"
      "  quarantine  =  1  \r\n"
      ";TEMPPATH=C:\\Commented\r\n"
      "TempPath=\"  C:\\Temp  \"\r\n"
      "SpamAssassinExe='C:\\SA\\sa.exe'\r\n"
      "KEEPORIGINAL=\"1\r\n"
      "QUARANTINE=2\n"
      "MAXMESSAGESIZE=\n"
      "NOEQUALS\n";
  std::string value;
  ASSERT_TRUE(Find(ini, "QUARANTINE", &value));
  EXPECT_EQ(value, "1");  // first match in the section wins
  ASSERT_TRUE(Find(ini, "TEMPPATH", &value));
  EXPECT_EQ(value, "  C:\\Temp  ");  // one pair of quotes dropped, inner blanks kept
  ASSERT_TRUE(Find(ini, "SPAMASSASSINEXE", &value));
  EXPECT_EQ(value, "C:\\SA\\sa.exe");
  ASSERT_TRUE(Find(ini, "KEEPORIGINAL", &value));
  EXPECT_EQ(value, "\"1");  // unmatched quote stays
  ASSERT_TRUE(Find(ini, "MAXMESSAGESIZE", &value));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(Find(ini, "QUARANTINEPATH", &value));
  EXPECT_FALSE(Find("QUARANTINE=1\n", "QUARANTINE", &value));  // no section
}

TEST(ProcessStart, SplitsArgumentsByTheWindowsRules) {
  EXPECT_EQ(SplitWindowsArguments(" /c \"C:\\Temp\\AB.BAT\""),
            (std::vector<std::string>{"/c", "C:\\Temp\\AB.BAT"}));
  EXPECT_EQ(SplitWindowsArguments("a\\\\\"b c\" d\\\"e \\\\x"),
            (std::vector<std::string>{"a\\b c", "d\"e", "\\\\x"}));
  EXPECT_EQ(SplitWindowsArguments("\"\" x"), (std::vector<std::string>{"", "x"}));
}

TEST(ProcessStart, FindsTheShortestPrefixThatNamesAProgram) {
  auto is_program = [](const std::string& p) { return p == "/opt/my tools/cmd" || p == "/bin/x"; };
  std::string program, rest;
  ASSERT_TRUE(FindProgram("/opt/my tools/cmd /c \"B.BAT\"", is_program, &program, &rest));
  EXPECT_EQ(program, "/opt/my tools/cmd");
  EXPECT_EQ(rest, " /c \"B.BAT\"");
  ASSERT_TRUE(FindProgram("\"/bin/x\" y", is_program, &program, &rest));
  EXPECT_EQ(program, "/bin/x");
  EXPECT_EQ(rest, " y");
  EXPECT_FALSE(FindProgram(" /c \"B.BAT\"", is_program, &program, &rest));
  EXPECT_FALSE(FindProgram("/opt/my", is_program, &program, &rest));
}

}  // namespace
}  // namespace saplugin
