// Names through the whole server: Start with a names download, stored names and friendly names
// in ZELINFO.DAT (exact bytes, streams cut at every byte, restarts), the built-in objects, and
// the asynchronous download. The controller is the server tests' fake controller, taught the
// names upload here.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "link/frame.h"
#include "model/collection_element.h"
#include "model/model_registration.h"
#include "model/name_records.h"
#include "model/plain_element.h"
#include "platform/class_registry.h"
#include "platform/instance_paths.h"
#include "platform/property_bag.h"
#include "platform/resource_library.h"
#include "platform/storage.h"
#include "server/server_test_fixture.h"
#include "testing/fake_link.h"

namespace zel {
namespace {

// A name frame as the controller sends it (one-byte numbers below 256).
Bytes NameFrameOf(uint8_t type, uint16_t number, std::string_view text) {
  Bytes data = {type};
  if (number >= 256) data.push_back(static_cast<uint8_t>(number >> 8));
  data.push_back(static_cast<uint8_t>(number));
  size_t field = type == 1 || type == 7 ? 16 : 13;
  for (size_t i = 0; i < field; ++i) data.push_back(i < text.size() ? text[i] : 0);
  return SealFrame(0x0B, data);
}

// A stored name record, written byte by byte as the format says.
Bytes NameRecordBytes(uint32_t type, uint16_t number, std::string_view text) {
  Bytes b = {static_cast<uint8_t>(type),
             static_cast<uint8_t>(type >> 8),
             static_cast<uint8_t>(type >> 16),
             static_cast<uint8_t>(type >> 24),
             static_cast<uint8_t>(number),
             static_cast<uint8_t>(number >> 8),
             static_cast<uint8_t>(text.size()),
             0,
             0,
             0};
  b.insert(b.end(), text.begin(), text.end());
  return b;
}

Bytes FriendlyRecordBytes(uint32_t type, uint16_t number, uint32_t display, std::string_view text) {
  Bytes b = {static_cast<uint8_t>(type),
             0,
             0,
             0,
             static_cast<uint8_t>(number),
             static_cast<uint8_t>(number >> 8),
             static_cast<uint8_t>(display),
             0,
             0,
             0,
             static_cast<uint8_t>(text.size()),
             0,
             0,
             0};
  b.insert(b.end(), text.begin(), text.end());
  return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// The fake controller of the server tests plus the names upload: each acknowledge during the
// upload asks for the next name frame, then the end-of-data frame.
class NamesController {
 public:
  explicit NamesController(FakeControllerConfig config) : controller_(std::move(config)) {}
  void SetNames(std::vector<Bytes> frames) {
    std::lock_guard<std::mutex> g(mu_);
    names_ = std::move(frames);
  }
  int names_requests() {
    std::lock_guard<std::mutex> g(mu_);
    return names_requests_;
  }
  Bytes Answer(const Bytes& request) {
    std::lock_guard<std::mutex> g(mu_);
    if (upload_ && request[2] == MSG_ACK) {
      if (next_ < names_.size()) return names_[next_++];
      upload_ = false;
      return EndOfDataBytes();
    }
    upload_ = false;
    if (request[2] == 0x0C) {
      ++names_requests_;
      if (names_.empty()) return EndOfDataBytes();
      upload_ = true;
      next_ = 1;
      return names_[0];
    }
    if (request[2] == 0x0B) return AckBytes();
    return controller_.Answer(request);
  }

 private:
  std::mutex mu_;
  FakeController controller_;
  std::vector<Bytes> names_;
  bool upload_ = false;
  size_t next_ = 0;
  int names_requests_ = 0;
};

// Model code 30 is model index 7 (capability record 8 from firmware 2.16 on): units 1-64 X10,
// 113-118 audio sources and 121-128 audio zones when the setup names an audio system, system
// zones 49-63 (table D).
FakeControllerConfig Model7Config() {
  FakeControllerConfig config;
  config.login_code = {7, 3, 9, 5};
  config.setup.assign(1300, 0);
  config.setup[1134] = 7;  // expansion type 7: an audio system
  config.setup[986] = 2;   // areas in use
  config.block_size = 200;
  return config;
}

class NamesTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    std::shared_ptr<const ResourceLibrary> lib;
    ASSERT_EQ(S_OK, ResourceLibrary::LoadFile(SourceTreeCatalogPath(), &lib));
    InstallResources(lib);
    RegisterModelClasses();
    Clock::SetForTesting(&fast_);
    Connect();
  }
  void TearDown() override {
    if (server_) server_->Stop();
    ServerTest::TearDown();
  }

  // A new controller and link for the current server.
  void Connect(FakeControllerConfig config = Model7Config()) {
    controller_ = std::make_shared<NamesController>(std::move(config));
    link_ = MakeObject<FakeLink>();
    std::shared_ptr<NamesController> c = controller_;
    link_->SetAnswer([c](const Bytes& r) { return c->Answer(r); });
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(link_.get()));
  }
  // Releases the server (closing ZELINFO.DAT) and makes a new one on the same directory.
  void Restart() {
    server_->Stop();
    server_.reset();
    server_ = MakeObject<CZelServer>();
    Connect();
  }
  // Writes streams into a fresh ZELINFO.DAT while no server has it open.
  void WriteStore(const std::vector<std::pair<std::string, Bytes>>& streams) {
    ComPtr<IStorage> store;
    ASSERT_EQ(S_OK, OpenCompoundFile(InstancePath("ZELINFO.DAT"), StorageOpenMode::kCreate,
                                     store.Receive()));
    for (const auto& [name, bytes] : streams) {
      ComPtr<IStream> s;
      ASSERT_EQ(S_OK, store->CreateStream(name, s.Receive()));
      if (!bytes.empty()) {
        ASSERT_EQ(S_OK, WriteAll(s.get(), bytes.data(), static_cast<uint32_t>(bytes.size())));
      }
      ASSERT_EQ(S_OK, s->Commit());
    }
  }
  Bytes ReadStream(std::string_view name) {
    ComPtr<IStorage> store = server_->local_store();
    ComPtr<IStream> s;
    if (!store || Failed(store->OpenStream(name, s.Receive()))) return {};
    uint64_t size = 0;
    s->GetSize(&size);
    Bytes bytes(size);
    EXPECT_EQ(S_OK, ReadExact(s.get(), bytes.data(), static_cast<uint32_t>(size)));
    return bytes;
  }
  ComPtr<IZelCollection> Collection(int slot) {
    ComPtr<IDispatch> d;
    EXPECT_EQ(S_OK, server_->GetCollection(slot, d.Receive()));
    ComPtr<IZelCollection> c;
    QueryAs<IZelCollection>(d.get(), &c);
    return c;
  }
  int32_t CountOf(int slot) {
    int32_t count = -1;
    Collection(slot)->get_Count(&count);
    return count;
  }
  // The element with an ID, or null.
  ComPtr<IZelCollectionElement> ById(int slot, uint16_t id) {
    Variant item;
    if (Collection(slot)->Item(Variant::Missing(), Variant::I4(id), &item) != S_OK) return nullptr;
    ComPtr<IZelCollectionElement> e;
    QueryAs<IZelCollectionElement>(item.dispatch(), &e);
    return e;
  }
  BStr NameOf(int slot, uint16_t id) {
    BStr name;
    if (auto e = ById(slot, id)) e->get_Name(&name);
    return name;
  }
  BStr FriendlyNameOf(int slot, uint16_t id) {
    BStr name;
    if (auto e = ById(slot, id)) e->get_FriendlyName(&name);
    return name;
  }
  bool Polling(int slot) {
    Variant handle;
    Collection(slot)->get_ThreadTermEvent(&handle);
    return handle.ui8() != 0;
  }

  RecordingClock fast_{1000};
  std::shared_ptr<NamesController> controller_;
  ComPtr<FakeLink> link_;
};

TEST_F(NamesTest, StartDownloadsAppliesAndStoresTheNames) {
  controller_->SetNames({
      NameFrameOf(1, 1, "FRONT DOOR"), NameFrameOf(2, 5, "PORCH"),
      NameFrameOf(2, 113, "TUNER"),             // an audio source: source 1
      NameFrameOf(2, 122, "KITCHEN SPEAKERS"),  // an audio zone: zone 2, name cut to 13
      NameFrameOf(4, 1, "OWNER"), NameFrameOf(5, 1, "HOUSE"),
      NameFrameOf(5, 9, "SHED"),         // beyond the 2 areas in use: skipped
      NameFrameOf(7, 300, "CALL HOME"),  // two-byte number
      NameFrameOf(42, 1, "NOBODY"),      // unknown type: not applied, not stored
  });
  ASSERT_EQ(S_OK, server_->Start());
  int32_t status = 0;
  server_->get_Status(&status);
  EXPECT_EQ(ssInteractive, status);
  int32_t names_status = 0;
  server_->get_DownloadNamesStatus(&names_status);
  EXPECT_EQ(dsCompleted, names_status);
  Variant last;
  server_->get_NamesLastDownload(&last);
  EXPECT_EQ(VT_DATE, last.vt());

  EXPECT_EQ(BStr("FRONT DOOR"), NameOf(kSlotZones, 1));
  EXPECT_EQ(BStr("PORCH"), NameOf(kSlotUnits, 5));
  EXPECT_EQ(1, CountOf(kSlotUnits));
  EXPECT_EQ(BStr("TUNER"), NameOf(kSlotAudioSources, 1));
  EXPECT_EQ(BStr("KITCHEN SPEAK"), NameOf(kSlotAudioZones, 2));
  EXPECT_EQ(1, CountOf(kSlotAreas));
  EXPECT_EQ(BStr("CALL HOME"), NameOf(kSlotMessages, 300));
  // Built-in objects after the records: six codes, the model's 15 system zones.
  EXPECT_EQ(7, CountOf(kSlotCodes));
  EXPECT_EQ(BStr("Installer"), NameOf(kSlotCodes, 250));
  EXPECT_EQ(BStr("Key Switch"), NameOf(kSlotCodes, 255));
  EXPECT_EQ(16, CountOf(kSlotZones));
  EXPECT_EQ(BStr("Enclosure Tamper"), NameOf(kSlotZones, 49));
  EXPECT_EQ(BStr("Lighting Network"), NameOf(kSlotZones, 63));

  // The stored records carry the audio units as types 254 and 255.
  EXPECT_EQ(Concat({NameRecordBytes(1, 1, "FRONT DOOR"), NameRecordBytes(2, 5, "PORCH"),
                    NameRecordBytes(254, 1, "TUNER"), NameRecordBytes(255, 2, "KITCHEN SPEAK"),
                    NameRecordBytes(4, 1, "OWNER"), NameRecordBytes(5, 1, "HOUSE"),
                    NameRecordBytes(5, 9, "SHED"), NameRecordBytes(7, 300, "CALL HOME")}),
            ReadStream("Names.2"));

  // InitCollections started the polled collections only.
  EXPECT_TRUE(Polling(kSlotUnits));
  EXPECT_TRUE(Polling(kSlotMessages));
  EXPECT_TRUE(Polling(kSlotAudioZones));
  EXPECT_FALSE(Polling(kSlotZones));
  EXPECT_FALSE(Polling(kSlotCodes));
  EXPECT_EQ(S_OK, server_->Stop());
}

TEST_F(NamesTest, StartLoadsStoredNamesWithoutAskingTheController) {
  WriteStore({{"Names.2", Concat({NameRecordBytes(1, 2, "HALL"), NameRecordBytes(3, 1, "NIGHT")})},
              {"Names", NameRecordBytes(1, 2, "OLD HALL")}});
  server_->put_DownloadNames(false);
  ASSERT_EQ(S_OK, server_->Start());
  EXPECT_EQ(0, controller_->names_requests());
  // Only "Names.2" is read when both exist.
  EXPECT_EQ(BStr("HALL"), NameOf(kSlotZones, 2));
  EXPECT_EQ(BStr("NIGHT"), NameOf(kSlotButtons, 1));
  EXPECT_EQ(6, CountOf(kSlotCodes)) << "the built-in codes follow the stored names too";
  EXPECT_TRUE(Polling(kSlotUnits));
}

TEST_F(NamesTest, VersionOneStreamsNameAudioWithTypesEightAndNine) {
  WriteStore({{"Names", Concat({NameRecordBytes(8, 2, "RADIO"), NameRecordBytes(9, 1, "DECK"),
                                NameRecordBytes(2, 113, "LAMP")})}});
  server_->put_DownloadNames(false);
  ASSERT_EQ(S_OK, server_->Start());
  EXPECT_EQ(BStr("RADIO"), NameOf(kSlotAudioSources, 2));
  EXPECT_EQ(BStr("DECK"), NameOf(kSlotAudioZones, 1));
  // Version 1 stores unit numbers as they are.
  EXPECT_EQ(BStr("LAMP"), NameOf(kSlotUnits, 113));

  // In version 2, types 8 and 9 are records without effect.
  NameRecord record{8, 3, "IGNORED"};
  EXPECT_EQ(S_OK, ApplyNameRecord(&record, kNamesVersion2));
  EXPECT_EQ(1, CountOf(kSlotAudioSources));
  record = NameRecord{42, 1, "X"};
  EXPECT_EQ(E_FAIL, ApplyNameRecord(&record, kNamesVersion2));
}

TEST_F(NamesTest, AStoredRecordOfUnknownTypeFailsTheLoadAndTheNamesAreFetched) {
  WriteStore({{"Names.2", Concat({NameRecordBytes(1, 2, "HALL"), NameRecordBytes(42, 1, "?")})}});
  controller_->SetNames({NameFrameOf(1, 4, "STAIRS")});
  server_->put_DownloadNames(false);
  ASSERT_EQ(S_OK, server_->Start());
  EXPECT_EQ(1, controller_->names_requests());
  EXPECT_EQ(nullptr, ById(kSlotZones, 2)) << "the fetched names replace the partial load";
  EXPECT_EQ(BStr("STAIRS"), NameOf(kSlotZones, 4));
  EXPECT_EQ(NameRecordBytes(1, 4, "STAIRS"), ReadStream("Names.2"));
  // Start's fallback leaves the download's own status alone.
  int32_t names_status = -1;
  server_->get_DownloadNamesStatus(&names_status);
  EXPECT_EQ(dsUnknown, names_status);
}

TEST_F(NamesTest, NamesStreamCutAtEveryByte) {
  const Bytes full = Concat(
      {NameRecordBytes(1, 1, "A"), NameRecordBytes(1, 2, "BB"), NameRecordBytes(1, 3, "CCC")});
  const size_t ends[] = {11, 23, 36};
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    SCOPED_TRACE(cut);
    server_.reset();
    WriteStore({{"Names.2", Bytes(full.begin(), full.begin() + cut)}});
    server_ = MakeObject<CZelServer>();
    Connect();
    server_->put_DownloadNames(false);
    ASSERT_EQ(S_OK, server_->Start());
    int complete = 0;
    for (size_t end : ends) complete += end <= cut ? 1 : 0;
    EXPECT_EQ(complete + 15, CountOf(kSlotZones));
    for (int id = 1; id <= 3; ++id) {
      EXPECT_EQ(id <= complete, ById(kSlotZones, static_cast<uint16_t>(id)) != nullptr);
    }
    if (complete >= 3) {
      EXPECT_EQ(BStr("CCC"), NameOf(kSlotZones, 3));
    }
    EXPECT_EQ(0, controller_->names_requests());
    server_->Stop();
  }
}

TEST_F(NamesTest, FriendlyNamesStreamCutAtEveryByte) {
  const Bytes names =
      Concat({NameRecordBytes(1, 1, "A"), NameRecordBytes(1, 2, "B"), NameRecordBytes(1, 3, "C")});
  const Bytes full = Concat({FriendlyRecordBytes(1, 1, 0, "X"), FriendlyRecordBytes(1, 2, 1, ""),
                             FriendlyRecordBytes(1, 3, 0, "ZZ")});
  const size_t starts[] = {0, 15, 29};
  const size_t ends[] = {15, 29, 45};
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    SCOPED_TRACE(cut);
    server_.reset();
    WriteStore({{"Names.2", names}, {"FriendlyNames.2", Bytes(full.begin(), full.begin() + cut)}});
    server_ = MakeObject<CZelServer>();
    Connect();
    server_->put_DownloadNames(false);
    ASSERT_EQ(S_OK, server_->Start());
    bool cut_inside_record = false;
    for (int r = 0; r < 3; ++r) {
      bool applied = ends[r] <= cut;
      // A cut after a record's type field is a damaged stream; before it, a normal end.
      if (!applied && cut >= starts[r] + 4 && cut < ends[r]) cut_inside_record = true;
      VariantBool display;
      ById(kSlotZones, static_cast<uint16_t>(r + 1))->get_Display(&display);
      bool hidden = r != 1 && applied;
      EXPECT_EQ(hidden ? VARIANT_FALSE : VARIANT_TRUE, display.value) << "record " << r;
    }
    EXPECT_EQ(BStr(ends[0] <= cut ? "X" : "A"), FriendlyNameOf(kSlotZones, 1));
    EXPECT_EQ(BStr(ends[2] <= cut ? "ZZ" : "C"), FriendlyNameOf(kSlotZones, 3));
    // A damaged stream fails the load, and the collections are not started.
    EXPECT_EQ(!cut_inside_record, Polling(kSlotUnits));
    server_->Stop();
  }
}

TEST_F(NamesTest, FriendlyNamesSurviveARestart) {
  controller_->SetNames({NameFrameOf(1, 1, "FRONT DOOR"), NameFrameOf(1, 2, "BACK DOOR"),
                         NameFrameOf(2, 5, "PORCH")});
  ASSERT_EQ(S_OK, server_->Start());
  ById(kSlotZones, 1)->put_FriendlyName(BStr("Entrance"));
  // A friendly name equal to the name is no friendly name: stored with length 0.
  ById(kSlotZones, 2)->put_FriendlyName(BStr("BACK DOOR"));
  ById(kSlotUnits, 5)->put_Display(VariantBool{VARIANT_FALSE});
  ASSERT_EQ(S_OK, server_->SaveFriendlyNames());
  Bytes stored = ReadStream("FriendlyNames.2");
  Bytes expected_head =
      Concat({FriendlyRecordBytes(1, 1, 1, "Entrance"), FriendlyRecordBytes(1, 2, 1, "")});
  ASSERT_GE(stored.size(), expected_head.size());
  EXPECT_EQ(expected_head, Bytes(stored.begin(), stored.begin() + expected_head.size()));
  Bytes unit = FriendlyRecordBytes(2, 5, 0, "");
  EXPECT_NE(std::search(stored.begin(), stored.end(), unit.begin(), unit.end()), stored.end());

  Restart();
  server_->put_DownloadNames(false);
  ASSERT_EQ(S_OK, server_->Start());
  EXPECT_EQ(0, controller_->names_requests());
  EXPECT_EQ(BStr("Entrance"), FriendlyNameOf(kSlotZones, 1));
  EXPECT_EQ(BStr("BACK DOOR"), FriendlyNameOf(kSlotZones, 2));
  VariantBool display{VARIANT_TRUE};
  ById(kSlotUnits, 5)->get_Display(&display);
  EXPECT_EQ(VARIANT_FALSE, display.value);
}

TEST_F(NamesTest, SaveFriendlyNamesWritesOnlyCollectionsThatExist) {
  EXPECT_EQ(E_FAIL, server_->SaveFriendlyNames()) << "no local store yet";
  ASSERT_EQ(S_OK, server_->OpenLocalStore());
  ASSERT_EQ(S_OK, server_->SaveFriendlyNames());
  EXPECT_EQ(Bytes{}, ReadStream("FriendlyNames.2"));
  IDispatch* unused = nullptr;
  EXPECT_EQ(S_FALSE, server_->FindCollection(kSlotZones, &unused));
}

// Each collection's friendly names carry its ordinal: 1 Zones, 2 Units, 3 Buttons, 4 Codes,
// 5 Areas, 6 Thermostats, 7 Messages, 8 AudioSources, 9 AudioZones, in that order.
TEST_F(NamesTest, FriendlyNamesCarryTheOrdinalOfTheirCollection) {
  ASSERT_EQ(S_OK, server_->OpenLocalStore());
  const std::pair<int, uint32_t> kOrdinals[] = {
      {kSlotZones, 1},    {kSlotUnits, 2},        {kSlotButtons, 3},
      {kSlotCodes, 4},    {kSlotAreas, 5},        {kSlotThermostats, 6},
      {kSlotMessages, 7}, {kSlotAudioSources, 8}, {kSlotAudioZones, 9}};
  Bytes expected;
  for (auto [slot, ordinal] : kOrdinals) {
    // One element each, numbered after its ordinal, so two swapped ordinals show.
    ComPtr<CZelCollectionElement> element = MakeObject<CZelCollectionElement>();
    ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
    bag->Write("ID", Variant::I4(static_cast<int32_t>(100 + ordinal)));
    bag->Write("NAME", Variant::Str(BStr("N")));
    bag->Write("DISPLAY", Variant::Bool(true));
    ASSERT_EQ(S_OK, element->Load(bag.get()));
    ASSERT_EQ(S_OK, Collection(slot)->Add(
                        Variant::Dispatch(static_cast<IZelCollectionElement*>(element.get())),
                        Variant::Missing()));
    expected = Concat({expected, FriendlyRecordBytes(ordinal, 100 + ordinal, 1, "")});
  }
  ASSERT_EQ(S_OK, server_->SaveFriendlyNames());
  EXPECT_EQ(expected, ReadStream("FriendlyNames.2"));
}

// A controller whose setup names an audio system polls its audio sources and zones every second.
TEST_F(NamesTest, AudioCollectionsPollEverySecondWhenTheSetupNamesAnAudioSystem) {
  ASSERT_EQ(S_OK, server_->Start());
  for (int slot : {kSlotAudioSources, kSlotAudioZones}) {
    Variant interval;
    ASSERT_EQ(S_OK, Collection(slot)->get_UpdateInterval(&interval));
    EXPECT_EQ(Variant::UI4(1000), interval) << slot;
  }
}

// A names upload that keeps failing is tried five times, 5000 ms apart.
TEST_F(NamesTest, FailedNamesFetchIsTriedFiveTimesFiveSecondsApart) {
  ASSERT_EQ(S_OK, server_->OpenLocalStore());
  link_->SetAnswer([](const Bytes& r) { return r[2] == 0x0C ? Bytes{} : AckBytes(); });
  fast_.Clear();
  EXPECT_EQ(E_COMM_TIMEOUT, server_->DownloadNamesNow(false));
  EXPECT_EQ((std::vector<int64_t>{5000, 5000, 5000, 5000}), fast_.waits());
  size_t uploads = 0;
  for (const Bytes& r : link_->frames()) uploads += r[2] == 0x0C ? 1 : 0;
  EXPECT_EQ(5u, uploads);
}

// A zone class with a Type, so the built-in zone outputs have zones of type 80 to follow.
struct ITypedZone : IZelCollectionElement {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x3F1);
};
class TypedZone final : public ZelCollectionElementImpl<TypedZone, ITypedZone, 1> {
 public:
  static constexpr CLSID kClsid = kClsidZelZone;
  static constexpr std::string_view kTypeName = "TypedZone";
  HRESULT get_Type(int32_t* type) {
    *type = id() == 3 ? 80 : 1;
    return S_OK;
  }
  static const MemberTable& Members() {
    static const MemberTable t = MemberTableBuilder<TypedZone>("TypedZone")
                                     .Inherit(ElementMembers())
                                     .Get(Role::kRead, "Type", 0x5B1, &TypedZone::get_Type)
                                     .Build();
    return t;
  }
};

TEST_F(NamesTest, ZonesOfTypeEightyGetTheirOutputUnit) {
  ClassRegistry::Instance().Register(kClsidZelZone, "Test.TypedZone", FactoryOf<TypedZone>());
  controller_->SetNames({NameFrameOf(1, 2, "HALL"), NameFrameOf(1, 3, "BOILER")});
  ASSERT_EQ(S_OK, server_->Start());
  // Zone 3 is in the first group (up to 16): unit 72 - 16 + 3.
  EXPECT_EQ(BStr("Zone Output"), NameOf(kSlotUnits, 59));
  EXPECT_EQ(1, CountOf(kSlotUnits));
  RegisterModelClasses();
}

TEST_F(NamesTest, AsynchronousDownloadRefusesASecondOneWhileRunning) {
  controller_->SetNames({NameFrameOf(3, 1, "GOOD NIGHT")});
  ASSERT_EQ(S_OK, server_->OpenLocalStore());
  link_->CloseGate();
  ASSERT_EQ(S_OK, server_->DownloadNamesNow(true));
  ASSERT_TRUE(link_->WaitInFlight(Millis(5000)));
  int32_t status = 0;
  server_->get_DownloadNamesStatus(&status);
  EXPECT_EQ(dsDownloading, status);
  EXPECT_EQ(E_FAIL, server_->DownloadNamesNow(true));
  link_->OpenGate();
  for (int i = 0; i < 5000 && status != dsCompleted; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_->get_DownloadNamesStatus(&status);
  }
  EXPECT_EQ(dsCompleted, status);
  EXPECT_EQ(BStr("GOOD NIGHT"), NameOf(kSlotButtons, 1));
}

}  // namespace
}  // namespace zel
