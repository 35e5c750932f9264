// The tool's own work per step, on the simulated machine: the reply read, the height, the screen
// update, the command line and the write. The simulated pauses and time-outs cost no real time, so
// what is measured is the code's work and the simulated platform's bookkeeping.
#include "control/calibration_control.h"
#include "common/tool_limits.h"
#include "link/printer_link.h"
#include "platform/sim/sim_platform.h"
#include "screen/console_screen.h"

#include <benchmark/benchmark.h>

namespace {

struct bench_setup {
    HANDLE output;
    printer_session session;
    sim::device* printer;
};

bench_setup set_up() {
    sim::reset();
    sim::state().logging = false;
    sim::device& printer = sim::add_device("\\\\.\\COM3");
    // The printer's "ok" is already there when the reply is read.
    printer.on_write = [](sim::device& d, const std::string&) {
        sim::printer_sends(d, sim::state().now_us, "ok\r\n", 0);
    };
    bench_setup setup{};
    setup.output = GetStdHandle(STD_OUTPUT_HANDLE);
    setup.printer = &printer;
    find_printer_port(&setup.session.port, setup.session.port_name);
    settle_printer_port(setup.session.port);
    setup.session.status = printer_fine;
    return setup;
}

void step(benchmark::State& state) {
    bench_setup setup = set_up();
    char line_buffer[line_buffer_size];
    float target_z = start_height;
    reset_indicator();
    const double steps[] = {+1.0, -0.01, +0.1, -1.0, +0.01, -0.1};
    size_t i = 0;
    for (auto _ : state) {
        // What one pass of the loop does for a step: the printer's answer to the line before,
        // the new height on the screen, and its line.
        serve_printer(setup.output, &setup.session, target_z, line_buffer);
        make_step(setup.output, &target_z, line_buffer, steps[i++ % 6], 1);
        offer_height(setup.output, &setup.session, target_z, line_buffer);
        if (setup.printer->written.size() > 4096) {
            state.PauseTiming();
            setup.printer->written.clear();
            setup.printer->incoming.clear();
            state.ResumeTiming();
        }
    }
    benchmark::DoNotOptimize(target_z);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(step)->Unit(benchmark::kMicrosecond);

// The parts of a step, to see where its time goes.
void step_height_and_line(benchmark::State& state) {
    char line_buffer[line_buffer_size];
    float target_z = start_height;
    for (auto _ : state) {
        target_z = apply_step(target_z, 0.01);
        format_height_command(line_buffer, target_z);
        benchmark::DoNotOptimize(line_buffer);
    }
}
BENCHMARK(step_height_and_line)->Unit(benchmark::kMicrosecond);

void step_screen_update(benchmark::State& state) {
    const bench_setup setup = set_up();
    char line_buffer[line_buffer_size];
    reset_indicator();
    for (auto _ : state) {
        show_height(setup.output, 201.01f, line_buffer);
        advance_indicator(setup.output);
    }
}
BENCHMARK(step_screen_update)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
