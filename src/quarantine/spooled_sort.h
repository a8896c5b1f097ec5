#pragma once

// Lines sorted in bounded memory: they are held up to a budget of bytes, then
// sorted and written out as a run file, and the runs are merged at the end
// (an external merge sort). The run files lie beside one another under a
// name of the caller's, and go when the sort does, however it ends.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace saplugin {

class SpooledSort {
 public:
  // Run files are named prefix + "1", "2", ...; budget is the bytes of lines held at once.
  SpooledSort(FileSystem& fs, std::string prefix, std::size_t budget);
  ~SpooledSort();
  SpooledSort(const SpooledSort&) = delete;
  SpooledSort& operator=(const SpooledSort&) = delete;

  // A line without line breaks, at most kLongestLine bytes.
  void Add(std::string line);
  // Each line in byte order, once; the sort is spent after. Throws Error when
  // a run file cannot be written or read.
  void EachSorted(const std::function<void(const std::string&)>& each);

  static constexpr std::size_t kLongestLine = 16 * 1024;
  // The most run files open at once: more are merged in passes first, so
  // that the merge's buffers stay the same however many runs there are.
  static constexpr std::size_t kMostOpen = 32;

 private:
  // A new run file's name, claimed (created) by the writer.
  std::unique_ptr<TextWriter> NewRun();
  void WriteRun();
  // Each line of the runs in order, the runs removed after.
  void Merge(std::vector<std::string> runs, const std::function<void(const std::string&)>& each);

  FileSystem& fs_;
  std::string prefix_;
  std::size_t budget_, held_ = 0;
  std::vector<std::string> lines_;
  std::vector<std::string> runs_;  // every run file made, to remove at the end
  std::vector<std::string> open_;  // those whose lines are still to merge
};

}  // namespace saplugin
