// POSIX stand-in of the space map's platform calls (platform.h, "Space
// map"), over the emulated machine of platform_posix.cpp (C:\a\b is
// <root>/c/a/b):
// - The listing reads the folder with getdents64 and takes each entry's
//   size and time from fstatat relative to it, never following a link. As in
//   the rest of the stand-in a symbolic link is a reparse point (with the
//   directory bit when it points at one), a mount point is one too, a file
//   without its owner's write bit is read-only and one with the sticky bit a
//   cloud placeholder. A folder without its owner's read bit cannot be
//   listed (Denied), for root as well: the stand-in's emulation of a folder
//   whose ACL shuts the user out.
// - The Recycle Bin is the folder C:\$Recycle.Bin: a recycled file or
//   folder is renamed to C:\$Recycle.Bin\S-1-5-21-<uid>\$R<number><ext>,
//   whole, on the same file system, as Windows does, relative to its
//   parent's descriptor opened element by element from the drive root
//   without following a link (the walk's OpenWalkDir); QueryRecycleBin then
//   counts what it holds and EmptyRecycleBin removes it.
// - There is no Explorer: a request to show a path is appended as one line
//   "select <path>" to <root>/explorer.log.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/stand_in.h"

namespace tov {
namespace {

// The layout getdents64 fills in.
struct LinuxDirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

constexpr size_t kDentsBufferBytes = 64 * 1024;

// The entry's attributes as the stand-in reports them everywhere else, and
// a folder on another file system (a mount point) as a reparse point, as
// the walk by handle sees it.
uint32_t SpaceAttrs(int dirfd, const char* name, const struct stat& st, dev_t dirDev) {
  uint32_t a = AttrsOf(st, S_ISLNK(st.st_mode) && LinkPointsToDir(dirfd, name));
  if (S_ISDIR(st.st_mode) && st.st_dev != dirDev) a |= kAttrReparsePoint;
  return a;
}

std::atomic<uint64_t> g_binSerial{0};

// Whether a host name is valid UTF-8 without a backslash, which the map
// holds byte for byte; most names are ASCII and answer in one pass.
bool PlainName(const char* name, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '\\') return false;
    if (c >= 0x80) {
      std::wstring wide;
      DecodeHostName(name, len, &wide);
      for (wchar_t w : wide)
        if (static_cast<uint32_t>(w) - kHostByteEscape < 0x100) return false;
      return true;
    }
  }
  return true;
}

}  // namespace

bool ListSpaceDir(const std::wstring& dir, SpaceListing* out, FsFault* fault) {
  out->names.clear();
  out->entries.clear();
  if (!IsDrivePath(dir)) {
    *fault = FsFault::Other;
    return false;
  }
  std::string host = HostPath(dir).string();
  int fd = open(host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *fault = FaultOfErrno(errno);
    return false;
  }
  struct stat self;
  if (fstat(fd, &self) != 0 || !(self.st_mode & S_IRUSR)) {
    close(fd);
    *fault = FsFault::Denied;
    return false;
  }
  thread_local std::string buffer(kDentsBufferBytes, '\0');
  thread_local std::wstring wide;
  for (;;) {
    long n = syscall(SYS_getdents64, fd, &buffer[0], buffer.size());
    if (n < 0) {
      int err = errno;
      close(fd);
      *fault = FaultOfErrno(err);
      return false;
    }
    if (n == 0) break;
    for (long at = 0; at < n;) {
      const LinuxDirent64* d = reinterpret_cast<const LinuxDirent64*>(buffer.data() + at);
      at += d->d_reclen;
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      struct stat st;
      // An entry that went between the listing and its look-up is not there.
      if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      SpaceEntry e;
      e.attrs = SpaceAttrs(fd, name, st, self.st_dev);
      e.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
      e.mtime = ToFileTime(st.st_mtim);
      e.fileId = static_cast<uint64_t>(st.st_ino);
      e.links = static_cast<uint32_t>(st.st_nlink);
      size_t len = strlen(name);
      e.name = static_cast<uint32_t>(out->names.size());
      if (PlainName(name, len)) {
        e.nameLen = static_cast<uint32_t>(len);
        out->names.append(name, len + 1);
      } else {
        // A name the map cannot hold as it is (bytes that are no UTF-8, a
        // backslash) in the form the user is shown, as Windows shows a name
        // with a lone surrogate half: U+FFFD for each such byte.
        DecodeHostName(name, len, &wide);
        std::string shown = WideToUtf8(wide);
        e.nameLen = static_cast<uint32_t>(shown.size());
        out->names.append(shown.c_str(), shown.size() + 1);
      }
      out->entries.push_back(e);
    }
  }
  close(fd);
  return true;
}

VolumeHandle OpenVolumeImage(const std::filesystem::path& file) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return new int(fd);
}

VolumeOpen OpenSystemVolume(VolumeHandle* out, VolumeGeometry* geometry) {
  *geometry = VolumeGeometry();
  std::filesystem::path image = std::filesystem::path(RootDir()) / "c.ntfs";
  struct stat st;
  if (stat(image.c_str(), &st) != 0) return VolumeOpen::NotNtfs;
  *out = OpenVolumeImage(image);
  return *out ? VolumeOpen::Ok : VolumeOpen::Failed;
}

bool ReadVolume(VolumeHandle volume, uint64_t offset, void* buf, size_t n) {
  int fd = *static_cast<int*>(volume);
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t got = pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

void CloseVolume(VolumeHandle volume) {
  if (!volume) return;
  close(*static_cast<int*>(volume));
  delete static_cast<int*>(volume);
}

namespace {

RecycleHook g_recycleHook = nullptr;

void AtMoment(RecycleMoment moment, const std::wstring& path) {
  if (g_recycleHook) g_recycleHook(moment, path);
}

// The stand-in's bin for this user, C:\$Recycle.Bin\S-1-5-21-<uid>, made
// when missing and opened by handle as the items' folders are; -1 with
// *fault when it cannot be.
int OpenBinDir(FsFault* fault) {
  DirHandle drive = OpenWalkDir(L"C:\\", fault);
  if (drive == kNoDir) return -1;
  mkdirat(static_cast<int>(drive), "$Recycle.Bin", 0755);
  CloseDir(drive);
  DirHandle bin = OpenRecycleBin(fault);
  if (bin == kNoDir) return -1;
  std::string mine = "S-1-5-21-" + std::to_string(static_cast<unsigned long>(geteuid()));
  mkdirat(static_cast<int>(bin), mine.c_str(), 0700);
  int fd =
      openat(static_cast<int>(bin), mine.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) *fault = FaultOfErrno(errno);
  CloseDir(bin);
  return fd;
}

// Renames the entry leaf of the open folder dir into the bin folder binFd,
// under a name of its own that keeps the extension, as Windows does.
bool RenameIntoBin(int dir, const std::string& leaf, int binFd, FsFault* fault) {
  size_t dot = leaf.rfind('.');
  std::string ext = dot == std::string::npos || dot == 0 ? std::string() : leaf.substr(dot);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    char name[32];
    snprintf(name, sizeof name, "$R%06llu",
             static_cast<unsigned long long>(g_binSerial.fetch_add(1) % 1000000));
    std::string to = name + ext;
    if (renameat2(dir, leaf.c_str(), binFd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) continue;
    *fault = FaultOfErrno(errno);
    return false;
  }
  *fault = FsFault::Other;
  return false;
}

// Moves the item at path into the bin through its parent's handle, opened
// element by element from the drive root without following a link, after
// examining the item there: a link, a mount point, a folder where only files
// are taken (filesOnly) or another file than id (when non-zero) fails with
// Link.
bool RecycleThroughParent(const std::wstring& path, bool filesOnly, uint64_t id, FsFault* fault) {
  AtMoment(RecycleMoment::Asked, path);
  // Off the drives would be a file of the host machine: refused.
  size_t cut = path.rfind(L'\\');
  if (!IsDrivePath(path) || cut == std::wstring::npos || cut < 2 || cut + 1 >= path.size()) {
    *fault = FsFault::Other;
    return false;
  }
  std::string leaf = WideToUtf8(path.substr(cut + 1));
  if (leaf == "." || leaf == ".." || leaf.find('/') != std::string::npos) {
    *fault = FsFault::Other;
    return false;
  }
  DirHandle parent = OpenWalkDir(path.substr(0, cut == 2 ? 3 : cut), fault);
  if (parent == kNoDir) return false;
  int dir = static_cast<int>(parent);
  bool moved = false;
  struct stat st, own;
  if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || fstat(dir, &own) != 0) {
    *fault = FaultOfErrno(errno);
  } else if (S_ISLNK(st.st_mode) ||
             (S_ISDIR(st.st_mode) && (filesOnly || st.st_dev != own.st_dev)) ||
             (id != 0 && static_cast<uint64_t>(st.st_ino) != id)) {
    *fault = FsFault::Link;
  } else {
    int bin = OpenBinDir(fault);
    if (bin >= 0) {
      AtMoment(RecycleMoment::Pinned, path);
      moved = RenameIntoBin(dir, leaf, bin, fault);
      close(bin);
    }
  }
  CloseDir(parent);
  return moved;
}

}  // namespace

DirHandle OpenRecycleBin(FsFault* fault) {
  return OpenWalkDir(L"C:\\$Recycle.Bin", fault);
}

void SetRecycleHookForTest(RecycleHook hook) {
  g_recycleHook = hook;
}

bool RecyclePath(const std::wstring& path, FsFault* fault) {
  return RecycleThroughParent(path, false, 0, fault);
}

void RecycleFiles(const std::vector<std::wstring>& paths, const std::vector<uint64_t>& ids,
                  std::vector<FsFault>* faults) {
  faults->assign(paths.size(), FsFault::None);
  for (size_t i = 0; i < paths.size(); ++i) {
    uint64_t id = i < ids.size() ? ids[i] : 0;
    if (!RecycleThroughParent(paths[i], true, id, &(*faults)[i]) && (*faults)[i] == FsFault::None)
      (*faults)[i] = FsFault::Other;
  }
}

bool RevealInExplorer(const std::wstring& path) {
  std::string log = HostPath(L"C:").parent_path().string() + "/explorer.log";
  std::string line = "select " + WideToUtf8(path) + "\n";
  int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  return close(fd) == 0 && ok;
}

}  // namespace tov
