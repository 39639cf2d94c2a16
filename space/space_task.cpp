#include "space/space_task.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>

#include "engine/tamsel_engine.h"
#include "ntfs/mft.h"
#include "paths/paths.h"
#include "platform/platform.h"
#include "text/fault_text.h"
#include "text/text.h"

namespace tamsel {

const char kSpaceNoMap[] = "还没有空间分析结果";

namespace {

std::mutex g_mapLock;
std::unique_ptr<SpaceMap> g_map;  // the last finished map; null before any

const char kNotInMap[] = "不在空间分析结果中";
const char kRecycled[] = "已移到回收站";
const char kReasonReparse[] = "路径含重解析点";  // a root asked for the map
const char kReasonMapRoot[] = "不能移除分析的根文件夹";

std::string Failure(const std::string& message) {
  return tov::FailureJson(message);
}

// Why a map was made folder by folder: the start of its methodText.
const char kByMft[] = "读取 NTFS 主文件表";
const char kWalkChosen[] = "逐个文件夹扫描（按你的选择）";
const char kWalkFolder[] = "逐个文件夹扫描（只分析一个文件夹时不读主文件表）";
const char kWalkNotAdmin[] = "逐个文件夹扫描（没有管理员权限，无法读取主文件表）";
const char kWalkNotNtfs[] = "逐个文件夹扫描（C 盘不是 NTFS 文件系统）";
const char kWalkRefused[] = "逐个文件夹扫描（主文件表无法读取或内容不一致）";

enum class MftOutcome { Built, Cancelled, Fallback };

// The map of the drive root from its master file table. Fallback with the
// walk's text when the volume cannot be read so or its table is refused.
MftOutcome MapFromMft(const std::wstring& root, const std::vector<SpaceTarget>& targets,
                      const SpaceWalkOptions& opt, SpaceMap* map, const char** walkText) {
  tov::VolumeHandle volume = nullptr;
  tov::VolumeGeometry geometry;
  switch (tov::OpenSystemVolume(&volume, &geometry)) {
    case tov::VolumeOpen::Ok:
      break;
    case tov::VolumeOpen::Denied:
      *walkText = kWalkNotAdmin;
      return MftOutcome::Fallback;
    case tov::VolumeOpen::NotNtfs:
      *walkText = kWalkNotNtfs;
      return MftOutcome::Fallback;
    default:
      *walkText = kWalkRefused;
      return MftOutcome::Fallback;
  }
  MftReadOptions ro;
  ro.known.bytesPerCluster = geometry.bytesPerCluster;
  ro.known.recordBytes = geometry.recordBytes;
  ro.known.mftStartLcn = geometry.mftStartLcn;
  ro.cancelled = opt.cancelled;
  std::unique_ptr<MftTable> table(new MftTable());
  std::string why;
  bool read = ReadMft(
      [volume](uint64_t at, void* buf, size_t n) { return tov::ReadVolume(volume, at, buf, n); },
      ro, table.get(), &why);
  tov::CloseVolume(volume);
  if (opt.cancelled && opt.cancelled()) return MftOutcome::Cancelled;
  if (!read) {
    *walkText = kWalkRefused;
    return MftOutcome::Fallback;
  }
  if (!BuildSpaceMapFromMft(*table, root, targets, opt, map)) return MftOutcome::Cancelled;
  return MftOutcome::Built;
}

std::string MethodText(const char* how, uint64_t ms) {
  char secs[48];
  snprintf(secs, sizeof secs, "，用时 %.1f 秒", static_cast<double>(ms) / 1000.0);
  return std::string(how) + secs;
}

void ResultJson(const std::string& path, bool ok, const std::string& message, tov::JsonWriter& w) {
  w.BeginObject().Key("path").Str(path).Key("ok").Bool(ok).Key("message").Str(message);
  w.EndObject();
}

std::wstring ParentPath(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return std::wstring();
  return path.substr(0, cut == 2 ? 3 : cut);
}

// One path of a recycle request, under the map lock (with a map); the
// bytes that left.
bool RecycleOne(const std::string& asked, const SpaceGuard& guard, uint64_t* bytes,
                std::string* message) {
  // In its one form, or refused before the system sees it: a control
  // character would cut the path the refusals judged.
  std::wstring path;
  PathFault refused = CanonicalPathUtf8(asked, PathDrives::SystemOnly, &path);
  if (refused != PathFault::None) {
    *message = PathFaultText(refused);
    return false;
  }
  SpaceMap& m = *g_map;
  uint32_t node = FindSpaceNode(m, path);
  uint32_t folder = kSpaceNone;
  // Judged as the documents judged it: a node by what the map knows of it,
  // anything else by what it is on the disk now.
  uint32_t flags = 0;
  uint32_t attrs = 0;
  if (node != kSpaceNone)
    flags = m.nodes[node].flags;
  else if (tov::GetAttributes(path, &attrs))
    flags = ((attrs & tov::kAttrDirectory) ? kSpaceDir : 0u) |
            ((attrs & tov::kAttrReparsePoint) ? kSpaceLink : 0u);
  SpaceRefuse why = SpaceRefusalOf(guard, path, flags);
  if (why != SpaceRefuse::None) {
    *message = kSpaceRefusalTexts[static_cast<size_t>(why)];
    return false;
  }
  if (node == 0) {
    *message = kReasonMapRoot;
    return false;
  }
  if (node == kSpaceNone) {
    // A file: its folder must be in the map, and itself on the disk.
    folder = FindSpaceNode(m, ParentPath(path));
    if (folder == kSpaceNone || (m.nodes[folder].flags & kSpaceLink) ||
        !tov::GetAttributes(path, &attrs) || (attrs & tov::kAttrDirectory)) {
      *message = kNotInMap;
      return false;
    }
  }
  // A link of the map stays a link, whatever its target has become since.
  if ((node != kSpaceNone && (m.nodes[node].flags & kSpaceLink)) || HasReparseInPath(path)) {
    *message = kSpaceRefusalTexts[static_cast<size_t>(SpaceRefuse::Link)];
    return false;
  }
  tov::FileInfo info;
  if (node == kSpaceNone && !tov::GetFileInfo(path, &info)) info.size = 0;
  // What kinds of file a folder takes along: a walk of it as it is now.
  std::unique_ptr<SpaceMap> kinds;
  if (node != kSpaceNone && !(m.nodes[node].flags & kSpaceLink)) {
    kinds.reset(new SpaceMap());
    SpaceWalkOptions one;
    one.threads = 1;
    if (!BuildSpaceMap(path, {}, one, kinds.get())) kinds.reset();
  }
  tov::FsFault fault = tov::FsFault::None;
  if (!tov::RecyclePath(path, &fault)) {
    // A link found on the way by handle is refused as the check above
    // refuses one it sees.
    *message = fault == tov::FsFault::Link
                   ? kSpaceRefusalTexts[static_cast<size_t>(SpaceRefuse::Link)]
                   : tov::FaultText(tov::FaultAction::Recycle, fault);
    return false;
  }
  *bytes = node != kSpaceNone ? DropSpaceNode(&m, node, kinds.get())
                              : DropSpaceFile(&m, folder, path, info.size);
  *message = kRecycled;
  return true;
}

}  // namespace

bool CheckSpaceRoot(const std::string& asked, std::wstring* root, std::string* message) {
  std::wstring out;
  PathFault fault =
      CanonicalPathUtf8(asked.empty() ? std::string("C:\\") : asked, PathDrives::SystemOnly, &out);
  switch (fault) {
    case PathFault::None:
      break;
    case PathFault::Relative:
    case PathFault::OtherDrive:
    case PathFault::Share:
    case PathFault::Namespace:
      *message = "只能分析 C 盘上的文件夹";
      return false;
    default:
      *message = PathFaultText(fault);
      return false;
  }
  uint32_t attrs = 0;
  if (!tov::GetAttributes(out, &attrs)) {
    *message = "文件夹不存在";
    return false;
  }
  if (!(attrs & tov::kAttrDirectory)) {
    *message = "不是文件夹";
    return false;
  }
  if ((attrs & tov::kAttrReparsePoint) || HasReparseInPath(out)) {
    *message = kReasonReparse;
    return false;
  }
  *root = out;
  return true;
}

std::vector<SpaceTarget> SpaceTargetsOf(const std::vector<Category>& cats) {
  std::vector<SpaceTarget> out;
  for (const Category& c : cats)
    for (const RuleItem& item : c.items) {
      if (item.mode != ItemMode::Files && item.mode != ItemMode::Dir &&
          item.mode != ItemMode::RecycleBin)
        continue;
      for (const Target& t : item.targets) {
        // A target that takes only some files directly in its folder (the
        // crash dumps in the Windows folder) does not clean that folder: the
        // map offers no item for it.
        if (!t.recursive && !t.include.empty()) continue;
        // A search's folder is not the item's: the caches it finds are.
        if (t.findsChromiumCaches) continue;
        out.push_back(SpaceTarget{item.id, t.path});
      }
    }
  return out;
}

bool StartSpaceMap(const std::wstring& root, std::vector<SpaceTarget> targets, bool walk) {
  return StartTaskOf("map", [root, targets, walk](TaskFeed& feed) {
    SpaceWalkOptions opt;
    opt.cancelled = [&feed] { return feed.cancel.load() != 0; };
    opt.files = &feed.files;
    opt.bytes = &feed.bytes;
    opt.cur = SetCurPath;
    auto begun = std::chrono::steady_clock::now();
    std::unique_ptr<SpaceMap> map(new SpaceMap());
    const char* how = kWalkChosen;
    MftOutcome mft = MftOutcome::Fallback;
    if (!walk) how = kWalkFolder;
    if (!walk && tov::LowerAscii(root) == L"c:\\") {
      SetCurPath(root);
      mft = MapFromMft(root, targets, opt, map.get(), &how);
      if (mft == MftOutcome::Cancelled) return;
    }
    if (mft == MftOutcome::Built) {
      map->method = "mft";
      how = kByMft;
    } else if (!BuildSpaceMap(root, targets, opt, map.get())) {
      return;
    }
    map->ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - begun)
                                        .count());
    map->methodText = MethodText(how, map->ms);
    std::lock_guard<std::mutex> lock(g_mapLock);
    g_map = std::move(map);
  });
}

std::string SpaceDirDoc(const std::string& path, const SpaceGuard& guard) {
  std::lock_guard<std::mutex> lock(g_mapLock);
  if (!g_map) return Failure(kSpaceNoMap);
  // Looked up in its one form; a path without one is in no map.
  std::wstring form;
  uint32_t node = 0;
  if (!path.empty())
    node = CanonicalPathUtf8(path, PathDrives::SystemOnly, &form) == PathFault::None
               ? FindSpaceNode(*g_map, form)
               : kSpaceNone;
  if (node == kSpaceNone) return Failure("空间分析结果中没有这个文件夹");
  if (g_map->nodes[node].flags & kSpaceLink) return Failure("这是链接，空间分析不进入链接");
  return SpaceDirJson(*g_map, node, guard);
}

std::string SpaceTopDoc(size_t n, const SpaceGuard& guard) {
  std::lock_guard<std::mutex> lock(g_mapLock);
  if (!g_map) return Failure(kSpaceNoMap);
  return SpaceTopJson(*g_map, n, guard);
}

std::string SpaceKindsDoc() {
  std::lock_guard<std::mutex> lock(g_mapLock);
  if (!g_map) return Failure(kSpaceNoMap);
  return SpaceKindsJson(*g_map);
}

std::string SpaceInfoDoc() {
  std::lock_guard<std::mutex> lock(g_mapLock);
  if (!g_map) return Failure(kSpaceNoMap);
  return SpaceInfoJson(*g_map);
}

std::string SpaceRecycleDoc(const std::vector<std::string>& paths, const SpaceGuard& guard) {
  std::lock_guard<std::mutex> lock(g_mapLock);
  if (!g_map) return Failure(kSpaceNoMap);
  tov::JsonWriter w = tov::OkWriter();
  w.Key("results").BeginArray();
  uint64_t total = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    uint64_t bytes = 0;
    std::string message;
    bool ok = RecycleOne(paths[i], guard, &bytes, &message);
    total += bytes;
    ResultJson(paths[i], ok, message, w);
  }
  return w.EndArray().Key("bytes").Num(total).EndObject().Take();
}

void SetSpaceMapForTest(SpaceMap map) {
  std::lock_guard<std::mutex> lock(g_mapLock);
  if (map.root.empty())
    g_map.reset();
  else
    g_map.reset(new SpaceMap(std::move(map)));
}

}  // namespace tamsel
