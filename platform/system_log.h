// The system log: where the service host reports that the server started, stopped or failed,
// and that the resource catalogue could not be loaded. Each report is one message id of the
// catalogue's message table and a status code.
//
// A report goes to journald (identifier "ZelCommSrv", the event source; priority from the
// message id's severity bits; the fields ZEL_MESSAGE_ID, ZEL_STATUS and, when given,
// ZEL_DETAIL). Without a journal socket (containers, CI) it goes to syslog(3), and without a
// syslog socket either, to stderr. Tests install a sink that receives the reports instead.
//
// Thread contract: ReportEvent may be called from any thread; a sink may be called on any of
// them, one report at a time. SetSystemLogSinkForTesting and ScopedSystemLogCapture belong to
// test set-up and tear-down.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "platform/sync.h"

namespace zel {

inline constexpr std::string_view kEventSource = "ZelCommSrv";

// Severity from the top two bits of a message id: 0 success, 1 informational, 2 warning,
// 3 error.
enum class EventSeverity { kSuccess = 0, kInformational = 1, kWarning = 2, kError = 3 };
EventSeverity SeverityOf(uint32_t message_id);
// The syslog priority of a message id: LOG_ERR, LOG_WARNING or LOG_INFO.
int PriorityOf(uint32_t message_id);

struct SystemLogReport {
  uint32_t message_id = 0;
  HRESULT code = S_OK;
  int priority = 0;
  std::string message;  // as FormatEventMessage gives it
  std::string extra;
};

// The message text of `message_id` from the process resource library with every "%1"
// replaced by the code as 0x%08X, and " (extra)" appended when extra is given. Without a text
// for the id (no catalogue, as when the catalogue is what failed to load):
// "Unknown Error (event 0x%08X): 0x%08X".
std::string FormatEventMessage(uint32_t message_id, HRESULT code, std::string_view extra = {});

// Writes one report to the system log.
void ReportEvent(uint32_t message_id, HRESULT code, std::string_view extra = {});

// A diagnostic line at debug priority (message id 0, code S_OK): to the journal or syslog
// where they exist; without either it is dropped rather than written to stderr. A test sink
// receives it like any report.
void ReportDebug(std::string_view text);

// Where reports go when no sink is installed, decided from the sockets that exist.
enum class SystemLogBackend { kJournal, kSyslog, kStderr };
// The journal's socket (/run/systemd/journal/socket) first, then syslog's (/dev/log).
SystemLogBackend SelectSystemLogBackend();
SystemLogBackend SelectSystemLogBackend(const std::string& journal_socket,
                                        const std::string& syslog_socket);

// Test seam: a sink receives every report instead of the system log (null restores the log).
using SystemLogSink = std::function<void(const SystemLogReport&)>;
void SetSystemLogSinkForTesting(SystemLogSink sink);

// Collects the reports made during its life. REQUIRES: no report is in flight on another thread
// when it is destroyed.
class ScopedSystemLogCapture {
 public:
  ScopedSystemLogCapture();
  ~ScopedSystemLogCapture();
  ScopedSystemLogCapture(const ScopedSystemLogCapture&) = delete;
  ScopedSystemLogCapture& operator=(const ScopedSystemLogCapture&) = delete;

  std::vector<SystemLogReport> reports() const;

 private:
  mutable Mutex mu_;
  std::vector<SystemLogReport> reports_ ZEL_GUARDED_BY(mu_);
};

}  // namespace zel
