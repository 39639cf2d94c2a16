// The POSIX stand-in's own promises, which no Windows call has to keep: a
// name of the host is kept byte for byte through the program's wide form,
// and no path the stand-in maps leaves the drive's folder. Built for the
// native program only (the Windows build's names are the system's own, and
// its drive is the machine's); the cases the engine sees (a clean, the
// recycle bin) are in test_engine.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/fixture.h"
#include "support/fixture_test.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

class StandIn : public FixtureTest {};

// Writes a host file of `size` bytes, each the byte `fill`, by its host path.
void HostFile(const fs::path& p, size_t size, char fill) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << std::string(size, fill);
}

// The entries of a folder as the stand-in lists them.
std::vector<tov::DirEntry> Listed(const std::wstring& dir) {
  std::vector<tov::DirEntry> out;
  EXPECT_TRUE(tov::ListDir(dir, [&out](const tov::DirEntry& e) {
    out.push_back(e);
    return true;
  }));
  return out;
}

}  // namespace

// ---- Names, byte for byte ---------------------------------------------------------

TEST_F(StandIn, EveryListedNameOpensAndDeletesExactlyItsOwnEntry) {
  // Names that differ only in bytes that are not UTF-8, beside the names the
  // old reading made of them (U+FFFD): each file has its own size and fill.
  const std::vector<std::string> names = {
      "a\xFF.log",          // a lone byte that starts nothing
      "a\xFE.log",          // another one
      "a\xEF\xBF\xBD.log",  // U+FFFD itself, valid
      "b\xE4\xB8.log",      // a sequence cut short
      "b\xE4\xB8\xB4.log",  // the same sequence whole (U+4E34)
      "c\xC0\xAF.log",      // an overlong '/'
      "d\xED\xB3\xBF.log",  // a surrogate half written as UTF-8
      "e\\f.log",           // a backslash inside a name
      "e",                  // the folder that "e\f.log" would name
  };
  const fs::path dir = tov::HostPath(Root());
  for (size_t i = 0; i + 1 < names.size(); ++i)
    HostFile(dir / names[i], i + 1, static_cast<char>('A' + i));
  fs::create_directory(dir / "e");
  HostFile(dir / "e" / "f.log", 100, 'z');
  fs::create_directory(dir / "g\xFF");
  HostFile(dir / "g\xFF" / "in.log", 50, 'y');
  const Listing before = ListTree(Root());

  std::vector<tov::DirEntry> entries = Listed(Root());
  ASSERT_EQ(entries.size(), names.size() + 1);
  std::set<std::wstring> distinct;
  for (const tov::DirEntry& e : entries) distinct.insert(e.name);
  EXPECT_EQ(distinct.size(), entries.size()) << "two names were read as one";

  for (const tov::DirEntry& e : entries) {
    const std::wstring path = Join(Root(), e.name);
    if (e.attrs & tov::kAttrDirectory) continue;
    // The file read by its listed name is the file listed: its own size and fill.
    tov::FileInfo info;
    ASSERT_TRUE(tov::GetFileInfo(path, &info)) << tov::WideToUtf8(e.name);
    EXPECT_EQ(info.size, e.size);
    std::string bytes;
    ASSERT_TRUE(tov::ReadWholeFile(path, &bytes));
    ASSERT_EQ(bytes.size(), e.size);
    EXPECT_EQ(bytes, std::string(bytes.size(), bytes[0]));
  }

  // The folder with a byte that is not UTF-8 opens by handle and by path.
  tov::FsFault fault = tov::FsFault::None;
  tov::DirHandle root = tov::OpenWalkDir(Root(), &fault);
  ASSERT_NE(root, tov::kNoDir);
  std::vector<tov::DirEntry> atRoot;
  ASSERT_TRUE(tov::ListDirAt(root, &atRoot));
  ASSERT_EQ(atRoot.size(), entries.size());
  for (const tov::DirEntry& e : atRoot) {
    if (!(e.attrs & tov::kAttrDirectory) || e.name == L"e") continue;
    tov::DirHandle g = tov::OpenSubdir(root, e, &fault);
    ASSERT_NE(g, tov::kNoDir) << static_cast<int>(fault);
    std::vector<tov::DirEntry> inG;
    EXPECT_TRUE(tov::ListDirAt(g, &inG));
    ASSERT_EQ(inG.size(), 1u);
    EXPECT_EQ(inG[0].size, 50u);
    tov::CloseDir(g);
    tov::DirHandle byPath = tov::OpenWalkDir(Join(Root(), e.name), &fault);
    EXPECT_NE(byPath, tov::kNoDir);
    tov::CloseDir(byPath);
    EXPECT_EQ(Listed(Join(Root(), e.name)).size(), 1u);
  }

  // Deleting each file by its listed name, one at a time, takes that file
  // and no other: "a\xFF.log" by handle, the next by path, and so on.
  std::set<std::string> gone;
  bool byHandle = true;
  for (const tov::DirEntry& e : atRoot) {
    if (e.attrs & tov::kAttrDirectory) continue;
    std::string host;
    for (const auto& kv : before) {
      if (kv.second == "file " + std::to_string(e.size) && kv.first.find('/') == std::string::npos)
        host = kv.first;
    }
    ASSERT_FALSE(host.empty()) << e.size;
    if (byHandle) {
      EXPECT_TRUE(tov::DeleteFileAt(root, e.name, &fault)) << host;
    } else {
      EXPECT_TRUE(tov::DeleteFilePath(Join(Root(), e.name))) << host;
    }
    byHandle = !byHandle;
    gone.insert(host);
    EXPECT_EQ(Gone(before, ListTree(Root())), gone);
    EXPECT_TRUE(AddedOrChanged(before, ListTree(Root())).empty());
  }
  tov::CloseDir(root);
  EXPECT_EQ(gone.size(), names.size() - 1);
}

TEST_F(StandIn, ANameNoListingGivesNamesNothing) {
  // The escapes of "é"'s two bytes are not "é"; a surrogate half that is no
  // escape, and NUL, are no name at all. None of them reaches a file.
  HostFile(tov::HostPath(Root()) / "\xC3\xA9.log", 3, 'x');
  HostFile(tov::HostPath(Root()) / "\xEF\xBF\xBD.log", 4, 'x');
  const Listing before = ListTree(Root());
  const std::wstring kNotNames[] = {
      std::wstring(L"\xDCC3\xDCA9.log"),        // escapes that read as "é"
      std::wstring(L"\xD800.log"),              // a lone half that is no escape
      std::wstring(L"\xDC41.log"),              // an escape of an ASCII letter
      std::wstring(L"\xDCEF\xDCBF\xDCBD.log"),  // escapes that read as U+FFFD
      std::wstring(L"\u00E9.log\0x", 7),        // NUL inside: the host would cut it
  };
  for (const std::wstring& name : kNotNames) {
    const std::wstring path = Join(Root(), name);
    tov::FileInfo info;
    EXPECT_FALSE(tov::GetFileInfo(path, &info));
    EXPECT_FALSE(tov::DeleteFilePath(path));
    EXPECT_FALSE(tov::WriteWholeFile(path, "changed"));
    EXPECT_TRUE(tov::HostPath(path).empty());
    tov::FsFault fault = tov::FsFault::None;
    tov::DirHandle root = tov::OpenWalkDir(Root(), &fault);
    ASSERT_NE(root, tov::kNoDir);
    EXPECT_FALSE(tov::DeleteFileAt(root, name, &fault));
    tov::CloseDir(root);
  }
  EXPECT_EQ(ListTree(Root()), before);
}

// ---- The drive's folder, never above it --------------------------------------------

TEST_F(StandIn, NoPathLeavesTheDrivesFolder) {
  // A file and a folder of the host beside the drive's folder, and a folder
  // "c.." beside it that "C:..\x" would name: what a climbing path would reach.
  const fs::path hostRoot = tov::HostPath(L"C:").parent_path();
  const std::string tag = "outside-" + std::to_string(tov::ProcessId());
  const fs::path outside = hostRoot / tag;
  const fs::path sibling = hostRoot / "c..";
  fs::create_directories(outside / "dir");
  fs::create_directories(outside / "empty");
  fs::create_directories(sibling / tag / "dir");
  HostFile(outside / "secret.txt", 7, 's');
  HostFile(outside / "dir" / "inner.txt", 9, 'i');
  HostFile(sibling / tag / "secret.txt", 7, 's');
  HostFile(sibling / tag / "dir" / "inner.txt", 9, 'i');
  const std::wstring outsideW = tov::Utf8ToWide(outside.string());
  const std::wstring siblingW = tov::Utf8ToWide((sibling / tag).string());
  const Listing outsideBefore = ListTree(outsideW);
  const Listing siblingBefore = ListTree(siblingW);
  ASSERT_EQ(outsideBefore.size(), 4u);
  HostFile(tov::HostPath(Join(Root(), L"mine.txt")), 5, 'm');
  const Listing fixture = ListTree(Root());

  const std::wstring t = tov::Utf8ToWide(tag);
  const std::wstring fixtureUp = Root().substr(2) + L"\\..";  // \tamsel-t\<name>\..
  const std::wstring kClimbing[] = {
      L"C:\\..\\" + t,
      L"C:/../" + t,
      L"C:\\.\\..\\" + t,
      L"C:\\tamsel-t\\..\\..\\" + t,
      L"C:" + fixtureUp + L"\\..\\..\\" + t,
      L"C:\\\\..\\" + t,
      L"c:\\..\\" + t,
      L"C:..\\" + t,
      L"\\\\?\\C:\\..\\" + t,
  };
  for (const std::wstring& at : kClimbing) {
    SCOPED_TRACE(tov::WideToUtf8(at));
    const std::wstring secret = at + L"\\secret.txt";
    const std::wstring dir = at + L"\\dir";
    EXPECT_TRUE(tov::HostPath(secret).empty()) << tov::HostPath(secret);
    tov::FileInfo info;
    uint32_t attrs = 0;
    EXPECT_FALSE(tov::GetFileInfo(secret, &info));
    EXPECT_FALSE(tov::GetAttributes(secret, &attrs));
    EXPECT_FALSE(tov::GetAttributes(dir, &attrs));
    std::string read;
    EXPECT_FALSE(tov::ReadWholeFile(secret, &read));
    EXPECT_FALSE(tov::WriteWholeFile(secret, "changed"));
    EXPECT_FALSE(tov::SetNormalAttributes(secret));
    EXPECT_FALSE(tov::DeleteFilePath(secret));
    EXPECT_FALSE(tov::WriteFileDurable(secret, "changed"));
    EXPECT_FALSE(tov::ReplaceFileWith(secret, Join(Root(), L"taken.txt")));
    EXPECT_FALSE(tov::ReplaceFileWith(Join(Root(), L"mine.txt"), secret));
    EXPECT_EQ(tov::CreateNewFile(at + L"\\new.txt"), tov::kNoFile);
    EXPECT_FALSE(tov::CreateDir(at + L"\\newdir"));
    EXPECT_FALSE(tov::RemoveDirectoryPath(at + L"\\empty"));
    EXPECT_FALSE(tov::ListDir(dir, [](const tov::DirEntry&) { return true; }));
    EXPECT_FALSE(tov::ListDir(at, [](const tov::DirEntry&) { return true; }));
    tov::FsFault fault = tov::FsFault::None;
    tov::DirHandle h = tov::OpenWalkDir(dir, &fault);
    EXPECT_EQ(h, tov::kNoDir);
    tov::CloseDir(h);
    tov::SpaceListing listing;
    EXPECT_FALSE(tov::ListSpaceDir(dir, &listing, &fault));
    EXPECT_FALSE(tov::RecyclePath(secret, &fault));
    uint64_t a = 0, b = 0, c = 0;
    EXPECT_FALSE(tov::DiskFreeSpace(at, &a, &b, &c));
  }
  // The task store beside the drives keeps to itself too.
  uint32_t code = 0;
  EXPECT_FALSE(tov::RegisterScheduledTask(L"..\\" + t + L"\\task", "<Task/>", &code));
  std::string xml;
  EXPECT_FALSE(tov::ReadScheduledTaskXml(L"..\\" + t + L"\\secret.txt", &xml));
  EXPECT_EQ(xml, "");
  // The drive's own root and the root of the machine above it.
  tov::FileInfo info;
  EXPECT_TRUE(tov::GetFileInfo(L"C:\\", &info));
  EXPECT_FALSE(tov::GetFileInfo(L"C:\\..", &info));
  EXPECT_FALSE(tov::ListDir(L"C:\\..", [](const tov::DirEntry&) { return true; }));

  EXPECT_EQ(ListTree(outsideW), outsideBefore);
  EXPECT_EQ(ListTree(siblingW), siblingBefore);
  EXPECT_EQ(ListTree(Root()), fixture);
  std::error_code ec;
  fs::remove_all(outside, ec);
  fs::remove_all(sibling, ec);
}
