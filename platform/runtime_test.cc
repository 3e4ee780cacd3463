// Status codes, GUIDs, strings, the class registry and the stream forms.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "platform/class_registry.h"
#include "platform/guid.h"
#include "platform/status.h"
#include "platform/stream.h"
#include "platform/text_encoding.h"
#include "zel_source_dir.h"

namespace zel {
namespace {

TEST(StatusTest, ErrnoMapsToWindowsErrorNumbers) {
  EXPECT_EQ(MakeHresult(0x80070002), HresultFromErrno(ENOENT));
  EXPECT_EQ(MakeHresult(0x80070005), HresultFromErrno(EACCES));
  EXPECT_EQ(MakeHresult(0x800705B4), HresultFromErrno(ETIMEDOUT));
  EXPECT_EQ(S_OK, HresultFromErrno(0));
  EXPECT_EQ(MakeHresult(0x80071234), HresultFromWin32(0xABCD1234));
  EXPECT_TRUE(Failed(E_COMM_TIMEOUT));
  EXPECT_TRUE(Succeeded(S_FALSE));
  EXPECT_EQ("E_FAIL", StatusName(E_FAIL));
  EXPECT_EQ("0x12345678", StatusName(0x12345678));
}

// Every status code a header outside the bridge declares (the bridge names its own), read from
// the headers themselves: a code added without a name, or named after another, fails here.
TEST(StatusTest, EveryDeclaredCodeHasItsName) {
  const std::regex declaration(
      R"(constexpr\s+HRESULT\s+(\w+)\s*=\s*(?:MakeHresult\()?(0x[0-9A-Fa-f]+|\d+))");
  std::set<std::string> seen;
  namespace fs = std::filesystem;
  const fs::path root = ZEL_SOURCE_DIR;
  std::vector<fs::path> headers;
  for (const char* dir :
       {"platform", "link", "server", "model", "events", "service", "utils", "sim", "cli", "web"}) {
    if (!fs::is_directory(root / dir)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root / dir)) {
      if (entry.path().extension() == ".h") headers.push_back(entry.path());
    }
  }
  for (const fs::path& path : headers) {
    std::string relative = fs::relative(path, root).generic_string();
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      std::smatch m;
      if (!std::regex_search(line, m, declaration)) continue;
      HRESULT hr = static_cast<HRESULT>(std::stoul(m[2].str(), nullptr, 0));
      EXPECT_EQ(m[1].str(), StatusName(hr)) << relative << ": " << line;
      seen.insert(m[1].str());
    }
  }
  // The walk found the declarations (a broken pattern would pass an empty walk).
  for (const char* name :
       {"S_OK", "E_FAIL", "RPC_E_SERVERFAULT", "RPC_E_DISCONNECTED", "CO_E_SERVER_EXEC_FAILURE",
        "E_SERVER_START_FAILED", "E_REG_NOT_FOUND", "E_REG_CORRUPT", "E_COMM_BAD_BAUD_RATE"}) {
    EXPECT_TRUE(seen.contains(name)) << name;
  }
}

TEST(GuidTest, TextRoundTripAndStoredForm) {
  GUID g = MakeGuid(0x6B29FC40, 0xCA47, 0x1067, 0xB31D00DD010662DA);
  EXPECT_EQ("{6B29FC40-CA47-1067-B31D-00DD010662DA}", GuidToString(g));
  GUID parsed;
  ASSERT_EQ(S_OK, ParseGuid("{6b29fc40-ca47-1067-b31d-00dd010662da}", &parsed));
  EXPECT_EQ(g, parsed);
  EXPECT_EQ(CO_E_CLASSSTRING, ParseGuid("{6B29FC40-CA47-1067-B31D-00DD010662D}", &parsed));
  EXPECT_EQ(CO_E_CLASSSTRING, ParseGuid("1234", &parsed));
  auto bytes = GuidToBytes(g);
  EXPECT_EQ(0x40, bytes[0]);
  EXPECT_EQ(0x6B, bytes[3]);
  EXPECT_EQ(0x47, bytes[4]);
  EXPECT_EQ(g, GuidFromBytes(bytes.data()));
  EXPECT_NE(NewGuid(), NewGuid());
}

TEST(BStrTest, NullIsDistinctFromEmpty) {
  BStr null_str, empty("");
  EXPECT_TRUE(null_str.IsNull());
  EXPECT_FALSE(empty.IsNull());
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_FALSE(null_str == empty);
  BStr copy = null_str;
  EXPECT_TRUE(copy.IsNull());
  EXPECT_EQ(BStr(static_cast<const char*>(nullptr)), BStr());
}

TEST(TextEncodingTest, Latin1AndUtf16RoundTrips) {
  std::string utf8 = "Caf\xC3\xA9 \xE2\x82\xAC";  // "Café €"
  EXPECT_EQ(std::string("Caf\xE9 ?"), Utf8ToLatin1(utf8));
  EXPECT_EQ("Caf\xC3\xA9", Latin1ToUtf8("Caf\xE9"));
  EXPECT_EQ(utf8, Utf16ToUtf8(Utf8ToUtf16(utf8)));
  EXPECT_EQ(u"\U0001F600", Utf8ToUtf16("\xF0\x9F\x98\x80"));
  EXPECT_TRUE(EqualsIgnoreAsciiCase("Front Door", "FRONT door"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("\xC3\xA9", "\xC3\x89"));
}

TEST(StreamFormTest, StringAndVariantForms) {
  ComPtr<MemoryStream> s = MakeObject<MemoryStream>();
  ASSERT_EQ(S_OK, WriteStringToStream(s.get(), BStr("AB")));
  ASSERT_EQ(S_OK, WriteStringToStream(s.get(), BStr()));
  ASSERT_EQ(S_OK, WriteVariantToStream(s.get(), Variant::UI1(9)));
  ASSERT_EQ(S_OK, WriteVariantToStream(s.get(), Variant::Str("x")));
  std::vector<uint8_t> expected = {6,  0, 0, 0, 'A', 0, 'B', 0, 0, 0,   // "AB" + zero
                                   0,  0, 0, 0,                         // null string
                                   17, 0, 9,                            // VT_UI1 9
                                   8,  0, 4, 0, 0,   0, 'x', 0, 0, 0};  // VT_BSTR "x"
  EXPECT_EQ(expected, s->data());
  ASSERT_EQ(S_OK, s->Seek(0, SeekOrigin::kSet, nullptr));
  BStr a, b;
  Variant c, d;
  ASSERT_EQ(S_OK, ReadStringFromStream(s.get(), &a));
  ASSERT_EQ(S_OK, ReadStringFromStream(s.get(), &b));
  ASSERT_EQ(S_OK, ReadVariantFromStream(s.get(), &c));
  ASSERT_EQ(S_OK, ReadVariantFromStream(s.get(), &d));
  EXPECT_EQ("AB", a.str());
  EXPECT_TRUE(b.IsNull());
  EXPECT_EQ(Variant::UI1(9), c);
  EXPECT_EQ("x", d.bstr().str());
  Variant e;
  EXPECT_EQ(STG_E_READFAULT, ReadVariantFromStream(s.get(), &e));
}

struct IThing : IUnknown {
  static constexpr IID kIid = MakeGuid(0xAAAA0000, 1, 2, 3);
};
class Thing final : public IThing {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IThing>(this, iid, ppv);
  }
};

TEST(ClassRegistryTest, SingletonAndProgIdCreation) {
  CLSID single = MakeGuid(0xAAAA0001, 1, 2, 3), plain = MakeGuid(0xAAAA0002, 1, 2, 3);
  auto& reg = ClassRegistry::Instance();
  reg.Register(single, "Test.Single", FactoryOf<Thing>(), true);
  reg.Register(plain, "Test.Plain", FactoryOf<Thing>(), false);
  ComPtr<IThing> a, b, c, d;
  ASSERT_EQ(S_OK, reg.CreateByProgId("test.single", IThing::kIid, a.ReceiveVoid()));
  ASSERT_EQ(S_OK, reg.Create(single, &b));
  EXPECT_EQ(a.get(), b.get());
  ASSERT_EQ(S_OK, reg.Create(plain, &c));
  ASSERT_EQ(S_OK, reg.Create(plain, &d));
  EXPECT_NE(c.get(), d.get());
  ComPtr<IThing> e;
  EXPECT_EQ(CO_E_CLASSSTRING, reg.CreateByProgId("No.Such", IThing::kIid, e.ReceiveVoid()));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, reg.Create(MakeGuid(9, 9, 9, 9), &e));
  reg.Unregister(single);
  reg.Unregister(plain);
}

}  // namespace
}  // namespace zel
