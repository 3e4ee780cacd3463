#include "mqtt/retained_topics.h"

namespace zel::mqtt {

void RetainedTopics::Sync(const std::map<std::string, std::string>& wanted,
                          const Publish& publish) {
  bool complete = true;
  for (const auto& [topic, payload] : wanted) {
    auto it = held_.find(topic);
    if (!all_ && it != held_.end() && it->second == payload) continue;
    if (publish(topic, payload)) {
      held_[topic] = payload;
    } else {
      complete = false;
    }
  }
  for (auto it = held_.begin(); it != held_.end();) {
    if (wanted.count(it->first) == 0 && publish(it->first, "")) {
      it = held_.erase(it);
    } else {
      if (wanted.count(it->first) == 0) complete = false;
      ++it;
    }
  }
  if (complete) all_ = false;
}

}  // namespace zel::mqtt
