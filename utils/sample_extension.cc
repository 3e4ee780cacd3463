// A sample server extension (libzelext_sample.so): it follows the server's status and counts
// its changes, and shows what an extension library needs: the factory the server looks up and
// one class that implements IZelServerExtension. It uses the headers only, so it links nothing
// of the server's; in-process code reaches its counts through IZelServerExtension's names.
//
// Register it (path as installed or built):
//   SOFTWARE\Tamsen\Portico\Server Extensions\{5E1C0A70-3B2D-4A6F-8C1A-000000010033}
//     Library = /usr/lib/zelcommsrv/libzelext_sample.so
//
// Thread contract: Attach and Detach once each; ServerStatusChanged from any thread (the
// fields are atomic).
#include <atomic>
#include <string>

#include "utils/server_extension.h"

namespace {

using namespace zel;

constexpr GUID kClsidSampleExtension = ZelClassId(kIdCoclass, 0x33);

// No member table: the bridge does not hand this object's members to clients.
class SampleExtension final : public ServerExtensionBase {
 public:
  std::string_view GetTypeName() const override { return "CZelSampleExtension"; }

  // The name carries what the extension saw, so a test can read it without a member table:
  // "sample attached=<0|1> status=<last> changes=<count>".
  HRESULT get_Name(BStr* name) override {
    if (name == nullptr) return E_POINTER;
    *name = "sample attached=" + std::to_string(attached_.load() ? 1 : 0) +
            " status=" + std::to_string(last_status_.load()) +
            " changes=" + std::to_string(changes_.load());
    return S_OK;
  }
  HRESULT get_Description(BStr* description) override {
    if (description == nullptr) return E_POINTER;
    *description = "Follows the server's status";
    return S_OK;
  }
  HRESULT Attach(IZelServer* server) override {
    int32_t status = -1;
    if (server != nullptr && Succeeded(server->get_Status(&status))) last_status_ = status;
    attached_ = true;
    return S_OK;
  }
  HRESULT ServerStatusChanged(int32_t status) override {
    last_status_ = status;
    ++changes_;
    return S_OK;
  }
  HRESULT Detach() override {
    attached_ = false;
    return S_OK;
  }

 private:
  std::atomic<bool> attached_{false};
  std::atomic<int32_t> last_status_{-1};
  std::atomic<int32_t> changes_{0};
};

}  // namespace

extern "C" __attribute__((visibility("default"))) zel::HRESULT ZelCreateServerExtension(
    uint32_t interface_version, const zel::GUID* clsid, zel::IUnknown** extension) {
  if (extension == nullptr || clsid == nullptr) return zel::E_POINTER;
  *extension = nullptr;
  if (interface_version != zel::kServerExtensionInterfaceVersion) return zel::E_NOINTERFACE;
  if (*clsid != kClsidSampleExtension) return zel::CLASS_E_CLASSNOTAVAILABLE;
  *extension = static_cast<zel::IZelServerExtension*>(zel::MakeObject<SampleExtension>().Detach());
  return zel::S_OK;
}
