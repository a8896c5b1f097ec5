#pragma once

#include <stdexcept>
#include <string>

namespace saplugin {

// The one error type of the program. Every failing operation throws it; Main's
// trap turns its description into an event-log entry.
class Error : public std::runtime_error {
 public:
  Error(long number, std::string source, std::string description)
      : std::runtime_error(description),
        number_(number),
        source_(std::move(source)),
        description_(std::move(description)) {}

  long Number() const { return number_; }
  const std::string& Source() const { return source_; }
  const std::string& Description() const { return description_; }

 private:
  long number_;
  std::string source_;
  std::string description_;
};

// Error numbers that the core raises itself (the platform layers raise the
// operating system's own numbers).
enum ErrorNumber : long {
  kErrorOverflow = 6,
  kErrorSubscriptOutOfRange = 9,
  kErrorTypeMismatch = 13,
  kErrorInvalidArgument = 5,
  kErrorBadFileName = 52,  // a name that can name no file of its kind (a quarantine id of the wrong form)
  kErrorFileNotFound = 53,
  kErrorFileExists = 58,
  kErrorInUse = 70,
  kErrorQuarantinePath = 20001,
  kErrorSpamdRefused = 20002,  // a spamd host answered with a status other than 0 (EX_OK)
};

}  // namespace saplugin
