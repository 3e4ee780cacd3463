// Plugs the utilities into the process: the CZelServerUtils class (which the server's Utils
// property makes) and the Extensions collection slot (loaded from the machine registry and
// attached to the server at its start, told of every status change).
//
// Thread contract: at start-up (the daemon) or in test set-up.
#pragma once

namespace zel {

void RegisterUtilsClasses();

}  // namespace zel
