// What the program keeps between runs: the user's settings in
// %LOCALAPPDATA%\tamsel\settings.json. This module owns that file and the
// copy of it the running program works with.
//
// The file is {"version":1,"selected":[...],"olderThanDays":N,
// "restartExplorer":B,"protect":[...]}, written whole into a temporary file
// of the writing process's own, flushed, and renamed over the old one, so
// that a reader (or a second program writing at the same moment) sees one
// writer's file whole, never a mix.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "rules/tamsel_core.h"

namespace tamsel {

constexpr int kSettingsVersion = 1;
constexpr size_t kMaxSettingsBytes = 65536;  // a settings body, and the file read at start
constexpr size_t kMaxProtectedPaths = 1000;
constexpr int kMaxOlderThanDays = 3650;
constexpr size_t kMaxSettingsPathChars = 32767;  // Windows' own limit of a path

struct Settings {
  std::vector<std::string> selected;  // item ids, catalogue order
  int olderThanDays = 0;              // 0: every file
  bool restartExplorer = false;
  std::vector<std::string> protect;  // absolute C:\ paths, UTF-8, trailing backslashes trimmed
};

// %LOCALAPPDATA%\tamsel, created when missing; empty when the shell names no
// local application data folder.
std::wstring StateDir();

// The catalogue's recommended selection, nothing else set.
Settings DefaultSettings(const std::vector<Category>& cats);

// Reads a settings document. Unknown item ids are dropped; anything else
// that is not as the file describes (malformed JSON, another version, a
// member of the wrong type, olderThanDays outside 0..kMaxOlderThanDays, a
// protected path that is no absolute C:\ path, more than kMaxProtectedPaths)
// gives false with the reason in *message, in the user's words.
bool ParseSettings(const std::string& text, const std::vector<Category>& cats, Settings* out,
                   std::string* message);

// A protected path as the settings keep it: an absolute C:\ path with
// backslashes, no "." or ".." element, no control character, trailing
// backslashes trimmed. False when the text is no such path.
bool NormalizeProtectedPath(const std::string& text, std::string* out);

// The document, keys in the fixed order above, no white space.
std::string SettingsJson(const Settings& s);

// Reads dir\settings.json. When it is missing, unreadable or of another
// version the defaults are returned; but for a missing file (a first start)
// *warning says why (the program prints it as a [warn] line). An unreadable file (empty, truncated,
// not JSON, not as described, larger than kMaxSettingsBytes) is renamed aside to settings.json.bad;
// a file of another version is left as it is.
Settings LoadSettings(const std::wstring& dir, const std::vector<Category>& cats,
                      std::string* warning);

// Writes dir\settings.json atomically; false when it could not.
bool SaveSettings(const std::wstring& dir, const Settings& s);

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

}  // namespace tamsel
