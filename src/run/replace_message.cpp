#include "run/replace_message.h"

#include <cstring>
#include <vector>

namespace saplugin {

const char* const kSpamFlagLine = "X-Spam-Flag: YES";

namespace {

constexpr std::size_t kCopyBlock = 64 * 1024;

// Copies source into the new file at destination, the flag line put on top
// of the header section: before the first byte, or after the first line
// when that is an mbox separator. The line break is the first line's (CR LF
// when the first block holds no line end).
void CopyMarked(FileSystem& fs, const std::string& source, const std::string& destination) {
  auto writer = fs.CreateNewTextFile(destination);
  if (!writer) throw Error(kErrorFileExists, "ReplaceMessage", "Could not create " + destination + ": it exists");
  auto reader = fs.OpenTextFileForReading(source);
  std::vector<char> block(kCopyBlock);
  std::size_t size = reader->Read(block.data(), block.size());
  const char* const end_of_line = static_cast<const char*>(std::memchr(block.data(), '\n', size));
  const bool lf_alone = end_of_line != nullptr && (end_of_line == block.data() || end_of_line[-1] != '\r');
  const std::string flag = kSpamFlagLine + std::string(lf_alone ? "\n" : "\r\n");
  bool after_first_line = size >= 5 && std::memcmp(block.data(), "From ", 5) == 0;
  bool written = false;
  while (size > 0) {
    std::size_t at = 0;
    if (!written && after_first_line) {
      const char* lf = static_cast<const char*>(std::memchr(block.data(), '\n', size));
      at = lf == nullptr ? size : static_cast<std::size_t>(lf - block.data()) + 1;
      written = lf != nullptr;
      writer->Write(block.data(), at);
      if (written) writer->Write(flag.data(), flag.size());
    } else if (!written) {
      writer->Write(flag.data(), flag.size());
      written = true;
    }
    writer->Write(block.data() + at, size - at);
    size = reader->Read(block.data(), block.size());
  }
  reader->Close();
  writer->Close();
}

}  // namespace

bool ReplaceMessage(FileSystem& fs, const std::string& source, const std::string& message_file,
                    const std::string& run_name, bool mark_spam) {
  // Moving copies nothing, however large the message.
  if (!mark_spam && fs.MoveOver(source, message_file)) return true;
  const std::string temporary = message_file + "." + run_name + ".tmp";
  try {
    if (mark_spam) {
      CopyMarked(fs, source, temporary);
    } else {
      fs.CopyFile(source, temporary);
    }
    // Beside the message, on its volume: this move cannot need a copy. It
    // flushes the copy before the copy takes the message's place.
    if (!fs.MoveOver(temporary, message_file)) {
      throw Error(kErrorInvalidArgument, "ReplaceMessage", "Could not move " + temporary + " over " + message_file);
    }
    return false;
  } catch (const Error&) {
    // The error that matters is the one above; a copy that cannot be removed
    // either is left for the operator, beside the intact message.
    if (fs.FileExists(temporary)) {
      try {
        fs.DeleteFile(temporary);
      } catch (const Error&) {
      }
    }
    throw;
  }
}

}  // namespace saplugin
