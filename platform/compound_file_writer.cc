// Serialises a list of named streams into a version-3 compound file image.
//
// Sector layout, in order: FAT sectors, DIFAT sectors (only for files with more than 109 FAT
// sectors, about 6.8 MB), the directory, the mini FAT, the mini stream, then each large stream
// in directory order. Every chain is contiguous, so a reader that walks the FAT and one that
// assumes nothing about placement see the same bytes.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "platform/compound_file.h"
#include "platform/compound_file_directory.h"
#include "platform/compound_file_format.h"
#include "platform/text_encoding.h"

namespace zel {

using namespace cfb;  // NOLINT(google-build-using-namespace): layout constants only

namespace {

void PutU16(std::vector<uint8_t>& img, size_t off, uint16_t v) {
  img[off] = static_cast<uint8_t>(v);
  img[off + 1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(std::vector<uint8_t>& img, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) img[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutU64(std::vector<uint8_t>& img, size_t off, uint64_t v) {
  for (int i = 0; i < 8; ++i) img[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

size_t SectorOffset(uint32_t sector) { return static_cast<size_t>(sector + 1) * kSectorSize; }

struct PlannedStream {
  std::u16string name;
  std::u16string folded;
  std::span<const uint8_t> data;
  bool mini = false;
  uint32_t start = kEndOfChain;  // sector, or mini sector for mini streams
};

// Writes a contiguous chain of `count` sectors from `first` into a FAT (or mini FAT) table.
void ChainContiguous(std::vector<uint32_t>& table, uint32_t first, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    table[first + i] = i + 1 < count ? first + i + 1 : kEndOfChain;
  }
}

}  // namespace

HRESULT SerializeCompoundFile(std::span<const CompoundStreamView> streams,
                              std::vector<uint8_t>* image) {
  if (image == nullptr) return E_POINTER;
  image->clear();

  std::vector<PlannedStream> planned;
  planned.reserve(streams.size());
  for (const CompoundStreamView& v : streams) {
    PlannedStream p;
    p.name = Utf8ToUtf16(v.name);
    if (p.name.empty() || p.name.size() > kMaxNameChars ||
        p.name.find(u'\0') != std::u16string::npos) {
      return STG_E_INVALIDNAME;
    }
    if (v.data.size() > kMaxStreamSize) return STG_E_MEDIUMFULL;
    p.folded = FoldStreamName(v.name);
    p.data = v.data;
    p.mini = v.data.size() < kMiniStreamCutoff;
    planned.push_back(std::move(p));
  }
  // Directory order, so the mini stream and the large streams lie in it too.
  std::sort(planned.begin(), planned.end(), [](const PlannedStream& a, const PlannedStream& b) {
    return CompareStreamNames(a.folded, b.folded) < 0;
  });
  for (size_t i = 1; i < planned.size(); ++i) {
    if (planned[i - 1].folded == planned[i].folded) return STG_E_INVALIDNAME;
  }

  // Mini sectors, numbered in directory order.
  uint64_t mini_sectors = 0;
  for (PlannedStream& p : planned) {
    if (!p.mini || p.data.empty()) continue;
    p.start = static_cast<uint32_t>(mini_sectors);
    mini_sectors += CeilDiv(p.data.size(), kMiniSectorSize);
  }
  const uint64_t mini_stream_bytes = mini_sectors * kMiniSectorSize;
  const uint64_t mini_stream_sects = CeilDiv(mini_stream_bytes, kSectorSize);
  const uint64_t mini_fat_sects = CeilDiv(mini_sectors, kSectorSize / 4);
  const uint64_t dir_sects = CeilDiv(planned.size() + 1, kSectorSize / kDirEntrySize);
  uint64_t big_sects = 0;
  for (const PlannedStream& p : planned) {
    if (!p.mini) big_sects += CeilDiv(p.data.size(), kSectorSize);
  }
  const uint64_t data_sects = dir_sects + mini_fat_sects + mini_stream_sects + big_sects;

  // The FAT must also map its own sectors and the DIFAT's: grow both until they cover the total.
  uint64_t fat_sects = 0;
  uint64_t difat_sects = 0;
  for (;;) {
    uint64_t total = data_sects + fat_sects + difat_sects;
    uint64_t need_fat = CeilDiv(total, kSectorSize / 4);
    uint64_t need_difat = need_fat > kHeaderDifatEntries
                              ? CeilDiv(need_fat - kHeaderDifatEntries, kSectorSize / 4 - 1)
                              : 0;
    if (need_fat == fat_sects && need_difat == difat_sects) break;
    fat_sects = need_fat;
    difat_sects = need_difat;
  }
  const uint64_t total_sects = data_sects + fat_sects + difat_sects;
  if (total_sects > kMaxRegSect) return STG_E_MEDIUMFULL;

  const uint32_t first_difat = static_cast<uint32_t>(fat_sects);
  const uint32_t first_dir = first_difat + static_cast<uint32_t>(difat_sects);
  const uint32_t first_mini_fat = first_dir + static_cast<uint32_t>(dir_sects);
  const uint32_t first_mini_stream = first_mini_fat + static_cast<uint32_t>(mini_fat_sects);
  uint32_t next_big = first_mini_stream + static_cast<uint32_t>(mini_stream_sects);

  std::vector<uint32_t> fat(fat_sects * (kSectorSize / 4), kFreeSect);
  for (uint32_t i = 0; i < fat_sects; ++i) fat[i] = kFatSect;
  for (uint32_t i = 0; i < difat_sects; ++i) fat[first_difat + i] = kDifSect;
  ChainContiguous(fat, first_dir, static_cast<uint32_t>(dir_sects));
  ChainContiguous(fat, first_mini_fat, static_cast<uint32_t>(mini_fat_sects));
  ChainContiguous(fat, first_mini_stream, static_cast<uint32_t>(mini_stream_sects));
  for (PlannedStream& p : planned) {
    if (p.mini) continue;
    uint32_t count = static_cast<uint32_t>(CeilDiv(p.data.size(), kSectorSize));
    p.start = next_big;
    ChainContiguous(fat, next_big, count);
    next_big += count;
  }

  std::vector<uint8_t>& img = *image;
  img.assign(kHeaderSize + total_sects * kSectorSize, 0);

  // Header.
  WriteHeaderFields(img.data(), static_cast<uint32_t>(fat_sects), first_dir,
                    mini_fat_sects ? first_mini_fat : kEndOfChain,
                    static_cast<uint32_t>(mini_fat_sects));
  PutU32(img, kOffFirstDifatSector, difat_sects ? first_difat : kEndOfChain);
  PutU32(img, kOffNumDifatSectors, static_cast<uint32_t>(difat_sects));
  for (uint32_t i = 0; i < kHeaderDifatEntries; ++i) {
    PutU32(img, kOffHeaderDifat + 4 * i, i < fat_sects ? i : kFreeSect);
  }

  // DIFAT sectors: 127 FAT sector numbers each, then the next DIFAT sector.
  constexpr uint32_t kPerDifat = kSectorSize / 4 - 1;
  for (uint32_t d = 0; d < difat_sects; ++d) {
    size_t off = SectorOffset(first_difat + d);
    for (uint32_t k = 0; k < kPerDifat; ++k) {
      uint64_t fat_index = kHeaderDifatEntries + uint64_t{d} * kPerDifat + k;
      PutU32(img, off + 4 * k,
             fat_index < fat_sects ? static_cast<uint32_t>(fat_index) : kFreeSect);
    }
    PutU32(img, off + 4 * kPerDifat, d + 1 < difat_sects ? first_difat + d + 1 : kEndOfChain);
  }

  // FAT.
  for (size_t i = 0; i < fat.size(); ++i) PutU32(img, kHeaderSize + 4 * i, fat[i]);

  // Directory: the root, the streams in directory order, then unused entries.
  std::vector<DirectoryStream> entries;
  entries.reserve(planned.size());
  for (const PlannedStream& p : planned) {
    entries.push_back({p.name, p.folded, p.data.empty() ? kEndOfChain : p.start, p.data.size()});
  }
  std::vector<uint8_t> dir = BuildDirectory(
      std::move(entries), mini_stream_sects ? first_mini_stream : kEndOfChain, mini_stream_bytes);
  std::memcpy(img.data() + SectorOffset(first_dir), dir.data(), dir.size());

  // Mini FAT and mini stream.
  std::vector<uint32_t> mini_fat(mini_fat_sects * (kSectorSize / 4), kFreeSect);
  size_t mini_base = SectorOffset(first_mini_stream);
  for (const PlannedStream& p : planned) {
    if (!p.mini || p.data.empty()) continue;
    ChainContiguous(mini_fat, p.start,
                    static_cast<uint32_t>(CeilDiv(p.data.size(), kMiniSectorSize)));
    std::memcpy(img.data() + mini_base + size_t{p.start} * kMiniSectorSize, p.data.data(),
                p.data.size());
  }
  size_t mini_fat_off = SectorOffset(first_mini_fat);
  for (size_t i = 0; i < mini_fat.size(); ++i) PutU32(img, mini_fat_off + 4 * i, mini_fat[i]);

  // Large streams.
  for (const PlannedStream& p : planned) {
    if (p.mini) continue;
    std::memcpy(img.data() + SectorOffset(p.start), p.data.data(), p.data.size());
  }
  return S_OK;
}

namespace {

struct TreeNode {
  uint32_t left = kNoStream;
  uint32_t right = kNoStream;
  DirColor color = kBlack;
};

// Builds a balanced binary tree over directory ids [lo, hi] (1-based, already in directory
// order) and returns its root. Nodes below the last full level are red, the rest black: every
// path from the root to a leaf then crosses the same number of black nodes, so the tree is a
// valid red-black tree as strict readers expect.
uint32_t BuildTree(std::vector<TreeNode>& s, int64_t lo, int64_t hi, int depth, int full_levels) {
  if (lo > hi) return kNoStream;
  int64_t mid = lo + (hi - lo) / 2;
  TreeNode& node = s[mid - 1];
  node.color = depth >= full_levels ? kRed : kBlack;
  node.left = BuildTree(s, lo, mid - 1, depth + 1, full_levels);
  node.right = BuildTree(s, mid + 1, hi, depth + 1, full_levels);
  return static_cast<uint32_t>(mid);
}

void PutDirEntry(std::vector<uint8_t>& img, size_t off, std::u16string_view name, DirType type,
                 DirColor color, uint32_t left, uint32_t right, uint32_t child, uint32_t start,
                 uint64_t size) {
  for (size_t i = 0; i < name.size(); ++i) PutU16(img, off + kDirOffName + 2 * i, name[i]);
  PutU16(img, off + kDirOffNameLength, static_cast<uint16_t>((name.size() + 1) * 2));
  img[off + kDirOffType] = type;
  img[off + kDirOffColor] = color;
  PutU32(img, off + kDirOffLeft, left);
  PutU32(img, off + kDirOffRight, right);
  PutU32(img, off + kDirOffChild, child);
  PutU32(img, off + kDirOffStartSector, start);
  PutU64(img, off + kDirOffSize, size);
}

}  // namespace

std::vector<uint8_t> BuildDirectory(std::vector<DirectoryStream> streams,
                                    uint32_t mini_stream_start, uint64_t mini_stream_size) {
  std::sort(streams.begin(), streams.end(), [](const DirectoryStream& a, const DirectoryStream& b) {
    return CompareStreamNames(a.folded, b.folded) < 0;
  });
  const uint64_t per_sector = kSectorSize / kDirEntrySize;
  const uint64_t dir_sects = CeilDiv(streams.size() + 1, per_sector);
  std::vector<uint8_t> dir(dir_sects * kSectorSize, 0);
  const int64_t n = static_cast<int64_t>(streams.size());
  int full_levels = 0;
  while ((int64_t{2} << full_levels) - 1 <= n) ++full_levels;  // floor(log2(n + 1))
  std::vector<TreeNode> tree(streams.size());
  uint32_t tree_root = BuildTree(tree, 1, n, 0, full_levels);
  PutDirEntry(dir, 0, u"Root Entry", kDirRoot, kBlack, kNoStream, kNoStream, tree_root,
              mini_stream_start, mini_stream_size);
  for (int64_t i = 0; i < n; ++i) {
    const DirectoryStream& p = streams[i];
    PutDirEntry(dir, (i + 1) * kDirEntrySize, p.name, kDirStream, tree[i].color, tree[i].left,
                tree[i].right, kNoStream, p.size == 0 ? kEndOfChain : p.start, p.size);
  }
  for (uint64_t i = streams.size() + 1; i < dir_sects * per_sector; ++i) {
    size_t off = i * kDirEntrySize;
    PutU32(dir, off + kDirOffLeft, kNoStream);
    PutU32(dir, off + kDirOffRight, kNoStream);
    PutU32(dir, off + kDirOffChild, kNoStream);
  }
  return dir;
}

void WriteHeaderFields(uint8_t* header, uint32_t fat_sectors, uint32_t first_dir,
                       uint32_t first_mini_fat, uint32_t mini_fat_sectors) {
  std::vector<uint8_t> h(kHeaderSize, 0);
  std::memcpy(h.data() + kOffSignature, kSignature, sizeof(kSignature));
  PutU16(h, kOffMinorVersion, kMinorVersion);
  PutU16(h, kOffMajorVersion, kMajorVersion3);
  PutU16(h, kOffByteOrder, kByteOrderMark);
  PutU16(h, kOffSectorShift, kSectorShift3);
  PutU16(h, kOffMiniSectorShift, kMiniSectorShift);
  PutU32(h, kOffNumDirSectors, 0);
  PutU32(h, kOffNumFatSectors, fat_sectors);
  PutU32(h, kOffFirstDirSector, first_dir);
  PutU32(h, kOffTransactionSig, 0);
  PutU32(h, kOffMiniStreamCutoff, kMiniStreamCutoff);
  PutU32(h, kOffFirstMiniFatSector, first_mini_fat);
  PutU32(h, kOffNumMiniFatSectors, mini_fat_sectors);
  PutU32(h, kOffFirstDifatSector, kEndOfChain);
  PutU32(h, kOffNumDifatSectors, 0);
  // The header DIFAT entries keep whatever the caller has put there.
  std::memcpy(header, h.data(), kOffHeaderDifat);
}

}  // namespace zel
