// The cleaning API: the route table the program's entry hands the web
// server. It reads each body as one JSON object through the JSON reader (a
// body that is not one, or whose members have the wrong type, gets a failure
// document and starts nothing) and queries with the text helpers, asks the
// rules and the engine, and formats one JSON document per request; it keeps
// no state of its own besides the process-wide catalogue. Documents are written by the
// JSON writer, keys in a fixed order, no white space; the interface and the
// single-instance probe rely on both.
#include "api/tamsel_api.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/map_api.h"
#include "api/meta_api.h"
#include "api/move_api.h"
#include "api/shell_api.h"
#include "desktop/shell_win.h"
#include "engine/tamsel_engine.h"
#include "lifecycle/shell_life.h"
#include "move/move.h"
#include "paths/paths.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "server/routes.h"
#include "server/web_shell.h"
#include "settings/clean_record.h"
#include "settings/history.h"
#include "settings/settings.h"
#include "space/space_task.h"
#include "text/json_doc.h"
#include "text/text.h"
#include "unattended/schedule.h"

namespace {

constexpr const char kBusyMessage[] = "已有任务在运行";
constexpr size_t kMaxSkipPaths = 100000;

// The process-wide catalogue, built on first use. The initialisation of a
// function-local static runs exactly once even when two first requests race,
// and nobody sees it before it is complete.
const std::vector<tamsel::Category>& Rules() {
  static const std::vector<tamsel::Category> g_cats = tamsel::BuildRules();
  return g_cats;
}

std::string ApiRules() {
  tov::JsonWriter w = tov::OkWriter();
  w.Key("categories").BeginArray();
  for (const tamsel::Category& c : Rules()) {
    w.BeginObject().Key("id").Str(c.id).Key("name").Str(c.name).Key("items").BeginArray();
    for (const tamsel::RuleItem& it : c.items) {
      w.BeginObject().Key("id").Str(it.id).Key("name").Str(it.name);
      w.Key("risk")
          .Str(tamsel::RiskName(it.risk))
          .Key("mode")
          .Str(tamsel::ItemModeName(it.mode))
          .Key("desc")
          .Str(it.desc);
      w.Key("defaultEnabled").Bool(it.defaultEnabled).Key("allowDetails").Bool(it.allowDetails);
      w.Key("targets").BeginArray();
      for (const tamsel::Target& t : it.targets) w.Str(tamsel::W2U(t.path));
      w.EndArray();
      // An item of Windows' own tools: how long its action may take and
      // whether it may be stopped once started.
      if (it.mode == tamsel::ItemMode::SystemTool)
        w.Key("tool")
            .BeginObject()
            .Key("time")
            .Str(it.toolTime)
            .Key("stoppable")
            .Bool(it.toolStoppable)
            .EndObject();
      w.EndObject();
    }
    w.EndArray().EndObject();
  }
  return w.EndArray().EndObject().Take();
}

std::string ApiStatus() {
  tamsel::TaskSnapshot s = tamsel::TaskStateNow();
  tov::JsonWriter w = tov::OkWriter();
  w.Key("busy").Bool(s.busy).Key("finished").Bool(s.finished).Key("phase").Str(s.phase);
  w.Key("done").Num(static_cast<uint64_t>(static_cast<int64_t>(s.done)));
  w.Key("total").Num(static_cast<uint64_t>(static_cast<int64_t>(s.total)));
  w.Key("bytes").Num(s.bytes).Key("files").Num(s.files).Key("cur").Str(s.cur);
  return w.EndObject().Take();
}

// One item of a result; a clean's (withErrors) also says what it left to
// earlier items: "shared":N,"sharedWith":["id",...].
void ItemJson(const std::string& id, const tamsel::ItemStat& st, bool withErrors,
              tov::JsonWriter& w) {
  w.BeginObject().Key("id").Str(id).Key("bytes").Num(st.bytes).Key("files").Num(st.files);
  w.Key("skipped").Num(st.skipped).Key("errors");
  if (withErrors)
    w.Strings(st.errors).Key("shared").Num(st.shared).Key("sharedWith").Strings(st.sharedWith);
  else
    w.BeginArray().EndArray();
  // A system tool's item adds what its tool said: "tool":{"note":"...",
  // "unknown":bool,"freeBefore":N,"freeAfter":N} (free space of C: right
  // before and after a real action, else 0).
  // The restore points' and driver packages' items add what they listed:
  // "entries":[{"id","name","provider","class","version","date","bytes",
  // "sizeKnown","state","note"}] (state: a scan's "keep"|"goes", a clean's
  // "removed"|"skipped"|"kept").
  if (st.systemTool) {
    w.Key("tool").BeginObject().Key("note").Str(st.toolNote).Key("unknown").Bool(st.sizeUnknown);
    w.Key("freeBefore").Num(st.freeBefore).Key("freeAfter").Num(st.freeAfter);
    if (!st.toolEntries.empty()) {
      w.Key("entries").BeginArray();
      for (const tamsel::ToolEntry& e : st.toolEntries) {
        w.BeginObject().Key("id").Str(e.id).Key("name").Str(e.name).Key("provider").Str(e.provider);
        w.Key("class").Str(e.cls).Key("version").Str(e.version).Key("date").Str(e.date);
        w.Key("bytes").Num(e.bytes).Key("sizeKnown").Bool(e.sizeKnown).Key("state").Str(e.state);
        w.Key("note").Str(e.note).EndObject();
      }
      w.EndArray();
    }
    w.EndObject();
  }
  w.EndObject();
}

// The items of a result list and their totals, as "items":[...],
// "totalBytes":N,"totalFiles":N: a clean's items count each file once, so
// their sums do; a scan's totals take off what the overlaps count twice.
void ItemsAndTotals(const tamsel::ResultList& list, bool withErrors, tov::JsonWriter& w,
                    const std::vector<tamsel::Overlap>& overlaps = {}) {
  w.Key("items").BeginArray();
  uint64_t tb = 0, tf = 0;
  for (const auto& entry : list) {
    ItemJson(entry.first, entry.second, withErrors, w);
    tb += entry.second.bytes;
    tf += entry.second.files;
  }
  for (const tamsel::Overlap& ov : overlaps) {
    uint64_t extra = ov.items.size() - 1;
    tb -= std::min(tb, extra * ov.bytes);
    tf -= std::min(tf, extra * ov.files);
  }
  w.EndArray().Key("totalBytes").Num(tb).Key("totalFiles").Num(tf);
}

// "overlaps":[{"items":["id",...],"files":N,"bytes":N},...]
void OverlapsJson(const std::vector<tamsel::Overlap>& overlaps, tov::JsonWriter& w) {
  w.Key("overlaps").BeginArray();
  for (const tamsel::Overlap& ov : overlaps) {
    w.BeginObject().Key("items").Strings(ov.items).Key("files").Num(ov.files);
    w.Key("bytes").Num(ov.bytes).EndObject();
  }
  w.EndArray();
}

std::string ApiResult() {
  // A move's result while the last task is one.
  std::string move = tamsel::ApiMoveResultIfLast();
  if (!move.empty()) return move;
  tamsel::TaskResults r = tamsel::TaskResultsNow();
  tamsel::TaskSnapshot s = tamsel::TaskStateNow();
  tov::JsonWriter w = tov::OkWriter();
  w.Key("kind").Str(r.kind).Key("dryRun").Bool(r.dryRun);
  ItemsAndTotals(r.last, true, w);
  w.Key("freeBefore").Num(s.freeBefore).Key("freeAfter").Num(s.freeAfter);
  // A real clean whose record could not be written says so, and whether it
  // stopped for that; otherwise the document keeps its shape.
  if (!r.note.empty()) w.Key("recordError").Str(r.note);
  if (r.note == tamsel::kRecordStopped) w.Key("recordStopped").Bool(true);
  return w.EndObject().Take();
}

std::string ApiScanResult() {
  tamsel::TaskResults r = tamsel::TaskResultsNow();
  tov::JsonWriter w = tov::OkWriter();
  w.Key("kind").Str("scan").Key("empty").Bool(r.lastScan.empty());
  if (r.lastScan.empty()) {
    w.Key("items").BeginArray().EndArray().Key("totalBytes").Num(0).Key("totalFiles").Num(0);
    w.Key("overlaps").BeginArray().EndArray();
    return w.EndObject().Take();
  }
  w.Key("age").Num(tov::TickCount64() - r.lastScanAt);
  ItemsAndTotals(r.lastScan, false, w, r.lastScanOverlaps);
  OverlapsJson(r.lastScanOverlaps, w);
  return w.EndObject().Take();
}

// The system tool an earlier run left running when it ended (the mark
// tamsel::kToolMarkName in the settings folder, read and removed by
// ApiStartup before the server serves): its item's name, else empty.
std::string g_toolLeftRunning;

std::string ApiEnv() {
  tov::JsonWriter w = tov::OkWriter();
  w.Key("admin").Bool(tov::IsAdminUser()).Key("version").Str(tov::kVersion);
  w.Key("name").Str(tov::kProductName).Key("drive").Raw(tamsel::DiskInfoJson("C:"));
  // Only after a run that ended while a system tool ran on: its item's name.
  if (!g_toolLeftRunning.empty()) w.Key("toolLeftRunning").Str(g_toolLeftRunning);
  return w.EndObject().Take();
}

// The user's choices of a scan or clean body: "olderThanDays" (both) and
// "skip" (clean only), each of the right type and range or no task starts.
// The protected paths come from the settings.
bool ReadTaskOptions(const tov::JsonValue& doc, bool withSkip, tamsel::TaskOptions* opt,
                     std::string* message) {
  *opt = tamsel::OptionsFromSettings(0);
  if (const tov::JsonValue* age = tov::JsonMemberOf(doc, "olderThanDays")) {
    int64_t days = 0;
    if (!tov::JsonIntIn(*age, 0, tamsel::kMaxOlderThanDays, &days)) {
      *message = "olderThanDays 必须是 0 到 3650 的整数";
      return false;
    }
    opt->cutoff = tamsel::AgeCutoff(tov::NowFileTime(), static_cast<int>(days));
  }
  if (!withSkip) return true;
  std::vector<std::string> skip;
  switch (tov::JsonStringsMember(doc, "skip", &skip)) {
    case tov::JsonField::WrongType:
      *message = "skip 必须是路径数组";
      return false;
    case tov::JsonField::Missing:
      return true;
    case tov::JsonField::Found:
      break;
  }
  if (skip.size() > kMaxSkipPaths) {
    *message = "skip 最多 100000 个路径";
    return false;
  }
  for (const std::string& p : skip) {
    // Compared in the one form the walk's paths have: "C:/x" and "C:\\x"
    // leave the file C:\x.
    std::wstring form;
    tamsel::PathFault fault = tamsel::CanonicalPathUtf8(p, tamsel::PathDrives::SystemOnly, &form);
    if (fault != tamsel::PathFault::None) {
      *message = "skip 中的路径无法使用：" + std::string(tamsel::PathFaultText(fault));
      return false;
    }
    opt->skip.insert(tamsel::FoldedPath(form));
  }
  return true;
}

// The items of a scan or clean body: "items", an array of item ids; a body
// without it asks for none. False with the message for any other type.
bool ReadItems(const tov::JsonValue& doc, std::vector<std::string>* ids, std::string* message) {
  if (tov::JsonStringsMember(doc, "items", ids) != tov::JsonField::WrongType) return true;
  *message = "items 必须是清理项 ID 的数组";
  return false;
}

// A flag of a clean body: true or false, or def when the body leaves it out.
bool ReadFlag(const tov::JsonValue& doc, const char* key, bool def, bool* out,
              std::string* message) {
  *out = def;
  if (tov::JsonBoolMember(doc, key, out) != tov::JsonField::WrongType) return true;
  *message = std::string(key) + " 必须是 true 或 false";
  return false;
}

std::string ApiScan(const std::string& body) {
  tov::JsonValue doc;
  if (!tov::ParseBodyObject(body, &doc)) return tov::FailureJson(tov::kNotJsonObject);
  std::vector<std::string> ids;
  std::string message;
  if (!ReadItems(doc, &ids, &message)) return tov::FailureJson(message);
  // Files left out for good that are gone since are forgotten first.
  if (!tamsel::DropGoneExclusionsAndSave(tamsel::StateDir())) {
    printf("[warn] 设置无法保存\n");
    fflush(stdout);
  }
  tamsel::TaskOptions opt;
  if (!ReadTaskOptions(doc, false, &opt, &message)) return tov::FailureJson(message);
  if (!tamsel::StartScan(Rules(), ids, opt)) return tov::FailureJson(kBusyMessage);
  return tov::OkWriter().Key("started").Bool(true).EndObject().Take();
}

// A clean starts only from one JSON object whose members have their types;
// it is a dry run unless the object's own member "dryRun" is false (nothing
// nested, misspelt, quoted or named twice makes it real: such a body is
// refused or leaves the default).
std::string ApiClean(const std::string& body) {
  tov::JsonValue doc;
  if (!tov::ParseBodyObject(body, &doc)) return tov::FailureJson(tov::kNotJsonObject);
  std::vector<std::string> ids;
  std::string message;
  if (!ReadItems(doc, &ids, &message)) return tov::FailureJson(message);
  if (ids.empty()) return tov::FailureJson("没有选中任何清理项");
  bool dryRun = true, restartExplorer = false, resetBase = false;
  if (!ReadFlag(doc, "dryRun", true, &dryRun, &message) ||
      !ReadFlag(doc, "restartExplorer", false, &restartExplorer, &message) ||
      !ReadFlag(doc, "resetBase", false, &resetBase, &message))
    return tov::FailureJson(message);
  tamsel::TaskOptions opt;
  if (!ReadTaskOptions(doc, true, &opt, &message)) return tov::FailureJson(message);
  opt.resetBase = resetBase;
  if (!dryRun) tamsel::RecordCleanInto(&opt, ids);
  // Refused as busy (this or another process cleans), or because the
  // clean's record could not be begun.
  std::string refused;
  if (!tamsel::StartClean(Rules(), ids, dryRun, restartExplorer, opt, &refused))
    return tov::FailureJson(refused.empty() ? std::string(kBusyMessage) : refused);
  return tov::OkWriter().Key("started").Bool(true).Key("dryRun").Bool(dryRun).EndObject().Take();
}

// The settings' way back from an action of Windows' own tools: a body
// {"id":"reserved-storage"|"compact-os"} starts it as the one task
// ({"ok":true,"started":true}, or the failure document); none asks for the
// last one's outcome: {"ok":true,"id","running","done","message"}.
std::string ApiSystemToolUndo(const std::string& body) {
  if (body.empty()) {
    tamsel::SystemToolUndo u = tamsel::LastSystemToolUndo();
    tov::JsonWriter w = tov::OkWriter();
    w.Key("id").Str(u.id).Key("running").Bool(u.running).Key("done").Bool(u.done);
    return w.Key("message").Str(u.message).EndObject().Take();
  }
  tov::JsonValue doc;
  if (!tov::ParseBodyObject(body, &doc)) return tov::FailureJson(tov::kNotJsonObject);
  std::string id;
  if (tov::JsonStringMember(doc, "id", &id) != tov::JsonField::Found)
    return tov::FailureJson("id 必须是清理项 ID");
  const tamsel::RuleItem* item = tamsel::FindItem(Rules(), id);
  if (!item) return tov::FailureJson("没有这个清理项");
  std::string refused;
  if (!tamsel::StartSystemToolUndo(*item, tamsel::OptionsFromSettings(0), &refused))
    return tov::FailureJson(refused.empty() ? std::string(kBusyMessage) : refused);
  return tov::OkWriter().Key("started").Bool(true).EndObject().Take();
}

// ---- Settings and history ----------------------------------------------------------

std::string SettingsDoc(const tamsel::Settings& s) {
  return tov::OkWriter().Key("settings").Raw(tamsel::SettingsJson(s)).EndObject().Take();
}

std::string ApiSettingsPost(const std::string& body) {
  if (body.size() > tamsel::kMaxSettingsBytes) return tov::FailureJson("设置内容太大");
  tamsel::Settings s;
  std::string message;
  if (!tamsel::ParseSettings(body, Rules(), &s, &message)) return tov::FailureJson(message);
  // One save at a time, so that the file and the copy in memory end alike.
  std::lock_guard<std::mutex> lock(tamsel::SettingsSaveLock());
  if (!tamsel::SaveSettings(tamsel::StateDir(), s)) return tov::FailureJson("设置无法保存");
  tamsel::SetCurrentSettings(s);
  return SettingsDoc(s);
}

uint64_t QueryNumber(const std::string& target, const char* key, uint64_t def) {
  std::string text = tov::QueryOf(target, key);
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return def;
  return strtoull(text.c_str(), nullptr, 10);
}

std::string ApiHistoryRecord(const std::string& target) {
  uint64_t offset = QueryNumber(target, "offset", 0);
  uint64_t limit = QueryNumber(target, "limit", tamsel::kDefaultHistoryPage);
  if (limit < 1 || limit > tamsel::kMaxHistoryPage) limit = tamsel::kDefaultHistoryPage;
  return tamsel::HistoryRecordJson(tamsel::HistoryDir(), tov::QueryOf(target, "id"), offset,
                                   static_cast<uint32_t>(limit), tov::QueryOf(target, "q"));
}

// Opens Explorer on the record's file, selected.
std::string ApiHistoryShow(const std::string& body) {
  tov::JsonValue doc;
  if (!tov::ParseBodyObject(body, &doc)) return tov::FailureJson(tov::kNotJsonObject);
  // Without an id text there is no record to name, as before.
  std::string id;
  tov::JsonStringMember(doc, "id", &id);
  std::wstring path = tamsel::RecordPath(tamsel::HistoryDir(), id);
  uint32_t attrs = 0;
  if (path.empty() || !tov::GetAttributes(path, &attrs))
    return tov::FailureJson("没有这条清理记录");
  std::wstring cmd = tov::SystemProgram(L"explorer.exe", true) + L" /select,\"" + path + L"\"";
  if (!tov::StartProcess(cmd, false)) return tov::FailureJson("无法打开资源管理器");
  return tov::OkJson();
}

std::string ApiDetail(const std::string& target) {
  std::string id = tov::QueryOf(target, "id");
  // The file list shows what a scan with the same age choice counts.
  tamsel::TaskOptions opt;
  opt.protect = tamsel::ProtectedPathsOf(tamsel::CurrentSettings());
  uint64_t days = QueryNumber(target, "olderThanDays", 0);
  if (days > static_cast<uint64_t>(tamsel::kMaxOlderThanDays)) days = 0;
  opt.cutoff = tamsel::AgeCutoff(tov::NowFileTime(), static_cast<int>(days));
  std::string limitText = tov::QueryOf(target, "limit");
  uint32_t limit = tamsel::kDefaultDetailFiles;
  if (!limitText.empty()) {
    int v = atoi(limitText.c_str());
    if (v >= 1 && v <= static_cast<int>(tamsel::kMaxDetailFiles)) limit = static_cast<uint32_t>(v);
  }
  const tamsel::RuleItem* item = tamsel::FindItem(Rules(), id);
  if (!item) return tov::FailureJson("no such item");
  tov::JsonWriter w = tov::OkWriter();
  w.Key("id").Str(id).Key("files").BeginArray();
  if (!item->allowDetails) return w.EndArray().Key("hide").Bool(true).EndObject().Take();
  std::vector<tamsel::FileHit> hits;
  tamsel::CollectDetails(*item, limit, hits, opt);
  for (const tamsel::FileHit& hit : hits) {
    w.BeginObject().Key("p").Str(tamsel::W2U(hit.path)).Key("s").Num(hit.size);
    w.Key("t").Num(hit.mtime);
    // A cache the search found: the program's folder, by which the page groups.
    if (!hit.group.empty()) w.Key("g").Str(tamsel::W2U(hit.group));
    w.EndObject();
  }
  return w.EndArray().EndObject().Take();
}

// The API's endpoints, one row each, whatever the method; a path no row
// names is the server's JSON 404. The rows hand each handler what it reads
// of the request.
const tov::ApiRoute kApiRoutes[] = {
    {"/api/env", [](const tov::ApiCall&) { return ApiEnv(); }},
    {"/api/meta",
     [](const tov::ApiCall&) {
       return tamsel::MetaJson(tov::kProductName, tov::kVersion, Rules());
     }},
    {"/api/rules", [](const tov::ApiCall&) { return ApiRules(); }},
    {"/api/scan", [](const tov::ApiCall& c) { return ApiScan(c.body); }},
    {"/api/clean", [](const tov::ApiCall& c) { return ApiClean(c.body); }},
    {"/api/cancel",
     [](const tov::ApiCall&) {
       tamsel::CancelTask();
       return tov::OkJson();
     }},
    {"/api/status", [](const tov::ApiCall&) { return ApiStatus(); }},
    {"/api/systool/undo", [](const tov::ApiCall& c) { return ApiSystemToolUndo(c.body); }},
    {"/api/result", [](const tov::ApiCall&) { return ApiResult(); }},
    {"/api/scanresult", [](const tov::ApiCall&) { return ApiScanResult(); }},
    {"/api/detail", [](const tov::ApiCall& c) { return ApiDetail(c.target); }},
    {"/api/schedule",
     [](const tov::ApiCall& c) {
       return c.body.empty() ? tamsel::ScheduleJson() : tamsel::SetScheduleJson(c.body);
     }},
    // A body is a new document; none asks for the current one.
    {"/api/settings",
     [](const tov::ApiCall& c) {
       return c.body.empty() ? SettingsDoc(tamsel::CurrentSettings()) : ApiSettingsPost(c.body);
     }},
    {"/api/history",
     [](const tov::ApiCall&) { return tamsel::HistoryListJson(tamsel::HistoryDir()); }},
    {"/api/history/record", [](const tov::ApiCall& c) { return ApiHistoryRecord(c.target); }},
    {"/api/history/show", [](const tov::ApiCall& c) { return ApiHistoryShow(c.body); }},
    {"/api/recycle",
     [](const tov::ApiCall&) {
       return tov::OkWriter().Key("recycle").Raw(tamsel::RecycleBinInfoJson()).EndObject().Take();
     }},
    // The space map (api/map_api.cpp, space/space_task.h).
    {"/api/map", [](const tov::ApiCall& c) { return tamsel::ApiMapStart(c.body); }},
    {"/api/map/dir", [](const tov::ApiCall& c) { return tamsel::ApiMapDir(c.target); }},
    {"/api/map/top", [](const tov::ApiCall& c) { return tamsel::ApiMapTop(c.target); }},
    {"/api/map/kinds", [](const tov::ApiCall&) { return tamsel::SpaceKindsDoc(); }},
    {"/api/map/info", [](const tov::ApiCall&) { return tamsel::SpaceInfoDoc(); }},
    {"/api/map/recycle", [](const tov::ApiCall& c) { return tamsel::ApiMapRecycle(c.body); }},
    {"/api/shell/reveal", [](const tov::ApiCall& c) { return tamsel::ApiReveal(c.body); }},
    // Moving folders to another drive (api/move_api.cpp, move/move.h).
    {"/api/move", [](const tov::ApiCall& c) { return tamsel::ApiMoveStart(c.body); }},
    {"/api/move/back", [](const tov::ApiCall& c) { return tamsel::ApiMoveBack(c.body); }},
    {"/api/moves", [](const tov::ApiCall&) { return tamsel::ApiMoves(); }},
    {"/api/move/drives", [](const tov::ApiCall&) { return tamsel::ApiMoveDrives(); }},
    {"/api/move/folders", [](const tov::ApiCall&) { return tamsel::ApiMoveFolders(); }},
    // The desktop and the program's own life (api/shell_api.cpp); the exit
    // endpoint answers before it ends the program.
    {"/api/feedback", [](const tov::ApiCall& c) { return tamsel::ApiFeedback(c.body); }},
    {"/api/shell/info", [](const tov::ApiCall&) { return tamsel::ApiShellInfo(); }},
    {"/api/shell/exit", [](const tov::ApiCall&) { return tamsel::ApiShellExit(); },
     tamsel::ApiShellExitAfterAnswer},
    {"/api/shell/update", [](const tov::ApiCall&) { return tamsel::ApiShellUpdate(); }},
    {"/api/shell/elevate", [](const tov::ApiCall&) { return tamsel::ApiShellElevate(); }},
    {"/api/shell/shortcut", [](const tov::ApiCall&) { return tamsel::ApiShellShortcut(); }},
};

}  // namespace

tov::RouteList tamsel::ApiRoutes() {
  return tov::RoutesOf(kApiRoutes);
}

void tamsel::ApiStartup() {
  // A real clean asked to restart Explorer reaches it through the desktop.
  tamsel::SetExplorerHooks(
      {tov::ExplorerIsRunning, tov::ExplorerWatchdog, tov::ExplorerStop, tov::ExplorerStart});
  // Windows' own tools start nothing without the program's one administrator test.
  tamsel::SetAdminTest(tov::IsAdminUser);
  std::wstring mark = tamsel::StateDir() + L"\\" + tamsel::kToolMarkName;
  if (tov::ReadWholeFile(mark, &g_toolLeftRunning)) {
    tov::DeleteFilePath(mark);
    g_toolLeftRunning = g_toolLeftRunning.substr(0, g_toolLeftRunning.find_first_of("\r\n"));
    if (g_toolLeftRunning.empty()) g_toolLeftRunning = "系统工具";
  }
  std::string warning;
  tamsel::Settings s = tamsel::LoadSettings(tamsel::StateDir(), Rules(), &warning);
  tamsel::SetCurrentSettings(s);
  if (!warning.empty()) printf("[warn] %s\n", warning.c_str());
  // Files left out for good that are gone since are forgotten.
  if (!tamsel::DropGoneExclusionsAndSave(tamsel::StateDir())) printf("[warn] 设置无法保存\n");
  // A move a killed program left half way is finished or rolled back by
  // the one task, before any other task can touch its folders; the server
  // answers meanwhile.
  tamsel::RecoverMovesAtStart();
  fflush(stdout);
}
