// What the files of the POSIX stand-in (platform/posix) share and nothing
// else includes: how it tells drive paths, times, attributes and faults, so
// that the walk, the listings and the space map report a file alike.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/platform.h"

namespace tov {

// "X:..." with an ASCII drive letter: a path on one of the emulated drives.
inline bool IsDrivePath(const std::string& p) {
  return p.size() >= 2 && LowerAscii(p[0]) >= 'a' && LowerAscii(p[0]) <= 'z' && p[1] == ':';
}
inline bool IsDrivePath(const std::wstring& p) {
  return p.size() >= 2 && LowerAscii(p[0]) >= L'a' && LowerAscii(p[0]) <= L'z' && p[1] == L':';
}

// Seconds from 1601-01-01, where FILETIME counts from, to 1970-01-01.
constexpr int64_t kFileTimeEpochSeconds = 11644473600LL;

// A POSIX time as a FILETIME (100 ns units since 1601-01-01 UTC); 0 before 1601.
uint64_t ToFileTime(const struct timespec& ts);

// The kAttr* bits of an lstat result: a symbolic link is a reparse point
// (with the directory bit when linkToDir), a missing owner's write bit is
// read-only, a regular file with the sticky bit a cloud placeholder.
uint32_t AttrsOf(const struct stat& st, bool linkToDir);

// Whether the link `name` in the open directory dirfd points at a directory.
bool LinkPointsToDir(int dirfd, const char* name);

// The FsFault of an errno value: FaultOfSystemCode, the stand-in's one
// translation.
inline FsFault FaultOfErrno(int err) {
  return FaultOfSystemCode(static_cast<uint32_t>(err));
}

}  // namespace tov
