#include "api/meta_api.h"

#include "feedback/feedback.h"
#include "platform/platform.h"
#include "space/space_map.h"
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

// The space map's kinds in their order, each with its extensions:
// [{"kind":"视频","extensions":["mp4",...]},...,{"kind":"其他","extensions":[]}].
std::string SpaceKindsTableJson() {
  std::string o = "[";
  for (size_t k = 0; k < kSpaceKindCount; ++k) {
    o += std::string(k ? "," : "") + "{\"kind\":\"" + tov::JEsc(SpaceKindName(k)) +
         "\",\"extensions\":[";
    const std::string list = SpaceKindExtensions(k);
    for (size_t at = 0, n = 0; at < list.size(); ++n) {
      size_t end = list.find(' ', at);
      if (end == std::string::npos) end = list.size();
      o += std::string(n ? "," : "") + "\"" + tov::JEsc(list.substr(at, end - at)) + "\"";
      at = end + 1;
    }
    o += "]}";
  }
  return o + "]";
}

}  // namespace

bool NeedsAdmin(const RuleItem& item) {
  if (item.mode == ItemMode::Hibernate) return true;
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
  o += "],\"spaceKinds\":" + SpaceKindsTableJson() + ",\"userFileItems\":[";
  first = true;
  for (const Category& c : cats)
    for (const RuleItem& it : c.items)
      if (it.userFiles) {
        o += std::string(first ? "" : ",") + "\"" + tov::JEsc(it.id) + "\"";
        first = false;
      }
  return o + "]}";
}

}  // namespace tamsel
