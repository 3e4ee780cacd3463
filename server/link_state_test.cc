// The server's view of the link's health: LinkState, LinkFailures, LinkLastGood through
// dispatch, and OnLinkStateChange to the sinks, as exchanges fail and the clock runs on.
#include <gtest/gtest.h>

#include "server/recording_sink.h"
#include "server/server_test_fixture.h"

namespace zel {
namespace {

class LinkStateTest : public ServerTest {
 protected:
  std::string State() {
    Variant v;
    EXPECT_EQ(S_OK, GetProperty(server_.get(), "LinkState", &v));
    return v.vt() == VT_BSTR ? v.bstr().str() : "?";
  }
  int32_t Failures() {
    Variant v;
    EXPECT_EQ(S_OK, GetProperty(server_.get(), "LinkFailures", &v));
    return v.i4();
  }
  // The states told to the sink so far.
  std::vector<std::string> Told() {
    std::vector<std::string> states;
    std::lock_guard<std::mutex> g(log_.mu);
    for (const auto& call : log_.calls) {
      if (call.dispid == kDispidSinkOnLinkStateChange) states.push_back(call.args[0].bstr().str());
    }
    return states;
  }
  CallLog log_;
};

TEST_F(LinkStateTest, FailedExchangesDegradeThenDownAndAGoodOneRestores) {
  FakeLink* fake = UseFake();
  LinkHealth::Process().Reset();
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(S_OK, server_->FindConnectionPoint(kIidDZelServerEvents, point.Receive()));
  uint32_t cookie = 0;
  ASSERT_EQ(S_OK, point->Advise(MakeObject<RecordingSink>("sink", &log_).get(), &cookie));
  // The event is named in the outgoing interface, so the bridge can tell its name.
  const MemberInfo* m = ServerEventsMembers().FindById(kDispidSinkOnLinkStateChange);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("OnLinkStateChange", m->name);

  Variant when;
  ASSERT_EQ(S_OK, GetProperty(server_.get(), "LinkLastGood", &when));
  EXPECT_EQ(VT_EMPTY, when.vt());  // nothing exchanged yet
  ASSERT_EQ(S_OK, server_->SetControllerTimeNow());
  EXPECT_EQ("up", State());
  ASSERT_EQ(S_OK, GetProperty(server_.get(), "LinkLastGood", &when));
  EXPECT_EQ(VT_DATE, when.vt());

  fake->QueueFailure(E_COMM_TIMEOUT);
  fake->QueueFailure(E_COMM_TIMEOUT);
  EXPECT_EQ(E_COMM_TIMEOUT, server_->SetControllerTimeNow());
  EXPECT_EQ(E_COMM_TIMEOUT, server_->SetControllerTimeNow());
  EXPECT_EQ("degraded", State());
  EXPECT_EQ(2, Failures());
  // The Status says where the lifecycle stands and is not touched by the link's health.
  clock_.Advance(Millis(10001));
  EXPECT_EQ("down", State());
  ASSERT_EQ(S_OK, server_->SetControllerTimeNow());
  EXPECT_EQ("up", State());
  EXPECT_EQ(0, Failures());
  EXPECT_EQ((std::vector<std::string>{"degraded", "down", "up"}), Told());
  point->Unadvise(cookie);
}

}  // namespace
}  // namespace zel
