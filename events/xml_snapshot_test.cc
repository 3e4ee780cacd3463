// The XML snapshot writers: the child order of every element class, the exact bytes of element
// and collection documents in each destination mode, escaping and single-byte text, the
// destinations refused, a stream that stops taking bytes, and every document read back with
// libxml2.
#include <gtest/gtest.h>

#include "events/event_entries.h"
#include "model/areas.h"
#include "model/audio_sources.h"
#include "model/audio_zones.h"
#include "model/buttons.h"
#include "model/codes.h"
#include "model/counter_unit.h"
#include "model/expansions.h"
#include "model/messages.h"
#include "model/object_test_fixture.h"
#include "model/plain_element.h"
#include "model/temperature_sensors.h"
#include "model/thermostats.h"
#include "model/units.h"
#include "model/x10_unit.h"
#include "model/xml_writer.h"
#include "model/zones.h"
#include "testing/xml_check.h"
#include "testing/xml_destinations.h"

namespace zel {
namespace {

using Names = std::vector<std::string>;

constexpr std::string_view kDecl = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";

// The children a snippet of `element` writes, read back by libxml2 from the stream's bytes.
Names ChildNames(IDispatch* element, XmlNode* root_out = nullptr) {
  ComPtr<RecordingStream> stream = MakeObject<RecordingStream>();
  EXPECT_EQ(S_OK, SaveElementXml(element, Variant::Unknown(stream.get()), false));
  XmlNode root;
  std::string error;
  EXPECT_TRUE(ParseXml(stream->All(), &root, &error, "ISO-8859-1"))
      << error << " in " << stream->All();
  Names names;
  for (const XmlNode& c : root.children) names.push_back(c.name);
  if (root_out != nullptr) *root_out = root;
  return names;
}

class XmlSnapshotTest : public ObjectTest {
 protected:
  template <class T>
  IDispatch* Add(int slot, uint16_t id, const std::string& name) {
    ComPtr<T> e = AddElement<T>(slot, id, name);
    keep_.push_back(ComPtr<IDispatch>(static_cast<IDispatch*>(e.get())));
    return keep_.back().get();
  }
  template <class T>
  IDispatch* Event(uint32_t index, int32_t type) {
    ComPtr<T> e = MakeObject<T>();
    EXPECT_EQ(S_OK, e->put_Index(Variant::UI4(index)));
    EXPECT_EQ(S_OK, e->put_Type(Variant::I4(type)));
    EXPECT_EQ(S_OK, e->put_Time(Variant::FromDate(Date{46362.5})));  // 12/6/2026 12:00
    keep_.push_back(ComPtr<IDispatch>(static_cast<IDispatch*>(e.get())));
    return keep_.back().get();
  }
  std::vector<ComPtr<IDispatch>> keep_;
};

const Names kCommon = {"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY"};
Names With(Names a, const Names& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(XmlSnapshotTest, EveryElementClassWritesItsChildrenInItsOrder) {
  Connect(7);
  const Names unit = With(kCommon, {"STATUS", "TYPE", "TIMEREMAINING"});
  const Names temperatures = {"TEMPERATUREF",  "TEMPERATUREC",  "HEATSETPOINTF",
                              "HEATSETPOINTC", "COOLSETPOINTF", "COOLSETPOINTC"};
  struct Case {
    const char* what;
    IDispatch* element;
    std::string tag;
    Names children;
  } cases[] = {
      {"area", Add<CZelArea>(kSlotAreas, 1, "A"), "AREA", With(kCommon, {"SECURITYMODE"})},
      {"zone", Add<CZelZone>(kSlotZones, 1, "Z"), "ZONE",
       With(kCommon, {"STATUS", "TYPE", "AREA", "CURRCONDITION", "ALARMSTATUS", "ARMINGSTATUS",
                      "HADTROUBLE", "LOOPREADING"})},
      {"unit", Add<CZelUnit>(kSlotUnits, 1, "U"), "UNIT", unit},
      {"counter unit", Add<CZelCounterUnit>(kSlotUnits, 2, "C"), "UNIT", unit},
      {"voltage unit", Add<CZelVoltageUnit>(kSlotUnits, 3, "V"), "UNIT", unit},
      {"expansion unit", Add<CZelExpansionUnit>(kSlotUnits, 4, "E"), "UNIT", unit},
      {"X10 unit", Add<CZelX10Unit>(kSlotUnits, 5, "X"), "UNIT",
       With(unit, {"FORMAT", "HOUSECODE", "UNITNUMBER", "SCENE", "CURRENTLEVEL", "BRIGHTENSTEPS",
                   "DIMSTEPS"})},
      {"thermostat", Add<CZelThermostat>(kSlotThermostats, 1, "T"), "THERMOSTAT",
       With(With(kCommon, {"STATUS", "TYPE"}),
            With(temperatures, {"SYSTEMMODE", "FANMODE", "HOLDMODE"}))},
      {"sensor", Add<CZelTemperatureSensor>(kSlotTemperatureSensors, 1, "S"), "TEMPERATURESENSOR",
       With(With(kCommon, {"STATUS", "TYPE"}), temperatures)},
      {"audio zone", Add<CZelAudioZone>(kSlotAudioZones, 1, "AZ"), "AUDIOZONE",
       With(kCommon, {"POWERSTATUS", "SOURCEID", "VOLUMELEVEL", "MUTESTATUS"})},
      {"audio source", Add<CZelAudioSource>(kSlotAudioSources, 1, "AS"), "AUDIOSOURCE",
       With(kCommon, {"METADATA", "SONGTITLE", "ARTIST", "GENRE", "ALBUMNAME", "CHANNELNUMBER",
                      "CHANNELNAME"})},
      {"message", Add<CZelMessage>(kSlotMessages, 1, "M"), "MESSAGE",
       With(kCommon, {"DISPLAYED", "ACKNOWLEDGED"})},
      {"expansion", Add<CZelExpansion>(kSlotExpansions, 1, "X"), "EXPANSION",
       With(kCommon, {"STATUS", "BATTERYLEVEL"})},
      {"button", Add<CZelButton>(kSlotButtons, 1, "B"), "BUTTON", kCommon},
      {"code", Add<CZelCode>(kSlotCodes, 1, "C"), "CODE", kCommon},
      {"plain element", Add<CZelCollectionElement>(kSlotButtons, 2, "P"), "ELEMENT", kCommon},
      {"event", Event<CZelEvent>(1, 0x300), "EVENT", {"INDEX", "TYPE", "TIME", "DATA"}},
      {"access event",
       Event<CZelAccessEvent>(2, 0x1),
       "EVENT",
       {"INDEX", "TYPE", "TIME", "DATA", "CODE"}},
      {"alarm event",
       Event<CZelAlarmEvent>(3, 0x2),
       "EVENT",
       {"INDEX", "TYPE", "AREA", "TIME", "DATA", "ALARMTYPE", "MODE"}},
      // An arm of every area names no AREA, a restore of every zone no ZONE: a property that
      // cannot be read is left out.
      {"arm event",
       Event<CZelArmEvent>(4, 0x31),
       "EVENT",
       {"INDEX", "SECURITYMODE", "TYPE", "TIME", "DATA", "CODE", "ALLAREAS"}},
      {"bypass event",
       Event<CZelBypassEvent>(5, 0x4),
       "EVENT",
       {"INDEX", "TYPE", "TIME", "DATA", "CODE", "MODE", "ZONE"}},
      {"message event",
       Event<CZelMessageEvent>(6, 0x5),
       "EVENT",
       {"INDEX", "TYPE", "TIME", "DATA", "MESSAGE"}},
      {"restore event",
       Event<CZelRestoreEvent>(7, 0x6),
       "EVENT",
       {"INDEX", "TYPE", "TIME", "DATA", "CODE", "ALLZONES"}},
      {"trouble event",
       Event<CZelTroubleEvent>(8, 0x7),
       "EVENT",
       {"INDEX", "TYPE", "TIME", "DATA", "ZONE", "TROUBLETYPE"}},
  };
  for (const Case& c : cases) {
    XmlNode root;
    EXPECT_EQ(c.children, ChildNames(c.element, &root)) << c.what;
    EXPECT_EQ(c.tag, root.name) << c.what;
    EXPECT_EQ(c.tag, XmlLayoutOf(c.element->GetTypeName()).element_tag) << c.what;
  }
}

TEST_F(XmlSnapshotTest, ElementBytesInEachMode) {
  SetZoneArea(1, 1);
  Connect(7);
  Add<CZelArea>(kSlotAreas, 1, "Main");
  IDispatch* zone = Add<CZelZone>(kSlotZones, 1, "A&B");
  zone_status_[1] = {0x44, 9};
  ASSERT_EQ(S_OK, Collection(kSlotZones)->Update(true, kAllElements));
  const std::string children =
      "<INDEX>1</INDEX><ID>1</ID><NAME>A&#38;B</NAME><FRIENDLYNAME>A&#38;B</FRIENDLYNAME>"
      "<DISPLAY>True</DISPLAY><STATUS>68</STATUS><TYPE>0</TYPE><AREA>Main</AREA>"
      "<CURRCONDITION>0</CURRCONDITION><ALARMSTATUS>1</ALARMSTATUS><ARMINGSTATUS>0</ARMINGSTATUS>"
      "<HADTROUBLE>True</HADTROUBLE><LOOPREADING>9</LOOPREADING>";

  // A stream: no line feed after the declaration; every piece its own Write.
  ComPtr<RecordingStream> stream = MakeObject<RecordingStream>();
  Variant args[] = {Variant::Unknown(stream.get())};
  ASSERT_EQ(S_OK, zone->Invoke(kDispidElementSaveXML, DISPATCH_METHOD, args, nullptr));
  EXPECT_EQ(std::string(kDecl) + "<ZONE>" + children + "</ZONE>", stream->All());
  EXPECT_EQ(std::string(kDecl), stream->writes[0]);
  EXPECT_EQ("<ZONE>", stream->writes[1]);
  EXPECT_EQ("<INDEX>", stream->writes[2]);

  // A response: the declaration, a line feed and the opening tag in one write, then one write
  // per child.
  ComPtr<RecordingResponse> response = MakeObject<RecordingResponse>();
  ASSERT_EQ(S_OK, SaveElementXml(zone, Variant::Dispatch(response.get()), true));
  EXPECT_EQ(std::string(kDecl) + "\n<ZONE>" + children + "</ZONE>", response->All());
  ASSERT_EQ(15u, response->writes.size());
  EXPECT_EQ(std::string(kDecl) + "\n<ZONE>", response->writes[0]);
  EXPECT_EQ("<NAME>A&#38;B</NAME>", response->writes[3]);

  // An HTML document: the same pieces, each an array of one string.
  ComPtr<RecordingHtmlDocument> html = MakeObject<RecordingHtmlDocument>();
  ASSERT_EQ(S_OK, SaveElementXml(zone, Variant::Dispatch(html.get()), false));
  EXPECT_EQ("<ZONE>" + children + "</ZONE>", html->All());
  EXPECT_EQ(15u, html->writes.size());
}

TEST_F(XmlSnapshotTest, TextIsSingleByteAndEscaped) {
  Connect(7);
  IDispatch* button = Add<CZelButton>(kSlotButtons, 1,
                                      "K\xC3\xBC"
                                      "che \"<'>\" \xE6\x97\xA5");
  ComPtr<RecordingStream> stream = MakeObject<RecordingStream>();
  ASSERT_EQ(S_OK, SaveElementXml(button, Variant::Unknown(stream.get()), true));
  // ü is the single byte 0xFC; a character outside ISO-8859-1 is '?'.
  EXPECT_NE(std::string::npos, stream->All().find("<NAME>K\xFC"
                                                  "che &#34;&#60;&#39;&#62;&#34; ?</NAME>"));
  XmlNode root;
  std::string error;
  ASSERT_TRUE(ParseXml(stream->All(), &root, &error)) << error;  // by its declaration
  EXPECT_EQ(
      "K\xC3\xBC"
      "che \"<'>\" ?",
      root.Child("NAME")->text);
  // A response gets the same text back as a string.
  ComPtr<RecordingResponse> response = MakeObject<RecordingResponse>();
  ASSERT_EQ(S_OK, SaveElementXml(button, Variant::Unknown(response.get()), false));
  EXPECT_EQ(
      "<NAME>K\xC3\xBC"
      "che &#34;&#60;&#39;&#62;&#34; ?</NAME>",
      response->writes[3]);
}

TEST_F(XmlSnapshotTest, RefusedDestinationsWriteNothing) {
  Connect(7);
  IDispatch* zone = Add<CZelZone>(kSlotZones, 1, "Z");
  ComPtr<IDispatch> zones;
  ASSERT_EQ(S_OK, server_->GetCollection(kSlotZones, zones.Receive()));
  ComPtr<NoDestination> none = MakeObject<NoDestination>();
  struct Case {
    const char* what;
    Variant dest;
    HRESULT want;
  } cases[] = {
      {"a file name", Variant::Str("/tmp/zones.xml"), E_NOTIMPL},
      {"a number", Variant::I4(3), E_NOTIMPL},
      {"empty", Variant(), E_NOTIMPL},
      {"a null unknown", Variant::Unknown(nullptr), E_INVALIDARG},
      {"a null dispatch", Variant::Dispatch(nullptr), E_NOTIMPL},
      {"an object with none of the three", Variant::Dispatch(none.get()), E_NOTIMPL},
  };
  for (const Case& c : cases) {
    for (DISPID id : {kDispidElementSaveXML, kDispidSaveXMLSnippet}) {
      EXPECT_EQ(c.want, zone->Invoke(id, DISPATCH_METHOD, {&c.dest, 1}, nullptr)) << c.what;
    }
    EXPECT_EQ(c.want,
              zones->Invoke(kDispidCollectionSaveXML, DISPATCH_METHOD, {&c.dest, 1}, nullptr))
        << c.what;
  }
}

TEST_F(XmlSnapshotTest, CollectionsWriteTheirElementsInListOrder) {
  Connect(7);
  ComPtr<RecordingStream> empty = MakeObject<RecordingStream>();
  ASSERT_EQ(S_OK, Collection(kSlotZones)->SaveXML(Variant::Unknown(empty.get())));
  EXPECT_EQ(std::string(kDecl) + "<ZONES></ZONES>", empty->All());

  Add<CZelButton>(kSlotButtons, 7, "SEVEN");
  Add<CZelButton>(kSlotButtons, 2, "TWO & ONE");
  ComPtr<RecordingResponse> response = MakeObject<RecordingResponse>();
  ASSERT_EQ(S_OK, Collection(kSlotButtons)->SaveXML(Variant::Dispatch(response.get())));
  EXPECT_EQ(std::string(kDecl) +
                "\n<BUTTONS><BUTTON><INDEX>1</INDEX><ID>7</ID><NAME>SEVEN</NAME>"
                "<FRIENDLYNAME>SEVEN</FRIENDLYNAME><DISPLAY>True</DISPLAY></BUTTON>"
                "<BUTTON><INDEX>2</INDEX><ID>2</ID><NAME>TWO &#38; ONE</NAME>"
                "<FRIENDLYNAME>TWO &#38; ONE</FRIENDLYNAME><DISPLAY>True</DISPLAY></BUTTON>"
                "</BUTTONS>",
            response->All());
  XmlNode root;
  std::string error;
  ASSERT_TRUE(ParseXml(response->All(), &root, &error, "UTF-8")) << error;
  ASSERT_EQ(2u, root.children.size());
  EXPECT_EQ("TWO & ONE", root.children[1].Child("NAME")->text);
}

TEST_F(XmlSnapshotTest, EveryCollectionKindReadsBack) {
  Connect(7);
  Add<CZelArea>(kSlotAreas, 1, "Area <1>");
  Add<CZelZone>(kSlotZones, 1, "Zone & 1");
  Add<CZelUnit>(kSlotUnits, 1, "Unit '1'");
  Add<CZelThermostat>(kSlotThermostats, 1, "Thermostat \"1\"");
  Add<CZelTemperatureSensor>(kSlotTemperatureSensors, 1, "Sensor >1");
  Add<CZelButton>(kSlotButtons, 1, "Button");
  Add<CZelCode>(kSlotCodes, 1, "Code");
  Add<CZelMessage>(kSlotMessages, 1, "Message");
  Add<CZelExpansion>(kSlotExpansions, 1, "Expansion");
  Add<CZelAudioZone>(kSlotAudioZones, 1, "Audio zone");
  Add<CZelAudioSource>(kSlotAudioSources, 1, "Audio source");
  struct Case {
    int slot;
    const char* tag;
    const char* element;
    const char* name;
  } cases[] = {
      {kSlotAreas, "AREAS", "AREA", "Area <1>"},
      {kSlotZones, "ZONES", "ZONE", "Zone & 1"},
      {kSlotUnits, "UNITS", "UNIT", "Unit '1'"},
      {kSlotThermostats, "THERMOSTATS", "THERMOSTAT", "Thermostat \"1\""},
      {kSlotTemperatureSensors, "TEMPERATURESENSORS", "TEMPERATURESENSOR", "Sensor >1"},
      {kSlotButtons, "BUTTONS", "BUTTON", "Button"},
      {kSlotCodes, "CODES", "CODE", "Code"},
      {kSlotMessages, "MESSAGES", "MESSAGE", "Message"},
      {kSlotExpansions, "EXPANSIONS", "EXPANSION", "Expansion"},
      {kSlotAudioZones, "AUDIOZONES", "AUDIOZONE", "Audio zone"},
      {kSlotAudioSources, "AUDIOSOURCES", "AUDIOSOURCE", "Audio source"},
  };
  for (const Case& c : cases) {
    ComPtr<RecordingStream> stream = MakeObject<RecordingStream>();
    ASSERT_EQ(S_OK, Collection(c.slot)->SaveXML(Variant::Unknown(stream.get()))) << c.tag;
    XmlNode root;
    std::string error;
    ASSERT_TRUE(ParseXml(stream->All(), &root, &error)) << c.tag << ": " << error;
    EXPECT_EQ(c.tag, root.name);
    ASSERT_EQ(1u, root.children.size()) << c.tag;
    EXPECT_EQ(c.element, root.children[0].name);
    EXPECT_EQ(c.name, root.children[0].Child("NAME")->text) << c.tag;
    EXPECT_EQ("1", root.children[0].Child("ID")->text) << c.tag;
  }
}

TEST_F(XmlSnapshotTest, AStreamThatStopsTakingBytesEndsTheWriterAtOnce) {
  Connect(7);
  Add<CZelButton>(kSlotButtons, 1, "ONE");
  Add<CZelButton>(kSlotButtons, 2, "TWO");
  ComPtr<RecordingStream> stream = MakeObject<RecordingStream>();
  stream->fail_from = 5;  // declaration, <BUTTONS>, <BUTTON>, <INDEX>, 1, then </INDEX> fails
  EXPECT_EQ(STG_E_MEDIUMFULL, Collection(kSlotButtons)->SaveXML(Variant::Unknown(stream.get())));
  EXPECT_EQ(6u, stream->writes.size());  // nothing after the failed write
  EXPECT_EQ(std::string(kDecl) + "<BUTTONS><BUTTON><INDEX>1", stream->All());
  // A response's failed writes are not the writer's concern.
  ComPtr<RecordingResponse> response = MakeObject<RecordingResponse>();
  response->fail_from = 0;
  EXPECT_EQ(S_OK, Collection(kSlotButtons)->SaveXML(Variant::Unknown(response.get())));
  EXPECT_EQ("</BUTTONS>", response->writes.back());
}

}  // namespace
}  // namespace zel
