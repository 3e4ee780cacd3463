// The token op: an administrator lists, adds and removes the bearer tokens of the token file
// through the bridge; every other role is refused, on the socket and on TCP, with a token or a
// login cookie. A token added this way opens TCP at the next request, and a removed one closes it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "bridge/bridge_test_util.h"
#include "bridge/fake_server.h"
#include "bridge/protocol.h"
#include "bridge/security_log.h"
#include "platform/system_log.h"

namespace zel::bridge::testing {
namespace {

class TokenOperationsTest : public ::testing::Test {
 protected:
  void Start(BridgeOptions options = TestBridgeOptions()) {
    options.logins = gate_;
    options.policy.login_users = {{"boss", Role::kAdmin}, {"guest", Role::kRead}};
    server_ = std::make_unique<TestBridge>(std::move(options));
    ASSERT_EQ(S_OK, server_->start_status());
  }
  // A TCP client whose credential is the login cookie of user (code from the fake gate).
  ClientOptions LoggedIn(const std::string& user, const std::string& code) {
    std::string cookie;
    EXPECT_EQ(S_OK, gate_->Login(user, code, &cookie));
    ClientOptions o;
    o.tcp_port = server_->bridge().tcp_port();
    o.timeout_ms = 10000;
    o.extra_headers = {std::string("Cookie: ") + kLoginCookieName + "=" + cookie};
    return o;
  }
  ClientOptions WithToken(const std::string& token) const {
    ClientOptions o;
    o.tcp_port = server_->bridge().tcp_port();
    o.timeout_ms = 10000;
    o.bearer_token = token;
    return o;
  }
  // What is in the token file, as zelctl would list it ("name:role", sorted).
  std::vector<std::string> StoredNames() const {
    std::vector<TokenEntry> list;
    EXPECT_EQ(S_OK, TokenStore(server_->dir() + "/" + kTokenFileName).List(&list));
    std::vector<std::string> names;
    for (const TokenEntry& t : list) names.push_back(t.name + ":" + std::string(RoleName(t.role)));
    std::sort(names.begin(), names.end());
    return names;
  }

  std::shared_ptr<FakeLoginGate> gate_ = std::make_shared<FakeLoginGate>();
  std::unique_ptr<TestBridge> server_;
};

Json Add(const std::string& name, const std::string& role) {
  return {{"op", "token"}, {"action", "add"}, {"name", name}, {"role", role}};
}
Json Remove(const std::string& name) {
  return {{"op", "token"}, {"action", "remove"}, {"name", name}};
}
const Json kList = {{"op", "token"}, {"action", "list"}};

TEST_F(TokenOperationsTest, OnlyAnAdministratorReachesTheTokensOverTcp) {
  Start();
  std::string spare;
  ASSERT_EQ(S_OK,
            TokenStore(server_->dir() + "/" + kTokenFileName).Add("spare", Role::kRead, &spare));
  struct Case {
    const char* who;
    ClientOptions options;
    const char* role;
  };
  const Case kCases[] = {
      {"token test-read", server_->TcpClient(Role::kRead), "read"},
      {"token test-control", server_->TcpClient(Role::kControl), "control"},
      {"login guest", LoggedIn("guest", "5678"), "read"},
      {"login owner", LoggedIn("owner", "1234"), "control"},
      {"token test-admin", server_->TcpClient(Role::kAdmin), "admin"},
      {"login boss", LoggedIn("boss", "4321"), "admin"},
  };
  const std::vector<std::string> before = StoredNames();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.who);
    const bool admin = std::string(c.role) == "admin";
    BridgeClient client(c.options);
    Json reply;
    long http = 0;
    for (const Json& request : {kList, Add("extra", "read"), Remove("spare")}) {
      HRESULT hr = client.Op(request, &reply, &http);
      if (admin) {
        EXPECT_EQ(S_OK, hr) << reply.dump();
        continue;
      }
      EXPECT_EQ(E_ACCESSDENIED, hr) << reply.dump();
      EXPECT_EQ(403, http);
      EXPECT_EQ(std::string("tokens need the admin role; ") + c.who + " has " + c.role,
                reply["error"]["description"]);
      EXPECT_FALSE(reply.contains("tokens"));
      EXPECT_FALSE(reply.contains("token"));
    }
    if (admin) {
      // Put the file back as it was for the next caller.
      ASSERT_EQ(S_OK, client.Op(Remove("extra"), &reply));
      ASSERT_EQ(S_OK, client.Op(Add("spare", "read"), &reply));
    }
    EXPECT_EQ(before, StoredNames());
  }
}

TEST_F(TokenOperationsTest, OnTheSocketThePeersRoleDecides) {
  for (Role role : {Role::kRead, Role::kControl, Role::kAdmin}) {
    SCOPED_TRACE(std::string(RoleName(role)));
    BridgeOptions options = TestBridgeOptions();
    options.policy.users = {{geteuid(), role}};
    Start(std::move(options));
    BridgeClient local(server_->UnixClient());
    Json reply;
    long http = 0;
    HRESULT hr = local.Op(Add("kitchen", "control"), &reply, &http);
    if (role == Role::kAdmin) {
      EXPECT_EQ(S_OK, hr) << reply.dump();
      EXPECT_EQ(std::vector<std::string>{"kitchen:control"}, StoredNames());
    } else {
      EXPECT_EQ(E_ACCESSDENIED, hr);
      EXPECT_EQ(403, http);
      EXPECT_EQ(E_ACCESSDENIED, local.Op(kList, &reply));
      EXPECT_TRUE(StoredNames().empty());
    }
    server_.reset();
  }
}

TEST_F(TokenOperationsTest, AnAddedTokenOpensTcpOnceShownAndARemovedOneNoLonger) {
  Start();
  ScopedSystemLogCapture log;
  BridgeClient admin(server_->TcpClient(Role::kAdmin));
  Json reply;
  long http = 0;
  ASSERT_EQ(S_OK, admin.Op(Add("phone", "control"), &reply, &http)) << reply.dump();
  EXPECT_EQ(200, http);
  EXPECT_EQ("phone", reply["name"]);
  EXPECT_EQ("control", reply["role"]);
  const std::string token = reply["token"];
  EXPECT_EQ(68u, token.size());
  EXPECT_EQ(0u, token.rfind("zel_", 0));

  // The new token is the credential of the next request, with its role.
  BridgeClient phone(WithToken(token));
  ASSERT_EQ(S_OK, phone.OpenSession());
  ASSERT_EQ(S_OK, phone.Op({{"op", "create"}, {"class", "Test.Server"}}, &reply));
  const std::string h = reply["result"]["object"];
  EXPECT_EQ(S_OK, phone.Op({{"op", "put"}, {"object", h}, {"member", "Name"}, {"value", "Hall"}},
                           &reply));
  EXPECT_EQ(E_ACCESSDENIED, phone.Op({{"op", "get"}, {"object", h}, {"member", "Secret"}}, &reply));
  EXPECT_EQ(E_ACCESSDENIED, phone.Op(kList, &reply));

  // The list has names, roles and times: never a token or a hash.
  ASSERT_EQ(S_OK, admin.Op(kList, &reply));
  const std::string listed = reply.dump();
  ASSERT_EQ(2u, reply["tokens"].size());
  const Json& entry = reply["tokens"][1];
  EXPECT_EQ("phone", entry["name"]);
  EXPECT_EQ("control", entry["role"]);
  EXPECT_NEAR(static_cast<double>(std::time(nullptr)), entry["created"].get<double>(), 60);
  EXPECT_EQ(std::string::npos, listed.find(token));
  EXPECT_EQ(std::string::npos, listed.find(Sha256Hex(token)));
  EXPECT_EQ(std::string::npos, listed.find("sha256"));

  ASSERT_EQ(S_OK, admin.Op(Remove("phone"), &reply));
  EXPECT_EQ(E_BRIDGE_BAD_TOKEN,
            phone.Op({{"op", "get"}, {"object", h}, {"member", "Name"}}, &reply, &http));
  EXPECT_EQ(401, http);
  EXPECT_EQ(std::vector<std::string>{"test-admin:admin"}, StoredNames());

  // Who changed what is logged; the token never is.
  std::vector<std::string> changes;
  for (const SystemLogReport& r : log.reports()) {
    EXPECT_EQ(std::string::npos, (r.message + r.extra).find(token));
    if (r.message_id == MSG_TOKEN_CHANGED) changes.push_back(r.extra);
  }
  EXPECT_EQ((std::vector<std::string>{"token phone (control) added by token test-admin",
                                      "token phone removed by token test-admin"}),
            changes);
}

TEST_F(TokenOperationsTest, BadRequestsAreRefusedWithTheirReasonAndChangeNothing) {
  Start();
  BridgeClient admin(server_->UnixClient());
  Json reply;
  ASSERT_EQ(S_OK, admin.Op(Add("garage", "read"), &reply));
  struct Case {
    Json request;
    HRESULT status;
    long http;
    const char* says;
  };
  const Case kCases[] = {
      {{{"op", "token"}}, E_BRIDGE_BAD_REQUEST, 400, "\"action\": \"list\", \"add\" or \"remove\""},
      {{{"op", "token"}, {"action", "rename"}, {"name", "garage"}},
       E_BRIDGE_BAD_REQUEST,
       400,
       "\"action\""},
      {{{"op", "token"}, {"action", "add"}, {"role", "read"}},
       E_BRIDGE_BAD_REQUEST,
       400,
       "\"name\" must be 1 to 64"},
      {Add("front door", "read"), E_BRIDGE_BAD_REQUEST, 400, "\"name\" must be"},
      {Add(std::string(65, 'a'), "read"), E_BRIDGE_BAD_REQUEST, 400, "\"name\" must be"},
      {Add("ok", "owner"), E_BRIDGE_BAD_REQUEST, 400, "\"role\" must be"},
      {Add("ok", "in-process"), E_BRIDGE_BAD_REQUEST, 400, "\"role\" must be"},
      {{{"op", "token"}, {"action", "add"}, {"name", "ok"}, {"role", 3}},
       E_BRIDGE_BAD_REQUEST,
       400,
       "\"role\" must be"},
      {Add("garage", "admin"), HresultFromErrno(EEXIST), 409, "a token is named garage already"},
      {Remove("ghost"), HresultFromErrno(ENOENT), 404, "no token is named ghost"},
      {Remove("../tokens"), E_BRIDGE_BAD_REQUEST, 400, "\"name\" must be"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.request.dump());
    long http = 0;
    EXPECT_EQ(c.status, admin.Op(c.request, &reply, &http));
    EXPECT_EQ(c.http, http);
    EXPECT_NE(std::string::npos, reply["error"]["description"].get<std::string>().find(c.says))
        << reply.dump();
    EXPECT_FALSE(reply.contains("token"));
  }
  EXPECT_EQ(std::vector<std::string>{"garage:read"}, StoredNames());

  // Not part of a batch: a batch is for the session's objects.
  ASSERT_EQ(S_OK, admin.OpenSession());
  ASSERT_EQ(S_OK, admin.Op({{"op", "batch"}, {"ops", {kList}}}, &reply));
  EXPECT_EQ(400, reply["replies"][0]["http"]);
}

TEST_F(TokenOperationsTest, AFileThatCannotBeWrittenIsTheServersFailure) {
  BridgeOptions options = TestBridgeOptions();
  options.token_store_path += ".d/" + std::string(kTokenFileName);  // a folder that is not there
  Start(std::move(options));
  BridgeClient admin(server_->UnixClient());
  Json reply;
  long http = 0;
  EXPECT_EQ(S_OK, admin.Op(kList, &reply));
  EXPECT_TRUE(reply["tokens"].empty());
  EXPECT_EQ(HresultFromErrno(ENOENT), admin.Op(Add("phone", "read"), &reply, &http));
  EXPECT_EQ(500, http);
  EXPECT_NE(std::string::npos,
            reply["error"]["description"].get<std::string>().find("cannot write"));
  EXPECT_FALSE(reply.contains("token"));
}

}  // namespace
}  // namespace zel::bridge::testing
