#include "unattended/cli_clean.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

#include "engine/tamsel_engine.h"
#include "lifecycle/shell_life.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "settings/clean_record.h"
#include "settings/settings.h"
#include "tamsel_version.h"
#include "text/json_doc.h"
#include "text/text.h"
#include "unattended/schedule.h"

namespace tamsel {
namespace {

// The program's own names, as the server spells them (port-file folder,
// probe marker).
constexpr const char* kAppFolder = tov::kInternalName;
constexpr const char* kProbeMarker = tov::kProductName;

// How long one request to a running instance may take, and how often its
// task is polled.
constexpr int kHandOverTimeoutMs = 10000;
constexpr uint32_t kPollMs = 200;
// A running instance that stops answering this many polls in a row is gone.
constexpr int kMaxFailedPolls = 25;

const char kErrPrefix[] = "[err] ";

// One item of a finished clean, as printed.
struct ItemLine {
  std::string id;
  uint64_t bytes = 0;
  uint64_t files = 0;
  uint64_t skipped = 0;
};

struct CleanOutcome {
  std::vector<ItemLine> items;
  uint64_t freeBefore = 0;
  uint64_t freeAfter = 0;
  bool stopped = false;     // stopped half way: its record could no longer be written
  std::string recordError;  // why the record is incomplete, as the cleaning process said it
};

bool IsNumber(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Splits "a,b,c"; false when an element is empty (",a", "a,,b", "").
bool SplitIds(const std::string& list, std::vector<std::string>* ids) {
  size_t at = 0;
  for (;;) {
    size_t comma = list.find(',', at);
    std::string id = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (id.empty()) return false;
    ids->push_back(id);
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

// The items to clean: for "default" the automatic clean's list of the
// settings ("autoItems": the catalogue's recommended low-risk items until the
// user chose others in the settings dialog; never the ticks of the cleaning
// view, never an item of the user's own files), else the ids asked for, in
// catalogue order. Ids named on the command line are the user's own choice
// and may name an item of the user's own files. Measure-only items are
// never cleaned and are left out without a word. False with the line to
// print for an id that names no item.
bool ResolveIds(const std::vector<Category>& cats, const UnattendedCommand& cmd,
                std::vector<std::string>* ids, std::string* error) {
  const std::vector<std::string> autoItems = CurrentSettings().autoItems;
  std::set<std::string> asked(cmd.useDefault ? autoItems.begin() : cmd.ids.begin(),
                              cmd.useDefault ? autoItems.end() : cmd.ids.end());
  for (const std::string& id : cmd.ids) {
    if (!FindItem(cats, id)) {
      *error = std::string(kErrPrefix) + "未知的清理项：" + id;
      return false;
    }
  }
  for (const Category& c : cats)
    for (const RuleItem& item : c.items) {
      // Never unattended: what only counts, and Windows' own tools, which
      // need the user to watch them (and may run for an hour).
      if (item.mode == ItemMode::Measure || item.mode == ItemMode::SystemTool) continue;
      if (cmd.useDefault && !AutoCleanable(item)) continue;
      if (asked.count(item.id)) ids->push_back(item.id);
    }
  return true;
}

// ---- The clean in this process ---------------------------------------------------

// The age filter of the clean: --older-than when given, else for "default"
// the automatic clean's own ("autoOlderThanDays"), else none.
int AgeOf(const UnattendedCommand& cmd) {
  if (cmd.olderThanGiven || !cmd.useDefault) return cmd.olderThanDays;
  return CurrentSettings().autoOlderThanDays;
}

bool CleanHere(const std::vector<Category>& cats, const std::vector<std::string>& ids,
               const UnattendedCommand& cmd, CleanOutcome* out, std::string* error) {
  // The same choices a clean from the page takes: the protected paths, the
  // files left out for good, the age filter, and a record of what a real
  // clean did.
  TaskOptions opt = OptionsFromSettings(AgeOf(cmd));
  if (!cmd.dryRun) RecordCleanInto(&opt, ids);
  // Refused as busy (another process cleans), or because the clean's
  // record could not be begun.
  std::string refused;
  if (!StartClean(cats, ids, cmd.dryRun, false, opt, &refused)) {
    *error = std::string(kErrPrefix) + (refused.empty() ? "已有任务在运行" : refused);
    return false;
  }
  while (!WaitTask(60000)) {
  }
  TaskResults results = TaskResultsNow();
  for (const auto& kv : results.last)
    out->items.push_back(ItemLine{kv.first, kv.second.bytes, kv.second.files, kv.second.skipped});
  TaskSnapshot state = TaskStateNow();
  out->freeBefore = state.freeBefore;
  out->freeAfter = state.freeAfter;
  out->stopped = results.note == kRecordStopped;
  return true;
}

// ---- The clean in a running instance ----------------------------------------------

// The body of an HTTP answer, or empty when there was none or its status was
// not 200.
std::string AnswerBody(const std::string& answer) {
  if (answer.compare(0, 12, "HTTP/1.1 200") != 0) return std::string();
  size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

std::string Request(int port, const std::string& method, const std::string& path,
                    const std::string& token, const std::string& body) {
  return AnswerBody(tov::LoopbackRequest(port, method, path, "X-Tamsel-Token: " + token + "\r\n",
                                         body, kHandOverTimeoutMs));
}

// An answer of the running instance as one JSON object; false for anything
// else. Its members are read by name, whatever their order and whatever
// else the document holds.
bool AnswerDoc(const std::string& body, tov::JsonValue* doc) {
  return tov::ParseJson(body, doc) && doc->kind == tov::JsonValue::Kind::Object;
}

// Whether the member `key` of an answer is true.
bool IsTrue(const tov::JsonValue& doc, const char* key) {
  bool flag = false;
  return tov::JsonBoolMember(doc, key, &flag) == tov::JsonField::Found && flag;
}

// The items and free-space figures of a result document; false when the
// answer is no such document (an item without its id or figures included).
bool ParseResult(const std::string& body, CleanOutcome* out) {
  tov::JsonValue doc;
  if (!AnswerDoc(body, &doc)) return false;
  const tov::JsonValue* items = tov::JsonMemberOf(doc, "items");
  if (!items || items->kind != tov::JsonValue::Kind::Array) return false;
  using tov::JsonField;
  CleanOutcome o;
  for (const tov::JsonValue& item : items->items) {
    ItemLine line;
    if (tov::JsonStringMember(item, "id", &line.id) != JsonField::Found ||
        tov::JsonCountMember(item, "bytes", &line.bytes) != JsonField::Found ||
        tov::JsonCountMember(item, "files", &line.files) != JsonField::Found ||
        tov::JsonCountMember(item, "skipped", &line.skipped) != JsonField::Found)
      return false;
    o.items.push_back(line);
  }
  if (tov::JsonCountMember(doc, "freeBefore", &o.freeBefore) != JsonField::Found ||
      tov::JsonCountMember(doc, "freeAfter", &o.freeAfter) != JsonField::Found)
    return false;
  // A record the running instance could not write is said here too: its
  // own [warn] line went to its console, not to this one.
  if (tov::JsonStringMember(doc, "recordError", &o.recordError) == JsonField::WrongType)
    return false;
  o.stopped = IsTrue(doc, "recordStopped");
  *out = o;
  return true;
}

bool CleanThere(int port, const std::vector<std::string>& ids, const UnattendedCommand& cmd,
                CleanOutcome* out, std::string* error) {
  std::string token = tov::ReadTokenFile(kAppFolder);
  if (token.empty()) {
    *error = std::string(kErrPrefix) + "已有实例在运行，但读不到它的访问令牌，无法交给它清理";
    return false;
  }
  tov::JsonWriter w;
  w.BeginObject().Key("items").Strings(ids).Key("dryRun").Bool(cmd.dryRun);
  // The running instance adds its protected paths and files left out.
  if (AgeOf(cmd) > 0) w.Key("olderThanDays").Int(AgeOf(cmd));
  std::string body = w.EndObject().Take();
  tov::JsonValue started;
  if (!AnswerDoc(Request(port, "POST", "/api/clean", token, body), &started) ||
      !IsTrue(started, "ok") || !IsTrue(started, "started")) {
    std::string message;
    tov::JsonStringMember(started, "message", &message);
    *error = std::string(kErrPrefix) + (message.empty() ? "运行中的实例没有接受清理请求" : message);
    return false;
  }
  int failed = 0;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    // An answer that is no status document counts as no answer.
    tov::JsonValue status;
    if (!AnswerDoc(Request(port, "GET", "/api/status", token, ""), &status)) {
      if (++failed >= kMaxFailedPolls) {
        *error = std::string(kErrPrefix) + "运行中的实例不再应答，清理结果未知";
        return false;
      }
      continue;
    }
    failed = 0;
    bool busy = true;
    if (tov::JsonBoolMember(status, "busy", &busy) == tov::JsonField::Found && !busy &&
        IsTrue(status, "finished"))
      break;
  }
  if (!ParseResult(Request(port, "GET", "/api/result", token, ""), out)) {
    *error = std::string(kErrPrefix) + "运行中的实例的清理结果无法读取";
    return false;
  }
  return true;
}

void PrintOutcome(const std::vector<Category>& cats, const CleanOutcome& o,
                  const UnattendedCommand& cmd) {
  const char* verb = cmd.dryRun ? "可释放" : "释放";
  uint64_t total = 0;
  for (const ItemLine& line : o.items) {
    total += line.bytes;
    if (cmd.quiet) continue;
    const RuleItem* item = FindItem(cats, line.id);
    std::string text = "[ok] " + (item ? item->name : line.id) + "：" + verb + " " +
                       BytesText(line.bytes) + "，" + std::to_string(line.files) + " 个文件";
    if (line.skipped) text += "，跳过 " + std::to_string(line.skipped) + " 个";
    printf("%s\n", text.c_str());
  }
  printf("[ok] 共%s %s（C 盘可用 %s → %s）\n", verb, BytesText(total).c_str(),
         BytesText(o.freeBefore).c_str(), BytesText(o.freeAfter).c_str());
}

}  // namespace

bool IsUnattendedCommand(const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i)
    if (args[i] == "--clean" || args[i] == "--schedule") return true;
  return false;
}

bool ParseUnattended(const std::vector<std::string>& args, UnattendedCommand* cmd,
                     std::string* error) {
  std::set<std::string> seen;
  auto bad = [error](const std::string& why) {
    *error = std::string(kErrPrefix) + why;
    return false;
  };
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool option = !a.empty() && a[0] == '-';
    if (option && !seen.insert(a).second) return bad("选项 " + a + " 只能给一次");
    bool hasValue = i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-';
    if (a == "--clean") {
      cmd->clean = true;
      // The list is the next argument unless that is an option; an empty
      // argument is an empty list.
      if (i + 1 < args.size() && (args[i + 1].empty() || args[i + 1][0] != '-')) {
        const std::string& list = args[++i];
        if (list == "default") continue;
        cmd->useDefault = false;
        if (!SplitIds(list, &cmd->ids)) return bad("清理项列表为空或含空项：\"" + list + "\"");
      }
    } else if (a == "--schedule") {
      cmd->schedule = true;
      if (!hasValue) return bad("--schedule 需要 daily、weekly 或 off");
      cmd->every = args[++i];
      if (cmd->every != "daily" && cmd->every != "weekly" && cmd->every != "off")
        return bad("--schedule 只接受 daily、weekly 或 off，不认识：" + cmd->every);
    } else if (a == "--dry-run") {
      cmd->dryRun = true;
    } else if (a == "--quiet") {
      cmd->quiet = true;
    } else if (a == "--older-than") {
      if (i + 1 >= args.size() || !IsNumber(args[i + 1]))
        return bad("--older-than 需要 0 到 " + std::to_string(kMaxOlderThanDays) + " 的天数");
      int days = atoi(args[++i].c_str());
      if (days > kMaxOlderThanDays)
        return bad("--older-than 需要 0 到 " + std::to_string(kMaxOlderThanDays) + " 的天数");
      cmd->olderThanDays = days;
      cmd->olderThanGiven = true;
    } else if (a == "--selftest") {
      return bad("--selftest 不能和 --clean、--schedule 一起用");
    } else {
      // A port, a folder, or any option of the server: not for this mode.
      return bad("--clean / --schedule 不能和 " + a + " 一起用");
    }
  }
  if (cmd->clean && cmd->schedule) return bad("--clean 和 --schedule 不能一起用");
  if (cmd->schedule && (cmd->dryRun || cmd->quiet || seen.count("--older-than")))
    return bad("--dry-run、--quiet、--older-than 只用于 --clean");
  return true;
}

int UnattendedMain(const std::vector<std::string>& args) {
  tov::AttachParentConsoleIfNoStdout();
  UnattendedCommand cmd;
  std::string error;
  int code = kExitRan;
  if (!ParseUnattended(args, &cmd, &error)) {
    printf("%s\n", error.c_str());
    code = kExitBadCommandLine;
  } else if (cmd.schedule) {
    code = RunScheduleCommand(cmd.every);
  } else {
    std::vector<Category> cats = BuildRules();
    // The page's settings, or its defaults; what is wrong with the file is
    // the page's to say when it starts, the console shows the clean alone.
    std::string warning;
    SetCurrentSettings(LoadSettings(StateDir(), cats, &warning));
    std::vector<std::string> ids;
    CleanOutcome outcome;
    if (!ResolveIds(cats, cmd, &ids, &error)) {
      printf("%s\n", error.c_str());
      code = kExitBadCommandLine;
    } else {
      tov::NetStartup();
      int port = tov::ReadPortFile(kAppFolder);
      bool running = port > 0 && tov::ProbeOurInstance(port, kProbeMarker);
      bool ok = running ? CleanThere(port, ids, cmd, &outcome, &error)
                        : CleanHere(cats, ids, cmd, &outcome, &error);
      if (ok) {
        // A clean stopped half way (its [warn] line says why) did not do
        // what was asked.
        if (running && !outcome.recordError.empty())
          printf("[warn] %s\n", outcome.recordError.c_str());
        PrintOutcome(cats, outcome, cmd);
        if (outcome.stopped) code = kExitCouldNotStart;
      } else {
        printf("%s\n", error.c_str());
        code = kExitCouldNotStart;
      }
    }
  }
  fflush(stdout);
  return code;
}

std::string BytesText(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
  // Exact integer arithmetic for what the page computes in floating point
  // (bytes / 1024^k is exact there too): the unit grows while the value
  // reaches 1023.95, and toFixed(1) rounds a tie up.
  unsigned __int128 n = bytes, d = 1024;
  size_t unit = 0;
  while (n * 100 >= static_cast<unsigned __int128>(102395) * d && unit + 1 < 4) {
    d *= 1024;
    ++unit;
  }
  unsigned __int128 tenths = (n * 20 + d) / (d * 2);
  uint64_t t = static_cast<uint64_t>(tenths);
  return std::to_string(t / 10) + "." + std::to_string(t % 10) + " " + kUnits[unit];
}

}  // namespace tamsel
