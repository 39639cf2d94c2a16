#include "server/request_gate.h"

#include <vector>

#include "lifecycle/shell_life.h"
#include "server/http_request.h"
#include "server/web_shell.h"

namespace tov {

std::string g_strAccessToken;
bool g_lanMode = false;

namespace {

constexpr const char kRefusedHost[] = "拒绝访问：请求的主机名不是本机（可能是 DNS 重绑定攻击）";
constexpr const char kRefusedOrigin[] = "拒绝访问：其他网站不能操作本程序";
constexpr const char kRefusedToken[] = "拒绝访问：缺少或错误的访问令牌，请从 Tamsel 打开的页面操作";
// The one API path open without the secret: the probe of a second start
// reads it to recognise us, and it tells nothing private.
constexpr const char kOpenApiPath[] = "/api/env";

// The names under which a browser may reach us: the loopback names, and in
// LAN mode the address the peer connected to.
std::vector<std::string> OwnHostNames(Socket s) {
  std::vector<std::string> names = {"127.0.0.1", "localhost"};
  if (g_lanMode) {
    std::string local = SockLocalAddress(s);
    if (!local.empty()) names.push_back(local);
  }
  return names;
}

// Why a request must be refused as coming from somewhere else than our own
// page, or nullptr. A web page the user visits can send requests to any
// loopback port; a site that rebinds its name to 127.0.0.1 could even read
// the answers. Our page, the probe of a second start and the self-test all
// name us in Host, and the page's own fetches carry our origin.
const char* ForeignRequestReason(Socket s, const RequestHead& head) {
  const std::string& path = head.path;
  std::string port = std::to_string(SockLocalPort(s));
  std::vector<std::string> names = OwnHostNames(s);
  std::vector<std::string> hosts = FieldValues(head, "host");
  if (hosts.size() > 1) return kRefusedHost;
  if (hosts.size() == 1) {
    std::string h = LowerAscii(hosts[0]);
    bool ours = false;
    for (const std::string& n : names) ours = ours || h == n || h == n + ":" + port;
    if (!ours) return kRefusedHost;
  }
  if (!StartsWith(path, "/api/")) return nullptr;
  for (const std::string& site : FieldValues(head, "sec-fetch-site")) {
    std::string v = LowerAscii(site);
    if (v == "cross-site" || v == "same-site") return kRefusedOrigin;
  }
  for (const std::string& origin : FieldValues(head, "origin")) {
    std::string o = LowerAscii(origin);
    bool ours = false;
    for (const std::string& n : names)
      ours = ours || o == "http://" + n + ":" + port || (port == "80" && o == "http://" + n);
    if (!ours) return kRefusedOrigin;
  }
  return nullptr;
}

}  // namespace

bool SameSecret(const std::string& a, const std::string& b) {
  // The lengths are no secret (a token always has 32 digits); the contents
  // are, so every byte is looked at whatever the first difference.
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(static_cast<unsigned char>(a[i]) ^
                                       static_cast<unsigned char>(b[i]));
  return diff == 0;
}

namespace {

bool CarriesToken(const RequestHead& head, const std::string& target, const std::string& secret) {
  if (!IsAccessTokenText(secret)) return false;
  // A secret in the address ends up in logs, history and Referer headers;
  // such a request is refused even when the header is right, so that a
  // caller who tries it learns at once.
  size_t q = target.find('?');
  while (q != std::string::npos) {
    size_t start = q + 1;
    size_t end = target.find('&', start);
    std::string key =
        target.substr(start, end == std::string::npos ? std::string::npos : end - start);
    key = LowerAscii(key.substr(0, key.find('=')));
    if (key == "token") return false;
    q = end;
  }
  // Two lines would leave open which one a proxy or a log believed.
  std::vector<std::string> values = FieldValues(head, LowerAscii(kTokenHeader).c_str());
  return values.size() == 1 && SameSecret(values[0], secret);
}

}  // namespace

bool CarriesAccessToken(const std::string& head, const std::string& target,
                        const std::string& secret) {
  return CarriesToken(ParseRequestHead(head), target, secret);
}

const char* GateRefusal(Socket s, const RequestHead& head) {
  if (const char* reason = ForeignRequestReason(s, head)) return reason;
  // Any program on the machine (and with --lan on the network) can reach
  // the socket; only whoever got the secret from us may drive the API.
  if (StartsWith(head.path, "/api/") && head.path != kOpenApiPath &&
      !CarriesToken(head, head.target, g_strAccessToken))
    return kRefusedToken;
  return nullptr;
}

}  // namespace tov
