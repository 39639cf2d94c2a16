#include "unattended/schedule.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "rules/tamsel_core.h"
#include "text/json_doc.h"
#include "text/text.h"
#include "unattended/cli_clean.h"

namespace tamsel {
namespace {

// When the task first starts: the next day at this hour, local time.
constexpr int kStartHour = 12;

std::string XmlUnescape(const std::string& s) {
  static const struct {
    const char* entity;
    char c;
  } kEntities[] = {{"&amp;", '&'},  {"&lt;", '<'},    {"&gt;", '>'},
                   {"&quot;", '"'}, {"&apos;", '\''}, {"&#39;", '\''}};
  std::string out;
  for (size_t i = 0; i < s.size();) {
    bool replaced = false;
    for (const auto& e : kEntities) {
      size_t n = strlen(e.entity);
      if (s.compare(i, n, e.entity) == 0) {
        out.push_back(e.c);
        i += n;
        replaced = true;
        break;
      }
    }
    if (!replaced) out.push_back(s[i++]);
  }
  return out;
}

// The text between <tag> and </tag>, or empty.
std::string ElementText(const std::string& xml, const char* tag) {
  std::string open = std::string("<") + tag + ">", close = std::string("</") + tag + ">";
  size_t a = xml.find(open);
  if (a == std::string::npos) return std::string();
  a += open.size();
  size_t b = xml.find(close, a);
  return b == std::string::npos ? std::string() : XmlUnescape(xml.substr(a, b - a));
}

// Tomorrow at kStartHour, local time, as the Task Scheduler writes a moment.
std::string StartBoundary() {
  std::time_t t = std::time(nullptr) + 24 * 3600;
  std::tm local = *std::localtime(&t);
  char buf[64];
  snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:00:00", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, kStartHour);
  return buf;
}

// The line to print for a Task Scheduler call that failed.
std::string TaskSchedulerError(const char* what, uint32_t code) {
  char hex[16];
  snprintf(hex, sizeof hex, "0x%08X", code);
  return std::string("[err] ") + what + "（任务计划程序的错误码 " + hex + "）";
}

const char* EveryText(const std::string& every) {
  return every == "daily" ? "每天" : every == "weekly" ? "每周" : "关闭";
}

}  // namespace

std::string AutoCleanTaskXml(const std::wstring& program, const std::string& every) {
  std::string schedule = every == "weekly"
                             ? "<ScheduleByWeek><WeeksInterval>1</WeeksInterval><DaysOfWeek>"
                               "<Sunday/></DaysOfWeek></ScheduleByWeek>"
                             : "<ScheduleByDay><DaysInterval>1</DaysInterval></ScheduleByDay>";
  // Not elevated (LeastPrivilege, the user's own interactive token); only
  // on an idle computer on AC power; started later when a run was missed;
  // never two at once.
  return "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
         "<Task version=\"1.2\" "
         "xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
         "<RegistrationInfo><Description>Tamsel 自动清理 C 盘</Description></RegistrationInfo>\r\n"
         "<Triggers><CalendarTrigger><StartBoundary>" +
         StartBoundary() + "</StartBoundary><Enabled>true</Enabled>" + schedule +
         "</CalendarTrigger></Triggers>\r\n"
         "<Principals><Principal id=\"Author\"><LogonType>InteractiveToken</LogonType>"
         "<RunLevel>LeastPrivilege</RunLevel></Principal></Principals>\r\n"
         "<Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"
         "<DisallowStartIfOnBatteries>true</DisallowStartIfOnBatteries>"
         "<StopIfGoingOnBatteries>true</StopIfGoingOnBatteries>"
         "<StartWhenAvailable>true</StartWhenAvailable>"
         "<IdleSettings><Duration>PT10M</Duration><WaitTimeout>PT1H</WaitTimeout>"
         "<StopOnIdleEnd>false</StopOnIdleEnd><RestartOnIdle>false</RestartOnIdle></IdleSettings>"
         "<Enabled>true</Enabled><ExecutionTimeLimit>PT2H</ExecutionTimeLimit>"
         "<RunOnlyIfIdle>true</RunOnlyIfIdle></Settings>\r\n"
         "<Actions Context=\"Author\"><Exec><Command>" +
         tov::MarkupEscape(W2U(program)) +
         "</Command><Arguments>--clean default --quiet</Arguments></Exec></Actions>\r\n"
         "</Task>\r\n";
}

ScheduleState ReadSchedule() {
  ScheduleState state;
  std::string xml;
  if (!tov::ReadScheduledTaskXml(kAutoCleanTask, &xml)) return state;
  if (xml.find("<ScheduleByWeek>") != std::string::npos)
    state.every = "weekly";
  else if (xml.find("<ScheduleByDay>") != std::string::npos)
    state.every = "daily";
  else
    return state;  // not a definition of ours
  std::string command = ElementText(xml, "Command");
  if (command.size() >= 2 && command.front() == '"' && command.back() == '"')
    command = command.substr(1, command.size() - 2);
  state.program = U2W(command);
  uint32_t attrs = 0;
  state.programExists = !state.program.empty() && tov::GetAttributes(state.program, &attrs) &&
                        !(attrs & tov::kAttrDirectory);
  state.isThisProgram = tov::LowerAscii(state.program) == tov::LowerAscii(tov::ModuleFileName());
  state.start = ElementText(xml, "StartBoundary");
  return state;
}

bool SetSchedule(const std::string& every, std::string* done, std::string* error) {
  uint32_t code = 0;
  if (every == "off") {
    // Any task of that name goes, whatever its definition says.
    std::string xml;
    if (!tov::ReadScheduledTaskXml(kAutoCleanTask, &xml)) {
      *done = "[ok] 自动清理本来就是关闭的";
      return true;
    }
    if (!tov::DeleteScheduledTask(kAutoCleanTask, &code)) {
      *error = TaskSchedulerError("无法删除计划任务 Tamsel\\AutoClean", code);
      return false;
    }
    *done = "[ok] 已关闭自动清理（已删除计划任务 Tamsel\\AutoClean）";
    return true;
  }
  std::wstring program = tov::ModuleFileName();
  if (program.empty()) {
    *error = "[err] 取不到程序路径，无法设置自动清理";
    return false;
  }
  // The definition goes to the Task Scheduler from memory: a file between
  // the two could be replaced by another program of the user before it is
  // read (and, when Tamsel runs elevated, be registered with its rights).
  if (!tov::RegisterScheduledTask(kAutoCleanTask, AutoCleanTaskXml(program, every), &code)) {
    *error = TaskSchedulerError("无法登记计划任务 Tamsel\\AutoClean", code);
    return false;
  }
  *done = std::string("[ok] 已设置自动清理：") + EveryText(every) +
          "（计划任务 Tamsel\\AutoClean：\"" + W2U(program) +
          "\" --clean default --quiet，普通权限，仅在电脑空闲且接通电源时运行）";
  return true;
}

int RunScheduleCommand(const std::string& every) {
  std::string done, error;
  bool ok = SetSchedule(every, &done, &error);
  printf("%s\n", ok ? done.c_str() : error.c_str());
  return ok ? kExitRan : kExitCouldNotStart;
}

std::string ScheduleJson() {
  ScheduleState s = ReadSchedule();
  tov::JsonWriter w = tov::OkWriter();
  w.Key("every").Str(s.every).Key("program").Str(W2U(s.program));
  w.Key("programExists").Bool(s.programExists).Key("isThisProgram").Bool(s.isThisProgram);
  return w.Key("start").Str(s.start).EndObject().Take();
}

std::string SetScheduleJson(const std::string& body) {
  tov::JsonValue doc;
  if (!tov::ParseBodyObject(body, &doc)) return tov::FailureJson(tov::kNotJsonObject);
  // Missing, or not a text: neither names an interval.
  std::string every;
  tov::JsonStringMember(doc, "every", &every);
  if (every != "off" && every != "daily" && every != "weekly")
    return tov::FailureJson("自动清理只能设为 off、daily 或 weekly");
  std::string done, error;
  // The line without its console marker.
  if (!SetSchedule(every, &done, &error)) return tov::FailureJson(error.substr(6));
  return ScheduleJson();
}

}  // namespace tamsel
