// Process lifecycle: the single-instance port file and probe, elevation
// through the UAC prompt, and the delayed exit.
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
// True when 127.0.0.1:port answers GET /api/env with a text holding "200"
// and the marker.
bool ProbeOurInstance(int port, const std::string& marker);

bool IsAdminUser();
// Restarts the program elevated ("runas", "--force-new") and ends this one
// 1.2 s later; the document says what happened.
std::string ElevateSelfJson();
// Ends the process with exit code 0 after ms milliseconds.
void ScheduleExit(uint32_t ms);

}  // namespace tov
