// CZelCommHandlerNetwork: the network transport. Carries controller frames over UDP inside an
// encrypted session: a two-step handshake at Connect (new session, then a secure-connection
// request encrypted under the session key), every request frame as the encrypted payload of one
// datagram and its reply the same way back, and a terminate exchange at Disconnect. Packet
// layout, session key and masking: link/network_session.h and docs/network_session.md.
//
// Settings (Address, Port, PrivateKey) are set through IZelCommHandlerNetwork and saved through
// IPersistStreamInit in the property-map stream format; a change disconnects first. One
// instance exists per process (RegisterLinkClasses). The private key is a secret: it never goes
// into a log line or an error text.
//
// Thread contract: free-threaded. request_lock_ (recursive) is taken by BeginAtomicRequest and
// EndAtomicRequest, by Connect, Disconnect, the setting puts and by SendRequest itself; it
// guards the socket, both packet buffers, the cipher and the sequence number. settings_mu_
// guards address_ and key_ (so the gets never wait for a running exchange); port_ and
// connected_ are atomics. InterruptWaits/ResumeWaits take no lock: they signal interrupt_, which
// every wait of an exchange watches.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "link/comm_handler.h"
#include "link/network_session.h"
#include "link/transport_settings.h"
#include "link/udp_socket.h"
#include "link/wait_interrupt.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace zel {

inline constexpr CLSID kClsidZelCommHandlerNetwork = ZelClassId(kIdCoclass, 0x21);
inline constexpr CLSID kClsidZelCommHandlerNetworkUI = ZelClassId(kIdSettingsPage, 0x21);
inline constexpr std::string_view kProgIdZelCommHandlerNetwork = "Corvane.ZelCommHandlerNetwork";

// Resource string id of the transport's display name.
inline constexpr uint32_t kNetworkNameStringId = 132;

// Dispids of IZelCommHandlerNetwork.
inline constexpr DISPID kDispidNetworkAddress = 0x5C5;
inline constexpr DISPID kDispidNetworkPort = 0x5C6;
inline constexpr DISPID kDispidNetworkPrivateKey = 0x5C7;

// System-log messages of the transport (warnings; the extra text names the host, never the key).
inline constexpr uint32_t MSG_SESSION_NOT_ACCEPTED = 0x800200B0;
inline constexpr uint32_t MSG_HOST_NOT_RESOLVED = 0x800200B1;

struct IZelCommHandlerNetwork : IZelCommHandler {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x21);
  virtual HRESULT put_Address(BStr address) = 0;   // dispid 0x5C5
  virtual HRESULT get_Address(BStr* address) = 0;  // dispid 0x5C5
  virtual HRESULT put_Port(Variant port) = 0;      // dispid 0x5C6
  virtual HRESULT get_Port(Variant* port) = 0;     // dispid 0x5C6
  virtual HRESULT put_PrivateKey(BStr key) = 0;    // dispid 0x5C7
  virtual HRESULT get_PrivateKey(BStr* key) = 0;   // dispid 0x5C7
};

class CZelCommHandlerNetwork final
    : public DispatchImpl<CZelCommHandlerNetwork, IZelCommHandlerNetwork>,
      public TransportSettings<CZelCommHandlerNetwork, kClsidZelCommHandlerNetwork>,
      public IZelLinkInterrupt,
      public IZelLinkResends {
 public:
  // Our defaults: an address on a private network and a key of our own (a real controller's
  // address and key are set by the user).
  static constexpr std::string_view kDefaultAddress = "192.168.1.40";
  static constexpr uint32_t kDefaultPort = 4369;
  static constexpr PrivateKey kDefaultKey = {0x3C, 0x91, 0x0E, 0xA7, 0x52, 0xD8, 0x1B, 0x66,
                                             0xF4, 0x29, 0x8D, 0xC3, 0x07, 0xBE, 0x45, 0x7A};
  static constexpr Millis kReceiveTimeout{3000};
  static constexpr Millis kControlPause{1000};
  static constexpr int kAttempts = 11;

  CZelCommHandlerNetwork();
  ~CZelCommHandlerNetwork() override;

  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IZelCommHandlerNetwork, IZelCommHandler, IDispatch, IPersistStreamInit,
                             IZelLinkInterrupt, IZelLinkResends>(this, iid, ppv);
  }
  static const MemberTable& Members();

  // IZelCommHandler
  HRESULT get_Name(BStr* name) override;
  HRESULT get_Description(BStr* description) override;
  HRESULT get_SettingsUI(CLSID* clsid) override;
  HRESULT Connect() override;
  HRESULT Disconnect() override;
  HRESULT BeginAtomicRequest() ZEL_ACQUIRE(request_lock_) override;
  HRESULT EndAtomicRequest() ZEL_RELEASE(request_lock_) override;
  HRESULT SendRequest(const uint8_t* request, uint32_t size, uint8_t** reply) override;

  // IZelCommHandlerNetwork
  HRESULT put_Address(BStr address) override;
  HRESULT get_Address(BStr* address) override;
  HRESULT put_Port(Variant port) override;
  HRESULT get_Port(Variant* port) override;
  HRESULT put_PrivateKey(BStr key) override;
  HRESULT get_PrivateKey(BStr* key) override;

  // IZelLinkInterrupt
  void InterruptWaits() override;
  void ResumeWaits() override;
  bool TryBeginAtomicRequest() override;

  // IZelLinkResends: off, SendRequest sends once and a lost reply fails it.
  void SetResends(bool on) override { resends_ = on; }

  bool connected() const { return connected_.load(); }
  // The last sequence number used (0 after construction and after Disconnect).
  uint16_t sequence() const { return sequence_.load(); }
  // Datagrams dropped because they came from another address than the controller's.
  uint64_t foreign_datagrams() const { return foreign_datagrams_.load(); }
  // Replies dropped because they answered an earlier attempt.
  uint64_t stale_replies() const { return stale_replies_.load(); }
  // Test seam: the next packet carries NextSequence(sequence).
  void SetSequenceForTesting(uint16_t sequence) { sequence_ = sequence; }

 private:
  friend class TransportSettings<CZelCommHandlerNetwork, kClsidZelCommHandlerNetwork>;

  uint16_t AdvanceSequence() ZEL_REQUIRES(request_lock_);
  HRESULT ControlExchange(uint32_t size, uint8_t expected_type, int attempts = kAttempts)
      ZEL_REQUIRES(request_lock_);
  // Waits for the answer to `sequence` within one receive time-out into the receive buffer;
  // answers to earlier packets are dropped and the wait goes on. *size is the datagram's size.
  HRESULT ReceiveAnswer(uint16_t sequence, uint32_t* size) ZEL_REQUIRES(request_lock_);
  // Sleeps a production duration unless interrupted (E_ABORT).
  HRESULT Pause(Millis production);
  void DropSession() ZEL_REQUIRES(request_lock_);
  std::array<PersistedProperty, 3> PropertyMap();

  RecursiveMutex request_lock_;
  std::unique_ptr<CUDPSocket> socket_ ZEL_GUARDED_BY(request_lock_);
  std::unique_ptr<std::array<uint8_t, kPacketBufferSize>> send_buffer_
      ZEL_GUARDED_BY(request_lock_);
  std::unique_ptr<std::array<uint8_t, kPacketBufferSize>> receive_buffer_
      ZEL_GUARDED_BY(request_lock_);
  std::unique_ptr<SessionCipher> cipher_ ZEL_GUARDED_BY(request_lock_);
  // Written under request_lock_; atomic so tests and logs may read it.
  std::atomic<uint16_t> sequence_{0};
  std::atomic<bool> connected_{false};
  // Changed only by the holder of the atomic bracket (a walk); atomic so any thread may read it.
  std::atomic<bool> resends_{true};

  mutable Mutex settings_mu_;
  std::string address_ ZEL_GUARDED_BY(settings_mu_){kDefaultAddress};
  PrivateKey key_ ZEL_GUARDED_BY(settings_mu_) = kDefaultKey;
  std::atomic<uint32_t> port_{kDefaultPort};

  WaitInterrupt interrupt_;  // its descriptor is readable while waits are interrupted
  // A refused session is logged once until a session is established again.
  std::atomic<bool> refusal_logged_{false};
  std::atomic<uint64_t> foreign_datagrams_{0};
  std::atomic<uint64_t> stale_replies_{0};
};

}  // namespace zel
