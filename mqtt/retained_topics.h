// RetainedTopics: a set of retained topics kept equal to what zelmqtt wants the broker to hold.
// Sync publishes each topic whose payload changed (or every topic after Republish, as after a
// reconnection or when the platform asks for its configs again) and clears, with an empty
// retained message, each topic that is no longer wanted.
//
// Thread contract: used by the state loop's thread only.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace zel::mqtt {

class RetainedTopics {
 public:
  // Publishes (topic, payload, retained); false when the broker did not take it (retried on the
  // next Sync).
  using Publish = std::function<bool(const std::string& topic, const std::string& payload)>;

  void Sync(const std::map<std::string, std::string>& wanted, const Publish& publish);
  // The next Sync publishes every topic again.
  void Republish() { all_ = true; }
  // What the broker holds, as far as this set knows.
  const std::map<std::string, std::string>& held() const { return held_; }

 private:
  std::map<std::string, std::string> held_;
  bool all_ = true;
};

}  // namespace zel::mqtt
