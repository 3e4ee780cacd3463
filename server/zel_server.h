// CZelServer: the one central object of the process. It holds the link configuration (transport,
// access code, download and clock flags), owns the transport and the fifteen collection slots,
// runs the start and stop sequences, keeps what the controller told about itself (model,
// version, phone number, clock, setup block), downloads the setup block, and announces every
// status change to handlers and connected sinks.
//
// One instance per process: RegisterServerClasses registers it as a singleton class, and its
// constructor publishes the module-wide server pointer (ServerInstance) through which elements,
// collections and event objects reach the transport and the settings without holding the server.
//
// The work is spread over one file per concern:
//   zel_server.cc         object, configuration, Start, Stop, reset, collections, member table
//   server_status.cc      status changes and their delivery, handler slots, sinks
//   client_events.cc      FireEvent (refresh, then handlers and sinks), the page hooks
//   event_routing.cc      which members an event reaches and what it refreshes
//   setup_stream.cc       the "Setup" stream (SaveSetup, LoadSetup) and transport creation
//   local_store.cc        opening ZELINFO.DAT
//   connect_login.cc      connect, probe and log in
//   controller_info.cc    system information, the status record and its getters
//   system_parameters.cc  SystemParametersInfo (pure functions; the server passes a snapshot)
//   controller_time.cc    SetControllerTimeNow and the midnight re-arm
//   setup_download.cc     the setup download and the "SystemSetup" stream
//   security_context.cc   the server side of security-code resolution (ServerSecurityContext)
//   names_download.cc     DownloadNamesNow: fetch the names, reset, apply, store "Names.2"
//   stored_names.cc       loading "Names.2" / "Names" at start
//   friendly_names.cc     loading "FriendlyNames.2" / "FriendlyNames", SaveFriendlyNames
//   model_access.cc       the empty element and existing collections, for the object model
//   link_state.cc         LinkState and its change event
//   client_login.cc       Login and Logout of web clients (sessions: client_sessions.h)
//   status_xml.cc         SaveStatusXML
//
// Thread contract: free-threaded. Client threads, the collections' update threads, download
// threads and the timer thread call in at once.
//   - mu_ guards the configuration and controller fields marked below. It is never held while
//     talking to the controller, calling a handler, a sink, a collection hook or the transport,
//     so those may call back into the server.
//   - slots_mu_ guards slots_; a collection is created outside it (its constructor may call the
//     server) and stored if the slot is still empty.
//   - lifecycle_mu_ (recursive) serialises Start, Stop and the setup download's block exchange
//     bookkeeping with each other. Handlers and sinks run on their delivery lanes, never on the
//     thread that fires: a status handler that calls Stop while Start runs waits for that Start,
//     which waits for the handler at most DeliveryLanes::kDeliveryWait.
//   - status_, logins_, the download statuses, the model index, the capability record and the
//     status throttle's tick are atomics, read without a lock.
//   - ConnectAndLogin and Relogin run inside the transport's atomic bracket, so two re-logins
//     never interleave on the link.
//   - Every controller exchange is serialised by the transport's own atomic bracket.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/comm_handler.h"
#include "link/link_health.h"
#include "platform/connection_point.h"
#include "platform/storage.h"
#include "platform/sync.h"
#include "server/client_sessions.h"
#include "server/collection_slots.h"
#include "server/interfaces.h"
#include "server/long_delay_timer.h"
#include "server/security_context.h"
#include "server/server_events_table.h"
#include "server/system_info.h"
#include "server/system_parameters.h"

namespace zel {

class CZelSystemInformation;

// System-log message: Stop gave up waiting for the controller link and did not log out.
inline constexpr uint32_t MSG_STOP_WITHOUT_LOGOUT = 0x800200A4;

class CZelServer final : public DispatchImpl<CZelServer, IZelServer>,
                         public IConnectionPointContainer,
                         public IProvideOutgoingInterface {
 public:
  // The access code of a new server.
  static constexpr std::string_view kDefaultAccessCode = "7395";
  // Stop's bounds on the link: the wait for the request lock (once every other exchange has had
  // its waits cut) and the logout with the disconnect.
  static constexpr Millis kStopLinkWait{5000};
  static constexpr Millis kStopLogoutLimit{5000};
  // Status reads closer together than this use the cached record.
  static constexpr Millis kStatusThrottle{1500};
  // The longest path of ZELINFO.DAT (the path buffer's 260 characters, terminator included).
  static constexpr size_t kMaxStorePath = 259;

  CZelServer();
  ~CZelServer() override;

  // Reference counting as ZEL_IMPLEMENT_REFCOUNT gives every class, with AddRefUnlessZero
  // besides: how ServerInstance takes a reference while the destructor may have begun.
  uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }
  // A new reference unless the count has reached 0 (false: the server is being destroyed).
  bool AddRefUnlessZero() {
    uint32_t n = refs_.load(std::memory_order_relaxed);
    while (n != 0) {
      if (refs_.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) return true;
    }
    return false;
  }
  uint32_t RefCountForTesting() const { return refs_.load(); }
  HRESULT QueryInterface(const IID& iid, void** ppv) override;
  static const MemberTable& Members();

  // ---- IZelServerConfig ----
  HRESULT get_ProductVersion(BStr* version) override;
  HRESULT put_CommunicationsHandler(IDispatch* handler) override;
  HRESULT get_CommunicationsHandler(IDispatch** handler) override;
  HRESULT put_AccessCode(BStr code) override;
  HRESULT get_AccessCode(BStr* code) override;
  HRESULT put_DownloadSetup(bool value) override;
  HRESULT get_DownloadSetup(VariantBool* value) override;
  HRESULT put_DownloadNames(bool value) override;
  HRESULT get_DownloadNames(VariantBool* value) override;
  HRESULT put_SetControllerTime(bool value) override;
  HRESULT get_SetControllerTime(VariantBool* value) override;
  HRESULT get_SetupLastDownload(Variant* value) override;
  HRESULT get_NamesLastDownload(Variant* value) override;
  HRESULT Start() override;
  HRESULT Stop() override;
  HRESULT LoadSetup() override;
  HRESULT SaveSetup() override;

  // ---- IZelServer: lifecycle and collections ----
  HRESULT get_Status(int32_t* status) override;
  // The controller link's health (link/link_health.h), beside Status (link_state.cc).
  HRESULT get_LinkState(BStr* state);
  HRESULT get_LinkFailures(int32_t* count);
  HRESULT get_LinkLastGood(Variant* when);  // a date; empty before the first good exchange
  HRESULT reset() override;
  HRESULT InitCollections() override;
  HRESULT get_Units(IDispatch** c) override { return GetCollection(kSlotUnits, c); }
  HRESULT get_Thermostats(IDispatch** c) override { return GetCollection(kSlotThermostats, c); }
  HRESULT get_TemperatureSensors(IDispatch** c) override {
    return GetCollection(kSlotTemperatureSensors, c);
  }
  HRESULT get_Zones(IDispatch** c) override { return GetCollection(kSlotZones, c); }
  HRESULT get_Events(IDispatch** c) override { return GetCollection(kSlotEvents, c); }
  HRESULT get_SystemEvents(IDispatch** c) override { return GetCollection(kSlotSystemEvents, c); }
  HRESULT get_Buttons(IDispatch** c) override { return GetCollection(kSlotButtons, c); }
  HRESULT get_Codes(IDispatch** c) override { return GetCollection(kSlotCodes, c); }
  HRESULT get_Expansions(IDispatch** c) override { return GetCollection(kSlotExpansions, c); }
  HRESULT get_Messages(IDispatch** c) override { return GetCollection(kSlotMessages, c); }
  HRESULT get_Areas(IDispatch** c) override { return GetCollection(kSlotAreas, c); }
  HRESULT get_AudioSources(IDispatch** c) override { return GetCollection(kSlotAudioSources, c); }
  HRESULT get_AudioZones(IDispatch** c) override { return GetCollection(kSlotAudioZones, c); }
  HRESULT get_CommHandlers(IDispatch** c) override { return GetCollection(kSlotCommHandlers, c); }
  HRESULT get_Extensions(IDispatch** c) override { return GetCollection(kSlotExtensions, c); }
  // A new CZelServerUtils (utils/server_utils.h); E_NOTIMPL when the process has not
  // registered the utilities.
  HRESULT get_Utils(IDispatch** utils) override;

  // ---- IZelServer: system information, parameters and controller time ----
  HRESULT get_Model(BStr* model) override;
  HRESULT get_version(BStr* version) override;
  HRESULT get_PhoneNumber(BStr* phone) override;
  HRESULT get_Date(Variant* date) override;
  HRESULT get_TimeZone(Variant* zone) override;
  HRESULT get_DaylightSavings(VariantBool* value) override;
  HRESULT get_Sunrise(Date* time) override;
  HRESULT get_Sunset(Date* time) override;
  HRESULT get_TemperatureFormat(Variant* format) override;
  HRESULT get_BatteryLevel(int32_t* level) override;
  HRESULT get_SystemParametersInfo(Variant index, Variant* value) override;
  HRESULT get_SystemInformation(IDispatch** info) override;
  HRESULT SetControllerTimeNow() override;

  // ---- IZelServer: downloads ----
  HRESULT DownloadSetupNow(bool async) override;
  HRESULT get_DownloadSetupStatus(int32_t* status) override;
  HRESULT DownloadNamesNow(bool async) override;
  HRESULT get_DownloadNamesStatus(int32_t* status) override;

  // ---- IZelServer: client events ----
  HRESULT PutHandler(int slot, const Variant& handler) override;
  template <int Slot>
  HRESULT put_Handler(Variant handler) {
    return PutHandler(Slot, handler);
  }
  // Delivers one event object (IZelEvent or IZelSystemEvent) after refreshing what it concerns;
  // outside ssInteractive nothing is delivered (E_FAIL). client_events.cc.
  HRESULT FireEvent(IDispatch* event) override;
  HRESULT get_EventConnections(Variant* count) override;
  // Page hooks of a script host: the page's five objects (server/script_host.h) are kept until
  // OnEndPage.
  HRESULT OnStartPage(IUnknown* page) override;
  HRESULT OnEndPage() override;

  // ---- IZelServer: client login (client_login.cc) ----
  HRESULT Login(Variant user, Variant code, Variant* cookie) override;
  HRESULT Logout(Variant cookie) override;
  // The login sessions (counts, for tests).
  ClientSessions& client_sessions() { return sessions_; }
  // The user of the live session `cookie` when a person opened it with a user code; "" for
  // none, and for the controller's system session (it has no code of a person behind it, so it
  // is no credential of the bridge).
  std::string PersonOfCookie(const std::string& cookie);

  // ---- IZelServer: storage and status XML ----
  HRESULT SaveFriendlyNames() override;
  // The status XML into a script page's response object (status_xml.cc).
  HRESULT SaveStatusXML(Variant destination) override;

  // ---- IConnectionPointContainer ----
  HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) override;

  // ---- IProvideOutgoingInterface: names the sinks' members for clients of the bridge ----
  HRESULT GetOutgoingInterface(IID* iid, const MemberTable** members) override;

  // ---- The server's own API for the other libraries of the process ----

  // Every status change goes through here: stores it, records the code and sets the thread's
  // error information on ssFailure, calls the OnServerStatusChange handler, fires the sinks and
  // tells the Extensions collection.
  void ChangeStatus(ServerStatus status, HRESULT code);
  // Records a failure code and sets the error information without changing the status (a
  // refused client login does this).
  void RecordFailure(HRESULT code);
  ServerStatus status() const { return static_cast<ServerStatus>(status_.load()); }
  HRESULT last_failure() const { return last_failure_.load(); }

  // The transport, with a reference (null when none is set).
  ComPtr<IZelCommHandler> transport();
  // Disconnect, Connect, probe and login inside one atomic bracket of the transport: the start
  // sequence's step.
  HRESULT ConnectAndLogin();
  // Successful ConnectAndLogin calls so far.
  uint64_t login_count() const { return logins_.load(std::memory_order_acquire); }
  // The update threads' re-login after repeated failures: ConnectAndLogin, unless another
  // re-login succeeded since the caller read login_count() (`logins_seen`); then S_OK with
  // nothing sent. A thread that finds another's re-login running waits for it in the bracket.
  HRESULT Relogin(uint64_t logins_seen);
  // A re-login because the link is down, not yet because of 15 failed passes: true for the first
  // caller and then once per `spacing` (monotonic clock), across all update threads.
  bool ClaimLinkDownRelogin(Millis spacing);

  // The connected controller (set by the system-information read).
  int model_index() const { return model_index_.load(); }
  const CapabilityRecord* capabilities() const { return capabilities_.load(); }
  // SystemParametersInfo with a plain index.
  HRESULT SystemParameter(uint32_t index, Variant* value);
  // The audio system the setup block names (SystemInformation's AudioControlModel).
  AudioControlModel AudioControlModelNow();
  // True between a complete OnStartPage and OnEndPage.
  bool page_started();
  // What security-code resolution reads from this server.
  SecurityCodeContext* security_context() { return &security_context_; }

  // The collection of a slot with one added reference, created on first request. A slot outside
  // 0 to 14: E_FAIL; a slot without hooks: E_NOTIMPL.
  HRESULT GetCollection(int slot, IDispatch** collection);

  // The local store (null before Start has opened it).
  ComPtr<IStorage> local_store();
  // Opens ZELINFO.DAT in the instance directory unless a store is open (Start does this).
  HRESULT OpenLocalStore();
  // Uses a store opened by the caller (a host that opened it itself; tests).
  void AttachLocalStore(IStorage* store);

  // The setup block as downloaded (empty when there is none).
  std::vector<uint8_t> SystemSetupBytes();
  // The one empty element (Item's answer for a miss), made on first request by the factory the
  // object model registers (server/empty_element.h), then kept for the server's life. S_FALSE
  // and null when no factory is registered.
  HRESULT GetEmptyElement(IDispatch** element);
  // The collection of a slot with one added reference if it exists; S_FALSE and null if the
  // slot has not been created (nothing is created).
  HRESULT FindCollection(int slot, IDispatch** collection);
  // The long-delay timer of the daily clock setting (null before the first setting).
  LongDelayTimer* long_delay_timer();

  // Cuts short every wait on the link, now and until the next Stop ends: a start, a download,
  // a poll or a client's exchange waiting on the controller ends at once with E_ABORT. Stop
  // does it first; the host calls it as soon as it is asked to stop, before it waits for a
  // start that is still running.
  void CutLinkWaits();

 private:
  // Stop's part of the link (stop_link.cc). LogoutAndDisconnect takes the request lock within
  // kStopLinkWait (else gives up with E_TIMEOUT and a system-log line, sending nothing), sends
  // the logout and disconnects with their waits cut at kStopLogoutLimit. ResumeLinkWaits ends
  // the cut on `link` and on the current transport. CutIfStopping cuts a transport being set
  // while a stop has the waits cut.
  // The request lock is taken through IZelLinkInterrupt, the same lock under another interface,
  // which the analysis cannot tie to the link's.
  HRESULT LogoutAndDisconnect(IZelCommHandler* link) ZEL_NO_THREAD_SAFETY_ANALYSIS;
  void ResumeLinkWaits(IZelCommHandler* link);
  void CutIfStopping(IZelCommHandler* link);

  // Steps of Start.
  HRESULT ReadSystemInformationSetupAndNames();
  // Disconnect, Connect, probe and login. REQUIRES: the link's atomic bracket is held.
  HRESULT LoginSequence(IZelCommHandler* link, const std::u16string& digits);
  HRESULT LoadNamesStep();
  // Part of LoadSetup: creates the transport of a stored class id and loads its settings.
  HRESULT CreateTransportFromClassId(const CLSID& clsid, IStream* settings);
  // Reads model, version and phone number when any is unknown.
  HRESULT ReadSystemInformation();
  // Refreshes the status record unless the last attempt was within kStatusThrottle.
  HRESULT RefreshStatus(ControllerStatusRecord* record);
  // The setup download's body, its block fetch, and the load of the stored block.
  HRESULT RunSetupDownload();
  HRESULT FetchSetupBlock(Variant* block);
  HRESULT LoadStoredSetupBlock();
  SetupBlockView SetupView(std::vector<uint8_t>* storage);
  // Fills the status-change handler and sink arguments.
  void DeliverStatus(ServerStatus status);
  // Call the handler of a slot, if set, or every connected sink's `member`, with one argument,
  // each recipient on its delivery lane (client_events.cc): waits at most
  // DeliveryLanes::kDeliveryWait per recipient. Results and exceptions are ignored; no lock is
  // held during the calls.
  void DeliverToHandler(int slot, const Variant& argument);
  void DeliverToSinks(DISPID member, const Variant& argument);
  // Names (names_download.cc, stored_names.cc, friendly_names.cc): the download's body; its
  // fetch, reset, apply and store steps (also Start's fallback when no names are stored); the
  // loads of the stored names and friendly names.
  HRESULT RunNamesDownload();
  HRESULT FetchAndStoreNames();
  HRESULT LoadStoredNames();
  HRESULT LoadStoredFriendlyNames();
  // Login's check of a user name and user code against the Codes collection and the setup
  // block: S_OK for a match, else E_SRV_LOGIN_DENIED.
  HRESULT CheckUserCode(const std::string& user, const std::string& code);

  // Fires OnLinkStateChange(state text) to the sinks; called by the link's health listener.
  void DeliverLinkState(LinkState state);

  mutable Mutex mu_;
  BStr access_code_ ZEL_GUARDED_BY(mu_){std::string(kDefaultAccessCode)};
  VARIANT_BOOL download_setup_ ZEL_GUARDED_BY(mu_) = VARIANT_TRUE;
  Variant setup_last_download_ ZEL_GUARDED_BY(mu_);
  VARIANT_BOOL download_names_ ZEL_GUARDED_BY(mu_) = VARIANT_TRUE;
  Variant names_last_download_ ZEL_GUARDED_BY(mu_);
  VARIANT_BOOL set_controller_time_ ZEL_GUARDED_BY(mu_) = VARIANT_FALSE;
  // Null until the controller has told them.
  BStr model_text_ ZEL_GUARDED_BY(mu_);
  BStr version_text_ ZEL_GUARDED_BY(mu_);
  BStr phone_text_ ZEL_GUARDED_BY(mu_);
  ControllerStatusRecord status_record_ ZEL_GUARDED_BY(mu_);
  // The setup block: VT_ARRAY | VT_UI1 after a download, empty before.
  Variant system_setup_ ZEL_GUARDED_BY(mu_);
  ComPtr<CZelSystemInformation> system_information_ ZEL_GUARDED_BY(mu_);
  ComPtr<IZelCommHandler> transport_ ZEL_GUARDED_BY(mu_);
  std::array<ComPtr<IDispatch>, kHandlerSlotCount> handlers_ ZEL_GUARDED_BY(mu_);
  // The script host's page objects between OnStartPage and OnEndPage.
  struct PageObjects {
    bool started = false;
    ComPtr<IDispatch> application, request, response, server, session;
  };
  PageObjects page_ ZEL_GUARDED_BY(mu_);
  std::unique_ptr<LongDelayTimer> timer_ ZEL_GUARDED_BY(mu_);
  ComPtr<IStorage> store_ ZEL_GUARDED_BY(mu_);
  ComPtr<IDispatch> empty_element_ ZEL_GUARDED_BY(mu_);
  bool shutting_down_ ZEL_GUARDED_BY(mu_) = false;
  // When the last link-down re-login was claimed; unset before the first.
  std::optional<std::chrono::steady_clock::time_point> link_down_relogin_ ZEL_GUARDED_BY(mu_);

  Mutex slots_mu_;
  std::array<ComPtr<IDispatch>, kCollectionSlotCount> slots_ ZEL_GUARDED_BY(slots_mu_);

  RecursiveMutex lifecycle_mu_;

  std::atomic<uint32_t> refs_{0};
  std::atomic<bool> link_cut_{false};  // set by CutLinkWaits, cleared at the end of Stop
  std::atomic<int32_t> status_{ssStarting};
  std::atomic<uint64_t> logins_{0};
  std::atomic<HRESULT> last_failure_{S_OK};
  std::atomic<int32_t> setup_status_{dsUnknown};
  std::atomic<int32_t> names_status_{dsUnknown};
  std::atomic<int> model_index_{kUnknownModelIndex};
  std::atomic<const CapabilityRecord*> capabilities_{nullptr};
  // Steady-clock time of the last status refresh attempt, in ns; kNever before the first.
  static constexpr int64_t kNever = INT64_MIN;
  std::atomic<int64_t> last_status_refresh_{kNever};

  ConnectionPoint events_{static_cast<IDispatch*>(this), kIidDZelServerEvents};
  ServerSecurityContext security_context_{this};
  ClientSessions sessions_;  // locks itself

  // Asynchronous download threads; finished ones are joined at the next start and at the end.
  struct DownloadThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void JoinFinishedDownloads();
  // Runs `run` on a download thread unless `status` says that download is running (E_FAIL).
  HRESULT StartDownloadThread(const std::atomic<int32_t>& status, HRESULT (CZelServer::*run)());
  Mutex threads_mu_;
  std::vector<DownloadThread> download_threads_ ZEL_GUARDED_BY(threads_mu_);
};

// The module-wide server: the most recently constructed server still alive, with a reference
// (null when there is none, or while it is being destroyed). The reference keeps the server
// alive for as long as the caller uses it, so a thread the server no longer waits for (an
// update thread abandoned by StopUpdate) never reaches a destroyed one. Hold it for one use, not
// for a thread's life: collections and elements never keep the server.
ComPtr<CZelServer> ServerInstance();

// Registers CZelServer (prog id "Corvane.ZelServer") as a singleton class and the transports it
// falls back to. Calling it again is harmless.
void RegisterServerClasses();

}  // namespace zel
