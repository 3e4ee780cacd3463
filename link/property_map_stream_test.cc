// The settings stream's records, one row per value kind: the exact bytes each kind is saved as,
// and what a load reads back. A changed tag or width fails its row. (Our variants hold no
// currency kind, so the 64-bit row for it has no value to save.)
#include "link/property_map_stream.h"

#include <gtest/gtest.h>

#include <vector>

namespace zel {
namespace {

using Bytes = std::vector<uint8_t>;

struct RecordRow {
  const char* what;
  Variant value;
  Bytes bytes;
  // What a load gives back: the value itself, unless it went into the stream as its text.
  Variant loaded;
};

std::vector<RecordRow> Rows() {
  return {
      {"unsigned byte", Variant::UI1(4), {0x11, 0x00, 0x04}, Variant::UI1(4)},
      {"16-bit signed", Variant::I2(-2), {0x02, 0x00, 0xFE, 0xFF}, Variant::I2(-2)},
      {"boolean", Variant::Bool(true), {0x0B, 0x00, 0xFF, 0xFF}, Variant::Bool(true)},
      {"16-bit unsigned", Variant::UI2(0x1234), {0x12, 0x00, 0x34, 0x12}, Variant::UI2(0x1234)},
      {"32-bit signed",
       Variant::I4(0x01020304),
       {0x03, 0x00, 0x04, 0x03, 0x02, 0x01},
       Variant::I4(0x01020304)},
      {"single", Variant::R4(1.0f), {0x04, 0x00, 0x00, 0x00, 0x80, 0x3F}, Variant::R4(1.0f)},
      {"error code",
       Variant::Error(E_FAIL),
       {0x0A, 0x00, 0x05, 0x40, 0x00, 0x80},
       Variant::Error(E_FAIL)},
      {"32-bit unsigned",
       Variant::UI4(19200),
       {0x13, 0x00, 0x00, 0x4B, 0x00, 0x00},
       Variant::UI4(19200)},
      {"machine int", Variant::Int(-1), {0x16, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, Variant::Int(-1)},
      {"machine unsigned",
       Variant::UInt(7),
       {0x17, 0x00, 0x07, 0x00, 0x00, 0x00},
       Variant::UInt(7)},
      {"double",
       Variant::R8(1.0),
       {0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F},
       Variant::R8(1.0)},
      {"date",
       Variant::FromDate(Date{2.0}),
       {0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40},
       Variant::FromDate(Date{2.0})},
      {"64-bit signed",
       Variant::I8(-1),
       {0x14, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       Variant::I8(-1)},
      {"64-bit unsigned",
       Variant::UI8(0x0102030405060708),
       {0x15, 0x00, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01},
       Variant::UI8(0x0102030405060708)},
      // Strings: the byte count includes the 2-byte terminator.
      {"string",
       Variant::Str(BStr("ab")),
       {0x08, 0x00, 0x06, 0x00, 0x00, 0x00, 'a', 0x00, 'b', 0x00, 0x00, 0x00},
       Variant::Str(BStr("ab"))},
      {"empty string",
       Variant::Str(BStr("")),
       {0x08, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00},
       Variant::Str(BStr(""))},
      {"null string",
       Variant::Str(BStr::Null()),
       {0x08, 0x00, 0x00, 0x00, 0x00, 0x00},
       Variant::Str(BStr::Null())},
      // Any other kind goes as its text under the string tag.
      {"signed byte as text",
       Variant::I1(-5),
       {0x08, 0x00, 0x06, 0x00, 0x00, 0x00, '-', 0x00, '5', 0x00, 0x00, 0x00},
       Variant::Str(BStr("-5"))},
  };
}

TEST(PropertyMapStreamTest, EachKindsRecordBytesAndWhatALoadReads) {
  for (const RecordRow& row : Rows()) {
    SCOPED_TRACE(row.what);
    ComPtr<MemoryStream> stream = MakeObject<MemoryStream>();
    ASSERT_EQ(S_OK, WritePropertyRecord(stream.get(), row.value));
    EXPECT_EQ(row.bytes, stream->data());
    EXPECT_EQ(row.bytes.size(), PropertyRecordSize(row.value));
    ASSERT_EQ(S_OK, stream->Seek(0, SeekOrigin::kSet, nullptr));
    Variant loaded;
    ASSERT_EQ(S_OK, ReadPropertyRecord(stream.get(), &loaded));
    EXPECT_EQ(row.loaded, loaded);
  }
}

TEST(PropertyMapStreamTest, VersionWord) {
  ComPtr<MemoryStream> stream = MakeObject<MemoryStream>();
  ASSERT_EQ(S_OK, WritePropertyMapVersion(stream.get()));
  EXPECT_EQ((Bytes{0x00, 0x09, 0x00, 0x00}), stream->data());
  struct {
    Bytes word;
    HRESULT expected;
  } const cases[] = {
      {{0x00, 0x09, 0x00, 0x00}, S_OK},
      {{0x00, 0x08, 0x00, 0x00}, S_OK},  // an earlier format is read
      {{0x01, 0x09, 0x00, 0x00}, E_FAIL},
      {{0x00, 0x0A, 0x00, 0x00}, E_FAIL},
      {{0x00, 0x09, 0x00, 0x01}, E_FAIL},
  };
  for (const auto& c : cases) {
    ComPtr<MemoryStream> in = MakeObject<MemoryStream>(c.word);
    EXPECT_EQ(c.expected, ReadPropertyMapVersion(in.get())) << int{c.word[1]};
  }
  // A stream too short for the word: the failed read is returned.
  ComPtr<MemoryStream> short_stream = MakeObject<MemoryStream>(Bytes{0x00, 0x09});
  EXPECT_TRUE(Failed(ReadPropertyMapVersion(short_stream.get())));
}

// A load applies each record through its put in map order; the first failing put ends it with
// its code and the records after it are not applied.
TEST(PropertyMapStreamTest, LoadStopsAtTheFirstFailingPut) {
  std::vector<Variant> applied;
  auto put_ok = [&](Variant v) {
    applied.push_back(std::move(v));
    return S_OK;
  };
  auto put_refuses = [&](Variant) { return E_INVALIDARG; };
  auto get = [](Variant* v) {
    *v = Variant::UI1(1);
    return S_OK;
  };
  const PersistedProperty map[] = {{"A", get, put_ok}, {"B", get, put_refuses}, {"C", get, put_ok}};
  ComPtr<MemoryStream> stream = MakeObject<MemoryStream>();
  ASSERT_EQ(S_OK, SavePropertyMap(stream.get(), map));
  EXPECT_EQ((Bytes{0x00, 0x09, 0x00, 0x00, 0x11, 0x00, 0x01, 0x11, 0x00, 0x01, 0x11, 0x00, 0x01}),
            stream->data());
  ASSERT_EQ(S_OK, stream->Seek(0, SeekOrigin::kSet, nullptr));
  EXPECT_EQ(E_INVALIDARG, LoadPropertyMap(stream.get(), map));
  EXPECT_EQ(std::vector<Variant>{Variant::UI1(1)}, applied);
  // A stream that ends inside the records: the failed read is returned.
  applied.clear();
  ComPtr<MemoryStream> cut =
      MakeObject<MemoryStream>(Bytes{0x00, 0x09, 0x00, 0x00, 0x11, 0x00, 0x01, 0x11});
  const PersistedProperty both_ok[] = {{"A", get, put_ok}, {"B", get, put_ok}};
  EXPECT_TRUE(Failed(LoadPropertyMap(cut.get(), both_ok)));
  EXPECT_EQ(1u, applied.size());
}

}  // namespace
}  // namespace zel
