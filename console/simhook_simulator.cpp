#include "simhook.h"

#include "comlink.h"
#include "pty_simulator.h"

bool ConsoleRegisterSimulator() {
    LinkSetSimulatorStarter(&SimStartInProcess);
    return true;
}
