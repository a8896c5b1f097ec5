#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace saplugin {

// The addresses of an address-list header field (To, Cc; RFC 5322) in lower
// case, as they are compared: each mailbox's address, whether it stands
// alone or in angle brackets after a display name; quoted strings, comments
// and groups read as the standard has them. What is no address (a group
// with no member, a word without "@") is passed over; with unreadable, the
// mailboxes passed over that were not blank are counted there.
std::vector<std::string> AddressesIn(const std::string& field, std::size_t* unreadable = nullptr);

// The domain of an address, after its last "@"; empty when it has none.
std::string DomainOf(const std::string& address);

// Whether the text can stand as an address in an SMTP command and a header
// field: local@domain, printable ASCII without blanks, quotes, brackets or
// commas, at most 254 characters; without "%" and "!", the old source
// routes, which some servers still follow to another host.
bool IsPlainAddress(const std::string& text);

}  // namespace saplugin
