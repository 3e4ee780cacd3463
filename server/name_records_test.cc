// Name records: the name frames of the names upload, and the stored forms of names and friendly
// names, including streams that end inside a record and length fields that claim too much.
#include "server/name_records.h"

#include <gtest/gtest.h>

#include "testing/frames.h"

namespace zel {
namespace {

// 5A L 0B, then the data.
Bytes NameFrame(std::initializer_list<uint8_t> data) { return SealFrame(0x0B, Bytes(data)); }

TEST(NameFrameTest, NumberWidthFollowsTheLengthByte) {
  NameRecord r;
  // Length 16: one-byte number, 13-byte field.
  Bytes f16 = NameFrame({2, 7, 'L', 'A', 'M', 'P', 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(16, f16[1]);
  ASSERT_EQ(S_OK, ParseNameFrame(f16.data(), &r));
  EXPECT_EQ((NameRecord{2, 7, "LAMP"}), r);
  // Length 17: two-byte number, high byte first.
  Bytes f17 = NameFrame({2, 0x01, 0x2C, 'B', 'A', 'R', 'N', 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(17, f17[1]);
  ASSERT_EQ(S_OK, ParseNameFrame(f17.data(), &r));
  EXPECT_EQ((NameRecord{2, 300, "BARN"}), r);
  // Length 19: one-byte number, a 16-byte field filled without a terminator.
  Bytes f19 = NameFrame(
      {1, 9, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'});
  ASSERT_EQ(19, f19[1]);
  ASSERT_EQ(S_OK, ParseNameFrame(f19.data(), &r));
  EXPECT_EQ((NameRecord{1, 9, "ABCDEFGHIJKLMNOP"}), r);
  // Length 20: two-byte number.
  Bytes f20 = NameFrame({7, 0x02, 0x00, 'H', 'I', 0, 'X', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(20, f20[1]);
  ASSERT_EQ(S_OK, ParseNameFrame(f20.data(), &r));
  EXPECT_EQ((NameRecord{7, 512, "HI"}), r) << "the text ends at its first zero byte";
}

TEST(NameFrameTest, FramesTooShortForANumberAreRefused) {
  NameRecord r{5, 5, "kept"};
  Bytes f = NameFrame({1});  // length 2: a type, no number
  EXPECT_EQ(E_FAIL, ParseNameFrame(f.data(), &r));
  EXPECT_EQ((NameRecord{5, 5, "kept"}), r);
  Bytes no_text = NameFrame({1, 0, 3});  // length 4: two-byte number, no text
  ASSERT_EQ(S_OK, ParseNameFrame(no_text.data(), &r));
  EXPECT_EQ((NameRecord{1, 3, ""}), r);
}

TEST(NameRecordStreamTest, RoundTripAndExactBytes) {
  ComPtr<MemoryStream> s = MakeObject<MemoryStream>();
  ASSERT_EQ(S_OK, WriteNameRecord(s.get(), NameRecord{254, 0x0102, "TUNER"}));
  ASSERT_EQ(S_OK, WriteNameRecord(s.get(), NameRecord{1, 2, ""}));
  EXPECT_EQ((Bytes{254, 0, 0, 0, 0x02, 0x01, 5, 0, 0, 0, 'T', 'U', 'N', 'E', 'R',  //
                   1,   0, 0, 0, 2,    0,    0, 0, 0, 0}),
            s->data());
  s->Seek(0, SeekOrigin::kSet, nullptr);
  NameRecord r;
  ASSERT_EQ(S_OK, ReadNameRecord(s.get(), &r));
  EXPECT_EQ((NameRecord{254, 0x0102, "TUNER"}), r);
  ASSERT_EQ(S_OK, ReadNameRecord(s.get(), &r));
  EXPECT_EQ((NameRecord{1, 2, ""}), r);
  EXPECT_EQ(S_FALSE, ReadNameRecord(s.get(), &r));
}

TEST(NameRecordStreamTest, ALengthBeyondTheStreamEndsTheLoading) {
  // A length field of 4 GB in a short stream: the end, without reading or allocating it.
  Bytes bytes = {1, 0, 0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'A'};
  ComPtr<MemoryStream> s = MakeObject<MemoryStream>(bytes);
  NameRecord r;
  EXPECT_EQ(S_FALSE, ReadNameRecord(s.get(), &r));
}

TEST(FriendlyNameStreamTest, ShortTypeIsTheEndAndLaterShortFieldsAreDamage) {
  ComPtr<MemoryStream> full = MakeObject<MemoryStream>();
  ASSERT_EQ(S_OK, WriteFriendlyNameRecord(full.get(), FriendlyNameRecord{9, 3, 1, "Patio"}));
  const Bytes bytes = full->data();
  EXPECT_EQ((Bytes{9, 0, 0, 0, 3, 0, 1, 0, 0, 0, 5, 0, 0, 0, 'P', 'a', 't', 'i', 'o'}), bytes);
  for (size_t cut = 0; cut <= bytes.size(); ++cut) {
    ComPtr<MemoryStream> s = MakeObject<MemoryStream>(Bytes(bytes.begin(), bytes.begin() + cut));
    FriendlyNameRecord r;
    HRESULT expected = cut < 4 ? S_FALSE : cut < bytes.size() ? E_UNEXPECTED : S_OK;
    EXPECT_EQ(expected, ReadFriendlyNameRecord(s.get(), &r)) << cut;
  }
}

}  // namespace
}  // namespace zel
