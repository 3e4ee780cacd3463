#include "cli/setup.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>

#include "bridge/protocol.h"
#include "cli/zelctl.h"
#include "platform/resource_library.h"
#include "platform/variant.h"
#include "server/interfaces.h"

namespace zel::cli {
namespace {

using Json = nlohmann::json;

constexpr uint32_t kDevicePrefixStringId = 185;
constexpr long kMaxSerialPort = 255;  // the transport keeps its port in one byte

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The number after the prefix when `path` is the prefix followed by digits only.
bool NumberAfterPrefix(const std::string& prefix, const std::string& path, long* port) {
  if (prefix.empty() || path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix)) {
    return false;
  }
  std::string rest = path.substr(prefix.size());
  if (!AllDigits(rest)) return false;
  *port = std::strtol(rest.c_str(), nullptr, 10);
  return true;
}

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

// The device's path without its trailing digits: "/dev/ttyUSB0" -> "/dev/ttyUSB".
std::string PrefixOf(const std::string& device) {
  size_t end = device.size();
  while (end > 0 && device[end - 1] >= '0' && device[end - 1] <= '9') --end;
  return device.substr(0, end);
}

// The whole key: sixteen hex pairs joined by hyphens. (The transport itself also takes a shorter
// text and changes only the leading bytes; a first setup wants all of it.)
bool WholeKeyText(const std::string& key) {
  if (key.size() != 16 * 3 - 1) return false;
  for (size_t i = 0; i < key.size(); ++i) {
    if (i % 3 == 2) {
      if (key[i] != '-') return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(key[i]))) {
      return false;
    }
  }
  return true;
}

bool FlagValue(const std::vector<std::string>& args, size_t* i, std::string* value,
               std::string* error) {
  const std::string& a = args[*i];
  size_t eq = a.find('=');
  if (eq != std::string::npos) {
    *value = a.substr(eq + 1);
    return true;
  }
  if (*i + 1 >= args.size()) {
    *error = a + " needs a value";
    return false;
  }
  *value = args[++*i];
  return true;
}

bool NumberValue(const std::string& flag, const std::string& text, long low, long high, long* out,
                 std::string* error) {
  char* end = nullptr;
  long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < low || n > high) {
    *error = flag + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) +
             ", not \"" + text + "\"";
    return false;
  }
  *out = n;
  return true;
}

// The bridge conversation of one setup: one session, objects by handle.
class SetupRun {
 public:
  SetupRun(const SetupRequest& request, bridge::BridgeClient* client, bool json, std::ostream& out,
           std::ostream& err)
      : r_(request), client_(client), json_(json), out_(out), err_(err) {}

  int Run(const std::string& catalogue_path) {
    long serial_port = -1;
    if (r_.kind == "serial" && !SerialPort(catalogue_path, &serial_port)) {
      return Finish(kExitUsage);
    }
    HRESULT hr = client_->OpenSession();
    if (Failed(hr)) return Unreachable(hr);
    Json reply;
    hr = Op({{"op", "create"}, {"class", "Corvane.ZelServer"}}, &reply);
    if (Failed(hr)) return Refused("create the server object", hr, reply);
    server_ = reply["result"].value("object", "");

    // Settings change the link; the start below opens it again with them.
    (void)Call(server_, "Stop", Json::array(), &reply);

    std::string transport;
    if (int rc = FindTransport(&transport); rc != kExitOk) return rc;
    if (r_.kind == "serial") {
      if (Failed(hr = Put(transport, "Port", serial_port, &reply))) {
        return Refused("set the serial port", hr, reply);
      }
      if (Failed(hr = Put(transport, "BaudRate", r_.baud, &reply))) {
        return Refused("set the speed", hr, reply);
      }
    } else {
      if (Failed(hr = Put(transport, "Address", r_.address, &reply))) {
        return Refused("set the address", hr, reply);
      }
      if (Failed(hr = Put(transport, "Port", r_.port, &reply))) {
        return Refused("set the UDP port", hr, reply);
      }
      if (!r_.key.empty() && Failed(hr = Put(transport, "PrivateKey", r_.key, &reply))) {
        return Refused("set the private key (sixteen hex pairs joined by hyphens)", hr, reply);
      }
    }
    if (Failed(hr = Put(server_, "AccessCode", r_.code, &reply))) {
      return Refused("set the access code", hr, reply);
    }
    // Choosing the transport opens its link: a failure there is the start's first step failing.
    hr = Put(server_, "CommunicationsHandler", Json{{"vt", VT_DISPATCH}, {"object", transport}},
             &reply);
    if (hr == E_ACCESSDENIED || hr == bridge::E_BRIDGE_NO_ROLE ||
        hr == bridge::E_BRIDGE_UNREACHABLE || hr == E_TIMEOUT) {
      return Refused("choose the " + r_.kind + " transport", hr, reply);
    }
    return StartAndReport(hr);
  }

 private:
  bool SerialPort(const std::string& catalogue_path, long* port) {
    std::shared_ptr<const ResourceLibrary> catalogue;
    std::string error;
    HRESULT hr = ResourceLibrary::LoadFile(catalogue_path, &catalogue, &error);
    std::optional<std::string> prefix;
    if (Succeeded(hr)) prefix = catalogue->String(kDevicePrefixStringId);
    if (!prefix) {
      Fail("cannot read the serial device prefix (string 185) from " + catalogue_path +
           (error.empty() ? "" : ": " + error) +
           "; give --instance DIR of the server, or run where the catalogue is readable");
      return false;
    }
    std::string hint;
    if (!MapSerialDevice(*prefix, r_.device, port, &hint)) {
      Fail(hint);
      return false;
    }
    doc_["port"] = *port;
    Say("serial device " + r_.device + " is port " + std::to_string(*port) + " (" + *prefix +
        std::to_string(*port) + ")");
    return true;
  }

  HRESULT Op(const Json& request, Json* reply) {
    *reply = Json();
    return client_->Op(request, reply);
  }
  HRESULT Put(const std::string& object, const char* member, Json value, Json* reply) {
    return Op({{"op", "put"}, {"object", object}, {"member", member}, {"value", std::move(value)}},
              reply);
  }
  HRESULT Get(const std::string& object, const char* member, Json args, Json* reply) {
    return Op({{"op", "get"}, {"object", object}, {"member", member}, {"args", std::move(args)}},
              reply);
  }
  HRESULT Call(const std::string& object, const char* member, Json args, Json* reply) {
    return Op({{"op", "call"}, {"object", object}, {"member", member}, {"args", std::move(args)}},
              reply);
  }
  static std::string ObjectOf(const Json& reply) {
    if (!reply.contains("result") || !reply["result"].is_object()) return "";
    return reply["result"].value("object", "");
  }
  static Json ValueOf(const Json& reply) {
    if (!reply.contains("result") || !reply["result"].is_object()) return Json();
    return reply["result"].value("value", Json());
  }

  // The catalogue's transport of the requested kind, found by its class.
  int FindTransport(std::string* transport) {
    Json reply;
    HRESULT hr = Get(server_, "CommHandlers", Json::array(), &reply);
    std::string catalogue = ObjectOf(reply);
    if (Failed(hr) || catalogue.empty()) return Refused("read the transport catalogue", hr, reply);
    hr = Get(catalogue, "Count", Json::array(), &reply);
    if (Failed(hr)) return Refused("count the transports", hr, reply);
    const std::string wanted =
        r_.kind == "serial" ? "CZelCommHandlerSerial" : "CZelCommHandlerNetwork";
    long count = ValueOf(reply).is_number() ? ValueOf(reply).get<long>() : 0;
    for (long i = 1; i <= count; ++i) {
      if (Failed(Call(catalogue, "Item", Json::array({i}), &reply))) continue;
      std::string item = ObjectOf(reply);
      if (item.empty() || Failed(Op({{"op", "describe"}, {"object", item}}, &reply))) continue;
      if (reply.value("class", "") == wanted) {
        *transport = item;
        return kExitOk;
      }
    }
    Fail("the server's transport catalogue has no " + r_.kind +
         " transport; run 'zelcommsrv -RegServer' to register the transports");
    return Finish(kExitFailedStatus);
  }

  // `connected` is how choosing the transport went; the start runs only after a good one.
  int StartAndReport(HRESULT connected) {
    Json reply;
    HRESULT hr = Failed(connected) ? connected : Call(server_, "Start", Json::array(), &reply);
    SetupStep failed_at = SetupStep::kNames;
    std::string hint;
    bool placed = Failed(hr) && PlaceStartFailure(hr, r_, &failed_at, &hint);

    // What the server knows now tells the later steps apart.
    Json info;
    std::string model, version;
    if (Succeeded(Get(server_, "Model", Json::array(), &info))) model = Text(ValueOf(info));
    if (Succeeded(Get(server_, "version", Json::array(), &info))) version = Text(ValueOf(info));
    if (Failed(hr) && !placed) {
      int32_t setup = Number("DownloadSetupStatus");
      if (model.empty()) {
        failed_at = SetupStep::kModelAndFirmware;
        hint =
            "the controller answered but its model could not be read or is not one this "
            "server knows";
      } else if (setup != dsCompleted && Number("DownloadSetup") != 0) {
        failed_at = SetupStep::kSetup;
        hint = "the setup download did not complete; the line may be unreliable at this speed";
      } else {
        failed_at = SetupStep::kNames;
        hint = "the names could not be read; try again, and check the line's quality";
      }
    }

    doc_["steps"] = Json::array();
    for (int i = 0; i < kSetupStepCount; ++i) {
      SetupStep step = static_cast<SetupStep>(i);
      std::string label = SetupStepName(step);
      const char* state = "ok";
      if (Failed(hr) && step == failed_at) state = "failed";
      if (Failed(hr) && i > static_cast<int>(failed_at)) state = "not reached";
      std::string detail;
      if (Succeeded(hr) || i < static_cast<int>(failed_at))
        detail = StepDetail(step, model, version);
      doc_["steps"].push_back(Json{{"step", label}, {"state", state}, {"detail", detail}});
      if (!json_) {
        out_ << "  [" << state << "] " << label << (detail.empty() ? "" : ": " + detail) << "\n";
      }
      if (Failed(hr) && step == failed_at) break;
    }
    // Saved only after a good start, so a mistyped setting never replaces the last working ones.
    // (The local store opens at the start's first step: a save before it would fail.)
    HRESULT save_hr = S_FALSE;
    if (Succeeded(hr)) {
      Json saved;
      save_hr = Call(server_, "SaveSetup", Json::array(), &saved);
    }
    doc_["saved"] = save_hr == S_OK;
    if (!json_) {
      if (Failed(hr)) {
        out_ << "  settings not saved: the last saved ones stay; run setup again once the step "
                "above is fixed\n";
      } else {
        out_ << (Succeeded(save_hr) ? "  settings saved\n"
                                    : "  settings NOT saved: " + bridge::StatusNameOf(save_hr) +
                                          " (" + bridge::StatusText(save_hr) + ")\n");
      }
    }
    int32_t status = Number("Status");
    const char* status_name = ServerStatusName(status);
    doc_["status"] = status_name != nullptr ? status_name : std::to_string(status);
    if (Failed(hr)) {
      doc_["error"] = bridge::StatusText(hr);
      doc_["statusCode"] = bridge::StatusNameOf(hr);
      doc_["hint"] = hint;
      if (!json_) {
        out_ << "Start failed: " << bridge::StatusNameOf(hr) << " (" << bridge::StatusText(hr)
             << ")\nHint: " << hint << "\n";
      }
      return Finish(kExitFailedStatus);
    }
    Say(std::string("server ") + (status_name != nullptr ? status_name : "?"));
    return Finish(Succeeded(save_hr) ? kExitOk : kExitFailedStatus);
  }

  std::string StepDetail(SetupStep step, const std::string& model, const std::string& version) {
    switch (step) {
      case SetupStep::kLinkOpened:
        return r_.kind == "serial" ? r_.device + " at " + std::to_string(r_.baud) + " baud"
                                   : r_.address + ":" + std::to_string(r_.port) + " (UDP)";
      case SetupStep::kModelAndFirmware:
        return model.empty() ? "" : model + ", firmware " + version;
      case SetupStep::kSetup:
        return LastDownload("SetupLastDownload");
      case SetupStep::kNames:
        return LastDownload("NamesLastDownload");
      default:
        return "";
    }
  }

  std::string LastDownload(const char* member) {
    Json reply;
    if (Failed(Get(server_, member, Json::array(), &reply))) return "";
    const Json& result = reply["result"];
    if (result.value("vt", 0) == VT_DATE && ValueOf(reply).is_number()) {
      return "downloaded " + DateText(ValueOf(reply).get<double>());
    }
    return "loaded from the local store";
  }

  int32_t Number(const char* member) {
    Json reply;
    if (Failed(Get(server_, member, Json::array(), &reply))) return -1;
    const Json v = ValueOf(reply);
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    return v.is_number() ? v.get<int32_t>() : -1;
  }

  static std::string Text(const Json& v) { return v.is_string() ? v.get<std::string>() : ""; }

  void Say(const std::string& line) {
    if (!json_) out_ << "  " << line << "\n";
  }
  void Fail(const std::string& message) {
    doc_["error"] = message;
    err_ << "zelctl setup: " << message << "\n";
  }

  int Unreachable(HRESULT hr) {
    Fail("cannot reach the server's bridge (" + bridge::StatusNameOf(hr) +
         "); is zelcommsrv running? (systemctl status zelcommsrv)");
    return Finish(kExitUnreachable);
  }

  int Refused(const std::string& what, HRESULT hr, const Json& reply) {
    if (hr == bridge::E_BRIDGE_UNREACHABLE || hr == E_TIMEOUT) return Unreachable(hr);
    std::string message =
        "could not " + what + ": " + bridge::StatusNameOf(hr) + " (" + bridge::StatusText(hr) + ")";
    if (reply.is_object() && reply.contains("error") && reply["error"].is_object()) {
      std::string description = reply["error"].value("description", "");
      if (!description.empty()) message += ": " + description;
    }
    if (hr == E_ACCESSDENIED || hr == bridge::E_BRIDGE_NO_ROLE) {
      message += "; setup needs the bridge's admin role (run it as root or as the daemon's user)";
    }
    Fail(message);
    return Finish(kExitFailedStatus);
  }

  int Finish(int rc) {
    if (json_) {
      doc_["ok"] = rc == kExitOk;
      out_ << doc_.dump() << "\n";
    }
    return rc;
  }

  const SetupRequest& r_;
  bridge::BridgeClient* client_;
  bool json_;
  std::ostream& out_;
  std::ostream& err_;
  std::string server_;
  Json doc_ = Json::object();
};

}  // namespace

bool ParseSetupArgs(const std::vector<std::string>& args, SetupRequest* r, std::string* error) {
  if (args.empty() || (args[0] != "serial" && args[0] != "network")) {
    *error = "setup takes serial or network";
    return false;
  }
  r->kind = args[0];
  bool serial = r->kind == "serial";
  for (size_t i = 1; i < args.size(); ++i) {
    std::string flag = args[i].substr(0, args[i].find('='));
    std::string value;
    if (flag.rfind("--", 0) != 0) {
      *error = "setup " + r->kind + " takes options only, not \"" + args[i] + "\"";
      return false;
    }
    if (!FlagValue(args, &i, &value, error)) return false;
    if (flag == "--code") {
      r->code = value;
    } else if (serial && flag == "--device") {
      r->device = value;
    } else if (serial && flag == "--baud") {
      if (!NumberValue(flag, value, 1, 4000000, &r->baud, error)) return false;
    } else if (!serial && flag == "--address") {
      r->address = value;
    } else if (!serial && flag == "--port") {
      if (!NumberValue(flag, value, 1, 65535, &r->port, error)) return false;
    } else if (!serial && flag == "--key") {
      if (!WholeKeyText(value)) {
        *error =
            "--key needs the whole private key: sixteen hex pairs joined by hyphens "
            "(3C-91-...)";
        return false;
      }
      r->key = value;
    } else {
      *error = "unknown option " + flag + " for setup " + r->kind;
      return false;
    }
  }
  if (serial && r->device.empty()) {
    *error = "setup serial needs --device PATH";
    return false;
  }
  if (!serial && r->address.empty()) {
    *error = "setup network needs --address HOST";
    return false;
  }
  if (r->code.size() != 4 || !AllDigits(r->code)) {
    *error = "setup needs --code with the controller's four-digit access code";
    return false;
  }
  return true;
}

bool MapSerialDevice(const std::string& prefix, const std::string& device, long* port,
                     std::string* hint) {
  auto in_range = [&](long n) {
    if (n <= kMaxSerialPort) {
      *port = n;
      return true;
    }
    *hint = "port number " + std::to_string(n) + " of " + device + " is above " +
            std::to_string(kMaxSerialPort) + "; link it to a smaller number: ln -s " + device +
            " " + prefix + "9, then use --device " + prefix + "9";
    return false;
  };
  long n = 0;
  if (NumberAfterPrefix(prefix, device, &n)) return in_range(n);
  struct stat st {};
  if (stat(device.c_str(), &st) != 0) {
    *hint = "device " + device +
            " does not exist: check that the cable or USB adapter is plugged in "
            "(ls -l /dev/serial/by-id) and the path";
    return false;
  }
  std::string real = RealPath(device);
  if (NumberAfterPrefix(prefix, real, &n)) return in_range(n);
  // A link named prefix-and-number (a udev SYMLINK+= rule, or ln -s) to the same device.
  size_t slash = prefix.rfind('/');
  std::string dir = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
  std::string stem = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
  long best = -1;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      long number = 0;
      if (!NumberAfterPrefix(stem, name, &number) || number > kMaxSerialPort) continue;
      if (RealPath(dir + name) == real && (best < 0 || number < best)) best = number;
    }
    closedir(d);
  }
  if (best >= 0) {
    *port = best;
    return true;
  }
  std::string other = PrefixOf(real.empty() ? device : real);
  *hint = "the server opens " + prefix + "N (the catalogue's string 185), and " + device +
          " is not one of them. Either set the prefix: put the line \"185 = " + other +
          "\" in the catalogue (docs/configuration.md, \"The serial device prefix\") and "
          "restart the server; or link the device to a free number: ln -s " +
          (real.empty() ? device : real) + " " + prefix + "9, then use --device " + prefix + "9";
  return false;
}

const char* SetupStepName(SetupStep step) {
  switch (step) {
    case SetupStep::kLinkOpened:
      return "link opened";
    case SetupStep::kControllerAnswered:
      return "controller answered";
    case SetupStep::kLoginAccepted:
      return "login accepted";
    case SetupStep::kModelAndFirmware:
      return "model and firmware";
    case SetupStep::kSetup:
      return "setup";
    case SetupStep::kNames:
      return "names";
  }
  return "?";
}

bool PlaceStartFailure(HRESULT hr, const SetupRequest& r, SetupStep* step, std::string* hint) {
  const bool serial = r.kind == "serial";
  const std::string where = serial ? r.device : r.address + " UDP port " + std::to_string(r.port);
  if (hr == E_COMM_PORT_NOT_FOUND) {
    *step = SetupStep::kLinkOpened;
    *hint = "device missing: the server found no " + r.device +
            "; check the cable or adapter and the path (ls -l /dev/serial/by-id)";
  } else if (hr == E_COMM_PORT_ACCESS_DENIED) {
    *step = SetupStep::kLinkOpened;
    *hint = "device busy or not allowed: another program may hold " + r.device + " (fuser -v " +
            r.device + "), or the server's user may not be in the dialout group";
  } else if (hr == E_COMM_BAD_BAUD_RATE) {
    *step = SetupStep::kLinkOpened;
    *hint = "this machine cannot set the line to " + std::to_string(r.baud) +
            " baud; use the speed the controller is set to (usually 9600)";
  } else if (!serial && hr == E_FAIL) {
    *step = SetupStep::kLinkOpened;
    *hint = "the address " + r.address + " could not be resolved or no UDP socket could be opened";
  } else if (hr == E_COMM_TIMEOUT || hr == E_COMM_SHORT_READ) {
    *step = SetupStep::kControllerAnswered;
    *hint = serial ? "no answer at " + std::to_string(r.baud) +
                         " baud: check the controller's serial speed, the cable, and that its "
                         "serial port is enabled for this interface"
                   : "no answer from " + where + ": check the address and port";
  } else if (hr == E_COMM_SESSION_FAILED || hr == E_COMM_KEY_SETUP_FAILED) {
    *step = SetupStep::kControllerAnswered;
    *hint = "no session with " + where +
            ": either nothing answers there (check the address and port) or the controller "
            "did not accept the key (check --key against the controller's private key; the "
            "system log says \"not accepted\" in that case)";
  } else if (hr == E_SRV_LOGIN_FAILED || hr == E_SRV_LOGIN_DENIED) {
    *step = SetupStep::kLoginAccepted;
    *hint =
        "code refused: the controller did not accept the access code (check the code; it must "
        "be one allowed to log in over this interface)";
  } else if (hr == E_SRV_UNKNOWN_MODEL) {
    *step = SetupStep::kModelAndFirmware;
    *hint = "the controller answered, but its model is not one this server knows";
  } else {
    return false;
  }
  return true;
}

int RunSetup(const SetupRequest& request, bridge::BridgeClient* client,
             const std::string& catalogue_path, bool json, std::ostream& out, std::ostream& err) {
  SetupRun run(request, client, json, out, err);
  return run.Run(catalogue_path);
}

}  // namespace zel::cli
