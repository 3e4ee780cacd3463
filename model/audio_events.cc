#include "model/audio_events.h"

#include <array>
#include <string_view>

#include "model/object_commands.h"

namespace zel {
namespace {

// An outgoing interface's table: the names in event order at dispids 1, 2, ...; the first
// event takes (dispid, element), the others (element).
MemberTable EventTable(std::string_view interface_name, std::span<const std::string_view> names,
                       std::string_view element_param) {
  MemberTable t{std::string(interface_name)};
  for (size_t i = 0; i < names.size(); ++i) {
    MemberInfo& m = t.Member(names[i], static_cast<DISPID>(i + 1));
    Accessor a;
    a.kind = DISPATCH_METHOD;
    if (i == 0) a.params.push_back(ParamInfo{"dispidPropertyChanged", VT_I4});
    a.params.push_back(ParamInfo{std::string(element_param), VT_DISPATCH});
    // Sinks are called, never this table: an outgoing interface has no implementation here.
    a.call = [](void*, std::span<Variant>, Variant*) { return E_NOTIMPL; };
    m.accessors.push_back(std::move(a));
  }
  return t;
}

constexpr std::array<std::string_view, 5> kZoneEvents = {
    "OnAudioZoneChange", "OnAudioZonePowerStatusChange", "OnAudioZoneSourceChange",
    "OnAudioZoneVolumeLevelChange", "OnAudioZoneMuteStatusChange"};
constexpr std::array<std::string_view, 8> kSourceEvents = {"OnAudioSourceChange",
                                                           "OnAudioSourceMetadataChange",
                                                           "OnAudioSourceSongTitleChange",
                                                           "OnAudioSourceArtistChange",
                                                           "OnAudioSourceGenreChange",
                                                           "OnAudioSourceAlbumNameChange",
                                                           "OnAudioSourceChannelNumberChange",
                                                           "OnAudioSourceChannelNameChange"};

}  // namespace

const MemberTable& AudioZoneEventsMembers() {
  static const MemberTable table =
      EventTable("_DZelAudioZoneEvents", kZoneEvents, "pdispZoneChanged");
  return table;
}

const MemberTable& AudioSourceEventsMembers() {
  static const MemberTable table =
      EventTable("_DZelAudioSourceEvents", kSourceEvents, "pdispSourceChanged");
  return table;
}

HRESULT AudioEvents::PutHandler(const Variant& handler) {
  if (handler.vt() != VT_DISPATCH && handler.vt() != VT_NULL) return E_INVALIDARG;
  ComPtr<IDispatch> old;
  {
    MutexLock g(&mu_);
    old = std::move(handler_);
    if (handler.vt() == VT_DISPATCH && handler.dispatch() != nullptr) {
      handler_ = ComPtr<IDispatch>(handler.dispatch());
    }
  }
  // The old handler is released outside the lock: its release may run client code.
  return S_OK;
}

void AudioEvents::Raise(DISPID changed, IDispatch* element, DISPID specific) {
  const Variant general[2] = {Variant::I4(changed), Variant::Dispatch(element)};
  point_.Fire(1, general);
  ComPtr<IDispatch> handler;
  {
    MutexLock g(&mu_);
    handler = handler_;
  }
  if (handler) (void)handler->Invoke(DISPID_VALUE, DISPATCH_METHOD, general, nullptr);
  if (specific != 0) point_.Fire(specific, {&general[1], 1});
}

void RaiseAudioChange(int slot, DISPID changed, IDispatch* element) {
  ComPtr<IZelCollection> collection;
  if (Failed(GetServerCollection(slot, &collection))) return;
  ComPtr<IAudioEventSource> source;
  if (Failed(QueryAs<IAudioEventSource>(collection.get(), &source))) return;
  source->RaiseChange(changed, element);
}

}  // namespace zel
