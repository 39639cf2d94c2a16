// The space map's endpoints. Like the rest of the API they read bodies with
// the JSON reader and queries with the text helpers, ask the subsystem
// (space/) and format one JSON document, keys in a fixed order, no white
// space.
#include "api/map_api.h"

#include <cstdlib>
#include <vector>

#include "engine/tamsel_engine.h"
#include "paths/paths.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "settings/settings.h"
#include "space/space_task.h"
#include "text/json_doc.h"
#include "text/text.h"

namespace tamsel {
namespace {

// The engine's busy answer, as /api/scan and /api/clean give it.
constexpr const char kBusyMessage[] = "已有任务在运行";

std::string Failure(const std::string& message) {
  return tov::FailureJson(message);
}

}  // namespace

std::string ApiMapStart(const std::string& body) {
  tov::JsonValue doc;
  if (!tov::ParseBodyObject(body, &doc)) return Failure(tov::kNotJsonObject);
  std::string asked;
  if (const tov::JsonValue* root = tov::JsonMemberOf(doc, "root")) {
    if (root->kind != tov::JsonValue::Kind::String) return Failure("root 必须是文件夹路径");
    asked = root->text;
  }
  bool walk = false;
  if (const tov::JsonValue* w = tov::JsonMemberOf(doc, "walk")) {
    if (w->kind != tov::JsonValue::Kind::Bool) return Failure("walk 必须是 true 或 false");
    walk = w->flag;
  }
  std::wstring root;
  std::string message;
  if (!CheckSpaceRoot(asked, &root, &message)) return Failure(message);
  if (!StartSpaceMap(root, SpaceTargetsOf(BuildRules()), walk)) return Failure(kBusyMessage);
  return tov::OkWriter().Key("started").Bool(true).EndObject().Take();
}

SpaceGuard MapGuard() {
  return MakeSpaceGuard(MakeSafetyContext(CurrentProtectedPaths()), StateDir());
}

std::string ApiMapDir(const std::string& target) {
  return SpaceDirDoc(tov::QueryOf(target, "path"), MapGuard());
}

std::string ApiMapTop(const std::string& target) {
  return SpaceTopDoc(MapTopCount(target), MapGuard());
}

size_t MapTopCount(const std::string& target) {
  std::string text = tov::QueryOf(target, "n");
  if (text.empty()) return kSpaceDefaultTop;
  int v = atoi(text.c_str());
  if (v < 1 || static_cast<size_t>(v) > kSpaceTopFiles) return kSpaceDefaultTop;
  return static_cast<size_t>(v);
}

std::string ApiMapRecycle(const std::string& body) {
  tov::JsonValue doc;
  if (!tov::ParseBodyObject(body, &doc)) return Failure(tov::kNotJsonObject);
  const tov::JsonValue* list = tov::JsonMemberOf(doc, "paths");
  if (!list || list->kind != tov::JsonValue::Kind::Array) return Failure("paths 必须是路径数组");
  if (list->items.empty()) return Failure("没有选中任何文件或文件夹");
  if (list->items.size() > kSpaceMaxRecycle) return Failure("paths 最多 1000 个路径");
  std::vector<std::string> paths;
  for (const tov::JsonValue& p : list->items) {
    if (p.kind != tov::JsonValue::Kind::String) return Failure("paths 必须是路径数组");
    paths.push_back(p.text);
  }
  // Nothing moves while a task walks or deletes.
  if (TaskStateNow().busy) return Failure(kBusyMessage);
  return SpaceRecycleDoc(paths, MapGuard());
}

std::string ApiReveal(const std::string& body) {
  tov::JsonValue doc;
  if (!tov::ParseBodyObject(body, &doc)) return Failure(tov::kNotJsonObject);
  const tov::JsonValue* p = tov::JsonMemberOf(doc, "path");
  if (!p || p->kind != tov::JsonValue::Kind::String) return Failure("path 必须是路径");
  // Any drive, in its one form. A path of no drive, a share or a \\?\ form
  // is answered as before, as one that does not exist; any other path
  // without that form with the path module's reason, before the system
  // sees it.
  std::wstring path;
  PathFault fault = CanonicalPathUtf8(p->text, PathDrives::Any, &path);
  if (fault == PathFault::Empty || fault == PathFault::Relative || fault == PathFault::Share ||
      fault == PathFault::Namespace)
    return Failure("路径不存在");
  if (fault != PathFault::None) return Failure(PathFaultText(fault));
  uint32_t attrs = 0;
  if (!tov::GetAttributes(path, &attrs)) return Failure("路径不存在");
  if (!tov::RevealInExplorer(path)) return Failure("无法打开资源管理器");
  return tov::OkJson();
}

}  // namespace tamsel
