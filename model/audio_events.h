// The outgoing side of the audio collections: their two event interfaces and what a collection
// needs to raise them.
//
//   _DZelAudioZoneEvents (dispids 1 to 5, in this order)
//     OnAudioZoneChange(dispidPropertyChanged, pdispZoneChanged), OnAudioZonePowerStatusChange,
//     OnAudioZoneSourceChange, OnAudioZoneVolumeLevelChange, OnAudioZoneMuteStatusChange
//     (each of the last four with pdispZoneChanged)
//   _DZelAudioSourceEvents (dispids 1 to 8, in this order)
//     OnAudioSourceChange(dispidPropertyChanged, pdispSourceChanged), OnAudioSourceMetadataChange,
//     OnAudioSourceSongTitleChange, OnAudioSourceArtistChange, OnAudioSourceGenreChange,
//     OnAudioSourceAlbumNameChange, OnAudioSourceChannelNumberChange,
//     OnAudioSourceChannelNameChange (each of the last seven with pdispSourceChanged)
//
// AudioEvents is the part of a collection that raises them: its connection point (the sinks)
// and its script handler for the general event (the first of the interface; the handler slots of
// the other events cannot be set, so they are not kept). Elements reach their collection's
// AudioEvents through IAudioEventSource, an internal interface of the two collections.
//
// Thread contract: Advise, Unadvise, the handler put and Raise are safe from any thread. The
// connection point copies its sink list under its own lock and calls sinks without it; mu_
// guards handler_ only while it is copied or replaced. Events are raised on the polling thread.
#pragma once

#include "model/model_classes.h"
#include "platform/connection_point.h"
#include "platform/sync.h"

namespace zel {

inline constexpr IID kIidDZelAudioZoneEvents = ZelClassId(kIdOutgoing, 0x4A);
inline constexpr IID kIidDZelAudioSourceEvents = ZelClassId(kIdOutgoing, 0x49);

inline constexpr DISPID kDispidOnAudioZoneChange = 1;
inline constexpr DISPID kDispidOnAudioSourceChange = 1;

const MemberTable& AudioZoneEventsMembers();
const MemberTable& AudioSourceEventsMembers();

class AudioEvents {
 public:
  AudioEvents(IUnknown* container, const IID& outgoing) : point_(container, outgoing) {}

  ConnectionPoint& point() { return point_; }
  // The script handler of the general event: a dispatch reference, or null (VT_NULL, or a null
  // reference) to remove it. Other variants: E_INVALIDARG, the handler unchanged.
  HRESULT PutHandler(const Variant& handler);
  // The general event (dispid 1) with (changed, element) on every sink, then the script
  // handler's default member with the same two arguments; then, when `specific` is not 0, that
  // event with (element) on every sink.
  void Raise(DISPID changed, IDispatch* element, DISPID specific);

 private:
  ConnectionPoint point_;
  Mutex mu_;
  ComPtr<IDispatch> handler_ ZEL_GUARDED_BY(mu_);
};

// Answered by the audio collections: raises an element's change on its collection.
struct IAudioEventSource : IUnknown {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x53);
  virtual void RaiseChange(DISPID changed, IDispatch* element) = 0;
};

// RaiseChange on the server's collection of `slot` (nothing when there is none).
void RaiseAudioChange(int slot, DISPID changed, IDispatch* element);

}  // namespace zel
