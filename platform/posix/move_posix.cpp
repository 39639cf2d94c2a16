// The stand-in's calls for moving folders to another drive: drives are the
// one-letter folders under the root (a file <letter>.drive beside one says
// "<kind> <file system>" when it is not a fixed NTFS drive), a copy keeps
// the data, the last-write time and the read-only bit and stops with ENOSPC
// where a drive's capacity file (<letter>.capacity) says it is full, a
// junction is a symbolic link, the known folders are kept in
// <root>/knownfolders, and the Restart Manager's answer is the file
// <root>/rm-holders ("<path>\t<program>" per line).
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

bool AllZero(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
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
  std::vector<char> buf(1 << 20);
  uint64_t done = 0;
  bool ok = true;
  int err = 0;
  for (;;) {
    ssize_t n = read(in, buf.data(), buf.size());
    if (n < 0) {
      err = errno;
      ok = false;
      break;
    }
    if (n == 0) break;
    if (done + static_cast<uint64_t>(n) > room) {
      err = ENOSPC;
      ok = false;
      break;
    }
    // Zeros are skipped over, so a sparse file stays sparse.
    if (AllZero(buf.data(), static_cast<size_t>(n))) {
      if (lseek(out, n, SEEK_CUR) < 0) {
        err = errno;
        ok = false;
        break;
      }
    } else if (write(out, buf.data(), static_cast<size_t>(n)) != n) {
      err = errno ? errno : ENOSPC;
      ok = false;
      break;
    }
    done += static_cast<uint64_t>(n);
    if (progress && !progress(done)) {
      ok = false;
      err = ECANCELED;
      break;
    }
  }
  if (ok && ftruncate(out, static_cast<off_t>(done)) != 0) {
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
