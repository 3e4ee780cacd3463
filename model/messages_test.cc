// Buttons, user codes, messages and expansions: the button and message command frames, the
// codes' setup-block values (and nothing of the code itself), the one-exchange message poll with
// its per-model headers and bit layout, and the expansions that are never polled.
#include "model/messages.h"

#include <gtest/gtest.h>

#include <cmath>

#include "model/buttons.h"
#include "model/codes.h"
#include "model/expansions.h"
#include "model/object_test_fixture.h"

namespace zel {
namespace {

class MessagesTest : public ObjectTest {
 protected:
  // The message status reply of model 7 (17 data bytes) with the given bytes from reply byte 4.
  static Bytes StatusReply(std::initializer_list<uint8_t> bits) {
    Bytes data(17, 0);
    size_t at = 1;
    for (uint8_t b : bits) data[at++] = b;
    return SealFrame(0x25, data);
  }
  void AnswerStatusWith(Bytes reply) {
    status_reply_ = std::move(reply);
    answer_hook_ = [this](const Bytes& request) -> std::optional<Bytes> {
      if (request[2] != 0x24) return std::nullopt;
      return status_reply_;
    };
  }
  ComPtr<IZelMessages> Messages() {
    ComPtr<IZelMessages> m;
    EXPECT_EQ(S_OK, QueryAs<IZelMessages>(Collection(kSlotMessages).get(), &m));
    return m;
  }
  static std::pair<bool, bool> Flags(CZelMessage* m) {
    VariantBool displayed, acknowledged;
    EXPECT_EQ(S_OK, m->get_Displayed(&displayed));
    EXPECT_EQ(S_OK, m->get_Acknowledged(&acknowledged));
    return {displayed.value == VARIANT_TRUE, acknowledged.value == VARIANT_TRUE};
  }
  static Bytes StatusRequest() { return {0x5A, 0x01, 0x24, 0x01, 0x8B}; }

  Bytes status_reply_;
};

// ---- Buttons --------------------------------------------------------------------------------

TEST_F(MessagesTest, ButtonExecuteSendsCommand7AndRefreshesNothing) {
  Connect(7);
  ComPtr<CZelButton> button = AddElement<CZelButton>(kSlotButtons, 2, "GOOD NIGHT");
  ASSERT_EQ(S_OK, button->Execute());
  EXPECT_EQ((std::vector<Bytes>{{0x5A, 0x05, 0x0F, 0x07, 0x00, 0x00, 0x02, 0xD4, 0xE1}}),
            link_->frames());
  nak_commands_ = true;
  EXPECT_EQ(CO_E_NOT_SUPPORTED, button->Execute());
  ExpectDispids(button.get(), {{"Execute", 0x60030000}});
  Variant interval;
  ASSERT_EQ(S_OK, Collection(kSlotButtons)->get_UpdateInterval(&interval));
  EXPECT_EQ(VT_EMPTY, interval.vt());
}

// ---- Codes ----------------------------------------------------------------------------------

TEST_F(MessagesTest, CodesReadAuthorityAndAccessWindowFromTheSetup) {
  SetUserCode(2, 1234);
  setup_[329 + 14 + 2] = 3;  // authority of code 2
  setup_[329 + 14 + 4] = 7;  // start 07:30 on 1/15
  setup_[329 + 14 + 5] = 30;
  setup_[329 + 14 + 6] = 1;
  setup_[329 + 14 + 7] = 15;
  setup_[329 + 14 + 9] = 18;  // end 18:05 on 12/31
  setup_[329 + 14 + 10] = 5;
  setup_[329 + 14 + 11] = 12;
  setup_[329 + 14 + 12] = 31;
  Connect(7);
  ComPtr<CZelCode> code = AddElement<CZelCode>(kSlotCodes, 2, "GUEST");
  Variant level, start, end;
  ASSERT_EQ(S_OK, code->get_AuthorityLevel(&level));
  EXPECT_EQ(Variant::I4(3), level);
  ASSERT_EQ(S_OK, code->get_AccessStart(&start));
  ASSERT_EQ(VT_DATE, start.vt());
  ASSERT_EQ(S_OK, code->get_AccessEnd(&end));
  ASSERT_EQ(VT_DATE, end.vt());
  // Whole days and the time of day: 07:30 and 18:05 of their days.
  double start_time = start.date().value - std::floor(start.date().value);
  double end_time = end.date().value - std::floor(end.date().value);
  EXPECT_NEAR((7 * 60 + 30) / 1440.0, start_time, 1e-6);
  EXPECT_NEAR((18 * 60 + 5) / 1440.0, end_time, 1e-6);
  EXPECT_TRUE(link_->frames().empty()) << "read from the downloaded setup";
}

TEST_F(MessagesTest, CodesOutsideTheSetupReadZeroWithoutAParameter) {
  Connect(7);
  // Code 0, the model's 16 codes + 1, and a built-in code.
  for (uint16_t id : {0, 17, 250}) {
    ComPtr<CZelCode> code = AddElement<CZelCode>(kSlotCodes, id);
    Variant level, start, end;
    ASSERT_EQ(S_OK, code->get_AuthorityLevel(&level)) << id;
    EXPECT_EQ(Variant::I4(0), level) << id;
    ASSERT_EQ(S_OK, code->get_AccessStart(&start)) << id;
    EXPECT_EQ(Variant::FromDate(Date{0.0}), start) << id;
    ASSERT_EQ(S_OK, code->get_AccessEnd(&end)) << id;
    EXPECT_EQ(Variant::FromDate(Date{0.0}), end) << id;
  }
}

TEST_F(MessagesTest, CodeExposesNoDigits) {
  SetUserCode(1, 4321);
  Connect(7);
  ComPtr<CZelCode> code = AddElement<CZelCode>(kSlotCodes, 1, "OWNER");
  ExpectDispids(code.get(),
                {{"AuthorityLevel", 0x531}, {"AccessStart", 0x532}, {"AccessEnd", 0x533}});
  // Saved and listed properties hold only the common five: nothing of the code.
  EXPECT_EQ((std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY"}),
            SavedKeys(code.get()));
  for (const MemberInfo& m : CZelCode::Members().members()) {
    EXPECT_EQ(std::string::npos, m.name.find("Code")) << m.name;
  }
}

// ---- Messages -------------------------------------------------------------------------------

TEST_F(MessagesTest, HeadersByModel) {
  struct Case {
    int model;
    bool has;
    uint8_t length;
  };
  for (Case c : std::initializer_list<Case>{{0, false, 0},
                                            {1, true, 0x22},
                                            {2, true, 0x22},
                                            {3, true, 0x06},
                                            {4, true, 0x12},
                                            {5, true, 0x22},
                                            {6, false, 0},
                                            {7, true, 0x12},
                                            {8, false, 0},
                                            {9, true, 0x12},
                                            {10, true, 0x22},
                                            {-1, false, 0}}) {
    uint8_t header[3] = {0, 0, 0};
    ASSERT_EQ(c.has, ExpectedMessageStatusHeader(c.model, header)) << c.model;
    if (c.has) {
      EXPECT_EQ((Bytes{0x5A, c.length, 0x25}), Bytes(header, header + 3)) << c.model;
    }
  }
}

TEST_F(MessagesTest, OneExchangeGivesEveryMessageItsTwoBits) {
  Connect(7);
  std::vector<ComPtr<CZelMessage>> m;
  for (uint16_t id = 1; id <= 5; ++id) m.push_back(AddElement<CZelMessage>(kSlotMessages, id));
  // Byte 4: messages 1 to 4 with values 3, 2, 1, 0; byte 5: message 5 with value 1 (top bits).
  AnswerStatusWith(StatusReply({0xE4, 0x40}));
  ASSERT_EQ(S_OK, Collection(kSlotMessages)->Update(true, kAllElements));
  EXPECT_EQ(std::vector<Bytes>{StatusRequest()}, link_->frames());
  EXPECT_EQ(std::make_pair(true, false), Flags(m[0].get()));
  EXPECT_EQ(std::make_pair(false, false), Flags(m[1].get()));
  EXPECT_EQ(std::make_pair(true, true), Flags(m[2].get()));
  EXPECT_EQ(std::make_pair(false, true), Flags(m[3].get()));
  EXPECT_EQ(std::make_pair(true, true), Flags(m[4].get()));

  // One element's refresh is the same one exchange.
  link_->ClearSent();
  AnswerStatusWith(StatusReply({0x00, 0x00}));
  ASSERT_EQ(S_OK, Collection(kSlotMessages)->Update(true, 2));
  EXPECT_EQ(std::vector<Bytes>{StatusRequest()}, link_->frames());
  EXPECT_EQ(std::make_pair(false, true), Flags(m[0].get()));
}

TEST_F(MessagesTest, WrongHeaderOrModelKeepsTheFlags) {
  Connect(7);
  ComPtr<CZelMessage> m = AddElement<CZelMessage>(kSlotMessages, 1);
  AnswerStatusWith(StatusReply({0xC0}));
  ASSERT_EQ(S_OK, Collection(kSlotMessages)->Update(true, kAllElements));
  // Another model's length, a negative acknowledge, another type.
  for (Bytes reply : {SealFrame(0x25, Bytes(33, 0)), NakBytes(), SealFrame(0x26, Bytes(17, 0))}) {
    AnswerStatusWith(reply);
    EXPECT_EQ(E_FAIL, Collection(kSlotMessages)->Update(true, kAllElements));
    EXPECT_EQ(std::make_pair(true, false), Flags(m.get()));
  }
  link_->SetFailing(true);
  EXPECT_EQ(E_COMM_TIMEOUT, Collection(kSlotMessages)->Update(true, kAllElements));
  EXPECT_EQ(std::make_pair(true, false), Flags(m.get()));
}

TEST_F(MessagesTest, MessagesBeyondTheReplyKeepTheirFlags) {
  Connect(7);
  ComPtr<CZelMessage> last = AddElement<CZelMessage>(kSlotMessages, 64);
  ComPtr<CZelMessage> beyond = AddElement<CZelMessage>(kSlotMessages, 65);
  Bytes data(17, 0xFF);  // every message displayed, not acknowledged
  AnswerStatusWith(SealFrame(0x25, data));
  ASSERT_EQ(S_OK, Collection(kSlotMessages)->Update(true, kAllElements));
  EXPECT_EQ(std::make_pair(true, false), Flags(last.get()));
  EXPECT_EQ(std::make_pair(false, false), Flags(beyond.get())) << "as created";
}

TEST_F(MessagesTest, ModelZeroHasNoIntervalAndNoStatus) {
  UseModel(0);
  Connect(0);
  AddElement<CZelMessage>(kSlotMessages, 1);
  Variant interval;
  ASSERT_EQ(S_OK, Collection(kSlotMessages)->get_UpdateInterval(&interval));
  EXPECT_EQ(Variant::UI4(0), interval);
  AnswerStatusWith(StatusReply({0xC0}));
  EXPECT_EQ(E_FAIL, Collection(kSlotMessages)->Update(true, kAllElements));
}

TEST_F(MessagesTest, InitPollsAndSetsHasStatus) {
  Connect(7);
  ComPtr<CZelMessage> m = AddElement<CZelMessage>(kSlotMessages, 3);
  VariantBool has;
  ASSERT_EQ(S_OK, Messages()->get_HasStatus(&has));
  EXPECT_EQ(VARIANT_FALSE, has.value);
  ASSERT_EQ(S_OK, Collection(kSlotMessages)->put_UpdateInterval(Variant::UI4(0)));
  AnswerStatusWith(StatusReply({0x04}));
  ASSERT_EQ(S_OK, Collection(kSlotMessages)->Init());
  ASSERT_EQ(S_OK, Messages()->get_HasStatus(&has));
  EXPECT_EQ(VARIANT_TRUE, has.value);
  EXPECT_EQ(std::make_pair(true, true), Flags(m.get()));
}

TEST_F(MessagesTest, EveryCommandsFrameAndWhichRefresh) {
  Connect(7);
  ComPtr<CZelMessage> m = AddElement<CZelMessage>(kSlotMessages, 3);
  AnswerStatusWith(StatusReply({0x00}));
  struct Case {
    std::function<HRESULT()> call;
    Bytes command;
    bool refresh;
  };
  const Case cases[] = {
      {[&] { return m->Log(); }, {0x5A, 0x05, 0x0F, 0x51, 0x00, 0x00, 0x03, 0x04, 0xA9}, false},
      {[&] { return m->Show(); }, {0x5A, 0x05, 0x0F, 0x50, 0x00, 0x00, 0x03, 0x05, 0x55}, true},
      {[&] { return m->Clear(); }, Command(0x52, 0, 3), true},
      {[&] { return m->Say(Variant::Missing()); }, Command(0x53, 0, 3), false},
      {[&] { return m->Say(Variant::I4(2)); }, Command(0x54, 2, 3), false},
      {[&] { return m->Send(Variant::Missing()); }, Command(0x55, 2, 3), false},
      {[&] { return m->Send(Variant::Str("1")); }, Command(0x55, 1, 3), false},
      {[&] { return Messages()->Clear(Variant::Missing()); }, Command(0x52, 0, 0), true},
      {[&] { return Messages()->Clear(Variant::I4(3)); }, Command(0x52, 3, 0), true},
      {[&] { return Messages()->Clear(Variant::I4(259)); }, Command(0x52, 3, 0), true},
      {[&] { return Messages()->Clear(Variant::R8(2.0)); }, Command(0x52, 2, 0), true},
  };
  for (const Case& c : cases) {
    link_->ClearSent();
    ASSERT_EQ(S_OK, c.call());
    std::vector<Bytes> expected = {c.command};
    if (c.refresh) expected.push_back(StatusRequest());
    EXPECT_EQ(expected, link_->frames());
  }
}

TEST_F(MessagesTest, BadArgumentsAndRefusedCommands) {
  Connect(7);
  ComPtr<CZelMessage> m = AddElement<CZelMessage>(kSlotMessages, 3);
  EXPECT_EQ(DISP_E_OVERFLOW, m->Say(Variant::I4(256)));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, m->Send(Variant::Str("port")));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, Messages()->Clear(Variant::Str("area")));
  EXPECT_TRUE(link_->frames().empty());
  nak_commands_ = true;
  EXPECT_EQ(CO_E_NOT_SUPPORTED, m->Show());
  EXPECT_EQ(CO_E_NOT_SUPPORTED, Messages()->Clear(Variant::Missing()));
  EXPECT_EQ(2u, link_->sent_count()) << "no poll after a refused command";
}

TEST_F(MessagesTest, MessageMembersAndPropertyMap) {
  Connect(7);
  ComPtr<CZelMessage> m = AddElement<CZelMessage>(kSlotMessages, 1, "DINNER IS READY");
  ExpectDispids(m.get(), {{"Displayed", 0x60030000},
                          {"Acknowledged", 0x60030001},
                          {"Log", 0x60030002},
                          {"Show", 0x60030003},
                          {"Clear", 0x60030004},
                          {"Say", 0x60030005},
                          {"Send", 0x60030006}});
  ExpectDispids(Messages().get(), {{"HasStatus", 0x60040000}, {"Clear", 0x60040001}});
  EXPECT_EQ((std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY", "DISPLAYED",
                                      "ACKNOWLEDGED"}),
            SavedKeys(m.get()));
  Variant interval;
  ASSERT_EQ(S_OK, Collection(kSlotMessages)->get_UpdateInterval(&interval));
  EXPECT_EQ(Variant::UI4(5000), interval);
}

// ---- Expansions -----------------------------------------------------------------------------

TEST_F(MessagesTest, ExpansionsAreNeverPolledAndTakeStatusAsGiven) {
  setup_[1134] = 7;  // parameter 9 of model 7: expansion 1's type
  Connect(7);
  ComPtr<CZelExpansion> e = AddElement<CZelExpansion>(kSlotExpansions, 1);
  EXPECT_EQ(S_FALSE, Collection(kSlotExpansions)->Update(true, 1));
  EXPECT_TRUE(link_->frames().empty());
  Variant type;
  ASSERT_EQ(S_OK, e->get_Type(&type));
  EXPECT_EQ(Variant::I4(7), type);

  ComPtr<IPersistMemory> memory;
  ASSERT_EQ(S_OK, QueryAs<IPersistMemory>(static_cast<IZelExpansion*>(e.get()), &memory));
  const uint8_t data[2] = {4, 180};
  EXPECT_EQ(E_FAIL, memory->Load(data, 2)) << "one data byte";
  ASSERT_EQ(S_OK, memory->Load(data, 3));
  int32_t status = 0, battery = 0;
  ASSERT_EQ(S_OK, e->get_Status(&status));
  ASSERT_EQ(S_OK, e->get_BatteryLevel(&battery));
  EXPECT_EQ(4, status);
  EXPECT_EQ(180, battery);

  // Expansions have no names of their own.
  EXPECT_EQ(CO_E_NOT_SUPPORTED, e->put_Name(BStr("BARN")));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(MessagesTest, ExpansionMembersAndPropertyMap) {
  Connect(7);
  ComPtr<CZelExpansion> e = AddElement<CZelExpansion>(kSlotExpansions, 2);
  ExpectDispids(e.get(),
                {{"Type", 0x60030000}, {"Status", 0x60030001}, {"BatteryLevel", 0x60030002}});
  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  ASSERT_EQ(S_OK, bag->Write("STATUS", Variant::UI2(9)));
  ASSERT_EQ(S_OK, bag->Write("BATTERYLEVEL", Variant::UI2(77)));
  ASSERT_EQ(S_OK, e->Load(bag.get()));
  int32_t battery = 0;
  ASSERT_EQ(S_OK, e->get_BatteryLevel(&battery));
  EXPECT_EQ(77, battery);
  EXPECT_EQ((std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY", "STATUS",
                                      "BATTERYLEVEL"}),
            SavedKeys(e.get()));
}

}  // namespace
}  // namespace zel
