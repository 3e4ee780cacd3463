// The serial transport against the controller simulator over a real pseudo-terminal.
#include "link/serial_transport.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "link/frame.h"
#include "link/link_classes.h"
#include "link/request.h"
#include "platform/class_registry.h"
#include "platform/resource_library.h"
#include "platform/stream.h"
#include "platform/system_log.h"
#include "sim/simulator.h"
#include "testing/sim_fixture.h"

namespace zel {
namespace {

using sim::Bytes;
using sim::Fault;
using sim::FaultKind;

const Bytes kAck(kAckFrame.begin(), kAckFrame.end());

// Every production wait runs 10 times faster: the 3000 ms read time-out takes 300 ms, long
// enough that a loaded machine does not starve the simulator past it.
constexpr int kClockDivisor = 10;

class SerialTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Scenario scenario;
    scenario.probe_ack = true;
    ASSERT_EQ(S_OK, fixture_.Start(scenario));
    transport_ = MakeObject<CZelCommHandlerSerial>();
  }

  // One exchange; *reply receives the frame as bytes.
  HRESULT Exchange(const Bytes& request, Bytes* reply) {
    uint8_t* raw = nullptr;
    HRESULT hr =
        transport_->SendRequest(request.data(), static_cast<uint32_t>(request.size()), &raw);
    ReplyBuffer owned(raw);
    if (Succeeded(hr)) {
      EXPECT_NE(nullptr, raw);
      if (raw != nullptr) reply->assign(raw, raw + raw[1] + kFrameOverhead);
    } else {
      EXPECT_EQ(nullptr, raw);
    }
    return hr;
  }
  HRESULT Probe(Bytes* reply) { return Exchange(kAck, reply); }

  Fault MakeFault(FaultKind kind) {
    Fault f;
    f.kind = kind;
    return f;
  }

  SimFixture fixture_{kClockDivisor};
  ComPtr<CZelCommHandlerSerial> transport_;
};

TEST_F(SerialTransportTest, ProbeIsAcknowledged) {
  ASSERT_EQ(S_OK, transport_->Connect());
  EXPECT_TRUE(transport_->connected());
  Bytes reply;
  ASSERT_EQ(S_OK, Probe(&reply));
  EXPECT_EQ(kAck, reply);
  EXPECT_EQ(std::vector<Bytes>{kAck}, fixture_.sim().ReceivedFrames());
}

TEST_F(SerialTransportTest, ReplyInChunksOfOneThreeAndFive) {
  ASSERT_EQ(S_OK, transport_->Connect());
  Bytes nine = sim::MakeFrame(0x30, {0x01, 0x02, 0x03, 0x04});
  Fault raw = MakeFault(FaultKind::kRawReply);
  raw.bytes = nine;
  Fault chunked = MakeFault(FaultKind::kChunked);
  chunked.chunks = {1, 3, 5};
  chunked.pause_ms = 5;
  fixture_.sim().InjectFault(raw);
  fixture_.sim().InjectFault(chunked);
  Bytes reply;
  ASSERT_EQ(S_OK, Probe(&reply));
  EXPECT_EQ(nine, reply);
}

// A reply that comes just after the read time-out is never taken for the answer to the next
// request: what waits in the input is discarded (counted, and reported at debug level) before
// each request, and every later reply matches its own request.
TEST_F(SerialTransportTest, LateReplyIsDiscardedBeforeTheNextRequest) {
  ASSERT_EQ(S_OK, transport_->Connect());
  ScopedSystemLogCapture log;
  const int timeout_ms =
      static_cast<int>(CZelCommHandlerSerial::kReadTimeout.count()) / kClockDivisor;
  Fault late = MakeFault(FaultKind::kDelay);
  late.delay_ms = timeout_ms + 50;
  fixture_.sim().InjectFault(late);
  Bytes reply;
  EXPECT_EQ(E_COMM_TIMEOUT, Probe(&reply));
  // The late acknowledge reaches the line after the time-out.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  const Bytes info_request = {0x5A, 0x01, 0x11, 0xC1, 0x9C};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(S_OK, Exchange(info_request, &reply));
    EXPECT_EQ(0x12, reply[2]) << "the system information reply, not an acknowledge";
    ASSERT_EQ(S_OK, Probe(&reply));
    EXPECT_EQ(kAck, reply);
  }
  EXPECT_EQ(kAck.size(), transport_->discarded_input_bytes());
  size_t debug_reports = 0;
  for (const SystemLogReport& r : log.reports()) {
    if (r.priority != LOG_DEBUG) continue;
    ++debug_reports;
    EXPECT_NE(std::string::npos, r.message.find("discarded 5 bytes")) << r.message;
  }
  EXPECT_EQ(1u, debug_reports);
}

TEST_F(SerialTransportTest, BadFirstByteFails) {
  ASSERT_EQ(S_OK, transport_->Connect());
  fixture_.sim().InjectFault(MakeFault(FaultKind::kBadStart));
  Bytes reply;
  EXPECT_EQ(E_FAIL, Probe(&reply));
}

TEST_F(SerialTransportTest, GarbageBeforeReplyFails) {
  ASSERT_EQ(S_OK, transport_->Connect());
  Fault garbage = MakeFault(FaultKind::kGarbage);
  garbage.bytes = {0x00, 0x13};
  fixture_.sim().InjectFault(garbage);
  Bytes reply;
  EXPECT_EQ(E_FAIL, Probe(&reply));
}

TEST_F(SerialTransportTest, CorruptedCrcFails) {
  ASSERT_EQ(S_OK, transport_->Connect());
  fixture_.sim().InjectFault(MakeFault(FaultKind::kCorruptCrc));
  Bytes reply;
  EXPECT_EQ(E_FAIL, Probe(&reply));
  // The line is still usable for the next exchange.
  ASSERT_EQ(S_OK, Probe(&reply));
  EXPECT_EQ(kAck, reply);
}

TEST_F(SerialTransportTest, LengthByteZeroRefused) {
  ASSERT_EQ(S_OK, transport_->Connect());
  Fault raw = MakeFault(FaultKind::kRawReply);
  raw.bytes = {0x5A, 0x00, 0x05, 0xC1, 0x93};
  fixture_.sim().InjectFault(raw);
  Bytes reply;
  EXPECT_EQ(E_FAIL, Probe(&reply));
}

TEST_F(SerialTransportTest, NoReplyTimesOutOnTheScaledClock) {
  ASSERT_EQ(S_OK, transport_->Connect());
  fixture_.sim().InjectFault(MakeFault(FaultKind::kNoReply));
  Bytes reply;
  fixture_.clock().Clear();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(E_COMM_TIMEOUT, Probe(&reply));
  auto elapsed = std::chrono::steady_clock::now() - start;
  // The write may take 38400 / 9600 = 4 ms per byte of the 5-byte probe; the read waits 3000 ms.
  EXPECT_EQ((std::vector<int64_t>{20, 3000}), fixture_.clock().waits());
  // And the wait is really that long (scaled), not cut short.
  EXPECT_GE(elapsed, std::chrono::milliseconds(3000 / kClockDivisor));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000 / kClockDivisor * 3));
}

TEST_F(SerialTransportTest, TruncatedReplyTimesOut) {
  ASSERT_EQ(S_OK, transport_->Connect());
  Fault truncate = MakeFault(FaultKind::kTruncate);
  truncate.truncate_to = 3;
  fixture_.sim().InjectFault(truncate);
  Bytes reply;
  EXPECT_EQ(E_COMM_TIMEOUT, Probe(&reply));
}

TEST_F(SerialTransportTest, SlowChunksWithinTheTimeOutAreAssembled) {
  // Each pause is shorter than the (scaled) read time-out, the whole reply longer than one.
  ASSERT_EQ(S_OK, transport_->Connect());
  Fault chunked = MakeFault(FaultKind::kChunked);
  chunked.chunks = {2};
  chunked.pause_ms = 20;
  fixture_.sim().InjectFault(chunked);
  Bytes reply;
  ASSERT_EQ(S_OK, Probe(&reply));
  EXPECT_EQ(kAck, reply);
}

TEST_F(SerialTransportTest, InterruptEndsATricklingExchangeAndEveryLaterOneUntilResumed) {
  ASSERT_EQ(S_OK, transport_->Connect());
  // One byte every 200 ms: each arrives within the (scaled) 300 ms read time-out, so nothing
  // but the interrupt ends the exchange before the whole frame is in.
  Fault trickle = MakeFault(FaultKind::kTrickle);
  trickle.chunks = {1};
  trickle.pause_ms = 200;
  fixture_.sim().InjectFault(trickle);
  HRESULT held = S_OK;
  std::chrono::steady_clock::time_point ended;
  std::thread exchange([&] {
    Bytes reply;
    held = Probe(&reply);
    ended = std::chrono::steady_clock::now();
  });
  ASSERT_TRUE(fixture_.sim().WaitForFrames(1, std::chrono::milliseconds(5000)));
  auto cut = std::chrono::steady_clock::now();
  transport_->InterruptWaits();
  exchange.join();
  EXPECT_EQ(E_ABORT, held);
  EXPECT_LT(ended - cut, std::chrono::milliseconds(150));

  // While interrupted nothing goes out.
  Bytes reply;
  EXPECT_EQ(E_ABORT, Probe(&reply));
  EXPECT_EQ(1u, fixture_.sim().ReceivedFrames().size());

  // Resumed, requests are answered again: the controller drops the trickle for the next one.
  // On a loaded machine the simulator may take longer than the scaled 300 ms read time-out to
  // get there, so a few requests are allowed; what matters is that they go out and succeed.
  transport_->ResumeWaits();
  HRESULT answered = E_FAIL;
  for (int attempt = 0; attempt < 5 && answered != S_OK; ++attempt) answered = Probe(&reply);
  ASSERT_EQ(S_OK, answered);
  EXPECT_EQ(kAck, reply);
}

TEST_F(SerialTransportTest, TryBeginAtomicRequestTakesOnlyAFreeLock) {
  ASSERT_TRUE(transport_->TryBeginAtomicRequest());
  EXPECT_TRUE(transport_->TryBeginAtomicRequest());  // the holder may take it again
  bool other = true;
  std::thread([&] { other = transport_->TryBeginAtomicRequest(); }).join();
  EXPECT_FALSE(other);
  EXPECT_EQ(S_OK, transport_->EndAtomicRequest());
  EXPECT_EQ(S_OK, transport_->EndAtomicRequest());
  std::thread([&] {
    other = transport_->TryBeginAtomicRequest();
    if (other) (void)transport_->EndAtomicRequest();
  }).join();
  EXPECT_TRUE(other);
}

TEST_F(SerialTransportTest, BytesAfterTheFrameAreDropped) {
  ASSERT_EQ(S_OK, transport_->Connect());
  Fault raw = MakeFault(FaultKind::kRawReply);
  raw.bytes = kAck;
  raw.bytes.insert(raw.bytes.end(), {0xEE, 0xEE});
  fixture_.sim().InjectFault(raw);
  uint8_t* got = nullptr;
  ASSERT_EQ(S_OK, transport_->SendRequest(kAck.data(), 5, &got));
  ReplyBuffer owned(got);
  EXPECT_EQ(0, std::memcmp(got, kAck.data(), 5));
}

TEST_F(SerialTransportTest, BaudRateChangeClosesTheOpenLink) {
  ASSERT_EQ(S_OK, transport_->Connect());
  EXPECT_EQ(4u, transport_->write_timeout_multiplier());
  ASSERT_EQ(S_OK, transport_->put_BaudRate(Variant::UI4(19200)));
  EXPECT_FALSE(transport_->connected());
  Bytes reply;
  EXPECT_EQ(E_FAIL, Probe(&reply));
  ASSERT_EQ(S_OK, transport_->Connect());
  EXPECT_EQ(2u, transport_->write_timeout_multiplier());
  ASSERT_EQ(S_OK, Probe(&reply));
}

TEST_F(SerialTransportTest, UnusableBaudRatesRefusedAtConnect) {
  for (uint32_t rate : {0u, 12345u}) {
    ASSERT_EQ(S_OK, transport_->put_BaudRate(Variant::UI4(rate)));
    EXPECT_EQ(E_COMM_BAD_BAUD_RATE, transport_->Connect());
    EXPECT_FALSE(transport_->connected());
  }
  ASSERT_EQ(S_OK, transport_->put_BaudRate(Variant::UI4(115200)));
  ASSERT_EQ(S_OK, transport_->Connect());
  // Above 38400 baud the per-byte write time-out is 0 ms.
  EXPECT_EQ(0u, transport_->write_timeout_multiplier());
  Bytes reply;
  EXPECT_EQ(S_OK, Probe(&reply));
}

TEST_F(SerialTransportTest, SecondOpenerIsRefused) {
  ASSERT_EQ(S_OK, transport_->Connect());
  ComPtr<CZelCommHandlerSerial> second = MakeObject<CZelCommHandlerSerial>();
  EXPECT_EQ(E_COMM_PORT_ACCESS_DENIED, second->Connect());
  EXPECT_FALSE(second->connected());
  // Once the first lets go, the second gets the line.
  ASSERT_EQ(S_OK, transport_->Disconnect());
  EXPECT_EQ(S_OK, second->Connect());
}

TEST_F(SerialTransportTest, MissingDevice) {
  ASSERT_EQ(S_OK, transport_->put_Port(Variant::UI1(9)));
  EXPECT_EQ(E_COMM_PORT_NOT_FOUND, transport_->Connect());
  EXPECT_FALSE(transport_->connected());
  EXPECT_EQ(S_FALSE, transport_->Disconnect());
}

TEST_F(SerialTransportTest, DeviceNamesCarryThePortInDecimal) {
  std::string device;
  ASSERT_EQ(S_OK, transport_->put_Port(Variant::UI1(3)));
  ASSERT_EQ(S_OK, transport_->DeviceName(&device));
  EXPECT_EQ(fixture_.dir() + "/tty3", device);
  ASSERT_EQ(S_OK, transport_->put_Port(Variant::UI1(12)));
  ASSERT_EQ(S_OK, transport_->DeviceName(&device));
  EXPECT_EQ(fixture_.dir() + "/tty12", device);
  ASSERT_EQ(S_OK, fixture_.sim().CreateLink(fixture_.dir() + "/tty12"));
  ASSERT_EQ(S_OK, transport_->Connect());
  Bytes reply;
  EXPECT_EQ(S_OK, Probe(&reply));
}

TEST_F(SerialTransportTest, WriteFailsWhenTheControllerIsGone) {
  ASSERT_EQ(S_OK, transport_->Connect());
  fixture_.sim().Stop();  // closes the other end of the terminal
  Bytes reply;
  HRESULT hr = Probe(&reply);
  EXPECT_TRUE(Failed(hr)) << StatusHex(hr);
  EXPECT_EQ(S_OK, transport_->Disconnect());
}

// The line pulled out: the open descriptor hangs up, so a request fails without waiting out
// the read time-out, and the device is gone for a new open. Put back (a new terminal, which may
// reuse the number, behind the same link), a reconnect reaches the controller again.
TEST_F(SerialTransportTest, UnpluggedLineFailsAtOnceAndAReconnectFindsItPluggedBack) {
  ASSERT_EQ(S_OK, transport_->Connect());
  ASSERT_EQ(S_OK, fixture_.sim().UnplugSerial());
  fixture_.clock().Clear();
  Bytes reply;
  EXPECT_TRUE(Failed(Probe(&reply)));
  EXPECT_TRUE(fixture_.clock().waits().empty());  // no read time-out was waited for
  EXPECT_EQ(S_OK, transport_->Disconnect());
  EXPECT_EQ(E_COMM_PORT_NOT_FOUND, transport_->Connect());

  std::string plugged = fixture_.sim().ApplyControl(R"({"serial":"plug"})");
  EXPECT_NE(std::string::npos, plugged.find(R"("ok":true)")) << plugged;
  EXPECT_NE(std::string::npos, plugged.find(fixture_.sim().device_path())) << plugged;
  ASSERT_EQ(S_OK, transport_->Connect());
  EXPECT_EQ(S_OK, Probe(&reply));
  // Plugging a line that is in: nothing changes.
  EXPECT_EQ(S_OK, fixture_.sim().PlugSerial());
  EXPECT_EQ(S_OK, Probe(&reply));
  EXPECT_NE(std::string::npos,
            fixture_.sim().ApplyControl(R"({"serial":"out"})").find(R"("ok":false)"));
}

TEST_F(SerialTransportTest, DeviceThatIsNoTerminal) {
  // A plain file at the device path opens but cannot take line settings: the system error,
  // and nothing stays open.
  { std::ofstream(fixture_.dir() + "/tty5") << "not a tty"; }
  ASSERT_EQ(S_OK, transport_->put_Port(Variant::UI1(5)));
  HRESULT hr = transport_->Connect();
  EXPECT_EQ(0x80070000u, static_cast<uint32_t>(hr) & 0xFFFF0000u) << StatusHex(hr);
  EXPECT_FALSE(transport_->connected());
  EXPECT_EQ(hr, transport_->Connect());
}

TEST_F(SerialTransportTest, NoDevicePrefixInTheResources) {
  std::shared_ptr<const ResourceLibrary> library;
  ASSERT_EQ(S_OK, ResourceLibrary::Parse("[strings]\n131 = Serial Port\n", &library));
  InstallResources(library);
  EXPECT_EQ(E_UNEXPECTED, transport_->Connect());
}

TEST_F(SerialTransportTest, DisconnectAndSendWhenClosed) {
  EXPECT_EQ(S_FALSE, transport_->Disconnect());
  Bytes reply;
  EXPECT_EQ(E_FAIL, Probe(&reply));
  ASSERT_EQ(S_OK, transport_->Connect());
  EXPECT_EQ(S_OK, transport_->Connect());  // a second Connect keeps the open line
  EXPECT_EQ(S_OK, Probe(&reply));
  EXPECT_EQ(S_OK, transport_->Disconnect());
  EXPECT_EQ(S_FALSE, transport_->Disconnect());
  EXPECT_EQ(E_POINTER, transport_->SendRequest(kAck.data(), 5, nullptr));
}

TEST_F(SerialTransportTest, HelpersOverTheLine) {
  fixture_.sim().WithState([](sim::SimState& s) { s.scenario.probe_ack = false; });
  ASSERT_EQ(S_OK, transport_->Connect());
  ReplyBuffer reply;
  ASSERT_EQ(S_OK, SendControllerRequest(transport_.get(), true, kAckFrame.data(), 5, &reply));
  EXPECT_TRUE(IsNakFrame(reply.get()));  // log in first
  EXPECT_EQ(CO_E_NOT_SUPPORTED, SendControllerCommand(transport_.get(), 1, 2, 3));

  Bytes login = sim::MakeFrame(MSG_LOGIN, {1, 2, 3, 4});  // the scenario's access code 1234
  ASSERT_EQ(S_OK, SendControllerWrite(transport_.get(), true, login.data(), 9));
  ASSERT_EQ(S_OK, SendControllerCommand(transport_.get(), 7, 2, 0xABCD));
  EXPECT_EQ((std::vector<sim::CommandRecord>{{7, 2, 0xABCD}}), fixture_.sim().Commands());
  ASSERT_EQ(S_OK, SendControllerWrite(transport_.get(), true, kLogoutFrame.data(), 5));
  EXPECT_EQ(CO_E_NOT_SUPPORTED, SendControllerCommand(transport_.get(), 1, 2, 3));
}

TEST_F(SerialTransportTest, ConcurrentCommandsPairRequestAndReply) {
  ASSERT_EQ(S_OK, transport_->Connect());
  constexpr int kPerThread = 40;
  std::atomic<int> failures{0};
  auto worker = [&](uint8_t command) {
    for (int i = 0; i < kPerThread; ++i) {
      if (SendControllerCommand(transport_.get(), command, 0, static_cast<uint16_t>(i)) != S_OK) {
        ++failures;
      }
    }
  };
  std::thread a(worker, 1);
  std::thread b(worker, 2);
  a.join();
  b.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(2u * kPerThread, fixture_.sim().Commands().size());
}

TEST_F(SerialTransportTest, NameDescriptionAndSettingsPage) {
  BStr name;
  ASSERT_EQ(S_OK, transport_->get_Name(&name));
  EXPECT_EQ("Serial Port", name.str());
  BStr description;
  EXPECT_EQ(E_NOTIMPL, transport_->get_Description(&description));
  CLSID page;
  ASSERT_EQ(S_OK, transport_->get_SettingsUI(&page));
  EXPECT_EQ(kClsidZelCommHandlerSerialUI, page);
  EXPECT_EQ(E_POINTER, transport_->get_Name(nullptr));
  InstallResources(nullptr);
  EXPECT_EQ(E_UNEXPECTED, transport_->get_Name(&name));
}

TEST_F(SerialTransportTest, SettingsThroughDispatch) {
  Variant port;
  ASSERT_EQ(S_OK, GetProperty(transport_.get(), "Port", &port));
  EXPECT_EQ(Variant::UI1(1), port);
  ASSERT_EQ(S_OK, PutProperty(transport_.get(), "port", Variant::UI1(4)));
  ASSERT_EQ(S_OK, transport_->Invoke(0x5C3, DISPATCH_PROPERTYGET, {}, &port));
  EXPECT_EQ(Variant::UI1(4), port);
  Variant rate;
  ASSERT_EQ(S_OK, transport_->Invoke(0x5C4, DISPATCH_PROPERTYGET, {}, &rate));
  EXPECT_EQ(Variant::UI4(9600), rate);
  EXPECT_EQ(E_POINTER, transport_->get_Port(nullptr));
  EXPECT_EQ(E_POINTER, transport_->get_BaudRate(nullptr));
}

TEST_F(SerialTransportTest, SettingConversionFailuresChangeNothing) {
  ASSERT_EQ(S_OK, transport_->Connect());
  EXPECT_EQ(DISP_E_OVERFLOW, transport_->put_Port(Variant::Str("256")));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, transport_->put_BaudRate(Variant::Str("fast")));
  EXPECT_TRUE(transport_->connected());  // a refused put does not disconnect
  ASSERT_EQ(S_OK, transport_->put_Port(Variant::Str("3")));
  Variant port;
  ASSERT_EQ(S_OK, transport_->get_Port(&port));
  EXPECT_EQ(Variant::UI1(3), port);
}

class SerialSettingsStreamTest : public ::testing::Test {
 protected:
  ComPtr<CZelCommHandlerSerial> transport_ = MakeObject<CZelCommHandlerSerial>();
};

TEST_F(SerialSettingsStreamTest, SavesPortAndBaudRate) {
  ASSERT_EQ(S_OK, transport_->put_Port(Variant::UI1(4)));
  ASSERT_EQ(S_OK, transport_->put_BaudRate(Variant::UI4(19200)));
  EXPECT_EQ(S_OK, transport_->IsDirty());
  ComPtr<MemoryStream> stream = MakeObject<MemoryStream>();
  ASSERT_EQ(S_OK, transport_->Save(stream.get(), true));
  EXPECT_EQ((Bytes{0x00, 0x09, 0x00, 0x00, 0x11, 0x00, 0x04, 0x13, 0x00, 0x00, 0x4B, 0x00, 0x00}),
            stream->data());
  EXPECT_EQ(S_FALSE, transport_->IsDirty());
  uint64_t size = 0;
  ASSERT_EQ(S_OK, transport_->GetSizeMax(&size));
  EXPECT_EQ(stream->data().size(), size);
}

TEST_F(SerialSettingsStreamTest, LoadAppliesThroughThePuts) {
  ComPtr<MemoryStream> stream = MakeObject<MemoryStream>(
      Bytes{0x00, 0x09, 0x00, 0x00, 0x11, 0x00, 0x07, 0x13, 0x00, 0x00, 0xC2, 0x01, 0x00});
  ASSERT_EQ(S_OK, transport_->Load(stream.get()));
  Variant port, rate;
  ASSERT_EQ(S_OK, transport_->get_Port(&port));
  ASSERT_EQ(S_OK, transport_->get_BaudRate(&rate));
  EXPECT_EQ(Variant::UI1(7), port);
  EXPECT_EQ(Variant::UI4(115200), rate);
}

TEST_F(SerialSettingsStreamTest, LaterVersionRefused) {
  ComPtr<MemoryStream> stream = MakeObject<MemoryStream>(
      Bytes{0x00, 0x0A, 0x00, 0x00, 0x11, 0x00, 0x07, 0x13, 0x00, 0x00, 0xC2, 0x01, 0x00});
  EXPECT_EQ(E_FAIL, transport_->Load(stream.get()));
  Variant port;
  ASSERT_EQ(S_OK, transport_->get_Port(&port));
  EXPECT_EQ(Variant::UI1(1), port);
}

TEST_F(SerialSettingsStreamTest, TruncatedStreamsFail) {
  ComPtr<MemoryStream> short_version = MakeObject<MemoryStream>(Bytes{0x00, 0x09});
  EXPECT_TRUE(Failed(transport_->Load(short_version.get())));
  // The port record is read and applied; the missing rate record ends the load.
  ComPtr<MemoryStream> no_rate =
      MakeObject<MemoryStream>(Bytes{0x00, 0x09, 0x00, 0x00, 0x11, 0x00, 0x05, 0x13, 0x00});
  EXPECT_TRUE(Failed(transport_->Load(no_rate.get())));
  Variant port, rate;
  ASSERT_EQ(S_OK, transport_->get_Port(&port));
  ASSERT_EQ(S_OK, transport_->get_BaudRate(&rate));
  EXPECT_EQ(Variant::UI1(5), port);
  EXPECT_EQ(Variant::UI4(9600), rate);
  EXPECT_EQ(E_POINTER, transport_->Load(nullptr));
}

TEST_F(SerialSettingsStreamTest, ClassIdAndInitNew) {
  CLSID clsid;
  ASSERT_EQ(S_OK, transport_->GetClassID(&clsid));
  EXPECT_EQ(kClsidZelCommHandlerSerial, clsid);
  EXPECT_EQ(S_OK, transport_->InitNew());
  EXPECT_EQ(S_FALSE, transport_->IsDirty());
}

TEST(LinkClassesTest, SerialTransportIsOnePerProcess) {
  RegisterLinkClasses();
  ComPtr<IZelCommHandler> first;
  ComPtr<IZelCommHandlerSerial> second;
  ASSERT_EQ(S_OK, ClassRegistry::Instance().Create(kClsidZelCommHandlerSerial, &first));
  ASSERT_EQ(S_OK,
            ClassRegistry::Instance().CreateByProgId(
                "corvane.zelcommhandlerserial", IZelCommHandlerSerial::kIid, second.ReceiveVoid()));
  ComPtr<IUnknown> a, b;
  ASSERT_EQ(S_OK, QueryAs(first.get(), &a));
  ASSERT_EQ(S_OK, QueryAs(second.get(), &b));
  EXPECT_EQ(a.get(), b.get());
  ASSERT_EQ(S_OK, second->put_BaudRate(Variant::UI4(19200)));
  ComPtr<IZelCommHandlerSerial> again;
  ASSERT_EQ(S_OK, first.As(&again));
  Variant rate;
  ASSERT_EQ(S_OK, again->get_BaudRate(&rate));
  EXPECT_EQ(Variant::UI4(19200), rate);
  ComPtr<IPersistStreamInit> persist;
  EXPECT_EQ(S_OK, first.As(&persist));
  ClassRegistry::Instance().ReleaseSingletons();
}

}  // namespace
}  // namespace zel
