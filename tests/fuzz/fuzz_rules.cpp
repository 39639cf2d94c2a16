// libFuzzer harness for the path-safety gate and the name matcher. The
// input becomes wide strings (bytes mapped onto ASCII, non-ASCII letters
// with and without case partners, and CJK), and the properties checked are:
// - WildMatchStr agrees with an exhaustive matcher written here, and every
//   text matches itself;
// - IsDriveRootPath agrees with its documented rule, and IsUnderDir with
//   its rule on the one form of both paths (paths/paths.h);
// - IsSafeDeletePath never passes a drive root, the home folder however it
//   is spelled, anything inside the desktop, or the Windows folder without
//   the system permission, and only writes its reason when it refuses;
// - the gate with its look-ups taken once (SafetyContext, what a task uses,
//   on paths already in their one form) refuses nothing the gate that asks
//   every time passes, and what it refuses that gate refuses with the same
//   reason; that gate refuses besides only paths without a form (with the
//   path module's reason) or whose form it refuses.
// The path tests are steered by a prefix the first byte picks (home,
// desktop, system folders, a drive), so that the fuzzer starts next to the
// boundaries instead of having to find them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "paths/paths.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"

namespace {

void Check(bool ok, const char* what, const std::wstring& a, const std::wstring& b = L"") {
  if (ok) return;
  fprintf(stderr, "INVARIANT BROKEN: %s\n[%s]\n[%s]\n", what, tov::WideToUtf8(a).c_str(),
          tov::WideToUtf8(b).c_str());
  fflush(stderr);
  abort();
}

wchar_t Fold(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
}

std::wstring FoldAll(std::wstring s) {
  for (wchar_t& c : s) c = Fold(c);
  return s;
}

// Characters that do not fold under an ASCII-only rule, though Unicode
// would fold some of them (the Kelvin sign, dotted capital I, long s).
const wchar_t kOdd[] = {0x00C4, 0x00E4, 0x0130, 0x0131, 0x212A, 0x017F, 0x00C9, 0x00E9,
                        0x0100, 0x0101, 0xFF21, 0xFF41, 0xFFFD, 0x3000, 0x00A0, 0x2215};

std::wstring Widen(const uint8_t* p, size_t n) {
  std::wstring out;
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = p[i];
    if (b == 0) continue;  // the matcher works on NUL-terminated strings
    if (b < 0x80)
      out.push_back(static_cast<wchar_t>(b));
    else if (b < 0x90)
      out.push_back(kOdd[b - 0x80]);
    else
      out.push_back(static_cast<wchar_t>(0x4E00 + (b - 0x90)));
  }
  return out;
}

// Exhaustive matcher: match[i][j] says whether pattern[i..] matches text[j..].
bool Matches(const std::wstring& p, const std::wstring& t) {
  std::vector<std::vector<char>> m(p.size() + 1, std::vector<char>(t.size() + 1, 0));
  m[p.size()][t.size()] = 1;
  for (size_t i = p.size(); i-- > 0;) {
    for (size_t j = t.size() + 1; j-- > 0;) {
      if (p[i] == L'*')
        m[i][j] = m[i + 1][j] || (j < t.size() && m[i][j + 1]);
      else if (j < t.size() && (p[i] == L'?' || Fold(p[i]) == Fold(t[j])))
        m[i][j] = m[i + 1][j + 1];
    }
  }
  return m[0][0];
}

bool RootByRule(const std::wstring& path) {
  if (path.size() < 2) return true;
  std::wstring p = path;
  while (p.size() > 1 && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
  return p.size() == 2 && p[1] == L':';
}

// IsUnderDir's rule where both texts have their one form: the path's form
// lies inside the folder's, or is it while the path is written with a
// trailing separator.
bool UnderByForms(const std::wstring& path, const std::wstring& dir, bool* known) {
  std::wstring p, d;
  *known =
      !path.empty() && !dir.empty() &&
      tamsel::CanonicalPathText(path, tamsel::PathDrives::Any, &p) == tamsel::PathFault::None &&
      tamsel::CanonicalPathText(dir, tamsel::PathDrives::Any, &d) == tamsel::PathFault::None;
  if (!*known) return false;
  std::wstring fp = FoldAll(p), fd = FoldAll(d);
  if (fd.back() != L'\\') fd += L'\\';
  bool inside = fp.size() >= fd.size() && fp.compare(0, fd.size(), fd) == 0 && fp != fd;
  bool sep = path.back() == L'\\' || path.back() == L'/';
  return inside || (sep && FoldAll(p) == FoldAll(d));
}

bool UnderByRule(const std::wstring& path, const std::wstring& dir) {
  if (dir.empty()) return false;
  std::wstring d = FoldAll(dir);
  if (d.back() != L'\\') d += L'\\';
  std::wstring p = FoldAll(path);
  return p.compare(0, d.size(), d) == 0 && p.size() >= d.size();
}

std::wstring TrimBackslashes(std::wstring s) {
  while (s.size() > 1 && s.back() == L'\\') s.pop_back();
  return s;
}

std::wstring g_home, g_desktop, g_windows;
tamsel::SafetyContext g_safety;
std::vector<std::wstring> g_prefixes;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The gate reads only the environment; no file is looked at.
  setenv("TAMSEL_ROOT", "/nonexistent-tamsel-fuzz-root", 1);
  g_home = tamsel::ExpandEnvW(L"%USERPROFILE%");
  tov::ShellFolderPath(tov::ShellFolder::Desktop, &g_desktop);
  g_windows = tamsel::ExpandEnvW(L"%SystemRoot%");
  g_prefixes = {L"",
                L"C:",
                g_home,
                g_desktop,
                g_windows,
                tamsel::ExpandEnvW(L"%ProgramFiles%"),
                tamsel::ExpandEnvW(L"%ProgramFiles(x86)%"),
                L"C:\\Windows.old",
                L"C:\\Users",
                L"\\\\?\\C:"};
  g_safety = tamsel::MakeSafetyContext();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  uint8_t pick = data[0], flags = data[1];
  size_t split = data[2];
  data += 3;
  size -= 3;
  if (split > size) split = size;
  std::wstring a = Widen(data, split);
  std::wstring b = Widen(data + split, size - split);

  // The matcher.
  Check(tamsel::WildMatchStr(a.c_str(), b.c_str()) == Matches(a, b), "WildMatchStr disagrees", a,
        b);
  Check(tamsel::WildMatchStr(b.c_str(), b.c_str()), "a text does not match itself", b);

  // A path next to one of the boundaries, its prefix in a random ASCII case.
  std::wstring prefix = g_prefixes[pick % g_prefixes.size()];
  if (flags & 2)
    for (size_t i = 0; i < prefix.size(); ++i)
      if ((pick >> (i % 8)) & 1 && prefix[i] >= L'a' && prefix[i] <= L'z') prefix[i] -= 32;
  std::wstring path = prefix + b;
  bool allowSystem = flags & 1;

  Check(tamsel::IsDriveRootPath(path) == RootByRule(path), "IsDriveRootPath disagrees", path);
  bool known = false;
  bool under = UnderByForms(path, a, &known);
  if (known) Check(tamsel::IsUnderDir(path, a) == under, "IsUnderDir disagrees", path, a);

  const std::wstring kUntouched = L"untouched";
  std::wstring reason = kUntouched;
  bool safe = tamsel::IsSafeDeletePath(path, allowSystem, reason);
  std::wstring reasonOnce = kUntouched;
  bool safeOnce = tamsel::IsSafeDeletePath(g_safety, path, allowSystem, reasonOnce);
  Check(!safe || safeOnce, "the gate passed what the gate with a context refuses", path,
        reasonOnce);
  Check(safeOnce || reasonOnce == reason, "the gate with a context gives another reason", path,
        reasonOnce);
  if (safe) {
    Check(reason == kUntouched, "a pass wrote a reason", path, reason);
    Check(!RootByRule(path), "a drive root passed", path);
    Check(!UnderByRule(path, g_desktop), "a path inside the desktop passed", path);
    Check(FoldAll(TrimBackslashes(path)) != FoldAll(TrimBackslashes(g_home)),
          "the home folder passed", path);
    if (!allowSystem)
      Check(!UnderByRule(path, g_windows) && FoldAll(path) != FoldAll(g_windows),
            "the Windows folder passed without the system permission", path);
  } else {
    static const std::wstring kReasons[] = {L"空路径", L"盘符根目录", L"桌面",
                                            L"系统目录(规则未声明 allowSystem)", L"用户主目录根"};
    bool named = false;
    for (const std::wstring& r : kReasons) named = named || reason == r;
    for (int f = 1; f < static_cast<int>(tamsel::PathFault::Count); ++f)
      named =
          named || reason == tamsel::U2W(tamsel::PathFaultText(static_cast<tamsel::PathFault>(f)));
    Check(named, "a refusal without one of the five reasons or a path fault's", path, reason);
  }

  // Expansion trims trailing separators past a drive root.
  std::wstring expanded = tamsel::ExpandEnvW(path);
  if (expanded.size() > 3)
    Check(expanded.back() != L'\\' && expanded.back() != L'/', "expansion kept a separator", path,
          expanded);
  return 0;
}
