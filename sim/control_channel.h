// ControlChannel: the simulator's run-time control for programs outside the process (the zelsim
// executable's --control PATH). A Unix stream socket at PATH accepts any number of clients; each
// sends JSON lines and gets one JSON line back per line (Simulator::ApplyControl).
//
// Thread contract: Start and Stop from the controlling thread; the channel's own thread serves
// the clients. The Simulator must outlive the channel.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "platform/status.h"
#include "sim/simulator.h"

namespace zel::sim {

class ControlChannel {
 public:
  explicit ControlChannel(Simulator* simulator) : simulator_(simulator) {}
  ~ControlChannel() { Stop(); }
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  // Listens at path (a stale socket file there is replaced). The system error on failure.
  HRESULT Start(const std::string& path);
  // Closes every connection and removes the socket file.
  void Stop();

 private:
  void Run();

  Simulator* simulator_;
  std::string path_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace zel::sim
