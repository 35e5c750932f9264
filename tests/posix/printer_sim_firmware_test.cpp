// printer_sim --firmware seen from the host side: what a host that waits for each "ok" gets, what
// one that does not loses, and what the model's log says about it.
#include "printer_sim_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int motion_wait_ms = 30000; // moves run in real time; this is only a deadline

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

size_t count_of(const std::string& text, const std::string& wanted) {
    size_t count = 0;
    for (size_t at = text.find(wanted); at != std::string::npos;
         at = text.find(wanted, at + wanted.size())) {
        ++count;
    }
    return count;
}

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

std::string move_line(double z) {
    char line[64];
    std::snprintf(line, sizeof line, "G1 F600 Z%.3f\n", z);
    return line;
}

// The records of the log with their time stripped: "line \"G1 F600 Z199.000\"", "summary ...".
std::vector<std::string> records(const std::string& log_text, const std::string& kind) {
    std::vector<std::string> found;
    std::istringstream in(log_text);
    std::string record;
    while (std::getline(in, record)) {
        const size_t space = record.find(' ');
        if (record.compare(0, 2, "t=") == 0 && space != std::string::npos &&
            record.compare(space + 1, kind.size(), kind) == 0) {
            found.push_back(record.substr(space + 1));
        }
    }
    return found;
}

// The time in ms of the first record that starts with `text`, or -1.
double time_of(const std::string& log_text, const std::string& text) {
    const size_t at = log_text.find(" " + text);
    if (at == std::string::npos) {
        return -1;
    }
    const size_t start = log_text.rfind("t=", at);
    return std::strtod(log_text.c_str() + start + 2, nullptr);
}

// A field of the summary ("dropped" gives the number after "dropped=").
double summary_field(const std::string& summary, const std::string& name) {
    const size_t at = summary.find(" " + name + "=");
    return at == std::string::npos ? -1
                                   : std::strtod(summary.c_str() + at + name.size() + 2, nullptr);
}

class printer_sim_firmware_test : public printer_sim_fixture {
  protected:
    void start_firmware() {
        start({"--firmware"});
        open_port();
        read_until_quiet(port, 300, wait_ms); // the banner
    }

    // Reads until the host has `count` "ok" lines in `got`, or the deadline.
    bool read_oks(size_t count, std::string* got, int timeout_ms) {
        const clock_type::time_point deadline =
            clock_type::now() + std::chrono::milliseconds(timeout_ms);
        while (count_of(*got, "ok\n") < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
            std::string more;
            if (left.count() <= 0 ||
                !read_until(port, "\n", &more, static_cast<int>(left.count()))) {
                return false;
            }
            *got += more;
        }
        return true;
    }

    // Waits until the log holds the text; the log as it then is.
    std::string wait_for_log(const std::string& text, int timeout_ms) {
        const clock_type::time_point deadline =
            clock_type::now() + std::chrono::milliseconds(timeout_ms);
        std::string log_text = file_text(log);
        while (log_text.find(text) == std::string::npos && clock_type::now() < deadline) {
            usleep(20000);
            log_text = file_text(log);
        }
        return log_text;
    }
};

TEST_F(printer_sim_firmware_test, host_waiting_for_each_ok_loses_nothing_and_the_head_gets_there) {
    start_firmware();
    // 20 moves of 0.5 mm, 0.1 s each at 5 mm/s: the planner takes 15 at once, then one per move
    // done, so the last "ok" comes at least four moves after the first line.
    std::vector<std::string> sent;
    std::string got;
    const clock_type::time_point first_sent = clock_type::now();
    for (int i = 1; i <= 20; ++i) {
        sent.push_back(move_line(200.0 - 0.5 * i));
        send(sent.back());
        ASSERT_TRUE(read_oks(static_cast<size_t>(i), &got, wait_ms)) << "no ok for line " << i;
    }
    EXPECT_GE(seconds_since(first_sent), 0.45);
    EXPECT_EQ(got, repeated("ok\n", 20));

    std::string log_text = wait_for_log(" z 190.000 stopped\n", motion_wait_ms);
    ASSERT_NE(log_text.find(" z 190.000 stopped\n"), std::string::npos) << log_text;
    // 10 mm at 5 mm/s, whatever the loop's wake-ups.
    EXPECT_GE(time_of(log_text, "z 190.000 stopped") - time_of(log_text, "line "), 1999.0);

    send("M114\n");
    got.clear();
    ASSERT_TRUE(read_until(port, "ok\n", &got, wait_ms));
    EXPECT_EQ(got, "X:0.00 Y:0.00 Z:190.00 E:0.00 Count X:0 Y:0 Z:486400\nok\n");

    close_port();
    log_text = wait_for_log(" summary ", wait_ms);
    const std::vector<std::string> summary = records(log_text, "summary ");
    ASSERT_EQ(summary.size(), 1u) << log_text;
    EXPECT_EQ(summary[0], "summary lines=21 dropped=0 mangled=0 unknown=0 leftover=0 "
                          "final_z=190.000 moving=0");
    const std::vector<std::string> lines = records(log_text, "line ");
    ASSERT_EQ(lines.size(), 21u) << log_text;
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(lines[i], "line \"" + sent[i].substr(0, sent[i].size() - 1) + "\"");
    }
    EXPECT_EQ(lines[20], "line \"M114\"");
}

TEST_F(printer_sim_firmware_test, host_blasting_lines_loses_bytes_and_the_head_stops_short) {
    start_firmware();
    // 100 moves of 0.5 mm in one write: 15 go to the planner, 4 wait in the queue, the ring keeps
    // 127 bytes and the rest is dropped.
    std::string burst;
    for (int i = 1; i <= 100; ++i) {
        burst += move_line(200.0 - 0.5 * i);
    }
    send(burst);
    close_port();

    const std::string log_text = wait_for_log(" summary ", motion_wait_ms);
    const std::vector<std::string> summary = records(log_text, "summary ");
    ASSERT_EQ(summary.size(), 1u) << log_text;
    const double dropped = summary_field(summary[0], "dropped");
    const double lines = summary_field(summary[0], "lines");
    EXPECT_GT(dropped, 0) << summary[0];
    EXPECT_LT(lines, 100) << summary[0];
    EXPECT_NE(summary_field(summary[0], "final_z"), 150.0) << summary[0];
    EXPECT_EQ(summary_field(summary[0], "moving"), 0) << summary[0];

    // Every byte is accounted for: dropped, in a line taken (with its line feed) or left over.
    double taken_bytes = 0;
    for (const std::string& line : records(log_text, "line ")) {
        const size_t close_quote = line.rfind('"');
        taken_bytes += static_cast<double>(close_quote - 6) + 1; // between the quotes, plus LF
    }
    EXPECT_EQ(dropped + taken_bytes + summary_field(summary[0], "leftover"),
              static_cast<double>(burst.size()))
        << log_text;
    EXPECT_GE(time_of(log_text, "dropped "), 0) << log_text;
}

TEST_F(printer_sim_firmware_test, move_waiting_for_a_full_planner_holds_its_ok_and_says_busy) {
    start_firmware();
    // Moves of 50 mm (10 s each): the planner holds 15, the 16th waits, the 17th is queued.
    std::string burst;
    for (int i = 0; i < 17; ++i) {
        burst += move_line(i % 2 == 0 ? 150.0 : 200.0);
    }
    const clock_type::time_point sent_at = clock_type::now();
    send(burst);

    const std::string busy = "echo:busy: processing\n";
    std::string got;
    ASSERT_TRUE(read_until(port, busy, &got, motion_wait_ms)) << got;
    const double first_busy = seconds_since(sent_at);
    ASSERT_TRUE(read_until(port, busy + busy, &got, motion_wait_ms)) << got;
    const double second_busy = seconds_since(sent_at);

    EXPECT_EQ(got, repeated("ok\n", 15) + busy + busy);
    EXPECT_GE(first_busy, 1.9);
    EXPECT_GE(second_busy, 3.9);
    EXPECT_GE(count_of(wait_for_log(" busy\n", wait_ms), " busy\n"), 2u);
}

struct reply_case {
    const char* name;
    std::string sent;
    std::string reply;
    std::string record; // in the log
};

void PrintTo(const reply_case& c, std::ostream* out) {
    *out << c.name;
}

class printer_sim_firmware_reply_test : public printer_sim_firmware_test,
                                        public ::testing::WithParamInterface<reply_case> {};

TEST_P(printer_sim_firmware_reply_test, answers_the_line_as_the_firmware_assembles_it) {
    const reply_case& c = GetParam();
    start_firmware();
    send(c.sent);
    std::string got;
    EXPECT_TRUE(read_until(port, "ok\n", &got, wait_ms));
    EXPECT_EQ(got, c.reply);
    const std::string log_text = wait_for_log(c.record + "\n", wait_ms);
    const std::vector<std::string> lines = records(log_text, "line ");
    ASSERT_EQ(lines.size(), 1u) << log_text;
    EXPECT_EQ(lines[0], c.record);
}

INSTANTIATE_TEST_SUITE_P(
    lines, printer_sim_firmware_reply_test,
    ::testing::Values(
        reply_case{"position", "M114\n",
                   "X:0.00 Y:0.00 Z:200.00 E:0.00 Count X:0 Y:0 Z:512000\nok\n", "line \"M114\""},
        reply_case{"move_with_crlf_and_comment", "G1 F600 Z199.000 ; down\r\n", "ok\n",
                   "line \"G1 F600 Z199.000 \""},
        reply_case{"unknown", "GG1 F600 Z90.000\n",
                   "echo:Unknown command: \"GG1 F600 Z90.000\"\nok\n",
                   "line \"GG1 F600 Z90.000\" unknown"},
        reply_case{"spliced", "G1 F600 G1 F600 Z165.000\n", "ok\n",
                   "line \"G1 F600 G1 F600 Z165.000\" mangled"},
        reply_case{"z_without_number", "G1 F600 Z\n", "ok\n", "line \"G1 F600 Z\" mangled"},
        reply_case{"control_bytes", std::string("G1 F6\x01\"0\n", 9), "ok\n",
                   "line \"G1 F6\\x01\\\"0\" mangled"}),
    [](const ::testing::TestParamInfo<reply_case>& param_info) {
        return std::string(param_info.param.name);
    });

// A tool that writes its last line and closes the port at once: the firmware still takes it.
TEST_F(printer_sim_firmware_test, line_written_just_before_the_close_is_taken) {
    start_firmware();
    send("G1 F600 Z201.000\n");
    close_port();
    const std::string log_text = wait_for_log(" summary ", wait_ms);
    EXPECT_NE(log_text.find(" line \"G1 F600 Z201.000\"\n"), std::string::npos) << log_text;
    const std::vector<std::string> summary = records(log_text, "summary ");
    ASSERT_EQ(summary.size(), 1u) << log_text;
    EXPECT_EQ(summary_field(summary[0], "lines"), 1) << summary[0];
    EXPECT_EQ(summary_field(summary[0], "final_z"), 201) << summary[0];
}

TEST_F(printer_sim_firmware_test, refuses_reply_options_and_a_bad_start_height) {
    const std::vector<std::vector<std::string>> refused = {
        {"--firmware", "--no-reply"},
        {"--firmware", "--flood"},
        {"--firmware", "--reply-delay", "10"},
        {"--start-z", "high"},
    };
    for (const std::vector<std::string>& options : refused) {
        std::vector<std::string> argv = {PRINTER_SIM_PATH, "--ports", dir, "--com", "3"};
        argv.insert(argv.end(), options.begin(), options.end());
        sim = start_child(argv);
        int status = 0;
        ASSERT_EQ(waitpid(sim.pid, &status, 0), sim.pid);
        sim.pid = -1;
        close(sim.output);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << options.back();
    }
}

TEST_F(printer_sim_firmware_test, start_z_sets_where_the_head_sits) {
    start({"--firmware", "--start-z", "12.5"});
    open_port();
    read_until_quiet(port, 300, wait_ms);
    send("M114\n");
    std::string got;
    EXPECT_TRUE(read_until(port, "ok\n", &got, wait_ms));
    EXPECT_EQ(got.compare(0, 23, "X:0.00 Y:0.00 Z:12.50 E"), 0) << got;
    EXPECT_NE(file_text(log).find("t=0.000 open z=12.500\n"), std::string::npos);
}

} // namespace
