#include "platform/resource_library.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/file_system.h"
#include "platform/instance_paths.h"
#include "platform/settings_registry.h"
#include "platform/sync.h"
#include "zel_source_dir.h"

namespace zel {

namespace {

// A catalogue larger than this is not a catalogue (the shipped one is a few kilobytes).
constexpr size_t kMaxCatalogBytes = 4u << 20;

std::string_view Trim(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  size_t e = s.size();
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

// Decimal or 0x-hex, the whole text, at most 32 bits.
bool ParseId(std::string_view text, uint32_t* id) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return false;
  }
  *id = static_cast<uint32_t>(value);
  return true;
}

// "\n", "\t" and "\\" are escapes; any other backslash stays as it is, so registry key names
// such as "SOFTWARE\Tamsen" can be written plainly.
std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char next = text[i + 1];
      if (next == 'n' || next == 't' || next == '\\') {
        out.push_back(next == 'n' ? '\n' : next == 't' ? '\t' : '\\');
        ++i;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// The catalogue is edited by translators: refuse text that is not UTF-8 rather than show garbage.
bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;  // truncated sequence
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string ExecutableDir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().string();
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

Mutex g_install_mu;
std::shared_ptr<const ResourceLibrary> g_library ZEL_GUARDED_BY(g_install_mu);

}  // namespace

class ResourceCatalogParser {
 public:
  static HRESULT Parse(std::string_view text, ResourceLibrary* lib, std::string* error) {
    enum class Section { kNone, kStrings, kMessages };
    Section section = Section::kNone;
    // A byte-order mark some editors put at the start of UTF-8 files.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    size_t line_no = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = Trim(text.substr(pos, end - pos));
      pos = end + 1;
      ++line_no;
      auto fail = [&](std::string_view why) {
        if (error != nullptr) *error = "line " + std::to_string(line_no) + ": " + std::string(why);
        return E_FAIL;
      };
      if (line.empty() || line[0] == '#') {
        if (end == text.size()) break;
        continue;
      }
      if (!IsValidUtf8(line)) return fail("text is not valid UTF-8");
      if (line.front() == '[') {
        if (line == "[strings]") {
          section = Section::kStrings;
        } else if (line == "[messages]") {
          section = Section::kMessages;
        } else {
          return fail("unknown section " + std::string(line) +
                      " (expected [strings] or [messages])");
        }
      } else {
        if (section == Section::kNone) return fail("entry before any [strings] or [messages]");
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) return fail("expected 'id = text'");
        uint32_t id;
        std::string_view key = Trim(line.substr(0, eq));
        if (!ParseId(key, &id)) {
          return fail("bad id '" + std::string(key) + "' (decimal or 0x-hex, 32 bits)");
        }
        auto& table = section == Section::kStrings ? lib->strings_ : lib->messages_;
        if (!table.emplace(id, Unescape(Trim(line.substr(eq + 1)))).second) {
          return fail("id " + std::string(key) + " appears twice in this section");
        }
      }
      if (end == text.size()) break;
    }
    return S_OK;
  }
};

HRESULT ResourceLibrary::Parse(std::string_view text, std::shared_ptr<const ResourceLibrary>* out,
                               std::string* error) {
  if (out == nullptr) return E_POINTER;
  auto lib = std::make_shared<ResourceLibrary>();
  ZEL_TRY(ResourceCatalogParser::Parse(text, lib.get(), error));
  *out = std::move(lib);
  return S_OK;
}

HRESULT ResourceLibrary::LoadFile(const std::string& path,
                                  std::shared_ptr<const ResourceLibrary>* out, std::string* error) {
  if (out == nullptr) return E_POINTER;
  std::string text;
  HRESULT hr = ReadWholeFile(path, &text, kMaxCatalogBytes);
  if (hr == HresultFromErrno(EFBIG)) {
    if (error != nullptr) *error = path + ": larger than a catalogue can be";
    return E_FAIL;
  }
  if (Failed(hr)) {
    // A missing file, no permission, or a directory where the file should be.
    if (error != nullptr) *error = path + ": cannot read";
    return hr;
  }
  std::string parse_error;
  hr = Parse(text, out, &parse_error);
  if (Failed(hr) && error != nullptr) *error = path + ": " + parse_error;
  return hr;
}

std::optional<std::string> ResourceLibrary::String(uint32_t id) const {
  auto it = strings_.find(id);
  if (it == strings_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> ResourceLibrary::Message(uint32_t id) const {
  auto it = messages_.find(id);
  if (it == messages_.end()) return std::nullopt;
  return it->second;
}

void InstallResources(std::shared_ptr<const ResourceLibrary> library) {
  MutexLock g(&g_install_mu);
  g_library = std::move(library);
}

std::shared_ptr<const ResourceLibrary> Resources() {
  MutexLock g(&g_install_mu);
  return g_library;
}

HRESULT LoadResourceString(uint32_t id, BStr* out) {
  if (out == nullptr) return E_POINTER;
  auto lib = Resources();
  if (!lib) return E_UNEXPECTED;
  auto text = lib->String(id);
  if (!text) return E_UNEXPECTED;
  *out = BStr(std::move(*text));
  return S_OK;
}

std::string MessageText(uint32_t id) {
  auto lib = Resources();
  if (lib) {
    if (auto text = lib->Message(id)) return *text;
  }
  return "Unknown Error";
}

std::string ResourceLibraryPath() {
  std::string name(kResourceLibraryName);
  RegKey key;
  std::string dir;
  if (Succeeded(RegKey::LocalMachine().Open(kResourcesKey, &key)) &&
      Succeeded(key.QueryString(kResourcesValue, &dir, true)) && !dir.empty()) {
    // The value is the directory text the file name is appended to; a missing "/" is supplied.
    if (dir.back() != '/') dir.push_back('/');
    return dir + name;
  }
  std::string in_instance = InstancePath(name);
  if (FileExists(in_instance)) return in_instance;
  std::string exe_dir = ExecutableDir();
  if (!exe_dir.empty()) {
    std::string shared = exe_dir + "/../share/zelcommsrv/" + name;
    if (FileExists(shared)) return shared;
  }
  return in_instance;
}

HRESULT LoadProcessResources(std::string* path_used, std::string* error) {
  std::string path = ResourceLibraryPath();
  if (path_used != nullptr) *path_used = path;
  std::shared_ptr<const ResourceLibrary> lib;
  ZEL_TRY(ResourceLibrary::LoadFile(path, &lib, error));
  InstallResources(std::move(lib));
  return S_OK;
}

std::string SourceTreeCatalogPath() {
  return std::string(ZEL_SOURCE_DIR) + "/resources/" + std::string(kResourceLibraryName);
}

}  // namespace zel
