// SaveStatusXML: the exact bytes for zones in trouble and alarm with special characters in their
// names, the destinations it refuses, and the document read back with libxml2.
#include <gtest/gtest.h>

#include "model/areas.h"
#include "model/object_test_fixture.h"
#include "model/zones.h"
#include "testing/xml_check.h"
#include "testing/xml_destinations.h"

namespace zel {
namespace {

class StatusXmlTest : public ObjectTest {
 protected:
  // Model 7; zones 1 to 4 with areas and types, names with every special character; the
  // controller's clock at Sunday 6 December 2026 09:05:07.
  void SetUpEstate() {
    SetZoneArea(1, 1);
    SetZoneType(1, 0);
    SetZoneArea(2, 2);
    SetZoneType(2, 3);
    SetZoneArea(4, 1);
    SetZoneType(4, 0);
    Connect(7);
    AddElement<CZelArea>(kSlotAreas, 1, "Main 'House'");
    AddElement<CZelArea>(kSlotAreas, 2, "Garage");
    AddElement<CZelZone>(kSlotZones, 1, "FRONT & BACK");
    AddElement<CZelZone>(kSlotZones, 2,
                         "K\xC3\xBC"
                         "che <1>");
    AddElement<CZelZone>(kSlotZones, 3, "QUIET");
    AddElement<CZelZone>(kSlotZones, 4, "\"Bed\"");
    zone_status_[1] = {0x02, 0};  // trouble
    zone_status_[2] = {0x44, 0};  // alarm, and had trouble
    zone_status_[3] = {0x00, 0};  // secure
    zone_status_[4] = {0x08, 0};  // alarm reset
    ASSERT_EQ(S_OK, Collection(kSlotZones)->Update(true, kAllElements));
    system_status_ = SealFrame(0x14, {1, 26, 12, 6, 7, 9, 5, 7, 0, 6, 30, 18, 45, 200});
  }
};

TEST_F(StatusXmlTest, ExactBytesForTroubleAndAlarm) {
  SetUpEstate();
  ComPtr<RecordingResponse> response = MakeObject<RecordingResponse>();
  ASSERT_EQ(S_OK, server_->SaveStatusXML(Variant::Dispatch(response.get())));
  const std::string kitchen =
      "<ZONE>K\xC3\xBC"
      "che &#60;1&#62;</ZONE><AREA>Garage</AREA><TYPE>3</TYPE>";
  EXPECT_EQ((std::vector<std::string>{
                "<STATUS>",
                "<DATE>12/6/2026 9:05:07 AM</DATE>",
                "<TROUBLE><ZONE>FRONT &#38; BACK</ZONE><AREA>Main &#39;House&#39;</AREA><TYPE>0"
                "</TYPE></TROUBLE>",
                "<HADTROUBLE>" + kitchen + "</HADTROUBLE>",
                "<ALARM>" + kitchen + "</ALARM>",
                "<ALARMRESET><ZONE>&#34;Bed&#34;</ZONE><AREA>Main &#39;House&#39;</AREA><TYPE>0"
                "</TYPE></ALARMRESET>",
                "</STATUS>",
            }),
            response->writes);
  XmlNode root;
  std::string error;
  ASSERT_TRUE(ParseXml(response->All(), &root, &error)) << error;
  EXPECT_EQ("STATUS", root.name);
  ASSERT_EQ(5u, root.children.size());  // DATE and the four wrapped summaries
  EXPECT_EQ("FRONT & BACK", root.children[1].Child("ZONE")->text);
  EXPECT_EQ("Main 'House'", root.children[1].Child("AREA")->text);
  EXPECT_EQ(
      "K\xC3\xBC"
      "che <1>",
      root.children[3].Child("ZONE")->text);
  EXPECT_EQ("\"Bed\"", root.children[4].Child("ZONE")->text);
}

TEST_F(StatusXmlTest, UnsetClockAndNoZones) {
  Connect(7);
  system_status_ = SealFrame(0x14, {0, 26, 12, 6, 7, 9, 5, 7, 0, 6, 30, 18, 45, 200});
  ComPtr<RecordingResponse> response = MakeObject<RecordingResponse>();
  ASSERT_EQ(S_OK, server_->SaveStatusXML(Variant::Unknown(response.get())));
  EXPECT_EQ("<STATUS><DATE>Date not set</DATE></STATUS>", response->All());
}

TEST_F(StatusXmlTest, ADateThatCannotBeReadStillWritesTheTags) {
  Connect(7);
  nak_commands_ = true;
  system_status_ = NakBytes();
  ComPtr<RecordingResponse> response = MakeObject<RecordingResponse>();
  ASSERT_EQ(S_OK, server_->SaveStatusXML(Variant::Dispatch(response.get())));
  EXPECT_EQ("<STATUS><DATE></DATE></STATUS>", response->All());
}

TEST_F(StatusXmlTest, OnlyAResponseObjectIsADestination) {
  SetUpEstate();
  ComPtr<RecordingStream> stream = MakeObject<RecordingStream>();
  ComPtr<RecordingHtmlDocument> html = MakeObject<RecordingHtmlDocument>();
  ComPtr<NoDestination> none = MakeObject<NoDestination>();
  struct Case {
    const char* what;
    Variant dest;
    HRESULT want;
  } cases[] = {
      {"a file name", Variant::Str("/tmp/status.xml"), E_NOTIMPL},
      {"a number", Variant::I4(1), E_NOTIMPL},
      {"nothing", Variant(), E_NOTIMPL},
      {"missing", Variant::Missing(), E_NOTIMPL},
      {"a null dispatch", Variant::Dispatch(nullptr), E_INVALIDARG},
      {"a null unknown", Variant::Unknown(nullptr), E_INVALIDARG},
      {"a stream", Variant::Unknown(stream.get()), E_NOTIMPL},
      {"an HTML document", Variant::Dispatch(html.get()), E_NOTIMPL},
      {"another object", Variant::Dispatch(none.get()), E_NOTIMPL},
  };
  for (const Case& c : cases) EXPECT_EQ(c.want, server_->SaveStatusXML(c.dest)) << c.what;
  EXPECT_TRUE(stream->writes.empty());
  EXPECT_TRUE(html->writes.empty());
}

}  // namespace
}  // namespace zel
