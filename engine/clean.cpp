// Cleaning: the dry run and the real clean of "files", "dir" and "measure"
// items (the special items are in special_items.cpp). Every file passes the
// safety gate just before it is deleted; what the clean refused or failed
// to delete is counted and said in the user's words.
#include <set>

#include "engine/engine_internal.h"
#include "engine/tamsel_engine.h"
#include "engine/walk.h"
#include "platform/platform.h"
#include "text/fault_text.h"
#include "text/text.h"

namespace tamsel {
namespace {

void PushErr(ItemStat& stat, const std::wstring& path, const std::wstring& reason) {
  if (stat.errors.size() >= kMaxErrors) return;
  std::string text = W2U(path);
  if (!reason.empty()) text += " : " + W2U(reason);
  stat.errors.push_back(text);
}

// A file or folder the clean refused or failed to delete.
void Refuse(const Choice& c, ItemStat& stat, const std::wstring& path, uint64_t bytes,
            const std::wstring& reason) {
  stat.skipped++;
  PushErr(stat, path, reason);
  Touched(c, TouchKind::Skipped, bytes, path, reason);
}

// ---- Reasons ---------------------------------------------------------------------

const wchar_t kReasonProtected[] = L"已设为不清理";
const wchar_t kReparseFilesReason[] = L"路径含重解析点(junction/symlink)";
const wchar_t kReparseDirReason[] = L"路径含重解析点";
const wchar_t kTooManyMatches[] = L"匹配的文件夹超过 64 个，只处理了按名称排在前面的 64 个";
static_assert(kMaxExpansions == 64, "the text says the bound");

// Why a file stayed or a folder was not walked, in the user's words (the
// one table of text/fault_text.h); linkReason for something swapped in since
// the listing.
std::wstring FailReason(tov::FaultAction action, tov::FsFault fault, const wchar_t* linkReason) {
  return U2W(tov::FaultText(action, fault, W2U(linkReason)));
}

// ---- Targets ---------------------------------------------------------------------

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
    Refuse(c, stat, path, 0, FailReason(tov::FaultAction::OpenFolder, fault, linkReason));
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

// ---- Moving to the Recycle Bin ------------------------------------------------------

// Files of an item of the user's own files waiting to go to the Recycle Bin
// together: the shell moves a batch much faster than one file at a time.
// Flushed when full, before a folder that held them is removed, and at the
// end of each target. Each keeps the id the walk listed it with, so that a
// file renamed into its place since is not the one that moves.
struct RecycleBatch {
  static constexpr size_t kMax = 256;
  std::vector<std::wstring> paths;
  std::vector<uint64_t> sizes;
  std::vector<uint64_t> ids;  // DirEntry::id; 0 for a target that is one file
};

void FlushRecycle(RecycleBatch& b, ItemStat& stat, const Choice& c) {
  if (b.paths.empty()) return;
  // A clean that was stopped (by the user, or because its record can no
  // longer be written) moves nothing more: the waiting files stay untouched.
  if (Cancelled()) {
    b.paths.clear();
    b.sizes.clear();
    b.ids.clear();
    return;
  }
  std::vector<tov::FsFault> faults;
  tov::RecycleFiles(b.paths, b.ids, &faults);
  for (size_t i = 0; i < b.paths.size(); ++i) {
    tov::FsFault f = i < faults.size() ? faults[i] : tov::FsFault::Other;
    if (f == tov::FsFault::None) {
      stat.files++;
      stat.bytes += b.sizes[i];
      Touched(c, TouchKind::Recycled, b.sizes[i], b.paths[i], std::wstring());
    } else {
      Refuse(c, stat, b.paths[i], b.sizes[i], U2W(tov::FaultText(tov::FaultAction::Recycle, f)));
    }
  }
  b.paths.clear();
  b.sizes.clear();
  b.ids.clear();
}

// ---- One item's walk ----------------------------------------------------------------

// What a walk of one item does with each decision: the only place where a
// scan, a file list, a dry run and a real clean differ, and the dry run
// differs from the clean only in the delete.
struct ItemWalk {
  const RuleItem& item;
  const Choice& c;
  Act act;
  ItemStat& stat;
  std::vector<FileHit>* hits;
  uint32_t maxHits;
  RecycleBatch batch;

  // Deletes the file (through in when given, else by its path) or queues it
  // for the Recycle Bin; false with fault when it stayed.
  bool Remove(tov::DirHandle in, const std::wstring& name, const std::wstring& full,
              tov::FsFault* fault) {
    if (in != tov::kNoDir) return tov::DeleteFileAt(in, name, fault);
    return DeleteTargetFile(full, fault);
  }

  void File(const Target& t, const std::vector<const Sharing::Reach*>& nest, tov::DirHandle in,
            const std::wstring& full, const std::wstring& name, uint64_t size, uint64_t mtime,
            uint64_t id) {
    Decision d = Decide(c, t, nest, full, name, mtime, size);
    switch (d.verdict) {
      case Verdict::LeftAge:
      case Verdict::Again:
        return;
      case Verdict::LeftSkip:
        // The file list shows what the user left out, so it can be taken back.
        if (act == Act::Details && hits->size() < maxHits)
          hits->push_back(FileHit{full, size, mtime, t.group});
        return;
      case Verdict::Shared:  // counted by CountShared, the same in a dry run and a clean
        return;
      case Verdict::Refused:
        if (act != Act::Details) Refuse(c, stat, full, size, d.reason);
        return;
      case Verdict::Take:
        break;
    }
    if (act == Act::Details) {
      if (hits->size() < maxHits) hits->push_back(FileHit{full, size, mtime, t.group});
      return;
    }
    if (act != Act::Clean) {
      stat.files++;
      stat.bytes += size;
      return;
    }
    if (item.userFiles) {
      batch.paths.push_back(full);
      batch.sizes.push_back(size);
      batch.ids.push_back(id);
      if (batch.paths.size() >= RecycleBatch::kMax) FlushRecycle(batch, stat, c);
      return;
    }
    tov::FsFault fault = tov::FsFault::None;
    if (Remove(in, name, full, &fault)) {
      stat.files++;
      stat.bytes += size;
      Touched(c, TouchKind::Deleted, size, full, std::wstring());
    } else {
      tov::FaultAction action =
          in != tov::kNoDir ? tov::FaultAction::DeleteInFolder : tov::FaultAction::DeleteTargetFile;
      const wchar_t* link = item.mode == ItemMode::Dir ? kReparseDirReason : kReparseFilesReason;
      Refuse(c, stat, full, size, FailReason(action, fault, link));
    }
  }

  void Target1(const Target& t) {
    bool dirMode = item.mode == ItemMode::Dir;
    const wchar_t* linkReason = dirMode ? kReparseDirReason : kReparseFilesReason;
    bool gated = act != Act::Details;
    if (gated) {
      if (TargetRefused(t, stat, linkReason, c)) return;
    } else if (IsProtectedPath(*c.safety, t.path) || HasReparseInPath(t.path)) {
      return;
    }
    tov::FileInfo info;
    if (!tov::GetFileInfo(t.path, &info)) return;
    std::vector<const Sharing::Reach*> nest;
    if (c.sharing) nest = NestingReaches(*c.sharing, c.index, t);
    // A clean's later item sees the files an earlier one took as gone,
    // which the real clean made them; the dry run sees the same.
    std::function<bool(const std::wstring&)> goneByPath;
    if (c.sharing && c.sharing->countOnce && !nest.empty())
      goneByPath = [this](const std::wstring& full) { return TakenEarlier(c, full); };
    if (!(info.attrs & tov::kAttrDirectory)) {
      // A "dir" item names folders only.
      if (dirMode || (goneByPath && goneByPath(t.path)) ||
          !TakesSingleFile(t, info.attrs, goneByPath ? &goneByPath : nullptr))
        return;
      File(t, nest, tov::kNoDir, t.path, LeafName(t.path), info.size, info.mtime, 0);
      FlushRecycle(batch, stat, c);
      return;
    }
    tov::FsFault openFault = tov::FsFault::None;
    tov::DirHandle dir =
        gated ? OpenTargetDir(t.path, stat, linkReason, c) : tov::OpenWalkDir(t.path, &openFault);
    if (dir == tov::kNoDir) return;
    Walk w = WalkOf(t, !dirMode);
    // A real clean deletes as it goes and lists each folder just before it
    // deletes in it, on this thread alone: no folder is held open ahead of
    // the deletions, and every folder it removes is closed by then.
    if (act == Act::Clean) w.threads = 1;
    if (goneByPath)
      w.gone = [&goneByPath](EntryPath& paths, const tov::DirEntry& e) {
        return goneByPath(paths.Of(e.name));
      };
    w.file = [&](tov::DirHandle in, EntryPath& paths, const tov::DirEntry& e) {
      File(t, nest, in, paths.Of(e.name), e.name, e.size, e.mtime, e.id);
    };
    if (gated) {
      w.refuseDir = RefuseProtectedDirs(c, stat);
      w.fault = [this, linkReason](const std::wstring& path, tov::FsFault fault) {
        Refuse(c, stat, path, 0, FailReason(tov::FaultAction::OpenFolder, fault, linkReason));
      };
    } else if (!c.safety->protect.empty()) {
      w.refuseDir = [this](const std::wstring& sub) { return IsProtectedPath(*c.safety, sub); };
    }
    // A "dir" item's folder goes whole: its emptied subfolders, then the
    // folder itself. A folder that still holds something (a file left out
    // or refused) stays.
    if (act == Act::Clean && dirMode) {
      w.leftDir = [this, &t](tov::DirHandle in, EntryPath& paths, const tov::DirEntry& e) {
        FlushRecycle(batch, stat, c);
        if (Cancelled()) return;  // a stopped clean removes nothing more
        // An emptied folder the gate refuses (one on the desktop) stays too.
        std::wstring reason;
        if (!IsSafeDeletePath(*c.safety, paths.Of(e.name), t.allowSystem, reason)) return;
        tov::FsFault fault = tov::FsFault::None;
        if (tov::RemoveDirAt(in, e.name, &fault))
          Touched(c, TouchKind::Deleted, 0, paths.Of(e.name), std::wstring());
      };
    }
    WalkDir(w, dir, t.path, 0);
    tov::CloseDir(dir);
    FlushRecycle(batch, stat, c);
    if (act == Act::Clean && dirMode && !Cancelled()) {
      tov::FsFault fault = tov::FsFault::None;
      tov::DirHandle parent = tov::OpenWalkDir(ParentOf(t.path), &fault);
      if (parent != tov::kNoDir) {
        if (tov::RemoveDirAt(parent, LeafName(t.path), &fault))
          Touched(c, TouchKind::Deleted, 0, t.path, std::wstring());
        tov::CloseDir(parent);
      }
    }
  }
};

}  // namespace

void ReportExpansion(const Choice& c, const RuleItem& item, ItemStat& stat, bool refusals) {
  if (!c.notes) return;
  const wchar_t* linkReason = item.mode == ItemMode::Dir ? kReparseDirReason : kReparseFilesReason;
  for (const ExpandNote& n : *c.notes) {
    if (n.fault == tov::FsFault::None)
      PushErr(stat, n.path, kTooManyMatches);
    else if (refusals)
      Refuse(c, stat, n.path, 0, FailReason(tov::FaultAction::OpenFolder, n.fault, linkReason));
  }
}

// A "dir" item's folder goes whole: every file in it (no name filters, no
// database rule: the item names that folder on purpose, and no age filter:
// it is one leftover), each through the same gate as a "files" item's, then
// its emptied subfolders and the folder itself. It counts the files it
// takes, as a "files" item does; the folders it removes are not counted.
void WalkItem(const RuleItem& item, const Choice& c, Act act, ItemStat& stat,
              std::vector<FileHit>* hits, uint32_t maxHits) {
  ItemWalk iw{item, c, act, stat, hits, maxHits, RecycleBatch()};
  if (act != Act::Details) ReportExpansion(c, item, stat, true);
  for (size_t i = 0; i < item.targets.size(); ++i) {
    // No cancel check for a file list: a leftover cancel stops the folder
    // walks, while single-file targets are still listed.
    if (act != Act::Details && Cancelled()) break;
    const Target& t = item.targets[i];
    // The same folder spelled in another letter case is done already. An
    // empty path is nothing to a "files" item and the gate's refusal to a
    // "dir" item, which names a folder to remove.
    if ((t.path.empty() && item.mode != ItemMode::Dir) || RepeatsEarlierTarget(item, i)) continue;
    // A search's folder stands for the caches found in it, never for itself.
    if (t.findsChromiumCaches) continue;
    iw.Target1(t);
  }
  if (act == Act::DryRun || act == Act::Clean) CountShared(c, item, stat);
}

void CleanItems(const std::vector<Category>& cats, const std::vector<std::string>& ids, bool dryRun,
                ResultList& out, const TaskOptions& options) {
  std::set<std::string> wanted(ids.begin(), ids.end());
  // The safety gate's look-ups (desktop, system folders, home) are made once
  // for the task instead of once for every file it is about to delete.
  const SafetyContext safety = MakeSafetyContext(options.protect);
  const ExpandedCatalogue expanded = ExpandSelected(cats, &wanted);
  Sharing sharing = SharingOf(expanded.cats, &wanted, true);
  uint32_t index = 0;
  VisitSelected(expanded.cats, &wanted, out, [&](const RuleItem& item, ItemStat& stat) {
    Choice c = ChoiceFor(item, options, safety, !dryRun);
    c.sharing = &sharing;
    c.index = index++;
    c.notes = expanded.NotesOf(item.id);
    if (item.mode == ItemMode::Measure)
      MeasureTargets(item, stat, c);
    else if (item.mode == ItemMode::RecycleBin)
      CleanRecycleBin(stat, dryRun, c);
    else if (item.mode == ItemMode::Hibernate)
      CleanHibernation(stat, dryRun, c);
    else if (item.mode == ItemMode::SystemTool)
      CleanSystemTool(item, stat, dryRun, c);
    else
      WalkItem(item, c, dryRun ? Act::DryRun : Act::Clean, stat);
  });
}

}  // namespace tamsel
