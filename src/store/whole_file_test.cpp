#include "store/whole_file.h"

#include <gtest/gtest.h>

#include "memory_file_system.h"

namespace saplugin {
namespace {

// What a placing leaves, with the steps that fail ("MoveOver", "Write;DeleteFile"): the file's bytes, whether a
// passing file is left, and the answer ("moved", "not moved" or the error's number).
TEST(WholeFile, TheNameHoldsTheOldFileOrTheWholeNewOne) {
  const std::tuple<Placing, bool, const char*, const char*> cases[] = {
      // placing, an old file there, the failing steps, what is left and answered
      {Placing::kOver, true, "", "new, moved"},
      {Placing::kOver, false, "", "new, moved"},
      {Placing::kIfAbsent, false, "", "new, moved"},
      {Placing::kIfAbsent, true, "", "old, not moved"},
      {Placing::kOver, true, "Write", "old, error 5"},
      {Placing::kOver, true, "MoveOver", "old, error 5"},
      {Placing::kIfAbsent, false, "MoveIfAbsent.link", "(none), error 5"},
      {Placing::kIfAbsent, true, "DeleteFile", "old, passing left, error 5"},
      {Placing::kOver, true, "Write;DeleteFile", "old, passing left, error 5"},
  };
  for (const auto& [placing, old, failing, want] : cases) {
    test::MemoryFileSystem fs;
    fs.AddFolder("C:\\D");
    if (old) fs.Put("C:\\D\\f", "old");
    fs.hook = [failing = std::string(";") + failing + ";"](const std::string& step, const std::string&, bool done) {
      if (!done && failing.find(";" + step + ";") != std::string::npos) throw Error(5, "test", step);
    };
    std::string answer;
    try {
      answer = PlaceWholeFile(fs, "C:\\D\\f.new", "C:\\D\\f", placing, [&] {
        auto writer = fs.CreateNewTextFile("C:\\D\\f.new");
        writer->Write("new", 3);
        writer->Close();
      }) ? "moved" : "not moved";
    } catch (const Error& error) {
      answer = "error " + std::to_string(error.Number());
    }
    EXPECT_EQ(fs.Bytes("C:\\D\\f") + (fs.FileExists("C:\\D\\f.new") ? ", passing left, " : ", ") + answer, want) << failing;
  }
}

}  // namespace
}  // namespace saplugin
