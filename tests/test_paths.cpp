// The long-path form every file-system call of the Windows backend takes.
// Pure text, so the same cases run in both builds; under wine the walk tests
// on trees deeper than 260 characters exercise it against a file system.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

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
