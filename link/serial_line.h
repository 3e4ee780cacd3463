// SerialLine: the operating-system side of the serial transport. Opens a serial device
// exclusively in raw 8N1 mode, writes whole requests and reads chunks of a reply, waking on data
// with poll(). All waits are production durations scaled through Clock, so tests run the 3000 ms
// read time-out in milliseconds. A wake descriptor (SetWakeFd) lets another thread cut any wait
// short.
//
// Thread contract: not synchronised. The serial transport calls it under its request lock only,
// so at most one read and one write are in flight.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/status.h"

namespace zel {

// The termios speed for a line rate in bits per second; E_COMM_BAD_BAUD_RATE for 0 and for
// rates the platform has no speed constant for.
HRESULT SpeedForBaudRate(uint32_t baud_rate, speed_t* speed);

class SerialLine {
 public:
  SerialLine() = default;
  ~SerialLine() { (void)Close(); }
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // Opens and sets up the device. Missing device: E_COMM_PORT_NOT_FOUND; held by another
  // opener or not permitted: E_COMM_PORT_ACCESS_DENIED; bad rate: E_COMM_BAD_BAUD_RATE; any other
  // failure: the system error. On failure nothing stays open.
  HRESULT Open(const std::string& device, uint32_t baud_rate);
  // Closes the device. S_FALSE when it was not open.
  HRESULT Close();
  bool is_open() const { return fd_ >= 0; }

  // Discards what is queued in both directions.
  HRESULT Purge();
  // Discards what waits in the input (a reply that came after its request's time-out): flushes
  // the input queue, then reads without waiting whatever is still arriving. *discarded counts
  // the bytes dropped.
  HRESULT DiscardInput(uint32_t* discarded);
  // A descriptor every wait below also watches (an eventfd): while it is readable, a wait ends
  // at once with E_ABORT. -1: none.
  void SetWakeFd(int wake_fd) { wake_fd_ = wake_fd; }

  // Writes all bytes, waiting for room in the output queue at most `timeout` (production time).
  // E_COMM_TIMEOUT when the time runs out first.
  HRESULT Write(const uint8_t* bytes, uint32_t count, Millis timeout);
  // Reads at least one and at most `wanted` bytes: what is waiting, or the first bytes to arrive
  // within `timeout` (production time). E_COMM_TIMEOUT when nothing arrives; E_COMM_SHORT_READ
  // when the line reports readable but delivers nothing (the other end hung up); E_FAIL when the
  // wait itself fails; other read errors as system errors.
  HRESULT ReadChunk(uint8_t* buffer, uint32_t wanted, uint32_t* got, Millis timeout);

 private:
  HRESULT Configure(uint32_t baud_rate);
  uint32_t BytesWaiting() const;

  int fd_ = -1;
  int wake_fd_ = -1;
};

}  // namespace zel
