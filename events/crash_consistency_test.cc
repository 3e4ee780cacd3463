// The stored event log survives SIGKILL at any moment of a walk: a child process runs the event
// log against the simulated controller's log handlers, logging a record and walking again and
// again, and is killed at a random moment. After each kill the store must hold exactly the
// controller's records 1..k for some k, oldest first, with "EventsState" the record k (nothing
// missing, nothing twice); the next child starts from that store with further records logged
// meanwhile and must take in exactly the ones after k.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "events/event_log.h"
#include "link/frame.h"
#include "model/model_registration.h"
#include "platform/instance_paths.h"
#include "server/server_test_fixture.h"
#include "sim/handlers.h"
#include "testing/fake_link.h"
#include "testing/sanitizers.h"
#include "testing/temp_dir.h"

namespace zel {
namespace {

constexpr int kRounds = 200;
// The controller keeps this many records; older ones roll off.
constexpr uint32_t kLogWindow = 40;

// Record n (from 1): its number in parameters 1 and 2, so every record is a different entry.
Bytes NthRecord(uint32_t n) {
  static const uint8_t kTypes[] = {0x30, 0x31, 0x04, 0x05, 0x82, 0x87, 0x8A, 0x80};
  return sim::MakeFrame(sim::kEventLogRecord,
                        {0, 1, static_cast<uint8_t>(1 + n % 12), static_cast<uint8_t>(1 + n % 28),
                         static_cast<uint8_t>(n % 24), static_cast<uint8_t>(n % 60), kTypes[n % 8],
                         static_cast<uint8_t>(n & 0xFF), 0, static_cast<uint8_t>(n >> 8), 0});
}

// The child: the simulated controller holds records first..last; the event log is loaded from
// the store, takes in what is new, then logs one record after another and walks each time until
// it is killed. Exits 0 only if it was never killed (it is); 2 on a failed check.
[[noreturn]] void RunChild(const std::string& dir, uint32_t first, uint32_t last, uint32_t stored) {
  SetInstanceDir(dir);
  InstallTestResources();
  RegisterServerClasses();
  RegisterModelClasses();
  RegisterEventLogClasses();
  ComPtr<CZelServer> server = MakeObject<CZelServer>();
  if (Failed(server->OpenLocalStore())) _exit(3);

  std::mutex mu;
  sim::SimState controller;
  controller.scenario.probe_ack = true;
  controller.event_log.loaded = true;
  for (uint32_t n = first; n <= last; ++n)
    sim::AppendEventRecord(&controller.event_log, NthRecord(n));
  ComPtr<FakeLink> link = MakeObject<FakeLink>();
  link->SetAnswer([&](const Bytes& request) {
    std::lock_guard<std::mutex> g(mu);
    sim::RequestFrame frame;
    frame.raw = request;
    frame.crc_ok = FrameCrcMatches(request.data());
    sim::Reply reply;
    sim::HandleRequest(controller, frame, &reply);
    return reply.frame;
  });
  if (Failed(server->put_CommunicationsHandler(link.get()))) _exit(3);

  ComPtr<IDispatch> d;
  if (Failed(server->get_Events(d.Receive()))) _exit(3);
  ComPtr<IZelCollection> log;
  if (Failed(QueryAs<IZelCollection>(d.get(), &log))) _exit(3);
  int32_t count = 0;
  (void)log->get_Count(&count);
  if (static_cast<uint32_t>(count) != stored) _exit(2);
  (void)log->put_UpdateInterval(Variant::UI4(0));
  (void)log->Init();
  (void)log->get_Count(&count);
  if (static_cast<uint32_t>(count) != last) _exit(2);
  for (uint32_t n = last + 1;; ++n) {
    {
      std::lock_guard<std::mutex> g(mu);
      sim::AppendEventRecord(&controller.event_log, NthRecord(n));
      if (controller.event_log.records.size() > kLogWindow) {
        sim::RollEventLog(&controller.event_log, 1);
      }
    }
    (void)log->Update(true, kAllElements);
  }
}

struct StoredLog {
  Bytes events;
  Bytes state;
};

StoredLog ReadStore(const std::string& path) {
  StoredLog out;
  ComPtr<IStorage> storage;
  HRESULT hr = OpenCompoundFile(path, StorageOpenMode::kOpenExisting, storage.Receive());
  // Killed before the store was first made: nothing stored.
  if (hr == STG_E_FILENOTFOUND) return out;
  EXPECT_EQ(S_OK, hr);
  if (!storage) return out;
  for (auto [name, bytes] :
       {std::pair{kEventsStreamName, &out.events}, std::pair{kEventsStateStreamName, &out.state}}) {
    ComPtr<IStream> s;
    if (Failed(storage->OpenStream(name, s.Receive()))) continue;
    uint64_t size = 0;
    (void)s->GetSize(&size);
    bytes->resize(size);
    if (size) {
      EXPECT_EQ(S_OK, ReadExact(s.get(), bytes->data(), static_cast<uint32_t>(size)));
    }
  }
  return out;
}

TEST(EventLogCrashTest, SigkillDuringWalksLosesAndDoublesNothing) {
  TempDir temp("events_crash");
  const std::string& dir = temp.path();
  std::string path = temp.File("ZELINFO.DAT");
  std::mt19937 random(20261206);
  uint32_t stored = 0;
  uint32_t longest_seen = 0;
  for (int round = 0; round < kRounds; ++round) {
    // Records logged while no server ran: up to five more than the store holds.
    uint32_t last = stored + random() % 6;
    uint32_t first = last >= kLogWindow ? last - kLogWindow + 1 : 1;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) RunChild(dir, first, last, stored);
    // The kill lands 2 to 42 ms into the child's run (longer where the sanitizers slow it).
    std::this_thread::sleep_for(
        std::chrono::microseconds((2000 + random() % 40000) * kSanitizerSlowdown));
    ASSERT_EQ(0, kill(child, SIGKILL));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": the child ended with "
                                     << WEXITSTATUS(status) << " (2: a count was wrong)";

    StoredLog log = ReadStore(path);
    if (log.events.empty()) {
      ASSERT_EQ(0u, stored) << "round " << round;
      continue;
    }
    DecodedLog decoded = DecodeStoredLog(log.events);
    ASSERT_EQ(StoredLogFault::kNone, decoded.fault) << "round " << round;
    ASSERT_GE(decoded.entries.size(), stored) << "round " << round << ": entries lost";
    for (uint32_t i = 0; i < decoded.entries.size(); ++i) {
      uint32_t n = i + 1;
      std::optional<LastSeenRecord> r = RecordFromFrame(NthRecord(n).data());
      ASSERT_EQ(PackRecordData(*r), decoded.entries[i].data.ui4())
          << "round " << round << ": entry " << n << " is not record " << n;
    }
    stored = static_cast<uint32_t>(decoded.entries.size());
    longest_seen = std::max(longest_seen, stored);
    if (stored > 0) {
      Bytes expected = NthRecord(stored);
      expected.resize(kLastSeenSize);
      ASSERT_EQ(expected, log.state) << "round " << round << ": the last-seen record is not "
                                     << "the newest stored entry";
    }
  }
  // The kills landed late enough for walks to happen at all.
  EXPECT_GT(longest_seen, static_cast<uint32_t>(kRounds));
}

}  // namespace
}  // namespace zel
