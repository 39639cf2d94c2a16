// POSIX stand-in of Windows' own stores (platform.h, ListRestorePoints,
// RemoveRestorePoint, DriverStoreLocation, UninstallDriverPackage) over the
// emulated machine of platform_posix.cpp. Each API is present only when a
// file of its DLL's name lies in the emulated system folder (as the tools of
// programs_posix.cpp are); its first word picks the run, as there.
//
// - WMI, C:\Windows\System32\wbem\wbemprox.dll: "ok" (or empty) lists the
//   restore points, "fail" fails the query of SystemRestore with
//   WBEM_E_INVALID_CLASS (0x80041010), "garbled" lists them with no
//   SequenceNumber and a CreationTime of no known form. Missing: the
//   locator's class is not registered (REGDB_E_CLASSNOTREG, 0x80040154).
//   A restore point is a file C:\System Volume Information\Restore\RP<n>.rp
//   (n its SequenceNumber): its first line the CreationTime, its second the
//   Description; its size is the shadow storage it holds, and the sizes of
//   them all are Win32_ShadowStorage's UsedSpace for C:.
// - srclient.dll: "ok" removes the point's file (ERROR_INVALID_DATA, 13, when
//   there is none), "slow" the same after half a second, "fail" answers
//   ERROR_GEN_FAILURE (31). Missing: 126.
// - setupapi.dll: SetupGetInfDriverStoreLocationW finds the folder of
//   C:\Windows\System32\DriverStore\FileRepository whose INF has the same
//   bytes as the installed INF (ERROR_FILE_NOT_FOUND when none does).
//   SetupUninstallOEMInfW removes the package's store folder and its
//   C:\Windows\INF\oem<n>.inf and .pnf, unless a line "oem<n>.inf <answer>"
//   of the DLL's file says otherwise: "in-use" refuses as for a package a
//   device uses (ERROR_INF_IN_USE_BY_DEVICES), "fail" with ERROR_GEN_FAILURE,
//   "garbled" fails without a code. Without administrator rights it is
//   refused (ERROR_ACCESS_DENIED). Missing: both functions 127.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/stand_in.h"

namespace tov {

namespace {

namespace fs = std::filesystem;

// The first word of the emulated system file dll, or false when it is missing.
bool ScenarioOf(const std::wstring& dll, std::string* word, std::string* whole = nullptr) {
  std::wstring root;
  if (!LookupVariable(L"SystemRoot", &root)) root = L"C:\\Windows";
  std::string text;
  if (!ReadWholeFile(root + L"\\System32\\" + dll, &text)) return false;
  if (whole) *whole = text;
  *word = text.substr(0, text.find_first_of(" \t\r\n"));
  return true;
}

const std::wstring kRestoreDir = L"C:\\System Volume Information\\Restore";

std::wstring RestoreFile(uint32_t sequence) {
  return kRestoreDir + L"\\RP" + std::to_wstring(sequence) + L".rp";
}

std::string Line(const std::string& text, int n) {
  size_t at = 0;
  for (int i = 0; i < n && at != std::string::npos; ++i) {
    at = text.find('\n', at);
    if (at != std::string::npos) ++at;
  }
  if (at == std::string::npos || at >= text.size()) return std::string();
  std::string l = text.substr(at, text.find('\n', at) - at);
  if (!l.empty() && l.back() == '\r') l.pop_back();
  l.erase(std::find(l.begin(), l.end(), '\0'), l.end());  // a sparse file's tail
  return l;
}

std::wstring FileRepository() {
  std::wstring root;
  if (!LookupVariable(L"SystemRoot", &root)) root = L"C:\\Windows";
  return root + L"\\System32\\DriverStore\\FileRepository";
}

}  // namespace

void ListRestorePoints(RestorePointList* out) {
  *out = RestorePointList();
  std::string word;
  if (!ScenarioOf(L"wbem\\wbemprox.dll", &word)) {
    out->error = out->shadowError = 0x80040154u;  // REGDB_E_CLASSNOTREG
    return;
  }
  std::error_code ec;
  fs::path dir = HostPath(kRestoreDir);
  if (word != "fail") {
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (name.size() < 6 || name.compare(0, 2, "RP") != 0 ||
          name.compare(name.size() - 3, 3, ".rp") != 0)
        continue;
      std::string digits = name.substr(2, name.size() - 5);
      if (digits.empty() || digits.size() > 9 ||
          digits.find_first_not_of("0123456789") != std::string::npos)
        continue;
      std::string text;
      ReadWholeFile(kRestoreDir + L"\\" + Utf8ToWide(name), &text);
      RestorePoint p;
      p.sequenceKnown = word != "garbled";
      p.sequence = p.sequenceKnown ? static_cast<uint32_t>(std::stoul(digits)) : 0;
      p.creationTime = word == "garbled" ? L"gestern" : Utf8ToWide(Line(text, 0));
      p.description = Utf8ToWide(Line(text, 1));
      out->points.push_back(p);
    }
  } else {
    out->error = 0x80041010u;  // WBEM_E_INVALID_CLASS
  }
  // Win32_ShadowStorage: what the points' files take.
  out->shadowKnown = true;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st;
    if (lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
      out->shadowUsed += static_cast<uint64_t>(st.st_size);
  }
}

bool RemoveRestorePoint(uint32_t sequence, uint32_t* error) {
  std::string word;
  if (!ScenarioOf(L"srclient.dll", &word)) {
    *error = 126;  // ERROR_MOD_NOT_FOUND
    return false;
  }
  if (word == "fail") {
    *error = 31;  // ERROR_GEN_FAILURE
    return true;
  }
  if (word == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::error_code ec;
  if (!IsProcessAdmin()) {
    *error = 5;  // ERROR_ACCESS_DENIED
  } else if (fs::remove(HostPath(RestoreFile(sequence)), ec)) {
    g_deletions.fetch_add(1);
    *error = 0;
  } else {
    *error = 13;  // ERROR_INVALID_DATA: no such restore point
  }
  return true;
}

bool DriverStoreLocation(const std::wstring& infPath, std::wstring* storeInf, uint32_t* error) {
  storeInf->clear();
  std::string word;
  if (!ScenarioOf(L"setupapi.dll", &word)) {
    *error = 127;  // ERROR_PROC_NOT_FOUND
    return false;
  }
  std::string mine;
  if (!ReadWholeFile(infPath, &mine)) {
    *error = 2;
    return false;
  }
  std::error_code ec;
  const std::wstring repo = FileRepository();
  for (fs::directory_iterator it(HostPath(repo), ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
    std::error_code ec2;
    for (fs::directory_iterator f(it->path(), ec2), e2; !ec2 && f != e2; f.increment(ec2)) {
      std::string name = f->path().filename().string();
      if (name.size() < 5 || LowerAscii(name.substr(name.size() - 4)) != ".inf") continue;
      std::wstring drive =
          repo + L"\\" + Utf8ToWide(it->path().filename().string()) + L"\\" + Utf8ToWide(name);
      std::string theirs;
      if (ReadWholeFile(drive, &theirs) && theirs == mine) {
        *storeInf = drive;
        *error = 0;
        return true;
      }
    }
  }
  *error = 2;  // ERROR_FILE_NOT_FOUND
  return false;
}

bool UninstallDriverPackage(const std::wstring& infName, FsFault* fault) {
  std::string word, whole;
  if (!ScenarioOf(L"setupapi.dll", &word, &whole)) {
    *fault = FsFault(FsFault::Other, 127);
    return false;
  }
  // The answer the DLL's file names for this INF.
  std::string answer = "ok";
  std::string name = LowerAscii(WideToUtf8(infName));
  for (size_t at = 0; at < whole.size();) {
    size_t end = whole.find('\n', at);
    if (end == std::string::npos) end = whole.size();
    std::string line = whole.substr(at, end - at);
    at = end + 1;
    size_t sp = line.find(' ');
    if (sp != std::string::npos && LowerAscii(line.substr(0, sp)) == name) {
      answer = line.substr(sp + 1);
      while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    }
  }
  std::wstring root;
  if (!LookupVariable(L"SystemRoot", &root)) root = L"C:\\Windows";
  const std::wstring inf = root + L"\\INF\\" + infName;
  if (!IsProcessAdmin()) {
    *fault = FsFault(FsFault::Denied, 5);
    return false;
  }
  if (answer == "in-use") {
    *fault = FsFault(FsFault::InUse, 0xE000023Du);  // ERROR_INF_IN_USE_BY_DEVICES
    return false;
  }
  if (answer == "fail") {
    *fault = FsFault(FsFault::Other, 31);  // ERROR_GEN_FAILURE
    return false;
  }
  if (answer == "garbled") {
    *fault = FsFault(FsFault::None, 0);
    return false;
  }
  std::wstring storeInf;
  uint32_t error = 0;
  if (infName.find_first_of(L"\\/") != std::wstring::npos ||
      !DriverStoreLocation(inf, &storeInf, &error)) {
    *fault = FsFault(FsFault::Gone, 2);
    return false;
  }
  std::error_code ec;
  fs::path folder = HostPath(storeInf).parent_path();
  if (fs::remove_all(folder, ec) == static_cast<std::uintmax_t>(-1) || ec) {
    *fault = FsFault(FsFault::Other, 31);
    return false;
  }
  fs::remove(HostPath(inf), ec);
  std::wstring pnf = inf.substr(0, inf.size() - 4) + L".pnf";
  fs::remove(HostPath(pnf), ec);
  g_deletions.fetch_add(1);
  return true;
}

}  // namespace tov
