#include "bridge/client.h"

#include <curl/curl.h>

#include <mutex>

#include "bridge/protocol.h"

namespace zel::bridge {
namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// Keeps each header line of a reply, without its line break.
size_t AppendHeader(char* data, size_t size, size_t count, void* user) {
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (!line.empty()) static_cast<std::vector<std::string>*>(user)->push_back(std::move(line));
  return size * count;
}

HRESULT FromCurl(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return S_OK;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
      return E_BRIDGE_UNREACHABLE;
    case CURLE_OPERATION_TIMEDOUT:
      return E_TIMEOUT;
    default:
      return E_BRIDGE_BAD_REPLY;
  }
}

// Reads the Server-Sent Events text as it arrives and hands each complete event's data on.
struct StreamState {
  const std::function<bool(const Json&)>* on_event = nullptr;
  const std::atomic<bool>* stop = nullptr;
  std::string buffer;
  std::string data;
  bool stopped = false;
  bool bad = false;
};

size_t OnStreamBytes(char* bytes, size_t size, size_t count, void* user) {
  auto* st = static_cast<StreamState*>(user);
  st->buffer.append(bytes, size * count);
  size_t start = 0;
  for (;;) {
    size_t end = st->buffer.find('\n', start);
    if (end == std::string::npos) break;
    std::string line = st->buffer.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      // A blank line ends an event.
      if (!st->data.empty()) {
        Json event = Json::parse(st->data, nullptr, false);
        st->data.clear();
        if (event.is_discarded()) {
          st->bad = true;
          return 0;
        }
        if (!(*st->on_event)(event)) {
          st->stopped = true;
          return 0;
        }
      }
    } else if (line.rfind("data:", 0) == 0) {
      std::string_view value(line);
      value.remove_prefix(5);
      if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      if (!st->data.empty()) st->data += '\n';
      st->data += value;
    }
    // Comments (":"), "id:" and "retry:" lines need nothing here.
  }
  st->buffer.erase(0, start);
  return size * count;
}

int OnStreamProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* st = static_cast<StreamState*>(user);
  if (st->stop != nullptr && st->stop->load()) {
    st->stopped = true;
    return 1;
  }
  return 0;
}

// The headers every request carries: the token and the caller's extra ones.
curl_slist* CommonHeaders(const ClientOptions& o, curl_slist* headers) {
  if (!o.bearer_token.empty()) {
    headers = curl_slist_append(headers, ("Authorization: Bearer " + o.bearer_token).c_str());
  }
  for (const std::string& h : o.extra_headers) headers = curl_slist_append(headers, h.c_str());
  return headers;
}

}  // namespace

BridgeClient::BridgeClient(ClientOptions options) : options_(std::move(options)) { GlobalInit(); }

BridgeClient::~BridgeClient() {
  if (!session_.empty()) (void)CloseSession();
  if (curl_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

void* BridgeClient::Easy() {
  if (curl_ == nullptr) curl_ = curl_easy_init();
  return curl_;
}

std::string BridgeClient::Url(const char* path) const {
  if (!options_.unix_socket_path.empty()) return std::string("http://localhost") + path;
  return "http://127.0.0.1:" + std::to_string(options_.tcp_port) + path;
}

HRESULT BridgeClient::Post(const std::string& body, const std::string& session, long* http_status,
                           std::string* reply) {
  return PostTo(kAutomationPath, body, session, http_status, reply);
}

HRESULT BridgeClient::PostTo(const char* path, const std::string& body, const std::string& session,
                             long* http_status, std::string* reply,
                             std::vector<std::string>* reply_headers) {
  CURL* curl = static_cast<CURL*>(Easy());
  if (curl == nullptr) return E_OUTOFMEMORY;
  curl_easy_reset(curl);
  std::string url = Url(path);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (!options_.unix_socket_path.empty()) {
    curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, options_.unix_socket_path.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options_.timeout_ms);
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  // No "Expect: 100-continue" round trip for large bodies.
  headers = curl_slist_append(headers, "Expect:");
  std::string session_header;
  if (!session.empty()) {
    session_header = std::string(kSessionHeader) + ": " + session;
    headers = curl_slist_append(headers, session_header.c_str());
  }
  headers = CommonHeaders(options_, headers);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  reply->clear();
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, reply);
  if (reply_headers != nullptr) {
    reply_headers->clear();
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &AppendHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, reply_headers);
  }
  CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  if (code != CURLE_OK) return FromCurl(code);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, http_status);
  return S_OK;
}

HRESULT BridgeClient::Op(const Json& request, Json* reply, long* http_status) {
  std::string text;
  long status = 0;
  ZEL_TRY(
      Post(request.dump(-1, ' ', false, Json::error_handler_t::replace), session_, &status, &text));
  if (http_status != nullptr) *http_status = status;
  Json parsed = Json::parse(text, nullptr, false);
  HRESULT hr = E_BRIDGE_BAD_REPLY;
  if (!parsed.is_discarded() && parsed.is_object() && parsed.contains("status") &&
      parsed["status"].is_string()) {
    if (!ParseStatusText(parsed["status"].get<std::string>(), &hr)) hr = E_BRIDGE_BAD_REPLY;
  }
  if (reply != nullptr) *reply = parsed.is_discarded() ? Json() : std::move(parsed);
  return hr;
}

HRESULT BridgeClient::OpenSession() {
  Json reply;
  std::string saved = std::exchange(session_, std::string());
  HRESULT hr = Op(Json{{"op", "session"}}, &reply);
  if (Failed(hr)) {
    session_ = saved;
    return hr;
  }
  if (!reply.contains("session") || !reply["session"].is_string()) return E_BRIDGE_BAD_REPLY;
  session_ = reply["session"].get<std::string>();
  return S_OK;
}

HRESULT BridgeClient::CloseSession() {
  if (session_.empty()) return S_FALSE;
  Json reply;
  HRESULT hr = Op(Json{{"op", "close"}}, &reply);
  session_.clear();
  return hr;
}

HRESULT BridgeClient::Watch(const std::function<bool(const Json&)>& on_event,
                            const std::atomic<bool>* stop) {
  // A stream gets its own connection: the keep-alive one stays free for operations.
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return E_OUTOFMEMORY;
  std::string url = Url(kEventsPath);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (!options_.unix_socket_path.empty()) {
    curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, options_.unix_socket_path.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  std::string session_header = std::string(kSessionHeader) + ": " + session_;
  curl_slist* headers = curl_slist_append(nullptr, session_header.c_str());
  headers = curl_slist_append(headers, "Accept: text/event-stream");
  headers = CommonHeaders(options_, headers);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  StreamState st;
  st.on_event = &on_event;
  st.stop = stop;
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnStreamBytes);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &st);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnStreamProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &st);
  // The error body of a refused stream (401, 429) is JSON, not events: fail on it.
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  CURLcode code = curl_easy_perform(curl);
  long http_status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &http_status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (st.stopped) return S_OK;
  if (st.bad) return E_BRIDGE_BAD_REPLY;
  if (code == CURLE_HTTP_RETURNED_ERROR) {
    if (http_status == 401) return E_SRV_SESSION_EXPIRED;
    if (http_status == 403) return E_ACCESSDENIED;
    if (http_status == 429) return E_BRIDGE_STREAM_LIMIT;
    return E_BRIDGE_BAD_REPLY;
  }
  if (code == CURLE_OK) return S_FALSE;  // the bridge ended the stream
  return FromCurl(code);
}

}  // namespace zel::bridge
