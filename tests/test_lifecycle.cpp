// The single-instance port file and probe, elevation when already elevated,
// and the delayed exit.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

TEST(Probe, OutOfRangePortsAreRefusedWithoutTheNetwork) {
  EXPECT_FALSE(ProbeOurInstance(0, "Tamsel"));
  EXPECT_FALSE(ProbeOurInstance(-5, "Tamsel"));
  EXPECT_FALSE(ProbeOurInstance(70000, "Tamsel"));
}

TEST(Probe, RecognisesOurInstanceByStatusAndMarker) {
  FakeServer ours("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{\"ok\":true,\"name\":\"Tamsel\"}");
  EXPECT_TRUE(ProbeOurInstance(ours.port, "Tamsel"));
  EXPECT_EQ(ours.request, "GET /api/env HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

TEST(Probe, AForeignServerIsNotOurs) {
  FakeServer foreign("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n<html>nginx</html>");
  EXPECT_FALSE(ProbeOurInstance(foreign.port, "Tamsel"));
}

TEST(Probe, OnlySubstringsAreTested) {
  FakeServer odd("HTTP/1.1 404 Not Found\r\n\r\nerror 200 from Tamsel");
  EXPECT_TRUE(ProbeOurInstance(odd.port, "Tamsel"));
}

TEST(Probe, StopsReadingPastEightKilobytes) {
  std::string reply = "HTTP/1.1 200 OK\r\n\r\n" + std::string(20000, 'x') + "Tamsel";
  FakeServer chatty(reply);
  EXPECT_FALSE(ProbeOurInstance(chatty.port, "Tamsel"));
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

TEST(Elevation, AnElevatedProcessIsToldSoAndLaunchesNothing) {
  // Tests run as root natively and as an administrator under wine.
  ASSERT_TRUE(IsAdminUser());
  EXPECT_EQ(ElevateSelfJson(), "{\"ok\":true,\"already\":true}");
}

TEST(ScheduledExitDeathTest, EndsTheProcessWithCodeZeroAfterTheDelay) {
  EXPECT_EXIT(
      {
        auto t0 = std::chrono::steady_clock::now();
        ScheduleExit(300);
        // Still alive well before the delay...
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(290)) {
          fprintf(stderr, "alive-before-delay\n");
        }
        std::this_thread::sleep_for(std::chrono::seconds(10));
        exit(7);  // never reached when the exit fires
      },
      ::testing::ExitedWithCode(0), "alive-before-delay");
}
