// Extensions that misbehave, one class id each, for the loading tests:
//   0x40 attaches and counts (a good one, to see the loading go on and stop around it)
//   0x41 rejects the server in Attach        0x42 its factory throws
//   0x43 makes an object that is no extension 0x44 throws in Attach
// Every Attach and Detach appends "<number>+" or "<number>-" to the file that the environment
// variable ZEL_TEST_EXTENSION_TRACE names, so a test sees the order.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "utils/server_extension.h"

namespace {

using namespace zel;

void Trace(int number, char what) {
  const char* path = std::getenv("ZEL_TEST_EXTENSION_TRACE");
  if (path == nullptr) return;
  if (std::FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%x%c ", number, what);
    std::fclose(f);
  }
}

class FaultyExtension final : public ServerExtensionBase {
 public:
  explicit FaultyExtension(int number) : number_(number) {}
  HRESULT get_Name(BStr* name) override {
    *name = "faulty " + std::to_string(number_) + " changes=" + std::to_string(changes_);
    return S_OK;
  }
  HRESULT get_Description(BStr* description) override {
    *description = "";
    return S_OK;
  }
  HRESULT Attach(IZelServer*) override {
    if (number_ == 0x44) throw std::runtime_error("attach throws");
    Trace(number_, '+');
    return number_ == 0x41 ? E_FAIL : S_OK;
  }
  HRESULT ServerStatusChanged(int32_t) override {
    ++changes_;
    return S_OK;
  }
  HRESULT Detach() override {
    Trace(number_, '-');
    return S_OK;
  }

 private:
  int number_;
  int changes_ = 0;
};

// An object that answers no interface but IUnknown.
class NotAnExtension final : public IUnknown {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (iid != IUnknown::kIid) return E_NOINTERFACE;
    AddRef();
    *ppv = this;
    return S_OK;
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) zel::HRESULT ZelCreateServerExtension(
    uint32_t, const zel::GUID* clsid, zel::IUnknown** extension) {
  for (int number = 0x40; number <= 0x44; ++number) {
    if (*clsid != ZelClassId(kIdCoclass, static_cast<uint16_t>(number))) continue;
    if (number == 0x42) throw std::runtime_error("factory throws");
    if (number == 0x43) {
      *extension = MakeObject<NotAnExtension>().Detach();
    } else {
      *extension = static_cast<IZelServerExtension*>(MakeObject<FaultyExtension>(number).Detach());
    }
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}
