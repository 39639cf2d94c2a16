// The rule records' builders and lookup, and the path-safety gate with the
// helpers the rules and the engine share.
//
// Every path comparison folds ASCII letters only: Windows compares names
// without regard to case, and folding more than ASCII would make the gate
// depend on the locale. The gate asks the system afresh on every call
// (desktop folder, environment) so that it never works on stale answers; a
// task that judges many paths asks once, when it starts (SafetyContext),
// and compares without copying, since it judges every file it deletes.
#include "rules/tamsel_core.h"

#include <cstdint>

#include "paths/paths.h"
#include "platform/platform.h"

namespace tamsel {

namespace {

// Protected system directories, expanded at every use so that the gate
// follows the environment of the moment. SystemRoot and windir normally
// agree; both are listed, plus the plain "\Windows" of the system drive, so
// that a machine where one of them is missing or odd is still covered.
const wchar_t* const kSys[] = {
    L"%SystemRoot%",        L"%windir%",       L"%ProgramFiles%",
    L"%ProgramFiles(x86)%", L"%ProgramW6432%", L"%SystemDrive%\\Windows",
};

// Refusal reasons, shown to the user in the item's error list.
const wchar_t kReasonEmpty[] = L"空路径";
const wchar_t kReasonDriveRoot[] = L"盘符根目录";
const wchar_t kReasonDesktop[] = L"桌面";
const wchar_t kReasonSystem[] = L"系统目录(规则未声明 allowSystem)";
const wchar_t kReasonHome[] = L"用户主目录根";
const wchar_t kReasonProtected[] = L"已设为不清理";

bool IsSep(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// s begins with folded (already folded), s compared folded.
bool StartsWithFolded(const std::wstring& s, const std::wstring& folded) {
  if (s.size() < folded.size()) return false;
  for (size_t i = 0; i < folded.size(); ++i)
    if (tov::LowerAscii(s[i]) != folded[i]) return false;
  return true;
}

// The first n characters of s, folded, are exactly folded.
bool EqualsFolded(const std::wstring& s, size_t n, const std::wstring& folded) {
  return n == folded.size() && StartsWithFolded(s, folded);
}

std::wstring WithTrailingBackslash(std::wstring dir) {
  if (dir.back() != L'\\') dir.push_back(L'\\');
  return dir;
}

// The canonical form of a path of the environment, the settings or the
// catalogue, or (when it has none: unexpanded, relative) its text with
// trailing separators trimmed, so that what the gate compares with is never
// lost, only never met.
std::wstring FormOrText(const std::wstring& path) {
  std::wstring form;
  if (CanonicalPath(path, PathDrives::Any, &form) == PathFault::None) return form;
  std::wstring text = path;
  while (text.size() > 3 && IsSep(text.back())) text.pop_back();
  return text;
}

}  // namespace

// ---- Names of the modes and risks ---------------------------------------------

const char* const kItemModeNames[static_cast<size_t>(ItemMode::Count)] = {
    "files", "dir", "measure", "recyclebin", "hibernate", "systool"};
const char* const kRiskNames[static_cast<size_t>(Risk::Count)] = {"low", "medium", "high"};

// ---- Builders and lookup ------------------------------------------------------

RuleItem MkItem(const char* id, const char* name, Risk risk, ItemMode mode, bool defaultEnabled,
                const char* desc) {
  RuleItem item;
  item.id = id;
  item.name = name;
  item.risk = risk;
  item.mode = mode;
  item.defaultEnabled = defaultEnabled;
  item.desc = desc;
  return item;
}

Target T(const wchar_t* path, bool recursive, bool allowSystem) {
  Target t;
  // In the one form, so that the walk's paths compare with the protected
  // paths and the skip list as they are written there (a TEMP of 8.3 names
  // included).
  std::wstring text = ExpandEnvW(path);
  size_t star = text.find(L'*');
  size_t cut = star == std::wstring::npos ? star : text.find_last_of(L"\\/", star);
  if (cut == std::wstring::npos) {
    t.path = FormOrText(text);
  } else {
    // A folder name with a wildcard has no form of its own: the folders above
    // it are written in theirs, the rest stays as declared, for the engine to
    // expand against the disk.
    std::wstring rest = text.substr(cut + 1);
    for (wchar_t& ch : rest)
      if (ch == L'/') ch = L'\\';
    t.path = FormOrText(text.substr(0, cut)) + L"\\" + rest;
  }
  t.recursive = recursive;
  t.allowSystem = allowSystem;
  return t;
}

void Inc(Target& t, const wchar_t* pattern) {
  t.include.push_back(pattern);
}

void Exc(Target& t, const wchar_t* pattern) {
  t.exclude.push_back(pattern);
}

const RuleItem* FindItem(const std::vector<Category>& cats, const std::string& id) {
  for (const Category& c : cats)
    for (const RuleItem& item : c.items)
      if (item.id == id) return &item;
  return nullptr;
}

// ---- Matching -------------------------------------------------------------------

// One pass with a single backtrack point: the last star and where in the text
// it was met. On a mismatch the star swallows one more character and the
// rest of the pattern is tried again from there; earlier stars never need to
// be revisited, since the last one can absorb whatever they would have.
bool WildMatchStr(const wchar_t* pattern, const wchar_t* text) {
  if (!pattern) pattern = L"";
  if (!text) text = L"";
  const wchar_t* p = pattern;
  const wchar_t* s = text;
  const wchar_t* star = nullptr;      // just after the remembered '*'
  const wchar_t* starText = nullptr;  // text position the star stands for
  while (*s) {
    if (*p == L'*') {
      star = ++p;
      starText = s;
    } else if (*p == L'?') {
      ++p;
      ++s;
    } else if (*p && tov::LowerAscii(*p) == tov::LowerAscii(*s)) {
      ++p;
      ++s;
    } else {
      if (!star) return false;
      p = star;
      s = ++starText;
    }
  }
  while (*p == L'*') ++p;
  return *p == L'\0';
}

// ---- Path tests ------------------------------------------------------------------

bool IsDriveRootPath(const std::wstring& path) {
  if (path.size() < 2) return true;
  size_t n = path.size();
  while (n > 1 && IsSep(path[n - 1])) --n;
  return n == 2 && path[1] == L':';
}

bool IsUnderDir(const std::wstring& path, const std::wstring& dir) {
  if (dir.empty() || path.empty()) return false;
  std::wstring p = FormOrText(path);
  std::wstring d = FormOrText(dir);
  // A path written with its separator names what is inside the folder.
  return PathWithin(p, d) || (IsSep(path.back()) && SamePath(p, d));
}

bool IsDesktopArea(const std::wstring& path) {
  std::wstring desktop;
  if (!tov::ShellFolderPath(tov::ShellFolder::Desktop, &desktop)) return false;
  return IsUnderDir(path, desktop);
}

// Walks from the path up to its drive. An element that does not exist is no
// reparse point but does not stop the walk: a path below a junction must be
// caught even when its last part is gone. Relative and odd paths end when the
// text runs out.
bool HasReparseInPath(const std::wstring& path) {
  std::wstring cur(path);
  for (int round = 0; round < 64; ++round) {
    if (cur.empty()) return false;
    uint32_t attrs = 0;
    if (tov::GetAttributes(cur, &attrs) && (attrs & tov::kAttrReparsePoint)) return true;
    size_t sep = cur.find_last_of(L"\\/");
    std::wstring parent = sep == std::wstring::npos ? cur.substr(0, 1) : cur.substr(0, sep);
    if (cur.size() == 1 && parent == cur) return false;
    if (parent.size() == 2 && parent[1] == L':') {
      // "C:" alone means the drive's current directory; the root is meant.
      return tov::GetAttributes(parent + L"\\", &attrs) && (attrs & tov::kAttrReparsePoint);
    }
    cur = parent;
  }
  return false;
}

std::wstring ExpandEnvW(const std::wstring& s) {
  std::wstring out;
  if (!tov::ExpandEnvironmentText(s, &out)) return s;
  size_t nul = out.find(L'\0');
  if (nul != std::wstring::npos) out.resize(nul);
  // A drive root keeps its separator: "C:\" stays, "C:\Windows\" loses it.
  while (out.size() > 3 && IsSep(out.back())) out.pop_back();
  return out;
}

bool IsSystemArea(const std::wstring& path) {
  if (path.empty()) return false;
  std::wstring p = FormOrText(path);
  for (const wchar_t* entry : kSys) {
    std::wstring dir = FormOrText(ExpandEnvW(entry));
    if (dir.empty()) continue;
    if (PathAtOrWithin(p, dir)) return true;
  }
  return false;
}

std::vector<std::wstring> FoldProtectedPaths(const std::vector<std::wstring>& protect) {
  std::vector<std::wstring> out;
  for (const std::wstring& p : protect) {
    std::wstring folded = FoldedPath(FormOrText(p));
    if (!folded.empty()) out.push_back(std::move(folded));
  }
  return out;
}

SafetyContext MakeSafetyContext(const std::vector<std::wstring>& protect) {
  SafetyContext c;
  c.protect = FoldProtectedPaths(protect);
  std::wstring desktop;
  if (tov::ShellFolderPath(tov::ShellFolder::Desktop, &desktop) && !desktop.empty()) {
    c.hasDesktop = true;
    c.desktop = WithTrailingBackslash(FoldedPath(FormOrText(desktop)));
  }
  for (const wchar_t* entry : kSys) {
    std::wstring dir = FoldedPath(FormOrText(ExpandEnvW(entry)));
    if (dir.empty()) continue;
    c.systemSep.push_back(WithTrailingBackslash(dir));
    c.system.push_back(std::move(dir));
  }
  std::wstring home = ExpandEnvW(L"%USERPROFILE%");
  while (home.size() > 1 && home.back() == L'\\') home.pop_back();
  c.home = home.empty() ? home : FoldedPath(FormOrText(home));
  return c;
}

bool IsProtectedPath(const SafetyContext& ctx, const std::wstring& path) {
  size_t n = path.size();
  while (n > 3 && IsSep(path[n - 1])) --n;
  for (const std::wstring& p : ctx.protect) {
    if (n < p.size() || !StartsWithFolded(path, p)) continue;
    // The path itself, or something inside it (a root such as "c:\" ends in
    // its separator already).
    if (n == p.size() || IsSep(p.back()) || IsSep(path[p.size()])) return true;
  }
  return false;
}

// The same tests as IsDesktopArea, IsSystemArea and the home comparison,
// on the folded texts of the context, without copying the path.
bool IsSafeDeletePath(const SafetyContext& ctx, const std::wstring& path, bool allowSystem,
                      std::wstring& reason) {
  if (path.empty()) {
    reason = kReasonEmpty;
    return false;
  }
  if (IsDriveRootPath(path)) {
    reason = kReasonDriveRoot;
    return false;
  }
  if (ctx.hasDesktop && StartsWithFolded(path, ctx.desktop)) {
    reason = kReasonDesktop;
    return false;
  }
  if (!allowSystem) {
    for (size_t i = 0; i < ctx.system.size(); ++i) {
      if (StartsWithFolded(path, ctx.systemSep[i]) ||
          EqualsFolded(path, path.size(), ctx.system[i])) {
        reason = kReasonSystem;
        return false;
      }
    }
  }
  // The home directory itself is never deleted, however it is written: with
  // or without trailing backslashes, so both sides are trimmed alike before
  // they are compared. Everything inside it passes this test.
  size_t n = path.size();
  while (n > 1 && path[n - 1] == L'\\') --n;
  if (EqualsFolded(path, n, ctx.home)) {
    reason = kReasonHome;
    return false;
  }
  if (IsProtectedPath(ctx, path)) {
    reason = kReasonProtected;
    return false;
  }
  return true;
}

bool IsSafeDeletePath(const std::wstring& path, bool allowSystem, std::wstring& reason) {
  SafetyContext ctx = MakeSafetyContext();
  if (!IsSafeDeletePath(ctx, path, allowSystem, reason)) return false;
  // What passes as written is judged again in its one form (short names
  // expanded); a path without one names something other than its text (a
  // control character cuts it, a trailing dot is trimmed) and is refused
  // for that.
  std::wstring form;
  PathFault fault = CanonicalPath(path, PathDrives::Any, &form);
  if (fault != PathFault::None) {
    reason = U2W(PathFaultText(fault));
    return false;
  }
  return IsSafeDeletePath(ctx, form, allowSystem, reason);
}

// ---- Text --------------------------------------------------------------------------

std::wstring U2W(const std::string& s) {
  return tov::Utf8ToWide(s);
}

std::string W2U(const std::wstring& s) {
  return tov::WideToUtf8(s);
}

}  // namespace tamsel
