#include "fixture.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <system_error>
#include <vector>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, whose types it uses.
#include <winioctl.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

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

#ifdef _WIN32
// Under wine: the Linux path of a Windows path (wine's own export), empty
// elsewhere.
std::string UnixPathOf(const std::wstring& winPath) {
  using ToUnix = char*(__cdecl*)(const wchar_t*);
  HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
  auto toUnix = k32 ? reinterpret_cast<ToUnix>(
                          reinterpret_cast<void*>(GetProcAddress(k32, "wine_get_unix_file_name")))
                    : nullptr;
  if (!toUnix) return std::string();
  char* unix = toUnix(winPath.c_str());
  if (!unix) return std::string();
  std::string out(unix);
  HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

// Runs a program of the host (wine starts Linux programs too) and waits
// until done() says its work is visible: wine gives no exit code for a
// Linux process, and its handle may signal before the program has run.
bool RunHostProgram(std::wstring cmd, const std::function<bool()>& done) {
  // The child gets standard handles of its own: left to inherit ours, a
  // Linux child under wine takes the test's standard output with it.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = si.hStdOutput = si.hStdError = nul;
  PROCESS_INFORMATION pi;
  BOOL started =
      CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) return false;
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  for (int i = 0; i < 100 && !done(); ++i) Sleep(50);
  return done();
}

// Makes a Linux symbolic link with the host's ln, which wine shows as a
// reparse point.
bool WineSymlink(const std::wstring& link, const std::wstring& target, std::string* why) {
  std::string unixLink = UnixPathOf(link), unixTarget = UnixPathOf(target);
  if (unixLink.empty() || unixTarget.empty()) {
    *why = "not under wine: no way to make a link from the Linux side";
    return false;
  }
  std::wstring cmd = L"Z:\\bin\\ln -s \"" + tov::Utf8ToWide(unixTarget) + L"\" \"" +
                     tov::Utf8ToWide(unixLink) + L"\"";
  bool made = RunHostProgram(cmd, [&link] {
    uint32_t attrs = 0;
    return tov::GetAttributes(link, &attrs) && (attrs & tov::kAttrReparsePoint);
  });
  if (!made) *why = "the host's ln made no link";
  return made;
}
#endif

bool PlantDirLink(const std::wstring& link, const std::wstring& target, std::string* why) {
  std::error_code ec;
  fs::create_directories(Host(link).parent_path(), ec);
  fs::create_directory_symlink(Host(target), Host(link), ec);
#ifdef _WIN32
  if (ec && WineSymlink(link, target, why)) ec.clear();
#endif
  if (ec) {
    if (why->empty()) *why = "cannot make a directory link here: " + ec.message();
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

bool SwapForDirLink(const std::wstring& path, const std::wstring& target, std::string* why) {
  std::error_code ec;
  fs::rename(Host(path), Host(path + L".moved"), ec);
  if (ec) {
    *why = "cannot move the folder aside: " + ec.message();
    return false;
  }
  return PlantDirLink(path, target, why);
}

bool PlantPlaceholder(const std::wstring& winPath, uint64_t size, std::string* why) {
  if (!PlantFile(winPath, size)) {
    *why = "cannot plant the file";
    return false;
  }
#ifdef _WIN32
  SetFileAttributesW(tov::LongPathForm(winPath).c_str(), FILE_ATTRIBUTE_OFFLINE);
#else
  std::error_code ec;
  fs::permissions(Host(winPath), fs::perms::sticky_bit, fs::perm_options::add, ec);
#endif
  uint32_t attrs = 0;
  if (tov::GetAttributes(winPath, &attrs) && (attrs & tov::kAttrNotLocal)) return true;
  *why = "this system keeps no placeholder attribute on a file (wine drops OFFLINE)";
  return false;
}

bool LimitFileSizes(uint64_t bytes) {
#ifdef _WIN32
  (void)bytes;
  return false;
#else
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
  limit.rlim_cur = bytes == 0 ? limit.rlim_max : static_cast<rlim_t>(bytes);
  return setrlimit(RLIMIT_FSIZE, &limit) == 0;
#endif
}

bool MakeReadOnlyDir(const std::wstring& winPath) {
#ifdef _WIN32
  DWORD a = GetFileAttributesW(tov::LongPathForm(winPath).c_str());
  SetFileAttributesW(tov::LongPathForm(winPath).c_str(), a | FILE_ATTRIBUTE_READONLY);
#else
  std::error_code ec;
  fs::permissions(Host(winPath),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove, ec);
#endif
  uint32_t attrs = 0;
  return tov::GetAttributes(winPath, &attrs) && (attrs & tov::kAttrReadOnly);
}

bool WriteAt(const std::wstring& winPath, uint64_t offset, const std::string& bytes) {
  std::fstream f(Host(winPath), std::ios::binary | std::ios::in | std::ios::out);
  if (!f) return false;
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  f.close();
  return !f.fail();
}

std::string ReadAt(const std::wstring& winPath, uint64_t offset, size_t length) {
  std::ifstream f(Host(winPath), std::ios::binary);
  std::string out(length, '\0');
  if (!f.seekg(static_cast<std::streamoff>(offset)) ||
      !f.read(&out[0], static_cast<std::streamsize>(length)))
    return std::string();
  return out;
}

std::string SparseCallsProbe(const std::wstring& winPath) {
#ifdef _WIN32
  std::wstring p = tov::LongPathForm(winPath);
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "no file: error " + std::to_string(GetLastError());
  auto result = [](BOOL ok) {
    return ok ? std::string("ok") : "error " + std::to_string(GetLastError());
  };
  DWORD got = 0;
  std::string out = "FSCTL_SET_SPARSE " + result(DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0,
                                                                 nullptr, 0, &got, nullptr));
  LARGE_INTEGER end;
  end.QuadPart = 64 << 20;
  SetFilePointerEx(h, end, nullptr, FILE_BEGIN);
  SetEndOfFile(h);
  BY_HANDLE_FILE_INFORMATION info = {};
  GetFileInformationByHandle(h, &info);
  out += (info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) ? ", reported sparse"
                                                              : ", not reported sparse";
  FILE_ALLOCATED_RANGE_BUFFER query = {}, ranges[4] = {};
  query.Length.QuadPart = end.QuadPart;
  out += ", FSCTL_QUERY_ALLOCATED_RANGES " +
         result(DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, ranges,
                                sizeof ranges, &got, nullptr));
  CloseHandle(h);
  return out;
#else
  (void)winPath;
  return std::string();
#endif
}

bool StampDir(const std::wstring& winPath, uint32_t attrs, uint64_t mtime) {
#ifdef _WIN32
  std::wstring p = tov::LongPathForm(winPath);
  HANDLE h = CreateFileW(p.c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(mtime);
  t.dwHighDateTime = static_cast<DWORD>(mtime >> 32);
  bool ok = ::SetFileTime(h, nullptr, nullptr, &t) != FALSE;
  CloseHandle(h);
  return ok && SetFileAttributesW(p.c_str(), attrs ? attrs : FILE_ATTRIBUTE_NORMAL) != FALSE;
#else
  std::string host = Host(winPath).string();
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(mtime / 10000000 - 11644473600ULL);
  times[1].tv_nsec = static_cast<long>(mtime % 10000000) * 100;
  if (utimensat(AT_FDCWD, host.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return false;
  std::error_code ec;
  fs::permissions(
      Host(winPath), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
      (attrs & tov::kAttrReadOnly) ? fs::perm_options::remove : fs::perm_options::add, ec);
  return !ec;
#endif
}

HeldOpen::HeldOpen(const std::wstring& winPath) {
#ifdef _WIN32
  HANDLE h = CreateFileW(tov::LongPathForm(winPath).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) handle_ = reinterpret_cast<intptr_t>(h);
#else
  int fd = open(Host(winPath).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
    handle_ = fd;
  } else if (fd >= 0) {
    close(fd);
  }
#endif
}

HeldOpen::~HeldOpen() {
  if (handle_ == -1) return;
#ifdef _WIN32
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
#else
  close(static_cast<int>(handle_));
#endif
}

bool Exists(const std::wstring& winPath) {
  std::error_code ec;
  return fs::symlink_status(Host(winPath), ec).type() != fs::file_type::not_found && !ec;
}

#ifdef _WIN32
// Wine shows a Linux link to a directory as a reparse point, but the
// standard library would take it for a folder and empty its target: links
// are found through the seam and removed by the host's rm first.
void RemoveWineLinks(const std::wstring& dir) {
  std::vector<std::wstring> links, subdirs;
  tov::ListDir(dir, [&](const tov::DirEntry& e) {
    std::wstring full = Join(dir, e.name);
    if (e.attrs & tov::kAttrReparsePoint)
      links.push_back(full);
    else if (e.attrs & tov::kAttrDirectory)
      subdirs.push_back(full);
    return true;
  });
  for (const std::wstring& sub : subdirs) RemoveWineLinks(sub);
  for (const std::wstring& link : links) {
    std::string unix = UnixPathOf(link);
    if (unix.empty()) continue;
    RunHostProgram(L"Z:\\bin\\rm -f \"" + tov::Utf8ToWide(unix) + L"\"", [&link] {
      uint32_t attrs = 0;
      return !tov::GetAttributes(link, &attrs);
    });
  }
}
#endif

void RemoveTree(const std::wstring& winPath) {
#ifdef _WIN32
  uint32_t attrs = 0;
  if (tov::GetAttributes(winPath, &attrs) && (attrs & tov::kAttrDirectory) &&
      !(attrs & tov::kAttrReparsePoint))
    RemoveWineLinks(winPath);
#endif
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
#ifdef _WIN32
  // mingw's standard library stops at a path past MAX_PATH; the host's rm
  // does not, so that a long-path fixture never outlives its test.
  uint32_t left = 0;
  if (!tov::GetAttributes(winPath, &left)) return;
  std::string unix = UnixPathOf(winPath);
  if (unix.empty()) return;
  RunHostProgram(L"Z:\\bin\\rm -rf \"" + tov::Utf8ToWide(unix) + L"\"", [&winPath] {
    uint32_t attrs = 0;
    return !tov::GetAttributes(winPath, &attrs);
  });
#endif
}

#ifdef _WIN32
// Under wine the standard library does not know Linux links for what they
// are; the seam's listing does, and links are never followed.
void ListInto(const std::wstring& dir, const std::string& rel, Listing& out) {
  tov::ListDir(dir, [&](const tov::DirEntry& e) {
    std::string name = (rel.empty() ? "" : rel + "/") + tov::WideToUtf8(e.name);
    if (e.attrs & tov::kAttrReparsePoint) {
      out[name] = "link";
    } else if (e.attrs & tov::kAttrDirectory) {
      out[name] = "dir";
      ListInto(Join(dir, e.name), name, out);
    } else {
      out[name] = "file " + std::to_string(e.size) + ((e.attrs & tov::kAttrReadOnly) ? " ro" : "");
    }
    return true;
  });
}
#endif

Listing ListTree(const std::wstring& winPath) {
  Listing out;
#ifdef _WIN32
  ListInto(winPath, "", out);
  return out;
#endif
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
