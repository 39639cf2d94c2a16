#include "server/web_shell.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "server/text.h"
#include "server/web_res.h"

namespace tov {

std::string g_strWebRoot = ".";
std::string g_strDataDir = "data";

namespace {

constexpr const char kJsonType[] = "application/json; charset=utf-8";
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

std::string HtmlEscape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

// Reads the request into head and body. False when the connection ends, errs
// or times out before the head is complete, or the head outgrows kMaxHead.
// *unread is how many announced body bytes were left in the socket.
bool ReadRequest(Socket s, std::string* head, std::string* body, uint64_t* unread) {
  *unread = 0;
  std::string raw;
  char buf[8192];
  size_t end;
  for (;;) {
    int n = SockRecv(s, buf, sizeof buf);
    if (n <= 0) return false;
    raw.append(buf, static_cast<size_t>(n));
    end = raw.find("\r\n\r\n");
    if (end != std::string::npos) break;
    if (raw.size() > kMaxHead) return false;
  }
  *head = raw.substr(0, end);
  *body = raw.substr(end + 4);

  // Only these two spellings are recognised; atoi skips leading blanks.
  size_t at = head->find("Content-Length:");
  if (at == std::string::npos) at = head->find("content-length:");
  if (at != std::string::npos) {
    long long announced = atoll(head->c_str() + at + 15);
    // A negative length reads as a very large one; either way no more than
    // kMaxBody bytes are waited for.
    uint64_t want = announced < 0 ? UINT64_MAX : static_cast<uint64_t>(announced);
    while (body->size() < want && body->size() < kMaxBody) {
      int n = SockRecv(s, buf, sizeof buf);
      if (n <= 0) {
        want = body->size();
        break;
      }
      body->append(buf, static_cast<size_t>(n));
    }
    if (body->size() > kMaxBody) body->resize(kMaxBody);
    if (want > body->size()) *unread = want - body->size();
  }
  return true;
}

// After answering a request whose body was cut, reads and drops what the
// peer still sends: closing a socket with unread input resets the
// connection, and the reset can destroy the answer before the peer reads it.
void DrainAfterAnswer(Socket s, uint64_t unread) {
  SockShutdownSend(s);
  char buf[8192];
  uint64_t dropped = 0;
  while (dropped < unread && dropped < 64 * kMaxBody) {
    int n = SockRecv(s, buf, sizeof buf);
    if (n <= 0) break;
    dropped += static_cast<uint64_t>(n);
  }
}

void Route(Socket s, const std::string& head, const std::string& body);

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
    SockSetTimeouts(c, kIoTimeoutMs);
    try {
      std::thread(ConnThread, c).detach();
    } catch (...) {
      // No thread to be had: serve it here rather than drop it.
      ConnThread(c);
    }
  }
}

}  // namespace

// ---- Requests -------------------------------------------------------------------

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
  std::string msg(head, static_cast<size_t>(n) < sizeof head ? n : sizeof head - 1);
  msg += body;
  SockSend(s, msg.data(), static_cast<int>(msg.size()));
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
  p += HtmlEscape(name);
  p += "</b></h1>";
  p += "<p>界面文件都打包在程序内部，正常使用不会看到这个页面。</p>";
  p += "<p>多半是地址打错了，或者从旧的书签 / 历史记录点进来的 —— 回首页重新开始即可。</p>";
  p += "</div></body></html>";
  return p;
}

bool IsUnsafeStaticPath(const std::string& path) {
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
  uint64_t unread = 0;
  if (!ReadRequest(s, &head, &body, &unread)) return;
  Route(s, head, body);
  if (unread) DrainAfterAnswer(s, unread);
}

namespace {

void Route(Socket s, const std::string& head, const std::string& body) {
  std::string line = head.substr(0, head.find('\n'));
  std::string target;
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
  if (sp2 != std::string::npos) target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string path = target.substr(0, target.find('?'));

  if (StartsWith(path, "/api/")) {
    // The desktop endpoints (/api/feedback, /api/shell/...) are answered
    // here, ahead of the application's hook, once the desktop layer exists.
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

  printf("%s %s\n", kDisplayName, kVersion);
  printf("--------------------------------------------\n");

  // COM for the main thread is initialised here once the desktop layer
  // exists (shortcuts and shell links need it).

  g_strWebRoot = opt.hasWebRoot ? opt.webRoot : ExecutableDir() + "/dist";
  TovOnStartup(g_strDataDir);

  if (!NetStartup()) {
    printf("[err] WSAStartup 失败\n");
    fflush(stdout);
    return 1;
  }

  // Single instance: unless --force-new or --selftest, the port file is read
  // and the port found there probed here, handing over to a running instance.

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

  // The port file is written here (also in self-test mode) once the
  // lifecycle layer exists.

  printf("[ok] 服务已启动：http://127.0.0.1:%d/\n", port);
  if (WebResAvailable()) {
    printf("[ok] 界面已内嵌：%u 项资源（无需 dist/ 目录）\n", WebResCount());
  } else {
    std::wstring index = Utf8ToWide(g_strWebRoot + "/index.html");
    uint32_t attrs = 0;
    if (index.empty() || !GetAttributes(index, &attrs) || (attrs & kAttrDirectory))
      printf("[!!] 界面文件没找到：%s/index.html（开发模式）\n", g_strWebRoot.c_str());
  }
  if (opt.lan) printf("[ok] 局域网模式：同网段设备可访问 http://<本机IP>:%d/\n", port);
  fflush(stdout);

  if (opt.selfTest) return RunSelfTest(listener, port);

  // The browser is opened on http://127.0.0.1:<port>/ here once the desktop
  // layer exists, unless --no-browser was given.

  printf("[ok] 关闭本窗口即退出程序\n");
  fflush(stdout);
  AcceptLoop(listener);
}

}  // namespace tov
