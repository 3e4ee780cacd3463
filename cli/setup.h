// zelctl setup: first-run configuration for a real controller, in one command.
//
//   zelctl setup serial --device /dev/ttyS1 --baud 9600 --code 1234
//   zelctl setup network --address 192.168.1.40 --port 4369 --key 3C-91-... --code 1234
//
// It picks the transport from the server's catalogue, sets the transport's settings and the
// access code, stops and starts the server, saves the settings when the start succeeded (SaveSetup:
// the local store opens at the start, so the save follows it) and reports how far the start got:
// link opened, controller answered, login accepted, model and firmware, setup and names. At the
// first step that failed it prints a hint in plain words.
//
// The serial transport opens the catalogue's device prefix (string 185) followed by a port
// number, so a device path is mapped to that number here; a device outside the prefix gets the
// one-line change to make instead (docs/configuration.md).
//
// Thread contract: everything runs on the calling thread.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "bridge/client.h"
#include "platform/status.h"

namespace zel::cli {

struct SetupRequest {
  std::string kind;  // "serial" or "network"
  // Serial.
  std::string device;
  long baud = 9600;
  // Network.
  std::string address;
  long port = 4369;
  std::string key;  // empty: keep the transport's key
  // Both.
  std::string code;
};

// Parses the words after "setup". false with *error on a usage fault.
bool ParseSetupArgs(const std::vector<std::string>& args, SetupRequest* request,
                    std::string* error);

// The serial port number that makes the transport open `device`, given the catalogue's prefix.
// Tried in order: the path itself is the prefix and a number; the path a link resolves to is;
// a link named prefix-and-number resolves to the same device. Otherwise false, with *hint
// saying which one-line change makes the device usable.
bool MapSerialDevice(const std::string& prefix, const std::string& device, long* port,
                     std::string* hint);

// The steps a start goes through, in order; a failed start stops at one of them.
enum class SetupStep {
  kLinkOpened,
  kControllerAnswered,
  kLoginAccepted,
  kModelAndFirmware,
  kSetup,
  kNames,
};
inline constexpr int kSetupStepCount = 6;
const char* SetupStepName(SetupStep step);

// Where a start that failed with `hr` stopped, for failures the code alone places (the link,
// the controller's answer, the login, the model); false for the others (their step is found
// from the server's download states). *hint gets the advice for that step.
bool PlaceStartFailure(HRESULT hr, const SetupRequest& request, SetupStep* step, std::string* hint);

// Runs the setup through a connected client (not yet in a session). `catalogue_path` is the
// text catalogue the daemon reads (for the serial device prefix). Returns zelctl's exit status.
int RunSetup(const SetupRequest& request, bridge::BridgeClient* client,
             const std::string& catalogue_path, bool json, std::ostream& out, std::ostream& err);

}  // namespace zel::cli
