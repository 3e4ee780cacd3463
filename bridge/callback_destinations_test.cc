// The callback objects that stand for an XML destination: each answers exactly its interface, the
// XML writers' destination chooser finds it, and every write becomes one event of the session in
// order, with its text or bytes.
#include "bridge/callback_destinations.h"

#include <gtest/gtest.h>

#include <thread>

#include "bridge/event_sinks.h"
#include "platform/safe_array.h"
#include "platform/xml_destination.h"

namespace zel::bridge {
namespace {

class CallbackDestinationsTest : public ::testing::Test {
 protected:
  // A destination named "page" with handle "h7", subscribed so its events can be taken.
  ComPtr<IDispatch> Make(std::string_view interface_name) {
    ComPtr<IDispatch> object;
    CallbackDestination* destination = nullptr;
    EXPECT_EQ(S_OK, MakeCallbackDestination(queue_, "page", interface_name, &object, &destination));
    if (destination != nullptr) destination->set_source("h7");
    return object;
  }
  std::vector<BridgeEvent> Take() {
    std::vector<BridgeEvent> got;
    BridgeEvent e;
    while (queue_->Pop(subscriber_.get(), &e)) got.push_back(e);
    return got;
  }
  static std::string BytesOf(const Variant& v) {
    if (!v.IsArray() || v.array() == nullptr) return "(not an array)";
    const std::vector<uint8_t>& b = v.array()->bytes();
    return std::string(b.begin(), b.end());
  }

  std::shared_ptr<EventQueue> queue_ = std::make_shared<EventQueue>(1024);
  std::shared_ptr<EventQueue::Subscriber> subscriber_ = queue_->Subscribe([] {});
};

TEST_F(CallbackDestinationsTest, EachAnswersOnlyItsInterfaceAndTheChooserFindsIt) {
  struct Case {
    std::string_view name;
    XmlDestination::Kind kind;
    bool response, stream, html;
  };
  const Case kCases[] = {
      {kResponseInterfaceName, XmlDestination::Kind::kResponse, true, false, false},
      {kStreamInterfaceName, XmlDestination::Kind::kStream, false, true, false},
      {kHtmlDocumentInterfaceName, XmlDestination::Kind::kHtmlDocument, false, false, true},
  };
  for (const Case& c : kCases) {
    ComPtr<IDispatch> object = Make(c.name);
    ASSERT_TRUE(object) << c.name;
    ComPtr<IResponse> response;
    ComPtr<IStream> stream;
    ComPtr<IHTMLDocument2> html;
    EXPECT_EQ(c.response, Succeeded(QueryAs<IResponse>(object.get(), &response))) << c.name;
    EXPECT_EQ(c.stream, Succeeded(QueryAs<IStream>(object.get(), &stream))) << c.name;
    EXPECT_EQ(c.html, Succeeded(QueryAs<IHTMLDocument2>(object.get(), &html))) << c.name;
    EXPECT_EQ("BridgeCallback", object->GetTypeName());
    // Handed over as a dispatch object and as a bare unknown, as a collection hands it on.
    for (const Variant& dest : {Variant::Dispatch(object.get()), Variant::Unknown(object.get())}) {
      XmlDestination chosen;
      ASSERT_EQ(S_OK, XmlDestination::Choose(dest, XmlDestination::NullDispatch::kNotImpl, false,
                                             &chosen))
          << c.name;
      EXPECT_EQ(c.kind, chosen.kind()) << c.name;
    }
  }
  ComPtr<IDispatch> object;
  CallbackDestination* destination = nullptr;
  EXPECT_EQ(E_NOINTERFACE,
            MakeCallbackDestination(queue_, "page", "IStorage", &object, &destination));
  EXPECT_EQ(E_NOINTERFACE,
            MakeCallbackDestination(queue_, "page", "iresponse", &object, &destination));
  EXPECT_FALSE(object);
}

TEST_F(CallbackDestinationsTest, EveryWriteIsOneEventInOrder) {
  // The same three pieces through each kind of destination.
  const std::string_view kPieces[] = {"<?xml version=\"1.0\"?>\n", "<ZONES>", "</ZONES>"};
  for (std::string_view name :
       {kResponseInterfaceName, kStreamInterfaceName, kHtmlDocumentInterfaceName}) {
    ComPtr<IDispatch> object = Make(name);
    XmlDestination out;
    ASSERT_EQ(S_OK, XmlDestination::Choose(Variant::Dispatch(object.get()),
                                           XmlDestination::NullDispatch::kNotImpl, false, &out));
    for (std::string_view piece : kPieces) ASSERT_EQ(S_OK, out.WriteLatin1(piece)) << name;
    std::vector<BridgeEvent> events = Take();
    ASSERT_EQ(3u, events.size()) << name;
    for (size_t i = 0; i < events.size(); ++i) {
      const BridgeEvent& e = events[i];
      EXPECT_EQ(kCallbackInterface, e.interface_name);
      EXPECT_EQ("page", e.member);
      EXPECT_EQ(DISPID_VALUE, e.dispid);
      EXPECT_EQ("h7", e.source);
      ASSERT_EQ(1u, e.args.size());
      if (name == kStreamInterfaceName) {
        EXPECT_EQ(VT_ARRAY | VT_UI1, e.args[0].vt());
        EXPECT_EQ(kPieces[i], BytesOf(e.args[0]));
      } else {
        EXPECT_EQ(Variant::Str(BStr(std::string(kPieces[i]))), e.args[0]) << name;
      }
    }
  }
}

TEST_F(CallbackDestinationsTest, TheStreamTakesEveryByteAndNothingElse) {
  ComPtr<IDispatch> object = Make(kStreamInterfaceName);
  ComPtr<IStream> stream;
  ASSERT_EQ(S_OK, QueryAs<IStream>(object.get(), &stream));
  // Bytes from 128 up and zeros travel as they are; the count comes back whole.
  const uint8_t bytes[] = {'A', 0, 0xE9, 0xFF, '&'};
  uint32_t written = 0;
  ASSERT_EQ(S_OK, stream->Write(bytes, sizeof bytes, &written));
  EXPECT_EQ(sizeof bytes, written);
  EXPECT_EQ(S_OK, stream->Write(nullptr, 0, &written));
  EXPECT_EQ(0u, written);
  EXPECT_EQ(STG_E_INVALIDPOINTER, stream->Write(nullptr, 3, &written));
  EXPECT_EQ(0u, written);
  std::vector<BridgeEvent> events = Take();
  ASSERT_EQ(2u, events.size());  // the refused write is no event
  EXPECT_EQ(std::string("A\0\xE9\xFF&", 5), BytesOf(events[0].args[0]));
  EXPECT_EQ("", BytesOf(events[1].args[0]));
  // Write-only: nothing to read back or seek in.
  char buf[4];
  uint32_t read = 7;
  EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Read(buf, sizeof buf, &read));
  EXPECT_EQ(0u, read);
  uint64_t position = 0;
  EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Seek(0, SeekOrigin::kSet, &position));
  EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->GetSize(&position));
  EXPECT_EQ(S_OK, stream->Commit());
}

TEST_F(CallbackDestinationsTest, TheHtmlDocumentJoinsItsStringsAndRefusesOtherValues) {
  ComPtr<IDispatch> object = Make(kHtmlDocumentInterfaceName);
  ComPtr<IHTMLDocument2> html;
  ASSERT_EQ(S_OK, QueryAs<IHTMLDocument2>(object.get(), &html));
  SafeArray two(VT_VARIANT, 2);
  ASSERT_EQ(S_OK, two.PutElement(0, Variant::Str("<A>")));
  ASSERT_EQ(S_OK, two.PutElement(1, Variant::I4(5)));  // converts to its text
  EXPECT_EQ(S_OK, html->write(Variant::Array(two)));
  SafeArray unconvertible(VT_VARIANT, 1);
  ASSERT_EQ(S_OK, unconvertible.PutElement(0, Variant::Error(E_FAIL)));
  EXPECT_EQ(E_INVALIDARG, html->write(Variant::Array(unconvertible)));
  EXPECT_EQ(E_INVALIDARG, html->write(Variant::Str("<A>")));  // not an array
  std::vector<BridgeEvent> events = Take();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(Variant::Str("<A>5"), events[0].args[0]);
}

TEST_F(CallbackDestinationsTest, TheDefaultMemberIsAnEventAsForAPlainHandler) {
  ComPtr<IDispatch> object = Make(kResponseInterfaceName);
  Variant result = Variant::I4(3);
  const Variant args[] = {Variant::I4(1), Variant::Str("x")};
  EXPECT_EQ(S_OK, object->Invoke(DISPID_VALUE, DISPATCH_METHOD, args, &result));
  EXPECT_EQ(VT_EMPTY, result.vt());
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, object->Invoke(1, DISPATCH_METHOD, args, &result));
  DISPID dispid = 0;
  EXPECT_EQ(DISP_E_UNKNOWNNAME, object->GetIDOfName("Write", &dispid));
  EXPECT_EQ(DISPID_UNKNOWN, dispid);
  std::vector<BridgeEvent> events = Take();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ((std::vector<Variant>{Variant::I4(1), Variant::Str("x")}), events[0].args);
}

TEST_F(CallbackDestinationsTest, WritesFromManyThreadsEachArriveOnceInTheirOrder) {
  ComPtr<IDispatch> object = Make(kResponseInterfaceName);
  ComPtr<IResponse> response;
  ASSERT_EQ(S_OK, QueryAs<IResponse>(object.get(), &response));
  constexpr int kThreads = 4, kWrites = 200;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) {
        (void)response->Write(Variant::Str(BStr(std::to_string(t) + ":" + std::to_string(i))));
      }
    });
  }
  for (std::thread& w : writers) w.join();
  std::vector<int> next(kThreads, 0);
  for (const BridgeEvent& e : Take()) {
    std::string text = e.args[0].bstr().str();
    int t = text[0] - '0';
    EXPECT_EQ(std::to_string(next[t]++), text.substr(2));
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(kWrites, next[t]);
}

}  // namespace
}  // namespace zel::bridge
