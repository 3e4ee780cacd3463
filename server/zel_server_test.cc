#include "server/zel_server.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "link/frame.h"
#include "link/serial_transport.h"
#include "platform/class_registry.h"
#include "platform/error_info.h"
#include "platform/instance_paths.h"
#include "platform/system_log.h"
#include "server/recording_sink.h"
#include "server/server_log_hook.h"
#include "server/server_test_fixture.h"

namespace zel {
namespace {

class LifecycleTest : public ServerTest {
 protected:
  // Connects a sink to the server's connection point and a handler to OnServerStatusChange,
  // both writing to log_.
  void Watch() {
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, server_->FindConnectionPoint(kIidDZelServerEvents, point.Receive()));
    uint32_t cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(MakeObject<RecordingSink>("sink", &log_).get(), &cookie));
    Variant handler = Variant::Dispatch(MakeObject<RecordingSink>("handler", &log_).get());
    ASSERT_EQ(S_OK, server_->Invoke(0x626, DISPATCH_PROPERTYPUT, {&handler, 1}, nullptr));
  }

  CallLog log_;
};

const std::vector<int32_t> kToNames = {ssStarting, ssLoadingExtensions, ssLoadingSetup,
                                       ssLoadingNames};

TEST_F(LifecycleTest, StartRunsEveryStepInOrderUntilTheNamesStep) {
  FakeControllerConfig config;
  config.setup = std::vector<uint8_t>(20, 0xAB);
  config.block_size = 16;
  FakeLink* t = UseFake(config);
  Watch();
  // The names step has not been built: Start stops there with E_NOTIMPL.
  EXPECT_EQ(E_NOTIMPL, server_->Start());
  std::vector<int32_t> expected = kToNames;
  expected.push_back(ssFailure);
  EXPECT_EQ(expected, log_.Statuses("sink"));
  EXPECT_EQ(expected, log_.Statuses("handler"));
  // The handler is called before the sinks, at dispid 0; the sinks at their member's dispid.
  auto calls = log_.Snapshot();
  ASSERT_EQ(10u, calls.size());
  EXPECT_EQ("handler", calls[0].who);
  EXPECT_EQ(DISPID_VALUE, calls[0].dispid);
  EXPECT_EQ("sink", calls[1].who);
  EXPECT_EQ(kDispidSinkOnServerStatusChange, calls[1].dispid);
  // Frames: reconnect, probe (refused), login, system information, setup upload and one
  // acknowledge per block, the last answered with the end of data.
  EXPECT_EQ((std::vector<uint8_t>{0x05, 0x20, 0x11, 0x04, 0x05, 0x05}), t->types());
  EXPECT_EQ(2, t->connects());  // once when set, once by the start
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/ZELINFO.DAT"));
  EXPECT_EQ(E_NOTIMPL, server_->last_failure());
  Variant count;
  ASSERT_EQ(S_OK, server_->get_EventConnections(&count));
  EXPECT_EQ(Variant::I4(1), count);
}

TEST_F(LifecycleTest, StartWhileInteractiveSendsNothing) {
  FakeLink* t = UseFake();
  server_->ChangeStatus(ssInteractive, S_OK);
  Watch();
  EXPECT_EQ(S_OK, server_->Start());
  EXPECT_TRUE(t->frames().empty());
  EXPECT_TRUE(log_.Snapshot().empty());
  EXPECT_EQ(ssInteractive, server_->status());
}

TEST_F(LifecycleTest, AccessCodeOfWrongLengthFailsBeforeAnyConnection) {
  for (const char* code : {"739", "73955", ""}) {
    FakeLink* t = UseFake();
    ASSERT_EQ(S_OK, server_->put_AccessCode(code));
    int connects = t->connects();
    ClearErrorInfo();
    EXPECT_EQ(E_SRV_LOGIN_FAILED, server_->Start()) << code;
    EXPECT_EQ(ssFailure, server_->status());
    EXPECT_TRUE(t->frames().empty()) << code;
    EXPECT_EQ(connects, t->connects());
    EXPECT_EQ(0, t->disconnects());
    server_ = MakeObject<CZelServer>();
  }
}

TEST_F(LifecycleTest, ProbeAcknowledgedSendsNoLogin) {
  FakeControllerConfig config;
  config.probe_ack = true;
  FakeLink* t = UseFake(config);
  (void)server_->Start();
  std::vector<uint8_t> types = t->types();
  ASSERT_GE(types.size(), 2u);
  EXPECT_EQ(0x05, types[0]);
  EXPECT_EQ(0x11, types[1]);
  for (uint8_t type : types) EXPECT_NE(0x20, type);
}

TEST_F(LifecycleTest, LoginFrameCarriesTheCodesDigits) {
  FakeControllerConfig config;
  config.login_code = {1, 2, 3, 4};
  FakeLink* t = UseFake(config);
  ASSERT_EQ(S_OK, server_->put_AccessCode("1234"));
  (void)server_->Start();
  std::vector<Bytes> frames = t->frames();
  ASSERT_GE(frames.size(), 2u);
  Bytes login = SealFrame(0x20, {1, 2, 3, 4});
  EXPECT_EQ(login, frames[1]);
  for (const auto& s : t->sent()) EXPECT_TRUE(s.depth > 0);  // every exchange is atomic
}

TEST_F(LifecycleTest, LoginAnsweredWithNakIsLoginFailed) {
  FakeControllerConfig config;
  config.login_code = {1, 2, 3, 4};  // the server's default code is 7395
  FakeLink* t = UseFake(config);
  Watch();
  ClearErrorInfo();
  std::vector<std::string> entries;
  SetServerLogWriter([&](std::string_view component, std::string_view feature,
                         std::string_view description, HRESULT code) {
    entries.push_back(std::string(component) + "/" + std::string(feature) + "/" +
                      std::string(description) + "/" + StatusName(code));
  });
  EXPECT_EQ(E_SRV_LOGIN_FAILED, server_->Start());
  SetServerLogWriter(nullptr);
  // The failure is written to the server log once.
  EXPECT_EQ((std::vector<std::string>{"ZelCommSrv/Server/The server failed/E_SRV_LOGIN_FAILED"}),
            entries);
  EXPECT_EQ((std::vector<uint8_t>{0x05, 0x20}), t->types());
  EXPECT_EQ(ssFailure, server_->status());
  EXPECT_EQ(E_SRV_LOGIN_FAILED, server_->last_failure());
  std::optional<ErrorInfo> info = TakeErrorInfo();
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ("Corvane.ZelServer", info->source);
  EXPECT_EQ(IZelServer::kIid, info->iid);
  EXPECT_EQ("The controller refused the login.", info->description);
  EXPECT_EQ(E_SRV_LOGIN_FAILED, info->code);
  EXPECT_EQ(ssFailure, log_.Statuses("sink").back());
}

TEST_F(LifecycleTest, WrongFrameToTheLoginIsLoginFailed) {
  FakeLink* t = UseFake();
  t->QueueReply(SealFrame(0x06, {}));      // the probe: refused
  t->QueueReply(SealFrame(0x12, {1, 2}));  // the login: some other frame
  EXPECT_EQ(E_SRV_LOGIN_FAILED, server_->Start());
}

TEST_F(LifecycleTest, ProbeFailureIsReturned) {
  FakeLink* t = UseFake();
  t->QueueFailure(E_COMM_TIMEOUT);
  EXPECT_EQ(E_COMM_TIMEOUT, server_->Start());
  EXPECT_EQ(ssFailure, server_->status());
  EXPECT_EQ((std::vector<uint8_t>{0x05}), t->types());
}

TEST_F(LifecycleTest, UnknownModelFailsTheStart) {
  FakeControllerConfig config;
  config.model_code = 38;
  FakeLink* t = UseFake(config);
  EXPECT_EQ(E_SRV_UNKNOWN_MODEL, server_->Start());
  EXPECT_EQ(ssFailure, server_->status());
  EXPECT_EQ(kUnknownModelIndex, server_->model_index());
  EXPECT_EQ(nullptr, server_->capabilities());
  BStr model;
  ASSERT_EQ(S_OK, server_->get_Model(&model));
  EXPECT_EQ(BStr("Unknown"), model);
  // A second start does not ask again: the texts are known, the model still unknown. (The
  // session is still open, so the probe is acknowledged.)
  t->ClearSent();
  EXPECT_EQ(E_SRV_UNKNOWN_MODEL, server_->Start());
  EXPECT_EQ((std::vector<uint8_t>{0x05}), t->types());
}

TEST_F(LifecycleTest, NoStoreNoTransportFallsBackToTheSerialLine) {
  // No ZELINFO.DAT and no transport: the store is created and the serial transport with its
  // default settings is tried; the test catalogue points it at a device that does not exist.
  EXPECT_EQ(E_COMM_PORT_NOT_FOUND, server_->Start());
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/ZELINFO.DAT"));
  ComPtr<IZelCommHandler> t = server_->transport();
  ASSERT_TRUE(t);
  ComPtr<IZelCommHandlerSerial> serial;
  EXPECT_EQ(S_OK, t.As(&serial));
  EXPECT_EQ(ssFailure, server_->status());
}

TEST_F(LifecycleTest, UnreadableStoreIsSetAsideAndReplaced) {
  std::string garbage(1500, '\x5A');
  {
    std::FILE* f = std::fopen((dir_ + "/ZELINFO.DAT").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fwrite(garbage.data(), 1, garbage.size(), f);
    std::fclose(f);
  }
  ScopedSystemLogCapture capture;
  // The fallback transport finds no device, but the store step must have passed.
  EXPECT_EQ(E_COMM_PORT_NOT_FOUND, server_->Start());
  ASSERT_TRUE(server_->local_store());
  int aside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("ZELINFO.DAT.corrupt-", 0) != 0) continue;
    ++aside;
    EXPECT_EQ(garbage.size(), std::filesystem::file_size(entry.path()));
  }
  EXPECT_EQ(1, aside);
  ASSERT_FALSE(capture.reports().empty());
  EXPECT_EQ(MSG_STORE_SET_ASIDE, capture.reports().front().message_id);
}

TEST_F(LifecycleTest, StoreOnATooLongPathFailsTheStart) {
  std::string deep = dir_ + "/" + std::string(250, 'd');
  SetInstanceDir(deep);
  UseFake();
  EXPECT_EQ(E_FAIL, server_->Start());
  EXPECT_EQ(ssFailure, server_->status());
  SetInstanceDir(dir_);
}

TEST_F(LifecycleTest, StopLogsOutDisconnectsAndReleasesTheTransport) {
  FakeLink* t = UseFake();
  ComPtr<FakeLink> keep(t);
  Watch();
  EXPECT_EQ(S_OK, server_->Stop());
  EXPECT_EQ((std::vector<int32_t>{ssStopping, ssStopped}), log_.Statuses("sink"));
  ASSERT_EQ(1u, keep->frames().size());
  EXPECT_EQ(Bytes(kLogoutFrame.begin(), kLogoutFrame.end()), keep->frames()[0]);
  EXPECT_FALSE(keep->connected());
  IDispatch* none = reinterpret_cast<IDispatch*>(1);
  EXPECT_EQ(E_UNEXPECTED, server_->get_CommunicationsHandler(&none));
  EXPECT_EQ(nullptr, none);
}

TEST_F(LifecycleTest, StopWithoutTransportStillStops) {
  Watch();
  EXPECT_EQ(S_OK, server_->Stop());
  EXPECT_EQ((std::vector<int32_t>{ssStopping, ssStopped}), log_.Statuses("sink"));
}

TEST_F(LifecycleTest, FailedLogoutEndsInFailure) {
  FakeLink* t = UseFake();
  ComPtr<FakeLink> keep(t);
  t->QueueFailure(E_COMM_TIMEOUT);
  Watch();
  EXPECT_EQ(E_COMM_TIMEOUT, server_->Stop());
  EXPECT_EQ((std::vector<int32_t>{ssStopping, ssFailure}), log_.Statuses("sink"));
  EXPECT_FALSE(server_->transport());  // released all the same
  EXPECT_FALSE(keep->connected());
}

TEST_F(LifecycleTest, CommunicationsHandlerPutAndGet) {
  EXPECT_EQ(E_INVALIDARG, server_->put_CommunicationsHandler(nullptr));
  EXPECT_EQ(E_INVALIDARG, server_->get_CommunicationsHandler(nullptr));
  CallLog unused;
  EXPECT_EQ(E_NOINTERFACE,
            server_->put_CommunicationsHandler(MakeObject<RecordingSink>("x", &unused).get()));

  ComPtr<FakeLink> first = MakeObject<FakeLink>();
  ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(first.get()));
  EXPECT_TRUE(first->connected());
  ComPtr<FakeLink> second = MakeObject<FakeLink>();
  ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(second.get()));
  EXPECT_FALSE(first->connected());  // the old one was disconnected
  IDispatch* got = nullptr;
  ASSERT_EQ(S_OK, server_->get_CommunicationsHandler(&got));
  EXPECT_EQ(static_cast<IDispatch*>(second.get()), got);
  got->Release();

  // A transport that cannot connect stays set and fails the status.
  ComPtr<FakeLink> broken = MakeObject<FakeLink>();
  broken->SetConnectResult(E_COMM_PORT_ACCESS_DENIED);
  EXPECT_EQ(E_COMM_PORT_ACCESS_DENIED, server_->put_CommunicationsHandler(broken.get()));
  EXPECT_EQ(ssFailure, server_->status());
  EXPECT_EQ(E_COMM_PORT_ACCESS_DENIED, server_->last_failure());
  EXPECT_EQ(static_cast<IZelCommHandler*>(broken.get()), server_->transport().get());
}

TEST_F(LifecycleTest, HandlerPropertiesTakeDispatchOrNull) {
  CallLog first_log, second_log;
  ComPtr<RecordingSink> first = MakeObject<RecordingSink>("first", &first_log);
  ASSERT_EQ(S_OK,
            server_->PutHandler(kHandlerSlotServerStatusChange, Variant::Dispatch(first.get())));
  EXPECT_EQ(2u, first->RefCountForTesting());
  // A number is refused and leaves the handler in place.
  EXPECT_EQ(E_UNEXPECTED, server_->PutHandler(kHandlerSlotServerStatusChange, Variant::I4(5)));
  EXPECT_EQ(E_UNEXPECTED,
            server_->PutHandler(kHandlerSlotServerStatusChange, Variant::Str("handler")));
  EXPECT_EQ(2u, first->RefCountForTesting());
  // A second handler releases the first.
  ComPtr<RecordingSink> second = MakeObject<RecordingSink>("second", &second_log);
  ASSERT_EQ(S_OK,
            server_->PutHandler(kHandlerSlotServerStatusChange, Variant::Dispatch(second.get())));
  EXPECT_EQ(1u, first->RefCountForTesting());
  server_->ChangeStatus(ssStopped, S_OK);
  EXPECT_TRUE(first_log.Snapshot().empty());
  EXPECT_EQ((std::vector<int32_t>{ssStopped}), second_log.Statuses("second"));
  // Null empties the slot.
  ASSERT_EQ(S_OK, server_->PutHandler(kHandlerSlotServerStatusChange, Variant::Null()));
  EXPECT_EQ(1u, second->RefCountForTesting());
  // Every handler property is reachable by its dispid.
  for (DISPID id = 0x60E; id <= 0x626; ++id) {
    Variant null = Variant::Null();
    EXPECT_EQ(S_OK, server_->Invoke(id, DISPATCH_PROPERTYPUT, {&null, 1}, nullptr)) << id;
  }
}

TEST_F(LifecycleTest, MembersNotBuiltYetSayNotImplemented) {
  EXPECT_EQ(E_NOTIMPL, server_->DownloadNamesNow(false));
  EXPECT_EQ(E_NOTIMPL, server_->SaveFriendlyNames());
  EXPECT_EQ(E_NOTIMPL, server_->SaveStatusXML(Variant()));
  IDispatch* utils = nullptr;
  EXPECT_EQ(E_NOTIMPL, server_->get_Utils(&utils));
}

TEST_F(LifecycleTest, ConfigurationDefaultsAndDispatch) {
  Variant v;
  ASSERT_EQ(S_OK, server_->Invoke(kDispidAccessCode, DISPATCH_PROPERTYGET, {}, &v));
  EXPECT_EQ(Variant::Str("7395"), v);
  ASSERT_EQ(S_OK, server_->Invoke(kDispidDownloadSetup, DISPATCH_PROPERTYGET, {}, &v));
  EXPECT_EQ(Variant::BoolRaw(VARIANT_TRUE), v);
  ASSERT_EQ(S_OK, server_->Invoke(kDispidSetControllerTime, DISPATCH_PROPERTYGET, {}, &v));
  EXPECT_EQ(Variant::BoolRaw(VARIANT_FALSE), v);
  ASSERT_EQ(S_OK, server_->Invoke(kDispidStatus, DISPATCH_PROPERTYGET, {}, &v));
  EXPECT_EQ(Variant::I4(ssStarting), v);
  ASSERT_EQ(S_OK, server_->Invoke(kDispidSetupLastDownload, DISPATCH_PROPERTYGET, {}, &v));
  EXPECT_TRUE(v.IsEmpty());
  ASSERT_EQ(S_OK, server_->Invoke(kDispidProductVersion, DISPATCH_PROPERTYGET, {}, &v));
  EXPECT_EQ(Variant::Str(ZEL_PRODUCT_VERSION), v);
  EXPECT_EQ(E_POINTER, server_->get_AccessCode(nullptr));
  EXPECT_EQ(E_POINTER, server_->get_Status(nullptr));
  EXPECT_EQ(server_.get(), ServerInstance().get());
}

TEST(ServerClassTest, SingletonByProgId) {
  RegisterServerClasses();
  ComPtr<IZelServer> a, b;
  ASSERT_EQ(S_OK, ClassRegistry::Instance().CreateByProgId("Corvane.ZelServer", IZelServer::kIid,
                                                           a.ReceiveVoid()));
  ASSERT_EQ(S_OK, ClassRegistry::Instance().Create<IZelServer>(kClsidZelServer, &b));
  EXPECT_EQ(a.get(), b.get());
  ComPtr<IZelServerConfig> config;
  EXPECT_EQ(S_OK, a.As(&config));
  ComPtr<IConnectionPointContainer> container;
  EXPECT_EQ(S_OK, a.As(&container));
  a.reset();
  b.reset();
  config.reset();
  container.reset();
  ClassRegistry::Instance().ReleaseSingletons();
}

}  // namespace
}  // namespace zel

namespace zel {
namespace {

// Clients of the bridge learn the sinks' member names from the server itself.
TEST_F(ServerTest, NamesItsOutgoingInterfaceForClients) {
  ComPtr<IProvideOutgoingInterface> provider;
  ASSERT_EQ(S_OK, QueryAs<IProvideOutgoingInterface>(server_.get(), &provider));
  IID iid = GUID_NULL;
  const MemberTable* members = nullptr;
  ASSERT_EQ(S_OK, provider->GetOutgoingInterface(&iid, &members));
  EXPECT_EQ(kIidDZelServerEvents, iid);
  ASSERT_NE(nullptr, members);
  ASSERT_NE(nullptr, members->FindById(kDispidSinkOnServerStatusChange));
  EXPECT_EQ("OnServerStatusChange", members->FindById(kDispidSinkOnServerStatusChange)->name);
  EXPECT_EQ(1, members->FindById(1)->accessors.size() == 1 ? 1 : 0);
  EXPECT_EQ("OnEvent", members->FindById(1)->name);
  EXPECT_EQ(E_POINTER, provider->GetOutgoingInterface(nullptr, &members));
}

}  // namespace
}  // namespace zel
