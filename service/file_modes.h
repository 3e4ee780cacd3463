// The modes of the instance directory's files that hold secrets or decide access: ZELINFO.DAT
// (the access code and the user codes) and its lock file, registry.json and its lock file, the
// policy file and the token store. They are created 0600; an administrator may open one to the
// service's group (0640), never wider. At start every one of them that is wider is set back to
// 0600, with a system-log line naming the file and both modes.
//
// Thread contract: called at start-up from the daemon's main thread.
#pragma once

#include <string>
#include <vector>

namespace zel {

// The file names (in the instance directory) kept private.
const std::vector<std::string>& PrivateFileNames();

// Tightens every private file in dir that has bits beyond 0640; returns the paths changed.
// Missing files are skipped.
std::vector<std::string> TightenPrivateFiles(const std::string& dir);

}  // namespace zel
