#include "lifecycle/shell_life.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "text/json_doc.h"
#include "text/text.h"

namespace tov {

namespace {

constexpr uint32_t kErrorCancelled = 1223;  // the user declined the UAC prompt
constexpr int kProbeTimeoutMs = 800;

// <local application data>\<appName>\<file> (the folder is created), or
// the same under the temporary folder; empty when neither is known.
std::string AppFilePath(const std::string& appName, const wchar_t* file) {
  std::wstring base;
  if (!ShellFolderPath(ShellFolder::LocalAppData, &base)) {
    // The temporary folder keeps its trailing backslash; the doubled
    // separator that follows is harmless.
    if (!TempPath(&base)) return std::string();
  }
  std::wstring folder = base + L"\\" + Utf8ToWide(appName);
  CreateDir(folder);  // normally there already
  return WideToUtf8(folder + L"\\" + file);
}

}  // namespace

std::string PortFilePath(const std::string& appName) {
  return AppFilePath(appName, L"port.txt");
}

int ReadPortFile(const std::string& appName) {
  std::string path = PortFilePath(appName);
  if (path.empty()) return 0;
  std::string head;
  if (!ReadFileHead(Utf8ToWide(path), 63, &head) || head.empty()) return 0;
  return atoi(head.c_str());
}

void WritePortFile(const std::string& appName, int port) {
  std::string path = PortFilePath(appName);
  if (path.empty()) return;
  char buf[24];
  snprintf(buf, sizeof buf, "%d\n", port);
  WriteWholeFile(Utf8ToWide(path), buf);
}

void RemovePortFile(const std::string& appName) {
  std::string path = PortFilePath(appName);
  if (!path.empty()) DeleteFilePath(Utf8ToWide(path));
}

std::string NewAccessToken() {
  unsigned char bytes[kAccessTokenBytes];
  if (!SystemRandomBytes(bytes, sizeof bytes)) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  token.reserve(kAccessTokenDigits);
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 0xf]);
  }
  return token;
}

bool IsAccessTokenText(const std::string& s) {
  if (s.size() != kAccessTokenDigits) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string TokenFilePath(const std::string& appName) {
  return AppFilePath(appName, L"token.txt");
}

bool WriteTokenFile(const std::string& appName, const std::string& token) {
  std::string path = TokenFilePath(appName);
  return !path.empty() && WriteWholeFile(Utf8ToWide(path), token + "\n");
}

std::string ReadTokenFile(const std::string& appName) {
  std::string path = TokenFilePath(appName);
  if (path.empty()) return std::string();
  // One byte more than a good file holds, so that a longer one shows.
  std::string head;
  if (!ReadFileHead(Utf8ToWide(path), kAccessTokenDigits + 2, &head)) return std::string();
  if (head.size() != kAccessTokenDigits + 1 || head.back() != '\n') return std::string();
  head.pop_back();
  return IsAccessTokenText(head) ? head : std::string();
}

bool ProbeOurInstance(int port, const std::string& marker) {
  if (port < 1 || port > 65535) return false;
  Socket s = SockTcp();
  if (s == kBadSocket) return false;
  SockSetTimeouts(s, kProbeTimeoutMs);
  if (!SockConnectLoopback(s, port)) {
    SockClose(s);
    return false;
  }
  static const char kRequest[] =
      "GET /api/env HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (SockSend(s, kRequest, static_cast<int>(sizeof kRequest - 1)) <= 0) {
    SockClose(s);
    return false;
  }
  // A handful of reads is enough for the short environment document; a
  // foreign server that talks on and on is cut off early.
  std::string reply;
  char buf[2048];
  for (int i = 0; i < 8 && reply.size() <= 8192; ++i) {
    int n = SockRecv(s, buf, sizeof buf);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  SockClose(s);
  // Our instance answers 200 with its environment document, which names
  // the product; nothing else on that port gets our token afterwards.
  if (reply.compare(0, 13, "HTTP/1.1 200 ") != 0) return false;
  size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  JsonValue doc;
  if (!ParseJson(reply.substr(end + 4), &doc) || doc.kind != JsonValue::Kind::Object) return false;
  const JsonValue* ok = JsonMemberOf(doc, "ok");
  const JsonValue* name = JsonMemberOf(doc, "name");
  return ok && ok->kind == JsonValue::Kind::Bool && ok->flag && name &&
         name->kind == JsonValue::Kind::String && name->text == marker;
}

std::string LoopbackRequest(int port, const std::string& method, const std::string& path,
                            const std::string& extraHeaders, const std::string& body,
                            int timeoutMs) {
  if (port < 1 || port > 65535) return std::string();
  Socket s = SockTcp();
  if (s == kBadSocket) return std::string();
  SockSetTimeouts(s, timeoutMs);
  if (!SockConnectLoopback(s, port)) {
    SockClose(s);
    return std::string();
  }
  std::string request =
      method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders +
      "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + body;
  std::string reply;
  if (SockSend(s, request.data(), static_cast<int>(request.size())) ==
      static_cast<int>(request.size())) {
    char buf[8192];
    for (;;) {
      int n = SockRecv(s, buf, sizeof buf);
      if (n <= 0) break;
      reply.append(buf, static_cast<size_t>(n));
    }
  }
  SockClose(s);
  return reply;
}

namespace {
// Written before any thread asks (at start-up, or by a test between cases).
RightsSystem g_rights;
// Time the elevated copy gets to start before this one ends.
constexpr uint32_t kExitAfterElevationMs = 1200;
}  // namespace

void SetRightsSystem(const RightsSystem& system) {
  g_rights = system;
}

bool IsAdminUser() {
  return g_rights.isAdmin ? g_rights.isAdmin() : IsProcessAdmin();
}

std::string ElevateSelfJson() {
  if (IsAdminUser()) return OkWriter().Key("already").Bool(true).EndObject().Take();
  std::wstring exe = ModuleFileName();
  if (exe.empty()) return FailureJson("取不到程序路径");
  // --force-new: the elevated copy must not hand over to this instance,
  // which is still running while the prompt is up.
  uint32_t lastError = 0;
  intptr_t started = g_rights.runElevated
                         ? g_rights.runElevated(exe, L"--force-new", &lastError)
                         : ShellExecuteOpen(L"runas", exe, L"--force-new", &lastError);
  if (started > 32) {
    if (g_rights.scheduleExit)
      g_rights.scheduleExit(kExitAfterElevationMs);
    else
      ScheduleExit(kExitAfterElevationMs);
    return OkWriter().Key("elevated").Bool(true).EndObject().Take();
  }
  if (lastError == kErrorCancelled) return FailureJson("你取消了管理员授权");
  return FailureJson("提权失败（可能被安全软件拦住）");
}

void ScheduleExit(uint32_t ms) {
  // When no thread can be had the process simply goes on.
  StartDetachedThread([ms] {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    ExitProcessNow(0);
  });
}

}  // namespace tov
