// The user's choices in every walk: files left out one by one (the skip
// list), only files of a certain age, and protected folders and files; and
// the record a real clean writes of what it touched.
//
// Each test plants its own tree under C:\tamsel-t\<Suite>.<Name>; sizes are
// distinct powers of two, so a byte total names exactly the files counted.
// Every clean is checked against a listing of the whole tree before and
// after it.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/tamsel_engine.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "settings/clean_record.h"
#include "settings/history.h"
#include "support/fixture.h"
#include "support/fixture_test.h"
#include "text/json_doc.h"

using namespace tamsel;
using namespace testsupport;

namespace {

const char kProtected[] = "已设为不清理";
// 2020-06-01 00:00:00 UTC as a FILETIME: the "now" of the age tests.
constexpr uint64_t kNow = 132354720000000000ULL;
constexpr uint64_t kSecond = 10000000ULL;

class Choices : public FixtureTest {};

Target Tg(const std::wstring& path, std::vector<std::wstring> include = {}) {
  Target t = T(path.c_str(), true, false);
  for (const std::wstring& p : include) Inc(t, p.c_str());
  return t;
}

RuleItem Item(const char* id, ItemMode mode, std::vector<Target> targets) {
  RuleItem item = MkItem(id, id, Risk::Low, mode, true, "");
  item.targets = std::move(targets);
  return item;
}

std::vector<Category> Cats(const RuleItem& item) {
  Category c;
  c.id = "c";
  c.name = "c";
  c.items = {item};
  return {c};
}

ItemStat Scan(const RuleItem& item, const TaskOptions& opt) {
  ResultList out;
  ScanItems(Cats(item), {item.id}, out, opt);
  EXPECT_EQ(out.size(), 1u);
  return out.empty() ? ItemStat() : out[0].second;
}

ItemStat Clean(const RuleItem& item, bool dryRun, const TaskOptions& opt) {
  ResultList out;
  CleanItems(Cats(item), {item.id}, dryRun, out, opt);
  EXPECT_EQ(out.size(), 1u);
  return out.empty() ? ItemStat() : out[0].second;
}

std::set<std::wstring> Details(const RuleItem& item, const TaskOptions& opt) {
  std::vector<FileHit> hits;
  CollectDetails(item, 5000, hits, opt);
  std::set<std::wstring> out;
  for (const FileHit& h : hits) out.insert(h.path);
  return out;
}

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

// The "time" figure of the record id in a history document, as written.
std::string TimeOf(const std::string& doc, const std::string& id) {
  size_t at = doc.find("\"id\":\"" + id + "\",\"time\":");
  if (at == std::string::npos) return "?";
  at += id.size() + 15;
  return doc.substr(at, doc.find(',', at) - at);
}

// ---- The skip list ------------------------------------------------------------------

TEST_F(Choices, SkippedFilesAreNeitherCountedNorDeletedButStillListed) {
  ASSERT_TRUE(PlantFile(At(L"t\\a.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"t\\b.log"), 2));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\c.log"), 4));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\d.log"), 8));
  ASSERT_TRUE(PlantFile(At(L"single.log"), 16));
  RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"t"), {L"*.log"}), Tg(At(L"single.log"))});
  TaskOptions opt;
  // Compared without regard to case, as Windows names are.
  opt.skip = {tov::LowerAscii(At(L"T\\B.LOG")), tov::LowerAscii(At(L"t\\sub\\c.log")),
              tov::LowerAscii(At(L"single.log"))};

  EXPECT_EQ(Scan(item, TaskOptions()).bytes, 31u);
  ItemStat scan = Scan(item, opt);
  EXPECT_EQ(scan.bytes, 1u + 8u);
  EXPECT_EQ(scan.files, 2u);
  // The file list still shows them, so that they can be taken back.
  EXPECT_EQ(Details(item, opt).size(), 5u);

  Listing before = ListTree(Root());
  ItemStat dry = Clean(item, true, opt);
  EXPECT_EQ(dry.bytes, 9u);
  EXPECT_EQ(dry.files, 2u);
  EXPECT_EQ(dry.skipped, 0u);
  ExpectOnlyGone(before, ListTree(Root()), {});

  ItemStat real = Clean(item, false, opt);
  EXPECT_EQ(real.bytes, 9u);
  EXPECT_EQ(real.files, 2u);
  EXPECT_EQ(real.skipped, 0u);
  EXPECT_TRUE(real.errors.empty());
  ExpectOnlyGone(before, ListTree(Root()), {"t/a.log", "t/sub/d.log"});
}

TEST_F(Choices, ASkippedFileKeepsADirItemsFolderAndItsParents) {
  ASSERT_TRUE(PlantFile(At(L"d\\a.bin"), 1));
  ASSERT_TRUE(PlantFile(At(L"d\\keep\\k.bin"), 2));
  ASSERT_TRUE(PlantFile(At(L"d\\gone\\g.bin"), 4));
  RuleItem item = Item("d", ItemMode::Dir, {Tg(At(L"d"))});
  TaskOptions opt;
  opt.skip = {tov::LowerAscii(At(L"d\\keep\\k.bin"))};
  Listing before = ListTree(Root());
  ItemStat dry = Clean(item, true, opt);
  EXPECT_EQ(dry.bytes, 5u);
  ItemStat real = Clean(item, false, opt);
  EXPECT_EQ(real.bytes, 5u);
  EXPECT_EQ(real.files, 2u);
  ExpectOnlyGone(before, ListTree(Root()), {"d/a.bin", "d/gone", "d/gone/g.bin"});
}

// ---- The age filter -------------------------------------------------------------------

TEST_F(Choices, AgeFilterTakesAFileExactlyNDaysOldAndLeavesOneASecondYounger) {
  const uint64_t cutoff = AgeCutoff(kNow, 7);
  ASSERT_EQ(cutoff, kNow - 7 * kFileTimeDay);
  ASSERT_TRUE(PlantFile(At(L"t\\exactly.log"), 1, false, cutoff));
  ASSERT_TRUE(PlantFile(At(L"t\\younger.log"), 2, false, cutoff + kSecond));
  ASSERT_TRUE(PlantFile(At(L"t\\older.log"), 4, false, cutoff - 30 * kFileTimeDay));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\new.log"), 8, false, kNow));
  ASSERT_TRUE(PlantFile(At(L"one.log"), 16, false, cutoff + kSecond));
  RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"t"), {L"*.log"}), Tg(At(L"one.log"))});
  TaskOptions opt;
  opt.cutoff = cutoff;

  ItemStat scan = Scan(item, opt);
  EXPECT_EQ(scan.bytes, 5u);
  EXPECT_EQ(scan.files, 2u);
  EXPECT_EQ(Details(item, opt),
            (std::set<std::wstring>{At(L"t\\exactly.log"), At(L"t\\older.log")}));

  Listing before = ListTree(Root());
  ItemStat dry = Clean(item, true, opt);
  EXPECT_EQ(dry.bytes, 5u);
  EXPECT_EQ(dry.skipped, 0u);
  ExpectOnlyGone(before, ListTree(Root()), {});
  ItemStat real = Clean(item, false, opt);
  EXPECT_EQ(real.bytes, 5u);
  EXPECT_EQ(real.files, 2u);
  ExpectOnlyGone(before, ListTree(Root()), {"t/exactly.log", "t/older.log"});
}

TEST_F(Choices, AgeFilterLeavesDirAndMeasureItemsWhole) {
  const uint64_t cutoff = AgeCutoff(kNow, 30);
  ASSERT_TRUE(PlantFile(At(L"d\\new.bin"), 1, false, kNow));
  ASSERT_TRUE(PlantFile(At(L"d\\old.bin"), 2, false, cutoff - kSecond));
  ASSERT_TRUE(PlantFile(At(L"m\\new.bin"), 4, false, kNow));
  TaskOptions opt;
  opt.cutoff = cutoff;
  RuleItem measure = Item("m", ItemMode::Measure, {Tg(At(L"m"))});
  EXPECT_EQ(Scan(measure, opt).bytes, 4u);
  RuleItem dir = Item("d", ItemMode::Dir, {Tg(At(L"d"))});
  EXPECT_EQ(Scan(dir, opt).bytes, 3u);
  Listing before = ListTree(Root());
  EXPECT_EQ(Clean(dir, true, opt).bytes, 3u);
  ItemStat real = Clean(dir, false, opt);
  EXPECT_EQ(real.bytes, 3u);
  ExpectOnlyGone(before, ListTree(Root()), {"d", "d/new.bin", "d/old.bin"});
}

TEST(AgeCutoff, ZeroDaysTakesEveryFile) {
  EXPECT_EQ(AgeCutoff(kNow, 0), 0u);
  EXPECT_EQ(AgeCutoff(kNow, 1), kNow - kFileTimeDay);
  EXPECT_EQ(AgeCutoff(kNow, 3650), kNow - 3650 * kFileTimeDay);
}

// ---- Protected paths ---------------------------------------------------------------

TEST_F(Choices, AProtectedFolderAndFileAreLeftOutOfScanDetailsDryRunAndClean) {
  ASSERT_TRUE(PlantFile(At(L"t\\a.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"t\\keep\\b.log"), 2));
  ASSERT_TRUE(PlantFile(At(L"t\\keep\\deep\\c.log"), 4));
  ASSERT_TRUE(PlantFile(At(L"t\\keepsake.log"), 8));  // a name that only begins alike
  ASSERT_TRUE(PlantFile(At(L"t\\mine.log"), 16));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\e.log"), 32));
  RuleItem item = Item("i", ItemMode::Files, {Tg(At(L"t"), {L"*.log"})});
  TaskOptions opt;
  opt.protect = {At(L"T\\KEEP\\"), At(L"t\\Mine.log")};

  ItemStat scan = Scan(item, opt);
  EXPECT_EQ(scan.bytes, 1u + 8u + 32u);
  EXPECT_EQ(scan.files, 3u);
  EXPECT_EQ(Details(item, opt), (std::set<std::wstring>{At(L"t\\a.log"), At(L"t\\keepsake.log"),
                                                        At(L"t\\sub\\e.log")}));

  Listing before = ListTree(Root());
  ItemStat dry = Clean(item, true, opt);
  EXPECT_EQ(dry.bytes, 41u);
  EXPECT_EQ(dry.files, 3u);
  EXPECT_EQ(dry.skipped, 2u);
  std::set<std::string> errors(dry.errors.begin(), dry.errors.end());
  EXPECT_EQ(errors, (std::set<std::string>{Err(At(L"t\\keep"), kProtected),
                                           Err(At(L"t\\mine.log"), kProtected)}));
  ExpectOnlyGone(before, ListTree(Root()), {});

  ItemStat real = Clean(item, false, opt);
  EXPECT_EQ(real.bytes, 41u);
  EXPECT_EQ(real.files, 3u);
  EXPECT_EQ(real.skipped, 2u);
  EXPECT_EQ(std::set<std::string>(real.errors.begin(), real.errors.end()), errors);
  ExpectOnlyGone(before, ListTree(Root()), {"t/a.log", "t/keepsake.log", "t/sub/e.log"});
}

TEST_F(Choices, AProtectedTargetIsRefusedWholeAndAProtectedFolderKeepsADirItem) {
  ASSERT_TRUE(PlantFile(At(L"t\\a.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"d\\x.bin"), 2));
  ASSERT_TRUE(PlantFile(At(L"d\\kept\\y.bin"), 4));
  ASSERT_TRUE(PlantFile(At(L"d\\kept.txt"), 8));
  TaskOptions opt;
  opt.protect = {Root() + L"\\t", At(L"d\\kept"), At(L"d\\kept.txt")};

  RuleItem files = Item("f", ItemMode::Files, {Tg(At(L"t"))});
  EXPECT_EQ(Scan(files, opt).files, 0u);
  RuleItem dir = Item("d", ItemMode::Dir, {Tg(At(L"d"))});
  EXPECT_EQ(Scan(dir, opt).bytes, 2u);

  Listing before = ListTree(Root());
  ItemStat dryFiles = Clean(files, true, opt);
  EXPECT_EQ(dryFiles.files, 0u);
  EXPECT_EQ(dryFiles.errors, std::vector<std::string>{Err(At(L"t"), kProtected)});
  ItemStat dryDir = Clean(dir, true, opt);
  EXPECT_EQ(dryDir.bytes, 2u);
  EXPECT_EQ(dryDir.skipped, 2u);
  ExpectOnlyGone(before, ListTree(Root()), {});

  ItemStat realFiles = Clean(files, false, opt);
  EXPECT_EQ(realFiles.skipped, 1u);
  ItemStat realDir = Clean(dir, false, opt);
  EXPECT_EQ(realDir.bytes, 2u);
  EXPECT_EQ(realDir.skipped, 2u);
  std::set<std::string> errors(realDir.errors.begin(), realDir.errors.end());
  EXPECT_EQ(errors, (std::set<std::string>{Err(At(L"d\\kept"), kProtected),
                                           Err(At(L"d\\kept.txt"), kProtected)}));
  ExpectOnlyGone(before, ListTree(Root()), {"d/x.bin"});
}

TEST(ProtectedPath, MatchesThePathAndWhatLiesInsideWithoutRegardToCase) {
  SafetyContext ctx;
  ctx.protect = FoldProtectedPaths({L"C:\\Keep\\", L"C:\\a\\file.txt"});
  EXPECT_TRUE(IsProtectedPath(ctx, L"C:\\keep"));
  EXPECT_TRUE(IsProtectedPath(ctx, L"c:\\KEEP\\x\\y"));
  EXPECT_TRUE(IsProtectedPath(ctx, L"C:\\Keep\\"));
  EXPECT_FALSE(IsProtectedPath(ctx, L"C:\\Keeper"));
  EXPECT_FALSE(IsProtectedPath(ctx, L"C:\\Kee"));
  EXPECT_TRUE(IsProtectedPath(ctx, L"C:\\A\\FILE.TXT"));
  EXPECT_FALSE(IsProtectedPath(ctx, L"C:\\a\\file.txt.bak"));
  std::wstring reason = L"unchanged";
  EXPECT_FALSE(IsSafeDeletePath(ctx, L"C:\\keep\\x", false, reason));
  EXPECT_EQ(W2U(reason), kProtected);
}

// ---- The record of a clean -------------------------------------------------------------

struct Touch {
  std::string item;
  bool deleted;
  uint64_t bytes;
  std::wstring path;
};

// A real clean through the record the program writes; the record's lines.
tov::JsonValue CleanWithRecord(const std::vector<Category>& cats,
                               const std::vector<std::string>& ids, const std::wstring& dir,
                               TaskOptions opt, ResultList* out) {
  HistoryWriter w;
  EXPECT_TRUE(BeginRecord(dir, tov::NowFileTime(), ids, &w));
  opt.touched = [&w](const std::string& item, TouchKind kind, uint64_t bytes,
                     const std::wstring& path, const std::wstring& reason) {
    RecordLine(w, RecordKindOf(kind), item, bytes, path, reason);
  };
  CleanItems(cats, ids, false, *out, opt);
  uint64_t bytes = 0, files = 0, skipped = 0;
  for (const auto& kv : *out) {
    bytes += kv.second.bytes;
    files += kv.second.files;
    skipped += kv.second.skipped;
  }
  EXPECT_TRUE(EndRecord(w, bytes, files, skipped));
  tov::JsonValue doc;
  EXPECT_TRUE(tov::ParseJson(HistoryRecordJson(dir, w.id, 0, kMaxHistoryPage, ""), &doc));
  return doc;
}

TEST_F(Choices, TheRecordsLinesAreExactlyTheDeletedSetAndTheRefusals) {
  ASSERT_TRUE(PlantFile(At(L"t\\a.log"), 1));
  ASSERT_TRUE(PlantFile(At(L"t\\sub\\b.log"), 2));
  ASSERT_TRUE(PlantFile(At(L"t\\keep\\c.log"), 4));
  ASSERT_TRUE(PlantFile(At(L"t\\skip.log"), 8));
  ASSERT_TRUE(PlantFile(At(L"d\\x.bin"), 16));
  ASSERT_TRUE(PlantFile(At(L"d\\y\\z.bin"), 32));
  Category c;
  c.id = "c";
  c.items = {Item("f", ItemMode::Files, {Tg(At(L"t"), {L"*.log"})}),
             Item("d", ItemMode::Dir, {Tg(At(L"d"))})};
  TaskOptions opt;
  opt.protect = {At(L"t\\keep")};
  opt.skip = {tov::LowerAscii(At(L"t\\skip.log"))};
  std::wstring history = At(L"history");
  Listing before = ListTree(Root());
  ResultList out;
  tov::JsonValue doc = CleanWithRecord({c}, {"f", "d"}, history, opt, &out);
  Listing after = ListTree(Root());
  std::set<std::string> gone = Gone(before, after);
  EXPECT_EQ(gone,
            (std::set<std::string>{"t/a.log", "t/sub/b.log", "d", "d/x.bin", "d/y", "d/y/z.bin"}));

  const tov::JsonValue* lines = tov::JsonMemberOf(doc, "lines");
  ASSERT_NE(lines, nullptr);
  std::set<std::string> deleted, skipped;
  std::string prefix = W2U(Root()) + "\\";
  for (const tov::JsonValue& l : lines->items) {
    std::string path = tov::JsonMemberOf(l, "path")->text;
    ASSERT_EQ(path.compare(0, prefix.size(), prefix), 0) << path;
    std::string rel = path.substr(prefix.size());
    for (char& ch : rel)
      if (ch == '\\') ch = '/';
    (tov::JsonMemberOf(l, "kind")->text == "deleted" ? deleted : skipped).insert(rel);
  }
  EXPECT_EQ(deleted, gone);
  EXPECT_EQ(skipped, std::set<std::string>{"t/keep"});
  int64_t bytes = 0, files = 0, skips = 0;
  ASSERT_TRUE(tov::JsonIntIn(*tov::JsonMemberOf(doc, "bytes"), 0, 1 << 20, &bytes));
  ASSERT_TRUE(tov::JsonIntIn(*tov::JsonMemberOf(doc, "files"), 0, 1 << 20, &files));
  ASSERT_TRUE(tov::JsonIntIn(*tov::JsonMemberOf(doc, "skipped"), 0, 1 << 20, &skips));
  EXPECT_EQ(bytes, 1 + 2 + 16 + 32);
  EXPECT_EQ(files, 4);
  EXPECT_EQ(skips, 1);
  EXPECT_EQ(tov::JsonMemberOf(doc, "complete")->flag, true);
}

TEST_F(Choices, RetentionDropsTheOldestRecordsBeyondTheCountAndTheSize) {
  std::wstring dir = At(L"history");
  ASSERT_TRUE(MakeDir(dir));
  // 102 small records, a day apart, the oldest first.
  std::vector<std::string> ids;
  for (int i = 0; i < 102; ++i) {
    char id[32];
    snprintf(id, sizeof id, "2025%02d%02d-101500", 1 + i / 28, 1 + i % 28);
    ids.push_back(id);
    ASSERT_TRUE(PlantFile(Join(dir, U2W(ids.back()) + L".tsv"), 10));
  }
  PruneHistory(dir, "");
  for (int i = 0; i < 102; ++i)
    EXPECT_EQ(Exists(Join(dir, U2W(ids[i]) + L".tsv")), i >= 2) << ids[i];

  // A large new record pushes the older ones past the size limit; it stays
  // itself even though it is larger than the limit alone.
  ASSERT_TRUE(PlantFile(Join(dir, L"20260101-000000.tsv"), kMaxHistoryBytes - 50));
  ASSERT_TRUE(PlantFile(Join(dir, L"20260101-000000-2.tsv"), 1));
  PruneHistory(dir, "20260101-000000-2");
  EXPECT_TRUE(Exists(Join(dir, L"20260101-000000-2.tsv")));
  EXPECT_TRUE(Exists(Join(dir, L"20260101-000000.tsv")));
  int left = 0;
  for (const std::string& id : ids) left += Exists(Join(dir, U2W(id) + L".tsv")) ? 1 : 0;
  // 50 MB - 50 + 1 bytes leave room for four of the 10-byte records, the newest.
  EXPECT_EQ(left, 4);
  EXPECT_TRUE(Exists(Join(dir, U2W(ids.back()) + L".tsv")));
  EXPECT_FALSE(Exists(Join(dir, U2W(ids[ids.size() - 5]) + L".tsv")));
}

TEST_F(Choices, AnUnwritableHistoryFolderGivesNoRecordAndNoCrash) {
  std::wstring notAFolder = At(L"history");
  ASSERT_TRUE(PlantFile(notAFolder, 1));
  HistoryWriter w;
  EXPECT_FALSE(BeginRecord(notAFolder, tov::NowFileTime(), {"x"}, &w));
  RecordLine(w, "deleted", "x", 1, L"C:\\x", L"");
  EXPECT_FALSE(EndRecord(w, 1, 1, 0));
}

// The entries of the tree below Root() whose record lines say they were
// deleted, as ListTree names them.
std::set<std::string> RecordedDeletions(const std::wstring& history, const std::wstring& root) {
  std::set<std::string> out;
  std::string prefix = W2U(root) + "\\";
  tov::ListDir(history, [&](const tov::DirEntry& e) {
    std::string text;
    EXPECT_TRUE(tov::ReadWholeFile(Join(history, e.name), &text));
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      std::string line = text.substr(at, end - at);
      if (line.compare(0, 8, "deleted\t") != 0) continue;
      std::string path = line.substr(line.find('\t', line.find('\t', 8) + 1) + 1);
      path = path.substr(0, path.find('\t'));
      if (path.compare(0, prefix.size(), prefix) != 0) continue;
      std::string rel = path.substr(prefix.size());
      for (char& ch : rel)
        if (ch == '\\') ch = '/';
      out.insert(rel);
    }
    return true;
  });
  return out;
}

TEST_F(Choices, ACleanWhoseRecordCannotBeBegunDeletesNothing) {
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(PlantFile(At(L"t\\f" + std::to_wstring(i) + L".log"), 1u << i));
  // A file where the record's folder should be.
  std::wstring notAFolder = At(L"history");
  ASSERT_TRUE(PlantFile(notAFolder, 1));
  RuleItem item = Item("f", ItemMode::Files, {Tg(At(L"t"))});
  Listing before = ListTree(Root());
  TaskOptions opt;
  RecordCleanIn(notAFolder, &opt, {"f"});
  std::string refused;
  EXPECT_FALSE(StartClean(Cats(item), {"f"}, false, false, opt, &refused));
  EXPECT_EQ(refused, kRecordNotBegun);
  EXPECT_FALSE(TaskStateNow().busy);
  ExpectOnlyGone(before, ListTree(Root()), {});
  // The refused clean let the machine's clean go again.
  ASSERT_TRUE(tov::TryHoldMachineClean());
  tov::ReleaseMachineClean();
}

TEST_F(Choices, ARecordThatCanNoLongerBeWrittenStopsTheCleanAtOnce) {
#ifdef _WIN32
  GTEST_SKIP() << "a record write that fails half way is made with a file size limit "
                  "(RLIMIT_FSIZE), which Windows does not have";
#endif
  constexpr int kFiles = 60;
  for (int i = 0; i < kFiles; ++i)
    ASSERT_TRUE(PlantFile(At(L"t\\f" + std::to_wstring(i) + L".log"), 1));
  std::wstring history = At(L"history");
  ASSERT_TRUE(MakeDir(history));
  RuleItem item = Item("f", ItemMode::Files, {Tg(At(L"t"))});
  Listing before = ListTree(Root());
  TaskOptions opt;
  RecordCleanIn(history, &opt, {"f"});
  // Room for the record's first line and a few lines more: then the disk is
  // as good as full.
  ASSERT_TRUE(LimitFileSizes(700));
  bool started = StartClean(Cats(item), {"f"}, false, false, opt);
  bool ended = started && WaitTask(60000);
  ASSERT_TRUE(LimitFileSizes(0));
  ASSERT_TRUE(started);
  ASSERT_TRUE(ended);
  EXPECT_EQ(TaskResultsNow().note, kRecordStopped);
  EXPECT_TRUE(TaskStateNow().cancelled);
  // Every file the record names is gone, and besides them at most the one
  // whose line could not be written; all the others stay.
  std::set<std::string> gone = Gone(before, ListTree(Root()));
  std::set<std::string> recorded = RecordedDeletions(history, Root());
  EXPECT_FALSE(recorded.empty());
  for (const std::string& r : recorded) EXPECT_TRUE(gone.count(r)) << r;
  EXPECT_LE(gone.size(), recorded.size() + 1);
  EXPECT_LT(gone.size(), static_cast<size_t>(kFiles / 2));
  ASSERT_EQ(TaskResultsNow().last.size(), 1u);
  EXPECT_EQ(TaskResultsNow().last[0].second.files, gone.size());
  // The history says the record is incomplete.
  tov::JsonValue list;
  ASSERT_TRUE(tov::ParseJson(HistoryListJson(history), &list));
  const tov::JsonValue* records = tov::JsonMemberOf(list, "records");
  ASSERT_TRUE(records && records->items.size() == 1u);
  const tov::JsonValue* complete = tov::JsonMemberOf(records->items[0], "complete");
  ASSERT_NE(complete, nullptr);
  EXPECT_FALSE(complete->flag);
}

TEST_F(Choices, TheHistoryMarksEachRecordCompleteOrNot) {
  std::wstring history = At(L"history");
  HistoryWriter ended, open;
  ASSERT_TRUE(BeginRecord(history, tov::NowFileTime(), {"a"}, &ended));
  RecordLine(ended, "deleted", "a", 4, L"C:\\x", L"");
  ASSERT_TRUE(EndRecord(ended, 4, 1, 0));
  // A record never ended: the program was killed, or a write failed.
  ASSERT_TRUE(BeginRecord(history, tov::NowFileTime(), {"b"}, &open));
  RecordLine(open, "deleted", "b", 8, L"C:\\y", L"");
  tov::CloseFile(open.file);
  std::string doc = HistoryListJson(history);
  EXPECT_EQ(doc, "{\"ok\":true,\"records\":[{\"id\":\"" + open.id +
                     "\",\"time\":" + TimeOf(doc, open.id) +
                     ",\"items\":[\"b\"],\"bytes\":8,\"files\":1,"
                     "\"skipped\":0,\"complete\":false},{\"id\":\"" +
                     ended.id + "\",\"time\":" + TimeOf(doc, ended.id) +
                     ",\"items\":[\"a\"],\"bytes\":4,\"files\":1,"
                     "\"skipped\":0,\"complete\":true}]}");
}

TEST(RecordId, OnlyTheNamesTheProgramMakes) {
  EXPECT_TRUE(IsRecordId("20261209-101500"));
  EXPECT_TRUE(IsRecordId("20261209-101500-12"));
  EXPECT_FALSE(IsRecordId("20261209-101500-"));
  EXPECT_FALSE(IsRecordId("..\\settings"));
  EXPECT_FALSE(IsRecordId("20261209_101500"));
  EXPECT_FALSE(IsRecordId("2026120-1015000"));
  EXPECT_TRUE(RecordPath(L"C:\\h", "../x").empty());
}

}  // namespace
