// POSIX stand-in of the desktop-shell part of platform.h. It does the least
// that lets the desktop code build and run over the emulated machine of
// platform_posix.cpp (same root folder, TAMSEL_ROOT):
// - Registry: only what a test planted. The value <name> of key <a\b> under
//   HKCU, HKLM or HKCR is the UTF-8 text of the file
//   <root>/registry/<HKCU|HKLM|HKCR>/<a/b>/<name> ("@" names the key's
//   default value), always of type REG_SZ. Key and value names keep their
//   letter case (Windows ignores it). A value larger than the capacity the
//   caller gives fails, as RegQueryValueExW does with ERROR_MORE_DATA.
// - Shell open: only "open" of an http:// or https:// address, handed to
//   xdg-open found on PATH and not waited for (accepted: 42). Everything
//   else, programs included, is refused with 2 (file not found).
// - Shell links: a small UTF-8 text file (target, working folder,
//   description, icon) at the mapped path; saving fails where a real save
//   would: missing folder, a directory of that name, a path off the drives.
// - Processes: the names in /proc/<pid>/comm (cut to 15 bytes by Linux);
//   nothing Windows can be started. There is no COM.
// - Windows version: the file <root>/windows-version ("10.0.19045"), none
//   without it.
// - User name: the effective user's login name.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "platform/platform.h"
#include "platform/posix/stand_in.h"

namespace tov {
namespace {

// The stand-in's root folder: C: maps to <root>/c, so its parent is the root.
// Asking the mapping keeps one definition of where the root lies.
std::filesystem::path RootFolder() {
  return HostPath(L"C:").parent_path();
}

const char* RootName(RegRoot root) {
  switch (root) {
    case RegRoot::CurrentUser:
      return "HKCU";
    case RegRoot::LocalMachine:
      return "HKLM";
    case RegRoot::ClassesRoot:
      return "HKCR";
  }
  return "HKCU";
}

bool StartsWithNoCase(const std::wstring& s, const wchar_t* prefix) {
  size_t n = wcslen(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (LowerAscii(s[i]) != prefix[i]) return false;
  }
  return true;
}

// Number of UTF-16 code units a text takes in the real registry.
size_t Utf16Units(const std::wstring& s) {
  size_t n = 0;
  for (wchar_t c : s) n += static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
  return n;
}

// Full path of an executable file named `name` in the PATH directories, or
// empty. Resolved before forking so that a missing program is a refusal the
// caller sees, not a child that fails unseen.
std::string FindOnPath(const char* name) {
  const char* path = getenv("PATH");
  if (!path) return std::string();
  std::string dirs = path;
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string full = dir + "/" + name;
    struct stat st;
    if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(full.c_str(), X_OK) == 0)
      return full;
    start = end + 1;
  }
  return std::string();
}

}  // namespace

int32_t ComInitThread() {
  return 0;
}

void ComUninitThread() {}

bool RegReadText(RegRoot root, const std::wstring& key, const std::wstring& value, size_t bufChars,
                 size_t capacityBytes, std::wstring* text, uint32_t* type) {
  if (bufChars == 0) return false;
  std::string k = WideToUtf8(key);
  std::string v = value.empty() ? std::string("@") : WideToUtf8(value);
  // A value name is one file name; ".." anywhere would leave the registry.
  if (v.find('/') != std::string::npos || v == "..") return false;
  for (char& c : k)
    if (c == '\\') c = '/';
  std::stringstream parts(k);
  std::string part;
  while (std::getline(parts, part, '/'))
    if (part == "..") return false;
  std::filesystem::path file = RootFolder() / "registry" / RootName(root);
  if (!k.empty()) file /= k;
  file /= v;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return false;
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::wstring data = Utf8ToWide(bytes);
  // Stored with its terminator, as reg.exe and the installers write it.
  size_t need = (Utf16Units(data) + 1) * 2;
  size_t maxBytes = bufChars * 2;
  if (capacityBytes > maxBytes) capacityBytes = maxBytes;
  if (need > capacityBytes) return false;
  size_t nul = data.find(L'\0');
  if (nul != std::wstring::npos) data.resize(nul);
  *text = data;
  *type = kRegSz;
  return true;
}

intptr_t ShellExecuteOpen(const std::wstring& verb, const std::wstring& file,
                          const std::wstring& params, uint32_t* lastError) {
  (void)params;
  constexpr intptr_t kRefused = 2;  // ERROR_FILE_NOT_FOUND, as ShellExecuteW reports it
  std::string opener;
  if (verb == L"open" &&
      (StartsWithNoCase(file, L"http://") || StartsWithNoCase(file, L"https://")))
    opener = FindOnPath("xdg-open");
  if (opener.empty()) {
    if (lastError) *lastError = 2;
    return kRefused;
  }
  std::string url = WideToUtf8(file);
  // Everything the children need is prepared before fork: after it only
  // async-signal-safe calls may run in a threaded process.
  char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
  pid_t child = fork();
  if (child < 0) {
    if (lastError) *lastError = 8;  // ERROR_NOT_ENOUGH_MEMORY
    return 8;
  }
  if (child == 0) {
    // The intermediate child ends at once so that the opener is adopted by
    // init and never lingers as our zombie; we do not wait for the opener.
    pid_t opener_pid = fork();
    if (opener_pid == 0) {
      execv(opener.c_str(), argv);
      _exit(127);
    }
    _exit(opener_pid < 0 ? 1 : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (lastError) *lastError = 8;
    return 8;
  }
  return 42;
}

bool SaveShellLink(const std::wstring& lnkPath, const std::wstring& target,
                   const std::wstring& workDir, const std::wstring& description,
                   const std::wstring& iconPath, int iconIndex) {
  // Off the drives would be a file of the host machine: refused, like every
  // other change the stand-in makes.
  if (!IsDrivePath(lnkPath)) return false;
  std::filesystem::path host = HostPath(lnkPath);
  std::string text = "target=" + WideToUtf8(target) + "\n" + "workdir=" + WideToUtf8(workDir) +
                     "\n" + "description=" + WideToUtf8(description) + "\n" +
                     "icon=" + WideToUtf8(iconPath) + "," + std::to_string(iconIndex) + "\n";
  FILE* f = fopen(host.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

bool ProcessExeNames(std::vector<std::wstring>* names) {
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc", ec);
  if (ec) return false;
  names->clear();
  for (const auto& entry : it) {
    const std::string pid = entry.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    // A process that ended since the listing has no comm any more.
    if (!comm || !std::getline(comm, name)) continue;
    names->push_back(Utf8ToWide(name));
  }
  return true;
}

bool StartProcess(const std::wstring&, bool) {
  return false;
}

bool CurrentUserName(std::wstring* name) {
  struct passwd* pw = getpwuid(geteuid());
  if (!pw || !pw->pw_name) return false;
  *name = Utf8ToWide(pw->pw_name);
  return true;
}

bool OsVersion(uint32_t* major, uint32_t* minor, uint32_t* build) {
  // The version a test or the demo drive chose, as "10.0.19045".
  std::ifstream in(RootFolder() / "windows-version");
  unsigned long a = 0, b = 0, c = 0;
  char dot1 = 0, dot2 = 0;
  if (!(in >> a >> dot1 >> b >> dot2 >> c) || dot1 != '.' || dot2 != '.') return false;
  *major = static_cast<uint32_t>(a);
  *minor = static_cast<uint32_t>(b);
  *build = static_cast<uint32_t>(c);
  return true;
}

}  // namespace tov
