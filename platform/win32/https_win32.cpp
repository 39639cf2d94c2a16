// Windows backend of the HTTPS seam: one synchronous WinHTTP request per
// call, with its own root handle, connection and request, all closed again on
// every path (the handle holder below), so calls on several threads share
// nothing.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_shared.h"

namespace tov {
namespace {

// WINHTTP is no KnownDLL: a static import would be looked for beside the
// executable first, where anything may have been planted. It is loaded
// from the system folder on the first request instead.
#define TAMSEL_WINHTTP_CALLS(X)                                                               \
  X(WinHttpOpen)                                                                              \
  X(WinHttpCloseHandle)                                                                       \
  X(WinHttpConnect)                                                                           \
  X(WinHttpOpenRequest)                                                                       \
  X(WinHttpSetTimeouts) X(WinHttpSetOption) X(WinHttpAddRequestHeaders) X(WinHttpSendRequest) \
      X(WinHttpReceiveResponse) X(WinHttpQueryHeaders) X(WinHttpQueryDataAvailable)           \
          X(WinHttpReadData)

struct WinHttpApi {
  bool loaded = false;
  DWORD error = 0;  // why loading failed
#define TAMSEL_DECLARE(name) decltype(&::name) name = nullptr;
  TAMSEL_WINHTTP_CALLS(TAMSEL_DECLARE)
#undef TAMSEL_DECLARE
};

const WinHttpApi& Api() {
  static const WinHttpApi api = [] {
    WinHttpApi a;
    HMODULE m = LoadSystemDll(L"winhttp.dll");
    if (!m) {
      a.error = GetLastError();
      return a;
    }
    bool all = true;
#define TAMSEL_RESOLVE(name)                                                                      \
  a.name = reinterpret_cast<decltype(a.name)>(reinterpret_cast<void*>(GetProcAddress(m, #name))); \
  all = all && a.name;
    TAMSEL_WINHTTP_CALLS(TAMSEL_RESOLVE)
#undef TAMSEL_RESOLVE
    a.loaded = all;
    if (!all) a.error = ERROR_PROC_NOT_FOUND;
    return a;
  }();
  return api;
}

constexpr DWORD kResolveMs = 8000;
constexpr DWORD kConnectMs = 8000;
constexpr DWORD kSendMs = 12000;
constexpr DWORD kReceiveMs = 12000;

// Owns one WinHTTP handle. Declared in the order root, connection, request,
// so that leaving the function closes them in the reverse order.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET h) : h_(h) {}
  ~InternetHandle() {
    if (h_) Api().WinHttpCloseHandle(h_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

// The verb in UTF-16 through the system code page, without the terminator
// the measuring call counts.
std::wstring Verb(const std::string& method) {
  int n = MultiByteToWideChar(CP_ACP, 0, method.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring verb(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, method.c_str(), -1, &verb[0], n);
  while (!verb.empty() && verb.back() == L'\0') verb.pop_back();
  return verb;
}

}  // namespace

HttpsResult HttpsRequest(const std::wstring& host, int port, const std::wstring& path,
                         const std::string& method, const std::string& body, size_t maxBody) {
  HttpsResult result;
  if (!Api().loaded) {
    result.stage = HttpsStage::InitFailed;
    result.error = Api().error;
    return result;
  }

  InternetHandle session(Api().WinHttpOpen(L"nem-web-shell/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session.get()) {
    result.stage = HttpsStage::InitFailed;
    result.error = GetLastError();
    return result;
  }
  Api().WinHttpSetTimeouts(session.get(), kResolveMs, kConnectMs, kSendMs, kReceiveMs);
  // The wait for the response headers has a time-out of its own, which
  // WinHttpSetTimeouts does not set everywhere (wine leaves it infinite, so a
  // server that accepts and stays silent would hang the caller for ever).
  DWORD responseMs = kReceiveMs;
  Api().WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs,
                         sizeof responseMs);

  InternetHandle connection(
      Api().WinHttpConnect(session.get(), host.c_str(), static_cast<INTERNET_PORT>(port), 0));
  if (!connection.get()) {
    result.stage = HttpsStage::ConnectFailed;
    result.error = GetLastError();
    return result;
  }

  std::wstring verb = Verb(method);
  InternetHandle request(Api().WinHttpOpenRequest(
      connection.get(), verb.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!request.get()) {
    result.stage = HttpsStage::OpenFailed;
    result.error = GetLastError();
    return result;
  }
  // Also on the request itself: the handle takes its time-outs from the
  // session when it is made, but not every WinHTTP copies this one.
  Api().WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs,
                         sizeof responseMs);

  Api().WinHttpAddRequestHeaders(request.get(), L"Content-Type: application/json; charset=utf-8",
                                 static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);

  DWORD length = static_cast<DWORD>(body.size());
  LPVOID data = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
  BOOL ok = Api().WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length,
                                     length, 0);
  if (ok) ok = Api().WinHttpReceiveResponse(request.get(), nullptr);
  if (!ok) {
    // Taken before any handle is closed: closing may change the last error.
    result.stage = HttpsStage::SendFailed;
    result.error = GetLastError();
    return result;
  }

  result.stage = HttpsStage::Answered;
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (Api().WinHttpQueryHeaders(
          request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
          WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX))
    result.status = static_cast<int>(status);

  std::string chunk;
  for (;;) {
    DWORD available = 0;
    if (!Api().WinHttpQueryDataAvailable(request.get(), &available) || available == 0) break;
    chunk.resize(available);
    DWORD read = 0;
    if (!Api().WinHttpReadData(request.get(), &chunk[0], available, &read) || read == 0) break;
    result.body.append(chunk.data(), read);
    // The answer is bounded: stop after the chunk that passes the limit.
    if (result.body.size() > maxBody) break;
  }
  return result;
}

HMODULE LoadSystemDll(const wchar_t* name) {
  HMODULE m = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (m) return m;
  // Systems without the search flags: the full path in the system folder.
  wchar_t dir[MAX_PATH + 1] = {0};
  UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  if (n == 0 || n > MAX_PATH) return nullptr;
  std::wstring full = std::wstring(dir, n) + L"\\" + name;
  return LoadLibraryExW(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace tov
