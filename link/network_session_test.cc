// The session pieces without a socket: AES against published vectors, sequence numbers, the
// session key, block masking and the private key's text form.
#include "link/network_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "link/frame.h"

namespace zel {
namespace {

using Bytes = std::vector<uint8_t>;

PrivateKey Key(std::initializer_list<uint8_t> bytes) {
  PrivateKey k{};
  std::copy(bytes.begin(), bytes.end(), k.begin());
  return k;
}

// FIPS-197 Appendix C.1 (AES-128): key 000102...0F, plaintext 00112233...FF.
TEST(SessionCipherTest, Fips197AppendixC1) {
  PrivateKey key = Key({0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
                        0x0C, 0x0D, 0x0E, 0x0F});
  const Bytes plain = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                       0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  const Bytes cipher = {0x69, 0xC4, 0xE0, 0xD8, 0x6A, 0x7B, 0x04, 0x30,
                        0xD8, 0xCD, 0xB7, 0x80, 0x70, 0xB4, 0xC5, 0x5A};
  SessionCipher aes;
  ASSERT_EQ(S_OK, aes.SetKey(key));
  // Two blocks in one call: ECB encrypts each on its own.
  Bytes block = plain;
  block.insert(block.end(), plain.begin(), plain.end());
  ASSERT_EQ(S_OK, aes.Encrypt(block.data(), 32));
  EXPECT_EQ(cipher, Bytes(block.begin(), block.begin() + 16));
  EXPECT_EQ(cipher, Bytes(block.begin() + 16, block.end()));
  ASSERT_EQ(S_OK, aes.Decrypt(block.data(), 32));
  EXPECT_EQ(plain, Bytes(block.begin(), block.begin() + 16));
  EXPECT_EQ(plain, Bytes(block.begin() + 16, block.end()));
}

TEST(SessionCipherTest, RefusesPartialBlocksAndMissingKey) {
  SessionCipher aes;
  uint8_t block[16] = {};
  EXPECT_EQ(E_UNEXPECTED, aes.Encrypt(block, 16));
  ASSERT_EQ(S_OK, aes.SetKey(PrivateKey{}));
  EXPECT_EQ(E_INVALIDARG, aes.Encrypt(block, 15));
  EXPECT_EQ(E_INVALIDARG, aes.Decrypt(block, 17));
}

TEST(SequenceTest, ZeroIsNeverSent) {
  EXPECT_EQ(1, NextSequence(0));
  EXPECT_EQ(0xFFFF, NextSequence(0xFFFE));
  EXPECT_EQ(1, NextSequence(0xFFFF));
  EXPECT_EQ(2, NextSequence(1));
}

TEST(SessionKeyTest, OnlyBytesElevenToFifteenChange) {
  PrivateKey key = Key({0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B,
                        0x1C, 0x1D, 0x1E, 0x1F});
  SessionId id = {0x01, 0x02, 0x04, 0x08, 0xF0};
  PrivateKey session = DeriveSessionKey(key, id);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(key[i], session[i]) << i;
  EXPECT_EQ(0x1B ^ 0x01, session[11]);
  EXPECT_EQ(0x1C ^ 0x02, session[12]);
  EXPECT_EQ(0x1D ^ 0x04, session[13]);
  EXPECT_EQ(0x1E ^ 0x08, session[14]);
  EXPECT_EQ(0x1F ^ 0xF0, session[15]);
}

TEST(MaskTest, FirstTwoBytesOfEveryBlockTakeTheSequence) {
  Bytes two(32, 0xAA);
  MaskBlocks(two.data(), 32, 0x0102);
  Bytes expected(32, 0xAA);
  expected[0] = 0xAA ^ 0x02;
  expected[1] = 0xAA ^ 0x01;
  expected[16] = 0xAA ^ 0x02;
  expected[17] = 0xAA ^ 0x01;
  EXPECT_EQ(expected, two);
}

TEST(MaskTest, SealThenOpenGivesTheBlocksBack) {
  SessionCipher aes;
  ASSERT_EQ(S_OK, aes.SetKey(Key({1, 2, 3})));
  Bytes data = {0x5A, 0x01, 0x05, 0xC1, 0x93};
  data.resize(16);
  Bytes sealed = data;
  ASSERT_EQ(S_OK, aes.Seal(sealed.data(), 16, 0x0304));
  // Sealing is masking then encrypting: decrypting alone shows the masked bytes.
  Bytes masked = sealed;
  ASSERT_EQ(S_OK, aes.Decrypt(masked.data(), 16));
  EXPECT_EQ(0x5A ^ 0x04, masked[0]);
  EXPECT_EQ(0x01 ^ 0x03, masked[1]);
  EXPECT_EQ(0x05, masked[2]);
  ASSERT_EQ(S_OK, aes.Open(sealed.data(), 16, 0x0304));
  EXPECT_EQ(data, sealed);
}

TEST(PacketTest, HeaderIsLowByteFirst) {
  uint8_t packet[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  WritePacketHeader(packet, 0xBEEF, kPacketFrame);
  EXPECT_EQ(0xEF, packet[0]);
  EXPECT_EQ(0xBE, packet[1]);
  EXPECT_EQ(0x10, packet[2]);
  EXPECT_EQ(0x00, packet[3]);
  EXPECT_EQ(0xBEEF, PacketSequence(packet));
  EXPECT_EQ(16u, PaddedSize(9));
  EXPECT_EQ(32u, PaddedSize(17));
  EXPECT_EQ(16u, PaddedSize(16));
}

TEST(PrivateKeyTextTest, RoundTripInUpperCase) {
  const std::string text = "00-1F-A0-FF-3C-91-0E-A7-52-D8-1B-66-F4-29-8D-C3";
  PrivateKey key{};
  ASSERT_EQ(S_OK, ParsePrivateKey(text, &key));
  EXPECT_EQ(text, FormatPrivateKey(key));
  EXPECT_EQ(kPrivateKeyTextLength, FormatPrivateKey(key).size());
  ASSERT_EQ(S_OK, ParsePrivateKey("ab-cd-ef-0a-1b-2c-3d-4e-5f-6a-7b-8c-9d-ae-bf-c0", &key));
  EXPECT_EQ("AB-CD-EF-0A-1B-2C-3D-4E-5F-6A-7B-8C-9D-AE-BF-C0", FormatPrivateKey(key));
}

// Every form of text: what it leaves in a key that was 0x11 throughout.
TEST(PrivateKeyTextTest, EveryForm) {
  struct Case {
    const char* text;
    HRESULT result;
    const char* key_after;
  };
  const std::string kOld = "11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11";
  const Case cases[] = {
      {"", S_OK, nullptr},
      {"---", S_OK, nullptr},
      {"AB-CD", S_OK, "AB-CD-11-11-11-11-11-11-11-11-11-11-11-11-11-11"},
      {"--AB---CD--", S_OK, "AB-CD-11-11-11-11-11-11-11-11-11-11-11-11-11-11"},
      {"G1-1G", S_OK, "01-10-11-11-11-11-11-11-11-11-11-11-11-11-11-11"},
      {"zz", S_OK, "00-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11"},
      {"A-BC", E_FAIL, nullptr},
      {"ABC", E_FAIL, nullptr},
      {"AB-CDE", E_FAIL, nullptr},
      {"AB CD", E_FAIL, nullptr},
      {"01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10-11", E_FAIL, nullptr},
      {"01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10-", S_OK,
       "01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10"},
  };
  for (const Case& c : cases) {
    PrivateKey key;
    key.fill(0x11);
    EXPECT_EQ(c.result, ParsePrivateKey(c.text, &key)) << c.text;
    EXPECT_EQ(c.key_after ? c.key_after : kOld, FormatPrivateKey(key)) << c.text;
  }
}

// An answer datagram: header, then the payload sealed under the sequence number.
Bytes Answer(SessionCipher* aes, uint16_t sequence, uint8_t type, Bytes payload) {
  Bytes datagram(kPacketHeaderSize, 0);
  WritePacketHeader(datagram.data(), sequence, type);
  if (payload.size() % kCipherBlockSize == 0) {
    EXPECT_EQ(S_OK, aes->Seal(payload.data(), static_cast<uint32_t>(payload.size()), sequence));
  }
  datagram.insert(datagram.end(), payload.begin(), payload.end());
  return datagram;
}

TEST(FrameAnswerTest, OpensIntoAZeroFilledBufferOfAWholeFrameAtLeast) {
  SessionCipher aes;
  ASSERT_EQ(S_OK, aes.SetKey(Key({9})));
  Bytes frame = {0x5A, 0x01, 0x05, 0xC1, 0x93};
  Bytes plain = frame;
  plain.resize(16);
  Bytes datagram = Answer(&aes, 0x0102, kPacketFrame, plain);
  uint8_t* raw = nullptr;
  ASSERT_EQ(S_OK, OpenFrameAnswer(&aes, datagram.data(), static_cast<uint32_t>(datagram.size()),
                                  0x0102, &raw));
  std::unique_ptr<uint8_t, decltype(&std::free)> reply(raw, &std::free);
  // The payload, then zeros up to the largest frame: a reader that takes the extent from a
  // garbled length byte stays inside the buffer.
  EXPECT_EQ(Bytes(reply.get(), reply.get() + 5), frame);
  EXPECT_EQ(Bytes(kMaxFrameSize - 5, 0), Bytes(reply.get() + 5, reply.get() + kMaxFrameSize));
}

TEST(FrameAnswerTest, RefusesWhatIsNotTheAwaitedFrameAnswer) {
  SessionCipher aes;
  ASSERT_EQ(S_OK, aes.SetKey(Key({9})));
  struct Case {
    const char* what;
    Bytes datagram;
    HRESULT expected;
  };
  const Case cases[] = {
      {"another sequence", Answer(&aes, 7, kPacketFrame, Bytes(16, 1)), E_UNEXPECTED},
      {"another packet type", Answer(&aes, 8, kPacketSecureAnswer, Bytes(16, 1)), E_UNEXPECTED},
      {"no payload", Answer(&aes, 8, kPacketFrame, {}), E_COMM_SHORT_READ},
      {"a partial block", Answer(&aes, 8, kPacketFrame, Bytes(17, 1)), E_COMM_SHORT_READ},
      {"shorter than a header", Bytes{8, 0, kPacketFrame}, E_COMM_SHORT_READ},
  };
  for (const Case& c : cases) {
    Bytes datagram = c.datagram;
    uint8_t* raw = reinterpret_cast<uint8_t*>(1);
    EXPECT_EQ(c.expected, OpenFrameAnswer(&aes, datagram.data(),
                                          static_cast<uint32_t>(datagram.size()), 8, &raw))
        << c.what;
    EXPECT_EQ(nullptr, raw) << c.what;
  }
}

}  // namespace
}  // namespace zel
