#include "cli/zelctl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>
#include <thread>

#include "bridge/automation_bridge.h"
#include "bridge/client.h"
#include "bridge/event_queue.h"
#include "bridge/protocol.h"
#include "bridge/token_store.h"
#include "cli/path.h"
#include "cli/setup.h"
#include "platform/instance_paths.h"
#include "platform/resource_library.h"
#include "platform/sync.h"
#include "platform/variant.h"
#include "server/interfaces.h"

namespace zel::cli {
namespace {

using bridge::BridgeClient;
using bridge::StatusNameOf;
using bridge::StatusText;

constexpr const char* kUsage =
    "usage: zelctl [options] <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  status                  server status, model, version, phone, date, collection counts\n"
    "  get PATH                read a value, e.g. Zones.Item(3).CurrCondition\n"
    "  put PATH VALUE          set a property, e.g. Thermostats.Item(1).HeatSetpointF 68;\n"
    "                          VALUE @PATH is the object PATH reaches, e.g.\n"
    "                          CommunicationsHandler '@CommHandlers.Item(2)'\n"
    "  call PATH [ARG...]      call a method, e.g. Areas.Item(1).Arm 1234 3\n"
    "  list PATH               a table of a collection's elements, e.g. Zones\n"
    "  watch                   print the server's events as they arrive (Ctrl-C ends)\n"
    "  events                  the stored event log: index, time, class, properties\n"
    "  xml [PATH]              the XML snapshot of every collection, or of the collection or\n"
    "                          element PATH reaches, e.g. Zones\n"
    "  token add NAME ROLE     make a bearer token for TCP clients (read, control, admin)\n"
    "  token list | remove NAME  the tokens in the instance directory\n"
    "  setup serial|network    first-run configuration for a controller: transport, settings,\n"
    "                          access code, SaveSetup, start; see 'zelctl setup --help'\n"
    "\n"
    "options:\n"
    "  --socket PATH    the bridge's Unix socket (default: zelbridge.sock in the instance\n"
    "                   directory, $ZELCOMMSRV_HOME or /var/lib/zelcommsrv)\n"
    "  --instance DIR   the instance directory whose socket to use\n"
    "  --port N         use 127.0.0.1:N instead of the Unix socket\n"
    "  --token TOKEN    the bearer token for --port (default: $ZELCTL_TOKEN)\n"
    "  --class ID       the object to start from (default Corvane.ZelServer)\n"
    "  --json           JSON output for scripts\n"
    "  --timeout SEC    give up on one request after SEC seconds (default 60)\n"
    "  --help           this text; 'zelctl COMMAND --help' for one command\n"
    "\n"
    "Arguments are numbers, true, false, null, or text (quote it to keep digits as text).\n"
    "Exit status: 0 success, 1 failed status code, 2 usage error, 3 bridge unreachable,\n"
    "4 a reply the bridge should not have sent.\n";

const std::map<std::string, std::string>& CommandHelp() {
  static const std::map<std::string, std::string> help = {
      {"status",
       "usage: zelctl status [--json]\n"
       "Shows the server status, the controller's model, version, phone number and date, and\n"
       "the number of elements in each collection.\n"},
      {"get",
       "usage: zelctl get PATH [--json]\n"
       "Reads the value at PATH, a dot-separated list of members from the server object;\n"
       "members may take arguments in parentheses: Zones.Item(3).CurrCondition\n"},
      {"put",
       "usage: zelctl put PATH VALUE [--json]\n"
       "Sets the property at the end of PATH: Thermostats.Item(1).HeatSetpointF 68\n"
       "A VALUE of @PATH sets it to the object PATH reaches from the server:\n"
       "  zelctl put CommunicationsHandler '@CommHandlers.Item(\"Network (UDP)\")'\n"},
      {"call",
       "usage: zelctl call PATH [ARG...] [--json]\n"
       "Calls the method at the end of PATH with the arguments: Areas.Item(1).Arm 1234 3\n"
       "(arguments may also be written in parentheses: 'Areas.Item(1).Arm(1234, 3)').\n"},
      {"list",
       "usage: zelctl list PATH [--columns A,B,...] [--json]\n"
       "Lists the elements of the collection at PATH (Count, then Item(1) to Item(Count)) with\n"
       "their main properties, or the given columns.\n"},
      {"token",
       "usage: zelctl token add NAME ROLE | token list [--json] | token remove NAME\n"
       "Manages the bearer tokens TCP clients present, in tokens.json of the instance directory\n"
       "(needs write access to it). add prints the new token once; only its hash is kept.\n"
       "ROLE is read, control or admin.\n"},
      {"watch",
       "usage: zelctl watch [--count N] [--json]\n"
       "Connects to the server object's events and prints each as it arrives, in order; ends\n"
       "after N events when --count is given, or on Ctrl-C. Once connected it writes the line\n"
       "\"zelctl: watching\" to standard error: no event after that line is missed.\n"},
      {"setup",
       "usage: zelctl setup serial --device PATH [--baud N] --code NNNN\n"
       "       zelctl setup network --address HOST [--port N] [--key KEY] --code NNNN\n"
       "Configures the server for a controller in one step: chooses the transport from the\n"
       "catalogue, sets its settings (serial: the device, speed 9600 unless --baud; network:\n"
       "address, UDP port 4369 unless --port, the private key as sixteen hex pairs joined by\n"
       "hyphens) and the access code, stops and starts the server and reports each step: link\n"
       "opened, controller answered, login accepted, model and firmware, setup, names. At the\n"
       "first step that failed it says what to check. After a good start it saves the settings\n"
       "(SaveSetup), so the service's next start uses them; a failed one leaves the saved ones.\n"
       "The serial device must be one the server opens: the catalogue's device prefix (string\n"
       "185, /dev/ttyS as shipped) and a number, or a link with such a name to it.\n"
       "Needs the bridge's admin role. Global options (--instance, --socket) go before 'setup'.\n"
       "Exit status: 0 every step done, 1 a step failed, 2 usage, 3 bridge unreachable.\n"},
      {"xml",
       "usage: zelctl xml [PATH]\n"
       "The XML snapshot the server writes: without PATH every collection inside one\n"
       "<ZELSERVER> element; with PATH the collection or element it reaches (e.g. Zones,\n"
       "Zones.Item(3)). The bytes are the server's, ISO-8859-1 as the declaration says.\n"},
      {"events",
       "usage: zelctl events [--since INDEX] [--json]\n"
       "Lists the event log the server keeps (the controller's log, stored across restarts),\n"
       "oldest first: index, time, class and the entry's own properties, with objects shown by\n"
       "name. --since INDEX lists only the entries after that index.\n"},
  };
  return help;
}

struct Options {
  std::string socket;
  std::string instance;  // --instance, "" for the default
  std::string token;
  int port = -1;
  std::string cls = "Corvane.ZelServer";
  bool json = false;
  bool help = false;
  long timeout_ms = 60000;
  std::vector<std::string> columns;
  long count = -1;
  long since = 0;
  std::vector<std::string> positional;
};

// What `zelctl xml` writes without a PATH: these collections, in this order, inside one element.
constexpr const char* kTreeCollections[] = {
    "Areas", "Zones",    "Units",      "Thermostats", "TemperatureSensors", "Buttons",
    "Codes", "Messages", "Expansions", "AudioZones",  "AudioSources",       "Events"};
constexpr const char* kTreeTag = "ZELSERVER";
constexpr const char* kXmlDeclarationText = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";

// Parses the options; false with a message in *error on a usage fault.
bool ParseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::string value;
    bool has_inline = false;
    if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
      value = a.substr(a.find('=') + 1);
      a = a.substr(0, a.find('='));
      has_inline = true;
    }
    auto next = [&](std::string* out) {
      if (has_inline) {
        *out = value;
        return true;
      }
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    auto number = [&](long* out) {
      std::string v;
      if (!next(&v)) return false;
      char* end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 0) {
        *error = a + " needs a number, not \"" + v + "\"";
        return false;
      }
      *out = n;
      return true;
    };
    if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--socket") {
      if (!next(&o->socket)) return false;
    } else if (a == "--instance") {
      std::string dir;
      if (!next(&dir)) return false;
      o->socket = dir + "/" + bridge::kSocketFileName;
      o->instance = dir;
    } else if (a == "--token") {
      if (!next(&o->token)) return false;
    } else if (a == "--port") {
      long p = 0;
      if (!number(&p)) return false;
      if (p == 0 || p > 65535) {
        *error = "--port needs a port number";
        return false;
      }
      o->port = static_cast<int>(p);
    } else if (a == "--class") {
      if (!next(&o->cls)) return false;
    } else if (a == "--timeout") {
      long s = 0;
      if (!number(&s)) return false;
      o->timeout_ms = std::max(1L, s) * 1000;
    } else if (a == "--count") {
      if (!number(&o->count)) return false;
    } else if (a == "--since") {
      if (!number(&o->since)) return false;
    } else if (a == "--columns") {
      std::string list;
      if (!next(&list)) return false;
      std::stringstream ss(list);
      for (std::string col; std::getline(ss, col, ',');) {
        if (!col.empty()) o->columns.push_back(col);
      }
    } else if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1]))) {
      *error = "unknown option " + a;
      return false;
    } else {
      o->positional.push_back(args[i]);
    }
  }
  return true;
}

std::string Join(const std::vector<std::string>& parts, const std::string& sep) {
  std::string s;
  for (size_t i = 0; i < parts.size(); ++i) s += (i ? sep : "") + parts[i];
  return s;
}

// Thrown when a reply lacks what every reply of its kind carries; Run turns it into a message
// and kExitBadReply.
struct MalformedReply {
  std::string what;
};

// A member of a JSON object; null when `object` is no object or lacks it. (A const JSON's
// operator[] must not be asked for a member it lacks.)
const Json& Member(const Json& object, const char* name) {
  static const Json kNone;
  if (!object.is_object()) return kNone;
  auto it = object.find(name);
  return it == object.end() ? kNone : *it;
}

// The elements of a JSON array; none for anything else.
const Json& Items(const Json& array) {
  static const Json kEmpty = Json::array();
  return array.is_array() ? array : kEmpty;
}

// The text of a JSON value that should be a string: the string, or the JSON itself.
std::string TextOf(const Json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// The type tag of a tagged value: its "vt" member, which must be a number from 0 to 0xFFFF.
int TypeOf(const Json& v) {
  if (!v.is_object() || !v.contains("vt")) return -1;
  const Json& vt = v["vt"];
  if (!vt.is_number_integer() || vt.get<int64_t>() < 0 || vt.get<int64_t>() > 0xFFFF) {
    throw MalformedReply{"a value tagged " + vt.dump()};
  }
  return vt.get<int>();
}

// The text of a tagged value for people.
std::string ValueText(const Json& v) {
  int vt = TypeOf(v);
  if (vt < 0) return v.dump();
  const Json value = v.contains("value") ? v["value"] : Json();
  if (vt & VT_ARRAY) {
    std::vector<std::string> items;
    if (!value.is_array()) return value.dump();
    for (const Json& e : value) {
      if (e.is_object()) {
        items.push_back(ValueText(e));
      } else {
        items.push_back(ValueText(Json{{"vt", vt & VT_TYPEMASK}, {"value", e}}));
      }
    }
    return "[" + Join(items, ", ") + "]";
  }
  switch (vt) {
    case VT_EMPTY:
      return "(empty)";
    case VT_NULL:
      return "(null)";
    case VT_DATE:
      return value.is_number() ? DateText(value.get<double>()) : value.dump();
    case VT_BSTR:
      return value.is_null() ? "(null)" : TextOf(value);
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      const Json object = v.contains("object") ? v["object"] : Json();
      if (object.is_null()) return "(nothing)";
      const Json cls = v.contains("class") ? v["class"] : Json("object");
      return "<" + TextOf(cls) + " " + TextOf(object) + ">";
    }
    case VT_ERROR:
      return "error " + TextOf(value);
    case VT_BOOL:
      return value.is_boolean() && value.get<bool>() ? "True" : "False";
    default:
      return TextOf(value);
  }
}

// The local time now, as DateText writes dates.
std::string NowText() {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// A property of an event for people: objects by name (and handle), codes in hexadecimal.
std::string PropertyText(const std::string& key, const Json& v) {
  if (v.is_object() && v.value("vt", 0) == 9 && v.contains("name") && v["name"].is_string() &&
      v["object"].is_string()) {
    return key + "=" + v["name"].get<std::string>() + " (" + v["object"].get<std::string>() + ")";
  }
  if (key == "Code" && v.is_object() && v.contains("value") && v["value"].is_number_integer()) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%04llX",
                  static_cast<unsigned long long>(v["value"].get<int64_t>()) & 0xFFFFFFFFull);
    return key + "=" + hex;
  }
  return key + "=" + ValueText(v);
}

// The member `name` of a reply's "result" object, which the op's kind always carries.
const Json& ResultMember(const Json& reply, const char* name) {
  static const Json kNone;
  if (!reply.is_object() || !reply.contains("result") || !reply["result"].is_object()) {
    throw MalformedReply{"a reply without a result"};
  }
  const Json& result = reply["result"];
  return result.contains(name) ? result[name] : kNone;
}

// The handle a reply's result carries; the reply is malformed without one.
std::string ResultObject(const Json& reply) {
  const Json& object = ResultMember(reply, "object");
  if (!object.is_string()) throw MalformedReply{"a result without an object handle"};
  return object.get<std::string>();
}

// How to reach the bridge: 127.0.0.1:--port with a bearer token, else the Unix socket.
bridge::ClientOptions ClientFor(const Options& o) {
  bridge::ClientOptions c;
  if (o.port > 0) {
    c.tcp_port = o.port;
    c.bearer_token = o.token;
    if (c.bearer_token.empty()) {
      if (const char* env = std::getenv("ZELCTL_TOKEN")) c.bearer_token = env;
    }
  } else {
    c.unix_socket_path = o.socket.empty() ? InstancePath(bridge::kSocketFileName) : o.socket;
  }
  c.timeout_ms = o.timeout_ms;
  return c;
}

class Ctl {
 public:
  Ctl(Options o, std::ostream& out, std::ostream& err, const std::atomic<bool>* stop)
      : o_(std::move(o)), out_(out), err_(err), stop_(stop), client_(ClientFor(o_)) {}

  int Run() {
    const std::string& cmd = o_.positional[0];
    if (o_.help) {
      auto it = CommandHelp().find(cmd);
      out_ << (it != CommandHelp().end() ? it->second : kUsage);
      return kExitOk;
    }
    if (CommandHelp().count(cmd) == 0) return Usage("unknown command \"" + cmd + "\"");
    size_t args = o_.positional.size() - 1;
    if ((cmd == "status" || cmd == "watch" || cmd == "events") && args != 0) {
      return Usage(cmd + " takes no arguments");
    }
    if ((cmd == "get" || cmd == "list") && args != 1) return Usage(cmd + " takes one PATH");
    if (cmd == "put" && args != 2) return Usage("put takes PATH and VALUE");
    if (cmd == "xml" && args > 1) return Usage("xml takes at most one PATH");
    if (cmd == "call" && args < 1) return Usage("call takes PATH and its arguments");
    if (cmd == "token") return Token();

    // The bridge's replies are trusted to parse as JSON, not to have the members they should:
    // a reply without them ends the command with a message instead of an exception.
    try {
      int rc = Connect();
      if (rc != kExitOk) return rc;
      if (cmd == "status") return Status();
      if (cmd == "get") return Get();
      if (cmd == "put") return Put();
      if (cmd == "call") return Call();
      if (cmd == "list") return List();
      if (cmd == "events") return Events();
      if (cmd == "xml") return Xml();
      return Watch();
    } catch (const MalformedReply& e) {
      return BadReply(e.what);
    } catch (const Json::exception& e) {
      return BadReply(e.what());
    }
  }

 private:
  // zelctl token add|list|remove: works on the token file directly, not through the bridge (the
  // bridge rereads it at the next request).
  int Token() {
    const std::vector<std::string>& p = o_.positional;
    const std::string action = p.size() > 1 ? p[1] : "";
    bridge::TokenStore store(o_.instance.empty() ? InstancePath(bridge::kTokenFileName)
                                                 : o_.instance + "/" + bridge::kTokenFileName);
    auto failed = [&](const std::string& what, HRESULT hr) {
      err_ << "zelctl: " << what << ": " << StatusNameOf(hr) << " (" << StatusText(hr) << ")\n";
      return kExitFailedStatus;
    };
    if (action == "add") {
      if (p.size() != 4) return Usage("token add takes NAME and ROLE");
      Role role = bridge::ParseRole(p[3]);
      if (role == Role::kUntagged) return Usage("the role must be read, control or admin");
      std::string token;
      HRESULT hr = store.Add(p[2], role, &token);
      if (hr == E_INVALIDARG) return Usage("token names are 1 to 64 of A-Z a-z 0-9 . _ -");
      if (hr == HresultFromErrno(EEXIST)) return failed("a token named " + p[2] + " exists", hr);
      if (Failed(hr)) return failed("cannot write " + store.path(), hr);
      if (o_.json) {
        out_ << Json{{"name", p[2]}, {"role", p[3]}, {"token", token}}.dump() << "\n";
      } else {
        out_ << token << "\n";
        err_ << "zelctl: this is the only time the token is shown; keep it now\n";
      }
      return kExitOk;
    }
    if (action == "remove") {
      if (p.size() != 3) return Usage("token remove takes NAME");
      HRESULT hr = store.Remove(p[2]);
      if (hr == HresultFromErrno(ENOENT)) return failed("no token named " + p[2], hr);
      if (Failed(hr)) return failed("cannot write " + store.path(), hr);
      return kExitOk;
    }
    if (action == "list") {
      if (p.size() != 2) return Usage("token list takes no arguments");
      std::vector<bridge::TokenEntry> list;
      HRESULT hr = store.List(&list);
      if (Failed(hr)) return failed("cannot read " + store.path(), hr);
      Json doc = Json::array();
      for (const bridge::TokenEntry& t : list) {
        if (o_.json) {
          doc.push_back(Json{
              {"name", t.name}, {"role", std::string(RoleName(t.role))}, {"created", t.created}});
        } else {
          char when[32] = "";
          std::tm tm{};
          if (localtime_r(&t.created, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
          out_ << std::left << std::setw(24) << t.name << std::setw(9) << RoleName(t.role) << when
               << "\n";
        }
      }
      if (o_.json) out_ << doc.dump() << "\n";
      return kExitOk;
    }
    return Usage("token takes add, list or remove");
  }

  int BadReply(const std::string& what) {
    out_.flush();
    err_ << "zelctl: malformed reply from the bridge (" << what << ")\n";
    return kExitBadReply;
  }

  int Usage(const std::string& message) {
    err_ << "zelctl: " << message << "\n"
         << "Try 'zelctl --help'.\n";
    return kExitUsage;
  }

  // Reports a failed operation; returns the exit status for it.
  int Report(const std::string& what, HRESULT hr, const Json& reply) {
    if (hr == bridge::E_BRIDGE_UNREACHABLE || hr == E_TIMEOUT) {
      err_ << "zelctl: cannot reach the bridge at "
           << (o_.port > 0 ? "127.0.0.1:" + std::to_string(o_.port)
                           : ClientFor(o_).unix_socket_path)
           << " (" << StatusNameOf(hr) << ")\n";
      return kExitUnreachable;
    }
    if (hr == bridge::E_BRIDGE_BAD_REPLY) return BadReply(what + ": not a reply of the bridge");
    if (o_.json) {
      out_ << (reply.is_object() ? reply : Json{{"status", StatusText(hr)}}).dump() << "\n";
    }
    err_ << "zelctl: " << what << ": " << StatusNameOf(hr) << " (" << StatusText(hr) << ")";
    if (reply.is_object() && reply.contains("error")) {
      const Json& error = reply["error"];
      std::string description =
          Member(error, "description").is_string() ? TextOf(Member(error, "description")) : "";
      std::string source =
          Member(error, "source").is_string() ? TextOf(Member(error, "source")) : "";
      if (!description.empty()) err_ << ": " << description;
      if (!source.empty() && source != "bridge") err_ << " [" << source << "]";
    }
    err_ << "\n";
    return kExitFailedStatus;
  }

  HRESULT Op(const Json& request, Json* reply) { return client_.Op(request, reply); }

  int Connect() {
    Json reply;
    HRESULT hr = client_.OpenSession();
    if (Failed(hr)) return Report("open a session", hr, reply);
    hr = Op({{"op", "create"}, {"class", o_.cls}}, &reply);
    if (Failed(hr)) return Report("create " + o_.cls, hr, reply);
    server_ = ResultObject(reply);
    return kExitOk;
  }

  // Walks the path's segments but the last from the server object; *handle gets the object the
  // last segment belongs to.
  int Walk(const std::vector<PathSegment>& path, size_t count, std::string* handle) {
    std::string current = server_;
    for (size_t i = 0; i < count; ++i) {
      const PathSegment& s = path[i];
      Json reply;
      HRESULT hr = Op({{"op", s.has_call ? "call" : "get"},
                       {"object", current},
                       {"member", s.name},
                       {"args", s.args}},
                      &reply);
      if (Failed(hr)) return Report("get " + PathText(path, i + 1), hr, reply);
      const Json& r = ResultMember(reply, "object");
      if (TypeOf(reply["result"]) != VT_DISPATCH || !r.is_string()) {
        Json none;
        return Report(PathText(path, i + 1) + " is not an object", DISP_E_TYPEMISMATCH, none);
      }
      current = r.get<std::string>();
    }
    *handle = current;
    return kExitOk;
  }

  static std::string PathText(const std::vector<PathSegment>& path, size_t count) {
    std::vector<std::string> parts;
    for (size_t i = 0; i < count; ++i) {
      std::string p = path[i].name;
      if (path[i].has_call) {
        std::vector<std::string> args;
        for (const Json& a : path[i].args) args.push_back(a.dump());
        p += "(" + Join(args, ",") + ")";
      }
      parts.push_back(p);
    }
    return Join(parts, ".");
  }

  int ParsedPath(const std::string& text, std::vector<PathSegment>* path) {
    std::string error;
    if (Failed(ParsePath(text, path, &error))) return Usage("bad path \"" + text + "\": " + error);
    return kExitOk;
  }

  // Runs the last segment of the path with the given op; prints the result.
  int Final(const std::string& op, const std::string& path_text, std::vector<Json> extra,
            bool put) {
    std::vector<PathSegment> path;
    if (int rc = ParsedPath(path_text, &path); rc != kExitOk) return rc;
    std::string handle;
    if (int rc = Walk(path, path.size() - 1, &handle); rc != kExitOk) return rc;
    const PathSegment& last = path.back();
    Json args = last.args;
    Json request{{"op", op}, {"object", handle}, {"member", last.name}};
    if (put) {
      request["value"] = extra.at(0);
    } else {
      for (Json& a : extra) args.push_back(std::move(a));
    }
    request["args"] = std::move(args);
    Json reply;
    HRESULT hr = Op(request, &reply);
    if (Failed(hr)) return Report(op + " " + path_text, hr, reply);
    // A get or a call answers with a tagged value; a put with none.
    int vt = VT_EMPTY;
    if (!put) {
      (void)ResultMember(reply, "vt");
      vt = TypeOf(reply["result"]);
      if (vt < 0) throw MalformedReply{"a result without a type"};
    }
    if (o_.json) {
      out_ << reply.dump() << "\n";
    } else if (vt != VT_EMPTY) {
      out_ << ValueText(reply["result"]) << "\n";
    }
    return kExitOk;
  }

  int Get() { return Final("get", o_.positional[1], {}, false); }
  int Put() {
    const std::string& value = o_.positional[2];
    if (value.empty() || value[0] != '@') {
      return Final("put", o_.positional[1], {ParseLiteral(value)}, true);
    }
    // "@PATH": the object that PATH reaches, e.g. the transport CommHandlers.Item(2).
    std::vector<PathSegment> object_path;
    if (int rc = ParsedPath(value.substr(1), &object_path); rc != kExitOk) return rc;
    std::string handle;
    if (int rc = Walk(object_path, object_path.size(), &handle); rc != kExitOk) return rc;
    return Final("put", o_.positional[1], {Json{{"vt", VT_DISPATCH}, {"object", handle}}}, true);
  }
  int Call() {
    std::vector<Json> extra;
    for (size_t i = 2; i < o_.positional.size(); ++i) {
      extra.push_back(ParseLiteral(o_.positional[i]));
    }
    return Final("call", o_.positional[1], std::move(extra), false);
  }

  int Status() {
    struct Row {
      std::string label;
      std::string text;
    };
    std::vector<Row> rows;
    Json doc = Json::object();
    int rc = kExitOk;
    auto read = [&](const std::string& member, Json* value) -> HRESULT {
      Json reply;
      HRESULT hr = Op({{"op", "get"}, {"object", server_}, {"member", member}}, &reply);
      if (Succeeded(hr)) {
        (void)ResultMember(reply, "vt");
        *value = reply["result"];
      }
      return hr;
    };
    const std::pair<const char*, const char*> fields[] = {{"Status", "Status"},
                                                          {"Model", "Model"},
                                                          {"version", "Version"},
                                                          {"PhoneNumber", "Phone"},
                                                          {"Date", "Date"}};
    for (auto [member, label] : fields) {
      Json v;
      HRESULT hr = read(member, &v);
      std::string key = member == std::string("version") ? "Version" : member;
      if (Failed(hr)) {
        rows.push_back({label, "! " + StatusNameOf(hr)});
        doc["errors"][key] = StatusText(hr);
        if (std::string(member) == "Status") rc = kExitFailedStatus;
        continue;
      }
      if (std::string(member) == "Status" && v.contains("value") && v["value"].is_number()) {
        int64_t s = v["value"].get<int64_t>();
        const char* name = ServerStatusName(s) != nullptr ? ServerStatusName(s) : "?";
        rows.push_back({label, std::string(name) + " (" + std::to_string(s) + ")"});
        doc["Status"] = s;
        doc["StatusName"] = name;
      } else {
        rows.push_back({label, ValueText(v)});
        doc[key] = v.contains("value") ? v["value"] : Json();
        if (TypeOf(v) == VT_DATE) doc["DateText"] = ValueText(v);
      }
    }
    // The link's health: state, failures since the last good exchange and when that was.
    {
      Json state, failures, last_good;
      if (Succeeded(read("LinkState", &state))) {
        std::string text = state.value("value", std::string("?"));
        doc["LinkState"] = text;
        if (Succeeded(read("LinkFailures", &failures))) {
          doc["LinkFailures"] = failures.value("value", Json());
          text += ", " + ValueText(failures) + " failed since the last good exchange";
        }
        if (Succeeded(read("LinkLastGood", &last_good)) && last_good.value("vt", 0) == VT_DATE) {
          doc["LinkLastGood"] = ValueText(last_good);
          text += " (" + ValueText(last_good) + ")";
        }
        rows.push_back({"Link", text});
      }
    }
    static const char* const kCollections[] = {
        "Zones", "Units",    "Areas",      "Thermostats",  "TemperatureSensors", "Buttons",
        "Codes", "Messages", "AudioZones", "AudioSources", "Expansions"};
    doc["counts"] = Json::object();
    for (const char* name : kCollections) {
      Json v;
      HRESULT hr = read(name, &v);
      if (hr == DISP_E_UNKNOWNNAME) continue;  // the server has no such collection
      if (Succeeded(hr) && TypeOf(v) == VT_DISPATCH && v.contains("object") &&
          v["object"].is_string()) {
        Json reply;
        hr = Op({{"op", "get"}, {"object", v["object"]}, {"member", "Count"}}, &reply);
        if (Succeeded(hr)) {
          rows.push_back({name, ValueText(reply["result"])});
          doc["counts"][name] = ResultMember(reply, "value");
          continue;
        }
      }
      if (Succeeded(hr)) hr = DISP_E_TYPEMISMATCH;
      rows.push_back({name, "! " + StatusNameOf(hr)});
      doc["errors"][name] = StatusText(hr);
    }
    if (o_.json) {
      out_ << doc.dump() << "\n";
    } else {
      size_t width = 0;
      for (const Row& r : rows) width = std::max(width, r.label.size());
      for (const Row& r : rows) {
        out_ << std::left << std::setw(static_cast<int>(width + 2)) << r.label << r.text << "\n";
      }
    }
    return rc;
  }

  // The columns of a list: the element's parameterless, non-object properties (at most six).
  std::vector<std::string> DefaultColumns(const std::string& element) {
    Json reply;
    std::vector<std::string> columns;
    if (Failed(Op({{"op", "describe"}, {"object", element}}, &reply))) return columns;
    for (const Json& m : Items(Member(reply, "members"))) {
      for (const Json& a : Items(Member(m, "accessors"))) {
        bool required = false;
        for (const Json& p : Items(Member(a, "params"))) {
          required |= !(Member(p, "optional").is_boolean() && Member(p, "optional").get<bool>());
        }
        int vt = TypeOf(a);
        if (Member(a, "kind") == "get" && !required && vt != VT_DISPATCH && vt != VT_UNKNOWN &&
            (vt & VT_ARRAY) == 0 && Member(m, "name").is_string()) {
          columns.push_back(Member(m, "name").get<std::string>());
          break;
        }
      }
      if (columns.size() == 6) break;
    }
    return columns;
  }

  int List() {
    std::vector<PathSegment> path;
    if (int rc = ParsedPath(o_.positional[1], &path); rc != kExitOk) return rc;
    std::string collection;
    if (int rc = Walk(path, path.size(), &collection); rc != kExitOk) return rc;
    Json reply;
    HRESULT hr = Op({{"op", "get"}, {"object", collection}, {"member", "Count"}}, &reply);
    if (Failed(hr)) return Report("get " + o_.positional[1] + ".Count", hr, reply);
    const Json& count_value = ResultMember(reply, "value");
    if (!count_value.is_number_integer()) throw MalformedReply{"a Count of " + count_value.dump()};
    int64_t count = count_value.get<int64_t>();
    std::vector<std::string> columns = o_.columns;
    std::vector<std::vector<std::string>> cells;
    Json rows = Json::array();
    int rc = kExitOk;
    for (int64_t i = 1; i <= count; ++i) {
      hr = Op({{"op", "call"}, {"object", collection}, {"member", "Item"}, {"args", {i}}}, &reply);
      if (Failed(hr)) {
        return Report("call " + o_.positional[1] + ".Item(" + std::to_string(i) + ")", hr, reply);
      }
      std::string element = ResultObject(reply);
      if (columns.empty()) columns = DefaultColumns(element);
      std::vector<std::string> line;
      Json row = Json::object();
      for (const std::string& col : columns) {
        Json r;
        HRESULT chr = Op({{"op", "get"}, {"object", element}, {"member", col}}, &r);
        if (Succeeded(chr)) {
          line.push_back(ValueText(r["result"]));
          row[col] = r["result"];
        } else {
          line.push_back("! " + StatusNameOf(chr));
          row[col] = Json{{"status", StatusText(chr)}};
          rc = kExitFailedStatus;
        }
      }
      (void)Op({{"op", "release"}, {"object", element}}, &reply);
      cells.push_back(std::move(line));
      rows.push_back(std::move(row));
    }
    if (o_.json) {
      out_ << rows.dump() << "\n";
      return rc;
    }
    std::vector<size_t> widths;
    for (const std::string& c : columns) widths.push_back(c.size());
    for (const auto& line : cells) {
      for (size_t c = 0; c < line.size(); ++c) widths[c] = std::max(widths[c], line[c].size());
    }
    auto print = [&](const std::vector<std::string>& line) {
      std::string text;
      for (size_t c = 0; c < line.size(); ++c) {
        text += line[c];
        if (c + 1 < line.size()) text += std::string(widths[c] - line[c].size() + 2, ' ');
      }
      while (!text.empty() && text.back() == ' ') text.pop_back();
      out_ << text << "\n";
    };
    print(columns);
    for (const auto& line : cells) print(line);
    return rc;
  }

  // The members every log entry has; the others of its class are its own properties.
  static bool CommonEventMember(const std::string& name) {
    static const char* const kCommon[] = {"Index", "Name", "SaveXML", "SaveXMLSnippet",
                                          "Type",  "Time", "Data"};
    for (const char* c : kCommon) {
      if (name == c) return true;
    }
    return false;
  }

  // The class's own readable properties, asked once per class.
  std::vector<std::string> EventProperties(const std::string& cls, const std::string& element) {
    auto it = event_properties_.find(cls);
    if (it != event_properties_.end()) return it->second;
    std::vector<std::string> names;
    Json reply;
    if (Succeeded(Op({{"op", "describe"}, {"object", element}}, &reply))) {
      for (const Json& m : reply["members"]) {
        std::string name = m.value("name", std::string());
        if (CommonEventMember(name)) continue;
        for (const Json& a : m["accessors"]) {
          if (a["kind"] == "get" && a["params"].empty()) {
            names.push_back(name);
            break;
          }
        }
      }
    }
    event_properties_[cls] = names;
    return names;
  }

  // A value for people: an object by its Name (a whole collection: "all"), then released.
  std::string ReadableValue(const Json& value, Json* plain) {
    *plain = value.value("value", Json());
    if (value.value("vt", 0) != VT_DISPATCH || !value["object"].is_string()) {
      return ValueText(value);
    }
    Json reply;
    std::string text;
    if (Succeeded(Op({{"op", "get"}, {"object", value["object"]}, {"member", "Name"}}, &reply)) &&
        reply["result"].value("vt", 0) == VT_BSTR) {
      // A null name (no text for it in the catalogue) reads as empty.
      const Json name = reply["result"].value("value", Json(""));
      text = name.is_string() ? name.get<std::string>() : "";
    } else {
      text = "all";
    }
    (void)Op({{"op", "release"}, {"object", value["object"]}}, &reply);
    *plain = text;
    return text;
  }

  int Events() {
    Json v;
    HRESULT hr = Op({{"op", "get"}, {"object", server_}, {"member", "Events"}}, &v);
    if (Failed(hr) || !v["result"]["object"].is_string()) {
      return Report("get Events", Failed(hr) ? hr : DISP_E_TYPEMISMATCH, v);
    }
    std::string log = v["result"]["object"].get<std::string>();
    Json reply;
    hr = Op({{"op", "get"}, {"object", log}, {"member", "Count"}}, &reply);
    if (Failed(hr)) return Report("get Events.Count", hr, reply);
    int64_t count = reply["result"].value("value", Json(0)).get<int64_t>();
    Json rows = Json::array();
    int rc = kExitOk;
    // Positions are the entries' indexes, so the entries after INDEX start at INDEX + 1.
    for (int64_t i = o_.since + 1; i <= count; ++i) {
      hr = Op({{"op", "call"}, {"object", log}, {"member", "Item"}, {"args", {i}}}, &reply);
      if (Failed(hr) || !reply["result"]["object"].is_string()) {
        return Report("call Events.Item(" + std::to_string(i) + ")",
                      Failed(hr) ? hr : DISP_E_TYPEMISMATCH, reply);
      }
      std::string entry = reply["result"]["object"].get<std::string>();
      std::string cls = reply["result"].value("class", std::string());
      Json row = {{"class", cls.rfind("CZel", 0) == 0 ? cls.substr(4) : cls}};
      std::vector<std::string> props;
      for (const char* member : {"Index", "Type", "Time", "Data"}) {
        Json r;
        HRESULT mhr = Op({{"op", "get"}, {"object", entry}, {"member", member}}, &r);
        Json plain;
        std::string text =
            Succeeded(mhr) ? ReadableValue(r["result"], &plain) : "! " + StatusNameOf(mhr);
        std::string key = member;
        std::transform(key.begin(), key.end(), key.begin(), ::tolower);
        row[key] = plain;
        row[key + "_text"] = text;
      }
      row["properties"] = Json::object();
      for (const std::string& name : EventProperties(cls, entry)) {
        Json r;
        HRESULT mhr = Op({{"op", "get"}, {"object", entry}, {"member", name}}, &r);
        Json plain;
        std::string text = ReadableValue(r["result"], &plain);
        // A number that names nothing the server knows shows as the missing-item text.
        if (Failed(mhr)) {
          text = "! " + StatusNameOf(mhr);
          plain = Json{{"status", StatusText(mhr)}};
        }
        row["properties"][name] = plain;
        props.push_back(name + "=" + text);
      }
      (void)Op({{"op", "release"}, {"object", entry}}, &reply);
      if (!o_.json) {
        out_ << row["index_text"].get<std::string>() << "  " << row["time_text"].get<std::string>()
             << "  " << row["class"].get<std::string>();
        if (!props.empty()) out_ << "  " << Join(props, " ");
        out_ << "\n";
      }
      for (const char* key : {"index_text", "type_text", "time_text", "data_text"}) row.erase(key);
      rows.push_back(std::move(row));
    }
    if (o_.json) out_ << rows.dump() << "\n";
    return rc;
  }

  void PrintEvent(const Json& e) {
    if (o_.json) {
      out_ << e.dump() << "\n";
    } else {
      if (!e.is_object()) throw MalformedReply{"an event that is not an object"};
      out_ << EventLine(e, NowText()) << "\n";
    }
    out_.flush();
  }

  int Watch() {
    Json reply;
    HRESULT hr = Op({{"op", "advise"}, {"object", server_}}, &reply);
    if (Failed(hr)) return Report("connect to the events of " + o_.cls, hr, reply);
    // From here on every event is kept for this session: a script that waits for this line
    // before making something happen misses nothing.
    err_ << "zelctl: watching\n";
    err_.flush();
    long seen = 0;
    BridgeClient releaser(ClientFor(o_));
    releaser.set_session(client_.session());
    // The callback runs inside the HTTP client's read loop, which must not be left by an
    // exception: a malformed event ends the watch and is reported below.
    std::string malformed;
    hr = client_.Watch(
        [&](const Json& e) {
          try {
            PrintEvent(e);
          } catch (const MalformedReply& bad) {
            malformed = bad.what;
            return false;
          } catch (const Json::exception& bad) {
            malformed = bad.what();
            return false;
          }
          // Objects passed with the event are not kept: their handles are given back.
          for (const Json& a : Items(Member(e, "arguments"))) {
            if (Member(a, "object").is_string()) {
              Json r;
              (void)releaser.Op({{"op", "release"}, {"object", a["object"]}}, &r);
            }
          }
          ++seen;
          return o_.count < 0 || seen < o_.count;
        },
        stop_);
    releaser.set_session("");
    if (!malformed.empty()) return BadReply("an event: " + malformed);
    if (hr == S_FALSE) {
      err_ << "zelctl: the bridge ended the event stream\n";
      return kExitFailedStatus;
    }
    Json none;
    if (Failed(hr)) return Report("watch", hr, none);
    return kExitOk;
  }

  // The XML snapshot of the object tree (no PATH) or of the collection or element PATH reaches,
  // to standard output byte for byte as the server writes it (single-byte text). The server
  // writes into a stream object of this session (a callback with interface IStream); each write
  // arrives as an event of the session, in order. A collection is asked element by element
  // (SaveXMLSnippet), so that a large one never overruns the session's event backlog; its tags
  // are its elements' tag with an "S", as every collection's are.
  int Xml() {
    Json reply;
    HRESULT hr = Op({{"op", "callback"}, {"name", "xml"}, {"interface", "IStream"}}, &reply);
    if (Failed(hr)) return Report("make a stream for the XML", hr, reply);
    xml_stream_ = reply["result"];
    std::atomic<bool> stop_watch{false};
    std::thread watch = StartXmlWatch(xml_stream_["object"].get<std::string>(), &stop_watch);
    int rc = XmlBody();
    stop_watch = true;
    watch.join();
    return rc;
  }

  int XmlBody() {
    Json reply;
    HRESULT hr;
    const bool whole = o_.positional.size() == 1;
    std::vector<std::pair<std::string, std::string>> targets;  // label, handle
    if (whole) {
      for (const char* name : kTreeCollections) {
        hr = Op({{"op", "get"}, {"object", server_}, {"member", name}}, &reply);
        if (Failed(hr) || !reply["result"]["object"].is_string()) continue;  // not here
        targets.emplace_back(name, reply["result"]["object"].get<std::string>());
      }
    } else {
      std::vector<PathSegment> path;
      if (int rc = ParsedPath(o_.positional[1], &path); rc != kExitOk) return rc;
      std::string handle;
      if (int rc = Walk(path, path.size(), &handle); rc != kExitOk) return rc;
      targets.emplace_back(o_.positional[1], handle);
    }
    std::string text = whole ? std::string(kXmlDeclarationText) + "<" + kTreeTag + ">" : "";
    for (const auto& [label, handle] : targets) {
      std::string part;
      if (int rc = XmlOf(label, handle, &part); rc != kExitOk) return rc;
      if (whole) part.erase(0, std::strlen(kXmlDeclarationText));
      text += part;
    }
    if (whole) text += std::string("</") + kTreeTag + ">";
    out_ << text;
    out_.flush();
    return kExitOk;
  }

  // The SaveXML text of one collection or element.
  int XmlOf(const std::string& label, const std::string& handle, std::string* text) {
    Json reply;
    HRESULT hr = Op({{"op", "get"}, {"object", handle}, {"member", "Count"}}, &reply);
    int64_t count = 0;
    if (Succeeded(hr) && reply["result"].value("value", Json(0)).is_number()) {
      count = reply["result"]["value"].get<int64_t>();
    }
    if (Failed(hr) || count == 0) return Written(label, handle, "SaveXML", text);  // one piece
    std::string elements, tag;
    for (int64_t i = 1; i <= count; ++i) {
      hr = Op({{"op", "call"}, {"object", handle}, {"member", "Item"}, {"args", {i}}}, &reply);
      if (Failed(hr) || !reply["result"]["object"].is_string()) {
        return Report("call " + label + ".Item(" + std::to_string(i) + ")",
                      Failed(hr) ? hr : DISP_E_TYPEMISMATCH, reply);
      }
      const std::string element = reply["result"]["object"].get<std::string>();
      std::string snippet;
      int rc =
          Written(label + ".Item(" + std::to_string(i) + ")", element, "SaveXMLSnippet", &snippet);
      (void)Op({{"op", "release"}, {"object", element}}, &reply);
      if (rc != kExitOk) return rc;
      if (tag.empty()) tag = snippet.substr(1, snippet.find('>') - 1) + "S";
      elements += snippet;
    }
    *text = std::string(kXmlDeclarationText) + "<" + tag + ">" + elements + "</" + tag + ">";
    return kExitOk;
  }

  // Calls `member` (SaveXML or SaveXMLSnippet) of `handle` with the session's stream and
  // collects what it wrote: every piece up to the closing tag of the first element.
  int Written(const std::string& label, const std::string& handle, const char* member,
              std::string* text) {
    Json reply;
    HRESULT hr = Op(
        {{"op", "call"}, {"object", handle}, {"member", member}, {"args", {xml_stream_}}}, &reply);
    if (Failed(hr)) return Report("call " + label + "." + member, hr, reply);
    std::string all, close;
    for (;;) {
      std::string piece;
      hr = xml_pieces_.Take(std::chrono::milliseconds(o_.timeout_ms), &piece);
      if (Failed(hr)) {
        Json none;
        return Report("read the XML of " + label, hr, none);
      }
      all += piece;
      if (close.empty() && piece.size() > 2 && piece[0] == '<' && piece[1] != '?') {
        close = "</" + piece.substr(1);
      } else if (!close.empty() && piece == close) {
        break;
      }
    }
    *text = std::move(all);
    return kExitOk;
  }

  // What the stream callback receives, from the one event stream the `xml` command reads on a
  // thread of its own (a stream per element would open and close streams faster than the
  // bridge retires them). mu guards the fields.
  struct XmlPieces {
    Mutex mu;
    CondVar cv;
    std::deque<std::string> pieces ZEL_GUARDED_BY(mu);
    // E_ABORT when events were dropped; the stream's end otherwise.
    HRESULT ended ZEL_GUARDED_BY(mu) = S_OK;
    bool done ZEL_GUARDED_BY(mu) = false;

    void Put(std::string piece) {
      MutexLock g(&mu);
      pieces.push_back(std::move(piece));
      cv.SignalAll();
    }
    void End(HRESULT why) {
      MutexLock g(&mu);
      if (!done) ended = why;
      done = true;
      cv.SignalAll();
    }
    HRESULT Take(std::chrono::milliseconds limit, std::string* piece) {
      auto deadline = std::chrono::steady_clock::now() + limit;
      MutexLock g(&mu);
      while (pieces.empty() && !done) {
        if (!cv.WaitUntil(&mu, deadline) && pieces.empty() && !done) return E_TIMEOUT;
      }
      if (pieces.empty()) return Failed(ended) ? ended : E_ABORT;
      *piece = std::move(pieces.front());
      pieces.pop_front();
      return S_OK;
    }
  };

  // Runs the event stream of the session on a thread until *stop; every write to `stream`
  // becomes a piece.
  std::thread StartXmlWatch(const std::string& stream, std::atomic<bool>* stop) {
    return std::thread([this, stream, stop] {
      BridgeClient watcher(ClientFor(o_));
      watcher.set_session(client_.session());
      HRESULT hr = watcher.Watch(
          [&](const Json& e) {
            if (e.value("member", std::string()) == bridge::kDroppedMember) {
              xml_pieces_.End(E_ABORT);
              return false;
            }
            if (e.value("source", std::string()) == stream) {
              std::string bytes;
              for (const Json& a : e["arguments"]) {
                for (const Json& b : a.value("value", Json::array())) {
                  bytes.push_back(static_cast<char>(b.get<int>()));
                }
              }
              xml_pieces_.Put(std::move(bytes));
            }
            return !stop->load() && (stop_ == nullptr || !stop_->load());
          },
          stop);
      watcher.set_session("");
      xml_pieces_.End(Failed(hr) ? hr : E_ABORT);
    });
  }

  Options o_;
  std::ostream& out_;
  std::ostream& err_;
  const std::atomic<bool>* stop_;
  BridgeClient client_;
  std::string server_;
  std::map<std::string, std::vector<std::string>> event_properties_;
  Json xml_stream_;  // the stream callback of `xml`
  XmlPieces xml_pieces_;
};

}  // namespace

std::string EventLine(const Json& event, const std::string& received_at) {
  std::string time = received_at;
  std::vector<std::string> parts;
  const Json args = event.value("arguments", Json::array());
  for (const Json& a : args) {
    if (!a.is_object() || !a.contains("properties") || !a["properties"].is_object()) {
      parts.push_back(ValueText(a));
      continue;
    }
    const Json& p = a["properties"];
    if (p.contains("Time") && p["Time"].value("vt", 0) == 7 && p["Time"]["value"].is_number()) {
      time = DateText(p["Time"]["value"].get<double>());
    }
    // The kind and the code first, then the rest; position, label and time say nothing new.
    for (const char* key : {"Type", "Code"}) {
      if (p.contains(key)) parts.push_back(PropertyText(key, p[key]));
    }
    for (const auto& [key, value] : p.items()) {
      if (key == "Type" || key == "Code" || key == "Index" || key == "Name" || key == "Time") {
        continue;
      }
      parts.push_back(PropertyText(key, value));
    }
  }
  std::string line = time + " " + event.value("member", std::string("?"));
  for (const std::string& part : parts) line += " " + part;
  return line;
}

std::string DateText(double automation_date) {
  // Automation dates span the years 100 to 9999.
  if (!std::isfinite(automation_date) || std::fabs(automation_date) > 2958466.0) {
    return "(invalid date)";
  }
  // The whole part counts days from 1899-12-30; the fraction is the time of day, counted
  // forward even for dates before 1899-12-30 (-1.25 is 1899-12-29 06:00).
  double day = std::trunc(automation_date);
  double fraction = std::fabs(automation_date - day);
  int64_t seconds = std::llround(fraction * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    day += 1;
  }
  // Days since 1970-01-01, then the civil date (proleptic Gregorian calendar).
  int64_t z = static_cast<int64_t>(day) - 25569 + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld",
                static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                static_cast<long long>(seconds % 60));
  return text;
}

namespace {

// The position of the command word: the first argument that is neither an option nor the value
// of one (args.size() when there is none).
size_t CommandIndex(const std::vector<std::string>& args) {
  static const char* const kValued[] = {"--socket",  "--instance", "--port",  "--token",  "--class",
                                        "--timeout", "--count",    "--since", "--columns"};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.empty() || a[0] != '-') return i;
    if (a.find('=') != std::string::npos) continue;
    if (std::find(std::begin(kValued), std::end(kValued), a) != std::end(kValued)) ++i;
  }
  return args.size();
}

// zelctl [global options] setup ...: setup's own options follow the word (its --port is the
// controller's UDP port, not the bridge's).
int RunSetupCommand(const std::vector<std::string>& args, size_t at, std::ostream& out,
                    std::ostream& err) {
  Options o;
  std::string error;
  std::vector<std::string> global(args.begin(), args.begin() + static_cast<long>(at));
  std::vector<std::string> rest(args.begin() + static_cast<long>(at) + 1, args.end());
  if (!ParseOptions(global, &o, &error)) {
    err << "zelctl: " << error << "\nTry 'zelctl setup --help'.\n";
    return kExitUsage;
  }
  bool help = o.help || std::find(rest.begin(), rest.end(), "--help") != rest.end();
  if (help) {
    out << CommandHelp().at("setup");
    return kExitOk;
  }
  SetupRequest request;
  if (!ParseSetupArgs(rest, &request, &error)) {
    err << "zelctl: " << error << "\nTry 'zelctl setup --help'.\n";
    return kExitUsage;
  }
  // The catalogue the daemon of that instance reads (for the serial device prefix).
  std::string instance = o.instance;
  if (instance.empty() && !o.socket.empty()) {
    size_t slash = o.socket.rfind('/');
    instance = slash == std::string::npos ? "." : o.socket.substr(0, slash);
  }
  if (!instance.empty()) SetInstanceDir(instance);
  // A start downloads setup and names, which takes longer than one request's default minute
  // on a slow line; an explicit --timeout still wins.
  bool timeout_given = false;
  for (const std::string& a : global) timeout_given |= a.rfind("--timeout", 0) == 0;
  if (!timeout_given) o.timeout_ms = 300000;
  BridgeClient client(ClientFor(o));
  return RunSetup(request, &client, ResourceLibraryPath(), o.json, out, err);
}

}  // namespace

int RunZelctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              const std::atomic<bool>* stop) {
  if (size_t at = CommandIndex(args); at < args.size() && args[at] == "setup") {
    return RunSetupCommand(args, at, out, err);
  }
  Options o;
  std::string error;
  if (!ParseOptions(args, &o, &error)) {
    err << "zelctl: " << error << "\nTry 'zelctl --help'.\n";
    return kExitUsage;
  }
  if (o.positional.empty()) {
    if (o.help) {
      out << kUsage;
      return kExitOk;
    }
    err << kUsage;
    return kExitUsage;
  }
  Ctl ctl(std::move(o), out, err, stop);
  return ctl.Run();
}

}  // namespace zel::cli
