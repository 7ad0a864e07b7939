// No pseudo-terminals on this platform, so no built-in simulator: "sim" fails to open.
#include "cli.h"

void CliRegisterSimulator() {}
