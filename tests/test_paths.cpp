// The long-path form every file-system call of the Windows backend takes,
// and the one form every path the program receives is turned into (or
// refused). Pure text, so the same cases run in both builds; under wine the
// walk tests on trees deeper than 260 characters exercise the long-path form
// against a file system, and the short names' expansion is checked with a
// fake of the system's answer (the stand-in has no short names).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "paths/paths.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"

using tov::LongPathForm;

TEST(LongPathForm, DrivePathsGetThePrefixAndWindowsNormalisation) {
  EXPECT_EQ(LongPathForm(L"C:\\Users\\a\\AppData"), L"\\\\?\\C:\\Users\\a\\AppData");
  EXPECT_EQ(LongPathForm(L"C:\\"), L"\\\\?\\C:\\");
  EXPECT_EQ(LongPathForm(L"c:/Users//a/"), L"\\\\?\\c:\\Users\\a");
  EXPECT_EQ(LongPathForm(L"C:\\a\\.\\b\\..\\c"), L"\\\\?\\C:\\a\\c");
  // ".." never climbs above the drive's root.
  EXPECT_EQ(LongPathForm(L"C:\\..\\..\\Windows"), L"\\\\?\\C:\\Windows");
  // Names Windows would trim without the prefix are kept as they are.
  EXPECT_EQ(LongPathForm(L"C:\\a\\name. "), L"\\\\?\\C:\\a\\name. ");
  // Non-ASCII and characters outside the BMP pass unchanged.
  EXPECT_EQ(LongPathForm(L"C:\\\u4E34\u65F6\\\U0001F600"), L"\\\\?\\C:\\\u4E34\u65F6\\\U0001F600");
  std::wstring deep = L"C:";
  for (int i = 0; i < 400; ++i) deep += L"\\level" + std::to_wstring(i);
  EXPECT_EQ(LongPathForm(deep), L"\\\\?\\" + deep);
}

TEST(LongPathForm, SharesBecomeUncAndOtherFormsStayAsTheyAre) {
  EXPECT_EQ(LongPathForm(L"\\\\server\\share\\dir\\f.txt"),
            L"\\\\?\\UNC\\server\\share\\dir\\f.txt");
  EXPECT_EQ(LongPathForm(L"\\\\server\\share"), L"\\\\?\\UNC\\server\\share");
  EXPECT_EQ(LongPathForm(L"\\\\server\\share\\..\\..\\x"), L"\\\\?\\UNC\\server\\share\\x");
  // Incomplete share names, prefixed, device, relative and drive-relative
  // paths are not the prefix's to change.
  for (const wchar_t* same :
       {L"\\\\server", L"\\\\server\\", L"\\\\?\\C:\\a\\..\\b", L"\\\\.\\PhysicalDrive0",
        L"relative\\x", L"C:x", L"C:", L"", L"\\rooted"})
    EXPECT_EQ(LongPathForm(same), same);
}

// ---- The one form of a path ------------------------------------------------------
//
// Every path the program receives passes CanonicalPath before it is compared
// or handed to the system. Pure text apart from the short names, whose
// expansion is checked with a fake of the system's answer.

using tamsel::CanonicalPath;
using tamsel::CanonicalPathText;
using tamsel::CanonicalPathUtf8;
using tamsel::PathDrives;
using tamsel::PathFault;

namespace {

std::wstring FormOf(const std::wstring& in, PathDrives drives = PathDrives::SystemOnly) {
  std::wstring out = L"(untouched)";
  PathFault f = CanonicalPath(in, drives, &out);
  return f == PathFault::None ? out : L"(refused " + std::to_wstring(static_cast<int>(f)) + L")";
}

PathFault FaultOf(const std::wstring& in, PathDrives drives = PathDrives::SystemOnly) {
  std::wstring out = L"(untouched)";
  PathFault f = CanonicalPath(in, drives, &out);
  EXPECT_TRUE(f == PathFault::None || out == L"(untouched)") << "a refused path yields no form";
  return f;
}

}  // namespace

TEST(CanonicalPath, SpellingsOfOnePathFoldToOneForm) {
  struct Case {
    const wchar_t* in;
    const wchar_t* form;
  };
  const Case cases[] = {
      {L"C:\\Users\\x", L"C:\\Users\\x"},
      {L"C:/Users/x", L"C:\\Users\\x"},
      {L"C:\\\\Users\\\\\\\\x", L"C:\\Users\\x"},
      {L"c:\\Users\\x\\", L"C:\\Users\\x"},  // the drive letter upper case, names as given
      {L"C:\\USERS\\X\\\\/", L"C:\\USERS\\X"},
      {L"C:/", L"C:\\"},
      {L"C:", L"C:\\"},
      {L"C:\\\\\\", L"C:\\"},
      {L"C:\\a..b\\.x\\..y", L"C:\\a..b\\.x\\..y"},
      {L"C:\\\u4E34\u65F6\\\U0001F600.txt", L"C:\\\u4E34\u65F6\\\U0001F600.txt"},
      {L"C:\\a\u007Fb", L"C:\\a\u007Fb"},  // DEL is a name character on NTFS
      {L"C:\\console\\nul0\\com10\\lpt\\auxx\\con_\\con$",
       L"C:\\console\\nul0\\com10\\lpt\\auxx\\con_\\con$"},
      {L"C:\\a b\\ c", L"C:\\a b\\ c"},              // leading spaces are kept by Windows
      {L"C:\\x~1\\PROGRA~1", L"C:\\x~1\\PROGRA~1"},  // no short names on the stand-in's disk
  };
  for (const Case& c : cases) {
    std::wstring form = FormOf(c.in);
    EXPECT_EQ(form, c.form) << tamsel::W2U(c.in);
    if (form[0] != L'(') {
      EXPECT_EQ(FormOf(form), form) << "the form is its own form";
    }
  }
  // Another drive only where any drive is meant.
  EXPECT_EQ(FormOf(L"d:/Data//x/", PathDrives::Any), L"D:\\Data\\x");
  std::wstring deep = L"C:";
  for (int i = 0; i < 400; ++i) deep += L"\\level" + std::to_wstring(i);
  EXPECT_EQ(FormOf(deep), deep);
  std::wstring out;
  ASSERT_EQ(CanonicalPathUtf8("C:/\xE4\xB8\xB4\xE6\x97\xB6//a", PathDrives::SystemOnly, &out),
            PathFault::None);
  EXPECT_EQ(out, L"C:\\\u4E34\u65F6\\a");
}

TEST(CanonicalPath, PathsTheSystemWouldReadOtherwiseAreRefusedWithTheirReason) {
  struct Case {
    std::wstring in;
    PathFault fault;
  };
  const std::wstring nul(1, L'\0');
  const Case cases[] = {
      {L"", PathFault::Empty},
      {std::wstring(L"C:\\x") + std::wstring(tamsel::kMaxPathChars, L'a'), PathFault::TooLong},
      // A control character anywhere, U+0000 included, above all at the end,
      // where the system stops reading.
      {L"C:\\Program Files" + nul, PathFault::Control},
      {L"C:\\Users\\x\\keep" + nul + L"\\", PathFault::Control},
      {L"C:\\a\tb", PathFault::Control},
      {L"C:\\a\nb", PathFault::Control},
      {L"C:\\a\x1F", PathFault::Control},
      {L"\\\\?\\C:\\Windows", PathFault::Namespace},
      {L"//?/C:/Windows", PathFault::Namespace},
      {L"\\\\.\\C:", PathFault::Namespace},
      {L"\\\\.\\PhysicalDrive0", PathFault::Namespace},
      {L"\\??\\C:\\Windows", PathFault::Namespace},
      {L"/?\?/C:/Windows", PathFault::Namespace},
      {L"\\\\?", PathFault::Namespace},
      {L"\\\\server\\share\\x", PathFault::Share},
      {L"//server/share", PathFault::Share},
      {L"\\\\", PathFault::Share},
      {L"relative\\x", PathFault::Relative},
      {L"\\rooted\\x", PathFault::Relative},
      {L"C:relative", PathFault::Relative},
      {L"C", PathFault::Relative},
      {L"1:\\x", PathFault::Relative},
      {L"D:\\x", PathFault::OtherDrive},
      {L"C:\\a\\..\\Windows", PathFault::DotSegment},
      {L"C:\\..", PathFault::DotSegment},
      {L"C:/./x", PathFault::DotSegment},
      {L"C:\\x\\.", PathFault::DotSegment},
      {L"C:\\Windows.\\x", PathFault::TrailingDotSpace},
      {L"C:\\Windows \\x", PathFault::TrailingDotSpace},
      {L"C:\\x\\name. ", PathFault::TrailingDotSpace},
      {L"C:\\x\\...", PathFault::TrailingDotSpace},
      {L"C:\\x\\   ", PathFault::TrailingDotSpace},
      {L"C:\\x\\CON", PathFault::DeviceName},
      {L"C:\\x\\nul.txt", PathFault::DeviceName},
      {L"C:\\x\\Aux.tar.gz", PathFault::DeviceName},
      {L"C:\\x\\prn \\y", PathFault::TrailingDotSpace},
      {L"C:\\x\\prn .txt", PathFault::DeviceName},
      {L"C:\\COM1\\y", PathFault::DeviceName},
      {L"C:\\x\\lpt9.log", PathFault::DeviceName},
      {L"C:\\x\\COM\u00B9", PathFault::DeviceName},
      {L"C:\\x\\conin$", PathFault::DeviceName},
      {L"C:\\x\\a:b", PathFault::ForbiddenChar},  // a stream
      {L"C:\\x\\a*", PathFault::ForbiddenChar},
      {L"C:\\x\\a?b", PathFault::ForbiddenChar},
      {L"C:\\x\\<y>", PathFault::ForbiddenChar},
      {L"C:\\x\\\"y\"", PathFault::ForbiddenChar},
      {L"C:\\x\\a|b", PathFault::ForbiddenChar},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FaultOf(c.in), c.fault) << tamsel::W2U(c.in);
    std::wstring out = L"(untouched)";
    EXPECT_EQ(CanonicalPathText(c.in, PathDrives::SystemOnly, &out), c.fault);
    EXPECT_EQ(out, L"(untouched)");
  }
  EXPECT_EQ(FaultOf(L"D:\\x\\con", PathDrives::Any), PathFault::DeviceName);
  // Each reason is a sentence of its own.
  for (int f = 1; f < static_cast<int>(PathFault::Count); ++f)
    EXPECT_STRNE(tamsel::PathFaultText(static_cast<PathFault>(f)), "") << f;
  EXPECT_STREQ(tamsel::PathFaultText(PathFault::Control), "路径含有控制字符");
  EXPECT_STREQ(tamsel::PathFaultText(PathFault::DotSegment), "路径不能包含 . 或 ..");
}

TEST(CanonicalPath, ComparisonsFoldAsciiCaseOnly) {
  using tamsel::PathAtOrWithin;
  using tamsel::PathWithin;
  using tamsel::SamePath;
  EXPECT_TRUE(SamePath(L"C:\\Users\\X", L"C:\\users\\x"));
  EXPECT_FALSE(SamePath(L"C:\\\u00C4", L"C:\\\u00E4"));
  EXPECT_FALSE(SamePath(L"C:\\Users\\x", L"C:\\Users\\xy"));
  EXPECT_TRUE(PathWithin(L"C:\\users\\x\\f.txt", L"C:\\Users\\X"));
  EXPECT_TRUE(PathWithin(L"C:\\x", L"C:\\"));
  EXPECT_FALSE(PathWithin(L"C:\\", L"C:\\"));
  EXPECT_FALSE(PathWithin(L"C:\\Users\\x", L"C:\\Users\\x"));
  EXPECT_FALSE(PathWithin(L"C:\\Windows.old\\x", L"C:\\Windows"));
  EXPECT_FALSE(PathWithin(L"C:\\x", L""));
  EXPECT_TRUE(PathAtOrWithin(L"C:\\windows", L"C:\\Windows"));
  EXPECT_TRUE(PathAtOrWithin(L"C:\\windows\\a", L"C:\\Windows"));
  EXPECT_FALSE(PathAtOrWithin(L"C:\\windowsa", L"C:\\Windows"));
}

// ---- Short names, through a fake of the system's expansion ---------------------

namespace {

// What the fake disk holds, by the folded short spelling: the long form the
// system would give. A prefix not listed does not exist.
std::map<std::wstring, std::wstring> g_disk;
std::vector<std::wstring> g_asked;

bool FakeLongName(const std::wstring& path, std::wstring* out) {
  g_asked.push_back(path);
  auto it = g_disk.find(tov::LowerAscii(path));
  if (it == g_disk.end()) return false;
  *out = it->second;
  return true;
}

class ShortNames : public ::testing::Test {
 protected:
  void SetUp() override {
    g_disk.clear();
    g_asked.clear();
    previous_ = tamsel::SetLongNameSeamForTest(FakeLongName);
  }
  void TearDown() override { tamsel::SetLongNameSeamForTest(previous_); }
  tamsel::LongNameSeam previous_ = nullptr;
};

std::wstring Env(const wchar_t* name) {
  return tamsel::ExpandEnvW(std::wstring(L"%") + name + L"%");
}

}  // namespace

TEST_F(ShortNames, TheLongestExistingPrefixIsExpandedAndTheRestKept) {
  g_disk[L"c:\\progra~1"] = L"C:\\Program Files";
  g_disk[L"c:\\users\\longna~1"] = L"C:\\Users\\Long Name";
  g_disk[L"c:\\users\\longna~1\\docume~1"] = L"C:\\Users\\Long Name\\Documents";
  g_disk[L"c:\\odd~1"] = L"C:\\odd.";  // a name only a \\?\ call could make
  EXPECT_EQ(FormOf(L"C:\\PROGRA~1"), L"C:\\Program Files");
  EXPECT_EQ(FormOf(L"c:/progra~1//Vendor/app.exe"), L"C:\\Program Files\\Vendor\\app.exe");
  EXPECT_EQ(FormOf(L"C:\\Users\\LONGNA~1\\DOCUME~1\\a.txt"),
            L"C:\\Users\\Long Name\\Documents\\a.txt");
  // A name past the part that exists stays as written, short or not.
  EXPECT_EQ(FormOf(L"C:\\Users\\LONGNA~1\\NEW~1\\b.txt"), L"C:\\Users\\Long Name\\NEW~1\\b.txt");
  EXPECT_EQ(FormOf(L"C:\\NOTHER~1\\x"), L"C:\\NOTHER~1\\x");
  // A name that was long already keeps the letters it was given; the
  // system answers with the directory's.
  g_disk[L"c:\\$windows.~bt"] = L"C:\\$WINDOWS.~BT";
  g_disk[L"c:\\users\\longna~1\\appdata"] = L"C:\\USERS\\Long Name\\APPDATA";
  EXPECT_EQ(FormOf(L"c:\\$Windows.~BT\\x"), L"C:\\$Windows.~BT\\x");
  EXPECT_EQ(FormOf(L"C:\\Users\\LONGNA~1\\AppData"), L"C:\\Users\\Long Name\\AppData");
  // The long form is itself checked.
  EXPECT_EQ(FaultOf(L"C:\\ODD~1\\x"), PathFault::TrailingDotSpace);
  // A path without "~" never asks the system.
  g_asked.clear();
  EXPECT_EQ(FormOf(L"C:\\Program Files\\x"), L"C:\\Program Files\\x");
  EXPECT_TRUE(g_asked.empty());
  // Nor does one that is refused by its text.
  EXPECT_EQ(FaultOf(L"C:\\PROGRA~1\\x\\..\\y"), PathFault::DotSegment);
  EXPECT_TRUE(g_asked.empty());
}

// The gate compares the short spelling of a system or home folder in its
// long form: C:\PROGRA~1 is the program-files folder, C:\Users\LONGNA~1
// the home folder.
TEST_F(ShortNames, TheGateSeesSystemAndHomeFoldersThroughTheirShortNames) {
  std::wstring pf = Env(L"ProgramFiles"), home = Env(L"USERPROFILE");
  ASSERT_EQ(pf.find(L'%'), std::wstring::npos);
  ASSERT_EQ(home.find(L'%'), std::wstring::npos);
  g_disk[L"c:\\progra~1"] = pf;
  g_disk[L"c:\\users\\longna~1"] = home;
  std::wstring reason;
  EXPECT_FALSE(tamsel::IsSafeDeletePath(L"C:\\PROGRA~1\\Vendor\\app.dll", false, reason));
  EXPECT_EQ(reason, L"系统目录(规则未声明 allowSystem)");
  EXPECT_TRUE(tamsel::IsSystemArea(L"C:\\PROGRA~1"));
  EXPECT_TRUE(tamsel::IsUnderDir(L"C:\\PROGRA~1\\x", pf));
  reason.clear();
  EXPECT_FALSE(tamsel::IsSafeDeletePath(L"C:\\Users\\LONGNA~1", false, reason));
  EXPECT_EQ(reason, L"用户主目录根");
  reason.clear();
  EXPECT_FALSE(tamsel::IsSafeDeletePath(L"C:/Users/LONGNA~1/", true, reason));
  EXPECT_EQ(reason, L"用户主目录根");
  // A protected path written short protects what the walk lists in long form.
  tamsel::SafetyContext ctx = tamsel::MakeSafetyContext({L"C:\\Users\\LONGNA~1\\Keep"});
  EXPECT_TRUE(tamsel::IsProtectedPath(ctx, home + L"\\Keep\\a.txt"));
  // A path the system would cut is refused by the gate, whatever it names.
  reason.clear();
  EXPECT_FALSE(
      tamsel::IsSafeDeletePath(home + L"\\notes.txt" + std::wstring(1, L'\0'), false, reason));
  EXPECT_EQ(reason, L"路径含有控制字符");
}

// The system's own expansion: a path that exists is its own long form (the
// letters as the directory keeps them); one that does not is not found on
// Windows, and the stand-in, which has no short names, answers every path
// with itself.
TEST(LongPathName, ExistingPathsAreTheirOwnLongForm) {
  std::wstring pf = Env(L"ProgramFiles");
  std::wstring out;
  ASSERT_TRUE(tov::LongPathName(pf, &out)) << tamsel::W2U(pf);
  EXPECT_TRUE(tamsel::SamePath(out, pf)) << tamsel::W2U(out);
  const std::wstring missing = L"C:\\tamsel-no-such-folder~1\\x";
  out.clear();
#ifdef _WIN32
  EXPECT_FALSE(tov::LongPathName(missing, &out));
  EXPECT_TRUE(out.empty());
#else
  EXPECT_TRUE(tov::LongPathName(missing, &out));
  EXPECT_EQ(out, missing);
#endif
  // Through the path module: the part that exists is asked, the rest kept.
  std::wstring form;
  ASSERT_EQ(CanonicalPath(pf + L"\\tamsel-no-such~1\\y", PathDrives::Any, &form), PathFault::None);
  EXPECT_TRUE(tamsel::SamePath(form, pf + L"\\tamsel-no-such~1\\y")) << tamsel::W2U(form);
}
