#include "api/move_api.h"

#include "api/map_api.h"
#include "engine/tamsel_engine.h"
#include "move/move.h"
#include "rules/tamsel_core.h"
#include "text/json_doc.h"
#include "text/text.h"

namespace tamsel {
namespace {

constexpr const char kBusyMessage[] = "已有任务在运行";

std::string StartedDoc(const MoveJournal& j) {
  tov::JsonWriter w = tov::OkWriter();
  w.Key("started").Bool(true).Key("id").Str(j.id).Key("path").Str(W2U(j.path));
  w.Key("to").Str(W2U(j.to)).Key("kind").Str(MoveKindName(j.kind)).Key("bytes").Num(j.bytes);
  return w.Key("files").Num(j.files).EndObject().Take();
}

}  // namespace

std::string ApiMoveStart(const std::string& body) {
  tov::JsonValue doc;
  if (!tov::ParseBodyObject(body, &doc)) return tov::FailureJson(tov::kNotJsonObject);
  std::string path, to;
  if (tov::JsonStringMember(doc, "path", &path) != tov::JsonField::Found)
    return tov::FailureJson("path 必须是文件夹路径");
  if (tov::JsonStringMember(doc, "to", &to) != tov::JsonField::Found)
    return tov::FailureJson("to 必须是目标磁盘或文件夹路径");
  // Nothing is planned while a task walks, deletes or moves.
  if (TaskStateNow().busy) return tov::FailureJson(kBusyMessage);
  MoveJournal plan;
  std::string message;
  if (!PlanMove(path, to, MapGuard(), MovesDir(), &plan, &message))
    return tov::FailureJson(message);
  if (!StartMove(plan)) return tov::FailureJson(kBusyMessage);
  return StartedDoc(plan);
}

std::string ApiMoveBack(const std::string& body) {
  tov::JsonValue doc;
  if (!tov::ParseBodyObject(body, &doc)) return tov::FailureJson(tov::kNotJsonObject);
  std::string id;
  if (tov::JsonStringMember(doc, "id", &id) != tov::JsonField::Found)
    return tov::FailureJson("id 必须是搬家记录的编号");
  if (TaskStateNow().busy) return tov::FailureJson(kBusyMessage);
  MoveJournal plan;
  std::string message;
  if (!PlanMoveBack(id, MovesDir(), &plan, &message)) return tov::FailureJson(message);
  if (!StartMove(plan)) return tov::FailureJson(kBusyMessage);
  return StartedDoc(plan);
}

std::string ApiMoves() {
  return MovesDoc(MovesDir());
}

std::string ApiMoveDrives() {
  return MoveDrivesDoc();
}

std::string ApiMoveFolders() {
  return MoveFoldersDoc(MapGuard());
}

std::string ApiMoveResultIfLast() {
  TaskSnapshot s = TaskStateNow();
  if (s.serial == 0 || LastMoveSerial() != s.serial) return std::string();
  return MoveResultDoc();
}

}  // namespace tamsel
