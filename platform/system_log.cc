#include "platform/system_log.h"

// The journal fields are the report's own; the source location of this file would only mislead.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "platform/resource_library.h"
#include "platform/sync.h"

namespace zel {

namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";
constexpr const char* kSyslogSocket = "/dev/log";

Mutex g_sink_mu;
std::shared_ptr<SystemLogSink> g_sink ZEL_GUARDED_BY(g_sink_mu);

// Message ids and codes appear as "0x%08X", the form the status codes use everywhere.
std::string Hex8(uint32_t v) { return StatusHex(static_cast<HRESULT>(v)); }

void WriteSyslog(const SystemLogReport& r) {
  static std::once_flag opened;
  std::call_once(opened, [] {
    // The identifier must outlive every syslog call: a string literal does.
    ::openlog("ZelCommSrv", LOG_PID, LOG_DAEMON);
  });
  ::syslog(r.priority, "%s", r.message.c_str());
}

void WriteStderr(const SystemLogReport& r) {
  const char* level = r.priority <= LOG_ERR       ? "error"
                      : r.priority == LOG_WARNING ? "warning"
                                                  : "info";
  std::fprintf(stderr, "%.*s[%d]: %s %s: %s\n", static_cast<int>(kEventSource.size()),
               kEventSource.data(), static_cast<int>(::getpid()), level, Hex8(r.message_id).c_str(),
               r.message.c_str());
  std::fflush(stderr);
}

bool WriteJournal(const SystemLogReport& r) {
  std::string id = Hex8(r.message_id);
  std::string status = Hex8(static_cast<uint32_t>(r.code));
  int rc;
  if (r.extra.empty()) {
    rc = sd_journal_send("MESSAGE=%s", r.message.c_str(), "PRIORITY=%d", r.priority,
                         "SYSLOG_IDENTIFIER=%.*s", static_cast<int>(kEventSource.size()),
                         kEventSource.data(), "ZEL_MESSAGE_ID=%s", id.c_str(), "ZEL_STATUS=%s",
                         status.c_str(), nullptr);
  } else {
    rc = sd_journal_send("MESSAGE=%s", r.message.c_str(), "PRIORITY=%d", r.priority,
                         "SYSLOG_IDENTIFIER=%.*s", static_cast<int>(kEventSource.size()),
                         kEventSource.data(), "ZEL_MESSAGE_ID=%s", id.c_str(), "ZEL_STATUS=%s",
                         status.c_str(), "ZEL_DETAIL=%s", r.extra.c_str(), nullptr);
  }
  return rc >= 0;
}

}  // namespace

EventSeverity SeverityOf(uint32_t message_id) {
  return static_cast<EventSeverity>(message_id >> 30);
}

int PriorityOf(uint32_t message_id) {
  switch (SeverityOf(message_id)) {
    case EventSeverity::kError:
      return LOG_ERR;
    case EventSeverity::kWarning:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

std::string FormatEventMessage(uint32_t message_id, HRESULT code, std::string_view extra) {
  std::string text;
  auto lib = Resources();
  auto found = lib ? lib->Message(message_id) : std::nullopt;
  text = found ? *found : "Unknown Error (event " + Hex8(message_id) + "): %1";
  std::string hex = Hex8(static_cast<uint32_t>(code));
  for (size_t pos = text.find("%1"); pos != std::string::npos; pos = text.find("%1", pos)) {
    text.replace(pos, 2, hex);
    pos += hex.size();
  }
  if (!extra.empty()) {
    text += " (";
    text += extra;
    text += ")";
  }
  return text;
}

SystemLogBackend SelectSystemLogBackend() {
  return SelectSystemLogBackend(kJournalSocket, kSyslogSocket);
}

SystemLogBackend SelectSystemLogBackend(const std::string& journal_socket,
                                        const std::string& syslog_socket) {
  if (::access(journal_socket.c_str(), F_OK) == 0) return SystemLogBackend::kJournal;
  if (::access(syslog_socket.c_str(), F_OK) == 0) return SystemLogBackend::kSyslog;
  return SystemLogBackend::kStderr;
}

namespace {

// Hands a report to the test sink, else the journal, else syslog, else (when allowed) stderr.
void Deliver(const SystemLogReport& r, bool stderr_allowed) {
  std::shared_ptr<SystemLogSink> sink;
  {
    MutexLock g(&g_sink_mu);
    sink = g_sink;
  }
  if (sink) {
    (*sink)(r);
    return;
  }
  SystemLogBackend backend = SelectSystemLogBackend();
  // A journal that refuses the entry (a stale socket without its daemon) falls back as well.
  if (backend == SystemLogBackend::kJournal && WriteJournal(r)) return;
  if (backend != SystemLogBackend::kStderr && ::access(kSyslogSocket, F_OK) == 0) {
    WriteSyslog(r);
    return;
  }
  if (stderr_allowed) WriteStderr(r);
}

}  // namespace

void ReportEvent(uint32_t message_id, HRESULT code, std::string_view extra) {
  SystemLogReport r;
  r.message_id = message_id;
  r.code = code;
  r.priority = PriorityOf(message_id);
  r.message = FormatEventMessage(message_id, code, extra);
  r.extra = std::string(extra);
  Deliver(r, /*stderr_allowed=*/true);
}

void ReportDebug(std::string_view text) {
  SystemLogReport r;
  r.priority = LOG_DEBUG;
  r.message = std::string(text);
  Deliver(r, /*stderr_allowed=*/false);
}

void SetSystemLogSinkForTesting(SystemLogSink sink) {
  MutexLock g(&g_sink_mu);
  g_sink = sink ? std::make_shared<SystemLogSink>(std::move(sink)) : nullptr;
}

ScopedSystemLogCapture::ScopedSystemLogCapture() {
  SetSystemLogSinkForTesting([this](const SystemLogReport& r) {
    MutexLock g(&mu_);
    reports_.push_back(r);
  });
}

ScopedSystemLogCapture::~ScopedSystemLogCapture() { SetSystemLogSinkForTesting(nullptr); }

std::vector<SystemLogReport> ScopedSystemLogCapture::reports() const {
  MutexLock g(&mu_);
  return reports_;
}

}  // namespace zel
