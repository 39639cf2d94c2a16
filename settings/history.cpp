#include "settings/history.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "settings/settings.h"
#include "text/text.h"

namespace tamsel {
namespace {

const wchar_t kHistoryFolder[] = L"history";
const wchar_t kRecordExt[] = L".tsv";
constexpr size_t kHeadBytes = 16384;  // enough for a first line naming every item
constexpr int kMaxSameSecond = 9999;  // records started within one second
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;

// A record id's order: its time, then its number within that second.
bool Newer(const std::string& a, const std::string& b) {
  std::string ta = a.substr(0, 15), tb = b.substr(0, 15);
  if (ta != tb) return ta > tb;
  int na = a.size() > 16 ? atoi(a.c_str() + 16) : 1;
  int nb = b.size() > 16 ? atoi(b.c_str() + 16) : 1;
  return na > nb;
}

std::string Fixed(const char* key, uint64_t v) {
  char buf[48];
  snprintf(buf, sizeof buf, "%s=%020llu", key, static_cast<unsigned long long>(v));
  return buf;
}

std::string Totals(bool done, uint64_t bytes, uint64_t files, uint64_t skipped) {
  return std::string(done ? "done=1" : "done=0") + "\t" + Fixed("bytes", bytes) + "\t" +
         Fixed("files", files) + "\t" + Fixed("skipped", skipped);
}

// A field of a line: no tab, no line end, no other control character.
std::string Field(const std::string& s) {
  std::string o = s;
  for (char& c : o)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return o;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t at = 0;
  for (;;) {
    size_t end = s.find(sep, at);
    out.push_back(s.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return out;
    at = end + 1;
  }
}

struct RecordHead {
  std::string id;
  uint64_t ms = 0;
  bool done = false;
  uint64_t bytes = 0, files = 0, skipped = 0;
  std::vector<std::string> items;
};

struct RecordLineText {
  std::string kind;    // "deleted", "recycled", "moved" or "skipped"
  bool freed = false;  // deleted, recycled or moved off the drive
  std::string item, path, reason;
  uint64_t bytes = 0;
};

bool ParseHead(const std::string& line, RecordHead* h) {
  bool sawTime = false;
  for (const std::string& f : Split(line, '\t')) {
    size_t eq = f.find('=');
    if (eq == std::string::npos) continue;
    std::string key = f.substr(0, eq), value = f.substr(eq + 1);
    uint64_t n = strtoull(value.c_str(), nullptr, 10);
    if (key == "time") sawTime = true;
    if (key == "ms") h->ms = n;
    if (key == "done") h->done = value == "1";
    if (key == "bytes") h->bytes = n;
    if (key == "files") h->files = n;
    if (key == "skipped") h->skipped = n;
    if (key == "items" && !value.empty()) h->items = Split(value, ',');
  }
  return sawTime;
}

bool ParseLine(const std::string& line, RecordLineText* out) {
  std::vector<std::string> f = Split(line, '\t');
  if (f.size() != 5 ||
      (f[0] != "deleted" && f[0] != "recycled" && f[0] != "moved" && f[0] != "skipped"))
    return false;
  out->kind = f[0];
  out->freed = f[0] != "skipped";
  out->item = f[1];
  out->bytes = strtoull(f[2].c_str(), nullptr, 10);
  out->path = f[3];
  out->reason = f[4];
  return true;
}

// The lines of a record's text; a last line without its end (the program
// was killed while writing it) is left out.
std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (;;) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) return lines;
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
}

// A record whose clean never ended: totals from its lines.
void SumLines(const std::vector<std::string>& lines, RecordHead* h) {
  h->bytes = h->files = h->skipped = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    RecordLineText l;
    if (!ParseLine(lines[i], &l)) continue;
    if (l.freed) {
      h->bytes += l.bytes;
      h->files += 1;
    } else {
      h->skipped += 1;
    }
  }
}

// The head's members, and whether the record is complete.
void HeadJson(const RecordHead& h, tov::JsonWriter& w) {
  w.Key("id").Str(h.id).Key("time").Num(h.ms).Key("items").Strings(h.items);
  w.Key("bytes").Num(h.bytes).Key("files").Num(h.files).Key("skipped").Num(h.skipped);
  w.Key("complete").Bool(h.done);
}

struct RecordFile {
  std::string id;
  uint64_t size = 0;
};

// Every record of the folder, newest first.
std::vector<RecordFile> Records(const std::wstring& dir) {
  std::vector<RecordFile> out;
  tov::ListDir(dir, [&out](const tov::DirEntry& e) {
    if (e.attrs & (tov::kAttrDirectory | tov::kAttrReparsePoint)) return true;
    std::string name = W2U(e.name);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tsv") == 0) {
      std::string id = name.substr(0, name.size() - 4);
      if (IsRecordId(id)) out.push_back(RecordFile{id, e.size});
    }
    return true;
  });
  std::sort(out.begin(), out.end(),
            [](const RecordFile& a, const RecordFile& b) { return Newer(a.id, b.id); });
  return out;
}

bool Write(HistoryWriter& w, const std::string& bytes) {
  if (w.file == tov::kNoFile || w.failed) return false;
  if (!tov::AppendToFile(w.file, bytes)) w.failed = true;
  return !w.failed;
}

bool AsciiContainsFolded(const std::string& text, const std::string& lowerQuery) {
  if (lowerQuery.empty()) return true;
  return tov::LowerAscii(text).find(lowerQuery) != std::string::npos;
}

}  // namespace

std::wstring HistoryDir() {
  std::wstring state = StateDir();
  return state.empty() ? state : state + L"\\" + kHistoryFolder;
}

bool IsRecordId(const std::string& id) {
  if (id.size() < 15 || id.size() > 20) return false;
  for (size_t i = 0; i < 15; ++i) {
    bool digit = id[i] >= '0' && id[i] <= '9';
    if (i == 8 ? id[i] != '-' : !digit) return false;
  }
  if (id.size() == 15) return true;
  if (id[15] != '-' || id.size() == 16) return false;
  for (size_t i = 16; i < id.size(); ++i)
    if (id[i] < '0' || id[i] > '9') return false;
  return true;
}

std::wstring RecordPath(const std::wstring& dir, const std::string& id) {
  if (dir.empty() || !IsRecordId(id)) return std::wstring();
  return dir + L"\\" + U2W(id) + kRecordExt;
}

bool BeginRecord(const std::wstring& dir, uint64_t now, const std::vector<std::string>& items,
                 HistoryWriter* w) {
  *w = HistoryWriter();
  w->dir = dir;
  std::string stamp = tov::LocalStamp(now);
  if (dir.empty() || stamp.size() != 15) return false;
  tov::CreateDir(dir);  // normally there already
  for (int n = 1; n <= kMaxSameSecond && w->file == tov::kNoFile; ++n) {
    std::string id = n == 1 ? stamp : stamp + "-" + std::to_string(n);
    w->file = tov::CreateNewFile(RecordPath(dir, id));
    if (w->file != tov::kNoFile) {
      w->id = id;
      break;
    }
    // Only a name that is taken is worth another try.
    uint32_t attrs = 0;
    if (!tov::GetAttributes(RecordPath(dir, id), &attrs)) return false;
  }
  if (w->file == tov::kNoFile) return false;
  uint64_t ms = now > kUnixEpochFileTime ? (now - kUnixEpochFileTime) / 10000 : 0;
  std::string head = "time=" + stamp + "\tms=" + tov::Num(ms) + "\t";
  w->totalsAt = head.size();
  head += Totals(false, 0, 0, 0) + "\titems=";
  for (size_t i = 0; i < items.size(); ++i) head += (i ? "," : "") + Field(items[i]);
  head += "\n";
  w->lastFlush = tov::TickCount64();
  if (!Write(*w, head)) return false;
  tov::FlushFile(w->file);
  return true;
}

void RecordLine(HistoryWriter& w, const char* kind, const std::string& item, uint64_t bytes,
                const std::wstring& path, const std::wstring& reason) {
  std::string line = std::string(kind) + "\t" + Field(item) + "\t" + tov::Num(bytes) + "\t" +
                     Field(W2U(path)) + "\t" + Field(W2U(reason)) + "\n";
  if (!Write(w, line)) return;
  uint64_t now = tov::TickCount64();
  if (now - w.lastFlush >= kHistoryFlushMs) {
    if (!tov::FlushFile(w.file)) w.failed = true;
    w.lastFlush = now;
  }
}

bool EndRecord(HistoryWriter& w, uint64_t bytes, uint64_t files, uint64_t skipped) {
  if (w.file == tov::kNoFile) return false;
  if (!w.failed && !tov::WriteFileAtOffset(w.file, w.totalsAt, Totals(true, bytes, files, skipped)))
    w.failed = true;
  if (!tov::FlushFile(w.file)) w.failed = true;
  tov::CloseFile(w.file);
  w.file = tov::kNoFile;
  PruneHistory(w.dir, w.id);
  return !w.failed;
}

void PruneHistory(const std::wstring& dir, const std::string& keepId) {
  if (dir.empty()) return;
  std::vector<RecordFile> all = Records(dir);
  size_t kept = 0;
  uint64_t bytes = 0;
  bool dropping = false;  // once one goes, every older one goes too
  for (const RecordFile& r : all) {
    dropping = dropping || kept >= kMaxHistoryRecords || bytes + r.size > kMaxHistoryBytes;
    if (!dropping || r.id == keepId) {
      ++kept;
      bytes += r.size;
      continue;
    }
    tov::DeleteFilePath(RecordPath(dir, r.id));
  }
}

std::string HistoryListJson(const std::wstring& dir) {
  tov::JsonWriter w = tov::OkWriter();
  w.Key("records").BeginArray();
  for (const RecordFile& r : Records(dir)) {
    std::wstring path = RecordPath(dir, r.id);
    std::string head;
    if (!tov::ReadFileHead(path, kHeadBytes, &head)) continue;
    RecordHead h;
    h.id = r.id;
    std::vector<std::string> lines = LinesOf(head);
    if (lines.empty() || !ParseHead(lines[0], &h)) continue;
    if (!h.done) {
      std::string text;
      if (tov::ReadWholeFile(path, &text)) SumLines(LinesOf(text), &h);
    }
    w.BeginObject();
    HeadJson(h, w);
    w.EndObject();
  }
  return w.EndArray().EndObject().Take();
}

std::string HistoryRecordJson(const std::wstring& dir, const std::string& id, uint64_t offset,
                              uint32_t limit, const std::string& query) {
  std::wstring path = RecordPath(dir, id);
  std::string text;
  if (path.empty() || !tov::ReadWholeFile(path, &text)) return tov::FailureJson("没有这条清理记录");
  std::vector<std::string> lines = LinesOf(text);
  RecordHead h;
  h.id = id;
  if (lines.empty() || !ParseHead(lines[0], &h)) return tov::FailureJson("清理记录无法读取");
  if (!h.done) SumLines(lines, &h);
  std::string q = tov::LowerAscii(query);
  if (limit < 1 || limit > kMaxHistoryPage) limit = kDefaultHistoryPage;
  // The page's lines, written before the head that says how many match.
  tov::JsonWriter list;
  list.BeginArray();
  uint64_t total = 0, shown = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    RecordLineText l;
    if (!ParseLine(lines[i], &l) || !AsciiContainsFolded(lines[i], q)) continue;
    if (total++ < offset || shown >= limit) continue;
    ++shown;
    list.BeginObject().Key("kind").Str(l.kind).Key("item").Str(l.item);
    list.Key("bytes").Num(l.bytes).Key("path").Str(l.path).Key("reason").Str(l.reason);
    list.EndObject();
  }
  tov::JsonWriter w = tov::OkWriter();
  HeadJson(h, w);
  w.Key("total").Num(total).Key("offset").Num(offset).Key("lines").Raw(list.EndArray().Take());
  return w.EndObject().Take();
}

}  // namespace tamsel
