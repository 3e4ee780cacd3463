#include "link/request.h"

#include <gtest/gtest.h>

#include "link/frame.h"
#include "testing/fake_link.h"

namespace zel {
namespace {

const Bytes kAck(kAckFrame.begin(), kAckFrame.end());
const Bytes kNak(kNakFrame.begin(), kNakFrame.end());

class RequestTest : public ::testing::Test {
 protected:
  ComPtr<FakeLink> transport_ = MakeObject<FakeLink>();
};

TEST_F(RequestTest, NullTransportFails) {
  ReplyBuffer reply;
  EXPECT_EQ(E_FAIL, SendControllerRequest(nullptr, true, kAckFrame.data(), 5, &reply));
  EXPECT_EQ(E_FAIL, SendControllerCommand(nullptr, 1, 2, 3));
  EXPECT_EQ(E_FAIL, SendItemRequest(nullptr, true, 0x22, 1, &reply));
  EXPECT_EQ(nullptr, reply);
}

TEST_F(RequestTest, AtomicFlagBracketsTheExchangeEvenOnFailure) {
  ReplyBuffer reply;
  transport_->QueueFailure(E_COMM_TIMEOUT);
  EXPECT_EQ(E_COMM_TIMEOUT,
            SendControllerRequest(transport_.get(), true, kAckFrame.data(), 5, &reply));
  EXPECT_EQ(1, transport_->begins());
  EXPECT_EQ(1, transport_->ends());
  EXPECT_EQ(1, transport_->sent()[0].depth);

  transport_->QueueReply(kAck);
  EXPECT_EQ(S_OK, SendControllerRequest(transport_.get(), false, kAckFrame.data(), 5, &reply));
  EXPECT_EQ(1, transport_->begins());
  EXPECT_EQ(0, transport_->sent()[1].depth);
  ASSERT_NE(nullptr, reply);
  EXPECT_TRUE(IsAckFrame(reply.get()));
}

TEST_F(RequestTest, SuccessWithoutReplyIsOutOfMemory) {
  ReplyBuffer reply;
  transport_->QueueReply({});
  EXPECT_EQ(E_OUTOFMEMORY,
            SendControllerRequest(transport_.get(), true, kAckFrame.data(), 5, &reply));
  EXPECT_EQ(nullptr, reply);
  EXPECT_EQ(0, transport_->depth());
}

TEST_F(RequestTest, FailureWithBufferReleasesIt) {
  // A transport that misbehaves by failing and still handing out a buffer: not leaked, not
  // passed on.
  ReplyBuffer reply;
  transport_->QueueAnswer(E_FAIL, kAck);
  EXPECT_EQ(E_FAIL, SendControllerRequest(transport_.get(), true, kAckFrame.data(), 5, &reply));
  EXPECT_EQ(nullptr, reply);
  EXPECT_EQ(1, transport_->buffers_handed_out());
}

TEST_F(RequestTest, CommandFrameLayoutAndByteOrder) {
  transport_->QueueReply(kAck);
  ASSERT_EQ(S_OK, SendControllerCommand(transport_.get(), 0x07, 0x42, 0xABCD));
  ASSERT_EQ(1u, transport_->sent_count());
  const Bytes frame = transport_->frames()[0];
  ASSERT_EQ(9u, frame.size());
  EXPECT_EQ((Bytes{0x5A, 0x05, 0x0F, 0x07, 0x42, 0xAB, 0xCD}),
            Bytes(frame.begin(), frame.end() - 2));
  EXPECT_TRUE(FrameCrcMatches(frame.data()));
  EXPECT_EQ(1, transport_->sent()[0].depth);  // commands are always atomic
  EXPECT_EQ(0, transport_->depth());
}

TEST_F(RequestTest, CommandExampleFrame) {
  transport_->QueueReply(kAck);
  ASSERT_EQ(S_OK, SendControllerCommand(transport_.get(), 1, 2, 3));
  EXPECT_EQ((Bytes{0x5A, 0x05, 0x0F, 0x01, 0x02, 0x00, 0x03, 0xB4, 0x69}), transport_->frames()[0]);
}

TEST_F(RequestTest, CommandJudgesTheReply) {
  transport_->QueueReply(kNak);
  EXPECT_EQ(CO_E_NOT_SUPPORTED, SendControllerCommand(transport_.get(), 1, 0, 0));

  Bytes longer = kAck;
  longer.insert(longer.end(), {0x01, 0x02, 0x03});
  transport_->QueueReply(longer);
  EXPECT_EQ(S_OK, SendControllerCommand(transport_.get(), 1, 0, 0));

  Bytes other = {0x5A, 0x02, 0x05, 0x00, 0, 0};
  SetFrameCrc(other.data(), 6);
  transport_->QueueReply(other);
  EXPECT_EQ(CO_E_NOT_SUPPORTED, SendControllerCommand(transport_.get(), 1, 0, 0));

  transport_->QueueFailure(E_COMM_TIMEOUT);
  EXPECT_EQ(E_COMM_TIMEOUT, SendControllerCommand(transport_.get(), 1, 0, 0));
  EXPECT_EQ(4, transport_->begins());
  EXPECT_EQ(4, transport_->ends());
}

TEST_F(RequestTest, WriteRequiresAcknowledge) {
  Bytes request = {0x5A, 0x02, 0x30, 0x01, 0, 0};
  SetFrameCrc(request.data(), 6);
  transport_->QueueReply(kAck);
  EXPECT_EQ(S_OK, SendControllerWrite(transport_.get(), false, request.data(), 6));
  transport_->QueueReply(kNak);
  EXPECT_EQ(CO_E_NOT_SUPPORTED, SendControllerWrite(transport_.get(), false, request.data(), 6));
  EXPECT_EQ(0, transport_->begins());
  EXPECT_EQ(request, transport_->frames()[0]);
}

TEST_F(RequestTest, ItemRequestFrameSizes) {
  ReplyBuffer reply;
  Bytes item = {0x5A, 0x03, 0x23, 0x07, 0x01, 0, 0};
  SetFrameCrc(item.data(), 7);
  transport_->QueueReply(item);
  ASSERT_EQ(S_OK, SendItemRequest(transport_.get(), true, 0x22, 255, &reply));
  const Bytes first = transport_->frames()[0];  // frames() is a copy: iterate one copy only
  ASSERT_EQ(7u, first.size());
  EXPECT_EQ((Bytes{0x5A, 0x03, 0x22, 0xFF, 0xFF}), Bytes(first.begin(), first.begin() + 5));
  EXPECT_TRUE(FrameCrcMatches(first.data()));
  ASSERT_NE(nullptr, reply);
  EXPECT_EQ(0x23, reply.get()[2]);

  transport_->QueueReply(item);
  ASSERT_EQ(S_OK, SendItemRequest(transport_.get(), true, 0x22, 0x0102, &reply));
  const Bytes second = transport_->frames()[1];
  ASSERT_EQ(9u, second.size());
  EXPECT_EQ((Bytes{0x5A, 0x05, 0x22, 0x01, 0x02, 0x01, 0x02}),
            Bytes(second.begin(), second.begin() + 7));
  EXPECT_TRUE(FrameCrcMatches(second.data()));
}

TEST_F(RequestTest, ItemRequestNakMeansNoSuchItem) {
  ReplyBuffer reply;
  transport_->QueueReply(kNak);
  EXPECT_EQ(S_FALSE, SendItemRequest(transport_.get(), false, 0x22, 3, &reply));
  EXPECT_EQ(nullptr, reply);
  EXPECT_EQ(1, transport_->buffers_handed_out());
}

TEST(OptionalByteTest, OmittedAndPlainBytes) {
  uint8_t out = 99;
  EXPECT_EQ(S_OK, GetOptionalByte(Variant::Missing(), &out));
  EXPECT_EQ(0, out);
  EXPECT_EQ(S_OK, GetOptionalByte(Variant::UI1(200), &out));
  EXPECT_EQ(200, out);
  EXPECT_EQ(E_POINTER, GetOptionalByte(Variant::I4(1), nullptr));
}

TEST(OptionalByteTest, ConversionsAndOverflow) {
  uint8_t out = 99;
  EXPECT_EQ(S_OK, GetOptionalByte(Variant::Str("255"), &out));
  EXPECT_EQ(255, out);
  EXPECT_EQ(S_OK, GetOptionalByte(Variant::I4(7), &out));
  EXPECT_EQ(7, out);
  EXPECT_EQ(DISP_E_OVERFLOW, GetOptionalByte(Variant::Str("256"), &out));
  EXPECT_EQ(0, out);
  out = 5;
  EXPECT_EQ(DISP_E_OVERFLOW, GetOptionalByte(Variant::I4(-1), &out));
  EXPECT_EQ(0, out);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, GetOptionalByte(Variant::Str("abc"), &out));
}

TEST(StringArrayTest, TagAndElementsAgree) {
  std::vector<BStr> names = {"FRONT DOOR", "", BStr::Null()};
  Variant v;
  ASSERT_EQ(S_OK, MakeStringArrayVariant(names, &v));
  EXPECT_EQ(VT_ARRAY | VT_BSTR, v.vt());
  ASSERT_NE(nullptr, v.array());
  ASSERT_EQ(3u, v.array()->size());
  for (size_t i = 0; i < names.size(); ++i) {
    Variant e;
    ASSERT_EQ(S_OK, v.array()->GetElement(i, &e));
    EXPECT_EQ(VT_BSTR, e.vt());
    EXPECT_EQ(names[i], e.bstr());
  }

  ASSERT_EQ(S_OK, MakeStringArrayVariant({}, &v));
  EXPECT_EQ(VT_ARRAY | VT_BSTR, v.vt());
  EXPECT_EQ(0u, v.array()->size());
}

}  // namespace
}  // namespace zel
