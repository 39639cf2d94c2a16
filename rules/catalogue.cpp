// The built-in catalogue: everything the program may clean, declared as data.
//
// The declarations follow the display order of the interface, which is also
// the order in which the engine visits selected items. Each item is made,
// given its targets (path, recursive, allowSystem, include, exclude) and
// appended; nothing is read from disk here, so targets of software that is
// not installed are declared all the same and simply yield nothing.
//
// What the declarations keep to, and the tests check:
// - risk Low exactly when the item is selected by default;
// - allowSystem only on targets inside the Windows and program-files
//   directories, plus the page file, which is only measured;
// - personal data (chat folders, virtual disks) and what must not be deleted
//   by hand (the page file, the component store, packages that projects and
//   installers use) is mode Measure and risk High: counted, never
//   deleted;
// - the user's own files (downloads, sample media, wallpapers, files
//   received in chats) are marked userFiles: recycled rather than deleted,
//   never cleaned unattended; the received files only once 30 days old
//   when the user chose no age (minAgeDays);
// - fifteen items never list their files: those nine, hibernation, the
//   .NET native images and the four items of Windows' own tools;
// - a folder name with `*` (every browser profile, every chat account) is
//   expanded by the engine to the folders there are; a cache inside a chat
//   app's account folder never takes a database file (*.db);
// - one item takes the caches of Chromium-based programs wherever the
//   engine's search finds them under %APPDATA% and %LOCALAPPDATA%
//   (Target::findsChromiumCaches), never inside the browsers' user data
//   folders that the other items name.
#include <initializer_list>

#include "platform/platform.h"
#include "rules/tamsel_core.h"

namespace tamsel {

namespace {

// Makes a target with T, appends it to the item and adds its include and
// exclude patterns in order: one call per row of the catalogue.
void Add(RuleItem& item, const wchar_t* path, bool recursive, bool allowSystem,
         std::initializer_list<const wchar_t*> include = {},
         std::initializer_list<const wchar_t*> exclude = {}) {
  item.targets.push_back(T(path, recursive, allowSystem));
  Target& t = item.targets.back();
  for (const wchar_t* p : include) Inc(t, p);
  for (const wchar_t* p : exclude) Exc(t, p);
}

// The caches a Chromium-based browser keeps in each profile folder.
const wchar_t* const kChromeCaches[] = {L"Cache", L"Code Cache", L"GPUCache",
                                        L"Service Worker\\CacheStorage",
                                        L"Service Worker\\ScriptCache"};
const wchar_t* const kEdgeCaches[] = {L"Cache", L"Code Cache", L"GPUCache",
                                      L"Service Worker\\CacheStorage"};

// The profiles besides Default a Chromium-based browser keeps in its user
// data folder: the numbered ones and the guest's.
const wchar_t* const kOtherProfiles[] = {L"Profile *", L"Guest Profile"};

// One recursive target per cache folder of each of the other profiles.
template <size_t N>
void AddProfiles(RuleItem& item, const wchar_t* userData, const wchar_t* const (&caches)[N]) {
  for (const wchar_t* profile : kOtherProfiles)
    for (const wchar_t* cache : caches) {
      std::wstring path = std::wstring(userData) + L"\\" + profile + L"\\" + cache;
      Add(item, path.c_str(), true, false);
    }
}

// A Chromium-based browser's caches: those of every profile (Default, the
// numbered ones, the guest's), then the shader caches of its user data
// folder.
void AddBrowser(RuleItem& item, const wchar_t* userData) {
  for (const wchar_t* cache : kChromeCaches) {
    std::wstring path = std::wstring(userData) + L"\\Default\\" + cache;
    Add(item, path.c_str(), true, false);
  }
  AddProfiles(item, userData, kChromeCaches);
  for (const wchar_t* shader : {L"GrShaderCache", L"ShaderCache"}) {
    std::wstring path = std::wstring(userData) + L"\\" + shader;
    Add(item, path.c_str(), true, false);
  }
}

// The browsers' user data folders the catalogue names (every target's path
// up to a folder "User Data"), each once: the search for the caches of
// other Chromium-based programs never enters them, their own items clean
// them.
void SkipBrowserFolders(std::vector<Category>& cats) {
  std::vector<std::wstring> skips;
  std::vector<std::wstring> folded;
  const std::wstring kUserData = L"\\user data";
  for (const Category& c : cats)
    for (const RuleItem& item : c.items)
      for (const Target& t : item.targets) {
        std::wstring lower = tov::LowerAscii(t.path);
        size_t at = lower.find(kUserData);
        while (at != std::wstring::npos) {
          size_t end = at + kUserData.size();
          if (end == lower.size() || lower[end] == L'\\') break;
          at = lower.find(kUserData, end);
        }
        if (at == std::wstring::npos) continue;
        size_t end = at + kUserData.size();
        bool known = false;
        for (const std::wstring& f : folded) known = known || f == lower.substr(0, end);
        if (known) continue;
        folded.push_back(lower.substr(0, end));
        skips.push_back(t.path.substr(0, end));
      }
  for (Category& c : cats)
    for (RuleItem& item : c.items)
      for (Target& t : item.targets)
        if (t.findsChromiumCaches) t.searchSkips = skips;
}

}  // namespace

std::vector<Category> BuildRules() {
  std::vector<Category> cats;
  RuleItem it;

  // ---- 1. Temporary files
  Category cTemp;
  cTemp.id = "temp";
  cTemp.name = "临时文件";

  it = MkItem("user-temp", "用户临时目录", Risk::Low, ItemMode::Files, true,
              "当前用户的 %TEMP% 目录，程序退出即失效的文件");
  Add(it, L"%TEMP%", true, false);
  cTemp.items.push_back(it);

  it = MkItem("local-tmp-log", "本地应用临时文件 / 日志", Risk::Low, ItemMode::Files, true,
              "%LOCALAPPDATA% 下的 *.tmp 与 *.log");
  Add(it, L"%LOCALAPPDATA%", true, false, {L"*.tmp", L"*.log"});
  cTemp.items.push_back(it);

  it = MkItem("roaming-tmp-log", "漫游应用临时文件 / 日志", Risk::Low, ItemMode::Files, true,
              "%APPDATA% 下的 *.tmp 与 *.log");
  Add(it, L"%APPDATA%", true, false, {L"*.tmp", L"*.log"});
  cTemp.items.push_back(it);

  it = MkItem("recent-lnk", "最近打开记录", Risk::Low, ItemMode::Files, true,
              "开始菜单「最近使用」的快捷方式，不影响文件本身");
  Add(it, L"%APPDATA%\\Microsoft\\Windows\\Recent", false, false, {L"*.lnk"});
  Add(it, L"%APPDATA%\\Microsoft\\Windows\\Recent\\CustomDestinations", false, false);
  Add(it, L"%APPDATA%\\Microsoft\\Windows\\Recent\\AutomaticDestinations", false, false);
  cTemp.items.push_back(it);

  it = MkItem("win-serviceprofiles-log", "系统服务日志", Risk::Medium, ItemMode::Files, false,
              "%WinDir%\\ServiceProfiles 下的服务日志，需管理员");
  Add(it, L"%SystemRoot%\\ServiceProfiles", true, true, {L"*.log", L"*.tmp"});
  cTemp.items.push_back(it);

  cats.push_back(cTemp);

  // ---- 2. Application and system caches
  Category cCache;
  cCache.id = "cache";
  cCache.name = "应用与系统缓存";

  it = MkItem("chrome-cache", "Chrome 浏览器缓存", Risk::Low, ItemMode::Files, true,
              "网页缓存，删后首次打开网站会稍慢，不影响登录与书签");
  Add(it, L"%LOCALAPPDATA%\\Google\\Chrome\\User Data\\Default\\Cache", true, false);
  Add(it, L"%LOCALAPPDATA%\\Google\\Chrome\\User Data\\Default\\Code Cache", true, false);
  Add(it, L"%LOCALAPPDATA%\\Google\\Chrome\\User Data\\Default\\GPUCache", true, false);
  Add(it, L"%LOCALAPPDATA%\\Google\\Chrome\\User Data\\Default\\Service Worker\\CacheStorage", true,
      false);
  Add(it, L"%LOCALAPPDATA%\\Google\\Chrome\\User Data\\Default\\Service Worker\\ScriptCache", true,
      false);
  Add(it, L"%LOCALAPPDATA%\\Google\\Chrome\\User Data\\GrShaderCache", true, false);
  AddProfiles(it, L"%LOCALAPPDATA%\\Google\\Chrome\\User Data", kChromeCaches);
  cCache.items.push_back(it);

  it = MkItem("edge-cache", "Edge 浏览器缓存", Risk::Low, ItemMode::Files, true,
              "网页缓存，删后首次打开网站会稍慢，不影响登录与收藏");
  Add(it, L"%LOCALAPPDATA%\\Microsoft\\Edge\\User Data\\Default\\Cache", true, false);
  Add(it, L"%LOCALAPPDATA%\\Microsoft\\Edge\\User Data\\Default\\Code Cache", true, false);
  Add(it, L"%LOCALAPPDATA%\\Microsoft\\Edge\\User Data\\Default\\GPUCache", true, false);
  Add(it, L"%LOCALAPPDATA%\\Microsoft\\Edge\\User Data\\Default\\Service Worker\\CacheStorage",
      true, false);
  Add(it, L"%LOCALAPPDATA%\\Microsoft\\Edge\\User Data\\GrShaderCache", true, false);
  AddProfiles(it, L"%LOCALAPPDATA%\\Microsoft\\Edge\\User Data", kEdgeCaches);
  cCache.items.push_back(it);

  it = MkItem("explorer-cache", "缩略图 / 图标缓存", Risk::Low, ItemMode::Files, true,
              "资源管理器的缩略图缓存，删后自动重建");
  Add(it, L"%LOCALAPPDATA%\\Microsoft\\Windows\\Explorer", false, false,
      {L"ThumbCache*.db", L"iconcache_*.db"});
  cCache.items.push_back(it);

  it = MkItem("prefetch", "预读文件 Prefetch", Risk::Low, ItemMode::Files, true,
              "Windows 预读缓存，删后程序首次启动稍慢，之后自动重建");
  Add(it, L"%SystemRoot%\\Prefetch", false, true, {}, {L".db", L".pf"});
  cCache.items.push_back(it);

  it = MkItem("font-cache", "字体缓存", Risk::Low, ItemMode::Files, true,
              "字体缓存，删后系统自动重建；不会删除已安装字体");
  Add(it, L"%SystemRoot%\\ServiceProfiles\\LocalService\\AppData\\Local\\FontCache", false, true,
      {}, {L".ttf", L".dat"});
  cCache.items.push_back(it);

  it = MkItem("d3d-cache", "D3D 着色器缓存", Risk::Low, ItemMode::Files, true,
              "显卡着色器缓存，删后游戏首次加载稍慢");
  Add(it, L"%LOCALAPPDATA%\\D3DSCache", true, false);
  cCache.items.push_back(it);

  it = MkItem("inetcache", "系统 Web 缓存(IE/INetCache)", Risk::Low, ItemMode::Files, true,
              "系统内置浏览器控件的缓存");
  Add(it, L"%LOCALAPPDATA%\\Microsoft\\Windows\\INetCache", true, false);
  Add(it, L"%LOCALAPPDATA%\\Microsoft\\Windows\\Caches", true, false);
  Add(it, L"%LOCALAPPDATA%\\Microsoft\\Windows\\WebCache", true, false);
  cCache.items.push_back(it);

  it = MkItem("rdp-cache", "远程桌面位图缓存", Risk::Low, ItemMode::Files, true,
              "RDP 会话的位图缓存，不影响远程连接配置");
  Add(it, L"%LOCALAPPDATA%\\Microsoft\\Terminal Server Client\\Cache", true, false);
  cCache.items.push_back(it);

  it = MkItem("cryptnet-cache", "系统证书缓存", Risk::Low, ItemMode::Files, true,
              "CryptnetUrlCache 证书下载缓存，删后需要时自动重下");
  Add(it, L"%USERPROFILE%\\AppData\\LocalLow\\Microsoft\\CryptnetUrlCache", true, false);
  cCache.items.push_back(it);

  it = MkItem("chrome-update-cache", "Chrome 更新包残留", Risk::Medium, ItemMode::Files, false,
              "浏览器更新下载的安装包残留");
  Add(it, L"%ProgramFiles%\\Google\\Chrome\\Application", false, true, {}, {L".exe"});
  Add(it, L"%ProgramFiles(x86)%\\Google\\Update\\Download", false, true, {L"*.exe"});
  cCache.items.push_back(it);

  it = MkItem("chrome360-cache", "360 极速浏览器缓存", Risk::Low, ItemMode::Files, true,
              "360 "
              "极速浏览器每个用户的网页缓存、脚本缓存和显卡着色器缓存；清理后首次打开网站会稍慢，浏"
              "览器会自动重建；不碰登录信息、Cookie、历史记录、收藏夹、设置、扩展和网站保存的数据");
  AddBrowser(it, L"%LOCALAPPDATA%\\360Chrome\\Chrome\\User Data");
  cCache.items.push_back(it);

  it = MkItem("se360-cache", "360 安全浏览器缓存", Risk::Low, ItemMode::Files, true,
              "360 "
              "安全浏览器每个用户的网页缓存、脚本缓存和显卡着色器缓存；清理后首次打开网站会稍慢，浏"
              "览器会自动重建；不碰登录信息、Cookie、历史记录、收藏夹、设置、扩展和网站保存的数据");
  AddBrowser(it, L"%APPDATA%\\360se6\\User Data");
  cCache.items.push_back(it);

  it = MkItem("qqbrowser-cache", "QQ 浏览器缓存", Risk::Low, ItemMode::Files, true,
              "QQ "
              "浏览器每个用户的网页缓存、脚本缓存和显卡着色器缓存；清理后首次打开网站会稍慢，浏览器"
              "会自动重建；不碰登录信息、Cookie、历史记录、书签、设置、扩展和网站保存的数据");
  AddBrowser(it, L"%LOCALAPPDATA%\\Tencent\\QQBrowser\\User Data");
  cCache.items.push_back(it);

  it = MkItem("brave-cache", "Brave 浏览器缓存", Risk::Low, ItemMode::Files, true,
              "Brave "
              "浏览器每个用户的网页缓存、脚本缓存和显卡着色器缓存；清理后首次打开网站会稍慢，浏览器"
              "会自动重建；不碰登录信息、Cookie、历史记录、书签、设置、扩展和网站保存的数据");
  AddBrowser(it, L"%LOCALAPPDATA%\\BraveSoftware\\Brave-Browser\\User Data");
  cCache.items.push_back(it);

  it = MkItem(
      "firefox-cache", "Firefox 浏览器缓存", Risk::Low, ItemMode::Files, true,
      "Firefox 每个配置文件的网页缓存(cache2)和启动缓存；清理后首次打开网站和启动会稍慢，Firefox "
      "会自动重建；不碰书签、历史记录、Cookie、密码、扩展和网站保存的数据");
  Add(it, L"%LOCALAPPDATA%\\Mozilla\\Firefox\\Profiles\\*\\cache2", true, false);
  Add(it, L"%LOCALAPPDATA%\\Mozilla\\Firefox\\Profiles\\*\\startupCache", true, false);
  cCache.items.push_back(it);

  it = MkItem("nvidia-shader-cache", "NVIDIA 显卡着色器缓存", Risk::Low, ItemMode::Files, true,
              "NVIDIA "
              "显卡驱动为游戏和程序编译好的着色器；清理后游戏首次加载稍慢，驱动会重新生成；不碰驱动"
              "、游戏和它们的设置");
  Add(it, L"%LOCALAPPDATA%\\NVIDIA\\DXCache", true, false);
  Add(it, L"%LOCALAPPDATA%\\NVIDIA\\GLCache", true, false);
  cCache.items.push_back(it);

  it = MkItem("amd-shader-cache", "AMD 显卡着色器缓存", Risk::Low, ItemMode::Files, true,
              "AMD "
              "显卡驱动为游戏和程序编译好的着色器；清理后游戏首次加载稍慢，驱动会重新生成；不碰驱动"
              "、游戏和它们的设置");
  Add(it, L"%LOCALAPPDATA%\\AMD\\DxCache", true, false);
  Add(it, L"%LOCALAPPDATA%\\AMD\\DxcCache", true, false);
  Add(it, L"%LOCALAPPDATA%\\AMD\\GLCache", true, false);
  Add(it, L"%LOCALAPPDATA%\\AMD\\VkCache", true, false);
  cCache.items.push_back(it);

  it = MkItem("intel-shader-cache", "Intel 显卡着色器缓存", Risk::Low, ItemMode::Files, true,
              "Intel "
              "显卡驱动为游戏和程序编译好的着色器；清理后游戏首次加载稍慢，驱动会重新生成；不碰驱动"
              "、游戏和它们的设置");
  Add(it, L"%LOCALAPPDATA%\\Intel\\ShaderCache", true, false);
  cCache.items.push_back(it);

  it = MkItem("steam-shader-cache", "Steam 游戏着色器缓存", Risk::Medium, ItemMode::Files, false,
              "Steam "
              "为每个游戏下载或编译的着色器；清理后游戏下次启动时会重新生成，首次进入会较慢；不碰游"
              "戏本体、存档和 Steam 设置");
  Add(it, L"%ProgramFiles(x86)%\\Steam\\steamapps\\shadercache", true, true);
  cCache.items.push_back(it);

  it = MkItem("adobe-media-cache", "Adobe 媒体缓存", Risk::Medium, ItemMode::Files, false,
              "Premiere、After Effects 等 Adobe "
              "软件为素材生成的音频和预览缓存；清理后打开项目时会重新生成，需要一些时间；不碰项目文"
              "件和素材本身");
  Add(it, L"%APPDATA%\\Adobe\\Common\\Media Cache Files", true, false);
  Add(it, L"%APPDATA%\\Adobe\\Common\\Media Cache", true, false);
  cCache.items.push_back(it);

  cats.push_back(cCache);

  // ---- 3. Windows Update, system logs and system leftovers
  Category cSystem;
  cSystem.id = "system";
  cSystem.name = "系统更新与日志";

  it = MkItem("upd-download", "Windows 更新下载缓存", Risk::Medium, ItemMode::Files, false,
              "已下载未安装的更新包，删除后不影响已安装的更新");
  Add(it, L"%SystemRoot%\\SoftwareDistribution\\Download", true, true);
  cSystem.items.push_back(it);

  it = MkItem("upd-datastore", "Windows 更新数据库", Risk::Medium, ItemMode::Files, false,
              "更新历史数据库文件，删除后更新历史列表会变空，系统会重建");
  Add(it, L"%SystemRoot%\\SoftwareDistribution\\DataStore", false, true, {L"*.edb"});
  Add(it, L"%SystemRoot%\\SoftwareDistribution\\DataStore\\Logs", false, true);
  cSystem.items.push_back(it);

  it = MkItem("do-cache", "传递优化缓存", Risk::Medium, ItemMode::Files, false,
              "Windows 局域网更新分发的缓存");
  // The two long paths stay whole, as declared.
  // clang-format off
  Add(it, L"%SystemRoot%\\ServiceProfiles\\NetworkService\\AppData\\Local\\Microsoft\\Windows\\DeliveryOptimization\\Cache",
      true, true, {L"*.bin"});
  Add(it, L"%SystemRoot%\\ServiceProfiles\\NetworkService\\AppData\\Local\\Microsoft\\Windows\\DeliveryOptimization\\Logs",
      false, true, {L"*.etl"});
  // clang-format on
  cSystem.items.push_back(it);

  it = MkItem("sys-dmp", "系统崩溃转储", Risk::Low, ItemMode::Files, true,
              "蓝屏/崩溃时生成的转储文件，排查完毕后可删");
  Add(it, L"%SystemRoot%", false, true, {L"*.dmp"});
  Add(it, L"%SystemRoot%\\LiveKernelReports", true, true);
  Add(it, L"%LOCALAPPDATA%\\CrashDumps", true, false);
  cSystem.items.push_back(it);

  it = MkItem("sys-logs", "系统日志(Windows\\Logs)", Risk::Medium, ItemMode::Files, false,
              "系统组件日志，排障时有用，平时可删");
  Add(it, L"%SystemRoot%\\Logs", true, true, {L"*.log", L"*.etl"});
  cSystem.items.push_back(it);

  it = MkItem("win-panther", "系统安装日志(Panther)", Risk::Medium, ItemMode::Files, false,
              "Windows 安装/升级过程日志");
  Add(it, L"%SystemRoot%\\Panther", true, true, {L"*.log", L"*.xml"});
  cSystem.items.push_back(it);

  it = MkItem("wer-reports", "错误报告队列(WER)", Risk::Medium, ItemMode::Files, false,
              "程序崩溃后上传给微软的错误报告");
  Add(it, L"%ProgramData%\\Microsoft\\Windows\\WER\\ReportArchive", true, false);
  Add(it, L"%ProgramData%\\Microsoft\\Windows\\WER\\ReportQueue", true, false);
  cSystem.items.push_back(it);

  it = MkItem("patch-cache", "补丁缓存 $PatchCache$", Risk::Medium, ItemMode::Dir, false,
              "MSI 补丁缓存；删除后个别程序修复/卸载需重新下载补丁");
  Add(it, L"%SystemRoot%\\Installer\\$PatchCache$", true, true);
  cSystem.items.push_back(it);

  it = MkItem("asm-native", "程序集预编译缓存(.NET NativeImages)", Risk::Medium, ItemMode::Files,
              false, "NativeImages 预编译缓存，删后相关 .NET 程序首次启动变慢；不碰 GAC");
  it.allowDetails = false;
  Add(it, L"%SystemRoot%\\assembly\\NativeImages_v2.0.50727_32", true, true);
  Add(it, L"%SystemRoot%\\assembly\\NativeImages_v2.0.50727_64", true, true);
  Add(it, L"%SystemRoot%\\assembly\\NativeImages_v4.0.30319_32", true, true);
  Add(it, L"%SystemRoot%\\assembly\\NativeImages_v4.0.30319_64", true, true);
  Add(it, L"%SystemRoot%\\assembly\\temp", true, true);
  Add(it, L"%SystemRoot%\\assembly\\tmp", true, true);
  cSystem.items.push_back(it);

  it = MkItem("windows-old", "旧系统目录 Windows.old", Risk::Medium, ItemMode::Dir, false,
              "系统升级留下的旧版本，删除后无法回退到旧系统");
  Add(it, L"%SystemDrive%\\Windows.old", true, false);
  cSystem.items.push_back(it);

  it = MkItem("windows-bt", "升级临时目录 ~BT / ~WS", Risk::Medium, ItemMode::Dir, false,
              "系统升级过程的临时目录");
  Add(it, L"%SystemDrive%\\$WINDOWS.~BT", true, false);
  Add(it, L"%SystemDrive%\\$WINDOWS.~WS", true, false);
  Add(it, L"%SystemDrive%\\$Windows.~BT", true, false);
  Add(it, L"%SystemDrive%\\$Windows.~WS", true, false);
  cSystem.items.push_back(it);

  it = MkItem("win-temp", "系统临时目录(Windows\\Temp)", Risk::Medium, ItemMode::Files, false,
              "系统和安装程序在 Windows\\Temp "
              "留下的临时文件，需管理员；清理后不影响系统，正在使用的文件会跳过；不碰 Windows "
              "目录里的其他文件");
  Add(it, L"%SystemRoot%\\Temp", true, true);
  cSystem.items.push_back(it);

  it = MkItem(
      "upgrade-leftovers", "系统升级与重置残留", Risk::Medium, ItemMode::Dir, false,
      "系统升级助手和重置留下的 $GetCurrent、$SysReset 与 ESD "
      "整个目录；删除后不影响当前系统，只是不能再用它们继续那次升级或查看重置日志；不碰其他目录");
  Add(it, L"%SystemDrive%\\$GetCurrent", true, false);
  Add(it, L"%SystemDrive%\\$SysReset", true, false);
  Add(it, L"%SystemDrive%\\ESD", true, false);
  cSystem.items.push_back(it);

  it = MkItem("recycle-bin", "回收站", Risk::Medium, ItemMode::RecycleBin, false,
              "清空所有盘的回收站，删除后不可恢复");
  cSystem.items.push_back(it);

  it = MkItem("hibernate", "休眠文件 hiberfil.sys", Risk::Medium, ItemMode::Hibernate, false,
              "关闭休眠可腾出与内存同大的空间；重新开启会重建(需管理员)");
  it.allowDetails = false;
  cSystem.items.push_back(it);

  it = MkItem("pagefile", "分页文件(仅统计)", Risk::High, ItemMode::Measure, false,
              "虚拟内存文件，本工具只统计不删；要迁移请用系统属性");
  it.allowDetails = false;
  Add(it, L"%SystemDrive%\\pagefile.sys", false, true);
  cSystem.items.push_back(it);

  it = MkItem("winsxs", "组件存储 WinSxS(仅统计)", Risk::High, ItemMode::Measure, false,
              "不能直接删除，请用 DISM /Online /Cleanup-Image /StartComponentCleanup");
  it.allowDetails = false;
  Add(it, L"%SystemRoot%\\WinSxS", true, true);
  cSystem.items.push_back(it);

  cats.push_back(cSystem);

  // ---- 4. Caches of widely used desktop applications
  Category cApps;
  cApps.id = "apps";
  cApps.name = "第三方应用缓存";

  it = MkItem("wps-cache", "WPS 安装包 / 日志 / 缓存", Risk::Medium, ItemMode::Files, false,
              "WPS 的更新包与日志缓存，不影响文档");
  Add(it, L"%APPDATA%\\kingsoft\\wps\\download", true, false);
  Add(it, L"%APPDATA%\\kingsoft\\office6\\update", true, false);
  Add(it, L"%APPDATA%\\kingsoft\\office6\\log", true, false);
  Add(it, L"%APPDATA%\\kingsoft\\office6\\cache", true, false, {L"*.merge"});
  Add(it, L"%APPDATA%\\kingsoft\\wps\\addons\\pool", true, false);
  cApps.items.push_back(it);

  it = MkItem("qq-temp", "QQ 临时文件与缓存", Risk::Low, ItemMode::Files, true,
              "QQ 的临时目录与界面缓存，不影响聊天记录");
  Add(it, L"%APPDATA%\\Tencent\\QQ\\STemp", true, false);
  Add(it, L"%APPDATA%\\Tencent\\QQ\\Temp", true, false);
  Add(it, L"%APPDATA%\\Tencent\\QQTempSys", true, false);
  Add(it, L"%APPDATA%\\Tencent\\qq_guild\\Cache\\Cache_Data", true, false);
  cApps.items.push_back(it);

  it = MkItem("netease-cache", "网易云音乐缓存", Risk::Medium, ItemMode::Files, false,
              "音乐缓存与日志；不会删除本地下载的歌曲");
  Add(it, L"%LOCALAPPDATA%\\Netease\\CloudMusic\\Cache", true, false);
  Add(it, L"%LOCALAPPDATA%\\Netease\\CloudMusic\\update", true, false);
  Add(it, L"%LOCALAPPDATA%\\NetEase\\CloudMusic\\Temp", true, false);
  Add(it, L"%LOCALAPPDATA%\\NetEase\\CloudMusic\\Log", true, false);
  cApps.items.push_back(it);

  it = MkItem("iqiyi-cache", "爱奇艺缓存", Risk::Medium, ItemMode::Files, false,
              "播放器缓存与日志，不删除已下载的视频");
  Add(it, L"%APPDATA%\\IQIYI Video\\EdgeWebView\\UserData\\EBWebView\\Default\\Cache\\Cache_Data",
      true, false);
  Add(it, L"%APPDATA%\\IQIYI Video\\LStyle\\cache\\recomcache\\pic", true, false);
  Add(it, L"%APPDATA%\\IQIYI Video", false, false, {L"*.log"});
  cApps.items.push_back(it);

  it = MkItem("qqlive-log", "腾讯视频日志", Risk::Low, ItemMode::Files, true, "腾讯视频的日志文件");
  Add(it, L"%APPDATA%\\Tencent\\QQLive\\Log", false, false);
  cApps.items.push_back(it);

  it = MkItem("baidu-log", "百度网盘日志", Risk::Low, ItemMode::Files, true,
              "网盘客户端的日志文件，不影响已同步的文件");
  Add(it, L"%APPDATA%\\BaiduYunKernel\\Data", false, false, {L"*.log"});
  Add(it, L"%APPDATA%\\BaiduYunGuanjia\\logs", false, false, {L"*.txt"});
  cApps.items.push_back(it);

  it = MkItem("360-log", "360 安全卫士日志", Risk::Low, ItemMode::Files, true,
              "360 的弹窗追踪截图与日志");
  Add(it, L"%ProgramData%\\360sd\\PopWndTrackerLog", false, false, {L"*.bmp"});
  Add(it, L"%APPDATA%\\360Safe\\LogInfo", false, false);
  cApps.items.push_back(it);

  it = MkItem("steam-htmlcache", "Steam 网页缓存", Risk::Low, ItemMode::Files, true,
              "Steam 客户端的网页缓存，删后自动重建");
  Add(it, L"%LOCALAPPDATA%\\Steam\\htmlcache", true, false);
  cApps.items.push_back(it);

  it = MkItem("wechat-appdata-cache", "微信客户端缓存(log/crash/组件缓存)", Risk::Medium,
              ItemMode::Files, false, "只删微信的程序缓存与日志，不碰聊天记录与接收的文件");
  Add(it, L"%APPDATA%\\Tencent\\xwechat\\log", true, false);
  Add(it, L"%APPDATA%\\Tencent\\xwechat\\crashinfo", true, false);
  Add(it, L"%APPDATA%\\Tencent\\xwechat\\radium", true, false);
  Add(it, L"%APPDATA%\\Tencent\\xwechat\\XPlugin", true, false);
  cApps.items.push_back(it);

  it = MkItem("wemeet-cache", "腾讯会议缓存", Risk::Medium, ItemMode::Files, false,
              "会议客户端的缓存与日志，不影响会议记录");
  Add(it, L"%APPDATA%\\Tencent\\WeMeet", true, false);
  Add(it, L"%LOCALAPPDATA%\\Tencent\\WeMeet", true, false);
  cApps.items.push_back(it);

  it = MkItem("weixin4-cache", "微信 4.x 账号缓存", Risk::Medium, ItemMode::Files, false,
              "微信 4.x 每个账号文件夹里的 cache "
              "缓存(图片缩略图、临时文件等)；清理后微信需要时会重新下载或生成；不碰聊天记录数据库("
              "db_storage)、任何 .db 文件，也不碰接收的文件、图片和视频");
  Add(it, L"%USERPROFILE%\\Documents\\xwechat_files\\*\\cache", true, false, {},
      {L"*.db", L"*.db-*"});
  cApps.items.push_back(it);

  it = MkItem("wechat3-cache", "微信 3.x 缓存与日志", Risk::Medium, ItemMode::Files, false,
              "微信 3.x 每个账号的 FileStorage\\Cache "
              "缓存和程序日志；清理后微信需要时会重新下载或生成；不碰聊天记录(Msg)、任何 .db "
              "文件，也不碰接收的文件、图片和视频");
  Add(it, L"%USERPROFILE%\\Documents\\WeChat Files\\*\\FileStorage\\Cache", true, false, {},
      {L"*.db", L"*.db-*"});
  Add(it, L"%APPDATA%\\Tencent\\WeChat\\log", true, false, {}, {L"*.db", L"*.db-*"});
  cApps.items.push_back(it);

  it = MkItem(
      "wxwork-cache", "企业微信缓存", Risk::Medium, ItemMode::Files, false,
      "企业微信每个账号文件夹里的 Cache "
      "缓存；清理后企业微信需要时会重新下载或生成；不碰聊天记录、任何 .db 文件，也不碰接收的文件");
  Add(it, L"%USERPROFILE%\\Documents\\WXWork\\*\\Cache", true, false, {}, {L"*.db", L"*.db-*"});
  cApps.items.push_back(it);

  it = MkItem("jianying-cache", "剪映专业版 / CapCut 缓存", Risk::Medium, ItemMode::Files, false,
              "剪映专业版和 CapCut "
              "为素材生成的字幕识别、画面缩略图、音频波形、算法和图片缓存；清理后打开草稿时会重新生"
              "成；不碰草稿(Projects)和下载的特效、素材");
  for (const wchar_t* app : {L"JianyingPro", L"CapCut"})
    for (const wchar_t* sub :
         {L"recognize", L"frameThumbnail", L"audioWave", L"AlgorithmCache", L"image"}) {
      std::wstring path = std::wstring(L"%LOCALAPPDATA%\\") + app + L"\\User Data\\Cache\\" + sub;
      Add(it, path.c_str(), true, false);
    }
  cApps.items.push_back(it);

  it = MkItem(
      "chromium-app-caches", "其他软件的网页缓存（Chromium 内核）", Risk::Medium, ItemMode::Files,
      false,
      "用 Chromium 内核(Electron、CEF)做的聊天、会议、音乐、网盘、视频等软件在 "
      "%APPDATA% 和 %LOCALAPPDATA% "
      "里的网页缓存、脚本缓存和显卡着色器缓存，按文件夹的结构认出，不按软件名；清理后这些软件"
      "会自动重建缓存，首次打开可能稍慢；不碰登录信息、Cookie、聊天记录、设置、网站保存的数据"
      "和数据库，也不碰上面各浏览器自己的文件夹");
  for (const wchar_t* root : {L"%APPDATA%", L"%LOCALAPPDATA%"}) {
    Add(it, root, true, false, {L"*"}, {L"*.db", L"*.db-*"});
    it.targets.back().findsChromiumCaches = true;
  }
  cApps.items.push_back(it);

  cats.push_back(cApps);

  // ---- 5. Chat data folders: measured only, never deleted
  Category cChat;
  cChat.id = "chat";
  cChat.name = "聊天软件空间体检（只统计）";

  it = MkItem("weixin4-data", "微信 4.x 数据目录", Risk::High, ItemMode::Measure, false,
              "聊天记录与接收的文件，只统计；请用微信「设置-存储空间」迁移");
  it.allowDetails = false;
  Add(it, L"%USERPROFILE%\\Documents\\xwechat_files", true, false);
  cChat.items.push_back(it);

  it = MkItem("wechat3-data", "微信 3.x 数据目录", Risk::High, ItemMode::Measure, false,
              "聊天记录与接收的文件，只统计；请用微信「设置-文件管理」迁移");
  it.allowDetails = false;
  Add(it, L"%USERPROFILE%\\Documents\\WeChat Files", true, false);
  cChat.items.push_back(it);

  it = MkItem("qqnt-data", "QQ(NT) 数据目录", Risk::High, ItemMode::Measure, false,
              "聊天记录与接收的文件，只统计；请用 QQ「设置-文件管理」迁移");
  it.allowDetails = false;
  Add(it, L"%USERPROFILE%\\Documents\\Tencent Files", true, false);
  cChat.items.push_back(it);

  cats.push_back(cChat);

  // ---- 6. Sample media and wallpapers
  Category cSamples;
  cSamples.id = "samples";
  cSamples.name = "示例文件与壁纸";

  it = MkItem("sample-media", "系统示例音乐 / 视频 / 图片", Risk::Medium, ItemMode::Files, false,
              "Windows 自带的示例媒体文件");
  it.userFiles = true;
  Add(it, L"%PUBLIC%\\Music\\Sample Music", true, false);
  Add(it, L"%PUBLIC%\\Videos\\Sample Videos", true, false);
  Add(it, L"%PUBLIC%\\Pictures\\Sample Pictures", true, false);
  cSamples.items.push_back(it);

  it = MkItem("wallpapers", "系统自带壁纸", Risk::Medium, ItemMode::Dir, false,
              "Windows 自带壁纸整目录；如果正在用其中一张做桌面请不要删");
  it.userFiles = true;
  Add(it, L"%SystemRoot%\\Web\\Wallpaper", true, true);
  cSamples.items.push_back(it);

  cats.push_back(cSamples);

  // ---- 7. Installers and videos in Downloads
  Category cDownloads;
  cDownloads.id = "downloads";
  cDownloads.name = "下载目录与安装包";

  it = MkItem("downloads-installer", "下载目录里的安装包", Risk::Medium, ItemMode::Files, false,
              "Downloads 下的安装包与压缩包，删前请自己确认还要不要");
  it.userFiles = true;
  Add(it, L"%USERPROFILE%\\Downloads", true, false,
      {L"*.exe", L"*.msi", L"*.zip", L"*.rar", L"*.7z", L"*.iso"});
  cDownloads.items.push_back(it);

  it = MkItem("downloads-video", "下载目录里的视频", Risk::Medium, ItemMode::Files, false,
              "Downloads 顶层的视频文件，删前请自己确认");
  it.userFiles = true;
  Add(it, L"%USERPROFILE%\\Downloads", false, false, {L"*.mp4", L"*.mkv", L"*.avi", L"*.flv"});
  cDownloads.items.push_back(it);

  cats.push_back(cDownloads);

  // ---- 8. Developer tools' caches, and what they keep that is measured only
  Category cDev;
  cDev.id = "dev";
  cDev.name = "开发工具缓存";

  it =
      MkItem("npm-cache", "npm 缓存", Risk::Medium, ItemMode::Files, false,
             "npm 下载过的软件包缓存；清理后安装依赖时会重新下载，速度会慢一些；不碰项目和项目里的 "
             "node_modules");
  Add(it, L"%LOCALAPPDATA%\\npm-cache\\_cacache", true, false);
  cDev.items.push_back(it);

  it = MkItem(
      "yarn-cache", "Yarn 缓存", Risk::Medium, ItemMode::Files, false,
      "Yarn 下载过的软件包缓存；清理后安装依赖时会重新下载；不碰项目和项目里的 node_modules");
  Add(it, L"%LOCALAPPDATA%\\Yarn\\Cache", true, false);
  cDev.items.push_back(it);

  it = MkItem(
      "pip-cache", "pip 缓存", Risk::Medium, ItemMode::Files, false,
      "pip 下载和编译过的 Python 包缓存；清理后安装包时会重新下载；不碰已安装的包和虚拟环境");
  Add(it, L"%LOCALAPPDATA%\\pip\\Cache", true, false);
  cDev.items.push_back(it);

  it = MkItem("nuget-cache", "NuGet 缓存", Risk::Medium, ItemMode::Files, false,
              "NuGet 的 HTTP 缓存、插件缓存和临时目录；清理后还原包时会重新下载；不碰全局包目录 "
              ".nuget\\packages 和项目");
  Add(it, L"%LOCALAPPDATA%\\NuGet\\v3-cache", true, false);
  Add(it, L"%LOCALAPPDATA%\\NuGet\\plugins-cache", true, false);
  Add(it, L"%TEMP%\\NuGetScratch", true, false);
  cDev.items.push_back(it);

  it = MkItem("go-build-cache", "Go 编译缓存", Risk::Medium, ItemMode::Files, false,
              "Go 的编译结果缓存；清理后下次编译会慢一些，结果会重新生成；不碰源代码和下载的模块");
  Add(it, L"%LOCALAPPDATA%\\go-build", true, false);
  cDev.items.push_back(it);

  it = MkItem(
      "cargo-cache", "Cargo 下载缓存", Risk::Medium, ItemMode::Files, false,
      "Cargo 下载的 crate 压缩包；清理后编译时会重新下载；不碰已解压的源码、已安装的工具和项目");
  Add(it, L"%USERPROFILE%\\.cargo\\registry\\cache", true, false);
  cDev.items.push_back(it);

  it = MkItem("gradle-caches", "Gradle 缓存", Risk::Medium, ItemMode::Dir, false,
              "Gradle 的整个 caches "
              "目录(依赖、构建缓存等)；删除后下次构建会重新下载和生成，第一次会很慢；不碰项目和 "
              "Gradle 的设置");
  Add(it, L"%USERPROFILE%\\.gradle\\caches", true, false);
  cDev.items.push_back(it);

  it = MkItem("jetbrains-caches", "JetBrains IDE 缓存", Risk::Medium, ItemMode::Files, false,
              "IntelliJ IDEA、PyCharm 等 JetBrains IDE "
              "每个版本的索引和缓存；清理后打开项目会重新建立索引；不碰设置、插件和项目");
  Add(it, L"%LOCALAPPDATA%\\JetBrains\\*\\caches", true, false);
  cDev.items.push_back(it);

  it = MkItem("vscode-cache", "VS Code 缓存", Risk::Medium, ItemMode::Files, false,
              "VS Code 的网页缓存、编译缓存和下载过的扩展安装包；清理后 VS Code "
              "会自动重建；不碰设置、已安装的扩展和工作区");
  Add(it, L"%APPDATA%\\Code\\Cache", true, false);
  Add(it, L"%APPDATA%\\Code\\CachedData", true, false);
  Add(it, L"%APPDATA%\\Code\\CachedExtensionVSIXs", true, false);
  Add(it, L"%APPDATA%\\Code\\Code Cache", true, false);
  Add(it, L"%APPDATA%\\Code\\GPUCache", true, false);
  cDev.items.push_back(it);

  it = MkItem("nuget-packages", "NuGet 全局包目录(只统计)", Risk::High, ItemMode::Measure, false,
              "项目用到的 NuGet 包，不是缓存，只统计不删；要清理请用 dotnet nuget locals "
              "global-packages --clear");
  it.allowDetails = false;
  Add(it, L"%USERPROFILE%\\.nuget\\packages", true, false);
  cDev.items.push_back(it);

  it = MkItem("maven-repository", "Maven 本地仓库(只统计)", Risk::High, ItemMode::Measure, false,
              "项目用到的 Maven 依赖，不是缓存，只统计不删；删除后构建要重新下载");
  it.allowDetails = false;
  Add(it, L"%USERPROFILE%\\.m2\\repository", true, false);
  cDev.items.push_back(it);

  it = MkItem(
      "package-cache", "安装程序包缓存(只统计)", Risk::High, ItemMode::Measure, false,
      "Visual Studio 等程序修复和卸载时要用的安装包，只统计不删；删除后这些程序可能无法修复或卸载");
  it.allowDetails = false;
  Add(it, L"%ProgramData%\\Package Cache", true, false);
  cDev.items.push_back(it);

  it = MkItem("wsl-docker-disks", "WSL 与 Docker 虚拟磁盘(只统计)", Risk::High, ItemMode::Measure,
              false,
              "WSL 发行版和 Docker 的虚拟磁盘，里面是它们的全部数据，只统计不删；要缩小或迁移请用 "
              "wsl 或 Docker 自己的命令");
  it.allowDetails = false;
  Add(it, L"%LOCALAPPDATA%\\Packages\\*\\LocalState\\ext4.vhdx", false, false);
  Add(it, L"%LOCALAPPDATA%\\Docker\\wsl\\*", false, false, {L"*.vhdx"});
  cDev.items.push_back(it);

  cats.push_back(cDev);

  // ---- 9. Files received in chats, the old ones only
  Category cChatFiles;
  cChatFiles.id = "chat-files";
  cChatFiles.name = "聊天软件接收的旧文件";

  it = MkItem("wechat-received-files", "微信接收的文件、图片和视频", Risk::Medium, ItemMode::Files,
              false,
              "微信聊天里收到的文件、图片和视频，只清理超过所选天数的(没有选择时为 30 "
              "天以上)"
              "，移到回收站，需要时可以还原；清理后聊天记录里这些文件会显示为已过期或无法打开；不碰"
              "聊天记录数据库和账号里的其他文件");
  it.userFiles = true;
  it.minAgeDays = 30;
  for (const wchar_t* sub : {L"msg\\file", L"msg\\video", L"msg\\attach"}) {
    std::wstring path = std::wstring(L"%USERPROFILE%\\Documents\\xwechat_files\\*\\") + sub;
    Add(it, path.c_str(), true, false, {}, {L"*.db", L"*.db-*"});
  }
  for (const wchar_t* sub : {L"File", L"Video", L"Image", L"MsgAttach"}) {
    std::wstring path =
        std::wstring(L"%USERPROFILE%\\Documents\\WeChat Files\\*\\FileStorage\\") + sub;
    Add(it, path.c_str(), true, false, {}, {L"*.db", L"*.db-*"});
  }
  cChatFiles.items.push_back(it);

  it = MkItem("qqnt-received-files", "QQ 接收的文件、图片和视频", Risk::Medium, ItemMode::Files,
              false,
              "QQ(NT 版)聊天里收到的文件、图片和视频，只清理超过所选天数的(没有选择时为 30 "
              "天以上)"
              "，移到回收站，需要时可以还原；清理后聊天记录里这些文件会显示为已过期或无法打开；不碰"
              "聊天记录数据库和账号里的其他文件");
  it.userFiles = true;
  it.minAgeDays = 30;
  for (const wchar_t* sub : {L"File", L"Video", L"Pic"}) {
    std::wstring path =
        std::wstring(L"%USERPROFILE%\\Documents\\Tencent Files\\*\\nt_qq\\nt_data\\") + sub;
    Add(it, path.c_str(), true, false, {}, {L"*.db", L"*.db-*"});
  }
  cChatFiles.items.push_back(it);

  cats.push_back(cChatFiles);

  // ---- 10. Space only Windows' own tools reclaim: analysed by the scan,
  // acted on by a real clean after every file item, never unattended
  Category cTools;
  cTools.id = "systools";
  cTools.name = "系统工具清理";

  it = MkItem("component-cleanup", "组件存储清理", Risk::Medium, ItemMode::SystemTool, false,
              "用 Windows 自带的 DISM 删除组件存储(WinSxS)里已被新版本取代的旧组件；扫描时先由 "
              "DISM 分析可回收多少；已安装的更新仍可卸载；需管理员，运行中不能停止");
  it.allowDetails = false;
  it.tool = SystemTool::ComponentStore;
  it.toolTime = "约 5–60 分钟";
  cTools.items.push_back(it);

  it = MkItem("reserved-storage", "保留的存储", Risk::Medium, ItemMode::SystemTool, false,
              "用 Windows 自带的 DISM 关闭 Windows 为更新预留的空间(保留的存储，约 7 GB)；"
              "关闭后磁盘快满时更新更容易失败，可以在设置里重新打开；只适用于 Windows 10 2004 "
              "及以后的版本；Windows 正在安装更新时不能关闭；需管理员");
  it.allowDetails = false;
  it.tool = SystemTool::ReservedStorage;
  it.toolTime = "几秒钟";
  cTools.items.push_back(it);

  it = MkItem("compact-os", "压缩系统文件 (Compact OS)", Risk::Medium, ItemMode::SystemTool, false,
              "用 Windows 自带的 compact 压缩 Windows 的系统文件(Compact OS)，通常可省出 2–4 "
              "GB；之后读取系统文件要多用一些 CPU，配置较低的电脑可能变慢；可以在设置里关闭压缩；"
              "需管理员，运行中不能停止");
  it.allowDetails = false;
  it.tool = SystemTool::CompactOs;
  it.toolTime = "约 10–20 分钟";
  cTools.items.push_back(it);

  it = MkItem("hiber-reduced", "减小休眠文件", Risk::Medium, ItemMode::SystemTool, false,
              "用 Windows 自带的 powercfg 把休眠文件改为精简类型，约为原来的一半；快速启动照常，"
              "但不能再选「休眠」；需管理员");
  it.allowDetails = false;
  it.tool = SystemTool::ReducedHibernation;
  it.toolTime = "几秒钟";
  cTools.items.push_back(it);

  it = MkItem("restore-points", "系统还原点", Risk::Medium, ItemMode::SystemTool, false,
              "用 Windows 自带的系统还原接口删除较旧的系统还原点，只保留最新的一个；扫描时列出"
              "会删除的还原点和 C 盘卷影存储的大小；删除后不能再还原到那些时间点；需管理员");
  it.allowDetails = false;
  it.tool = SystemTool::RestorePoints;
  it.toolTime = "约 1 分钟";
  it.toolStoppable = true;  // between two points
  cTools.items.push_back(it);

  it = MkItem("old-drivers", "旧版驱动程序包", Risk::Medium, ItemMode::SystemTool, false,
              "用 Windows 自带的驱动安装接口删除第三方驱动程序包里已有新版本的旧版本，同一驱动"
              "只保留最新的；设备正在使用的包 Windows 会拒绝删除；删除后不能再回退到这些旧版驱动；"
              "需管理员");
  it.allowDetails = false;
  it.tool = SystemTool::DriverPackages;
  it.toolTime = "约 1–5 分钟";
  it.toolStoppable = true;  // between two packages
  cTools.items.push_back(it);

  cats.push_back(cTools);

  SkipBrowserFolders(cats);
  return cats;
}

}  // namespace tamsel
