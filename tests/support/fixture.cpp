#include "fixture.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace testsupport {
namespace {

#ifndef _WIN32
// Test programs run side by side (ctest -j). The recycle bin, the
// hibernation file and the desktop are machine-wide, so each test program
// gets an emulated machine of its own, beside the executable, unless the
// caller chose one. This runs before main, before the stand-in reads the
// variable for the first time.
const bool g_ownMachine = [] {
  if (!std::getenv("TAMSEL_ROOT")) {
    std::string exe = tov::WideToUtf8(tov::ModuleFileName());
    size_t slash = exe.rfind('/');
    if (slash != std::string::npos) {
      std::string root = exe.substr(0, slash) + "/winroot-" + exe.substr(slash + 1);
      setenv("TAMSEL_ROOT", root.c_str(), 0);
    }
  }
  return true;
}();
#endif

fs::path Host(const std::wstring& winPath) {
  return tov::HostPath(winPath);
}

bool IsLink(const fs::path& p) {
  std::error_code ec;
  return fs::symlink_status(p, ec).type() == fs::file_type::symlink;
}

// Sets the last-write time to a FILETIME value. The standard library's clock
// and the seam's FILETIME differ by an epoch we need not know: the file's
// current time read both ways gives the offset. Some standard libraries
// (mingw's) work in whole seconds, so the first step can land short of the
// goal; a second step from there corrects it.
bool SetFileTime(const std::wstring& winPath, uint64_t fileTime) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    tov::FileInfo info;
    if (!tov::GetFileInfo(winPath, &info)) return false;
    if (info.mtime == fileTime) return true;
    std::error_code ec;
    fs::file_time_type now = fs::last_write_time(Host(winPath), ec);
    if (ec) return false;
    int64_t delta100ns = static_cast<int64_t>(fileTime) - static_cast<int64_t>(info.mtime);
    auto delta = std::chrono::duration_cast<fs::file_time_type::duration>(
        std::chrono::nanoseconds(delta100ns * 100));
    fs::last_write_time(Host(winPath), now + delta, ec);
    if (ec) return false;
  }
  tov::FileInfo info;
  return tov::GetFileInfo(winPath, &info) && info.mtime == fileTime;
}

}  // namespace

void EnsureDriveC() {
  std::error_code ec;
  fs::create_directories(Host(L"C:\\"), ec);
}

std::wstring Join(const std::wstring& a, const std::wstring& b) {
  return a + L"\\" + b;
}

std::wstring Parent(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  return cut == std::wstring::npos ? path : path.substr(0, cut);
}

std::wstring FreshFixture(const std::string& name) {
  EnsureDriveC();
  std::wstring dir = L"C:\\tamsel-t\\" + tov::Utf8ToWide(name);
  RemoveTree(dir);
  MakeDir(dir);
  return dir;
}

bool MakeDir(const std::wstring& winPath) {
  std::error_code ec;
  fs::create_directories(Host(winPath), ec);
  return !ec && fs::is_directory(Host(winPath), ec);
}

bool PlantFile(const std::wstring& winPath, uint64_t size, bool readOnly, uint64_t mtime) {
  fs::path p = Host(winPath);
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    if (!out) return false;
  }
  fs::resize_file(p, size, ec);
  if (ec) return false;
  // The time first: a read-only file's time cannot be changed on Windows.
  if (mtime != 0 && !SetFileTime(winPath, mtime)) return false;
  if (readOnly) {
    fs::permissions(p, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, ec);
    if (ec) return false;
  }
  return true;
}

bool PlantDirLink(const std::wstring& link, const std::wstring& target, std::string* why) {
  std::error_code ec;
  fs::create_directories(Host(link).parent_path(), ec);
  fs::create_directory_symlink(Host(target), Host(link), ec);
  if (ec) {
    *why = "cannot make a directory link here: " + ec.message();
    return false;
  }
  // Only a link the program sees as a directory reparse point is useful.
  uint32_t attrs = 0;
  if (tov::GetAttributes(link, &attrs) && (attrs & tov::kAttrReparsePoint) &&
      (attrs & tov::kAttrDirectory))
    return true;
  fs::remove(Host(link), ec);
  *why = "a directory link made here is no reparse point to the program";
  return false;
}

bool Exists(const std::wstring& winPath) {
  std::error_code ec;
  return fs::symlink_status(Host(winPath), ec).type() != fs::file_type::not_found && !ec;
}

void RemoveTree(const std::wstring& winPath) {
  fs::path root = Host(winPath);
  std::error_code ec;
  if (fs::symlink_status(root, ec).type() == fs::file_type::not_found) return;
  if (!IsLink(root) && fs::is_directory(root, ec)) {
    std::vector<fs::path> all;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
      all.push_back(it->path());
    for (const fs::path& p : all)
      if (!IsLink(p)) fs::permissions(p, fs::perms::owner_write, fs::perm_options::add, ec);
  }
  if (!IsLink(root)) fs::permissions(root, fs::perms::owner_write, fs::perm_options::add, ec);
  fs::remove_all(root, ec);
}

Listing ListTree(const std::wstring& winPath) {
  Listing out;
  fs::path root = Host(winPath);
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().lexically_relative(root).generic_u8string();
    fs::file_status st = it->symlink_status(ec);
    if (st.type() == fs::file_type::symlink) {
      out[name] = "link";
    } else if (st.type() == fs::file_type::directory) {
      out[name] = "dir";
    } else {
      std::string v = "file " + std::to_string(it->file_size(ec));
      if ((st.permissions() & fs::perms::owner_write) == fs::perms::none) v += " ro";
      out[name] = v;
    }
  }
  return out;
}

std::set<std::string> Gone(const Listing& before, const Listing& after) {
  std::set<std::string> gone;
  for (const auto& kv : before)
    if (!after.count(kv.first)) gone.insert(kv.first);
  return gone;
}

std::set<std::string> AddedOrChanged(const Listing& before, const Listing& after) {
  std::set<std::string> diff;
  for (const auto& kv : after) {
    auto it = before.find(kv.first);
    if (it == before.end() || it->second != kv.second) diff.insert(kv.first);
  }
  return diff;
}

}  // namespace testsupport
