// The items of Windows' own tools: the readers of the tools' documented
// output, and each item's analysis, action, result and record over the
// stand-in's dism.exe and powercfg.exe (native) or over what wine lacks
// (Windows build): a tool missing or failing is reported plainly and
// nothing else changes.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_internal.h"
#include "engine/system_tools.h"
#include "engine/tamsel_engine.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "support/fixture.h"
#include "support/fixture_test.h"

using namespace tamsel;
using namespace testsupport;

namespace {

// ---- Readers of the tools' output ----------------------------------------------------

// The example of "Determine the actual size of the WinSxS folder" (DISM's
// documentation), as dism.exe /English prints it.
const char kDocumentedAnalysis[] =
    "\r\nDeployment Image Servicing and Management tool\r\nVersion: 6.3.9600.16384\r\n\r\n"
    "Image Version: 6.3.9600.16384\r\n\r\n"
    "[===========================99.7%========================= ]\r\n\r\n"
    "Component Store (WinSxS) information:\r\n\r\n"
    "Windows Explorer Reported Size of Component Store : 4.98 GB\r\n\r\n"
    "Actual Size of Component Store : 4.88 GB\r\n\r\n"
    "    Shared with Windows : 2.19 GB\r\n"
    "    Backups and Disabled Features : 2.61 GB\r\n"
    "    Cache and Temporary Data : 72.19 MB\r\n\r\n"
    "Date of Last Cleanup : 2013-08-21 14:15:52\r\n\r\n"
    "Number of Reclaimable Packages : 0\r\n"
    "Component Store Cleanup Recommended : No\r\n\r\n"
    "The operation completed successfully.\r\n";

std::string Utf16(const std::string& ascii, bool bom) {
  std::string out = bom ? "\xff\xfe" : "";
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

TEST(ToolOutput, DecodedOnceFromUtf8OrUtf16) {
  const struct {
    std::string bytes;
    std::string text;
  } kCases[] = {
      {"The operation completed successfully.\r\n", "The operation completed successfully.\r\n"},
      {Utf16("Error: 740\r\n", true), "Error: 740\r\n"},
      {Utf16("Error: 740\r\n", false), "Error: 740\r\n"},
      {std::string("\xff\xfe\x2d\x4e\x87\x65", 6), "中文"},
      {std::string("\xff\xfe\x3d\xd8\x00\xde", 6), "\xf0\x9f\x98\x80"},  // a surrogate pair
      {std::string("\xff\xfe\x00\xd8", 4), "\xef\xbf\xbd"},              // a lone half
      {"\xd6\xd0\xce\xc4 ok", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd ok"},  // GBK bytes
      {"\xe4\xb8\xad", "中"},
      {"", ""},
  };
  for (const auto& c : kCases) EXPECT_EQ(DecodeToolOutput(c.bytes), c.text) << c.text;
}

TEST(ToolOutput, DismSizesInTheirPrintedFormOnly) {
  const struct {
    const char* text;
    bool ok;
    uint64_t bytes;
  } kCases[] = {
      {"2.61 GB", true, 2802466161ull},
      {"72.19 MB", true, 75696701ull},
      {"0 bytes", true, 0},
      {"512 bytes", true, 512},
      {" 1.00 KB ", true, 1024},
      {"1 TB", true, 1099511627776ull},
      {"2,61 GB", false, 0},
      {"2.61 Go", false, 0},
      {"GB", false, 0},
      {"", false, 0},
      {"-1 GB", false, 0},
      {"1.2.3 GB", false, 0},
      {"99999999999 TB", false, 0},
      {"2.61GB", false, 0},
  };
  for (const auto& c : kCases) {
    uint64_t b = 7;
    EXPECT_EQ(ParseDismSize(c.text, &b), c.ok) << c.text;
    if (c.ok) {
      EXPECT_NEAR(static_cast<double>(b), static_cast<double>(c.bytes), 1.0) << c.text;
    }
  }
}

TEST(ToolOutput, ComponentStoreReportReadsTheDocumentedFiguresAndNothingElse) {
  ComponentStoreReport doc = ParseComponentStoreReport(kDocumentedAnalysis);
  EXPECT_TRUE(doc.backupsKnown);
  EXPECT_NEAR(static_cast<double>(doc.backups), 2.61 * 1024 * 1024 * 1024, 1.0);
  EXPECT_TRUE(doc.cacheKnown);
  EXPECT_NEAR(static_cast<double>(doc.cache), 72.19 * 1024 * 1024, 1.0);
  EXPECT_EQ(doc.packages, 0);
  EXPECT_EQ(doc.recommended, 0);

  std::string yes = kDocumentedAnalysis;
  yes.replace(yes.find("Packages : 0"), 12, "Packages : 12");
  yes.replace(yes.find("Recommended : No"), 16, "Recommended : Yes");
  ComponentStoreReport r = ParseComponentStoreReport(yes);
  EXPECT_EQ(r.packages, 12);
  EXPECT_EQ(r.recommended, 1);

  // Another language, another form, no output: every figure unknown, none 0.
  for (const char* other : {"组件存储(WinSxS)信息：\r\n备份和已禁用的功能 : 1.62 GB\r\n",
                            "Backups and Disabled Features = 1.62 GB\r\n"
                            "Number of Reclaimable Packages : many\r\n"
                            "Component Store Cleanup Recommended : Maybe\r\n",
                            ""}) {
    ComponentStoreReport u = ParseComponentStoreReport(other);
    EXPECT_FALSE(u.backupsKnown) << other;
    EXPECT_FALSE(u.cacheKnown) << other;
    EXPECT_EQ(u.packages, -1) << other;
    EXPECT_EQ(u.recommended, -1) << other;
  }
}

TEST(ToolOutput, DismPercentIsTheLastOfItsBar) {
  const struct {
    const char* text;
    int tenths;
  } kCases[] = {
      {"[==                         10.0%                          ]", 100},
      {"[==  10.0%  ]\r[=====  45.3%  ]", 453},
      {"[==========================100.0%==========================]", 1000},
      {"[===========================99.7%========================= ]\r\n\r\nDone", 997},
      {"[=== 7% ]", 70},
      {"Number of Reclaimable Packages : 0", -1},
      {"[ 1234.5% ]", -1},
      {"[ .5% ]", -1},
      {"", -1},
  };
  for (const auto& c : kCases) EXPECT_EQ(DismPercentTenths(c.text), c.tenths) << c.text;
}

TEST(ToolOutput, TheLineThatSaysWhatWentWrong) {
  const struct {
    std::string text;
    std::string line;
  } kCases[] = {
      {"\r\nDeployment Image Servicing and Management tool\r\nVersion: 10.0\r\n\r\n"
       "Error: 740\r\n\r\nElevated permissions are required to run DISM.\r\nUse an elevated "
       "command prompt to complete these tasks.\r\n",
       "Error: 740 Elevated permissions are required to run DISM."},
      {"\r\n  An unexpected error condition has occurred.  \r\nmore\r\n",
       "An unexpected error condition has occurred."},
      {"Error: 0x800f0806\r\n", "Error: 0x800f0806"},
      {"\r\n\r\n", ""},
      {std::string(400, 'x'), std::string(300, 'x') + "…"},
  };
  for (const auto& c : kCases) EXPECT_EQ(ToolOutputLine(c.text), c.line) << c.text;
}

// ---- The items over the platform's tools ----------------------------------------------

RuleItem ToolItem(const char* id, SystemTool tool) {
  RuleItem item = MkItem(id, id, Risk::Medium, ItemMode::SystemTool, false, "");
  item.allowDetails = false;
  item.tool = tool;
  item.toolTime = "几秒钟";
  return item;
}

Category Cat(std::vector<RuleItem> items) {
  Category c;
  c.id = "c";
  c.name = "c";
  c.items = std::move(items);
  return c;
}

struct Touch {
  std::string item;
  TouchKind kind;
  uint64_t bytes;
  std::string path, reason;
};

class SystemTools : public FixtureTest {
 protected:
  void SetUp() override {
    EnsureDriveC();
    opt_.toolDir = At(L"state");
    ASSERT_TRUE(MakeDir(opt_.toolDir));
    opt_.touched = [this](const std::string& item, TouchKind kind, uint64_t bytes,
                          const std::wstring& path, const std::wstring& reason) {
      touches_.push_back({item, kind, bytes, W2U(path), W2U(reason)});
    };
  }
  void TearDown() override {
    SetAdminTest(nullptr);
    FixtureTest::TearDown();
  }
  ItemStat Scan(const RuleItem& item) {
    ResultList out;
    ScanItems({Cat({item})}, {item.id}, out, opt_);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? ItemStat() : out[0].second;
  }
  ItemStat Clean(const RuleItem& item, bool dryRun) {
    ResultList out;
    CleanItems({Cat({item})}, {item.id}, dryRun, out, opt_);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? ItemStat() : out[0].second;
  }
  TaskOptions opt_;
  std::vector<Touch> touches_;
};

const RuleItem kStore = ToolItem("store", SystemTool::ComponentStore);
const RuleItem kHiber = ToolItem("hiber", SystemTool::ReducedHibernation);
const RuleItem kPoints = ToolItem("restore-points", SystemTool::RestorePoints);
const RuleItem kDrivers = ToolItem("old-drivers", SystemTool::DriverPackages);

bool NotAdmin() {
  return false;
}

// Without administrator rights nothing is started: the item says so, no
// output file is made, nothing on the drive changes, and a real clean
// records the refusal.
TEST_F(SystemTools, NothingStartsWithoutAdministratorRights) {
  SetAdminTest(NotAdmin);
  const std::wstring watched[] = {Root(), ExpandEnvW(L"%SystemRoot%\\WinSxS"),
                                  ExpandEnvW(L"%SystemRoot%\\INF"),
                                  L"C:\\System Volume Information"};
  std::vector<Listing> before;
  for (const std::wstring& w : watched) before.push_back(ListTree(w));
  const std::string kNeeds = "需要管理员权限：请点「以管理员身份重启」后再试，没有运行任何程序";
  for (const RuleItem* item : {&kStore, &kHiber, &kPoints, &kDrivers}) {
    ItemStat scan = Scan(*item);
    EXPECT_TRUE(scan.systemTool);
    EXPECT_TRUE(scan.toolEntries.empty());
    EXPECT_TRUE(scan.sizeUnknown);
    EXPECT_EQ(scan.bytes, 0u);
    EXPECT_EQ(scan.toolNote, kNeeds);
    EXPECT_EQ(scan.errors, std::vector<std::string>{kNeeds});
    ItemStat real = Clean(*item, false);
    EXPECT_EQ(real.skipped, 1u);
    EXPECT_EQ(real.bytes, 0u);
    EXPECT_EQ(real.freeBefore, 0u);
    EXPECT_EQ(real.errors, std::vector<std::string>{kNeeds});
  }
  ASSERT_EQ(touches_.size(), 4u);
  for (const Touch& t : touches_) {
    EXPECT_EQ(t.kind, TouchKind::Skipped);
    EXPECT_EQ(t.reason, kNeeds);
  }
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(ListTree(watched[i]), before[i]);
}

#ifdef _WIN32

// Wine has no powercfg.exe and no hibernation file, and its dism.exe ends
// with exit code 0 and no output at all: each item says plainly what it
// met, and nothing on the drive but the clean's own files changes; the
// other items of the clean go on.
TEST_F(SystemTools, UnderWineEachItemSaysPlainlyWhatItsToolDidAndNothingElseChanges) {
  ASSERT_TRUE(PlantFile(At(L"junk\\a.tmp"), 10));
  ASSERT_TRUE(PlantFile(At(L"keep\\b.txt"), 10));
  RuleItem junk = MkItem("junk", "junk", Risk::Low, ItemMode::Files, true, "");
  junk.targets.push_back(T(At(L"junk").c_str(), true, false));
  Listing before = ListTree(Root());
  for (const RuleItem* item : {&kStore, &kHiber}) {
    ItemStat scan = Scan(*item);
    if (item == &kHiber && scan.errors.empty()) {
      // No hibernation file in the prefix: the item does not apply.
      EXPECT_EQ(scan.toolNote, "休眠已关闭，没有休眠文件，此项不适用");
      continue;
    }
    EXPECT_TRUE(scan.sizeUnknown);
    EXPECT_EQ(scan.bytes, 0u);
    const std::string said = scan.errors.empty() ? scan.toolNote : scan.errors[0];
    EXPECT_TRUE(said.rfind("系统里没有 dism.exe", 0) == 0 ||
                said.rfind("dism.exe 失败（退出代码 ", 0) == 0 ||
                said ==
                    "估计：可回收的包 未知，DISM 建议清理：未知；可回收的大小未知（dism.exe "
                    "的输出无法读取，退出代码 0，没有输出）")
        << said;
  }
  ResultList out;
  CleanItems({Cat({junk, kStore})}, {"junk", "store"}, false, out, opt_);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].second.files, 1u);
  // Missing or failing: skipped with its reason; wine's own dism.exe: done
  // by its exit code. Either way C:'s free space around it is said.
  const ItemStat& store = out[1].second;
  const std::string said = store.errors.empty() ? store.toolNote : store.errors[0];
  EXPECT_EQ(store.skipped, store.errors.size());
  EXPECT_NE(said.find("C: 可用空间 约 "), std::string::npos) << said;
  Listing after = ListTree(Root());
  EXPECT_EQ(Gone(before, after), std::set<std::string>{"junk/a.tmp"});
  for (const std::string& s : AddedOrChanged(before, after))
    EXPECT_EQ(s.rfind("state/tool-", 0), 0u) << s;  // the tools' output files only
}

#else

// The stand-in's programs live in its system folder; each test plants the
// ones it needs with the run it wants and removes them again.
class StandInTools : public SystemTools {
 protected:
  void SetUp() override {
    SystemTools::SetUp();
    backup_ = ExpandEnvW(L"%SystemRoot%\\WinSxS\\Backup");
    hiber_ = ExpandEnvW(L"%SystemDrive%\\hiberfil.sys");
    RemoveTree(backup_);
    RemoveTree(hiber_);
  }
  void TearDown() override {
    for (const wchar_t* exe : {L"dism.exe", L"powercfg.exe"}) RemoveTree(Program(exe));
    RemoveTree(backup_);
    RemoveTree(hiber_);
    SystemTools::TearDown();
  }
  static std::wstring Program(const wchar_t* exe) {
    return ExpandEnvW(L"%SystemRoot%\\System32") + L"\\" + exe;
  }
  void Plant(const wchar_t* exe, const char* run) {
    ASSERT_TRUE(MakeDir(Parent(Program(exe))));
    ASSERT_TRUE(tov::WriteWholeFile(Program(exe), run));
  }
  std::wstring backup_, hiber_;
};

constexpr uint64_t kMB = 1024 * 1024;

// Analysis: DISM's reclaimable figure (the stand-in's backups), in both of
// its output encodings; the action deletes what DISM deletes, and its
// result and record are C:'s free space before and after.
TEST_F(StandInTools, ComponentStoreAnalysisActionResultAndRecord) {
  ASSERT_TRUE(PlantFile(backup_ + L"\\a.bin", 3 * kMB));
  ASSERT_TRUE(PlantFile(backup_ + L"\\b.bin", 1 * kMB));
  for (const char* run : {"ok", "utf16", ""}) {
    Plant(L"dism.exe", run);
    ItemStat scan = Scan(kStore);
    EXPECT_TRUE(scan.errors.empty()) << run;
    EXPECT_FALSE(scan.sizeUnknown) << run;
    EXPECT_NEAR(static_cast<double>(scan.bytes), 4.0 * kMB, 0.01 * kMB) << run;
    EXPECT_EQ(
        scan.toolNote,
        "估计：可回收的包 2 个，DISM 建议清理：是；备份和已禁用的功能 约 4.0 MB，缓存和临时数据 "
        "约 0 B")
        << run;
  }
  std::string out;
  ASSERT_TRUE(tov::ReadWholeFile(At(L"state\\tool-store.txt"), &out));
  EXPECT_NE(DecodeToolOutput(out).find("Number of Reclaimable Packages : 2"), std::string::npos);

  Listing before = ListTree(Root());
  ItemStat dry = Clean(kStore, true);
  EXPECT_TRUE(dry.sizeUnknown);
  EXPECT_EQ(dry.bytes, 0u);
  EXPECT_TRUE(Exists(backup_ + L"\\a.bin"));
  EXPECT_TRUE(touches_.empty());

  ItemStat real = Clean(kStore, false);
  EXPECT_TRUE(real.errors.empty());
  EXPECT_EQ(real.skipped, 0u);
  EXPECT_FALSE(Exists(backup_ + L"\\a.bin"));
  EXPECT_FALSE(Exists(backup_ + L"\\b.bin"));
  EXPECT_GT(real.freeBefore, 0u);
  EXPECT_GT(real.freeAfter, 0u);
  EXPECT_EQ(real.bytes, real.freeAfter > real.freeBefore ? real.freeAfter - real.freeBefore : 0);
  EXPECT_EQ(real.toolNote.rfind("已完成；C: 可用空间 约 ", 0), 0u) << real.toolNote;
  ASSERT_EQ(touches_.size(), 1u);
  EXPECT_EQ(touches_[0].item, "store");
  EXPECT_EQ(touches_[0].kind, TouchKind::Deleted);
  EXPECT_EQ(touches_[0].path.rfind("store（C: 可用空间 约 ", 0), 0u) << touches_[0].path;
  // The mark of a running tool is gone once it ended; only the output file changed.
  EXPECT_FALSE(Exists(At(L"state\\tool-running.txt")));
  Listing after = ListTree(Root());
  EXPECT_TRUE(Gone(before, after).empty());

  // Nothing left to reclaim: DISM says so, and the figure is a known 0.
  ItemStat again = Scan(kStore);
  EXPECT_FALSE(again.sizeUnknown);
  EXPECT_EQ(again.bytes, 0u);
  EXPECT_EQ(again.toolNote.rfind("估计：可回收的包 0 个，DISM 建议清理：否", 0), 0u);
}

// /ResetBase is added only when the clean asks for it: without it the
// stand-in's base versions stay, with it they go.
TEST_F(StandInTools, ResetBaseOnlyWhenAskedFor) {
  Plant(L"dism.exe", "ok");
  ASSERT_TRUE(PlantFile(backup_ + L"\\Base\\base.bin", kMB));
  ASSERT_TRUE(PlantFile(backup_ + L"\\a.bin", kMB));
  EXPECT_TRUE(Clean(kStore, false).errors.empty());
  EXPECT_FALSE(Exists(backup_ + L"\\a.bin"));
  EXPECT_TRUE(Exists(backup_ + L"\\Base\\base.bin"));
  opt_.resetBase = true;
  EXPECT_TRUE(Clean(kStore, false).errors.empty());
  EXPECT_FALSE(Exists(backup_ + L"\\Base\\base.bin"));
  EXPECT_TRUE(Exists(backup_ + L"\\Base"));
}

// A missing tool, a failing one and one that answers in no known form:
// each reported plainly (the exit code, the line that says why), the
// figure unknown, nothing else touched.
TEST_F(StandInTools, MissingFailingAndUnreadableToolsAreReportedPlainly) {
  ASSERT_TRUE(PlantFile(backup_ + L"\\a.bin", kMB));
  ASSERT_TRUE(PlantFile(hiber_, 8 * kMB));
  Listing before = ListTree(Parent(backup_));
  const struct {
    const char* run;  // null: no dism.exe
    std::string error;
  } kCases[] = {
      {nullptr, "系统里没有 dism.exe，没有运行"},
      {"fail",
       "dism.exe 失败（退出代码 0x800F0806）：Error: 0x800f0806 The operation could not be "
       "completed due to pending operations."},
  };
  for (const auto& c : kCases) {
    RemoveTree(Program(L"dism.exe"));
    if (c.run) Plant(L"dism.exe", c.run);
    ItemStat scan = Scan(kStore);
    EXPECT_EQ(scan.errors, std::vector<std::string>{c.error});
    EXPECT_TRUE(scan.sizeUnknown);
    EXPECT_EQ(scan.bytes, 0u);
    ItemStat real = Clean(kStore, false);
    EXPECT_EQ(real.skipped, 1u);
    ASSERT_EQ(real.errors.size(), 1u);
    EXPECT_EQ(real.errors[0].rfind(c.error + "；C: 可用空间 约 ", 0), 0u) << real.errors[0];
    EXPECT_EQ(real.bytes, 0u);
  }
  Plant(L"dism.exe", "garbled");
  ItemStat garbled = Scan(kStore);
  EXPECT_TRUE(garbled.errors.empty());
  EXPECT_TRUE(garbled.sizeUnknown);
  EXPECT_EQ(garbled.bytes, 0u);
  EXPECT_EQ(garbled.toolNote,
            "估计：可回收的包 未知，DISM 建议清理：未知；可回收的大小未知（dism.exe "
            "的输出无法读取，退出代码 0，第一行：??? 42 !!!）");

  Plant(L"powercfg.exe", "fail");
  ItemStat hib = Clean(kHiber, false);
  EXPECT_EQ(hib.errors.size(), 1u);
  EXPECT_EQ(
      hib.errors[0].rfind(
          "powercfg.exe 失败（退出代码 1）：An unexpected error condition has occurred.；", 0),
      0u)
      << hib.errors[0];
  ASSERT_EQ(touches_.size(), 3u);
  for (const Touch& t : touches_) EXPECT_EQ(t.kind, TouchKind::Skipped);
  EXPECT_EQ(ListTree(Parent(backup_)), before);
  tov::FileInfo info;
  ASSERT_TRUE(tov::GetFileInfo(hiber_, &info));
  EXPECT_EQ(info.size, 8 * kMB);
}

// A slow DISM: the scan's own progress line shows the tool and its
// percentage while it runs, and cancelling does not stop it.
TEST_F(StandInTools, ASlowToolShowsItsPercentageAndIsNotStoppedByCancel) {
  ASSERT_TRUE(PlantFile(backup_ + L"\\a.bin", 2 * kMB));
  Plant(L"dism.exe", "slow");
  ASSERT_TRUE(StartScan({Cat({kStore})}, {"store"}, opt_));
  std::set<std::string> lines;
  bool cancelled = false;
  for (int i = 0; i < 400 && !TaskStateNow().finished; ++i) {
    TaskSnapshot s = TaskStateNow();
    if (!s.cur.empty()) lines.insert(s.cur);
    if (s.cur.find("%") != std::string::npos && !cancelled) {
      CancelTask();
      cancelled = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(WaitTask(10000));
  bool percent = false;
  for (const std::string& l : lines)
    if (l.rfind("store：正在运行 dism.exe，不能停止 ", 0) == 0) percent = true;
  EXPECT_TRUE(percent);
  EXPECT_TRUE(lines.count("store：正在运行 dism.exe"));
  ResultList last = TaskResultsNow().lastScan;
  ASSERT_EQ(last.size(), 1u);
  EXPECT_NEAR(static_cast<double>(last[0].second.bytes), 2.0 * kMB, 0.01 * kMB);
  // A new task takes the cancel back, for the walks of the tests after this one.
  ASSERT_TRUE(StartScan({}, {"none"}, opt_));
  ASSERT_TRUE(WaitTask(10000));
}

// The reduced hibernation file: analysis from the file's size, the action
// through powercfg, and no action at all when hibernation is off.
TEST_F(StandInTools, ReducedHibernationAnalysisActionAndNotApplicable) {
  Plant(L"powercfg.exe", "ok");
  ItemStat off = Scan(kHiber);
  EXPECT_EQ(off.toolNote, "休眠已关闭，没有休眠文件，此项不适用");
  EXPECT_EQ(off.bytes, 0u);
  EXPECT_FALSE(off.sizeUnknown);
  ItemStat offClean = Clean(kHiber, false);
  EXPECT_EQ(offClean.toolNote, "休眠已关闭，没有休眠文件，此项不适用");
  EXPECT_TRUE(touches_.empty());
  EXPECT_FALSE(Exists(hiber_));

  ASSERT_TRUE(PlantFile(hiber_, 16 * kMB));
  ItemStat scan = Scan(kHiber);
  EXPECT_EQ(scan.bytes, 8 * kMB);
  EXPECT_EQ(scan.toolNote, "估计：休眠文件现在 约 16.0 MB，精简后约为一半");
  ItemStat real = Clean(kHiber, false);
  EXPECT_TRUE(real.errors.empty());
  tov::FileInfo info;
  ASSERT_TRUE(tov::GetFileInfo(hiber_, &info));
  EXPECT_EQ(info.size, 8 * kMB);
  ASSERT_EQ(touches_.size(), 1u);
  EXPECT_EQ(touches_[0].kind, TouchKind::Deleted);
}

#endif

}  // namespace
