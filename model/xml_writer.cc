#include "model/xml_writer.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "platform/persist.h"
#include "platform/property_bag.h"
#include "platform/xml_text.h"

namespace zel {
namespace {

using Keys = std::span<const std::string_view>;

// The child orders of the element classes. A property bag hands its entries back in one fixed
// order per class, which is not always the order the class saves them in.
constexpr std::string_view kCommon[] = {"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY"};
constexpr std::string_view kArea[] = {"INDEX",        "ID",      "NAME",
                                      "FRIENDLYNAME", "DISPLAY", "SECURITYMODE"};
constexpr std::string_view kZone[] = {
    "INDEX",        "ID",         "NAME",       "FRIENDLYNAME",  "DISPLAY",
    "STATUS",       "TYPE",       "AREA",       "CURRCONDITION", "ALARMSTATUS",
    "ARMINGSTATUS", "HADTROUBLE", "LOOPREADING"};
constexpr std::string_view kUnit[] = {"INDEX",   "ID",     "NAME", "FRIENDLYNAME",
                                      "DISPLAY", "STATUS", "TYPE", "TIMEREMAINING"};
constexpr std::string_view kX10Unit[] = {
    "INDEX",      "ID",    "NAME",          "FRIENDLYNAME",  "DISPLAY",
    "STATUS",     "TYPE",  "TIMEREMAINING", "FORMAT",        "HOUSECODE",
    "UNITNUMBER", "SCENE", "CURRENTLEVEL",  "BRIGHTENSTEPS", "DIMSTEPS"};
constexpr std::string_view kThermostat[] = {"INDEX",         "ID",
                                            "NAME",          "FRIENDLYNAME",
                                            "DISPLAY",       "STATUS",
                                            "TYPE",          "TEMPERATUREF",
                                            "TEMPERATUREC",  "HEATSETPOINTF",
                                            "HEATSETPOINTC", "COOLSETPOINTF",
                                            "COOLSETPOINTC", "SYSTEMMODE",
                                            "FANMODE",       "HOLDMODE"};
constexpr std::string_view kSensor[] = {"INDEX",         "ID",
                                        "NAME",          "FRIENDLYNAME",
                                        "DISPLAY",       "STATUS",
                                        "TYPE",          "TEMPERATUREF",
                                        "TEMPERATUREC",  "HEATSETPOINTF",
                                        "HEATSETPOINTC", "COOLSETPOINTF",
                                        "COOLSETPOINTC"};
constexpr std::string_view kAudioZone[] = {"INDEX",        "ID",          "NAME",
                                           "FRIENDLYNAME", "DISPLAY",     "POWERSTATUS",
                                           "SOURCEID",     "VOLUMELEVEL", "MUTESTATUS"};
constexpr std::string_view kAudioSource[] = {
    "INDEX",     "ID",     "NAME",  "FRIENDLYNAME", "DISPLAY",       "METADATA",
    "SONGTITLE", "ARTIST", "GENRE", "ALBUMNAME",    "CHANNELNUMBER", "CHANNELNAME"};
constexpr std::string_view kMessage[] = {"INDEX",   "ID",        "NAME",        "FRIENDLYNAME",
                                         "DISPLAY", "DISPLAYED", "ACKNOWLEDGED"};
constexpr std::string_view kExpansion[] = {"INDEX",   "ID",     "NAME",        "FRIENDLYNAME",
                                           "DISPLAY", "STATUS", "BATTERYLEVEL"};
constexpr std::string_view kEvent[] = {"INDEX", "TYPE", "TIME", "DATA"};
constexpr std::string_view kAccessEvent[] = {"INDEX", "TYPE", "TIME", "DATA", "CODE"};
constexpr std::string_view kAlarmEvent[] = {"INDEX", "TYPE",      "AREA", "TIME",
                                            "DATA",  "ALARMTYPE", "MODE"};
constexpr std::string_view kArmEvent[] = {"INDEX", "SECURITYMODE", "TYPE", "AREA",
                                          "TIME",  "DATA",         "CODE", "ALLAREAS"};
constexpr std::string_view kBypassEvent[] = {"INDEX", "TYPE", "TIME", "DATA",
                                             "CODE",  "MODE", "ZONE"};
constexpr std::string_view kMessageEvent[] = {"INDEX", "TYPE", "TIME", "DATA", "MESSAGE"};
constexpr std::string_view kRestoreEvent[] = {"INDEX", "TYPE", "TIME",    "DATA",
                                              "CODE",  "ZONE", "ALLZONES"};
constexpr std::string_view kTroubleEvent[] = {"INDEX", "TYPE", "TIME",
                                              "DATA",  "ZONE", "TROUBLETYPE"};

constexpr XmlLayout kLayouts[] = {
    {"CZelArea", "AREA", kArea},
    {"CZelZone", "ZONE", kZone},
    {"CZelUnit", "UNIT", kUnit},
    {"CZelCounterUnit", "UNIT", kUnit},
    {"CZelVoltageUnit", "UNIT", kUnit},
    {"CZelExpansionUnit", "UNIT", kUnit},
    {"CZelX10Unit", "UNIT", kX10Unit},
    {"CZelThermostat", "THERMOSTAT", kThermostat},
    {"CZelTemperatureSensor", "TEMPERATURESENSOR", kSensor},
    {"CZelAudioZone", "AUDIOZONE", kAudioZone},
    {"CZelAudioSource", "AUDIOSOURCE", kAudioSource},
    {"CZelMessage", "MESSAGE", kMessage},
    {"CZelExpansion", "EXPANSION", kExpansion},
    {"CZelButton", "BUTTON", kCommon},
    {"CZelCode", "CODE", kCommon},
    // The plain element (the empty element, names without a class of their own).
    {"CZelCollectionElement", "ELEMENT", kCommon},
    {"CZelEvent", "EVENT", kEvent},
    {"CZelAccessEvent", "EVENT", kAccessEvent},
    {"CZelAlarmEvent", "EVENT", kAlarmEvent},
    {"CZelArmEvent", "EVENT", kArmEvent},
    {"CZelBypassEvent", "EVENT", kBypassEvent},
    {"CZelMessageEvent", "EVENT", kMessageEvent},
    {"CZelRestoreEvent", "EVENT", kRestoreEvent},
    {"CZelTroubleEvent", "EVENT", kTroubleEvent},
};

constexpr XmlLayout kUnknownLayout{"", "ELEMENT", {}};

// The value's text as the snapshot holds it: ISO-8859-1, escaped. False when it has no text.
bool ValueText(const Variant& value, std::string* out) {
  Variant text;
  if (Failed(ChangeType(value, VT_BSTR, &text))) return false;
  *out = XmlEscapedLatin1(text.bstr().str());
  return true;
}

// The saved entries in the class's order, then the ones it does not name.
std::vector<const std::pair<std::string, Variant>*> Ordered(
    const std::vector<std::pair<std::string, Variant>>& entries, Keys order) {
  std::vector<const std::pair<std::string, Variant>*> out;
  for (std::string_view key : order) {
    for (const auto& e : entries) {
      if (e.first == key) {
        out.push_back(&e);
        break;
      }
    }
  }
  for (const auto& e : entries) {
    if (std::find(order.begin(), order.end(), e.first) == order.end()) out.push_back(&e);
  }
  return out;
}

// Writes the declaration (when asked) and an opening tag: one write in the response and HTML
// modes, a Write each in the stream mode.
HRESULT WriteOpening(const XmlDestination& out, std::string_view tag, bool declaration) {
  const std::string open = "<" + std::string(tag) + ">";
  if (out.kind() == XmlDestination::Kind::kStream) {
    if (declaration) ZEL_TRY(out.WriteLatin1(kXmlDeclaration));
    return out.WriteLatin1(open);
  }
  (void)out.WriteLatin1(declaration ? std::string(kXmlDeclaration) + "\n" + open : open);
  return S_OK;
}

// In the stream mode a failed write ends the writer; elsewhere writes are not checked.
HRESULT Checked(const XmlDestination& out, HRESULT hr) {
  return out.kind() == XmlDestination::Kind::kStream ? hr : S_OK;
}

}  // namespace

const XmlLayout& XmlLayoutOf(std::string_view type_name) {
  for (const XmlLayout& l : kLayouts) {
    if (l.type_name == type_name) return l;
  }
  return kUnknownLayout;
}

std::span<const XmlLayout> XmlLayouts() { return kLayouts; }

HRESULT WriteElementXml(IDispatch* element, const XmlDestination& out, bool declaration) {
  const XmlLayout& layout = XmlLayoutOf(element->GetTypeName());
  ZEL_TRY(WriteOpening(out, layout.element_tag, declaration));

  ComPtr<IPersistPropertyBag> persist;
  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  if (bag != nullptr && Succeeded(QueryAs<IPersistPropertyBag>(element, &persist)) &&
      Succeeded(persist->Save(bag.get(), false, true))) {
    for (const auto* entry : Ordered(bag->entries(), layout.order)) {
      std::string value;
      if (!ValueText(entry->second, &value)) continue;  // left out silently
      const std::string open = "<" + entry->first + ">";
      const std::string close = "</" + entry->first + ">";
      if (out.kind() == XmlDestination::Kind::kStream) {
        ZEL_TRY(out.WriteLatin1(open));
        ZEL_TRY(out.WriteLatin1(value));
        ZEL_TRY(out.WriteLatin1(close));
      } else {
        (void)out.WriteLatin1(open + value + close);
      }
    }
  }
  return Checked(out, out.WriteLatin1("</" + std::string(layout.element_tag) + ">"));
}

HRESULT SaveElementXml(IDispatch* element, const Variant& destination, bool declaration) {
  XmlDestination out;
  ZEL_TRY(XmlDestination::Choose(destination, XmlDestination::NullDispatch::kNotImpl,
                                 /*response_only=*/false, &out));
  return WriteElementXml(element, out, declaration);
}

namespace {

// The stream a collection hands its elements: it notes a write the stream refused, so the
// collection ends at once when the stream stopped taking bytes, and goes on to its closing tag
// when an element failed for a reason of its own (a live system event writes no XML).
class NotingStream final : public IStream {
 public:
  explicit NotingStream(ComPtr<IStream> inner) : inner_(std::move(inner)) {}
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IStream>(this, iid, ppv);
  }
  HRESULT Read(void* buffer, uint32_t size, uint32_t* read) override {
    return inner_->Read(buffer, size, read);
  }
  HRESULT Write(const void* buffer, uint32_t size, uint32_t* written) override {
    uint32_t took = 0;
    HRESULT hr = inner_->Write(buffer, size, &took);
    if (written != nullptr) *written = took;
    if (Failed(hr) || took < size) failed_ = true;
    return hr;
  }
  HRESULT Seek(int64_t offset, SeekOrigin origin, uint64_t* position) override {
    return inner_->Seek(offset, origin, position);
  }
  HRESULT SetSize(uint64_t size) override { return inner_->SetSize(size); }
  HRESULT GetSize(uint64_t* size) override { return inner_->GetSize(size); }
  HRESULT Commit() override { return inner_->Commit(); }
  bool failed() const { return failed_; }

 private:
  ComPtr<IStream> inner_;
  bool failed_ = false;  // one writer thread
};

}  // namespace

HRESULT SaveCollectionXml(std::string_view tag, std::span<const ComPtr<IDispatch>> elements,
                          const Variant& destination) {
  XmlDestination out;
  ZEL_TRY(XmlDestination::Choose(destination, XmlDestination::NullDispatch::kNotImpl,
                                 /*response_only=*/false, &out));
  ZEL_TRY(WriteOpening(out, tag, /*declaration=*/true));
  Variant handed = out.AsVariant();
  ComPtr<NotingStream> noting;
  if (out.kind() == XmlDestination::Kind::kStream) {
    ComPtr<IStream> stream;
    ZEL_TRY(QueryAs<IStream>(handed.unknown(), &stream));
    noting = MakeObject<NotingStream>(std::move(stream));
    handed = Variant::Unknown(noting.get());
  }
  HRESULT walk = S_OK;
  for (const ComPtr<IDispatch>& element : elements) {
    if (element == nullptr) continue;
    DISPID snippet = 0;
    HRESULT hr = element->GetIDOfName("SaveXMLSnippet", &snippet);
    if (Succeeded(hr)) hr = element->Invoke(snippet, DISPATCH_METHOD, {&handed, 1}, nullptr);
    // A stream that stopped taking bytes ends the whole writer.
    if (noting && noting->failed()) return Failed(hr) ? hr : STG_E_WRITEFAULT;
    if (Failed(hr) && Succeeded(walk)) walk = hr;
  }
  ZEL_TRY(Checked(out, out.WriteLatin1("</" + std::string(tag) + ">")));
  return walk;
}

}  // namespace zel
