// The platform layer against real files, the same contract on every platform
// (the Windows build's runs under Wine). On POSIX also: the text rules by
// tables (numbers, zero padding, profile reader, registry file, batch line,
// Windows argument rules), the interpreter's statuses, the GUIDs, and the core
// on the real platform where a wrapper makes the faults that nothing real can.

#include <gtest/gtest.h>

#include <regex>

#include <algorithm>
#include <array>

#ifndef _WIN32
#include <iconv.h>
#endif

#include "config/folder_rules.h"
#include "config/load_options.h"
#include "config/spamd_hosts.h"
#include "files.h"
#include "platform/event_text.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "run/replace_message.h"
#include "store/host_health.h"

#ifndef _WIN32

#include "e2e/e2e.h"
#include "platform/forwarding_platform.h"
#include "quarantine/release.h"
#include "report/report_command.h"
#include "report/report_data.h"
#include "report/report_html.h"
#include "report/scan_log_reader.h"
#include "platform/posix/posix_file_system.h"
#include "run/main.h"
#include "config/conversions.h"
#include "config/spamd_hosts.h"
#include "helpers/make_run_name.h"
#include "platform/posix/process_start.h"
#include "store/header_fields.h"
#include "run/read_registry_value.h"
#include "run/spamd_scan.h"
#include "store/run_plan.h"
#include "store/scan_log.h"
#endif

namespace saplugin {
namespace {

char kArgv0[] = "unit_tests";
char* kArgv[] = {kArgv0};

class FileSystemContract : public ::testing::Test {
 protected:
  // A path in the folder with "\" separators, as the core writes paths.
  std::string P(std::string name) const { return folder.path + "\\" + name; }

  TempFolder folder;
  std::unique_ptr<Platform> platform = CreatePlatform(1, kArgv);
  std::unique_ptr<FileSystem> fs = platform->CreateFileSystem();
};

TEST_F(FileSystemContract, TextFilesAreAppendedAndReadByLinesAcrossBlocks) {
  for (const char* line : {"one", "two"}) fs->OpenTextFileForAppending(P("a.BAT"))->WriteLine(line);
  EXPECT_EQ(ReadFile(folder / "a.BAT"), "one\r\ntwo\r\n");
  EXPECT_EQ(fs->CreateNewTextFile(P("a.BAT")), nullptr);
  EXPECT_THROW(fs->CreateNewTextFile(P("none\\b.BAT")), Error);
  EXPECT_EQ(fs->FileSize(P("a.BAT")) + fs->FolderExists(P("a.BAT")) + fs->FileExists(P("none")) + fs->FolderExists(""), 10);
  // Cut lines, LF or CR LF, and a last block of one byte.
  WriteFile(folder / "out", "abc\r\nX: y\n\r\n" + std::string(65537 - 15, 'c') + "\r\nd");
  auto reader = fs->OpenTextFileForReading(P("out"));
  for (const char* line : {"abc", "X: y", "", "cccccccccc", "d"}) {
    ASSERT_FALSE(reader->AtEndOfStream());
    EXPECT_EQ(reader->ReadLine(std::string(line) == "abc" ? 4 : 10), line);
  }
  EXPECT_TRUE(reader->AtEndOfStream());
  EXPECT_THROW(reader->ReadLine(10), Error);
  EXPECT_THROW(fs->OpenTextFileForReading(P("none")), Error);
}

// A tagged copy of spam gets the flag on top of its header section, as it streams: after an mbox line longer
// than a block, with the first line's break, the rest byte for byte; the message takes the copy's place.
TEST_F(FileSystemContract, ATaggedCopyOfSpamSaysSoOnTopOfItsHeader) {
  const std::string long_from = "From " + std::string(70000, 'f') + "\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {"A: 1\r\n\r\nbody\n", "X-Spam-Flag: YES\r\nA: 1\r\n\r\nbody\n"},
      {"From x\nA: 1\n\nb", "From x\nX-Spam-Flag: YES\nA: 1\n\nb"},
      {long_from + "A: 1\r\n", long_from + "X-Spam-Flag: YES\r\nA: 1\r\n"},
      {"A: " + std::string(70000, 'a'), "X-Spam-Flag: YES\r\nA: " + std::string(70000, 'a')}};
  for (const auto& [output, tagged] : cases) {
    WriteFile(folder / "out.MAI", output);
    WriteFile(folder / "N.MAI", "as received");
    EXPECT_FALSE(ReplaceMessage(*fs, P("out.MAI"), P("N.MAI"), "RUN", true));
    EXPECT_EQ(ReadFile(folder / "N.MAI"), tagged);
    EXPECT_FALSE(fs->FileExists(P("N.MAI.RUN.tmp")));
  }
}

TEST_F(FileSystemContract, ReadOnlyFilesAreNeitherChangedNorDeleted) {
  WriteFile(folder / "ro", "kept");
  WriteFile(folder / "new", "new");
  SetReadOnly(folder / "ro");
  EXPECT_THROW(fs->DeleteFile(P("ro")), Error);
  EXPECT_THROW(fs->CopyFile(P("new"), P("ro")), Error);
  EXPECT_THROW(fs->MoveOver(P("new"), P("ro")), Error);
#ifndef _WIN32
  // Windows refuses this itself; Wine, run as root, does not.
  EXPECT_THROW(fs->OpenTextFileForAppending(P("ro")), Error);
#endif
  EXPECT_THROW(fs->CopyFile(P("new"), P("new")), Error);
  EXPECT_EQ(ReadFile(folder / "ro") + "|" + ReadFile(folder / "new"), "kept|new");
  fs->CopyFile(P("ro"), P("copy"));  // a copy keeps the read-only attribute, as a Windows copy does
  EXPECT_THROW(fs->DeleteFile(P("copy")), Error);
  try {
    fs->CopyFile(P("none"), P("x"));
    ADD_FAILURE();
  } catch (const Error& error) {
    EXPECT_TRUE(error.Number() != 0 && error.Description().find(P("none")) != std::string::npos) << error.Description();
  }
}

TEST_F(FileSystemContract, OneOfTwoMovesIfAbsentWinsAndAppendsNeedAFile) {
  WriteFile(folder / "a", "first");
  WriteFile(folder / "c", "second");
  EXPECT_TRUE(fs->MoveIfAbsent(P("a"), P("b")));
  EXPECT_FALSE(fs->MoveIfAbsent(P("c"), P("b")));
  EXPECT_FALSE(fs->AppendToExistingFile(P("none"), "x"));
  EXPECT_TRUE(fs->AppendToExistingFile(P("b"), " line\r\n"));
  EXPECT_EQ(FilesIn(folder.path), (std::set<std::string>{"b", "c"}));
  EXPECT_EQ(ReadFile(folder / "b") + "|" + ReadFile(folder / "c"), "first line\r\n|second");
  EXPECT_THROW(fs->MoveIfAbsent(P("none"), P("d")), Error);
#ifndef _WIN32
  // Across volumes a move onto a name that is not there answers false too.
  TempFolder elsewhere("/dev/shm");
  EXPECT_FALSE(fs->MoveOver(P("c"), elsewhere.path + "\\c"));
#endif
}

// One folder spelt in other ways leads to one final path; a file or nothing to none.
TEST_F(FileSystemContract, EachSpellingOfAFolderHasOneFinalPath) {
  std::filesystem::create_directories(folder / "Quarantine/Messages");
  const std::string final_path = fs->FinalPath(P("Quarantine"));
  EXPECT_TRUE(IsFullPath(final_path) && final_path.back() != '\\' && final_path.back() != '/') << final_path;
  for (const std::string& spelling : {P("Quarantine\\"), P("Quarantine\\.\\Messages\\..\\"), P("Quarantine\\Messages\\..")}) {
    EXPECT_EQ(fs->FinalPath(spelling), final_path) << spelling;
  }
  EXPECT_TRUE(SameOrInside(fs->FinalPath(P("Quarantine\\Messages")), final_path));
#ifdef _WIN32
  EXPECT_EQ(fs->FinalPath(P("QUARANTINE")), final_path);  // Windows names match in any case
#else
  std::filesystem::create_directory_symlink(folder / "Quarantine", folder / "link");
  EXPECT_EQ(fs->FinalPath(P("link")), final_path);
#endif
  // What a folder is: one for every name, another for another folder.
  EXPECT_EQ(fs->FolderIdentity(P("Quarantine\\Messages\\..")), fs->FolderIdentity(P("Quarantine")));
  EXPECT_NE(fs->FolderIdentity(P("Quarantine\\Messages")), fs->FolderIdentity(P("Quarantine")));
  WriteFile(folder / "file", "x");
  for (const char* name : {"file", "none"}) {
    EXPECT_THROW(fs->FinalPath(P(name)), Error) << name;
    EXPECT_THROW(fs->FolderIdentity(P(name)), Error) << name;
  }
}

// SPAMDHOSTS through the platform's own profile reader: a list longer than the
// 254 characters of the other keys is read whole, never cut into a different
// host or port; one over the longest taken is refused.
TEST_F(FileSystemContract, SpamdHostsIsReadWholeOrRefused) {
  std::string hosts;
  for (int i = 1; hosts.size() < 1000; ++i) hosts += (hosts.empty() ? "" : ",") + std::string("10.0.0.") + std::to_string(i % 250) + ":7830";
  const std::string file = P("spamassassinconfig.ini");
  WriteFile(folder / "spamassassinconfig.ini", "[SPAMASSASSIN Plugin Config]\r\nSPAMDHOSTS= " + hosts + " \r\nOTHER=" +
                                                    std::string(kLongestWholeSetting + 1, 'x') + "\r\nLONGEST=" +
                                                    std::string(kLongestWholeSetting, 'y') + "\r\n");
  EXPECT_EQ(ReadWholeSetting(*platform, file, "SPAMDHOSTS"), hosts);
  EXPECT_EQ(ReadWholeSetting(*platform, file, "MISSING"), "");
  EXPECT_THROW(ReadWholeSetting(*platform, file, "OTHER"), Error);
  EXPECT_EQ(ReadWholeSetting(*platform, file, "LONGEST").size(), kLongestWholeSetting);  // the longest taken, whole
  PluginOptions options;
  ASSERT_TRUE(LoadOptionsFrom(*platform, file, options));
  EXPECT_EQ(options.SpamdHosts.size(), static_cast<std::size_t>(std::count(hosts.begin(), hosts.end(), ',') + 1));
  EXPECT_EQ(SpamdHostName(options.SpamdHosts.back()), hosts.substr(hosts.rfind(',') + 1));
}

// The spamd hosts' records as the runs read them: one that is malformed, old,
// from the future or larger than a few kilobytes (a huge file without a line
// break is not read through) is no knowledge. Of the runs that find a failure
// past SPAMDRETRYAFTER, the first claims the retry; one that finds the lock
// held, or the record renewed, does not.
TEST_F(FileSystemContract, HostRecordsAreReadWithinABoundAndOneRunClaimsTheRetry) {
  const SpamdHost host{"h", 783};
  const std::int64_t now = 1700000000;
  const auto at = [&](std::int64_t seconds) { return std::to_string(now + seconds); };
  const struct {
    std::string record, text;
    bool huge;  // 2 GB more, with no line break
    std::string reads;
  } cases[] = {
      {".down", "failed=" + at(-5) + "\r\nwhat=refused\r\n", false, "-5 refused"},
      {".down", "failed=soon\r\n", false, "none"},
      {".down", "failed=" + at(100000) + "\r\n", false, "none"},
      {".down", "failed=" + at(-5) + "\r\nwhat=" + std::string(4072, 'x'), false, "-5 " + std::string(4072, 'x')},  // 4 KB, the most read
      {".down", "failed=" + at(-5) + "\r\nwhat=x", true, "none"},
      {".time", "measured=" + at(-5) + "\r\nmilliseconds=5000\r\n", false, "-5 5000"},
      {".time", "measured=" + at(-5) + "\r\nmilliseconds=-99999\r\n", false, "none"},
      {".time", "measured=" + at(-5) + "\r\nmilliseconds=99999999999999999999\r\n", false, "none"},
      {".time", "measured=" + at(-100000) + "\r\nmilliseconds=99999\r\n", false, "none"},
      {".time", "measured=" + at(100000) + "\r\nmilliseconds=99999\r\n", false, "none"}};
  const std::string stem = folder / "spamd-h-783", records = folder.path + "\\";
  for (const auto& row : cases) {
    WriteFile(stem + row.record, row.text);
    if (row.huge) std::filesystem::resize_file(stem + row.record, std::uintmax_t{2} << 30);
    std::string reads = "none";
    if (row.record == ".down") {
      if (const auto failure = ReadHostFailure(*fs, records, host, now)) reads = std::to_string(failure->failed - now) + " " + failure->what;
    } else if (const auto time = ReadHostAnswerTime(*fs, records, host, now)) {
      reads = std::to_string(time->measured - now) + " " + std::to_string(time->milliseconds);
    }
    EXPECT_EQ(reads, row.reads) << row.text;
    std::filesystem::remove(stem + row.record);
  }
  WriteFile(stem + ".down", "failed=" + at(-100) + "\r\nwhat=stalled\r\n");
  auto held = fs->TryLock(stem + ".retry");  // another run's
  EXPECT_FALSE(ClaimHostRetry(*fs, records, host, now, 30, "-a.new"));
  held.reset();
  std::filesystem::create_directory(stem + ".retry");  // where no lock's file can be made
  EXPECT_FALSE(ClaimHostRetry(*fs, records, host, now, 30, "-a.new"));
  std::filesystem::remove(stem + ".retry");
  EXPECT_TRUE(ClaimHostRetry(*fs, records, host, now, 30, "-a.new"));
  EXPECT_FALSE(ClaimHostRetry(*fs, records, host, now, 30, "-b.new"));
  EXPECT_EQ(ReadFile(stem + ".down"), "failed=" + at(0) + "\r\nwhat=stalled\r\n");
  EXPECT_EQ(FilesIn(folder.path), std::set<std::string>{"spamd-h-783.down"});
}

// An event-log text over the 31,839 UTF-16 units that ReportEvent takes is cut
// with its note, never inside a character: é is one unit in two UTF-8 bytes,
// U+1F600 two units (a surrogate pair, or four UTF-8 bytes).
TEST(EventText, TextOverWhatTheEventLogTakesIsCutBetweenCharacters) {
  const auto note = [](std::size_t length) { return " ... (cut: " + std::to_string(length) + " characters in all)"; };
  const auto times = [](auto unit, int count) {
    decltype(unit) text;
    while (count-- > 0) text += unit;
    return text;
  };
  EXPECT_EQ(CutEventText(times(std::string("a"), 31839)), times(std::string("a"), 31839));
  EXPECT_EQ(CutEventText(times(std::string("a"), 31840)), times(std::string("a"), 31839 - 35) + note(31840));
  EXPECT_EQ(CutEventText("a" + times(std::string("\xC3\xA9"), 31839)), "a" + times(std::string("\xC3\xA9"), 31803) + note(31840));
  EXPECT_EQ(CutEventText("a" + times(std::string("\xF0\x9F\x98\x80"), 16000)), "a" + times(std::string("\xF0\x9F\x98\x80"), 15901) + note(32001));
  const std::string wide_note = note(32001);
  EXPECT_TRUE(CutEventText(L"a" + times(std::wstring(L"\xD83D\xDE00"), 16000)) ==
              L"a" + times(std::wstring(L"\xD83D\xDE00"), 15901) + std::wstring(wide_note.begin(), wide_note.end()));
}

#ifndef _WIN32

TEST(Guid, EveryBitRandomButTheVersionAndVariantBits) {
  auto platform = CreatePlatform(1, kArgv);
  std::vector<std::array<int, 16>> guids(64);
  for (auto& b : guids) {
    Guid g;
    ASSERT_EQ(platform->CreateGuid(&g), 0);
    b = {int(g.data1 >> 24), int(g.data1 >> 16 & 255), int(g.data1 >> 8 & 255), int(g.data1 & 255), g.data2 >> 8, g.data2 & 255,
         g.data3 >> 8, g.data3 & 255, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]};
  }
  for (int x = 0; x < 16; ++x) {
    int ones = 0, zeros = 0;  // the bits seen set, and seen clear
    for (const auto& b : guids) ones |= b[x], zeros |= ~b[x] & 255;
    EXPECT_EQ(std::pair(ones, zeros), x == 6 ? std::pair(0x4F, 0xBF) : x == 8 ? std::pair(0xBF, 0x7F) : std::pair(0xFF, 0xFF)) << x;
    for (int y = x + 1; y < 16; ++y) {
      EXPECT_TRUE(std::any_of(guids.begin(), guids.end(), [&](const auto& b) { return b[x] != b[y]; })) << x << y;
    }
  }
}

// The real POSIX platform, but with no GUID to be had (or a known one) and the
// move of a copy made beside the message failing.
class FaultyPlatform : public ForwardingPlatform {
 public:
  FaultyPlatform(Platform& real, const Sandbox& box) : ForwardingPlatform(real), bin(box.bin) {
    for (const auto& [name, value] : box.environment) setenv(name.c_str(), value.c_str(), 1);
  }
  std::unique_ptr<FileSystem> CreateFileSystem() override { return std::make_unique<FailingMoves>(); }
  std::string CommandLine() override { return "N.MAI Conn"; }
  std::string ExecutableDirectory() override { return bin; }
  long CreateGuid(Guid* guid) override {
    *guid = Guid{0xABCD, 0xF, 0x8001, {0x00, 0x01, 0x0A, 0x10, 0xAB, 0xFF, 0x7E, 0x09}};
    return guid_status;
  }
  struct FailingMoves : PosixFileSystem {
    bool MoveOver(const std::string& source, const std::string& destination) override {
      if (source.size() > 4 && source.substr(source.size() - 4) == ".tmp") throw Error(5, "test", "no move");
      return PosixFileSystem::MoveOver(source, destination);
    }
  };
  std::string bin;
  long guid_status = 5;
};

TEST(FaultyPlatform, RunsWithoutAGuidShareNoFilesAndAFailedReplacementKeepsTheMessage) {
  Sandbox box;
  box.MoveTempElsewhere();
  box.Configure();
  box.Queue("N.MAI", kSpam);
  WriteFile(box.quarantine + "/00000000.MAI", "quarantined earlier");
  WriteFile(box.temp + "/00000000-1.BAT", "a run in progress");
  const auto real = CreatePlatform(1, kArgv);
  FaultyPlatform platform(*real, box);
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_EQ(ReadFile(box.quarantine + "/00000000.MAI") + ReadFile(box.temp + "/00000000-1.BAT"), "quarantined earlier" "a run in progress");
  EXPECT_EQ(ReadFile(box.quarantine + "/00000000-2.MAI") + ReadFile(box.quarantine + "/Messages/00000000-2.SA"),
            "pickup of N.MAI\r\n" + FilterOutput(kSpam));
  // With an identifier, the run is named by its hexadecimal digits.
  box.Queue("N.MAI", kSpam);
  platform.guid_status = 0;
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_EQ(ReadFile(box.quarantine + "/Messages/0000ABCD000F800100010A10ABFF7E09.MAI"), kSpam);
  // The tagged copy, made beside the message from another volume, cannot be moved over it.
  box.Configure("QUARANTINE=0");
  box.Queue("N.MAI", kHam);
  EXPECT_EQ(Main(platform), kExitTrapped);
  EXPECT_EQ(ReadFile(box.messages + "/N.MAI"), kHam);
  EXPECT_EQ(FilesIn(box.messages), std::set<std::string>{"N.MAI"});
  EXPECT_EQ(box.Events(), std::vector<std::string>{"Could not process pickup event for Connector: no move"});
}

// What an operation gives, or "error N" for the error it throws.
template <typename F>
std::string Result(F operation) {
  try {
    return operation();
  } catch (const Error& error) {
    return "error " + std::to_string(error.Number());
  }
}

const std::string kOverflow = Result([]() -> std::string { throw Error(kErrorOverflow, "", ""); });
const std::string kMismatch = Result([]() -> std::string { throw Error(kErrorTypeMismatch, "", ""); });

TEST(Conversions, AcceptOnlySignedDecimalWholeNumbersInRange) {
  // 16: ToInteger16, 32: ToInteger32, 1: ToSwitch.
  const std::tuple<int, const char*, std::string> cases[] = {
      {16, "32767", "32767"}, {16, "-32768", "-32768"}, {16, "+007", "7"}, {16, "-0", "0"}, {16, "9", "9"}, {16, "-1", "-1"},
      {16, "32768", kOverflow}, {16, "-32769", kOverflow}, {16, "99999999999999999999999", kOverflow}, {16, "", kMismatch},
      {16, "-", kMismatch}, {16, "1.5", kMismatch}, {16, "0x10", kMismatch}, {16, " 1", kMismatch}, {16, "1 ", kMismatch},
      {16, "--1", kMismatch}, {16, "1/", kMismatch}, {32, "2147483647", "2147483647"}, {32, "-2147483648", "-2147483648"},
      {32, "2147483648", kOverflow}, {1, "1", "1"}, {1, "0", "0"}, {1, "yes", kMismatch}, {1, "on", kMismatch}, {1, "01", kMismatch}};
  for (const auto& [bits, text, want] : cases) {
    EXPECT_EQ(Result([&, text = text, bits = bits] {
                return bits == 16 ? std::to_string(ToInteger16(text, "K")) : bits == 1 ? std::to_string(ToSwitch(text, "K"))
                                                                    : std::to_string(ToInteger32(text, "K"));
              }), want) << text;
  }
  const std::tuple<std::int16_t, std::int16_t, std::string> pads[] = {
      {8, 3, "00000"}, {8, 8, ""}, {32767, 0, std::string(32767, '0')}, {2, 3, "error " + std::to_string(kErrorInvalidArgument)},
      {-32768, 32767, kOverflow}, {32767, -1, kOverflow}};
  for (const auto& [width, length, want] : pads) EXPECT_EQ(Result([width = width, length = length] { return PadWithZeros(width, length); }), want);
}

TEST(ProfileReader, ReadsAsTheWindowsProfileCallsDo) {
  TempFolder folder;
  WriteFile(folder / "c.ini", "\xEF\xBB\xBF[ spamassassin plugin config ]\r\n; comment\r\n"
                              "  quarantine  =  1  \r\n;TEMPPATH=C:\\Commented\r\n\r\nTempPath=\"  C:\\Temp  \"\r\n"
                              "SpamAssassinExe='C:\\SA\\sa.exe'\r\nKEEPORIGINAL=\"1\r\nQUARANTINE=2\nMAXMESSAGESIZE=\n"
                              "NOEQUALS\nA=x=y\nL255=" + std::string(255, 'v') + "\nL254=" + std::string(254, 'w') + "\n"
                              "[Other]\r\nQUARANTINE=9\r\n[SPAMASSASSIN Plugin Config]\r\nLATE=1\r\n");
  const std::pair<const char*, std::string> cases[] = {
      {"QUARANTINE", "1"}, {"TEMPPATH", "  C:\\Temp  "}, {"SPAMASSASSINEXE", "C:\\SA\\sa.exe"}, {"KEEPORIGINAL", "\"1"},
      {"MAXMESSAGESIZE", ""}, {"NOEQUALS", "dflt"}, {"a", "x=y"}, {"QUARANTINEPATH", "dflt"}, {"LATE", "dflt"},
      {"L255", std::string(254, 'v')}, {"L254", std::string(254, 'w')}};
  auto platform = CreatePlatform(1, kArgv);
  char buffer[300];
  for (const auto& [key, want] : cases) {
    const auto length = platform->ReadProfileString("SPAMASSASSIN Plugin Config", key, "dflt", buffer, 255,
                                                     folder.path + "\\c.ini");
    EXPECT_EQ(std::string(buffer, length) + "|" + buffer, want + "|" + want) << key;
  }
  EXPECT_EQ(platform->ReadProfileString("Other", "QUARANTINE", "", buffer, 255, folder.path + "\\none.ini"), 0u);
  EXPECT_EQ(platform->ReadProfileString("Other", "X", "long default", buffer, 12, folder.path + "\\none.ini"), 11u);
  WriteFile(folder / "late.ini", "A=1\r\n[S]\r\nb=2\r\n");  // a key line before any section is passed over
  EXPECT_EQ(platform->ReadProfileString("S", "b", "", buffer, 255, folder.path + "\\late.ini"), 1u);
}

TEST(RegistryFile, ReadsTheDataDirectoryAsTheRunDoes) {
  const std::string no_export = "error " + std::to_string(EINVAL), v5 = "Windows Registry Editor Version 5.00\r\n\r\n";
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\Tarkwell]\r\n", value = "\"Data Directory\"=";
  const std::string d5 = v5 + key + value, d4 = "REGEDIT4\n" + key + value, gone = "\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell]\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {d5 + "\"C:\\\\Data \\\"X\\\"\"\r\n", "C:\\Data \"X\""}, {"REGEDIT4\n[hkey_local_machine\\software\\tarkwell\\TARKWELL]\n\"data directory\"=\"x\"", "x"},
      {"\xEF\xBB\xBF" + d5 + "\"bom\"", "bom"}, {d5 + "dword:12345678", "305419896"}, {d5 + "dword:ffffffd6", "-42"}, {d5 + "dword:", ""},
      {d5 + "dword:123456789", ""}, {d4 + "hex(2):43,3a,5c,00", "C:\\"}, {d4 + "hex(1):43,3a", "C:"}, {d4 + "hex(000000001):43,00", ""},
      {d4 + "hex:41,42,\\\r\n  43,00", "ABC"}, {d4 + "hex(1):43,3a5c", ""}, {d5 + "\"a\"junk", ""}, {v5 + value + "\"early\"\r\n" + key, ""},
      {v5 + key + "[HKEY_LOCAL_MACHINE\\Other\r\n" + value + "\"broken\"", ""}, {d5 + "\"kept\"\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]", "kept"},
      {v5 + key + "\"Bad\"=dword:xyz\r\n" + value + "\"after\"", "after"}, {d5 + "\"x\"\r\n" + value + "-", ""}, {d5 + "\"x\"" + gone, "<no key>"},
      {d5 + "\"x\"" + gone + key, ""}, {v5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n" + value + "\"x\"", "<no key>"}, {"<none>", "<no key>"},
      {key + value + "\"no header\"", no_export}, {std::string("\x00\xff\x01[\n\"", 6), no_export}, {"\xFF\xFE" + v5, no_export},
      {v5 + key + "x" + value.substr(1) + "\"C:\\\\D\"", ""},  // a name without its opening quote
      // As "reg export" writes it: UTF-16LE, whose text data an ANSI query narrows.
      {Utf16(d5 + "\"C:\\\\D\"\r\n"), "C:\\D"}, {Utf16(d5 + "hex(2):43,00,3a,00,e9,00,ac,20,00,00"), "C:\xE9?"}};
  TempFolder folder;
  auto platform = CreatePlatform(1, kArgv);
  for (const auto& [text, want] : cases) {
    WriteFile(folder / "r.reg", text);
    setenv("SAPLUGIN_REGISTRY", (folder / (text == "<none>" ? "none.reg" : "r.reg")).c_str(), 1);
    EXPECT_EQ(Result([&] {
                RegistryKey handle = kNoRegistryKey;
                const bool opened = platform->OpenRegistryKey(kHostRegistryKey, kRegistryAccess, &handle) == kStatusSuccess;
                if (opened != (handle != kNoRegistryKey) || (opened && platform->CloseRegistryKey(handle) != kStatusSuccess)) return std::string("bad key");
                return (opened ? "" : "<no key>") + ReadRegistryValue(*platform, kHostRegistryKey, kDataDirectoryValue);
              }), want) << text;
  }
  unsetenv("SAPLUGIN_REGISTRY");
}

// A line that none of the day's files takes is named whole in the error, with each file's reason.
TEST(ScanLog, ALineNoFileTakesIsNamedWithEachFilesReason) {
  TempFolder folder;
  auto platform = CreatePlatform(1, kArgv);
  for (int n = 1; n <= kScanLogFilesPerDay; ++n) std::filesystem::create_directory(ScanLogFile(folder.path + "/", "2026-12-08", n));
  ScanRecord record;
  record.time = "2026-12-08T10:00:00+01:00";
  record.message = "N.MAI";
  record.outcome = "tagged";
  std::string error = "written";
  try {
    WriteScanLog(*platform, *platform->CreateFileSystem(), folder.path + "/", record);
  } catch (const Error& thrown) {
    error = thrown.Description();
  }
  EXPECT_TRUE(Has(error, ("took the line \"" + FormatScanLogLine(record) + "\": ").c_str())) << error;
  for (int n = 1; n <= kScanLogFilesPerDay; ++n) EXPECT_TRUE(Has(error, (ScanLogFile("/", "2026-12-08", n) + "\"").c_str())) << n << error;
}

TEST(ScanLog, FieldsAreRfc4180Utf8AndTimesCarryTheirOffset) {
  const std::pair<std::string, std::string> fields[] = {
      {"plain", "plain"}, {"a,b", "\"a,b\""}, {"He said \"hi\"", "\"He said \"\"hi\"\"\""}, {" lead", "\" lead\""}, {"", ""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7"}, {"caf\xE9", "caf\xC3\xA9"},
      {"\x80\x81\x9F", "\xE2\x82\xAC\xEF\xBF\xBD\xC5\xB8"}, {"\xC0\xAF", "\xC3\x80\xC2\xAF"}, {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},
      {"\xF4\x90\x80\x80", "\xC3\xB4\xEF\xBF\xBD\xE2\x82\xAC\xE2\x82\xAC"}, {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"\xF0\x8F\xBF\xBF", "\xC3\xB0\xEF\xBF\xBD\xC2\xBF\xC2\xBF"}, {"\xE0\x9F\xBF", "\xC3\xA0\xC5\xB8\xC2\xBF"}, {"a\tb\r\nc\x7F", "\"a b  c \""},
      // C1 controls and direction marks are blanks; their neighbours stay.
      {"a\xC2\x85" "b\xC2\xA0" "c", "a b\xC2\xA0" "c"}, {"x\u202Efdp.exe\u2069\u200F\u061C", "\"x fdp.exe   \""}, {"\u2065\u2070\u202F", "\u2065\u2070\u202F"}};
  for (const auto& [text, want] : fields) EXPECT_EQ(CsvField(text), want) << text;
  // Each byte that starts no UTF-8 reads as Windows-1252, held against the system's converter; U+FFFD for the five
  // bytes that Windows-1252 leaves undefined.
  const iconv_t cp1252 = iconv_open("UTF-8", "CP1252");
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    char in[] = {static_cast<char>(byte), 'x'}, out[8], *from = in, *to = out;
    std::size_t in_left = 2, out_left = sizeof out;
    const bool defined = iconv(cp1252, &from, &in_left, &to, &out_left) != static_cast<std::size_t>(-1);
    EXPECT_EQ(CsvField(std::string(in, 2)), defined ? std::string(out, sizeof out - out_left) : "\xEF\xBF\xBDx") << byte;
  }
  iconv_close(cp1252);
  const std::string line = FormatScanLogLine({"T", "", "", -1, "", "", "", "-0.1", "", "A,B", "", 1.5, "-x", "=HYPERLINK(\"a\"),\xE9", "[::1]:783"});
  EXPECT_EQ(line, "T,,,,,,,-0.1,,\"A,B\",,1.500,'-x,\"'=HYPERLINK(\"\"a\"\"),\xC3\xA9\",[::1]:783");
  EXPECT_EQ(ParseCsvLine(line), (std::vector<std::string>{"T", "", "", "", "", "", "", "-0.1", "", "A,B", "", "1.500", "'-x", "'=HYPERLINK(\"a\"),\xC3\xA9", "[::1]:783"}));
  EXPECT_EQ(ParseCsvLine(kScanLogColumns).size(), kScanLogColumnCount);
  // A filter's seconds: up to nine digits before the point.
  EXPECT_EQ(ReadFilterSeconds("123456789.500"), 123456789.5);
  EXPECT_EQ(ReadFilterSeconds("1234567890.500"), std::nullopt);
  // The formula mark goes by the first character after blanks and control characters; only text from outside gets it.
  const std::pair<std::string, std::string> texts[] = {{"\v=HYPERLINK(\"x\")", "\"' =HYPERLINK(\"\"x\"\")\""}, {"  +1", "'  +1"},
      {"\t\r\n@SUM(A1)", "'   @SUM(A1)"}, {"\x01-2", "' -2"}, {"a=b", "a=b"}, {"  ", "\"  \""}, {"\xA0=1", "\xC2\xA0=1"}};
  for (const auto& [text, want] : texts) EXPECT_EQ(CsvTextField(text), want) << text;
  EXPECT_EQ(CsvField("\v=1"), "\" =1\"");
  // A header value is cut at its limit, never inside a UTF-8 character.
  HeaderFieldCollector cut({"Subject"}, 4);
  cut.Feed("Subject: ab\xE2\x82\xACx");
  EXPECT_EQ(cut.Values().at("Subject"), "ab");
  // A From over the log's limit loses its display name first, so that its address and domain stay whole; an address
  // that does not fit alone is cut, and counted as no domain. A subject is cut at the limit, never inside a character.
  std::string accents;
  for (int i = 0; i < 150; ++i) accents += "\xC3\xA9";
  const std::pair<std::string, const char*> froms[] = {
      {"\"" + std::string(300, 'N') + "\" <ann@A.example>", "a.example"}, {accents + " <b@b.example>", "b.example"}, {"<" + std::string(300, 'a') + "@c.example>", ""}};
  for (const auto& [from, domain] : froms) {
    ScanRecord record;
    record.from = from;
    record.subject = "x" + accents;
    const std::vector<std::string> fields = ParseCsvLine(FormatScanLogLine(record));
    const std::string &from_field = fields[kLogFrom], &subject = fields[kLogSubject];
    EXPECT_EQ(std::to_string(from_field.size() <= kScanLogFieldLimit && subject.size() == kScanLogFieldLimit - 1) + " " +
                  std::to_string(DisplayText(from_field) == from_field && DisplayText(subject) == subject) + " " + SenderDomain(from_field),
              "1 1 " + std::string(domain)) << from;
  }
  // Local times east and west of UTC, and half an hour off.
  for (const auto& [zone, want] : {std::pair{"XYZ-2", "1970-01-01T02:00:00+02:00"}, {"EST5", "1969-12-31T19:00:00-05:00"},
                                   {"IST-5:30", "1970-01-01T05:30:00+05:30"}, {"UTC0", "1970-01-01T00:00:00+00:00"}}) {
    setenv("TZ", zone, 1);
    tzset();
    EXPECT_EQ(ToLocalTime(0).stamp + " " + ToLocalTime(0).date, std::string(want) + " " + std::string(want).substr(0, 10)) << zone;
  }
  unsetenv("TZ");
  tzset();
  // X-Spam-Status, its rules folded over lines as SpamAssassin folds them.
  HeaderFieldCollector collector({"X-Spam-Status", "Subject"}, 60);
  for (const char* header : {"x-spam-status: Yes, score=7.1 required=5.0 tests=A_1,", "\tB_2,C autolearn=no", "Subject: first",
                             "  folded", "Subject: second", "Other: x", " not Subject's", "X-Long: "}) collector.Feed(header);
  EXPECT_EQ(collector.Values(), (std::map<std::string, std::string>{{"X-Spam-Status", "Yes, score=7.1 required=5.0 tests=A_1, B_2,C autolearn=no"},
                                                                    {"Subject", "first folded"}}));
  const SpamStatus status = ParseSpamStatus(collector.Values().at("X-Spam-Status"));
  EXPECT_EQ(status.score + " " + status.required + " " + status.rules, "7.1 5.0 A_1,B_2,C");
  EXPECT_EQ(ParseSpamStatus("No, score=0.0 tests=none").rules + ParseSpamStatus("tests= x").rules + ParseSpamStatus("").score, "none");
}

TEST(SpamdHosts, HostsAndPortsSeparatedByCommasIPv6OnlyInBrackets) {
  const std::pair<const char*, std::string> cases[] = {
      {"a", "a:783"}, {" a , b.example:2 ", "a:783 b.example:2"}, {"10.0.0.1:65535", "10.0.0.1:65535"}, {"[::1]:7830", "[::1]:7830"},
      {"[2001:db8::5]", "[2001:db8::5]:783"}, {"a:1,a:1", "a:1 a:1"}, {"a:00783", "a:783"},
      {"", "entry 1 \"\" is no host or host:port: it is empty"}, {"a,,b", "entry 2 \"\" is no host or host:port: it is empty"},
      {"a,", "entry 2 \"\""}, {"a:", "port is missing"}, {"a:0", "port 0 is outside 1 to 65535"}, {"a:65536", "outside 1 to 65535"},
      {"a:x1", "port \"x1\" is no number"}, {"a:-1", "no number"}, {"a b", "holds a blank"}, {"a:000783", "no number"},
      {"::1", "more than one colon (an IPv6 address stands in brackets"}, {"host:783:", "entry 1 \"host:783:\" is no host or host:port: it holds more than one colon"},
      {"host::783", "more than one colon"}, {"[::1]:x", "no number"}, {"[::1]:", "port is missing"}, {":783", "host is missing"},
      {"[::1", "lacks the closing bracket"}, {"[]:783", "in brackets is no IPv6 address"}, {"[a.example]:783", "no IPv6 address"},
      {"[::1]x", "only \":port\" may follow"}, {"[::1]]:783", "only \":port\" may follow"}, {"a]:1", "a bracket"}};
  for (const auto& [text, want] : cases) {
    std::string names;
    try {
      for (const SpamdHost& host : ParseSpamdHosts(text)) names += (names.empty() ? "" : " ") + SpamdHostName(host);
    } catch (const Error& error) {
      names = error.Description();
      EXPECT_EQ(error.Number(), kErrorTypeMismatch);
      EXPECT_TRUE(Has(names, ("SPAMDHOSTS \"" + std::string(text) + "\": host entry ").c_str())) << names;
    }
    EXPECT_TRUE(want.find(':') < want.find(' ') || want.empty() ? names == want : Has(names, want.c_str())) << text << " -> " << names;
  }
}

// A host out of time: its own SPAMDTIMEOUT is its failure, and so is SCANTIMELIMIT's end when it had at
// least half of the scan's time; the text gives the time it really had.
TEST(SpamdWait, OutOfTimeIsTheHostsFailureUnlessTheHostsBeforeItTookTheScansTime) {
  const std::pair<HostWait, std::string> cases[] = {
      {{"h:783", "answer", false, 30000, 31000, 30, 60}, "+h:783 did not answer within 30 seconds (SPAMDTIMEOUT)"},
      {{"h:783", "answer", true, 5004, 5009, 30, 5}, "+h:783 did not answer within 5.0 seconds, when SCANTIMELIMIT (5 s) ran out"},
      {{"h:783", "take the message", true, 2500, 5000, 30, 5}, "+h:783 did not take the message within 2.5 seconds, when SCANTIMELIMIT (5 s) ran out"},
      {{"h:783", "answer", true, 2999, 8000, 5, 8},
       "-h:783 did not answer within 3.0 seconds, when SCANTIMELIMIT (8 s) ran out (the hosts before it took the rest)"}};
  for (const auto& [wait, want] : cases) {
    const WaitVerdict verdict = JudgeHostWait(wait);
    EXPECT_EQ((verdict.host_failed ? "+" : "-") + verdict.what, want);
  }
}

// A spamd answer's header: the verdict only from a Spam field whose whole word is one.
TEST(SpamdAnswer, LengthVerdictAndNumbersOrTheRefusal) {
  const std::string ok = "SPAMD/1.5 0 EX_OK\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {ok + "Spam: True ; 9.0 / 5.0\r\nContent-length: 12\r\n\r\nX", "12 spam 9.0/5.0"},
      {ok + "spam: no ; -0.5 / 5.0\r\ncontent-length:  0\r\n\r\n", "0 ham -0.5/5.0"},
      {ok + "Spam: YES\r\nContent-length: 007\r\n\r\n", "7 spam /"},
      {ok + "Spam: True\xfd; 7.0 / 5.0\r\nContent-length: 12\r\n\r\n", "12 none 7.0/5.0"},
      {ok + "Spam: True ; 1 / 5\r\nSpam: Nonsense ; 2 / 5\r\nContent-length: 1\r\n\r\n", "1 spam 2/5"},
      {ok + "Spam: Nope ; 1e3 / 5\r\nContent-length: 1\r\n\r\n", "1 none /5"},
      {ok + "Content-length: 1 \r\n\r\n", "announced no Content-length"},
      {ok + "Content-length: 1234567890123456\r\n\r\n", "announced no Content-length"},
      {ok + "Content-length: 1\r\n", "ended its answer within the header"},
      // A refusal of spamd's own is told by its number, without its text being read.
      {"SPAMD/1.5 76 EX_PROTOCOL\r\n\r\n", "20002 h:783 answered \"SPAMD/1.5 76 EX_PROTOCOL\""},
      {"HTTP/1.1 200 OK\r\n\r\n", "5 h:783 gave no answer that spamd gives: \"HTTP/1.1 200 OK\""}};
  for (const auto& [answer, want] : cases) {
    std::string got;
    try {
      const SpamdAnswer parsed = ParseSpamdAnswerHeader(answer, "h:783");
      got = std::to_string(parsed.length) + (parsed.spam ? *parsed.spam ? " spam " : " ham " : " none ") + parsed.score + "/" + parsed.required;
    } catch (const Error& error) {
      got = std::to_string(error.Number()) + " " + error.Description();
    }
    EXPECT_TRUE(got == want || Has(got, ("h:783 " + want).c_str())) << answer << " -> " << got;
  }
}

// A processed message's body against the message's, in bytes: real spamd answers (4.0: ham keeps its body,
// spam is wrapped whole with a report, a message without a body gets one) and line ends changed are the
// message's; a body missing or far shorter is not.
TEST(SpamdAnswer, BodyIsTheMessagesUnlessMissingOrFarShorter) {
  const std::tuple<std::int64_t, std::int64_t, bool> cases[] = {
      {16, 16, true}, {70, 1508, true}, {0, 1406, true}, {0, 0, true}, {92016, 92016, true}, {92016, 80514, true},
      {92016, 80513, false}, {92016, 60000, false}, {16, 0, false}, {1, 0, false}};
  for (const auto& [sent, answer, kept] : cases) EXPECT_EQ(AnswerKeepsTheBody(sent, answer), kept) << sent << " " << answer;
}

TEST(Report, DaysAndPeriodsByTheCalendar) {
  const std::pair<std::pair<const char*, int>, const char*> days[] = {
      {{"2026-12-07", 1}, "2026-12-08"}, {{"2026-12-31", 1}, "2027-01-01"}, {{"2028-02-28", 1}, "2028-02-29"}, {{"2027-02-28", 1}, "2027-03-01"},
      {{"2026-03-01", -1}, "2026-02-28"}, {{"2000-03-01", -1}, "2000-02-29"}, {{"2100-03-01", -1}, "2100-02-28"}, {{"2026-12-07", -29}, "2026-11-08"},
      {{"2027-01-31", 1}, "2027-02-01"},
      {{"2026-02-30", 0}, ""}, {{"2026-13-01", 0}, ""}, {{"2026-1-07", 0}, ""}, {{"2026-12-07x", 0}, ""}, {{"", 0}, ""}};
  for (const auto& [from, want] : days) EXPECT_EQ(AddDays(from.first, from.second), want) << from.first << " " << from.second;
  const ReportPeriod week = MakePeriod("2026-12-01", "2026-12-07"), day = MakePeriod("2026-03-01", "2026-03-01");
  EXPECT_EQ(week.previous_first + " " + week.previous_last + " " + day.previous_first + " " + day.previous_last,
            "2026-11-24 2026-11-30 2026-02-28 2026-02-28");
}

// Each spamd host's messages, filter times and failures, from the host column and the hosts a reason names;
// a log from before the host column still reads.
TEST(Report, EachSpamdHostsMessagesTimesAndFailures) {
  ReportData data(MakePeriod("2026-12-07", "2026-12-07"));
  const char* const lines[] = {
      "2026-12-07T09:00:00+01:00,SMTP,A.MAI,10,clean,tagged,,1.0,5.0,,,0.100,f,s,a:783",
      "2026-12-07T09:01:00+01:00,SMTP,B.MAI,10,spam,quarantined,,9.0,5.0,,B.MAI,0.300,f,s,a:783",
      "2026-12-07T09:02:00+01:00,SMTP,C.MAI,10,clean,tagged,b:783 did not answer within 5 seconds (SPAMDTIMEOUT),1.0,5.0,,,5.200,f,s,[::1]:783",
      "2026-12-07T09:03:00+01:00,SMTP,D.MAI,10,,no-message,b:783 answered \"SPAMD/1.5 76 EX_PROTOCOL\"; Could not connect to [::1]:783: refused,,,,,,f,s,",
      "2026-12-07T09:04:00+01:00,SMTP,E.MAI,10,clean,tagged,,1.0,5.0,,,0.200,f,s",   // before the host column
      "2026-12-07T09:05:00+01:00,SMTP,F.MAI,10,,filter-failed,C:\\Temp\\x:1 is full,,,,,,f,s,",  // a local failure names no host
  };
  for (const char* line : lines) data.Add(ParseCsvLine(line));
  std::string figures;
  for (const auto& [name, host] : data.hosts) {
    figures += name + " " + std::to_string(host.messages) + " " + std::to_string(host.failures) + " " +
               (host.times.Count() ? std::to_string(host.times.Percentile(0.5)).substr(0, 4) : "-") + "; ";
  }
  // [::1]:783's one scan also timed the wait on b:783, which stalled first: no time of its own.
  EXPECT_EQ(figures, "[::1]:783 1 1 -; a:783 2 0 0.10; b:783 0 2 -; ");
  std::ostringstream console;
  WriteReportText(console, data, {}, {});
  EXPECT_TRUE(Has(console.str(), "spamd b:783: 0 messages, median -, 95th -, 2 failures")) << console.str();
  EXPECT_EQ(data.current.messages, 6);
  EXPECT_TRUE(data.skipped.empty());
  const std::pair<const char*, std::vector<std::string>> reasons[] = {
      {"", {}}, {"exit status 1", {}}, {"10.0.0.5:783 cut its answer short", {"10.0.0.5:783"}},
      {"Could not connect to spamd.example:7830: Connection refused; [fe80::1]:783 answered \"x\"", {"spamd.example:7830", "[fe80::1]:783"}},
      {"::1:783 is no host", {}}, {"host:1234567 is no port", {}}, {"a:b:783 two colons", {}}, {"h:65535 refused", {"h:65535"}},
      // What a host said stays inside its quotes: it names no other host.
      {"b:783 answered \"x; 6.6.6.6:783 failed\"; c:783 cut its answer", {"b:783", "c:783"}}};
  for (const auto& [reason, hosts] : reasons) EXPECT_EQ(FailedHosts(reason), hosts) << reason;
}

// The report's counts from log lines, each case a line and what it adds.
TEST(Report, LinesAddUpToTheCountsTheChartsDraw) {
  ReportData data(MakePeriod("2026-12-07", "2026-12-07"));
  const auto add = [&](const std::string& line) { data.Add(ParseCsvLine(line)); };
  add("2026-12-07T09:15:00+01:00,SMTP,A.MAI,10,spam,quarantined,,7.5,5.0,\"BAYES_99,URIBL\",A,2.500,f,s");
  add("2026-12-07T09:16:00+01:00,SMTP,B.MAI,10,clean,tagged,,4.0,5.0,BAYES_99,,0.100,f,s");     // a near miss, just
  add("2026-12-07T10:00:00+01:00,POP,C.MAI,10,clean,tagged,,3.9,5.0,none,,0.200,f,s");           // not one
  add("2026-12-07T10:00:00+01:00,POP,D.MAI,10,clean,kept,,-50,5.0,,,0.300,f,s");                 // below the scores' range
  add("2026-12-07T10:01:00+01:00,POP,E.MAI,10,spam,deleted,,999,5.0,,,0.400,f,s");               // above it
  add("2026-12-07T11:00:00+01:00,POP,F.MAI,10,,filter-failed,exit status 28,,,,,,f,s");
  add("2026-12-07T12:00:00+01:00,POP,G.MAI,10,,filter-failed,exit status 1,,,,,,f,s");
  add("2026-12-07T13:00:00+01:00,POP,H.MAI,10,,trap,Could not delete x,,,,,,f,s");
  add("2026-12-06T13:00:00+01:00,POP,I.MAI,10,spam,quarantined,,9,5.0,,,1,f,s");                 // the day before
  add("2026-12-01T13:00:00+01:00,POP,J.MAI,10,spam,quarantined,,9,5.0,,,1,f,s");                 // outside both periods
  add("2026-12-07 13:00,POP,K.MAI,10,spam,quarantined,,9,5.0,,,1,f,s");
  add("a line cut short");
  add("2026-1<-<bT10:00:00+01:00,POP,Z.MAI,10,clean,tagged,,1.0,5.0,,,0.100,f,s");  // no time, though its separators stand
  add("2026-12-07T14:00:00+01:00,POP,R.MAI,10,,released,released from the quarantine by root,7.5,5.0,,R.MAI,,f,s");  // a release, no message
  add("2026-12-07T14:01:00+01:00,POP,R.MAI,10,,released,,,,,,,f,s");             // its run: a message
  // A recipient's requests: a release, and one that released nothing; neither is a message.
  add("2026-12-07T14:01:30+01:00,SMTP,Y.MAI,90,,release-request,released 0123456789ABCDEF0123456789ABCDEF for jane@example.com,,,,,,f,s");
  add("2026-12-07T14:01:40+01:00,SMTP,Z.MAI,90,,release-request,refused: forged token,,,,,,f,s");
  add("2026-12-07T14:02:00+01:00,POP,M.MAI,,,missing,,,,,,,,");                   // no message
  add("2026-12-07T14:03:00+01:00,POP,N.MAI,10,clean,tagged,,5.0,5.0,,,0.050,f,s");  // at the required score: a near miss
  add("2026-12-07T14:04:00+01:00,POP,T.MAI,10,,time-limit,,,,,,9.000,f,s");        // among the slowest, no filter time
  add("2026-12-07T15:00:00+01:00,POP,P.MAI,10,,trap,Could not delete C:\\Temp\\0123456789ABCDEF0123456789ABCDEF.BAT: the file is read-only,,,,,,f,s");
  add("2026-12-07T15:01:00+01:00,POP,Q.MAI,10,,trap,Could not delete C:\\Temp\\FEDCBA9876543210FEDCBA9876543210.BAT: the file is read-only,,,,,,f,s");
  add("2026-12-07T15:02:00+01:00,POP,S.MAI,10,,no-message,127.0.0.1:783 refused the connection (S.MAI),,,,,,f,s");
  add("2026-12-07T15:03:00+01:00,POP,U.MAI,10,,no-message,10.0.0.2:783 refused the connection (U.MAI),,,,,,f,s");
  // A message is a run that found its message; a release counts once, as a release; the spam share is of the verdicts.
  EXPECT_EQ(std::to_string(data.current.messages) + " " + std::to_string(data.current.spam) + " " + std::to_string(data.current.Verdicts()) + " " +
                std::to_string(data.current.releases) + " " + std::to_string(data.previous.messages) + " " +
                std::to_string(data.current.recipient_releases) + " " + std::to_string(data.current.refused_requests),
            "15 2 6 1 1 1 1");
  EXPECT_EQ(data.current.Outcome("filter-failed") * 100 + data.current.Outcome("quarantined") * 10 + data.current.Outcome("missing"), 211);
  // J.MAI, six days before, is outside both periods but in the trend's seventh.
  EXPECT_EQ(data.out_of_range * 100 + data.lines, 24);
  EXPECT_EQ(std::to_string(data.trend[0].messages) + " " + std::to_string(data.trend[1].messages) + " " + std::to_string(data.trend[6].messages) +
                " " + std::to_string(data.trend[7].lines),
            "15 1 1 0");
  // One cause, whatever names or counts its occurrences carry.
  const std::pair<const char*, const char*> causes_of[] = {
      {"10.0.0.1:783 cut its answer short after 1234 of 5678 bytes", "\u2026 cut its answer short after \u2026 of \u2026 bytes"},
      {"Could not connect (10.9.9.9) error 10061", "Could not connect (\u2026) error 10061"},
      {"Could not write saplugin-0123456789ABCDEF0123456789ABCDEF.tmp", "Could not write \u2026"},
      {"SpamAssassin failed with exit status 28", "SpamAssassin failed with exit status 28"},
      // One cause whatever the order the hosts were tried in.
      {"b:783 did not answer within 5 seconds (SPAMDTIMEOUT); a:783 refused", "\u2026 did not answer within 5 seconds (SPAMDTIMEOUT); \u2026 refused"},
      {"a:783 refused; b:783 did not answer within 5 seconds (SPAMDTIMEOUT)", "\u2026 did not answer within 5 seconds (SPAMDTIMEOUT); \u2026 refused"}};
  for (const auto& [reason, cause] : causes_of) EXPECT_EQ(FailureCause(reason, "A.MAI"), cause) << reason;
  // Likely false positives offered for release: those the quarantine holds now, none when it is not read.
  const std::set<std::string> held = {"0123456789ABCDEF0123456789ABCDEF"};
  for (const bool read : {true, false}) {
    ReportData near(MakePeriod("2026-12-07", "2026-12-07"));
    if (read) near.quarantine_holds = &held;
    for (const char* id : {"0123456789ABCDEF0123456789ABCDEF", "FEDCBA9876543210FEDCBA9876543210"}) {
      near.Add(ParseCsvLine("2026-12-07T09:00:00+01:00,SMTP,A.MAI,10,spam,quarantined,,5.5,5.0,," + std::string(id) + ".MAI,1,f,s"));
    }
    EXPECT_EQ(near.near_spam_quarantined.size() == 1 && near.near_spam_quarantined[0].id == *held.begin(), read) << read;
    EXPECT_TRUE(read || near.near_spam_quarantined.empty());
  }
  // A domain that comes late but most still tops the list, past the bound of what is kept.
  TopCounts domains(50);
  for (int i = 0; i < 200; ++i) domains.Add("one" + std::to_string(i) + ".example");
  for (int i = 0; i < 80; ++i) domains.Add("big.example");
  EXPECT_EQ(domains.Top(1).front().first, "big.example");
  const std::pair<std::string, const char*> senders[] = {{"Ann <ann@Example.COM>", "example.com"}, {"bob@b.example", "b.example"},
                                                         {"\"a@b\" <c@d.example>", "d.example"}, {"no address", ""},
                                                         // An address that the log's limit cut is no domain.
                                                         {"Ann <ann@exam", ""}, {std::string(188, 'a') + "@cut.example", ""}};
  for (const auto& [from, domain] : senders) EXPECT_EQ(SenderDomain(from), domain) << from;
  EXPECT_EQ(data.skipped, (std::map<std::string, long>{{"a line without a time", 2}, {"a line without the log's 14 or 15 fields", 1}}));
  EXPECT_EQ(data.near_misses, 2);
  EXPECT_EQ(data.RequiredScore(), "5.0");
  EXPECT_EQ(data.spam_rules, (std::map<std::string, long>{{"BAYES_99", 1}, {"URIBL", 1}}));
  EXPECT_EQ(data.clean_rules, (std::map<std::string, long>{{"BAYES_99", 1}}));
  EXPECT_EQ(data.clean_scores.size(), 42u);
  EXPECT_EQ(data.clean_scores.front() * 100 + data.clean_scores[15] * 10 + data.clean_scores[14], 111);  // -50; 4.0; 3.9
  EXPECT_EQ(data.spam_scores.back() * 10 + data.spam_scores[18], 11);                                      // 999; 7.5
  EXPECT_EQ(data.buckets.at("09+01:00")[2] * 100 + data.buckets.at("09+01:00")[0] * 10 + data.buckets.at("10+01:00")[1], 111);
  // Failures by cause: what names one occurrence taken out, the numbers that tell causes apart kept, the newest text whole.
  std::map<std::string, long> causes;
  for (const auto& [cause, kind] : data.failures) causes[cause] = kind.count;
  EXPECT_EQ(causes, (std::map<std::string, long>{{"filter-failed: exit status 1", 1},
                                                 {"filter-failed: exit status 28", 1},
                                                 {"no-message: \u2026 refused the connection (\u2026)", 2},
                                                 {"time-limit: the filter did not finish within SCANTIMELIMIT", 1},
                                                 {"trap: Could not delete \u2026: the file is read-only", 2},
                                                 {"trap: Could not delete x", 1}}));
  EXPECT_EQ(data.failures.at("trap: Could not delete \u2026: the file is read-only").example,
            "Could not delete C:\\Temp\\FEDCBA9876543210FEDCBA9876543210.BAT: the file is read-only");
  const ConnectorCounts& pop = data.connectors.at("POP");
  EXPECT_EQ(std::to_string(pop.messages) + " " + std::to_string(pop.spam) + " " + std::to_string(pop.verdicts) + " " + std::to_string(pop.failures),
            "13 1 4 8");
  EXPECT_EQ(data.slowest.front().message + " " + data.slowest.front().outcome + " " + data.slowest.back().message, "T.MAI time-limit N.MAI");
  // Percentiles of the filter times of the scans that ended normally: 0.05, 0.1, 0.2, 0.3, 0.4 and 2.5 s,
  // within 1 % of the exact value, and never above the slowest.
  const TimeHistogram& times = data.filter_times.at("2026-12-07");
  EXPECT_EQ(times.Count(), 6);
  EXPECT_NEAR(times.Percentile(0.5), 0.2, 0.002);
  EXPECT_GE(times.Percentile(0.5), 0.2);
  EXPECT_NEAR(times.Percentile(0.8), 0.4, 0.004);
  EXPECT_EQ(times.Percentile(0.99), 2.5);
}

// The reader takes a line only when it is whole: its fields and its line end, RFC 4180's quoted line ends
// included; a cut one is skipped, and the next run's line appended to it still counts.
TEST(Report, ALogLineCountsOnlyWhenWhole) {
  const auto line = [](const char* name, const std::string& subject, const char* seconds) {
    return std::string("2026-12-07T10:00:00+01:00,SMTP,") + name + ",10,clean,tagged,,1.0,5.0,,," + seconds + ",f," + subject + ",h:783";
  };
  const std::string b = line("B", "s", "0.002"), c = line("C", "s", "0.001"), cut_in_quotes = line("A", "\"Subj, cut", "0.003");
  const std::pair<std::string, const char*> files[] = {
      {line("A", "s", "0.003") + "\r\n" + b, "A | 1@3"},                                        // the file's end, without a line end
      {line("A", "s", "0.003").substr(0, 40) + b + "\r\n" + c + "\r\n", "B C | 1@2"},          // a cut line, the next run's appended
      {cut_in_quotes.substr(0, cut_in_quotes.size() - 6) + b + "\r\n" + c + "\r\n", "B C | 1@2"},  // cut in a quoted field
      {cut_in_quotes.substr(0, cut_in_quotes.size() - 6) + "\r\n" + b + "\r\n", "B | 1@2"},
      {line("A", "\"two\r\nlines\"", "0.003") + "\r\n" + b + "\r\n", "A B |"}};           // saved by a spreadsheet
  auto platform = CreatePlatform(1, kArgv);
  for (const auto& [text, want] : files) {
    TempFolder folder;
    WriteFile(folder.path + "/saplugin-2026-12-07.csv", "\xEF\xBB\xBF" + std::string(kScanLogColumns) + "\r\n" + text);
    ReportData data(MakePeriod("2026-12-07", "2026-12-07"));
    ReadScanLogs(*platform->CreateFileSystem(), folder.path + "/", data);
    std::string got;
    for (const SlowMessage& slow : data.slowest) got += slow.message + " ";
    got += "|";
    for (const auto& [reason, n] : data.skipped) got += " " + std::to_string(n) + "@" + data.skipped_where[reason].substr(data.skipped_where[reason].rfind(' ') + 1);
    EXPECT_EQ(got, want) << text;
  }
}

// The page's words and marks for what its figures stand on: each a part it must hold.
TEST(Report, ThePageSaysWhatItsFiguresStandOn) {
  ReportData data(MakePeriod("2026-12-01", "2026-12-07"));
  for (std::string day = "2026-11-24"; day <= "2026-11-30"; day = AddDays(day, 1)) data.days_without_logs.insert(day);
  data.days_without_logs.insert("2026-12-03");
  // A trap after a whole scan has a filter time, a filter that failed none; the lines' required scores differ.
  for (const std::string& line : {"2026-12-01T10:00:00+01:00,SMTP,A.MAI,10,spam,trap,Could not delete x,7.0,5.0,,,0.500,f," + std::string(300, 'W') + ",",
                                 std::string("2026-12-01T10:01:00+01:00,SMTP,B.MAI,10,spam,kept,exit status 1,7.0,6.0,,,9.000,f,s,"),
                                 std::string("2026-12-05T10:00:00+01:00,SMTP,C.MAI,10,clean,tagged,,1.0,5.0,,,0.100,f,s,")}) {
    data.Add(ParseCsvLine(line));
  }
  EXPECT_EQ(data.filter_times.at("2026-12-01").Percentile(0.99), 0.5);
  QuarantineSummary quarantine;
  quarantine.left_out = true;
  std::ostringstream page;
  WriteReportHtml(page, data, quarantine, {});
  const std::string html = page.str();
  for (const char* part : {"Compared with the previous period, 2026-11-24 to 2026-11-30.", "The quarantine is left out (--no-quarantine).",
                           "required score (the lines differ; most say 5.0)", "the quarantine is not read, so none is offered",
                           "The previous period has no scan log", "<title>2026-12-03: no scan log</title>", ">30+</text>", ">100 %</text>",
                           // The spread of scores: each bin named by its range, the axis by every fifth score.
                           "<title>7 to 8: 2 spam</title>", "<title>1 to 2: 1 clean</title>", ">-5</text>", ">25</text>", "<tr><td>Deleted</td>",
                           // An axis names its values with the decimals they need.
                           ">0.375 s</text>", ">0.5 s</text>",
                           // The bin of the scores below the range is named under the middle of its slot.
                           "<text x=\"66.4\" y=\"254.0\" font-size=\"11\" text-anchor=\"middle\" fill=\"#555\">&lt; -10</text>",
                           "td{border-bottom:1px solid #eee;padding:3px 10px;text-align:left;vertical-align:top;overflow-wrap:anywhere}"}) {
    EXPECT_TRUE(Has(html, part)) << part;
  }
  // Every mark of every chart stands within the chart's frame.
  const std::regex chart("<svg class=\"chart\" id=\"([a-z-]+)\" viewBox=\"0 0 ([0-9]+) ([0-9]+)\"[^>]*>(.*?)</svg>");
  const std::regex mark("<(rect|text|line|circle) ([^>]*)>"), number(" ([a-z0-9]+)=\"(-?[0-9.]+)\"");
  int marks = 0;
  for (auto svg = std::sregex_iterator(html.begin(), html.end(), chart); svg != std::sregex_iterator(); ++svg) {
    const double width = std::stod((*svg)[2]), height = std::stod((*svg)[3]);
    const std::string body = (*svg)[4];
    for (auto m = std::sregex_iterator(body.begin(), body.end(), mark); m != std::sregex_iterator(); ++m, ++marks) {
      const std::string attributes = " " + (*m)[2].str();
      std::map<std::string, double> at;
      for (auto n = std::sregex_iterator(attributes.begin(), attributes.end(), number); n != std::sregex_iterator(); ++n) {
        at[(*n)[1]] = std::stod((*n)[2]);
      }
      for (const auto& [name, value] : at) {
        const bool across = name[0] == 'x' || name == "cx" || name == "width";
        const double far = value + (name == "x" ? at["width"] : name == "y" ? at["height"] : 0);
        if (name == "r" || name == "font-size") continue;
        EXPECT_TRUE(value >= 0 && far <= (across ? width : height)) << (*svg)[1] << ": " << (*m)[0];
      }
    }
  }
  EXPECT_GT(marks, 100);
  // The filter times' lines are not drawn across the days between 12-01 and 12-05.
  const std::string times = html.substr(html.find("id=\"chart-filter-time\""), html.find("</svg>", html.find("id=\"chart-filter-time\"")) - html.find("id=\"chart-filter-time\""));
  const std::regex polyline("<polyline");
  EXPECT_EQ(std::distance(std::sregex_iterator(times.begin(), times.end(), polyline), std::sregex_iterator()), 6);
  // A day that is no day of the calendar is named as such.
  std::ostringstream out, err;
  auto platform = CreatePlatform(1, kArgv);
  EXPECT_EQ(RunReportCommand(*platform, {"--day", "2026-02-30", "--logs", "/nowhere"}, out, err), 2);
  EXPECT_TRUE(Has(err.str(), "2026-02-30 is no day of the calendar")) << err.str();
  // A page that cannot be written is a failure of its own.
  TempFolder logs;
  std::ostringstream none, why;
  EXPECT_EQ(RunReportCommand(*platform, {"--logs", logs.path, "--no-quarantine", "--out", logs / "no/page.html"}, none, why), 4) << why.str();
  EXPECT_TRUE(Has(why.str(), ("sareport: the report could not be written to " + logs / "no/page.html" + ": ").c_str())) << why.str();
}

// The change from the previous period, in the console's words and the page's:
// "new" where there was nothing before, "-" where there is nothing either
// time; a day's chart draws no bar for none.
TEST(Report, TheChangeFromThePreviousPeriodAndNoBarForNone) {
  ReportData data(MakePeriod("2026-12-07", "2026-12-07"));
  for (const char* line : {"2026-12-06T10:00:00+01:00,SMTP,A.MAI,10,clean,tagged,,1.0,5.0,,,0.100,f,s,",
                           "2026-12-07T10:00:00+01:00,SMTP,B.MAI,10,clean,tagged,,1.0,5.0,,,0.100,f,s,",
                           "2026-12-07T11:00:00+01:00,SMTP,C.MAI,10,spam,quarantined,,9.0,5.0,,C,0.100,f,s,"}) {
    data.Add(ParseCsvLine(line));
  }
  std::ostringstream console, page;
  WriteReportText(console, data, {}, {});
  WriteReportHtml(page, data, QuarantineSummary{}, {});
  for (const char* line : {"messages                               2  (before 1, +100.0 %)", "spam                                   1  (before 0, new)",
                           "deleted                                0  (before 0, -)"}) {
    EXPECT_TRUE(Has(console.str(), line)) << line << " in\n" << console.str();
  }
  const std::string html = page.str();
  EXPECT_TRUE(Has(html, "<td class=\"n\">new</td>") && Has(html, "<td class=\"n\">-</td>"));
  // The scores' bins: one clean message at 1, one spam at 9, no bar of nothing.
  EXPECT_TRUE(Has(html, "<title>1 to 2: 1 clean</title>") && Has(html, "<title>9 to 10: 1 spam</title>"));
  EXPECT_FALSE(Has(html, ": 0 spam</title>") || Has(html, ": 0 clean</title>"));
  EXPECT_FALSE(Has(html, "the lines differ"));  // every line says 5.0
}

// A month's filter times, or those of any period over 16 days, name every
// other day under their chart, the first day among them.
TEST(Report, AMonthsFilterTimesNameEveryOtherDay) {
  // A month, and the 17 days past the 16 that are each named.
  const std::tuple<const char*, std::vector<const char*>, std::vector<const char*>> periods[] = {
      {"2026-11-08", {">11-08<", ">11-10<", ">12-06<"}, {">11-09<", ">12-07<"}}, {"2026-11-21", {">11-21<", ">11-23<"}, {">11-22<", ">12-06<"}}};
  for (const auto& [first, named, unnamed] : periods) {
    ReportData data(MakePeriod(first, "2026-12-07"));
    for (std::string day = first; day <= "2026-12-07"; day = AddDays(day, 1)) {
      data.Add(ParseCsvLine(day + "T10:00:00+01:00,SMTP,A.MAI,10,clean,tagged,,1.0,5.0,,,0.100,f,s,"));
    }
    std::ostringstream page;
    WriteReportHtml(page, data, QuarantineSummary{}, {});
    const std::string html = page.str(), start = "id=\"chart-filter-time\"";
    const std::string times = html.substr(html.find(start), html.find("</svg>", html.find(start)) - html.find(start));
    for (const char* day : named) EXPECT_TRUE(Has(times, day)) << first << " " << day;
    for (const char* day : unnamed) EXPECT_FALSE(Has(times, day)) << first << " " << day;
  }
}

// A day's chart has the hours of the lines' own local time, whatever the
// reader's zone: 25 on the day the clocks go back (two 02:00 hours, told apart
// by their offsets), 23 on the day they go forward (the day before's last line
// gives the offset that the day starts with), in the order they passed.
TEST(Report, ADayWithAClockChangeHasItsOwnHours) {
  const char* const zone = std::getenv("TZ");
  const std::string before = zone == nullptr ? "" : zone;
  const std::tuple<const char*, int, std::vector<const char*>> days[] = {
      {"2026-10-25", 25, {"2026-10-25T02:30:00+02:00", "2026-10-25T02:30:00+01:00"}},
      {"2026-03-29", 23, {"2026-03-28T20:00:00+01:00", "2026-03-29T03:30:00+02:00"}}, {"2026-06-01", 24, {"2026-06-01T02:30:00+02:00"}}};
  for (const char* reader : {"Asia/Tokyo", "America/New_York"}) {
    setenv("TZ", reader, 1);
    tzset();
    for (const auto& [day, hours, times] : days) {
      ReportData data(MakePeriod(day, day));
      for (const char* time : times) data.Add(ParseCsvLine(std::string(time) + ",SMTP,A.MAI,10,clean,tagged,,1.0,5.0,,,0.100,f,s"));
      std::ostringstream page;
      WriteReportHtml(page, data, {}, {});
      const std::string html = page.str();
      const std::string chart = html.substr(html.find("id=\"chart-messages\""), html.find("</svg>", html.find("id=\"chart-messages\"")) -
                                                                                       html.find("id=\"chart-messages\""));
      const std::regex hour("<text[^>]*>([0-9][0-9])</text>");
      std::string shown;
      for (auto at = std::sregex_iterator(chart.begin(), chart.end(), hour); at != std::sregex_iterator(); ++at) shown += (*at)[1].str() + " ";
      EXPECT_EQ(std::to_string(shown.size() / 3) + " " + shown.substr(0, 6) + shown.substr(shown.size() - 3), std::to_string(hours) + " 00 01 23 ")
          << reader << " " << day << ": " << shown;
      EXPECT_TRUE(hours != 25 || (Has(chart, "<title>02+02:00: 1 tagged") && Has(chart, "<title>02+01:00: 1 tagged"))) << chart;
    }
  }
  before.empty() ? unsetenv("TZ") : setenv("TZ", before.c_str(), 1);
  tzset();
}

TEST(ProcessStart, SplitsArgumentsByTheWindowsRules) {
  const std::pair<const char*, std::vector<std::string>> splits[] = {
      {" /c \"C:\\Temp\\AB.BAT\"", {"/c", "C:\\Temp\\AB.BAT"}}, {"a\\\\\"b c\" d\\\"e \\\\x", {"a\\b c", "d\"e", "\\\\x"}},
      {"\"\" x", {"", "x"}}, {"\"a\"\"b\" c\td", {"a\"b", "c", "d"}}};
  for (const auto& [text, want] : splits) EXPECT_EQ(SplitWindowsArguments(text), want) << text;
}

TEST(Sacmd, RunsTheBatchLinesWordsQuotesAndRedirectionsOnlyAndEndsWithTheLastStatus) {
  TempFolder folder;
  std::filesystem::create_directories(folder / "decoy/true");  // found first on PATH, and no program
  WriteFile(folder / "decoy/cat", "not a program");
  WriteFile(folder / "in", "text");
  WriteFile(folder / "b.CMD", "/bin/true\r\n");
  WriteFile(folder / "abort", "abort-after 5\n");
  const std::string in = "\"" + folder / "in\"", out = "\"" + folder / "out\"", none = "<missing>";
  // A batch line (or sacmd's arguments, when it starts with /c), the status, and what the line wrote to out.
  const std::tuple<std::string, int, std::string> cases[] = {
      {"\"/bin/echo\" -n a;b&c $X %Y% `z` \"C:\\r d\" a\"b c\"d\t\"\" x >" + out, 0, "a;b&c $X `z` C:\\r d ab cd  x"},
      // "%" as a Windows batch file reads it (as Wine's cmd.exe answered the same line).
      {"/bin/echo -n a %%Y%% %sacmd_var% %UNSET%x 100% done %1 %* end 50% >" + out, 0, "a %Y% v x 1001 end 50"},
      {"/bin/echo -n \"%Sacmd_Var%\" >\"" + folder / "o%%u%%t\"", 0, none},
      // The program reads its words as the C runtime does: backslashes count before a quote.
      {"/bin/echo -n \"C:\\r\\\\\" \\\\c x\\\"y\\\" >" + out, 0, "C:\\r\\ \\\\c x\"y\""},
      {"cat<" + in + ">" + out, 0, "text"}, {"/bin/cat < " + in + " > " + out, 0, "text"}, {"/bin/false\r\n\r\n   \r\ntrue", 0, none},
      {"/bin/true \"unclosed", 1, none}, {"/bin/true <", 1, none}, {"/bin/true > > " + out, 1, none}, {"> " + out, 1, none},
      {"/bin/true < > " + out, 1, none}, {"/bin/cat < \"" + folder / "none\"", 1, none}, {"/bin/true > \"" + folder / "no/out\"", 1, none},
      {"/bin/sh -c \"kill -9 $$\"", 137, none}, {"/bin/sh -c \"exit 259\"", 3, none}, {"\"/no/program\" > " + out, 9009 & 255, ""},
      {"/c /bin/sh -c \"exit 7\"", 7, none}, {"/c /bin/echo -n %SACMD_VAR% %NOPE% 100%% x%NOPE%SACMD_VAR%y >" + out, 0, "v %NOPE% 100%% x%NOPEvy"}, {"/c \"\"", 0, none}, {"/c \"" + folder / "b.CMD\"", 0, none},
      {"/c \"" + folder / "missing.bat\"", 1, none}, {"", 1, none},
      // The stand-in filter as a batch line runs it, and as spamc (only 127.0.0.1 up), pinged or not.
      {"\"" SAFILTER_EXE "\" -d 127.0.0.1 < " + in + " > " + out, 0, FilterOutput("text")}, {"\"" SAFILTER_EXE "\" -K < " + in + " > " + out, 0, ""},
      {"\"" SAFILTER_EXE "\" -K -d 127.0.0.2 > " + out, 69, ""},
      {"\"" SAFILTER_EXE "\" -c \"" + folder / "abort\" < " + in + " > " + out, 134, FilterOutput("text").substr(0, 5)}};
  for (const auto& [batch, want, output] : cases) {
    WriteFile(folder / "b.bat", batch + "\r\n");
    std::filesystem::remove(folder / "out");
    const std::string arguments = batch.rfind("/c", 0) == 0 || batch.empty() ? batch : "/C \"" + folder / "b.bat\"";
    const int status = std::system(("SACMD_VAR=v PATH='" + folder / "decoy:/usr/bin:/bin' " SACMD_EXE " " + arguments + " 2>/dev/null").c_str());
    EXPECT_EQ(std::to_string(WEXITSTATUS(status)) + " " + ReadFile(folder / "out"), std::to_string(want) + " " + output) << batch;
  }
  EXPECT_EQ(ReadFile(folder / "o%u%t"), "v");
}

#endif

}  // namespace
}  // namespace saplugin
