// The stored event log: exact bytes of "Events" and "EventsState", what a restart reads back,
// ClearLog's reset, one commit per walk, and every damaged store the load meets.
#include "events/events_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/compound_file.h"
#include "platform/system_log.h"
#include "server/server_test_fixture.h"

namespace zel {
namespace {

using Bytes = std::vector<uint8_t>;

class EventsStoreTest : public ServerTest {
 protected:
  std::string path() const { return dir_ + "/ZELINFO.DAT"; }

  void Open(StorageOpenMode mode = StorageOpenMode::kOpenOrCreate) {
    storage_.reset();
    ASSERT_EQ(S_OK, OpenCompoundFile(path(), mode, storage_.Receive()));
  }
  void Close() { storage_.reset(); }

  Bytes StreamBytes(std::string_view name) {
    ComPtr<IStream> s;
    EXPECT_EQ(S_OK, storage_->OpenStream(name, s.Receive()));
    if (!s) return {};
    uint64_t size = 0;
    EXPECT_EQ(S_OK, s->GetSize(&size));
    Bytes b(size);
    if (size) {
      EXPECT_EQ(S_OK, ReadExact(s.get(), b.data(), static_cast<uint32_t>(size)));
    }
    return b;
  }
  void PutStream(std::string_view name, const Bytes& bytes) {
    ComPtr<IStream> s;
    ASSERT_EQ(S_OK, storage_->CreateStream(name, s.Receive()));
    ASSERT_EQ(S_OK, WriteAll(s.get(), bytes.data(), static_cast<uint32_t>(bytes.size())));
    ASSERT_EQ(S_OK, s->Commit());
  }

  static EntryValues Dated(uint8_t type, double date, uint32_t data) {
    return EntryValues{Variant::I4(type), Variant::FromDate(Date{date}), Variant::UI4(data)};
  }
  static EntryValues Undated(uint8_t type, std::string label, uint32_t data) {
    return EntryValues{Variant::I4(type), Variant::Str(BStr(label)), Variant::UI4(data)};
  }
  static Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
  }
  static Bytes DateEntry(uint32_t type, double date, uint32_t data) {
    Bytes b = Le32(type);
    b.push_back(7);
    b.push_back(0);
    uint8_t raw[8];
    std::memcpy(raw, &date, 8);
    b.insert(b.end(), raw, raw + 8);
    Bytes d = Le32(data);
    b.insert(b.end(), d.begin(), d.end());
    return b;
  }
  static Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  }

  ComPtr<IStorage> storage_;
};

TEST_F(EventsStoreTest, NewStoreGetsAZeroCountAndAnEmptyState) {
  Open();
  {
    EventsStore store;
    std::vector<EntryValues> entries;
    ASSERT_EQ(S_OK, store.Load(storage_.get(), &entries));
    EXPECT_TRUE(entries.empty());
    LastSeenRecord seen{};
    seen[3] = 0x42;  // bytes the stream does not hold keep their value
    ASSERT_EQ(S_OK, store.LoadLastSeen(&seen));
    EXPECT_EQ(0x42, seen[3]);
  }
  Close();
  Open();
  EXPECT_EQ(Le32(0), StreamBytes("Events"));
  EXPECT_EQ(Bytes{}, StreamBytes("EventsState"));
}

TEST_F(EventsStoreTest, WalkWritesExactBytesOldestFirstWithTheStateInOneCommit) {
  Open();
  std::vector<EntryValues> entries;
  LastSeenRecord newest{};
  for (size_t i = 0; i < newest.size(); ++i) newest[i] = static_cast<uint8_t>(0xA0 + i);
  {
    EventsStore store;
    ASSERT_EQ(S_OK, store.Load(storage_.get(), &entries));
    std::vector<EntryValues> walk = {Dated(0x31, 46000.5, 0x00010002), Undated(0x83, "", 0x7F),
                                     Undated(0x04, "Unknown", 0xFF030001)};
    ASSERT_EQ(S_OK, store.CommitWalk(walk, &newest));
    EXPECT_EQ(3u, store.count());
    // The bytes are on disk before the store is released: a second reader sees them.
    std::vector<CompoundStream> streams;
    std::ifstream file(path(), std::ios::binary);
    Bytes image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(S_OK, ParseCompoundFile(image, &streams));
    bool state_on_disk = false;
    for (const CompoundStream& cs : streams) {
      if (cs.name == "EventsState") state_on_disk = cs.data == Bytes(newest.begin(), newest.end());
    }
    EXPECT_TRUE(state_on_disk);
  }
  Close();
  Open();
  Bytes unknown = {16, 0, 0, 0, 'U', 0, 'n', 0, 'k', 0, 'n', 0, 'o', 0, 'w', 0, 'n', 0, 0, 0};
  Bytes expected = Cat({Le32(3),
                        DateEntry(0x31, 46000.5, 0x00010002),
                        // an empty label: the text's terminator alone, byte count 2
                        Le32(0x83),
                        {8, 0},
                        Le32(2),
                        {0, 0},
                        Le32(0x7F),
                        Le32(0x04),
                        {8, 0},
                        unknown,
                        Le32(0xFF030001)});
  EXPECT_EQ(expected, StreamBytes("Events"));
  EXPECT_EQ(Bytes(newest.begin(), newest.end()), StreamBytes("EventsState"));

  // A restart reads the same entries back, in order.
  EventsStore again;
  ASSERT_EQ(S_OK, again.Load(storage_.get(), &entries));
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ(VT_DATE, entries[0].time.vt());
  EXPECT_EQ(46000.5, entries[0].time.date().value);
  EXPECT_EQ(0x83, entries[1].type.i4());
  EXPECT_EQ("", entries[1].time.bstr().str());
  EXPECT_EQ("Unknown", entries[2].time.bstr().str());
  EXPECT_EQ(0xFF030001u, entries[2].data.ui4());
  LastSeenRecord seen{};
  ASSERT_EQ(S_OK, again.LoadLastSeen(&seen));
  EXPECT_EQ(newest, seen);
}

TEST_F(EventsStoreTest, AppendsFollowTheStoredEntriesAndRefuseUnstorableTimes) {
  Open();
  EventsStore store;
  std::vector<EntryValues> entries;
  ASSERT_EQ(S_OK, store.Load(storage_.get(), &entries));
  ASSERT_EQ(S_OK, store.CommitWalk(std::vector{Dated(0x30, 1.0, 1)}, nullptr));
  ASSERT_EQ(S_OK, store.CommitWalk(std::vector{Dated(0x31, 2.0, 2), Dated(0x32, 3.0, 3)}, nullptr));
  // A time that is neither a date nor a string: refused, nothing written.
  EntryValues odd{Variant::I4(0x33), Variant::I4(5), Variant::UI4(4)};
  EXPECT_EQ(DISP_E_BADVARTYPE, store.CommitWalk(std::vector{Dated(0x33, 4.0, 4), odd}, nullptr));
  EXPECT_EQ(
      Cat({Le32(3), DateEntry(0x30, 1.0, 1), DateEntry(0x31, 2.0, 2), DateEntry(0x32, 3.0, 3)}),
      StreamBytes("Events"));
}

TEST_F(EventsStoreTest, ResetWritesAZeroCountAndTheNextEntryGoesToOffset4) {
  Open();
  EventsStore store;
  std::vector<EntryValues> entries;
  ASSERT_EQ(S_OK, store.Load(storage_.get(), &entries));
  ASSERT_EQ(S_OK, store.CommitWalk(std::vector{Dated(0x30, 1.0, 1), Dated(0x31, 2.0, 2)}, nullptr));
  ASSERT_EQ(S_OK, store.Reset());
  Bytes after_reset = Cat({Le32(0), DateEntry(0x30, 1.0, 1), DateEntry(0x31, 2.0, 2)});
  EXPECT_EQ(after_reset, StreamBytes("Events"));  // not shortened
  ASSERT_EQ(S_OK, store.CommitWalk(std::vector{Dated(0x36, 9.0, 9)}, nullptr));
  EXPECT_EQ(Cat({Le32(1), DateEntry(0x36, 9.0, 9), DateEntry(0x31, 2.0, 2)}),
            StreamBytes("Events"));
  // The bytes beyond the count are not part of the log.
  EventsStore again;
  ASSERT_EQ(S_OK, again.Load(storage_.get(), &entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(0x36, entries[0].type.i4());
}

TEST_F(EventsStoreTest, ResetBeforeLoadIsUnexpected) {
  EventsStore store;
  EXPECT_EQ(E_UNEXPECTED, store.Reset());
  EXPECT_EQ(E_UNEXPECTED, store.CommitWalk(std::vector{Dated(0x30, 1.0, 1)}, nullptr));
}

TEST_F(EventsStoreTest, CountBeyondTheEntriesFailsTheLoadAndSaysSo) {
  Open();
  PutStream("Events", Cat({Le32(3), DateEntry(0x30, 1.0, 1), DateEntry(0x31, 2.0, 2)}));
  ScopedSystemLogCapture capture;
  EventsStore store;
  std::vector<EntryValues> entries;
  EXPECT_EQ(E_UNEXPECTED, store.Load(storage_.get(), &entries));
  EXPECT_FALSE(store.is_open());
  ASSERT_EQ(1u, capture.reports().size());
  EXPECT_EQ(MSG_EVENTS_UNREADABLE, capture.reports()[0].message_id);
}

TEST_F(EventsStoreTest, EntryCutAtEveryByteFailsTheLoad) {
  ScopedSystemLogCapture capture;
  Bytes whole = Cat({Le32(2), DateEntry(0x30, 1.0, 1), DateEntry(0x31, 2.0, 2)});
  Open();
  for (size_t cut = whole.size() - DateEntry(0, 0, 0).size() + 1; cut < whole.size(); ++cut) {
    PutStream("Events", Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    EventsStore store;
    std::vector<EntryValues> entries;
    EXPECT_EQ(E_UNEXPECTED, store.Load(storage_.get(), &entries)) << "cut at " << cut;
  }
  // A string whose byte count runs past the end is cut too.
  PutStream("Events", Cat({Le32(1), Le32(0x83), {8, 0}, Le32(400), {'a', 0}}));
  EventsStore store;
  std::vector<EntryValues> entries;
  EXPECT_EQ(E_UNEXPECTED, store.Load(storage_.get(), &entries));
}

TEST_F(EventsStoreTest, StreamTooShortForItsCountStartsEmptyWithANewCount) {
  Open();
  PutStream("Events", {0x05, 0x00});
  EventsStore store;
  std::vector<EntryValues> entries;
  ASSERT_EQ(S_OK, store.Load(storage_.get(), &entries));
  EXPECT_TRUE(entries.empty());
  ASSERT_EQ(S_OK, store.CommitWalk(std::vector{Dated(0x30, 1.0, 1)}, nullptr));
  EXPECT_EQ(Cat({Le32(1), DateEntry(0x30, 1.0, 1)}), StreamBytes("Events"));
}

TEST_F(EventsStoreTest, UnreadableTimeKeepsTheGoodEntriesAndSetsTheStreamAside) {
  Open();
  Bytes original = Cat({Le32(3),
                        DateEntry(0x30, 1.0, 1),
                        Le32(0x31),
                        {3, 0},
                        Le32(7),
                        Le32(2),
                        DateEntry(0x32, 3.0, 3)});
  PutStream("Events", original);
  ScopedSystemLogCapture capture;
  EventsStore store;
  std::vector<EntryValues> entries;
  ASSERT_EQ(S_OK, store.Load(storage_.get(), &entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(0x30, entries[0].type.i4());
  ASSERT_EQ(1u, capture.reports().size());
  EXPECT_EQ(MSG_EVENTS_SET_ASIDE, capture.reports()[0].message_id);
  EXPECT_EQ(original, StreamBytes(kEventsSetAsideStreamName));
  // The next walk continues right after the good entry.
  ASSERT_EQ(S_OK, store.CommitWalk(std::vector{Dated(0x36, 9.0, 9)}, nullptr));
  Bytes now = StreamBytes("Events");
  Bytes head = Cat({Le32(2), DateEntry(0x30, 1.0, 1), DateEntry(0x36, 9.0, 9)});
  EXPECT_EQ(head, Bytes(now.begin(), now.begin() + static_cast<long>(head.size())));
  // An odd string length is unreadable the same way.
  PutStream("Events", Cat({Le32(1), Le32(0x83), {8, 0}, Le32(3), {'a', 0, 0}, Le32(0)}));
  EventsStore odd;
  ASSERT_EQ(S_OK, odd.Load(storage_.get(), &entries));
  EXPECT_TRUE(entries.empty());
}

TEST_F(EventsStoreTest, StateLongerOrShorterThan16Bytes) {
  Open();
  PutStream("EventsState", {1, 2, 3});
  EventsStore store;
  std::vector<EntryValues> entries;
  ASSERT_EQ(S_OK, store.Load(storage_.get(), &entries));
  LastSeenRecord seen{};
  seen.fill(0xEE);
  ASSERT_EQ(S_OK, store.LoadLastSeen(&seen));
  EXPECT_EQ(1, seen[0]);
  EXPECT_EQ(3, seen[2]);
  EXPECT_EQ(0xEE, seen[3]);
  PutStream("EventsState", Bytes(20, 0x11));
  ASSERT_EQ(S_OK, store.LoadLastSeen(&seen));
  EXPECT_EQ(0x11, seen[15]);
}

}  // namespace
}  // namespace zel
