#include "engine/tamsel_engine.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "desktop/shell_win.h"
#include "engine/walk.h"
#include "platform/platform.h"
#include "text/text.h"

namespace tamsel {
namespace {

// ---- Task state -------------------------------------------------------------------

TaskState g_state;

// phase and cur are texts written by one thread and read by many; a small
// lock keeps every reader from seeing half of an old and half of a new text.
std::mutex g_textLock;
char g_phase[16] = "idle";
char g_cur[1024] = "";

std::mutex g_csResult;
ResultList g_lastResult;
ResultList g_lastScan;
uint64_t g_lastScanAt = 0;
std::string g_lastKind;
bool g_lastDryRun = false;
std::string g_lastNote;

// How many task threads are alive, for WaitTask. A finished task releases
// the engine a moment before its thread ends, so the next task's thread may
// overlap with it: a count, not a flag.
std::mutex g_threadLock;
std::condition_variable g_threadEnded;
int g_threadsAlive = 0;

struct TaskArgs {
  std::vector<Category> cats;
  std::vector<std::string> ids;
  bool dryRun = false;
  bool isScan = false;
  bool restartExplorer = false;
  TaskOptions options;
};

void SetPhase(const char* phase) {
  std::lock_guard<std::mutex> lock(g_textLock);
  snprintf(g_phase, sizeof g_phase, "%s", phase);
}

bool Cancelled() {
  return g_state.cancel.load() != 0;
}

uint64_t FreeOnC() {
  uint64_t avail = 0, total = 0, totalFree = 0;
  if (!tov::DiskFreeSpace(L"C:\\", &avail, &total, &totalFree)) return 0;
  return avail;
}

// The file's own name: the text after the last backslash.
std::wstring LeafName(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// The folder that holds path: the text before the last backslash, the
// drive's root kept whole ("C:\\x" gives "C:\\").
std::wstring ParentOf(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return std::wstring();
  return path.substr(0, cut == 2 && path[1] == L':' ? 3 : cut);
}

bool Selected(const std::set<std::string>& ids, const RuleItem& item) {
  return ids.count(item.id) != 0;
}

// A target that repeats an earlier target of the same item, with only the
// letter case of its path changed, names the same folder on Windows: walking
// it again would count (or list) the same files twice.
bool RepeatsEarlierTarget(const RuleItem& item, size_t index) {
  const Target& t = item.targets[index];
  std::wstring folded = tov::LowerAscii(t.path);
  for (size_t i = 0; i < index; ++i) {
    const Target& e = item.targets[i];
    if (e.recursive == t.recursive && e.include == t.include && e.exclude == t.exclude &&
        tov::LowerAscii(e.path) == folded)
      return true;
  }
  return false;
}

void PushErr(ItemStat& stat, const std::wstring& path, const std::wstring& reason) {
  if (stat.errors.size() >= kMaxErrors) return;
  std::string text = W2U(path);
  if (!reason.empty()) text += " : " + W2U(reason);
  stat.errors.push_back(text);
}

// ---- The user's choices ------------------------------------------------------------

const wchar_t kReasonProtected[] = L"已设为不清理";

// How one item's walks apply the task's options.
struct Choice {
  const TaskOptions* opt = nullptr;
  const SafetyContext* safety = nullptr;  // holds the protected paths, folded
  const std::string* item = nullptr;      // the item's id, for the record
  bool age = false;                       // the age filter applies ("files" items)
  bool skip = true;                       // the skip list applies (not in the file list)
  bool record = false;                    // a real clean: report what was touched
};

// Whether a file is left out by the user's choices before any gate: too
// young for the age filter, on the skip list, or protected. The path is
// built only when a list needs it.
bool LeftOut(const Choice& c, EntryPath* paths, const std::wstring* full, const std::wstring& name,
             uint64_t mtime) {
  if (c.age && c.opt->cutoff != 0 && mtime > c.opt->cutoff) return true;
  bool skipList = c.skip && !c.opt->skip.empty();
  if (!skipList && c.safety->protect.empty()) return false;
  const std::wstring& path = full ? *full : paths->Of(name);
  if (skipList && c.opt->skip.count(tov::LowerAscii(path))) return true;
  return IsProtectedPath(*c.safety, path);
}

// The record of a real clean: one entry per file or folder touched.
void Touched(const Choice& c, bool deleted, uint64_t bytes, const std::wstring& path,
             const std::wstring& reason) {
  if (c.record && c.opt->touched) c.opt->touched(*c.item, deleted, bytes, path, reason);
}

// A file or folder the clean refused or failed to delete.
void Refuse(const Choice& c, ItemStat& stat, const std::wstring& path, uint64_t bytes,
            const std::wstring& reason) {
  stat.skipped++;
  PushErr(stat, path, reason);
  Touched(c, false, bytes, path, reason);
}

// ---- Reasons ---------------------------------------------------------------------

const wchar_t kReparseFilesReason[] = L"路径含重解析点(junction/symlink)";
const wchar_t kReparseDirReason[] = L"路径含重解析点";
const wchar_t kDeleteFailedInWalk[] = L"删除失败(占用或权限)";
const wchar_t kDeleteFailedTarget[] = L"删除失败";

// Why a file stayed, in the user's words; `general` where the system did not
// tell the cases apart, linkReason for something swapped in since the listing.
std::wstring DeleteFailReason(tov::FsFault fault, const wchar_t* general,
                              const wchar_t* linkReason) {
  switch (fault) {
    case tov::FsFault::InUse:
      return L"删除失败(文件正在使用)";
    case tov::FsFault::Denied:
      return L"删除失败(没有权限)";
    case tov::FsFault::Gone:
      return L"删除失败(文件已不存在)";
    case tov::FsFault::Link:
      return linkReason;
    default:
      return general;
  }
}

// Why a folder was not walked.
std::wstring OpenFailReason(tov::FsFault fault, const wchar_t* linkReason) {
  switch (fault) {
    case tov::FsFault::Link:
      return linkReason;
    case tov::FsFault::Denied:
      return L"无法打开文件夹(没有权限)";
    case tov::FsFault::Gone:
      return L"无法打开文件夹(已不存在)";
    case tov::FsFault::InUse:
      return L"无法打开文件夹(正在使用)";
    default:
      return L"无法打开文件夹";
  }
}

// A walk of one target that polls the task's cancel flag.
Walk WalkOf(const Target& t, bool filtered) {
  Walk w;
  w.target = &t;
  w.filtered = filtered;
  w.cancelled = Cancelled;
  return w;
}

// Whether a database lies directly in the folder at path; false when the
// folder cannot be read (nothing in it can be deleted then either).
bool FolderHoldsDatabase(const std::wstring& path) {
  tov::FsFault fault = tov::FsFault::None;
  tov::DirHandle dir = tov::OpenWalkDir(path, &fault);
  if (dir == tov::kNoDir) return false;
  std::vector<tov::DirEntry> entries;
  bool db = tov::ListDirAt(dir, &entries) && IsDatabaseFolder(entries);
  tov::CloseDir(dir);
  return db;
}

// A target that is a single file takes it under the same rules as a walk.
bool TakesSingleFile(const Target& t, uint32_t attrs) {
  if (!IsPlainLocalFile(attrs) || !PassesFilter(t, LeafName(t.path))) return false;
  return t.include.empty() || !FolderHoldsDatabase(ParentOf(t.path));
}

// ---- Scanning -------------------------------------------------------------------

void CountFile(ScanCtx& ctx, uint64_t size) {
  ctx.stat->bytes += size;
  ctx.stat->files += 1;
}

// Whether the file just counted goes into the hit list as well.
bool WantsHit(const ScanCtx& ctx) {
  return ctx.hits && ctx.collect && ctx.hits->size() < ctx.maxHits;
}

void ScanTarget(const Target& t, ScanCtx& ctx, const Choice& c) {
  if (t.path.empty() || IsProtectedPath(*c.safety, t.path)) return;
  tov::FileInfo info;
  if (!tov::GetFileInfo(t.path, &info)) return;
  // What lies behind a link on the way is refused by the clean; the scan
  // agrees. The walk checks the way again on the handles it opens.
  if (HasReparseInPath(t.path)) return;
  if (info.attrs & tov::kAttrDirectory) {
    tov::FsFault fault = tov::FsFault::None;
    tov::DirHandle dir = tov::OpenWalkDir(t.path, &fault);
    if (dir == tov::kNoDir) return;
    Walk w = WalkOf(t, true);
    w.file = [&ctx, &c](tov::DirHandle, EntryPath& paths, const tov::DirEntry& e) {
      if (LeftOut(c, &paths, nullptr, e.name, e.mtime)) return;
      // Counting needs no path; only a file that is listed does.
      CountFile(ctx, e.size);
      if (WantsHit(ctx)) ctx.hits->push_back(FileHit{paths.Of(e.name), e.size, e.mtime});
    };
    if (!c.safety->protect.empty())
      w.refuseDir = [&c](const std::wstring& sub) { return IsProtectedPath(*c.safety, sub); };
    WalkDir(w, dir, t.path, 0);
    tov::CloseDir(dir);
    return;
  }
  if (!TakesSingleFile(t, info.attrs)) return;
  if (LeftOut(c, nullptr, &t.path, std::wstring(), info.mtime)) return;
  CountFile(ctx, info.size);
  if (WantsHit(ctx)) ctx.hits->push_back(FileHit{t.path, info.size, info.mtime});
}

Target HibernationFileTarget() {
  Target t;
  t.path = ExpandEnvW(L"%SystemDrive%\\hiberfil.sys");
  t.recursive = false;
  t.allowSystem = true;
  return t;
}

// Runs the walker of every selected item in catalogue order, publishing
// progress after each, until the catalogue ends or a cancel arrives.
template <typename PerItem>
void VisitSelected(const std::vector<Category>& cats, const std::set<std::string>* ids,
                   ResultList& out, PerItem perItem) {
  out.clear();
  for (const Category& c : cats) {
    for (const RuleItem& item : c.items) {
      if (ids && !Selected(*ids, item)) continue;
      if (Cancelled()) {
        g_state.finished.exchange(1);
        return;
      }
      ItemStat stat;
      perItem(item, stat);
      out.emplace_back(item.id, stat);
      g_state.done.fetch_add(1);
      g_state.bytes.fetch_add(stat.bytes);
      g_state.files.fetch_add(stat.files);
    }
  }
}

void MeasureTargets(const RuleItem& item, ItemStat& stat, const Choice& c) {
  ScanCtx ctx;
  ctx.stat = &stat;
  for (size_t i = 0; i < item.targets.size() && !Cancelled(); ++i)
    if (!RepeatsEarlierTarget(item, i)) ScanTarget(item.targets[i], ctx, c);
}

// The choice of one item in a task: the age filter counts for "files" items
// only (a "dir" item is one leftover taken whole, a measured item is
// measured whole).
Choice ChoiceFor(const RuleItem& item, const TaskOptions& opt, const SafetyContext& safety,
                 bool record) {
  Choice c;
  c.opt = &opt;
  c.safety = &safety;
  c.item = &item.id;
  c.age = item.mode == "files";
  c.record = record;
  return c;
}

// ---- Cleaning --------------------------------------------------------------------

// The gate a target passes before anything below it is touched: the safety
// refusals for the target path itself, then a link anywhere on the way to
// it. A refusal is counted and reported once, for the whole target. The walk
// checks the way again on the handles it opens.
bool TargetRefused(const Target& t, ItemStat& stat, const wchar_t* reparseReason, const Choice& c) {
  std::wstring reason;
  if (!IsSafeDeletePath(*c.safety, t.path, t.allowSystem, reason)) {
    Refuse(c, stat, t.path, 0, reason);
    return true;
  }
  if (HasReparseInPath(t.path)) {
    Refuse(c, stat, t.path, 0, reparseReason);
    return true;
  }
  return false;
}

// A protected subfolder met by a clean's walk is refused once, as a whole.
std::function<bool(const std::wstring&)> RefuseProtectedDirs(const Choice& c, ItemStat& stat) {
  if (c.safety->protect.empty()) return nullptr;
  return [&c, &stat](const std::wstring& sub) {
    if (!IsProtectedPath(*c.safety, sub)) return false;
    Refuse(c, stat, sub, 0, kReasonProtected);
    return true;
  };
}

// Opens a target's folder for a clean; a folder that is not there is no
// fault, anything else is reported for the target.
tov::DirHandle OpenTargetDir(const std::wstring& path, ItemStat& stat, const wchar_t* linkReason,
                             const Choice& c) {
  tov::FsFault fault = tov::FsFault::None;
  tov::DirHandle dir = tov::OpenWalkDir(path, &fault);
  if (dir == tov::kNoDir && fault != tov::FsFault::Gone)
    Refuse(c, stat, path, 0, OpenFailReason(fault, linkReason));
  return dir;
}

// Deletes the single file at path through its folder's handle.
bool DeleteTargetFile(const std::wstring& path, tov::FsFault* fault) {
  tov::DirHandle parent = tov::OpenWalkDir(ParentOf(path), fault);
  if (parent == tov::kNoDir) return false;
  bool ok = tov::DeleteFileAt(parent, LeafName(path), fault);
  tov::CloseDir(parent);
  return ok;
}

// safety holds the gate's look-ups, taken once for the whole task.
uint64_t CleanFilesInTarget(const Target& t, ItemStat& stat, bool dryRun, const Choice& c) {
  tov::DirHandle dir = OpenTargetDir(t.path, stat, kReparseFilesReason, c);
  if (dir == tov::kNoDir) return 0;
  uint64_t sum = 0;
  Walk w = WalkOf(t, true);
  // Left out by the user's choice is not refused: neither counted nor
  // reported, as in a scan. Protected files are the gate's to refuse.
  Choice unprotected = c;
  SafetyContext none;
  unprotected.safety = &none;
  w.file = [&](tov::DirHandle in, EntryPath& paths, const tov::DirEntry& e) {
    if (LeftOut(unprotected, &paths, nullptr, e.name, e.mtime)) return;
    const std::wstring& full = paths.Of(e.name);
    std::wstring reason;
    tov::FsFault fault = tov::FsFault::None;
    if (!IsSafeDeletePath(*c.safety, full, t.allowSystem, reason)) {
      Refuse(c, stat, full, e.size, reason);
    } else if (dryRun || tov::DeleteFileAt(in, e.name, &fault)) {
      sum += e.size;
      stat.files++;
      Touched(c, true, e.size, full, std::wstring());
    } else {
      Refuse(c, stat, full, e.size,
             DeleteFailReason(fault, kDeleteFailedInWalk, kReparseFilesReason));
    }
  };
  w.refuseDir = RefuseProtectedDirs(c, stat);
  w.fault = [&c, &stat](const std::wstring& path, tov::FsFault fault) {
    Refuse(c, stat, path, 0, OpenFailReason(fault, kReparseFilesReason));
  };
  WalkDir(w, dir, t.path, 0);
  tov::CloseDir(dir);
  return sum;
}

void CleanFilesMode(const RuleItem& item, ItemStat& stat, bool dryRun, const Choice& c) {
  for (size_t i = 0; i < item.targets.size() && !Cancelled(); ++i) {
    const Target& t = item.targets[i];
    if (t.path.empty() || RepeatsEarlierTarget(item, i)) continue;
    if (TargetRefused(t, stat, kReparseFilesReason, c)) continue;
    tov::FileInfo info;
    if (!tov::GetFileInfo(t.path, &info)) continue;
    if (info.attrs & tov::kAttrDirectory) {
      stat.bytes += CleanFilesInTarget(t, stat, dryRun, c);
      continue;
    }
    if (!TakesSingleFile(t, info.attrs)) continue;
    if (LeftOut(c, nullptr, &t.path, std::wstring(), info.mtime)) continue;
    tov::FsFault fault = tov::FsFault::None;
    if (dryRun || DeleteTargetFile(t.path, &fault)) {
      stat.files++;
      stat.bytes += info.size;
      Touched(c, true, info.size, t.path, std::wstring());
    } else {
      Refuse(c, stat, t.path, info.size,
             DeleteFailReason(fault, kDeleteFailedTarget, kReparseFilesReason));
    }
  }
}

// A "dir" item's folder goes whole: every file in it (no name filters, no
// database rule: the item names that folder on purpose), then its emptied
// subfolders, then the folder itself. A dry run measures the same walk.
void CleanDirMode(const RuleItem& item, ItemStat& stat, bool dryRun, const Choice& c) {
  for (size_t i = 0; i < item.targets.size(); ++i) {
    const Target& t = item.targets[i];
    // The same folder spelled in another letter case is gone already (or, in
    // a dry run, counted already).
    if (RepeatsEarlierTarget(item, i)) continue;
    if (TargetRefused(t, stat, kReparseDirReason, c)) continue;
    uint32_t attrs = 0;
    if (!tov::GetAttributes(t.path, &attrs) || !(attrs & tov::kAttrDirectory)) continue;
    tov::DirHandle dir = OpenTargetDir(t.path, stat, kReparseDirReason, c);
    if (dir == tov::kNoDir) continue;
    uint64_t sum = 0;
    Walk w = WalkOf(t, false);
    w.fault = [&c, &stat](const std::wstring& path, tov::FsFault fault) {
      Refuse(c, stat, path, 0, OpenFailReason(fault, kReparseDirReason));
    };
    w.refuseDir = RefuseProtectedDirs(c, stat);
    // A file on the skip list stays, and with it the folders that hold it;
    // a protected one is refused as in a "files" item.
    Choice unprotected = c;
    SafetyContext none;
    unprotected.safety = &none;
    auto keeps = [&](EntryPath& paths, const tov::DirEntry& e) {
      if (LeftOut(unprotected, &paths, nullptr, e.name, e.mtime)) return true;
      if (c.safety->protect.empty() || !IsProtectedPath(*c.safety, paths.Of(e.name))) return false;
      Refuse(c, stat, paths.Of(e.name), e.size, kReasonProtected);
      return true;
    };
    if (dryRun) {
      w.file = [&](tov::DirHandle, EntryPath& paths, const tov::DirEntry& e) {
        if (!keeps(paths, e)) sum += e.size;
      };
    } else {
      w.file = [&](tov::DirHandle in, EntryPath& paths, const tov::DirEntry& e) {
        if (keeps(paths, e)) return;
        tov::FsFault fault = tov::FsFault::None;
        if (tov::DeleteFileAt(in, e.name, &fault)) {
          stat.files++;
          sum += e.size;
          Touched(c, true, e.size, paths.Of(e.name), std::wstring());
        } else {
          Refuse(c, stat, paths.Of(e.name), e.size,
                 DeleteFailReason(fault, kDeleteFailedInWalk, kReparseDirReason));
        }
      };
      // A folder that still holds something stays; what kept it is reported.
      w.leftDir = [&c](tov::DirHandle in, EntryPath& paths, const tov::DirEntry& e) {
        tov::FsFault fault = tov::FsFault::None;
        if (tov::RemoveDirAt(in, e.name, &fault))
          Touched(c, true, 0, paths.Of(e.name), std::wstring());
      };
    }
    WalkDir(w, dir, t.path, 0);
    tov::CloseDir(dir);
    stat.bytes += sum;
    if (dryRun) {
      stat.files += 1;  // the folder counts as one entry, whatever it holds
    } else {
      tov::FsFault fault = tov::FsFault::None;
      tov::DirHandle parent = tov::OpenWalkDir(ParentOf(t.path), &fault);
      if (parent != tov::kNoDir) {
        if (tov::RemoveDirAt(parent, LeafName(t.path), &fault))
          Touched(c, true, 0, t.path, std::wstring());
        tov::CloseDir(parent);
      }
    }
  }
}

const wchar_t kRecycleBinEntry[] = L"回收站";

void CleanRecycleBin(ItemStat& stat, bool dryRun, const Choice& c) {
  uint64_t items = 0, bytes = 0;
  if (tov::QueryRecycleBin(&items, &bytes)) {
    stat.bytes = bytes;
    stat.files = items;
  }
  if (dryRun) return;
  if (!tov::EmptyRecycleBin()) {
    stat.skipped++;
    stat.errors.push_back("清空回收站失败（可能已被清空或权限不足）");
    stat.bytes = 0;
    stat.files = 0;
    Touched(c, false, 0, kRecycleBinEntry, L"清空回收站失败");
    return;
  }
  Touched(c, true, stat.bytes, kRecycleBinEntry, std::wstring());
}

bool RunPowerCfgHibernate(bool on) {
  uint32_t code = 1;
  std::wstring cmd = tov::SystemProgram(L"powercfg.exe") + L" /hibernate " + (on ? L"on" : L"off");
  if (!tov::RunHiddenAndWait(cmd, 30000, &code)) return false;
  return code == 0;
}

// Switching hibernation off removes the hibernation file. It is not switched
// back on: that would recreate the file at once, and the space reported as
// freed would not be free. What is reported is what actually left the disk.
void CleanHibernation(ItemStat& stat, bool dryRun, const Choice& c) {
  std::wstring file = ExpandEnvW(L"%SystemDrive%\\hiberfil.sys");
  tov::FileInfo before;
  if (!tov::GetFileInfo(file, &before) || before.size == 0) return;
  stat.bytes = before.size;
  stat.files = 1;
  if (dryRun) return;
  if (!RunPowerCfgHibernate(false)) {
    stat.skipped++;
    stat.errors.push_back("关闭休眠失败（需要管理员权限）");
    stat.bytes = 0;
    stat.files = 0;
    Touched(c, false, before.size, file, L"关闭休眠失败");
    return;
  }
  tov::FileInfo after;
  if (tov::GetFileInfo(file, &after)) {
    stat.bytes = before.size > after.size ? before.size - after.size : 0;
    stat.files = 0;
  }
  Touched(c, true, stat.bytes, file, std::wstring());
}

// ---- The task thread ---------------------------------------------------------------

void TaskThread(TaskArgs* args) {
  // Explorer holds thumbnail and icon caches open; a real clean may stop it
  // for its duration. The watchdog brings it back should it stay away.
  bool explorerStopped = false;
  if (!args->isScan && args->restartExplorer && !args->dryRun && tov::ExplorerIsRunning()) {
    tov::ExplorerWatchdog(20);
    tov::ExplorerStop();
    explorerStopped = true;
  }
  uint64_t free0 = FreeOnC();
  g_state.freeBefore.exchange(free0);
  g_state.freeAfter.exchange(free0);

  ResultList result;
  if (args->isScan) {
    SetPhase("scan");
    ScanItems(args->cats, args->ids, result, args->options);
  } else {
    SetPhase(args->dryRun ? "clean-dryrun" : "clean");
    CleanItems(args->cats, args->ids, args->dryRun, result, args->options);
    g_state.freeAfter.exchange(FreeOnC());
  }
  if (explorerStopped) tov::ExplorerStart();
  std::string note;
  if (!args->isScan && !args->dryRun && args->options.finished)
    note = args->options.finished(result);

  {
    std::lock_guard<std::mutex> lock(g_csResult);
    g_lastResult = result;
    if (args->isScan) {
      g_lastScan = result;
      g_lastScanAt = tov::TickCount64();
    }
    g_lastKind = args->isScan ? "scan" : "clean";
    g_lastDryRun = args->dryRun;
    g_lastNote = note;
  }
  g_state.busy.exchange(0);
  g_state.finished.exchange(1);
  SetPhase("idle");
  delete args;

  std::lock_guard<std::mutex> lock(g_threadLock);
  --g_threadsAlive;
  g_threadEnded.notify_all();
}

// The engine is already claimed by the caller.
bool StartTask(const std::vector<Category>& cats, const std::vector<std::string>& ids, bool dryRun,
               bool isScan, bool restartExplorer, int32_t total, const TaskOptions& options) {
  {
    std::lock_guard<std::mutex> lock(g_textLock);
    g_cur[0] = '\0';
  }
  g_state.cancel.exchange(0);
  g_state.done.exchange(0);
  g_state.bytes.exchange(0);
  g_state.files.exchange(0);
  g_state.finished.exchange(0);
  g_state.total.exchange(total);

  TaskArgs* args = new TaskArgs{cats, ids, dryRun, isScan, restartExplorer, options};
  {
    std::lock_guard<std::mutex> lock(g_threadLock);
    ++g_threadsAlive;
  }
  if (!tov::StartDetachedThread([args] { TaskThread(args); })) {
    {
      std::lock_guard<std::mutex> lock(g_threadLock);
      --g_threadsAlive;
      g_threadEnded.notify_all();
    }
    g_state.busy.exchange(0);
    delete args;
    return false;
  }
  return true;
}

int32_t TotalFor(const std::vector<Category>& cats, const std::vector<std::string>& ids) {
  if (!ids.empty()) return static_cast<int32_t>(ids.size());
  size_t n = 0;
  for (const Category& c : cats) n += c.items.size();
  return static_cast<int32_t>(n);
}

bool Claim() {
  int32_t expected = 0;
  return g_state.busy.compare_exchange_strong(expected, 1);
}

}  // namespace

// ---- Public ----------------------------------------------------------------------------

uint64_t AgeCutoff(uint64_t now, int days) {
  if (days <= 0) return 0;
  uint64_t span = static_cast<uint64_t>(days) * kFileTimeDay;
  return now > span ? now - span : 1;
}

bool StartScan(const std::vector<Category>& cats, const std::vector<std::string>& ids,
               const TaskOptions& options) {
  int32_t total = TotalFor(cats, ids);
  if (!Claim()) return false;
  return StartTask(cats, ids, false, true, false, total, options);
}

bool StartClean(const std::vector<Category>& cats, const std::vector<std::string>& ids, bool dryRun,
                bool restartExplorer, const TaskOptions& options) {
  int32_t total = TotalFor(cats, ids);
  if (!Claim()) return false;
  return StartTask(cats, ids, dryRun, false, restartExplorer, total, options);
}

bool StartTaskOf(const char* phase, std::function<void()> body) {
  if (!Claim()) return false;
  {
    std::lock_guard<std::mutex> lock(g_textLock);
    g_cur[0] = '\0';
  }
  g_state.cancel.exchange(0);
  g_state.done.exchange(0);
  g_state.total.exchange(0);
  g_state.bytes.exchange(0);
  g_state.files.exchange(0);
  g_state.finished.exchange(0);
  SetPhase(phase);
  auto* run = new std::function<void()>(std::move(body));
  {
    std::lock_guard<std::mutex> lock(g_threadLock);
    ++g_threadsAlive;
  }
  auto release = [] {
    g_state.busy.exchange(0);
    std::lock_guard<std::mutex> lock(g_threadLock);
    --g_threadsAlive;
    g_threadEnded.notify_all();
  };
  if (!tov::StartDetachedThread([run, release] {
        (*run)();
        delete run;
        g_state.finished.exchange(1);
        SetPhase("idle");
        release();
      })) {
    delete run;
    SetPhase("idle");
    release();
    return false;
  }
  return true;
}

void CancelTask() {
  g_state.cancel.exchange(1);
}

bool WaitTask(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(g_threadLock);
  return g_threadEnded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [] { return g_threadsAlive == 0; });
}

TaskState* State() {
  return &g_state;
}

ProgressText Progress() {
  std::lock_guard<std::mutex> lock(g_textLock);
  return ProgressText{g_phase, g_cur};
}

void LockResults() {
  g_csResult.lock();
}
void UnlockResults() {
  g_csResult.unlock();
}
const ResultList& LastResult() {
  return g_lastResult;
}
const ResultList& LastScanResult() {
  return g_lastScan;
}
uint64_t LastScanAt() {
  return g_lastScanAt;
}
std::string LastKind() {
  return g_lastKind;
}
bool LastDryRun() {
  return g_lastDryRun;
}
std::string LastNote() {
  return g_lastNote;
}

void SetCurPath(const std::wstring& path) {
  std::string u = W2U(path);
  if (u.size() > kMaxCurBytes) {
    // Cut on a character boundary so that the text stays valid UTF-8.
    size_t cut = kMaxCurBytes;
    while (cut > 0 && (static_cast<unsigned char>(u[cut]) & 0xC0) == 0x80) --cut;
    u.resize(cut);
  }
  std::lock_guard<std::mutex> lock(g_textLock);
  snprintf(g_cur, sizeof g_cur, "%s", u.c_str());
}

void ScanItems(const std::vector<Category>& cats, const std::vector<std::string>& ids,
               ResultList& out, const TaskOptions& options) {
  std::set<std::string> wanted(ids.begin(), ids.end());
  // A scan deletes nothing; of the gate's context it needs the protected
  // paths only.
  SafetyContext safety;
  safety.protect = FoldProtectedPaths(options.protect);
  VisitSelected(cats, ids.empty() ? nullptr : &wanted, out,
                [&](const RuleItem& item, ItemStat& stat) {
                  if (item.mode == "recyclebin") return;  // sized by its own query
                  Choice c = ChoiceFor(item, options, safety, false);
                  if (item.mode == "hibernate") {
                    ScanCtx ctx;
                    ctx.stat = &stat;
                    ScanTarget(HibernationFileTarget(), ctx, c);
                    return;
                  }
                  MeasureTargets(item, stat, c);
                });
}

void CleanItems(const std::vector<Category>& cats, const std::vector<std::string>& ids, bool dryRun,
                ResultList& out, const TaskOptions& options) {
  std::set<std::string> wanted(ids.begin(), ids.end());
  // The safety gate's look-ups (desktop, system folders, home) are made once
  // for the task instead of once for every file it is about to delete.
  const SafetyContext safety = MakeSafetyContext(options.protect);
  VisitSelected(cats, &wanted, out, [&](const RuleItem& item, ItemStat& stat) {
    Choice c = ChoiceFor(item, options, safety, !dryRun);
    if (item.mode == "dir")
      CleanDirMode(item, stat, dryRun, c);
    else if (item.mode == "measure")
      MeasureTargets(item, stat, c);
    else if (item.mode == "recyclebin")
      CleanRecycleBin(stat, dryRun, c);
    else if (item.mode == "hibernate")
      CleanHibernation(stat, dryRun, c);
    else
      CleanFilesMode(item, stat, dryRun, c);
  });
}

void CollectDetails(const RuleItem& item, uint32_t maximum, std::vector<FileHit>& out,
                    const TaskOptions& options) {
  out.clear();
  ItemStat stat;
  ScanCtx ctx;
  ctx.stat = &stat;
  ctx.hits = &out;
  ctx.maxHits = maximum;
  ctx.collect = item.allowDetails;
  SafetyContext safety;
  safety.protect = FoldProtectedPaths(options.protect);
  Choice c = ChoiceFor(item, options, safety, false);
  c.skip = false;
  for (size_t i = 0; i < item.targets.size(); ++i)
    if (!RepeatsEarlierTarget(item, i)) ScanTarget(item.targets[i], ctx, c);
}

// ---- Queries ----------------------------------------------------------------------

std::string DiskInfoJson(const std::string& drive) {
  // Only a short drive name such as "C:" is meaningful here.
  std::string name = drive.substr(0, 6);
  uint64_t avail = 0, total = 0, totalFree = 0;
  if (!tov::DiskFreeSpace(U2W(name), &avail, &total, &totalFree)) return "{\"ok\":false}";
  return "{\"ok\":true,\"drive\":\"" + tov::JEsc(name) + "\",\"total\":" + tov::Num(total) +
         ",\"free\":" + tov::Num(avail) + "}";
}

std::string RecycleBinInfoJson() {
  uint64_t items = 0, bytes = 0;
  if (!tov::QueryRecycleBin(&items, &bytes)) return "{\"ok\":false}";
  char buf[96];
  snprintf(buf, sizeof buf, "{\"ok\":true,\"items\":%llu,\"bytes\":%llu}",
           static_cast<unsigned long long>(items), static_cast<unsigned long long>(bytes));
  return buf;
}

}  // namespace tamsel
