#include "helpers/run_and_wait.h"

namespace saplugin {

long RunAndWait(Platform& platform, const PluginOptions& options, const std::string& run_name) {
  const std::string command_line = platform.EnvironmentValue("comspec") + " /c \"" +
                                   options.TempPath + run_name + ".BAT\"";
  auto child = platform.StartHidden(command_line);
  long exit_status = 0;
  // The end is observed on the child that the start yielded, never by its
  // exit status: a child may well exit with the "still active" value 259.
  for (;;) {
    const bool ended = child->HasEnded(&exit_status);
    platform.PumpEvents();
    if (ended) return exit_status;
    child->WaitForEnd(kPollMilliseconds);
  }
}

}  // namespace saplugin
