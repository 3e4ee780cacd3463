// The server extensions: the sample attached, told of status changes and detached; every kind of
// broken extension skipped with a system-log line while the loading goes on; a rejecting one
// stopping the loading and failing the collection, as a missing key does.
#include "utils/server_extensions.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "platform/guid.h"
#include "platform/system_log.h"
#include "server/collection_slots.h"
#include "server/server_test_fixture.h"
#include "utils/utils_registration.h"

namespace zel {
namespace {

std::string ClassIdText(uint16_t number) { return GuidToString(ZelClassId(kIdCoclass, number)); }

class ServerExtensionsTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    RegisterUtilsClasses();
    trace_ = dir_ + "/trace.txt";
    setenv("ZEL_TEST_EXTENSION_TRACE", trace_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ZEL_TEST_EXTENSION_TRACE");
    UnregisterCollectionSlot(kSlotExtensions);
    ServerTest::TearDown();
  }
  // Lists an extension: `library` "" leaves the value out.
  void List(const std::string& name, const std::string& library) {
    RegKey key;
    ASSERT_EQ(S_OK,
              RegKey::LocalMachine().Create(std::string(kServerExtensionsKey) + "\\" + name, &key));
    if (!library.empty()) {
      ASSERT_EQ(S_OK, key.SetString(kExtensionLibraryValue, library));
    }
  }
  std::string Trace() {
    std::ifstream in(trace_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static std::string NameOf(CZelServerExtensions* collection, int32_t position) {
    Variant item;
    EXPECT_EQ(S_OK, collection->Item(Variant::I4(position), Variant(), &item));
    ComPtr<IZelServerExtension> extension;
    EXPECT_EQ(S_OK,
              item.dispatch()->QueryInterface(IZelServerExtension::kIid, extension.ReceiveVoid()));
    BStr name;
    EXPECT_EQ(S_OK, extension->get_Name(&name));
    return name.str();
  }

  std::string trace_;
};

TEST_F(ServerExtensionsTest, TheSampleIsAttachedToldOfEachStatusAndDetached) {
  List(ClassIdText(0x33), ZEL_SAMPLE_EXTENSION);
  ComPtr<CZelServerExtensions> collection = MakeObject<CZelServerExtensions>();
  ASSERT_EQ(S_OK, collection->Load(RegKey::LocalMachine(), server_.get()));
  int32_t count = 0;
  ASSERT_EQ(S_OK, collection->get_Count(&count));
  ASSERT_EQ(1, count);
  EXPECT_EQ("sample attached=1 status=" + std::to_string(server_->status()) + " changes=0",
            NameOf(collection.get(), 1));
  collection->StatusChanged(ssStarting);
  collection->StatusChanged(ssInteractive);
  EXPECT_EQ("sample attached=1 status=16 changes=2", NameOf(collection.get(), 1));
  Variant item;
  EXPECT_EQ(E_INVALIDARG, collection->Item(Variant::I4(2), Variant(), &item));
  EXPECT_EQ(E_INVALIDARG, collection->Item(Variant::I4(0), Variant(), &item));
  // Holding the extension past its collection: it was detached when the collection went.
  ASSERT_EQ(S_OK, collection->Item(Variant::I4(1), Variant(), &item));
  ComPtr<IZelServerExtension> kept;
  ASSERT_EQ(S_OK, item.dispatch()->QueryInterface(IZelServerExtension::kIid, kept.ReceiveVoid()));
  item = Variant();
  collection = nullptr;
  BStr name;
  ASSERT_EQ(S_OK, kept->get_Name(&name));
  EXPECT_EQ("sample attached=0 status=16 changes=2", name.str());
}

TEST_F(ServerExtensionsTest, TheServerAttachesThemAtStartAndPassesEveryStatus) {
  List(ClassIdText(0x33), ZEL_SAMPLE_EXTENSION);
  ComPtr<IDispatch> extensions;
  ASSERT_EQ(S_OK, server_->get_Extensions(extensions.Receive()));
  server_->ChangeStatus(ssStarting, S_OK);
  auto* collection = static_cast<CZelServerExtensions*>(extensions.get());
  EXPECT_EQ("sample attached=1 status=1 changes=1", NameOf(collection, 1));
}

TEST_F(ServerExtensionsTest, BrokenExtensionsAreSkippedWithALogLineAndTheRestLoad) {
  List("not-a-class-id", ZEL_SAMPLE_EXTENSION);
  List(ClassIdText(0x40), ZEL_FAULTY_EXTENSION);           // good
  List(ClassIdText(0x42), ZEL_FAULTY_EXTENSION);           // factory throws
  List(ClassIdText(0x43), ZEL_FAULTY_EXTENSION);           // no extension interface
  List(ClassIdText(0x45), "");                             // no library named
  List(ClassIdText(0x46), ZEL_NO_FACTORY_EXTENSION);       // no factory
  List(ClassIdText(0x47), "/nonexistent/libzelext_x.so");  // does not load
  List(ClassIdText(0x48), ZEL_SAMPLE_EXTENSION);           // the sample knows no such class
  ScopedSystemLogCapture capture;
  ComPtr<CZelServerExtensions> collection = MakeObject<CZelServerExtensions>();
  EXPECT_EQ(S_FALSE, collection->Load(RegKey::LocalMachine(), server_.get()));
  int32_t count = 0;
  ASSERT_EQ(S_OK, collection->get_Count(&count));
  EXPECT_EQ(1, count);
  auto reports = capture.reports();
  ASSERT_EQ(7u, reports.size());
  const char* reasons[] = {"no class id",        "factory threw", "wrong interface", "no library",
                           "no ZelCreateServer", "does not load", "factory failed"};
  for (size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(MSG_EXTENSION_SKIPPED, reports[i].message_id);
    EXPECT_NE(std::string::npos, reports[i].extra.find(reasons[i])) << reports[i].extra;
  }
  collection = nullptr;
  EXPECT_EQ("40+ 40- ", Trace());
}

TEST_F(ServerExtensionsTest, ARejectingExtensionStopsTheLoadingAndTheCollection) {
  for (uint16_t rejecting : {0x41, 0x44}) {  // returns a failure; throws
    SCOPED_TRACE(rejecting);
    (void)RegKey::LocalMachine().DeleteTree(kServerExtensionsKey);
    List(ClassIdText(0x40), ZEL_FAULTY_EXTENSION);
    List(ClassIdText(rejecting), ZEL_FAULTY_EXTENSION);
    List(ClassIdText(0x47), ZEL_FAULTY_EXTENSION);  // never reached: it sorts after them
    std::remove(trace_.c_str());
    ScopedSystemLogCapture capture;
    ComPtr<CZelServerExtensions> collection = MakeObject<CZelServerExtensions>();
    EXPECT_EQ(E_FAIL, collection->Load(RegKey::LocalMachine(), server_.get()));
    collection = nullptr;
    // The good one was attached, the rejecting one released without a detach, the good one
    // detached with the collection.
    EXPECT_EQ(rejecting == 0x41 ? "40+ 41+ 40- " : "40+ 40- ", Trace());
    ASSERT_EQ(1u, capture.reports().size());
  }
  // Through the server: the collection is not made.
  ComPtr<IDispatch> extensions;
  EXPECT_EQ(E_FAIL, server_->get_Extensions(extensions.Receive()));
}

TEST_F(ServerExtensionsTest, AMissingKeyFailsAndALongNameEndsTheList) {
  ComPtr<CZelServerExtensions> collection = MakeObject<CZelServerExtensions>();
  EXPECT_EQ(E_REG_NOT_FOUND, collection->Load(RegKey::LocalMachine(), server_.get()));
  // A name of 40 characters or more ends the enumeration as its end does: the sample after it
  // is never seen, and that is success.
  List("{00000000-0000-0000-0000-000000000000}x", ZEL_SAMPLE_EXTENSION);   // 39 characters
  List("{00000000-0000-0000-0000-000000000000}xy", ZEL_SAMPLE_EXTENSION);  // 40
  List(ClassIdText(0x33), ZEL_SAMPLE_EXTENSION);
  ScopedSystemLogCapture capture;
  collection = MakeObject<CZelServerExtensions>();
  EXPECT_EQ(S_FALSE, collection->Load(RegKey::LocalMachine(), server_.get()));
  int32_t count = -1;
  ASSERT_EQ(S_OK, collection->get_Count(&count));
  EXPECT_EQ(0, count);
  EXPECT_EQ(1u, capture.reports().size());  // the 39-character name, which is no class id
}

}  // namespace
}  // namespace zel
