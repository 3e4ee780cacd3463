// Client calls against running update threads on one link: readers (Count, Item by position,
// name and ID, Name, FriendlyName), writers (FriendlyName, Display, Add, names applied), whole
// and single-element updates, and the server's reset, all at once. Meant to run under the
// thread sanitizer (build with -DZEL_SANITIZE=thread); without it, it checks that the answers
// stay consistent and nothing crashes or hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "model/collection_interfaces.h"
#include "model/model_registration.h"
#include "model/name_records.h"
#include "platform/resource_library.h"
#include "platform/text_encoding.h"
#include "server/zel_server.h"
#include "testing/fake_link.h"

namespace zel {
namespace {

constexpr int kZones = 24;
constexpr auto kRunFor = std::chrono::milliseconds(400);

class StressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::shared_ptr<const ResourceLibrary> lib;
    ASSERT_EQ(S_OK, ResourceLibrary::Parse("[strings]\n103 = Unknown\n", &lib));
    InstallResources(lib);
    RegisterModelClasses();
    Clock::SetForTesting(&clock_);
    server_ = MakeObject<CZelServer>();
    link_ = MakeObject<FakeLink>();
    // Zone and unit polls answer with a status that changes every time; name uploads are
    // acknowledged.
    link_->SetAnswer([this](const Bytes& r) -> Bytes {
      if (r[2] == 0x0B) return AckBytes();
      uint8_t n = static_cast<uint8_t>(++polls_);
      return SealFrame(static_cast<uint8_t>(r[2] + 1), {n, n, 0});
    });
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(link_.get()));
  }
  void TearDown() override {
    server_->reset();
    server_.reset();
    Clock::SetForTesting(nullptr);
    InstallResources(nullptr);
  }
  ComPtr<IZelCollection> Collection(int slot) {
    ComPtr<IDispatch> d;
    EXPECT_EQ(S_OK, server_->GetCollection(slot, d.Receive()));
    ComPtr<IZelCollection> c;
    QueryAs<IZelCollection>(d.get(), &c);
    return c;
  }
  static std::string ZoneName(int id) { return "ZONE " + std::to_string(id); }

  ScaledClock clock_{1000};
  ComPtr<CZelServer> server_;
  ComPtr<FakeLink> link_;
  std::atomic<int> polls_{0};
};

TEST_F(StressTest, ClientsAgainstUpdateThreads) {
  for (int id = 1; id <= kZones; ++id) {
    NameRecord zone{1, static_cast<uint16_t>(id), ZoneName(id)};
    ASSERT_EQ(S_OK, ApplyNameRecord(&zone, kNamesVersion2));
    NameRecord unit{2, static_cast<uint16_t>(id), "UNIT"};
    ASSERT_EQ(S_OK, ApplyNameRecord(&unit, kNamesVersion2));
  }
  ComPtr<IZelCollection> zones = Collection(kSlotZones);
  ComPtr<IZelCollection> units = Collection(kSlotUnits);
  // Both poll as fast as the clock lets them (1 ms waits).
  zones->put_UpdateInterval(Variant::UI4(10));
  units->put_UpdateInterval(Variant::UI4(10));
  ASSERT_EQ(S_OK, zones->Init());
  ASSERT_EQ(S_OK, units->Init());

  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::atomic<int> reads{0};
  std::vector<std::thread> threads;

  // Readers: every lookup finds the element it asks for, with its name.
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&, r] {
      int i = r;
      while (!stop) {
        int id = 1 + (i++ % kZones);
        Variant item;
        Variant index =
            (i % 3 == 0) ? Variant::Str(BStr(AsciiToLower(ZoneName(id)))) : Variant::Missing();
        HRESULT hr = (i % 3 == 0) ? zones->Item(index, Variant::Missing(), &item)
                                  : zones->Item(Variant::I4(1), Variant::I4(id), &item);
        ComPtr<IZelCollectionElement> e;
        if (hr != S_OK || Failed(QueryAs<IZelCollectionElement>(item.dispatch(), &e))) {
          ++mismatches;
          continue;
        }
        BStr name;
        BStr friendly;
        e->get_Name(&name);
        e->get_FriendlyName(&friendly);
        if (name.str() != ZoneName(id)) ++mismatches;
        int32_t count = 0;
        zones->get_Count(&count);
        if (count < kZones) ++mismatches;
        Variant position;
        zones->Item(Variant::I4(count), Variant::Missing(), &position);
        ++reads;
      }
    });
  }
  // A writer of friendly names and display flags, and of names through the names path.
  threads.emplace_back([&] {
    int i = 0;
    while (!stop) {
      int id = 1 + (i++ % kZones);
      Variant item;
      if (zones->Item(Variant::I4(1), Variant::I4(id), &item) != S_OK) continue;
      ComPtr<IZelCollectionElement> e;
      QueryAs<IZelCollectionElement>(item.dispatch(), &e);
      e->put_FriendlyName(BStr(i % 2 ? "Friendly" : ""));
      e->put_Display(VariantBool{static_cast<VARIANT_BOOL>(i % 2 ? VARIANT_TRUE : VARIANT_FALSE)});
      NameRecord again{1, static_cast<uint16_t>(id), ZoneName(id)};
      ApplyNameRecord(&again, kNamesVersion2);
    }
  });
  // Client updates: whole passes (waiting) and single elements; a client rename.
  threads.emplace_back([&] {
    int i = 0;
    while (!stop) {
      units->Update(true, kAllElements);
      zones->Update(true, static_cast<uint32_t>(1 + (i++ % kZones)));
      zones->TryUpdate(true, kAllElements);
      Variant item;
      if (units->Item(Variant::I4(1), Variant::Missing(), &item) == S_OK) {
        ComPtr<IZelCollectionElement> e;
        QueryAs<IZelCollectionElement>(item.dispatch(), &e);
        e->put_Name(BStr("UNIT"));
      }
    }
  });
  // Units keep arriving while everything else runs.
  threads.emplace_back([&] {
    uint16_t id = kZones + 1;
    while (!stop && id < 2000) {
      NameRecord unit{2, id++, "NEW"};
      ApplyNameRecord(&unit, kNamesVersion2);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  std::this_thread::sleep_for(kRunFor);
  // The server's reset stops the threads and lets the collections go while clients hold them.
  server_->reset();
  stop = true;
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(0, mismatches.load());
  EXPECT_GT(reads.load(), 100);
  EXPECT_GT(polls_.load(), 2 * kZones);
  int32_t count = 0;
  units->get_Count(&count);
  EXPECT_GT(count, kZones);
  // Released by the server, the collections now belong to this test alone.
  zones->StopUpdate();
  units->StopUpdate();
}

}  // namespace
}  // namespace zel
