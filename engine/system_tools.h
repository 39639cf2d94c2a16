// The items of Windows' own tools ("system tool" mode): what their programs
// print, read for figures and progress only (their exit code alone decides
// success), and the analysis and action the scan and the clean run.
#pragma once

#include <cstdint>
#include <string>

namespace tamsel {

// A tool's output bytes as UTF-8, decoded once: UTF-16LE when they begin
// with its byte-order mark or, without one, when NUL fills most odd bytes
// (a console's Unicode output); otherwise UTF-8, each byte that is not
// valid UTF-8 as U+FFFD.
std::string DecodeToolOutput(const std::string& bytes);

// A size as DISM prints it ("7.41 GB", "72.19 MB", "0 bytes", units of
// 1024); false for any other text.
bool ParseDismSize(const std::string& text, uint64_t* bytes);

// What dism.exe /AnalyzeComponentStore /English reported; a figure it did
// not report in the documented form stays unknown.
struct ComponentStoreReport {
  bool backupsKnown = false;  // "Backups and Disabled Features : <size>"
  uint64_t backups = 0;
  bool cacheKnown = false;  // "Cache and Temporary Data : <size>"
  uint64_t cache = 0;
  int packages = -1;     // "Number of Reclaimable Packages : <n>"; -1 unknown
  int recommended = -1;  // "Component Store Cleanup Recommended : Yes|No": 1, 0; -1 unknown
};
ComponentStoreReport ParseComponentStoreReport(const std::string& text);

// The last percentage of DISM's progress bar ("[====  45.3%  ]") in tenths
// of a percent, 0-1000; -1 when the text has none.
int DismPercentTenths(const std::string& text);

// What dism.exe /Get-ReservedStorageState /English reported: 1 for
// "Reserved storage is enabled.", 0 for "... disabled.", -1 for any other
// text.
int ParseReservedStorageState(const std::string& text);

// Whether DISM refused to change the reserved storage because Windows is
// servicing (the documented "This operation is not supported when reserved
// storage is in use. Please wait for any servicing operations to
// complete ...").
bool ReservedStorageInUse(const std::string& text);

// The first Windows build with the reserved storage's DISM commands
// (Windows 10, version 2004).
constexpr uint32_t kReservedStorageBuild = 19041;

// Whether Windows major.minor.build has them.
bool HasReservedStorageCommands(uint32_t major, uint32_t minor, uint32_t build);
// "约 12.3 GB" for the notes and the record.
std::string About(uint64_t bytes);

// The line of a tool's output that says what went wrong: the first line
// starting "Error" with the next line that is not blank, else the first
// line that is not blank; at most 300 bytes, empty for no output.
std::string ToolOutputLine(const std::string& text);

}  // namespace tamsel
