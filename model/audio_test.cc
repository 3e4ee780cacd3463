// Audio zones and audio sources: the zone poll and the changes it announces (order, first poll,
// no change), every zone command with its checks, pause and refresh, the source metadata walk,
// the Metadata list, and the outgoing interfaces.
#include <gtest/gtest.h>

#include "model/audio_sources.h"
#include "model/audio_zones.h"
#include "model/bstr_collection.h"
#include "model/object_test_fixture.h"
#include "server/recording_sink.h"

namespace zel {
namespace {

class AudioTest : public ObjectTest {
 protected:
  ComPtr<CZelAudioZone> AddZone(uint16_t id) {
    item_status_[0x31][id] = {255, 0xFF, 0xFF, 255};  // as a new zone stands
    return AddElement<CZelAudioZone>(kSlotAudioZones, id);
  }
  ComPtr<IZelAudioZones> Zones() {
    ComPtr<IZelAudioZones> z;
    EXPECT_EQ(S_OK, QueryAs<IZelAudioZones>(Collection(kSlotAudioZones).get(), &z));
    return z;
  }
  // Connects a recording sink to the collection of `slot` and sets a recording script handler.
  void Watch(int slot) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, QueryAs<IConnectionPointContainer>(Collection(slot).get(), &container));
    ComPtr<IConnectionPoint> point;
    const IID& iid = slot == kSlotAudioZones ? kIidDZelAudioZoneEvents : kIidDZelAudioSourceEvents;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(iid, point.Receive()));
    sink_ = MakeObject<RecordingSink>("sink", &log_);
    uint32_t cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(sink_.get(), &cookie));
    handler_ = MakeObject<RecordingSink>("handler", &log_);
    Variant handler = Variant::Dispatch(handler_.get());
    DISPID put = slot == kSlotAudioZones ? 0x662 : 0x640;
    ASSERT_EQ(S_OK, Collection(slot)->Invoke(put, DISPATCH_PROPERTYPUT, {&handler, 1}, nullptr));
  }
  // The calls since the last look: who, dispid, and the changed dispid of general events.
  struct Seen {
    std::string who;
    DISPID dispid;
    int32_t changed;  // -1 for the specific events
    friend bool operator==(const Seen&, const Seen&) = default;
  };
  std::vector<Seen> TakeCalls(IDispatch* element) {
    std::vector<Seen> out;
    for (const CallLog::Call& c : log_.Snapshot()) {
      EXPECT_EQ(element, c.args.back().dispatch()) << "the element is the last argument";
      out.push_back({c.who, c.dispid, c.args.size() == 2 ? c.args[0].i4() : -1});
    }
    std::lock_guard<std::mutex> g(log_.mu);
    log_.calls.clear();
    return out;
  }
  static IDispatch* AsDispatch(CZelAudioZone* z) {
    return static_cast<IDispatch*>(static_cast<IZelAudioZone*>(z));
  }
  static IDispatch* AsDispatch(CZelAudioSource* s) {
    return static_cast<IDispatch*>(static_cast<IZelAudioSource*>(s));
  }

  CallLog log_;
  ComPtr<RecordingSink> sink_;
  ComPtr<RecordingSink> handler_;
};

// ---- Audio zones ----------------------------------------------------------------------------

TEST_F(AudioTest, FirstPollAnnouncesSourceAndVolumeAlwaysPowerAndMuteUnless255) {
  Connect(7);
  ComPtr<CZelAudioZone> z = AddZone(1);
  Watch(kSlotAudioZones);
  item_status_[0x31][1] = {255, 2, 40, 255};
  ASSERT_EQ(S_OK, Collection(kSlotAudioZones)->Update(false, 1));
  EXPECT_EQ((std::vector<Bytes>{{0x5A, 0x03, 0x31, 0x01, 0x01, 0x91, 0xDB}}), link_->frames());
  EXPECT_EQ((std::vector<Seen>{{"sink", 1, 0x651},
                               {"handler", 0, 0x651},
                               {"sink", 3, -1},
                               {"sink", 1, 0x652},
                               {"handler", 0, 0x652},
                               {"sink", 4, -1}}),
            TakeCalls(AsDispatch(z.get())));
  int32_t value = 0;
  ASSERT_EQ(S_OK, z->get_VolumeLevel(&value));
  EXPECT_EQ(40, value);
  ASSERT_EQ(S_OK, z->get_PowerStatus(&value));
  EXPECT_EQ(psUnknown, value);
}

TEST_F(AudioTest, ChangesAreAnnouncedInFieldOrderAndNoChangeRaisesNothing) {
  Connect(7);
  ComPtr<CZelAudioZone> z = AddZone(1);
  item_status_[0x31][1] = {1, 2, 40, 0};
  ASSERT_EQ(S_OK, Collection(kSlotAudioZones)->Update(true, 1));
  Watch(kSlotAudioZones);
  ASSERT_EQ(S_OK, Collection(kSlotAudioZones)->Update(true, 1));
  EXPECT_TRUE(TakeCalls(AsDispatch(z.get())).empty());

  item_status_[0x31][1] = {1, 2, 55, 1};
  ASSERT_EQ(S_OK, Collection(kSlotAudioZones)->Update(true, 1));
  EXPECT_EQ((std::vector<Seen>{{"sink", 1, 0x652},
                               {"handler", 0, 0x652},
                               {"sink", 4, -1},
                               {"sink", 1, 0x653},
                               {"handler", 0, 0x653},
                               {"sink", 5, -1}}),
            TakeCalls(AsDispatch(z.get())));

  item_status_[0x31][1] = {0, 3, 55, 1};
  ASSERT_EQ(S_OK, Collection(kSlotAudioZones)->Update(true, 1));
  EXPECT_EQ((std::vector<Seen>{{"sink", 1, 0x650},
                               {"handler", 0, 0x650},
                               {"sink", 2, -1},
                               {"sink", 1, 0x651},
                               {"handler", 0, 0x651},
                               {"sink", 3, -1}}),
            TakeCalls(AsDispatch(z.get())));

  // A short reply or a negative acknowledge changes and announces nothing.
  item_status_[0x31][1] = {1, 1, 1};
  EXPECT_EQ(E_FAIL, Collection(kSlotAudioZones)->Update(true, 1));
  item_status_[0x31].erase(1);
  EXPECT_EQ(S_FALSE, Collection(kSlotAudioZones)->Update(true, 1));
  EXPECT_TRUE(TakeCalls(AsDispatch(z.get())).empty());
}

TEST_F(AudioTest, EveryZoneCommandPausesASecondThenRefreshesTheZone) {
  Connect(7);
  ComPtr<CZelAudioZone> z = AddZone(1);
  struct Case {
    std::function<HRESULT()> call;
    Bytes command;
  };
  const Case cases[] = {
      {[&] { return z->put_PowerStatus(psOn); },
       {0x5A, 0x05, 0x0F, 0x70, 0x01, 0x00, 0x01, 0xDE, 0x94}},
      {[&] { return z->put_PowerStatus(psOff); }, Command(0x70, 0, 1)},
      {[&] { return z->put_MuteStatus(msOn); },
       {0x5A, 0x05, 0x0F, 0x70, 0x03, 0x00, 0x01, 0x7F, 0x54}},
      {[&] { return z->put_MuteStatus(msOff); }, Command(0x70, 2, 1)},
      {[&] { return z->put_VolumeLevel(100); },
       {0x5A, 0x05, 0x0F, 0x71, 0x64, 0x00, 0x01, 0xCF, 0x77}},
      {[&] { return z->put_VolumeLevel(0); }, Command(0x71, 0, 1)},
      // Model 7 has six audio sources (units 113 to 118).
      {[&] { return z->put_Source(6); }, {0x5A, 0x05, 0x0F, 0x72, 0x06, 0x00, 0x01, 0x6E, 0xED}},
      {[&] { return z->put_Source(1); }, Command(0x72, 1, 1)},
      {[&] { return z->SelectKey(12); }, {0x5A, 0x05, 0x0F, 0x73, 0x0C, 0x00, 0x01, 0x4F, 0x13}},
  };
  for (const Case& c : cases) {
    link_->ClearSent();
    PauseRecorder pauses;
    {
      ScopedClock use(&pauses);
      ASSERT_EQ(S_OK, c.call());
    }
    EXPECT_EQ((std::vector<Bytes>{c.command, ItemRequest(0x31, 1)}), link_->frames());
    EXPECT_EQ(std::vector<Millis>{Millis(1000)}, pauses.pauses());
  }
}

TEST_F(AudioTest, OutOfRangeArgumentsSendNothing) {
  Connect(7);
  ComPtr<CZelAudioZone> z = AddZone(1);
  EXPECT_EQ(E_INVALIDARG, z->put_VolumeLevel(101));
  EXPECT_EQ(E_INVALIDARG, z->put_VolumeLevel(-1));  // as unsigned: far above 100
  EXPECT_EQ(E_INVALIDARG, z->put_Source(0));
  EXPECT_EQ(E_INVALIDARG, z->put_Source(7));
  EXPECT_EQ(E_INVALIDARG, z->put_Source(-3));
  EXPECT_TRUE(link_->frames().empty());

  // Through dispatch: a volume that is not a number fails its conversion.
  Variant text = Variant::Str("loud");
  EXPECT_EQ(DISP_E_TYPEMISMATCH, z->Invoke(0x652, DISPATCH_PROPERTYPUT, {&text, 1}, nullptr));
  EXPECT_TRUE(link_->frames().empty());

  // A refused command neither pauses nor refreshes, and the zone keeps its state.
  nak_commands_ = true;
  PauseRecorder pauses;
  {
    ScopedClock use(&pauses);
    EXPECT_EQ(CO_E_NOT_SUPPORTED, z->put_PowerStatus(psOn));
  }
  EXPECT_TRUE(pauses.pauses().empty());
  EXPECT_EQ(1u, link_->sent_count());
}

TEST_F(AudioTest, CollectionPutsAddressZone0ThenPollEveryZone) {
  Connect(7);
  AddZone(1);
  AddZone(2);
  PauseRecorder pauses;
  ScopedClock use(&pauses);
  ASSERT_EQ(S_OK, Zones()->put_PowerStatus(psOn));
  EXPECT_EQ((std::vector<Bytes>{Command(0x70, 1, 0), ItemRequest(0x31, 1), ItemRequest(0x31, 2)}),
            link_->frames());
  link_->ClearSent();
  ASSERT_EQ(S_OK, Zones()->put_MuteStatus(msOn));
  EXPECT_EQ(Command(0x70, 3, 0), link_->frames().at(0));
  EXPECT_EQ((std::vector<Millis>{Millis(1000), Millis(1000)}), pauses.pauses());
}

TEST_F(AudioTest, SourceReadsTheSourceElementById) {
  Connect(7);
  ComPtr<CZelAudioZone> z = AddZone(1);
  ComPtr<CZelAudioSource> tuner = AddElement<CZelAudioSource>(kSlotAudioSources, 2, "TUNER");
  item_status_[0x31][1] = {1, 2, 40, 0};
  ASSERT_EQ(S_OK, Collection(kSlotAudioZones)->Update(true, 1));
  Variant source;
  ASSERT_EQ(S_OK, z->get_Source(&source));
  EXPECT_EQ(AsDispatch(tuner.get()), source.dispatch());
  item_status_[0x31][1] = {1, 5, 40, 0};
  ASSERT_EQ(S_OK, Collection(kSlotAudioZones)->Update(true, 1));
  EXPECT_EQ(S_FALSE, z->get_Source(&source)) << "no source 5: the empty element";
  EXPECT_EQ(VT_DISPATCH, source.vt());
}

TEST_F(AudioTest, ZoneMembersPropertyMapAndIntervals) {
  setup_[1142] = 8;  // parameter 19 of model 7: an audio module, so the system has audio
  Connect(7);
  ComPtr<CZelAudioZone> z = AddZone(1);
  ExpectDispids(z.get(), {{"PowerStatus", 0x650},
                          {"Source", 0x651},
                          {"VolumeLevel", 0x652},
                          {"MuteStatus", 0x653},
                          {"SelectKey", 0x60030008}});
  ExpectDispids(Zones().get(),
                {{"PowerStatus", 0x660}, {"MuteStatus", 0x661}, {"OnAudioZoneChange", 0x662}});
  EXPECT_EQ((std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY",
                                      "POWERSTATUS", "SOURCEID", "VOLUMELEVEL", "MUTESTATUS"}),
            SavedKeys(z.get()));
  int32_t value = 0;
  ASSERT_EQ(S_OK, z->get_MuteStatus(&value));
  EXPECT_EQ(255, value);
  ASSERT_EQ(S_OK, z->get_VolumeLevel(&value));
  EXPECT_EQ(0xFFFF, value);
  EXPECT_EQ(CO_E_NOT_SUPPORTED, z->put_Name(BStr("DEN")));
  for (int slot : {kSlotAudioZones, kSlotAudioSources}) {
    Variant interval;
    ASSERT_EQ(S_OK, Collection(slot)->get_UpdateInterval(&interval));
    EXPECT_EQ(Variant::UI4(1000), interval) << slot;
  }
}

TEST_F(AudioTest, OutgoingInterfacesNameTheirEventsInOrder) {
  const std::vector<std::string> zone_events = {
      "OnAudioZoneChange", "OnAudioZonePowerStatusChange", "OnAudioZoneSourceChange",
      "OnAudioZoneVolumeLevelChange", "OnAudioZoneMuteStatusChange"};
  const std::vector<std::string> source_events = {"OnAudioSourceChange",
                                                  "OnAudioSourceMetadataChange",
                                                  "OnAudioSourceSongTitleChange",
                                                  "OnAudioSourceArtistChange",
                                                  "OnAudioSourceGenreChange",
                                                  "OnAudioSourceAlbumNameChange",
                                                  "OnAudioSourceChannelNumberChange",
                                                  "OnAudioSourceChannelNameChange"};
  for (auto [table, names] : {std::pair{&AudioZoneEventsMembers(), zone_events},
                              std::pair{&AudioSourceEventsMembers(), source_events}}) {
    ASSERT_EQ(names.size(), table->members().size());
    for (size_t i = 0; i < names.size(); ++i) {
      const MemberInfo& m = table->members()[i];
      EXPECT_EQ(names[i], m.name);
      EXPECT_EQ(static_cast<DISPID>(i + 1), m.dispid) << m.name;
      EXPECT_EQ(i == 0 ? 2u : 1u, m.accessors.at(0).params.size()) << m.name;
    }
  }
  Connect(7);
  ComPtr<IProvideOutgoingInterface> outgoing;
  ASSERT_EQ(S_OK, QueryAs<IProvideOutgoingInterface>(Collection(kSlotAudioZones).get(), &outgoing));
  IID iid{};
  const MemberTable* members = nullptr;
  ASSERT_EQ(S_OK, outgoing->GetOutgoingInterface(&iid, &members));
  EXPECT_EQ(kIidDZelAudioZoneEvents, iid);
  EXPECT_EQ(&AudioZoneEventsMembers(), members);
}

// ---- Audio sources --------------------------------------------------------------------------

class MetadataWalkTest : public AudioTest {
 protected:
  void SetUp() override {
    AudioTest::SetUp();
    answer_hook_ = [this](const Bytes& request) -> std::optional<Bytes> {
      if (request[2] == 0x33) {
        next_ = 0;
        return records_.empty() ? NakBytes() : records_[next_++];
      }
      if (request == AckBytes() && !records_.empty()) {
        if (next_ < records_.size()) return records_[next_++];
        return ending_;
      }
      return std::nullopt;
    };
  }
  static Bytes Record(uint8_t code, const std::string& text) {
    Bytes data(1 + text.size());
    data[0] = code;
    std::copy(text.begin(), text.end(), data.begin() + 1);
    return SealFrame(0x34, data);
  }
  static std::string TextOf(HRESULT (IZelAudioSource::*getter)(BStr*), IZelAudioSource* s) {
    BStr text;
    EXPECT_EQ(S_OK, (s->*getter)(&text));
    return text.str();
  }
  static std::vector<std::string> MetadataOf(IZelAudioSource* s) {
    ComPtr<IDispatch> list;
    EXPECT_EQ(S_OK, s->get_Metadata(list.Receive()));
    ComPtr<IBSTRCollection> strings;
    EXPECT_EQ(S_OK, QueryAs<IBSTRCollection>(list.get(), &strings));
    int32_t count = 0;
    EXPECT_EQ(S_OK, strings->get_Count(&count));
    std::vector<std::string> out;
    for (int32_t i = 1; i <= count; ++i) {
      BStr item;
      EXPECT_EQ(S_OK, strings->Item(Variant::I4(i), &item));
      out.push_back(item.str());
    }
    return out;
  }

  std::vector<Bytes> records_;
  Bytes ending_ = EndOfDataBytes();
  size_t next_ = 0;
};

TEST_F(MetadataWalkTest, ThreeRecordsThenTheEndFrame) {
  Connect(7);
  ComPtr<CZelAudioSource> s = AddElement<CZelAudioSource>(kSlotAudioSources, 2, "TUNER");
  Watch(kSlotAudioSources);
  records_ = {Record(1, "BLUE IN GREEN"), Record(2, "THE TRIO"), Record(5, "UNNAMED")};
  ASSERT_EQ(S_OK, Collection(kSlotAudioSources)->Update(true, 1));
  EXPECT_EQ((std::vector<Bytes>{
                {0x5A, 0x02, 0x33, 0x02, 0x34, 0xF1}, AckBytes(), AckBytes(), AckBytes()}),
            link_->frames());
  EXPECT_EQ("BLUE IN GREEN", TextOf(&IZelAudioSource::get_SongTitle, s.get()));
  EXPECT_EQ("THE TRIO", TextOf(&IZelAudioSource::get_Artist, s.get()));
  // The general event with the field's dispid, to sinks and then the handler; the unnamed
  // field is not announced, and no field-specific event is raised.
  EXPECT_EQ(
      (std::vector<Seen>{
          {"sink", 1, 0x631}, {"handler", 0, 0x631}, {"sink", 1, 0x632}, {"handler", 0, 0x632}}),
      TakeCalls(AsDispatch(s.get())));

  // The same texts again: nothing announced. The acknowledge may end a walk too.
  ending_ = AckBytes();
  ASSERT_EQ(S_OK, Collection(kSlotAudioSources)->Update(true, 1));
  EXPECT_TRUE(TakeCalls(AsDispatch(s.get())).empty());
}

TEST_F(MetadataWalkTest, EveryFieldCodeLandsInItsText) {
  Connect(7);
  ComPtr<CZelAudioSource> s = AddElement<CZelAudioSource>(kSlotAudioSources, 1);
  struct Case {
    uint8_t code;
    HRESULT (IZelAudioSource::*getter)(BStr*);
  };
  const Case cases[] = {
      {1, &IZelAudioSource::get_SongTitle},     {2, &IZelAudioSource::get_Artist},
      {3, &IZelAudioSource::get_Genre},         {4, &IZelAudioSource::get_AlbumName},
      {6, &IZelAudioSource::get_ChannelNumber}, {7, &IZelAudioSource::get_ChannelName}};
  for (const Case& c : cases) {
    records_ = {Record(c.code, "TEXT " + std::to_string(c.code))};
    ASSERT_EQ(S_OK, Collection(kSlotAudioSources)->Update(true, 1));
    EXPECT_EQ("TEXT " + std::to_string(c.code), TextOf(c.getter, s.get())) << +c.code;
  }
  // The metadata text (code 0) makes the list, split at "/" without empty pieces.
  records_ = {Record(0, "/JAZZ FM//NIGHT SHIFT/")};
  ASSERT_EQ(S_OK, Collection(kSlotAudioSources)->Update(true, 1));
  EXPECT_EQ((std::vector<std::string>{"JAZZ FM", "NIGHT SHIFT"}), MetadataOf(s.get()));
}

TEST_F(MetadataWalkTest, EmptyMetadataListsTheOtherTextsInFieldOrder) {
  EXPECT_EQ((std::vector<std::string>{"SONG", "GENRE", "EXTRA", "101.5"}),
            MetadataPieces("", {"SONG", "", "GENRE", "", "EXTRA", "101.5", ""}));
  EXPECT_TRUE(MetadataPieces("", {"", "", "", "", "", "", ""}).empty());
  EXPECT_EQ((std::vector<std::string>{"A"}), MetadataPieces("A", {"SONG"}));
  EXPECT_TRUE(MetadataPieces("///", {"SONG"}).empty());
}

TEST_F(MetadataWalkTest, NakMissingSourceAndFailuresKeepTheTexts) {
  Connect(7);
  ComPtr<CZelAudioSource> s = AddElement<CZelAudioSource>(kSlotAudioSources, 3);
  records_ = {};
  EXPECT_EQ(S_FALSE, Collection(kSlotAudioSources)->Update(true, 1));
  EXPECT_EQ(1u, link_->sent_count());

  records_ = {Record(1, "FIRST"), Record(2, "SECOND")};
  ending_ = NakBytes();
  EXPECT_EQ(S_FALSE, Collection(kSlotAudioSources)->Update(true, 1));
  EXPECT_EQ("FIRST", TextOf(&IZelAudioSource::get_SongTitle, s.get()));
  EXPECT_EQ("SECOND", TextOf(&IZelAudioSource::get_Artist, s.get()));

  // A controller that never ends the walk is given up, and the link is free again.
  records_ = std::vector<Bytes>(300, Record(3, "AGAIN"));
  link_->ClearSent();
  EXPECT_EQ(E_FAIL, Collection(kSlotAudioSources)->Update(true, 1));
  EXPECT_EQ(1u + kMaxMetadataRecords, link_->sent_count());
  records_ = {Record(1, "NEXT")};
  ending_ = EndOfDataBytes();
  EXPECT_EQ(S_OK, Collection(kSlotAudioSources)->Update(true, 1));
}

TEST_F(MetadataWalkTest, SourceMembersAndPropertyMap) {
  Connect(7);
  ComPtr<CZelAudioSource> s = AddElement<CZelAudioSource>(kSlotAudioSources, 1);
  ExpectDispids(s.get(), {{"Metadata", 0x630},
                          {"SongTitle", 0x631},
                          {"Artist", 0x632},
                          {"Genre", 0x633},
                          {"AlbumName", 0x634},
                          {"ChannelNumber", 0x635},
                          {"ChannelName", 0x636}});
  ExpectDispids(Collection(kSlotAudioSources).get(), {{"OnAudioSourceChange", 0x640}});
  EXPECT_EQ((std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY", "METADATA",
                                      "SONGTITLE", "ARTIST", "GENRE", "ALBUMNAME", "CHANNELNUMBER",
                                      "CHANNELNAME"}),
            SavedKeys(s.get()));
  ComPtr<IDispatch> list;
  ASSERT_EQ(S_OK, s->get_Metadata(list.Receive()));
  ExpectDispids(list.get(), {{"Count", 0x60020000}, {"Item", 0}, {"_NewEnum", -4}});
  ComPtr<IBSTRCollection> strings;
  ASSERT_EQ(S_OK, QueryAs<IBSTRCollection>(list.get(), &strings));
  BStr item;
  EXPECT_EQ(E_INVALIDARG, strings->Item(Variant::I4(1), &item)) << "an empty list";
  ComPtr<IUnknown> enumerator;
  EXPECT_EQ(E_NOTIMPL, strings->get__NewEnum(enumerator.Receive()));
}

}  // namespace
}  // namespace zel
