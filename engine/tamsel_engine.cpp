#include "engine/tamsel_engine.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "desktop/shell_win.h"
#include "platform/platform.h"
#include "server/text.h"

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

// The full paths of a directory's entries are built in one buffer: the
// directory and a backslash stay, each entry's name replaces the previous
// one, so that a directory of many files costs one allocation, not one per
// file.
class EntryPath {
 public:
  explicit EntryPath(const std::wstring& dir) : full_(dir) {
    full_ += L'\\';
    base_ = full_.size();
  }
  const std::wstring& Of(const std::wstring& name) {
    full_.resize(base_);
    full_ += name;
    return full_;
  }

 private:
  std::wstring full_;
  size_t base_ = 0;
};

// The file's own name: the text after the last backslash.
std::wstring LeafName(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

bool Selected(const std::set<std::string>& ids, const RuleItem& item) {
  return ids.count(item.id) != 0;
}

// A target that repeats an earlier target of the same item, with only the
// letter case of its path changed, names the same folder on Windows: walking
// it again would count (or list) the same files twice.
bool RepeatsEarlierTarget(const RuleItem& item, size_t index) {
  const Target& t = item.targets[index];
  std::wstring folded = Lower(t.path);
  for (size_t i = 0; i < index; ++i) {
    const Target& e = item.targets[i];
    if (e.recursive == t.recursive && e.include == t.include && e.exclude == t.exclude &&
        Lower(e.path) == folded)
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

// ---- Scanning -------------------------------------------------------------------

bool IsExcluded(const std::wstring& name, const std::vector<std::wstring>& patterns) {
  for (const std::wstring& p : patterns) {
    if (p.empty()) continue;
    if (p.find_first_of(L"*?") != std::wstring::npos) {
      if (WildMatchStr(p.c_str(), name.c_str())) return true;
    } else if (name.size() >= p.size() &&
               WildMatchStr(p.c_str(), name.c_str() + (name.size() - p.size()))) {
      // A plain entry is a suffix test: ".pf" drops every name ending in .pf.
      return true;
    }
  }
  return false;
}

bool PassesFilter(const Target& t, const std::wstring& name) {
  if (!t.include.empty()) {
    bool any = false;
    for (const std::wstring& p : t.include) {
      if (!p.empty() && WildMatchStr(p.c_str(), name.c_str())) {
        any = true;
        break;
      }
    }
    if (!any) return false;
  }
  return !IsExcluded(name, t.exclude);
}

void CountFile(ScanCtx& ctx, uint64_t size) {
  ctx.stat->bytes += size;
  ctx.stat->files += 1;
}

// Whether the file just counted goes into the hit list as well.
bool WantsHit(const ScanCtx& ctx) {
  return ctx.hits && ctx.collect && ctx.hits->size() < ctx.maxHits;
}

void ScanDir(const Target& t, const std::wstring& dir, ScanCtx& ctx, int depth) {
  if (depth == 65 || Cancelled()) return;
  EntryPath full(dir);
  tov::ListDir(dir, [&](const tov::DirEntry& e) {
    if (Cancelled()) return false;
    if (e.attrs & tov::kAttrDirectory) {
      // Links and junctions are leaves: never entered, whatever they point to.
      if (!(e.attrs & tov::kAttrReparsePoint) && t.recursive) {
        const std::wstring& sub = full.Of(e.name);
        SetCurPath(sub);
        ScanDir(t, sub, ctx, depth + 1);
      }
    } else if (PassesFilter(t, e.name)) {
      // Counting needs no path; only a file that is listed does.
      CountFile(ctx, e.size);
      if (WantsHit(ctx)) ctx.hits->push_back(FileHit{full.Of(e.name), e.size, e.mtime});
    }
    return true;
  });
}

void ScanTarget(const Target& t, ScanCtx& ctx) {
  if (t.path.empty()) return;
  uint32_t attrs = 0;
  if (!tov::GetAttributes(t.path, &attrs)) return;
  if (attrs & tov::kAttrDirectory) {
    ScanDir(t, t.path, ctx, 0);
    return;
  }
  if (!PassesFilter(t, LeafName(t.path))) return;
  tov::FileInfo info;
  if (!tov::GetFileInfo(t.path, &info)) return;
  CountFile(ctx, info.size);
  if (WantsHit(ctx)) ctx.hits->push_back(FileHit{t.path, info.size, info.mtime});
}

uint64_t DirSizeQuick(const std::wstring& dir, int depth) {
  if (depth == 33) return 0;
  uint64_t sum = 0;
  EntryPath full(dir);
  tov::ListDir(dir, [&](const tov::DirEntry& e) {
    if (!(e.attrs & tov::kAttrDirectory))
      sum += e.size;
    else if (!(e.attrs & tov::kAttrReparsePoint))
      sum += DirSizeQuick(full.Of(e.name), depth + 1);
    return true;
  });
  return sum;
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

void MeasureTargets(const RuleItem& item, ItemStat& stat) {
  ScanCtx ctx;
  ctx.stat = &stat;
  for (size_t i = 0; i < item.targets.size() && !Cancelled(); ++i)
    if (!RepeatsEarlierTarget(item, i)) ScanTarget(item.targets[i], ctx);
}

// ---- Cleaning --------------------------------------------------------------------

// Deletes one file after resetting its attributes, so read-only files go too.
bool DeleteOneFile(const std::wstring& path) {
  tov::SetNormalAttributes(path);
  return tov::DeleteFilePath(path);
}

// safety holds the gate's look-ups, taken once for the whole task.
uint64_t CleanFilesInDir(const Target& t, const std::wstring& dir, ItemStat& stat, bool dryRun,
                         int depth, const SafetyContext& safety) {
  if (depth == 65 || Cancelled()) return 0;
  uint64_t sum = 0;
  EntryPath path(dir);
  tov::ListDir(dir, [&](const tov::DirEntry& e) {
    if (Cancelled()) return false;
    if (e.attrs & tov::kAttrDirectory) {
      if (!(e.attrs & tov::kAttrReparsePoint) && t.recursive) {
        const std::wstring& sub = path.Of(e.name);
        SetCurPath(sub);
        sum += CleanFilesInDir(t, sub, stat, dryRun, depth + 1, safety);
      }
      return true;
    }
    if (!PassesFilter(t, e.name)) return true;
    const std::wstring& full = path.Of(e.name);
    std::wstring reason;
    if (!IsSafeDeletePath(safety, full, t.allowSystem, reason)) {
      stat.skipped++;
      PushErr(stat, full, reason);
    } else if (dryRun || DeleteOneFile(full)) {
      sum += e.size;
      stat.files++;
    } else {
      stat.skipped++;
      PushErr(stat, full, L"删除失败(占用或权限)");
    }
    return true;
  });
  return sum;
}

uint64_t DeleteDirContent(const std::wstring& dir, ItemStat& stat, int depth) {
  if (Cancelled() || depth == 65) return 0;
  uint64_t sum = 0;
  EntryPath path(dir);
  tov::ListDir(dir, [&](const tov::DirEntry& e) {
    if (Cancelled()) return false;
    const std::wstring& full = path.Of(e.name);
    if (e.attrs & tov::kAttrDirectory) {
      if (e.attrs & tov::kAttrReparsePoint) return true;  // neither entered nor removed
      sum += DeleteDirContent(full, stat, depth + 1);
      tov::RemoveDirectoryPath(full);
    } else if (DeleteOneFile(full)) {
      stat.files++;
      sum += e.size;
    } else {
      stat.skipped++;
      PushErr(stat, full, L"删除失败(占用或权限)");
    }
    return true;
  });
  return sum;
}

// The gate a target passes before anything below it is touched: the safety
// refusals for the target path itself, then a link anywhere on the way to
// it. A refusal is counted and reported once, for the whole target.
bool TargetRefused(const Target& t, ItemStat& stat, const wchar_t* reparseReason,
                   const SafetyContext& safety) {
  std::wstring reason;
  if (!IsSafeDeletePath(safety, t.path, t.allowSystem, reason)) {
    stat.skipped++;
    PushErr(stat, t.path, reason);
    return true;
  }
  if (HasReparseInPath(t.path)) {
    stat.skipped++;
    PushErr(stat, t.path, reparseReason);
    return true;
  }
  return false;
}

void CleanFilesMode(const RuleItem& item, ItemStat& stat, bool dryRun,
                    const SafetyContext& safety) {
  for (size_t i = 0; i < item.targets.size() && !Cancelled(); ++i) {
    const Target& t = item.targets[i];
    if (t.path.empty() || RepeatsEarlierTarget(item, i)) continue;
    if (TargetRefused(t, stat, L"路径含重解析点(junction/symlink)", safety)) continue;
    tov::FileInfo info;
    if (!tov::GetFileInfo(t.path, &info)) continue;
    if (info.attrs & tov::kAttrDirectory) {
      stat.bytes += CleanFilesInDir(t, t.path, stat, dryRun, 0, safety);
      continue;
    }
    if (!PassesFilter(t, LeafName(t.path))) continue;
    if (dryRun || DeleteOneFile(t.path)) {
      stat.files++;
      stat.bytes += info.size;
    } else {
      stat.skipped++;
      PushErr(stat, t.path, L"删除失败");
    }
  }
}

void CleanDirMode(const RuleItem& item, ItemStat& stat, bool dryRun,
                  const SafetyContext& safety) {
  for (size_t i = 0; i < item.targets.size(); ++i) {
    const Target& t = item.targets[i];
    // The same folder spelled in another letter case is gone already (or, in
    // a dry run, counted already).
    if (RepeatsEarlierTarget(item, i)) continue;
    if (TargetRefused(t, stat, L"路径含重解析点", safety)) continue;
    uint32_t attrs = 0;
    if (!tov::GetAttributes(t.path, &attrs) || !(attrs & tov::kAttrDirectory)) continue;
    if (dryRun) {
      stat.bytes += DirSizeQuick(t.path, 0);
      stat.files += 1;  // the folder counts as one entry, whatever it holds
    } else {
      stat.bytes += DeleteDirContent(t.path, stat, 0);
      tov::RemoveDirectoryPath(t.path);
    }
  }
}

void CleanRecycleBin(ItemStat& stat, bool dryRun) {
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
  }
}

bool RunPowerCfgHibernate(bool on) {
  uint32_t code = 1;
  std::wstring cmd = std::wstring(L"powercfg.exe /hibernate ") + (on ? L"on" : L"off");
  if (!tov::RunHiddenAndWait(cmd, 30000, &code)) return false;
  return code == 0;
}

// Switching hibernation off removes the hibernation file. It is not switched
// back on: that would recreate the file at once, and the space reported as
// freed would not be free. What is reported is what actually left the disk.
void CleanHibernation(ItemStat& stat, bool dryRun) {
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
    return;
  }
  tov::FileInfo after;
  if (tov::GetFileInfo(file, &after)) {
    stat.bytes = before.size > after.size ? before.size - after.size : 0;
    stat.files = 0;
  }
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
    ScanItems(args->cats, args->ids, result);
  } else {
    SetPhase(args->dryRun ? "clean-dryrun" : "clean");
    CleanItems(args->cats, args->ids, args->dryRun, result);
    g_state.freeAfter.exchange(FreeOnC());
  }
  if (explorerStopped) tov::ExplorerStart();

  {
    std::lock_guard<std::mutex> lock(g_csResult);
    g_lastResult = result;
    if (args->isScan) {
      g_lastScan = result;
      g_lastScanAt = tov::TickCount64();
    }
    g_lastKind = args->isScan ? "scan" : "clean";
    g_lastDryRun = args->dryRun;
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
               bool isScan, bool restartExplorer, int32_t total) {
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

  TaskArgs* args = new TaskArgs{cats, ids, dryRun, isScan, restartExplorer};
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

bool StartScan(const std::vector<Category>& cats, const std::vector<std::string>& ids) {
  int32_t total = TotalFor(cats, ids);
  if (!Claim()) return false;
  return StartTask(cats, ids, false, true, false, total);
}

bool StartClean(const std::vector<Category>& cats, const std::vector<std::string>& ids, bool dryRun,
                bool restartExplorer) {
  int32_t total = TotalFor(cats, ids);
  if (!Claim()) return false;
  return StartTask(cats, ids, dryRun, false, restartExplorer, total);
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
               ResultList& out) {
  std::set<std::string> wanted(ids.begin(), ids.end());
  VisitSelected(cats, ids.empty() ? nullptr : &wanted, out,
                [](const RuleItem& item, ItemStat& stat) {
                  if (item.mode == "recyclebin") return;  // sized by its own query
                  if (item.mode == "hibernate") {
                    ScanCtx ctx;
                    ctx.stat = &stat;
                    ScanTarget(HibernationFileTarget(), ctx);
                    return;
                  }
                  MeasureTargets(item, stat);
                });
}

void CleanItems(const std::vector<Category>& cats, const std::vector<std::string>& ids, bool dryRun,
                ResultList& out) {
  std::set<std::string> wanted(ids.begin(), ids.end());
  // The safety gate's look-ups (desktop, system folders, home) are made once
  // for the task instead of once for every file it is about to delete.
  const SafetyContext safety = MakeSafetyContext();
  VisitSelected(cats, &wanted, out, [dryRun, &safety](const RuleItem& item, ItemStat& stat) {
    if (item.mode == "dir")
      CleanDirMode(item, stat, dryRun, safety);
    else if (item.mode == "measure")
      MeasureTargets(item, stat);
    else if (item.mode == "recyclebin")
      CleanRecycleBin(stat, dryRun);
    else if (item.mode == "hibernate")
      CleanHibernation(stat, dryRun);
    else
      CleanFilesMode(item, stat, dryRun, safety);
  });
}

void CollectDetails(const RuleItem& item, uint32_t maximum, std::vector<FileHit>& out) {
  out.clear();
  ItemStat stat;
  ScanCtx ctx;
  ctx.stat = &stat;
  ctx.hits = &out;
  ctx.maxHits = maximum;
  ctx.collect = item.allowDetails;
  for (size_t i = 0; i < item.targets.size(); ++i)
    if (!RepeatsEarlierTarget(item, i)) ScanTarget(item.targets[i], ctx);
}

// ---- Queries ----------------------------------------------------------------------

bool IsAdmin() {
  return tov::IsProcessAdmin();
}

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
  tov::QueryRecycleBin(&items, &bytes);
  char buf[96];
  snprintf(buf, sizeof buf, "{\"ok\":true,\"items\":%llu,\"bytes\":%llu}",
           static_cast<unsigned long long>(items), static_cast<unsigned long long>(bytes));
  return buf;
}

}  // namespace tamsel
