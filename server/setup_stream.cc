// SaveSetup and LoadSetup: the "Setup" stream (layout in setup_stream.h), and the creation of a
// transport from its stored class id and settings.
#include "server/setup_stream.h"

#include "link/serial_transport.h"
#include "platform/class_registry.h"
#include "platform/persist.h"
#include "platform/sync.h"
#include "platform/text_encoding.h"
#include "server/zel_server.h"

namespace zel {

std::array<uint8_t, kSetupAccessCodeSize> EncodeSetupAccessCode(const BStr& code) {
  std::array<uint8_t, kSetupAccessCodeSize> out{};
  std::u16string wide = Utf8ToUtf16(code.str());
  // Left to the implementer: a code longer than four characters keeps its first four here;
  // the login refuses such a code anyway.
  for (size_t i = 0; i < 4 && i < wide.size(); ++i) {
    out[2 * i] = static_cast<uint8_t>(wide[i]);
    out[2 * i + 1] = static_cast<uint8_t>(wide[i] >> 8);
  }
  return out;  // the fifth character, the terminator, stays 0
}

BStr DecodeSetupAccessCode(const uint8_t* bytes) {
  std::u16string wide;
  for (size_t i = 0; i < 4; ++i) {
    char16_t c = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    if (c == 0) break;
    wide.push_back(c);
  }
  return BStr(Utf16ToUtf8(wide));
}

namespace {

std::array<uint8_t, 2> EncodeBool(VARIANT_BOOL value) {
  auto bits = static_cast<uint16_t>(value);
  return {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8)};
}

VARIANT_BOOL DecodeBool(const uint8_t* bytes) {
  return static_cast<VARIANT_BOOL>(bytes[0] | bytes[1] << 8);
}

// One field of the stream: true when all `size` bytes came; *hr keeps the read's own code.
bool ReadField(IStream* stream, void* buffer, uint32_t size, HRESULT* hr) {
  uint32_t got = 0;
  *hr = stream->Read(buffer, size, &got);
  return Succeeded(*hr) && got == size;
}

}  // namespace

HRESULT CZelServer::SaveSetup() {
  ComPtr<IStorage> store = local_store();
  if (!store) return E_FAIL;
  ComPtr<IStream> stream;
  ZEL_TRY(store->CreateStream(kSetupStreamName, stream.Receive()));

  std::array<uint8_t, kSetupAccessCodeSize> code;
  std::array<uint8_t, 2> download_setup, download_names, set_time;
  std::array<uint8_t, 16> setup_last, names_last;
  ComPtr<IZelCommHandler> current;
  {
    MutexLock g(&mu_);
    code = EncodeSetupAccessCode(access_code_);
    download_setup = EncodeBool(download_setup_);
    setup_last = setup_last_download_.ToRawBytes();
    download_names = EncodeBool(download_names_);
    names_last = names_last_download_.ToRawBytes();
    set_time = EncodeBool(set_controller_time_);
    current = transport_;
  }

  HRESULT hr = WriteAll(stream.get(), code.data(), code.size());
  if (Succeeded(hr)) hr = WriteAll(stream.get(), download_setup.data(), 2);
  if (Succeeded(hr)) hr = WriteAll(stream.get(), setup_last.data(), 16);
  if (Succeeded(hr)) hr = WriteAll(stream.get(), download_names.data(), 2);
  if (Succeeded(hr)) hr = WriteAll(stream.get(), names_last.data(), 16);
  if (Succeeded(hr)) hr = WriteAll(stream.get(), set_time.data(), 2);

  ComPtr<IPersistStreamInit> persist;
  if (Succeeded(hr) && current && Succeeded(current.As(&persist))) {
    CLSID clsid = GUID_NULL;
    if (Succeeded(persist->GetClassID(&clsid)) && clsid != GUID_NULL) {
      std::array<uint8_t, 16> id = GuidToBytes(clsid);
      hr = WriteAll(stream.get(), id.data(), id.size());
      if (Succeeded(hr)) hr = persist->Save(stream.get(), /*clear_dirty=*/true);
    }
  }

  HRESULT committed = stream->Commit();
  // Left to the implementer: when every write succeeded, a failed commit is returned, since the
  // configuration would otherwise be lost without a word.
  if (Succeeded(hr) && Failed(committed)) hr = committed;
  return hr;
}

HRESULT CZelServer::LoadSetup() {
  ComPtr<IStorage> store = local_store();
  if (!store) return E_FAIL;

  ComPtr<IStream> stream;
  HRESULT hr = store->OpenStream(kSetupStreamName, stream.Receive());
  if (Succeeded(hr)) {
    // Each field is applied as soon as it has been read whole; the first short or failed read
    // ends the reading and the fields after it keep their values.
    uint8_t code[kSetupAccessCodeSize];
    uint8_t flag[kSetupBoolSize];
    uint8_t raw[kSetupVariantSize];
    uint8_t clsid_bytes[kSetupClassIdSize];
    do {
      if (!ReadField(stream.get(), code, sizeof code, &hr)) break;
      (void)put_AccessCode(DecodeSetupAccessCode(code));
      if (!ReadField(stream.get(), flag, sizeof flag, &hr)) break;
      {
        MutexLock g(&mu_);
        download_setup_ = DecodeBool(flag);
      }
      if (!ReadField(stream.get(), raw, sizeof raw, &hr)) break;
      {
        MutexLock g(&mu_);
        setup_last_download_ = Variant::FromRawBytes(raw);
      }
      if (!ReadField(stream.get(), flag, sizeof flag, &hr)) break;
      {
        MutexLock g(&mu_);
        download_names_ = DecodeBool(flag);
      }
      if (!ReadField(stream.get(), raw, sizeof raw, &hr)) break;
      {
        MutexLock g(&mu_);
        names_last_download_ = Variant::FromRawBytes(raw);
      }
      if (!ReadField(stream.get(), flag, sizeof flag, &hr)) break;
      {
        MutexLock g(&mu_);
        set_controller_time_ = DecodeBool(flag);
      }
      if (!ReadField(stream.get(), clsid_bytes, sizeof clsid_bytes, &hr)) break;
      // The rest of the stream is the transport's own settings.
      hr = CreateTransportFromClassId(GuidFromBytes(clsid_bytes), stream.get());
    } while (false);
    stream.reset();
  }

  if (transport()) return hr;
  // No stored transport (or one that cannot be created): the serial transport with its
  // default settings.
  return CreateTransportFromClassId(kClsidZelCommHandlerSerial, nullptr);
}

HRESULT CZelServer::CreateTransportFromClassId(const CLSID& clsid, IStream* settings) {
  ComPtr<IZelCommHandler> created;
  ZEL_TRY(ClassRegistry::Instance().Create<IZelCommHandler>(clsid, &created));
  {
    // Replaces the slot without disconnecting an earlier transport.
    MutexLock g(&mu_);
    transport_ = created;
  }
  CutIfStopping(created.get());
  ComPtr<IPersistStreamInit> persist;
  if (Succeeded(created.As(&persist))) {
    (void)persist->InitNew();
    if (settings != nullptr) {
      // A settings stream the transport refuses (a later format, cut short) leaves it with the
      // settings it had: they are saved first and put back when the load fails part-way, so a
      // truncated stream never applies half of them. The load's result does not stop the
      // creation.
      ComPtr<MemoryStream> before = MakeObject<MemoryStream>();
      bool saved = Succeeded(persist->Save(before.get(), /*clear_dirty=*/false));
      if (Failed(persist->Load(settings)) && saved) {
        (void)before->Seek(0, SeekOrigin::kSet, nullptr);
        (void)persist->Load(before.get());
      }
    }
  }
  return created->Connect();
}

}  // namespace zel
