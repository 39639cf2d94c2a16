// Randomised deletion test. For each seed: a small tree on drive C (file
// names that do and do not match the patterns, in mixed letter case,
// read-only files, nested folders, folders named like files, directory
// links pointing outside every target), a random catalogue of items over it
// (modes files, dir and measure; recursive or not; include and exclude
// lists; targets that are folders, single files, missing, or reached
// through a link) and a random selection, with, in some seeds, the user's
// choices in play: files on the skip list, a protected folder or file, and
// an age filter over files of mixed ages. Then a dry run and a real clean.
//
// A model written here from the documented rules predicts, item by item,
// what each run counts and which entries the real clean removes:
// - filters look at the file's own name only; an empty include list takes
//   every file, an empty pattern matches nothing; an exclude entry with a
//   wildcard is matched against the whole name, one without is a suffix
//   test; ASCII letters only compare without regard to case;
// - links are never followed; a target with a link on its path is refused
//   and reported once; a "files" item never removes folders; a "dir" item
//   removes everything below its target except links (and the folders that
//   still hold one), then the target; a "measure" item removes nothing;
// - items run in catalogue order, so an item sees what earlier ones left;
//   a file several selected items take is counted and deleted once, by the
//   first of them; the dry run counts exactly what the real clean deletes;
// - a file on the skip list is left by every item; a protected file or
//   folder is refused and reported (once per file, once per walk for a
//   folder); the age filter leaves young files of "files" items, and a
//   "dir" item leaves a young file that a selected "files" item takes;
// - a target with an include list never takes a file that lies directly in
//   a database's folder (one holding CURRENT, MANIFEST-*, *.chk, *.jrs or
//   *.edb); cloud placeholders are never counted or removed, so the folders
//   that hold them stay; read-only folders go like any other; trees deeper
//   than 260 characters are walked whole.
// The test compares the engine's per-item figures and errors (of the dry
// run and of the real clean alike) with the model's, and the listing of the
// whole fixture tree before and after with the model's removals: nothing
// else may disappear or change. The dry run must leave the listing
// untouched; the real clean's record names each removed file once, under a
// selected item.
//
// Each seed is one test case, the same tree on every platform. The default
// run covers 12 seeds; a soak run covers more, for example:
//   TAMSEL_SOAK_SEEDS=500 build/native/tests/test_deletion_random
// A failing seed keeps its tree at C:\tamsel-rand-<seed> and prints its
// catalogue; rerun it alone with --gtest_filter='*seed<N>'.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/tamsel_engine.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "support/fixture.h"

using tamsel::Category;
using tamsel::ItemMode;
using tamsel::RuleItem;
using tamsel::Target;
using namespace testsupport;

namespace {

const char kReparseFiles[] = "路径含重解析点(junction/symlink)";
const char kReparseDir[] = "路径含重解析点";
const char kProtected[] = "已设为不清理";

// SplitMix64: the same numbers from a seed on every platform and standard
// library, so a seed names the same tree natively and under wine.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  template <class T>
  const T& Pick(const std::vector<T>& v) {
    return v[Below(v.size())];
  }

 private:
  uint64_t state_;
};

// ---- The model of the tree --------------------------------------------------------

enum class Kind { File, Dir, Link };

struct Node {
  Kind kind = Kind::File;
  uint64_t size = 0;
  bool readOnly = false;     // a file's read-only attribute, or a read-only folder
  bool placeholder = false;  // a file that is not on the disk (cloud placeholder)
  bool young = false;        // written after the age filter's cutoff
};

// The user's choices of one seed, by relative name.
struct Choices {
  std::set<std::string> skip;
  std::string protect;  // a folder or file, or empty
  bool age = false;     // the age filter is on
};

// Entries by relative name, '/'-separated, exactly as ListTree names them.
using Model = std::map<std::string, Node>;

std::string LeafOf(const std::string& key) {
  size_t cut = key.rfind('/');
  return cut == std::string::npos ? key : key.substr(cut + 1);
}

std::vector<std::string> ChildrenOf(const Model& m, const std::string& key) {
  std::vector<std::string> out;
  std::string prefix = key + "/";
  for (auto it = m.lower_bound(prefix);
       it != m.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
    if (it->first.find('/', prefix.size()) == std::string::npos) out.push_back(it->first);
  return out;
}

// ---- The documented name filter, written independently ---------------------------

wchar_t Fold(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
}

// Whole-name wildcard match by exhaustive table: * any run, ? one character.
bool Glob(const std::wstring& p, const std::wstring& s) {
  std::vector<std::vector<char>> m(p.size() + 1, std::vector<char>(s.size() + 1, 0));
  m[p.size()][s.size()] = 1;
  for (size_t i = p.size(); i-- > 0;)
    for (size_t j = s.size() + 1; j-- > 0;) {
      if (p[i] == L'*')
        m[i][j] = m[i + 1][j] || (j < s.size() && m[i][j + 1]);
      else if (j < s.size() && (p[i] == L'?' || Fold(p[i]) == Fold(s[j])))
        m[i][j] = m[i + 1][j + 1];
    }
  return m[0][0];
}

bool EndsWithFolded(const std::wstring& name, const std::wstring& tail) {
  if (name.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i)
    if (Fold(name[name.size() - tail.size() + i]) != Fold(tail[i])) return false;
  return true;
}

bool Takes(const Target& t, const std::string& utf8Name) {
  std::wstring name = tov::Utf8ToWide(utf8Name);
  if (!t.include.empty()) {
    bool any = false;
    for (const std::wstring& p : t.include) any = any || (!p.empty() && Glob(p, name));
    if (!any) return false;
  }
  for (const std::wstring& p : t.exclude) {
    if (p.empty()) continue;
    bool wild = p.find_first_of(L"*?") != std::wstring::npos;
    if (wild ? Glob(p, name) : EndsWithFolded(name, p)) return false;
  }
  return true;
}

// Files that mark a database's folder, matched against whole names.
bool IsDatabaseMarker(const std::string& utf8Name) {
  std::wstring name = tov::Utf8ToWide(utf8Name);
  for (const wchar_t* m : {L"CURRENT", L"MANIFEST-*", L"*.chk", L"*.jrs", L"*.edb"})
    if (Glob(m, name)) return true;
  return false;
}

// ---- The oracle -------------------------------------------------------------------------

struct Expect {
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t skipped = 0;
  std::vector<std::string> errors;
  std::vector<std::string> counted;  // the files counted, in any order, repeats kept
};

class Oracle {
 public:
  Oracle(Model model, std::wstring root, bool dryRun, Choices choices = Choices())
      : m_(std::move(model)), root_(std::move(root)), dry_(dryRun), ch_(std::move(choices)) {}

  // Items in catalogue order, each selected one once, as the engine visits them.
  std::vector<std::pair<std::string, Expect>> Run(const std::vector<Category>& cats,
                                                  const std::vector<std::string>& ids) {
    std::set<std::string> wanted(ids.begin(), ids.end());
    std::vector<std::pair<std::string, Expect>> out;
    for (const Category& c : cats)
      for (const RuleItem& item : c.items)
        if (wanted.count(item.id) && item.mode == ItemMode::Files)
          for (const Target& t : item.targets) aged_.push_back(t);
    for (const Category& c : cats)
      for (const RuleItem& item : c.items) {
        if (!wanted.count(item.id)) continue;
        Expect e;
        ageHere_ = item.mode == ItemMode::Files;
        for (const Target& t : item.targets) {
          if (item.mode == ItemMode::Dir)
            DirTarget(t, e);
          else if (item.mode == ItemMode::Measure)
            MeasureTarget(t, e);
          else
            FilesTarget(t, e);
        }
        out.emplace_back(item.id, e);
      }
    return out;
  }

  const std::set<std::string>& Removed() const { return removed_; }

 private:
  std::string KeyOf(const std::wstring& path) const {
    std::string key = tov::WideToUtf8(path.substr(root_.size() + 1));
    for (char& c : key)
      if (c == '\\') c = '/';
    return key;
  }

  // Whether the entry or one of its ancestors is a link.
  bool LinkOnWay(const std::string& key) const {
    for (size_t end = 0; end != std::string::npos;) {
      end = key.find('/', end + 1);
      auto it = m_.find(key.substr(0, end));
      if (it != m_.end() && it->second.kind == Kind::Link) return true;
    }
    return false;
  }

  const Node* Find(const std::string& key) const {
    auto it = m_.find(key);
    return it == m_.end() ? nullptr : &it->second;
  }

  void Count(const std::string& key, Expect& e) {
    e.files++;
    e.bytes += m_[key].size;
    e.counted.push_back(key);
  }

  void Remove(const std::string& key) {
    if (dry_) return;
    m_.erase(key);
    removed_.insert(key);
  }

  void Refuse(const Target& t, const char* reason, Expect& e) {
    RefuseKey(KeyOf(t.path), reason, e);
  }
  void RefuseKey(const std::string& key, const char* reason, Expect& e) {
    e.skipped++;
    if (e.errors.size() < tamsel::kMaxErrors)
      e.errors.push_back(tov::WideToUtf8(WinPathOf(key)) + " : " + reason);
  }
  std::wstring WinPathOf(const std::string& key) const {
    std::wstring w = tov::Utf8ToWide(key);
    for (wchar_t& c : w)
      if (c == L'/') c = L'\\';
    return root_ + L"\\" + w;
  }

  bool Protected(const std::string& key) const {
    const std::string& p = ch_.protect;
    return !p.empty() && (key == p || key.compare(0, p.size() + 1, p + "/") == 0);
  }

  // Whether a selected "files" item's target takes the file by its folder,
  // recursion and filters (what a "dir" item asks before it takes a young
  // file).
  bool AgedItemTakes(const std::string& key) const {
    for (const Target& t : aged_) {
      std::string tk = KeyOf(t.path);
      bool under =
          key == tk || (key.compare(0, tk.size() + 1, tk + "/") == 0 &&
                        (t.recursive || key.find('/', tk.size() + 1) == std::string::npos));
      if (under && Takes(t, LeafOf(key))) return true;
    }
    return false;
  }

  // What becomes of a file the target takes, before it is counted: true
  // when it goes. Left (skip list, too young) and refused (protected, once
  // per file) files stay.
  bool Goes(const std::string& key, bool measure, bool dirMode, Expect& e) {
    if (ch_.skip.count(key)) return false;
    if (measure) return !Protected(key);
    if (refused_.count(key)) return false;  // left to the item that refused it
    const Node& n = m_[key];
    if (ch_.age && n.young && (ageHere_ || (dirMode && AgedItemTakes(key)))) return false;
    if (Protected(key)) {
      refused_.insert(key);
      RefuseKey(key, kProtected, e);
      return false;
    }
    return true;
  }

  // Whether a database lies directly in the folder, as the tree is now.
  bool HoldsDatabase(const std::string& dir) const {
    for (const std::string& c : ChildrenOf(m_, dir))
      if (m_.at(c).kind == Kind::File && IsDatabaseMarker(LeafOf(c))) return true;
    return false;
  }

  // A real file that the target's filters take, outside any database folder
  // when the target sweeps by patterns.
  bool TakesFile(const Target& t, const std::string& key, const Node& n) const {
    if (n.kind != Kind::File || n.placeholder || !Takes(t, LeafOf(key))) return false;
    size_t cut = key.rfind('/');
    return t.include.empty() || !HoldsDatabase(key.substr(0, cut));
  }

  // Files under a folder that pass the filter; links are leaves. A
  // database folder is judged once, before any of its files goes.
  void FilesBelow(const Target& t, const std::string& dir, bool remove, Expect& e) {
    bool database = !t.include.empty() && HoldsDatabase(dir);
    for (const std::string& c : ChildrenOf(m_, dir)) {
      const Node& n = m_[c];
      if (n.kind == Kind::Dir) {
        if (!t.recursive) continue;
        if (Protected(c)) {
          if (remove) RefuseKey(c, kProtected, e);  // a measure just does not enter
          continue;
        }
        FilesBelow(t, c, remove, e);
      } else if (!database && n.kind == Kind::File && !n.placeholder && Takes(t, LeafOf(c)) &&
                 Goes(c, !remove, false, e)) {
        Count(c, e);
        if (remove) Remove(c);
      }
    }
  }

  void FilesTarget(const Target& t, Expect& e) {
    std::string key = KeyOf(t.path);
    if (Protected(key)) return Refuse(t, kProtected, e);
    if (LinkOnWay(key)) return Refuse(t, kReparseFiles, e);
    const Node* n = Find(key);
    if (!n) return;
    if (n->kind == Kind::Dir) return FilesBelow(t, key, true, e);
    if (TakesFile(t, key, *n) && Goes(key, false, false, e)) {
      Count(key, e);
      Remove(key);
    }
  }

  void MeasureTarget(const Target& t, Expect& e) {
    std::string key = KeyOf(t.path);
    if (LinkOnWay(key) || Protected(key)) return;  // a walk never goes through a link
    const Node* n = Find(key);
    if (!n) return;
    if (n->kind == Kind::Dir) return FilesBelow(t, key, false, e);
    if (TakesFile(t, key, *n) && Goes(key, true, false, e)) Count(key, e);
  }

  // Everything below goes except links and placeholders; a folder goes once
  // it is empty.
  void EmptyFolder(const std::string& dir, Expect& e) {
    for (const std::string& c : ChildrenOf(m_, dir)) {
      Kind k = m_[c].kind;
      if (k == Kind::File && !m_[c].placeholder) {
        if (!Goes(c, false, true, e)) continue;
        Count(c, e);
        Remove(c);
      } else if (k == Kind::Dir) {
        if (Protected(c)) {
          RefuseKey(c, kProtected, e);
          continue;
        }
        EmptyFolder(c, e);
        if (ChildrenOf(m_, c).empty()) Remove(c);
      }
    }
  }

  void DirTarget(const Target& t, Expect& e) {
    std::string key = KeyOf(t.path);
    if (Protected(key)) return Refuse(t, kProtected, e);
    if (LinkOnWay(key)) return Refuse(t, kReparseDir, e);
    const Node* n = Find(key);
    if (!n || n->kind != Kind::Dir) return;
    EmptyFolder(key, e);
    if (ChildrenOf(m_, key).empty()) Remove(key);
  }

  Model m_;
  std::wstring root_;
  bool dry_;
  Choices ch_;
  std::vector<Target> aged_;       // the targets of the selected "files" items
  bool ageHere_ = false;           // the item being run is a "files" item
  std::set<std::string> refused_;  // protected files refused already
  std::set<std::string> removed_;
};

// ---- One seed's tree and catalogue -----------------------------------------------------

struct Fixture {
  std::wstring root;
  Model model;
  std::vector<std::string> dirs;   // folders under "t", "t" included; none through a link
  std::vector<std::string> files;  // files under "t"
  std::vector<std::string> links;  // links under "t"
  std::vector<std::string> outside;
  std::string linkNote;
  std::string placeholderNote;
  std::string readOnlyNote;
};

std::wstring WinPath(const std::wstring& root, const std::string& key) {
  std::wstring w = tov::Utf8ToWide(key);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  return root + L"\\" + w;
}

// Names are unique without regard to case (a counter in every name), since
// under wine the file system folds case.
std::string FileName(Rng& r, int n) {
  static const std::vector<std::string> kBase = {"f",   "keep", "ThumbCache_", "thumbcache",
                                                 "LOG", "x",    "临时",        "Ä"};
  static const std::vector<std::string> kExt = {
      ".tmp", ".TMP", ".Tmp", ".log",  ".LOG",     ".pf", ".PF", ".pF", ".Pf", ".db",
      ".DB",  ".txt", "",     ".tmpx", ".old.tmp", "x",   "X",   "ä",   "Ä",   ".dat"};
  return r.Pick(kBase) + std::to_string(n) + r.Pick(kExt);
}

std::string DirName(Rng& r, int n) {
  static const std::vector<std::string> kBase = {"d", "Cache", "sub", "Logs"};
  static const std::vector<std::string> kExt = {"", "", "", ".tmp", ".LOG"};
  return r.Pick(kBase) + std::to_string(n) + r.Pick(kExt);
}

int Depth(const std::string& key) {
  int d = 0;
  for (char c : key) d += c == '/';
  return d;
}

// Files that are not young were last written thirty days ago (in whole
// seconds, which every file system here keeps exactly); the age filter of a
// seed that uses it takes files of seven days and older.
const uint64_t kOldFileTime =
    (tov::NowFileTime() - 30 * tamsel::kFileTimeDay) / 10000000 * 10000000;

// The user's choices for one seed: none in some seeds (the plain rules),
// else a few files on the skip list, perhaps a protected folder or file,
// and perhaps the age filter.
Choices MakeChoices(Rng& r, const Fixture& fx, tamsel::TaskOptions* opt) {
  Choices ch;
  if (r.Chance(35)) return ch;
  for (const std::string& f : fx.files)
    if (r.Chance(12)) {
      ch.skip.insert(f);
      opt->skip.insert(tov::LowerAscii(WinPath(fx.root, f)));
    }
  if (r.Chance(60)) {
    ch.protect = r.Chance(50) && fx.dirs.size() > 1 ? fx.dirs[1 + r.Below(fx.dirs.size() - 1)]
                                                    : r.Pick(fx.files);
    opt->protect.push_back(WinPath(fx.root, ch.protect));
  }
  if (r.Chance(60)) {
    ch.age = true;
    opt->cutoff = tamsel::AgeCutoff(tov::NowFileTime(), 7);
  }
  return ch;
}

::testing::AssertionResult Plant(Fixture& fx, Rng& r) {
  int counter = 0;
  fx.model["t"] = Node{Kind::Dir};
  fx.dirs.push_back("t");
  size_t nd = 3 + r.Below(5);
  for (size_t i = 0; i < nd; ++i) {
    std::vector<std::string> parents;
    for (const std::string& d : fx.dirs)
      if (Depth(d) < 3) parents.push_back(d);
    std::string key = r.Pick(parents) + "/" + DirName(r, counter++);
    fx.model[key] = Node{Kind::Dir};
    fx.dirs.push_back(key);
  }
  // A chain of folders deeper than 260 characters, for files to land in.
  if (r.Chance(50)) {
    std::string key = "t";
    for (int level = 0; level < 12; ++level) {
      key += "/deep-" + std::to_string(counter++) + "-long-folder-name";
      fx.model[key] = Node{Kind::Dir};
      fx.dirs.push_back(key);
    }
  }
  size_t nf = 15 + r.Below(21);
  for (size_t i = 0; i < nf; ++i) {
    std::string key = r.Pick(fx.dirs) + "/" + FileName(r, counter++);
    Node n{Kind::File, r.Chance(15) ? 0 : 1 + r.Below(4000), r.Chance(20)};
    n.placeholder = r.Chance(8);
    n.young = r.Chance(35);
    fx.model[key] = n;
    fx.files.push_back(key);
  }
  // Database folders: a marker file beside logs that sweeps must leave.
  static const std::vector<std::string> kMarkers = {"CURRENT",  "MANIFEST-000001", "V01.chk",
                                                    "res1.JRS", "WebCache.edb",    "manifest-9"};
  for (size_t nj = r.Below(3); nj > 0; --nj) {
    std::string dir = r.Pick(fx.dirs);
    std::string marker = dir + "/" + r.Pick(kMarkers);
    if (fx.model.count(marker)) continue;
    fx.model[marker] = Node{Kind::File, 1 + r.Below(4000), r.Chance(20)};
    fx.files.push_back(marker);
    std::string log = dir + "/" + std::to_string(counter++) + ".log";
    fx.model[log] = Node{Kind::File, 1 + r.Below(4000), false};
    fx.files.push_back(log);
  }
  // Read-only folders (not "t" itself, so that the tree can be planted).
  for (size_t i = 1; i < fx.dirs.size(); ++i)
    if (r.Chance(15)) fx.model[fx.dirs[i]].readOnly = true;
  // Empty folders: a walk that wrongly removes folders shows at once there.
  for (size_t ne = 1 + r.Below(2); ne > 0; --ne) {
    std::string key = r.Pick(fx.dirs) + "/empty" + std::to_string(counter++);
    fx.model[key] = Node{Kind::Dir};
    fx.dirs.push_back(key);
  }
  // Folders that links point at: files whose names every filter would take.
  for (int o = 0; o < 2; ++o) {
    std::string dir = "outside/o" + std::to_string(o);
    fx.model["outside"] = Node{Kind::Dir};
    fx.model[dir] = Node{Kind::Dir};
    fx.model[dir + "/in"] = Node{Kind::Dir};
    for (const char* name : {"a.tmp", "b.log", "c.pf", "ThumbCache_1.db", "in/d.tmp"})
      fx.model[dir + "/" + name] = Node{Kind::File, 100 + r.Below(900), r.Chance(20)};
    fx.outside.push_back(dir);
  }
  std::vector<std::pair<std::string, std::string>> wantLinks;
  size_t nl = 1 + r.Below(3);
  for (size_t i = 0; i < nl; ++i)
    wantLinks.emplace_back(r.Pick(fx.dirs) + "/lnk" + std::to_string(counter++),
                           r.Pick(fx.outside));

  for (auto& kv : fx.model) {
    std::wstring p = WinPath(fx.root, kv.first);
    std::string why;
    bool ok = kv.second.kind == Kind::Dir ? MakeDir(p)
              : kv.second.placeholder     ? PlantPlaceholder(p, kv.second.size, &why)
                                          : PlantFile(p, kv.second.size, kv.second.readOnly,
                                                  kv.second.young ? 0 : kOldFileTime);
    if (!ok && kv.second.placeholder) {
      // Wine keeps no placeholder attribute: an ordinary file then.
      fx.placeholderNote = why;
      kv.second.placeholder = false;
      ok = PlantFile(p, kv.second.size, kv.second.readOnly, kv.second.young ? 0 : kOldFileTime);
    }
    if (!ok) return ::testing::AssertionFailure() << "cannot plant " << kv.first;
  }
  // Folders are made read-only once everything inside them is planted.
  for (auto it = fx.model.rbegin(); it != fx.model.rend(); ++it)
    if (it->second.kind == Kind::Dir && it->second.readOnly &&
        !MakeReadOnlyDir(WinPath(fx.root, it->first)))
      fx.readOnlyNote = "this system keeps no read-only folders";
  for (const auto& l : wantLinks) {
    std::string why;
    if (!PlantDirLink(WinPath(fx.root, l.first), WinPath(fx.root, l.second), &why)) {
      // mingw's standard library cannot make links, so neither can the
      // Windows build under wine: that build runs without the link part.
      fx.linkNote = why;
      break;
    }
    fx.model[l.first] = Node{Kind::Link};
    fx.links.push_back(l.first);
  }
  return ::testing::AssertionSuccess();
}

// Folders most of the time, the top one often (so that walks cover much of
// the tree), single files, missing paths, and paths through a link.
std::string TargetKey(Rng& r, Fixture& fx, ItemMode mode, int* counter) {
  size_t roll = r.Below(100);
  std::string dir = r.Chance(30) ? std::string("t") : r.Pick(fx.dirs);
  std::string missing = r.Pick(fx.dirs) + "/gone" + std::to_string((*counter)++);
  if (!fx.links.empty() && mode != ItemMode::Measure && roll >= 88) {
    std::string link = r.Pick(fx.links);
    static const std::vector<std::string> kInside = {"", "/in", "/a.tmp", "/in/d.tmp", "/nothing"};
    return link + r.Pick(kInside);
  }
  if (mode == ItemMode::Dir) {
    if (roll < 75) return dir;
    if (roll < 82) return r.Pick(fx.files);
    return missing;
  }
  if (roll < 60) return dir;
  if (roll < 80) return r.Pick(fx.files);
  return missing;
}

std::vector<Category> MakeCatalogue(Rng& r, Fixture& fx) {
  static const std::vector<std::wstring> kInclude = {
      L"*.tmp", L"*.log", L"ThumbCache*.db", L"*.pf", L"*.TMP", L"f?*",
      L"*",     L"",      L"*.t?p",          L"ä*",   L"*Ä",    L"keep*"};
  static const std::vector<std::wstring> kExclude = {
      L".pf", L"keep*", L".LOG", L"*.db", L"", L"x", L"*.t?p", L"ä", L"Ä", L".tmp", L"thumbcache*"};
  int counter = 0;
  std::vector<Category> cats(1 + r.Below(2));
  for (size_t c = 0; c < cats.size(); ++c) cats[c].id = cats[c].name = "c" + std::to_string(c);
  size_t ni = 2 + r.Below(5);
  for (size_t i = 0; i < ni; ++i) {
    size_t roll = r.Below(100);
    ItemMode mode = roll < 55 ? ItemMode::Files : roll < 75 ? ItemMode::Dir : ItemMode::Measure;
    std::string id = "i" + std::to_string(i);
    RuleItem item = tamsel::MkItem(id.c_str(), id.c_str(), tamsel::Risk::Low, mode, true, "");
    std::set<std::string> used;
    size_t nt = 1 + r.Below(3);
    for (size_t k = 0; k < nt; ++k) {
      std::string key = TargetKey(r, fx, mode, &counter);
      // A repeated target is walked once; the model leaves repeats out.
      if (!used.insert(key).second) continue;
      Target t = tamsel::T(WinPath(fx.root, key).c_str(), r.Chance(70), false);
      if (!r.Chance(45))
        for (size_t n = 1 + r.Below(2); n > 0; --n) tamsel::Inc(t, r.Pick(kInclude).c_str());
      if (!r.Chance(50))
        for (size_t n = 1 + r.Below(2); n > 0; --n) tamsel::Exc(t, r.Pick(kExclude).c_str());
      item.targets.push_back(t);
    }
    cats[r.Below(cats.size())].items.push_back(item);
  }
  return cats;
}

std::vector<std::string> MakeSelection(Rng& r, const std::vector<Category>& cats) {
  std::vector<std::string> ids;
  for (const Category& c : cats)
    for (const RuleItem& item : c.items)
      if (r.Chance(70)) ids.push_back(item.id);
  if (r.Chance(15)) ids.push_back("no-such-item");
  if (!ids.empty() && r.Chance(15)) ids.push_back(ids.front());
  return ids;
}

std::string Describe(const std::vector<Category>& cats, const std::vector<std::string>& ids,
                     const Listing& before) {
  std::ostringstream o;
  o << "selection:";
  for (const std::string& id : ids) o << " " << id;
  o << "\n";
  for (const Category& c : cats)
    for (const RuleItem& item : c.items) {
      o << c.id << "/" << item.id << " mode " << tamsel::ItemModeName(item.mode) << "\n";
      for (const Target& t : item.targets) {
        o << "  " << tov::WideToUtf8(t.path) << (t.recursive ? " recursive" : " flat");
        for (const std::wstring& p : t.include) o << " +[" << tov::WideToUtf8(p) << "]";
        for (const std::wstring& p : t.exclude) o << " -[" << tov::WideToUtf8(p) << "]";
        o << "\n";
      }
    }
  o << "tree before:\n";
  for (const auto& kv : before) o << "  " << kv.first << "  " << kv.second << "\n";
  return o.str();
}

void ExpectSameStats(const tamsel::ResultList& got,
                     const std::vector<std::pair<std::string, Expect>>& want, const char* run) {
  ASSERT_EQ(got.size(), want.size()) << run << ": items in the result";
  for (size_t i = 0; i < got.size(); ++i) {
    const std::string& id = want[i].first;
    const Expect& e = want[i].second;
    const tamsel::ItemStat& s = got[i].second;
    EXPECT_EQ(got[i].first, id) << run << ": result order";
    EXPECT_EQ(s.files, e.files) << run << " " << id << ": files";
    EXPECT_EQ(s.bytes, e.bytes) << run << " " << id << ": bytes";
    EXPECT_EQ(s.skipped, e.skipped) << run << " " << id << ": skipped";
    EXPECT_EQ(s.errors, e.errors) << run << " " << id << ": errors";
  }
}

std::vector<int> Seeds() {
  int n = 12;
  if (const char* soak = std::getenv("TAMSEL_SOAK_SEEDS"))
    if (atoi(soak) > 0) n = atoi(soak);
  std::vector<int> seeds;
  for (int i = 1; i <= n; ++i) seeds.push_back(i);
  return seeds;
}

class RandomDeletion : public ::testing::TestWithParam<int> {};

TEST_P(RandomDeletion, DeletesExactlyWhatTheRulesSelect) {
  const int seed = GetParam();
  Rng r(static_cast<uint64_t>(seed));
  EnsureDriveC();
  Fixture fx;
  fx.root = L"C:\\tamsel-rand-" + std::to_wstring(seed);
  RemoveTree(fx.root);
  ASSERT_TRUE(MakeDir(fx.root));
  ASSERT_TRUE(Plant(fx, r));
  if (!fx.linkNote.empty())
    std::cout << "[ note ] seed " << seed << " without links: " << fx.linkNote << "\n";
  if (!fx.placeholderNote.empty())
    std::cout << "[ note ] seed " << seed << " without placeholders: " << fx.placeholderNote
              << "\n";
  if (!fx.readOnlyNote.empty())
    std::cout << "[ note ] seed " << seed << " without read-only folders: " << fx.readOnlyNote
              << "\n";

  std::vector<Category> cats = MakeCatalogue(r, fx);
  std::vector<std::string> ids = MakeSelection(r, cats);
  tamsel::TaskOptions opt;
  Choices choices = MakeChoices(r, fx, &opt);
  const Listing before = ListTree(fx.root);
  ASSERT_EQ(before.size(), fx.model.size()) << "the planted tree differs from its model";
  std::string described = Describe(cats, ids, before);
  described += "skip:";
  for (const std::string& k : choices.skip) described += " " + k;
  described +=
      "\nprotect: " + choices.protect + "\nage filter: " + (choices.age ? "7 days" : "off");
  SCOPED_TRACE("seed " + std::to_string(seed) + "\n" + described);

  Oracle realModel(fx.model, fx.root, false, choices);
  auto realWant = realModel.Run(cats, ids);

  // The dry run: the real clean's figures and refusals exactly, and not one
  // entry touched.
  tamsel::ResultList dry;
  tamsel::CleanItems(cats, ids, true, dry, opt);
  EXPECT_EQ(ListTree(fx.root), before) << "the dry run changed the tree";
  ExpectSameStats(dry, realWant, "dry run");

  // The real clean, through the background task as the API starts it, its
  // record kept: which item deleted what.
  std::map<std::string, std::vector<std::string>> deletedBy;  // path -> items
  opt.touched = [&deletedBy](const std::string& item, tamsel::TouchKind kind, uint64_t,
                             const std::wstring& path, const std::wstring&) {
    if (kind == tamsel::TouchKind::Deleted) deletedBy[tov::WideToUtf8(path)].push_back(item);
  };
  ASSERT_TRUE(tamsel::StartClean(cats, ids, false, false, opt));
  ASSERT_TRUE(tamsel::WaitTask(120000));
  tamsel::TaskResults results = tamsel::TaskResultsNow();
  const tamsel::ResultList& real = results.last;
  EXPECT_EQ(results.kind, "clean");
  EXPECT_FALSE(results.dryRun);
  ExpectSameStats(real, realWant, "real clean");
  // What the dry run said each item leaves to an earlier one, the real
  // clean says too.
  for (size_t i = 0; i < dry.size() && i < real.size(); ++i) {
    EXPECT_EQ(dry[i].second.shared, real[i].second.shared) << dry[i].first << ": shared";
    EXPECT_EQ(dry[i].second.sharedWith, real[i].second.sharedWith) << dry[i].first;
  }
  std::set<std::string> selected(ids.begin(), ids.end());
  for (const auto& kv : deletedBy) {
    EXPECT_EQ(kv.second.size(), 1u) << kv.first << " deleted more than once";
    for (const std::string& item : kv.second)
      EXPECT_TRUE(selected.count(item)) << kv.first << " deleted by " << item;
  }

  const Listing after = ListTree(fx.root);
  EXPECT_EQ(Gone(before, after), realModel.Removed()) << "removed entries";
  EXPECT_EQ(AddedOrChanged(before, after), std::set<std::string>()) << "entries that changed";
  for (const std::string& l : fx.links) {
    auto it = after.find(l);
    EXPECT_TRUE(it != after.end() && it->second == "link") << "link " << l << " was removed";
  }
  for (const auto& kv : before) {
    if (kv.first.compare(0, 8, "outside/") == 0) {
      EXPECT_EQ(after.count(kv.first), 1u) << kv.first << " was reached through a link";
    }
  }

  // Every file the clean removed is in its record, once.
  for (const std::string& key : Gone(before, after)) {
    if (before.at(key) == "dir") continue;
    std::string path = tov::WideToUtf8(WinPath(fx.root, key));
    EXPECT_EQ(deletedBy.count(path), 1u) << key << " is gone without a record";
  }
  for (const std::string& k : choices.skip)
    EXPECT_EQ(after.count(k), 1u) << k << " was on the skip list";

  if (!HasFailure()) RemoveTree(fx.root);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomDeletion, ::testing::ValuesIn(Seeds()),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "seed" + std::to_string(info.param);
                         });

}  // namespace
