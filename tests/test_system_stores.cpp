// The restore points and the old driver packages: the readers of INF files
// and WMI's datetimes, the choice of the newest package of a group, and each
// item's analysis, action, result and record over the stand-in's WMI,
// srclient.dll and SetupAPI (native) or over what wine has of them (Windows
// build): an API missing, failing or answering in no known form is reported
// plainly, and nothing but what the scan listed as going ever goes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_internal.h"
#include "engine/system_stores.h"
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

// ---- INF files ------------------------------------------------------------------------

// An INF's [Version] section in the form Windows' driver documentation shows
// it, with the provider through [Strings].
std::string Inf(const std::string& provider, const std::string& cls, const std::string& driverVer,
                const std::string& extra = "") {
  return "; Copyright notice\r\n[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=" + cls +
         "\r\nClassGuid={4d36e968-e325-11ce-bfc1-08002be10318}\r\nProvider=%ProviderName%\r\n" +
         (driverVer.empty() ? "" : "DriverVer=" + driverVer + "\r\n") +
         "CatalogFile=example.cat\r\nPnpLockdown=1\r\n\r\n[Manufacturer]\r\n%Mfg%=Models,"
         "NTamd64\r\n" +
         extra + "\r\n[Strings]\r\nProviderName=\"" + provider + "\"\r\nMfg=\"" + provider +
         "\"\r\n";
}

TEST(InfFiles, VersionSectionInEveryEncodingAndWithFieldsMissing) {
  const std::string plain = Inf("Contoso", "Display", "06/21/2006,6.1.7600.16385");
  const struct {
    std::string bytes;
    std::string provider, cls, date, version;
  } kCases[] = {
      {plain, "Contoso", "Display", "2006-06-21", "6.1.7600.16385"},
      {Utf16(plain, true), "Contoso", "Display", "2006-06-21", "6.1.7600.16385"},
      {Utf16(plain, false), "Contoso", "Display", "2006-06-21", "6.1.7600.16385"},
      {"\xEF\xBB\xBF" + plain, "Contoso", "Display", "2006-06-21", "6.1.7600.16385"},
      // Letter case of sections and keys, blanks, a comment after a value.
      {"[VERSION]\r\n  PROVIDER = Fabrikam ; the vendor\r\nclass=Net\r\ndriverver = 1/2/2020 , "
       "1.2\r\n",
       "Fabrikam", "Net", "2020-01-02", "1.2.0.0"},
      // No DriverVer; no Provider; a date without a version.
      {Inf("Contoso", "Display", ""), "Contoso", "Display", "", ""},
      {"[Version]\r\nClass=Media\r\nDriverVer=05/01/2021\r\n", "", "Media", "2021-05-01", ""},
      // A date or a version of no known form stays unknown.
      {Inf("Contoso", "Display", "13/01/2020,1.0.0.0"), "Contoso", "Display", "", "1.0.0.0"},
      {Inf("Contoso", "Display", "01/01/20,1.0"), "Contoso", "Display", "", "1.0.0.0"},
      {Inf("Contoso", "Display", "01/01/2020,1.2.3.4.5"), "Contoso", "Display", "2020-01-01", ""},
      {Inf("Contoso", "Display", "01/01/2020,1.70000"), "Contoso", "Display", "2020-01-01", ""},
      // The token resolved from a localised [Strings] when [Strings] lacks it.
      {"[Version]\r\nProvider=%P%\r\nClass=System\r\n[Strings.0804]\r\nP=\"联想\"\r\n", "联想",
       "System", "", ""},
      // A token nowhere defined stays as written; keys outside [Version] do not count.
      {"[Version]\r\nProvider=%Nobody%\r\n[Other]\r\nClass=Display\r\n", "%Nobody%", "", "", ""},
      // No [Version] at all; bytes of no text.
      {"[Strings]\r\nProvider=x\r\n", "", "", "", ""},
      {std::string("\x00\x01\xff\xfe\x80garbage", 11), "", "", "", ""},
  };
  for (const auto& c : kCases) {
    InfVersion v = ParseInfVersion(c.bytes);
    EXPECT_EQ(v.provider, c.provider) << c.bytes;
    EXPECT_EQ(v.className, c.cls) << c.bytes;
    EXPECT_EQ(InfDateText(v), c.date) << c.bytes;
    EXPECT_EQ(v.dateKnown, !c.date.empty()) << c.bytes;
    EXPECT_EQ(InfVersionText(v), c.version) << c.bytes;
  }
}

InfVersion Ver(const std::string& driverVer, const std::string& provider = "P",
               const std::string& cls = "Display") {
  return ParseInfVersion(Inf(provider, cls, driverVer));
}

DriverPackage Pkg(const std::string& inf, const std::string& original, const InfVersion& v) {
  DriverPackage p;
  p.inf = inf;
  p.original = original;
  p.ver = v;
  p.sizeKnown = true;
  return p;
}

TEST(InfFiles, NewestOfEachGroupByDateThenVersion) {
  EXPECT_LT(CompareDriverVer(Ver("01/02/2020,9.0"), Ver("01/03/2020,1.0")), 0);
  EXPECT_GT(CompareDriverVer(Ver("12/31/2021,1.0"), Ver("01/01/2021,9.0")), 0);
  EXPECT_LT(CompareDriverVer(Ver("01/02/2020,1.2.10"), Ver("01/02/2020,1.10.2")), 0);
  EXPECT_EQ(CompareDriverVer(Ver("01/02/2020,1.0"), Ver("01/02/2020,1.0.0.0")), 0);
  EXPECT_EQ(CompareDriverVer(Ver("01/02/2020"), Ver("01/02/2020,1.0")), 0);  // cannot tell
  EXPECT_EQ(CompareDriverVer(Ver("99/02/2020,1.0"), Ver("01/02/2020,1.0")), 0);

  const struct {
    const char* name;
    std::vector<DriverPackage> packages;
    std::vector<bool> old;
  } kCases[] = {
      {"the two older versions of one driver go",
       {Pkg("oem3.inf", "nvlt.inf", Ver("01/10/2023,31.0.15.2849")),
        Pkg("oem7.inf", "NVLT.INF", Ver("06/08/2023,31.0.15.3623")),
        Pkg("oem12.inf", "nvlt.inf", Ver("11/01/2022,31.0.15.1694"))},
       {true, false, true}},
      {"the same date: the lower version goes",
       {Pkg("oem5.inf", "rt.inf", Ver("05/01/2021,6.0.9150.1")),
        Pkg("oem9.inf", "rt.inf", Ver("05/01/2021,6.0.9200.1"))},
       {true, false}},
      {"another provider, class or original name is another group",
       {Pkg("oem1.inf", "a.inf", Ver("01/01/2020,1.0", "P1")),
        Pkg("oem2.inf", "a.inf", Ver("01/01/2021,1.0", "P2")),
        Pkg("oem3.inf", "a.inf", Ver("01/01/2022,1.0", "P1", "Net")),
        Pkg("oem4.inf", "b.inf", Ver("01/01/2023,1.0", "P1"))},
       {false, false, false, false}},
      {"two alike newest packages both stay, the older one goes",
       {Pkg("oem1.inf", "a.inf", Ver("01/01/2020,1.0")),
        Pkg("oem2.inf", "a.inf", Ver("01/01/2020,1.0")),
        Pkg("oem3.inf", "a.inf", Ver("01/01/2019,1.0"))},
       {false, false, true}},
      {"a date unknown in a group: nothing of it goes",
       {Pkg("oem1.inf", "a.inf", Ver("01/01/2020,1.0")), Pkg("oem2.inf", "a.inf", Ver("garbled")),
        Pkg("oem3.inf", "a.inf", Ver("01/01/2019,1.0"))},
       {false, false, false}},
      {"no place in the driver store: its group stays whole",
       {Pkg("oem1.inf", "", Ver("01/01/2020,1.0")), Pkg("oem2.inf", "", Ver("01/01/2019,1.0"))},
       {false, false}},
      {"a version unknown on the newest date: nothing of that date goes, older ones do",
       {Pkg("oem1.inf", "a.inf", Ver("01/01/2020")),
        Pkg("oem2.inf", "a.inf", Ver("01/01/2020,2.0")),
        Pkg("oem3.inf", "a.inf", Ver("01/01/2019,3.0"))},
       {false, false, true}},
      {"none", {}, {}},
  };
  for (const auto& c : kCases) EXPECT_EQ(OldDriverPackages(c.packages), c.old) << c.name;
}

// ---- Restore points --------------------------------------------------------------------

TEST(RestorePointTimes, WmiDateTimesAndTheirText) {
  const struct {
    const char* text;
    const char* shown;
  } kCases[] = {
      {"20231205093012.000000+480", "2023-12-05 09:30（UTC+08:00）"},
      {"20231205093012.000000-000", "2023-12-05 09:30（UTC）"},
      {"20240229235959.123456-300", "2024-02-29 23:59（UTC-05:00）"},
      {"20231305093012.000000+000", "时间未知"},  // month 13
      {"20231205253012.000000+000", "时间未知"},  // hour 25
      {"20231205093012.000000+999", "时间未知"},  // offset past 14 hours
      {"20231205093012.000000", "时间未知"},      // no offset
      {"2023-12-05 09:30:12", "时间未知"},
      {"gestern", "时间未知"},
      {"", "时间未知"},
  };
  for (const auto& c : kCases) EXPECT_EQ(WmiTimeText(c.text), c.shown) << c.text;
  WmiTime t;
  ASSERT_TRUE(ParseWmiDateTime("20231205093012.000000+480", &t));
  EXPECT_EQ(t.second, 12);
  EXPECT_EQ(t.offsetMinutes, 480);
}

tov::RestorePoint Point(uint32_t seq, bool known = true) {
  tov::RestorePoint p;
  p.sequence = seq;
  p.sequenceKnown = known;
  return p;
}

TEST(RestorePointTimes, TheNewestIsTheHighestNumberAndNoneWhenOneIsUnknown) {
  EXPECT_EQ(NewestRestorePoint({}), -1);
  EXPECT_EQ(NewestRestorePoint({Point(7)}), 0);
  EXPECT_EQ(NewestRestorePoint({Point(7), Point(31), Point(12)}), 1);
  EXPECT_EQ(NewestRestorePoint({Point(7), Point(31, false), Point(12)}), -1);
}

// ---- The items ---------------------------------------------------------------------------

const RuleItem kPoints = ToolItem("restore-points", SystemTool::RestorePoints, "约 1 分钟");
const RuleItem kDrivers = ToolItem("old-drivers", SystemTool::DriverPackages, "约 1 分钟");

class SystemStores : public SystemToolTest {
 protected:
  // The folders these items could change, listed whole.
  std::map<std::wstring, Listing> ListAll() {
    std::map<std::wstring, Listing> all;
    for (const std::wstring& w : {Root(), ExpandEnvW(L"%SystemRoot%\\INF"),
                                  ExpandEnvW(L"%SystemRoot%\\System32\\DriverStore"),
                                  std::wstring(L"C:\\System Volume Information")})
      all[w] = ListTree(w);
    return all;
  }
};

#ifdef _WIN32

// Wine has no restore points (its WMI has no SystemRestore class, or lists
// none) and no third-party driver packages: each item says plainly what it
// met, a clean removes nothing, and nothing but the clean's own files
// changes.
TEST_F(SystemStores, UnderWineEachItemSaysPlainlyWhatItsApiDidAndNothingElseChanges) {
  auto before = ListAll();
  ItemStat points = Scan(kPoints);
  EXPECT_TRUE(points.systemTool);
  const std::string saidPoints = points.errors.empty() ? points.toolNote : points.errors[0];
  // Wine's WMI lists one point with neither number nor time.
  EXPECT_TRUE(saidPoints.rfind("无法读取系统还原点（WMI 错误 0x8", 0) == 0 ||
              saidPoints ==
                  "系统还原点的信息无法读取（WMI 的回答里没有还原点的编号或时间），"
                  "不会删除任何还原点" ||
              saidPoints.rfind("没有系统还原点，此项不适用；C 盘的卷影存储", 0) == 0)
      << saidPoints;
  EXPECT_TRUE(points.toolEntries.empty());
  EXPECT_EQ(points.bytes, 0u);
  ItemStat drivers = Scan(kDrivers);
  const std::string saidDrivers = drivers.errors.empty() ? drivers.toolNote : drivers.errors[0];
  EXPECT_TRUE(saidDrivers == "没有第三方驱动程序包，此项不适用" ||
              saidDrivers.rfind("系统里没有 SetupGetInfDriverStoreLocationW", 0) == 0)
      << saidDrivers;
  EXPECT_EQ(drivers.bytes, 0u);
  for (const RuleItem* item : {&kPoints, &kDrivers}) {
    ItemStat real = Clean(*item);
    EXPECT_EQ(real.files, 0u) << item->id;
    const std::string said = real.errors.empty() ? real.toolNote : real.errors[0];
    EXPECT_TRUE(said.find("没有删除任何") != std::string::npos ||
                said.find("此项不适用") != std::string::npos)
        << said;
  }
  EXPECT_EQ(ListAll(), before);
}

// An installed INF the driver store does not know (wine's
// SetupGetInfDriverStoreLocationW is not implemented, 120): the package is
// listed and kept with the system's code, and a clean asks Windows to remove
// nothing. (Wine's srclient.dll raises an exception for SRRemoveRestorePoint
// and its SetupUninstallOEMInfW answers done for any name: neither is ever
// reached here, since wine places no package and dates no restore point.)
TEST_F(SystemStores, UnderWineAPackageWithoutItsStorePlaceIsKeptWithTheSystemsCode) {
  const std::wstring inf = ExpandEnvW(L"%SystemRoot%\\INF") + L"\\oem99998.inf";
  ASSERT_FALSE(Exists(inf));
  auto before = ListAll();
  ASSERT_TRUE(tov::WriteWholeFile(
      inf, "[Version]\r\nClass=Display\r\nProvider=Contoso\r\nDriverVer=01/01/2020,1.0\r\n"));
  std::wstring store;
  uint32_t err = 0;
  EXPECT_FALSE(tov::DriverStoreLocation(inf, &store, &err));
  EXPECT_NE(err, 0u);
  ItemStat scan = Scan(kDrivers);
  ASSERT_EQ(scan.toolEntries.size(), 1u) << scan.toolNote;
  const ToolEntry& e = scan.toolEntries[0];
  EXPECT_EQ(e.id, "oem99998.inf");
  EXPECT_EQ(e.provider, "Contoso");
  EXPECT_EQ(e.date, "2020-01-01");
  EXPECT_EQ(e.state, "keep");
  EXPECT_EQ(e.note, "找不到它在驱动存储里的位置（错误 " + std::to_string(err) + "），保留");
  EXPECT_EQ(scan.files, 0u);
  ItemStat real = Clean(kDrivers);
  EXPECT_EQ(real.files, 0u);
  EXPECT_EQ(real.skipped, 0u);
  EXPECT_EQ(real.toolNote, "没有要删除的驱动程序包，每个驱动的最新版本都保留");
  EXPECT_TRUE(touches_.empty());
  EXPECT_TRUE(Exists(inf));
  EXPECT_TRUE(tov::DeleteFilePath(inf));
  EXPECT_EQ(ListAll(), before);
}

#else

// The stand-in's APIs are files in its system folder; each test plants the
// ones it needs and removes them, the restore points and the packages again.
class StandInStores : public SystemStores {
 protected:
  void SetUp() override {
    SystemStores::SetUp();
    Clear();
    repo_ = ExpandEnvW(L"%SystemRoot%\\System32\\DriverStore\\FileRepository");
  }
  void TearDown() override {
    Clear();
    SetAdminTest(nullptr);
    SystemStores::TearDown();
  }
  static void Clear() {
    for (const wchar_t* dll : {L"wbem\\wbemprox.dll", L"srclient.dll", L"setupapi.dll"})
      RemoveTree(Dll(dll));
    RemoveTree(L"C:\\System Volume Information");
    RemoveTree(ExpandEnvW(L"%SystemRoot%\\INF"));
    RemoveTree(ExpandEnvW(L"%SystemRoot%\\System32\\DriverStore"));
  }
  static std::wstring Dll(const wchar_t* name) {
    return ExpandEnvW(L"%SystemRoot%\\System32") + L"\\" + name;
  }
  void Plant(const wchar_t* dll, const std::string& run) {
    ASSERT_TRUE(MakeDir(Parent(Dll(dll))));
    ASSERT_TRUE(tov::WriteWholeFile(Dll(dll), run));
  }
  // A restore point: its CreationTime, its Description, and the shadow
  // storage it holds.
  void PlantPoint(uint32_t seq, const std::string& time, const std::string& desc, uint64_t size) {
    std::wstring file =
        L"C:\\System Volume Information\\Restore\\RP" + std::to_wstring(seq) + L".rp";
    ASSERT_TRUE(PlantFile(file, 0));
    ASSERT_TRUE(tov::WriteWholeFile(file, time + "\r\n" + desc + "\r\n"));
    std::error_code ec;
    std::filesystem::resize_file(tov::HostPath(file), size, ec);
    ASSERT_FALSE(ec);
  }
  // An installed package: C:\Windows\INF\<inf> and its store folder with a
  // copy of the INF and a payload of size bytes.
  void PlantPackage(const std::string& inf, const std::string& original, const std::string& folder,
                    const std::string& bytes, uint64_t size) {
    std::wstring dir = repo_ + L"\\" + U2W(folder);
    ASSERT_TRUE(MakeDir(dir));
    ASSERT_TRUE(MakeDir(ExpandEnvW(L"%SystemRoot%\\INF")));
    ASSERT_TRUE(tov::WriteWholeFile(ExpandEnvW(L"%SystemRoot%\\INF") + L"\\" + U2W(inf), bytes));
    ASSERT_TRUE(tov::WriteWholeFile(dir + L"\\" + U2W(original), bytes));
    ASSERT_TRUE(PlantFile(dir + L"\\payload.bin", size));
  }
  std::wstring repo_;
};

constexpr uint64_t kMB = 1024 * 1024;

std::vector<std::string> States(const ItemStat& s) {
  std::vector<std::string> out;
  for (const ToolEntry& e : s.toolEntries) out.push_back(e.id + " " + e.state);
  return out;
}

// The restore points: the scan lists every point, the newest kept, and the
// shadow storage of C:; the clean removes exactly the points listed as
// going through SRRemoveRestorePoint, with C:'s free space around it and
// one record line per point and one for the action.
TEST_F(StandInStores, RestorePointsAnalysisActionResultAndRecord) {
  Plant(L"wbem\\wbemprox.dll", "ok");
  Plant(L"srclient.dll", "ok");
  PlantPoint(3, "20231101080000.000000+480", "Installed Contoso Display Driver", 3 * kMB);
  PlantPoint(4, "20231205093012.000000+480", "Windows Update", 2 * kMB);
  PlantPoint(5, "20240110200000.000000+480", "手动还原点", kMB);
  ItemStat scan = Scan(kPoints);
  EXPECT_TRUE(scan.errors.empty());
  EXPECT_FALSE(scan.sizeUnknown);
  EXPECT_EQ(scan.bytes, 6 * kMB);
  EXPECT_EQ(scan.files, 2u);
  EXPECT_EQ(scan.toolNote,
            "估计：共 3 个还原点，将删除较旧的 2 个，保留最新的「手动还原点」；C 盘的卷影存储已用 "
            "约 6.0 MB，删除后最多可回收这么多");
  EXPECT_EQ(States(scan), (std::vector<std::string>{"5 keep", "4 goes", "3 goes"}));
  ASSERT_EQ(scan.toolEntries.size(), 3u);
  EXPECT_EQ(scan.toolEntries[1].name, "Windows Update");
  EXPECT_EQ(scan.toolEntries[1].date, "2023-12-05 09:30（UTC+08:00）");
  EXPECT_EQ(scan.toolEntries[0].note, "最新的还原点，保留");

  // A dry run starts nothing.
  auto before = ListAll();
  ItemStat dry = Clean(kPoints, true);
  EXPECT_TRUE(dry.sizeUnknown);
  EXPECT_TRUE(touches_.empty());
  EXPECT_EQ(ListAll(), before);

  // A point made after the scan is newer: it is kept, and so is the point
  // the scan showed as the newest, which the user saw kept.
  PlantPoint(6, "20240111080000.000000+480", "Later", kMB);
  before = ListAll();
  ItemStat real = Clean(kPoints);
  EXPECT_TRUE(real.errors.empty());
  EXPECT_EQ(real.files, 0u);  // points are no files: the entries count them
  EXPECT_EQ(real.skipped, 0u);
  EXPECT_EQ(States(real), (std::vector<std::string>{"3 removed", "4 removed", "5 kept", "6 kept"}));
  ASSERT_EQ(real.toolEntries.size(), 4u);
  EXPECT_EQ(real.toolEntries[2].note, "扫描时没有列出，保留");
  auto after = ListAll();
  EXPECT_EQ(Gone(before[L"C:\\System Volume Information"], after[L"C:\\System Volume Information"]),
            (std::set<std::string>{"Restore/RP3.rp", "Restore/RP4.rp"}));
  for (auto& [dir, listing] : before)
    if (dir != L"C:\\System Volume Information") {
      EXPECT_TRUE(Gone(listing, after[dir]).empty());
    }
  EXPECT_GT(real.freeBefore, 0u);
  EXPECT_EQ(real.bytes, real.freeAfter > real.freeBefore ? real.freeAfter - real.freeBefore : 0);
  EXPECT_EQ(real.toolNote.rfind("已删除 2 个还原点，保留最新的 1 个；C: 可用空间 约 ", 0), 0u)
      << real.toolNote;
  ASSERT_EQ(touches_.size(), 3u);
  EXPECT_EQ(touches_[0].kind, TouchKind::Deleted);
  EXPECT_EQ(touches_[0].path,
            "系统还原点 #3「Installed Contoso Display Driver」2023-11-01 08:00（UTC+08:00）");
  EXPECT_EQ(touches_[2].kind, TouchKind::Deleted);
  EXPECT_EQ(touches_[2].path.rfind("系统还原点（C: 可用空间 约 ", 0), 0u) << touches_[2].path;

  // A second clean without a new scan removes nothing.
  touches_.clear();
  ItemStat again = Clean(kPoints);
  EXPECT_EQ(again.files, 0u);
  EXPECT_EQ(again.errors,
            std::vector<std::string>{"请先扫描：清理只删除扫描时列出的还原点；没有删除任何还原点"});
  EXPECT_TRUE(Exists(L"C:\\System Volume Information\\Restore\\RP5.rp"));
}

// The points go one by one: a cancel stops the clean between two, the
// point being removed is removed whole and the rest are kept.
TEST_F(StandInStores, ACancelStopsBetweenTwoRestorePoints) {
  Plant(L"wbem\\wbemprox.dll", "ok");
  Plant(L"srclient.dll", "slow");
  for (uint32_t seq = 3; seq <= 6; ++seq)
    PlantPoint(seq, "2023110" + std::to_string(seq) + "080000.000000+480", "p", kMB);
  ASSERT_EQ(Scan(kPoints).files, 3u);
  ASSERT_TRUE(StartClean({Cat({kPoints})}, {"restore-points"}, false, false, opt_));
  bool cancelled = false;
  for (int i = 0; i < 500 && !cancelled; ++i) {
    if (TaskStateNow().cur.rfind("系统还原点 #3", 0) == 0) {
      CancelTask();
      cancelled = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(cancelled);
  ASSERT_TRUE(WaitTask(10000));
  ResultList last = TaskResultsNow().last;
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(States(last[0].second),
            (std::vector<std::string>{"3 removed", "4 kept", "5 kept", "6 kept"}));
  EXPECT_EQ(last[0].second.toolEntries[1].note, "已停止清理，保留");
  EXPECT_FALSE(Exists(L"C:\\System Volume Information\\Restore\\RP3.rp"));
  EXPECT_TRUE(Exists(L"C:\\System Volume Information\\Restore\\RP4.rp"));
  // A new task takes the cancel back, for the tests after this one.
  ASSERT_TRUE(StartScan({}, {"none"}, opt_));
  ASSERT_TRUE(WaitTask(10000));
}

// WMI missing, failing or answering without the points' numbers, and
// srclient.dll missing or failing: each said plainly, nothing removed.
TEST_F(StandInStores, RestorePointApisMissingFailingOrUnreadable) {
  PlantPoint(3, "20231101080000.000000+480", "a", kMB);
  PlantPoint(4, "20231205093012.000000+480", "b", kMB);
  auto before = ListAll();
  const struct {
    const char* wmi;  // null: missing
    std::string said;
  } kScans[] = {
      {nullptr, "无法读取系统还原点（WMI 错误 0x80040154），不会删除任何还原点"},
      {"fail", "无法读取系统还原点（WMI 错误 0x80041010），不会删除任何还原点"},
      {"garbled",
       "系统还原点的信息无法读取（WMI 的回答里没有还原点的编号或时间），不会删除任何还原点"},
  };
  for (const auto& c : kScans) {
    RemoveTree(Dll(L"wbem\\wbemprox.dll"));
    if (c.wmi) Plant(L"wbem\\wbemprox.dll", c.wmi);
    ItemStat scan = Scan(kPoints);
    EXPECT_EQ(scan.errors, std::vector<std::string>{c.said}) << c.wmi;
    EXPECT_TRUE(scan.sizeUnknown);
    EXPECT_EQ(scan.bytes, 0u);
    EXPECT_TRUE(scan.toolEntries.empty());
    ItemStat real = Clean(kPoints);
    EXPECT_EQ(real.files, 0u);
    EXPECT_EQ(real.skipped, 1u);
  }
  EXPECT_EQ(ListAll(), before);

  // WMI answers, srclient.dll is missing, then fails.
  Plant(L"wbem\\wbemprox.dll", "ok");
  ASSERT_EQ(Scan(kPoints).files, 1u);
  ItemStat missing = Clean(kPoints);
  EXPECT_EQ(missing.errors,
            std::vector<std::string>{
                "系统里没有 srclient.dll 的 SRRemoveRestorePoint（错误 126），没有删除任何还原点"});
  EXPECT_EQ(missing.files, 0u);
  Plant(L"srclient.dll", "fail");
  ItemStat fail = Clean(kPoints);
  EXPECT_EQ(fail.files, 0u);
  EXPECT_EQ(fail.skipped, 1u);
  EXPECT_EQ(fail.errors, std::vector<std::string>{"删除失败（SRRemoveRestorePoint 返回错误 31）"});
  EXPECT_EQ(States(fail), (std::vector<std::string>{"3 skipped", "4 kept"}));
  EXPECT_EQ(ListAll(), before);

  // No restore points: the item does not apply.
  RemoveTree(L"C:\\System Volume Information");
  ItemStat none = Scan(kPoints);
  EXPECT_TRUE(none.errors.empty());
  EXPECT_EQ(none.toolNote, "没有系统还原点，此项不适用；C 盘的卷影存储已用 约 0 B");
}

// The driver packages: grouped by original INF, provider and class, every
// package but the newest of its group listed as going; the clean asks
// Windows to remove each without force, and a package in use, a failure and
// an answer without a code are skipped with their reasons.
TEST_F(StandInStores, DriverPackagesAnalysisActionRefusalsResultAndRecord) {
  const std::string nv2 = Inf("NVIDIA", "Display", "01/01/2022,30.0.14.9649");
  const std::string nv3 = Inf("NVIDIA", "Display", "01/10/2023,31.0.15.2849");
  const std::string nv7 = Inf("NVIDIA", "Display", "06/08/2023,31.0.15.3623");
  const std::string nv12 = Inf("NVIDIA", "Display", "11/01/2022,31.0.15.1694");
  const std::string rt5 = Utf16(Inf("Realtek", "MEDIA", "05/01/2021,6.0.9150.1"), true);
  const std::string rt9 = Utf16(Inf("Realtek", "MEDIA", "05/01/2021,6.0.9200.1"), true);
  const std::string intel = Inf("Intel", "Net", "03/03/2023,12.19.2.45");
  const std::string junk("\x00\x01garbled\xff", 10);
  PlantPackage("oem2.inf", "nvlt.inf", "nvlt.inf_amd64_2222", nv2, 5 * kMB);
  PlantPackage("oem3.inf", "nvlt.inf", "nvlt.inf_amd64_3333", nv3, 7 * kMB);
  PlantPackage("oem7.inf", "nvlt.inf", "nvlt.inf_amd64_7777", nv7, 8 * kMB);
  PlantPackage("oem12.inf", "nvlt.inf", "nvlt.inf_amd64_cccc", nv12, 6 * kMB);
  PlantPackage("oem5.inf", "rtkvhd64.inf", "rtkvhd64.inf_amd64_5555", rt5, 2 * kMB);
  PlantPackage("oem9.inf", "rtkvhd64.inf", "rtkvhd64.inf_amd64_9999", rt9, 2 * kMB);
  PlantPackage("oem4.inf", "e1d.inf", "e1d.inf_amd64_4444", intel, kMB);
  PlantPackage("oem6.inf", "odd.inf", "odd.inf_amd64_6666", junk, kMB);
  // An INF Windows does not know in its store, and a file that is no oem INF.
  ASSERT_TRUE(tov::WriteWholeFile(ExpandEnvW(L"%SystemRoot%\\INF\\oem8.inf"), nv2 + "\r\n"));
  ASSERT_TRUE(tov::WriteWholeFile(ExpandEnvW(L"%SystemRoot%\\INF\\machine.inf"), nv2));
  Plant(L"setupapi.dll", "ok\noem12.inf in-use\noem5.inf fail\noem2.inf garbled\n");

  ItemStat scan = Scan(kDrivers);
  EXPECT_TRUE(scan.errors.empty());
  EXPECT_EQ(States(scan),
            (std::vector<std::string>{"oem2.inf goes", "oem3.inf goes", "oem4.inf keep",
                                      "oem5.inf goes", "oem6.inf keep", "oem7.inf keep",
                                      "oem8.inf keep", "oem9.inf keep", "oem12.inf goes"}));
  EXPECT_EQ(scan.files, 4u);
  // The four candidates' store folders: payload and INF copy.
  const uint64_t infs = nv2.size() + nv3.size() + nv12.size() + rt5.size();
  EXPECT_EQ(scan.bytes, (5 + 7 + 6 + 2) * kMB + infs);
  EXPECT_EQ(
      scan.toolNote,
      "估计：第三方驱动程序包 9 个，其中 4 个已有同一驱动的新版本，可以删除；设备正在使用的包 "
      "Windows 会拒绝删除");
  ASSERT_EQ(scan.toolEntries.size(), 9u);
  const ToolEntry& e3 = scan.toolEntries[1];
  EXPECT_EQ(e3.name, "nvlt.inf");
  EXPECT_EQ(e3.provider, "NVIDIA");
  EXPECT_EQ(e3.cls, "Display");
  EXPECT_EQ(e3.version, "31.0.15.2849");
  EXPECT_EQ(e3.date, "2023-01-10");
  EXPECT_TRUE(e3.sizeKnown);
  EXPECT_EQ(e3.bytes, 7 * kMB + nv3.size());
  EXPECT_EQ(scan.toolEntries[3].provider, "Realtek");  // UTF-16LE INF
  EXPECT_EQ(scan.toolEntries[4].note, "INF 文件里没有可读的 DriverVer 日期，保留");
  EXPECT_EQ(scan.toolEntries[5].note, "同一驱动最新的版本，保留");
  EXPECT_EQ(scan.toolEntries[6].note, "找不到它在驱动存储里的位置（错误 2），保留");

  auto before = ListAll();
  ItemStat real = Clean(kDrivers);
  EXPECT_EQ(real.files, 0u);  // packages are no files: the entries count them
  EXPECT_EQ(real.skipped, 3u);
  EXPECT_EQ(States(real),
            (std::vector<std::string>{"oem2.inf skipped", "oem3.inf removed", "oem4.inf kept",
                                      "oem5.inf skipped", "oem6.inf kept", "oem7.inf kept",
                                      "oem8.inf kept", "oem9.inf kept", "oem12.inf skipped"}));
  ASSERT_EQ(real.toolEntries.size(), 9u);
  EXPECT_EQ(real.toolEntries[0].note, "未删除(Windows 拒绝删除)，Windows 没有给出错误代码");
  EXPECT_EQ(real.toolEntries[3].note, "未删除(Windows 拒绝删除)，错误代码 31");
  EXPECT_EQ(real.toolEntries[8].note, "未删除(有设备正在使用这个驱动程序包)，错误代码 0xE000023D");
  EXPECT_EQ(real.errors.size(), 3u);
  auto after = ListAll();
  const std::wstring infDir = ExpandEnvW(L"%SystemRoot%\\INF");
  const std::wstring storeDir = ExpandEnvW(L"%SystemRoot%\\System32\\DriverStore");
  EXPECT_EQ(Gone(before[infDir], after[infDir]), std::set<std::string>{"oem3.inf"});
  EXPECT_EQ(Gone(before[storeDir], after[storeDir]),
            (std::set<std::string>{"FileRepository/nvlt.inf_amd64_3333",
                                   "FileRepository/nvlt.inf_amd64_3333/nvlt.inf",
                                   "FileRepository/nvlt.inf_amd64_3333/payload.bin"}));
  EXPECT_TRUE(Gone(before[Root()], after[Root()]).empty());
  for (auto& [dir, listing] : before) EXPECT_TRUE(AddedOrChanged(listing, after[dir]).empty());
  EXPECT_EQ(real.toolNote.rfind("已删除 1 个驱动程序包，3 个未删除；C: 可用空间 约 ", 0), 0u)
      << real.toolNote;
  ASSERT_EQ(touches_.size(), 5u);
  EXPECT_EQ(touches_[1].kind, TouchKind::Deleted);
  EXPECT_EQ(touches_[1].path,
            "旧版驱动程序包 oem3.inf（nvlt.inf，NVIDIA，31.0.15.2849，2023-01-10）");
  EXPECT_EQ(touches_[3].kind, TouchKind::Skipped);
  EXPECT_EQ(touches_[3].reason, "未删除(有设备正在使用这个驱动程序包)，错误代码 0xE000023D");
}

// SetupAPI missing: nothing can be judged, nothing is removed; a package
// the scan did not list as going is never removed, even when it is now.
TEST_F(StandInStores, DriverPackagesOnlyWhatTheScanListedAndNothingWithoutSetupApi) {
  const std::string old = Inf("Contoso", "Display", "01/01/2022,1.0");
  const std::string mid = Inf("Contoso", "Display", "01/01/2023,2.0");
  const std::string now = Inf("Contoso", "Display", "01/01/2024,3.0");
  PlantPackage("oem1.inf", "c.inf", "c.inf_amd64_1", old, kMB);
  PlantPackage("oem2.inf", "c.inf", "c.inf_amd64_2", mid, kMB);
  auto before = ListAll();
  ItemStat none = Scan(kDrivers);
  EXPECT_EQ(none.errors, std::vector<std::string>{
                             "系统里没有 SetupGetInfDriverStoreLocationW（setupapi.dll，错误 "
                             "127），无法判断哪些驱动程序包可以删除，不会删除任何驱动程序包"});
  EXPECT_TRUE(none.sizeUnknown);
  EXPECT_EQ(Clean(kDrivers).files, 0u);
  EXPECT_EQ(ListAll(), before);

  Plant(L"setupapi.dll", "ok");
  ItemStat scan = Scan(kDrivers);
  EXPECT_EQ(States(scan), (std::vector<std::string>{"oem1.inf goes", "oem2.inf keep"}));
  // A newer package arrives: oem2 would go now, but the scan showed it kept.
  PlantPackage("oem3.inf", "c.inf", "c.inf_amd64_3", now, kMB);
  ItemStat real = Clean(kDrivers);
  EXPECT_EQ(States(real),
            (std::vector<std::string>{"oem1.inf removed", "oem2.inf kept", "oem3.inf kept"}));
  ASSERT_EQ(real.toolEntries.size(), 3u);
  EXPECT_EQ(real.toolEntries[1].note, "扫描时没有列出，保留");
  EXPECT_FALSE(Exists(ExpandEnvW(L"%SystemRoot%\\INF\\oem1.inf")));
  EXPECT_TRUE(Exists(ExpandEnvW(L"%SystemRoot%\\INF\\oem2.inf")));
  EXPECT_TRUE(Exists(repo_ + L"\\c.inf_amd64_2\\payload.bin"));

  // No third-party packages at all.
  RemoveTree(ExpandEnvW(L"%SystemRoot%\\INF"));
  ASSERT_TRUE(MakeDir(ExpandEnvW(L"%SystemRoot%\\INF")));
  EXPECT_EQ(Scan(kDrivers).toolNote, "没有第三方驱动程序包，此项不适用");
}

#endif

}  // namespace
