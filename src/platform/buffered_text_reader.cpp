#include "platform/buffered_text_reader.h"

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
  std::size_t length = 0;  // the whole line's length, kept part or not
  while (Fill()) {
    const char c = buffer_[position_++];
    if (c == '\n') {
      // CR LF: the CR belongs to the line break, when it was kept.
      if (length <= max_length && !line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (line.size() < max_length) line.push_back(c);
    ++length;
  }
  return line;
}

}  // namespace saplugin
