// The role check of the bridge's operations, without sockets: each role against members tagged
// read, control, admin and in-process, and the objects that describe no members.
#include <gtest/gtest.h>

#include "bridge/fake_server.h"
#include "bridge/operations.h"
#include "bridge/protocol.h"
#include "platform/class_registry.h"

namespace zel::bridge::testing {
namespace {

class RolesTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterFakeServer(); }
  void TearDown() override {
    sessions_.CloseAll();
    ClassRegistry::Instance().ReleaseSingletons();
  }

  // Opens a session for the caller and creates the fake server in it; returns its handle.
  std::string Open(const Caller& caller) {
    Reply r = ops_.Handle(caller, "", R"({"op":"session"})");
    session_ = r.body["session"].get<std::string>();
    r = Run(caller, {{"op", "create"}, {"class", "Test.Server"}});
    return r.body["result"]["object"].get<std::string>();
  }
  Reply Run(const Caller& caller, const Json& request) {
    return ops_.Handle(caller, session_, request.dump());
  }

  SessionTable sessions_{SessionLimits{}};
  Operations ops_{&sessions_};
  std::string session_;
};

struct Case {
  const char* op;
  const char* member;
  Role needs;  // what the fake server's table tags the accessor with
};
constexpr Case kCases[] = {
    {"get", "Name", Role::kRead},       {"put", "Name", Role::kControl},
    {"call", "Sum", Role::kRead},       {"get", "Secret", Role::kAdmin},
    {"call", "Lock", Role::kInProcess},
};

TEST_F(RolesTest, EachRoleReachesExactlyTheMembersItCovers) {
  for (Role role : {Role::kUntagged, Role::kRead, Role::kControl, Role::kAdmin}) {
    Caller caller{"uid 1000", role, {}};
    std::string h = Open(caller);
    for (const Case& c : kCases) {
      Json request{{"op", c.op}, {"object", h}, {"member", c.member}};
      if (std::string(c.member) == "Sum") request["args"] = {2};
      if (std::string(c.op) == "put") request["value"] = "x";
      Reply r = Run(caller, request);
      bool allowed = role != Role::kUntagged && c.needs != Role::kInProcess &&
                     static_cast<int>(role) >= static_cast<int>(c.needs);
      SCOPED_TRACE(std::string(RoleName(role)) + " " + c.op + " " + c.member);
      if (allowed) {
        EXPECT_EQ(200, r.http_status) << r.body.dump();
        EXPECT_EQ("00000000", r.body["status"]) << r.body.dump();
      } else {
        EXPECT_EQ(403, r.http_status) << r.body.dump();
        EXPECT_EQ(StatusText(E_ACCESSDENIED), r.body["status"]);
        EXPECT_EQ("E_ACCESSDENIED", r.body["statusName"]);
        EXPECT_EQ("bridge", r.body["error"]["source"]);
      }
    }
  }
}

TEST_F(RolesTest, RefusalSaysWhatIsNeededAndNeverRunsTheMember) {
  Caller reader{"uid 1000", Role::kRead, {}};
  std::string h = Open(reader);
  Reply r = Run(reader, {{"op", "put"}, {"object", h}, {"member", "Name"}, {"value", "evil"}});
  EXPECT_EQ("Name of CZelTestServer needs the control role; uid 1000 has read",
            r.body["error"]["description"]);
  EXPECT_EQ(
      "fake",
      Run(reader, {{"op", "get"}, {"object", h}, {"member", "Name"}}).body["result"]["value"]);
  // By dispid as well as by name: the tag belongs to the accessor, not to the name.
  r = Run(reader, {{"op", "get"}, {"object", h}, {"dispid", 51}});
  EXPECT_EQ(403, r.http_status);

  // Members for code inside the process are refused to every role, admin included.
  Caller admin{"uid 0", Role::kAdmin, {}};
  h = Open(admin);
  r = Run(admin, {{"op", "call"}, {"object", h}, {"member", "Lock"}});
  EXPECT_EQ(403, r.http_status);
  EXPECT_EQ("Lock of CZelTestServer is not available to clients", r.body["error"]["description"]);
  // A missing accessor is still the dispatch layer's answer, not a refusal.
  r = Run(admin, {{"op", "put"}, {"object", h}, {"member", "Counter"}, {"value", 1}});
  EXPECT_EQ(StatusText(DISP_E_MEMBERNOTFOUND), r.body["status"]);
}

TEST_F(RolesTest, ObjectsWithoutMembersAreNotInvoked) {
  Caller admin{"uid 0", Role::kAdmin, {}};
  Open(admin);
  Reply r = Run(admin, {{"op", "callback"}, {"name", "cb"}});
  std::string cb = r.body["result"]["object"].get<std::string>();
  r = Run(admin, {{"op", "call"}, {"object", cb}, {"dispid", 0}, {"args", {1}}});
  EXPECT_EQ(403, r.http_status) << r.body.dump();
}

TEST_F(RolesTest, DescribeShowsEachAccessorsRole) {
  Caller reader{"uid 1000", Role::kRead, {}};
  std::string h = Open(reader);
  Reply r = Run(reader, {{"op", "describe"}, {"object", h}});
  std::map<std::string, std::string> roles;
  for (const Json& m : r.body["members"]) {
    for (const Json& a : m["accessors"]) {
      roles[m["name"].get<std::string>() + "/" + a["kind"].get<std::string>()] = a["role"];
    }
  }
  EXPECT_EQ("read", roles["Name/get"]);
  EXPECT_EQ("control", roles["Name/put"]);
  EXPECT_EQ("admin", roles["Secret/get"]);
  EXPECT_EQ("in-process", roles["Lock/call"]);
}

}  // namespace
}  // namespace zel::bridge::testing
