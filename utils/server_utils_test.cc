// The server utilities: the sound played from the sounds folder by file name alone, settings
// values in the registry, the cleared log's exact bytes, the log as a document and its
// fallback, and the server's Utils property.
#include "utils/server_utils.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/class_registry.h"
#include "platform/settings_registry.h"
#include "server/collection_slots.h"
#include "server/server_log.h"
#include "server/server_test_fixture.h"
#include "utils/utils_registration.h"
#include "utils/xml_document.h"

namespace zel {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ServerUtilsTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    sounds_ = dir_ + "/sounds";
    ASSERT_EQ(0, ::mkdir(sounds_.c_str(), 0755));
    std::ofstream(sounds_ + "/chime.wav") << "RIFF";
    const char* path = getenv("PATH");
    old_path_ = path ? path : "";
    utils_ = MakeObject<CZelServerUtils>(sounds_);
  }
  void TearDown() override {
    setenv("PATH", old_path_.c_str(), 1);
    ServerTest::TearDown();
  }
  // A stand-in player named `name` that writes its argument to played.txt.
  void InstallPlayer(const std::string& name) {
    std::string bin = dir_ + "/bin";
    ::mkdir(bin.c_str(), 0755);
    std::ofstream(bin + "/" + name)
        << "#!/bin/sh\necho \"" << name << " $1\" > " << dir_ << "/played.tmp && /bin/mv " << dir_
        << "/played.tmp " << dir_ << "/played.txt\n";
    ::chmod((bin + "/" + name).c_str(), 0755);
    setenv("PATH", bin.c_str(), 1);
  }
  std::string WaitForPlayed() {
    for (int i = 0; i < 5000; ++i) {
      std::string played = ReadFile(dir_ + "/played.txt");
      if (!played.empty()) return played;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return {};
  }

  std::string sounds_, old_path_;
  ComPtr<CZelServerUtils> utils_;
};

TEST_F(ServerUtilsTest, PlaySoundTakesOnlyTheFileNameFromTheSoundsFolder) {
  InstallPlayer("aplay");  // no paplay: the second player is used
  EXPECT_EQ(S_OK, utils_->PlaySound("C:\\x\\chime.wav"));
  EXPECT_EQ("aplay " + sounds_ + "/chime.wav\n", WaitForPlayed());
  std::remove((dir_ + "/played.txt").c_str());
  InstallPlayer("paplay");  // paplay first
  EXPECT_EQ(S_OK, utils_->PlaySound("../../etc/chime.wav"));
  EXPECT_EQ("paplay " + sounds_ + "/chime.wav\n", WaitForPlayed());
}

TEST_F(ServerUtilsTest, PlaySoundFailsWithoutTheFileOrAPlayer) {
  InstallPlayer("paplay");
  EXPECT_EQ(E_FAIL, utils_->PlaySound("missing.wav"));
  EXPECT_EQ(E_FAIL, utils_->PlaySound("C:\\sounds\\"));
  EXPECT_EQ(E_FAIL, utils_->PlaySound(".."));
  setenv("PATH", (dir_ + "/nowhere").c_str(), 1);
  EXPECT_EQ(E_FAIL, utils_->PlaySound("chime.wav"));
}

TEST_F(ServerUtilsTest, PropertiesAreStringsUnderTheSettingsKey) {
  BStr value;
  EXPECT_EQ(E_REG_NOT_FOUND, utils_->GetProperty("Theme", &value));  // no key yet
  EXPECT_EQ(S_OK, utils_->SetProperty("Theme", "dark"));
  EXPECT_EQ(S_OK, utils_->SetProperty("theme", "light"));  // names ignore case
  ASSERT_EQ(S_OK, utils_->GetProperty("THEME", &value));
  EXPECT_EQ("light", value.str());
  EXPECT_EQ(E_REG_NOT_FOUND, utils_->GetProperty("Other", &value));
  EXPECT_EQ(E_POINTER, utils_->GetProperty("Theme", nullptr));
  RegKey key;
  ASSERT_EQ(S_OK, RegKey::LocalMachine().Open(kSettingsKey, &key));
  uint32_t type = 0, size = 0;
  ASSERT_EQ(S_OK, key.QueryValue("Theme", &type, nullptr, &size));
  EXPECT_EQ(REG_SZ, type);
  // A value of another type is not a property's string.
  ASSERT_EQ(S_OK, key.SetDword("Count", 3));
  EXPECT_EQ(E_REG_UNSUPPORTED_TYPE, utils_->GetProperty("Count", &value));
}

TEST_F(ServerUtilsTest, ClearServerLogLeavesExactlyTheEmptyLog) {
  ASSERT_EQ(S_OK, WriteServerLogEntry("ZelCommSrv", "Server", "Portico Service Started.", S_OK));
  EXPECT_EQ(S_OK, utils_->ClearServerLog());
  std::string text = ReadFile(ServerLogPath());
  EXPECT_EQ(25u, text.size());
  EXPECT_EQ("<SERVERLOG>\r\n</SERVERLOG>", text);
}

TEST_F(ServerUtilsTest, ServerLogIsADocumentAndFallsBackToAnEmptyLog) {
  ComPtr<IDispatch> document;
  Variant v;
  // No log yet.
  ASSERT_EQ(S_OK, utils_->get_ServerLog(document.Receive()));
  ASSERT_EQ(S_OK, GetProperty(document.get(), "xml", &v));
  EXPECT_EQ("<SERVERLOG/>", v.bstr().str());
  // Two entries.
  ASSERT_EQ(S_OK, WriteServerLogEntry("ZelCommSrv", "Server", "Portico Service Started.", S_OK));
  ASSERT_EQ(S_OK, WriteServerLogEntry("ZelCommSrv", "Server", "Failed <&> start", E_FAIL));
  ASSERT_EQ(S_OK, utils_->get_ServerLog(document.Receive()));
  ASSERT_EQ(S_OK, GetProperty(document.get(), "documentElement", &v));
  ComPtr<IDispatch> root(v.dispatch());
  ASSERT_EQ(S_OK, GetProperty(root.get(), "nodeName", &v));
  EXPECT_EQ("SERVERLOG", v.bstr().str());
  ASSERT_EQ(S_OK, GetProperty(root.get(), "childNodes", &v));
  ComPtr<IDispatch> entries(v.dispatch());
  ASSERT_EQ(S_OK, GetProperty(entries.get(), "length", &v));
  EXPECT_EQ(2, v.i4());
  const Variant second[] = {Variant::I4(1)};
  ASSERT_EQ(S_OK, CallMethod(entries.get(), "item", second, &v));
  ComPtr<IDispatch> entry(v.dispatch());
  const Variant component[] = {Variant::Str("COMPONENT")};
  ASSERT_EQ(S_OK, CallMethod(entry.get(), "getAttribute", component, &v));
  EXPECT_EQ("ZelCommSrv", v.bstr().str());
  const Variant missing[] = {Variant::Str("NOPE")};
  EXPECT_EQ(S_FALSE, CallMethod(entry.get(), "getAttribute", missing, &v));
  ASSERT_EQ(S_OK, GetProperty(entry.get(), "text", &v));
  EXPECT_NE(std::string::npos, v.bstr().str().find("Failed <&> start"));
  const Variant beyond[] = {Variant::I4(2)};
  EXPECT_EQ(S_FALSE, CallMethod(entries.get(), "item", beyond, &v));
  // A log that does not parse reads as the empty log.
  std::ofstream(ServerLogPath(), std::ios::trunc) << "<SERVERLOG><LOGENTRY>";
  ASSERT_EQ(S_OK, utils_->get_ServerLog(document.Receive()));
  ASSERT_EQ(S_OK, GetProperty(document.get(), "xml", &v));
  EXPECT_EQ("<SERVERLOG/>", v.bstr().str());
}

TEST_F(ServerUtilsTest, TheServerHandsOutUtilsOnceTheyAreRegistered) {
  ComPtr<IDispatch> utils;
  EXPECT_EQ(E_NOTIMPL, server_->get_Utils(utils.Receive()));
  RegisterUtilsClasses();
  ASSERT_EQ(S_OK, server_->get_Utils(utils.Receive()));
  EXPECT_EQ("CZelServerUtils", utils->GetTypeName());
  ClassRegistry::Instance().Unregister(kClsidZelServerUtils);
  UnregisterCollectionSlot(kSlotExtensions);
}

TEST(ServerUtilsTableTest, DispidsAndRoles) {
  struct Row {
    const char* name;
    DISPID dispid;
    uint16_t kind;
    Role role;
  } rows[] = {
      {"PlaySound", 0x60020000, DISPATCH_METHOD, Role::kControl},
      {"SetProperty", 0x60020001, DISPATCH_METHOD, Role::kAdmin},
      {"GetProperty", 0x60020002, DISPATCH_METHOD, Role::kRead},
      {"ClearServerLog", 0x60020003, DISPATCH_METHOD, Role::kAdmin},
      {"ServerLog", 0x60020004, DISPATCH_PROPERTYGET, Role::kRead},
  };
  const MemberTable& table = CZelServerUtils::Members();
  ASSERT_EQ(std::size(rows), table.members().size());
  for (const Row& row : rows) {
    const MemberInfo* m = table.FindByName(row.name);
    ASSERT_NE(nullptr, m) << row.name;
    EXPECT_EQ(row.dispid, m->dispid) << row.name;
    const Accessor* a = m->Find(row.kind);
    ASSERT_NE(nullptr, a) << row.name;
    EXPECT_EQ(row.role, a->role) << row.name;
  }
}

}  // namespace
}  // namespace zel
