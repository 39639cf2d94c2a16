// POSIX stand-in of the platform: one Windows machine emulated inside a
// directory tree, the way a wine prefix does it. It exists for the
// development loop (sanitizers, debugger, fuzzing, benchmarks) and the demo
// run; it is not a Linux cleaner.
//
// What it emulates:
// - Drives. The root folder comes from TAMSEL_ROOT (default: "winroot" next
//   to the executable). C:\a\b lives at <root>/c/a/b: the drive letter is
//   lowered, backslashes become slashes. A path without a drive letter is
//   taken as a host path (only reading uses that: the static-file folder).
//   Anything that changes files refuses paths outside the drives, so this
//   build can never delete a file of the machine it runs on.
// - Environment. SystemDrive, SystemRoot, windir, ProgramFiles,
//   ProgramFiles(x86), ProgramW6432, ProgramData, ALLUSERSPROFILE,
//   USERPROFILE, APPDATA, LOCALAPPDATA, TEMP, TMP, PUBLIC, HOMEDRIVE,
//   HOMEPATH and USERNAME have the values of a standard installation for the
//   current user, unless the real environment sets them to a drive path.
//   Other names fall back to the real environment. Names ignore case.
// - Files. A symbolic link is a reparse point (to a directory: attributes
//   0x410, never followed); a file without the owner's write bit is
//   read-only, and deleting it fails until its attributes are reset, as on
//   Windows; a directory without it is a read-only directory. A regular file
//   with the sticky bit set (chmod +t) stands for a cloud placeholder
//   (FILE_ATTRIBUTE_OFFLINE | RECALL_ON_DATA_ACCESS). A mount point inside a
//   drive is a reparse point to the walk by handle, as on NTFS. Sizes and times come from fstatat
//   relative to the listed directory; times are converted to FILETIME. Listings come sorted by name
//   without regard to ASCII case, like NTFS.
// - Free space. A drive whose folder has a file <root>/<letter>.capacity
//   beside it (the demo drive: decimal bytes) reports that capacity as its
//   size and the capacity minus the sizes of the files on it as free, so
//   that a clean frees what it deletes; the sizes are summed by one walk of
//   the drive, kept for kFreeSpaceCacheMs and walked again sooner only after
//   this program deleted something. Other drives report statvfs.
// - Shell folders are fixed paths under the profile; the recycle bin is the
//   folder C:\$Recycle.Bin, each file below it one item; the administrator
//   test is "effective user is root".
// - Programs: only "powercfg.exe /hibernate off|on" runs, by its full path in
//   the system folder; it removes or recreates C:\hiberfil.sys and needs
//   administrator rights. Scheduled tasks are definitions kept in
//   <root>/tasks.
// What it does not: letter case stays significant in file names, there are no
// ACLs, no other drive than those present as folders under the root.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/common/internal.h"
#include "platform/platform.h"
#include "platform/posix/stand_in.h"

namespace tov {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// Threads start with a stack of 512 KiB instead of glibc's default, the
// 8 MiB of "ulimit -s". glibc keeps up to 40 MiB of the stacks of ended
// threads for reuse: five stacks of the default size, so a server that
// starts a thread per connection would map and unmap a stack for nearly
// every connection under load, and each unmap interrupts the other CPUs to
// flush their TLBs. With 512 KiB, eighty stacks stay ready. The deepest user
// is a walker 65 directories down, which needs less than 256 KiB even with
// AddressSanitizer's larger frames (a Windows thread reserves 2 MiB here).
constexpr size_t kThreadStackBytes = 512 * 1024;

const bool g_threadStacksSet = [] {
  pthread_attr_t attr;
  if (pthread_getattr_default_np(&attr) != 0) return false;
  bool ok = pthread_attr_setstacksize(&attr, kThreadStackBytes) == 0 &&
            pthread_setattr_default_np(&attr) == 0;
  pthread_attr_destroy(&attr);
  return ok;
}();

// Host path of the stand-in's root folder, computed once.
const std::string& RootDir() {
  static const std::string root = [] {
    const char* env = getenv("TAMSEL_ROOT");
    if (env && *env) return std::string(env);
    std::string exe = WideToUtf8(ModuleFileName());
    size_t slash = exe.rfind('/');
    return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/winroot";
  }();
  return root;
}

// Maps a path to the host. Returns false for a path without a drive letter
// when onlyDrives is set.
bool MapPath(const std::wstring& path, bool onlyDrives, std::string* host) {
  std::string s = WideToUtf8(path);
  for (char& c : s)
    if (c == '\\') c = '/';
  if (!IsDrivePath(s)) {
    if (onlyDrives) return false;
    *host = s;
    return true;
  }
  const std::string& root = RootDir();
  host->clear();
  host->reserve(root.size() + s.size());
  *host += root;
  *host += '/';
  *host += static_cast<char>(s[0] | 0x20);
  host->append(s, 2, std::string::npos);
  // "C:\a\" names the same entry as "C:\a"; a trailing slash would make
  // lstat follow a link that Windows reports as the link itself.
  while (host->size() > 1 && host->back() == '/') host->pop_back();
  return true;
}

// NTFS order: by name with ASCII letters folded to upper case, byte by
// byte; names equal that way by their bytes. Strings compare their bytes as
// unsigned, and a name that is the start of another comes first.
bool NameBefore(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    unsigned fx = (*x >= 'a' && *x <= 'z') ? *x - 32u : *x;
    unsigned fy = (*y >= 'a' && *y <= 'z') ? *y - 32u : *y;
    if (fx != fy) return fx < fy;
    if (*x == 0) break;  // both ended: only NUL folds to NUL
  }
  return strcmp(a, b) < 0;
}

// The listings open on this thread, innermost last. The walkers list a
// subdirectory while the listing of its parent is still open; opening it
// relative to the parent's descriptor spares the kernel the lookup of every
// element of the full path once more, for each directory of a deep tree.
struct OpenListing {
  const std::string* host;
  int fd;
};
thread_local std::vector<OpenListing> t_listings;

class ListingScope {
 public:
  ListingScope(const std::string* host, int fd) { t_listings.push_back(OpenListing{host, fd}); }
  ~ListingScope() { t_listings.pop_back(); }
  ListingScope(const ListingScope&) = delete;
  ListingScope& operator=(const ListingScope&) = delete;
};

// Opens a directory to list it: relative to the innermost open listing when
// it is a direct child of that one, else by its full path. Either way the
// last element must be a real directory, never a link.
int OpenForListing(const std::string& host) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  if (!t_listings.empty()) {
    const std::string& parent = *t_listings.back().host;
    size_t n = parent.size();
    if (host.size() > n + 1 && host.compare(0, n, parent) == 0 && host[n] == '/' &&
        host.find('/', n + 1) == std::string::npos)
      return openat(t_listings.back().fd, host.c_str() + n + 1, kFlags);
  }
  return open(host.c_str(), kFlags);
}

// The names of a directory stream but "." and "..", in NTFS order. They go
// into one buffer, each ended by its NUL, and are sorted as offsets into it:
// a listing costs a handful of allocations instead of two strings per
// entry, and sorting moves small numbers, not strings.
void SortedNames(DIR* d, std::string* pool, std::vector<size_t>* names) {
  while (struct dirent* e = readdir(d)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    names->push_back(pool->size());
    pool->append(n, strlen(n) + 1);
  }
  const char* base = pool->data();
  std::sort(names->begin(), names->end(),
            [base](size_t a, size_t b) { return NameBefore(base + a, base + b); });
}

// The names of the directory open as fd, in NTFS order (SortedNames), and
// its stream, which owns fd now, for closedir; null, with fd closed, when
// it cannot be read.
DIR* ReadSortedNames(int fd, std::string* pool, std::vector<size_t>* names) {
  if (fd < 0) return nullptr;
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return nullptr;
  }
  SortedNames(d, pool, names);
  return d;
}

std::string UserName() {
  if (struct passwd* pw = getpwuid(geteuid())) return pw->pw_name;
  const char* u = getenv("USER");
  return u && *u ? u : "user";
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// The value of a Windows environment variable as the stand-in sees it.
bool LookupVariable(const std::wstring& name, std::wstring* value) {
  static const std::vector<std::pair<std::wstring, std::wstring>> vars = [] {
    std::wstring user = Utf8ToWide(UserName());
    std::wstring profile = L"C:\\Users\\" + user;
    std::vector<std::pair<std::wstring, std::wstring>> v = {
        {L"SystemDrive", L"C:"},
        {L"SystemRoot", L"C:\\Windows"},
        {L"windir", L"C:\\Windows"},
        {L"ProgramFiles", L"C:\\Program Files"},
        {L"ProgramFiles(x86)", L"C:\\Program Files (x86)"},
        {L"ProgramW6432", L"C:\\Program Files"},
        {L"ProgramData", L"C:\\ProgramData"},
        {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
        {L"USERPROFILE", profile},
        {L"APPDATA", profile + L"\\AppData\\Roaming"},
        {L"LOCALAPPDATA", profile + L"\\AppData\\Local"},
        {L"TEMP", profile + L"\\AppData\\Local\\Temp"},
        {L"TMP", profile + L"\\AppData\\Local\\Temp"},
        {L"PUBLIC", L"C:\\Users\\Public"},
        {L"HOMEDRIVE", L"C:"},
        {L"HOMEPATH", L"\\Users\\" + user},
        {L"USERNAME", user},
    };
    // A real variable wins when it names a drive path, so that tests can
    // move a folder; a Linux value such as TMP=/tmp is no Windows path.
    for (auto& kv : v) {
      const char* real = getenv(WideToUtf8(kv.first).c_str());
      if (real && IsDrivePath(real)) kv.second = Utf8ToWide(real);
    }
    return v;
  }();
  for (const auto& kv : vars) {
    if (EqualsNoCase(kv.first, name)) {
      *value = kv.second;
      return true;
    }
  }
  const char* real = getenv(WideToUtf8(name).c_str());
  if (!real) return false;
  *value = Utf8ToWide(real);
  return true;
}

// Removes everything below a host directory; true when all of it went.
bool RemoveTreeContent(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool ok = true;
  while (struct dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string full = dir + "/" + e->d_name;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      ok = RemoveTreeContent(full) && ok;
      ok = rmdir(full.c_str()) == 0 && ok;
    } else {
      ok = unlink(full.c_str()) == 0 && ok;
    }
  }
  closedir(d);
  return ok;
}

void CountTree(const std::string& dir, uint64_t* items, uint64_t* bytes) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (struct dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      CountTree(dir + "/" + e->d_name, items, bytes);
    } else {
      ++*items;
      *bytes += static_cast<uint64_t>(st.st_size);
    }
  }
  closedir(d);
}

std::string RecycleBinDir() {
  return RootDir() + "/c/$Recycle.Bin";
}

// ---- The demo drive's free space ----------------------------------------------

// How long one walk's sum of the file sizes stands when nothing was deleted.
constexpr uint64_t kFreeSpaceCacheMs = 10000;

// Bumped by every deletion of the stand-in, so that the next free-space
// query walks the drive again.
std::atomic<uint64_t> g_deletions{0};

struct UsedCache {
  std::mutex lock;
  std::string host;        // the drive folder summed
  uint64_t used = 0;       // bytes of its files
  uint64_t at = 0;         // TickCount64 of the sum
  uint64_t deletions = 0;  // g_deletions at the sum
  bool valid = false;
};
UsedCache g_used;

// The capacity written beside the drive folder, or 0 when there is none.
uint64_t CapacityOf(const std::string& driveHost) {
  std::string file = driveHost;
  while (file.size() > 1 && file.back() == '/') file.pop_back();
  FILE* f = fopen((file + ".capacity").c_str(), "rb");
  if (!f) return 0;
  unsigned long long cap = 0;
  if (fscanf(f, "%llu", &cap) != 1) cap = 0;
  fclose(f);
  return cap;
}

uint64_t UsedBytes(const std::string& driveHost) {
  std::lock_guard<std::mutex> guard(g_used.lock);
  uint64_t now = TickCount64();
  uint64_t deletions = g_deletions.load();
  if (!g_used.valid || g_used.host != driveHost || g_used.deletions != deletions ||
      now - g_used.at >= kFreeSpaceCacheMs) {
    uint64_t items = 0, bytes = 0;
    CountTree(driveHost, &items, &bytes);
    g_used.host = driveHost;
    g_used.used = bytes;
    g_used.at = now;
    g_used.deletions = deletions;
    g_used.valid = true;
  }
  return g_used.used;
}

}  // namespace

// ---- Shared with the stand-in's other files (stand_in.h) ------------------------

uint64_t ToFileTime(const struct timespec& ts) {
  int64_t t =
      (static_cast<int64_t>(ts.tv_sec) + kFileTimeEpochSeconds) * 10000000LL + ts.tv_nsec / 100;
  return t < 0 ? 0 : static_cast<uint64_t>(t);
}

uint32_t AttrsOf(const struct stat& st, bool linkToDir) {
  if (S_ISLNK(st.st_mode)) return kAttrReparsePoint | (linkToDir ? kAttrDirectory : kAttrArchive);
  uint32_t a = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
  if (!(st.st_mode & S_IWUSR)) a |= kAttrReadOnly;
  if (S_ISREG(st.st_mode) && (st.st_mode & S_ISVTX)) a |= kAttrOffline | kAttrRecallOnDataAccess;
  return a;
}

bool LinkPointsToDir(int dirfd, const char* name) {
  struct stat target;
  return fstatat(dirfd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
}

FsFault FaultOfSystemCode(uint32_t code) {
  switch (code) {
    case ENOENT:
      return FsFault(FsFault::Gone, code);
    case EBUSY:
    case ETXTBSY:
      return FsFault(FsFault::InUse, code);
    case EACCES:
    case EPERM:
    case EROFS:
      return FsFault(FsFault::Denied, code);
    case ELOOP:    // a link where O_NOFOLLOW allows none
    case ENOTDIR:  // a file where a folder was listed (or a link to one)
    case EISDIR:
      return FsFault(FsFault::Link, code);
    default:
      return FsFault(FsFault::Other, code);
  }
}

// ---- Text ---------------------------------------------------------------------

namespace {

// Decodes n bytes of UTF-8 into *out, replacing its content but keeping its
// capacity: a listing decodes every name into the same buffer.
void DecodeUtf8(const char* text, size_t n, std::wstring* out) {
  out->clear();
  std::wstring& o = *out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    uint32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c, len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F, len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F, len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07, len = 4;
    } else {
      o.push_back(kReplacement);
      ++i;
      continue;
    }
    bool valid = i + len <= n;
    for (size_t k = 1; valid && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80)
        valid = false;
      else
        cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are invalid too.
    if (valid && ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
                  (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF))
      valid = false;
    if (!valid) {
      o.push_back(kReplacement);
      ++i;
      continue;
    }
    o.push_back(static_cast<wchar_t>(cp));
    i += len;
  }
}

}  // namespace

std::wstring Utf8ToWide(const std::string& s) {
  std::wstring out;
  out.reserve(s.size());
  DecodeUtf8(s.data(), s.size(), &out);
  return out;
}

std::string WideToUtf8(const std::wstring& s) {
  std::string out;
  out.reserve(s.size());
  for (wchar_t c : s) {
    uint32_t cp = static_cast<uint32_t>(c);
    // A lone surrogate half is no character: U+FFFD, as Windows writes it.
    AppendUtf8(cp >= 0xD800 && cp <= 0xDFFF ? static_cast<uint32_t>(kReplacement) : cp, &out);
  }
  return out;
}

// ---- Process and console ---------------------------------------------------------

std::vector<std::string> CommandLineArgs(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void AttachParentConsoleIfNoStdout() {}

std::wstring ModuleFileName() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::wstring();
  return Utf8ToWide(std::string(buf, static_cast<size_t>(n)));
}

uint64_t TickCount64() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool SystemRandomBytes(void* buf, size_t len) {
  unsigned char* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    // Large requests may come back short, and a signal may interrupt one.
    ssize_t n = getrandom(p, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool IsProcessAdmin() {
  return geteuid() == 0;
}

namespace {

// The stand-in's task store: <root>/tasks/<Folder>/<Task>, each file the
// XML definition as the program registered it (UTF-16 with its byte-order
// mark, as Windows keeps them).
std::string TaskStorePath(const std::wstring& name) {
  std::string n = WideToUtf8(name);
  for (char& c : n)
    if (c == '\\') c = '/';
  return RootDir() + "/tasks/" + n;
}

}  // namespace

bool ReadScheduledTaskXml(const std::wstring& name, std::string* xml) {
  xml->clear();
  std::string raw;
  FILE* f = fopen(TaskStorePath(name).c_str(), "rb");
  if (!f) return false;
  ReadStreamToEnd(f, &raw);
  // UTF-16LE after its byte-order mark, as the definition was written.
  size_t at = raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
                      static_cast<unsigned char>(raw[1]) == 0xFE
                  ? 2
                  : 0;
  std::wstring text;
  for (; at + 1 < raw.size(); at += 2) {
    uint32_t u =
        static_cast<unsigned char>(raw[at]) | (static_cast<unsigned char>(raw[at + 1]) << 8);
    if (u >= 0xD800 && u <= 0xDBFF && at + 3 < raw.size()) {
      uint32_t lo =
          static_cast<unsigned char>(raw[at + 2]) | (static_cast<unsigned char>(raw[at + 3]) << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        at += 2;
      }
    }
    text.push_back(static_cast<wchar_t>(u));
  }
  *xml = WideToUtf8(text);
  return true;
}

bool RegisterScheduledTask(const std::wstring& name, const std::string& xml, uint32_t* code) {
  std::string store = TaskStorePath(name);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(store).parent_path(), ec);
  std::wstring text = Utf8ToWide(xml);
  std::string raw = "\xFF\xFE";
  auto unit = [&raw](uint32_t u) {
    raw.push_back(static_cast<char>(u & 0xFF));
    raw.push_back(static_cast<char>(u >> 8));
  };
  for (wchar_t c : text) {
    uint32_t cp = static_cast<uint32_t>(c);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  FILE* f = fopen(store.c_str(), "wb");
  if (f && WriteStreamAndClose(f, raw)) return true;
  *code = static_cast<uint32_t>(errno ? errno : EIO);
  return false;
}

bool DeleteScheduledTask(const std::wstring& name, uint32_t* code) {
  if (unlink(TaskStorePath(name).c_str()) == 0 || errno == ENOENT) return true;
  *code = static_cast<uint32_t>(errno);
  return false;
}

bool RunHiddenAndWait(const std::wstring& cmdline, uint32_t, uint32_t* exitCode) {
  *exitCode = 1;
  const std::wstring kOff = SystemProgram(L"powercfg.exe") + L" /hibernate off";
  const std::wstring kOn = SystemProgram(L"powercfg.exe") + L" /hibernate on";
  if (!EqualsNoCase(cmdline, kOff) && !EqualsNoCase(cmdline, kOn)) return false;
  if (!IsProcessAdmin()) return true;  // started, refused: exit code 1
  std::string file = RootDir() + "/c/hiberfil.sys";
  g_deletions.fetch_add(1);
  if (EqualsNoCase(cmdline, kOff)) {
    if (unlink(file.c_str()) == 0 || errno == ENOENT) *exitCode = 0;
  } else {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) {
      // A sparse file stands in for memory-sized hibernation data.
      if (ftruncate(fd, 1LL << 30) == 0) *exitCode = 0;
      close(fd);
    }
  }
  return true;
}

void RestrictDllSearch() {}

std::wstring SystemProgram(const std::wstring& exeName, bool inWindowsDir) {
  std::wstring root;
  if (!LookupVariable(L"SystemRoot", &root)) root = L"C:\\Windows";
  std::wstring full = root + (inWindowsDir ? L"\\" : L"\\System32\\") + exeName;
  if (full.find(L' ') != std::wstring::npos) full = L"\"" + full + L"\"";
  return full;
}

bool StartDetachedThread(std::function<void()> fn) {
  try {
    std::thread(std::move(fn)).detach();
    return true;
  } catch (...) {
    return false;
  }
}

// ---- Environment and shell folders --------------------------------------------------

bool ExpandEnvironmentText(const std::wstring& in, std::wstring* out) {
  std::wstring r;
  size_t i = 0;
  while (i < in.size()) {
    if (in[i] != L'%') {
      r.push_back(in[i++]);
      continue;
    }
    size_t close = in.find(L'%', i + 1);
    if (close == std::wstring::npos) {
      r.append(in, i, std::wstring::npos);
      break;
    }
    std::wstring value;
    if (close > i + 1 && LookupVariable(in.substr(i + 1, close - i - 1), &value)) {
      r += value;
      i = close + 1;
    } else {
      // Undefined: the text stays as written and the closing percent sign may
      // open the next reference, as on Windows.
      r.append(in, i, close - i);
      i = close;
    }
  }
  *out = r;
  return true;
}

bool ShellFolderPath(ShellFolder folder, std::wstring* out) {
  switch (folder) {
    case ShellFolder::Desktop:
      return ExpandEnvironmentText(L"%USERPROFILE%\\Desktop", out);
    case ShellFolder::Programs:
      return ExpandEnvironmentText(L"%APPDATA%\\Microsoft\\Windows\\Start Menu\\Programs", out);
    case ShellFolder::LocalAppData:
      return ExpandEnvironmentText(L"%LOCALAPPDATA%", out);
  }
  return false;
}

// ---- Files and directories -----------------------------------------------------------

bool GetAttributes(const std::wstring& path, uint32_t* attrs) {
  FileInfo info;
  if (!GetFileInfo(path, &info)) return false;
  *attrs = info.attrs;
  return true;
}

// No short names here: the identity, for paths that exist and those that do
// not alike.
bool LongPathName(const std::wstring& path, std::wstring* out) {
  *out = path;
  return true;
}

bool PathIsGone(const std::wstring& path) {
  std::string host;
  if (!MapPath(path, false, &host) || host.empty()) return false;
  struct stat st;
  if (lstat(host.c_str(), &st) == 0) return false;
  return errno == ENOENT || errno == ENOTDIR;
}

bool GetFileInfo(const std::wstring& path, FileInfo* info) {
  std::string host;
  if (!MapPath(path, false, &host) || host.empty()) return false;
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return false;
  bool linkToDir = false;
  if (S_ISLNK(st.st_mode)) {
    struct stat target;
    linkToDir = stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  }
  info->attrs = AttrsOf(st, linkToDir);
  info->size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  info->mtime = ToFileTime(st.st_mtim);
  return true;
}

bool ListDir(const std::wstring& dir, const std::function<bool(const DirEntry&)>& visit) {
  std::string host;
  if (!MapPath(dir, false, &host) || host.empty()) return false;
  int fd = OpenForListing(host);
  std::string pool;
  std::vector<size_t> names;
  DIR* d = ReadSortedNames(fd, &pool, &names);
  if (!d) return false;
  const char* base = pool.data();
  DirEntry entry;
  {
    ListingScope scope(&host, fd);
    for (size_t at : names) {
      const char* name = base + at;
      struct stat st;
      // A file that vanished between the two calls is simply not listed.
      if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      bool linkToDir = S_ISLNK(st.st_mode) && LinkPointsToDir(fd, name);
      DecodeUtf8(name, strlen(name), &entry.name);
      entry.attrs = AttrsOf(st, linkToDir);
      entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
      entry.mtime = ToFileTime(st.st_mtim);
      if (!visit(entry)) break;
    }
  }
  closedir(d);
  return true;
}

// ---- Walking by handle --------------------------------------------------------------

namespace {

int Fd(DirHandle d) {
  return static_cast<int>(d);
}

// Opens the directory name below parent, never through a link, and only
// when it lies on parent's device (a mount point is a reparse point to us).
int OpenDirBelow(int parent, const char* name, FsFault* fault) {
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    struct stat st;
    // A link to a directory fails as ELOOP or ENOTDIR depending on the kernel.
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      *fault = FsFault::Link;
    else
      *fault = FaultOfErrno(err);
    return -1;
  }
  struct stat mine, theirs;
  if (fstat(fd, &mine) != 0 || fstat(parent, &theirs) != 0 || mine.st_dev != theirs.st_dev) {
    close(fd);
    *fault = FsFault::Link;
    return -1;
  }
  return fd;
}

// Restores a mode after a failed deletion, through a descriptor of the
// object itself, never by a name that could have been swapped.
void RestoreMode(int fd, mode_t mode) {
  if (fd >= 0) fchmod(fd, mode & 07777);
}

// A read-only object is made writable through its own descriptor before it
// is removed (the stand-in's read-only attribute is the owner's write bit,
// which Windows' removal would refuse), and given its mode back when the
// removal fails. O_NOFOLLOW: a link swapped in is refused, not followed.
bool RemoveEntry(int dir, const std::wstring& name, bool isDir, FsFault* fault) {
  *fault = FsFault::None;
  std::string n = WideToUtf8(name);
  if (n.empty() || n.find('/') != std::string::npos || n == "." || n == "..") {
    *fault = FsFault::Other;
    return false;
  }
  struct stat st;
  if (fstatat(dir, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *fault = FaultOfErrno(errno);
    return false;
  }
  if (S_ISLNK(st.st_mode) || (isDir != S_ISDIR(st.st_mode))) {
    *fault = FsFault::Link;
    return false;
  }
  if (!isDir && (st.st_mode & S_ISVTX)) {
    *fault = FsFault::Other;  // a placeholder
    return false;
  }
  // The object's own descriptor: for a read-only one, to make it writable;
  // for a file, also to see whether a program holds it (an exclusive flock
  // stands for a Windows program that opened it without FILE_SHARE_DELETE).
  int own = -1;
  bool readOnly = !(st.st_mode & S_IWUSR);
  if (readOnly || !isDir) {
    own = openat(dir, n.c_str(),
                 (isDir ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    // Without read permission (not as root) there is no hold to see.
    if (own < 0 && (readOnly || errno != EACCES)) {
      *fault = FaultOfErrno(errno);
      return false;
    }
  }
  if (readOnly && fchmod(own, (st.st_mode & 07777) | S_IWUSR) != 0) {
    *fault = FsFault::Denied;
    close(own);
    return false;
  }
  if (!isDir && own >= 0 && flock(own, LOCK_EX | LOCK_NB) != 0) {
    *fault = FsFault::InUse;
    if (readOnly) RestoreMode(own, st.st_mode);
    close(own);
    return false;
  }
  bool ok = unlinkat(dir, n.c_str(), isDir ? AT_REMOVEDIR : 0) == 0;
  if (!ok) {
    *fault = FaultOfErrno(errno);  // ENOTEMPTY and EEXIST (not empty) are Other
    if (readOnly) RestoreMode(own, st.st_mode);
  }
  if (own >= 0) close(own);
  return ok;
}

}  // namespace

DirHandle OpenWalkDir(const std::wstring& path, FsFault* fault) {
  *fault = FsFault::None;
  std::wstring full = LongPathForm(path);
  // \\?\C:\ and the elements below it.
  if (full.size() < 7 || full.compare(0, 4, L"\\\\?\\") != 0 || full[5] != L':') {
    *fault = FsFault::Other;
    return kNoDir;
  }
  std::string drive = RootDir() + "/" + static_cast<char>(full[4] | 0x20);
  int fd = open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *fault = FaultOfErrno(errno);
    return kNoDir;
  }
  std::string rest = WideToUtf8(full.substr(7));
  size_t at = 0;
  while (at < rest.size()) {
    size_t end = rest.find('\\', at);
    if (end == std::string::npos) end = rest.size();
    std::string name = rest.substr(at, end - at);
    at = end + 1;
    if (name.empty()) continue;
    int next = OpenDirBelow(fd, name.c_str(), fault);
    close(fd);
    if (next < 0) return kNoDir;
    fd = next;
  }
  return static_cast<DirHandle>(fd);
}

DirHandle OpenSubdir(DirHandle parent, const DirEntry& entry, FsFault* fault) {
  *fault = FsFault::None;
  std::string n = WideToUtf8(entry.name);
  if (n.empty() || n.find('/') != std::string::npos || n == "." || n == "..") {
    *fault = FsFault::Other;
    return kNoDir;
  }
  int fd = OpenDirBelow(Fd(parent), n.c_str(), fault);
  if (fd < 0) return kNoDir;
  struct stat st;
  if (entry.id != 0 && (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_ino) != entry.id)) {
    close(fd);
    *fault = FsFault::Link;
    return kNoDir;
  }
  return static_cast<DirHandle>(fd);
}

void CloseDir(DirHandle dir) {
  if (dir != kNoDir) close(Fd(dir));
}

bool ListDirAt(DirHandle dir, std::vector<DirEntry>* entries) {
  entries->clear();
  // A descriptor of its own for the stream, read from the start: the walk
  // keeps using dir for the entries' opens and deletions.
  int fd = openat(Fd(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string pool;
  std::vector<size_t> names;
  DIR* d = ReadSortedNames(fd, &pool, &names);
  if (!d) return false;
  const char* base = pool.data();
  entries->reserve(names.size());
  for (size_t at : names) {
    const char* name = base + at;
    struct stat st;
    if (fstatat(Fd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished
    DirEntry entry;
    DecodeUtf8(name, strlen(name), &entry.name);
    entry.attrs = AttrsOf(st, S_ISLNK(st.st_mode) && LinkPointsToDir(Fd(dir), name));
    entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    entry.mtime = ToFileTime(st.st_mtim);
    entry.id = static_cast<uint64_t>(st.st_ino);
    entries->push_back(std::move(entry));
  }
  closedir(d);
  return true;
}

bool DeleteFileAt(DirHandle dir, const std::wstring& name, FsFault* fault) {
  g_deletions.fetch_add(1);
  return RemoveEntry(Fd(dir), name, false, fault);
}

bool RemoveDirAt(DirHandle dir, const std::wstring& name, FsFault* fault) {
  return RemoveEntry(Fd(dir), name, true, fault);
}

FILE* OpenFileStream(const std::wstring& path, bool forWriting) {
  std::string host;
  if (!MapPath(path, forWriting, &host) || host.empty()) return nullptr;
  return fopen(host.c_str(), forWriting ? "wb" : "rb");
}

bool SetNormalAttributes(const std::wstring& path) {
  std::string host;
  if (!MapPath(path, true, &host)) return false;
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return true;  // chmod would reach the link's target
  // Already writable, that is not read-only: the attributes are normal
  // already, and a chmod would change nothing but cost a write to the inode
  // of every file a clean is about to delete.
  if (st.st_mode & S_IWUSR) return true;
  return chmod(host.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool DeleteFilePath(const std::wstring& path) {
  std::string host;
  if (!MapPath(path, true, &host)) return false;
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) return false;
  if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) return false;  // read-only
  g_deletions.fetch_add(1);
  return unlink(host.c_str()) == 0;
}

bool RemoveDirectoryPath(const std::wstring& path) {
  std::string host;
  if (!MapPath(path, true, &host)) return false;
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    // Removing a junction removes the link, never the target's content.
    struct stat target;
    return stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode) && unlink(host.c_str()) == 0;
  }
  return rmdir(host.c_str()) == 0;
}

bool DiskFreeSpace(const std::wstring& drive, uint64_t* freeToCaller, uint64_t* total,
                   uint64_t* totalFree) {
  std::string host;
  if (!MapPath(drive, true, &host)) return false;
  if (uint64_t cap = CapacityOf(host)) {
    uint64_t used = UsedBytes(host);
    *total = cap;
    *freeToCaller = *totalFree = cap > used ? cap - used : 0;
    return true;
  }
  struct statvfs vfs;
  if (statvfs(host.c_str(), &vfs) != 0) return false;
  *freeToCaller = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  *total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  *totalFree = static_cast<uint64_t>(vfs.f_bfree) * vfs.f_frsize;
  return true;
}

bool QueryRecycleBin(uint64_t* items, uint64_t* bytes) {
  *items = 0;
  *bytes = 0;
  // No bin is an empty bin; something other than a folder in its place is
  // a bin that cannot be read, the stand-in's failed query.
  struct stat st;
  if (lstat(RecycleBinDir().c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return false;
  CountTree(RecycleBinDir(), items, bytes);
  return true;
}

bool EmptyRecycleBin() {
  g_deletions.fetch_add(1);
  struct stat st;
  if (stat(RecycleBinDir().c_str(), &st) != 0) return true;
  return RemoveTreeContent(RecycleBinDir());
}

bool CreateDir(const std::wstring& path) {
  std::string host;
  if (!MapPath(path, true, &host)) return false;
  return mkdir(host.c_str(), 0755) == 0;
}

bool TempPath(std::wstring* out) {
  std::wstring temp;
  if (!LookupVariable(L"TEMP", &temp)) return false;
  *out = temp + L"\\";
  return true;
}

// ---- Stored state ---------------------------------------------------------------

uint64_t NowFileTime() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ToFileTime(ts);
}

std::string LocalStamp(uint64_t fileTime) {
  time_t t =
      static_cast<time_t>(static_cast<int64_t>(fileTime / 10000000ULL) - kFileTimeEpochSeconds);
  struct tm local;
  if (!localtime_r(&t, &local)) return std::string();
  char buf[32];
  snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return buf;
}

uint32_t ProcessId() {
  return static_cast<uint32_t>(getpid());
}

namespace {
// The descriptor that holds the machine's clean, or -1.
std::mutex g_cleanLockGuard;
int g_cleanLockFd = -1;
}  // namespace

bool TryHoldMachineClean() {
  std::lock_guard<std::mutex> lock(g_cleanLockGuard);
  if (g_cleanLockFd >= 0) return false;
  std::string file = RootDir() + "/clean.lock";
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  g_cleanLockFd = fd;
  return true;
}

void ReleaseMachineClean() {
  std::lock_guard<std::mutex> lock(g_cleanLockGuard);
  if (g_cleanLockFd < 0) return;
  flock(g_cleanLockFd, LOCK_UN);
  close(g_cleanLockFd);
  g_cleanLockFd = -1;
}

namespace {
bool WriteAllFd(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}
}  // namespace

bool WriteFileDurable(const std::wstring& path, const std::string& bytes) {
  std::string host;
  if (!MapPath(path, true, &host)) return false;
  int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAllFd(fd, bytes) && fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

bool ReplaceFileWith(const std::wstring& from, const std::wstring& to) {
  std::string a, b;
  if (!MapPath(from, true, &a) || !MapPath(to, true, &b)) return false;
  if (rename(a.c_str(), b.c_str()) != 0) return false;
  // The rename itself reaches the disk with its folder.
  std::string dir = b.substr(0, b.rfind('/'));
  int fd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  return true;
}

FileHandle CreateNewFile(const std::wstring& path) {
  std::string host;
  if (!MapPath(path, true, &host)) return kNoFile;
  int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  return fd < 0 ? kNoFile : static_cast<FileHandle>(fd);
}

// Not O_APPEND: Linux's pwrite on such a file ignores its offset.
bool AppendToFile(FileHandle f, const std::string& bytes) {
  if (lseek(static_cast<int>(f), 0, SEEK_END) < 0) return false;
  return WriteAllFd(static_cast<int>(f), bytes);
}

bool WriteFileAtOffset(FileHandle f, uint64_t offset, const std::string& bytes) {
  return pwrite(static_cast<int>(f), bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
         static_cast<ssize_t>(bytes.size());
}

bool FlushFile(FileHandle f) {
  return fsync(static_cast<int>(f)) == 0;
}

void CloseFile(FileHandle f) {
  if (f != kNoFile) close(static_cast<int>(f));
}

void ExitProcessNow(uint32_t code) {
  fflush(stdout);
  _exit(static_cast<int>(code));
}

std::filesystem::path HostPath(const std::wstring& path) {
  std::string host;
  MapPath(path, false, &host);
  return std::filesystem::path(host);
}

// ---- Sockets -------------------------------------------------------------------------

namespace {
int Fd(Socket s) {
  return static_cast<int>(s);
}
}  // namespace

bool NetStartup() {
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void SockSetExclusive(Socket s) {
  // Linux never lets two sockets listen on one port; SO_REUSEADDR only lets a
  // restart bind while old connections linger in TIME_WAIT.
  int one = 1;
  setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

std::vector<std::string> LocalIPv4Addresses() {
  std::vector<std::string> out;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (struct ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    const struct sockaddr_in* in = reinterpret_cast<const struct sockaddr_in*>(a->ifa_addr);
    if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
    std::string text = DottedQuad(reinterpret_cast<const unsigned char*>(&in->sin_addr.s_addr));
    if (std::find(out.begin(), out.end(), text) == out.end()) out.push_back(text);
  }
  freeifaddrs(list);
  return out;
}

void SockSetTimeouts(Socket s, int ms) {
  struct timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  setsockopt(Fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(Fd(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int SockSendTwo(Socket s, const char* first, int firstLen, const char* second, int secondLen) {
  struct iovec parts[2];
  parts[0].iov_base = const_cast<char*>(first);
  parts[0].iov_len = static_cast<size_t>(firstLen);
  parts[1].iov_base = const_cast<char*>(second);
  parts[1].iov_len = static_cast<size_t>(secondLen);
  struct msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = parts;
  msg.msg_iovlen = 2;
  ssize_t n;
  do {
    n = sendmsg(Fd(s), &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

}  // namespace tov
