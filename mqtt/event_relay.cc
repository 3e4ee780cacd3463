#include "mqtt/event_relay.h"

#include <algorithm>
#include <chrono>

#include "mqtt/backoff.h"

namespace zel::mqtt {
namespace {

using bridge::Json;

// A property's value: plain values as they are, an object by its class and name.
Json Plain(const Json& v) {
  if (!v.is_object()) return v;
  if (v.contains("object")) {
    if (v["object"].is_null()) return Json();  // no object
    Json o = {{"class", v.value("class", std::string())}};
    if (v.contains("name")) o["name"] = v["name"];
    return o;
  }
  return v.contains("value") ? v["value"] : Json();
}

}  // namespace

Json EventRelay::Simplify(const Json& event) {
  Json out = {{"event", event.value("member", std::string())}};
  if (event.contains("seq")) out["seq"] = event["seq"];
  Json args = Json::array();
  if (event.contains("arguments") && event["arguments"].is_array()) {
    for (const Json& a : event["arguments"]) {
      if (a.is_object() && a.contains("object")) {
        Json o = {{"class", a.value("class", std::string())}};
        Json properties = Json::object();
        if (a.contains("properties") && a["properties"].is_object()) {
          for (const auto& [key, value] : a["properties"].items()) properties[key] = Plain(value);
        }
        o["properties"] = std::move(properties);
        args.push_back(std::move(o));
      } else {
        args.push_back(Plain(a));
      }
    }
  }
  out["arguments"] = std::move(args);
  return out;
}

void EventRelay::Start() {
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void EventRelay::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void EventRelay::Run() {
  Backoff backoff;
  while (!stop_.load()) {
    bridge::BridgeClient client(options_);
    bridge::BridgeClient releaser(options_);
    Json reply;
    HRESULT hr = client.OpenSession();
    std::string server;
    if (Succeeded(hr)) hr = client.Op({{"op", "create"}, {"class", "Corvane.ZelServer"}}, &reply);
    if (Succeeded(hr)) {
      server = reply["result"]["object"].get<std::string>();
      hr = client.Op({{"op", "advise"}, {"object", server}}, &reply);
    }
    if (Succeeded(hr)) {
      backoff.Succeeded();
      releaser.set_session(client.session());
      // Returns when the stream ends (the daemon went away) or on a stop.
      (void)client.Watch(
          [&](const Json& event) {
            const Json simplified = Simplify(event);
            publish_(simplified.dump(-1, ' ', false, Json::error_handler_t::replace));
            changed_(simplified);
            // The objects that came with the event are not kept.
            if (event.contains("arguments") && event["arguments"].is_array()) {
              for (const Json& a : event["arguments"]) {
                if (a.is_object() && a.contains("object") && a["object"].is_string()) {
                  Json r;
                  (void)releaser.Op({{"op", "release"}, {"object", a["object"]}}, &r);
                }
              }
            }
            return !stop_.load();
          },
          &stop_);
      releaser.set_session("");
    }
    // Wait before the next attempt (1 s after a stream that ended), less when asked to stop.
    const int pause_seconds = Failed(hr) ? backoff.Failed() : Backoff::kFirstSeconds;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(pause_seconds);
    while (!stop_.load() && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

}  // namespace zel::mqtt
