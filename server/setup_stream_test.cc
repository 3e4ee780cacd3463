#include "server/setup_stream.h"

#include <gtest/gtest.h>

#include "link/serial_transport.h"
#include "platform/class_registry.h"
#include "platform/instance_paths.h"
#include "server/server_test_fixture.h"

namespace zel {
namespace {

class SetupStreamTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    ASSERT_EQ(S_OK,
              OpenCompoundFile(dir_ + "/store.dat", StorageOpenMode::kCreate, store_.Receive()));
    server_->AttachLocalStore(store_.get());
  }
  void TearDown() override {
    server_.reset();
    store_.reset();
    ServerTest::TearDown();
  }

  std::vector<uint8_t> StreamBytes(std::string_view name) {
    ComPtr<IStream> s;
    if (Failed(store_->OpenStream(name, s.Receive()))) return {};
    uint64_t size = 0;
    EXPECT_EQ(S_OK, s->GetSize(&size));
    std::vector<uint8_t> bytes(size);
    EXPECT_EQ(S_OK, ReadExact(s.get(), bytes.data(), static_cast<uint32_t>(size)));
    return bytes;
  }
  void WriteStream(std::string_view name, const std::vector<uint8_t>& bytes) {
    ComPtr<IStream> s;
    ASSERT_EQ(S_OK, store_->CreateStream(name, s.Receive()));
    ASSERT_EQ(S_OK, WriteAll(s.get(), bytes.data(), static_cast<uint32_t>(bytes.size())));
    ASSERT_EQ(S_OK, s->Commit());
  }
  // A new server on the same store, as after a restart.
  void Restart() {
    server_ = MakeObject<CZelServer>();
    server_->AttachLocalStore(store_.get());
  }

  ComPtr<IStorage> store_;
};

std::vector<uint8_t> Utf16(const char* text) {
  std::vector<uint8_t> out;
  for (const char* p = text;; ++p) {
    out.push_back(static_cast<uint8_t>(*p));
    out.push_back(0);
    if (*p == 0) break;
  }
  return out;
}

TEST_F(SetupStreamTest, ByteLayout) {
  FakeLink* t = UseFake();
  t->set_setting(0x01020304);
  ASSERT_EQ(S_OK, server_->put_AccessCode("1234"));
  ASSERT_EQ(S_OK, server_->put_DownloadSetup(false));
  ASSERT_EQ(S_OK, server_->put_SetControllerTime(true));
  ASSERT_EQ(S_OK, server_->SaveSetup());

  std::vector<uint8_t> expected = Utf16("1234");  // access code and its terminator
  expected.insert(expected.end(), {0x00, 0x00});  // DownloadSetup false
  expected.insert(expected.end(), 16, 0x00);      // SetupLastDownload: empty variant
  expected.insert(expected.end(), {0xFF, 0xFF});  // DownloadNames true
  expected.insert(expected.end(), 16, 0x00);      // NamesLastDownload: empty variant
  expected.insert(expected.end(), {0xFF, 0xFF});  // SetControllerTime true
  auto id = GuidToBytes(kClsidFakeLink);          // the transport's class id
  expected.insert(expected.end(), id.begin(), id.end());
  expected.insert(expected.end(), {0x00, 0x09, 0x00, 0x00});  // its settings: version word
  expected.insert(expected.end(), {0x03, 0x00, 0x04, 0x03, 0x02, 0x01});  // "Setting", VT_I4
  EXPECT_EQ(expected, StreamBytes(kSetupStreamName));
}

TEST_F(SetupStreamTest, WithoutTransportTheStreamEndsAfterTheFlags) {
  ASSERT_EQ(S_OK, server_->SaveSetup());
  EXPECT_EQ(kSetupFixedSize, StreamBytes(kSetupStreamName).size());
}

TEST_F(SetupStreamTest, RoundTripRestoresConfigurationAndTransport) {
  FakeControllerConfig config;
  config.setup = {1, 2, 3};
  UseFake(config)->set_setting(42);
  ASSERT_EQ(S_OK, server_->put_AccessCode("2468"));
  ASSERT_EQ(S_OK, server_->put_DownloadNames(false));
  ASSERT_EQ(S_OK, server_->put_SetControllerTime(true));
  clock_.SetWallTime(LocalTime(2026, 7, 1, 12, 30, 0));
  // The download sets SetupLastDownload and saves the configuration itself.
  ASSERT_EQ(S_OK, server_->DownloadSetupNow(false));
  Variant last;
  ASSERT_EQ(S_OK, server_->get_SetupLastDownload(&last));
  ASSERT_EQ(VT_DATE, last.vt());

  Restart();
  ASSERT_EQ(S_OK, server_->LoadSetup());
  BStr code;
  ASSERT_EQ(S_OK, server_->get_AccessCode(&code));
  EXPECT_EQ(BStr("2468"), code);
  VariantBool flag;
  ASSERT_EQ(S_OK, server_->get_DownloadSetup(&flag));
  EXPECT_EQ(VARIANT_TRUE, flag.value);
  ASSERT_EQ(S_OK, server_->get_DownloadNames(&flag));
  EXPECT_EQ(VARIANT_FALSE, flag.value);
  ASSERT_EQ(S_OK, server_->get_SetControllerTime(&flag));
  EXPECT_EQ(VARIANT_TRUE, flag.value);
  Variant restored;
  ASSERT_EQ(S_OK, server_->get_SetupLastDownload(&restored));
  EXPECT_EQ(last, restored);  // byte for byte
  ASSERT_EQ(S_OK, server_->get_NamesLastDownload(&restored));
  EXPECT_TRUE(restored.IsEmpty());
  // A new transport of the stored class, with its stored setting, connected.
  ASSERT_NE(nullptr, fake());
  EXPECT_EQ(42, fake()->setting());
  EXPECT_TRUE(fake()->connected());
}

TEST_F(SetupStreamTest, SerialTransportRoundTrip) {
  ComPtr<IZelCommHandler> serial;
  ASSERT_EQ(S_OK,
            ClassRegistry::Instance().Create<IZelCommHandler>(kClsidZelCommHandlerSerial, &serial));
  ComPtr<IZelCommHandlerSerial> settings;
  ASSERT_EQ(S_OK, serial.As(&settings));
  ASSERT_EQ(S_OK, settings->put_Port(Variant::UI1(4)));
  ASSERT_EQ(S_OK, settings->put_BaudRate(Variant::UI4(19200)));
  // The device does not exist: the put keeps the transport and reports the connect failure.
  EXPECT_EQ(E_COMM_PORT_NOT_FOUND, server_->put_CommunicationsHandler(serial.get()));
  ASSERT_EQ(S_OK, server_->SaveSetup());
  std::vector<uint8_t> bytes = StreamBytes(kSetupStreamName);
  std::vector<uint8_t> tail = {0x00, 0x09, 0x00, 0x00, 0x11, 0x00, 0x04,
                               0x13, 0x00, 0x00, 0x4B, 0x00, 0x00};
  ASSERT_EQ(kSetupFixedSize + 16 + tail.size(), bytes.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.end() - tail.size()));

  ASSERT_EQ(S_OK, settings->put_Port(Variant::UI1(1)));
  ASSERT_EQ(S_OK, settings->put_BaudRate(Variant::UI4(9600)));
  Restart();
  EXPECT_EQ(E_COMM_PORT_NOT_FOUND, server_->LoadSetup());
  Variant port, baud;
  ASSERT_EQ(S_OK, settings->get_Port(&port));
  ASSERT_EQ(S_OK, settings->get_BaudRate(&baud));
  EXPECT_EQ(4, port.ui1());
  EXPECT_EQ(19200u, baud.ui4());
}

TEST_F(SetupStreamTest, CutShortAtEveryByteKeepsTheDefaultsOfWhatWasNotRead) {
  FakeLink* t = UseFake();
  t->set_setting(42);
  ASSERT_EQ(S_OK, server_->put_AccessCode("2468"));
  ASSERT_EQ(S_OK, server_->put_DownloadSetup(false));
  ASSERT_EQ(S_OK, server_->put_DownloadNames(false));
  ASSERT_EQ(S_OK, server_->put_SetControllerTime(true));
  ASSERT_EQ(S_OK, server_->SaveSetup());
  const std::vector<uint8_t> full = StreamBytes(kSetupStreamName);
  ASSERT_EQ(kSetupFixedSize + 16 + 10, full.size());

  for (size_t cut = 0; cut <= full.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    WriteStream(kSetupStreamName, std::vector<uint8_t>(full.begin(), full.begin() + cut));
    Restart();
    HRESULT hr = server_->LoadSetup();
    BStr code;
    VariantBool download_setup, download_names, set_time;
    ASSERT_EQ(S_OK, server_->get_AccessCode(&code));
    ASSERT_EQ(S_OK, server_->get_DownloadSetup(&download_setup));
    ASSERT_EQ(S_OK, server_->get_DownloadNames(&download_names));
    ASSERT_EQ(S_OK, server_->get_SetControllerTime(&set_time));
    EXPECT_EQ(cut >= 10 ? BStr("2468") : BStr("7395"), code);
    EXPECT_EQ(cut >= 12 ? VARIANT_FALSE : VARIANT_TRUE, download_setup.value);
    EXPECT_EQ(cut >= 30 ? VARIANT_FALSE : VARIANT_TRUE, download_names.value);
    EXPECT_EQ(cut >= 48 ? VARIANT_TRUE : VARIANT_FALSE, set_time.value);
    if (cut < 64) {
      // No whole class id: the serial transport with its defaults (its device is missing).
      EXPECT_EQ(E_COMM_PORT_NOT_FOUND, hr);
      ComPtr<IZelCommHandlerSerial> serial;
      EXPECT_EQ(S_OK, server_->transport().As(&serial));
    } else {
      // The fake transport; its setting only when the settings were read whole.
      EXPECT_EQ(S_OK, hr);
      ASSERT_NE(nullptr, fake());
      EXPECT_EQ(cut == full.size() ? 42 : 0, fake()->setting());
    }
  }
}

TEST_F(SetupStreamTest, UnknownClassIdFallsBackToSerial) {
  std::vector<uint8_t> bytes(kSetupFixedSize, 0);
  auto id = GuidToBytes(ZelClassId(kIdCoclass, 0x7777));
  bytes.insert(bytes.end(), id.begin(), id.end());
  WriteStream(kSetupStreamName, bytes);
  EXPECT_EQ(E_COMM_PORT_NOT_FOUND, server_->LoadSetup());
  ComPtr<IZelCommHandlerSerial> serial;
  EXPECT_EQ(S_OK, server_->transport().As(&serial));
  BStr code;
  ASSERT_EQ(S_OK, server_->get_AccessCode(&code));
  EXPECT_EQ(BStr(""), code);  // a zero first character stores an empty code
}

TEST_F(SetupStreamTest, NoStoreIsAFailure) {
  Restart();
  server_->AttachLocalStore(nullptr);
  EXPECT_EQ(E_FAIL, server_->SaveSetup());
  EXPECT_EQ(E_FAIL, server_->LoadSetup());
}

}  // namespace
}  // namespace zel
