#include "service/daemon_options.h"

#include <charconv>

namespace zel {

std::string DaemonUsage() {
  return R"(Usage: zelcommsrv [options] [-SWITCH]

Runs the communications server in the foreground: creates the server object, starts it against
the controller configured in the instance directory, and serves local clients through the
automation bridge until SIGTERM or SIGINT, then stops the server and exits.

Options:
  --instance DIR   instance directory (ZELINFO.DAT, SRVRLOG.XML, registry.json, the text
                   catalogue); default: $ZELCOMMSRV_HOME, else /var/lib/zelcommsrv
  --socket PATH    the bridge's Unix socket; default: DIR/zelbridge.sock
  --no-socket      do not listen on a Unix socket
  --tcp            also listen on 127.0.0.1 (every request then needs a bearer token; see
                   docs/security.md); off unless given or enabled in DIR/access.json
  --port N         the loopback TCP port (default 8714); implies --tcp; 0 picks a free port
  --no-tcp         do not listen on TCP, whatever access.json says (the default)
  --no-start       do not call Start at launch; a client configures the server and starts it
  --web DIR        the web front end's folder, served at /Portico/ on the TCP listener;
                   default: the folder -RegServer registered, else PREFIX/share/zelcommsrv/web,
                   else the source tree's web/ (a program run from its build tree)
  --link-down-after MS
                   how long exchanges must fail, with none good, before LinkState says "down"
                   (1 to 3600000 ms; default 10000)
  --root DIR       -RegServer and -UnregServer write the registry file, the unit and the
                   service user under DIR instead of the live system (no root needed);
                   default: $ZELCOMMSRV_ROOT, else the live system
  --version        print the version and exit
  --help           print this text and exit

Switches (one, last on the line, after "-", "--" or "/", in any letter case):
  -RegServer          register: the systemd unit (enabled, not started), the service user and
                      group, the registry's class, application id, event source, transport
                      catalogue and web directory (see docs/service.md); needs root
  -UnregServer        unregister: removes them again (the user, group and catalogue key stay)
  -LaunchWeb          open the web front end (http://127.0.0.1:PORT/Portico/) with xdg-open
                      on a desktop, else print its address; PORT as --port or access.json says
  -LaunchRegistration the same for /Portico/register.asp
  -LaunchHelp         the same for /Portico/help.htm
The switch is matched against the rest of the whole command line, so "-RegServer now" is no
switch. Words that are no switch and no long option (like "-Service") are ignored: the server
starts normally. The options above still apply with a switch (--instance chooses the instance).

A Start that fails does not end the process: clients can reconfigure the server and start it
again through the bridge (see docs/client-api.md).
)";
}

HRESULT ParseDaemonOptions(const std::vector<std::string>& args, DaemonOptions* options,
                           std::string* error) {
  auto fail = [&](std::string message) {
    if (error) *error = std::move(message);
    return E_INVALIDARG;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) -> bool {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      options->show_help = true;
    } else if (a == "--version") {
      options->show_version = true;
    } else if (a == "--instance") {
      if (!value(&options->instance_dir) || options->instance_dir.empty()) {
        return fail("--instance needs a directory");
      }
    } else if (a == "--socket") {
      if (!value(&options->socket_path) || options->socket_path.empty()) {
        return fail("--socket needs a path");
      }
    } else if (a == "--root") {
      if (!value(&options->root_dir) || options->root_dir.empty()) {
        return fail("--root needs a directory");
      }
    } else if (a == "--no-socket") {
      options->listen_unix = false;
    } else if (a == "--web") {
      if (!value(&options->web_dir) || options->web_dir.empty()) {
        return fail("--web needs a directory");
      }
    } else if (a == "--no-start") {
      options->start_server = false;
    } else if (a == "--no-tcp") {
      options->tcp = 0;
    } else if (a == "--tcp") {
      options->tcp = 1;
    } else if (a == "--port") {
      std::string text;
      if (!value(&text)) return fail("--port needs a number");
      int port = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
      if (ec != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535) {
        return fail("--port needs a number from 0 to 65535, not '" + text + "'");
      }
      options->tcp_port = port;
      options->tcp = 1;
    } else if (a == "--link-down-after") {
      std::string text;
      if (!value(&text)) return fail("--link-down-after needs a number of milliseconds");
      int ms = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), ms);
      if (ec != std::errc() || end != text.data() + text.size() || ms < 1 || ms > 3600000) {
        return fail("--link-down-after needs milliseconds from 1 to 3600000, not '" + text + "'");
      }
      options->link_down_after_ms = ms;
    } else if (a.rfind("--", 0) == 0) {
      return fail("unknown option '" + a + "' (see --help)");
    }
    // Anything else ("-Service", "/x", a bare word) is a switch that matched none of the host's
    // switches, and a switch that matches nothing means a normal start.
  }
  return S_OK;
}

}  // namespace zel
