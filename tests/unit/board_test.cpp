// Board detection through the simulated "/dev/gpio" driver.
#include "common/board.h"
#include "sim/platform_sim.h"
#include "sim/world.h"
#include "tests/support/port_row.h"

#include <gtest/gtest.h>

namespace {

class BoardDetection : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::gpio_set_missing(false);
        sim::gpio_clear_type_codes();
        sim::set_board_kind(1, sim::BoardKind::Tarvo);
        sim::set_board_kind(2, sim::BoardKind::Tarvo);
        sim::gpio_reset();
    }
    void TearDown() override { SetUp(); }
};

// The descriptor cache is process-wide: the first test to open it keeps it.
TEST_F(BoardDetection, OneOpenForBothPortsAndTheTwoRequests) {
    sim::set_board_kind(2, sim::BoardKind::Other);
    EXPECT_EQ(board_present(port_row(1)), 1);
    EXPECT_EQ(board_present(port_row(2)), 0);
    EXPECT_LE(sim::gpio_stats().opens, 1);
    ASSERT_EQ(sim::gpio_stats().requests.size(), 2u);
    EXPECT_EQ(sim::gpio_stats().requests[0], 0x80004209UL);
    EXPECT_EQ(sim::gpio_stats().requests[1], 0x8000420BUL);
    // Further queries reuse the descriptor.
    board_present(port_row(1));
    EXPECT_LE(sim::gpio_stats().opens, 1);
}

TEST_F(BoardDetection, OnlyTypeCodeFiveIsTarvo) {
    for (int code : {0, 4, 6, -1}) {
        sim::gpio_set_type_code(1, code);
        EXPECT_EQ(board_present(port_row(1)), 0) << "type code " << code;
    }
    sim::gpio_set_type_code(1, 5);
    EXPECT_EQ(board_present(port_row(1)), 1);
}

} // namespace
