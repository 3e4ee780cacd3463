#include "bridge/operations.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <functional>
#include <optional>
#include <vector>

#include "bridge/callback_destinations.h"
#include "bridge/event_sinks.h"
#include "bridge/protocol.h"
#include "bridge/security_log.h"
#include "platform/class_registry.h"
#include "platform/error_info.h"
#include "platform/freshness.h"
#include "platform/system_log.h"
#include "platform/text_encoding.h"

namespace zel::bridge {
namespace {

// The most arguments one call may pass; more is refused before any conversion.
constexpr size_t kMaxArguments = 64;

void SetStatus(Json* body, HRESULT hr) {
  (*body)["status"] = StatusText(hr);
  (*body)["statusName"] = StatusNameOf(hr);
}

Reply MakeReply(HRESULT hr, Json body = Json::object()) {
  SetStatus(&body, hr);
  return Reply{HttpStatusFor(hr), std::move(body), {}};
}

Reply Refuse(HRESULT hr, std::string description) {
  Json body = Json::object();
  body["error"] = Json{{"source", "bridge"}, {"description", std::move(description)}};
  return MakeReply(hr, std::move(body));
}

// Adds the object's error information (taken from this thread) to a failed reply.
void AttachErrorInfo(Json* body, HRESULT hr, std::optional<ErrorInfo> info) {
  if (Succeeded(hr)) return;
  Json error = Json::object();
  if (info) {
    error["source"] = info->source;
    error["description"] = info->description;
    if (info->iid != GUID_NULL) error["interface"] = GuidToString(info->iid);
  } else {
    error["source"] = "";
    error["description"] = StatusNameOf(hr);
  }
  (*body)["error"] = std::move(error);
}

const char* KindName(uint16_t kind) {
  switch (kind) {
    case DISPATCH_PROPERTYGET:
      return "get";
    case DISPATCH_PROPERTYPUT:
      return "put";
    case DISPATCH_PROPERTYPUTREF:
      return "putref";
    default:
      return "call";
  }
}

// The role check of one invocation: true, or false with the refusal to send.
bool Permitted(const Caller& caller, IDispatch* object, DISPID dispid, uint16_t flags,
               Reply* refusal) {
  const MemberTable* table = object->GetMemberTable();
  // Objects that describe no members (a client's own handlers) have nothing a client needs to
  // invoke: refused rather than guessed at.
  if (table == nullptr) {
    *refusal = Refuse(E_ACCESSDENIED,
                      std::string(object->GetTypeName()) + " cannot be invoked through the bridge");
    return false;
  }
  const Accessor* accessor = table->Choose(dispid, flags);
  if (accessor == nullptr) return true;  // Invoke answers DISP_E_MEMBERNOTFOUND
  if (RoleAllows(caller.role, accessor->role)) return true;
  const MemberInfo* member = table->FindById(dispid);
  std::string what = member->name + " of " + table->type_name();
  if (accessor->role == Role::kInProcess || accessor->role == Role::kUntagged) {
    *refusal = Refuse(E_ACCESSDENIED, what + " is not available to clients");
  } else {
    *refusal = Refuse(E_ACCESSDENIED, what + " needs the " + std::string(RoleName(accessor->role)) +
                                          " role; " + caller.identity + " has " +
                                          std::string(RoleName(caller.role)));
  }
  return false;
}

// True when the accessor takes a controller code or a login code.
bool TakesCode(const Accessor& accessor) {
  for (const ParamInfo& p : accessor.params) {
    if (EqualsIgnoreAsciiCase(p.name, "vtSecurityCode") ||
        EqualsIgnoreAsciiCase(p.name, "vtCode")) {
      return true;
    }
  }
  return false;
}

std::string SecondsText(Millis wait) { return std::to_string((wait.count() + 999) / 1000); }

// Whether two interface pointers are the same object (the identity is its IUnknown).
bool SameObject(IUnknown* a, IUnknown* b) {
  if (a == nullptr || b == nullptr) return false;
  ComPtr<IUnknown> ua, ub;
  if (Failed(a->QueryInterface(IUnknown::kIid, ua.ReceiveVoid())) ||
      Failed(b->QueryInterface(IUnknown::kIid, ub.ReceiveVoid()))) {
    return false;
  }
  return ua.get() == ub.get();
}

class Request {
 public:
  Request(const Json& j, const Caller& caller, std::shared_ptr<Session> session,
          CodeBackoff* backoff)
      : j_(j), caller_(caller), session_(std::move(session)), backoff_(backoff) {}

  // A required string field.
  std::optional<std::string> Text(const char* field) const {
    if (!j_.contains(field) || !j_[field].is_string()) return std::nullopt;
    return j_[field].get<std::string>();
  }

  HRESULT Object(ComPtr<IDispatch>* out, std::string* handle, Reply* refusal) const {
    auto name = Text("object");
    if (!name) {
      *refusal = Refuse(E_BRIDGE_BAD_REQUEST, "\"object\" must be a handle text");
      return E_BRIDGE_BAD_REQUEST;
    }
    HRESULT hr = session_->handles().ObjectFor(*name, out);
    if (Failed(hr)) {
      *refusal = Refuse(hr, "unknown handle \"" + *name + "\"");
      return hr;
    }
    *handle = *name;
    return S_OK;
  }

  Reply Invoke(uint16_t flags, bool wants_value) const {
    Reply refusal;
    ComPtr<IDispatch> object;
    std::string handle;
    if (Failed(Object(&object, &handle, &refusal))) return refusal;

    std::vector<Variant> args;
    if (j_.contains("args")) {
      const Json& list = j_["args"];
      if (!list.is_array()) return Refuse(E_BRIDGE_BAD_REQUEST, "\"args\" must be an array");
      if (list.size() > kMaxArguments) {
        return Refuse(DISP_E_BADPARAMCOUNT, "more than 64 arguments");
      }
      for (size_t i = 0; i < list.size(); ++i) {
        Variant v;
        HRESULT hr = DecodeVariant(list[i], &session_->handles(), &v);
        if (Failed(hr)) return Refuse(hr, "argument " + std::to_string(i + 1) + " is not valid");
        args.push_back(std::move(v));
      }
    }
    if (wants_value) {
      if (!j_.contains("value")) return Refuse(E_BRIDGE_BAD_REQUEST, "put needs \"value\"");
      Variant v;
      HRESULT hr = DecodeVariant(j_["value"], &session_->handles(), &v);
      if (Failed(hr)) return Refuse(hr, "\"value\" is not valid");
      // An object holding a reference to itself would never be released: its handle going
      // away leaves one reference, its own.
      if (v.vt() == VT_DISPATCH && SameObject(object.get(), v.dispatch())) {
        return Refuse(E_INVALIDARG, "an object cannot be given a reference to itself");
      }
      args.push_back(std::move(v));
    }

    ClearErrorInfo();
    DISPID dispid = DISPID_UNKNOWN;
    if (j_.contains("dispid")) {
      const Json& d = j_["dispid"];
      if (!d.is_number_integer() || d.get<int64_t>() < INT32_MIN || d.get<int64_t>() > INT32_MAX) {
        return Refuse(E_BRIDGE_BAD_REQUEST, "\"dispid\" must be a 32-bit integer");
      }
      dispid = static_cast<DISPID>(d.get<int64_t>());
    } else if (auto member = Text("member")) {
      if (member->size() > kMaxNameLength) {
        return Refuse(E_BRIDGE_NAME_TOO_LONG, "member names are at most 256 characters");
      }
      HRESULT hr = object->GetIDOfName(*member, &dispid);
      if (Failed(hr)) {
        Json body = Json::object();
        auto info = TakeErrorInfo();
        if (!info) {
          info = ErrorInfo{
              "bridge", GUID_NULL,
              std::string(object->GetTypeName()) + " has no member \"" + *member + "\"", hr};
        }
        AttachErrorInfo(&body, hr, std::move(info));
        return MakeReply(hr, std::move(body));
      }
    } else {
      return Refuse(E_BRIDGE_BAD_REQUEST, "name the member with \"member\" or \"dispid\"");
    }

    Reply denied;
    if (!Permitted(caller_, object.get(), dispid, flags, &denied)) return denied;
    const Accessor* accessor = object->GetMemberTable()->Choose(dispid, flags);
    const bool code_attempt = accessor != nullptr && TakesCode(*accessor);
    if (code_attempt) {
      Millis wait = backoff_->Remaining(caller_.identity);
      if (wait.count() > 0) {
        Reply r =
            Refuse(E_BRIDGE_BACKOFF, "after a wrong code, " + caller_.identity +
                                         " may try the next one in " + SecondsText(wait) + " s");
        r.body["retryAfter"] = (wait.count() + 999) / 1000;
        return r;
      }
    }

    Variant result;
    HRESULT hr;
    {
      CallerRoleScope as_caller(caller_.role);
      hr = object->Invoke(dispid, flags, args, wants_value ? nullptr : &result);
    }
    auto info = TakeErrorInfo();
    if (code_attempt) NoteCodeAttempt(hr, dispid, object.get());
    Json body = Json::object();
    if (Succeeded(hr) && !wants_value) {
      Json encoded = EncodeVariant(result, &session_->handles());
      // An object the session cannot hold a handle for is of no use to the client.
      if (encoded.contains("status") && encoded["object"].is_null()) {
        HRESULT why = S_OK;
        if (!ParseStatusText(encoded["status"].get<std::string>(), &why)) why = E_FAIL;
        body["result"] = std::move(encoded);
        body["error"] = Json{{"source", "bridge"},
                             {"description", "no handle for the result: " + StatusNameOf(why)}};
        return MakeReply(why, std::move(body));
      }
      body["result"] = std::move(encoded);
      // A value read from a polled object says how old it is (null: never refreshed).
      ComPtr<IFreshness> freshness;
      if (result.vt() != VT_DISPATCH && Succeeded(QueryAs<IFreshness>(object.get(), &freshness))) {
        double age = 0;
        HRESULT fresh = freshness->GetAge(&age);
        body["age"] = fresh == S_OK ? Json(std::round(age * 1000) / 1000) : Json();
      }
    }
    AttachErrorInfo(&body, hr, std::move(info));
    return MakeReply(hr, std::move(body));
  }

  Reply Create() const {
    auto name = Text("class");
    if (!name) return Refuse(E_BRIDGE_BAD_REQUEST, "\"class\" must be a text");
    ClearErrorInfo();
    ClassRegistry& registry = ClassRegistry::Instance();
    CLSID clsid;
    HRESULT hr = registry.ClassIdFromText(*name, &clsid);
    ComPtr<IDispatch> object;
    if (Succeeded(hr)) hr = registry.Create(clsid, IDispatch::kIid, object.ReceiveVoid());
    auto info = TakeErrorInfo();
    Json body = Json::object();
    if (Failed(hr)) {
      if (!info) info = ErrorInfo{"bridge", GUID_NULL, "cannot create \"" + *name + "\"", hr};
      AttachErrorInfo(&body, hr, std::move(info));
      return MakeReply(hr, std::move(body));
    }
    return Result(object.get());
  }

  // A reply whose result is an object given a handle in this session.
  Reply Result(IDispatch* object) const {
    std::string handle;
    HRESULT hr = session_->handles().HandleFor(object, &handle);
    if (Failed(hr)) return Refuse(hr, "no handle for the object: " + StatusNameOf(hr));
    Json body = Json::object();
    body["result"] = Json{
        {"vt", VT_DISPATCH}, {"object", handle}, {"class", std::string(object->GetTypeName())}};
    return MakeReply(S_OK, std::move(body));
  }

  Reply Release() const {
    auto name = Text("object");
    if (!name) return Refuse(E_BRIDGE_BAD_REQUEST, "\"object\" must be a handle text");
    HRESULT hr = session_->handles().Release(*name);
    if (Failed(hr)) return Refuse(hr, "unknown handle \"" + *name + "\"");
    return MakeReply(S_OK);
  }

  Reply Advise() const {
    Reply refusal;
    ComPtr<IDispatch> object;
    std::string handle;
    if (Failed(Object(&object, &handle, &refusal))) return refusal;

    ComPtr<IConnectionPointContainer> container;
    if (Failed(QueryAs<IConnectionPointContainer>(object.get(), &container))) {
      return Refuse(E_NOINTERFACE, std::string(object->GetTypeName()) + " fires no events");
    }
    IID iid = GUID_NULL;
    const MemberTable* members = nullptr;
    ComPtr<IProvideOutgoingInterface> provider;
    if (Succeeded(QueryAs<IProvideOutgoingInterface>(object.get(), &provider))) {
      (void)provider->GetOutgoingInterface(&iid, &members);
    }
    if (auto text = Text("interface")) {
      IID wanted;
      if (Failed(ParseGuid(*text, &wanted))) {
        return Refuse(E_BRIDGE_BAD_REQUEST, "\"interface\" must be an interface id");
      }
      if (wanted != iid) members = nullptr;
      iid = wanted;
    }
    if (iid == GUID_NULL) {
      return Refuse(E_NOINTERFACE, std::string(object->GetTypeName()) +
                                       " does not name its outgoing interface; pass \"interface\"");
    }
    ComPtr<IConnectionPoint> point;
    HRESULT hr = container->FindConnectionPoint(iid, point.Receive());
    if (Failed(hr)) return Refuse(hr, "no connection point for " + GuidToString(iid));

    hr = session_->ReserveAdvise();
    if (Failed(hr)) return Refuse(hr, "too many connections in this session");
    std::string interface_name = members ? members->type_name() : GuidToString(iid);
    auto sink = MakeObject<EventSink>(session_->events(), iid, members, interface_name, handle);
    uint32_t cookie = 0;
    hr = point->Advise(sink.get(), &cookie);
    if (Failed(hr)) {
      session_->CancelAdvise();
      return Refuse(hr, "the object refused the connection");
    }
    session_->AddAdvise(handle, cookie, point);
    Json body = Json::object();
    body["cookie"] = cookie;
    body["interface"] = interface_name;
    return MakeReply(S_OK, std::move(body));
  }

  Reply Unadvise() const {
    auto name = Text("object");
    if (!name) return Refuse(E_BRIDGE_BAD_REQUEST, "\"object\" must be a handle text");
    if (!j_.contains("cookie") || !j_["cookie"].is_number_unsigned() ||
        j_["cookie"].get<uint64_t>() > UINT32_MAX) {
      return Refuse(E_BRIDGE_BAD_REQUEST, "\"cookie\" must be the number advise returned");
    }
    HRESULT hr = session_->Unadvise(*name, static_cast<uint32_t>(j_["cookie"].get<uint64_t>()));
    if (Failed(hr)) return Refuse(hr, "no such connection");
    return MakeReply(S_OK);
  }

  Reply Callback() const {
    std::string name = "callback";
    if (j_.contains("name")) {
      auto given = Text("name");
      if (!given) return Refuse(E_BRIDGE_BAD_REQUEST, "\"name\" must be a text");
      if (given->size() > kMaxNameLength) {
        return Refuse(E_BRIDGE_NAME_TOO_LONG, "callback names are at most 256 characters");
      }
      name = *given;
    }
    // With "interface", the handler stands for a destination of the XML writers instead.
    ComPtr<IDispatch> object;
    std::function<void(std::string)> set_source;
    if (j_.contains("interface")) {
      auto wanted = Text("interface");
      CallbackDestination* destination = nullptr;
      if (!wanted || Failed(MakeCallbackDestination(session_->events(), name, *wanted, &object,
                                                    &destination))) {
        return Refuse(E_BRIDGE_BAD_REQUEST,
                      "\"interface\" must be \"IResponse\", \"IStream\" or \"IHTMLDocument2\"");
      }
      set_source = [destination](std::string h) { destination->set_source(std::move(h)); };
    } else {
      auto handler = MakeObject<CallbackHandler>(session_->events(), name);
      object = ComPtr<IDispatch>(handler.get());
      set_source = [handler](std::string h) { handler->set_source(std::move(h)); };
    }
    std::string handle;
    HRESULT hr = session_->handles().HandleFor(object.get(), &handle);
    if (Failed(hr)) return Refuse(hr, "no handle for the callback: " + StatusNameOf(hr));
    set_source(handle);
    Json body = Json::object();
    body["result"] = Json{{"vt", VT_DISPATCH}, {"object", handle}, {"class", "BridgeCallback"}};
    return MakeReply(S_OK, std::move(body));
  }

  Reply Describe() const {
    Reply refusal;
    ComPtr<IDispatch> object;
    std::string handle;
    if (Failed(Object(&object, &handle, &refusal))) return refusal;
    Json members = Json::array();
    if (const MemberTable* table = object->GetMemberTable()) {
      for (const MemberInfo& m : table->members()) {
        Json accessors = Json::array();
        for (const Accessor& a : m.accessors) {
          Json params = Json::array();
          for (const ParamInfo& p : a.params) {
            params.push_back(Json{{"name", p.name}, {"vt", p.vt}, {"optional", p.optional}});
          }
          Json acc{{"kind", KindName(a.kind)},
                   {"params", std::move(params)},
                   {"role", std::string(RoleName(a.role))}};
          if (a.result_vt != VT_EMPTY) acc["vt"] = a.result_vt;
          accessors.push_back(std::move(acc));
        }
        members.push_back(
            Json{{"name", m.name}, {"dispid", m.dispid}, {"accessors", std::move(accessors)}});
      }
    }
    Json body = Json::object();
    body["class"] = std::string(object->GetTypeName());
    body["members"] = std::move(members);
    return MakeReply(S_OK, std::move(body));
  }

 private:
  // A refused code slows the caller down; any other outcome of a code attempt that succeeded
  // clears its count.
  void NoteCodeAttempt(HRESULT hr, DISPID dispid, IDispatch* object) const {
    if (hr == E_SRV_LOGIN_DENIED) {
      Millis wait = backoff_->Wrong(caller_.identity);
      const MemberInfo* m = object->GetMemberTable()->FindById(dispid);
      ReportEvent(MSG_WRONG_CODE, hr,
                  caller_.identity + ", " + (m ? m->name : "?") + " of " +
                      std::string(object->GetTypeName()) + ", next code in " + SecondsText(wait) +
                      " s");
    } else if (Succeeded(hr)) {
      backoff_->Right(caller_.identity);
    }
  }

  const Json& j_;
  const Caller& caller_;
  std::shared_ptr<Session> session_;
  CodeBackoff* backoff_;
};

}  // namespace

Reply StatusReply(HRESULT hr, std::string_view description) {
  if (Failed(hr)) return Refuse(hr, std::string(description.empty() ? "" : description));
  return MakeReply(hr);
}

bool JsonDepthWithin(std::string_view text, int max_depth) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

Reply Operations::Handle(const Caller& caller, std::string_view session_id, std::string_view body) {
  if (!JsonDepthWithin(body, kMaxJsonDepth)) {
    return Refuse(E_BRIDGE_BAD_REQUEST, "the request nests too deeply");
  }
  Json j = Json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return Refuse(E_BRIDGE_BAD_REQUEST, "the request is not valid JSON");
  if (!j.is_object()) return Refuse(E_BRIDGE_BAD_REQUEST, "the request must be a JSON object");
  if (!j.contains("op") || !j["op"].is_string()) {
    return Refuse(E_BRIDGE_BAD_REQUEST, "the request needs \"op\"");
  }
  const std::string op = j["op"].get<std::string>();
  static const char* const kOps[] = {"session",  "close",    "create",  "get",    "put",
                                     "putref",   "call",     "release", "advise", "unadvise",
                                     "callback", "describe", "batch",   "token"};
  if (std::find(std::begin(kOps), std::end(kOps), op) == std::end(kOps)) {
    return Refuse(E_BRIDGE_BAD_REQUEST, "unknown op \"" + op + "\"");
  }
  // Tokens belong to the bridge, not to a session's objects.
  if (op == "token") return Token(j, caller);

  if (op == "session") {
    std::shared_ptr<Session> session;
    HRESULT hr = sessions_->Create(caller.identity, &session);
    if (hr == E_BRIDGE_IDENTITY_SESSION_LIMIT) {
      return Refuse(hr, caller.identity + " holds its maximum of sessions; close one first");
    }
    if (Failed(hr)) return Refuse(hr, "too many sessions");
    const SessionLimits& l = sessions_->limits();
    Json reply = Json::object();
    reply["session"] = session->id();
    reply["limits"] = Json{{"handles", l.max_handles},
                           {"streams", l.max_streams},
                           {"advises", l.max_advises},
                           {"events", l.event_queue_limit},
                           {"idleSeconds", std::chrono::duration<double>(l.idle_timeout).count()}};
    return MakeReply(S_OK, std::move(reply));
  }

  std::string id(session_id);
  if (id.empty() && j.contains("session") && j["session"].is_string()) {
    id = j["session"].get<std::string>();
  }
  if (id.empty()) {
    return Refuse(E_BRIDGE_NO_SESSION, "open a session first: {\"op\":\"session\"}");
  }
  std::shared_ptr<Session> session;
  if (Failed(sessions_->Find(id, caller.identity, &session))) {
    return Refuse(E_SRV_SESSION_EXPIRED, "unknown or expired session");
  }
  SessionRequest running(session);

  if (op == "close") {
    HRESULT hr = sessions_->Close(id);
    if (Failed(hr)) return Refuse(hr, "unknown or expired session");
    return MakeReply(S_OK);
  }
  if (op == "batch") return Batch(j, caller, session);
  return RunOne(op, j, caller, session);
}

Reply Operations::RunOne(const std::string& op, const Json& j, const Caller& caller,
                         const std::shared_ptr<Session>& session) {
  Request request(j, caller, session, &backoff_);
  if (op == "get") return request.Invoke(DISPATCH_PROPERTYGET, false);
  // A call is what a script writes as obj.Member(args): a method, or a property read with
  // arguments (the usual Item(n)).
  if (op == "call") return request.Invoke(DISPATCH_METHOD | DISPATCH_PROPERTYGET, false);
  if (op == "put") return request.Invoke(DISPATCH_PROPERTYPUT, true);
  if (op == "putref") return request.Invoke(DISPATCH_PROPERTYPUTREF, true);
  if (op == "create") return request.Create();
  if (op == "release") return request.Release();
  if (op == "advise") return request.Advise();
  if (op == "unadvise") return request.Unadvise();
  if (op == "callback") return request.Callback();
  if (op == "describe") return request.Describe();
  return Refuse(E_BRIDGE_BAD_REQUEST, "unknown op \"" + op + "\"");
}

Reply Operations::Batch(const Json& j, const Caller& caller,
                        const std::shared_ptr<Session>& session) {
  if (!j.contains("ops") || !j["ops"].is_array()) {
    return Refuse(E_BRIDGE_BAD_REQUEST, "batch needs \"ops\", an array of operations");
  }
  const Json& ops = j["ops"];
  if (ops.size() > kMaxBatchOps) {
    return Refuse(E_BRIDGE_BAD_REQUEST,
                  "a batch holds at most " + std::to_string(kMaxBatchOps) + " operations");
  }
  // The operations that act on objects of the session; the others change the session itself.
  static const char* const kBatchable[] = {"get", "put", "putref", "call", "release", "describe"};
  Json replies = Json::array();
  for (const Json& one : ops) {
    Reply r;
    if (!one.is_object() || !one.contains("op") || !one["op"].is_string()) {
      r = Refuse(E_BRIDGE_BAD_REQUEST, "each operation of a batch is an object with \"op\"");
    } else if (const std::string op = one["op"].get<std::string>();
               std::find(std::begin(kBatchable), std::end(kBatchable), op) ==
               std::end(kBatchable)) {
      r = Refuse(E_BRIDGE_BAD_REQUEST, "\"" + op + "\" cannot be part of a batch");
    } else {
      r = RunOne(op, one, caller, session);
    }
    r.body["http"] = r.http_status;
    replies.push_back(std::move(r.body));
  }
  Json body = Json::object();
  body["replies"] = std::move(replies);
  return MakeReply(S_OK, std::move(body));
}

Reply Operations::Token(const Json& j, const Caller& caller) {
  // Before anything else: a caller without the role learns nothing, not even the names.
  if (!RoleAllows(caller.role, Role::kAdmin)) {
    return Refuse(E_ACCESSDENIED, "tokens need the admin role; " + caller.identity + " has " +
                                      std::string(RoleName(caller.role)));
  }
  if (!tokens_) return Refuse(E_NOTIMPL, "this bridge keeps no tokens");
  auto text = [&j](const char* field) -> std::optional<std::string> {
    if (!j.contains(field) || !j[field].is_string()) return std::nullopt;
    return j[field].get<std::string>();
  };
  // A failure of the file itself: the request was fine, the server could not serve it.
  auto store_failed = [this](HRESULT hr, const char* what) {
    Reply r = Refuse(hr, std::string(what) + " " + tokens_->path() + ": " + StatusNameOf(hr));
    r.http_status = 500;
    return r;
  };
  const std::optional<std::string> action = text("action");
  const std::optional<std::string> name = text("name");
  if (action == "list") {
    std::vector<TokenEntry> entries;
    HRESULT hr = tokens_->List(&entries);
    if (Failed(hr)) return store_failed(hr, "cannot read");
    Json list = Json::array();
    for (const TokenEntry& t : entries) {
      list.push_back(
          Json{{"name", t.name}, {"role", std::string(RoleName(t.role))}, {"created", t.created}});
    }
    Json body = Json::object();
    body["tokens"] = std::move(list);
    return MakeReply(S_OK, std::move(body));
  }
  if (action != "add" && action != "remove") {
    return Refuse(E_BRIDGE_BAD_REQUEST, "token needs \"action\": \"list\", \"add\" or \"remove\"");
  }
  // Names are checked before they are echoed in a message or the log.
  if (!name || !ValidTokenName(*name)) {
    return Refuse(E_BRIDGE_BAD_REQUEST,
                  "\"name\" must be 1 to 64 of the characters A-Z a-z 0-9 . _ -");
  }
  if (action == "remove") {
    HRESULT hr = tokens_->Remove(*name);
    if (hr == HresultFromErrno(ENOENT)) {
      Reply r = Refuse(hr, "no token is named " + *name);
      r.http_status = 404;
      return r;
    }
    if (Failed(hr)) return store_failed(hr, "cannot write");
    ReportEvent(MSG_TOKEN_CHANGED, S_OK, "token " + *name + " removed by " + caller.identity);
    return MakeReply(S_OK);
  }
  const std::optional<std::string> role_text = text("role");
  const Role role = role_text ? ParseRole(*role_text) : Role::kUntagged;
  if (role == Role::kUntagged) {
    return Refuse(E_BRIDGE_BAD_REQUEST, "\"role\" must be \"read\", \"control\" or \"admin\"");
  }
  std::string token;
  HRESULT hr = tokens_->Add(*name, role, &token);
  if (hr == HresultFromErrno(EEXIST)) {
    Reply r = Refuse(hr, "a token is named " + *name + " already; remove it first");
    r.http_status = 409;
    return r;
  }
  if (Failed(hr)) return store_failed(hr, "cannot write");
  ReportEvent(MSG_TOKEN_CHANGED, S_OK,
              "token " + *name + " (" + *role_text + ") added by " + caller.identity);
  Json body = Json::object();
  body["name"] = *name;
  body["role"] = *role_text;
  body["token"] = std::move(token);
  return MakeReply(S_OK, std::move(body));
}

}  // namespace zel::bridge
