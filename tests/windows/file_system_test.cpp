// The Win32 file-system object against a real temporary folder (run under
// Wine by the Linux build's tests).

#include "platform/windows/windows_file_system.h"

#include <gtest/gtest.h>

#include "temp_folder.h"

namespace saplugin {
namespace {

class WindowsFileSystemTest : public ::testing::Test {
 protected:
  // A Windows path inside the temporary folder.
  std::string P(const std::string& name) const {
    std::string path = folder / name;
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
  }

  TempFolder folder;
  WindowsFileSystem fs;
};

TEST_F(WindowsFileSystemTest, ExistenceSizeAndFolders) {
  MakeFolders(folder / "Q");
  WriteFile(folder / "Q/a.MAI", "abc");
  EXPECT_TRUE(fs.FileExists(P("Q\\a.MAI")));
  EXPECT_FALSE(fs.FileExists(P("Q")));
  EXPECT_TRUE(fs.FolderExists(P("Q")));
  EXPECT_TRUE(fs.FolderExists(P("Q\\")));
  EXPECT_FALSE(fs.FolderExists(P("Q\\a.MAI")));
  EXPECT_FALSE(fs.FileExists(""));
  EXPECT_EQ(fs.FileSize(P("Q\\a.MAI")), 3);
  EXPECT_THROW(fs.FileSize(P("none")), Error);
  fs.CreateFolder(P("Q\\Messages"));
  EXPECT_NO_THROW(fs.CreateFolder(P("Q\\Messages")));  // made meanwhile counts
  EXPECT_THROW(fs.CreateFolder(P("no\\parent")), Error);
}

TEST_F(WindowsFileSystemTest, TextFilesWriteCrLfAndReadLinesCut) {
  fs.OpenTextFileForAppending(P("run.BAT"))->WriteLine("first");
  fs.OpenTextFileForAppending(P("run.BAT"))->WriteLine("second");
  EXPECT_EQ(ReadFile(folder / "run.BAT"), "first\r\nsecond\r\n");
  EXPECT_EQ(fs.CreateNewTextFile(P("run.BAT")), nullptr);
  EXPECT_NE(fs.CreateNewTextFile(P("new.BAT")), nullptr);
  EXPECT_THROW(fs.OpenTextFileForAppending(P("missing\\run.BAT")), Error);

  WriteFile(folder / "out", "A: 1\r\nB: 2\n\r\n" + std::string(5000, 'x') + "\nend");
  auto reader = fs.OpenTextFileForReading(P("out"));
  EXPECT_EQ(reader->ReadLine(100), "A: 1");
  EXPECT_EQ(reader->ReadLine(100), "B: 2");
  EXPECT_EQ(reader->ReadLine(100), "");
  EXPECT_EQ(reader->ReadLine(10), std::string(10, 'x'));
  EXPECT_EQ(reader->ReadLine(100), "end");
  EXPECT_TRUE(reader->AtEndOfStream());
  EXPECT_THROW(fs.OpenTextFileForReading(P("none")), Error);
}

TEST_F(WindowsFileSystemTest, CopyMoveAndDeleteNeverForceAReadOnlyFile) {
  WriteFile(folder / "out", "tagged");
  WriteFile(folder / "msg", "original message");
  fs.CopyFile(P("out"), P("copy"));
  EXPECT_EQ(ReadFile(folder / "copy"), "tagged");
  EXPECT_TRUE(fs.MoveOver(P("copy"), P("msg")));
  EXPECT_EQ(ReadFile(folder / "msg"), "tagged");
  EXPECT_FALSE(fs.FileExists(P("copy")));
  EXPECT_THROW(fs.CopyFile(P("none"), P("msg")), Error);

  SetReadOnly(folder / "msg", true);
  EXPECT_THROW(fs.CopyFile(P("out"), P("msg")), Error);
  EXPECT_THROW(fs.MoveOver(P("out"), P("msg")), Error);
  EXPECT_THROW(fs.DeleteFile(P("msg")), Error);
  EXPECT_EQ(ReadFile(folder / "msg"), "tagged");
  EXPECT_TRUE(fs.FileExists(P("out")));
  SetReadOnly(folder / "msg", false);
  fs.DeleteFile(P("msg"));
  EXPECT_FALSE(Exists(folder / "msg"));
  try {
    fs.DeleteFile(P("msg"));
    ADD_FAILURE();
  } catch (const Error& error) {
    EXPECT_NE(error.Description().find("msg"), std::string::npos);
    EXPECT_NE(error.Number(), 0);  // the system's code, with its message
  }
}

}  // namespace
}  // namespace saplugin
