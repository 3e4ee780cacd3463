// The session list's bounds: sweeping on every call, the live-session limit, and the swept
// cookies that still answer "expired" once.
#include "server/client_sessions.h"

#include <gtest/gtest.h>

#include <string>

#include "server/server_test_fixture.h"

namespace zel {
namespace {

TEST(ClientSessionsTest, TenThousandLoginsOverHoursKeepOnlyTheLiveSessions) {
  ManualClock clock;
  ScopedClock use(&clock);
  ClientSessions sessions(20000);  // the limit is not what bounds this run
  // One login a second for 10,000 seconds (2.8 hours), each by another user, none renewed:
  // at most the last 15 minutes' logins (901 of them) may be held at any moment.
  const size_t live_at_most = ClientSessions::kLifetime / Millis(1000) + 1;
  size_t most = 0;
  for (int i = 0; i < 10000; ++i) {
    std::string cookie;
    ASSERT_EQ(S_OK, sessions.Create("user" + std::to_string(i), "1234", &cookie));
    most = std::max(most, sessions.records());
    ASSERT_LE(sessions.records(), live_at_most) << i;
    ASSERT_LE(sessions.swept_cookies(), ClientSessions::kMaxSweptCookies) << i;
    clock.Advance(Millis(1000));
  }
  EXPECT_EQ(live_at_most, most);
  // Later, one more call sweeps everything that expired meanwhile.
  clock.Advance(ClientSessions::kLifetime * 3);
  EXPECT_EQ(E_SRV_LOGIN_DENIED, sessions.Renew("{00000000-0000-0000-0000-000000000000}"));
  EXPECT_EQ(0u, sessions.records());
  EXPECT_EQ(live_at_most, sessions.swept_cookies());  // cookies only, for one more lifetime
  clock.Advance(ClientSessions::kLifetime + Millis(1));
  EXPECT_EQ(E_FAIL, sessions.Remove(GUID_NULL));
  EXPECT_EQ(0u, sessions.swept_cookies());
}

TEST(ClientSessionsTest, LiveLimitRefusesUntilASessionEnds) {
  ManualClock clock;
  ScopedClock use(&clock);
  ClientSessions sessions(3);
  std::string c1, c2, c3, c4;
  ASSERT_EQ(S_OK, sessions.Create("a", "1", &c1));
  clock.Advance(Millis(60000));
  ASSERT_EQ(S_OK, sessions.Create("b", "1", &c2));
  ASSERT_EQ(S_OK, sessions.Create("c", "1", &c3));
  EXPECT_EQ(E_SRV_SESSION_LIMIT, sessions.Create("d", "1", &c4));
  GUID g;
  ASSERT_EQ(S_OK, ParseGuid(c2, &g));
  ASSERT_EQ(S_OK, sessions.Remove(g));
  EXPECT_EQ(S_OK, sessions.Create("d", "1", &c4));
  EXPECT_EQ(E_SRV_SESSION_LIMIT, sessions.Create("e", "1", &c4));
  // The oldest expires first and makes room.
  clock.Advance(ClientSessions::kLifetime - Millis(60000) + Millis(1));
  EXPECT_EQ(S_OK, sessions.Create("e", "1", &c4));
  EXPECT_EQ(E_SRV_SESSION_EXPIRED, sessions.Renew(c1));
}

TEST(ClientSessionsTest, SweptCookiesAreKeptBoundedAndForOneLifetime) {
  ManualClock clock;
  ScopedClock use(&clock);
  ClientSessions sessions;
  std::string old;
  ASSERT_EQ(S_OK, sessions.Create("a", "1", &old));
  clock.Advance(ClientSessions::kLifetime + Millis(1));
  std::string other;
  ASSERT_EQ(S_OK, sessions.Create("b", "1", &other));  // sweeps a's session
  EXPECT_EQ(1u, sessions.swept_cookies());
  clock.Advance(ClientSessions::kLifetime + Millis(1));
  // b expired and was swept by this call; a's cookie has been kept long enough.
  EXPECT_EQ(E_SRV_LOGIN_DENIED, sessions.Renew(old));
  EXPECT_EQ(E_SRV_SESSION_EXPIRED, sessions.Renew(other));
  EXPECT_EQ(0u, sessions.swept_cookies());
}

}  // namespace
}  // namespace zel
