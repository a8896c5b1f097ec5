#include "store/sha256.h"

#include <vector>

namespace saplugin {

namespace {

constexpr std::uint32_t kRounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be,
    0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa,
    0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85,
    0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3,
    0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f,
    0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t Rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::Block(const std::uint8_t* block) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 | std::uint32_t{block[4 * i + 2]} << 8 | block[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) + kRounds[i] + w[i];
    const std::uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const std::uint32_t add[8] = {a, b, c, d, e, f, g, h};
  for (int i = 0; i < 8; ++i) state_[i] += add[i];
}

void Sha256::Update(const char* data, std::size_t size) {
  length_ += size;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  while (size > 0) {
    if (pending_size_ == 0 && size >= 64) {
      Block(bytes);
      bytes += 64;
      size -= 64;
      continue;
    }
    const std::size_t take = std::min(size, 64 - pending_size_);
    std::copy(bytes, bytes + take, pending_.begin() + static_cast<std::ptrdiff_t>(pending_size_));
    pending_size_ += take;
    bytes += take;
    size -= take;
    if (pending_size_ == 64) {
      Block(pending_.data());
      pending_size_ = 0;
    }
  }
}

std::string Sha256::HexDigest() {
  const std::uint64_t bits = length_ * 8;
  const char one = static_cast<char>(0x80), zero = 0;
  Update(&one, 1);
  while (pending_size_ != 56) Update(&zero, 1);
  char tail[8];
  for (int i = 0; i < 8; ++i) tail[i] = static_cast<char>(bits >> (56 - 8 * i));
  Update(tail, 8);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint32_t word : state_) {
    for (int shift = 28; shift >= 0; shift -= 4) hex += kDigits[(word >> shift) & 0xF];
  }
  return hex;
}

namespace {

std::string RawDigest(Sha256& hash) {
  const std::string hex = hash.HexDigest();
  std::string raw;
  for (std::size_t i = 0; i < hex.size(); i += 2) raw += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return raw;
}

}  // namespace

std::string HmacSha256(const std::string& key, const std::string& message) {
  std::string block = key;
  if (block.size() > 64) {
    Sha256 long_key;
    long_key.Update(key.data(), key.size());
    block = RawDigest(long_key);
  }
  block.resize(64, '\0');
  std::string inner_pad = block, outer_pad = block;
  for (char& c : inner_pad) c = static_cast<char>(c ^ 0x36);
  for (char& c : outer_pad) c = static_cast<char>(c ^ 0x5c);
  Sha256 inner;
  inner.Update(inner_pad.data(), inner_pad.size());
  inner.Update(message.data(), message.size());
  const std::string inner_digest = RawDigest(inner);
  Sha256 outer;
  outer.Update(outer_pad.data(), outer_pad.size());
  outer.Update(inner_digest.data(), inner_digest.size());
  return RawDigest(outer);
}

std::string FileSha256(FileSystem& fs, const std::string& path) {
  auto reader = fs.OpenTextFileForReading(path);
  std::vector<char> block(256 * 1024);
  Sha256 hash;
  for (std::size_t got; (got = reader->Read(block.data(), block.size())) > 0;) hash.Update(block.data(), got);
  reader->Close();
  return hash.HexDigest();
}

}  // namespace saplugin
