// zelctl against the fake server behind a real bridge: every command, both output forms, the
// exit statuses, and the usage faults.
#include "cli/zelctl.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <thread>

#include "bridge/bridge_test_util.h"
#include "bridge/fake_server.h"
#include "bridge/protocol.h"
#include "testing/temp_dir.h"

namespace zel::cli {
namespace {

using bridge::testing::TestBridge;
using Json = nlohmann::json;

class ZelctlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, server_.start_status()); }

  // Runs zelctl with the test bridge's socket; returns the exit status.
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--socket", server_.bridge().unix_socket_path()});
    out_.str("");
    err_.str("");
    return RunZelctl(args, out_, err_);
  }
  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }

  TestBridge server_;
  std::ostringstream out_, err_;
};

TEST_F(ZelctlTest, StatusForPeopleAndScripts) {
  ASSERT_EQ(kExitOk, Run({"status"})) << err();
  EXPECT_NE(std::string::npos, out().find("Status       ssInteractive (16)\n")) << out();
  EXPECT_NE(std::string::npos, out().find("Model        Test Panel 2000\n")) << out();
  EXPECT_NE(std::string::npos, out().find("Version      3.14\n")) << out();
  EXPECT_NE(std::string::npos, out().find("Phone        555-0100\n")) << out();
  EXPECT_NE(std::string::npos, out().find("Date         2023-03-15 12:00:00\n")) << out();
  EXPECT_NE(std::string::npos, out().find("Zones        3\n")) << out();
  EXPECT_NE(std::string::npos, out().find("Thermostats  2\n")) << out();
  EXPECT_EQ(std::string::npos, out().find("Units")) << "collections the server lacks are left out";

  ASSERT_EQ(kExitOk, Run({"status", "--json"}));
  Json j = Json::parse(out());
  EXPECT_EQ(16, j["Status"]);
  EXPECT_EQ("ssInteractive", j["StatusName"]);
  EXPECT_EQ("3.14", j["Version"]);
  EXPECT_EQ((Json{{"Zones", 3}, {"Areas", 1}, {"Thermostats", 2}}), j["counts"]);
}

TEST_F(ZelctlTest, GetPutCallThroughPaths) {
  ASSERT_EQ(kExitOk, Run({"get", "Zones.Item(2).Name"})) << err();
  EXPECT_EQ("Garage\n", out());
  ASSERT_EQ(kExitOk, Run({"get", "Zones.Item(3).CurrCondition", "--json"}));
  EXPECT_EQ((Json{{"vt", 3}, {"value", 0}}), Json::parse(out())["result"]);

  ASSERT_EQ(kExitOk, Run({"put", "Thermostats.Item(1).HeatSetpointF", "68"})) << err();
  EXPECT_EQ("", out());
  ASSERT_EQ(kExitOk, Run({"get", "Thermostats.Item(1).HeatSetpointF"}));
  EXPECT_EQ("68\n", out());

  ASSERT_EQ(kExitOk, Run({"call", "Areas.Item(1).Arm", "1234", "3"})) << err();
  ASSERT_EQ(kExitOk, Run({"get", "Areas.Item(1).LastArm"}));
  EXPECT_EQ("1234/3\n", out());
  ASSERT_EQ(kExitOk, Run({"call", "Areas.Item(1).Arm(\"0042\")"})) << err();
  ASSERT_EQ(kExitOk, Run({"get", "Areas.Item(1).LastArm"}));
  EXPECT_EQ("0042/-\n", out()) << "the optional mode was left out";

  ASSERT_EQ(kExitOk, Run({"get", "Zones"}));
  EXPECT_EQ(0u, out().find("<CZelZones h")) << out();
  ASSERT_EQ(kExitOk, Run({"get", "Bytes"}));
  EXPECT_EQ("[90, 1, 5]\n", out());
  ASSERT_EQ(kExitOk, Run({"get", "NullText"}));
  EXPECT_EQ("(null)\n", out());
}

TEST_F(ZelctlTest, PutAnObjectByItsPath) {
  // OnStatus takes an object (or nothing), and refuses anything else.
  ASSERT_EQ(kExitOk, Run({"put", "OnStatus", "@Zones.Item(1)"})) << err();
  EXPECT_EQ(kExitFailedStatus, Run({"put", "OnStatus", "5"}));
  EXPECT_EQ(kExitFailedStatus, Run({"put", "OnStatus", "@Zones.Item(1).Name"}));
  EXPECT_NE(std::string::npos, err().find("is not an object")) << err();
  EXPECT_EQ(kExitUsage, Run({"put", "OnStatus", "@Zones..Item"}));
  // Quoted, a text that starts with @ is text.
  ASSERT_EQ(kExitOk, Run({"put", "Name", "\"@home\""})) << err();
  ASSERT_EQ(kExitOk, Run({"get", "Name"}));
  EXPECT_EQ("@home\n", out());
}

TEST_F(ZelctlTest, FailedStatusGivesExitOneAndTheReason) {
  EXPECT_EQ(kExitFailedStatus, Run({"put", "Thermostats.Item(1).HeatSetpointF", "200"}));
  EXPECT_NE(std::string::npos, err().find("E_INVALIDARG (80070057)")) << err();
  EXPECT_EQ(kExitFailedStatus, Run({"get", "Zones.Item(9).Name"}));
  EXPECT_NE(std::string::npos, err().find("get Zones.Item(9)")) << err();
  EXPECT_EQ(kExitFailedStatus, Run({"get", "Nope"}));
  EXPECT_NE(std::string::npos, err().find("DISP_E_UNKNOWNNAME")) << err();
  EXPECT_EQ(kExitFailedStatus, Run({"call", "Fail"}));
  EXPECT_NE(std::string::npos, err().find("the fake always fails here [Test.Server]")) << err();
  EXPECT_EQ(kExitFailedStatus, Run({"get", "Name.Length"}));
  EXPECT_NE(std::string::npos, err().find("Name is not an object")) << err();
  EXPECT_EQ(kExitFailedStatus, Run({"call", "Fail", "--json"}));
  EXPECT_EQ("80004005", Json::parse(out())["status"]);
}

TEST_F(ZelctlTest, ListShowsATableOfTheElements) {
  ASSERT_EQ(kExitOk, Run({"list", "Zones"})) << err();
  EXPECT_EQ(
      "Index  ID  Name        CurrCondition  HeatSetpointF  LastArm\n"
      "1      1   Front Door  1              70\n"
      "2      2   Garage      2              70\n"
      "3      3   Hall        0              70\n",
      out());
  ASSERT_EQ(kExitOk, Run({"list", "Zones", "--columns", "Name,CurrCondition", "--json"}));
  Json rows = Json::parse(out());
  ASSERT_EQ(3u, rows.size());
  EXPECT_EQ((Json{{"Name", {{"vt", 8}, {"value", "Hall"}}},
                  {"CurrCondition", {{"vt", 3}, {"value", 0}}}}),
            rows[2]);
  EXPECT_EQ(kExitFailedStatus, Run({"list", "Zones", "--columns", "Name,Bogus"}));
  EXPECT_NE(std::string::npos, out().find("! DISP_E_UNKNOWNNAME")) << out();
}

TEST_F(ZelctlTest, WatchPrintsEventsAsTheyArrive) {
  int rc = -1;
  std::thread watcher([&] { rc = Run({"watch", "--count", "3"}); });
  ASSERT_TRUE(bridge::testing::WaitFor([&] { return server_.bridge().stream_count() == 1; },
                                       std::chrono::milliseconds(5000)));
  ComPtr<IDispatch> server;
  ASSERT_EQ(S_OK, ClassRegistry::Instance().Create(bridge::testing::kFakeZelServerClsid, &server));
  auto* fake = static_cast<bridge::testing::FakeServer*>(server.get());
  ASSERT_EQ(S_OK, fake->FireTicks(2));
  ASSERT_EQ(S_OK, fake->FireObject());
  watcher.join();
  EXPECT_EQ(kExitOk, rc) << err();
  EXPECT_EQ("zelctl: watching\n", err());  // the ready line scripts wait for
  // One line each: the time received, the member, the arguments; an object with its properties.
  std::vector<std::string> lines;
  std::istringstream text(out());
  for (std::string line; std::getline(text, line);) lines.push_back(line.substr(20));
  ASSERT_EQ(3u, lines.size()) << out();
  EXPECT_EQ("OnTick 1", lines[0]);
  EXPECT_EQ("OnTick 2", lines[1]);
  EXPECT_EQ(0u, lines[2].find("OnObject ")) << lines[2];
  EXPECT_NE(std::string::npos, lines[2].find("ID=")) << lines[2];
}

TEST(EventLineTest, SystemEventsReadAsOneLine) {
  Json zone_event = Json::parse(R"({"member":"OnSystemZoneStatusChange","seq":4,
    "arguments":[{"vt":9,"object":"h7","class":"CZelSystemZoneEvent","properties":{
      "Index":{"vt":3,"value":12},"Name":{"vt":8,"value":"Zone"},
      "Time":{"vt":7,"value":45000.75},"Type":{"vt":3,"value":17},
      "Code":{"vt":3,"value":1029},"State":{"vt":3,"value":0},
      "Zone":{"vt":9,"object":"h3","class":"CZelZone","name":"BACK DOOR"}}}]})");
  EXPECT_EQ(
      "2023-03-15 18:00:00 OnSystemZoneStatusChange Type=17 Code=0x0405 State=0 "
      "Zone=BACK DOOR (h3)",
      EventLine(zone_event, "now"));
  Json status =
      Json::parse(R"({"member":"OnServerStatusChange","arguments":[{"vt":3,"value":16}]})");
  EXPECT_EQ("now OnServerStatusChange 16", EventLine(status, "now"));
  Json dropped = Json::parse(
      R"({"interface":"bridge","member":"EventsDropped","arguments":[{"vt":19,"value":7}]})");
  EXPECT_EQ("now EventsDropped 7", EventLine(dropped, "now"));
  // An object that names nothing, and one without a name.
  Json nothing = Json::parse(R"({"member":"OnSystemMacroButton","arguments":[{"vt":9,
    "object":"h9","class":"CZelSystemMacroEvent","properties":{
      "Button":{"vt":9,"object":"h2","class":"CZelCollectionElement"}}}]})");
  EXPECT_EQ("now OnSystemMacroButton Button=<CZelCollectionElement h2>", EventLine(nothing, "now"));
}

TEST_F(ZelctlTest, UsageFaultsAndHelp) {
  EXPECT_EQ(kExitUsage, Run({}));
  EXPECT_EQ(kExitUsage, Run({"frobnicate"}));
  EXPECT_NE(std::string::npos, err().find("unknown command \"frobnicate\"")) << err();
  EXPECT_EQ(kExitUsage, Run({"get"}));
  EXPECT_EQ(kExitUsage, Run({"put", "Name"}));
  EXPECT_EQ(kExitUsage, Run({"status", "extra"}));
  EXPECT_EQ(kExitUsage, Run({"get", "Zones..Count"}));
  EXPECT_NE(std::string::npos, err().find("expected a member name at position 7")) << err();
  EXPECT_EQ(kExitUsage, Run({"--bogus", "status"}));
  EXPECT_EQ(kExitUsage, Run({"--port", "http", "status"}));
  EXPECT_EQ(kExitOk, Run({"--help"}));
  EXPECT_NE(std::string::npos, out().find("usage: zelctl")) << out();
  for (const char* cmd : {"status", "get", "put", "call", "list", "watch", "setup"}) {
    EXPECT_EQ(kExitOk, Run({cmd, "--help"})) << cmd;
    EXPECT_EQ(0u, out().find(std::string("usage: zelctl ") + cmd)) << out();
  }
}

// setup takes its own options after the word: its --port is the controller's UDP port, so it
// must not be read as the bridge's TCP port, and its faults are caught before the bridge is
// asked anything.
TEST_F(ZelctlTest, SetupOptionsFollowTheWordAndFaultsStopBeforeTheBridge) {
  EXPECT_EQ(kExitOk, Run({"setup", "network", "--help"}));
  EXPECT_EQ(0u, out().find("usage: zelctl setup")) << out();
  EXPECT_EQ(kExitUsage,
            Run({"setup", "network", "--address", "h", "--port", "99999", "--code", "1234"}));
  EXPECT_NE(std::string::npos, err().find("--port needs a number from 1 to 65535")) << err();
  EXPECT_EQ(kExitUsage, Run({"setup", "serial", "--device", "/dev/ttyS1", "--code", "12"}));
  EXPECT_NE(std::string::npos, err().find("four-digit")) << err();
  EXPECT_EQ(kExitUsage, Run({"--timeout", "5", "setup", "modem"}));
  EXPECT_NE(std::string::npos, err().find("setup takes serial or network")) << err();
  EXPECT_EQ(kExitUsage, Run({"--bogus", "setup", "serial"}));
  EXPECT_NE(std::string::npos, err().find("unknown option --bogus")) << err();
}

TEST_F(ZelctlTest, UnreachableBridgeGivesExitThree) {
  std::ostringstream out, err;
  EXPECT_EQ(kExitUnreachable,
            RunZelctl({"--socket", "/nonexistent/zelbridge.sock", "status"}, out, err));
  EXPECT_NE(std::string::npos, err.str().find("cannot reach the bridge at /nonexistent"))
      << err.str();
}

TEST_F(ZelctlTest, LoopbackPortNeedsAToken) {
  const std::string port = std::to_string(server_.bridge().tcp_port());
  std::ostringstream out, err;
  EXPECT_EQ(kExitFailedStatus, RunZelctl({"--port", port, "get", "Model"}, out, err));
  EXPECT_NE(std::string::npos, err.str().find("C005000D")) << err.str();
  std::string token = server_.TcpClient(Role::kRead).bearer_token;
  out.str("");
  EXPECT_EQ(kExitOk, RunZelctl({"--port", port, "--token", token, "get", "Model"}, out, err))
      << err.str();
  EXPECT_EQ("Test Panel 2000\n", out.str());
  // The token may come from the environment instead.
  setenv("ZELCTL_TOKEN", token.c_str(), 1);
  out.str("");
  EXPECT_EQ(kExitOk, RunZelctl({"--port", port, "get", "Model"}, out, err)) << err.str();
  unsetenv("ZELCTL_TOKEN");
  // A read token cannot put.
  EXPECT_EQ(kExitFailedStatus,
            RunZelctl({"--port", port, "--token", token, "put", "Name", "x"}, out, err));
  EXPECT_NE(std::string::npos, err.str().find("needs the control role")) << err.str();
}

TEST_F(ZelctlTest, TokenAddListRemove) {
  const std::string dir = server_.dir();
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--instance", dir});
    out_.str("");
    err_.str("");
    return RunZelctl(args, out_, err_);
  };
  ASSERT_EQ(kExitOk, run({"token", "add", "panel", "control"})) << err();
  std::string token = out();
  ASSERT_EQ(69u, token.size());  // "zel_" + 64 hex digits + newline
  EXPECT_NE(std::string::npos, err().find("only time"));
  EXPECT_EQ(kExitFailedStatus, run({"token", "add", "panel", "read"}));
  EXPECT_EQ(kExitUsage, run({"token", "add", "other", "owner"}));
  EXPECT_EQ(kExitUsage, run({"token", "add", "bad name", "read"}));
  EXPECT_EQ(kExitUsage, run({"token", "add", "x"}));
  EXPECT_EQ(kExitUsage, run({"token", "frob"}));

  ASSERT_EQ(kExitOk, run({"token", "list", "--json"}));
  Json list = Json::parse(out());
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ("panel", list[0]["name"]);
  EXPECT_EQ("control", list[0]["role"]);
  EXPECT_EQ(std::string::npos, out().find(token.substr(0, 68)));  // never the token

  // The bridge takes the new token at once.
  token.pop_back();
  std::ostringstream out, err;
  const std::string port = std::to_string(server_.bridge().tcp_port());
  EXPECT_EQ(kExitOk, RunZelctl({"--port", port, "--token", token, "get", "Model"}, out, err));
  ASSERT_EQ(kExitOk, run({"token", "remove", "panel"}));
  EXPECT_EQ(kExitFailedStatus, run({"token", "remove", "panel"}));
  EXPECT_EQ(kExitFailedStatus,
            RunZelctl({"--port", port, "--token", token, "get", "Model"}, out, err));
  EXPECT_NE(std::string::npos, err.str().find("C005000E")) << err.str();
}

// A bridge that answers every request on its Unix socket with what the test scripts, so zelctl
// meets replies the real bridge never sends. One connection at a time; each answer closes it.
class ScriptedBridge {
 public:
  using Script = std::function<std::string(const Json& request)>;

  explicit ScriptedBridge(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 4) != 0) {
      ADD_FAILURE() << "cannot listen on " << path_;
      return;
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedBridge() {
    ::shutdown(listener_, SHUT_RDWR);  // ends the accept below
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  const std::string& path() const { return path_; }

 private:
  void Serve() {
    for (;;) {
      int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::string text;
      char buf[4096];
      size_t body_at = std::string::npos, length = 0;
      while (body_at == std::string::npos || text.size() < body_at + length) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (body_at == std::string::npos && text.find("\r\n\r\n") != std::string::npos) {
          body_at = text.find("\r\n\r\n") + 4;
          size_t at = text.find("Content-Length: ");
          length = at < body_at ? std::stoul(text.substr(at + 16)) : 0;
        }
      }
      Json request = Json::parse(text.substr(std::min(body_at, text.size())), nullptr, false);
      std::string body = script_(request);
      std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
      (void)!::write(fd, reply.data(), reply.size());
      ::close(fd);
    }
  }

  Script script_;
  TempDir dir_{"ctl"};
  std::string path_ = dir_.File("bridge.sock");
  int listener_ = -1;
  std::thread thread_;
};

// A good session and server object, then the scripted answer to the member the test is about.
std::string Answer(const Json& request, const std::string& bad) {
  std::string op = request.value("op", "");
  if (op == "session") return R"({"status": "00000000", "session": "s1"})";
  if (op == "create") return R"({"status": "00000000", "result": {"vt": 9, "object": "h1"}})";
  if (op == "get" && request.value("member", "") == "Zones") {
    return R"({"status": "00000000", "result": {"vt": 9, "object": "h2"}})";
  }
  return bad;
}

TEST(ZelctlMalformedReplyTest, EachIsReportedWithExitFour) {
  struct Case {
    std::vector<std::string> args;
    std::string reply;  // the answer to the command's own request
  };
  const Case cases[] = {
      {{"get", "Name"}, "this is not JSON"},
      {{"get", "Name"}, R"({"result": {"vt": 8, "value": "no status"}})"},
      {{"get", "Name"}, R"({"status": "00000000", "result": {"vt": "eight", "value": "x"}})"},
      {{"get", "Name"}, R"({"status": "00000000", "result": {"vt": 70000}})"},
      {{"get", "Zones.Count"}, R"({"status": "00000000", "result": 5})"},
      {{"list", "Zones"}, R"({"status": "00000000", "result": {"vt": 3, "value": "three"}})"},
      {{"list", "Zones"}, R"({"status": "00000000"})"},
      {{"status"}, R"({"status": "00000000", "result": [1, 2]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    ScriptedBridge bridge([&](const Json& request) { return Answer(request, c.reply); });
    std::vector<std::string> args = {"--socket", bridge.path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::ostringstream out, err;
    EXPECT_EQ(kExitBadReply, RunZelctl(args, out, err));
    EXPECT_EQ(0u, err.str().find("zelctl: malformed reply from the bridge (")) << err.str();
  }
  {
    // A failure whose error is not an object is still a failure, reported as one.
    ScriptedBridge bridge([](const Json& request) {
      return Answer(request, R"({"status": "80004005", "error": "not an object"})");
    });
    std::ostringstream out, err;
    EXPECT_EQ(kExitFailedStatus, RunZelctl({"--socket", bridge.path(), "get", "Name"}, out, err));
    EXPECT_NE(std::string::npos, err.str().find("E_FAIL")) << err.str();
  }
  // The server object itself comes without a handle.
  ScriptedBridge bridge([](const Json& request) {
    if (request.value("op", "") == "create") return std::string(R"({"status": "00000000"})");
    return Answer(request, "");
  });
  std::ostringstream out, err;
  EXPECT_EQ(kExitBadReply, RunZelctl({"--socket", bridge.path(), "status"}, out, err));
  EXPECT_NE(std::string::npos, err.str().find("without a result")) << err.str();
}

TEST(ZelctlMalformedReplyTest, UnknownStatusValueIsShownNotGuessed) {
  ScriptedBridge bridge([](const Json& request) {
    if (request.value("member", "") == "Status") {
      return std::string(R"({"status": "00000000", "result": {"vt": 3, "value": 7}})");
    }
    return Answer(request, R"({"status": "80020003"})");  // DISP_E_MEMBERNOTFOUND elsewhere
  });
  std::ostringstream out, err;
  RunZelctl({"--socket", bridge.path(), "status"}, out, err);
  EXPECT_NE(std::string::npos, out.str().find(" ? (7)\nModel")) << out.str();
}

}  // namespace
}  // namespace zel::cli
