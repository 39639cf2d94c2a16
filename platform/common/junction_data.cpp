// The reparse data of a junction, written byte by byte so that both builds
// give the same bytes and a test can compare them with the layout
// FSCTL_SET_REPARSE_POINT reads (REPARSE_DATA_BUFFER, MountPointReparseBuffer).
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace tov {
namespace {

constexpr uint32_t kReparseTagMountPoint = 0xA0000003u;

void PutU16(std::string* out, uint32_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>((v >> 8) & 0xFF));
}

void PutU32(std::string* out, uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}

// UTF-16 little endian of a wide text: on Windows its units as they are; on
// POSIX (UTF-32) a code point past U+FFFF becomes its surrogate pair.
std::string Utf16Le(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    uint32_t cp = static_cast<uint32_t>(c);
    if (sizeof(wchar_t) > 2 && cp > 0xFFFF) {
      cp -= 0x10000;
      PutU16(&out, 0xD800 + (cp >> 10));
      PutU16(&out, 0xDC00 + (cp & 0x3FF));
    } else {
      PutU16(&out, cp & 0xFFFF);
    }
  }
  return out;
}

}  // namespace

std::string JunctionReparseData(const std::wstring& target) {
  std::string substitute = Utf16Le(L"\\??\\" + target);
  std::string print = Utf16Le(target);
  // The path buffer: both names, each with its NUL.
  std::string names = substitute + std::string(2, '\0') + print + std::string(2, '\0');
  std::string out;
  PutU32(&out, kReparseTagMountPoint);
  PutU16(&out, static_cast<uint32_t>(8 + names.size()));  // ReparseDataLength
  PutU16(&out, 0);                                        // Reserved
  PutU16(&out, 0);                                        // SubstituteNameOffset
  PutU16(&out, static_cast<uint32_t>(substitute.size()));
  PutU16(&out, static_cast<uint32_t>(substitute.size() + 2));  // PrintNameOffset
  PutU16(&out, static_cast<uint32_t>(print.size()));
  out += names;
  return out;
}

}  // namespace tov
