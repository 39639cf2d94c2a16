#include "server/web_shell.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "desktop/shell_win.h"
#include "feedback/feedback.h"
#include "lifecycle/shell_life.h"
#include "platform/platform.h"
#include "server/web_res.h"
#include "text/text.h"

namespace tov {

std::string g_strWebRoot = ".";
std::string g_strDataDir = "data";
std::string g_strAccessToken;

namespace {

constexpr const char kJsonType[] = "application/json; charset=utf-8";
constexpr const char kRefusedHost[] = "拒绝访问：请求的主机名不是本机（可能是 DNS 重绑定攻击）";
constexpr const char kRefusedOrigin[] = "拒绝访问：其他网站不能操作本程序";
constexpr const char kRefusedToken[] = "拒绝访问：缺少或错误的访问令牌，请从 Tamsel 打开的页面操作";
constexpr const char kTokenLine[] = "[ok] 本机访问地址（含访问令牌）：http://%s:%d/#token=%s\n";
// The one API path open without the secret: the probe of a second start
// reads it to recognise us, and it tells nothing private.
constexpr const char kOpenApiPath[] = "/api/env";

// Set once at start-up with --lan; read-only afterwards.
bool g_lanMode = false;

// Connection threads alive now. Beyond kMaxConnections a new connection is
// closed at once, so that a flood of idle connections costs a bounded number
// of threads and the program keeps answering its own page.
std::atomic<int> g_liveConnections{0};
constexpr const char kHtmlType[] = "text/html; charset=utf-8";

struct ContentTypeRule {
  const char* suffix;
  const char* type;
};

// Searched in order; the first suffix that ends the name wins.
constexpr ContentTypeRule kContentTypes[] = {
    {".html", "text/html; charset=utf-8"},
    {".js", "application/javascript; charset=utf-8"},
    {".mjs", "application/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".json", "application/json; charset=utf-8"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".webp", "image/webp"},
    {".ico", "image/x-icon"},
    {".woff", "font/woff"},
    {".woff2", "font/woff2"},
    {".ttf", "font/ttf"},
    {".wasm", "application/wasm"},
    {".txt", "text/plain; charset=utf-8"},
    {".map", "application/json; charset=utf-8"},
};

bool EndsWith(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

enum class ReadVerdict {
  Ok,         // head and body are complete
  Dropped,    // closed, failed or too slow before the head ended: no answer
  TooLarge,   // the announced body exceeds kMaxBody: refused unread
  BadLength,  // a negative length, or two lengths that disagree
};

// The values of every header line with this name, compared without regard
// to case.
std::vector<std::string> HeaderValues(const std::string& head, const char* name) {
  std::vector<std::string> out;
  size_t n = strlen(name);
  size_t line = head.find("\r\n");
  while (line != std::string::npos) {
    size_t start = line + 2;
    size_t next = head.find("\r\n", start);
    std::string l =
        head.substr(start, next == std::string::npos ? std::string::npos : next - start);
    if (l.size() > n && l[n] == ':') {
      bool same = true;
      for (size_t i = 0; i < n && same; ++i) same = LowerAscii(l[i]) == name[i];
      if (same) {
        size_t b = n + 1, e = l.size();
        while (b < e && (l[b] == ' ' || l[b] == '\t')) ++b;
        while (e > b && (l[e - 1] == ' ' || l[e - 1] == '\t')) --e;
        out.push_back(l.substr(b, e - b));
      }
    }
    line = next;
  }
  return out;
}

// Reads the request into head and body.
ReadVerdict ReadRequest(Socket s, std::string* head, std::string* body) {
  std::string raw;
  char buf[8192];
  size_t end;
  // Each receive waits at most the socket's time-out; the deadline also stops
  // a peer that trickles a byte now and then to hold a thread forever.
  uint64_t deadline = TickCount64() + kHeadDeadlineMs;
  for (;;) {
    int n = SockRecv(s, buf, sizeof buf);
    if (n <= 0) return ReadVerdict::Dropped;
    raw.append(buf, static_cast<size_t>(n));
    end = raw.find("\r\n\r\n");
    if (end != std::string::npos) break;
    if (raw.size() > kMaxHead || TickCount64() > deadline) return ReadVerdict::Dropped;
  }
  *head = raw.substr(0, end);
  *body = raw.substr(end + 4);

  // Lengths that disagree make the end of the body a guess; refuse them.
  std::vector<std::string> lengths = HeaderValues(*head, "content-length");
  for (const std::string& v : lengths)
    if (atoll(v.c_str()) != atoll(lengths[0].c_str())) return ReadVerdict::BadLength;

  // Only these two spellings announce a body; atoi skips leading blanks.
  size_t at = head->find("Content-Length:");
  if (at == std::string::npos) at = head->find("content-length:");
  if (at == std::string::npos) return ReadVerdict::Ok;
  long long announced = atoll(head->c_str() + at + 15);
  if (announced < 0) return ReadVerdict::BadLength;
  if (static_cast<unsigned long long>(announced) > kMaxBody) return ReadVerdict::TooLarge;
  size_t want = static_cast<size_t>(announced);
  while (body->size() < want) {
    int n = SockRecv(s, buf, sizeof buf);
    if (n <= 0) break;  // shorter than announced: what came is the body
    body->append(buf, static_cast<size_t>(n));
  }
  if (body->size() > want) body->resize(want);
  return ReadVerdict::Ok;
}

// Refuses a request after its head: the answer goes out, our side is shut,
// and a little of what the peer still sends is read and dropped, because
// closing a socket with unread input resets the connection and the reset can
// destroy the answer before the peer reads it.
void Refuse(Socket s, int code, const char* text, const char* message) {
  SendResponse(s, code, text, kJsonType,
               std::string("{\"ok\":false,\"message\":\"") + message + "\"}");
  SockShutdownSend(s);
  char buf[8192];
  size_t dropped = 0;
  while (dropped < kMaxBody) {
    int n = SockRecv(s, buf, sizeof buf);
    if (n <= 0) break;
    dropped += static_cast<size_t>(n);
  }
}

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
const char* ForeignRequestReason(Socket s, const std::string& head, const std::string& path) {
  std::string port = std::to_string(SockLocalPort(s));
  std::vector<std::string> names = OwnHostNames(s);
  std::vector<std::string> hosts = HeaderValues(head, "host");
  if (hosts.size() > 1) return kRefusedHost;
  if (hosts.size() == 1) {
    std::string h = LowerAscii(hosts[0]);
    bool ours = false;
    for (const std::string& n : names) ours = ours || h == n || h == n + ":" + port;
    if (!ours) return kRefusedHost;
  }
  if (!StartsWith(path, "/api/")) return nullptr;
  for (const std::string& site : HeaderValues(head, "sec-fetch-site")) {
    std::string v = LowerAscii(site);
    if (v == "cross-site" || v == "same-site") return kRefusedOrigin;
  }
  for (const std::string& origin : HeaderValues(head, "origin")) {
    std::string o = LowerAscii(origin);
    bool ours = false;
    for (const std::string& n : names)
      ours = ours || o == "http://" + n + ":" + port || (port == "80" && o == "http://" + n);
    if (!ours) return kRefusedOrigin;
  }
  return nullptr;
}

void Route(Socket s, const std::string& head, const std::string& body);

constexpr const char kManifestPath[] = "/download/tamsel-version.json";

// The desktop and lifecycle endpoints belong to the server itself, so they
// are there whatever API the application supplies. Each calls one function
// and sends its document; the exit endpoint answers before it ends us.
bool DesktopEndpoint(Socket s, const std::string& path, const std::string& body) {
  std::string out;
  if (path == "/api/feedback") {
    out = SubmitFeedback(kDisplayName, kVersion, body);
  } else if (path == "/api/shell/info") {
    out = ShellInfoJson(kDisplayName, kVersion);
  } else if (path == "/api/shell/exit") {
    SendResponse(s, 200, "OK", kJsonType, "{\"ok\":true}");
    ScheduleExit(500);
    return true;
  } else if (path == "/api/shell/update") {
    out = CheckUpdateJson(ServiceHost(), kManifestPath, kVersion);
  } else if (path == "/api/shell/elevate") {
    out = ElevateSelfJson();
  } else if (path == "/api/shell/shortcut") {
    out = CreateShortcutJson(kDisplayName);
  } else {
    return false;
  }
  SendResponse(s, 200, "OK", kJsonType, out);
  return true;
}

void ServeStatic(Socket s, const std::string& path) {
  std::string name = path == "/" ? std::string("/index.html") : path;
  std::string content;
  if (WebResGet(name, content, true)) {
    SendResponse(s, 200, "OK", ContentTypeOf(name), content);
    return;
  }
  bool underStatic = StartsWith(path, "/static/");
  if (underStatic) {
    std::string inner = path.substr(7);
    if (WebResGet(inner, content, true)) {
      SendResponse(s, 200, "OK", ContentTypeOf(inner), content);
      return;
    }
  }
  std::string rel = underStatic ? path.substr(7) : name;
  if (!IsUnsafeStaticPath(rel)) {
    std::string file = g_strWebRoot + rel;
    std::wstring wide = Utf8ToWide(file);
    uint32_t attrs = 0;
    if (!wide.empty() && GetAttributes(wide, &attrs) && !(attrs & kAttrDirectory) &&
        ReadWholeFile(wide, &content) && !content.empty()) {
      SendResponse(s, 200, "OK", ContentTypeOf(file), content);
      return;
    }
  }
  SendResponse(s, 404, "Not Found", kHtmlType, ErrorPage(name));
}

// ---- Start-up -------------------------------------------------------------------

struct Options {
  int port = 0;
  std::string webRoot;
  bool hasWebRoot = false;
  bool openBrowser = true;
  bool lan = false;
  bool selfTest = false;
  bool forceNew = false;
};

void PrintUsage() {
  printf("用法: %s [端口] [dist目录] [--no-browser] [--lan] [--selftest] [--version]\n",
         kInternalName);
  printf("  端口不填 = 随机空闲端口；dist 目录不填 = 用内嵌资源\n");
  printf("  --no-browser  启动后不自动打开浏览器\n");
  printf("  --lan         绑 0.0.0.0（同网段设备可访问，首次可能弹防火墙授权）\n");
  printf("  --selftest    起服务→自我请求→打印结果→退出\n");
  printf("  --force-new   跳过单实例复用，强制起一个新实例\n");
  printf(
      "不开页面清理: %s --clean [项目ID,项目ID...|default] [--dry-run] [--older-than 天数] "
      "[--quiet]\n",
      kInternalName);
  printf(
      "  --clean       清理后退出；不写项目或写 default = 推荐勾选的项目；已有实例时交给它清理\n");
  printf("  --dry-run     只统计可释放多少，不删除\n");
  printf("  --older-than  只清理至少这么多天前修改过的文件（0-3650）\n");
  printf("  --quiet       只打印最后一行汇总\n");
  printf("自动清理: %s --schedule daily|weekly|off\n", kInternalName);
  printf(
      "  --schedule    每天 / 每周在电脑空闲且接通电源时运行 --clean default --quiet；off = "
      "关闭\n");
}

// Parses the arguments left to right. Returns -1 to go on, or the exit code
// when help or version ended the program.
int ParseArgs(const std::vector<std::string>& args, Options* o) {
  int positional = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      PrintUsage();
      return 0;
    }
    if (a == "-v" || a == "--version") {
      printf("%s %s\n", kDisplayName, kVersion);
      return 0;
    }
    if (a == "-n" || a == "--no-browser") {
      o->openBrowser = false;
    } else if (a == "--lan") {
      o->lan = true;
    } else if (a == "--selftest") {
      o->selfTest = true;
      o->openBrowser = false;
    } else if (a == "--force-new") {
      o->forceNew = true;
    } else if (!a.empty() && a[0] == '-') {
      // "-" alone and unknown options are ignored.
    } else if (positional == 0) {
      o->port = atoi(a.c_str());
      ++positional;
    } else if (positional == 1) {
      o->webRoot = a;
      o->hasWebRoot = true;
      ++positional;
    }
  }
  return -1;
}

std::string ExecutableDir() {
  std::string exe = WideToUtf8(ModuleFileName());
  size_t cut = exe.find_last_of("\\/");
  if (exe.empty() || cut == std::string::npos) return ".";
  return exe.substr(0, cut);
}

void ConnThread(Socket c) {
  HandleOne(c);
  SockClose(c);
  g_liveConnections.fetch_sub(1);
}

// Requests one path from our own listening socket, on this one thread: the
// request is small enough to sit in the socket buffers until we accept it.
int SelfTestOnce(Socket listener, int port, const char* path) {
  Socket c = SockTcp();
  if (c == kBadSocket) {
    printf("[selftest] socket 失败\n");
    return 1;
  }
  if (!SockConnectLoopback(c, port)) {
    printf("[selftest] 连不上 127.0.0.1:%d\n", port);
    SockClose(c);
    return 1;
  }
  char req[256];
  snprintf(req, sizeof req, "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
           path);
  SockSend(c, req, static_cast<int>(strlen(req)));
  Socket served = SockAccept(listener);
  if (served != kBadSocket) {
    SockSetTimeouts(served, kIoTimeoutMs);
    HandleOne(served);
    SockClose(served);
  }
  std::string resp;
  char buf[8192];
  int n;
  while ((n = SockRecv(c, buf, sizeof buf)) > 0) resp.append(buf, static_cast<size_t>(n));
  SockClose(c);
  bool ok200 = resp.compare(0, 12, "HTTP/1.1 200") == 0;
  size_t headEnd = resp.find("\r\n\r\n");
  unsigned long bodySize = headEnd == std::string::npos ? 0 : resp.size() - headEnd - 4;
  printf("[selftest] GET %-12s -> %s  %lu 字节\n", path, ok200 ? "200" : "非200", bodySize);
  return ok200 && bodySize > 0 ? 0 : 1;
}

int RunSelfTest(Socket listener, int port) {
  int failed = SelfTestOnce(listener, port, "/index.html");
  failed |= SelfTestOnce(listener, port, "/");
  if (WebResAvailable())
    printf("[selftest] 内嵌资源 %u 项\n", WebResCount());
  else
    printf("[selftest] 未内嵌资源（开发模式，读磁盘 %s）\n", g_strWebRoot.c_str());
  printf("[selftest] %s\n", failed ? "FAIL" : "PASS");
  fflush(stdout);
  SockClose(listener);
  return failed ? 1 : 0;
}

[[noreturn]] void AcceptLoop(Socket listener) {
  for (;;) {
    Socket c = SockAccept(listener);
    if (c == kBadSocket) continue;
    if (g_liveConnections.load() >= kMaxConnections) {
      SockClose(c);
      continue;
    }
    SockSetTimeouts(c, kIoTimeoutMs);
    g_liveConnections.fetch_add(1);
    // No thread to be had: serve it here rather than drop it.
    if (!StartDetachedThread([c] { ConnThread(c); })) ConnThread(c);
  }
}

}  // namespace

// ---- Requests -------------------------------------------------------------------

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

bool CarriesAccessToken(const std::string& head, const std::string& target,
                        const std::string& secret) {
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
  std::vector<std::string> values = HeaderValues(head, LowerAscii(kTokenHeader).c_str());
  return values.size() == 1 && SameSecret(values[0], secret);
}

const char* ContentTypeOf(const std::string& name) {
  for (const ContentTypeRule& r : kContentTypes)
    if (EndsWith(name, r.suffix)) return r.type;
  return "application/octet-stream";
}

void SendResponse(Socket s, int code, const char* statusText, const std::string& contentType,
                  const std::string& body) {
  char head[512];
  int n = snprintf(head, sizeof head,
                   "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %lu\r\n"
                   "Cache-Control: no-cache\r\nConnection: close\r\n\r\n",
                   code, statusText, contentType.c_str(),
                   static_cast<unsigned long>(static_cast<uint32_t>(body.size())));
  if (n < 0) return;
  int headLen = static_cast<size_t>(n) < sizeof head ? n : static_cast<int>(sizeof head) - 1;
  // One send call with two pieces: the same bytes on the wire as a joined
  // buffer, without copying the body (a page, a result list) behind the head.
  SockSendTwo(s, head, headLen, body.data(), static_cast<int>(body.size()));
}

std::string ErrorPage(const std::string& name) {
  std::string p;
  p += "<!doctype html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\">";
  p += "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">";
  p += "<title>找不到文件 - ";
  p += kDisplayName;
  p += "</title>";
  p += "<style>body{font-family:-apple-system,'Microsoft YaHei',sans-serif;background:#F7F6F3;"
       "color:#33302B;";
  p += "margin:0;padding:40px 18px;line-height:1.8}.box{max-width:660px;margin:0 auto;"
       "background:#fff;";
  p += "border:1px solid #E6E2DA;border-radius:12px;padding:26px 24px}h1{font-size:18px;"
       "margin:0 0 12px}";
  p += "code{background:#F2F0EA;padding:2px 6px;border-radius:5px;font-size:13px;"
       "word-break:break-all}";
  p += ".k{color:#8B3A2F}</style></head><body><div class=\"box\">";
  p += "<h1>找不到：<b>";
  p += MarkupEscape(name);
  p += "</b></h1>";
  p += "<p>界面文件都打包在程序内部，正常使用不会看到这个页面。</p>";
  p += "<p>多半是地址打错了，或者从旧的书签 / 历史记录点进来的 —— 回首页重新开始即可。</p>";
  p += "</div></body></html>";
  return p;
}

bool IsUnsafeStaticPath(const std::string& path) {
  // The path is joined to the folder without a separator: one that does not
  // start with a slash would name a sibling whose name begins with the
  // folder's ("dist" + ".zip", "dist" + "-old/x").
  if (path.empty() || path[0] != '/') return true;
  // The path is joined to the folder as it is, without decoding, so only
  // characters the file system itself gives meaning to can climb out.
  for (char c : path) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\' || c == ':' || u < 0x20) return true;
  }
  size_t i = 0;
  while (i <= path.size()) {
    size_t slash = path.find('/', i);
    if (slash == std::string::npos) slash = path.size();
    std::string seg = path.substr(i, slash - i);
    // "..", and segments that Windows trims to ".." or to nothing.
    if (!seg.empty() && (seg.back() == '.' || seg.back() == ' ')) return true;
    i = slash + 1;
  }
  return false;
}

void HandleOne(Socket s) {
  std::string head, body;
  switch (ReadRequest(s, &head, &body)) {
    case ReadVerdict::Dropped:
      return;
    case ReadVerdict::TooLarge:
      Refuse(s, 413, "Payload Too Large", "请求内容太大，已拒绝");
      return;
    case ReadVerdict::BadLength:
      Refuse(s, 400, "Bad Request", "请求长度不正确，已拒绝");
      return;
    case ReadVerdict::Ok:
      break;
  }
  Route(s, head, body);
}

namespace {

void Route(Socket s, const std::string& head, const std::string& body) {
  std::string line = head.substr(0, head.find('\n'));
  std::string target;
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
  if (sp2 != std::string::npos) target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string path = target.substr(0, target.find('?'));

  if (const char* reason = ForeignRequestReason(s, head, path)) {
    Refuse(s, 403, "Forbidden", reason);
    return;
  }
  // Any program on the machine (and with --lan on the network) can reach
  // the socket; only whoever got the secret from us may drive the API.
  if (StartsWith(path, "/api/") && path != kOpenApiPath &&
      !CarriesAccessToken(head, target, g_strAccessToken)) {
    Refuse(s, 403, "Forbidden", kRefusedToken);
    return;
  }
  if (StartsWith(path, "/api/")) {
    if (DesktopEndpoint(s, path, body)) return;
    std::string out, type;
    if (TovHandleApi(path, target, body, out, type)) {
      SendResponse(s, 200, "OK", type.empty() ? std::string(kJsonType) : type, out);
    } else {
      SendResponse(s, 404, "Not Found", kJsonType, "{\"code\":404,\"message\":\"no such api\"}");
    }
    return;
  }
  ServeStatic(s, path);
}

}  // namespace

// ---- Process entry ----------------------------------------------------------------

int WebShellMain(const std::vector<std::string>& args) {
  AttachParentConsoleIfNoStdout();

  Options opt;
  int early = ParseArgs(args, &opt);
  if (early >= 0) {
    fflush(stdout);
    return early;
  }
  g_lanMode = opt.lan;

  printf("%s %s\n", kDisplayName, kVersion);
  printf("--------------------------------------------\n");

  ShellWinInit();

  g_strWebRoot = opt.hasWebRoot ? opt.webRoot : ExecutableDir() + "/dist";
  TovOnStartup(g_strDataDir);

  if (!NetStartup()) {
    printf("[err] WSAStartup 失败\n");
    fflush(stdout);
    return 1;
  }

  // A second start hands over to the running instance and only opens the
  // browser on it. The self-test always runs a server of its own.
  if (!opt.forceNew && !opt.selfTest) {
    int running = ReadPortFile(kInternalName);
    if (running > 0 && ProbeOurInstance(running, kDisplayName)) {
      char url[128];
      snprintf(url, sizeof url, "http://127.0.0.1:%d/", running);
      printf("[ok] 已经有实例在运行：%s\n", url);
      fflush(stdout);
      if (opt.openBrowser) {
        // Without a readable secret the bare address opens, and the page
        // explains what to do.
        std::string token = ReadTokenFile(kInternalName);
        OpenBrowserUrl(token.empty() ? std::string(url) : url + std::string("#token=") + token);
      }
      return 0;
    }
  }

  g_strAccessToken = NewAccessToken();
  if (g_strAccessToken.empty()) {
    printf("[err] 无法生成访问令牌（系统随机数不可用）\n");
    fflush(stdout);
    return 1;
  }

  Socket listener = SockTcp();
  if (listener == kBadSocket) {
    printf("[err] socket 失败\n");
    fflush(stdout);
    return 1;
  }
  SockSetExclusive(listener);
  int port = opt.port;
  bool bound = SockBind(listener, opt.lan, port);
  if (!bound && port != 0) {
    printf("[warn] 端口 %d 已被占用，改为随机分配\n", port);
    bound = SockBind(listener, opt.lan, 0);
  }
  if (!bound) {
    printf("[err] 端口绑定失败\n");
    fflush(stdout);
    SockClose(listener);
    return 1;
  }
  if (int actual = SockLocalPort(listener)) port = actual;
  SockListen(listener, 64);

  WritePortFile(kInternalName, port);
  WriteTokenFile(kInternalName, g_strAccessToken);

  printf("[ok] 服务已启动：http://127.0.0.1:%d/\n", port);
  printf(kTokenLine, "127.0.0.1", port, g_strAccessToken.c_str());
  if (WebResAvailable()) {
    printf("[ok] 界面已内嵌：%u 项资源（无需 dist/ 目录）\n", WebResCount());
  } else {
    std::wstring index = Utf8ToWide(g_strWebRoot + "/index.html");
    uint32_t attrs = 0;
    if (index.empty() || !GetAttributes(index, &attrs) || (attrs & kAttrDirectory))
      printf("[!!] 界面文件没找到：%s/index.html（开发模式）\n", g_strWebRoot.c_str());
  }
  if (opt.lan) {
    printf("[ok] 局域网模式：同网段设备可访问 http://<本机IP>:%d/\n", port);
    for (const std::string& address : LocalIPv4Addresses())
      printf(kTokenLine, address.c_str(), port, g_strAccessToken.c_str());
  }
  fflush(stdout);

  if (opt.selfTest) return RunSelfTest(listener, port);

  if (opt.openBrowser) {
    char url[128];
    snprintf(url, sizeof url, "http://127.0.0.1:%d/#token=%s", port, g_strAccessToken.c_str());
    OpenBrowserUrl(url);
  }

  printf("[ok] 关闭本窗口即退出程序\n");
  fflush(stdout);
  AcceptLoop(listener);
}

}  // namespace tov
