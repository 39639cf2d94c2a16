// The cleaning rules: what can be cleaned (categories of items, each with the
// locations it covers) and the path-safety gate every deletion passes first.
//
// Everything the program may clean is data declared here; the engine only
// interprets it. Records are plain values copied deep: a task works on its
// own copy of the catalogue. Paths and patterns are wide strings because
// they go straight to the file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tamsel {

// What a clean does with an item's files.
enum class ItemMode : uint8_t {
  Files,       // the files its targets' filters take; folders stay
  Dir,         // each target folder whole, then the folder itself
  Measure,     // counted, never deleted
  RecycleBin,  // the Recycle Bin, emptied through the system
  Hibernate,   // the hibernation file, turned off through the system
  SystemTool,  // space only Windows' own tools reclaim: analysed by a scan, acted on by a clean
  Count
};

// Which of Windows' own tools a "system tool" item runs (engine/system_tools).
enum class SystemTool : uint8_t {
  None,
  ComponentStore,      // dism.exe: analyse, then clean up the component store
  ReducedHibernation,  // powercfg.exe: a reduced hibernation file, fast start-up kept
  ReservedStorage,     // dism.exe: the storage Windows reserves for updates, turned off
  CompactOs,           // compact.exe: the system's binaries compressed (Compact OS)
  RestorePoints,       // WMI and srclient.dll: every restore point but the newest
  DriverPackages,      // SetupAPI: third-party driver packages a newer version replaced
};

// How much a clean of an item may cost the user: a label only.
enum class Risk : uint8_t { Low, Medium, High, Count };

// The names the documents print (the items' "mode" and "risk" of
// /api/rules), indexed by the enums. Nothing reads them back.
extern const char* const kItemModeNames[static_cast<size_t>(ItemMode::Count)];
extern const char* const kRiskNames[static_cast<size_t>(Risk::Count)];

inline const char* ItemModeName(ItemMode m) {
  return kItemModeNames[static_cast<size_t>(m)];
}
inline const char* RiskName(Risk r) {
  return kRiskNames[static_cast<size_t>(r)];
}

struct Target {
  // Expanded location: a directory or one file. A folder name may hold `*`
  // (a wildcard folder): the engine expands the target at scan and clean
  // time to the folders that match (see ExpandItem in the engine).
  std::wstring path;
  bool recursive = true;              // descend into subdirectories
  bool allowSystem = false;           // may delete inside the protected system areas
  std::vector<std::wstring> include;  // file-name patterns; empty takes every file
  std::vector<std::wstring> exclude;  // wildcard: whole name; plain: name suffix
  // The path is a folder the engine searches for the disk caches of
  // Chromium-based programs (ExpandItem in the engine): the target stands for
  // the cache folders found there and is never walked itself.
  bool findsChromiumCaches = false;
  // Such a search never enters these folders (the browsers' user data
  // folders the catalogue's other items clean).
  std::vector<std::wstring> searchSkips;
  // A cache folder the search found: the folder of the program it belongs
  // to, by which its files are listed; empty for every other target.
  std::wstring group;
};

struct RuleItem {
  std::string id;                   // unique across the catalogue
  std::string name;                 // display name
  std::string desc;                 // one sentence for the user
  Risk risk = Risk::Low;            // a label only
  ItemMode mode = ItemMode::Files;  // what a clean does with its files
  bool defaultEnabled = true;       // selected by default in the interface
  bool allowDetails = true;         // its files may be listed
  // It holds the user's own files (downloads, sample media, wallpapers): a
  // real clean moves them to the Recycle Bin, and it never runs unattended.
  bool userFiles = false;
  // When the user chose no age, only files at least this many days old
  // (received chat files: the latest ones are still being looked at).
  int minAgeDays = 0;
  std::vector<Target> targets;  // scanned and cleaned in this order
  // A "system tool" item: the tool it runs, how long its action may take
  // (text for the user) and whether it may be stopped once started.
  SystemTool tool = SystemTool::None;
  std::string toolTime;
  bool toolStoppable = false;
};

struct Category {
  std::string id;
  std::string name;
  std::vector<RuleItem> items;
};

// ---- Catalogue --------------------------------------------------------------

// The built-in catalogue, built fresh, paths expanded in the environment of
// the moment: 10 categories, 85 items, 240 targets, in display order.
std::vector<Category> BuildRules();

// The first item with exactly this id (case-sensitive), or null.
const RuleItem* FindItem(const std::vector<Category>& cats, const std::string& id);

// Builders the catalogue is declared with.
RuleItem MkItem(const char* id, const char* name, Risk risk, ItemMode mode, bool defaultEnabled,
                const char* desc);
Target T(const wchar_t* path, bool recursive, bool allowSystem);  // path is expanded
void Inc(Target& t, const wchar_t* pattern);
void Exc(Target& t, const wchar_t* pattern);

// ---- Path safety and matching -------------------------------------------------

// Whole-text match: * any run (also across separators), ? one character,
// ASCII letters without regard to case.
bool WildMatchStr(const wchar_t* pattern, const wchar_t* text);

// C:, C:\, C:/ (trailing separators dropped) and anything shorter than two
// characters.
bool IsDriveRootPath(const std::wstring& path);

// path lies strictly inside dir, both compared in their one form
// (paths/paths.h: separators folded, short names expanded, ASCII case
// folded); a path written with a trailing separator counts as inside. A text
// without that form (relative, unexpanded) is compared as written.
bool IsUnderDir(const std::wstring& path, const std::wstring& dir);

// path lies strictly inside the user's own desktop folder.
bool IsDesktopArea(const std::wstring& path);

// path or one of its ancestors (up to the drive root) is a reparse point.
bool HasReparseInPath(const std::wstring& path);

// Environment references expanded (undefined ones kept as written); trailing
// separators trimmed down to three characters (C:\ stays).
std::wstring ExpandEnvW(const std::wstring& s);

// path equals or lies inside the Windows or a program-files directory, in
// their one form as IsUnderDir compares them.
bool IsSystemArea(const std::wstring& path);

// The gate before every deletion. On refusal, reason is replaced by one of
// "空路径", "盘符根目录", "桌面", "系统目录(规则未声明 allowSystem)",
// "用户主目录根" (and, with a context that holds protected paths,
// "已设为不清理"); on success it is left untouched. This one, without a
// context, takes any path the program received: what passes as written is
// judged again in its one form (short names expanded), and a path that has
// none is refused with the fault's text (kPathFaultTexts).
bool IsSafeDeletePath(const std::wstring& path, bool allowSystem, std::wstring& reason);

// What the gate asks the system, asked once: the desktop folder, the
// protected system folders and the home folder, in their one form
// (paths/paths.h, short names expanded), folded for comparison. The paths
// it judges are in that form too: the engine's walk builds them from the
// catalogue's targets (in that form) and the names the system lists. A
// task takes one when it starts and judges each of its paths with it, so
// that a deletion does not cost a handful of environment and shell look-ups.
// The verdicts and reasons are those of IsSafeDeletePath above (which is
// this with a context taken at the call) as long as the environment and the
// desktop folder stay as they were when the context was taken.
struct SafetyContext {
  bool hasDesktop = false;              // the shell named a desktop folder
  std::wstring desktop;                 // folded, ends in a backslash
  std::vector<std::wstring> system;     // folded kSys folders, empty ones left out
  std::vector<std::wstring> systemSep;  // the same, each ending in a backslash
  std::wstring home;                    // folded, trailing backslashes trimmed
  std::vector<std::wstring> protect;  // paths the user keeps: folded, trailing backslashes trimmed
};
// The context of the moment; protect lists the paths (folders or files) the
// user never wants cleaned, refused with everything inside them.
SafetyContext MakeSafetyContext(const std::vector<std::wstring>& protect = {});

// Protected paths as a context holds them: folded, trailing separators
// trimmed, empty ones left out.
std::vector<std::wstring> FoldProtectedPaths(const std::vector<std::wstring>& protect);

// path is one of the context's protected paths or lies inside one.
bool IsProtectedPath(const SafetyContext& ctx, const std::wstring& path);
bool IsSafeDeletePath(const SafetyContext& ctx, const std::wstring& path, bool allowSystem,
                      std::wstring& reason);

// UTF-8 and wide text (code page 65001).
std::wstring U2W(const std::string& s);
std::string W2U(const std::wstring& s);

}  // namespace tamsel
