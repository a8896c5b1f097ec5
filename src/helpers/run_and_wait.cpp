#include "helpers/run_and_wait.h"

#include <chrono>

namespace saplugin {

std::optional<long> RunAndWait(Platform& platform, const PluginOptions& options, const std::string& run_name) {
  const std::string command_line = platform.EnvironmentValue("comspec") + " /c \"" +
                                   options.TempPath + run_name + ".BAT\"";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.ScanTimeLimit);
  auto child = platform.StartHidden(command_line);
  long exit_status = 0;
  // The end is observed on the child that the start yielded, never by its
  // exit status: a child may well exit with the "still active" value 259.
  for (;;) {
    const bool ended = child->HasEnded(&exit_status);
    platform.PumpEvents();
    if (ended) return exit_status;
    if (options.ScanTimeLimit > 0 && std::chrono::steady_clock::now() >= deadline) {
      child->EndAll();
      return std::nullopt;
    }
    child->WaitForEnd(kPollMilliseconds);
  }
}

}  // namespace saplugin
