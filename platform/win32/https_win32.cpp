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

namespace tov {
namespace {

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
    if (h_) WinHttpCloseHandle(h_);
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

  InternetHandle session(WinHttpOpen(L"nem-web-shell/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session.get()) {
    result.stage = HttpsStage::InitFailed;
    result.error = GetLastError();
    return result;
  }
  WinHttpSetTimeouts(session.get(), kResolveMs, kConnectMs, kSendMs, kReceiveMs);
  // The wait for the response headers has a time-out of its own, which
  // WinHttpSetTimeouts does not set everywhere (wine leaves it infinite, so a
  // server that accepts and stays silent would hang the caller for ever).
  DWORD responseMs = kReceiveMs;
  WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs,
                   sizeof responseMs);

  InternetHandle connection(
      WinHttpConnect(session.get(), host.c_str(), static_cast<INTERNET_PORT>(port), 0));
  if (!connection.get()) {
    result.stage = HttpsStage::ConnectFailed;
    result.error = GetLastError();
    return result;
  }

  std::wstring verb = Verb(method);
  InternetHandle request(WinHttpOpenRequest(connection.get(), verb.c_str(), path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            WINHTTP_FLAG_SECURE));
  if (!request.get()) {
    result.stage = HttpsStage::OpenFailed;
    result.error = GetLastError();
    return result;
  }
  // Also on the request itself: the handle takes its time-outs from the
  // session when it is made, but not every WinHTTP copies this one.
  WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs,
                   sizeof responseMs);

  WinHttpAddRequestHeaders(request.get(), L"Content-Type: application/json; charset=utf-8",
                           static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);

  DWORD length = static_cast<DWORD>(body.size());
  LPVOID data = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
  BOOL ok =
      WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length, 0);
  if (ok) ok = WinHttpReceiveResponse(request.get(), nullptr);
  if (!ok) {
    // Taken before any handle is closed: closing may change the last error.
    result.stage = HttpsStage::SendFailed;
    result.error = GetLastError();
    return result;
  }

  result.stage = HttpsStage::Answered;
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                          WINHTTP_NO_HEADER_INDEX))
    result.status = static_cast<int>(status);

  std::string chunk;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request.get(), &available) || available == 0) break;
    chunk.resize(available);
    DWORD read = 0;
    if (!WinHttpReadData(request.get(), &chunk[0], available, &read) || read == 0) break;
    result.body.append(chunk.data(), read);
    // The answer is bounded: stop after the chunk that passes the limit.
    if (result.body.size() > maxBody) break;
  }
  return result;
}

}  // namespace tov
