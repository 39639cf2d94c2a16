// Windows backend of the platform: the real calls, one per contract of
// platform.h. Windows errors stay here; callers see true/false and values.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h must come before windows.h.
#include <process.h>
#include <shellapi.h>
#include <shlobj.h>
#include <windows.h>
#include <winternl.h>
// bcrypt.h and iphlpapi.h need the types of windows.h.
#include <bcrypt.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "platform/common/internal.h"
#include "platform/platform.h"
#include "platform/win32/win32_shared.h"

// The status behind the thread's last Win32 error (ntdll, every Windows
// since XP; winternl.h does not declare it).
extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

namespace tov {
namespace {

bool ValidHandle(HANDLE h) {
  return h != nullptr && h != INVALID_HANDLE_VALUE;
}

SOCKET Raw(Socket s) {
  return static_cast<SOCKET>(s);
}

// A function of a DLL in System32, looked up by name; null when either is
// missing. Neither bcrypt.dll nor iphlpapi.dll is a known DLL: linked, or
// loaded by bare name, each would first be searched for in the executable's
// folder, where anything can be planted next to a program run from
// Downloads. Both stay loaded for the life of the process.
FARPROC SystemDllFunction(const wchar_t* dll, const char* name) {
  HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module ? GetProcAddress(module, name) : nullptr;
}

using GenRandomFn = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);
using AdaptersFn = ULONG(WINAPI*)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG);

GenRandomFn SystemGenRandom() {
  static const GenRandomFn fn = reinterpret_cast<GenRandomFn>(
      reinterpret_cast<void*>(SystemDllFunction(L"bcrypt.dll", "BCryptGenRandom")));
  return fn;
}

AdaptersFn SystemGetAdaptersAddresses() {
  static const AdaptersFn fn = reinterpret_cast<AdaptersFn>(
      reinterpret_cast<void*>(SystemDllFunction(L"iphlpapi.dll", "GetAdaptersAddresses")));
  return fn;
}

}  // namespace

// ---- Text ---------------------------------------------------------------------

std::wstring Utf8ToWide(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
  return out;
}

std::string WideToUtf8(const std::wstring& s) {
  if (s.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

// ---- Process and console ---------------------------------------------------------

std::vector<std::string> CommandLineArgs(int argc, char** argv) {
  std::vector<std::string> args;
  int n = 0;
  LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wargv) return std::vector<std::string>(argv, argv + argc);
  for (int i = 0; i < n; ++i) args.push_back(WideToUtf8(wargv[i]));
  LocalFree(wargv);
  return args;
}

void AttachParentConsoleIfNoStdout() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (ValidHandle(out)) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  freopen("CONOUT$", "w", stdout);
  freopen("CONOUT$", "w", stderr);
  // Our lines are UTF-8 bytes; let the console read them as such.
  SetConsoleOutputCP(CP_UTF8);
}

std::wstring ModuleFileName() {
  wchar_t buf[4096] = {0};
  DWORD n = GetModuleFileNameW(nullptr, buf, 4095);
  if (n == 0 || n >= 4095) return std::wstring();
  return std::wstring(buf, n);
}

uint64_t TickCount64() {
  return GetTickCount64();
}

bool SystemRandomBytes(void* buf, size_t len) {
  GenRandomFn gen = SystemGenRandom();
  if (!gen) return false;
  unsigned char* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    ULONG n = len > 0x10000000u ? 0x10000000u : static_cast<ULONG>(len);
    if (!BCRYPT_SUCCESS(gen(nullptr, p, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
    p += n;
    len -= n;
  }
  return true;
}

bool IsProcessAdmin() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                0, 0, 0, 0, &admins))
    return false;
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, admins, &member)) member = FALSE;
  FreeSid(admins);
  return member != FALSE;
}

namespace {
unsigned __stdcall RunThreadBody(void* p) {
  auto* fn = static_cast<std::function<void()>*>(p);
  (*fn)();
  delete fn;
  return 0;
}
}  // namespace

bool StartDetachedThread(std::function<void()> fn) {
  auto* heap = new std::function<void()>(std::move(fn));
  // _beginthreadex rather than CreateThread: the thread uses the C runtime.
  uintptr_t h = _beginthreadex(nullptr, 0, RunThreadBody, heap, 0, nullptr);
  if (h == 0) {
    delete heap;
    return false;
  }
  CloseHandle(reinterpret_cast<HANDLE>(h));
  return true;
}

// ---- Environment and shell folders --------------------------------------------------

bool ExpandEnvironmentText(const std::wstring& in, std::wstring* out) {
  DWORD need = ExpandEnvironmentStringsW(in.c_str(), nullptr, 0);
  if (need == 0) return false;
  std::wstring buf(static_cast<size_t>(need) + 1, L'\0');
  if (ExpandEnvironmentStringsW(in.c_str(), &buf[0], need) == 0) return false;
  buf.resize(wcslen(buf.c_str()));
  *out = buf;
  return true;
}

bool ShellFolderPath(ShellFolder folder, std::wstring* out) {
  int csidl = CSIDL_DESKTOPDIRECTORY;
  if (folder == ShellFolder::Programs) csidl = CSIDL_PROGRAMS;
  if (folder == ShellFolder::LocalAppData) csidl = CSIDL_LOCAL_APPDATA;
  wchar_t buf[520] = {0};
  if (SHGetFolderPathW(nullptr, csidl, nullptr, 0, buf) != S_OK) return false;
  *out = buf;
  return true;
}

// ---- Files and directories -----------------------------------------------------------

bool GetAttributes(const std::wstring& path, uint32_t* attrs) {
  DWORD a = GetFileAttributesW(LongPathForm(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  *attrs = a;
  return true;
}

bool GetFileInfo(const std::wstring& path, FileInfo* info) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(LongPathForm(path).c_str(), GetFileExInfoStandard, &d)) return false;
  info->attrs = d.dwFileAttributes;
  info->size = Join64(d.nFileSizeHigh, d.nFileSizeLow);
  info->mtime = Join64(d.ftLastWriteTime.dwHighDateTime, d.ftLastWriteTime.dwLowDateTime);
  return true;
}

HANDLE FindFirstIn(const std::wstring& dir, WIN32_FIND_DATAW* fd) {
  std::wstring pattern = LongPathForm(dir);
  if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  return FindFirstFileExW(pattern.c_str(), FindExInfoBasic, fd, FindExSearchNameMatch, nullptr,
                          FIND_FIRST_EX_LARGE_FETCH);
}

bool ListDir(const std::wstring& dir, const std::function<bool(const DirEntry&)>& visit) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstIn(dir, &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  DirEntry e;
  do {
    if (IsDotEntry(fd.cFileName)) continue;
    e.name = fd.cFileName;
    e.attrs = fd.dwFileAttributes;
    e.size = Join64(fd.nFileSizeHigh, fd.nFileSizeLow);
    e.mtime = Join64(fd.ftLastWriteTime.dwHighDateTime, fd.ftLastWriteTime.dwLowDateTime);
    if (!visit(e)) break;
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return true;
}

bool PathIsGone(const std::wstring& path) {
  if (GetFileAttributesW(LongPathForm(path).c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  return LastFault() == FsFault::Gone;
}

bool LongPathName(const std::wstring& path, std::wstring* out) {
  // The long-path prefix lets the call reach paths beyond MAX_PATH; the
  // answer keeps it, and loses it here. A shorter path is asked as it is:
  // wine answers a prefixed path with the text itself, expanded or not,
  // there or not. A longer answer than the buffer gives its size and is
  // asked again.
  std::wstring in = path.size() < MAX_PATH ? path : LongPathForm(path);
  std::wstring buf(MAX_PATH, L'\0');
  for (int round = 0; round < 3; ++round) {
    DWORD n = GetLongPathNameW(in.c_str(), &buf[0], static_cast<DWORD>(buf.size()));
    if (n == 0) return false;
    if (n < buf.size()) {
      buf.resize(n);
      const std::wstring prefix = L"\\\\?\\";
      if (buf.compare(0, prefix.size(), prefix) == 0) buf.erase(0, prefix.size());
      *out = buf;
      return true;
    }
    buf.assign(n, L'\0');
  }
  return false;
}

// ---- Walking by handle --------------------------------------------------------------

namespace {

// Codes the headers of our target leave out or keep in ntstatus.h, which
// clashes with windows.h.
constexpr uint32_t kErrorStoppedOnSymlink = 681;
constexpr uint32_t kStatusDeletePending = 0xC0000056u;
constexpr uint32_t kStatusFileIsADirectory = 0xC00000BAu;
constexpr uint32_t kStatusNotADirectory = 0xC0000103u;
constexpr uint32_t kStatusCannotDelete = 0xC0000121u;
constexpr uint32_t kStatusFileDeleted = 0xC0000123u;
// SetupAPI's ERROR_INF_IN_USE_BY_DEVICES: a driver package a device uses.
constexpr uint32_t kErrorInfInUseByDevices = 0xE000023Du;

// The kind of a Win32 error code.
FsFault::Kind Win32Kind(uint32_t err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DELETE_PENDING:
      return FsFault::Gone;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return FsFault::InUse;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_WRITE_PROTECT:
      return FsFault::Denied;
    case ERROR_DIRECTORY:              // a directory where a file was expected, or the reverse
    case kErrorStoppedOnSymlink:       // a symbolic link on the way
    case ERROR_CANT_ACCESS_FILE:       // a reparse point the system cannot resolve
    case ERROR_CANT_RESOLVE_FILENAME:  // links that lead on too far, or in a circle
    case ERROR_INVALID_REPARSE_DATA:
    case ERROR_REPARSE_TAG_INVALID:
    case ERROR_REPARSE_TAG_MISMATCH:
      return FsFault::Link;
    default:
      // ERROR_NOT_A_REPARSE_POINT too: it says the object is no link.
      return FsFault::Other;
  }
}

}  // namespace

FsFault FaultOfSystemCode(uint32_t code) {
  // An NTSTATUS of error severity. Win32 reports several statuses as
  // ERROR_ACCESS_DENIED that refuse no permission: a file whose deletion is
  // pending, or that was deleted under an open handle, is going; a running
  // program's image (or the page file) cannot be deleted while it is in
  // use; a directory where a file was asked for is not what was listed. The
  // rest read as the Win32 code the system gives them.
  if (code == kErrorInfInUseByDevices) return FsFault(FsFault::InUse, code);
  if ((code & 0xC0000000u) == 0xC0000000u) {
    switch (code) {
      case kStatusDeletePending:
      case kStatusFileDeleted:
        return FsFault(FsFault::Gone, code);
      case kStatusCannotDelete:
        return FsFault(FsFault::InUse, code);
      case kStatusFileIsADirectory:
      case kStatusNotADirectory:
        return FsFault(FsFault::Link, code);
      default:
        return FsFault(Win32Kind(RtlNtStatusToDosError(static_cast<NTSTATUS>(code))), code);
    }
  }
  // An HRESULT that carries a Win32 code (HRESULT_FROM_WIN32).
  if ((code & 0xFFFF0000u) == 0x80070000u) return FsFault(Win32Kind(code & 0xFFFFu), code);
  if (code > 0xFFFFu) return FsFault(FsFault::Other, code);
  return FsFault(Win32Kind(code), code);
}

FsFault LastFault() {
  DWORD err = GetLastError();
  if (err == ERROR_ACCESS_DENIED) {
    NTSTATUS status = RtlGetLastNtStatus();
    // Only the status this error was made from: a call that set the error
    // by itself leaves an older status behind.
    if ((static_cast<uint32_t>(status) & 0xC0000000u) == 0xC0000000u &&
        RtlNtStatusToDosError(status) == err)
      return FaultOfSystemCode(static_cast<uint32_t>(status));
  }
  return FaultOfSystemCode(err);
}

namespace {

// FileDispositionInfoEx and its flags (Windows 10 1607 and later; the
// headers declare them only for newer targets than ours).
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosixSemantics = 0x2;
constexpr ULONG kDispositionIgnoreReadOnly = 0x10;
struct DispositionInfoEx {
  ULONG Flags;
};

// Enough for several hundred entries per call; names are at most 255
// characters.
constexpr DWORD kListBufferBytes = 64 * 1024;

HANDLE Raw(DirHandle d) {
  return reinterpret_cast<HANDLE>(d);
}

// Opens name relative to the open directory root, never following a
// reparse point at name itself.
HANDLE OpenRelative(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG options,
                    FsFault* fault) {
  if (name.empty() || name.size() > 32767 || name.find(L'\\') != std::wstring::npos) {
    *fault = FsFault::Other;
    return nullptr;
  }
  UNICODE_STRING us;
  us.Buffer = const_cast<PWSTR>(name.c_str());
  us.Length = us.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE h = nullptr;
  NTSTATUS st =
      NtCreateFile(&h, access | SYNCHRONIZE, &oa, &io, nullptr, 0,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                   options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (st < 0) {
    *fault = FaultOfSystemCode(static_cast<uint32_t>(st));
    return nullptr;
  }
  return h;
}

// The attributes of the object behind an open handle: what was opened, not
// what the name means now.
bool HandleAttributes(HANDLE h, DWORD* attrs) {
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info)) return false;
  *attrs = info.FileAttributes;
  return true;
}

// A handle to a directory that is no reparse point, or null with *fault set
// (the handle closed).
HANDLE RealDirectoryOrNull(HANDLE h, FsFault* fault) {
  DWORD attrs = 0;
  if (!HandleAttributes(h, &attrs)) {
    *fault = LastFault();
    CloseHandle(h);
    return nullptr;
  }
  if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
    *fault = FsFault::Link;
    CloseHandle(h);
    return nullptr;
  }
  return h;
}

bool SetHandleAttributes(HANDLE h, DWORD attrs) {
  FILE_BASIC_INFO basic;
  ZeroMemory(&basic, sizeof basic);  // zero times: left as they are
  basic.FileAttributes = attrs ? attrs : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Deletes the object behind h. First the disposition that also removes a
// read-only file and takes the name away at once, even while another
// program holds the file open for sharing; where the system lacks it (before
// Windows 10 1607, other file systems, wine) the read-only attribute is
// cleared and the classic disposition set, and the attributes are given back
// when that fails.
bool DeleteByHandle(HANDLE h, DWORD attrs, FsFault* fault) {
  DispositionInfoEx ex;
  ex.Flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
  if (SetFileInformationByHandle(h, kFileDispositionInfoEx, &ex, sizeof ex)) return true;
  DWORD err = GetLastError();
  if (err != ERROR_INVALID_PARAMETER && err != ERROR_NOT_SUPPORTED &&
      err != ERROR_INVALID_FUNCTION) {
    *fault = LastFault();
    return false;
  }
  bool cleared = false;
  if (attrs & FILE_ATTRIBUTE_READONLY) {
    if (!SetHandleAttributes(h, attrs & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
      *fault = LastFault();
      return false;
    }
    cleared = true;
  }
  FILE_DISPOSITION_INFO classic;
  classic.DeleteFile = TRUE;
  if (SetFileInformationByHandle(h, FileDispositionInfo, &classic, sizeof classic)) return true;
  *fault = LastFault();
  if (cleared) SetHandleAttributes(h, attrs);
  return false;
}

}  // namespace

DirHandle OpenWalkDir(const std::wstring& path, FsFault* fault) {
  *fault = FsFault::None;
  std::wstring full = LongPathForm(path);
  // \\?\C:\ then the elements one by one.
  const std::wstring prefix = L"\\\\?\\";
  if (full.size() < 7 || full.compare(0, 4, prefix) != 0 || full[5] != L':' || full[6] != L'\\') {
    *fault = FsFault::Other;
    return kNoDir;
  }
  std::wstring root = full.substr(0, 7);
  HANDLE h =
      CreateFileW(root.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *fault = LastFault();
    return kNoDir;
  }
  size_t at = 7;
  while (at < full.size()) {
    size_t end = full.find(L'\\', at);
    if (end == std::wstring::npos) end = full.size();
    std::wstring name = full.substr(at, end - at);
    at = end + 1;
    if (name.empty()) continue;
    bool last = at >= full.size();
    ACCESS_MASK access = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | (last ? FILE_LIST_DIRECTORY : 0);
    HANDLE next = OpenRelative(h, name, access, FILE_DIRECTORY_FILE, fault);
    CloseHandle(h);
    if (!next) return kNoDir;
    h = RealDirectoryOrNull(next, fault);
    if (!h) return kNoDir;
  }
  return reinterpret_cast<DirHandle>(h);
}

DirHandle OpenSubdir(DirHandle parent, const DirEntry& entry, FsFault* fault) {
  *fault = FsFault::None;
  HANDLE h = OpenRelative(Raw(parent), entry.name,
                          FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                          FILE_DIRECTORY_FILE, fault);
  if (!h) return kNoDir;
  h = RealDirectoryOrNull(h, fault);
  if (!h) return kNoDir;
  // The folder must be the one that was listed: a folder renamed into its
  // place, or a link that the system followed after all, has another id.
  BY_HANDLE_FILE_INFORMATION info;
  if (entry.id != 0 && (!GetFileInformationByHandle(h, &info) ||
                        Join64(info.nFileIndexHigh, info.nFileIndexLow) != entry.id)) {
    CloseHandle(h);
    *fault = FsFault::Link;
    return kNoDir;
  }
  return reinterpret_cast<DirHandle>(h);
}

void CloseDir(DirHandle dir) {
  if (dir != kNoDir) CloseHandle(Raw(dir));
}

bool ListDirAt(DirHandle dir, std::vector<DirEntry>* entries) {
  entries->clear();
  std::vector<unsigned char> buf(kListBufferBytes);
  FILE_INFO_BY_HANDLE_CLASS cls = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!GetFileInformationByHandleEx(Raw(dir), cls, buf.data(), kListBufferBytes)) {
      DWORD err = GetLastError();
      return err == ERROR_NO_MORE_FILES || (err == ERROR_FILE_NOT_FOUND && entries->empty());
    }
    cls = FileIdBothDirectoryInfo;
    size_t off = 0;
    for (;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buf.data() + off);
      const wchar_t* n = info->FileName;
      size_t len = info->FileNameLength / sizeof(wchar_t);
      bool dots = (len == 1 && n[0] == L'.') || (len == 2 && n[0] == L'.' && n[1] == L'.');
      if (!dots) {
        DirEntry e;
        e.name.assign(n, len);
        e.attrs = info->FileAttributes;
        e.size = static_cast<uint64_t>(info->EndOfFile.QuadPart);
        e.mtime = static_cast<uint64_t>(info->LastWriteTime.QuadPart);
        e.id = static_cast<uint64_t>(info->FileId.QuadPart);
        if (e.attrs & FILE_ATTRIBUTE_DIRECTORY) e.size = 0;
        entries->push_back(std::move(e));
      }
      if (info->NextEntryOffset == 0) break;
      off += info->NextEntryOffset;
    }
  }
}

namespace {

// Opens name in dir for deletion (a file, or a directory with asDirectory)
// and deletes it, unless what is there is a reparse point (a link swapped
// in), a placeholder that became one since it was listed, or a directory
// where a file was expected.
bool DeleteRelative(DirHandle dir, const std::wstring& name, bool asDirectory, FsFault* fault) {
  *fault = FsFault::None;
  HANDLE h = OpenRelative(Raw(dir), name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                          asDirectory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE, fault);
  if (!h) return false;
  DWORD attrs = 0;
  DWORD refuse = FILE_ATTRIBUTE_REPARSE_POINT | (asDirectory ? 0 : FILE_ATTRIBUTE_DIRECTORY);
  bool ok = false;
  if (!HandleAttributes(h, &attrs)) {
    *fault = LastFault();
  } else if (attrs & refuse) {
    *fault = FsFault::Link;
  } else if (!asDirectory && (attrs & kAttrNotLocal)) {
    *fault = FsFault::Other;
  } else {
    ok = DeleteByHandle(h, attrs, fault);
  }
  CloseHandle(h);
  return ok;
}

}  // namespace

bool DeleteFileAt(DirHandle dir, const std::wstring& name, FsFault* fault) {
  return DeleteRelative(dir, name, false, fault);
}

bool RemoveDirAt(DirHandle dir, const std::wstring& name, FsFault* fault) {
  return DeleteRelative(dir, name, true, fault);
}

FILE* OpenFileStream(const std::wstring& path, bool forWriting) {
  return _wfopen(LongPathForm(path).c_str(), forWriting ? L"wb" : L"rb");
}

bool SetNormalAttributes(const std::wstring& path) {
  return SetFileAttributesW(LongPathForm(path).c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

bool DeleteFilePath(const std::wstring& path) {
  return DeleteFileW(LongPathForm(path).c_str()) != 0;
}

bool RemoveDirectoryPath(const std::wstring& path) {
  return RemoveDirectoryW(LongPathForm(path).c_str()) != 0;
}

bool DiskFreeSpace(const std::wstring& drive, uint64_t* freeToCaller, uint64_t* total,
                   uint64_t* totalFree) {
  ULARGE_INTEGER a, t, f;
  if (!GetDiskFreeSpaceExW(LongPathForm(drive).c_str(), &a, &t, &f)) return false;
  *freeToCaller = a.QuadPart;
  *total = t.QuadPart;
  *totalFree = f.QuadPart;
  return true;
}

bool QueryRecycleBin(uint64_t* items, uint64_t* bytes) {
  SHQUERYRBINFO info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  *items = 0;
  *bytes = 0;
  if (SHQueryRecycleBinW(nullptr, &info) != S_OK) return false;
  *items = static_cast<uint64_t>(info.i64NumItems);
  *bytes = static_cast<uint64_t>(info.i64Size);
  return true;
}

bool EmptyRecycleBin() {
  return SHEmptyRecycleBinW(nullptr, nullptr,
                            SHERB_NOCONFIRMATION | SHERB_NOPROGRESSUI | SHERB_NOSOUND) == S_OK;
}

bool CreateDir(const std::wstring& path) {
  return CreateDirectoryW(LongPathForm(path).c_str(), nullptr) != 0;
}

bool TempPath(std::wstring* out) {
  wchar_t buf[520] = {0};
  DWORD n = GetTempPathW(520, buf);
  if (n == 0 || n >= 520) return false;
  *out = std::wstring(buf, n);
  return true;
}

// ---- Stored state ---------------------------------------------------------------

uint64_t NowFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return Join64(ft.dwHighDateTime, ft.dwLowDateTime);
}

std::string LocalStamp(uint64_t fileTime) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(fileTime & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  SYSTEMTIME utc, local;
  if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return std::string();
  char buf[32];
  snprintf(buf, sizeof buf, "%04u%02u%02u-%02u%02u%02u", local.wYear, local.wMonth, local.wDay,
           local.wHour, local.wMinute, local.wSecond);
  return buf;
}

uint32_t ProcessId() {
  return GetCurrentProcessId();
}

namespace {
// The semaphore that holds the machine's clean, or null.
SRWLOCK g_cleanLockGuard = SRWLOCK_INIT;
HANDLE g_cleanLock = nullptr;

// The named semaphore of the machine's clean taken without waiting: the
// handle, or null with *busy when another process holds it (or it exists
// and this process may not open it).
HANDLE TakeCleanSemaphore(const wchar_t* name, bool* busy) {
  *busy = false;
  HANDLE h = CreateSemaphoreW(nullptr, 1, 1, name);
  if (!h) {
    *busy = GetLastError() == ERROR_ACCESS_DENIED;
    return nullptr;
  }
  if (WaitForSingleObject(h, 0) == WAIT_OBJECT_0) return h;
  CloseHandle(h);
  *busy = true;
  return nullptr;
}
}  // namespace

bool TryHoldMachineClean() {
  AcquireSRWLockExclusive(&g_cleanLockGuard);
  bool held = false;
  if (!g_cleanLock) {
    bool busy = false;
    HANDLE h = TakeCleanSemaphore(L"Global\\Tamsel.Clean", &busy);
    // Where the global namespace is closed to the process (a restricted
    // token), its own session's is the next best.
    if (!h && !busy) h = TakeCleanSemaphore(L"Local\\Tamsel.Clean", &busy);
    g_cleanLock = h;
    held = h != nullptr;
  }
  ReleaseSRWLockExclusive(&g_cleanLockGuard);
  return held;
}

void ReleaseMachineClean() {
  AcquireSRWLockExclusive(&g_cleanLockGuard);
  if (g_cleanLock) {
    ReleaseSemaphore(g_cleanLock, 1, nullptr);
    CloseHandle(g_cleanLock);
    g_cleanLock = nullptr;
  }
  ReleaseSRWLockExclusive(&g_cleanLockGuard);
}

namespace {
// Writes all bytes at the handle's position, a mebibyte per call at most.
bool WriteAllHandle(HANDLE h, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1u << 20));
    DWORD wrote = 0;
    if (!WriteFile(h, bytes.data() + at, chunk, &wrote, nullptr) || wrote != chunk) return false;
    at += wrote;
  }
  return true;
}
}  // namespace

bool WriteFileDurable(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(LongPathForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAllHandle(h, bytes) && FlushFileBuffers(h);
  return CloseHandle(h) && ok;
}

bool ReplaceFileWith(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(LongPathForm(from).c_str(), LongPathForm(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

FileHandle CreateNewFile(const std::wstring& path) {
  HANDLE h = CreateFileW(LongPathForm(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h);
}

bool AppendToFile(FileHandle f, const std::string& bytes) {
  HANDLE h = reinterpret_cast<HANDLE>(f);
  LARGE_INTEGER zero, end;
  zero.QuadPart = 0;
  return SetFilePointerEx(h, zero, &end, FILE_END) && WriteAllHandle(h, bytes);
}

bool WriteFileAtOffset(FileHandle f, uint64_t offset, const std::string& bytes) {
  OVERLAPPED ov;
  ZeroMemory(&ov, sizeof ov);
  ov.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD wrote = 0;
  return WriteFile(reinterpret_cast<HANDLE>(f), bytes.data(), static_cast<DWORD>(bytes.size()),
                   &wrote, &ov) &&
         wrote == bytes.size();
}

bool FlushFile(FileHandle f) {
  return FlushFileBuffers(reinterpret_cast<HANDLE>(f)) != 0;
}

void CloseFile(FileHandle f) {
  if (f != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(f));
}

void ExitProcessNow(uint32_t code) {
  fflush(stdout);
  ExitProcess(code);
}

std::filesystem::path HostPath(const std::wstring& path) {
  return std::filesystem::path(path);
}

// ---- Sockets -------------------------------------------------------------------------

bool NetStartup() {
  WSADATA wsa;
  return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
}

void SockSetExclusive(Socket s) {
  int one = 1;
  setsockopt(Raw(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
             sizeof one);
}

std::vector<std::string> LocalIPv4Addresses() {
  std::vector<std::string> out;
  AdaptersFn query = SystemGetAdaptersAddresses();
  if (!query) return out;
  // The size the documentation recommends to start with; the call says
  // how much it needs when that is too little, and the list may grow
  // between two calls.
  ULONG size = 15000;
  std::vector<unsigned char> buf;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buf.assign(size, 0);
    rc = query(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
               nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
  }
  if (rc != NO_ERROR) return out;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp) continue;
    for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET) continue;
      const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(sa);
      const unsigned char* b = reinterpret_cast<const unsigned char*>(&in->sin_addr.s_addr);
      if (b[0] == 127) continue;
      std::string text = DottedQuad(b);
      if (std::find(out.begin(), out.end(), text) == out.end()) out.push_back(text);
    }
  }
  return out;
}

void SockSetTimeouts(Socket s, int ms) {
  DWORD t = static_cast<DWORD>(ms);
  setsockopt(Raw(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
  setsockopt(Raw(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
}

int SockSendTwo(Socket s, const char* first, int firstLen, const char* second, int secondLen) {
  WSABUF parts[2];
  parts[0].buf = const_cast<char*>(first);
  parts[0].len = static_cast<ULONG>(firstLen);
  parts[1].buf = const_cast<char*>(second);
  parts[1].len = static_cast<ULONG>(secondLen);
  DWORD sent = 0;
  if (WSASend(Raw(s), parts, 2, &sent, 0, nullptr, nullptr) != 0) return -1;
  return static_cast<int>(sent);
}

}  // namespace tov
