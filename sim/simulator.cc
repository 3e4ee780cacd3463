#include "sim/simulator.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <utility>

#include "platform/sync.h"
#include "sim/event_log.h"
#include "sim/handlers.h"
#include "sim/object_state.h"

namespace zel::sim {
namespace {

using nlohmann::json;

// Raw mode: bytes pass unchanged in both directions (no echo, no line editing, no CR/NL
// translation, no flow-control characters), 8 data bits.
HRESULT MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return HresultFromErrno(errno);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (tcsetattr(fd, TCSANOW, &t) != 0) return HresultFromErrno(errno);
  return S_OK;
}

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

std::string ToLine(json reply) {
  return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Refuse(const std::string& reason) {
  return ToLine(json{{"ok", false}, {"error", reason}});
}

}  // namespace

Simulator::Simulator(Scenario scenario) { state_.scenario = std::move(scenario); }

Simulator::~Simulator() { Stop(); }

HRESULT Simulator::Start() {
  if (thread_.joinable()) return S_FALSE;
  HRESULT hr = OpenTerminal();
  if (Failed(hr)) return hr;
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    hr = HresultFromErrno(errno);
    CloseFd(&slave_fd_);
    CloseFd(&master_fd_);
    return hr;
  }
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
  return S_OK;
}

HRESULT Simulator::OpenTerminal() {
  HRESULT hr = S_OK;
  master_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_fd_ < 0) return HresultFromErrno(errno);
  std::array<char, 128> name{};
  if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0 ||
      ptsname_r(master_fd_, name.data(), name.size()) != 0) {
    hr = HresultFromErrno(errno);
  }
  if (Succeeded(hr) && fcntl(master_fd_, F_SETFL, O_NONBLOCK) != 0) hr = HresultFromErrno(errno);
  if (Succeeded(hr)) {
    slave_fd_ = open(name.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_fd_ < 0) hr = HresultFromErrno(errno);
  }
  if (Succeeded(hr)) hr = MakeRaw(slave_fd_);
  if (Succeeded(hr)) hr = MakeRaw(master_fd_);
  if (Failed(hr)) {
    CloseFd(&slave_fd_);
    CloseFd(&master_fd_);
    return hr;
  }
  device_path_ = name.data();
  return S_OK;
}

HRESULT Simulator::UnplugSerial() { return ChangeLine(LineChange::kUnplug); }

HRESULT Simulator::PlugSerial() { return ChangeLine(LineChange::kPlug); }

HRESULT Simulator::ChangeLine(LineChange change) {
  if (!thread_.joinable() || stopping_) return E_FAIL;
  uint64_t target;
  {
    MutexLock g(&mu_);
    line_change_ = change;
    target = line_changes_done_ + 1;
  }
  uint64_t one = 1;
  (void)!write(wake_fd_, &one, sizeof one);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  MutexLock g(&mu_);
  while (line_changes_done_ < target) {
    if (!line_cv_.WaitUntil(&mu_, deadline)) return E_ABORT;
  }
  return line_change_result_;
}

void Simulator::ApplyLineChange() {
  LineChange change;
  {
    MutexLock g(&mu_);
    change = std::exchange(line_change_, LineChange::kNone);
  }
  if (change == LineChange::kNone) return;
  HRESULT hr = S_OK;
  if (change == LineChange::kUnplug) {
    CloseFd(&slave_fd_);
    CloseFd(&master_fd_);
  } else if (master_fd_ < 0) {
    hr = OpenTerminal();
    if (Succeeded(hr) && !link_path_.empty()) hr = CreateLink(link_path_);
  }
  MutexLock g(&mu_);
  line_change_result_ = hr;
  ++line_changes_done_;
  line_cv_.SignalAll();
}

void Simulator::Stop() {
  stopping_ = true;
  uint64_t one = 1;
  if (thread_.joinable()) {
    (void)!write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  if (udp_thread_.joinable()) {
    (void)!write(udp_wake_fd_, &one, sizeof one);
    udp_thread_.join();
  }
  CloseFd(&udp_wake_fd_);
  CloseFd(&udp_fd_);
  CloseFd(&udp_stray_fd_);
  udp_port_ = 0;
  CloseFd(&wake_fd_);
  CloseFd(&slave_fd_);
  CloseFd(&master_fd_);
  if (!link_path_.empty()) {
    unlink(link_path_.c_str());
    link_path_.clear();
  }
}

HRESULT Simulator::CreateLink(const std::string& path) {
  if (device_path_.empty()) return E_FAIL;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    // Only a stale link is replaced: a real file or device at the path is left alone.
    if (!S_ISLNK(st.st_mode)) return HresultFromErrno(EEXIST);
    if (unlink(path.c_str()) != 0) return HresultFromErrno(errno);
  }
  if (symlink(device_path_.c_str(), path.c_str()) != 0) return HresultFromErrno(errno);
  link_path_ = path;
  return S_OK;
}

void Simulator::SetFrameObserver(std::function<void(const Bytes&)> observer) {
  observer_ = std::move(observer);
}

void Simulator::InjectFault(Fault fault) {
  MutexLock g(&mu_);
  faults_.Add(std::move(fault));
}

void Simulator::ClearFaults() {
  MutexLock g(&mu_);
  faults_.Clear();
}

std::vector<Bytes> Simulator::ReceivedFrames() const {
  MutexLock g(&mu_);
  return frames_;
}

void Simulator::ClearReceivedFrames() {
  MutexLock g(&mu_);
  frames_.clear();
}

bool Simulator::WaitForFrames(size_t n, Millis timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock g(&mu_);
  while (frames_.size() < n) {
    if (!frames_cv_.WaitUntil(&mu_, deadline)) return frames_.size() >= n;
  }
  return true;
}

std::vector<CommandRecord> Simulator::Commands() const {
  MutexLock g(&mu_);
  return state_.commands;
}

void Simulator::WithState(const std::function<void(SimState&)>& fn) {
  MutexLock g(&mu_);
  fn(state_);
}

void Simulator::Run() {
  RequestReader reader;
  std::array<uint8_t, 512> buffer;
  std::vector<RequestFrame> frames;
  while (!stopping_) {
    std::array<pollfd, 2> fds = {pollfd{master_fd_, POLLIN, 0}, pollfd{wake_fd_, POLLIN, 0}};
    // A frame left half-received for a second is dropped, as a controller's receiver would.
    int n = poll(fds.data(), fds.size(), reader.partial() ? 1000 : -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (n == 0) {
      reader.Reset();
      continue;
    }
    if (fds[1].revents != 0) {
      if (stopping_) break;
      // A line change: the eventfd is emptied, a frame half-received is dropped with the line.
      uint64_t count = 0;
      (void)!read(wake_fd_, &count, sizeof count);
      ApplyLineChange();
      reader.Reset();
      continue;
    }
    if (fds[0].revents & POLLIN) {
      for (;;) {
        ssize_t got = read(master_fd_, buffer.data(), buffer.size());
        if (got <= 0) break;
        reader.Feed(buffer.data(), static_cast<size_t>(got), &frames);
      }
      for (const RequestFrame& f : frames) Answer(f);
      frames.clear();
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      // No terminal end open (cannot happen while slave_fd_ is held): do not spin.
      if (!Pause(10)) break;
    }
  }
}

WirePlan Simulator::Respond(const RequestFrame& request) {
  if (observer_) observer_(request.raw);
  MutexLock g(&mu_);
  frames_.push_back(request.raw);
  frames_cv_.SignalAll();
  Reply reply;
  if (request.crc_ok) {
    HandleRequest(state_, request, &reply);
  } else {
    // A frame whose CRC does not match is refused, so the server sees a prompt failure
    // instead of waiting out its read time-out.
    reply.frame = NakFrame();
  }
  return faults_.Apply(reply.frame, reply.send);
}

void Simulator::Answer(const RequestFrame& request) {
  WirePlan plan = Respond(request);
  if (!plan.send) return;
  for (const WirePiece& piece : plan.pieces) {
    if (!Pause(piece.pause_ms, plan.abandon_on_request)) return;
    if (!WriteAll(piece.bytes)) return;
  }
}

bool Simulator::WriteAll(const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    std::array<pollfd, 2> fds = {pollfd{master_fd_, POLLOUT, 0}, pollfd{wake_fd_, POLLIN, 0}};
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return false;
    if (fds[1].revents != 0 || stopping_) return false;
  }
  return true;
}

bool Simulator::Pause(int ms, bool until_request) {
  if (ms <= 0) return !stopping_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return !stopping_;
    // The request itself stays queued on the terminal for the main loop to read and answer.
    std::array<pollfd, 2> fds = {pollfd{wake_fd_, POLLIN, 0}, pollfd{master_fd_, POLLIN, 0}};
    int n = poll(fds.data(), until_request ? 2 : 1, static_cast<int>(left.count()));
    if (n > 0 || stopping_) return false;
  }
}

std::string Simulator::ApplyControl(std::string_view line) {
  json request = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (request.is_discarded() || !request.is_object()) return Refuse("not a JSON object");
  if (request.contains("fault")) {
    Fault fault;
    std::string error;
    if (Failed(ParseFault(request, &fault, &error))) return Refuse(error);
    InjectFault(std::move(fault));
    return ToLine(json{{"ok", true}});
  }
  if (auto clear = request.find("clear"); clear != request.end()) {
    MutexLock g(&mu_);
    if (*clear == "faults") {
      faults_.Clear();
    } else if (*clear == "frames") {
      frames_.clear();
      datagrams_.clear();
    } else if (*clear == "commands") {
      state_.commands.clear();
    } else {
      return Refuse("\"clear\" takes \"faults\", \"frames\" or \"commands\"");
    }
    return ToLine(json{{"ok", true}});
  }
  if (auto set = request.find("set"); set != request.end()) {
    if (!set->is_object()) return Refuse("\"set\" takes an object");
    MutexLock g(&mu_);
    // Check every field before changing any, so a refused line changes nothing.
    PrivateKey key = state_.scenario.private_key;
    for (const auto& [key_name, value] : set->items()) {
      bool ok =
          ((key_name == "probe_ack" || key_name == "logged_in") && value.is_boolean()) ||
          (key_name == "access_code" && value.is_string() && value.get<std::string>().size() == 4 &&
           value.get<std::string>().find_first_not_of("0123456789") == std::string::npos) ||
          (key_name == "private_key" && value.is_string() &&
           Succeeded(ParseFullPrivateKey(value.get<std::string>(), &key)));
      if (!ok) return Refuse("cannot set \"" + key_name + "\" to " + ToLine(value));
    }
    for (const auto& [key_name, value] : set->items()) {
      if (key_name == "probe_ack") state_.scenario.probe_ack = value.get<bool>();
      if (key_name == "logged_in") state_.logged_in = value.get<bool>();
      if (key_name == "access_code") state_.scenario.access_code = value.get<std::string>();
      // A new key applies from the next handshake on.
      if (key_name == "private_key") state_.scenario.private_key = key;
    }
    return ToLine(json{{"ok", true}});
  }
  if (auto codes = request.find("system_events"); codes != request.end()) {
    std::vector<uint16_t> parsed;
    std::string error;
    if (Failed(ParseSystemEventCodes(*codes, &parsed, &error))) return Refuse(error);
    MutexLock g(&mu_);
    SystemEventQueue& queue = SystemEvents(state_);
    if (queue.codes.size() + parsed.size() > kMaxQueuedCodes) {
      return Refuse("the system event queue holds at most " + std::to_string(kMaxQueuedCodes) +
                    " codes");
    }
    queue.codes.insert(queue.codes.end(), parsed.begin(), parsed.end());
    return ToLine(json{{"ok", true}, {"queued", queue.codes.size()}});
  }
  if (auto zone = request.find("zone"); zone != request.end()) {
    // A zone's sensor changes: its condition (the status byte's low two bits) takes the new
    // value and the controller queues the zone's system event, as a door opening would.
    const json& z = *zone;
    if (!z.is_object() || !z.contains("number") || !z["number"].is_number_unsigned() ||
        z["number"].get<uint64_t>() < 1 || z["number"].get<uint64_t>() > 511 ||
        !z.contains("condition") || !z["condition"].is_number_unsigned() ||
        z["condition"].get<uint64_t>() > 3) {
      return Refuse("\"zone\" takes {\"number\": 1 to 511, \"condition\": 0 to 3}");
    }
    const auto number = static_cast<uint16_t>(z["number"].get<uint64_t>());
    const auto condition = static_cast<uint8_t>(z["condition"].get<uint64_t>());
    MutexLock g(&mu_);
    auto it = Objects(state_).zones.find(number);
    if (it == Objects(state_).zones.end()) {
      return Refuse("the scenario has no zone " + std::to_string(number));
    }
    it->second.status = static_cast<uint8_t>((it->second.status & ~3u) | condition);
    const auto code = static_cast<uint16_t>(0x0400 | (condition != 0 ? 0x0200 : 0) | number);
    SystemEvents(state_).codes.push_back(code);
    return ToLine(json{{"ok", true}, {"status", it->second.status}, {"code", code}});
  }
  if (auto udp = request.find("udp"); udp != request.end()) {
    if (*udp != "forget_session") return Refuse("\"udp\" takes \"forget_session\"");
    ForgetUdpSession();
    return ToLine(json{{"ok", true}});
  }
  if (auto serial = request.find("serial"); serial != request.end()) {
    if (*serial != "unplug" && *serial != "plug") {
      return Refuse("\"serial\" takes \"unplug\" or \"plug\"");
    }
    HRESULT hr = *serial == "unplug" ? UnplugSerial() : PlugSerial();
    if (Failed(hr)) {
      std::array<char, 16> code{};
      std::snprintf(code.data(), code.size(), "0x%08X", static_cast<unsigned>(hr));
      return Refuse(std::string("the line could not be changed: ") + code.data());
    }
    if (*serial == "unplug") return ToLine(json{{"ok", true}});
    return ToLine(json{{"ok", true}, {"device", device_path_}});
  }
  if (auto reboot = request.find("reboot"); reboot != request.end()) {
    if (*reboot != true) return Refuse("\"reboot\" takes true");
    MutexLock g(&mu_);
    // A controller coming back from a power cycle: nobody is logged in, the network session
    // is gone and every walk in progress starts again from its first frame. Its objects, its
    // event log and the faults it was told to commit stay as they were.
    state_.logged_in = false;
    state_.udp = UdpSession();
    state_.setup_upload = SetupUpload();
    state_.names_upload = NamesUpload();
    state_.metadata_walk = FrameSequence();
    state_.event_log.walking = false;
    ++state_.reboots;
    return ToLine(json{{"ok", true}, {"reboots", state_.reboots}});
  }
  if (auto query = request.find("query"); query != request.end()) {
    MutexLock g(&mu_);
    if (*query == "units") {
      json list = json::array();
      for (const auto& [number, unit] : Objects(state_).units) {
        list.push_back(json{
            {"number", number}, {"status", unit.status}, {"time_remaining", unit.time_remaining}});
      }
      return ToLine(json{{"ok", true}, {"units", list}});
    }
    if (*query == "datagrams") {
      json list = json::array();
      for (const Bytes& d : datagrams_) list.push_back(ToHex(d));
      return ToLine(json{{"ok", true}, {"datagrams", list}});
    }
    if (*query == "frames") {
      json list = json::array();
      for (const Bytes& f : frames_) list.push_back(ToHex(f));
      return ToLine(json{{"ok", true}, {"frames", list}});
    }
    if (*query == "commands") {
      json list = json::array();
      for (const CommandRecord& c : state_.commands) {
        list.push_back(json{
            {"command", c.command}, {"parameter1", c.parameter1}, {"parameter2", c.parameter2}});
      }
      return ToLine(json{{"ok", true}, {"commands", list}});
    }
    if (*query == "log") {
      LoadScenarioLog(state_.scenario.document, &state_.event_log);
      json list = json::array();
      // Newest first, as the controller lists them.
      for (auto it = state_.event_log.records.rbegin(); it != state_.event_log.records.rend();
           ++it) {
        list.push_back(ToHex(*it));
      }
      return ToLine(json{{"ok", true}, {"log", list}});
    }
    if (*query == "state") {
      return ToLine(json{{"ok", true},
                         {"logged_in", state_.logged_in},
                         {"probe_ack", state_.scenario.probe_ack},
                         {"faults", faults_.size()},
                         {"frames", frames_.size()},
                         {"system_events_queued", SystemEvents(state_).codes.size()},
                         {"system_events_sent", SystemEvents(state_).sent},
                         {"udp_session", state_.udp.secure},
                         {"reboots", state_.reboots}});
    }
    return Refuse(
        "\"query\" takes \"frames\", \"datagrams\", \"commands\", \"log\", \"units\" or "
        "\"state\"");
  }
  if (auto record = request.find("log_event"); record != request.end()) {
    Bytes frame;
    std::string error;
    if (Failed(EventRecordFrame(*record, &frame, &error))) return Refuse(error);
    MutexLock g(&mu_);
    LoadScenarioLog(state_.scenario.document, &state_.event_log);
    AppendEventRecord(&state_.event_log, std::move(frame));
    return ToLine(json{{"ok", true}, {"records", state_.event_log.records.size()}});
  }
  if (auto roll = request.find("roll_log"); roll != request.end()) {
    if (!roll->is_number_integer() || roll->get<int64_t>() < 0) {
      return Refuse("\"roll_log\" takes the number of oldest records to drop");
    }
    MutexLock g(&mu_);
    LoadScenarioLog(state_.scenario.document, &state_.event_log);
    RollEventLog(&state_.event_log, roll->get<size_t>());
    return ToLine(json{{"ok", true}, {"records", state_.event_log.records.size()}});
  }
  return Refuse(
      "nothing to do: expected \"fault\", \"clear\", \"set\", \"query\", \"log_event\", "
      "\"roll_log\", \"system_events\", \"reboot\" or \"udp\"");
}

}  // namespace zel::sim
