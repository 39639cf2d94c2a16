// Two items of Windows' own tools that act through the system's own APIs
// rather than a program: the restore points (WMI lists them, srclient.dll's
// SRRemoveRestorePoint removes them) and the old third-party driver packages
// (their INF files' [Version] read here, SetupAPI locates and removes them).
// What their answers say is read here; the analysis and the action follow
// the other system tools' rules (engine/system_tools.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/tamsel_engine.h"
#include "platform/platform.h"

namespace tamsel {

// ---- INF files -------------------------------------------------------------------------

// What an INF's [Version] section says. A %token% value is resolved from
// [Strings] (else from the first [Strings.<locale>] that has it), quotes
// taken off; a key that is missing stays empty.
struct InfVersion {
  std::string provider;
  std::string className;  // Class
  std::string driverVer;  // DriverVer as written
  // DriverVer's date (mm/dd/yyyy) and version (up to four numbers of 0-65535).
  bool dateKnown = false;
  int year = 0, month = 0, day = 0;
  bool versionKnown = false;
  uint32_t version[4] = {0, 0, 0, 0};
};

// Reads an INF file's bytes: UTF-16LE with or without its byte-order mark,
// UTF-8 with or without one; [Version] found without regard to case.
InfVersion ParseInfVersion(const std::string& bytes);

// DriverVer's date as "2023-06-08" and version as "31.0.15.3623"; empty
// when unknown.
std::string InfDateText(const InfVersion& v);
std::string InfVersionText(const InfVersion& v);

// Which of two packages is newer by DriverVer: the date first, then the
// version; 0 when they are alike or cannot be told apart (a date unknown,
// or a version unknown on the same date).
int CompareDriverVer(const InfVersion& a, const InfVersion& b);

// One installed third-party driver package.
struct DriverPackage {
  std::string inf;       // the installed INF, "oem3.inf"
  std::string original;  // the INF's name in the driver store ("nvlt.inf"); empty when unknown
  InfVersion ver;
  uint64_t bytes = 0;  // its DriverStore folder
  bool sizeKnown = false;
};

// For each package, whether it is a candidate: a package of the same
// original INF, provider and class (letter case aside) is newer by
// DriverVer. A group with a package whose place or date is unknown has no
// candidates: the newest cannot be told for sure.
std::vector<bool> OldDriverPackages(const std::vector<DriverPackage>& packages);

// ---- Restore points ----------------------------------------------------------------------

// A WMI datetime (DMTF, "20231205093012.000000+480": local time and its
// offset from UTC in minutes).
struct WmiTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int offsetMinutes = 0;
};
bool ParseWmiDateTime(const std::string& text, WmiTime* t);

// "2023-12-05 09:30（UTC+08:00）"; "时间未知" for text of no known form.
std::string WmiTimeText(const std::string& text);

// The index of the newest restore point (the highest SequenceNumber), or
// -1 when there is none or a point's number is unknown.
int NewestRestorePoint(const std::vector<tov::RestorePoint>& points);

// ---- Analysis and action (engine/system_tools.cpp calls these once the
// caller is known to be elevated) -----------------------------------------------------------

void AnalyseRestorePoints(ItemStat& stat);
void AnalyseDriverPackages(ItemStat& stat);

// The action: only what the last scan listed as going, and only while it
// still goes; touched(kind, entry text, reason) records each.
struct Choice;
void CleanRestorePoints(ItemStat& stat, const Choice& c);
void CleanDriverPackages(ItemStat& stat, const Choice& c);

}  // namespace tamsel
