// Registration of the link's automation classes with the process's class registry.
//
// Thread contract: call at start-up (the host's main, test set-up) before any creation.
#pragma once

namespace zel {

// Registers the serial transport (class id kClsidZelCommHandlerSerial, prog id
// "Corvane.ZelCommHandlerSerial") as a singleton: every creation in the process returns the one
// instance. Calling it again is harmless.
void RegisterLinkClasses();

}  // namespace zel
