// The one recursion every walk of the engine shares, the filters it
// applies to names, and the rules of a target that every walker applies
// before it walks.
#include "engine/walk.h"

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

}  // namespace

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

void WalkDir(const Walk& w, tov::DirHandle dir, const std::wstring& path, int depth) {
  if (depth > kMaxWalkDepth || (w.cancelled && w.cancelled())) return;
  std::vector<tov::DirEntry> entries;
  if (!tov::ListDirAt(dir, &entries)) {
    if (w.fault) w.fault(path, tov::FsFault::Other);
    return;
  }
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
  for (const tov::DirEntry& e : entries) {
    if (w.cancelled && w.cancelled()) return;
    if ((++met & (kProgressEvery - 1)) == 0) ShowItemProgress();
    if (e.attrs & tov::kAttrDirectory) {
      // Links, junctions and cloud folders are leaves.
      if (e.attrs & (tov::kAttrReparsePoint | tov::kAttrNotLocal)) continue;
      // A whole folder goes with all it holds, whatever the target says.
      if (w.filtered && !t.recursive) continue;
      const std::wstring& sub = paths.Of(e.name);
      if (w.refuseDir && w.refuseDir(sub)) continue;
      SetCurPath(sub);
      ShowItemProgress();
      if (g_walkHook) g_walkHook(sub);
      tov::FsFault fault = tov::FsFault::None;
      tov::DirHandle child = tov::OpenSubdir(dir, e, &fault);
      if (child == tov::kNoDir) {
        if (w.fault) w.fault(sub, fault);
        continue;
      }
      // The child's walk reuses nothing of this folder's path buffer.
      std::wstring subPath = sub;
      WalkDir(w, child, subPath, depth + 1);
      tov::CloseDir(child);
      if (w.leftDir) w.leftDir(dir, paths, e);
      continue;
    }
    if (!IsPlainLocalFile(e.attrs)) continue;
    if (w.filtered && (keepFiles || !PassesFilter(t, e.name))) continue;
    if (w.file) w.file(dir, paths, e);
  }
}

Walk WalkOf(const Target& t, bool filtered) {
  Walk w;
  w.target = &t;
  w.filtered = filtered;
  w.cancelled = Cancelled;
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
