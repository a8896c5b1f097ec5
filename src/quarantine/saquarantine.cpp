// saquarantine: the operator's work on the quarantine (see --help).

#include <iostream>

#include "platform/platform.h"
#include "quarantine/commands.h"

int main(int argc, char** argv) {
  try {
    auto platform = saplugin::CreatePlatform(argc, argv);
    return saplugin::RunQuarantineCommand(*platform, std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
  } catch (const saplugin::Error& error) {
    std::cerr << "saquarantine: error " << error.Number() << " (" << error.Source() << "): " << error.Description() << '\n';
    return saplugin::kQuarantineUsage;
  }
}
