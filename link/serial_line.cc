#include "link/serial_line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

namespace zel {
namespace {

struct RateSpeed {
  uint32_t rate;
  speed_t speed;
};

constexpr std::array<RateSpeed, 30> kRates = {{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

using SteadyTime = std::chrono::steady_clock::time_point;

SteadyTime DeadlineAfter(Millis production) {
  return std::chrono::steady_clock::now() + Clock::Get()->Scaled(production);
}

// Milliseconds left until the deadline, rounded up so a wait never ends early; 0 when past.
int MillisLeft(SteadyTime deadline) {
  auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<int64_t>(ms, 1 << 30));
}

// Waits for `events` on fd until the deadline, or until wake_fd (when not -1) is readable:
// 1 ready, 0 timed out, 2 woken, -1 failed (errno set).
constexpr int kWoken = 2;
int WaitFor(int fd, short events, SteadyTime deadline, int wake_fd) {
  for (;;) {
    std::array<pollfd, 2> p = {pollfd{fd, events, 0}, pollfd{wake_fd, POLLIN, 0}};
    int n = poll(p.data(), wake_fd >= 0 ? 2 : 1, MillisLeft(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n > 0 && wake_fd >= 0 && (p[1].revents & POLLIN)) return kWoken;
    if (n > 0 && (p[0].revents & POLLNVAL)) {
      errno = EBADF;
      return -1;
    }
    return n > 0 ? 1 : n;
  }
}

}  // namespace

HRESULT SpeedForBaudRate(uint32_t baud_rate, speed_t* speed) {
  for (const RateSpeed& r : kRates) {
    if (r.rate == baud_rate) {
      *speed = r.speed;
      return S_OK;
    }
  }
  return E_COMM_BAD_BAUD_RATE;
}

HRESULT SerialLine::Open(const std::string& device, uint32_t baud_rate) {
  if (fd_ >= 0) return S_OK;  // already open: the open device is kept
  speed_t speed;
  ZEL_TRY(SpeedForBaudRate(baud_rate, &speed));
  // O_RDWR: requests go out and replies come in on one descriptor.
  // O_NOCTTY: the line must never become this process's controlling terminal.
  // O_NONBLOCK: open does not wait for carrier, and reads and writes never block: every wait is
  // a poll() with a time-out.
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT || err == ENXIO || err == ENODEV) return E_COMM_PORT_NOT_FOUND;
    if (err == EACCES || err == EPERM || err == EBUSY) return E_COMM_PORT_ACCESS_DENIED;
    return HresultFromErrno(err);
  }
  // TIOCEXCL refuses further opens of the tty by other programs, but not by root; the advisory
  // lock also keeps out a second opener running as root (and every other instance of this one).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    close(fd);
    return err == EWOULDBLOCK ? E_COMM_PORT_ACCESS_DENIED : HresultFromErrno(err);
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    int err = errno;
    close(fd);
    return HresultFromErrno(err);
  }
  fd_ = fd;
  HRESULT hr = Configure(baud_rate);
  if (Failed(hr)) {
    (void)Close();
    return hr;
  }
  return S_OK;
}

HRESULT SerialLine::Configure(uint32_t baud_rate) {
  speed_t speed;
  ZEL_TRY(SpeedForBaudRate(baud_rate, &speed));
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return HresultFromErrno(errno);
  // Raw mode: no input processing (no CR/NL translation, no break or parity marking, no
  // stripping of the eighth bit), no output processing, no echo, no canonical lines, no signal
  // characters. Frames are binary and must pass byte for byte.
  cfmakeraw(&t);
  // CS8 with PARENB and CSTOPB clear: 8 data bits, no parity, one stop bit (8N1).
  t.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
  t.c_cflag |= CS8;
  // CLOCAL: ignore the modem status lines (no carrier needed); CREAD: enable the receiver.
  t.c_cflag |= CLOCAL | CREAD;
  // CRTSCTS clear: no hardware flow control; the controller does not drive CTS.
  t.c_cflag &= ~CRTSCTS;
  // IXON/IXOFF/IXANY clear: no software flow control; 0x11 and 0x13 are ordinary frame bytes.
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  // VMIN 0 and VTIME 0: a read returns at once with what is there; poll() does the waiting.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return HresultFromErrno(errno);
  // Purge before the new settings apply, so nothing left from an earlier user is read as a reply.
  if (tcflush(fd_, TCIOFLUSH) != 0) return HresultFromErrno(errno);
  if (tcsetattr(fd_, TCSANOW, &t) != 0) return HresultFromErrno(errno);
  // DTR and RTS held on while the link is open: the controller's interface powers its line
  // driver from them. Lines without modem control (pseudo-terminals, some USB adapters) refuse
  // the request; that is not an error for them.
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd_, TIOCMBIS, &lines) != 0 && errno != EINVAL && errno != ENOTTY && errno != ENOTSUP) {
    return HresultFromErrno(errno);
  }
  return S_OK;
}

HRESULT SerialLine::Close() {
  if (fd_ < 0) return S_FALSE;
  int fd = std::exchange(fd_, -1);
  // Best effort: a line whose other end has gone may refuse the purge; it is closed regardless.
  (void)tcflush(fd, TCIOFLUSH);
  // Lift the exclusive flag so the next opener (this process again, after a settings change) is
  // not refused by a tty that another program still holds open.
  (void)ioctl(fd, TIOCNXCL);
  // close() releases the descriptor (and the advisory lock) even when it reports an error.
  if (close(fd) != 0 && errno != EINTR) return HresultFromErrno(errno);
  return S_OK;
}

HRESULT SerialLine::Purge() {
  if (fd_ < 0) return E_FAIL;
  if (tcflush(fd_, TCIOFLUSH) != 0) return HresultFromErrno(errno);
  return S_OK;
}

HRESULT SerialLine::DiscardInput(uint32_t* discarded) {
  *discarded = 0;
  if (fd_ < 0) return E_FAIL;
  uint32_t waiting = BytesWaiting();
  if (tcflush(fd_, TCIFLUSH) != 0) return HresultFromErrno(errno);
  *discarded = waiting;
  // Bytes that reached the line after the flush. The descriptor never blocks: a read returns
  // at once, with nothing once the input is empty.
  std::array<uint8_t, 256> sink;
  for (;;) {
    ssize_t n = read(fd_, sink.data(), sink.size());
    if (n > 0) {
      *discarded += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return S_OK;
  }
}

uint32_t SerialLine::BytesWaiting() const {
  int waiting = 0;
  if (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
  return static_cast<uint32_t>(waiting);
}

HRESULT SerialLine::Write(const uint8_t* bytes, uint32_t count, Millis timeout) {
  if (fd_ < 0) return E_FAIL;
  SteadyTime deadline = DeadlineAfter(timeout);
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = write(fd_, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return HresultFromErrno(errno);
    int ready = WaitFor(fd_, POLLOUT, deadline, wake_fd_);
    if (ready == kWoken) return E_ABORT;
    if (ready == 0) return E_COMM_TIMEOUT;
    if (ready < 0) return HresultFromErrno(errno);
  }
  return S_OK;
}

HRESULT SerialLine::ReadChunk(uint8_t* buffer, uint32_t wanted, uint32_t* got, Millis timeout) {
  *got = 0;
  if (fd_ < 0) return E_FAIL;
  if (wanted == 0) return S_OK;
  // Bytes already waiting are taken at once, up to `wanted`.
  uint32_t waiting = BytesWaiting();
  if (waiting > 0) {
    ssize_t n = read(fd_, buffer, std::min(wanted, waiting));
    if (n > 0) {
      *got = static_cast<uint32_t>(n);
      return S_OK;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return HresultFromErrno(errno);
  }
  // Otherwise wait for the first byte; the whole wait is bounded by one deadline.
  SteadyTime deadline = DeadlineAfter(timeout);
  for (;;) {
    int ready = WaitFor(fd_, POLLIN, deadline, wake_fd_);
    if (ready == kWoken) return E_ABORT;
    if (ready == 0) return E_COMM_TIMEOUT;
    if (ready < 0) return E_FAIL;
    uint32_t ask = std::min(wanted, std::max<uint32_t>(BytesWaiting(), 1));
    ssize_t n = read(fd_, buffer, ask);
    if (n > 0) {
      *got = static_cast<uint32_t>(n);
      return S_OK;
    }
    if (n == 0) return E_COMM_SHORT_READ;  // readable yet empty: the other end hung up
    if (errno == EAGAIN || errno == EINTR) continue;
    return HresultFromErrno(errno);
  }
}

}  // namespace zel
