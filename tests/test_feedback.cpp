// Tests of the outbound HTTPS JSON client, the update check and the feedback
// submission, against a local HTTPS service on the loopback interface.
//
// The service is tests/support/https_service.py (Python 3 and the openssl
// command). This program starts it itself, on first use, with the C
// library's system(), the same way in both builds:
// - natively, /bin/sh runs "python3 https_service.py --dir D", which makes a
//   certificate authority and server certificates in D, binds its listeners,
//   forks the serving process and returns once D/ready lists the ports. The
//   authority is trusted through SSL_CERT_FILE, set for this process before
//   its first request (the POSIX stand-in passes it to libcurl).
// - under wine, cmd.exe runs "Z:\...\https_service.py --dir D --wine-trust":
//   wine starts a file that is not a Windows program as a Linux process, so
//   the script runs natively and system() returns at once. The script adds
//   its authority to the prefix's LocalMachine ROOT store (inherited
//   WINEPREFIX) before it writes D/ready, and removes it again when it ends.
// Either way the program then waits for D/ready and opens a plain TCP
// control connection to the service. The service ends (and deletes D) when
// that connection closes, which happens when this program ends however it
// ends, so nothing outlives a test run. ctest runs every case as a program
// of its own, each with its own service, certificates and port numbers, so
// cases can run in parallel.
//
// The service records every request it reads (request line, headers, body,
// count per listener), so the cases check the exact bytes that were sent.
// Nothing here contacts an address other than 127.0.0.1; the unresolvable
// name is one the resolver refuses without asking a name server (a label of
// 64 characters), and the default service hosts are never used.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "desktop/shell_win.h"
#include "feedback/feedback.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kCertMsg[] = "证书校验失败（可能被网络中间人拦截）";
const char kCannotConnectMsg[] = "连不上服务器（检查网络）";
const char kTimeoutMsg[] = "连接超时";
const char kNoUpdateServer[] = "{\"ok\":false,\"message\":\"连不上更新服务器\"}";
const char kBadManifest[] = "{\"ok\":false,\"message\":\"版本清单格式不对\"}";
const char kEmptyText[] = "{\"ok\":false,\"message\":\"请先写点什么再提交\"}";
const char kTooLong[] = "{\"ok\":false,\"message\":\"内容太长了（上限 1800 字）\"}";
const char kAccepted[] = "{\"ok\":true}";
const char kRateLimited[] =
    "{\"ok\":false,\"message\":\"提交太频繁了，过十分钟再试\",\"fallback\":true}";

// A host name the resolver refuses on its own: a DNS label is at most 63
// characters, so no query ever leaves the machine.
std::string UnresolvableHost() {
  return std::string(64, 'a') + ".invalid";
}

std::wstring W(const std::string& s) {
  return tov::Utf8ToWide(s);
}

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return static_cast<bool>(in);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The request line and headers of a recorded request, names lower-cased.
struct Head {
  std::string requestLine;
  std::map<std::string, std::string> fields;
  bool Has(const std::string& name) const { return fields.count(name) != 0; }
  std::string Get(const std::string& name) const {
    auto it = fields.find(name);
    return it == fields.end() ? std::string() : it->second;
  }
};

Head ParseHead(const std::string& raw) {
  Head h;
  size_t pos = 0;
  bool first = true;
  while (pos <= raw.size()) {
    size_t end = raw.find("\r\n", pos);
    if (end == std::string::npos) end = raw.size();
    std::string line = raw.substr(pos, end - pos);
    if (first) {
      h.requestLine = line;
      first = false;
    } else if (!line.empty()) {
      size_t colon = line.find(':');
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      h.fields[name] = value;
    }
    pos = end + 2;
  }
  return h;
}

class Service {
 public:
  // Starts the service; on failure returns null with the reason in *why.
  static std::unique_ptr<Service> Start(std::string* why);
  ~Service() {
    if (control_ != tov::kBadSocket) tov::SockClose(control_);
  }

  int Port(const std::string& label) const {
    auto it = ports_.find(label);
    return it == ports_.end() ? 0 : it->second;
  }
  std::string Host(const std::string& label) const {
    return "localhost:" + std::to_string(Port(label));
  }
  std::wstring WHost(const std::string& label) const { return W(Host(label)); }
  int Count(const std::string& label) const {
    std::string n = ReadFile(dir_ + "/rec/" + label + ".count");
    return n.empty() ? 0 : std::atoi(n.c_str());
  }

  // A file the listeners answer with, for any path that ends in its name.
  void Put(const std::string& name, const std::string& bytes) const {
    WriteFile(dir_ + "/files/" + name, bytes);
  }
  // Requests a listener has read since the last Mark(): the service lives
  // as long as this program, which may run several cases.
  int Sent(const std::string& label) const {
    auto it = marks_.find(label);
    return Count(label) - (it == marks_.end() ? 0 : it->second);
  }
  void Mark() {
    for (const auto& kv : ports_) marks_[kv.first] = Count(kv.first);
  }
  Head LastHead(const std::string& label) const {
    return ParseHead(ReadFile(dir_ + "/rec/" + label + ".head"));
  }
  std::string LastBody(const std::string& label) const {
    return ReadFile(dir_ + "/rec/" + label + ".body");
  }

  // Asks for the listener on port 443; false when the port is not ours.
  bool Bind443() {
    const char cmd[] = "bind443\n";
    if (tov::SockSend(control_, cmd, sizeof cmd - 1) != static_cast<int>(sizeof cmd - 1))
      return false;
    std::string reply;
    char c = 0;
    while (reply.size() < 16 && tov::SockRecv(control_, &c, 1) == 1 && c != '\n') reply += c;
    return reply == "ok";
  }

 private:
  std::string dir_;  // the service's folder as this program opens it
  std::map<std::string, int> ports_;
  std::map<std::string, int> marks_;
  tov::Socket control_ = tov::kBadSocket;
};

// Seconds a started service takes at most to show that it runs, and to be
// ready; both well within the test's own time-out (tests/CMakeLists.txt).
constexpr int kServiceSignS = 20;
constexpr int kServiceReadyS = 70;

// Says that the service had to be started a second time, on the console and
// in restarts.log of the run's results folder when the run names one.
void NoteSecondStart(const std::string& command) {
  const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = t ? std::string(t->test_suite_name()) + "." + t->name() : "(set-up)";
  std::printf(
      "[ note ] the HTTPS test service showed no sign of life after %d s; started again: %s\n",
      kServiceSignS, command.c_str());
  std::fflush(stdout);
  const char* results = std::getenv("TAMSEL_TEST_RESULTS");
  if (!results || !*results) return;
  std::string log = results;
#ifdef _WIN32
  if (!log.empty() && log[0] == '/') log = "Z:" + log;  // a Linux path, seen through drive Z:
#endif
  FILE* f = std::fopen((log + "/restarts.log").c_str(), "a");
  if (!f) return;
  std::fprintf(f, "%s: the HTTPS test service, started a second time\n", name.c_str());
  std::fclose(f);
}

std::unique_ptr<Service> Service::Start(std::string* why) {
  // Where this program lies: its folder holds the service's folder.
  std::string exe = tov::WideToUtf8(tov::ModuleFileName());
  std::replace(exe.begin(), exe.end(), '\\', '/');
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) {
    *why = "no module path: " + exe;
    return nullptr;
  }
  // A folder of our own: programs of this test run side by side, and
  // creating the folder is what tells them apart.
  std::mt19937_64 rng(static_cast<uint64_t>(Clock::now().time_since_epoch().count()) ^
                      std::random_device()());
  std::string dir;
  for (int attempt = 0; dir.empty() && attempt < 100; ++attempt) {
    std::string candidate =
        exe.substr(0, slash) + "/https-svc-" + std::to_string(rng() % 1000000000);
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) dir = candidate;
  }
  if (dir.empty()) {
    *why = "cannot make a folder for the service beside " + exe;
    return nullptr;
  }

  // WEBUI_DIR is <source>/webui, in the form this program opens files by.
  std::string script = WEBUI_DIR;
  script = script.substr(0, script.rfind('/')) + "/tests/support/https_service.py";
#ifdef _WIN32
  // Both paths are Linux paths seen through drive Z:.
  if (dir.size() < 2 || (dir[0] != 'Z' && dir[0] != 'z') || dir[1] != ':') {
    *why = "the test program does not lie on drive Z: " + dir;
    return nullptr;
  }
  std::string linuxDir = dir.substr(2);
  std::replace(script.begin(), script.end(), '/', '\\');
  // cmd.exe strips quotes in ways of its own; these paths need none.
  if (script.find(' ') != std::string::npos || linuxDir.find(' ') != std::string::npos) {
    *why = "paths with spaces are not supported under wine: " + script + " " + linuxDir;
    return nullptr;
  }
  std::string command = script + " --dir " + linuxDir + " --wine-trust";
#else
  std::string command = "python3 '" + script + "' --dir '" + dir + "'";
#endif
  std::system(command.c_str());

  // Natively system() has waited for the set-up; under wine it has not. On
  // a loaded machine wine now and then starts no Linux program at all: a
  // service that shows no sign of life (its "started" file) within
  // kServiceSignS was never started, and is started once more. That second
  // start is printed and noted for the summary of the run
  // (scripts/test_summary.mjs), which fails a run with more than two.
  const auto start = Clock::now();
  auto deadline = start + std::chrono::seconds(kServiceReadyS);
  bool again = false;
  while (!FileExists(dir + "/ready")) {
    if (FileExists(dir + "/failed")) {
      *why = "the service failed to start:\n" + ReadFile(dir + "/failed");
      return nullptr;
    }
    if (!again && !FileExists(dir + "/started") &&
        Clock::now() > start + std::chrono::seconds(kServiceSignS)) {
      again = true;
      NoteSecondStart(command);
      std::system(command.c_str());
    }
    if (Clock::now() > deadline) {
      *why = "the service did not start: " + command;
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  std::unique_ptr<Service> svc(new Service);
  svc->dir_ = dir;
  std::istringstream lines(ReadFile(dir + "/ready"));
  std::string label;
  int port = 0;
  while (lines >> label >> port) svc->ports_[label] = port;

  tov::NetStartup();
  svc->control_ = tov::SockTcp();
  if (svc->control_ == tov::kBadSocket ||
      !tov::SockConnectLoopback(svc->control_, svc->Port("control"))) {
    *why = "no control connection to the service";
    return nullptr;
  }
#ifndef _WIN32
  // Only the service's own authority is trusted, and nothing goes through a
  // proxy: every request of these tests stays on the loopback interface.
  setenv("SSL_CERT_FILE", (dir + "/ca.pem").c_str(), 1);
  for (const char* v : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(v);
#endif
  return svc;
}

std::unique_ptr<Service> g_service;
std::string g_serviceError;

// The one service of this program, started on first use.
Service* Svc() {
  if (!g_service && g_serviceError.empty()) {
    g_service = Service::Start(&g_serviceError);
    if (!g_service && g_serviceError.empty()) g_serviceError = "unknown failure";
  }
  return g_service.get();
}

// Closes the control connection at the end, so the service ends with us.
class ServiceEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { g_service.reset(); }
};
const ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

#define SERVICE_OR_FAIL(svc)                 \
  Service* svc = Svc();                      \
  ASSERT_NE(nullptr, svc) << g_serviceError; \
  svc->Mark();

struct Outcome {
  int status = -1;
  std::string response = "left over";
  std::string error = "left over";
};

Outcome Request(const std::string& host, const std::string& path, const std::string& method,
                const std::string& body = std::string()) {
  Outcome o;
  o.status = tov::HttpRequestJson(W(host), W(path), method, body, o.response, o.error);
  return o;
}

// ---- The HTTPS client -------------------------------------------------------------

TEST(HttpsClient, GetReturnsStatusAndBodyAndSendsTheFixedHeaders) {
  SERVICE_OR_FAIL(svc);
  svc->Put("plain.json", "{\"x\":\"中文\"}");
  Outcome o = Request(svc->Host("s200"), "/data/plain.json?q=1", "GET");
  EXPECT_EQ(200, o.status) << o.error;
  EXPECT_EQ("{\"x\":\"中文\"}", o.response);
  EXPECT_EQ("", o.error);

  ASSERT_EQ(1, svc->Sent("s200"));
  Head h = svc->LastHead("s200");
  EXPECT_EQ("GET /data/plain.json?q=1 HTTP/1.1", h.requestLine);
  EXPECT_EQ("nem-web-shell/1.0", h.Get("user-agent"));
  EXPECT_EQ("application/json; charset=utf-8", h.Get("content-type"));
  EXPECT_EQ("localhost:" + std::to_string(svc->Port("s200")), h.Get("host"));
  if (h.Has("content-length")) {
    EXPECT_EQ("0", h.Get("content-length"));
  }
  EXPECT_EQ("", svc->LastBody("s200"));
}

TEST(HttpsClient, PostSendsTheBodyBytesWithTheirLength) {
  SERVICE_OR_FAIL(svc);
  // Larger than one kilobyte (where some clients would first ask the
  // server to continue), with multi-byte and control characters.
  std::string body = "{\"text\":\"" + Repeat("反馈\\n", 300) + "\x01\"}";
  std::string response, error = "left over";
  int status = tov::HttpPostJson(svc->WHost("s201"), L"/api/feedback", body, response, error);
  EXPECT_EQ(201, status);
  EXPECT_EQ("{\"error\":\"status 201\"}", response);
  EXPECT_EQ("", error);

  Head h = svc->LastHead("s201");
  EXPECT_EQ("POST /api/feedback HTTP/1.1", h.requestLine);
  EXPECT_EQ(std::to_string(body.size()), h.Get("content-length"));
  EXPECT_EQ("application/json; charset=utf-8", h.Get("content-type"));
  EXPECT_FALSE(h.Has("expect"));
  EXPECT_EQ(body, svc->LastBody("s201"));
}

TEST(HttpsClient, EmptyPostGoesWithLengthZeroAndTheJsonType) {
  SERVICE_OR_FAIL(svc);
  Outcome o = Request(svc->Host("s200"), "/api/feedback", "POST");
  EXPECT_EQ(200, o.status) << o.error;
  EXPECT_EQ("{\"ok\":true}", o.response);
  Head h = svc->LastHead("s200");
  EXPECT_EQ("POST /api/feedback HTTP/1.1", h.requestLine);
  EXPECT_EQ("0", h.Get("content-length"));
  EXPECT_EQ("application/json; charset=utf-8", h.Get("content-type"));
  EXPECT_EQ("", svc->LastBody("s200"));
}

TEST(HttpsClient, TheVerbIsSentAsGiven) {
  SERVICE_OR_FAIL(svc);
  Outcome o = Request(svc->Host("s200"), "/x", "PUT", "{\"a\":1}");
  EXPECT_EQ(200, o.status) << o.error;
  EXPECT_EQ("PUT /x HTTP/1.1", svc->LastHead("s200").requestLine);
  EXPECT_EQ("{\"a\":1}", svc->LastBody("s200"));
}

TEST(HttpsClient, AnErrorStatusIsAnAnswerWithItsBody) {
  SERVICE_OR_FAIL(svc);
  svc->Put("missing.json", "{\"error\":\"没有这个文件\"}");
  Outcome o = Request(svc->Host("s404"), "/missing.json", "GET");
  EXPECT_EQ(404, o.status) << o.error;
  EXPECT_EQ("{\"error\":\"没有这个文件\"}", o.response);
  EXPECT_EQ("", o.error);

  o = Request(svc->Host("s500"), "/api/feedback", "POST", "{}");
  EXPECT_EQ(500, o.status) << o.error;
  EXPECT_EQ("{\"error\":\"status 500\"}", o.response);
  EXPECT_EQ("", o.error);
}

// Bytes that differ from their neighbours, so that any gap or repetition in
// what was received shows.
std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

TEST(HttpsClient, ALargeBodyIsCutAtTheFirstChunkPast64KiB) {
  SERVICE_OR_FAIL(svc);
  const std::string big = Pattern(200 * 1024);
  svc->Put("big.json", big);
  Outcome o = Request(svc->Host("s200"), "/big.json", "GET");
  EXPECT_EQ(200, o.status) << o.error;
  EXPECT_EQ("", o.error);
  EXPECT_GT(o.response.size(), 65536u);
  EXPECT_LT(o.response.size(), big.size());
  EXPECT_TRUE(o.response == big.substr(0, o.response.size())) << "not a prefix of the body";

  // At the limit nothing is cut.
  const std::string edge = Pattern(65536);
  svc->Put("edge.json", edge);
  o = Request(svc->Host("s200"), "/edge.json", "GET");
  EXPECT_EQ(200, o.status) << o.error;
  EXPECT_TRUE(o.response == edge) << o.response.size() << " bytes";
}

TEST(HttpsClient, ANameThatDoesNotResolve) {
  SERVICE_OR_FAIL(svc);  // not used, but it keeps proxies out of the way
  Outcome o = Request(UnresolvableHost(), "/x", "GET");
  EXPECT_EQ(0, o.status);
  EXPECT_EQ("网络错误 12007", o.error);
  EXPECT_EQ("", o.response);
}

TEST(HttpsClient, AClosedPort) {
  SERVICE_OR_FAIL(svc);
  Outcome o = Request(svc->Host("closed"), "/x", "GET");
  EXPECT_EQ(0, o.status);
  EXPECT_EQ(kCannotConnectMsg, o.error);
  EXPECT_EQ("", o.response);
}

TEST(HttpsClient, ACertificateForAnotherName) {
  SERVICE_OR_FAIL(svc);
  Outcome o = Request(svc->Host("wrongname"), "/x", "POST", "{\"secret\":1}");
  EXPECT_EQ(0, o.status);
  EXPECT_EQ(kCertMsg, o.error);
  EXPECT_EQ("", o.response);
  EXPECT_EQ(0, svc->Sent("wrongname")) << "the request went to a server of the wrong name";
}

TEST(HttpsClient, ACertificateNobodyTrusts) {
  SERVICE_OR_FAIL(svc);
  Outcome o = Request(svc->Host("untrusted"), "/x", "GET");
  EXPECT_EQ(0, o.status);
  EXPECT_EQ(kCertMsg, o.error);
  EXPECT_EQ(0, svc->Sent("untrusted"));
}

// The one slow case: the receive time-out is 12 seconds.
TEST(HttpsClient, AServerThatNeverAnswersTimesOut) {
  SERVICE_OR_FAIL(svc);
  auto start = Clock::now();
  Outcome o = Request(svc->Host("silent"), "/download/tamsel-version.json", "GET");
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(0, o.status);
  EXPECT_EQ(kTimeoutMsg, o.error);
  EXPECT_EQ("", o.response);
  EXPECT_EQ(1, svc->Sent("silent")) << "the request did not arrive";
  EXPECT_GE(seconds, 11.0);
  EXPECT_LT(seconds, 40.0);
}

TEST(HttpsClient, AServerThatHangsUpIsANetworkError) {
  SERVICE_OR_FAIL(svc);
  Outcome o = Request(svc->Host("hangup"), "/x", "GET");
  EXPECT_EQ(0, o.status);
  // ERROR_WINHTTP_INVALID_SERVER_RESPONSE: the request went out and no
  // answer came back.
  EXPECT_EQ("网络错误 12152", o.error);
  EXPECT_EQ("", o.response);
  EXPECT_EQ(1, svc->Sent("hangup"));
}

TEST(HttpsClient, APortThatCannotExistIsAConnectFailure) {
  SERVICE_OR_FAIL(svc);
  for (const char* host : {"localhost:0", "localhost:65536", "localhost:99999999999"}) {
    Outcome o = Request(host, "/x", "GET");
    EXPECT_EQ(0, o.status) << host;
    EXPECT_EQ("连接服务器失败（检查网络）", o.error) << host;
    EXPECT_EQ("", o.response) << host;
  }
}

TEST(HttpsClient, AHostWithoutAPortUses443) {
  SERVICE_OR_FAIL(svc);
  if (!svc->Bind443()) GTEST_SKIP() << "port 443 on 127.0.0.1 cannot be bound here";
  svc->Put("default-port.json", "{\"port\":443}");
  Outcome o = Request("localhost", "/default-port.json", "GET");
  EXPECT_EQ(200, o.status) << o.error;
  EXPECT_EQ("{\"port\":443}", o.response);
  EXPECT_EQ(1, svc->Sent("p443"));
}

TEST(HttpsClient, RequestsOnSeveralThreadsAreIndependent) {
  SERVICE_OR_FAIL(svc);
  const int kThreads = 4;
  for (int i = 0; i < kThreads; ++i)
    svc->Put("t" + std::to_string(i) + ".json", Repeat(std::to_string(i), 1000 + i));
  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      outcomes[i] =
          Request(svc->Host(i % 2 ? "s200" : "s404"), "/t" + std::to_string(i) + ".json", "GET");
    });
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(i % 2 ? 200 : 404, outcomes[i].status) << i;
    EXPECT_EQ(Repeat(std::to_string(i), 1000 + i), outcomes[i].response) << i;
    EXPECT_EQ("", outcomes[i].error) << i;
  }
}

TEST(WindowsVersion, FollowsTheRunningSystem) {
  uint32_t major = 0, minor = 0, build = 0;
  bool known = tov::OsVersion(&major, &minor, &build);
#ifdef _WIN32
  EXPECT_TRUE(known) << "RtlGetVersion is there on every Windows and under wine";
#endif
  std::string expected = known ? "Windows " + std::to_string(major) + "." + std::to_string(minor) +
                                     "." + std::to_string(build)
                               : "Windows";
  EXPECT_EQ(expected, tov::WindowsVersionString());
}

TEST(ServiceHosts, AreSetAndDistinct) {
  std::string primary = tov::ServiceHost(), fallback = tov::FallbackHost();
  EXPECT_FALSE(primary.empty());
  EXPECT_FALSE(fallback.empty());
  EXPECT_NE(primary, fallback);
}

// ---- Update check -----------------------------------------------------------------

std::string CheckManifest(Service* svc, const std::string& manifest,
                          const std::string& label = "s200", const std::string& current = "1.0.2") {
  static int serial = 0;
  std::string name = "manifest-" + std::to_string(++serial) + ".json";
  svc->Put(name, manifest);
  return tov::CheckUpdateJson(svc->Host(label), "/download/" + name, current);
}

std::string UpdateDoc(const std::string& current, const std::string& latest,
                      const std::string& page, const std::string& notes, bool hasUpdate) {
  return "{\"ok\":true,\"current\":\"" + current + "\",\"latest\":\"" + latest + "\",\"page\":\"" +
         page + "\",\"notes\":\"" + notes + "\",\"hasUpdate\":" + (hasUpdate ? "true" : "false") +
         "}";
}

TEST(UpdateCheck, FetchesTheManifestWithAPlainGet) {
  SERVICE_OR_FAIL(svc);
  svc->Put("tamsel-version.json",
           "{\"version\":\"1.0.2\",\"page\":\"https://example.invalid/dl\",\"notes\":\"修复\"}");
  EXPECT_EQ(UpdateDoc("1.0.2", "1.0.2", "https://example.invalid/dl", "修复", false),
            tov::CheckUpdateJson(svc->Host("s200"), "/download/tamsel-version.json", "1.0.2"));
  Head h = svc->LastHead("s200");
  EXPECT_EQ("GET /download/tamsel-version.json HTTP/1.1", h.requestLine);
  EXPECT_EQ("nem-web-shell/1.0", h.Get("user-agent"));
  EXPECT_EQ("", svc->LastBody("s200"));
}

TEST(UpdateCheck, ComparesVersionsAsNumbers) {
  SERVICE_OR_FAIL(svc);
  struct Case {
    const char* latest;
    bool hasUpdate;
  } cases[] = {
      {"1.0.2", false},  {"1.0.10", true},   {"1.1", true},      {"0.9.9", false},
      {"v2.0.0", false}, {"2", true},        {"1.0.3", true},    {"1.0.1", false},
      {"1.0", false},    {"01.00.03", true}, {"1.0.2.9", false}, {"1.0.2-beta", false},
      {" 1.1.0", true},  {"1. 1.0", true},   {"1 .1.0", false},  {"-1.5.0", false},
  };
  for (const Case& c : cases) {
    std::string manifest = std::string("{\"version\":\"") + c.latest + "\",\"page\":\"p\"}";
    EXPECT_EQ(UpdateDoc("1.0.2", c.latest, "p", "", c.hasUpdate), CheckManifest(svc, manifest))
        << c.latest;
  }
}

TEST(UpdateCheck, TheCurrentVersionIsReadTheSameWay) {
  SERVICE_OR_FAIL(svc);
  EXPECT_EQ(UpdateDoc("1.0.10", "1.0.9", "", "", false),
            CheckManifest(svc, "{\"version\":\"1.0.9\"}", "s200", "1.0.10"));
  EXPECT_EQ(UpdateDoc("v1", "0.0.1", "", "", true),
            CheckManifest(svc, "{\"version\":\"0.0.1\"}", "s200", "v1"));
}

// sscanf's %d has no defined result past the int range; a number that large
// is held at the limit, so it still counts as newer instead of wrapping
// (4294967297 would wrap to 1 and look older than 1.0.2).
TEST(UpdateCheck, HugeComponentsCountAsLarge) {
  SERVICE_OR_FAIL(svc);
  EXPECT_EQ(UpdateDoc("1.0.2", "4294967297.0.0", "", "", true),
            CheckManifest(svc, "{\"version\":\"4294967297.0.0\"}"));
  EXPECT_EQ(UpdateDoc("1.0.2", "1.0.99999999999999999999", "", "", true),
            CheckManifest(svc, "{\"version\":\"1.0.99999999999999999999\"}"));
  EXPECT_EQ(UpdateDoc("1.0.2", "-4294967295.9.9", "", "", false),
            CheckManifest(svc, "{\"version\":\"-4294967295.9.9\"}"));
}

TEST(UpdateCheck, AManifestWithoutAStringVersionIsMalformed) {
  SERVICE_OR_FAIL(svc);
  EXPECT_EQ(kBadManifest, CheckManifest(svc, "{\"version\":1.1,\"page\":\"p\"}"));
  EXPECT_EQ(kBadManifest, CheckManifest(svc, "{\"page\":\"p\",\"notes\":\"n\"}"));
  EXPECT_EQ(kBadManifest, CheckManifest(svc, "{\"version\":\"\"}"));
  EXPECT_EQ(kBadManifest, CheckManifest(svc, "not json at all"));
}

TEST(UpdateCheck, AnErrorStatusIsTheConnectionMessageWhateverTheBody) {
  SERVICE_OR_FAIL(svc);
  const std::string good = "{\"version\":\"9.9.9\",\"page\":\"p\",\"notes\":\"n\"}";
  EXPECT_EQ(kNoUpdateServer, CheckManifest(svc, good, "s404"));
  EXPECT_EQ(kNoUpdateServer, CheckManifest(svc, good, "s500"));
  EXPECT_EQ(kNoUpdateServer, CheckManifest(svc, good, "s201"));
  EXPECT_EQ(1, svc->Sent("s404"));
  EXPECT_EQ(1, svc->Sent("s500"));
}

TEST(UpdateCheck, AnEmptyAnswerIsTheConnectionMessage) {
  SERVICE_OR_FAIL(svc);
  EXPECT_EQ(kNoUpdateServer, CheckManifest(svc, ""));
}

TEST(UpdateCheck, EveryNetworkFailureIsTheConnectionMessage) {
  SERVICE_OR_FAIL(svc);
  for (const std::string& host :
       {svc->Host("closed"), svc->Host("wrongname"), svc->Host("untrusted"), UnresolvableHost()})
    EXPECT_EQ(kNoUpdateServer, tov::CheckUpdateJson(host, "/download/tamsel-version.json", "1.0.2"))
        << host;
}

TEST(UpdateCheck, TextsAreDecodedAndEscapedAgain) {
  SERVICE_OR_FAIL(svc);
  // The manifest is read as JSON: escapes decode (\n is a line break), and
  // the output escapes again; members are found by name in any order.
  std::string manifest =
      "{\"notes\":\"修复 \\\"扫描\\\" 卡住\\n第二行\\\\完\" , \"extra\":{\"version\":\"9\"},"
      "\"page\":\"https://example.invalid/a\\/b?x=\\\"1\\\"\",\"version\" : \"1.2.0\"}";
  EXPECT_EQ(UpdateDoc("1.0.2", "1.2.0", "https://example.invalid/a/b?x=\\\"1\\\"",
                      "修复 \\\"扫描\\\" 卡住\\n第二行\\\\完", true),
            CheckManifest(svc, manifest));
  EXPECT_EQ(UpdateDoc("1.0.2", "1.0.2", "", "a\\tb\\u0001中", false),
            CheckManifest(svc, "{\"version\":\"1.0.2\",\"notes\":\"a\\tb\\u0001\\u4e2d\"}"));
}

// A manifest is one JSON object with a version text; a page or notes of
// another type, a raw control character, a member named twice or a version
// only inside another member make it malformed.
TEST(UpdateCheck, AManifestThatIsNoDocumentIsMalformed) {
  SERVICE_OR_FAIL(svc);
  for (const char* manifest : {
           "{\"version\":\"1.0.2\",\"notes\":\"a\tb\"}",
           "{\"version\":\"1.2.0\",\"page\":5}",
           "{\"version\":\"1.2.0\",\"notes\":[\"n\"]}",
           "{\"version\":\"1.2.0\",\"version\":\"1.2.0\"}",
           "{\"x\":{\"version\":\"1.2.0\"}}",
           "[{\"version\":\"1.2.0\"}]",
           "{\"version\":\"1.2.0\"",
           "{\"version\":\"1.2.0\"} trailing",
       })
    EXPECT_EQ(kBadManifest, CheckManifest(svc, manifest)) << manifest;
}

// ---- Feedback ---------------------------------------------------------------------

std::string Submit(Service* svc, const std::string& primary, const std::string& fallback,
                   const std::string& body) {
  return tov::SubmitFeedbackTo(svc->Host(primary), svc->Host(fallback), "Tamsel", "1.0.2", body);
}

std::string Page() {
  return "Tamsel 1.0.2 \xC2\xB7 " + tov::WindowsVersionString();
}

// The report as the service must receive it; every argument already escaped.
std::string Report(const std::string& kind, const std::string& text, const std::string& contact) {
  return "{\"app\":\"Tamsel\",\"kind\":\"" + kind + "\",\"text\":\"" + text + "\",\"contact\":\"" +
         contact + "\",\"page\":\"" + Page() + "\",\"hp\":\"\"}";
}

TEST(Feedback, SendsTheReportInItsExactForm) {
  SERVICE_OR_FAIL(svc);
  std::string body =
      "{\"text\":\"扫描后  界面\\n卡住 \\\"C:\\\\temp\\\" \\u4e2d\\t\\u0001 \","
      "\"contact\":\"qq 12345\",\"kind\":\"bug\",\"hp\":\"robot\"}";
  EXPECT_EQ(kAccepted, Submit(svc, "s200", "closed", body));
  ASSERT_EQ(1, svc->Sent("s200"));
  Head h = svc->LastHead("s200");
  EXPECT_EQ("POST /api/feedback HTTP/1.1", h.requestLine);
  EXPECT_EQ("application/json; charset=utf-8", h.Get("content-type"));
  EXPECT_EQ("nem-web-shell/1.0", h.Get("user-agent"));
  // The text as received (decoded, not trimmed), escaped again.
  EXPECT_EQ(Report("Bug", "扫描后  界面\\n卡住 \\\"C:\\\\temp\\\" 中\\t\\u0001 ", "qq 12345"),
            svc->LastBody("s200"));
}

TEST(Feedback, TheAppNameAndVersionComeFromTheCaller) {
  SERVICE_OR_FAIL(svc);
  EXPECT_EQ(kAccepted, tov::SubmitFeedbackTo(svc->Host("s200"), svc->Host("closed"), "My \"App\"",
                                             "2.0", "{\"text\":\"hi\"}"));
  EXPECT_EQ(
      "{\"app\":\"My \\\"App\\\"\",\"kind\":\"反馈\",\"text\":\"hi\",\"contact\":\"\","
      "\"page\":\"My \\\"App\\\" 2.0 \xC2\xB7 " +
          tov::WindowsVersionString() + "\",\"hp\":\"\"}",
      svc->LastBody("s200"));
}

TEST(Feedback, TextOfOnlyWhiteSpaceIsRefusedBeforeSending) {
  SERVICE_OR_FAIL(svc);
  for (const char* body : {"{\"text\":\"  \\n \\t\\r\\f\\u000b\"}", "{\"text\":\"\"}", "{}", "",
                           "{\"contact\":\"x\",\"kind\":\"bug\"}", "{\"x\":{\"text\":\"hi\"}}"})
    EXPECT_EQ(kEmptyText, Submit(svc, "s200", "s200", body)) << body;
  EXPECT_EQ(0, svc->Sent("s200"));
  // The refusal needs no network, so the real entry point can be called.
  EXPECT_EQ(kEmptyText, tov::SubmitFeedback("Tamsel", "1.0.2", "{\"text\":\" \\n\"}"));
}

// The body is one JSON object whose members are texts; anything else is
// refused with its reason and nothing is sent.
TEST(Feedback, ABodyThatIsNoObjectOrHoldsNoTextsIsRefusedBeforeSending) {
  SERVICE_OR_FAIL(svc);
  const std::string notText = "{\"ok\":false,\"message\":\"text、contact 和 kind 必须是文字\"}";
  const std::string notObject = "{\"ok\":false,\"message\":\"请求不是有效的 JSON 对象\"}";
  struct Case {
    const char* body;
    const std::string& answer;
  } cases[] = {
      {"{\"text\":42}", notText},
      {"{\"text\":[\"hi\"]}", notText},
      {"{\"text\":\"hi\",\"contact\":1}", notText},
      {"{\"text\":\"hi\",\"kind\":7}", notText},
      {"{\"text\":\"hi\",\"kind\":null}", notText},
      {"{\"text\":\"hi\"", notObject},
      {"[{\"text\":\"hi\"}]", notObject},
      {"\"hi\"", notObject},
      {"{\"text\":\"hi\",\"text\":\"hi\"}", notObject},
      {"{\"text\":\"a\\qb\"}", notObject},
      {"{\"text\":\"\\ud83d\"}", notObject},
  };
  for (const Case& c : cases) EXPECT_EQ(c.answer, Submit(svc, "s200", "s200", c.body)) << c.body;
  EXPECT_EQ(0, svc->Sent("s200"));
}

TEST(Feedback, TextLengthIsCountedInCharacters) {
  SERVICE_OR_FAIL(svc);
  const std::string zh1800 = Repeat("中", 1800);  // 5400 bytes
  EXPECT_EQ(kAccepted, Submit(svc, "s200", "closed", "{\"text\":\"" + zh1800 + "\"}"));
  EXPECT_EQ(Report("反馈", zh1800, ""), svc->LastBody("s200"));

  const std::string mixed1800 = Repeat("a中\xF0\x9F\x98\x80", 600);  // 1, 3 and 4 bytes
  EXPECT_EQ(kAccepted, Submit(svc, "s200", "closed", "{\"text\":\"" + mixed1800 + "\"}"));
  EXPECT_EQ(Report("反馈", mixed1800, ""), svc->LastBody("s200"));
  EXPECT_EQ(2, svc->Sent("s200"));

  for (const std::string& text : {Repeat("中", 1801), Repeat("a", 1801), mixed1800 + "b"})
    EXPECT_EQ(kTooLong, Submit(svc, "s200", "closed", "{\"text\":\"" + text + "\"}"));
  // Escapes count after decoding: 1801 times \u4e2d is 1801 characters.
  EXPECT_EQ(kTooLong,
            Submit(svc, "s200", "closed", "{\"text\":\"" + Repeat("\\u4e2d", 1801) + "\"}"));
  EXPECT_EQ(2, svc->Sent("s200"));
  EXPECT_EQ(kTooLong,
            tov::SubmitFeedback("Tamsel", "1.0.2", "{\"text\":\"" + Repeat("a", 1801) + "\"}"));
}

TEST(Feedback, KindsAreMappedThenCut) {
  SERVICE_OR_FAIL(svc);
  struct Case {
    std::string bodyKind;  // the JSON text after "kind":, empty for no kind
    std::string sent;      // as escaped in the report
  } cases[] = {
      {"", "反馈"},
      {"\"\"", "反馈"},
      {"\"bug\"", "Bug"},
      {"\"Bug\"", "Bug"},
      {"\"BUG\"", "BUG"},
      {"\"bug \"", "bug "},
      {"\"idea\"", "建议"},
      {"\"Idea\"", "Idea"},
      {"\"IDEA\"", "IDEA"},
      {"\"other\"", "other"},
      {"\"\\u0062ug\"", "Bug"},  // decoded before the mapping
      {"\"" + std::string(30, 'k') + "\"", std::string(20, 'k')},
      {"\"" + std::string(20, 'k') + "\"", std::string(20, 'k')},
      {"\"a\\\"b\\\\c\"", "a\\\"b\\\\c"},
  };
  for (const Case& c : cases) {
    std::string body =
        "{\"text\":\"t\"" + (c.bodyKind.empty() ? "" : ",\"kind\":" + c.bodyKind) + "}";
    EXPECT_EQ(kAccepted, Submit(svc, "s200", "closed", body)) << body;
    EXPECT_EQ(Report(c.sent, "t", ""), svc->LastBody("s200")) << body;
  }
}

TEST(Feedback, ContactIsCutTo100Bytes) {
  SERVICE_OR_FAIL(svc);
  const std::string ascii = Repeat("0123456789", 12);
  EXPECT_EQ(kAccepted,
            Submit(svc, "s200", "closed", "{\"text\":\"t\",\"contact\":\"" + ascii + "\"}"));
  EXPECT_EQ(Report("反馈", "t", ascii.substr(0, 100)), svc->LastBody("s200"));

  // "a" and 33 Chinese characters make exactly 100 bytes: nothing moves.
  const std::string exact = "a" + Repeat("联", 34);
  EXPECT_EQ(kAccepted,
            Submit(svc, "s200", "closed", "{\"text\":\"t\",\"contact\":\"" + exact + "\"}"));
  EXPECT_EQ(Report("反馈", "t", "a" + Repeat("联", 33)), svc->LastBody("s200"));

  // A backslash escape counts by its decoded size and its escaped form.
  const std::string quotes = Repeat("\\\"", 101);
  EXPECT_EQ(kAccepted,
            Submit(svc, "s200", "closed", "{\"text\":\"t\",\"contact\":\"" + quotes + "\"}"));
  EXPECT_EQ(Report("反馈", "t", Repeat("\\\"", 100)), svc->LastBody("s200"));
}

// Departure from a cut on bytes alone: a cut that would fall inside a
// multi-byte character moves back to that character's start, so the report
// stays valid UTF-8.
TEST(Feedback, CutsNeverSplitACharacter) {
  SERVICE_OR_FAIL(svc);
  // 34 Chinese characters are 102 bytes; 100 bytes would end inside the 34th.
  EXPECT_EQ(kAccepted, Submit(svc, "s200", "closed",
                              "{\"text\":\"t\",\"contact\":\"" + Repeat("联", 34) + "\"}"));
  EXPECT_EQ(Report("反馈", "t", Repeat("联", 33)), svc->LastBody("s200"));

  // 7 Chinese characters are 21 bytes; 20 would end inside the 7th.
  EXPECT_EQ(kAccepted,
            Submit(svc, "s200", "closed", "{\"text\":\"t\",\"kind\":\"" + Repeat("界", 7) + "\"}"));
  EXPECT_EQ(Report(Repeat("界", 6), "t", ""), svc->LastBody("s200"));

  // A four-byte character across the limit: "k" * 18 then an emoji.
  EXPECT_EQ(kAccepted, Submit(svc, "s200", "closed",
                              "{\"text\":\"t\",\"kind\":\"" + std::string(18, 'k') +
                                  "\xF0\x9F\x98\x80" + "\"}"));
  EXPECT_EQ(Report(std::string(18, 'k'), "t", ""), svc->LastBody("s200"));

  // Bytes that are no UTF-8 at all are cut where the limit says.
  const std::string junk(30, '\x80');
  EXPECT_EQ(kAccepted, Submit(svc, "s200", "closed", "{\"text\":\"t\",\"kind\":\"" + junk + "\"}"));
  EXPECT_EQ(Report(std::string(20, '\x80'), "t", ""), svc->LastBody("s200"));
}

TEST(Feedback, APrimaryClientErrorIsFinal) {
  SERVICE_OR_FAIL(svc);
  EXPECT_EQ("{\"ok\":false,\"message\":\"服务器返回 404\",\"fallback\":true}",
            Submit(svc, "s404", "s200", "{\"text\":\"t\"}"));
  EXPECT_EQ(1, svc->Sent("s404"));
  EXPECT_EQ(0, svc->Sent("s200")) << "the fallback was tried after a 404";

  EXPECT_EQ(kRateLimited, Submit(svc, "s429", "s200", "{\"text\":\"t\"}"));
  EXPECT_EQ(1, svc->Sent("s429"));
  EXPECT_EQ(0, svc->Sent("s200")) << "the fallback was tried after a 429";

  // Another 2xx is not acceptance; the server's body is not read.
  EXPECT_EQ("{\"ok\":false,\"message\":\"服务器返回 201\",\"fallback\":true}",
            Submit(svc, "s201", "s200", "{\"text\":\"t\"}"));
  EXPECT_EQ(0, svc->Sent("s200"));
}

TEST(Feedback, AnUnreachablePrimaryFallsBack) {
  SERVICE_OR_FAIL(svc);
  const std::string body = "{\"text\":\"回退\",\"contact\":\"c\",\"kind\":\"idea\"}";
  EXPECT_EQ(kAccepted, Submit(svc, "closed", "s200", body));
  EXPECT_EQ(1, svc->Sent("s200"));
  EXPECT_EQ("POST /api/feedback HTTP/1.1", svc->LastHead("s200").requestLine);
  EXPECT_EQ(Report("建议", "回退", "c"), svc->LastBody("s200"));

  // A certificate failure is no answer either.
  EXPECT_EQ(kAccepted, Submit(svc, "wrongname", "s200", body));
  EXPECT_EQ(2, svc->Sent("s200"));
}

TEST(Feedback, AServerErrorFallsBackAndTheFallbackAnswerCounts) {
  SERVICE_OR_FAIL(svc);
  const std::string body = "{\"text\":\"t\"}";
  EXPECT_EQ(kAccepted, Submit(svc, "s500", "s200", body));
  EXPECT_EQ(1, svc->Sent("s500"));
  EXPECT_EQ(1, svc->Sent("s200"));
  EXPECT_EQ(svc->LastBody("s500"), svc->LastBody("s200")) << "the same report goes to both";

  EXPECT_EQ(kRateLimited, Submit(svc, "s503", "s429", body));
  EXPECT_EQ("{\"ok\":false,\"message\":\"服务器返回 404\",\"fallback\":true}",
            Submit(svc, "s500", "s404", body));
}

TEST(Feedback, AFailedFallbackLeavesThePrimaryOutcome) {
  SERVICE_OR_FAIL(svc);
  const std::string body = "{\"text\":\"t\"}";
  EXPECT_EQ("{\"ok\":false,\"message\":\"服务器返回 503\",\"fallback\":true}",
            Submit(svc, "s503", "closed", body));
  EXPECT_EQ(1, svc->Sent("s503"));

  // Both unreachable: the primary's reason, not the fallback's.
  EXPECT_EQ("{\"ok\":false,\"message\":\"连不上服务器（检查网络）\",\"fallback\":true}",
            Submit(svc, "closed", "untrusted", body));
  EXPECT_EQ("{\"ok\":false,\"message\":\"证书校验失败（可能被网络中间人拦截）\",\"fallback\":true}",
            Submit(svc, "untrusted", "closed", body));
  EXPECT_EQ(
      "{\"ok\":false,\"message\":\"网络错误 12007\",\"fallback\":true}",
      tov::SubmitFeedbackTo(UnresolvableHost(), svc->Host("closed"), "Tamsel", "1.0.2", body));
  EXPECT_EQ(0, svc->Sent("untrusted"));
}

TEST(Feedback, SubmissionsOnSeveralThreadsAllArrive) {
  SERVICE_OR_FAIL(svc);
  const int kThreads = 4;
  std::vector<std::string> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      results[i] = Submit(svc, i % 2 ? "s200" : "closed", "s200",
                          "{\"text\":\"第" + std::to_string(i) + "条\"}");
    });
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(kAccepted, results[i]) << i;
  EXPECT_EQ(kThreads, svc->Sent("s200"));
}

}  // namespace
