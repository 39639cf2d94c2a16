// Reading one request off a connection and the plain answers to it: the
// head split once into its request line and header fields, the body the
// Content-Length field announces, all within one deadline, and refusals.
// The response writer itself (SendResponse) and the per-connection entry
// (HandleOne) are declared in server/web_shell.h.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace tov {

constexpr const char kJsonType[] = "application/json; charset=utf-8";

// A request head, split once. Nothing is ever looked up in the head's text
// or in the target: a field is a line of its own whose name is all that
// stands before its first colon.
struct RequestHead {
  std::string method;  // up to the first space of the request line
  std::string target;  // between its first and second space; empty without a second space
  std::string path;    // the target up to its query
  // Name (ASCII lower case) and value (blanks around it cut), in order; a
  // line without a colon, or whose name before it is no HTTP token (empty,
  // holding a blank or a control character), is no field.
  std::vector<std::pair<std::string, std::string>> fields;
};

// Splits a head (the bytes before the blank line that ends it).
RequestHead ParseRequestHead(const std::string& head);

// The values of every field with this name (given in lower case), in order.
std::vector<std::string> FieldValues(const RequestHead& head, const char* name);

// The same, of a head's text (split for the call).
std::vector<std::string> HeaderValues(const std::string& head, const char* name);

enum class BodyLength {
  None,       // no Content-Length field: no body
  Announced,  // one length (or the same length more than once), within kMaxBody
  TooLarge,   // a length beyond kMaxBody
  Bad,        // a value that is not all digits, or two values that differ
};

// What the Content-Length fields announce, in any letter case; *length is
// set for Announced.
BodyLength AnnouncedLength(const RequestHead& head, size_t* length);

enum class ReadVerdict {
  Ok,         // head and body are complete
  Dropped,    // closed, failed or too slow before the head ended: no answer
  TooLarge,   // the announced body exceeds kMaxBody: refused unread
  BadLength,  // a length that is not a number, or two lengths that disagree
};

// Reads a request's head within the deadline (TickCount64 milliseconds):
// its text into head (without the blank line), what came after it into
// *rest. Dropped when the connection ends, fails or the deadline passes
// first, or the head grows beyond kMaxHead.
ReadVerdict ReadHead(Socket s, uint64_t deadline, std::string* head, std::string* rest);

// Reads the rest of a body of `length` bytes, *body holding what came with
// the head. A peer that stops sending (closes, or stays silent for a whole
// receive time-out) leaves a shorter body; Dropped when the deadline passes
// first.
ReadVerdict ReadBody(Socket s, uint64_t deadline, size_t length, std::string* body);

// Refuses a request after its head with the JSON document
// {"ok":false,"message":message}, then shuts our side and drains a little
// of what the peer still sends, for at most a moment.
void Refuse(Socket s, int code, const char* text, const char* message);

// True when s begins with prefix.
bool StartsWith(const std::string& s, const char* prefix);

}  // namespace tov
