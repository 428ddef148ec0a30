// The pacing of the tries to take the bus name again: doubling waits up to the cap, and a bus
// that comes back and goes again soon does not start them over.
#include <gtest/gtest.h>

#include "app/RemoteReconnect.h"

namespace sorv {
namespace {

TEST(RemoteReconnect, WaitsDoubleToTheCapAndStartOverOnlyAfterASteadyBus) {
  // At 120 the bus went again within a minute of being taken: no faster tries. At 210 it had
  // stayed a minute: the waits start over.
  const struct {
    bool on;  // a try took the name; else remote control is off
    double now, wait;
  } rows[] = {
      {false, 0, 1},    {false, 1, 2},   {false, 3, 4},   {false, 7, 8},
      {false, 15, 16},  {false, 31, 30}, {false, 61, 30}, {true, 91, 0},
      {false, 120, 30}, {true, 150, 0},  {false, 210, 1},
  };
  RemoteReconnect r;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.now);
    if (row.on)
      r.on(row.now);
    else
      EXPECT_DOUBLE_EQ(r.off(row.now), row.wait);
  }
}

}  // namespace
}  // namespace sorv
