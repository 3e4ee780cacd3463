#include "bridge/token_store.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "bridge/variant_json.h"
#include "platform/status.h"

namespace zel::bridge {
namespace {

constexpr size_t kMaxNameLength = 64;
constexpr size_t kTokenBytes = 32;
constexpr const char* kTokenPrefix = "zel_";

std::string Hex(const unsigned char* bytes, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

}  // namespace

bool ValidTokenName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string Sha256Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  return Hex(digest, length);
}

Role ParseRole(std::string_view text) {
  if (text == "read") return Role::kRead;
  if (text == "control") return Role::kControl;
  if (text == "admin") return Role::kAdmin;
  return Role::kUntagged;
}

HRESULT TokenStore::Refresh() {
  struct stat st {};
  if (stat(path_.c_str(), &st) != 0) {
    if (errno != ENOENT) return HresultFromErrno(errno);
    entries_.clear();
    ino_ = 0;
    size_ = -1;
    ctime_ns_ = -1;
    return S_OK;
  }
  int64_t ctime_ns = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  if (st.st_ino == ino_ && st.st_size == size_ && ctime_ns == ctime_ns_) return S_OK;
  std::ifstream in(path_);
  if (!in) return HresultFromErrno(errno ? errno : EIO);
  std::stringstream text;
  text << in.rdbuf();
  Json j = Json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object() || !j.contains("tokens") || !j["tokens"].is_array()) {
    return E_FAIL;
  }
  std::vector<TokenEntry> entries;
  for (const Json& e : j["tokens"]) {
    if (!e.is_object() || !e.contains("name") || !e["name"].is_string() || !e.contains("role") ||
        !e["role"].is_string() || !e.contains("sha256") || !e["sha256"].is_string()) {
      continue;  // a damaged entry grants nothing
    }
    TokenEntry t;
    t.name = e["name"].get<std::string>();
    t.role = ParseRole(e["role"].get<std::string>());
    t.sha256 = e["sha256"].get<std::string>();
    if (e.contains("created") && e["created"].is_number_integer()) {
      t.created = e["created"].get<std::time_t>();
    }
    if (t.role != Role::kUntagged && t.sha256.size() == 64) entries.push_back(std::move(t));
  }
  entries_ = std::move(entries);
  ino_ = st.st_ino;
  size_ = st.st_size;
  ctime_ns_ = ctime_ns;
  return S_OK;
}

HRESULT TokenStore::Save() {
  Json list = Json::array();
  for (const TokenEntry& t : entries_) {
    list.push_back(Json{{"name", t.name},
                        {"role", std::string(RoleName(t.role))},
                        {"sha256", t.sha256},
                        {"created", t.created}});
  }
  std::string text = Json{{"tokens", std::move(list)}}.dump(2) + "\n";
  std::string tmp = path_ + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return HresultFromErrno(errno);
  // An existing temporary file keeps its mode through O_CREAT: make sure of it.
  bool ok = fchmod(fd, 0600) == 0 &&
            ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            fsync(fd) == 0;
  int err = errno;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path_.c_str()) != 0) {
    if (ok) err = errno;
    ::unlink(tmp.c_str());
    return HresultFromErrno(err ? err : EIO);
  }
  size_ = -1;  // reread our own write next time
  return S_OK;
}

HRESULT TokenStore::Add(const std::string& name, Role role, std::string* token) {
  if (token == nullptr) return E_POINTER;
  if (!ValidTokenName(name)) return E_INVALIDARG;
  if (role != Role::kRead && role != Role::kControl && role != Role::kAdmin) return E_INVALIDARG;
  MutexLock g(&mu_);
  ZEL_TRY(Refresh());
  for (const TokenEntry& t : entries_) {
    if (t.name == name) return HresultFromErrno(EEXIST);
  }
  unsigned char random[kTokenBytes];
  if (RAND_bytes(random, sizeof random) != 1) return E_FAIL;
  std::string made = kTokenPrefix + Hex(random, sizeof random);
  entries_.push_back(TokenEntry{name, role, Sha256Hex(made), std::time(nullptr)});
  HRESULT hr = Save();
  if (Failed(hr)) {
    entries_.pop_back();
    return hr;
  }
  *token = std::move(made);
  return S_OK;
}

HRESULT TokenStore::Remove(const std::string& name) {
  MutexLock g(&mu_);
  ZEL_TRY(Refresh());
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->name == name) {
      entries_.erase(it);
      return Save();
    }
  }
  return HresultFromErrno(ENOENT);
}

HRESULT TokenStore::List(std::vector<TokenEntry>* out) {
  if (out == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  ZEL_TRY(Refresh());
  *out = entries_;
  return S_OK;
}

bool TokenStore::Lookup(std::string_view token, TokenEntry* out) {
  if (token.size() != 4 + 2 * kTokenBytes || token.substr(0, 4) != kTokenPrefix) return false;
  std::string hash = Sha256Hex(token);
  MutexLock g(&mu_);
  if (Failed(Refresh())) return false;
  for (const TokenEntry& t : entries_) {
    if (t.sha256 == hash) {
      if (out) *out = t;
      return true;
    }
  }
  return false;
}

}  // namespace zel::bridge
