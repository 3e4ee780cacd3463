// The log cursor a reconnecting client hands back: the Index after the last '.' of an event id.
#include "bridge/event_stream.h"

#include <gtest/gtest.h>

namespace zel::bridge {
namespace {

TEST(EventStreamTest, CursorOfEventIdTakesTheIndexAfterTheLastDot) {
  EXPECT_EQ(1203u, EventStream::CursorOfEventId("41.1203"));
  EXPECT_EQ(3u, EventStream::CursorOfEventId("0.3"));
  EXPECT_EQ(0u, EventStream::CursorOfEventId("7.0"));
  EXPECT_EQ(4294967295u, EventStream::CursorOfEventId(".4294967295"));
  // An id without a log part, or one that is not a number, carries no cursor: nothing is
  // replayed rather than the whole history.
  for (const char* id :
       {"", "41", "41.", "41.x", "41.-3", "41.12a", "1.4294967296", "1.99999999999999999999"}) {
    EXPECT_FALSE(EventStream::CursorOfEventId(id).has_value()) << id;
  }
}

}  // namespace
}  // namespace zel::bridge
