// The collection and element templates: finding elements, adding and naming them, the generic
// poll, the name upload, persistence through the property map, and Init's first update.
#include "model/collection.h"

#include <gtest/gtest.h>

#include <thread>

#include "model/collection_element.h"
#include "model/model_registration.h"
#include "model/plain_element.h"
#include "platform/class_registry.h"
#include "platform/property_bag.h"
#include "platform/resource_library.h"
#include "server/zel_server.h"
#include "testing/fake_link.h"

namespace zel {
namespace {

// A zone-like element class built as the template's header says: name type 1, a status field
// filled by the poll and a derived property in its map.
struct ITestZone : IZelCollectionElement {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x3F0);
  virtual HRESULT get_Status(int32_t* status) = 0;
};

class TestZone final : public ZelCollectionElementImpl<TestZone, ITestZone, 1> {
 public:
  static constexpr CLSID kClsid = kClsidZelZone;
  static constexpr std::string_view kTypeName = "TestZone";

  HRESULT get_Status(int32_t* status) override {
    if (status == nullptr) return E_POINTER;
    MutexLock g(&fields_mu());
    *status = status_;
    return S_OK;
  }
  static const MemberTable& Members() {
    static const MemberTable t = MemberTableBuilder<TestZone>("TestZone")
                                     .Inherit(ElementMembers())
                                     .Get(Role::kRead, "Status", 0x5B2, &TestZone::get_Status)
                                     .Build();
    return t;
  }
  static const PropertyMap& Properties() {
    static const PropertyMap m = [] {
      PropertyMapBuilder<TestZone> b;
      AddCommonProperties(b);
      b.Member<&TestZone::status_>("STATUS", VT_UI2).Property("CURRENT", 0x5B2);
      return b.Build();
    }();
    return m;
  }
  HRESULT LoadStatus(const uint8_t* data, uint32_t size) override {
    if (size < 2) return E_FAIL;
    MutexLock g(&fields_mu());
    status_ = data[0];
    ++loads;
    return S_OK;
  }
  int loads = 0;

 private:
  uint16_t status_ = 0;
};

// One-byte zone-like polls (0x15) and two-byte unit-like polls (0x17).
inline constexpr CollectionTraits kShortTraits{"TestZones", 1,     kClsidZelZone, "ZONES",
                                               0x15,        false, nullptr};
inline constexpr CollectionTraits kLongTraits{"TestUnits", 2,    kClsidZelUnit, "UNITS",
                                              0x17,        true, nullptr};
template <const CollectionTraits& kTraits>
class TestCollection final
    : public ZelCollectionImpl<TestCollection<kTraits>, IZelCollection, kTraits> {};
using ShortCollection = TestCollection<kShortTraits>;
using LongCollection = TestCollection<kLongTraits>;

class CollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::shared_ptr<const ResourceLibrary> lib;
    ASSERT_EQ(S_OK, ResourceLibrary::Parse("[strings]\n103 = Unknown\n", &lib));
    InstallResources(lib);
    RegisterModelClasses();
    ClassRegistry::Instance().Register(kClsidZelZone, "Test.Zone", FactoryOf<TestZone>());
    server_ = MakeObject<CZelServer>();
    link_ = MakeObject<FakeLink>();
    // A controller that has none of the items asked for, unless a test says otherwise.
    link_->SetAnswer([](const Bytes&) { return NakBytes(); });
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(link_.get()));
  }
  void TearDown() override {
    server_.reset();
    InstallResources(nullptr);
  }

  ComPtr<TestZone> MakeZone(uint16_t id, std::string_view name) {
    ComPtr<TestZone> zone = MakeObject<TestZone>();
    ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
    bag->Write("ID", Variant::I4(id));
    bag->Write("NAME", Variant::Str(BStr(name)));
    EXPECT_EQ(S_OK, zone->Load(bag.get()));
    return zone;
  }
  template <class C>
  void AddZone(C* collection, uint16_t id, std::string_view name) {
    ComPtr<TestZone> zone = MakeZone(id, name);
    ASSERT_EQ(S_OK, collection->Add(Variant::Dispatch(zone.get()), Variant::Missing()));
  }
  static BStr NameOf(const Variant& item) {
    ComPtr<IZelCollectionElement> e;
    EXPECT_EQ(S_OK, QueryAs<IZelCollectionElement>(item.dispatch(), &e));
    BStr name;
    if (e) {
      EXPECT_EQ(S_OK, e->get_Name(&name));
    }
    return name;
  }
  static int32_t IdOf(const Variant& item) {
    ComPtr<IZelCollectionElement> e;
    EXPECT_EQ(S_OK, QueryAs<IZelCollectionElement>(item.dispatch(), &e));
    Variant id;
    if (e) {
      EXPECT_EQ(S_OK, e->get_ID(&id));
    }
    return id.i4();
  }

  ComPtr<CZelServer> server_;
  ComPtr<FakeLink> link_;
};

TEST_F(CollectionTest, ItemFindsByPositionNameAndId) {
  ComPtr<ShortCollection> zones = MakeObject<ShortCollection>();
  AddZone(zones.get(), 5, "Front Door");
  AddZone(zones.get(), 12, "Back Door");
  AddZone(zones.get(), 7, "Garage");
  ComPtr<TestZone> renamed = MakeZone(9, "Cellar");
  renamed->put_FriendlyName(BStr("Wine Store"));
  zones->Add(Variant::Dispatch(renamed.get()), Variant::Missing());

  Variant item;
  EXPECT_EQ(S_OK, zones->Item(Variant::I4(1), Variant::Missing(), &item));
  EXPECT_EQ(BStr("Front Door"), NameOf(item));
  // A position given as text that is not a name is still a name lookup.
  EXPECT_EQ(S_OK, zones->Item(Variant::Str(BStr("bACK dOOR")), Variant::Missing(), &item));
  EXPECT_EQ(12, IdOf(item));
  // The key wins over the position.
  EXPECT_EQ(S_OK, zones->Item(Variant::I4(1), Variant::I4(12), &item));
  EXPECT_EQ(BStr("Back Door"), NameOf(item));
  EXPECT_EQ(S_OK, zones->Item(Variant::R8(3.0), Variant::Missing(), &item));
  EXPECT_EQ(BStr("Garage"), NameOf(item));
}

TEST_F(CollectionTest, ItemMissesGiveTheOneEmptyElement) {
  ComPtr<ShortCollection> zones = MakeObject<ShortCollection>();
  Variant empty;
  // An empty collection answers every request with the empty element.
  EXPECT_EQ(S_FALSE, zones->Item(Variant::I4(1), Variant::Missing(), &empty));
  ASSERT_EQ(VT_DISPATCH, empty.vt());
  EXPECT_EQ(BStr("Unknown"), NameOf(empty));
  EXPECT_EQ(0, IdOf(empty));

  AddZone(zones.get(), 5, "Front Door");
  ComPtr<TestZone> cellar = MakeZone(9, "Cellar");
  cellar->put_FriendlyName(BStr("Wine Store"));
  zones->Add(Variant::Dispatch(cellar.get()), Variant::Missing());
  const Variant misses[][2] = {
      {Variant::I4(0), Variant::Missing()},
      {Variant::I4(3), Variant::Missing()},  // Count + 1
      {Variant::I4(-1), Variant::Missing()},
      {Variant::Str(BStr("Wine Store")), Variant::Missing()},  // friendly names are not searched
      {Variant::Str(BStr("Front Doo")), Variant::Missing()},
      {Variant::I4(1), Variant::I4(6)},                // no such ID
      {Variant::I4(1), Variant::Str(BStr("twelve"))},  // a key that is no number
      {Variant::Str(BStr("x")), Variant::Null()},
  };
  for (const auto& miss : misses) {
    Variant item;
    EXPECT_EQ(S_FALSE, zones->Item(miss[0], miss[1], &item));
    ASSERT_EQ(VT_DISPATCH, item.vt());
    EXPECT_EQ(empty.dispatch(), item.dispatch()) << "the same element every time";
  }
  EXPECT_EQ(E_FAIL, zones->Item(Variant::I4(1), Variant::Missing(), nullptr));
}

TEST_F(CollectionTest, AddNumbersElementsAndRefusesNonObjects) {
  ComPtr<ShortCollection> zones = MakeObject<ShortCollection>();
  EXPECT_EQ(E_INVALIDARG, zones->Add(Variant::I4(7), Variant::Missing()));
  EXPECT_EQ(E_INVALIDARG, zones->Add(Variant::Dispatch(nullptr), Variant::Missing()));
  for (uint16_t id : {3, 1, 2}) AddZone(zones.get(), id, "Z");
  int32_t count = 0;
  EXPECT_EQ(S_OK, zones->get_Count(&count));
  EXPECT_EQ(3, count);
  ComPtr<IZelCollectionElement> third;
  QueryAs<IZelCollectionElement>(zones->ElementAt(3).get(), &third);
  Variant index;
  EXPECT_EQ(S_OK, third->get_Index(&index));
  EXPECT_EQ(VT_I4, index.vt());
  EXPECT_EQ(3, index.i4());

  EXPECT_EQ(E_POINTER, zones->get_Count(nullptr));
  IUnknown* enumerator = nullptr;
  EXPECT_EQ(E_NOTIMPL, zones->get__NewEnum(&enumerator));
  EXPECT_EQ(E_POINTER, zones->get__NewEnum(nullptr));
}

TEST_F(CollectionTest, FriendlyNameFallsBackToName) {
  ComPtr<TestZone> zone = MakeZone(1, "Front Door");
  BStr name;
  EXPECT_EQ(S_OK, zone->get_FriendlyName(&name));
  EXPECT_EQ(BStr("Front Door"), name);
  zone->put_FriendlyName(BStr("Entrance"));
  zone->get_FriendlyName(&name);
  EXPECT_EQ(BStr("Entrance"), name);
  zone->put_FriendlyName(BStr(""));
  zone->get_FriendlyName(&name);
  EXPECT_EQ(BStr("Front Door"), name);
}

TEST_F(CollectionTest, NameUploadFramesAndRefusals) {
  ComPtr<TestZone> zone = MakeZone(4, "Hall");
  link_->SetAnswer([](const Bytes&) { return AckBytes(); });

  // 17 characters for a zone: refused before any frame.
  EXPECT_EQ(E_FAIL, zone->put_Name(BStr("ABCDEFGHIJKLMNOPQ")));
  EXPECT_EQ(0u, link_->sent_count());
  BStr name;
  zone->get_Name(&name);
  EXPECT_EQ(BStr("Hall"), name);

  // 16 characters fill the field without a terminator.
  EXPECT_EQ(S_OK, zone->put_Name(BStr("ABCDEFGHIJKLMNOP")));
  ASSERT_EQ(1u, link_->sent_count());
  Bytes expected = SealFrame(
      0x0B, {1, 4, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'});
  EXPECT_EQ(expected, link_->frames()[0]);
  EXPECT_EQ(23u, expected.size());
  zone->get_Name(&name);
  EXPECT_EQ(BStr("ABCDEFGHIJKLMNOP"), name);

  // A refused upload keeps the old name.
  link_->SetAnswer([](const Bytes&) { return NakBytes(); });
  EXPECT_EQ(CO_E_NOT_SUPPORTED, zone->put_Name(BStr("Hallway")));
  zone->get_Name(&name);
  EXPECT_EQ(BStr("ABCDEFGHIJKLMNOP"), name);

  // The plain element takes no names.
  link_->ClearSent();
  ComPtr<CZelCollectionElement> plain = MakeObject<CZelCollectionElement>();
  EXPECT_EQ(CO_E_NOT_SUPPORTED, plain->put_Name(BStr("x")));
  EXPECT_EQ(0u, link_->sent_count());
}

TEST_F(CollectionTest, PollsShortAndLongNumbers) {
  link_->SetAnswer([](const Bytes& request) -> Bytes {
    uint8_t number = request[1] == 3 ? request[3] : request[4];
    if (number == 2) return NakBytes();  // no such object
    return SealFrame(request[2] + 1, {static_cast<uint8_t>(0x40 + number), 0x11});
  });
  ComPtr<ShortCollection> zones = MakeObject<ShortCollection>();
  AddZone(zones.get(), 1, "A");
  AddZone(zones.get(), 2, "B");
  AddZone(zones.get(), 300, "C");
  EXPECT_EQ(S_OK, zones->Update(false, 1));
  EXPECT_EQ(S_FALSE, zones->Update(false, 2));
  // A one-byte collection never polls a number from 256.
  EXPECT_EQ(S_FALSE, zones->Update(false, 3));
  auto requests = link_->frames();
  ASSERT_EQ(2u, requests.size());
  Bytes first = {0x5A, 0x03, 0x15, 0x01, 0x01};
  EXPECT_TRUE(std::equal(first.begin(), first.end(), requests[0].begin()));
  EXPECT_EQ(7u, requests[0].size());
  int32_t status = 0;
  ComPtr<ITestZone> zone;
  QueryAs<ITestZone>(zones->ElementAt(1).get(), &zone);
  zone->get_Status(&status);
  EXPECT_EQ(0x41, status);

  link_->ClearSent();
  ComPtr<LongCollection> units = MakeObject<LongCollection>();
  AddZone(units.get(), 300, "Porch");
  EXPECT_EQ(S_OK, units->Update(false, kAllElements));
  ASSERT_EQ(1u, link_->sent_count());
  Bytes long_request = {0x5A, 0x05, 0x17, 0x01, 0x2C, 0x01, 0x2C};
  EXPECT_TRUE(std::equal(long_request.begin(), long_request.end(), link_->frames()[0].begin()));
  EXPECT_EQ(9u, link_->frames()[0].size());
}

TEST_F(CollectionTest, TryUpdateSkipsWhileAPassRuns) {
  link_->SetAnswer([](const Bytes& r) { return SealFrame(r[2] + 1, {1, 0}); });
  ComPtr<ShortCollection> zones = MakeObject<ShortCollection>();
  AddZone(zones.get(), 1, "A");
  AddZone(zones.get(), 2, "B");
  link_->CloseGate();
  std::thread pass([&] { EXPECT_EQ(S_OK, zones->Update(true, kAllElements)); });
  ASSERT_TRUE(link_->WaitInFlight(Millis(5000)));
  EXPECT_EQ(S_OK, zones->TryUpdate(true, kAllElements));
  EXPECT_EQ(1u, link_->sent_count()) << "the skipped pass sent nothing";
  link_->OpenGate();
  pass.join();
  EXPECT_EQ(2u, link_->sent_count());
}

TEST_F(CollectionTest, InitPollsOnceAndStartsOneThread) {
  link_->SetAnswer([](const Bytes& r) { return SealFrame(r[2] + 1, {1, 0}); });
  ComPtr<ShortCollection> zones = MakeObject<ShortCollection>();
  AddZone(zones.get(), 1, "A");
  EXPECT_EQ(S_OK, zones->StopUpdate()) << "never started";
  // The interval was never set (unsigned 0): one silent update, no thread.
  EXPECT_EQ(S_OK, zones->Init());
  EXPECT_EQ(1u, link_->sent_count());
  EXPECT_FALSE(zones->HasUpdateThread());
  Variant handle;
  EXPECT_EQ(S_OK, zones->get_ThreadTermEvent(&handle));
  EXPECT_EQ(0u, handle.ui8());

  // With an interval the thread starts (its first pass is an hour away).
  ASSERT_EQ(S_OK, zones->put_UpdateInterval(Variant::UI4(3600000)));
  EXPECT_EQ(S_OK, zones->Init());
  EXPECT_TRUE(zones->HasUpdateThread());
  EXPECT_EQ(S_FALSE, zones->Init()) << "a thread runs already";
  EXPECT_EQ(S_OK, zones->get_ThreadTermEvent(&handle));
  EXPECT_NE(0u, handle.ui8());
  EXPECT_EQ(S_OK, zones->StopUpdate());
  EXPECT_FALSE(zones->HasUpdateThread());
  EXPECT_EQ(S_OK, zones->get_ThreadTermEvent(&handle));
  EXPECT_EQ(0u, handle.ui8());
}

TEST_F(CollectionTest, InitOfAnUnsupportedKindStartsNothing) {
  // A controller without this kind of object: the update fails with CO_E_NOT_SUPPORTED.
  class Unsupported final : public ZelCollectionImpl<Unsupported, IZelCollection, kShortTraits> {
   public:
    HRESULT UpdateElement(uint16_t, IDispatch*) override { return CO_E_NOT_SUPPORTED; }
  };
  ComPtr<Unsupported> zones = MakeObject<Unsupported>();
  AddZone(zones.get(), 1, "A");
  zones->put_UpdateInterval(Variant::UI4(1000));
  EXPECT_EQ(S_FALSE, zones->Init());
  EXPECT_FALSE(zones->HasUpdateThread());
}

TEST_F(CollectionTest, ElementStreamHoldsTheMapInOrder) {
  ComPtr<TestZone> zone = MakeZone(0x1234, "Hi");
  zone->put_Display(VariantBool{VARIANT_FALSE});
  ComPtr<MemoryStream> stream = MakeObject<MemoryStream>();
  ASSERT_EQ(S_OK, zone->Save(stream.get(), true));
  Bytes expected = {0x00, 0x09, 0x00, 0x00,                                    // version 0x0900
                    0x00, 0x00, 0x00, 0x00,                                    // INDEX
                    0x34, 0x12,                                                // ID
                    0x06, 0x00, 0x00, 0x00, 'H',  0,    'i', 0, 0,   0,        // NAME, string form
                    0x08, 0x00, 0x06, 0x00, 0x00, 0x00, 'H', 0, 'i', 0, 0, 0,  // FRIENDLYNAME
                    0x00, 0x00,                                                // DISPLAY false
                    0x00, 0x00,                                                // STATUS
                    0x03, 0x00, 0x00, 0x00, 0x00, 0x00};  // CURRENT (Status, VT_I4)
  EXPECT_EQ(expected, stream->data());
  uint64_t size = 0;
  EXPECT_EQ(S_OK, zone->GetSizeMax(&size));
  EXPECT_EQ(expected.size(), size);

  ComPtr<TestZone> copy = MakeObject<TestZone>();
  stream->Seek(0, SeekOrigin::kSet, nullptr);
  ASSERT_EQ(S_OK, copy->Load(stream.get()));
  Variant id;
  copy->get_ID(&id);
  EXPECT_EQ(0x1234, id.i4());
  VariantBool display{VARIANT_TRUE};
  copy->get_Display(&display);
  EXPECT_EQ(VARIANT_FALSE, display.value);
  // A stream cut short is a failed load.
  ComPtr<MemoryStream> cut =
      MakeObject<MemoryStream>(Bytes(expected.begin(), expected.begin() + 12));
  EXPECT_TRUE(Failed(MakeObject<TestZone>()->Load(cut.get())));
}

TEST_F(CollectionTest, PropertyBagSkipsWhatItCannotTake) {
  ComPtr<TestZone> zone = MakeZone(3, "Porch");
  ComPtr<CPropertyBag> saved = MakeObject<CPropertyBag>();
  ASSERT_EQ(S_OK, zone->Save(saved.get(), false, true));
  std::vector<std::string> keys;
  for (const auto& [key, value] : saved->entries()) keys.push_back(key);
  EXPECT_EQ((std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY", "STATUS",
                                      "CURRENT"}),
            keys);
  EXPECT_EQ(VT_UI2, saved->entries()[1].second.vt());
  EXPECT_EQ(VT_BOOL, saved->entries()[4].second.vt());

  // An ID that does not fit and a read-only property are skipped; the rest is taken.
  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  bag->Write("ID", Variant::I4(70000));
  bag->Write("name", Variant::Str(BStr("Deck")));
  bag->Write("CURRENT", Variant::I4(9));
  bag->Write("DISPLAY", Variant::Str(BStr("False")));
  EXPECT_EQ(S_OK, zone->Load(bag.get()));
  Variant id;
  zone->get_ID(&id);
  EXPECT_EQ(3, id.i4());
  BStr name;
  zone->get_Name(&name);
  EXPECT_EQ(BStr("Deck"), name);
  VariantBool display;
  zone->get_Display(&display);
  EXPECT_EQ(VARIANT_FALSE, display.value);
}

TEST_F(CollectionTest, StatusInputGoesThroughPersistMemory) {
  ComPtr<TestZone> zone = MakeZone(1, "A");
  ComPtr<IPersistMemory> memory;
  ASSERT_EQ(S_OK, QueryAs<IPersistMemory>(static_cast<ITestZone*>(zone.get()), &memory));
  const uint8_t data[] = {0x55, 0x00};
  EXPECT_EQ(S_OK, memory->Load(data, 3));
  int32_t status = 0;
  zone->get_Status(&status);
  EXPECT_EQ(0x55, status);
  EXPECT_EQ(E_NOTIMPL, memory->InitNew());
  EXPECT_EQ(E_NOTIMPL, memory->Save(nullptr, false, 0));
  // The tear-off shares the element's identity.
  ComPtr<IUnknown> a;
  ComPtr<IUnknown> b;
  memory->QueryInterface(IUnknown::kIid, a.ReceiveVoid());
  zone->QueryInterface(IUnknown::kIid, b.ReceiveVoid());
  EXPECT_EQ(a.get(), b.get());
}

TEST_F(CollectionTest, NewNamesUploadsAndPollsTheElement) {
  link_->SetAnswer([](const Bytes& r) -> Bytes {
    if (r[2] == 0x0B) return AckBytes();
    return SealFrame(0x16, {0x21, 0});
  });
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(S_OK, server_->get_Zones(dispatch.Receive()));
  ComPtr<IZelCollection> zones;
  ASSERT_EQ(S_OK, QueryAs<IZelCollection>(dispatch.get(), &zones));
  Variant item;
  ASSERT_EQ(S_OK, zones->New(BStr("Hall"), Variant::Str(BStr("4")), &item));
  EXPECT_EQ(4, IdOf(item));
  EXPECT_EQ(BStr("Hall"), NameOf(item));
  auto requests = link_->frames();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(0x0B, requests[0][2]);
  EXPECT_EQ(0x15, requests[1][2]);
  // Renaming an element it holds does not add another.
  ASSERT_EQ(S_OK, zones->New(BStr("Hallway"), Variant::I4(4), &item));
  int32_t count = 0;
  zones->get_Count(&count);
  EXPECT_EQ(1, count);
  EXPECT_EQ(BStr("Hallway"), NameOf(item));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, zones->New(BStr("x"), Variant::Str(BStr("four")), &item));
  EXPECT_EQ(VT_EMPTY, item.vt());
}

// Each collection of the server starts with its published UpdateInterval (unsigned 32-bit
// milliseconds; empty for the collections that are never polled).
TEST_F(CollectionTest, EveryCollectionStartsWithItsInterval) {
  auto interval_of = [&](int slot) {
    ComPtr<IDispatch> d;
    EXPECT_EQ(S_OK, server_->GetCollection(slot, d.Receive()));
    ComPtr<IZelCollection> c;
    EXPECT_EQ(S_OK, QueryAs<IZelCollection>(d.get(), &c));
    Variant interval;
    EXPECT_EQ(S_OK, c->get_UpdateInterval(&interval));
    return interval;
  };
  struct Default {
    int slot;
    Variant interval;
  };
  // No controller model known yet and no setup block: messages are polled, audio is not.
  for (const Default& d :
       {Default{kSlotZones, Variant::UI4(0)}, Default{kSlotAreas, Variant::UI4(0)},
        Default{kSlotUnits, Variant::UI4(1500)}, Default{kSlotThermostats, Variant::UI4(5000)},
        Default{kSlotTemperatureSensors, Variant::UI4(30000)},
        Default{kSlotMessages, Variant::UI4(5000)}, Default{kSlotAudioSources, Variant::UI4(0)},
        Default{kSlotAudioZones, Variant::UI4(0)}, Default{kSlotButtons, Variant()},
        Default{kSlotCodes, Variant()}, Default{kSlotExpansions, Variant()}}) {
    EXPECT_EQ(d.interval, interval_of(d.slot)) << "slot " << d.slot;
  }
  // On controller model index 0 (model code 2) messages are not polled.
  link_->SetAnswer([](const Bytes& r) {
    return r[2] == 0x11 ? SealFrame(0x12, {2, 2, 16, 0, '5', 0}) : NakBytes();
  });
  server_->ChangeStatus(ssInteractive, S_OK);
  BStr model;
  ASSERT_EQ(S_OK, server_->get_Model(&model));
  ASSERT_EQ(0, server_->model_index());
  ASSERT_EQ(S_OK, server_->reset());
  EXPECT_EQ(Variant::UI4(0), interval_of(kSlotMessages));
}

TEST_F(CollectionTest, MembersByDispatch) {
  ComPtr<ShortCollection> zones = MakeObject<ShortCollection>();
  AddZone(zones.get(), 8, "Attic");
  IDispatch* d = static_cast<IZelCollection*>(zones.get());
  Variant count;
  EXPECT_EQ(S_OK, GetProperty(d, "Count", &count));
  EXPECT_EQ(1, count.i4());
  // Scripts pass "every element" as -1.
  Variant args[] = {Variant::Bool(false), Variant::I4(-1)};
  Variant result;
  // -1 is every element: the one zone is polled, and the link answers it with the NAK.
  EXPECT_EQ(S_FALSE, CallMethod(d, "TryUpdate", args, &result));
  EXPECT_EQ(1u, link_->sent_count());
  Variant item;
  Variant position = Variant::I4(1);
  ASSERT_EQ(S_OK, d->Invoke(kDispidItem, DISPATCH_PROPERTYGET, {&position, 1}, &item));
  Variant friendly;
  EXPECT_EQ(S_OK, GetProperty(item.dispatch(), "FriendlyName", &friendly));
  EXPECT_EQ(BStr("Attic"), friendly.bstr());
}

}  // namespace
}  // namespace zel
