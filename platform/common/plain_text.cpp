// Text helpers that need no system call, shared by both backends and every
// folder above: the ASCII lower-casing and the UTF-8 encoder.
#include "platform/platform.h"

namespace tov {

std::string LowerAscii(std::string s) {
  for (char& c : s) c = LowerAscii(c);
  return s;
}

std::wstring LowerAscii(std::wstring s) {
  for (wchar_t& c : s) c = LowerAscii(c);
  return s;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  constexpr uint32_t kReplacement = 0xFFFD;
  if (cp > 0x10FFFF) cp = kReplacement;
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace tov
