// What the files of the POSIX stand-in (platform/posix) share and nothing
// else includes: how it tells drive paths, times, attributes and faults, so
// that the walk, the listings and the space map report a file alike.
#pragma once

#include <sys/stat.h>

#include <atomic>
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

// Host path of the stand-in's root folder, which holds the drives (C: is
// <root>/c): TAMSEL_ROOT, else "winroot" beside the executable.
const std::string& RootDir();

// Bumped by every deletion of the stand-in, so that the next free-space
// query of the demo drive walks it again.
extern std::atomic<uint64_t> g_deletions;

// Whether two texts are equal with ASCII letters folded.
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

// The value of a Windows environment variable as the stand-in sees it: the
// standard installation's for the current user, unless the real
// environment sets it to a drive path; other names from the real
// environment. Names ignore case.
bool LookupVariable(const std::wstring& name, std::wstring* value);

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

// The FsFault of an errno value.
FsFault FaultOfErrno(int err);

}  // namespace tov
