#pragma once

#include <string>

#include "platform/error.h"
#include "platform/windows/windows_api.h"

namespace saplugin {

// The one translator of this layer: a GetLastError() code into the thrown
// Error, its description being the context followed by the system's message.
Error WindowsError(const std::string& context, DWORD code);

std::string Quoted(const std::string& path);

// Owns one kernel handle and closes it on destruction.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  // Gives up ownership without closing.
  HANDLE Release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
  // Closes now; answers false when CloseHandle failed.
  bool Reset() {
    bool closed = true;
    if (Valid()) closed = CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

}  // namespace saplugin
