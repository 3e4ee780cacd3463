// The fixture the zone, unit and area tests share: a server (ServerTest) with the object model
// registered, a FakeLink as its transport, and a small controller behind the link. Identity
// requests (system information, the setup upload) go to a FakeController; the controller here
// answers commands (recorded, acknowledged unless told otherwise), zone status (0x15), unit
// status (0x17), system status (0x13) and the one-object status requests of the other kinds
// (item_status_, by message type) from tables the test fills; exchanges of other shapes go to
// the test's own answer function (answer_hook_) first.
//
// Connect(model index) reads the system information and downloads a setup block that the test
// has filled by meaning (zone types and areas, user codes, house codes, lighting formats) at the
// model's offsets. The offsets are written out here from the parameter table, independently of
// the server's own table.
//
// Thread contract: the test's thread; the controller is only called from inside SendRequest.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model/collection.h"
#include "model/model_registration.h"
#include "platform/property_bag.h"
#include "server/server_test_fixture.h"
#include "testing/fake_link.h"

namespace zel {

// A clock that records the production durations of the pauses taken while it is installed
// (ScopedClock), and takes none of them.
class PauseRecorder : public ManualClock {
 public:
  Millis Scaled(Millis production) override {
    std::lock_guard<std::mutex> g(mu_);
    pauses_.push_back(production);
    return Millis(0);
  }
  std::vector<Millis> pauses() {
    std::lock_guard<std::mutex> g(mu_);
    return pauses_;
  }

 private:
  std::mutex mu_;
  std::vector<Millis> pauses_;
};

class ObjectTest : public ServerTest {
 protected:
  struct Offsets {
    uint8_t model_code;
    int user_codes;  // parameter 3, 14-byte records
    int zone_area;   // parameter 15, table; -1: the constant 1
    int zone_type;   // parameter 16, table
    int house_code;  // parameter 17, byte
    int format;      // parameter 18, table; -1: the constant 0
  };
  static Offsets OffsetsOf(int model_index) {
    switch (model_index) {
      case 0:
        return {2, 329, 872, 684, 672, -1};
      case 9:
        return {36, 320, -1, 780, 768, 604};
      default:  // 7
        return {30, 329, 1006, 780, 768, 622};
    }
  }

  void SetUp() override {
    ServerTest::SetUp();
    RegisterModelClasses();
    ASSERT_EQ(S_OK, server_->OpenLocalStore());
    link_ = MakeObject<FakeLink>();
    link_->SetAnswer([this](const Bytes& request) { return Answer(request); });
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(link_.get()));
    setup_.assign(4096, 0);
  }

  // ---- The setup block, by meaning, for model_ ----
  void SetZoneType(int zone, uint8_t type) {
    setup_[OffsetsOf(model_).zone_type + zone - 1] = type;
  }
  void SetZoneArea(int zone, uint8_t area) {
    setup_[OffsetsOf(model_).zone_area + zone - 1] = area;
  }
  void SetUserCode(int number, uint16_t code) {
    size_t at = OffsetsOf(model_).user_codes + (number - 1) * 14;
    setup_[at] = static_cast<uint8_t>(code >> 8);
    setup_[at + 1] = static_cast<uint8_t>(code & 0xFF);
  }
  void SetFirstHouseCode(uint8_t value) { setup_[OffsetsOf(model_).house_code] = value; }
  void SetLightingFormat(int group, uint8_t format) {
    setup_[OffsetsOf(model_).format + group] = format;
  }

  // Reads the system information of `model_index` and downloads the setup block as it stands.
  void Connect(int model_index) {
    model_ = model_index;
    FakeControllerConfig config;
    config.model_code = OffsetsOf(model_index).model_code;
    config.setup = setup_;
    config.block_size = 200;
    config.probe_ack = true;
    identity_.emplace(config);
    server_->ChangeStatus(ssInteractive, S_OK);
    BStr model;
    ASSERT_EQ(S_OK, server_->get_Model(&model));
    ASSERT_EQ(model_index, server_->model_index());
    ASSERT_EQ(S_OK, server_->DownloadSetupNow(false));
    link_->ClearSent();
  }
  // Sets the model whose offsets the setup helpers use, before Connect.
  void UseModel(int model_index) { model_ = model_index; }

  // ---- Elements ----
  template <class T>
  ComPtr<T> AddElement(int slot, uint16_t id, const std::string& name = "") {
    ComPtr<T> element = MakeObject<T>();
    ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
    EXPECT_EQ(S_OK, bag->Write("ID", Variant::I4(id)));
    EXPECT_EQ(S_OK, bag->Write("NAME", Variant::Str(BStr(name))));
    EXPECT_EQ(S_OK, element->Load(bag.get()));
    ComPtr<IZelCollection> collection = Collection(slot);
    EXPECT_EQ(S_OK, collection->Add(Variant::Dispatch(static_cast<IDispatch*>(element.get())),
                                    Variant::Missing()));
    return element;
  }
  ComPtr<IZelCollection> Collection(int slot) {
    ComPtr<IDispatch> d;
    EXPECT_EQ(S_OK, server_->GetCollection(slot, d.Receive()));
    ComPtr<IZelCollection> c;
    EXPECT_EQ(S_OK, QueryAs<IZelCollection>(d.get(), &c));
    return c;
  }

  // ---- The controller ----
  static Bytes Command(uint8_t command, uint8_t p1, uint16_t p2) {
    return SealFrame(0x0F,
                     {command, p1, static_cast<uint8_t>(p2 >> 8), static_cast<uint8_t>(p2 & 0xFF)});
  }
  static Bytes ItemRequest(uint8_t type, uint16_t number) {
    if (number < 256) {
      return SealFrame(type, {static_cast<uint8_t>(number), static_cast<uint8_t>(number)});
    }
    uint8_t hi = static_cast<uint8_t>(number >> 8), lo = static_cast<uint8_t>(number & 0xFF);
    return SealFrame(type, {hi, lo, hi, lo});
  }
  static Bytes SystemStatusRequest() { return {0x5A, 0x01, 0x13, 0x40, 0x5D}; }
  // Every member name of `object` resolves to its dispid (a table of the object's interface).
  struct NamedDispid {
    const char* name;
    DISPID id;
  };
  static void ExpectDispids(IDispatch* object, std::initializer_list<NamedDispid> table) {
    for (NamedDispid m : table) {
      DISPID id = 0;
      EXPECT_EQ(S_OK, object->GetIDOfName(m.name, &id)) << m.name;
      EXPECT_EQ(m.id, id) << m.name;
    }
  }
  // The keys a property-bag save of `element` writes, in order.
  template <class T>
  static std::vector<std::string> SavedKeys(T* element) {
    ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
    EXPECT_EQ(S_OK, element->Save(bag.get(), true, true));
    std::vector<std::string> keys;
    for (const auto& [key, value] : bag->entries()) keys.push_back(key);
    return keys;
  }
  // The message types of the requests sent since the last ClearSent.
  std::vector<uint8_t> SentTypes() {
    std::vector<uint8_t> types;
    for (const Bytes& r : link_->frames()) types.push_back(r[2]);
    return types;
  }

  Bytes Answer(const Bytes& request) {
    if (answer_hook_) {
      if (std::optional<Bytes> answer = answer_hook_(request)) return *answer;
    }
    uint8_t type = request[2];
    uint16_t number =
        request[1] == 3 ? request[3] : static_cast<uint16_t>(request[3] << 8 | request[4]);
    switch (type) {
      case 0x0F:
        return nak_commands_ ? NakBytes() : AckBytes();
      case 0x15: {
        auto it = zone_status_.find(number);
        return it == zone_status_.end() ? NakBytes() : SealFrame(0x16, it->second);
      }
      case 0x17: {
        auto it = unit_status_.find(number);
        return it == unit_status_.end() ? NakBytes() : SealFrame(0x18, it->second);
      }
      case 0x13:
        if (system_status_) return *system_status_;
        [[fallthrough]];
      default: {
        auto kind = item_status_.find(type);
        if (kind != item_status_.end() && request[1] >= 3) {
          auto it = kind->second.find(number);
          // The reply's type is the request's plus one, as the controller answers.
          return it == kind->second.end() ? NakBytes()
                                          : SealFrame(static_cast<uint8_t>(type + 1), it->second);
        }
        return identity_ ? identity_->Answer(request) : NakBytes();
      }
    }
  }

  ComPtr<FakeLink> link_;
  std::vector<uint8_t> setup_;
  int model_ = 7;
  std::optional<FakeController> identity_;
  bool nak_commands_ = false;
  std::map<uint16_t, Bytes> zone_status_;  // data bytes of the 0x15 reply
  std::map<uint16_t, Bytes> unit_status_;  // data bytes of the 0x17 reply
  std::optional<Bytes> system_status_;     // the whole 0x13 reply frame
  // Data bytes of one-object status replies: item_status_[request type][object number].
  std::map<uint8_t, std::map<uint16_t, Bytes>> item_status_;
  // Asked first; an empty result falls through to the tables above.
  std::function<std::optional<Bytes>(const Bytes& request)> answer_hook_;
};

}  // namespace zel
