// The items of Windows' own tools. Each runs one documented program of the
// system folder; its exit code decides success, its output gives figures and
// progress only, and a figure that cannot be read is unknown, never 0.
// Nothing runs without administrator rights, nothing runs unattended (the
// unattended clean leaves these items out), and an action once started is
// never stopped: the task's cancel waits for it.
#include "engine/system_tools.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "engine/engine_internal.h"
#include "engine/system_stores.h"
#include "engine/tamsel_engine.h"
#include "platform/platform.h"
#include "text/text.h"

namespace tamsel {

// ---- Reading the output ------------------------------------------------------------

std::string DecodeToolOutput(const std::string& b) {
  bool bom = b.size() >= 2 && static_cast<unsigned char>(b[0]) == 0xFF &&
             static_cast<unsigned char>(b[1]) == 0xFE;
  size_t oddNul = 0;
  for (size_t i = 1; i < b.size(); i += 2)
    if (b[i] == '\0') ++oddNul;
  std::string out;
  if (bom || (b.size() >= 2 && oddNul * 4 >= (b.size() / 2) * 3)) {
    for (size_t i = bom ? 2 : 0; i + 1 < b.size(); i += 2) {
      uint32_t u = static_cast<unsigned char>(b[i]) | (static_cast<unsigned char>(b[i + 1]) << 8);
      if (u >= 0xD800 && u <= 0xDBFF && i + 3 < b.size()) {
        uint32_t lo =
            static_cast<unsigned char>(b[i + 2]) | (static_cast<unsigned char>(b[i + 3]) << 8);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
          i += 2;
        }
      }
      if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
      tov::AppendUtf8(u, &out);
    }
    return out;
  }
  // UTF-8 (ASCII for DISM's /English), each byte of no valid sequence as U+FFFD.
  for (size_t i = 0; i < b.size();) {
    unsigned char c = static_cast<unsigned char>(b[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    uint32_t u = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = n > 0 && i + n <= b.size();
    for (size_t k = 1; ok && k < n; ++k) {
      unsigned char cc = static_cast<unsigned char>(b[i + k]);
      ok = (cc & 0xC0) == 0x80;
      u = (u << 6) | (cc & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && (u < kLeast[n] || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF))) ok = false;
    tov::AppendUtf8(ok ? u : 0xFFFD, &out);
    i += ok ? n : 1;
  }
  return out;
}

namespace {

// The text after "label :" on the line that starts (spaces aside) with
// label; false when no line does.
bool ValueOf(const std::string& text, const std::string& label, std::string* value) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = tov::TrimBlanks(text.substr(at, end - at));
    if (line.compare(0, label.size(), label) == 0) {
      std::string rest = tov::TrimBlanks(line.substr(label.size()));
      if (!rest.empty() && rest[0] == ':') {
        *value = tov::TrimBlanks(rest.substr(1));
        return true;
      }
    }
    at = end + 1;
  }
  return false;
}

}  // namespace

bool ParseDismSize(const std::string& text, uint64_t* bytes) {
  std::string t = tov::TrimBlanks(text);
  size_t space = t.find(' ');
  if (space == std::string::npos || space == 0) return false;
  std::string num = t.substr(0, space), unit = tov::TrimBlanks(t.substr(space + 1));
  size_t dots = 0;
  for (char ch : num) {
    if (ch == '.')
      ++dots;
    else if (ch < '0' || ch > '9')
      return false;
  }
  if (dots > 1 || num[0] == '.' || num.back() == '.') return false;
  static const struct {
    const char* name;
    double scale;
  } kUnits[] = {{"bytes", 1.0},
                {"KB", 1024.0},
                {"MB", 1024.0 * 1024},
                {"GB", 1024.0 * 1024 * 1024},
                {"TB", 1024.0 * 1024 * 1024 * 1024}};
  for (const auto& u : kUnits)
    if (unit == u.name) {
      double v = strtod(num.c_str(), nullptr) * u.scale;
      if (v >= 1.8e19) return false;
      *bytes = static_cast<uint64_t>(v + 0.5);
      return true;
    }
  return false;
}

ComponentStoreReport ParseComponentStoreReport(const std::string& text) {
  ComponentStoreReport r;
  std::string v;
  if (ValueOf(text, "Backups and Disabled Features", &v))
    r.backupsKnown = ParseDismSize(v, &r.backups);
  if (ValueOf(text, "Cache and Temporary Data", &v)) r.cacheKnown = ParseDismSize(v, &r.cache);
  if (ValueOf(text, "Number of Reclaimable Packages", &v) && !v.empty() && v.size() < 7 &&
      v.find_first_not_of("0123456789") == std::string::npos)
    r.packages = atoi(v.c_str());
  if (ValueOf(text, "Component Store Cleanup Recommended", &v))
    r.recommended = v == "Yes" ? 1 : v == "No" ? 0 : -1;
  return r;
}

int DismPercentTenths(const std::string& text) {
  int found = -1;
  for (size_t pct = text.find('%'); pct != std::string::npos; pct = text.find('%', pct + 1)) {
    size_t a = pct;
    while (a > 0 && ((text[a - 1] >= '0' && text[a - 1] <= '9') || text[a - 1] == '.')) --a;
    std::string num = text.substr(a, pct - a);
    size_t dot = num.find('.');
    if (num.empty() || num[0] == '.' || (dot != std::string::npos && dot + 2 != num.size()))
      continue;
    int whole = atoi(num.substr(0, dot).c_str());
    int tenths = whole * 10 + (dot == std::string::npos ? 0 : num[dot + 1] - '0');
    if (num.substr(0, dot).size() <= 3 && tenths <= 1000) found = tenths;
  }
  return found;
}

int ParseReservedStorageState(const std::string& text) {
  int found = -1;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = tov::TrimBlanks(text.substr(at, end - at));
    at = end + 1;
    if (!line.empty() && line.back() == '.') line.pop_back();
    if (line == "Reserved storage is enabled") found = 1;
    if (line == "Reserved storage is disabled") found = 0;
  }
  return found;
}

bool ReservedStorageInUse(const std::string& text) {
  std::string lower = text;
  for (char& ch : lower)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return lower.find("not supported when reserved storage is in use") != std::string::npos;
}

bool HasReservedStorageCommands(uint32_t major, uint32_t, uint32_t build) {
  return major > 10 || (major == 10 && build >= kReservedStorageBuild);
}

std::string ToolOutputLine(const std::string& text) {
  std::string first, line;
  size_t at = 0;
  bool afterError = false;
  while (at <= text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string l = tov::TrimBlanks(text.substr(at, end - at));
    at = end + 1;
    if (l.empty()) continue;
    if (afterError) {
      line += " " + l;
      break;
    }
    if (first.empty()) first = l;
    if (l.compare(0, 5, "Error") == 0) {
      line = l;
      afterError = true;
    }
  }
  std::string r = line.empty() ? first : line;
  if (r.size() > 300) {
    size_t cut = 300;
    while (cut > 0 && (static_cast<unsigned char>(r[cut]) & 0xC0) == 0x80) --cut;
    r = r.substr(0, cut) + "…";
  }
  return r;
}

// ---- Analysis and action ---------------------------------------------------------------

namespace {

std::atomic<bool (*)()> g_isAdmin{nullptr};

bool IsAdmin() {
  bool (*test)() = g_isAdmin.load();
  return test ? test() : tov::IsProcessAdmin();
}

constexpr char kNeedsAdmin[] = "需要管理员权限：请点「以管理员身份重启」后再试，没有运行任何程序";

}  // namespace

std::string About(uint64_t bytes) {
  char buf[48];
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    ++u;
  }
  snprintf(buf, sizeof buf, u == 0 ? "约 %.0f %s" : "约 %.1f %s", v, units[u]);
  return buf;
}

namespace {

const wchar_t* ProgramOf(SystemTool tool) {
  switch (tool) {
    case SystemTool::ComponentStore:
    case SystemTool::ReservedStorage:
      return L"dism.exe";
    case SystemTool::CompactOs:
      return L"compact.exe";
    default:
      return L"powercfg.exe";
  }
}

std::wstring ToolDirOf(const TaskOptions& opt) {
  return opt.toolDir.empty() ? ExpandEnvW(L"%TEMP%") : opt.toolDir;
}

std::wstring OutFileOf(const TaskOptions& opt, const RuleItem& item) {
  return ToolDirOf(opt) + L"\\tool-" + U2W(item.id) + L".txt";
}

// The mark of a running tool: should the program end meanwhile (the tool
// runs on), the next start finds it and says the tool ran.
std::wstring MarkFileOf(const TaskOptions& opt) {
  return ToolDirOf(opt) + L"\\" + kToolMarkName;
}

// Runs the item's program; the text that says why it failed, empty when it
// ended with exit code 0. *text receives its decoded output.
std::string RunTool(const RuleItem& item, const TaskOptions& opt, const std::wstring& args,
                    bool showProgress, std::string* text) {
  const std::wstring exe = ProgramOf(item.tool);
  const std::string exeName = W2U(exe);
  SetCurPath(U2W(item.name + "：正在运行 " + exeName));
  tov::ToolRun run;
  tov::RunSystemTool(
      exe, args, OutFileOf(opt, item),
      [&](const std::string& bytes) {
        if (!showProgress) return;
        int tenths = DismPercentTenths(DecodeToolOutput(bytes));
        if (tenths < 0) return;
        char pct[32];
        snprintf(pct, sizeof pct, " %d.%d%%", tenths / 10, tenths % 10);
        SetCurPath(U2W(item.name + "：正在运行 " + exeName + "，不能停止" + pct));
      },
      &run);
  *text = DecodeToolOutput(run.output);
  if (!run.started) {
    if (run.startError == 2 || run.startError == 3) return "系统里没有 " + exeName + "，没有运行";
    return exeName + " 无法启动（系统错误 " + std::to_string(run.startError) + "），没有运行";
  }
  if (run.exitCode == 0) return std::string();
  char code[16];
  snprintf(code, sizeof code, run.exitCode > 0xFFFF ? "0x%08X" : "%u", run.exitCode);
  std::string line = ToolOutputLine(*text);
  return exeName + " 失败（退出代码 " + code + "）" + (line.empty() ? "" : "：" + line);
}

void Fail(ItemStat& stat, const std::string& why) {
  stat.toolNote = why;
  stat.sizeUnknown = true;
  if (stat.errors.size() < kMaxErrors) stat.errors.push_back(why);
}

std::wstring HibernationFile() {
  return ExpandEnvW(L"%SystemDrive%\\hiberfil.sys");
}

// What Windows reserves for updates, as Microsoft states it: about 7 GB.
constexpr uint64_t kReservedStorageEstimate = 7ULL << 30;
// What Compact OS saves, at the low end of the usual 2-4 GB.
constexpr uint64_t kCompactOsEstimate = 2ULL << 30;

constexpr char kReservedOff[] = "保留的存储已经关闭，此项不适用";
constexpr char kCompactOn[] = "系统文件已经压缩（Compact OS 已打开），此项不适用";

// Why the reserved storage's item does not apply to this Windows, or empty.
// A version that cannot be read is left to DISM, which refuses an option it
// does not know.
std::string ReservedStorageNotApplicable() {
  uint32_t major = 0, minor = 0, build = 0;
  if (!tov::OsVersion(&major, &minor, &build) || HasReservedStorageCommands(major, minor, build))
    return std::string();
  return "此项不适用：保留的存储只有 Windows 10 2004（版本 19041）及以后的系统才有，这台电脑是 "
         "Windows " +
         std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
}

// Asks DISM whether the reserved storage is on: 1, 0, or -1 when its answer
// could not be read (*why empty) or DISM failed (*why says how).
int ReservedStorageState(const RuleItem& item, const TaskOptions& opt, std::string* why,
                         std::string* text) {
  *why = RunTool(item, opt, L"/Online /Get-ReservedStorageState /English", false, text);
  return why->empty() ? ParseReservedStorageState(*text) : -1;
}

// Whether Compact OS is on, from the WOF backing of the system's kernel
// (by its full path in the system folder): 1, 0, or -1 when it cannot be told.
int CompactOsState() {
  std::wstring kernel = tov::SystemProgram(L"ntoskrnl.exe");
  if (!kernel.empty() && kernel[0] == L'"') kernel = kernel.substr(1, kernel.size() - 2);
  bool backed = false;
  if (!tov::WofBacked(kernel, &backed)) return -1;
  return backed ? 1 : 0;
}

// A DISM failure that is its refusal to change the reserved storage while
// Windows services itself, in the user's words; else why unchanged.
std::string ReservedStorageRefusal(const std::string& why, const std::string& text) {
  if (why.empty() || !ReservedStorageInUse(text)) return why;
  return "Windows 正在安装或处理更新，保留的存储正在使用中，现在不能更改；请等更新完成（可能需要"
         "重启电脑）后再试，没有做任何更改（" +
         why.substr(0, why.find("：")) + "）";
}

}  // namespace

void SetAdminTest(bool (*isAdmin)()) {
  g_isAdmin.store(isAdmin);
}

void AnalyseSystemTool(const RuleItem& item, ItemStat& stat, const TaskOptions& opt) {
  stat.systemTool = true;
  if (!IsAdmin()) return Fail(stat, kNeedsAdmin);
  if (item.tool == SystemTool::RestorePoints) return AnalyseRestorePoints(stat);
  if (item.tool == SystemTool::DriverPackages) return AnalyseDriverPackages(stat);
  if (item.tool == SystemTool::ReducedHibernation) {
    tov::FileInfo info;
    if (!tov::GetFileInfo(HibernationFile(), &info) || info.size == 0) {
      stat.toolNote = "休眠已关闭，没有休眠文件，此项不适用";
      return;
    }
    stat.bytes = info.size / 2;
    stat.files = 1;
    stat.toolNote = "估计：休眠文件现在 " + About(info.size) + "，精简后约为一半";
    return;
  }
  if (item.tool == SystemTool::ReservedStorage) {
    std::string why = ReservedStorageNotApplicable(), text;
    if (!why.empty()) {
      stat.toolNote = why;
      return;
    }
    int state = ReservedStorageState(item, opt, &why, &text);
    if (!why.empty()) return Fail(stat, why);
    if (state == 0) {
      stat.toolNote = kReservedOff;
    } else if (state == 1) {
      stat.bytes = kReservedStorageEstimate;
      stat.toolNote = "估计：保留的存储已打开，Windows 为更新预留约 7 GB（实际大小随系统而变）";
    } else {
      stat.sizeUnknown = true;
      std::string line = ToolOutputLine(text);
      stat.toolNote = "保留的存储是否打开未知（dism.exe 的输出无法读取，退出代码 0，" +
                      (line.empty() ? std::string("没有输出") : "第一行：" + line) + "）";
    }
    return;
  }
  if (item.tool == SystemTool::CompactOs) {
    int state = CompactOsState();
    if (state == 1) {
      stat.toolNote = kCompactOn;
    } else if (state == 0) {
      stat.bytes = kCompactOsEstimate;
      stat.toolNote = "估计：压缩系统文件通常可省出 2–4 GB，实际多少要压缩后才知道";
    } else {
      stat.sizeUnknown = true;
      stat.toolNote =
          "无法确定系统文件是否已经压缩（读不到 ntoskrnl.exe 的压缩状态），可省出多少未知";
    }
    return;
  }
  std::string text;
  std::string why =
      RunTool(item, opt, L"/Online /Cleanup-Image /AnalyzeComponentStore /English", true, &text);
  if (!why.empty()) return Fail(stat, why);
  ComponentStoreReport r = ParseComponentStoreReport(text);
  std::string packages = r.packages < 0 ? "未知" : std::to_string(r.packages) + " 个";
  std::string advice = r.recommended < 0 ? "未知" : r.recommended ? "是" : "否";
  stat.toolNote = "估计：可回收的包 " + packages + "，DISM 建议清理：" + advice;
  if (r.backupsKnown && r.cacheKnown) {
    stat.bytes = r.recommended == 0 ? r.cache : r.backups + r.cache;
    stat.toolNote +=
        "；备份和已禁用的功能 " + About(r.backups) + "，缓存和临时数据 " + About(r.cache);
  } else {
    stat.sizeUnknown = true;
    // Exit code 0, but no figure in the documented form: said plainly.
    std::string line = ToolOutputLine(text);
    stat.toolNote += "；可回收的大小未知（dism.exe 的输出无法读取，退出代码 0，" +
                     (line.empty() ? std::string("没有输出") : "第一行：" + line) + "）";
  }
}

void CleanSystemTool(const RuleItem& item, ItemStat& stat, bool dryRun, const Choice& c) {
  stat.systemTool = true;
  const std::wstring entry = U2W(item.name);
  if (dryRun) {
    stat.sizeUnknown = true;
    stat.toolNote = "试运行不启动系统工具；实际清理时由 Windows 自带工具完成";
    return;
  }
  auto refuse = [&](const std::string& why) {
    Fail(stat, why);
    stat.skipped++;
    Touched(c, TouchKind::Skipped, 0, entry, U2W(why));
  };
  if (!IsAdmin()) return refuse(kNeedsAdmin);
  if (item.tool == SystemTool::RestorePoints) return CleanRestorePoints(stat, c);
  if (item.tool == SystemTool::DriverPackages) return CleanDriverPackages(stat, c);
  std::wstring args = L"/Online /Cleanup-Image /StartComponentCleanup /English";
  if (item.tool == SystemTool::ReducedHibernation) {
    tov::FileInfo info;
    if (!tov::GetFileInfo(HibernationFile(), &info) || info.size == 0) {
      stat.toolNote = "休眠已关闭，没有休眠文件，此项不适用";
      return;
    }
    args = L"/h /type reduced";
  } else if (item.tool == SystemTool::ReservedStorage) {
    std::string why = ReservedStorageNotApplicable(), text;
    if (!why.empty()) {
      stat.toolNote = why;
      return;
    }
    int state = ReservedStorageState(item, *c.opt, &why, &text);
    if (!why.empty()) return refuse(why);
    if (state == 0) {
      stat.toolNote = kReservedOff;
      return;
    }
    args = L"/Online /Set-ReservedStorageState /State:Disabled /English";
  } else if (item.tool == SystemTool::CompactOs) {
    if (CompactOsState() == 1) {
      stat.toolNote = kCompactOn;
      return;
    }
    args = L"/CompactOS:always";
  } else if (c.opt->resetBase) {
    args += L" /ResetBase";
  }
  const TaskOptions& opt = *c.opt;
  const std::wstring mark = MarkFileOf(opt);
  tov::WriteWholeFile(mark, item.name + "\n");
  stat.freeBefore = FreeOnC();
  std::string text;
  std::string why = RunTool(item, opt, args, item.tool == SystemTool::ComponentStore, &text);
  stat.freeAfter = FreeOnC();
  tov::DeleteFilePath(mark);
  std::string around = "C: 可用空间 " + About(stat.freeBefore) + " → " + About(stat.freeAfter);
  if (item.tool == SystemTool::ReservedStorage) why = ReservedStorageRefusal(why, text);
  if (!why.empty()) return refuse(why + "；" + around);
  stat.bytes = stat.freeAfter > stat.freeBefore ? stat.freeAfter - stat.freeBefore : 0;
  stat.toolNote = "已完成；" + around;
  Touched(c, TouchKind::Deleted, stat.bytes, entry + L"（" + U2W(around) + L"）", std::wstring());
}

// ---- Turning an action back (the settings) ---------------------------------------------

namespace {

std::mutex g_undoLock;
SystemToolUndo g_undo;

void SetUndo(const SystemToolUndo& u) {
  std::lock_guard<std::mutex> lock(g_undoLock);
  g_undo = u;
}

}  // namespace

bool SystemToolUndoable(const RuleItem& item) {
  return item.tool == SystemTool::ReservedStorage || item.tool == SystemTool::CompactOs;
}

bool StartSystemToolUndo(const RuleItem& item, const TaskOptions& opt, std::string* refused) {
  refused->clear();
  if (!SystemToolUndoable(item)) {
    *refused = "此项没有可以撤销的设置";
    return false;
  }
  if (!IsAdmin()) {
    *refused = kNeedsAdmin;
    return false;
  }
  if (item.tool == SystemTool::ReservedStorage) {
    *refused = ReservedStorageNotApplicable();
    if (!refused->empty()) return false;
  }
  auto run = [item, opt](TaskFeed&) {
    SystemToolUndo u;
    u.id = item.id;
    u.running = true;
    SetUndo(u);
    const bool reserved = item.tool == SystemTool::ReservedStorage;
    std::wstring args = reserved ? L"/Online /Set-ReservedStorageState /State:Enabled /English"
                                 : L"/CompactOS:never";
    // Marked as running, as a clean's action is.
    const std::wstring mark = MarkFileOf(opt);
    tov::WriteWholeFile(mark, item.name + "\n");
    std::string text;
    std::string why = RunTool(item, opt, args, false, &text);
    tov::DeleteFilePath(mark);
    if (reserved) why = ReservedStorageRefusal(why, text);
    u.running = false;
    u.done = why.empty();
    u.message = !why.empty() ? why
                : reserved ? "已重新打开保留的存储，Windows 会重新为更新预留空间"
                           : "已关闭系统文件压缩，系统文件已恢复为不压缩";
    SetUndo(u);
  };
  return StartTaskOf("systool", run);
}

SystemToolUndo LastSystemToolUndo() {
  std::lock_guard<std::mutex> lock(g_undoLock);
  return g_undo;
}

}  // namespace tamsel
