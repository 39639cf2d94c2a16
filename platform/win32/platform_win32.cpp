// Windows backend of the platform: the real calls, one per contract of
// platform.h. Windows errors stay here; callers see true/false and values.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h must come before windows.h.
#include <shellapi.h>
#include <shlobj.h>
#include <windows.h>
// bcrypt.h and iphlpapi.h need the types of windows.h.
#include <bcrypt.h>
#include <iphlpapi.h>
#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "platform/platform.h"

namespace tov {
namespace {

uint64_t Join(DWORD high, DWORD low) {
  return (static_cast<uint64_t>(high) << 32) | low;
}

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

bool RunHiddenAndWait(const std::wstring& cmdline, uint32_t timeoutMs, uint32_t* exitCode) {
  *exitCode = 1;
  std::wstring writable = cmdline;  // CreateProcessW may write into it
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  ZeroMemory(&pi, sizeof pi);
  if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &si, &pi))
    return false;
  WaitForSingleObject(pi.hProcess, timeoutMs);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  *exitCode = code;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
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
  DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  *attrs = a;
  return true;
}

bool GetFileInfo(const std::wstring& path, FileInfo* info) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return false;
  info->attrs = d.dwFileAttributes;
  info->size = Join(d.nFileSizeHigh, d.nFileSizeLow);
  info->mtime = Join(d.ftLastWriteTime.dwHighDateTime, d.ftLastWriteTime.dwLowDateTime);
  return true;
}

bool ListDir(const std::wstring& dir, const std::function<bool(const DirEntry&)>& visit) {
  std::wstring pattern = dir + L"\\*";
  WIN32_FIND_DATAW fd;
  // The fastest listing Windows offers: the basic information level skips
  // the 8.3 short name (nobody here reads it), and the large fetch asks the
  // file system for many entries per round trip. Names, attributes, sizes
  // and times are the same as FindFirstFileW reports.
  HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr,
                              FIND_FIRST_EX_LARGE_FETCH);
  if (h == INVALID_HANDLE_VALUE) return false;
  DirEntry e;
  do {
    const wchar_t* n = fd.cFileName;
    if (n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0))) continue;
    e.name = n;
    e.attrs = fd.dwFileAttributes;
    e.size = Join(fd.nFileSizeHigh, fd.nFileSizeLow);
    e.mtime = Join(fd.ftLastWriteTime.dwHighDateTime, fd.ftLastWriteTime.dwLowDateTime);
    if (!visit(e)) break;
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* out) {
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  out->clear();
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  fclose(f);
  return true;
}

bool SetNormalAttributes(const std::wstring& path) {
  return SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

bool DeleteFilePath(const std::wstring& path) {
  return DeleteFileW(path.c_str()) != 0;
}

bool RemoveDirectoryPath(const std::wstring& path) {
  return RemoveDirectoryW(path.c_str()) != 0;
}

bool DiskFreeSpace(const std::wstring& drive, uint64_t* freeToCaller, uint64_t* total,
                   uint64_t* totalFree) {
  ULARGE_INTEGER a, t, f;
  if (!GetDiskFreeSpaceExW(drive.c_str(), &a, &t, &f)) return false;
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
  return CreateDirectoryW(path.c_str(), nullptr) != 0;
}

bool TempPath(std::wstring* out) {
  wchar_t buf[520] = {0};
  DWORD n = GetTempPathW(520, buf);
  if (n == 0 || n >= 520) return false;
  *out = std::wstring(buf, n);
  return true;
}

bool ReadFileHead(const std::wstring& path, size_t maxBytes, std::string* out) {
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  out->assign(maxBytes, '\0');
  size_t n = maxBytes ? fread(&(*out)[0], 1, maxBytes, f) : 0;
  out->resize(n);
  fclose(f);
  return true;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (!f) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
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

Socket SockTcp() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? kBadSocket : static_cast<Socket>(s);
}

void SockSetExclusive(Socket s) {
  int one = 1;
  setsockopt(Raw(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
             sizeof one);
}

bool SockBind(Socket s, bool anyAddress, int port) {
  sockaddr_in a;
  ZeroMemory(&a, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = htonl(anyAddress ? INADDR_ANY : INADDR_LOOPBACK);
  return bind(Raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

int SockLocalPort(Socket s) {
  sockaddr_in a;
  int len = sizeof a;
  if (getsockname(Raw(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

std::string SockLocalAddress(Socket s) {
  sockaddr_in a;
  int len = sizeof a;
  if (getsockname(Raw(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return "";
  // inet_ntoa is not thread-safe; format the four bytes ourselves.
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&a.sin_addr.s_addr);
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
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
      char text[16];
      snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
      bool seen = false;
      for (const std::string& o : out) seen = seen || o == text;
      if (!seen) out.push_back(text);
    }
  }
  return out;
}

bool SockListen(Socket s, int backlog) {
  return listen(Raw(s), backlog) == 0;
}

Socket SockAccept(Socket s) {
  SOCKET c = accept(Raw(s), nullptr, nullptr);
  return c == INVALID_SOCKET ? kBadSocket : static_cast<Socket>(c);
}

void SockSetTimeouts(Socket s, int ms) {
  DWORD t = static_cast<DWORD>(ms);
  setsockopt(Raw(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
  setsockopt(Raw(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
}

bool SockConnectLoopback(Socket s, int port) {
  sockaddr_in a;
  ZeroMemory(&a, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(Raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

int SockRecv(Socket s, char* buf, int len) {
  return recv(Raw(s), buf, len, 0);
}

int SockSend(Socket s, const char* buf, int len) {
  return send(Raw(s), buf, len, 0);
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

void SockShutdownSend(Socket s) {
  shutdown(Raw(s), SD_SEND);
}

void SockClose(Socket s) {
  closesocket(Raw(s));
}

}  // namespace tov
