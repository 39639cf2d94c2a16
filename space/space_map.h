// The space map: where the bytes of a folder tree are, folder by folder.
//
// One walk lists every folder below a root on several threads (a shared
// stack of folders, totals kept per thread, one lock per folder listed and
// none per file) and keeps, in memory:
// - every folder as one SpaceNode (names in one arena), with the bytes and
//   files directly in it and the totals of its whole subtree;
// - links and junctions as leaf nodes of 0 bytes, never entered;
// - the kSpaceTopFiles largest files (path, bytes, last write);
// - the bytes and files of each kind of file (kSpaceKinds, by extension).
// Files are never stored one by one. The walk follows the engine's walker
// rules: links, junctions and cloud folders are leaves, files that are not
// really on this disk are left out, at most kMaxWalkDepth levels below the
// root. A folder that cannot be listed is counted as denied; one that
// vanished during the walk is left out.
//
// A file with several hard links is counted once, under the first name
// met, where the listing tells (the stand-in: st_ino and st_nlink); a
// Windows listing gives no link count, so there a walk counts it once per
// name. Sizes are file sizes, not the space allocated for them (clusters,
// compression, sparse files). BuildSpaceMapFromMft makes the same map from
// the volume's master file table (ntfs/mft.h): every file once, under its
// first name in the table's order; sparse and compressed files by the space
// they take, named streams counted with their file.
//
// A map is a plain value: it is built by one call, then read by the queries
// below and changed only by the recycle bookkeeping. Whoever holds it
// serialises those (space_task.cpp holds the process's map).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "space/space_refusal.h"

namespace tamsel {

constexpr size_t kSpaceTopFiles = 1000;    // largest files a map keeps
constexpr size_t kSpaceMaxChildren = 300;  // children a folder document lists
constexpr size_t kSpaceDefaultTop = 100;   // files /api/map/top lists by default
constexpr size_t kSpaceMaxRecycle = 1000;  // paths one recycle request may name
constexpr size_t kSpaceKindCount = 9;      // entries of kSpaceKinds, "其他" last
constexpr uint32_t kSpaceNone = 0xFFFFFFFFu;

// The map's linksNote when a listing gave no link counts.
extern const char kSpaceLinksNote[];  // 硬链接的文件可能被重复计算

// SpaceNode::flags
constexpr uint32_t kSpaceDir = 0x1;     // a folder (or a link to one)
constexpr uint32_t kSpaceLink = 0x2;    // a link, junction or cloud folder: a leaf of 0 bytes
constexpr uint32_t kSpaceDenied = 0x4;  // a folder that could not be listed
constexpr uint32_t kSpaceGone = 0x8;    // vanished during the walk, or recycled since

struct SpaceNode {
  uint32_t parent = kSpaceNone;  // kSpaceNone for the root
  uint32_t name = 0;             // offset of the UTF-8 name in SpaceMap::names
  uint32_t nameLen = 0;
  uint32_t flags = 0;
  uint32_t firstChild = 0;  // children are SpaceMap::children[firstChild, +childCount)
  uint32_t childCount = 0;
  int32_t item = -1;      // index into SpaceMap::items when a catalogue target is this folder
  uint64_t ownBytes = 0;  // the files directly in the folder
  uint64_t ownFiles = 0;
  uint64_t bytes = 0;  // the whole subtree, the folder's own files included
  uint64_t files = 0;
  uint64_t dirs = 0;      // folders below this one
  uint64_t denied = 0;    // folders of the subtree (this one included) that could not be listed
  uint64_t ownLinks = 0;  // files directly in the folder that have other names elsewhere too
  uint64_t links = 0;     // the same for the whole subtree
};

struct SpaceFile {
  std::string path;  // UTF-8
  uint64_t bytes = 0;
  uint64_t mtime = 0;  // FILETIME
};

struct SpaceMap {
  std::wstring root;  // as the walk was given it
  std::string names;
  std::vector<SpaceNode> nodes;    // nodes[0] is the root; a parent comes before its children
  std::vector<uint32_t> children;  // node indices, grouped by parent
  std::vector<SpaceFile> top;      // largest first; ties by path
  uint64_t kindBytes[kSpaceKindCount] = {};
  uint64_t kindFiles[kSpaceKindCount] = {};
  std::vector<std::string> items;  // ids of the catalogue items whose targets are in the map
  // How the map was made, for its documents (space_task.cpp fills them in).
  std::string method = "walk";  // "mft": the master file table; "walk": folder by folder
  uint64_t ms = 0;              // the time it took
  std::string methodText;       // one line for the page
  std::string linksNote;        // "" when every file with several names was counted once
};

// A folder a catalogue item cleans, for the map's "item" links.
struct SpaceTarget {
  std::string item;
  std::wstring path;
};

struct SpaceWalkOptions {
  int threads = 0;                         // as WalkerThreads (engine/walk.h) gives them
  std::function<bool()> cancelled;         // polled before every folder; may be empty
  std::atomic<uint64_t>* files = nullptr;  // progress: files and bytes found so far
  std::atomic<uint64_t>* bytes = nullptr;
  std::function<void(const std::wstring&)> cur;  // now and then, the folder being read
};

// The kind table: its names in order ("视频" ... "其他"), and the kind of a
// file name by its extension (ASCII letters without regard to case).
const char* SpaceKindName(size_t kind);
// The kind's extensions, lower case, separated by single spaces ("" for
// "其他", which takes the rest).
const char* SpaceKindExtensions(size_t kind);
size_t SpaceKindOf(const char* name, size_t len);

// Walks the folder root (an absolute drive path that the caller checked)
// and builds its map into *out. targets mark the folders of catalogue items
// (the first target of a folder in the given order wins). False, *out
// unspecified, when cancelled.
bool BuildSpaceMap(const std::wstring& root, const std::vector<SpaceTarget>& targets,
                   const SpaceWalkOptions& opt, SpaceMap* out);

// Makes the map of the drive root `root` (C:\\) from a table that
// ReadMft read and checked, by the walk's rules (links are leaves, files not
// on this disk left out, kMaxWalkDepth). False when cancelled.
struct MftTable;
bool BuildSpaceMapFromMft(const MftTable& table, const std::wstring& root,
                          const std::vector<SpaceTarget>& targets, const SpaceWalkOptions& opt,
                          SpaceMap* out);

// The node of a folder or link at path (the root itself or below it;
// backslashes, ASCII letters without regard to case where the exact name is
// not there), never a node that is gone. kSpaceNone when the map holds none.
uint32_t FindSpaceNode(const SpaceMap& m, const std::wstring& path);

// The full UTF-8 path of a node, spelled as the map holds it.
std::string SpaceNodePath(const SpaceMap& m, uint32_t node);

// The documents of the map's endpoints. Each child and each file ends in
// "refuse": why the map never moves it to the Recycle Bin (guard's
// SpaceRefusal), "" when it may go.
// {"ok":true,"path":P,"bytes":B,"files":F,"dirs":D,"denied":N,"children":[
//  {"name":N,"dir":B,"link":B,"bytes":B,"files":F,"dirs":D[,"item":I],"refuse":R},...],
//  "rest":{"count":C,"bytes":RB}}: the kSpaceMaxChildren largest children
// (bytes, then name), the files directly in the folder as one child named ""
// (its "refuse" is what any file directly in the folder gets). A row
// whose files include some with several names (counted once, here) ends in
// "links":N, their number.
std::string SpaceDirJson(const SpaceMap& m, uint32_t node, const SpaceGuard& guard);
// {"ok":true,"files":[{"path":P,"bytes":B,"time":T,"refuse":R},...]}: the n largest.
std::string SpaceTopJson(const SpaceMap& m, size_t n, const SpaceGuard& guard);
// {"ok":true,"root":R,"method":M,"ms":T,"methodText":X,"linksNote":L}: how
// the map was made (SpaceMap's fields of the same names).
std::string SpaceInfoJson(const SpaceMap& m);
// {"ok":true,"kinds":[{"kind":K,"bytes":B,"files":F},...]}: every kind,
// largest first, ties in table order.
std::string SpaceKindsJson(const SpaceMap& m);

// After a recycle: takes what left out of the map. A folder (or link) node
// is marked gone and its totals come off every folder above it; a file of
// `bytes` bytes directly in the folder node `folder` comes off that folder's
// own files and every total above. Largest files at or below path leave the
// top list, and the bytes leave their kinds. Returns the bytes taken off.
// kinds: the bytes and files of each kind the folder held (a map of it),
// or null for a link.
uint64_t DropSpaceNode(SpaceMap* m, uint32_t node, const SpaceMap* kinds);
uint64_t DropSpaceFile(SpaceMap* m, uint32_t folder, const std::wstring& path, uint64_t bytes);

}  // namespace tamsel
