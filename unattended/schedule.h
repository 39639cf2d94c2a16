// The scheduled task that cleans without anyone at the computer: a per-user
// task "Tamsel\AutoClean" that runs "PATH\tamsel.exe" --clean default
// --quiet daily or weekly, not elevated, only when the computer is idle and
// on AC power. Registered from a definition in XML held in memory (which is
// what lets it carry the idle and power conditions, and leaves no file for
// another program to swap) and deleted through the Task Scheduler; read back
// through the system's task store.
#pragma once

#include <string>

namespace tamsel {

// The task's name in the Task Scheduler library.
constexpr const wchar_t kAutoCleanTask[] = L"Tamsel\\AutoClean";

// What the task store holds now.
struct ScheduleState {
  std::string every = "off";   // "off", "daily" or "weekly"
  std::wstring program;        // the program the task starts; empty when off
  bool programExists = false;  // that program is still there
  bool isThisProgram = false;  // it is the program now running
  std::string start;  // the trigger's first moment, local "YYYY-MM-DDTHH:MM:SS"; may be empty
};

// The task definition for one interval ("daily" or "weekly") that starts
// program, in the Task Scheduler's XML.
std::string AutoCleanTaskXml(const std::wstring& program, const std::string& every);

// Reads the task back. A task whose definition cannot be read counts as off.
ScheduleState ReadSchedule();

// Creates or replaces the task for "daily" or "weekly", or deletes it for
// "off". False with the line to print (starting "[err] ") when the Task
// Scheduler refuses (its error code is in the line); else *done says what
// was done.
bool SetSchedule(const std::string& every, std::string* done, std::string* error);

// --schedule EVERY: sets it, prints what was done or why not; the exit code.
int RunScheduleCommand(const std::string& every);

// GET /api/schedule: {"ok":true,"every":"off|daily|weekly","program":"...",
// "programExists":B,"isThisProgram":B,"start":"..."}; start is the trigger's
// first moment in local time as the task store holds it (the task runs at
// that time of day, daily or on Sundays, once the computer is idle), "" when
// off or when the store keeps no trigger.
std::string ScheduleJson();
// POST /api/schedule {"every":"off|daily|weekly"}: the state afterwards as
// above, or {"ok":false,"message":"..."}.
std::string SetScheduleJson(const std::string& body);

}  // namespace tamsel
