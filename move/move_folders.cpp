// What the 搬家 panel offers: the target drives and the folders worth
// moving, with their sizes and where they are now.
#include <string>
#include <vector>

#include "move/move.h"
#include "paths/paths.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "space/space_map.h"
#include "text/json_writer.h"
#include "text/text.h"

namespace tamsel {
namespace {

const char* const kKnownNames[static_cast<size_t>(tov::UserFolder::Count)] = {
    "桌面", "文档", "下载", "图片", "视频", "音乐"};

// The big folders chat and video apps keep below the home folder.
struct AppFolder {
  const char* name;
  const wchar_t* path;
};
const AppFolder kAppFolders[] = {
    {"微信聊天文件", L"%USERPROFILE%\\Documents\\xwechat_files"},
    {"微信聊天文件（旧版）", L"%USERPROFILE%\\Documents\\WeChat Files"},
    {"QQ 聊天文件", L"%USERPROFILE%\\Documents\\Tencent Files"},
    {"企业微信文件", L"%USERPROFILE%\\Documents\\WXWork"},
    {"剪映草稿", L"%LOCALAPPDATA%\\JianyingPro\\User Data\\Projects\\com.lveditor.draft"},
};

// At most this many entries are counted per folder, so that the panel
// answers in time; a folder past it shows at least what was counted.
constexpr uint64_t kMaxCounted = 300000;

void Measure(const std::wstring& root, uint64_t* bytes, uint64_t* files) {
  *bytes = *files = 0;
  uint64_t seen = 0;
  std::vector<std::wstring> pending{root};
  while (!pending.empty() && seen < kMaxCounted) {
    std::wstring dir = pending.back();
    pending.pop_back();
    tov::ListDir(dir, [&](const tov::DirEntry& e) {
      ++seen;
      if (e.attrs & tov::kAttrReparsePoint) return true;
      if (e.attrs & tov::kAttrDirectory)
        pending.push_back(dir + L"\\" + e.name);
      else {
        *bytes += e.size;
        *files += 1;
      }
      return true;
    });
  }
}

void FolderJson(const std::string& name, const std::wstring& path, const std::wstring& now,
                const SpaceGuard& guard, const std::vector<MoveJournal>& moves,
                tov::JsonWriter& w) {
  std::string id;
  for (const MoveJournal& j : moves)
    if (!j.back && !j.undone && j.step == MoveStep::Done && SamePath(j.path, path) && id.empty())
      id = j.id;
  bool moved = !SamePath(now, path) || !id.empty();
  uint64_t bytes = 0, files = 0;
  Measure(now, &bytes, &files);
  std::string refuse;
  if (!moved) {
    SpaceRefuse why = SpaceRefusalOf(guard, path, kSpaceDir);
    if (why != SpaceRefuse::None && why != SpaceRefuse::Desktop)
      refuse = kSpaceRefusalTexts[static_cast<size_t>(why)];
  }
  w.BeginObject().Key("name").Str(name).Key("path").Str(W2U(path)).Key("now").Str(W2U(now));
  w.Key("bytes").Num(bytes).Key("files").Num(files).Key("moved").Bool(moved).Key("id").Str(id);
  w.Key("refuse").Str(refuse).EndObject();
}

}  // namespace

std::string MoveDrivesDoc() {
  tov::JsonWriter w = tov::OkWriter();
  w.Key("drives").BeginArray();
  for (wchar_t letter : tov::DriveLetters()) {
    if (letter == L'C') continue;
    std::wstring root = std::wstring(1, letter) + L":\\";
    std::wstring fs;
    tov::DriveKind kind = tov::DriveKindOf(root, &fs);
    if (kind == tov::DriveKind::Missing) continue;
    uint64_t avail = 0, total = 0, totalFree = 0;
    bool sized = tov::DiskFreeSpace(root, &avail, &total, &totalFree);
    std::string reason;
    if (kind == tov::DriveKind::Removable)
      reason = "U 盘或移动硬盘";
    else if (kind == tov::DriveKind::Network)
      reason = "网络磁盘";
    else if (kind != tov::DriveKind::Fixed || !sized)
      reason = "不是电脑里的本地磁盘";
    else if (tov::LowerAscii(fs) != L"ntfs")
      reason = "不是 NTFS 格式";
    w.BeginObject().Key("drive").Str(W2U(root.substr(0, 2))).Key("free").Num(avail);
    w.Key("total").Num(total).Key("fileSystem").Str(W2U(fs)).Key("usable").Bool(reason.empty());
    w.Key("reason").Str(reason).EndObject();
  }
  return w.EndArray().EndObject().Take();
}

std::string MoveFoldersDoc(const SpaceGuard& guard) {
  std::vector<MoveJournal> moves = LoadMoveJournals(MovesDir());
  tov::JsonWriter w = tov::OkWriter();
  w.Key("folders").BeginArray();
  for (size_t i = 0; i < static_cast<size_t>(tov::UserFolder::Count); ++i) {
    std::wstring now, def, nowForm, defForm;
    tov::UserFolder f = static_cast<tov::UserFolder>(i);
    if (!tov::UserFolderPath(f, false, &now) || !tov::UserFolderPath(f, true, &def) ||
        CanonicalPath(now, PathDrives::Any, &nowForm) != PathFault::None ||
        CanonicalPath(def, PathDrives::Any, &defForm) != PathFault::None)
      continue;
    uint32_t attrs = 0;
    if (!tov::GetAttributes(nowForm, &attrs)) continue;  // a folder this profile does not have
    FolderJson(kKnownNames[i], defForm, nowForm, guard, moves, w);
  }
  for (const AppFolder& a : kAppFolders) {
    std::wstring form;
    if (CanonicalPath(ExpandEnvW(a.path), PathDrives::SystemOnly, &form) != PathFault::None)
      continue;
    uint32_t attrs = 0;
    if (!tov::GetAttributes(form, &attrs) || !(attrs & tov::kAttrDirectory)) continue;
    // A moved one is a junction to its new place.
    std::wstring now = form;
    for (const MoveJournal& j : moves)
      if (!j.back && !j.undone && j.step == MoveStep::Done && SamePath(j.path, form)) now = j.to;
    FolderJson(a.name, form, now, guard, moves, w);
  }
  return w.EndArray().EndObject().Take();
}

}  // namespace tamsel
