#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace saplugin {

// The line splitting of a TextReader over any source of bytes: a platform
// supplies only the reading of the next block.
class BufferedTextReader : public TextReader {
 public:
  explicit BufferedTextReader(std::string path) : path_(std::move(path)), buffer_(64 * 1024) {}

  bool AtEndOfStream() override { return !Fill(); }
  std::string ReadLine(std::size_t max_length) override;
  std::size_t Read(char* data, std::size_t size) override;
  void Close() override {
    if (open_) CloseSource();
    open_ = false;
  }

 protected:
  // Reads the next bytes into data; 0 at the end. Throws Error on failure.
  virtual std::size_t ReadBlock(char* data, std::size_t size) = 0;
  // Releases the source; called once, by the first Close.
  virtual void CloseSource() = 0;
  const std::string& Path() const { return path_; }

 private:
  // True when at least one unread byte is in the buffer.
  bool Fill();

  std::string path_;
  bool open_ = true;
  std::vector<char> buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace saplugin
