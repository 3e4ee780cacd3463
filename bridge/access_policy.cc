#include "bridge/access_policy.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <type_traits>

#include "bridge/token_store.h"
#include "bridge/variant_json.h"
#include "platform/text_encoding.h"

namespace zel::bridge {
namespace {

bool AllDigits(const std::string& s) {
  return !s.empty() && s.size() < 10 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Reads {"name": "role", ...} into ids through lookup; false with *error on a fault.
template <class Id, class Lookup>
bool ReadRoles(const Json& j, const char* what, Lookup lookup, std::map<Id, Role>* out,
               std::string* error) {
  if (!j.is_object()) {
    *error = std::string("\"") + what + "\" must map names to roles";
    return false;
  }
  for (const auto& [name, value] : j.items()) {
    Role role = value.is_string() ? ParseRole(value.template get<std::string>()) : Role::kUntagged;
    if (role == Role::kUntagged) {
      *error = std::string(what) + " \"" + name + "\": the role must be read, control or admin";
      return false;
    }
    Id id{};
    if constexpr (std::is_same_v<Id, std::string>) {
      id = name;
    } else if (AllDigits(name)) {
      id = static_cast<Id>(std::stoul(name));
    } else if (!lookup(name, &id)) {
      *error = std::string(what) + " \"" + name + "\" does not exist";
      return false;
    }
    (*out)[id] = role;
  }
  return true;
}

bool LookupUser(const std::string& name, uid_t* uid) {
  passwd pw{}, *found = nullptr;
  char buf[4096];
  if (getpwnam_r(name.c_str(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr) {
    return false;
  }
  *uid = found->pw_uid;
  return true;
}

bool LookupGroup(const std::string& name, gid_t* gid) {
  group gr{}, *found = nullptr;
  char buf[4096];
  if (getgrnam_r(name.c_str(), &gr, buf, sizeof buf, &found) != 0 || found == nullptr) {
    return false;
  }
  *gid = found->gr_gid;
  return true;
}

bool ReadStrings(const Json& j, const char* what, std::vector<std::string>* out,
                 std::string* error) {
  if (!j.is_array()) {
    *error = std::string("\"") + what + "\" must be a list of texts";
    return false;
  }
  for (const Json& s : j) {
    if (!s.is_string()) {
      *error = std::string("\"") + what + "\" must be a list of texts";
      return false;
    }
    out->push_back(s.get<std::string>());
  }
  return true;
}

bool ReadCount(const Json& j, const char* key, size_t* out, std::string* error) {
  if (!j.contains(key)) return true;
  if (!j[key].is_number_unsigned() || j[key].get<uint64_t>() == 0 ||
      j[key].get<uint64_t>() > 100000) {
    *error = std::string("\"") + key + "\" must be a whole number from 1 to 100000";
    return false;
  }
  *out = j[key].get<size_t>();
  return true;
}

bool Parse(const Json& j, AccessPolicy* p, std::string* error) {
  if (!j.is_object()) {
    *error = "the policy must be a JSON object";
    return false;
  }
  if (j.contains("unix")) {
    const Json& u = j["unix"];
    if (!u.is_object()) {
      *error = "\"unix\" must be an object";
      return false;
    }
    if (u.contains("users") && !ReadRoles(u["users"], "user", LookupUser, &p->users, error)) {
      return false;
    }
    if (u.contains("groups") && !ReadRoles(u["groups"], "group", LookupGroup, &p->groups, error)) {
      return false;
    }
  }
  if (j.contains("tcp")) {
    const Json& t = j["tcp"];
    if (!t.is_object()) {
      *error = "\"tcp\" must be an object";
      return false;
    }
    if (t.contains("enabled")) {
      if (!t["enabled"].is_boolean()) {
        *error = "\"enabled\" must be true or false";
        return false;
      }
      p->tcp_enabled = t["enabled"].get<bool>();
    }
    if (t.contains("port")) {
      if (!t["port"].is_number_unsigned() || t["port"].get<uint64_t>() > 65535) {
        *error = "\"port\" must be a port number";
        return false;
      }
      p->tcp_port = t["port"].get<int>();
    }
    if (t.contains("hosts") && !ReadStrings(t["hosts"], "hosts", &p->hosts, error)) return false;
    if (t.contains("origins") && !ReadStrings(t["origins"], "origins", &p->origins, error)) {
      return false;
    }
  }
  if (j.contains("login")) {
    const Json& l = j["login"];
    if (!l.is_object()) {
      *error = "\"login\" must be an object";
      return false;
    }
    if (l.contains("role")) {
      p->login_role =
          l["role"].is_string() ? ParseRole(l["role"].get<std::string>()) : Role::kUntagged;
      if (p->login_role == Role::kUntagged) {
        *error = "login \"role\" must be read, control or admin";
        return false;
      }
    }
    // Login user names are the controller's, not the system's: any name is taken as it is.
    auto any_name = [](const std::string&, std::string*) { return true; };
    std::map<std::string, Role> users;
    if (l.contains("users") && !ReadRoles(l["users"], "login user", any_name, &users, error)) {
      return false;
    }
    for (const auto& [name, role] : users) p->login_users[AsciiToLower(name)] = role;
  }
  if (j.contains("limits")) {
    const Json& l = j["limits"];
    if (!l.is_object()) {
      *error = "\"limits\" must be an object";
      return false;
    }
    if (!ReadCount(l, "sessionsPerIdentity", &p->sessions_per_identity, error) ||
        !ReadCount(l, "connectionsPerPeer", &p->connections_per_peer, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace

HRESULT LoadAccessPolicy(const std::string& path, AccessPolicy* policy, std::string* error) {
  if (policy == nullptr || error == nullptr) return E_POINTER;
  AccessPolicy p;
  p.service_uid = geteuid();
  p.service_gid = getegid();
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT) {
      *policy = std::move(p);
      return S_FALSE;
    }
    *error = "cannot read " + path;
    return E_INVALIDARG;
  }
  std::stringstream text;
  text << in.rdbuf();
  Json j = Json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) {
    *error = path + " is not valid JSON";
    return E_INVALIDARG;
  }
  if (!Parse(j, &p, error)) {
    *error = path + ": " + *error;
    return E_INVALIDARG;
  }
  *policy = std::move(p);
  return S_OK;
}

Role RoleForPeer(const AccessPolicy& policy, uid_t uid, gid_t gid, std::span<const gid_t> groups) {
  if (auto u = policy.users.find(uid); u != policy.users.end()) return u->second;
  Role best = Role::kUntagged;
  auto consider = [&](gid_t g) {
    if (auto it = policy.groups.find(g); it != policy.groups.end()) {
      if (static_cast<uint8_t>(it->second) > static_cast<uint8_t>(best)) best = it->second;
    }
  };
  consider(gid);
  for (gid_t g : groups) consider(g);
  if (best != Role::kUntagged) return best;
  if (uid == 0 || uid == policy.service_uid) return Role::kAdmin;
  if (gid == policy.service_gid) return Role::kAdmin;
  for (gid_t g : groups) {
    if (g == policy.service_gid) return Role::kAdmin;
  }
  return Role::kUntagged;
}

Role RoleForLogin(const AccessPolicy& policy, std::string_view user) {
  auto it = policy.login_users.find(AsciiToLower(user));
  return it != policy.login_users.end() ? it->second : policy.login_role;
}

}  // namespace zel::bridge
