#include "link/link_classes.h"

#include "link/serial_transport.h"
#include "platform/class_registry.h"

namespace zel {

void RegisterLinkClasses() {
  ClassRegistry::Instance().Register(kClsidZelCommHandlerSerial,
                                     std::string(kProgIdZelCommHandlerSerial),
                                     FactoryOf<CZelCommHandlerSerial>(), /*singleton=*/true);
}

}  // namespace zel
