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
#include <unordered_map>
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
  std::atomic<uint64_t> bytes{0};    // the items processed so far and the one being walked
  std::atomic<uint64_t> files{0};
  std::atomic<uint64_t> freeBefore{0};  // free bytes on C: when the task started
  std::atomic<uint64_t> freeAfter{0};   // again after a clean; = freeBefore for a scan
};

// True once a cancel was asked for, until the next start.
bool Cancelled();

// The free bytes on C: for the caller (0 when the drive cannot be asked).
uint64_t FreeOnC();

// Runs perItem for every selected item (every item when ids is null) in
// catalogue order, adding each item's figures to the progress record, until
// the catalogue ends or a cancel arrives (which marks the task finished).
// out holds one entry per item visited.
void VisitSelected(const std::vector<Category>& cats, const std::set<std::string>* ids,
                   ResultList& out, const std::function<void(const RuleItem&, ItemStat&)>& perItem);

// Adds what the item VisitSelected is visiting on this thread has counted
// so far to the progress record, so that the figures grow while one item is
// walked; nothing on any other thread. Cheap: the walk calls it for every
// folder and every few hundred files.
void ShowItemProgress();

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
// folder. gone, when given, names files to treat as not there (Walk::gone).
bool TakesSingleFile(const Target& t, uint32_t attrs,
                     const std::function<bool(const std::wstring&)>* gone = nullptr);

// A target whose path holds `*` in a folder name (a wildcard folder: every
// browser profile, every chat account) takes the folders that match, found
// when a scan, a file list, a dry run or a clean starts; at most this many
// per target.
constexpr size_t kMaxExpansions = 64;

// What the expansion of an item's wildcard targets met, for its walks to
// report: a folder on the way that is a link or could not be opened (fault;
// path that folder with the target's names after it up to its next
// wildcard), or a target whose pattern matched more than kMaxExpansions
// folders (fault None, path the pattern).
struct ExpandNote {
  std::wstring path;
  tov::FsFault fault = tov::FsFault::None;
};

// The deepest level below a search folder (Target::findsChromiumCaches) at
// which a cache folder is found.
constexpr int kChromiumSearchDepth = 8;

// The item with every wildcard target replaced by one target per folder
// that matches (the target's filters and permission kept), in its place
// among the other targets. A wildcard matches a whole folder name, ASCII
// letters without regard to case; files, links and cloud folders never
// match (a link is noted as a link on the way); a folder that is not there
// matches nothing. Matches are taken in the order of their folded names,
// the first kMaxExpansions of a target.
// A search target is replaced the same way by the disk caches of
// Chromium-based programs found below its folder, at most
// kChromiumSearchDepth levels down, in listing order, each with its
// program's folder as its group: a folder "GPUCache", "GrShaderCache",
// "DawnCache", "Cache_Data", "Code Cache" holding "js" or "wasm", or the
// "CacheStorage" of a "Service Worker", when the folder that holds it shows
// a Chromium user data folder (a "Local State", "Preferences", "Cookies" or
// "Network" in it), or for "Cache_Data" is named "Cache". The search
// never enters a link, a junction, a cloud folder, a cache it took or a
// folder of the target's searchSkips; a link on the way to its folder is
// noted as for a wildcard.
RuleItem ExpandItem(const RuleItem& item, std::vector<ExpandNote>* notes);

// The catalogue a task works on: the selected items (every item when ids is
// null) expanded by ExpandItem, the others as they are; notes by item id.
struct ExpandedCatalogue {
  std::vector<Category> cats;
  std::unordered_map<std::string, std::vector<ExpandNote>> notes;
  const std::vector<ExpandNote>* NotesOf(const std::string& id) const {
    auto found = notes.find(id);
    return found == notes.end() ? nullptr : &found->second;
  }
};
ExpandedCatalogue ExpandSelected(const std::vector<Category>& cats,
                                 const std::set<std::string>* ids);

// ---- The user's choices and the one decision per file (choices.cpp) ---------------------

// Where the targets of the selected items of one task nest, and what their
// walks met there. Only a file that more than one target can take (by
// folder, recursion and name filters) gets a record, so that a task whose
// targets do not nest keeps no path at all.
struct Sharing {
  // One target of a selected item that deletes (a "files" or "dir" item).
  struct Reach {
    uint32_t item = 0;  // the item's place in the selection, catalogue order
    const Target* t = nullptr;
    std::wstring folded;    // t->path folded, no trailing backslash
    bool recursive = true;  // a "dir" item always is
    bool filtered = true;   // false for a "dir" item: every name
    bool age = false;       // the age filter applies to its item
  };
  // What the walks met of one file that several targets can take.
  struct Met {
    uint32_t first = 0;  // the first item that met it
    bool left = false;   // the first item left it (too young)
    bool taken = false;  // the first item took it (counted; a clean deletes it)
    uint64_t size = 0;
    std::vector<uint32_t> items;  // a scan: every item that counted it
  };
  bool countOnce = true;         // a clean: later items leave a file to the first
  std::vector<std::string> ids;  // the selected items, catalogue order
  std::vector<Reach> reaches;
  std::unordered_map<std::wstring, Met> met;  // by folded full path
};

// The Sharing of the items selected in cats (every deleting item when ids
// is null), in catalogue order.
Sharing SharingOf(const std::vector<Category>& cats, const std::set<std::string>* ids,
                  bool countOnce);

// The reaches of the other targets (of any selected item, this one's
// included) that can take a file of the target t of the selected item
// `item`; empty when its files are nobody else's, which spares its walk
// every look-up.
std::vector<const Sharing::Reach*> NestingReaches(const Sharing& s, uint32_t item, const Target& t);

// How one item's walks apply the task's options.
struct Choice {
  const TaskOptions* opt = nullptr;
  const SafetyContext* safety = nullptr;  // the gate's context, with the protected paths
  const std::string* item = nullptr;      // the item's id, for the record
  bool age = false;                       // the age filter applies ("files" items)
  bool skip = true;                       // the skip list applies (not in the file list)
  bool record = false;                    // a real clean: report what was touched
  Sharing* sharing = nullptr;             // the task's, or null (file list, measure)
  uint32_t index = 0;                     // the item's place in sharing's selection
  // FILETIME: a file written after it is too young for the age filter; 0
  // takes every file (the task's, or the item's own least age).
  uint64_t cutoff = 0;
  // What the expansion of its targets met (ExpandSelected), or null.
  const std::vector<ExpandNote>* notes = nullptr;
};

// The choice of one item in a task: the age filter counts for "files" items
// only (a "dir" item is one leftover taken whole, a measured item is
// measured whole); an item with a least age of its own (minAgeDays) applies
// it when the task chose no age. opt and safety must outlive the choice.
Choice ChoiceFor(const RuleItem& item, const TaskOptions& opt, const SafetyContext& safety,
                 bool record);

// Whether a file is left out by the user's choices before any gate: too
// young for the age filter, on the skip list, or protected. The path is
// full when given, else built from paths and name, and only when a list
// needs it. (The measure of measure-only items and the hibernation file.)
bool LeftOut(const Choice& c, EntryPath* paths, const std::wstring* full, const std::wstring& name,
             uint64_t mtime);

// What becomes of one file an item's target takes.
enum class Verdict {
  Take,      // counted; a real clean deletes it (or recycles it)
  LeftAge,   // too young for the age filter of an item that takes it: left by all
  LeftSkip,  // on the skip list: left by every item
  Refused,   // the safety gate refused it (the protected paths included): reported
  Shared,    // an earlier selected item takes it: counted there
  Again,     // this item met it already through another of its targets
};
struct Decision {
  Verdict verdict = Verdict::Take;
  std::wstring reason;   // Refused: the gate's words
  uint32_t earlier = 0;  // Shared: that item's place in the selection
};

// The one decision per file that the scan, the file list, the dry run and
// the real clean all take, in this order: the skip list; for a file other
// targets can take (nest, from NestingReaches), what an earlier item
// decided; the age filter (of any selected item that takes the file, so
// that a file one item leaves too young is left by all); the safety gate
// with the target's allowSystem. name is the file's own name and full its
// full path.
Decision Decide(const Choice& c, const Target& t, const std::vector<const Sharing::Reach*>& nest,
                const std::wstring& full, const std::wstring& name, uint64_t mtime, uint64_t size);

// The record of a real clean: one entry per file or folder touched.
void Touched(const Choice& c, TouchKind kind, uint64_t bytes, const std::wstring& path,
             const std::wstring& reason);

// A clean: whether an earlier item of the selection took the file at the
// full path (a walk treats it as gone, as it is after the real clean).
bool TakenEarlier(const Choice& c, const std::wstring& full);
// Whether the target's files can have been taken by an earlier item of the
// clean at all (it nests with another target of the selection).
bool TakenEarlierIn(const Choice& c, const Target& t);

// A clean: the files of this item that earlier items took (by the reach and
// name filters of its targets), counted into stat.shared and sharedWith.
void CountShared(const Choice& c, const RuleItem& item, ItemStat& stat);

// The overlaps of a scan's Sharing: one entry per distinct set of items.
std::vector<Overlap> OverlapsOf(const Sharing& s);

// ---- Scanning (scan.cpp) --------------------------------------------------------------

// Counts (and lists, as ctx asks) what one target holds under the choice c:
// the measure of measure-only items and the hibernation file.
void ScanTarget(const Target& t, ScanCtx& ctx, const Choice& c);

// Counts every target of the item once, until a cancel arrives.
void MeasureTargets(const RuleItem& item, ItemStat& stat, const Choice& c);

// ---- Windows' own tools (system_tools.cpp) -------------------------------------------

// The scan of a "system tool" item: its tool's analysis, never without
// administrator rights (nothing is started then; the item says why).
void AnalyseSystemTool(const RuleItem& item, ItemStat& stat, const TaskOptions& opt);
// A clean of one: a real clean runs the tool's action (never stopped once
// started) and records the free space of C: right before and after; a dry
// run starts nothing.
void CleanSystemTool(const RuleItem& item, ItemStat& stat, bool dryRun, const Choice& c);

// ---- The walk of a "files" or "dir" item (clean.cpp) ---------------------------------

// What a walk of an item does with the files Decide takes.
enum class Act {
  Scan,     // count
  Details,  // list (files on the skip list too)
  DryRun,   // count, and report what the gate refuses
  Clean,    // delete (or recycle), count, report
};

// Reports what the expansion of the item's targets met (c.notes) in stat's
// errors: every note when refusals (a link or a folder that could not be
// opened counted as skipped, as for a target), else only a pattern that
// matched too many folders.
void ReportExpansion(const Choice& c, const RuleItem& item, ItemStat& stat, bool refusals);

// Walks every target of a "files" or "dir" item once, deciding every file
// with Decide and doing with it what act says; hits (Details) receives up
// to maxHits files.
void WalkItem(const RuleItem& item, const Choice& c, Act act, ItemStat& stat,
              std::vector<FileHit>* hits = nullptr, uint32_t maxHits = 0);

// ---- The special items (special_items.cpp) ----------------------------------------------

// The hibernation file's size, as a scan reports it.
void ScanHibernation(ItemStat& stat, const Choice& c);
// The recycle bin's contents; a real clean empties it.
void CleanRecycleBin(ItemStat& stat, bool dryRun, const Choice& c);
// The hibernation file; a real clean switches hibernation off.
void CleanHibernation(ItemStat& stat, bool dryRun, const Choice& c);

}  // namespace tamsel
