// The storage object behind OpenCompoundFile: the store's streams staged in memory, committed in
// place, writing only the sectors that changed (compound_file_update.h), or, where that cannot
// be done, by writing a complete new image atomically (compound_file_io.h).
//
// Locking: CompoundStorage::mu_ guards the stream table, every stream's bytes, the dirty flag and
// the commit-group state. A stream object's position is its own (one thread per stream object);
// its data lives in the storage and is touched only under the storage's mutex.
#include "platform/storage.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/compound_file.h"
#include "platform/compound_file_format.h"
#include "platform/compound_file_io.h"
#include "platform/compound_file_update.h"
#include "platform/file_system.h"
#include "platform/sync.h"

namespace zel {
namespace {

// A new store file's mode, less the umask.
constexpr mode_t kStoreFileMode = 0600;  // the store holds the access code and user codes

// The bytes of one stream as staged in memory. Shared by the storage's table and every open
// stream object on it; `reverted` marks data that was destroyed or replaced by CreateStream, so
// stream objects still holding it fail with STG_E_REVERTED instead of writing into nothing.
struct StreamData {
  std::string name;
  std::vector<uint8_t> bytes;
  bool reverted = false;
  // The bytes changed since the last commit.
  DirtyRanges dirty;
  void MarkDirty(uint64_t begin, uint64_t end) { AddDirtyRange(&dirty, begin, end); }
};

std::atomic<uint64_t> g_commit_bytes{0};

class CompoundStorage final : public IStorage {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IStorage>(this, iid, ppv);
  }

  CompoundStorage(std::string path, std::unique_ptr<StoreLock> lock)
      : path_(std::move(path)), lock_(std::move(lock)) {}

  ~CompoundStorage() override {
    // Nothing written is silently lost: changes not yet committed (a group left open, a direct
    // write through the table) are committed on the last release.
    MutexLock g(&mu_);
    if (dirty_) (void)WriteImageLocked();
  }

  // Loads the streams parsed from the file, and the image they came from, which the next
  // commit changes in place when it can.
  void Load(std::vector<CompoundStream> streams, std::span<const uint8_t> image) {
    MutexLock g(&mu_);
    image_.reset();
    auto placed = std::make_unique<IncrementalImage>();
    if (Succeeded(IncrementalImage::FromImage(image, placed.get()))) image_ = std::move(placed);
    for (CompoundStream& s : streams) {
      auto data = std::make_shared<StreamData>();
      data->name = std::move(s.name);
      data->bytes = std::move(s.data);
      table_[FoldStreamName(data->name)] = std::move(data);
    }
  }

  HRESULT CreateStream(std::string_view name, IStream** stream) override;
  HRESULT OpenStream(std::string_view name, IStream** stream) override;
  HRESULT DestroyElement(std::string_view name) override;
  HRESULT EnumStreams(std::vector<std::string>* names) override;
  HRESULT Commit() override;
  void BeginCommitGroup() override;
  HRESULT EndCommitGroup() override;

  // Used by the stream objects.
  Mutex& mu() ZEL_RETURN_CAPABILITY(mu_) { return mu_; }
  void MarkDirtyLocked() ZEL_REQUIRES(mu_) { dirty_ = true; }
  // A commit requested by a stream (Commit or release after writes).
  HRESULT CommitLocked() ZEL_REQUIRES(mu_);

 private:
  HRESULT WriteImageLocked() ZEL_REQUIRES(mu_);
  HRESULT RewriteWholeFileLocked() ZEL_REQUIRES(mu_);

  const std::string path_;
  const std::unique_ptr<StoreLock> lock_;  // held for the life of the object
  Mutex mu_;
  // Keyed by the folded name, so lookups ignore case as the format requires.
  std::map<std::u16string, std::shared_ptr<StreamData>> table_ ZEL_GUARDED_BY(mu_);
  bool dirty_ ZEL_GUARDED_BY(mu_) = false;  // staged state differs from the file
  int group_depth_ ZEL_GUARDED_BY(mu_) = 0;
  // Where the committed file's sectors lie; null when the next commit rewrites the whole file.
  std::unique_ptr<IncrementalImage> image_ ZEL_GUARDED_BY(mu_);
};

class CompoundStorageStream final : public IStream {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IStream>(this, iid, ppv);
  }

  CompoundStorageStream(CompoundStorage* storage, std::shared_ptr<StreamData> data)
      : storage_(storage), data_(std::move(data)) {}

  ~CompoundStorageStream() override {
    if (!written_) return;
    MutexLock g(&storage_->mu());
    (void)storage_->CommitLocked();
  }

  HRESULT Read(void* buffer, uint32_t size, uint32_t* read) override {
    if (read) *read = 0;
    if (buffer == nullptr && size > 0) return STG_E_INVALIDPOINTER;
    MutexLock g(&storage_->mu());
    if (data_->reverted) return STG_E_REVERTED;
    const std::vector<uint8_t>& bytes = data_->bytes;
    uint64_t available = position_ < bytes.size() ? bytes.size() - position_ : 0;
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(size, available));
    if (n) std::copy_n(bytes.begin() + position_, n, static_cast<uint8_t*>(buffer));
    position_ += n;
    if (read) *read = n;
    return S_OK;
  }

  HRESULT Write(const void* buffer, uint32_t size, uint32_t* written) override {
    if (written) *written = 0;
    if (buffer == nullptr && size > 0) return STG_E_INVALIDPOINTER;
    if (position_ + size > cfb::kMaxStreamSize) return STG_E_MEDIUMFULL;
    MutexLock g(&storage_->mu());
    if (data_->reverted) return STG_E_REVERTED;
    if (size == 0) return S_OK;
    std::vector<uint8_t>& bytes = data_->bytes;
    const uint64_t old_size = bytes.size();
    // Writing past the end fills the gap with zeros.
    if (position_ + size > bytes.size()) bytes.resize(position_ + size);
    const auto* src = static_cast<const uint8_t*>(buffer);
    std::copy(src, src + size, bytes.begin() + position_);
    data_->MarkDirty(std::min<uint64_t>(position_, old_size), position_ + size);
    position_ += size;
    written_ = true;
    storage_->MarkDirtyLocked();
    if (written) *written = size;
    return S_OK;
  }

  HRESULT Seek(int64_t offset, SeekOrigin origin, uint64_t* new_position) override {
    int64_t base = 0;
    {
      MutexLock g(&storage_->mu());
      if (data_->reverted) return STG_E_REVERTED;
      switch (origin) {
        case SeekOrigin::kSet:
          base = 0;
          break;
        case SeekOrigin::kCurrent:
          base = static_cast<int64_t>(position_);
          break;
        case SeekOrigin::kEnd:
          base = static_cast<int64_t>(data_->bytes.size());
          break;
        default:
          return STG_E_INVALIDFUNCTION;
      }
    }
    // base is at most kMaxStreamSize, so only a huge offset can overflow.
    if (offset > 0 && offset > INT64_MAX - base) return STG_E_INVALIDFUNCTION;
    int64_t target = base + offset;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    position_ = static_cast<uint64_t>(target);
    if (new_position) *new_position = position_;
    return S_OK;
  }

  HRESULT SetSize(uint64_t size) override {
    if (size > cfb::kMaxStreamSize) return STG_E_MEDIUMFULL;
    MutexLock g(&storage_->mu());
    if (data_->reverted) return STG_E_REVERTED;
    if (size == data_->bytes.size()) return S_OK;
    data_->MarkDirty(std::min<uint64_t>(size, data_->bytes.size()),
                     std::max<uint64_t>(size, data_->bytes.size()));
    data_->bytes.resize(size);
    written_ = true;
    storage_->MarkDirtyLocked();
    return S_OK;
  }

  HRESULT GetSize(uint64_t* size) override {
    if (size == nullptr) return STG_E_INVALIDPOINTER;
    MutexLock g(&storage_->mu());
    if (data_->reverted) return STG_E_REVERTED;
    *size = data_->bytes.size();
    return S_OK;
  }

  HRESULT Commit() override {
    MutexLock g(&storage_->mu());
    if (data_->reverted) return STG_E_REVERTED;
    HRESULT hr = storage_->CommitLocked();
    if (Succeeded(hr)) written_ = false;
    return hr;
  }

 private:
  const ComPtr<CompoundStorage> storage_;  // keeps the store open while the stream lives
  const std::shared_ptr<StreamData> data_;
  uint64_t position_ = 0;
  bool written_ = false;  // written since this object's last successful commit
};

HRESULT CompoundStorage::CreateStream(std::string_view name, IStream** stream) {
  if (stream == nullptr) return STG_E_INVALIDPOINTER;
  *stream = nullptr;
  ZEL_TRY(ValidateStreamName(name));
  auto data = std::make_shared<StreamData>();
  data->name = std::string(name);
  // Whatever stream had the name before, none of its sectors may be kept.
  data->MarkDirty(0, UINT64_MAX);
  {
    MutexLock g(&mu_);
    std::shared_ptr<StreamData>& slot = table_[FoldStreamName(name)];
    if (slot) slot->reverted = true;  // stream objects on the old data now fail
    slot = data;
    dirty_ = true;
  }
  *stream = MakeObject<CompoundStorageStream>(this, std::move(data)).Detach();
  return S_OK;
}

HRESULT CompoundStorage::OpenStream(std::string_view name, IStream** stream) {
  if (stream == nullptr) return STG_E_INVALIDPOINTER;
  *stream = nullptr;
  ZEL_TRY(ValidateStreamName(name));
  std::shared_ptr<StreamData> data;
  {
    MutexLock g(&mu_);
    auto it = table_.find(FoldStreamName(name));
    if (it == table_.end()) return STG_E_FILENOTFOUND;
    data = it->second;
  }
  *stream = MakeObject<CompoundStorageStream>(this, std::move(data)).Detach();
  return S_OK;
}

HRESULT CompoundStorage::DestroyElement(std::string_view name) {
  ZEL_TRY(ValidateStreamName(name));
  MutexLock g(&mu_);
  auto it = table_.find(FoldStreamName(name));
  if (it == table_.end()) return STG_E_FILENOTFOUND;
  it->second->reverted = true;
  table_.erase(it);
  dirty_ = true;
  return S_OK;
}

HRESULT CompoundStorage::EnumStreams(std::vector<std::string>* names) {
  if (names == nullptr) return STG_E_INVALIDPOINTER;
  MutexLock g(&mu_);
  names->clear();
  for (const auto& [folded, data] : table_) names->push_back(data->name);
  return S_OK;
}

HRESULT CompoundStorage::Commit() {
  MutexLock g(&mu_);
  return CommitLocked();
}

HRESULT CompoundStorage::CommitLocked() {
  if (group_depth_ > 0) return S_OK;  // the outermost EndCommitGroup writes
  if (!dirty_) return S_OK;
  return WriteImageLocked();
}

void CompoundStorage::BeginCommitGroup() {
  MutexLock g(&mu_);
  ++group_depth_;
}

HRESULT CompoundStorage::EndCommitGroup() {
  MutexLock g(&mu_);
  if (group_depth_ == 0) return E_UNEXPECTED;
  if (--group_depth_ > 0) return S_OK;
  return dirty_ ? WriteImageLocked() : S_OK;
}

HRESULT CompoundStorage::WriteImageLocked() {
  if (image_) {
    std::vector<StreamChange> changes;
    changes.reserve(table_.size());
    for (const auto& [folded, data] : table_) {
      changes.push_back({data->name, data->bytes, data->dirty.empty() ? nullptr : &data->dirty});
    }
    CommitPlan plan;
    auto next = std::make_unique<IncrementalImage>();
    HRESULT hr = image_->Plan(changes, &plan, next.get());
    if (hr == S_OK) {
      hr = WriteCommitInPlace(path_, plan);
      if (Failed(hr)) {
        // Whether the header went out is unknown: the next commit rewrites the whole file.
        image_.reset();
        return hr;
      }
      g_commit_bytes.fetch_add(plan.bytes());
      image_ = std::move(next);
      for (const auto& [folded, data] : table_) data->dirty.clear();
      dirty_ = false;
      return S_OK;
    }
    if (hr != S_FALSE) return hr;
  }
  return RewriteWholeFileLocked();
}

HRESULT CompoundStorage::RewriteWholeFileLocked() {
  std::vector<CompoundStreamView> views;
  views.reserve(table_.size());
  for (const auto& [folded, data] : table_) views.push_back({data->name, data->bytes});
  std::vector<uint8_t> image;
  ZEL_TRY(SerializeCompoundFile(views, &image));
  // On failure the staged state stays dirty, so the next commit tries again.
  ZEL_TRY(ReplaceFileAtomically(path_, image, kStoreFileMode, StorageStatusFromErrno));
  g_commit_bytes.fetch_add(image.size());
  image_.reset();
  auto placed = std::make_unique<IncrementalImage>();
  if (Succeeded(IncrementalImage::FromImage(image, placed.get()))) image_ = std::move(placed);
  for (const auto& [folded, data] : table_) data->dirty.clear();
  dirty_ = false;
  return S_OK;
}

}  // namespace

HRESULT OpenCompoundFile(const std::string& path, StorageOpenMode mode, IStorage** storage) {
  if (storage == nullptr) return STG_E_INVALIDPOINTER;
  *storage = nullptr;
  if (path.empty()) return STG_E_INVALIDNAME;
  if (mode != StorageOpenMode::kOpenExisting && mode != StorageOpenMode::kCreate &&
      mode != StorageOpenMode::kOpenOrCreate) {
    return STG_E_INVALIDFUNCTION;
  }

  auto lock = std::make_unique<StoreLock>();
  ZEL_TRY(lock->Acquire(path));
  RemoveStaleTemporary(path);

  std::vector<CompoundStream> streams;
  bool create = mode == StorageOpenMode::kCreate;
  std::vector<uint8_t> image;
  if (!create) {
    HRESULT hr = ReadWholeFile(path, &image, SIZE_MAX, StorageStatusFromErrno);
    if (hr == STG_E_FILENOTFOUND && mode == StorageOpenMode::kOpenOrCreate) {
      create = true;
    } else {
      ZEL_TRY(hr);
      // A file we cannot parse is left exactly as it is.
      ZEL_TRY(ParseCompoundFile(image, &streams));
    }
  }
  if (create) {
    // A new store exists on disk from the start, as an empty compound file.
    ZEL_TRY(SerializeCompoundFile({}, &image));
    ZEL_TRY(ReplaceFileAtomically(path, image, kStoreFileMode, StorageStatusFromErrno));
  }

  auto object = MakeObject<CompoundStorage>(path, std::move(lock));
  object->Load(std::move(streams), image);
  *storage = object.Detach();
  return S_OK;
}

uint64_t StoreCommitBytesWritten() { return g_commit_bytes.load(); }

}  // namespace zel
