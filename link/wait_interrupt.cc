#include "link/wait_interrupt.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace zel {

WaitInterrupt::WaitInterrupt() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WaitInterrupt::~WaitInterrupt() {
  if (fd_ >= 0) close(fd_);
}

void WaitInterrupt::Interrupt() {
  uint64_t one = 1;
  if (fd_ >= 0) (void)!write(fd_, &one, sizeof one);
}

void WaitInterrupt::Resume() {
  // One read empties the counter, however often Interrupt was called.
  uint64_t count = 0;
  if (fd_ >= 0) (void)!read(fd_, &count, sizeof count);
}

bool WaitInterrupt::interrupted() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace zel
