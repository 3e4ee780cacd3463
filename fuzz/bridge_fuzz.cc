// Fuzz target for what the bridge decodes from its clients. Byte 0 selects:
//   even  a conversation: the rest is up to eight request bodies, one per line, sent in one
//         session to the automation operations behind a stand-in server object ("Test.Server"),
//         by an administrator (byte 0 bit 1 clear) or a reader. Every reply must carry a status.
//   odd   a tagged variant in JSON: decoded against a session's handles (h1 names a stand-in
//         server object); a value that decodes must encode and decode again to the same JSON.
// The stand-in's members that wait or loop as long as they are told (Block, FireTicks) are not
// called: they exist to test the bridge's time-outs, and a fuzzer would only find their waits.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bridge/fake_server.h"
#include "bridge/handle_table.h"
#include "bridge/operations.h"
#include "bridge/session.h"
#include "bridge/variant_json.h"
#include "fuzz/fuzz_support.h"
#include "platform/class_registry.h"

namespace zel::fuzz {
namespace {

using bridge::Json;

void SetUpOnce() {
  static bool done = [] {
    QuietSystemLog();
    bridge::testing::RegisterFakeServer();
    return true;
  }();
  (void)done;
}

bool CallsAWait(std::string_view line) {
  std::string lower(line);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.find("block") != std::string::npos || lower.find("fireticks") != std::string::npos) {
    return true;
  }
  Json j = Json::parse(line, nullptr, false);
  if (!j.is_object() || !j.contains("dispid")) return false;
  const Json& d = j["dispid"];
  return !d.is_number() || d == 43 || d == 46;
}

void Conversation(FuzzInput& in, Role role) {
  bridge::SessionTable sessions{bridge::SessionLimits{}};
  bridge::Operations ops{&sessions};
  bridge::Caller caller{"uid 1000", role, {}};
  bridge::Reply opened = ops.Handle(caller, "", R"({"op":"session"})");
  if (!opened.body.contains("session")) std::abort();
  const std::string session = opened.body["session"].get<std::string>();
  std::string_view rest = in.RestText();
  for (int i = 0; i < 8 && !rest.empty(); ++i) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (CallsAWait(line)) continue;
    bridge::Reply reply = ops.Handle(caller, session, line);
    if (!reply.body.is_object() || !reply.body.contains("status")) std::abort();
    (void)reply.body.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  sessions.CloseAll();
}

void TaggedVariant(FuzzInput& in) {
  Json j = Json::parse(in.RestText(), nullptr, false);
  if (j.is_discarded()) return;
  bridge::HandleTable handles(16);
  ComPtr<IDispatch> server;
  if (Failed(ClassRegistry::Instance().Create<IDispatch>(bridge::testing::kTestServerClsid,
                                                         &server))) {
    std::abort();
  }
  std::string h1;
  if (Failed(handles.HandleFor(server.get(), &h1))) std::abort();
  Variant decoded;
  if (Failed(bridge::DecodeVariant(j, &handles, &decoded))) return;
  Json encoded = bridge::EncodeVariant(decoded, &handles);
  Variant again;
  if (Failed(bridge::DecodeVariant(encoded, &handles, &again))) std::abort();
  if (bridge::EncodeVariant(again, &handles) != encoded) std::abort();
  (void)bridge::VarTypeName(decoded.vt());
}

}  // namespace
}  // namespace zel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::fuzz::SetUpOnce();
  zel::fuzz::FuzzInput in(data, size);
  uint8_t selector = in.Byte();
  if (selector % 2 == 0) {
    zel::fuzz::Conversation(in, (selector & 2) != 0 ? zel::Role::kRead : zel::Role::kAdmin);
  } else {
    zel::fuzz::TaggedVariant(in);
  }
  return 0;
}
