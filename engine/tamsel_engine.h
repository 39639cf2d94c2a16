// The scan and clean engine: one background task at a time (a scan, a real
// clean, a dry run, or a task of another subsystem through StartTaskOf), the
// live progress record it publishes, the results of the last finished scan
// and clean, and the small synchronous drive and recycle-bin
// queries.
//
// Ownership: the engine owns the task state and the results lock. The task
// thread is the only writer of the progress record (cancel aside, and the
// figures a StartTaskOf body publishes); readers on any thread take copies
// (TaskStateNow, TaskResultsNow) and format them outside the engine's locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "rules/tamsel_core.h"

namespace tamsel {

// One restore point or driver package of a "system tool" item: what the
// page lists of it, and what becomes of it.
struct ToolEntry {
  std::string id;        // the restore point's number; the installed INF ("oem3.inf")
  std::string name;      // the point's description; the package's original INF
  std::string provider;  // a package's provider and class (empty for a point)
  std::string cls;
  std::string version;  // a package's DriverVer version
  std::string date;     // the point's creation time; the package's DriverVer date
  uint64_t bytes = 0;   // a package's DriverStore folder
  bool sizeKnown = false;
  // A scan: "keep" or "goes"; a clean: "removed", "skipped" or "kept".
  std::string state;
  std::string note;  // why it is kept or skipped, in the user's words
};

struct ItemStat {
  uint64_t bytes = 0;  // found (scan, measure, dry run) or removed (real clean)
  uint64_t files = 0;
  uint64_t skipped = 0;             // refused by the safety gate or failed to delete
  std::vector<std::string> errors;  // at most kMaxErrors, UTF-8
  // A dry run or clean: files this item takes that an earlier selected item
  // (catalogue order) counts and deletes instead, and those items.
  uint64_t shared = 0;
  std::vector<std::string> sharedWith;
  // A "system tool" item: what its analysis or action found, in the user's
  // words; whether its figure could not be read (unknown, never 0); and for
  // a real action the free space of C: right before and after it.
  bool systemTool = false;
  std::string toolNote;
  bool sizeUnknown = false;
  uint64_t freeBefore = 0;
  uint64_t freeAfter = 0;
  // The restore points or driver packages such an item found (a scan) or
  // acted on (a clean), for the page to list.
  std::vector<ToolEntry> toolEntries;
};

// A scan: files that several of the scanned items take (each item counts
// them as if it were alone). One entry per distinct set of items.
struct Overlap {
  std::vector<std::string> items;  // catalogue order
  uint64_t files = 0;
  uint64_t bytes = 0;
};

struct FileHit {
  std::wstring path;
  uint64_t size = 0;
  uint64_t mtime = 0;  // last write, FILETIME units
  std::wstring group;  // the program's folder its cache was found in (Target::group)
};

struct ScanCtx {
  ItemStat* stat = nullptr;
  std::vector<FileHit>* hits = nullptr;  // may be null
  uint32_t maxHits = 0;
  bool collect = false;
};

using ResultList = std::vector<std::pair<std::string, ItemStat>>;

// One FILETIME day.
constexpr uint64_t kFileTimeDay = 864000000000ULL;

// What a real clean did with one file or folder.
enum class TouchKind {
  Deleted,   // deleted for good
  Recycled,  // moved to the Recycle Bin (an item of the user's own files)
  Skipped,   // refused by the gate or failed
};

// What the user chose for one task, applied by every walk alike so that a
// scan, the file list, a dry run and the real clean agree.
struct TaskOptions {
  // Full paths of files left out by every item (not counted by a scan, a
  // dry run or a clean, not deleted; the file list still shows them),
  // folded with Lower.
  std::unordered_set<std::wstring> skip;
  // FILETIME; a file of a "files" item written after it is left out. 0
  // takes every file (but for an item's own least age, RuleItem::minAgeDays).
  uint64_t cutoff = 0;
  // Folders and files no walk counts and no clean deletes (the safety gate
  // refuses them with "已设为不清理").
  std::vector<std::wstring> protect;
  // A real clean reports each file or folder it deleted, moved to the
  // Recycle Bin or refused, and hands its results over when it ends; the
  // returned text, when not empty, says what went wrong with the record
  // (TaskResults::note).
  std::function<void(const std::string& item, TouchKind kind, uint64_t bytes,
                     const std::wstring& path, const std::wstring& reason)>
      touched;
  std::function<std::string(const ResultList& result)> finished;
  // A real clean calls begin on the starting thread once it holds the
  // engine and the machine's clean, before anything is touched: a text that
  // is not empty refuses the clean (nothing is deleted) with that text.
  std::function<std::string()> begin;
  // Where a system tool's output goes, and the mark of one running (the
  // settings folder); empty: the temporary folder.
  std::wstring toolDir;
  // The component store's clean-up also drops the superseded versions of
  // every component (DISM's /ResetBase): installed updates can no longer be
  // uninstalled. Off unless the user confirmed it for this clean.
  bool resetBase = false;
};

// The cutoff of "at least days days before now" (now a FILETIME); 0 for 0 days.
uint64_t AgeCutoff(uint64_t now, int days);

constexpr size_t kMaxErrors = 20;

// The file in TaskOptions::toolDir that names the system tool running, from
// its start until it ended: left behind, it says the program was closed
// while the tool ran on.
constexpr wchar_t kToolMarkName[] = L"tool-running.txt";
constexpr size_t kMaxCurBytes = 1000;

// ---- The task ------------------------------------------------------------------

// Start a scan of the selected items (all items when ids is empty) or a clean
// (nothing when ids is empty). False, changing nothing, while a task holds
// the engine. The catalogue and ids are copied for the task.
bool StartScan(const std::vector<Category>& cats, const std::vector<std::string>& ids,
               const TaskOptions& options = TaskOptions());
bool StartClean(const std::vector<Category>& cats, const std::vector<std::string>& ids, bool dryRun,
                bool restartExplorer, const TaskOptions& options = TaskOptions(),
                std::string* refused = nullptr);
// restartExplorer: a real clean stops Explorer for its duration and starts
// it again afterwards, through the ExplorerHooks (below).
// A clean, real or dry run, also holds the machine's clean
// (tov::TryHoldMachineClean) from its start until it ends, so that two
// processes never clean at once (each would count the other's deletions as
// failures): while another process cleans, StartClean is refused as busy.
// A scan does not hold it. refused, when given, receives the text of
// options.begin that refused a real clean; it stays empty for a busy engine.

// What a task of another subsystem (StartTaskOf) polls and publishes: the
// cancel request and the running figures of the progress record. Valid
// while its body runs; files and bytes may be added to from any thread.
struct TaskFeed {
  const std::atomic<int32_t>& cancel;  // nonzero once CancelTask was called
  std::atomic<uint64_t>& files;
  std::atomic<uint64_t>& bytes;
};

// Runs body on a new task thread as the engine's one task, for a subsystem
// with a task of its own (the space map): the same claim as a scan (false,
// changing nothing, while another task holds the engine), the progress
// record reset with phase `phase` (at most 15 bytes) and set back to "idle",
// finished, once body returns. body polls feed.cancel, publishes its
// figures through feed.files and feed.bytes and SetCurPath, and keeps its
// results itself: those of scans and cleans stay as they were.
bool StartTaskOf(const char* phase, std::function<void(TaskFeed& feed)> body);
// Asks the running task to stop at its next check; returns at once.
void CancelTask();
// True when no task was ever started or the last one has ended within timeoutMs.
bool WaitTask(uint32_t timeoutMs);

// The progress record of the running (or last) task, copied at one moment.
// Cheap enough for a status poll: two short texts and a few numbers.
struct TaskSnapshot {
  bool busy = false;        // from the claim until the task has ended
  bool finished = false;    // once the task has ended, until the next start
  bool cancelled = false;   // a cancel was asked for since the last start
  std::string phase;        // "idle", "scan", "clean", "clean-dryrun" or a StartTaskOf phase
  std::string cur;          // UTF-8 path of the directory being walked
  int32_t done = 0;         // items processed
  int32_t total = 0;        // items asked for
  uint64_t bytes = 0;       // the items processed so far, and what the item being
  uint64_t files = 0;       // walked has counted until now
  uint64_t freeBefore = 0;  // free bytes on C: when the task started
  uint64_t freeAfter = 0;   // again after a clean; = freeBefore for a scan
  uint64_t serial = 0;      // counts the tasks claimed since start; 0 before any
};
TaskSnapshot TaskStateNow();

// What the last finished scan and clean left, copied under the results
// lock. A task publishes its results before its progress record says it
// ended, so once TaskStateNow shows it finished and not busy, these are its
// results.
struct TaskResults {
  std::string kind;     // "scan", "clean" or empty before any task
  bool dryRun = false;  // of the last task
  std::string note;     // what the last clean's finished hook said; empty when all went well
  ResultList last;      // of the last task, scan or clean
  ResultList lastScan;  // of the last scan; survives cleans
  std::vector<Overlap> lastScanOverlaps;  // of the last scan
  uint64_t lastScanAt = 0;                // TickCount64 when the last scan finished; 0 before any
};
TaskResults TaskResultsNow();

// How a real clean that asks for it reaches Explorer, to stop it for the
// clean's duration and bring it back afterwards: a record the program fills
// once at start-up (the engine does not depend on the desktop). While
// isRunning is null, no clean touches Explorer.
struct ExplorerHooks {
  bool (*isRunning)() = nullptr;
  void (*watchdog)(uint32_t seconds) = nullptr;  // brings it back should it stay away
  void (*stop)() = nullptr;
  void (*start)() = nullptr;
};
// Each task uses the hooks as they were when it started.
void SetExplorerHooks(const ExplorerHooks& hooks);

// The administrator test the items of Windows' own tools ask before they
// start anything: the program's one test, set once at start-up (a test
// passes a fake); null, the default, asks the platform (tov::IsProcessAdmin).
void SetAdminTest(bool (*isAdmin)());

// Turning back what the action of an item of Windows' own tools changed,
// offered by the settings: the reserved storage on again (DISM
// /Set-ReservedStorageState /State:Enabled), Compact OS off (compact.exe
// /CompactOS:never). It runs as the engine's one task (phase "systool"),
// never without administrator rights, and is never stopped once started.
struct SystemToolUndo {
  std::string id;        // the item; empty before any
  bool running = false;  // its tool runs
  bool done = false;     // it ended with exit code 0
  std::string message;   // what came of it, in the user's words
};
// Whether the item has a setting to turn back.
bool SystemToolUndoable(const RuleItem& item);
// False with *refused saying why when nothing started (empty: another task
// holds the engine).
bool StartSystemToolUndo(const RuleItem& item, const TaskOptions& opt, std::string* refused);
SystemToolUndo LastSystemToolUndo();

// ---- The walkers (task thread; CollectDetails on a connection thread) -------------

// Every item is counted as if it were alone; overlaps, when given, receives
// the files several of them take.
void ScanItems(const std::vector<Category>& cats, const std::vector<std::string>& ids,
               ResultList& out, const TaskOptions& options = TaskOptions(),
               std::vector<Overlap>* overlaps = nullptr);
// A file several selected items take is counted and deleted once, by the
// first of them in catalogue order; the later ones count it in
// ItemStat::shared. A dry run decides every file exactly as the real clean
// and differs only in not deleting. An item of the user's own files
// (RuleItem::userFiles) moves its files to the Recycle Bin; a file the bin
// does not take stays and is counted as skipped.
// A real clean calls options.touched for every file or folder it deleted or
// refused, but not options.finished (the task thread does).
void CleanItems(const std::vector<Category>& cats, const std::vector<std::string>& ids, bool dryRun,
                ResultList& out, const TaskOptions& options = TaskOptions());
// The first `maximum` files of one item in walk order; empty when the item
// does not allow details. The skip list does not apply (a file left out is
// still listed, so that it can be taken back); the age filter and the
// protected paths do.
void CollectDetails(const RuleItem& item, uint32_t maximum, std::vector<FileHit>& out,
                    const TaskOptions& options = TaskOptions());

// Publishes the directory being walked (cut to kMaxCurBytes).
void SetCurPath(const std::wstring& path);

// ---- Queries --------------------------------------------------------------------

// {"ok":true,"drive":"C:","total":N,"free":N} or {"ok":false}
std::string DiskInfoJson(const std::string& drive);
// {"ok":true,"items":N,"bytes":N}, or {"ok":false} when the bin cannot be
// queried (the page then shows no size rather than an empty bin).
std::string RecycleBinInfoJson();

}  // namespace tamsel
