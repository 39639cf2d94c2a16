// The user's choices as every walk of one item applies them (the age
// filter, the skip list, the protected paths), the one decision per file
// that the scan, the file list, the dry run and the real clean share, the
// files that selected items share, and the record of what a real clean
// touched.
#include <map>
#include <set>

#include "engine/engine_internal.h"
#include "engine/tamsel_engine.h"
#include "text/text.h"

namespace tamsel {
namespace {

// Whether the reach takes a file at the folded full path (by folder and
// recursion; the name filter is the caller's): the target's own path (a
// single-file target), or a file in its folder, at any depth when it
// recurses.
bool Reaches(const Sharing::Reach& r, const std::wstring& folded) {
  if (folded == r.folded) return true;
  size_t n = r.folded.size();
  if (folded.size() <= n + 1 || folded.compare(0, n, r.folded) != 0 || folded[n] != L'\\')
    return false;
  return r.recursive || folded.find(L'\\', n + 1) == std::wstring::npos;
}

// Whether the files two reaches can take may meet: one's path is the
// other's, or lies where the other reaches (a subfolder only when it
// recurses; a single file directly in its folder either way).
bool Nest(const Sharing::Reach& a, const Sharing::Reach& b) {
  return a.folded == b.folded || Reaches(a, b.folded) || Reaches(b, a.folded);
}

std::wstring FoldedTargetPath(const std::wstring& path) {
  std::wstring f = tov::LowerAscii(path);
  while (f.size() > 3 && f.back() == L'\\') f.pop_back();
  return f;
}

}  // namespace

uint64_t AgeCutoff(uint64_t now, int days) {
  if (days <= 0) return 0;
  uint64_t span = static_cast<uint64_t>(days) * kFileTimeDay;
  return now > span ? now - span : 1;
}

Choice ChoiceFor(const RuleItem& item, const TaskOptions& opt, const SafetyContext& safety,
                 bool record) {
  Choice c;
  c.opt = &opt;
  c.safety = &safety;
  c.item = &item.id;
  c.age = item.mode == ItemMode::Files;
  c.cutoff = opt.cutoff;
  if (c.cutoff == 0 && item.minAgeDays > 0)
    c.cutoff = AgeCutoff(tov::NowFileTime(), item.minAgeDays);
  c.record = record;
  return c;
}

bool LeftOut(const Choice& c, EntryPath* paths, const std::wstring* full, const std::wstring& name,
             uint64_t mtime) {
  if (c.age && c.cutoff != 0 && mtime > c.cutoff) return true;
  bool skipList = c.skip && !c.opt->skip.empty();
  if (!skipList && c.safety->protect.empty()) return false;
  const std::wstring& path = full ? *full : paths->Of(name);
  if (skipList && c.opt->skip.count(tov::LowerAscii(path))) return true;
  return IsProtectedPath(*c.safety, path);
}

Sharing SharingOf(const std::vector<Category>& cats, const std::set<std::string>* ids,
                  bool countOnce) {
  Sharing s;
  s.countOnce = countOnce;
  for (const Category& cat : cats) {
    for (const RuleItem& item : cat.items) {
      if (ids && !ids->count(item.id)) continue;
      // A measured item deletes nothing, but a clean's measure of it sees
      // what earlier items took, so its targets are reaches too.
      bool deletes = item.mode == ItemMode::Files || item.mode == ItemMode::Dir ||
                     item.mode == ItemMode::Measure;
      uint32_t index = static_cast<uint32_t>(s.ids.size());
      s.ids.push_back(item.id);
      if (!deletes) continue;
      for (const Target& t : item.targets) {
        if (t.path.empty()) continue;
        Sharing::Reach r;
        r.item = index;
        r.t = &t;
        r.folded = FoldedTargetPath(t.path);
        r.recursive = t.recursive || item.mode == ItemMode::Dir;
        r.filtered = item.mode != ItemMode::Dir;
        r.age = item.mode == ItemMode::Files;
        s.reaches.push_back(r);
      }
    }
  }
  return s;
}

std::vector<const Sharing::Reach*> NestingReaches(const Sharing& s, uint32_t item,
                                                  const Target& t) {
  std::vector<const Sharing::Reach*> out;
  const Sharing::Reach* self = nullptr;
  for (const Sharing::Reach& r : s.reaches)
    if (r.item == item && r.t == &t) self = &r;
  if (!self) return out;
  for (const Sharing::Reach& r : s.reaches) {
    if (&r == self) continue;
    // A target that repeats this one exactly is walked once (see
    // RepeatsEarlierTarget); any other that nests may meet its files.
    if (r.item == item && r.folded == self->folded && r.recursive == self->recursive &&
        r.t->include == t.include && r.t->exclude == t.exclude)
      continue;
    if (Nest(*self, r)) out.push_back(&r);
  }
  return out;
}

Decision Decide(const Choice& c, const Target& t, const std::vector<const Sharing::Reach*>& nest,
                const std::wstring& full, const std::wstring& name, uint64_t mtime, uint64_t size) {
  Decision d;
  if (c.skip && !c.opt->skip.empty() && c.opt->skip.count(tov::LowerAscii(full))) {
    d.verdict = Verdict::LeftSkip;
    return d;
  }
  bool young = c.cutoff != 0 && mtime > c.cutoff;
  // Another target can take this file: whether one does (its name filter),
  // and whether one of those is of an item the age filter applies to.
  Sharing::Met* met = nullptr;
  bool otherAged = false;
  if (c.sharing && !nest.empty()) {
    std::wstring folded = tov::LowerAscii(full);
    bool other = false;
    for (const Sharing::Reach* r : nest) {
      if (!Reaches(*r, folded)) continue;
      // A database's marker matters to a sweep by patterns that reaches it,
      // whose walk reads the folder: it gets a record too.
      bool marker = r->filtered && !r->t->include.empty() && IsDatabaseMarker(name);
      if (r->filtered && !PassesFilter(*r->t, name)) {
        if (marker) other = true;
        continue;
      }
      other = true;
      if (r->age) otherAged = true;
    }
    if (other) {
      auto found = c.sharing->met.find(folded);
      if (found == c.sharing->met.end()) {
        Sharing::Met m;
        m.first = c.index;
        m.size = size;
        // Too young for any item that takes it: left by every one of them.
        m.left = young && (c.age || otherAged);
        met = &c.sharing->met.emplace(std::move(folded), m).first->second;
      } else {
        met = &found->second;
        if (c.sharing->countOnce) {
          if (met->first == c.index) {
            d.verdict = Verdict::Again;
            return d;
          }
          d.verdict = met->left ? Verdict::LeftAge : Verdict::Shared;
          d.earlier = met->first;
          return d;
        }
        if (!met->items.empty() && met->items.back() == c.index) {
          d.verdict = Verdict::Again;
          return d;
        }
      }
    }
  }
  if (young && (c.age || (c.sharing && c.sharing->countOnce && otherAged))) {
    d.verdict = Verdict::LeftAge;
    return d;
  }
  if (!IsSafeDeletePath(*c.safety, full, t.allowSystem, d.reason)) {
    d.verdict = Verdict::Refused;
    return d;
  }
  // A scan counts every item as if alone and notes who took the file.
  if (met && !c.sharing->countOnce) met->items.push_back(c.index);
  if (met && met->first == c.index) met->taken = true;
  return d;
}

bool TakenEarlier(const Choice& c, const std::wstring& full) {
  auto found = c.sharing->met.find(tov::LowerAscii(full));
  return found != c.sharing->met.end() && found->second.first != c.index && found->second.taken;
}

bool TakenEarlierIn(const Choice& c, const Target& t) {
  return c.sharing && c.sharing->countOnce && !NestingReaches(*c.sharing, c.index, t).empty();
}

void CountShared(const Choice& c, const RuleItem& item, ItemStat& stat) {
  if (!c.sharing || !c.sharing->countOnce) return;
  std::vector<const Sharing::Reach*> mine;
  for (const Sharing::Reach& r : c.sharing->reaches)
    if (r.item == c.index) mine.push_back(&r);
  if (mine.empty()) return;
  std::set<uint32_t> with;
  for (const auto& kv : c.sharing->met) {
    const Sharing::Met& m = kv.second;
    if (m.first >= c.index || !m.taken) continue;
    std::wstring leaf = LeafName(kv.first);
    for (const Sharing::Reach* r : mine) {
      if (!Reaches(*r, kv.first) || (r->filtered && !PassesFilter(*r->t, leaf))) continue;
      stat.shared++;
      with.insert(m.first);
      break;
    }
  }
  (void)item;
  for (uint32_t i : with) stat.sharedWith.push_back(c.sharing->ids[i]);
}

std::vector<Overlap> OverlapsOf(const Sharing& s) {
  std::map<std::vector<uint32_t>, Overlap> sets;
  for (const auto& kv : s.met) {
    const Sharing::Met& m = kv.second;
    if (m.items.size() < 2) continue;
    Overlap& o = sets[m.items];
    o.files += 1;
    o.bytes += m.size;
  }
  std::vector<Overlap> out;
  for (auto& kv : sets) {
    for (uint32_t i : kv.first) kv.second.items.push_back(s.ids[i]);
    out.push_back(std::move(kv.second));
  }
  return out;
}

void Touched(const Choice& c, TouchKind kind, uint64_t bytes, const std::wstring& path,
             const std::wstring& reason) {
  if (c.record && c.opt->touched) c.opt->touched(*c.item, kind, bytes, path, reason);
}

}  // namespace tamsel
