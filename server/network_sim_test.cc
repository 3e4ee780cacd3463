// The whole server over the network transport, against the controller simulator answering on a
// real UDP socket on 127.0.0.1: Start to ssInteractive with the same frames as over the serial
// line, a lost reply, a late reply, a forged answer from another port, lost handshake answers, a
// session the controller forgets, a wrong private key, a silent controller and a Stop during its
// handshake.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "link/comm_handlers.h"
#include "link/frame.h"
#include "link/link_health.h"
#include "link/network_transport.h"
#include "link/request.h"
#include "link/serial_transport.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "platform/instance_paths.h"
#include "platform/settings_registry.h"
#include "platform/stream.h"
#include "platform/system_log.h"
#include "server/zel_server.h"
#include "sim/scenario_names.h"
#include "sim/simulator.h"
#include "testing/sim_fixture.h"
#include "zel_source_dir.h"

namespace zel {
namespace {

using sim::Bytes;

// The frames the controller received before the server asked for the names: probe, login,
// system information and the setup upload, the same whatever the link. (Taken from the record,
// not at the status change: status handlers run on their own delivery lane.)
std::vector<Bytes> FramesBeforeNames(const std::vector<Bytes>& frames) {
  auto names = std::find_if(frames.begin(), frames.end(), [](const Bytes& f) {
    return f.size() > 2 && f[2] == sim::kNamesUpload;
  });
  EXPECT_NE(frames.end(), names) << "no names request";
  return {frames.begin(), names};
}

class NetworkSimTest : public ::testing::Test {
 protected:
  // Production waits run 100 times faster: the 3 s receive time-out takes 30 ms, a silent
  // handshake 440 ms.
  static constexpr int kDivisor = 100;

  void SetUp() override {
    RegisterServerClasses();
    RegisterModelClasses();

    std::string error;
    ASSERT_EQ(S_OK, sim::LoadScenarioFile(std::string(ZEL_SOURCE_DIR) + "/sim/scenarios/house.json",
                                          &scenario_, &error))
        << error;
    ASSERT_EQ(S_OK, fixture_.StartUdp(scenario_));
    server_ = MakeObject<CZelServer>();
    ASSERT_EQ(S_OK, server_->put_AccessCode(BStr("1234")));
    network_ = MakeObject<CZelCommHandlerNetwork>();
    ASSERT_EQ(S_OK, network_->put_Address(BStr("127.0.0.1")));
    ASSERT_EQ(S_OK, network_->put_Port(Variant::UI4(fixture_.sim().udp_port())));
  }

  void TearDown() override {
    if (server_) (void)server_->Stop();
    server_.reset();
    network_.reset();
    LinkHealth::Process().set_down_after(LinkHealth::kDefaultDownAfter);
    // The process's transports are singletons: the next test starts from fresh ones.
    ClassRegistry::Instance().ReleaseSingletons();
  }

  HRESULT StartOverUdp() {
    ZEL_TRY(server_->put_CommunicationsHandler(network_.get()));
    return server_->Start();
  }

  // One exchange with the transport's bracket held by the caller, so no poll comes between.
  Bytes Exchange(const Bytes& request) {
    ReplyBuffer reply;
    EXPECT_EQ(S_OK, SendControllerRequest(network_.get(), false, request.data(),
                                          static_cast<uint32_t>(request.size()), &reply));
    if (!reply) return {};
    return Bytes(reply.get(), reply.get() + reply.get()[1] + kFrameOverhead);
  }

  // The sequence numbers of the frame datagrams the controller received.
  std::vector<uint16_t> FrameSequences() {
    std::vector<uint16_t> s;
    for (const Bytes& d : fixture_.sim().ReceivedDatagrams()) {
      if (d.size() >= 4 && d[2] == kPacketFrame) s.push_back(PacketSequence(d.data()));
    }
    return s;
  }

  static bool WaitUntil(const std::function<bool()>& done, Millis real) {
    auto deadline = std::chrono::steady_clock::now() + real;
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::sleep_for(Millis(10));
    }
    return done();
  }

  SimFixture fixture_{kDivisor};
  sim::Scenario scenario_;
  ComPtr<CZelServer> server_;
  ComPtr<CZelCommHandlerNetwork> network_;
};

const Bytes kSystemInformation = {0x5A, 0x01, 0x11, 0xC1, 0x9C};
const Bytes kSystemStatus = {0x5A, 0x01, 0x13, 0x40, 0x5D};

TEST_F(NetworkSimTest, StartReachesInteractiveWithTheFramesOfTheSerialLine) {
  // Over the serial line first, through a pseudo-terminal, with a server of its own.
  server_.reset();
  std::vector<Bytes> serial_frames;
  {
    sim::Simulator serial_sim(scenario_);
    ASSERT_EQ(S_OK, serial_sim.Start());
    ASSERT_EQ(S_OK, serial_sim.CreateLink(fixture_.dir() + "/tty1"));
    ComPtr<CZelServer> server = MakeObject<CZelServer>();
    ASSERT_EQ(S_OK, server->put_AccessCode(BStr("1234")));
    ComPtr<CZelCommHandlerSerial> serial = MakeObject<CZelCommHandlerSerial>();
    ASSERT_EQ(S_OK, server->put_CommunicationsHandler(serial.get()));
    ASSERT_EQ(S_OK, server->Start());
    ASSERT_EQ(S_OK, server->Stop());
    serial_frames = FramesBeforeNames(serial_sim.ReceivedFrames());
    serial_sim.Stop();
  }
  ASSERT_GT(serial_frames.size(), 4u);
  server_ = MakeObject<CZelServer>();
  ASSERT_EQ(S_OK, server_->put_AccessCode(BStr("1234")));

  ASSERT_EQ(S_OK, StartOverUdp());
  EXPECT_EQ(ssInteractive, server_->status());
  EXPECT_EQ(serial_frames, FramesBeforeNames(fixture_.sim().ReceivedFrames()));
  // The handshake came first: new session, then the secure connection.
  std::vector<Bytes> datagrams = fixture_.sim().ReceivedDatagrams();
  ASSERT_GE(datagrams.size(), 3u);
  EXPECT_EQ(kPacketNewSession, datagrams[0][2]);
  EXPECT_EQ(kPacketSecureConnection, datagrams[1][2]);

  // Stop logs out and terminates the session.
  ASSERT_EQ(S_OK, server_->Stop());
  EXPECT_EQ(ssStopped, server_->status());
  EXPECT_EQ(kPacketTerminate, fixture_.sim().ReceivedDatagrams().back()[2]);
  fixture_.sim().WithState([](sim::SimState& s) { EXPECT_FALSE(s.udp.open); });
}

TEST_F(NetworkSimTest, LostReplyIsResentWithANewNumber) {
  ASSERT_EQ(S_OK, StartOverUdp());
  ASSERT_EQ(S_OK, network_->BeginAtomicRequest());
  size_t before = FrameSequences().size();
  sim::Fault lost;
  lost.kind = sim::FaultKind::kNoReply;
  fixture_.sim().InjectFault(lost);
  EXPECT_EQ(0x12, Exchange(kSystemInformation)[2]);
  std::vector<uint16_t> sequences = FrameSequences();
  ASSERT_EQ(before + 2, sequences.size());
  EXPECT_EQ(NextSequence(sequences[before]), sequences[before + 1]);
  EXPECT_EQ(S_OK, network_->EndAtomicRequest());
}

TEST_F(NetworkSimTest, LateReplyIsDroppedAndEveryReplyMatchesItsRequest) {
  ASSERT_EQ(S_OK, StartOverUdp());
  ASSERT_EQ(S_OK, network_->BeginAtomicRequest());
  // The reply to the first request comes just after its attempt's receive time-out.
  sim::Fault late;
  late.kind = sim::FaultKind::kDelay;
  late.delay_ms = 3000 / kDivisor + 15;
  fixture_.sim().InjectFault(late);
  EXPECT_EQ(0x12, Exchange(kSystemInformation)[2]);
  EXPECT_EQ(0x14, Exchange(kSystemStatus)[2]);
  EXPECT_EQ(0x12, Exchange(kSystemInformation)[2]);
  EXPECT_EQ(0x14, Exchange(kSystemStatus)[2]);
  EXPECT_GE(network_->stale_replies(), 1u);
  EXPECT_EQ(S_OK, network_->EndAtomicRequest());
}

TEST_F(NetworkSimTest, PreviousSequenceAndWrongTypeAnswersAreNotTaken) {
  ASSERT_EQ(S_OK, StartOverUdp());
  ASSERT_EQ(S_OK, network_->BeginAtomicRequest());
  for (sim::FaultKind kind : {sim::FaultKind::kPreviousSequence, sim::FaultKind::kWrongType,
                              sim::FaultKind::kLoseRequest}) {
    size_t before = FrameSequences().size();
    sim::Fault fault;
    fault.kind = kind;
    fixture_.sim().InjectFault(fault);
    EXPECT_EQ(0x14, Exchange(kSystemStatus)[2]) << sim::FaultName(kind);
    EXPECT_EQ(before + 2, FrameSequences().size()) << sim::FaultName(kind);
  }
  EXPECT_EQ(S_OK, network_->EndAtomicRequest());
}

TEST_F(NetworkSimTest, AForgedAnswerFromAnotherPortIsNotTaken) {
  ASSERT_EQ(S_OK, StartOverUdp());
  ASSERT_EQ(S_OK, network_->BeginAtomicRequest());
  size_t before = FrameSequences().size();
  uint64_t foreign = network_->foreign_datagrams();
  sim::Fault stray;
  stray.kind = sim::FaultKind::kStraySender;
  fixture_.sim().InjectFault(stray);
  EXPECT_EQ(0x14, Exchange(kSystemStatus)[2]);
  // The real answer to the first send was taken; the forged one ahead of it was dropped, counted.
  EXPECT_EQ(before + 1, FrameSequences().size());
  EXPECT_EQ(foreign + 1, network_->foreign_datagrams());
  EXPECT_EQ(S_OK, network_->EndAtomicRequest());
}

TEST_F(NetworkSimTest, LostHandshakeAnswersAreAskedForAgainWithTheSameNumber) {
  sim::Fault lost;
  lost.kind = sim::FaultKind::kLoseReply;
  lost.count = 2;
  fixture_.sim().InjectFault(lost);
  ASSERT_EQ(S_OK, network_->Connect());
  std::vector<std::pair<uint16_t, uint8_t>> sent;
  for (const Bytes& d : fixture_.sim().ReceivedDatagrams())
    sent.emplace_back(PacketSequence(d.data()), d[2]);
  // The controller opened a session for each new-session request; the one it answered counts.
  EXPECT_EQ((std::vector<std::pair<uint16_t, uint8_t>>{{1, kPacketNewSession},
                                                       {1, kPacketNewSession},
                                                       {1, kPacketNewSession},
                                                       {2, kPacketSecureConnection}}),
            sent);
  EXPECT_TRUE(network_->connected());
}

// A controller that forgot the session (a reboot) answers nothing until a new handshake. The
// link is down after the first failed request (33 s of resends); from then on requests go out
// once and a pass stops at its first failure, and an update thread logs in again without
// waiting for 15 failed passes: the link is back in about a minute, not in an hour.
TEST_F(NetworkSimTest, ForgottenSessionComesBackThroughTheRelogin) {
  LinkHealth::Process().set_down_after(Millis(LinkHealth::kDefaultDownAfter.count() / kDivisor));
  ASSERT_EQ(S_OK, StartOverUdp());
  auto forgotten = std::chrono::steady_clock::now();
  fixture_.sim().ForgetUdpSession();
  // The polls fail until the update threads log in again: a new handshake and a login.
  EXPECT_TRUE(WaitUntil(
      [&] {
        bool back = false;
        fixture_.sim().WithState([&](sim::SimState& s) { back = s.udp.secure && s.logged_in; });
        return back;
      },
      Millis(60000)));
  auto production = (std::chrono::steady_clock::now() - forgotten) * kDivisor;
  std::printf("forgotten session back after %.1f s (production time)\n",
              std::chrono::duration<double>(production).count());
  EXPECT_LT(production, Millis(120000));
  EXPECT_EQ(ssInteractive, server_->status());
  // And the link answers again.
  ASSERT_EQ(S_OK, network_->BeginAtomicRequest());
  EXPECT_EQ(0x14, Exchange(kSystemStatus)[2]);
  EXPECT_EQ(S_OK, network_->EndAtomicRequest());
}

// A command whose reply is lost is not sent again: the controller carries it out once and the
// caller is told it failed, where a resend would have carried it out twice. Other requests are
// still resent after a lost reply.
TEST_F(NetworkSimTest, ACommandWhoseReplyIsLostIsCarriedOutOnceAndFails) {
  ASSERT_EQ(S_OK, StartOverUdp());
  // The bracket keeps the update threads' polls off the link, so the fault meets the command.
  ASSERT_EQ(S_OK, network_->BeginAtomicRequest());
  fixture_.sim().WithState([](sim::SimState& s) { s.commands.clear(); });
  sim::Fault lose_reply;
  lose_reply.kind = sim::FaultKind::kLoseReply;
  fixture_.sim().InjectFault(lose_reply);
  EXPECT_TRUE(Failed(SendControllerCommand(network_.get(), 9, 40, 3)));
  EXPECT_EQ((std::vector<sim::CommandRecord>{{9, 40, 3}}), fixture_.sim().Commands());
  // The next command goes through, once.
  EXPECT_EQ(S_OK, SendControllerCommand(network_.get(), 9, 41, 3));
  EXPECT_EQ((std::vector<sim::CommandRecord>{{9, 40, 3}, {9, 41, 3}}), fixture_.sim().Commands());
  // A status request is resent and answered.
  fixture_.sim().InjectFault(lose_reply);
  EXPECT_EQ(0x14, Exchange(kSystemStatus)[2]);
  EXPECT_EQ(S_OK, network_->EndAtomicRequest());
}

TEST_F(NetworkSimTest, WrongKeyFailsTheStartWithTheSessionCode) {
  ASSERT_EQ(S_OK,
            network_->put_PrivateKey(BStr("00-11-22-33-44-55-66-77-88-99-AA-BB-CC-DD-EE-FF")));
  ScopedSystemLogCapture capture;
  EXPECT_EQ(E_COMM_SESSION_FAILED, server_->put_CommunicationsHandler(network_.get()));
  EXPECT_EQ(E_COMM_SESSION_FAILED, server_->Start());
  EXPECT_EQ(ssFailure, server_->status());
  EXPECT_EQ(E_COMM_SESSION_FAILED, server_->last_failure());
  size_t refusals = 0;
  for (const SystemLogReport& r : capture.reports()) {
    if (r.message_id == MSG_SESSION_NOT_ACCEPTED) ++refusals;
    EXPECT_EQ(std::string::npos, r.message.find("00-11-22")) << r.message;
  }
  EXPECT_EQ(1u, refusals);
}

TEST_F(NetworkSimTest, SilentControllerFailsTheStartAfterElevenAttempts) {
  sim::Fault silent;
  silent.kind = sim::FaultKind::kLoseRequest;
  silent.count = -1;
  fixture_.sim().InjectFault(silent);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(E_COMM_SESSION_FAILED, server_->put_CommunicationsHandler(network_.get()));
  auto real = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(11u, fixture_.sim().ReceivedDatagrams().size());
  // 11 x (3 s + 1 s), on the scaled clock.
  EXPECT_GE(real, Millis(44000 / kDivisor));
  EXPECT_LT(real, Millis(44000 / kDivisor * 2));
  EXPECT_EQ(ssFailure, server_->status());
}

TEST_F(NetworkSimTest, StopDuringASilentHandshakeReturnsWithinOneReceiveTimeOut) {
  sim::Fault silent;
  silent.kind = sim::FaultKind::kLoseRequest;
  silent.count = -1;
  fixture_.sim().InjectFault(silent);
  // The transport is set (its first handshake fails), then Start tries again on a thread.
  (void)server_->put_CommunicationsHandler(network_.get());
  fixture_.sim().ApplyControl(R"({"clear":"frames"})");  // and the datagrams
  HRESULT started = S_OK;
  std::thread starter([&] { started = server_->Start(); });
  ASSERT_TRUE(
      WaitUntil([&] { return fixture_.sim().ReceivedDatagrams().size() >= 2; }, Millis(10000)));
  auto begin = std::chrono::steady_clock::now();
  // With no session the logout cannot go out: Stop reports that, as it does on any link.
  EXPECT_EQ(E_FAIL, server_->Stop());
  auto took = std::chrono::steady_clock::now() - begin;
  starter.join();
  EXPECT_LT(took, Millis(3000 / kDivisor * 2));
  EXPECT_EQ(E_ABORT, started);
  EXPECT_EQ(ssFailure, server_->status());
  // The link is usable again once the controller answers.
  fixture_.sim().ClearFaults();
  EXPECT_EQ(S_OK, network_->Connect());
}

TEST_F(NetworkSimTest, ClientsAreAnsweredAndStopReturnsPromptlyDuringAnUpdateThreadsRelogin) {
  LinkHealth::Process().set_down_after(Millis(LinkHealth::kDefaultDownAfter.count() / kDivisor));
  ASSERT_EQ(S_OK, StartOverUdp());
  // The controller falls silent: the polls fail, the link is down, and an update thread runs
  // the re-login, whose handshake would cost 11 x 4 s.
  sim::Fault silent;
  silent.kind = sim::FaultKind::kLoseRequest;
  silent.count = -1;
  fixture_.sim().InjectFault(silent);
  fixture_.sim().ApplyControl(R"({"clear":"frames"})");
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (const Bytes& d : fixture_.sim().ReceivedDatagrams()) {
          if (d[2] == kPacketTerminate || d[2] == kPacketNewSession) return true;
        }
        return false;
      },
      Millis(60000)));
  // Clients are still answered while the re-login holds the link: what they read is the
  // server's own.
  auto read_begin = std::chrono::steady_clock::now();
  ComPtr<IDispatch> zones;
  ASSERT_EQ(S_OK, server_->get_Zones(zones.Receive()));
  Variant count, name;
  ASSERT_EQ(S_OK, GetProperty(zones.get(), "Count", &count));
  Variant first[] = {Variant::I4(1)};
  Variant zone;
  ASSERT_EQ(S_OK, CallMethod(zones.get(), "Item", first, &zone));
  ASSERT_EQ(S_OK, GetProperty(zone.dispatch(), "Name", &name));
  EXPECT_LT(std::chrono::steady_clock::now() - read_begin, Millis(3000 / kDivisor));
  auto begin = std::chrono::steady_clock::now();
  (void)server_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, Millis(3000 / kDivisor * 2));
  EXPECT_NE(ssInteractive, server_->status());
}

TEST_F(NetworkSimTest, NetworkSettingsAreStoredAndRestoredWithTheConfiguration) {
  const std::string key = "0F-1E-2D-3C-4B-5A-69-78-87-96-A5-B4-C3-D2-E1-F0";
  ASSERT_NE(std::string::npos, fixture_.sim()
                                   .ApplyControl(R"({"set":{"private_key":")" + key + R"("}})")
                                   .find("\"ok\":true"));
  // The process's one network transport, as the catalogue and a stored configuration reach it.
  ComPtr<IZelCommHandlerNetwork> shared;
  ASSERT_EQ(S_OK, ClassRegistry::Instance().Create<IZelCommHandlerNetwork>(
                      kClsidZelCommHandlerNetwork, &shared));
  ASSERT_EQ(S_OK, shared->put_Address(BStr("127.0.0.1")));
  ASSERT_EQ(S_OK, shared->put_Port(Variant::UI4(fixture_.sim().udp_port())));
  ASSERT_EQ(S_OK, shared->put_PrivateKey(BStr(key)));
  ASSERT_EQ(S_OK, server_->OpenLocalStore());
  ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(shared.get()));
  ASSERT_EQ(S_OK, server_->SaveSetup());

  // The stored bytes after the fixed fields: the class id, then the settings stream.
  ComPtr<IStream> stream;
  ASSERT_EQ(S_OK, server_->local_store()->OpenStream("Setup", stream.Receive()));
  std::vector<uint8_t> stored(4096);
  uint32_t got = 0;
  ASSERT_EQ(S_OK, stream->Read(stored.data(), static_cast<uint32_t>(stored.size()), &got));
  stored.resize(got);
  stream.reset();
  std::vector<uint8_t> expected;
  std::array<uint8_t, 16> id = GuidToBytes(kClsidZelCommHandlerNetwork);
  expected.insert(expected.end(), id.begin(), id.end());
  ComPtr<MemoryStream> settings = MakeObject<MemoryStream>();
  ASSERT_EQ(S_OK, network_->put_Address(BStr("127.0.0.1")));
  ASSERT_EQ(S_OK, network_->put_PrivateKey(BStr(key)));
  ASSERT_EQ(S_OK, network_->Save(settings.get(), false));
  expected.insert(expected.end(), settings->data().begin(), settings->data().end());
  ASSERT_EQ(48 + expected.size(), stored.size());
  EXPECT_EQ(expected, std::vector<uint8_t>(stored.begin() + 48, stored.end()));

  // Another start of the process: the settings come back from the store and the session with
  // them.
  ASSERT_EQ(S_OK, server_->Stop());
  ASSERT_EQ(S_OK, shared->put_Port(Variant::UI4(1)));
  ASSERT_EQ(S_OK, shared->put_PrivateKey(BStr("00")));
  ASSERT_EQ(S_OK, server_->LoadSetup());
  Variant port;
  ASSERT_EQ(S_OK, shared->get_Port(&port));
  EXPECT_EQ(fixture_.sim().udp_port(), port.ui4());
  BStr restored;
  ASSERT_EQ(S_OK, shared->get_PrivateKey(&restored));
  EXPECT_EQ(key, restored.str());
  ComPtr<IZelCommHandler> held = server_->transport();
  EXPECT_EQ(static_cast<IZelCommHandler*>(shared.get()), held.get());
  EXPECT_TRUE(static_cast<CZelCommHandlerNetwork*>(shared.get())->connected());
}

TEST_F(NetworkSimTest, CatalogueHandsOutTheTransportTheServerHolds) {
  ASSERT_EQ(S_OK, RegisterTransportEntries(RegKey::LocalMachine()));
  ComPtr<IDispatch> catalogue;
  ASSERT_EQ(S_OK, server_->get_CommHandlers(catalogue.Receive()));
  Variant count, item;
  ASSERT_EQ(S_OK, GetProperty(catalogue.get(), "Count", &count));
  EXPECT_EQ(Variant::I4(2), count);
  Variant name[] = {Variant::Str(BStr("network (udp)"))};
  ASSERT_EQ(S_OK, CallMethod(catalogue.get(), "Item", name, &item));
  // Set up through the catalogue's object, handed to the server, which then holds that object.
  ASSERT_EQ(S_OK, PutProperty(item.dispatch(), "Address", Variant::Str(BStr("127.0.0.1"))));
  ASSERT_EQ(S_OK, PutProperty(item.dispatch(), "Port", Variant::I4(fixture_.sim().udp_port())));
  ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(item.dispatch()));
  ComPtr<IDispatch> held;
  ASSERT_EQ(S_OK, server_->get_CommunicationsHandler(held.Receive()));
  Variant address;
  ASSERT_EQ(S_OK, GetProperty(held.get(), "Address", &address));
  EXPECT_EQ(Variant::Str(BStr("127.0.0.1")), address);
  ASSERT_EQ(S_OK, server_->Start());
  EXPECT_EQ(ssInteractive, server_->status());
}

}  // namespace
}  // namespace zel
