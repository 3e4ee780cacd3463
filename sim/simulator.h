// Simulator: plays the controller's side of the serial link over a pseudo-terminal and, when
// asked, of the network link over UDP. The server opens the terminal's device (device_path(), or
// a symbolic link to it) as its serial port, or sends datagrams to udp_port(); the simulator
// reads the request frames, answers each through the handler table (handlers.h), optionally
// misbehaving as told (faults.h), and records every frame it receives. Both links serve the same
// state. The UDP side's session (handshake, encryption, terminate) is in sim/udp_side.cc.
//
// Thread contract: Start, StartUdp and Stop from one controlling thread. The simulator's own
// threads (one per link) read and answer requests, one at a time each. Every other member may be
// called from any thread while it runs: state_, faults_, frames_ and datagrams_ are guarded by
// mu_.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "sim/faults.h"
#include "sim/frames.h"
#include "sim/sim_state.h"

namespace zel::sim {

class Simulator {
 public:
  explicit Simulator(Scenario scenario = Scenario());
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the pseudo-terminal in raw mode and starts answering. The system error on failure.
  HRESULT Start();
  // Also answers datagrams on UDP at address:port (port 0: a free port, see udp_port()). The
  // system error on failure; E_INVALIDARG for an address that is not dotted IPv4.
  HRESULT StartUdp(const std::string& address, uint16_t port);
  // The UDP port answered on (0 before StartUdp).
  uint16_t udp_port() const { return udp_port_; }
  // Stops answering, closes the terminal and the socket and removes the link made by CreateLink.
  void Stop();

  // The terminal device the server opens, e.g. "/dev/pts/7". Empty before Start.
  const std::string& device_path() const { return device_path_; }
  // Places a symbolic link to the device at `path` (an existing link there is replaced), so a
  // device prefix plus a port number reaches the simulator.
  HRESULT CreateLink(const std::string& path);

  // The serial line pulled out and put back. Unplugging closes the terminal: the server's open
  // descriptor hangs up and the device goes once the server lets go of it. Plugging opens a new
  // terminal (a new device path) and points the link made by CreateLink at it. Both run on the
  // simulator's thread between frames; these wait for it (E_FAIL before Start, E_ABORT when it
  // does not come within 5 s).
  HRESULT UnplugSerial();
  HRESULT PlugSerial();

  // Called on the simulator's thread for every frame received, before it is answered.
  // REQUIRES: set before Start.
  void SetFrameObserver(std::function<void(const Bytes&)> observer);

  void InjectFault(Fault fault);
  void ClearFaults();
  // Every frame received since start (or the last clear), in order, bad CRCs included.
  std::vector<Bytes> ReceivedFrames() const;
  void ClearReceivedFrames();
  // Waits (real time) until at least n frames have been received; false on time-out.
  bool WaitForFrames(size_t n, Millis timeout) const;
  std::vector<CommandRecord> Commands() const;
  // Every datagram received on UDP since start (or the last clear of frames), as sent.
  std::vector<Bytes> ReceivedDatagrams() const;
  // The controller forgets its UDP session: it answers nothing but a new handshake.
  void ForgetUdpSession();
  // Runs fn on the state under the state mutex (set-up and assertions in tests).
  void WithState(const std::function<void(SimState&)>& fn);

  // One control line: a JSON object, answered with one JSON line. Understood:
  //   {"fault":"no_reply","count":1} (and the other faults), {"clear":"faults"},
  //   {"clear":"frames"}, {"set":{"probe_ack":true,"access_code":"1234","logged_in":false}},
  //   {"system_events":[1029,"0x0213"]} (queues system event codes),
  //   {"query":"frames"}, {"query":"commands"}, {"query":"state"}; on UDP also
  //   {"fault":"lose_request"}, {"fault":"lose_reply"}, {"fault":"previous_sequence"},
  //   {"fault":"wrong_type"}, {"fault":"stray_sender"},
  //   {"udp":"forget_session"}, {"set":{"private_key":"3C-91-..."}}, {"query":"datagrams"};
  //   {"reboot":true} (logged out, the UDP session forgotten, walks in progress restarted),
  //   {"query":"units"} (each unit's number, status and time remaining) and
  //   {"serial":"unplug"}, {"serial":"plug"} (answered with the new device).
  std::string ApplyControl(std::string_view line);

 private:
  void Run();
  // Opens a pseudo-terminal in raw mode (master and the held slave end) and sets device_path_.
  HRESULT OpenTerminal();
  // Asks the simulator's thread for an unplug or a plug and waits for it to be done.
  enum class LineChange { kNone, kUnplug, kPlug };
  HRESULT ChangeLine(LineChange change);
  // On the simulator's thread: carries out the change asked for, if any.
  void ApplyLineChange();
  void Answer(const RequestFrame& request);
  // Records a request frame and works out its answer (handler, then faults).
  WirePlan Respond(const RequestFrame& request);
  // The UDP side (udp_side.cc).
  void RunUdp();
  void AnswerDatagram(const Bytes& datagram, const void* from, uint32_t from_size);
  bool PauseUdp(int ms);
  // Writes bytes to the terminal, waiting for room; false when stopping or the write failed.
  bool WriteAll(const Bytes& bytes);
  // Sleeps real milliseconds, waking early for Stop (and, with until_request, for a request
  // arriving); false when woken early.
  bool Pause(int ms, bool until_request = false);

  // The terminal: set by Start and by a plug on the simulator's thread (a caller reads the path
  // after PlugSerial returned, which waited for the thread).
  std::string device_path_;
  std::string link_path_;
  int master_fd_ = -1;  // -1 while unplugged
  int slave_fd_ = -1;   // held open so the terminal stays up between the server's opens
  int wake_fd_ = -1;    // eventfd that Stop and the line changes signal
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::function<void(const Bytes&)> observer_;

  int udp_fd_ = -1;
  int udp_stray_fd_ = -1;  // another port on the same address, for the stray_sender fault
  int udp_wake_fd_ = -1;
  uint16_t udp_port_ = 0;
  std::thread udp_thread_;
  // Used by the UDP thread only: keyed at each secure-connection request, so a session's
  // datagrams are opened and sealed without setting up the cipher again.
  SessionCipher udp_cipher_;

  mutable Mutex mu_;
  mutable CondVar frames_cv_;
  SimState state_ ZEL_GUARDED_BY(mu_);
  FaultSet faults_ ZEL_GUARDED_BY(mu_);
  std::vector<Bytes> frames_ ZEL_GUARDED_BY(mu_);
  std::vector<Bytes> datagrams_ ZEL_GUARDED_BY(mu_);
  // A line change asked for, and how many were carried out (with the last one's result).
  LineChange line_change_ ZEL_GUARDED_BY(mu_) = LineChange::kNone;
  uint64_t line_changes_done_ ZEL_GUARDED_BY(mu_) = 0;
  HRESULT line_change_result_ ZEL_GUARDED_BY(mu_) = S_OK;
  mutable CondVar line_cv_;
};

}  // namespace zel::sim
