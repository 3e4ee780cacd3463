// The setup download: the controller's setup block fetched block by block under one atomic
// bracket, kept as a byte array and in the "SystemSetup" stream, run on the caller's thread or
// on a thread of its own. Also the load of the stored block.
//
// Exchange: the upload request 5A 01 04 00 53, then for each data block the acknowledge frame
// asks for the next, until the controller answers with the acknowledge, the negative
// acknowledge or the end-of-data frame. A data block's payload: server/setup_block.h.
#include <array>
#include <system_error>

#include "link/atomic_bracket.h"
#include "link/frame.h"
#include "link/request.h"
#include "link/walk.h"
#include "platform/sync.h"
#include "server/setup_block.h"
#include "server/zel_server.h"

namespace zel {
namespace {

constexpr std::array<uint8_t, 5> kSetupUploadRequest = {0x5A, 0x01, 0x04, 0x00, 0x53};
constexpr std::string_view kSystemSetupStreamName = "SystemSetup";
// Offset of a block's payload, and the bytes of the length byte's count that are not payload.
constexpr uint32_t kBlockPayloadOffset = 5;
constexpr uint32_t kBlockOverhead = 3;

}  // namespace

HRESULT SetupBlockPayload(const uint8_t* frame, std::span<const uint8_t>* payload) {
  uint32_t length = frame[1];
  if (length < kBlockOverhead) return E_FAIL;
  *payload = std::span<const uint8_t>(frame + kBlockPayloadOffset, length - kBlockOverhead);
  return S_OK;
}

HRESULT CZelServer::FetchSetupBlock(Variant* block) {
  block->Clear();
  ComPtr<IZelCommHandler> link = transport();
  if (!link) return E_UNEXPECTED;
  // Left to the implementer: without the local store there is nowhere to keep the block: E_FAIL,
  // as the other store operations answer.
  ComPtr<IStorage> store = local_store();
  if (!store) return E_FAIL;

  AtomicBracket bracket(link.get());
  ComPtr<IStream> stream;
  ZEL_TRY(store->CreateStream(kSystemSetupStreamName, stream.Receive()));

  std::vector<uint8_t> bytes;
  WalkHandlers handlers;
  // A restarted walk sends the block again from its start: what came before is dropped.
  handlers.restart = [&] {
    bytes.clear();
    (void)stream->SetSize(0);
    (void)stream->Seek(0, SeekOrigin::kSet, nullptr);
  };
  handlers.reply = [&](const uint8_t* frame, WalkStep* step) -> HRESULT {
    *step = WalkStep::kDone;
    if (IsEndOfWalkFrame(frame)) return S_OK;
    std::span<const uint8_t> payload;
    ZEL_TRY(SetupBlockPayload(frame, &payload));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    // The stream keeps what arrived even if a later block fails.
    (void)WriteAll(stream.get(), payload.data(), static_cast<uint32_t>(payload.size()));
    *step = WalkStep::kNext;
    return S_OK;
  };
  HRESULT hr = RunWalk(link.get(), kSetupUploadRequest, handlers);
  stream.reset();  // releasing it commits what was written
  if (Failed(hr)) return hr;
  // A controller that sends no block gives a byte array without elements.
  *block = Variant::Array(SafeArray::FromBytes(bytes), VT_UI1);
  return hr;
}

HRESULT CZelServer::RunSetupDownload() {
  {
    MutexLock g(&mu_);
    system_setup_.Clear();
  }
  setup_status_.store(dsDownloading);
  Variant block;
  HRESULT hr = FetchSetupBlock(&block);
  if (Succeeded(hr)) {
    {
      MutexLock g(&mu_);
      system_setup_ = std::move(block);
      setup_last_download_ = Variant::FromDate(DateFromTimeT(Clock::Get()->WallNow()));
    }
    // SaveSetup stores the time of this download; its own failure does not fail the download.
    (void)SaveSetup();
  }
  setup_status_.store(Succeeded(hr) ? dsCompleted : dsFailure);
  return hr;
}

HRESULT CZelServer::DownloadSetupNow(bool async) {
  if (!async) return RunSetupDownload();
  return StartDownloadThread(setup_status_, &CZelServer::RunSetupDownload);
}

HRESULT CZelServer::StartDownloadThread(const std::atomic<int32_t>& status,
                                        HRESULT (CZelServer::*run)()) {
  if (status.load() == dsDownloading) return E_FAIL;
  JoinFinishedDownloads();
  // The thread does not hold the server: the server's destructor waits for it instead, so a
  // download never outlives the object it fills.
  auto done = std::make_shared<std::atomic<bool>>(false);
  try {
    std::thread worker([this, done, run] {
      (void)(this->*run)();
      done->store(true);
    });
    MutexLock g(&threads_mu_);
    download_threads_.push_back(DownloadThread{std::move(worker), std::move(done)});
  } catch (const std::system_error& e) {
    return HresultFromErrno(e.code().value());
  }
  return S_OK;
}

void CZelServer::JoinFinishedDownloads() {
  std::vector<std::thread> finished;
  {
    MutexLock g(&threads_mu_);
    for (auto it = download_threads_.begin(); it != download_threads_.end();) {
      if (it->done->load()) {
        finished.push_back(std::move(it->thread));
        it = download_threads_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (std::thread& t : finished) t.join();
}

HRESULT CZelServer::get_DownloadSetupStatus(int32_t* status) {
  if (status == nullptr) return E_POINTER;
  *status = setup_status_.load();
  return S_OK;
}

HRESULT CZelServer::LoadStoredSetupBlock() {
  ComPtr<IStorage> store = local_store();
  std::vector<uint8_t> bytes;
  HRESULT hr = store ? S_OK : E_FAIL;
  ComPtr<IStream> stream;
  if (Succeeded(hr)) hr = store->OpenStream(kSystemSetupStreamName, stream.Receive());
  uint64_t size = 0;
  if (Succeeded(hr)) hr = stream->GetSize(&size);
  if (Succeeded(hr) && size > UINT32_MAX) hr = E_OUTOFMEMORY;
  if (Succeeded(hr)) {
    bytes.resize(static_cast<size_t>(size));
    hr = ReadExact(stream.get(), bytes.data(), static_cast<uint32_t>(size));
  }
  stream.reset();
  if (Succeeded(hr)) {
    MutexLock g(&mu_);
    system_setup_ = Variant::Array(SafeArray::FromBytes(bytes), VT_UI1);
    return S_OK;
  }
  // A missing or unreadable stored block: fetch it from the controller (which rewrites it).
  Variant block;
  ZEL_TRY(FetchSetupBlock(&block));
  MutexLock g(&mu_);
  system_setup_ = std::move(block);
  return S_OK;
}

}  // namespace zel
