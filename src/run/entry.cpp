// The process entry: makes the platform and hands the run to Main.

#include <iostream>

#include "platform/platform.h"
#include "run/main.h"

int main(int argc, char** argv) {
  try {
    auto platform = saplugin::CreatePlatform(argc, argv);
    // The mail server always gives two words: these are an operator's, at a prompt.
    const std::string line = platform->CommandLine();
    if (line == "--version" || line == "--help" || line == "/?") {
      platform->UseParentConsole();
      std::cout << (line == "--version" ? std::string(saplugin::kVersionText) + "\n" : saplugin::kUsageText) << std::flush;
      return saplugin::kExitNormal;
    }
    return saplugin::Main(*platform);
  } catch (const saplugin::Error& error) {
    // Main traps the run's errors; what gets here is an error of the
    // configuration's loading, or an event log that cannot be written.
    std::cerr << "saplugin: error " << error.Number() << " (" << error.Source()
              << "): " << error.Description() << '\n';
  } catch (const std::exception& error) {
    std::cerr << "saplugin: " << error.what() << '\n';
  }
  return saplugin::kExitConfiguration;
}
