// The stand-in's calls for moving folders to another drive: drives are the
// one-letter folders under the root (a file <letter>.drive beside one says
// "<kind> <file system>" when it is not a fixed NTFS drive), a copy keeps
// the data (a hole stays a hole), the last-write time and the read-only bit
// and stops with ENOSPC where a drive's capacity file (<letter>.capacity)
// says it is full, a drive with a file <letter>.slow (milliseconds) waits
// that long before each file it copies or deletes there, as a slow disk
// does, a folder keeps its last-write time and read-only bit, a
// junction is a symbolic link, the known folders are kept in
// <root>/knownfolders, and the Restart Manager's answer is the file
// <root>/rm-holders ("<path>\t<program>" per line).
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/stand_in.h"

namespace tov {
namespace {

const wchar_t* const kUserFolderNames[static_cast<size_t>(UserFolder::Count)] = {
    L"Desktop", L"Documents", L"Downloads", L"Pictures", L"Videos", L"Music"};

// The host path of a drive path; false for any other text.
bool HostOf(const std::wstring& path, std::string* host) {
  if (!IsDrivePath(path)) return false;
  *host = HostPath(path).string();
  return !host->empty();
}

// The drive folder of a drive path: <root>/<letter>.
std::string DriveFolderOf(const std::wstring& path) {
  return RootDir() + "/" + static_cast<char>(LowerAscii(static_cast<char>(path[0])));
}

std::string ReadText(const std::string& file) {
  std::string text;
  FILE* f = fopen(file.c_str(), "rb");
  if (!f) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

uint64_t CapacityOfDrive(const std::string& driveFolder) {
  std::string text = ReadText(driveFolder + ".capacity");
  return text.empty() ? 0 : strtoull(text.c_str(), nullptr, 10);
}

// The bytes of the files below a folder (a drive with a capacity is small).
uint64_t BytesBelow(const std::string& dir) {
  uint64_t sum = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  while (struct dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string p = dir + "/" + e->d_name;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      sum += BytesBelow(p);
    else if (S_ISREG(st.st_mode))
      sum += static_cast<uint64_t>(st.st_size);
  }
  closedir(d);
  return sum;
}

}  // namespace

DriveKind DriveKindOf(const std::wstring& root, std::wstring* fileSystem) {
  fileSystem->clear();
  if (!IsDrivePath(root)) return DriveKind::Missing;
  std::string folder = DriveFolderOf(root);
  struct stat st;
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return DriveKind::Missing;
  std::string kind = "fixed", fs = "NTFS";
  std::string text = ReadText(folder + ".drive");
  if (!text.empty()) {
    size_t space = text.find(' ');
    kind = text.substr(0, space);
    fs = space == std::string::npos ? std::string() : text.substr(space + 1);
    while (!fs.empty() && (fs.back() == '\n' || fs.back() == '\r' || fs.back() == ' '))
      fs.pop_back();
  }
  *fileSystem = Utf8ToWide(fs);
  if (kind == "fixed") return DriveKind::Fixed;
  if (kind == "removable") return DriveKind::Removable;
  if (kind == "network") return DriveKind::Network;
  return DriveKind::Other;
}

std::vector<wchar_t> DriveLetters() {
  std::vector<wchar_t> letters;
  for (char c = 'a'; c <= 'z'; ++c) {
    struct stat st;
    std::string folder = RootDir() + "/" + c;
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      letters.push_back(static_cast<wchar_t>(c - 'a' + 'A'));
  }
  return letters;
}

bool CopyFileKeep(const std::wstring& from, const std::wstring& to,
                  const std::function<bool(uint64_t done)>& progress, FsFault* fault) {
  std::string src, dst;
  if (!HostOf(from, &src) || !HostOf(to, &dst)) {
    *fault = FsFault(FsFault::Other, 0);
    return false;
  }
  SlowDriveWait(to);
  int in = open(src.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) {
    *fault = FaultOfErrno(errno);
    return false;
  }
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    *fault = FsFault(FsFault::Link, 0);
    close(in);
    return false;
  }
  // A drive with a capacity fills up as a small disk does.
  std::string drive = DriveFolderOf(to);
  uint64_t capacity = CapacityOfDrive(drive);
  uint64_t room = UINT64_MAX;
  if (capacity) {
    uint64_t used = BytesBelow(drive);
    room = capacity > used ? capacity - used : 0;
  }
  int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) {
    *fault = FaultOfErrno(errno);
    close(in);
    return false;
  }
  // One buffer per thread for every copy: a folder of many small files
  // costs no allocation per file.
  static thread_local std::vector<char> buf(1 << 20);
  const off_t size = st.st_size;
  uint64_t written = 0;
  bool ok = true;
  int err = 0;
  // The data ranges alone, at their offsets: a hole stays a hole.
  for (off_t pos = 0; ok && pos < size;) {
    off_t data = lseek(in, pos, SEEK_DATA);
    if (data < 0) {
      if (errno != ENXIO) err = errno, ok = false;
      break;  // ENXIO: nothing but a hole up to the end
    }
    off_t hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0) {
      err = errno;
      ok = false;
      break;
    }
    for (off_t at = data; ok && at < hole;) {
      size_t want = static_cast<size_t>(std::min<off_t>(hole - at, static_cast<off_t>(buf.size())));
      ssize_t n = pread(in, buf.data(), want, at);
      if (n <= 0) {
        // The file shrank meanwhile: its verification will tell.
        if (n < 0) err = errno, ok = false;
        hole = at;
        break;
      }
      if (written + static_cast<uint64_t>(n) > room) {
        err = ENOSPC;
        ok = false;
        break;
      }
      if (pwrite(out, buf.data(), static_cast<size_t>(n), at) != n) {
        err = errno ? errno : ENOSPC;
        ok = false;
        break;
      }
      written += static_cast<uint64_t>(n);
      at += n;
      if (progress && !progress(static_cast<uint64_t>(at))) {
        ok = false;
        err = ECANCELED;
      }
    }
    pos = hole;
  }
  if (ok && ftruncate(out, size) != 0) {
    err = errno;
    ok = false;
  }
  if (ok) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(out, times) != 0 || fchmod(out, st.st_mode & 0777) != 0) {
      err = errno;
      ok = false;
    }
  }
  close(in);
  if (close(out) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    unlink(dst.c_str());
    *fault = FaultOfErrno(err);
  }
  return ok;
}

bool AllocatedBytes(const std::wstring& path, uint64_t* bytes) {
  std::string host;
  struct stat st;
  if (!HostOf(path, &host) || lstat(host.c_str(), &st) != 0) return false;
  *bytes = static_cast<uint64_t>(st.st_blocks) * 512;
  return true;
}

bool ReadFolderStamp(const std::wstring& path, FolderStamp* stamp) {
  std::string host;
  struct stat st;
  if (!HostOf(path, &host) || lstat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  stamp->attrs = AttrsOf(st, false) & kFolderStampAttrs;
  stamp->written = ToFileTime(st.st_mtim);
  stamp->created = stamp->written;
  return true;
}

bool ApplyFolderStamp(const std::wstring& path, const FolderStamp& stamp, FsFault* fault) {
  std::string host;
  struct stat st;
  if (!HostOf(path, &host)) {
    *fault = FsFault(FsFault::Other, 0);
    return false;
  }
  if (lstat(host.c_str(), &st) != 0) {
    *fault = FaultOfErrno(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *fault = FsFault(FsFault::Link, 0);
    return false;
  }
  int64_t since1970 = static_cast<int64_t>(stamp.written / 10000000) - kFileTimeEpochSeconds;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(since1970);
  times[1].tv_nsec = static_cast<long>(stamp.written % 10000000) * 100;
  if (utimensat(AT_FDCWD, host.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    *fault = FaultOfErrno(errno);
    return false;
  }
  mode_t mode = st.st_mode & 07777;
  mode_t want = (stamp.attrs & kAttrReadOnly) ? mode & ~static_cast<mode_t>(0222) : mode | S_IWUSR;
  if (want != mode && chmod(host.c_str(), want) != 0) {
    *fault = FaultOfErrno(errno);
    return false;
  }
  return true;
}

void SlowDriveWait(const std::wstring& path) {
  if (!IsDrivePath(path)) return;
  std::string text = ReadText(DriveFolderOf(path) + ".slow");
  unsigned long ms = text.empty() ? 0 : strtoul(text.c_str(), nullptr, 10);
  if (!ms) return;
  struct timespec wait = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

bool RenamePath(const std::wstring& from, const std::wstring& to, FsFault* fault) {
  std::string a, b;
  if (!HostOf(from, &a) || !HostOf(to, &b)) {
    *fault = FsFault(FsFault::Other, 0);
    return false;
  }
  if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) != 0) {
    *fault = FaultOfErrno(errno);
    return false;
  }
  return true;
}

bool CreateJunction(const std::wstring& link, const std::wstring& target, FsFault* fault) {
  std::string l, t;
  if (!HostOf(link, &l) || !HostOf(target, &t)) {
    *fault = FsFault(FsFault::Other, 0);
    return false;
  }
  struct stat st;
  if (stat(t.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *fault = FsFault(FsFault::Gone, ENOENT);
    return false;
  }
  if (symlink(t.c_str(), l.c_str()) != 0) {
    *fault = FaultOfErrno(errno);
    return false;
  }
  return true;
}

bool UserFolderPath(UserFolder folder, bool defaultPlace, std::wstring* out) {
  size_t i = static_cast<size_t>(folder);
  if (i >= static_cast<size_t>(UserFolder::Count)) return false;
  if (!defaultPlace) {
    std::string stored = ReadText(RootDir() + "/knownfolders/" + WideToUtf8(kUserFolderNames[i]));
    if (!stored.empty()) {
      *out = Utf8ToWide(stored);
      return true;
    }
  }
  return ExpandEnvironmentText(std::wstring(L"%USERPROFILE%\\") + kUserFolderNames[i], out);
}

bool SetUserFolderPath(UserFolder folder, const std::wstring& path) {
  size_t i = static_cast<size_t>(folder);
  if (i >= static_cast<size_t>(UserFolder::Count) || !IsDrivePath(path)) return false;
  std::string dir = RootDir() + "/knownfolders";
  mkdir(dir.c_str(), 0755);
  std::string file = dir + "/" + WideToUtf8(kUserFolderNames[i]);
  std::string tmp = file + ".tmp";
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f) return false;
  std::string text = WideToUtf8(path);
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fclose(f) == 0 && ok;
  return ok && rename(tmp.c_str(), file.c_str()) == 0;
}

bool ProgramsHolding(const std::vector<std::wstring>& files, std::vector<std::string>* programs) {
  programs->clear();
  std::string text = ReadText(RootDir() + "/rm-holders");
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::wstring path = Utf8ToWide(line.substr(0, tab));
    std::string program = line.substr(tab + 1);
    for (const std::wstring& f : files) {
      if (!EqualsNoCase(f, path)) continue;
      bool known = false;
      for (const std::string& p : *programs) known = known || p == program;
      if (!known) programs->push_back(program);
      break;
    }
  }
  return true;
}

}  // namespace tov
