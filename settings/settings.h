// What the program keeps between runs: the user's settings in
// %LOCALAPPDATA%\tamsel\settings.json. This module owns that file and the
// copy of it the running program works with.
//
// The file is {"version":1,"selected":[...],"olderThanDays":N,
// "restartExplorer":B,"protect":[...],"excluded":[["item-id","C:\\path"],...],
// "autoItems":[...],"autoOlderThanDays":N}, written whole into a temporary file
// of the writing process's own, flushed, and renamed over the old one, so
// that a reader (or a second program writing at the same moment) sees one
// writer's file whole, never a mix.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "rules/tamsel_core.h"

namespace tamsel {

constexpr int kSettingsVersion = 1;
// A settings body, and the file read at start. It is sized for the longest
// list of files left out: 100,000 pairs of an item id (about 20 bytes) and a
// full path (about 100 characters, its backslashes doubled in JSON) come to
// roughly 15 MB, so 16 MiB holds them with the rest of the document. The
// server's largest body (server/web_shell.h) is the same.
constexpr size_t kMaxSettingsBytes = 16u << 20;
constexpr size_t kMaxProtectedPaths = 1000;
constexpr int kMaxOlderThanDays = 3650;
constexpr size_t kMaxSettingsPathChars = 32767;  // Windows' own limit of a path
constexpr size_t kMaxExcludedFiles = 100000;     // files left out for good
constexpr int kDefaultAutoOlderThanDays = 1;     // the automatic clean takes no file of today

// A file the user left out of an item's clean for good. It is left out by
// every item (a file the user unticked never goes, even through another).
struct Exclusion {
  std::string item;  // the item whose file list it was unticked in
  std::string path;  // an absolute C:\ path, as NormalizeProtectedPath keeps it
};

struct Settings {
  std::vector<std::string> selected;  // item ids, catalogue order
  int olderThanDays = 0;              // 0: every file
  bool restartExplorer = false;
  std::vector<std::string> protect;  // absolute C:\ paths, UTF-8, trailing backslashes trimmed
  std::vector<Exclusion> excluded;   // each (item, folded path) once, as the user left them out
  // What the automatic clean (--clean default, the schedule) runs: item ids
  // in catalogue order, never an item of the user's own files nor a
  // measure-only one; and its age filter.
  std::vector<std::string> autoItems;
  int autoOlderThanDays = kDefaultAutoOlderThanDays;
};

// %LOCALAPPDATA%\tamsel, created (with any folder missing above it) when
// missing; empty when the shell names no
// local application data folder.
std::wstring StateDir();

// The catalogue's recommended selection, nothing else set; the automatic
// clean runs the recommended items too (AutoCleanable ones only).
Settings DefaultSettings(const std::vector<Category>& cats);

// Whether an item may run in the automatic clean: it deletes (not measure
// only) and holds no files of the user's own.
bool AutoCleanable(const RuleItem& item);

// Reads a settings document. Unknown ids in "selected" are dropped; anything
// else that is not as the file describes (malformed JSON, another version, a
// member of the wrong type, olderThanDays outside 0..kMaxOlderThanDays, a
// protected path that is no absolute C:\ path, more than kMaxProtectedPaths)
// gives false with the reason in *message, in the user's words.
//
// "excluded", "autoItems" and "autoOlderThanDays" are checked as strictly
// (a pair or id that is not as described, an unknown id, an id the automatic
// clean may not run, more than kMaxExcludedFiles pairs, a day count outside
// 0..kMaxOlderThanDays) unless dropped is given: then what is valid of them
// is kept, the rest falls back to nothing (or the default day count), and
// each thing dropped is described in *dropped. An exclusion may also be
// written {"item":"id","path":"C:\\..."}; it is always written as a pair.
bool ParseSettings(const std::string& text, const std::vector<Category>& cats, Settings* out,
                   std::string* message, std::vector<std::string>* dropped = nullptr);

// A protected path (or a file left out) as the settings keep it: its one
// form on drive C (paths/paths.h: "/" and doubled separators folded,
// trailing ones trimmed, short names expanded), not the drive's root. False
// when the text has no such form (a control character, "." or "..", a
// relative path, another drive, a device name...).
bool NormalizeProtectedPath(const std::string& text, std::string* out);

// The document, keys in the fixed order above, no white space.
std::string SettingsJson(const Settings& s);

// Reads dir\settings.json. When it is missing, unreadable or of another
// version the defaults are returned; but for a missing file (a first start)
// *warning says why. What is wrong only in "excluded", "autoItems" or
// "autoOlderThanDays" is dropped, the rest kept, and *warning names what was
// dropped (the program prints it as a [warn] line). An unreadable file (empty, truncated,
// not JSON, not as described, larger than kMaxSettingsBytes) is renamed aside to settings.json.bad;
// a file of another version is left as it is. The temporary files of saves
// that never finished are removed first (RemoveInterruptedSaves).
Settings LoadSettings(const std::wstring& dir, const std::vector<Category>& cats,
                      std::string* warning);

// Writes dir\settings.json atomically (through dir\settings.json.PID-N.tmp,
// PID this process's id and N its count of saves); false when it could not.
bool SaveSettings(const std::wstring& dir, const Settings& s);

// Whether name is that of a save's temporary file: settings.json.PID-N.tmp.
bool IsInterruptedSaveName(const std::wstring& name);

// Removes the temporary files of saves killed before they ended: files of
// dir (not its subfolders) named as IsInterruptedSaveName says and last
// written at least a minute before now (FILETIME), so that a save going on
// in another process keeps its own. Returns how many went.
size_t RemoveInterruptedSaves(const std::wstring& dir, uint64_t now);

// The settings the running program works with: the defaults until
// SetCurrentSettings. Safe from any thread.
Settings CurrentSettings();
void SetCurrentSettings(const Settings& s);

// The protected paths as the engine takes them.
std::vector<std::wstring> ProtectedPathsOf(const Settings& s);

// The protected paths of the current settings, without a copy of the rest
// (the space map's documents ask for them on every request). Safe from any
// thread.
std::vector<std::wstring> CurrentProtectedPaths();

// Drops the exclusions whose file is gone; true when one was dropped. A path
// whose attributes cannot be read for another reason than its absence (no
// permission, a disk fault) is kept.
bool DropGoneExclusions(Settings* s);

// Drops the gone exclusions of the current settings and saves them to dir
// when one was dropped; false when that save failed (memory keeps the
// change). Serialised with every other save through SettingsSaveLock().
bool DropGoneExclusionsAndSave(const std::wstring& dir);

// The lock every read-modify-save of the current settings holds, so that the
// file and the copy in memory end alike.
std::mutex& SettingsSaveLock();

}  // namespace tamsel
