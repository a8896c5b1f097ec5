#include <gtest/gtest.h>

#include "store/sha256.h"

namespace saplugin {
namespace {

// The standard's known answers (and the padding's edges), fed whole and in pieces of every size up to
// a block and a half, so that a wrong constant, round or padding shows.
TEST(Sha256, GivesTheStandardsKnownAnswersHoweverTheBytesArriveInPieces) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Either side of where the length no longer fits the last block.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {std::string(120, 'a'), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
  };
  for (const auto& [bytes, digest] : cases) {
    for (std::size_t piece : {bytes.size() + 1, std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{97}}) {
      if (bytes.size() > 100000 && piece < 63) continue;
      Sha256 sha;
      for (std::size_t at = 0; at < bytes.size(); at += piece) sha.Update(bytes.data() + at, std::min(piece, bytes.size() - at));
      EXPECT_EQ(sha.HexDigest(), digest) << bytes.size() << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace saplugin
