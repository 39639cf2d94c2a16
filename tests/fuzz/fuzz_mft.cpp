// libFuzzer harness for the NTFS master file table reader. The input is a
// volume squeezed together: its first 512 bytes are the boot sector, the
// rest is the table from its first cluster on (whatever cluster the boot
// sector names), and every other byte of the volume reads as zero; a read
// past the input's end fails, as a truncated volume does. Seeds: the start
// of an image the tests build with mkntfs and libntfs-3g, its table's size
// cut to 24 and 48 records. For any bytes the reader must not crash, and a
// table it accepts must hold:
// - every name's parent is a record of the table, a folder in use;
// - from any record in use, the first names lead to the root or to the
//   volume's own files within as many steps as there are records (no cycle);
// - the map made from it adds up: the root's totals are the sums of every
//   folder's own files and bytes.
// Reads past the end of a buffer are ASan's to catch.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ntfs/mft.h"
#include "space/space_map.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "INVARIANT BROKEN: %s\n", what);
  fflush(stderr);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 512) return 0;
  uint64_t sector = data[0x0B] | (data[0x0C] << 8);
  uint64_t perCluster = data[0x0D];
  uint64_t lcn = 0;
  memcpy(&lcn, data + 0x30, 8);
  uint64_t cluster = sector * (perCluster ? perCluster : 1);
  uint64_t mftAt = lcn * cluster;
  if (cluster == 0 || lcn > (1u << 20) || mftAt < 512) mftAt = 512;
  uint64_t end = mftAt + (size - 512);
  tamsel::VolumeRead read = [&](uint64_t at, void* buf, size_t n) {
    if (n > end || at > end - n) return false;
    uint8_t* out = static_cast<uint8_t*>(buf);
    for (size_t i = 0; i < n; ++i) {
      uint64_t o = at + i;
      out[i] = o < 512 ? data[o] : o < mftAt ? 0 : data[512 + (o - mftAt)];
    }
    return true;
  };
  tamsel::MftTable t;
  std::string why;
  if (!tamsel::ReadMft(read, tamsel::MftReadOptions(), &t, &why)) {
    Check(!why.empty(), "a refusal without a reason");
    return 0;
  }
  uint32_t n = static_cast<uint32_t>(t.records.size());
  for (uint32_t i = 0; i < n; ++i) {
    const tamsel::MftRecord& r = t.records[i];
    if (!(r.flags & tamsel::kMftInUse)) continue;
    Check(r.firstName + static_cast<uint64_t>(r.nameCount) <= t.names.size(), "names out of range");
    for (uint32_t k = 0; k < r.nameCount; ++k) {
      const tamsel::MftName& nm = t.names[r.firstName + k];
      Check(nm.parent < n, "a parent outside the table");
      Check((t.records[nm.parent].flags & tamsel::kMftInUse) &&
                (t.records[nm.parent].flags & tamsel::kMftFolder),
            "a parent that is no folder in use");
      Check(nm.text + static_cast<uint64_t>(nm.textLen) <= t.text.size(), "a name out of range");
    }
    uint32_t cur = i;
    uint32_t steps = 0;
    while (cur != tamsel::kMftRoot && !(t.records[cur].flags & tamsel::kMftHidden) &&
           t.records[cur].nameCount > 0) {
      cur = t.names[t.records[cur].firstName].parent;
      Check(++steps <= n, "a cycle in an accepted table");
    }
  }
  tamsel::SpaceMap m;
  Check(tamsel::BuildSpaceMapFromMft(t, L"C:\\", {}, tamsel::SpaceWalkOptions(), &m),
        "no map of an accepted table");
  uint64_t bytes = 0, files = 0;
  for (const tamsel::SpaceNode& node : m.nodes) {
    bytes += node.ownBytes;
    files += node.ownFiles;
  }
  Check(m.nodes[0].bytes == bytes && m.nodes[0].files == files, "totals that do not add up");
  return 0;
}
