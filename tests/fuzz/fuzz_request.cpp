// libFuzzer harness: each input is the raw bytes a client sends on one
// connection. The real request handler reads them, routes them and answers
// through the real cleaning API, over an emulated machine whose drive C is
// an empty temporary folder, so scans and cleans the input starts find
// nothing to touch. The harness then checks what came back:
// - no answer exactly when the head never ended; otherwise one HTTP/1.1
//   message whose Content-Length is the length of its body, with one of the
//   statuses the server sends; 400 and 413 exactly when the head's own
//   Content-Length fields (split by the server's parser) say so;
// - JSON answers (API, refusals) are well-formed JSON objects;
// - the error page carries the requested name escaped, adding no markup;
// - a static 200 is an embedded resource or a file of the served folder,
//   never a path that climbs, and never the secret files planted next to
//   the served folder.
//
// Inputs naming /api/shell/ or /api/feedback are skipped: those endpoints
// end the process (exit, elevate), write outside the emulated drive
// (shortcuts), or call the network (update check, feedback). So are inputs
// holding "restartExplorer": a real clean with it set starts a watchdog
// thread that lives 20 s past the input (the stand-in sees the host's
// processes, and wine runs one named explorer.exe), and libFuzzer's leak
// check takes what such a thread holds at that moment for leaks.
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "api/tamsel_api.h"
#include "engine/tamsel_engine.h"
#include "platform/platform.h"
#include "server/http_request.h"
#include "server/web_res.h"
#include "server/web_shell.h"

namespace {

std::string g_base;                   // the harness's temporary folder
std::vector<std::string> g_secrets;   // contents that must never be served
std::vector<std::string> g_wwwFiles;  // contents of the served folder's files
std::vector<std::string> g_embedded;  // the public embedded resources
size_t g_errorPageTags = 0;           // '<' in the error page for an empty name

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  fprintf(stderr, "INVARIANT BROKEN: %s\n%s\n", what, detail.c_str());
  fflush(stderr);
  abort();
}

void Check(bool ok, const char* what, const std::string& detail) {
  if (!ok) Fail(what, detail);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// ---- A small JSON checker: structure and string escapes, bytes as given ----

struct Json {
  const std::string& s;
  size_t i = 0;

  void Ws() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  }
  bool Lit(const char* w) {
    size_t n = strlen(w);
    if (s.compare(i, n, w) != 0) return false;
    i += n;
    return true;
  }
  bool Str() {
    if (i >= s.size() || s[i] != '"') return false;
    for (++i; i < s.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"') {
        ++i;
        return true;
      }
      if (c < 0x20) return false;  // control bytes must be escaped
      if (c != '\\') continue;
      if (++i >= s.size()) return false;
      char e = s[i];
      if (e == 'u') {
        for (int k = 0; k < 4; ++k)
          if (++i >= s.size() || !isxdigit(static_cast<unsigned char>(s[i]))) return false;
      } else if (!strchr("\"\\/bfnrt", e)) {
        return false;
      }
    }
    return false;
  }
  bool Number() {
    size_t start = i;
    if (i < s.size() && s[i] == '-') ++i;
    while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    if (i < s.size() && s[i] == '.')
      for (++i; i < s.size() && isdigit(static_cast<unsigned char>(s[i]));) ++i;
    return i > start && isdigit(static_cast<unsigned char>(s[i - 1]));
  }
  bool Value(int depth) {
    if (depth > 64) return false;
    Ws();
    if (i >= s.size()) return false;
    char c = s[i];
    if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      ++i;
      Ws();
      if (i < s.size() && s[i] == close) {
        ++i;
        return true;
      }
      for (;;) {
        if (c == '{') {
          Ws();
          if (!Str()) return false;
          Ws();
          if (i >= s.size() || s[i++] != ':') return false;
        }
        if (!Value(depth + 1)) return false;
        Ws();
        if (i >= s.size()) return false;
        if (s[i] == ',') {
          ++i;
          continue;
        }
        if (s[i] == close) {
          ++i;
          return true;
        }
        return false;
      }
    }
    if (c == '"') return Str();
    if (Lit("true") || Lit("false") || Lit("null")) return true;
    return Number();
  }
};

bool IsJsonObject(const std::string& body) {
  Json j{body};
  j.Ws();
  if (j.i >= body.size() || body[j.i] != '{') return false;
  if (!j.Value(0)) return false;
  j.Ws();
  return j.i == body.size();
}

// ---- The request as the server reads it --------------------------------------------

// The path of the request line, the way the handler takes it: the first
// line of the head, the text between its first two spaces, up to a '?'.
std::string RequestPath(const std::string& input) {
  std::string head = input.substr(0, input.find("\r\n\r\n"));
  std::string line = head.substr(0, head.find('\n'));
  size_t sp1 = line.find(' ');
  if (sp1 == std::string::npos) return "";
  size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos) return "";
  std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  return target.substr(0, target.find('?'));
}

// True when the path names something outside the served folder if joined
// to it: a ".." segment, a backslash, a drive colon.
bool Climbs(const std::string& path) {
  if (path.find('\\') != std::string::npos || path.find(':') != std::string::npos) return true;
  size_t i = 0;
  while (i <= path.size()) {
    size_t slash = path.find('/', i);
    if (slash == std::string::npos) slash = path.size();
    if (path.compare(i, slash - i, "..") == 0 && slash - i == 2) return true;
    i = slash + 1;
  }
  return false;
}

bool Contains(const std::vector<std::string>& v, const std::string& x) {
  for (const std::string& e : v)
    if (e == x) return true;
  return false;
}

void CheckAnswer(const std::string& input, const std::string& answer) {
  const std::string show =
      "request: " + input.substr(0, 400) + "\nanswer: " + answer.substr(0, 600);
  bool headEnded = input.find("\r\n\r\n") != std::string::npos;
  if (!headEnded) {
    Check(answer.empty(), "an answer to a request whose head never ended", show);
    return;
  }
  Check(!answer.empty(), "no answer to a complete request head", show);
  Check(answer.compare(0, 9, "HTTP/1.1 ") == 0, "answer does not start with HTTP/1.1", show);
  size_t end = answer.find("\r\n\r\n");
  Check(end != std::string::npos, "answer head never ends", show);
  std::string head = answer.substr(0, end + 2);
  std::string body = answer.substr(end + 4);

  const char* kStatuses[] = {"HTTP/1.1 200 OK\r\n", "HTTP/1.1 404 Not Found\r\n",
                             "HTTP/1.1 403 Forbidden\r\n", "HTTP/1.1 400 Bad Request\r\n",
                             "HTTP/1.1 413 Payload Too Large\r\n"};
  int status = 0;
  for (const char* st : kStatuses)
    if (head.compare(0, strlen(st), st) == 0) status = atoi(st + 9);
  Check(status != 0, "unexpected status line", show);

  // The head as the server split it: field names are lower-case HTTP
  // tokens; the length verdict alone decides 400 and 413, and an announced
  // length is a plain number within the limit.
  tov::RequestHead parsed = tov::ParseRequestHead(input.substr(0, input.find("\r\n\r\n")));
  for (const auto& field : parsed.fields) {
    bool token = !field.first.empty();
    for (char c : field.first)
      token = token && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr));
    Check(token, "a field name as the parser split it is malformed", show);
    Check(field.second.find("\r\n") == std::string::npos, "a field value spans lines", show);
  }
  size_t length = 0;
  tov::BodyLength verdict = tov::AnnouncedLength(parsed, &length);
  Check((verdict == tov::BodyLength::Bad) == (status == 400), "400 without a bad length, or none",
        show);
  Check((verdict == tov::BodyLength::TooLarge) == (status == 413),
        "413 without a length beyond the limit, or none", show);
  if (verdict == tov::BodyLength::Announced) {
    Check(length <= tov::kMaxBody, "an announced length beyond the limit", show);
    for (const std::string& v : tov::FieldValues(parsed, "content-length"))
      Check(!v.empty() && v.find_first_not_of("0123456789") == std::string::npos,
            "a length that is not a plain number was taken", show);
  }

  size_t cl = head.find("\r\nContent-Length: ");
  Check(cl != std::string::npos, "no Content-Length", show);
  Check(head.find("\r\nContent-Length: ", cl + 1) == std::string::npos, "two Content-Length lines",
        show);
  unsigned long long announced = strtoull(head.c_str() + cl + 18, nullptr, 10);
  Check(announced == body.size(), "Content-Length differs from the body length", show);
  Check(head.find("\r\nConnection: close\r\n") != std::string::npos, "no Connection: close", show);
  Check(head.find("\r\nCache-Control: no-cache\r\n") != std::string::npos, "no Cache-Control",
        show);

  // The error page repeats the requested name, so an input that carries a
  // secret's text (the fuzzer learns it from this very comparison) gets it
  // back legitimately; the check on static 200s below covers that case.
  for (const std::string& secret : g_secrets)
    if (input.find(secret) == std::string::npos)
      Check(answer.find(secret) == std::string::npos, "a file outside the served folder was sent",
            show);

  std::string path = RequestPath(input);
  bool api = path.compare(0, 5, "/api/") == 0;
  bool json =
      head.find("\r\nContent-Type: application/json; charset=utf-8\r\n") != std::string::npos;
  if (status == 400 || status == 403 || status == 413 || api) {
    Check(json, "a refusal or API answer that is not JSON", show);
    Check(IsJsonObject(body), "a JSON answer that is not a well-formed object", show);
    return;
  }
  if (status == 404) {
    Check(head.find("\r\nContent-Type: text/html; charset=utf-8\r\n") != std::string::npos,
          "a missing file answered without the HTML page", show);
    size_t tags = 0;
    for (char c : body) tags += c == '<';
    Check(tags == g_errorPageTags, "the requested name added markup to the error page", show);
    return;
  }
  // A static 200.
  Check(!Climbs(path), "a static path that climbs out of the served folder was answered 200", show);
  Check(Contains(g_embedded, body) || Contains(g_wwwFiles, body),
        "a static 200 that is neither an embedded resource nor a served file", show);
}

// Threads of this process right now.
size_t ThreadCount() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// ---- One exchange over a local socket pair ------------------------------------------

// The client side runs on its own thread so that neither side can block the
// other on a full socket buffer: it sends the input, ends its sending side
// (the server reads the end of the stream instead of waiting for a time-out),
// then reads the answer until the server closes.
std::string Exchange(const std::string& input) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) Fail("socketpair", "");
  tov::Socket server = static_cast<tov::Socket>(sv[0]);
  tov::Socket client = static_cast<tov::Socket>(sv[1]);
  // A safety net only: the end of the stream arrives at once.
  tov::SockSetTimeouts(server, 2000);
  tov::SockSetTimeouts(client, 5000);
  std::string answer;
  std::thread peer([&] {
    size_t sent = 0;
    while (sent < input.size()) {
      int n = tov::SockSend(client, input.data() + sent, static_cast<int>(input.size() - sent));
      if (n <= 0) break;  // the server stopped reading (refused or dropped)
      sent += static_cast<size_t>(n);
    }
    tov::SockShutdownSend(client);
    char buf[65536];
    int n;
    while ((n = tov::SockRecv(client, buf, sizeof buf)) > 0) answer.append(buf, n);
  });
  tov::HandleOne(server, tamsel::ApiRoutes());
  tov::SockClose(server);
  peer.join();
  tov::SockClose(client);
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tamsel-fuzz-request.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) Fail("mkdtemp", tmpl);
  g_base = buf.data();
  // A run that ends normally leaves nothing behind; after a crash the
  // folder stays for a look at the machine the input saw.
  atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_base, ec);
  });

  // The emulated machine: an empty drive C. The stand-in reads the variable
  // on first use, which is after this.
  std::string machine = g_base + "/machine";
  mkdir(machine.c_str(), 0755);
  mkdir((machine + "/c").c_str(), 0755);
  setenv("TAMSEL_ROOT", machine.c_str(), 1);

  // The served folder, and secrets beside it: one in the parent folder, one
  // whose name starts with the served folder's name (a path that is not
  // separated from the folder by a slash would reach it).
  std::string www = g_base + "/www";
  mkdir(www.c_str(), 0755);
  mkdir((www + "/sub").c_str(), 0755);
  const std::pair<const char*, const char*> files[] = {
      {"/hello.txt", "hello from the served folder"},
      {"/x.JS", "var servedUpperCase = 1;"},
      {"/sub/page.html", "<p>served sub page</p>"},
      {"/..%2fhello.txt", "a literal name with percent signs, served as itself"},
  };
  for (const auto& f : files) {
    WriteFile(www + f.first, f.second);
    g_wwwFiles.push_back(f.second);
  }
  WriteFile(www + "/empty.css", "");
  std::string marker = "TAMSEL-FUZZ-SECRET-" + std::to_string(getpid());
  g_secrets = {marker + "-parent", marker + "-sibling", marker + "-machine"};
  WriteFile(g_base + "/secret.txt", g_secrets[0]);
  WriteFile(g_base + "/www.secret", g_secrets[1]);
  WriteFile(g_base + "/wwwsecret.txt", g_secrets[1]);
  WriteFile(machine + "/c/secret.txt", g_secrets[2]);
  tov::g_strWebRoot = www;
  // The secret the seeds of the corpus carry, so that inputs reach the API.
  tov::g_strAccessToken = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

  for (uint32_t i = 0; i < tov::g_webResCount; ++i) {
    std::string content;
    if (tov::WebResGet(tov::g_webResIndex[i].path, content, true)) g_embedded.push_back(content);
  }
  std::string page = tov::ErrorPage("");
  for (char c : page) g_errorPageTags += c == '<';

  tov::NetStartup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  if (input.find("/api/shell/") != std::string::npos ||
      input.find("/api/feedback") != std::string::npos ||
      input.find("restartExplorer") != std::string::npos)
    return 0;
  // Far below the head limit, so a head that ends is always read whole.
  if (size > 200000) return 0;
  size_t threadsBefore = ThreadCount();
  std::string answer = Exchange(input);
  // A scan or clean the input started runs on a thread of its own; let it
  // end before the next input, so that tasks neither pile up nor outlive
  // the input that started them. WaitTask reports the task's end a moment
  // before its thread has destroyed its last locals; the leak check that
  // follows an input would see those in flight, so wait for the thread
  // itself to be gone.
  Check(tamsel::WaitTask(60000), "an engine task did not end within 60 s", input.substr(0, 400));
  for (int i = 0; i < 5000 && ThreadCount() > threadsBefore; ++i) usleep(1000);
  CheckAnswer(input, answer);
  return 0;
}
