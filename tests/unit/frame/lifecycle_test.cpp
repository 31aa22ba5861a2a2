#include <gtest/gtest.h>

#include "tests/support/world_fixture.h"

namespace {

class LifecycleTest : public testing_support::WorldTest {};

TEST_F(LifecycleTest, InitializeThenHaltLeavesNothing) {
    auto& a = AddScripted();
    EXPECT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    world_.RunFor(10'000'000);
    world_.Ndis().Halt(a);
    EXPECT_EQ(LiveResources(a), 0u);
    ExpectClean();
}

}  // namespace
