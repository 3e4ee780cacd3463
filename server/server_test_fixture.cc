#include "server/server_test_fixture.h"

#include "link/link_classes.h"
#include "platform/resource_library.h"

namespace zel {

void InstallTestResources() {
  std::string text =
      "[strings]\n"
      "103 = Unknown\n"
      "104 = Model A\n"
      "128 = Model 30\n"
      "130 = Date not set\n"
      "131 = Serial Port\n"
      "138 = Model 37\n"
      "185 = /nonexistent/ttyZEL\n"
      "[messages]\n"
      "0xC0000004 = The controller refused the login.\n";
  std::shared_ptr<const ResourceLibrary> lib;
  ASSERT_EQ(S_OK, ResourceLibrary::Parse(text, &lib));
  InstallResources(lib);
}

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

void ServerTest::SetUp() {
  instance_ = std::make_unique<TempInstanceDir>("server_test");
  dir_ = instance_->path();
  InstallTestResources();
  RegisterServerClasses();
  RegisterFakeLink();
  Clock::SetForTesting(&clock_);
  server_ = MakeObject<CZelServer>();
}

void ServerTest::TearDown() {
  server_.reset();
  Clock::SetForTesting(nullptr);
  instance_.reset();
}

FakeLink* ServerTest::UseFake(FakeControllerConfig config) {
  ComPtr<FakeLink> t = MakeObject<FakeLink>();
  // As the serial transport does, the link answers only once the server has connected it.
  t->RequireConnect(true);
  t->UseController(std::move(config));
  EXPECT_EQ(S_OK, server_->put_CommunicationsHandler(t.get()));
  return fake();
}

FakeLink* ServerTest::fake() { return static_cast<FakeLink*>(server_->transport().get()); }

}  // namespace zel
