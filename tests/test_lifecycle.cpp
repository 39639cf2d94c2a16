// The single-instance port file and probe, the access token and its file,
// elevation with either answer about rights, and the delayed exit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "lifecycle/shell_life.h"
#include "platform/platform.h"

using namespace tov;

namespace {

// A unique application name per test, so that tests never share a file.
std::string AppName() {
  return std::string("tamsel-t-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

void PlantPortFile(const std::string& app, const std::string& content) {
  ASSERT_TRUE(WriteWholeFile(Utf8ToWide(PortFilePath(app)), content));
}

// Listens on a free loopback port; answers one connection with `reply`
// (after reading the request), or keeps it open silently when `silent`.
struct FakeServer {
  Socket listener = kBadSocket;
  int port = 0;
  std::thread thread;
  std::string request;

  FakeServer(const std::string& reply, bool silent = false) {
    NetStartup();
    listener = SockTcp();
    SockBind(listener, false, 0);
    SockListen(listener, 4);
    port = SockLocalPort(listener);
    thread = std::thread([this, reply, silent] {
      Socket c = SockAccept(listener);
      if (c == kBadSocket) return;
      SockSetTimeouts(c, 3000);
      char buf[4096];
      int n = SockRecv(c, buf, sizeof buf);
      if (n > 0) request.assign(buf, static_cast<size_t>(n));
      if (silent) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      } else {
        size_t sent = 0;
        while (sent < reply.size()) {
          int k = SockSend(c, reply.data() + sent, static_cast<int>(reply.size() - sent));
          if (k <= 0) break;
          sent += static_cast<size_t>(k);
        }
      }
      SockClose(c);
    });
  }
  ~FakeServer() {
    thread.join();
    SockClose(listener);
  }
};

}  // namespace

TEST(PortFile, LivesInLocalAppDataUnderTheAppName) {
  std::wstring local;
  ASSERT_TRUE(ShellFolderPath(ShellFolder::LocalAppData, &local));
  std::string app = AppName();
  std::string path = PortFilePath(app);
  EXPECT_EQ(Utf8ToWide(path), local + L"\\" + Utf8ToWide(app) + L"\\port.txt");
  uint32_t attrs = 0;
  ASSERT_TRUE(GetAttributes(local + L"\\" + Utf8ToWide(app), &attrs));
  EXPECT_TRUE(attrs & kAttrDirectory);
}

TEST(PortFile, WritesDigitsAndOneLineFeedAndReadsThemBack) {
  std::string app = AppName();
  RemovePortFile(app);
  EXPECT_EQ(ReadPortFile(app), 0);  // no file
  WritePortFile(app, 8080);
  std::string raw;
  ASSERT_TRUE(ReadFileHead(Utf8ToWide(PortFilePath(app)), 100, &raw));
  EXPECT_EQ(raw, "8080\n");
  EXPECT_EQ(ReadPortFile(app), 8080);
  WritePortFile(app, 51234);  // truncates
  ASSERT_TRUE(ReadFileHead(Utf8ToWide(PortFilePath(app)), 100, &raw));
  EXPECT_EQ(raw, "51234\n");
  RemovePortFile(app);
  EXPECT_EQ(ReadPortFile(app), 0);
}

TEST(PortFile, ReadsWhatAtoiReadsFromTheFirst63Bytes) {
  std::string app = AppName();
  const std::pair<std::string, int> cases[] = {
      {"", 0},
      {"abc", 0},
      {"0", 0},
      {"-5", -5},
      {"70000", 70000},
      {"8080", 8080},
      {"8080\r\n", 8080},
      {"  42x", 42},
      {std::string(62, '0') + "7", 7},  // the 63rd byte still counts
      {std::string(63, '0') + "7", 0},  // the 64th does not
  };
  for (const auto& c : cases) {
    PlantPortFile(app, c.first);
    EXPECT_EQ(ReadPortFile(app), c.second) << "content \"" << c.first << "\"";
  }
  RemovePortFile(app);
}

// ---- Access token -------------------------------------------------------------------

TEST(SystemRandom, FillsTheWholeBufferAndDiffersBetweenDraws) {
  // 64 bytes: the chance that a working source gives a zero byte at one
  // fixed place in each of two draws is 1 in 65536, so the test looks at
  // the whole buffer instead: all-zero from a working source is 2^-512.
  unsigned char a[64] = {0}, b[64] = {0};
  ASSERT_TRUE(SystemRandomBytes(a, sizeof a));
  ASSERT_TRUE(SystemRandomBytes(b, sizeof b));
  unsigned char none[64] = {0};
  EXPECT_NE(memcmp(a, none, sizeof a), 0);
  EXPECT_NE(memcmp(a, b, sizeof a), 0);
  EXPECT_TRUE(SystemRandomBytes(a, 0));
}

TEST(AccessToken, Is32LowerCaseHexDigitsAndNewEachTime) {
  std::string t1 = NewAccessToken(), t2 = NewAccessToken();
  EXPECT_EQ(t1.size(), 32u);
  EXPECT_TRUE(IsAccessTokenText(t1)) << t1;
  EXPECT_TRUE(IsAccessTokenText(t2)) << t2;
  EXPECT_NE(t1, t2);
  // Over many draws every hex digit turns up: the digits are not cut from
  // a narrower alphabet. 40 tokens give 1280 digits; missing one of the 16
  // has a chance far below 10^-30.
  std::string all;
  for (int i = 0; i < 40; ++i) all += NewAccessToken();
  for (char c : std::string("0123456789abcdef")) EXPECT_NE(all.find(c), std::string::npos) << c;
}

TEST(AccessToken, WellFormedIsExactlyThirtyTwoLowerHexDigits) {
  EXPECT_TRUE(IsAccessTokenText("0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(IsAccessTokenText(""));
  EXPECT_FALSE(IsAccessTokenText("0123456789abcdef0123456789abcde"));
  EXPECT_FALSE(IsAccessTokenText("0123456789abcdef0123456789abcdef0"));
  EXPECT_FALSE(IsAccessTokenText("0123456789ABCDEF0123456789abcdef"));
  EXPECT_FALSE(IsAccessTokenText("0123456789abcdeg0123456789abcdef"));
  EXPECT_FALSE(IsAccessTokenText("0123456789abcdef0123456789abcde "));
  EXPECT_FALSE(IsAccessTokenText(std::string("0123456789abcdef0123456789abcde\0", 32)));
}

TEST(TokenFile, LivesBesideThePortFile) {
  std::string app = AppName();
  std::string port = PortFilePath(app), token = TokenFilePath(app);
  ASSERT_FALSE(token.empty());
  EXPECT_EQ(token.substr(0, token.size() - 9), port.substr(0, port.size() - 8));
  EXPECT_EQ(token.substr(token.size() - 10), "\\token.txt");
}

TEST(TokenFile, WritesTheTokenAndOneLineFeedAndReadsItBack) {
  std::string app = AppName();
  const std::string token = "00112233445566778899aabbccddeeff";
  ASSERT_TRUE(WriteTokenFile(app, token));
  std::string raw;
  ASSERT_TRUE(ReadFileHead(Utf8ToWide(TokenFilePath(app)), 100, &raw));
  EXPECT_EQ(raw, token + "\n");
  EXPECT_EQ(ReadTokenFile(app), token);
  const std::string other = NewAccessToken();
  ASSERT_TRUE(WriteTokenFile(app, other));  // truncates
  EXPECT_EQ(ReadTokenFile(app), other);
  DeleteFilePath(Utf8ToWide(TokenFilePath(app)));
  EXPECT_EQ(ReadTokenFile(app), "");  // missing
}

TEST(TokenFile, AnythingButOneTokenAndALineFeedReadsAsNone) {
  std::string app = AppName();
  const std::string good = "00112233445566778899aabbccddeeff";
  const std::string bad[] = {
      "",
      "\n",
      good,           // no line feed
      good + "\r\n",  // one byte too many
      good + "\n\n",
      good + "\nmore",
      good + good + "\n",                    // too long
      std::string(10240, 'a'),               // far too long
      " " + good.substr(1) + "\n",           // not hex
      "00112233445566778899AABBCCDDEEFF\n",  // not lower case
      "00112233445566778899aabbccddeef\n",   // too short
      std::string("00112233445566778899aabbccddee\0f\n", 33),
  };
  for (const std::string& content : bad) {
    ASSERT_TRUE(WriteWholeFile(Utf8ToWide(TokenFilePath(app)), content));
    EXPECT_EQ(ReadTokenFile(app), "") << "content \"" << content.substr(0, 80) << "\"";
  }
  DeleteFilePath(Utf8ToWide(TokenFilePath(app)));
}

TEST(Probe, OutOfRangePortsAreRefusedWithoutTheNetwork) {
  EXPECT_FALSE(ProbeOurInstance(0, "Tamsel"));
  EXPECT_FALSE(ProbeOurInstance(-5, "Tamsel"));
  EXPECT_FALSE(ProbeOurInstance(70000, "Tamsel"));
}

TEST(Probe, RecognisesOurInstanceByStatusAndName) {
  FakeServer ours("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{\"ok\":true,\"name\":\"Tamsel\"}");
  EXPECT_TRUE(ProbeOurInstance(ours.port, "Tamsel"));
  EXPECT_EQ(ours.request, "GET /api/env HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

TEST(Probe, AForeignServerIsNotOurs) {
  FakeServer foreign("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n<html>nginx</html>");
  EXPECT_FALSE(ProbeOurInstance(foreign.port, "Tamsel"));
}

TEST(Probe, OnlyAnEnvironmentDocumentNamingUsIsOurs) {
  const char* const notOurs[] = {
      "HTTP/1.1 404 Not Found\r\n\r\nerror 200 from Tamsel",
      "HTTP/1.1 404 Not Found\r\n\r\n{\"ok\":true,\"name\":\"Tamsel\"}",
      "HTTP/1.0 200 OK\r\n\r\n{\"ok\":true,\"name\":\"Tamsel\"}",
      "HTTP/1.1 200 OK\r\n\r\nTamsel",
      "HTTP/1.1 200 OK\r\n\r\n{\"ok\":true,\"name\":\"Tamsel2\"}",
      "HTTP/1.1 200 OK\r\n\r\n{\"ok\":true,\"title\":\"Tamsel\"}",
      "HTTP/1.1 200 OK\r\n\r\n{\"ok\":false,\"name\":\"Tamsel\"}",
      "HTTP/1.1 200 OK\r\n\r\n{\"ok\":true,\"name\":\"Tamsel\"} trailing",
      "HTTP/1.1 200 OK\r\nX-Name: Tamsel\r\n\r\n[\"Tamsel\"]",
  };
  for (const char* reply : notOurs) {
    FakeServer other(reply);
    EXPECT_FALSE(ProbeOurInstance(other.port, "Tamsel")) << reply;
  }
  FakeServer ours(
      "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
      "{\"ok\":true,\"admin\":false,\"version\":\"1.0.2\",\"name\":\"Tamsel\"}");
  EXPECT_TRUE(ProbeOurInstance(ours.port, "Tamsel"));
}

TEST(Probe, StopsReadingPastEightKilobytes) {
  // Our environment document is short. An answer that runs on past 8 KiB is
  // cut there, and what was read is no whole document, even when it begins
  // like ours and would name us at its end.
  const std::string pad(12000, 'x');
  for (const std::string& body : {"{\"ok\":true,\"name\":\"Tamsel\",\"pad\":\"" + pad + "\"}",
                                  "{\"ok\":true,\"pad\":\"" + pad + "\",\"name\":\"Tamsel\"}"}) {
    FakeServer chatty("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body);
    EXPECT_FALSE(ProbeOurInstance(chatty.port, "Tamsel")) << body.substr(0, 40);
  }
}

TEST(Probe, ASilentOrClosedPortIsNotOurs) {
  {
    FakeServer silent("", true);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(ProbeOurInstance(silent.port, "Tamsel"));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.4);
  }
  Socket s = SockTcp();
  SockBind(s, false, 0);
  int closedPort = SockLocalPort(s);
  SockClose(s);
  EXPECT_FALSE(ProbeOurInstance(closedPort, "Tamsel"));
}

// Rights answers put in for one test: what the program was told and what
// it did with it.
struct FakeRights {
  static bool admin;
  static intptr_t launchResult;
  static uint32_t launchError;
  static std::vector<std::wstring> launches;  // "exe|params"
  static std::vector<uint32_t> exits;
  FakeRights(bool isAdmin, intptr_t result, uint32_t error) {
    admin = isAdmin;
    launchResult = result;
    launchError = error;
    launches.clear();
    exits.clear();
    RightsSystem fake;
    fake.isAdmin = [] { return admin; };
    fake.runElevated = [](const std::wstring& exe, const std::wstring& params, uint32_t* e) {
      launches.push_back(exe + L"|" + params);
      *e = launchError;
      return launchResult;
    };
    fake.scheduleExit = [](uint32_t ms) { exits.push_back(ms); };
    SetRightsSystem(fake);
  }
  ~FakeRights() { SetRightsSystem(RightsSystem{}); }
};
bool FakeRights::admin = false;
intptr_t FakeRights::launchResult = 0;
uint32_t FakeRights::launchError = 0;
std::vector<std::wstring> FakeRights::launches;
std::vector<uint32_t> FakeRights::exits;

TEST(Elevation, AnAdministratorIsToldSoAndLaunchesNothing) {
  FakeRights rights(true, 42, 0);
  EXPECT_TRUE(IsAdminUser());
  EXPECT_EQ(ElevateSelfJson(), "{\"ok\":true,\"already\":true}");
  EXPECT_TRUE(FakeRights::launches.empty());
  EXPECT_TRUE(FakeRights::exits.empty());
}

TEST(Elevation, WithoutRightsTheProgramRestartsItselfElevatedAndEnds) {
  FakeRights rights(false, 42, 0);
  EXPECT_FALSE(IsAdminUser());
  EXPECT_EQ(ElevateSelfJson(), "{\"ok\":true,\"elevated\":true}");
  // The elevated copy is this very program, and it must not hand over to
  // this instance, which still runs while the prompt is up.
  ASSERT_FALSE(ModuleFileName().empty());
  EXPECT_EQ(FakeRights::launches, std::vector<std::wstring>{ModuleFileName() + L"|--force-new"});
  EXPECT_EQ(FakeRights::exits, std::vector<uint32_t>{1200});
}

TEST(Elevation, ADeclinedOrFailedPromptKeepsTheProgramRunning) {
  {
    FakeRights rights(false, 5, 1223);  // ERROR_CANCELLED: the user said no
    EXPECT_EQ(ElevateSelfJson(), "{\"ok\":false,\"message\":\"你取消了管理员授权\"}");
    EXPECT_EQ(FakeRights::launches.size(), 1u);
    EXPECT_TRUE(FakeRights::exits.empty());
  }
  {
    FakeRights rights(false, 5, 5);  // ERROR_ACCESS_DENIED, as security software does
    EXPECT_EQ(ElevateSelfJson(), "{\"ok\":false,\"message\":\"提权失败（可能被安全软件拦住）\"}");
    EXPECT_EQ(FakeRights::launches.size(), 1u);
    EXPECT_TRUE(FakeRights::exits.empty());
  }
}

TEST(Elevation, TheSystemAnswersWhenNoTestDoes) {
  SetRightsSystem(RightsSystem{});
  EXPECT_EQ(IsAdminUser(), IsProcessAdmin());
}

TEST(ScheduledExitDeathTest, EndsTheProcessWithCodeZeroAfterTheDelay) {
  EXPECT_EXIT(
      {
        auto t0 = std::chrono::steady_clock::now();
        ScheduleExit(300);
        // It returns at once, alive: the exit comes later, from a thread of
        // its own...
        if (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(290)) {
          fprintf(stderr, "alive-before-delay\n");
        }
        std::this_thread::sleep_for(std::chrono::seconds(10));
        exit(7);  // never reached when the exit fires
      },
      ::testing::ExitedWithCode(0), "alive-before-delay");
}
