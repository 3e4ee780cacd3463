// The names download: the controller's object names fetched frame by frame under one atomic
// bracket (five attempts, 5 s apart), applied to fresh collections through the object model's
// name hooks and kept in the "Names.2" stream; run on the caller's thread or on its own.
//
// Exchange: the names upload request 5A 01 0C 01 95; each reply that is not the end-of-data,
// acknowledge or negative acknowledge frame is one name frame (server/name_records.h), and the
// acknowledge frame asks for the next.
#include <array>
#include <system_error>

#include "link/atomic_bracket.h"
#include "link/frame.h"
#include "link/request.h"
#include "link/walk.h"
#include "platform/sync.h"
#include "server/name_hooks.h"
#include "server/zel_server.h"

namespace zel {
namespace {

constexpr std::array<uint8_t, 5> kNamesUploadRequest = {0x5A, 0x01, 0x0C, 0x01, 0x95};
constexpr int kNamesFetchAttempts = 5;
constexpr Millis kNamesRetryPause{5000};

// One attempt: every name the controller sends, in order. The code of the last request. A failed
// exchange ends the attempt (no acknowledge is resent); the download's next attempt starts again
// from the upload request.
HRESULT FetchNames(IZelCommHandler* link, std::vector<NameRecord>* records) {
  records->clear();
  if (link == nullptr) return E_UNEXPECTED;
  WalkHandlers handlers;
  handlers.restart = [&] { records->clear(); };
  handlers.reply = [&](const uint8_t* frame, WalkStep* step) -> HRESULT {
    *step = WalkStep::kDone;
    if (IsEndOfWalkFrame(frame)) return S_OK;
    NameRecord record;
    ZEL_TRY(ParseNameFrame(frame, &record));
    records->push_back(std::move(record));
    *step = WalkStep::kNext;
    return S_OK;
  };
  return RunWalk(link, kNamesUploadRequest, handlers, /*attempts=*/1);
}

}  // namespace

HRESULT CZelServer::FetchAndStoreNames() {
  std::optional<NameHooks> hooks = FindNameHooks();
  if (!hooks || !hooks->apply_name || !hooks->add_built_in_objects) return E_NOTIMPL;
  ComPtr<IZelCommHandler> link = transport();
  std::vector<NameRecord> records;
  HRESULT hr = S_OK;
  for (int attempt = 1; attempt <= kNamesFetchAttempts; ++attempt) {
    hr = FetchNames(link.get(), &records);
    if (Succeeded(hr)) break;
    if (attempt < kNamesFetchAttempts) Clock::Get()->SleepFor(kNamesRetryPause);
  }
  ZEL_TRY(hr);

  // Fresh collections take the new names.
  (void)reset();
  ComPtr<IStorage> store = local_store();
  if (!store) return E_FAIL;
  ComPtr<IStream> stream;
  ZEL_TRY(store->CreateStream(kNamesStream2, stream.Receive()));
  for (NameRecord& record : records) {
    // A record that cannot be applied is not stored; the next one is tried.
    if (Failed(hooks->apply_name(&record, kNamesVersion2))) continue;
    hr = WriteNameRecord(stream.get(), record);
    if (Failed(hr)) break;
  }
  if (Succeeded(hr)) hr = stream->Commit();
  stream.reset();
  ZEL_TRY(hr);
  return hooks->add_built_in_objects();
}

HRESULT CZelServer::RunNamesDownload() {
  names_status_.store(dsDownloading);
  HRESULT hr = FetchAndStoreNames();
  if (Succeeded(hr)) {
    {
      MutexLock g(&mu_);
      names_last_download_ = Variant::FromDate(DateFromTimeT(Clock::Get()->WallNow()));
    }
    // SaveSetup keeps the time of this download; its own failure does not fail the download.
    (void)SaveSetup();
    if (Succeeded(LoadStoredFriendlyNames())) (void)InitCollections();
  }
  names_status_.store(Succeeded(hr) ? dsCompleted : dsFailure);
  return hr;
}

HRESULT CZelServer::DownloadNamesNow(bool async) {
  if (!async) return RunNamesDownload();
  return StartDownloadThread(names_status_, &CZelServer::RunNamesDownload);
}

HRESULT CZelServer::get_DownloadNamesStatus(int32_t* status) {
  if (status == nullptr) return E_POINTER;
  *status = names_status_.load();
  return S_OK;
}

}  // namespace zel
