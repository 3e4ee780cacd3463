#include "model/areas.h"

#include <array>
#include <cstring>

#include "link/convert_argument.h"
#include "link/frame.h"
#include "link/request.h"
#include "model/object_commands.h"
#include "model/zones.h"
#include "platform/sync.h"
#include "server/zel_server.h"

namespace zel {
namespace {

constexpr std::array<uint8_t, 5> kSystemStatusRequest = {0x5A, 0x01, 0x13, 0x40, 0x5D};

// The mode argument of Arm: omitted means mode 3; otherwise 1 to 6.
HRESULT ArmMode(const Variant& argument, uint8_t* mode) {
  if (argument.vt() == VT_ERROR) {
    *mode = kDefaultArmMode;
    return S_OK;
  }
  Variant converted;
  ZEL_TRY(ConvertArgument(argument, VT_I4, &converted));
  if (converted.i4() < 1 || converted.i4() > kMaxArmMode) return E_INVALIDARG;
  *mode = static_cast<uint8_t>(converted.i4());
  return S_OK;
}

// Models 9 and 10 have a single area, which their controller numbers 1.
bool SingleAreaModel() {
  int model = ConnectedModelIndex();
  return model == 9 || model == 10;
}

}  // namespace

bool ExpectedSystemStatusHeader(int model_index, uint8_t header[3]) {
  uint8_t length = 0;
  switch (model_index) {
    case 0:
    case 4:
    case 7:
      length = 0x11;
      break;
    case 1:
    case 2:
      length = 0x1F;
      break;
    case 3:
    case 9:
      length = 0x10;
      break;
    case 5:
      length = 0x27;
      break;
    case 10:
      length = 0x20;
      break;
    default:
      return false;
  }
  header[0] = kFrameStart;
  header[1] = length;
  header[2] = 0x14;  // the system status reply's message type
  return true;
}

// ---- CZelArea -------------------------------------------------------------------------------

HRESULT CZelArea::LoadStatus(const uint8_t* data, uint32_t size) {
  MutexLock g(&fields_mu());
  uint32_t offset = index_ + kAreaModeDataOffset;
  // `size` counts the type byte too: data bytes 0 .. size - 2 exist.
  if (size < 2 || offset > size - 2) return E_FAIL;
  security_mode_ = data[offset];
  return S_OK;
}

HRESULT CZelArea::get_SecurityMode(int32_t* mode) {
  if (mode == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  *mode = security_mode_;
  return S_OK;
}

HRESULT CZelArea::get_Zones(IDispatch** zones) {
  if (zones == nullptr) return E_POINTER;
  *zones = nullptr;
  MutexLock g(&zones_mu_);
  if (!zones_) {
    ComPtr<CZelZones> own = MakeObject<CZelZones>();
    if (!own) return E_OUTOFMEMORY;
    ComPtr<IZelCollection> all;
    ZEL_TRY(GetServerCollection(kSlotZones, &all));
    int32_t count = 0;
    ZEL_TRY(all->get_Count(&count));
    uint16_t my_id = id();
    for (int32_t position = 1; position <= count; ++position) {
      Variant item;
      if (all->Item(Variant::I4(position), Variant::Missing(), &item) != S_OK) continue;
      ComPtr<IZelZone> zone;
      if (item.vt() != VT_DISPATCH || Failed(QueryAs<IZelZone>(item.dispatch(), &zone))) continue;
      // Zones whose area cannot be read are left out.
      ComPtr<IDispatch> area;
      if (Failed(zone->get_Area(area.Receive())) || !area) continue;
      ComPtr<IZelCollectionElement> element;
      if (Failed(QueryAs<IZelCollectionElement>(area.get(), &element))) continue;
      Variant area_id;
      if (Failed(element->get_ID(&area_id)) || area_id.i4() != my_id) continue;
      ZEL_TRY(own->Add(item, Variant::Missing()));
    }
    zones_ = ComPtr<IDispatch>(static_cast<IDispatch*>(static_cast<IZelZones*>(own.get())));
  }
  zones_->AddRef();
  *zones = zones_.get();
  return S_OK;
}

HRESULT CZelArea::AreaCommand(uint8_t command, uint8_t parameter1, uint16_t parameter2) {
  ZEL_TRY(SendObjectCommand(command, parameter1, parameter2));
  return RefreshElement(kSlotAreas, static_cast<IZelArea*>(this), index());
}

HRESULT CZelArea::Arm(Variant security_code, Variant security_mode) {
  // The code is resolved before the mode is checked.
  uint8_t user = 0;
  ZEL_TRY(ResolveUserNumber(security_code, &user));
  uint8_t mode = 0;
  ZEL_TRY(ArmMode(security_mode, &mode));
  uint16_t area = SingleAreaModel() ? 1 : id();
  return AreaCommand(static_cast<uint8_t>(kCommandSecurityBase + mode), user, area);
}

HRESULT CZelArea::Disarm(Variant security_code) {
  uint8_t user = 0;
  ZEL_TRY(ResolveUserNumber(security_code, &user));
  return AreaCommand(kCommandSecurityBase, user, id());
}

HRESULT CZelArea::Restore(Variant security_code) {
  uint8_t user = 0;
  ZEL_TRY(ResolveUserNumber(security_code, &user));
  return AreaCommand(kCommandRestoreArea, user, id());
}

HRESULT CZelArea::AllOff() { return AreaCommand(kCommandAllOff, 0, id()); }

HRESULT CZelArea::AllOn() { return AreaCommand(kCommandAllOn, 0, id()); }

const MemberTable& CZelArea::Members() {
  static const MemberTable table =
      MemberTableBuilder<CZelArea>("CZelArea")
          .Inherit(ElementMembers())
          .Get(Role::kRead, "SecurityMode", kDispidAreaSecurityMode, &CZelArea::get_SecurityMode)
          .Get(Role::kRead, "Zones", kDispidAreaZones, &CZelArea::get_Zones)
          .Method(Role::kControl, "Arm", kDispidAreaArm, &CZelArea::Arm,
                  {"vtSecurityCode", "vtSecurityMode?"})
          .Method(Role::kControl, "Disarm", kDispidAreaDisarm, &CZelArea::Disarm,
                  {"vtSecurityCode"})
          .Method(Role::kControl, "Restore", kDispidAreaRestore, &CZelArea::Restore,
                  {"vtSecurityCode"})
          .Method(Role::kControl, "AllOff", kDispidAreaAllOff, &CZelArea::AllOff)
          .Method(Role::kControl, "AllOn", kDispidAreaAllOn, &CZelArea::AllOn)
          .Build();
  return table;
}

const PropertyMap& CZelArea::Properties() {
  static const PropertyMap map = [] {
    PropertyMapBuilder<CZelArea> b;
    AddCommonProperties(b);
    b.Member<&CZelArea::security_mode_>("SECURITYMODE", VT_UI2);
    return b.Build();
  }();
  return map;
}

// ---- CZelAreas ------------------------------------------------------------------------------

HRESULT CZelAreas::UpdateElement(uint16_t /*number*/, IDispatch* element) {
  if (element == nullptr) return E_POINTER;
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  ComPtr<IZelCommHandler> link = server->transport();
  ReplyBuffer reply;
  ZEL_TRY(SendControllerRequest(link.get(), true, kSystemStatusRequest.data(),
                                kSystemStatusRequest.size(), &reply));
  if (IsNakFrame(reply.get())) return E_FAIL;
  uint8_t header[3];
  if (!ExpectedSystemStatusHeader(server->model_index(), header) ||
      std::memcmp(reply.get(), header, sizeof header) != 0) {
    return E_FAIL;
  }
  ComPtr<IPersistMemory> memory;
  ZEL_TRY(QueryAs<IPersistMemory>(element, &memory));
  return memory->Load(reply.get() + 3, reply.get()[1]);
}

HRESULT CZelAreas::Arm(Variant security_code, Variant security_mode) {
  uint8_t user = 0;
  ZEL_TRY(ResolveUserNumber(security_code, &user));
  uint8_t mode = 0;
  ZEL_TRY(ArmMode(security_mode, &mode));
  ZEL_TRY(SendObjectCommand(static_cast<uint8_t>(kCommandSecurityBase + mode), user, 0));
  return RefreshCollection(kSlotAreas);
}

HRESULT CZelAreas::Disarm(Variant security_code) {
  uint8_t user = 0;
  ZEL_TRY(ResolveUserNumber(security_code, &user));
  ZEL_TRY(SendObjectCommand(kCommandSecurityBase, user, 0));
  return RefreshCollection(kSlotAreas);
}

HRESULT CZelAreas::Restore(Variant security_code) {
  uint8_t user = 0;
  ZEL_TRY(ResolveUserNumber(security_code, &user));
  ZEL_TRY(SendObjectCommand(kCommandRestoreArea, user, 0));
  return RefreshCollection(kSlotAreas);
}

HRESULT CZelAreas::AllOff() { return SendObjectCommand(kCommandAllOff, 0, 0); }

HRESULT CZelAreas::AllOn() { return SendObjectCommand(kCommandAllOn, 0, 0); }

const MemberTable& CZelAreas::Members() {
  static const MemberTable table =
      MemberTableBuilder<CZelAreas>("CZelAreas")
          .Inherit(CollectionMembers())
          .Method(Role::kControl, "Arm", kDispidAreasArm, &CZelAreas::Arm,
                  {"vtSecurityCode", "vtSecurityMode?"})
          .Method(Role::kControl, "Disarm", kDispidAreasDisarm, &CZelAreas::Disarm,
                  {"vtSecurityCode"})
          .Method(Role::kControl, "Restore", kDispidAreasRestore, &CZelAreas::Restore,
                  {"vtSecurityCode"})
          .Method(Role::kControl, "AllOff", kDispidAreasAllOff, &CZelAreas::AllOff)
          .Method(Role::kControl, "AllOn", kDispidAreasAllOn, &CZelAreas::AllOn)
          .Build();
  return table;
}

}  // namespace zel
