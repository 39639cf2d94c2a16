// The update check: fetch the version manifest of the program's web service
// and compare its version with the running one. Nothing is downloaded or
// installed; the interface shows the result and the page to go to.
#include <cctype>
#include <climits>

#include "desktop/shell_win.h"
#include "feedback/feedback.h"
#include "text/json_doc.h"
#include "text/text.h"

namespace tov {
namespace {

struct Version {
  int part[3] = {0, 0, 0};
};

// Reads "%d.%d.%d" the way sscanf does (white space before each number, an
// optional sign, the dots matched exactly, reading stops at the first
// mismatch and the components not read stay 0), except that a number too
// large for an int is held at the int's limit: for sscanf that is undefined,
// and a wrapped value could make a newer version look older.
Version ReadVersion(const std::string& text) {
  Version v;
  size_t i = 0;
  const size_t n = text.size();
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      if (i >= n || text[i] != '.') break;
      ++i;
    }
    while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= n || !std::isdigit(static_cast<unsigned char>(text[i]))) break;
    long long value = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) {
      if (value <= INT_MAX) value = value * 10 + (text[i] - '0');
      ++i;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    v.part[k] = static_cast<int>(value);
  }
  return v;
}

bool IsNewer(const Version& latest, const Version& current) {
  for (int k = 0; k < 3; ++k)
    if (latest.part[k] != current.part[k]) return latest.part[k] > current.part[k];
  return false;
}

}  // namespace

std::string CheckUpdateJson(const std::string& host, const std::string& path,
                            const std::string& current) {
  std::string manifest, error;
  int status = HttpRequestJson(U2WX(host), U2WX(path), "GET", std::string(), manifest, error);
  // Whatever kept the manifest away, the interface shows one message.
  if (status != 200 || manifest.empty()) return FailureJson("连不上更新服务器");

  // One JSON object with a non-empty version text; page and notes are texts
  // when given.
  JsonValue doc;
  std::string latest, page, notes;
  if (!ParseJson(manifest, &doc) || JsonStringMember(doc, "version", &latest) != JsonField::Found ||
      latest.empty() || JsonStringMember(doc, "page", &page) == JsonField::WrongType ||
      JsonStringMember(doc, "notes", &notes) == JsonField::WrongType)
    return FailureJson("版本清单格式不对");
  bool hasUpdate = IsNewer(ReadVersion(latest), ReadVersion(current));

  JsonWriter w = OkWriter();
  w.Key("current").Str(current).Key("latest").Str(latest).Key("page").Str(page);
  return w.Key("notes").Str(notes).Key("hasUpdate").Bool(hasUpdate).EndObject().Take();
}

}  // namespace tov
