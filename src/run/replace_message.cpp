#include "run/replace_message.h"

namespace saplugin {

void ReplaceMessage(FileSystem& fs, const std::string& source, const std::string& message_file,
                    const std::string& run_name) {
  const std::string temporary = message_file + "." + run_name + ".tmp";
  try {
    fs.CopyFile(source, temporary);
    fs.RenameOver(temporary, message_file);
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
