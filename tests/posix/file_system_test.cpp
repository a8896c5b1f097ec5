// The POSIX file-system object against a real temporary folder.

#include "platform/posix/posix_file_system.h"

#include <gtest/gtest.h>

#include "temp_folder.h"

namespace saplugin {
namespace {

class PosixFileSystemTest : public ::testing::Test {
 protected:
  // A backslash path inside the temporary folder, as the core writes them.
  std::string P(const std::string& name) const { return folder.Path() + "\\" + name; }

  TempFolder folder;
  PosixFileSystem fs;
};

TEST_F(PosixFileSystemTest, ExistenceTestsTellFilesFromFoldersWithBackslashPaths) {
  MakeFolders(folder / "Q/Messages");
  WriteFile(folder / "Q/Messages/a.MAI", "x");
  EXPECT_TRUE(fs.FileExists(P("Q\\Messages\\a.MAI")));
  EXPECT_FALSE(fs.FileExists(P("Q\\Messages")));
  EXPECT_FALSE(fs.FileExists(P("none")));
  EXPECT_FALSE(fs.FileExists(""));
  EXPECT_TRUE(fs.FolderExists(P("Q")));
  EXPECT_TRUE(fs.FolderExists(P("Q\\")));
  EXPECT_FALSE(fs.FolderExists(P("Q\\Messages\\a.MAI")));
  EXPECT_FALSE(fs.FolderExists(""));
  EXPECT_EQ(fs.FileSize(P("Q\\Messages\\a.MAI")), 1);
  EXPECT_THROW(fs.FileSize(P("none")), Error);
  EXPECT_THROW(fs.FileSize(P("Q")), Error);
}

TEST_F(PosixFileSystemTest, CreateFolderNeedsItsParentAndAcceptsOneMadeMeanwhile) {
  fs.CreateFolder(P("Messages"));
  EXPECT_TRUE(fs.FolderExists(P("Messages")));
  EXPECT_NO_THROW(fs.CreateFolder(P("Messages")));
  EXPECT_THROW(fs.CreateFolder(P("no\\parent")), Error);
  WriteFile(folder / "file", "");
  EXPECT_THROW(fs.CreateFolder(P("file")), Error);
}

TEST_F(PosixFileSystemTest, AppendWritesCrLfLinesAndCreatesTheFile) {
  {
    auto writer = fs.OpenTextFileForAppending(P("run.BAT"));
    writer->WriteLine("\"a\" -P");
    writer->Close();
    writer->Close();
  }
  fs.OpenTextFileForAppending(P("run.BAT"))->WriteLine("second");
  EXPECT_EQ(ReadFile(folder / "run.BAT"), "\"a\" -P\r\nsecond\r\n");
  EXPECT_THROW(fs.OpenTextFileForAppending(P("missing\\run.BAT")), Error);
  WriteFile(folder / "ro", "");
  SetReadOnly(folder / "ro", true);
  EXPECT_THROW(fs.OpenTextFileForAppending(P("ro")), Error);
}

TEST_F(PosixFileSystemTest, ReadLineSplitsAtLfOrCrLfAndCutsLongLines) {
  WriteFile(folder / "out", "Subject: a\r\nX-Spam-Flag: YES\n\r\n" + std::string(100000, 'b') + "\nlast");
  auto reader = fs.OpenTextFileForReading(P("out"));
  EXPECT_FALSE(reader->AtEndOfStream());
  EXPECT_EQ(reader->ReadLine(1000), "Subject: a");
  EXPECT_EQ(reader->ReadLine(1000), "X-Spam-Flag: YES");
  EXPECT_EQ(reader->ReadLine(1000), "");
  EXPECT_EQ(reader->ReadLine(16), std::string(16, 'b'));
  EXPECT_EQ(reader->ReadLine(1000), "last");
  EXPECT_TRUE(reader->AtEndOfStream());
  EXPECT_THROW(reader->ReadLine(1000), Error);
  EXPECT_THROW(fs.OpenTextFileForReading(P("none")), Error);
  EXPECT_FALSE(fs.FileExists(P("none")));  // reading never creates
}

TEST_F(PosixFileSystemTest, CopyReplacesTheDestinationAndKeepsTheSource) {
  WriteFile(folder / "out", "tagged copy");
  WriteFile(folder / "msg", "the original message, longer than the copy");
  fs.CopyFile(P("out"), P("msg"));
  EXPECT_EQ(ReadFile(folder / "msg"), "tagged copy");
  EXPECT_EQ(ReadFile(folder / "out"), "tagged copy");
  EXPECT_THROW(fs.CopyFile(P("none"), P("msg")), Error);
  EXPECT_THROW(fs.CopyFile(P("out"), P("nofolder\\x")), Error);
  EXPECT_THROW(fs.CopyFile(P("out"), P("out")), Error);
  EXPECT_EQ(ReadFile(folder / "out"), "tagged copy");
}

TEST_F(PosixFileSystemTest, ReadOnlyFilesCannotBeDeletedOrCopiedOntoEvenByRoot) {
  WriteFile(folder / "ro", "kept");
  WriteFile(folder / "src", "new");
  SetReadOnly(folder / "ro", true);
  EXPECT_THROW(fs.DeleteFile(P("ro")), Error);
  EXPECT_THROW(fs.CopyFile(P("src"), P("ro")), Error);
  EXPECT_EQ(ReadFile(folder / "ro"), "kept");
  // A copy of a read-only file is read-only, as a Windows copy keeps the attribute.
  fs.CopyFile(P("ro"), P("copy"));
  EXPECT_THROW(fs.DeleteFile(P("copy")), Error);
  SetReadOnly(folder / "ro", false);
  fs.DeleteFile(P("ro"));
  EXPECT_FALSE(Exists(folder / "ro"));
  EXPECT_THROW(fs.DeleteFile(P("ro")), Error);
  MakeFolders(folder / "dir");
  EXPECT_THROW(fs.DeleteFile(P("dir")), Error);
}

TEST_F(PosixFileSystemTest, ErrorsNameTheFileAndTheReason) {
  try {
    fs.DeleteFile(P("none"));
    ADD_FAILURE();
  } catch (const Error& error) {
    EXPECT_NE(error.Description().find("none"), std::string::npos);
    EXPECT_NE(error.Description().find("No such file"), std::string::npos);
    EXPECT_NE(error.Number(), 0);
  }
}

}  // namespace
}  // namespace saplugin
