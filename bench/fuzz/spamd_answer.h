#pragma once

#include <string>

namespace saplugin {

// Serves the text as a spamd daemon's whole answer to one scan through the
// real spamd client (ScanThroughSpamd) and checks what the scan made of it;
// aborts, naming the broken rule, when the outcome contradicts the answer.
void FuzzSpamdAnswer(const std::string& answer);

}  // namespace saplugin
