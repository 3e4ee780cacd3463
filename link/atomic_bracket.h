// AtomicBracket: holds the transport's request lock for a scope, so a multi-frame exchange (a
// download, a walk, a re-login) cannot be interleaved with another thread's requests.
// BeginAtomicRequest runs in the constructor and EndAtomicRequest in the destructor, on every
// path out of the scope.
//
// Thread contract: one bracket belongs to the thread that made it; the lock is recursive, so a
// bracketed exchange may nest further brackets and atomic requests.
#pragma once

#include "link/comm_handler.h"
#include "platform/sync.h"

namespace zel {

class ZEL_SCOPED_CAPABILITY AtomicBracket {
 public:
  // "*link" must outlive the bracket.
  explicit AtomicBracket(IZelCommHandler* link) ZEL_ACQUIRE(link) : link_(link) {
    (void)link_->BeginAtomicRequest();
  }
  ~AtomicBracket() ZEL_RELEASE() { (void)link_->EndAtomicRequest(); }
  AtomicBracket(const AtomicBracket&) = delete;
  AtomicBracket& operator=(const AtomicBracket&) = delete;

 private:
  IZelCommHandler* link_;
};

}  // namespace zel
