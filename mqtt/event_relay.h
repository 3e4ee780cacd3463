// EventRelay: the server's events on the broker. It opens a bridge session of its own, connects
// it to the server's events and publishes each event, not retained, on "<base>/event":
//
//   {"event":"OnSystemEvent","seq":12,
//    "arguments":[{"class":"CZelSystemZoneEvent",
//                  "properties":{"Index":7,"Code":1029,"State":0,
//                                "Zone":{"class":"CZelZone","name":"FRONT DOOR"}}}]}
//
// An object among the arguments comes with its class and properties (as the bridge describes
// it), values plainly, objects among the properties by class and name; a log event's Index is
// its stable position in the log, so a consumer can tell a gap. Every event also tells the state
// loop to read the states again at once.
//
// After a failure of the bridge (the daemon restarting) it opens a new session and connects
// again, waiting 1 s, then 2, 4, ... up to 30 s between attempts.
//
// Thread contract: Start and Stop from the owner's thread; the relay runs on a thread of its own
// and calls publish and changed from it.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "bridge/client.h"

namespace zel::mqtt {

class EventRelay {
 public:
  using Publish = std::function<void(const std::string& payload)>;
  // changed is called with each event as published (Simplify's form).
  using Changed = std::function<void(const bridge::Json& event)>;
  EventRelay(bridge::ClientOptions options, Publish publish, Changed changed)
      : options_(std::move(options)), publish_(std::move(publish)), changed_(std::move(changed)) {}
  ~EventRelay() { Stop(); }

  void Start();
  void Stop();

  // The published form of one event of the bridge's stream.
  static bridge::Json Simplify(const bridge::Json& event);

 private:
  void Run();

  const bridge::ClientOptions options_;
  const Publish publish_;
  const Changed changed_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace zel::mqtt
