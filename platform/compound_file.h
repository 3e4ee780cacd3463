// A compact reader and writer of compound files holding streams at their root: an image (the
// whole file in memory) is parsed into a list of named streams, and a list of named streams is
// serialised into an image. The storage object (storage.h) builds on these; the layout is in
// compound_file_format.h and docs/storage_format.md.
//
// The reader trusts nothing in the image: every sector number, chain, size and name is checked
// against the bounds of the image, chains that loop are caught, and every allocation is bounded
// by the image size, so a damaged or hostile file gives a status code, never a crash or a hang.
//
// Thread contract: stateless functions; callers own their buffers.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace zel {

// A stream read from an image. Names are UTF-8.
struct CompoundStream {
  std::string name;
  std::vector<uint8_t> data;
};

// A stream to write: the caller keeps name and data alive during SerializeCompoundFile.
struct CompoundStreamView {
  std::string_view name;
  std::span<const uint8_t> data;
};

// Parses an image into its root-level streams, in directory order.
// Errors: STG_E_INVALIDHEADER when the image is too short for a header or the header is not a
// compound-file header of version 3 or 4; STG_E_DOCFILECORRUPT for any structural fault past the
// header (sector out of range, chain loop, chain shorter than the stream size, bad directory
// entry, two streams with the same name). Storages below the root are skipped: the local store
// only ever holds streams at its root.
HRESULT ParseCompoundFile(std::span<const uint8_t> image, std::vector<CompoundStream>* streams);

// Writes a version-3 image holding the streams at the root. Names must be 1 to 31 UTF-16 code
// units without a zero and distinct ignoring case (STG_E_INVALIDNAME otherwise); a stream above
// cfb::kMaxStreamSize gives STG_E_MEDIUMFULL.
HRESULT SerializeCompoundFile(std::span<const CompoundStreamView> streams,
                              std::vector<uint8_t>* image);

// S_OK for a name a stream may be created with: 1 to 31 UTF-16 code units, no zero and none of
// the characters the format reserves ('/', '\\', ':', '!'). STG_E_INVALIDNAME otherwise.
HRESULT ValidateStreamName(std::string_view name);

// The form names are compared in: UTF-16, upper-cased for ASCII and Latin-1 letters. Two names
// are the same element when their folded forms are equal.
std::u16string FoldStreamName(std::string_view name);

// The order of the directory tree: shorter names first, then by folded code units. Returns
// <0, 0 or >0.
int CompareStreamNames(std::u16string_view folded_a, std::u16string_view folded_b);

}  // namespace zel
