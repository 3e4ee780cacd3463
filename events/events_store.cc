#include "events/events_store.h"

#include <algorithm>

#include "platform/system_log.h"

namespace zel {
namespace {

HRESULT ReadWholeStream(IStream* stream, std::vector<uint8_t>* bytes) {
  uint64_t size = 0;
  ZEL_TRY(stream->GetSize(&size));
  bytes->resize(size);
  ZEL_TRY(stream->Seek(0, SeekOrigin::kSet, nullptr));
  if (size == 0) return S_OK;
  return ReadExact(stream, bytes->data(), static_cast<uint32_t>(size));
}

HRESULT WriteAt(IStream* stream, uint64_t offset, std::span<const uint8_t> bytes) {
  ZEL_TRY(stream->Seek(static_cast<int64_t>(offset), SeekOrigin::kSet, nullptr));
  HRESULT hr = WriteAll(stream, bytes.data(), static_cast<uint32_t>(bytes.size()));
  // A short write of a stream of the store is out of the ordinary: E_UNEXPECTED.
  return hr == STG_E_WRITEFAULT ? E_UNEXPECTED : hr;
}

}  // namespace

HRESULT EventsStore::Load(IStorage* storage, std::vector<EntryValues>* entries) {
  if (storage == nullptr || entries == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  entries->clear();
  ComPtr<IStream> stream;
  HRESULT hr = storage->OpenStream(kEventsStreamName, stream.Receive());
  if (hr == STG_E_FILENOTFOUND) {
    // A new store: the stream starts with a zero count.
    ZEL_TRY(storage->CreateStream(kEventsStreamName, stream.Receive()));
    storage_ = ComPtr<IStorage>(storage);
    events_ = std::move(stream);
    ZEL_TRY(WriteCount(0));
    ZEL_TRY(events_->Commit());
    count_ = 0;
    end_ = kEventsCountSize;
    return S_OK;
  }
  ZEL_TRY(hr);

  std::vector<uint8_t> bytes;
  ZEL_TRY(ReadWholeStream(stream.get(), &bytes));
  DecodedLog log = DecodeStoredLog(bytes);
  switch (log.fault) {
    case StoredLogFault::kCut:
      ReportEvent(MSG_EVENTS_UNREADABLE, E_UNEXPECTED);
      return E_UNEXPECTED;
    case StoredLogFault::kCountMissing:
      // Left to us: a stream too short for its count is an empty log, and the count is written
      // anew in front, so the appends that follow stand behind a count again.
      storage_ = ComPtr<IStorage>(storage);
      events_ = std::move(stream);
      ZEL_TRY(WriteCount(0));
      ZEL_TRY(events_->Commit());
      count_ = 0;
      end_ = kEventsCountSize;
      return S_OK;
    case StoredLogFault::kBadTime:
      storage_ = ComPtr<IStorage>(storage);
      events_ = std::move(stream);
      ZEL_TRY(SetAside(bytes));
      break;
    case StoredLogFault::kNone:
      storage_ = ComPtr<IStorage>(storage);
      events_ = std::move(stream);
      break;
  }
  count_ = static_cast<uint32_t>(log.entries.size());
  end_ = log.end;
  *entries = std::move(log.entries);
  return events_->Seek(static_cast<int64_t>(end_), SeekOrigin::kSet, nullptr);
}

HRESULT EventsStore::SetAside(std::span<const uint8_t> bytes) {
  // Left to us: the readable entries are kept, and the whole stream, unreadable part included,
  // is kept in the store under another name for inspection, in the same commit as the new count.
  CommitGroup group(storage_.get());
  ComPtr<IStream> aside;
  ZEL_TRY(storage_->CreateStream(kEventsSetAsideStreamName, aside.Receive()));
  ZEL_TRY(WriteAll(aside.get(), bytes.data(), static_cast<uint32_t>(bytes.size())));
  ZEL_TRY(aside->Commit());
  aside.reset();
  DecodedLog log = DecodeStoredLog(bytes);
  ZEL_TRY(WriteCount(static_cast<uint32_t>(log.entries.size())));
  ZEL_TRY(events_->Commit());
  HRESULT hr = group.End();
  ReportEvent(MSG_EVENTS_SET_ASIDE, DISP_E_BADVARTYPE);
  return hr;
}

HRESULT EventsStore::WriteCount(uint32_t count) {
  uint8_t le[kEventsCountSize] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                                  static_cast<uint8_t>(count >> 16),
                                  static_cast<uint8_t>(count >> 24)};
  return WriteAt(events_.get(), 0, le);
}

HRESULT EventsStore::LoadLastSeen(LastSeenRecord* record) {
  if (record == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  if (!storage_) return E_UNEXPECTED;
  ComPtr<IStream> stream;
  HRESULT hr = storage_->OpenStream(kEventsStateStreamName, stream.Receive());
  if (hr == STG_E_FILENOTFOUND) {
    // No state yet: the first walk takes in the controller's whole log.
    hr = storage_->CreateStream(kEventsStateStreamName, stream.Receive());
    if (Succeeded(hr)) hr = stream->Commit();
    return hr;
  }
  ZEL_TRY(hr);
  // Bytes the stream does not hold keep their value.
  LastSeenRecord read = *record;
  uint32_t got = 0;
  hr = stream->Read(read.data(), kLastSeenSize, &got);
  std::copy_n(read.begin(), got, record->begin());
  return hr;
}

HRESULT EventsStore::CommitWalk(std::span<const EntryValues> entries,
                                const LastSeenRecord* last_seen) {
  MutexLock g(&mu_);
  if (!events_) return E_UNEXPECTED;
  if (entries.empty() && last_seen == nullptr) return S_OK;
  std::vector<uint8_t> bytes;
  for (const EntryValues& e : entries) ZEL_TRY(EncodeStoredEntry(e, &bytes));

  CommitGroup group(storage_.get());
  HRESULT hr = S_OK;
  if (!entries.empty()) {
    hr = WriteAt(events_.get(), end_, bytes);
    if (Succeeded(hr)) hr = WriteCount(count_ + static_cast<uint32_t>(entries.size()));
    if (Failed(hr)) {
      // Nothing of a half-written walk counts: the old count stands, and the next walk writes
      // its entries over these bytes.
      (void)WriteCount(count_);
      (void)events_->Seek(static_cast<int64_t>(end_), SeekOrigin::kSet, nullptr);
      return hr;
    }
    count_ += static_cast<uint32_t>(entries.size());
    end_ += bytes.size();
    (void)events_->Commit();
  }
  if (last_seen != nullptr) {
    ComPtr<IStream> state;
    hr = storage_->OpenStream(kEventsStateStreamName, state.Receive());
    if (hr == STG_E_FILENOTFOUND)
      hr = storage_->CreateStream(kEventsStateStreamName, state.Receive());
    if (Succeeded(hr)) hr = WriteAt(state.get(), 0, *last_seen);
    if (Succeeded(hr)) hr = state->Commit();
  }
  HRESULT committed = group.End();
  return Failed(hr) ? hr : committed;
}

HRESULT EventsStore::Reset() {
  MutexLock g(&mu_);
  if (!events_) return E_UNEXPECTED;
  ZEL_TRY(WriteCount(0));
  count_ = 0;
  end_ = kEventsCountSize;
  ZEL_TRY(events_->Seek(static_cast<int64_t>(end_), SeekOrigin::kSet, nullptr));
  return events_->Commit();
}

bool EventsStore::is_open() const {
  MutexLock g(&mu_);
  return events_ != nullptr;
}

uint32_t EventsStore::count() const {
  MutexLock g(&mu_);
  return count_;
}

uint64_t EventsStore::end() const {
  MutexLock g(&mu_);
  return end_;
}

}  // namespace zel
