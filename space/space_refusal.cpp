// The fixed folders are expanded from the environment and the shell once per
// guard, folded, so that judging a path is a handful of text comparisons:
// a folder document judges each of its children, the largest files each
// file.
#include "space/space_refusal.h"

#include "paths/paths.h"
#include "platform/platform.h"
#include "space/space_map.h"

namespace tamsel {

const char* const kSpaceRefusalTexts[static_cast<size_t>(SpaceRefuse::Count)] = {
    "",
    "这是磁盘的根目录",
    "这是 Windows 系统文件夹，移走会让电脑无法正常运行",
    "这是安装软件的文件夹，移走会让软件无法运行",
    "这里保存着所有用户共用的软件设置和数据",
    "这里是电脑上所有用户的主文件夹",
    "这是用户的主文件夹",
    "这里保存着所有软件的设置和数据",
    "这是 Tamsel 自己的数据文件夹（设置和清理记录）",
    "这是回收站本身；要腾出这里的空间，请清空回收站",
    "这是桌面或桌面上的内容，Tamsel 不移动桌面上的东西",
    "已设为不清理",
    "这是链接（指向别处的文件夹），不能移到回收站",
    "里面有 Windows 系统文件夹或软件的文件夹",
    "里面有用户的主文件夹或软件的设置和数据",
    "里面有 Tamsel 自己的数据文件夹",
    "里面有桌面文件夹",
    "里面有设为不清理的文件或文件夹",
    "这里受系统保护，不能移到回收站",
};

namespace {

// The folded one form of a folder of the environment (short names
// expanded), or "" when it names none (unset, left unexpanded, relative, a
// drive's root).
std::wstring FoldedFolder(const std::wstring& path) {
  std::wstring form;
  if (CanonicalPath(path, PathDrives::Any, &form) != PathFault::None || form.size() <= 3 ||
      form.find(L'%') != std::wstring::npos)
    return std::wstring();
  return FoldedPath(form);
}

std::wstring ParentOf(const std::wstring& folded) {
  size_t cut = folded.rfind(L'\\');
  return cut == std::wstring::npos ? std::wstring() : FoldedFolder(folded.substr(0, cut));
}

void Add(SpaceGuard& g, const std::wstring& folded, SpaceRefuse self, SpaceRefuse inside,
         SpaceRefuse holds) {
  if (folded.empty()) return;
  g.fixed.push_back(SpaceFixedFolder{folded, self, inside, holds});
}

void AddEnv(SpaceGuard& g, const wchar_t* text, SpaceRefuse self, SpaceRefuse inside,
            SpaceRefuse holds) {
  Add(g, FoldedFolder(ExpandEnvW(text)), self, inside, holds);
}

// p (folded) lies inside the folder f (folded).
bool Inside(const std::wstring& p, const std::wstring& f) {
  return p.size() > f.size() && p[f.size()] == L'\\' && p.compare(0, f.size(), f) == 0;
}

bool IsAppDataPart(const std::wstring& name) {
  return name == L"local" || name == L"locallow" || name == L"roaming";
}

// A home folder or an AppData folder of any user: C:\Users\<name> but
// Public, C:\Users\<name>\AppData and its Local, LocalLow and Roaming.
SpaceRefuse UserFolderOf(const SpaceGuard& g, const std::wstring& p) {
  for (const std::wstring& u : g.users) {
    if (!Inside(p, u)) continue;
    std::vector<std::wstring> parts;
    size_t start = u.size() + 1;
    while (start <= p.size() && parts.size() < 4) {
      size_t end = p.find(L'\\', start);
      if (end == std::wstring::npos) end = p.size();
      parts.push_back(p.substr(start, end - start));
      start = end + 1;
    }
    if (parts.size() == 1 && parts[0] != L"public") return SpaceRefuse::Home;
    if (parts.size() >= 2 && parts.size() <= 3 && parts[1] == L"appdata" &&
        (parts.size() == 2 || IsAppDataPart(parts[2])))
      return SpaceRefuse::AppData;
  }
  return SpaceRefuse::None;
}

}  // namespace

SpaceGuard MakeSpaceGuard(SafetyContext safety, const std::wstring& ownData) {
  SpaceGuard g;
  g.safety = std::move(safety);
  const SpaceRefuse win = SpaceRefuse::Windows, prog = SpaceRefuse::Programs;
  const SpaceRefuse sys = SpaceRefuse::HoldsSystem, homes = SpaceRefuse::HoldsHome;
  // Where what a folder holds is refused whole, that comes first: the
  // Windows folder of a home folder's path is still the Windows folder.
  for (const wchar_t* w : {L"%SystemRoot%", L"%windir%", L"%SystemDrive%\\Windows"})
    AddEnv(g, w, win, win, sys);
  for (const wchar_t* p : {L"%ProgramFiles%", L"%ProgramFiles(x86)%", L"%ProgramW6432%"})
    AddEnv(g, p, prog, prog, sys);
  Add(g, FoldedFolder(ownData), SpaceRefuse::OwnData, SpaceRefuse::OwnData,
      SpaceRefuse::HoldsOwnData);
  AddEnv(g, L"%SystemDrive%\\$Recycle.Bin", SpaceRefuse::RecycleBin, SpaceRefuse::RecycleBin, sys);
  if (g.safety.hasDesktop)
    Add(g, FoldedFolder(g.safety.desktop), SpaceRefuse::Desktop, SpaceRefuse::Desktop,
        SpaceRefuse::HoldsDesktop);
  for (const wchar_t* p : {L"%ProgramData%", L"%ALLUSERSPROFILE%"})
    AddEnv(g, p, SpaceRefuse::ProgramData, SpaceRefuse::None, sys);
  std::wstring profile = FoldedFolder(ExpandEnvW(L"%USERPROFILE%"));
  for (const std::wstring& u :
       {FoldedFolder(ExpandEnvW(L"%SystemDrive%\\Users")), ParentOf(profile),
        ParentOf(FoldedFolder(ExpandEnvW(L"%PUBLIC%")))}) {
    if (u.empty()) continue;
    Add(g, u, SpaceRefuse::Users, SpaceRefuse::None, homes);
    g.users.push_back(u);
  }
  Add(g, profile, SpaceRefuse::Home, SpaceRefuse::None, homes);
  for (const wchar_t* a : {L"%APPDATA%", L"%LOCALAPPDATA%", L"%USERPROFILE%\\AppData",
                           L"%USERPROFILE%\\AppData\\LocalLow"})
    AddEnv(g, a, SpaceRefuse::AppData, SpaceRefuse::None, homes);
  return g;
}

SpaceRefuse SpaceRefusalOf(const SpaceGuard& g, const std::wstring& path, uint32_t flags) {
  if (IsDriveRootPath(path)) return SpaceRefuse::DriveRoot;
  if (flags & kSpaceLink) return SpaceRefuse::Link;
  std::wstring p = tov::LowerAscii(path);
  for (wchar_t& c : p)
    if (c == L'/') c = L'\\';
  while (p.size() > 3 && p.back() == L'\\') p.pop_back();
  for (const SpaceFixedFolder& f : g.fixed) {
    if (p == f.path) return f.self;
    if (f.inside != SpaceRefuse::None && Inside(p, f.path)) return f.inside;
  }
  if (IsProtectedPath(g.safety, path)) return SpaceRefuse::Protected;
  bool dir = (flags & kSpaceDir) != 0;
  if (dir) {
    SpaceRefuse user = UserFolderOf(g, p);
    if (user != SpaceRefuse::None) return user;
    for (const SpaceFixedFolder& f : g.fixed)
      if (Inside(f.path, p)) return f.holds;
    for (const std::wstring& kept : g.safety.protect)
      if (Inside(kept, p)) return SpaceRefuse::HoldsProtected;
  }
  // Whatever the clean's gate refuses beyond the folders above.
  std::wstring reason;
  if (!IsSafeDeletePath(g.safety, path, false, reason)) return SpaceRefuse::Guarded;
  return SpaceRefuse::None;
}

const char* SpaceRefusal(const SpaceGuard& g, const std::wstring& path, uint32_t flags) {
  return kSpaceRefusalTexts[static_cast<size_t>(SpaceRefusalOf(g, path, flags))];
}

}  // namespace tamsel
