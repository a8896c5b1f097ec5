#pragma once

// A file put in place only when it is whole: made under a passing name beside
// its own, on disk, then moved to its name in one step, so that a reader
// finds the file as it was (or none) or the whole new one, never a part.

#include <functional>
#include <string>

#include "platform/platform.h"

namespace saplugin {

// How the whole file takes its name.
enum class Placing {
  kOver,      // over a file of that name, as FileSystem::MoveOver
  kIfAbsent,  // only when no file has that name yet, as FileSystem::MoveIfAbsent
};

// Makes the passing file with make (which writes and closes it, or copies
// onto it: either way it is on disk when make returns), then moves it to
// path. Answers false when it was not moved (kIfAbsent: a file of that name
// is there; kOver: the two lie on different volumes), with the passing file
// gone again. Throws Error when a step fails, the passing file gone again as
// well (the error of its removal, when that fails too).
bool PlaceWholeFile(FileSystem& fs, const std::string& passing, const std::string& path, Placing placing,
                    const std::function<void()>& make);

}  // namespace saplugin
