// config_cost: what loading the configuration costs a run, in-process and
// through this build's own profile reader (Wine's kernel32 under Wine), so
// that a start-up's noise does not drown a millisecond.
//
//   config_cost FILE CONNECTOR ROUNDS
//
// Loads FILE as a run does (the main section, then CONNECTOR's section)
// ROUNDS times and prints the median microseconds of one load.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/load_options.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: config_cost FILE CONNECTOR ROUNDS\n");
    return 2;
  }
  auto platform = saplugin::CreatePlatform(argc, argv);
  const int rounds = std::max(1, std::atoi(argv[3]));
  std::vector<double> times;
  try {
    for (int i = 0; i < rounds; ++i) {
      const auto start = std::chrono::steady_clock::now();
      saplugin::PluginOptions options;
      saplugin::LoadOptionsFrom(*platform, argv[1], options);
      saplugin::LoadConnectorOptions(*platform, argv[1], argv[2], options);
      times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
  } catch (const saplugin::Error& error) {
    std::fprintf(stderr, "config_cost: %s\n", error.Description().c_str());
    return 1;
  }
  std::sort(times.begin(), times.end());
  std::printf("%.1f\n", times[times.size() / 2]);
  return 0;
}
