#include "move/move_journal.h"

#include <algorithm>

#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "settings/settings.h"
#include "text/json_doc.h"
#include "text/json_writer.h"
#include "text/text.h"

namespace tamsel {
namespace {

const char* const kStepNames[] = {"planned", "copying",      "copied",     "switched",
                                  "done",    "rolling-back", "rolled-back"};
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;
const wchar_t kJournalExt[] = L".json";

bool StepOfName(const std::string& name, MoveStep* step) {
  for (size_t i = 0; i < sizeof kStepNames / sizeof kStepNames[0]; ++i)
    if (name == kStepNames[i]) {
      *step = static_cast<MoveStep>(i);
      return true;
    }
  return false;
}

bool Digits(const std::string& s, size_t at, size_t n) {
  if (at + n > s.size()) return false;
  for (size_t i = at; i < at + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

std::wstring JournalPath(const std::wstring& dir, const std::string& id) {
  return dir + L"\\" + U2W(id) + kJournalExt;
}

}  // namespace

const char* MoveStepName(MoveStep step) {
  return kStepNames[static_cast<size_t>(step)];
}

const char* MoveKindName(MoveKind kind) {
  return kind == MoveKind::Known ? "known" : "junction";
}

std::wstring MovesDir() {
  std::wstring state = StateDir();
  return state.empty() ? std::wstring() : state + L"\\moves";
}

bool IsMoveId(const std::string& id) {
  if (id.size() < 17 || id.size() > 26 || !Digits(id, 0, 8) || id[8] != '-' || !Digits(id, 9, 6) ||
      id[15] != '-')
    return false;
  return Digits(id, 16, id.size() - 16);
}

std::string NewMoveId(const std::wstring& dir) {
  std::string stamp = tov::LocalStamp(tov::NowFileTime());
  if (stamp.size() != 15) stamp = "00000000-000000";
  for (uint32_t n = 1;; ++n) {
    std::string id = stamp + "-" + std::to_string(n);
    uint32_t attrs = 0;
    if (!tov::GetAttributes(JournalPath(dir, id), &attrs)) return id;
  }
}

std::string MoveJournalJson(const MoveJournal& j) {
  tov::JsonWriter w;
  w.BeginObject().Key("version").Num(1).Key("id").Str(j.id).Key("path").Str(W2U(j.path));
  w.Key("to").Str(W2U(j.to)).Key("kind").Str(MoveKindName(j.kind));
  w.Key("folder").Int(j.folder).Key("back").Bool(j.back).Key("undoOf").Str(j.undoOf);
  w.Key("undone").Bool(j.undone).Key("step").Str(MoveStepName(j.step)).Key("time").Num(j.time);
  w.Key("bytes").Num(j.bytes).Key("files").Num(j.files).Key("note").Str(j.note);
  return w.EndObject().Take();
}

bool ParseMoveJournal(const std::string& text, MoveJournal* j) {
  tov::JsonValue doc;
  if (!tov::ParseJson(text, &doc) || doc.kind != tov::JsonValue::Kind::Object) return false;
  MoveJournal r;
  std::string path, to, kind, step;
  const tov::JsonValue* folder = tov::JsonMemberOf(doc, "folder");
  int64_t f = 0;
  if (tov::JsonStringMember(doc, "id", &r.id) != tov::JsonField::Found || !IsMoveId(r.id) ||
      tov::JsonStringMember(doc, "path", &path) != tov::JsonField::Found ||
      tov::JsonStringMember(doc, "to", &to) != tov::JsonField::Found ||
      tov::JsonStringMember(doc, "kind", &kind) != tov::JsonField::Found ||
      tov::JsonStringMember(doc, "step", &step) != tov::JsonField::Found ||
      !StepOfName(step, &r.step) || !folder || !tov::JsonIntIn(*folder, -1, 5, &f) ||
      tov::JsonBoolMember(doc, "back", &r.back) != tov::JsonField::Found ||
      tov::JsonStringMember(doc, "undoOf", &r.undoOf) != tov::JsonField::Found ||
      tov::JsonBoolMember(doc, "undone", &r.undone) != tov::JsonField::Found ||
      tov::JsonCountMember(doc, "time", &r.time) != tov::JsonField::Found ||
      tov::JsonCountMember(doc, "bytes", &r.bytes) != tov::JsonField::Found ||
      tov::JsonCountMember(doc, "files", &r.files) != tov::JsonField::Found ||
      tov::JsonStringMember(doc, "note", &r.note) != tov::JsonField::Found)
    return false;
  if (kind != "known" && kind != "junction") return false;
  r.kind = kind == "known" ? MoveKind::Known : MoveKind::Junction;
  if ((r.kind == MoveKind::Known) != (f >= 0)) return false;
  r.folder = static_cast<int>(f);
  r.path = U2W(path);
  r.to = U2W(to);
  *j = r;
  return true;
}

bool SaveMoveJournal(const std::wstring& dir, const MoveJournal& j) {
  if (dir.empty() || !IsMoveId(j.id)) return false;
  tov::CreateDir(dir);  // normally there already
  std::wstring file = JournalPath(dir, j.id);
  std::wstring tmp = file + L".tmp";
  return tov::WriteFileDurable(tmp, MoveJournalJson(j)) && tov::ReplaceFileWith(tmp, file);
}

std::vector<MoveJournal> LoadMoveJournals(const std::wstring& dir) {
  std::vector<MoveJournal> out;
  if (dir.empty()) return out;
  tov::ListDir(dir, [&](const tov::DirEntry& e) {
    const size_t ext = sizeof kJournalExt / sizeof kJournalExt[0] - 1;
    if ((e.attrs & (tov::kAttrDirectory | tov::kAttrReparsePoint)) || e.name.size() <= ext ||
        e.name.compare(e.name.size() - ext, ext, kJournalExt) != 0)
      return true;
    std::string id = W2U(e.name.substr(0, e.name.size() - ext));
    std::string text;
    MoveJournal j;
    if (IsMoveId(id) && tov::ReadWholeFile(dir + L"\\" + e.name, &text) &&
        ParseMoveJournal(text, &j) && j.id == id)
      out.push_back(std::move(j));
    return true;
  });
  std::sort(out.begin(), out.end(), [](const MoveJournal& a, const MoveJournal& b) {
    if (a.time != b.time) return a.time > b.time;
    return a.id > b.id;
  });
  return out;
}

uint64_t MoveNowMs() {
  uint64_t now = tov::NowFileTime();
  return now > kUnixEpochFileTime ? (now - kUnixEpochFileTime) / 10000 : 0;
}

}  // namespace tamsel
