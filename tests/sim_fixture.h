// Shared set-up for the tests that run the tool on the simulated machine.
#pragma once

#include "platform/sim/sim_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The time the loop starts when the printer sends nothing after opening: the 2222 ms wait and
// one empty read of 2 ms.
constexpr uint64_t loop_start_ms = 2224;

class sim_test : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
    }
};

// A printer at COM3 that answers each line with "ok\n" 1 ms later, as Marlin does.
sim::device& plug_printer(const std::string& name = "\\\\.\\COM3");

// Runs the whole tool; fails the test when its script did not end it.
int run_tool();

// The lines written to the printer, one entry per write.
std::vector<std::string> lines_sent(const sim::device& printer);

// The text in the height field, without the blanks after it.
std::string height_field();

// The log entries that start with the prefix, in order.
std::vector<std::string> log_entries(const std::string& prefix);
