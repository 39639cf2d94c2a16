#include "ntfs/mft.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace tamsel {
namespace {

constexpr uint32_t kFirstUserRecord = 24;  // 0-15 the volume's files, 16-23 reserved
constexpr uint32_t kAttrStandard = 0x10;
constexpr uint32_t kAttrList = 0x20;
constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrData = 0x80;
constexpr uint32_t kAttrEnd = 0xFFFFFFFFu;
constexpr uint16_t kStreamCompressed = 0x0001;
constexpr uint16_t kStreamSparse = 0x8000;
constexpr uint8_t kNameDos = 2;
constexpr size_t kSector = 512;      // the stride of the fixups
constexpr size_t kBootBytes = 4096;  // read whole, whatever the sector size
constexpr uint64_t kMaxRecords = 1u << 31;

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(Le16(p)) | (static_cast<uint32_t>(Le16(p + 2)) << 16);
}
uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

bool Fail(std::string* why, const char* text) {
  *why = text;
  return false;
}

// One extent of the $MFT's data on the volume.
struct Run {
  uint64_t vcn = 0;  // first cluster of the table it holds
  uint64_t lcn = 0;  // where on the volume
  uint64_t count = 0;
};

// Decodes the mapping pairs of a non-resident attribute; false on a
// malformed list. Sparse runs have no place and are refused here: the
// table itself is never sparse.
bool DecodeRuns(const uint8_t* p, const uint8_t* end, uint64_t vcn, std::vector<Run>* runs) {
  int64_t lcn = 0;
  while (p < end && *p != 0) {
    unsigned lenBytes = *p & 0xF, offBytes = *p >> 4;
    ++p;
    if (lenBytes == 0 || lenBytes > 8 || offBytes > 8 || end - p < lenBytes + offBytes)
      return false;
    uint64_t count = 0;
    for (unsigned i = 0; i < lenBytes; ++i) count |= static_cast<uint64_t>(p[i]) << (8 * i);
    p += lenBytes;
    if (offBytes == 0) return false;
    uint64_t delta = 0;
    for (unsigned i = 0; i < offBytes; ++i) delta |= static_cast<uint64_t>(p[i]) << (8 * i);
    if (offBytes < 8 && (p[offBytes - 1] & 0x80)) delta |= ~0ull << (8 * offBytes);
    p += offBytes;
    lcn = static_cast<int64_t>(static_cast<uint64_t>(lcn) + delta);
    if (lcn < 0 || count == 0 || count > (1ull << 40)) return false;
    runs->push_back(Run{vcn, static_cast<uint64_t>(lcn), count});
    vcn += count;
  }
  return p < end;
}

// Applies the update-sequence fixups of one record in place.
bool Fixup(uint8_t* r, size_t size) {
  uint16_t ofs = Le16(r + 4), count = Le16(r + 6);
  if (count != size / kSector + 1 || ofs < 0x28 || ofs + 2u * count > kSector || (ofs & 1))
    return false;
  const uint8_t* usa = r + ofs;
  for (size_t i = 1; i < count; ++i) {
    uint8_t* tail = r + i * kSector - 2;
    if (tail[0] != usa[0] || tail[1] != usa[1]) return false;
    tail[0] = usa[2 * i];
    tail[1] = usa[2 * i + 1];
  }
  return true;
}

// A name's UTF-16 (little endian) as UTF-8; a lone surrogate becomes U+FFFD.
void AppendName(const uint8_t* p, size_t units, std::string* out) {
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = Le16(p + 2 * i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      uint32_t d = Le16(p + 2 * i + 2);
      if (d >= 0xDC00 && d < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
    tov::AppendUtf8(c, out);
  }
}

// A name as read, before the names are grouped by record.
struct RawName {
  uint32_t owner;
  uint32_t parent;  // kMftNone for a number beyond any table
  uint32_t text;
  uint16_t parentSeq;
  uint16_t textLen;  // at most 255 UTF-16 units, 765 bytes
};

// A record's parts while the table is read.
struct Reading {
  std::vector<MftRecord>* records;
  std::vector<uint64_t> extensions;  // the base reference of every extension record
  std::vector<RawName> names;
  std::string* text;
};

// The attribute at a, of a record of `size` bytes; false when it runs out.
bool AttrFits(const uint8_t* r, size_t size, size_t at, uint32_t* len) {
  if (at + 8 > size) return false;
  uint32_t type = Le32(r + at);
  if (type == kAttrEnd) {
    *len = 0;
    return true;
  }
  *len = Le32(r + at + 4);
  return *len >= 0x18 && (*len & 7) == 0 && at + *len <= size;
}

// The size a stream takes: resident length, non-resident real size, or the
// allocated clusters of a sparse or compressed one. Only the first extent
// (lowest VCN 0) of a stream carries its sizes.
bool StreamBytes(const uint8_t* a, uint32_t len, uint64_t* bytes, bool* first) {
  if (a[8] == 0) {
    uint32_t vlen = Le32(a + 0x10);
    uint16_t voff = Le16(a + 0x14);
    if (voff + static_cast<uint64_t>(vlen) > len) return false;
    *bytes = vlen;
    *first = true;
    return true;
  }
  if (len < 0x40) return false;
  *first = Le64(a + 0x10) == 0;
  uint16_t flags = Le16(a + 0x0C);
  if (flags & (kStreamCompressed | kStreamSparse)) {
    if (len < 0x48) return false;
    *bytes = Le64(a + 0x40);
  } else {
    *bytes = Le64(a + 0x30);
  }
  return true;
}

// Takes one record (fixed up) into the reading. False on a malformed one.
bool TakeRecord(Reading& rd, uint32_t number, uint8_t* r, size_t size) {
  uint16_t flags = Le16(r + 0x16);
  uint16_t first = Le16(r + 0x14);
  uint32_t used = Le32(r + 0x18);
  if (used > size || first < 0x30 || first >= used) return false;
  uint64_t base = Le64(r + 0x20) & 0xFFFFFFFFFFFFull;
  uint32_t owner = number;
  if (base != 0) {
    if (base >= rd.records->size()) return false;
    rd.extensions.push_back(Le64(r + 0x20));
    owner = static_cast<uint32_t>(base);
  } else {
    MftRecord& m = (*rd.records)[number];
    m.flags = kMftInUse | ((flags & 0x2) ? kMftFolder : 0);
  }
  (*rd.records)[number].seq = Le16(r + 0x10);
  uint64_t bytes = 0;
  bool haveInfo = false;
  uint32_t attrs = 0;
  uint64_t mtime = 0;
  for (size_t at = first;;) {
    uint32_t len = 0;
    if (!AttrFits(r, used, at, &len)) return false;
    if (len == 0) break;
    const uint8_t* a = r + at;
    uint32_t type = Le32(a);
    bool resident = a[8] == 0;
    uint8_t nameLen = a[9];
    if (nameLen != 0 && Le16(a + 0x0A) + 2u * nameLen > len) return false;
    if (type == kAttrStandard || type == kAttrFileName) {
      if (!resident) return false;
      uint32_t vlen = Le32(a + 0x10);
      uint16_t voff = Le16(a + 0x14);
      if (voff + static_cast<uint64_t>(vlen) > len) return false;
      const uint8_t* v = a + voff;
      if (type == kAttrStandard) {
        if (vlen < 0x24) return false;
        mtime = Le64(v + 0x08);
        attrs = Le32(v + 0x20);
        haveInfo = true;
      } else {
        if (vlen < 0x42 || 0x42u + 2u * v[0x40] > vlen) return false;
        if (v[0x41] != kNameDos) {
          RawName n;
          n.owner = owner;
          uint64_t parent = Le64(v) & 0xFFFFFFFFFFFFull;
          n.parent = parent < kMaxRecords ? static_cast<uint32_t>(parent) : kMftNone;
          n.parentSeq = Le16(v + 6);
          n.text = static_cast<uint32_t>(rd.text->size());
          AppendName(v + 0x42, v[0x40], rd.text);
          n.textLen = static_cast<uint16_t>(rd.text->size() - n.text);
          rd.names.push_back(n);
        }
      }
    } else if (type == kAttrData) {
      uint64_t b = 0;
      bool firstExtent = false;
      if (!StreamBytes(a, len, &b, &firstExtent)) return false;
      if (firstExtent) bytes += b;
    }
    at += len;
  }
  if (base == 0) {
    MftRecord& m = (*rd.records)[number];
    m.bytes += bytes;
    if (haveInfo) {
      m.attrs = attrs;
      m.mtime = mtime;
    }
  } else if (bytes) {
    // The base may come later in the table: its slot exists already.
    (*rd.records)[owner].bytes += bytes;
  }
  return true;
}

struct Boot {
  uint32_t bytesPerCluster = 0;
  uint32_t recordBytes = 0;
  uint64_t mftLcn = 0;
  uint64_t totalBytes = 0;
};

bool ReadBoot(const VolumeRead& read, const MftGeometry& known, Boot* b, std::string* why) {
  std::vector<uint8_t> s(kBootBytes);
  if (!read(0, s.data(), s.size())) return Fail(why, "boot sector unreadable");
  if (memcmp(s.data() + 3, "NTFS    ", 8) != 0) return Fail(why, "not NTFS");
  uint32_t sector = Le16(s.data() + 0x0B);
  uint32_t perCluster = s[0x0D];
  if (sector < 256 || sector > 4096 || (sector & (sector - 1))) return Fail(why, "bad sector size");
  // Clusters above 64 KB, and records smaller than a cluster, are written
  // as negative powers of two.
  uint64_t cluster = 0;
  if (perCluster <= 0x80)
    cluster = static_cast<uint64_t>(sector) * perCluster;
  else if (256 - perCluster <= 21)
    cluster = 1ull << (256 - perCluster);
  if (cluster == 0 || cluster > (2u << 20) || (cluster & (cluster - 1)))
    return Fail(why, "bad cluster size");
  int rec = static_cast<int8_t>(s[0x40]);
  uint64_t recordBytes = 0;
  if (rec > 0 && rec <= 64)
    recordBytes = cluster * static_cast<uint64_t>(rec);
  else if (rec < 0 && rec >= -16)
    recordBytes = 1ull << (-rec);
  if (recordBytes < 1024 || recordBytes > 65536 || (recordBytes & (recordBytes - 1)))
    return Fail(why, "bad record size");
  b->bytesPerCluster = static_cast<uint32_t>(cluster);
  b->recordBytes = static_cast<uint32_t>(recordBytes);
  b->mftLcn = Le64(s.data() + 0x30);
  b->totalBytes = Le64(s.data() + 0x28) * sector;
  if ((known.bytesPerCluster && known.bytesPerCluster != b->bytesPerCluster) ||
      (known.recordBytes && known.recordBytes != b->recordBytes) ||
      (known.mftStartLcn && known.mftStartLcn != b->mftLcn))
    return Fail(why, "boot sector disagrees with the system");
  return true;
}

// Reads a record of the table itself by its number through the runs known
// so far, fixed up; false when they do not reach it or it is damaged.
bool ReadOwnRecord(const VolumeRead& read, const Boot& b, const std::vector<Run>& runs,
                   uint64_t number, std::vector<uint8_t>* r) {
  uint64_t byte = number * b.recordBytes;
  uint64_t vcn = byte / b.bytesPerCluster;
  for (const Run& run : runs) {
    if (vcn < run.vcn || vcn - run.vcn >= run.count) continue;
    uint64_t at = run.lcn * b.bytesPerCluster + (byte - run.vcn * b.bytesPerCluster);
    r->assign(b.recordBytes, 0);
    return read(at, r->data(), r->size()) && memcmp(r->data(), "FILE", 4) == 0 &&
           Fixup(r->data(), r->size());
  }
  return false;
}

// The unnamed $DATA extents of one record of the table: their runs, and
// the table's size from the extent that starts at VCN 0. *others: the
// records an $ATTRIBUTE_LIST names for further extents (record 0 only).
bool TakeOwnData(const VolumeRead& read, const Boot& b, const std::vector<uint8_t>& r,
                 std::vector<Run>* runs, uint64_t* size, bool* sized,
                 std::vector<uint64_t>* others) {
  uint32_t used = Le32(r.data() + 0x18);
  size_t at = Le16(r.data() + 0x14);
  if (used > r.size() || at < 0x30) return false;
  for (;;) {
    uint32_t len = 0;
    if (!AttrFits(r.data(), used, at, &len)) return false;
    if (len == 0) return true;
    const uint8_t* a = r.data() + at;
    uint32_t type = Le32(a);
    if (type == kAttrList && others) {
      // A table so fragmented that its extents spread over other records:
      // the list names them (resident, or in clusters of its own).
      std::vector<uint8_t> list;
      if (a[8] == 0) {
        uint32_t vlen = Le32(a + 0x10);
        uint16_t voff = Le16(a + 0x14);
        if (voff + static_cast<uint64_t>(vlen) > len) return false;
        list.assign(a + voff, a + voff + vlen);
      } else {
        if (len < 0x40) return false;
        uint16_t pairs = Le16(a + 0x20);
        uint64_t bytes = Le64(a + 0x30);
        std::vector<Run> listRuns;
        if (pairs >= len || bytes > (16u << 20) || !DecodeRuns(a + pairs, a + len, 0, &listRuns))
          return false;
        list.resize(static_cast<size_t>(bytes));
        size_t got = 0;
        for (const Run& run : listRuns) {
          if (got >= list.size()) break;
          size_t n = static_cast<size_t>(
              std::min<uint64_t>(run.count * b.bytesPerCluster, list.size() - got));
          if (!read(run.lcn * b.bytesPerCluster, list.data() + got, n)) return false;
          got += n;
        }
        if (got < list.size()) return false;
      }
      for (size_t e = 0; e + 0x1A <= list.size();) {
        uint16_t elen = Le16(list.data() + e + 4);
        if (elen < 0x1A || e + elen > list.size()) return false;
        uint64_t rec = Le64(list.data() + e + 0x10) & 0xFFFFFFFFFFFFull;
        if (Le32(list.data() + e) == kAttrData && list[e + 6] == 0 && rec != 0 &&
            std::find(others->begin(), others->end(), rec) == others->end())
          others->push_back(rec);
        e += elen;
      }
    }
    if (type == kAttrData && a[9] == 0) {
      if (a[8] == 0 || len < 0x40) return false;
      uint16_t pairs = Le16(a + 0x20);
      uint64_t lowest = Le64(a + 0x10);
      if (pairs >= len || !DecodeRuns(a + pairs, a + len, lowest, runs)) return false;
      if (lowest == 0) {
        // What is written of the table: beyond it lie records never used.
        *size = std::min(Le64(a + 0x30), Le64(a + 0x38));
        *sized = true;
      }
    }
    at += len;
  }
}

// The $MFT's runs and its size in bytes, from record 0 (and the records its
// attribute list names, when its extents spread over several).
bool ReadMftRuns(const VolumeRead& read, const Boot& b, std::vector<Run>* runs, uint64_t* size,
                 std::string* why) {
  std::vector<uint8_t> r(b.recordBytes);
  if (!read(b.mftLcn * b.bytesPerCluster, r.data(), r.size()))
    return Fail(why, "record 0 unreadable");
  if (memcmp(r.data(), "FILE", 4) != 0 || !Fixup(r.data(), r.size()))
    return Fail(why, "record 0 damaged");
  bool sized = false;
  std::vector<uint64_t> others;
  if (!TakeOwnData(read, b, r, runs, size, &sized, &others)) return Fail(why, "record 0 damaged");
  // An extension's extents may be needed to reach the next extension: take
  // them in the order they become reachable.
  while (!others.empty()) {
    bool progress = false;
    for (size_t i = 0; i < others.size();) {
      if (!ReadOwnRecord(read, b, *runs, others[i], &r)) {
        ++i;
        continue;
      }
      if (!TakeOwnData(read, b, r, runs, size, &sized, nullptr))
        return Fail(why, "$MFT extension damaged");
      others.erase(others.begin() + static_cast<std::ptrdiff_t>(i));
      progress = true;
    }
    if (!progress) return Fail(why, "$MFT extension unreachable");
  }
  std::sort(runs->begin(), runs->end(), [](const Run& x, const Run& y) { return x.vcn < y.vcn; });
  uint64_t next = 0;
  for (const Run& run : *runs) {
    if (run.vcn != next) return Fail(why, "$MFT runs not contiguous");
    next += run.count;
  }
  if (!sized || runs->empty()) return Fail(why, "$MFT has no data");
  if (next * b.bytesPerCluster < *size) return Fail(why, "$MFT runs too short");
  if (*size / b.recordBytes >= kMaxRecords) return Fail(why, "$MFT too large");
  return true;
}

// Groups the names by record, resolves their parents and checks the tree.
bool Resolve(Reading& rd, MftTable* out, std::string* why) {
  std::vector<MftRecord>& recs = out->records;
  uint32_t n = static_cast<uint32_t>(recs.size());
  if (n <= kMftRoot || !(recs[kMftRoot].flags & kMftFolder)) return Fail(why, "no root folder");
  // An extension belongs to a base record in use with its sequence number.
  for (uint64_t ref : rd.extensions) {
    uint64_t base = ref & 0xFFFFFFFFFFFFull;
    if (base >= n || !(recs[base].flags & kMftInUse) || recs[base].seq != (ref >> 48))
      return Fail(why, "extension record of no base");
  }
  for (uint32_t i = 0; i < kFirstUserRecord && i < n; ++i)
    if (i != kMftRoot && (recs[i].flags & kMftInUse)) recs[i].flags |= kMftHidden;
  // Counting sort of the names by owner, keeping their order.
  for (const RawName& rn : rd.names)
    if (rn.owner >= n || !(recs[rn.owner].flags & kMftInUse))
      return Fail(why, "name of a record not in use");
  for (MftRecord& r : recs) r.nameCount = 0;
  for (const RawName& rn : rd.names) {
    if (recs[rn.owner].nameCount == 0xFFFF) return Fail(why, "too many names");
    recs[rn.owner].nameCount++;
  }
  uint32_t at = 0;
  for (MftRecord& r : recs) {
    r.firstName = at;
    at += r.nameCount;
    r.nameCount = 0;
  }
  out->names.assign(rd.names.size(), MftName());
  for (const RawName& rn : rd.names) {
    uint32_t parent = rn.parent;
    uint16_t seq = rn.parentSeq;
    MftRecord& r = recs[rn.owner];
    if (rn.owner == kMftRoot) continue;  // the root's own name, "."
    if (parent >= n || !(recs[parent].flags & kMftInUse) || !(recs[parent].flags & kMftFolder) ||
        recs[parent].seq != seq)
      return Fail(why, "parent does not resolve");
    out->names[r.firstName + r.nameCount++] = MftName{parent, rn.text, rn.textLen};
  }
  std::vector<RawName>().swap(rd.names);
  // Every folder reaches the root through its first name, or is hidden; a
  // folder met again on its own way up is a cycle. state: 0 unknown,
  // 1 on the way, 2 reaches the root, 3 hidden.
  std::vector<uint8_t> state(n, 0);
  state[kMftRoot] = 2;
  for (uint32_t i = 0; i < kFirstUserRecord && i < n; ++i)
    if (recs[i].flags & kMftHidden) state[i] = 3;
  std::vector<uint32_t> way;
  for (uint32_t i = 0; i < n; ++i) {
    if (!(recs[i].flags & kMftInUse) || state[i] != 0) continue;
    way.clear();
    uint32_t cur = i;
    while (state[cur] == 0) {
      state[cur] = 1;
      way.push_back(cur);
      const MftRecord& r = recs[cur];
      if (r.nameCount == 0) {
        cur = kMftNone;
        break;
      }
      cur = out->names[r.firstName].parent;
    }
    uint8_t end;
    if (cur == kMftNone)
      end = 3;  // a record of no name: nothing a listing shows
    else if (state[cur] == 1)
      return Fail(why, "folder cycle");
    else
      end = state[cur];
    for (uint32_t w : way) {
      state[w] = end;
      if (end == 3) recs[w].flags |= kMftHidden;
    }
  }
  return true;
}

}  // namespace

bool ReadMft(const VolumeRead& read, const MftReadOptions& opt, MftTable* out, std::string* why) {
  *out = MftTable();
  Boot boot;
  if (!ReadBoot(read, opt.known, &boot, why)) return false;
  std::vector<Run> runs;
  uint64_t size = 0;
  if (!ReadMftRuns(read, boot, &runs, &size, why)) return false;
  uint64_t count = size / boot.recordBytes;
  out->records.assign(count, MftRecord());
  Reading rd;
  rd.records = &out->records;
  rd.text = &out->text;
  // About one name of some twenty bytes per record: grown once, not by doubling.
  rd.names.reserve(static_cast<size_t>(count));
  out->text.reserve(static_cast<size_t>(count) * 20);
  // Chunks of a few MB, or the whole table when it is smaller.
  uint64_t perChunk =
      std::max<uint64_t>(std::min<uint64_t>(kMftChunkBytes / boot.recordBytes, count), 1);
  size_t chunk = static_cast<size_t>(perChunk * boot.recordBytes);
  std::vector<uint8_t> buf(chunk);
  uint64_t number = 0;
  for (const Run& run : runs) {
    uint64_t start = run.vcn * boot.bytesPerCluster;
    uint64_t bytes = run.count * boot.bytesPerCluster;
    if (start >= size) break;
    bytes = std::min(bytes, size - start);
    for (uint64_t done = 0; done < bytes;) {
      if (opt.cancelled && opt.cancelled()) return Fail(why, "cancelled");
      size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, bytes - done));
      n -= n % boot.recordBytes;
      if (n == 0) break;
      uint64_t at = run.lcn * boot.bytesPerCluster + done;
      if (boot.totalBytes && at + n > boot.totalBytes) return Fail(why, "$MFT beyond the volume");
      if (!read(at, buf.data(), n)) return Fail(why, "$MFT truncated");
      out->bytesRead += n;
      for (size_t off = 0; off < n; off += boot.recordBytes, ++number) {
        uint8_t* r = buf.data() + off;
        out->recordsRead++;
        if (number >= count) break;
        if (memcmp(r, "FILE", 4) != 0) {
          // Never written, or marked bad by a check of the disk.
          if (memcmp(r, "BAAD", 4) == 0) return Fail(why, "record marked bad");
          continue;
        }
        if (!(Le16(r + 0x16) & 0x1)) continue;  // not in use
        if (!Fixup(r, boot.recordBytes)) return Fail(why, "record fails its fixups");
        uint32_t self = Le32(r + 0x2C);
        if (Le16(r + 0x04) >= 0x30 && self != static_cast<uint32_t>(number))
          return Fail(why, "record out of place");
        if (!TakeRecord(rd, static_cast<uint32_t>(number), r, boot.recordBytes))
          return Fail(why, "record damaged");
      }
      done += n;
    }
  }
  if (number < count) return Fail(why, "$MFT truncated");
  return Resolve(rd, out, why);
}

}  // namespace tamsel
