#include "link/frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "link/frame_receiver.h"

namespace zel {
namespace {

TEST(FrameCrcTest, PublishedCheckValue) {
  // CRC-16/ARC catalogue entry: check value over the ASCII digits "123456789".
  const char* digits = "123456789";
  EXPECT_EQ(0xBB3D, ComputeFrameCrc(reinterpret_cast<const uint8_t*>(digits), 9));
  EXPECT_EQ(0x0000, ComputeFrameCrc(nullptr, 0));
}

TEST(FrameCrcTest, SealsTheFixedFrames) {
  std::array<uint8_t, 5> ack = {0x5A, 0x01, 0x05, 0x00, 0x00};
  SetFrameCrc(ack.data(), 5);
  EXPECT_EQ(kAckFrame, ack);
  std::array<uint8_t, 5> nak = {0x5A, 0x01, 0x06, 0xFF, 0xFF};
  SetFrameCrc(nak.data(), 5);
  EXPECT_EQ(kNakFrame, nak);
  std::array<uint8_t, 5> end = {0x5A, 0x01, 0x03, 0, 0};
  SetFrameCrc(end.data(), 5);
  EXPECT_EQ(kEndOfDataFrame, end);
  std::array<uint8_t, 5> logout = {0x5A, 0x01, 0x21, 0, 0};
  SetFrameCrc(logout.data(), 5);
  EXPECT_EQ(kLogoutFrame, logout);
}

TEST(FrameCrcTest, CommandFrameExample) {
  // Command 1, parameter 1 = 2, parameter 2 = 3.
  std::array<uint8_t, 9> frame = {0x5A, 0x05, 0x0F, 0x01, 0x02, 0x00, 0x03, 0xFF, 0xFF};
  SetFrameCrc(frame.data(), 9);
  EXPECT_EQ(0xB4, frame[7]);
  EXPECT_EQ(0x69, frame[8]);
  EXPECT_TRUE(FrameCrcMatches(frame.data()));
  frame[4] ^= 0x01;
  EXPECT_FALSE(FrameCrcMatches(frame.data()));
}

TEST(FrameCrcTest, SystemInformationAndStatusRequests) {
  std::array<uint8_t, 5> info = {0x5A, 0x01, 0x11, 0, 0};
  SetFrameCrc(info.data(), 5);
  EXPECT_EQ((std::array<uint8_t, 5>{0x5A, 0x01, 0x11, 0xC1, 0x9C}), info);
  std::array<uint8_t, 5> status = {0x5A, 0x01, 0x13, 0, 0};
  SetFrameCrc(status.data(), 5);
  EXPECT_EQ((std::array<uint8_t, 5>{0x5A, 0x01, 0x13, 0x40, 0x5D}), status);
}

TEST(FrameCrcTest, FixedFramesCompareFiveBytesOnly) {
  std::array<uint8_t, 8> longer = {0x5A, 0x01, 0x05, 0xC1, 0x93, 0xAA, 0xBB, 0xCC};
  EXPECT_TRUE(IsAckFrame(longer.data()));
  EXPECT_FALSE(IsNakFrame(longer.data()));
  EXPECT_FALSE(IsEndOfDataFrame(longer.data()));
  EXPECT_TRUE(IsNakFrame(kNakFrame.data()));
  std::array<uint8_t, 7> end = {0x5A, 0x01, 0x03, 0x41, 0x91, 0x00, 0x00};
  EXPECT_TRUE(IsEndOfDataFrame(end.data()));
  EXPECT_FALSE(IsAckFrame(end.data()));
  std::array<uint8_t, 5> bad_crc = {0x5A, 0x01, 0x05, 0xC1, 0x94};
  EXPECT_FALSE(IsAckFrame(bad_crc.data()));
  std::array<uint8_t, 5> end_bad_crc = {0x5A, 0x01, 0x03, 0x41, 0x92};
  EXPECT_FALSE(IsEndOfDataFrame(end_bad_crc.data()));
  EXPECT_FALSE(IsAckFrame(nullptr));
  EXPECT_FALSE(IsEndOfDataFrame(nullptr));
  EXPECT_FALSE(FrameCrcMatches(nullptr));
}

TEST(FrameCrcTest, AWalkEndsOnAcknowledgeNegativeAcknowledgeOrEndOfData) {
  EXPECT_TRUE(IsEndOfWalkFrame(kAckFrame.data()));
  EXPECT_TRUE(IsEndOfWalkFrame(kNakFrame.data()));
  EXPECT_TRUE(IsEndOfWalkFrame(kEndOfDataFrame.data()));
  // A record (here a name frame) goes on; so does nothing.
  std::array<uint8_t, 6> record = {0x5A, 0x02, 0x0B, 0x01, 0, 0};
  SetFrameCrc(record.data(), record.size());
  EXPECT_FALSE(IsEndOfWalkFrame(record.data()));
  EXPECT_FALSE(IsEndOfWalkFrame(nullptr));
}

// The receiver fed as a transport would feed it.
class FrameReceiverTest : public ::testing::Test {
 protected:
  HRESULT FeedAll(const std::vector<uint8_t>& bytes, size_t* used = nullptr) {
    return receiver_.Feed(bytes.data(), bytes.size(), used);
  }
  FrameReceiver receiver_;
};

TEST_F(FrameReceiverTest, AssemblesFrameFromChunks) {
  std::vector<uint8_t> frame = {0x5A, 0x05, 0x0F, 0x01, 0x02, 0x00, 0x03, 0xB4, 0x69};
  ASSERT_EQ(S_OK, receiver_.Feed(frame.data(), 1, nullptr));
  EXPECT_EQ(RxStep::kLength, receiver_.step());
  ASSERT_EQ(S_OK, receiver_.Feed(frame.data() + 1, 3, nullptr));
  EXPECT_EQ(RxStep::kData, receiver_.step());
  EXPECT_EQ(9u, receiver_.frame_size());
  ASSERT_EQ(S_OK, receiver_.Feed(frame.data() + 4, 5, nullptr));
  ASSERT_TRUE(receiver_.done());
  ReplyBuffer got = receiver_.TakeFrame();
  ASSERT_NE(nullptr, got);
  EXPECT_EQ(0, std::memcmp(frame.data(), got.get(), 9));
}

TEST_F(FrameReceiverTest, TypeOnlyFrameGoesStraightToCrc) {
  ASSERT_EQ(S_OK, FeedAll({0x5A, 0x01, 0x05}));
  EXPECT_EQ(RxStep::kCrc, receiver_.step());
  ASSERT_EQ(S_OK, FeedAll({0xC1, 0x93}));
  EXPECT_TRUE(receiver_.done());
}

TEST_F(FrameReceiverTest, BadStartByteFailsAtOnce) {
  size_t used = 0;
  EXPECT_EQ(E_FAIL, FeedAll({0x00, 0x5A, 0x01, 0x05, 0xC1, 0x93}, &used));
  EXPECT_EQ(1u, used);
  EXPECT_FALSE(receiver_.done());
}

TEST_F(FrameReceiverTest, CrcMismatchFails) {
  EXPECT_EQ(E_FAIL, FeedAll({0x5A, 0x01, 0x05, 0xC1, 0x94}));
  EXPECT_EQ(nullptr, receiver_.TakeFrame());
}

TEST_F(FrameReceiverTest, LengthZeroRefusedBeforeAnyStore) {
  size_t used = 0;
  EXPECT_EQ(E_FAIL, FeedAll({0x5A, 0x00, 0x05, 0xC1, 0x93}, &used));
  EXPECT_EQ(2u, used);
  EXPECT_EQ(RxStep::kStart, receiver_.step());
}

TEST_F(FrameReceiverTest, StopsAtEndOfFrame) {
  size_t used = 0;
  ASSERT_EQ(S_OK, FeedAll({0x5A, 0x01, 0x05, 0xC1, 0x93, 0x5A, 0x01}, &used));
  EXPECT_TRUE(receiver_.done());
  EXPECT_EQ(5u, used);
}

TEST_F(FrameReceiverTest, LongestFrame) {
  std::vector<uint8_t> frame(kMaxFrameSize, 0x77);
  frame[0] = 0x5A;
  frame[1] = 0xFF;
  SetFrameCrc(frame.data(), kMaxFrameSize);
  ASSERT_EQ(S_OK, FeedAll(frame));
  ASSERT_TRUE(receiver_.done());
  EXPECT_EQ(kMaxFrameSize, receiver_.frame_size());
  ReplyBuffer got = receiver_.TakeFrame();
  EXPECT_EQ(0, std::memcmp(frame.data(), got.get(), kMaxFrameSize));
}

}  // namespace
}  // namespace zel
