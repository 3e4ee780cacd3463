// WaitInterrupt: lets one thread cut short the waits another thread runs on a link. It owns an
// eventfd that the link's waits watch beside their own descriptor: Interrupt makes it readable,
// so the wait in progress and every later one end at once, until Resume drains it.
//
// Thread contract: every member may be called from any thread, without the link's lock.
#pragma once

namespace zel {

class WaitInterrupt {
 public:
  WaitInterrupt();
  ~WaitInterrupt();
  WaitInterrupt(const WaitInterrupt&) = delete;
  WaitInterrupt& operator=(const WaitInterrupt&) = delete;

  void Interrupt();
  void Resume();
  bool interrupted() const;
  // The descriptor to poll for POLLIN beside a wait's own; -1 when none could be made (waits are
  // then not interruptible, as before).
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace zel
