// Scanning: what each selected item would free, and the file list of one
// item. Nothing here deletes; the walks are the clean's walks, so that the
// figures agree.
#include <set>

#include "engine/engine_internal.h"
#include "engine/tamsel_engine.h"
#include "engine/walk.h"
#include "platform/platform.h"

namespace tamsel {
namespace {

void CountFile(ScanCtx& ctx, uint64_t size) {
  ctx.stat->bytes += size;
  ctx.stat->files += 1;
}

// Whether the file just counted goes into the hit list as well.
bool WantsHit(const ScanCtx& ctx) {
  return ctx.hits && ctx.collect && ctx.hits->size() < ctx.maxHits;
}

}  // namespace

void ScanTarget(const Target& t, ScanCtx& ctx, const Choice& c) {
  if (t.path.empty() || t.findsChromiumCaches || IsProtectedPath(*c.safety, t.path)) return;
  tov::FileInfo info;
  if (!tov::GetFileInfo(t.path, &info)) return;
  // What lies behind a link on the way is refused by the clean; the scan
  // agrees. The walk checks the way again on the handles it opens.
  if (HasReparseInPath(t.path)) return;
  if (info.attrs & tov::kAttrDirectory) {
    tov::FsFault fault = tov::FsFault::None;
    tov::DirHandle dir = tov::OpenWalkDir(t.path, &fault);
    if (dir == tov::kNoDir) return;
    Walk w = WalkOf(t, true);
    // A clean's measure sees what earlier items of the clean took as gone.
    if (TakenEarlierIn(c, t))
      w.gone = [&c](EntryPath& paths, const tov::DirEntry& e) {
        return TakenEarlier(c, paths.Of(e.name));
      };
    w.file = [&ctx, &c](tov::DirHandle, EntryPath& paths, const tov::DirEntry& e) {
      if (LeftOut(c, &paths, nullptr, e.name, e.mtime)) return;
      // Counting needs no path; only a file that is listed does.
      CountFile(ctx, e.size);
      if (WantsHit(ctx))
        ctx.hits->push_back(FileHit{paths.Of(e.name), e.size, e.mtime, std::wstring()});
    };
    if (!c.safety->protect.empty())
      w.refuseDir = [&c](const std::wstring& sub) { return IsProtectedPath(*c.safety, sub); };
    WalkDir(w, dir, t.path, 0);
    tov::CloseDir(dir);
    return;
  }
  if (TakenEarlierIn(c, t) && TakenEarlier(c, t.path)) return;
  if (!TakesSingleFile(t, info.attrs)) return;
  if (LeftOut(c, nullptr, &t.path, std::wstring(), info.mtime)) return;
  CountFile(ctx, info.size);
  if (WantsHit(ctx)) ctx.hits->push_back(FileHit{t.path, info.size, info.mtime, std::wstring()});
}

void MeasureTargets(const RuleItem& item, ItemStat& stat, const Choice& c) {
  ReportExpansion(c, item, stat, false);
  ScanCtx ctx;
  ctx.stat = &stat;
  for (size_t i = 0; i < item.targets.size() && !Cancelled(); ++i)
    if (!RepeatsEarlierTarget(item, i)) ScanTarget(item.targets[i], ctx, c);
}

void ScanItems(const std::vector<Category>& cats, const std::vector<std::string>& ids,
               ResultList& out, const TaskOptions& options, std::vector<Overlap>* overlaps) {
  std::set<std::string> wanted(ids.begin(), ids.end());
  const std::set<std::string>* selected = ids.empty() ? nullptr : &wanted;
  // The same gate as the clean's, so that the scan counts what a clean takes.
  const SafetyContext safety = MakeSafetyContext(options.protect);
  const ExpandedCatalogue expanded = ExpandSelected(cats, selected);
  Sharing sharing = SharingOf(expanded.cats, selected, false);
  uint32_t index = 0;
  VisitSelected(expanded.cats, selected, out, [&](const RuleItem& item, ItemStat& stat) {
    Choice c = ChoiceFor(item, options, safety, false);
    c.sharing = &sharing;
    c.index = index++;
    c.notes = expanded.NotesOf(item.id);
    if (item.mode == ItemMode::RecycleBin) return;  // sized by its own query
    if (item.mode == ItemMode::SystemTool)
      AnalyseSystemTool(item, stat, options);
    else if (item.mode == ItemMode::Hibernate)
      ScanHibernation(stat, c);
    else if (item.mode == ItemMode::Measure)
      MeasureTargets(item, stat, c);
    else
      WalkItem(item, c, Act::Scan, stat);
  });
  if (overlaps) *overlaps = OverlapsOf(sharing);
}

void CollectDetails(const RuleItem& declared, uint32_t maximum, std::vector<FileHit>& out,
                    const TaskOptions& options) {
  out.clear();
  if (!declared.allowDetails) return;
  std::vector<ExpandNote> notes;  // a file list reports nothing
  const RuleItem item = ExpandItem(declared, &notes);
  ItemStat stat;
  const SafetyContext safety = MakeSafetyContext(options.protect);
  Choice c = ChoiceFor(item, options, safety, false);
  c.skip = false;
  if (item.mode == ItemMode::Files || item.mode == ItemMode::Dir) {
    WalkItem(item, c, Act::Details, stat, &out, maximum);
    return;
  }
  ScanCtx ctx;
  ctx.stat = &stat;
  ctx.hits = &out;
  ctx.maxHits = maximum;
  ctx.collect = true;
  for (size_t i = 0; i < item.targets.size(); ++i)
    if (!RepeatsEarlierTarget(item, i)) ScanTarget(item.targets[i], ctx, c);
}

}  // namespace tamsel
