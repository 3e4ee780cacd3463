// Registration into a scratch tree: every key and value cell by cell, the same files after a
// second run, unregistration leaving the catalogue key, the systemd and sysusers commands in
// order, and the refusals that change nothing.
#include "service/registration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/comm_handlers.h"
#include "platform/guid.h"
#include "platform/system_log.h"
#include "server/interfaces.h"
#include "testing/temp_dir.h"

namespace zel {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

class RegistrationTest : public ::testing::Test {
 protected:
  RegistrationTest() : dir_("registration") {
    context_.root = dir_.path();
    context_.program = "/usr/bin/zelcommsrv";
    context_.share_dir = "/usr/share/zelcommsrv";
    context_.instance_dir = "/var/lib/zelcommsrv";
    context_.run = [this](const std::vector<std::string>& argv, ProgramResult* result) {
      std::string line;
      for (const std::string& a : argv) line += (line.empty() ? "" : " ") + a;
      commands_.push_back(line);
      result->exit_status = argv[0] == "systemd-sysusers" ? sysusers_status_ : 0;
      return S_OK;
    };
    context_.say = [this](std::string_view text) { said_ += std::string(text) + "\n"; };
  }

  RegKey Registry() const { return RegKey::Root(context_.RegistryFile()); }
  bool HasKey(const std::string& path) const {
    RegKey key;
    return Succeeded(Registry().Open(path, &key));
  }
  // The registry file and the unit, as they are now.
  std::string Files() const {
    return ReadFile(context_.RegistryFile()) + "\n----\n" + ReadFile(context_.UnitPath());
  }

  TempDir dir_;
  RegistrationContext context_;
  std::vector<std::string> commands_;
  std::string said_;
  int sysusers_status_ = 0;
};

TEST_F(RegistrationTest, WritesEveryKeyAndValue) {
  ASSERT_EQ(S_OK, RegisterServer(context_));
  const std::string clsid = GuidToString(kClsidZelServer);
  struct Cell {
    std::string key, value;
    uint32_t type;
    std::string text;
    uint32_t number;
  } cells[] = {
      {"SOFTWARE\\Classes\\Corvane.ZelServer", "", REG_SZ, "Zel Communications Server", 0},
      {"SOFTWARE\\Classes\\Corvane.ZelServer\\CLSID", "", REG_SZ, clsid, 0},
      {"SOFTWARE\\Classes\\Corvane.ZelServer\\CurVer", "", REG_SZ, "Corvane.ZelServer.1", 0},
      {"SOFTWARE\\Classes\\Corvane.ZelServer.1", "", REG_SZ, "Zel Communications Server", 0},
      {"SOFTWARE\\Classes\\Corvane.ZelServer.1\\CLSID", "", REG_SZ, clsid, 0},
      {"SOFTWARE\\Classes\\CLSID\\" + clsid, "", REG_SZ, "Zel Communications Server", 0},
      {"SOFTWARE\\Classes\\CLSID\\" + clsid, "AppID", REG_SZ, clsid, 0},
      {"SOFTWARE\\Classes\\CLSID\\" + clsid + "\\ProgID", "", REG_SZ, "Corvane.ZelServer.1", 0},
      {"SOFTWARE\\Classes\\CLSID\\" + clsid + "\\VersionIndependentProgID", "", REG_SZ,
       "Corvane.ZelServer", 0},
      {"SOFTWARE\\Classes\\CLSID\\" + clsid + "\\LocalServer32", "", REG_SZ, "zelcommsrv", 0},
      {"SOFTWARE\\Classes\\AppID\\" + clsid, "", REG_SZ, "Portico Server", 0},
      {"SOFTWARE\\Classes\\AppID\\" + clsid, "AuthenticationLevel", REG_DWORD, "", 1},
      {"SOFTWARE\\Classes\\AppID\\" + clsid, "LocalService", REG_SZ, "ZelCommSrv", 0},
      {"SOFTWARE\\Classes\\AppID\\" + clsid, "ServiceParameters", REG_SZ, "-Service", 0},
      {"SOFTWARE\\Classes\\AppID\\" + clsid, "LaunchPermission", REG_SZ, "zelcommsrv", 0},
      {"SOFTWARE\\Classes\\AppID\\zelcommsrv", "AppID", REG_SZ, clsid, 0},
      {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZelCommSrv", "EventMessageFile",
       REG_SZ, "/usr/share/zelcommsrv/ZelCommSrvRes.DLL.txt", 0},
      {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZelCommSrv", "TypesSupported",
       REG_DWORD, "", 7},
  };
  for (const Cell& cell : cells) {
    SCOPED_TRACE(cell.key + " : " + cell.value);
    RegKey key;
    ASSERT_EQ(S_OK, Registry().Open(cell.key, &key));
    uint32_t type = 0, size = 0;
    ASSERT_EQ(S_OK, key.QueryValue(cell.value, &type, nullptr, &size));
    EXPECT_EQ(cell.type, type);
    if (cell.type == REG_SZ) {
      std::string text;
      ASSERT_EQ(S_OK, key.QueryString(cell.value, &text));
      EXPECT_EQ(cell.text, text);
    } else {
      uint32_t number = 0;
      ASSERT_EQ(S_OK, key.QueryDword(cell.value, &number));
      EXPECT_EQ(cell.number, number);
    }
  }
  // The transport catalogue's two entries.
  RegKey catalogue;
  ASSERT_EQ(S_OK, Registry().Open(kCommHandlersKey, &catalogue));
  std::string name;
  EXPECT_EQ(S_OK, catalogue.EnumKey(1, 40, &name));
  EXPECT_EQ(E_NO_MORE_ITEMS, catalogue.EnumKey(2, 40, &name));
  // The unit runs this program, as the service user.
  std::string unit = ReadFile(context_.UnitPath());
  EXPECT_NE(std::string::npos, unit.find("ExecStart=/usr/bin/zelcommsrv --instance "));
  EXPECT_NE(std::string::npos, unit.find("User=zelcommsrv"));
  EXPECT_EQ(std::string::npos, unit.find("@ZEL_PROGRAM@"));
  // The scratch tree is no live system: systemd is left alone, sysusers works under the root.
  ASSERT_EQ(1u, commands_.size());
  EXPECT_EQ("systemd-sysusers --root=" + dir_.path() +
                " --inline u zelcommsrv - \"Zel communications server\" /var/lib/zelcommsrv "
                "m zelcommsrv dialout",
            commands_[0]);
}

TEST_F(RegistrationTest, RegisteringTwiceEndsInTheSameFiles) {
  ASSERT_EQ(S_OK, RegisterServer(context_));
  std::string first = Files();
  // A value a force-removed key did not have before is gone after the next registration.
  RegKey app;
  ASSERT_EQ(S_OK,
            Registry().Open("SOFTWARE\\Classes\\AppID\\" + GuidToString(kClsidZelServer), &app));
  ASSERT_EQ(S_OK, app.SetString("Stale", "x"));
  ASSERT_EQ(S_OK, RegisterServer(context_));
  EXPECT_EQ(first, Files());
}

TEST_F(RegistrationTest, UnregisteringLeavesTheCatalogueKeyAndNothingElse) {
  const std::string clsid = GuidToString(kClsidZelServer);
  // Something of the user's own in the catalogue stays as well.
  RegKey own;
  ASSERT_EQ(S_OK, Registry().Create(std::string(kCommHandlersKey) + "\\{OWN}", &own));
  ASSERT_EQ(S_OK, RegisterServer(context_));
  ASSERT_EQ(S_OK, UnregisterServer(context_));
  std::string once = ReadFile(context_.RegistryFile());
  EXPECT_FALSE(Exists(context_.UnitPath()));
  for (const std::string& gone :
       {"SOFTWARE\\Classes\\AppID\\" + clsid, std::string("SOFTWARE\\Classes\\AppID\\zelcommsrv"),
        "SOFTWARE\\Classes\\CLSID\\" + clsid, std::string("SOFTWARE\\Classes\\Corvane.ZelServer"),
        std::string("SOFTWARE\\Classes\\Corvane.ZelServer.1"),
        std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZelCommSrv")}) {
    EXPECT_FALSE(HasKey(gone)) << gone;
  }
  RegKey catalogue;
  ASSERT_EQ(S_OK, Registry().Open(kCommHandlersKey, &catalogue));
  std::string name;
  ASSERT_EQ(S_OK, catalogue.EnumKey(0, 40, &name));
  EXPECT_EQ("{OWN}", name);
  EXPECT_EQ(E_NO_MORE_ITEMS, catalogue.EnumKey(1, 40, &name));
  // Again: the same state.
  ASSERT_EQ(S_OK, UnregisterServer(context_));
  EXPECT_EQ(once, ReadFile(context_.RegistryFile()));
}

TEST_F(RegistrationTest, TheWebFolderBecomesTheVirtualDirectory) {
  const std::string key = std::string(kWebDirectoriesKey) + "\\Portico";
  ASSERT_EQ(S_OK, RegisterServer(context_));
  EXPECT_FALSE(HasKey(key));  // no web folder: nothing to serve
  ASSERT_TRUE(std::filesystem::create_directories(dir_.path() + context_.WebFolder()));
  ASSERT_EQ(S_OK, RegisterServer(context_));
  RegKey web;
  ASSERT_EQ(S_OK, Registry().Open(key, &web));
  std::string path;
  uint32_t flags = 0;
  EXPECT_EQ(S_OK, web.QueryString("Path", &path));
  EXPECT_EQ("/usr/share/zelcommsrv/web", path);
  EXPECT_EQ(S_OK, web.QueryDword("AccessFlags", &flags));
  EXPECT_EQ(513u, flags);
  ASSERT_EQ(S_OK, UnregisterServer(context_));
  EXPECT_FALSE(HasKey(key));
}

TEST_F(RegistrationTest, OnALiveSystemdTheServiceIsReplacedEnabledAndNotStarted) {
  // The live system's paths, moved into the scratch directory by hand.
  context_.unit_dir = dir_.path() + "/etc/systemd/system";
  context_.instance_dir = dir_.path() + "/var/lib/zelcommsrv";
  context_.root.clear();
  context_.privileged = true;
  context_.systemd_running = true;
  ASSERT_EQ(S_OK, RegisterServer(context_));
  ASSERT_EQ(3u, commands_.size());
  EXPECT_EQ("systemctl daemon-reload", commands_[0]);
  EXPECT_EQ("systemctl enable zelcommsrv.service", commands_[1]);
  EXPECT_EQ(0u, commands_[2].find("systemd-sysusers --inline "));
  commands_.clear();
  // Registering again stops and disables the installed service first.
  ASSERT_EQ(S_OK, RegisterServer(context_));
  ASSERT_LE(2u, commands_.size());
  EXPECT_EQ("systemctl disable --now zelcommsrv.service", commands_[0]);
  EXPECT_EQ("systemctl daemon-reload", commands_[1]);
  commands_.clear();
  ASSERT_EQ(S_OK, UnregisterServer(context_));
  EXPECT_EQ((std::vector<std::string>{"systemctl disable --now zelcommsrv.service",
                                      "systemctl daemon-reload"}),
            commands_);
}

TEST_F(RegistrationTest, RefusalsChangeNothing) {
  // Not root, on the live system.
  context_.unit_dir = dir_.path() + "/etc/systemd/system";
  context_.instance_dir = dir_.path() + "/var/lib/zelcommsrv";
  context_.root.clear();
  context_.privileged = false;
  EXPECT_EQ(HresultFromWin32(kWin32AccessDenied), RegisterServer(context_));
  EXPECT_EQ(HresultFromWin32(kWin32AccessDenied), UnregisterServer(context_));
  EXPECT_NE(std::string::npos, said_.find("run it as root, or give --root DIR"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  EXPECT_TRUE(commands_.empty());
  // A registry file that does not parse.
  context_.privileged = true;
  ASSERT_TRUE(std::filesystem::create_directories(context_.instance_dir));
  std::ofstream(context_.RegistryFile()) << "{ not json";
  EXPECT_EQ(E_REG_CORRUPT, RegisterServer(context_));
  EXPECT_FALSE(Exists(context_.UnitPath()));
  EXPECT_TRUE(commands_.empty());
  EXPECT_EQ("{ not json", ReadFile(context_.RegistryFile()));
}

TEST_F(RegistrationTest, FailingStepsAreReportedAndTheRestStillRuns) {
  // The unit directory cannot be made (a file stands in its way): reported as 0xC0020066, and
  // the registry is still written; the result is the launch permission's.
  std::filesystem::create_directories(dir_.path() + "/etc");
  std::ofstream(dir_.path() + "/etc/systemd") << "a file";
  ScopedSystemLogCapture capture;
  ASSERT_EQ(S_OK, RegisterServer(context_));
  auto reports = capture.reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(MSG_SERVICE_FAILED, reports[0].message_id);
  EXPECT_TRUE(HasKey("SOFTWARE\\Classes\\CLSID\\" + GuidToString(kClsidZelServer)));
  // systemd-sysusers failing is the registration's result.
  sysusers_status_ = 1;
  EXPECT_EQ(E_FAIL, RegisterServer(context_));
}

}  // namespace
}  // namespace zel
