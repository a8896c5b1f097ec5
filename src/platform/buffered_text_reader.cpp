#include "platform/buffered_text_reader.h"

#include <algorithm>
#include <cstring>

namespace saplugin {

bool BufferedTextReader::Fill() {
  if (position_ < filled_) return true;
  if (!open_) return false;
  position_ = 0;
  filled_ = ReadBlock(buffer_.data(), buffer_.size());
  return filled_ > 0;
}

std::string BufferedTextReader::ReadLine(std::size_t max_length) {
  if (!Fill()) throw Error(62, "saplugin", "Could not read past the end of \"" + path_ + "\"");
  std::string line;
  bool cut = false;  // part of the line was skipped
  while (Fill()) {
    const char* start = buffer_.data() + position_;
    const std::size_t available = filled_ - position_;
    const void* found = std::memchr(start, '\n', available);
    const std::size_t length = found != nullptr ? static_cast<const char*>(found) - start : available;
    const std::size_t room = max_length - line.size();
    line.append(start, length < room ? length : room);
    cut = cut || length > room;
    position_ += length;
    if (found != nullptr) {
      ++position_;
      // CR LF: the CR belongs to the line break, when it was kept.
      if (!cut && !line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
  }
  return line;
}

std::size_t BufferedTextReader::Read(char* data, std::size_t size) {
  // What the buffer still holds first; then straight from the source.
  if (position_ < filled_) {
    const std::size_t count = std::min(size, filled_ - position_);
    std::memcpy(data, buffer_.data() + position_, count);
    position_ += count;
    return count;
  }
  return open_ ? ReadBlock(data, size) : 0;
}

}  // namespace saplugin
