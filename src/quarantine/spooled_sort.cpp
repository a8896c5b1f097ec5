#include "quarantine/spooled_sort.h"

#include <algorithm>
#include <memory>
#include <queue>

#include "platform/error.h"

namespace saplugin {

SpooledSort::SpooledSort(FileSystem& fs, std::string prefix, std::size_t budget) : fs_(fs), prefix_(std::move(prefix)), budget_(budget) {}

SpooledSort::~SpooledSort() {
  for (const std::string& run : runs_) {
    try {
      if (fs_.FileExists(run)) fs_.DeleteFile(run);
    } catch (const Error&) {
      // A run file that cannot go is left: its name says whose it was.
    }
  }
}

void SpooledSort::Add(std::string line) {
  if (line.size() > kLongestLine) throw Error(kErrorInvalidArgument, "SpooledSort", "a line is longer than " + std::to_string(kLongestLine) + " bytes");
  held_ += line.size() + sizeof(std::string);
  lines_.push_back(std::move(line));
  if (held_ >= budget_) WriteRun();
}

std::unique_ptr<TextWriter> SpooledSort::NewRun() {
  const std::string run = prefix_ + std::to_string(runs_.size() + 1);
  auto writer = fs_.CreateNewTextFile(run);
  if (!writer) throw Error(kErrorFileExists, "SpooledSort", run + " is there already: another program's, or left by one that stopped");
  runs_.push_back(run);
  open_.push_back(run);
  return writer;
}

void SpooledSort::WriteRun() {
  std::sort(lines_.begin(), lines_.end());
  auto writer = NewRun();
  for (const std::string& line : lines_) writer->WriteLine(line);
  writer->Close();
  lines_.clear();
  lines_.shrink_to_fit();
  held_ = 0;
}

void SpooledSort::Merge(std::vector<std::string> runs, const std::function<void(const std::string&)>& each) {
  // The least line of each run, smallest first.
  std::vector<std::unique_ptr<TextReader>> readers;
  using Head = std::pair<std::string, std::size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  const auto next = [&](std::size_t run) {
    if (!readers[run]->AtEndOfStream()) heads.push({readers[run]->ReadLine(kLongestLine), run});
  };
  for (const std::string& run : runs) {
    readers.push_back(fs_.OpenTextFileForReading(run));
    next(readers.size() - 1);
  }
  while (!heads.empty()) {
    const Head head = heads.top();
    heads.pop();
    each(head.first);
    next(head.second);
  }
  for (auto& reader : readers) reader->Close();
  readers.clear();
  for (const std::string& run : runs) fs_.DeleteFile(run);
}

void SpooledSort::EachSorted(const std::function<void(const std::string&)>& each) {
  if (runs_.empty()) {
    // All of it fits: no file at all.
    std::sort(lines_.begin(), lines_.end());
    for (const std::string& line : lines_) each(line);
    lines_.clear();
    return;
  }
  if (!lines_.empty()) WriteRun();
  while (open_.size() > kMostOpen) {
    const std::vector<std::string> pass(open_.begin(), open_.begin() + kMostOpen);
    open_.erase(open_.begin(), open_.begin() + kMostOpen);
    auto writer = NewRun();
    Merge(pass, [&](const std::string& line) { writer->WriteLine(line); });
    writer->Close();
  }
  const std::vector<std::string> last = std::move(open_);
  open_.clear();
  Merge(last, each);
}

}  // namespace saplugin
