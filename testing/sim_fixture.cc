#include "testing/sim_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/resource_library.h"

namespace zel {

SimFixture::SimFixture(int clock_divisor, const Texts& texts)
    : clock_(std::max(clock_divisor, 1)), scoped_clock_(clock_divisor > 0 ? &clock_ : nullptr) {
  std::shared_ptr<const ResourceLibrary> shipped;
  std::string error;
  EXPECT_EQ(S_OK, ResourceLibrary::LoadFile(SourceTreeCatalogPath(), &shipped, &error)) << error;
  Texts all;
  // The catalogue's string ids all lie below 1000.
  for (uint32_t id = 0; shipped && id < 1000; ++id) {
    if (auto s = shipped->String(id)) all[id] = *s;
  }
  all[kSerialDevicePrefixStringId] = dir() + "/tty";
  for (const auto& [id, text] : texts) all[id] = text;
  std::string catalog = "[strings]\n";
  for (const auto& [id, text] : all) catalog += std::to_string(id) + " = " + text + "\n";
  std::shared_ptr<const ResourceLibrary> library;
  EXPECT_EQ(S_OK, ResourceLibrary::Parse(catalog, &library, &error)) << error;
  InstallResources(library);
}

SimFixture::~SimFixture() {
  if (sim_) sim_->Stop();
  InstallResources(nullptr);
}

HRESULT SimFixture::Start(const std::string& scenario_json) {
  sim::Scenario scenario;
  std::string error;
  HRESULT hr = sim::ParseScenario(scenario_json, &scenario, &error);
  EXPECT_EQ(S_OK, hr) << error;
  ZEL_TRY(hr);
  return Start(std::move(scenario));
}

HRESULT SimFixture::Start(sim::Scenario scenario) {
  scenario_ = scenario;
  sim_ = std::make_unique<sim::Simulator>(std::move(scenario));
  ZEL_TRY(sim_->Start());
  return sim_->CreateLink(dir() + "/tty1");
}

HRESULT SimFixture::StartUdp(sim::Scenario scenario) {
  scenario_ = scenario;
  sim_ = std::make_unique<sim::Simulator>(std::move(scenario));
  return sim_->StartUdp("127.0.0.1", 0);
}

ComPtr<CZelCommHandlerSerial> SimFixture::NewSerialLink() {
  ComPtr<CZelCommHandlerSerial> link = MakeObject<CZelCommHandlerSerial>();
  EXPECT_EQ(S_OK, link->put_Port(Variant::UI1(1)));
  return link;
}

std::vector<sim::Bytes> SimFixture::FramesOfType(uint8_t type) {
  std::vector<sim::Bytes> out;
  for (const sim::Bytes& f : sim_->ReceivedFrames()) {
    if (f.size() > 2 && f[2] == type) out.push_back(f);
  }
  return out;
}

}  // namespace zel
