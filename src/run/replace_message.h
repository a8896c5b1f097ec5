#pragma once

#include <string>

#include "platform/platform.h"

namespace saplugin {

// Replaces the message file's content with the source's in one step, so that
// the host never sees a half-written message: the source itself is moved over
// the message where both lie on one volume (answering true: the source is
// gone), else it is copied beside the message under a temporary name made
// from the run name and that copy is moved over it (answering false). On any
// failure the message stays as it was, the temporary copy is removed and the
// error passes on; a read-only message is not replaced.
bool ReplaceMessage(FileSystem& fs, const std::string& source, const std::string& message_file,
                    const std::string& run_name);

}  // namespace saplugin
