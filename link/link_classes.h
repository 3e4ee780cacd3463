// Registration of the link's automation classes with the process's class registry.
//
// Thread contract: call at start-up (the host's main, test set-up) before any creation.
#pragma once

namespace zel {

// Registers the serial transport ("Corvane.ZelCommHandlerSerial") and the network transport
// ("Corvane.ZelCommHandlerNetwork") as singletons: every creation of either class in the process
// returns its one instance, and the transport catalogue ("Corvane.ZelCommHandlers"), which reads
// the settings registry afresh at each creation. Calling it again is harmless.
void RegisterLinkClasses();

}  // namespace zel
