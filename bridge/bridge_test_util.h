// Test helpers shared by the bridge's and zelctl's tests: a bridge on a temporary Unix socket and
// an ephemeral loopback port with short time-outs, and a raw socket for misbehaving clients.
//
// Thread contract: a fixture is used by its test's thread; RawConnection by one thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "bridge/automation_bridge.h"
#include "bridge/client.h"

namespace zel::bridge::testing {

// Options with short time-outs for tests; socket and token store in a fresh temporary directory;
// TCP on an ephemeral port; a per-peer connection limit high enough for the load tests.
BridgeOptions TestBridgeOptions();

// A started bridge serving the fake classes, removed with its directory at the end.
class TestBridge {
 public:
  explicit TestBridge(BridgeOptions options = TestBridgeOptions());
  ~TestBridge();
  AutomationBridge& bridge() { return *bridge_; }
  HRESULT start_status() const { return start_status_; }
  ClientOptions UnixClient() const;
  // A TCP client holding a token of the given role (made on first use, one per role).
  ClientOptions TcpClient(Role role = Role::kAdmin);
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::unique_ptr<AutomationBridge> bridge_;
  HRESULT start_status_ = E_FAIL;
  std::mutex tokens_mu_;
  std::map<Role, std::string> tokens_;  // guarded by tokens_mu_
};

// A plain socket to the bridge's Unix socket (or its loopback port), for clients that misbehave
// and for requests the client library does not make.
class RawConnection {
 public:
  explicit RawConnection(const std::string& unix_path);
  explicit RawConnection(uint16_t tcp_port);
  ~RawConnection();
  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // Reads until `until` appears, the peer closes, or the time runs out; returns what came.
  std::string ReadUntil(const std::string& until, std::chrono::milliseconds limit);
  // True when the peer closed the connection within the time.
  bool WaitClosed(std::chrono::milliseconds limit);
  void Close();

 private:
  int fd_ = -1;
};

// Polls cond every 10 ms until it holds or the time runs out.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit);

}  // namespace zel::bridge::testing
