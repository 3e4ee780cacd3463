// The front door's parts without sockets: the token store on disk, the policy file, the role of
// a local peer, the TCP checks (Host, Origin, token) and the wrong-code back-off.
#include "bridge/front_door.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "bridge/code_backoff.h"
#include "bridge/fake_server.h"
#include "bridge/protocol.h"

namespace zel::bridge {
namespace {

using testing::FakeLoginGate;

class TempDir {
 public:
  TempDir() {
    char t[] = "/tmp/zel-front-door-XXXXXX";
    path_ = mkdtemp(t);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name)) << text;
  }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(TokenStoreTest, AddListLookupRemoveKeepOnlyHashesInAPrivateFile) {
  TempDir dir;
  TokenStore store(dir.File(kTokenFileName));
  std::string reader, admin;
  ASSERT_EQ(S_OK, store.Add("backup", Role::kRead, &reader));
  ASSERT_EQ(S_OK, store.Add("ha.bridge-1", Role::kAdmin, &admin));
  EXPECT_EQ(68u, reader.size());
  EXPECT_NE(reader, admin);

  struct stat st {};
  ASSERT_EQ(0, stat(store.path().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  std::string text = ReadAll(store.path());
  EXPECT_EQ(std::string::npos, text.find(reader));  // never the token itself
  EXPECT_NE(std::string::npos, text.find(Sha256Hex(reader)));

  // Another process (zelctl) sees the same tokens.
  TokenStore other(store.path());
  TokenEntry e;
  ASSERT_TRUE(other.Lookup(reader, &e));
  EXPECT_EQ("backup", e.name);
  EXPECT_EQ(Role::kRead, e.role);
  ASSERT_TRUE(other.Lookup(admin, &e));
  EXPECT_EQ(Role::kAdmin, e.role);
  std::string wrong = reader;
  wrong.back() = wrong.back() == '0' ? '1' : '0';
  EXPECT_FALSE(other.Lookup(wrong, &e));
  EXPECT_FALSE(other.Lookup("", &e));
  EXPECT_FALSE(other.Lookup(Sha256Hex(reader), &e));  // the stored hash is not a token

  std::vector<TokenEntry> list;
  ASSERT_EQ(S_OK, store.List(&list));
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ("backup", list[0].name);

  // Removal through one store is seen by the other without a restart.
  ASSERT_EQ(S_OK, store.Remove("backup"));
  EXPECT_FALSE(other.Lookup(reader, &e));
  EXPECT_TRUE(other.Lookup(admin, &e));
  EXPECT_EQ(HresultFromErrno(ENOENT), store.Remove("backup"));
}

TEST(TokenStoreTest, RefusesBadNamesRolesAndDuplicates) {
  TempDir dir;
  TokenStore store(dir.File(kTokenFileName));
  std::string t;
  EXPECT_EQ(E_INVALIDARG, store.Add("", Role::kRead, &t));
  EXPECT_EQ(E_INVALIDARG, store.Add("has space", Role::kRead, &t));
  EXPECT_EQ(E_INVALIDARG, store.Add(std::string(65, 'a'), Role::kRead, &t));
  EXPECT_EQ(E_INVALIDARG, store.Add("x", Role::kInProcess, &t));
  EXPECT_EQ(E_INVALIDARG, store.Add("x", Role::kUntagged, &t));
  ASSERT_EQ(S_OK, store.Add(std::string(64, 'a'), Role::kControl, &t));
  EXPECT_EQ(HresultFromErrno(EEXIST), store.Add(std::string(64, 'a'), Role::kRead, &t));
  // A damaged file grants nothing rather than failing open.
  dir.Write(kTokenFileName, "{not json");
  TokenEntry e;
  EXPECT_FALSE(TokenStore(store.path()).Lookup(t, &e));
}

TEST(AccessPolicyTest, MissingFileGivesDefaultsAndBadFilesAreRefusedWithAReason) {
  TempDir dir;
  AccessPolicy p;
  std::string error;
  EXPECT_EQ(S_FALSE, LoadAccessPolicy(dir.File("none.json"), &p, &error));
  EXPECT_FALSE(p.tcp_enabled);
  EXPECT_EQ(32u, p.sessions_per_identity);

  dir.Write("p.json", R"({"unix":{"users":{"root":"read","4242":"control"},"groups":{"0":"admin"}},
      "tcp":{"enabled":true,"port":9000,"hosts":["alarm.lan"],"origins":["http://alarm.lan"]},
      "limits":{"sessionsPerIdentity":3,"connectionsPerPeer":5}})");
  ASSERT_EQ(S_OK, LoadAccessPolicy(dir.File("p.json"), &p, &error)) << error;
  EXPECT_EQ(Role::kRead, p.users.at(0));
  EXPECT_EQ(Role::kControl, p.users.at(4242));
  EXPECT_TRUE(p.tcp_enabled);
  EXPECT_EQ(9000, p.tcp_port);
  EXPECT_EQ(3u, p.sessions_per_identity);
  EXPECT_EQ(5u, p.connections_per_peer);
  // Without a "login" part a person's login controls; the part names a default and exceptions,
  // the user names ignoring letter case as the login does.
  EXPECT_EQ(Role::kControl, RoleForLogin(p, "owner"));
  dir.Write("login.json",
            R"({"login":{"role":"read","users":{"Owner":"admin","4242":"control"}}})");
  ASSERT_EQ(S_OK, LoadAccessPolicy(dir.File("login.json"), &p, &error)) << error;
  EXPECT_EQ(Role::kAdmin, RoleForLogin(p, "OWNER"));
  EXPECT_EQ(Role::kControl, RoleForLogin(p, "4242"));  // a name, not a user id
  EXPECT_EQ(Role::kRead, RoleForLogin(p, "guest"));

  const std::pair<const char*, const char*> kBad[] = {
      {"[1]", "JSON object"},
      {"{", "not valid JSON"},
      {R"({"unix":{"users":{"root":"owner"}}})", "read, control or admin"},
      {R"({"unix":{"users":{"no-such-user-zel":"read"}}})", "does not exist"},
      {R"({"unix":{"groups":{"no-such-group-zel":"read"}}})", "does not exist"},
      {R"({"tcp":{"enabled":"yes"}})", "true or false"},
      {R"({"tcp":{"origins":"http://x"}})", "list of texts"},
      {R"({"limits":{"sessionsPerIdentity":0}})", "from 1 to 100000"},
      {R"({"login":[]})", "\"login\" must be an object"},
      {R"({"login":{"role":"owner"}})", "login \"role\" must be read, control or admin"},
      {R"({"login":{"users":{"owner":"root"}}})", "login user \"owner\": the role must be"},
  };
  for (const auto& [text, reason] : kBad) {
    dir.Write("bad.json", text);
    error.clear();
    EXPECT_EQ(E_INVALIDARG, LoadAccessPolicy(dir.File("bad.json"), &p, &error)) << text;
    EXPECT_NE(std::string::npos, error.find(reason)) << text << ": " << error;
  }
}

TEST(AccessPolicyTest, RoleForPeer) {
  AccessPolicy p;
  p.service_uid = 990;
  p.service_gid = 991;
  p.users[1001] = Role::kRead;
  p.users[1005] = Role::kControl;
  p.groups[2000] = Role::kRead;
  p.groups[2001] = Role::kControl;
  struct Case {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
    Role want;
  };
  const Case kCases[] = {
      {0, 0, {}, Role::kAdmin},              // root
      {990, 100, {}, Role::kAdmin},          // the daemon's own user
      {1002, 991, {}, Role::kAdmin},         // the daemon's group as primary group
      {1002, 100, {991}, Role::kAdmin},      // ... or as a supplementary one
      {1002, 100, {}, Role::kUntagged},      // anyone else
      {1001, 991, {}, Role::kRead},          // a user entry wins over the service group
      {1003, 2000, {2001}, Role::kControl},  // the highest of the groups
      {1003, 100, {2000}, Role::kRead},      // a supplementary group alone
      {1005, 2000, {}, Role::kControl},      // the user entry, not the group's
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(RoleName(c.want), RoleName(RoleForPeer(p, c.uid, c.gid, c.groups)))
        << "uid " << c.uid << " gid " << c.gid;
  }
}

class FrontDoorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tokens_ = std::make_shared<TokenStore>(dir_.File(kTokenFileName));
    ASSERT_EQ(S_OK, tokens_->Add("panel", Role::kControl, &token_));
    policy_.hosts = {"alarm.lan"};
    policy_.origins = {"http://alarm.lan:8714"};
    policy_.login_users = {{"boss", Role::kAdmin}};
    door_ = std::make_unique<FrontDoor>(policy_, tokens_, gate_);
    door_->set_tcp_port(8714);
  }
  HRESULT Tcp(std::string_view host, const char* origin, const std::string& auth,
              Caller* caller = nullptr, std::string_view cookie = {}) {
    Caller c;
    std::string why;
    RequestFacts f{true, -1, auth, host, origin, cookie};
    HRESULT hr = door_->Admit(f, caller ? caller : &c, &why);
    if (Failed(hr)) {
      EXPECT_FALSE(why.empty());
    }
    return hr;
  }

  TempDir dir_;
  AccessPolicy policy_;
  std::shared_ptr<TokenStore> tokens_;
  std::shared_ptr<FakeLoginGate> gate_ = std::make_shared<FakeLoginGate>();
  std::unique_ptr<FrontDoor> door_;
  std::string token_;
};

TEST_F(FrontDoorTest, HostOriginAndTokenChecksOnTcp) {
  const std::string bearer = "Bearer " + token_;
  struct Case {
    const char* host;
    const char* origin;
    HRESULT want;
  };
  const Case kCases[] = {
      {"127.0.0.1:8714", nullptr, S_OK},
      {"localhost:8714", nullptr, S_OK},
      {"LOCALHOST", nullptr, S_OK},
      {"[::1]:8714", nullptr, S_OK},
      {"[::1]", nullptr, S_OK},
      {"alarm.lan:8714", "http://alarm.lan:8714", S_OK},
      {"127.0.0.1:8715", nullptr, E_BRIDGE_BAD_HOST},  // another port is another origin
      {"attacker.example", nullptr, E_BRIDGE_BAD_HOST},
      {"attacker.example:8714", nullptr, E_BRIDGE_BAD_HOST},
      {"127.0.0.1.attacker.example", nullptr, E_BRIDGE_BAD_HOST},
      {"", nullptr, E_BRIDGE_BAD_HOST},
      {"127.0.0.1:8714", "http://attacker.example", E_BRIDGE_BAD_ORIGIN},
      {"127.0.0.1:8714", "null", E_BRIDGE_BAD_ORIGIN},
      {"127.0.0.1:8714", "http://alarm.lan", E_BRIDGE_BAD_ORIGIN},  // exact match only
      // The bridge's own origin: the one the Host names, once the Host is this machine.
      {"127.0.0.1:8714", "http://127.0.0.1:8714", S_OK},
      {"localhost:8714", "http://localhost:8714", S_OK},
      {"localhost:8714", "http://127.0.0.1:8714", E_BRIDGE_BAD_ORIGIN},
      {"127.0.0.1:8714", "https://127.0.0.1:8714", E_BRIDGE_BAD_ORIGIN},
      {"attacker.example:8714", "http://attacker.example:8714", E_BRIDGE_BAD_HOST},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(StatusText(c.want), StatusText(Tcp(c.host, c.origin, bearer)))
        << c.host << " " << (c.origin ? c.origin : "-");
  }
  Caller caller;
  ASSERT_EQ(S_OK, Tcp("127.0.0.1:8714", nullptr, bearer, &caller));
  EXPECT_EQ("token panel", caller.identity);
  EXPECT_EQ(Role::kControl, caller.role);
  EXPECT_EQ(E_BRIDGE_NO_TOKEN, Tcp("127.0.0.1:8714", nullptr, ""));
  EXPECT_EQ(E_BRIDGE_BAD_TOKEN, Tcp("127.0.0.1:8714", nullptr, "Bearer zel_0000"));
  EXPECT_EQ(E_BRIDGE_BAD_TOKEN, Tcp("127.0.0.1:8714", nullptr, "Basic " + token_));
  EXPECT_EQ(E_BRIDGE_BAD_TOKEN, Tcp("127.0.0.1:8714", nullptr, token_));
}

TEST_F(FrontDoorTest, ALiveLoginCookieIsACredentialWithTheRoleItsUserIsGiven) {
  std::string owner, boss;
  ASSERT_EQ(S_OK, gate_->Login("Owner", "1234", &owner));
  ASSERT_EQ(S_OK, gate_->Login("BOSS", "4321", &boss));
  Caller caller;
  ASSERT_EQ(S_OK, Tcp("127.0.0.1:8714", nullptr, "", &caller, owner));
  EXPECT_EQ("login owner", caller.identity);  // one identity however the name was typed
  EXPECT_EQ(Role::kControl, caller.role);
  EXPECT_EQ(owner, caller.login_cookie);
  ASSERT_EQ(S_OK, Tcp("127.0.0.1:8714", nullptr, "", &caller, boss));
  EXPECT_EQ(Role::kAdmin, caller.role);

  // A token, when sent, is the credential: the cookie beside it is not looked at.
  Caller with_token;
  ASSERT_EQ(S_OK, Tcp("127.0.0.1:8714", nullptr, "Bearer " + token_, &with_token, boss));
  EXPECT_EQ("token panel", with_token.identity);
  EXPECT_TRUE(with_token.login_cookie.empty());
  EXPECT_EQ(E_BRIDGE_BAD_TOKEN, Tcp("127.0.0.1:8714", nullptr, "Bearer zel_0", nullptr, boss));

  // The site checks come first; an ended, unknown or expired session is no credential.
  EXPECT_EQ(E_BRIDGE_BAD_HOST, Tcp("attacker.example", nullptr, "", nullptr, owner));
  EXPECT_EQ(E_BRIDGE_BAD_ORIGIN,
            Tcp("127.0.0.1:8714", "http://attacker.example", "", nullptr, owner));
  EXPECT_EQ(E_BRIDGE_LOGIN_ENDED, Tcp("127.0.0.1:8714", nullptr, "", nullptr, "{cookie-99}"));
  gate_->Expire(owner);
  EXPECT_EQ(E_BRIDGE_LOGIN_ENDED, Tcp("127.0.0.1:8714", nullptr, "", nullptr, owner));
  ASSERT_EQ(S_OK, gate_->Logout(boss));
  EXPECT_EQ(E_BRIDGE_LOGIN_ENDED, Tcp("127.0.0.1:8714", nullptr, "", nullptr, boss));

  // Without a login gate cookies mean nothing.
  FrontDoor no_logins(policy_, tokens_);
  no_logins.set_tcp_port(8714);
  std::string why;
  RequestFacts f{true, -1, "", "127.0.0.1:8714", nullptr, "{cookie-1}"};
  EXPECT_EQ(E_BRIDGE_NO_TOKEN, no_logins.Admit(f, &caller, &why));
}

TEST_F(FrontDoorTest, UnixPeerIsKnownByItsCredentials) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  Caller caller;
  std::string why;
  RequestFacts f;
  f.fd = fds[0];
  ASSERT_EQ(S_OK, door_->Admit(f, &caller, &why)) << why;  // this process: its own user
  EXPECT_EQ("uid " + std::to_string(geteuid()), caller.identity);
  EXPECT_EQ(Role::kAdmin, caller.role);
  EXPECT_EQ("uid " + std::to_string(geteuid()), FrontDoor::PeerKey(fds[0], false));
  close(fds[0]);
  close(fds[1]);
  f.fd = -1;
  EXPECT_EQ(E_BRIDGE_NO_ROLE, door_->Admit(f, &caller, &why));
}

// A clock whose monotonic time the test moves; production durations are real ones.
class ManualClock : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() override { return now_; }
  void Advance(Millis d) { now_ += d; }

 private:
  std::chrono::steady_clock::time_point now_{};
};

TEST(CodeBackoffTest, EachWrongCodeDoublesTheWaitUpToAMinute) {
  ManualClock clock;
  ScopedClock installed(&clock);
  CodeBackoff backoff;
  EXPECT_EQ(Millis(0), backoff.Remaining("uid 1000"));
  const int64_t kWaits[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000};
  for (int64_t want : kWaits) {
    EXPECT_EQ(Millis(want), backoff.Wrong("uid 1000"));
    EXPECT_EQ(Millis(want), backoff.Remaining("uid 1000"));
    clock.Advance(Millis(want - 1));
    EXPECT_EQ(Millis(1), backoff.Remaining("uid 1000"));
    clock.Advance(Millis(1));
    EXPECT_EQ(Millis(0), backoff.Remaining("uid 1000"));
  }
  // Identities are counted apart; a right code starts afresh.
  EXPECT_EQ(Millis(0), backoff.Remaining("token panel"));
  EXPECT_EQ(Millis(1000), backoff.Wrong("token panel"));
  backoff.Right("uid 1000");
  EXPECT_EQ(Millis(1000), backoff.Wrong("uid 1000"));
}

}  // namespace
}  // namespace zel::bridge
