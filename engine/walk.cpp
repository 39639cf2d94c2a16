// The one recursion every walk of the engine shares, the filters it
// applies to names, and the rules of a target that every walker applies
// before it walks.
#include "engine/walk.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "engine/engine_internal.h"
#include "engine/tamsel_engine.h"

namespace tamsel {
namespace {

void (*g_walkHook)(const std::wstring&) = nullptr;

// A folder's walk adds its item's figures to the progress record every
// kProgressEvery entries (a power of two), and at every subfolder.
constexpr uint32_t kProgressEvery = 256;

// Files that mark a database's folder, matched against whole names.
const wchar_t* const kDatabaseMarkers[] = {
    L"CURRENT", L"MANIFEST-*",            // LevelDB, RocksDB
    L"*.chk",   L"*.jrs",      L"*.edb",  // ESE (Extensible Storage Engine)
};

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

// Whether a database lies directly in the folder at path; false when the
// folder cannot be read (nothing in it can be deleted then either).
bool FolderHoldsDatabase(const std::wstring& path,
                         const std::function<bool(const std::wstring&)>* gone) {
  tov::FsFault fault = tov::FsFault::None;
  tov::DirHandle dir = tov::OpenWalkDir(path, &fault);
  if (dir == tov::kNoDir) return false;
  std::vector<tov::DirEntry> entries;
  bool db = false;
  if (tov::ListDirAt(dir, &entries)) {
    EntryPath paths(path);
    for (const tov::DirEntry& e : entries)
      if (!(e.attrs & tov::kAttrDirectory) && IsDatabaseMarker(e.name) &&
          !(gone && (*gone)(paths.Of(e.name))))
        db = true;
  }
  tov::CloseDir(dir);
  return db;
}

// One wildcard target's expansion: its path cut into names, and what it
// made so far.
struct Expansion {
  const Target* t = nullptr;
  std::vector<std::wstring> names;  // after the first: the drive's own text
  std::vector<Target>* out = nullptr;
  std::vector<ExpandNote>* notes = nullptr;
  size_t made = 0;
  bool more = false;  // a match beyond kMaxExpansions was met

  void Note(const std::wstring& path, tov::FsFault fault) {
    for (const ExpandNote& n : *notes)
      if (n.path == path && n.fault == fault) return;
    notes->push_back(ExpandNote{path, fault});
  }

  // The names from i on that hold no wildcard, appended to path.
  size_t Plain(std::wstring& path, size_t i) const {
    for (; i < names.size() && names[i].find(L'*') == std::wstring::npos; ++i)
      path += L'\\' + names[i];
    return i;
  }

  // Expands the names from i on below the folder at path.
  void From(std::wstring path, size_t i) {
    i = Plain(path, i);
    if (i == names.size()) {
      if (made == kMaxExpansions) {
        more = true;
        return;
      }
      out->push_back(*t);
      out->back().path = path;
      ++made;
      return;
    }
    // A link on the way is refused as for any target, before it is opened.
    if (HasReparseInPath(path)) {
      Note(path, tov::FsFault::Link);
      return;
    }
    tov::FsFault fault = tov::FsFault::None;
    tov::DirHandle dir = tov::OpenWalkDir(path, &fault);
    if (dir == tov::kNoDir) {
      if (fault != tov::FsFault::Gone) Note(path, fault);
      return;
    }
    std::vector<tov::DirEntry> entries;
    bool listed = tov::ListDirAt(dir, &entries);
    tov::CloseDir(dir);
    if (!listed) {
      Note(path, tov::FsFault::Other);
      return;
    }
    std::vector<std::pair<std::wstring, const tov::DirEntry*>> matches;
    for (const tov::DirEntry& e : entries)
      if ((e.attrs & tov::kAttrDirectory) && !(e.attrs & tov::kAttrNotLocal) &&
          WildMatchStr(names[i].c_str(), e.name.c_str()))
        matches.emplace_back(tov::LowerAscii(e.name), &e);
    std::sort(matches.begin(), matches.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first : a.second->name < b.second->name;
    });
    for (const auto& m : matches) {
      if (more) return;
      std::wstring sub = path + L'\\' + m.second->name;
      if (m.second->attrs & tov::kAttrReparsePoint) {
        // Never followed: what the target would reach through it is
        // reported as lying behind a link on the way.
        Plain(sub, i + 1);
        Note(sub, tov::FsFault::Link);
        continue;
      }
      From(sub, i + 1);
    }
  }
};

bool IsWildcardTarget(const Target& t) {
  return t.path.find(L'*') != std::wstring::npos;
}

// What a folder's name says it may be in a Chromium user data folder.
enum class CacheName { None, Whole, CacheData, CodeCache, ServiceWorker };

CacheName CacheNameOf(const std::wstring& name) {
  std::wstring n = tov::LowerAscii(name);
  if (n == L"gpucache" || n == L"grshadercache" || n == L"dawncache") return CacheName::Whole;
  if (n == L"cache_data") return CacheName::CacheData;
  if (n == L"code cache") return CacheName::CodeCache;
  if (n == L"service worker") return CacheName::ServiceWorker;
  return CacheName::None;
}

// A folder whose entries we may look into: a real folder on this disk, no
// link, junction or cloud folder.
bool IsPlainFolder(const tov::DirEntry& e) {
  return (e.attrs & tov::kAttrDirectory) &&
         !(e.attrs & (tov::kAttrReparsePoint | tov::kAttrNotLocal));
}

// Whether a listing holds a plain folder of this name (letter case aside).
const tov::DirEntry* PlainFolderIn(const std::vector<tov::DirEntry>& entries,
                                   const wchar_t* folded) {
  for (const tov::DirEntry& e : entries)
    if (IsPlainFolder(e) && tov::LowerAscii(e.name) == folded) return &e;
  return nullptr;
}

// Whether a folder's listing shows a Chromium user data folder: the files
// "Local State", "Preferences" or "Cookies", or the folder "Network".
bool HoldsChromiumMarker(const std::vector<tov::DirEntry>& entries) {
  for (const tov::DirEntry& e : entries) {
    std::wstring n = tov::LowerAscii(e.name);
    if (IsPlainFolder(e) ? n == L"network"
                         : !(e.attrs & tov::kAttrDirectory) &&
                               (n == L"local state" || n == L"preferences" || n == L"cookies"))
      return true;
  }
  return false;
}

// The search for the disk caches of Chromium-based programs below one
// folder: one walk by handle down to kChromiumSearchDepth levels, each
// folder listed once and judged from its parent's listing and its own.
struct CacheSearch {
  const Target* t = nullptr;
  std::vector<Target>* out = nullptr;
  std::vector<std::wstring> skips;  // folded

  void Take(const std::wstring& path, const std::wstring& group) {
    out->push_back(*t);
    Target& found = out->back();
    found.path = path;
    found.findsChromiumCaches = false;
    found.searchSkips.clear();
    found.group = group;
  }

  bool Skipped(const std::wstring& path) const {
    if (skips.empty()) return false;
    std::wstring folded = tov::LowerAscii(path);
    for (const std::wstring& s : skips)
      if (s == folded) return true;
    return false;
  }

  // The folder dir at path, depth levels below the search's folder, whose
  // listing is entries.
  void Folder(tov::DirHandle dir, const std::wstring& path, int depth,
              const std::vector<tov::DirEntry>& entries) {
    bool marked = HoldsChromiumMarker(entries);
    bool inCache = tov::LowerAscii(LeafName(path)) == L"cache";
    EntryPath paths(path);
    for (const tov::DirEntry& e : entries) {
      if (Cancelled()) return;
      if (!IsPlainFolder(e)) continue;
      const std::wstring& sub = paths.Of(e.name);
      if (Skipped(sub)) continue;
      CacheName kind = CacheNameOf(e.name);
      if (kind == CacheName::Whole && marked) {
        Take(sub, path);
        continue;
      }
      if (kind == CacheName::CacheData && (marked || inCache)) {
        // The program's folder: the one that holds "Cache".
        Take(sub, marked ? path : ParentOf(path));
        continue;
      }
      // What lies below a "Code Cache" or a "Service Worker" beside the
      // marks tells whether it is a cache; any other folder is searched on
      // while its subfolders are within reach.
      bool look =
          marked && ((kind == CacheName::CodeCache && depth + 1 <= kChromiumSearchDepth) ||
                     (kind == CacheName::ServiceWorker && depth + 2 <= kChromiumSearchDepth));
      if (!look && depth + 1 >= kChromiumSearchDepth) continue;
      std::wstring subPath = sub;
      SetCurPath(subPath);
      tov::FsFault fault = tov::FsFault::None;
      tov::DirHandle child = tov::OpenSubdir(dir, e, &fault);
      if (child == tov::kNoDir) continue;
      std::vector<tov::DirEntry> listed;
      if (tov::ListDirAt(child, &listed)) {
        if (look && kind == CacheName::CodeCache &&
            (PlainFolderIn(listed, L"js") || PlainFolderIn(listed, L"wasm"))) {
          Take(subPath, path);
        } else if (look && kind == CacheName::ServiceWorker &&
                   PlainFolderIn(listed, L"cachestorage")) {
          Take(subPath + L'\\' + PlainFolderIn(listed, L"cachestorage")->name, path);
        } else if (depth + 1 < kChromiumSearchDepth) {
          Folder(child, subPath, depth + 1, listed);
        }
      }
      tov::CloseDir(child);
    }
  }
};

// The cache folders the search target t finds, appended to out.
void FindChromiumCaches(const Target& t, std::vector<Target>* out, std::vector<ExpandNote>* notes) {
  if (t.path.empty()) return;
  if (HasReparseInPath(t.path)) {
    notes->push_back(ExpandNote{t.path, tov::FsFault::Link});
    return;
  }
  tov::FsFault fault = tov::FsFault::None;
  tov::DirHandle dir = tov::OpenWalkDir(t.path, &fault);
  if (dir == tov::kNoDir) {
    if (fault != tov::FsFault::Gone) notes->push_back(ExpandNote{t.path, fault});
    return;
  }
  std::vector<tov::DirEntry> entries;
  if (tov::ListDirAt(dir, &entries)) {
    CacheSearch s;
    s.t = &t;
    s.out = out;
    for (const std::wstring& skip : t.searchSkips) s.skips.push_back(tov::LowerAscii(skip));
    s.Folder(dir, t.path, 0, entries);
  } else {
    notes->push_back(ExpandNote{t.path, tov::FsFault::Other});
  }
  tov::CloseDir(dir);
}

}  // namespace

RuleItem ExpandItem(const RuleItem& item, std::vector<ExpandNote>* notes) {
  RuleItem out = item;
  bool any = false;
  for (const Target& t : item.targets) any = any || IsWildcardTarget(t) || t.findsChromiumCaches;
  if (!any) return out;
  out.targets.clear();
  for (const Target& t : item.targets) {
    if (t.findsChromiumCaches) {
      FindChromiumCaches(t, &out.targets, notes);
      continue;
    }
    if (!IsWildcardTarget(t)) {
      out.targets.push_back(t);
      continue;
    }
    Expansion x;
    x.t = &t;
    x.out = &out.targets;
    x.notes = notes;
    size_t at = 0;
    while (at <= t.path.size()) {
      size_t sep = t.path.find(L'\\', at);
      if (sep == std::wstring::npos) sep = t.path.size();
      if (sep > at) x.names.push_back(t.path.substr(at, sep - at));
      at = sep + 1;
    }
    // The first name is the drive ("C:"), never a wildcard in the catalogue.
    if (x.names.empty() || x.names[0].find(L'*') != std::wstring::npos) continue;
    std::wstring root = x.names[0];
    x.From(root, 1);
    if (x.more) notes->push_back(ExpandNote{t.path, tov::FsFault::None});
  }
  return out;
}

ExpandedCatalogue ExpandSelected(const std::vector<Category>& cats,
                                 const std::set<std::string>* ids) {
  ExpandedCatalogue x;
  x.cats = cats;
  for (Category& c : x.cats)
    for (RuleItem& item : c.items) {
      if (ids && !ids->count(item.id)) continue;
      std::vector<ExpandNote> notes;
      item = ExpandItem(item, &notes);
      if (!notes.empty()) x.notes[item.id] = std::move(notes);
    }
  return x;
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

bool IsDatabaseMarker(const std::wstring& name) {
  for (const wchar_t* marker : kDatabaseMarkers)
    if (WildMatchStr(marker, name.c_str())) return true;
  return false;
}

bool IsDatabaseFolder(const std::vector<tov::DirEntry>& entries) {
  for (const tov::DirEntry& e : entries)
    if (!(e.attrs & tov::kAttrDirectory) && IsDatabaseMarker(e.name)) return true;
  return false;
}

bool IsPlainLocalFile(uint32_t attrs) {
  return !(attrs & (tov::kAttrDirectory | tov::kAttrReparsePoint | tov::kAttrNotLocal));
}

void SetWalkHookForTest(void (*hook)(const std::wstring&)) {
  g_walkHook = hook;
}

namespace {

// ---- Listing ahead on walker threads -------------------------------------------------

// Where a folder lies in its walk: the ordinal of its entry among the
// directory entries of each listing on the way from the target's folder. A
// walk enters folders in the order of their keys (depth first, in listing
// order), and the folders below one folder are the keys it is a prefix of.
using FolderKey = std::vector<uint32_t>;

bool HasPrefix(const FolderKey& key, const FolderKey& prefix) {
  return key.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), key.begin());
}

// An open folder, closed when the last one that needs it lets go: the walk
// while it is in it, and the listings of its subfolders still to be opened
// in it.
struct OpenFolder {
  tov::DirHandle dir = tov::kNoDir;
  bool owned = true;  // false: the caller of WalkDir closes it
  OpenFolder(tov::DirHandle d, bool own) : dir(d), owned(own) {}
  ~OpenFolder() {
    if (owned) tov::CloseDir(dir);
  }
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;
};
using FolderRef = std::shared_ptr<OpenFolder>;

// A subfolder opened and listed, by whichever thread did it.
struct Listed {
  FolderRef self;  // null when it could not be opened (fault says why)
  tov::FsFault fault = tov::FsFault::None;
  bool listed = false;  // false: opened, but its listing failed
  std::vector<tov::DirEntry> entries;
};

// A subfolder that the walk will enter, as the walker threads have it.
struct Ahead {
  enum class State { Waiting, Listing, Listed } state = State::Waiting;
  bool dropped = false;  // Listing: the walk will not enter it after all
  FolderRef parent;      // Waiting, Listing: the folder it is opened in
  tov::DirEntry entry;   // as listed in parent
  std::wstring path;
  int depth = 0;
  Listed result;  // Listed
};

// At most this many folders are listed (or being listed) ahead of the walk
// and not yet entered: each holds its folder open and its listing in memory.
constexpr size_t kAheadFolders = 64;

std::atomic<int> g_listingThreads{0};
std::atomic<uint64_t> g_listedAhead{0};

// The shared state of one walk's walker threads, all of it under lock.
struct Pool {
  const Walk* walk = nullptr;
  std::mutex lock;
  std::condition_variable work;    // walker threads: a folder waits, or room ahead
  std::condition_variable listed;  // the walk: a folder was listed
  std::map<FolderKey, Ahead> folders;
  std::set<FolderKey> waiting;  // the Waiting ones, first needed first
  size_t held = 0;              // Listing and Listed ones
  int idle = 0;                 // walker threads waiting for work
  bool roomWanted = false;      // one of them waits for room ahead
  bool walkWaits = false;       // the walk waits for a folder being listed
  bool stop = false;
  std::vector<std::thread> threads;
};

// Whether the walk enters a subfolder it lists at childDepth, as far as
// the listing tells (refuseDir aside, which only the walk may ask).
bool EntersSubfolder(const Walk& w, const tov::DirEntry& e, int childDepth) {
  if (!(e.attrs & tov::kAttrDirectory)) return false;
  if (e.attrs & (tov::kAttrReparsePoint | tov::kAttrNotLocal)) return false;
  if (w.filtered && !w.target->recursive) return false;
  return childDepth <= kMaxWalkDepth;
}

// The subfolders of a folder just listed that the walk will enter, ready to
// be added to the pool.
void SubfoldersOf(const Walk& w, const FolderRef& self, const FolderKey& key,
                  const std::wstring& path, int depth, const std::vector<tov::DirEntry>& entries,
                  std::vector<std::pair<FolderKey, Ahead>>* out) {
  out->clear();
  uint32_t ordinal = 0;
  EntryPath paths(path);
  for (const tov::DirEntry& e : entries) {
    if (!(e.attrs & tov::kAttrDirectory)) continue;
    uint32_t at = ordinal++;
    if (!EntersSubfolder(w, e, depth + 1)) continue;
    FolderKey k = key;
    k.push_back(at);
    Ahead a;
    a.parent = self;
    a.entry = e;
    a.path = paths.Of(e.name);
    a.depth = depth + 1;
    out->emplace_back(std::move(k), std::move(a));
  }
}

// Adds the subfolders found to the pool (lock held).
void AddWaiting(Pool& p, std::vector<std::pair<FolderKey, Ahead>>& subs) {
  for (auto& kv : subs) {
    p.waiting.insert(kv.first);
    p.folders.emplace(std::move(kv.first), std::move(kv.second));
  }
  // Wakes as many idle walker threads as there are new folders.
  for (size_t i = 0; i < subs.size() && static_cast<int>(i) < p.idle; ++i) p.work.notify_one();
  subs.clear();
}

// Opens the subfolder of a Waiting entry in its parent and lists it.
Listed OpenAndList(const FolderRef& parent, const tov::DirEntry& entry) {
  Listed r;
  tov::DirHandle child = tov::OpenSubdir(parent->dir, entry, &r.fault);
  if (child == tov::kNoDir) return r;
  r.self = std::make_shared<OpenFolder>(child, true);
  r.listed = tov::ListDirAt(child, &r.entries);
  return r;
}

// The walker threads that wait for room ahead start again once half of it
// is free, not for every folder taken (lock held).
void FreedRoom(Pool& p) {
  if (!p.roomWanted || p.held > kAheadFolders / 2) return;
  p.roomWanted = false;
  p.work.notify_all();
}

// Lists the first Waiting folder (lock held, and held again on return): the
// work of a walker thread, and of the walk itself while the folder it
// needs is being listed.
void ListFirstWaiting(Pool& p, std::unique_lock<std::mutex>& lock,
                      std::vector<std::pair<FolderKey, Ahead>>& subs) {
  FolderKey key = *p.waiting.begin();
  p.waiting.erase(p.waiting.begin());
  Ahead& a = p.folders[key];
  a.state = Ahead::State::Listing;
  ++p.held;
  FolderRef parent = a.parent;
  tov::DirEntry entry = a.entry;
  std::wstring path = a.path;
  int depth = a.depth;
  lock.unlock();
  Listed r = OpenAndList(parent, entry);
  parent.reset();
  if (r.listed) SubfoldersOf(*p.walk, r.self, key, path, depth, r.entries, &subs);
  lock.lock();
  auto it = p.folders.find(key);
  if (it->second.dropped) {
    p.folders.erase(it);
    --p.held;
    FreedRoom(p);
    subs.clear();
    return;
  }
  it->second.state = Ahead::State::Listed;
  it->second.parent.reset();
  it->second.result = std::move(r);
  AddWaiting(p, subs);
  if (p.walkWaits) p.listed.notify_one();
}

// A walker thread: lists the first Waiting folder while there is room
// ahead of the walk, until the walk ends.
void ListAhead(Pool* p) {
  const Walk& w = *p->walk;
  std::vector<std::pair<FolderKey, Ahead>> subs;
  std::unique_lock<std::mutex> lock(p->lock);
  for (;;) {
    if (p->stop) return;
    if (p->waiting.empty() || p->held >= kAheadFolders || (w.cancelled && w.cancelled())) {
      if (p->held >= kAheadFolders) p->roomWanted = true;
      ++p->idle;
      p->work.wait(lock);
      --p->idle;
      continue;
    }
    ListFirstWaiting(*p, lock, subs);
    g_listedAhead.fetch_add(1);
  }
}

// The walk takes the listing of the subfolder at key: listed ahead, or
// listed now on the walk's own thread when no walker thread has started on
// it. False when the pool does not hold it (the walk opens it itself).
bool TakeListed(Pool& p, const FolderKey& key, Listed* out) {
  std::unique_lock<std::mutex> lock(p.lock);
  for (;;) {
    auto it = p.folders.find(key);
    if (it == p.folders.end()) return false;
    Ahead& a = it->second;
    if (a.state == Ahead::State::Listing) {
      // Rather than sleep, the walk lists the next folder itself.
      if (!p.waiting.empty() && p.held < kAheadFolders) {
        std::vector<std::pair<FolderKey, Ahead>> subs;
        ListFirstWaiting(p, lock, subs);
        continue;
      }
      p.walkWaits = true;
      p.listed.wait(lock);
      p.walkWaits = false;
      continue;
    }
    if (a.state == Ahead::State::Listed) {
      *out = std::move(a.result);
      p.folders.erase(it);
      --p.held;
      FreedRoom(p);
      return true;
    }
    // Still waiting: the walk lists it itself rather than wait for room.
    p.waiting.erase(key);
    FolderRef parent = std::move(a.parent);
    tov::DirEntry entry = a.entry;
    std::wstring path = a.path;
    int depth = a.depth;
    p.folders.erase(it);
    lock.unlock();
    *out = OpenAndList(parent, entry);
    parent.reset();
    std::vector<std::pair<FolderKey, Ahead>> subs;
    if (out->listed) SubfoldersOf(*p.walk, out->self, key, path, depth, out->entries, &subs);
    lock.lock();
    AddWaiting(p, subs);
    return true;
  }
}

// The walk will not enter the subfolder at key: it and everything listed
// below it go.
void DropBelow(Pool& p, const FolderKey& key) {
  std::lock_guard<std::mutex> lock(p.lock);
  for (auto it = p.folders.lower_bound(key); it != p.folders.end() && HasPrefix(it->first, key);) {
    Ahead& a = it->second;
    if (a.state == Ahead::State::Listing) {
      a.dropped = true;
      ++it;
      continue;
    }
    if (a.state == Ahead::State::Waiting) p.waiting.erase(it->first);
    if (a.state == Ahead::State::Listed) --p.held;
    it = p.folders.erase(it);
  }
  p.work.notify_all();
}

void StopPool(Pool& p) {
  {
    std::lock_guard<std::mutex> lock(p.lock);
    p.stop = true;
  }
  p.work.notify_all();
  for (std::thread& t : p.threads) t.join();
  p.folders.clear();
  p.waiting.clear();
}

// ---- The walk ---------------------------------------------------------------------------

// Walks the folder self (at path, depth levels below the target's folder)
// whose listing is entries; key is its place in the walk (the pool's).
void WalkEntries(const Walk& w, Pool* pool, const FolderRef& self, FolderKey& key,
                 const std::wstring& path, int depth, std::vector<tov::DirEntry>& entries);

// Walks a subfolder opened and listed in r (the start of WalkDir, on what
// was listed ahead).
void WalkListed(const Walk& w, Pool* pool, Listed& r, FolderKey& key, const std::wstring& path,
                int depth) {
  if (depth > kMaxWalkDepth || (w.cancelled && w.cancelled())) return;
  if (!r.listed) {
    if (w.fault) w.fault(path, tov::FsFault::Other);
    return;
  }
  WalkEntries(w, pool, r.self, key, path, depth, r.entries);
}

void WalkEntries(const Walk& w, Pool* pool, const FolderRef& self, FolderKey& key,
                 const std::wstring& path, int depth, std::vector<tov::DirEntry>& entries) {
  tov::DirHandle dir = self->dir;
  const Target& t = *w.target;
  EntryPath paths(path);
  if (w.gone) {
    size_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      bool file = !(entries[i].attrs & tov::kAttrDirectory);
      if (file && w.gone(paths, entries[i])) continue;
      if (kept != i) entries[kept] = std::move(entries[i]);
      ++kept;
    }
    entries.resize(kept);
  }
  // A sweep by name patterns leaves a database's files alone; a target
  // without patterns names its folder on purpose and takes everything.
  bool keepFiles = w.filtered && !t.include.empty() && IsDatabaseFolder(entries);
  uint32_t met = 0;
  uint32_t ordinal = 0;  // among the directory entries, as the pool counts them
  for (const tov::DirEntry& e : entries) {
    if (w.cancelled && w.cancelled()) return;
    if ((++met & (kProgressEvery - 1)) == 0) ShowItemProgress();
    if (e.attrs & tov::kAttrDirectory) {
      uint32_t at = ordinal++;
      // Links, junctions and cloud folders are leaves.
      if (e.attrs & (tov::kAttrReparsePoint | tov::kAttrNotLocal)) continue;
      // A whole folder goes with all it holds, whatever the target says.
      if (w.filtered && !t.recursive) continue;
      const std::wstring& sub = paths.Of(e.name);
      key.push_back(at);
      if (w.refuseDir && w.refuseDir(sub)) {
        if (pool) DropBelow(*pool, key);
        key.pop_back();
        continue;
      }
      SetCurPath(sub);
      ShowItemProgress();
      if (g_walkHook) g_walkHook(sub);
      // The child's walk reuses nothing of this folder's path buffer.
      std::wstring subPath = sub;
      Listed r;
      if (pool && TakeListed(*pool, key, &r)) {
        if (!r.self) {
          if (w.fault) w.fault(subPath, r.fault);
          key.pop_back();
          continue;
        }
      } else {
        tov::DirHandle child = tov::OpenSubdir(dir, e, &r.fault);
        if (child == tov::kNoDir) {
          if (w.fault) w.fault(subPath, r.fault);
          key.pop_back();
          continue;
        }
        r.self = std::make_shared<OpenFolder>(child, true);
        if (depth + 1 <= kMaxWalkDepth && !(w.cancelled && w.cancelled()))
          r.listed = tov::ListDirAt(child, &r.entries);
      }
      WalkListed(w, pool, r, key, subPath, depth + 1);
      key.pop_back();
      r = Listed();  // closes the subfolder before it is removed
      if (w.leftDir) w.leftDir(dir, paths, e);
      continue;
    }
    if (!IsPlainLocalFile(e.attrs)) continue;
    if (w.filtered && (keepFiles || !PassesFilter(t, e.name))) continue;
    if (w.file) w.file(dir, paths, e);
  }
}

}  // namespace

int WalkerThreads(int asked) {
  if (asked > 0) return std::min(asked, kMaxWalkerThreads);
  int cores = static_cast<int>(std::thread::hardware_concurrency());
  return std::max(2, std::min(cores, kMaxWalkerThreads));
}

void SetListingThreads(int threads) {
  g_listingThreads.store(threads);
}

int ListingThreads() {
  return g_listingThreads.load();
}

uint64_t FoldersListedAhead() {
  return g_listedAhead.load();
}

void WalkDir(const Walk& w, tov::DirHandle dir, const std::wstring& path, int depth) {
  if (depth > kMaxWalkDepth || (w.cancelled && w.cancelled())) return;
  std::vector<tov::DirEntry> entries;
  if (!tov::ListDirAt(dir, &entries)) {
    if (w.fault) w.fault(path, tov::FsFault::Other);
    return;
  }
  FolderRef self = std::make_shared<OpenFolder>(dir, false);
  FolderKey key;
  if (w.threads == 1) {
    WalkEntries(w, nullptr, self, key, path, depth, entries);
    return;
  }
  // Walker threads only for a folder with subfolders to list.
  Pool pool;
  pool.walk = &w;
  std::vector<std::pair<FolderKey, Ahead>> subs;
  SubfoldersOf(w, self, key, path, depth, entries, &subs);
  if (subs.empty()) {
    WalkEntries(w, nullptr, self, key, path, depth, entries);
    return;
  }
  AddWaiting(pool, subs);
  // The walk's own thread is one of them: it lists too while it would wait.
  int threads = WalkerThreads(w.threads) - 1;
  // A walker thread that cannot be started leaves its share to the others
  // and to the walk itself, which lists every folder no thread started on.
  for (int i = 0; i < threads; ++i) {
    try {
      pool.threads.emplace_back(ListAhead, &pool);
    } catch (...) {
      break;
    }
  }
  WalkEntries(w, &pool, self, key, path, depth, entries);
  StopPool(pool);
}

Walk WalkOf(const Target& t, bool filtered) {
  Walk w;
  w.target = &t;
  w.filtered = filtered;
  w.cancelled = Cancelled;
  w.threads = ListingThreads();
  return w;
}

std::wstring LeafName(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring ParentOf(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return std::wstring();
  return path.substr(0, cut == 2 && path[1] == L':' ? 3 : cut);
}

bool RepeatsEarlierTarget(const RuleItem& item, size_t index) {
  const Target& t = item.targets[index];
  std::wstring folded = tov::LowerAscii(t.path);
  for (size_t i = 0; i < index; ++i) {
    const Target& e = item.targets[i];
    if (e.recursive == t.recursive && e.include == t.include && e.exclude == t.exclude &&
        tov::LowerAscii(e.path) == folded)
      return true;
  }
  return false;
}

bool TakesSingleFile(const Target& t, uint32_t attrs,
                     const std::function<bool(const std::wstring&)>* gone) {
  if (!IsPlainLocalFile(attrs) || !PassesFilter(t, LeafName(t.path))) return false;
  return t.include.empty() || !FolderHoldsDatabase(ParentOf(t.path), gone);
}

}  // namespace tamsel
