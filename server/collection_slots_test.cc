#include "server/collection_slots.h"

#include <gtest/gtest.h>

#include "server/empty_collection.h"
#include "server/recording_sink.h"
#include "server/server_test_fixture.h"

namespace zel {
namespace {

// Registers hooks for a slot that make RecordingSink collections and log init and stop calls.
class CollectionSlotsTest : public ServerTest {
 protected:
  void TearDown() override {
    server_.reset();
    for (int slot = 0; slot < kCollectionSlotCount; ++slot) UnregisterCollectionSlot(slot);
    ServerTest::TearDown();
  }

  void Plug(int slot, HRESULT init_result = S_OK) {
    CollectionSlotHooks hooks;
    hooks.create = [this, slot](IDispatch** out) -> HRESULT {
      ++created_[slot];
      *out = MakeObject<RecordingSink>("collection " + std::to_string(slot), &log_).Detach();
      return S_OK;
    };
    hooks.init = [this, slot, init_result](IDispatch*) {
      events_.push_back("init " + std::to_string(slot));
      return init_result;
    };
    hooks.stop_update = [this, slot](IDispatch*) {
      events_.push_back("stop " + std::to_string(slot));
      return S_OK;
    };
    hooks.status_changed = [this, slot](IDispatch*, ServerStatus status) {
      events_.push_back("status " + std::to_string(slot) + " " + std::to_string(status));
    };
    RegisterCollectionSlot(slot, std::move(hooks));
  }

  CallLog log_;
  std::vector<std::string> events_;
  int created_[kCollectionSlotCount] = {};
};

TEST_F(CollectionSlotsTest, GettersCreateOnceAndRefuseUnknownSlots) {
  IDispatch* c = reinterpret_cast<IDispatch*>(1);
  EXPECT_EQ(E_FAIL, server_->GetCollection(15, &c));
  EXPECT_EQ(E_FAIL, server_->GetCollection(-1, &c));
  EXPECT_EQ(E_POINTER, server_->get_Zones(nullptr));
  // Nothing plugged in for the zones yet.
  EXPECT_EQ(E_NOTIMPL, server_->get_Zones(&c));
  EXPECT_EQ(nullptr, c);

  Plug(kSlotZones);
  ComPtr<IDispatch> a, b;
  ASSERT_EQ(S_OK, server_->get_Zones(a.Receive()));
  ASSERT_EQ(S_OK, server_->get_Zones(b.Receive()));
  EXPECT_EQ(a, b);
  EXPECT_EQ(1, created_[kSlotZones]);
}

TEST_F(CollectionSlotsTest, ExtensionsDefaultsToAnEmptyCollection) {
  ComPtr<IDispatch> extensions;
  ASSERT_EQ(S_OK, server_->get_Extensions(extensions.Receive()));
  Variant count;
  ASSERT_EQ(S_OK, GetProperty(extensions.get(), "Count", &count));
  EXPECT_EQ(0, count.i4());
}

TEST_F(CollectionSlotsTest, ResetReleasesPolledSlotsOnly) {
  Plug(kSlotUnits);
  Plug(kSlotAudioZones);
  Plug(kSlotCommHandlers);
  Plug(kSlotExtensions);
  ComPtr<IDispatch> c;
  for (int slot : {kSlotUnits, kSlotAudioZones, kSlotCommHandlers, kSlotExtensions}) {
    ASSERT_EQ(S_OK, server_->GetCollection(slot, c.Receive()));
  }
  EXPECT_EQ(S_OK, server_->reset());
  EXPECT_EQ((std::vector<std::string>{"stop 0", "stop 12"}), events_);
  // The next request makes fresh polled collections; the catalogue and extensions stay.
  for (int slot : {kSlotUnits, kSlotAudioZones, kSlotCommHandlers, kSlotExtensions}) {
    ASSERT_EQ(S_OK, server_->GetCollection(slot, c.Receive()));
  }
  EXPECT_EQ(2, created_[kSlotUnits]);
  EXPECT_EQ(2, created_[kSlotAudioZones]);
  EXPECT_EQ(1, created_[kSlotCommHandlers]);
  EXPECT_EQ(1, created_[kSlotExtensions]);
}

TEST_F(CollectionSlotsTest, InitCollectionsVisitsSlotsInOrderAndSkipsFailures) {
  Plug(kSlotZones, E_FAIL);
  Plug(kSlotUnits);
  Plug(kSlotAreas);
  Plug(kSlotExtensions);
  EXPECT_EQ(S_OK, server_->InitCollections());
  EXPECT_EQ((std::vector<std::string>{"init 0", "init 3", "init 10"}), events_);
  EXPECT_EQ(0, created_[kSlotExtensions]);  // not one of the polled slots
}

TEST_F(CollectionSlotsTest, StatusChangesReachTheExtensions) {
  Plug(kSlotExtensions);
  server_->ChangeStatus(ssStopping, S_OK);  // no collection yet: nothing to tell
  ComPtr<IDispatch> c;
  ASSERT_EQ(S_OK, server_->get_Extensions(c.Receive()));
  server_->ChangeStatus(ssStopped, S_OK);
  EXPECT_EQ((std::vector<std::string>{"status 14 18"}), events_);
}

}  // namespace
}  // namespace zel
