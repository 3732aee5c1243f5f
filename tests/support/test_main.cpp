// Test entry: every test must leave the simulated controller without bus
// faults (accesses to addresses the controller does not have).
#include "sim/controller/controller.h"

#include <gtest/gtest.h>

namespace {
class BusFaultCheck : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override { sim::clear_bus_faults(); }
    void OnTestEnd(const ::testing::TestInfo &) override {
        for (const auto &fault : sim::bus_faults())
            ADD_FAILURE() << "bus fault: " << fault;
        sim::clear_bus_faults();
    }
};
} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new BusFaultCheck);
    return RUN_ALL_TESTS();
}
