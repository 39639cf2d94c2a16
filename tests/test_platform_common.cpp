// The pieces of the platform that both backends share (platform/common):
// the one ASCII lower-casing, the UTF-8 encoder, the whole-file helpers and
// the socket wrappers. The same cases run natively over the POSIX stand-in
// and under wine as a Windows program, so a difference between the two
// backends shows as a failure in one build.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/fixture.h"

using namespace testsupport;

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

std::string Utf8Of(uint32_t cp) {
  std::string s;
  tov::AppendUtf8(cp, &s);
  return s;
}

}  // namespace

// ---- Text ------------------------------------------------------------------------

TEST(LowerAscii, OnlyTheLettersAToZChange) {
  EXPECT_EQ(tov::LowerAscii(std::string("C:\\Users\\ADMIN\\AppData [Z] @`{")),
            "c:\\users\\admin\\appdata [z] @`{");
  EXPECT_EQ(tov::LowerAscii(std::wstring(L"EXPLORER.EXE")), L"explorer.exe");
  // Letters outside ASCII stay as they are, whatever a locale would say:
  // É, Cyrillic А, dotted İ, the Kelvin sign, a full-width Ａ, Greek Σ.
  const std::wstring others = L"\u00C9\u0410\u0130\u212A\uFF21\u03A3";
  EXPECT_EQ(tov::LowerAscii(others), others);
  // UTF-8 bytes are never mistaken for letters: "ÉA" lowers to "Éa".
  EXPECT_EQ(tov::LowerAscii(std::string("\xC3\x89"
                                        "A")),
            "\xC3\x89"
            "a");
  for (int c = 0; c < 256; ++c) {
    char in = static_cast<char>(c);
    char want = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : in;
    EXPECT_EQ(tov::LowerAscii(in), want) << c;
    EXPECT_EQ(tov::LowerAscii(static_cast<wchar_t>(c)), static_cast<wchar_t>(want & 0xFF)) << c;
  }
}

TEST(AppendUtf8, EachRangeGetsItsLengthAndBadValuesTheReplacement) {
  EXPECT_EQ(Utf8Of(0x00), Bytes({0x00}));
  EXPECT_EQ(Utf8Of(0x7F), Bytes({0x7F}));
  EXPECT_EQ(Utf8Of(0x80), Bytes({0xC2, 0x80}));
  EXPECT_EQ(Utf8Of(0x7FF), Bytes({0xDF, 0xBF}));
  EXPECT_EQ(Utf8Of(0x800), Bytes({0xE0, 0xA0, 0x80}));
  EXPECT_EQ(Utf8Of(0x4E34), "\xE4\xB8\xB4");  // 临
  EXPECT_EQ(Utf8Of(0xFFFF), Bytes({0xEF, 0xBF, 0xBF}));
  EXPECT_EQ(Utf8Of(0x10000), Bytes({0xF0, 0x90, 0x80, 0x80}));
  EXPECT_EQ(Utf8Of(0x1F600), Bytes({0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(Utf8Of(0x10FFFF), Bytes({0xF4, 0x8F, 0xBF, 0xBF}));
  // A surrogate half keeps its own three-byte form; past U+10FFFF is U+FFFD.
  EXPECT_EQ(Utf8Of(0xD83D), Bytes({0xED, 0xA0, 0xBD}));
  EXPECT_EQ(Utf8Of(0x110000), Bytes({0xEF, 0xBF, 0xBD}));
  EXPECT_EQ(Utf8Of(0xFFFFFFFFu), Bytes({0xEF, 0xBF, 0xBD}));
  // It appends.
  std::string s = "a";
  tov::AppendUtf8(0xE9, &s);
  tov::AppendUtf8('b', &s);
  EXPECT_EQ(s,
            "a\xC3\xA9"
            "b");
}

TEST(WideToUtf8, BothBackendsWriteTheSameBytes) {
  EXPECT_EQ(tov::WideToUtf8(L"C:\\\u4E34\u65F6\\\u00E9"), "C:\\\xE4\xB8\xB4\xE6\x97\xB6\\\xC3\xA9");
  EXPECT_EQ(tov::WideToUtf8(L"\U0001F600"), "\xF0\x9F\x98\x80");
  // A lone surrogate half is no character: U+FFFD, as Windows writes it.
  EXPECT_EQ(tov::WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(tov::WideToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(tov::Utf8ToWide(tov::WideToUtf8(L"\u4E34\U0001F600x")), L"\u4E34\U0001F600x");
}

// ---- Whole files -------------------------------------------------------------------

class WholeFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = FreshFixture(std::string("WholeFiles.") + info->name());
  }
  void TearDown() override {
    if (!HasFailure()) RemoveTree(dir_);
  }
  std::wstring dir_;
};

TEST_F(WholeFiles, WhatIsWrittenIsReadBackByteForByte) {
  // Larger than the read buffer, with the bytes a text mode would change or
  // stop at: NUL, CR LF, Ctrl-Z, 0xFF.
  std::string bytes = std::string("\0\r\n\x1a\xff", 5);
  for (size_t i = 0; bytes.size() < 200000; ++i) bytes.push_back(static_cast<char>(i * 7 % 256));
  const std::wstring file = Join(dir_, L"\u4E34\u65F6-data.bin");
  ASSERT_TRUE(tov::WriteWholeFile(file, bytes));
  tov::FileInfo info;
  ASSERT_TRUE(tov::GetFileInfo(file, &info));
  EXPECT_EQ(info.size, bytes.size());
  std::string back = "left over";
  ASSERT_TRUE(tov::ReadWholeFile(file, &back));
  EXPECT_TRUE(back == bytes) << back.size();

  std::string head;
  ASSERT_TRUE(tov::ReadFileHead(file, 10, &head));
  EXPECT_EQ(head, bytes.substr(0, 10));
  ASSERT_TRUE(tov::ReadFileHead(file, 0, &head));
  EXPECT_EQ(head, "");
  ASSERT_TRUE(tov::ReadFileHead(file, bytes.size() + 100, &head));
  EXPECT_TRUE(head == bytes) << head.size();
}

TEST_F(WholeFiles, WritingReplacesWhatWasThere) {
  const std::wstring file = Join(dir_, L"port.txt");
  ASSERT_TRUE(tov::WriteWholeFile(file, "a much longer first text\n"));
  ASSERT_TRUE(tov::WriteWholeFile(file, "short\n"));
  std::string back;
  ASSERT_TRUE(tov::ReadWholeFile(file, &back));
  EXPECT_EQ(back, "short\n");
  ASSERT_TRUE(tov::WriteWholeFile(file, ""));
  ASSERT_TRUE(tov::ReadWholeFile(file, &back));
  EXPECT_EQ(back, "");
  EXPECT_EQ(ListTree(dir_), (Listing{{"port.txt", "file 0"}}));
}

TEST_F(WholeFiles, AMissingFileOrFolderIsAFailureAndCreatesNothing) {
  std::string out;
  EXPECT_FALSE(tov::ReadWholeFile(Join(dir_, L"absent.txt"), &out));
  EXPECT_FALSE(tov::ReadFileHead(Join(dir_, L"absent.txt"), 10, &out));
  EXPECT_FALSE(tov::WriteWholeFile(Join(dir_, L"no-such-folder\\f.txt"), "x"));
  EXPECT_EQ(ListTree(dir_), Listing{});
}

TEST_F(WholeFiles, PathsLongerThanTheOldLimitOf260Work) {
  // What the test makes it removes itself, through the same long-path calls:
  // the fixture's own removal cannot reach that deep on Windows.
  struct DeepTree {
    std::vector<std::wstring> dirs;
    std::wstring file;
    ~DeepTree() {
      if (!file.empty()) tov::DeleteFilePath(file);
      for (auto d = dirs.rbegin(); d != dirs.rend(); ++d) tov::RemoveDirectoryPath(*d);
    }
  } tree;
  std::wstring dir = dir_;
  for (int i = 0; dir.size() < 320; ++i) {
    dir = Join(dir, L"a-rather-long-folder-name-" + std::to_wstring(i));
    ASSERT_TRUE(tov::CreateDir(dir)) << tov::WideToUtf8(dir);
    tree.dirs.push_back(dir);
  }
  const std::wstring file = Join(dir, L"deep.txt");
  ASSERT_GT(file.size(), 260u);
  ASSERT_TRUE(tov::WriteWholeFile(file, "deep\n"));
  tree.file = file;
  std::string back;
  ASSERT_TRUE(tov::ReadWholeFile(file, &back));
  EXPECT_EQ(back, "deep\n");
  ASSERT_TRUE(tov::ReadFileHead(file, 4, &back));
  EXPECT_EQ(back, "deep");
}

// ---- Sockets -----------------------------------------------------------------------

namespace {

// A connected pair over loopback: client_ connected to a listener, server_
// the accepted end. Receives time out after a few seconds, so that a broken
// wrapper fails the test instead of hanging it.
class LoopbackPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tov::NetStartup());
    listener_ = tov::SockTcp();
    ASSERT_NE(listener_, tov::kBadSocket);
    tov::SockSetExclusive(listener_);
    ASSERT_TRUE(tov::SockBind(listener_, false, 0));
    ASSERT_TRUE(tov::SockListen(listener_, 4));
    port_ = tov::SockLocalPort(listener_);
    ASSERT_GT(port_, 0);
    client_ = tov::SockTcp();
    ASSERT_NE(client_, tov::kBadSocket);
    ASSERT_TRUE(tov::SockConnectLoopback(client_, port_));
    server_ = tov::SockAccept(listener_);
    ASSERT_NE(server_, tov::kBadSocket);
    tov::SockSetTimeouts(client_, kWaitMs);
    tov::SockSetTimeouts(server_, kWaitMs);
  }
  void TearDown() override {
    for (tov::Socket s : {client_, server_, listener_})
      if (s != tov::kBadSocket) tov::SockClose(s);
  }
  // Receives until n bytes came or the stream ended or failed.
  static std::string Receive(tov::Socket s, size_t n) {
    std::string got;
    char buf[256];
    while (got.size() < n) {
      int r = tov::SockRecv(s, buf, static_cast<int>(std::min(sizeof buf, n - got.size())));
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }
  static constexpr int kWaitMs = 5000;
  tov::Socket listener_ = tov::kBadSocket, client_ = tov::kBadSocket, server_ = tov::kBadSocket;
  int port_ = 0;
};

}  // namespace

TEST_F(LoopbackPair, BytesGoBothWaysAndBothEndsAreOnLoopback) {
  EXPECT_EQ(tov::SockLocalAddress(client_), "127.0.0.1");
  EXPECT_EQ(tov::SockLocalAddress(server_), "127.0.0.1");
  EXPECT_EQ(tov::SockLocalPort(server_), port_);
  EXPECT_NE(tov::SockLocalPort(client_), port_);
  ASSERT_EQ(tov::SockSend(client_, "GET / HTTP/1.1\r\n", 16), 16);
  EXPECT_EQ(Receive(server_, 16), "GET / HTTP/1.1\r\n");
  // Head and body in one call arrive in order, as one stream.
  ASSERT_EQ(tov::SockSendTwo(server_, "HTTP/1.1 200 OK\r\n\r\n", 19, "body", 4), 23);
  EXPECT_EQ(Receive(client_, 23), "HTTP/1.1 200 OK\r\n\r\nbody");
}

TEST_F(LoopbackPair, AfterShutdownThePeerReadsTheEndAndCanStillSend) {
  ASSERT_EQ(tov::SockSend(server_, "last", 4), 4);
  tov::SockShutdownSend(server_);
  EXPECT_EQ(Receive(client_, 4), "last");
  char c;
  EXPECT_EQ(tov::SockRecv(client_, &c, 1), 0) << "the end of the stream";
  ASSERT_EQ(tov::SockSend(client_, "late", 4), 4);
  EXPECT_EQ(Receive(server_, 4), "late");
}

TEST_F(LoopbackPair, AReceiveWithNothingToReadEndsAtTheTimeOut) {
  tov::SockSetTimeouts(server_, 200);
  char buf[8];
  EXPECT_LT(tov::SockRecv(server_, buf, sizeof buf), 0);
}

TEST_F(LoopbackPair, APortInUseCannotBeBoundAgain) {
  tov::Socket other = tov::SockTcp();
  ASSERT_NE(other, tov::kBadSocket);
  tov::SockSetExclusive(other);
  EXPECT_FALSE(tov::SockBind(other, false, port_));
  EXPECT_FALSE(tov::SockBind(other, true, port_));
  tov::SockClose(other);
}
