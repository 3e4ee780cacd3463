#include "bridge/fake_server.h"

#include <chrono>
#include <thread>

#include "platform/error_info.h"
#include "platform/text_encoding.h"

namespace zel::bridge::testing {

// ---- FakeElement ---------------------------------------------------------------------------

const MemberTable& FakeElement::Members() {
  static const MemberTable table =
      MemberTableBuilder<FakeElement>("CZelTestElement")
          .Get(Role::kRead, "Index", 1, &FakeElement::get_Index)
          .Get(Role::kRead, "ID", 2, &FakeElement::get_ID)
          .Get(Role::kRead, "Name", 3, &FakeElement::get_Name)
          .Get(Role::kRead, "CurrCondition", 4, &FakeElement::get_CurrCondition)
          .Get(Role::kRead, "HeatSetpointF", 5, &FakeElement::get_HeatSetpointF)
          .Put(Role::kControl, "HeatSetpointF", 5, &FakeElement::put_HeatSetpointF)
          .Method(Role::kControl, "Arm", 6, &FakeElement::Arm, {"vtSecurityCode", "vtMode?"})
          .Get(Role::kRead, "LastArm", 7, &FakeElement::get_LastArm)
          .Build();
  return table;
}

HRESULT FakeElement::get_Index(uint32_t* out) {
  *out = index_;
  return S_OK;
}
HRESULT FakeElement::get_ID(uint16_t* out) {
  *out = static_cast<uint16_t>(index_);
  return S_OK;
}
HRESULT FakeElement::get_Name(BStr* out) {
  *out = BStr(name_);
  return S_OK;
}
HRESULT FakeElement::get_CurrCondition(int32_t* out) {
  *out = static_cast<int32_t>(index_ % 3);  // 0 secure, 1 not ready, 2 trouble
  return S_OK;
}
HRESULT FakeElement::get_HeatSetpointF(int32_t* out) {
  std::lock_guard<std::mutex> g(mu_);
  *out = setpoint_;
  return S_OK;
}
HRESULT FakeElement::put_HeatSetpointF(int32_t value) {
  if (value < 0 || value > 100) return E_INVALIDARG;
  std::lock_guard<std::mutex> g(mu_);
  setpoint_ = value;
  return S_OK;
}
HRESULT FakeElement::Arm(Variant code, Variant mode) {
  auto text = [](const Variant& v) -> std::string {
    if (v.IsMissing()) return "-";
    if (v.vt() == VT_I4) return std::to_string(v.i4());
    if (v.vt() == VT_BSTR) return v.bstr().str();
    return "?";
  };
  // "0000" stands for a wrong code, as the controller's code check answers it.
  if (text(code) == "0000") return E_SRV_LOGIN_DENIED;
  std::lock_guard<std::mutex> g(mu_);
  last_arm_ = text(code) + "/" + text(mode);
  return S_OK;
}
HRESULT FakeElement::get_LastArm(BStr* out) {
  std::lock_guard<std::mutex> g(mu_);
  *out = BStr(last_arm_);
  return S_OK;
}

// ---- FakeCollection ------------------------------------------------------------------------

FakeCollection::FakeCollection(std::string type_name, std::vector<std::string> names)
    : type_name_(std::move(type_name)) {
  for (size_t i = 0; i < names.size(); ++i) {
    elements_.push_back(MakeObject<FakeElement>(static_cast<uint32_t>(i + 1), names[i]));
  }
}

const MemberTable& FakeCollection::Members() {
  static const MemberTable table =
      MemberTableBuilder<FakeCollection>("CZelTestCollection")
          .Get(Role::kRead, "Count", 1, &FakeCollection::get_Count)
          .Get(Role::kRead, "Item", 0, &FakeCollection::get_Item, {"vtIndex"})
          .Build();
  return table;
}

HRESULT FakeCollection::get_Count(int32_t* out) {
  *out = static_cast<int32_t>(elements_.size());
  return S_OK;
}

HRESULT FakeCollection::get_Item(Variant index, IDispatch** out) {
  if (index.vt() != VT_I4) return DISP_E_TYPEMISMATCH;
  int32_t i = index.i4();
  if (i < 1 || static_cast<size_t>(i) > elements_.size()) return DISP_E_BADINDEX;
  *out = elements_[static_cast<size_t>(i - 1)].get();
  (*out)->AddRef();
  return S_OK;
}

// ---- FakeServer ----------------------------------------------------------------------------

FakeServer::FakeServer()
    : zones_(MakeObject<FakeCollection>("CZelZones",
                                        std::vector<std::string>{"Front Door", "Garage", "Hall"})),
      areas_(MakeObject<FakeCollection>("CZelAreas", std::vector<std::string>{"House"})),
      thermostats_(MakeObject<FakeCollection>("CZelThermostats",
                                              std::vector<std::string>{"Upstairs", "Downstairs"})),
      point_(static_cast<IDispatch*>(this), kTestEventsIid) {}

FakeServer::~FakeServer() { point_.UnadviseAll(); }

const MemberTable& FakeServer::Members() {
  static const MemberTable table =
      MemberTableBuilder<FakeServer>("CZelTestServer")
          .Get(Role::kRead, "Name", 1, &FakeServer::get_Name)
          .Put(Role::kControl, "Name", 1, &FakeServer::put_Name)
          .Get(Role::kRead, "Ratio", 2, &FakeServer::get_Ratio)
          .Put(Role::kControl, "Ratio", 2, &FakeServer::put_Ratio)
          .Get(Role::kRead, "Enabled", 3, &FakeServer::get_Enabled)
          .Put(Role::kControl, "Enabled", 3, &FakeServer::put_Enabled)
          .Get(Role::kRead, "When", 4, &FakeServer::get_When)
          .Get(Role::kRead, "NullText", 5, &FakeServer::get_NullText)
          .Get(Role::kRead, "Bytes", 6, &FakeServer::get_Bytes)
          .Get(Role::kRead, "Mixed", 7, &FakeServer::get_Mixed)
          .Get(Role::kRead, "Counter", 8, &FakeServer::get_Counter)
          .Get(Role::kRead, "Status", 20, &FakeServer::get_Status)
          .Get(Role::kRead, "Model", 21, &FakeServer::get_Model)
          .Get(Role::kRead, "version", 22, &FakeServer::get_version)
          .Get(Role::kRead, "PhoneNumber", 23, &FakeServer::get_PhoneNumber)
          .Get(Role::kRead, "Date", 24, &FakeServer::get_Date)
          .Get(Role::kRead, "Zones", 30, &FakeServer::get_Zones)
          .Get(Role::kRead, "Areas", 31, &FakeServer::get_Areas)
          .Get(Role::kRead, "Thermostats", 32, &FakeServer::get_Thermostats)
          .Method(Role::kRead, "Sum", 40, &FakeServer::Sum, {"vtA", "vtB?"})
          .Method(Role::kRead, "Echo", 41, &FakeServer::Echo, {"vtValue"})
          .Method(Role::kRead, "Scale", 42, &FakeServer::Scale, {"lValue"})
          .Method(Role::kRead, "Block", 43, &FakeServer::Block, {"lMilliseconds"})
          .Method(Role::kRead, "Fail", 44, &FakeServer::Fail)
          .Method(Role::kRead, "NewChild", 45, &FakeServer::NewChild, {"bstrName"})
          .Method(Role::kRead, "FireTicks", 46, &FakeServer::FireTicks, {"lCount"})
          .Method(Role::kRead, "FireStatus", 47, &FakeServer::FireStatus, {"lStatus"})
          .Method(Role::kRead, "FireObject", 48, &FakeServer::FireObject)
          .Put(Role::kControl, "OnStatus", 49, &FakeServer::put_OnStatus)
          .Get(Role::kRead, "EventConnections", 50, &FakeServer::get_EventConnections)
          // For the role checks: a secret only admin reads, and a member no client may call
          // (it would fail if it ran).
          .Get(Role::kAdmin, "Secret", 51, &FakeServer::get_Name)
          .Method(Role::kInProcess, "Lock", 52, &FakeServer::Fail)
          .Build();
  return table;
}

const MemberTable& FakeServer::EventMembers() {
  static const MemberTable table = [] {
    MemberTable t("_DTestEvents");
    t.Member("OnTick", kOnTick);
    t.Member("OnStatusChange", kOnStatusChange);
    t.Member("OnObject", kOnObject);
    return t;
  }();
  return table;
}

HRESULT FakeServer::FindConnectionPoint(const IID& iid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (iid != kTestEventsIid) return CONNECT_E_NOCONNECTION;
  point_.AddRef();
  *point = &point_;
  return S_OK;
}

HRESULT FakeServer::GetOutgoingInterface(IID* iid, const MemberTable** members) {
  if (iid == nullptr || members == nullptr) return E_POINTER;
  *iid = kTestEventsIid;
  *members = &EventMembers();
  return S_OK;
}

HRESULT FakeServer::get_Name(BStr* out) {
  std::lock_guard<std::mutex> g(mu_);
  *out = BStr(name_);
  return S_OK;
}
HRESULT FakeServer::put_Name(BStr value) {
  std::lock_guard<std::mutex> g(mu_);
  name_ = value.str();
  return S_OK;
}
HRESULT FakeServer::get_Ratio(double* out) {
  std::lock_guard<std::mutex> g(mu_);
  *out = ratio_;
  return S_OK;
}
HRESULT FakeServer::put_Ratio(double value) {
  std::lock_guard<std::mutex> g(mu_);
  ratio_ = value;
  return S_OK;
}
HRESULT FakeServer::get_Enabled(VariantBool* out) {
  std::lock_guard<std::mutex> g(mu_);
  out->value = enabled_ ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}
HRESULT FakeServer::put_Enabled(bool value) {
  std::lock_guard<std::mutex> g(mu_);
  enabled_ = value;
  return S_OK;
}
HRESULT FakeServer::get_When(Date* out) {
  *out = Date{45000.75};  // 2023-03-15 18:00
  return S_OK;
}
HRESULT FakeServer::get_NullText(BStr* out) {
  *out = BStr::Null();
  return S_OK;
}
HRESULT FakeServer::get_Bytes(Variant* out) {
  const uint8_t bytes[] = {0x5A, 0x01, 0x05};
  *out = Variant::Array(SafeArray::FromBytes(bytes));
  return S_OK;
}
HRESULT FakeServer::get_Mixed(Variant* out) {
  SafeArray array(VT_VARIANT, 3);
  array.variants()[0] = Variant::I4(7);
  array.variants()[1] = Variant::Str(BStr("seven"));
  array.variants()[2] = Variant::Dispatch(zones_.get());
  *out = Variant::Array(std::move(array), VT_VARIANT);
  return S_OK;
}
HRESULT FakeServer::get_Counter(uint32_t* out) {
  *out = counter_.load();
  return S_OK;
}
HRESULT FakeServer::get_Status(int32_t* out) {
  *out = 16;  // interactive
  return S_OK;
}
HRESULT FakeServer::get_Model(BStr* out) {
  *out = BStr("Test Panel 2000");
  return S_OK;
}
HRESULT FakeServer::get_version(BStr* out) {
  *out = BStr("3.14");
  return S_OK;
}
HRESULT FakeServer::get_PhoneNumber(BStr* out) {
  *out = BStr("555-0100");
  return S_OK;
}
HRESULT FakeServer::get_Date(Date* out) {
  *out = Date{45000.5};
  return S_OK;
}
HRESULT FakeServer::get_Zones(IDispatch** out) {
  *out = zones_.get();
  (*out)->AddRef();
  return S_OK;
}
HRESULT FakeServer::get_Areas(IDispatch** out) {
  *out = areas_.get();
  (*out)->AddRef();
  return S_OK;
}
HRESULT FakeServer::get_Thermostats(IDispatch** out) {
  *out = thermostats_.get();
  (*out)->AddRef();
  return S_OK;
}

HRESULT FakeServer::Sum(Variant a, Variant b, Variant* out) {
  ++counter_;
  Variant ia, ib;
  ZEL_TRY(ChangeType(a, VT_I4, &ia));
  if (b.IsMissing()) {
    ib = Variant::I4(10);
  } else {
    ZEL_TRY(ChangeType(b, VT_I4, &ib));
  }
  *out = Variant::I4(ia.i4() + ib.i4());
  return S_OK;
}
HRESULT FakeServer::Echo(Variant value, Variant* out) {
  *out = std::move(value);
  return S_OK;
}
HRESULT FakeServer::Scale(int32_t value, int32_t* out) {
  *out = value * 2;
  return S_OK;
}
HRESULT FakeServer::Block(int32_t milliseconds) {
  ++counter_;
  if (milliseconds < 0 || milliseconds > 10000) return E_INVALIDARG;
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  return S_OK;
}
HRESULT FakeServer::Fail() {
  SetErrorInfo(ErrorInfo{"Test.Server", GUID_NULL, "the fake always fails here", E_FAIL});
  return E_FAIL;
}
HRESULT FakeServer::NewChild(BStr name, IDispatch** out) {
  auto child = MakeObject<FakeElement>(0, name.str());
  *out = child.Detach();
  return S_OK;
}
HRESULT FakeServer::FireTicks(int32_t count) {
  for (int32_t i = 1; i <= count; ++i) {
    Variant arg = Variant::I4(i);
    point_.Fire(kOnTick, std::span<const Variant>(&arg, 1));
  }
  return S_OK;
}
HRESULT FakeServer::FireStatus(int32_t status) {
  Variant arg = Variant::I4(status);
  ComPtr<IDispatch> handler;
  {
    std::lock_guard<std::mutex> g(mu_);
    handler = on_status_;
  }
  if (handler) (void)handler->Invoke(DISPID_VALUE, DISPATCH_METHOD, {&arg, 1}, nullptr);
  point_.Fire(kOnStatusChange, std::span<const Variant>(&arg, 1));
  return S_OK;
}
HRESULT FakeServer::FireObject() {
  auto child = MakeObject<FakeElement>(99, "event object");
  Variant arg = Variant::Dispatch(child.get());
  point_.Fire(kOnObject, std::span<const Variant>(&arg, 1));
  return S_OK;
}
HRESULT FakeServer::put_OnStatus(Variant handler) {
  if (handler.vt() != VT_DISPATCH && handler.vt() != VT_NULL && handler.vt() != VT_EMPTY) {
    return E_UNEXPECTED;
  }
  ComPtr<IDispatch> keep(handler.vt() == VT_DISPATCH ? handler.dispatch() : nullptr);
  std::lock_guard<std::mutex> g(mu_);
  on_status_.swap(keep);
  return S_OK;
}
HRESULT FakeServer::get_EventConnections(int32_t* out) {
  *out = static_cast<int32_t>(point_.Count());
  return S_OK;
}

void RegisterFakeServer(bool as_server_prog_id) {
  ClassRegistry::Instance().Register(kTestServerClsid, "Test.Server", FactoryOf<FakeServer>());
  if (as_server_prog_id) {
    ClassRegistry::Instance().Register(kFakeZelServerClsid, "Corvane.ZelServer",
                                       FactoryOf<FakeServer>(), /*singleton=*/true);
  }
}

HRESULT FakeLoginGate::Login(const std::string& user, const std::string& code,
                             std::string* cookie) {
  static const std::map<std::string, std::string> kCodes = {
      {"owner", "1234"}, {"guest", "5678"}, {"boss", "4321"}};
  auto it = kCodes.find(AsciiToLower(user));
  if (it == kCodes.end() || it->second != code) {
    SetErrorInfo(ErrorInfo{"Test.Server", GUID_NULL, "Login refused", E_SRV_LOGIN_DENIED});
    return E_SRV_LOGIN_DENIED;
  }
  MutexLock g(&mu_);
  *cookie = "{cookie-" + std::to_string(++next_) + "}";
  sessions_[*cookie] = Session{user, true};
  return S_OK;
}

HRESULT FakeLoginGate::Renew(const std::string& cookie) {
  MutexLock g(&mu_);
  auto it = sessions_.find(cookie);
  if (it == sessions_.end()) return E_SRV_LOGIN_DENIED;
  if (!it->second.live) {
    sessions_.erase(it);
    return E_SRV_SESSION_EXPIRED;
  }
  ++renewals_;
  return S_OK;
}

HRESULT FakeLoginGate::Logout(const std::string& cookie) {
  MutexLock g(&mu_);
  return sessions_.erase(cookie) ? S_OK : E_FAIL;
}

std::string FakeLoginGate::LiveUser(const std::string& cookie) {
  MutexLock g(&mu_);
  auto it = sessions_.find(cookie);
  return it != sessions_.end() && it->second.live ? it->second.user : std::string();
}

void FakeLoginGate::Expire(const std::string& cookie) {
  MutexLock g(&mu_);
  if (auto it = sessions_.find(cookie); it != sessions_.end()) it->second.live = false;
}

int FakeLoginGate::renewals() {
  MutexLock g(&mu_);
  return renewals_;
}

}  // namespace zel::bridge::testing
