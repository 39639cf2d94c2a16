// What the engine's own files share and nobody above the engine sees: the
// progress record the task thread writes, the item loop every task runs, the
// user's choices as one item's walks apply them, the target rules of every
// walk, and the special items' walkers.
//
// The engine's files: task.cpp (the task, its progress record and results,
// the Explorer hooks), choices.cpp (the user's choices), walk.cpp (the one
// recursion and the target rules), scan.cpp (scans and file lists),
// clean.cpp (dry runs and real cleans of "files", "dir" and "measure"
// items), special_items.cpp (recycle bin, hibernation), queries.cpp (drive,
// recycle bin, administrator).
//
// Ownership: task.cpp owns the progress record and the results (see
// tamsel_engine.h); the other files write the progress record only through
// the functions declared here and SetCurPath.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/tamsel_engine.h"
#include "engine/walk.h"
#include "rules/tamsel_core.h"

namespace tamsel {

// ---- The progress record (task.cpp) ---------------------------------------------------

// The live figures of the running (or last) task, written by the starting
// thread and then the task thread (files and bytes also by the threads of a
// StartTaskOf body, cancel by CancelTask); readers take a TaskSnapshot.
struct TaskState {
  std::atomic<int32_t> busy{0};      // 1 from the claim until the task has ended
  std::atomic<int32_t> cancel{0};    // set by CancelTask, polled by every walker
  std::atomic<int32_t> done{0};      // items processed
  std::atomic<int32_t> total{0};     // items asked for
  std::atomic<int32_t> finished{0};  // 1 once the task has ended, until the next start
  std::atomic<uint64_t> bytes{0};    // sum over the items processed so far
  std::atomic<uint64_t> files{0};
  std::atomic<uint64_t> freeBefore{0};  // free bytes on C: when the task started
  std::atomic<uint64_t> freeAfter{0};   // again after a clean; = freeBefore for a scan
};

// True once a cancel was asked for, until the next start.
bool Cancelled();

// Runs perItem for every selected item (every item when ids is null) in
// catalogue order, adding each item's figures to the progress record, until
// the catalogue ends or a cancel arrives (which marks the task finished).
// out holds one entry per item visited.
void VisitSelected(const std::vector<Category>& cats, const std::set<std::string>* ids,
                   ResultList& out, const std::function<void(const RuleItem&, ItemStat&)>& perItem);

// ---- Targets (walk.cpp) -----------------------------------------------------------------

// A walk of one target that polls the task's cancel flag: the only way the
// engine's walkers make a Walk.
Walk WalkOf(const Target& t, bool filtered);

// The file's own name: the text after the last backslash.
std::wstring LeafName(const std::wstring& path);

// The folder that holds path: the text before the last backslash, the
// drive's root kept whole ("C:\\x" gives "C:\\").
std::wstring ParentOf(const std::wstring& path);

// A target that repeats an earlier target of the same item, with only the
// letter case of its path changed, names the same folder on Windows: walking
// it again would count (or list, or delete) the same files twice.
bool RepeatsEarlierTarget(const RuleItem& item, size_t index);

// Whether a target that is a single file (with these attributes) takes it,
// under the same rules as a walk: a plain local file that passes the
// target's filters and, for a sweep by patterns, lies outside a database's
// folder.
bool TakesSingleFile(const Target& t, uint32_t attrs);

// ---- The user's choices (choices.cpp) -------------------------------------------------

// How one item's walks apply the task's options.
struct Choice {
  const TaskOptions* opt = nullptr;
  const SafetyContext* safety = nullptr;  // holds the protected paths, folded
  const std::string* item = nullptr;      // the item's id, for the record
  bool age = false;                       // the age filter applies ("files" items)
  bool skip = true;                       // the skip list applies (not in the file list)
  bool record = false;                    // a real clean: report what was touched
};

// The choice of one item in a task: the age filter counts for "files" items
// only (a "dir" item is one leftover taken whole, a measured item is
// measured whole). opt and safety must outlive the choice.
Choice ChoiceFor(const RuleItem& item, const TaskOptions& opt, const SafetyContext& safety,
                 bool record);

// Whether a file is left out by the user's choices before any gate: too
// young for the age filter, on the skip list, or protected. The path is
// full when given, else built from paths and name, and only when a list
// needs it.
bool LeftOut(const Choice& c, EntryPath* paths, const std::wstring* full, const std::wstring& name,
             uint64_t mtime);

// The record of a real clean: one entry per file or folder touched.
void Touched(const Choice& c, bool deleted, uint64_t bytes, const std::wstring& path,
             const std::wstring& reason);

// ---- Scanning (scan.cpp) --------------------------------------------------------------

// Counts (and lists, as ctx asks) what one target holds under the choice c.
void ScanTarget(const Target& t, ScanCtx& ctx, const Choice& c);

// Counts every target of the item once, until a cancel arrives.
void MeasureTargets(const RuleItem& item, ItemStat& stat, const Choice& c);

// ---- The special items (special_items.cpp) ----------------------------------------------

// The hibernation file's size, as a scan reports it.
void ScanHibernation(ItemStat& stat, const Choice& c);
// The recycle bin's contents; a real clean empties it.
void CleanRecycleBin(ItemStat& stat, bool dryRun, const Choice& c);
// The hibernation file; a real clean switches hibernation off.
void CleanHibernation(ItemStat& stat, bool dryRun, const Choice& c);

}  // namespace tamsel
