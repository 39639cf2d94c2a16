// The cleaning rules: the wildcard matcher, the path tests of the deletion
// gate, environment expansion, the builders, and the guarantees the built-in
// catalogue gives the engine and the interface.
//
// The same cases run natively over the POSIX stand-in and under wine, so the
// machine's directories are asked for (%SystemRoot%, %USERPROFILE%, the
// desktop folder) instead of being written out: wine spells them
// C:\windows and C:\users\<name>.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "rules/tamsel_core.h"

using namespace tamsel;

namespace {

#include "catalogue_table.inc"

std::wstring WinDir() {
  return ExpandEnvW(L"%SystemRoot%");
}
std::wstring Home() {
  return ExpandEnvW(L"%USERPROFILE%");
}
std::wstring SysDrive() {
  return ExpandEnvW(L"%SystemDrive%");
}
std::wstring Desktop() {
  std::wstring d;
  EXPECT_TRUE(tov::ShellFolderPath(tov::ShellFolder::Desktop, &d));
  return d;
}

// ASCII letters swapped between upper and lower case.
std::wstring SwapCase(std::wstring s) {
  for (wchar_t& c : s) {
    if (c >= L'a' && c <= L'z')
      c = static_cast<wchar_t>(c - L'a' + L'A');
    else if (c >= L'A' && c <= L'Z')
      c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return s;
}

// The exclusion rule the engine applies to a file name: an entry with a
// wildcard is matched against the whole name, any other entry is a suffix
// compared without regard to ASCII case.
bool ExcludedByTarget(const Target& t, const std::wstring& name) {
  for (const std::wstring& e : t.exclude) {
    if (e.empty()) continue;
    if (e.find_first_of(L"*?") != std::wstring::npos) {
      if (WildMatchStr(e.c_str(), name.c_str())) return true;
    } else if (name.size() >= e.size() &&
               tov::LowerAscii(name.substr(name.size() - e.size())) == tov::LowerAscii(e)) {
      return true;
    }
  }
  return false;
}

bool IncludedByTarget(const Target& t, const std::wstring& name) {
  if (t.include.empty()) return true;
  for (const std::wstring& p : t.include)
    if (!p.empty() && WildMatchStr(p.c_str(), name.c_str())) return true;
  return false;
}

const RuleItem& Item(const std::vector<Category>& cats, const char* id) {
  const RuleItem* it = FindItem(cats, id);
  EXPECT_NE(it, nullptr) << id;
  static const RuleItem kNone;
  return it ? *it : kNone;
}

std::set<std::string> IdsWhere(const std::vector<Category>& cats, bool (*pred)(const RuleItem&)) {
  std::set<std::string> ids;
  for (const Category& c : cats)
    for (const RuleItem& it : c.items)
      if (pred(it)) ids.insert(it.id);
  return ids;
}

}  // namespace

// ---- Wildcards -------------------------------------------------------------------

TEST(WildMatch, StarAndQuestionMarkOverWholeNames) {
  EXPECT_TRUE(WildMatchStr(L"ThumbCache*.db", L"thumbcache_1280.db"));
  EXPECT_TRUE(WildMatchStr(L"iconcache_*.db", L"IconCache_48.DB"));
  EXPECT_TRUE(WildMatchStr(L"*.log", L"a.LOG"));
  EXPECT_TRUE(WildMatchStr(L"*.log", L".log"));
  EXPECT_FALSE(WildMatchStr(L"*.log", L"a.log.bak"));  // the whole text must match
  EXPECT_FALSE(WildMatchStr(L"*.log", L"alog"));
  EXPECT_TRUE(WildMatchStr(L"a?c", L"abc"));
  EXPECT_FALSE(WildMatchStr(L"a?c", L"ac"));  // ? is exactly one character
  EXPECT_FALSE(WildMatchStr(L"a?c", L"abbc"));
  EXPECT_FALSE(WildMatchStr(L"?", L""));
  EXPECT_TRUE(WildMatchStr(L"?", L"x"));
  EXPECT_FALSE(WildMatchStr(L"abc", L"ab"));  // text ran out first
  EXPECT_FALSE(WildMatchStr(L"ab", L"abc"));  // pattern ran out first
}

TEST(WildMatch, EmptyPatternAndLoneStars) {
  EXPECT_TRUE(WildMatchStr(L"", L""));
  EXPECT_FALSE(WildMatchStr(L"", L"a"));
  EXPECT_TRUE(WildMatchStr(L"*", L""));
  EXPECT_TRUE(WildMatchStr(L"*", L"anything at all.txt"));
  EXPECT_TRUE(WildMatchStr(L"**", L""));
  EXPECT_TRUE(WildMatchStr(L"abc***", L"abc"));  // trailing stars match nothing
  EXPECT_FALSE(WildMatchStr(L"*?", L""));
}

TEST(WildMatch, StarBacktracksToTheLastStar) {
  EXPECT_TRUE(WildMatchStr(L"a*b*c", L"aXbYbZc"));
  EXPECT_TRUE(WildMatchStr(L"a*bc", L"abcbc"));  // first "bc" is a false start
  EXPECT_TRUE(WildMatchStr(L"*a", L"bbba"));
  EXPECT_TRUE(WildMatchStr(L"*.tar.gz", L"x.tar.tar.gz"));
  EXPECT_FALSE(WildMatchStr(L"a*b", L"aXbY"));
  EXPECT_FALSE(WildMatchStr(L"a*b*c", L"aXbYbZ"));
  EXPECT_TRUE(WildMatchStr(L"*?*?", L"ab"));
  EXPECT_FALSE(WildMatchStr(L"*?*?", L"a"));
}

TEST(WildMatch, NoSpecialSeparatorsOrEscapesAndOnlyAsciiFolds) {
  EXPECT_TRUE(WildMatchStr(L"C:\\*\\x.log", L"c:\\a\\b\\X.LOG"));  // * crosses separators
  EXPECT_TRUE(WildMatchStr(L"a/b", L"A/B"));
  EXPECT_FALSE(WildMatchStr(L"a.b", L"aXb"));  // the dot is literal
  EXPECT_FALSE(WildMatchStr(L"\\*", L"x"));    // the backslash escapes nothing
  EXPECT_TRUE(WildMatchStr(L"\\*", L"\\x"));
  EXPECT_TRUE(WildMatchStr(L"日志*.txt", L"日志1.TXT"));
  EXPECT_FALSE(WildMatchStr(L"\u00c4.txt", L"\u00e4.txt"));  // Ä and ä stay different
  EXPECT_FALSE(WildMatchStr(L"[", L"{"));  // only A-Z/a-z fold, not the bytes around them
}

// ---- Drive roots and containment ------------------------------------------------

TEST(IsDriveRoot, RootsShortPathsAndTrailingSeparators) {
  for (const wchar_t* p : {L"C:", L"C:\\", L"C:/", L"C:\\\\\\", L"c:\\/", L"x", L"\\", L""})
    EXPECT_TRUE(IsDriveRootPath(p)) << p;
  for (const wchar_t* p : {L"C:\\Windows", L"\\\\", L"C:x", L"C\\", L"C:\\a\\", L"\\\\server"})
    EXPECT_FALSE(IsDriveRootPath(p)) << p;
}

TEST(IsUnderDir, StrictlyInsideWithAsciiCaseFolded) {
  EXPECT_TRUE(IsUnderDir(L"C:\\Users\\a\\Desktop\\f.txt", L"C:\\Users\\a\\Desktop"));
  EXPECT_TRUE(IsUnderDir(L"c:\\USERS\\A\\desktop\\f.txt", L"C:\\Users\\a\\Desktop"));
  EXPECT_TRUE(IsUnderDir(L"C:\\Users\\a\\Desktop\\x\\y\\z", L"C:\\Users\\a\\Desktop\\"));
  EXPECT_FALSE(IsUnderDir(L"C:\\Users\\a\\Desktop", L"C:\\Users\\a\\Desktop"));
  // The directory written with its separator counts as inside itself.
  EXPECT_TRUE(IsUnderDir(L"C:\\Users\\a\\Desktop\\", L"C:\\Users\\a\\Desktop"));
  EXPECT_TRUE(IsUnderDir(L"C:\\Users\\a\\Desktop\\", L"C:\\Users\\a\\Desktop\\"));
}

TEST(IsUnderDir, NameSharingAPrefixIsNotInside) {
  EXPECT_FALSE(IsUnderDir(L"C:\\Windows.old\\x", L"C:\\Windows"));
  EXPECT_FALSE(IsUnderDir(L"C:\\Windowsx", L"C:\\Windows"));
  EXPECT_FALSE(IsUnderDir(L"C:\\Win", L"C:\\Windows"));
  EXPECT_FALSE(IsUnderDir(L"D:\\Windows\\x", L"C:\\Windows"));
  EXPECT_FALSE(IsUnderDir(L"C:\\\u00c4\\x", L"C:\\\u00e4"));  // no folding beyond ASCII
  EXPECT_FALSE(IsUnderDir(L"C:\\x", L""));
  EXPECT_FALSE(IsUnderDir(L"", L""));
}

// ---- Environment expansion ----------------------------------------------------------

TEST(ExpandEnv, ExpandsReferencesWithoutRegardToNameCase) {
  std::wstring win = WinDir();
  ASSERT_FALSE(win.empty());
  EXPECT_EQ(win.find(L'%'), std::wstring::npos) << "%SystemRoot% is not defined";
  EXPECT_EQ(ExpandEnvW(L"%systemroot%"), win);
  EXPECT_EQ(ExpandEnvW(L"%SystemRoot%\\Prefetch"), win + L"\\Prefetch");
  EXPECT_EQ(ExpandEnvW(L"[%SystemRoot%]"), L"[" + win + L"]");
}

TEST(ExpandEnv, TrimsTrailingSeparatorsDownToADriveRoot) {
  std::wstring drive = SysDrive();
  ASSERT_EQ(drive.size(), 2u);
  EXPECT_EQ(ExpandEnvW(L"%SystemDrive%\\"), drive + L"\\");  // three characters stay
  EXPECT_EQ(ExpandEnvW(L"%SystemDrive%\\\\/"), drive + L"\\");
  EXPECT_EQ(ExpandEnvW(L"%SystemRoot%\\Prefetch\\"), WinDir() + L"\\Prefetch");
  EXPECT_EQ(ExpandEnvW(L"C:\\a\\b\\\\/"), L"C:\\a\\b");
  EXPECT_EQ(ExpandEnvW(L"C:\\a/"), L"C:\\a");
  EXPECT_EQ(ExpandEnvW(L"C:\\"), L"C:\\");
  EXPECT_EQ(ExpandEnvW(L"ab/"), L"ab/");      // three characters are never trimmed
  EXPECT_EQ(ExpandEnvW(L"abcd\\"), L"abcd");  // ...four are
  EXPECT_EQ(ExpandEnvW(L"C:\\a\\b"), L"C:\\a\\b");
  EXPECT_EQ(ExpandEnvW(L""), L"");
}

TEST(ExpandEnv, UndefinedReferencesStayAsWritten) {
  const wchar_t* p = L"%TAMSEL_TEST_UNDEFINED_VARIABLE%\\Google\\Update";
  EXPECT_EQ(ExpandEnvW(p), p);
  // A lone percent sign is plain text.
  EXPECT_EQ(ExpandEnvW(L"C:\\100% sure"), L"C:\\100% sure");
}

// ---- System areas -------------------------------------------------------------------

TEST(IsSystemArea, WindowsDirectoryAndEverythingBelow) {
  std::wstring win = WinDir();
  EXPECT_TRUE(IsSystemArea(win));
  EXPECT_TRUE(IsSystemArea(win + L"\\"));
  EXPECT_TRUE(IsSystemArea(SwapCase(win)));
  EXPECT_TRUE(IsSystemArea(win + L"\\System32\\drivers\\etc\\hosts"));
  EXPECT_TRUE(IsSystemArea(SwapCase(win + L"\\Prefetch\\x.pf")));
  EXPECT_TRUE(IsSystemArea(SysDrive() + L"\\Windows\\Temp\\x"));  // the drive's own \Windows
}

TEST(IsSystemArea, ProgramFilesDirectories) {
  for (const wchar_t* var : {L"%ProgramFiles%", L"%ProgramFiles(x86)%", L"%ProgramW6432%"}) {
    std::wstring dir = ExpandEnvW(var);
    if (dir.find(L'%') != std::wstring::npos) continue;  // not defined on this machine
    EXPECT_TRUE(IsSystemArea(dir)) << dir;
    EXPECT_TRUE(IsSystemArea(dir + L"\\Google\\Chrome\\Application\\chrome.exe")) << dir;
    EXPECT_FALSE(IsSystemArea(dir + L" Extra\\x")) << dir;
  }
}

TEST(IsSystemArea, NeighboursOfTheSystemDirectoriesAreNot) {
  std::wstring drive = SysDrive();
  EXPECT_FALSE(IsSystemArea(drive + L"\\Windows.old"));
  EXPECT_FALSE(IsSystemArea(drive + L"\\Windows.old\\Windows\\System32"));
  EXPECT_FALSE(IsSystemArea(drive + L"\\$WINDOWS.~BT"));
  EXPECT_FALSE(IsSystemArea(drive + L"\\$Windows.~WS\\Sources"));
  EXPECT_FALSE(IsSystemArea(WinDir() + L".old\\x"));
  EXPECT_FALSE(IsSystemArea(drive + L"\\"));
  EXPECT_FALSE(IsSystemArea(ExpandEnvW(L"%ProgramData%\\Microsoft\\Windows\\WER")));
  EXPECT_FALSE(IsSystemArea(Home() + L"\\AppData\\Local\\Temp\\x.tmp"));
  EXPECT_FALSE(IsSystemArea(L""));
}

// ---- Desktop --------------------------------------------------------------------------

TEST(IsDesktopArea, OnlyInsideTheUsersOwnDesktopFolder) {
  std::wstring desk = Desktop();
  ASSERT_FALSE(desk.empty());
  EXPECT_TRUE(IsDesktopArea(desk + L"\\f.txt"));
  EXPECT_TRUE(IsDesktopArea(SwapCase(desk) + L"\\Sub\\deep\\f.txt"));
  EXPECT_TRUE(IsDesktopArea(desk + L"\\"));
  EXPECT_FALSE(IsDesktopArea(desk));  // the folder itself is not inside itself
  EXPECT_FALSE(IsDesktopArea(desk + L"Old\\f.txt"));
  EXPECT_FALSE(IsDesktopArea(ExpandEnvW(L"%PUBLIC%\\Desktop\\f.txt")));
  EXPECT_FALSE(IsDesktopArea(Home() + L"\\Documents\\f.txt"));
}

// ---- The deletion gate -----------------------------------------------------------------

TEST(IsSafeDeletePath, RefusesEmptyPathsAndDriveRootsWhateverTheRuleAllows) {
  for (bool allowSystem : {false, true}) {
    std::wstring reason = L"previous";
    EXPECT_FALSE(IsSafeDeletePath(L"", allowSystem, reason));
    EXPECT_EQ(reason, L"空路径");
    for (std::wstring root : {SysDrive(), SysDrive() + L"\\", SysDrive() + L"/",
                              std::wstring(L"D:\\"), std::wstring(L"x")}) {
      reason = L"previous";
      EXPECT_FALSE(IsSafeDeletePath(root, allowSystem, reason)) << root;
      EXPECT_EQ(reason, L"盘符根目录") << root;
    }
  }
}

TEST(IsSafeDeletePath, RefusesTheDesktopEvenForSystemRules) {
  for (bool allowSystem : {false, true}) {
    std::wstring reason;
    EXPECT_FALSE(IsSafeDeletePath(Desktop() + L"\\report.docx", allowSystem, reason));
    EXPECT_EQ(reason, L"桌面");
    reason.clear();
    EXPECT_FALSE(IsSafeDeletePath(SwapCase(Desktop()) + L"\\a\\b.tmp", allowSystem, reason));
    EXPECT_EQ(reason, L"桌面");
  }
}

TEST(IsSafeDeletePath, SystemAreasNeedTheRulesPermission) {
  const std::wstring inWin = WinDir() + L"\\Prefetch\\x.pf";
  std::wstring reason = L"previous";
  EXPECT_FALSE(IsSafeDeletePath(inWin, false, reason));
  EXPECT_EQ(reason, L"系统目录(规则未声明 allowSystem)");

  reason = L"untouched";
  EXPECT_TRUE(IsSafeDeletePath(inWin, true, reason));
  EXPECT_EQ(reason, L"untouched");  // success never writes the reason

  reason.clear();
  EXPECT_FALSE(IsSafeDeletePath(WinDir(), false, reason));
  EXPECT_EQ(reason, L"系统目录(规则未声明 allowSystem)");

  std::wstring pf = ExpandEnvW(L"%ProgramFiles%\\Google\\Chrome\\Application\\old.dll");
  reason.clear();
  EXPECT_FALSE(IsSafeDeletePath(pf, false, reason));
  EXPECT_EQ(reason, L"系统目录(规则未声明 allowSystem)");
  EXPECT_TRUE(IsSafeDeletePath(pf, true, reason));

  // Leftovers of an upgrade sit next to the Windows directory, not inside it.
  reason = L"untouched";
  EXPECT_TRUE(IsSafeDeletePath(SysDrive() + L"\\Windows.old\\x.dll", false, reason));
  EXPECT_TRUE(IsSafeDeletePath(SysDrive() + L"\\$WINDOWS.~BT\\x", false, reason));
  EXPECT_EQ(reason, L"untouched");
}

TEST(IsSafeDeletePath, RefusesTheHomeDirectoryItselfButNotItsContent) {
  const std::wstring home = Home();
  ASSERT_EQ(home.find(L'%'), std::wstring::npos) << "%USERPROFILE% is not defined";
  for (bool allowSystem : {false, true}) {
    for (const std::wstring& p : {home, SwapCase(home), home + L"\\", home + L"\\\\"}) {
      std::wstring reason;
      EXPECT_FALSE(IsSafeDeletePath(p, allowSystem, reason)) << p;
      EXPECT_EQ(reason, L"用户主目录根") << p;
    }
  }
  std::wstring reason = L"untouched";
  EXPECT_TRUE(IsSafeDeletePath(home + L"\\notes.txt", false, reason));
  EXPECT_TRUE(IsSafeDeletePath(home + L"\\AppData\\Local\\Temp", false, reason));
  EXPECT_TRUE(IsSafeDeletePath(home + L"\\Downloads\\setup.exe", false, reason));
  EXPECT_EQ(reason, L"untouched");
}

TEST(IsSafeDeletePath, OrdinaryPathsPass) {
  std::wstring reason = L"untouched";
  EXPECT_TRUE(IsSafeDeletePath(SysDrive() + L"\\Data\\old.bin", false, reason));
  EXPECT_TRUE(IsSafeDeletePath(ExpandEnvW(L"%TEMP%\\a.tmp"), false, reason));
  EXPECT_TRUE(IsSafeDeletePath(
      ExpandEnvW(L"%ProgramData%\\Microsoft\\Windows\\WER\\ReportQueue\\r"), false, reason));
  EXPECT_EQ(reason, L"untouched");
}

// ---- Reparse points --------------------------------------------------------------------

class HasReparse : public ::testing::Test {
 protected:
  void SetUp() override {
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    base_ = ExpandEnvW(L"%TEMP%") + L"\\tamsel-rules-" + std::to_wstring(stamp);
    std::error_code ec;
    std::filesystem::create_directories(tov::HostPath(base_ + L"\\real\\sub"), ec);
    ASSERT_FALSE(ec) << ec.message();
    std::filesystem::create_directory_symlink("real", tov::HostPath(base_ + L"\\link"), ec);
    linked_ = !ec;
    if (ec) linkError_ = ec.message();
  }
  void TearDown() override {
    std::error_code ec;
    // The link goes first and on its own, so that nothing can reach through it.
    std::filesystem::remove(tov::HostPath(base_ + L"\\link"), ec);
    std::filesystem::remove_all(tov::HostPath(base_), ec);
  }
  std::wstring base_;
  bool linked_ = false;
  std::string linkError_;
};

TEST_F(HasReparse, PlainDirectoriesAndMissingElementsAreNot) {
  EXPECT_FALSE(HasReparseInPath(base_));
  EXPECT_FALSE(HasReparseInPath(base_ + L"\\real\\sub"));
  EXPECT_FALSE(HasReparseInPath(base_ + L"\\real\\sub\\missing\\deeper.txt"));
  EXPECT_FALSE(HasReparseInPath(base_ + L"\\nothing\\here\\"));
}

TEST_F(HasReparse, LinkItselfAndEverythingBelowIt) {
  if (!linked_) GTEST_SKIP() << "cannot create a directory symlink here: " << linkError_;
  EXPECT_TRUE(HasReparseInPath(base_ + L"\\link"));
  EXPECT_TRUE(HasReparseInPath(base_ + L"\\link\\"));
  EXPECT_TRUE(HasReparseInPath(base_ + L"\\link\\sub"));
  // The final elements need not exist: the walk goes on past them.
  EXPECT_TRUE(HasReparseInPath(base_ + L"\\link\\sub\\missing\\deeper.txt"));
  EXPECT_TRUE(HasReparseInPath(base_ + L"\\link\\nothing-here"));
  // Forward slashes separate on the way up as well.
  EXPECT_TRUE(HasReparseInPath(base_ + L"/link/sub/x.tmp"));
  // The link's target reached directly is plain.
  EXPECT_FALSE(HasReparseInPath(base_ + L"\\real\\sub\\x.tmp"));
}

TEST(HasReparseWalk, EndsOnRelativeAndDegeneratePaths) {
  EXPECT_FALSE(HasReparseInPath(L""));
  EXPECT_FALSE(HasReparseInPath(L"x"));
  EXPECT_FALSE(HasReparseInPath(L"tamsel-no-such\\dir\\file"));
}

TEST(HasReparseWalk, EndsAtTheDriveByAskingItsRoot) {
  // Under wine, drive Z: is the Linux root reached through a link, so its
  // root is a reparse point; elsewhere there may be no such drive.
  std::wstring drive;
  for (wchar_t letter = L'A'; letter <= L'Z' && drive.empty(); ++letter) {
    std::wstring d = std::wstring(1, letter) + L":";
    uint32_t attrs = 0;
    if (tov::GetAttributes(d + L"\\", &attrs) && (attrs & tov::kAttrReparsePoint)) drive = d;
  }
  if (drive.empty()) GTEST_SKIP() << "no drive here has a reparse point for its root";
  EXPECT_TRUE(HasReparseInPath(drive + L"\\"));
  EXPECT_TRUE(HasReparseInPath(drive + L"\\tamsel-no-such\\dir\\file.tmp"));
  EXPECT_TRUE(HasReparseInPath(drive + L"/tamsel-no-such/file.tmp"));
}

// ---- Builders and lookup -----------------------------------------------------------------

TEST(Builders, MkItemSetsSixFieldsWithDescriptionLast) {
  RuleItem it = MkItem("x-id", "名称", Risk::Low, ItemMode::Files, true, "说明");
  EXPECT_EQ(it.id, "x-id");
  EXPECT_EQ(it.name, "名称");
  EXPECT_EQ(it.risk, Risk::Low);
  EXPECT_EQ(it.mode, ItemMode::Files);
  EXPECT_TRUE(it.defaultEnabled);
  EXPECT_EQ(it.desc, "说明");
  EXPECT_TRUE(it.allowDetails);
  EXPECT_TRUE(it.targets.empty());

  RuleItem off = MkItem("y", "n", Risk::High, ItemMode::Measure, false, "d");
  EXPECT_FALSE(off.defaultEnabled);
  EXPECT_TRUE(off.allowDetails);
  EXPECT_EQ(off.risk, Risk::High);
  EXPECT_EQ(off.mode, ItemMode::Measure);
}

TEST(Builders, TargetPathIsExpandedAndTrimmed) {
  Target t = T(L"%SystemRoot%\\Prefetch", false, true);
  EXPECT_EQ(t.path, WinDir() + L"\\Prefetch");
  EXPECT_FALSE(t.recursive);
  EXPECT_TRUE(t.allowSystem);
  EXPECT_TRUE(t.include.empty());
  EXPECT_TRUE(t.exclude.empty());

  Target u = T(L"%TEMP%\\", true, false);
  EXPECT_EQ(u.path, ExpandEnvW(L"%TEMP%"));
  EXPECT_TRUE(u.recursive);
  EXPECT_FALSE(u.allowSystem);

  Target v = T(L"%TAMSEL_TEST_UNDEFINED_VARIABLE%\\Google\\Update\\Download", false, true);
  EXPECT_EQ(v.path, L"%TAMSEL_TEST_UNDEFINED_VARIABLE%\\Google\\Update\\Download");

  // A wildcard folder: the folders above it in their one form, the rest as
  // declared with its separators folded, for the engine to expand.
  Target w = T(L"%SystemRoot%/Prefetch\\Profile */Cache\\", true, false);
  EXPECT_EQ(w.path, WinDir() + L"\\Prefetch\\Profile *\\Cache");
}

TEST(Builders, IncAndExcAppendInOrderToTheirOwnList) {
  Target t = T(L"C:\\x", true, false);
  Inc(t, L"*.tmp");
  Exc(t, L".pf");
  Inc(t, L"*.log");
  Exc(t, L".db");
  EXPECT_EQ(t.include, (std::vector<std::wstring>{L"*.tmp", L"*.log"}));
  EXPECT_EQ(t.exclude, (std::vector<std::wstring>{L".pf", L".db"}));
}

TEST(FindItem, ExactIdOnlyAndTheFirstOfEqualIds) {
  std::vector<Category> cats(2);
  cats[0].items.push_back(MkItem("alpha", "A", Risk::Low, ItemMode::Files, true, ""));
  cats[1].items.push_back(MkItem("beta", "B1", Risk::Low, ItemMode::Files, true, ""));
  cats[1].items.push_back(MkItem("beta", "B2", Risk::Low, ItemMode::Files, true, ""));
  cats[0].items.push_back(MkItem("beta", "B0", Risk::Low, ItemMode::Files, true, ""));

  const RuleItem* b = FindItem(cats, "beta");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b, &cats[0].items[1]);  // categories in order, then items in order
  EXPECT_EQ(FindItem(cats, "alpha"), &cats[0].items[0]);

  for (const char* id : {"Alpha", "ALPHA", "alpha ", " alpha", "alph", "alphaa", ""})
    EXPECT_EQ(FindItem(cats, id), nullptr) << "[" << id << "]";
  EXPECT_EQ(FindItem(std::vector<Category>(), "alpha"), nullptr);
}

TEST(FindItem, PointsIntoTheBuiltCatalogue) {
  std::vector<Category> cats = BuildRules();
  const RuleItem* it = FindItem(cats, "prefetch");
  ASSERT_NE(it, nullptr);
  EXPECT_EQ(it->id, "prefetch");
  bool inside = false;
  for (const Category& c : cats)
    for (const RuleItem& r : c.items) inside = inside || &r == it;
  EXPECT_TRUE(inside);
  EXPECT_EQ(FindItem(cats, "Prefetch"), nullptr);
  EXPECT_EQ(FindItem(cats, "prefetch "), nullptr);
  EXPECT_EQ(FindItem(cats, "prefetch\t"), nullptr);
}

// ---- Names of the modes and risks --------------------------------------------------------

// The names of every value of an enum, by walking its values up to Count.
template <typename E>
std::vector<std::string> NamesOf(const char* (*name)(E)) {
  std::vector<std::string> names;
  for (size_t i = 0; i < static_cast<size_t>(E::Count); ++i)
    names.push_back(name(static_cast<E>(i)) ? name(static_cast<E>(i)) : "");
  return names;
}

// Each value has the one name the documents print (/api/rules' items), no
// name is shared, and the documented catalogue uses exactly these names:
// a name leads back to its one value.
TEST(Names, EveryModeAndRiskHasItsDocumentNameAndEachNameOneValue) {
  const std::pair<ItemMode, const char*> modes[] = {
      {ItemMode::Files, "files"},         {ItemMode::Dir, "dir"},
      {ItemMode::Measure, "measure"},     {ItemMode::RecycleBin, "recyclebin"},
      {ItemMode::Hibernate, "hibernate"}, {ItemMode::SystemTool, "systool"}};
  const std::pair<Risk, const char*> risks[] = {
      {Risk::Low, "low"}, {Risk::Medium, "medium"}, {Risk::High, "high"}};
  ASSERT_EQ(std::size(modes), static_cast<size_t>(ItemMode::Count));
  ASSERT_EQ(std::size(risks), static_cast<size_t>(Risk::Count));
  for (const auto& m : modes) EXPECT_STREQ(ItemModeName(m.first), m.second);
  for (const auto& r : risks) EXPECT_STREQ(RiskName(r.first), r.second);

  const std::vector<std::string> modeNames = NamesOf<ItemMode>(ItemModeName);
  const std::vector<std::string> riskNames = NamesOf<Risk>(RiskName);
  std::set<std::string> docModes, docRisks;
  for (const DocItem& d : DocumentedCatalogue()) {
    docModes.insert(d.mode);
    docRisks.insert(d.risk);
  }
  EXPECT_EQ(std::set<std::string>(modeNames.begin(), modeNames.end()), docModes);
  EXPECT_EQ(std::set<std::string>(riskNames.begin(), riskNames.end()), docRisks);
  EXPECT_EQ(docModes.size(), modeNames.size()) << "two modes share a name";
  EXPECT_EQ(docRisks.size(), riskNames.size()) << "two risks share a name";
}

// ---- The built-in catalogue ------------------------------------------------------------------

class Catalogue : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cats_ = new std::vector<Category>(BuildRules()); }
  static void TearDownTestSuite() {
    delete cats_;
    cats_ = nullptr;
  }
  static const std::vector<Category>& cats() { return *cats_; }
  static std::vector<const RuleItem*> items() {
    std::vector<const RuleItem*> v;
    for (const Category& c : *cats_)
      for (const RuleItem& it : c.items) v.push_back(&it);
    return v;
  }
  static std::vector<Category>* cats_;
};
std::vector<Category>* Catalogue::cats_ = nullptr;

TEST_F(Catalogue, MatchesTheDocumentedCatalogueInDisplayOrder) {
  // tests/data/catalogue.json, the copy the black-box and browser tests
  // read too: every category, item, text and target, in order.
  const std::vector<DocItem>& doc = DocumentedCatalogue();
  ASSERT_EQ(items().size(), doc.size());
  size_t k = 0;
  for (const Category& c : cats()) {
    EXPECT_FALSE(c.items.empty()) << c.id;
    for (const RuleItem& it : c.items) {
      const DocItem& d = doc[k++];
      SCOPED_TRACE(d.id);
      EXPECT_EQ(c.id, d.category);
      EXPECT_EQ(c.name, d.categoryName);
      EXPECT_EQ(it.id, d.id);
      EXPECT_EQ(it.name, d.name);
      EXPECT_STREQ(RiskName(it.risk), d.risk);
      EXPECT_STREQ(ItemModeName(it.mode), d.mode);
      EXPECT_EQ(it.desc, d.desc);
      EXPECT_EQ(it.defaultEnabled, d.defaultEnabled);
      EXPECT_EQ(it.allowDetails, d.allowDetails);
      EXPECT_EQ(it.userFiles, d.userFiles);
      ASSERT_EQ(it.targets.size(), d.targets.size());
      for (size_t t = 0; t < d.targets.size(); ++t)
        EXPECT_EQ(W2U(it.targets[t].path), W2U(ExpandEnvW(U2W(d.targets[t])))) << d.targets[t];
    }
  }
}

TEST_F(Catalogue, IdsAreUniqueLowerCaseHyphenatedWords) {
  std::set<std::string> catIds, itemIds;
  for (const Category& c : cats()) EXPECT_TRUE(catIds.insert(c.id).second) << c.id;
  for (const RuleItem* it : items()) {
    EXPECT_TRUE(itemIds.insert(it->id).second) << "duplicate " << it->id;
    ASSERT_FALSE(it->id.empty());
    EXPECT_NE(it->id.front(), '-') << it->id;
    EXPECT_NE(it->id.back(), '-') << it->id;
    EXPECT_EQ(it->id.find("--"), std::string::npos) << it->id;
    for (char ch : it->id)
      EXPECT_TRUE((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-') << it->id;
    EXPECT_EQ(FindItem(cats(), it->id), it) << it->id;
  }
}

TEST_F(Catalogue, LowRiskExactlyWhenSelectedByDefault) {
  for (const RuleItem* it : items()) {
    EXPECT_LT(static_cast<size_t>(it->risk), static_cast<size_t>(Risk::Count)) << it->id;
    EXPECT_EQ(it->risk == Risk::Low, it->defaultEnabled) << it->id;
  }
}

TEST_F(Catalogue, OnlyMeasuredItemsAreHighRisk) {
  auto high = IdsWhere(cats(), [](const RuleItem& i) { return i.risk == Risk::High; });
  auto measure = IdsWhere(cats(), [](const RuleItem& i) { return i.mode == ItemMode::Measure; });
  EXPECT_EQ(high, measure);
  EXPECT_FALSE(measure.empty());
}

// Which items hide their files and which mode each has is in the documented
// catalogue; these are the rules the engine and the page rely on.
TEST_F(Catalogue, MeasuredItemsHideTheirFiles) {
  for (const RuleItem* it : items()) {
    if (it->mode == ItemMode::Measure) {
      EXPECT_FALSE(it->allowDetails) << it->id;
    }
  }
}

TEST_F(Catalogue, KnownModesAndOneOfEachSpecialItem) {
  std::map<ItemMode, int> modes;
  for (const RuleItem* it : items()) modes[it->mode]++;
  for (const auto& m : modes)
    EXPECT_LT(static_cast<size_t>(m.first), static_cast<size_t>(ItemMode::Count));
  EXPECT_EQ(modes[ItemMode::RecycleBin], 1);
  EXPECT_EQ(modes[ItemMode::Hibernate], 1);
  EXPECT_EQ(Item(cats(), "recycle-bin").mode, ItemMode::RecycleBin);
  EXPECT_EQ(Item(cats(), "hibernate").mode, ItemMode::Hibernate);
}

// Windows' own tools: each item names its tool, is never selected by
// default, lists no files and says how long its action may take; none may
// be stopped once started.
TEST_F(Catalogue, SystemToolItemsNameTheirToolAndAreNeverPreselected) {
  const std::pair<const char*, SystemTool> kTools[] = {
      {"component-cleanup", SystemTool::ComponentStore},
      {"reserved-storage", SystemTool::ReservedStorage},
      {"compact-os", SystemTool::CompactOs},
      {"hiber-reduced", SystemTool::ReducedHibernation},
      {"restore-points", SystemTool::RestorePoints},
      {"old-drivers", SystemTool::DriverPackages}};
  size_t seen = 0;
  for (const RuleItem* it : items()) {
    if (it->mode != ItemMode::SystemTool) {
      EXPECT_EQ(it->tool, SystemTool::None) << it->id;
      continue;
    }
    ++seen;
    EXPECT_FALSE(it->defaultEnabled) << it->id;
    EXPECT_FALSE(it->allowDetails) << it->id;
    EXPECT_FALSE(it->toolTime.empty()) << it->id;
    // The restore points and packages go one by one: a cancel stops
    // between two; a program's action cannot be stopped.
    EXPECT_EQ(it->toolStoppable,
              it->tool == SystemTool::RestorePoints || it->tool == SystemTool::DriverPackages)
        << it->id;
  }
  EXPECT_EQ(seen, std::size(kTools));
  for (const auto& t : kTools) EXPECT_EQ(Item(cats(), t.first).tool, t.second) << t.first;
}

TEST_F(Catalogue, SpecialItemsHaveNoTargetsAndAllOthersHaveSome) {
  for (const RuleItem* it : items()) {
    if (it->mode == ItemMode::RecycleBin || it->mode == ItemMode::Hibernate ||
        it->mode == ItemMode::SystemTool)
      EXPECT_TRUE(it->targets.empty()) << it->id;
    else
      EXPECT_FALSE(it->targets.empty()) << it->id;
  }
}

TEST_F(Catalogue, SystemPermissionExactlyInsideSystemDirectoriesAndForThePageFile) {
  const std::wstring pagefile = ExpandEnvW(L"%SystemDrive%\\pagefile.sys");
  int pagefileTargets = 0;
  for (const RuleItem* it : items()) {
    for (const Target& t : it->targets) {
      if (t.path == pagefile) {
        ++pagefileTargets;
        EXPECT_EQ(it->id, "pagefile");
        EXPECT_EQ(it->mode, ItemMode::Measure);  // allowed, but never deleted
        EXPECT_TRUE(t.allowSystem);
        EXPECT_FALSE(IsSystemArea(t.path));
        continue;
      }
      EXPECT_EQ(t.allowSystem, IsSystemArea(t.path)) << it->id << " " << W2U(t.path);
    }
  }
  EXPECT_EQ(pagefileTargets, 1);
}

TEST_F(Catalogue, EveryTargetPassesTheGateUnderItsOwnPermission) {
  // No target is a drive root, lies on the desktop or is the home directory;
  // none reaches into a system directory without saying so. A wildcard
  // folder is judged as the folders it may expand to are: a name in its place.
  for (const RuleItem* it : items()) {
    for (const Target& t : it->targets) {
      std::wstring expansion = t.path;
      for (wchar_t& ch : expansion)
        if (ch == L'*') ch = L'x';
      std::wstring reason;
      EXPECT_TRUE(IsSafeDeletePath(expansion, t.allowSystem, reason))
          << it->id << " " << W2U(t.path) << ": " << W2U(reason);
    }
  }
}

TEST_F(Catalogue, TargetPathsAreExpandedTrimmedAndDistinctWithinAnItem) {
  for (const RuleItem* it : items()) {
    std::set<std::wstring> seen;
    for (const Target& t : it->targets) {
      // Every variable the catalogue uses is defined on both test machines.
      EXPECT_EQ(t.path.find(L'%'), std::wstring::npos) << it->id << " " << W2U(t.path);
      ASSERT_GE(t.path.size(), 3u) << it->id;
      EXPECT_EQ(t.path[1], L':') << it->id << " " << W2U(t.path);
      EXPECT_NE(t.path.back(), L'\\') << it->id;
      EXPECT_NE(t.path.back(), L'/') << it->id;
      EXPECT_TRUE(seen.insert(t.path).second) << it->id << " repeats " << W2U(t.path);
    }
  }
}

TEST_F(Catalogue, PatternsAreNonEmptyAndIncludesAreWildcards) {
  for (const RuleItem* it : items()) {
    for (const Target& t : it->targets) {
      for (const std::wstring& p : t.include) {
        EXPECT_FALSE(p.empty()) << it->id;  // an empty include would take nothing
        EXPECT_NE(p.find(L'*'), std::wstring::npos) << it->id << " " << W2U(p);
      }
      for (const std::wstring& p : t.exclude) EXPECT_FALSE(p.empty()) << it->id;
    }
  }
}

TEST_F(Catalogue, PrefetchAndFontCacheKeepTheirDataFilesBySuffix) {
  const RuleItem& prefetch = Item(cats(), "prefetch");
  ASSERT_EQ(prefetch.targets.size(), 1u);
  const Target& p = prefetch.targets[0];
  EXPECT_TRUE(p.include.empty());
  for (const wchar_t* name : {L"X.PF", L"CHROME.EXE-1A2B3C4D.pf", L"AgAppLaunch.db", L"a.Db"}) {
    EXPECT_TRUE(ExcludedByTarget(p, name)) << W2U(name);
    // A suffix entry is no whole-name pattern.
    for (const std::wstring& e : p.exclude) EXPECT_FALSE(WildMatchStr(e.c_str(), name));
  }
  for (const wchar_t* name : {L"Layout.ini", L"x.pf.tmp", L"pf", L"f", L"x.pdf"})
    EXPECT_FALSE(ExcludedByTarget(p, name)) << W2U(name);

  const RuleItem& font = Item(cats(), "font-cache");
  ASSERT_EQ(font.targets.size(), 1u);
  const Target& f = font.targets[0];
  EXPECT_TRUE(f.include.empty());
  for (const wchar_t* name : {L"FontCache-System.dat", L"GDIPFONTCACHEV1.DAT", L"arial.TTF"})
    EXPECT_TRUE(ExcludedByTarget(f, name)) << W2U(name);
  for (const wchar_t* name : {L"FontCache-S-1-5-21.tmp", L"x.ttc", L"t"})
    EXPECT_FALSE(ExcludedByTarget(f, name)) << W2U(name);
}

TEST_F(Catalogue, ChromeUpdateLeftoversNeverTakeTheInstalledProgram) {
  const RuleItem& it = Item(cats(), "chrome-update-cache");
  ASSERT_EQ(it.targets.size(), 2u);
  const Target& app = it.targets[0];
  EXPECT_FALSE(app.recursive);  // the version folders beside chrome.exe are never entered
  EXPECT_TRUE(ExcludedByTarget(app, L"chrome.exe"));
  EXPECT_TRUE(ExcludedByTarget(app, L"CHROME_PROXY.EXE"));
  EXPECT_FALSE(ExcludedByTarget(app, L"old_chrome.tmp"));

  const Target& dl = it.targets[1];
  EXPECT_TRUE(dl.exclude.empty());
  EXPECT_TRUE(IncludedByTarget(dl, L"ChromeSetup.EXE"));
  EXPECT_FALSE(IncludedByTarget(dl, L"ChromeSetup.msi"));
  EXPECT_FALSE(IncludedByTarget(dl, L"setup.exe.part"));
}

TEST_F(Catalogue, DownloadsVideosOnlyAtTheTopLevelInstallersEverywhere) {
  const RuleItem& inst = Item(cats(), "downloads-installer");
  const RuleItem& video = Item(cats(), "downloads-video");
  ASSERT_EQ(inst.targets.size(), 1u);
  ASSERT_EQ(video.targets.size(), 1u);
  EXPECT_EQ(tov::LowerAscii(inst.targets[0].path), tov::LowerAscii(Home() + L"\\Downloads"));
  EXPECT_EQ(inst.targets[0].path, video.targets[0].path);
  EXPECT_TRUE(inst.targets[0].recursive);
  EXPECT_FALSE(video.targets[0].recursive);
  EXPECT_TRUE(IncludedByTarget(inst.targets[0], L"Setup.MSI"));
  EXPECT_FALSE(IncludedByTarget(inst.targets[0], L"report.docx"));
  EXPECT_TRUE(IncludedByTarget(video.targets[0], L"clip.MKV"));
  EXPECT_FALSE(IncludedByTarget(video.targets[0], L"clip.mp3"));
}

TEST_F(Catalogue, ChatDataIsMeasuredInsideTheHomeDirectory) {
  for (const char* id : {"weixin4-data", "wechat3-data", "qqnt-data"}) {
    const RuleItem& it = Item(cats(), id);
    for (const Target& t : it.targets) {
      EXPECT_TRUE(IsUnderDir(t.path, Home())) << id;
      EXPECT_FALSE(t.allowSystem) << id;
    }
  }
}

TEST_F(Catalogue, TextsAreValidUtf8AndDescriptionsStayLiteral) {
  for (const Category& c : cats()) {
    EXPECT_EQ(W2U(U2W(c.name)), c.name) << c.id;
    for (const RuleItem& it : c.items) {
      EXPECT_FALSE(it.name.empty()) << it.id;
      EXPECT_FALSE(it.desc.empty()) << it.id;
      // A text survives the round trip only when it is well-formed UTF-8.
      EXPECT_EQ(W2U(U2W(it.name)), it.name) << it.id;
      EXPECT_EQ(W2U(U2W(it.desc)), it.desc) << it.id;
    }
  }
  // Environment references in descriptions are text for the user, not paths.
  EXPECT_NE(Item(cats(), "user-temp").desc.find("%TEMP%"), std::string::npos);
  EXPECT_NE(Item(cats(), "win-serviceprofiles-log").desc.find("%WinDir%\\ServiceProfiles"),
            std::string::npos);
}

TEST_F(Catalogue, EveryBuildIsFreshAndTheSame) {
  std::vector<Category> again = BuildRules();
  ASSERT_EQ(again.size(), cats().size());
  for (size_t i = 0; i < again.size(); ++i) {
    ASSERT_EQ(again[i].items.size(), cats()[i].items.size());
    for (size_t j = 0; j < again[i].items.size(); ++j) {
      const RuleItem& a = again[i].items[j];
      const RuleItem& b = cats()[i].items[j];
      EXPECT_EQ(a.id, b.id);
      ASSERT_EQ(a.targets.size(), b.targets.size()) << a.id;
      for (size_t k = 0; k < a.targets.size(); ++k) {
        EXPECT_EQ(a.targets[k].path, b.targets[k].path);
        EXPECT_EQ(a.targets[k].include, b.targets[k].include);
        EXPECT_EQ(a.targets[k].exclude, b.targets[k].exclude);
      }
    }
  }
  // A copy is deep: changing it leaves the other build alone.
  again[0].items[0].targets.clear();
  EXPECT_FALSE(cats()[0].items[0].targets.empty());
}

// ---- Text conversion -----------------------------------------------------------------------

TEST(RulesUtf, ConvertsBothWaysIncludingEmbeddedNulAndInvalidBytes) {
  EXPECT_EQ(U2W(""), L"");
  EXPECT_EQ(W2U(L""), "");
  EXPECT_EQ(U2W("临时文件"), L"临时文件");
  EXPECT_EQ(W2U(L"盘符根目录"), "盘符根目录");
  EXPECT_EQ(W2U(U2W("a\xF0\x9D\x84\x9E"
                    "b")),
            "a\xF0\x9D\x84\x9E"
            "b");  // beyond 16 bits
  std::string withNul("a\0b", 3);
  EXPECT_EQ(U2W(withNul), std::wstring(L"a\0b", 3));
  EXPECT_EQ(W2U(std::wstring(L"a\0b", 3)), withNul);
  EXPECT_EQ(U2W("a\xFF"
                "b"),
            L"a\uFFFD"
            L"b");  // invalid input is replaced, not dropped
}
