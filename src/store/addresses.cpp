#include "store/addresses.h"

#include "platform/text.h"

namespace saplugin {

namespace {

// An address as the list's reader found it, in lower case, if it is one;
// else, when it is not blank, one more mailbox that cannot be read.
void Keep(std::string address, std::vector<std::string>& addresses, std::size_t& unreadable) {
  address = LowerCase(Trim(address, " \t"));
  if (IsPlainAddress(address)) {
    addresses.push_back(address);
  } else if (!address.empty()) {
    ++unreadable;
  }
}

}  // namespace

std::vector<std::string> AddressesIn(const std::string& field, std::size_t* unreadable) {
  std::vector<std::string> addresses;
  std::size_t unread = 0;
  std::string words, angle;  // the mailbox's text outside and inside angle brackets
  bool in_angle = false, had_angle = false, twice = false;  // twice: a mailbox of two addresses in brackets, no one's
  const auto end_mailbox = [&] {
    if (twice) {
      ++unread;
    } else {
      Keep(had_angle ? angle : words, addresses, unread);
    }
    words.clear();
    angle.clear();
    in_angle = had_angle = twice = false;
  };
  for (std::size_t i = 0; i < field.size(); ++i) {
    const char c = field[i];
    if (c == '"') {
      // A quoted string: a display name, or the quoted local part of an address.
      std::string quoted = "\"";
      for (++i; i < field.size() && field[i] != '"'; ++i) {
        if (field[i] == '\\' && i + 1 < field.size()) ++i;
        quoted += field[i];
      }
      (in_angle ? angle : words) += quoted + "\"";
    } else if (c == '(') {
      int depth = 1;  // comments nest
      for (++i; i < field.size() && depth > 0; ++i) {
        if (field[i] == '\\') ++i;
        else if (field[i] == '(') ++depth;
        else if (field[i] == ')') --depth;
      }
      --i;
    } else if (c == '<' && !in_angle) {
      twice = twice || had_angle;
      in_angle = had_angle = true;
      angle.clear();
    } else if (c == '>' && in_angle) {
      in_angle = false;
    } else if (c == ':' && !in_angle) {
      words.clear();  // a group's name
    } else if ((c == ',' || c == ';') && !in_angle) {
      end_mailbox();
    } else {
      (in_angle ? angle : words) += c;
    }
  }
  end_mailbox();
  if (unreadable != nullptr) *unreadable = unread;
  return addresses;
}

std::string DomainOf(const std::string& address) {
  const std::size_t at = address.rfind('@');
  return at == std::string::npos ? "" : address.substr(at + 1);
}

bool IsPlainAddress(const std::string& text) {
  const std::size_t at = text.rfind('@');
  if (at == 0 || at == std::string::npos || at + 1 >= text.size() || text.size() > 254) return false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || std::string("\"<>(),;:[]\\%!").find(c) != std::string::npos) return false;
  }
  return text.find('@') == at;
}

}  // namespace saplugin
