// The socket wrappers of platform.h whose calls are the same Berkeley socket
// calls on both systems: making, binding, connecting, listening, accepting,
// reading the local address, receiving, sending, shutting down and closing.
// What differs between Winsock and POSIX here is the few names in the block
// below. Start-up, the exclusive bind, the time-outs, the gathered send and
// the machine's address list are each a system's own calls and stay in the
// backends.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstdio>

#include "platform/common/internal.h"
#include "platform/platform.h"

namespace tov {
namespace {

#ifdef _WIN32
using RawSocket = SOCKET;
using AddressLength = int;
using BufferLength = int;
constexpr int kNewSocketFlags = 0;
constexpr int kSendFlags = 0;  // Winsock raises no signal for a closed peer
constexpr int kShutdownSend = SD_SEND;
bool Failed(RawSocket s) {
  return s == INVALID_SOCKET;
}
// Winsock calls are not interrupted by signals.
bool Interrupted() {
  return false;
}
RawSocket AcceptRaw(RawSocket s) {
  return accept(s, nullptr, nullptr);
}
void CloseRaw(RawSocket s) {
  closesocket(s);
}
#else
using RawSocket = int;
using AddressLength = socklen_t;
using BufferLength = size_t;
// Descriptors are not inherited by the programs the stand-in starts.
constexpr int kNewSocketFlags = SOCK_CLOEXEC;
// A peer that has gone must give an error, not the SIGPIPE that ends us.
constexpr int kSendFlags = MSG_NOSIGNAL;
constexpr int kShutdownSend = SHUT_WR;
bool Failed(RawSocket s) {
  return s < 0;
}
bool Interrupted() {
  return errno == EINTR;
}
RawSocket AcceptRaw(RawSocket s) {
  return accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
}
void CloseRaw(RawSocket s) {
  close(s);
}
#endif

RawSocket Raw(Socket s) {
  return static_cast<RawSocket>(s);
}

Socket Wrap(RawSocket s) {
  return Failed(s) ? kBadSocket : static_cast<Socket>(s);
}

sockaddr_in IPv4(uint32_t hostOrderAddress, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(hostOrderAddress);
  return a;
}

// getsockname fills only as much of the address as the socket's family has:
// for anything but IPv4 (a local socket pair, as the request fuzzer uses)
// the port bytes would be whatever was on the stack.
bool LocalIPv4(Socket s, sockaddr_in* a) {
  *a = sockaddr_in{};
  AddressLength len = sizeof *a;
  return getsockname(Raw(s), reinterpret_cast<sockaddr*>(a), &len) == 0 && a->sin_family == AF_INET;
}

}  // namespace

std::string DottedQuad(const unsigned char b[4]) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

Socket SockTcp() {
  return Wrap(socket(AF_INET, SOCK_STREAM | kNewSocketFlags, IPPROTO_TCP));
}

bool SockBind(Socket s, bool anyAddress, int port) {
  sockaddr_in a = IPv4(anyAddress ? INADDR_ANY : INADDR_LOOPBACK, port);
  return bind(Raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

int SockLocalPort(Socket s) {
  sockaddr_in a;
  return LocalIPv4(s, &a) ? ntohs(a.sin_port) : 0;
}

std::string SockLocalAddress(Socket s) {
  sockaddr_in a;
  if (!LocalIPv4(s, &a)) return "";
  return DottedQuad(reinterpret_cast<const unsigned char*>(&a.sin_addr.s_addr));
}

bool SockListen(Socket s, int backlog) {
  return listen(Raw(s), backlog) == 0;
}

Socket SockAccept(Socket s) {
  return Wrap(AcceptRaw(Raw(s)));
}

bool SockConnectLoopback(Socket s, int port) {
  sockaddr_in a = IPv4(INADDR_LOOPBACK, port);
  return connect(Raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

int SockRecv(Socket s, char* buf, int len) {
  int n;
  do {
    n = static_cast<int>(recv(Raw(s), buf, static_cast<BufferLength>(len), 0));
  } while (n < 0 && Interrupted());
  return n;
}

int SockSend(Socket s, const char* buf, int len) {
  int n;
  do {
    n = static_cast<int>(send(Raw(s), buf, static_cast<BufferLength>(len), kSendFlags));
  } while (n < 0 && Interrupted());
  return n;
}

void SockShutdownSend(Socket s) {
  shutdown(Raw(s), kShutdownSend);
}

void SockClose(Socket s) {
  CloseRaw(Raw(s));
}

}  // namespace tov
