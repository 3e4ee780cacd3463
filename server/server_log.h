// The server log SRVRLOG.XML: one entry per notable happening (the service's start and stop, a
// failed clock setting, a refused client login, a failure of the server), each with its time,
// description and status code.
//
// Layout (single-byte text, no declaration, nothing between the parts):
//   <SERVERLOG>ENTRY CR LF ENTRY CR LF ... ENTRY CR LF </SERVERLOG>
//   ENTRY = <LOGENTRY COMPONENT="c" FEATURE="f"><DATETIME>Sun Dec 06 10:15:00 2026</DATETIME>
//           <DESCRIPTION>d</DESCRIPTION><RESULT>message text</RESULT>
//           <HRESULT>0x80004005</HRESULT></LOGENTRY>
// A cleared log is <SERVERLOG> CR LF </SERVERLOG>; its first entry replaces that CR LF. Texts are
// escaped as platform/xml_text.h says; the file is UTF-8, which is what XML reads without a
// declaration.
//
// Where: the folder named by the value "InstallPath" under the settings-registry key that
// string 242 of the catalogue names, else the instance directory.
//
// Durability, beyond a plain append: each entry replaces the file atomically (the old text up to
// its closing tag, the entry, the closing tag; written, flushed with fsync, renamed over the old
// file), so a crash or a kill at any moment leaves the old log or the new one, each of which
// parses. A file that does not end in the closing tag is not ours to cut: it is set aside
// ("SRVRLOG.XML.corrupt-<time>") and a new log starts. When an entry would take the log past its
// size limit (the DWORD value "ServerLogLimit" under the same key, in bytes; 1 MiB when absent or
// 0), the current file becomes SRVRLOG.1.XML (replacing an older one) and a new log starts.
//
// Thread contract: WriteServerLogEntry and ClearServerLogFile may be called from any thread;
// one process-wide mutex serialises them, so entries written at once by two threads are both
// kept (one process writes an instance's log: the daemon).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace zel {

inline constexpr std::string_view kServerLogFileName = "SRVRLOG.XML";
inline constexpr std::string_view kServerLogOldFileName = "SRVRLOG.1.XML";
inline constexpr std::string_view kServerLogOpen = "<SERVERLOG>";
inline constexpr std::string_view kServerLogClose = "</SERVERLOG>";
inline constexpr std::string_view kInstallPathValue = "InstallPath";
inline constexpr std::string_view kServerLogLimitValue = "ServerLogLimit";
inline constexpr uint32_t kDefaultServerLogLimit = 1024 * 1024;
// String 242 of the catalogue: the registry key holding InstallPath and ServerLogLimit.
inline constexpr uint32_t kIdsInstallPathKey = 242;

// The path of SRVRLOG.XML as described above.
std::string ServerLogPath();

// One entry, as its exact text (no CR LF): `when` is local time.
std::string FormatServerLogEntry(std::string_view component, std::string_view feature,
                                 std::string_view description, HRESULT code, std::time_t when);

// Appends an entry stamped with the process clock's wall time. Failure: the system error as a
// status code (callers may ignore it: a log entry never stops the server).
HRESULT WriteServerLogEntry(std::string_view component, std::string_view feature,
                            std::string_view description, HRESULT code);

// Replaces the log with a cleared one: <SERVERLOG> CR LF </SERVERLOG>.
HRESULT ClearServerLogFile();

// Makes WriteServerLogEntry the process's server-log writer (server/server_log_hook.h).
void InstallServerLogFile();

}  // namespace zel
