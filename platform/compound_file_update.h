// Commits a compound file in place, writing only what changed, with the file readable as the
// state before or the state after at every instant (copy on write):
//
//   1. every changed sector (stream data, mini stream, mini FAT, directory, FAT) is written to a
//      sector the committed file does not use (a free one, or one past its end), never over a
//      sector the committed header can reach;
//   2. the data is flushed to disk;
//   3. the header (one 512-byte sector at offset 0, written with one write) is replaced: it
//      names the new FAT sectors and the new directory, and with them the new state;
//   4. the header is flushed.
//
// A crash before step 3 completes leaves the old header, which reaches only untouched sectors;
// after it, the new header reaches only sectors flushed in step 2. Sectors the old state used and
// the new one does not are free in the new FAT and are reused by the next commit, so the file
// does not grow without bound. Unchanged stream sectors stay where they are: an append to a
// long stream writes its last sectors, the FAT sectors that chain them, the directory and the
// header, whatever the stream's length.
//
// The FAT sectors past the header's 109 entries (files over about 7 MB) are named by DIFAT
// sectors, which are copied on write like the FAT: a commit writes the DIFAT sectors naming FAT
// sectors it moved (and those before them in the DIFAT's chain, one per 8 MB of file). Version-4
// files are left to a whole-file rewrite.
//
// Thread contract: an IncrementalImage is used by one thread at a time (the storage calls it
// under its mutex).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/compound_file_format.h"
#include "platform/status.h"

namespace zel {

// Byte ranges [first, second) of a stream changed since the last commit.
using DirtyRanges = std::vector<std::pair<uint64_t, uint64_t>>;

// Adds [begin, end) to ranges, merging it with those it touches; beyond kMaxDirtyRanges the two
// closest ranges are joined (a few unchanged bytes written again cost less than the bookkeeping).
inline constexpr size_t kMaxDirtyRanges = 16;
void AddDirtyRange(DirtyRanges* ranges, uint64_t begin, uint64_t end);

// A stream as a commit sees it: its bytes now, and which of them changed since the last commit.
// A stream the committed file does not hold is written whole, whatever its ranges say.
struct StreamChange {
  std::string_view name;
  std::span<const uint8_t> data;
  const DirtyRanges* dirty = nullptr;  // null: unchanged
};

// What one commit writes: whole sectors (by sector number) and then the header.
struct CommitPlan {
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> sectors;
  std::array<uint8_t, cfb::kHeaderSize> header{};
  uint32_t sector_count = 0;  // sectors the file holds after the commit
  uint64_t bytes() const;     // everything written: sectors and header
};

class IncrementalImage {
 public:
  // The placement of a file's image as committed. Only version-3 images can be changed in place:
  // others give STG_E_INVALIDHEADER (the storage then rewrites the whole file once, and uses the
  // image it wrote). REQUIRES: the image was accepted by ParseCompoundFile.
  static HRESULT FromImage(std::span<const uint8_t> image, IncrementalImage* out);

  // Plans the commit that makes the file hold exactly `streams`. S_FALSE (nothing planned) when
  // only a whole-file rewrite can do it (the file would outgrow the sector numbers);
  // STG_E_INVALIDNAME / STG_E_MEDIUMFULL as SerializeCompoundFile.
  // The image itself is unchanged until Adopt.
  HRESULT Plan(std::span<const StreamChange> streams, CommitPlan* plan,
               IncrementalImage* next) const;

  uint32_t sector_count() const { return sector_count_; }

 private:
  struct Placement {
    std::u16string name;  // as stored
    bool mini = false;
    uint32_t start = cfb::kEndOfChain;
    uint64_t size = 0;
  };

  uint32_t sector_count_ = 0;
  std::vector<uint32_t> fat_;            // the FAT's entries, whole FAT sectors
  std::vector<uint32_t> fat_sectors_;    // where FAT sector k lies
  std::vector<uint32_t> difat_sectors_;  // where DIFAT sector d lies, in chain order
  std::vector<uint8_t> difat_bytes_;     // the DIFAT sectors' bytes, in chain order
  std::vector<uint32_t> dir_chain_;
  std::vector<uint8_t> dir_bytes_;
  std::vector<uint32_t> mini_fat_chain_;
  std::vector<uint32_t> mini_fat_;  // whole mini FAT sectors
  std::vector<uint32_t> mini_stream_chain_;
  std::vector<uint8_t> mini_stream_;             // the mini stream's bytes (whole sectors)
  std::map<std::u16string, Placement> streams_;  // by folded name

  friend class CommitPlanner;
};

}  // namespace zel
