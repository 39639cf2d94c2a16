#include "server/http_request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/request_gate.h"
#include "server/routes.h"
#include "server/web_shell.h"
#include "text/text.h"

namespace tov {

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// A field name is an HTTP token: letters, digits and a few marks, nothing
// else (no blank, no control character, no colon).
bool IsTokenName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && (c == '\0' || !strchr("!#$%&'*+-.^_`|~", c))) return false;
  }
  return true;
}

// The longest decimal number a length can be written with before it is
// surely beyond kMaxBody; longer runs of digits are too large whatever they
// say.
constexpr size_t kMaxLengthDigits = 18;

// Receives into buf within the deadline: each wait is cut to what is left
// of it, and to the usual receive time-out. Negative once the deadline has
// passed.
int RecvBefore(Socket s, uint64_t deadline, char* buf, int len) {
  uint64_t now = TickCount64();
  if (now >= deadline) return -1;
  uint64_t left = deadline - now;
  SockSetTimeouts(s, static_cast<int>(left < kIoTimeoutMs ? left : kIoTimeoutMs));
  return SockRecv(s, buf, len);
}

}  // namespace

RequestHead ParseRequestHead(const std::string& head) {
  RequestHead h;
  size_t lineEnd = head.find("\r\n");
  // The request line is taken up to its first line feed, as clients that
  // end it with a bare one still mean it.
  std::string line = head.substr(0, head.find('\n'));
  size_t sp1 = line.find(' ');
  h.method = line.substr(0, sp1);
  size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
  if (sp2 != std::string::npos) h.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  h.path = h.target.substr(0, h.target.find('?'));
  while (lineEnd != std::string::npos) {
    size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    std::string l =
        head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
    size_t colon = l.find(':');
    if (colon == std::string::npos || !IsTokenName(l.substr(0, colon))) continue;
    size_t b = colon + 1, e = l.size();
    while (b < e && IsBlank(l[b])) ++b;
    while (e > b && IsBlank(l[e - 1])) --e;
    h.fields.emplace_back(LowerAscii(l.substr(0, colon)), l.substr(b, e - b));
  }
  return h;
}

std::vector<std::string> FieldValues(const RequestHead& head, const char* name) {
  std::vector<std::string> out;
  for (const auto& field : head.fields)
    if (field.first == name) out.push_back(field.second);
  return out;
}

std::vector<std::string> HeaderValues(const std::string& head, const char* name) {
  return FieldValues(ParseRequestHead(head), name);
}

BodyLength AnnouncedLength(const RequestHead& head, size_t* length) {
  std::vector<std::string> values = FieldValues(head, "content-length");
  if (values.empty()) return BodyLength::None;
  // Every value must be a plain number, and all of them the same number:
  // lengths that disagree make the end of the body a guess.
  std::string first;
  for (const std::string& v : values) {
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) return BodyLength::Bad;
    size_t digits = v.find_first_not_of('0');
    std::string number = digits == std::string::npos ? "0" : v.substr(digits);
    if (&v == &values[0])
      first = number;
    else if (number != first)
      return BodyLength::Bad;
  }
  if (first.size() > kMaxLengthDigits) return BodyLength::TooLarge;
  unsigned long long announced = strtoull(first.c_str(), nullptr, 10);
  if (announced > kMaxBody) return BodyLength::TooLarge;
  *length = static_cast<size_t>(announced);
  return BodyLength::Announced;
}

ReadVerdict ReadHead(Socket s, uint64_t deadline, std::string* head, std::string* rest) {
  std::string raw;
  char buf[8192];
  size_t end = std::string::npos;
  for (;;) {
    int n = RecvBefore(s, deadline, buf, sizeof buf);
    if (n <= 0) return ReadVerdict::Dropped;
    // The blank line may straddle two receives.
    size_t from = raw.size() < 3 ? 0 : raw.size() - 3;
    raw.append(buf, static_cast<size_t>(n));
    end = raw.find("\r\n\r\n", from);
    if (end != std::string::npos) break;
    if (raw.size() > kMaxHead) return ReadVerdict::Dropped;
  }
  // The head with its blank line must fit the limit, however it arrived.
  if (end + 4 > kMaxHead) return ReadVerdict::Dropped;
  *head = raw.substr(0, end);
  *rest = raw.substr(end + 4);
  return ReadVerdict::Ok;
}

ReadVerdict ReadBody(Socket s, uint64_t deadline, size_t length, std::string* body) {
  char buf[8192];
  while (body->size() < length) {
    int n = RecvBefore(s, deadline, buf, sizeof buf);
    if (n <= 0) {
      // A peer that stopped sending leaves a shorter body; one still
      // trickling when the request's time is up gets no answer.
      if (TickCount64() >= deadline) return ReadVerdict::Dropped;
      break;
    }
    body->append(buf, static_cast<size_t>(n));
  }
  if (body->size() > length) body->resize(length);
  return ReadVerdict::Ok;
}

// Refuses a request after its head: the answer goes out, our side is shut,
// and a little of what the peer still sends is read and dropped, because
// closing a socket with unread input resets the connection and the reset can
// destroy the answer before the peer reads it.
void Refuse(Socket s, int code, const char* text, const char* message) {
  SendResponse(s, code, text, kJsonType, FailureJson(message));
  SockShutdownSend(s);
  // A peer that trickles what it still sends holds the connection no longer
  // than kDrainMs.
  uint64_t deadline = TickCount64() + kDrainMs;
  char buf[8192];
  size_t dropped = 0;
  while (dropped < kMaxBody) {
    int n = RecvBefore(s, deadline, buf, sizeof buf);
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

void HandleOne(Socket s, RouteList routes) {
  // One deadline for the request's whole life, head and body: a peer that
  // trickles either holds its connection no longer than that.
  uint64_t deadline = TickCount64() + kRequestDeadlineMs;
  std::string text, body;
  if (ReadHead(s, deadline, &text, &body) != ReadVerdict::Ok) return;
  RequestHead head = ParseRequestHead(text);
  size_t length = 0;
  switch (AnnouncedLength(head, &length)) {
    case BodyLength::TooLarge:
      Refuse(s, 413, "Payload Too Large", "请求内容太大，已拒绝");
      return;
    case BodyLength::Bad:
      Refuse(s, 400, "Bad Request", "请求长度不正确，已拒绝");
      return;
    case BodyLength::None:  // the body is whatever came with the head
    case BodyLength::Announced:
      break;
  }
  // Whoever may not be answered is refused before a byte of the body is
  // read, so that no one without the secret can keep a connection busy.
  if (const char* reason = GateRefusal(s, head)) {
    Refuse(s, 403, "Forbidden", reason);
    return;
  }
  if (ReadBody(s, deadline, length, &body) != ReadVerdict::Ok) return;
  SockSetTimeouts(s, kIoTimeoutMs);
  Route(s, head, body, routes);
}

}  // namespace tov
