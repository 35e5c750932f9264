#include "control/calibration_control.h"

// The command line is ignored: the tool takes no arguments.
int main() {
    return run_calibration();
}
