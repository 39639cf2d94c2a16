// The restore points and the old driver packages: read what the system's
// APIs answer, list what would go, and act only on what the last scan
// listed as going and still goes. An answer that cannot be read removes
// nothing.
#include "engine/system_stores.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "engine/engine_internal.h"
#include "engine/system_tools.h"
#include "text/fault_text.h"
#include "text/text.h"

namespace tamsel {

// ---- INF files -------------------------------------------------------------------------

namespace {

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
  return v;
}

// The sections of an INF: name (lowered) to its key/value lines, keys
// lowered, values as written (comments and surrounding blanks off).
using Section = std::vector<std::pair<std::string, std::string>>;
std::map<std::string, Section> Sections(const std::string& text) {
  std::map<std::string, Section> out;
  Section* cur = nullptr;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    // A comment starts at a ';' outside quotes.
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == ';' && !quoted) {
        line.resize(i);
        break;
      }
    }
    line = tov::TrimBlanks(line);
    if (line.empty()) continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      cur = close == std::string::npos
                ? nullptr
                : &out[tov::LowerAscii(tov::TrimBlanks(line.substr(1, close - 1)))];
      continue;
    }
    size_t eq = line.find('=');
    if (!cur || eq == std::string::npos) continue;
    cur->emplace_back(tov::LowerAscii(tov::TrimBlanks(line.substr(0, eq))),
                      tov::TrimBlanks(line.substr(eq + 1)));
  }
  return out;
}

const std::string* ValueIn(const std::map<std::string, Section>& secs, const std::string& sec,
                           const std::string& key) {
  auto it = secs.find(sec);
  if (it == secs.end()) return nullptr;
  for (const auto& kv : it->second)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

// A value with its %token% resolved through [Strings].
std::string Resolve(const std::map<std::string, Section>& secs, const std::string& raw) {
  std::string v = Unquote(raw);
  if (v.size() < 3 || v.front() != '%' || v.back() != '%') return v;
  std::string token = tov::LowerAscii(v.substr(1, v.size() - 2));
  if (const std::string* s = ValueIn(secs, "strings", token)) return Unquote(*s);
  for (const auto& sec : secs)
    if (sec.first.compare(0, 8, "strings.") == 0)
      if (const std::string* s = ValueIn(secs, sec.first, token)) return Unquote(*s);
  return v;
}

bool Number(const std::string& s, uint32_t most, uint32_t* out) {
  if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *out = static_cast<uint32_t>(atoi(s.c_str()));
  return *out <= most;
}

void ParseDriverVer(const std::string& value, InfVersion* v) {
  std::string date = tov::TrimBlanks(value.substr(0, value.find(',')));
  std::string ver = value.find(',') == std::string::npos
                        ? std::string()
                        : tov::TrimBlanks(value.substr(value.find(',') + 1));
  size_t s1 = date.find('/'), s2 = s1 == std::string::npos ? s1 : date.find('/', s1 + 1);
  uint32_t m = 0, d = 0, y = 0;
  if (s2 != std::string::npos && Number(date.substr(0, s1), 12, &m) &&
      Number(date.substr(s1 + 1, s2 - s1 - 1), 31, &d) && Number(date.substr(s2 + 1), 9999, &y) &&
      m >= 1 && d >= 1 && y >= 1990 && date.size() - s2 - 1 == 4) {
    v->dateKnown = true;
    v->year = static_cast<int>(y);
    v->month = static_cast<int>(m);
    v->day = static_cast<int>(d);
  }
  if (ver.empty()) return;
  uint32_t parts[4] = {0, 0, 0, 0};
  size_t n = 0, at = 0;
  bool ok = true;
  while (ok) {
    size_t dot = ver.find('.', at);
    std::string part = ver.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
    ok = n < 4 && Number(part, 65535, &parts[n]);
    ++n;
    if (dot == std::string::npos) break;
    at = dot + 1;
  }
  if (!ok) return;
  v->versionKnown = true;
  std::copy(parts, parts + 4, v->version);
}

}  // namespace

InfVersion ParseInfVersion(const std::string& bytes) {
  std::string text = DecodeToolOutput(bytes);
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // U+FEFF
  auto secs = Sections(text);
  InfVersion v;
  if (const std::string* p = ValueIn(secs, "version", "provider")) v.provider = Resolve(secs, *p);
  if (const std::string* p = ValueIn(secs, "version", "class")) v.className = Resolve(secs, *p);
  if (const std::string* p = ValueIn(secs, "version", "driverver")) {
    v.driverVer = Resolve(secs, *p);
    ParseDriverVer(v.driverVer, &v);
  }
  return v;
}

std::string InfDateText(const InfVersion& v) {
  if (!v.dateKnown) return std::string();
  char buf[16];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d", v.year, v.month, v.day);
  return buf;
}

std::string InfVersionText(const InfVersion& v) {
  if (!v.versionKnown) return std::string();
  char buf[48];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", v.version[0], v.version[1], v.version[2], v.version[3]);
  return buf;
}

int CompareDriverVer(const InfVersion& a, const InfVersion& b) {
  if (!a.dateKnown || !b.dateKnown) return 0;
  int da = a.year * 10000 + a.month * 100 + a.day, db = b.year * 10000 + b.month * 100 + b.day;
  if (da != db) return da < db ? -1 : 1;
  if (!a.versionKnown || !b.versionKnown) return 0;
  for (int i = 0; i < 4; ++i)
    if (a.version[i] != b.version[i]) return a.version[i] < b.version[i] ? -1 : 1;
  return 0;
}

std::vector<bool> OldDriverPackages(const std::vector<DriverPackage>& packages) {
  std::map<std::string, std::vector<size_t>> groups;
  for (size_t i = 0; i < packages.size(); ++i) {
    const DriverPackage& p = packages[i];
    groups[tov::LowerAscii(p.original) + '\n' + tov::LowerAscii(p.ver.provider) + '\n' +
           tov::LowerAscii(p.ver.className)]
        .push_back(i);
  }
  std::vector<bool> old(packages.size(), false);
  for (const auto& g : groups) {
    bool sure = true;
    size_t newest = g.second[0];
    for (size_t i : g.second) {
      const DriverPackage& p = packages[i];
      if (p.original.empty() || !p.ver.dateKnown)
        sure = false;
      else if (CompareDriverVer(p.ver, packages[newest].ver) > 0 || !packages[newest].ver.dateKnown)
        newest = i;
    }
    if (!sure || g.second.size() < 2) continue;
    for (size_t i : g.second) old[i] = CompareDriverVer(packages[i].ver, packages[newest].ver) < 0;
  }
  return old;
}

// ---- Restore points ----------------------------------------------------------------------

bool ParseWmiDateTime(const std::string& t, WmiTime* out) {
  // yyyymmddHHMMSS.mmmmmmsUUU: 25 characters, s the offset's sign.
  if (t.size() != 25 || t[14] != '.' || (t[21] != '+' && t[21] != '-')) return false;
  for (size_t i = 0; i < 25; ++i)
    if (i != 14 && i != 21 && (t[i] < '0' || t[i] > '9')) return false;
  auto num = [&](size_t at, size_t n) { return atoi(t.substr(at, n).c_str()); };
  WmiTime w;
  w.year = num(0, 4);
  w.month = num(4, 2);
  w.day = num(6, 2);
  w.hour = num(8, 2);
  w.minute = num(10, 2);
  w.second = num(12, 2);
  w.offsetMinutes = num(22, 3) * (t[21] == '-' ? -1 : 1);
  if (w.month < 1 || w.month > 12 || w.day < 1 || w.day > 31 || w.hour > 23 || w.minute > 59 ||
      w.second > 60 || w.offsetMinutes > 14 * 60 || w.offsetMinutes < -14 * 60)
    return false;
  *out = w;
  return true;
}

std::string WmiTimeText(const std::string& text) {
  WmiTime w;
  if (!ParseWmiDateTime(text, &w)) return "时间未知";
  char buf[64];
  int off = w.offsetMinutes < 0 ? -w.offsetMinutes : w.offsetMinutes;
  if (off == 0)
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d（UTC）", w.year, w.month, w.day, w.hour,
             w.minute);
  else
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d（UTC%c%02d:%02d）", w.year, w.month, w.day,
             w.hour, w.minute, w.offsetMinutes < 0 ? '-' : '+', off / 60, off % 60);
  return buf;
}

int NewestRestorePoint(const std::vector<tov::RestorePoint>& points) {
  int newest = -1;
  for (size_t i = 0; i < points.size(); ++i) {
    if (!points[i].sequenceKnown) return -1;
    if (newest < 0 || points[i].sequence > points[newest].sequence) newest = static_cast<int>(i);
  }
  return newest;
}

// ---- Analysis and action ----------------------------------------------------------------

namespace {

// What the last scan listed as going, by item: the action removes nothing
// else. A key tells one point or package apart from any that could later
// take its number or name.
std::mutex g_goingLock;
std::map<std::string, std::set<std::string>> g_going;

void SetGoing(const std::string& item, std::set<std::string> keys) {
  std::lock_guard<std::mutex> lock(g_goingLock);
  g_going[item] = std::move(keys);
}

// Done once an action ran: the next one needs a new scan.
void ClearGoing(const std::string& item) {
  std::lock_guard<std::mutex> lock(g_goingLock);
  g_going.erase(item);
}

bool GoingAtScan(const std::string& item, std::set<std::string>* keys) {
  std::lock_guard<std::mutex> lock(g_goingLock);
  auto it = g_going.find(item);
  if (it == g_going.end()) return false;
  *keys = it->second;
  return true;
}

constexpr char kRestoreItem[] = "restore-points";
constexpr char kDriverItem[] = "old-drivers";

std::string Hex(uint32_t code) {
  char buf[16];
  snprintf(buf, sizeof buf, code > 0xFFFF ? "0x%08X" : "%u", code);
  return buf;
}

void Refuse(ItemStat& stat, const std::string& why) {
  stat.toolNote = why;
  stat.sizeUnknown = true;
  if (stat.errors.size() < kMaxErrors) stat.errors.push_back(why);
}

std::string PointKey(const tov::RestorePoint& p) {
  return std::to_string(p.sequence) + '\n' + tov::WideToUtf8(p.creationTime);
}

// The restore points and the entries of a scan; false with the reason when
// they cannot be read.
bool ReadRestorePoints(tov::RestorePointList* list, int* newest, std::string* why) {
  tov::ListRestorePoints(list);
  *newest = -1;
  if (list->error) {
    *why = "无法读取系统还原点（WMI 错误 " + Hex(list->error) + "）";
    return false;
  }
  // Windows numbers its points from 1 and dates each: a point without
  // either is an answer of no known form (wine lists one such point).
  bool readable = true;
  for (const tov::RestorePoint& p : list->points) {
    WmiTime t;
    if (p.sequence == 0 || !ParseWmiDateTime(tov::WideToUtf8(p.creationTime), &t)) readable = false;
  }
  *newest = NewestRestorePoint(list->points);
  if (!list->points.empty() && (*newest < 0 || !readable)) {
    *why = "系统还原点的信息无法读取（WMI 的回答里没有还原点的编号或时间）";
    return false;
  }
  return true;
}

ToolEntry PointEntry(const tov::RestorePoint& p, bool goes) {
  ToolEntry e;
  e.id = std::to_string(p.sequence);
  e.name = tov::WideToUtf8(p.description);
  if (e.name.empty()) e.name = "（没有描述）";
  e.date = WmiTimeText(tov::WideToUtf8(p.creationTime));
  e.state = goes ? "goes" : "keep";
  if (!goes) e.note = "最新的还原点，保留";
  return e;
}

// The bytes of a folder and everything below it, links not followed.
bool FolderBytes(const std::wstring& dir, uint64_t* bytes, int depth = 0) {
  tov::SpaceListing list;
  tov::FsFault fault;
  if (depth > 32 || !tov::ListSpaceDir(dir, &list, &fault)) return false;
  bool whole = true;
  for (const tov::SpaceEntry& e : list.entries) {
    if (e.attrs & tov::kAttrReparsePoint) continue;
    if (e.attrs & tov::kAttrDirectory) {
      std::string name(list.names.data() + e.name, e.nameLen);
      whole = FolderBytes(dir + L"\\" + tov::Utf8ToWide(name), bytes, depth + 1) && whole;
    } else {
      *bytes += e.size;
    }
  }
  return whole;
}

std::string PackageKey(const DriverPackage& p) {
  return tov::LowerAscii(p.inf) + '\n' + tov::LowerAscii(p.original) + '\n' + p.ver.driverVer;
}

// The third-party packages and, for each, whether it is a candidate; false
// with the reason when they cannot be judged.
bool ReadDriverPackages(std::vector<DriverPackage>* packages, std::vector<ToolEntry>* entries,
                        std::vector<bool>* old, std::string* why) {
  const std::wstring infDir = ExpandEnvW(L"%SystemRoot%\\INF");
  tov::SpaceListing list;
  tov::FsFault fault;
  if (!tov::ListSpaceDir(infDir, &list, &fault)) {
    *why = "无法列出 " + W2U(infDir) + "（错误 " + Hex(fault.code) + "）";
    return false;
  }
  std::vector<std::string> names;
  for (const tov::SpaceEntry& e : list.entries) {
    std::string name(list.names.data() + e.name, e.nameLen);
    std::string low = tov::LowerAscii(name);
    if (!(e.attrs & (tov::kAttrDirectory | tov::kAttrReparsePoint)) && low.size() > 7 &&
        low.compare(0, 3, "oem") == 0 && low.compare(low.size() - 4, 4, ".inf") == 0 &&
        low.substr(3, low.size() - 7).find_first_not_of("0123456789") == std::string::npos)
      names.push_back(name);
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;  // oem2 before oem10
  });
  std::vector<std::string> notes;
  for (const std::string& name : names) {
    DriverPackage p;
    p.inf = name;
    const std::wstring path = infDir + L"\\" + tov::Utf8ToWide(name);
    std::string bytes;
    std::string note;
    if (tov::ReadWholeFile(path, &bytes)) p.ver = ParseInfVersion(bytes);
    std::wstring storeInf;
    uint32_t err = 0;
    if (tov::DriverStoreLocation(path, &storeInf, &err)) {
      p.original = W2U(LeafName(storeInf));
      uint64_t size = 0;
      p.sizeKnown = FolderBytes(ParentOf(storeInf), &size);
      p.bytes = size;
    } else if (err == 127 || err == 126) {
      *why = "系统里没有 SetupGetInfDriverStoreLocationW（setupapi.dll，错误 " + Hex(err) +
             "），无法判断哪些驱动程序包可以删除";
      return false;
    } else {
      note = "找不到它在驱动存储里的位置（错误 " + Hex(err) + "），保留";
    }
    if (note.empty() && !p.ver.dateKnown) note = "INF 文件里没有可读的 DriverVer 日期，保留";
    packages->push_back(p);
    notes.push_back(note);
  }
  *old = OldDriverPackages(*packages);
  for (size_t i = 0; i < packages->size(); ++i) {
    const DriverPackage& p = (*packages)[i];
    ToolEntry e;
    e.id = p.inf;
    e.name = p.original.empty() ? p.inf : p.original;
    e.provider = p.ver.provider;
    e.cls = p.ver.className;
    e.version = InfVersionText(p.ver);
    e.date = InfDateText(p.ver);
    e.bytes = p.bytes;
    e.sizeKnown = p.sizeKnown;
    e.state = (*old)[i] ? "goes" : "keep";
    e.note = notes[i];
    if (e.note.empty() && !(*old)[i]) e.note = "同一驱动最新的版本，保留";
    entries->push_back(e);
  }
  return true;
}

}  // namespace

void AnalyseRestorePoints(ItemStat& stat) {
  SetCurPath(L"系统还原点：正在通过 WMI 读取");
  tov::RestorePointList list;
  int newest = -1;
  std::string why;
  SetGoing(kRestoreItem, {});
  if (!ReadRestorePoints(&list, &newest, &why)) return Refuse(stat, why + "，不会删除任何还原点");
  std::set<std::string> going;
  for (size_t i = 0; i < list.points.size(); ++i) {
    bool goes = static_cast<int>(i) != newest;
    stat.toolEntries.push_back(PointEntry(list.points[i], goes));
    if (goes) going.insert(PointKey(list.points[i]));
  }
  std::sort(stat.toolEntries.begin(), stat.toolEntries.end(),
            [](const ToolEntry& a, const ToolEntry& b) {
              return atoll(a.id.c_str()) > atoll(b.id.c_str());
            });
  SetGoing(kRestoreItem, going);
  std::string shadow = list.shadowKnown
                           ? "C 盘的卷影存储已用 " + About(list.shadowUsed)
                           : "C 盘的卷影存储大小未知（WMI 错误 " + Hex(list.shadowError) + "）";
  if (list.points.empty()) {
    stat.toolNote = "没有系统还原点，此项不适用；" + shadow;
    return;
  }
  stat.files = going.size();
  if (going.empty()) {
    stat.toolNote = "只有 1 个还原点，它是最新的，会保留；没有可以删除的；" + shadow;
    return;
  }
  stat.toolNote = "估计：共 " + std::to_string(list.points.size()) + " 个还原点，将删除较旧的 " +
                  std::to_string(going.size()) + " 个，保留最新的「" +
                  stat.toolEntries.front().name + "」；" + shadow + "，删除后最多可回收这么多";
  if (list.shadowKnown)
    stat.bytes = list.shadowUsed;
  else
    stat.sizeUnknown = true;
}

void AnalyseDriverPackages(ItemStat& stat) {
  SetCurPath(L"旧版驱动程序包：正在读取 INF 文件和驱动存储");
  std::vector<DriverPackage> packages;
  std::vector<bool> old;
  std::string why;
  SetGoing(kDriverItem, {});
  if (!ReadDriverPackages(&packages, &stat.toolEntries, &old, &why))
    return Refuse(stat, why + "，不会删除任何驱动程序包");
  std::set<std::string> going;
  size_t unknownSize = 0;
  for (size_t i = 0; i < packages.size(); ++i) {
    if (!old[i]) continue;
    going.insert(PackageKey(packages[i]));
    stat.bytes += packages[i].bytes;
    if (!packages[i].sizeKnown) ++unknownSize;
  }
  SetGoing(kDriverItem, going);
  stat.files = going.size();
  if (packages.empty()) {
    stat.toolNote = "没有第三方驱动程序包，此项不适用";
    return;
  }
  stat.toolNote = "估计：第三方驱动程序包 " + std::to_string(packages.size()) + " 个，其中 " +
                  std::to_string(going.size()) +
                  " 个已有同一驱动的新版本，可以删除；设备正在使用的包 Windows 会拒绝删除";
  if (unknownSize) {
    stat.toolNote += "；其中 " + std::to_string(unknownSize) + " 个包的大小未知，没有计入";
    if (unknownSize == going.size()) stat.sizeUnknown = true;
  }
}

namespace {

// The end of an action: the note with C:'s free space around it and the
// record's summary line.
void Finish(ItemStat& stat, const Choice& c, const std::string& name, const std::string& what,
            size_t removed) {
  stat.freeAfter = FreeOnC();
  std::string around = "C: 可用空间 " + About(stat.freeBefore) + " → " + About(stat.freeAfter);
  stat.bytes = stat.freeAfter > stat.freeBefore ? stat.freeAfter - stat.freeBefore : 0;
  stat.toolNote = what + "；" + around;
  Touched(c, stat.skipped && !removed ? TouchKind::Skipped : TouchKind::Deleted, stat.bytes,
          U2W(name + "（" + around + "）"), stat.skipped ? U2W(what) : std::wstring());
}

void RefuseAction(ItemStat& stat, const Choice& c, const std::string& name,
                  const std::string& why) {
  Refuse(stat, why);
  stat.skipped++;
  Touched(c, TouchKind::Skipped, 0, U2W(name), U2W(why));
}

}  // namespace

void CleanRestorePoints(ItemStat& stat, const Choice& c) {
  const std::string name = "系统还原点";
  std::set<std::string> atScan;
  if (!GoingAtScan(kRestoreItem, &atScan))
    return RefuseAction(stat, c, name,
                        "请先扫描：清理只删除扫描时列出的还原点；没有删除任何还原点");
  tov::RestorePointList list;
  int newest = -1;
  std::string why;
  if (!ReadRestorePoints(&list, &newest, &why))
    return RefuseAction(stat, c, name, why + "，没有删除任何还原点");
  std::vector<size_t> order;
  for (size_t i = 0; i < list.points.size(); ++i)
    if (static_cast<int>(i) != newest) order.push_back(i);
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return list.points[a].sequence < list.points[b].sequence; });
  stat.freeBefore = FreeOnC();
  // Points and packages are no files: they are counted in the entries.
  size_t removed = 0;
  for (size_t i : order) {
    const tov::RestorePoint& p = list.points[i];
    ToolEntry e = PointEntry(p, true);
    std::wstring line = U2W(name + " #" + e.id + "「" + e.name + "」" + e.date);
    if (!atScan.count(PointKey(p))) {
      e.state = "kept";
      e.note = "扫描时没有列出，保留";
      stat.toolEntries.push_back(e);
      continue;
    }
    if (Cancelled()) {
      e.state = "kept";
      e.note = "已停止清理，保留";
      stat.toolEntries.push_back(e);
      continue;
    }
    uint32_t err = 0;
    SetCurPath(line);
    if (!tov::RemoveRestorePoint(p.sequence, &err)) {
      // No srclient.dll or no function in it: nothing can be removed.
      RefuseAction(stat, c, name,
                   "系统里没有 srclient.dll 的 SRRemoveRestorePoint（错误 " + Hex(err) +
                       "），没有删除任何还原点");
      stat.freeBefore = 0;  // nothing was done: no result
      return;
    }
    if (err == 0) {
      e.state = "removed";
      e.note = "已删除";
      ++removed;
      Touched(c, TouchKind::Deleted, 0, line, std::wstring());
    } else {
      e.state = "skipped";
      e.note = "删除失败（SRRemoveRestorePoint 返回错误 " + Hex(err) + "）";
      stat.skipped++;
      if (stat.errors.size() < kMaxErrors) stat.errors.push_back(e.note);
      Touched(c, TouchKind::Skipped, 0, line, U2W(e.note));
    }
    stat.toolEntries.push_back(e);
  }
  if (newest >= 0) {
    stat.toolEntries.push_back(PointEntry(list.points[newest], false));
    stat.toolEntries.back().state = "kept";
  }
  ClearGoing(kRestoreItem);
  if (!removed && !stat.skipped) {
    // Nothing was asked of Windows: no result, no record.
    stat.freeBefore = 0;
    stat.toolNote =
        list.points.empty() ? "没有系统还原点，此项不适用" : "没有要删除的还原点，最新的 1 个保留";
    return;
  }
  Finish(stat, c, name,
         "已删除 " + std::to_string(removed) + " 个还原点" +
             (stat.skipped ? "，" + std::to_string(stat.skipped) + " 个删除失败" : std::string()) +
             "，保留最新的 1 个",
         removed);
}

void CleanDriverPackages(ItemStat& stat, const Choice& c) {
  const std::string name = "旧版驱动程序包";
  std::set<std::string> atScan;
  if (!GoingAtScan(kDriverItem, &atScan))
    return RefuseAction(stat, c, name,
                        "请先扫描：清理只删除扫描时列出的驱动程序包；没有删除任何驱动程序包");
  std::vector<DriverPackage> packages;
  std::vector<ToolEntry> entries;
  std::vector<bool> old;
  std::string why;
  if (!ReadDriverPackages(&packages, &entries, &old, &why))
    return RefuseAction(stat, c, name, why + "，没有删除任何驱动程序包");
  stat.freeBefore = FreeOnC();
  // Points and packages are no files: they are counted in the entries.
  size_t removed = 0;
  for (size_t i = 0; i < packages.size(); ++i) {
    ToolEntry& e = entries[i];
    if (!old[i]) {
      e.state = "kept";
      stat.toolEntries.push_back(e);
      continue;
    }
    if (!atScan.count(PackageKey(packages[i]))) {
      e.state = "kept";
      e.note = "扫描时没有列出，保留";
      stat.toolEntries.push_back(e);
      continue;
    }
    std::wstring line = U2W(name + " " + e.id + "（" + e.name + "，" + e.provider + "，" +
                            e.version + "，" + e.date + "）");
    if (Cancelled()) {
      e.state = "kept";
      e.note = "已停止清理，保留";
      stat.toolEntries.push_back(e);
      continue;
    }
    tov::FsFault fault;
    SetCurPath(line);
    if (tov::UninstallDriverPackage(U2W(packages[i].inf), &fault)) {
      e.state = "removed";
      e.note = "已删除";
      ++removed;
      Touched(c, TouchKind::Deleted, e.bytes, line, std::wstring());
    } else {
      e.state = "skipped";
      if (fault.kind == tov::FsFault::Other && (fault.code == 127 || fault.code == 126))
        e.note = "未删除(系统里没有 SetupUninstallOEMInfW，错误 " + Hex(fault.code) + ")";
      else
        e.note = tov::FaultText(tov::FaultAction::RemoveDriverPackage, fault) +
                 (fault.code ? "，错误代码 " + Hex(fault.code) : "，Windows 没有给出错误代码");
      stat.skipped++;
      if (stat.errors.size() < kMaxErrors) stat.errors.push_back(e.id + "：" + e.note);
      Touched(c, TouchKind::Skipped, 0, line, U2W(e.note));
    }
    stat.toolEntries.push_back(e);
  }
  ClearGoing(kDriverItem);
  if (!removed && !stat.skipped) {
    stat.freeBefore = 0;
    stat.toolNote = packages.empty() ? "没有第三方驱动程序包，此项不适用"
                                     : "没有要删除的驱动程序包，每个驱动的最新版本都保留";
    return;
  }
  Finish(stat, c, name,
         "已删除 " + std::to_string(removed) + " 个驱动程序包" +
             (stat.skipped ? "，" + std::to_string(stat.skipped) + " 个未删除" : std::string()),
         removed);
}

}  // namespace tamsel
