// libFuzzer harness for the one form of a path (paths/paths.h). The input
// becomes a wide string (bytes mapped onto ASCII, a few non-ASCII letters,
// CJK, the superscript digits and U+007F), steered by a prefix the first
// byte picks (a drive, a share, a namespace prefix, a device), and the
// properties checked are:
// - a refused path yields no form, and its fault has a text;
// - the form of a form is itself, for the text form and the full one (the
//   stand-in's short names are the identity);
// - a form begins with an upper-case drive letter, a colon and a
//   backslash; it holds no control character, no "/", no doubled "\", no
//   "." or ".." name, no name that ends in a dot or a space, none of
//   < > : " | ? * after the drive, and no trailing "\" but at the root;
// - a form on drive C is also the form where only drive C is accepted, and
//   another drive is refused there as such;
// - a path spelt with "/" for "\" and its separators doubled has the same
//   form (or the same fault);
// - SamePath, PathWithin and PathAtOrWithin agree with a plain folded
//   comparison of the forms.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "paths/paths.h"
#include "platform/platform.h"

namespace {

using tamsel::PathDrives;
using tamsel::PathFault;

void Check(bool ok, const char* what, const std::wstring& a, const std::wstring& b = L"") {
  if (ok) return;
  fprintf(stderr, "INVARIANT BROKEN: %s\n[%s]\n[%s]\n", what, tov::WideToUtf8(a).c_str(),
          tov::WideToUtf8(b).c_str());
  fflush(stderr);
  abort();
}

const wchar_t kOdd[] = {0x00C4, 0x00E4, 0x212A, 0x00B9, 0x00B2, 0x00B3, 0x007F, 0xFFFD,
                        0x3000, 0x00A0, 0x2215, 0xFF0F, 0xFF3C, 0x0130, 0x017F, 0x00E9};

std::wstring Widen(const uint8_t* p, size_t n) {
  std::wstring out;
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = p[i];
    if (b < 0x80)
      out.push_back(static_cast<wchar_t>(b));  // NUL and every control character included
    else if (b < 0x90)
      out.push_back(kOdd[b - 0x80]);
    else
      out.push_back(static_cast<wchar_t>(0x4E00 + (b - 0x90)));
  }
  return out;
}

const wchar_t* const kPrefixes[] = {
    L"",
    L"C:\\",
    L"c:/",
    L"C:",
    L"D:\\",
    L"C:\\Users\\",
    L"C:\\PROGRA~1\\",
    L"\\\\?\\C:\\",
    L"\\\\.\\",
    L"\\??\\",
    L"\\\\srv\\s\\",
    L"//",
    L"C:\\x\\con",
    L"C:\\x\\COM",
    L"C:\\a\\..\\",
    L"C:\\a.\\",
    L"C:\\a \\",
    L"C:\\\\\\\\a//b",
    L"relative\\",
    L"\\rooted",
};

bool IsForbidden(wchar_t c) {
  return c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|' || c == L'?' || c == L'*';
}

void CheckForm(const std::wstring& in, const std::wstring& form) {
  Check(
      form.size() >= 3 && form[0] >= L'A' && form[0] <= L'Z' && form[1] == L':' && form[2] == L'\\',
      "a form without its drive", in, form);
  Check(form.size() == 3 || form.back() != L'\\', "a trailing backslash", in, form);
  for (size_t i = 0; i < form.size(); ++i) {
    wchar_t c = form[i];
    Check(c >= 0x20, "a control character in a form", in, form);
    Check(c != L'/', "a slash in a form", in, form);
    Check(i < 3 || !IsForbidden(c), "a forbidden character in a form", in, form);
    if (i > 0 && c == L'\\') Check(form[i - 1] != L'\\', "a doubled backslash", in, form);
  }
  size_t at = 3;
  while (at < form.size()) {
    size_t end = form.find(L'\\', at);
    if (end == std::wstring::npos) end = form.size();
    std::wstring name = form.substr(at, end - at);
    Check(!name.empty(), "an empty name", in, form);
    Check(name != L"." && name != L"..", "a dot name in a form", in, form);
    Check(name.back() != L'.' && name.back() != L' ', "a trailing dot or space", in, form);
    at = end + 1;
  }
}

wchar_t Fold(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
}

std::wstring FoldAll(std::wstring s) {
  for (wchar_t& c : s) c = Fold(c);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The stand-in's short-name expansion asks no file.
  setenv("TAMSEL_ROOT", "/nonexistent-tamsel-fuzz-root", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t pick = data[0], split = data[1];
  data += 2;
  size -= 2;
  size_t cut = split > size ? size : split;
  std::wstring in = kPrefixes[pick % (sizeof kPrefixes / sizeof kPrefixes[0])] + Widen(data, cut);
  std::wstring other = Widen(data + cut, size - cut);
  PathDrives drives = (pick & 0x80) ? PathDrives::Any : PathDrives::SystemOnly;

  const std::wstring kUntouched = L"(untouched)";
  std::wstring form = kUntouched, text = kUntouched;
  PathFault f = tamsel::CanonicalPath(in, drives, &form);
  PathFault ft = tamsel::CanonicalPathText(in, drives, &text);
  Check(f == ft, "the text form and the full one disagree on the stand-in", in);
  if (f != PathFault::None) {
    Check(form == kUntouched && text == kUntouched, "a refused path yielded a form", in, form);
    Check(tamsel::PathFaultText(f)[0] != '\0', "a fault without its text", in);
    if (drives == PathDrives::SystemOnly && f != PathFault::OtherDrive) {
      std::wstring any;
      PathFault fa = tamsel::CanonicalPath(in, PathDrives::Any, &any);
      Check(fa != PathFault::None && fa != PathFault::OtherDrive,
            "only the drive may part the two scopes", in);
    }
    return 0;
  }
  Check(form == text, "the text form and the full one differ on the stand-in", in, form);
  CheckForm(in, form);
  std::wstring again = kUntouched;
  Check(tamsel::CanonicalPath(form, drives, &again) == PathFault::None && again == form,
        "the form of a form is not itself", form, again);
  std::wstring systemOnly;
  PathFault fs = tamsel::CanonicalPath(in, PathDrives::SystemOnly, &systemOnly);
  if (form[0] == L'C')
    Check(fs == PathFault::None && systemOnly == form, "drive C's form depends on the scope", in);
  else
    Check(fs == PathFault::OtherDrive, "another drive passed where only C: is meant", in);

  // Another spelling of the same path: "/" for "\" and every separator
  // after the drive doubled.
  std::wstring respelt = in.substr(0, 2);
  for (size_t i = 2; i < in.size(); ++i) {
    if (in[i] == L'\\' || in[i] == L'/')
      respelt += L"//";
    else
      respelt += in[i];
  }
  std::wstring form2 = kUntouched;
  Check(tamsel::CanonicalPath(respelt, drives, &form2) == PathFault::None && form2 == form,
        "another spelling has another form", respelt, form2);

  // Comparisons against another path's form.
  std::wstring o;
  std::wstring otherIn = (pick & 1 ? form + L"\\" : std::wstring(L"C:\\")) + other;
  if (tamsel::CanonicalPath(otherIn, PathDrives::Any, &o) == PathFault::None) {
    std::wstring a = FoldAll(form), b = FoldAll(o);
    Check(tamsel::SamePath(form, o) == (a == b), "SamePath disagrees", form, o);
    std::wstring bs = b.back() == L'\\' ? b : b + L'\\';
    std::wstring as = a.back() == L'\\' ? a : a + L'\\';
    bool within = a != b && a.compare(0, bs.size(), bs) == 0;
    bool within2 = a != b && b.compare(0, as.size(), as) == 0;
    Check(tamsel::PathWithin(form, o) == within, "PathWithin disagrees", form, o);
    Check(tamsel::PathWithin(o, form) == within2, "PathWithin disagrees", o, form);
    Check(tamsel::PathAtOrWithin(form, o) == (within || a == b), "PathAtOrWithin disagrees", form,
          o);
    Check(!(within && within2), "two paths inside each other", form, o);
  }
  return 0;
}
