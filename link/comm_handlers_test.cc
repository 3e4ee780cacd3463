// The transport catalogue over a settings registry of its own, and what the two transport
// classes share: one instance per process and the settings stream's bytes.
#include "link/comm_handlers.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "link/link_classes.h"
#include "link/network_transport.h"
#include "link/serial_transport.h"
#include "platform/class_registry.h"
#include "platform/resource_library.h"
#include "platform/stream.h"

namespace zel {
namespace {

class CommHandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zel_comm_handlers_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    root_ = RegKey::Root(dir_ + "/registry.json");
    std::shared_ptr<const ResourceLibrary> library;
    ASSERT_EQ(S_OK, ResourceLibrary::Parse("[strings]\n131 = Serial Port\n132 = Network (UDP)\n",
                                           &library));
    InstallResources(library);
    RegisterLinkClasses();
    ASSERT_EQ(S_OK, RegisterTransportEntries(root_));
  }
  void TearDown() override {
    ClassRegistry::Instance().ReleaseSingletons();
    InstallResources(nullptr);
    std::filesystem::remove_all(dir_);
  }

  ComPtr<CZelCommHandlers> Catalogue() {
    ComPtr<CZelCommHandlers> c;
    EXPECT_EQ(S_OK, CZelCommHandlers::Create(root_, &c));
    return c;
  }
  static BStr NameOf(const Variant& item) {
    ComPtr<IZelCommHandler> t;
    EXPECT_EQ(S_OK, QueryAs<IZelCommHandler>(item.dispatch(), &t));
    BStr name;
    if (t) {
      EXPECT_EQ(S_OK, t->get_Name(&name));
    }
    return name;
  }
  RegKey Entries() {
    RegKey key;
    EXPECT_EQ(S_OK, root_.Open(kCommHandlersKey, &key));
    return key;
  }

  std::string dir_;
  RegKey root_;
};

// The catalogue's entries as installation writes them and as a client finds them: the subkey
// named by the class id with the transport's kind as its default value, the one-based number
// (registry order: the class ids sort serial first) and the display name in any letter case.
struct CatalogueEntry {
  CLSID clsid;
  const char* kind;
  int32_t number;
  const char* name;
  const char* name_other_case;
};
constexpr CatalogueEntry kEntries[] = {
    {kClsidZelCommHandlerSerial, "Serial", 1, "Serial Port", "sERIAL pORT"},
    {kClsidZelCommHandlerNetwork, "Network", 2, "Network (UDP)", "NETWORK (udp)"},
};

TEST_F(CommHandlersTest, EachEntryByClassIdNumberAndName) {
  ComPtr<CZelCommHandlers> c = Catalogue();
  int32_t count = 0;
  ASSERT_EQ(S_OK, c->get_Count(&count));
  EXPECT_EQ(static_cast<int32_t>(std::size(kEntries)), count);
  for (const CatalogueEntry& e : kEntries) {
    SCOPED_TRACE(e.name);
    RegKey subkey;
    ASSERT_EQ(S_OK, Entries().Open(GuidToString(e.clsid), &subkey));
    std::string kind;
    ASSERT_EQ(S_OK, subkey.QueryString("", &kind));
    EXPECT_EQ(e.kind, kind);

    Variant by_number, by_name;
    ASSERT_EQ(S_OK, c->Item(Variant::I4(e.number), Variant::Missing(), &by_number));
    EXPECT_EQ(VT_DISPATCH, by_number.vt());
    EXPECT_EQ(e.name, NameOf(by_number).str());
    ComPtr<IPersistStreamInit> persist;
    ASSERT_EQ(S_OK, QueryAs<IPersistStreamInit>(by_number.dispatch(), &persist));
    CLSID clsid{};
    ASSERT_EQ(S_OK, persist->GetClassID(&clsid));
    EXPECT_EQ(e.clsid, clsid);
    // The key argument is ignored; other index kinds convert to the number.
    ASSERT_EQ(S_OK,
              c->Item(Variant::UI1(static_cast<uint8_t>(e.number)), Variant::I4(99), &by_name));
    EXPECT_EQ(by_number.dispatch(), by_name.dispatch());
    ASSERT_EQ(S_OK, c->Item(Variant::Str(BStr(e.name_other_case)), Variant::Missing(), &by_name));
    EXPECT_EQ(by_number.dispatch(), by_name.dispatch());
  }
  // A string is always a name, even one that looks like a number.
  Variant item;
  EXPECT_EQ(E_INVALIDARG, c->Item(Variant::Str(BStr("2")), Variant::Missing(), &item));
}

TEST_F(CommHandlersTest, BadItemRequests) {
  ComPtr<CZelCommHandlers> c = Catalogue();
  Variant item;
  EXPECT_EQ(E_FAIL, c->Item(Variant::I4(0), Variant::Missing(), &item));
  EXPECT_EQ(E_FAIL, c->Item(Variant::I4(3), Variant::Missing(), &item));
  EXPECT_EQ(E_FAIL, c->Item(Variant::I4(-1), Variant::Missing(), &item));
  EXPECT_EQ(E_FAIL, c->Item(Variant::UI4(0x80000001u), Variant::Missing(), &item));
  EXPECT_EQ(E_FAIL, c->Item(Variant(), Variant::Missing(), &item));
  EXPECT_EQ(E_INVALIDARG, c->Item(Variant::Str(BStr("Carrier pigeon")), Variant::Missing(), &item));
  EXPECT_EQ(E_FAIL, c->Item(Variant::I4(1), Variant::Missing(), nullptr));
  EXPECT_EQ(E_POINTER, c->get_Count(nullptr));
  IUnknown* enumerator = nullptr;
  EXPECT_EQ(E_NOTIMPL, c->get__NewEnum(&enumerator));
  EXPECT_EQ(nullptr, enumerator);
  EXPECT_EQ(E_POINTER, c->get__NewEnum(nullptr));
}

TEST_F(CommHandlersTest, ThroughDispatchLikeAClient) {
  ComPtr<CZelCommHandlers> c = Catalogue();
  Variant count, item;
  ASSERT_EQ(S_OK, GetProperty(c.get(), "Count", &count));
  EXPECT_EQ(Variant::I4(2), count);
  Variant args[] = {Variant::Str(BStr("network (UDP)"))};
  ASSERT_EQ(S_OK, CallMethod(c.get(), "Item", args, &item));
  EXPECT_EQ("Network (UDP)", NameOf(item).str());
  ASSERT_EQ(S_OK, c->Invoke(kDispidCommHandlersItem, DISPATCH_METHOD, args, &item));
}

TEST_F(CommHandlersTest, EntriesThatAreNotClassIdsArePassedOver) {
  RegKey junk;
  ASSERT_EQ(S_OK, Entries().Create("{not a class id}", &junk));
  ASSERT_EQ(S_OK, Entries().Create("00 Modem", &junk));
  int32_t count = 0;
  ASSERT_EQ(S_OK, Catalogue()->get_Count(&count));
  EXPECT_EQ(2, count);
}

TEST_F(CommHandlersTest, AClassThatCannotBeCreatedEndsTheListing) {
  // Listed first (the names sort before the transports'): nothing after it is listed, and the
  // catalogue is still made.
  RegKey unknown;
  ASSERT_EQ(S_OK, Entries().Create("{00000000-0000-0000-0000-000000000001}", &unknown));
  int32_t count = -1;
  ASSERT_EQ(S_OK, Catalogue()->get_Count(&count));
  EXPECT_EQ(0, count);
  Variant item;
  EXPECT_EQ(E_FAIL, Catalogue()->Item(Variant::I4(1), Variant::Missing(), &item));
}

TEST_F(CommHandlersTest, MissingKeyFailsTheCreation) {
  ASSERT_EQ(S_OK, root_.DeleteTree(kCommHandlersKey));
  ComPtr<CZelCommHandlers> c;
  EXPECT_EQ(E_REG_NOT_FOUND, CZelCommHandlers::Create(root_, &c));
}

TEST_F(CommHandlersTest, RegistrationReplacesAndRemovesTheEntries) {
  RegKey network;
  ASSERT_EQ(S_OK, Entries().Open(GuidToString(kClsidZelCommHandlerNetwork), &network));
  // Registering again replaces an entry with whatever it held.
  ASSERT_EQ(S_OK, network.SetString("Stale", "x"));
  ASSERT_EQ(S_OK, RegisterTransportEntries(root_));
  std::string value;
  EXPECT_EQ(E_REG_NOT_FOUND, network.QueryString("Stale", &value));
  ASSERT_EQ(S_OK, network.QueryString("", &value));
  EXPECT_EQ("Network", value);
  ASSERT_EQ(S_OK, UnregisterTransportEntries(root_));
  std::string name;
  EXPECT_EQ(E_NO_MORE_ITEMS, Entries().EnumKey(0, kCommHandlerNameChars, &name));
}

TEST_F(CommHandlersTest, OneInstancePerTransportClass) {
  for (const CLSID& clsid : {kClsidZelCommHandlerSerial, kClsidZelCommHandlerNetwork}) {
    ComPtr<IZelCommHandler> a, b;
    ASSERT_EQ(S_OK, ClassRegistry::Instance().Create<IZelCommHandler>(clsid, &a));
    ASSERT_EQ(S_OK, ClassRegistry::Instance().Create<IZelCommHandler>(clsid, &b));
    EXPECT_EQ(a.get(), b.get());
  }
  // The catalogue hands out those same objects: a change through one is seen through the other.
  ComPtr<IZelCommHandlerSerial> created;
  ASSERT_EQ(S_OK, ClassRegistry::Instance().Create<IZelCommHandlerSerial>(
                      kClsidZelCommHandlerSerial, &created));
  ASSERT_EQ(S_OK, created->put_BaudRate(Variant::UI4(19200)));
  Variant item, rate;
  ASSERT_EQ(S_OK, Catalogue()->Item(Variant::I4(1), Variant::Missing(), &item));
  ASSERT_EQ(S_OK, GetProperty(item.dispatch(), "BaudRate", &rate));
  EXPECT_EQ(Variant::UI4(19200), rate);
  EXPECT_EQ(E_POINTER, ClassRegistry::Instance().Create(kClsidZelCommHandlerNetwork,
                                                        IZelCommHandler::kIid, nullptr));
}

// Port 4 at 19200 baud: the version word, a one-byte record, a four-byte record.
TEST_F(CommHandlersTest, SerialSettingsStreamBytes) {
  ComPtr<CZelCommHandlerSerial> serial = MakeObject<CZelCommHandlerSerial>();
  ASSERT_EQ(S_OK, serial->put_Port(Variant::UI1(4)));
  ASSERT_EQ(S_OK, serial->put_BaudRate(Variant::UI4(19200)));
  ComPtr<MemoryStream> stream = MakeObject<MemoryStream>();
  ASSERT_EQ(S_OK, serial->Save(stream.get(), true));
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x09, 0x00, 0x00, 0x11, 0x00, 0x04, 0x13, 0x00, 0x00, 0x4B,
                                  0x00, 0x00}),
            stream->data());
  ComPtr<MemoryStream> later = MakeObject<MemoryStream>(std::vector<uint8_t>{
      0x00, 0x0A, 0x00, 0x00, 0x11, 0x00, 0x04, 0x13, 0x00, 0x00, 0x4B, 0x00, 0x00});
  EXPECT_EQ(E_FAIL, serial->Load(later.get()));
}

}  // namespace
}  // namespace zel
