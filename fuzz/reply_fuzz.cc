// Fuzz target for the parsers of controller replies. Byte 0 selects the parser, byte 1 bit 0 how
// the reply arrives, the rest is the reply:
//   bit 0 clear: as the serial transport hands it up, exactly L + 4 bytes with a good CRC; the
//                rest of the input is the message type and data bytes (at most 255).
//   bit 0 set:   as the network transport hands it up, whatever the controller sealed: the rest
//                of the input is the whole frame, length byte and CRC as they come, in a
//                zero-filled buffer of at least the largest frame's size.
// Every element class takes the reply as its status and then has all its properties read, as a
// client listing it would.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>

#include "events/event_record.h"
#include "events/system_events.h"
#include "fuzz/fuzz_support.h"
#include "link/comm_handler.h"
#include "link/frame.h"
#include "model/areas.h"
#include "model/audio_sources.h"
#include "model/audio_zones.h"
#include "model/buttons.h"
#include "model/codes.h"
#include "model/counter_unit.h"
#include "model/expansions.h"
#include "model/messages.h"
#include "model/plain_element.h"
#include "model/temperature_sensors.h"
#include "model/thermostats.h"
#include "model/units.h"
#include "model/x10_unit.h"
#include "model/zones.h"
#include "platform/persist.h"
#include "server/name_records.h"
#include "server/setup_block.h"
#include "server/system_info.h"

namespace zel::fuzz {
namespace {

ReplyBuffer SerialReply(FuzzInput& in) {
  Bytes body = in.Take(255);
  if (body.empty()) body.push_back(0);
  const uint32_t size = static_cast<uint32_t>(body.size()) + kFrameOverhead;
  auto* raw = static_cast<uint8_t*>(std::malloc(size));
  if (raw == nullptr) std::abort();
  raw[0] = kFrameStart;
  raw[1] = static_cast<uint8_t>(body.size());
  std::memcpy(raw + 2, body.data(), body.size());
  SetFrameCrc(raw, size);
  return ReplyBuffer(raw);
}

ReplyBuffer NetworkReply(FuzzInput& in) {
  Bytes payload = in.Take(252);
  size_t capacity = std::max<size_t>(payload.size(), kMaxFrameSize);
  auto* raw = static_cast<uint8_t*>(std::calloc(capacity, 1));
  if (raw == nullptr) std::abort();
  std::copy(payload.begin(), payload.end(), raw);
  return ReplyBuffer(raw);
}

// The element takes the reply as a collection's update hands it over, then is read.
template <class T, class Interface>
void LoadElementStatus(const uint8_t* reply) {
  ComPtr<T> element = MakeObject<T>();
  IDispatch* dispatch = static_cast<Interface*>(element.get());
  ComPtr<IPersistMemory> memory;
  if (Failed(QueryAs<IPersistMemory>(dispatch, &memory))) std::abort();
  (void)memory->Load(reply + 3, reply[1]);
  ReadProperties(dispatch);
}

void ParseMessageStatus(const uint8_t* reply) {
  uint8_t header[3];
  for (int model = 0; model < 12; ++model) (void)ExpectedMessageStatusHeader(model, header);
  const size_t size = size_t{reply[1]} + kFrameOverhead;
  ComPtr<CZelMessage> message = MakeObject<CZelMessage>();
  IDispatch* dispatch = static_cast<IZelMessage*>(message.get());
  ComPtr<IPersistMemory> memory;
  if (Failed(QueryAs<IPersistMemory>(dispatch, &memory))) std::abort();
  for (uint16_t number = 1; number <= 4 * 256; ++number) {
    uint8_t bits = 0;
    if (!MessageStatusBits(reply, size, number, &bits)) continue;
    const uint8_t flags[2] = {static_cast<uint8_t>(bits & 1), static_cast<uint8_t>(bits < 2)};
    (void)memory->Load(flags, 3);
  }
  ReadProperties(dispatch);
}

void ParseEventRecord(const uint8_t* reply) {
  std::optional<LastSeenRecord> record = RecordFromFrame(reply);
  if (!record) return;
  (void)IsBlankRecord(*record);
  (void)PackRecordData(*record);
  const std::time_t now = 1796000000;  // a fixed moment: the same input gives the same run
  (void)RecordDate(*record, now);
  if (std::optional<EventClass> c = EventClassOf((*record)[kRecordType])) (void)EventClassName(*c);
  EntryValues values = EntryValuesOf(*record, now, BStr("unknown"));
  (void)values;
}

void Parse(uint8_t selector, const uint8_t* reply) {
  switch (selector % 20) {
    case 0: {
      SystemInformationReply info;
      if (Succeeded(ParseSystemInformationReply(ReplyFrame(reply), &info))) {
        (void)FormatVersionText(info.major, info.minor, info.revision);
      }
      break;
    }
    case 1: {
      ControllerStatusRecord status;
      (void)ParseSystemStatusReply(ReplyFrame(reply), &status);
      break;
    }
    case 2:
      LoadElementStatus<CZelZone, IZelZone>(reply);
      break;
    case 3:
      LoadElementStatus<CZelUnit, IZelUnit>(reply);
      break;
    case 4:
      LoadElementStatus<CZelX10Unit, IZelX10Unit>(reply);
      break;
    case 5:
      LoadElementStatus<CZelVoltageUnit, IZelVoltageUnit>(reply);
      break;
    case 6:
      LoadElementStatus<CZelExpansionUnit, IZelExpansionUnit>(reply);
      break;
    case 7:
      LoadElementStatus<CZelCounterUnit, IZelCounterUnit>(reply);
      break;
    case 8:
      LoadElementStatus<CZelArea, IZelArea>(reply);
      break;
    case 9:
      LoadElementStatus<CZelThermostat, IZelThermostat>(reply);
      break;
    case 10:
      LoadElementStatus<CZelTemperatureSensor, IZelTemperatureSensor>(reply);
      break;
    case 11:
      LoadElementStatus<CZelMessage, IZelMessage>(reply);
      break;
    case 12:
      LoadElementStatus<CZelExpansion, IZelExpansion>(reply);
      break;
    case 13:
      LoadElementStatus<CZelAudioZone, IZelAudioZone>(reply);
      break;
    case 14:
      // The audio metadata walk: each reply is one text field of a source.
      LoadElementStatus<CZelAudioSource, IZelAudioSource>(reply);
      break;
    case 15:
      ParseMessageStatus(reply);
      break;
    case 16: {
      std::span<const uint8_t> payload;
      if (Succeeded(SetupBlockPayload(reply, &payload)) && !payload.empty()) {
        // Every payload byte is read, as the download copies them.
        volatile uint8_t sum = 0;
        for (uint8_t b : payload) sum = static_cast<uint8_t>(sum + b);
      }
      break;
    }
    case 17: {
      NameRecord record;
      if (Succeeded(ParseNameFrame(reply, &record))) {
        // What the download stores must read back the same.
        ComPtr<MemoryStream> stream = MakeObject<MemoryStream>();
        if (Failed(WriteNameRecord(stream.get(), record))) break;
        (void)stream->Seek(0, SeekOrigin::kSet, nullptr);
        NameRecord again;
        if (ReadNameRecord(stream.get(), &again) != S_OK || !(again == record)) std::abort();
      }
      break;
    }
    case 18:
      ParseEventRecord(reply);
      break;
    default: {
      bool lone_byte = false;
      std::vector<uint16_t> codes =
          SystemEventCodes(reply, size_t{reply[1]} + kFrameOverhead, &lone_byte);
      (void)codes;
      break;
    }
  }
}

// Plain elements (buttons, codes, the plain element) keep no status; they are loaded once so a
// change to that is noticed.
void LoadPlainElements(const uint8_t* reply) {
  LoadElementStatus<CZelButton, IZelButton>(reply);
  LoadElementStatus<CZelCode, IZelCode>(reply);
  LoadElementStatus<CZelCollectionElement, IZelCollectionElement>(reply);
}

}  // namespace
}  // namespace zel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::fuzz::FuzzInput in(data, size);
  uint8_t selector = in.Byte();
  uint8_t how = in.Byte();
  zel::ReplyBuffer reply =
      (how & 1) != 0 ? zel::fuzz::NetworkReply(in) : zel::fuzz::SerialReply(in);
  if (selector == 0xFF) {
    zel::fuzz::LoadPlainElements(reply.get());
  } else {
    zel::fuzz::Parse(selector, reply.get());
  }
  return 0;
}
