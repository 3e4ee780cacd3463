// Audio sources: CZelAudioSources holds one CZelAudioSource per player or tuner of the attached
// audio system, numbered from 1 (the names download turns the audio-source units of the unit
// type rule into audio sources: number = unit number + 1 - the first audio-source unit).
//
// Poll: a metadata walk of its own, replacing the generic per-element poll, inside one atomic
// request of the transport:
//   1. send 5A 02 33 <source> CRC (message type 0x33);
//   2. the negative acknowledge ends the poll with S_FALSE (no such source);
//   3. the acknowledge or the end-of-data frame ends it with S_OK; any other reply is one
//      metadata record, given to the source, and the acknowledge frame asks for the next.
// A failed exchange ends the walk with its code and keeps the texts already received. Sources
// from 256 are never polled. Left to the implementer: a walk that has not ended after 256
// records is given up with E_FAIL, so a controller that never stops cannot hold the link.
//
// Metadata record (the data after the message type): byte 0 the field code, then the text
// (single-byte characters, up to a zero byte or the end). Codes: 0 metadata (dispid 0x630),
// 1 song title (0x631), 2 artist (0x632), 3 genre (0x633), 4 album name (0x634), 6 channel number
// (0x635), 7 channel name (0x636); any other code fills an unnamed field, unannounced. A changed
// text is stored and announced: OnAudioSourceChange(dispid, source) on every sink of the
// server's AudioSources, then its script handler. The field-specific events are not raised.
//
// Metadata (get) is a new string list: the metadata text split at "/" (empty pieces dropped),
// or, when the metadata text is empty, each other text that is not empty, in field order.
//
// Thread contract: as every element and collection (collection_element.h, collection_core.h).
// The texts are guarded by fields_mu(), which is released before a change is announced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/audio_events.h"
#include "model/collection.h"
#include "model/collection_element.h"
#include "model/standard_collections.h"

namespace zel {

inline constexpr DISPID kDispidAudioSourceMetadata = 0x630;
inline constexpr DISPID kDispidAudioSourceSongTitle = 0x631;
inline constexpr DISPID kDispidAudioSourceArtist = 0x632;
inline constexpr DISPID kDispidAudioSourceGenre = 0x633;
inline constexpr DISPID kDispidAudioSourceAlbumName = 0x634;
inline constexpr DISPID kDispidAudioSourceChannelNumber = 0x635;
inline constexpr DISPID kDispidAudioSourceChannelName = 0x636;
inline constexpr DISPID kDispidAudioSourcesOnAudioSourceChange = 0x640;

inline constexpr uint8_t MSG_AUDIO_METADATA = 0x33;
inline constexpr size_t kMaxMetadataRecords = 256;

struct IZelAudioSource : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelAudioSource);
  virtual HRESULT get_Metadata(IDispatch** metadata) = 0;
  virtual HRESULT get_SongTitle(BStr* text) = 0;
  virtual HRESULT get_Artist(BStr* text) = 0;
  virtual HRESULT get_Genre(BStr* text) = 0;
  virtual HRESULT get_AlbumName(BStr* text) = 0;
  virtual HRESULT get_ChannelNumber(BStr* text) = 0;
  virtual HRESULT get_ChannelName(BStr* text) = 0;
};

struct IZelAudioSources : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelAudioSources);
  virtual HRESULT put_OnAudioSourceChange(Variant handler) = 0;
};

// The pieces Metadata lists for a source's texts (metadata first, then the seven others in
// field order: song title, artist, genre, album name, unnamed, channel number, channel name).
std::vector<std::string> MetadataPieces(const std::string& metadata,
                                        const std::vector<std::string>& others);

class CZelAudioSource final
    : public ZelCollectionElementImpl<CZelAudioSource, IZelAudioSource, /*name type*/ 0> {
 public:
  static constexpr CLSID kClsid = kClsidZelAudioSource;
  static constexpr std::string_view kTypeName = "CZelAudioSource";

  HRESULT get_Metadata(IDispatch** metadata) override;
  HRESULT get_SongTitle(BStr* text) override;
  HRESULT get_Artist(BStr* text) override;
  HRESULT get_Genre(BStr* text) override;
  HRESULT get_AlbumName(BStr* text) override;
  HRESULT get_ChannelNumber(BStr* text) override;
  HRESULT get_ChannelName(BStr* text) override;

  // One metadata record (field code, then text); a record without its code byte: E_FAIL.
  HRESULT LoadStatus(const uint8_t* data, uint32_t size) override;

  static const MemberTable& Members();
  static const PropertyMap& Properties();

 private:
  HRESULT Text(BStr CZelAudioSource::*field, BStr* text);

  BStr metadata_;        // guarded by fields_mu()
  BStr song_title_;      // guarded by fields_mu()
  BStr artist_;          // guarded by fields_mu()
  BStr genre_;           // guarded by fields_mu()
  BStr album_name_;      // guarded by fields_mu()
  BStr unnamed_;         // guarded by fields_mu()
  BStr channel_number_;  // guarded by fields_mu()
  BStr channel_name_;    // guarded by fields_mu()
};

inline constexpr CollectionTraits kAudioSourcesTraits{
    "CZelAudioSources",   254,   kClsidZelAudioSource, "AUDIOSOURCES",
    /*status_message=*/0, false, &AudioInterval};

class CZelAudioSources final
    : public ZelCollectionImpl<CZelAudioSources, IZelAudioSources, kAudioSourcesTraits>,
      public IConnectionPointContainer,
      public IProvideOutgoingInterface,
      public IAudioEventSource {
 public:
  static constexpr CLSID kClsid = kClsidZelAudioSources;

  HRESULT QueryInterface(const IID& iid, void** ppv) override;
  uint32_t AddRef() override { return ZelCollectionImpl::AddRef(); }
  uint32_t Release() override { return ZelCollectionImpl::Release(); }

  HRESULT put_OnAudioSourceChange(Variant handler) override;
  // The metadata walk (see the top of the file).
  HRESULT UpdateElement(uint16_t number, IDispatch* element) override;

  HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) override;
  HRESULT GetOutgoingInterface(IID* iid, const MemberTable** members) override;
  void RaiseChange(DISPID changed, IDispatch* element) override;

  static const MemberTable& Members();

 private:
  AudioEvents events_{static_cast<IZelAudioSources*>(this), kIidDZelAudioSourceEvents};
};

}  // namespace zel
