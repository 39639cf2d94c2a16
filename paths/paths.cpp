// The canonical form: one pass over the text that refuses before it builds,
// then the short names, only for a path that may hold one.
#include "paths/paths.h"

#include <atomic>

#include "platform/platform.h"

namespace tamsel {

const char* const kPathFaultTexts[static_cast<size_t>(PathFault::Count)] = {
    "",
    "路径为空",
    "路径太长（超过 32767 个字符）",
    "路径含有控制字符",
    "不接受 \\\\?\\、\\\\.\\ 或 \\??\\ 开头的路径",
    "不接受网络共享路径",
    "不是以盘符开头的完整路径",
    "只接受 C 盘上的路径",
    "路径不能包含 . 或 ..",
    "路径中的名称不能以点或空格结尾",
    "路径中含有设备名（如 CON、NUL、COM1）",
    "路径中含有 Windows 不允许的字符（< > : \" | ? *）",
};

namespace {

std::atomic<LongNameSeam> g_longName{nullptr};

bool IsSep(wchar_t c) {
  return c == L'\\' || c == L'/';
}

bool IsAsciiLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool IsForbidden(wchar_t c) {
  return c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|' || c == L'?' || c == L'*';
}

// The digit of COM and LPT devices: 0-9 and the superscripts Windows takes
// for 1, 2 and 3.
bool IsDeviceDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3';
}

bool FoldedIs(const std::wstring& s, const wchar_t* word) {
  size_t i = 0;
  for (; word[i]; ++i)
    if (i >= s.size() || tov::LowerAscii(s[i]) != word[i]) return false;
  return i == s.size();
}

// Windows opens a device for these names in any folder, whatever follows
// the first dot, with spaces before it ignored.
bool IsDeviceName(const std::wstring& name) {
  std::wstring base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  if (base.size() == 3)
    return FoldedIs(base, L"con") || FoldedIs(base, L"prn") || FoldedIs(base, L"aux") ||
           FoldedIs(base, L"nul");
  if (base.size() == 4 && IsDeviceDigit(base[3])) {
    std::wstring stem = base.substr(0, 3);
    return FoldedIs(stem, L"com") || FoldedIs(stem, L"lpt");
  }
  return FoldedIs(base, L"conin$") || FoldedIs(base, L"conout$");
}

PathFault NameFault(const std::wstring& name) {
  if (name == L"." || name == L"..") return PathFault::DotSegment;
  for (wchar_t c : name)
    if (IsForbidden(c)) return PathFault::ForbiddenChar;
  if (name.back() == L'.' || name.back() == L' ') return PathFault::TrailingDotSpace;
  if (IsDeviceName(name)) return PathFault::DeviceName;
  return PathFault::None;
}

// A name of the path (after the drive) may be a short one.
bool MayHoldShortName(const std::wstring& canonical) {
  return canonical.find(L'~', 3) != std::wstring::npos;
}

// The system names every name it looked up as the directory spells it; a
// name that was long already keeps the letters it was given. given is a
// canonical form, expanded what the system made of it.
std::wstring KeepGivenCase(const std::wstring& given, const std::wstring& expanded) {
  std::wstring out;
  size_t g = 0, e = 0;
  while (g <= given.size() && e <= expanded.size()) {
    size_t ge = given.find(L'\\', g), ee = expanded.find(L'\\', e);
    if (ge == std::wstring::npos) ge = given.size();
    if (ee == std::wstring::npos) ee = expanded.size();
    if ((ge == given.size()) != (ee == expanded.size())) return expanded;  // not name for name
    std::wstring a = given.substr(g, ge - g), b = expanded.substr(e, ee - e);
    out += SamePath(a, b) ? a : b;
    if (ge == given.size()) return out;
    out += L'\\';
    g = ge + 1;
    e = ee + 1;
  }
  return expanded;
}

bool SystemLongName(const std::wstring& path, std::wstring* out) {
  return tov::LongPathName(path, out);
}

}  // namespace

PathFault CanonicalPathText(const std::wstring& in, PathDrives drives, std::wstring* out) {
  if (in.empty()) return PathFault::Empty;
  if (in.size() > kMaxPathChars) return PathFault::TooLong;
  for (wchar_t c : in)
    if (c < 0x20) return PathFault::Control;
  if (in.size() >= 2 && IsSep(in[0]) && IsSep(in[1])) {
    // \\?\ and \\.\ (and \\? or \\. alone); anything else is a share.
    if (in.size() >= 3 && (in[2] == L'?' || in[2] == L'.') && (in.size() == 3 || IsSep(in[3])))
      return PathFault::Namespace;
    return PathFault::Share;
  }
  if (in.size() >= 4 && IsSep(in[0]) && in[1] == L'?' && in[2] == L'?' && IsSep(in[3]))
    return PathFault::Namespace;
  if (in.size() < 2 || !IsAsciiLetter(in[0]) || in[1] != L':') return PathFault::Relative;
  wchar_t drive = static_cast<wchar_t>(tov::LowerAscii(in[0]) - L'a' + L'A');
  if (drives == PathDrives::SystemOnly && drive != L'C') return PathFault::OtherDrive;
  if (in.size() > 2 && !IsSep(in[2])) return PathFault::Relative;
  std::wstring form;
  form.reserve(in.size());
  form += drive;
  form += L":\\";
  size_t at = 3;
  while (at < in.size()) {
    size_t end = at;
    while (end < in.size() && !IsSep(in[end])) ++end;
    if (end > at) {
      std::wstring name = in.substr(at, end - at);
      PathFault f = NameFault(name);
      if (f != PathFault::None) return f;
      if (form.size() > 3) form += L'\\';
      form += name;
    }
    at = end + 1;
  }
  *out = std::move(form);
  return PathFault::None;
}

PathFault CanonicalPath(const std::wstring& in, PathDrives drives, std::wstring* out) {
  std::wstring form;
  PathFault f = CanonicalPathText(in, drives, &form);
  if (f != PathFault::None) return f;
  if (!MayHoldShortName(form)) {
    *out = std::move(form);
    return PathFault::None;
  }
  LongNameSeam seam = g_longName.load();
  if (!seam) seam = SystemLongName;
  // The longest prefix that exists, while it still holds a "~": the names
  // after it are not on the disk, and are kept as written.
  size_t end = form.size();
  while (end > 3 && form.find(L'~', 3) < end) {
    std::wstring expanded;
    if (seam(form.substr(0, end), &expanded)) {
      std::wstring again;
      f = CanonicalPathText(KeepGivenCase(form.substr(0, end), expanded) + form.substr(end), drives,
                            &again);
      if (f != PathFault::None) return f;
      *out = std::move(again);
      return PathFault::None;
    }
    size_t cut = form.rfind(L'\\', end - 1);
    end = cut == std::wstring::npos || cut < 3 ? 3 : cut;
  }
  *out = std::move(form);
  return PathFault::None;
}

PathFault CanonicalPathUtf8(const std::string& in, PathDrives drives, std::wstring* out) {
  return CanonicalPath(tov::Utf8ToWide(in), drives, out);
}

LongNameSeam SetLongNameSeamForTest(LongNameSeam seam) {
  return g_longName.exchange(seam);
}

std::wstring FoldedPath(const std::wstring& canonical) {
  return tov::LowerAscii(canonical);
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tov::LowerAscii(a[i]) != tov::LowerAscii(b[i])) return false;
  return true;
}

bool PathWithin(const std::wstring& path, const std::wstring& dir) {
  if (dir.empty() || path.size() <= dir.size()) return false;
  // The drive's root ends in its separator already.
  if (dir.back() != L'\\' && path[dir.size()] != L'\\') return false;
  for (size_t i = 0; i < dir.size(); ++i)
    if (tov::LowerAscii(path[i]) != tov::LowerAscii(dir[i])) return false;
  return true;
}

bool PathAtOrWithin(const std::wstring& path, const std::wstring& dir) {
  return SamePath(path, dir) || PathWithin(path, dir);
}

}  // namespace tamsel
