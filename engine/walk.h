// The one recursion every walk of the engine shares: scan, details, the
// dry-run measure and the real clean of both "files" and "dir" items.
//
// A walk holds the folder it is in open and reaches everything below through
// that handle (platform: OpenSubdir, DeleteFileAt, RemoveDirAt), so a folder
// swapped for a junction or link while it runs cannot send it elsewhere. Its
// rules, the same for every walk:
// - links and junctions are leaves: never entered, never removed, and a
//   file that is a link is never counted, listed or deleted;
// - files that are not really on the disk (cloud placeholders and other
//   files a sync engine manages, tov::kAttrNotLocal) are left alone;
// - a target that picks files by name patterns never takes a file that lies
//   directly in a database's folder (see IsDatabaseFolder);
// - at most kMaxWalkDepth levels below the target's folder;
// - a subfolder the walk's refuseDir turns down is not entered;
// - a cancel stops it at the next entry.
//
// A walk may list its folders on several threads (Walk::threads): walker
// threads open and list the folders ahead of it, by handle, in the order it
// will enter them, and the walk itself (on the calling thread) takes their
// listings in that order and does everything else: the callbacks, the
// progress, the cancel checks. So a walk on several threads meets the same
// entries in the same order and calls the same callbacks as on one, and
// only the folders' listing runs in parallel.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "rules/tamsel_core.h"

namespace tamsel {

// The target's own folder is depth 0; folders down to this depth are listed.
constexpr int kMaxWalkDepth = 64;

// Walker threads of one walk at most (the space map's and a listing walk's).
constexpr int kMaxWalkerThreads = 8;

// The walker threads of a walk: asked when more than 0 (at most
// kMaxWalkerThreads), else the machine's cores within [2, kMaxWalkerThreads].
int WalkerThreads(int asked);

// The full paths of a directory's entries are built in one buffer: the
// directory and a backslash stay, each entry's name replaces the previous
// one, so that a directory of many files costs one allocation, not one per
// file.
class EntryPath {
 public:
  explicit EntryPath(const std::wstring& dir) : full_(dir) {
    if (full_.empty() || full_.back() != L'\\') full_ += L'\\';
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

// What one walk does with what it meets. Every callback may be empty.
struct Walk {
  const Target* target = nullptr;   // recursion and name filters
  bool filtered = true;             // false: every file of the tree (a "dir" item's folder)
  std::function<bool()> cancelled;  // polled before every entry
  // A file the walk takes, in the open folder dir, whose entries' paths
  // come from paths.
  std::function<void(tov::DirHandle dir, EntryPath& paths, const tov::DirEntry& e)> file;
  // A subfolder of dir after its own walk ended.
  std::function<void(tov::DirHandle dir, EntryPath& paths, const tov::DirEntry& e)> leftDir;
  // Asked with the full path of each subfolder before it is entered: true
  // leaves the subfolder and all it holds out of the walk (a path the user
  // protected).
  std::function<bool(const std::wstring& path)> refuseDir;
  // Asked of each file of a listing before anything else: true treats the
  // file as not there (a dry run's view of a file an earlier item of the
  // same clean takes), also for the database rule.
  std::function<bool(EntryPath& paths, const tov::DirEntry& e)> gone;
  // A subfolder that could not be opened, or was swapped for something else
  // since it was listed (tov::FsFault::Link).
  std::function<void(const std::wstring& path, tov::FsFault fault)> fault;
  // Threads that list folders: 1 walks on the calling thread alone; more
  // (0: WalkerThreads(0)) list the folders ahead on that many threads, the
  // calling one included (it lists while the folder it needs is being
  // listed). The callbacks always run on the calling thread.
  int threads = 1;
};

// Walks the open folder dir, which is the folder at path, depth levels below
// the target's folder. Publishes each subfolder it enters (SetCurPath).
// With more than one thread, the walker threads have all ended and every
// folder they opened is closed again when it returns.
void WalkDir(const Walk& w, tov::DirHandle dir, const std::wstring& path, int depth);

// True for a folder that holds a database whose latest writes live in files
// a cleaner would take for logs: LevelDB and RocksDB (a file CURRENT or
// MANIFEST-*, beside NNNNNN.log) and ESE (*.chk, *.jrs, *.edb, beside
// *.log). Decided from the folder's listing alone.
bool IsDatabaseFolder(const std::vector<tov::DirEntry>& entries);

// Whether a file of this name marks a database's folder.
bool IsDatabaseMarker(const std::wstring& name);

// Whether the file entry is one that a walk may take at all: no link, no
// directory, really on this disk.
bool IsPlainLocalFile(uint32_t attrs);

// The target's filters for one file name: an include list (when not empty)
// must match, and no exclude entry may (a wildcard entry matches the whole
// name, a plain one its end).
bool PassesFilter(const Target& t, const std::wstring& name);

// Test seam: called with the full path of each subfolder after its folder
// was listed and before it is entered, on the walk's own thread; on one
// thread that is before it is opened, so that a test can swap it. Null (the
// default) in the program.
void SetWalkHookForTest(void (*hook)(const std::wstring& subfolder));

// The threads the engine's walks that delete nothing list their folders
// on (scans, file lists, dry runs, measures; Walk::threads): 0 (the
// default) for WalkerThreads(0), 1 for the calling thread alone. For tests
// and the benchmark, which compare the two.
void SetListingThreads(int threads);
int ListingThreads();

// Test seam: how many folders walker threads have listed ahead of their
// walks since the process started.
uint64_t FoldersListedAhead();

}  // namespace tamsel
