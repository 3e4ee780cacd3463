// The parts of a version-3 compound file that the whole-file writer (compound_file_writer.cc)
// and the in-place commit (compound_file_update.cc) build alike: the directory of a root holding
// streams, and the header's fixed fields. Internal to the storage.
//
// Thread contract: stateless functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zel {

// A stream's directory entry: its name as stored and folded (FoldStreamName), where its data
// starts (a sector, or a mini sector for streams below the mini-stream cutoff) and its size.
struct DirectoryStream {
  std::u16string name;
  std::u16string folded;
  uint32_t start = 0;
  uint64_t size = 0;
};

// The directory's bytes, whole sectors: the root entry (its data is the mini stream, starting at
// `mini_stream_start`, `mini_stream_size` bytes), then the streams in directory order (shorter
// names first, then by folded name) as a balanced red-black tree, then unused entries.
// REQUIRES: names distinct when folded, 1 to 31 code units.
std::vector<uint8_t> BuildDirectory(std::vector<DirectoryStream> streams,
                                    uint32_t mini_stream_start, uint64_t mini_stream_size);

// Fills the header's fixed fields (signature, versions, shifts, cutoff) and the given
// locations, with no DIFAT sectors (a caller that has some sets the two fields after). The 109
// header DIFAT entries are the caller's.
void WriteHeaderFields(uint8_t* header, uint32_t fat_sectors, uint32_t first_dir,
                       uint32_t first_mini_fat, uint32_t mini_fat_sectors);

}  // namespace zel
