// TokenStore: the bearer tokens that TCP clients present ("Authorization: Bearer zel_..."), kept in
// "tokens.json" in the instance directory, mode 0600. Only the SHA-256 of each token is stored:
// `zelctl token add` prints a new token once and nobody can read it back afterwards.
//
//   {"tokens":[{"name":"backup","role":"read","sha256":"9f86...","created":1733400000}]}
//
// The bridge looks tokens up on every TCP request and rereads the file when it changed on disk,
// so tokens added or removed with zelctl take effect without a restart.
//
// Thread contract: every member may be called from any thread; mu_ guards entries_ and the file
// signature. Writers in different processes (two zelctl at once) are not serialised: the last
// rename wins.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"
#include "platform/sync.h"

namespace zel::bridge {

inline constexpr const char* kTokenFileName = "tokens.json";

struct TokenEntry {
  std::string name;
  Role role = Role::kUntagged;
  std::string sha256;  // lower-case hex of the token's SHA-256
  std::time_t created = 0;
};

class TokenStore {
 public:
  explicit TokenStore(std::string path) : path_(std::move(path)) {}

  // Makes a new token for `name` (1 to 64 of A-Z a-z 0-9 . _ -) with a role (read, control or
  // admin) and stores its hash. E_INVALIDARG for a bad name or role; 0x800700B7 (already exists)
  // when the name is taken.
  HRESULT Add(const std::string& name, Role role, std::string* token);
  // Removes the named token; 0x80070002 (not found) when there is none.
  HRESULT Remove(const std::string& name);
  // Every stored entry (hashes, never tokens).
  HRESULT List(std::vector<TokenEntry>* out);
  // The entry the token belongs to; false for an unknown token or when the store cannot be read.
  bool Lookup(std::string_view token, TokenEntry* out);

  const std::string& path() const { return path_; }

 private:
  // Rereads the file when its signature changed.
  HRESULT Refresh() ZEL_REQUIRES(mu_);
  HRESULT Save() ZEL_REQUIRES(mu_);

  const std::string path_;
  Mutex mu_;
  std::vector<TokenEntry> entries_ ZEL_GUARDED_BY(mu_);
  // What the file looked like when last read: inode, size, change time.
  ino_t ino_ ZEL_GUARDED_BY(mu_) = 0;
  off_t size_ ZEL_GUARDED_BY(mu_) = -1;
  int64_t ctime_ns_ ZEL_GUARDED_BY(mu_) = -1;
};

// True for a name a token may have: 1 to 64 of A-Z a-z 0-9 . _ -
bool ValidTokenName(std::string_view name);
// Lower-case hex of the SHA-256 of text.
std::string Sha256Hex(std::string_view text);
// "read", "control", "admin" to a role; kUntagged for anything else.
Role ParseRole(std::string_view text);

}  // namespace zel::bridge
