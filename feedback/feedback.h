// The outbound HTTPS JSON client and feedback submission to the program's
// web service (a primary host, and a fallback host when the primary cannot
// take the report).
#pragma once

#include <cstddef>
#include <string>

namespace tov {

// The longest feedback text the service takes, in Unicode code points.
constexpr size_t kMaxFeedbackChars = 1800;

// Primary and fallback hosts of the web service, from the build settings.
const char* ServiceHost();
const char* FallbackHost();

// One HTTPS request with a JSON body. The HTTP status of the answer (its body
// in response, cut at the first chunk past 64 KiB; error empty), or 0 with a
// Chinese reason in error when no answer came. host may carry ":port"
// (default 443): the text after the last colon is a port when it is all
// digits; a port outside 1-65535 gives the text of a failed connect step.
int HttpRequestJson(const std::wstring& host, const std::wstring& path, const std::string& method,
                    const std::string& body, std::string& response, std::string& error);
int HttpPostJson(const std::wstring& host, const std::wstring& path, const std::string& body,
                 std::string& response, std::string& error);

// "Windows major.minor.build", or "Windows" when unknown.
std::string WindowsVersionString();

// Checks and sends the interface's feedback form (the raw request body) to
// the service; the result document for the interface.
std::string SubmitFeedback(const std::string& appName, const std::string& version,
                           const std::string& body);
// The same against given hosts (tests point it at a local service).
std::string SubmitFeedbackTo(const std::string& primary, const std::string& fallback,
                             const std::string& appName, const std::string& version,
                             const std::string& body);

}  // namespace tov
