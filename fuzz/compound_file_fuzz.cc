// Fuzz target for the compound-file reader: any input must give a status code, never a crash,
// a hang or an unbounded allocation. An input that parses must also survive a round trip:
// written back and read again, it gives the same streams.
// Seeds (corpus/compound_file/): the valid sample image of platform/compound_file_samples.h
// and each of its corruptions.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/compound_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<zel::CompoundStream> streams;
  if (zel::Failed(zel::ParseCompoundFile(std::span<const uint8_t>(data, size), &streams))) {
    return 0;
  }
  std::vector<zel::CompoundStreamView> views;
  for (const zel::CompoundStream& s : streams) views.push_back({s.name, s.data});
  std::vector<uint8_t> image;
  // Names that are legal in a file but not ours to write (a zero inside, two that fold to the
  // same name after UTF-16 repair) are refused by the writer: not a fault.
  if (zel::Failed(zel::SerializeCompoundFile(views, &image))) return 0;
  std::vector<zel::CompoundStream> again;
  if (zel::Failed(zel::ParseCompoundFile(image, &again))) std::abort();
  if (again.size() != streams.size()) std::abort();
  // A foreign tree need not be in our directory order; compare in one order.
  auto by_name = [](const zel::CompoundStream& a, const zel::CompoundStream& b) {
    return zel::CompareStreamNames(zel::FoldStreamName(a.name), zel::FoldStreamName(b.name)) < 0;
  };
  std::sort(streams.begin(), streams.end(), by_name);
  std::sort(again.begin(), again.end(), by_name);
  for (size_t i = 0; i < again.size(); ++i) {
    if (again[i].name != streams[i].name || again[i].data != streams[i].data) std::abort();
  }
  return 0;
}
