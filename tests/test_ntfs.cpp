// The master file table reader against NTFS images that libntfs-3g built in
// this test run (tests/ntfs/make_images.sh, the fixture "ntfs_images"), in
// both builds: every name, parent, size, link count and time the reader
// takes equals what the library itself lists for the same image; the map
// made from the table counts every file once; damaged tables are refused
// whole; the map task reads the table when the volume gives one and walks
// the folders when it does not or when the table is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/tamsel_engine.h"
#include "ntfs/mft.h"
#include "platform/platform.h"
#include "space/space_map.h"
#include "space/space_task.h"
#include "support/fixture.h"
#include "support/fixture_test.h"

using namespace tamsel;
using namespace testsupport;

namespace {

namespace fs = std::filesystem;

fs::path Images() {
  return fs::path(NTFS_IMAGES);
}

struct OracleRecord {
  bool dir = false;
  bool reparse = false;
  uint64_t bytes = 0;
  uint32_t links = 0;
  uint64_t mtime = 0;
  std::vector<std::pair<uint32_t, std::string>> names;  // parent, UTF-8
};

std::string Unhex(const std::string& h) {
  std::string o;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    o += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return o;
}

// The tree libntfs-3g listed: record parent dir reparse bytes links mtime hexname.
std::map<uint32_t, OracleRecord> Oracle(const std::string& name) {
  std::map<uint32_t, OracleRecord> out;
  std::ifstream in(Images() / (name + ".list"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    uint32_t rec, parent;
    int dir, reparse;
    uint64_t bytes, mtime;
    uint32_t links;
    std::string hex;
    ls >> rec >> parent >> dir >> reparse >> bytes >> links >> mtime >> hex;
    OracleRecord& r = out[rec];
    r.dir = dir != 0;
    r.reparse = reparse != 0;
    r.bytes = bytes;
    r.links = links;
    r.mtime = mtime;
    r.names.push_back({parent, Unhex(hex)});
  }
  return out;
}

std::vector<char> Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<char> out(static_cast<size_t>(fs::file_size(p)));
  in.read(out.data(), static_cast<std::streamsize>(out.size()));
  return out;
}

// Reads the table of an image held in memory.
bool ReadBytes(const std::vector<char>& image, MftTable* t, std::string* why) {
  VolumeRead read = [&image](uint64_t at, void* buf, size_t n) {
    if (at > image.size() || image.size() - at < n) return false;
    memcpy(buf, image.data() + at, n);
    return true;
  };
  return ReadMft(read, MftReadOptions(), t, why);
}

// Reads the table of an image file through the platform's volume reader.
bool ReadImage(const fs::path& file, MftTable* t, std::string* why) {
  tov::VolumeHandle v = tov::OpenVolumeImage(file);
  if (!v) {
    *why = "cannot open";
    return false;
  }
  bool ok =
      ReadMft([v](uint64_t at, void* buf, size_t n) { return tov::ReadVolume(v, at, buf, n); },
              MftReadOptions(), t, why);
  tov::CloseVolume(v);
  return ok;
}

TEST(Mft, ReadsEveryNameSizeAndLinkTheLibraryLists) {
  for (const char* image : {"good", "small"}) {
    SCOPED_TRACE(image);
    std::map<uint32_t, OracleRecord> oracle = Oracle(image);
    ASSERT_GT(oracle.size(), 1000u) << "the image's listing is missing";
    MftTable t;
    std::string why;
    ASSERT_TRUE(ReadImage(Images() / (std::string(image) + ".img"), &t, &why)) << why;
    size_t shown = 0;
    for (uint32_t i = 0; i < t.records.size(); ++i) {
      const MftRecord& r = t.records[i];
      if (!(r.flags & kMftInUse) || (r.flags & kMftHidden) || r.nameCount == 0 || i == kMftRoot)
        continue;
      ++shown;
      auto o = oracle.find(i);
      ASSERT_NE(o, oracle.end()) << "record " << i << " is not in the library's tree";
      std::vector<std::pair<uint32_t, std::string>> names;
      for (uint32_t k = 0; k < r.nameCount; ++k) {
        const MftName& n = t.names[r.firstName + k];
        names.push_back({n.parent, t.text.substr(n.text, n.textLen)});
      }
      std::vector<std::pair<uint32_t, std::string>> want = o->second.names;
      std::sort(names.begin(), names.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(names, want) << "record " << i;
      EXPECT_EQ((r.flags & kMftFolder) != 0, o->second.dir) << "record " << i;
      EXPECT_EQ((r.attrs & tov::kAttrReparsePoint) != 0, o->second.reparse) << "record " << i;
      if (!o->second.dir) {
        EXPECT_EQ(r.bytes, o->second.bytes) << "record " << i;
      }
      EXPECT_EQ(r.nameCount, o->second.links) << "record " << i;
      EXPECT_EQ(r.mtime, o->second.mtime) << "record " << i;
    }
    EXPECT_EQ(shown, oracle.size());
  }
}

// What the image holds that the reader must meet, so that the comparison
// above covers it: a fragmented table, a name needing an attribute list,
// streams, sparse and compressed files, a reparse point, names of every
// character.
TEST(Mft, TheImagesHoldEveryCaseTheReaderMeets) {
  std::map<uint32_t, OracleRecord> oracle = Oracle("good");
  std::map<std::string, const OracleRecord*> byName;
  for (const auto& o : oracle)
    for (const auto& n : o.second.names) byName[n.second] = &o.second;
  ASSERT_TRUE(byName.count("many-names"));
  EXPECT_EQ(byName["many-names"]->links, 25u);
  EXPECT_EQ(byName["with-streams.txt"]->bytes, 1234u + 26 + 70000);
  EXPECT_LT(byName["sparse.vhd"]->bytes, 1u << 20);  // 50 MB long, a hole between
  EXPECT_LT(byName["packed-0.log"]->bytes, 200000u);
  EXPECT_TRUE(byName["junction"]->reparse);
  EXPECT_EQ(byName["linked-1.dll"]->links, 3u);
  size_t units = 0;
  for (const auto& o : oracle)
    for (const auto& n : o.second.names)
      if (n.first ==
          byName["astral-\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xF0\xA0\x80\x80"]->names[0].first) {
        units += n.second.size();
      }
  EXPECT_GT(units, 150000u);  // every character of the BMP but '/', '\\' and the surrogates
  // The table's own runs: more than one.
  std::vector<char> img = Slurp(Images() / "good.img");
  ASSERT_GT(img.size(), 4096u);
  MftTable t;
  std::string why;
  ASSERT_TRUE(ReadBytes(img, &t, &why)) << why;
  uint64_t cluster = 4096, lcn = 0;
  memcpy(&lcn, img.data() + 0x30, 8);
  const char* r0 = img.data() + lcn * cluster;
  uint32_t at = static_cast<uint8_t>(r0[0x14]) | (static_cast<uint8_t>(r0[0x15]) << 8);
  int runs = 0;
  for (;;) {
    uint32_t type, len;
    memcpy(&type, r0 + at, 4);
    memcpy(&len, r0 + at + 4, 4);
    if (type == 0xFFFFFFFFu) break;
    if (type == 0x80) {
      uint16_t pairs;
      memcpy(&pairs, r0 + at + 0x20, 2);
      for (const char* p = r0 + at + pairs; *p; p += 1 + (*p & 0xF) + ((*p >> 4) & 0xF)) ++runs;
    }
    at += len;
  }
  EXPECT_GT(runs, 1) << "the table of the image is not fragmented";
}

// The offset of the first record whose $FILE_NAME is `name` (ASCII) in the
// table's first run, and the offset of that name's parent reference.
bool FindRecord(const std::vector<char>& img, const std::string& name, size_t* record,
                size_t* parentRef) {
  uint64_t lcn = 0;
  memcpy(&lcn, img.data() + 0x30, 8);
  size_t start = static_cast<size_t>(lcn * 4096);
  std::string u16;
  for (char c : name) u16 += std::string{c, '\0'};
  for (size_t r = start; r + 1024 <= img.size() && r < start + (2u << 20); r += 1024) {
    if (memcmp(img.data() + r, "FILE", 4) != 0) continue;
    // The name begins 0x42 bytes into the $FILE_NAME value, which follows
    // its attribute's header of 0x18 bytes; the parent reference is the
    // value's first 8 bytes. (A folder's index holds copies of its names.)
    const char* end = img.data() + r + 1024;
    for (const char* hit = img.data() + r + 0x42 + 0x18;
         (hit = std::search(hit, end, u16.begin(), u16.end())) != end; ++hit) {
      uint32_t type;
      memcpy(&type, hit - 0x42 - 0x18, 4);
      if (type != 0x30 || static_cast<uint8_t>(hit[-2]) != name.size()) continue;
      *record = r;
      *parentRef = static_cast<size_t>(hit - img.data()) - 0x42;
      return true;
    }
  }
  return false;
}

uint64_t RecordNumber(const std::vector<char>& img, size_t record) {
  uint32_t n;
  memcpy(&n, img.data() + record + 0x2C, 4);
  return n;
}

TEST(Mft, RefusesADamagedTableWhole) {
  std::vector<char> good = Slurp(Images() / "good.img");
  ASSERT_GT(good.size(), 1u << 20);
  size_t rec = 0, ref = 0, childRec = 0, childRef = 0;
  ASSERT_TRUE(FindRecord(good, "level-3", &rec, &ref));
  ASSERT_TRUE(FindRecord(good, "level-5", &childRec, &childRef));
  ASSERT_NE(ref % 512, 510u);
  struct Case {
    const char* what;
    std::function<void(std::vector<char>&)> damage;
  } cases[] = {
      {"a record whose fixups fail", [&](std::vector<char>& img) { img[rec + 510] ^= 0x55; }},
      {"a folder below its own subfolder",
       [&](std::vector<char>& img) {
         uint64_t to = RecordNumber(img, childRec);
         uint16_t seq;
         memcpy(&seq, img.data() + childRec + 0x10, 2);
         to |= static_cast<uint64_t>(seq) << 48;
         memcpy(img.data() + ref, &to, 8);
       }},
      {"a parent that is no record in use",
       [&](std::vector<char>& img) {
         uint64_t to = 0x0001000000FFFFF0ull;
         memcpy(img.data() + ref, &to, 8);
       }},
      {"a parent of another sequence number",
       [&](std::vector<char>& img) { img[ref + 6] ^= 0x01; }},
      {"a table cut short", [&](std::vector<char>& img) { img.resize(rec + 512); }},
      {"no NTFS at all", [&](std::vector<char>& img) { img[3] = 'X'; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<char> img = good;
    c.damage(img);
    MftTable t;
    std::string why;
    EXPECT_FALSE(ReadBytes(img, &t, &why));
    EXPECT_FALSE(why.empty());
  }
  // The undamaged image reads, so that the refusals above are the damage's.
  MftTable t;
  std::string why;
  EXPECT_TRUE(ReadBytes(good, &t, &why)) << why;
}

TEST(Mft, TheMapOfATableCountsEveryFileOnceUnderItsFirstName) {
  std::map<uint32_t, OracleRecord> oracle = Oracle("good");
  MftTable t;
  std::string why;
  ASSERT_TRUE(ReadImage(Images() / "good.img", &t, &why)) << why;
  SpaceMap m;
  ASSERT_TRUE(BuildSpaceMapFromMft(t, L"C:\\", {}, SpaceWalkOptions(), &m));
  uint64_t bytes = 0, files = 0, dirs = 0, linked = 0;
  for (const auto& o : oracle) {
    if (o.second.dir && !o.second.reparse) ++dirs;
    if (o.second.dir || o.second.reparse) continue;
    bytes += o.second.bytes;
    ++files;
    if (o.second.links > 1) ++linked;
  }
  EXPECT_EQ(m.nodes[0].bytes, bytes);
  EXPECT_EQ(m.nodes[0].files, files);
  EXPECT_EQ(m.nodes[0].dirs, dirs);
  EXPECT_EQ(m.nodes[0].links, linked);
  EXPECT_EQ(linked, 21u);
  // The linked files sit in links\a, where their first names are; their
  // other folders hold none of them.
  uint32_t a = FindSpaceNode(m, L"C:\\links\\a");
  ASSERT_NE(a, kSpaceNone);
  EXPECT_EQ(m.nodes[a].ownFiles, 21u);
  uint64_t aBytes = 77777;
  for (int i = 0; i < 20; ++i) aBytes += 5000 + static_cast<uint64_t>(i);
  EXPECT_EQ(m.nodes[a].ownBytes, aBytes);
  EXPECT_NE(SpaceDirJson(m, FindSpaceNode(m, L"C:\\links"),
                         MakeSpaceGuard(MakeSafetyContext(), std::wstring()))
                .find("\"links\":21}"),
            std::string::npos);
  uint32_t c = FindSpaceNode(m, L"C:\\c-links");
  ASSERT_NE(c, kSpaceNone);
  EXPECT_EQ(m.nodes[c].files, 0u);
  uint32_t j = FindSpaceNode(m, L"C:\\special\\junction");
  ASSERT_NE(j, kSpaceNone);
  EXPECT_EQ(m.nodes[j].flags, kSpaceDir | kSpaceLink);
}

// The map task on the drive root: the stand-in's raw volume is the image
// <root>/c.ntfs. Windows (wine): C: is no NTFS volume that may be read so,
// and the folders are walked.
class MftTask : public FixtureTest {};

std::string Field(const std::string& doc, const std::string& key) {
  size_t at = doc.find("\"" + key + "\":");
  if (at == std::string::npos) return "(none)";
  at += key.size() + 3;
  if (doc[at] == '"') return doc.substr(at + 1, doc.find('"', at + 1) - at - 1);
  return doc.substr(at, doc.find_first_of(",}", at) - at);
}

TEST_F(MftTask, TheMapTaskReadsTheTableOrFallsBackToTheWalk) {
#ifdef _WIN32
  ASSERT_TRUE(StartSpaceMap(L"C:\\", {}));
  ASSERT_TRUE(WaitTask(300000));
  std::string info = SpaceInfoDoc();
  EXPECT_EQ(Field(info, "method"), "walk") << info;
  std::string text = Field(info, "methodText");
  EXPECT_EQ(text.rfind("逐个文件夹扫描（", 0), 0u) << info;
  EXPECT_NE(text.find("，用时 "), std::string::npos) << info;
  EXPECT_EQ(Field(info, "linksNote"), "硬链接的文件可能被重复计算");
#else
  // Beside the drive's folder, as the stand-in keeps a drive's capacity.
  std::string drive = tov::HostPath(L"C:\\").string();
  while (drive.size() > 1 && drive.back() == '/') drive.pop_back();
  fs::path volume = fs::path(drive).parent_path() / "c.ntfs";
  ASSERT_TRUE(PlantFile(At(L"plain.txt"), 5));
  struct Case {
    const char* what;
    bool image;
    bool damaged;
    bool walk;
    const char* method;
    const char* text;
  } cases[] = {
      {"no volume", false, false, false, "walk", "逐个文件夹扫描（C 盘不是 NTFS 文件系统），用时 "},
      {"a volume", true, false, false, "mft", "读取 NTFS 主文件表，用时 "},
      {"the walk chosen", true, false, true, "walk", "逐个文件夹扫描（按你的选择），用时 "},
      {"a damaged table", true, true, false, "walk",
       "逐个文件夹扫描（主文件表无法读取或内容不一致），用时 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(volume);
    if (c.image) {
      std::vector<char> img = Slurp(Images() / "good.img");
      if (c.damaged) img.resize(img.size() / 4);
      std::ofstream(volume, std::ios::binary)
          .write(img.data(), static_cast<std::streamsize>(img.size()));
    }
    SetSpaceMapForTest(SpaceMap());
    ASSERT_TRUE(StartSpaceMap(L"C:\\", {}, c.walk));
    ASSERT_TRUE(WaitTask(120000));
    std::string info = SpaceInfoDoc();
    EXPECT_EQ(Field(info, "method"), c.method) << info;
    EXPECT_EQ(Field(info, "methodText").rfind(c.text, 0), 0u) << info;
    std::string root = SpaceDirDoc("", MakeSpaceGuard(MakeSafetyContext(), std::wstring()));
    if (std::string(c.method) == "mft")
      EXPECT_NE(root.find("\"name\":\"links\""), std::string::npos) << root;
    else
      EXPECT_EQ(root.find("\"name\":\"links\""), std::string::npos) << root;
  }
  fs::remove(volume);
#endif
}

}  // namespace
