// Command-line parsing of the daemon: every bad option gets a clear message, never a crash.
#include "service/daemon_options.h"

#include <gtest/gtest.h>

namespace zel {
namespace {

TEST(DaemonOptionsTest, ParsesEveryOption) {
  DaemonOptions o;
  std::string error;
  ASSERT_EQ(S_OK, ParseDaemonOptions(
                      {"--instance", "/tmp/i", "--socket", "/tmp/s", "--port", "0", "--version"},
                      &o, &error));
  EXPECT_EQ("/tmp/i", o.instance_dir);
  EXPECT_EQ("/tmp/s", o.socket_path);
  EXPECT_EQ(0, o.tcp_port);
  EXPECT_EQ(1, o.tcp);  // a port turns TCP on
  EXPECT_TRUE(o.show_version);
  DaemonOptions p;
  ASSERT_EQ(S_OK, ParseDaemonOptions({"--no-tcp", "--no-socket", "--no-start", "-h"}, &p, &error));
  EXPECT_EQ(0, p.tcp);
  DaemonOptions q;
  EXPECT_EQ(-1, q.tcp);  // the policy decides, and without one TCP stays off
  ASSERT_EQ(S_OK, ParseDaemonOptions({"--tcp"}, &q, &error));
  EXPECT_EQ(1, q.tcp);
  EXPECT_EQ(-2, q.tcp_port);
  EXPECT_FALSE(p.listen_unix);
  EXPECT_FALSE(p.start_server);
  EXPECT_TRUE(o.start_server);
  EXPECT_TRUE(p.show_help);
  EXPECT_EQ(0, p.link_down_after_ms);  // the link's own default
  DaemonOptions r;
  ASSERT_EQ(S_OK, ParseDaemonOptions({"--link-down-after", "1500"}, &r, &error));
  EXPECT_EQ(1500, r.link_down_after_ms);
}

TEST(DaemonOptionsTest, RefusesBadInput) {
  struct Case {
    std::vector<std::string> args;
    const char* message_part;
  } cases[] = {
      {{"--port"}, "--port needs"},
      {{"--port", "70000"}, "0 to 65535"},
      {{"--port", "12x"}, "0 to 65535"},
      {{"--port", "-1"}, "0 to 65535"},
      {{"--instance"}, "--instance needs"},
      {{"--instance", ""}, "--instance needs"},
      {{"--frobnicate"}, "unknown option"},
      {{"--link-down-after"}, "needs a number"},
      {{"--link-down-after", "0"}, "1 to 3600000"},
      {{"--link-down-after", "3600001"}, "1 to 3600000"},
      {{"--link-down-after", "5s"}, "1 to 3600000"},
  };
  for (const Case& c : cases) {
    DaemonOptions o;
    std::string error;
    EXPECT_EQ(E_INVALIDARG, ParseDaemonOptions(c.args, &o, &error)) << c.args[0];
    EXPECT_NE(std::string::npos, error.find(c.message_part)) << error;
  }
  EXPECT_NE(std::string::npos, DaemonUsage().find("--instance"));
}

TEST(DaemonOptionsTest, WordsThatAreNoSwitchStartNormally) {
  // Switches that match none of the host's start the server as if they were not there; only a
  // mistyped long option is refused.
  DaemonOptions o;
  std::string error;
  ASSERT_EQ(S_OK, ParseDaemonOptions({"-Service", "/Embedding", "word", "--no-start"}, &o, &error));
  EXPECT_FALSE(o.start_server);
  EXPECT_EQ(E_INVALIDARG, ParseDaemonOptions({"--no-strat"}, &o, &error));
}

}  // namespace
}  // namespace zel
