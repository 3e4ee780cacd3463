// Names against the controller simulator on a pseudo-terminal, through the real serial
// transport: the frames of the names upload with one- and two-byte numbers, the five attempts
// when the controller stays silent, the name upload taken into the controller's names, and a
// whole Start of the shipped house scenario.
#include <gtest/gtest.h>

#include "link/frame.h"
#include "link/request.h"
#include "link/serial_transport.h"
#include "model/collection_interfaces.h"
#include "model/model_registration.h"
#include "model/name_upload.h"
#include "server/zel_server.h"
#include "sim/simulator.h"
#include "testing/frames.h"
#include "testing/sim_fixture.h"
#include "zel_source_dir.h"

namespace zel {
namespace {

// Production waits run 100 times faster: the 3 s read time-out takes 30 ms, a 5 s pause 50 ms.
constexpr int kClockDivisor = 100;

class NamesSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterServerClasses();
    RegisterModelClasses();
  }

  void TearDown() override {
    if (server_) server_->Stop();
    server_.reset();
  }

  void Begin(sim::Scenario scenario) {
    ASSERT_EQ(S_OK, fixture_.Start(std::move(scenario)));
    server_ = MakeObject<CZelServer>();
    ComPtr<CZelCommHandlerSerial> serial = fixture_.NewSerialLink();
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(serial.get()));
  }
  void BeginWithNames(const std::string& names_json) {
    sim::Scenario scenario;
    std::string error;
    ASSERT_EQ(S_OK, sim::ParseScenario(
                        R"({"controller": {"probe_ack": true}, "names": )" + names_json + "}",
                        &scenario, &error))
        << error;
    Begin(std::move(scenario));
    ASSERT_EQ(S_OK, server_->OpenLocalStore());
  }

  BStr NameOf(int slot, uint16_t id) {
    ComPtr<IDispatch> d;
    EXPECT_EQ(S_OK, server_->GetCollection(slot, d.Receive()));
    ComPtr<IZelCollection> c;
    QueryAs<IZelCollection>(d.get(), &c);
    Variant item;
    BStr name;
    if (c->Item(Variant::Missing(), Variant::I4(id), &item) != S_OK) return name;
    ComPtr<IZelCollectionElement> e;
    QueryAs<IZelCollectionElement>(item.dispatch(), &e);
    e->get_Name(&name);
    return name;
  }

  SimFixture fixture_{kClockDivisor};
  ComPtr<CZelServer> server_;
};

TEST_F(NamesSimTest, DownloadTakesOneAndTwoByteNumbers) {
  BeginWithNames(R"({"zones": [{"number": 1, "name": "FRONT DOOR"}],
                     "units": [{"number": 300, "name": "BARN LIGHT"}],
                     "buttons": [{"number": 2, "name": "VACATION"}]})");
  ASSERT_EQ(S_OK, server_->DownloadNamesNow(false));
  EXPECT_EQ(BStr("FRONT DOOR"), NameOf(kSlotZones, 1));    // length byte 19, one-byte number
  EXPECT_EQ(BStr("BARN LIGHT"), NameOf(kSlotUnits, 300));  // length byte 17, two-byte number
  EXPECT_EQ(BStr("VACATION"), NameOf(kSlotButtons, 2));    // length byte 16
  // The request, then one acknowledge per name and one more for the end.
  ASSERT_EQ(1u, fixture_.FramesOfType(0x0C).size());
  EXPECT_EQ((Bytes{0x5A, 0x01, 0x0C, 0x01, 0x95}), fixture_.FramesOfType(0x0C)[0]);
  EXPECT_EQ(3u, fixture_.FramesOfType(MSG_ACK).size());
  int32_t status = 0;
  server_->get_DownloadNamesStatus(&status);
  EXPECT_EQ(dsCompleted, status);
}

TEST_F(NamesSimTest, ASilentControllerIsAskedFiveTimes) {
  BeginWithNames(R"({"zones": [{"number": 1, "name": "FRONT DOOR"}]})");
  sim::Fault silent;
  silent.kind = sim::FaultKind::kNoReply;
  silent.count = -1;
  fixture_.sim().InjectFault(silent);
  EXPECT_EQ(E_COMM_TIMEOUT, server_->DownloadNamesNow(false));
  EXPECT_EQ(5u, fixture_.FramesOfType(0x0C).size());
  int32_t status = 0;
  server_->get_DownloadNamesStatus(&status);
  EXPECT_EQ(dsFailure, status);
  Variant last;
  server_->get_NamesLastDownload(&last);
  EXPECT_TRUE(last.IsEmpty());
}

TEST_F(NamesSimTest, AnUploadedNameIsTheControllersNextTime) {
  BeginWithNames(R"({"zones": [{"number": 1, "name": "FRONT DOOR"}]})");
  ComPtr<IZelCommHandler> link = server_->transport();
  ASSERT_EQ(S_OK, UploadName(link.get(), 1, 7, BStr("PATIO")));
  ASSERT_EQ(S_OK, UploadName(link.get(), 2, 300, BStr("BARN")));
  // A frame whose name field does not fit its type is refused.
  Bytes bad = SealFrame(0x0B, {0x01, 0x07, 'A'});
  EXPECT_EQ(CO_E_NOT_SUPPORTED, SendControllerWrite(link.get(), true, bad.data(), bad.size()));
  std::vector<sim::NameUploadRecord> uploads;
  fixture_.sim().WithState([&](sim::SimState& s) { uploads = s.name_uploads; });
  ASSERT_EQ(2u, uploads.size());
  EXPECT_EQ((sim::NameUploadRecord{2, 300, "BARN"}), uploads[1]);

  ASSERT_EQ(S_OK, server_->DownloadNamesNow(false));
  EXPECT_EQ(BStr("PATIO"), NameOf(kSlotZones, 7));
  EXPECT_EQ(BStr("BARN"), NameOf(kSlotUnits, 300));
}

TEST_F(NamesSimTest, TheHouseStartsToInteractive) {
  sim::Scenario scenario;
  std::string error;
  ASSERT_EQ(S_OK, sim::LoadScenarioFile(std::string(ZEL_SOURCE_DIR) + "/sim/scenarios/house.json",
                                        &scenario, &error))
      << error;
  Begin(std::move(scenario));
  server_->put_AccessCode(BStr("1234"));
  ASSERT_EQ(S_OK, server_->Start());
  int32_t status = 0;
  server_->get_Status(&status);
  EXPECT_EQ(ssInteractive, status);
  EXPECT_EQ(BStr("FRONT DOOR"), NameOf(kSlotZones, 1));
  EXPECT_EQ(BStr("OWNER"), NameOf(kSlotCodes, 1));
  EXPECT_EQ(BStr("Installer"), NameOf(kSlotCodes, 250));
  EXPECT_EQ(BStr("DOWNSTAIRS"), NameOf(kSlotThermostats, 1));
  EXPECT_EQ(BStr("CALL HOME"), NameOf(kSlotMessages, 2));
  EXPECT_EQ(BStr("Enclosure Tamper"), NameOf(kSlotZones, 49));
  EXPECT_EQ(S_OK, server_->Stop());
}

}  // namespace
}  // namespace zel
