// The small synchronous queries the API answers without a task: the size and
// free space of a drive, and what the recycle bin holds.
#include "engine/tamsel_engine.h"
#include "platform/platform.h"
#include "text/text.h"

namespace tamsel {
namespace {

// A query the system could not answer.
std::string NotOkJson() {
  return tov::JsonWriter().BeginObject().Key("ok").Bool(false).EndObject().Take();
}

}  // namespace

std::string DiskInfoJson(const std::string& drive) {
  // Only a short drive name such as "C:" is meaningful here.
  std::string name = drive.substr(0, 6);
  uint64_t avail = 0, total = 0, totalFree = 0;
  if (!tov::DiskFreeSpace(U2W(name), &avail, &total, &totalFree)) return NotOkJson();
  tov::JsonWriter w = tov::OkWriter();
  w.Key("drive").Str(name).Key("total").Num(total).Key("free").Num(avail);
  return w.EndObject().Take();
}

std::string RecycleBinInfoJson() {
  uint64_t items = 0, bytes = 0;
  if (!tov::QueryRecycleBin(&items, &bytes)) return NotOkJson();
  return tov::OkWriter().Key("items").Num(items).Key("bytes").Num(bytes).EndObject().Take();
}

}  // namespace tamsel
