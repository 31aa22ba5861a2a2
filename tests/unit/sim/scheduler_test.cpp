#include <gtest/gtest.h>
#include "host/sim/scheduler.h"
TEST(Scheduler, Placeholder) { host::sim::Scheduler s(1); EXPECT_EQ(s.Now(), 0u); }
