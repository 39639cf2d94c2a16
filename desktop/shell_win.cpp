// Desktop integration: choosing and launching a browser, the shortcuts and
// the shell information document, and restarting Explorer around a clean.
// Everything the shell does goes through the platform seam; this file holds
// the decisions (which browser, which folder, when Explorer counts as gone).
#include "desktop/shell_win.h"

#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "lifecycle/shell_life.h"
#include "paths/paths.h"
#include "platform/platform.h"
#include "text/text.h"

namespace tov {
namespace {

constexpr int kCsidlDesktopDirectory = 16;  // CSIDL_DESKTOPDIRECTORY
constexpr int kCsidlPrograms = 2;           // CSIDL_PROGRAMS
constexpr int kCsidlLocalAppData = 28;      // CSIDL_LOCAL_APPDATA

// ShellExecuteW reports success with a value above 32; lower values are
// error codes.
constexpr intptr_t kShellOk = 32;

// A path counts as present when its attributes can be read and it is not a
// directory: a folder named like a browser or a shortcut is not one.
bool FileExists(const std::wstring& path) {
  uint32_t attrs = 0;
  return GetAttributes(path, &attrs) && !(attrs & kAttrDirectory);
}

bool LaunchAccepted(const std::wstring& file, const std::wstring& params) {
  uint32_t lastError = 0;
  return ShellExecuteOpen(L"open", file, params, &lastError) > kShellOk;
}

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Command lines of the Explorer restart are bounded like the fixed buffer of
// 1024 characters they were meant for: at most 1023 characters.
std::wstring Bounded(std::wstring cmd) {
  if (cmd.size() > 1023) cmd.resize(1023);
  return cmd;
}

const wchar_t kTaskName[] = L"TOV_RestoreShell";

void RunAndWaitW(const std::wstring& cmd) {
  uint32_t exitCode = 0;
  // The exit code is not used: a failing tool shows in the process list.
  RunHiddenAndWait(cmd, 20000, &exitCode);
}

// Starts Explorer as the logged-on user through a one-shot scheduled task:
// an Explorer started directly by an elevated process would run elevated.
void SpawnExplorerViaTask() {
  std::wstring user;
  if (!CurrentUserName(&user) || user.empty()) return;
  const std::wstring task = kTaskName;
  // Every program by its full path in the system folders, never by a bare
  // name that the current folder could answer.
  const std::wstring schtasks = SystemProgram(L"schtasks.exe");
  const std::wstring explorer = SystemProgram(L"explorer.exe", true);
  RunAndWaitW(Bounded(schtasks + L" /create /tn \"" + task + L"\" /tr \"" + explorer +
                      L"\" /sc once /st 23:59 /ru \"" + user + L"\" /it /f"));
  RunAndWaitW(Bounded(schtasks + L" /run /tn \"" + task + L"\""));
  for (int i = 0; i < 60; ++i) {
    SleepMs(100);
    if (ExplorerIsRunning()) break;
  }
  RunAndWaitW(Bounded(schtasks + L" /delete /tn \"" + task + L"\" /f"));
}

void WatchdogThread(uint32_t seconds) {
  // Each pass counts once, restart or not; 64 bits so that a huge duration
  // cannot wrap around to a short one.
  const uint64_t passes = static_cast<uint64_t>(seconds) * 10;
  for (uint64_t i = 0; i < passes; ++i) {
    SleepMs(100);
    if (!ExplorerIsRunning()) {
      ExplorerStart();
      SleepMs(300);
    }
  }
}

}  // namespace

// ---- Browser discovery and launch ----------------------------------------------

std::wstring FindModernBrowser() {
  static const wchar_t* const kCands[] = {
      L"%ProgramFiles(x86)%\\Microsoft\\Edge\\Application\\msedge.exe",
      L"%ProgramFiles%\\Microsoft\\Edge\\Application\\msedge.exe",
      L"%ProgramFiles%\\Google\\Chrome\\Application\\chrome.exe",
      L"%ProgramFiles(x86)%\\Google\\Chrome\\Application\\chrome.exe",
      L"%LOCALAPPDATA%\\Google\\Chrome\\Application\\chrome.exe",
  };
  static const wchar_t* const kAppPaths[] = {L"msedge.exe", L"chrome.exe"};

  for (const wchar_t* cand : kCands) {
    std::wstring path;
    if (!ExpandEnvironmentText(cand, &path)) path = cand;
    if (FileExists(path)) return path;
  }
  for (const wchar_t* name : kAppPaths) {
    std::wstring key =
        std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + name;
    std::wstring text;
    uint32_t type = 0;
    // 1038 bytes into 520 characters: the last character stays a terminator.
    // The value is used as stored; a quoted one fails the existence test.
    if (RegReadText(RegRoot::LocalMachine, key, L"", 520, 1038, &text, &type) && !text.empty() &&
        FileExists(text))
      return text;
  }
  return std::wstring();
}

bool DefaultBrowserIsIE() {
  static const wchar_t* const kKeys[] = {
      L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\https\\UserChoice",
      L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http\\UserChoice",
  };
  static const wchar_t* const kCmdKeys[] = {
      L"https\\shell\\open\\command",
      L"http\\shell\\open\\command",
  };

  // The user's own choice decides when there is one; the first that yields
  // a ProgId is the answer, even if the other scheme says otherwise.
  for (const wchar_t* key : kKeys) {
    std::wstring progId;
    uint32_t type = 0;
    if (!RegReadText(RegRoot::CurrentUser, key, L"ProgId", 512, 1022, &progId, &type)) continue;
    if ((type != kRegSz && type != kRegExpandSz) || progId.empty()) continue;
    // Internet Explorer registers "IE.HTTP", "IE.HTTPS", ...
    return progId.size() >= 3 && LowerAscii(progId.substr(0, 3)) == L"ie.";
  }
  // Without a user choice the class's open command names the handler.
  for (const wchar_t* key : kCmdKeys) {
    std::wstring command;
    uint32_t type = 0;
    if (!RegReadText(RegRoot::ClassesRoot, key, L"", 1024, 2046, &command, &type)) continue;
    if (command.empty()) continue;
    return LowerAscii(command).find(L"iexplore") != std::wstring::npos;
  }
  return false;
}

bool OpenBrowserUrl(const std::string& url) {
  const std::wstring wurl = Utf8ToWide(url);
  if (DefaultBrowserIsIE()) {
    // The interface needs a current browser; Internet Explorer cannot run it.
    std::wstring browser = FindModernBrowser();
    if (!browser.empty() && LaunchAccepted(browser, wurl)) {
      printf("[ok] 默认浏览器是 IE，已改用：%s\n", WideToUtf8(browser).c_str());
      fflush(stdout);
      return true;
    }
    printf("[!!] 默认浏览器是 IE，且没找到 Edge/Chrome，尝试用系统默认程序打开\n");
    fflush(stdout);
  }
  if (LaunchAccepted(wurl, L"")) return true;
  std::wstring browser = FindModernBrowser();
  if (!browser.empty() && LaunchAccepted(browser, wurl)) {
    printf("[ok] 系统默认程序失败，已改用：%s\n", WideToUtf8(browser).c_str());
    fflush(stdout);
    return true;
  }
  printf("[!!] 没找到可用的浏览器。请手动复制下面这个地址到浏览器打开：\n");
  printf("     %s\n", url.c_str());
  fflush(stdout);
  return false;
}

std::wstring ExePathW() {
  return ModuleFileName();
}

std::wstring ExeDirW() {
  std::wstring exe = ExePathW();
  size_t cut = exe.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return L".";
  return exe.substr(0, cut);
}

std::wstring KnownFolder(int csidl) {
  // The program asks for three folders only; the seam offers exactly those.
  ShellFolder folder;
  switch (csidl) {
    case kCsidlDesktopDirectory:
      folder = ShellFolder::Desktop;
      break;
    case kCsidlPrograms:
      folder = ShellFolder::Programs;
      break;
    case kCsidlLocalAppData:
      folder = ShellFolder::LocalAppData;
      break;
    default:
      return std::wstring();
  }
  std::wstring path;
  if (!ShellFolderPath(folder, &path)) return std::wstring();
  return path;
}

// ---- Shortcuts and shell information ----------------------------------------------

int32_t ShellWinInit() {
  return ComInitThread();
}

void ShellWinUninit() {
  ComUninitThread();
}

std::wstring DesktopLnkPath(const std::string& appName) {
  std::wstring desktop = KnownFolder(kCsidlDesktopDirectory);
  if (desktop.empty()) return std::wstring();
  return desktop + L"\\" + Utf8ToWide(appName) + L".lnk";
}

bool MakeLnk(const std::wstring& lnkPath, const std::wstring& description) {
  if (lnkPath.empty()) return false;
  const std::wstring exe = ExePathW();
  return SaveShellLink(lnkPath, exe, ExeDirW(), description, exe, 0);
}

bool DesktopHasShortcut(const std::string& appName) {
  std::wstring lnk = DesktopLnkPath(appName);
  return !lnk.empty() && FileExists(lnk);
}

bool ExeOnDesktop() {
  std::wstring desktop = KnownFolder(kCsidlDesktopDirectory);
  if (desktop.empty()) return false;
  std::wstring exeDir = ExeDirW();
  // In their one form (the program may have been started by a short name);
  // as written when either has none.
  std::wstring a, b;
  if (tamsel::CanonicalPath(desktop, tamsel::PathDrives::Any, &a) == tamsel::PathFault::None &&
      tamsel::CanonicalPath(exeDir, tamsel::PathDrives::Any, &b) == tamsel::PathFault::None)
    return tamsel::SamePath(a, b);
  auto trim = [](std::wstring& s) {
    while (s.size() > 1 && (s.back() == L'\\' || s.back() == L'/')) s.pop_back();
  };
  trim(desktop);
  trim(exeDir);
  return desktop.size() == exeDir.size() && LowerAscii(desktop) == LowerAscii(exeDir);
}

bool CreateShortcuts(const std::string& appName, std::vector<std::string>& created) {
  created.clear();
  // Requests are served on plain threads without COM; the link objects need
  // an apartment. Only an initialisation of our own (S_OK, or S_FALSE when
  // the thread had one already) is balanced by an uninitialisation; a thread
  // in another apartment keeps it and the links are made there.
  const int32_t hr = ComInitThread();
  const bool comOurs = hr == 0 || hr == 1;
  const std::wstring description = Utf8ToWide(appName) + L" · 双击打开";
  bool any = false;

  std::wstring desktopLnk = DesktopLnkPath(appName);
  if (MakeLnk(desktopLnk, description)) {
    created.push_back(WideToUtf8(desktopLnk));
    any = true;
  }
  std::wstring programs = KnownFolder(kCsidlPrograms);
  std::wstring programsLnk =
      programs.empty() ? std::wstring() : programs + L"\\" + Utf8ToWide(appName) + L".lnk";
  if (MakeLnk(programsLnk, description)) {
    created.push_back(WideToUtf8(programsLnk));
    any = true;
  }

  if (comOurs) ComUninitThread();
  return any;
}

std::string CreateShortcutJson(const std::string& appName) {
  std::vector<std::string> created;
  const bool ok = CreateShortcuts(appName, created);
  JsonWriter w;
  w.BeginObject().Key("ok").Bool(ok).Key("created").Strings(created);
  if (!ok)
    w.Key("message").Str("创建快捷方式失败（可能被安全软件拦截，或桌面/开始菜单目录不可写）");
  const bool has = ExeOnDesktop() || DesktopHasShortcut(appName);
  return w.Key("hasShortcut").Bool(has).EndObject().Take();
}

std::string ShellInfoJson(const std::string& appName, const std::string& version) {
  const bool exeOnDesktop = ExeOnDesktop();
  const bool has = DesktopHasShortcut(appName);
  const bool ie = DefaultBrowserIsIE();
  // An executable on the desktop is its own shortcut.
  const bool hasShortcut = exeOnDesktop || has;
  JsonWriter w = OkWriter();
  w.Key("appName").Str(appName).Key("version").Str(version);
  w.Key("exePath").Str(WideToUtf8(ExePathW())).Key("exeOnDesktop").Bool(exeOnDesktop);
  w.Key("hasShortcut").Bool(hasShortcut).Key("needShortcut").Bool(!hasShortcut);
  w.Key("browserIE").Bool(ie).Key("modernBrowser").Str(WideToUtf8(FindModernBrowser()));
  return w.EndObject().Take();
}

// ---- Explorer restart and watchdog --------------------------------------------------

bool ExplorerIsRunning() {
  std::vector<std::wstring> names;
  // Without a process list Explorer counts as running: nothing is then
  // started twice.
  if (!ProcessExeNames(&names)) return true;
  for (const std::wstring& name : names)
    if (LowerAscii(name) == L"explorer.exe") return true;
  return false;
}

void ExplorerStop() {
  uint32_t exitCode = 0;
  RunHiddenAndWait(SystemProgram(L"taskkill.exe") + L" /f /im explorer.exe", 10000, &exitCode);
  for (int i = 0; i < 30 && ExplorerIsRunning(); ++i) SleepMs(100);
  SleepMs(300);
}

void ExplorerStart() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (ExplorerIsRunning()) return;
    if (IsAdminUser())
      SpawnExplorerViaTask();
    else
      StartProcess(SystemProgram(L"explorer.exe", true), false);
    for (int i = 0; i < 40; ++i) {
      SleepMs(100);
      if (ExplorerIsRunning()) return;
    }
  }
}

void ExplorerWatchdog(uint32_t seconds) {
  // No thread: no watchdog; the clean's own ExplorerStart still runs.
  StartDetachedThread([seconds] { WatchdogThread(seconds); });
}

}  // namespace tov
