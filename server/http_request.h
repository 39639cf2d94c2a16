// Reading one request off a connection and the plain answers to it: the
// head and body within their limits, header values, and refusals. The
// response writer itself (SendResponse) and the per-connection entry
// (HandleOne) are declared in server/web_shell.h.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace tov {

constexpr const char kJsonType[] = "application/json; charset=utf-8";

enum class ReadVerdict {
  Ok,         // head and body are complete
  Dropped,    // closed, failed or too slow before the head ended: no answer
  TooLarge,   // the announced body exceeds kMaxBody: refused unread
  BadLength,  // a negative length, or two lengths that disagree
};

// Reads the request into head (without its blank line) and body.
ReadVerdict ReadRequest(Socket s, std::string* head, std::string* body);

// The values of every header line with this name (given in lower case),
// compared without regard to case, blanks around the value cut.
std::vector<std::string> HeaderValues(const std::string& head, const char* name);

// Refuses a request after its head with the JSON document
// {"ok":false,"message":message}, then shuts our side and drains a little
// of what the peer still sends.
void Refuse(Socket s, int code, const char* text, const char* message);

// True when s begins with prefix.
bool StartsWith(const std::string& s, const char* prefix);

}  // namespace tov
