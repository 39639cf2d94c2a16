// POSIX stand-in of the HTTPS seam, over libcurl.
//
// What it emulates: the WinHTTP request of the Windows backend, as far as the
// program can see it. The same user agent and Content-Type header and no
// other request headers of its own (curl's Accept and Expect are removed);
// the body sent as given, also with a GET; TLS with peer and host name
// verification; redirects followed except from https to anything else, as
// WinHTTP's default policy does; proxies from the environment (http_proxy,
// no_proxy...), the closest thing to the system's default proxy setting.
// Time-outs: name resolution, TCP and TLS set-up together within 8 s (curl
// has no separate resolve time-out); 12 s without a byte moving in either
// direction ends the transfer (WinHTTP's send and receive time-outs); the
// whole request is capped at the sum of the three budgets.
// Failures are mapped onto the WinHTTP error codes the program knows: 12002
// time-out, 12007 name not resolved, 12029 cannot connect, 12175 any TLS or
// certificate failure, 12152 an answer that is not HTTP (or none at all
// after the request went out), 12030 everything else.
//
// Certificates: libcurl loads its built-in CA bundle, which bypasses
// OpenSSL's own SSL_CERT_FILE variable. The stand-in honours that variable
// explicitly, so a test can trust a certificate authority it made, the way a
// Windows test adds one to the machine's root store.
//
// What it does not: no certificate revocation check, no WinHTTP proxy
// settings, no NTLM or other authentication.
#include <curl/curl.h>

#include <cstdlib>
#include <mutex>

#include "platform/platform.h"

namespace tov {
namespace {

constexpr long kConnectMs = 8000;
constexpr long kStallSeconds = 12;
constexpr long kTotalMs = 8000 + 12000 + 12000;

constexpr uint32_t kErrTimeout = 12002;
constexpr uint32_t kErrNameNotResolved = 12007;
constexpr uint32_t kErrCannotConnect = 12029;
constexpr uint32_t kErrConnectionError = 12030;
constexpr uint32_t kErrInvalidServerResponse = 12152;
constexpr uint32_t kErrSecureFailure = 12175;

// curl_global_init is not thread-safe; connection threads may make the first
// request at the same time.
void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
  std::string* body;
  size_t maxBody;
  bool cut = false;
};

// Appends each chunk; after the chunk that passes the limit, a short count
// makes curl stop the transfer (it then reports CURLE_WRITE_ERROR, which the
// caller knows to be our own doing).
size_t OnBody(char* data, size_t size, size_t count, void* user) {
  Sink* sink = static_cast<Sink*>(user);
  size_t len = size * count;
  sink->body->append(data, len);
  if (sink->body->size() > sink->maxBody) {
    sink->cut = true;
    return len == 0 ? 1 : len - 1;
  }
  return len;
}

uint32_t WinHttpError(CURLcode rc) {
  switch (rc) {
    case CURLE_OPERATION_TIMEDOUT:
      return kErrTimeout;
    case CURLE_COULDNT_RESOLVE_HOST:
      return kErrNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kErrCannotConnect;
    case CURLE_PEER_FAILED_VERIFICATION:  // also CURLE_SSL_CACERT
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
      return kErrSecureFailure;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:  // an answer in HTTP/0.9 form
      return kErrInvalidServerResponse;
    default:
      return kErrConnectionError;
  }
}

// Frees the handle and the header list on every path.
struct Easy {
  CURL* curl = nullptr;
  curl_slist* headers = nullptr;
  ~Easy() {
    if (curl) curl_easy_cleanup(curl);
    if (headers) curl_slist_free_all(headers);
  }
};

}  // namespace

HttpsResult HttpsRequest(const std::wstring& host, int port, const std::wstring& path,
                         const std::string& method, const std::string& body, size_t maxBody) {
  HttpsResult result;
  GlobalInit();

  Easy easy;
  easy.curl = curl_easy_init();
  if (!easy.curl) {
    result.stage = HttpsStage::InitFailed;
    return result;
  }

  // WinHttpConnect refuses what cannot be a server name.
  std::string name = WideToUtf8(host);
  if (name.empty() || port < 0 || port > 65535) {
    result.stage = HttpsStage::ConnectFailed;
    return result;
  }
  if (name.find(':') != std::string::npos) name = "[" + name + "]";  // an IPv6 literal
  if (port == 0) port = 443;  // INTERNET_DEFAULT_PORT: the scheme's own
  std::string url = "https://" + name + ":" + std::to_string(port) + WideToUtf8(path);

  CURL* c = easy.curl;
  bool setUp = curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK;
  if (!setUp) {
    // What WinHttpOpenRequest would refuse: a path that makes no URL.
    result.stage = HttpsStage::OpenFailed;
    return result;
  }
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "nem-web-shell/1.0");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (const char* caFile = std::getenv("SSL_CERT_FILE"); caFile && *caFile)
    curl_easy_setopt(c, CURLOPT_CAINFO, caFile);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectMs);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, kTotalMs);

  easy.headers = curl_slist_append(easy.headers, "Content-Type: application/json; charset=utf-8");
  easy.headers = curl_slist_append(easy.headers, "Accept:");
  easy.headers = curl_slist_append(easy.headers, "Expect:");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, easy.headers);

  // The body goes as request data whatever the verb, as WinHttpSendRequest
  // sends it; only a GET without a body stays a plain GET.
  if (method != "GET" || !body.empty()) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    if (method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  }

  Sink sink{&result.body, maxBody};
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);

  CURLcode rc = curl_easy_perform(c);
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  // A transfer broken off after the status line arrived is still an answer
  // for WinHTTP (its reading loop just stops with what it has); so is our own
  // stop at the size limit. Without a status line no answer came.
  if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && sink.cut) && code == 0) {
    result.body.clear();
    result.stage = HttpsStage::SendFailed;
    result.error = WinHttpError(rc);
    return result;
  }
  result.stage = HttpsStage::Answered;
  result.status = static_cast<int>(code);
  return result;
}

}  // namespace tov
