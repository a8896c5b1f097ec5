// differ: answers, through this build's own platform layer, the queries of a
// test corpus, so that the Wine suite can hold the POSIX stand-ins against
// Windows (Wine's kernel32 and registry) with one program built for both.
//
//   differ profile FOLDER FILE...    every key of kKeys in every section of
//                                     kSections of each FOLDER\FILE
//   differ registry KEY NAME...      each value of HKEY_LOCAL_MACHINE\KEY as a
//                                     run reads the data directory
//
// One line per answer; bytes outside printable ASCII are written as \xHH.

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "run/read_registry_value.h"

namespace {

const char* const kSections[] = {"S", "s ", "T", "Other"};
const char* const kKeys[] = {"A", "b", "C", "D", "E", "F", "G", "H", "LONG", "Q1", "Q2", "Q3"};

std::string Escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, static_cast<char>(c)) : hex;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: differ profile FOLDER FILE... | differ registry KEY NAME...\n");
    return 2;
  }
  auto platform = saplugin::CreatePlatform(argc, argv);
  const std::string mode = argv[1];
  for (int i = 3; i < argc; ++i) {
    if (mode == "registry") {
      std::printf("%s: %s\n", argv[i], Escaped(saplugin::ReadRegistryValue(*platform, argv[2], argv[i])).c_str());
      continue;
    }
    for (const char* section : kSections) {
      for (const char* key : kKeys) {
        char buffer[255];
        const auto length = platform->ReadProfileString(section, key, "<default>", buffer, sizeof buffer,
                                                        std::string(argv[2]) + "\\" + argv[i]);
        std::printf("%s [%s] %s: %u %s\n", argv[i], section, key, static_cast<unsigned>(length),
                    Escaped(std::string(buffer, length)).c_str());
      }
    }
  }
  return 0;
}
