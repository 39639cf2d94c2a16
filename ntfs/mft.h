// The NTFS master file table ($MFT) read as a whole: every file record of
// a volume in one sequential pass, without listing a single folder.
//
// The reader sees the volume only through a function that reads bytes at
// an offset (the raw volume on Windows, an image file in tests and the
// benchmark). It reads the boot sector for the volume's geometry (checked
// against what the system reported, when it reported it), takes the $MFT's
// own data runs from its record 0 (a fragmented $MFT included, its extents
// in the records its own attribute list names when they spread), then reads
// the table along those runs in chunks of kMftChunkBytes, applies each
// record's update-sequence fixups and keeps, per file record in use:
// - its $STANDARD_INFORMATION attributes and last write time;
// - every $FILE_NAME but the DOS-only 8.3 ones (parent and name, UTF-8);
// - its size: the unnamed $DATA (resident length, or the non-resident real
//   size; a sparse or compressed stream by the space it takes) plus every
//   named $DATA stream the same way;
// - records that extend another (the $ATTRIBUTE_LIST of a file with many
//   names or fragments) add their names and streams to their base record.
// Then it checks the table: every name's parent resolves to a folder in
// use with the same sequence number, no folder is its own ancestor. Any
// record that fails its fixups, any reference that does not resolve, a cycle
// or a table shorter than its runs say: the whole table is refused (false
// with the reason), never half used.
//
// The records of the volume's own files (0 to 23 but the root, 5) and
// everything below them ($Extend) are left out, as a folder listing never
// shows them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tamsel {

constexpr size_t kMftChunkBytes = 4u << 20;  // one read of the table
constexpr uint32_t kMftRoot = 5;             // the record of the volume's root folder
constexpr uint32_t kMftNone = 0xFFFFFFFFu;

// Reads n bytes at offset into buf; false unless all n were read.
using VolumeRead = std::function<bool(uint64_t offset, void* buf, size_t n)>;

// What the system reports of an NTFS volume (Windows:
// FSCTL_GET_NTFS_VOLUME_DATA); zero fields are taken from the boot sector.
struct MftGeometry {
  uint32_t bytesPerCluster = 0;
  uint32_t recordBytes = 0;
  uint64_t mftStartLcn = 0;
};

// MftRecord::flags
constexpr uint8_t kMftInUse = 0x1;   // a base record of a file or folder in use
constexpr uint8_t kMftFolder = 0x2;  // a folder (an index of names)
constexpr uint8_t kMftHidden = 0x4;  // the volume's own files and what lies below them

struct MftName {
  uint32_t parent = 0;  // record number of the folder
  uint32_t text = 0;    // offset of the UTF-8 name in MftTable::text
  uint32_t textLen = 0;
};

// One record, by its number. names[firstName, +nameCount) in the order the
// record holds them (the base record's, then its extensions').
struct MftRecord {
  uint64_t bytes = 0;
  uint64_t mtime = 0;  // FILETIME
  uint32_t attrs = 0;  // FILE_ATTRIBUTE_* of $STANDARD_INFORMATION
  uint32_t firstName = 0;
  uint16_t nameCount = 0;
  uint16_t seq = 0;
  uint8_t flags = 0;
};

struct MftTable {
  std::vector<MftRecord> records;  // index = record number
  std::vector<MftName> names;
  std::string text;
  uint64_t recordsRead = 0;  // records read from the volume, in use or not
  uint64_t bytesRead = 0;
};

struct MftReadOptions {
  MftGeometry known;                // what the system reported, if anything
  std::function<bool()> cancelled;  // polled between chunks; may be empty
};

// Reads and checks the whole table. False with *why (plain text for the
// log, not shown as such) when the volume is no NTFS, a read fails, the
// table is inconsistent or the reading was cancelled (*why "cancelled").
bool ReadMft(const VolumeRead& read, const MftReadOptions& opt, MftTable* out, std::string* why);

}  // namespace tamsel
