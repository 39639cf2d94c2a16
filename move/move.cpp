#include "move/move.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/tamsel_engine.h"
#include "paths/paths.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "settings/history.h"
#include "space/space_map.h"
#include "text/json_writer.h"
#include "text/text.h"
#include "unattended/cli_clean.h"

namespace tamsel {

const wchar_t kMoveFolderName[] = L"Tamsel 搬家";

namespace {

// The user's words.
const char kBusy[] = "已有任务在运行";
const char kNoSource[] = "要搬的文件夹不存在";
const char kNotFolder[] = "只能搬文件夹";
const char kNotInHome[] = "只能搬用户文件夹里的文件夹";
const char kTargetOnC[] = "目标必须是 C 盘以外的磁盘";
const char kTargetMissing[] = "目标磁盘不存在";
const char kTargetRemovable[] = "不能搬到 U 盘或移动硬盘，请选电脑里的本地磁盘";
const char kTargetNetwork[] = "不能搬到网络磁盘，请选电脑里的本地磁盘";
const char kTargetOther[] = "目标磁盘不是电脑里的本地磁盘";
const char kTargetNotNtfs[] = "目标磁盘不是 NTFS 格式（FAT32、exFAT 等格式不能存放搬过去的文件夹）";
const char kTargetExists[] = "目标位置已有同名的文件或文件夹";
const char kTargetInside[] = "目标不能在要搬的文件夹里面，要搬的文件夹也不能在目标里面";
const char kIsLink[] = "这是链接或联接点（可能已经搬过），不能再搬";
const char kHoldsLink[] = "文件夹里有链接或联接点，不能搬：";
const char kHoldsCloud[] = "文件夹里有只在云端的文件（云盘占位文件），不能搬：";
const char kHoldsEfs[] = "文件夹里有加密（EFS）的文件，不能搬：";
const char kUnreadable[] = "文件夹里有无法读取的子文件夹：";
const char kHoldsKnown[] = "里面有另一个系统文件夹（桌面、文档、下载等），不能一起搬";
const char kMovedBefore[] = "这个文件夹已经搬过，请先搬回 C 盘";
const char kGuarded[] = "这里受系统保护，不能搬";
const char kInUsePrefix[] = "有程序正在使用这个文件夹里的文件：";
const char kInUseSuffix[] = "。请先关闭这些程序再搬";
const char kNoJournalDir[] = "无法写入搬家记录，没有搬任何文件";
const char kNoMove[] = "没有这次搬家";
const char kNotUndoable[] = "这次搬家没有完成，或已经搬回，不能再搬回";
const char kKnownElsewhere[] = "这个文件夹已被改到别处，不能搬回";
const char kNotJunctionNow[] = "原位置已不是指向搬家后文件夹的联接点，不能搬回";
const char kBackPlaceTaken[] = "C 盘上原来的位置已有文件，不能搬回";

const char kCancelled[] = "已取消，原文件夹没有改动";
const char kCopyFailed[] = "复制失败，已撤回，原文件夹没有改动：";
const char kTargetFull[] = "目标磁盘空间不够，已撤回，原文件夹没有改动";
const char kTargetGone[] = "目标磁盘不见了，已撤回，原文件夹没有改动";
const char kVerifyFailed[] = "复制后的文件和原文件不一致，已撤回，原文件夹没有改动：";
const char kSwitchFailed[] = "无法切换到新位置，已撤回，原文件夹没有改动";
const char kInUseAtCopy[] = "有文件正被其他程序使用，已撤回，原文件夹没有改动：";
const char kJournalFailed[] = "无法写入搬家记录，已停止";
const char kDoneMove[] = "已搬到 ";
const char kDoneBack[] = "已搬回 ";
const char kLeftBehind[] = "（原位置有些文件没能删除：";
const char kKeptOriginal[] = "（原位置的文件在搬家时有改动，为免丢失没有删除：";
const char kRecoveredRolledBack[] = "上次搬家没有完成（程序中途退出），已撤回，原文件夹没有改动：";
const char kRecoveredFinished[] = "上次搬家在切换到新位置后中断，已完成：";
const char kRollbackStuck[] = "撤回没有完成，文件都还在，下次启动时会再试：";

// Sample files compared by content, and the largest read whole.
constexpr size_t kContentSamples = 16;
constexpr uint64_t kMaxSampleBytes = 64ULL << 20;

MoveStop g_stop = MoveStop::None;
bool g_stopCancels = false;

std::mutex g_resultLock;
uint64_t g_lastSerial = 0;
std::string g_lastResult;
std::vector<std::string> g_recovered;
std::atomic<bool> g_recovering{false};
std::function<void()> g_recoveryHold;

struct TreeItem {
  std::wstring rel;  // below the root, "" never (the root is not an item)
  bool dir = false;
  uint64_t size = 0;
  uint64_t mtime = 0;
  uint32_t attrs = 0;
  uint64_t room = 0;  // what its copy takes on the disk: a sparse file's allocated bytes
};

bool Exists(const std::wstring& p) {
  uint32_t a = 0;
  return tov::GetAttributes(p, &a);
}

bool IsRealDir(const std::wstring& p) {
  uint32_t a = 0;
  return tov::GetAttributes(p, &a) && (a & tov::kAttrDirectory) && !(a & tov::kAttrReparsePoint);
}

bool IsLink(const std::wstring& p) {
  uint32_t a = 0;
  return tov::GetAttributes(p, &a) && (a & tov::kAttrReparsePoint);
}

std::wstring Join(const std::wstring& root, const std::wstring& rel) {
  return rel.empty() ? root : root + L"\\" + rel;
}

std::wstring DriveRootOf(const std::wstring& p) {
  return p.substr(0, 2) + L"\\";
}

// Walks root (a folder that is no link) and lists what is below it, parents
// before their contents; refuses what a move cannot take. The files' bytes,
// and in *need (when asked) the room their copies take: a sparse file's
// allocated bytes only. False with the user's reason.
bool ScanTree(const std::wstring& root, std::vector<TreeItem>* items, uint64_t* bytes,
              std::string* message, uint64_t* need = nullptr) {
  items->clear();
  *bytes = 0;
  if (need) *need = 0;
  std::vector<std::wstring> pending{std::wstring()};
  while (!pending.empty()) {
    std::wstring rel = pending.back();
    pending.pop_back();
    std::vector<std::wstring> subdirs;
    std::string why;
    bool listed = tov::ListDir(Join(root, rel), [&](const tov::DirEntry& e) {
      std::wstring r = rel.empty() ? e.name : rel + L"\\" + e.name;
      if (e.attrs & tov::kAttrReparsePoint)
        why = kHoldsLink + W2U(Join(root, r));
      else if (e.attrs & tov::kAttrNotLocal)
        why = kHoldsCloud + W2U(Join(root, r));
      else if (e.attrs & tov::kAttrEncrypted)
        why = kHoldsEfs + W2U(Join(root, r));
      if (!why.empty()) return false;
      TreeItem it;
      it.rel = r;
      it.dir = (e.attrs & tov::kAttrDirectory) != 0;
      it.size = it.dir ? 0 : e.size;
      it.mtime = e.mtime;
      it.attrs = e.attrs;
      *bytes += it.size;
      uint64_t allocated = 0;
      it.room = (e.attrs & tov::kAttrSparse) && tov::AllocatedBytes(Join(root, r), &allocated)
                    ? std::min(allocated, it.size)
                    : it.size;
      if (need) *need += it.room;
      if (it.dir) subdirs.push_back(r);
      items->push_back(std::move(it));
      return true;
    });
    if (!why.empty()) {
      *message = why;
      return false;
    }
    if (!listed) {
      *message = kUnreadable + W2U(Join(root, rel));
      return false;
    }
    // Visited in listing order: reversed onto the stack.
    for (auto it = subdirs.rbegin(); it != subdirs.rend(); ++it) pending.push_back(*it);
  }
  return true;
}

// Gives the folder to the attributes and times of the folder from.
bool CarryFolderStamp(const std::wstring& from, const std::wstring& to) {
  tov::FolderStamp stamp;
  tov::FsFault fault;
  return tov::ReadFolderStamp(from, &stamp) && tov::ApplyFolderStamp(to, stamp, &fault);
}

// Whether two folders have the same attributes and last-write time.
bool SameFolderStamp(const std::wstring& a, const std::wstring& b) {
  tov::FolderStamp x, y;
  return tov::ReadFolderStamp(a, &x) && tov::ReadFolderStamp(b, &y) && x.attrs == y.attrs &&
         x.written == y.written;
}

uint64_t FileCount(const std::vector<TreeItem>& items) {
  uint64_t n = 0;
  for (const TreeItem& it : items) n += it.dir ? 0 : 1;
  return n;
}

uint64_t FreeOn(const std::wstring& root) {
  uint64_t avail = 0, total = 0, totalFree = 0;
  if (!tov::DiskFreeSpace(root, &avail, &total, &totalFree)) return 0;
  return avail;
}

// The known folder whose place now is path, or -1.
int KnownFolderAt(const std::wstring& path) {
  for (int i = 0; i < static_cast<int>(tov::UserFolder::Count); ++i) {
    std::wstring now, form;
    if (tov::UserFolderPath(static_cast<tov::UserFolder>(i), false, &now) &&
        CanonicalPath(now, PathDrives::Any, &form) == PathFault::None && SamePath(form, path))
      return i;
  }
  return -1;
}

// Whether a known folder's place lies strictly inside path.
bool HoldsKnownFolder(const std::wstring& path) {
  for (int i = 0; i < static_cast<int>(tov::UserFolder::Count); ++i) {
    std::wstring now, form;
    if (tov::UserFolderPath(static_cast<tov::UserFolder>(i), false, &now) &&
        CanonicalPath(now, PathDrives::Any, &form) == PathFault::None && PathWithin(form, path))
      return true;
  }
  return false;
}

std::string InUseText(const std::vector<std::string>& programs) {
  std::string names;
  for (const std::string& p : programs) names += (names.empty() ? "" : "、") + p;
  return kInUsePrefix + names + kInUseSuffix;
}

// The programs holding files of the tree open, as the user's reason; empty
// when none (or the Restart Manager cannot answer: the copy then finds them).
std::string HeldOpen(const std::wstring& root, const std::vector<TreeItem>& items) {
  std::vector<std::wstring> files;
  for (const TreeItem& it : items)
    if (!it.dir) files.push_back(Join(root, it.rel));
  std::vector<std::string> programs;
  if (files.empty() || !tov::ProgramsHolding(files, &programs) || programs.empty())
    return std::string();
  return InUseText(programs);
}

// need: the room the copy takes.
std::string TargetRefusal(const std::wstring& target, uint64_t need) {
  std::wstring fs;
  switch (tov::DriveKindOf(DriveRootOf(target), &fs)) {
    case tov::DriveKind::Missing:
      return kTargetMissing;
    case tov::DriveKind::Removable:
      return kTargetRemovable;
    case tov::DriveKind::Network:
      return kTargetNetwork;
    case tov::DriveKind::Other:
      return kTargetOther;
    case tov::DriveKind::Fixed:
      break;
  }
  if (tov::LowerAscii(fs) != L"ntfs") return kTargetNotNtfs;
  if (Exists(target) || !tov::PathIsGone(target)) return kTargetExists;
  uint64_t free = FreeOn(DriveRootOf(target));
  if (free < need + kMoveSpareBytes)
    return "目标磁盘空间不够：要搬 " + BytesText(need) + "，还要留出 1 GB，目标磁盘只剩 " +
           BytesText(free);
  return std::string();
}

// The moves of the journal dir that hold path now (done and not undone, or
// still under way).
bool MovedBefore(const std::wstring& dir, const std::wstring& path) {
  for (const MoveJournal& j : LoadMoveJournals(dir)) {
    if (j.back || j.undone || j.step == MoveStep::RolledBack) continue;
    if (SamePath(j.path, path) || PathAtOrWithin(path, j.path) || PathAtOrWithin(j.path, path))
      return true;
  }
  return false;
}

// Creates every missing folder above path (not path itself).
void MakeParents(const std::wstring& path) {
  for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
    tov::CreateDir(path.substr(0, at));
}

// Removes a tree this program made or checked, never following a link (a
// link met inside stops the removal). limit: at most that many files (the
// test seam's halfway), 0 for all. False with the first path that stayed.
bool RemoveTree(const std::wstring& root, uint64_t limit, std::wstring* stayed) {
  uint32_t attrs = 0;
  if (!tov::GetAttributes(root, &attrs)) return tov::PathIsGone(root) || (*stayed = root, false);
  if (attrs & tov::kAttrReparsePoint || !(attrs & tov::kAttrDirectory)) {
    *stayed = root;
    return false;
  }
  uint64_t removed = 0;
  // Depth first: each folder is removed once its content is.
  struct Frame {
    std::wstring path;
    bool listed;
  };
  std::vector<Frame> stack{{root, false}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.listed) {
      std::wstring p = top.path;
      stack.pop_back();
      tov::SetNormalAttributes(p);
      if (!tov::RemoveDirectoryPath(p) && !tov::PathIsGone(p)) {
        *stayed = p;
        return false;
      }
      continue;
    }
    top.listed = true;
    std::wstring dir = top.path;
    // A read-only folder's files can go (the stand-in needs its write bit).
    tov::SetNormalAttributes(dir);
    std::vector<std::wstring> subdirs;
    bool ok = true;
    bool listed = tov::ListDir(dir, [&](const tov::DirEntry& e) {
      std::wstring p = dir + L"\\" + e.name;
      if (e.attrs & tov::kAttrReparsePoint) {
        *stayed = p;
        ok = false;
        return false;
      }
      if (e.attrs & tov::kAttrDirectory) {
        subdirs.push_back(p);
        return true;
      }
      if (limit && removed >= limit) {
        *stayed = p;
        ok = false;
        return false;
      }
      tov::SetNormalAttributes(p);
      if (!tov::DeleteFilePath(p)) {
        *stayed = p;
        ok = false;
        return false;
      }
      ++removed;
      return true;
    });
    if (!ok) return false;
    if (!listed) {
      *stayed = dir;
      return false;
    }
    for (const std::wstring& s : subdirs) stack.push_back({s, false});
  }
  return true;
}

// Every file of items at dstRoot as at srcRoot: size and last-write time
// (what the listing of srcRoot said), and a sample by content; every folder
// with the attributes and last-write time of its original (each read the
// same way) unless !folderStamps (a removal half done changes the times of
// the folders it emptied). The first file or folder that differs in *bad.
bool VerifyCopy(const std::wstring& srcRoot, const std::wstring& dstRoot,
                const std::vector<TreeItem>& items, std::wstring* bad, bool folderStamps = true) {
  uint64_t files = FileCount(items);
  uint64_t every = std::max<uint64_t>(1, files / kContentSamples);
  uint64_t n = 0;
  for (const TreeItem& it : items) {
    std::wstring d = Join(dstRoot, it.rel);
    tov::FileInfo info;
    if (!tov::GetFileInfo(d, &info) || ((info.attrs & tov::kAttrDirectory) != 0) != it.dir ||
        (info.attrs & tov::kAttrReparsePoint)) {
      *bad = d;
      return false;
    }
    if (it.dir) {
      tov::FileInfo src;
      if (folderStamps &&
          (!tov::GetFileInfo(Join(srcRoot, it.rel), &src) ||
           (src.attrs & tov::kFolderStampAttrs) != (info.attrs & tov::kFolderStampAttrs) ||
           src.mtime != info.mtime)) {
        *bad = d;
        return false;
      }
      continue;
    }
    if (info.size != it.size || info.mtime != it.mtime) {
      *bad = d;
      return false;
    }
    if (n++ % every == 0 && it.size <= kMaxSampleBytes) {
      std::string a, b;
      if (!tov::ReadWholeFile(Join(srcRoot, it.rel), &a) || !tov::ReadWholeFile(d, &b) || a != b) {
        *bad = d;
        return false;
      }
    }
  }
  return true;
}

// The folder the copy of an undo is made in, beside the junction it
// replaces; and the name the junction is renamed to while it is replaced.
std::wstring Staging(const MoveJournal& j) {
  return j.path + L".tamsel-" + U2W(j.id);
}
std::wstring LinkAside(const MoveJournal& j) {
  return j.path + L".tamsel-link-" + U2W(j.id);
}
// Where the original of a junction move waits until the copy was read
// through the junction.
std::wstring Aside(const MoveJournal& j) {
  return j.path + L".tamsel-" + U2W(j.id);
}

// Where the data is before the switch, and where its copy is made.
std::wstring SourceOf(const MoveJournal& j) {
  return j.back ? j.to : j.path;
}
std::wstring CopyPlaceOf(const MoveJournal& j) {
  if (!j.back) return j.to;
  return j.kind == MoveKind::Known ? j.path : Staging(j);
}

bool Save(const std::wstring& dir, MoveJournal& j, MoveStep step) {
  j.step = step;
  return SaveMoveJournal(dir, j);
}

void WriteRecord(const MoveJournal& j, bool done, const std::string& reason) {
  HistoryWriter w;
  if (!BeginRecord(HistoryDir(), tov::NowFileTime(), {j.back ? "move-back" : "move"}, &w)) return;
  RecordLine(w, done ? "moved" : "skipped", j.back ? "move-back" : "move", j.bytes, j.path,
             U2W(done ? (j.back ? "从 " : "到 ") + W2U(j.to) : reason));
  EndRecord(w, done ? j.bytes : 0, done ? j.files : 0, done ? 0 : 1);
}

// Puts everything back as it was before the move and deletes the copy.
// True once the journal says rolled back.
bool RollBack(MoveJournal& j, const std::wstring& dir, const std::string& reason,
              std::string* message) {
  j.note = reason;
  std::wstring source = SourceOf(j), copy = CopyPlaceOf(j);
  if (j.step == MoveStep::Planned) {
    // Nothing was copied yet: at most the empty folder made for the copy,
    // and only an empty one is removed (whatever else is there is not ours).
    tov::RemoveDirectoryPath(copy);
    if (!Save(dir, j, MoveStep::RolledBack)) {
      *message = kJournalFailed;
      return false;
    }
    WriteRecord(j, false, j.note);
    *message = j.note;
    return true;
  }
  if (!Save(dir, j, MoveStep::RollingBack)) {
    *message = kJournalFailed;
    return false;
  }
  // Undo what of the switch was done.
  if (j.kind == MoveKind::Known) {
    tov::UserFolder f = static_cast<tov::UserFolder>(j.folder);
    std::wstring now, form;
    if (tov::UserFolderPath(f, false, &now) &&
        CanonicalPath(now, PathDrives::Any, &form) == PathFault::None && SamePath(form, copy))
      tov::SetUserFolderPath(f, source);
  } else if (!j.back) {
    tov::FsFault fault;
    if (IsLink(j.path)) tov::RemoveDirectoryPath(j.path);
    if (tov::PathIsGone(j.path) && IsRealDir(Aside(j))) tov::RenamePath(Aside(j), j.path, &fault);
  } else {
    tov::FsFault fault;
    if (IsLink(LinkAside(j))) {
      if (IsRealDir(j.path)) tov::RenamePath(j.path, Staging(j), &fault);
      if (tov::PathIsGone(j.path)) tov::RenamePath(LinkAside(j), j.path, &fault);
    }
  }
  // The data must be whole at its place before its copy goes.
  bool sourceWhole =
      IsRealDir(source) && (j.back && j.kind == MoveKind::Junction ? IsLink(j.path) : true);
  if (j.kind == MoveKind::Known) {
    std::wstring now, form;
    sourceWhole =
        sourceWhole && tov::UserFolderPath(static_cast<tov::UserFolder>(j.folder), false, &now) &&
        CanonicalPath(now, PathDrives::Any, &form) == PathFault::None && SamePath(form, source);
  }
  if (!sourceWhole) {
    j.note = kRollbackStuck + W2U(source);
    SaveMoveJournal(dir, j);
    *message = j.note;
    return false;
  }
  std::wstring stayed;
  std::string left;
  if (!RemoveTree(copy, 0, &stayed)) left = kLeftBehind + W2U(stayed) + "）";
  j.note = reason + left;
  if (!Save(dir, j, MoveStep::RolledBack)) {
    *message = kJournalFailed;
    return false;
  }
  WriteRecord(j, false, j.note);
  *message = j.note;
  return true;
}

// From switched on: removes the original and marks the journal done.
MoveOutcome Finish(MoveJournal& j, const std::wstring& dir, bool halfway) {
  MoveOutcome out;
  std::wstring stayed;
  std::string left;
  std::wstring original = j.back ? j.to : (j.kind == MoveKind::Known ? j.path : Aside(j));
  if (j.back && j.kind == MoveKind::Junction && IsLink(LinkAside(j)))
    tov::RemoveDirectoryPath(LinkAside(j));
  if (halfway) {
    RemoveTree(original, std::max<uint64_t>(1, j.files / 2), &stayed);
    out.stopped = true;
    return out;
  }
  // The original goes only while the data is whole at its new place and
  // the original holds nothing its copy lacks (a file written there while
  // the copy ran stays, and so does the original).
  std::wstring place = j.back ? j.path : j.to;
  bool placed = IsRealDir(place);
  if (j.kind == MoveKind::Known) {
    std::wstring now, form;
    placed = placed && tov::UserFolderPath(static_cast<tov::UserFolder>(j.folder), false, &now) &&
             CanonicalPath(now, PathDrives::Any, &form) == PathFault::None && SamePath(form, place);
  } else if (!j.back) {
    placed = placed && IsLink(j.path);
  }
  std::vector<TreeItem> rest;
  uint64_t restBytes = 0;
  std::string why;
  std::wstring bad;
  if (!placed || (Exists(original) && (!ScanTree(original, &rest, &restBytes, &why) ||
                                       !VerifyCopy(original, place, rest, &bad, false)))) {
    left = kKeptOriginal + W2U(original) + "）";
  } else if (!RemoveTree(original, 0, &stayed)) {
    left = kLeftBehind + W2U(stayed) + "）";
  }
  j.note = left;
  if (!Save(dir, j, MoveStep::Done)) {
    out.message = kJournalFailed;
    return out;
  }
  if (j.back) {
    for (MoveJournal& o : LoadMoveJournals(dir))
      if (o.id == j.undoOf) {
        o.undone = true;
        SaveMoveJournal(dir, o);
      }
  }
  WriteRecord(j, true, std::string());
  out.done = true;
  out.message = (j.back ? kDoneBack + W2U(j.path) : kDoneMove + W2U(j.to)) + left;
  return out;
}

bool Cancelled(const MoveFeed& feed) {
  return feed.cancel && feed.cancel->load() != 0;
}

// Why a copy failed, in the user's words: the target full or gone, a file
// in use, or the fault's text.
std::string CopyFaultText(const MoveJournal& j, const std::wstring& file, tov::FsFault fault,
                          uint64_t need) {
  std::wstring fs;
  std::wstring target = j.back ? DriveRootOf(j.path) : DriveRootOf(j.to);
  if (tov::DriveKindOf(target, &fs) == tov::DriveKind::Missing) return kTargetGone;
  if (FreeOn(target) < need) return kTargetFull;
  if (fault.kind == tov::FsFault::InUse) return kInUseAtCopy + W2U(file);
  return kCopyFailed + W2U(file);
}

}  // namespace

void SetMoveStopForTest(MoveStop stop, bool cancel) {
  g_stop = stop;
  g_stopCancels = cancel;
}

bool PlanMove(const std::string& pathText, const std::string& toText, const SpaceGuard& guard,
              const std::wstring& dir, MoveJournal* plan, std::string* message) {
  std::wstring path, to;
  PathFault f = CanonicalPathUtf8(pathText, PathDrives::SystemOnly, &path);
  if (f != PathFault::None) {
    *message = PathFaultText(f);
    return false;
  }
  f = CanonicalPathUtf8(toText, PathDrives::Any, &to);
  if (f != PathFault::None) {
    *message = PathFaultText(f);
    return false;
  }
  if (tov::LowerAscii(to[0]) == L'c') {
    *message = kTargetOnC;
    return false;
  }
  int known = KnownFolderAt(path);
  SpaceRefuse why = SpaceRefusalOf(guard, path, kSpaceDir);
  // The desktop itself moves as the known folder it is.
  if (why == SpaceRefuse::Desktop && known == static_cast<int>(tov::UserFolder::Desktop))
    why = SpaceRefuse::None;
  if (why == SpaceRefuse::Link) {
    *message = kIsLink;
    return false;
  }
  if (why == SpaceRefuse::Guarded) {
    *message = kGuarded;
    return false;
  }
  if (why != SpaceRefuse::None) {
    *message = kSpaceRefusalTexts[static_cast<size_t>(why)];
    return false;
  }
  std::wstring home;
  if (CanonicalPath(ExpandEnvW(L"%USERPROFILE%"), PathDrives::Any, &home) != PathFault::None ||
      !PathWithin(path, home)) {
    *message = kNotInHome;
    return false;
  }
  uint32_t attrs = 0;
  if (!tov::GetAttributes(path, &attrs)) {
    *message = kNoSource;
    return false;
  }
  if (!(attrs & tov::kAttrDirectory)) {
    *message = kNotFolder;
    return false;
  }
  // A link on the way, or the folder itself one.
  for (size_t at = path.find(L'\\', 3);; at = path.find(L'\\', at + 1)) {
    std::wstring part = at == std::wstring::npos ? path : path.substr(0, at);
    if (IsLink(part)) {
      *message = kIsLink;
      return false;
    }
    if (at == std::wstring::npos) break;
  }
  if (HoldsKnownFolder(path)) {
    *message = kHoldsKnown;
    return false;
  }
  if (MovedBefore(dir, path)) {
    *message = kMovedBefore;
    return false;
  }
  if (IsDriveRootPath(to))
    to = to.substr(0, 2) + L"\\" + kMoveFolderName + path.substr(home.size());
  if (PathAtOrWithin(to, path) || PathAtOrWithin(path, to)) {
    *message = kTargetInside;
    return false;
  }
  std::vector<TreeItem> items;
  uint64_t bytes = 0, need = 0;
  if (!ScanTree(path, &items, &bytes, message, &need)) return false;
  std::string refusal = TargetRefusal(to, need);
  if (refusal.empty()) refusal = HeldOpen(path, items);
  if (!refusal.empty()) {
    *message = refusal;
    return false;
  }
  if (dir.empty()) {
    *message = kNoJournalDir;
    return false;
  }
  MoveJournal j;
  j.id = NewMoveId(dir);
  j.path = path;
  j.to = to;
  j.kind = known >= 0 ? MoveKind::Known : MoveKind::Junction;
  j.folder = known;
  j.time = MoveNowMs();
  j.bytes = bytes;
  j.files = FileCount(items);
  *plan = j;
  return true;
}

bool PlanMoveBack(const std::string& id, const std::wstring& dir, MoveJournal* plan,
                  std::string* message) {
  const MoveJournal* found = nullptr;
  std::vector<MoveJournal> all = LoadMoveJournals(dir);
  for (const MoveJournal& j : all)
    if (j.id == id) found = &j;
  if (!IsMoveId(id) || !found) {
    *message = kNoMove;
    return false;
  }
  const MoveJournal& m = *found;
  if (m.back || m.undone || m.step != MoveStep::Done) {
    *message = kNotUndoable;
    return false;
  }
  for (const MoveJournal& j : all)
    if (j.back && j.undoOf == id && j.step != MoveStep::RolledBack && j.step != MoveStep::Done) {
      *message = kNotUndoable;
      return false;
    }
  MoveJournal j;
  j.id = NewMoveId(dir);
  j.back = true;
  j.undoOf = id;
  j.kind = m.kind;
  j.folder = m.folder;
  j.to = m.to;
  j.path = m.path;
  if (m.kind == MoveKind::Known) {
    std::wstring now, form, def;
    tov::UserFolder f = static_cast<tov::UserFolder>(m.folder);
    if (!tov::UserFolderPath(f, false, &now) ||
        CanonicalPath(now, PathDrives::Any, &form) != PathFault::None || !SamePath(form, m.to)) {
      *message = kKnownElsewhere;
      return false;
    }
    // Back to the folder's default place.
    if (tov::UserFolderPath(f, true, &def) &&
        CanonicalPath(def, PathDrives::SystemOnly, &form) == PathFault::None)
      j.path = form;
    bool empty = true;
    if (IsRealDir(j.path))
      tov::ListDir(j.path, [&](const tov::DirEntry&) { return empty = false; });
    if (Exists(j.path) && (!IsRealDir(j.path) || !empty)) {
      *message = kBackPlaceTaken;
      return false;
    }
  } else if (!IsLink(j.path) || Exists(Staging(j))) {
    *message = kNotJunctionNow;
    return false;
  }
  if (!IsRealDir(j.to)) {
    *message = kNoSource;
    return false;
  }
  std::vector<TreeItem> items;
  uint64_t bytes = 0, need = 0;
  if (!ScanTree(j.to, &items, &bytes, message, &need)) return false;
  uint64_t free = FreeOn(L"C:\\");
  if (free < need + kMoveSpareBytes) {
    *message =
        "C 盘空间不够：要搬回 " + BytesText(need) + "，还要留出 1 GB，C 盘只剩 " + BytesText(free);
    return false;
  }
  std::string held = HeldOpen(j.to, items);
  if (!held.empty()) {
    *message = held;
    return false;
  }
  j.time = MoveNowMs();
  j.bytes = bytes;
  j.files = FileCount(items);
  *plan = j;
  return true;
}

MoveOutcome RunMove(MoveJournal& j, const std::wstring& dir, const MoveFeed& feed) {
  MoveOutcome out;
  bool cancelAsked = false;
  auto cancelled = [&] { return cancelAsked || Cancelled(feed); };
  // The test seam: true where the move stops as if killed; a cancel asked
  // there instead goes on as a cancel does.
  auto stopHere = [&](MoveStop at) {
    if (g_stop != at) return false;
    if (g_stopCancels) cancelAsked = true;
    return !g_stopCancels;
  };
  if (!Save(dir, j, MoveStep::Planned)) {
    out.message = kNoJournalDir;
    return out;
  }
  if (stopHere(MoveStop::AfterPlanned)) {
    out.stopped = true;
    return out;
  }
  std::wstring source = SourceOf(j), copy = CopyPlaceOf(j);
  std::vector<TreeItem> items;
  uint64_t bytes = 0, needLeft = 0;
  std::string why;
  // The tree as it is now; what was planned may have changed since.
  if (!ScanTree(source, &items, &bytes, &why, &needLeft)) {
    RollBack(j, dir, why, &out.message);
    return out;
  }
  j.bytes = bytes;
  j.files = FileCount(items);
  // An empty default place of a known folder's undo makes way for the copy.
  if (j.back && j.kind == MoveKind::Known && IsRealDir(copy)) tov::RemoveDirectoryPath(copy);
  std::wstring fs;
  if (tov::DriveKindOf(DriveRootOf(copy), &fs) == tov::DriveKind::Missing) {
    RollBack(j, dir, kTargetGone, &out.message);
    return out;
  }
  MakeParents(copy);
  if (!tov::CreateDir(copy)) {
    // Nothing of this move is there to delete.
    j.note = kTargetExists;
    Save(dir, j, MoveStep::RolledBack);
    WriteRecord(j, false, j.note);
    out.message = kTargetExists;
    return out;
  }
  if (!Save(dir, j, MoveStep::Copying)) {
    tov::RemoveDirectoryPath(copy);
    out.message = kJournalFailed;
    return out;
  }
  uint64_t filesDone = 0;
  bool pastHalf = false;
  for (const TreeItem& it : items) {
    if (cancelled()) {
      RollBack(j, dir, kCancelled, &out.message);
      return out;
    }
    std::wstring to = Join(copy, it.rel);
    if (it.dir) {
      if (!tov::CreateDir(to)) {
        RollBack(j, dir, CopyFaultText(j, to, tov::FsFault(tov::FsFault::Other), needLeft),
                 &out.message);
        return out;
      }
      continue;
    }
    std::wstring from = Join(source, it.rel);
    SetCurPath(from);
    uint64_t shown = 0;
    tov::FsFault fault;
    bool ok = tov::CopyFileKeep(
        from, to,
        [&](uint64_t done) {
          if (feed.bytes && done > shown) feed.bytes->fetch_add(done - shown);
          shown = std::max(shown, done);
          return !cancelled();
        },
        &fault);
    if (!ok) {
      if (feed.bytes) feed.bytes->fetch_sub(shown);
      std::string reason =
          cancelled() ? std::string(kCancelled) : CopyFaultText(j, from, fault, needLeft);
      RollBack(j, dir, reason, &out.message);
      return out;
    }
    if (feed.bytes && it.size > shown) feed.bytes->fetch_add(it.size - shown);
    needLeft -= std::min(needLeft, it.room);
    if (feed.files) feed.files->fetch_add(1);
    bool halfway = ++filesDone * 2 >= j.files && !pastHalf;
    pastHalf = pastHalf || halfway;
    if (halfway && stopHere(MoveStop::MidCopy)) {
      out.stopped = true;
      return out;
    }
  }
  // The folders' attributes and times, now that nothing more is written
  // into them: the deepest first, the copy itself last.
  std::wstring unstamped;
  for (auto it = items.rbegin(); it != items.rend() && unstamped.empty(); ++it)
    if (it->dir && !CarryFolderStamp(Join(source, it->rel), Join(copy, it->rel)))
      unstamped = Join(copy, it->rel);
  if (unstamped.empty() && !CarryFolderStamp(source, copy)) unstamped = copy;
  if (!unstamped.empty()) {
    RollBack(j, dir, kCopyFailed + W2U(unstamped), &out.message);
    return out;
  }
  std::wstring bad;
  if (!SameFolderStamp(source, copy)) bad = copy;
  if (!bad.empty() || !VerifyCopy(source, copy, items, &bad)) {
    RollBack(j, dir, kVerifyFailed + W2U(bad), &out.message);
    return out;
  }
  if (!Save(dir, j, MoveStep::Copied)) {
    out.message = kJournalFailed;
    return out;
  }
  if (stopHere(MoveStop::AfterCopied)) {
    out.stopped = true;
    return out;
  }
  if (cancelled()) {
    RollBack(j, dir, kCancelled, &out.message);
    return out;
  }
  // The switch.
  tov::FsFault fault;
  bool switched = false;
  if (j.kind == MoveKind::Known) {
    switched = tov::SetUserFolderPath(static_cast<tov::UserFolder>(j.folder), copy);
  } else if (!j.back) {
    switched = tov::RenamePath(j.path, Aside(j), &fault) &&
               tov::CreateJunction(j.path, j.to, &fault) &&
               VerifyCopy(Aside(j), j.path, items, &bad);
  } else {
    switched =
        tov::RenamePath(j.path, LinkAside(j), &fault) && tov::RenamePath(copy, j.path, &fault);
  }
  if (!switched) {
    RollBack(j, dir, kSwitchFailed, &out.message);
    return out;
  }
  if (stopHere(MoveStop::MidSwitch)) {
    out.stopped = true;
    return out;
  }
  if (!Save(dir, j, MoveStep::Switched)) {
    out.message = kJournalFailed;
    return out;
  }
  if (stopHere(MoveStop::AfterSwitched)) {
    out.stopped = true;
    return out;
  }
  return Finish(j, dir, stopHere(MoveStop::MidRemove));
}

std::vector<std::string> RecoverMoves(const std::wstring& dir) {
  std::vector<std::string> texts;
  for (MoveJournal& j : LoadMoveJournals(dir)) {
    if (j.step == MoveStep::Done || j.step == MoveStep::RolledBack) continue;
    SetCurPath(SourceOf(j));
    if (g_recoveryHold) g_recoveryHold();
    std::string message;
    if (j.step == MoveStep::Switched) {
      MoveOutcome o = Finish(j, dir, false);
      texts.push_back(o.done ? kRecoveredFinished + o.message : o.message);
    } else if (RollBack(j, dir, kRecoveredRolledBack + W2U(SourceOf(j)), &message)) {
      texts.push_back(message);
    } else {
      texts.push_back(message);
    }
  }
  return texts;
}

void SetMoveRecoveryHoldForTest(std::function<void()> hold) {
  g_recoveryHold = std::move(hold);
}

std::vector<std::string> RecoveredAtStart() {
  std::lock_guard<std::mutex> lock(g_resultLock);
  return g_recovered;
}

bool MovesRecovering() {
  return g_recovering.load();
}

void WaitForRecoveryAtStart() {
  if (!g_recovering) return;
  printf("[warn] 正在处理上次没有完成的搬家，处理完才退出\n");
  fflush(stdout);
  while (g_recovering) WaitTask(1000);
}

bool RecoverMovesAtStart() {
  // A move of another process holds the machine's clean as long as it
  // runs (as does a clean): its journal is not ours to finish then; the
  // next start will.
  if (!tov::TryHoldMachineClean()) return false;
  std::wstring dir = MovesDir();
  std::vector<MoveJournal> left;
  for (const MoveJournal& j : LoadMoveJournals(dir))
    if (j.step != MoveStep::Done && j.step != MoveStep::RolledBack) left.push_back(j);
  if (left.empty()) {
    tov::ReleaseMachineClean();
    return false;
  }
  g_recovering = true;
  // The machine's clean is held until the task ends: no move or clean of
  // this or another process starts meanwhile.
  bool started = StartTaskOf("move", [dir, left](TaskFeed&) {
    uint64_t serial = TaskStateNow().serial;
    uint64_t before = FreeOn(L"C:\\");
    std::vector<std::string> texts = RecoverMoves(dir);
    tov::ReleaseMachineClean();
    uint64_t after = FreeOn(L"C:\\");
    for (const std::string& text : texts) printf("[warn] %s\n", text.c_str());
    fflush(stdout);
    // The result names the newest journal it took up; its text is all of them.
    MoveJournal newest = left.front();
    for (const MoveJournal& j : LoadMoveJournals(dir))
      if (j.id == newest.id) newest = j;
    std::string message;
    for (const std::string& text : texts) message += (message.empty() ? "" : "；") + text;
    tov::JsonWriter w = tov::OkWriter();
    w.Key("kind").Str("move").Key("id").Str(newest.id).Key("path").Str(W2U(newest.path));
    w.Key("to").Str(W2U(newest.to)).Key("back").Bool(newest.back);
    w.Key("done").Bool(newest.step == MoveStep::Done);
    w.Key("step").Str(MoveStepName(newest.step)).Key("message").Str(message);
    w.Key("bytes").Num(newest.bytes).Key("files").Num(newest.files);
    w.Key("freeBefore").Num(before).Key("freeAfter").Num(after).Key("recovery").Bool(true);
    std::lock_guard<std::mutex> lock(g_resultLock);
    g_recovered = std::move(texts);
    g_lastSerial = serial;
    g_lastResult = w.EndObject().Take();
    g_recovering = false;
  });
  if (!started) {
    g_recovering = false;
    tov::ReleaseMachineClean();
  }
  return started;
}

bool StartMove(const MoveJournal& plan) {
  if (!tov::TryHoldMachineClean()) return false;
  auto j = std::make_shared<MoveJournal>(plan);
  bool started = StartTaskOf("move", [j](TaskFeed& feed) {
    uint64_t serial = TaskStateNow().serial;
    uint64_t before = FreeOn(L"C:\\");
    MoveFeed f{&feed.cancel, &feed.files, &feed.bytes};
    MoveOutcome o = RunMove(*j, MovesDir(), f);
    tov::ReleaseMachineClean();
    uint64_t after = FreeOn(L"C:\\");
    tov::JsonWriter w = tov::OkWriter();
    w.Key("kind").Str("move").Key("id").Str(j->id).Key("path").Str(W2U(j->path));
    w.Key("to").Str(W2U(j->to)).Key("back").Bool(j->back).Key("done").Bool(o.done);
    w.Key("step").Str(MoveStepName(j->step)).Key("message").Str(o.message);
    w.Key("bytes").Num(j->bytes).Key("files").Num(j->files);
    w.Key("freeBefore").Num(before).Key("freeAfter").Num(after);
    std::lock_guard<std::mutex> lock(g_resultLock);
    g_lastSerial = serial;
    g_lastResult = w.EndObject().Take();
  });
  if (!started) tov::ReleaseMachineClean();
  return started;
}

uint64_t LastMoveSerial() {
  std::lock_guard<std::mutex> lock(g_resultLock);
  return g_lastSerial;
}

std::string MoveResultDoc() {
  std::lock_guard<std::mutex> lock(g_resultLock);
  return g_lastResult;
}

std::string MovesDoc(const std::wstring& dir) {
  tov::JsonWriter w = tov::OkWriter();
  w.Key("moves").BeginArray();
  for (const MoveJournal& j : LoadMoveJournals(dir)) {
    w.BeginObject().Key("id").Str(j.id).Key("path").Str(W2U(j.path)).Key("to").Str(W2U(j.to));
    w.Key("kind").Str(MoveKindName(j.kind)).Key("step").Str(MoveStepName(j.step));
    w.Key("time").Num(j.time).Key("bytes").Num(j.bytes).Key("files").Num(j.files);
    w.Key("back").Bool(j.back).Key("undoOf").Str(j.undoOf).Key("undone").Bool(j.undone);
    w.Key("note").Str(j.note).EndObject();
  }
  w.EndArray().Key("recovered").Strings(RecoveredAtStart());
  w.Key("recovering").Bool(MovesRecovering());
  return w.EndObject().Take();
}

}  // namespace tamsel
