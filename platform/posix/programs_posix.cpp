// POSIX stand-in of the programs the platform starts (platform.h,
// RunHiddenAndWait, SystemProgram, RestrictDllSearch), over the emulated
// machine of platform_posix.cpp. Only "powercfg.exe /hibernate off|on" runs,
// by its full path in the system folder; it removes or recreates
// C:\hiberfil.sys and needs administrator rights (the effective user is
// root). Every other command line is a program that could not be started.
//
// RunSystemTool emulates three of Windows' own tools, each present only when
// a file of its name lies in the emulated system folder
// (C:\Windows\System32\dism.exe, ...; a missing one fails to start with 2,
// as on a stripped system). The file's first word picks the run: empty or
// "ok" answers as the tool documents it, "fail" with its documented failure
// and exit code, "garbled" with exit code 0 and text of no known form,
// "slow" as "ok" over about two seconds with its percentage growing,
// "utf16" as "ok" in UTF-16 with a byte-order mark (a console's Unicode
// output).
// - dism.exe /Online /Cleanup-Image /AnalyzeComponentStore /English: the
//   component store's figures; "Backups and Disabled Features" is the size
//   of the files in C:\Windows\WinSxS\Backup. /StartComponentCleanup
//   deletes those files, with /ResetBase also those of its folder Base.
// - dism.exe /Online /Get-ReservedStorageState /English: enabled while the
//   file <root>/c.reserved exists (its number is the bytes Windows holds,
//   counted as used on C: by a drive with a capacity), else disabled.
//   /Set-ReservedStorageState /State:Disabled renames it to
//   c.reserved.off, /State:Enabled back (7 GB when there was none); the
//   first word "busy" refuses to disable it as Windows does while servicing
//   is in progress ("reserved storage is in use").
// - compact.exe /CompactOS:always writes <root>/compact-os, after which every
//   file below C:\Windows is WOF-backed (WofBacked); /CompactOS:never
//   removes it.
// - powercfg.exe /h /type reduced: C:\hiberfil.sys cut to half its size.
// Without administrator rights each answers as Windows does (DISM: 740,
// "Error: 740 / Elevated permissions are required").
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/stand_in.h"

namespace tov {

bool RunHiddenAndWait(const std::wstring& cmdline, uint32_t, uint32_t* exitCode) {
  *exitCode = 1;
  const std::wstring kOff = SystemProgram(L"powercfg.exe") + L" /hibernate off";
  const std::wstring kOn = SystemProgram(L"powercfg.exe") + L" /hibernate on";
  if (!EqualsNoCase(cmdline, kOff) && !EqualsNoCase(cmdline, kOn)) return false;
  if (!IsProcessAdmin()) return true;  // started, refused: exit code 1
  std::string file = RootDir() + "/c/hiberfil.sys";
  g_deletions.fetch_add(1);
  if (EqualsNoCase(cmdline, kOff)) {
    if (unlink(file.c_str()) == 0 || errno == ENOENT) *exitCode = 0;
  } else {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) {
      // A sparse file stands in for memory-sized hibernation data.
      if (ftruncate(fd, 1LL << 30) == 0) *exitCode = 0;
      close(fd);
    }
  }
  return true;
}

void RestrictDllSearch() {}

std::wstring SystemProgram(const std::wstring& exeName, bool inWindowsDir) {
  std::wstring root;
  if (!LookupVariable(L"SystemRoot", &root)) root = L"C:\\Windows";
  std::wstring full = root + (inWindowsDir ? L"\\" : L"\\System32\\") + exeName;
  if (full.find(L' ') != std::wstring::npos) full = L"\"" + full + L"\"";
  return full;
}

namespace {

// The host path of a drive path of C:.
std::string HostPathOf(const std::wstring& drivePath) {
  std::string bytes;
  if (drivePath.size() < 2 || !EncodeHostName(drivePath.substr(2), &bytes)) return std::string();
  return RootDir() + "/c" + bytes;
}

// The files directly in a host folder: their total size, and each deleted
// when remove is set.
uint64_t FilesIn(const std::string& dir, bool remove) {
  uint64_t total = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  while (struct dirent* e = readdir(d)) {
    std::string full = dir + "/" + e->d_name;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    total += static_cast<uint64_t>(st.st_size);
    if (remove && unlink(full.c_str()) == 0) g_deletions.fetch_add(1);
  }
  closedir(d);
  return total;
}

// A size as DISM prints one: "1.62 GB", "72.19 MB", "0 bytes".
std::string DismSize(uint64_t bytes) {
  char buf[64];
  if (bytes == 0) return "0 bytes";
  const char* units[] = {"KB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes) / 1024;
  int u = 0;
  while (v >= 1024 && u < 3) {
    v /= 1024;
    ++u;
  }
  snprintf(buf, sizeof buf, "%.2f %s", v, units[u]);
  return buf;
}

const char kDismHead[] =
    "\r\nDeployment Image Servicing and Management tool\r\nVersion: 10.0.19041.3636\r\n\r\n"
    "Image Version: 10.0.19045.3803\r\n\r\n";

// DISM's progress bar at tenths of a percent.
std::string DismBar(int tenths) {
  char pct[16];
  snprintf(pct, sizeof pct, "%d.%d%%", tenths / 10, tenths % 10);
  std::string line(58, ' ');
  for (int i = 0; i < tenths * 58 / 1000; ++i) line[i] = '=';
  line.replace(24, strlen(pct), pct);
  return "[" + line + "]";
}

// The UTF-16LE form of ASCII text, with a byte-order mark.
std::string Utf16Of(const std::string& ascii) {
  std::string out = "\xff\xfe";
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

// The stand-in's reserved storage and Compact OS state, beside the drives.
std::string ReservedFile() {
  return RootDir() + "/c.reserved";
}
std::string CompactOsFile() {
  return RootDir() + "/compact-os";
}

}  // namespace

bool WofBacked(const std::wstring& path, bool* backed) {
  *backed = false;
  std::string host = HostPathOf(path);
  struct stat st;
  if (host.empty() || stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string windows = HostPathOf(L"C:\\Windows") + "/";
  struct stat mark;
  *backed =
      host.compare(0, windows.size(), windows) == 0 && stat(CompactOsFile().c_str(), &mark) == 0;
  return true;
}

void RunSystemTool(const std::wstring& exeName, const std::wstring& args,
                   const std::wstring& outFile,
                   const std::function<void(const std::string& output)>& progress, ToolRun* run) {
  *run = ToolRun();
  std::string scenario;
  std::wstring exe = SystemProgram(exeName);
  if (!exe.empty() && exe[0] == L'"') exe = exe.substr(1, exe.size() - 2);
  if (!ReadWholeFile(exe, &scenario)) {
    run->startError = 2;  // ERROR_FILE_NOT_FOUND
    return;
  }
  scenario = scenario.substr(0, scenario.find_first_of(" \r\n"));
  run->started = true;
  std::string out;
  const bool dism = EqualsNoCase(exeName, L"dism.exe");
  const bool compact = EqualsNoCase(exeName, L"compact.exe");
  const bool utf16 = scenario == "utf16";
  auto emit = [&](const std::string& text) {
    out += text;
    WriteWholeFile(outFile, utf16 ? Utf16Of(out) : out);
    if (progress) progress(utf16 ? Utf16Of(out) : out);
  };
  if (!IsProcessAdmin()) {
    run->exitCode = 740;
    emit(dism ? std::string(kDismHead) +
                    "\r\nError: 740\r\n\r\nElevated permissions are required to run DISM.\r\n"
                    "Use an elevated command prompt to complete these tasks.\r\n"
         : compact ? "Access is denied.\r\n"
                   : "You do not have permission to enable or disable hibernation.\r\n");
  } else if (scenario == "fail") {
    run->exitCode = dism ? 0x800F0806u : 1;
    emit(dism ? std::string(kDismHead) +
                    "\r\nError: 0x800f0806\r\n\r\nThe operation could not be completed due to "
                    "pending operations.\r\n"
              : "An unexpected error condition has occurred.\r\n");
  } else if (scenario == "garbled") {
    run->exitCode = 0;
    emit("??? 42 !!!\r\nno figures here\r\n");
  } else if (dism && args.find(L"ReservedStorageState") != std::wstring::npos) {
    std::string on = ReservedFile(), off = on + ".off";
    struct stat st;
    emit(kDismHead);
    run->exitCode = 0;
    if (args == L"/Online /Get-ReservedStorageState /English") {
      emit(std::string("\r\nReserved storage is ") +
           (stat(on.c_str(), &st) == 0 ? "enabled" : "disabled") + ".\r\n");
    } else if (args == L"/Online /Set-ReservedStorageState /State:Disabled /English") {
      if (scenario == "busy") {
        run->exitCode = 0x80004005u;
        emit(
            "\r\nError: 0x80004005\r\n\r\nThis operation is not supported when reserved "
            "storage is in use. Please wait for any servicing operations to complete and then "
            "try again later.\r\n");
      } else if (stat(on.c_str(), &st) == 0 && rename(on.c_str(), off.c_str()) == 0) {
        g_deletions.fetch_add(1);
      }
    } else if (args == L"/Online /Set-ReservedStorageState /State:Enabled /English") {
      if (stat(off.c_str(), &st) == 0)
        rename(off.c_str(), on.c_str());
      else if (stat(on.c_str(), &st) != 0) {
        FILE* f = fopen(on.c_str(), "wb");
        if (f) {
          fputs("7516192768\n", f);
          fclose(f);
        }
      }
      g_deletions.fetch_add(1);
    } else {
      run->exitCode = 87;
      emit("\r\nError: 87\r\n\r\nThe option is unknown.\r\n");
    }
    if (run->exitCode == 0) emit("\r\nThe operation completed successfully.\r\n");
  } else if (compact && (args == L"/CompactOS:always" || args == L"/CompactOS:never")) {
    if (scenario == "slow") std::this_thread::sleep_for(std::chrono::seconds(2));
    bool always = args == L"/CompactOS:always";
    if (always) {
      FILE* f = fopen(CompactOsFile().c_str(), "wb");
      if (f) fclose(f);
      emit("Compressing OS binaries...\r\n\r\nThe system is now in the Compact state.\r\n");
    } else {
      unlink(CompactOsFile().c_str());
      emit("Uncompressing OS binaries...\r\n\r\nThe system is now in the non Compact state.\r\n");
    }
    run->exitCode = 0;
  } else if (dism) {
    std::string backup = HostPathOf(L"C:\\Windows\\WinSxS\\Backup");
    bool analyse = args.find(L"/AnalyzeComponentStore") != std::wstring::npos;
    bool cleanup = args.find(L"/StartComponentCleanup") != std::wstring::npos;
    if (!analyse && !cleanup) {
      run->exitCode = 87;
      emit(std::string(kDismHead) + "\r\nError: 87\r\n\r\nThe option is unknown.\r\n");
    } else {
      emit(kDismHead);
      int steps = scenario == "slow" ? 10 : 1;
      for (int i = 1; i <= steps; ++i) {
        if (steps > 1) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        emit("\r" + DismBar(i * 1000 / steps));
      }
      uint64_t reclaim = FilesIn(backup, cleanup);
      if (cleanup && args.find(L"/ResetBase") != std::wstring::npos)
        FilesIn(backup + "/Base", true);
      if (analyse) {
        emit(
            "\r\n\r\nComponent Store (WinSxS) information:\r\n\r\n"
            "Windows Explorer Reported Size of Component Store : 7.67 GB\r\n\r\n"
            "Actual Size of Component Store : 7.41 GB\r\n\r\n"
            "    Shared with Windows : 5.79 GB\r\n"
            "    Backups and Disabled Features : " +
            DismSize(reclaim) +
            "\r\n"
            "    Cache and Temporary Data :  0 bytes\r\n\r\n"
            "Date of Last Cleanup : 2024-01-16 18:07:41\r\n\r\n"
            "Number of Reclaimable Packages : " +
            std::string(reclaim ? "2" : "0") +
            "\r\n"
            "Component Store Cleanup Recommended : " +
            (reclaim ? "Yes" : "No") + "\r\n");
      }
      emit("\r\nThe operation completed successfully.\r\n");
      run->exitCode = 0;
    }
  } else if (EqualsNoCase(exeName, L"powercfg.exe") && EqualsNoCase(args, L"/h /type reduced")) {
    std::string file = RootDir() + "/c/hiberfil.sys";
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && truncate(file.c_str(), st.st_size / 2) == 0) {
      g_deletions.fetch_add(1);
      run->exitCode = 0;
    } else {
      run->exitCode = 1;
      emit("The hiberfile size cannot be set while hibernation is disabled.\r\n");
    }
  } else {
    run->exitCode = 1;
    emit("Invalid Parameters -- try \"/?\" for help\r\n");
  }
  run->output = utf16 ? Utf16Of(out) : out;
  if (out.empty()) WriteWholeFile(outFile, std::string());
}

}  // namespace tov
