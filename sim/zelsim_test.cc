// The zelsim program from outside: started as a child process, reached through its --link path
// by the serial transport, steered through its --control socket, checked through --record.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "link/frame.h"
#include "link/network_transport.h"
#include "link/request.h"
#include "link/serial_transport.h"
#include "platform/resource_library.h"
#include "testing/frames.h"
#include "testing/temp_dir.h"
#include "zel_source_dir.h"

extern char** environ;

namespace zel {
namespace {

// Runs zelsim with arguments; stdout is read through a pipe.
class ZelsimProcess {
 public:
  explicit ZelsimProcess(std::vector<std::string> args) {
    args.insert(args.begin(), ZELSIM_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    if (posix_spawn(&pid_, ZELSIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fdopen(fds[0], "r");
  }
  ~ZelsimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ != nullptr) fclose(out_);
  }
  std::string ReadLine() {
    char line[4096];
    if (out_ == nullptr || fgets(line, sizeof line, out_) == nullptr) return "";
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  std::string ReadAll() {
    std::string all, line;
    while (!(line = ReadLine()).empty() || !feof(out_)) all += line + "\n";
    return all;
  }
  // Sends a signal and returns the exit status (-1 when it did not exit normally).
  int Stop(int signal) {
    if (signal != 0) kill(pid_, signal);
    return Wait();
  }
  int Wait() {
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

// One request line on the control socket, one answer line back.
std::string Control(const std::string& path, const std::string& line) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    std::string out = line + "\n";
    (void)!write(fd, out.data(), out.size());
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') answer += c;
  }
  close(fd);
  return answer;
}

TEST(ZelsimTest, HelpAndBadArguments) {
  ZelsimProcess help({"--help"});
  ASSERT_TRUE(help.started());
  std::string text = help.ReadAll();
  EXPECT_NE(std::string::npos, text.find("--control PATH"));
  EXPECT_NE(std::string::npos, text.find("--record FILE"));
  EXPECT_NE(std::string::npos, text.find("--udp PORT"));
  EXPECT_EQ(0, help.Wait());
  ZelsimProcess bad({"--frobnicate"});
  EXPECT_EQ(2, bad.Wait());
  ZelsimProcess missing({"--scenario", "/nonexistent.json"});
  EXPECT_EQ(2, missing.Wait());
}

TEST(ZelsimTest, ServesTheTransportThroughItsLink) {
  TempDir temp("zelsim");
  const std::string& dir = temp.path();
  std::shared_ptr<const ResourceLibrary> library;
  ASSERT_EQ(S_OK, ResourceLibrary::Parse("[strings]\n185 = " + dir + "/ttyS\n", &library));
  InstallResources(library);

  ZelsimProcess sim({"--scenario", std::string(ZEL_SOURCE_DIR) + "/sim/scenarios/house.json",
                     "--link", dir + "/ttyS1", "--control", dir + "/ctl", "--record",
                     dir + "/frames.txt"});
  ASSERT_TRUE(sim.started());
  std::string device = sim.ReadLine();
  EXPECT_EQ(0u, device.find("/dev/pts/")) << device;
  EXPECT_EQ(device, std::filesystem::read_symlink(dir + "/ttyS1").string());

  ComPtr<CZelCommHandlerSerial> transport = MakeObject<CZelCommHandlerSerial>();
  ASSERT_EQ(S_OK, transport->Connect());
  ReplyBuffer reply;
  ASSERT_EQ(S_OK, SendControllerRequest(transport.get(), true, kAckFrame.data(), 5, &reply));
  EXPECT_TRUE(IsNakFrame(reply.get()));  // the house wants a login first
  Bytes login = SealFrame(MSG_LOGIN, {1, 2, 3, 4});
  ASSERT_EQ(S_OK, SendControllerWrite(transport.get(), true, login.data(), 9));
  ASSERT_EQ(S_OK, SendControllerCommand(transport.get(), 1, 2, 3));

  EXPECT_EQ(R"({"ok":true})", Control(dir + "/ctl", R"({"fault":"corrupt_crc"})"));
  EXPECT_EQ(E_FAIL, SendControllerCommand(transport.get(), 1, 2, 3));
  EXPECT_EQ(R"({"commands":[{"command":1,"parameter1":2,"parameter2":3},)"
            R"({"command":1,"parameter1":2,"parameter2":3}],"ok":true})",
            Control(dir + "/ctl", R"({"query":"commands"})"));
  ASSERT_EQ(S_OK, transport->Disconnect());

  EXPECT_EQ(0, sim.Stop(SIGTERM));
  EXPECT_FALSE(std::filesystem::exists(dir + "/ttyS1"));
  std::ifstream record(dir + "/frames.txt");
  std::vector<std::string> lines;
  for (std::string line; std::getline(record, line);) lines.push_back(line);
  EXPECT_EQ((std::vector<std::string>{"5A 01 05 C1 93", "5A 05 20 01 02 03 04 20 9D",
                                      "5A 05 0F 01 02 00 03 B4 69", "5A 05 0F 01 02 00 03 B4 69"}),
            lines);
  InstallResources(nullptr);
}

TEST(ZelsimTest, ServesTheNetworkTransportOnUdp) {
  TempDir temp("zelsim_udp");
  const std::string& dir = temp.path();
  ZelsimProcess sim({"--udp", "0", "--control", dir + "/ctl"});
  ASSERT_TRUE(sim.started());
  EXPECT_EQ(0u, sim.ReadLine().find("/dev/pts/"));
  std::string udp = sim.ReadLine();
  ASSERT_EQ(0u, udp.find("udp 127.0.0.1:")) << udp;
  uint32_t port = static_cast<uint32_t>(std::stoul(udp.substr(udp.find(':') + 1)));
  ASSERT_NE(0u, port);

  // The default scenario answers a transport with default key: handshake, login, a command.
  ComPtr<CZelCommHandlerNetwork> transport = MakeObject<CZelCommHandlerNetwork>();
  ASSERT_EQ(S_OK, transport->put_Address(BStr("localhost")));
  ASSERT_EQ(S_OK, transport->put_Port(Variant::UI4(port)));
  ASSERT_EQ(S_OK, transport->Connect());
  std::array<uint8_t, 9> login = {0x5A, 0x05, MSG_LOGIN, 1, 2, 3, 4, 0, 0};
  SetFrameCrc(login.data(), 9);
  ASSERT_EQ(S_OK, SendControllerWrite(transport.get(), true, login.data(), 9));
  ASSERT_EQ(S_OK, SendControllerCommand(transport.get(), 1, 2, 3));
  // A command goes out once: one the controller never sees fails and is not carried out (a
  // resend could not tell it from one whose answer was lost, which would be carried out twice).
  EXPECT_EQ(R"({"ok":true})", Control(dir + "/ctl", R"({"fault":"lose_request"})"));
  EXPECT_EQ(E_TIMEOUT, SendControllerCommand(transport.get(), 4, 5, 6));
  ASSERT_EQ(S_OK, SendControllerCommand(transport.get(), 4, 5, 6));
  EXPECT_EQ(R"({"commands":[{"command":1,"parameter1":2,"parameter2":3},)"
            R"({"command":4,"parameter1":5,"parameter2":6}],"ok":true})",
            Control(dir + "/ctl", R"({"query":"commands"})"));
  EXPECT_EQ(S_OK, transport->Disconnect());
  std::string datagrams = Control(dir + "/ctl", R"({"query":"datagrams"})");
  EXPECT_NE(std::string::npos, datagrams.find(R"("01 00 01 00")")) << datagrams;
  EXPECT_NE(std::string::npos, datagrams.find(R"( 05 00"])")) << datagrams;  // terminate last

  // Another key on the controller: the secure step is not answered.
  EXPECT_EQ(
      R"({"ok":true})",
      Control(dir + "/ctl",
              R"({"set":{"private_key":"00-11-22-33-44-55-66-77-88-99-AA-BB-CC-DD-EE-FF"}})"));
  ScaledClock fast(100);
  ScopedClock scoped(&fast);
  EXPECT_EQ(E_COMM_SESSION_FAILED, transport->Connect());

  EXPECT_EQ(0, sim.Stop(SIGTERM));
}

TEST(ZelsimTest, RefusesABadUdpPort) {
  ZelsimProcess bad({"--udp", "70000"});
  EXPECT_EQ(2, bad.Wait());
  ZelsimProcess address({"--udp", "0", "--udp-address", "not-an-address"});
  EXPECT_EQ(2, address.Wait());
}

}  // namespace
}  // namespace zel
