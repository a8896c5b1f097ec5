// sareport: the scan logs and the quarantine as one HTML page (see --help).

#include <iostream>

#include "platform/platform.h"
#include "report/report_command.h"

int main(int argc, char** argv) {
  try {
    auto platform = saplugin::CreatePlatform(argc, argv);
    return saplugin::RunReportCommand(*platform, std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
  } catch (const saplugin::Error& error) {
    std::cerr << "sareport: error " << error.Number() << " (" << error.Source() << "): " << error.Description() << '\n';
    return 2;
  }
}
