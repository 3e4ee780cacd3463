// The host's command-line switches: the table cell by cell, the scan's rules (the characters
// "-" and "/", case, matching to the end of the line, the first match by position), the pages
// the launch switches open and how a page is opened with and without a desktop.
#include "service/host_switches.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/program_launch.h"
#include "service/front_end_launch.h"
#include "service/host_actions.h"
#include "testing/temp_dir.h"

namespace zel {
namespace {

TEST(HostSwitchesTest, TableInScanOrder) {
  const std::pair<const char*, HostSwitch> expected[] = {
      {"UNREGSERVER", HostSwitch::kUnregServer},
      {"REGSERVER", HostSwitch::kRegServer},
      {"LaunchWeb", HostSwitch::kLaunchWeb},
      {"LaunchRegistration", HostSwitch::kLaunchRegistration},
      {"LaunchHelp", HostSwitch::kLaunchHelp},
  };
  ASSERT_EQ(std::size(expected), kHostSwitches.size());
  for (size_t i = 0; i < kHostSwitches.size(); ++i) {
    EXPECT_EQ(expected[i].first, kHostSwitches[i].name) << i;
    EXPECT_EQ(expected[i].second, kHostSwitches[i].action) << i;
    EXPECT_EQ(expected[i].first, HostSwitchName(expected[i].second));
  }
}

TEST(HostSwitchesTest, ScanFollowsTheRules) {
  struct Case {
    std::vector<std::string> args;
    HostSwitch expected;
  } cases[] = {
      // Every switch after "-", "/" and "--", in any letter case.
      {{"-RegServer"}, HostSwitch::kRegServer},
      {{"/regserver"}, HostSwitch::kRegServer},
      {{"--REGSERVER"}, HostSwitch::kRegServer},
      {{"-UnregServer"}, HostSwitch::kUnregServer},
      {{"/UNREGSERVER"}, HostSwitch::kUnregServer},
      {{"-launchweb"}, HostSwitch::kLaunchWeb},
      {{"/LAUNCHREGISTRATION"}, HostSwitch::kLaunchRegistration},
      {{"-LaunchHelp"}, HostSwitch::kLaunchHelp},
      // The name must run to the end of the line: a further word, or more letters, is no match.
      {{"-RegServer", "now"}, HostSwitch::kNone},
      {{"-RegServerX"}, HostSwitch::kNone},
      {{"-LaunchWebs"}, HostSwitch::kNone},
      // Without "-" or "/" nothing is a switch; a prefix of a name is not one either.
      {{"RegServer"}, HostSwitch::kNone},
      {{"-Reg"}, HostSwitch::kNone},
      {{}, HostSwitch::kNone},
      {{"-"}, HostSwitch::kNone},
      {{"-Service"}, HostSwitch::kNone},
      // The scan moves on past texts that match nothing, through long options and paths.
      {{"--instance", "/tmp/x", "-UnregServer"}, HostSwitch::kUnregServer},
      {{"-Foo", "-LaunchHelp"}, HostSwitch::kLaunchHelp},
      {{"-LaunchHelp", "-RegServer"}, HostSwitch::kRegServer},
      {{"--instance", "/srv/REGSERVER"}, HostSwitch::kRegServer},
      // Only the line's end decides: a switch in the middle is no switch.
      {{"-RegServer", "--no-start"}, HostSwitch::kNone},
  };
  for (const Case& c : cases) {
    std::string line = JoinCommandLine(c.args);
    EXPECT_EQ(c.expected, ScanCommandLine(line)) << "'" << line << "'";
  }
}

TEST(HostSwitchesTest, LaunchSwitchesOpenTheirPages) {
  EXPECT_EQ("http://127.0.0.1:8714/Portico/",
            FrontEndAddress(FrontEndPage(HostSwitch::kLaunchWeb), 8714));
  EXPECT_EQ("http://127.0.0.1:9000/Portico/register.asp",
            FrontEndAddress(FrontEndPage(HostSwitch::kLaunchRegistration), 9000));
  EXPECT_EQ("http://127.0.0.1:8714/Portico/help.htm",
            FrontEndAddress(FrontEndPage(HostSwitch::kLaunchHelp), 8714));
  EXPECT_EQ("", FrontEndPage(HostSwitch::kRegServer));
}

TEST(HostSwitchesTest, ExitCodesCarryTheSystemError) {
  EXPECT_EQ(0, ExitCodeFor(S_OK));
  EXPECT_EQ(0, ExitCodeFor(S_FALSE));
  EXPECT_EQ(2, ExitCodeFor(HresultFromWin32(kWin32FileNotFound)));
  EXPECT_EQ(5, ExitCodeFor(HresultFromWin32(kWin32AccessDenied)));
  EXPECT_EQ(1, ExitCodeFor(HresultFromWin32(kWin32Timeout)));  // 1460 does not fit
  EXPECT_EQ(1, ExitCodeFor(E_FAIL));
}

// Sets an environment variable for the life of the object and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A stand-in xdg-open on PATH that records its arguments and exits with `status`.
void WriteFakeOpener(const TempDir& dir, int status) {
  std::string script = dir.File("xdg-open");
  std::ofstream(script) << "#!/bin/sh\necho \"$@\" > " << dir.File("opened") << "\nexit " << status
                        << "\n";
  ::chmod(script.c_str(), 0755);
}

TEST(HostSwitchesTest, OpensThePageOnADesktopAndPrintsItElsewhere) {
  TempDir dir("launch");
  WriteFakeOpener(dir, 0);
  ScopedEnv path("PATH", (dir.path() + ":/usr/bin:/bin").c_str());
  ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
  const std::string address = "http://127.0.0.1:8714/Portico/help.htm";
  {
    ScopedEnv display("DISPLAY", ":0");
    EXPECT_EQ(S_OK, OpenAddress(address, stdout));
    EXPECT_EQ(address + "\n", ReadFile(dir.File("opened")));
  }
  {
    // No desktop: the address is printed and nothing is started.
    ScopedEnv display("DISPLAY", nullptr);
    std::remove(dir.File("opened").c_str());
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(S_OK, OpenAddress(address, out));
    std::rewind(out);
    char buf[256] = {};
    ASSERT_NE(nullptr, std::fgets(buf, sizeof buf, out));
    std::fclose(out);
    EXPECT_EQ("Open " + address + " in a web browser.\n", buf);
    EXPECT_FALSE(std::ifstream(dir.File("opened")).good());
  }
}

TEST(HostSwitchesTest, AFailingOpenerIsTheLaunchResult) {
  TempDir dir("launch");
  WriteFakeOpener(dir, 3);
  ScopedEnv path("PATH", (dir.path() + ":/usr/bin:/bin").c_str());
  ScopedEnv display("DISPLAY", ":0");
  EXPECT_EQ(E_FAIL, OpenAddress("http://127.0.0.1:1/Portico/", stdout));
}

TEST(ProgramLaunchTest, RunsWaitsAndReportsWhatCannotStart) {
  ProgramResult result;
  ASSERT_EQ(S_OK, RunProgram({"sh", "-c", "echo out; echo err >&2; exit 7"}, &result, true));
  EXPECT_EQ(7, result.exit_status);
  EXPECT_EQ("out\nerr\n", result.output);
  EXPECT_EQ(HresultFromWin32(kWin32FileNotFound),
            RunProgram({"zel-no-such-program-anywhere"}, &result));
  EXPECT_EQ(E_INVALIDARG, RunProgram({}, &result));
  ASSERT_EQ(S_OK, RunProgram({"sh", "-c", "kill -TERM $$"}, &result));
  EXPECT_EQ(128 + 15, result.exit_status);
}

}  // namespace
}  // namespace zel
