// Parses a compound file image (version 3 or 4) into its root-level streams.
//
// Every read goes through a bounds-checked view of the image, and every sector and mini sector
// may belong to one chain only: a chain that comes back to a sector it passed (a loop) or runs
// into another chain's sector is reported as corrupt. Sizes are checked against the room the
// image has before anything is allocated for them.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/compound_file.h"
#include "platform/compound_file_format.h"
#include "platform/text_encoding.h"

namespace zel {

using namespace cfb;  // NOLINT(google-build-using-namespace): layout constants only

namespace {

// A bounds-checked little-endian view of a byte range.
class Bytes {
 public:
  explicit Bytes(std::span<const uint8_t> data) : data_(data) {}
  size_t size() const { return data_.size(); }
  bool U16(uint64_t off, uint16_t* v) const {
    if (off > data_.size() || data_.size() - off < 2) return false;
    *v = static_cast<uint16_t>(data_[off] | (data_[off + 1] << 8));
    return true;
  }
  bool U32(uint64_t off, uint32_t* v) const {
    if (off > data_.size() || data_.size() - off < 4) return false;
    *v = 0;
    for (int i = 3; i >= 0; --i) *v = (*v << 8) | data_[off + i];
    return true;
  }
  bool U64(uint64_t off, uint64_t* v) const {
    uint32_t lo = 0;
    uint32_t hi = 0;
    if (!U32(off, &lo) || !U32(off + 4, &hi)) return false;
    *v = (uint64_t{hi} << 32) | lo;
    return true;
  }
  // The sub-range [off, off + len), or an empty span when it does not fit.
  bool Slice(uint64_t off, uint64_t len, std::span<const uint8_t>* out) const {
    if (off > data_.size() || data_.size() - off < len) return false;
    *out = data_.subspan(off, len);
    return true;
  }

 private:
  std::span<const uint8_t> data_;
};

struct DirEntry {
  std::u16string name;
  uint8_t type = kDirUnused;
  uint32_t left = kNoStream;
  uint32_t right = kNoStream;
  uint32_t child = kNoStream;
  uint32_t start = kEndOfChain;
  uint64_t size = 0;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> image) : img_(image) {}

  HRESULT Parse(std::vector<CompoundStream>* streams) {
    ZEL_TRY(ReadHeader());
    ZEL_TRY(LoadFat());
    ZEL_TRY(LoadDirectory());
    return CollectStreams(streams);
  }

 private:
  HRESULT ReadHeader() {
    std::span<const uint8_t> sig;
    if (!img_.Slice(kOffSignature, sizeof(kSignature), &sig) || img_.size() < kHeaderSize) {
      return STG_E_INVALIDHEADER;
    }
    if (!std::equal(sig.begin(), sig.end(), kSignature)) return STG_E_INVALIDHEADER;
    uint16_t major = 0, bom = 0, shift = 0, mini_shift = 0;
    uint32_t cutoff = 0;
    (void)img_.U16(kOffMajorVersion, &major);
    (void)img_.U16(kOffByteOrder, &bom);
    (void)img_.U16(kOffSectorShift, &shift);
    (void)img_.U16(kOffMiniSectorShift, &mini_shift);
    (void)img_.U32(kOffMiniStreamCutoff, &cutoff);
    if (bom != kByteOrderMark) return STG_E_INVALIDHEADER;
    if (!(major == kMajorVersion3 && shift == kSectorShift3) &&
        !(major == kMajorVersion4 && shift == kSectorShift4)) {
      return STG_E_INVALIDHEADER;
    }
    if (mini_shift != kMiniSectorShift || cutoff != kMiniStreamCutoff) return STG_E_INVALIDHEADER;
    version_ = major;
    sector_size_ = uint32_t{1} << shift;
    // Sectors whose start lies inside the image; a last sector cut short is allowed as long as
    // nothing needs the missing bytes.
    uint64_t sectors =
        img_.size() > sector_size_
            ? (uint64_t{img_.size()} - sector_size_ + sector_size_ - 1) / sector_size_
            : 0;
    sector_count_ = static_cast<uint32_t>(std::min<uint64_t>(sectors, uint64_t{kMaxRegSect} + 1));
    used_.assign(sector_count_, false);
    (void)img_.U32(kOffNumFatSectors, &num_fat_);
    (void)img_.U32(kOffFirstDirSector, &first_dir_);
    (void)img_.U32(kOffFirstMiniFatSector, &first_mini_fat_);
    (void)img_.U32(kOffFirstDifatSector, &first_difat_);
    (void)img_.U32(kOffNumDifatSectors, &num_difat_);
    return S_OK;
  }

  uint64_t SectorOffset(uint32_t sector) const { return (uint64_t{sector} + 1) * sector_size_; }

  // Claims a sector for one structure; false when it is out of range or already claimed.
  bool Claim(uint32_t sector) {
    if (sector >= sector_count_ || used_[sector]) return false;
    used_[sector] = true;
    return true;
  }

  // A whole sector's bytes (FAT, DIFAT, directory and mini FAT sectors must be complete).
  bool WholeSector(uint32_t sector, std::span<const uint8_t>* out) const {
    return img_.Slice(SectorOffset(sector), sector_size_, out);
  }

  HRESULT LoadFat() {
    if (num_fat_ > sector_count_ || num_difat_ > sector_count_) return STG_E_DOCFILECORRUPT;
    std::vector<uint32_t> fat_sectors;
    fat_sectors.reserve(num_fat_);
    for (uint32_t i = 0; i < kHeaderDifatEntries && fat_sectors.size() < num_fat_; ++i) {
      uint32_t s = 0;
      (void)img_.U32(kOffHeaderDifat + 4 * i, &s);
      fat_sectors.push_back(s);
    }
    // DIFAT sectors: (sector size / 4 - 1) FAT locations, then the next DIFAT sector.
    const uint32_t per_difat = sector_size_ / 4 - 1;
    uint32_t difat = first_difat_;
    for (uint32_t d = 0; fat_sectors.size() < num_fat_; ++d) {
      std::span<const uint8_t> sec;
      if (d >= num_difat_ || !Claim(difat) || !WholeSector(difat, &sec)) {
        return STG_E_DOCFILECORRUPT;
      }
      Bytes b(sec);
      for (uint32_t k = 0; k < per_difat && fat_sectors.size() < num_fat_; ++k) {
        uint32_t s = 0;
        (void)b.U32(4 * k, &s);
        fat_sectors.push_back(s);
      }
      (void)b.U32(4 * per_difat, &difat);
    }
    fat_.reserve(uint64_t{num_fat_} * (sector_size_ / 4));
    for (uint32_t s : fat_sectors) {
      std::span<const uint8_t> sec;
      if (!Claim(s) || !WholeSector(s, &sec)) return STG_E_DOCFILECORRUPT;
      Bytes b(sec);
      for (uint32_t k = 0; k < sector_size_ / 4; ++k) {
        uint32_t v = 0;
        (void)b.U32(4 * k, &v);
        fat_.push_back(v);
      }
    }
    return S_OK;
  }

  // Follows a FAT chain from `start`. With `count` set, takes exactly that many sectors (a chain
  // that ends sooner is corrupt); without, takes sectors until the end-of-chain mark.
  HRESULT FollowFat(uint32_t start, const uint64_t* count, std::vector<uint32_t>* out) {
    out->clear();
    uint32_t s = start;
    for (;;) {
      if (count != nullptr && out->size() == *count) return S_OK;
      if (s == kEndOfChain) return count == nullptr ? S_OK : STG_E_DOCFILECORRUPT;
      if (s >= fat_.size() || !Claim(s)) return STG_E_DOCFILECORRUPT;
      out->push_back(s);
      s = fat_[s];
    }
  }

  HRESULT LoadDirectory() {
    std::vector<uint32_t> sectors;
    ZEL_TRY(FollowFat(first_dir_, nullptr, &sectors));
    if (sectors.empty()) return STG_E_DOCFILECORRUPT;
    const uint32_t per_sector = sector_size_ / kDirEntrySize;
    dir_.reserve(sectors.size() * per_sector);
    for (uint32_t s : sectors) {
      std::span<const uint8_t> sec;
      if (!WholeSector(s, &sec)) return STG_E_DOCFILECORRUPT;
      for (uint32_t k = 0; k < per_sector; ++k) {
        DirEntry e;
        ZEL_TRY(ParseDirEntry(Bytes(sec.subspan(k * kDirEntrySize, kDirEntrySize)), &e));
        dir_.push_back(std::move(e));
      }
    }
    if (dir_[0].type != kDirRoot) return STG_E_DOCFILECORRUPT;
    return S_OK;
  }

  HRESULT ParseDirEntry(const Bytes& b, DirEntry* e) const {
    uint16_t name_len = 0;
    (void)b.U16(kDirOffNameLength, &name_len);
    std::span<const uint8_t> type;
    (void)b.Slice(kDirOffType, 1, &type);
    e->type = type[0];
    if (e->type == kDirUnused) return S_OK;  // free entry: nothing else matters
    if (name_len < 2 || name_len > kDirNameBytes || name_len % 2 != 0) {
      return STG_E_DOCFILECORRUPT;
    }
    for (uint32_t i = 0; i + 1 < name_len / 2u; ++i) {
      uint16_t c = 0;
      (void)b.U16(kDirOffName + 2 * i, &c);
      e->name.push_back(static_cast<char16_t>(c));
    }
    (void)b.U32(kDirOffLeft, &e->left);
    (void)b.U32(kDirOffRight, &e->right);
    (void)b.U32(kDirOffChild, &e->child);
    (void)b.U32(kDirOffStartSector, &e->start);
    (void)b.U64(kDirOffSize, &e->size);
    // Version 3 keeps sizes in 32 bits; some writers leave garbage in the high half.
    if (version_ == kMajorVersion3) e->size &= 0xFFFFFFFFu;
    return S_OK;
  }

  // Reads `size` bytes of a stream kept in ordinary sectors.
  HRESULT ReadFatStream(uint32_t start, uint64_t size, std::vector<uint8_t>* out) {
    if (size > uint64_t{sector_count_} * sector_size_) return STG_E_DOCFILECORRUPT;
    uint64_t count = (size + sector_size_ - 1) / sector_size_;
    std::vector<uint32_t> chain;
    ZEL_TRY(FollowFat(start, &count, &chain));
    out->resize(size);
    uint64_t done = 0;
    for (uint32_t s : chain) {
      uint64_t n = std::min<uint64_t>(sector_size_, size - done);
      std::span<const uint8_t> part;
      if (!img_.Slice(SectorOffset(s), n, &part)) return STG_E_DOCFILECORRUPT;
      std::copy(part.begin(), part.end(), out->begin() + done);
      done += n;
    }
    return S_OK;
  }

  // Loads the mini stream (the root entry's data) and the mini FAT, once.
  HRESULT LoadMini() {
    if (mini_loaded_) return S_OK;
    mini_loaded_ = true;
    ZEL_TRY(ReadFatStream(dir_[0].start, dir_[0].size, &mini_stream_));
    std::vector<uint32_t> sectors;
    ZEL_TRY(FollowFat(first_mini_fat_, nullptr, &sectors));
    for (uint32_t s : sectors) {
      std::span<const uint8_t> sec;
      if (!WholeSector(s, &sec)) return STG_E_DOCFILECORRUPT;
      Bytes b(sec);
      for (uint32_t k = 0; k < sector_size_ / 4; ++k) {
        uint32_t v = 0;
        (void)b.U32(4 * k, &v);
        mini_fat_.push_back(v);
      }
    }
    mini_used_.assign(mini_fat_.size(), false);
    return S_OK;
  }

  HRESULT ReadMiniStream(uint32_t start, uint64_t size, std::vector<uint8_t>* out) {
    ZEL_TRY(LoadMini());
    if (size > mini_stream_.size()) return STG_E_DOCFILECORRUPT;
    out->resize(size);
    uint64_t done = 0;
    uint32_t s = start;
    while (done < size) {
      if (s >= mini_fat_.size() || mini_used_[s]) return STG_E_DOCFILECORRUPT;
      mini_used_[s] = true;
      uint64_t n = std::min<uint64_t>(kMiniSectorSize, size - done);
      uint64_t off = uint64_t{s} * kMiniSectorSize;
      if (off > mini_stream_.size() || mini_stream_.size() - off < n) return STG_E_DOCFILECORRUPT;
      std::copy_n(mini_stream_.begin() + off, n, out->begin() + done);
      done += n;
      s = mini_fat_[s];
    }
    return S_OK;
  }

  // Walks the root's tree in order (iteratively, so a deep or looping tree cannot exhaust the
  // call stack) and reads every stream.
  HRESULT CollectStreams(std::vector<CompoundStream>* streams) {
    std::vector<bool> seen(dir_.size(), false);
    std::vector<uint32_t> stack;
    std::set<std::u16string> folded_names;
    uint32_t id = dir_[0].child;
    seen[0] = true;
    while (id != kNoStream || !stack.empty()) {
      while (id != kNoStream) {
        if (id >= dir_.size() || seen[id]) return STG_E_DOCFILECORRUPT;
        seen[id] = true;
        stack.push_back(id);
        id = dir_[id].left;
      }
      uint32_t cur = stack.back();
      stack.pop_back();
      const DirEntry& e = dir_[cur];
      if (e.type == kDirStream) {
        CompoundStream out;
        if (e.size > kMaxStreamSize) return STG_E_DOCFILECORRUPT;
        if (e.size > 0) {
          ZEL_TRY(e.size < kMiniStreamCutoff ? ReadMiniStream(e.start, e.size, &out.data)
                                             : ReadFatStream(e.start, e.size, &out.data));
        }
        std::string name = Utf16ToUtf8(e.name);
        if (!folded_names.insert(FoldStreamName(name)).second) return STG_E_DOCFILECORRUPT;
        out.name = std::move(name);
        streams->push_back(std::move(out));
      } else if (e.type != kDirStorage) {
        return STG_E_DOCFILECORRUPT;  // a free entry or a second root inside the tree
      }
      id = e.right;
    }
    return S_OK;
  }

  Bytes img_;
  uint16_t version_ = kMajorVersion3;
  uint32_t sector_size_ = kSectorSize;
  uint32_t sector_count_ = 0;
  uint32_t num_fat_ = 0;
  uint32_t first_dir_ = kEndOfChain;
  uint32_t first_mini_fat_ = kEndOfChain;
  uint32_t first_difat_ = kEndOfChain;
  uint32_t num_difat_ = 0;
  std::vector<uint32_t> fat_;
  std::vector<bool> used_;
  std::vector<DirEntry> dir_;
  bool mini_loaded_ = false;
  std::vector<uint8_t> mini_stream_;
  std::vector<uint32_t> mini_fat_;
  std::vector<bool> mini_used_;
};

}  // namespace

HRESULT ParseCompoundFile(std::span<const uint8_t> image, std::vector<CompoundStream>* streams) {
  if (streams == nullptr) return E_POINTER;
  streams->clear();
  std::vector<CompoundStream> out;
  HRESULT hr = Reader(image).Parse(&out);
  if (Failed(hr)) return hr;
  *streams = std::move(out);
  return S_OK;
}

}  // namespace zel
