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

// ---- Names: the host's bytes in the program's wide form ----------------------
//
// A Linux name is any string of bytes but NUL and '/'; the program names
// files by wide text. The stand-in keeps every name byte for byte, so that a
// name read from a listing opens, lists and deletes exactly the entry it was
// read from and no other:
// - Bytes that form valid UTF-8 (shortest form, no surrogate, at most
//   U+10FFFF) are their characters.
// - Every other byte b, always 0x80-0xFF, is the lone code unit
//   kHostByteEscape + b (U+DC80-U+DCFF), a surrogate half no valid UTF-8
//   gives; so is a backslash inside a name (U+DC5C), which the program
//   would take for a separator.
// Writing a name back undoes exactly that and refuses what no listing gives:
// NUL, any other surrogate half, a value past U+10FFFF, and escapes whose
// bytes together read as a character (U+DCC3 U+DCA9 would be the bytes of
// "é", another file's name). In a path a wide '\' (and '/') is the
// separator '/'. Text for the user (WideToUtf8) shows an escape as U+FFFD,
// as Windows shows a name with a lone surrogate half.
constexpr uint32_t kHostByteEscape = 0xDC00;

// The wide form of n bytes of a host name or path, replacing *out's content.
void DecodeHostName(const char* bytes, size_t n, std::wstring* out);

// The host bytes of a wide name or path (separators become '/'); false, with
// *bytes unusable, for a text the host has no name for.
bool EncodeHostName(const std::wstring& wide, std::string* bytes);

// ---- What the files share ------------------------------------------------------

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
// read-only, a regular file with the sticky bit a cloud placeholder, one
// that takes fewer blocks than its size sparse.
uint32_t AttrsOf(const struct stat& st, bool linkToDir);

// The stand-in's slow disk (move_posix.cpp): waits the milliseconds the file
// <root>/<letter>.slow beside path's drive says, if there is one, before a
// file there is copied or deleted.
void SlowDriveWait(const std::wstring& path);

// Whether the link `name` in the open directory dirfd points at a directory.
bool LinkPointsToDir(int dirfd, const char* name);

// The FsFault of an errno value: FaultOfSystemCode, the stand-in's one
// translation.
inline FsFault FaultOfErrno(int err) {
  return FaultOfSystemCode(static_cast<uint32_t>(err));
}

// The bin's folder C:\$Recycle.Bin (space_posix.cpp), opened from the
// drive's folder element by element, never through a link: kNoDir with
// *fault (Gone when there is none).
DirHandle OpenRecycleBin(FsFault* fault);

// Opens the directory name below the open directory parent, never through a
// link (O_NOFOLLOW | O_DIRECTORY), and only when it lies on parent's device
// (a mount point is a reparse point to the stand-in): its descriptor, or -1
// with *fault (Link for a link or a mount point). With self, the opened
// directory's own status goes there.
int OpenDirBelow(int parent, const char* name, FsFault* fault, struct stat* self = nullptr);

}  // namespace tov
