// A printer_sim of its own for each test, on COM3 of a private ports directory, and the host
// side of its port: what a tool opening the port sees.
#pragma once

#include "child_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

inline constexpr int wait_ms = 5000; // generous: the machine is shared

class printer_sim_fixture : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = make_temporary_dir();
        ASSERT_FALSE(dir.empty());
        link = dir + "/COM3";
        log = dir + "/received.log";
    }
    void TearDown() override {
        close_port();
        if (sim.pid > 0) {
            stop_child(sim, SIGTERM);
        }
        remove_temporary_dir(dir);
    }

    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {PRINTER_SIM_PATH, "--ports", dir, "--com", "3",
                                         "--log",          log};
        argv.insert(argv.end(), extra.begin(), extra.end());
        sim = start_child(argv);
        std::string ready;
        ASSERT_TRUE(read_line(sim.output, &ready, wait_ms)) << "no ready line";
        ASSERT_EQ(ready.compare(0, 6, "ready "), 0) << ready;
        slave = ready.substr(6);
    }

    void open_port() {
        port = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(port, 0);
        termios raw;
        ASSERT_EQ(tcgetattr(port, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(port, TCSANOW, &raw), 0);
    }

    void close_port() {
        if (port >= 0) {
            close(port);
            port = -1;
        }
    }

    void send(const std::string& line) {
        ASSERT_EQ(write(port, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

    std::string dir, link, log, slave;
    child_process sim;
    int port = -1;
};
