#include "quarantine/spooled_sort.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "memory_file_system.h"
#include "platform/error.h"

namespace saplugin {
namespace {

// Lines in byte order whatever the budget: all in memory, through several
// run files, through one run per line; the run files go with the sort.
TEST(SpooledSort, SortsThroughRunFilesAndLeavesNone) {
  std::vector<std::string> lines;
  for (int i = 0; i < 500; ++i) lines.push_back(std::to_string((i * 7919) % 500) + (i % 3 ? "b" : "a"));
  lines.push_back("");
  lines.push_back(lines[10]);  // a line twice stays twice
  std::vector<std::string> sorted = lines;
  std::sort(sorted.begin(), sorted.end());
  for (const std::size_t budget : {std::size_t{1} << 20, std::size_t{2000}, std::size_t{1}}) {
    test::MemoryFileSystem fs;
    fs.AddFolder("C:\\Q");
    std::vector<std::string> out;
    std::size_t files = 0;
    {
      SpooledSort sort(fs, "C:\\Q\\digest.sort", budget);
      for (const std::string& line : lines) sort.Add(line);
      files = fs.FilesIn("C:\\Q").size();
      sort.EachSorted([&](const std::string& line) { out.push_back(line); });
    }
    EXPECT_EQ(out, sorted) << budget;
    EXPECT_EQ(files == 0, budget > 100000) << budget;
    EXPECT_TRUE(fs.FilesIn("C:\\Q").empty()) << budget;
  }
  // A run file of another program's is never written over.
  test::MemoryFileSystem fs;
  fs.AddFolder("C:\\Q");
  fs.Put("C:\\Q\\digest.sort1", "theirs\r\n");
  SpooledSort sort(fs, "C:\\Q\\digest.sort", 1);
  EXPECT_THROW(sort.Add("x"), Error);
  EXPECT_THROW(sort.Add(std::string(SpooledSort::kLongestLine + 1, 'x')), Error);
  EXPECT_EQ(fs.Bytes("C:\\Q\\digest.sort1"), "theirs\r\n");
}

}  // namespace
}  // namespace saplugin
