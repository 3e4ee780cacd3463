#include <gtest/gtest.h>

#include <string>

#include "server/interfaces.h"

namespace zel {
namespace {

TEST(ServerStatusNameTest, EveryStateByValue) {
  const std::pair<int64_t, const char*> states[] = {
      {0, "ssUnknown"},      {1, "ssStarting"},          {2, "ssLoadingSetup"},
      {3, "ssLoadingNames"}, {4, "ssLoadingExtensions"}, {5, "ssInitializing"},
      {16, "ssInteractive"}, {17, "ssStopping"},         {18, "ssStopped"},
      {128, "ssFailure"},
  };
  for (auto [value, name] : states) {
    ASSERT_NE(nullptr, ServerStatusName(value)) << value;
    EXPECT_EQ(std::string(name), ServerStatusName(value)) << value;
  }
  for (int64_t none : {int64_t{-1}, int64_t{6}, int64_t{15}, int64_t{19}, int64_t{127},
                       int64_t{129}, int64_t{1} << 32}) {
    EXPECT_EQ(nullptr, ServerStatusName(none)) << none;
  }
}

}  // namespace
}  // namespace zel
