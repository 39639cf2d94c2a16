// Cleaning without the page: "tamsel --clean [IDS]" runs one clean and exits,
// "tamsel --schedule daily|weekly|off" sets the scheduled task that runs it.
//
// A clean from the command line takes the one-task rule seriously: when an
// instance of the program is running, the clean runs there, through its API
// and with its access token, so that two cleans never run at once; otherwise
// it runs in this process. Either way it prints one line per item and a
// summary in the page's byte format, and exits 0 when the clean ran (skips
// included), 1 when it could not start (busy, or its record could not be
// begun) or stopped because its record could no longer be written, 2 for a
// bad command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace tamsel {

// Exit codes of the command-line clean and schedule.
constexpr int kExitRan = 0;
constexpr int kExitCouldNotStart = 1;
constexpr int kExitBadCommandLine = 2;

// What the command line asks for.
struct UnattendedCommand {
  bool clean = false;            // --clean
  bool schedule = false;         // --schedule
  std::vector<std::string> ids;  // empty with useDefault
  bool useDefault = true;        // "default" or no list
  bool dryRun = false;           // --dry-run
  bool quiet = false;            // --quiet
  int olderThanDays = 0;         // --older-than N
  std::string every;             // "daily", "weekly" or "off" with --schedule
  bool olderThanGiven = false;   // --older-than was given (else "default" takes the settings')
};

// True when the arguments ask for a command-line clean or schedule rather
// than the server: they hold --clean or --schedule.
bool IsUnattendedCommand(const std::vector<std::string>& args);

// Parses the arguments of a command-line clean or schedule. False with the
// line to print (starting "[err] ") for a bad command line: an empty list,
// a bad --older-than, an unknown interval, an option given twice, --clean
// with --schedule, a port, a folder or --selftest.
bool ParseUnattended(const std::vector<std::string>& args, UnattendedCommand* cmd,
                     std::string* error);

// The whole command: parse, run, print; returns the exit code.
int UnattendedMain(const std::vector<std::string>& args);

// The page's byte format: "N B" below 1 KiB, else one decimal and KB, MB, GB
// or TB, rounded half up ("1.5 KB", "1023.9 KB", "1.0 MB").
std::string BytesText(uint64_t bytes);

}  // namespace tamsel
