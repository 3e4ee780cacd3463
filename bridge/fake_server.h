// Test-only automation classes that stand in for the server object behind the bridge: a
// "Test.Server" with properties of several types, a method with an optional argument, members
// that return objects (collections of elements), a connection point that fires on request, a
// handler property invoked at dispid 0 like the server's On... properties, a member that sets
// error information, and a method that blocks for a while (a slow controller exchange).
//
// RegisterFakeServer() registers "Test.Server" (a new object per creation) and, with
// as_server_prog_id, the same class as the one singleton "Corvane.ZelServer" so zelctl can be
// driven against it.
//
// FakeLoginGate stands in for the server's login sessions.
//
// Thread contract: members may be called from any thread; mu_ guards each object's fields.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/login_gate.h"
#include "platform/class_registry.h"
#include "platform/connection_point.h"
#include "platform/dispatch.h"
#include "platform/freshness.h"
#include "platform/sync.h"

namespace zel::bridge::testing {

inline constexpr CLSID kTestServerClsid = MakeGuid(0x7A1D0C55, 0x2B3E, 0x4C8F, 0x9D01A2B3C4D5E6F7);
inline constexpr CLSID kFakeZelServerClsid =
    MakeGuid(0x7A1D0C56, 0x2B3E, 0x4C8F, 0x9D01A2B3C4D5E6F7);
inline constexpr IID kTestEventsIid = MakeGuid(0x7A1D0C57, 0x2B3E, 0x4C8F, 0x9D01A2B3C4D5E6F7);

// Dispids of the outgoing interface "_DTestEvents".
inline constexpr DISPID kOnTick = 1;
inline constexpr DISPID kOnStatusChange = 2;
inline constexpr DISPID kOnObject = 3;

// One element of a fake collection (a zone, an area, a thermostat: all members in one class).
// Its values are 2.5 s old when its index is odd, and never refreshed when it is even.
class FakeElement final : public DispatchImpl<FakeElement, IDispatch>, public IFreshness {
  ZEL_IMPLEMENT_REFCOUNT()

 public:
  FakeElement(uint32_t index, std::string name) : index_(index), name_(std::move(name)) {}
  static const MemberTable& Members();
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch, IFreshness>(this, iid, ppv);
  }
  HRESULT GetAge(double* seconds) override {
    *seconds = index_ % 2 ? 2.5 : 0;
    return index_ % 2 ? S_OK : S_FALSE;
  }

  HRESULT get_Index(uint32_t* out);
  HRESULT get_ID(uint16_t* out);
  HRESULT get_Name(BStr* out);
  HRESULT get_CurrCondition(int32_t* out);
  HRESULT get_HeatSetpointF(int32_t* out);
  HRESULT put_HeatSetpointF(int32_t value);
  HRESULT Arm(Variant code, Variant mode);
  // What the last Arm received, as text ("1234/3"), for tests.
  HRESULT get_LastArm(BStr* out);

 private:
  const uint32_t index_;
  const std::string name_;
  std::mutex mu_;
  int32_t setpoint_ = 70;
  std::string last_arm_;
};

class FakeCollection final : public DispatchImpl<FakeCollection, IDispatch> {
  ZEL_IMPLEMENT_REFCOUNT()

 public:
  FakeCollection(std::string type_name, std::vector<std::string> names);
  static const MemberTable& Members();
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  std::string_view GetTypeName() const override { return type_name_; }

  HRESULT get_Count(int32_t* out);
  HRESULT get_Item(Variant index, IDispatch** out);

 private:
  std::string type_name_;
  std::vector<ComPtr<FakeElement>> elements_;
};

class FakeServer final : public DispatchImpl<FakeServer, IDispatch>,
                         public IConnectionPointContainer,
                         public IProvideOutgoingInterface {
  ZEL_IMPLEMENT_REFCOUNT()

 public:
  FakeServer();
  ~FakeServer() override;
  static const MemberTable& Members();
  static const MemberTable& EventMembers();

  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch, IConnectionPointContainer, IProvideOutgoingInterface>(
        this, iid, ppv);
  }
  HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) override;
  HRESULT GetOutgoingInterface(IID* iid, const MemberTable** members) override;

  // Typed properties.
  HRESULT get_Name(BStr* out);
  HRESULT put_Name(BStr value);
  HRESULT get_Ratio(double* out);
  HRESULT put_Ratio(double value);
  HRESULT get_Enabled(VariantBool* out);
  HRESULT put_Enabled(bool value);
  HRESULT get_When(Date* out);
  HRESULT get_NullText(BStr* out);
  HRESULT get_Bytes(Variant* out);
  HRESULT get_Mixed(Variant* out);
  HRESULT get_Counter(uint32_t* out);  // counts every call of Block and Sum
  // The controller-like properties zelctl status reads.
  HRESULT get_Status(int32_t* out);
  HRESULT get_Model(BStr* out);
  HRESULT get_version(BStr* out);
  HRESULT get_PhoneNumber(BStr* out);
  HRESULT get_Date(Date* out);
  HRESULT get_Zones(IDispatch** out);
  HRESULT get_Areas(IDispatch** out);
  HRESULT get_Thermostats(IDispatch** out);

  // Methods.
  HRESULT Sum(Variant a, Variant b, Variant* out);  // b optional (default 10)
  HRESULT Echo(Variant value, Variant* out);
  HRESULT Scale(int32_t value, int32_t* out);  // value * 2; typed parameter
  HRESULT Block(int32_t milliseconds);
  HRESULT Fail();                                // E_FAIL with error information
  HRESULT NewChild(BStr name, IDispatch** out);  // a new object every call
  // Fires OnTick(1..count) to the sinks.
  HRESULT FireTicks(int32_t count);
  // Fires OnStatusChange(status) to the handler in OnStatus (dispid 0) and then to the sinks.
  HRESULT FireStatus(int32_t status);
  // Fires OnObject(a new child) to the sinks.
  HRESULT FireObject();
  HRESULT put_OnStatus(Variant handler);  // a dispatch reference or null, else E_UNEXPECTED
  HRESULT get_EventConnections(int32_t* out);

 private:
  std::mutex mu_;
  std::string name_ = "fake";
  double ratio_ = 0.5;
  bool enabled_ = true;
  ComPtr<IDispatch> on_status_;
  ComPtr<FakeCollection> zones_, areas_, thermostats_;
  std::atomic<uint32_t> counter_{0};
  ConnectionPoint point_;
};

// Registers "Test.Server" and, when as_server_prog_id, "Corvane.ZelServer" (singleton).
void RegisterFakeServer(bool as_server_prog_id = true);

// The server's login sessions for the bridge's tests: users "owner" (code "1234"), "guest"
// ("5678") and "boss" ("4321"), names ignoring letter case; a session lives until Logout or
// Expire. Cookies are "{cookie-N}".
class FakeLoginGate final : public LoginGate {
 public:
  HRESULT Login(const std::string& user, const std::string& code, std::string* cookie) override;
  HRESULT Renew(const std::string& cookie) override;
  HRESULT Logout(const std::string& cookie) override;
  std::string LiveUser(const std::string& cookie) override;
  // Ends the session as its time running out would.
  void Expire(const std::string& cookie);
  int renewals();

 private:
  struct Session {
    std::string user;
    bool live = true;
  };
  Mutex mu_;
  std::map<std::string, Session> sessions_ ZEL_GUARDED_BY(mu_);
  int next_ ZEL_GUARDED_BY(mu_) = 0;
  int renewals_ ZEL_GUARDED_BY(mu_) = 0;
};

}  // namespace zel::bridge::testing
