#include "run/replace_message.h"

namespace saplugin {

bool ReplaceMessage(FileSystem& fs, const std::string& source, const std::string& message_file,
                    const std::string& run_name) {
  // Moving copies nothing, however large the message.
  if (fs.MoveOver(source, message_file)) return true;
  const std::string temporary = message_file + "." + run_name + ".tmp";
  try {
    fs.CopyFile(source, temporary);
    // Beside the message, on its volume: this move cannot need a copy.
    if (!fs.MoveOver(temporary, message_file)) {
      throw Error(kErrorInvalidArgument, "ReplaceMessage", "Could not move " + temporary + " over " + message_file);
    }
    return false;
  } catch (const Error&) {
    // The error that matters is the one above; a copy that cannot be removed
    // either is left for the operator, beside the intact message.
    if (fs.FileExists(temporary)) {
      try {
        fs.DeleteFile(temporary);
      } catch (const Error&) {
      }
    }
    throw;
  }
}

}  // namespace saplugin
