// The one form of a path: every path the program receives (a request body,
// the settings, the command line, the environment) is turned into it, or
// refused with a reason, before it is compared with another path or handed
// to the system.
//
// The canonical form is an absolute drive path: the drive letter in upper
// case, a colon, then the names separated by single backslashes; no
// trailing backslash but at the drive's root ("C:\"); the names' letters as
// they were given (comparisons fold ASCII letters only, as Windows compares
// names without regard to case and the locale must not matter); on Windows
// every 8.3 short name that exists on the disk replaced by its long name.
//
// Accepted and folded: "/" for "\", doubled separators, trailing ones.
// Refused, each with one reason in the user's words (kPathFaultTexts):
// anything a system call would read differently from the text the program
// compared (a control character cuts it; a trailing dot or space is trimmed;
// a device name opens a device; "\\?\", "\\.\" and "\??\" skip the rules),
// "." and "..", relative and drive-relative paths, network shares, other
// drives where only C: is meant, and the characters Windows forbids in a
// name. U+007F is accepted: NTFS allows it in a name and no call stops at it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tamsel {

// Why a path has no canonical form.
enum class PathFault : uint8_t {
  None,
  Empty,             // no text
  TooLong,           // more than kMaxPathChars characters
  Control,           // U+0000-U+001F anywhere
  Namespace,         // \\?\, \\.\ or \??\ (also with "/")
  Share,             // \\server\share
  Relative,          // no drive ("x\y", "\x") or drive-relative ("C:x")
  OtherDrive,        // another drive than C: where only C: is meant
  DotSegment,        // a "." or ".." name
  TrailingDotSpace,  // a name that ends in "." or " "
  DeviceName,  // CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also ¹²³), CONIN$, CONOUT$, with or without
               // extension
  ForbiddenChar,  // < > : " | ? * in a name
  Count
};

// The reasons, in the user's words (UTF-8), indexed by PathFault; "" for None.
extern const char* const kPathFaultTexts[static_cast<size_t>(PathFault::Count)];

// Which drives a caller accepts. What the program does is on drive C (the
// settings, the skip list, the space map); only showing a path in Explorer
// takes any drive letter.
enum class PathDrives : uint8_t { SystemOnly, Any };

// Windows' own limit of a path, in UTF-16 units.
constexpr size_t kMaxPathChars = 32767;

// The canonical form of in by its text alone (no short names expanded):
// PathFault::None and *out set, or the fault and *out untouched. Pure text,
// the same in both builds.
PathFault CanonicalPathText(const std::wstring& in, PathDrives drives, std::wstring* out);

// CanonicalPathText, then the short names expanded: a name with a "~" asks
// the system for the long form of the longest prefix of the path that
// exists (tov::LongPathName, GetLongPathNameW on Windows); the rest is kept
// as written. A long form that is itself no canonical path (a name that ends
// in a dot) is refused with its fault.
PathFault CanonicalPath(const std::wstring& in, PathDrives drives, std::wstring* out);

// The same for UTF-8 text (a request body, the settings).
PathFault CanonicalPathUtf8(const std::string& in, PathDrives drives, std::wstring* out);

// The text of a fault, "" for None.
inline const char* PathFaultText(PathFault f) {
  return kPathFaultTexts[static_cast<size_t>(f)];
}

// The expansion CanonicalPath asks: the long form of an existing path, false
// when it does not exist. Test seam: SetLongNameSeamForTest replaces it
// (null restores the system's) and gives the one it replaced. Safe from any
// thread.
using LongNameSeam = bool (*)(const std::wstring& path, std::wstring* out);
LongNameSeam SetLongNameSeamForTest(LongNameSeam seam);

// ---- Comparisons of canonical forms (ASCII letters folded) ---------------------

// The folded form a set of paths keeps.
std::wstring FoldedPath(const std::wstring& canonical);

// a and b are the same path.
bool SamePath(const std::wstring& a, const std::wstring& b);

// path lies strictly inside dir (the drive's root holds every other path of
// its drive).
bool PathWithin(const std::wstring& path, const std::wstring& dir);

// path is dir or lies inside it.
bool PathAtOrWithin(const std::wstring& path, const std::wstring& dir);

}  // namespace tamsel
