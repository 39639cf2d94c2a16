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
void SpaceKindsTableJson(tov::JsonWriter& w) {
  w.BeginArray();
  for (size_t k = 0; k < kSpaceKindCount; ++k) {
    w.BeginObject().Key("kind").Str(SpaceKindName(k)).Key("extensions").BeginArray();
    const std::string list = SpaceKindExtensions(k);
    for (size_t at = 0; at < list.size();) {
      size_t end = list.find(' ', at);
      if (end == std::string::npos) end = list.size();
      w.Str(list.substr(at, end - at));
      at = end + 1;
    }
    w.EndArray().EndObject();
  }
  w.EndArray();
}

}  // namespace

bool NeedsAdmin(const RuleItem& item) {
  if (item.mode == ItemMode::Hibernate || item.mode == ItemMode::SystemTool) return true;
  for (const Target& t : item.targets)
    if (UnderSystemDir(t.path)) return true;
  return false;
}

std::string MetaJson(const std::string& name, const std::string& version,
                     const std::vector<Category>& cats) {
  tov::JsonWriter w = tov::OkWriter();
  w.Key("name").Str(name).Key("version").Str(version);
  w.Key("feedbackMaxChars").Num(tov::kMaxFeedbackChars);
  w.Key("detailFiles").BeginObject().Key("default").Num(kDefaultDetailFiles);
  w.Key("max").Num(kMaxDetailFiles).EndObject();
  w.Key("adminItems").BeginArray();
  for (const Category& c : cats)
    for (const RuleItem& it : c.items)
      if (NeedsAdmin(it)) w.Str(it.id);
  w.EndArray().Key("spaceKinds");
  SpaceKindsTableJson(w);
  w.Key("userFileItems").BeginArray();
  for (const Category& c : cats)
    for (const RuleItem& it : c.items)
      if (it.userFiles) w.Str(it.id);
  // Items whose folders are searched for caches by their structure: they
  // delete only in what the search finds, never the folders' own files.
  w.EndArray().Key("searchItems").BeginArray();
  for (const Category& c : cats)
    for (const RuleItem& it : c.items) {
      bool searches = false;
      for (const Target& t : it.targets) searches = searches || t.findsChromiumCaches;
      if (searches) w.Str(it.id);
    }
  return w.EndArray().EndObject().Take();
}

}  // namespace tamsel
