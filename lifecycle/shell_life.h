// Process lifecycle: the single-instance port file and probe, the per-run
// access token and its file, elevation through the UAC prompt, and the
// delayed exit.
#pragma once

#include <cstdint>
#include <string>

namespace tov {

// <local application data>\<appName>\port.txt (the folder is created), or
// the same under the temporary folder; empty when neither is known.
std::string PortFilePath(const std::string& appName);
// The port in the file as atoi reads its first 63 bytes; 0 when unreadable.
int ReadPortFile(const std::string& appName);
void WritePortFile(const std::string& appName, int port);
void RemovePortFile(const std::string& appName);
// The per-run secret every API request must carry (the environment document
// aside): kAccessTokenBytes random bytes written as kAccessTokenDigits
// lower-case hex digits.
constexpr size_t kAccessTokenBytes = 16;
constexpr size_t kAccessTokenDigits = 2 * kAccessTokenBytes;

// A fresh token from the system's random source; empty when it failed.
std::string NewAccessToken();
// True for exactly kAccessTokenDigits lower-case hexadecimal digits.
bool IsAccessTokenText(const std::string& s);
// token.txt beside the port file (the folder is created); empty when no
// folder is known.
std::string TokenFilePath(const std::string& appName);
// Writes the token and one "\n"; false when the file cannot be written.
bool WriteTokenFile(const std::string& appName, const std::string& token);
// The token when the file holds a well-formed token and one "\n" and
// nothing else; empty otherwise (missing, empty, too long, not hex).
std::string ReadTokenFile(const std::string& appName);

// True when 127.0.0.1:port answers GET /api/env with "HTTP/1.1 200" and an
// environment document (a JSON object with "ok":true) whose "name" is the
// marker.
bool ProbeOurInstance(int port, const std::string& marker);

// One HTTP/1.1 request to 127.0.0.1:port ("Host: 127.0.0.1", "Connection:
// close", extraHeaders as given, each ending in "\r\n"), waiting at most
// timeoutMs for each receive: the whole answer, head and body, as the server
// sent it until it closed, or empty when nothing came back.
std::string LoopbackRequest(int port, const std::string& method, const std::string& path,
                            const std::string& extraHeaders, const std::string& body,
                            int timeoutMs);

// What the program asks of the system about rights: whether this process is
// an administrator, and to start a program through the UAC prompt. The
// system's own answers are used unless a test puts in answers of its own,
// to see what the program does with either. A null member is the system's.
struct RightsSystem {
  bool (*isAdmin)() = nullptr;
  // As ShellExecuteOpen(L"runas", ...): above 32 when started; otherwise
  // *lastError says why (1223: the user declined the prompt).
  intptr_t (*runElevated)(const std::wstring& exe, const std::wstring& params,
                          uint32_t* lastError) = nullptr;
  // As ScheduleExit.
  void (*scheduleExit)(uint32_t ms) = nullptr;
};
// Puts in `system` for every later call; RightsSystem{} restores the system's.
void SetRightsSystem(const RightsSystem& system);

// The program's one administrator test (the elevation, the Explorer restart
// and /api/env ask it): the test's answer when one is put in, else the
// system's (IsProcessAdmin).
bool IsAdminUser();
// Restarts the program elevated ("runas", "--force-new") and ends this one
// 1.2 s later; the document says what happened.
std::string ElevateSelfJson();
// Ends the process with exit code 0 after ms milliseconds.
void ScheduleExit(uint32_t ms);

}  // namespace tov
