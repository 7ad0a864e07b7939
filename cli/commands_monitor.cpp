// Board monitor commands: added with the memory tools.
#include "cli.h"

void CliAddMonitorCommands(CLI::App& /*app*/, CliContext& /*ctx*/) {}
