#include "settings/settings.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#include "paths/paths.h"
#include "platform/platform.h"
#include "text/json_doc.h"
#include "text/text.h"

namespace tamsel {
namespace {

const wchar_t kAppFolder[] = L"tamsel";
const wchar_t kSettingsFile[] = L"settings.json";
const wchar_t kBadSuffix[] = L".bad";
constexpr int kReplaceAttempts = 50;
constexpr int kReplacePauseMs = 10;

std::mutex g_settingsLock;
Settings g_settings;

// Temporary files of this process are numbered, so that two saves of one
// process never share one either.
std::atomic<uint32_t> g_tempCounter{0};

// A save's temporary file left behind is removed once it is this old
// (FILETIME units): a save that is still going on, in this or another
// process, keeps its file for milliseconds.
constexpr uint64_t kInterruptedSaveAge = 60ULL * 10000000ULL;

// "PID-N" of a temporary file's name: two runs of digits around a "-".
bool IsPidAndNumber(const std::wstring& text) {
  size_t dash = text.find(L'-');
  if (dash == std::wstring::npos || dash == 0 || dash + 1 == text.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (i != dash && (text[i] < L'0' || text[i] > L'9')) return false;
  return true;
}

// How the members of the automatic clean and the files left out are read.
// Strict (dropped null): the first fault is the answer, in *fault. Lenient:
// each fault is noted in *dropped and what is valid is kept.
struct ChoiceRead {
  const std::vector<Category>* cats = nullptr;
  std::vector<std::string>* dropped = nullptr;
  std::string fault;
};

// Notes a fault; false ends a strict read.
bool Fault(ChoiceRead& r, const std::string& what) {
  if (!r.dropped) {
    r.fault = what;
    return false;
  }
  r.dropped->push_back(what);
  return true;
}

bool ReadExcluded(ChoiceRead& r, const tov::JsonValue& doc, Settings* s) {
  using Kind = tov::JsonValue::Kind;
  const tov::JsonValue* ex = tov::JsonMemberOf(doc, "excluded");
  if (!ex) return true;
  if (ex->kind != Kind::Array) return Fault(r, "excluded 必须是 [项目, 路径] 的数组");
  size_t bad = 0, unknown = 0;
  std::set<std::pair<std::string, std::string>> seen;
  for (const tov::JsonValue& e : ex->items) {
    const tov::JsonValue* id = nullptr;
    const tov::JsonValue* path = nullptr;
    if (e.kind == Kind::Array && e.items.size() == 2) {
      id = &e.items[0];
      path = &e.items[1];
    } else if (e.kind == Kind::Object && e.items.size() == 2) {
      id = tov::JsonMemberOf(e, "item");
      path = tov::JsonMemberOf(e, "path");
    }
    Exclusion x;
    if (!id || !path || id->kind != Kind::String || path->kind != Kind::String ||
        !NormalizeProtectedPath(path->text, &x.path)) {
      ++bad;
      continue;
    }
    if (!FindItem(*r.cats, id->text)) {
      ++unknown;
      continue;
    }
    x.item = id->text;
    // The same pair twice (the path in any letter case) is kept once.
    if (!seen.insert({x.item, W2U(tov::LowerAscii(U2W(x.path)))}).second) continue;
    if (s->excluded.size() == kMaxExcludedFiles) {
      std::string most = "excluded 最多 " + std::to_string(kMaxExcludedFiles) + " 个文件";
      if (!Fault(r, r.dropped ? most + "，多出的已忽略" : most)) return false;
      break;
    }
    s->excluded.push_back(x);
  }
  if (bad &&
      !Fault(r, "excluded 中有 " + std::to_string(bad) + " 项不是 [项目, C:\\ 开头的完整路径]"))
    return false;
  if (unknown && !Fault(r, "excluded 中有 " + std::to_string(unknown) + " 项属于未知的清理项"))
    return false;
  return true;
}

// A list of the wrong type leaves the defaults; an array keeps its valid ids.
bool ReadAutoItems(ChoiceRead& r, const tov::JsonValue& doc, Settings* s) {
  using Kind = tov::JsonValue::Kind;
  const tov::JsonValue* au = tov::JsonMemberOf(doc, "autoItems");
  if (!au) return true;
  if (au->kind != Kind::Array) return Fault(r, "autoItems 必须是清理项 ID 的数组");
  std::set<std::string> wanted;
  for (const tov::JsonValue& e : au->items) {
    const RuleItem* item = e.kind == Kind::String ? FindItem(*r.cats, e.text) : nullptr;
    if (e.kind != Kind::String) {
      if (!Fault(r, "autoItems 必须是清理项 ID 的数组")) return false;
    } else if (!item) {
      if (!Fault(r, "autoItems 中有未知的清理项：" + e.text)) return false;
    } else if (!AutoCleanable(*item)) {
      if (!Fault(r, "自动清理不能包含「" + item->name + "」（" + e.text + "）")) return false;
    } else {
      wanted.insert(e.text);
    }
  }
  s->autoItems.clear();
  for (const Category& c : *r.cats)
    for (const RuleItem& item : c.items)
      if (wanted.count(item.id)) s->autoItems.push_back(item.id);
  return true;
}

bool ReadAutoAge(ChoiceRead& r, const tov::JsonValue& doc, Settings* s) {
  const tov::JsonValue* age = tov::JsonMemberOf(doc, "autoOlderThanDays");
  if (!age) return true;
  int64_t days = 0;
  if (!tov::JsonIntIn(*age, 0, kMaxOlderThanDays, &days))
    return Fault(r, "autoOlderThanDays 必须是 0 到 3650 的整数");
  s->autoOlderThanDays = static_cast<int>(days);
  return true;
}

void ExcludedJson(const std::vector<Exclusion>& list, tov::JsonWriter& w) {
  w.BeginArray();
  for (const Exclusion& e : list) w.BeginArray().Str(e.item).Str(e.path).EndArray();
  w.EndArray();
}

}  // namespace

std::wstring StateDir() {
  std::wstring base;
  if (!tov::ShellFolderPath(tov::ShellFolder::LocalAppData, &base) || base.empty())
    return std::wstring();
  while (base.size() > 3 && base.back() == L'\\') base.pop_back();
  std::wstring dir = base + L"\\" + kAppFolder;
  // Normally there already; made with any folder missing above it (a
  // profile whose local application data folder was never made), so that
  // a clean can always begin its record.
  if (!tov::CreateDir(dir)) {
    for (size_t at = dir.find(L'\\', 3); at != std::wstring::npos; at = dir.find(L'\\', at + 1))
      tov::CreateDir(dir.substr(0, at));
    tov::CreateDir(dir);
  }
  return dir;
}

bool AutoCleanable(const RuleItem& item) {
  return item.mode != ItemMode::Measure && item.mode != ItemMode::SystemTool && !item.userFiles;
}

Settings DefaultSettings(const std::vector<Category>& cats) {
  Settings s;
  for (const Category& c : cats)
    for (const RuleItem& item : c.items) {
      if (!item.defaultEnabled) continue;
      s.selected.push_back(item.id);
      if (AutoCleanable(item)) s.autoItems.push_back(item.id);
    }
  return s;
}

bool NormalizeProtectedPath(const std::string& text, std::string* out) {
  if (text.size() > kMaxSettingsPathChars) return false;
  std::wstring form;
  if (CanonicalPathUtf8(text, PathDrives::SystemOnly, &form) != PathFault::None) return false;
  if (form.size() <= 3) return false;  // the drive's root would protect everything
  *out = W2U(form);
  return true;
}

bool ParseSettings(const std::string& text, const std::vector<Category>& cats, Settings* out,
                   std::string* message, std::vector<std::string>* dropped) {
  using Kind = tov::JsonValue::Kind;
  if (text.size() > kMaxSettingsBytes) {
    *message = "设置内容太大";
    return false;
  }
  tov::JsonValue doc;
  if (!tov::ParseJson(text, &doc) || doc.kind != Kind::Object) {
    *message = "设置不是有效的 JSON 对象";
    return false;
  }
  int64_t version = 0;
  const tov::JsonValue* v = tov::JsonMemberOf(doc, "version");
  if (!v || !tov::JsonIntIn(*v, kSettingsVersion, kSettingsVersion, &version)) {
    *message = "设置的版本不是 1";
    return false;
  }
  Settings s;
  // The automatic clean's defaults, when the document names none.
  s.autoItems = DefaultSettings(cats).autoItems;
  if (const tov::JsonValue* sel = tov::JsonMemberOf(doc, "selected")) {
    if (sel->kind != Kind::Array) {
      *message = "selected 必须是字符串数组";
      return false;
    }
    std::set<std::string> wanted;
    for (const tov::JsonValue& e : sel->items) {
      if (e.kind != Kind::String) {
        *message = "selected 必须是字符串数组";
        return false;
      }
      wanted.insert(e.text);
    }
    // Catalogue order, known ids only.
    for (const Category& c : cats)
      for (const RuleItem& item : c.items)
        if (wanted.count(item.id)) s.selected.push_back(item.id);
  } else {
    s.selected = DefaultSettings(cats).selected;
  }
  if (const tov::JsonValue* age = tov::JsonMemberOf(doc, "olderThanDays")) {
    int64_t days = 0;
    if (!tov::JsonIntIn(*age, 0, kMaxOlderThanDays, &days)) {
      *message = "olderThanDays 必须是 0 到 3650 的整数";
      return false;
    }
    s.olderThanDays = static_cast<int>(days);
  }
  if (const tov::JsonValue* re = tov::JsonMemberOf(doc, "restartExplorer")) {
    if (re->kind != Kind::Bool) {
      *message = "restartExplorer 必须是 true 或 false";
      return false;
    }
    s.restartExplorer = re->flag;
  }
  if (const tov::JsonValue* pr = tov::JsonMemberOf(doc, "protect")) {
    if (pr->kind != Kind::Array) {
      *message = "protect 必须是路径数组";
      return false;
    }
    if (pr->items.size() > kMaxProtectedPaths) {
      *message = "不清理的路径最多 1000 个";
      return false;
    }
    std::set<std::string> seen;
    for (const tov::JsonValue& e : pr->items) {
      std::string path;
      if (e.kind != Kind::String || !NormalizeProtectedPath(e.text, &path)) {
        *message = "不清理的路径必须是 C:\\ 开头的完整路径";
        return false;
      }
      // The same path twice (in any letter case) is kept once.
      if (seen.insert(W2U(tov::LowerAscii(U2W(path)))).second) s.protect.push_back(path);
    }
  }
  ChoiceRead r;
  r.cats = &cats;
  r.dropped = dropped;
  if (!ReadExcluded(r, doc, &s) || !ReadAutoItems(r, doc, &s) || !ReadAutoAge(r, doc, &s)) {
    *message = r.fault;
    return false;
  }
  *out = s;
  return true;
}

std::string SettingsJson(const Settings& s) {
  tov::JsonWriter w;
  w.BeginObject().Key("version").Int(kSettingsVersion).Key("selected").Strings(s.selected);
  w.Key("olderThanDays").Int(s.olderThanDays).Key("restartExplorer").Bool(s.restartExplorer);
  w.Key("protect").Strings(s.protect).Key("excluded");
  ExcludedJson(s.excluded, w);
  w.Key("autoItems").Strings(s.autoItems).Key("autoOlderThanDays").Int(s.autoOlderThanDays);
  return w.EndObject().Take();
}

bool IsInterruptedSaveName(const std::wstring& name) {
  const std::wstring head = std::wstring(kSettingsFile) + L".";
  const std::wstring tail = L".tmp";
  if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
      name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  return IsPidAndNumber(name.substr(head.size(), name.size() - head.size() - tail.size()));
}

size_t RemoveInterruptedSaves(const std::wstring& dir, uint64_t now) {
  if (dir.empty()) return 0;
  std::vector<std::wstring> stale;
  tov::ListDir(dir, [&](const tov::DirEntry& e) {
    if (!(e.attrs & (tov::kAttrDirectory | tov::kAttrReparsePoint)) &&
        IsInterruptedSaveName(e.name) && e.mtime + kInterruptedSaveAge <= now)
      stale.push_back(dir + L"\\" + e.name);
    return true;
  });
  size_t removed = 0;
  for (const std::wstring& path : stale)
    if (tov::DeleteFilePath(path)) ++removed;
  return removed;
}

Settings LoadSettings(const std::wstring& dir, const std::vector<Category>& cats,
                      std::string* warning) {
  warning->clear();
  Settings defaults = DefaultSettings(cats);
  if (dir.empty()) {
    *warning = "找不到本地应用数据文件夹，使用默认设置";
    return defaults;
  }
  RemoveInterruptedSaves(dir, tov::NowFileTime());
  std::wstring file = dir + L"\\" + kSettingsFile;
  std::string text;
  // One byte more than allowed tells a file that is too large.
  if (!tov::ReadFileHead(file, kMaxSettingsBytes + 1, &text)) {
    // No file is the first start (or one after the user removed it): the
    // defaults are meant then, and the start-up lines stay as they are.
    uint32_t attrs = 0;
    if (tov::GetAttributes(file, &attrs)) *warning = "设置文件无法读取，使用默认设置";
    return defaults;
  }
  Settings s;
  std::string why;
  std::vector<std::string> dropped;
  if (text.size() <= kMaxSettingsBytes && ParseSettings(text, cats, &s, &why, &dropped)) {
    // The rest of the file is good: what was dropped is said, the file is
    // left as it is until the next save.
    if (!dropped.empty()) {
      *warning = "设置文件 " + W2U(file) + " 中有无法使用的内容，已忽略：";
      for (size_t i = 0; i < dropped.size(); ++i) *warning += (i ? "；" : "") + dropped[i];
    }
    return s;
  }
  std::string name = W2U(file);
  tov::JsonValue doc;
  const tov::JsonValue* v = nullptr;
  int64_t version = 0;
  if (text.size() <= kMaxSettingsBytes && tov::ParseJson(text, &doc) &&
      (v = tov::JsonMemberOf(doc, "version")) != nullptr &&
      !(tov::JsonIntIn(*v, kSettingsVersion, kSettingsVersion, &version))) {
    // Another version's file may be read by that version again: kept.
    *warning = "设置文件 " + name + " 的版本不是 1，使用默认设置（文件保持原样）";
    return defaults;
  }
  if (text.size() > kMaxSettingsBytes) why = "文件太大";
  if (text.empty()) why = "文件为空";
  bool moved = tov::ReplaceFileWith(file, file + kBadSuffix);
  *warning = "设置文件 " + name + " 无法使用（" + why + "），使用默认设置" +
             (moved ? "；已改名为 settings.json.bad" : "；改名为 settings.json.bad 失败");
  return defaults;
}

bool SaveSettings(const std::wstring& dir, const Settings& s) {
  if (dir.empty()) return false;
  wchar_t suffix[48];
  swprintf(suffix, sizeof suffix / sizeof suffix[0], L".%u-%u.tmp", tov::ProcessId(),
           g_tempCounter.fetch_add(1));
  std::wstring file = dir + L"\\" + kSettingsFile;
  std::wstring temp = file + suffix;
  if (!tov::WriteFileDurable(temp, SettingsJson(s))) {
    tov::DeleteFilePath(temp);
    return false;
  }
  // Windows refuses to replace a file that a reader holds open at this
  // moment; such a read is short, so the rename is tried a few times.
  for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
    if (tov::ReplaceFileWith(temp, file)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kReplacePauseMs));
  }
  tov::DeleteFilePath(temp);
  return false;
}

Settings CurrentSettings() {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  return g_settings;
}

void SetCurrentSettings(const Settings& s) {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  g_settings = s;
}

std::mutex& SettingsSaveLock() {
  static std::mutex lock;
  return lock;
}

bool DropGoneExclusions(Settings* s) {
  size_t kept = 0;
  for (Exclusion& x : s->excluded)
    if (!tov::PathIsGone(U2W(x.path))) s->excluded[kept++] = std::move(x);
  bool dropped = kept != s->excluded.size();
  s->excluded.resize(kept);
  return dropped;
}

bool DropGoneExclusionsAndSave(const std::wstring& dir) {
  std::lock_guard<std::mutex> lock(SettingsSaveLock());
  Settings s = CurrentSettings();
  if (!DropGoneExclusions(&s)) return true;
  SetCurrentSettings(s);
  return SaveSettings(dir, s);
}

std::vector<std::wstring> ProtectedPathsOf(const Settings& s) {
  std::vector<std::wstring> out;
  for (const std::string& p : s.protect) out.push_back(U2W(p));
  return out;
}

std::vector<std::wstring> CurrentProtectedPaths() {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  return ProtectedPathsOf(g_settings);
}

}  // namespace tamsel
