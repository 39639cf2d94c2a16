// The engine's one task: the claim, the task thread, start, cancel and
// wait, the progress record and the results it publishes, and the Explorer
// restart around a real clean.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>

#include "engine/engine_internal.h"
#include "engine/tamsel_engine.h"
#include "platform/platform.h"
#include "text/text.h"

namespace tamsel {
namespace {

TaskState g_state;

// phase and cur are texts written by one thread and read by many; a small
// lock keeps every reader from seeing half of an old and half of a new text.
std::mutex g_textLock;
char g_phase[16] = "idle";
char g_cur[1024] = "";

// The results lock and what it guards.
std::mutex g_csResult;
TaskResults g_results;

std::mutex g_hooksLock;
ExplorerHooks g_explorer;

// How many task threads are alive, for WaitTask. A finished task releases
// the engine a moment before its thread ends, so the next task's thread may
// overlap with it: a count, not a flag.
std::mutex g_threadLock;
std::condition_variable g_threadEnded;
int g_threadsAlive = 0;

// For how many seconds the watchdog started before a real clean stops
// Explorer brings it back whenever it is gone.
constexpr uint32_t kExplorerWatchdogS = 20;

struct TaskArgs {
  std::vector<Category> cats;
  std::vector<std::string> ids;
  bool dryRun = false;
  bool isScan = false;
  bool restartExplorer = false;
  TaskOptions options;
  ExplorerHooks explorer;
};

void SetPhase(const char* phase) {
  std::lock_guard<std::mutex> lock(g_textLock);
  snprintf(g_phase, sizeof g_phase, "%s", phase);
}

// Counts the claims, so that a subsystem can tell whether the last task was its own.
std::atomic<uint64_t> g_serial{0};

bool Claim() {
  int32_t expected = 0;
  if (!g_state.busy.compare_exchange_strong(expected, 1)) return false;
  g_serial.fetch_add(1);
  return true;
}

// The item VisitSelected visits on this thread, and how much of its
// figures the progress record shows already.
thread_local const ItemStat* t_liveItem = nullptr;
thread_local uint64_t t_shownBytes = 0;
thread_local uint64_t t_shownFiles = 0;

// Brings the progress record's figure from shown to now.
void ShowDelta(std::atomic<uint64_t>& figure, uint64_t now, uint64_t* shown) {
  if (now > *shown)
    figure.fetch_add(now - *shown);
  else if (now < *shown)
    figure.fetch_sub(*shown - now);
  *shown = now;
}

// The progress record of a task just claimed: no path, no cancel, no
// figures, not finished.
void ResetProgress(int32_t total) {
  {
    std::lock_guard<std::mutex> lock(g_textLock);
    g_cur[0] = '\0';
  }
  g_state.cancel.exchange(0);
  g_state.done.exchange(0);
  g_state.total.exchange(total);
  g_state.bytes.exchange(0);
  g_state.files.exchange(0);
  g_state.finished.exchange(0);
}

// Ends the claimed task (ran: its body ran): finished and idle first, then
// the engine is released, so that whoever sees it free sees the ended
// task's record (and its results, published before), and the end of the
// old task cannot overwrite the record of a new claim. Then WaitTask may
// return.
void EndTask(bool ran) {
  if (ran) g_state.finished.exchange(1);
  SetPhase("idle");
  g_state.busy.exchange(0);
  std::lock_guard<std::mutex> lock(g_threadLock);
  --g_threadsAlive;
  g_threadEnded.notify_all();
}

// Runs body on a new thread as the claimed task, which ends when body
// returns. False, the engine released, when no thread could be started.
bool RunClaimed(std::function<void()> body) {
  {
    std::lock_guard<std::mutex> lock(g_threadLock);
    ++g_threadsAlive;
  }
  auto* run = new std::function<void()>(std::move(body));
  if (!tov::StartDetachedThread([run] {
        (*run)();
        delete run;
        EndTask(true);
      })) {
    delete run;
    EndTask(false);
    return false;
  }
  return true;
}

// A scan, a dry run or a real clean, on the task thread.
void ScanOrClean(const TaskArgs& args) {
  // Explorer holds thumbnail and icon caches open; a real clean may stop it
  // for its duration. The watchdog brings it back should it stay away.
  const ExplorerHooks& ex = args.explorer;
  bool explorerStopped = false;
  if (!args.isScan && args.restartExplorer && !args.dryRun && ex.isRunning && ex.isRunning()) {
    if (ex.watchdog) ex.watchdog(kExplorerWatchdogS);
    if (ex.stop) ex.stop();
    explorerStopped = true;
  }
  uint64_t free0 = FreeOnC();
  g_state.freeBefore.exchange(free0);
  g_state.freeAfter.exchange(free0);

  ResultList result;
  std::vector<Overlap> overlaps;
  if (args.isScan) {
    SetPhase("scan");
    ScanItems(args.cats, args.ids, result, args.options, &overlaps);
  } else {
    SetPhase(args.dryRun ? "clean-dryrun" : "clean");
    CleanItems(args.cats, args.ids, args.dryRun, result, args.options);
    g_state.freeAfter.exchange(FreeOnC());
  }
  if (explorerStopped && ex.start) ex.start();
  std::string note;
  if (!args.isScan && !args.dryRun && args.options.finished) note = args.options.finished(result);

  std::lock_guard<std::mutex> lock(g_csResult);
  if (args.isScan) {
    g_results.lastScan = result;
    g_results.lastScanOverlaps = std::move(overlaps);
    g_results.lastScanAt = tov::TickCount64();
  }
  g_results.last = std::move(result);
  g_results.kind = args.isScan ? "scan" : "clean";
  g_results.dryRun = args.dryRun;
  g_results.note = note;
}

int32_t TotalFor(const std::vector<Category>& cats, const std::vector<std::string>& ids) {
  if (!ids.empty()) return static_cast<int32_t>(ids.size());
  size_t n = 0;
  for (const Category& c : cats) n += c.items.size();
  return static_cast<int32_t>(n);
}

bool StartScanOrClean(const std::vector<Category>& cats, const std::vector<std::string>& ids,
                      bool dryRun, bool isScan, bool restartExplorer, const TaskOptions& options,
                      std::string* refused) {
  int32_t total = TotalFor(cats, ids);
  if (!Claim()) return false;
  // A clean holds the machine's clean too; the record of a real one is
  // begun before anything is touched. Either refusal leaves the progress
  // record and the results of the last task as they were.
  bool machineHeld = false;
  if (!isScan) {
    if (!tov::TryHoldMachineClean()) {
      g_state.busy.exchange(0);
      return false;
    }
    machineHeld = true;
    std::string why = !dryRun && options.begin ? options.begin() : std::string();
    if (!why.empty()) {
      tov::ReleaseMachineClean();
      g_state.busy.exchange(0);
      if (refused) *refused = why;
      return false;
    }
  }
  ResetProgress(total);
  ExplorerHooks explorer;
  {
    std::lock_guard<std::mutex> lock(g_hooksLock);
    explorer = g_explorer;
  }
  auto args = std::make_shared<TaskArgs>(
      TaskArgs{cats, ids, dryRun, isScan, restartExplorer, options, explorer});
  bool started = RunClaimed([args, machineHeld] {
    ScanOrClean(*args);
    if (machineHeld) tov::ReleaseMachineClean();
  });
  if (!started && machineHeld) tov::ReleaseMachineClean();
  return started;
}

}  // namespace

uint64_t FreeOnC() {
  uint64_t avail = 0, total = 0, totalFree = 0;
  if (!tov::DiskFreeSpace(L"C:\\", &avail, &total, &totalFree)) return 0;
  return avail;
}

bool Cancelled() {
  return g_state.cancel.load() != 0;
}

void VisitSelected(const std::vector<Category>& cats, const std::set<std::string>* ids,
                   ResultList& out,
                   const std::function<void(const RuleItem&, ItemStat&)>& perItem) {
  out.clear();
  for (const Category& c : cats) {
    for (const RuleItem& item : c.items) {
      if (ids && !ids->count(item.id)) continue;
      if (Cancelled()) {
        g_state.finished.exchange(1);
        return;
      }
      ItemStat stat;
      t_liveItem = &stat;
      t_shownBytes = t_shownFiles = 0;
      perItem(item, stat);
      t_liveItem = nullptr;
      out.emplace_back(item.id, stat);
      g_state.done.fetch_add(1);
      ShowDelta(g_state.bytes, stat.bytes, &t_shownBytes);
      ShowDelta(g_state.files, stat.files, &t_shownFiles);
    }
  }
}

void ShowItemProgress() {
  const ItemStat* s = t_liveItem;
  if (!s) return;
  ShowDelta(g_state.bytes, s->bytes, &t_shownBytes);
  ShowDelta(g_state.files, s->files, &t_shownFiles);
}

bool StartScan(const std::vector<Category>& cats, const std::vector<std::string>& ids,
               const TaskOptions& options) {
  return StartScanOrClean(cats, ids, false, true, false, options, nullptr);
}

bool StartClean(const std::vector<Category>& cats, const std::vector<std::string>& ids, bool dryRun,
                bool restartExplorer, const TaskOptions& options, std::string* refused) {
  return StartScanOrClean(cats, ids, dryRun, false, restartExplorer, options, refused);
}

bool StartTaskOf(const char* phase, std::function<void(TaskFeed& feed)> body) {
  if (!Claim()) return false;
  ResetProgress(0);
  SetPhase(phase);
  return RunClaimed([body] {
    TaskFeed feed{g_state.cancel, g_state.files, g_state.bytes};
    body(feed);
  });
}

void CancelTask() {
  g_state.cancel.exchange(1);
}

bool WaitTask(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(g_threadLock);
  return g_threadEnded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [] { return g_threadsAlive == 0; });
}

TaskSnapshot TaskStateNow() {
  TaskSnapshot s;
  {
    std::lock_guard<std::mutex> lock(g_textLock);
    s.phase = g_phase;
    s.cur = g_cur;
  }
  s.busy = g_state.busy.load() != 0;
  s.finished = g_state.finished.load() != 0;
  s.cancelled = g_state.cancel.load() != 0;
  s.done = g_state.done.load();
  s.total = g_state.total.load();
  s.bytes = g_state.bytes.load();
  s.files = g_state.files.load();
  s.freeBefore = g_state.freeBefore.load();
  s.freeAfter = g_state.freeAfter.load();
  s.serial = g_serial.load();
  return s;
}

TaskResults TaskResultsNow() {
  std::lock_guard<std::mutex> lock(g_csResult);
  return g_results;
}

void SetExplorerHooks(const ExplorerHooks& hooks) {
  std::lock_guard<std::mutex> lock(g_hooksLock);
  g_explorer = hooks;
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

}  // namespace tamsel
