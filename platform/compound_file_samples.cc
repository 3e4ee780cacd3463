#include "platform/compound_file_samples.h"

#include "platform/compound_file_format.h"

namespace zel {

using namespace cfb;  // NOLINT(google-build-using-namespace): layout constants only

uint8_t SampleByte(uint32_t seed, uint64_t i) {
  return static_cast<uint8_t>((i * 31 + (i >> 8) * 7 + seed * 101) & 0xFF);
}

std::vector<uint8_t> SampleBytes(uint32_t seed, uint64_t size) {
  std::vector<uint8_t> out(size);
  for (uint64_t i = 0; i < size; ++i) out[i] = SampleByte(seed, i);
  return out;
}

std::vector<CompoundStream> SampleStreams() {
  return {{"Setup", SampleBytes(1, 40)},
          {"Names.2", SampleBytes(2, 700)},
          {"SystemSetup", SampleBytes(3, 5000)},
          {"Events", SampleBytes(4, 10000)}};
}

std::vector<uint8_t> SampleImage() {
  std::vector<CompoundStream> streams = SampleStreams();
  std::vector<CompoundStreamView> views;
  for (const CompoundStream& s : streams) views.push_back({s.name, s.data});
  std::vector<uint8_t> image;
  (void)SerializeCompoundFile(views, &image);
  return image;
}

std::vector<CompoundStream> GenerationStreams(uint64_t g) {
  auto make = [g](const char* name, uint32_t index, uint64_t size) {
    CompoundStream s{name, SampleBytes(static_cast<uint32_t>(g * 7 + index), size + 8)};
    for (int i = 0; i < 8; ++i) s.data[i] = static_cast<uint8_t>(g >> (8 * i));
    return s;
  };
  std::vector<CompoundStream> out;
  out.push_back(make("Gen", 0, 0));
  out.push_back(make("A", 1, 10 + (g % 50) * 7));
  out.push_back(make("B", 2, 5000 + (g % 5) * 1000));
  out.push_back(make("C", 3, (g * 997) % 9000));
  if (g % 2 == 0) out.push_back(make("D", 4, 300));
  return out;
}

uint32_t ImageEditor::U32(size_t off) const {
  return img_.at(off) | (img_.at(off + 1) << 8) | (img_.at(off + 2) << 16) |
         (uint32_t{img_.at(off + 3)} << 24);
}

void ImageEditor::SetU32(size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) img_.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
}

size_t ImageEditor::FatEntry(uint32_t sector) const {
  uint32_t fat_sector = U32(kOffHeaderDifat + 4 * (sector / 128));
  return SectorOffset(fat_sector) + 4 * (sector % 128);
}

uint32_t ImageEditor::ChainSector(uint32_t start, uint32_t index) const {
  uint32_t s = start;
  for (uint32_t i = 0; i < index; ++i) s = U32(FatEntry(s));
  return s;
}

size_t ImageEditor::MiniFatEntry(uint32_t mini_sector) const {
  uint32_t s = ChainSector(U32(kOffFirstMiniFatSector), mini_sector / 128);
  return SectorOffset(s) + 4 * (mini_sector % 128);
}

size_t ImageEditor::DirEntry(uint32_t id) const {
  uint32_t s = ChainSector(U32(kOffFirstDirSector), id / 4);
  return SectorOffset(s) + kDirEntrySize * (id % 4);
}

uint32_t ImageEditor::FindEntry(std::string_view name) const {
  for (uint32_t id = 1;; ++id) {
    size_t off = DirEntry(id);
    if (img_.at(off + kDirOffType) == kDirUnused) return 0;
    uint32_t len = (img_.at(off + kDirOffNameLength) / 2) - 1;
    if (len != name.size()) continue;
    bool same = true;
    for (uint32_t i = 0; i < len; ++i) same &= img_.at(off + 2 * i) == name[i];
    if (same) return id;
  }
}

uint32_t ImageEditor::StartSector(uint32_t id) const {
  return U32(DirEntry(id) + kDirOffStartSector);
}

size_t ImageEditor::SizeField(uint32_t id) const { return DirEntry(id) + kDirOffSize; }

std::vector<uint8_t> TruncatedHeaderImage() {
  std::vector<uint8_t> img = SampleImage();
  img.resize(100);
  return img;
}

std::vector<uint8_t> BadSignatureImage() {
  std::vector<uint8_t> img = SampleImage();
  img[0] ^= 0xFF;
  return img;
}

std::vector<uint8_t> BadByteOrderImage() {
  std::vector<uint8_t> img = SampleImage();
  img[kOffByteOrder] = 0xFF;
  img[kOffByteOrder + 1] = 0xFE;
  return img;
}

std::vector<uint8_t> FatChainLoopImage() {
  std::vector<uint8_t> img = SampleImage();
  ImageEditor e(&img);
  uint32_t first = e.StartSector(e.FindEntry("Events"));
  e.SetU32(e.FatEntry(e.U32(e.FatEntry(first))), first);
  return img;
}

std::vector<uint8_t> SectorOutOfRangeImage() {
  std::vector<uint8_t> img = SampleImage();
  ImageEditor e(&img);
  e.SetU32(e.DirEntry(e.FindEntry("Events")) + kDirOffStartSector, 0x00100000);
  return img;
}

std::vector<uint8_t> StreamPastEndOfFileImage() {
  std::vector<uint8_t> img = SampleImage();
  ImageEditor e(&img);
  e.SetU32(e.SizeField(e.FindEntry("SystemSetup")), static_cast<uint32_t>(img.size() * 2));
  return img;
}

std::vector<uint8_t> StreamPastEndOfChainImage() {
  std::vector<uint8_t> img = SampleImage();
  ImageEditor e(&img);
  e.SetU32(e.SizeField(e.FindEntry("SystemSetup")), 5000 + 3 * kSectorSize);
  return img;
}

std::vector<uint8_t> MiniFatLoopImage() {
  std::vector<uint8_t> img = SampleImage();
  ImageEditor e(&img);
  uint32_t first = e.StartSector(e.FindEntry("Names.2"));
  e.SetU32(e.MiniFatEntry(first + 2), first);
  return img;
}

std::vector<uint8_t> MiniStreamTooShortImage() {
  std::vector<uint8_t> img = SampleImage();
  ImageEditor e(&img);
  e.SetU32(e.SizeField(0), kMiniSectorSize);
  return img;
}

std::vector<uint8_t> DirectoryLoopImage() {
  std::vector<uint8_t> img = SampleImage();
  ImageEditor e(&img);
  uint32_t top = e.U32(e.DirEntry(0) + kDirOffChild);
  uint32_t id = top;
  while (e.U32(e.DirEntry(id) + kDirOffRight) != kNoStream) {
    id = e.U32(e.DirEntry(id) + kDirOffRight);
  }
  e.SetU32(e.DirEntry(id) + kDirOffRight, top);
  return img;
}

std::vector<uint8_t> CrossLinkedChainsImage() {
  std::vector<uint8_t> img = SampleImage();
  ImageEditor e(&img);
  e.SetU32(e.DirEntry(e.FindEntry("SystemSetup")) + kDirOffStartSector,
           e.StartSector(e.FindEntry("Events")));
  return img;
}

std::vector<uint8_t> FatSectorOutOfRangeImage() {
  std::vector<uint8_t> img = SampleImage();
  ImageEditor e(&img);
  e.SetU32(kOffHeaderDifat, static_cast<uint32_t>(img.size() / kSectorSize + 5));
  return img;
}

std::vector<uint8_t> TruncatedBodyImage() {
  std::vector<uint8_t> img = SampleImage();
  img.resize(img.size() - 5000);
  return img;
}

std::vector<uint8_t> BadRootEntryImage() {
  std::vector<uint8_t> img = SampleImage();
  ImageEditor e(&img);
  img.at(e.DirEntry(0) + kDirOffType) = kDirStorage;
  return img;
}

std::vector<CorruptSample> AllCorruptSamples() {
  return {
      {"truncated-header", TruncatedHeaderImage(), STG_E_INVALIDHEADER},
      {"bad-signature", BadSignatureImage(), STG_E_INVALIDHEADER},
      {"bad-byte-order", BadByteOrderImage(), STG_E_INVALIDHEADER},
      {"fat-chain-loop", FatChainLoopImage(), STG_E_DOCFILECORRUPT},
      {"sector-out-of-range", SectorOutOfRangeImage(), STG_E_DOCFILECORRUPT},
      {"stream-past-end-of-file", StreamPastEndOfFileImage(), STG_E_DOCFILECORRUPT},
      {"stream-past-end-of-chain", StreamPastEndOfChainImage(), STG_E_DOCFILECORRUPT},
      {"mini-fat-loop", MiniFatLoopImage(), STG_E_DOCFILECORRUPT},
      {"mini-stream-too-short", MiniStreamTooShortImage(), STG_E_DOCFILECORRUPT},
      {"directory-loop", DirectoryLoopImage(), STG_E_DOCFILECORRUPT},
      {"cross-linked-chains", CrossLinkedChainsImage(), STG_E_DOCFILECORRUPT},
      {"fat-sector-out-of-range", FatSectorOutOfRangeImage(), STG_E_DOCFILECORRUPT},
      {"truncated-body", TruncatedBodyImage(), STG_E_DOCFILECORRUPT},
      {"bad-root-entry", BadRootEntryImage(), STG_E_DOCFILECORRUPT},
  };
}

}  // namespace zel
