#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace saplugin {

// SHA-256 over bytes fed in pieces, so that a message is hashed as it streams.
class Sha256 {
 public:
  Sha256();
  void Update(const char* data, std::size_t size);
  // The digest as 64 lower-case hexadecimal digits; the object is spent.
  std::string HexDigest();

 private:
  void Block(const std::uint8_t* block);
  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pending_size_ = 0;
  std::uint64_t length_ = 0;
};

// HMAC-SHA-256 (RFC 2104) of the message under the key: 32 bytes.
std::string HmacSha256(const std::string& key, const std::string& message);

// The SHA-256 of a file's bytes, read in blocks. Throws Error when it cannot be read.
std::string FileSha256(FileSystem& fs, const std::string& path);

}  // namespace saplugin
