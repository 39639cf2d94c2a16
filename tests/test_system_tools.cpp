// The items of Windows' own tools: the readers of the tools' documented
// output, and each item's analysis, action, result and record over the
// stand-in's dism.exe and powercfg.exe (native) or over what wine lacks
// (Windows build): a tool missing or failing is reported plainly and
// nothing else changes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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
#include "support/system_tool_fixture.h"

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

// dism.exe /Online /Get-ReservedStorageState /English, as its documentation
// words the two states.
TEST(ToolOutput, ReservedStorageStateInItsDocumentedWordsOnly) {
  const std::string head =
      "\r\nDeployment Image Servicing and Management tool\r\nVersion: 10.0.19041.3636\r\n\r\n"
      "Image Version: 10.0.19045.3803\r\n\r\n";
  const std::string done = "\r\nThe operation completed successfully.\r\n";
  const struct {
    std::string text;
    int state;
  } kCases[] = {
      {head + "Reserved storage is enabled.\r\n" + done, 1},
      {head + "Reserved storage is disabled.\r\n" + done, 0},
      {head + "  Reserved storage is disabled  \r\n", 0},
      {"Reserved storage is enabled", 1},
      {head + "保留的存储已启用。\r\n" + done, -1},
      {head + "Reserved storage is maybe.\r\n" + done, -1},
      {head + "The reserved storage is enabled on drive D.\r\n", -1},
      {head + done, -1},
      {"??? 42 !!!\r\nno figures here\r\n", -1},
      {"", -1},
  };
  for (const auto& c : kCases) EXPECT_EQ(ParseReservedStorageState(c.text), c.state) << c.text;
}

// Windows refuses to change the reserved storage while it services itself,
// in the words its documentation gives; other failures are not that.
TEST(ToolOutput, ReservedStorageInUseIsTheDocumentedRefusalOnly) {
  EXPECT_TRUE(ReservedStorageInUse(
      "\r\nError: 0x80004005\r\n\r\nThis operation is not supported when reserved storage is "
      "in use. Please wait for any servicing operations to complete and then try again "
      "later.\r\n"));
  EXPECT_TRUE(
      ReservedStorageInUse("THIS OPERATION IS NOT SUPPORTED WHEN RESERVED STORAGE IS IN USE."));
  EXPECT_FALSE(ReservedStorageInUse(
      "Error: 0x800f0806\r\n\r\nThe operation could not be completed due to pending "
      "operations.\r\n"));
  EXPECT_FALSE(ReservedStorageInUse("Error: 87\r\n\r\nThe option is unknown.\r\n"));
  EXPECT_FALSE(ReservedStorageInUse(""));
}

// The reserved storage's commands came with Windows 10, version 2004.
TEST(ToolOutput, ReservedStorageCommandsFromWindows10Version2004On) {
  const struct {
    uint32_t major, minor, build;
    bool has;
  } kCases[] = {
      {6, 1, 7601, false},   {6, 3, 9600, false},  {10, 0, 18362, false},
      {10, 0, 18363, false}, {10, 0, 19041, true}, {10, 0, 19045, true},
      {10, 0, 22631, true},  {10, 0, 26100, true}, {11, 0, 0, true},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(HasReservedStorageCommands(c.major, c.minor, c.build), c.has) << c.build;
}

// ---- The items over the platform's tools ----------------------------------------------

class SystemTools : public SystemToolTest {};

const RuleItem kStore = ToolItem("store", SystemTool::ComponentStore);
const RuleItem kHiber = ToolItem("hiber", SystemTool::ReducedHibernation);
const RuleItem kReserved = ToolItem("reserved", SystemTool::ReservedStorage);
const RuleItem kCompact = ToolItem("compact", SystemTool::CompactOs);
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
  for (const RuleItem* item : {&kStore, &kHiber, &kReserved, &kCompact, &kPoints, &kDrivers}) {
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
  ASSERT_EQ(touches_.size(), 6u);
  for (const Touch& t : touches_) {
    EXPECT_EQ(t.kind, TouchKind::Skipped);
    EXPECT_EQ(t.reason, kNeeds);
  }
  // Nor does the settings' way back start anything.
  for (const RuleItem* item : {&kReserved, &kCompact}) {
    std::string refused;
    EXPECT_FALSE(StartSystemToolUndo(*item, opt_, &refused));
    EXPECT_EQ(refused, kNeeds);
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
  // Wine's Windows is older than 10 2004 unless the prefix says otherwise;
  // its dism.exe says nothing, and whether ntoskrnl.exe is WOF-backed it may
  // not tell: each said plainly.
  ItemStat reserved = Scan(kReserved);
  EXPECT_TRUE(reserved.toolNote.rfind("此项不适用：保留的存储只有 Windows 10 2004", 0) == 0 ||
              reserved.toolNote.rfind("保留的存储是否打开未知（dism.exe 的输出无法读取", 0) == 0 ||
              reserved.toolNote.rfind("系统里没有 dism.exe", 0) == 0 ||
              reserved.toolNote.rfind("dism.exe 失败（退出代码 ", 0) == 0)
      << reserved.toolNote;
  EXPECT_EQ(reserved.bytes, 0u);
  ItemStat compact = Scan(kCompact);
  EXPECT_TRUE(
      compact.toolNote == "估计：压缩系统文件通常可省出 2–4 GB，实际多少要压缩后才知道" ||
      compact.toolNote ==
          "无法确定系统文件是否已经压缩（读不到 ntoskrnl.exe 的压缩状态），可省出多少未知" ||
      compact.toolNote == "系统文件已经压缩（Compact OS 已打开），此项不适用")
      << compact.toolNote;
  ResultList out;
  CleanItems({Cat({junk, kStore, kReserved, kCompact})}, {"junk", "store", "reserved", "compact"},
             false, out, opt_);
  ASSERT_EQ(out.size(), 4u);
  // Wine has no compact.exe: nothing ran, said so.
  const ItemStat& compacted = out[3].second;
  if (compacted.toolNote != "系统文件已经压缩（Compact OS 已打开），此项不适用") {
    ASSERT_EQ(compacted.errors.size(), 1u) << compacted.toolNote;
    EXPECT_EQ(compacted.errors[0].rfind("系统里没有 compact.exe，没有运行；C: 可用空间 约 ", 0), 0u)
        << compacted.errors[0];
  }
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
    for (const wchar_t* exe : {L"dism.exe", L"powercfg.exe", L"compact.exe"})
      RemoveTree(Program(exe));
    RemoveTree(backup_);
    RemoveTree(hiber_);
    RemoveTree(Kernel());
    for (const char* f : {"windows-version", "c.reserved", "c.reserved.off", "compact-os"})
      std::remove(HostRoot(f).c_str());
    SystemTools::TearDown();
  }
  // A file of the stand-in beside its drives (the Windows version, the
  // reserved storage, Compact OS).
  static std::string HostRoot(const char* name) {
    return std::string(std::getenv("TAMSEL_ROOT")) + "/" + name;
  }
  static void WriteHost(const char* name, const std::string& text) {
    std::ofstream(HostRoot(name), std::ios::binary) << text;
  }
  static bool HostExists(const char* name) { return std::ifstream(HostRoot(name)).good(); }
  static std::wstring Kernel() { return Program(L"ntoskrnl.exe"); }
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

// The reserved storage: nothing runs on a Windows older than 10 2004; on a
// newer one the state from DISM, an estimate of 7 GB while it is on, the
// action turns it off and its result is C:'s free space around it; once off
// the item does not apply; the settings turn it back on.
TEST_F(StandInTools, ReservedStorageStateActionNotApplicableAndBackOn) {
  Plant(L"dism.exe", "ok");
  WriteHost("c.reserved", "7516192768\n");
  WriteHost("windows-version", "10.0.18363");
  Listing before = ListTree(Root());
  ItemStat old = Scan(kReserved);
  EXPECT_EQ(old.toolNote,
            "此项不适用：保留的存储只有 Windows 10 2004（版本 19041）及以后的系统才有，这台电脑是 "
            "Windows 10.0.18363");
  EXPECT_EQ(old.bytes, 0u);
  EXPECT_FALSE(old.sizeUnknown);
  EXPECT_TRUE(old.errors.empty());
  ItemStat oldClean = Clean(kReserved, false);
  EXPECT_EQ(oldClean.toolNote, old.toolNote);
  std::string refused;
  EXPECT_FALSE(StartSystemToolUndo(kReserved, opt_, &refused));
  EXPECT_EQ(refused, old.toolNote);
  EXPECT_TRUE(touches_.empty());
  EXPECT_TRUE(HostExists("c.reserved"));
  EXPECT_EQ(ListTree(Root()), before) << "no tool ran, not even for its output";

  WriteHost("windows-version", "10.0.19045");
  ItemStat on = Scan(kReserved);
  EXPECT_TRUE(on.errors.empty());
  EXPECT_FALSE(on.sizeUnknown);
  EXPECT_EQ(on.bytes, 7ull << 30);
  EXPECT_EQ(on.toolNote, "估计：保留的存储已打开，Windows 为更新预留约 7 GB（实际大小随系统而变）");
  ItemStat dry = Clean(kReserved, true);
  EXPECT_TRUE(dry.sizeUnknown);
  EXPECT_TRUE(HostExists("c.reserved"));
  ItemStat real = Clean(kReserved, false);
  EXPECT_TRUE(real.errors.empty()) << (real.errors.empty() ? "" : real.errors[0]);
  EXPECT_FALSE(HostExists("c.reserved"));
  EXPECT_TRUE(HostExists("c.reserved.off"));
  EXPECT_GT(real.freeBefore, 0u);
  EXPECT_EQ(real.toolNote.rfind("已完成；C: 可用空间 约 ", 0), 0u) << real.toolNote;
  ASSERT_EQ(touches_.size(), 1u);
  EXPECT_EQ(touches_[0].kind, TouchKind::Deleted);
  EXPECT_EQ(touches_[0].path.rfind("reserved（C: 可用空间 约 ", 0), 0u) << touches_[0].path;

  // Off: the item does not apply, and a clean starts nothing for it.
  ItemStat off = Scan(kReserved);
  EXPECT_EQ(off.toolNote, "保留的存储已经关闭，此项不适用");
  EXPECT_EQ(off.bytes, 0u);
  EXPECT_FALSE(off.sizeUnknown);
  EXPECT_EQ(Clean(kReserved, false).toolNote, "保留的存储已经关闭，此项不适用");
  EXPECT_EQ(touches_.size(), 1u);

  // The settings turn it back on, as the engine's one task.
  ASSERT_TRUE(StartSystemToolUndo(kReserved, opt_, &refused)) << refused;
  ASSERT_TRUE(WaitTask(10000));
  SystemToolUndo u = LastSystemToolUndo();
  EXPECT_EQ(u.id, "reserved");
  EXPECT_FALSE(u.running);
  EXPECT_TRUE(u.done);
  EXPECT_EQ(u.message, "已重新打开保留的存储，Windows 会重新为更新预留空间");
  EXPECT_TRUE(HostExists("c.reserved"));
  EXPECT_FALSE(Exists(At(L"state\\tool-running.txt")));
  EXPECT_EQ(Scan(kReserved).bytes, 7ull << 30);
}

// Windows refuses to turn the reserved storage off while it services itself:
// said plainly in the user's words, nothing changed; a failing DISM and one
// of no known answer are reported as such.
TEST_F(StandInTools, ReservedStorageRefusedWhileServicingFailingAndUnreadable) {
  WriteHost("windows-version", "10.0.22631");
  WriteHost("c.reserved", "7516192768\n");
  Plant(L"dism.exe", "busy");
  ItemStat busy = Clean(kReserved, false);
  EXPECT_EQ(busy.skipped, 1u);
  ASSERT_EQ(busy.errors.size(), 1u);
  EXPECT_EQ(
      busy.errors[0].rfind(
          "Windows 正在安装或处理更新，保留的存储正在使用中，现在不能更改；请等更新完成（可能需要"
          "重启电脑）后再试，没有做任何更改（dism.exe 失败（退出代码 0x80004005））；C: "
          "可用空间 约 ",
          0),
      0u)
      << busy.errors[0];
  EXPECT_TRUE(HostExists("c.reserved"));
  ASSERT_EQ(touches_.size(), 1u);
  EXPECT_EQ(touches_[0].kind, TouchKind::Skipped);

  Plant(L"dism.exe", "fail");
  ItemStat failed = Scan(kReserved);
  EXPECT_EQ(failed.errors, std::vector<std::string>{
                               "dism.exe 失败（退出代码 0x800F0806）：Error: 0x800f0806 The "
                               "operation could not be completed due to pending operations."});
  EXPECT_TRUE(failed.sizeUnknown);
  EXPECT_EQ(Clean(kReserved, false).skipped, 1u);
  EXPECT_TRUE(HostExists("c.reserved"));

  Plant(L"dism.exe", "garbled");
  ItemStat garbled = Scan(kReserved);
  EXPECT_TRUE(garbled.errors.empty());
  EXPECT_TRUE(garbled.sizeUnknown);
  EXPECT_EQ(garbled.bytes, 0u);
  EXPECT_EQ(garbled.toolNote,
            "保留的存储是否打开未知（dism.exe 的输出无法读取，退出代码 0，第一行：??? 42 !!!）");

  RemoveTree(Program(L"dism.exe"));
  EXPECT_EQ(Scan(kReserved).errors, std::vector<std::string>{"系统里没有 dism.exe，没有运行"});
  EXPECT_TRUE(HostExists("c.reserved"));
}

// Compact OS: its state from the WOF backing of the system's kernel; an
// estimate of 2–4 GB while it is off, the action through compact.exe, then
// the item does not apply; the settings turn it off again. A kernel whose
// state cannot be read leaves the figure unknown.
TEST_F(StandInTools, CompactOsStateActionAlreadyCompactAndBackOff) {
  Plant(L"compact.exe", "ok");
  ItemStat unknown = Scan(kCompact);
  EXPECT_TRUE(unknown.sizeUnknown);
  EXPECT_EQ(unknown.toolNote,
            "无法确定系统文件是否已经压缩（读不到 ntoskrnl.exe 的压缩状态），可省出多少未知");

  ASSERT_TRUE(PlantFile(Kernel(), kMB));
  ItemStat scan = Scan(kCompact);
  EXPECT_FALSE(scan.sizeUnknown);
  EXPECT_EQ(scan.bytes, 2ull << 30);
  EXPECT_EQ(scan.toolNote, "估计：压缩系统文件通常可省出 2–4 GB，实际多少要压缩后才知道");
  Listing before = ListTree(Root());
  ItemStat real = Clean(kCompact, false);
  EXPECT_TRUE(real.errors.empty());
  EXPECT_TRUE(HostExists("compact-os"));
  EXPECT_EQ(real.toolNote.rfind("已完成；C: 可用空间 约 ", 0), 0u) << real.toolNote;
  ASSERT_EQ(touches_.size(), 1u);
  EXPECT_EQ(touches_[0].kind, TouchKind::Deleted);
  Listing after = ListTree(Root());
  EXPECT_TRUE(Gone(before, after).empty());
  for (const std::string& s : AddedOrChanged(before, after))
    EXPECT_EQ(s.rfind("state/tool-", 0), 0u) << s;

  ItemStat compact = Scan(kCompact);
  EXPECT_EQ(compact.toolNote, "系统文件已经压缩（Compact OS 已打开），此项不适用");
  EXPECT_EQ(compact.bytes, 0u);
  EXPECT_FALSE(compact.sizeUnknown);
  EXPECT_EQ(Clean(kCompact, false).toolNote, compact.toolNote);
  EXPECT_EQ(touches_.size(), 1u) << "nothing ran for an item that does not apply";

  std::string refused;
  ASSERT_TRUE(StartSystemToolUndo(kCompact, opt_, &refused)) << refused;
  ASSERT_TRUE(WaitTask(10000));
  SystemToolUndo u = LastSystemToolUndo();
  EXPECT_EQ(u.id, "compact");
  EXPECT_TRUE(u.done);
  EXPECT_EQ(u.message, "已关闭系统文件压缩，系统文件已恢复为不压缩");
  EXPECT_FALSE(HostExists("compact-os"));
  EXPECT_EQ(Scan(kCompact).bytes, 2ull << 30);
  // An item with nothing to turn back has no way back.
  EXPECT_FALSE(StartSystemToolUndo(kStore, opt_, &refused));
  EXPECT_EQ(refused, "此项没有可以撤销的设置");
}

// compact.exe missing or failing: said plainly, nothing changed.
TEST_F(StandInTools, CompactOsToolMissingOrFailing) {
  ASSERT_TRUE(PlantFile(Kernel(), kMB));
  ItemStat missing = Clean(kCompact, false);
  ASSERT_EQ(missing.errors.size(), 1u);
  EXPECT_EQ(missing.errors[0].rfind("系统里没有 compact.exe，没有运行；C: 可用空间 约 ", 0), 0u)
      << missing.errors[0];
  Plant(L"compact.exe", "fail");
  ItemStat failed = Clean(kCompact, false);
  ASSERT_EQ(failed.errors.size(), 1u);
  EXPECT_EQ(failed.errors[0].rfind(
                "compact.exe 失败（退出代码 1）：An unexpected error condition has occurred.；", 0),
            0u)
      << failed.errors[0];
  EXPECT_FALSE(HostExists("compact-os"));
  std::string refused;
  ASSERT_TRUE(StartSystemToolUndo(kCompact, opt_, &refused));
  ASSERT_TRUE(WaitTask(10000));
  EXPECT_FALSE(LastSystemToolUndo().done);
  EXPECT_EQ(LastSystemToolUndo().message.rfind("compact.exe 失败（退出代码 1）", 0), 0u);
  EXPECT_EQ(touches_.size(), 2u);
  for (const Touch& t : touches_) EXPECT_EQ(t.kind, TouchKind::Skipped);
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
