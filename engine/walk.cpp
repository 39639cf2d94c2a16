// The one recursion every walk of the engine shares, the filters it
// applies to names, and the rules of a target that every walker applies
// before it walks.
#include "engine/walk.h"

#include <algorithm>
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

}  // namespace

RuleItem ExpandItem(const RuleItem& item, std::vector<ExpandNote>* notes) {
  RuleItem out = item;
  bool any = false;
  for (const Target& t : item.targets) any = any || IsWildcardTarget(t);
  if (!any) return out;
  out.targets.clear();
  for (const Target& t : item.targets) {
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
