// SaveStatusXML: a short summary of the system written into a script page's response: the
// controller's date and every zone in trouble or alarm, in zone order.
//
//   <STATUS><DATE>12/6/2026 9:05:07 AM</DATE>
//     <TROUBLE>summary</TROUBLE>      CurrCondition 2
//     <HADTROUBLE>summary</HADTROUBLE> HadTrouble true
//     <ALARM>summary</ALARM>          AlarmStatus 1
//     <ALARMRESET>summary</ALARMRESET> AlarmStatus 2
//   </STATUS>
//   summary = <ZONE>name</ZONE><AREA>area name</AREA><TYPE>type</TYPE>
// (no whitespace anywhere; texts escaped as platform/xml_text.h says). The layout is fixed to the
// byte, so it is written by hand. One Write per top-level piece: the opening tag, the date, each
// wrapped summary, the closing tag.
#include <string>

#include "model/collection_interfaces.h"
#include "platform/xml_destination.h"
#include "platform/xml_text.h"
#include "server/zel_server.h"

namespace zel {
namespace {

// The text of a variant by the automation conversion; empty when it has none.
std::string TextOf(const Variant& v) {
  Variant text;
  if (Failed(ChangeType(v, VT_BSTR, &text))) return {};
  return text.bstr().str();
}

bool ReadInt(IDispatch* object, std::string_view name, int32_t* value) {
  Variant v, i;
  if (Failed(GetProperty(object, name, &v)) || Failed(ChangeType(v, VT_I4, &i))) return false;
  *value = i.i4();
  return true;
}

// <ZONE>..</ZONE><AREA>..</AREA><TYPE>..</TYPE>; a part that cannot be read is empty.
std::string ZoneSummary(IDispatch* zone) {
  Variant name, area, area_name, type;
  (void)GetProperty(zone, "Name", &name);
  if (Succeeded(GetProperty(zone, "Area", &area)) && area.vt() == VT_DISPATCH &&
      area.dispatch() != nullptr) {
    (void)GetProperty(area.dispatch(), "Name", &area_name);
  }
  (void)GetProperty(zone, "Type", &type);
  std::string s = "<ZONE>";
  AppendXmlEscaped(&s, TextOf(name));
  s += "</ZONE><AREA>";
  AppendXmlEscaped(&s, TextOf(area_name));
  s += "</AREA><TYPE>";
  AppendXmlEscaped(&s, TextOf(type));
  s += "</TYPE>";
  return s;
}

std::string Wrapped(std::string_view tag, const std::string& summary) {
  return "<" + std::string(tag) + ">" + summary + "</" + std::string(tag) + ">";
}

}  // namespace

HRESULT CZelServer::SaveStatusXML(Variant destination) {
  XmlDestination out;
  ZEL_TRY(XmlDestination::Choose(destination, XmlDestination::NullDispatch::kInvalidArg,
                                 /*response_only=*/true, &out));
  // A response object's write failures are not the writer's concern: it writes what it can.
  (void)out.Write("<STATUS>");
  std::string date = "<DATE>";
  Variant value;
  if (Succeeded(get_Date(&value))) AppendXmlEscaped(&date, TextOf(value));
  date += "</DATE>";
  (void)out.Write(date);

  ComPtr<IDispatch> zones_dispatch;
  ComPtr<ICollection> zones;
  int32_t count = 0;
  if (Succeeded(GetCollection(kSlotZones, zones_dispatch.Receive())) &&
      Succeeded(QueryAs<ICollection>(zones_dispatch.get(), &zones)) &&
      Succeeded(zones->get_Count(&count))) {
    for (int32_t i = 1; i <= count; ++i) {
      Variant item;
      if (zones->Item(Variant::I4(i), Variant::Missing(), &item) != S_OK ||
          item.vt() != VT_DISPATCH || item.dispatch() == nullptr) {
        continue;
      }
      IDispatch* zone = item.dispatch();
      int32_t condition = 0, had_trouble = 0, alarm = 0;
      if (!ReadInt(zone, "CurrCondition", &condition) ||
          !ReadInt(zone, "HadTrouble", &had_trouble) || !ReadInt(zone, "AlarmStatus", &alarm)) {
        continue;  // a zone that cannot be read contributes nothing
      }
      if (condition != 2 && had_trouble == 0 && alarm != 1 && alarm != 2) continue;
      const std::string summary = ZoneSummary(zone);
      if (condition == 2) (void)out.Write(Wrapped("TROUBLE", summary));
      if (had_trouble != 0) (void)out.Write(Wrapped("HADTROUBLE", summary));
      if (alarm == 1) (void)out.Write(Wrapped("ALARM", summary));
      if (alarm == 2) (void)out.Write(Wrapped("ALARMRESET", summary));
    }
  }
  (void)out.Write("</STATUS>");
  return S_OK;
}

}  // namespace zel
