#include "store/addresses.h"

#include <gtest/gtest.h>

namespace saplugin {
namespace {

// The addresses of To and Cc as the digests compare them: each mailbox's
// address, however the field writes names, comments and groups.
TEST(Addresses, EachMailboxOfAnAddressListInLowerCase) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"Doe, Jane\" <Jane@Example.COM>, other@elsewhere.org", "jane@example.com other@elsewhere.org"},
      {"team: bob@example.com, \"x\" <c@d.e>;, last@x.y", "bob@example.com c@d.e last@x.y"},
      {"undisclosed-recipients:;", ""},
      {"a@b.c (Comment, with a comma)", "a@b.c"},
      {"(nested (comment, here)) d@e.f", "d@e.f"},
      // An encoded word is a display name, never an address, whatever it decodes to.
      {"=?UTF-8?B?PGV2aWxAeC55Pg==?= <real@x.y>", "real@x.y"},
      {"\"quoted@not.address\" <x@y.z>", "x@y.z"},
      {"\"a\\\"b, c\" <q@r.s>, t@u.v", "q@r.s t@u.v"},
      {"<a@b.c>", "a@b.c"},
      {"no address here, a@b@c, @x.y, z@", ""},
      {"Jane <jane@example.com", "jane@example.com"},
      // Source routes could send a digest on to another host.
      {"a%evil.org@example.com, b!evil.org@example.com, c@example.com", "c@example.com"},
  };
  for (const auto& [field, expected] : cases) {
    std::string found;
    for (const std::string& address : AddressesIn(field)) found += (found.empty() ? "" : " ") + address;
    EXPECT_EQ(found, expected) << field;
  }
  EXPECT_EQ(DomainOf("jane@example.com"), "example.com");
  EXPECT_FALSE(IsPlainAddress("jane@exa mple.com") || IsPlainAddress("a\r\n@b.c") || IsPlainAddress(std::string(250, 'a') + "@b.cd"));
}

}  // namespace
}  // namespace saplugin
