#pragma once

#include <string>

namespace saplugin {

// The tests' two messages: a clean one, and spam that holds the GTUBE test string.
inline const std::string kHam = "From: Alice <alice@example.com>\r\nSubject: Lunch\r\n\r\nLunch at: noon.\r\n";
inline const std::string kSpam = "From: s@example.net\r\nSubject: Offer\r\n\r\nBuy now. "
                                 "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X\r\n";

}  // namespace saplugin
