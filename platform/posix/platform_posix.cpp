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
//   Anything that changes files refuses paths outside the drives, and no
//   drive path leaves its drive's folder (a ".." element, or "C:x" without a
//   separator, maps to nothing), so this build can never touch a file of the
//   machine it runs on.
// - Names. A host name is kept byte for byte: bytes that are not UTF-8 are
//   code units of their own in the wide form (stand_in.h), so a name read
//   from a listing names that entry and no other.
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
//   (FILE_ATTRIBUTE_OFFLINE | RECALL_ON_DATA_ACCESS), one that takes fewer
//   blocks than its size a sparse file. A mount point inside a
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
// - Programs: only "powercfg.exe /hibernate off|on" runs (programs_posix.cpp).
//   Scheduled tasks are definitions kept in <root>/tasks (tasks_posix.cpp).
// What it does not: letter case stays significant in file names, there are no
// ACLs, no other drive than those present as folders under the root.
//
// The stand-in's files follow the Windows backend's: this one (drives, text,
// processes, environment, files, the walk by handle, stored state, sockets),
// tasks_posix.cpp, programs_posix.cpp, space_posix.cpp, desktop_posix.cpp and
// https_posix.cpp; what they share is declared in stand_in.h.
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

// Whether a host path climbs at some element: "..", which the kernel would
// resolve to the folder above.
bool Climbs(const std::string& s) {
  for (size_t at = 0; at <= s.size();) {
    size_t end = s.find('/', at);
    if (end == std::string::npos) end = s.size();
    if (end - at == 2 && s[at] == '.' && s[at + 1] == '.') return true;
    at = end + 1;
  }
  return false;
}

// Maps a path to the host, its names byte for byte (EncodeHostName). A
// drive path (also in its \\?\ form) stays inside its drive's folder:
// false when it climbs ("..") or goes on from the drive letter without a
// separator ("C:x" would be <root>/cx, beside the drive). Also false for a
// path without a drive letter when onlyDrives is set, and for a text no host
// name is written as.
bool MapPath(const std::wstring& path, bool onlyDrives, std::string* host) {
  host->clear();
  std::string s;
  if (!EncodeHostName(path, &s)) return false;
  // \\?\C:\a is C:\a taken as written, as Windows takes it.
  if (s.compare(0, 4, "//?/") == 0 && IsDrivePath(s.substr(4))) s.erase(0, 4);
  if (!IsDrivePath(s)) {
    if (onlyDrives) return false;
    *host = s;
    return true;
  }
  if ((s.size() > 2 && s[2] != '/') || Climbs(s)) return false;
  const std::string& root = RootDir();
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

// The names of the open directory fd but "." and "..", in NTFS order, read
// from the start through fd itself, with no stream of its own: a walk lists
// each of its folders once, and a descriptor, its stream and their checks
// for every folder were a third of the system calls of a scan. Only the
// listing reads the descriptor's position; opens and deletions relative to
// it do not move it. False when it cannot be read.
bool SortedNamesAt(int fd, std::string* pool, std::vector<size_t>* names) {
  if (lseek(fd, 0, SEEK_SET) != 0) return false;
  alignas(8) char buffer[32768];
  for (;;) {
    ssize_t n = getdents64(fd, buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) break;
    for (ssize_t at = 0; at < n;) {
      const struct dirent64* e = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += e->d_reclen;
      const char* name = e->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      names->push_back(pool->size());
      pool->append(name, strlen(name) + 1);
    }
  }
  const char* base = pool->data();
  std::sort(names->begin(), names->end(),
            [base](size_t a, size_t b) { return NameBefore(base + a, base + b); });
  return true;
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

// The names in the open directory dir but "." and "..", read through a
// descriptor of its own; false when it cannot be read.
bool NamesIn(int dir, std::vector<std::string>* names) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = fd < 0 ? nullptr : fdopendir(fd);
  if (!d) {
    if (fd >= 0) close(fd);
    return false;
  }
  while (struct dirent* e = readdir(d)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    names->push_back(n);
  }
  closedir(d);
  return true;
}

// Removes everything below the open directory dir; true when all of it
// went. Every name is removed relative to the descriptor of the folder that
// was opened, and a folder is entered only through OpenDirBelow: a link,
// also one swapped in for a folder after it was looked at, is removed
// itself and never followed, so nothing outside dir can go.
bool RemoveTreeContent(int dir) {
  std::vector<std::string> names;
  if (!NamesIn(dir, &names)) return false;
  bool ok = true;
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      ok = unlinkat(dir, name.c_str(), 0) == 0 && ok;
      continue;
    }
    FsFault fault = FsFault::None;
    int sub = OpenDirBelow(dir, name.c_str(), &fault);
    if (sub < 0) {
      // A link now (unlinkat never follows one), or a mount point, which
      // stays.
      ok = fault == FsFault::Link && unlinkat(dir, name.c_str(), 0) == 0 && ok;
      continue;
    }
    ok = RemoveTreeContent(sub) && ok;
    close(sub);
    ok = unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 && ok;
  }
  return ok;
}

// Counts the files below the open directory dir and their bytes, entering
// folders the way RemoveTreeContent does; a link is one item of its own.
void CountTree(int dir, uint64_t* items, uint64_t* bytes) {
  std::vector<std::string> names;
  if (!NamesIn(dir, &names)) return;
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      FsFault fault = FsFault::None;
      int sub = OpenDirBelow(dir, name.c_str(), &fault);
      if (sub < 0) continue;
      CountTree(sub, items, bytes);
      close(sub);
    } else {
      ++*items;
      *bytes += static_cast<uint64_t>(st.st_size);
    }
  }
}

// ---- The demo drive's free space ----------------------------------------------

// How long one walk's sum of the file sizes stands when nothing was deleted.
constexpr uint64_t kFreeSpaceCacheMs = 10000;

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

// The bytes <drive>.reserved holds while the stand-in's reserved storage is
// on, else 0.
uint64_t ReservedOf(const std::string& driveHost) {
  std::string file = driveHost;
  while (file.size() > 1 && file.back() == '/') file.pop_back();
  FILE* f = fopen((file + ".reserved").c_str(), "rb");
  if (!f) return 0;
  unsigned long long bytes = 0;
  if (fscanf(f, "%llu", &bytes) != 1) bytes = 0;
  fclose(f);
  return bytes;
}

uint64_t UsedBytes(const std::string& driveHost) {
  std::lock_guard<std::mutex> guard(g_used.lock);
  uint64_t now = TickCount64();
  uint64_t deletions = g_deletions.load();
  if (!g_used.valid || g_used.host != driveHost || g_used.deletions != deletions ||
      now - g_used.at >= kFreeSpaceCacheMs) {
    uint64_t items = 0, bytes = 0;
    int fd = open(driveHost.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      CountTree(fd, &items, &bytes);
      close(fd);
    }
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

std::atomic<uint64_t> g_deletions{0};

const std::string& RootDir() {
  static const std::string root = [] {
    const char* env = getenv("TAMSEL_ROOT");
    if (env && *env) return std::string(env);
    std::string exe;
    EncodeHostName(ModuleFileName(), &exe);
    size_t slash = exe.rfind('/');
    return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/winroot";
  }();
  return root;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

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
  if (S_ISREG(st.st_mode) &&
      static_cast<uint64_t>(st.st_blocks) * 512 < static_cast<uint64_t>(st.st_size))
    a |= kAttrSparse;
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

int OpenDirBelow(int parent, const char* name, FsFault* fault, struct stat* self) {
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
  if (self) *self = mine;
  return fd;
}

// ---- Text ---------------------------------------------------------------------

namespace {

// Decodes n bytes of UTF-8 into *out, replacing its content but keeping its
// capacity: a listing decodes every name into the same buffer. Each byte
// that is not part of a valid sequence becomes U+FFFD, or with hostNames
// its escape (stand_in.h), as does a backslash.
void DecodeUtf8(const char* text, size_t n, std::wstring* out, bool hostNames = false) {
  out->clear();
  std::wstring& o = *out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    uint32_t cp;
    size_t len;
    if (c < 0x80) {
      if (hostNames && c == '\\') {
        o.push_back(static_cast<wchar_t>(kHostByteEscape + c));
        ++i;
        continue;
      }
      cp = c, len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F, len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F, len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07, len = 4;
    } else {
      o.push_back(hostNames ? static_cast<wchar_t>(kHostByteEscape + c) : kReplacement);
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
      o.push_back(hostNames ? static_cast<wchar_t>(kHostByteEscape + c) : kReplacement);
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

void DecodeHostName(const char* bytes, size_t n, std::wstring* out) {
  DecodeUtf8(bytes, n, out, true);
}

bool EncodeHostName(const std::wstring& wide, std::string* bytes) {
  bytes->clear();
  bytes->reserve(wide.size());
  bool escaped = false;
  for (wchar_t c : wide) {
    uint32_t cp = static_cast<uint32_t>(c);
    if (cp == L'\\') {
      bytes->push_back('/');
    } else if (cp == kHostByteEscape + '\\' ||
               (cp >= kHostByteEscape + 0x80 && cp <= kHostByteEscape + 0xFF)) {
      bytes->push_back(static_cast<char>(cp - kHostByteEscape));
      escaped = escaped || cp != kHostByteEscape + '\\';
    } else if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;  // no name of the host is written so
    } else {
      AppendUtf8(cp, bytes);
    }
  }
  if (!escaped) return true;
  // Escaped bytes that read together as a character spell another name:
  // the text is one the listing gives only when it reads back the same.
  std::wstring back;
  DecodeUtf8(bytes->data(), bytes->size(), &back, true);
  if (back.size() != wide.size()) return false;
  for (size_t i = 0; i < back.size(); ++i)
    if (back[i] != wide[i] && !(back[i] == L'/' && wide[i] == L'\\')) return false;
  return true;
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
  std::wstring path;
  DecodeHostName(buf, static_cast<size_t>(n), &path);
  return path;
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
      DecodeHostName(name, strlen(name), &entry.name);
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

// The host name of one entry of a listing: false for anything that is not
// the name of one entry (empty, "." or "..", a separator in it, a text the
// listing never gives).
bool HostNameOf(const std::wstring& name, std::string* n) {
  return EncodeHostName(name, n) && !n->empty() && n->find('/') == std::string::npos && *n != "." &&
         *n != "..";
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
  std::string n;
  if (!HostNameOf(name, &n)) {
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
  if (full.size() < 7 || full.compare(0, 4, L"\\\\?\\") != 0 || !IsDrivePath(full.substr(4, 2)) ||
      full[6] != L'\\') {
    *fault = FsFault::Other;
    return kNoDir;
  }
  std::string drive = RootDir() + "/" + static_cast<char>(full[4] | 0x20);
  int fd = open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *fault = FaultOfErrno(errno);
    return kNoDir;
  }
  size_t at = 7;
  std::string name;
  while (at < full.size()) {
    size_t end = full.find(L'\\', at);
    if (end == std::wstring::npos) end = full.size();
    std::wstring element = full.substr(at, end - at);
    at = end + 1;
    if (element.empty()) continue;
    // A \\?\ form is taken as it is written: ".." would climb.
    if (!HostNameOf(element, &name)) {
      close(fd);
      *fault = FsFault::Other;
      return kNoDir;
    }
    int next = OpenDirBelow(fd, name.c_str(), fault);
    close(fd);
    if (next < 0) return kNoDir;
    fd = next;
  }
  return static_cast<DirHandle>(fd);
}

DirHandle OpenSubdir(DirHandle parent, const DirEntry& entry, FsFault* fault) {
  *fault = FsFault::None;
  std::string n;
  if (!HostNameOf(entry.name, &n)) {
    *fault = FsFault::Other;
    return kNoDir;
  }
  struct stat st;
  int fd = OpenDirBelow(Fd(parent), n.c_str(), fault, &st);
  if (fd < 0) return kNoDir;
  if (entry.id != 0 && static_cast<uint64_t>(st.st_ino) != entry.id) {
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
  std::string pool;
  std::vector<size_t> names;
  if (!SortedNamesAt(Fd(dir), &pool, &names)) return false;
  const char* base = pool.data();
  entries->reserve(names.size());
  for (size_t at : names) {
    const char* name = base + at;
    struct stat st;
    if (fstatat(Fd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished
    DirEntry entry;
    DecodeHostName(name, strlen(name), &entry.name);
    entry.attrs = AttrsOf(st, S_ISLNK(st.st_mode) && LinkPointsToDir(Fd(dir), name));
    entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    entry.mtime = ToFileTime(st.st_mtim);
    entry.id = static_cast<uint64_t>(st.st_ino);
    entries->push_back(std::move(entry));
  }
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
  SlowDriveWait(path);
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
    // The space Windows reserves for updates is used space (the stand-in's
    // reserved storage, programs_posix.cpp).
    uint64_t used = UsedBytes(host) + ReservedOf(host);
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
  // No bin is an empty bin; something other than a folder in its place (a
  // link included) is a bin that cannot be read, the stand-in's failed query.
  FsFault fault = FsFault::None;
  DirHandle bin = OpenRecycleBin(&fault);
  if (bin == kNoDir) return fault == FsFault::Gone;
  CountTree(static_cast<int>(bin), items, bytes);
  CloseDir(bin);
  return true;
}

bool EmptyRecycleBin() {
  g_deletions.fetch_add(1);
  FsFault fault = FsFault::None;
  DirHandle bin = OpenRecycleBin(&fault);
  if (bin == kNoDir) return fault == FsFault::Gone;
  bool ok = RemoveTreeContent(static_cast<int>(bin));
  CloseDir(bin);
  return ok;
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
  if (!MapPath(path, false, &host)) return std::filesystem::path();
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
