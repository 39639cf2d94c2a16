// Path text shared by both backends: pure string work, no system call, so
// that the Windows backend's long-path form is tested in the native build
// as well as under wine.
#include <vector>

#include "platform/platform.h"

namespace tov {
namespace {

bool IsSep(wchar_t c) {
  return c == L'\\' || c == L'/';
}

bool IsLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// The elements of rest (separators of either kind, repeated ones folded),
// "." dropped and ".." taking back the element before it, appended to out
// with a backslash before each.
void AppendElements(const std::wstring& rest, std::wstring* out) {
  std::vector<std::wstring> parts;
  size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && IsSep(rest[i])) ++i;
    size_t end = i;
    while (end < rest.size() && !IsSep(rest[end])) ++end;
    if (end > i) {
      std::wstring part = rest.substr(i, end - i);
      if (part == L"..") {
        if (!parts.empty()) parts.pop_back();
      } else if (part != L".") {
        parts.push_back(part);
      }
    }
    i = end;
  }
  for (const std::wstring& p : parts) {
    if (out->empty() || out->back() != L'\\') out->push_back(L'\\');
    *out += p;
  }
}

}  // namespace

std::wstring LongPathForm(const std::wstring& path) {
  // Already in a form the system takes as it is.
  if (path.size() >= 4 && path[0] == L'\\' && path[1] == L'\\' &&
      (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\')
    return path;
  if (path.size() >= 3 && IsLetter(path[0]) && path[1] == L':' && IsSep(path[2])) {
    std::wstring out = L"\\\\?\\";
    out += path[0];
    out += L":\\";
    AppendElements(path.substr(3), &out);
    return out;
  }
  if (path.size() >= 3 && IsSep(path[0]) && IsSep(path[1]) && !IsSep(path[2])) {
    // \\server\share\...: the server and share are the root, never climbed.
    size_t server = 2;
    while (server < path.size() && !IsSep(path[server])) ++server;
    size_t share = server + 1;
    while (share < path.size() && !IsSep(path[share])) ++share;
    if (server >= path.size() || share == server + 1) return path;
    std::wstring out = L"\\\\?\\UNC\\" + path.substr(2, server - 2) + L"\\" +
                       path.substr(server + 1, share - server - 1);
    if (share < path.size()) AppendElements(path.substr(share), &out);
    return out;
  }
  return path;
}

}  // namespace tov
