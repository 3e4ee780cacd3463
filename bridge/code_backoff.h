// CodeBackoff: makes wrong controller codes expensive. Each wrong code (or refused login) from
// one identity doubles the time before that identity's next code is even tried: 1 s after the
// first, then 2, 4, ... up to 60 s. A right code clears the count. Times run on the process
// clock (platform/clock.h), so tests drive them without sleeping.
//
// Thread contract: every member may be called from any thread; mu_ guards the table. The table
// forgets identities whose back-off has long passed, so it stays small.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include "platform/clock.h"
#include "platform/sync.h"

namespace zel::bridge {

class CodeBackoff {
 public:
  static constexpr Millis kFirst{1000};
  static constexpr Millis kLongest{60000};

  // How much longer (a production duration, rounded up to whole milliseconds) the identity must
  // wait before its next code is tried; zero when it may try now.
  Millis Remaining(const std::string& identity);
  // Records a wrong code; returns the back-off that now applies to the identity.
  Millis Wrong(const std::string& identity);
  // Records a right code: the identity starts afresh.
  void Right(const std::string& identity);

 private:
  struct Entry {
    unsigned wrong = 0;
    std::chrono::steady_clock::time_point until;
  };
  void Prune(std::chrono::steady_clock::time_point now) ZEL_REQUIRES(mu_);

  Mutex mu_;
  std::map<std::string, Entry> entries_ ZEL_GUARDED_BY(mu_);
};

}  // namespace zel::bridge
