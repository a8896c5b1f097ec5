#include "quarantine/digest_message.h"

#include <cstdio>

#include "platform/text.h"
#include "store/release_token.h"
#include "store/scan_log.h"
#include "store/sha256.h"

namespace saplugin {

namespace {

// The days a digest's seal passes it through the runs.
constexpr std::int64_t kSealDays = 7;

// The longest sender and subject a digest shows of a message.
constexpr std::size_t kShownLength = 200;

std::string Shown(const std::string& text) { return CutAtCharacter(DisplayText(text), kShownLength); }

std::string Size(std::int64_t bytes) {
  return bytes < 1024 ? std::to_string(bytes) + " bytes" : std::to_string((bytes + 1023) / 1024) + " KB";
}

std::string When(std::time_t moment) {
  const std::string stamp = ToLocalTime(moment).stamp;
  return stamp.substr(0, 10) + " " + stamp.substr(11, 5);
}

std::string Count(std::size_t n) { return std::to_string(n) + (n == 1 ? " message" : " messages"); }

// What a digest that lists the most it may says of the messages it leaves out.
std::string OlderNote(const DigestHeader& header) {
  if (header.older == 0) return "";
  return "\r\n" + std::to_string(header.older) + (header.older == 1 ? " older message is" : " older messages are") +
         " not listed here: your administrator can release " + (header.older == 1 ? "it" : "them") + ".\r\n";
}

std::string TextPart(const DigestHeader& header, const std::vector<DigestItem>& items) {
  std::string text = "Quarantined mail for " + header.to + ": " + Count(items.size() + header.older) + ".\r\n\r\n"
                     "These messages were held as spam and not delivered to you. To have one\r\n"
                     "delivered, reply to " + header.from + " with the subject given for it.\r\n";
  for (const DigestItem& item : items) {
    text += "\r\n" + When(item.quarantined) + "   score " + Shown(item.score) + "   " + Size(item.size) + "\r\n" +
            "From:    " + Shown(item.from) + "\r\nSubject: " + Shown(item.subject) + "\r\n" +
            "To release it, reply with the subject: Release " + item.token + "\r\n";
  }
  return text + OlderNote(header);
}

std::string HtmlPart(const DigestHeader& header, const std::vector<DigestItem>& items) {
  std::string html = "<!DOCTYPE html>\r\n<html><head><meta charset=\"utf-8\"><title>Quarantined mail</title></head><body>\r\n"
                     "<p>Quarantined mail for " + EscapeHtml(header.to) + ": " + Count(items.size() + header.older) + ". These messages were held as spam "
                     "and not delivered to you. To have one delivered, choose Release and send the reply.</p>\r\n"
                     "<table border=\"1\" cellpadding=\"4\">\r\n<tr><th>Time</th><th>From</th><th>Subject</th><th>Score</th><th>Size</th><th></th></tr>\r\n";
  for (const DigestItem& item : items) {
    html += "<tr><td>" + EscapeHtml(When(item.quarantined)) + "</td><td>" + EscapeHtml(Shown(item.from)) + "</td><td>" +
            EscapeHtml(Shown(item.subject)) + "</td><td>" + EscapeHtml(Shown(item.score)) + "</td><td>" + Size(item.size) +
            "</td><td><a href=\"" + EscapeHtml(ReleaseLink(header.from, item.token)) + "\">Release</a></td></tr>\r\n";
  }
  const std::string older = OlderNote(header);
  return html + "</table>\r\n" + (older.empty() ? "" : "<p>" + EscapeHtml(older.substr(2, older.size() - 4)) + "</p>\r\n") + "</body></html>\r\n";
}

}  // namespace

std::string ReleaseLink(const std::string& digest_from, const std::string& token) { return "mailto:" + digest_from + "?subject=Release%20" + token; }

std::string MailDate(std::time_t moment) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::tm local = *std::localtime(&moment);
  const std::string stamp = ToLocalTime(moment).stamp;  // ends with the offset, "+01:00"
  const std::string offset = stamp.substr(stamp.size() - 6, 3) + stamp.substr(stamp.size() - 2);
  char date[64];
  std::snprintf(date, sizeof date, "%s, %02d %s %d %02d:%02d:%02d %s", kDays[local.tm_wday], local.tm_mday, kMonths[local.tm_mon],
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, offset.c_str());
  return date;
}

std::string QuotedPrintable(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded, line;
  const auto flush = [&](bool hard) {
    // A blank at the end of a line would be lost on the way.
    if (hard && !line.empty() && (line.back() == ' ' || line.back() == '\t')) {
      const char c = line.back();
      line.pop_back();
      line += std::string("=") + kHex[c >> 4] + kHex[c & 0xF];
    }
    encoded += line + (hard ? "\r\n" : "=\r\n");
    line.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      flush(true);
      ++i;
      continue;
    }
    const std::string piece = (c >= 33 && c <= 126 && c != '=') || c == ' ' ? std::string(1, static_cast<char>(c))
                                                                             : std::string("=") + kHex[c >> 4] + kHex[c & 0xF];
    if (line.size() + piece.size() > 75) flush(false);
    line += piece;
  }
  if (!line.empty()) flush(true);
  return encoded;
}

std::string Base64Lines(const std::string& bytes) {
  const std::string text = EncodeBase64(bytes, false);
  std::string lines;
  for (std::size_t at = 0; at < text.size(); at += 76) lines += text.substr(at, 76) + "\r\n";
  return lines;
}

std::string DigestMessage(const DigestHeader& header, const std::vector<DigestItem>& items) {
  const std::string boundary = "=_digest_" + header.message_id.substr(0, header.message_id.find('@'));
  const std::string body = "--" + boundary + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
                           QuotedPrintable(TextPart(header, items)) + "--" + boundary + "\r\n" +
                           "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Base64Lines(HtmlPart(header, items)) +
                           "--" + boundary + "--\r\n";
  // The fields in kSealedFields' order.
  const std::pair<const char*, std::string> fields[] = {{"Date", MailDate(header.date)},
                                                        {"From", "<" + header.from + ">"},
                                                        {"To", "<" + header.to + ">"},
                                                        {"Subject", "Quarantined mail: " + Count(items.size() + header.older) + " held for you"},
                                                        {"Message-ID", "<" + header.message_id + ">"},
                                                        {"MIME-Version", "1.0"},
                                                        {"Auto-Submitted", "auto-generated"},
                                                        {"Content-Type", "multipart/alternative; boundary=\"" + boundary + "\""}};
  std::string head, sealed;
  for (const auto& [name, value] : fields) {
    head += std::string(name) + ": " + value + "\r\n";
    sealed += LowerCase(name) + ":" + value + "\n";
  }
  if (!header.key.empty()) {
    // The runs pass the digest on its way to the recipient by this seal: its
    // spam subjects would have it quarantined. It holds for a week.
    Sha256 digest;
    digest.Update(body.data(), body.size());
    head += "X-Quarantine-Digest: " + DigestSeal(header.key, header.date + kSealDays * 86400, sealed, digest.HexDigest()) + "\r\n";
  }
  return head + "\r\n" + body;
}

}  // namespace saplugin
