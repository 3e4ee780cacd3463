// Plans in-place commits of a version-3 compound file (compound_file_update.h).
#include "platform/compound_file_update.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "platform/compound_file.h"
#include "platform/compound_file_directory.h"
#include "platform/text_encoding.h"

namespace zel {

using namespace cfb;  // NOLINT(google-build-using-namespace): layout constants only

namespace {

constexpr uint32_t kEntriesPerSector = kSectorSize / 4;
// A DIFAT sector: FAT sector locations, then the location of the next DIFAT sector.
constexpr uint32_t kEntriesPerDifat = kEntriesPerSector - 1;

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

uint32_t Get32(std::span<const uint8_t> b, size_t off) {
  return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
         (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> EntriesToBytes(const std::vector<uint32_t>& entries) {
  std::vector<uint8_t> bytes(entries.size() * 4);
  for (size_t i = 0; i < entries.size(); ++i) Put32(bytes.data() + 4 * i, entries[i]);
  return bytes;
}

// Sector i of a byte run (zero-padded), and whether it differs from sector i of another run.
std::vector<uint8_t> SectorOf(std::span<const uint8_t> bytes, size_t i) {
  std::vector<uint8_t> sector(kSectorSize, 0);
  size_t off = i * kSectorSize;
  if (off < bytes.size()) {
    size_t n = std::min<size_t>(kSectorSize, bytes.size() - off);
    std::memcpy(sector.data(), bytes.data() + off, n);
  }
  return sector;
}

bool SectorDiffers(std::span<const uint8_t> a, std::span<const uint8_t> b, size_t i) {
  return SectorOf(a, i) != SectorOf(b, i);
}

// DIFAT sectors a FAT of `fat_sectors` sectors needs besides the header's entries.
uint64_t DifatSectorsFor(uint64_t fat_sectors) {
  return fat_sectors > kHeaderDifatEntries
             ? CeilDiv(fat_sectors - kHeaderDifatEntries, kEntriesPerDifat)
             : 0;
}

// The DIFAT sectors' bytes: the locations of the FAT sectors past the header's, 127 to a sector
// (the rest free), each sector ending with the next one's location. A location not yet chosen
// (kFreeSect) is written as it is; the planner settles every location before it writes.
std::vector<uint8_t> DifatBytes(const std::vector<uint32_t>& fat_at,
                                const std::vector<uint32_t>& difat_at) {
  std::vector<uint8_t> bytes(difat_at.size() * kSectorSize);
  for (size_t d = 0; d < difat_at.size(); ++d) {
    uint8_t* sec = bytes.data() + d * kSectorSize;
    for (uint32_t k = 0; k < kEntriesPerDifat; ++k) {
      size_t index = kHeaderDifatEntries + d * kEntriesPerDifat + k;
      Put32(sec + 4 * k, index < fat_at.size() ? fat_at[index] : kFreeSect);
    }
    Put32(sec + 4 * kEntriesPerDifat, d + 1 < difat_at.size() ? difat_at[d + 1] : kEndOfChain);
  }
  return bytes;
}

}  // namespace

void AddDirtyRange(DirtyRanges* ranges, uint64_t begin, uint64_t end) {
  if (begin >= end) return;
  DirtyRanges& r = *ranges;
  DirtyRanges merged;
  merged.reserve(r.size() + 1);
  for (const auto& [b, e] : r) {
    if (e < begin || b > end) {
      merged.emplace_back(b, e);
    } else {
      begin = std::min(begin, b);
      end = std::max(end, e);
    }
  }
  merged.emplace_back(begin, end);
  std::sort(merged.begin(), merged.end());
  while (merged.size() > kMaxDirtyRanges) {
    size_t best = 0;
    for (size_t i = 1; i + 1 < merged.size(); ++i) {
      if (merged[i + 1].first - merged[i].second < merged[best + 1].first - merged[best].second) {
        best = i;
      }
    }
    merged[best].second = merged[best + 1].second;
    merged.erase(merged.begin() + static_cast<ptrdiff_t>(best) + 1);
  }
  r = std::move(merged);
}

uint64_t CommitPlan::bytes() const {
  return header.size() + sectors.size() * uint64_t{kSectorSize};
}

HRESULT IncrementalImage::FromImage(std::span<const uint8_t> image, IncrementalImage* out) {
  if (out == nullptr) return E_POINTER;
  if (image.size() < kHeaderSize) return STG_E_INVALIDHEADER;
  auto u16 = [&](size_t off) { return static_cast<uint16_t>(image[off] | (image[off + 1] << 8)); };
  if (u16(kOffMajorVersion) != kMajorVersion3 || u16(kOffSectorShift) != kSectorShift3) {
    return STG_E_INVALIDHEADER;
  }
  const uint32_t num_fat = Get32(image, kOffNumFatSectors);
  const uint32_t num_difat = Get32(image, kOffNumDifatSectors);
  if (num_fat > kHeaderDifatEntries + uint64_t{num_difat} * kEntriesPerDifat) {
    return STG_E_DOCFILECORRUPT;
  }
  IncrementalImage img;
  img.sector_count_ = static_cast<uint32_t>(CeilDiv(image.size() - kHeaderSize, kSectorSize));
  auto sector_bytes = [&](uint32_t s, std::vector<uint8_t>* to) -> bool {
    if (s >= img.sector_count_) return false;
    std::vector<uint8_t> sec = SectorOf(image.subspan(kHeaderSize), s);
    to->insert(to->end(), sec.begin(), sec.end());
    return true;
  };
  // Where the FAT sectors lie: the header's entries, then the DIFAT sectors' in chain order.
  for (uint32_t k = 0; k < num_fat && k < kHeaderDifatEntries; ++k) {
    img.fat_sectors_.push_back(Get32(image, kOffHeaderDifat + 4 * k));
  }
  uint32_t difat = Get32(image, kOffFirstDifatSector);
  for (uint32_t d = 0; d < num_difat; ++d) {
    std::vector<uint8_t> sec;
    if (!sector_bytes(difat, &sec)) return STG_E_DOCFILECORRUPT;
    img.difat_sectors_.push_back(difat);
    img.difat_bytes_.insert(img.difat_bytes_.end(), sec.begin(), sec.end());
    for (uint32_t k = 0; k < kEntriesPerDifat && img.fat_sectors_.size() < num_fat; ++k) {
      img.fat_sectors_.push_back(Get32(sec, 4 * k));
    }
    difat = Get32(sec, 4 * kEntriesPerDifat);
  }
  if (img.fat_sectors_.size() != num_fat) return STG_E_DOCFILECORRUPT;
  for (uint32_t s : img.fat_sectors_) {
    std::vector<uint8_t> sec;
    if (!sector_bytes(s, &sec)) return STG_E_DOCFILECORRUPT;
    for (uint32_t e = 0; e < kEntriesPerSector; ++e) img.fat_.push_back(Get32(sec, 4 * e));
  }
  auto chain = [&](uint32_t start, std::vector<uint32_t>* to) -> bool {
    for (uint32_t s = start; s != kEndOfChain; s = img.fat_[s]) {
      if (s >= img.fat_.size() || s >= img.sector_count_ || to->size() > img.fat_.size()) {
        return false;
      }
      to->push_back(s);
    }
    return true;
  };
  auto chain_bytes = [&](const std::vector<uint32_t>& c, std::vector<uint8_t>* to) {
    for (uint32_t s : c) (void)sector_bytes(s, to);
  };
  if (!chain(Get32(image, kOffFirstDirSector), &img.dir_chain_) || img.dir_chain_.empty()) {
    return STG_E_DOCFILECORRUPT;
  }
  chain_bytes(img.dir_chain_, &img.dir_bytes_);
  if (!chain(Get32(image, kOffFirstMiniFatSector), &img.mini_fat_chain_)) {
    return STG_E_DOCFILECORRUPT;
  }
  std::vector<uint8_t> mini_fat_bytes;
  chain_bytes(img.mini_fat_chain_, &mini_fat_bytes);
  for (size_t off = 0; off + 4 <= mini_fat_bytes.size(); off += 4) {
    img.mini_fat_.push_back(Get32(mini_fat_bytes, off));
  }
  const std::vector<uint8_t>& dir = img.dir_bytes_;
  if (!chain(Get32(dir, kDirOffStartSector), &img.mini_stream_chain_)) return STG_E_DOCFILECORRUPT;
  chain_bytes(img.mini_stream_chain_, &img.mini_stream_);
  for (size_t off = kDirEntrySize; off + kDirEntrySize <= dir.size(); off += kDirEntrySize) {
    if (dir[off + kDirOffType] != kDirStream) continue;
    Placement p;
    uint16_t name_bytes = static_cast<uint16_t>(dir[off + kDirOffNameLength] |
                                                (dir[off + kDirOffNameLength + 1] << 8));
    for (uint32_t i = 0; i + 1 < std::min<uint32_t>(name_bytes, kDirNameBytes) / 2; ++i) {
      p.name.push_back(static_cast<char16_t>(dir[off + 2 * i] | (dir[off + 2 * i + 1] << 8)));
    }
    p.start = Get32(dir, off + kDirOffStartSector);
    p.size = Get32(dir, off + kDirOffSize);
    p.mini = p.size < kMiniStreamCutoff;
    img.streams_[FoldStreamName(Utf16ToUtf8(p.name))] = std::move(p);
  }
  *out = std::move(img);
  return S_OK;
}

// One commit's planning: allocation (free sectors of the committed file first, then past its
// end), copy on write of every chain, and the FAT written last.
class CommitPlanner {
 public:
  CommitPlanner(const IncrementalImage& old, IncrementalImage* next) : old_(old), next_(*next) {
    next_ = old;
    for (uint32_t s = 0; s < old.sector_count_ && s < old.fat_.size(); ++s) {
      if (old.fat_[s] == kFreeSect) free_.push_back(s);
    }
  }

  HRESULT Run(std::span<const StreamChange> streams, CommitPlan* plan) {
    ZEL_TRY(PlaceStreams(streams));
    PlaceMiniStreamAndFat();
    ZEL_TRY(PlaceDirectory());
    HRESULT hr = PlaceFat();
    if (hr != S_OK) return hr;  // S_FALSE: the FAT outgrows the header
    WriteHeader(plan);
    plan->sector_count = next_.sector_count_;
    plan->sectors.assign(writes_.begin(), writes_.end());
    return S_OK;
  }

 private:
  using Placement = IncrementalImage::Placement;

  uint32_t Allocate() {
    if (free_at_ < free_.size()) return free_[free_at_++];
    return next_.sector_count_++;
  }

  void SetFat(uint32_t s, uint32_t value) {
    if (s >= next_.fat_.size()) {
      next_.fat_.resize(CeilDiv(uint64_t{s} + 1, kEntriesPerSector) * kEntriesPerSector, kFreeSect);
    }
    next_.fat_[s] = value;
  }

  // Free in the new FAT; not reused before the next commit, since the committed state uses it.
  void Release(uint32_t s) { SetFat(s, kFreeSect); }

  std::vector<uint32_t> Chain(uint32_t start, uint64_t count) const {
    std::vector<uint32_t> c;
    for (uint32_t s = start; s != kEndOfChain && s < old_.fat_.size() && c.size() < count;
         s = old_.fat_[s]) {
      c.push_back(s);
    }
    return c;
  }

  // Lays `content` on sectors: the old chain's sector i is kept unless `changed(i)`; a changed or
  // added sector goes to a newly allocated one. Returns the new chain, linked in the FAT.
  std::vector<uint32_t> CopyOnWrite(const std::vector<uint32_t>& old_chain,
                                    std::span<const uint8_t> content,
                                    const std::function<bool(size_t)>& changed) {
    size_t n = CeilDiv(content.size(), kSectorSize);
    std::vector<uint32_t> chain;
    chain.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      if (i < old_chain.size() && !changed(i)) {
        chain.push_back(old_chain[i]);
        continue;
      }
      uint32_t s = Allocate();
      writes_[s] = SectorOf(content, i);
      if (i < old_chain.size()) Release(old_chain[i]);
      chain.push_back(s);
    }
    for (size_t i = n; i < old_chain.size(); ++i) Release(old_chain[i]);
    for (size_t i = 0; i < chain.size(); ++i) {
      SetFat(chain[i], i + 1 < chain.size() ? chain[i + 1] : kEndOfChain);
    }
    return chain;
  }

  std::vector<uint32_t> MiniChain(uint32_t start, uint64_t count) const {
    std::vector<uint32_t> c;
    for (uint32_t s = start; s != kEndOfChain && s < old_.mini_fat_.size() && c.size() < count;
         s = old_.mini_fat_[s]) {
      c.push_back(s);
    }
    return c;
  }

  void FreeMini(const Placement& p) {
    for (uint32_t s : MiniChain(p.start, CeilDiv(p.size, kMiniSectorSize))) {
      next_.mini_fat_[s] = kFreeSect;
    }
  }

  void FreeBig(const Placement& p) {
    for (uint32_t s : Chain(p.start, CeilDiv(p.size, kSectorSize))) Release(s);
  }

  uint32_t AllocateMini() {
    std::vector<uint32_t>& mf = next_.mini_fat_;
    for (; mini_scan_ < mf.size(); ++mini_scan_) {
      if (mf[mini_scan_] == kFreeSect && !mini_taken_.count(mini_scan_)) break;
    }
    if (mini_scan_ == mf.size()) mf.resize(mf.size() + kEntriesPerSector, kFreeSect);
    mini_taken_.insert(mini_scan_);
    return mini_scan_++;
  }

  // Mini streams keep their mini sectors where they can: the mini stream's own sectors are
  // copied on write below, so its old bytes stay intact on disk.
  void PlaceMini(const StreamChange& c, const Placement* old, Placement* p) {
    std::vector<uint32_t> old_chain;
    if (old != nullptr && old->mini)
      old_chain = MiniChain(old->start, CeilDiv(old->size, kMiniSectorSize));
    size_t n = CeilDiv(c.data.size(), kMiniSectorSize);
    std::vector<uint32_t> chain(old_chain.begin(),
                                old_chain.begin() + std::min(n, old_chain.size()));
    for (size_t i = n; i < old_chain.size(); ++i) next_.mini_fat_[old_chain[i]] = kFreeSect;
    for (uint32_t s : chain) mini_taken_.insert(s);
    while (chain.size() < n) chain.push_back(AllocateMini());
    for (size_t i = 0; i < chain.size(); ++i) {
      next_.mini_fat_[chain[i]] = i + 1 < chain.size() ? chain[i + 1] : kEndOfChain;
      size_t off = size_t{chain[i]} * kMiniSectorSize;
      if (next_.mini_stream_.size() < off + kMiniSectorSize) {
        next_.mini_stream_.resize(CeilDiv(off + kMiniSectorSize, kSectorSize) * kSectorSize, 0);
      }
      size_t from = i * kMiniSectorSize;
      size_t len = std::min<size_t>(kMiniSectorSize, c.data.size() - from);
      std::memset(next_.mini_stream_.data() + off, 0, kMiniSectorSize);
      std::memcpy(next_.mini_stream_.data() + off, c.data.data() + from, len);
    }
    p->start = chain.empty() ? kEndOfChain : chain[0];
  }

  HRESULT PlaceStreams(std::span<const StreamChange> streams) {
    std::map<std::u16string, Placement> placed;
    std::map<std::u16string, const StreamChange*> by_name;
    for (const StreamChange& c : streams) {
      std::u16string name = Utf8ToUtf16(c.name);
      if (name.empty() || name.size() > kMaxNameChars || name.find(u'\0') != std::u16string::npos) {
        return STG_E_INVALIDNAME;
      }
      if (c.data.size() > kMaxStreamSize) return STG_E_MEDIUMFULL;
      if (!by_name.emplace(FoldStreamName(c.name), &c).second) return STG_E_INVALIDNAME;
    }
    // Streams gone, and streams changing between the mini stream and ordinary sectors, give
    // their old room back first.
    for (const auto& [folded, old] : old_.streams_) {
      auto it = by_name.find(folded);
      bool gone = it == by_name.end();
      bool moves = !gone && (it->second->data.size() < kMiniStreamCutoff) != old.mini;
      if (gone || moves) old.mini ? FreeMini(old) : FreeBig(old);
    }
    for (const auto& [folded, c] : by_name) {
      auto it = old_.streams_.find(folded);
      const Placement* old = it == old_.streams_.end() ? nullptr : &it->second;
      Placement p;
      p.name = Utf8ToUtf16(c->name);
      p.size = c->data.size();
      p.mini = p.size < kMiniStreamCutoff;
      if (p.mini) {
        PlaceMini(*c, old != nullptr && old->mini ? old : nullptr, &p);
      } else {
        std::vector<uint32_t> old_chain;
        if (old != nullptr && !old->mini)
          old_chain = Chain(old->start, CeilDiv(old->size, kSectorSize));
        const DirtyRanges* dirty = c->dirty;
        std::vector<uint32_t> chain = CopyOnWrite(old_chain, c->data, [&](size_t i) {
          if (dirty == nullptr) return false;
          uint64_t lo = uint64_t{i} * kSectorSize;
          for (const auto& [b, e] : *dirty) {
            if (b < lo + kSectorSize && e > lo) return true;
          }
          return false;
        });
        p.start = chain.empty() ? kEndOfChain : chain[0];
      }
      placed[folded] = std::move(p);
    }
    next_.streams_ = std::move(placed);
    return S_OK;
  }

  // The mini FAT and the mini stream: trimmed to the last mini sector in use, copied on write.
  void PlaceMiniStreamAndFat() {
    std::vector<uint32_t>& mf = next_.mini_fat_;
    size_t used = mf.size();
    while (used > 0 && mf[used - 1] == kFreeSect) --used;
    mf.resize(CeilDiv(used, kEntriesPerSector) * kEntriesPerSector);
    next_.mini_stream_.resize(CeilDiv(used * kMiniSectorSize, kSectorSize) * kSectorSize);
    mini_stream_size_ = used * kMiniSectorSize;
    const std::vector<uint8_t>& old_stream = old_.mini_stream_;
    const std::vector<uint8_t>& new_stream = next_.mini_stream_;
    next_.mini_stream_chain_ = CopyOnWrite(old_.mini_stream_chain_, new_stream, [&](size_t i) {
      return SectorDiffers(old_stream, new_stream, i);
    });
    std::vector<uint8_t> old_bytes = EntriesToBytes(old_.mini_fat_);
    std::vector<uint8_t> new_bytes = EntriesToBytes(mf);
    next_.mini_fat_chain_ = CopyOnWrite(old_.mini_fat_chain_, new_bytes, [&](size_t i) {
      return SectorDiffers(old_bytes, new_bytes, i);
    });
  }

  HRESULT PlaceDirectory() {
    std::vector<DirectoryStream> entries;
    for (const auto& [folded, p] : next_.streams_) {
      entries.push_back({p.name, folded, p.start, p.size});
    }
    uint32_t root_start =
        next_.mini_stream_chain_.empty() ? kEndOfChain : next_.mini_stream_chain_[0];
    std::vector<uint8_t> dir = BuildDirectory(entries, root_start, mini_stream_size_);
    const std::vector<uint8_t>& old_dir = old_.dir_bytes_;
    next_.dir_chain_ =
        CopyOnWrite(old_.dir_chain_, dir, [&](size_t i) { return SectorDiffers(old_dir, dir, i); });
    next_.dir_bytes_ = std::move(dir);
    return S_OK;
  }

  // The FAT and the DIFAT go last, as every allocation above changed the FAT. A FAT sector whose
  // entries differ from the committed one moves to a new sector, and so does a DIFAT sector whose
  // locations differ (a FAT sector it names moved, or the next DIFAT sector did). Moving a sector
  // changes FAT entries again (its new sector is marked, its old one freed), so the moves repeat
  // until nothing else changes; each sector moves at most once, and is written with its final
  // contents. The DIFAT sectors are few (one per 127 FAT sectors, about 8 MB of file), so the
  // chain's moves stay cheap however long the file grows.
  HRESULT PlaceFat() {
    const std::vector<uint32_t>& old_fat = old_.fat_;
    std::vector<uint32_t>& fat_at = next_.fat_sectors_;
    std::vector<uint32_t>& difat_at = next_.difat_sectors_;
    std::vector<bool> fat_moved(fat_at.size(), false);
    std::vector<bool> difat_moved(difat_at.size(), false);
    // Moves sector k of a table (FAT or DIFAT) to a new sector marked `mark`.
    auto move = [&](std::vector<uint32_t>& at, std::vector<bool>& moved,
                    const std::vector<uint32_t>& old_at, size_t k, uint32_t mark) {
      uint32_t s = Allocate();
      if (k < old_at.size()) Release(old_at[k]);
      SetFat(s, mark);
      at[k] = s;
      moved[k] = true;
    };
    for (;;) {
      const uint64_t fats = CeilDiv(next_.sector_count_, kEntriesPerSector);
      const uint64_t difats = DifatSectorsFor(fats);
      if (next_.sector_count_ > kMaxRegSect) return S_FALSE;
      if (next_.fat_.size() < fats * kEntriesPerSector) {
        next_.fat_.resize(fats * kEntriesPerSector, kFreeSect);
      }
      // The file never shrinks, so neither do the FAT and the DIFAT.
      fat_at.resize(std::max<size_t>(fat_at.size(), fats), kFreeSect);
      fat_moved.resize(fat_at.size(), false);
      difat_at.resize(std::max<size_t>(difat_at.size(), difats), kFreeSect);
      difat_moved.resize(difat_at.size(), false);
      bool any = false;
      for (size_t k = 0; k < fats; ++k) {
        if (fat_moved[k]) continue;
        bool changed = k >= old_.fat_sectors_.size() ||
                       !std::equal(next_.fat_.begin() + k * kEntriesPerSector,
                                   next_.fat_.begin() + (k + 1) * kEntriesPerSector,
                                   old_fat.begin() + k * kEntriesPerSector);
        if (!changed) continue;
        move(fat_at, fat_moved, old_.fat_sectors_, k, kFatSect);
        any = true;
      }
      const std::vector<uint8_t> difat_bytes = DifatBytes(fat_at, difat_at);
      for (size_t d = 0; d < difats; ++d) {
        if (difat_moved[d]) continue;
        if (d < old_.difat_sectors_.size() && !SectorDiffers(old_.difat_bytes_, difat_bytes, d)) {
          continue;
        }
        move(difat_at, difat_moved, old_.difat_sectors_, d, kDifSect);
        any = true;
      }
      if (!any && fats == CeilDiv(next_.sector_count_, kEntriesPerSector)) break;
    }
    next_.fat_.resize(fat_at.size() * kEntriesPerSector, kFreeSect);
    next_.difat_bytes_ = DifatBytes(fat_at, difat_at);
    std::vector<uint8_t> fat_bytes = EntriesToBytes(next_.fat_);
    for (size_t k = 0; k < fat_at.size(); ++k) {
      if (fat_moved[k]) writes_[fat_at[k]] = SectorOf(fat_bytes, k);
    }
    for (size_t d = 0; d < difat_at.size(); ++d) {
      if (difat_moved[d]) writes_[difat_at[d]] = SectorOf(next_.difat_bytes_, d);
    }
    return S_OK;
  }

  void WriteHeader(CommitPlan* plan) {
    std::array<uint8_t, kHeaderSize>& h = plan->header;
    h.fill(0);
    WriteHeaderFields(h.data(), static_cast<uint32_t>(next_.fat_sectors_.size()),
                      next_.dir_chain_[0],
                      next_.mini_fat_chain_.empty() ? kEndOfChain : next_.mini_fat_chain_[0],
                      static_cast<uint32_t>(next_.mini_fat_chain_.size()));
    const std::vector<uint32_t>& difat_at = next_.difat_sectors_;
    Put32(h.data() + kOffFirstDifatSector, difat_at.empty() ? kEndOfChain : difat_at[0]);
    Put32(h.data() + kOffNumDifatSectors, static_cast<uint32_t>(difat_at.size()));
    for (uint32_t i = 0; i < kHeaderDifatEntries; ++i) {
      Put32(h.data() + kOffHeaderDifat + 4 * i,
            i < next_.fat_sectors_.size() ? next_.fat_sectors_[i] : kFreeSect);
    }
  }

  const IncrementalImage& old_;
  IncrementalImage& next_;
  std::vector<uint32_t> free_;
  size_t free_at_ = 0;
  std::map<uint32_t, std::vector<uint8_t>> writes_;
  std::set<uint32_t> mini_taken_;
  uint32_t mini_scan_ = 0;
  uint64_t mini_stream_size_ = 0;
};

HRESULT IncrementalImage::Plan(std::span<const StreamChange> streams, CommitPlan* plan,
                               IncrementalImage* next) const {
  if (plan == nullptr || next == nullptr) return E_POINTER;
  CommitPlan p;
  IncrementalImage n;
  CommitPlanner planner(*this, &n);
  HRESULT hr = planner.Run(streams, &p);
  if (hr != S_OK) return hr;
  *plan = std::move(p);
  *next = std::move(n);
  return S_OK;
}

}  // namespace zel
