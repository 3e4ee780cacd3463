// CZelCommHandlerSerial: the serial transport. Carries controller frames unchanged over a local
// serial device, opened exclusively in raw 8N1 mode. Its settings (Port, BaudRate) are set
// through IZelCommHandlerSerial and saved through IPersistStreamInit in the property-map stream
// format (link/property_map_stream.h). One instance exists per process (RegisterLinkClasses).
//
// The device is the resource library's string 185 (the device prefix) followed by Port in
// decimal, e.g. "/dev/ttyS" + "1".
//
// Every request starts with an empty input: whatever waits there (a reply that arrived after its
// request's time-out) is discarded, counted and reported at debug level, so one late reply
// never becomes the answer to the next request.
//
// Thread contract: free-threaded. request_lock_ (recursive) is taken by BeginAtomicRequest and
// EndAtomicRequest, by Connect, Disconnect, the setting puts and by SendRequest itself, so one
// exchange, one read and one write at most are in flight and the line cannot close under a
// running exchange. line_ and connected_ are guarded by request_lock_; port_ and baud_rate_ are
// written under it and may be read without it. InterruptWaits/ResumeWaits take no lock: they
// signal interrupt_, whose descriptor every wait of the line watches.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "link/comm_handler.h"
#include "link/serial_line.h"
#include "link/transport_settings.h"
#include "link/wait_interrupt.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace zel {

// Class and interface ids of the serial transport and of its settings page class.
inline constexpr CLSID kClsidZelCommHandlerSerial = ZelClassId(kIdCoclass, 0x20);
inline constexpr CLSID kClsidZelCommHandlerSerialUI = ZelClassId(kIdSettingsPage, 0x20);
inline constexpr std::string_view kProgIdZelCommHandlerSerial = "Corvane.ZelCommHandlerSerial";

// Resource string ids: the transport's display name and the serial device prefix.
inline constexpr uint32_t kSerialNameStringId = 131;
inline constexpr uint32_t kSerialDevicePrefixStringId = 185;

struct IZelCommHandlerSerial : IZelCommHandler {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x20);
  virtual HRESULT put_Port(Variant port) = 0;            // dispid 0x5C3
  virtual HRESULT get_Port(Variant* port) = 0;           // dispid 0x5C3
  virtual HRESULT put_BaudRate(Variant baud_rate) = 0;   // dispid 0x5C4
  virtual HRESULT get_BaudRate(Variant* baud_rate) = 0;  // dispid 0x5C4
};

class CZelCommHandlerSerial final
    : public DispatchImpl<CZelCommHandlerSerial, IZelCommHandlerSerial>,
      public TransportSettings<CZelCommHandlerSerial, kClsidZelCommHandlerSerial>,
      public IZelLinkInterrupt {
 public:
  // The read time-out of one chunk of a reply; chunks are at most kChunkSize bytes.
  static constexpr Millis kReadTimeout{3000};
  static constexpr uint32_t kChunkSize = 128;

  CZelCommHandlerSerial();
  ~CZelCommHandlerSerial() override;

  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IZelCommHandlerSerial, IZelCommHandler, IDispatch, IPersistStreamInit,
                             IZelLinkInterrupt>(this, iid, ppv);
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

  // IZelCommHandlerSerial
  HRESULT put_Port(Variant port) override;
  HRESULT get_Port(Variant* port) override;
  HRESULT put_BaudRate(Variant baud_rate) override;
  HRESULT get_BaudRate(Variant* baud_rate) override;

  // IZelLinkInterrupt: an interrupted exchange ends with E_ABORT, and so does every request made
  // until ResumeWaits, before anything is written.
  void InterruptWaits() override { interrupt_.Interrupt(); }
  void ResumeWaits() override { interrupt_.Resume(); }
  bool TryBeginAtomicRequest() override { return request_lock_.TryLock(); }

  // The device the next Connect opens: the prefix (string 185) and Port in decimal.
  // E_UNEXPECTED when the resource library has no prefix.
  HRESULT DeviceName(std::string* device);
  bool connected() const { return connected_.load(); }
  // The write time-out per byte in ms that the last Connect set: 38400 / BaudRate.
  uint32_t write_timeout_multiplier() const { return write_multiplier_ms_.load(); }
  // Bytes found waiting in the input before a request and discarded, since construction.
  uint64_t discarded_input_bytes() const { return discarded_input_.load(); }

 private:
  friend class TransportSettings<CZelCommHandlerSerial, kClsidZelCommHandlerSerial>;

  HRESULT ReceiveFrame(uint8_t** reply) ZEL_REQUIRES(request_lock_);
  std::array<PersistedProperty, 2> PropertyMap();

  RecursiveMutex request_lock_;
  WaitInterrupt interrupt_;
  SerialLine line_ ZEL_GUARDED_BY(request_lock_);
  std::atomic<bool> connected_{false};
  std::atomic<uint8_t> port_{1};
  std::atomic<uint32_t> baud_rate_{9600};
  std::atomic<uint32_t> write_multiplier_ms_{0};
  std::atomic<uint64_t> discarded_input_{0};
};

}  // namespace zel
