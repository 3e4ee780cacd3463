// The server against the controller simulator on a pseudo-terminal, through the real serial
// transport: the frames the controller receives, their bytes, and what the server makes of the
// controller's answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "link/frame.h"
#include "link/request.h"
#include "link/serial_transport.h"
#include "platform/system_log.h"
#include "server/recording_sink.h"
#include "server/server_test_fixture.h"
#include "sim/setup_scenario.h"
#include "sim/simulator.h"
#include "testing/sim_fixture.h"

namespace zel {
namespace {

using sim::Bytes;

// Production waits run 10 times faster (the 3 s read time-out takes 300 ms).
constexpr int kClockDivisor = 10;

Bytes Hex(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }

class ServerSimTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterServerClasses(); }
  void TearDown() override { server_.reset(); }

  // Starts the simulator with a scenario and a server whose serial transport reaches it.
  void Begin(const std::string& scenario_json) {
    ASSERT_EQ(S_OK, fixture_.Start(scenario_json));
    server_ = MakeObject<CZelServer>();
    ComPtr<CZelCommHandlerSerial> serial = fixture_.NewSerialLink();
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(serial.get()));
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, server_->FindConnectionPoint(kIidDZelServerEvents, point.Receive()));
    uint32_t cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(MakeObject<RecordingSink>("sink", &log_).get(), &cookie));
  }

  // The setup block the scenario describes, as the simulator uploads it.
  Bytes ScenarioBlock() {
    Bytes block;
    std::string error;
    EXPECT_EQ(S_OK, sim::BuildSetupBlock(fixture_.scenario().document, fixture_.scenario().model,
                                         fixture_.scenario().firmware.major,
                                         fixture_.scenario().firmware.minor, &block, &error));
    return block;
  }

  // The statuses the sink saw, once it has seen as many as `expected` holds (or 5 s passed):
  // it is called on its own delivery lane, which may still be busy when Start returns.
  std::vector<int32_t> SinkStatuses(const std::vector<int32_t>& expected) {
    for (int i = 0; i < 5000 && log_.Statuses("sink").size() < expected.size(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return log_.Statuses("sink");
  }

  static Bytes Login(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return sim::MakeFrame(0x20, {a, b, c, d});
  }

  SimFixture fixture_{kClockDivisor, {{128, "Model 30"}}};
  ComPtr<CZelServer> server_;
  CallLog log_;
};

const Bytes kProbe = Hex({0x5A, 0x01, 0x05, 0xC1, 0x93});
const Bytes kSystemInformation = Hex({0x5A, 0x01, 0x11, 0xC1, 0x9C});
const Bytes kSetupUpload = Hex({0x5A, 0x01, 0x04, 0x00, 0x53});
const Bytes kLogout = Hex({0x5A, 0x01, 0x21, 0xC1, 0x88});

TEST_F(ServerSimTest, StartSendsProbeLoginSystemInformationAndTheSetupUpload) {
  Begin(R"({"controller": {"model": 30, "access_code": "7395", "phone_number": "5550100"},
            "setup": {"block_size": 100, "time_zone": 5, "temperature_format": 1,
                      "user_codes": [{"number": 1, "code": "0007"}]}})");
  HRESULT hr = server_->Start();
  // The names step comes with the object model; until then the start ends there.
  EXPECT_EQ(E_NOTIMPL, hr);

  // Model 30 keeps 1280 setup bytes: 13 blocks of up to 100, each asked for by an acknowledge;
  // the acknowledge after the last block is answered with the end of data.
  std::vector<Bytes> expected = {kProbe, Login(7, 3, 9, 5), kSystemInformation, kSetupUpload};
  for (int i = 0; i < 13; ++i) expected.push_back(kProbe);
  EXPECT_EQ(expected, fixture_.sim().ReceivedFrames());
  fixture_.sim().WithState([](sim::SimState& s) { EXPECT_EQ(13u, s.setup_blocks_sent); });

  EXPECT_EQ(ScenarioBlock(), server_->SystemSetupBytes());
  Variant v;
  ASSERT_EQ(S_OK, server_->get_TimeZone(&v));
  EXPECT_EQ(Variant::I4(5), v);
  ASSERT_EQ(S_OK, server_->get_SystemParametersInfo(Variant::I4(3), &v));
  EXPECT_EQ(Variant::Str("0007"), v);
  BStr text;
  ASSERT_EQ(S_OK, server_->get_Model(&text));
  EXPECT_EQ(BStr("Model 30"), text);
  ASSERT_EQ(S_OK, server_->get_version(&text));
  EXPECT_EQ(BStr("3.2"), text);
  ASSERT_EQ(S_OK, server_->get_PhoneNumber(&text));
  EXPECT_EQ(BStr("5550100"), text);
  // What a connected sink saw.
  const std::vector<int32_t> seen = {ssStarting, ssLoadingExtensions, ssLoadingSetup,
                                     ssLoadingNames, ssFailure};
  EXPECT_EQ(seen, SinkStatuses(seen));
}

TEST_F(ServerSimTest, ProbeAcknowledgedMeansNoLogin) {
  Begin(R"({"controller": {"probe_ack": true}, "setup": {"size": 10}})");
  (void)server_->Start();
  std::vector<Bytes> frames = fixture_.sim().ReceivedFrames();
  ASSERT_GE(frames.size(), 4u);
  EXPECT_EQ(kProbe, frames[0]);
  EXPECT_EQ(kSystemInformation, frames[1]);
  EXPECT_EQ(kSetupUpload, frames[2]);
  for (const Bytes& f : frames) EXPECT_NE(0x20, f[2]);
}

TEST_F(ServerSimTest, RefusedLoginFailsTheStart) {
  Begin(R"({"controller": {"access_code": "1234"}})");
  EXPECT_EQ(E_SRV_LOGIN_FAILED, server_->Start());
  EXPECT_EQ((std::vector<Bytes>{kProbe, Login(7, 3, 9, 5)}), fixture_.sim().ReceivedFrames());
  EXPECT_EQ(ssFailure, server_->status());
  const std::vector<int32_t> seen = {ssStarting, ssLoadingExtensions, ssFailure};
  EXPECT_EQ(seen, SinkStatuses(seen));
}

TEST_F(ServerSimTest, ThreeDigitAccessCodeSendsNothing) {
  Begin(R"({})");
  ASSERT_EQ(S_OK, server_->put_AccessCode("739"));
  EXPECT_EQ(E_SRV_LOGIN_FAILED, server_->Start());
  EXPECT_TRUE(fixture_.sim().ReceivedFrames().empty());
  EXPECT_EQ(ssFailure, server_->status());
}

TEST_F(ServerSimTest, UnknownModelFailsAfterSystemInformation) {
  Begin(R"({"controller": {"model": 38, "access_code": "7395"}})");
  EXPECT_EQ(E_SRV_UNKNOWN_MODEL, server_->Start());
  EXPECT_EQ((std::vector<Bytes>{kProbe, Login(7, 3, 9, 5), kSystemInformation}),
            fixture_.sim().ReceivedFrames());
  BStr model;
  ASSERT_EQ(S_OK, server_->get_Model(&model));
  EXPECT_EQ(BStr("Unknown"), model);
}

TEST_F(ServerSimTest, NegativeRevisionAndTheFirmwareRecordSwitch) {
  Begin(R"({"controller": {"model": 30, "probe_ack": true,
                           "firmware": {"major": 2, "minor": 16, "revision": -1}},
            "setup": {"size": 0}})");
  (void)server_->Start();
  BStr version;
  ASSERT_EQ(S_OK, server_->get_version(&version));
  EXPECT_EQ(BStr("2.16X1"), version);
  EXPECT_EQ(CapabilityRecordAt(8), server_->capabilities());
}

TEST_F(ServerSimTest, StopLogsOut) {
  Begin(R"({"controller": {"access_code": "7395"}, "setup": {"size": 0}})");
  (void)server_->Start();
  fixture_.sim().ClearReceivedFrames();
  // What Start delivered has reached the sink before the record is cleared.
  for (int i = 0; i < 5000; ++i) {
    std::vector<int32_t> seen = log_.Statuses("sink");
    if (!seen.empty() && seen.back() == server_->status()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  {
    std::lock_guard<std::mutex> g(log_.mu);
    log_.calls.clear();
  }
  EXPECT_EQ(S_OK, server_->Stop());
  EXPECT_EQ((std::vector<Bytes>{kLogout}), fixture_.sim().ReceivedFrames());
  fixture_.sim().WithState([](sim::SimState& s) { EXPECT_FALSE(s.logged_in); });
  const std::vector<int32_t> seen = {ssStopping, ssStopped};
  EXPECT_EQ(seen, SinkStatuses(seen));
}

TEST_F(ServerSimTest, StopCutsATricklingExchangeShortAndStillLogsOut) {
  Begin(R"({"controller": {"probe_ack": true}})");
  ComPtr<IZelCommHandler> link = server_->transport();
  // A reply trickling in a byte every 200 ms (each within the scaled 300 ms read time-out)
  // holds the request lock for a second; the stop does not wait for it.
  sim::Fault trickle;
  trickle.kind = sim::FaultKind::kTrickle;
  trickle.chunks = {1};
  trickle.pause_ms = 200;
  fixture_.sim().InjectFault(trickle);
  HRESULT held = S_OK;
  std::thread exchange([&] {
    ReplyBuffer reply;
    held = SendControllerRequest(link.get(), true, kProbe.data(), kProbe.size(), &reply);
  });
  ASSERT_TRUE(fixture_.sim().WaitForFrames(1, std::chrono::milliseconds(5000)));
  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(S_OK, server_->Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(500));
  exchange.join();
  EXPECT_EQ(E_ABORT, held);
  EXPECT_EQ((std::vector<Bytes>{kProbe, kLogout}), fixture_.sim().ReceivedFrames());
  EXPECT_EQ(ssStopped, server_->status());
  // The cut ends with the stop: the link talks normally again.
  ASSERT_EQ(S_OK, link->Connect());
  ReplyBuffer reply;
  EXPECT_EQ(S_OK, SendControllerRequest(link.get(), true, kProbe.data(), kProbe.size(), &reply));
}

TEST_F(ServerSimTest, StopGivesUpOnARequestLockHeldForGoodAndSaysSo) {
  Begin(R"({"controller": {"probe_ack": true}})");
  ComPtr<IZelCommHandler> link = server_->transport();
  ManualResetEvent taken, release;
  std::thread holder([&] {
    (void)link->BeginAtomicRequest();
    taken.Set();
    release.Wait();
    (void)link->EndAtomicRequest();
  });
  taken.Wait();
  ScopedSystemLogCapture capture;
  fixture_.clock().Clear();
  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(E_TIMEOUT, server_->Stop());
  auto took = std::chrono::steady_clock::now() - begun;
  release.Set();
  holder.join();
  // The wait for the lock is the stop's one bound: 5000 ms, scaled.
  std::vector<int64_t> waits = fixture_.clock().waits();
  EXPECT_EQ(1, std::count(waits.begin(), waits.end(), CZelServer::kStopLinkWait.count()));
  EXPECT_GE(took, std::chrono::milliseconds(5000 / kClockDivisor));
  EXPECT_LT(took, std::chrono::milliseconds(5000 / kClockDivisor * 3));
  EXPECT_TRUE(fixture_.sim().ReceivedFrames().empty());  // no logout
  EXPECT_EQ(ssFailure, server_->status());
  EXPECT_EQ(nullptr, server_->transport().get());
  std::vector<SystemLogReport> reports = capture.reports();
  EXPECT_EQ(1, std::count_if(reports.begin(), reports.end(), [](const SystemLogReport& r) {
              return r.message_id == MSG_STOP_WITHOUT_LOGOUT && r.code == E_TIMEOUT;
            }));
}

TEST_F(ServerSimTest, SetTimeFrameBytes) {
  Begin(R"({"controller": {"probe_ack": true}})");
  std::time_t when = LocalTime(2026, 12, 6, 23, 59, 30);  // a Sunday
  fixture_.clock().SetWallTime(when);
  ASSERT_EQ(S_OK, server_->SetControllerTimeNow());
  std::tm local{};
  localtime_r(&when, &local);
  uint8_t dst = local.tm_isdst > 0 ? 1 : 0;
  Bytes expected = sim::MakeFrame(0x10, {26, 12, 6, 7, 23, 59, dst});
  ASSERT_EQ(12u, expected.size());
  EXPECT_EQ((std::vector<Bytes>{expected}), fixture_.sim().ReceivedFrames());
  fixture_.sim().WithState([&](sim::SimState& s) {
    ASSERT_EQ(1u, s.set_times.size());
    EXPECT_EQ((sim::SetTimeRecord{26, 12, 6, 7, 23, 59, dst}), s.set_times[0]);
  });
  // The controller's clock now runs from the time set; the next setting waits for midnight.
  EXPECT_TRUE(server_->long_delay_timer()->pending());
}

TEST_F(ServerSimTest, StatusReadFromTheController) {
  Begin(R"({"controller": {"probe_ack": true},
            "status": {"time": "2081-01-02 03:04:05", "battery": 99, "sunrise": "05:06"}})");
  Variant date;
  ASSERT_EQ(S_OK, server_->get_Date(&date));
  std::tm t{};
  ASSERT_EQ(S_OK, TmFromDate(date.date(), &t));
  EXPECT_EQ(2081 - 1900, t.tm_year);
  EXPECT_EQ(3, t.tm_hour);
  int32_t battery = 0;
  ASSERT_EQ(S_OK, server_->get_BatteryLevel(&battery));
  EXPECT_EQ(99, battery);
  Date sunrise;
  ASSERT_EQ(S_OK, server_->get_Sunrise(&sunrise));
  EXPECT_DOUBLE_EQ((5 * 60 + 6) / 1440.0, sunrise.value);
  // Both reads came within 1.5 s: one status request.
  EXPECT_EQ(1u, fixture_.sim().ReceivedFrames().size());
}

TEST_F(ServerSimTest, BadSystemInformationRepliesChangeNothing) {
  Begin(R"({"controller": {"probe_ack": true}})");
  sim::Fault truncated;
  truncated.kind = sim::FaultKind::kRawReply;
  truncated.bytes = sim::MakeFrame(0x12, {30, 3});  // ends before the revision byte
  fixture_.sim().InjectFault(truncated);
  BStr phone;
  EXPECT_EQ(E_FAIL, server_->get_PhoneNumber(&phone));
  sim::Fault nak = truncated;
  nak.bytes = Hex({0x5A, 0x01, 0x06, 0x81, 0x92});
  fixture_.sim().InjectFault(nak);
  EXPECT_EQ(E_FAIL, server_->get_PhoneNumber(&phone));
  EXPECT_EQ(kUnknownModelIndex, server_->model_index());
  ASSERT_EQ(S_OK, server_->get_PhoneNumber(&phone));  // a good answer fills it all in
  EXPECT_EQ(7, server_->model_index());
}

TEST_F(ServerSimTest, ProbeAnsweredWithAnotherFrameLogsIn) {
  Begin(R"({"controller": {"access_code": "7395"}, "setup": {"size": 0}})");
  sim::Fault odd;
  odd.kind = sim::FaultKind::kRawReply;
  odd.bytes = sim::MakeFrame(0x12, {1, 2, 3, 4});
  fixture_.sim().InjectFault(odd);
  (void)server_->Start();
  std::vector<Bytes> frames = fixture_.sim().ReceivedFrames();
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(Login(7, 3, 9, 5), frames[1]);
  EXPECT_EQ(kSystemInformation, frames[2]);
}

}  // namespace
}  // namespace zel
