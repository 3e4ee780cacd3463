// Backoff: the pause before the next attempt to reach something that failed: 1 s, then twice
// the last pause up to 30 s; back to 1 s after a success.
//
// Thread contract: used by one thread.
#pragma once

#include <algorithm>

namespace zel::mqtt {

class Backoff {
 public:
  static constexpr int kFirstSeconds = 1;
  static constexpr int kLongestSeconds = 30;

  // The pause after one more failure.
  int Failed() {
    const int pause = next_;
    next_ = std::min(next_ * 2, kLongestSeconds);
    return pause;
  }
  void Succeeded() { next_ = kFirstSeconds; }

 private:
  int next_ = kFirstSeconds;
};

}  // namespace zel::mqtt
