#pragma once

#include <string>

#include "platform/platform.h"

namespace saplugin {

// The header line that a tagged copy of spam carries, so that the recipients'
// junk rules see it.
extern const char* const kSpamFlagLine;

// Replaces the message file's content with the source's in one step, so that
// the host never sees a half-written message: the source itself is moved over
// the message where both lie on one volume (answering true: the source is
// gone), else it is copied beside the message under a temporary name made
// from the run name and that copy is moved over it (answering false). With
// mark_spam, the copy beside the message is always made, with kSpamFlagLine
// written as the first line of its header section (after an mbox "From "
// line), its line break the source's; the source is streamed, never read
// whole. On any failure the message stays as it was, the temporary copy is
// removed and the error passes on; a read-only message is not replaced.
bool ReplaceMessage(FileSystem& fs, const std::string& source, const std::string& message_file,
                    const std::string& run_name, bool mark_spam = false);

}  // namespace saplugin
