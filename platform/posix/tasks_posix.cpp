// POSIX stand-in of the scheduled-task seam (platform.h, the scheduled
// task), over the emulated machine of platform_posix.cpp: a task is its
// definition kept as a file, <root>/tasks/<Folder>/<Task>, the XML as the
// program registered it (UTF-16 with its byte-order mark, as Windows keeps
// them). Nothing runs it; reading it back is how the tests see what the
// program registered.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/common/internal.h"
#include "platform/platform.h"
#include "platform/posix/stand_in.h"

namespace tov {
namespace {

// The stand-in's task store: <root>/tasks/<Folder>/<Task>, each file the
// XML definition as the program registered it (UTF-16 with its byte-order
// mark, as Windows keeps them). Empty, which no file call finds, for a name
// with a ".." element, which would leave the store.
std::string TaskStorePath(const std::wstring& name) {
  std::string n = WideToUtf8(name);
  for (char& c : n)
    if (c == '\\') c = '/';
  for (size_t at = 0; at <= n.size();) {
    size_t end = n.find('/', at);
    if (end == std::string::npos) end = n.size();
    if (n.compare(at, end - at, "..") == 0) return std::string();
    at = end + 1;
  }
  return RootDir() + "/tasks/" + n;
}

}  // namespace

bool ReadScheduledTaskXml(const std::wstring& name, std::string* xml) {
  xml->clear();
  std::string raw;
  FILE* f = fopen(TaskStorePath(name).c_str(), "rb");
  if (!f) return false;
  ReadStreamToEnd(f, &raw);
  // UTF-16LE after its byte-order mark, as the definition was written.
  size_t at = raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
                      static_cast<unsigned char>(raw[1]) == 0xFE
                  ? 2
                  : 0;
  std::wstring text;
  for (; at + 1 < raw.size(); at += 2) {
    uint32_t u =
        static_cast<unsigned char>(raw[at]) | (static_cast<unsigned char>(raw[at + 1]) << 8);
    if (u >= 0xD800 && u <= 0xDBFF && at + 3 < raw.size()) {
      uint32_t lo =
          static_cast<unsigned char>(raw[at + 2]) | (static_cast<unsigned char>(raw[at + 3]) << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        at += 2;
      }
    }
    text.push_back(static_cast<wchar_t>(u));
  }
  *xml = WideToUtf8(text);
  return true;
}

bool RegisterScheduledTask(const std::wstring& name, const std::string& xml, uint32_t* code) {
  std::string store = TaskStorePath(name);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(store).parent_path(), ec);
  std::wstring text = Utf8ToWide(xml);
  std::string raw = "\xFF\xFE";
  auto unit = [&raw](uint32_t u) {
    raw.push_back(static_cast<char>(u & 0xFF));
    raw.push_back(static_cast<char>(u >> 8));
  };
  for (wchar_t c : text) {
    uint32_t cp = static_cast<uint32_t>(c);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  FILE* f = fopen(store.c_str(), "wb");
  if (f && WriteStreamAndClose(f, raw)) return true;
  *code = static_cast<uint32_t>(errno ? errno : EIO);
  return false;
}

bool DeleteScheduledTask(const std::wstring& name, uint32_t* code) {
  if (unlink(TaskStorePath(name).c_str()) == 0 || errno == ENOENT) return true;
  *code = static_cast<uint32_t>(errno);
  return false;
}

}  // namespace tov
