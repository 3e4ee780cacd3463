#include "testing/xml_destinations.h"

#include "platform/safe_array.h"

namespace zel {
namespace {

std::string Join(const std::vector<std::string>& pieces) {
  std::string all;
  for (const std::string& p : pieces) all += p;
  return all;
}

}  // namespace

HRESULT RecordingResponse::Write(const Variant& text) {
  writes.push_back(text.vt() == VT_BSTR ? text.bstr().str() : "<not a string>");
  return fail_from >= 0 && static_cast<int>(writes.size()) > fail_from ? E_FAIL : S_OK;
}
std::string RecordingResponse::All() const { return Join(writes); }

HRESULT RecordingHtmlDocument::write(const Variant& texts) {
  std::string joined;
  if (!texts.IsArray() || texts.array() == nullptr) {
    joined = "<not an array>";
  } else {
    for (size_t i = 0; i < texts.array()->size(); ++i) {
      Variant e;
      (void)texts.array()->GetElement(i, &e);
      joined += e.vt() == VT_BSTR ? e.bstr().str() : "<not a string>";
    }
  }
  writes.push_back(joined);
  return S_OK;
}
std::string RecordingHtmlDocument::All() const { return Join(writes); }

HRESULT RecordingStream::Read(void*, uint32_t, uint32_t* read) {
  if (read != nullptr) *read = 0;
  return S_OK;
}
HRESULT RecordingStream::Write(const void* buffer, uint32_t size, uint32_t* written) {
  if (fail_from >= 0 && static_cast<int>(writes.size()) >= fail_from) {
    writes.emplace_back();
    if (written != nullptr) *written = 0;
    return fail_code;
  }
  writes.emplace_back(static_cast<const char*>(buffer), size);
  if (written != nullptr) *written = size;
  return S_OK;
}
std::string RecordingStream::All() const { return Join(writes); }

}  // namespace zel
