#include "control/calibration_control.h"

#include <cstdio>
#include <cstring>

// SIGMA_VERSION comes from the project's version in CMakeLists.txt.
#ifndef SIGMA_VERSION
#error "SIGMA_VERSION is set by the build"
#endif

namespace {

const char help_text[] =
    "Usage: sigma-calibrage [--help | --version]\n"
    "\n"
    "Sets the Z height of a Dagoma Sigma 3D printer over its serial port. Without an argument\n"
    "it looks for the printer on the serial ports COM0..COM20, draws its screen and sends one\n"
    "move (G1 F600 Z<height>) per key press, from 200.000 mm:\n"
    "  a  +1.000 mm    e  +0.100 mm    t  +0.010 mm\n"
    "  z  -1.000 mm    r  -0.100 mm    y  -0.010 mm    space  quit\n"
    "\n"
    "  -h, --help     print this text and exit\n"
    "  --version      print the version and exit\n"
    "Any other argument is ignored.\n"
    "\n"
    "Exit code: 0, or 1 when no serial port opens.\n";

bool is_argument(const char* argument, const char* name) {
    return std::strcmp(argument, name) == 0;
}

} // namespace

// The command line asks only for the help or the version, which are printed before anything
// touches the console or a port; every other argument is ignored, as the tool always did.
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (is_argument(argv[i], "--help") || is_argument(argv[i], "-h")) {
            std::fputs("sigma-calibrage " SIGMA_VERSION "\n", stdout);
            std::fputs(help_text, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (is_argument(argv[i], "--version")) {
            std::fputs("sigma-calibrage " SIGMA_VERSION "\n", stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    }
    return run_calibration();
}
