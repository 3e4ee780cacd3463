#include "platform/settings_registry.h"

#include <endian.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/file_system.h"
#include "platform/instance_paths.h"
#include "platform/text_encoding.h"

namespace zel {

namespace {

using nlohmann::json;

// The marker that opens every registry file, so a stray JSON file is not taken for one.
constexpr std::string_view kFormatTag = "zelcommsrv-registry 1";
// Guards against a file that is far larger than any registry of this system.
constexpr size_t kMaxFileBytes = 64u << 20;
// The file and its lock: the daemon's group may read the settings, others see nothing.
constexpr mode_t kRegistryFileMode = 0640;
constexpr mode_t kDirectoryMode = 0750;
constexpr size_t kMaxValueNameChars = 16383;
constexpr uint32_t kMaxValueBytes = 1u << 20;
// Keys nest at most this deep, so a hostile file cannot exhaust the stack of the reader.
constexpr int kMaxDepth = 512;

struct RegValue {
  std::string name;  // as created
  uint32_t type = REG_NONE;
  std::string data;  // texts: UTF-8 without terminator; DWORD: 4 bytes little-endian; binary
};

struct Node {
  std::string name;                                   // as created
  std::map<std::string, std::unique_ptr<Node>> keys;  // by lower-case name
  std::map<std::string, RegValue> values;             // by lower-case name
};

bool IsUtf8(std::string_view s) { return Utf16ToUtf8(Utf8ToUtf16(s)) == s; }
size_t CharCount(std::string_view s) { return Utf8ToUtf16(s).size(); }

const char* TypeName(uint32_t type) {
  switch (type) {
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    default:
      return nullptr;
  }
}

uint32_t TypeFromName(const std::string& name) {
  for (uint32_t t : {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD}) {
    if (name == TypeName(t)) return t;
  }
  return REG_NONE;
}

// Splits a relative key path into its names. One trailing backslash is tolerated; an empty name
// elsewhere, or a name over the key-name limit, is refused.
HRESULT SplitPath(std::string_view path, std::vector<std::string>* parts) {
  parts->clear();
  if (path.empty()) return S_OK;
  if (path.back() == '\\') path.remove_suffix(1);
  size_t pos = 0;
  while (true) {
    size_t end = path.find('\\', pos);
    std::string_view part = path.substr(pos, end == std::string_view::npos ? end : end - pos);
    if (part.empty() || part.find('\0') != std::string_view::npos || !IsUtf8(part) ||
        CharCount(part) > kMaxKeyNameChars) {
      return E_INVALIDARG;
    }
    parts->emplace_back(part);
    if (end == std::string_view::npos) return S_OK;
    pos = end + 1;
  }
}

std::string JoinPath(const std::string& base, const std::vector<std::string>& parts) {
  std::string out = base;
  for (const auto& p : parts) {
    if (!out.empty()) out.push_back('\\');
    out += p;
  }
  return out;
}

Node* Child(Node* node, const std::string& name) {
  auto it = node->keys.find(AsciiToLower(name));
  return it == node->keys.end() ? nullptr : it->second.get();
}

Node* Walk(Node* node, const std::vector<std::string>& parts) {
  for (const auto& p : parts) {
    if (node == nullptr) return nullptr;
    node = Child(node, p);
  }
  return node;
}

// The node of an open RegKey's own path; a path that no longer exists was deleted meanwhile.
HRESULT KeyNode(Node* root, const std::string& path, Node** out) {
  std::vector<std::string> parts;
  ZEL_TRY(SplitPath(path, &parts));
  *out = Walk(root, parts);
  return *out == nullptr ? E_REG_KEY_DELETED : S_OK;
}

// ---- JSON form ----

std::string HexBytes(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) out.push_back(' ');
    auto b = static_cast<unsigned char>(bytes[i]);
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

bool ParseHexBytes(const std::string& text, std::string* out) {
  out->clear();
  int high = -1;
  for (char c : text) {
    if (c == ' ') {
      if (high >= 0) return false;  // a lone digit before the space
      continue;
    }
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      return false;
    }
    if (high < 0) {
      high = v;
    } else {
      out->push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  return high < 0;
}

json NodeToJson(const Node& node) {
  json j = json::object();
  if (!node.values.empty()) {
    json values = json::object();
    for (const auto& [folded, v] : node.values) {
      json entry = {{"type", TypeName(v.type)}};
      if (v.type == REG_DWORD) {
        uint32_t n;
        std::memcpy(&n, v.data.data(), 4);
        entry["data"] = le32toh(n);
      } else if (v.type == REG_BINARY) {
        entry["data"] = HexBytes(v.data);
      } else {
        entry["data"] = v.data;
      }
      values[v.name] = std::move(entry);
    }
    j["values"] = std::move(values);
  }
  if (!node.keys.empty()) {
    json keys = json::object();
    for (const auto& [folded, child] : node.keys) keys[child->name] = NodeToJson(*child);
    j["keys"] = std::move(keys);
  }
  return j;
}

// Reads one key object; `where` names it in error texts.
bool NodeFromJson(const json& j, const std::string& where, int depth, Node* node,
                  std::string* detail) {
  auto fail = [&](const std::string& why) {
    *detail = (where.empty() ? std::string("root") : "key \"" + where + "\"") + ": " + why;
    return false;
  };
  if (!j.is_object()) return fail("must be an object");
  if (depth > kMaxDepth) return fail("keys nest too deep");
  for (const auto& [member, content] : j.items()) {
    if (member == "values") {
      if (!content.is_object()) return fail("\"values\" must be an object");
      for (const auto& [name, entry] : content.items()) {
        std::string what = "value \"" + name + "\"";
        if (CharCount(name) > kMaxValueNameChars) return fail(what + ": name too long");
        if (!entry.is_object() || !entry.contains("type") || !entry.contains("data") ||
            entry.size() != 2) {
          return fail(what + ": expected {\"type\": ..., \"data\": ...}");
        }
        RegValue v;
        v.name = name;
        v.type = entry["type"].is_string() ? TypeFromName(entry["type"].get<std::string>()) : 0;
        const json& data = entry["data"];
        if (v.type == REG_NONE) {
          return fail(what + ": type must be REG_SZ, REG_EXPAND_SZ, REG_BINARY or REG_DWORD");
        } else if (v.type == REG_DWORD) {
          if (!data.is_number_integer() || data.get<int64_t>() < 0 ||
              data.get<int64_t>() > 0xFFFFFFFFll) {
            return fail(what + ": REG_DWORD data must be a number from 0 to 4294967295");
          }
          uint32_t n = htole32(static_cast<uint32_t>(data.get<int64_t>()));
          v.data.assign(reinterpret_cast<const char*>(&n), 4);
        } else if (v.type == REG_BINARY) {
          if (!data.is_string() || !ParseHexBytes(data.get<std::string>(), &v.data)) {
            return fail(what + ": REG_BINARY data must be a string of hex bytes");
          }
        } else {
          if (!data.is_string()) return fail(what + ": text data must be a string");
          v.data = data.get<std::string>();
          if (v.data.find('\0') != std::string::npos) return fail(what + ": text holds a zero");
        }
        if (!node->values.emplace(AsciiToLower(name), std::move(v)).second) {
          return fail(what + ": appears twice (names ignore case)");
        }
      }
    } else if (member == "keys") {
      if (!content.is_object()) return fail("\"keys\" must be an object");
      for (const auto& [name, child_json] : content.items()) {
        std::vector<std::string> parts;
        if (Failed(SplitPath(name, &parts)) || parts.size() != 1 || parts[0] != name) {
          return fail("subkey name \"" + name + "\" is empty, too long or holds a backslash");
        }
        auto child = std::make_unique<Node>();
        child->name = name;
        std::string child_where = where.empty() ? name : where + "\\" + name;
        if (!NodeFromJson(child_json, child_where, depth + 1, child.get(), detail)) return false;
        if (!node->keys.emplace(AsciiToLower(name), std::move(child)).second) {
          return fail("subkey \"" + name + "\" appears twice (names ignore case)");
        }
      }
    } else if (!(where.empty() && member == "format")) {
      return fail("unknown member \"" + member + "\" (expected \"values\" or \"keys\")");
    }
  }
  return true;
}

HRESULT ParseRegistry(const std::string& text, Node* root, std::string* detail) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::exception& e) {
    *detail = e.what();
    return E_REG_CORRUPT;
  }
  if (!j.is_object() || !j.contains("format") || !j["format"].is_string() ||
      j["format"].get<std::string>() != kFormatTag) {
    *detail = "not a registry file (\"format\" must be \"" + std::string(kFormatTag) + "\")";
    return E_REG_CORRUPT;
  }
  try {
    if (!NodeFromJson(j, "", 0, root, detail)) return E_REG_CORRUPT;
  } catch (const json::exception& e) {
    // The checks above test each type before reading it; this catches what they miss.
    *detail = e.what();
    return E_REG_CORRUPT;
  }
  return S_OK;
}

std::string SerializeRegistry(const Node& root) {
  json j = NodeToJson(root);
  j["format"] = kFormatTag;
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

// ---- The file and its lock ----

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Takes the lock on "<file>.lock". A reader that cannot open the lock file (no directory yet,
// no write permission) reads unlocked: changes replace the file by rename, so a reader never
// sees half a file; the lock only orders it against writers.
HRESULT LockRegistry(const std::string& file, bool exclusive, std::unique_ptr<Fd>* out) {
  std::string lock_path = file + ".lock";
  if (exclusive) ZEL_TRY(MakeDirectories(ParentDirectory(file), kDirectoryMode));
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kRegistryFileMode);
  if (fd < 0 && !exclusive) fd = ::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (!exclusive) {
      out->reset();
      return S_OK;
    }
    return HresultFromErrno(errno);
  }
  auto holder = std::make_unique<Fd>(fd);
  while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno != EINTR) return HresultFromErrno(errno);
  }
  *out = std::move(holder);  // closing the descriptor releases the lock
  return S_OK;
}

// Reads the file; a missing file is an empty registry.
HRESULT LoadRegistry(const std::string& file, Node* root, std::string* detail) {
  std::string text;
  HRESULT hr = ReadWholeFile(file, &text, kMaxFileBytes);
  if (hr == HresultFromErrno(ENOENT)) return S_OK;
  if (hr == HresultFromErrno(EFBIG)) {
    *detail = file + ": larger than a registry can be";
    return E_REG_CORRUPT;
  }
  if (Failed(hr)) {
    *detail = file + ": " + StatusName(hr);
    return hr;
  }
  // An empty file (a crash before the first write completed, or a user's truncation) is not
  // valid JSON; it is reported like any other bad file.
  std::string why;
  hr = ParseRegistry(text, root, &why);
  if (Failed(hr)) *detail = file + ": " + why;
  return hr;
}

// Replaces the file atomically: a reader or a crash sees the old file or the new one.
// REQUIRES: the exclusive lock is held.
HRESULT SaveRegistry(const std::string& file, const Node& root) {
  return ReplaceFileAtomically(file, SerializeRegistry(root), kRegistryFileMode);
}

HRESULT ReadTree(const std::string& file, const std::function<HRESULT(Node*)>& fn) {
  std::unique_ptr<Fd> lock;
  ZEL_TRY(LockRegistry(file, false, &lock));
  Node root;
  std::string detail;
  ZEL_TRY(LoadRegistry(file, &root, &detail));
  return fn(&root);
}

// `fn` sets *dirty when it changed the tree; the file is rewritten only then.
HRESULT ChangeTree(const std::string& file, const std::function<HRESULT(Node*, bool*)>& fn) {
  std::unique_ptr<Fd> lock;
  ZEL_TRY(LockRegistry(file, true, &lock));
  Node root;
  std::string detail;
  ZEL_TRY(LoadRegistry(file, &root, &detail));
  bool dirty = false;
  HRESULT hr = fn(&root, &dirty);
  if (Succeeded(hr) && dirty) ZEL_TRY(SaveRegistry(file, root));
  return hr;
}

std::string ExpandEnvironment(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
    if (close != std::string::npos && close > i + 1) {
      std::string name = text.substr(i + 1, close - i - 1);
      // Only reads the environment; the process does not change it while running.
      const char* value = std::getenv(name.c_str());  // NOLINT(concurrency-mt-unsafe)
      if (value != nullptr) {
        out += value;
        i = close + 1;
        continue;
      }
    }
    out.push_back(text[i++]);
  }
  return out;
}

HRESULT CheckValueName(std::string_view name) {
  if (!IsUtf8(name) || CharCount(name) > kMaxValueNameChars) return E_INVALIDARG;
  return S_OK;
}

}  // namespace

RegKey RegKey::LocalMachine() { return RegKey(InstancePath(kRegistryFileName), ""); }

RegKey RegKey::Root(std::string file) { return RegKey(std::move(file), ""); }

HRESULT RegKey::Open(std::string_view subkey, RegKey* out) const {
  if (!open_) return E_HANDLE;
  if (out == nullptr) return E_POINTER;
  std::vector<std::string> parts;
  ZEL_TRY(SplitPath(subkey, &parts));
  ZEL_TRY(ReadTree(file_, [&](Node* root) -> HRESULT {
    Node* node;
    ZEL_TRY(KeyNode(root, path_, &node));
    return Walk(node, parts) == nullptr ? E_REG_NOT_FOUND : S_OK;
  }));
  *out = RegKey(file_, JoinPath(path_, parts));
  return S_OK;
}

HRESULT RegKey::Create(std::string_view subkey, RegKey* out, bool* created) const {
  if (!open_) return E_HANDLE;
  if (out == nullptr) return E_POINTER;
  std::vector<std::string> parts;
  ZEL_TRY(SplitPath(subkey, &parts));
  bool made_last = false;
  ZEL_TRY(ChangeTree(file_, [&](Node* root, bool* dirty) -> HRESULT {
    Node* node;
    ZEL_TRY(KeyNode(root, path_, &node));
    for (const auto& p : parts) {
      auto& slot = node->keys[AsciiToLower(p)];
      made_last = slot == nullptr;
      if (made_last) {
        slot = std::make_unique<Node>();
        slot->name = p;
        *dirty = true;
      }
      node = slot.get();
    }
    return S_OK;
  }));
  if (created != nullptr) *created = made_last;
  *out = RegKey(file_, JoinPath(path_, parts));
  return S_OK;
}

HRESULT RegKey::DeleteTree(std::string_view subkey) const {
  if (!open_) return E_HANDLE;
  std::vector<std::string> parts;
  ZEL_TRY(SplitPath(subkey, &parts));
  if (parts.empty()) return E_INVALIDARG;
  return ChangeTree(file_, [&](Node* root, bool* dirty) -> HRESULT {
    Node* node;
    ZEL_TRY(KeyNode(root, path_, &node));
    std::string last = parts.back();
    parts.pop_back();
    Node* parent = Walk(node, parts);
    if (parent == nullptr || parent->keys.erase(AsciiToLower(last)) == 0) return E_REG_NOT_FOUND;
    *dirty = true;
    return S_OK;
  });
}

HRESULT RegKey::EnumKey(uint32_t index, size_t max_chars, std::string* name) const {
  if (!open_) return E_HANDLE;
  if (name == nullptr) return E_POINTER;
  return ReadTree(file_, [&](Node* root) -> HRESULT {
    Node* node;
    ZEL_TRY(KeyNode(root, path_, &node));
    if (index >= node->keys.size()) return E_NO_MORE_ITEMS;
    const std::string& found = std::next(node->keys.begin(), index)->second->name;
    if (CharCount(found) >= max_chars) return E_MORE_DATA;
    *name = found;
    return S_OK;
  });
}

HRESULT RegKey::EnumValue(uint32_t index, size_t max_chars, std::string* name,
                          uint32_t* type) const {
  if (!open_) return E_HANDLE;
  if (name == nullptr) return E_POINTER;
  return ReadTree(file_, [&](Node* root) -> HRESULT {
    Node* node;
    ZEL_TRY(KeyNode(root, path_, &node));
    if (index >= node->values.size()) return E_NO_MORE_ITEMS;
    const RegValue& v = std::next(node->values.begin(), index)->second;
    if (CharCount(v.name) >= max_chars) return E_MORE_DATA;
    *name = v.name;
    if (type != nullptr) *type = v.type;
    return S_OK;
  });
}

namespace {

// Copies the value named `name` of the key at `path` out of the file.
HRESULT FetchValue(const std::string& file, const std::string& path, std::string_view name,
                   RegValue* out) {
  ZEL_TRY(CheckValueName(name));
  return ReadTree(file, [&](Node* root) -> HRESULT {
    Node* node;
    ZEL_TRY(KeyNode(root, path, &node));
    auto it = node->values.find(AsciiToLower(name));
    if (it == node->values.end()) return E_REG_NOT_FOUND;
    *out = it->second;
    return S_OK;
  });
}

}  // namespace

HRESULT RegKey::QueryValue(std::string_view name, uint32_t* type, void* data,
                           uint32_t* size) const {
  if (!open_) return E_HANDLE;
  if (size == nullptr && data != nullptr) return E_INVALIDARG;
  RegValue v;
  ZEL_TRY(FetchValue(file_, path_, name, &v));
  if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) v.data.push_back('\0');
  if (type != nullptr) *type = v.type;
  if (size == nullptr) return S_OK;
  uint32_t needed = static_cast<uint32_t>(v.data.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return E_MORE_DATA;
  }
  *size = needed;
  if (data != nullptr) std::memcpy(data, v.data.data(), needed);
  return S_OK;
}

HRESULT RegKey::QueryString(std::string_view name, std::string* out, bool expand) const {
  if (!open_) return E_HANDLE;
  if (out == nullptr) return E_POINTER;
  RegValue v;
  ZEL_TRY(FetchValue(file_, path_, name, &v));
  if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return E_REG_UNSUPPORTED_TYPE;
  *out = expand && v.type == REG_EXPAND_SZ ? ExpandEnvironment(v.data) : v.data;
  return S_OK;
}

HRESULT RegKey::QueryDword(std::string_view name, uint32_t* out) const {
  if (!open_) return E_HANDLE;
  if (out == nullptr) return E_POINTER;
  RegValue v;
  ZEL_TRY(FetchValue(file_, path_, name, &v));
  if (v.type != REG_DWORD) return E_REG_UNSUPPORTED_TYPE;
  uint32_t n;
  std::memcpy(&n, v.data.data(), 4);
  *out = le32toh(n);
  return S_OK;
}

HRESULT RegKey::QueryBinary(std::string_view name, std::vector<uint8_t>* out) const {
  if (!open_) return E_HANDLE;
  if (out == nullptr) return E_POINTER;
  RegValue v;
  ZEL_TRY(FetchValue(file_, path_, name, &v));
  if (v.type != REG_BINARY) return E_REG_UNSUPPORTED_TYPE;
  out->assign(v.data.begin(), v.data.end());
  return S_OK;
}

HRESULT RegKey::SetValue(std::string_view name, uint32_t type, const void* data,
                         uint32_t size) const {
  if (!open_) return E_HANDLE;
  if ((data == nullptr && size != 0) || size > kMaxValueBytes) return E_INVALIDARG;
  ZEL_TRY(CheckValueName(name));
  RegValue v;
  v.name = std::string(name);
  v.type = type;
  std::string_view bytes(static_cast<const char*>(data), data == nullptr ? 0 : size);
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      v.data = std::string(bytes.substr(0, bytes.find('\0')));
      if (!IsUtf8(v.data)) return E_INVALIDARG;
      break;
    case REG_DWORD:
      if (size != 4) return E_INVALIDARG;
      v.data = std::string(bytes);
      break;
    case REG_BINARY:
      v.data = std::string(bytes);
      break;
    default:
      return E_INVALIDARG;
  }
  return ChangeTree(file_, [&](Node* root, bool* dirty) -> HRESULT {
    Node* node;
    ZEL_TRY(KeyNode(root, path_, &node));
    // Setting an existing value keeps the case of its name, as a name lookup would.
    auto [it, inserted] = node->values.try_emplace(AsciiToLower(name), v);
    if (!inserted) {
      v.name = it->second.name;
      it->second = std::move(v);
    }
    *dirty = true;
    return S_OK;
  });
}

HRESULT RegKey::SetString(std::string_view name, std::string_view text, uint32_t type) const {
  if (type != REG_SZ && type != REG_EXPAND_SZ) return E_INVALIDARG;
  // A zero inside the text would end it early; refuse rather than store a shorter text.
  if (text.find('\0') != std::string_view::npos) return E_INVALIDARG;
  return SetValue(name, type, text.data(), static_cast<uint32_t>(text.size()));
}

HRESULT RegKey::SetDword(std::string_view name, uint32_t value) const {
  uint32_t le = htole32(value);
  return SetValue(name, REG_DWORD, &le, 4);
}

HRESULT RegKey::SetBinary(std::string_view name, const std::vector<uint8_t>& bytes) const {
  if (bytes.size() > kMaxValueBytes) return E_INVALIDARG;
  return SetValue(name, REG_BINARY, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

HRESULT RegKey::DeleteValue(std::string_view name) const {
  if (!open_) return E_HANDLE;
  ZEL_TRY(CheckValueName(name));
  return ChangeTree(file_, [&](Node* root, bool* dirty) -> HRESULT {
    Node* node;
    ZEL_TRY(KeyNode(root, path_, &node));
    if (node->values.erase(AsciiToLower(name)) == 0) return E_REG_NOT_FOUND;
    *dirty = true;
    return S_OK;
  });
}

HRESULT ValidateRegistryFile(const std::string& file, std::string* detail) {
  std::unique_ptr<Fd> lock;
  ZEL_TRY(LockRegistry(file, false, &lock));
  Node root;
  std::string why;
  HRESULT hr = LoadRegistry(file, &root, &why);
  if (detail != nullptr) *detail = why;
  return hr;
}

HRESULT RecoverCorruptRegistry(const std::string& file, std::string* moved_to) {
  std::unique_ptr<Fd> lock;
  ZEL_TRY(LockRegistry(file, true, &lock));
  Node root;
  std::string why;
  HRESULT hr = LoadRegistry(file, &root, &why);
  if (hr != E_REG_CORRUPT) return Failed(hr) ? hr : S_FALSE;
  return MoveFileAside(file, moved_to);
}

}  // namespace zel
