// The settings registry: the machine-wide hierarchy of keys and typed values that the server,
// its transports, its utilities and the registration code read and write (the transport
// catalogue, the resource-catalogue location, the utilities' settings, the server extensions).
//
// Keys form a tree addressed by backslash-separated paths ("SOFTWARE\Tamsen\Portico\Settings").
// Key and value names compare ignoring ASCII case and keep the case they were created with;
// enumeration returns subkeys and values in that case-insensitive alphabetical order. The
// unnamed value "" is a key's default value.
//
// The tree is stored as one human-readable JSON file, by default "registry.json" in the
// instance directory (format in docs/configuration.md). Every operation goes to the file:
// a change takes an exclusive flock on "<file>.lock", re-reads the file, applies the change and
// replaces the file atomically (temporary file, fsync, rename, fsync of the directory) before
// releasing the lock; a read takes a shared lock. So the server and a command-line tool may
// change the registry at the same time without losing each other's changes.
//
// A file that does not parse is never rewritten: reads and changes return E_REG_CORRUPT (the
// caller falls back to its defaults) until RecoverCorruptRegistry moves it aside.
//
// Thread contract: RegKey is a value (a file path and a key path); any thread may use any
// RegKey. Threads and processes are serialised by the file lock alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace zel {

// Value types, numbered as the platform registry numbers them.
enum RegValueType : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,         // text
  REG_EXPAND_SZ = 2,  // text with %VARIABLE% references, expanded on read when asked
  REG_BINARY = 3,     // bytes
  REG_DWORD = 4,      // unsigned 32-bit number
};

// The registry file cannot be parsed (the system error "registry database corrupt", 1009).
inline constexpr HRESULT E_REG_CORRUPT = MakeHresult(0x800703F1);
// The key behind an open RegKey was deleted meanwhile (system error 1018).
inline constexpr HRESULT E_REG_KEY_DELETED = MakeHresult(0x800703FA);
// A typed read found a value of another type (system error 1630).
inline constexpr HRESULT E_REG_UNSUPPORTED_TYPE = MakeHresult(0x8007065E);

inline constexpr std::string_view kRegistryFileName = "registry.json";
// The longest key name, in characters (values may have longer names).
inline constexpr size_t kMaxKeyNameChars = 255;

class RegKey {
 public:
  // A closed key; every operation on it returns E_HANDLE.
  RegKey() = default;

  // The root of the machine registry in the instance directory (InstancePath(kRegistryFileName),
  // resolved now).
  static RegKey LocalMachine();
  // The root of the registry stored in `file` (tests, tools).
  static RegKey Root(std::string file);

  bool IsOpen() const { return open_; }
  // The key's path from the root ("" for the root), in the case given when it was opened.
  const std::string& path() const { return path_; }
  const std::string& file() const { return file_; }

  // Opens `subkey` (a relative path; "" opens this key again). Missing: E_REG_NOT_FOUND
  // (0x80070002). A malformed path (empty component, name over 255 characters): E_INVALIDARG.
  HRESULT Open(std::string_view subkey, RegKey* out) const;
  // Opens `subkey`, creating it and any missing parents. *created (when given) tells whether the
  // last component was new.
  HRESULT Create(std::string_view subkey, RegKey* out, bool* created = nullptr) const;
  // Deletes `subkey` (non-empty) with all its subkeys and values. Missing: E_REG_NOT_FOUND.
  HRESULT DeleteTree(std::string_view subkey) const;

  // The name of the subkey at `index`. `max_chars` is the caller's name buffer in characters,
  // terminator included: a name of max_chars characters or more gives E_MORE_DATA. Past the
  // last subkey: E_NO_MORE_ITEMS (0x80070103).
  HRESULT EnumKey(uint32_t index, size_t max_chars, std::string* name) const;
  // The name and type of the value at `index`, with the same buffer rule and end code.
  HRESULT EnumValue(uint32_t index, size_t max_chars, std::string* name,
                    uint32_t* type = nullptr) const;

  // Reads a value as raw bytes, the way the platform hands them out: texts as UTF-8 with a
  // terminating zero byte, numbers as 4 bytes little-endian. `data` may be null to ask for the
  // size only. *size holds the buffer size on entry and the value's size on return; a buffer
  // that is too small gives E_MORE_DATA (with *size the size needed). Missing: E_REG_NOT_FOUND.
  HRESULT QueryValue(std::string_view name, uint32_t* type, void* data, uint32_t* size) const;
  // Typed reads. QueryString accepts REG_SZ and REG_EXPAND_SZ (expanding %VARIABLE% references
  // from the environment when `expand`; unknown variables stay as written); other types give
  // E_REG_UNSUPPORTED_TYPE, as QueryDword and QueryBinary do for anything but their own type.
  HRESULT QueryString(std::string_view name, std::string* out, bool expand = false) const;
  HRESULT QueryDword(std::string_view name, uint32_t* out) const;
  HRESULT QueryBinary(std::string_view name, std::vector<uint8_t>* out) const;

  // Sets a value from raw bytes (for text types the text runs to the first zero byte). Unknown
  // type, or text that is not UTF-8, or a DWORD not 4 bytes: E_INVALIDARG.
  HRESULT SetValue(std::string_view name, uint32_t type, const void* data, uint32_t size) const;
  HRESULT SetString(std::string_view name, std::string_view text, uint32_t type = REG_SZ) const;
  HRESULT SetDword(std::string_view name, uint32_t value) const;
  HRESULT SetBinary(std::string_view name, const std::vector<uint8_t>& bytes) const;
  // Missing: E_REG_NOT_FOUND.
  HRESULT DeleteValue(std::string_view name) const;

 private:
  RegKey(std::string file, std::string path) : open_(true), file_(std::move(file)), path_(path) {}

  bool open_ = false;
  std::string file_;
  std::string path_;
};

// Checks that a registry file parses; *detail (when given) says where it does not.
// A missing file is a valid, empty registry.
HRESULT ValidateRegistryFile(const std::string& file, std::string* detail);
// Moves a registry file that does not parse to "<file>.corrupt-<YYYYmmdd-HHMMSS>" so the next
// change starts an empty registry; *moved_to receives the new name. S_FALSE when the file is
// missing or valid (nothing moved).
HRESULT RecoverCorruptRegistry(const std::string& file, std::string* moved_to);

}  // namespace zel
