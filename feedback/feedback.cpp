// The outbound HTTPS JSON client (one request to the program's web service,
// failures turned into Chinese texts for the interface) and the feedback
// submission built on it.
#include "feedback/feedback.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "text/json_doc.h"
#include "text/text.h"

namespace tov {
namespace {

// An answer is held in memory; the service's documents are small, so
// anything far larger is cut rather than buffered.
constexpr size_t kMaxResponse = 65536;
constexpr int kDefaultPort = 443;

constexpr size_t kMaxContactBytes = 100;
constexpr size_t kMaxKindBytes = 20;

const char kMsgInit[] = "初始化网络失败";
const char kMsgConnect[] = "连接服务器失败（检查网络）";
const char kMsgOpen[] = "建立请求失败";
const char kMsgTimeout[] = "连接超时";
const char kMsgCannotConnect[] = "连不上服务器（检查网络）";
const char kMsgCertificate[] = "证书校验失败（可能被网络中间人拦截）";

std::string SendErrorText(uint32_t code) {
  switch (code) {
    case 12002:  // ERROR_WINHTTP_TIMEOUT
    // WSAETIMEDOUT: what wine's WinHTTP passes on instead of 12002 when the
    // receive time-out strikes on a TLS connection. It means the same.
    case 10060:
      return kMsgTimeout;
    case 12029:  // ERROR_WINHTTP_CANNOT_CONNECT
      return kMsgCannotConnect;
    case 12037:  // ERROR_WINHTTP_SECURE_CERT_DATE_INVALID
    case 12038:  // ERROR_WINHTTP_SECURE_CERT_CN_INVALID
    case 12057:  // ERROR_WINHTTP_SECURE_CERT_REV_FAILED
    case 12175:  // ERROR_WINHTTP_SECURE_FAILURE
    // ERROR_WINHTTP_SECURE_CHANNEL_ERROR: how wine reports every certificate
    // failure, and what Windows gives when the TLS handshake itself breaks
    // (for example a proxy that intercepts it).
    case 12157:
      return kMsgCertificate;
    default: {
      char buf[48];
      std::snprintf(buf, sizeof buf, "网络错误 %lu", static_cast<unsigned long>(code));
      return buf;
    }
  }
}

// "name:port" gives the name and the port when only digits follow the last
// colon; a name with more than one colon is an IPv6 literal and keeps them.
// Returns false for a port that cannot exist (0 or above 65535).
bool SplitHostPort(const std::wstring& in, std::wstring* host, int* port) {
  *host = in;
  *port = kDefaultPort;
  size_t colon = in.rfind(L':');
  if (colon == std::wstring::npos || colon + 1 == in.size()) return true;
  if (in.find(L':') != colon) return true;
  long value = 0;
  for (size_t i = colon + 1; i < in.size(); ++i) {
    if (in[i] < L'0' || in[i] > L'9') return true;
    if (value <= 65535) value = value * 10 + (in[i] - L'0');
  }
  if (value < 1 || value > 65535) return false;
  *host = in.substr(0, colon);
  *port = static_cast<int>(value);
  return true;
}

bool AllSpace(const std::string& s) {
  for (unsigned char c : s)
    if (!std::isspace(c)) return false;
  return true;
}

// Code points of a UTF-8 text: every byte that does not continue a sequence.
size_t CodePoints(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

// The first maxBytes bytes, moved back to the start of a character when the
// cut would fall inside one, so that the report stays valid UTF-8 (a split
// character can make the service refuse the whole report). A UTF-8 sequence
// has at most three continuation bytes; malformed input is not searched
// further back than that.
std::string CutUtf8(const std::string& s, size_t maxBytes) {
  if (s.size() <= maxBytes) return s;
  size_t cut = maxBytes;
  for (int back = 0; back < 3 && cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80;
       ++back)
    --cut;
  if ((static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) cut = maxBytes;
  return s.substr(0, cut);
}

std::string MapKind(const std::string& kind) {
  if (kind.empty()) return "反馈";
  if (kind == "bug") return "Bug";
  if (kind == "idea") return "建议";
  return kind;
}

}  // namespace

const char* ServiceHost() {
  return TAMSEL_SERVICE_HOST;
}

const char* FallbackHost() {
  return TAMSEL_FALLBACK_HOST;
}

int HttpRequestJson(const std::wstring& host, const std::wstring& path, const std::string& method,
                    const std::string& body, std::string& response, std::string& error) {
  response.clear();
  error.clear();
  std::wstring name;
  int port = kDefaultPort;
  if (!SplitHostPort(host, &name, &port)) {
    error = kMsgConnect;
    return 0;
  }
  HttpsResult r = HttpsRequest(name, port, path, method, body, kMaxResponse);
  switch (r.stage) {
    case HttpsStage::Answered:
      response = std::move(r.body);
      return r.status;
    case HttpsStage::InitFailed:
      error = kMsgInit;
      return 0;
    case HttpsStage::ConnectFailed:
      error = kMsgConnect;
      return 0;
    case HttpsStage::OpenFailed:
      error = kMsgOpen;
      return 0;
    case HttpsStage::SendFailed:
      error = SendErrorText(r.error);
      return 0;
  }
  return 0;
}

int HttpPostJson(const std::wstring& host, const std::wstring& path, const std::string& body,
                 std::string& response, std::string& error) {
  return HttpRequestJson(host, path, "POST", body, response, error);
}

std::string WindowsVersionString() {
  uint32_t major = 0, minor = 0, build = 0;
  if (!OsVersion(&major, &minor, &build)) return "Windows";
  char buf[64];
  std::snprintf(buf, sizeof buf, "Windows %lu.%lu.%lu", static_cast<unsigned long>(major),
                static_cast<unsigned long>(minor), static_cast<unsigned long>(build));
  return buf;
}

namespace {

// A failure of the service itself: the page offers another way to send.
std::string FallbackFailure(const std::string& message) {
  return FailureWriter(message).Key("fallback").Bool(true).EndObject().Take();
}

}  // namespace

std::string SubmitFeedbackTo(const std::string& primary, const std::string& fallback,
                             const std::string& appName, const std::string& version,
                             const std::string& body) {
  // One JSON object whose text, contact and kind are texts when given.
  JsonValue doc;
  if (!ParseBodyObject(body, &doc)) return FailureJson(kNotJsonObject);
  std::string text, contact, kind;
  if (JsonStringMember(doc, "text", &text) == JsonField::WrongType ||
      JsonStringMember(doc, "contact", &contact) == JsonField::WrongType ||
      JsonStringMember(doc, "kind", &kind) == JsonField::WrongType)
    return FailureJson("text、contact 和 kind 必须是文字");

  if (AllSpace(text)) return FailureJson("请先写点什么再提交");
  if (CodePoints(text) > kMaxFeedbackChars)
    return FailureJson("内容太长了（上限 " + std::to_string(kMaxFeedbackChars) + " 字）");
  contact = CutUtf8(contact, kMaxContactBytes);
  kind = CutUtf8(MapKind(kind), kMaxKindBytes);

  std::string page = appName + " " + version + " \xC2\xB7 " + WindowsVersionString();
  std::string report = JsonWriter()
                           .BeginObject()
                           .Key("app")
                           .Str(appName)
                           .Key("kind")
                           .Str(kind)
                           .Key("text")
                           .Str(text)
                           .Key("contact")
                           .Str(contact)
                           .Key("page")
                           .Str(page)
                           .Key("hp")
                           .Str("")
                           .EndObject()
                           .Take();

  const std::wstring path = L"/api/feedback";
  std::string response, error;
  int status = HttpRequestJson(U2WX(primary), path, "POST", report, response, error);
  // The fallback host takes over when the primary gave no answer or could
  // not take the report; an answer from the fallback replaces the primary's,
  // a failure of the fallback does not hide what the primary said.
  if (status == 0 || status >= 500) {
    std::string response2, error2;
    int status2 = HttpRequestJson(U2WX(fallback), path, "POST", report, response2, error2);
    if (status2 != 0) {
      status = status2;
      response = std::move(response2);
      error = std::move(error2);
    }
  }

  if (status == 200) return OkJson();
  if (status == 429) return FallbackFailure("提交太频繁了，过十分钟再试");
  if (status != 0) return FallbackFailure("服务器返回 " + std::to_string(status));
  return FallbackFailure(error.empty() ? std::string("发送失败") : error);
}

std::string SubmitFeedback(const std::string& appName, const std::string& version,
                           const std::string& body) {
  return SubmitFeedbackTo(ServiceHost(), FallbackHost(), appName, version, body);
}

}  // namespace tov
