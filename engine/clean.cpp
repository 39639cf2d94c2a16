// Cleaning: the dry run and the real clean of "files", "dir" and "measure"
// items (the special items are in special_items.cpp). Every file passes the
// safety gate just before it is deleted; what the clean refused or failed
// to delete is counted and said in the user's words.
#include <set>

#include "engine/engine_internal.h"
#include "engine/tamsel_engine.h"
#include "engine/walk.h"
#include "platform/platform.h"
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
  Touched(c, false, bytes, path, reason);
}

// ---- Reasons ---------------------------------------------------------------------

const wchar_t kReasonProtected[] = L"已设为不清理";
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

// ---- "files" items -----------------------------------------------------------------

// The files of one folder target of a "files" item, through the gate one by
// one; returns the bytes taken (or, in a dry run, that would be).
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

// ---- "dir" items -------------------------------------------------------------------

// A "dir" item's folder goes whole: every file in it (no name filters, no
// database rule: the item names that folder on purpose), then its emptied
// subfolders, then the folder itself. A dry run measures the same walk, as
// deep, and like the clean stops at a cancel.
void CleanDirMode(const RuleItem& item, ItemStat& stat, bool dryRun, const Choice& c) {
  for (size_t i = 0; i < item.targets.size() && !Cancelled(); ++i) {
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

}  // namespace

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

}  // namespace tamsel
