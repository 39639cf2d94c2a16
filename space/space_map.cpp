#include "space/space_map.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "engine/walk.h"
#include "ntfs/mft.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "text/text.h"

namespace tamsel {

const char kSpaceLinksNote[] = "硬链接的文件可能被重复计算";

namespace {

// How often a walker thread publishes the folder it reads: every so many
// folders (the text costs a conversion and a lock).
constexpr uint32_t kCurEvery = 16;

// ---- The largest files --------------------------------------------------------------

// The map's order of files: larger first, equal sizes by path. A total
// order, so that the largest files of a tree are the same set whatever
// order the walk met them in.
bool Before(const SpaceFile& a, const SpaceFile& b) {
  if (a.bytes != b.bytes) return a.bytes > b.bytes;
  return a.path < b.path;
}

// A heap of at most kSpaceTopFiles files whose front is the one that
// leaves first.
struct TopHeap {
  std::vector<SpaceFile> files;

  // Whether a file of this size could enter at all (ties need the path).
  bool Wants(uint64_t bytes) const {
    return files.size() < kSpaceTopFiles || bytes >= files.front().bytes;
  }
  void Offer(SpaceFile&& f) {
    if (files.size() < kSpaceTopFiles) {
      files.push_back(std::move(f));
      std::push_heap(files.begin(), files.end(), Before);
      return;
    }
    if (!Before(f, files.front())) return;
    std::pop_heap(files.begin(), files.end(), Before);
    files.back() = std::move(f);
    std::push_heap(files.begin(), files.end(), Before);
  }
};

// ---- The walk ----------------------------------------------------------------------

// A folder waiting to be listed.
struct Pending {
  uint32_t node = 0;
  int depth = 0;
  std::wstring path;
};

// What one thread adds up on its own.
struct ThreadTotals {
  uint64_t kindBytes[kSpaceKindCount] = {};
  uint64_t kindFiles[kSpaceKindCount] = {};
  TopHeap top;
  uint32_t folders = 0;
};

// The state the walker threads share, all of it under `lock`.
struct Walkers {
  std::mutex lock;
  std::condition_variable wake;
  std::vector<Pending> stack;  // last in, first out: the pending set stays small
  int threads = 1;
  int waiting = 0;
  bool stop = false;
  bool cancelled = false;
  SpaceMap* map = nullptr;
  const SpaceWalkOptions* opt = nullptr;
  // Files with several names met so far, by file id, under their own lock.
  std::mutex linkLock;
  std::unordered_set<uint64_t> linked;
  std::atomic<bool> linksUnknown{false};  // a listing that gave no link count
};

// A subfolder or link found in a listing, before it has a node.
struct Found {
  uint32_t entry;
  uint32_t flags;
};

std::wstring ChildPath(const std::wstring& dir, const std::wstring& name) {
  std::wstring p = dir;
  if (p.empty() || p.back() != L'\\') p += L'\\';
  return p + name;
}

void ListOne(Walkers& w, ThreadTotals& t, Pending& job, tov::SpaceListing& listing,
             std::vector<Found>& found, std::vector<Pending>& next) {
  const SpaceWalkOptions& opt = *w.opt;
  if (opt.cur && t.folders++ % kCurEvery == 0) opt.cur(job.path);
  tov::FsFault fault = tov::FsFault::None;
  if (!tov::ListSpaceDir(job.path, &listing, &fault)) {
    uint32_t flag = fault == tov::FsFault::Gone   ? kSpaceGone
                    : fault == tov::FsFault::Link ? kSpaceLink
                                                  : kSpaceDenied;
    std::lock_guard<std::mutex> lock(w.lock);
    w.map->nodes[job.node].flags |= flag;
    return;
  }
  found.clear();
  next.clear();
  uint64_t ownBytes = 0, ownFiles = 0, ownLinks = 0;
  std::string dirText;  // the folder's UTF-8 path, made when a file enters the top list
  for (uint32_t i = 0; i < listing.entries.size(); ++i) {
    const tov::SpaceEntry& e = listing.entries[i];
    if (e.attrs & tov::kAttrDirectory) {
      bool leaf = (e.attrs & (tov::kAttrReparsePoint | tov::kAttrNotLocal)) != 0;
      found.push_back(Found{i, kSpaceDir | (leaf ? kSpaceLink : 0u)});
      continue;
    }
    if (e.attrs & tov::kAttrReparsePoint) {
      found.push_back(Found{i, kSpaceLink});
      continue;
    }
    if (!IsPlainLocalFile(e.attrs)) continue;
    if (e.links == 0) {
      w.linksUnknown = true;
    } else if (e.links > 1) {
      // Counted once, by the folder that meets it first.
      std::lock_guard<std::mutex> lock(w.linkLock);
      if (!w.linked.insert(e.fileId).second) continue;
      ++ownLinks;
    }
    const char* name = listing.names.data() + e.name;
    ownBytes += e.size;
    ++ownFiles;
    size_t kind = SpaceKindOf(name, e.nameLen);
    t.kindBytes[kind] += e.size;
    t.kindFiles[kind] += 1;
    if (!t.top.Wants(e.size)) continue;
    if (dirText.empty()) {
      dirText = W2U(job.path);
      if (dirText.empty() || dirText.back() != '\\') dirText += '\\';
    }
    SpaceFile f;
    f.path.reserve(dirText.size() + e.nameLen);
    f.path = dirText;
    f.path.append(name, e.nameLen);
    f.bytes = e.size;
    f.mtime = e.mtime;
    t.top.Offer(std::move(f));
  }
  // The paths of the subfolders are made before the lock is taken.
  bool deeper = job.depth < kMaxWalkDepth;
  for (const Found& f : found) {
    if ((f.flags & kSpaceLink) || !deeper) continue;
    const tov::SpaceEntry& e = listing.entries[f.entry];
    Pending p;
    p.depth = job.depth + 1;
    p.path = ChildPath(job.path, U2W(std::string(listing.names.data() + e.name, e.nameLen)));
    next.push_back(std::move(p));
  }
  if (opt.files) opt.files->fetch_add(ownFiles);
  if (opt.bytes) opt.bytes->fetch_add(ownBytes);
  std::lock_guard<std::mutex> lock(w.lock);
  SpaceMap& m = *w.map;
  m.nodes[job.node].ownBytes = ownBytes;
  m.nodes[job.node].ownFiles = ownFiles;
  m.nodes[job.node].ownLinks = ownLinks;
  size_t n = 0;
  for (const Found& f : found) {
    const tov::SpaceEntry& e = listing.entries[f.entry];
    SpaceNode node;
    node.parent = job.node;
    node.name = static_cast<uint32_t>(m.names.size());
    node.nameLen = e.nameLen;
    node.flags = f.flags;
    m.names.append(listing.names.data() + e.name, e.nameLen);
    uint32_t index = static_cast<uint32_t>(m.nodes.size());
    m.nodes.push_back(node);
    if ((f.flags & kSpaceLink) || !deeper) continue;
    next[n].node = index;
    w.stack.push_back(std::move(next[n]));
    ++n;
  }
  if (n == 1)
    w.wake.notify_one();
  else if (n > 1)
    w.wake.notify_all();
}

void WalkerThread(Walkers* w, ThreadTotals* t) {
  tov::SpaceListing listing;
  std::vector<Found> found;
  std::vector<Pending> next;
  for (;;) {
    Pending job;
    {
      std::unique_lock<std::mutex> lock(w->lock);
      for (;;) {
        if (w->stop) return;
        if (!w->stack.empty()) {
          job = std::move(w->stack.back());
          w->stack.pop_back();
          break;
        }
        if (++w->waiting == w->threads) {
          // Nobody is listing and nothing waits: the walk is complete.
          w->stop = true;
          w->wake.notify_all();
          return;
        }
        w->wake.wait(lock);
        --w->waiting;
      }
    }
    if (w->opt->cancelled && w->opt->cancelled()) {
      std::lock_guard<std::mutex> lock(w->lock);
      w->cancelled = true;
      w->stop = true;
      w->wake.notify_all();
      return;
    }
    ListOne(*w, *t, job, listing, found, next);
  }
}

// ---- After the walk ------------------------------------------------------------------

// Children grouped by parent, and the totals of every subtree: a parent
// always comes before its children, so one pass from the end adds each
// node into its parent after everything below it was added into it.
void Finish(SpaceMap& m) {
  size_t n = m.nodes.size();
  for (SpaceNode& node : m.nodes) {
    node.childCount = 0;
    node.bytes = node.ownBytes;
    node.files = node.ownFiles;
    node.links = node.ownLinks;
    node.dirs = 0;
    node.denied = (node.flags & kSpaceDenied) ? 1 : 0;
  }
  for (size_t i = 1; i < n; ++i) m.nodes[m.nodes[i].parent].childCount++;
  uint32_t at = 0;
  for (SpaceNode& node : m.nodes) {
    node.firstChild = at;
    at += node.childCount;
    node.childCount = 0;
  }
  m.children.assign(at, 0);
  for (size_t i = 1; i < n; ++i) {
    SpaceNode& p = m.nodes[m.nodes[i].parent];
    m.children[p.firstChild + p.childCount++] = static_cast<uint32_t>(i);
  }
  for (size_t i = n; i-- > 1;) {
    const SpaceNode& c = m.nodes[i];
    if (c.flags & kSpaceGone) continue;
    SpaceNode& p = m.nodes[c.parent];
    p.bytes += c.bytes;
    p.files += c.files;
    p.links += c.links;
    p.denied += c.denied;
    if ((c.flags & kSpaceDir) && !(c.flags & kSpaceLink)) p.dirs += 1 + c.dirs;
  }
}

// Folded ASCII comparison of a UTF-8 name with a wide one converted.
bool SameFolded(const char* a, size_t an, const std::string& b) {
  if (an != b.size()) return false;
  for (size_t i = 0; i < an; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

void MarkTargets(SpaceMap& m, const std::vector<SpaceTarget>& targets) {
  // A target above the root covers the whole map: the longest such wins.
  size_t aboveLen = 0;
  int32_t above = -1;
  auto itemIndex = [&m](const std::string& id) {
    for (size_t i = 0; i < m.items.size(); ++i)
      if (m.items[i] == id) return static_cast<int32_t>(i);
    m.items.push_back(id);
    return static_cast<int32_t>(m.items.size() - 1);
  };
  for (const SpaceTarget& t : targets) {
    if (t.path.empty()) continue;
    if (IsUnderDir(m.root, t.path) && t.path.size() > aboveLen) {
      aboveLen = t.path.size();
      above = itemIndex(t.item);
      continue;
    }
    uint32_t node = FindSpaceNode(m, t.path);
    if (node == kSpaceNone) continue;
    SpaceNode& n = m.nodes[node];
    if (!(n.flags & kSpaceDir) || (n.flags & kSpaceLink) || n.item >= 0) continue;
    n.item = itemIndex(t.item);
  }
  if (above >= 0 && m.nodes[0].item < 0) m.nodes[0].item = above;
}

// ---- Documents ------------------------------------------------------------------------

// The item of a folder: the nearest catalogue target at or above it.
const std::string* ItemOf(const SpaceMap& m, uint32_t node) {
  for (uint32_t i = node; i != kSpaceNone; i = m.nodes[i].parent)
    if (m.nodes[i].item >= 0) return &m.items[static_cast<size_t>(m.nodes[i].item)];
  return nullptr;
}

struct Row {
  uint32_t node;  // kSpaceNone: the files directly in the folder
  uint64_t bytes;
  const char* name;
  uint32_t nameLen;
};

bool RowBefore(const Row& a, const Row& b) {
  if (a.bytes != b.bytes) return a.bytes > b.bytes;
  int c = memcmp(a.name, b.name, std::min(a.nameLen, b.nameLen));
  if (c != 0) return c < 0;
  return a.nameLen < b.nameLen;
}

// folderPath: the folder's path, wide, for the refusals of its rows.
void RowJson(const SpaceMap& m, uint32_t folder, const std::wstring& folderPath,
             const SpaceGuard& guard, const Row& r, tov::JsonWriter& w) {
  std::wstring path = folderPath;
  if (path.back() != L'\\') path += L'\\';
  if (r.node == kSpaceNone) {
    const SpaceNode& f = m.nodes[folder];
    w.BeginObject().Key("name").Str("").Key("dir").Bool(false).Key("link").Bool(false);
    w.Key("bytes").Num(f.ownBytes).Key("files").Num(f.ownFiles).Key("dirs").Num(0);
    if (const std::string* item = ItemOf(m, folder)) w.Key("item").Str(*item);
    // "*" is a name no file can have: the refusal of any file directly in
    // the folder, and of nothing else.
    w.Key("refuse").Str(SpaceRefusal(guard, path + L"*", 0));
    if (f.ownLinks) w.Key("links").Num(f.ownLinks);
    w.EndObject();
    return;
  }
  const SpaceNode& c = m.nodes[r.node];
  bool link = (c.flags & kSpaceLink) != 0;
  std::string name(r.name, r.nameLen);
  w.BeginObject().Key("name").Str(name).Key("dir").Bool((c.flags & kSpaceDir) != 0);
  w.Key("link").Bool(link).Key("bytes").Num(c.bytes).Key("files").Num(c.files);
  w.Key("dirs").Num(c.dirs);
  if (!link)
    if (const std::string* item = ItemOf(m, r.node)) w.Key("item").Str(*item);
  path += U2W(name);
  w.Key("refuse").Str(SpaceRefusal(guard, path, c.flags));
  if (c.links) w.Key("links").Num(c.links);
  w.EndObject();
}

// Removes the files at or below path (UTF-8, as the map spells it) from the
// top list.
void DropTopAt(SpaceMap* m, const std::string& path, bool folder) {
  std::string prefix = path;
  if (!prefix.empty() && prefix.back() != '\\') prefix += '\\';
  auto gone = [&](const SpaceFile& f) {
    if (!folder) return f.path == path;
    return f.path.compare(0, prefix.size(), prefix) == 0;
  };
  m->top.erase(std::remove_if(m->top.begin(), m->top.end(), gone), m->top.end());
}

void TakeOffAbove(SpaceMap* m, uint32_t from, uint64_t bytes, uint64_t files, uint64_t dirs,
                  uint64_t denied) {
  for (uint32_t i = from; i != kSpaceNone; i = m->nodes[i].parent) {
    SpaceNode& n = m->nodes[i];
    n.bytes -= std::min(n.bytes, bytes);
    n.files -= std::min(n.files, files);
    n.dirs -= std::min(n.dirs, dirs);
    n.denied -= std::min(n.denied, denied);
  }
}

void FinishTop(SpaceMap& map, std::vector<ThreadTotals>& totals) {
  SpaceMap* out = &map;
  std::vector<SpaceFile> all;
  for (ThreadTotals& t : totals) {
    for (size_t k = 0; k < kSpaceKindCount; ++k) {
      out->kindBytes[k] += t.kindBytes[k];
      out->kindFiles[k] += t.kindFiles[k];
    }
    for (SpaceFile& f : t.top.files) all.push_back(std::move(f));
  }
  size_t keep = std::min(all.size(), kSpaceTopFiles);
  std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(keep), all.end(),
                    Before);
  all.resize(keep);
  out->top = std::move(all);
}

// The map of a master file table: folders as nodes in the order of a walk
// from the root (a parent before its children), every file once, under its
// first name, in the folder of that name.
bool MapOfTable(const MftTable& t, const SpaceWalkOptions& opt, SpaceMap* out, ThreadTotals& tt) {
  const std::vector<MftRecord>& recs = t.records;
  uint32_t n = static_cast<uint32_t>(recs.size());
  auto shown = [&recs](uint32_t i) {
    const MftRecord& r = recs[i];
    return (r.flags & kMftInUse) && !(r.flags & kMftHidden) && r.nameCount > 0 && i != kMftRoot;
  };
  auto isNode = [](const MftRecord& r) {
    return (r.flags & kMftFolder) || (r.attrs & tov::kAttrReparsePoint);
  };
  // The folders and links below each folder, grouped by parent.
  std::vector<uint32_t> start(static_cast<size_t>(n) + 1, 0);
  for (uint32_t i = 0; i < n; ++i)
    if (shown(i) && isNode(recs[i])) start[t.names[recs[i].firstName].parent + 1]++;
  for (uint32_t i = 0; i < n; ++i) start[i + 1] += start[i];
  std::vector<uint32_t> below(start[n]);
  {
    std::vector<uint32_t> fill(start.begin(), start.end() - 1);
    for (uint32_t i = 0; i < n; ++i)
      if (shown(i) && isNode(recs[i])) below[fill[t.names[recs[i].firstName].parent]++] = i;
  }
  std::vector<uint32_t> nodeOf(n, kSpaceNone);
  std::vector<uint8_t> listed;  // by node: the walk would have listed it
  out->nodes.push_back(SpaceNode());
  out->nodes[0].flags = kSpaceDir;
  listed.push_back(1);
  nodeOf[kMftRoot] = 0;
  struct Job {
    uint32_t record;
    int depth;
  };
  std::vector<Job> stack{{kMftRoot, 0}};
  while (!stack.empty()) {
    Job job = stack.back();
    stack.pop_back();
    uint32_t parentNode = nodeOf[job.record];
    bool deeper = job.depth < kMaxWalkDepth;
    for (uint32_t k = start[job.record]; k < start[job.record + 1]; ++k) {
      uint32_t i = below[k];
      const MftRecord& r = recs[i];
      const MftName& name = t.names[r.firstName];
      bool folder = (r.flags & kMftFolder) != 0;
      bool leaf = (r.attrs & (tov::kAttrReparsePoint | (folder ? tov::kAttrNotLocal : 0u))) != 0;
      SpaceNode node;
      node.parent = parentNode;
      node.name = static_cast<uint32_t>(out->names.size());
      node.nameLen = name.textLen;
      node.flags = (folder ? kSpaceDir : 0u) | (leaf ? kSpaceLink : 0u);
      out->names.append(t.text, name.text, name.textLen);
      nodeOf[i] = static_cast<uint32_t>(out->nodes.size());
      out->nodes.push_back(node);
      bool enter = folder && !leaf && deeper;
      listed.push_back(enter ? 1 : 0);
      if (enter) stack.push_back(Job{i, job.depth + 1});
    }
    if (opt.cancelled && opt.cancelled()) return false;
  }
  uint64_t files = 0, bytes = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (!shown(i)) continue;
    const MftRecord& r = recs[i];
    if (isNode(r) || !IsPlainLocalFile(r.attrs)) continue;
    const MftName& name = t.names[r.firstName];
    uint32_t folder = nodeOf[name.parent];
    if (folder == kSpaceNone || !listed[folder]) continue;
    SpaceNode& f = out->nodes[folder];
    f.ownBytes += r.bytes;
    f.ownFiles += 1;
    if (r.nameCount > 1) f.ownLinks += 1;
    ++files;
    bytes += r.bytes;
    const char* text = t.text.data() + name.text;
    size_t kind = SpaceKindOf(text, name.textLen);
    tt.kindBytes[kind] += r.bytes;
    tt.kindFiles[kind] += 1;
    if (!tt.top.Wants(r.bytes)) continue;
    SpaceFile sf;
    sf.path = SpaceNodePath(*out, folder);
    if (sf.path.empty() || sf.path.back() != '\\') sf.path += '\\';
    sf.path.append(text, name.textLen);
    sf.bytes = r.bytes;
    sf.mtime = r.mtime;
    tt.top.Offer(std::move(sf));
  }
  if (opt.files) opt.files->fetch_add(files);
  if (opt.bytes) opt.bytes->fetch_add(bytes);
  return true;
}
}  // namespace

bool BuildSpaceMap(const std::wstring& root, const std::vector<SpaceTarget>& targets,
                   const SpaceWalkOptions& opt, SpaceMap* out) {
  *out = SpaceMap();
  out->root = root;
  out->nodes.push_back(SpaceNode());
  out->nodes[0].flags = kSpaceDir;
  Walkers w;
  w.threads = WalkerThreads(opt.threads);
  w.map = out;
  w.opt = &opt;
  Pending first;
  first.node = 0;
  first.path = root;
  w.stack.push_back(std::move(first));
  std::vector<ThreadTotals> totals(static_cast<size_t>(w.threads));
  std::vector<std::thread> pool;
  for (int i = 1; i < w.threads; ++i) pool.emplace_back(WalkerThread, &w, &totals[i]);
  WalkerThread(&w, &totals[0]);
  for (std::thread& t : pool) t.join();
  if (w.cancelled) return false;
  if (w.linksUnknown) out->linksNote = kSpaceLinksNote;
  // A root that vanished or turned into a link is a map of nothing.
  out->nodes[0].flags &= ~(kSpaceGone | kSpaceLink);
  Finish(*out);
  FinishTop(*out, totals);
  MarkTargets(*out, targets);
  return true;
}

bool BuildSpaceMapFromMft(const MftTable& t, const std::wstring& root,
                          const std::vector<SpaceTarget>& targets, const SpaceWalkOptions& opt,
                          SpaceMap* out) {
  *out = SpaceMap();
  out->root = root;
  std::vector<ThreadTotals> totals(1);
  if (!MapOfTable(t, opt, out, totals[0])) return false;
  Finish(*out);
  FinishTop(*out, totals);
  MarkTargets(*out, targets);
  return true;
}

uint32_t FindSpaceNode(const SpaceMap& m, const std::wstring& path) {
  if (m.nodes.empty()) return kSpaceNone;
  std::wstring p = path;
  for (wchar_t& c : p)
    if (c == L'/') c = L'\\';
  while (p.size() > 3 && p.back() == L'\\') p.pop_back();
  std::wstring root = m.root;
  while (root.size() > 3 && root.back() == L'\\') root.pop_back();
  if (tov::LowerAscii(p) == tov::LowerAscii(root)) return 0;
  std::wstring base = root.back() == L'\\' ? root : root + L'\\';
  if (p.size() <= base.size() || tov::LowerAscii(p.substr(0, base.size())) != tov::LowerAscii(base))
    return kSpaceNone;
  std::string rest = W2U(p.substr(base.size()));
  uint32_t cur = 0;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    std::string part = rest.substr(start, end - start);
    if (part.empty()) return kSpaceNone;
    const SpaceNode& n = m.nodes[cur];
    uint32_t exact = kSpaceNone, folded = kSpaceNone;
    for (uint32_t i = 0; i < n.childCount; ++i) {
      uint32_t c = m.children[n.firstChild + i];
      const SpaceNode& cn = m.nodes[c];
      if (cn.flags & kSpaceGone) continue;
      const char* name = m.names.data() + cn.name;
      if (cn.nameLen == part.size() && memcmp(name, part.data(), part.size()) == 0) {
        exact = c;
        break;
      }
      if (SameFolded(name, cn.nameLen, part) &&
          (folded == kSpaceNone ||
           std::string(name, cn.nameLen) <
               std::string(m.names.data() + m.nodes[folded].name, m.nodes[folded].nameLen)))
        folded = c;
    }
    uint32_t next = exact != kSpaceNone ? exact : folded;
    if (next == kSpaceNone) return kSpaceNone;
    // Nothing lies below a link.
    if ((m.nodes[next].flags & kSpaceLink) && end < rest.size()) return kSpaceNone;
    cur = next;
    start = end + 1;
  }
  return cur;
}

std::string SpaceNodePath(const SpaceMap& m, uint32_t node) {
  std::vector<uint32_t> chain;
  for (uint32_t i = node; i != 0 && i != kSpaceNone; i = m.nodes[i].parent) chain.push_back(i);
  std::string out = W2U(m.root);
  for (size_t k = chain.size(); k-- > 0;) {
    if (out.empty() || out.back() != '\\') out += '\\';
    const SpaceNode& n = m.nodes[chain[k]];
    out.append(m.names, n.name, n.nameLen);
  }
  return out;
}

std::string SpaceDirJson(const SpaceMap& m, uint32_t node, const SpaceGuard& guard) {
  const SpaceNode& n = m.nodes[node];
  std::vector<Row> rows;
  rows.reserve(n.childCount + 1);
  if (n.ownFiles > 0) rows.push_back(Row{kSpaceNone, n.ownBytes, "", 0});
  for (uint32_t i = 0; i < n.childCount; ++i) {
    uint32_t c = m.children[n.firstChild + i];
    const SpaceNode& cn = m.nodes[c];
    if (cn.flags & kSpaceGone) continue;
    rows.push_back(Row{c, cn.bytes, m.names.data() + cn.name, cn.nameLen});
  }
  size_t shown = std::min(rows.size(), kSpaceMaxChildren);
  std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(shown), rows.end(),
                    RowBefore);
  std::string path = SpaceNodePath(m, node);
  std::wstring wide = U2W(path);
  tov::JsonWriter w = tov::OkWriter();
  w.Key("path").Str(path).Key("bytes").Num(n.bytes).Key("files").Num(n.files);
  w.Key("dirs").Num(n.dirs).Key("denied").Num(n.denied).Key("children").BeginArray();
  for (size_t i = 0; i < shown; ++i) RowJson(m, node, wide, guard, rows[i], w);
  uint64_t restBytes = 0;
  for (size_t i = shown; i < rows.size(); ++i) restBytes += rows[i].bytes;
  w.EndArray().Key("rest").BeginObject().Key("count").Num(rows.size() - shown);
  w.Key("bytes").Num(restBytes).EndObject();
  return w.EndObject().Take();
}

std::string SpaceTopJson(const SpaceMap& m, size_t n, const SpaceGuard& guard) {
  tov::JsonWriter w = tov::OkWriter();
  w.Key("files").BeginArray();
  for (size_t i = 0; i < m.top.size() && i < n; ++i) {
    const SpaceFile& f = m.top[i];
    w.BeginObject().Key("path").Str(f.path).Key("bytes").Num(f.bytes);
    w.Key("time").Num(f.mtime).Key("refuse").Str(SpaceRefusal(guard, U2W(f.path), 0));
    w.EndObject();
  }
  return w.EndArray().EndObject().Take();
}

std::string SpaceInfoJson(const SpaceMap& m) {
  tov::JsonWriter w = tov::OkWriter();
  w.Key("root").Str(W2U(m.root)).Key("method").Str(m.method).Key("ms").Num(m.ms);
  w.Key("methodText").Str(m.methodText).Key("linksNote").Str(m.linksNote);
  return w.EndObject().Take();
}

std::string SpaceKindsJson(const SpaceMap& m) {
  size_t order[kSpaceKindCount];
  for (size_t k = 0; k < kSpaceKindCount; ++k) order[k] = k;
  std::stable_sort(order, order + kSpaceKindCount,
                   [&m](size_t a, size_t b) { return m.kindBytes[a] > m.kindBytes[b]; });
  tov::JsonWriter w = tov::OkWriter();
  w.Key("kinds").BeginArray();
  for (size_t i = 0; i < kSpaceKindCount; ++i) {
    size_t k = order[i];
    w.BeginObject().Key("kind").Str(SpaceKindName(k)).Key("bytes").Num(m.kindBytes[k]);
    w.Key("files").Num(m.kindFiles[k]).EndObject();
  }
  return w.EndArray().EndObject().Take();
}

uint64_t DropSpaceNode(SpaceMap* m, uint32_t node, const SpaceMap* kinds) {
  if (node == 0 || node == kSpaceNone || node >= m->nodes.size()) return 0;
  SpaceNode& n = m->nodes[node];
  if (n.flags & kSpaceGone) return 0;
  n.flags |= kSpaceGone;
  bool folder = (n.flags & kSpaceDir) && !(n.flags & kSpaceLink);
  TakeOffAbove(m, n.parent, n.bytes, n.files, n.dirs + (folder ? 1 : 0), n.denied);
  DropTopAt(m, SpaceNodePath(*m, node), true);
  for (size_t k = 0; kinds && k < kSpaceKindCount; ++k) {
    m->kindBytes[k] -= std::min(m->kindBytes[k], kinds->kindBytes[k]);
    m->kindFiles[k] -= std::min(m->kindFiles[k], kinds->kindFiles[k]);
  }
  return n.bytes;
}

uint64_t DropSpaceFile(SpaceMap* m, uint32_t folder, const std::wstring& path, uint64_t bytes) {
  if (folder == kSpaceNone || folder >= m->nodes.size()) return 0;
  SpaceNode& f = m->nodes[folder];
  if (f.ownFiles == 0) return 0;
  bytes = std::min(bytes, f.ownBytes);
  f.ownBytes -= bytes;
  f.ownFiles -= 1;
  TakeOffAbove(m, folder, bytes, 1, 0, 0);
  std::string text = W2U(path);
  size_t cut = text.rfind('\\');
  std::string leaf = cut == std::string::npos ? text : text.substr(cut + 1);
  size_t kind = SpaceKindOf(leaf.data(), leaf.size());
  m->kindBytes[kind] -= std::min(m->kindBytes[kind], bytes);
  m->kindFiles[kind] -= std::min<uint64_t>(m->kindFiles[kind], 1);
  // The top list spells the path as the map does.
  std::string spelled = SpaceNodePath(*m, folder);
  if (spelled.empty() || spelled.back() != '\\') spelled += '\\';
  DropTopAt(m, spelled + leaf, false);
  return bytes;
}

}  // namespace tamsel
