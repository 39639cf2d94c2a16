#include "api/meta_api.h"

#include "feedback/feedback.h"
#include "platform/platform.h"
#include "text/text.h"

namespace tamsel {
namespace {

// The path lower-cased (ASCII only) with the drive letter and colon cut, or
// empty when it does not start with "X:\".
std::wstring AfterDrive(const std::wstring& path) {
  if (path.size() < 3 || path[1] != L':' || path[2] != L'\\') return L"";
  return tov::LowerAscii(path.substr(2));
}

bool UnderSystemDir(const std::wstring& path) {
  static const wchar_t* const kDirs[] = {L"\\windows", L"\\program files",
                                         L"\\program files (x86)"};
  std::wstring p = AfterDrive(path);
  for (const wchar_t* dir : kDirs) {
    std::wstring d(dir);
    if (p.compare(0, d.size(), d) == 0 && (p.size() == d.size() || p[d.size()] == L'\\'))
      return true;
  }
  return false;
}

}  // namespace

bool NeedsAdmin(const RuleItem& item) {
  if (item.mode == "hibernate") return true;
  for (const Target& t : item.targets)
    if (UnderSystemDir(t.path)) return true;
  return false;
}

std::string MetaJson(const std::string& name, const std::string& version,
                     const std::vector<Category>& cats) {
  std::string o = "{\"ok\":true,\"name\":\"" + tov::JEsc(name) + "\",\"version\":\"" +
                  tov::JEsc(version) +
                  "\",\"feedbackMaxChars\":" + std::to_string(tov::kMaxFeedbackChars) +
                  ",\"detailFiles\":{\"default\":" + std::to_string(kDefaultDetailFiles) +
                  ",\"max\":" + std::to_string(kMaxDetailFiles) + "},\"adminItems\":[";
  bool first = true;
  for (const Category& c : cats)
    for (const RuleItem& it : c.items)
      if (NeedsAdmin(it)) {
        o += std::string(first ? "" : ",") + "\"" + tov::JEsc(it.id) + "\"";
        first = false;
      }
  return o + "]}";
}

}  // namespace tamsel
