// The command-line clean's parts that need no server: its command line, its
// byte format, and the scheduled task's definition handed to the Task Scheduler
// (under wine the only way to see it: wine's Task Scheduler keeps too little
// of a definition to read it back).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unattended/cli_clean.h"
#include "unattended/schedule.h"

using namespace tamsel;

namespace {

bool Parse(std::vector<std::string> args, UnattendedCommand* cmd, std::string* error) {
  args.insert(args.begin(), "tamsel");
  return ParseUnattended(args, cmd, error);
}

}  // namespace

TEST(UnattendedCommandLine, ReadsListsAndOptions) {
  UnattendedCommand c;
  std::string err;
  ASSERT_TRUE(Parse({"--clean"}, &c, &err)) << err;
  EXPECT_TRUE(c.clean && c.useDefault && c.ids.empty() && !c.dryRun && !c.quiet);
  c = UnattendedCommand();
  ASSERT_TRUE(Parse({"--clean", "default", "--quiet"}, &c, &err)) << err;
  EXPECT_TRUE(c.useDefault && c.quiet);
  // Without --older-than, "default" takes the automatic clean's own age.
  EXPECT_FALSE(c.olderThanGiven);
  c = UnattendedCommand();
  ASSERT_TRUE(Parse({"--dry-run", "--clean", "a,b", "--older-than", "30"}, &c, &err)) << err;
  EXPECT_FALSE(c.useDefault);
  EXPECT_EQ(c.ids, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(c.dryRun);
  EXPECT_EQ(c.olderThanDays, 30);
  c = UnattendedCommand();
  ASSERT_TRUE(Parse({"--clean", "--older-than", "3650"}, &c, &err)) << err;
  EXPECT_TRUE(c.useDefault && c.olderThanGiven);
  EXPECT_EQ(c.olderThanDays, 3650);
  c = UnattendedCommand();
  ASSERT_TRUE(Parse({"--clean", "default", "--older-than", "0"}, &c, &err)) << err;
  EXPECT_TRUE(c.useDefault && c.olderThanGiven);
  EXPECT_EQ(c.olderThanDays, 0);
  c = UnattendedCommand();
  ASSERT_TRUE(Parse({"--schedule", "weekly"}, &c, &err)) << err;
  EXPECT_TRUE(c.schedule && !c.clean);
  EXPECT_EQ(c.every, "weekly");
}

TEST(UnattendedCommandLine, RefusesWhatItCannotTakeWithOneErrorLine) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--clean", ""},
           {"--clean", ","},
           {"--clean", "a,,b"},
           {"--clean", "a", "--older-than", "-1"},
           {"--clean", "a", "--older-than", "abc"},
           {"--clean", "a", "--older-than", "3651"},
           {"--clean", "a", "--older-than", "99999999999"},
           {"--clean", "a", "--older-than"},
           {"--clean", "a", "--dry-run", "--dry-run"},
           {"--clean", "a", "--clean"},
           {"--clean", "a", "--selftest"},
           {"8080", "--clean"},
           {"--clean", "a", "dist"},
           {"--clean", "a", "--lan"},
           {"--schedule", "hourly"},
           {"--schedule", "Daily"},
           {"--schedule"},
           {"--schedule", "daily", "--clean"},
           {"--schedule", "off", "--quiet"},
           {"--schedule", "off", "--schedule", "daily"},
       }) {
    UnattendedCommand c;
    std::string err;
    std::string shown;
    for (const std::string& a : args) shown += " [" + a + "]";
    EXPECT_FALSE(Parse(args, &c, &err)) << shown;
    EXPECT_EQ(err.compare(0, 6, "[err] "), 0) << shown << " " << err;
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
  }
  EXPECT_TRUE(IsUnattendedCommand({"tamsel", "--no-browser", "--clean"}));
  EXPECT_TRUE(IsUnattendedCommand({"tamsel", "--schedule", "off"}));
  EXPECT_FALSE(IsUnattendedCommand({"tamsel", "8080", "--selftest"}));
  EXPECT_FALSE(IsUnattendedCommand({"--clean"}));  // the program's own name is not an option
}

TEST(UnattendedBytes, MatchesThePagesFormat) {
  EXPECT_EQ(BytesText(0), "0 B");
  EXPECT_EQ(BytesText(1023), "1023 B");
  EXPECT_EQ(BytesText(1024), "1.0 KB");
  EXPECT_EQ(BytesText(1536), "1.5 KB");
  EXPECT_EQ(BytesText(1075), "1.0 KB");  // 1.0498...
  EXPECT_EQ(BytesText(1126), "1.1 KB");  // 1.0996...
  EXPECT_EQ(BytesText(1177), "1.1 KB");  // 1.1494...
  EXPECT_EQ(BytesText(1178), "1.2 KB");  // 1.1504...
  EXPECT_EQ(BytesText(1048524), "1023.9 KB");
  EXPECT_EQ(BytesText(1048525), "1.0 MB");  // reaches 1023.95 KB
  EXPECT_EQ(BytesText(5ULL << 30), "5.0 GB");
  EXPECT_EQ(BytesText(1ULL << 50), "1024.0 TB");
  EXPECT_EQ(BytesText(~0ULL), "16777216.0 TB");
}

TEST(AutoCleanTask, TheDefinitionRunsTheQuietDefaultCleanUnelevatedWhenIdleOnMains) {
  std::string daily = AutoCleanTaskXml(L"C:\\Tools & Co\\tamsel.exe", "daily");
  for (const char* part : {
           "<ScheduleByDay><DaysInterval>1</DaysInterval></ScheduleByDay>",
           "<LogonType>InteractiveToken</LogonType>",
           "<RunLevel>LeastPrivilege</RunLevel>",
           "<DisallowStartIfOnBatteries>true</DisallowStartIfOnBatteries>",
           "<StopIfGoingOnBatteries>true</StopIfGoingOnBatteries>",
           "<RunOnlyIfIdle>true</RunOnlyIfIdle>",
           "<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>",
           "<Command>C:\\Tools &amp; Co\\tamsel.exe</Command>",
           "<Arguments>--clean default --quiet</Arguments>",
       })
    EXPECT_NE(daily.find(part), std::string::npos) << part;
  EXPECT_EQ(daily.find("<ScheduleByWeek>"), std::string::npos);
  EXPECT_EQ(daily.find("HighestAvailable"), std::string::npos);
  std::string weekly = AutoCleanTaskXml(L"C:\\t\\tamsel.exe", "weekly");
  EXPECT_NE(weekly.find("<ScheduleByWeek><WeeksInterval>1</WeeksInterval>"), std::string::npos);
  EXPECT_EQ(weekly.find("<ScheduleByDay>"), std::string::npos);
}
