#include "bridge/callback_destinations.h"

#include "platform/sync.h"

#include "bridge/event_sinks.h"
#include "platform/safe_array.h"
#include "platform/stream.h"
#include "platform/xml_destination.h"

namespace zel::bridge {
namespace {

// What the three objects share: the queue, the name, the handle, and the event of one write.
class Emitter : public CallbackDestination {
 public:
  Emitter(std::shared_ptr<EventQueue> queue, std::string name)
      : queue_(std::move(queue)), name_(std::move(name)) {}
  void set_source(std::string handle) override {
    MutexLock g(&mu_);
    source_ = std::move(handle);
  }
  void Emit(std::vector<Variant> args) {
    BridgeEvent event;
    event.interface_name = kCallbackInterface;
    event.member = name_;
    event.dispid = DISPID_VALUE;
    {
      MutexLock g(&mu_);
      event.source = source_;
    }
    event.args = std::move(args);
    queue_->Push(std::move(event));
  }
  // The default member, as a plain handler has it.
  HRESULT InvokeDefault(DISPID dispid, std::span<const Variant> args, Variant* result) {
    if (dispid != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
    Emit(std::vector<Variant>(args.begin(), args.end()));
    if (result != nullptr) result->Clear();
    return S_OK;
  }

 private:
  std::shared_ptr<EventQueue> queue_;
  std::string name_;
  Mutex mu_;
  std::string source_ ZEL_GUARDED_BY(mu_);
};

// The dispatch side the three share: no named members; the default member works as a plain
// handler's does.
template <class I>
class DispatchDestination : public I, public Emitter {
 public:
  using Emitter::Emitter;
  HRESULT GetIDOfName(std::string_view, DISPID* dispid) override {
    if (dispid != nullptr) *dispid = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID dispid, uint16_t, std::span<const Variant> args, Variant* result) override {
    return InvokeDefault(dispid, args, result);
  }
  std::string_view GetTypeName() const override { return "BridgeCallback"; }
  IDispatch* dispatch() override { return this; }
};

class ResponseCallback final : public DispatchDestination<IResponse> {
 public:
  using DispatchDestination::DispatchDestination;
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IResponse, IDispatch>(this, iid, ppv);
  }
  HRESULT Write(const Variant& text) override {
    Emit({text});
    return S_OK;
  }
};

class HtmlDocumentCallback final : public DispatchDestination<IHTMLDocument2> {
 public:
  using DispatchDestination::DispatchDestination;
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IHTMLDocument2, IDispatch>(this, iid, ppv);
  }
  HRESULT write(const Variant& texts) override {
    if (!texts.IsArray() || texts.array() == nullptr) return E_INVALIDARG;
    std::string joined;
    for (size_t i = 0; i < texts.array()->size(); ++i) {
      Variant element, text;
      if (Failed(texts.array()->GetElement(i, &element)) ||
          Failed(ChangeType(element, VT_BSTR, &text))) {
        return E_INVALIDARG;
      }
      joined += text.bstr().str();
    }
    Emit({Variant::Str(BStr(joined))});
    return S_OK;
  }
};

class StreamCallback final : public DispatchDestination<IDispatch>, public IStream {
 public:
  using DispatchDestination::DispatchDestination;
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch, IStream>(this, iid, ppv);
  }

  // A write-only stream: it holds nothing to read back or seek in.
  HRESULT Read(void*, uint32_t, uint32_t* read) override {
    if (read != nullptr) *read = 0;
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT Write(const void* buffer, uint32_t size, uint32_t* written) override {
    if (written != nullptr) *written = 0;
    if (buffer == nullptr && size != 0) return STG_E_INVALIDPOINTER;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    Emit({Variant::Array(SafeArray::FromBytes({bytes, size}))});
    if (written != nullptr) *written = size;
    return S_OK;
  }
  HRESULT Seek(int64_t, SeekOrigin, uint64_t*) override { return STG_E_INVALIDFUNCTION; }
  HRESULT SetSize(uint64_t) override { return STG_E_INVALIDFUNCTION; }
  HRESULT GetSize(uint64_t*) override { return STG_E_INVALIDFUNCTION; }
  HRESULT Commit() override { return S_OK; }
};

template <class T>
void Make(std::shared_ptr<EventQueue> queue, std::string name, ComPtr<IDispatch>* object,
          CallbackDestination** destination) {
  ComPtr<T> made = MakeObject<T>(std::move(queue), std::move(name));
  *destination = made.get();
  *object = ComPtr<IDispatch>(made->dispatch());
}

}  // namespace

HRESULT MakeCallbackDestination(std::shared_ptr<EventQueue> queue, std::string name,
                                std::string_view interface_name, ComPtr<IDispatch>* object,
                                CallbackDestination** destination) {
  if (interface_name == kResponseInterfaceName) {
    Make<ResponseCallback>(std::move(queue), std::move(name), object, destination);
  } else if (interface_name == kStreamInterfaceName) {
    Make<StreamCallback>(std::move(queue), std::move(name), object, destination);
  } else if (interface_name == kHtmlDocumentInterfaceName) {
    Make<HtmlDocumentCallback>(std::move(queue), std::move(name), object, destination);
  } else {
    return E_NOINTERFACE;
  }
  return S_OK;
}

}  // namespace zel::bridge
