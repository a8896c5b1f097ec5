#pragma once

#include <string>

namespace saplugin {

// A header field's text as a person reads it: its encoded words (RFC 2047,
// "=?charset?B?...?=" and "=?charset?Q?...?=", in UTF-8, ISO-8859-1,
// ISO-8859-15, Windows-1252 or US-ASCII) decoded, the blanks between two
// encoded words dropped, and the whole as valid UTF-8 without control
// characters (bytes that are not UTF-8 taken for Windows-1252). An encoded
// word that cannot be decoded stays as it was written.
std::string DecodeEncodedWords(const std::string& text);

}  // namespace saplugin
