// One request per connection over a real loopback socket: routing, the
// response head byte for byte, the error page, the JSON 404, request reading
// limits, static files from a folder that must not be left, and the access
// token every API request but the environment document must carry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "server/web_res.h"
#include "server/web_shell.h"
#include "support/http_client.h"

using namespace tov;
using namespace testsupport;
namespace fs = std::filesystem;

// Calls of this test's endpoints: a refused request must not reach them.
std::atomic<int> g_routeCalls{0};

// The exit-like endpoint's order: its after-answer step waits for the
// client to hold the whole answer, and says whether it did.
std::atomic<bool> g_clientHasAnswer{false};
std::atomic<int> g_afterAnswerRuns{0};
std::atomic<bool> g_afterAnswerSawAnswer{false};

// This test's endpoints, handed to the server as the program's entry hands
// it the API's: /api/echo answers the body, /api/args the target and the
// body, /api/after answers and then runs its after-answer step.
const ApiRoute kTestRoutes[] = {
    {"/api/echo",
     [](const ApiCall& c) {
       g_routeCalls.fetch_add(1);
       return c.body;
     }},
    {"/api/args",
     [](const ApiCall& c) {
       g_routeCalls.fetch_add(1);
       return c.target + "|" + c.body;
     }},
    {"/api/after",
     [](const ApiCall&) {
       g_routeCalls.fetch_add(1);
       return std::string("{\"ok\":true}");
     },
     [] {
       for (int i = 0; i < 500 && !g_clientHasAnswer.load(); ++i)
         std::this_thread::sleep_for(std::chrono::milliseconds(10));
       g_afterAnswerSawAnswer = g_clientHasAnswer.load();
       g_afterAnswerRuns.fetch_add(1);
     }},
};

namespace {

constexpr const char kSecret[] = "5e1f0c2a9b8d7e6f00112233445566ab";

// The request with the token header right after its request line.
std::string WithToken(const std::string& request, const std::string& token = kSecret) {
  size_t eol = request.find("\r\n");
  if (eol == std::string::npos) return request;
  return request.substr(0, eol + 2) + "X-Tamsel-Token: " + token + "\r\n" + request.substr(eol + 2);
}

std::string Head(int code, const char* text, const char* type, size_t len) {
  return "HTTP/1.1 " + std::to_string(code) + " " + text + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(len) +
         "\r\nCache-Control: no-cache\r\nConnection: close";
}

std::string Get(const std::string& target, const char* method = "GET") {
  return std::string(method) + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

void WriteFile(const fs::path& p, const std::string& content) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

class WebShell : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = fs::temp_directory_path() /
            ("tamsel-web-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + std::to_string(reinterpret_cast<uintptr_t>(&root_) & 0xffff));
    fs::remove_all(root_);
    WriteFile(root_ / "www" / "hello.txt", "hello");
    WriteFile(root_ / "www" / "x.JS", "var x;");
    WriteFile(root_ / "www" / "empty.css", "");
    WriteFile(root_ / "www" / "sub" / "page.html", "<p>sub</p>");
    WriteFile(root_ / "secret.txt", "secret");
    WriteFile(root_ / "www" / "..%2fsecret.txt", "literal name, served as itself");
    g_strWebRoot = (root_ / "www").u8string();
    g_strAccessToken = kSecret;
    server_ = new LoopServer;
    StartLoopServer(server_, RoutesOf(kTestRoutes));
  }
  static void TearDownTestSuite() {
    StopLoopServer(server_);
    delete server_;
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  // Sends the request with the token; AskAsIs without adding anything.
  static Response Ask(const std::string& request) {
    return Split(Exchange(server_->port, WithToken(request)));
  }
  static Response AskAsIs(const std::string& request) {
    return Split(Exchange(server_->port, request));
  }

  static fs::path root_;
  static LoopServer* server_;
};
fs::path WebShell::root_;
LoopServer* WebShell::server_;

std::string Embedded(const std::string& name) {
  std::string out;
  EXPECT_TRUE(WebResGet(name, out, true));
  return out;
}

}  // namespace

TEST_F(WebShell, RootServesTheEmbeddedPageWithAnExactHead) {
  std::string page = Embedded("/index.html");
  Response r = Ask(Get("/"));
  EXPECT_EQ(r.head, Head(200, "OK", "text/html; charset=utf-8", page.size()));
  EXPECT_EQ(r.body, page);
  EXPECT_EQ(Ask(Get("/index.html?x=1")).body, page);
  EXPECT_EQ(Ask(Get("/static/index.html")).body, page);
  // The method is never looked at.
  Response post = Ask(Get("/", "POST"));
  EXPECT_EQ(post.head, r.head);
  EXPECT_EQ(post.body, page);
}

TEST_F(WebShell, MissingFileGetsTheErrorPageByteForByte) {
  Response r = Ask(Get("/missing.png"));
  std::string page = ErrorPage("/missing.png");
  EXPECT_EQ(r.head, Head(404, "Not Found", "text/html; charset=utf-8", page.size()));
  EXPECT_EQ(r.body, page);
  EXPECT_EQ(page,
            "<!doctype html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
            "<title>找不到文件 - Tamsel</title>"
            "<style>body{font-family:-apple-system,'Microsoft YaHei',sans-serif;"
            "background:#F7F6F3;color:#33302B;"
            "margin:0;padding:40px 18px;line-height:1.8}.box{max-width:660px;margin:0 auto;"
            "background:#fff;"
            "border:1px solid #E6E2DA;border-radius:12px;padding:26px 24px}h1{font-size:18px;"
            "margin:0 0 12px}"
            "code{background:#F2F0EA;padding:2px 6px;border-radius:5px;font-size:13px;"
            "word-break:break-all}"
            ".k{color:#8B3A2F}</style></head><body><div class=\"box\">"
            "<h1>找不到：<b>/missing.png</b></h1>"
            "<p>界面文件都打包在程序内部，正常使用不会看到这个页面。</p>"
            "<p>多半是地址打错了，或者从旧的书签 / 历史记录点进来的 —— 回首页重新开始即可。</p>"
            "</div></body></html>");
}

TEST_F(WebShell, ErrorPageEscapesTheName) {
  Response r = Ask(Get("/<img/onerror='a'>&\"q\""));
  EXPECT_NE(r.body.find("<b>/&lt;img/onerror=&#39;a&#39;&gt;&amp;&quot;q&quot;</b>"),
            std::string::npos);
  EXPECT_EQ(r.body.find("<img"), std::string::npos);
}

TEST_F(WebShell, ApiPathsGoToTheirRowOrTheJson404) {
  Response r = Ask(Get("/api/nothing"));
  const std::string json404 = "{\"code\":404,\"message\":\"no such api\"}";
  EXPECT_EQ(json404.size(), 36u);
  EXPECT_EQ(r.head, Head(404, "Not Found", "application/json; charset=utf-8", 36));
  EXPECT_EQ(r.body, json404);
  // Without the trailing slash it is a static path.
  Response noSlash = Ask(Get("/api"));
  EXPECT_EQ(noSlash.statusLine, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(noSlash.body, ErrorPage("/api"));
  // A row gets the whole target and the body, and answers JSON.
  Response args = Ask(Get("/api/args?a=1&b=2"));
  EXPECT_EQ(args.head, Head(200, "OK", "application/json; charset=utf-8", args.body.size()));
  EXPECT_EQ(args.body, "/api/args?a=1&b=2|");
  Response echo = Ask("POST /api/echo HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}");
  EXPECT_EQ(echo.head, Head(200, "OK", "application/json; charset=utf-8", 2));
  EXPECT_EQ(echo.body, "{}");
}

TEST_F(WebShell, ARowsAfterAnswerStepRunsOnceItsAnswerIsSent) {
  // As the exit endpoint, which must answer before it ends the program: the
  // client reads the whole answer while the connection is still open.
  g_clientHasAnswer = false;
  const int runsBefore = g_afterAnswerRuns.load();
  Socket c = SockTcp();
  ASSERT_NE(c, kBadSocket);
  ASSERT_TRUE(SockConnectLoopback(c, server_->port));
  SockSetTimeouts(c, 10000);
  const std::string request = WithToken(Get("/api/after"));
  ASSERT_EQ(SockSend(c, request.data(), static_cast<int>(request.size())),
            static_cast<int>(request.size()));
  const std::string expected =
      Head(200, "OK", "application/json; charset=utf-8", 11) + "\r\n\r\n{\"ok\":true}";
  std::string got;
  char buf[4096];
  while (got.size() < expected.size()) {
    int n = SockRecv(c, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, expected);
  g_clientHasAnswer = true;
  while (SockRecv(c, buf, sizeof buf) > 0) {
  }
  SockClose(c);
  EXPECT_EQ(g_afterAnswerRuns.load(), runsBefore + 1);
  EXPECT_TRUE(g_afterAnswerSawAnswer.load()) << "the step ran before the answer was sent";
  // Other rows have no such step.
  Ask(Get("/api/echo"));
  EXPECT_EQ(g_afterAnswerRuns.load(), runsBefore + 1);
}

TEST_F(WebShell, RequestLineWithoutTwoSpacesIsAMissingStaticFile) {
  Response r = Ask("GARBAGE\r\n\r\n");
  EXPECT_EQ(r.statusLine, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(r.body, ErrorPage(""));
  EXPECT_EQ(Ask("GET /api/echo\r\n\r\n").body, ErrorPage(""));
}

TEST_F(WebShell, BodyLengthIsReadFromItsOwnFieldOnly) {
  // The field's name in any letter case; blanks around the value cut.
  for (const char* field : {"content-length: 10", "CONTENT-LENGTH: 10", "Content-Length:    10",
                            "Content-Length: 0010"}) {
    std::string raw =
        Exchange(server_->port,
                 WithToken(std::string("POST /api/echo HTTP/1.1\r\n") + field + "\r\n\r\nabc"),
                 "defghij", 200);
    EXPECT_EQ(Split(raw).body, "abcdefghij") << field;
  }
  // The words "Content-Length:" elsewhere in the head, in the value of
  // another field or in the target, announce nothing.
  std::string noted = Exchange(server_->port,
                               WithToken("POST /api/echo?note=Content-Length:0 HTTP/1.1\r\n"
                                         "Content-Length: 10\r\n\r\nabc"),
                               "defghij", 200);
  EXPECT_EQ(Split(noted).body, "abcdefghij");
  std::string other = Exchange(server_->port,
                               WithToken("POST /api/echo HTTP/1.1\r\nX-Note: Content-Length: 3\r\n"
                                         "Content-Length: 10\r\n\r\nabc"),
                               "defghij", 200);
  EXPECT_EQ(Split(other).body, "abcdefghij");
}

TEST_F(WebShell, ShortBodyIsAnsweredWhenThePeerStops) {
  // Announced 100, sent 3: the read ends at the receive time-out (5 s).
  auto t0 = std::chrono::steady_clock::now();
  Response r = Ask("POST /api/echo HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc");
  auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r.body, "abc");
  EXPECT_LT(secs, 12.0);
}

TEST_F(WebShell, BodiesBeyondTheLimitAreRefusedUnread) {
  const std::string refused = "{\"ok\":false,\"message\":\"请求内容太大，已拒绝\"}";
  // Only the head is sent: the answer must not wait for the announced body.
  auto t0 = std::chrono::steady_clock::now();
  Response r = Ask("POST /api/echo HTTP/1.1\r\nContent-Length: " + std::to_string(kMaxBody + 1) +
                   "\r\n\r\n");
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r.head,
            Head(413, "Payload Too Large", "application/json; charset=utf-8", refused.size()));
  EXPECT_EQ(r.body, refused);
  EXPECT_LT(secs, 4.0);
  // A body of exactly the limit is still read in full.
  std::string body(kMaxBody, 'x');
  Response ok = Ask("POST /api/echo HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n\r\n" + body);
  EXPECT_EQ(ok.body.size(), kMaxBody);
}

TEST_F(WebShell, NegativeOrConflictingLengthsAreRefused) {
  const std::string bad = "{\"ok\":false,\"message\":\"请求长度不正确，已拒绝\"}";
  for (const char* req : {"POST /api/echo HTTP/1.1\r\nContent-Length: -1\r\n\r\nabc",
                          "POST /api/echo HTTP/1.1\r\ncontent-length: -5\r\n\r\n",
                          "POST /api/echo HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 30"
                          "\r\n\r\nabc",
                          "POST /api/echo HTTP/1.1\r\nContent-Length: 3\r\nCONTENT-LENGTH: 4"
                          "\r\n\r\nabc",
                          // Anything but digits is no length.
                          "POST /api/echo HTTP/1.1\r\nContent-Length: abc\r\n\r\nabc",
                          "POST /api/echo HTTP/1.1\r\nContent-Length: 3x\r\n\r\nabc",
                          "POST /api/echo HTTP/1.1\r\nContent-Length: +3\r\n\r\nabc",
                          "POST /api/echo HTTP/1.1\r\nContent-Length: 3 3\r\n\r\nabc",
                          "POST /api/echo HTTP/1.1\r\nContent-Length:\r\n\r\nabc"}) {
    auto t0 = std::chrono::steady_clock::now();
    Response r = Ask(req);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 400 Bad Request") << req;
    EXPECT_EQ(r.body, bad) << req;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 4.0);
  }
  // The same length twice is no conflict.
  Response twice =
      Ask("POST /api/echo HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3"
          "\r\n\r\nabc");
  EXPECT_EQ(twice.body, "abc");
}

TEST_F(WebShell, AHeadTrickledSlowlyIsDroppedAtTheDeadline) {
  // One byte every 400 ms never trips the 5 s receive time-out, but the
  // head's own deadline ends the wait: the server closes the connection
  // while the client is still trickling. Without the deadline it would keep
  // reading for as long as bytes come, and the loop below would run out.
  // The 400 ms receive time-out is the pause between bytes; a receive that
  // sees the end of the stream (or a send that fails) is the server's close.
  tov::Socket c = tov::SockTcp();
  ASSERT_TRUE(tov::SockConnectLoopback(c, server_->port));
  constexpr int kPauseMs = 400;
  tov::SockSetTimeouts(c, kPauseMs);
  constexpr int kMaxBytes = static_cast<int>(2 * kRequestDeadlineMs / kPauseMs);
  bool closed = false;
  bool answered = false;
  int sent = 0;
  while (sent < kMaxBytes && !closed) {
    if (tov::SockSend(c, "x", 1) <= 0) {
      closed = true;
      break;
    }
    ++sent;
    char buf[64];
    int n = tov::SockRecv(c, buf, sizeof buf);
    if (n > 0) answered = true;
    if (n >= 0) closed = true;
  }
  tov::SockClose(c);
  EXPECT_TRUE(closed) << "still open after " << sent << " bytes";
  EXPECT_FALSE(answered);  // closed without an answer
}

TEST_F(WebShell, EndlessHeadGetsNoAnswer) {
  std::string head = "GET / HTTP/1.1\r\nX: " + std::string(kMaxHead + 100, 'a');
  EXPECT_EQ(Exchange(server_->port, head), "");
  // A head that does end, but beyond the limit, all in one piece.
  std::string whole = "GET / HTTP/1.1\r\nX: " + std::string(kMaxHead, 'a') + "\r\n\r\n";
  EXPECT_EQ(Exchange(server_->port, whole), "");
  // One that ends right at the limit is served.
  std::string start = "GET /hello.txt HTTP/1.1\r\nX: ";
  std::string fits = start + std::string(kMaxHead - start.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(fits.size(), kMaxHead);
  EXPECT_EQ(Split(Exchange(server_->port, fits)).body, "hello");
}

// Sends the whole head, then the body one byte every pauseMs until the
// server closes the connection or maxBytes went out; whether it answered.
struct Trickled {
  bool closed = false;
  bool answered = false;
  std::string answer;
  int sent = 0;
};
Trickled TrickleBody(int port, const std::string& head, int pauseMs, int maxBytes) {
  Trickled t;
  tov::Socket c = tov::SockTcp();
  if (!tov::SockConnectLoopback(c, port)) return t;
  tov::SockSetTimeouts(c, pauseMs);
  tov::SockSend(c, head.data(), static_cast<int>(head.size()));
  while (t.sent < maxBytes && !t.closed) {
    char buf[512];
    int n = tov::SockRecv(c, buf, sizeof buf);
    if (n > 0) {
      t.answered = true;
      t.answer.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || tov::SockSend(c, "x", 1) <= 0) {
      t.closed = true;
      break;
    }
    ++t.sent;
  }
  tov::SockClose(c);
  return t;
}

TEST_F(WebShell, ABodyIsNeverReadBeforeTheTokenIsChecked) {
  // Without the secret the refusal comes right after the head, while the
  // client still has nearly all of its body to trickle.
  int before = g_routeCalls.load();
  Trickled t = TrickleBody(server_->port,
                           "POST /api/echo HTTP/1.1\r\nContent-Length: 100000\r\n\r\n", 400, 100);
  EXPECT_TRUE(t.closed);
  EXPECT_EQ(Split(t.answer).statusLine, "HTTP/1.1 403 Forbidden");
  EXPECT_LT(t.sent, 10) << "the body was read before the refusal";
  EXPECT_EQ(g_routeCalls.load(), before);
}

TEST_F(WebShell, ABodyTrickledSlowlyIsDroppedAtTheRequestsDeadline) {
  // With the secret, a body of one byte every 400 ms never trips the
  // receive time-out; the request's one deadline ends it without an answer.
  int before = g_routeCalls.load();
  Trickled t = TrickleBody(server_->port,
                           WithToken("POST /api/echo HTTP/1.1\r\nContent-Length: 100000\r\n\r\n"),
                           400, static_cast<int>(2 * kRequestDeadlineMs / 400));
  EXPECT_TRUE(t.closed) << "still open after " << t.sent << " bytes";
  EXPECT_FALSE(t.answered) << t.answer;
  EXPECT_EQ(g_routeCalls.load(), before);
}

TEST_F(WebShell, StaticFilesFromTheFolder) {
  Response txt = Ask(Get("/hello.txt"));
  EXPECT_EQ(txt.head, Head(200, "OK", "text/plain; charset=utf-8", 5));
  EXPECT_EQ(txt.body, "hello");
  EXPECT_EQ(Ask(Get("/static/hello.txt")).body, "hello");
  EXPECT_EQ(Ask(Get("/sub/page.html")).body, "<p>sub</p>");
  Response js = Ask(Get("/x.JS"));
  EXPECT_EQ(js.head, Head(200, "OK", "application/octet-stream", 6));
  Response empty = Ask(Get("/empty.css"));
  EXPECT_EQ(empty.statusLine, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Ask(Get("/sub")).statusLine, "HTTP/1.1 404 Not Found");  // a folder is no file
}

TEST_F(WebShell, StaticPathsNeverLeaveTheFolder) {
  for (const char* p :
       {"/../secret.txt", "/static/../secret.txt", "/sub/../../secret.txt", "/..\\secret.txt",
        "/sub\\..\\..\\secret.txt", "/../www/hello.txt", "/.../secret.txt", "/hello.txt.",
        "/hello.txt%20", "/hello.txt::$DATA", "/C:/secret.txt", "/./hello.txt"}) {
    Response r = Ask(Get(p));
    EXPECT_EQ(r.statusLine, "HTTP/1.1 404 Not Found") << p;
    EXPECT_EQ(r.body.find("secret\n"), std::string::npos) << p;
  }
  // Percent signs are never decoded: the encoded form names a literal file.
  EXPECT_EQ(Ask(Get("/..%2fsecret.txt")).body, "literal name, served as itself");
  EXPECT_EQ(Ask(Get("/%2e%2e/secret.txt")).statusLine, "HTTP/1.1 404 Not Found");
}

TEST_F(WebShell, PathsWithoutALeadingSlashNeverReachSiblings) {
  // The path is joined to the folder without a separator, so "GET .txt"
  // would name <root>/www.txt, beside the served folder.
  WriteFile(root_ / "www.txt", "sibling file");
  WriteFile(root_ / "www-old" / "hello.txt", "sibling folder");
  for (const char* p : {".txt", "-old/hello.txt", "hello.txt", "sub/page.html"}) {
    Response r = Ask(Get(p));
    EXPECT_EQ(r.statusLine, "HTTP/1.1 404 Not Found") << p;
    EXPECT_EQ(r.body.find("sibling"), std::string::npos) << p;
  }
}

TEST_F(WebShell, RequestsNamingAnotherHostAreRefused) {
  const std::string refused =
      "{\"ok\":false,\"message\":\"拒绝访问：请求的主机名不是本机（可能是 DNS 重绑定攻击）\"}";
  std::string port = std::to_string(server_->port);
  for (std::string host : std::vector<std::string>{
           "evil.example", "evil.example:" + port, "127.0.0.1.evil.example", "127.0.0.1:1",
           "localhost:" + std::to_string(server_->port + 1), "127.0.0.2", "0.0.0.0:" + port}) {
    for (const char* path : {"/", "/api/echo"}) {
      Response r = Ask(std::string("GET ") + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
      EXPECT_EQ(r.head, Head(403, "Forbidden", "application/json; charset=utf-8", refused.size()))
          << host << path;
      EXPECT_EQ(r.body, refused) << host;
    }
  }
  // Two Host lines are refused too.
  EXPECT_EQ(Ask("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\n\r\n").statusLine,
            "HTTP/1.1 403 Forbidden");
  // Our own names, with our port or without any, and no Host at all.
  for (std::string host : std::vector<std::string>{"127.0.0.1", "localhost", "LOCALHOST",
                                                   "127.0.0.1:" + port, "localhost:" + port}) {
    Response r = Ask("GET /hello.txt HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(r.body, "hello") << host;
  }
  EXPECT_EQ(Ask("GET /hello.txt HTTP/1.0\r\n\r\n").body, "hello");
}

TEST_F(WebShell, ApiRequestsFromOtherOriginsAreRefused) {
  const std::string refused = "{\"ok\":false,\"message\":\"拒绝访问：其他网站不能操作本程序\"}";
  std::string port = std::to_string(server_->port);
  auto post = [&](const std::string& extra) {
    return Ask("POST /api/echo HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n" + extra +
               "Content-Length: 2\r\n\r\n{}");
  };
  for (std::string origin : std::vector<std::string>{
           "http://evil.example", "null", "http://127.0.0.1", "http://127.0.0.1:1",
           "https://127.0.0.1:" + port, "http://localhost.evil:" + port}) {
    Response r = post("Origin: " + origin + "\r\n");
    EXPECT_EQ(r.statusLine, "HTTP/1.1 403 Forbidden") << origin;
    EXPECT_EQ(r.body, refused) << origin;
  }
  EXPECT_EQ(post("Sec-Fetch-Site: cross-site\r\n").body, refused);
  EXPECT_EQ(post("Sec-Fetch-Site: same-site\r\n").body, refused);
  // The page's own requests.
  EXPECT_EQ(post("Origin: http://127.0.0.1:" + port + "\r\nSec-Fetch-Site: same-origin\r\n").body,
            "{}");
  EXPECT_EQ(post("Origin: http://localhost:" + port + "\r\n").body, "{}");
  EXPECT_EQ(post("Sec-Fetch-Site: none\r\n").body, "{}");
  EXPECT_EQ(post("").body, "{}");
  // Static files carry no effect; a foreign origin may load them.
  EXPECT_EQ(Ask("GET /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n"
                "\r\n")
                .body,
            "hello");
}

// ---- Access token ----------------------------------------------------------------

TEST(SameSecret, EqualOnlyForTheSameBytesAndLength) {
  EXPECT_TRUE(SameSecret(kSecret, kSecret));
  EXPECT_TRUE(SameSecret("", ""));
  std::string changed = kSecret;
  for (size_t i = 0; i < changed.size(); ++i) {
    std::string c = changed;
    c[i] = c[i] == '0' ? '1' : '0';
    EXPECT_FALSE(SameSecret(c, kSecret)) << i;
  }
  EXPECT_FALSE(SameSecret(std::string(kSecret) + "0", kSecret));
  EXPECT_FALSE(SameSecret(std::string(kSecret).substr(1), kSecret));
  EXPECT_FALSE(SameSecret("", kSecret));
}

TEST(CarriesAccessToken, NoWellFormedSecretRefusesEveryRequest) {
  // A secret that failed to be drawn must not let an empty header pass.
  const std::string head = "GET /api/status HTTP/1.1\r\nX-Tamsel-Token: \r\nHost: 127.0.0.1";
  EXPECT_FALSE(CarriesAccessToken(head, "/api/status", ""));
  EXPECT_FALSE(
      CarriesAccessToken("GET /api/status HTTP/1.1\r\nX-Tamsel-Token: ABC", "/api/status", "ABC"));
  EXPECT_TRUE(
      CarriesAccessToken(std::string("GET /api/status HTTP/1.1\r\nX-Tamsel-Token: ") + kSecret,
                         "/api/status", kSecret));
}

TEST(CarriesAccessToken, QueryParameterNamedTokenIsRefusedWhereverItStands) {
  const std::string head = std::string("GET / HTTP/1.1\r\nX-Tamsel-Token: ") + kSecret;
  for (const char* target : {"/api/status?token=x", "/api/status?a=1&token=x",
                             "/api/status?TOKEN=x", "/api/status?token", "/api/status?a&Token"})
    EXPECT_FALSE(CarriesAccessToken(head, target, kSecret)) << target;
  for (const char* target : {"/api/status", "/api/status?", "/api/detail?id=x&limit=3",
                             "/api/status?xtoken=1", "/api/status?tokens=1", "/api/status?a=token"})
    EXPECT_TRUE(CarriesAccessToken(head, target, kSecret)) << target;
}

TEST_F(WebShell, EveryApiPathButTheEnvironmentNeedsTheToken) {
  const std::string refused =
      "{\"ok\":false,\"message\":\"拒绝访问：缺少或错误的访问令牌，请从 Tamsel "
      "打开的页面操作\"}";
  const std::string refusedHead =
      Head(403, "Forbidden", "application/json; charset=utf-8", refused.size());
  std::string wrong = kSecret;
  wrong[17] = wrong[17] == 'a' ? 'b' : 'a';
  std::string upper = kSecret;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const std::string huge(10240, 'a');
  const std::string line = "X-Tamsel-Token: ";
  struct Case {
    const char* label;
    std::string headers;  // lines after Host, each ending in CRLF
    std::string query;
  };
  const Case cases[] = {
      {"no header", "", ""},
      {"empty", line + "\r\n", ""},
      {"one digit changed", line + wrong + "\r\n", ""},
      {"upper case", line + upper + "\r\n", ""},
      {"one digit short", line + std::string(kSecret).substr(1) + "\r\n", ""},
      {"one digit more", line + kSecret + "0\r\n", ""},
      {"10 KB", line + huge + "\r\n", ""},
      {"twice the same", line + kSecret + "\r\n" + line + kSecret + "\r\n", ""},
      {"right then wrong", line + kSecret + "\r\n" + line + wrong + "\r\n", ""},
      {"in the query", "", std::string("?token=") + kSecret},
      {"in the query and the header", line + kSecret + "\r\n", std::string("?token=") + kSecret},
      {"another header's value", std::string("X-Tamsel-Tokens: ") + kSecret + "\r\n", ""},
  };
  // /api/shell/exit would end this test program were it let through.
  const char* paths[] = {"/api/echo",       "/api/args",          "/api/nothing",
                         "/api/Env",        "/api/env/",          "/api/envx",
                         "/api/shell/exit", "/api/shell/elevate", "/api/"};
  const int callsBefore = g_routeCalls.load();
  for (const Case& c : cases) {
    for (const char* path : paths) {
      for (const char* method : {"GET", "POST"}) {
        Response r =
            AskAsIs(std::string(method) + " " + path + c.query +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + c.headers + "Content-Length: 2\r\n\r\n{}");
        EXPECT_EQ(r.head, refusedHead) << c.label << " " << method << " " << path;
        EXPECT_EQ(r.body, refused) << c.label << " " << path;
      }
    }
  }
  EXPECT_EQ(g_routeCalls.load(), callsBefore) << "a refused request reached the application";
  // The server keeps answering, and with the token the same requests pass.
  EXPECT_EQ(Ask("POST /api/echo HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}").body, "{}");
  EXPECT_EQ(g_routeCalls.load(), callsBefore + 1);
}

TEST_F(WebShell, TheRightTokenPassesInAnyHeaderSpelling) {
  for (std::string name : {"X-Tamsel-Token", "x-tamsel-token", "X-TAMSEL-TOKEN"}) {
    for (std::string value : {std::string(kSecret), std::string("  ") + kSecret + " \t"}) {
      Response r = AskAsIs("POST /api/echo?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n" + name + ":" +
                           value + "\r\nContent-Length: 2\r\n\r\n{}");
      EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK") << name << "|" << value;
      EXPECT_EQ(r.body, "{}");
    }
  }
  Response args = Ask(Get("/api/args?id=3"));
  EXPECT_EQ(args.body, "/api/args?id=3|");
}

TEST_F(WebShell, TheEnvironmentAndStaticFilesStayOpen) {
  // This program's hook has no environment document: the JSON 404 shows
  // that the request went past the gate.
  Response env = AskAsIs(Get("/api/env"));
  EXPECT_EQ(env.statusLine, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(env.body, "{\"code\":404,\"message\":\"no such api\"}");
  EXPECT_EQ(AskAsIs(Get("/api/env?x=1")).statusLine, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(AskAsIs(Get("/hello.txt")).body, "hello");
  EXPECT_EQ(AskAsIs(Get("/")).statusLine, "HTTP/1.1 200 OK");
  // A wrong token on a static file changes nothing either.
  EXPECT_EQ(Split(Exchange(server_->port, WithToken(Get("/hello.txt"), "nope"))).body, "hello");
}

TEST(ContentTypeOf, FirstMatchingSuffixByteExact) {
  EXPECT_STREQ(ContentTypeOf("/a.html"), "text/html; charset=utf-8");
  EXPECT_STREQ(ContentTypeOf("/a.mjs"), "application/javascript; charset=utf-8");
  EXPECT_STREQ(ContentTypeOf("/a.js"), "application/javascript; charset=utf-8");
  EXPECT_STREQ(ContentTypeOf("/a.woff2"), "font/woff2");
  EXPECT_STREQ(ContentTypeOf("/a.jpeg"), "image/jpeg");
  EXPECT_STREQ(ContentTypeOf("/a.map"), "application/json; charset=utf-8");
  EXPECT_STREQ(ContentTypeOf("/a.HTML"), "application/octet-stream");
  EXPECT_STREQ(ContentTypeOf("/noext"), "application/octet-stream");
  EXPECT_STREQ(ContentTypeOf(""), "application/octet-stream");
}
