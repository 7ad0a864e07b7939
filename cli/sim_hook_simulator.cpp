#include "cli.h"
#include "comlink.h"
#include "pty_simulator.h"

void CliRegisterSimulator() {
    LinkSetSimulatorStarter(&SimStartInProcess);
}
