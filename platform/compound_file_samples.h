// Compound-file images for the tests and the fuzz driver: a valid image whose streams cover the
// mini stream and ordinary sectors, and damaged copies of it with one defect each. The damage is
// applied through ImageEditor, which finds structures by following the header and the FAT, so
// each defect is described by what it breaks rather than by a byte offset.
//
// Thread contract: stateless; each call builds a fresh image.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/compound_file.h"
#include "platform/status.h"

namespace zel {

// Byte i of a sample stream: varies with the position and the stream, so misplaced sectors show.
uint8_t SampleByte(uint32_t seed, uint64_t i);
std::vector<uint8_t> SampleBytes(uint32_t seed, uint64_t size);

// "Setup" 40 bytes, "Names.2" 700 (mini stream), "SystemSetup" 5000, "Events" 10000 (sectors).
std::vector<CompoundStream> SampleStreams();
std::vector<uint8_t> SampleImage();

// Reads and patches a version-3 image. Offsets are bounds-checked by the vector (at()).
class ImageEditor {
 public:
  explicit ImageEditor(std::vector<uint8_t>* image) : img_(*image) {}
  uint32_t U32(size_t off) const;
  void SetU32(size_t off, uint32_t v);
  uint64_t SectorOffset(uint32_t sector) const { return (uint64_t{sector} + 1) * 512; }
  // Byte offset of the FAT entry (next-sector link) of a sector.
  size_t FatEntry(uint32_t sector) const;
  // Byte offset of the mini FAT entry of a mini sector.
  size_t MiniFatEntry(uint32_t mini_sector) const;
  // Byte offset of directory entry `id`.
  size_t DirEntry(uint32_t id) const;
  // Directory id of the entry with this (ASCII) name; 0 (the root) when there is none.
  uint32_t FindEntry(std::string_view name) const;
  uint32_t StartSector(uint32_t id) const;
  size_t SizeField(uint32_t id) const;

 private:
  // Sector number `index` of the chain starting at `start`.
  uint32_t ChainSector(uint32_t start, uint32_t index) const;
  std::vector<uint8_t>& img_;
};

// One damaged image per defect.
std::vector<uint8_t> TruncatedHeaderImage();       // only the first 100 bytes
std::vector<uint8_t> BadSignatureImage();          // first byte of the signature changed
std::vector<uint8_t> BadByteOrderImage();          // byte-order mark is not FFFE
std::vector<uint8_t> FatChainLoopImage();          // "Events": 2nd sector links back to its 1st
std::vector<uint8_t> SectorOutOfRangeImage();      // "Events" starts beyond the last sector
std::vector<uint8_t> StreamPastEndOfFileImage();   // "SystemSetup" size larger than the file
std::vector<uint8_t> StreamPastEndOfChainImage();  // "SystemSetup" size 3 sectors past its chain
std::vector<uint8_t> MiniFatLoopImage();           // "Names.2": 3rd mini sector links to its 1st
std::vector<uint8_t> MiniStreamTooShortImage();    // root says the mini stream is 64 bytes
std::vector<uint8_t> DirectoryLoopImage();         // a sibling link back to the tree's root
std::vector<uint8_t> CrossLinkedChainsImage();     // "SystemSetup" starts inside "Events"
std::vector<uint8_t> FatSectorOutOfRangeImage();   // the header's first FAT sector is past EOF
std::vector<uint8_t> TruncatedBodyImage();         // file cut inside the last stream's sectors
std::vector<uint8_t> BadRootEntryImage();          // directory entry 0 is not the root

// What generation g of the crash-loop test commits in one group: "Gen" (g as 8 bytes), "A" in
// the mini stream, "B" in sectors, "C" crossing the mini-stream cutoff as g changes, and "D"
// in even generations only. Every stream starts with g, so a torn or mixed store shows.
std::vector<CompoundStream> GenerationStreams(uint64_t g);

struct CorruptSample {
  std::string name;
  std::vector<uint8_t> image;
  HRESULT expected;  // the status ParseCompoundFile must give
};
std::vector<CorruptSample> AllCorruptSamples();

}  // namespace zel
