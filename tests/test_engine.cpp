// The scan and clean engine against real file trees on drive C:.
//
// Catalogues are built by hand and point at fixture folders of each test's
// own (tests run as separate processes side by side). File sizes are distinct
// powers of two wherever a sum is checked, so a byte total names exactly the
// set of files that was counted. Every test that cleans compares a listing
// of its whole fixture tree before and after: exactly the expected entries
// may disappear, and nothing else may change.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/tamsel_engine.h"
#include "engine/walk.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "support/fixture.h"
#include "support/fixture_test.h"
#include "support/walk_hold.h"

using namespace tamsel;
using namespace testsupport;

namespace {

// 2020-01-01 00:00:00 UTC as a FILETIME.
constexpr uint64_t kTime = 132223104000000000ULL;

const char kReasonDesktop[] = "桌面";
const char kReasonSystem[] = "系统目录(规则未声明 allowSystem)";
const char kReparseFiles[] = "路径含重解析点(junction/symlink)";
const char kReparseDir[] = "路径含重解析点";

// How many tests this process has run, counting the current one: the state
// before any task can only be seen by the first.
int g_testsInProcess = 0;

class Engine : public FixtureTest {
 protected:
  void SetUp() override { ++g_testsInProcess; }
};

Target Tg(const std::wstring& path, bool recursive = true, std::vector<std::wstring> include = {},
          std::vector<std::wstring> exclude = {}, bool allowSystem = false) {
  Target t = T(path.c_str(), recursive, allowSystem);
  for (const std::wstring& p : include) Inc(t, p.c_str());
  for (const std::wstring& p : exclude) Exc(t, p.c_str());
  return t;
}

RuleItem Item(const char* id, ItemMode mode, std::vector<Target> targets) {
  RuleItem item = MkItem(id, id, Risk::Low, mode, true, "");
  item.targets = std::move(targets);
  return item;
}

Category Cat(const char* id, std::vector<RuleItem> items) {
  Category c;
  c.id = id;
  c.name = id;
  c.items = std::move(items);
  return c;
}

const ItemStat* Find(const ResultList& list, const std::string& id) {
  for (const auto& kv : list)
    if (kv.first == id) return &kv.second;
  return nullptr;
}

std::vector<std::string> Ids(const ResultList& list) {
  std::vector<std::string> ids;
  for (const auto& kv : list) ids.push_back(kv.first);
  return ids;
}

// Scans one item synchronously on the test thread.
ItemStat ScanOne(const RuleItem& item) {
  ResultList out;
  ScanItems({Cat("c", {item})}, {item.id}, out);
  EXPECT_EQ(out.size(), 1u);
  return out.empty() ? ItemStat() : out[0].second;
}

// Cleans one item synchronously on the test thread.
ItemStat CleanOne(const RuleItem& item, bool dryRun) {
  ResultList out;
  CleanItems({Cat("c", {item})}, {item.id}, dryRun, out);
  EXPECT_EQ(out.size(), 1u);
  return out.empty() ? ItemStat() : out[0].second;
}

ResultList CopyLastResult() {
  return TaskResultsNow().last;
}

// Exactly `expected` went missing from the tree; nothing appeared or changed.
void ExpectOnlyGone(const Listing& before, const Listing& after,
                    const std::set<std::string>& expected) {
  for (const std::string& name : expected)
    EXPECT_TRUE(before.count(name)) << "expected entry was never planted: " << name;
  EXPECT_EQ(Gone(before, after), expected);
  std::string changed;
  for (const std::string& name : AddedOrChanged(before, after)) changed += " " + name;
  EXPECT_TRUE(changed.empty()) << "new or changed:" << changed;
}

std::string Err(const std::wstring& path, const char* reason) {
  return W2U(path) + " : " + reason;
}

std::wstring Desktop() {
  std::wstring d;
  EXPECT_TRUE(tov::ShellFolderPath(tov::ShellFolder::Desktop, &d));
  return d;
}

// The files of a walk in the order the engine must meet them: the seam's
// listing order, a subdirectory's content where its entry is met.
void WalkOrder(const std::wstring& dir, std::vector<std::wstring>& out) {
  tov::ListDir(dir, [&](const tov::DirEntry& e) {
    std::wstring full = Join(dir, e.name);
    if (e.attrs & tov::kAttrDirectory) {
      if (!(e.attrs & tov::kAttrReparsePoint)) WalkOrder(full, out);
    } else {
      out.push_back(full);
    }
    return true;
  });
}

std::wstring Chain(const std::wstring& root, int levels) {
  std::wstring p = root;
  for (int i = 0; i < levels; ++i) p += L"\\d";
  return p;
}

// ---- State before any task -----------------------------------------------------

TEST_F(Engine, StatusBeforeAnyTaskIsIdleAndEmpty) {
  if (g_testsInProcess != 1) GTEST_SKIP() << "another test of this process ran first";
  TaskSnapshot s = TaskStateNow();
  EXPECT_FALSE(s.busy);
  EXPECT_FALSE(s.cancelled);
  EXPECT_EQ(s.done, 0);
  EXPECT_EQ(s.total, 0);
  EXPECT_FALSE(s.finished);
  EXPECT_EQ(s.bytes, 0u);
  EXPECT_EQ(s.files, 0u);
  EXPECT_EQ(s.freeBefore, 0u);
  EXPECT_EQ(s.freeAfter, 0u);
  EXPECT_EQ(s.phase, "idle");
  EXPECT_EQ(s.cur, "");
  TaskResults r = TaskResultsNow();
  EXPECT_EQ(r.kind, "");
  EXPECT_TRUE(r.last.empty());
  EXPECT_TRUE(r.lastScan.empty());
  EXPECT_EQ(r.lastScanAt, 0u);
  EXPECT_FALSE(r.dryRun);
  EXPECT_EQ(r.note, "");
  // No task thread was ever started: nothing to wait for.
  EXPECT_TRUE(WaitTask(0));
}

// ---- Scanning ----------------------------------------------------------------------

TEST_F(Engine, ScanCountsFilesThroughIncludeAndExcludeFilters) {
  std::wstring f = At(L"f");
  ASSERT_TRUE(PlantFile(Join(f, L"a.tmp"), 1));
  ASSERT_TRUE(PlantFile(Join(f, L"b.TMP"), 2));
  ASSERT_TRUE(PlantFile(Join(f, L"c.log"), 4));
  ASSERT_TRUE(PlantFile(Join(f, L"x.pf"), 8));
  ASSERT_TRUE(PlantFile(Join(f, L"y.PF"), 16));
  ASSERT_TRUE(PlantFile(Join(f, L"z.pf.bak"), 32));
  ASSERT_TRUE(PlantFile(Join(f, L"xa.tmp"), 64));
  ASSERT_TRUE(PlantFile(Join(f, L"k"), 128));
  ASSERT_TRUE(PlantFile(Join(f, L"s\\deep.tmp"), 256, true));
  ASSERT_TRUE(MakeDir(Join(f, L"s\\empty")));

  std::vector<RuleItem> items = {
      Item("all", ItemMode::Files, {Tg(f)}),
      Item("top", ItemMode::Files, {Tg(f, false)}),
      Item("inc", ItemMode::Files, {Tg(f, true, {L"*.tmp"})}),
      Item("incEmptyIgnored", ItemMode::Files, {Tg(f, true, {L"", L"*.LOG"})}),
      Item("incOnlyEmpty", ItemMode::Files, {Tg(f, true, {L""})}),
      Item("excSuffix", ItemMode::Files, {Tg(f, true, {}, {L".pf"})}),
      Item("excName", ItemMode::Files, {Tg(f, true, {}, {L"a.tmp"})}),
      Item("excWild", ItemMode::Files, {Tg(f, true, {}, {L"a?tmp"})}),
      Item("excWildWhole", ItemMode::Files, {Tg(f, true, {}, {L"*.tm"})}),
      Item("excLonger", ItemMode::Files, {Tg(f, true, {}, {L"xk"})}),
      Item("excEmpty", ItemMode::Files, {Tg(f, true, {}, {L""})}),
      Item("incExc", ItemMode::Files, {Tg(f, true, {L"*.tmp", L"*.pf"}, {L"B.tmp"})}),
      Item("dirMode", ItemMode::Dir, {Tg(f, true, {L"*.pf"})}),
      Item("measureMode", ItemMode::Measure, {Tg(f, true, {L"?.*"})}),
  };
  ResultList out = {{"stale", ItemStat()}};
  ScanItems({Cat("c", items)}, {}, out);
  ASSERT_EQ(out.size(), items.size());
  for (const auto& kv : out) {
    EXPECT_EQ(kv.second.skipped, 0u) << kv.first;
    EXPECT_TRUE(kv.second.errors.empty()) << kv.first;
  }
  auto expect = [&](const char* id, uint64_t files, uint64_t bytes) {
    const ItemStat* s = Find(out, id);
    ASSERT_NE(s, nullptr) << id;
    EXPECT_EQ(s->files, files) << id;
    EXPECT_EQ(s->bytes, bytes) << id;
  };
  expect("all", 9, 511);
  expect("top", 8, 255);                       // s\deep.tmp is one level down
  expect("inc", 4, 1 + 2 + 64 + 256);          // any letter case
  expect("incEmptyIgnored", 1, 4);             // the empty entry takes nothing
  expect("incOnlyEmpty", 0, 0);                // an empty pattern matches nothing
  expect("excSuffix", 7, 511 - 8 - 16);        // .pf and .PF, but not .pf.bak
  expect("excName", 7, 511 - 1 - 64);          // a plain entry drops xa.tmp too
  expect("excWild", 8, 511 - 1);               // a wildcard entry is the whole name
  expect("excWildWhole", 9, 511);              // *.tm is not a suffix test
  expect("excLonger", 9, 511);                 // "k" is shorter than "xk"
  expect("excEmpty", 9, 511);                  // empty entries are ignored
  expect("incExc", 5, 1 + 8 + 16 + 64 + 256);  // b.TMP dropped by "B.tmp"
  expect("dirMode", 9, 511);  // a "dir" item takes its folder whole, as its clean does
  expect("measureMode", 6, 1 + 2 + 4 + 8 + 16 + 32);  // one character, a dot, anything
}

TEST_F(Engine, ScanNonRecursiveSingleFileAndMissingTargets) {
  ASSERT_TRUE(PlantFile(At(L"d\\top.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"d\\sub\\below.log"), 2));
  ASSERT_TRUE(PlantFile(At(L"one.log"), 4, true));
  ASSERT_TRUE(PlantFile(At(L"two.txt"), 8));
  ASSERT_TRUE(PlantFile(At(L"three.bak"), 16));

  RuleItem flat = Item("flat", ItemMode::Files, {Tg(At(L"d"), false)});
  RuleItem single =
      Item("single", ItemMode::Files,
           {Tg(At(L"one.log"), true, {L"*.log"}), Tg(At(L"two.txt"), true, {L"*.log"}),
            Tg(At(L"three.bak"), false, {}, {L".BAK"}), Tg(At(L"two.txt"), false)});
  RuleItem missing =
      Item("missing", ItemMode::Files, {Tg(At(L"nothing")), Tg(At(L"nothing\\x.log")), Tg(L"")});
  ResultList out;
  ScanItems({Cat("c", {flat, single, missing})}, {}, out);
  ASSERT_EQ(Ids(out), (std::vector<std::string>{"flat", "single", "missing"}));
  EXPECT_EQ(out[0].second.files, 1u);
  EXPECT_EQ(out[0].second.bytes, 1u);
  // one.log passes its include; two.txt only through the target without
  // filters; three.bak is excluded by its suffix.
  EXPECT_EQ(out[1].second.files, 2u);
  EXPECT_EQ(out[1].second.bytes, 4u + 8u);
  EXPECT_EQ(out[2].second.files, 0u);
  EXPECT_EQ(out[2].second.bytes, 0u);
  for (const auto& kv : out) {
    EXPECT_EQ(kv.second.skipped, 0u);
    EXPECT_TRUE(kv.second.errors.empty());
  }
}

TEST_F(Engine, ScanDoesNotFollowLinksInsideATarget) {
  ASSERT_TRUE(PlantFile(At(L"t\\a.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"outside\\b.log"), 2));
  ASSERT_TRUE(PlantFile(At(L"outside\\deep\\c.log"), 4));
  std::string why;
  if (!PlantDirLink(At(L"t\\lnk"), At(L"outside"), &why)) GTEST_SKIP() << why;
  RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"t"))});
  ItemStat s = ScanOne(item);
  EXPECT_EQ(s.files, 1u);
  EXPECT_EQ(s.bytes, 1u);
  // The walk publishes every folder it enters; the link is not one of them.
  SetCurPath(L"C:\\before");
  std::vector<FileHit> hits;
  CollectDetails(item, 100, hits);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].path, At(L"t\\a.log"));
  EXPECT_EQ(TaskStateNow().cur, "C:\\before");
  // The dry-run measure of a whole folder does not follow it either.
  RuleItem dir = Item("d", ItemMode::Dir, {Tg(At(L"t"))});
  ItemStat dry = CleanOne(dir, true);
  EXPECT_EQ(dry.bytes, 1u);
  EXPECT_EQ(dry.files, 1u);  // a.log: the one file in the folder
}

TEST_F(Engine, ScanStopsBelowDepth64) {
  // One file per level; the target is depth 0, so levels 0..64 are listed.
  const int kLevels = 67;
  for (int level = 0; level < kLevels; ++level)
    ASSERT_TRUE(PlantFile(Join(Chain(At(L"c"), level), L"f" + std::to_wstring(level)),
                          static_cast<uint64_t>(level + 1)));
  RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"c"))});
  ItemStat s = ScanOne(item);
  EXPECT_EQ(s.files, 65u);
  EXPECT_EQ(s.bytes, 65u * 66u / 2u);
  std::vector<FileHit> hits;
  CollectDetails(item, 5000, hits);
  EXPECT_EQ(hits.size(), 65u);
  // The dry-run measure of a whole folder goes exactly as deep as its real
  // clean, so the preview shows what the clean frees.
  RuleItem dir = Item("d", ItemMode::Dir, {Tg(At(L"c"))});
  ItemStat dry = CleanOne(dir, true);
  EXPECT_EQ(dry.files, 65u);  // the files the real clean deletes
  EXPECT_EQ(dry.bytes, 65u * 66u / 2u);
}

TEST_F(Engine, ScanCountsATargetRepeatedInAnotherLetterCaseOnce) {
  ASSERT_TRUE(PlantFile(At(L"Data\\a.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"Data\\b.txt"), 2));
#ifndef _WIN32
  // The stand-in is case-sensitive, so the other spelling is a folder of its
  // own here; it is still the same folder on Windows and must be skipped.
  ASSERT_TRUE(PlantFile(At(L"DATA\\other.log"), 4));
#endif
  RuleItem repeated = Item("repeated", ItemMode::Files,
                           {Tg(At(L"Data")), Tg(At(L"DATA")), Tg(At(L"data")), Tg(At(L"Data"))});
  ItemStat s = ScanOne(repeated);
  EXPECT_EQ(s.files, 2u);
  EXPECT_EQ(s.bytes, 3u);
  std::vector<FileHit> hits;
  CollectDetails(repeated, 100, hits);
  EXPECT_EQ(hits.size(), 2u);

  // Different filters make a different target: the folder is walked again,
  // but a file both targets take is counted once, as the clean deletes it
  // once.
  RuleItem refiltered =
      Item("refiltered", ItemMode::Files, {Tg(At(L"Data"), true, {L"*.log"}), Tg(At(L"Data"))});
  ItemStat r = ScanOne(refiltered);
  EXPECT_EQ(r.files, 2u);
  EXPECT_EQ(r.bytes, 1u + 2u);
  EXPECT_EQ(CleanOne(refiltered, true).files, r.files);
  RuleItem flat = Item("flat", ItemMode::Files, {Tg(At(L"Data"), false), Tg(At(L"Data"))});
  EXPECT_EQ(ScanOne(flat).files, 2u);

  // A clean of the repeated item deletes each file once and reports it once.
  Listing before = ListTree(Root());
  ItemStat c = CleanOne(repeated, false);
  EXPECT_EQ(c.files, 2u);
  EXPECT_EQ(c.bytes, 3u);
  EXPECT_EQ(c.skipped, 0u);
  ExpectOnlyGone(before, ListTree(Root()), {"Data/a.log", "Data/b.txt"});
}

// ---- Details --------------------------------------------------------------------------

TEST_F(Engine, DetailsListFilesInWalkOrderUpToTheMaximum) {
  ASSERT_TRUE(PlantFile(At(L"t1\\b.dat"), 1, false, kTime));
  ASSERT_TRUE(PlantFile(At(L"t1\\a.dat"), 2, false, kTime));
  ASSERT_TRUE(PlantFile(At(L"t1\\m\\m1.dat"), 4, false, kTime + 10000000));
  ASSERT_TRUE(PlantFile(At(L"t1\\m\\m2.dat"), 8, true, kTime));
  ASSERT_TRUE(PlantFile(At(L"t1\\z.dat"), 16, false, kTime));
  ASSERT_TRUE(PlantFile(At(L"single.dat"), 32, false, kTime + 20000000));
  ASSERT_TRUE(PlantFile(At(L"t3\\c.dat"), 64, false, kTime));
  RuleItem item = Item("i", ItemMode::Files,
                       {Tg(At(L"t1")), Tg(At(L"single.dat")), Tg(At(L"missing")), Tg(At(L"t3"))});

  std::vector<std::wstring> order;
  WalkOrder(At(L"t1"), order);
  order.push_back(At(L"single.dat"));
  WalkOrder(At(L"t3"), order);
  ASSERT_EQ(order.size(), 7u);

  std::vector<FileHit> hits = {FileHit{L"stale", 1, 1, L"stale"}};
  CollectDetails(item, 5000, hits);
  ASSERT_EQ(hits.size(), order.size());
  for (size_t i = 0; i < hits.size(); ++i) {
    EXPECT_EQ(hits[i].path, order[i]) << i;
    tov::FileInfo info;
    ASSERT_TRUE(tov::GetFileInfo(order[i], &info));
    EXPECT_EQ(hits[i].size, info.size) << i;
    EXPECT_EQ(hits[i].mtime, info.mtime) << i;
  }
  auto hitFor = [&](const std::wstring& path) -> const FileHit* {
    for (const FileHit& h : hits)
      if (h.path == path) return &h;
    return nullptr;
  };
  ASSERT_NE(hitFor(At(L"t1\\m\\m1.dat")), nullptr);
  EXPECT_EQ(hitFor(At(L"t1\\m\\m1.dat"))->mtime, kTime + 10000000);
  EXPECT_EQ(hitFor(At(L"t1\\m\\m1.dat"))->size, 4u);
  ASSERT_NE(hitFor(At(L"single.dat")), nullptr);
  EXPECT_EQ(hitFor(At(L"single.dat"))->mtime, kTime + 20000000);
  EXPECT_EQ(hitFor(At(L"single.dat"))->size, 32u);
  ASSERT_NE(hitFor(At(L"t1\\z.dat")), nullptr);
  EXPECT_EQ(hitFor(At(L"t1\\z.dat"))->mtime, kTime);

  CollectDetails(item, 3, hits);
  ASSERT_EQ(hits.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(hits[i].path, order[i]);

  CollectDetails(item, 0, hits);
  EXPECT_TRUE(hits.empty());

  // The special modes of a scan do not apply to a details listing.
  RuleItem hib = Item("h", ItemMode::Hibernate, {Tg(At(L"t3"))});
  CollectDetails(hib, 10, hits);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].path, At(L"t3\\c.dat"));

  RuleItem hidden = item;
  hidden.allowDetails = false;
  hits = {FileHit{L"stale", 1, 1, L"stale"}};
  CollectDetails(hidden, 5000, hits);
  EXPECT_TRUE(hits.empty());
}

// ---- Walks on several threads ------------------------------------------------------------

// A whole result as text, every figure and every text in order, so that two
// results compare as a whole.
std::string ResultText(const ResultList& r, const std::vector<Overlap>& overlaps) {
  std::string o;
  for (const auto& kv : r) {
    const ItemStat& s = kv.second;
    o += kv.first + ": files " + std::to_string(s.files) + " bytes " + std::to_string(s.bytes) +
         " skipped " + std::to_string(s.skipped) + " shared " + std::to_string(s.shared) + " with";
    for (const std::string& w : s.sharedWith) o += " " + w;
    o += "\n";
    for (const std::string& e : s.errors) o += "  error " + e + "\n";
  }
  for (const Overlap& ov : overlaps) {
    o += "overlap";
    for (const std::string& i : ov.items) o += " " + i;
    o += ": files " + std::to_string(ov.files) + " bytes " + std::to_string(ov.bytes) + "\n";
  }
  return o;
}

std::string HitsText(const std::vector<FileHit>& hits) {
  std::string o;
  for (const FileHit& h : hits)
    o += W2U(h.path) + " " + std::to_string(h.size) + " " + std::to_string(h.mtime) + "\n";
  return o;
}

// Every task that lists ahead, on the threads the engine's walks are set to.
struct EveryWalk {
  std::string scan, dryRun, details, measureDetails;
};

EveryWalk WalkEverything(const std::vector<Category>& cats, const TaskOptions& opt) {
  EveryWalk e;
  ResultList r;
  std::vector<Overlap> overlaps;
  ScanItems(cats, {}, r, opt, &overlaps);
  e.scan = ResultText(r, overlaps);
  std::vector<std::string> ids;
  for (const RuleItem& item : cats[0].items) ids.push_back(item.id);
  CleanItems(cats, ids, true, r, opt);
  e.dryRun = ResultText(r, {});
  std::vector<FileHit> hits;
  for (const RuleItem& item : cats[0].items) {
    CollectDetails(item, 150, hits, opt);
    (item.mode == ItemMode::Measure ? e.measureDetails : e.details) +=
        item.id + "\n" + HitsText(hits);
  }
  return e;
}

TEST_F(Engine, WalksOnSeveralThreadsGiveExactlyTheResultOfOne) {
  // Enough folders for walker threads to list many ahead, and in them every
  // case a decision can take: files two items take (counted once by the
  // first in a dry run, an overlap in a scan), young files (the age
  // filter), skipped ones (the skip list), protected files and a protected
  // folder (refused, more than twenty texts, so that which twenty is kept
  // counts), a link, a folder below a measured item.
  const std::wstring a = At(L"A");
  TaskOptions opt;
  opt.cutoff = kTime + kFileTimeDay;
  for (int d = 0; d < 12; ++d) {
    std::wstring dir = Join(a, L"d" + std::to_wstring(d));
    for (int s = 0; s < 3; ++s) {
      std::wstring sub = Join(dir, L"s" + std::to_wstring(s));
      uint64_t n = static_cast<uint64_t>(d * 3 + s);
      ASSERT_TRUE(PlantFile(Join(sub, L"x.tmp"), 1 + n, false, kTime));
      ASSERT_TRUE(PlantFile(Join(sub, L"y.log"), 1000 + n, false, kTime));
      ASSERT_TRUE(PlantFile(Join(sub, L"new.tmp"), 100000 + n, false, kTime + 10 * kFileTimeDay));
      ASSERT_TRUE(PlantFile(Join(sub, L"deep\\z.tmp"), 10000 + n, false, kTime));
      if (s > 0) opt.protect.push_back(Join(sub, L"y.log"));
      if (s == 2) opt.skip.insert(tov::LowerAscii(Join(sub, L"x.tmp")));
    }
    ASSERT_TRUE(PlantFile(Join(dir, L"top.tmp"), 7, false, kTime));
  }
  opt.protect.push_back(Join(a, L"d3"));
  ASSERT_TRUE(PlantFile(At(L"Outside\\o.tmp"), 5, false, kTime));
  std::string why;
  if (!PlantDirLink(Join(a, L"d7\\link"), At(L"Outside"), &why))
    std::printf("the tree has no link: %s\n", why.c_str());
  std::vector<Category> cats = {Cat(
      "c",
      {Item("all", ItemMode::Files, {Tg(a)}),
       Item("tmp", ItemMode::Files, {Tg(a, true, {L"*.tmp"})}),
       Item("whole", ItemMode::Dir, {Tg(Join(a, L"d5")), Tg(Join(a, L"d6"))}),
       Item("logs", ItemMode::Files, {Tg(Join(a, L"d1"), true, {L"*.log"}), Tg(Join(a, L"d2"))}),
       Item("measured", ItemMode::Measure, {Tg(Join(a, L"d9"))})})};
  Listing before = ListTree(Root());

  SetListingThreads(1);
  uint64_t ahead0 = FoldersListedAhead();
  const EveryWalk one = WalkEverything(cats, opt);
  EXPECT_EQ(FoldersListedAhead(), ahead0) << "a walk on one thread listed ahead";
  // The single walk's result holds every case the tree was made for.
  EXPECT_NE(one.scan.find("overlap all tmp"), std::string::npos) << one.scan;
  EXPECT_NE(one.dryRun.find("shared"), std::string::npos);
  size_t from = one.dryRun.find("all:"), to = one.dryRun.find("\ntmp:");
  size_t errors = 0;
  for (size_t at = from; (at = one.dryRun.find("  error ", at)) < to; ++at) ++errors;
  EXPECT_EQ(errors, kMaxErrors) << one.dryRun;  // more refusals than the texts kept
  EXPECT_NE(one.dryRun.find("已设为不清理"), std::string::npos) << one.dryRun;
  EXPECT_NE(one.details.find("x.tmp"), std::string::npos);
  EXPECT_NE(one.measureDetails.find("d9"), std::string::npos);

  for (int threads : {2, 8}) {
    SetListingThreads(threads);
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE("threads " + std::to_string(threads) + ", round " + std::to_string(round));
      uint64_t ahead = FoldersListedAhead();
      EveryWalk many = WalkEverything(cats, opt);
      EXPECT_EQ(many.scan, one.scan);
      EXPECT_EQ(many.dryRun, one.dryRun);
      EXPECT_EQ(many.details, one.details);
      EXPECT_EQ(many.measureDetails, one.measureDetails);
      EXPECT_GT(FoldersListedAhead(), ahead) << "no walker thread listed a folder";
      if (HasFailure()) break;
    }
  }
  SetListingThreads(0);
  ExpectOnlyGone(before, ListTree(Root()), {});
}

TEST_F(Engine, DetailsWalkPublishesTheLastSubdirectoryEntered) {
  ASSERT_TRUE(PlantFile(At(L"c\\top.dat"), 1));
  ASSERT_TRUE(PlantFile(At(L"c\\s1\\s2\\f.dat"), 2));
  ASSERT_TRUE(PlantFile(At(L"flat\\g.dat"), 4));
  std::vector<FileHit> hits;
  CollectDetails(Item("i", ItemMode::Files, {Tg(At(L"c"))}), 10, hits);
  EXPECT_EQ(hits.size(), 2u);
  EXPECT_EQ(TaskStateNow().cur, W2U(At(L"c\\s1\\s2")));

  // A new task empties it; a walk without subdirectories leaves it empty.
  std::vector<Category> cats = {Cat("c", {Item("flat", ItemMode::Files, {Tg(At(L"flat"))})})};
  ASSERT_TRUE(StartScan(cats, {"flat"}));
  ASSERT_TRUE(WaitTask(60000));
  EXPECT_EQ(TaskStateNow().cur, "");
  ResultList r = CopyLastResult();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].second.bytes, 4u);
}

TEST_F(Engine, CurPathIsCutAtACharacterBoundary) {
  SetCurPath(L"C:\\short");
  EXPECT_EQ(TaskStateNow().cur, "C:\\short");

  std::string exact = "C:\\" + std::string(997, 'a');  // 1000 bytes: kept whole
  SetCurPath(U2W(exact));
  EXPECT_EQ(TaskStateNow().cur, exact);

  std::string over = "C:\\" + std::string(998, 'a');
  SetCurPath(U2W(over));
  EXPECT_EQ(TaskStateNow().cur, over.substr(0, 1000));

  // Three-byte characters: 3 + 332 * 3 = 999 bytes fit, the next would end at 1002.
  std::string han;
  for (int i = 0; i < 500; ++i) han += "中";
  SetCurPath(U2W("C:\\" + han));
  EXPECT_EQ(TaskStateNow().cur, "C:\\" + han.substr(0, 332 * 3));

  // A character that ends exactly at byte 1000 stays.
  std::string edge = "C:\\" + han.substr(0, 332 * 3) + "a" + "中";
  SetCurPath(U2W(edge));
  EXPECT_EQ(TaskStateNow().cur, edge.substr(0, 1000));

  // Four-byte characters (a surrogate pair on Windows): 3 + 249 * 4 = 999.
  std::string emoji;
  for (int i = 0; i < 300; ++i) emoji += "\xF0\x9F\x98\x80";
  SetCurPath(U2W("C:\\" + emoji));
  EXPECT_EQ(TaskStateNow().cur, "C:\\" + emoji.substr(0, 249 * 4));
}

TEST_F(Engine, LeftoverCancelStopsDirectoryWalksUntilTheNextStart) {
  ASSERT_TRUE(PlantFile(At(L"dir\\a.tmp"), 1));
  ASSERT_TRUE(PlantFile(At(L"dir\\sub\\b.tmp"), 2));
  ASSERT_TRUE(PlantFile(At(L"one.tmp"), 4));
  RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"dir")), Tg(At(L"one.tmp"))});
  std::vector<Category> cats = {Cat("c", {item})};

  CancelTask();
  EXPECT_TRUE(TaskStateNow().cancelled);
  std::vector<FileHit> hits;
  CollectDetails(item, 100, hits);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].path, At(L"one.tmp"));

  // The item loops stop before their first item and mark the task finished,
  // seen from inside a task of its own, which nothing else has marked yet
  // (its start clears the request, so it asks again).
  Listing before = ListTree(Root());
  for (bool scan : {true, false}) {
    SCOPED_TRACE(scan ? "scan" : "clean");
    ResultList out = {{"stale", ItemStat()}};
    bool cancelSeen = false, finishedBefore = true, finishedAfter = false;
    ASSERT_TRUE(StartTaskOf("test", [&](TaskFeed& feed) {
      CancelTask();
      cancelSeen = feed.cancel.load() != 0;
      finishedBefore = TaskStateNow().finished;
      if (scan)
        ScanItems(cats, {}, out);
      else
        CleanItems(cats, {"i"}, false, out);
      finishedAfter = TaskStateNow().finished;
    }));
    ASSERT_TRUE(WaitTask(60000));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(cancelSeen);
    EXPECT_FALSE(finishedBefore);
    EXPECT_TRUE(finishedAfter);
  }
  ExpectOnlyGone(before, ListTree(Root()), {});
  EXPECT_TRUE(TaskStateNow().cancelled);

  // The next start clears the request.
  ASSERT_TRUE(StartScan(cats, {"i"}));
  ASSERT_TRUE(WaitTask(60000));
  EXPECT_FALSE(TaskStateNow().cancelled);
  ResultList r = CopyLastResult();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].second.files, 3u);
  EXPECT_EQ(r[0].second.bytes, 7u);
  CollectDetails(item, 100, hits);
  EXPECT_EQ(hits.size(), 3u);
}

// ---- The task --------------------------------------------------------------------------

std::vector<Category> TaskCatalogue(const std::wstring& root) {
  return {Cat("one", {Item("a", ItemMode::Files, {Tg(Join(root, L"A"))}),
                      Item("b", ItemMode::Files, {Tg(Join(root, L"missing"))})}),
          Cat("two", {Item("c", ItemMode::Measure, {Tg(Join(root, L"C"))}),
                      Item("d", ItemMode::Dir, {Tg(Join(root, L"gone"))})})};
}

TEST_F(Engine, TaskCountsItemsAndPublishesResultsInCatalogueOrder) {
  ASSERT_TRUE(PlantFile(At(L"A\\a1"), 1));
  ASSERT_TRUE(PlantFile(At(L"A\\a2"), 2));
  ASSERT_TRUE(PlantFile(At(L"C\\c1"), 4));
  std::vector<Category> cats = TaskCatalogue(Root());
  Listing before = ListTree(Root());

  // Repeated ids and ids that name no item count in total, not in done.
  ASSERT_TRUE(StartScan(cats, {"c", "a", "a", "zz"}));
  ASSERT_TRUE(WaitTask(60000));
  TaskSnapshot s = TaskStateNow();
  EXPECT_EQ(s.total, 4);
  EXPECT_EQ(s.done, 2);
  EXPECT_FALSE(s.busy);
  EXPECT_TRUE(s.finished);
  EXPECT_EQ(s.bytes, 7u);
  EXPECT_EQ(s.files, 3u);
  EXPECT_GT(s.freeBefore, 0u);
  EXPECT_EQ(s.freeAfter, s.freeBefore);
  EXPECT_EQ(s.phase, "idle");
  TaskResults r = TaskResultsNow();
  ResultList scan1 = r.last;
  EXPECT_EQ(r.kind, "scan");
  EXPECT_FALSE(r.dryRun);
  uint64_t scanAt = r.lastScanAt;
  EXPECT_EQ(Ids(r.lastScan), Ids(scan1));
  ASSERT_EQ(Ids(scan1), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(scan1[0].second.bytes, 3u);
  EXPECT_EQ(scan1[1].second.bytes, 4u);
  EXPECT_GT(scanAt, 0u);
  EXPECT_LE(scanAt, tov::TickCount64());

  // Ids are compared byte for byte.
  ASSERT_TRUE(StartScan(cats, {"A"}));
  ASSERT_TRUE(WaitTask(60000));
  s = TaskStateNow();
  EXPECT_EQ(s.total, 1);
  EXPECT_EQ(s.done, 0);
  EXPECT_TRUE(CopyLastResult().empty());

  // No ids: a scan covers every item.
  ASSERT_TRUE(StartScan(cats, {}));
  ASSERT_TRUE(WaitTask(60000));
  s = TaskStateNow();
  EXPECT_EQ(s.total, 4);
  EXPECT_EQ(s.done, 4);
  EXPECT_EQ(Ids(CopyLastResult()), (std::vector<std::string>{"a", "b", "c", "d"}));

  // No ids: a clean covers nothing, though total counts every item.
  ASSERT_TRUE(StartClean(cats, {}, false, false));
  ASSERT_TRUE(WaitTask(60000));
  s = TaskStateNow();
  EXPECT_EQ(s.total, 4);
  EXPECT_EQ(s.done, 0);
  EXPECT_EQ(s.bytes, 0u);
  EXPECT_GT(s.freeAfter, 0u);
  r = TaskResultsNow();
  EXPECT_TRUE(r.last.empty());
  EXPECT_EQ(r.kind, "clean");
  EXPECT_FALSE(r.dryRun);
  // The last scan's results survive a clean.
  EXPECT_EQ(Ids(r.lastScan), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_GE(r.lastScanAt, scanAt);

  // A dry run (Explorer is never touched in a dry run, even when asked).
  ASSERT_TRUE(StartClean(cats, {"d", "c", "a"}, true, true));
  ASSERT_TRUE(WaitTask(60000));
  s = TaskStateNow();
  EXPECT_EQ(s.total, 3);
  EXPECT_EQ(s.done, 3);
  r = TaskResultsNow();
  EXPECT_EQ(Ids(r.last), (std::vector<std::string>{"a", "c", "d"}));
  EXPECT_EQ(r.kind, "clean");
  EXPECT_TRUE(r.dryRun);
  ExpectOnlyGone(before, ListTree(Root()), {});
}

TEST_F(Engine, SecondStartIsRefusedWhileTheFirstHoldsTheEngine) {
  // Each walk meets a subfolder, where the hold keeps it.
  ASSERT_TRUE(PlantFile(At(L"A\\sub\\a1"), 1));
  ASSERT_TRUE(PlantFile(At(L"C\\sub\\c1"), 4));
  std::vector<Category> cats = TaskCatalogue(Root());
  Listing before = ListTree(Root());

  struct Case {
    bool scan;
    bool dryRun;
    std::vector<std::string> ids;
    const char* phase;
  };
  const Case cases[] = {{true, false, {"a"}, "scan"},
                        {false, true, {"a"}, "clean-dryrun"},
                        {false, false, {"c"}, "clean"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.phase);
    // A walk held inside the task's one item keeps the engine for as long as
    // this test wants.
    WalkHold hold;
    ASSERT_TRUE(c.scan ? StartScan(cats, c.ids) : StartClean(cats, c.ids, c.dryRun, false));
    hold.WaitHeld();
    EXPECT_FALSE(StartScan(cats, {"a", "b", "c"}));
    EXPECT_FALSE(StartClean(cats, {"a", "b"}, true, false));
    EXPECT_FALSE(StartScan(cats, {}));
    EXPECT_FALSE(StartTaskOf("test", [](TaskFeed&) {}));
    // The refused starts changed nothing.
    TaskSnapshot s = TaskStateNow();
    EXPECT_TRUE(s.busy);
    EXPECT_EQ(s.total, 1);
    EXPECT_EQ(s.done, 0);
    EXPECT_FALSE(s.finished);
    EXPECT_EQ(s.phase, c.phase);
    EXPECT_EQ(s.cur, W2U(At(c.scan || c.dryRun ? L"A\\sub" : L"C\\sub")));
    EXPECT_FALSE(WaitTask(50));
    hold.Release();
    ASSERT_TRUE(WaitTask(60000));
    s = TaskStateNow();
    EXPECT_FALSE(s.busy);
    EXPECT_TRUE(s.finished);
    EXPECT_EQ(s.done, 1);
    EXPECT_EQ(s.phase, "idle");
    TaskResults r = TaskResultsNow();
    EXPECT_EQ(r.kind, c.scan ? "scan" : "clean");
    EXPECT_EQ(r.dryRun, c.dryRun);
    EXPECT_EQ(Ids(r.last), c.ids);
  }
  ExpectOnlyGone(before, ListTree(Root()), {});
}

TEST_F(Engine, ACleanHoldsTheMachinesCleanAndIsBusyWhileAnotherHoldsIt) {
  ASSERT_TRUE(PlantFile(At(L"A\\sub\\a1"), 1));
  ASSERT_TRUE(PlantFile(At(L"C\\c1"), 4));
  std::vector<Category> cats = TaskCatalogue(Root());
  Listing before = ListTree(Root());
  ASSERT_TRUE(StartScan(cats, {"c"}));
  ASSERT_TRUE(WaitTask(60000));
  TaskSnapshot last = TaskStateNow();

  // Another clean holds the machine (here: this process, as another would).
  ASSERT_TRUE(tov::TryHoldMachineClean());
  std::string refused;
  EXPECT_FALSE(StartClean(cats, {"a"}, true, false, TaskOptions(), &refused));
  EXPECT_FALSE(StartClean(cats, {"a"}, false, false, TaskOptions(), &refused));
  EXPECT_EQ(refused, "");  // busy, not refused for a reason of its own
  // The refused cleans changed nothing: the engine is free, the last
  // task's record stands.
  TaskSnapshot s = TaskStateNow();
  EXPECT_FALSE(s.busy);
  EXPECT_EQ(s.phase, "idle");
  EXPECT_EQ(s.done, last.done);
  EXPECT_EQ(s.bytes, last.bytes);
  EXPECT_EQ(TaskResultsNow().kind, "scan");
  // A scan deletes nothing and does not need it.
  ASSERT_TRUE(StartScan(cats, {"a"}));
  ASSERT_TRUE(WaitTask(60000));
  tov::ReleaseMachineClean();

  // A running clean, dry run or real, holds it until it ends.
  for (bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "real clean");
    {
      WalkHold hold;
      ASSERT_TRUE(StartClean(cats, {"a"}, dryRun, false));
      hold.WaitHeld();
      EXPECT_FALSE(tov::TryHoldMachineClean());
      hold.Release();
      ASSERT_TRUE(WaitTask(60000));
    }
    EXPECT_TRUE(tov::TryHoldMachineClean());
    tov::ReleaseMachineClean();
  }
  ExpectOnlyGone(before, ListTree(Root()), {"A/sub/a1"});
}

// What the progress record showed each time the walk entered a subfolder.
std::vector<std::pair<uint64_t, uint64_t>> g_shownAtFolders;
void RecordShownFigures(const std::wstring&) {
  TaskSnapshot s = TaskStateNow();
  g_shownAtFolders.emplace_back(s.files, s.bytes);
}

TEST_F(Engine, TheFiguresOfATaskOfOneItemGrowWhileItsItemIsWalked) {
  // Three subfolders of 300 files each (more than one batch of the walk's
  // figures), a byte each, and a file of 1000 bytes in each: when the walk
  // enters a subfolder, it shows every file of the ones before.
  struct Case {
    const char* what;
    bool scan, dryRun;
  };
  const Case cases[] = {{"scan", true, false}, {"dry run", false, true}, {"clean", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int d = 0; d < 3; ++d) {
      std::wstring sub = At(L"A\\s" + std::to_wstring(d));
      for (int f = 0; f < 300; ++f) ASSERT_TRUE(PlantFile(Join(sub, L"f" + std::to_wstring(f)), 1));
      ASSERT_TRUE(PlantFile(Join(sub, L"big"), 1000));
    }
    std::vector<Category> cats = {Cat("c", {Item("a", ItemMode::Files, {Tg(At(L"A"))})})};
    Listing before = ListTree(Root());
    g_shownAtFolders.clear();
    SetWalkHookForTest(RecordShownFigures);
    ASSERT_TRUE(c.scan ? StartScan(cats, {"a"}) : StartClean(cats, {"a"}, c.dryRun, false));
    bool ended = WaitTask(60000);
    SetWalkHookForTest(nullptr);
    ASSERT_TRUE(ended);
    std::vector<std::pair<uint64_t, uint64_t>> expected = {{0, 0}, {301, 1300}, {602, 2600}};
    EXPECT_EQ(g_shownAtFolders, expected);
    TaskSnapshot s = TaskStateNow();
    EXPECT_EQ(s.files, 903u);
    EXPECT_EQ(s.bytes, 3900u);
    std::set<std::string> gone;
    if (!c.scan && !c.dryRun)
      for (const auto& kv : before)
        if (kv.second != "dir") gone.insert(kv.first);  // a "files" item keeps its folders
    ExpectOnlyGone(before, ListTree(Root()), gone);
    RemoveTree(At(L"A"));
  }
}

// ---- Explorer around a real clean ------------------------------------------------------

// The fake Explorer of the hooks: every call in order, each with whether
// the file the clean deletes was still there at that moment.
std::vector<std::string> g_explorerCalls;
std::wstring g_explorerProbe;
bool g_explorerRunning = true;

std::string Call(const std::string& what) {
  tov::FileInfo info;
  return what + (tov::GetFileInfo(g_explorerProbe, &info) ? " before" : " after");
}
bool FakeExplorerIsRunning() {
  g_explorerCalls.push_back(Call("running?"));
  return g_explorerRunning;
}
void FakeExplorerWatchdog(uint32_t seconds) {
  g_explorerCalls.push_back(Call("watchdog " + std::to_string(seconds)));
}
void FakeExplorerStop() {
  g_explorerCalls.push_back(Call("stop"));
}
void FakeExplorerStart() {
  g_explorerCalls.push_back(Call("start"));
}

TEST_F(Engine, ARealCleanStopsExplorerThroughItsHooksAndStartsItAfterwards) {
  g_explorerProbe = At(L"A\\x.tmp");
  std::vector<Category> cats = {Cat("c", {Item("a", ItemMode::Files, {Tg(At(L"A"))})})};
  // Runs one task and returns the hooks' calls; the file is planted anew.
  auto run = [&](bool scan, bool dryRun, bool restart) {
    g_explorerCalls.clear();
    EXPECT_TRUE(PlantFile(g_explorerProbe, 1));
    Listing before = ListTree(Root());
    EXPECT_TRUE(scan ? StartScan(cats, {"a"}) : StartClean(cats, {"a"}, dryRun, restart));
    EXPECT_TRUE(WaitTask(60000));
    ExpectOnlyGone(before, ListTree(Root()),
                   scan || dryRun ? std::set<std::string>() : std::set<std::string>{"A/x.tmp"});
    return g_explorerCalls;
  };
  using Calls = std::vector<std::string>;

  // Without hooks a clean asked to restart Explorer just cleans.
  EXPECT_EQ(run(false, false, true), Calls());

  SetExplorerHooks(
      {FakeExplorerIsRunning, FakeExplorerWatchdog, FakeExplorerStop, FakeExplorerStart});
  // Stopped before the first file goes, the watchdog first; started once
  // the last has gone.
  EXPECT_EQ(run(false, false, true),
            (Calls{"running? before", "watchdog 20 before", "stop before", "start after"}));
  // Only a real clean that asks touches Explorer.
  EXPECT_EQ(run(false, false, false), Calls());
  EXPECT_EQ(run(false, true, true), Calls());
  EXPECT_EQ(run(true, false, false), Calls());
  // An Explorer that is not running is neither stopped nor started.
  g_explorerRunning = false;
  EXPECT_EQ(run(false, false, true), Calls{"running? before"});
  SetExplorerHooks(ExplorerHooks());
  g_explorerRunning = true;
  EXPECT_EQ(run(false, false, true), Calls());
}

// ---- Cleaning: "files" ---------------------------------------------------------------

TEST_F(Engine, FilesModeDryRunReportsAndRealCleanDeletesExactlyTheMatches) {
  ASSERT_TRUE(PlantFile(At(L"t1\\a.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"t1\\B.LOG"), 2, true));
  ASSERT_TRUE(PlantFile(At(L"t1\\keep.log"), 4096));
  ASSERT_TRUE(PlantFile(At(L"t1\\xkeep.LOG"), 8192));
  ASSERT_TRUE(PlantFile(At(L"t1\\notes.txt"), 16384));
  ASSERT_TRUE(PlantFile(At(L"t1\\sub\\c.log"), 4));
  ASSERT_TRUE(PlantFile(At(L"t1\\sub\\deep\\d.log"), 8, true));
  ASSERT_TRUE(PlantFile(At(L"t1\\sub\\deep\\e.tmp"), 32768));
  ASSERT_TRUE(MakeDir(At(L"t1\\emptydir")));
  ASSERT_TRUE(PlantFile(At(L"t2\\e.log"), 16));
  ASSERT_TRUE(PlantFile(At(L"t2\\sub2\\f.log"), 65536));
  ASSERT_TRUE(PlantFile(At(L"single.log"), 32, true));
  ASSERT_TRUE(PlantFile(At(L"single.txt"), 131072));
  ASSERT_TRUE(PlantFile(At(L"excluded.log"), 262144));
  RuleItem item =
      Item("i", ItemMode::Files,
           {Tg(At(L"t1"), true, {L"*.log"}, {L"keep.log"}), Tg(At(L"t2"), false, {L"*.log"}),
            Tg(At(L"single.log"), true, {L"*.log"}), Tg(At(L"single.txt"), true, {L"*.log"}),
            Tg(At(L"excluded.log"), true, {}, {L"*.LOG"}), Tg(At(L"missing")), Tg(L"")});
  const uint64_t kBytes = 1 + 2 + 4 + 8 + 16 + 32;

  Listing before = ListTree(Root());
  ItemStat scan = ScanOne(item);
  EXPECT_EQ(scan.files, 6u);
  EXPECT_EQ(scan.bytes, kBytes);

  ItemStat dry = CleanOne(item, true);
  EXPECT_EQ(dry.files, 6u);
  EXPECT_EQ(dry.bytes, kBytes);
  EXPECT_EQ(dry.skipped, 0u);
  EXPECT_TRUE(dry.errors.empty());
  ExpectOnlyGone(before, ListTree(Root()), {});

  ItemStat real = CleanOne(item, false);
  EXPECT_EQ(real.files, 6u);
  EXPECT_EQ(real.bytes, kBytes);
  EXPECT_EQ(real.skipped, 0u);
  EXPECT_TRUE(real.errors.empty());
  // Read-only files go too; every folder stays.
  ExpectOnlyGone(
      before, ListTree(Root()),
      {"t1/a.log", "t1/B.LOG", "t1/sub/c.log", "t1/sub/deep/d.log", "t2/e.log", "single.log"});

  // Nothing matches any more.
  ItemStat again = CleanOne(item, false);
  EXPECT_EQ(again.files, 0u);
  EXPECT_EQ(again.bytes, 0u);
}

TEST_F(Engine, FilesModeThroughTheTaskThread) {
  ASSERT_TRUE(PlantFile(At(L"A\\x.tmp"), 1));
  ASSERT_TRUE(PlantFile(At(L"A\\y.keep"), 2));
  ASSERT_TRUE(PlantFile(At(L"B\\z.tmp"), 4));
  std::vector<Category> cats = {
      Cat("c", {Item("a", ItemMode::Files, {Tg(At(L"A"), true, {L"*.tmp"})}),
                Item("b", ItemMode::Files, {Tg(At(L"B"))})})};
  Listing before = ListTree(Root());
  ASSERT_TRUE(StartClean(cats, {"b", "a"}, false, false));
  ASSERT_TRUE(WaitTask(60000));
  TaskSnapshot s = TaskStateNow();
  EXPECT_EQ(s.done, 2);
  EXPECT_EQ(s.bytes, 5u);
  EXPECT_EQ(s.files, 2u);
  EXPECT_GT(s.freeAfter, 0u);
  ResultList r = CopyLastResult();
  EXPECT_EQ(Ids(r), (std::vector<std::string>{"a", "b"}));
  ExpectOnlyGone(before, ListTree(Root()), {"A/x.tmp", "B/z.tmp"});
}

TEST_F(Engine, TargetsOnTheDesktopAreRefused) {
  std::wstring desk = Join(Desktop(), L"tamsel-t-desk");
  RemoveTree(desk);
  ASSERT_TRUE(PlantFile(Join(desk, L"a.txt"), 1));
  ASSERT_TRUE(PlantFile(Join(desk, L"sub\\b.txt"), 2, true));
  Listing before = ListTree(desk);
  ASSERT_EQ(before.size(), 3u);

  RuleItem files = Item("f", ItemMode::Files, {Tg(desk), Tg(Join(desk, L"a.txt"))});
  RuleItem dir = Item("d", ItemMode::Dir, {Tg(desk)});
  for (bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "real clean");
    ItemStat f = CleanOne(files, dryRun);
    EXPECT_EQ(f.files, 0u);
    EXPECT_EQ(f.bytes, 0u);
    EXPECT_EQ(f.skipped, 2u);
    EXPECT_EQ(f.errors, (std::vector<std::string>{Err(desk, kReasonDesktop),
                                                  Err(Join(desk, L"a.txt"), kReasonDesktop)}));
    ItemStat d = CleanOne(dir, dryRun);
    EXPECT_EQ(d.files, 0u);
    EXPECT_EQ(d.bytes, 0u);
    EXPECT_EQ(d.skipped, 1u);
    EXPECT_EQ(d.errors, (std::vector<std::string>{Err(desk, kReasonDesktop)}));
    ExpectOnlyGone(before, ListTree(desk), {});
  }
  if (!HasFailure()) RemoveTree(desk);
}

TEST_F(Engine, ADirItemOnTheDesktopKeepsEveryFileAndFolderInIt) {
  // The desktop folder itself passes the gate (only what lies inside it is
  // the desktop), so a "dir" item may name it: every file in it must still
  // be refused one by one, and no folder in it removed.
  std::wstring desktop = Desktop();
  std::wstring mine = Join(desktop, L"tamsel-t-dirdesk");
  RemoveTree(mine);
  ASSERT_TRUE(PlantFile(Join(mine, L"a.txt"), 1));
  ASSERT_TRUE(PlantFile(Join(mine, L"sub\\b.txt"), 2, true));
  ASSERT_TRUE(MakeDir(Join(mine, L"empty")));
  // Only this test's folder is compared: under wine the desktop is shared
  // with tests that put a shortcut on it and take it away meanwhile.
  Listing before = ListTree(mine);
  RuleItem dir = Item("d", ItemMode::Dir, {Tg(desktop)});
  for (bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "real clean");
    ItemStat d = CleanOne(dir, dryRun);
    EXPECT_EQ(d.files, 0u);
    EXPECT_EQ(d.bytes, 0u);
    EXPECT_GE(d.skipped, 2u);
    std::set<std::string> errors(d.errors.begin(), d.errors.end());
    EXPECT_TRUE(errors.count(Err(Join(mine, L"a.txt"), kReasonDesktop)));
    EXPECT_TRUE(errors.count(Err(Join(mine, L"sub\\b.txt"), kReasonDesktop)));
    // Whatever else lies on the desktop is refused for the same reason.
    const std::string tail = std::string(" : ") + kReasonDesktop;
    for (const std::string& e : d.errors)
      EXPECT_EQ(e.compare(e.size() - std::min(e.size(), tail.size()), std::string::npos, tail), 0)
          << e;
    ExpectOnlyGone(before, ListTree(mine), {});
  }
  if (!HasFailure()) RemoveTree(mine);
}

// ---- Files that several items take ----------------------------------------------------------

// Two items over nested folders, as the temporary folder lies inside the
// local application data: "temp" takes everything in Local\Temp, "tmplog"
// the *.tmp files anywhere in Local.
struct Nested {
  RuleItem temp, tmplog;
};

Nested NestedItems(const std::wstring& local) {
  return {Item("temp", ItemMode::Files, {Tg(Join(local, L"Temp"))}),
          Item("tmplog", ItemMode::Files, {Tg(local, true, {L"*.tmp"})})};
}

TEST_F(Engine, AFileTwoItemsTakeIsCountedAndDeletedOnceByTheFirst) {
  std::wstring local = At(L"Local");
  ASSERT_TRUE(PlantFile(Join(local, L"Temp\\a.tmp"), 1, false, kTime));
  ASSERT_TRUE(PlantFile(Join(local, L"Temp\\b.txt"), 2, false, kTime));
  ASSERT_TRUE(PlantFile(Join(local, L"Temp\\sub\\c.TMP"), 4, false, kTime));
  ASSERT_TRUE(PlantFile(Join(local, L"d.tmp"), 8, false, kTime));
  ASSERT_TRUE(PlantFile(Join(local, L"e.log"), 16, false, kTime));
  Nested n = NestedItems(local);
  struct Case {
    const char* name;
    bool tempFirst;                              // catalogue order
    std::vector<uint64_t> files, bytes, shared;  // per item, in catalogue order
    std::vector<std::vector<std::string>> sharedWith;
  };
  const Case cases[] = {
      {"temp first", true, {3, 1}, {7, 8}, {0, 2}, {{}, {"temp"}}},
      {"tmplog first", false, {3, 1}, {13, 2}, {0, 2}, {{}, {"tmplog"}}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::vector<Category> cats = {Cat("c", k.tempFirst ? std::vector<RuleItem>{n.temp, n.tmplog}
                                                       : std::vector<RuleItem>{n.tmplog, n.temp})};
    Listing before = ListTree(Root());
    ResultList dry, real;
    CleanItems(cats, {"temp", "tmplog"}, true, dry);
    EXPECT_EQ(ListTree(Root()), before);
    std::map<std::wstring, int> deleted;
    TaskOptions opt;
    opt.touched = [&deleted](const std::string&, TouchKind kind, uint64_t, const std::wstring& path,
                             const std::wstring&) {
      if (kind == TouchKind::Deleted) deleted[path]++;
    };
    CleanItems(cats, {"temp", "tmplog"}, false, real, opt);
    for (const ResultList* r : {&dry, &real}) {
      ASSERT_EQ(r->size(), 2u);
      for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ((*r)[i].second.files, k.files[i]) << i;
        EXPECT_EQ((*r)[i].second.bytes, k.bytes[i]) << i;
        EXPECT_EQ((*r)[i].second.skipped, 0u) << i;
        EXPECT_EQ((*r)[i].second.shared, k.shared[i]) << i;
        EXPECT_EQ((*r)[i].second.sharedWith, k.sharedWith[i]) << i;
      }
    }
    for (const auto& kv : deleted) EXPECT_EQ(kv.second, 1) << W2U(kv.first);
    EXPECT_EQ(deleted.size(), 4u);
    ExpectOnlyGone(before, ListTree(Root()),
                   {"Local/Temp/a.tmp", "Local/Temp/b.txt", "Local/Temp/sub/c.TMP", "Local/d.tmp"});
    // The same tree again for the next case.
    ASSERT_TRUE(PlantFile(Join(local, L"Temp\\a.tmp"), 1, false, kTime));
    ASSERT_TRUE(PlantFile(Join(local, L"Temp\\b.txt"), 2, false, kTime));
    ASSERT_TRUE(PlantFile(Join(local, L"Temp\\sub\\c.TMP"), 4, false, kTime));
    ASSERT_TRUE(PlantFile(Join(local, L"d.tmp"), 8, false, kTime));
  }
}

TEST_F(Engine, AScanCountsEachItemAsIfAloneAndNamesTheOverlaps) {
  std::wstring local = At(L"Local");
  ASSERT_TRUE(PlantFile(Join(local, L"Temp\\a.tmp"), 1, false, kTime));
  ASSERT_TRUE(PlantFile(Join(local, L"Temp\\b.txt"), 2, false, kTime));
  ASSERT_TRUE(PlantFile(Join(local, L"Temp\\sub\\c.TMP"), 4, false, kTime));
  ASSERT_TRUE(PlantFile(Join(local, L"d.tmp"), 8, false, kTime));
  Nested n = NestedItems(local);
  RuleItem dir = Item("sub", ItemMode::Dir, {Tg(Join(local, L"Temp\\sub"))});
  RuleItem alone = Item("alone", ItemMode::Files, {Tg(At(L"Elsewhere"))});
  std::vector<Category> cats = {Cat("c", {n.temp, n.tmplog, dir, alone})};
  ResultList out;
  std::vector<Overlap> overlaps;
  ScanItems(cats, {}, out, TaskOptions(), &overlaps);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].second.files, 3u);
  EXPECT_EQ(out[0].second.bytes, 7u);
  EXPECT_EQ(out[1].second.files, 3u);
  EXPECT_EQ(out[1].second.bytes, 13u);
  EXPECT_EQ(out[2].second.files, 1u);
  EXPECT_EQ(out[2].second.bytes, 4u);
  ASSERT_EQ(overlaps.size(), 2u);
  EXPECT_EQ(overlaps[0].items, (std::vector<std::string>{"temp", "tmplog"}));
  EXPECT_EQ(overlaps[0].files, 1u);  // a.tmp
  EXPECT_EQ(overlaps[0].bytes, 1u);
  EXPECT_EQ(overlaps[1].items, (std::vector<std::string>{"temp", "tmplog", "sub"}));
  EXPECT_EQ(overlaps[1].files, 1u);  // sub\c.TMP
  EXPECT_EQ(overlaps[1].bytes, 4u);
  // The skip list holds for a scan too: left out, not counted.
  TaskOptions skip;
  skip.skip.insert(tov::LowerAscii(Join(local, L"Temp\\a.tmp")));
  ScanItems(cats, {"temp", "tmplog"}, out, skip, &overlaps);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].second.files, 2u);
  EXPECT_EQ(out[0].second.bytes, 6u);
  EXPECT_EQ(out[1].second.files, 2u);
  EXPECT_EQ(out[1].second.bytes, 12u);
  ASSERT_EQ(overlaps.size(), 1u);
  EXPECT_EQ(overlaps[0].files, 1u);
}

TEST_F(Engine, AYoungFileOneItemLeavesIsLeftByEveryItemThatTakesIt) {
  // The age filter applies to "files" items only; a "dir" item that takes
  // the same young file leaves it too, and so keeps the folder that holds it.
  std::wstring local = At(L"Local");
  ASSERT_TRUE(PlantFile(Join(local, L"Temp\\old.tmp"), 1, false, kTime));
  ASSERT_TRUE(PlantFile(Join(local, L"Temp\\young.tmp"), 2));
  ASSERT_TRUE(PlantFile(Join(local, L"Temp\\young.txt"), 4));
  RuleItem dir = Item("tempdir", ItemMode::Dir, {Tg(Join(local, L"Temp"))});
  RuleItem tmplog = Item("tmplog", ItemMode::Files, {Tg(local, true, {L"*.tmp"})});
  TaskOptions opt;
  opt.cutoff = AgeCutoff(tov::NowFileTime(), 7);
  for (bool dirFirst : {true, false}) {
    SCOPED_TRACE(dirFirst ? "dir item first" : "files item first");
    std::vector<Category> cats = {Cat(
        "c", dirFirst ? std::vector<RuleItem>{dir, tmplog} : std::vector<RuleItem>{tmplog, dir})};
    Listing before = ListTree(Root());
    ResultList dry, real;
    CleanItems(cats, {"tempdir", "tmplog"}, true, dry, opt);
    CleanItems(cats, {"tempdir", "tmplog"}, false, real, opt);
    const ItemStat* d = Find(real, "tempdir");
    const ItemStat* f = Find(real, "tmplog");
    ASSERT_TRUE(d && f);
    // young.txt is the dir item's alone; old.tmp goes with the first item.
    EXPECT_EQ(d->files + f->files, 2u);
    EXPECT_EQ(d->bytes + f->bytes, 5u);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(dry[i].second.files, real[i].second.files);
      EXPECT_EQ(dry[i].second.bytes, real[i].second.bytes);
      EXPECT_EQ(dry[i].second.skipped, real[i].second.skipped);
      EXPECT_EQ(dry[i].second.shared, real[i].second.shared);
    }
    ExpectOnlyGone(before, ListTree(Root()), {"Local/Temp/old.tmp", "Local/Temp/young.txt"});
    ASSERT_TRUE(PlantFile(Join(local, L"Temp\\old.tmp"), 1, false, kTime));
    ASSERT_TRUE(PlantFile(Join(local, L"Temp\\young.txt"), 4));
  }
}

TEST_F(Engine, AnOldFileIsDeletedByItsOwnNameNotByTheNameOfAYoungOne) {
#ifdef _WIN32
  GTEST_SKIP() << "names of bytes that are not UTF-8 exist on the stand-in's host only; a Windows "
                  "name is UTF-16 text";
#else
  // Host names that differ only in bytes that are not UTF-8, and the names
  // the replacement character U+FFFD makes of them: only the old files are
  // old enough, and each is deleted as itself, never in place of another.
  namespace fs = std::filesystem;
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
  const fs::path t = tov::HostPath(At(L"t"));
  fs::create_directories(t / "e\xFF");
  fs::create_directories(t / "e\xEF\xBF\xBD");
  struct Planted {
    fs::path rel;
    uint64_t size;
    bool old;
  };
  const Planted kFiles[] = {
      {"a\xFF.log", 1, true},
      {"a\xFE.log", 2, false},
      {"a\xEF\xBF\xBD.log", 4, false},
      {"c\xC0\xAF.log", 8, true},
      {"c\xEF\xBF\xBD\xEF\xBF\xBD.log", 16, false},
      {"d\xED\xB3\xBF.log", 32, true},
      {"d\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD.log", 64, false},
      {fs::path("e\xFF") / "x.log", 128, true},
      {fs::path("e\xEF\xBF\xBD") / "x.log", 256, false},
  };
  std::set<std::string> expected;
  uint64_t oldBytes = 0;
  for (const Planted& f : kFiles) {
    {
      std::ofstream out(t / f.rel, std::ios::binary);
      out << std::string(f.size, 'x');
    }
    if (f.old) {
      fs::last_write_time(t / f.rel, old);
      expected.insert("t/" + f.rel.generic_string());
      oldBytes += f.size;
    }
  }
  RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"t"), true, {L"*.log"})});
  TaskOptions opt;
  opt.cutoff = AgeCutoff(tov::NowFileTime(), 7);
  Listing before = ListTree(Root());
  ResultList dry, real;
  CleanItems({Cat("c", {item})}, {"i"}, true, dry, opt);
  CleanItems({Cat("c", {item})}, {"i"}, false, real, opt);
  ASSERT_EQ(real.size(), 1u);
  EXPECT_EQ(dry[0].second.files, 4u);
  EXPECT_EQ(dry[0].second.bytes, oldBytes);
  EXPECT_EQ(real[0].second.files, 4u);
  EXPECT_EQ(real[0].second.bytes, oldBytes);
  EXPECT_TRUE(real[0].second.errors.empty()) << real[0].second.errors[0];
  ExpectOnlyGone(before, ListTree(Root()), expected);
#endif
}

// ---- The user's own files ---------------------------------------------------------------

TEST_F(Engine, AnItemOfTheUsersOwnFilesMovesThemToTheRecycleBin) {
  tov::EmptyRecycleBin();
  ASSERT_TRUE(PlantFile(At(L"Dl\\setup.exe"), 100));
  ASSERT_TRUE(PlantFile(At(L"Dl\\sub\\disc.iso"), 200, true));
  ASSERT_TRUE(PlantFile(At(L"Dl\\notes.txt"), 7));
  ASSERT_TRUE(PlantFile(At(L"Walls\\a\\w1.jpg"), 30));
  ASSERT_TRUE(PlantFile(At(L"Walls\\w2.jpg"), 40));
  RuleItem files = Item("dl", ItemMode::Files, {Tg(At(L"Dl"), true, {L"*.exe", L"*.iso"})});
  files.userFiles = true;
  RuleItem walls = Item("walls", ItemMode::Dir, {Tg(At(L"Walls"))});
  walls.userFiles = true;
  std::vector<Category> cats = {Cat("c", {files, walls})};
  Listing before = ListTree(Root());
  ResultList dry, real;
  CleanItems(cats, {"dl", "walls"}, true, dry);
  EXPECT_EQ(ListTree(Root()), before);
  std::vector<std::pair<std::string, std::string>> record;
  TaskOptions opt;
  opt.touched = [&record](const std::string& item, TouchKind kind, uint64_t,
                          const std::wstring& path, const std::wstring&) {
    if (kind == TouchKind::Recycled) record.emplace_back(item, W2U(path));
  };
  uint64_t items0 = 0, bytes0 = 0;
  ASSERT_TRUE(tov::QueryRecycleBin(&items0, &bytes0));
  CleanItems(cats, {"dl", "walls"}, false, real, opt);
  ASSERT_EQ(real.size(), 2u);
  EXPECT_EQ(real[0].second.files, 2u);
  EXPECT_EQ(real[0].second.bytes, 300u);
  EXPECT_EQ(real[1].second.files, 2u);
  EXPECT_EQ(real[1].second.bytes, 70u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(real[i].second.skipped, 0u) << real[i].second.errors.size();
    EXPECT_EQ(dry[i].second.files, real[i].second.files);
    EXPECT_EQ(dry[i].second.bytes, real[i].second.bytes);
  }
  EXPECT_EQ(record.size(), 4u);
  // Gone from their places, the wallpaper folder with them; in the bin.
  ExpectOnlyGone(
      before, ListTree(Root()),
      {"Dl/setup.exe", "Dl/sub/disc.iso", "Walls", "Walls/a", "Walls/a/w1.jpg", "Walls/w2.jpg"});
  uint64_t items1 = 0, bytes1 = 0;
  ASSERT_TRUE(tov::QueryRecycleBin(&items1, &bytes1));
  EXPECT_EQ(items1 - items0, 4u);
  EXPECT_EQ(bytes1 - bytes0, 370u);
#ifndef _WIN32
  // The stand-in's bin holds exactly those four files, by their sizes.
  std::multiset<std::string> inBin;
  for (const auto& kv : ListTree(L"C:\\$Recycle.Bin"))
    if (kv.second.compare(0, 5, "file ") == 0)
      inBin.insert(kv.second.substr(0, kv.second.find(' ', 5)));
  EXPECT_EQ(inBin, (std::multiset<std::string>{"file 100", "file 200", "file 30", "file 40"}));
#endif
  tov::EmptyRecycleBin();
}

std::vector<std::wstring> HitPaths(const std::vector<FileHit>& hits) {
  std::vector<std::wstring> paths;
  for (const FileHit& h : hits) paths.push_back(h.path);
  return paths;
}

TEST_F(Engine, ReceivedChatFilesGoToTheRecycleBinOnlyOnceOldEnough) {
  // The catalogue's two items of received chat files keep a least age.
  const std::vector<Category> rules = BuildRules();
  for (const char* id : {"wechat-received-files", "qqnt-received-files"}) {
    const RuleItem* declared = FindItem(rules, id);
    ASSERT_NE(declared, nullptr) << id;
    EXPECT_EQ(declared->minAgeDays, 30) << id;
    EXPECT_TRUE(declared->userFiles) << id;
    EXPECT_FALSE(declared->defaultEnabled) << id;
  }
  tov::EmptyRecycleBin();
  // Whole seconds, as every file system keeps them.
  const uint64_t now = tov::NowFileTime() / 10000000 * 10000000;
  const uint64_t days40 = now - 40 * kFileTimeDay, days10 = now - 10 * kFileTimeDay;
  ASSERT_TRUE(PlantFile(At(L"acc\\wxid_a\\msg\\file\\2024-01\\old.pdf"), 1, false, days40));
  ASSERT_TRUE(PlantFile(At(L"acc\\wxid_b\\msg\\file\\recent.pdf"), 2, false, days10));
  ASSERT_TRUE(PlantFile(At(L"acc\\wxid_b\\msg\\file\\today.pdf"), 4));
  ASSERT_TRUE(PlantFile(At(L"acc\\wxid_b\\db_storage\\message_0.db"), 8, false, days40));
  RuleItem item = Item("received", ItemMode::Files, {Tg(At(L"acc\\*\\msg\\file"))});
  item.userFiles = true;
  item.minAgeDays = 30;
  const std::vector<Category> cats = {Cat("c", {item})};
  Listing before = ListTree(Root());

  // No age chosen: only what is 30 days old, in a scan, the file list, a
  // dry run and the clean alike.
  TaskOptions none;
  ResultList scan, dry, real;
  ScanItems(cats, {"received"}, scan, none);
  ASSERT_EQ(scan.size(), 1u);
  EXPECT_EQ(scan[0].second.files, 1u);
  EXPECT_EQ(scan[0].second.bytes, 1u);
  std::vector<FileHit> hits;
  CollectDetails(item, 100, hits, none);
  EXPECT_EQ(HitPaths(hits),
            (std::vector<std::wstring>{At(L"acc\\wxid_a\\msg\\file\\2024-01\\old.pdf")}));
  CleanItems(cats, {"received"}, true, dry, none);
  EXPECT_EQ(dry[0].second.files, 1u);
  ExpectOnlyGone(before, ListTree(Root()), {});
  uint64_t items0 = 0, bytes0 = 0;
  ASSERT_TRUE(tov::QueryRecycleBin(&items0, &bytes0));
  CleanItems(cats, {"received"}, false, real, none);
  EXPECT_EQ(real[0].second.files, 1u);
  EXPECT_EQ(real[0].second.bytes, 1u);
  EXPECT_EQ(real[0].second.skipped, 0u);
  Listing mid = ListTree(Root());
  ExpectOnlyGone(before, mid, {"acc/wxid_a/msg/file/2024-01/old.pdf"});
  uint64_t items = 0, bytes = 0;
  ASSERT_TRUE(tov::QueryRecycleBin(&items, &bytes));
  EXPECT_EQ(items - items0, 1u);
  EXPECT_EQ(bytes - bytes0, 1u);

  // The age the user chose counts instead: a week.
  TaskOptions week;
  week.cutoff = AgeCutoff(now, 7);
  ResultList scan7, real7;
  ScanItems(cats, {"received"}, scan7, week);
  EXPECT_EQ(scan7[0].second.files, 1u);
  EXPECT_EQ(scan7[0].second.bytes, 2u);
  CleanItems(cats, {"received"}, false, real7, week);
  EXPECT_EQ(real7[0].second.files, 1u);
  ExpectOnlyGone(mid, ListTree(Root()), {"acc/wxid_b/msg/file/recent.pdf"});
  tov::EmptyRecycleBin();
}

TEST_F(Engine, MoreThanTwentyRefusalsKeepTwentyTextsAndTheFullCount) {
  // The target is the folder that holds the user profiles: the walk reaches
  // the desktop, where every planted file is refused, and other folders,
  // where the planted files go. The include pattern matches nothing else.
  std::wstring desktop = Desktop();
  std::wstring profile = Parent(desktop);
  std::wstring users = Parent(profile);
  ASSERT_FALSE(users.empty());
  const std::wstring inDesk = Join(desktop, L"tamsel-t-many");
  const std::wstring inProfile = Join(profile, L"tamsel-t-many");
  const std::wstring inUsers = Join(users, L"tamsel-t-many");
  for (const std::wstring& d : {inDesk, inProfile, inUsers}) RemoveTree(d);

  std::set<std::string> refusals;
  for (int i = 0; i < 25; ++i) {
    std::wstring f = Join(inDesk, L"tmany-" + std::to_wstring(i) + L".tmany");
    ASSERT_TRUE(PlantFile(f, 1, i % 5 == 0));
    refusals.insert(Err(f, kReasonDesktop));
  }
  ASSERT_TRUE(PlantFile(Join(inDesk, L"keep.txt"), 1));
  ASSERT_TRUE(PlantFile(Join(inProfile, L"tmany-p1.tmany"), 1));
  ASSERT_TRUE(PlantFile(Join(inProfile, L"tmany-p2.TMANY"), 2, true));
  ASSERT_TRUE(PlantFile(Join(inProfile, L"keep.tmany.txt"), 1024));
  ASSERT_TRUE(PlantFile(Join(inUsers, L"tmany-u1.tmany"), 4));
  ASSERT_TRUE(PlantFile(Join(inUsers, L"sub\\tmany-u2.tmany"), 8));
  ASSERT_TRUE(PlantFile(Join(inUsers, L"sub\\other.tmany"), 2048));
  Listing desk0 = ListTree(inDesk), prof0 = ListTree(inProfile), users0 = ListTree(inUsers);

  RuleItem item = Item("many", ItemMode::Files, {Tg(users, true, {L"tmany-*.tmany"})});
  ItemStat s = CleanOne(item, false);
  EXPECT_EQ(s.skipped, 25u);
  EXPECT_EQ(s.errors.size(), 20u);
  std::set<std::string> seen(s.errors.begin(), s.errors.end());
  EXPECT_EQ(seen.size(), s.errors.size());
  for (const std::string& e : s.errors) EXPECT_TRUE(refusals.count(e)) << e;
  EXPECT_EQ(s.files, 4u);
  EXPECT_EQ(s.bytes, 1u + 2u + 4u + 8u);

  ExpectOnlyGone(desk0, ListTree(inDesk), {});
  ExpectOnlyGone(prof0, ListTree(inProfile), {"tmany-p1.tmany", "tmany-p2.TMANY"});
  ExpectOnlyGone(users0, ListTree(inUsers), {"tmany-u1.tmany", "sub/tmany-u2.tmany"});
  if (!HasFailure())
    for (const std::wstring& d : {inDesk, inProfile, inUsers}) RemoveTree(d);
}

TEST_F(Engine, LinkOnTheTargetPathRefusesTheWholeTarget) {
  ASSERT_TRUE(PlantFile(At(L"real\\sub\\c.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"real\\d.log"), 2));
  std::string why;
  if (!PlantDirLink(At(L"lnk"), At(L"real"), &why)) GTEST_SKIP() << why;
  Listing before = ListTree(Root());
  const std::wstring below = At(L"lnk\\sub");
  const std::wstring link = At(L"lnk");
  const std::wstring gone = At(L"lnk\\nothing\\here");
  RuleItem files = Item("f", ItemMode::Files, {Tg(below), Tg(link), Tg(gone, true, {L"*.log"})});
  RuleItem dir = Item("d", ItemMode::Dir, {Tg(below), Tg(link)});
  for (bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "real clean");
    ItemStat f = CleanOne(files, dryRun);
    EXPECT_EQ(f.files, 0u);
    EXPECT_EQ(f.skipped, 3u);
    EXPECT_EQ(f.errors,
              (std::vector<std::string>{Err(below, kReparseFiles), Err(link, kReparseFiles),
                                        Err(gone, kReparseFiles)}));
    ItemStat d = CleanOne(dir, dryRun);
    EXPECT_EQ(d.files, 0u);
    EXPECT_EQ(d.skipped, 2u);
    EXPECT_EQ(d.errors,
              (std::vector<std::string>{Err(below, kReparseDir), Err(link, kReparseDir)}));
    ExpectOnlyGone(before, ListTree(Root()), {});
  }
  // The scan agrees with the clean: nothing behind the link counts, a single
  // file no more than a folder.
  EXPECT_EQ(ScanOne(Item("s", ItemMode::Files, {Tg(At(L"lnk\\d.log")), Tg(below)})).files, 0u);
  EXPECT_EQ(ScanOne(Item("s", ItemMode::Files, {Tg(At(L"real\\d.log"))})).files, 1u);
}

TEST_F(Engine, FilesModeNeverEntersALinkInsideTheTarget) {
  ASSERT_TRUE(PlantFile(At(L"t\\a.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\b.log"), 2));
  ASSERT_TRUE(PlantFile(At(L"outside\\c.log"), 4));
  ASSERT_TRUE(PlantFile(At(L"outside\\deep\\d.log"), 8));
  // Named to come after "sub" in a listing by name, so that the last folder
  // published would be the link's, had the walk entered it.
  std::string why;
  if (!PlantDirLink(At(L"t\\zz-lnk"), At(L"outside"), &why)) GTEST_SKIP() << why;
  Listing before = ListTree(Root());
  SetCurPath(L"C:\\before");
  ItemStat s = CleanOne(Item("f", ItemMode::Files, {Tg(At(L"t"), true, {L"*"})}), false);
  EXPECT_EQ(s.files, 2u);
  EXPECT_EQ(s.bytes, 3u);
  EXPECT_EQ(s.skipped, 0u);
  EXPECT_EQ(TaskStateNow().cur, W2U(At(L"t\\sub")));
  ExpectOnlyGone(before, ListTree(Root()), {"t/a.log", "t/sub/b.log"});
}

// ---- Cleaning: "dir" ------------------------------------------------------------------

TEST_F(Engine, DirModeRemovesTheWholeTargetFolder) {
  ASSERT_TRUE(PlantFile(At(L"t\\a.bin"), 1));
  ASSERT_TRUE(PlantFile(At(L"t\\ro.bin"), 2, true));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\b.txt"), 4));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\deeper\\c.dat"), 8, true));
  ASSERT_TRUE(MakeDir(At(L"t\\emptysub")));
  ASSERT_TRUE(PlantFile(At(L"t2\\e.bin"), 16));
  ASSERT_TRUE(PlantFile(At(L"sibling\\keep.bin"), 1024));
  ASSERT_TRUE(PlantFile(At(L"t-not-a-dir"), 2048));
  // Patterns play no part in a whole-folder clean.
  RuleItem item = Item("d", ItemMode::Dir,
                       {Tg(At(L"t"), false, {L"*.nomatch"}, {L"*"}), Tg(At(L"missing")),
                        Tg(At(L"t2")), Tg(At(L"t-not-a-dir"))});
  Listing before = ListTree(Root());
  ItemStat s = CleanOne(item, false);
  EXPECT_EQ(s.files, 5u);
  EXPECT_EQ(s.bytes, 31u);
  EXPECT_EQ(s.skipped, 0u);
  EXPECT_TRUE(s.errors.empty());
  ExpectOnlyGone(before, ListTree(Root()),
                 {"t", "t/a.bin", "t/ro.bin", "t/sub", "t/sub/b.txt", "t/sub/deeper",
                  "t/sub/deeper/c.dat", "t/emptysub", "t2", "t2/e.bin"});
}

TEST_F(Engine, DirModeLeavesLinksAndWhatTheyPointAt) {
  ASSERT_TRUE(PlantFile(At(L"t\\a.bin"), 1));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\b.bin"), 2));
  ASSERT_TRUE(PlantFile(At(L"outside\\o1.bin"), 4));
  ASSERT_TRUE(PlantFile(At(L"outside\\osub\\o2.bin"), 8));
  ASSERT_TRUE(MakeDir(At(L"empty-outside")));
  std::string why;
  if (!PlantDirLink(At(L"t\\lnk"), At(L"outside"), &why) ||
      !PlantDirLink(At(L"t\\sub\\lnk2"), At(L"empty-outside"), &why))
    GTEST_SKIP() << why;
  Listing before = ListTree(Root());
  ItemStat s = CleanOne(Item("d", ItemMode::Dir, {Tg(At(L"t"))}), false);
  EXPECT_EQ(s.files, 2u);
  EXPECT_EQ(s.bytes, 3u);
  EXPECT_EQ(s.skipped, 0u);
  // The links keep their folders alive; the folders they point at are whole.
  ExpectOnlyGone(before, ListTree(Root()), {"t/a.bin", "t/sub/b.bin"});
}

TEST_F(Engine, DirModeDryRunCountsTheFilesOfEachExistingFolder) {
  ASSERT_TRUE(PlantFile(At(L"t\\a.bin"), 1));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\b.bin"), 2, true));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\deeper\\c.bin"), 4));
  ASSERT_TRUE(MakeDir(At(L"t\\emptysub")));
  ASSERT_TRUE(PlantFile(At(L"u\\d.bin"), 8));
  ASSERT_TRUE(MakeDir(At(L"empty")));
  ASSERT_TRUE(PlantFile(At(L"file.bin"), 16));
  RuleItem item = Item("d", ItemMode::Dir,
                       {Tg(At(L"t"), false, {L"*.none"}), Tg(At(L"missing")), Tg(At(L"u")),
                        Tg(At(L"empty")), Tg(At(L"file.bin"))});
  Listing before = ListTree(Root());
  ItemStat s = CleanOne(item, true);
  // The files of t (whatever the target's filters and recursion say) and
  // of u, as the real clean deletes them; an empty folder holds none.
  EXPECT_EQ(s.files, 4u);
  EXPECT_EQ(s.bytes, 15u);
  EXPECT_EQ(s.skipped, 0u);
  ExpectOnlyGone(before, ListTree(Root()), {});
}

void CancelOnEveryFolder(const std::wstring&) {
  CancelTask();
}

TEST_F(Engine, DirModeStopsAtACancelInTheDryRunAsInTheRealClean) {
  // The cancel arrives as the walk of the first target is about to enter
  // its one subfolder; an empty folder and a full one come after it.
  ASSERT_TRUE(PlantFile(At(L"t1\\sub\\a.bin"), 1));
  ASSERT_TRUE(PlantFile(At(L"t1\\sub\\deep\\b.bin"), 2));
  ASSERT_TRUE(MakeDir(At(L"t2")));
  ASSERT_TRUE(PlantFile(At(L"t3\\c.bin"), 4));
  std::vector<Category> cats = {
      Cat("c", {Item("d", ItemMode::Dir, {Tg(At(L"t1")), Tg(At(L"t2")), Tg(At(L"t3"))})})};
  Listing before = ListTree(Root());
  SetWalkHookForTest(CancelOnEveryFolder);
  for (bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "real clean");
    // Through the task, whose start clears the previous pass's cancel.
    ASSERT_TRUE(StartClean(cats, {"d"}, dryRun, false));
    ASSERT_TRUE(WaitTask(60000));
    ResultList r = CopyLastResult();
    ASSERT_EQ(r.size(), 1u);
    // Nothing below the subfolder is counted or deleted, and no later
    // target is measured or removed, in the dry run as in the clean.
    EXPECT_EQ(r[0].second.bytes, 0u);
    EXPECT_EQ(r[0].second.files, 0u);
    EXPECT_EQ(r[0].second.skipped, 0u);
    EXPECT_TRUE(TaskStateNow().cancelled);
    ExpectOnlyGone(before, ListTree(Root()), {});
  }
  // The next start clears the request, for the tests after this one.
  SetWalkHookForTest(nullptr);
  ASSERT_TRUE(StartScan(cats, {}));
  ASSERT_TRUE(WaitTask(60000));
  EXPECT_FALSE(TaskStateNow().cancelled);
}

TEST_F(Engine, CleaningWalksStopBelowDepth64) {
  // Files at every level for the "files" walk...
  const int kLevels = 67;
  for (int level = 0; level < kLevels; ++level)
    ASSERT_TRUE(PlantFile(Join(Chain(At(L"f"), level), L"f" + std::to_wstring(level)), 1));
  // ...and around the limit for the whole-folder delete.
  for (int level : {0, 63, 64, 65, 66})
    ASSERT_TRUE(PlantFile(Join(Chain(At(L"g"), level), L"g" + std::to_wstring(level)), 1));
  Listing before = ListTree(Root());

  ItemStat f = CleanOne(Item("f", ItemMode::Files, {Tg(At(L"f"))}), false);
  EXPECT_EQ(f.files, 65u);
  std::set<std::string> gone;
  std::string rel = "f";
  for (int level = 0; level <= 64; ++level) {
    gone.insert(rel + "/f" + std::to_string(level));
    rel += "/d";
  }
  Listing mid = ListTree(Root());
  ExpectOnlyGone(before, mid, gone);

  // Below depth 64 nothing is listed, so no folder on the chain empties.
  ItemStat g = CleanOne(Item("g", ItemMode::Dir, {Tg(At(L"g"))}), false);
  EXPECT_EQ(g.files, 3u);
  EXPECT_EQ(g.skipped, 0u);
  std::string g63 = "g";
  for (int level = 0; level < 63; ++level) g63 += "/d";
  ExpectOnlyGone(mid, ListTree(Root()), {"g/g0", g63 + "/g63", g63 + "/d/g64"});
}

// ---- Wildcard folders in targets ------------------------------------------------------

const char kTooManyMatches[] = "匹配的文件夹超过 64 个，只处理了按名称排在前面的 64 个";

TEST_F(Engine, AWildcardFolderTakesEveryMatchingFolderWithTheTargetsFilters) {
  // A browser's profiles: the default one, numbered ones in any letter case,
  // a file and a folder of another name beside them.
  ASSERT_TRUE(PlantFile(At(L"ud\\Default\\Cache\\a"), 1));
  ASSERT_TRUE(PlantFile(At(L"ud\\Profile 1\\Cache\\b"), 2));
  ASSERT_TRUE(PlantFile(At(L"ud\\profile 2\\Cache\\Cache_Data\\c"), 4));
  ASSERT_TRUE(PlantFile(At(L"ud\\PROFILE 10\\Cache\\d"), 8));
  ASSERT_TRUE(PlantFile(At(L"ud\\Profile 1\\logs\\x.log"), 16));
  // What must stay: the profile's own data, files the filters leave, a
  // file where a profile folder is expected, a folder the pattern misses.
  ASSERT_TRUE(PlantFile(At(L"ud\\Profile 1\\Login Data"), 32));
  ASSERT_TRUE(PlantFile(At(L"ud\\Profile 1\\logs\\x.txt"), 64));
  ASSERT_TRUE(PlantFile(At(L"ud\\Profile 1\\logs\\sub\\y.log"), 128));
  ASSERT_TRUE(PlantFile(At(L"ud\\Profile 3"), 256));
  ASSERT_TRUE(PlantFile(At(L"ud\\Other\\Cache\\e"), 512));
  ASSERT_TRUE(PlantFile(At(L"ud\\Profile\\Cache\\f"), 1024));  // "Profile *" needs the space
  ASSERT_TRUE(MakeDir(At(L"ud\\Profile 4")));                  // no Cache in it
  RuleItem item =
      Item("w", ItemMode::Files,
           {Tg(At(L"ud\\Default\\Cache")), Tg(At(L"ud\\Profile *\\Cache")),
            Tg(At(L"ud\\Profile *\\logs"), false, {L"*.log"}), Tg(At(L"nothing\\*\\Cache"))});
  const uint64_t kBytes = 1 + 2 + 4 + 8 + 16;
  Listing before = ListTree(Root());

  ItemStat scan = ScanOne(item);
  EXPECT_EQ(scan.files, 5u);
  EXPECT_EQ(scan.bytes, kBytes);
  EXPECT_EQ(scan.skipped, 0u);
  EXPECT_TRUE(scan.errors.empty());

  // The file list meets the profiles in the order of their folded names.
  std::vector<FileHit> hits;
  CollectDetails(item, 100, hits);
  EXPECT_EQ(HitPaths(hits),
            (std::vector<std::wstring>{At(L"ud\\Default\\Cache\\a"), At(L"ud\\Profile 1\\Cache\\b"),
                                       At(L"ud\\PROFILE 10\\Cache\\d"),
                                       At(L"ud\\profile 2\\Cache\\Cache_Data\\c"),
                                       At(L"ud\\Profile 1\\logs\\x.log")}));

  ItemStat dry = CleanOne(item, true);
  EXPECT_EQ(dry.files, 5u);
  EXPECT_EQ(dry.bytes, kBytes);
  EXPECT_TRUE(dry.errors.empty());
  ExpectOnlyGone(before, ListTree(Root()), {});

  ItemStat real = CleanOne(item, false);
  EXPECT_EQ(real.files, 5u);
  EXPECT_EQ(real.bytes, kBytes);
  EXPECT_EQ(real.skipped, 0u);
  EXPECT_TRUE(real.errors.empty());
  ExpectOnlyGone(before, ListTree(Root()),
                 {"ud/Default/Cache/a", "ud/Profile 1/Cache/b", "ud/profile 2/Cache/Cache_Data/c",
                  "ud/PROFILE 10/Cache/d", "ud/Profile 1/logs/x.log"});
}

TEST_F(Engine, AWildcardFolderNeverGoesThroughALinkAndReportsIt) {
  ASSERT_TRUE(PlantFile(At(L"ud\\Profile 1\\Cache\\a"), 1));
  ASSERT_TRUE(PlantFile(At(L"elsewhere\\Cache\\b"), 2));
  ASSERT_TRUE(PlantFile(At(L"elsewhere\\Cookies"), 4));
  ASSERT_TRUE(PlantFile(At(L"real-ud\\Profile 5\\Cache\\c"), 8));
  std::string why;
  if (!PlantDirLink(At(L"ud\\Profile 2"), At(L"elsewhere"), &why) ||
      !PlantDirLink(At(L"linked-ud"), At(L"real-ud"), &why))
    GTEST_SKIP() << why;
  RuleItem item = Item("w", ItemMode::Files,
                       {Tg(At(L"ud\\Profile *\\Cache")), Tg(At(L"linked-ud\\Profile *\\Cache"))});
  RuleItem dir = Item("d", ItemMode::Dir, {Tg(At(L"ud\\Profile *\\Cache"))});
  Listing before = ListTree(Root());
  const std::vector<std::string> errors{Err(At(L"ud\\Profile 2\\Cache"), kReparseFiles),
                                        Err(At(L"linked-ud"), kReparseFiles)};

  ItemStat scan = ScanOne(item);
  EXPECT_EQ(scan.files, 1u);
  EXPECT_EQ(scan.bytes, 1u);
  EXPECT_EQ(scan.skipped, 2u);
  EXPECT_EQ(scan.errors, errors);
  std::vector<FileHit> hits;
  CollectDetails(item, 100, hits);
  EXPECT_EQ(HitPaths(hits), (std::vector<std::wstring>{At(L"ud\\Profile 1\\Cache\\a")}));

  ItemStat dry = CleanOne(item, true);
  EXPECT_EQ(dry.files, 1u);
  EXPECT_EQ(dry.skipped, 2u);
  EXPECT_EQ(dry.errors, errors);
  ExpectOnlyGone(before, ListTree(Root()), {});

  ItemStat real = CleanOne(item, false);
  EXPECT_EQ(real.files, 1u);
  EXPECT_EQ(real.bytes, 1u);
  EXPECT_EQ(real.skipped, 2u);
  EXPECT_EQ(real.errors, errors);
  Listing mid = ListTree(Root());
  ExpectOnlyGone(before, mid, {"ud/Profile 1/Cache/a"});

  // A "dir" item removes the folder it reached, never one behind the link.
  ItemStat d = CleanOne(dir, false);
  EXPECT_EQ(d.skipped, 1u);
  EXPECT_EQ(d.errors, (std::vector<std::string>{Err(At(L"ud\\Profile 2\\Cache"), kReparseDir)}));
  ExpectOnlyGone(mid, ListTree(Root()), {"ud/Profile 1/Cache"});
}

TEST_F(Engine, AWildcardFolderTakesAtMost64MatchesAndSaysSo) {
  std::set<std::string> gone;
  for (int i = 0; i < 65; ++i) {
    wchar_t name[8];
    swprintf(name, 8, L"p%03d", i);
    ASSERT_TRUE(PlantFile(At(std::wstring(L"many\\") + name + L"\\c\\x"), 1));
    if (i < 64) gone.insert("many/" + W2U(name) + "/c/x");
  }
  const std::wstring pattern = At(L"many\\P*\\c");
  RuleItem item = Item("w", ItemMode::Files, {Tg(pattern)});
  RuleItem measured = Item("m", ItemMode::Measure, {Tg(pattern)});
  const std::vector<std::string> errors{Err(pattern, kTooManyMatches)};
  Listing before = ListTree(Root());

  ItemStat scan = ScanOne(item);
  EXPECT_EQ(scan.files, 64u);
  EXPECT_EQ(scan.skipped, 0u);
  EXPECT_EQ(scan.errors, errors);
  ItemStat measure = ScanOne(measured);
  EXPECT_EQ(measure.files, 64u);
  EXPECT_EQ(measure.errors, errors);
  std::vector<FileHit> hits;
  CollectDetails(item, 1000, hits);
  ASSERT_EQ(hits.size(), 64u);
  EXPECT_EQ(hits.front().path, At(L"many\\p000\\c\\x"));
  EXPECT_EQ(hits.back().path, At(L"many\\p063\\c\\x"));

  ItemStat dry = CleanOne(item, true);
  EXPECT_EQ(dry.files, 64u);
  EXPECT_EQ(dry.errors, errors);
  ExpectOnlyGone(before, ListTree(Root()), {});
  ItemStat real = CleanOne(item, false);
  EXPECT_EQ(real.files, 64u);
  EXPECT_EQ(real.skipped, 0u);
  EXPECT_EQ(real.errors, errors);
  ExpectOnlyGone(before, ListTree(Root()), gone);
}

// ---- The caches of Chromium-based programs, found by their structure ---------------------

// A search for the caches of Chromium-based programs as the catalogue
// declares it, over the folder root.
Target Search(const std::wstring& root, std::vector<std::wstring> skips = {}) {
  Target t = Tg(root, true, {L"*"}, {L"*.db", L"*.db-*"});
  t.findsChromiumCaches = true;
  t.searchSkips = std::move(skips);
  return t;
}

TEST_F(Engine, TheSearchForChromiumCachesNeverGoesThroughALinkOrIntoASkippedOrProtectedFolder) {
  // Found: a program's cache beside its marks.
  ASSERT_TRUE(PlantFile(At(L"roam\\App\\Local State"), 1));
  ASSERT_TRUE(PlantFile(At(L"roam\\App\\GPUCache\\data_0"), 2));
  // Behind a link in place of a program's folder: a folder that looks like one.
  ASSERT_TRUE(PlantFile(At(L"elsewhere\\Local State"), 4));
  ASSERT_TRUE(PlantFile(At(L"elsewhere\\GPUCache\\data_0"), 8));
  // A link in place of a cache folder beside the marks.
  ASSERT_TRUE(PlantFile(At(L"roam\\Other\\Preferences"), 16));
  ASSERT_TRUE(PlantFile(At(L"real-cache\\data_0"), 32));
  // A search whose own folder lies behind a link.
  ASSERT_TRUE(PlantFile(At(L"real-roam\\App\\Local State"), 64));
  ASSERT_TRUE(PlantFile(At(L"real-roam\\App\\GPUCache\\data_0"), 128));
  // A program the user protected.
  ASSERT_TRUE(PlantFile(At(L"roam\\Kept\\Local State"), 256));
  ASSERT_TRUE(PlantFile(At(L"roam\\Kept\\Code Cache\\js\\a"), 512));
  // A browser's user data folder that its own item cleans (named in
  // another letter case in the skips).
  ASSERT_TRUE(PlantFile(At(L"roam\\Browser\\User Data\\Local State"), 1024));
  ASSERT_TRUE(PlantFile(At(L"roam\\Browser\\User Data\\GrShaderCache\\data_0"), 2048));
  ASSERT_TRUE(PlantFile(At(L"roam\\Browser\\User Data\\Default\\Preferences"), 4096));
  ASSERT_TRUE(PlantFile(At(L"roam\\Browser\\User Data\\Default\\Cache\\Cache_Data\\f"), 8192));
  std::string why;
  if (!PlantDirLink(At(L"roam\\Linked"), At(L"elsewhere"), &why) ||
      !PlantDirLink(At(L"roam\\Other\\GPUCache"), At(L"real-cache"), &why) ||
      !PlantDirLink(At(L"linked-roam"), At(L"real-roam"), &why))
    GTEST_SKIP() << why;
  RuleItem item =
      Item("chromium", ItemMode::Files,
           {Search(At(L"roam"), {At(L"roam\\BROWSER\\user data")}), Search(At(L"linked-roam"))});
  const std::vector<Category> cats = {Cat("c", {item})};
  TaskOptions opt;
  opt.protect = {At(L"roam\\Kept")};
  const std::vector<std::string> errors{Err(At(L"linked-roam"), kReparseFiles),
                                        Err(At(L"roam\\Kept\\Code Cache"), "已设为不清理")};
  Listing before = ListTree(Root());

  ResultList scan;
  ScanItems(cats, {"chromium"}, scan, opt);
  ASSERT_EQ(scan.size(), 1u);
  EXPECT_EQ(scan[0].second.files, 1u);
  EXPECT_EQ(scan[0].second.bytes, 2u);
  EXPECT_EQ(scan[0].second.errors, errors);

  std::vector<FileHit> hits;
  CollectDetails(item, 100, hits, opt);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].path, At(L"roam\\App\\GPUCache\\data_0"));
  EXPECT_EQ(hits[0].group, At(L"roam\\App"));

  ResultList dry;
  CleanItems(cats, {"chromium"}, true, dry, opt);
  ASSERT_EQ(dry.size(), 1u);
  EXPECT_EQ(dry[0].second.files, 1u);
  EXPECT_EQ(dry[0].second.errors, errors);
  ExpectOnlyGone(before, ListTree(Root()), {});

  ResultList real;
  CleanItems(cats, {"chromium"}, false, real, opt);
  ASSERT_EQ(real.size(), 1u);
  EXPECT_EQ(real[0].second.files, 1u);
  EXPECT_EQ(real[0].second.bytes, 2u);
  EXPECT_EQ(real[0].second.skipped, 2u);
  EXPECT_EQ(real[0].second.errors, errors);
  ExpectOnlyGone(before, ListTree(Root()), {"roam/App/GPUCache/data_0"});
}

// The catalogue's search never enters the user data folders of the
// browsers its other items clean: each of them, taken from their targets.
TEST_F(Engine, TheCataloguesSearchSkipsTheBrowsersItsOtherItemsClean) {
  const std::vector<Category> cats = BuildRules();
  const RuleItem* item = FindItem(cats, "chromium-app-caches");
  ASSERT_NE(item, nullptr);
  std::set<std::wstring> expected;
  for (const wchar_t* ud :
       {L"%LOCALAPPDATA%\\Google\\Chrome\\User Data", L"%LOCALAPPDATA%\\Microsoft\\Edge\\User Data",
        L"%LOCALAPPDATA%\\360Chrome\\Chrome\\User Data", L"%APPDATA%\\360se6\\User Data",
        L"%LOCALAPPDATA%\\Tencent\\QQBrowser\\User Data",
        L"%LOCALAPPDATA%\\BraveSoftware\\Brave-Browser\\User Data",
        L"%LOCALAPPDATA%\\JianyingPro\\User Data", L"%LOCALAPPDATA%\\CapCut\\User Data"})
    expected.insert(tov::LowerAscii(ExpandEnvW(ud)));
  ASSERT_EQ(item->targets.size(), 2u);
  for (const Target& t : item->targets) {
    EXPECT_TRUE(t.findsChromiumCaches);
    std::set<std::wstring> skips;
    for (const std::wstring& s : t.searchSkips) skips.insert(tov::LowerAscii(s));
    EXPECT_EQ(skips.size(), t.searchSkips.size());
    EXPECT_EQ(skips, expected);
  }
}

// ---- The catalogue's caches of today: what beside them stays ----------------------------

// One item of the built-in catalogue over a layout of its program: the files
// it takes (counted, listed, deleted; measured only for a "measure" item)
// and the files around them that are the user's or the program's own data.
// Paths start with the environment reference the catalogue uses; the test
// plants them in its fixture and points the item's targets there.
struct ItemLayout {
  const char* id;
  std::vector<const wchar_t*> take;
  std::vector<const wchar_t*> stay;
  std::vector<const wchar_t*> goneDirs;  // a "dir" item: the folders it removes
};

// What a Chromium-based browser keeps in a profile besides its caches.
std::vector<std::wstring> ProfileData(const std::wstring& profile) {
  std::vector<std::wstring> out;
  for (const wchar_t* name :
       {L"Cookies", L"Network\\Cookies", L"Login Data", L"History", L"Bookmarks", L"Preferences",
        L"Local Storage\\leveldb\\000003.log", L"IndexedDB\\https_example.com_0\\000005.ldb",
        L"Session Storage\\000004.log", L"Extensions\\abcdefgh\\1.0_0\\manifest.json",
        L"Service Worker\\Database\\000001.log", L"Web Data"})
    out.push_back(profile + L"\\" + name);
  return out;
}

// A browser's user data folder: every profile's caches taken (ScriptCache
// too when scriptCache, the ShaderCache folder when shaderCache), its data
// and a profile the browser keeps for itself left.
ItemLayout Browser(const char* id, const std::wstring& ud, bool scriptCache, bool shaderCache,
                   std::vector<std::wstring>* names) {
  ItemLayout l{id, {}, {}, {}};
  auto keep = [names](std::vector<const wchar_t*>& list, const std::wstring& p) {
    names->push_back(p);
    list.push_back(names->back().c_str());
  };
  names->reserve(names->size() + 64);
  for (const wchar_t* profile : {L"Default", L"Profile 1", L"profile 7", L"Guest Profile"}) {
    std::wstring p = ud + L"\\" + profile;
    keep(l.take, p + L"\\Cache\\Cache_Data\\f_00000a");
    keep(l.take, p + L"\\Code Cache\\js\\1a2b3c_0");
    keep(l.take, p + L"\\GPUCache\\data_1");
    keep(l.take, p + L"\\Service Worker\\CacheStorage\\f00d\\0b1c\\a_0");
    keep(scriptCache ? l.take : l.stay, p + L"\\Service Worker\\ScriptCache\\s_0");
    for (const std::wstring& data : ProfileData(p)) keep(l.stay, data);
  }
  keep(l.take, ud + L"\\GrShaderCache\\data_0");
  keep(shaderCache ? l.take : l.stay, ud + L"\\ShaderCache\\data_0");
  keep(l.stay, ud + L"\\System Profile\\Cache\\Cache_Data\\f_000001");
  keep(l.stay, ud + L"\\Local State");
  keep(l.stay, ud + L"\\Profile 2");  // a file where a profile folder is expected
  return l;
}

// The environment references the catalogue's targets start with, longest
// expansion first, so that a path is moved by the reference it was written with.
std::vector<std::pair<std::wstring, std::wstring>> ReferencesByLength() {
  std::vector<std::pair<std::wstring, std::wstring>> refs;
  for (const wchar_t* name : {L"TEMP", L"LOCALAPPDATA", L"APPDATA", L"USERPROFILE", L"ProgramData",
                              L"ProgramFiles(x86)", L"SystemRoot", L"SystemDrive"})
    refs.emplace_back(name, ExpandEnvW(std::wstring(L"%") + name + L"%"));
  std::sort(refs.begin(), refs.end(),
            [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
  return refs;
}

TEST_F(Engine, TheCachesOfTodayTakeTheirCachesAndLeaveWhatLiesBesideThem) {
  std::vector<std::wstring> names;  // the browsers' generated paths
  std::vector<ItemLayout> layouts;
  layouts.push_back(
      Browser("chrome-cache", L"%LOCALAPPDATA%\\Google\\Chrome\\User Data", true, false, &names));
  layouts.push_back(
      Browser("edge-cache", L"%LOCALAPPDATA%\\Microsoft\\Edge\\User Data", false, false, &names));
  layouts.push_back(Browser("chrome360-cache", L"%LOCALAPPDATA%\\360Chrome\\Chrome\\User Data",
                            true, true, &names));
  layouts.push_back(Browser("se360-cache", L"%APPDATA%\\360se6\\User Data", true, true, &names));
  layouts.push_back(Browser("qqbrowser-cache", L"%LOCALAPPDATA%\\Tencent\\QQBrowser\\User Data",
                            true, true, &names));
  layouts.push_back(Browser("brave-cache",
                            L"%LOCALAPPDATA%\\BraveSoftware\\Brave-Browser\\User Data", true, true,
                            &names));
  const std::vector<ItemLayout> others = {
      {"firefox-cache",
       {L"%LOCALAPPDATA%\\Mozilla\\Firefox\\Profiles\\k3x9.default-release\\cache2\\entries\\"
        L"0A1B2C",
        L"%LOCALAPPDATA%\\Mozilla\\Firefox\\Profiles\\k3x9.default-release\\cache2\\index",
        L"%LOCALAPPDATA%\\Mozilla\\Firefox\\Profiles\\k3x9.default-release\\startupCache\\"
        L"startupCache.8.little",
        L"%LOCALAPPDATA%\\Mozilla\\Firefox\\Profiles\\w2m4.Work\\cache2\\entries\\9F8E"},
       {L"%LOCALAPPDATA%\\Mozilla\\Firefox\\Profiles\\k3x9.default-release\\safebrowsing\\a.vlpset",
        L"%LOCALAPPDATA%\\Mozilla\\Firefox\\Profiles\\k3x9.default-release\\jumpListCache\\a.ico",
        L"%APPDATA%\\Mozilla\\Firefox\\Profiles\\k3x9.default-release\\places.sqlite",
        L"%APPDATA%\\Mozilla\\Firefox\\Profiles\\k3x9.default-release\\cookies.sqlite",
        L"%APPDATA%\\Mozilla\\Firefox\\Profiles\\k3x9.default-release\\logins.json",
        L"%APPDATA%\\Mozilla\\Firefox\\Profiles\\k3x9.default-release\\cache2\\x"},
       {}},
      {"nvidia-shader-cache",
       {L"%LOCALAPPDATA%\\NVIDIA\\DXCache\\a1b2.nvph",
        L"%LOCALAPPDATA%\\NVIDIA\\GLCache\\9f\\c4.bin"},
       {L"%LOCALAPPDATA%\\NVIDIA\\NvBackend\\ApplicationOntology\\data.json",
        L"%LOCALAPPDATA%\\NVIDIA Corporation\\GameSession\\session.json"},
       {}},
      {"amd-shader-cache",
       {L"%LOCALAPPDATA%\\AMD\\DxCache\\a.parc", L"%LOCALAPPDATA%\\AMD\\DxcCache\\b.parc",
        L"%LOCALAPPDATA%\\AMD\\GLCache\\c.bin", L"%LOCALAPPDATA%\\AMD\\VkCache\\d.bin"},
       {L"%LOCALAPPDATA%\\AMD\\CN\\settings.json", L"%LOCALAPPDATA%\\AMD\\Radeonsoftware\\a.log"},
       {}},
      {"intel-shader-cache",
       {L"%LOCALAPPDATA%\\Intel\\ShaderCache\\game_1\\a.bin"},
       {L"%LOCALAPPDATA%\\Intel\\Games\\profile.json"},
       {}},
      {"steam-shader-cache",
       {L"%ProgramFiles(x86)%\\Steam\\steamapps\\shadercache\\730\\fozpipelinesv6\\steamapp.foz",
        L"%ProgramFiles(x86)%\\Steam\\steamapps\\shadercache\\570\\DXCache\\a.bin"},
       {L"%ProgramFiles(x86)%\\Steam\\steamapps\\appmanifest_730.acf",
        L"%ProgramFiles(x86)%\\Steam\\steamapps\\common\\Game\\game.exe",
        L"%ProgramFiles(x86)%\\Steam\\userdata\\123\\730\\remote\\save.dat"},
       {}},
      {"adobe-media-cache",
       {L"%APPDATA%\\Adobe\\Common\\Media Cache Files\\clip 1.cfa",
        L"%APPDATA%\\Adobe\\Common\\Media Cache\\db\\a.pek"},
       {L"%APPDATA%\\Adobe\\Premiere Pro\\24.0\\Profile-user\\Adobe Premiere Pro Prefs",
        L"%APPDATA%\\Adobe\\Common\\AME\\24.0\\Presets\\x.epr"},
       {}},
      {"win-temp",
       {L"%SystemRoot%\\Temp\\MpSigStub.log", L"%SystemRoot%\\Temp\\{guid}\\setup.tmp"},
       {L"%SystemRoot%\\Logs\\CBS\\CBS.log", L"%SystemRoot%\\TempInst\\keep.txt"},
       {}},
      {"upgrade-leftovers",
       {L"%SystemDrive%\\$GetCurrent\\media\\sources\\install.esd",
        L"%SystemDrive%\\$SysReset\\Logs\\setupact.log",
        L"%SystemDrive%\\ESD\\Windows\\sources\\boot.wim"},
       {L"%SystemDrive%\\ESD-Backup\\keep.txt", L"%SystemDrive%\\$WINDOWS.~BT\\Sources\\a.dll"},
       {L"%SystemDrive%\\$GetCurrent", L"%SystemDrive%\\$GetCurrent\\media",
        L"%SystemDrive%\\$GetCurrent\\media\\sources", L"%SystemDrive%\\$SysReset",
        L"%SystemDrive%\\$SysReset\\Logs", L"%SystemDrive%\\ESD", L"%SystemDrive%\\ESD\\Windows",
        L"%SystemDrive%\\ESD\\Windows\\sources"}},
      {"weixin4-cache",
       {L"%USERPROFILE%\\Documents\\xwechat_files\\wxid_a1b2_c3d4\\cache\\2024-05\\Message\\t.jpg",
        L"%USERPROFILE%\\Documents\\xwechat_files\\wxid_a1b2_c3d4\\cache\\head\\x.dat",
        L"%USERPROFILE%\\Documents\\xwechat_files\\WXID_E5F6\\cache\\2024-06\\a.pic"},
       {L"%USERPROFILE%\\Documents\\xwechat_files\\wxid_a1b2_c3d4\\db_storage\\message\\message_0."
        L"db",
        L"%USERPROFILE%\\Documents\\xwechat_files\\wxid_a1b2_c3d4\\msg\\file\\2024-05\\报告.pdf",
        L"%USERPROFILE%\\Documents\\xwechat_files\\wxid_a1b2_c3d4\\msg\\video\\2024-05\\v.mp4",
        L"%USERPROFILE%\\Documents\\xwechat_files\\wxid_a1b2_c3d4\\msg\\attach\\ab\\Img\\a.dat",
        L"%USERPROFILE%\\Documents\\xwechat_files\\wxid_a1b2_c3d4\\cache\\contact.db",
        L"%USERPROFILE%\\Documents\\xwechat_files\\wxid_a1b2_c3d4\\cache\\contact.db-wal",
        L"%USERPROFILE%\\Documents\\xwechat_files\\wxid_a1b2_c3d4\\config\\a.ini",
        L"%USERPROFILE%\\Documents\\xwechat_files\\all_users"},
       {}},
      {"wechat3-cache",
       {L"%USERPROFILE%\\Documents\\WeChat Files\\wxid_q7r8\\FileStorage\\Cache\\2024-05\\a.jpg",
        L"%APPDATA%\\Tencent\\WeChat\\log\\WeChat_20240501.xlog"},
       {L"%USERPROFILE%\\Documents\\WeChat Files\\wxid_q7r8\\Msg\\MicroMsg.db",
        L"%USERPROFILE%\\Documents\\WeChat Files\\wxid_q7r8\\Msg\\Multi\\MSG0.db",
        L"%USERPROFILE%\\Documents\\WeChat Files\\wxid_q7r8\\FileStorage\\File\\2024-05\\合同.docx",
        L"%USERPROFILE%\\Documents\\WeChat Files\\wxid_q7r8\\FileStorage\\Video\\2024-05\\v.mp4",
        L"%USERPROFILE%\\Documents\\WeChat Files\\wxid_q7r8\\FileStorage\\Image\\2024-05\\a.dat",
        L"%USERPROFILE%\\Documents\\WeChat Files\\wxid_q7r8\\FileStorage\\MsgAttach\\h\\a.dat",
        L"%USERPROFILE%\\Documents\\WeChat Files\\wxid_q7r8\\FileStorage\\Cache\\emoji.db",
        L"%APPDATA%\\Tencent\\WeChat\\log\\index.db",
        L"%APPDATA%\\Tencent\\WeChat\\All Users\\config\\config.data"},
       {}},
      {"wxwork-cache",
       {L"%USERPROFILE%\\Documents\\WXWork\\1688850000000001\\Cache\\Image\\2024-05\\a.jpg"},
       {L"%USERPROFILE%\\Documents\\WXWork\\1688850000000001\\Data\\message.db",
        L"%USERPROFILE%\\Documents\\WXWork\\1688850000000001\\Cache\\contact.db",
        L"%USERPROFILE%\\Documents\\WXWork\\Global\\config.ini"},
       {}},
      {"jianying-cache",
       {L"%LOCALAPPDATA%\\JianyingPro\\User Data\\Cache\\recognize\\a.json",
        L"%LOCALAPPDATA%\\JianyingPro\\User Data\\Cache\\frameThumbnail\\b.jpg",
        L"%LOCALAPPDATA%\\JianyingPro\\User Data\\Cache\\audioWave\\c.wave",
        L"%LOCALAPPDATA%\\JianyingPro\\User Data\\Cache\\AlgorithmCache\\d.bin",
        L"%LOCALAPPDATA%\\JianyingPro\\User Data\\Cache\\image\\e.png",
        L"%LOCALAPPDATA%\\CapCut\\User Data\\Cache\\frameThumbnail\\f.jpg"},
       {L"%LOCALAPPDATA%\\JianyingPro\\User Data\\Projects\\com.lveditor.draft\\草稿 1\\"
        L"draft_content.json",
        L"%LOCALAPPDATA%\\JianyingPro\\User Data\\Cache\\effect\\7a8b\\effect.zip",
        L"%LOCALAPPDATA%\\JianyingPro\\User Data\\Cache\\music\\m.mp3",
        L"%LOCALAPPDATA%\\CapCut\\User Data\\Projects\\com.lveditor.draft\\d\\draft_content.json"},
       {}},
      {"npm-cache",
       {L"%LOCALAPPDATA%\\npm-cache\\_cacache\\content-v2\\sha512\\ab\\cd\\ef",
        L"%LOCALAPPDATA%\\npm-cache\\_cacache\\index-v5\\12\\34\\a"},
       {L"%LOCALAPPDATA%\\npm-cache\\_npx\\a1\\package.json",
        L"%USERPROFILE%\\source\\web\\node_modules\\left-pad\\index.js"},
       {}},
      {"yarn-cache",
       {L"%LOCALAPPDATA%\\Yarn\\Cache\\v6\\npm-left-pad-1.3.0\\node_modules\\left-pad\\index.js"},
       {L"%LOCALAPPDATA%\\Yarn\\Data\\global\\package.json"},
       {}},
      {"pip-cache",
       {L"%LOCALAPPDATA%\\pip\\Cache\\http-v2\\a\\b\\c.body",
        L"%LOCALAPPDATA%\\pip\\Cache\\wheels\\ab\\x-1.0-py3-none-any.whl"},
       {L"%LOCALAPPDATA%\\pip\\pip.ini",
        L"%LOCALAPPDATA%\\Programs\\Python\\Python312\\Lib\\site-packages\\x\\__init__.py"},
       {}},
      {"nuget-cache",
       {L"%LOCALAPPDATA%\\NuGet\\v3-cache\\1ca7\\list_newtonsoft.json.dat",
        L"%LOCALAPPDATA%\\NuGet\\plugins-cache\\a\\b.dat", L"%TEMP%\\NuGetScratch\\c\\d.tmp"},
       {L"%USERPROFILE%\\.nuget\\packages\\newtonsoft.json\\13.0.3\\newtonsoft.json.13.0.3.nupkg",
        L"%APPDATA%\\NuGet\\NuGet.Config", L"%TEMP%\\other\\e.txt"},
       {}},
      {"go-build-cache",
       {L"%LOCALAPPDATA%\\go-build\\ab\\abcdef-d", L"%LOCALAPPDATA%\\go-build\\trim.txt"},
       {L"%USERPROFILE%\\go\\pkg\\mod\\example.com\\x@v1.0.0\\x.go"},
       {}},
      {"cargo-cache",
       {L"%USERPROFILE%\\.cargo\\registry\\cache\\index.crates.io-6f17d22bba15001f\\serde-1.0.0."
        L"crate"},
       {L"%USERPROFILE%\\.cargo\\registry\\src\\index.crates.io-6f17d22bba15001f\\serde-1.0.0\\"
        L"lib.rs",
        L"%USERPROFILE%\\.cargo\\registry\\index\\index.crates.io-6f17d22bba15001f\\config.json",
        L"%USERPROFILE%\\.cargo\\bin\\cargo.exe"},
       {}},
      {"gradle-caches",
       {L"%USERPROFILE%\\.gradle\\caches\\modules-2\\files-2.1\\g\\a.jar",
        L"%USERPROFILE%\\.gradle\\caches\\8.5\\fileHashes\\fileHashes.bin"},
       {L"%USERPROFILE%\\.gradle\\gradle.properties",
        L"%USERPROFILE%\\.gradle\\wrapper\\dists\\gradle-8.5-bin\\x\\gradle-8.5-bin.zip"},
       {L"%USERPROFILE%\\.gradle\\caches", L"%USERPROFILE%\\.gradle\\caches\\modules-2",
        L"%USERPROFILE%\\.gradle\\caches\\modules-2\\files-2.1",
        L"%USERPROFILE%\\.gradle\\caches\\modules-2\\files-2.1\\g",
        L"%USERPROFILE%\\.gradle\\caches\\8.5",
        L"%USERPROFILE%\\.gradle\\caches\\8.5\\fileHashes"}},
      {"jetbrains-caches",
       {L"%LOCALAPPDATA%\\JetBrains\\IntelliJIdea2024.1\\caches\\content.dat",
        L"%LOCALAPPDATA%\\JetBrains\\PyCharm2023.3\\caches\\names.dat"},
       {L"%LOCALAPPDATA%\\JetBrains\\IntelliJIdea2024.1\\log\\idea.log",
        L"%APPDATA%\\JetBrains\\IntelliJIdea2024.1\\options\\ide.general.xml",
        L"%APPDATA%\\JetBrains\\IntelliJIdea2024.1\\caches\\keep.txt"},
       {}},
      {"vscode-cache",
       {L"%APPDATA%\\Code\\Cache\\Cache_Data\\f_000001",
        L"%APPDATA%\\Code\\CachedData\\abc\\x.code",
        L"%APPDATA%\\Code\\CachedExtensionVSIXs\\ms-python.python-2024.6.0",
        L"%APPDATA%\\Code\\Code Cache\\js\\a_0", L"%APPDATA%\\Code\\GPUCache\\data_0"},
       {L"%APPDATA%\\Code\\User\\settings.json",
        L"%APPDATA%\\Code\\User\\workspaceStorage\\ab\\state.vscdb",
        L"%APPDATA%\\Code\\Local Storage\\leveldb\\000003.ldb",
        L"%USERPROFILE%\\.vscode\\extensions\\ms-python.python-2024.6.0\\package.json"},
       {}},
      {"nuget-packages",
       {L"%USERPROFILE%\\.nuget\\packages\\serilog\\3.1.1\\serilog.3.1.1.nupkg",
        L"%USERPROFILE%\\.nuget\\packages\\newtonsoft.json\\13.0.3\\newtonsoft.json.13.0.3.nupkg"},
       {L"%USERPROFILE%\\.nuget\\NuGet\\NuGet.Config"},
       {}},
      {"maven-repository",
       {L"%USERPROFILE%\\.m2\\repository\\org\\slf4j\\slf4j-api\\2.0.9\\slf4j-api-2.0.9.jar"},
       {L"%USERPROFILE%\\.m2\\settings.xml"},
       {}},
      {"package-cache",
       {L"%ProgramData%\\Package Cache\\{0D8B2E1A}\\vc_redist.x64.exe"},
       {L"%ProgramData%\\Microsoft\\Windows\\Start Menu\\a.lnk"},
       {}},
      {"wsl-docker-disks",
       {L"%LOCALAPPDATA%\\Packages\\CanonicalGroupLimited.Ubuntu_79rhkp1fndgsc\\LocalState\\ext4."
        L"vhdx",
        L"%LOCALAPPDATA%\\Docker\\wsl\\data\\ext4.vhdx",
        L"%LOCALAPPDATA%\\Docker\\wsl\\distro\\ext4.vhdx"},
       {L"%LOCALAPPDATA%\\Packages\\Microsoft.WindowsStore_8wekyb3d8bbwe\\LocalState\\cache.dat",
        L"%LOCALAPPDATA%\\Docker\\wsl\\data\\readme.txt", L"%LOCALAPPDATA%\\Docker\\settings.json",
        L"%LOCALAPPDATA%\\Docker\\wsl\\main\\sub\\old.vhdx"},
       {}},
      // Made-up programs built on Chromium at several depths, found by the
      // structure of their folders; look-alikes without it stay, and so do
      // the browsers' user data folders of the items above (planted there).
      {"chromium-app-caches",
       {L"%APPDATA%\\ChatApp\\Cache\\Cache_Data\\data_0",
        L"%APPDATA%\\ChatApp\\Cache\\Cache_Data\\f_00001a",
        L"%APPDATA%\\ChatApp\\Code Cache\\js\\index",
        L"%APPDATA%\\ChatApp\\Code Cache\\wasm\\9a8b_0", L"%APPDATA%\\ChatApp\\GPUCache\\data_1",
        L"%APPDATA%\\ChatApp\\DawnCache\\data_0",
        L"%APPDATA%\\ChatApp\\Service Worker\\CacheStorage\\0a1b\\index.txt",
        L"%APPDATA%\\ChatApp\\Partitions\\work\\Cache\\Cache_Data\\f_000002",
        L"%LOCALAPPDATA%\\MeetCo\\Meeting\\cef_cache\\GrShaderCache\\data_0",
        L"%LOCALAPPDATA%\\MeetCo\\Meeting\\cef_cache\\Cache\\Cache_Data\\f_000003",
        // Depth 8 below %APPDATA%: the deepest a cache is found.
        L"%APPDATA%\\Vendor\\Suite\\cef\\d4\\d5\\d6\\App7\\GPUCache\\data_0",
        L"%APPDATA%\\Vendor\\Suite\\cef\\d4\\d5\\d6\\App7\\Code Cache\\js\\a_0"},
       {L"%APPDATA%\\ChatApp\\Preferences", L"%APPDATA%\\ChatApp\\Local State",
        L"%APPDATA%\\ChatApp\\Network\\Cookies", L"%APPDATA%\\ChatApp\\config.json",
        L"%APPDATA%\\ChatApp\\logs\\main.log", L"%APPDATA%\\ChatApp\\GPUCache\\index.db",
        L"%APPDATA%\\ChatApp\\Service Worker\\Database\\000003.log",
        L"%APPDATA%\\ChatApp\\Service Worker\\ScriptCache\\a_0",
        L"%APPDATA%\\ChatApp\\Local Storage\\leveldb\\000005.ldb",
        L"%APPDATA%\\ChatApp\\IndexedDB\\https_app_0.indexeddb.leveldb\\000003.log",
        L"%APPDATA%\\ChatApp\\Session Storage\\000004.log",
        L"%APPDATA%\\ChatApp\\Partitions\\work\\Preferences",
        L"%LOCALAPPDATA%\\MeetCo\\Meeting\\cef_cache\\Local State",
        L"%LOCALAPPDATA%\\MeetCo\\Meeting\\recordings\\会议 1.mp4",
        // A cache folder that holds a database stays whole.
        L"%LOCALAPPDATA%\\MeetCo\\Meeting\\cef_cache\\GPUCache\\CURRENT",
        L"%LOCALAPPDATA%\\MeetCo\\Meeting\\cef_cache\\GPUCache\\MANIFEST-000001",
        L"%LOCALAPPDATA%\\MeetCo\\Meeting\\cef_cache\\GPUCache\\000004.log",
        L"%APPDATA%\\Vendor\\Suite\\cef\\d4\\d5\\d6\\App7\\Local State",
        // Depth 8 is the Service Worker: its CacheStorage would be at 9.
        L"%APPDATA%\\Vendor\\Suite\\cef\\d4\\d5\\d6\\App7\\Service "
        L"Worker\\CacheStorage\\ab\\x",
        // Depth 9: too deep.
        L"%APPDATA%\\Vendor\\Suite\\cef\\d4\\d5\\d6\\d7\\App8\\Preferences",
        L"%APPDATA%\\Vendor\\Suite\\cef\\d4\\d5\\d6\\d7\\App8\\GPUCache\\data_0",
        L"%APPDATA%\\Vendor\\Suite\\cef\\d4\\d5\\d6\\d7\\App8\\Cache\\Cache_Data\\f_1",
        // Look-alikes: a "Cache" without "Cache_Data", a "GPUCache" beside
        // the user's documents, a "Code Cache" without scripts.
        L"%APPDATA%\\PhotoTool\\Cache\\thumbs\\a.jpg", L"%APPDATA%\\PhotoTool\\Cache\\index.dat",
        L"%LOCALAPPDATA%\\Reports\\GPUCache\\报告.docx", L"%LOCALAPPDATA%\\Reports\\季度总结.xlsx",
        L"%APPDATA%\\Notes\\Preferences", L"%APPDATA%\\Notes\\Code Cache\\readme.txt"},
       {}},
  };
  layouts.insert(layouts.end(), others.begin(), others.end());

  // Every reference in the fixture: %LOCALAPPDATA%\x is <root>\LOCALAPPDATA\x.
  const auto refs = ReferencesByLength();
  auto plantedAt = [this](const std::wstring& declared) {
    size_t close = declared.find(L'%', 1);
    return At(declared.substr(1, close - 1) + declared.substr(close + 1));
  };
  auto rel = [this](const std::wstring& full) {
    std::string r = W2U(full.substr(Root().size() + 1));
    std::replace(r.begin(), r.end(), '\\', '/');
    return r;
  };
  std::map<std::string, uint64_t> sizes;
  uint64_t size = 1;
  for (const ItemLayout& l : layouts)
    for (const auto* list : {&l.take, &l.stay})
      for (const wchar_t* p : *list) {
        std::wstring at = plantedAt(p);
        if (sizes.count(rel(at))) continue;  // planted for an earlier item
        ASSERT_TRUE(PlantFile(at, size)) << W2U(p);
        sizes[rel(at)] = size++;
      }

  const std::vector<Category> cats = BuildRules();
  std::set<std::string> covered;
  for (const ItemLayout& l : layouts) {
    SCOPED_TRACE(l.id);
    covered.insert(l.id);
    const RuleItem* declared = FindItem(cats, l.id);
    ASSERT_NE(declared, nullptr);
    // The item as declared, its targets moved into the fixture.
    RuleItem item = *declared;
    auto move = [&](std::wstring& path) {
      for (const auto& ref : refs) {
        const std::wstring& v = ref.second;
        if (path.size() >= v.size() && (path.size() == v.size() || path[v.size()] == L'\\') &&
            tov::LowerAscii(path.substr(0, v.size())) == tov::LowerAscii(v)) {
          path = At(ref.first + path.substr(v.size()));
          return true;
        }
      }
      return false;
    };
    for (Target& t : item.targets) {
      ASSERT_TRUE(move(t.path)) << W2U(t.path);
      for (std::wstring& skip : t.searchSkips) ASSERT_TRUE(move(skip)) << W2U(skip);
    }
    std::set<std::string> taken;
    std::set<std::wstring> takenPaths;
    uint64_t bytes = 0;
    for (const wchar_t* p : l.take) {
      taken.insert(rel(plantedAt(p)));
      takenPaths.insert(plantedAt(p));
      bytes += sizes[rel(plantedAt(p))];
    }
    const bool measured = item.mode == ItemMode::Measure;

    Listing before = ListTree(Root());
    ItemStat scan = ScanOne(item);
    EXPECT_EQ(scan.files, l.take.size());
    EXPECT_EQ(scan.bytes, bytes);
    EXPECT_TRUE(scan.errors.empty()) << scan.errors.front();
    std::vector<FileHit> hits;
    CollectDetails(item, 1000, hits);
    std::set<std::wstring> listed;
    for (const FileHit& h : hits) listed.insert(h.path);
    EXPECT_EQ(listed, measured ? std::set<std::wstring>() : takenPaths);
    // Each file of a found cache is listed with its program's folder; the
    // files of every other item with none.
    for (const FileHit& h : hits) {
      std::wstring group;
      if (std::string(l.id) == "chromium-app-caches") {
        for (const wchar_t* app : {L"APPDATA\\ChatApp\\Partitions\\work", L"APPDATA\\ChatApp",
                                   L"LOCALAPPDATA\\MeetCo\\Meeting\\cef_cache",
                                   L"APPDATA\\Vendor\\Suite\\cef\\d4\\d5\\d6\\App7"})
          if (group.empty() && h.path.rfind(At(app) + L"\\", 0) == 0) group = At(app);
        EXPECT_FALSE(group.empty()) << W2U(h.path);
      }
      EXPECT_EQ(W2U(h.group), W2U(group)) << W2U(h.path);
    }

    ItemStat dry = CleanOne(item, true);
    EXPECT_EQ(dry.files, l.take.size());
    EXPECT_EQ(dry.bytes, bytes);
    EXPECT_TRUE(dry.errors.empty());
    ExpectOnlyGone(before, ListTree(Root()), {});

    ItemStat real = CleanOne(item, false);
    EXPECT_EQ(real.files, l.take.size());
    EXPECT_EQ(real.bytes, bytes);
    EXPECT_EQ(real.skipped, 0u);
    EXPECT_TRUE(real.errors.empty());
    std::set<std::string> gone = measured ? std::set<std::string>() : taken;
    for (const wchar_t* d : l.goneDirs) gone.insert(rel(plantedAt(d)));
    ExpectOnlyGone(before, ListTree(Root()), gone);
  }

  // Every item this layout was written for is in it.
  for (const char* id :
       {"chrome-cache",     "edge-cache",         "chrome360-cache",    "se360-cache",
        "qqbrowser-cache",  "brave-cache",        "firefox-cache",      "nvidia-shader-cache",
        "amd-shader-cache", "intel-shader-cache", "steam-shader-cache", "adobe-media-cache",
        "win-temp",         "upgrade-leftovers",  "weixin4-cache",      "wechat3-cache",
        "wxwork-cache",     "jianying-cache",     "npm-cache",          "yarn-cache",
        "pip-cache",        "nuget-cache",        "go-build-cache",     "cargo-cache",
        "gradle-caches",    "jetbrains-caches",   "vscode-cache",       "nuget-packages",
        "maven-repository", "package-cache",      "wsl-docker-disks",   "chromium-app-caches"})
    EXPECT_TRUE(covered.count(id)) << id;
}

// ---- Cleaning: measure, safety, special items ---------------------------------------

TEST_F(Engine, MeasureModeReportsAndDeletesNothing) {
  ASSERT_TRUE(PlantFile(At(L"m\\a.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"m\\b.txt"), 2));
  ASSERT_TRUE(PlantFile(At(L"m\\sub\\c.LOG"), 4, true));
  ASSERT_TRUE(PlantFile(At(L"one.log"), 8));
  RuleItem item =
      Item("m", ItemMode::Measure, {Tg(At(L"m"), true, {L"*.log"}), Tg(At(L"one.log"))});
  Listing before = ListTree(Root());
  for (bool dryRun : {false, true}) {
    ItemStat s = CleanOne(item, dryRun);
    EXPECT_EQ(s.files, 3u);
    EXPECT_EQ(s.bytes, 13u);
    EXPECT_EQ(s.skipped, 0u);
    EXPECT_TRUE(s.errors.empty());
  }
  ExpectOnlyGone(before, ListTree(Root()), {});
}

TEST_F(Engine, SystemAreaNeedsAllowSystem) {
  std::wstring sys = Join(ExpandEnvW(L"%SystemRoot%"), L"tamsel-t-sys");
  RemoveTree(sys);
  ASSERT_TRUE(PlantFile(Join(sys, L"a.tmp"), 1));
  ASSERT_TRUE(PlantFile(Join(sys, L"sub\\b.tmp"), 2, true));
  ASSERT_TRUE(PlantFile(Join(sys, L"keep.txt"), 4));
  Listing before = ListTree(sys);

  RuleItem files = Item("f", ItemMode::Files, {Tg(sys, true, {L"*.tmp"})});
  RuleItem single = Item("s", ItemMode::Files, {Tg(Join(sys, L"a.tmp"))});
  RuleItem dir = Item("d", ItemMode::Dir, {Tg(sys)});
  for (bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "real clean");
    ItemStat f = CleanOne(files, dryRun);
    EXPECT_EQ(f.files, 0u);
    EXPECT_EQ(f.skipped, 1u);
    EXPECT_EQ(f.errors, (std::vector<std::string>{Err(sys, kReasonSystem)}));
    ItemStat s = CleanOne(single, dryRun);
    EXPECT_EQ(s.skipped, 1u);
    EXPECT_EQ(s.errors, (std::vector<std::string>{Err(Join(sys, L"a.tmp"), kReasonSystem)}));
    ItemStat d = CleanOne(dir, dryRun);
    EXPECT_EQ(d.files, 0u);
    EXPECT_EQ(d.skipped, 1u);
    EXPECT_EQ(d.errors, (std::vector<std::string>{Err(sys, kReasonSystem)}));
    ExpectOnlyGone(before, ListTree(sys), {});
  }

  // With allowSystem the same targets are cleaned.
  files.targets[0].allowSystem = true;
  ItemStat f = CleanOne(files, false);
  EXPECT_EQ(f.files, 2u);
  EXPECT_EQ(f.bytes, 3u);
  EXPECT_EQ(f.skipped, 0u);
  Listing mid = ListTree(sys);
  ExpectOnlyGone(before, mid, {"a.tmp", "sub/b.tmp"});
  dir.targets[0].allowSystem = true;
  ItemStat d = CleanOne(dir, false);
  EXPECT_EQ(d.files, 1u);
  EXPECT_EQ(d.bytes, 4u);
  EXPECT_FALSE(Exists(sys));
  if (Exists(sys)) RemoveTree(sys);
}

TEST_F(Engine, DriveRootHomeAndEmptyTargetsAreRefused) {
  // Only dry runs here: a real clean of these would be a disaster.
  std::wstring home = ExpandEnvW(L"%USERPROFILE%");
  // A target is kept in its one form: "C:" is the drive's root "C:\\", and
  // the same target written again is walked (and refused) once.
  RuleItem files = Item("f", ItemMode::Files, {Tg(L"C:"), Tg(home + L"/"), Tg(L"C:\\"), Tg(L"")});
  ItemStat f = CleanOne(files, true);
  EXPECT_EQ(f.files, 0u);
  EXPECT_EQ(f.bytes, 0u);
  EXPECT_EQ(f.skipped, 2u);  // the empty target is passed over in silence
  EXPECT_EQ(f.errors,
            (std::vector<std::string>{"C:\\ : 盘符根目录", W2U(home) + " : 用户主目录根"}));
  RuleItem dir = Item("d", ItemMode::Dir, {Tg(L"C:\\"), Tg(home + L"\\"), Tg(L"")});
  ItemStat d = CleanOne(dir, true);
  EXPECT_EQ(d.files, 0u);
  EXPECT_EQ(d.skipped, 3u);
  EXPECT_EQ(d.errors, (std::vector<std::string>{"C:\\ : 盘符根目录", W2U(home) + " : 用户主目录根",
                                                " : 空路径"}));
}

TEST_F(Engine, HibernationItem) {
  const std::wstring file = ExpandEnvW(L"%SystemDrive%\\hiberfil.sys");
  EnsureDriveC();
  RemoveTree(file);
  ASSERT_TRUE(PlantFile(At(L"t\\decoy.bin"), 1));
  // The item's own targets are ignored.
  RuleItem item = Item("h", ItemMode::Hibernate, {Tg(At(L"t"))});
  Listing before = ListTree(Root());

  // No hibernation file: zeros, and nothing is run (switching hibernation on
  // would bring the file back).
  for (bool dryRun : {true, false}) {
    ItemStat c = CleanOne(item, dryRun);
    EXPECT_EQ(c.files, 0u);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_EQ(c.skipped, 0u);
    EXPECT_TRUE(c.errors.empty());
    EXPECT_FALSE(Exists(file));
  }
  ItemStat none = ScanOne(item);
  EXPECT_EQ(none.files, 0u);
  EXPECT_EQ(none.bytes, 0u);

  const uint64_t kSize = (1u << 20) + 7;
  ASSERT_TRUE(PlantFile(file, kSize));
  ItemStat scan = ScanOne(item);
  EXPECT_EQ(scan.files, 1u);
  EXPECT_EQ(scan.bytes, kSize);
  ItemStat dry = CleanOne(item, true);
  EXPECT_EQ(dry.files, 1u);
  EXPECT_EQ(dry.bytes, kSize);
  EXPECT_EQ(dry.skipped, 0u);
  EXPECT_TRUE(Exists(file));

  ItemStat real = CleanOne(item, false);
#ifdef _WIN32
  // Wine has no powercfg.exe: switching hibernation off cannot run.
  EXPECT_EQ(real.skipped, 1u);
  EXPECT_EQ(real.errors, (std::vector<std::string>{"关闭休眠失败（需要管理员权限）"}));
  EXPECT_EQ(real.bytes, 0u);
  EXPECT_EQ(real.files, 0u);
  EXPECT_TRUE(Exists(file));
#else
  // The stand-in's powercfg removes the file for an administrator (tests run
  // as root), and hibernation is not switched back on, which would bring the
  // file straight back.
  EXPECT_EQ(real.skipped, 0u);
  EXPECT_TRUE(real.errors.empty());
  EXPECT_EQ(real.bytes, kSize);
  EXPECT_EQ(real.files, 1u);
  EXPECT_FALSE(Exists(file));
#endif
  RemoveTree(file);
  ExpectOnlyGone(before, ListTree(Root()), {});
}

TEST_F(Engine, RecycleBinItem) {
  // The item's own targets are ignored.
  ASSERT_TRUE(PlantFile(At(L"t\\decoy.bin"), 1));
  RuleItem item = Item("bin", ItemMode::RecycleBin, {Tg(At(L"t"))});
  Listing fixture = ListTree(Root());
  // A scan never sizes the bin: that is the query's job.
  ItemStat scan = ScanOne(item);
  EXPECT_EQ(scan.files, 0u);
  EXPECT_EQ(scan.bytes, 0u);
  EXPECT_EQ(scan.skipped, 0u);
#ifdef _WIN32
  // Under wine the bin is the Linux trash of the prefix's home, which this
  // test must not empty; the document must say what the query says, a
  // failed query included.
  uint64_t items = 0, bytes = 0;
  if (tov::QueryRecycleBin(&items, &bytes)) {
    EXPECT_EQ(RecycleBinInfoJson(), "{\"ok\":true,\"items\":" + std::to_string(items) +
                                        ",\"bytes\":" + std::to_string(bytes) + "}");
  } else {
    EXPECT_EQ(RecycleBinInfoJson(), "{\"ok\":false}");
  }
#else
  const std::wstring bin = L"C:\\$Recycle.Bin";
  EnsureDriveC();
  RemoveTree(bin);
  EXPECT_EQ(RecycleBinInfoJson(), "{\"ok\":true,\"items\":0,\"bytes\":0}");
  // A bin that cannot be read is reported as such, not as an empty bin.
  ASSERT_TRUE(PlantFile(bin, 5));
  EXPECT_EQ(RecycleBinInfoJson(), "{\"ok\":false}");
  RemoveTree(bin);
  ASSERT_TRUE(PlantFile(Join(bin, L"S-1-5-21-1\\$RABC123.txt"), 100));
  ASSERT_TRUE(PlantFile(Join(bin, L"S-1-5-21-1\\$IABC123.txt"), 20, true));
  ASSERT_TRUE(PlantFile(Join(bin, L"S-1-5-21-1\\$RDEF456\\inner.bin"), 3));
  EXPECT_EQ(RecycleBinInfoJson(), "{\"ok\":true,\"items\":3,\"bytes\":123}");
  Listing before = ListTree(bin);
  EXPECT_EQ(ScanOne(item).files, 0u);

  ItemStat dry = CleanOne(item, true);
  EXPECT_EQ(dry.files, 3u);
  EXPECT_EQ(dry.bytes, 123u);
  EXPECT_EQ(dry.skipped, 0u);
  ExpectOnlyGone(before, ListTree(bin), {});

  ItemStat real = CleanOne(item, false);
  EXPECT_EQ(real.files, 3u);
  EXPECT_EQ(real.bytes, 123u);
  EXPECT_EQ(real.skipped, 0u);
  EXPECT_TRUE(real.errors.empty());
  std::set<std::string> all;
  for (const auto& kv : before) all.insert(kv.first);
  ExpectOnlyGone(before, ListTree(bin), all);
  EXPECT_EQ(RecycleBinInfoJson(), "{\"ok\":true,\"items\":0,\"bytes\":0}");
#endif
  ExpectOnlyGone(fixture, ListTree(Root()), {});
}

TEST_F(Engine, EmptyingTheBinNeverFollowsAFolderSwappedForALink) {
#ifdef _WIN32
  GTEST_SKIP() << "the Windows bin is emptied by the shell (SHEmptyRecycleBinW); the stand-in's "
                  "own emptying is what this test races";
#else
  // A thread swaps a folder inside the bin for a link to a folder outside
  // the drive, and back, as fast as it can, while the bin is emptied. The
  // folder outside holds files of the same names as the one in the bin, so
  // that a removal by a path through the link would find them; round after
  // round nothing outside the drive may go.
  namespace fs = std::filesystem;
  EnsureDriveC();
  const std::wstring bin = L"C:\\$Recycle.Bin";
  const fs::path outside = tov::HostPath(L"C:").parent_path() / "outside-the-bin";
  constexpr int kFiles = 150;
  constexpr int kRounds = 30;
  auto plant = [](const fs::path& dir) {
    std::error_code e;
    fs::create_directories(dir / "inner", e);
    for (int i = 0; i < kFiles; ++i) {
      std::ofstream(dir / ("f" + std::to_string(i))) << "z";
      std::ofstream(dir / "inner" / ("g" + std::to_string(i))) << "z";
    }
  };
  std::error_code ec;
  fs::remove_all(outside, ec);
  plant(outside);
  std::ofstream(outside / "precious.doc") << "x";
  const std::wstring outsideW = tov::Utf8ToWide(outside.string());
  const Listing outsideBefore = ListTree(outsideW);
  ASSERT_EQ(outsideBefore.size(), 2u * kFiles + 2);
  ASSERT_TRUE(PlantFile(At(L"t\\decoy.bin"), 1));
  const Listing fixture = ListTree(Root());

  const fs::path user = tov::HostPath(Join(bin, L"S-1-5-21-1"));
  const fs::path swapped = user / "$R000001";
  const fs::path aside = user / "$R000001.moved";
  int round = 0;
  uint64_t swaps = 0;
  for (; round < kRounds; ++round) {
    RemoveTree(bin);
    plant(swapped);
    std::ofstream(user / "$R000002.txt") << "z";
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> done{0};
    // The folder stays in place most of the time, so that the emptying
    // finds it there and is inside it when the link comes.
    std::thread racer([&] {
      while (!stop.load()) {
        std::error_code e;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        fs::rename(swapped, aside, e);
        if (e) break;  // emptied: nothing left to swap
        fs::create_directory_symlink(outside, swapped, e);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (fs::is_symlink(fs::symlink_status(swapped, e))) fs::remove(swapped, e);
        fs::rename(aside, swapped, e);
        done.fetch_add(1);
      }
    });
    while (done.load() == 0) std::this_thread::yield();
    tov::EmptyRecycleBin();
    stop = true;
    racer.join();
    swaps += done.load();
    if (ListTree(outsideW) != outsideBefore) break;
  }
  EXPECT_EQ(round, kRounds) << "files outside the drive went in round " << round;
  ExpectOnlyGone(outsideBefore, ListTree(outsideW), {});
  std::printf("# %d rounds, %llu swaps while the bin was emptied\n", round,
              static_cast<unsigned long long>(swaps));
  RemoveTree(bin);
  ExpectOnlyGone(fixture, ListTree(Root()), {});
  fs::remove_all(outside, ec);
#endif
}

// ---- A real PC: databases, swapped folders, placeholders, long paths -----------------

TEST_F(Engine, SweepsByPatternLeaveDatabaseFoldersAlone) {
  // A LevelDB folder of a browser profile and ESE folders, beside ordinary
  // logs and temporary files that do go.
  const std::wstring ls = L"app\\Chrome\\User Data\\Default\\Local Storage\\leveldb";
  ASSERT_TRUE(PlantFile(At(ls + L"\\000003.log"), 1));
  ASSERT_TRUE(PlantFile(At(ls + L"\\CURRENT"), 2));
  ASSERT_TRUE(PlantFile(At(ls + L"\\MANIFEST-000001"), 4));
  ASSERT_TRUE(PlantFile(At(ls + L"\\000005.ldb"), 8));
  ASSERT_TRUE(PlantFile(At(ls + L"\\LOCK.tmp"), 16));
  ASSERT_TRUE(PlantFile(At(ls + L"\\below\\x.log"), 32));  // not directly in it: goes
  ASSERT_TRUE(PlantFile(At(L"app\\WebCache\\V01.log"), 64));
  ASSERT_TRUE(PlantFile(At(L"app\\WebCache\\V01.chk"), 128));
  ASSERT_TRUE(PlantFile(At(L"app\\jrs\\edb00001.log"), 256));
  ASSERT_TRUE(PlantFile(At(L"app\\jrs\\res1.jrs"), 512));
  ASSERT_TRUE(PlantFile(At(L"app\\edb\\a.log"), 1024));
  ASSERT_TRUE(PlantFile(At(L"app\\edb\\store.EDB"), 2048));
  ASSERT_TRUE(PlantFile(At(L"app\\rocks\\000007.log"), 4096));
  ASSERT_TRUE(PlantFile(At(L"app\\rocks\\manifest-000009"), 8192));
  ASSERT_TRUE(PlantFile(At(L"app\\plain\\a.log"), 16384));
  ASSERT_TRUE(PlantFile(At(L"app\\plain\\b.tmp"), 32768));
  ASSERT_TRUE(PlantFile(At(L"app\\plain\\c.txt"), 65536));
  // A folder named like a marker marks nothing.
  ASSERT_TRUE(PlantFile(At(L"app\\named\\CURRENT\\keep.txt"), 131072));
  ASSERT_TRUE(PlantFile(At(L"app\\named\\d.log"), 262144));
  // A single-file target with patterns inside a database folder.
  RuleItem sweep = Item("sweep", ItemMode::Files,
                        {Tg(At(L"app"), true, {L"*.tmp", L"*.log"}),
                         Tg(At(L"app\\WebCache\\V01.log"), false, {L"*.log"})});
  const uint64_t kTaken = 32 + 16384 + 32768 + 262144;
  const std::set<std::string> kGone = {
      "app/Chrome/User Data/Default/Local Storage/leveldb/below/x.log", "app/plain/a.log",
      "app/plain/b.tmp", "app/named/d.log"};
  Listing before = ListTree(Root());

  ItemStat scan = ScanOne(sweep);
  EXPECT_EQ(scan.files, 4u);
  EXPECT_EQ(scan.bytes, kTaken);
  std::vector<FileHit> hits;
  CollectDetails(sweep, 100, hits);
  std::set<std::string> listed;
  for (const FileHit& h : hits) listed.insert(W2U(h.path.substr(Root().size() + 1)));
  std::set<std::string> expectedListed;
  for (const std::string& g : kGone) {
    std::string w = g;
    std::replace(w.begin(), w.end(), '/', '\\');
    expectedListed.insert(w);
  }
  EXPECT_EQ(listed, expectedListed);
  ItemStat dry = CleanOne(sweep, true);
  EXPECT_EQ(dry.files, 4u);
  EXPECT_EQ(dry.bytes, kTaken);
  EXPECT_EQ(dry.skipped, 0u);
  ExpectOnlyGone(before, ListTree(Root()), {});

  ItemStat real = CleanOne(sweep, false);
  EXPECT_EQ(real.files, 4u);
  EXPECT_EQ(real.bytes, kTaken);
  EXPECT_EQ(real.skipped, 0u);
  Listing mid = ListTree(Root());
  ExpectOnlyGone(before, mid, kGone);

  // An item that names the cache folder itself takes its database too.
  ItemStat whole = CleanOne(Item("whole", ItemMode::Files, {Tg(At(ls))}), false);
  EXPECT_EQ(whole.files, 5u);
  EXPECT_EQ(whole.bytes, 1u + 2 + 4 + 8 + 16);
  ItemStat dir = CleanOne(Item("dir", ItemMode::Dir, {Tg(At(L"app\\WebCache"))}), false);
  EXPECT_EQ(dir.files, 2u);
  std::set<std::string> gone2;
  for (const char* n : {"000003.log", "CURRENT", "MANIFEST-000001", "000005.ldb", "LOCK.tmp"})
    gone2.insert("app/Chrome/User Data/Default/Local Storage/leveldb/" + std::string(n));
  gone2.insert({"app/WebCache", "app/WebCache/V01.log", "app/WebCache/V01.chk"});
  ExpectOnlyGone(mid, ListTree(Root()), gone2);
}

// The walk hook of these tests: once, when the walk is about to open
// g_swapAt, that folder is replaced by a link to g_swapTo (or by g_swapTo
// itself, moved there, when g_swapByRename is set).
std::wstring g_swapAt, g_swapTo;
std::wstring g_swapLater;  // when set, the folder swapped once the walk reaches g_swapAt
bool g_swapByRename = false;
std::string g_swapWhy;
bool g_swapped = false;
void SwapHook(const std::wstring& sub) {
  if (g_swapped || sub != g_swapAt) return;
  g_swapped = true;
  const std::wstring victim = g_swapLater.empty() ? sub : g_swapLater;
  if (g_swapByRename) {
    std::error_code ec;
    std::filesystem::rename(tov::HostPath(victim), tov::HostPath(victim + L".moved"), ec);
    if (!ec) std::filesystem::rename(tov::HostPath(g_swapTo), tov::HostPath(victim), ec);
    if (ec) g_swapWhy = "rename failed: " + ec.message();
  } else if (!SwapForDirLink(victim, g_swapTo, &g_swapWhy)) {
    g_swapped = false;
  }
}

class SwapGuard {
 public:
  SwapGuard(const std::wstring& at, const std::wstring& to, bool byRename) {
    g_swapAt = at;
    g_swapTo = to;
    g_swapLater.clear();
    g_swapByRename = byRename;
    g_swapWhy.clear();
    g_swapped = false;
    SetWalkHookForTest(SwapHook);
  }
  ~SwapGuard() { SetWalkHookForTest(nullptr); }
};

TEST_F(Engine, AFolderSwappedForALinkDuringTheWalkIsNeverEntered) {
  for (ItemMode mode : {ItemMode::Files, ItemMode::Dir}) {
    SCOPED_TRACE(ItemModeName(mode));
    std::wstring t = At(std::wstring(L"t-") + U2W(ItemModeName(mode)));
    ASSERT_TRUE(PlantFile(t + L"\\a\\x.log", 1));
    ASSERT_TRUE(PlantFile(t + L"\\b\\y.log", 2));
    ASSERT_TRUE(PlantFile(At(L"outside\\z.log"), 4));
    ASSERT_TRUE(PlantFile(At(L"outside\\deep\\w.log"), 8));
    Listing before = ListTree(Root());
    ItemStat s;
    {
      SwapGuard guard(t + L"\\b", At(L"outside"), false);
      s = CleanOne(Item("i", mode, {Tg(t)}), false);
      if (!g_swapped) GTEST_SKIP() << g_swapWhy;
    }
    // Only what lay in the target before the swap went; the link stays, and
    // nothing outside the swapped-in link's parent was touched.
    const std::string rel = W2U(t.substr(Root().size() + 1));
    EXPECT_EQ(s.files, 1u);
    EXPECT_EQ(s.bytes, 1u);
    EXPECT_EQ(s.skipped, 1u);
    const char* reason = mode == ItemMode::Dir ? kReparseDir : kReparseFiles;
    EXPECT_EQ(s.errors, (std::vector<std::string>{Err(t + L"\\b", reason)}));
    Listing after = ListTree(Root());
    std::set<std::string> gone = {rel + "/a/x.log", rel + "/b/y.log"};
    if (mode == ItemMode::Dir) gone.insert(rel + "/a");
    EXPECT_EQ(Gone(before, after), gone);
    EXPECT_EQ(after[rel + "/b"], "link");
    EXPECT_EQ(after[rel + "/b.moved/y.log"], "file 2");
    EXPECT_EQ(after["outside/z.log"], "file 4");
    EXPECT_EQ(after["outside/deep/w.log"], "file 8");
    RemoveTree(t);
  }
}

TEST_F(Engine, AFolderReplacedByAnotherSinceItsListingIsNeverEntered) {
  // The same swap with a real folder moved into place: no link to see, but
  // not the folder that was listed. Runs wherever folders can be renamed.
  ASSERT_TRUE(PlantFile(At(L"t\\a\\x.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"t\\b\\y.log"), 2));
  ASSERT_TRUE(PlantFile(At(L"elsewhere\\z.log"), 4));
  ItemStat s;
  {
    SwapGuard guard(At(L"t\\b"), At(L"elsewhere"), true);
    s = CleanOne(Item("i", ItemMode::Files, {Tg(At(L"t"))}), false);
    ASSERT_TRUE(g_swapped) << g_swapWhy;
    ASSERT_TRUE(g_swapWhy.empty()) << g_swapWhy;
  }
  EXPECT_EQ(s.files, 1u);
  EXPECT_EQ(s.skipped, 1u);
  EXPECT_EQ(s.errors, (std::vector<std::string>{Err(At(L"t\\b"), kReparseFiles)}));
  Listing after = ListTree(Root());
  EXPECT_EQ(after.count("t/a/x.log"), 0u);
  EXPECT_EQ(after["t/b/z.log"], "file 4");        // the moved-in folder, untouched
  EXPECT_EQ(after["t/b.moved/y.log"], "file 2");  // the listed one, moved away
}

// The user's own files wait in a batch for the Recycle Bin and move by
// their paths after the walk has left their folder. A folder swapped
// meanwhile, for a link to a folder outside the target or for a real folder
// from outside holding files of the same names, never redirects the move:
// the way is opened again by handle, and each file must be the one listed.
TEST_F(Engine, UserFilesWaitingForTheBinNeverMoveThroughAFolderSwappedSinceTheirListing) {
  for (bool byRename : {false, true}) {
    SCOPED_TRACE(byRename ? "a folder from outside renamed into place" : "a link to outside");
    std::wstring t = At(byRename ? L"t-rename" : L"t-link");
    std::wstring outside = At(byRename ? L"outside-rename" : L"outside-link");
    ASSERT_TRUE(PlantFile(t + L"\\a\\x.iso", 1));
    ASSERT_TRUE(PlantFile(t + L"\\b\\y.iso", 2));
    ASSERT_TRUE(PlantFile(outside + L"\\x.iso", 4));
    ASSERT_TRUE(PlantFile(outside + L"\\deep\\x.iso", 8));
    Listing before = ListTree(Root());
    RuleItem item = Item("mine", ItemMode::Files, {Tg(t)});
    item.userFiles = true;
    ItemStat s;
    g_swapAt = t + L"\\b";  // a is walked and its file queued; b comes next
    g_swapLater = t + L"\\a";
    g_swapTo = outside;
    g_swapByRename = byRename;
    g_swapWhy.clear();
    g_swapped = false;
    SetWalkHookForTest(SwapHook);
    s = CleanOne(item, false);
    SetWalkHookForTest(nullptr);
    g_swapLater.clear();
    if (!g_swapped) GTEST_SKIP() << g_swapWhy;
    ASSERT_TRUE(g_swapWhy.empty()) << g_swapWhy;
    // y.iso went; x.iso stayed where the walk saw it, refused; nothing of
    // the outside folder moved, whatever its place now.
    EXPECT_EQ(s.files, 1u);
    EXPECT_EQ(s.bytes, 2u);
    EXPECT_EQ(s.skipped, 1u);
    EXPECT_EQ(s.errors, (std::vector<std::string>{Err(t + L"\\a\\x.iso", "移到回收站失败")}));
    // The whole fixture: only y.iso went; the swap's own changes stand as
    // it left them, the outside folder's files whole wherever it is now.
    const std::string rel = W2U(t.substr(Root().size() + 1));
    const std::string out = W2U(outside.substr(Root().size() + 1));
    Listing expected = before;
    expected.erase(rel + "/b/y.iso");
    expected.erase(rel + "/a/x.iso");
    expected[rel + "/a.moved"] = "dir";
    expected[rel + "/a.moved/x.iso"] = "file 1";
    if (byRename) {
      for (const char* name : {"", "/x.iso", "/deep", "/deep/x.iso"}) {
        expected[rel + "/a" + name] = before[out + name];
        expected.erase(out + name);
      }
    } else {
      expected[rel + "/a"] = "link";
    }
    EXPECT_EQ(ListTree(Root()), expected);
  }
}

TEST_F(Engine, AFileThatVanishesBeforeItsDeletionIsReportedAsGone) {
  // A file deleted and one of the user's own that goes to the Recycle Bin:
  // each is reported in the words of what was done to it.
  const struct {
    bool userFiles;
    const char* reason;
  } kCases[] = {
      {false, "删除失败(文件已不存在)"},
      {true, "移到回收站失败(已不存在)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.userFiles ? "user files" : "deleted");
    ASSERT_TRUE(PlantFile(At(L"t\\a\\x.log"), 1));
    ASSERT_TRUE(PlantFile(At(L"t\\z.log"), 2));
    Listing before = ListTree(Root());
    // The hook fires before "a" is entered, after the listing that holds z.log.
    struct Vanish {
      static void Hook(const std::wstring&) { std::filesystem::remove(tov::HostPath(g_swapTo)); }
    };
    g_swapTo = At(L"t\\z.log");
    SetWalkHookForTest(Vanish::Hook);
    RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"t"))});
    item.userFiles = c.userFiles;
    ItemStat s = CleanOne(item, false);
    SetWalkHookForTest(nullptr);
    EXPECT_EQ(s.files, 1u);
    EXPECT_EQ(s.bytes, 1u);
    EXPECT_EQ(s.skipped, 1u);
    EXPECT_EQ(s.errors, (std::vector<std::string>{Err(At(L"t\\z.log"), c.reason)}));
    ExpectOnlyGone(before, ListTree(Root()), {"t/a/x.log", "t/z.log"});
  }
}

TEST_F(Engine, CloudPlaceholdersAreNeitherCountedListedNorDeleted) {
  ASSERT_TRUE(PlantFile(At(L"t\\local.log"), 1));
  std::string why;
  if (!PlantPlaceholder(At(L"t\\cloud.log"), 1024, &why)) GTEST_SKIP() << why;
  if (!PlantPlaceholder(At(L"t\\sub\\cloud2.log"), 2048, &why)) GTEST_SKIP() << why;
  if (!PlantPlaceholder(At(L"single.log"), 4096, &why)) GTEST_SKIP() << why;
  Listing before = ListTree(Root());
  RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"t")), Tg(At(L"single.log"))});
  ItemStat scan = ScanOne(item);
  EXPECT_EQ(scan.files, 1u);
  EXPECT_EQ(scan.bytes, 1u);
  std::vector<FileHit> hits;
  CollectDetails(item, 100, hits);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].path, At(L"t\\local.log"));
  for (bool dryRun : {true, false}) {
    ItemStat c = CleanOne(item, dryRun);
    EXPECT_EQ(c.files, 1u);
    EXPECT_EQ(c.bytes, 1u);
    EXPECT_EQ(c.skipped, 0u);
  }
  // A whole-folder item leaves them too, and so the folders that hold them.
  ItemStat dir = CleanOne(Item("d", ItemMode::Dir, {Tg(At(L"t"))}), false);
  EXPECT_EQ(dir.files, 0u);
  ExpectOnlyGone(before, ListTree(Root()), {"t/local.log"});
}

TEST_F(Engine, ALinkToAFileIsNeitherCountedNorDeleted) {
#ifdef _WIN32
  GTEST_SKIP() << "wine shows a Linux link to a file as the file itself and deletes its target";
#else
  ASSERT_TRUE(PlantFile(At(L"outside\\precious.log"), 8));
  ASSERT_TRUE(PlantFile(At(L"t\\plain.log"), 1));
  std::error_code ec;
  std::filesystem::create_symlink(tov::HostPath(At(L"outside\\precious.log")),
                                  tov::HostPath(At(L"t\\link.log")), ec);
  ASSERT_FALSE(ec) << ec.message();
  Listing before = ListTree(Root());
  RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"t"))});
  EXPECT_EQ(ScanOne(item).files, 1u);
  ItemStat c = CleanOne(item, false);
  EXPECT_EQ(c.files, 1u);
  EXPECT_EQ(c.skipped, 0u);
  ItemStat d = CleanOne(Item("d", ItemMode::Dir, {Tg(At(L"t"))}), false);
  EXPECT_EQ(d.files, 0u);
  ExpectOnlyGone(before, ListTree(Root()), {"t/plain.log"});
#endif
}

TEST_F(Engine, TreesDeeperThan260CharactersAreScannedAndRemovedWhole) {
  // Sixteen levels of 19-character names: well past 300 characters.
  std::wstring deep = L"deep";
  std::vector<std::wstring> levels;
  for (int i = 0; i < 16; ++i) {
    deep += L"\\level-" + std::to_wstring(100 + i) + L"-abcdefgh";
    levels.push_back(deep);
  }
  ASSERT_GT(At(deep).size(), 300u);
  uint64_t bytes = 0;
  for (size_t i = 0; i < levels.size(); i += 3) {
    ASSERT_TRUE(PlantFile(At(levels[i] + L"\\f.log"), 1u << i));
    bytes += 1u << i;
  }
  ASSERT_TRUE(PlantFile(At(deep + L"\\last.log"), 1u << 20));
  bytes += 1u << 20;
  ASSERT_TRUE(PlantFile(At(L"keep\\k.log"), 3));
  Listing before = ListTree(Root());
  RuleItem files = Item("f", ItemMode::Files, {Tg(At(L"deep"), true, {L"*.log"})});
  ItemStat scan = ScanOne(files);
  EXPECT_EQ(scan.files, 7u);
  EXPECT_EQ(scan.bytes, bytes);
  std::vector<FileHit> hits;
  CollectDetails(files, 100, hits);
  ASSERT_EQ(hits.size(), 7u);
  EXPECT_EQ(hits.back().path, At(deep + L"\\last.log"));
  ItemStat dry = CleanOne(Item("d", ItemMode::Dir, {Tg(At(L"deep"))}), true);
  EXPECT_EQ(dry.bytes, bytes);
  ItemStat real = CleanOne(Item("d", ItemMode::Dir, {Tg(At(L"deep"))}), false);
  EXPECT_EQ(real.files, 7u);
  EXPECT_EQ(real.bytes, bytes);
  EXPECT_EQ(real.skipped, 0u);
  EXPECT_FALSE(Exists(At(L"deep")));
  std::set<std::string> gone;
  for (const auto& kv : before)
    if (kv.first.compare(0, 4, "deep") == 0) gone.insert(kv.first);
  ExpectOnlyGone(before, ListTree(Root()), gone);
}

TEST_F(Engine, ReadOnlyFoldersAreRemovedWithTheirItem) {
  ASSERT_TRUE(PlantFile(At(L"t\\ro\\a.tmp"), 1));
  ASSERT_TRUE(MakeDir(At(L"t\\ro\\empty")));
  ASSERT_TRUE(MakeDir(At(L"t\\skeleton\\inner")));
  for (const wchar_t* d : {L"t\\ro\\empty", L"t\\skeleton\\inner", L"t\\skeleton", L"t"})
    if (!MakeReadOnlyDir(At(d))) GTEST_SKIP() << "this system keeps no read-only folders";
  ItemStat s = CleanOne(Item("d", ItemMode::Dir, {Tg(At(L"t"))}), false);
  EXPECT_EQ(s.files, 1u);
  EXPECT_EQ(s.skipped, 0u);
  EXPECT_FALSE(Exists(At(L"t")));
  EXPECT_TRUE(ListTree(Root()).empty());
}

TEST_F(Engine, AFileThatCannotBeDeletedKeepsItsAttributesAndTheReasonSaysInUse) {
  ASSERT_TRUE(PlantFile(At(L"t\\held.log"), 1, true));
  ASSERT_TRUE(PlantFile(At(L"t\\free.log"), 2, true));
  uint32_t attrsBefore = 0;
  ASSERT_TRUE(tov::GetAttributes(At(L"t\\held.log"), &attrsBefore));
  ASSERT_TRUE(attrsBefore & tov::kAttrReadOnly);
  Listing before = ListTree(Root());
  for (ItemMode mode : {ItemMode::Files, ItemMode::Dir}) {
    SCOPED_TRACE(ItemModeName(mode));
    HeldOpen hold(At(L"t\\held.log"));
    ASSERT_TRUE(hold.ok());
    ItemStat s = CleanOne(Item("i", mode, {Tg(At(L"t"))}), false);
    EXPECT_EQ(s.skipped, 1u);
    EXPECT_EQ(s.errors,
              (std::vector<std::string>{Err(At(L"t\\held.log"), "删除失败(文件正在使用)")}));
    uint32_t attrsAfter = 0;
    ASSERT_TRUE(tov::GetAttributes(At(L"t\\held.log"), &attrsAfter));
    EXPECT_EQ(attrsAfter, attrsBefore);
  }
  // The free one went in the first pass, read-only as it was; the held one
  // and its folder stay, unchanged.
  ExpectOnlyGone(before, ListTree(Root()), {"t/free.log"});
}

TEST_F(Engine, OddPathsAndNamesNeitherCrashNorEscapeTheTarget) {
  ASSERT_TRUE(PlantFile(At(L"t\\\U0001F600 \u4E2D.log"), 1));  // outside the BMP, and CJK
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\b.log"), 2));
  ASSERT_TRUE(PlantFile(At(L"outside\\c.log"), 4));
  std::string why;
  bool loop = PlantDirLink(At(L"t\\sub\\loop"), At(L"t"), &why);  // its own ancestor
  Listing before = ListTree(Root());
  std::wstring huge = At(L"t") + L"\\" + std::wstring(32000, L'x');
  RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"t")), Tg(huge), Tg(huge + L"\\y.log")});
  ItemStat scan = ScanOne(item);
  EXPECT_EQ(scan.files, 2u);
  EXPECT_EQ(scan.bytes, 3u);
  ItemStat c = CleanOne(item, false);
  EXPECT_EQ(c.files, 2u);
  EXPECT_EQ(c.bytes, 3u);
  std::set<std::string> gone = {W2U(L"t/\U0001F600 \u4E2D.log"), "t/sub/b.log"};
  ExpectOnlyGone(before, ListTree(Root()), gone);
  if (!loop) GTEST_SKIP() << "the loop part needs a link: " << why;
}

// ---- Queries ----------------------------------------------------------------------

TEST_F(Engine, DiskInfoOfDriveC) {
  EnsureDriveC();
  std::string json = DiskInfoJson("C:");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      json, m, std::regex(R"(\{"ok":true,"drive":"C:","total":(\d+),"free":(\d+)\})")))
      << json;
  uint64_t total = std::stoull(m[1].str()), free = std::stoull(m[2].str());
  EXPECT_GT(free, 0u);
  EXPECT_GE(total, free);
  uint64_t avail = 0, t = 0, tf = 0;
  ASSERT_TRUE(tov::DiskFreeSpace(L"C:\\", &avail, &t, &tf));
  EXPECT_EQ(total, t);
  EXPECT_EQ(DiskInfoJson("Q:"), "{\"ok\":false}");
}

TEST_F(Engine, ADriveWithACapacityReportsItLessItsFilesAndACleanFreesWhatItDeletes) {
#ifdef _WIN32
  GTEST_SKIP() << "the capacity file beside the drive folder is the POSIX stand-in's demo drive";
#else
  EnsureDriveC();
  // A large sparse file, so that what other tests write on the same drive
  // meanwhile (a few kilobytes) cannot be mistaken for it.
  const uint64_t kBig = 1ULL << 30;
  ASSERT_TRUE(PlantFile(Join(At(L"big"), L"disc.iso"), kBig));
  uint64_t avail = 0, total = 0, totalFree = 0;
  ASSERT_TRUE(tov::DiskFreeSpace(L"C:", &avail, &total, &totalFree));  // statvfs
  std::filesystem::path capFile = tov::HostPath(L"C:\\").parent_path() / "c.capacity";
  std::filesystem::remove(capFile);
  const uint64_t kCapacity = 1ULL << 40;
  {
    FILE* f = fopen(capFile.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fprintf(f, "%llu\n", static_cast<unsigned long long>(kCapacity));
    fclose(f);
  }
  ASSERT_TRUE(tov::DiskFreeSpace(L"C:", &avail, &total, &totalFree));
  EXPECT_EQ(total, kCapacity);
  EXPECT_EQ(avail, totalFree);
  EXPECT_LE(avail, kCapacity - kBig);  // the sparse file counts by its size
  uint64_t before = avail;
  // Asked again at once: the same figure, without walking the drive again.
  ASSERT_TRUE(tov::DiskFreeSpace(L"C:", &avail, &total, &totalFree));
  EXPECT_EQ(avail, before);
  ItemStat s = CleanOne(Item("i", ItemMode::Files, {Tg(At(L"big"))}), false);
  EXPECT_EQ(s.bytes, kBig) << s.skipped << (s.errors.empty() ? "" : s.errors[0]);
  ASSERT_TRUE(tov::DiskFreeSpace(L"C:", &avail, &total, &totalFree));
  std::filesystem::remove(capFile);
  EXPECT_GE(avail, before + kBig - (1ULL << 20));
  EXPECT_LE(avail, before + kBig + (1ULL << 20));
  std::string json = DiskInfoJson("C:");
  EXPECT_EQ(json.find("\"total\":" + std::to_string(kCapacity)), std::string::npos)
      << "without the file the host's figures come back: " << json;
#endif
}

}  // namespace
