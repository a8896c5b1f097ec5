#pragma once

// The end of one wait of the connection calls, shared by the platform layers:
// every retry within a call waits only for what is left of it.

#include <algorithm>
#include <chrono>
#include <limits>

#include "platform/platform.h"

namespace saplugin {

class WaitEnd {
 public:
  explicit WaitEnd(Milliseconds timeout)
      : limited_(timeout != kNoTimeLimit),
        end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(limited_ ? timeout : 0)) {}
  // What is left in milliseconds: -1 without a limit, else 0 to INT_MAX (a
  // longer wait is made of several), so that no system call's time wraps.
  int Left() const {
    if (!limited_) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
  }
  bool Passed() const { return limited_ && std::chrono::steady_clock::now() >= end_; }

 private:
  bool limited_;
  std::chrono::steady_clock::time_point end_;
};

}  // namespace saplugin
