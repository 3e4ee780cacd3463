// Instance paths: one instance directory holds ZELINFO.DAT, SRVRLOG.XML, the settings registry
// file and the resource catalogue. Several instances (tests, the demo, two controllers) run side
// by side by giving each its own directory.
//
// The directory is, in order of precedence: the value set with SetInstanceDir (the daemon's
// --instance option), the environment variable ZELCOMMSRV_HOME, and /var/lib/zelcommsrv.
//
// Thread contract: SetInstanceDir at start-up; the getters from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/status.h"

namespace zel {

inline constexpr std::string_view kInstanceEnvVar = "ZELCOMMSRV_HOME";
inline constexpr std::string_view kDefaultInstanceDir = "/var/lib/zelcommsrv";

void SetInstanceDir(std::string dir);
std::string InstanceDir();
// InstanceDir() + "/" + name.
std::string InstancePath(std::string_view name);
// Creates the directory (and parents) when missing; system error on failure.
HRESULT EnsureInstanceDir();

// The running program's own file ("" when it cannot be told).
std::string ProgramPath();
// The program's share folder: <program dir>/../share/zelcommsrv, normalised (the shipped text
// catalogue, the web front end's folder "web", the sounds folder "sounds").
std::string ProgramShareDir();

}  // namespace zel
