#include "run/scan.h"

#include <gtest/gtest.h>

#include "memory_file_system.h"

namespace saplugin {
namespace {

// What the filter's output says of the message, read as a run reads it: the
// verdict, and the X-Spam-Status value the score is taken from.
TEST(FilterOutput, TheFlagInTheHeaderSectionAndTheStatusField) {
  const struct {
    const char* output;
    const char* verdict;
    const char* status;
  } cases[] = {
      {"X-Spam-Flag: YES\r\nSubject: x\r\n\r\nbody\r\n", "flagged", ""},
      {"Subject: x\r\nx-spam-flag: yes\r\n\r\n", "flagged", ""},
      {"Subject: x\r\n  X-Spam-Flag: YES\r\n\r\nb\r\n", "clean", ""},  // a folded line goes on the field before it
      {"Subject: x\r\nX-Spam-Flag: Y\r\nZ-Spam-Flag: YES\r\n\r\nb\r\n", "clean", ""},
      {"Subject: x\n\nX-Spam-Flag: YES\nFrom: b\n", "clean", ""},
      {"Subject: x", "clean", ""},
      {"", "no message", ""},
      {"no header\r\n\r\nX-Spam-Flag: YES\r\n", "no message", ""},
      {"\r\nX-Spam-Flag: YES\r\n", "no message", ""},
      // An mbox separator may stand before the header section: one, followed by a field.
      {"From a@b.example Mon Jan  1 00:00:00 2024\nX-Spam-Flag: YES\n\n", "flagged", ""},
      {"From a@b.example\nno field\n", "no message", ""},
      {"From a\nFrom b\nX: y\n", "no message", ""},
      {"From a\n", "no message", ""},
      // A field's name: printable characters, no blank, and at least one of them.
      {"A~B: y\r\n\r\n", "clean", ""},
      {": y\r\n\r\n", "no message", ""},
      {"A B: y\r\n\r\n", "no message", ""},
      {"A\tB: y\r\n\r\n", "no message", ""},
      {"A\x7f: y\r\n\r\n", "no message", ""},
      {"A\xc3\xa9: y\r\n\r\n", "no message", ""},
      {"!: y\r\n\r\n", "clean", ""},
      // The status field, unfolded, wherever it stands in the header section; never from the body.
      {"X-Spam-Status: Yes, score=9.0\r\n\trequired=5.0 tests=GTUBE\r\nX-Spam-Flag: YES\r\n\r\n", "flagged",
       "Yes, score=9.0 required=5.0 tests=GTUBE"},
      {"X-Spam-Flag: YES\r\nx-spam-status: Yes, score=9.0\r\n\r\n", "flagged", "Yes, score=9.0"},
      {"Subject: x\r\n\r\nX-Spam-Status: Yes, score=9.0\r\n", "clean", ""},
  };
  for (const auto& c : cases) {
    test::MemoryFileSystem fs;
    fs.Put("C:\\Temp\\R.OUT", c.output);
    std::string status = "unread";
    const Verdict verdict = ReadVerdict(fs, "C:\\Temp\\R.OUT", &status);
    const char* const words[] = {"no message", "flagged", "clean"};
    EXPECT_EQ(std::string(words[static_cast<int>(verdict)]) + "|" + status, std::string(c.verdict) + "|" + c.status) << c.output;
    // Without the status field asked for, the verdict is the same.
    EXPECT_EQ(ReadVerdict(fs, "C:\\Temp\\R.OUT"), verdict) << c.output;
  }
}

}  // namespace
}  // namespace saplugin
