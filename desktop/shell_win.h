// Desktop integration: opening the interface in a browser (preferring Edge or
// Chrome over Internet Explorer), shortcuts and the shell information
// document, restarting Explorer around a clean, and the update check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tov {

// ---- Browser discovery and launch ----------------------------------------------

// Full path of an installed Edge or Chrome executable, or empty.
std::wstring FindModernBrowser();
// True when the default handler of web addresses is Internet Explorer.
bool DefaultBrowserIsIE();
// Opens the address in a browser, printing what it had to fall back to; false
// (after printing the address for the user to copy) when nothing worked.
bool OpenBrowserUrl(const std::string& url);
std::wstring ExePathW();
std::wstring ExeDirW();               // without trailing separator; "." when unknown
std::wstring KnownFolder(int csidl);  // empty when the shell fails

// ---- Shortcuts and shell information ----------------------------------------------

// Initialises COM for the calling thread as a single-threaded apartment.
int32_t ShellWinInit();
void ShellWinUninit();
std::wstring DesktopLnkPath(const std::string& appName);
bool MakeLnk(const std::wstring& lnkPath, const std::wstring& description);
bool DesktopHasShortcut(const std::string& appName);
bool ExeOnDesktop();
bool CreateShortcuts(const std::string& appName, std::vector<std::string>& created);
std::string CreateShortcutJson(const std::string& appName);
std::string ShellInfoJson(const std::string& appName, const std::string& version);

// ---- Explorer restart and watchdog --------------------------------------------------

bool ExplorerIsRunning();
void ExplorerStop();
void ExplorerStart();
void ExplorerWatchdog(uint32_t seconds);

// ---- Update check -----------------------------------------------------------------

// Fetches the version manifest at https://host/path and compares its version
// with current: {"ok":true,"current":..,"latest":..,"page":..,"notes":..,
// "hasUpdate":..} or {"ok":false,"message":..}. host may carry ":port".
std::string CheckUpdateJson(const std::string& host, const std::string& path,
                            const std::string& current);

}  // namespace tov
