#include "server/http_request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/routes.h"
#include "server/web_shell.h"

namespace tov {

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

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

}  // namespace tov
