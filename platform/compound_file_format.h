// On-disk layout of a compound file (version 3: 512-byte sectors), shared by the reader and the
// writer. docs/storage_format.md describes the same layout in prose.
//
//   file   = header sector (512 bytes) + sectors 0..N-1; sector n starts at (n + 1) * 512
//   FAT    = one 32-bit "next sector" entry per sector, in FAT sectors of 128 entries
//   DIFAT  = where the FAT sectors are: 109 entries in the header, then DIFAT sectors of 127
//            entries plus the location of the next DIFAT sector
//   dir    = 128-byte entries in a sector chain; entry 0 is the root ("Root Entry")
//   mini   = streams shorter than 4096 bytes live in 64-byte mini sectors inside the mini
//            stream (the root entry's chain), chained by the mini FAT
//
// All integers are little-endian. Thread contract: constants only.
#pragma once

#include <cstdint>

namespace zel::cfb {

// The first 8 bytes of every compound file.
inline constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

inline constexpr uint32_t kHeaderSize = 512;
inline constexpr uint16_t kMinorVersion = 0x003E;
inline constexpr uint16_t kMajorVersion3 = 3;  // 512-byte sectors (the form we write)
inline constexpr uint16_t kMajorVersion4 = 4;  // 4096-byte sectors (read only)
inline constexpr uint16_t kByteOrderMark = 0xFFFE;
inline constexpr uint16_t kSectorShift3 = 9;
inline constexpr uint16_t kSectorShift4 = 12;
inline constexpr uint16_t kMiniSectorShift = 6;
inline constexpr uint32_t kSectorSize = 512;
inline constexpr uint32_t kMiniSectorSize = 64;
// Streams strictly shorter than this live in the mini stream.
inline constexpr uint32_t kMiniStreamCutoff = 4096;
inline constexpr uint32_t kHeaderDifatEntries = 109;
inline constexpr uint32_t kDirEntrySize = 128;

// Header field offsets.
inline constexpr uint32_t kOffSignature = 0x00;
inline constexpr uint32_t kOffMinorVersion = 0x18;
inline constexpr uint32_t kOffMajorVersion = 0x1A;
inline constexpr uint32_t kOffByteOrder = 0x1C;
inline constexpr uint32_t kOffSectorShift = 0x1E;
inline constexpr uint32_t kOffMiniSectorShift = 0x20;
inline constexpr uint32_t kOffNumDirSectors = 0x28;  // must be 0 in version 3
inline constexpr uint32_t kOffNumFatSectors = 0x2C;
inline constexpr uint32_t kOffFirstDirSector = 0x30;
inline constexpr uint32_t kOffTransactionSig = 0x34;
inline constexpr uint32_t kOffMiniStreamCutoff = 0x38;
inline constexpr uint32_t kOffFirstMiniFatSector = 0x3C;
inline constexpr uint32_t kOffNumMiniFatSectors = 0x40;
inline constexpr uint32_t kOffFirstDifatSector = 0x44;
inline constexpr uint32_t kOffNumDifatSectors = 0x48;
inline constexpr uint32_t kOffHeaderDifat = 0x4C;
static_assert(kOffHeaderDifat + kHeaderDifatEntries * 4 == kHeaderSize);

// Directory entry field offsets.
inline constexpr uint32_t kDirOffName = 0x00;        // 32 UTF-16 code units including the zero
inline constexpr uint32_t kDirOffNameLength = 0x40;  // bytes, including the zero
inline constexpr uint32_t kDirOffType = 0x42;
inline constexpr uint32_t kDirOffColor = 0x43;
inline constexpr uint32_t kDirOffLeft = 0x44;
inline constexpr uint32_t kDirOffRight = 0x48;
inline constexpr uint32_t kDirOffChild = 0x4C;
inline constexpr uint32_t kDirOffClsid = 0x50;
inline constexpr uint32_t kDirOffStartSector = 0x74;
inline constexpr uint32_t kDirOffSize = 0x78;  // 64 bits; version 3 uses the low 32 only
static_assert(kDirOffSize + 8 == kDirEntrySize);
inline constexpr uint32_t kDirNameBytes = 64;
inline constexpr uint32_t kMaxNameChars = 31;

enum DirType : uint8_t { kDirUnused = 0, kDirStorage = 1, kDirStream = 2, kDirRoot = 5 };
enum DirColor : uint8_t { kRed = 0, kBlack = 1 };

// Special sector numbers (in FAT entries, chain starts and the DIFAT).
inline constexpr uint32_t kMaxRegSect = 0xFFFFFFFA;  // highest ordinary sector number
inline constexpr uint32_t kDifSect = 0xFFFFFFFC;     // this sector holds DIFAT entries
inline constexpr uint32_t kFatSect = 0xFFFFFFFD;     // this sector holds FAT entries
inline constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr uint32_t kFreeSect = 0xFFFFFFFF;
inline constexpr uint32_t kNoStream = 0xFFFFFFFF;  // no sibling / child

// Largest stream we accept: version 3 keeps sizes in 32 bits and files below 2 GiB.
inline constexpr uint64_t kMaxStreamSize = 0x7FFFFFFF;

}  // namespace zel::cfb
