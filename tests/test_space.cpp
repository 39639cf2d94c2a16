// The space map against real file trees on drive C:, in both builds: the
// exact totals, order and rest bucket of the folder documents, the largest
// files and the kinds, links and denied folders, deep and non-ASCII paths,
// cancel, the multi-threaded walk against the single-threaded one, the map
// task on the engine's one task thread, and the recycle bookkeeping.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/tamsel_engine.h"
#include "engine/walk.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "space/space_map.h"
#include "space/space_task.h"
#include "support/fixture.h"
#include "support/fixture_test.h"
#include "support/walk_hold.h"

using namespace tamsel;
using namespace testsupport;

namespace {

// 2020-01-01 00:00:00 UTC as a FILETIME.
constexpr uint64_t kTime = 132223104000000000ULL;

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

class Space : public FixtureTest {
 protected:
  std::string U(const std::wstring& rel) { return W2U(rel.empty() ? Root() : At(rel)); }
};

std::string Esc(const std::string& s) {
  std::string o;
  for (char c : s) {
    if (c == '\\' || c == '"') o += '\\';
    o += c;
  }
  return o;
}

// The refusals' texts as the page shows them.
const char kLinkText[] = "这是链接（指向别处的文件夹），不能移到回收站";

// A child of a folder document; a link's refusal is a link's.
std::string Child(const std::string& name, bool dir, bool link, uint64_t bytes, uint64_t files,
                  uint64_t dirs, const std::string& item = std::string(),
                  const std::string& refuse = std::string()) {
  std::string o = "{\"name\":\"" + Esc(name) + "\",\"dir\":" + (dir ? "true" : "false") +
                  ",\"link\":" + (link ? "true" : "false") + ",\"bytes\":" + std::to_string(bytes) +
                  ",\"files\":" + std::to_string(files) + ",\"dirs\":" + std::to_string(dirs);
  if (!item.empty()) o += ",\"item\":\"" + item + "\"";
  return o + ",\"refuse\":\"" + (link && refuse.empty() ? kLinkText : refuse) + "\"}";
}

// The refusals' guard of the moment, without protected paths.
SpaceGuard Guard() {
  return MakeSpaceGuard(MakeSafetyContext(), std::wstring());
}

std::string DirDoc(const std::string& path, uint64_t bytes, uint64_t files, uint64_t dirs,
                   uint64_t denied, const std::vector<std::string>& children,
                   uint64_t restCount = 0, uint64_t restBytes = 0) {
  std::string o = "{\"ok\":true,\"path\":\"" + Esc(path) + "\",\"bytes\":" + std::to_string(bytes) +
                  ",\"files\":" + std::to_string(files) + ",\"dirs\":" + std::to_string(dirs) +
                  ",\"denied\":" + std::to_string(denied) + ",\"children\":[";
  for (size_t i = 0; i < children.size(); ++i) o += (i ? "," : "") + children[i];
  return o + "],\"rest\":{\"count\":" + std::to_string(restCount) +
         ",\"bytes\":" + std::to_string(restBytes) + "}}";
}

std::string Doc(const SpaceMap& m, const std::wstring& path) {
  uint32_t node = FindSpaceNode(m, path);
  if (node == kSpaceNone) return "(not in the map)";
  return SpaceDirJson(m, node, Guard());
}

SpaceMap MapOf(const std::wstring& root, int threads,
               const std::vector<SpaceTarget>& targets = {}) {
  SpaceMap m;
  SpaceWalkOptions opt;
  opt.threads = threads;
  EXPECT_TRUE(BuildSpaceMap(root, targets, opt, &m));
  return m;
}

// Takes the owner's read permission away (the stand-in's emulation of a
// folder the user may not list), and gives it back.
bool DenyFolder(const std::wstring& winPath, bool deny, std::string* why) {
#ifdef _WIN32
  (void)winPath;
  (void)deny;
  *why = "wine keeps no permissions a Windows program could be denied by";
  return false;
#else
  (void)why;
  std::error_code ec;
  std::filesystem::permissions(
      tov::HostPath(winPath),
      deny ? std::filesystem::perms::none : std::filesystem::perms::owner_all,
      std::filesystem::perm_options::replace, ec);
  return !ec;
#endif
}

// The fixture of the exact-document tests: sizes are distinct powers of two
// so that every total names exactly the files in it.
struct Planted {
  bool link = false;
  bool denied = false;
  std::string why;
};

std::wstring DeepChain(const std::wstring& base, int levels) {
  std::wstring p = base;
  for (int i = 0; i < levels; ++i) p += L"\\level-" + std::to_wstring(i) + L"-abcdefghij";
  return p;
}

Planted PlantTree(const std::function<std::wstring(const std::wstring&)>& at) {
  Planted p;
  EXPECT_TRUE(PlantFile(at(L"a.mp4"), 1024, false, kTime));
  EXPECT_TRUE(PlantFile(at(L"b.txt"), 2, false, kTime));
  EXPECT_TRUE(PlantFile(at(L"noext"), 4, false, kTime));
  EXPECT_TRUE(PlantFile(at(L"big\\v1.mkv"), 4096, false, kTime));
  EXPECT_TRUE(PlantFile(at(L"big\\sub\\x.zip"), 8192, false, kTime));
  EXPECT_TRUE(PlantFile(at(L"big\\sub\\Y.DLL"), 16, false, kTime));
  EXPECT_TRUE(PlantFile(at(L"中文目录\\文件.iso"), 32768, false, kTime));
  EXPECT_TRUE(MakeDir(at(L"empty")));
  EXPECT_TRUE(PlantFile(DeepChain(at(L"deep"), 24) + L"\\end.bin", 64, false, kTime));
  EXPECT_TRUE(PlantFile(at(L"locked\\secret.pdf"), 128, false, kTime));
  p.link = PlantDirLink(at(L"lnk"), at(L"big"), &p.why);
  std::string why;
  p.denied = DenyFolder(at(L"locked"), true, &why);
  if (!p.denied) p.why += (p.why.empty() ? "" : "; ") + why;
  return p;
}

TEST_F(Space, FolderDocumentsTopFilesAndKindsAreExact) {
  Planted p = PlantTree([this](const std::wstring& r) { return At(r); });
  if (!p.why.empty()) std::printf("[ note ] part of the fixture is missing: %s\n", p.why.c_str());
  std::vector<SpaceTarget> targets = {{"sub-item", At(L"big\\sub")},
                                      {"big-item", At(L"big")},
                                      {"second", At(L"big")},
                                      {"missing", At(L"nothere")}};
  SpaceMap m = MapOf(Root(), 3, targets);
  if (p.denied) DenyFolder(At(L"locked"), false, &p.why);

  // locked holds 128 bytes the map cannot see when it is denied.
  uint64_t lockedBytes = p.denied ? 0 : 128, lockedFiles = p.denied ? 0 : 1;
  std::vector<std::string> rootChildren = {Child("中文目录", true, false, 32768, 1, 0),
                                           Child("big", true, false, 12304, 3, 1, "big-item"),
                                           Child("", false, false, 1030, 3, 0)};
  if (!p.denied) rootChildren.push_back(Child("locked", true, false, 128, 1, 0));
  rootChildren.push_back(Child("deep", true, false, 64, 1, 24));
  rootChildren.push_back(Child("empty", true, false, 0, 0, 0));
  if (p.link) rootChildren.push_back(Child("lnk", true, true, 0, 0, 0));
  if (p.denied) rootChildren.push_back(Child("locked", true, false, 0, 0, 0));
  EXPECT_EQ(Doc(m, Root()), DirDoc(U(L""), 46166 + lockedBytes, 8 + lockedFiles, 30,
                                   p.denied ? 1 : 0, rootChildren));
  EXPECT_EQ(Doc(m, At(L"big")), DirDoc(U(L"big"), 12304, 3, 1, 0,
                                       {Child("sub", true, false, 8208, 2, 0, "sub-item"),
                                        Child("", false, false, 4096, 1, 0, "big-item")}));
  // Letter case of the path does not matter where the exact name is missing.
  EXPECT_EQ(Doc(m, At(L"BIG\\Sub")), Doc(m, At(L"big\\sub")));
  EXPECT_EQ(Doc(m, At(L"中文目录")),
            DirDoc(U(L"中文目录"), 32768, 1, 0, 0, {Child("", false, false, 32768, 1, 0)}));
  std::wstring bottom = DeepChain(At(L"deep"), 24);
  ASSERT_GT(bottom.size(), 260u);
  EXPECT_EQ(Doc(m, bottom), DirDoc(W2U(bottom), 64, 1, 0, 0, {Child("", false, false, 64, 1, 0)}));
  if (p.denied) {
    EXPECT_EQ(Doc(m, At(L"locked")), DirDoc(U(L"locked"), 0, 0, 0, 1, {}));
  }
  // Nothing lies below a link, and no walk went through it.
  if (p.link) {
    EXPECT_EQ(FindSpaceNode(m, At(L"lnk\\sub")), kSpaceNone);
  }
  EXPECT_EQ(FindSpaceNode(m, At(L"nothere")), kSpaceNone);
  EXPECT_EQ(FindSpaceNode(m, Root() + L"x"), kSpaceNone);  // a sibling that starts alike

  auto file = [this](const std::wstring& rel, uint64_t bytes) {
    return "{\"path\":\"" + Esc(U(rel)) + "\",\"bytes\":" + std::to_string(bytes) +
           ",\"time\":" + std::to_string(kTime) + ",\"refuse\":\"\"}";
  };
  std::string top = "{\"ok\":true,\"files\":[" + file(L"中文目录\\文件.iso", 32768) + "," +
                    file(L"big\\sub\\x.zip", 8192) + "," + file(L"big\\v1.mkv", 4096) + "," +
                    file(L"a.mp4", 1024);
  if (!p.denied) top += "," + file(L"locked\\secret.pdf", 128);
  top += std::string(",") + "{\"path\":\"" + Esc(W2U(bottom + L"\\end.bin")) +
         "\",\"bytes\":64,\"time\":" + std::to_string(kTime) + ",\"refuse\":\"\"}";
  std::string rest = top + "," + file(L"big\\sub\\Y.DLL", 16) + "," + file(L"noext", 4) + "," +
                     file(L"b.txt", 2) + "]}";
  EXPECT_EQ(SpaceTopJson(m, 1000, Guard()), rest);
  EXPECT_EQ(SpaceTopJson(m, 2, Guard()), "{\"ok\":true,\"files\":[" +
                                             file(L"中文目录\\文件.iso", 32768) + "," +
                                             file(L"big\\sub\\x.zip", 8192) + "]}");

  // The denied folder's pdf is missing from the documents when it is denied.
  std::string docs = p.denied ? "{\"kind\":\"文档\",\"bytes\":2,\"files\":1},"
                              : "{\"kind\":\"文档\",\"bytes\":130,\"files\":2},";
  EXPECT_EQ(SpaceKindsJson(m),
            "{\"ok\":true,\"kinds\":[{\"kind\":\"光盘与虚拟磁盘\",\"bytes\":32768,\"files\":1},"
            "{\"kind\":\"压缩包\",\"bytes\":8192,\"files\":1},"
            "{\"kind\":\"视频\",\"bytes\":5120,\"files\":2}," +
                (p.denied ? std::string() : docs) +
                "{\"kind\":\"其他\",\"bytes\":68,\"files\":2},"
                "{\"kind\":\"程序与库\",\"bytes\":16,\"files\":1}," +
                (p.denied ? docs : std::string()) +
                "{\"kind\":\"音频\",\"bytes\":0,\"files\":0},"
                "{\"kind\":\"图片\",\"bytes\":0,\"files\":0},"
                "{\"kind\":\"安装包\",\"bytes\":0,\"files\":0}]}");
}

TEST_F(Space, AFolderListsItsLargestChildrenAndTheRestAsOneBucket) {
  // 305 folders with 1..305 bytes, and 3 with equal sizes ordered by name.
  for (int i = 1; i <= 305; ++i)
    ASSERT_TRUE(PlantFile(At(L"many\\f" + std::to_wstring(i) + L"\\x"), static_cast<uint64_t>(i)));
  for (const wchar_t* n : {L"tie-b", L"tie-a", L"tie-c"})
    ASSERT_TRUE(PlantFile(At(std::wstring(L"many\\") + n + L"\\x"), 1000));
  SpaceMap m = MapOf(Root(), 2);
  std::vector<std::string> children = {Child("tie-a", true, false, 1000, 1, 0),
                                       Child("tie-b", true, false, 1000, 1, 0),
                                       Child("tie-c", true, false, 1000, 1, 0)};
  for (int i = 305; children.size() < 300; --i)
    children.push_back(Child("f" + std::to_string(i), true, false, static_cast<uint64_t>(i), 1, 0));
  // Left over: f8 .. f1.
  EXPECT_EQ(Doc(m, At(L"many")),
            DirDoc(U(L"many"), 305 * 306 / 2 + 3000, 308, 308, 0, children, 8, 36));
}

TEST_F(Space, ACancelledWalkGivesNoMap) {
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(PlantFile(At(L"d" + std::to_wstring(i) + L"\\f"), 10));
  for (int threads : {1, 4}) {
    std::atomic<int> polls{0};
    SpaceWalkOptions opt;
    opt.threads = threads;
    opt.cancelled = [&polls] { return ++polls > 5; };
    SpaceMap m;
    EXPECT_FALSE(BuildSpaceMap(Root(), {}, opt, &m)) << threads;
    // It stopped at the first poll that said so, on every thread.
    EXPECT_LE(polls.load(), 5 + threads) << threads;
  }
}

// A random tree: folders up to five levels, files with sizes from a small
// set (many ties), names that differ only in case on the stand-in.
void PlantRandomTree(const std::wstring& root, uint32_t seed) {
  std::mt19937 rng(seed);
  const uint64_t sizes[] = {0, 1, 7, 512, 512, 4096, 65536};
  const wchar_t* exts[] = {L".mp4", L".txt", L".dll", L"", L".ISO", L".zip", L".jpg"};
  std::vector<std::wstring> dirs = {root};
  int entries = 60 + static_cast<int>(rng() % 120);
  for (int i = 0; i < entries; ++i) {
    std::wstring parent = dirs[rng() % dirs.size()];
    std::wstring name = L"n" + std::to_wstring(rng() % 7);
    if (rng() % 3 == 0) name += L"名";
    if (rng() % 3 == 0 && std::count(parent.begin(), parent.end(), L'\\') < 8) {
      std::wstring d = parent + L"\\" + name;
      if (MakeDir(d)) dirs.push_back(d);
    } else {
      std::wstring f = parent + L"\\" + name + std::to_wstring(i) + exts[rng() % 7];
      PlantFile(f, sizes[rng() % 7], false, kTime + (rng() % 3));
    }
  }
}

TEST_F(Space, TheMultiThreadedWalkGivesTheSameMapAsOneThread) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    std::wstring root = At(L"seed" + std::to_wstring(seed));
    ASSERT_TRUE(MakeDir(root));
    PlantRandomTree(root, seed);
    SpaceMap one = MapOf(root, 1);
    for (int threads : {2, 5}) {
      SpaceMap many = MapOf(root, threads);
      ASSERT_EQ(one.nodes.size(), many.nodes.size()) << seed;
      for (uint32_t i = 0; i < one.nodes.size(); ++i) {
        std::wstring path = U2W(SpaceNodePath(one, i));
        uint32_t other = FindSpaceNode(many, path);
        ASSERT_NE(other, kSpaceNone) << W2U(path);
        if (!(one.nodes[i].flags & kSpaceLink)) {
          EXPECT_EQ(SpaceDirJson(one, i, Guard()), SpaceDirJson(many, other, Guard()))
              << seed << " " << threads;
        }
      }
      EXPECT_EQ(SpaceTopJson(one, kSpaceTopFiles, Guard()),
                SpaceTopJson(many, kSpaceTopFiles, Guard()))
          << seed;
      EXPECT_EQ(SpaceKindsJson(one), SpaceKindsJson(many)) << seed;
    }
  }
}

// A file with names in three folders: the stand-in's listing gives its
// inode and link count, and the walk counts it once, marked "links":1 in
// the row of the folder that met it; a Windows listing gives no link count,
// so there it is counted once per name and the map says so.
TEST_F(Space, AFileWithSeveralNamesIsCountedOnceWhereTheListingTells) {
  ASSERT_TRUE(PlantFile(At(L"hl\\a\\f.dll"), 7000));
  ASSERT_TRUE(MakeDir(At(L"hl\\b")));
  ASSERT_TRUE(MakeDir(At(L"hl\\c")));
  ASSERT_TRUE(PlantFile(At(L"hl\\c\\alone.txt"), 5));
  std::error_code ec;
  for (const wchar_t* other : {L"hl\\b\\g.dll", L"hl\\c\\h.dll"}) {
    std::filesystem::create_hard_link(tov::HostPath(At(L"hl\\a\\f.dll")), tov::HostPath(At(other)),
                                      ec);
    ASSERT_FALSE(ec) << ec.message();
  }
  for (int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    SpaceMap m = MapOf(At(L"hl"), threads);
    const SpaceNode& root = m.nodes[0];
    EXPECT_EQ(root.files, kWindows ? 4u : 2u);
    EXPECT_EQ(root.bytes, kWindows ? 21005u : 7005u);
    EXPECT_EQ(root.links, kWindows ? 0u : 1u);
    EXPECT_EQ(m.linksNote, kWindows ? "硬链接的文件可能被重复计算" : "");
    if (!kWindows) {
      // Whichever folder met it first holds it and says so: a or b with it
      // alone, or c with it beside alone.txt (the walker threads race).
      std::string doc = Doc(m, At(L"hl"));
      const std::string held = "\"refuse\":\"\",\"links\":1}";
      EXPECT_TRUE(doc.find("\"bytes\":7000,\"files\":1,\"dirs\":0," + held) != std::string::npos ||
                  doc.find("{\"name\":\"c\",\"dir\":true,\"link\":false,\"bytes\":7005,\"files\":2,"
                           "\"dirs\":0," +
                           held) != std::string::npos)
          << doc;
      EXPECT_EQ(doc.find(held), doc.rfind(held)) << doc;
    }
  }
}

TEST_F(Space, TheTopListKeepsTheLargestThousandOfAnyWalkOrder) {
  // More files than the list holds, all but a few of one size: the ties
  // at the boundary are settled by path, whatever thread met them first.
  for (int d = 0; d < 12; ++d)
    for (int f = 0; f < 90; ++f)
      ASSERT_TRUE(PlantFile(At(L"d" + std::to_wstring(d) + L"\\f" + std::to_wstring(f)),
                            f == 0 ? 100 + static_cast<uint64_t>(d) : 50));
  SpaceMap one = MapOf(Root(), 1);
  SpaceMap many = MapOf(Root(), 4);
  ASSERT_EQ(one.top.size(), kSpaceTopFiles);
  EXPECT_EQ(one.top[0].bytes, 111u);
  EXPECT_EQ(one.top[0].path, U(L"d11\\f0"));
  EXPECT_EQ(SpaceTopJson(one, kSpaceTopFiles, Guard()),
            SpaceTopJson(many, kSpaceTopFiles, Guard()));
}

// ---- The task ---------------------------------------------------------------------------

TEST_F(Space, TheMapSharesTheEnginesOneTaskAndItsProgress) {
  ASSERT_TRUE(PlantFile(At(L"scan\\sub\\f.tmp"), 10));
  ASSERT_TRUE(PlantFile(At(L"m\\x.mp4"), 4096));
  ASSERT_TRUE(WaitTask(60000));
  // A scan held inside its walk: the map is refused, the scan's phase stays.
  RuleItem item = MkItem("held", "held", Risk::Low, ItemMode::Files, true, "");
  item.targets.push_back(T(At(L"scan").c_str(), true, false));
  Category cat;
  cat.id = "c";
  cat.items.push_back(item);
  {
    WalkHold hold;
    ASSERT_TRUE(StartScan({cat}, {}));
    hold.WaitHeld();
    EXPECT_FALSE(StartSpaceMap(At(L"m"), {}));
    EXPECT_EQ(TaskStateNow().phase, "scan");
    hold.Release();
    ASSERT_TRUE(WaitTask(60000));
  }

  // A foreign task: phase "map" while it runs, the scan refused, cancel
  // reaches it, and the record is idle and finished afterwards.
  std::atomic<bool> running{false};
  ASSERT_TRUE(StartTaskOf("map", [&running](TaskFeed& feed) {
    running = true;
    while (feed.cancel.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }));
  while (!running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  TaskSnapshot state = TaskStateNow();
  EXPECT_EQ(state.phase, "map");
  EXPECT_TRUE(state.busy);
  EXPECT_FALSE(state.finished);
  EXPECT_FALSE(StartScan({cat}, {}));
  EXPECT_FALSE(StartTaskOf("map", [](TaskFeed&) {}));
  CancelTask();
  ASSERT_TRUE(WaitTask(60000));
  state = TaskStateNow();
  EXPECT_EQ(state.phase, "idle");
  EXPECT_FALSE(state.busy);
  EXPECT_TRUE(state.finished);

  // The real map task: figures in the progress record, the map published.
  SetSpaceMapForTest(SpaceMap());
  EXPECT_EQ(SpaceKindsDoc(), "{\"ok\":false,\"message\":\"还没有空间分析结果\"}");
  ASSERT_TRUE(StartSpaceMap(At(L"m"), {{"m-item", At(L"m")}}));
  ASSERT_TRUE(WaitTask(60000));
  state = TaskStateNow();
  EXPECT_EQ(state.files, 1u);
  EXPECT_EQ(state.bytes, 4096u);
  EXPECT_EQ(SpaceDirDoc("", Guard()),
            DirDoc(U(L"m"), 4096, 1, 0, 0, {Child("", false, false, 4096, 1, 0, "m-item")}));
  EXPECT_EQ(SpaceDirDoc(U(L"m\\nothere"), Guard()),
            "{\"ok\":false,\"message\":\"空间分析结果中没有这个文件夹\"}");
  // Any spelling of the folder finds it; one the system would cut finds none.
  std::string slashes = U(L"m");
  for (char& c : slashes)
    if (c == '\\') c = '/';
  EXPECT_EQ(SpaceDirDoc(slashes + "//", Guard()), SpaceDirDoc(U(L"m"), Guard()));
  EXPECT_EQ(SpaceDirDoc(U(L"m") + std::string(1, '\0'), Guard()),
            "{\"ok\":false,\"message\":\"空间分析结果中没有这个文件夹\"}");
}

TEST_F(Space, TheRootOfAMapIsCheckedBeforeAnyTask) {
  ASSERT_TRUE(PlantFile(At(L"dir\\file.txt"), 3));
  std::wstring root;
  std::string message;
  auto refused = [&](const std::string& asked) {
    message.clear();
    return CheckSpaceRoot(asked, &root, &message) ? std::string("accepted") : message;
  };
  EXPECT_EQ(refused("D:\\x"), "只能分析 C 盘上的文件夹");
  EXPECT_EQ(refused("relative\\x"), "只能分析 C 盘上的文件夹");
  EXPECT_EQ(refused("C:relative"), "只能分析 C 盘上的文件夹");
  EXPECT_EQ(refused(U(L"dir") + "\\..\\dir"), "路径不能包含 . 或 ..");
  // A control character would cut the path at the system call: the walk
  // would list the folder before it over and over, ever deeper.
  const std::string nul(1, '\0');
  EXPECT_EQ(refused(U(L"dir") + nul), "路径含有控制字符");
  EXPECT_EQ(refused(U(L"dir") + nul + "\\"), "路径含有控制字符");
  EXPECT_EQ(refused(U(L"dir") + "\x01"), "路径含有控制字符");
  EXPECT_EQ(refused(U(L"dir") + "."), "路径中的名称不能以点或空格结尾");
  EXPECT_EQ(refused(U(L"dir") + "\\nul"), "路径中含有设备名（如 CON、NUL、COM1）");
  EXPECT_EQ(refused("\\\\?\\" + U(L"dir")), "只能分析 C 盘上的文件夹");
  EXPECT_EQ(refused(U(L"nothere")), "文件夹不存在");
  EXPECT_EQ(refused(U(L"dir\\file.txt")), "不是文件夹");
  ASSERT_TRUE(CheckSpaceRoot(U(L"dir") + "\\\\", &root, &message));
  EXPECT_EQ(root, At(L"dir"));
  ASSERT_TRUE(CheckSpaceRoot("", &root, &message));
  EXPECT_EQ(root, L"C:\\");
  std::string why;
  if (!PlantDirLink(At(L"lnk"), At(L"dir"), &why)) GTEST_SKIP() << why;
  EXPECT_EQ(refused(U(L"lnk")), "路径含重解析点");
  EXPECT_EQ(refused(U(L"lnk\\")), "路径含重解析点");
}

TEST_F(Space, RecycleMovesOnlyWhatIsNotRefusedAndTheMapDropsIt) {
  ASSERT_TRUE(PlantFile(At(L"keep\\k.txt"), 1));
  ASSERT_TRUE(PlantFile(At(L"go\\file.bin"), 4096));
  ASSERT_TRUE(PlantFile(At(L"go\\stay.bin"), 2, false, kTime));
  ASSERT_TRUE(PlantFile(At(L"go\\folder\\a.mp4"), 8192));
  ASSERT_TRUE(PlantFile(At(L"go\\folder\\b\\c.zip"), 16));
  // A protected folder, a folder that holds one, and a stand-in for
  // Tamsel's own data folder.
  ASSERT_TRUE(PlantFile(At(L"go\\kept\\k1.bin"), 3, false, kTime));
  ASSERT_TRUE(PlantFile(At(L"go\\holder\\inner\\i.bin"), 5, false, kTime));
  ASSERT_TRUE(PlantFile(At(L"go\\own\\state.bin"), 7, false, kTime));
  std::string why;
  bool link = PlantDirLink(At(L"go\\lnk"), At(L"keep"), &why);
  SetSpaceMapForTest(MapOf(At(L"go"), 2));
  SpaceGuard guard = MakeSpaceGuard(MakeSafetyContext({At(L"go\\kept"), At(L"go\\holder\\inner")}),
                                    At(L"go\\own"));
  Listing before = ListTree(Root());
  uint64_t binItems = 0, binBytes = 0;
  ASSERT_TRUE(tov::QueryRecycleBin(&binItems, &binBytes));

  // One request that mixes what may go with what is refused: the refused
  // paths are answered with the documents' texts, the rest goes.
  std::vector<std::string> asked = {
      U(L"go\\file.bin"), U(L"go\\kept"), U(L"go\\folder"), U(L"keep\\k.txt"), U(L"go"),
      "C:\\Windows", "C:\\", U(L"go\\holder"), U(L"go\\kept\\k1.bin"), U(L"go\\own\\state.bin"),
      U(L"go\\own"), U(L"go\\folder"),
      // The protected folder and file with a character the
      // system stops at: refused before it is asked.
      U(L"go\\kept") + std::string(1, '\0'), U(L"go\\kept\\k1.bin") + std::string(1, '\0'),
      U(L"go\\kept\\k1.bin") + "\x1F"};
  if (link) asked.push_back(U(L"go\\lnk"));
  std::string doc = SpaceRecycleDoc(asked, guard);
  auto result = [](const std::string& path, bool ok, const std::string& message) {
    return "{\"path\":\"" + Esc(path) + "\",\"ok\":" + (ok ? "true" : "false") + ",\"message\":\"" +
           message + "\"}";
  };
  const std::string own = "这是 Tamsel 自己的数据文件夹（设置和清理记录）";
  // A path with a control character at its end (written as the JSON escape).
  auto control = [](const std::string& path, const char* escape) {
    return "{\"path\":\"" + Esc(path) + escape +
           "\",\"ok\":false,\"message\":\"路径含有控制字符\"}";
  };
  std::string expected =
      "{\"ok\":true,\"results\":[" + result(U(L"go\\file.bin"), true, "已移到回收站") + "," +
      result(U(L"go\\kept"), false, "已设为不清理") + "," +
      result(U(L"go\\folder"), true, "已移到回收站") + "," +
      result(U(L"keep\\k.txt"), false, "不在空间分析结果中") + "," +
      result(U(L"go"), false, "里面有 Tamsel 自己的数据文件夹") + "," +
      result("C:\\Windows", false, "这是 Windows 系统文件夹，移走会让电脑无法正常运行") + "," +
      result("C:\\", false, "这是磁盘的根目录") + "," +
      result(U(L"go\\holder"), false, "里面有设为不清理的文件或文件夹") + "," +
      result(U(L"go\\kept\\k1.bin"), false, "已设为不清理") + "," +
      result(U(L"go\\own\\state.bin"), false, own) + "," + result(U(L"go\\own"), false, own) + "," +
      result(U(L"go\\folder"), false, "不在空间分析结果中") + "," +
      control(U(L"go\\kept"), "\\u0000") + "," + control(U(L"go\\kept\\k1.bin"), "\\u0000") + "," +
      control(U(L"go\\kept\\k1.bin"), "\\u001f");
  if (link) expected += "," + result(U(L"go\\lnk"), false, kLinkText);
  EXPECT_EQ(doc, expected + "],\"bytes\":12304}");

  // The map's root, where nothing else refuses it.
  EXPECT_EQ(SpaceRecycleDoc({U(L"go")}, Guard()),
            "{\"ok\":true,\"results\":[" + result(U(L"go"), false, "不能移除分析的根文件夹") +
                "],\"bytes\":0}");

  Listing after = ListTree(Root());
  EXPECT_EQ(Gone(before, after),
            (std::set<std::string>{"go/file.bin", "go/folder", "go/folder/a.mp4", "go/folder/b",
                                   "go/folder/b/c.zip"}));
  EXPECT_TRUE(AddedOrChanged(before, after).empty());
  uint64_t items2 = 0, bytes2 = 0;
  ASSERT_TRUE(tov::QueryRecycleBin(&items2, &bytes2));
#ifndef _WIN32
  // The stand-in's bin holds exactly what left (wine's is the shared Trash).
  EXPECT_EQ(items2 - binItems, 3u);
  EXPECT_EQ(bytes2 - binBytes, 12304u);
#endif
  // The documents carry the same refusals.
  std::vector<std::string> children = {
      Child("own", true, false, 7, 1, 0, "", own),
      Child("holder", true, false, 5, 1, 1, "", "里面有设为不清理的文件或文件夹"),
      Child("kept", true, false, 3, 1, 0, "", "已设为不清理"), Child("", false, false, 2, 1, 0)};
  if (link) children.push_back(Child("lnk", true, true, 0, 0, 0));
  EXPECT_EQ(SpaceDirDoc("", guard), DirDoc(U(L"go"), 17, 4, 4, 0, children));
  auto top = [this](const std::wstring& rel, uint64_t bytes, const std::string& refuse) {
    return "{\"path\":\"" + Esc(U(rel)) + "\",\"bytes\":" + std::to_string(bytes) +
           ",\"time\":" + std::to_string(kTime) + ",\"refuse\":\"" + refuse + "\"}";
  };
  EXPECT_EQ(SpaceTopDoc(10, guard), "{\"ok\":true,\"files\":[" +
                                        top(L"go\\own\\state.bin", 7, own) + "," +
                                        top(L"go\\holder\\inner\\i.bin", 5, "已设为不清理") + "," +
                                        top(L"go\\kept\\k1.bin", 3, "已设为不清理") + "," +
                                        top(L"go\\stay.bin", 2, "") + "]}");
  // What left took its kinds along, the folder's files too.
  EXPECT_EQ(
      SpaceKindsDoc(),
      "{\"ok\":true,\"kinds\":[{\"kind\":\"其他\",\"bytes\":17,\"files\":4},"
      "{\"kind\":\"视频\",\"bytes\":0,\"files\":0},{\"kind\":\"音频\",\"bytes\":0,\"files\":0},"
      "{\"kind\":\"图片\",\"bytes\":0,\"files\":0},{\"kind\":\"压缩包\",\"bytes\":0,\"files\":0},"
      "{\"kind\":\"安装包\",\"bytes\":0,\"files\":0},"
      "{\"kind\":\"光盘与虚拟磁盘\",\"bytes\":0,\"files\":0},"
      "{\"kind\":\"文档\",\"bytes\":0,\"files\":0},{\"kind\":\"程序与库\",\"bytes\":0,\"files\":0}]"
      "}");
}

// ---- A folder swapped on the way of a recycle ---------------------------------------
//
// The map checks a path, then the system moves it by its path. A folder on
// the way swapped in between for a link (or a junction) to a folder outside
// the map must not redirect the move to what lies there.

struct RecycleSwap {
  std::wstring path;     // the recycle whose way is swapped
  std::wstring folder;   // the folder on its way that is swapped
  std::wstring outside;  // where the link points
  tov::RecycleMoment at = tov::RecycleMoment::Asked;
  bool tried = false;
  bool renamed = false;  // the folder could be moved aside
  bool linked = false;   // and a link put in its place
  std::string why;
};
RecycleSwap g_recycleSwap;

void SwapOnTheWay(tov::RecycleMoment moment, const std::wstring& path) {
  RecycleSwap& w = g_recycleSwap;
  if (w.tried || moment != w.at || path != w.path) return;
  w.tried = true;
  std::error_code ec;
  std::filesystem::rename(tov::HostPath(w.folder), tov::HostPath(w.folder + L".moved"), ec);
  if (ec) {
    w.why = ec.message();
    return;
  }
  w.renamed = true;
  w.linked = PlantDirLink(w.folder, w.outside, &w.why);
}

// The fixture's listing once the folder rel was moved aside to rel.moved
// and a link put in its place.
Listing AfterSwap(const Listing& before, const std::string& rel) {
  Listing out;
  for (const auto& kv : before) {
    bool inside = kv.first == rel || kv.first.compare(0, rel.size() + 1, rel + "/") == 0;
    out[inside ? rel + ".moved" + kv.first.substr(rel.size()) : kv.first] = kv.second;
  }
  out[rel] = "link";
  return out;
}

TEST_F(Space, AFolderSwappedForALinkOnTheWayOfARecycleNeverRedirectsIt) {
  auto result = [](const std::string& path, bool ok, const std::string& message) {
    return "{\"path\":\"" + Esc(path) + "\",\"ok\":" + (ok ? "true" : "false") + ",\"message\":\"" +
           message + "\"}";
  };
  struct Case {
    const char* name;
    tov::RecycleMoment at;
    const wchar_t* item;    // below the map's root
    const wchar_t* folder;  // swapped: the map's root, or a folder below it
  };
  const Case cases[] = {
      // Checked, then swapped before the system is asked: the way is opened
      // anew by handle and the link found.
      {"file, its folder swapped after the check", tov::RecycleMoment::Asked, L"d\\f.bin", L"\\d"},
      {"folder, its parent swapped after the check", tov::RecycleMoment::Asked, L"d\\sub", L"\\d"},
      {"file, the map's root swapped after the check", tov::RecycleMoment::Asked, L"e\\h.bin", L""},
      // Swapped while the way is held: Windows refuses to rename a folder
      // held without delete sharing; the stand-in moves the item through
      // its folder's descriptor, wherever the folder went.
      {"file, its folder swapped while held", tov::RecycleMoment::Pinned, L"d\\f.bin", L"\\d"},
      {"file, the map's root swapped while held", tov::RecycleMoment::Pinned, L"e\\h.bin", L""},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A map and an outside folder of its own for each case: a swap is not
    // undone (wine removes a Linux link only through the host).
    const std::wstring go = At(L"go" + std::to_wstring(n));
    const std::wstring outside = At(L"outside" + std::to_wstring(n++));
    ASSERT_TRUE(PlantFile(go + L"\\d\\f.bin", 16));
    ASSERT_TRUE(PlantFile(go + L"\\d\\sub\\g.bin", 32));
    ASSERT_TRUE(PlantFile(go + L"\\e\\h.bin", 64));
    ASSERT_TRUE(PlantFile(outside + L"\\f.bin", 1));
    ASSERT_TRUE(PlantFile(outside + L"\\sub\\g.bin", 2));
    ASSERT_TRUE(PlantFile(outside + L"\\d\\f.bin", 4));
    ASSERT_TRUE(PlantFile(outside + L"\\e\\h.bin", 8));
    SetSpaceMapForTest(MapOf(go, 1));
    const Listing before = ListTree(Root());
    g_recycleSwap = RecycleSwap();
    g_recycleSwap.path = Join(go, c.item);
    g_recycleSwap.folder = go + c.folder;
    g_recycleSwap.outside = outside;
    g_recycleSwap.at = c.at;
    tov::SetRecycleHookForTest(SwapOnTheWay);
    const std::string item = W2U(g_recycleSwap.path);
    std::string doc = SpaceRecycleDoc({item}, Guard());
    tov::SetRecycleHookForTest(nullptr);
    const RecycleSwap w = g_recycleSwap;
    ASSERT_TRUE(w.tried);
    auto rel = [this](const std::wstring& path) {
      std::string r = W2U(path.substr(Root().size() + 1));
      for (char& ch : r)
        if (ch == '\\') ch = '/';
      return r;
    };
    if (c.at == tov::RecycleMoment::Asked) {
      ASSERT_TRUE(w.linked) << "no link to swap in: " << w.why;
      // Refused as a link, and nothing moved at all.
      EXPECT_EQ(doc,
                "{\"ok\":true,\"results\":[" + result(item, false, kLinkText) + "],\"bytes\":0}");
      EXPECT_EQ(ListTree(Root()), AfterSwap(before, rel(w.folder)));
      continue;
    }
    // Held: the item that was checked went, nothing else.
    uint64_t bytes = c.item[0] == L'd' ? 16 : 64;
    EXPECT_EQ(doc, "{\"ok\":true,\"results\":[" + result(item, true, "已移到回收站") +
                       "],\"bytes\":" + std::to_string(bytes) + "}");
    Listing expected = before;
    if (kWindows) {
      EXPECT_FALSE(w.renamed) << "a folder on the way was renamed while held";
    } else {
      ASSERT_TRUE(w.renamed && w.linked) << w.why;
      expected = AfterSwap(before, rel(w.folder));
    }
    std::string gone = rel(g_recycleSwap.path);
    if (w.renamed) gone.replace(0, rel(w.folder).size(), rel(w.folder) + ".moved");
    EXPECT_EQ(expected.erase(gone), 1u) << gone;
    EXPECT_EQ(ListTree(Root()), expected);
  }
  SetSpaceMapForTest(SpaceMap());
}

TEST_F(Space, ARacingThreadSwappingAFolderForALinkNeverRedirectsARecycle) {
#ifdef _WIN32
  GTEST_SKIP() << "under wine a link comes only from the Linux side (the host's ln, one process "
                  "per swap), whose renames ignore the share modes that hold the way on Windows; "
                  "the held way is tested with the recycle hook";
#else
  // Five hundred files in the map's folder, and as many of the same names
  // outside it; a thread swaps the folder for a link to the outside folder
  // and back as fast as it can while one request recycles every file.
  constexpr int kFiles = 500;
  std::vector<std::string> asked;
  for (int i = 0; i < kFiles; ++i) {
    std::wstring name = L"f" + std::to_wstring(i) + L".bin";
    ASSERT_TRUE(PlantFile(At(L"go\\d\\" + name), 1));
    ASSERT_TRUE(PlantFile(At(L"outside\\" + name), 2));
    asked.push_back(U(L"go\\d\\" + name));
  }
  SetSpaceMapForTest(MapOf(At(L"go"), 1));
  const Listing outside = ListTree(At(L"outside"));
  const Listing before = ListTree(Root());
  const std::filesystem::path real = tov::HostPath(At(L"go\\d"));
  const std::filesystem::path aside = tov::HostPath(At(L"go\\d.real"));
  const std::filesystem::path target = tov::HostPath(At(L"outside"));
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> swaps{0};
  std::thread racer([&] {
    while (!stop.load()) {
      std::error_code ec;
      std::filesystem::rename(real, aside, ec);
      if (ec) break;
      std::filesystem::create_directory_symlink(target, real, ec);
      // Each state lasts a little, so that a check may meet one and the
      // move the other.
      std::this_thread::sleep_for(std::chrono::microseconds(30));
      if (!ec) std::filesystem::remove(real, ec);
      std::filesystem::rename(aside, real, ec);
      if (ec) break;
      swaps.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(30));
    }
  });
  std::string doc = SpaceRecycleDoc(asked, Guard());
  stop.store(true);
  racer.join();
  SetSpaceMapForTest(SpaceMap());
  ASSERT_GT(swaps.load(), 0u);
  // Nothing outside the map moved; in the map only the files asked for went.
  EXPECT_EQ(ListTree(At(L"outside")), outside);
  const Listing after = ListTree(Root());
  EXPECT_TRUE(AddedOrChanged(before, after).empty());
  for (const std::string& gone : Gone(before, after))
    EXPECT_EQ(gone.compare(0, 5, "go/d/"), 0) << gone;
  // Each answer is a move or a refusal of the moment (a link on the way, or
  // the folder away), never anything else.
  size_t moved = 0;
  for (size_t at = doc.find("\"message\":\""); at != std::string::npos;
       at = doc.find("\"message\":\"", at + 1)) {
    std::string message = doc.substr(at + 11, doc.find('"', at + 11) - at - 11);
    if (message == "已移到回收站")
      ++moved;
    else
      EXPECT_TRUE(message == kLinkText || message == "不在空间分析结果中" ||
                  message == "移到回收站失败(已不存在)")
          << message;
  }
  EXPECT_EQ(moved, Gone(before, after).size());
#endif
}

}  // namespace

// The map offers an item for a folder only where the item cleans the folder:
// a target that takes some files directly in its folder (the crash dumps of
// the Windows folder, installers in Downloads) offers none for that folder.
TEST(SpaceTargets, OnlyTargetsThatCleanTheirFolderOfferTheirItem) {
  std::vector<Category> cats = BuildRules();
  std::vector<SpaceTarget> targets = SpaceTargetsOf(cats);
  auto offered = [&targets](const std::wstring& path) {
    for (const SpaceTarget& t : targets)
      if (t.path == path) return t.item;
    return std::string();
  };
  const RuleItem* dumps = FindItem(cats, "sys-dmp");
  ASSERT_NE(dumps, nullptr);
  ASSERT_GE(dumps->targets.size(), 2u);
  EXPECT_FALSE(dumps->targets[0].recursive);
  EXPECT_EQ(offered(dumps->targets[0].path), "");  // the Windows folder itself
  EXPECT_EQ(offered(dumps->targets[1].path), "sys-dmp");
  const RuleItem* temp = FindItem(cats, "user-temp");
  ASSERT_NE(temp, nullptr);
  EXPECT_EQ(offered(temp->targets[0].path), "user-temp");
  const RuleItem* logs = FindItem(cats, "sys-logs");  // recursive, with patterns
  ASSERT_NE(logs, nullptr);
  EXPECT_EQ(offered(logs->targets[0].path), "sys-logs");
}

// The kind of a file is its last extension's, in either case; the table's
// longest extensions (ten letters) are recognised like the short ones.
TEST(SpaceKinds, AFileTakesTheKindOfItsLastExtension) {
  const struct {
    const char* name;
    const char* kind;
  } cases[] = {
      {"a.MP4", "视频"},
      {"clip.mkv", "视频"},
      {"x.msixbundle", "安装包"},
      {"y.AppxBundle", "安装包"},
      {"z.tar.gz", "压缩包"},
      {"b.7Z", "压缩包"},
      {"disk.vhdx", "光盘与虚拟磁盘"},
      {"game.exe", "程序与库"},
      {"noext", "其他"},
      {"dot.", "其他"},
      {"a.mp4.part", "其他"},
      {"a.exe1", "其他"},
      {"a.msixbundlex", "其他"},
      {"a.verylongextension", "其他"},
      {"a.m-p4", "其他"},
      {".mp4", "视频"},
      {"é.mp4", "视频"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(SpaceKindName(SpaceKindOf(c.name, strlen(c.name))), c.kind) << c.name;
}

// Every folder the map must never move, judged as its documents and the
// recycle request judge it, beside neighbours that may go: the folders are
// this machine's own (the environment and the shell), so the table holds
// in both builds.
TEST(SpaceRefusals, EachFolderTheMapMustKeepSaysWhyAndItsNeighboursMayGo) {
  auto env = [](const wchar_t* text) { return ExpandEnvW(text); };
  const std::wstring win = env(L"%SystemRoot%"), progs = env(L"%ProgramFiles%"),
                     x86 = env(L"%ProgramFiles(x86)%"), data = env(L"%ProgramData%"),
                     profile = env(L"%USERPROFILE%"), local = env(L"%LOCALAPPDATA%"),
                     roaming = env(L"%APPDATA%");
  const std::wstring users = profile.substr(0, profile.rfind(L'\\'));
  const std::wstring other = users + L"\\someone-else";
  const std::wstring own = local + L"\\tamsel";
  std::wstring desktop;
  ASSERT_TRUE(tov::ShellFolderPath(tov::ShellFolder::Desktop, &desktop));
  ASSERT_FALSE(users.size() <= 3 || win.size() <= 3 || progs.size() <= 3 || data.size() <= 3);
  const std::string kRoot = "这是磁盘的根目录",
                    kWin = "这是 Windows 系统文件夹，移走会让电脑无法正常运行",
                    kProgs = "这是安装软件的文件夹，移走会让软件无法运行",
                    kData = "这里保存着所有用户共用的软件设置和数据",
                    kUsers = "这里是电脑上所有用户的主文件夹", kHome = "这是用户的主文件夹",
                    kApp = "这里保存着所有软件的设置和数据",
                    kOwn = "这是 Tamsel 自己的数据文件夹（设置和清理记录）",
                    kBin = "这是回收站本身；要腾出这里的空间，请清空回收站",
                    kDesk = "这是桌面或桌面上的内容，Tamsel 不移动桌面上的东西",
                    kKept = "已设为不清理", kHoldsKept = "里面有设为不清理的文件或文件夹",
                    kHoldsOwn = "里面有 Tamsel 自己的数据文件夹";
  const uint32_t D = kSpaceDir, F = 0, L = kSpaceDir | kSpaceLink;
  const struct {
    std::wstring path;
    uint32_t flags;
    std::string why;
  } cases[] = {
      {L"C:\\", D, kRoot},
      {L"C:", D, kRoot},
      {win, D, kWin},
      {win + L"\\System32", D, kWin},
      {win + L"\\System32\\drivers\\etc\\hosts", F, kWin},
      {tov::LowerAscii(win), D, kWin},
      {L"C:/Windows/System32", D, kWin},
      {L"C:\\Windows.old", D, ""},
      {progs, D, kProgs},
      {progs + L"\\Vendor\\app.exe", F, kProgs},
      {x86, D, kProgs},
      {x86 + L"\\Vendor", D, kProgs},
      {L"C:\\Program Files Games", D, ""},
      {data, D, kData},
      {data + L"\\Package Cache", D, ""},
      {users, D, kUsers},
      {users + L"\\", D, kUsers},
      {users + L"\\Public", D, ""},
      {users + L"\\Public\\Videos", D, ""},
      {users + L"\\desktop.ini", F, ""},
      {profile, D, kHome},
      {other, D, kHome},
      {users + L"\\Default", D, kHome},
      {profile + L"\\AppData", D, kApp},
      {local, D, kApp},
      {roaming, D, kApp},
      {profile + L"\\AppData\\LocalLow", D, kApp},
      {other + L"\\AppData", D, kApp},
      {other + L"\\APPDATA\\Local", D, kApp},
      {other + L"\\AppData\\LocalLow", D, kApp},
      {other + L"\\AppData\\Roaming", D, kApp},
      {other + L"\\AppData\\Local\\Temp", D, ""},
      {other + L"\\AppData\\Roaming\\Vendor", D, ""},
      {local + L"\\Temp", D, ""},
      {profile + L"\\Downloads", D, kHoldsKept},
      {profile + L"\\Downloads\\x", D, ""},
      {profile + L"\\Downloads\\x", F, ""},
      {profile + L"\\Videos\\clip.mp4", F, ""},
      {own, D, kOwn},
      {own + L"\\history", D, kOwn},
      {own + L"\\settings.json", F, kOwn},
      {local + L"\\tamsel-other", D, ""},
      {L"C:\\$Recycle.Bin", D, kBin},
      {L"C:\\$Recycle.Bin\\S-1-5-21-1\\$RABC.txt", F, kBin},
      {desktop, D, kDesk},
      {desktop + L"\\note.txt", F, kDesk},
      {profile + L"\\Downloads\\lnk", L, kLinkText},
      {L"C:\\Games\\lnk", L, kLinkText},
      // A protected folder, what lies in it, what holds it.
      {profile + L"\\Downloads\\keep", D, kKept},
      {profile + L"\\Downloads\\keep\\a.iso", F, kKept},
      {profile + L"\\Downloads\\keep-not", D, ""},
      {L"C:\\Games", D, kHoldsKept},
      {L"C:\\Games\\Saves", D, kKept},
      {L"C:\\Games\\Other", D, ""},
      // Tamsel's data folder where the shell put it elsewhere: what holds it.
      {L"C:\\Data", D, ""},
  };
  SpaceGuard guard =
      MakeSpaceGuard(MakeSafetyContext({profile + L"\\Downloads\\keep", L"C:\\Games\\Saves"}), own);
  for (const auto& c : cases)
    EXPECT_EQ(std::string(SpaceRefusal(guard, c.path, c.flags)), c.why)
        << W2U(c.path) << " " << c.flags;

  SpaceGuard moved = MakeSpaceGuard(MakeSafetyContext(), L"C:\\Data\\Local\\tamsel");
  EXPECT_EQ(std::string(SpaceRefusal(moved, L"C:\\Data", kSpaceDir)), kHoldsOwn);
  EXPECT_EQ(std::string(SpaceRefusal(moved, L"C:\\Data\\Local", kSpaceDir)), kHoldsOwn);
  EXPECT_EQ(std::string(SpaceRefusal(moved, L"C:\\Data\\Local\\tamsel\\token.txt", 0)), kOwn);
  EXPECT_EQ(std::string(SpaceRefusal(moved, L"C:\\Data\\Other", kSpaceDir)), "");
  // A file holds nothing.
  EXPECT_EQ(std::string(SpaceRefusal(moved, L"C:\\Data", 0)), "");
  // Without protected paths, nothing of them is refused.
  EXPECT_EQ(std::string(SpaceRefusal(moved, profile + L"\\Downloads\\keep", kSpaceDir)), "");
  EXPECT_EQ(std::string(SpaceRefusal(moved, own, kSpaceDir)), "");
  // No text names an internal word, and every case has one of its own.
  std::set<std::string> texts;
  for (size_t i = 1; i < static_cast<size_t>(SpaceRefuse::Count); ++i) {
    std::string t = kSpaceRefusalTexts[i];
    EXPECT_FALSE(t.empty()) << i;
    EXPECT_EQ(t.find("allow"), std::string::npos) << t;
    EXPECT_TRUE(texts.insert(t).second) << t;
  }
}
