#include "model/standard_collections.h"

#include "server/system_parameters.h"
#include "server/zel_server.h"

namespace zel {

Variant NoInterval() { return Variant(); }
Variant NotPolledInterval() { return Variant::UI4(0); }
Variant UnitsInterval() { return Variant::UI4(1500); }
Variant ThermostatsInterval() { return Variant::UI4(5000); }
Variant TemperatureSensorsInterval() { return Variant::UI4(30000); }

Variant MessagesInterval() {
  ComPtr<CZelServer> server = ServerInstance();
  // Model index 0 has no message status to poll.
  bool model_zero = server != nullptr && server->model_index() == 0;
  return Variant::UI4(model_zero ? 0 : 5000);
}

Variant AudioInterval() {
  ComPtr<CZelServer> server = ServerInstance();
  Variant audio;
  bool present = server != nullptr &&
                 Succeeded(server->SystemParameter(kParamAudioPresent, &audio)) &&
                 audio.vt() == VT_BOOL && audio.boolean();
  return Variant::UI4(present ? 1000 : 0);
}

}  // namespace zel
