// zelsim: the controller simulator as a program. Prints the terminal device on its first line
// of stdout (and, with --udp, "udp ADDRESS:PORT" on the second) and answers the server until
// SIGINT or SIGTERM.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/sync.h"
#include "sim/control_channel.h"
#include "sim/simulator.h"

namespace {

constexpr const char* kUsage =
    R"(usage: zelsim [--scenario FILE] [--link PATH] [--udp PORT [--udp-address ADDR]]
              [--control PATH] [--record FILE]

Plays the security controller's side of the serial link over a pseudo-terminal and,
with --udp, of the network link (UDP inside an AES-128 session) at the same time.
The first line printed is the terminal device the server should open; with --udp the
second is "udp ADDRESS:PORT".

  --scenario FILE  the controller to play (JSON; see docs/simulator.md). Without it: model 30,
                   firmware 3.2, access code 1234, probe answered with NAK until login.
  --link PATH      place a symbolic link to the device at PATH, so the server's device prefix
                   plus its port number reaches the simulator (e.g. --link /tmp/inst/ttyS1
                   for the prefix /tmp/inst/ttyS and port 1). Removed on exit.
  --udp PORT       also answer the network transport on UDP PORT (0: any free port, printed)
  --udp-address ADDR  the IPv4 address to answer on (default 127.0.0.1)
  --control PATH   listen on a Unix socket at PATH for JSON control lines, one answer per line:
                     {"fault":"no_reply","count":1}   {"fault":"corrupt_crc"}
                     {"fault":"bad_start"}  {"fault":"garbage","bytes":[0,255]}
                     {"fault":"chunked","chunks":[1,3,5],"pause_ms":20}
                     {"fault":"delay","ms":500}  {"fault":"truncate","truncate_to":3}
                     {"fault":"raw_reply","bytes":[90,1,5,193,147]}
                     {"clear":"faults"}  {"clear":"frames"}  {"clear":"commands"}
                     {"set":{"probe_ack":true,"access_code":"4321","logged_in":false}}
                     {"query":"frames"}  {"query":"commands"}  {"query":"state"}
                     {"query":"units"}  {"reboot":true} (a power cycle: logged out,
                     the network session forgotten, walks in progress restarted)
                   and for the UDP side (each fault acts on the next datagrams):
                     {"fault":"lose_request","count":2}  {"fault":"lose_reply"}
                     {"fault":"previous_sequence"}  {"fault":"wrong_type"}
                     {"fault":"stray_sender"}  {"udp":"forget_session"}
                     {"fault":"lose_request","count":-1} (a silent port)
                     {"set":{"private_key":"00-11-22-33-44-55-66-77-88-99-AA-BB-CC-DD-EE-FF"}}
                     {"query":"datagrams"}
  --record FILE    append one line per received frame, hex bytes separated by blanks
  --help           show this text

Stops on SIGINT or SIGTERM.
)";

int Fail(const std::string& message) {
  std::cerr << "zelsim: " << message << "\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string scenario_path, link_path, control_path, record_path, udp_port_text;
  std::string udp_address = "127.0.0.1";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--scenario") {
      if (!value(&scenario_path)) return Fail("--scenario needs a file");
    } else if (arg == "--link") {
      if (!value(&link_path)) return Fail("--link needs a path");
    } else if (arg == "--udp") {
      if (!value(&udp_port_text)) return Fail("--udp needs a port");
    } else if (arg == "--udp-address") {
      if (!value(&udp_address)) return Fail("--udp-address needs an IPv4 address");
    } else if (arg == "--control") {
      if (!value(&control_path)) return Fail("--control needs a path");
    } else if (arg == "--record") {
      if (!value(&record_path)) return Fail("--record needs a file");
    } else {
      return Fail("unknown argument " + arg + " (try --help)");
    }
  }

  int udp_port = -1;
  if (!udp_port_text.empty()) {
    char* end = nullptr;
    long port = std::strtol(udp_port_text.c_str(), &end, 10);
    if (end == udp_port_text.c_str() || *end != '\0' || port < 0 || port > 65535) {
      return Fail("--udp takes a port from 0 to 65535, not " + udp_port_text);
    }
    udp_port = static_cast<int>(port);
  }

  zel::sim::Scenario scenario;
  if (!scenario_path.empty()) {
    std::string error;
    if (zel::Failed(zel::sim::LoadScenarioFile(scenario_path, &scenario, &error))) {
      return Fail(scenario_path + ": " + error);
    }
  }

  // Signals are taken through a signalfd, so the main thread waits for them synchronously.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // before any thread starts
  int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (signal_fd < 0) return Fail(std::string("signalfd: ") + std::strerror(errno));

  zel::sim::Simulator simulator(std::move(scenario));
  std::ofstream record;
  zel::Mutex record_mu;
  if (!record_path.empty()) {
    record.open(record_path, std::ios::app);
    if (!record) return Fail("cannot write " + record_path);
    simulator.SetFrameObserver([&](const zel::sim::Bytes& frame) {
      zel::MutexLock g(&record_mu);
      record << zel::sim::ToHex(frame) << "\n";
      record.flush();
    });
  }
  if (zel::HRESULT hr = simulator.Start(); zel::Failed(hr)) {
    return Fail("cannot open a pseudo-terminal: " + zel::StatusHex(hr));
  }
  if (!link_path.empty()) {
    if (zel::HRESULT hr = simulator.CreateLink(link_path); zel::Failed(hr)) {
      return Fail("cannot link " + link_path + ": " + zel::StatusHex(hr));
    }
  }
  if (udp_port >= 0) {
    if (zel::HRESULT hr = simulator.StartUdp(udp_address, static_cast<uint16_t>(udp_port));
        zel::Failed(hr)) {
      return Fail("cannot answer on UDP " + udp_address + ":" + udp_port_text + ": " +
                  zel::StatusHex(hr));
    }
  }
  zel::sim::ControlChannel control(&simulator);
  if (!control_path.empty()) {
    if (zel::HRESULT hr = control.Start(control_path); zel::Failed(hr)) {
      return Fail("cannot listen on " + control_path + ": " + zel::StatusHex(hr));
    }
  }
  std::cout << simulator.device_path() << std::endl;
  if (udp_port >= 0) {
    std::cout << "udp " << udp_address << ":" << simulator.udp_port() << std::endl;
  }

  signalfd_siginfo info;
  while (read(signal_fd, &info, sizeof info) < 0 && errno == EINTR) {
  }
  control.Stop();
  simulator.Stop();
  close(signal_fd);
  return 0;
}
