#include "bridge/login_endpoint.h"

#include "bridge/protocol.h"
#include "bridge/security_log.h"
#include "platform/error_info.h"
#include "platform/system_log.h"
#include "platform/text_encoding.h"

namespace zel::bridge {
namespace {

// The lifetime of a login session the server keeps, in seconds (renewed by each renewal).
constexpr int kLoginSeconds = 15 * 60;
constexpr const char* kCookieAttributes = "; Path=/; HttpOnly; SameSite=Strict";

// A failure as the server described it (its error information), else by its name.
Reply Failure(HRESULT hr) {
  std::optional<ErrorInfo> info = TakeErrorInfo();
  Reply r = StatusReply(hr, info ? info->description : StatusNameOf(hr));
  r.body["error"]["source"] = info ? info->source : "";
  return r;
}

}  // namespace

std::string LoginEndpoint::SetCookie(const std::string& cookie) {
  return std::string(kLoginCookieName) + "=" + cookie + kCookieAttributes;
}

std::string LoginEndpoint::ClearCookie() {
  return std::string(kLoginCookieName) + "=" + kCookieAttributes + "; Max-Age=0";
}

Reply LoginEndpoint::Opened(const std::string& cookie, const std::string& user) const {
  Reply r = StatusReply(S_OK);
  r.body["cookie"] = cookie;
  r.body["user"] = user;
  r.body["role"] = std::string(RoleName(RoleForLogin(*policy_, user)));
  r.body["expiresIn"] = kLoginSeconds;
  r.set_cookie = SetCookie(cookie);
  return r;
}

Reply LoginEndpoint::Login(std::string_view body, const std::string& cookie) const {
  Json j = Json::parse(body.empty() ? std::string_view("{}") : body, nullptr,
                       /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object()) {
    return StatusReply(E_BRIDGE_BAD_REQUEST, "the request must be a JSON object");
  }
  const bool has_user = j.contains("user"), has_code = j.contains("code");
  if (has_user != has_code || (has_user && (!j["user"].is_string() || !j["code"].is_string()))) {
    return StatusReply(E_BRIDGE_BAD_REQUEST, "\"user\" and \"code\" must both be texts");
  }
  if (gate_ == nullptr) return StatusReply(E_SRV_LOGIN_DENIED, "this bridge takes no logins");
  ClearErrorInfo();
  if (!has_user) {
    if (cookie.empty()) {
      return StatusReply(E_BRIDGE_BAD_REQUEST,
                         "give \"user\" and \"code\", or send the login cookie to renew it");
    }
    HRESULT hr = gate_->Renew(cookie);
    if (Failed(hr)) {
      Reply r = Failure(hr);
      r.set_cookie = ClearCookie();
      return r;
    }
    return Opened(cookie, gate_->LiveUser(cookie));
  }
  const std::string user = j["user"].get<std::string>();
  const std::string identity = "login " + AsciiToLower(user);
  if (Millis wait = backoff_->Remaining(identity); wait.count() > 0) {
    const int64_t seconds = (wait.count() + 999) / 1000;
    Reply r = StatusReply(E_BRIDGE_BACKOFF, "after a wrong code, " + identity +
                                                " may try the next one in " +
                                                std::to_string(seconds) + " s");
    r.body["retryAfter"] = seconds;
    return r;
  }
  std::string opened;
  HRESULT hr = gate_->Login(user, j["code"].get<std::string>(), &opened);
  if (hr == E_SRV_LOGIN_DENIED) {
    Millis wait = backoff_->Wrong(identity);
    ReportEvent(
        MSG_WRONG_CODE, hr,
        identity + ", login, next code in " + std::to_string((wait.count() + 999) / 1000) + " s");
  } else if (Succeeded(hr)) {
    backoff_->Right(identity);
  }
  if (Failed(hr)) return Failure(hr);
  return Opened(opened, user);
}

Reply LoginEndpoint::Logout(const std::string& cookie) const {
  Reply r = StatusReply(S_OK);
  if (!cookie.empty() && gate_ != nullptr) {
    ClearErrorInfo();
    if (HRESULT hr = gate_->Logout(cookie); Failed(hr)) r = Failure(hr);
  }
  // Whatever became of the session, the browser forgets the cookie.
  r.set_cookie = ClearCookie();
  return r;
}

}  // namespace zel::bridge
