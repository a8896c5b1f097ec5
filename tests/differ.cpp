// differ: answers, through this build's own platform layer, the queries of a
// test corpus, so that the Wine suite can hold the POSIX stand-ins against
// Windows (Wine's kernel32 and registry) with one program built for both.
//
//   differ profile FOLDER FILE...    every key of kKeys in every section of
//                                     kSections of each FOLDER\FILE, and the
//                                     names of each section's keys
//   differ registry KEY NAME...      each value of HKEY_LOCAL_MACHINE\KEY as a
//                                     run reads the data directory
//   differ hold FILE SECONDS         (Windows) holds FILE open for reading,
//                                     shared for reading only, as Excel does;
//                                     prints "held" once it does
//
// One line per answer; bytes outside printable ASCII are written as \xHH.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "run/read_registry_value.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const char* const kSections[] = {"S", "s ", "T", "Other"};
const char* const kKeys[] = {"A", "b", "C", "D", "E", "F", "G", "H", "LONG", "Q1", "Q2", "Q3"};

void Print(const std::string& query, const std::string& answer) {
  std::printf("%s: ", query.c_str());
  for (unsigned char c : answer) std::printf(c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02X", c);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
#ifdef _WIN32
  if (std::string(argv[1]) == "hold" && argc == 4) {
    const HANDLE file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::atoi(argv[3])) * 1000);
    CloseHandle(file);
    return 0;
  }
#endif
  auto platform = saplugin::CreatePlatform(argc, argv);
  for (int i = 3; i < argc; ++i) {
    if (std::string(argv[1]) == "registry") {
      Print(argv[i], saplugin::ReadRegistryValue(*platform, argv[2], argv[i]));
      continue;
    }
    for (const char* section : kSections) {
      std::string names;
      for (const std::string& name : platform->ReadProfileKeyNames(section, std::string(argv[2]) + "\\" + argv[i])) names += name + "|";
      Print(std::string(argv[i]) + " [" + section + "] names", names);
      for (const char* key : kKeys) {
        char buffer[255];
        const auto length = platform->ReadProfileString(section, key, "<default>", buffer, sizeof buffer, std::string(argv[2]) + "\\" + argv[i]);
        Print(std::string(argv[i]) + " [" + section + "] " + key + " " + std::to_string(length), std::string(buffer, length));
      }
    }
  }
  return 0;
}
