#include "link/link_classes.h"

#include "link/comm_handlers.h"
#include "link/network_transport.h"
#include "link/serial_transport.h"
#include "platform/class_registry.h"

namespace zel {

void RegisterLinkClasses() {
  ClassRegistry::Instance().Register(kClsidZelCommHandlerSerial,
                                     std::string(kProgIdZelCommHandlerSerial),
                                     FactoryOf<CZelCommHandlerSerial>(), /*singleton=*/true);
  ClassRegistry::Instance().Register(kClsidZelCommHandlerNetwork,
                                     std::string(kProgIdZelCommHandlerNetwork),
                                     FactoryOf<CZelCommHandlerNetwork>(), /*singleton=*/true);
  RegisterCommHandlersClass();
}

}  // namespace zel
