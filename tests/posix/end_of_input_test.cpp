// The tool with piped keys: what came is taken in order, then the end of input ends the tool as
// the space bar does (exit code 0 after the steps, 1 on the no-port screen), and the cursor is
// shown again although standard input was no terminal.
#include "printer_sim_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <sstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string cursor_shown = "\x1b[?25h";
const std::string cursor_hidden = "\x1b[?25l";

// The lines of printer_sim's log, without their times.
std::vector<std::string> received_lines(const std::string& log) {
    std::vector<std::string> lines;
    std::istringstream text(file_text(log));
    std::string line;
    while (std::getline(text, line)) {
        lines.push_back(line.substr(line.find(' ') + 1));
    }
    return lines;
}

class end_of_input_test : public printer_sim_fixture {
  protected:
    // Runs the tool with the keys piped in and the given ports; its exit status.
    int run_tool(const std::string& typed, const std::string& ports) {
        int keys[2];
        EXPECT_EQ(pipe(keys), 0);
        EXPECT_EQ(write(keys[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        close(keys[1]);
        setenv("SIGMA_PORTS", ports.c_str(), 1);
        child_process tool = start_child({SIGMA_CALIBRAGE_PATH}, keys[0]);
        unsetenv("SIGMA_PORTS");
        close(keys[0]);
        return wait_child(tool, &output, 20000);
    }
    std::string output;
};

struct keys_case {
    const char* name;
    std::string typed;
    std::vector<std::string> lines;
};

void PrintTo(const keys_case& c, std::ostream* out) {
    *out << c.name;
}

class piped_keys_test : public end_of_input_test,
                        public ::testing::WithParamInterface<keys_case> {};

TEST_P(piped_keys_test, steps_for_the_keys_then_ends_with_0) {
    const keys_case& c = GetParam();
    start();
    const int status = run_tool(c.typed, dir);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The printer logs each line as it reads it: wait for as many as there were steps.
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (received_lines(log).size() < c.lines.size() &&
           std::chrono::steady_clock::now() < deadline) {
        usleep(10000);
    }
    EXPECT_EQ(received_lines(log), c.lines);
    EXPECT_GT(output.rfind(cursor_shown), output.rfind(cursor_hidden));
}

INSTANTIATE_TEST_SUITE_P(
    keys, piped_keys_test,
    ::testing::Values(
        keys_case{"a_e_t", "aet", {"G1 F600 Z201.000", "G1 F600 Z201.100", "G1 F600 Z201.110"}},
        // é typed on a Latin-1 terminal takes neither a nor z with it.
        keys_case{"latin1_e_acute_a_z",
                  "\xE9"
                  "az",
                  {"G1 F600 Z201.000", "G1 F600 Z200.000"}},
        keys_case{"nothing", "", {}}),
    [](const ::testing::TestParamInfo<keys_case>& param_info) {
        return std::string(param_info.param.name);
    });

TEST_F(end_of_input_test, no_port_screen_ends_with_1_at_the_end_of_input) {
    const std::string empty = dir + "/empty";
    ASSERT_EQ(mkdir(empty.c_str(), 0700), 0);
    const int status = run_tool("", empty);
    rmdir(empty.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(output.find("introuvable."), std::string::npos);
    EXPECT_GT(output.rfind(cursor_shown), output.rfind(cursor_hidden));
}

} // namespace
