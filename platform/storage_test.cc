#include "platform/storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/compound_file.h"
#include "platform/compound_file_io.h"
#include "platform/compound_file_samples.h"
#include "platform/file_system.h"
#include "testing/temp_dir.h"

namespace zel {
namespace {

using StreamMap = std::map<std::string, std::vector<uint8_t>>;

StreamMap ToMap(const std::vector<CompoundStream>& streams) {
  StreamMap out;
  for (const CompoundStream& s : streams) out[s.name] = s.data;
  return out;
}

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// A child process running storage_test_helper, with pipes to its standard input and output.
class Helper {
 public:
  explicit Helper(const std::vector<std::string>& args) {
    // Everything the child needs is built before fork: after it, only async-signal-safe calls.
    std::string exe = ZEL_STORAGE_TEST_HELPER;
    std::vector<std::string> copy = args;
    std::vector<char*> argv = {exe.data()};
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Helper() {
    CloseInput();
    if (stdout_ >= 0) close(stdout_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }
  // The next line the helper prints ("" at end of output).
  std::string ReadLine() {
    std::string line;
    char c;
    while (read(stdout_, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
  }
  void CloseInput() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }
  void Kill() { kill(pid_, SIGKILL); }
  // Waits for the helper to end; returns the raw wait status.
  int Wait() {
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ + "/ZELINFO.DAT"; }
  void TearDown() override {
    SetReplaceFaultForTesting(ReplaceStep::kNone, 0);
    SetCommitStepHookForTesting(nullptr);
  }

  ComPtr<IStorage> Open(StorageOpenMode mode, HRESULT* hr = nullptr) {
    ComPtr<IStorage> storage;
    HRESULT result = OpenCompoundFile(path_, mode, storage.Receive());
    if (hr)
      *hr = result;
    else
      EXPECT_EQ(result, S_OK);
    return storage;
  }

  // Creates a stream, writes the bytes and releases it (which commits).
  static void Put(IStorage* storage, std::string_view name, const std::vector<uint8_t>& bytes) {
    ComPtr<IStream> s;
    ASSERT_EQ(storage->CreateStream(name, s.Receive()), S_OK);
    ASSERT_EQ(WriteAll(s.get(), bytes.data(), static_cast<uint32_t>(bytes.size())), S_OK);
  }

  static std::vector<uint8_t> Get(IStorage* storage, std::string_view name) {
    ComPtr<IStream> s;
    EXPECT_EQ(storage->OpenStream(name, s.Receive()), S_OK);
    if (!s) return {};
    uint64_t size = 0;
    EXPECT_EQ(s->GetSize(&size), S_OK);
    std::vector<uint8_t> bytes(size);
    EXPECT_EQ(ReadExact(s.get(), bytes.data(), static_cast<uint32_t>(size)), S_OK);
    return bytes;
  }

  static StreamMap All(IStorage* storage) {
    std::vector<std::string> names;
    EXPECT_EQ(storage->EnumStreams(&names), S_OK);
    StreamMap out;
    for (const std::string& n : names) out[n] = Get(storage, n);
    return out;
  }

  std::vector<uint8_t> FileBytes() {
    std::ifstream in(path_, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
  }

  // What a fresh reader finds on disk right now (committed state only).
  StreamMap OnDisk() {
    std::vector<CompoundStream> streams;
    EXPECT_EQ(ParseCompoundFile(FileBytes(), &streams), S_OK);
    return ToMap(streams);
  }

  void WriteFile(const std::vector<uint8_t>& bytes) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

  TempDir temp_{"store"};
  const std::string dir_ = temp_.path();
  std::string path_;
};

TEST_F(StorageTest, StreamsOfAllSizesSurviveReopen) {
  StreamMap want;
  uint32_t seed = 0;
  for (uint64_t size : {0, 1, 4095, 4096, 4097, 100 * 1024}) {
    want["S" + std::to_string(size)] = SampleBytes(++seed, size);
  }
  {
    ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
    for (const auto& [name, bytes] : want) Put(storage.get(), name, bytes);
  }
  ComPtr<IStorage> storage = Open(StorageOpenMode::kOpenExisting);
  EXPECT_EQ(All(storage.get()), want);
}

TEST_F(StorageTest, OpenModes) {
  HRESULT hr = S_OK;
  Open(StorageOpenMode::kOpenExisting, &hr);
  EXPECT_EQ(hr, STG_E_FILENOTFOUND);
  EXPECT_FALSE(std::filesystem::exists(path_));

  {
    ComPtr<IStorage> storage = Open(StorageOpenMode::kOpenOrCreate);
    EXPECT_TRUE(OnDisk().empty());  // a new store is a valid file from the start
    Put(storage.get(), "Setup", Bytes("config"));
  }
  {
    ComPtr<IStorage> storage = Open(StorageOpenMode::kOpenOrCreate);
    EXPECT_EQ(Get(storage.get(), "Setup"), Bytes("config"));
  }
  {
    ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
    EXPECT_TRUE(All(storage.get()).empty());
    EXPECT_TRUE(OnDisk().empty());
  }

  ComPtr<IStorage> storage;
  EXPECT_EQ(OpenCompoundFile(dir_ + "/no/such/dir/ZELINFO.DAT", StorageOpenMode::kOpenOrCreate,
                             storage.Receive()),
            STG_E_PATHNOTFOUND);
  EXPECT_EQ(OpenCompoundFile(path_, StorageOpenMode::kOpenExisting, nullptr), STG_E_INVALIDPOINTER);
}

TEST_F(StorageTest, StreamReadWriteSeekAndSize) {
  ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
  ComPtr<IStream> s;
  ASSERT_EQ(storage->CreateStream("Events", s.Receive()), S_OK);
  ASSERT_EQ(WriteAll(s.get(), "hello world", 11), S_OK);

  uint64_t pos = 0;
  char buf[100] = {};
  uint32_t got = 0;
  ASSERT_EQ(s->Seek(6, SeekOrigin::kSet, &pos), S_OK);
  EXPECT_EQ(pos, 6u);
  EXPECT_EQ(s->Read(buf, sizeof(buf), &got), S_OK);  // a short read is not an error
  EXPECT_EQ(std::string(buf, got), "world");
  EXPECT_EQ(s->Read(buf, sizeof(buf), &got), S_OK);
  EXPECT_EQ(got, 0u);
  ASSERT_EQ(s->Seek(-5, SeekOrigin::kCurrent, &pos), S_OK);
  EXPECT_EQ(pos, 6u);
  ASSERT_EQ(s->Seek(-1, SeekOrigin::kEnd, &pos), S_OK);
  EXPECT_EQ(pos, 10u);
  EXPECT_EQ(s->Seek(-11, SeekOrigin::kCurrent, &pos), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(s->Seek(0, static_cast<SeekOrigin>(7), &pos), STG_E_INVALIDFUNCTION);

  // Writing past the end fills the gap with zeros; SetSize cuts or extends without moving.
  ASSERT_EQ(s->Seek(13, SeekOrigin::kSet, nullptr), S_OK);
  ASSERT_EQ(WriteAll(s.get(), "!", 1), S_OK);
  uint64_t size = 0;
  ASSERT_EQ(s->GetSize(&size), S_OK);
  EXPECT_EQ(size, 14u);
  ASSERT_EQ(s->SetSize(5), S_OK);
  ASSERT_EQ(s->Commit(), S_OK);
  s = nullptr;
  EXPECT_EQ(Get(storage.get(), "Events"), Bytes("hello"));

  ASSERT_EQ(storage->OpenStream("Events", s.Receive()), S_OK);
  ASSERT_EQ(s->Seek(7, SeekOrigin::kSet, nullptr), S_OK);
  ASSERT_EQ(WriteAll(s.get(), "x", 1), S_OK);
  EXPECT_EQ(Get(storage.get(), "Events"),
            (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', 0, 0, 'x'}));
  EXPECT_EQ(s->Read(nullptr, 1, &got), STG_E_INVALIDPOINTER);
}

TEST_F(StorageTest, StreamTableRules) {
  ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
  ComPtr<IStream> s;
  EXPECT_EQ(storage->OpenStream("Names.2", s.Receive()), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->CreateStream(std::string(32, 'x'), s.Receive()), STG_E_INVALIDNAME);
  EXPECT_EQ(storage->CreateStream("a/b", s.Receive()), STG_E_INVALIDNAME);
  EXPECT_EQ(storage->DestroyElement("Names.2"), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->CreateStream("Setup", nullptr), STG_E_INVALIDPOINTER);

  Put(storage.get(), "FriendlyNames.2", Bytes("abc"));
  EXPECT_EQ(Get(storage.get(), "FRIENDLYNAMES.2"), Bytes("abc"));  // lookup ignores case
  std::vector<std::string> names;
  ASSERT_EQ(storage->EnumStreams(&names), S_OK);
  EXPECT_EQ(names, std::vector<std::string>{"FriendlyNames.2"});  // stored name keeps its case

  // CreateStream on an existing name truncates; objects on the old data are reverted.
  ComPtr<IStream> old;
  ASSERT_EQ(storage->OpenStream("FriendlyNames.2", old.Receive()), S_OK);
  Put(storage.get(), "friendlynames.2", {});
  EXPECT_TRUE(Get(storage.get(), "FriendlyNames.2").empty());
  uint64_t size = 0;
  EXPECT_EQ(old->GetSize(&size), STG_E_REVERTED);
  EXPECT_EQ(old->Write("x", 1, nullptr), STG_E_REVERTED);

  // DestroyElement: gone at once for this store, on disk at the next commit.
  ASSERT_EQ(storage->Commit(), S_OK);
  ASSERT_EQ(storage->DestroyElement("friendlynames.2"), S_OK);
  EXPECT_EQ(storage->OpenStream("FriendlyNames.2", s.Receive()), STG_E_FILENOTFOUND);
  EXPECT_EQ(OnDisk().size(), 1u);
  ASSERT_EQ(storage->Commit(), S_OK);
  EXPECT_TRUE(OnDisk().empty());
}

TEST_F(StorageTest, WritesReachDiskOnlyAtCommitOrRelease) {
  ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
  ComPtr<IStream> s;
  ASSERT_EQ(storage->CreateStream("SystemSetup", s.Receive()), S_OK);
  ASSERT_EQ(WriteAll(s.get(), "abc", 3), S_OK);
  EXPECT_TRUE(OnDisk().empty());
  ASSERT_EQ(s->Commit(), S_OK);
  EXPECT_EQ(OnDisk(), (StreamMap{{"SystemSetup", Bytes("abc")}}));

  // Released with uncommitted writes: committed, not dropped.
  ASSERT_EQ(WriteAll(s.get(), "def", 3), S_OK);
  s = nullptr;
  EXPECT_EQ(OnDisk(), (StreamMap{{"SystemSetup", Bytes("abcdef")}}));
}

TEST_F(StorageTest, CommitGroupsDeferToOutermostEnd) {
  ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
  EXPECT_EQ(storage->EndCommitGroup(), E_UNEXPECTED);
  {
    CommitGroup outer(storage.get());
    Put(storage.get(), "Events", Bytes("e"));  // release inside the group: deferred
    {
      CommitGroup inner(storage.get());
      Put(storage.get(), "EventsState", Bytes("s"));
      EXPECT_EQ(storage->Commit(), S_OK);
      EXPECT_EQ(inner.End(), S_OK);
    }
    EXPECT_TRUE(OnDisk().empty());
    EXPECT_EQ(outer.End(), S_OK);
    EXPECT_EQ(OnDisk(), (StreamMap{{"Events", Bytes("e")}, {"EventsState", Bytes("s")}}));
  }
  // A group left open when the store is released is still committed.
  storage->BeginCommitGroup();
  Put(storage.get(), "Setup", Bytes("x"));
  storage = nullptr;
  EXPECT_EQ(OnDisk().count("Setup"), 1u);
}

TEST_F(StorageTest, FailedCommitKeepsOldStoreAndRetries) {
  ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
  Put(storage.get(), "Setup", Bytes("v1"));
  const StreamMap committed = OnDisk();

  // In place: a failure at any step leaves the committed state readable, and the retry (which
  // rewrites the whole file, not knowing where the failure stopped) lands the new one.
  for (CommitStep step : {CommitStep::kWriteSectors, CommitStep::kSyncSectors,
                          CommitStep::kWriteHeader, CommitStep::kSyncHeader}) {
    ComPtr<IStream> s;
    ASSERT_EQ(storage->CreateStream("Setup", s.Receive()), S_OK);
    ASSERT_EQ(WriteAll(s.get(), "v2", 2), S_OK);
    SetCommitStepHookForTesting([step](CommitStep now) { return now == step ? EIO : 0; });
    EXPECT_EQ(s->Commit(), HresultFromErrno(EIO));
    SetCommitStepHookForTesting(nullptr);
    if (step != CommitStep::kSyncHeader) {
      EXPECT_EQ(OnDisk(), committed);
    }
    s = nullptr;
    EXPECT_EQ(OnDisk(), (StreamMap{{"Setup", Bytes("v2")}}));
    Put(storage.get(), "Setup", Bytes("v1"));
  }

  // A whole-file rewrite (the retry above, a new store) fails without touching the file.
  struct Case {
    ReplaceStep step;
    int err;
    HRESULT want;
  };
  for (Case c : {Case{ReplaceStep::kCreateTemp, EACCES, STG_E_ACCESSDENIED},
                 Case{ReplaceStep::kWrite, ENOSPC, STG_E_MEDIUMFULL},
                 Case{ReplaceStep::kSyncFile, EIO, HresultFromErrno(EIO)},
                 Case{ReplaceStep::kRename, EROFS, STG_E_ACCESSDENIED}}) {
    ComPtr<IStream> s;
    ASSERT_EQ(storage->CreateStream("Setup", s.Receive()), S_OK);
    ASSERT_EQ(WriteAll(s.get(), "v2", 2), S_OK);
    // The in-place commit fails first, so this commit's retry is a rewrite.
    SetCommitStepHookForTesting([](CommitStep) { return EIO; });
    EXPECT_EQ(s->Commit(), HresultFromErrno(EIO));
    SetCommitStepHookForTesting(nullptr);
    const std::vector<uint8_t> before = FileBytes();
    SetReplaceFaultForTesting(c.step, c.err);
    EXPECT_EQ(s->Commit(), c.want);
    EXPECT_EQ(FileBytes(), before);
    EXPECT_EQ(OnDisk(), committed);
    EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp"));
    SetReplaceFaultForTesting(ReplaceStep::kNone, 0);
    s = nullptr;  // the release retries the commit, which now succeeds
    EXPECT_EQ(OnDisk(), (StreamMap{{"Setup", Bytes("v2")}}));
    Put(storage.get(), "Setup", Bytes("v1"));
  }
}

// Appends to a long stream, as each walk of the event log makes: what one commit writes is a
// few sectors, whatever the stream's length, and the file holds exactly the staged streams. The
// longer histories lie beyond the header's 109 FAT sectors (one and two DIFAT sectors).
TEST_F(StorageTest, AnAppendWritesAFewSectorsWhateverTheHistory) {
  for (uint64_t history :
       {uint64_t{64 * 1024}, uint64_t{2 * 1024 * 1024}, uint64_t{10 << 20}, uint64_t{17 << 20}}) {
    ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
    Put(storage.get(), "Setup", SampleBytes(1, 900));
    Put(storage.get(), "Events", SampleBytes(2, history));
    Put(storage.get(), "EventsState", SampleBytes(3, 16));
    ComPtr<IStream> events;
    ASSERT_EQ(storage->OpenStream("Events", events.Receive()), S_OK);
    ASSERT_EQ(events->Seek(0, SeekOrigin::kEnd, nullptr), S_OK);
    uint64_t most = 0;
    uint64_t size_before = std::filesystem::file_size(path_);
    const int walks = history > (7 << 20) ? 12 : 40;
    for (int walk = 0; walk < walks; ++walk) {
      CommitGroup group(storage.get());
      std::vector<uint8_t> entries = SampleBytes(10 + walk, 3 * 22);
      ASSERT_EQ(WriteAll(events.get(), entries.data(), static_cast<uint32_t>(entries.size())),
                S_OK);
      ASSERT_EQ(events->Seek(0, SeekOrigin::kSet, nullptr), S_OK);
      uint32_t count = 1000 + walk;
      ASSERT_EQ(WriteAll(events.get(), &count, 4), S_OK);  // the count in front
      ASSERT_EQ(events->Seek(0, SeekOrigin::kEnd, nullptr), S_OK);
      Put(storage.get(), "EventsState", SampleBytes(100 + walk, 16));
      uint64_t before = StoreCommitBytesWritten();
      ASSERT_EQ(group.End(), S_OK);
      most = std::max(most, StoreCommitBytesWritten() - before);
    }
    // The first and the last sector of Events, a FAT sector or two, the mini stream's sector,
    // the directory, and the header; beyond 7 MB, the DIFAT sectors up to the one naming the
    // FAT sector that moved.
    const uint64_t difat_sectors = history > (7 << 20) ? history / (8 << 20) + 1 : 0;
    EXPECT_LE(most, (10u + difat_sectors) * 512) << "history " << history;
    EXPECT_EQ(OnDisk(), All(storage.get())) << "history " << history;
    // Freed sectors are reused: the file grows by what was appended, plus a few sectors.
    EXPECT_LE(std::filesystem::file_size(path_), size_before + walks * 66 + 16 * 512);
  }
}

// A crash at any step of commits that carry a long stream across the header's 109 FAT sectors
// (the first DIFAT sector appears) and across 109 + 127 (a second one is chained to it), while
// the other streams change as in the test below: every step leaves the state before the commit
// or the state after it, and the store reopens to the last one.
TEST_F(StorageTest, ACrashAtAnyStepOfACommitThatGrowsTheDifatLeavesOldOrNew) {
  constexpr uint64_t kFatSectorBytes = 128 * 512;  // the file one FAT sector maps
  for (uint64_t fat_sectors : {uint64_t{109}, uint64_t{109 + 127}}) {
    SCOPED_TRACE(fat_sectors);
    ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
    // Just short of the boundary (the FAT's own sectors count too): a few appends of 24 KiB
    // carry the file across it.
    Put(storage.get(), "Events",
        SampleBytes(1, fat_sectors * kFatSectorBytes - (fat_sectors + 200) * 512));
    Put(storage.get(), "Setup", SampleBytes(2, 900));
    auto fat_count = [&] {
      std::vector<uint8_t> file = FileBytes();
      uint32_t n = 0;
      std::memcpy(&n, file.data() + 0x2C, 4);  // the header's count of FAT sectors
      return n;
    };
    ASSERT_LE(fat_count(), fat_sectors);
    StreamMap before = All(storage.get());
    StreamMap after;
    int steps = 0;
    SetCommitStepHookForTesting([&](CommitStep) {
      std::vector<CompoundStream> found;
      EXPECT_EQ(ParseCompoundFile(FileBytes(), &found), S_OK);
      StreamMap got = ToMap(found);
      EXPECT_TRUE(got == before || got == after) << "step " << steps;
      ++steps;
      return 0;
    });
    std::mt19937 rng(11);
    for (int round = 0; round < 8; ++round) {
      {
        CommitGroup group(storage.get());
        ComPtr<IStream> events;
        ASSERT_EQ(storage->OpenStream("Events", events.Receive()), S_OK);
        ASSERT_EQ(events->Seek(0, SeekOrigin::kEnd, nullptr), S_OK);
        std::vector<uint8_t> more = SampleBytes(10 + round, 24 * 1024 + rng() % 512);
        ASSERT_EQ(WriteAll(events.get(), more.data(), static_cast<uint32_t>(more.size())), S_OK);
        ASSERT_EQ(events->Seek(0, SeekOrigin::kSet, nullptr), S_OK);
        uint32_t count = static_cast<uint32_t>(round);
        ASSERT_EQ(WriteAll(events.get(), &count, 4), S_OK);
        events = nullptr;
        Put(storage.get(), "EventsState", SampleBytes(100 + round, rng() % 2 ? 16 : 5000));
        if (rng() % 3 == 0) (void)storage->DestroyElement("Setup");
        after = All(storage.get());
        steps = 0;
        ASSERT_EQ(group.End(), S_OK);
      }
      EXPECT_GE(steps, 4) << "round " << round << ": the commit went in place";
      ASSERT_EQ(OnDisk(), after) << "round " << round;
      before = after;
    }
    EXPECT_GT(fat_count(), fat_sectors);
    SetCommitStepHookForTesting(nullptr);
    storage = nullptr;
    ComPtr<IStorage> reopened = Open(StorageOpenMode::kOpenExisting);
    EXPECT_EQ(All(reopened.get()), before);
  }
}

// A crash at any step of any commit leaves the state before it or the state after it. Each
// commit below changes the layout another way: appends, a stream crossing between the mini
// stream and ordinary sectors both ways, streams made, emptied and removed, a long stream cut.
TEST_F(StorageTest, ACrashAtAnyStepOfAnInPlaceCommitLeavesOldOrNew) {
  ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
  std::vector<std::vector<uint8_t>> snapshots;
  SetCommitStepHookForTesting([&](CommitStep) {
    snapshots.push_back(FileBytes());
    return 0;
  });
  std::mt19937 rng(7);
  const std::vector<std::string> names = {"Events", "EventsState", "Names", "Setup", "X"};
  StreamMap before = OnDisk();
  int in_place = 0;
  for (int round = 0; round < 60; ++round) {
    const std::string& name = names[rng() % names.size()];
    snapshots.clear();  // a released stream commits at once, inside the switch
    switch (rng() % 5) {
      case 0:
      case 1: {  // append
        ComPtr<IStream> s;
        if (storage->OpenStream(name, s.Receive()) != S_OK) {
          ASSERT_EQ(storage->CreateStream(name, s.Receive()), S_OK);
        }
        ASSERT_EQ(s->Seek(0, SeekOrigin::kEnd, nullptr), S_OK);
        std::vector<uint8_t> more = SampleBytes(round, rng() % 3000);
        ASSERT_EQ(WriteAll(s.get(), more.data(), static_cast<uint32_t>(more.size())), S_OK);
        break;
      }
      case 2:  // replace with a size around the mini-stream cutoff or far above it
        Put(storage.get(), name,
            SampleBytes(round, rng() % 2 ? 4000 + rng() % 200 : rng() % 20000));
        break;
      case 3: {  // cut short
        ComPtr<IStream> s;
        if (storage->OpenStream(name, s.Receive()) == S_OK) {
          uint64_t size = 0;
          ASSERT_EQ(s->GetSize(&size), S_OK);
          ASSERT_EQ(s->SetSize(size / 3), S_OK);
        }
        break;
      }
      default:
        (void)storage->DestroyElement(name);
        break;
    }
    ASSERT_EQ(storage->Commit(), S_OK);
    StreamMap after = All(storage.get());
    ASSERT_EQ(OnDisk(), after) << "round " << round;
    if (!snapshots.empty()) ++in_place;
    for (size_t i = 0; i < snapshots.size(); ++i) {
      std::vector<CompoundStream> found;
      ASSERT_EQ(ParseCompoundFile(snapshots[i], &found), S_OK) << "round " << round;
      StreamMap got = ToMap(found);
      EXPECT_TRUE(got == before || got == after) << "round " << round << ", step " << i;
    }
    before = after;
  }
  SetCommitStepHookForTesting(nullptr);
  EXPECT_GE(in_place, 50);  // the commits went in place, not through a rewrite
  storage = nullptr;
  ComPtr<IStorage> reopened = Open(StorageOpenMode::kOpenExisting);
  EXPECT_EQ(All(reopened.get()), before);
}

TEST_F(StorageTest, SecondOpenerInThisProcessIsRefused) {
  ComPtr<IStorage> first = Open(StorageOpenMode::kOpenOrCreate);
  HRESULT hr = S_OK;
  for (StorageOpenMode mode :
       {StorageOpenMode::kOpenExisting, StorageOpenMode::kOpenOrCreate, StorageOpenMode::kCreate}) {
    EXPECT_FALSE(Open(mode, &hr));
    EXPECT_EQ(hr, STG_E_SHAREVIOLATION);
  }
  first = nullptr;
  EXPECT_TRUE(Open(StorageOpenMode::kOpenExisting));
}

TEST_F(StorageTest, SecondProcessIsRefused) {
  {
    Helper holder({"hold", path_});
    ASSERT_EQ(holder.ReadLine(), "0x00000000");
    HRESULT hr = S_OK;
    EXPECT_FALSE(Open(StorageOpenMode::kOpenOrCreate, &hr));
    EXPECT_EQ(hr, STG_E_SHAREVIOLATION);
    holder.CloseInput();
    holder.Wait();
  }
  ComPtr<IStorage> storage = Open(StorageOpenMode::kOpenExisting);
  Helper other({"tryopen", path_});
  EXPECT_EQ(other.ReadLine(), "0x80030020");
}

TEST_F(StorageTest, CorruptStoreIsLeftUntouched) {
  std::vector<uint8_t> truncated = SampleImage();
  truncated.resize(truncated.size() / 2);
  for (const auto& [bytes, want] :
       {std::pair{Bytes("not a compound file at all"), STG_E_INVALIDHEADER},
        std::pair{truncated, STG_E_DOCFILECORRUPT}}) {
    WriteFile(bytes);
    for (StorageOpenMode mode : {StorageOpenMode::kOpenExisting, StorageOpenMode::kOpenOrCreate}) {
      HRESULT hr = S_OK;
      EXPECT_FALSE(Open(mode, &hr));
      EXPECT_EQ(hr, want);
      EXPECT_EQ(FileBytes(), bytes);
    }
  }
}

TEST_F(StorageTest, SetAsideCorruptStoreKeepsTheOldBytes) {
  std::tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 5;
  local.tm_hour = 14;
  local.tm_min = 7;
  local.tm_sec = 9;
  local.tm_isdst = -1;
  ScaledClock clock(1);
  clock.SetWallTime(std::mktime(&local));
  ScopedClock scoped(&clock);

  std::string moved;
  EXPECT_EQ(SetAsideCorruptStore(path_, &moved), STG_E_FILENOTFOUND);
  WriteFile(Bytes("garbage one"));
  ASSERT_EQ(SetAsideCorruptStore(path_, &moved), S_OK);
  EXPECT_EQ(moved, path_ + ".corrupt-20240305-140709");
  WriteFile(Bytes("garbage two"));
  ASSERT_EQ(SetAsideCorruptStore(path_, &moved), S_OK);  // same second: a new name
  EXPECT_EQ(moved, path_ + ".corrupt-20240305-140709-2");
  std::ifstream in(moved, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "garbage two");

  // The server then creates a fresh store in its place; an open store is never moved.
  ComPtr<IStorage> storage = Open(StorageOpenMode::kOpenOrCreate);
  EXPECT_EQ(SetAsideCorruptStore(path_, &moved), STG_E_SHAREVIOLATION);
  EXPECT_TRUE(std::filesystem::exists(path_));
}

TEST_F(StorageTest, StreamsMayBeUsedFromSeveralThreads) {
  ComPtr<IStorage> storage = Open(StorageOpenMode::kCreate);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&storage, t] {
      ComPtr<IStream> s;
      ASSERT_EQ(storage->CreateStream("T" + std::to_string(t), s.Receive()), S_OK);
      for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> chunk = SampleBytes(t, 300);
        ASSERT_EQ(WriteAll(s.get(), chunk.data(), static_cast<uint32_t>(chunk.size())), S_OK);
        ASSERT_EQ(s->Commit(), S_OK);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  StreamMap disk = OnDisk();
  ASSERT_EQ(disk.size(), 4u);
  for (const auto& [name, bytes] : disk) EXPECT_EQ(bytes.size(), 20u * 300) << name;
}

// A writer killed at random moments, including in the middle of commits, leaves a store in which
// every stream belongs to one and the same committed generation, and no committed generation is
// lost. The kill comes a random 0-30 ms after the writer reports the store open; a commit (image,
// two fsyncs, rename) takes about that long, so many kills land inside one. Rounds continue past
// 30 until ten generations have been committed, so a slow machine still tests something.
TEST_F(StorageTest, KilledWriterNeverLeavesATornStore) {
  std::mt19937 rng(12345);
  uint64_t highest = 0;
  int rounds = 0;
  int cut_mid_commit = 0;
  for (; rounds < 30 || (highest < 10 && rounds < 150); ++rounds) {
    {
      Helper writer({"crashloop", path_});
      ASSERT_EQ(writer.ReadLine(), "0x00000000");
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 30000));
      writer.Kill();
      int status = writer.Wait();
      ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
    }
    if (std::filesystem::exists(path_ + ".tmp")) ++cut_mid_commit;
    ComPtr<IStorage> storage = Open(StorageOpenMode::kOpenExisting);
    ASSERT_TRUE(storage) << "round " << rounds;
    StreamMap found = All(storage.get());
    if (found.empty()) continue;  // no generation committed yet
    ASSERT_EQ(found.count("Gen"), 1u) << "round " << rounds;
    uint64_t g = 0;
    for (int i = 7; i >= 0; --i) g = (g << 8) | found["Gen"][i];
    EXPECT_EQ(found, ToMap(GenerationStreams(g))) << "round " << rounds << ", generation " << g;
    EXPECT_GE(g, highest) << "a committed generation was lost";
    highest = g;
  }
  RecordProperty("rounds", rounds);
  RecordProperty("kills_inside_a_commit", cut_mid_commit);
  RecordProperty("generations", static_cast<int>(highest));
  EXPECT_GE(highest, 10u) << "the writer barely ran in " << rounds << " rounds";
}

}  // namespace
}  // namespace zel
