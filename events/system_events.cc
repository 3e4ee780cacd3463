#include "events/system_events.h"

#include <cstdio>
#include <string>

#include "link/frame.h"
#include "link/request.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "platform/clock.h"
#include "server/collection_slots.h"
#include "server/server_log_hook.h"
#include "server/zel_server.h"

namespace zel {
namespace {

constexpr uint8_t kRequestFrame[] = {0x5A, 0x01, MSG_SYSTEM_EVENTS, 0x81, 0x89};
// Frames that can never carry queued codes.
constexpr uint8_t kEndOfDataType = 0x03;
constexpr uint8_t kAckType = 0x05;
constexpr uint8_t kNakType = 0x06;

std::string HexBytes(const uint8_t* bytes, size_t size) {
  std::string text;
  char buf[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += buf;
  }
  return text;
}

void LogSkipped(const std::string& what) {
  WriteServerLog("SystemEvents", "Update", what, E_UNEXPECTED);
}

// True while this thread runs an update step (a handler called from inside it).
thread_local bool t_in_step = false;

}  // namespace

Variant SystemEventsInterval() { return Variant::UI4(1000); }

std::vector<uint16_t> SystemEventCodes(const uint8_t* frame, size_t size, bool* lone_byte) {
  std::vector<uint16_t> codes;
  if (lone_byte != nullptr) *lone_byte = false;
  if (frame == nullptr || size < 3 || frame[1] <= 1) return codes;
  size_t count = frame[1] - 1u;
  // Never past the frame as received.
  if (3 + count > size) count = size - 3;
  for (size_t i = 0; i + 1 < count; i += 2) {
    codes.push_back(static_cast<uint16_t>(frame[3 + i] << 8 | frame[4 + i]));
  }
  if (count % 2 != 0 && lone_byte != nullptr) *lone_byte = true;
  return codes;
}

const MemberTable& CZelSystemEvents::Members() {
  using T = CZelSystemEvents;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelSystemEvents")
          .Inherit(CollectionMembers())
          .Method(Role::kAdmin, "AddEvent", kDispidSystemEventsAddEvent, &T::AddEvent,
                  {"vtCode", "vtTime", "bSaveEvent", "bFireEvent"})
          .Method(Role::kAdmin, "ClearLog", kDispidSystemEventsClearLog, &T::ClearLog)
          .Build();
  return table;
}

HRESULT CZelSystemEvents::AddEvent(Variant code, Variant time, Variant /*save*/, Variant fire) {
  // Only the boolean true value (0xFFFF in the low 16 bits) asks for delivery.
  return Append(code, time, fire.ui2() == 0xFFFF);
}

HRESULT CZelSystemEvents::Append(const Variant& code, const Variant& time, bool fire) {
  ComPtr<IDispatch> event;
  HRESULT hr = CreateSystemEvent(code.ui4(), event.Receive());
  if (Failed(hr)) {
    skipped_.fetch_add(1);
    char text[64];
    std::snprintf(text, sizeof text, "system event code %04X has no event class; dropped",
                  code.ui4());
    LogSkipped(text);
    return hr;
  }
  ComPtr<IZelSystemEvent> stamped;
  ZEL_TRY(QueryAs<IZelSystemEvent>(event.get(), &stamped));
  AppendStamped(event.get(), [&](uint32_t position) {
    (void)stamped->put_Index(Variant::I4(static_cast<int32_t>(position)));
    (void)stamped->put_Time(time);
    (void)stamped->put_Code(code);
  });
  if (fire) {
    // Outside ssInteractive the event stays in the collection and nobody is told.
    if (ComPtr<CZelServer> server = ServerInstance()) (void)server->FireEvent(event.get());
  }
  return S_OK;
}

HRESULT CZelSystemEvents::UpdateElements(bool fire_events, uint32_t /*index*/, bool try_only) {
  if (t_in_step) return S_FALSE;
  if (try_only) {
    if (!step_mu_.TryLock()) return S_OK;  // a step runs: this one is skipped
  } else {
    step_mu_.Lock();
  }
  HRESULT hr;
  {
    struct InStep {
      InStep() { t_in_step = true; }
      ~InStep() { t_in_step = false; }
    } in_step;
    hr = Step(fire_events);
  }
  step_mu_.Unlock();
  return hr;
}

HRESULT CZelSystemEvents::Step(bool fire_events) {
  ComPtr<CZelServer> server = ServerInstance();
  ComPtr<IZelCommHandler> link = server != nullptr ? server->transport() : nullptr;
  if (!link) return E_FAIL;
  ReplyBuffer reply;
  ZEL_TRY(SendControllerRequest(link.get(), true, kRequestFrame, sizeof kRequestFrame, &reply));
  const uint8_t* frame = reply.get();
  // Left to us: the refusal frame is no empty queue. A logged-in controller answers this
  // request always, so a refusal means it forgot the session (it restarted): the step fails,
  // and the update thread's failed passes lead to a new login instead of silent polling.
  if (IsNakFrame(frame)) return E_FAIL;
  const uint8_t length = frame[1];
  if (length <= 1) return S_OK;  // nothing queued
  const size_t frame_size = static_cast<size_t>(length) + 4;
  const uint8_t type = frame[2];
  if (type == kEndOfDataType || type == kAckType || type == kNakType) {
    skipped_.fetch_add(1);
    LogSkipped("not a system events reply; skipped: " + HexBytes(frame, frame_size));
    return S_OK;
  }

  const Variant time = Variant::FromDate(DateFromTimeT(Clock::Get()->WallNow()));
  bool lone_byte = false;
  std::vector<uint16_t> codes = SystemEventCodes(frame, frame_size, &lone_byte);
  for (uint16_t code : codes) {
    // A dropped code does not stop the others.
    (void)Append(Variant::I4(code), time, fire_events);
  }
  if (lone_byte) {
    skipped_.fetch_add(1);
    LogSkipped("odd number of data bytes; last byte skipped: " + HexBytes(frame, frame_size));
  }
  return S_OK;
}

void RegisterSystemEventClasses() {
  ClassRegistry::Instance().Register(kClsidZelSystemEvents, "Corvane.ZelSystemEvents",
                                     FactoryOf<CZelSystemEvents>(), /*singleton=*/true);
  RegisterCollectionSlot(
      kSlotSystemEvents, PolledCollectionHooks([](IDispatch** collection) -> HRESULT {
        if (collection == nullptr) return E_POINTER;
        ComPtr<IDispatch> events;
        ZEL_TRY(ClassRegistry::Instance().Create<IDispatch>(kClsidZelSystemEvents, &events));
        *collection = events.Detach();
        return S_OK;
      }));
}

}  // namespace zel
