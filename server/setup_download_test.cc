#include <gtest/gtest.h>

#include "link/frame.h"
#include "link/walk.h"
#include "server/server_test_fixture.h"
#include "server/setup_block.h"

namespace zel {
namespace {

class SetupDownloadTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    ASSERT_EQ(S_OK, server_->OpenLocalStore());
  }

  std::vector<uint8_t> StoredBlock() {
    ComPtr<IStream> s;
    if (Failed(server_->local_store()->OpenStream("SystemSetup", s.Receive()))) return {};
    uint64_t size = 0;
    EXPECT_EQ(S_OK, s->GetSize(&size));
    std::vector<uint8_t> bytes(size);
    EXPECT_EQ(S_OK, ReadExact(s.get(), bytes.data(), static_cast<uint32_t>(size)));
    return bytes;
  }
  int32_t SetupStatus() {
    int32_t status = -1;
    EXPECT_EQ(S_OK, server_->get_DownloadSetupStatus(&status));
    return status;
  }
};

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i + 1);
  return v;
}

TEST_F(SetupDownloadTest, ThreeBlocksMakeOneArrayAndOneStream) {
  FakeControllerConfig config;
  config.setup = Counting(24);
  config.block_size = 10;  // payloads of 10, 10 and 4 bytes
  FakeLink* t = UseFake(config);
  EXPECT_EQ(dsUnknown, SetupStatus());
  ASSERT_EQ(S_OK, server_->DownloadSetupNow(false));
  EXPECT_EQ(dsCompleted, SetupStatus());
  EXPECT_EQ(Counting(24), server_->SystemSetupBytes());
  EXPECT_EQ(Counting(24), StoredBlock());
  // The request, then one acknowledge per block; the last is answered with the end of data.
  EXPECT_EQ((std::vector<uint8_t>{0x04, 0x05, 0x05, 0x05}), t->types());
  // All inside one bracket, which is released at the end.
  for (const auto& s : t->sent()) EXPECT_TRUE(s.depth > 0);
  t->ClearSent();
  t->QueueReply(AckBytes());
  (void)server_->SetControllerTimeNow();
  EXPECT_TRUE(t->sent()[0].depth > 0);  // locked by its own atomic request only
}

TEST_F(SetupDownloadTest, EndOfDataAtOnceGivesAnEmptyArray) {
  FakeLink* t = UseFake();  // no setup bytes: the first answer is the end of data
  ASSERT_EQ(S_OK, server_->DownloadSetupNow(false));
  EXPECT_EQ(dsCompleted, SetupStatus());
  EXPECT_TRUE(server_->SystemSetupBytes().empty());
  EXPECT_TRUE(StoredBlock().empty());
  EXPECT_EQ((std::vector<uint8_t>{0x04}), t->types());
  Variant v;
  EXPECT_EQ(E_FAIL, server_->SystemParameter(14, &v));  // no setup block to read
}

TEST_F(SetupDownloadTest, NakOrAckEndsTheTransfer) {
  FakeLink* t = UseFake();
  t->QueueReply(SealFrame(0x04, {0, 0, 1, 2, 3}));
  t->QueueReply(NakBytes());
  ASSERT_EQ(S_OK, server_->DownloadSetupNow(false));
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), server_->SystemSetupBytes());
}

TEST_F(SetupDownloadTest, FailureMidwayRestartsFromTheUploadRequest) {
  FakeControllerConfig config;
  config.setup = Counting(8);
  FakeLink* t = UseFake(config);
  // The first block arrives, the next exchange fails: the walk starts over with the upload
  // request instead of acknowledging again, and the block is taken from its start.
  t->QueueReply(SealFrame(0x04, {0, 0, 9, 9, 9}));
  t->QueueFailure(E_COMM_TIMEOUT);
  ASSERT_EQ(S_OK, server_->DownloadSetupNow(false));
  EXPECT_EQ(dsCompleted, SetupStatus());
  EXPECT_EQ(Counting(8), server_->SystemSetupBytes());
  EXPECT_EQ(Counting(8), StoredBlock());
  EXPECT_EQ((std::vector<uint8_t>{0x04, 0x05, 0x04, 0x05}), t->types());
}

TEST_F(SetupDownloadTest, FailureOnEveryAttemptClearsTheBlockAndKeepsThePartialStream) {
  FakeControllerConfig config;
  config.setup = Counting(8);
  FakeLink* t = UseFake(config);
  ASSERT_EQ(S_OK, server_->DownloadSetupNow(false));
  Variant last;
  ASSERT_EQ(S_OK, server_->get_SetupLastDownload(&last));

  clock_.SetWallTime(LocalTime(2030, 1, 1, 0, 0, 0));
  t->ClearSent();
  for (int attempt = 0; attempt < kWalkAttempts; ++attempt) {
    t->QueueReply(SealFrame(0x04, {0, 0, 9, 9, 9}));
    t->QueueFailure(E_COMM_TIMEOUT);
  }
  EXPECT_EQ(E_COMM_TIMEOUT, server_->DownloadSetupNow(false));
  EXPECT_EQ(static_cast<size_t>(2 * kWalkAttempts), t->types().size());
  EXPECT_EQ(dsFailure, SetupStatus());
  EXPECT_TRUE(server_->SystemSetupBytes().empty());           // the old block is gone
  EXPECT_EQ((std::vector<uint8_t>{9, 9, 9}), StoredBlock());  // what arrived was written
  Variant after;
  ASSERT_EQ(S_OK, server_->get_SetupLastDownload(&after));
  EXPECT_EQ(last, after);                    // only a success changes the time
  EXPECT_EQ(ssStarting, server_->status());  // downloads leave the server status alone
}

TEST_F(SetupDownloadTest, FrameTooShortForABlockIsRefused) {
  FakeLink* t = UseFake();
  t->QueueReply(SealFrame(0x04, {0}));  // L = 2: no room for the block header
  EXPECT_EQ(E_FAIL, server_->DownloadSetupNow(false));
  EXPECT_EQ(dsFailure, SetupStatus());
}

TEST_F(SetupDownloadTest, NoTransportIsUnexpected) {
  EXPECT_EQ(E_UNEXPECTED, server_->DownloadSetupNow(false));
  EXPECT_EQ(dsFailure, SetupStatus());
}

TEST_F(SetupDownloadTest, SuccessStoresTheTimeThroughSaveSetup) {
  FakeControllerConfig config;
  config.setup = Counting(5);
  UseFake(config);
  std::time_t when = LocalTime(2026, 2, 3, 4, 5, 6);
  clock_.SetWallTime(when);
  ASSERT_EQ(S_OK, server_->DownloadSetupNow(false));
  Variant last;
  ASSERT_EQ(S_OK, server_->get_SetupLastDownload(&last));
  ASSERT_EQ(VT_DATE, last.vt());
  EXPECT_NEAR(static_cast<double>(when), static_cast<double>(TimeTFromDate(last.date())), 2.0);
  // The "Setup" stream holds it at offset 12.
  ComPtr<IStream> s;
  ASSERT_EQ(S_OK, server_->local_store()->OpenStream("Setup", s.Receive()));
  uint8_t raw[28];
  ASSERT_EQ(S_OK, ReadExact(s.get(), raw, sizeof raw));
  EXPECT_EQ(last, Variant::FromRawBytes(raw + 12));
}

TEST_F(SetupDownloadTest, AsynchronousDownloadRunsOnItsOwnThread) {
  FakeControllerConfig config;
  config.setup = Counting(30);
  FakeLink* t = UseFake(config);
  t->CloseGate();
  ASSERT_EQ(S_OK, server_->DownloadSetupNow(true));
  // The thread is held at its first request: a second asynchronous start is refused.
  ASSERT_TRUE(t->WaitInFlight(std::chrono::milliseconds(5000)));
  ASSERT_EQ(dsDownloading, SetupStatus());
  EXPECT_EQ(E_FAIL, server_->DownloadSetupNow(true));
  t->OpenGate();
  for (int i = 0; i < 5000 && SetupStatus() == dsDownloading; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(dsCompleted, SetupStatus());
  EXPECT_EQ(Counting(30), server_->SystemSetupBytes());
  // Finished: a new one may start.
  EXPECT_EQ(S_OK, server_->DownloadSetupNow(true));
}

TEST_F(SetupDownloadTest, StartLoadsTheStoredBlockWhenNotDownloading) {
  FakeControllerConfig config;
  config.setup = Counting(12);
  FakeLink* t = UseFake(config);
  ASSERT_EQ(S_OK, server_->DownloadSetupNow(false));
  ASSERT_EQ(S_OK, server_->put_DownloadSetup(false));
  server_->ChangeStatus(ssStopped, S_OK);

  // A stored block: no upload at all.
  config.setup = Counting(3);
  t = UseFake(config);
  (void)server_->Start();
  EXPECT_EQ(Counting(12), server_->SystemSetupBytes());
  for (uint8_t type : t->types()) EXPECT_NE(0x04, type);

  // No stored block: it is fetched (and stored), without touching the download's status.
  ASSERT_EQ(S_OK, server_->local_store()->DestroyElement("SystemSetup"));
  t->ClearSent();
  (void)server_->Start();
  EXPECT_EQ(Counting(3), server_->SystemSetupBytes());
  EXPECT_EQ(Counting(3), StoredBlock());
  EXPECT_EQ(dsCompleted, SetupStatus());  // from the first download, unchanged
}

// The payload runs from offset 5 to just before the CRC, whatever the length byte says.
TEST(SetupBlockPayloadTest, PayloadIsLengthLessThreeBytesFromOffsetFive) {
  for (uint32_t length : {1u, 2u, 3u, 4u, 200u, 255u}) {
    Bytes frame(length + kFrameOverhead, 0);
    frame[0] = kFrameStart;
    frame[1] = static_cast<uint8_t>(length);
    std::span<const uint8_t> payload;
    HRESULT hr = SetupBlockPayload(frame.data(), &payload);
    if (length < 3) {
      EXPECT_EQ(E_FAIL, hr) << length;
      continue;
    }
    ASSERT_EQ(S_OK, hr) << length;
    EXPECT_EQ(frame.data() + 5, payload.data()) << length;
    EXPECT_EQ(length - 3, payload.size()) << length;
    EXPECT_EQ(frame.data() + frame.size() - 2, payload.data() + payload.size()) << length;
  }
}

}  // namespace
}  // namespace zel
