#include "model/audio_sources.h"

#include <algorithm>
#include <array>

#include "link/atomic_bracket.h"
#include "link/frame.h"
#include "link/request.h"
#include "model/bstr_collection.h"
#include "platform/text_encoding.h"
#include "server/zel_server.h"

namespace zel {
namespace {

// The text field of each record code, and the dispid its change is announced with (0: none).
struct TextField {
  BStr CZelAudioSource::*field;
  DISPID dispid;
};

}  // namespace

std::vector<std::string> MetadataPieces(const std::string& metadata,
                                        const std::vector<std::string>& others) {
  std::vector<std::string> pieces;
  if (!metadata.empty()) {
    size_t start = 0;
    while (start <= metadata.size()) {
      size_t slash = metadata.find('/', start);
      if (slash == std::string::npos) slash = metadata.size();
      if (slash > start) pieces.push_back(metadata.substr(start, slash - start));
      start = slash + 1;
    }
    return pieces;
  }
  for (const std::string& text : others) {
    if (!text.empty()) pieces.push_back(text);
  }
  return pieces;
}

// ---- CZelAudioSource ------------------------------------------------------------------------

HRESULT CZelAudioSource::LoadStatus(const uint8_t* data, uint32_t size) {
  // `size` is the length byte: the type byte, the code byte, then the text.
  if (size < 2) return E_FAIL;
  using T = CZelAudioSource;
  static constexpr std::array<TextField, 8> kFields = {{
      {&T::metadata_, kDispidAudioSourceMetadata},
      {&T::song_title_, kDispidAudioSourceSongTitle},
      {&T::artist_, kDispidAudioSourceArtist},
      {&T::genre_, kDispidAudioSourceGenre},
      {&T::album_name_, kDispidAudioSourceAlbumName},
      {&T::unnamed_, 0},
      {&T::channel_number_, kDispidAudioSourceChannelNumber},
      {&T::channel_name_, kDispidAudioSourceChannelName},
  }};
  uint8_t code = data[0];
  const TextField& target = code < kFields.size() ? kFields[code] : kFields[5];
  const char* text = reinterpret_cast<const char*>(data + 1);
  std::string_view bytes(text, size - 2);
  // Left to the implementer: a zero byte ends the text, as the controller pads its fields.
  bytes = bytes.substr(0, bytes.find('\0'));
  BStr value(Latin1ToUtf8(bytes));
  {
    MutexLock g(&fields_mu());
    if (this->*target.field == value) return S_OK;
    this->*target.field = std::move(value);
  }
  if (target.dispid != 0) {
    RaiseAudioChange(kSlotAudioSources, target.dispid,
                     static_cast<IDispatch*>(static_cast<IZelAudioSource*>(this)));
  }
  return S_OK;
}

HRESULT CZelAudioSource::Text(BStr CZelAudioSource::*field, BStr* text) {
  if (text == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  *text = this->*field;
  return S_OK;
}

HRESULT CZelAudioSource::get_SongTitle(BStr* text) {
  return Text(&CZelAudioSource::song_title_, text);
}
HRESULT CZelAudioSource::get_Artist(BStr* text) { return Text(&CZelAudioSource::artist_, text); }
HRESULT CZelAudioSource::get_Genre(BStr* text) { return Text(&CZelAudioSource::genre_, text); }
HRESULT CZelAudioSource::get_AlbumName(BStr* text) {
  return Text(&CZelAudioSource::album_name_, text);
}
HRESULT CZelAudioSource::get_ChannelNumber(BStr* text) {
  return Text(&CZelAudioSource::channel_number_, text);
}
HRESULT CZelAudioSource::get_ChannelName(BStr* text) {
  return Text(&CZelAudioSource::channel_name_, text);
}

HRESULT CZelAudioSource::get_Metadata(IDispatch** metadata) {
  if (metadata == nullptr) return E_POINTER;
  *metadata = nullptr;
  std::vector<std::string> pieces;
  {
    MutexLock g(&fields_mu());
    pieces = MetadataPieces(metadata_.str(),
                            {song_title_.str(), artist_.str(), genre_.str(), album_name_.str(),
                             unnamed_.str(), channel_number_.str(), channel_name_.str()});
  }
  ComPtr<CBSTRCollection> list = MakeObject<CBSTRCollection>(std::move(pieces));
  // A list that cannot be made leaves the result empty, still with S_OK.
  if (list) *metadata = static_cast<IDispatch*>(static_cast<IBSTRCollection*>(list.Detach()));
  return S_OK;
}

const MemberTable& CZelAudioSource::Members() {
  using T = CZelAudioSource;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelAudioSource")
          .Inherit(ElementMembers())
          .Get(Role::kRead, "Metadata", kDispidAudioSourceMetadata, &T::get_Metadata)
          .Get(Role::kRead, "SongTitle", kDispidAudioSourceSongTitle, &T::get_SongTitle)
          .Get(Role::kRead, "Artist", kDispidAudioSourceArtist, &T::get_Artist)
          .Get(Role::kRead, "Genre", kDispidAudioSourceGenre, &T::get_Genre)
          .Get(Role::kRead, "AlbumName", kDispidAudioSourceAlbumName, &T::get_AlbumName)
          .Get(Role::kRead, "ChannelNumber", kDispidAudioSourceChannelNumber, &T::get_ChannelNumber)
          .Get(Role::kRead, "ChannelName", kDispidAudioSourceChannelName, &T::get_ChannelName)
          .Build();
  return table;
}

const PropertyMap& CZelAudioSource::Properties() {
  static const PropertyMap map = [] {
    using T = CZelAudioSource;
    PropertyMapBuilder<T> b;
    AddCommonProperties(b);
    // The unnamed field is not persisted.
    b.Member<&T::metadata_>("METADATA", VT_BSTR)
        .Member<&T::song_title_>("SONGTITLE", VT_BSTR)
        .Member<&T::artist_>("ARTIST", VT_BSTR)
        .Member<&T::genre_>("GENRE", VT_BSTR)
        .Member<&T::album_name_>("ALBUMNAME", VT_BSTR)
        .Member<&T::channel_number_>("CHANNELNUMBER", VT_BSTR)
        .Member<&T::channel_name_>("CHANNELNAME", VT_BSTR);
    return b.Build();
  }();
  return map;
}

// ---- CZelAudioSources -----------------------------------------------------------------------

HRESULT CZelAudioSources::UpdateElement(uint16_t number, IDispatch* element) {
  if (element == nullptr) return E_POINTER;
  if (StopRequested() || number > 255) return S_FALSE;
  ComPtr<CZelServer> server = ServerInstance();
  ComPtr<IZelCommHandler> link = server != nullptr ? server->transport() : nullptr;
  if (!link) return E_FAIL;
  ComPtr<IPersistMemory> memory;
  ZEL_TRY(QueryAs<IPersistMemory>(element, &memory));

  uint8_t request[6] = {kFrameStart, 0x02, MSG_AUDIO_METADATA, static_cast<uint8_t>(number), 0, 0};
  SetFrameCrc(request, sizeof request);
  AtomicBracket bracket(link.get());
  ReplyBuffer reply;
  HRESULT hr = SendControllerRequest(link.get(), false, request, sizeof request, &reply);
  for (size_t records = 0; hr == S_OK; ++records) {
    const uint8_t* frame = reply.get();
    if (IsNakFrame(frame)) {
      hr = S_FALSE;
      break;
    }
    if (IsAckFrame(frame) || std::equal(kEndOfDataFrame.begin(), kEndOfDataFrame.end(), frame)) {
      break;
    }
    if (records == kMaxMetadataRecords) {
      hr = E_FAIL;
      break;
    }
    (void)memory->Load(frame + 3, frame[1]);
    reply.reset();
    hr = SendControllerRequest(link.get(), false, kAckFrame.data(), kAckFrame.size(), &reply);
  }
  return hr;
}

HRESULT CZelAudioSources::QueryInterface(const IID& iid, void** ppv) {
  if (ppv != nullptr &&
      (iid == IConnectionPointContainer::kIid || iid == IProvideOutgoingInterface::kIid ||
       iid == IAudioEventSource::kIid)) {
    return QueryInterfaceFor<IZelAudioSources, IConnectionPointContainer, IProvideOutgoingInterface,
                             IAudioEventSource>(this, iid, ppv);
  }
  return ZelCollectionImpl::QueryInterface(iid, ppv);
}

HRESULT CZelAudioSources::FindConnectionPoint(const IID& iid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (iid != kIidDZelAudioSourceEvents) return CONNECT_E_NOCONNECTION;
  events_.point().AddRef();
  *point = &events_.point();
  return S_OK;
}

HRESULT CZelAudioSources::GetOutgoingInterface(IID* iid, const MemberTable** members) {
  if (iid == nullptr || members == nullptr) return E_POINTER;
  *iid = kIidDZelAudioSourceEvents;
  *members = &AudioSourceEventsMembers();
  return S_OK;
}

void CZelAudioSources::RaiseChange(DISPID changed, IDispatch* element) {
  // Only the general event: the field-specific source events are not raised.
  events_.Raise(changed, element, 0);
}

HRESULT CZelAudioSources::put_OnAudioSourceChange(Variant handler) {
  return events_.PutHandler(handler);
}

const MemberTable& CZelAudioSources::Members() {
  using T = CZelAudioSources;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelAudioSources")
          .Inherit(CollectionMembers())
          .Put(Role::kControl, "OnAudioSourceChange", kDispidAudioSourcesOnAudioSourceChange,
               &T::put_OnAudioSourceChange, {"vtHandler"})
          .Build();
  return table;
}

}  // namespace zel
