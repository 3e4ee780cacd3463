#include "server/zel_server.h"

#include <cstring>
#include <utility>

#include "link/comm_handlers.h"
#include "link/frame.h"
#include "link/link_classes.h"
#include "link/request.h"
#include "platform/class_registry.h"
#include "platform/sync.h"
#include "server/system_information.h"

namespace zel {
namespace {

// The module-wide server. The destructor clears it under the lock, and ServerInstance takes its
// reference under the same lock only while the count has not reached 0.
Mutex g_server_mu;
CZelServer* g_server ZEL_GUARDED_BY(g_server_mu) = nullptr;

// Binds the 25 handler properties (put-only, one variant) at dispids 0x60E + slot.
template <size_t... Slot>
void BindHandlers(MemberTableBuilder<CZelServer>& builder, std::index_sequence<Slot...>) {
  // control, not read: the server keeps one handler per property, so setting one replaces
  // another client's (a read client watches through advise instead).
  (builder.Put(Role::kControl, kHandlerPropertyNames[Slot],
               kDispidFirstHandler + static_cast<DISPID>(Slot),
               &CZelServer::put_Handler<static_cast<int>(Slot)>, {"vtHandler"}),
   ...);
}

}  // namespace

ComPtr<CZelServer> ServerInstance() {
  MutexLock g(&g_server_mu);
  if (g_server == nullptr || !g_server->AddRefUnlessZero()) return nullptr;
  return ComPtr<CZelServer>::Adopt(g_server);
}

CZelServer::CZelServer() {
  {
    MutexLock g(&g_server_mu);
    g_server = this;
  }
  // A new server starts on a link with no history (tests make many servers in one process).
  LinkHealth::Process().Reset();
  // The link's health tells the server that published itself last; a server being destroyed
  // has withdrawn from the pointer first.
  LinkHealth::Process().SetListener([](LinkState state) {
    if (ComPtr<CZelServer> server = ServerInstance()) server->DeliverLinkState(state);
  });
}

CZelServer::~CZelServer() {
  {
    MutexLock g(&g_server_mu);
    if (g_server == this) g_server = nullptr;
  }
  // Running downloads first: they use the store, the transport and the fields below.
  std::vector<DownloadThread> threads;
  {
    MutexLock g(&threads_mu_);
    threads.swap(download_threads_);
  }
  for (DownloadThread& d : threads) {
    if (d.thread.joinable()) d.thread.join();
  }
  std::unique_ptr<LongDelayTimer> timer;
  ComPtr<CZelSystemInformation> info;
  {
    MutexLock g(&mu_);
    shutting_down_ = true;
    timer = std::move(timer_);
    info = std::move(system_information_);
  }
  timer.reset();  // joins the timer thread; its callback cannot re-arm now
  if (info) info->Detach();
  events_.UnadviseAll();
}

HRESULT CZelServer::QueryInterface(const IID& iid, void** ppv) {
  return QueryInterfaceFor<IZelServer, IZelServerConfig, IDispatch, IConnectionPointContainer,
                           IProvideOutgoingInterface>(this, iid, ppv);
}

HRESULT CZelServer::GetOutgoingInterface(IID* iid, const MemberTable** members) {
  if (iid == nullptr || members == nullptr) return E_POINTER;
  *iid = kIidDZelServerEvents;
  *members = &ServerEventsMembers();
  return S_OK;
}

const MemberTable& CZelServer::Members() {
  using T = CZelServer;
  static const MemberTable table = [] {
    MemberTableBuilder<T> b("CZelServer");
    // IZelServerConfig.
    b.Get(Role::kRead, "ProductVersion", kDispidProductVersion, &T::get_ProductVersion)
        .Put(Role::kAdmin, "CommunicationsHandler", kDispidCommunicationsHandler,
             &T::put_CommunicationsHandler, {"pdispHandler"})
        .Get(Role::kRead, "CommunicationsHandler", kDispidCommunicationsHandler,
             &T::get_CommunicationsHandler)
        .Put(Role::kAdmin, "AccessCode", kDispidAccessCode, &T::put_AccessCode, {"bstrCode"})
        .Get(Role::kAdmin, "AccessCode", kDispidAccessCode, &T::get_AccessCode)
        .Put(Role::kAdmin, "DownloadSetup", kDispidDownloadSetup, &T::put_DownloadSetup, {"bValue"})
        .Get(Role::kRead, "DownloadSetup", kDispidDownloadSetup, &T::get_DownloadSetup)
        .Put(Role::kAdmin, "DownloadNames", kDispidDownloadNames, &T::put_DownloadNames, {"bValue"})
        .Get(Role::kRead, "DownloadNames", kDispidDownloadNames, &T::get_DownloadNames)
        .Put(Role::kAdmin, "SetControllerTime", kDispidSetControllerTime, &T::put_SetControllerTime,
             {"bValue"})
        .Get(Role::kRead, "SetControllerTime", kDispidSetControllerTime, &T::get_SetControllerTime)
        .Get(Role::kRead, "SetupLastDownload", kDispidSetupLastDownload, &T::get_SetupLastDownload)
        .Get(Role::kRead, "NamesLastDownload", kDispidNamesLastDownload, &T::get_NamesLastDownload)
        .Method(Role::kAdmin, "Start", kDispidStart, &T::Start)
        .Method(Role::kAdmin, "Stop", kDispidStop, &T::Stop)
        .Method(Role::kAdmin, "LoadSetup", kDispidLoadSetup, &T::LoadSetup)
        .Method(Role::kAdmin, "SaveSetup", kDispidSaveSetup, &T::SaveSetup);
    // Lifecycle and collections, in slot order.
    // The link's health, with dispids of our own.
    b.Get(Role::kRead, "LinkState", kDispidLinkState, &T::get_LinkState)
        .Get(Role::kRead, "LinkFailures", kDispidLinkFailures, &T::get_LinkFailures)
        .Get(Role::kRead, "LinkLastGood", kDispidLinkLastGood, &T::get_LinkLastGood);
    b.Get(Role::kRead, "Status", kDispidStatus, &T::get_Status)
        .Method(Role::kAdmin, "reset", kDispidReset, &T::reset)
        .Method(Role::kAdmin, "InitCollections", kDispidInitCollections, &T::InitCollections)
        .Get(Role::kRead, "Units", kDispidFirstCollection + kSlotUnits, &T::get_Units)
        .Get(Role::kRead, "Thermostats", kDispidFirstCollection + kSlotThermostats,
             &T::get_Thermostats)
        .Get(Role::kRead, "TemperatureSensors", kDispidFirstCollection + kSlotTemperatureSensors,
             &T::get_TemperatureSensors)
        .Get(Role::kRead, "Zones", kDispidFirstCollection + kSlotZones, &T::get_Zones)
        .Get(Role::kRead, "Events", kDispidFirstCollection + kSlotEvents, &T::get_Events)
        .Get(Role::kRead, "SystemEvents", kDispidFirstCollection + kSlotSystemEvents,
             &T::get_SystemEvents)
        .Get(Role::kRead, "Buttons", kDispidFirstCollection + kSlotButtons, &T::get_Buttons)
        .Get(Role::kRead, "Codes", kDispidFirstCollection + kSlotCodes, &T::get_Codes)
        .Get(Role::kRead, "Expansions", kDispidFirstCollection + kSlotExpansions,
             &T::get_Expansions)
        .Get(Role::kRead, "Messages", kDispidFirstCollection + kSlotMessages, &T::get_Messages)
        .Get(Role::kRead, "Areas", kDispidFirstCollection + kSlotAreas, &T::get_Areas)
        .Get(Role::kRead, "AudioSources", kDispidFirstCollection + kSlotAudioSources,
             &T::get_AudioSources)
        .Get(Role::kRead, "AudioZones", kDispidFirstCollection + kSlotAudioZones,
             &T::get_AudioZones)
        .Get(Role::kRead, "CommHandlers", kDispidFirstCollection + kSlotCommHandlers,
             &T::get_CommHandlers)
        .Get(Role::kRead, "Extensions", kDispidFirstCollection + kSlotExtensions,
             &T::get_Extensions)
        .Get(Role::kAdmin, "Utils", kDispidUtils, &T::get_Utils);
    // System information, parameters and time.
    b.Get(Role::kRead, "Model", kDispidModel, &T::get_Model)
        .Get(Role::kRead, "version", kDispidVersion, &T::get_version)
        .Get(Role::kRead, "PhoneNumber", kDispidPhoneNumber, &T::get_PhoneNumber)
        .Get(Role::kRead, "Date", kDispidDate, &T::get_Date)
        .Get(Role::kRead, "TimeZone", kDispidTimeZone, &T::get_TimeZone)
        .Get(Role::kRead, "DaylightSavings", kDispidDaylightSavings, &T::get_DaylightSavings)
        .Get(Role::kRead, "Sunrise", kDispidSunrise, &T::get_Sunrise)
        .Get(Role::kRead, "Sunset", kDispidSunset, &T::get_Sunset)
        .Get(Role::kRead, "TemperatureFormat", kDispidTemperatureFormat, &T::get_TemperatureFormat)
        .Get(Role::kRead, "BatteryLevel", kDispidBatteryLevel, &T::get_BatteryLevel)
        .Get(Role::kRead, "SystemParametersInfo", kDispidSystemParametersInfo,
             &T::get_SystemParametersInfo, {"vtIndex"})
        .Get(Role::kRead, "SystemInformation", kDispidSystemInformation, &T::get_SystemInformation)
        .Method(Role::kAdmin, "SetControllerTimeNow", kDispidSetControllerTimeNow,
                &T::SetControllerTimeNow);
    // Downloads.
    b.Method(Role::kAdmin, "DownloadSetupNow", kDispidDownloadSetupNow, &T::DownloadSetupNow,
             {"vbAsync"})
        .Get(Role::kRead, "DownloadSetupStatus", kDispidDownloadSetupStatus,
             &T::get_DownloadSetupStatus)
        .Method(Role::kAdmin, "DownloadNamesNow", kDispidDownloadNamesNow, &T::DownloadNamesNow,
                {"vbAsync"})
        .Get(Role::kRead, "DownloadNamesStatus", kDispidDownloadNamesStatus,
             &T::get_DownloadNamesStatus);
    // Client events.
    BindHandlers(b, std::make_index_sequence<kHandlerSlotCount>{});
    b.Method(Role::kAdmin, "FireEvent", kDispidFireEvent, &T::FireEvent, {"pDispEvent"})
        .Get(Role::kRead, "EventConnections", kDispidEventConnections, &T::get_EventConnections)
        .Method(Role::kControl, "OnStartPage", kDispidOnStartPage, &T::OnStartPage, {"piUnk"})
        .Method(Role::kControl, "OnEndPage", kDispidOnEndPage, &T::OnEndPage);
    // Login, storage, status XML.
    b.Method(Role::kRead, "Login", kDispidLogin, &T::Login, {"vtUser?", "vtCode?"})
        .Method(Role::kRead, "Logout", kDispidLogout, &T::Logout, {"vtCookie?"})
        .Method(Role::kAdmin, "SaveFriendlyNames", kDispidSaveFriendlyNames, &T::SaveFriendlyNames)
        .Method(Role::kAdmin, "SaveStatusXML", kDispidSaveStatusXML, &T::SaveStatusXML, {"vtDest"});
    return b.Build();
  }();
  return table;
}

// ---- Configuration ----------------------------------------------------------------------------

HRESULT CZelServer::get_ProductVersion(BStr* version) {
  if (version == nullptr) return E_POINTER;
  // The build's version "1, 0, 0" or "1.0.0": parts split at ", " and joined with ".", at most
  // 19 characters as the version buffer holds.
  std::string text = ZEL_PRODUCT_VERSION;
  std::string joined;
  size_t pos = 0;
  while (true) {
    size_t comma = text.find(", ", pos);
    joined += text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    if (comma == std::string::npos) break;
    joined += ".";
    pos = comma + 2;
  }
  if (joined.size() > 19) joined.resize(19);
  *version = BStr(joined);
  return S_OK;
}

HRESULT CZelServer::put_CommunicationsHandler(IDispatch* handler) {
  if (handler == nullptr) return E_INVALIDARG;
  ComPtr<IZelCommHandler> next;
  ZEL_TRY(QueryAs<IZelCommHandler>(handler, &next));
  ComPtr<IZelCommHandler> previous;
  {
    MutexLock g(&mu_);
    previous = std::move(transport_);
  }
  if (previous) {
    (void)previous->Disconnect();
    previous.reset();
  }
  {
    MutexLock g(&mu_);
    transport_ = next;
  }
  CutIfStopping(next.get());
  HRESULT hr = next->Connect();
  // A transport that cannot connect stays set; the status tells the failure.
  if (Failed(hr)) ChangeStatus(ssFailure, hr);
  return hr;
}

HRESULT CZelServer::get_CommunicationsHandler(IDispatch** handler) {
  if (handler == nullptr) return E_INVALIDARG;
  ComPtr<IZelCommHandler> current = transport();
  if (!current) {
    *handler = nullptr;
    return E_UNEXPECTED;
  }
  *handler = current.Detach();
  return S_OK;
}

HRESULT CZelServer::put_AccessCode(BStr code) {
  // No check here: the length is checked when logging in.
  MutexLock g(&mu_);
  access_code_ = std::move(code);
  return S_OK;
}

HRESULT CZelServer::get_AccessCode(BStr* code) {
  if (code == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  *code = access_code_;
  return S_OK;
}

HRESULT CZelServer::put_DownloadSetup(bool value) {
  MutexLock g(&mu_);
  download_setup_ = value ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CZelServer::get_DownloadSetup(VariantBool* value) {
  if (value == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  value->value = download_setup_;
  return S_OK;
}

HRESULT CZelServer::put_DownloadNames(bool value) {
  MutexLock g(&mu_);
  download_names_ = value ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CZelServer::get_DownloadNames(VariantBool* value) {
  if (value == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  value->value = download_names_;
  return S_OK;
}

HRESULT CZelServer::put_SetControllerTime(bool value) {
  MutexLock g(&mu_);
  set_controller_time_ = value ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CZelServer::get_SetControllerTime(VariantBool* value) {
  if (value == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  value->value = set_controller_time_;
  return S_OK;
}

HRESULT CZelServer::get_SetupLastDownload(Variant* value) {
  if (value == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  *value = setup_last_download_;
  return S_OK;
}

HRESULT CZelServer::get_NamesLastDownload(Variant* value) {
  if (value == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  *value = names_last_download_;
  return S_OK;
}

ComPtr<IZelCommHandler> CZelServer::transport() {
  MutexLock g(&mu_);
  return transport_;
}

ComPtr<IStorage> CZelServer::local_store() {
  MutexLock g(&mu_);
  return store_;
}

void CZelServer::AttachLocalStore(IStorage* store) {
  MutexLock g(&mu_);
  store_ = ComPtr<IStorage>(store);
}

LongDelayTimer* CZelServer::long_delay_timer() {
  MutexLock g(&mu_);
  return timer_.get();
}

// ---- Start and Stop ---------------------------------------------------------------------------

HRESULT CZelServer::Start() {
  MutexLock lifecycle(&lifecycle_mu_);
  if (status() == ssInteractive) return S_OK;
  ChangeStatus(ssStarting, S_OK);

  HRESULT hr = OpenLocalStore();
  if (Failed(hr)) {
    ChangeStatus(ssFailure, hr);
    return hr;
  }

  ChangeStatus(ssLoadingExtensions, S_OK);
  {
    // Creating the extensions attaches them; a failure there does not stop the start.
    ComPtr<IDispatch> extensions;
    (void)GetCollection(kSlotExtensions, extensions.Receive());
  }

  // A transport set by a client before Start skips the stored configuration, access code
  // included.
  if (!transport()) {
    hr = LoadSetup();
    if (Failed(hr) && hr != STG_E_FILENOTFOUND) {
      ChangeStatus(ssFailure, hr);
      return hr;
    }
  }

  hr = ConnectAndLogin();
  if (Failed(hr)) {
    ChangeStatus(ssFailure, hr);
    return hr;
  }

  hr = ReadSystemInformationSetupAndNames();
  if (Failed(hr)) {
    ChangeStatus(ssFailure, hr);
    return hr;
  }

  ChangeStatus(ssInteractive, S_OK);
  return S_OK;
}

HRESULT CZelServer::ReadSystemInformationSetupAndNames() {
  bool any_text_unknown = false;
  {
    MutexLock g(&mu_);
    any_text_unknown = model_text_.IsNull() || version_text_.IsNull() || phone_text_.IsNull();
  }
  if (any_text_unknown) ZEL_TRY(ReadSystemInformation());
  if (model_index() == kUnknownModelIndex) return E_SRV_UNKNOWN_MODEL;

  ChangeStatus(ssLoadingSetup, S_OK);
  bool download_setup = false;
  bool set_time = false;
  {
    MutexLock g(&mu_);
    download_setup = download_setup_ != VARIANT_FALSE;
    set_time = set_controller_time_ != VARIANT_FALSE;
  }
  if (download_setup) {
    ZEL_TRY(DownloadSetupNow(false));
  } else {
    ZEL_TRY(LoadStoredSetupBlock());
  }

  ChangeStatus(ssLoadingNames, S_OK);
  ZEL_TRY(LoadNamesStep());

  ChangeStatus(ssInitializing, S_OK);
  if (set_time) (void)SetControllerTimeNow();
  return S_OK;
}

HRESULT CZelServer::LoadNamesStep() {
  bool download_names = false;
  {
    MutexLock g(&mu_);
    download_names = download_names_ != VARIANT_FALSE;
  }
  if (download_names) return DownloadNamesNow(false);
  // The stored names, or else the controller's (stored for the next start); then the friendly
  // names, and the collections start polling.
  if (Failed(LoadStoredNames())) ZEL_TRY(FetchAndStoreNames());
  if (Succeeded(LoadStoredFriendlyNames())) (void)InitCollections();
  return S_OK;
}

HRESULT CZelServer::Stop() {
  // The link's waits are cut first, so a start, a download, a poll or a client's exchange that
  // is waiting on the controller ends at once instead of holding the lifecycle lock or the
  // request lock for as long as the controller keeps it waiting.
  CutLinkWaits();
  MutexLock lifecycle(&lifecycle_mu_);
  (void)reset();
  ChangeStatus(ssStopping, S_OK);

  HRESULT hr = S_OK;
  ComPtr<IZelCommHandler> current = transport();
  if (current) {
    hr = LogoutAndDisconnect(current.get());
    MutexLock g(&mu_);
    if (transport_ == current) transport_.reset();
  }
  ResumeLinkWaits(current.get());
  if (Failed(hr)) {
    ChangeStatus(ssFailure, hr);
  } else {
    ChangeStatus(ssStopped, S_OK);
  }
  return hr;
}

// ---- Collections --------------------------------------------------------------------------

HRESULT CZelServer::GetCollection(int slot, IDispatch** collection) {
  if (collection == nullptr) return E_POINTER;
  *collection = nullptr;
  if (slot < 0 || slot >= kCollectionSlotCount) return E_FAIL;
  {
    MutexLock g(&slots_mu_);
    if (slots_[slot]) {
      *collection = ComPtr<IDispatch>(slots_[slot]).Detach();
      return S_OK;
    }
  }
  std::optional<CollectionSlotHooks> hooks = FindCollectionSlot(slot);
  if (!hooks || !hooks->create) return E_NOTIMPL;
  // Created outside the lock: a collection's constructor may ask the server for other
  // collections or for system parameters.
  IDispatch* raw = nullptr;
  ZEL_TRY(hooks->create(&raw));
  if (raw == nullptr) return E_UNEXPECTED;
  ComPtr<IDispatch> created = ComPtr<IDispatch>::Adopt(raw);
  MutexLock g(&slots_mu_);
  // Two first requests at once: the first one stored wins, the other is dropped.
  if (!slots_[slot]) slots_[slot] = created;
  *collection = ComPtr<IDispatch>(slots_[slot]).Detach();
  return S_OK;
}

HRESULT CZelServer::reset() {
  for (int slot = 0; slot < kPolledSlotCount; ++slot) {
    ComPtr<IDispatch> collection;
    {
      MutexLock g(&slots_mu_);
      collection = std::move(slots_[slot]);
    }
    if (!collection) continue;
    std::optional<CollectionSlotHooks> hooks = FindCollectionSlot(slot);
    if (hooks && hooks->stop_update) (void)hooks->stop_update(collection.get());
  }
  return S_OK;
}

HRESULT CZelServer::InitCollections() {
  for (int slot = 0; slot < kPolledSlotCount; ++slot) {
    ComPtr<IDispatch> collection;
    // A collection that cannot be created or initialised is passed over.
    if (Failed(GetCollection(slot, collection.Receive()))) continue;
    std::optional<CollectionSlotHooks> hooks = FindCollectionSlot(slot);
    if (hooks && hooks->init) (void)hooks->init(collection.get());
  }
  return S_OK;
}

HRESULT CZelServer::get_Status(int32_t* status) {
  if (status == nullptr) return E_POINTER;
  *status = status_.load();
  return S_OK;
}

// ---- Utilities -------------------------------------------------------------------------------

HRESULT CZelServer::get_Utils(IDispatch** utils) {
  if (utils == nullptr) return E_POINTER;
  *utils = nullptr;
  // The utilities library registers the class (utils/utils_registration.h); without it there
  // are no utilities in this process.
  HRESULT hr = ClassRegistry::Instance().CreateByProgId("Corvane.ZelServerUtils", IDispatch::kIid,
                                                        reinterpret_cast<void**>(utils));
  return Failed(hr) ? E_NOTIMPL : hr;
}

// ---- Registration -------------------------------------------------------------------------

void RegisterServerClasses() {
  RegisterLinkClasses();  // the transports, their catalogue, the serial transport's fallback
  ClassRegistry::Instance().Register(kClsidZelServer, std::string(kProgIdZelServer),
                                     FactoryOf<CZelServer>(), /*singleton=*/true);
  // CommHandlers: a catalogue made from the settings registry when first asked for.
  CollectionSlotHooks catalogue;
  catalogue.create = [](IDispatch** collection) -> HRESULT {
    if (collection == nullptr) return E_POINTER;
    ComPtr<IDispatch> made;
    ZEL_TRY(ClassRegistry::Instance().Create<IDispatch>(kClsidZelCommHandlers, &made));
    *collection = made.Detach();
    return S_OK;
  };
  RegisterCollectionSlot(kSlotCommHandlers, std::move(catalogue));
}

}  // namespace zel
