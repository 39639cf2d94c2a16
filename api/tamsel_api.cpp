// The cleaning API: the application hook of the web server. It reads
// parameters with the text helpers, asks the rules and the engine, and
// formats one JSON document per request; it keeps no state of its own
// besides the process-wide catalogue. Documents are built by concatenation,
// keys in a fixed order, no white space; the interface and the
// single-instance probe rely on both.
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/tamsel_engine.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "server/text.h"
#include "server/web_shell.h"

using tov::JEsc;
using tov::Num;

namespace {

constexpr const char kName[] = "Tamsel";
constexpr const char kVersion[] = "1.0.2";
constexpr const char kBusy[] = "{\"ok\":false,\"message\":\"已有任务在运行\"}";

// The process-wide catalogue, built on first use. The initialisation of a
// function-local static runs exactly once even when two first requests race,
// and nobody sees it before it is complete.
const std::vector<tamsel::Category>& Rules() {
  static const std::vector<tamsel::Category> g_cats = tamsel::BuildRules();
  return g_cats;
}

std::string Bool(bool b) {
  return b ? "true" : "false";
}

std::string Quoted(const std::string& s) {
  return "\"" + JEsc(s) + "\"";
}

std::string ApiRules() {
  std::string o = "{\"ok\":true,\"categories\":[";
  bool firstCat = true;
  for (const tamsel::Category& c : Rules()) {
    if (!firstCat) o += ",";
    firstCat = false;
    o += "{\"id\":" + Quoted(c.id) + ",\"name\":" + Quoted(c.name) + ",\"items\":[";
    bool firstItem = true;
    for (const tamsel::RuleItem& it : c.items) {
      if (!firstItem) o += ",";
      firstItem = false;
      o += "{\"id\":" + Quoted(it.id) + ",\"name\":" + Quoted(it.name) +
           ",\"risk\":" + Quoted(it.risk) + ",\"mode\":" + Quoted(it.mode) +
           ",\"desc\":" + Quoted(it.desc) + ",\"defaultEnabled\":" + Bool(it.defaultEnabled) +
           ",\"allowDetails\":" + Bool(it.allowDetails) + ",\"targets\":[";
      for (size_t i = 0; i < it.targets.size(); ++i) {
        if (i) o += ",";
        o += Quoted(tamsel::W2U(it.targets[i].path));
      }
      o += "]}";
    }
    o += "]}";
  }
  o += "]}";
  return o;
}

std::string ApiStatus() {
  const tamsel::TaskState* s = tamsel::State();
  tamsel::ProgressText text = tamsel::Progress();
  return "{\"ok\":true,\"busy\":" + Bool(s->busy.load() != 0) +
         ",\"finished\":" + Bool(s->finished.load() != 0) + ",\"phase\":" + Quoted(text.phase) +
         ",\"done\":" + Num(static_cast<uint64_t>(static_cast<int64_t>(s->done.load()))) +
         ",\"total\":" + Num(static_cast<uint64_t>(static_cast<int64_t>(s->total.load()))) +
         ",\"bytes\":" + Num(s->bytes.load()) + ",\"files\":" + Num(s->files.load()) +
         ",\"cur\":" + Quoted(text.cur) + "}";
}

// One item of a result document; the last scan's summary leaves the error
// texts out.
std::string ItemJson(const std::string& id, const tamsel::ItemStat& st, bool withErrors) {
  std::string o = "{\"id\":" + Quoted(id) + ",\"bytes\":" + Num(st.bytes) +
                  ",\"files\":" + Num(st.files) + ",\"skipped\":" + Num(st.skipped) +
                  ",\"errors\":[";
  if (withErrors) {
    for (size_t i = 0; i < st.errors.size(); ++i) {
      if (i) o += ",";
      o += Quoted(st.errors[i]);
    }
  }
  return o + "]}";
}

// The items of a result list and their totals, as "items":[...],
// "totalBytes":N,"totalFiles":N.
std::string ItemsAndTotals(const tamsel::ResultList& list, bool withErrors) {
  std::string o = "\"items\":[";
  uint64_t tb = 0, tf = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i) o += ",";
    o += ItemJson(list[i].first, list[i].second, withErrors);
    tb += list[i].second.bytes;
    tf += list[i].second.files;
  }
  return o + "],\"totalBytes\":" + Num(tb) + ",\"totalFiles\":" + Num(tf);
}

std::string ApiResult() {
  tamsel::LockResults();
  tamsel::ResultList copy = tamsel::LastResult();
  std::string kind = tamsel::LastKind();
  bool dry = tamsel::LastDryRun();
  tamsel::UnlockResults();
  const tamsel::TaskState* s = tamsel::State();
  return "{\"ok\":true,\"kind\":" + Quoted(kind) + ",\"dryRun\":" + Bool(dry) + "," +
         ItemsAndTotals(copy, true) + ",\"freeBefore\":" + Num(s->freeBefore.load()) +
         ",\"freeAfter\":" + Num(s->freeAfter.load()) + "}";
}

std::string ApiScanResult() {
  tamsel::LockResults();
  tamsel::ResultList copy = tamsel::LastScanResult();
  uint64_t at = tamsel::LastScanAt();
  tamsel::UnlockResults();
  if (copy.empty())
    return "{\"ok\":true,\"kind\":\"scan\",\"empty\":true,\"items\":[],\"totalBytes\":0,"
           "\"totalFiles\":0}";
  return "{\"ok\":true,\"kind\":\"scan\",\"empty\":false,\"age\":" + Num(tov::TickCount64() - at) +
         "," + ItemsAndTotals(copy, false) + "}";
}

std::string ApiEnv() {
  return "{\"ok\":true,\"admin\":" + Bool(tamsel::IsAdmin()) + ",\"version\":\"" + kVersion +
         "\",\"name\":\"" + kName + "\",\"drive\":" + tamsel::DiskInfoJson("C:") + "}";
}

std::string ApiScan(const std::string& body) {
  std::vector<std::string> ids = tov::JsonStrArray(body, "items");
  if (!tamsel::StartScan(Rules(), ids)) return kBusy;
  return "{\"ok\":true,\"started\":true}";
}

std::string ApiClean(const std::string& body) {
  std::vector<std::string> ids = tov::JsonStrArray(body, "items");
  if (ids.empty()) return "{\"ok\":false,\"message\":\"没有选中任何清理项\"}";
  // A clean is a dry run unless the body's own top-level member says
  // "dryRun": false; nothing nested, misspelt or ambiguous makes it real.
  bool dryRun = tov::JsonTopLevelBool(body, "dryRun", true);
  bool restartExplorer = tov::JsonTopLevelBool(body, "restartExplorer", false);
  if (!tamsel::StartClean(Rules(), ids, dryRun, restartExplorer)) return kBusy;
  return "{\"ok\":true,\"started\":true,\"dryRun\":" + Bool(dryRun) + "}";
}

std::string ApiDetail(const std::string& target) {
  std::string id = tov::QueryOf(target, "id");
  std::string limitText = tov::QueryOf(target, "limit");
  uint32_t limit = 300;
  if (!limitText.empty()) {
    int v = atoi(limitText.c_str());
    if (v >= 1 && v <= 5000) limit = static_cast<uint32_t>(v);
  }
  const tamsel::RuleItem* item = tamsel::FindItem(Rules(), id);
  if (!item) return "{\"ok\":false,\"message\":\"no such item\"}";
  if (!item->allowDetails)
    return "{\"ok\":true,\"id\":" + Quoted(id) + ",\"files\":[],\"hide\":true}";
  std::vector<tamsel::FileHit> hits;
  tamsel::CollectDetails(*item, limit, hits);
  std::string o = "{\"ok\":true,\"id\":" + Quoted(id) + ",\"files\":[";
  for (size_t i = 0; i < hits.size(); ++i) {
    if (i) o += ",";
    o += "{\"p\":" + Quoted(tamsel::W2U(hits[i].path)) + ",\"s\":" + Num(hits[i].size) +
         ",\"t\":" + Num(hits[i].mtime) + "}";
  }
  return o + "]}";
}

}  // namespace

bool TovHandleApi(const std::string& path, const std::string& target, const std::string& body,
                  std::string& outBody, std::string& outType) {
  outType = "application/json; charset=utf-8";
  if (path == "/api/env") {
    outBody = ApiEnv();
  } else if (path == "/api/rules") {
    outBody = ApiRules();
  } else if (path == "/api/scan") {
    outBody = ApiScan(body);
  } else if (path == "/api/clean") {
    outBody = ApiClean(body);
  } else if (path == "/api/cancel") {
    tamsel::CancelTask();
    outBody = "{\"ok\":true}";
  } else if (path == "/api/status") {
    outBody = ApiStatus();
  } else if (path == "/api/result") {
    outBody = ApiResult();
  } else if (path == "/api/scanresult") {
    outBody = ApiScanResult();
  } else if (path == "/api/detail") {
    outBody = ApiDetail(target);
  } else if (path == "/api/recycle") {
    outBody = "{\"ok\":true,\"recycle\":" + tamsel::RecycleBinInfoJson() + "}";
  } else {
    return false;
  }
  return true;
}
