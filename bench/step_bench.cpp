// The tool's own work per step, on the simulated machine: the height, the command line, the write,
// the reply read and the screen update. The simulated pauses and time-outs cost no real time, so
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
    HANDLE port;
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
    HANDLE port = nullptr;
    find_printer_port(&port);
    return {GetStdHandle(STD_OUTPUT_HANDLE), port, &printer};
}

void step(benchmark::State& state) {
    const bench_setup setup = set_up();
    char line_buffer[line_buffer_size];
    float target_z = start_height;
    reset_indicator();
    const double steps[] = {+1.0, -0.01, +0.1, -1.0, +0.01, -0.1};
    size_t i = 0;
    for (auto _ : state) {
        make_step(setup.output, setup.port, &target_z, line_buffer, steps[i++ % 6]);
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
